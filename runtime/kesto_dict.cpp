// The dictionary reader: appends the tables of each newly opened database to
// the task's combined tables, rebases their cross-references and resolves
// the full names of the data and key files.
//
// Dictionary file, little-endian:
//   0  6  version "V3.00" and 0x1A
//   6  8 x u16: page size, files, record types, fields, sets, members, sorts, keys
//   22 file table (1038 bytes each), record table (12), field table (20),
//      set table (12), member table (8), sort table (4), key table (8)
// Indexes in the file are relative to the database.
//
// A dictionary is validated before it is used: every size and index that the
// engine later trusts is checked, and a dictionary that fails gives -21.
#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"

int16_t old_no_of_dbs = 0;
int16_t old_size_ft = 0, old_size_rt = 0, old_size_fd = 0, old_size_st = 0, old_size_mt = 0,
        old_size_srt = 0, old_size_kt = 0;

namespace {

const char *const compat_dbd[] = {"V3.00\x1a"};
constexpr int size_compat = 1;
constexpr int HEADER_SIZE = 22;
constexpr int FILE_ENTRY_SIZE = 1038;
constexpr size_t entry_sizes[TBL_COUNT] = {FILE_ENTRY_SIZE, 12, 20, 12, 8, 4, 8};
constexpr int MAX_COMPOUND_KEY = 256;
constexpr int MIN_PAGE_SIZE = 64;

int16_t get_i16(const unsigned char *p) { return static_cast<int16_t>(get_u16(p)); }

// Builds path + name of database i and its dictionary name.
int dictionary_name(int i, char *dbname, char *dictionary, int msg_len, int msg_dbd) {
  db_task &t = kt();
  const db_entry &db = t.db_table[i];
  if (std::strlen(db.path) + std::strlen(db.name) > 1020) return dberr_code(S_NAMELEN, msg_len);
  std::strcpy(dbname, db.path);
  std::strcat(dbname, db.name);
  if (con_dbd(dictionary, dbname, get_element(t.dbdpath, i)) != S_OKAY)
    return dberr_code(db_status, msg_dbd, "%s", dbname);
  return S_OKAY;
}

// Checks one database's tables (indexes still relative to the database).
class dictionary_check {
 public:
  dictionary_check(const char *name, int page_size, const int counts[TBL_COUNT],
                   const std::vector<unsigned char> &tables)
      : name_(name), page_size_(page_size), tables_(tables) {
    std::memcpy(counts_, counts, sizeof counts_);
    size_t at = 0;
    for (int k = 0; k < TBL_COUNT; ++k) {
      start_[k] = at;
      at += static_cast<size_t>(counts_[k]) * entry_sizes[k];
    }
  }

  int run() {
    if (page_size_ < MIN_PAGE_SIZE) return fail("page size %d too small", page_size_);
    for (int i = 0; i < counts_[TBL_FILE]; ++i)
      if (check_file(i) != S_OKAY) return db_status;
    for (int i = 0; i < counts_[TBL_RECORD]; ++i)
      if (check_record(i) != S_OKAY) return db_status;
    key_fields_ = 0;
    for (int i = 0; i < counts_[TBL_FIELD]; ++i)
      if (entry(TBL_FIELD, i)[0] != 'n') ++key_fields_;
    std::vector<char> key_seen(static_cast<size_t>(counts_[TBL_FIELD]), 0);
    for (int i = 0; i < counts_[TBL_FIELD]; ++i)
      if (check_field(i, key_seen) != S_OKAY) return db_status;
    if (check_groups() != S_OKAY) return db_status;
    for (int i = 0; i < counts_[TBL_SET]; ++i)
      if (check_set(i) != S_OKAY) return db_status;
    for (int i = 0; i < counts_[TBL_MEMBER]; ++i)
      if (check_member(i) != S_OKAY) return db_status;
    for (int i = 0; i < counts_[TBL_SORT]; ++i)
      if (check_sort(i) != S_OKAY) return db_status;
    for (int i = 0; i < counts_[TBL_KEY]; ++i)
      if (check_key(i) != S_OKAY) return db_status;
    return S_OKAY;
  }

 private:
  const unsigned char *entry(int table, int i) const {
    return tables_.data() + start_[table] + static_cast<size_t>(i) * entry_sizes[table];
  }
  bool in(int table, int i) const { return i >= 0 && i < counts_[table]; }

  int fail(const char *fmt, int a = 0, int b = 0, int c = 0) const {
    char text[200];
    std::snprintf(text, sizeof text, fmt, a, b, c);
    return dberr_code(S_INCOMPAT, 720, "%s.dbd: %s", name_, text);
  }

  int check_file(int i) const {
    const unsigned char *e = entry(TBL_FILE, i);
    if (!std::memchr(e, 0, FILENMLEN) || e[0] == 0) return fail("file %d: bad file name", i);
    char type = static_cast<char>(e[1029]);
    int slots = get_i16(e + 1030), slot_size = get_i16(e + 1032), page = get_i16(e + 1034);
    if (page < MIN_PAGE_SIZE || page > page_size_)
      return fail("file %d: page size %d", i, page);
    if (slots < 1 || slot_size < 1) return fail("file %d: %d slots of %d bytes", i, slots, slot_size);
    if (type == 'k') {
      if (slot_size < 11 || slot_size > KEYSLOT_LEN) return fail("file %d: key slot size %d", i, slot_size);
      if (slots < 3 || 10 + slots * slot_size > page)
        return fail("file %d: %d key slots do not fit a page of %d bytes", i, slots, page);
    } else {
      if (slot_size < 6) return fail("file %d: slot size %d", i, slot_size);
      if (4 + slots * slot_size > page)
        return fail("file %d: %d slots do not fit a page of %d bytes", i, slots, page);
    }
    return S_OKAY;
  }

  bool is_key_file(int f) const { return in(TBL_FILE, f) && entry(TBL_FILE, f)[1029] == 'k'; }
  int slot_size(int f) const { return get_i16(entry(TBL_FILE, f) + 1032); }
  int record_length(int r) const { return get_i16(entry(TBL_RECORD, r) + 2); }

  int check_record(int i) const {
    const unsigned char *e = entry(TBL_RECORD, i);
    int file = get_i16(e), length = get_i16(e + 2), data = get_i16(e + 4);
    int first = get_i16(e + 6), count = get_i16(e + 8);
    uint16_t flags = get_u16(e + 10);
    if (!in(TBL_FILE, file) || is_key_file(file)) return fail("record %d: file %d", i, file);
    int header = (flags & REC_TIMESTAMPED) ? 14 : 6;
    if (length < header || length > slot_size(file))
      return fail("record %d: length %d, slot size %d", i, length, slot_size(file));
    if (data < header || data > length) return fail("record %d: data offset %d", i, data);
    if (count < -1 || (count > 0 && (!in(TBL_FIELD, first) || first + count > counts_[TBL_FIELD])))
      return fail("record %d: fields %d..%d", i, first, first + count - 1);
    for (int f = first; f < first + count; ++f)
      if (field_record(f) != i) return fail("record %d: field %d belongs to record %d", i, f, field_record(f));
    return S_OKAY;
  }

  int field_record(int f) const { return get_i16(entry(TBL_FIELD, f) + 16); }
  int field_length(int f) const { return get_i16(entry(TBL_FIELD, f) + 2); }
  int field_offset(int f) const { return get_i16(entry(TBL_FIELD, f) + 14); }
  int record_data(int r) const { return get_i16(entry(TBL_RECORD, r) + 4); }

  // Elements of a field as its dimensions give them (fldcmp's count); -1
  // for a negative dimension.
  long long elements(int f) const {
    const unsigned char *e = entry(TBL_FIELD, f);
    int d0 = get_i16(e + 4), d1 = get_i16(e + 6), d2 = get_i16(e + 8);
    if (d0 < 0 || d1 < 0 || d2 < 0) return -1;
    if (d0 == 0) return 1;
    long long n = d0;
    if (d1 != 0) {
      n *= d1;
      if (d2 != 0) n *= d2;
    }
    return n;
  }

  static int element_size(char type) {
    switch (type) {
      case 'c': return 1;
      case 's': return 2;
      case 'i': case 'l': case 'f': case 'd': return 4;
      case 'F': return 8;
      default: return 0;
    }
  }

  // Group members follow their group field, lie in the group's first
  // element and belong to its record: comparisons and stores of a group
  // walk them at those offsets.
  int check_groups() const {
    int group = -1;
    for (int i = 0; i < counts_[TBL_FIELD]; ++i) {
      const unsigned char *e = entry(TBL_FIELD, i);
      char type = static_cast<char>(e[1]);
      if (!(get_u16(e + 18) & FLD_GROUPED)) {
        group = type == 'g' ? i : -1;
        continue;
      }
      if (group < 0 || type == 'g' || type == 'k' || field_record(i) != field_record(group))
        return fail("field %d: group member outside a group", i);
      long long element = field_length(group) / elements(group);
      int at = field_offset(i) - field_offset(group);
      if (at < 0 || at + field_length(i) > element)
        return fail("field %d: bytes %d..%d outside its group", i, at, at + field_length(i) - 1);
    }
    return S_OKAY;
  }

  int check_field(int i, std::vector<char> &key_seen) const {
    const unsigned char *e = entry(TBL_FIELD, i);
    char key = static_cast<char>(e[0]), type = static_cast<char>(e[1]);
    int length = get_i16(e + 2), key_file = get_i16(e + 10), key_number = get_i16(e + 12);
    int offset = get_i16(e + 14), record = get_i16(e + 16);
    if (!in(TBL_RECORD, record)) return fail("field %d: record %d", i, record);
    if (length < 1) return fail("field %d: length %d", i, length);
    if (!type || !std::strchr("csilfFdgk", type)) return fail("field %d: type %d", i, type);
    long long n = elements(i);
    if (n < 1) return fail("field %d: bad dimensions", i);
    if (type == 'g' ? n > length : n * element_size(type) > length)
      return fail("field %d: %d elements in %d bytes", i, static_cast<int>(n), length);
    if (type == 'k') {
      if (key == 'n') return fail("field %d: compound field that is no key", i);
      if (length > MAX_COMPOUND_KEY) return fail("field %d: compound key of %d bytes", i, length);
      if (!in(TBL_KEY, offset) || get_i16(entry(TBL_KEY, offset)) != i)
        return fail("field %d: key table entry %d", i, offset);
    } else if (offset < record_data(record) || offset + length > record_length(record)) {
      // Callers' record images start at the record's data offset.
      return fail("field %d: bytes %d..%d outside its record's data", i, offset, offset + length - 1);
    }
    if (key != 'n') {
      if (!is_key_file(key_file)) return fail("field %d: key file %d", i, key_file);
      if (10 + length > slot_size(key_file))
        return fail("field %d: key of %d bytes, key slot of %d", i, length, slot_size(key_file));
      // Key numbers index the key position table, one entry per key field.
      if (key_number < 0 || key_number >= key_fields_ || key_seen[static_cast<size_t>(key_number)])
        return fail("field %d: key number %d", i, key_number);
      key_seen[static_cast<size_t>(key_number)] = 1;
    }
    int optional = (get_u16(e + 18) & FLD_OPTKEY_MASK) >> 10;
    if (optional) {
      int header = (get_u16(entry(TBL_RECORD, record) + 10) & REC_TIMESTAMPED) ? 14 : 6;
      if (key == 'n' || header + (optional - 1) / 8 >= record_data(record))
        return fail("field %d: optional key %d", i, optional);
    }
    return S_OKAY;
  }

  int check_set(int i) const {
    const unsigned char *e = entry(TBL_SET, i);
    int order = get_i16(e), owner = get_i16(e + 2), ptr = get_i16(e + 4);
    int first = get_i16(e + 6), count = get_i16(e + 8);
    int size = (get_u16(e + 10) & SET_TIMESTAMPED) ? 16 : 12;
    if (!std::strchr("flnad", order) || order == 0) return fail("set %d: order %d", i, order);
    if (!in(TBL_RECORD, owner)) return fail("set %d: owner %d", i, owner);
    if (ptr < 6 || ptr + size > record_length(owner)) return fail("set %d: set pointer at %d", i, ptr);
    if (count < 0 || (count > 0 && (!in(TBL_MEMBER, first) || first + count > counts_[TBL_MEMBER])))
      return fail("set %d: members %d..%d", i, first, first + count - 1);
    // A member's sort fields are fields of the member, ordering this set.
    for (int m = first; m < first + count; ++m) {
      const unsigned char *me = entry(TBL_MEMBER, m);
      int member = get_i16(me), sorts = get_i16(me + 6), first_sort = get_i16(me + 4);
      for (int so = first_sort; sorts > 0 && so < first_sort + sorts; ++so) {
        if (!in(TBL_SORT, so)) continue;  // the member check refuses it
        int field = get_i16(entry(TBL_SORT, so)), set = get_i16(entry(TBL_SORT, so) + 2);
        if (set != i || !in(TBL_FIELD, field) || field_record(field) != member)
          return fail("set %d: sort field %d of member %d", i, field, member);
      }
    }
    return S_OKAY;
  }

  int check_member(int i) const {
    const unsigned char *e = entry(TBL_MEMBER, i);
    int record = get_i16(e), ptr = get_i16(e + 2), first = get_i16(e + 4), count = get_i16(e + 6);
    if (!in(TBL_RECORD, record)) return fail("member %d: record %d", i, record);
    if (ptr < 6 || ptr + 12 > record_length(record)) return fail("member %d: member pointer at %d", i, ptr);
    if (count < 0 || (count > 0 && (!in(TBL_SORT, first) || first + count > counts_[TBL_SORT])))
      return fail("member %d: sort fields %d..%d", i, first, first + count - 1);
    return S_OKAY;
  }

  int check_sort(int i) const {
    const unsigned char *e = entry(TBL_SORT, i);
    if (!in(TBL_FIELD, get_i16(e)) || !in(TBL_SET, get_i16(e + 2)))
      return fail("sort entry %d: field %d, set %d", i, get_i16(e), get_i16(e + 2));
    return S_OKAY;
  }

  int check_key(int i) const {
    const unsigned char *e = entry(TBL_KEY, i);
    int compound = get_i16(e), component = get_i16(e + 2), offset = get_i16(e + 4);
    if (!in(TBL_FIELD, compound) || entry(TBL_FIELD, compound)[1] != 'k')
      return fail("key entry %d: compound field %d", i, compound);
    if (!in(TBL_FIELD, component) || entry(TBL_FIELD, component)[1] == 'k')
      return fail("key entry %d: component field %d", i, component);
    if (field_record(component) != field_record(compound))
      return fail("key entry %d: component field %d of another record", i, component);
    int clen = get_i16(entry(TBL_FIELD, component) + 2);
    int klen = get_i16(entry(TBL_FIELD, compound) + 2);
    if (offset < 0 || offset + clen > klen) return fail("key entry %d: component at %d", i, offset);
    return S_OKAY;
  }

  const char *name_;
  int page_size_;
  int key_fields_ = 0;
  int counts_[TBL_COUNT];
  size_t start_[TBL_COUNT];
  const std::vector<unsigned char> &tables_;
};

template <typename T>
int grow(T **table, int new_count, int old_count) {
  if (new_count == 0) return S_OKAY;
  return alloc_table(reinterpret_cast<void **>(table), sizeof(T) * static_cast<size_t>(new_count),
                     sizeof(T) * static_cast<size_t>(old_count));
}

int read_tables(int i, const char *dictionary, std::vector<unsigned char> *tables) {
  db_task &t = kt();
  const db_entry &db = t.db_table[i];
  size_t total = 0;
  for (int k = 0; k < TBL_COUNT; ++k)
    total += static_cast<size_t>(db.slice[k].count) * entry_sizes[k];
  tables->assign(total, 0);
  const kesto_io_methods *io = kesto_io();
  int fd = open_b(dictionary, O_RDONLY);
  if (fd < 0) return dberr_code(S_BADSEEK, 459, "%s", dictionary);
  off_t at = HEADER_SIZE;
  size_t pos = 0;
  for (int k = 0; k < TBL_COUNT; ++k) {
    size_t n = static_cast<size_t>(db.slice[k].count) * entry_sizes[k];
    // The file and record tables are always read: a dictionary without
    // files or record types is unreadable.
    if (n == 0 && k > TBL_RECORD) continue;
    ssize_t got = n ? io->pread(fd, tables->data() + pos, n, at) : 0;
    if (got <= 0 || static_cast<size_t>(got) != n) {
      io->close(fd);
      return dberr_code(S_BADREAD, 461, "%s", dictionary);
    }
    at += static_cast<off_t>(n);
    pos += n;
  }
  if (io->close(fd) < 0) return dberr_code(S_BADREAD, 461, "%s", dictionary);
  return S_OKAY;
}

}  // namespace

int inittab() {
  db_task &t = kt();
  const kesto_io_methods *io = kesto_io();
  t.rec_stamped = 0;
  t.set_stamped = 0;
  for (int r = 0; r < t.size_rt; ++r)
    if (t.record_table[r].flags & REC_TIMESTAMPED) t.rec_stamped = 1;
  for (int s = 0; s < t.size_st; ++s)
    if (t.set_table[s].flags & SET_TIMESTAMPED) t.set_stamped = 1;

  // Combined sizes before this open.
  int sizes[TBL_COUNT] = {0, 0, 0, 0, 0, 0, 0};
  if (old_no_of_dbs > 0) {
    const db_entry &last = t.db_table[old_no_of_dbs - 1];
    for (int k = 0; k < TBL_COUNT; ++k) sizes[k] = last.slice[k].first + last.slice[k].count;
  }
  int old_sizes[TBL_COUNT];
  std::memcpy(old_sizes, sizes, sizeof sizes);
  old_size_ft = static_cast<int16_t>(sizes[TBL_FILE]);
  old_size_rt = static_cast<int16_t>(sizes[TBL_RECORD]);
  old_size_fd = static_cast<int16_t>(sizes[TBL_FIELD]);
  old_size_st = static_cast<int16_t>(sizes[TBL_SET]);
  old_size_mt = static_cast<int16_t>(sizes[TBL_MEMBER]);
  old_size_srt = static_cast<int16_t>(sizes[TBL_SORT]);
  old_size_kt = static_cast<int16_t>(sizes[TBL_KEY]);

  char dbname[PATHLEN], dictionary[PATHLEN + 8];

  // Header pass.
  for (int i = old_no_of_dbs; i < t.no_of_dbs; ++i) {
    db_entry &db = t.db_table[i];
    if (dictionary_name(i, dbname, dictionary, 455, 516) != S_OKAY) return db_status;
    int fd = open_b(dictionary, O_RDONLY);
    if (fd < 0) return dberr_code(S_INVDB, 456, "%s", dictionary);
    unsigned char header[HEADER_SIZE];
    ssize_t got = io->pread(fd, header, sizeof header, 0);
    if (got >= 6) {
      bool compatible = false;
      for (int c = 0; c < size_compat; ++c)
        if (std::memcmp(header, compat_dbd[c], 6) == 0) compatible = true;
      if (!compatible) {
        io->close(fd);
        return dberr_code(S_INCOMPAT, 457, "%s", dictionary);
      }
    }
    if (io->close(fd) < 0 || got != HEADER_SIZE) return dberr_code(S_BADREAD, 461, "%s", dictionary);
    db.page_size = get_i16(header + 6);
    for (int k = 0; k < TBL_COUNT; ++k) {
      int count = get_u16(header + 8 + 2 * k);
      if (sizes[k] + count > 32000)
        return dberr_code(S_INCOMPAT, 721, "%s: %d table entries", dictionary, count);
      db.slice[k].count = static_cast<int16_t>(count);
      db.slice[k].first = static_cast<int16_t>(sizes[k]);
      sizes[k] += count;
    }
    if (db.page_size > t.largest_page) t.largest_page = db.page_size;
  }

  // Grow the combined tables; the file table keeps one more entry for the
  // overflow file.
  if (alloc_table(reinterpret_cast<void **>(&t.file_table),
                  sizeof(file_entry) * static_cast<size_t>(sizes[TBL_FILE] + 1),
                  sizeof(file_entry) * static_cast<size_t>(t.file_table ? t.size_ft + 1 : 0)) !=
          S_OKAY ||
      grow(&t.record_table, sizes[TBL_RECORD], t.size_rt) != S_OKAY ||
      grow(&t.field_table, sizes[TBL_FIELD], t.size_fd) != S_OKAY ||
      grow(&t.set_table, sizes[TBL_SET], t.size_st) != S_OKAY ||
      grow(&t.member_table, sizes[TBL_MEMBER], t.size_mt) != S_OKAY ||
      grow(&t.sort_table, sizes[TBL_SORT], t.size_srt) != S_OKAY ||
      grow(&t.key_table, sizes[TBL_KEY], t.size_kt) != S_OKAY)
    return db_status;
  set_table_sizes(t, sizes);

  // Table pass.
  int key_number = t.key_count;
  for (int i = old_no_of_dbs; i < t.no_of_dbs; ++i) {
    db_entry &db = t.db_table[i];
    if (dictionary_name(i, dbname, dictionary, 458, 517) != S_OKAY) return db_status;
    std::vector<unsigned char> tables;
    if (read_tables(i, dictionary, &tables) != S_OKAY) return db_status;
    int counts[TBL_COUNT];
    for (int k = 0; k < TBL_COUNT; ++k) counts[k] = db.slice[k].count;
    if (dictionary_check(dbname, db.page_size, counts, tables).run() != S_OKAY) return db_status;

    db.first_key = static_cast<int16_t>(key_number);
    const int ff = db.slice[TBL_FILE].first, fr = db.slice[TBL_RECORD].first;
    const int fl = db.slice[TBL_FIELD].first, fs = db.slice[TBL_SET].first;
    const int fm = db.slice[TBL_MEMBER].first, fo = db.slice[TBL_SORT].first;
    const int fk = db.slice[TBL_KEY].first;
    const unsigned char *p = tables.data();

    bool resolve = db.path[0] || t.dbfpath[0] || t.dbwdir[0];
    const char *element = get_element(t.dbfpath, i);
    char element_copy[2051] = "";
    if (element) std::strcpy(element_copy, element);
    for (int n = 0; n < counts[TBL_FILE]; ++n, p += FILE_ENTRY_SIZE) {
      file_entry &fe = t.file_table[ff + n];
      std::memcpy(fe.name, p, FILENMLEN);
      fe.desc = -1;
      fe.status = 'c';
      fe.type = p[1029] == 'k' ? 'k' : 'd';
      fe.slots = get_i16(p + 1030);
      fe.slot_size = get_i16(p + 1032);
      fe.page_size = get_i16(p + 1034);
      fe.flags = static_cast<uint16_t>(get_u16(p + 1036) & FILE_STATIC);
      if (resolve) {
        if (std::strlen(db.path) + std::strlen(db.name) > 1024) return dberr_code(S_NAMELEN, 460);
        char full[PATHLEN];
        if (con_dbf(full, fe.name, dbname, element ? element_copy : nullptr) != S_OKAY)
          return dberr_code(db_status, 518, "%s", fe.name);
        std::strcpy(fe.name, full);
      }
    }
    for (int n = 0; n < counts[TBL_RECORD]; ++n, p += 12) {
      record_entry &re = t.record_table[fr + n];
      re.file = static_cast<int16_t>(get_i16(p) + ff);
      re.length = get_i16(p + 2);
      re.data = get_i16(p + 4);
      re.field_count = get_i16(p + 8);
      re.first_field = static_cast<int16_t>(get_i16(p + 6) + fl);
      re.flags = get_u16(p + 10);
      if (t.file_table[re.file].flags & FILE_STATIC) re.flags |= REC_STATIC;
      if (re.flags & REC_TIMESTAMPED) t.rec_stamped = 1;
    }
    for (int n = 0; n < counts[TBL_FIELD]; ++n, p += 20) {
      field_entry &fd = t.field_table[fl + n];
      fd.key = static_cast<char>(p[0]);
      fd.type = static_cast<char>(p[1]);
      fd.length = get_i16(p + 2);
      for (int d = 0; d < 3; ++d) fd.dims[d] = get_i16(p + 4 + 2 * d);
      fd.key_file = get_i16(p + 10);
      fd.key_number = get_i16(p + 12);
      fd.offset = get_i16(p + 14);
      fd.record = static_cast<int16_t>(get_i16(p + 16) + fr);
      fd.flags = get_u16(p + 18);
      if (fd.key != 'n') {
        fd.key_number = static_cast<int16_t>(fd.key_number + db.first_key);
        fd.key_file = static_cast<int16_t>(fd.key_file + ff);
        ++key_number;
      }
      if (fd.type == 'k') fd.offset = static_cast<int16_t>(fd.offset + fk);
    }
    for (int n = 0; n < counts[TBL_SET]; ++n, p += 12) {
      set_entry &se = t.set_table[fs + n];
      se.order = get_i16(p);
      se.owner = static_cast<int16_t>(get_i16(p + 2) + fr);
      se.owner_ptr = get_i16(p + 4);
      se.first_member = static_cast<int16_t>(get_i16(p + 6) + fm);
      se.member_count = get_i16(p + 8);
      se.flags = get_u16(p + 10);
      if (se.flags & SET_TIMESTAMPED) t.set_stamped = 1;
    }
    for (int n = 0; n < counts[TBL_MEMBER]; ++n, p += 8) {
      member_entry &me = t.member_table[fm + n];
      me.record = static_cast<int16_t>(get_i16(p) + fr);
      me.member_ptr = get_i16(p + 2);
      me.first_sort = static_cast<int16_t>(get_i16(p + 4) + fo);
      me.sort_count = get_i16(p + 6);
    }
    for (int n = 0; n < counts[TBL_SORT]; ++n, p += 4) {
      sort_entry &so = t.sort_table[fo + n];
      so.field = static_cast<int16_t>(get_i16(p) + fl);
      so.set = static_cast<int16_t>(get_i16(p + 2) + fs);
    }
    for (int n = 0; n < counts[TBL_KEY]; ++n, p += 8) {
      key_entry &ke = t.key_table[fk + n];
      ke.compound = static_cast<int16_t>(get_i16(p) + fl);
      ke.component = static_cast<int16_t>(get_i16(p + 2) + fl);
      ke.offset = get_i16(p + 4);
      ke.order = get_i16(p + 6);
    }
  }

  // The descriptor table is indexed by descriptor and grows on demand; a
  // table that exists already still tracks open files and is kept.
  if (!t.ring) {
    int n = t.ring_last + 1;
    t.ring = static_cast<ring_entry *>(d_alloc(sizeof(ring_entry) * n));
    if (!t.ring) return dberr_code(S_NOMEMORY, 722);
    for (int r = 0; r < n; ++r) t.ring[r] = {-1, 0};
    t.ring_size = n;
    t.ring_hand = 0;
  }

  for (int i = old_no_of_dbs; i < t.no_of_dbs; ++i) {
    t.db_table[i].saved_cr = 0;
    t.scan_table[i] = {-1, 0};
  }

  if (t.size_st > 0) {
    int old_st = old_sizes[TBL_SET];
    if (grow(&t.curr_own, t.size_st, old_st) != S_OKAY || grow(&t.curr_mem, t.size_st, old_st) != S_OKAY)
      return db_status;
    if (t.rec_stamped &&
        (grow(&t.co_time, t.size_st, t.co_time ? old_st : 0) != S_OKAY ||
         grow(&t.cm_time, t.size_st, t.cm_time ? old_st : 0) != S_OKAY))
      return db_status;
    if (t.set_stamped && grow(&t.cs_time, t.size_st, t.cs_time ? old_st : 0) != S_OKAY)
      return db_status;
    for (int i = old_no_of_dbs; i < t.no_of_dbs; ++i) {
      db_entry &db = t.db_table[i];
      int sysrec = -1;
      for (int r = 0; r < db.slice[TBL_RECORD].count && sysrec < 0; ++r)
        if (t.record_table[db.slice[TBL_RECORD].first + r].field_count == -1)
          sysrec = db.slice[TBL_RECORD].first + r;
      if (sysrec < 0) continue;
      int rel_file = t.record_table[sysrec].file - db.slice[TBL_FILE].first;
      db_address sysdba = static_cast<db_address>(rel_file) << FILE_SHIFT | 1u;
      for (int s = 0; s < db.slice[TBL_SET].count; ++s) {
        int si = db.slice[TBL_SET].first + s;
        if (t.set_table[si].owner == sysrec) t.curr_own[si] = sysdba;
      }
      db.sysdba = sysdba;
      db.saved_cr = sysdba;
    }
  }

  // The database that was current keeps its current record; the first new
  // database becomes current and default.
  if (old_no_of_dbs > 0 && t.curr_db >= 0 && t.curr_db < old_no_of_dbs)
    t.db_table[t.curr_db].saved_cr = t.current_record;
  t.curr_db = old_no_of_dbs;
  t.default_db = old_no_of_dbs;
  t.current_record = t.db_table[old_no_of_dbs].saved_cr;
  return db_status = S_OKAY;
}
