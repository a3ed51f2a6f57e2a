// kesto_tool: looks at engine databases from outside.
//
//   kesto_tool [-d DIR] [-m MODE] open DB[;DB...]   open, list the files, close
//   kesto_tool [-d DIR] init DB [FILE]              initialise every file, or one
//   kesto_tool [-d DIR] dump DB FILE PAGE           print one page in hex
//
// DIR is the engine's working directory (default: the environment's
// DBWDIR, else the current directory), MODE the open mode (default "o").
// FILE is a file number within the database or a file name. Engine errors
// go to standard error; the exit status is 0, 1 for a usage error and 2 for
// a failure.
#include <fcntl.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/kesto.h"
#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: kesto_tool [-d DIR] [-m MODE] open DB[;DB...]\n"
               "       kesto_tool [-d DIR] [-m MODE] init DB [FILE]\n"
               "       kesto_tool [-d DIR] [-m MODE] dump DB FILE PAGE\n");
  return 1;
}

bool number(const char *s, long *v) {
  if (!*s) return false;
  char *end;
  errno = 0;
  *v = std::strtol(s, &end, 10);
  return *end == '\0' && errno == 0 && *v >= 0;
}

// A file of the current database by number or by name; -1 when none.
int find_file(const char *which) {
  db_task &t = kt();
  db_entry *db = curr_dbt();
  long n;
  if (number(which, &n)) return n < db->slice[TBL_FILE].count ? static_cast<int>(n) : -1;
  for (int f = 0; f < db->slice[TBL_FILE].count; ++f) {
    const char *name = t.file_table[db->slice[TBL_FILE].first + f].name;
    const char *base = std::strrchr(name, '/');
    if (std::strcmp(name, which) == 0 || (base && std::strcmp(base + 1, which) == 0)) return f;
  }
  return -1;
}

void list_files() {
  db_task &t = kt();
  for (int d = 0; d < t.no_of_dbs; ++d) {
    const db_entry &db = t.db_table[d];
    std::printf("database %d %s%s: %d files, %d record types, %d fields, %d sets, %d compound-key entries\n", d,
                db.path, db.name, db.slice[TBL_FILE].count, db.slice[TBL_RECORD].count,
                db.slice[TBL_FIELD].count, db.slice[TBL_SET].count, db.slice[TBL_KEY].count);
    for (int f = 0; f < db.slice[TBL_FILE].count; ++f) {
      const file_entry &fe = t.file_table[db.slice[TBL_FILE].first + f];
      std::printf("  file %d %s: %s, page %d, %d slots of %d bytes\n", f, fe.name,
                  fe.type == 'k' ? "key" : "data", fe.page_size, fe.slots, fe.slot_size);
    }
  }
}

int dump(const char *which, const char *page_text) {
  int rel = find_file(which);
  long page;
  if (rel < 0) {
    std::fprintf(stderr, "kesto_tool: no file %s\n", which);
    return 2;
  }
  if (!number(page_text, &page)) return usage();
  const file_entry &fe = kt().file_table[curr_dbt()->slice[TBL_FILE].first + rel];
  const kesto_io_methods *io = kesto_io();
  int fd = io->open(fe.name, O_RDONLY, 0);
  if (fd < 0) {
    std::fprintf(stderr, "kesto_tool: %s: %s\n", fe.name, std::strerror(errno));
    return 2;
  }
  std::vector<unsigned char> buf(static_cast<size_t>(fe.page_size));
  ssize_t n = io->pread(fd, buf.data(), buf.size(), static_cast<off_t>(page) * fe.page_size);
  io->close(fd);
  if (n != static_cast<ssize_t>(buf.size())) {
    std::fprintf(stderr, "kesto_tool: %s has no page %ld\n", fe.name, page);
    return 2;
  }
  std::printf("%s page %ld (%d bytes)\n", fe.name, page, fe.page_size);
  for (size_t at = 0; at < buf.size(); at += 16) {
    std::printf("%08zx ", at);
    std::string text;
    for (size_t i = at; i < at + 16; ++i) {
      if (i < buf.size()) {
        std::printf(" %02x", buf[i]);
        text += std::isprint(buf[i]) ? static_cast<char>(buf[i]) : '.';
      } else {
        std::printf("   ");
      }
    }
    std::printf("  |%s|\n", text.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const char *dir = nullptr;
  const char *mode = "o";
  int i = 1;
  for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
    if (std::strcmp(argv[i], "-d") == 0) dir = argv[i + 1];
    else if (std::strcmp(argv[i], "-m") == 0) mode = argv[i + 1];
    else return usage();
  }
  if (argc - i < 2) return usage();
  std::string command = argv[i];
  const char *names = argv[i + 1];
  int rest = argc - i - 2;
  char **args = argv + i + 2;
  if ((command == "open" && rest != 0) || (command == "init" && rest > 1) ||
      (command == "dump" && rest != 2) || (command != "open" && command != "init" && command != "dump"))
    return usage();

  if (dir && dt_dbwdir(dir, nullptr) != S_OKAY) return 2;
  if (dt_open(names, mode, nullptr) != S_OKAY) return 2;
  int result = 0;
  if (command == "open") {
    list_files();
  } else if (command == "init") {
    if (rest == 0) {
      if (dt_initialize(nullptr, 0) != S_OKAY) result = 2;
    } else {
      int f = find_file(args[0]);
      if (f < 0) {
        std::fprintf(stderr, "kesto_tool: no file %s\n", args[0]);
        result = 2;
      } else if (dt_initfile(f, nullptr, 0) != S_OKAY) {
        result = 2;
      }
    }
  } else {
    result = dump(args[0], args[1]);
  }
  if (dt_close(nullptr) != S_OKAY) result = 2;
  return result;
}
