#include "platform/utl/strutl.h"

#include <errno.h>
#include <limits.h>

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(StrutlNumbers, StrtolIsStrict) {
    struct Case {
        const char* text;
        int base;
        bool ok;
        long value;
        int err;
    };
    const Case cases[] = {
        {"42", 10, true, 42, 0},
        {"-42", 10, true, -42, 0},
        {"+7", 10, true, 7, 0},
        {"0x1f", 0, true, 31, 0},
        {"ff", 16, true, 255, 0},
        {"9223372036854775807", 10, true, LONG_MAX, 0},
        {"", 10, false, 0, EINVAL},
        {" 42", 10, false, 0, EINVAL},
        {"42 ", 10, false, 0, EINVAL},
        {"42abc", 10, false, 0, EINVAL},
        {"-", 10, false, 0, EINVAL},
        {"+-1", 10, false, 0, EINVAL},
        {"12", 1, false, 0, EINVAL},
        {"9223372036854775808", 10, false, 0, ERANGE},
        {"-9223372036854775809", 10, false, 0, ERANGE},
    };
    for (const Case& c : cases) {
        long value = 12345;
        errno = 0;
        int rc = strutl_strtol(c.text, c.base, &value);
        if (c.ok) {
            EXPECT_EQ(rc, 0) << '"' << c.text << '"';
            EXPECT_EQ(value, c.value) << '"' << c.text << '"';
        } else {
            EXPECT_NE(rc, 0) << '"' << c.text << '"';
            EXPECT_EQ(errno, c.err) << '"' << c.text << '"';
            EXPECT_EQ(value, 12345) << "output written on failure for \"" << c.text << '"';
        }
    }
}

TEST(StrutlNumbers, StrtoulRefusesSignsAndOverflow) {
    struct Case {
        const char* text;
        bool ok;
        unsigned long value;
    };
    const Case cases[] = {
        {"4194304", true, 4194304UL}, {"0", true, 0},    {"18446744073709551615", true, ULONG_MAX},
        {"18446744073709551616", false, 0}, {"-1", false, 0}, {"+1", false, 0},
        {"", false, 0},               {"12MB", false, 0}, {"\t5", false, 0},
    };
    for (const Case& c : cases) {
        unsigned long value = 99;
        int rc = strutl_strtoul(c.text, 10, &value);
        EXPECT_EQ(rc == 0, c.ok) << '"' << c.text << '"';
        EXPECT_EQ(value, c.ok ? c.value : 99UL) << '"' << c.text << '"';
    }
}

TEST(StrutlHash, IsFnv1a32WithTheSeedInTheBasis) {
    // Published FNV-1a 32-bit test values.
    EXPECT_EQ(strutl_str_to_hash32(0, ""), 0x811c9dc5u);
    EXPECT_EQ(strutl_str_to_hash32(0, "a"), 0xe40c292cu);
    EXPECT_EQ(strutl_str_to_hash32(0, "foobar"), 0xbf9cf968u);
    // A seed moves the value; the same seed gives the same value.
    EXPECT_NE(strutl_str_to_hash32(1, "foobar"), strutl_str_to_hash32(0, "foobar"));
    EXPECT_NE(strutl_str_to_hash32(0x80000001u, "name"), strutl_str_to_hash32(0x80000002u, "name"));
    EXPECT_EQ(strutl_str_to_hash32(77, "name"), strutl_str_to_hash32(77, "name"));
}

TEST(StrutlBounded, ConcatFitsOrLeavesNothing) {
    char buf[8];
    EXPECT_EQ(strutl_concat(buf, sizeof buf, "db", "/", "x", nullptr), 0);
    EXPECT_STREQ(buf, "db/x");
    EXPECT_EQ(strutl_concat(buf, sizeof buf, "1234", "567", nullptr), 0) << "7 characters and the NUL fit";
    EXPECT_STREQ(buf, "1234567");
    errno = 0;
    EXPECT_NE(strutl_concat(buf, sizeof buf, "1234", "5678", nullptr), 0);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_STREQ(buf, "") << "a cut text must never look like a path";
}

TEST(StrutlBounded, NcpyBufCopiesAComponent) {
    char buf[4];
    const char* path = "abc/defg";
    EXPECT_EQ(strutl_ncpy_buf(buf, sizeof buf, path, 3), 0);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(strutl_ncpy_buf(buf, sizeof buf, "ab", 10), 0) << "stops at the text's end";
    EXPECT_STREQ(buf, "ab");
    errno = 0;
    EXPECT_NE(strutl_ncpy_buf(buf, sizeof buf, path + 4, 4), 0);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_STREQ(buf, "");
}

TEST(StrutlBounded, SnprintfCutsAndReportsTheFullLength) {
    char buf[6];
    EXPECT_EQ(strutl_snprintf(buf, sizeof buf, "%s-%d", "abcdef", 12), 9);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(strutl_snprintf(buf, sizeof buf, "%d", 7), 1);
    EXPECT_STREQ(buf, "7");
}

TEST(StrutlCompare, StricollIgnoresCase) {
    EXPECT_EQ(strutl_stricoll("-VerAll", "-verall"), 0);
    EXPECT_EQ(strutl_stricoll("TRUE", "true"), 0);
    EXPECT_NE(strutl_stricoll("-Ver", "-VerAll"), 0);
    EXPECT_LT(strutl_stricoll("abc", "ABD"), 0);
}

}  // namespace
