#include "platform/vek/vek.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/imsg/imsg.h"

namespace {

TEST(Vek, ModeConstantsClassifyWhatStatReports) {
    vek_system_init();
    struct stat st;
    ASSERT_EQ(stat("/", &st), 0);
    EXPECT_TRUE(vek_mode_is(st.st_mode, VEK_S_IFDIR));
    EXPECT_FALSE(vek_mode_is(st.st_mode, VEK_S_IFREG));
    ASSERT_EQ(lstat("/proc/self", &st), 0);
    EXPECT_TRUE(vek_mode_is(st.st_mode, VEK_S_IFLNK));
    EXPECT_FALSE(vek_mode_is(VEK_S_IFLNK, VEK_S_IFREG)) << "0xA000 shares a bit with 0x8000";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(fstat(fds[0], &st), 0);
    EXPECT_TRUE(vek_mode_is(st.st_mode, VEK_S_IFIFO));
    close(fds[0]);
    close(fds[1]);
}

std::string g_line;
void capture(void*, const char* text) { g_line += text; }

TEST(Vek, VersionLineIsPaddedToColumn33) {
    const imsg_proc_t table[IMSG_NUM_KINDS] = {capture};
    imsg_set_redirect_procs(table, 1, nullptr);
    libhalvicvek_print_verid();
    imsg_set_redirect_procs(nullptr, 0, nullptr);
    ASSERT_GT(g_line.size(), 34u);
    EXPECT_EQ(g_line.substr(0, 34), "libhalvicvek                      ");
    EXPECT_EQ(g_line.back(), '\n');
    EXPECT_NE(g_line.find(" ("), std::string::npos);

    char buf[IMSG_MAX_TEXT];
    EXPECT_EQ(libhalvicvek_sprintf_verid(buf), static_cast<int>(g_line.size()));
    EXPECT_EQ(g_line, buf);
}

}  // namespace
