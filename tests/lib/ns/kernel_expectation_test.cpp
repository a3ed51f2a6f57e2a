#include "lib/ns/ostrelagent_kernel_expectation.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using Expectation = OstrelAgent_Kernel_Expectation;

view_fhandle directory(int32_t elem_dbid) {
    view_fhandle fh;
    std::memset(&fh, 0, sizeof fh);
    fh.vob_uuid.bytes[0] = 7;
    fh.elem_dbid = elem_dbid;
    return fh;
}

// Only the call an operation makes is found: the right kind, directory,
// name and, for a hijack's rename, the name its copy comes from; a call
// once met, or an expectation gone, is found no more.
TEST(KernelExpectation, OnlyTheExpectedCallIsFoundAndOnlyOnce) {
    const view_fhandle dir = directory(41);
    view_vstat version;
    std::memset(&version, 0, sizeof version);
    version.obj_oid.bytes[0] = 99;
    view_vstat found;
    {
        Expectation hijack(Expectation::Kind::HIJACK_BY_RENAME, dir, "a.c", &version, ".a.c.ostrel-copy");
        Expectation unhijack(Expectation::Kind::UNHIJACK_BY_REMOVAL, dir, "b.c");
        const qel_uuid_s& vob = dir.vob_uuid;
        EXPECT_EQ(0u, Expectation::find(Expectation::Kind::HIJACK_BY_RENAME, vob, 41, "a.c", &found, "mine.c"));
        EXPECT_EQ(0u, Expectation::find(Expectation::Kind::HIJACK_BY_RENAME, vob, 41, "a.c", &found, nullptr));
        EXPECT_EQ(0u, Expectation::find(Expectation::Kind::HIJACK_BY_RENAME, vob, 42, "a.c", &found,
                                        ".a.c.ostrel-copy"));
        EXPECT_EQ(0u, Expectation::find(Expectation::Kind::UNHIJACK_BY_REMOVAL, vob, 41, "a.c", &found));
        const uint64_t number =
            Expectation::find(Expectation::Kind::HIJACK_BY_RENAME, vob, 41, "a.c", &found, ".a.c.ostrel-copy");
        ASSERT_NE(0u, number);
        EXPECT_EQ(99, found.obj_oid.bytes[0]);
        EXPECT_FALSE(hijack.met());
        Expectation::meet(number);
        EXPECT_TRUE(hijack.met());
        EXPECT_EQ(0u, Expectation::find(Expectation::Kind::HIJACK_BY_RENAME, vob, 41, "a.c", &found,
                                        ".a.c.ostrel-copy"));

        EXPECT_NE(0u, Expectation::find(Expectation::Kind::UNHIJACK_BY_REMOVAL, vob, 41, "b.c", &found));
    }
    EXPECT_EQ(0u, Expectation::find(Expectation::Kind::UNHIJACK_BY_REMOVAL, dir.vob_uuid, 41, "b.c", &found));
}

} // namespace
