// kesto_dbdgen: writes an engine dictionary (.dbd) from the text form of a
// schema (see runtime/kesto_schema.h).
//
//   kesto_dbdgen [-l] SCHEMA OUTPUT.dbd
//
// -l lists on standard output the caller's numbers of every file, record
// type, field and set: the offset and length of each field (a key field
// says which kind of key), and the owner, order and members of each set.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "runtime/kesto_schema.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: kesto_dbdgen [-l] SCHEMA OUTPUT.dbd\n");
  return 1;
}

const char *order_name(char order) {
  switch (order) {
    case 'f': return "first";
    case 'l': return "last";
    case 'n': return "next";
    case 'a': return "ascending";
    default: return "descending";
  }
}

void list(const kesto_schema::Schema &schema, const kesto_schema::Layout &layout) {
  for (const auto &f : layout.files)
    std::printf("file %s %d: %d slots of %d bytes, page %d\n", f.first.c_str(), f.second.number,
                f.second.slots, f.second.slot_size, f.second.page_size);
  for (const auto &r : layout.records) {
    std::printf("record %s %d: length %d, data at %d\n", r.first.c_str(), r.second.number,
                r.second.length, r.second.data);
    for (const auto &f : r.second.fields) {
      const kesto_schema::FieldInfo &fi = f.second;
      std::printf("  field %s %d: offset %d, length %d%s%s\n", f.first.c_str(), fi.number, fi.offset, fi.length,
                  fi.key == 'u' ? ", unique key" : fi.key == 'd' ? ", duplicate key" : "",
                  fi.optional ? ", optional" : "");
    }
    for (const auto &s : r.second.set_pointers)
      std::printf("  set pointer %s at %d\n", s.first.c_str(), s.second);
    for (const auto &s : r.second.member_pointers)
      std::printf("  member pointer %s at %d\n", s.first.c_str(), s.second);
  }
  for (const kesto_schema::SetDef &set : schema.sets) {
    std::printf("set %s %d: owner %s, order %s, members", set.name.c_str(), layout.sets.at(set.name),
                set.owner.c_str(), order_name(set.order));
    for (size_t m = 0; m < set.members.size(); ++m)
      std::printf("%s %s", m ? "," : "", set.members[m].record.c_str());
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char **argv) {
  bool listing = false;
  int i = 1;
  if (i < argc && std::strcmp(argv[i], "-l") == 0) {
    listing = true;
    ++i;
  }
  if (argc - i != 2) return usage();
  std::ifstream in(argv[i]);
  if (!in) {
    std::fprintf(stderr, "kesto_dbdgen: cannot read %s\n", argv[i]);
    return 2;
  }
  std::stringstream text;
  text << in.rdbuf();
  kesto_schema::Schema schema;
  kesto_schema::Layout layout;
  std::string error;
  if (!kesto_schema::parse_schema(text.str(), &schema, &error)) {
    std::fprintf(stderr, "kesto_dbdgen: %s: %s\n", argv[i], error.c_str());
    return 2;
  }
  if (!kesto_schema::write_dictionary(schema, argv[i + 1], &error, &layout)) {
    std::fprintf(stderr, "kesto_dbdgen: %s\n", error.c_str());
    return 2;
  }
  if (listing) list(schema, layout);
  return 0;
}
