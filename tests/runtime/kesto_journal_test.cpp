// The journal and its checkpoint file: their bytes as journaled
// transactions write them, both readers, growth and the checkpoint limit,
// the checkpoint, the lookup of a recorded commit, and the roll-forward
// (of hand-made journals, and of a random run against a model).
//
// KESTO_JOURNAL_SEED picks another random run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kesto_crash_io.h"
#include "kesto_trans_fixture.h"

namespace {

using namespace kesto_test;
using Bytes = std::vector<unsigned char>;

// ---- the layouts, encoded here from the format, apart from the engine ----

void add16(Bytes &b, uint16_t v) {
  b.push_back(static_cast<unsigned char>(v));
  b.push_back(static_cast<unsigned char>(v >> 8));
}
void add32(Bytes &b, uint32_t v) {
  add16(b, static_cast<uint16_t>(v));
  add16(b, static_cast<uint16_t>(v >> 16));
}
uint16_t at16(const Bytes &b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t at32(const Bytes &b, size_t at) { return at16(b, at) | static_cast<uint32_t>(at16(b, at + 2)) << 16; }

enum : uint16_t { START = 1, CHANGE = 2, FILES = 3, COMMIT = 4, ABORT = 5 };

Bytes entry(uint32_t id, uint16_t type, const Bytes &body) {
  const uint16_t length = static_cast<uint16_t>(12 + body.size());
  uint32_t sum = 0x1EAF;
  for (unsigned char c : body) sum += c;
  sum &= 0xFFFF;
  const uint16_t check = static_cast<uint16_t>(length + type + (id & 0xFFFF) + sum + 0x1EAF);
  Bytes e;
  add32(e, id);
  add16(e, length);
  add16(e, type);
  add16(e, static_cast<uint16_t>(sum));
  add16(e, check);
  e.insert(e.end(), body.begin(), body.end());
  if (e.size() % 2) e.push_back(0);
  return e;
}
Bytes start(uint32_t id, uint32_t time = 1000) {
  Bytes body;
  add32(body, time);
  return entry(id, START, body);
}
Bytes change(uint32_t id, uint16_t file, uint32_t position, const std::string &data, uint16_t tag = 5) {
  Bytes body;
  add32(body, position);
  add16(body, file);
  add16(body, tag);
  body.insert(body.end(), data.begin(), data.end());
  return entry(id, CHANGE, body);
}
Bytes files(uint32_t id, const std::vector<std::pair<uint16_t, uint16_t>> &pairs) {
  Bytes body;
  add16(body, static_cast<uint16_t>(pairs.size()));
  for (const auto &p : pairs) {
    add16(body, p.first);
    add16(body, p.second);
  }
  return entry(id, FILES, body);
}
Bytes commit(uint32_t id) { return entry(id, COMMIT, {}); }
Bytes abort_entry(uint32_t id) { return entry(id, ABORT, {}); }

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// A journal holding `entries`; its end offset covers them (plus `extra`
// bytes of whatever follows), and the file is grown to whole 4096-byte units.
Bytes journal_file(const Bytes &entries, uint32_t last_id = 9, uint32_t id_base = 3, uint32_t extra = 0) {
  Bytes f;
  for (uint32_t v : {0xC0C01EAFu, 2u, static_cast<uint32_t>(28 + entries.size()) + extra, 0u, last_id, id_base, 0u})
    add32(f, v);
  f.insert(f.end(), entries.begin(), entries.end());
  f.resize((f.size() + 4095) / 4096 * 4096, 0);
  return f;
}

Bytes checkpoint_file(const std::vector<std::string> &names) {
  Bytes entries;
  for (const std::string &n : names) {
    uint32_t sum = 0xBEEF;
    for (unsigned char c : n) sum += c;
    add16(entries, static_cast<uint16_t>(n.size() + 1));
    add16(entries, static_cast<uint16_t>(sum));
    entries.insert(entries.end(), n.begin(), n.end());
    entries.push_back(0);
    if (entries.size() % 2) entries.push_back(0);
  }
  Bytes f;
  for (uint32_t v : {0xC0C01EACu, 2u, static_cast<uint32_t>(12 + entries.size())}) add32(f, v);
  f.insert(f.end(), entries.begin(), entries.end());
  f.resize(4096, 0);
  return f;
}

// A file read through the engine's readers: positions and types of its
// entries, and how the reading ended.
struct Reading {
  std::vector<std::pair<uint32_t, uint16_t>> entries;
  int status = S_OKAY;
  int outcome = -1;
  uint32_t stopped_at = 0;
};

Reading read_journal(const std::string &path, bool tolerant, uint32_t end, int capacity = 65536) {
  Reading r;
  int fd = ::open(path.c_str(), O_RDONLY);
  Bytes buffer(static_cast<size_t>(capacity));
  uint32_t position = 28;
  for (;;) {
    const uint32_t at = position;
    r.status = tjf_read_entry(fd, buffer.data(), capacity, tolerant, &position, end, &r.outcome);
    r.stopped_at = at;
    if (r.status != S_OKAY || r.outcome != tjf::ENTRY_READ) break;
    r.entries.push_back({at, tjf::get_entry_header(buffer.data()).type});
  }
  ::close(fd);
  return r;
}

Reading read_checkpoint_file(const std::string &path, bool tolerant, std::vector<std::string> *names = nullptr) {
  Reading r;
  int fd = ::open(path.c_str(), O_RDONLY);
  uint32_t position, end;
  r.status = tcf_read_hdr(fd, &position, &end);
  unsigned char buffer[tjf::NAME_BUFFER];
  while (r.status == S_OKAY) {
    const uint32_t at = position;
    r.status = tcf_read_entry(fd, buffer, tolerant, &position, end, &r.outcome);
    r.stopped_at = at;
    if (r.status != S_OKAY || r.outcome != tjf::ENTRY_READ) break;
    r.entries.push_back({at, 0});
    if (names) names->push_back(reinterpret_cast<const char *>(buffer + 4));
  }
  ::close(fd);
  return r;
}

std::string captured(const std::function<void()> &work) {
  testing::internal::CaptureStderr();
  work();
  return testing::internal::GetCapturedStderr();
}

class JournalTest : public EngineTest {
 protected:
  std::string tjf() const { return dir_.file("kesto.tjf"); }
  std::string tcf() const { return dir_.file("kesto.tcf"); }

  // The people database, initialised, opened again with journaling.
  void open_journaled(unsigned options = OPT_JOURNAL | OPT_SYNCFILES) {
    open_people();
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
    ASSERT_EQ(dt_on_opt(options, nullptr), S_OKAY);
    ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  }

  int committed(const std::function<int()> &work) {
    int status = dt_trbegin("t", nullptr);
    if (status == S_OKAY) status = work();
    if (status == S_OKAY) return dt_trend(nullptr);
    if (trans_active()) dt_trabort(nullptr);
    return status;
  }
};

// ---- what a journaled commit writes ----

TEST_F(JournalTest, GoldenBytesOfAJournaledCommit) {
  open_people();
  CarData car{};
  std::snprintf(car.plate, sizeof car.plate, "AB1");
  car.weight = 700;
  db_address dba = 0;
  ASSERT_EQ(committed([&] { return (dba = make_record(CAR, &car)) ? S_OKAY : S_SYSERR; }), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  // An emptied journal whose ids continue from 0x12345677.
  write_file(tjf(), journal_file({}, 0x12345677, 0x12345677));

  ASSERT_EQ(dt_on_opt(OPT_JOURNAL | OPT_SYNCFILES, nullptr), S_OKAY);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  const uint32_t before = static_cast<uint32_t>(time(nullptr));
  const uint16_t weight = 0x0102;
  ASSERT_EQ(committed([&] { return write_field(dba, WEIGHT, &weight); }), S_OKAY);
  const uint32_t after = static_cast<uint32_t>(time(nullptr));

  const file_entry &d00 = kt().file_table[PEOPLE_D0];
  const uint32_t slot = dba & 0xFFFFFF;
  const uint32_t page = (slot - 1) / static_cast<uint32_t>(d00.slots);
  int weight_field;
  ASSERT_EQ(nfld_check(WEIGHT, nullptr, nullptr, &weight_field, nullptr), S_OKAY);
  const uint32_t position = 512 * (page + 1) + 4 +
                            static_cast<uint32_t>(d00.slot_size) * (slot - 1 - page * d00.slots) +
                            static_cast<uint32_t>(kt().field_table[weight_field].offset);
  const Bytes data = read_file(dir_.file("people.d00"));
  ASSERT_EQ(at16(data, position), weight);

  const Bytes j = read_file(tjf());
  ASSERT_EQ(j.size() % 4096, 0u);
  const uint32_t stamp = at32(j, 28 + 12);
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
  const uint32_t id = 0x12345678;
  const Bytes expected = cat({start(id, stamp), change(id, 0, position, "\x02\x01", 32),
                              change(id, 0, 0, std::string(data.begin(), data.begin() + 12), 39),
                              files(id, {{0, 0}}),
                              {0x78, 0x56, 0x34, 0x12, 0x0C, 0x00, 0x04, 0x00, 0xAF, 0x1E, 0xE6, 0x93}});
  const uint32_t end = static_cast<uint32_t>(28 + expected.size());
  const Bytes header = {0xAF, 0x1E, 0xC0, 0xC0, 2, 0, 0, 0};
  EXPECT_EQ(Bytes(j.begin(), j.begin() + 8), header);
  EXPECT_EQ(at32(j, 8), end);
  EXPECT_EQ(at32(j, 12), end);
  EXPECT_EQ(at32(j, 16), id);
  EXPECT_EQ(at32(j, 20), 0x12345677u);
  EXPECT_EQ(at32(j, 24), id);
  EXPECT_EQ(Bytes(j.begin() + 28, j.begin() + end), expected);

  const Bytes c = read_file(tcf());
  ASSERT_EQ(c.size(), 4096u);
  const Bytes listed = {0xAC, 0x1E, 0xC0, 0xC0, 2, 0, 0, 0, 28, 0, 0, 0, 11, 0, 0x66, 0xC2,
                        'p',  'e',  'o',  'p',  'l', 'e', '.', 'd', '0', '0', 0, 0};
  EXPECT_EQ(Bytes(c.begin(), c.begin() + 28), listed);
}

// A change entry of odd length is padded outside both sums; an abort ends
// the transaction without a commit; a short name takes no pad.
TEST_F(JournalTest, PaddingAbortAndAShortName) {
  open_journaled();
  ASSERT_EQ(dt_trbegin("t", nullptr), S_OKAY);
  const uint32_t id = kt().tjf_trans_no;
  ASSERT_EQ(id, 1u);
  ASSERT_EQ(tjf_journal(PEOPLE_D0, 5000, "abc", 3, 5), S_OKAY);
  ASSERT_EQ(dt_trabort(nullptr), S_OKAY);
  const Bytes j = read_file(tjf());
  const Bytes three = change(id, 0, 5000, "abc");
  ASSERT_EQ(three.size(), 24u);
  EXPECT_EQ(at16(three, 4), 23);
  EXPECT_EQ(Bytes(j.begin() + 44, j.begin() + 68), three);
  EXPECT_EQ(Bytes(j.begin() + 68, j.begin() + 80), abort_entry(id));
  EXPECT_EQ(at16(j, 68 + 10), (id + 0x3D6F) & 0xFFFF);
  EXPECT_EQ(at32(j, 8), 80u);
  EXPECT_EQ(at32(j, 12), 0u);  // nothing committed
  EXPECT_EQ(at32(j, 24), 0u);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);

  write_schema("database tiny page 512\nfile d0 a.dat data\nrecord R in d0\n  X int\nend\n");
  ASSERT_EQ(dt_open("tiny", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  const int32_t x = 7;
  ASSERT_EQ(committed([&] { return dt_fillnew(10000, &x, nullptr, 0); }), S_OKAY);
  const Bytes c = read_file(tcf());
  std::vector<std::string> names;
  ASSERT_EQ(read_checkpoint_file(tcf(), false, &names).status, S_OKAY);
  ASSERT_EQ(names, std::vector<std::string>{"a.dat"});
  const Bytes a = {6, 0, 0xB7, 0xC0, 'a', '.', 'd', 'a', 't', 0};
  EXPECT_EQ(Bytes(c.begin() + at32(c, 8) - 10, c.begin() + at32(c, 8)), a);
}

// ---- the readers ----

TEST_F(JournalTest, StrictAndTolerantReaders) {
  open_journaled();
  ASSERT_EQ(committed([] { return populate(3); }), S_OKAY);
  ASSERT_EQ(committed([] { return change_many(1); }), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  const Bytes good = read_file(tjf());
  const uint32_t end = at32(good, 8);
  Reading intact = read_journal(tjf(), false, end);
  ASSERT_EQ(intact.status, S_OKAY);
  ASSERT_EQ(intact.outcome, tjf::END_REACHED);
  ASSERT_GT(intact.entries.size(), 10u);
  EXPECT_EQ(intact.entries.front().second, START);
  EXPECT_EQ(intact.entries.back().second, COMMIT);
  EXPECT_EQ(read_journal(tjf(), true, end).entries, intact.entries);

  // The third entry is damaged in each case.
  const uint32_t at = intact.entries[2].first;
  const uint32_t next = intact.entries[3].first;
  auto hex = [](uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return std::string(text);
  };
  auto resealed = [&](Bytes b, uint32_t id, uint16_t length) {
    tjf::entry_header h = tjf::get_entry_header(&b[at]);
    h.id = id;
    h.length = length;
    h.check = tjf::header_check(h);
    b[at] = static_cast<unsigned char>(id);
    b[at + 1] = b[at + 2] = b[at + 3] = 0;
    b[at + 4] = static_cast<unsigned char>(length);
    b[at + 5] = static_cast<unsigned char>(length >> 8);
    b[at + 10] = static_cast<unsigned char>(h.check);
    b[at + 11] = static_cast<unsigned char>(h.check >> 8);
    return b;
  };
  struct Case {
    const char *what;
    Bytes bytes;
    uint32_t end;
    const char *strict;  // message of the strict reader
    bool tolerant_fails;
  } cases[] = {
      {"a body byte", [&] { Bytes b = good; b[next - 2] ^= 0x40; return b; }(), end, "tjf entry checksum error", false},
      {"the header check", [&] { Bytes b = good; b[at + 10] ^= 1; return b; }(), end, "tjf hdr checksum error", false},
      {"an entry cut by the end", good, next - 1, "junk on end", false},
      {"fewer bytes than a header", good, at + 11, "junk on end", false},
      {"an id of 0", resealed(good, 0, at16(good, at + 4)), end, "Suspicious tjf entry", true},
      {"a length beyond the buffer", resealed(good, 1, 2000), end, "Suspicious tjf entry", true},
  };
  const std::string damaged = dir_.file("damaged.tjf");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    write_file(damaged, c.bytes);
    Reading strict;
    std::string err = captured([&] { strict = read_journal(damaged, false, c.end, 1024); });
    EXPECT_EQ(strict.status, S_TJFERR);
    EXPECT_EQ(strict.stopped_at, at);
    EXPECT_NE(err.find(c.strict), std::string::npos) << err;
    EXPECT_NE(err.find(hex(at)), std::string::npos) << err;
    Reading tolerant;
    err = captured([&] { tolerant = read_journal(damaged, true, c.end, 1024); });
    EXPECT_EQ(tolerant.stopped_at, at);
    EXPECT_EQ(tolerant.entries.size(), 2u);
    if (c.tolerant_fails) {
      EXPECT_EQ(tolerant.status, S_TJFERR);
    } else {
      EXPECT_EQ(tolerant.status, S_OKAY);
      EXPECT_EQ(tolerant.outcome, tjf::DAMAGED);
      EXPECT_NE(err.find("Ignoring remaining bytes (" + hex(c.end - at) + ") of TJF"), std::string::npos) << err;
    }
  }

  // The checkpoint file lists people.d00 at 12 and people.k00 at 28.
  const Bytes listed = read_file(tcf());
  std::vector<std::string> names;
  ASSERT_EQ(read_checkpoint_file(tcf(), false, &names).status, S_OKAY);
  ASSERT_EQ(names, (std::vector<std::string>{"people.d00", "people.k00"}));
  struct TcfCase {
    const char *what;
    std::function<void(Bytes &)> damage;
    const char *strict;
  } tcf_cases[] = {
      {"a name byte", [](Bytes &b) { b[28 + 6] ^= 1; }, "TCF entry (0x0000001C) checksum"},
      {"no NUL", [](Bytes &b) { b[28 + 4 + 10] = 'x'; b[28 + 2] += 'x'; }, "TCF entry (0x0000001C) checksum"},
      {"a length past the end", [](Bytes &b) { b[8] = 30; }, "TCF entry (0x0000001C), premature EOF"},
      {"a length of 0", [](Bytes &b) { b[28] = b[29] = 0; }, "TCF entry (0x0000001C) checksum"},
  };
  for (const TcfCase &c : tcf_cases) {
    SCOPED_TRACE(c.what);
    Bytes b = listed;
    c.damage(b);
    write_file(damaged, b);
    Reading strict;
    std::string err = captured([&] { strict = read_checkpoint_file(damaged, false); });
    EXPECT_EQ(strict.status, S_TJFERR);
    EXPECT_EQ(strict.entries.size(), 1u);
    EXPECT_NE(err.find(c.strict), std::string::npos) << err;
    Reading tolerant = read_checkpoint_file(damaged, true);
    EXPECT_EQ(tolerant.status, S_OKAY);
    EXPECT_EQ(tolerant.outcome, tjf::DAMAGED);
    EXPECT_EQ(tolerant.entries.size(), 1u);
  }

  // Headers: a length beyond the file is cut to its size; a version-1 file
  // is read to its end; anything else is refused.
  Bytes longer = listed;
  longer[8] = 0;
  longer[9] = 0x20;  // length 0x2000 in a 4096-byte file
  write_file(damaged, longer);
  std::string err = captured([&] {
    Reading r = read_checkpoint_file(damaged, true, &names);
    EXPECT_EQ(r.status, S_OKAY);
    EXPECT_EQ(r.outcome, tjf::DAMAGED);  // the zeros after the two names
  });
  EXPECT_NE(err.find("QVKDM0521E"), std::string::npos) << err;
  EXPECT_NE(err.find("file_length (0x00002000) less than actual size (0x00001000)"), std::string::npos) << err;
  Bytes v1 = {0xAC, 0x1E, 0xC0, 0xC0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  v1.insert(v1.end(), listed.begin() + 12, listed.begin() + 28);
  write_file(damaged, v1);
  names.clear();
  Reading r1 = read_checkpoint_file(damaged, false, &names);
  EXPECT_EQ(r1.status, S_OKAY);
  EXPECT_EQ(names, std::vector<std::string>{"people.d00"});
  write_file(damaged, Bytes(12, 0));
  err = captured([&] { EXPECT_EQ(read_checkpoint_file(damaged, false).status, S_TJFERR); });
  EXPECT_NE(err.find("QVKDM0224E"), std::string::npos) << err;
}

// ---- growth, the checkpoint limit and the checkpoint ----

TEST_F(JournalTest, GrowthAndTheCheckpointLimit) {
  // The grow unit is the block size of the file system.
  std::unique_ptr<FaultyIo> io(new FaultyIo);
  io->set_block_size(8192);
  open_journaled();
  ASSERT_EQ(dt_settjfsize(1, nullptr), S_OKAY);  // 1 MiB
  std::vector<db_address> people;
  ASSERT_EQ(committed([&] { return populate(30, &people); }), S_OKAY);
  EXPECT_EQ(read_file(tjf()).size() % 8192, 0u);
  io.reset();

  // A journal past the limit is checkpointed as soon as its transaction is
  // over: it never stays longer than the limit and a unit.
  size_t largest = 0;
  int emptied = 0;
  for (int round = 0; round < 40 && emptied == 0; ++round) {
    ASSERT_EQ(committed([&]() -> int {
                for (size_t i = 0; i < people.size(); ++i) {
                  int status = rename_person(people[i], "r" + std::to_string(round) + "_" + std::to_string(i));
                  if (status != S_OKAY) return status;
                }
                return S_OKAY;
              }),
              S_OKAY);
    const Bytes j = read_file(tjf());
    largest = std::max(largest, j.size());
    if (at32(j, 8) == 28) ++emptied;
  }
  EXPECT_EQ(emptied, 1);
  EXPECT_LE(largest, 1048576u + 8192u);
  EXPECT_EQ(kt().checkpoint_needed, 0);
  EXPECT_FALSE(has_fault(snapshot()));

  // A journal whose length is not a whole number of units is not added to.
  ASSERT_EQ(dt_trbegin("t", nullptr), S_OKAY);
  ASSERT_EQ(truncate(tjf().c_str(), 300), 0);
  std::string err = captured([] {
    EXPECT_EQ(tjf_flush(0), S_TJFERR);
    EXPECT_EQ(dt_trabort(nullptr), S_OKAY);
  });
  EXPECT_NE(err.find("The transaction journal file has a suspicious length (300)"), std::string::npos) << err;
}

TEST_F(JournalTest, CheckpointOnRequest) {
  open_journaled();
  // Nothing journaled: the checkpoint changes nothing on disk.
  ASSERT_EQ(dt_checkpoint(nullptr), S_OKAY);
  const Bytes empty_journal = read_file(tjf()), empty_list = read_file(tcf());
  {
    FaultyIo io;
    ASSERT_EQ(dt_checkpoint(nullptr), S_OKAY);
    EXPECT_EQ(io.calls(FaultyIo::PWRITE), 0);
  }
  EXPECT_EQ(read_file(tjf()), empty_journal);
  EXPECT_EQ(at32(empty_journal, 8), 28u);

  ASSERT_EQ(committed([] { return populate(5); }), S_OKAY);
  ASSERT_EQ(committed([] { return change_many(1); }), S_OKAY);
  const std::string state = snapshot();
  auto checkpoint_events = [&] {
    CrashIo io(CrashIo::PROCESS);
    io.crash_when([](const CrashIo::Event &, bool) { return false; });
    EXPECT_EQ(dt_checkpoint(nullptr), S_OKAY);
    return io.events();
  };
  // Every listed file is forced to disk before the journal is emptied.
  auto synced_before_emptying = [](const std::vector<CrashIo::Event> &events, const std::string &name) {
    for (const CrashIo::Event &e : events) {
      if (e.kind == CrashIo::WRITE && ends_with(e.path, "kesto.tjf")) return false;
      if (e.kind == CrashIo::SYNC && ends_with(e.path, name)) return true;
    }
    return false;
  };
  std::vector<CrashIo::Event> events = checkpoint_events();
  EXPECT_TRUE(synced_before_emptying(events, "people.d00"));
  EXPECT_TRUE(synced_before_emptying(events, "people.k00"));
  Bytes j = read_file(tjf());
  EXPECT_EQ(j.size(), 4096u);
  EXPECT_EQ(at32(j, 8), 28u);
  EXPECT_EQ(at32(j, 16), 2u);  // ids go on from the last one issued
  EXPECT_EQ(at32(j, 20), 2u);
  EXPECT_EQ(read_file(tcf()), empty_list);
  EXPECT_EQ(snapshot(), state);

  // Asked during a transaction, it runs when the transaction is over.
  ASSERT_EQ(dt_trbegin("t", nullptr), S_OKAY);
  EXPECT_EQ(kt().tjf_trans_no, 3u);
  ASSERT_EQ(change_many(2), S_OKAY);
  ASSERT_EQ(dt_checkpoint(nullptr), S_OKAY);
  ASSERT_EQ(dt_trend(nullptr), S_OKAY);
  EXPECT_EQ(at32(read_file(tjf()), 8), 28u);

  // A damaged name ends the list: the files before it are forced to disk,
  // and both files are emptied.
  ASSERT_EQ(committed([] { return change_many(3); }), S_OKAY);
  Bytes listed = read_file(tcf());
  listed[28 + 6] ^= 1;  // the second name, people.k00
  write_file(tcf(), listed);
  events = checkpoint_events();
  EXPECT_TRUE(synced_before_emptying(events, "people.d00"));
  EXPECT_FALSE(synced_before_emptying(events, "people.k00"));
  EXPECT_EQ(at32(read_file(tjf()), 8), 28u);
  EXPECT_EQ(read_file(tcf()), empty_list);

  // Without journaling a task has no checkpoint to make.
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  std::remove(tjf().c_str());
  std::remove(tcf().c_str());
  ASSERT_EQ(dt_off_opt(OPT_JOURNAL, nullptr), S_OKAY);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_checkpoint(nullptr), S_OKAY);
  EXPECT_FALSE(file_exists(tjf()));
}

// A files entry names at most 20 files: a journaled transaction that
// changes more is refused at its commit, before anything is recorded.
TEST_F(JournalTest, MoreThanTwentyChangedFilesAreRefused) {
  std::string schema = "database many page 512\n";
  for (int f = 0; f < 21; ++f) schema += "file f" + std::to_string(f) + " many.d" + std::to_string(f) + " data\n";
  for (int f = 0; f < 21; ++f) schema += "record R" + std::to_string(f) + " in f" + std::to_string(f) + "\n  X int\nend\n";
  write_schema(schema.c_str());
  ASSERT_EQ(dt_open("many", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  ASSERT_EQ(dt_on_opt(OPT_JOURNAL | OPT_SYNCFILES, nullptr), S_OKAY);
  ASSERT_EQ(dt_open("many", "o", nullptr), S_OKAY);
  auto fill = [](int files) {
    int status = dt_trbegin("t", nullptr);
    for (int f = 0; status == S_OKAY && f < files; ++f) {
      const int32_t x = f;
      status = dt_fillnew(10000 + f, &x, nullptr, 0);
    }
    return status == S_OKAY ? dt_trend(nullptr) : status;
  };
  std::string err = captured([&] { EXPECT_EQ(fill(21), S_TJFERR); });
  EXPECT_NE(err.find("more than 20 files changed in one journaled transaction"), std::string::npos) << err;
  ASSERT_TRUE(trans_active());
  ASSERT_EQ(dt_trabort(nullptr), S_OKAY);
  EXPECT_EQ(dt_recfrst(10000, nullptr, 0), S_NOTFOUND);
  EXPECT_EQ(fill(20), S_OKAY);
  EXPECT_EQ(dt_recfrst(10019, nullptr, 0), S_OKAY);
}

// A journal emptied by a checkpoint that a crash cut short between the
// truncation and the header is made anew.
TEST_F(JournalTest, AnEmptyJournalFileIsMadeAnew) {
  open_journaled();
  ASSERT_EQ(committed([] { return populate(3); }), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  write_file(tjf(), {});
  write_file(tcf(), {});
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  ASSERT_EQ(committed([] { return change_many(1); }), S_OKAY);
  Reading r = read_journal(tjf(), false, at32(read_file(tjf()), 8));
  EXPECT_EQ(r.status, S_OKAY);
  EXPECT_EQ(r.entries.front().second, START);
  EXPECT_EQ(r.entries.back().second, COMMIT);
}

// Whether a transaction is journaled is settled when it begins.
TEST_F(JournalTest, JournalingSwitchedDuringATransaction) {
  open_journaled();
  std::vector<db_address> people;
  ASSERT_EQ(committed([&] { return populate(3, &people); }), S_OKAY);
  ASSERT_EQ(dt_trbegin("t", nullptr), S_OKAY);
  ASSERT_EQ(dt_off_opt(OPT_JOURNAL, nullptr), S_OKAY);
  ASSERT_EQ(rename_person(people[0], "renamed"), S_OKAY);
  ASSERT_EQ(dt_trend(nullptr), S_OKAY);
  Reading r = read_journal(tjf(), false, at32(read_file(tjf()), 8));
  EXPECT_EQ(r.entries.back().second, COMMIT);
  EXPECT_EQ(at32(read_file(tjf()), 24), 2u);

  ASSERT_EQ(dt_trbegin("t", nullptr), S_OKAY);
  ASSERT_EQ(dt_on_opt(OPT_JOURNAL, nullptr), S_OKAY);
  std::string err = captured([&] { EXPECT_EQ(rename_person(people[1], "refused"), S_SYSERR); });
  EXPECT_NE(err.find("a change outside a journal transaction"), std::string::npos) << err;
  ASSERT_EQ(dt_trabort(nullptr), S_OKAY);

  // The transaction-log option sets the engine's flag.
  ASSERT_EQ(dt_on_opt(OPT_TRLOG, nullptr), S_OKAY);
  EXPECT_EQ(trlog_flag, 1);
  ASSERT_EQ(committed([&] { return rename_person(people[1], "logged"); }), S_OKAY);
  ASSERT_EQ(dt_off_opt(OPT_TRLOG, nullptr), S_OKAY);
  EXPECT_EQ(trlog_flag, 0);
}

// ---- the lookup of a recorded commit ----

TEST_F(JournalTest, CommitLookup) {
  open_people();
  const Bytes body = cat({start(5), change(5, 0, 600, "x"), start(6), abort_entry(6)});
  struct Case {
    const char *what;
    Bytes journal;
    uint32_t id;
    int result;
  } cases[] = {
      {"committed", journal_file(cat({body, commit(5)})), 5, S_OKAY},
      {"aborted", journal_file(body), 6, S_NOTFOUND},
      {"never ended", journal_file(body), 5, S_NOTFOUND},
      {"committed after a damaged entry", journal_file(cat({body, Bytes(12, 0), commit(5)})), 5, S_NOTFOUND},
      {"an entry of no known type", journal_file(cat({entry(5, 9, {}), commit(5)})), 5, S_TJFERR},
      {"id 0: journaling was off", Bytes(), 0, S_OKAY},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    tjf_close();
    std::remove(tjf().c_str());
    if (!c.journal.empty()) write_file(tjf(), c.journal);
    std::string err = captured([&] { EXPECT_EQ(tjf_recover_commit(c.id), c.result); });
    if (c.result == S_TJFERR) {
      EXPECT_NE(err.find("QVKDM0271E"), std::string::npos) << err;
    }
    EXPECT_EQ(file_exists(tjf()), !c.journal.empty());
  }
}

// ---- the roll-forward ----

class RollForwardTest : public JournalTest {
 protected:
  void SetUp() override {
    JournalTest::SetUp();
    open_people();
  }

  std::string contents(const char *name) {
    Bytes b = read_file(dir_.file(name));
    return std::string(b.begin(), b.end());
  }
};

// Hand-made journals over two plain files: task file 7 is a.dat (slot 0),
// file 9 is b.dat (slot 1).
TEST_F(RollForwardTest, HandMadeJournals) {
  const std::string zeros(16, '\0');
  auto with = [&](std::string s, size_t at, const std::string &text) { return s.replace(at, text.size(), text); };
  const Bytes one = cat({start(1), change(1, 7, 0, "one"), files(1, {{7, 0}}), commit(1)});
  struct Case {
    const char *what;
    Bytes journal;
    int status;
    std::string a, b;          // the files afterwards
    const char *message;       // on standard error
  } cases[] = {
      {"two interleaved transactions, applied in the order of their commits",
       journal_file(cat({start(1), start(2), change(1, 7, 0, "11"), change(2, 7, 0, "22"), change(2, 9, 4, "bb"),
                         files(1, {{7, 0}}), files(2, {{7, 0}, {9, 1}}), commit(2), commit(1)})),
       S_OKAY, with(zeros, 0, "11"), with(zeros, 4, "bb"), "finished"},
      {"a last transaction without its commit",
       journal_file(cat({one, start(2), change(2, 9, 0, "two"), files(2, {{9, 1}})})), S_OKAY,
       with(zeros, 0, "one"), zeros, "finished"},
      {"an aborted transaction",
       journal_file(cat({start(2), change(2, 9, 0, "two"), files(2, {{9, 1}}), abort_entry(2), one})), S_OKAY,
       with(zeros, 0, "one"), zeros, "finished"},
      {"a change of a file its files entry does not list",
       journal_file(cat({start(1), change(1, 9, 0, "one"), files(1, {{7, 0}}), commit(1)})), S_TJFERR, zeros,
       zeros, "Invalid file_no in tjf change entry (0x0000002C)"},
      {"a start given twice", journal_file(cat({start(1), start(1), commit(1)})), S_TJFERR, zeros, zeros,
       "Duplicate TJF_START found (0x0000002C) for 0x0000001C"},
      {"a change without its start", journal_file(cat({change(4, 7, 0, "x"), one})), S_TJFERR, zeros, zeros,
       "TJF_START missing for TJF_ENTRY_CHANGE (0x0000001C)"},
      {"a files entry naming no listed file", journal_file(cat({start(1), files(1, {{7, 5}}), commit(1)})),
       S_TJFERR, zeros, zeros, "tjf files tcf_slot 5 out of range (0x0000002C)"},
      {"an entry of no known type", journal_file(cat({one, entry(3, 8, {})})), S_TJFERR, with(zeros, 0, "one"),
       zeros, "Unknown tjf entry type (0x00000062)"},
      {"an end offset beyond the file", journal_file(one, 9, 3, 8192), S_OKAY, with(zeros, 0, "one"), zeros,
       "file_length (0x00002062) less than actual size (0x00001000)"},
      {"a version-1 journal", cat({{0xAF, 0x1E, 0xC0, 0xC0, 1, 0, 0, 0, 0}, one}), S_OKAY, with(zeros, 0, "one"),
       zeros, "finished"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    tjf_close();
    write_file(dir_.file("a.dat"), Bytes(16, 0));
    write_file(dir_.file("b.dat"), Bytes(16, 0));
    write_file(tcf(), checkpoint_file({"a.dat", "b.dat"}));
    write_file(tjf(), c.journal);
    int status;
    std::string err = captured([&] { status = tjf_roll_forward(true); });
    EXPECT_EQ(status, c.status) << err;
    EXPECT_EQ(contents("a.dat"), c.a);
    EXPECT_EQ(contents("b.dat"), c.b);
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_NE(err.find("QVKDM0532I Rollforward recovery using \"" + tjf() + "\" started "), std::string::npos);
    if (status == S_OKAY) {
      // Emptied, its ids going on from the base it had.
      const Bytes j = read_file(tjf());
      EXPECT_EQ(at32(j, 8), 28u);
      EXPECT_EQ(at32(j, 16), c.journal[4] == 1 ? 0u : 3u);
      EXPECT_EQ(at32(read_file(tcf()), 8), 12u);
    } else {
      // Left as it was, for the next attempt.
      EXPECT_NE(err.find("QVKDM0533E Rollforward recovery using"), std::string::npos) << err;
      EXPECT_EQ(read_file(tjf()), c.journal);
    }
  }

  // Out of descriptors, a listed file is closed to open the next one.
  tjf_close();
  write_file(dir_.file("a.dat"), Bytes(16, 0));
  write_file(dir_.file("b.dat"), Bytes(16, 0));
  write_file(tcf(), checkpoint_file({"a.dat", "b.dat"}));
  write_file(tjf(), journal_file(cat({start(1), change(1, 7, 0, "aa"), change(1, 9, 0, "bb"), change(1, 7, 2, "cc"),
                                      files(1, {{7, 0}, {9, 1}}), commit(1)})));
  {
    FaultyIo io;
    io.fail(FaultyIo::OPEN, 4, EMFILE);  // the checkpoint file, the journal, a.dat, then b.dat
    std::string err = captured([] { EXPECT_EQ(tjf_roll_forward(true), S_OKAY); });
    EXPECT_EQ(io.calls(FaultyIo::OPEN), 8) << err;  // b.dat again, a.dat again, the two files emptied
  }
  EXPECT_EQ(contents("a.dat"), with(zeros, 0, "aacc"));
  EXPECT_EQ(contents("b.dat"), with(zeros, 0, "bb"));

  // Without writing, the journal is only checked and emptied.
  tjf_close();
  write_file(dir_.file("a.dat"), Bytes(16, 0));
  write_file(tcf(), checkpoint_file({"a.dat"}));
  write_file(tjf(), journal_file(one));
  ASSERT_EQ(tjf_roll_forward(false), S_OKAY);
  EXPECT_EQ(contents("a.dat"), zeros);
  EXPECT_EQ(at32(read_file(tjf()), 8), 28u);

  // Read-only files are never rolled forward.
  ASSERT_EQ(dt_on_opt(OPT_READONLY, nullptr), S_OKAY);
  std::string err = captured([] { EXPECT_EQ(tjf_roll_forward(true), S_READONLY); });
  EXPECT_NE(err.find("QVKDM0260E"), std::string::npos) << err;
}

// A damaged journal is moved aside under a time-stamped name, for a person
// to look at, unless the ten names it may take are all in use.
TEST_F(RollForwardTest, ADamagedJournalIsMovedAside) {
  const Bytes one = cat({start(1), change(1, 7, 0, "one"), files(1, {{7, 0}}), commit(1)});
  const Bytes damaged = journal_file(cat({one, start(2), Bytes(20, 0x55)}));
  auto names_aside = [&] {
    std::set<std::string> names;
    for (const auto &f : save_files(dir_.path()))
      if (f.first.rfind("kesto.tjf.", 0) == 0 || f.first.rfind("kesto.tcf.", 0) == 0) names.insert(f.first);
    return names;
  };
  auto roll = [&] {
    tjf_close();
    write_file(dir_.file("a.dat"), Bytes(16, 0));
    write_file(tcf(), checkpoint_file({"a.dat"}));
    write_file(tjf(), damaged);
    std::string err = captured([] { EXPECT_EQ(tjf_roll_forward(true), S_OKAY); });
    EXPECT_NE(err.find("Ignoring remaining bytes"), std::string::npos) << err;
    EXPECT_EQ(contents("a.dat").substr(0, 3), "one");
    EXPECT_EQ(at32(read_file(tjf()), 8), 28u);
  };
  const time_t before = time(nullptr);
  roll();
  const time_t after = time(nullptr);
  std::set<std::string> aside = names_aside();
  ASSERT_EQ(aside.size(), 2u);
  bool named = false;
  for (time_t t = before; t <= after; ++t) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "%lx", static_cast<unsigned long>(t));
    named = named || (aside.count(std::string("kesto.tjf.") + hex) && aside.count(std::string("kesto.tcf.") + hex));
  }
  EXPECT_TRUE(named);
  EXPECT_EQ(read_file(dir_.file(*aside.rbegin())), damaged);

  // All ten names of the next seconds in use: emptied in place.
  for (const std::string &n : aside) std::remove(dir_.file(n).c_str());
  const time_t now = time(nullptr);
  for (time_t t = now; t <= now + 2; ++t) {
    for (int i = -1; i <= 8; ++i) {
      char name[64];
      if (i < 0) std::snprintf(name, sizeof name, "kesto.tjf.%lx", static_cast<unsigned long>(t));
      else std::snprintf(name, sizeof name, "kesto.tjf.%lx.%d", static_cast<unsigned long>(t), i);
      write_file(dir_.file(name), {});
    }
  }
  const size_t taken = names_aside().size();
  roll();
  std::set<std::string> after_roll = names_aside();
  size_t new_journal_names = 0;
  for (const std::string &n : after_roll)
    if (n.rfind("kesto.tjf.", 0) == 0 && read_file(dir_.file(n)).size()) ++new_journal_names;
  EXPECT_EQ(new_journal_names, 0u);
  EXPECT_EQ(after_roll.size(), taken + 1);  // the checkpoint file still found a name
}

// A model of the people and their cars, kept alongside a random run of
// journaled transactions.
struct Person {
  int32_t age;
  std::string city;
  std::multiset<std::string> plates;
  bool operator==(const Person &o) const { return age == o.age && city == o.city && plates == o.plates; }
};
using Model = std::map<std::string, Person>;

int read_model(Model *out) {
  out->clear();
  std::vector<db_address> persons;
  int s;
  for (s = dt_recfrst(PERSON, nullptr, 0); s == S_OKAY; s = dt_recnext(nullptr, 0)) {
    db_address dba;
    dt_crget(&dba, nullptr, 0);
    persons.push_back(dba);
  }
  if (s != S_NOTFOUND) return s;
  for (db_address p : persons) {
    PersonData d{};
    if ((s = first_status({dt_crset(&p, nullptr, 0), dt_recread(&d, nullptr, 0), dt_csoset(OWNS, &p, nullptr, 0)})) !=
        S_OKAY)
      return s;
    Person &m = (*out)[d.name];
    m.age = d.age;
    m.city = d.city;
    for (s = dt_findfm(OWNS, nullptr, 0); s == S_OKAY; s = dt_findnm(OWNS, nullptr, 0)) {
      CarData c{};
      if ((s = dt_recread(&c, nullptr, 0)) != S_OKAY) return s;
      m.plates.insert(std::string(c.plate, strnlen(c.plate, sizeof c.plate)));
    }
    if (s != S_EOS) return s;
  }
  return S_OKAY;
}

class RandomRun {
 public:
  explicit RandomRun(unsigned seed) : rng_(seed) {}

  // One transaction of a few changes; committed or aborted at random. The
  // model follows the committed ones.
  int transaction(Model *model) {
    Model next = *model;
    int status = dt_trbegin("run", nullptr);
    const int changes = 1 + static_cast<int>(rng_() % 6);
    for (int i = 0; status == S_OKAY && i < changes; ++i) status = change(&next);
    if (status != S_OKAY) return status;
    if (rng_() % 4 == 0) return dt_trabort(nullptr);
    status = dt_trend(nullptr);
    if (status == S_OKAY) *model = next;
    return status;
  }

 private:
  int find(const std::string &name, db_address *dba) {
    char key[20] = {};
    std::snprintf(key, sizeof key, "%s", name.c_str());
    int s = dt_keyfind(NAME, key, nullptr, 0);
    return s == S_OKAY ? dt_crget(dba, nullptr, 0) : s;
  }

  std::string any(const Model &m) {
    auto it = m.begin();
    std::advance(it, static_cast<long>(rng_() % m.size()));
    return it->first;
  }

  int change(Model *m) {
    const unsigned what = m->size() < 3 ? 0 : rng_() % 6;
    const std::string fresh = "p" + std::to_string(serial_++);
    db_address dba;
    int s;
    switch (what) {
      case 0: {
        const int32_t age = static_cast<int32_t>(rng_() % 90);
        const std::string city = city_name(static_cast<int>(rng_() % 6));
        if ((s = add_person(fresh, age, city)) == S_OKAY) (*m)[fresh] = {age, city, {}};
        return s;
      }
      case 1: {
        const std::string name = any(*m);
        if ((s = find(name, &dba)) != S_OKAY || (s = rename_person(dba, fresh)) != S_OKAY) return s;
        (*m)[fresh] = (*m)[name];
        m->erase(name);
        return S_OKAY;
      }
      case 2: {
        const std::string name = any(*m);
        const int32_t age = static_cast<int32_t>(rng_() % 90);
        if ((s = find(name, &dba)) != S_OKAY || (s = set_age(dba, age)) != S_OKAY) return s;
        (*m)[name].age = age;
        return S_OKAY;
      }
      case 3: {
        const std::string name = any(*m);
        if ((s = find(name, &dba)) != S_OKAY) return s;
        // Its cars go with it.
        if ((s = dt_csoset(OWNS, &dba, nullptr, 0)) != S_OKAY) return s;
        while ((s = dt_findfm(OWNS, nullptr, 0)) == S_OKAY) {
          db_address car;
          if ((s = dt_crget(&car, nullptr, 0)) != S_OKAY || (s = remove_record(car)) != S_OKAY) return s;
          if ((s = dt_csoset(OWNS, &dba, nullptr, 0)) != S_OKAY) return s;
        }
        if (s != S_EOS || (s = remove_record(dba)) != S_OKAY) return s;
        m->erase(name);
        return S_OKAY;
      }
      default: {
        const std::string name = any(*m);
        const std::string plate = "C" + std::to_string(serial_++);
        if ((s = find(name, &dba)) != S_OKAY || (s = add_car(dba, plate, 900)) != S_OKAY) return s;
        (*m)[name].plates.insert(plate);
        return S_OKAY;
      }
    }
  }

  std::mt19937 rng_;
  int serial_ = 0;
};

// Copy the database files, run journaled transactions, restore the copy and
// roll forward: the files hold exactly the committed transactions. Twice:
// from the start, and from a copy taken after a checkpoint.
TEST_F(RollForwardTest, RestoredCopyRolledForwardHoldsTheCommittedTransactions) {
  const char *env = std::getenv("KESTO_JOURNAL_SEED");
  const unsigned seed = env ? static_cast<unsigned>(std::strtoul(env, nullptr, 10)) : 20u;
  SCOPED_TRACE("KESTO_JOURNAL_SEED=" + std::to_string(seed));
  RandomRun run(seed);
  Model model;
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  auto database_files = [&] {
    FileSet all = save_files(dir_.path()), kept;
    for (const char *name : {"people.d00", "people.k00"}) kept[name] = all.at(name);
    return kept;
  };
  auto reopen = [&] {
    d_setpages(8, 2);  // changed pages go to the overflow file
    ASSERT_EQ(dt_on_opt(OPT_JOURNAL | OPT_SYNCFILES, nullptr), S_OKAY);
    ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  };
  auto run_transactions = [&](int count) {
    for (int i = 0; i < count; ++i) {
      // Some commits ask for one phase: journaled ones take two all the same.
      if (i % 5 == 4) {
        ASSERT_EQ(dt_off_opt(OPT_TWOPHASE, nullptr), S_OKAY);
      }
      ASSERT_EQ(run.transaction(&model), S_OKAY) << "transaction " << i;
      ASSERT_EQ(dt_on_opt(OPT_TWOPHASE, nullptr), S_OKAY);
    }
  };
  reopen();
  for (int part = 0; part < 2; ++part) {
    SCOPED_TRACE(part ? "from a copy after a checkpoint" : "from the start");
    if (part) {
      run_transactions(10);
      ASSERT_EQ(dt_checkpoint(nullptr), S_OKAY);
      ASSERT_EQ(at32(read_file(tjf()), 8), 28u);
    }
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
    const FileSet copy = database_files();
    reopen();
    run_transactions(30);
    const std::string live = snapshot();
    ASSERT_FALSE(has_fault(live)) << live;
    ASSERT_EQ(dt_close(nullptr), S_OKAY);

    for (const auto &[name, bytes] : copy) write_file(dir_.file(name), bytes);
    reopen();
    std::string err = captured([] { EXPECT_EQ(tjf_roll_forward(true), S_OKAY); });
    EXPECT_NE(err.find("finished"), std::string::npos) << err;
    EXPECT_EQ(snapshot(), live);
    Model found;
    ASSERT_EQ(read_model(&found), S_OKAY);
    EXPECT_TRUE(found == model);
    EXPECT_EQ(at32(read_file(tjf()), 8), 28u);
  }
}

}  // namespace
