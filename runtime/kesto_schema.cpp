#include "runtime/kesto_schema.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace kesto_schema {

namespace {

constexpr int NAME_FIELD = 1026;
constexpr int MAX_KEY_SLOT = 260;
constexpr int MAX_COMPOUND = 256;

struct Bytes {
  std::vector<unsigned char> &out;
  void u16(int v) {
    out.push_back(static_cast<unsigned char>(v & 0xFF));
    out.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
  }
  void u8(int v) { out.push_back(static_cast<unsigned char>(v & 0xFF)); }
  void text(const std::string &s, size_t width) {
    for (size_t i = 0; i < width; ++i) out.push_back(i < s.size() ? static_cast<unsigned char>(s[i]) : 0);
  }
};

int element_size(char type) {
  switch (type) {
    case 'c': return 1;
    case 's': return 2;
    case 'i': case 'l': case 'f': case 'd': return 4;
    case 'F': return 8;
    default: return 0;
  }
}

int alignment(char type) {
  switch (type) {
    case 's': return 2;
    case 'i': case 'l': case 'f': case 'd': case 'F': return 4;
    default: return 1;
  }
}

int round_up(int v, int a) { return (v + a - 1) / a * a; }

int element_count(const std::vector<int> &dims) {
  int n = 1;
  for (int d : dims) n *= d;
  return n;
}

// One row of the dictionary's field table before it is written.
struct FieldRow {
  char key = 'n';
  char type = 'c';
  int length = 0;
  int dims[3] = {0, 0, 0};
  int key_file = 0;
  int key_number = 0;
  int offset = 0;
  int record = 0;
  int flags = 0;
  std::string name;
};

struct Builder {
  Builder(const Schema &schema, Layout &out, std::string &why) : s(schema), layout(out), error(why) {}

  const Schema &s;
  Layout &layout;
  std::string &error;

  std::map<std::string, int> file_index;
  std::map<std::string, int> record_index;
  std::vector<FieldRow> fields;
  struct RecordRow { int file, length, data, first, count, flags; };
  std::vector<RecordRow> records;
  struct SetRow { int order, owner, ptr, first, count, flags; };
  std::vector<SetRow> sets;
  struct MemberRow { int record, ptr, first, count; };
  std::vector<MemberRow> members;
  struct SortRow { int field, set; };
  std::vector<SortRow> sorts;
  struct KeyRow { int compound, component, offset, order; };
  std::vector<KeyRow> keys;
  std::vector<int> file_slot;   // largest slot needed per file
  int key_count = 0;

  bool fail(const std::string &why) {
    error = why;
    return false;
  }

  int page_of(const FileDef &f) const { return f.page_size ? f.page_size : s.page_size; }

  bool lay_field(const FieldDef &fd, int record, int &at, int &optional_no, RecordInfo &info,
                 int position_base, bool grouped, std::vector<int> &key_rows) {
    FieldRow row;
    row.name = fd.name;
    row.type = fd.type;
    row.record = record;
    if (fd.dims.size() > 3) return fail("field " + fd.name + ": more than three dimensions");
    for (size_t i = 0; i < fd.dims.size(); ++i) {
      if (fd.dims[i] < 1) return fail("field " + fd.name + ": bad dimension");
      row.dims[i] = fd.dims[i];
    }
    if (fd.is_unsigned) row.flags |= 0x4;
    if (grouped) row.flags |= 0x2;
    int count = element_count(fd.dims);
    int align;
    if (fd.type == 'g') {
      if (fd.members.empty()) return fail("group " + fd.name + " has no members");
      align = 1;
      for (const FieldDef &m : fd.members) {
        if (m.type == 'g') return fail("group " + fd.name + ": groups do not nest");
        align = std::max(align, alignment(m.type));
      }
    } else {
      if (!element_size(fd.type)) return fail("field " + fd.name + ": unknown type");
      align = alignment(fd.type);
    }
    at = round_up(at, align);
    row.offset = at;
    int index = static_cast<int>(fields.size());
    fields.push_back(row);
    FieldInfo fi;
    fi.number = position_base;
    fi.index = index;
    fi.offset = at;
    fi.key = fd.key;
    fi.optional = fd.key != 'n' && fd.optional;
    if (info.fields.count(fd.name)) return fail("record field " + fd.name + " declared twice");
    if (fd.type == 'g') {
      int inner = at;
      for (const FieldDef &m : fd.members) {
        if (!lay_field(m, record, inner, optional_no, info, 0, true, key_rows)) return false;
      }
      int one = round_up(inner - at, align);
      fields[static_cast<size_t>(index)].length = one * count;
      at += one * count;
    } else {
      fields[static_cast<size_t>(index)].length = element_size(fd.type) * count;
      at += element_size(fd.type) * count;
    }
    fi.length = fields[static_cast<size_t>(index)].length;
    info.fields[fd.name] = fi;
    if (fd.key != 'n') {
      if (fd.type == 'g') return fail("group " + fd.name + " cannot be a key");
      if (!set_key(index, fd.key, fd.key_file, fd.optional, optional_no)) return false;
      key_rows.push_back(index);
    }
    return true;
  }

  bool set_key(int index, char kind, const std::string &key_file, bool optional, int &optional_no) {
    FieldRow &row = fields[static_cast<size_t>(index)];
    if (kind != 'u' && kind != 'd') return fail("field " + row.name + ": bad key kind");
    auto it = file_index.find(key_file);
    if (it == file_index.end()) return fail("field " + row.name + ": unknown key file " + key_file);
    if (s.files[static_cast<size_t>(it->second)].type != 'k')
      return fail("field " + row.name + ": " + key_file + " is not a key file");
    row.key = kind;
    row.key_file = it->second;
    if (optional) {
      if (++optional_no > 63) return fail("field " + row.name + ": more than 63 optional keys");
      row.flags |= optional_no << 10;
    }
    int entry = 10 + row.length;
    file_slot[static_cast<size_t>(it->second)] = std::max(file_slot[static_cast<size_t>(it->second)], entry);
    return true;
  }

  bool build(std::vector<unsigned char> *image) {
    if (s.name.empty() || s.name.size() > 11) return fail("database name must have 1 to 11 characters");
    if (s.page_size < 64 || s.page_size > 32767) return fail("bad database page size");
    if (s.files.empty()) return fail("no files");
    if (s.records.empty()) return fail("no record types");
    file_slot.assign(s.files.size(), 0);
    for (size_t i = 0; i < s.files.size(); ++i) {
      const FileDef &f = s.files[i];
      std::string id = f.id.empty() ? f.name : f.id;
      if (f.name.empty() || f.name.size() >= NAME_FIELD) return fail("file " + id + ": bad file name");
      if (f.type != 'd' && f.type != 'k') return fail("file " + id + ": type must be data or key");
      if (page_of(f) < 64 || page_of(f) > s.page_size) return fail("file " + id + ": bad page size");
      if (file_index.count(id)) return fail("file " + id + " declared twice");
      file_index[id] = static_cast<int>(i);
    }
    for (size_t r = 0; r < s.records.size(); ++r) {
      if (record_index.count(s.records[r].name)) return fail("record " + s.records[r].name + " declared twice");
      record_index[s.records[r].name] = static_cast<int>(r);
    }
    // Set pointers and member pointers that each record carries.
    std::vector<std::vector<std::pair<int, int>>> owned(s.records.size()), member_of(s.records.size());
    for (size_t st = 0; st < s.sets.size(); ++st) {
      const SetDef &set = s.sets[st];
      auto o = record_index.find(set.owner);
      if (o == record_index.end()) return fail("set " + set.name + ": unknown owner " + set.owner);
      if (!std::strchr("flnad", set.order) || !set.order) return fail("set " + set.name + ": bad order");
      if (set.members.empty()) return fail("set " + set.name + " has no members");
      owned[static_cast<size_t>(o->second)].push_back({static_cast<int>(st), set.timestamped ? 16 : 12});
      for (const MemberDef &m : set.members) {
        auto mr = record_index.find(m.record);
        if (mr == record_index.end()) return fail("set " + set.name + ": unknown member " + m.record);
        member_of[static_cast<size_t>(mr->second)].push_back({static_cast<int>(st), 12});
      }
      layout.sets[set.name] = 20000 + static_cast<int>(st);
    }

    std::vector<int> key_rows;  // field rows that are keys, in table order
    for (size_t r = 0; r < s.records.size(); ++r) {
      const RecordDef &rd = s.records[r];
      RecordInfo info;
      info.number = 10000 + static_cast<int>(r);
      auto fi = file_index.find(rd.file);
      if (fi == file_index.end()) return fail("record " + rd.name + ": unknown file " + rd.file);
      if (s.files[static_cast<size_t>(fi->second)].type != 'd')
        return fail("record " + rd.name + ": " + rd.file + " is not a data file");
      if (rd.system && (!rd.fields.empty() || !rd.keys.empty()))
        return fail("system record " + rd.name + " cannot have fields");
      info.file = fi->second;
      int optional = 0;
      for (const FieldDef &f : rd.fields) optional += count_optional(f);
      for (const CompoundKeyDef &k : rd.keys) optional += k.optional ? 1 : 0;
      int at = rd.timestamped ? 14 : 6;
      at += (optional + 7) / 8;
      at = round_up(at, 4);
      for (auto &o : owned[r]) {
        info.set_pointers[s.sets[static_cast<size_t>(o.first)].name] = at;
        sets_ptr[o.first] = at;
        at += o.second;
      }
      for (auto &m : member_of[r]) {
        info.member_pointers[s.sets[static_cast<size_t>(m.first)].name] = at;
        member_ptr[{m.first, static_cast<int>(r)}] = at;
        at += 12;
      }
      info.data = at;
      RecordRow row{fi->second, 0, at, static_cast<int>(fields.size()), 0, 0};
      int optional_no = 0;
      int position = 0;
      for (const FieldDef &f : rd.fields) {
        int before = static_cast<int>(fields.size());
        if (!lay_field(f, static_cast<int>(r), at, optional_no, info, 0, false, key_rows)) return false;
        // Field numbers count the record's fields in table order.
        for (int i = before; i < static_cast<int>(fields.size()); ++i) {
          info.fields[fields[static_cast<size_t>(i)].name].number = static_cast<int>(r) * 1000 + position;
          ++position;
        }
      }
      row.count = rd.system ? -1 : static_cast<int>(fields.size()) - row.first;
      for (const CompoundKeyDef &k : rd.keys) {
        FieldRow kr;
        kr.name = k.name;
        kr.type = 'k';
        kr.record = static_cast<int>(r);
        kr.offset = static_cast<int>(keys.size());
        int index = static_cast<int>(fields.size());
        int key_at = 0;
        if (k.components.empty()) return fail("compound key " + k.name + " has no components");
        for (auto &c : k.components) {
          auto cf = info.fields.find(c.first);
          if (cf == info.fields.end()) return fail("compound key " + k.name + ": unknown field " + c.first);
          FieldRow &comp = fields[static_cast<size_t>(cf->second.index)];
          if (comp.type == 'g') return fail("compound key " + k.name + ": " + c.first + " is a group");
          comp.flags |= 0x10;
          keys.push_back({index, cf->second.index, key_at, c.second == 'd' ? 'd' : 'a'});
          key_at += comp.length;
        }
        kr.length = key_at;
        if (key_at > MAX_COMPOUND) return fail("compound key " + k.name + " is longer than 256 bytes");
        fields.push_back(kr);
        if (info.fields.count(k.name)) return fail("record field " + k.name + " declared twice");
        FieldInfo ki;
        ki.number = static_cast<int>(r) * 1000 + position++;
        ki.index = index;
        ki.length = key_at;
        ki.key = k.key;
        ki.optional = k.optional;
        info.fields[k.name] = ki;
        if (!set_key(index, k.key, k.key_file, k.optional, optional_no)) return false;
        key_rows.push_back(index);
        row.flags |= 0x10;
      }
      if (row.count > 999 || position > 999) return fail("record " + rd.name + " has too many fields");
      row.length = round_up(at, 2);
      info.length = row.length;
      if (rd.timestamped) row.flags |= 0x1;
      records.push_back(row);
      file_slot[static_cast<size_t>(row.file)] = std::max(file_slot[static_cast<size_t>(row.file)], row.length);
      layout.records[rd.name] = info;
    }
    // Key numbers in field-table order.
    std::sort(key_rows.begin(), key_rows.end());
    for (int i : key_rows) fields[static_cast<size_t>(i)].key_number = key_count++;

    for (size_t st = 0; st < s.sets.size(); ++st) {
      const SetDef &set = s.sets[st];
      SetRow row{set.order, record_index[set.owner], sets_ptr[static_cast<int>(st)],
                 static_cast<int>(members.size()), static_cast<int>(set.members.size()),
                 set.timestamped ? 1 : 0};
      for (const MemberDef &m : set.members) {
        int rec = record_index[m.record];
        MemberRow mr{rec, member_ptr[{static_cast<int>(st), rec}], static_cast<int>(sorts.size()),
                     static_cast<int>(m.sort_fields.size())};
        for (const std::string &sf : m.sort_fields) {
          const RecordInfo &ri = layout.records[m.record];
          auto f = ri.fields.find(sf);
          if (f == ri.fields.end()) return fail("set " + set.name + ": unknown sort field " + sf);
          fields[static_cast<size_t>(f->second.index)].flags |= 0x1;
          sorts.push_back({f->second.index, static_cast<int>(st)});
        }
        members.push_back(mr);
      }
      sets.push_back(row);
    }

    // Slot sizes and slots per page.
    std::vector<FileInfo> infos(s.files.size());
    for (size_t i = 0; i < s.files.size(); ++i) {
      const FileDef &f = s.files[i];
      std::string id = f.id.empty() ? f.name : f.id;
      int page = page_of(f);
      int need = file_slot[i] ? file_slot[i] : (f.type == 'k' ? 12 : 6);
      int slot = f.slot_size ? f.slot_size : round_up(need, 2);
      if (slot < need) return fail("file " + id + ": slot size below " + std::to_string(need));
      int slots;
      if (f.type == 'k') {
        if (slot > MAX_KEY_SLOT) return fail("file " + id + ": key entries longer than 260 bytes");
        slots = f.slots ? f.slots : (page - 10) / slot;
        if (slots < 3 || 10 + slots * slot > page) return fail("file " + id + ": fewer than 3 key entries fit a page");
      } else {
        slots = f.slots ? f.slots : (page - 4) / slot;
        if (slots < 1 || 4 + slots * slot > page) return fail("file " + id + ": records do not fit a page");
      }
      infos[i] = {static_cast<int>(i), slots, slot, page};
      layout.files[id] = infos[i];
    }

    // Write the image.
    std::vector<unsigned char> &out = *image;
    out.clear();
    Bytes b{out};
    const char version[] = "V3.00\x1a";
    for (int i = 0; i < 6; ++i) b.u8(version[i]);
    b.u16(s.page_size);
    b.u16(static_cast<int>(s.files.size()));
    b.u16(static_cast<int>(records.size()));
    b.u16(static_cast<int>(fields.size()));
    b.u16(static_cast<int>(sets.size()));
    b.u16(static_cast<int>(members.size()));
    b.u16(static_cast<int>(sorts.size()));
    b.u16(static_cast<int>(keys.size()));
    for (size_t i = 0; i < s.files.size(); ++i) {
      const FileDef &f = s.files[i];
      b.text(f.name, NAME_FIELD);
      b.u16(-1);
      b.u8('c');
      b.u8(f.type);
      b.u16(infos[i].slots);
      b.u16(infos[i].slot_size);
      b.u16(infos[i].page_size);
      b.u16(f.is_static ? 0x2 : 0);
    }
    for (const RecordRow &r : records) {
      b.u16(r.file); b.u16(r.length); b.u16(r.data); b.u16(r.first); b.u16(r.count); b.u16(r.flags);
    }
    for (const FieldRow &f : fields) {
      b.u8(f.key); b.u8(f.type); b.u16(f.length);
      for (int d : f.dims) b.u16(d);
      b.u16(f.key == 'n' ? 0 : f.key_file);
      b.u16(f.key == 'n' ? 0 : f.key_number);
      b.u16(f.offset); b.u16(f.record); b.u16(f.flags);
    }
    for (const SetRow &r : sets) { b.u16(r.order); b.u16(r.owner); b.u16(r.ptr); b.u16(r.first); b.u16(r.count); b.u16(r.flags); }
    for (const MemberRow &m : members) { b.u16(m.record); b.u16(m.ptr); b.u16(m.first); b.u16(m.count); }
    for (const SortRow &so : sorts) { b.u16(so.field); b.u16(so.set); }
    for (const KeyRow &k : keys) { b.u16(k.compound); b.u16(k.component); b.u16(k.offset); b.u16(k.order); }
    if (fields.size() > 32000 || records.size() > 32000) return fail("too many table entries");
    return true;
  }

  static int count_optional(const FieldDef &f) {
    int n = f.optional && f.key != 'n' ? 1 : 0;
    for (const FieldDef &m : f.members) n += count_optional(m);
    return n;
  }

  std::map<int, int> sets_ptr;
  std::map<std::pair<int, int>, int> member_ptr;
};

// ---- Text form ----

struct Parser {
  Parser(Schema &out, std::string &why) : schema(out), error(why) {}

  Schema &schema;
  std::string &error;
  int line_no = 0;

  bool fail(const std::string &why) {
    error = "line " + std::to_string(line_no) + ": " + why;
    return false;
  }

  static std::vector<std::string> split(const std::string &line) {
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
      if (c == '#') break;
      if (c == ',' || c == '=') {
        if (!word.empty()) words.push_back(word);
        word.clear();
        words.push_back(std::string(1, c));
      } else if (c == ' ' || c == '\t' || c == '\r') {
        if (!word.empty()) words.push_back(word);
        word.clear();
      } else {
        word += c;
      }
    }
    if (!word.empty()) words.push_back(word);
    return words;
  }

  static bool number(const std::string &w, int *v) {
    if (w.empty() || w.size() > 6) return false;
    for (char c : w)
      if (c < '0' || c > '9') return false;
    *v = std::stoi(w);
    return true;
  }

  // "char[14][16]" -> type 'c', dims {14, 16}.
  bool type_of(const std::string &w, FieldDef *f) {
    size_t bracket = w.find('[');
    std::string base = w.substr(0, bracket);
    static const std::map<std::string, char> types = {
        {"char", 'c'}, {"short", 's'}, {"int", 'i'}, {"long", 'l'},
        {"float", 'f'}, {"double", 'F'}, {"dbaddr", 'd'}};
    auto t = types.find(base);
    if (t == types.end()) return fail("unknown type " + base);
    f->type = t->second;
    return dims_of(w, bracket, f);
  }

  bool dims_of(const std::string &w, size_t bracket, FieldDef *f) {
    while (bracket != std::string::npos && bracket < w.size()) {
      size_t close = w.find(']', bracket);
      int d;
      if (close == std::string::npos || !number(w.substr(bracket + 1, close - bracket - 1), &d) || d < 1)
        return fail("bad dimension in " + w);
      f->dims.push_back(d);
      bracket = close + 1;
      if (bracket < w.size() && w[bracket] != '[') return fail("bad dimension in " + w);
    }
    return true;
  }

  // Reads "[unsigned] [unique|duplicate key in FILE [optional]]".
  bool field_options(const std::vector<std::string> &w, size_t i, FieldDef *f) {
    for (; i < w.size(); ++i) {
      if (w[i] == "unsigned") {
        f->is_unsigned = true;
      } else if (w[i] == "unique" || w[i] == "duplicate") {
        if (i + 3 >= w.size() || w[i + 1] != "key" || w[i + 2] != "in")
          return fail("expected '" + w[i] + " key in FILE'");
        f->key = w[i] == "unique" ? 'u' : 'd';
        f->key_file = w[i + 3];
        i += 3;
      } else if (w[i] == "optional") {
        f->optional = true;
      } else {
        return fail("unexpected '" + w[i] + "'");
      }
    }
    return true;
  }

  bool parse(const std::string &text) {
    std::istringstream in(text);
    std::string line;
    RecordDef *record = nullptr;
    SetDef *set = nullptr;
    FieldDef *group = nullptr;
    while (std::getline(in, line)) {
      ++line_no;
      std::vector<std::string> w = split(line);
      if (w.empty()) continue;
      const std::string &k = w[0];
      if (k == "end") {
        if (group) group = nullptr;
        else if (record) record = nullptr;
        else if (set) set = nullptr;
        else return fail("'end' without a block");
      } else if (group || record) {
        std::vector<FieldDef> &into = group ? group->members : record->fields;
        if (k == "group") {
          if (group) return fail("groups do not nest");
          if (w.size() != 2) return fail("expected 'group NAME[DIMS]'");
          FieldDef g;
          size_t bracket = w[1].find('[');
          g.name = w[1].substr(0, bracket);
          g.type = 'g';
          if (!dims_of(w[1], bracket, &g)) return false;
          record->fields.push_back(g);
          group = &record->fields.back();
        } else if (k == "compound") {
          if (group) return fail("a compound key belongs to the record, not a group");
          CompoundKeyDef key;
          if (w.size() < 7 || (w[2] != "unique" && w[2] != "duplicate") || w[3] != "key" || w[4] != "in")
            return fail("expected 'compound NAME unique|duplicate key in FILE [optional] = FIELD, ...'");
          key.name = w[1];
          key.key = w[2] == "unique" ? 'u' : 'd';
          key.key_file = w[5];
          size_t i = 6;
          if (i < w.size() && w[i] == "optional") {
            key.optional = true;
            ++i;
          }
          if (i >= w.size() || w[i] != "=") return fail("expected '=' before the components");
          ++i;
          while (i < w.size()) {
            if (w[i] == ",") return fail("missing component");
            std::pair<std::string, char> c{w[i++], 'a'};
            if (i < w.size() && (w[i] == "desc" || w[i] == "asc")) c.second = w[i++] == "desc" ? 'd' : 'a';
            key.components.push_back(c);
            if (i < w.size()) {
              if (w[i] != ",") return fail("expected ',' between components");
              ++i;
            }
          }
          record->keys.push_back(key);
        } else {
          if (w.size() < 2) return fail("expected 'FIELD TYPE'");
          FieldDef f;
          f.name = k;
          if (!type_of(w[1], &f) || !field_options(w, 2, &f)) return false;
          into.push_back(f);
        }
      } else if (set) {
        if (k != "member" || w.size() < 2) return fail("expected 'member RECORD [sort FIELD, ...]'");
        MemberDef m;
        m.record = w[1];
        size_t i = 2;
        if (i < w.size()) {
          if (w[i] != "sort") return fail("expected 'sort'");
          for (++i; i < w.size(); ++i)
            if (w[i] != ",") m.sort_fields.push_back(w[i]);
        }
        set->members.push_back(m);
      } else if (k == "database") {
        if (w.size() != 2 && !(w.size() == 4 && w[2] == "page")) return fail("expected 'database NAME [page BYTES]'");
        schema.name = w[1];
        if (w.size() == 4 && !number(w[3], &schema.page_size)) return fail("bad page size");
      } else if (k == "file") {
        if (w.size() < 4 || (w[3] != "data" && w[3] != "key")) return fail("expected 'file ID NAME data|key ...'");
        FileDef f;
        f.id = w[1];
        f.name = w[2];
        f.type = w[3] == "key" ? 'k' : 'd';
        for (size_t i = 4; i < w.size(); ++i) {
          int *target = w[i] == "page" ? &f.page_size : w[i] == "slots" ? &f.slots
                      : w[i] == "slotsize" ? &f.slot_size : nullptr;
          if (w[i] == "static") {
            f.is_static = true;
          } else if (target) {
            if (i + 1 >= w.size() || !number(w[i + 1], target)) return fail("bad number after " + w[i]);
            ++i;
          } else {
            return fail("unexpected '" + w[i] + "'");
          }
        }
        schema.files.push_back(f);
      } else if (k == "record") {
        if (w.size() < 4 || w[2] != "in") return fail("expected 'record NAME in FILE ...'");
        RecordDef r;
        r.name = w[1];
        r.file = w[3];
        for (size_t i = 4; i < w.size(); ++i) {
          if (w[i] == "timestamped") r.timestamped = true;
          else if (w[i] == "system") r.system = true;
          else return fail("unexpected '" + w[i] + "'");
        }
        schema.records.push_back(r);
        record = &schema.records.back();
      } else if (k == "set") {
        if (w.size() < 6 || w[2] != "order" || w[4] != "owner") return fail("expected 'set NAME order ORDER owner RECORD'");
        SetDef st;
        st.name = w[1];
        static const std::map<std::string, char> orders = {
            {"first", 'f'}, {"last", 'l'}, {"next", 'n'}, {"ascending", 'a'}, {"descending", 'd'}};
        auto o = orders.find(w[3]);
        if (o == orders.end()) return fail("unknown order " + w[3]);
        st.order = o->second;
        st.owner = w[5];
        for (size_t i = 6; i < w.size(); ++i) {
          if (w[i] == "timestamped") st.timestamped = true;
          else return fail("unexpected '" + w[i] + "'");
        }
        schema.sets.push_back(st);
        set = &schema.sets.back();
      } else {
        return fail("unknown declaration '" + k + "'");
      }
    }
    if (group || record || set) return fail("missing 'end'");
    return true;
  }
};

}  // namespace

bool build_dictionary(const Schema &schema, std::vector<unsigned char> *image, Layout *layout,
                      std::string *error) {
  Layout local;
  std::string why;
  Builder b(schema, layout ? *layout : local, why);
  bool ok = b.build(image);
  if (!ok && error) *error = why;
  return ok;
}

bool write_dictionary(const Schema &schema, const std::string &path, std::string *error, Layout *layout) {
  std::vector<unsigned char> image;
  if (!build_dictionary(schema, &image, layout, error)) return false;
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
      std::remove(tmp.c_str());
      if (error) *error = "cannot write " + tmp;
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    if (error) *error = "cannot rename " + tmp + " to " + path;
    return false;
  }
  return true;
}

bool parse_schema(const std::string &text, Schema *schema, std::string *error) {
  std::string why;
  Schema parsed;
  Parser p(parsed, why);
  if (!p.parse(text)) {
    if (error) *error = why;
    return false;
  }
  *schema = parsed;
  return true;
}

}  // namespace kesto_schema
