// Base64 of the login credential, and its decoder with the leniencies the
// class promises.

#include "lib/client/rclient_base64.h"

#include <gtest/gtest.h>

namespace {

TEST(Base64, EncodesTheStandardVectors) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},
        {"foo", "Zm9v"},    {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"DOM\\alice:p\xc3\xa4ss", "RE9NXGFsaWNlOnDDpHNz"},
        {"\xff\xfe\xfd", "//79"},
        {"ab\0cd", "YWI="}, // stops at the first zero byte
    };
    for (const auto& c : cases) EXPECT_EQ(Base64::encode(c.in), c.out) << c.in;
    EXPECT_EQ(Base64::encode(nullptr), "");
}

TEST(Base64, Decodes) {
    const struct {
        const char* in;
        const char* out; // null: refused
    } cases[] = {
        {"Zm9vYmFy", "foobar"},
        {"Zm9vYg==", "foob"},
        {"Zm9vYmE=", "fooba"},
        {"Zm8", "fo"},                 // no padding
        {"Zm9v\nYmFy", "foobar"},      // characters outside the alphabet are skipped
        {"//79", "\xff\xfe\xfd"},
        {" /8=", "\xfb\xff"},           // a blank reads as "+"
        {"Zm8=Zm9v", "fo"},            // stops at the first "="
        {"Z", ""},                     // a lone character at the end gives no byte
        {"Zm9vY=", nullptr},           // "=" after one character of a group
        {"Zm9v=", nullptr},            // "=" after a whole group
        {"=", nullptr},
        {"", ""},
    };
    for (const auto& c : cases) {
        std::unique_ptr<char[]> got = Base64::decode(c.in);
        if (c.out == nullptr) {
            EXPECT_EQ(got, nullptr) << c.in;
        } else {
            ASSERT_NE(got, nullptr) << c.in;
            EXPECT_STREQ(got.get(), c.out) << c.in;
        }
    }
}

} // namespace
