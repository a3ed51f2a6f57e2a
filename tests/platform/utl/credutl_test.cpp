#include "platform/utl/credutl.h"

#include <errno.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string text_of(const credutl_sid_t& sid) {
    char buf[CREDUTL_SID_STR_MAX + 1];
    EXPECT_EQ(credutl_sid_to_str(&sid, buf, sizeof buf), 0);
    return buf;
}

TEST(CredutlSid, UserAndGroupSidsRoundTripThroughText) {
    credutl_sid_t user;
    credutl_sid_t group;
    credutl_uid_to_sid(1000, &user);
    credutl_gid_to_sid(1000, &group);
    EXPECT_EQ(text_of(user), "S-1-22-1-1000");
    EXPECT_EQ(text_of(group), "S-1-22-2-1000");
    EXPECT_FALSE(credutl_sid_eq(&user, &group)) << "a user and a group of one number differ";
    EXPECT_EQ(credutl_sid_length(&user), 16u);
    EXPECT_TRUE(credutl_sid_is_set(&user));

    credutl_sid_t back;
    ASSERT_EQ(credutl_str_to_sid("S-1-22-1-4294967295", &back), 0);
    uid_t uid = 0;
    ASSERT_EQ(credutl_sid_to_uid(&back, &uid), 0);
    EXPECT_EQ(uid, static_cast<uid_t>(4294967295u));
    gid_t gid = 0;
    errno = 0;
    EXPECT_EQ(credutl_sid_to_gid(&back, &gid), -1) << "a user sid names no group";
    EXPECT_EQ(errno, EINVAL);
}

TEST(CredutlSid, DontCareIsUnsetAndHasATextForm) {
    EXPECT_EQ(CREDUTL_SID_DONTCARE.bytes[1], 1) << "the second byte marks an unset identity";
    EXPECT_FALSE(credutl_sid_is_set(&CREDUTL_SID_DONTCARE));
    EXPECT_EQ(text_of(CREDUTL_SID_DONTCARE), "S-1-0-0");
    credutl_sid_t parsed;
    ASSERT_EQ(credutl_str_to_sid("S-1-0-0", &parsed), 0);
    EXPECT_TRUE(credutl_sid_eq(&parsed, &CREDUTL_SID_DONTCARE));
    credutl_sid_t zero = {};
    EXPECT_FALSE(credutl_sid_is_set(&zero));
    EXPECT_EQ(text_of(zero), "S-0-0");
    ASSERT_EQ(credutl_str_to_sid("S-0-0", &parsed), 0);
    EXPECT_TRUE(credutl_sid_eq(&parsed, &zero)) << "an identity never set reads back as it was";
    uid_t uid = 0;
    EXPECT_EQ(credutl_sid_to_uid(&CREDUTL_SID_DONTCARE, &uid), -1);
}

TEST(CredutlSid, ParserRejectsMalformedText) {
    const char* bad[] = {
        "",        "S",          "S-",           "S-1",            "s-1-22-1-5",
        "S-2-22-1-5", "S-1-22-1-5 ", " S-1-22-1-5", "S-1-22-1-",     "S-1-22--5",
        "S-1-22-1-4294967296", "S-1-281474976710656-1", "S-1-22-1-2-3-4-5-6-7",
        "S-1-22-1-x", "S-1-+22-1-5", "S-0-0-5", "S-0-1",
    };
    for (const char* text : bad) {
        credutl_sid_t sid = CREDUTL_SID_DONTCARE;
        errno = 0;
        EXPECT_EQ(credutl_str_to_sid(text, &sid), -1) << '"' << text << '"';
        EXPECT_EQ(errno, EINVAL) << '"' << text << '"';
        EXPECT_TRUE(credutl_sid_eq(&sid, &CREDUTL_SID_DONTCARE)) << "output changed for " << text;
    }
    std::string too_long = "S-1-22-1-" + std::string(CREDUTL_SID_STR_MAX, '0');
    credutl_sid_t sid;
    EXPECT_EQ(credutl_str_to_sid(too_long.c_str(), &sid), -1);
    char small[8];
    errno = 0;
    EXPECT_EQ(credutl_sid_to_str(&CREDUTL_SID_DONTCARE, small, 7), -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(credutl_sid_to_str(&CREDUTL_SID_DONTCARE, small, 8), 0);
}

TEST(CredutlCredentials, DescribeTheRunningProcess) {
    credutl_sid_credentials_t creds;
    ASSERT_EQ(credutl_get_sid_credentials(&creds), 0);
    credutl_sid_t me;
    credutl_uid_to_sid(getuid(), &me);
    credutl_sid_t my_group;
    credutl_gid_to_sid(getgid(), &my_group);
    EXPECT_TRUE(credutl_sid_eq(&creds.user_sid, &me));
    EXPECT_TRUE(credutl_sid_eq(&creds.group_sid, &my_group));
    EXPECT_TRUE(credutl_sid_eq(credutl_getusid(), &me));
    EXPECT_TRUE(credutl_has_user_sid(&creds, &me));
    EXPECT_TRUE(credutl_has_group_sid(&creds, &my_group));

    credutl_sid_t stranger;
    credutl_uid_to_sid(getuid() + 4242, &stranger);
    EXPECT_FALSE(credutl_has_user_sid(&creds, &stranger));
    EXPECT_FALSE(credutl_has_group_sid(&creds, &me)) << "a user sid is not a group";

    int n = getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<size_t>(n > 0 ? n : 1));
    n = getgroups(n, groups.data());
    for (int i = 0; i < n; ++i) {
        credutl_sid_t g;
        credutl_gid_to_sid(groups[static_cast<size_t>(i)], &g);
        EXPECT_TRUE(credutl_has_group_sid(&creds, &g)) << "supplementary group " << groups[i];
    }
    credutl_sid_t nobody_group;
    credutl_gid_to_sid(4000000000u, &nobody_group);
    EXPECT_FALSE(credutl_has_group_sid(&creds, &nobody_group));
}

}  // namespace
