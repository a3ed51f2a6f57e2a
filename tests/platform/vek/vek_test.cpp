#include "platform/vek/vek.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/imsg/imsg.h"
#include "platform/vek/vek_xdr.h"
#include "xdr/ostrelxdr_codec.h"
#include "xdr/xdr_test_support.h"

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

// A path-name pointer: a null one goes out empty; decoding allocates a text
// of its own (leaving a buffer the pointer held alone), free mode releases
// it; 1023 bytes pass, 1024 fail both ways.
TEST(VekXdr, CanonicalPathNamePointer) {
    using xdr_test::Bytes;
    vek_canon_pname_p_t none = nullptr;
    EXPECT_EQ(xdr_test::encoded(xdr_vek_canon_pname_p_t, none), xdr_test::words({0}));

    char held[] = "held";
    vek_canon_pname_p_t pname = held;
    const Bytes wire = xdr_test::text("/vobs/a/b");
    EXPECT_EQ(xdr_test::hex(xdr_test::encoded(xdr_vek_canon_pname_p_t, pname)),
              xdr_test::hex(xdr_test::text("held")));
    ASSERT_TRUE(xdr_test::decode(xdr_vek_canon_pname_p_t, wire, &pname));
    ASSERT_NE(pname, held);
    EXPECT_STREQ(pname, "/vobs/a/b");
    EXPECT_STREQ(held, "held");
    ostrelxdr_free(xdr_vek_canon_pname_p_t, &pname);
    EXPECT_EQ(pname, nullptr);

    std::string longest(1023, 'p');
    pname = &longest[0];
    ASSERT_EQ(xdr_test::encoded(xdr_vek_canon_pname_p_t, pname).size(), 4u + 1024u);
    std::string too_long(1024, 'p');
    pname = &too_long[0];
    EXPECT_TRUE(xdr_test::encoded(xdr_vek_canon_pname_p_t, pname).empty());
    pname = nullptr;
    EXPECT_FALSE(xdr_test::decode(xdr_vek_canon_pname_p_t, xdr_test::text(too_long), &pname));
    EXPECT_EQ(pname, nullptr) << "nothing is allocated for a refused length";
}

TEST(VekXdr, DirectoryOffsetIsOneWord) {
    vek_off32_t offset = 0x40000001;
    EXPECT_EQ(xdr_test::encoded(xdr_vek_off32_t, offset), xdr_test::words({0x40000001}));
    vek_off32_t back = 0;
    ASSERT_TRUE(xdr_test::decode(xdr_vek_off32_t, xdr_test::words({7}), &back));
    EXPECT_EQ(back, 7u);
}

}  // namespace
