// Reading the journal and its checkpoint file back.
//
// Each reader takes one entry at a time from a position the caller keeps.
// The strict reader turns any damage into -925 naming the entry's offset;
// the tolerant one answers "damaged" instead, so that a scan can stop at a
// torn tail and use what lies before it. Both fail on read errors, and on a
// journal entry whose id is 0 or whose length is impossible.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"

namespace {

using tjf::entry_header;

// A tolerant reader stops here: what is left is not used.
int damaged(uint32_t at, uint32_t end, bool journal, int *outcome) {
  if (journal && at < end)
    std::fprintf(stderr, "Ignoring remaining bytes (0x%08lX) of TJF\n", static_cast<unsigned long>(end - at));
  *outcome = tjf::DAMAGED;
  return db_status = S_OKAY;
}

int file_size(int fd, uint32_t *size, int msg) {
  struct stat st;
  if (kesto_io()->fstat(fd, &st) < 0) return dberr_code(S_DBLERR, msg, "%s", std::strerror(errno));
  *size = st.st_size > static_cast<off_t>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(st.st_size);
  return S_OKAY;
}

}  // namespace

int tjf_read_entry(int fd, unsigned char *buffer, int capacity, bool tolerant, uint32_t *position, uint32_t end,
                   int *outcome) {
  const kesto_io_methods *io = kesto_io();
  const uint32_t at = *position;
  const unsigned long where = at;
  *outcome = tjf::ENTRY_READ;
  if (at >= end) {
    *outcome = tjf::END_REACHED;
    return db_status = S_OKAY;
  }
  if (end - at < static_cast<uint32_t>(tjf::ENTRY_HEADER)) {
    if (tolerant) return damaged(at, end, true, outcome);
    return dberr_code(S_TJFERR, 248, "Unable to read tjf entry (0x%08lX), junk on end", where);
  }
  ssize_t n = io->pread(fd, buffer, tjf::ENTRY_HEADER, at);
  if (n != tjf::ENTRY_HEADER)
    return dberr_code(S_BADREAD, 249, "TJF entry (0x%08lX) hdr: errno = %d\n", where, n < 0 ? errno : 0);
  const entry_header h = tjf::get_entry_header(buffer);
  if (tjf::header_check(h) != h.check) {
    if (tolerant) return damaged(at, end, true, outcome);
    return dberr_code(S_TJFERR, 250, "tjf hdr checksum error (0x%08lX)\n", where);
  }
  const int padded = tjf::padded(h.length);
  if (h.id == 0 || padded < tjf::ENTRY_HEADER || padded > capacity)
    return dberr_code(S_TJFERR, 251, "Suspicious tjf entry looking for changes (0x%08lX)", where);
  const uint32_t rest = static_cast<uint32_t>(padded - tjf::ENTRY_HEADER);
  if (rest > end - at - tjf::ENTRY_HEADER) {
    if (tolerant) return damaged(at, end, true, outcome);
    return dberr_code(S_TJFERR, 252, "Unable to read tjf entry (0x%08lX), junk on end", where);
  }
  if (rest) {
    n = io->pread(fd, buffer + tjf::ENTRY_HEADER, rest, at + tjf::ENTRY_HEADER);
    if (n != static_cast<ssize_t>(rest))
      return dberr_code(S_BADREAD, 253, "Unable to read tjf entry (0x%08lX): error = %d", where, n < 0 ? errno : 0);
  }
  if (tjf::body_sum(buffer + tjf::ENTRY_HEADER, h.length - tjf::ENTRY_HEADER) != h.body_sum) {
    if (tolerant) return damaged(at, end, true, outcome);
    return dberr_code(S_TJFERR, 254, "tjf entry checksum error (0x%08lX)\n", where);
  }
  *position = at + static_cast<uint32_t>(padded);
  return db_status = S_OKAY;
}

int tcf_read_entry(int fd, unsigned char *buffer, bool tolerant, uint32_t *position, uint32_t end, int *outcome) {
  const kesto_io_methods *io = kesto_io();
  const uint32_t at = *position;
  const unsigned long where = at;
  *outcome = tjf::ENTRY_READ;
  if (at >= end) {
    *outcome = tjf::END_REACHED;
    return db_status = S_OKAY;
  }
  auto premature = [&](int msg) {
    if (tolerant) return damaged(at, end, false, outcome);
    return dberr_code(S_TJFERR, msg, "TCF entry (0x%08lX), premature EOF", where);
  };
  auto bad_sum = [&]() {
    if (tolerant) return damaged(at, end, false, outcome);
    return dberr_code(S_TJFERR, 229, "TCF entry (0x%08lX) checksum", where);
  };
  if (end - at < 4) return premature(225);
  ssize_t got = io->pread(fd, buffer, 4, at);
  if (got != 4) return dberr_code(S_BADREAD, 887, "TCF entry (0x%08lX) hdr: errno = %d", where, got < 0 ? errno : 0);
  const int n = get_u16(buffer);
  const int occupied = (n + 5) & ~1;
  if (n == 0 || occupied - 5 > tjf::NAME_LIMIT) return bad_sum();
  if (static_cast<uint32_t>(occupied) > end - at) return premature(227);
  got = io->pread(fd, buffer + 4, static_cast<size_t>(occupied - 4), at + 4);
  if (got != occupied - 4)
    return dberr_code(S_BADREAD, 888, "TCF entry (0x%08lX) name read failed: error = %d", where, got < 0 ? errno : 0);
  const char *name = reinterpret_cast<const char *>(buffer + 4);
  if (name[n - 1] != '\0' || tjf::name_sum(name) != get_u16(buffer + 2)) return bad_sum();
  *position = at + static_cast<uint32_t>(occupied);
  return db_status = S_OKAY;
}

int tcf_read_hdr(int fd, uint32_t *start, uint32_t *end) {
  uint32_t size;
  if (file_size(fd, &size, 889) != S_OKAY) return db_status;
  unsigned char bytes[tjf::TCF_HEADER];
  ssize_t n = kesto_io()->pread(fd, bytes, sizeof bytes, 0);
  if (n < 0) return dberr_code(S_BADREAD, 890, "Unable to read the tcf header");
  const uint32_t magic = n >= 8 ? get_u32(bytes) : 0, version = n >= 8 ? get_u32(bytes + 4) : 0;
  if (magic == tjf::TCF_MAGIC && version == tjf::VERSION && n == static_cast<ssize_t>(sizeof bytes) &&
      get_u32(bytes + 8) >= tjf::TCF_HEADER) {
    *start = tjf::TCF_HEADER;
    *end = get_u32(bytes + 8);
    if (*end > size) {
      dberr_code(S_TJFERR, 521, "TCF file hdr read error, file_length (0x%08X) less than actual size (0x%08X)", *end,
                 size);
      *end = size;
    }
    return db_status = S_OKAY;
  }
  if (magic == tjf::TCF_MAGIC && version == 1) {
    *start = tjf::TCF_HEADER_V1;
    *end = size;
    return db_status = S_OKAY;
  }
  return dberr_code(S_TJFERR, 224, "Invalid TCF file hdr");
}

int tjf_read_hdr(int fd, tjf::journal_header *header, uint32_t *start, uint32_t *end) {
  uint32_t size = 0;
  if (file_size(fd, &size, 891) != S_OKAY) return db_status;
  unsigned char bytes[tjf::TJF_HEADER];
  ssize_t n = kesto_io()->pread(fd, bytes, sizeof bytes, 0);
  if (n < 0) return dberr_code(S_BADREAD, 245, "TJF file hdr read error");
  if (n == static_cast<ssize_t>(sizeof bytes)) {
    tjf::get_header(bytes, header);
    if (header->magic == tjf::TJF_MAGIC && header->version == tjf::VERSION && header->end >= tjf::TJF_HEADER) {
      *start = tjf::TJF_HEADER;
      *end = header->end;
      // Entries cannot lie beyond the file: the end is cut to its size, or
      // every later scan would fail on the first short read.
      if (*end > size) {
        dberr_code(S_TJFERR, 531, "TJF file hdr read error, file_length (0x%08X) less than actual size (0x%08X)",
                   *end, size);
        *end = size;
      }
      return db_status = S_OKAY;
    }
  }
  if (n >= static_cast<ssize_t>(tjf::TJF_HEADER_V1) && get_u32(bytes) == tjf::TJF_MAGIC && get_u32(bytes + 4) == 1) {
    *header = tjf::journal_header{};
    header->version = 1;
    header->end = size;
    *start = tjf::TJF_HEADER_V1;
    *end = size;
    return db_status = S_OKAY;
  }
  return dberr_code(S_TJFERR, 247, "Invalid TJF file hdr");
}
