// The attribute cache: statuses read on a miss and kept on an LRU list
// within their budget, the status the kernel gets (merged with the view's
// cover, extended naming), and the last view update time of a VOB.

#include "lib/ns/ns_test_support.h"

namespace {

using namespace ns_test;

bool operator==(const timeval& a, const timeval& b) { return a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec; }

class NsFstat : public NsTest {
protected:
    obj_entry* alloc(int32_t dbid, vob_mtype_t mtype) {
        qel_oid_s oid = oid_of(static_cast<unsigned>(dbid));
        return obj_alloc(vob(), dbid, &oid, mtype, 0xFFFFFFFFu);
    }
    // The cached object of the scripted object `id`, which an update loaded
    // into the view database.
    obj_entry* alloc_loaded(unsigned id, vob_mtype_t mtype) {
        qel_oid_s oid = oid_of(id);
        return obj_alloc(vob(), load(id), &oid, mtype, 0xFFFFFFFFu);
    }
};

TEST_F(NsFstat, ChangedStatusesMoveTheLastUpdateTimeExceptForDirectoriesAndPrivateObjects) {
    struct Case {
        int32_t dbid;
        vob_mtype_t mtype;
        bool moves;
    };
    const Case cases[] = {
        {10, DIR_VER, false}, {11, DIR_ELEM, false}, {12, SYMLINK, true}, {-0x7ffffff0, PRIVATE, false},
    };
    for (const Case& c : cases) {
        obj_entry* o = alloc(c.dbid, c.mtype);
        qel_fstat_db_s f = file_status(QEL_FTYPE_REG, 0644);
        fstat_cache_update_obj(o, &f);  // a new entry: no change
        timeval before = vob()->lvut;
        f.mode = 0600;
        fstat_cache_update_obj(o, &f);
        EXPECT_EQ(c.moves, !(before == vob()->lvut)) << "mtype " << c.mtype;
        EXPECT_EQ(0600u, o->fep->fstat.mode);
        // Dropping the status moves it likewise, but never for a private object.
        before = vob()->lvut;
        fstat_flush(o);
        EXPECT_EQ(c.mtype != PRIVATE, !(before == vob()->lvut)) << "mtype " << c.mtype;
        obj_free(o);
    }
    EXPECT_EQ(1u, lvut_stats[LVUT_CACHED_UPDATED]);
}

TEST_F(NsFstat, AMissReadsTheMetadataOnceAndAFailureCachesNothing) {
    script(10, FILE_ELEM, 0, 0640);
    obj_entry* a = alloc_loaded(10, FILE_ELEM);
    // An object the view database does not hold, while offline.
    obj_entry* b = alloc(77, FILE_ELEM);
    ASSERT_EQ(0, fstat_get(a));
    ASSERT_EQ(0, fstat_get(a));
    EXPECT_EQ(0640u, a->fep->fstat.mode);
    OstrelAgent_Server::g_online = 0;
    EXPECT_EQ(QEL_ST_NO_MEMORY, fstat_get(b));
    EXPECT_EQ(nullptr, b->fep);
    auto rows = stats();
    EXPECT_EQ(1u, rows[ST_FSTAT_COUNT]);
    EXPECT_EQ(FSTAT_ENTRY_SIZE, rows[ST_FSTAT_SIZE]);
    EXPECT_EQ(3u, rows[21]);  // requests
    EXPECT_EQ(1u, rows[22]);  // hits
    // A flush by oid reads the status again.
    ns_fstat_flush(vob_uuid, oid_of(10));
    ASSERT_NE(nullptr, a->fep);
    EXPECT_EQ(0640u, a->fep->fstat.mode);
    EXPECT_EQ(1u, stats()[ST_FSTAT_COUNT]);
    EXPECT_EQ(1u, stats()[ST_FSTAT_FLUSHES]);
    obj_free(a);
    obj_free(b);
}

TEST_F(NsFstat, WithNoBudgetTheOneEntryIsHandedOn) {
    ASSERT_EQ(0, ns_cache_set_size(0, false));
    script(10, FILE_ELEM);
    script(11, FILE_ELEM);
    obj_entry* a = alloc_loaded(10, FILE_ELEM);
    obj_entry* b = alloc_loaded(11, FILE_ELEM);
    // An empty list has nothing to hand on: a new entry is made.
    ASSERT_EQ(0, fstat_get(a));
    ASSERT_EQ(0, fstat_get(b));
    EXPECT_EQ(nullptr, a->fep);
    ASSERT_NE(nullptr, b->fep);
    EXPECT_EQ(b, b->fep->obj);
    auto rows = stats();
    EXPECT_EQ(1u, rows[ST_FSTAT_COUNT]);
    EXPECT_EQ(1u, rows[ST_FSTAT_EJECTS]);
    obj_free(a);
    obj_free(b);
}

TEST_F(NsFstat, TheKernelSeesTheCoverMergedAndExtendedNamesAsDirectories) {
    script(10, FILE_ELEM, 0, 0644);
    obj_entry* elem = alloc_loaded(10, FILE_ELEM);
    view_vstat out{};
    ASSERT_EQ(0, fstat_vstat(elem, 1, &out));
    EXPECT_EQ(QEL_FTYPE_DIR, out.fstat.type);
    EXPECT_EQ(0755u, out.fstat.mode);
    EXPECT_EQ(FILE_ELEM, out.mtype);
    EXPECT_TRUE(qel_oid_eq(&QEL_OID_NULL, &out.elem_oid));
    const uint32_t own_links = out.fstat.nlink;

    ASSERT_EQ(0, locate_cover_set(elem, static_cast<int32_t>(0x80000100u), 5));
    struct Case {
        qel_fmode_t cover_mode;
        qel_fmode_t seen;
    };
    for (const Case& c : {Case{0xFFFFFFFFu, 0644}, Case{0600, 0600}}) {
        qel_fstat_db_s cover = file_status(QEL_FTYPE_REG, c.cover_mode);
        cover.size = 10;
        cover.mtime = {4000000000u, 1};
        cover.usid = CREDUTL_SID_DONTCARE;
        fstat_cache_update_obj(elem->cover_obj, &cover);
        ASSERT_EQ(0, fstat_vstat(elem, 0, &out));
        EXPECT_EQ(QEL_FTYPE_REG, out.fstat.type);
        EXPECT_EQ(c.seen, out.fstat.mode);
        EXPECT_EQ(own_links + 1, out.fstat.nlink);  // the cover's link added
        EXPECT_EQ(10u, uint64_t{out.fstat.size});
        EXPECT_EQ(4000000000u, out.fstat.mtime.tv_sec);
        EXPECT_FALSE(credutl_sid_eq(&CREDUTL_SID_DONTCARE, &out.fstat.usid));
    }
    obj_free(elem);
}

} // namespace
