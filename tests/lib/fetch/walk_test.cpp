// The path walk through the namespace cache: VOB tags, names, symbolic links
// followed or read, "." and "..", a ".." that leaves a VOB for the directory
// that holds its tag, and the walks that stop short, each with its status,
// message and canonical path.

#include <string>

#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/fetch_test_support.h"

namespace {

using namespace fetch_test;
namespace S = OstrelAgent_Status;

class Walk : public FetchTest {};

TEST_F(Walk, PathsResolveToTheirObjectsWithCanonicalPaths) {
    struct Case {
        const char* path;
        bool follow;
        int status;
        unsigned oid;       // the object's (0: not checked)
        bool other_vob;     // it lies in /vobs/b
        const char* canonical;
        bool vob_root;
    };
    const Case cases[] = {
        {"/vobs/a", false, 0, 11, false, "/", true},
        {"/vobs/a/", false, 0, 11, false, "/", true},
        {"/vobs/a/d/g.c", false, 0, 41, false, "/d/g.c", false},
        {"/vobs/a/./d//e/f", false, 0, 71, false, "/d/e/f", false},
        {"/vobs/a/ln", true, 0, 21, false, "/a.c", false},
        {"/vobs/a/d/up", true, 0, 21, false, "/a.c", false},
        {"/vobs/a/d/toe/f", false, 0, 71, false, "/d/e/f", false},
        {"/vobs/a/d/e/../g.c", false, 0, 41, false, "/d/g.c", false},
        {"/vobs/a/d/./../a.c", false, 0, 21, false, "/a.c", false},
        {"/vobs/a/d/e/..", false, 0, 31, false, "/d", false},
        {"/vobs/a/d/..", false, 0, 11, false, "/", true},
        // A ".." at a VOB root goes on beside the VOB's tag.
        {"/vobs/a/../b/x.c", false, 0, 111, true, "/x.c", false},
        {"/vobs/a/d/../../b", false, 0, 101, true, "/", true},
        {"/vobs/a/../../vobs/b/x.c", false, 0, 111, true, "/x.c", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Meta walk(c.path, c.path, c.follow);
        ASSERT_EQ(c.status, walk.run()) << walk.get_message();
        ostrel_vstat found{};
        ASSERT_EQ(0, walk.get_ostrel_vstat(&found));
        const qel_oid_s expected = oid_of(c.oid);
        EXPECT_TRUE(qel_oid_eq(&found.vstat.obj_oid, &expected)) << OstrelAgent_Util::id_text(found.vstat.obj_oid);
        EXPECT_TRUE(qel_uuid_eq(&walk.get_vob_uuid(), c.other_vob ? &other_uuid : &vob_uuid));
        EXPECT_EQ(c.other_vob ? "/vobs/b" : "/vobs/a", walk.get_vob_tag());
        EXPECT_EQ(c.canonical, walk.get_canonical_path());
        EXPECT_EQ(c.vob_root, walk.is_vob_root());
        EXPECT_EQ("", walk.get_message());
        // The statuses handed out carry the agent's own owner.
        EXPECT_EQ(0, std::memcmp(&found.vstat.fstat.usid, &ostrelagent_my_creds()->user_sid,
                                 sizeof found.vstat.fstat.usid));
    }
}

TEST_F(Walk, TheParentHandleIsTheDirectoryThatHoldsTheObject) {
    struct Case {
        const char* path;
        unsigned parent;  // script number of the parent directory version
    };
    for (const Case& c : {Case{"/vobs/a/d/g.c", 31}, Case{"/vobs/a/d/e/..", 11}, Case{"/vobs/a/d/..", 11},
                          Case{"/vobs/a/d/up", 11}}) {
        SCOPED_TRACE(c.path);
        Meta walk(c.path, c.path, true);
        ASSERT_EQ(0, walk.run()) << walk.get_message();
        EXPECT_EQ(static_cast<uint32_t>(db_dbid(c.parent)), walk.get_parent_fhandle().dbid);
        EXPECT_TRUE(qel_uuid_eq(&vob_uuid, &walk.get_parent_fhandle().vob_uuid));
    }
}

TEST_F(Walk, AFinalLinkIsReadUnlessFollowed) {
    Meta read("/vobs/a/d/up", "/vobs/a/d/up", false);
    ASSERT_EQ(0, read.run()) << read.get_message();
    ostrel_vstat link{};
    ASSERT_EQ(0, read.get_ostrel_vstat(&link));
    EXPECT_STREQ("../a.c", link.link_text);
    EXPECT_EQ(QEL_FTYPE_LNK, link.vstat.fstat.type);
    EXPECT_EQ("/d/up", read.get_canonical_path());
    view_vstat plain{};
    ASSERT_EQ(0, read.get_vstat(&plain));
    EXPECT_EQ(0, std::memcmp(&plain, &link.vstat, sizeof plain));
    EXPECT_EQ(S::GENERAL_FAILURE, read.get_vstat(nullptr));
    EXPECT_EQ(S::GENERAL_FAILURE, read.get_ostrel_vstat(nullptr));
}

TEST_F(Walk, WalksThatStopShortSayWhereAndWhy) {
    struct Case {
        const char* path;
        int status;
        bool incomplete;
        const char* message;
    };
    const Case cases[] = {
        {"/vobs/c/x", S::VOB_NOT_MOUNTED, false,
         "No known mounted VOB found in \"/vobs/c/x\" (original pathname \"/vobs/c/x\")\n"},
        // Beside "/vobs/a" lies no VOB tagged "/vobs".
        {"/vobs/a/..", S::VOB_NOT_MOUNTED, false, "No known mounted VOB found in \"/vobs\""},
        {"/vobs/a/d/nope", S::NOT_FOUND, false, "Lookup of \"d/nope\" incomplete; could not look up \"nope\"\n"},
        {"/vobs/a/nope/more", S::NOT_FOUND, true, "could not look up \"nope/more\"\n"},
        // A link's text is followed by "/" and the rest: still one name.
        {"/vobs/a/d/dangling", S::NOT_FOUND, false, "Lookup of \"nope/\" incomplete; could not look up \"nope/\"\n"},
        {"/vobs/a/a.c/x", S::METADATA_WALK_FAILED, true, "could not look up \"x\"\n"},
        {"/vobs/a/d/loop", S::GENERAL_FAILURE, false, "Cannot look up object \"loop/\" in VOB \"/vobs/a\": "},
        {"/vobs/a/d/abs", S::GENERAL_FAILURE, false, "Absolute symlinks unsupported: /vobs/a/d/abs -> /vobs/a/a.c\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Meta walk(c.path, c.path, true);
        EXPECT_EQ(c.status, walk.run());
        EXPECT_EQ(c.status, walk.get_status());
        EXPECT_EQ(c.incomplete, walk.is_incomplete());
        EXPECT_NE(std::string::npos, walk.get_message().find(c.message)) << walk.get_message();
    }
}

TEST_F(Walk, AVobRootThatCannotBeHadFailsTheWalk) {
    OstrelAgent_Server::g_online = 0;
    Meta walk("/vobs/a/a.c", "/vobs/a/a.c", false);
    EXPECT_EQ(S::GENERAL_FAILURE, walk.run());
    EXPECT_EQ(0u, walk.get_message().find("Cannot resolve VOB root \"/vobs/a\" for \"a.c\": ")) << walk.get_message();
}

} // namespace
