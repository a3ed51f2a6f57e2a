// Shared pieces of the engine's tests: a fault-injecting I/O table, a
// temporary working directory, and a fixture that leaves the engine as a
// fresh process would have it.
#pragma once

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "runtime/kesto.h"
#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"
#include "runtime/kesto_schema.h"

namespace kesto_test {

// Replaces the engine's I/O table while it lives. Faults are armed per
// operation: the Nth call from now fails with an errno, or transfers only
// part of its bytes; "crash" mode drops every write and sync from the Nth
// write on while reporting success, as a machine that lost power would.
class FaultyIo {
 public:
  // PWRITE counts pwritev too, FSYNC fdatasync.
  enum Op {
    OPEN, CLOSE, PREAD, PWRITE, FSYNC, FSTAT, LOCKF, LSEEK, CLOEXEC, UNLINK, RENAME, ACCESS, WRITEBACK, OP_COUNT
  };

  FaultyIo();
  ~FaultyIo();
  FaultyIo(const FaultyIo &) = delete;
  FaultyIo &operator=(const FaultyIo &) = delete;

  void fail(Op op, int nth, int err);
  // The Nth transfer moves half its bytes (none of a single byte).
  void shorten(Op op, int nth);
  void crash_after_writes(int nth);
  void set_block_size(long size);  // fstat reports this block size (0: the real one)
  int calls(Op op) const;
  // From now on only the transfers and syncs of files whose path ends in
  // `suffix` are counted (and can fail); the others pass untouched.
  void only_files(const char *suffix);
  // Opens without O_CLOEXEC: descriptors a program started meanwhile inherits.
  int inheritable_opens() const;
  void reset_counts();
};

// Records every write to an engine file (pwrite and pwritev alike) while it
// is installed; the calls themselves pass to the plain table.
class WriteLog {
 public:
  struct Write {
    std::string file;  // the file's name without its directory
    off_t offset;
    size_t bytes;
  };
  WriteLog();
  ~WriteLog();
  WriteLog(const WriteLog &) = delete;
  WriteLog &operator=(const WriteLog &) = delete;

  // The writes to files named `name`, in order.
  std::vector<Write> to(const std::string &name) const;
  void clear();
};

class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<unsigned char> read_file(const std::string &path);
void write_file(const std::string &path, const std::vector<unsigned char> &bytes);
bool file_exists(const std::string &path);
int open_fd_count();

// The schema most tests use: a system record owning a sorted set of people,
// people with keys and timestamps owning their cars.
extern const char *const kPeopleSchema;

// Engine fixture: a temporary working directory (set with dt_dbwdir), the
// engine's environment variables cleared, and at the end every database and
// task closed and the default task reset.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes NAME.dbd from the text form into the working directory.
  kesto_schema::Layout write_schema(const char *text, const std::string &dir = "");
  // Writes the people schema, opens it in mode "o" and initialises its files.
  void open_people(const char *mode = "o");

  TempDir dir_;
  kesto_schema::Layout people_;
};

// Resets the engine's process-wide state after a test.
void reset_engine();

// One entry of a key file as a walk of its tree meets it.
struct KeyFileEntry {
  int prefix;
  std::vector<char> value;  // the key's stored value
  db_address dba;
};

// What a walk of a key file found besides its entries.
struct KeyFileShape {
  int depth = 0;       // levels from the root to every leaf
  int nodes = 0;       // pages in the tree
  int free_pages = 0;  // pages on the chain of freed nodes
};

// Walks the tree of a key file (a file number of the task's file table) and
// its chain of freed nodes, and checks that every node's key count fits,
// entries rise strictly in (prefix, value, address) order, every leaf lies
// at the same depth, and the tree's pages and the freed pages together are
// exactly the pages allocated so far. Fills `entries` in order.
::testing::AssertionResult check_key_file(int file, std::vector<KeyFileEntry> *entries = nullptr,
                                          KeyFileShape *shape = nullptr);

// What a walk of a data file found.
struct DataFileShape {
  int live = 0;     // slots holding a record
  int deleted = 0;  // slots on the chain of deleted slots
};

// Walks every slot handed out so far in a data file (a file number of the
// task's file table) and its chain of deleted slots, and checks that every
// live slot holds its own address and that the chain visits exactly the
// deleted slots, each once.
::testing::AssertionResult check_data_file(int file, DataFileShape *shape = nullptr);

// Walks the chain of members that `owner` heads in a set (the caller's set
// number) forwards and backwards, and checks that every member names the
// owner and its neighbours, that both walks meet the same members, and
// that the owner's member count is their number. Fills `members` in chain
// order.
::testing::AssertionResult check_set(int set, db_address owner, std::vector<db_address> *members = nullptr);

// Stores a record of the current database as record creation does: a new
// slot holding `data` (the record's data part) and the entries of all its
// keys but the optional ones. Returns its address, 0 on failure.
db_address make_record(int rec_type, const void *data);

}  // namespace kesto_test
