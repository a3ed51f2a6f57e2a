// The mounted-VOB registry against a view registered with the simulated
// kernel: the file's lines read and written, the file replaced whole and in
// tag order, the replay that mounts every recorded VOB and reports its first
// failure, and the longest tag holding a path.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/installed_view.h"

namespace {

namespace S = OstrelAgent_Status;
using view_test::installed;
using lib_test::oid;
using lib_test::uuid;
using Calls = std::vector<std::vector<std::string>>;

view_test::Installed_View* const environment = view_test::install_view("automatic");

const char* const REPLICA_A = "0a000000-0000-4000-8000-00000000000a";
const char* const FAMILY_A = "0f000000-0000-4000-8000-00000000000a";
const char* const REPLICA_B = "0a000000-0000-4000-8000-00000000000b";
const char* const FAMILY_B = "0f000000-0000-4000-8000-00000000000b";
const char* const REPLICA_C = "0a000000-0000-4000-8000-00000000000c";

VOB_mount_info record(const std::string& tag, const char* replica, const char* family,
                      const std::string& storage, int is_public = 0, int is_project = 0) {
    VOB_mount_info info;
    info.vob_tag = tag;
    info.replica_oid = oid(replica);
    info.family_oid = oid(family);
    info.mounted = 1;
    info.is_public = is_public;
    info.is_project_vob = is_project;
    info.storage = storage;
    return info;
}

std::string line(const std::string& tag, const char* replica, const char* family, const char* flags,
                 const std::string& storage) {
    return tag + "=" + replica + "=" + family + "=" + flags + "=" + storage;
}

class LibMountedVobs : public ::testing::Test {
protected:
    void SetUp() override {
        view_test::Installed_View::clear_registry();
        std::remove(file().c_str());
    }
    static OstrelAgent_Config& config() { return *OstrelAgent_Config::get_instance(); }
    static std::string file() { return installed().file(".mounted_vobs"); }
    static std::string file_text() { return lib_test::read_file(file()); }
};

TEST(LibMountedVobsLines, LinesThatDecodeAndLinesThatDoNot) {
    struct Case {
        std::string line;
        bool decodes;
        std::string tag, storage;
        int is_public, is_project;
    };
    const std::string a = std::string(REPLICA_A) + "=" + FAMILY_A;
    const Case cases[] = {
        {"/vobs/a=" + a + "=true=false=host:/store/a.vbs", true, "/vobs/a", "host:/store/a.vbs", 1, 0},
        // The storage path is the rest of the line, "=" and all.
        {"/vobs/a=" + a + "=false=true=/store/x=y=z", true, "/vobs/a", "/store/x=y=z", 0, 1},
        // Blanks, tabs and a CR around fields go.
        {" /vobs/a \t= " + std::string(REPLICA_A) + " = " + FAMILY_A + " =true= false = /s \r", true, "/vobs/a",
         "/s", 1, 0},
        // A flag is set by "true" alone.
        {"/vobs/a=" + a + "=TRUE=yes=/s", true, "/vobs/a", "/s", 0, 0},
        {"/vobs/a=" + a + "=true=false", false, "", "", 0, 0},        // five fields
        {"/vobs/a=" + a + "=true=false=", false, "", "", 0, 0},       // empty storage
        {"/vobs/a=" + a + "=true=false=  ", false, "", "", 0, 0},     // blank storage
        {"=" + a + "=true=false=/s", false, "", "", 0, 0},            // empty tag
        {"/vobs/a=not-an-id=" + std::string(FAMILY_A) + "=true=false=/s", false, "", "", 0, 0},
        {"/vobs/a=" + std::string(REPLICA_A) + "=" + FAMILY_A + "0=true=false=/s", false, "", "", 0, 0},
        {"   ", false, "", "", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::unique_ptr<VOB_mount_info> info = OstrelAgent_Config::decode_mount_info(c.line);
        ASSERT_EQ(info != nullptr, c.decodes);
        if (!info) continue;
        EXPECT_EQ(info->vob_tag, c.tag);
        EXPECT_EQ(info->storage, c.storage);
        EXPECT_EQ(info->is_public, c.is_public);
        EXPECT_EQ(info->is_project_vob, c.is_project);
        EXPECT_EQ(info->mounted, 1);
        const qel_oid_s replica = oid(REPLICA_A);
        const qel_oid_s family = oid(FAMILY_A);
        EXPECT_TRUE(qel_oid_eq(&info->replica_oid, &replica));
        EXPECT_TRUE(qel_oid_eq(&info->family_oid, &family));
        // What is written reads back the same.
        std::unique_ptr<VOB_mount_info> again =
            OstrelAgent_Config::decode_mount_info(OstrelAgent_Config::encode_mount_info(*info));
        ASSERT_TRUE(again);
        EXPECT_EQ(OstrelAgent_Config::encode_mount_info(*again), OstrelAgent_Config::encode_mount_info(*info));
    }
}

TEST_F(LibMountedVobs, EveryChangeRewritesTheWholeFileInTagOrder) {
    ASSERT_EQ(config().set_mount_state(record("/vobs/b", REPLICA_B, FAMILY_B, "/store/b", 1, 1)), 0);
    ASSERT_EQ(config().set_mount_state(record("/vobs/a", REPLICA_A, FAMILY_A, "/store/a=x")), 0);
    const std::string both = line("/vobs/a", REPLICA_A, FAMILY_A, "false=false", "/store/a=x") + "\n" +
                             line("/vobs/b", REPLICA_B, FAMILY_B, "true=true", "/store/b") + "\n";
    EXPECT_EQ(file_text(), both);
    EXPECT_EQ(config().get_mount_state("/vobs/a"), 1);
    qel_uuid_s replica_b;
    ASSERT_EQ(qel_str_to_uuid(REPLICA_B, &replica_b), 0);
    EXPECT_EQ(config().get_mount_info(replica_b).vob_tag, "/vobs/b");

    // What the file could not give back is refused, and nothing changes.
    for (VOB_mount_info bad : {record("/vobs/c=d", REPLICA_C, FAMILY_A, "/s"),
                               record("/vobs/c", REPLICA_C, FAMILY_A, "/s\n/vobs/x=1=2=true=true=/t"),
                               record(" /vobs/c", REPLICA_C, FAMILY_A, "/s")}) {
        EXPECT_EQ(config().set_mount_state(bad), S::MALFORMED_REQUEST) << bad.vob_tag << bad.storage;
        EXPECT_EQ(config().get_mount_state(bad.vob_tag), 0);
    }
    EXPECT_EQ(file_text(), both);

    // A tag recorded again replaces its record, in both maps.
    ASSERT_EQ(config().set_mount_state(record("/vobs/b", REPLICA_C, FAMILY_B, "/store/b2")), 0);
    EXPECT_EQ(config().get_mount_info(replica_b).vob_tag, "");
    qel_uuid_s replica_c;
    ASSERT_EQ(qel_str_to_uuid(REPLICA_C, &replica_c), 0);
    EXPECT_EQ(config().get_mount_info(replica_c).storage, "/store/b2");

    // Unmounting removes; the last one leaves an empty file, and no
    // temporary file stays behind.
    for (const char* tag : {"/vobs/a", "/vobs/b"}) {
        VOB_mount_info gone = config().get_mount_info(std::string(tag));
        gone.mounted = 0;
        ASSERT_EQ(config().set_mount_state(gone), 0);
    }
    EXPECT_TRUE(lib_test::exists(file()));
    EXPECT_EQ(file_text(), "");
    EXPECT_EQ(config().get_mount_info(std::string("/vobs/a")).vob_tag, "");
    for (const std::string& name : lib_test::list_dir(installed().storage))
        EXPECT_EQ(name.find(".mounted_vobs."), std::string::npos) << name;
}

TEST_F(LibMountedVobs, APathBelongsToTheVobOfItsLongestTag) {
    ASSERT_EQ(config().set_mount_state(record("/vobs/a", REPLICA_A, FAMILY_A, "/s/a")), 0);
    ASSERT_EQ(config().set_mount_state(record("/vobs/a/b", REPLICA_B, FAMILY_B, "/s/b")), 0);
    const struct {
        const char* path;
        int status;
        const char* tag;
        const char* rest;
    } cases[] = {
        {"/vobs/a/b/c/d", 0, "/vobs/a/b", "c/d"},
        {"/vobs/a/b", 0, "/vobs/a/b", ""},
        {"/vobs/a/bc", 0, "/vobs/a", "bc"},
        {"/vobs/a/", 0, "/vobs/a", ""},
        {"/vobs/a", 0, "/vobs/a", ""},
        {"/vobs/ab/c", S::VOB_NOT_MOUNTED, "", "/vobs/ab/c"},
        {"/vobs", S::VOB_NOT_MOUNTED, "", "/vobs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string path = c.path;
        VOB_mount_info info;
        EXPECT_EQ(config().get_vob_info_and_path(path, info), c.status);
        EXPECT_EQ(info.vob_tag, c.tag);
        EXPECT_EQ(path, c.rest);
    }
}

TEST_F(LibMountedVobs, TheReplayMountsEveryVobAndReportsTheFirstFailure) {
    const std::string c = line("/vobs/c", REPLICA_C, FAMILY_A, "false=false", "/s/c");
    const std::string a = line("/vobs/a", REPLICA_A, FAMILY_A, "true=false", "/s/a");
    const std::string b = line("/vobs/b", REPLICA_B, FAMILY_B, "false=true", "/s/b");
    // No file: nothing to mount.
    EXPECT_EQ(config().remount_vobs(), 0);
    EXPECT_FALSE(lib_test::exists(file()));

    // Only lines that do not decode (or are empty): nothing is mounted and
    // the file stays as it was.
    lib_test::write_file(file(), "\n/vobs/x=1\n   \n");
    EXPECT_EQ(config().remount_vobs(), S::MOUNTED_VOB_DECODE_FAILED);
    EXPECT_EQ(file_text(), "\n/vobs/x=1\n   \n");

    // The kernel refuses the first mount; every other VOB is still mounted,
    // and the refused one leaves the file with the undecodable line.
    const size_t before = installed().journal().size();
    lib_test::write_file(file(), c + "\n" + "junk\n" + a + "\n\n" + b + "\n");
    installed().inject("mount_vob", 1001);
    EXPECT_EQ(config().remount_vobs(), S::GENERAL_FAILURE);
    const Calls mounts = installed().calls("mount_vob", before);
    ASSERT_EQ(mounts.size(), 3u);
    EXPECT_EQ(mounts[0], (std::vector<std::string>{"mount_vob", "/vobs/c", "/s/c", REPLICA_C, FAMILY_A}));
    EXPECT_EQ(mounts[1][1], "/vobs/a");
    EXPECT_EQ(mounts[2][1], "/vobs/b");
    EXPECT_EQ(file_text(), a + "\n" + b + "\n");
    EXPECT_EQ(config().get_mount_state("/vobs/c"), 0);
    EXPECT_EQ(config().get_mount_info(std::string("/vobs/b")).is_project_vob, 1);

    // A second replay while VOBs are registered reads nothing.
    EXPECT_EQ(config().remount_vobs(), S::VOBS_REGISTERED);
    EXPECT_EQ(installed().calls("mount_vob", before).size(), 3u);

    // VOBs that the kernel has mounted already count as mounted.
    view_test::Installed_View::clear_registry();
    lib_test::write_file(file(), a + "\n" + b + "\n");
    EXPECT_EQ(config().remount_vobs(), 0);
    EXPECT_EQ(config().get_mount_state("/vobs/a"), 1);
    EXPECT_EQ(config().get_mount_state("/vobs/b"), 1);
}

} // namespace
