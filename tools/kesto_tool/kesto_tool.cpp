// kesto_tool: looks at engine databases from outside.
//
//   kesto_tool [-d DIR] [-m MODE] open DB[;DB...]   open, list the files, close
//   kesto_tool [-d DIR] init DB [FILE]              initialise every file, or one
//   kesto_tool [-d DIR] dump DB FILE PAGE           print one page in hex
//   kesto_tool [-d DIR] records DB REC              list the live records of a type
//   kesto_tool [-d DIR] keys DB FIELD               list a key's values in order
//   kesto_tool [-d DIR] find DB FIELD VALUE         list the records holding a key value
//   kesto_tool [-d DIR] write DB ADDR FIELD VALUE   write one field of a record
//   kesto_tool [-d DIR] keystore DB ADDR FIELD      store an optional key's entry
//   kesto_tool [-d DIR] keydel DB ADDR FIELD        delete an optional key's entry
//   kesto_tool [-d DIR] create DB REC [FIELD=VALUE...]
//                                                   create a record, print its address
//   kesto_tool [-d DIR] delete DB ADDR              delete a record in no set
//   kesto_tool [-d DIR] connect DB SET OWNER ADDR [AFTER]
//                                                   connect a record under an owner
//   kesto_tool [-d DIR] disconnect DB SET ADDR      disconnect a member from its owner
//   kesto_tool [-d DIR] walk DB SET OWNER           count and list an owner's members in order
//   kesto_tool [-d DIR] stats DB FILE               space of one file: slots or nodes allocated,
//                                                   in use and at most
//   kesto_tool [-d DIR] journal DB                  list the checkpoint file's names and the
//                                                   journal's entries
//   kesto_tool [-d DIR] checkpoint DB               force the files the journal names to disk
//                                                   and empty the journal
//   kesto_tool [-d DIR] rollforward DB              write every committed transaction of the
//                                                   journal into the files again
//
// DIR is the engine's working directory (default: the environment's
// DBWDIR, else the current directory), MODE the open mode (default "o").
// In the shared mode "s" the tool works beside other processes through the
// lock manager: each command locks every record type of the databases for
// reading, or in its transaction for writing; checkpoint asks for a
// checkpoint, which runs once no process holds a lock.
// With -j the database is opened with journaling (option 0x100): each change
// is recorded in the journal, and the open consults it on commits that a
// crash interrupted; checkpoint and rollforward always journal. A database
// restored from a copy taken before journaled changes gets them back with
// rollforward.
// FILE is a file number within the database or a file name. REC is a record
// type number (10000 + its index), FIELD a field number (record index *
// 1000 + position), SET a set number (20000 + its index), ADDR, OWNER and
// AFTER record addresses as FILE:SLOT. A created record's fields not given
// are zero. A member connected to a set ordered "next" goes after AFTER, a
// member of OWNER; without it, first. Values are written and read in the
// text forms of kesto_field_text.h. A record is listed as its address
// followed by FIELD=VALUE for each of its fields. Writes keep every key of
// the record. Every change runs in a transaction of its own, committed
// with each changed file forced to disk, and aborted when the change fails;
// opening a database completes a commit that a crash interrupted. Engine
// errors go to standard error; the exit status is 0, 1
// for a usage error, 2 for a failure and 3 when nothing was found or done
// (no such key value, a duplicate key, an optional key not stored, a
// deleted record).
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
#include "tools/kesto_tool/kesto_field_text.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: kesto_tool [-d DIR] [-m MODE] open DB[;DB...]\n"
               "       kesto_tool [-d DIR] [-m MODE] init DB [FILE]\n"
               "       kesto_tool [-d DIR] [-m MODE] dump DB FILE PAGE\n"
               "       kesto_tool [-d DIR] [-m MODE] records DB REC\n"
               "       kesto_tool [-d DIR] [-m MODE] keys DB FIELD\n"
               "       kesto_tool [-d DIR] [-m MODE] find DB FIELD VALUE\n"
               "       kesto_tool [-d DIR] [-m MODE] write DB ADDR FIELD VALUE\n"
               "       kesto_tool [-d DIR] [-m MODE] keystore DB ADDR FIELD\n"
               "       kesto_tool [-d DIR] [-m MODE] keydel DB ADDR FIELD\n"
               "       kesto_tool [-d DIR] [-m MODE] create DB REC [FIELD=VALUE...]\n"
               "       kesto_tool [-d DIR] [-m MODE] delete DB ADDR\n"
               "       kesto_tool [-d DIR] [-m MODE] connect DB SET OWNER ADDR [AFTER]\n"
               "       kesto_tool [-d DIR] [-m MODE] disconnect DB SET ADDR\n"
               "       kesto_tool [-d DIR] [-m MODE] walk DB SET OWNER\n"
               "       kesto_tool [-d DIR] [-m MODE] stats DB FILE\n"
               "       kesto_tool [-d DIR] [-m MODE] journal DB\n"
               "       kesto_tool [-d DIR] [-m MODE] checkpoint DB\n"
               "       kesto_tool [-d DIR] [-m MODE] rollforward DB\n"
               "       (-j before the command: journal the changes)\n");
  return 1;
}

constexpr int NOTHING = 3;  // exit status: nothing found or done

// Exit status of an engine status: positive outcomes are "nothing".
int outcome(int status) { return status == S_OKAY ? 0 : status > 0 ? NOTHING : 2; }

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

// A field number of the current database; its table index, or -1.
int field_index(const char *text, long *field) {
  if (!number(text, field)) return -1;
  int index;
  if (nfld_check(*field, nullptr, nullptr, &index, nullptr) != S_OKAY) return -1;
  return index;
}

// The current record's fields, as one line after its address.
int print_record(db_address dba) {
  db_task &t = kt();
  char *rec;
  if (dio_read(dba, &rec, 0) != S_OKAY) return 2;
  int type = rec_type_index(rec);
  if (type < 0) return 2;
  std::string line = kesto_tool::address_to_text(dba);
  const record_entry &re = t.record_table[type];
  int first = re.first_field;
  for (int f = first; f >= 0 && f < t.size_fd && t.field_table[f].record == type; ++f) {
    const field_entry &fld = t.field_table[f];
    // Group members show in their group; compound keys are their components.
    if ((fld.flags & FLD_GROUPED) || fld.type == 'k') continue;
    long number = static_cast<long>(type - curr_dbt()->slice[TBL_RECORD].first) * FIELD_FACTOR + (f - first);
    line += " " + std::to_string(number) + "=" + kesto_tool::field_to_text(f, rec + fld.offset);
  }
  std::printf("%s\n", line.c_str());
  return 0;
}

int records(const char *rec_text) {
  long rec;
  if (!number(rec_text, &rec)) return usage();
  int status = dt_recfrst(static_cast<int>(rec), nullptr, 0);
  for (; status == S_OKAY; status = dt_recnext(nullptr, 0)) {
    db_address dba;
    if (dt_crget(&dba, nullptr, 0) != S_OKAY || print_record(dba) != 0) return 2;
  }
  return status == S_NOTFOUND ? 0 : 2;
}

// Prints the key value found last and its record's address.
int print_key(int index) {
  std::vector<char> value(static_cast<size_t>(kt().field_table[index].length));
  db_address dba;
  if (dt_keyread(value.data(), nullptr) != S_OKAY || dt_crget(&dba, nullptr, 0) != S_OKAY) return 2;
  std::printf("%s %s\n", kesto_tool::field_to_text(index, value.data()).c_str(),
              kesto_tool::address_to_text(dba).c_str());
  return 0;
}

int keys(const char *field_text) {
  long field;
  int index = field_index(field_text, &field);
  if (index < 0) return 2;
  if (dt_keyfind(field, nullptr, nullptr, 0) != S_OKAY) return 2;
  int status;
  while ((status = dt_keynext(field, nullptr, 0)) == S_OKAY)
    if (print_key(index) != 0) return 2;
  return status == S_NOTFOUND ? 0 : 2;
}

int find(const char *field_text, const char *value_text) {
  long field;
  int index = field_index(field_text, &field);
  if (index < 0) return 2;
  std::vector<char> value;
  std::string error;
  if (!kesto_tool::field_from_text(index, value_text, &value, &error)) {
    std::fprintf(stderr, "kesto_tool: %s\n", error.c_str());
    return 1;
  }
  int status = dt_keyfind(field, value.data(), nullptr, 0);
  if (status != S_OKAY) return outcome(status);
  // Every record holding the value: the duplicates follow one another.
  std::vector<char> found(value.size());
  do {
    if (dt_keyread(found.data(), nullptr) != S_OKAY) return 2;
    if (fldcmp(&kt().field_table[index], found.data(), value.data()) != 0) break;
    db_address dba;
    if (dt_crget(&dba, nullptr, 0) != S_OKAY || print_record(dba) != 0) return 2;
  } while ((status = dt_keynext(field, nullptr, 0)) == S_OKAY);
  return status == S_OKAY || status == S_NOTFOUND ? 0 : 2;
}

// Makes ADDR the current record and FIELD the field to change.
int record_and_field(const char *address_text, const char *field_text, long *field, int *index) {
  unsigned long dba;
  if (!kesto_tool::address_from_text(address_text, &dba)) return usage();
  db_address address = static_cast<db_address>(dba);
  int status = dt_crset(&address, nullptr, 0);
  if (status != S_OKAY) return outcome(status);
  *index = field_index(field_text, field);
  return *index < 0 ? 2 : 0;
}

int write(const char *address_text, const char *field_text, const char *value_text) {
  long field;
  int index;
  if (int r = record_and_field(address_text, field_text, &field, &index)) return r;
  std::vector<char> value;
  std::string error;
  if (!kesto_tool::field_from_text(index, value_text, &value, &error)) {
    std::fprintf(stderr, "kesto_tool: %s\n", error.c_str());
    return 1;
  }
  int status = dt_crwrite(field, value.data(), nullptr, 0);
  if (status == S_DUPLICATE) std::printf("duplicate key\n");
  return outcome(status);
}

int optional_key(bool store, const char *address_text, const char *field_text) {
  long field;
  int index;
  if (int r = record_and_field(address_text, field_text, &field, &index)) return r;
  int status = store ? dt_keystore(field, nullptr, 0) : dt_keydel(field, nullptr, 0);
  if (status == S_DUPLICATE) std::printf("duplicate key\n");
  if (status == S_NOTFOUND) std::printf("not stored\n");
  return outcome(status);
}

int parse_address(const char *text, db_address *dba) {
  unsigned long value;
  if (!kesto_tool::address_from_text(text, &value)) return usage();
  *dba = static_cast<db_address>(value);
  return 0;
}

int parse_set(const char *text, int *set) {
  long value;
  if (!number(text, &value) || value > 0x7fffffff) return usage();
  *set = static_cast<int>(value);
  return 0;
}

int create(const char *rec_text, int count, char **assignments) {
  long rec;
  if (!number(rec_text, &rec) || rec > 0x7fffffff) return usage();
  int rec_index;
  record_entry *re;
  if (nrec_check(static_cast<int>(rec), &rec_index, &re) != S_OKAY) return 2;
  std::vector<char> image(static_cast<size_t>(re->length > re->data ? re->length - re->data : 0), 0);
  for (int i = 0; i < count; ++i) {
    const char *eq = std::strchr(assignments[i], '=');
    if (!eq) return usage();
    long field;
    int index = field_index(std::string(assignments[i], static_cast<size_t>(eq - assignments[i])).c_str(), &field);
    if (index < 0) return 2;
    const field_entry &fld = kt().field_table[index];
    if (fld.record != rec_index || fld.type == 'k') {
      std::fprintf(stderr, "kesto_tool: field %ld is not a stored field of record %ld\n", field, rec);
      return 1;
    }
    std::vector<char> value;
    std::string error;
    if (!kesto_tool::field_from_text(index, eq + 1, &value, &error)) {
      std::fprintf(stderr, "kesto_tool: %s\n", error.c_str());
      return 1;
    }
    std::memcpy(&image[static_cast<size_t>(fld.offset - re->data)], value.data(), value.size());
  }
  int status = dt_fillnew(static_cast<int>(rec), image.data(), nullptr, 0);
  if (status == S_DUPLICATE) std::printf("duplicate key\n");
  if (status != S_OKAY) return outcome(status);
  db_address dba;
  if (dt_crget(&dba, nullptr, 0) != S_OKAY) return 2;
  std::printf("%s\n", kesto_tool::address_to_text(dba).c_str());
  return 0;
}

int delete_record(const char *address_text) {
  db_address dba;
  if (int r = parse_address(address_text, &dba)) return r;
  int status = dt_crset(&dba, nullptr, 0);
  if (status == S_OKAY) status = dt_delete(nullptr, 0);
  return outcome(status);
}

int connect(const char *set_text, const char *owner_text, const char *member_text, const char *after_text) {
  int set;
  db_address owner, member, after = 0;
  if (int r = parse_set(set_text, &set)) return r;
  if (int r = parse_address(owner_text, &owner)) return r;
  if (int r = parse_address(member_text, &member)) return r;
  if (after_text)
    if (int r = parse_address(after_text, &after)) return r;
  if (dt_csoset(set, &owner, nullptr, 0) != S_OKAY) return 2;
  if (after) {
    if (dt_csmset(set, &after, nullptr, 0) != S_OKAY) return 2;
    db_address after_owner;
    if (dt_csoget(set, &after_owner, nullptr, 0) != S_OKAY || after_owner != owner) {
      std::fprintf(stderr, "kesto_tool: %s is not a member of %s\n", after_text, owner_text);
      return 2;
    }
  }
  int status = dt_crset(&member, nullptr, 0);
  if (status == S_OKAY) status = dt_connect(set, nullptr, 0);
  return outcome(status);
}

int disconnect(const char *set_text, const char *member_text) {
  int set;
  db_address member;
  if (int r = parse_set(set_text, &set)) return r;
  if (int r = parse_address(member_text, &member)) return r;
  int status = dt_csmset(set, &member, nullptr, 0);
  if (status == S_OKAY) status = dt_discon(set, nullptr, 0);
  return status == S_EOS ? 0 : outcome(status);
}

int walk(const char *set_text, const char *owner_text) {
  int set;
  db_address owner;
  if (int r = parse_set(set_text, &set)) return r;
  if (int r = parse_address(owner_text, &owner)) return r;
  if (dt_csoset(set, &owner, nullptr, 0) != S_OKAY) return 2;
  int32_t count;
  if (dt_members(set, &count, nullptr, 0) != S_OKAY) return 2;
  std::printf("%d members\n", static_cast<int>(count));
  int status = dt_findfm(set, nullptr, 0);
  for (; status == S_OKAY; status = dt_findnm(set, nullptr, 0)) {
    db_address dba;
    if (dt_crget(&dba, nullptr, 0) != S_OKAY || print_record(dba) != 0) return 2;
  }
  return status == S_EOS ? 0 : 2;
}

int stats(const char *which) {
  int rel = find_file(which);
  if (rel < 0) {
    std::fprintf(stderr, "kesto_tool: no file %s\n", which);
    return 2;
  }
  db_file_stats st;
  const char *name = kt().file_table[curr_dbt()->slice[TBL_FILE].first + rel].name;
  if (dt_getdbfilestats(name, &st, nullptr, 0) != S_OKAY) return 2;
  std::printf("%s: %s file, %d allocated, %d in use, at most %d\n", st.name, st.kind == 1 ? "data" : "key",
              st.allocated, st.in_use, st.maximum);
  return 0;
}

const char *entry_name(uint16_t type) {
  static const char *const names[] = {"?", "start", "change", "files", "commit", "abort"};
  return type <= tjf::ABORT ? names[type] : "?";
}

// One line per checkpoint-file name and per journal entry, read as a
// recovery would read them: a damaged tail ends the listing.
int list_journal() {
  db_task &t = kt();
  const kesto_io_methods *io = kesto_io();
  char tcf[PATHLEN], tjf_path[PATHLEN];
  vpathcpy(tcf, t.tcf_name, PATHLEN);
  vpathcpy(tjf_path, t.tjf_name, PATHLEN);
  if (prefix_dbwdir(tcf) != S_OKAY || prefix_dbwdir(tjf_path) != S_OKAY) return 2;
  int cfd = io->open(tcf, O_RDONLY, 0);
  int jfd = io->open(tjf_path, O_RDONLY, 0);
  int result = 0;
  uint32_t position, end;
  int outcome = tjf::ENTRY_READ;
  if (cfd < 0 || jfd < 0) {
    std::printf("no journal\n");
    result = NOTHING;
  } else if (tcf_read_hdr(cfd, &position, &end) != S_OKAY) {
    result = 2;
  } else {
    std::printf("checkpoint file %s\n", tcf);
    unsigned char name[tjf::NAME_BUFFER];
    for (int slot = 0;; ++slot) {
      if (tcf_read_entry(cfd, name, true, &position, end, &outcome) != S_OKAY) return 2;
      if (outcome != tjf::ENTRY_READ) break;
      std::printf("  slot %d %s\n", slot, reinterpret_cast<const char *>(name + 4));
    }
    if (outcome == tjf::DAMAGED) std::printf("  damaged at 0x%08x: the rest is not read\n", position);
    tjf::journal_header h;
    if (tjf_read_hdr(jfd, &h, &position, &end) != S_OKAY) {
      result = 2;
    } else {
      std::printf("journal %s: version %u, last id %u, ids from %u, last commit %u\n", tjf_path, h.version,
                  h.last_id, h.id_base, h.committed_id);
      std::vector<unsigned char> entry(65536);
      for (;;) {
        const uint32_t at = position;
        if (tjf_read_entry(jfd, entry.data(), static_cast<int>(entry.size()), true, &position, end, &outcome) !=
            S_OKAY) {
          result = 2;
          break;
        }
        if (outcome != tjf::ENTRY_READ) break;
        const tjf::entry_header e = tjf::get_entry_header(entry.data());
        std::printf("  0x%08x %s %u", at, entry_name(e.type), e.id);
        const unsigned char *body = entry.data() + tjf::ENTRY_HEADER;
        if (e.type == tjf::START) {
          std::printf(" at %u", get_u32(body));
        } else if (e.type == tjf::CHANGE) {
          std::printf(" file %u @ 0x%08x, %d bytes, tag %u", get_u16(body + 4), get_u32(body),
                      e.length - tjf::CHANGE_HEADER, get_u16(body + 6));
        } else if (e.type == tjf::FILES) {
          const int count = get_u16(body);
          for (int i = 0; i < count && tjf::FILES_LENGTH(i + 1) <= e.length; ++i)
            std::printf("%s file %u slot %u", i ? "," : ":", get_u16(body + 2 + 4 * i), get_u16(body + 4 + 4 * i));
        }
        std::printf("\n");
      }
      if (outcome == tjf::DAMAGED) std::printf("  damaged at 0x%08x: the rest is not read\n", position);
    }
  }
  if (cfd >= 0) io->close(cfd);
  if (jfd >= 0) io->close(jfd);
  return result;
}

// In a shared open: locks every record type of the open databases ('r' to
// read, 'w' to change). Static record types need no lock.
int lock_everything(char type) {
  db_task &t = kt();
  if (t.open_state != 1) return 0;
  for (int d = 0; d < t.no_of_dbs; ++d) {
    const table_slice &recs = t.db_table[d].slice[TBL_RECORD];
    std::vector<LOCK_REQUEST> requests;
    for (int r = 0; r < recs.count; ++r)
      if (!(t.record_table[recs.first + r].flags & REC_STATIC)) requests.push_back({RECORD_BASE + r, type});
    if (!requests.empty() && dt_lock(static_cast<int>(requests.size()), requests.data(), nullptr, d) != S_OKAY)
      return outcome(db_status);
  }
  return 0;
}

// Runs a change in a transaction of its own: committed when it succeeded,
// aborted otherwise.
template <typename Change>
int in_transaction(Change change) {
  if (dt_trbegin("kesto_tool", nullptr) != S_OKAY) return 2;
  int result = lock_everything('w');
  if (result == 0) result = change();
  if (result != 0) {
    dt_trabort(nullptr);
    return result;
  }
  return dt_trend(nullptr) == S_OKAY ? 0 : 2;
}

}  // namespace

int main(int argc, char **argv) {
  const char *dir = nullptr;
  const char *mode = "o";
  bool journaled = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (std::strcmp(argv[i], "-j") == 0) {
      journaled = true;
      continue;
    }
    if (i + 1 >= argc) return usage();
    if (std::strcmp(argv[i], "-d") == 0) dir = argv[++i];
    else if (std::strcmp(argv[i], "-m") == 0) mode = argv[++i];
    else return usage();
  }
  if (argc - i < 2) return usage();
  std::string command = argv[i];
  const char *names = argv[i + 1];
  int rest = argc - i - 2;
  char **args = argv + i + 2;
  static const struct {
    const char *name;
    int min_args, max_args;
  } commands[] = {{"open", 0, 0},       {"init", 0, 1},     {"dump", 2, 2},       {"records", 1, 1},
                  {"keys", 1, 1},       {"find", 2, 2},     {"write", 3, 3},      {"keystore", 2, 2},
                  {"keydel", 2, 2},     {"create", 1, 999}, {"delete", 1, 1},     {"connect", 3, 4},
                  {"disconnect", 2, 2}, {"walk", 2, 2},       {"stats", 1, 1},      {"journal", 0, 0},
                  {"checkpoint", 0, 0}, {"rollforward", 0, 0}};
  bool known = false;
  for (const auto &c : commands)
    if (command == c.name) {
      if (rest < c.min_args || rest > c.max_args) return usage();
      known = true;
    }
  if (!known) return usage();

  if (dir && dt_dbwdir(dir, nullptr) != S_OKAY) return 2;
  if (command == "checkpoint" || command == "rollforward") journaled = true;
  if (dt_on_opt(OPT_SYNCFILES | (journaled ? OPT_JOURNAL : 0u), nullptr) != S_OKAY) return 2;
  if (dt_open(names, mode, nullptr) != S_OKAY) return 2;
  static const char *const readers[] = {"records", "keys", "find", "walk", "stats"};
  int result = 0;
  for (const char *r : readers)
    if (command == r) result = lock_everything('r');
  if (result != 0) {
  } else if (command == "open") {
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
  } else if (command == "dump") {
    result = dump(args[0], args[1]);
  } else if (command == "records") {
    result = records(args[0]);
  } else if (command == "keys") {
    result = keys(args[0]);
  } else if (command == "find") {
    result = find(args[0], args[1]);
  } else if (command == "write") {
    result = in_transaction([&] { return write(args[0], args[1], args[2]); });
  } else if (command == "keystore" || command == "keydel") {
    result = in_transaction([&] { return optional_key(command == "keystore", args[0], args[1]); });
  } else if (command == "create") {
    result = in_transaction([&] { return create(args[0], rest - 1, args + 1); });
  } else if (command == "delete") {
    result = in_transaction([&] { return delete_record(args[0]); });
  } else if (command == "connect") {
    result = in_transaction([&] { return connect(args[0], args[1], args[2], rest > 3 ? args[3] : nullptr); });
  } else if (command == "disconnect") {
    result = in_transaction([&] { return disconnect(args[0], args[1]); });
  } else if (command == "stats") {
    result = stats(args[0]);
  } else if (command == "journal") {
    result = list_journal();
  } else if (command == "checkpoint") {
    // Shared: the lock manager has it run at a lock request.
    result = dt_checkpoint(nullptr) == S_OKAY ? lock_everything('r') : 2;
  } else if (command == "rollforward") {
    result = tjf_roll_forward(true) == S_OKAY ? 0 : 2;
  } else {
    result = walk(args[0], args[1]);
  }
  if (dt_close(nullptr) != S_OKAY) result = 2;
  return result;
}
