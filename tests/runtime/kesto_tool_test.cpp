// The dictionary generator and the engine tool, run as programs.
#include <sys/wait.h>

#include <cstdio>
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
  EXPECT_NE(gen.out.find("field CITY_AGE 1003"), std::string::npos) << gen.out;

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

}  // namespace
