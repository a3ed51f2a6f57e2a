// The dictionary generator and the engine tool, run as programs.
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "kesto_test_support.h"

namespace {

struct Outcome {
  int status;
  std::string out;
};

Outcome run(const std::string &command) {
  Outcome r{-1, ""};
  FILE *p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// A command of the tool, its exit status and its output: the whole output,
// or with a leading '~' a part of it.
struct Step {
  std::string command;
  int status;
  std::string out;
};

void expect_run(const std::string &command, int status, const std::string &out) {
  Outcome r = run(command);
  EXPECT_EQ(r.status, status) << r.out;
  if (!out.empty() && out[0] == '~') {
    EXPECT_NE(r.out.find(out.substr(1)), std::string::npos) << r.out;
  } else {
    EXPECT_EQ(r.out, out);
  }
}

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_.file("people.schema")) << kesto_test::kPeopleSchema;
    tool_ = std::string(KESTO_TOOL) + " -d " + dir_.path() + " ";
  }
  kesto_test::TempDir dir_;
  std::string tool_;
};

TEST_F(ToolTest, GeneratesInitialisesAndDumps) {
  Outcome gen = run(std::string(KESTO_DBDGEN) + " -l " + dir_.file("people.schema") + " " + dir_.file("people.dbd"));
  ASSERT_EQ(gen.status, 0) << gen.out;
  // Each field with its place and kind of key, each set with its shape.
  for (const char *line : {"  field CITY_AGE 1003: offset 0, length 20, duplicate key\n",
                           "  field NAME 1000: offset 40, length 20, unique key\n",
                           "  field AGE 1001: offset 60, length 4\n",
                           "set OWNS 20000: owner PERSON, order last, members CAR\n",
                           "set PEOPLE 20001: owner SYSREC, order ascending, members PERSON\n"})
    EXPECT_NE(gen.out.find(line), std::string::npos) << line << " in:\n" << gen.out;

  Outcome init = run(tool_ + "init people");
  ASSERT_EQ(init.status, 0) << init.out;
  Outcome open = run(tool_ + "open people");
  ASSERT_EQ(open.status, 0) << open.out;
  EXPECT_NE(open.out.find("file 1 " + dir_.file("people.k00") + ": key, page 512"), std::string::npos)
      << open.out;

  Outcome dump = run(tool_ + "dump people people.k00 1");
  ASSERT_EQ(dump.status, 0) << dump.out;
  EXPECT_NE(dump.out.find("00000000  "), std::string::npos);
  EXPECT_NE(dump.out.find(" 00 00 ff ff ff ff 00 00"), std::string::npos) << dump.out;
  Outcome zero = run(tool_ + "dump people 0 0");
  EXPECT_NE(zero.out.find("|....db_KESTO Ver|"), std::string::npos) << zero.out;

  Outcome one = run(tool_ + "init people 1");
  EXPECT_EQ(one.status, 0) << one.out;
}

TEST_F(ToolTest, FailuresAndUsage) {
  EXPECT_EQ(run(std::string(KESTO_TOOL)).status, 1);
  EXPECT_EQ(run(tool_ + "frobnicate people").status, 1);
  Outcome missing = run(tool_ + "open nowhere");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.out.find("QVKDM0456E"), std::string::npos) << missing.out;
  std::ofstream(dir_.file("bad.schema")) << "database bad\nrecord R in nowhere\nend\n";
  Outcome bad = run(std::string(KESTO_DBDGEN) + " " + dir_.file("bad.schema") + " " + dir_.file("bad.dbd"));
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.out.find("no files"), std::string::npos) << bad.out;
  EXPECT_FALSE(kesto_test::file_exists(dir_.file("bad.dbd")));
  ASSERT_EQ(run(std::string(KESTO_DBDGEN) + " " + dir_.file("people.schema") + " " + dir_.file("people.dbd")).status, 0);
  Outcome nopage = run(tool_ + "dump people 0 0");
  EXPECT_EQ(nopage.status, 2);  // the files were never initialised
}

// Records and keys made here, then read and changed by the tool.
class ToolRecordTest : public kesto_test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    open_people();
    person_ = people_.records.at("PERSON");
    car_ = people_.records.at("CAR");
    ann_ = person("Ann", 30, "Oslo");
    bob_ = person("Bob", 41, "Rome");
    for (int i = 0; i < 2; ++i) {
      std::vector<char> d(static_cast<size_t>(car_.length - car_.data), 0);
      std::strcpy(&d[static_cast<size_t>(car_.fields.at("PLATE").offset - car_.data)], "AB123");
      ASSERT_NE(kesto_test::make_record(10002, d.data()), 0u);
    }
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
    tool_ = std::string(KESTO_TOOL) + " -d " + dir_.path() + " ";
  }

  db_address person(const char *name, int age, const char *city) {
    std::vector<char> d(static_cast<size_t>(person_.length - person_.data), 0);
    std::strcpy(&d[static_cast<size_t>(person_.fields.at("NAME").offset - person_.data)], name);
    std::memcpy(&d[static_cast<size_t>(person_.fields.at("AGE").offset - person_.data)], &age, 4);
    std::strcpy(&d[static_cast<size_t>(person_.fields.at("CITY").offset - person_.data)], city);
    return kesto_test::make_record(10001, d.data());
  }

  kesto_schema::RecordInfo person_, car_;
  db_address ann_ = 0, bob_ = 0;
  std::string tool_;
};

TEST_F(ToolRecordTest, ListsRecordsAndKeys) {
  Outcome records = run(tool_ + "records people 10001");
  ASSERT_EQ(records.status, 0) << records.out;
  EXPECT_EQ(records.out, "0:2 1000=\"Ann\" 1001=30 1002=\"Oslo\"\n0:3 1000=\"Bob\" 1001=41 1002=\"Rome\"\n");
  Outcome names = run(tool_ + "keys people 1000");
  ASSERT_EQ(names.status, 0) << names.out;
  EXPECT_EQ(names.out, "\"Ann\" 0:2\n\"Bob\" 0:3\n");
  // The compound key's components, its descending age in natural form.
  Outcome cities = run(tool_ + "keys people 1003");
  ASSERT_EQ(cities.status, 0) << cities.out;
  EXPECT_EQ(cities.out, "\"Oslo\",30 0:2\n\"Rome\",41 0:3\n");
  Outcome plates = run(tool_ + "find people 2000 AB123");
  ASSERT_EQ(plates.status, 0) << plates.out;
  EXPECT_EQ(plates.out, "0:4 2000=\"AB123\" 2001=0\n0:5 2000=\"AB123\" 2001=0\n");
  Outcome compound = run(tool_ + "find people 1003 Rome,41");
  EXPECT_EQ(compound.out, "0:3 1000=\"Bob\" 1001=41 1002=\"Rome\"\n");
  Outcome missing = run(tool_ + "find people 1000 Zed");
  EXPECT_EQ(missing.status, 3) << missing.out;
  EXPECT_EQ(missing.out, "");
}

TEST_F(ToolRecordTest, WritesKeepTheKeys) {
  Outcome renamed = run(tool_ + "write people 0:2 1000 Ada");
  ASSERT_EQ(renamed.status, 0) << renamed.out;
  EXPECT_EQ(run(tool_ + "keys people 1000").out, "\"Ada\" 0:2\n\"Bob\" 0:3\n");
  Outcome clash = run(tool_ + "write people 0:3 1000 Ada");
  EXPECT_EQ(clash.status, 3);
  EXPECT_EQ(clash.out, "duplicate key\n");
  Outcome age = run(tool_ + "write people 0:2 2001 7");
  EXPECT_EQ(age.status, 2) << age.out;  // a CAR field on a PERSON
  EXPECT_NE(age.out.find("QVKDM0338E"), std::string::npos) << age.out;
  EXPECT_EQ(run(tool_ + "write people 0:3 1001 old").status, 1);
  Outcome optional = run(tool_ + "keystore people 0:2 1000");
  EXPECT_EQ(optional.status, 2);
  EXPECT_NE(optional.out.find("QVKDM0407E"), std::string::npos) << optional.out;
  EXPECT_EQ(run(tool_ + "keys people 1002").status, 2);  // not a key
  EXPECT_EQ(run(tool_ + "records people").status, 1);

  // The files the tool left behind hold a consistent key file.
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  std::vector<kesto_test::KeyFileEntry> entries;
  ASSERT_TRUE(kesto_test::check_key_file(1, &entries));
  EXPECT_EQ(entries.size(), 6u);  // two names, two plates, two compound keys
  ASSERT_EQ(dt_keyfind(1000, "Ada", nullptr, 0), S_OKAY);
}

TEST_F(ToolRecordTest, SharedModeLocksWhatEachCommandTouches) {
  kesto_test::write_file(dir_.file("boot"), {1});
  const std::string shared = "DBUSERID=tool NORVANE_BOOT_MARKER=" + dir_.file("boot") + " " + tool_ + "-m s ";
  Outcome renamed = run(shared + "write people 0:3 1000 Bea");
  ASSERT_EQ(renamed.status, 0) << renamed.out;
  Outcome records = run(shared + "records people 10001");
  ASSERT_EQ(records.status, 0) << records.out;
  EXPECT_EQ(records.out, "0:2 1000=\"Ann\" 1001=30 1002=\"Oslo\"\n0:3 1000=\"Bea\" 1001=41 1002=\"Rome\"\n");
  EXPECT_EQ(run(shared + "keys people 1000").out, "\"Ann\" 0:2\n\"Bea\" 0:3\n");
  Outcome checkpoint = run(shared + "checkpoint people");
  EXPECT_EQ(checkpoint.status, 0) << checkpoint.out;
  EXPECT_TRUE(kesto_test::file_exists(dir_.file("lockmgr")));
}

TEST_F(ToolRecordTest, FileStatistics) {
  Outcome data = run(tool_ + "stats people people.d00");
  ASSERT_EQ(data.status, 0) << data.out;
  EXPECT_EQ(data.out.rfind("people.d00: data file, ", 0), 0u) << data.out;
  EXPECT_NE(data.out.find(", 5 in use, at most "), std::string::npos) << data.out;  // the system record too
  Outcome key = run(tool_ + "stats people 1");
  ASSERT_EQ(key.status, 0) << key.out;
  EXPECT_NE(key.out.find("people.k00: key file, "), std::string::npos) << key.out;
  EXPECT_EQ(run(tool_ + "stats people people.d09").status, 2);
}

// A commit recorded in the activity file whose overflow file cannot be
// read: the open ends the process instead of using a half-written
// database, and keeps the entry for the next attempt.
TEST_F(ToolRecordTest, UnreadableOverflowFileEndsTheOpen) {
  ASSERT_EQ(dt_open("people", "c", nullptr), S_OKAY);
  ASSERT_EQ(taf_add("kesto.log"), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  for (const char *damage : {"missing", "truncated"}) {
    SCOPED_TRACE(damage);
    if (std::string(damage) == "truncated") std::ofstream(dir_.file("kesto.log")) << "kes";
    Outcome open = run("ulimit -c 0; " + tool_ + "open people");
    EXPECT_EQ(open.status, 128 + SIGABRT) << open.out;  // as the shell reports an abort
    EXPECT_NE(open.out.find("Auto-recovery of " + dir_.file("kesto.log") + "\n"), std::string::npos) << open.out;
    EXPECT_NE(open.out.find("QVKDM0535E *** db_KESTO auto-recovery of 'kesto.log' failed, exiting\n"),
              std::string::npos)
        << open.out;
    EXPECT_EQ(open.out.find("file 0 "), std::string::npos) << open.out;  // nothing was listed
  }
  ASSERT_EQ(dt_open("people", "c", nullptr), S_OKAY);
  EXPECT_STREQ(taf_files[0], "kesto.log");
}

// Records created, connected, walked, disconnected and deleted through the
// tool alone: each command a process of its own, so every change must reach
// the files.
TEST_F(ToolTest, SetCommands) {
  ASSERT_EQ(run(std::string(KESTO_DBDGEN) + " " + dir_.file("people.schema") + " " + dir_.file("people.dbd")).status, 0);
  ASSERT_EQ(run(tool_ + "init people").status, 0);
  const Step steps[] = {
      {"create people 10001 1000=Bob 1001=41 1002=Rome", 0, "0:2\n"},
      {"create people 10001 1000=Ann 1001=30", 0, "0:3\n"},
      {"create people 10001 1000=Ann 1001=99", 3, "duplicate key\n"},
      {"create people 10002 2000=AB1 2001=900", 0, "0:4\n"},
      {"create people 10002 2000=CD2", 0, "0:5\n"},
      {"create people 10002 1000=Zed", 1, "~is not a stored field of record 10002"},
      {"create people 10002 2000", 1, "~usage"},
      // PEOPLE (20001) under the system record sorts by name; OWNS (20000)
      // keeps call order.
      {"connect people 20001 0:1 0:2", 0, ""},
      {"connect people 20001 0:1 0:3", 0, ""},
      {"connect people 20000 0:2 0:4", 0, ""},
      {"connect people 20000 0:2 0:5", 0, ""},
      {"walk people 20001 0:1", 0,
       "2 members\n0:3 1000=\"Ann\" 1001=30 1002=\"\"\n0:2 1000=\"Bob\" 1001=41 1002=\"Rome\"\n"},
      {"walk people 20000 0:2", 0, "2 members\n0:4 2000=\"AB1\" 2001=900\n0:5 2000=\"CD2\" 2001=0\n"},
      {"walk people 20000 0:3", 0, "0 members\n"},
      {"connect people 20000 0:3 0:4", 2, "~QVKDM0194E"},  // a car has one owner
      {"connect people 20000 0:3 0:5 0:4", 2, "~0:4 is not a member of 0:3"},
      {"walk people 20000 0:4", 2, "~QVKDM0177E"},  // a car owns nothing
      {"delete people 0:2", 2, "~QVKDM0081E"},
      {"delete people 0:4", 2, "~QVKDM0082E"},
      {"disconnect people 20000 0:4", 0, ""},
      {"disconnect people 20000 0:4", 2, "~QVKDM0346E"},
      {"walk people 20000 0:2", 0, "1 members\n0:5 2000=\"CD2\" 2001=0\n"},
      {"delete people 0:4", 0, ""},
      {"records people 10002", 0, "0:5 2000=\"CD2\" 2001=0\n"},
      {"keys people 2000", 0, "\"CD2\" 0:5\n"},
      {"delete people 0:4", 3, ""},  // a deleted slot
      {"create people 10002 2000=EF3", 0, "0:4\n"},  // which the next record takes
      {"connect people 20000", 1, "~usage"},
  };
  for (const auto &step : steps) {
    SCOPED_TRACE(step.command);
    expect_run(tool_ + step.command, step.status, step.out);
  }

  // The files the tool left behind hold whole chains and a consistent key
  // file.
  kesto_test::reset_engine();
  ASSERT_EQ(dt_dbwdir(dir_.path().c_str(), nullptr), S_OKAY);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  std::vector<db_address> chain;
  ASSERT_TRUE(kesto_test::check_set(20001, 1, &chain));
  EXPECT_EQ(chain, (std::vector<db_address>{3, 2}));
  ASSERT_TRUE(kesto_test::check_set(20000, 2, &chain));
  EXPECT_EQ(chain, (std::vector<db_address>{5}));
  ASSERT_TRUE(kesto_test::check_key_file(1));
  ASSERT_TRUE(kesto_test::check_data_file(0));
  kesto_test::reset_engine();
}

// Journaled changes through the tool, the database files then restored from
// a copy taken before them, and a roll-forward that brings the changes back.
TEST_F(ToolTest, JournaledChangesRolledForwardOntoACopy) {
  ASSERT_EQ(run(std::string(KESTO_DBDGEN) + " " + dir_.file("people.schema") + " " + dir_.file("people.dbd")).status, 0);
  ASSERT_EQ(run(tool_ + "init people").status, 0);
  const std::vector<unsigned char> data = kesto_test::read_file(dir_.file("people.d00"));
  const std::vector<unsigned char> keys = kesto_test::read_file(dir_.file("people.k00"));
  const std::string empty_journal =
      "checkpoint file " + dir_.file("kesto.tcf") + "\njournal " + dir_.file("kesto.tjf");
  const Step steps[] = {
      {"journal people", 3, "no journal\n"},
      {"-j create people 10002 2000=AB1 2001=700", 0, "0:2\n"},
      {"-j create people 10002 2000=AB2 2001=701", 0, "0:3\n"},
      {"-j write people 0:3 2001 999", 0, ""},
      {"journal people", 0, "~  slot 0 people.d00\n  slot 1 people.k00\njournal "},
      {"journal people", 0, "~ files 3: file 0 slot 0\n"},  // a weight is in the data file only
      {"journal people", 0, "~ commit 3\n"},
      {"records people 10002", 0, "0:2 2000=\"AB1\" 2001=700\n0:3 2000=\"AB2\" 2001=999\n"},
      {"restore the copy", 0, ""},
      {"records people 10002", 0, ""},
      {"rollforward people", 0, "~Rollforward recovery using \"" + dir_.file("kesto.tjf") + "\" finished"},
      {"records people 10002", 0, "0:2 2000=\"AB1\" 2001=700\n0:3 2000=\"AB2\" 2001=999\n"},
      {"keys people 2000", 0, "\"AB1\" 0:2\n\"AB2\" 0:3\n"},
      {"journal people", 0, empty_journal + ": version 2, last id 0, ids from 0, last commit 0\n"},
      {"-j create people 10002 2000=AB3", 0, "0:4\n"},
      {"create people 10002 2000=AB4", 0, "0:5\n"},  // not journaled
      {"journal people", 0, "~ commit 1\n"},
      {"checkpoint people", 0, ""},
      {"journal people", 0, empty_journal + ": version 2, last id 1, ids from 1, last commit 0\n"},
  };
  for (const auto &step : steps) {
    SCOPED_TRACE(step.command);
    if (step.command == "restore the copy") {
      kesto_test::write_file(dir_.file("people.d00"), data);
      kesto_test::write_file(dir_.file("people.k00"), keys);
      continue;
    }
    expect_run(tool_ + step.command, step.status, step.out);
  }
}

}  // namespace
