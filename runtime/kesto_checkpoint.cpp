// The journal's checkpoint and its emptying.
//
// A checkpoint forces every database file that the checkpoint file lists to
// disk and only then empties the journal and the checkpoint file: what the
// journal held is in the files for good by the time it is gone. Emptying
// writes an empty header into the open file first (so that a crash part-way
// leaves an empty journal, not a half-written one), then truncates the file
// and writes the header again; after a damaged journal the old files are
// moved aside under a time-stamped name instead, for a person to look at.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"

namespace {

// Opens, forces to disk and closes one file the checkpoint file lists.
int sync_listed(int slot, const char *name) {
  const kesto_io_methods *io = kesto_io();
  char path[PATHLEN];
  vpathcpy(path, name, PATHLEN);
  if (prefix_dbwdir(path) != S_OKAY) return db_status;
  int fd = open_b(path, O_RDWR);
  if (fd < 0) return dberr_code(S_TJFERR, 238, "TCF entry(%d) open of %s failed, errno=%d", slot, path, errno);
  if (io->fsync(fd) < 0) {
    int err = errno;
    io->close(fd);
    return dberr_code(S_TJFERR, 530, "TCF entry(%d) sync of %s failed, errno=%d", slot, path, err);
  }
  if (io->close(fd) < 0) return dberr_code(S_TJFERR, 239, "%s: %s", path, std::strerror(errno));
  return S_OKAY;
}

// Messages of the steps of emptying one of the two files.
struct emptying_texts {
  int pre_msg;
  const char *pre_text;
  int close_msg;
  const char *close_text;
  int open_msg;
  const char *open_text;
  int init_msg;
  const char *init_text;
};

int empty_file(const char *name, int *fd, const unsigned char *header, uint32_t size, bool rename,
               const emptying_texts &m) {
  const kesto_io_methods *io = kesto_io();
  if (!rename && *fd >= 0 && tjf_init_hdr(*fd, header, size) != S_OKAY)
    return dberr_code(S_TJFERR, m.pre_msg, m.pre_text, errno);
  if (*fd >= 0) {
    if (io->close(*fd) < 0) dberr_code(S_TJFERR, m.close_msg, m.close_text, errno);
    *fd = -1;
  }
  char path[PATHLEN];
  vpathcpy(path, name, PATHLEN);
  if (prefix_dbwdir(path) != S_OKAY) return db_status;
  if (rename && tjf_rename_journal(path) != S_OKAY) return db_status;
  int f = open_b(path, O_RDWR | O_TRUNC | (rename ? O_CREAT : 0));
  if (f < 0) return dberr_code(S_TJFERR, m.open_msg, m.open_text, errno);
  *fd = f;
  if (tjf_init_hdr(f, header, size) != S_OKAY) return dberr_code(S_TJFERR, m.init_msg, "%s", m.init_text);
  return db_status = S_OKAY;
}

}  // namespace

int tjf_chkpoint() {
  db_task &t = kt();
  if (tjf_open() != S_OKAY) return db_status;
  if (t.tjf_trans_no) return dberr_code(S_SYSERR, 894, "journal: checkpoint during a journal transaction");
  uint32_t position, end;
  if (tcf_read_hdr(t.tcf_fd, &position, &end) != S_OKAY) return db_status;
  unsigned char entry[tjf::NAME_BUFFER];
  bool clean = true;
  for (int slot = 0;; ++slot) {
    int outcome;
    if (tcf_read_entry(t.tcf_fd, entry, true, &position, end, &outcome) != S_OKAY) return db_status;
    if (outcome == tjf::END_REACHED) break;
    if (outcome == tjf::DAMAGED) {
      clean = false;
      break;
    }
    if (sync_listed(slot, reinterpret_cast<const char *>(entry + 4)) != S_OKAY) return db_status;
  }
  tjf::journal_header h;
  if (tjf_access(&h) != S_OKAY || tjf_release(nullptr) != S_OKAY) return db_status;
  if (clean && h.end == tjf::TJF_HEADER) return db_status = S_OKAY;
  return tjf_truncate(h.last_id, false);
}

int tjf_truncate(uint32_t id_base, bool rename) {
  db_task &t = kt();
  unsigned char journal_header[tjf::TJF_HEADER];
  tjf::put_header(journal_header, tjf::empty_header(id_base));
  unsigned char checkpoint_header[tjf::TCF_HEADER];
  tjf::put_checkpoint_header(checkpoint_header, tjf::TCF_HEADER);
  static const emptying_texts journal = {
      522, "TJF pre truncate write failed: errno = %d", 524, "Tjf_truncate: close of tjf failed, errno=%d",
      236, "TJF open failed: errno = %d",               525, "TJF init hdr failed"};
  static const emptying_texts checkpoint = {
      526, "TCF pre truncate write failed: errno = %d", 528, "Tjf_truncate close of tcf failed, errno=%d",
      237, "TCF open failed: errno = %d",               529, "TCF init hdr failed"};
  if (empty_file(t.tjf_name, &t.tjf_fd, journal_header, sizeof journal_header, rename, journal) != S_OKAY)
    return db_status;
  return empty_file(t.tcf_name, &t.tcf_fd, checkpoint_header, sizeof checkpoint_header, rename, checkpoint);
}

int tjf_rename_journal(const char *name) {
  const kesto_io_methods *io = kesto_io();
  const unsigned long now = static_cast<unsigned long>(time(nullptr));
  char aside[PATHLEN + 32];
  // The first of ten names that is free; with all taken the file stays
  // where it is and is emptied in place.
  for (int i = -1; i <= 8; ++i) {
    if (i < 0) std::snprintf(aside, sizeof aside, "%s.%lx", name, now);
    else std::snprintf(aside, sizeof aside, "%s.%lx.%d", name, now, i);
    if (io->access(aside, F_OK) == 0) continue;
    if (errno != ENOENT)
      return dberr_code(S_DBLERR, 892, "TJF rename of \"%s\" to \"%s\" failed: errno = %d", name, aside, errno);
    if (io->rename(name, aside) < 0)
      return dberr_code(S_DBLERR, 893, "TJF rename of \"%s\" to \"%s\" failed: errno = %d", name, aside, errno);
    return db_status = S_OKAY;
  }
  return db_status = S_OKAY;
}
