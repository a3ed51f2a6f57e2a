// The country table: the collating order of character fields.
//
// "kesto.ctb" in the country-table directory is a text file of lines, each
// "ignorecase" or a mapping "%c,%c,%hd,%2s" (input character, output
// character, secondary order, sort string of one or two characters).
#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"

namespace {

constexpr int LINE_MAX_CHARS = 19;
constexpr int BLOCK = 30;

// Applies one line; a non-zero status ends the load.
int apply_line(const std::string &line) {
  if (line == "ignorecase") return dt_on_opt(OPT_IGNORECASE, nullptr);
  char in = line[0], out = line[0];
  short order = 0;
  char sort[3] = "";
  // Fields a line does not supply keep these values.
  std::sscanf(line.c_str(), "%c,%c,%hd,%2s", &in, &out, &order, sort);
  return dt_mapchar(static_cast<unsigned char>(in), static_cast<unsigned char>(out), sort, order,
                    nullptr);
}

}  // namespace

int ctbl_alloc() {
  db_task &t = kt();
  if (t.ctbl) return S_OKAY;
  t.ctbl = static_cast<ctb_entry *>(d_alloc(sizeof(ctb_entry) * 256));
  if (!t.ctbl) return dberr_code(S_NOMEMORY, 392);
  t.ctbl_active = 1;
  return S_OKAY;
}

void ctbl_free() {
  db_task &t = kt();
  d_free(&t.ctbl);
  t.ctbl_active = 0;
}

int dt_mapchar(unsigned char in, unsigned char out, const char *sort, short order, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  if (std::strlen(sort) > 2) return dberr_code(S_INVSORT, 391);
  db_task &t = kt();
  if (!t.ctbl_active && ctbl_alloc() != S_OKAY) return db_status;
  ctb_entry &e = t.ctbl[in];
  e.out = out;
  e.primary = static_cast<unsigned char>(sort[0]);
  e.second = sort[0] ? static_cast<unsigned char>(sort[1]) : 0;
  e.order = static_cast<unsigned char>(order & 0xFF);
  return db_status = S_OKAY;
}

int ctb_init() {
  db_task &t = kt();
  const kesto_io_methods *io = kesto_io();
  std::string path = std::string(t.ctbpath) + "kesto.ctb";
  int fd = open_b(path.c_str(), O_RDONLY);
  if (fd < 0) return db_status = S_OKAY;
  int status = S_OKAY;
  std::string line;
  char block[BLOCK];
  off_t at = 0;
  bool done = false;
  while (!done && status == S_OKAY) {
    ssize_t n = io->pread(fd, block, BLOCK, at);
    if (n <= 0) {
      // End of the file ends the last line.
      if (!line.empty()) status = apply_line(line);
      break;
    }
    at += n;
    for (ssize_t i = 0; i < n && !done && status == S_OKAY; ++i) {
      unsigned char c = static_cast<unsigned char>(block[i]);
      if (c == '\r') continue;
      bool ends = c == '\n' || c == 0xFF;
      if (!ends) line.push_back(static_cast<char>(c));
      if (ends || line.size() == LINE_MAX_CHARS) {
        if (line.empty()) {
          done = true;
        } else {
          status = apply_line(line);
          line.clear();
        }
      }
    }
  }
  io->close(fd);
  return db_status = status;
}
