// The object cache: its budget and statistics, the clock that reclaims
// unreferenced entries, the reference counts that keep entries, and the
// access checks on cached objects.

#include <unistd.h>

#include <set>

#include "lib/ns/ns_event_stats.h"
#include "lib/ns/ns_locate.h"
#include "lib/ns/ns_lookup.h"
#include "lib/ns/ns_test_support.h"

namespace {

using namespace ns_test;

class NsCache : public NsTest {
protected:
    // A symbolic link of the VOB (an object of its own, without element),
    // entered straight into the object cache.
    obj_entry* alloc(int32_t dbid) {
        qel_oid_s oid = oid_of(static_cast<unsigned>(dbid));
        return obj_alloc(vob(), dbid, &oid, SYMLINK, 0xFFFFFFFFu);
    }
    std::set<int32_t> cached(std::initializer_list<int32_t> dbids) {
        std::set<int32_t> out;
        for (int32_t d : dbids)
            if (obj_find_dbid(vob(), d) != nullptr) out.insert(d);
        return out;
    }
};

TEST_F(NsCache, BudgetsFollowTheConfiguredSize) {
    struct Case {
        const char* what;
        unsigned size;
        bool raise;
        int status;
        uint32_t name, dir, fstat, obj, whole;
    };
    const Case cases[] = {
        {"8 MiB", 8388608, false, 0, 616272, 3355443, 1848816, 2567800, 8388608},
        {"below the floor, raised", 100, true, 0, 308112, 1677721, 924336, 1283800, 4194304},
        {"below the floor, refused", 4194303, false, QEL_ST_INVALID, 308112, 1677721, 924336, 1283800, 4194304},
        {"zero", 0, false, 0, 0, 0, 0, 0, 0},
    };
    // At view start an unset size is raised to 4 MiB.
    auto rows = stats();
    EXPECT_EQ(308112u, rows[2]);
    EXPECT_EQ(1677721u, rows[11]);
    EXPECT_EQ(924336u, rows[18]);
    EXPECT_EQ(1283800u, rows[25]);
    EXPECT_EQ(4194304u, rows[40]);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.status != 0) {
            ASSERT_EQ(0, ns_cache_set_size(NS_CACHE_MIN_SIZE, false));
        }
        EXPECT_EQ(c.status, ns_cache_set_size(c.size, c.raise));
        rows = stats();
        EXPECT_EQ(c.name, rows[2]);
        EXPECT_EQ(c.dir, rows[11]);
        EXPECT_EQ(c.fstat, rows[18]);
        EXPECT_EQ(c.obj, rows[25]);
        EXPECT_EQ(c.whole, rows[40]);
    }
}

TEST_F(NsCache, SetValuesStopsAtTheFirstRefusedSize) {
    const unsigned pairs[][2] = {{7, 1}, {0, 8388608}, {0, 4194303}, {0, 16777216}};
    EXPECT_EQ(QEL_ST_INVALID, cache_set_values(4, pairs));
    EXPECT_EQ(8388608u, stats()[40]);
}

TEST_F(NsCache, StatisticsAreFortyOneNumberedRows) {
    std::vector<ns_statistic> rows = {{99, 99}};
    ASSERT_EQ(0, ns_cache_get_stats(rows));
    ASSERT_EQ(42u, rows.size());
    for (uint32_t i = 0; i < 41; ++i) EXPECT_EQ(i, rows[i + 1].number);
}

TEST_F(NsCache, LookupsReferencesAndFlushesAreCounted) {
    auto before = stats();
    obj_entry* a = alloc(10);
    EXPECT_EQ(1u, a->ref_cnt);
    obj_free(a);
    EXPECT_EQ(nullptr, obj_get(vob(), 11));
    obj_entry* again = obj_get(vob(), 10);  // a hit that takes an unreferenced entry back
    ASSERT_EQ(a, again);
    obj_inc_ref(again);  // already referenced: no reclaim
    obj_free(again);
    obj_free(again);
    obj_flush(again);
    auto after = stats();
    EXPECT_EQ(2u, after[ST_OBJ_REQUESTS] - before[ST_OBJ_REQUESTS]);
    EXPECT_EQ(1u, after[ST_OBJ_HITS] - before[ST_OBJ_HITS]);
    EXPECT_EQ(1u, after[ST_OBJ_RECLAIMS] - before[ST_OBJ_RECLAIMS]);
    EXPECT_EQ(1u, after[ST_OBJ_FLUSHES] - before[ST_OBJ_FLUSHES]);
    EXPECT_EQ(0u, after[ST_OBJ_COUNT]);
    EXPECT_EQ(0u, after[ST_OBJ_SIZE]);
    // The "since last" rows start again at each print.
    EXPECT_EQ(after[28], after[26]);
    cache_print_stats();
    EXPECT_EQ(0u, stats()[26]);
}

// Each event's row counts the event and what its flushes dropped; the
// table is printed, and then cleared, only at verbosity 1 for "view".
TEST_F(NsCache, VobEventFlushesArePrintedByOperationAndKind) {
    const qel_oid_s oid12 = oid_of(12);
    for (int32_t d : {10, 11, 12, 13}) obj_free(alloc(d));
    {
        Ns_Vob_Event event(4, 2, "rmname", "dir changed");
        locate_event_flush(vob(), 10);
        lookup_event_flush_dir(vob(), 11, 0);
    }
    {
        Ns_Vob_Event again(4, 2);
        locate_event_flush(vob(), 99);  // not cached: nothing flushed
    }
    {
        Ns_Vob_Event unnamed(134, 9);
        locate_event_flush_oid(vob(), &oid12);
        Ns_Vob_Event beyond(135, 0);  // no row: counts nothing, also for the event around it
        locate_event_flush(vob(), 13);
    }
    locate_event_flush(vob(), 11);  // no event
    const std::string rows = "      rmname:dir changed:\t2: obj: 1 fstat: 1 lookup: 1 rddir: 1\n"
                             "      unknown op:unknown evtype:\t1: obj: 1 fstat: 0 lookup: 0 rddir: 0\n";
    auto printed = [] {
        testing::internal::CaptureStderr();
        cache_print_stats();
        std::string out = testing::internal::GetCapturedStderr();
        return out.substr(0, out.find("LVUT statistics:"));
    };
    EXPECT_EQ("", printed());  // quiet: kept for a later print
    imsg_set_trace_subsys("view");
    imsg_set_trace_verbosity(1);
    EXPECT_EQ("    VOB event flushes:\n" + rows, printed());
    EXPECT_EQ("    VOB event flushes:\n", printed());
    imsg_set_trace_subsys(nullptr);
    imsg_set_trace_verbosity(0);
}

TEST_F(NsCache, TheClockSparesAnEntryUsedWithinItsTurn) {
    for (int32_t d : {1, 2, 3}) obj_free(alloc(d));
    // The first turn clears every clock bit, the second takes the first
    // entry it meets.
    obj_flush_lru();
    EXPECT_EQ((std::set<int32_t>{2, 3}), cached({1, 2, 3}));
    obj_free(obj_get(vob(), 3));
    obj_flush_lru();
    EXPECT_EQ((std::set<int32_t>{3}), cached({1, 2, 3}));
    obj_flush_lru();
    EXPECT_EQ(std::set<int32_t>{}, cached({1, 2, 3}));
    EXPECT_EQ(3u, stats()[ST_OBJ_EJECTS]);
}

TEST_F(NsCache, ReferencedEntriesAreNeverReclaimed) {
    ASSERT_EQ(0, ns_cache_set_size(0, false));
    std::vector<obj_entry*> held;
    for (int32_t d = 1; d <= 5; ++d) held.push_back(alloc(d));
    // Nothing can be taken: the cache grows past its budget.
    obj_entry* extra = alloc(6);
    EXPECT_EQ(6u, stats()[ST_OBJ_COUNT]);
    obj_free(held[2]);
    obj_free(extra);
    obj_free(alloc(7));
    EXPECT_EQ((std::set<int32_t>{1, 2, 4, 5, 7}), cached({1, 2, 3, 4, 5, 6, 7}));
    for (obj_entry* o : {held[0], held[1], held[3], held[4]}) obj_free(o);
}

TEST_F(NsCache, AFullCacheAtTheFloorReclaimsOnlyUnreferencedEntries) {
    const int32_t max_entries = static_cast<int32_t>(obj_cache_max / OBJ_ENTRY_SIZE);
    std::vector<obj_entry*> held;
    for (int32_t d = 1; d <= max_entries + 1; ++d) {
        obj_entry* o = alloc(d);
        if (d % 100 == 0) {
            held.push_back(o);
        } else {
            obj_free(o);
        }
    }
    EXPECT_EQ(0u, stats()[ST_OBJ_EJECTS]);
    obj_free(alloc(max_entries + 2));
    auto rows = stats();
    EXPECT_GT(rows[ST_OBJ_EJECTS], 0u);
    EXPECT_LE(rows[ST_OBJ_SIZE], obj_cache_max + OBJ_ENTRY_SIZE);
    for (obj_entry* o : held) {
        EXPECT_EQ(o, obj_find_dbid(vob(), o->dbid));
        obj_free(o);
    }
}

TEST_F(NsCache, AReferenceCountAbove16BitsKeepsTheEntry) {
    ASSERT_EQ(0, ns_cache_set_size(0, false));
    obj_entry* busy = alloc(1);
    for (int i = 0; i < 65535; ++i) obj_inc_ref(busy);
    obj_free(alloc(2));
    obj_free(alloc(3));
    EXPECT_EQ(busy, obj_find_dbid(vob(), 1));
    EXPECT_EQ(65536u, busy->ref_cnt);
    for (int i = 0; i < 65536; ++i) obj_free(busy);
}

TEST_F(NsCache, LookupByOidSeparatesCoversFromObjects) {
    qel_oid_s oid = oid_of(40);
    obj_entry* object = obj_alloc(vob(), 40, &oid, SYMLINK, 0xFFFFFFFFu);
    obj_entry* cover = obj_alloc(vob(), static_cast<int32_t>(0x80000040u), &oid, SYMLINK, 7);
    EXPECT_EQ(CACHE_COVER_OBJ, cover->otype);
    obj_entry* found = obj_get_by_oid(vob(), &oid, 0);
    EXPECT_EQ(object, found);
    obj_free(found);
    found = obj_get_by_oid(vob(), &oid, 1);
    EXPECT_EQ(cover, found);
    obj_free(found);
    obj_free(object);
    obj_free(cover);
}

TEST_F(NsCache, AReleaseOfAnUnreferencedEntryStopsTheProcess) {
    obj_entry* o = alloc(1);
    obj_free(o);
    EXPECT_DEATH(obj_free(o), "obj->ref_cnt != 0");
}

TEST_F(NsCache, AccessFollowsTheOwnerBits) {
    struct Case {
        uint32_t type;
        qel_fmode_t mode;
        acl_check_mode_t want;
        int dir_required;
        int status;
    };
    const Case cases[] = {
        {QEL_FTYPE_REG, 0, ACL_WRITE, 0, 0},  // a regular file passes every mode
        {QEL_FTYPE_REG, 0, ACL_NONE, 0, 0},
        {QEL_FTYPE_DIR, 0500, ACL_SEARCH, 1, 0},
        {QEL_FTYPE_DIR, 0400, ACL_SEARCH, 1, QEL_ST_NOT_PERMITTED},
        {QEL_FTYPE_DIR, 0200, ACL_DIR_ADD, 1, 0},
        {QEL_FTYPE_DIR, 0577, ACL_DIR_RM, 1, QEL_ST_NOT_PERMITTED},
        {QEL_FTYPE_LNK, 0400, ACL_READ, 0, 0},
        {QEL_FTYPE_LNK, 0377, ACL_READ, 0, QEL_ST_NOT_PERMITTED},
        {QEL_FTYPE_LNK, 0777, ACL_READ_ACLS, 0, QEL_ST_NOT_PERMITTED},
        {QEL_FTYPE_LNK, 0777, ACL_EXECUTE, 1, QEL_ST_NOT_DIRECTORY},
    };
    obj_entry* o = alloc(1);
    for (const Case& c : cases) {
        qel_fstat_db_s f = file_status(c.type, c.mode);
        fstat_cache_update_obj(o, &f);
        view_vstat vstat{};
        unsigned word = 99;
        EXPECT_EQ(c.status, acl_check_ext(o, 0, &vstat, &word, c.want, c.dir_required))
            << "type " << c.type << " mode " << std::oct << c.mode << std::dec << " want " << c.want;
        EXPECT_EQ(0u, word);
    }
    obj_free(o);
}

TEST_F(NsCache, SetAttributeChecksCompleteANewObjectAndGuardAnExistingOne) {
    const credutl_sid_credentials_t* mine = ostrelagent_my_creds();
    view_set_attr fresh{};
    EXPECT_EQ(0, acl_check_attr(nullptr, &fresh));
    EXPECT_EQ(VIEW_ATTR_OWNER | VIEW_ATTR_GROUP, fresh.mask);
    EXPECT_TRUE(credutl_sid_eq(&mine->user_sid, &fresh.owner));
    EXPECT_TRUE(credutl_sid_eq(&mine->group_sid, &fresh.group));

    view_set_attr foreign{};
    foreign.mask = VIEW_ATTR_GROUP;
    credutl_gid_to_sid(static_cast<gid_t>(4000123), &foreign.group);
    EXPECT_EQ(QEL_ST_ACCESS_DENIED, acl_check_attr(nullptr, &foreign));

    struct Case {
        uint32_t type;
        qel_fmode_t mode;
        unsigned mask;
        int status;
    };
    const Case cases[] = {
        {QEL_FTYPE_DIR, 0500, VIEW_ATTR_SIZE, QEL_ST_NOT_PERMITTED},
        {QEL_FTYPE_DIR, 0200, VIEW_ATTR_SIZE, 0},
        {QEL_FTYPE_REG, 0, 0x200, 0},
        {QEL_FTYPE_DIR, 0100, 0x100, QEL_ST_NOT_PERMITTED},
        {QEL_FTYPE_DIR, 0400, VIEW_ATTR_MODE_TOP, 0},
        {QEL_FTYPE_DIR, 0, 0x2, 0},
    };
    for (const Case& c : cases) {
        qel_fstat_db_s current = file_status(c.type, c.mode);
        view_set_attr request{};
        request.mask = c.mask;
        EXPECT_EQ(c.status, acl_check_attr(&current, &request)) << std::hex << c.mask;
    }
}

// The owner of an object may always change its mode and set its times, as
// on a local file system, whatever the mode says; another caller still
// needs the owner's bits, and a size change stays the writer's.
TEST_F(NsCache, TheOwnerMayAlwaysChangeItsObjectsModeAndTimes) {
    const uid_t owner = 4242, other = 4243;
    struct Case {
        qel_fmode_t mode;
        unsigned mask;
        int owner_status;
        int other_status;
    };
    const unsigned mode_change = 0x2 | VIEW_ATTR_MODE_TOP;
    const Case cases[] = {
        {0000, mode_change, 0, QEL_ST_NOT_PERMITTED},
        {0060, mode_change, 0, QEL_ST_NOT_PERMITTED},
        {0100, mode_change, 0, QEL_ST_NOT_PERMITTED},
        {0400, mode_change, 0, 0},
        {0000, 0x100 | 0x200, 0, QEL_ST_NOT_PERMITTED},
        {0500, 0x200, 0, QEL_ST_NOT_PERMITTED},
        {0500, 0x100, 0, 0},
        {0700, 0x100 | 0x200, 0, 0},
        {0500, VIEW_ATTR_SIZE, QEL_ST_NOT_PERMITTED, QEL_ST_NOT_PERMITTED},
        {0500, VIEW_ATTR_SIZE | 0x200, QEL_ST_NOT_PERMITTED, QEL_ST_NOT_PERMITTED},
    };
    for (const Case& c : cases) {
        qel_fstat_db_s current = file_status(QEL_FTYPE_DIR, c.mode);
        credutl_uid_to_sid(owner, &current.usid);
        for (uid_t caller : {owner, other}) {
            Ns_Caller_Scope scope(Ns_Caller{::getpid(), caller, 4000123});
            view_set_attr request{};
            request.mask = c.mask;
            EXPECT_EQ(caller == owner ? c.owner_status : c.other_status, acl_check_attr(&current, &request))
                << "mode " << std::oct << c.mode << " mask " << std::hex << c.mask << std::dec << " caller "
                << caller;
        }
    }
}

// Within a kernel request the caller's credentials count: the superuser
// passes every check, as on a local file system; another caller may give
// an object its own groups alone. Outside, the agent's own count.
TEST_F(NsCache, AKernelRequestsCallerTakesTheChecks) {
    obj_entry* o = alloc(1);
    qel_fstat_db_s f = file_status(QEL_FTYPE_DIR, 0);
    fstat_cache_update_obj(o, &f);
    view_vstat vstat{};
    const qel_fstat_db_s current = file_status(QEL_FTYPE_DIR, 0);
    auto group_change = [&](gid_t gid) {
        view_set_attr request{};
        request.mask = VIEW_ATTR_GROUP;
        credutl_gid_to_sid(gid, &request.group);
        return acl_check_attr(&current, &request);
    };
    view_set_attr times{};
    times.mask = VIEW_ATTR_SIZE | 0x100 | 0x200 | VIEW_ATTR_MODE_TOP;
    const acl_check_mode_t modes[] = {ACL_SEARCH, ACL_DIR_ADD, ACL_DIR_RM, ACL_READ, ACL_WRITE};
    {
        Ns_Caller_Scope root(Ns_Caller{::getpid(), 0, 0});
        EXPECT_TRUE(ns_caller_is_root());
        for (acl_check_mode_t mode : modes) EXPECT_EQ(0, acl_check(o, 0, &vstat, mode, 1)) << mode;
        EXPECT_EQ(0, group_change(4000123));
        EXPECT_EQ(0, acl_check_attr(&current, &times));
    }
    {
        Ns_Caller_Scope user(Ns_Caller{::getpid(), 4242, 4000123});
        EXPECT_FALSE(ns_caller_is_root());
        for (acl_check_mode_t mode : modes)
            EXPECT_EQ(QEL_ST_NOT_PERMITTED, acl_check(o, 0, &vstat, mode, 1)) << mode;
        EXPECT_EQ(0, group_change(4000123)) << "its own group";
        EXPECT_EQ(QEL_ST_ACCESS_DENIED, group_change(4000124));
        EXPECT_EQ(QEL_ST_NOT_PERMITTED, acl_check_attr(&current, &times));
        // The groups of the process the request was made for count too.
        gid_t groups[64];
        int n = ::getgroups(64, groups);
        for (int i = 0; i < n; ++i) EXPECT_EQ(0, group_change(groups[i])) << groups[i];
    }
    EXPECT_FALSE(ns_caller_is_root());
    EXPECT_EQ(QEL_ST_NOT_PERMITTED, acl_check(o, 0, &vstat, ACL_DIR_ADD, 1));
    obj_free(o);
}

} // namespace
