#include <errno.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/qel/qel.h"

namespace {

// Every base status that the program raises or tests.
const qel_status_t kCited[] = {1001, 1002, 1007, 1008, 1009, 1011, 1013, 1014, 1015, 1016, 1019,
                               1020, 1022, 1023, 1033, 1046, 1051, 1052, 1055, 1062, 1063, 1067,
                               1068, 1070, 1071, 1072, 1078, 1080, 1083, 1084, 1085, 1087, 1088};

TEST(QelStatus, EveryCitedStatusHasItsOwnText) {
    std::set<std::string> texts;
    for (qel_status_t status : kCited) {
        std::string text = qel_strerror(status);
        EXPECT_FALSE(text.empty()) << status;
        EXPECT_EQ(text.find("Unknown"), std::string::npos) << status;
        EXPECT_TRUE(texts.insert(text).second) << status << " shares its text";
    }
    EXPECT_STREQ(qel_strerror(1001), "Out of memory");
    EXPECT_STREQ(qel_strerror(1002), "Not found");
    EXPECT_STREQ(qel_strerror(0), "Success");
    EXPECT_STREQ(qel_strerror(ENOENT), "No such file or directory") << "callers pass errno values too";
    EXPECT_STREQ(qel_strerror(1099), "Unknown status 1099");
    EXPECT_STREQ(qel_strerror(-5), "Unknown status -5");
}

TEST(QelStatus, ErrnoAndStatusConvertThroughOneTable) {
    struct Case {
        int err;
        qel_status_t status;
    };
    const Case both_ways[] = {
        {ENOMEM, 1001},  {EOPNOTSUPP, 1007}, {EINTR, 1019},  {ETIMEDOUT, 1020}, {ESHUTDOWN, 1046},
        {EACCES, 1051},  {ENOENT, 1052},     {EPERM, 1063},  {EEXIST, 1067},    {EXDEV, 1068},
        {ENOTDIR, 1070}, {EISDIR, 1071},     {EINVAL, 1072}, {EROFS, 1080},     {ELOOP, 1083},
        {ENAMETOOLONG, 1084}, {ENOTEMPTY, 1085}, {ESTALE, 1087}, {EBUSY, 1088},
    };
    for (const Case& c : both_ways) {
        EXPECT_EQ(qel_errno2status(c.err), c.status) << c.err;
        EXPECT_EQ(qel_status2errno(c.status), c.err) << c.status;
    }
    // Further errno values of a status, and statuses without an errno of their own.
    EXPECT_EQ(qel_errno2status(ENOSPC), 1062);
    EXPECT_EQ(qel_errno2status(ENOSYS), 1007);
    EXPECT_EQ(qel_errno2status(ERANGE), 1084);
    EXPECT_EQ(qel_status2errno(1002), ENOENT);
    EXPECT_EQ(qel_status2errno(1022), EROFS);
    EXPECT_EQ(qel_status2errno(1008), EIO);
    EXPECT_EQ(qel_status2errno(1099), EIO);
    EXPECT_EQ(qel_errno2status(EPROTO), 1008) << "an errno without a status";
    EXPECT_EQ(qel_errno2status(0), 0);
    EXPECT_EQ(qel_status2errno(0), 0);
    EXPECT_EQ(qel_status2errno(EAGAIN), EAGAIN) << "errno values pass through";
}

}  // namespace
