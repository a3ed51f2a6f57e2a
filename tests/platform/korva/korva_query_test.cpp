// View-root and naming-suffix queries through handles and korva_cmd, as the
// daemon and the query tool issue them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "korva_test_support.h"
#include "platform/imsg/imsg.h"
#include "platform/korva/korva.h"
#include "platform/korva/korva_control.h"

namespace {

class KorvaQueryTest : public korva_test::KorvaRootTest {
 protected:
  struct Answer {
    int result = 0;
    int error = 0;
    int status = 0;
    std::string text;
  };

  // One query on a fresh handle, with a buffer of `size` bytes.
  Answer query(int type, int command, size_t size) {
    Answer a;
    int open_status = -1;
    korva_handle_t h = korva_view_root_open_sil_type(type, &open_status, 1);
    EXPECT_NE(nullptr, h);
    EXPECT_EQ(0, open_status);
    std::string buffer(size, '\x7f');
    korva_query_out out{buffer.data(), 0, static_cast<uint32_t>(size)};
    int input[6] = {};
    errno = 0;
    int returned = korva_cmd(h, &a.result, &a.status, command, 0, input, &out, sizeof out);
    a.error = errno;
    EXPECT_EQ(a.result, returned);
    if (a.result == 0) a.text = buffer.c_str();
    EXPECT_EQ(0, korva_view_root_close_type(KORVA_VIEWROOT_AUTOMATIC, h));
    return a;
  }

  void writeConfig(const std::string& text) {
    ASSERT_EQ(0, korva::Root(root_).prepare());
    std::ofstream(root_ + "/config") << text;
  }
};

}  // namespace

TEST_F(KorvaQueryTest, DefaultRootsAndSuffixesComeFromTheRootDirectory) {
  EXPECT_EQ(root_ + "/view", query(KORVA_VIEWROOT_AUTOMATIC, KORVA_CMD_GET_VIEW_ROOT, 256).text);
  EXPECT_EQ(root_ + "/dynamic_view", query(KORVA_VIEWROOT_DYNAMIC, KORVA_CMD_GET_VIEW_ROOT, 256).text);
  EXPECT_EQ("@@", query(KORVA_VIEWROOT_AUTOMATIC, KORVA_CMD_GET_NAMING_SUFFIX, 1024).text);
  EXPECT_EQ(0, korva_open_handle_count());

  korva::Control control{korva::Root(root_)};
  auto lines = control.journal().read();
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ((std::vector<std::string>{"view_root", "1"}), lines[0]);
  EXPECT_EQ((std::vector<std::string>{"naming_suffix", "1"}), lines[2]);
}

TEST_F(KorvaQueryTest, ConfiguredAnswersAndBufferLimits) {
  std::string root255 = "/" + std::string(254, 'r');
  writeConfig("root.1=" + root255 + "\nroot.0=/views/dyn/\nsuffix.0=%23%23\n");
  // A root of 255 characters fills the 256-byte buffer exactly.
  Answer whole = query(KORVA_VIEWROOT_AUTOMATIC, KORVA_CMD_GET_VIEW_ROOT, 256);
  EXPECT_EQ(0, whole.result);
  EXPECT_EQ(root255, whole.text);
  EXPECT_EQ("/views/dyn", query(KORVA_VIEWROOT_DYNAMIC, KORVA_CMD_GET_VIEW_ROOT, 256).text);
  EXPECT_EQ("##", query(KORVA_VIEWROOT_DYNAMIC, KORVA_CMD_GET_NAMING_SUFFIX, 1024).text);
  EXPECT_EQ("@@", query(KORVA_VIEWROOT_AUTOMATIC, KORVA_CMD_GET_NAMING_SUFFIX, 1024).text);

  // One byte less does not fit: the call fails and the buffer is left alone.
  Answer cut = query(KORVA_VIEWROOT_AUTOMATIC, KORVA_CMD_GET_VIEW_ROOT, 255);
  EXPECT_EQ(-1, cut.result);
  EXPECT_EQ(ENAMETOOLONG, cut.error);
  EXPECT_EQ(1084, cut.status);
}

TEST_F(KorvaQueryTest, InjectedFailuresOfOpenAndQueries) {
  korva::Injector inject = korva::Control(korva::Root(root_)).injector();
  ASSERT_EQ(0, inject.add("open", "1001"));
  ASSERT_EQ(0, inject.add("view_root", "errno=4"));
  ASSERT_EQ(0, inject.add("naming_suffix", "1011"));

  int status = -1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(nullptr, korva_view_root_open_type(KORVA_VIEWROOT_AUTOMATIC, &status));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("status 1001"));
  EXPECT_EQ(1001, status);

  Answer interrupted = query(KORVA_VIEWROOT_AUTOMATIC, KORVA_CMD_GET_VIEW_ROOT, 256);
  EXPECT_EQ(-1, interrupted.result);
  EXPECT_EQ(EINTR, interrupted.error);
  EXPECT_EQ(0, interrupted.status);
  EXPECT_EQ(root_ + "/view", query(KORVA_VIEWROOT_AUTOMATIC, KORVA_CMD_GET_VIEW_ROOT, 256).text);

  Answer failed = query(KORVA_VIEWROOT_AUTOMATIC, KORVA_CMD_GET_NAMING_SUFFIX, 1024);
  EXPECT_EQ(-1, failed.result);
  EXPECT_EQ(1011, failed.status);
  EXPECT_EQ(0, korva_open_handle_count());
}

TEST_F(KorvaQueryTest, BadHandlesTypesAndCommands) {
  int status = -1;
  EXPECT_EQ(nullptr, korva_view_root_open_sil_type(7, &status, 1));
  EXPECT_EQ(1072, status);

  int result = 0, kernel_status = 0;
  char buffer[16];
  korva_query_out out{buffer, 0, sizeof buffer};
  EXPECT_EQ(-1, korva_cmd(nullptr, &result, &kernel_status, KORVA_CMD_GET_VIEW_ROOT, 0, nullptr, &out, sizeof out));
  EXPECT_EQ(EBADF, errno);
  EXPECT_EQ(1001, kernel_status);
  EXPECT_EQ(1072, korva_view_root_close_type(1, nullptr));

  korva_handle_t h = korva_view_root_open_sil_type(KORVA_VIEWROOT_AUTOMATIC, &status, 1);
  ASSERT_NE(nullptr, h);
  // A message call without its view tag, or with a buffer smaller than a message.
  EXPECT_EQ(-1, korva_cmd(h, &result, &kernel_status, KORVA_CMD_LPC_MESSAGE, 0, nullptr, buffer, sizeof buffer));
  EXPECT_EQ(EFAULT, errno);
  EXPECT_EQ(1072, kernel_status);
  korva_view_tag_record tag{korva_text_of("v1"), korva_text_of("v1")};
  EXPECT_EQ(-1, korva_cmd(h, &result, &kernel_status, KORVA_CMD_LPC_MESSAGE, 0, &tag, buffer, sizeof buffer));
  EXPECT_EQ(EFAULT, errno);
  EXPECT_EQ(-1, korva_cmd(h, &result, &kernel_status, 99, 0, nullptr, &out, sizeof out));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(1007, kernel_status);
  // An output record too small for the query.
  EXPECT_EQ(-1, korva_cmd(h, &result, &kernel_status, KORVA_CMD_GET_VIEW_ROOT, 0, nullptr, &out, 4));
  EXPECT_EQ(EFAULT, errno);
  EXPECT_EQ(0, korva_view_root_close_type(KORVA_VIEWROOT_AUTOMATIC, h));
}

TEST_F(KorvaQueryTest, UnusableRootDirectoryFailsTheCall) {
  // KORVA_ROOT below a regular file cannot be made.
  std::ofstream(base_ + "/file") << "x";
  setenv("KORVA_ROOT", (base_ + "/file/root").c_str(), 1);
  int status = -1;
  EXPECT_EQ(nullptr, korva_view_root_open_sil_type(KORVA_VIEWROOT_AUTOMATIC, &status, 1));
  EXPECT_EQ(1008, status);
  korva::Outcome outcome = korva::Control().unregisterView("v1");
  EXPECT_EQ(ENOTDIR, outcome.call_error);
}
