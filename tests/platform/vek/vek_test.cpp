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

}  // namespace
