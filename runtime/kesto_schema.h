// Dictionary writer: turns a schema, described in code or in a small text
// form, into a ".dbd" dictionary file that the engine's open reads.
//
// The writer lays out every record (header, optional-key bits, set and
// member pointers, then the fields with their natural alignment), sizes the
// slots and pages of every file, numbers the key fields, and writes the
// tables in the order the reader relies on: a group's members follow the
// group, a record's compound keys follow all its fields.
//
// Text form (one declaration per line, '#' starts a comment):
//
//   database NAME [page BYTES]
//   file ID FILENAME data|key [page BYTES] [slots N] [slotsize BYTES] [static]
//   record NAME in FILEID [timestamped] [system]
//     FIELD TYPE [unsigned] [unique|duplicate key in FILEID [optional]]
//     group FIELD[DIMS]
//       FIELD TYPE ...
//     end
//     compound NAME unique|duplicate key in FILEID [optional] = FIELD [desc], FIELD ...
//   end
//   set NAME order first|last|next|ascending|descending owner RECORD [timestamped]
//     member RECORD [sort FIELD, FIELD ...]
//   end
//
// TYPE is char, short, int, long, float, double or dbaddr, with dimensions
// as in char[16] or char[14][16]; a char with one dimension is a string.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kesto_schema {

struct FieldDef {
  std::string name;
  char type = 'c';             // 'c','s','i','l','f','F','d' or 'g' (group)
  std::vector<int> dims;       // empty: one element
  bool is_unsigned = false;
  char key = 'n';              // 'n' not a key, 'u' unique, 'd' duplicates
  std::string key_file;        // the key file's id, for key fields
  bool optional = false;       // optional key: stored only on request
  std::vector<FieldDef> members;  // a group's fields
};

struct CompoundKeyDef {
  std::string name;
  char key = 'u';
  std::string key_file;
  bool optional = false;
  std::vector<std::pair<std::string, char>> components;  // field, 'a' or 'd'
};

struct RecordDef {
  std::string name;
  std::string file;            // the data file's id
  bool timestamped = false;
  bool system = false;         // the database's system record (no fields)
  std::vector<FieldDef> fields;
  std::vector<CompoundKeyDef> keys;
};

struct MemberDef {
  std::string record;
  std::vector<std::string> sort_fields;
};

struct SetDef {
  std::string name;
  char order = 'l';            // 'f','l','n','a','d'
  std::string owner;
  bool timestamped = false;
  std::vector<MemberDef> members;
};

struct FileDef {
  std::string id;              // how records and keys name the file
  std::string name;            // the file name written into the dictionary
  char type = 'd';             // 'd' data or 'k' key
  int page_size = 0;           // 0: the database's page size
  int slots = 0;               // 0: as many as fit a page
  int slot_size = 0;           // 0: the largest record or key entry
  bool is_static = false;
};

struct Schema {
  std::string name;
  int page_size = 1024;
  std::vector<FileDef> files;
  std::vector<RecordDef> records;
  std::vector<SetDef> sets;
};

// Where the writer put things, for programs and tests that build records.
struct FieldInfo {
  int number = 0;   // the caller's field number: record index * 1000 + position
  int index = 0;    // index in the dictionary's field table
  int offset = 0;   // offset in the record slot (compound keys: 0)
  int length = 0;
  char key = 'n';   // 'n' not a key, 'u' unique, 'd' duplicates allowed
  bool optional = false;  // an optional key: stored only on request
};

struct RecordInfo {
  int number = 0;   // the caller's record type: 10000 + index
  int file = 0;
  int length = 0;
  int data = 0;
  std::map<std::string, FieldInfo> fields;
  std::map<std::string, int> set_pointers;     // set name -> offset
  std::map<std::string, int> member_pointers;  // set name -> offset
};

struct FileInfo {
  int number = 0;
  int slots = 0;
  int slot_size = 0;
  int page_size = 0;
};

struct Layout {
  std::map<std::string, RecordInfo> records;
  std::map<std::string, int> sets;   // set name -> 20000 + index
  std::map<std::string, FileInfo> files;
};

// Builds the dictionary image; on failure returns false and says why.
bool build_dictionary(const Schema &schema, std::vector<unsigned char> *image, Layout *layout,
                      std::string *error);

// Builds and writes NAME.dbd; false with the reason on failure.
bool write_dictionary(const Schema &schema, const std::string &path, std::string *error,
                      Layout *layout = nullptr);

// Reads the text form.
bool parse_schema(const std::string &text, Schema *schema, std::string *error);

}  // namespace kesto_schema
