// Emptying the files of an open database and writing the first pages of a
// new file.
//
// Page zero (page-size bytes, the rest zero):
//   0  u32 deleted chain: 0 (data), 0xFFFFFFFF (key)
//   4  u32 next slot or node: 1 (data), 2 (data with a system record, key)
//   8  u32 timestamp counter: 1 (data), 0 (key)
//   12 u32 creation time
//   16 u32 0
//   20 "db_KESTO Version 3.20" and a NUL
// Page 1 of a key file is the empty B-tree root; page 1 of a data file that
// keeps the database's system record holds it in slot 1.
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"

namespace {

const char banner[] = "db_KESTO Version 3.20";
static_assert(sizeof banner == 22, "banner and its NUL fill 22 bytes");

int write_page(int fd, const std::vector<char> &page, off_t offset, const char *name) {
  ssize_t n = kesto_io()->pwrite(fd, page.data(), page.size(), offset);
  if (n < 0) return dberr_code(S_BADWRITE, 463, "%s", name);
  if (n != static_cast<ssize_t>(page.size())) return dberr_code(S_NOSPACE, 462, "%s", name);
  return S_OKAY;
}

}  // namespace

int initfile(int file) {
  db_task &t = kt();
  const kesto_io_methods *io = kesto_io();
  file_entry &fe = t.file_table[file];
  if (fe.status == 'o') {
    if (dio_close(file) != S_OKAY) return db_status;
  } else if (t.open_files >= t.max_open_files) {
    if (dio_closelru() < 0) return db_status;
  }
  if (dio_clrfile(file) != S_OKAY) return db_status;

  int fd = open_b(fe.name, O_RDWR | O_CREAT | O_TRUNC);
  if (fd < 0) return dberr_code(S_NOFILE, 469, "%s: %s", fe.name, std::strerror(errno));
  std::vector<char> page;
  try {
    page.assign(static_cast<size_t>(fe.page_size), 0);
  } catch (...) {
    io->close(fd);
    return dberr_code(S_NOMEMORY, 470);
  }

  // The system record kept in this file, if any.
  db_entry *db = curr_dbt();
  int sysrec = -1;
  if (fe.type != 'k' && db) {
    for (int r = 0; r < db->slice[TBL_RECORD].count && sysrec < 0; ++r) {
      const record_entry &re = t.record_table[db->slice[TBL_RECORD].first + r];
      if (re.file == file && re.field_count == -1) sysrec = r;
    }
  }
  uint32_t now = static_cast<uint32_t>(time(nullptr));
  bool key = fe.type == 'k';
  put_u32(&page[0], key ? 0xFFFFFFFFu : 0);
  put_u32(&page[4], key || sysrec >= 0 ? 2 : 1);
  put_u32(&page[8], key ? 0 : 1);
  put_u32(&page[12], now);
  std::memcpy(&page[20], banner, sizeof banner);
  int status = write_page(fd, page, 0, fe.name);

  if (status == S_OKAY && (key || sysrec >= 0)) {
    std::fill(page.begin(), page.end(), 0);
    put_u32(&page[0], now);
    if (key) {
      put_u32(&page[6], 0xFFFFFFFFu);
    } else {
      int rel_file = file - db->slice[TBL_FILE].first;
      put_u16(&page[4], static_cast<uint16_t>(sysrec));
      put_u32(&page[6], static_cast<uint32_t>(rel_file) << FILE_SHIFT | 1u);
      if (t.record_table[db->slice[TBL_RECORD].first + sysrec].flags & REC_TIMESTAMPED) {
        put_u32(&page[10], 1);
        put_u32(&page[14], 1);
      }
    }
    status = write_page(fd, page, fe.page_size, fe.name);
  }
  if (status == S_OKAY) status = commit_file(file, fd);
  if (io->close(fd) < 0 && status == S_OKAY) status = dberr_code(S_BADWRITE, 471, "%s", fe.name);
  if (status != S_OKAY) return db_status = status;
  return dio_pzread(file);
}

int dt_initfile(int file, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (opt_on(OPT_READONLY)) return dberr_code(S_READONLY, 466);
  db_entry *db = curr_dbt();
  if (file < 0 || file >= db->slice[TBL_FILE].count) return dberr_code(S_NOFILE, 467);
  // Shared opens need the file's write lock; they come with the lock manager.
  if (kt().open_state != 2) return dberr_code(S_EXCLUSIVE, 468);
  return initfile(file + db->slice[TBL_FILE].first);
}

int dt_initialize(DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (opt_on(OPT_READONLY)) return dberr_code(S_READONLY, 464);
  if (kt().open_state != 2) return dberr_code(S_EXCLUSIVE, 465);
  db_entry *db = curr_dbt();
  for (int f = 0; f < db->slice[TBL_FILE].count; ++f)
    if (initfile(f + db->slice[TBL_FILE].first) != S_OKAY) return db_status;
  return db_status = S_OKAY;
}
