// The miss handlers on a served view above the scripted server: a name or a
// VOB root asked of the server once and then answered by the view database
// (a name's directory then listed in the background), what offline and a
// failing server give, get_metadata that never asks the server, the parent
// look-up and cache flush of the update listeners, and the object locks.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/fetch_test_support.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"

namespace {

using namespace fetch_test;
namespace S = OstrelAgent_Status;

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

class MissHandlers : public FetchTest {
protected:
    struct Looked {
        int status = -1;
        unsigned elem = 0, obj = 0;
        ostrel_vstat out{};
    };
    Looked lookup(unsigned dir, const std::string& name, const qel_uuid_s* uuid = nullptr) {
        Looked l;
        l.status = Meta::lookup_obj(uuid != nullptr ? *uuid : vob_uuid, dir, 0, name, l.elem, l.obj, l.out);
        return l;
    }
    static bool mine(const ostrel_vstat& s) {
        return std::memcmp(&s.vstat.fstat.usid, &ostrelagent_my_creds()->user_sid, sizeof s.vstat.fstat.usid) == 0 &&
               std::memcmp(&s.vstat.fstat.gsid, &ostrelagent_my_creds()->group_sid, sizeof s.vstat.fstat.gsid) == 0;
    }
    // The operations log, switched on; it stays where the process first
    // made it, whose directory may have gone with an earlier test.
    void log_on() const {
        OstrelAgent_Log::g_enabled = 1;
        const std::string dir = OstrelAgent_Log::get_instance(storage)->view_dir();
        if (!dir.empty()) std::filesystem::create_directories(dir);
    }
    std::string ops_log() const { return lib_test::read_file(OstrelAgent_Log::get_instance(storage)->log_path()); }
};

TEST_F(MissHandlers, ANameIsFetchedOnceStoredAndItsDirectoryListedInTheBackground) {
    const unsigned root = root_dbid(vob_uuid);
    const size_t flushes = pool()->foreground_queued();
    Looked a = lookup(root, "a.c");
    ASSERT_EQ(0, a.status);
    EXPECT_EQ(static_cast<unsigned>(db_dbid(21)), a.obj);
    EXPECT_EQ(static_cast<unsigned>(db_dbid(20)), a.elem);
    EXPECT_EQ(FILE_VER, a.out.vstat.mtype);
    EXPECT_TRUE(mine(a.out));
    EXPECT_EQ(1u, server.calls(Server::LOOKUP));
    // The directory's listing is queued, and the kernel's entry of the
    // directory goes (the new name's link count changed it).
    EXPECT_EQ(1u, pool()->background_queued());
    EXPECT_EQ(flushes + 1, pool()->foreground_queued());

    // Again: from the view database.
    Looked again = lookup(root, "a.c");
    ASSERT_EQ(0, again.status);
    EXPECT_EQ(a.obj, again.obj);
    EXPECT_EQ(a.elem, again.elem);
    EXPECT_TRUE(mine(again.out));
    EXPECT_EQ(1u, server.calls(Server::LOOKUP));
    // A link: its element is itself.
    Looked ln = lookup(root, "ln");
    ASSERT_EQ(0, ln.status);
    EXPECT_EQ(ln.obj, ln.elem);
    EXPECT_STREQ("a.c", ln.out.link_text);

    // A name the server does not know: not found, and the listing already
    // queued is not queued twice.
    EXPECT_EQ(S::NOT_FOUND, lookup(root, "nope").status);
    EXPECT_EQ(3u, server.calls(Server::LOOKUP));
    EXPECT_EQ(1u, pool()->background_queued());

    // Once the directory is listed, a name it lacks is not asked for.
    pool()->run_all();
    EXPECT_EQ(1u, server.calls(Server::LISTING));
    EXPECT_TRUE(listed(vob_uuid, root));
    EXPECT_EQ(S::NOT_FOUND, lookup(root, "nope").status);
    EXPECT_EQ(3u, server.calls(Server::LOOKUP));

    // The empty name of the name-space root is the VOB's root.
    Looked top = lookup(1, "");
    ASSERT_EQ(0, top.status);
    EXPECT_EQ(root, top.obj);
    EXPECT_EQ(static_cast<unsigned>(db_dbid(10)), top.elem);
    EXPECT_EQ(1u, server.calls(Server::ROOT));
}

TEST_F(MissHandlers, WhatNeitherTheViewDatabaseNorTheServerGivesIsAFailure) {
    const unsigned root = root_dbid(vob_uuid);
    struct Case {
        const char* what;
        std::function<void()> arrange;
        unsigned dir;
        int status;
        unsigned asked;  // questions to the server
    };
    const Case cases[] = {
        {"offline", [] { OstrelAgent_Server::g_online = 0; }, root, S::DISCONNECTED, 0},
        {"call not completed", [&] { server.fail(Server::LOOKUP, S::RPC_INCOMPLETE, QEL_ST_NO_MEMORY, 1); }, root,
         S::RPC_INCOMPLETE, 1},
        {"server failure", [&] { server.fail(Server::LOOKUP, S::RPC_SERVER_FAILURE, QEL_ST_INTERNAL, 1); }, root,
         S::RPC_SERVER_FAILURE, 1},
        {"directory without oid", [] {}, 7777, S::MALFORMED_REQUEST, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OstrelAgent_Server::g_online = 1;
        c.arrange();
        const unsigned before = asked();
        EXPECT_EQ(c.status, lookup(c.dir, "a.c").status);
        EXPECT_EQ(before + c.asked, asked());
    }
    // Nothing was stored: the name is fetched when it can be.
    OstrelAgent_Server::g_online = 1;
    const unsigned before = server.calls(Server::LOOKUP);
    EXPECT_EQ(0, lookup(root, "a.c").status);
    EXPECT_EQ(before + 1, server.calls(Server::LOOKUP));
}

TEST_F(MissHandlers, AVobRootIsFetchedOnceAndStored) {
    unsigned elem = 0, obj = 0;
    ostrel_vstat out{};
    OstrelAgent_Server::g_online = 0;
    EXPECT_EQ(S::DISCONNECTED, Meta::bindroot(vob_uuid, elem, obj, out));
    OstrelAgent_Server::g_online = 1;
    server.fail(Server::ROOT, S::RPC_SERVER_FAILURE, QEL_ST_NOT_FOUND, 1);
    EXPECT_EQ(S::RPC_SERVER_FAILURE, Meta::bindroot(vob_uuid, elem, obj, out));
    ASSERT_EQ(0, Meta::bindroot(vob_uuid, elem, obj, out));
    EXPECT_EQ(static_cast<unsigned>(db_dbid(11)), obj);
    EXPECT_EQ(static_cast<unsigned>(db_dbid(10)), elem);
    EXPECT_EQ(DIR_VER, out.vstat.mtype);
    EXPECT_TRUE(mine(out));
    EXPECT_TRUE(qel_oid_eq(&out.vstat.rmap_oid, &QEL_OID_NULL));
    // Now from the view database, offline too.
    OstrelAgent_Server::g_online = 0;
    unsigned elem2 = 0, obj2 = 0;
    ostrel_vstat again{};
    ASSERT_EQ(0, Meta::bindroot(vob_uuid, elem2, obj2, again));
    EXPECT_EQ(obj, obj2);
    EXPECT_EQ(elem, elem2);
    EXPECT_TRUE(mine(again));
    EXPECT_EQ(2u, server.calls(Server::ROOT));
}

TEST_F(MissHandlers, GetMetadataAnswersFromTheViewDatabaseAlone) {
    log_on();
    const unsigned root = root_dbid(vob_uuid);
    ASSERT_EQ(0, lookup(root, "a.c").status);
    const unsigned before = asked();
    ostrel_vstat out{};
    const unsigned version = static_cast<unsigned>(db_dbid(21)), none = 0;
    ASSERT_EQ(0, Meta::get_metadata(vob_uuid, version, none, out));
    const qel_oid_s oid21 = oid_of(21);
    EXPECT_TRUE(qel_oid_eq(&oid21, &out.vstat.obj_oid));
    EXPECT_TRUE(mine(out));

    // An object the view database lacks: offline 20033, online 20031 with
    // a line in the operations log when its ids are known, 20021 when not.
    const std::string logged = ops_log();
    const unsigned missing = 7777, name_space_root = 1;
    OstrelAgent_Server::g_online = 0;
    EXPECT_EQ(S::DISCONNECTED, Meta::get_metadata(vob_uuid, missing, none, out));
    OstrelAgent_Server::g_online = 1;
    EXPECT_EQ(S::MALFORMED_REQUEST, Meta::get_metadata(vob_uuid, missing, none, out));
    EXPECT_EQ(logged, ops_log());
    EXPECT_EQ(S::INTERNAL_ERROR, Meta::get_metadata(vob_uuid, name_space_root, none, out));
    const std::string line = "Unable to find VOB " + OstrelAgent_Util::id_text(vob_uuid) + " obj 1 elem 0 in database\n";
    EXPECT_NE(std::string::npos, ops_log().find(line, logged.size())) << ops_log();
    EXPECT_EQ(before, asked());
    OstrelAgent_Log::g_enabled = 0;
}

TEST_F(MissHandlers, TheParentOfAnUpdateEntryIsTheVersionTheViewSelects) {
    const unsigned root = root_dbid(vob_uuid);
    ASSERT_EQ(0, lookup(root, "d").status);
    ASSERT_EQ(0, lookup(root, "a.c").status);
    unsigned elem = 0, ver = 0;
    std::string msg;
    ASSERT_EQ(0, Meta::lookup_parent_dir(vob_uuid, oid_of(30), "d/x", elem, ver, msg));
    EXPECT_EQ(static_cast<unsigned>(db_dbid(30)), elem);
    EXPECT_EQ(static_cast<unsigned>(db_dbid(31)), ver);
    EXPECT_EQ("", msg);

    // An element the view database lacks, a file element, and a directory
    // element without a loaded version.
    script(90, DIR_ELEM);
    load(90);
    struct Case {
        qel_oid_s oid;
        std::string message;
    };
    const Case cases[] = {
        {oid_of(99), "Unknown object OID \"" + OstrelAgent_Util::id_text(oid_of(99)) + "\" (VOB \"" +
                         OstrelAgent_Util::id_text(vob_uuid) + "\")\n"},
        {oid_of(20), ""},
        {oid_of(90), "Unable to find parent version for \"d/x\" (parent element oid " +
                         OstrelAgent_Util::id_text(oid_of(90)) + "): "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        msg.clear();
        EXPECT_EQ(S::INTERNAL_ERROR, Meta::lookup_parent_dir(vob_uuid, c.oid, "d/x", elem, ver, msg));
        if (c.message.empty()) {
            EXPECT_EQ("", msg);
        } else {
            EXPECT_EQ(0u, msg.find(c.message)) << msg;
        }
    }
}

TEST_F(MissHandlers, FlushCacheTellsTheNamespaceAndTheKernelAndReportsEachFailure) {
    OstrelAgent_KORVA_Ioctl ioctl(OstrelAgent_View_Handler::get_view());
    const std::string vob_text = OstrelAgent_Util::id_text(vob_uuid);
    std::string msg;
    size_t seen = invalidations().size();
    ASSERT_EQ(0, Meta::flush_cache(vob_uuid, oid_of(21), oid_of(11), "a.c", "a.c", &ioctl, msg));
    std::vector<std::vector<std::string>> told = invalidations();
    ASSERT_EQ(seen + 2, told.size());
    EXPECT_EQ((std::vector<std::string>{"inval_obj", vob_text, OstrelAgent_Util::id_text(oid_of(21)), "13"}),
              told[seen]);
    EXPECT_EQ((std::vector<std::string>{"inval_name", vob_text, OstrelAgent_Util::id_text(oid_of(11)), "a.c"}),
              told[seen + 1]);
    EXPECT_EQ("", msg);

    seen = told.size();
    EXPECT_EQ(0, Meta::flush_cache(vob_uuid, QEL_OID_NULL, oid_of(11), "x", "", &ioctl, msg));
    EXPECT_EQ(seen, invalidations().size());

    // The name's failure decides; each failure has its line.
    ASSERT_EQ(0, kernel().injector().add("inval_name", std::to_string(QEL_ST_NOT_FOUND)));
    ASSERT_EQ(0, kernel().injector().add("inval_obj", std::to_string(QEL_ST_INTERNAL)));
    EXPECT_EQ(S::NOT_FOUND, Meta::flush_cache(vob_uuid, oid_of(21), oid_of(11), "a.c", "a.c", &ioctl, msg));
    EXPECT_EQ(2u, count_of(msg, "Unable to flush cached entry for \"a.c\": ")) << msg;
    msg.clear();
    EXPECT_EQ(S::GENERAL_FAILURE, Meta::flush_cache(vob_uuid, oid_of(21), oid_of(11), "a.c", "", nullptr, msg));
    EXPECT_EQ(1u, count_of(msg, "Unable to flush cached entry for \"a.c\": ")) << msg;
}

TEST(ObjectLocks, OidsOfOneHashModuloTheTableShareALock) {
    using Meta = OstrelAgent_Metadata;
    const qel_oid_s first = db_test::oid_of(1);
    const unsigned slot = qel_oid_to_hash32(&first) % Meta::OID_LOCK_COUNT;
    qel_oid_s same{}, other{};
    bool found_same = false, found_other = false;
    for (unsigned n = 2; !(found_same && found_other) && n < 1000000; ++n) {
        qel_oid_s oid = db_test::oid_of(n);
        const bool shares = qel_oid_to_hash32(&oid) % Meta::OID_LOCK_COUNT == slot;
        if (shares && !found_same) same = oid, found_same = true;
        if (!shares && !found_other) other = oid, found_other = true;
    }
    ASSERT_TRUE(found_same && found_other);
    EXPECT_EQ(Meta::oid_lock(first), Meta::oid_lock(same));
    EXPECT_NE(Meta::oid_lock(first), Meta::oid_lock(other));
}

} // namespace
