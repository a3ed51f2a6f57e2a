// The layouts of the transaction journal "kesto.tjf" and its checkpoint file
// "kesto.tcf", shared by the writer, the readers, the checkpoint and the
// roll-forward. Integers are little-endian.
//
// Journal: a 28-byte header, then entries from 28 up to the end offset;
// bytes beyond it are preallocated and mean nothing.
//   0  u32 magic 0xC0C01EAF      4  u32 version 2
//   8  u32 end offset (28 when empty)
//  12  u32 end offset after the last committed transaction (0 when empty)
//  16  u32 last journal transaction id issued
//  20  u32 the id counter when the journal was last emptied
//  24  u32 id of the last committed transaction (0 when empty)
// A version-1 journal has a 9-byte header and entries to the end of the file.
//
// Entry: a 12-byte header {u32 id (never 0), u16 length without padding,
// u16 type, u16 body sum, u16 header check}, the body, and a zero pad byte
// when the length is odd.
//   body sum     = 0x1EAF + the body's bytes, mod 65536
//   header check = length + type + low 16 bits of the id + body sum + 0x1EAF
//   1 start   16      u32 time
//   2 change  20 + n  u32 byte position, u16 file number, u16 origin tag, n bytes
//   3 files   14 + 4k u16 k (at most 20), k x {u16 file number, u16 checkpoint slot}
//   4 commit  12
//   5 abort   12
// File numbers are those of the writing task's file table; the files entry
// maps them to slots of the checkpoint file, which names the files for
// every process.
//
// Checkpoint file: a 12-byte header {u32 magic 0xC0C01EAC, u32 version 2,
// u32 length (12 when empty)}, then one entry per database file, the slots
// numbered from 0: {u16 n, u16 name sum = 0xBEEF + the name's bytes, the
// name (working directory removed) in n bytes with its NUL}, taking
// (n + 5) & ~1 bytes. A version-1 file has a 13-byte header and entries to
// the end of the file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tjf {

constexpr uint32_t TJF_MAGIC = 0xC0C01EAF;
constexpr uint32_t TCF_MAGIC = 0xC0C01EAC;
constexpr uint32_t VERSION = 2;
constexpr uint32_t TJF_HEADER = 28;
constexpr uint32_t TCF_HEADER = 12;
constexpr uint32_t TJF_HEADER_V1 = 9;
constexpr uint32_t TCF_HEADER_V1 = 13;

constexpr int ENTRY_HEADER = 12;
constexpr int START_LENGTH = 16;
constexpr int CHANGE_HEADER = 20;  // a change entry before its bytes
constexpr int END_LENGTH = 12;     // commit and abort
constexpr int MAX_PAIRS = 20;
constexpr int FILES_LENGTH(int pairs) { return 14 + 4 * pairs; }
constexpr int padded(int length) { return (length + 1) & ~1; }

enum entry_type : uint16_t { START = 1, CHANGE = 2, FILES = 3, COMMIT = 4, ABORT = 5 };

constexpr uint16_t SUM_SEED = 0x1EAF;
constexpr uint16_t NAME_SEED = 0xBEEF;
constexpr int NAME_LIMIT = 1024;  // a checkpoint-file entry's occupied size minus 5
// A buffer that holds any checkpoint-file entry's name with its pad byte.
constexpr int NAME_BUFFER = NAME_LIMIT + 6;

// Outcomes of the readers.
enum : int { ENTRY_READ = 0, END_REACHED = 1, DAMAGED = 2 };

struct journal_header {
  uint32_t magic = TJF_MAGIC;
  uint32_t version = VERSION;
  uint32_t end = TJF_HEADER;
  uint32_t committed_end = 0;
  uint32_t last_id = 0;
  uint32_t id_base = 0;
  uint32_t committed_id = 0;
};

void get_header(const unsigned char *bytes, journal_header *h);
void put_header(unsigned char *bytes, const journal_header &h);
// An empty journal whose ids continue from `id_base`.
journal_header empty_header(uint32_t id_base);
void put_checkpoint_header(unsigned char *bytes, uint32_t length);

// The fields of an entry's 12-byte header.
struct entry_header {
  uint32_t id;
  uint16_t length;
  uint16_t type;
  uint16_t body_sum;
  uint16_t check;
};
entry_header get_entry_header(const unsigned char *bytes);
uint16_t body_sum(const unsigned char *body, size_t n);
uint16_t header_check(const entry_header &h);
// Completes an entry whose body is in place after its 12 header bytes:
// writes the header with both sums and the pad byte.
void seal_entry(unsigned char *entry, uint32_t id, entry_type type, int length);

// The sum of a checkpoint-file name: up to its first NUL, at most 1025 bytes.
uint16_t name_sum(const char *name);
// Builds the checkpoint-file entry of a name; returns the bytes it takes.
int build_name_entry(unsigned char *entry, const char *name);

}  // namespace tjf
