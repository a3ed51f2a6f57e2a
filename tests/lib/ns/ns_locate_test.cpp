// Object location and handles: VOB objects entered from their metadata,
// view records from the view database, covers paired with what they cover,
// handles made, validated and revalidated with their stamps, and the
// kernel's invalidations flushing exactly what they name.

#include "lib/ns/ns_test_support.h"
#include "lib/ns/ostrelagent_view_db_version.h"

namespace {

using namespace ns_test;

constexpr uint32_t ANY_STAMP = 0xFFFFFFFFu;

class NsLocate : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        imsg_set_trace_subsys("view");
        imsg_set_trace_verbosity(1);
        script(10, FILE_ELEM);
        script(11, FILE_VER, 10);
        script(13, SYMLINK);
        // As an update would have loaded them.
        elem_ = load(10);
        ver_ = load(11);
        link_ = load(13);
    }
    void TearDown() override {
        imsg_set_trace_subsys(nullptr);
        imsg_set_trace_verbosity(0);
        NsTest::TearDown();
    }

    obj_entry* must_locate(int32_t dbid) {
        int status = -1;
        obj_entry* o = locate(dbid, &status);
        EXPECT_EQ(0, status) << "dbid " << dbid;
        return o;
    }
    bool is_cached(view_vob* v, int32_t dbid) { return obj_find_dbid(v, dbid) != nullptr; }
    // A view-private file of the view database and its generation word.
    int32_t make_private(unsigned n, vob_mtype_t mtype, uint32_t* gen) {
        return static_cast<int32_t>(make_inode(oid_of(n), mtype, QEL_FTYPE_REG, gen, 0640));
    }
    // An object of a kind the view database does not keep (an attached
    // object of element 10) never comes from content fetch: it is entered
    // as its metadata would enter it.
    obj_entry* enter_attached() {
        qel_oid_s oid = oid_of(ATTACHED_ID);
        qel_fstat_db_s f = file_status(QEL_FTYPE_REG, 0644);
        int status = -1;
        obj_entry* o = activate_vob_obj(vob(), attached_, &oid, ATTACHED, elem_, &f, 0, &status);
        EXPECT_EQ(0, status);
        return o;
    }
    static constexpr int32_t ATTACHED_ID = 812;
    int32_t elem_ = 0, ver_ = 0, link_ = 0;
    const int32_t attached_ = ATTACHED_ID;

    // How the view database answers a look-up of `name` in the directory
    // version `dir`.
    int name_in_view_db(unsigned dir, const std::string& name) {
        OstrelAgent_View_db_version version(dir, vob_uuid, vob_dbid);
        unsigned dbid = 0;
        vob_mtype_t mtype = 0;
        return version.lookup(name, dbid, mtype);
    }
    view_fhandle private_handle(uint32_t* gen, int32_t* dbid) {
        *dbid = make_private(500, PRIVATE, gen);
        obj_entry* o = must_locate(*dbid);
        view_fhandle fh{};
        makehandle(o, 0, &fh);
        obj_free(o);
        return fh;
    }
};

TEST_F(NsLocate, AVersionEntersItsElementOnceAndGoesWithIt) {
    obj_entry* ver = must_locate(ver_);
    ASSERT_NE(nullptr, ver);
    EXPECT_EQ(CACHE_VER_OBJ, ver->otype);
    obj_entry* elem = ver->attach;
    ASSERT_NE(nullptr, elem);
    EXPECT_EQ(elem_, elem->dbid);
    EXPECT_EQ(elem, obj_2elem(ver));
    EXPECT_EQ(1u, elem->ref_cnt);  // the version's
    EXPECT_EQ(OBJ_F_FROM_VOB, ver->flags & OBJ_F_FROM_VOB);
    ASSERT_NE(nullptr, ver->fep);  // the metadata's status is cached
    EXPECT_EQ(2u, stats()[ST_OBJ_COUNT]);
    obj_free(ver);
    auto hits = stats()[ST_OBJ_HITS];
    obj_free(must_locate(ver_));
    EXPECT_EQ(hits + 1, stats()[ST_OBJ_HITS]);  // not entered again
    obj_free(enter_attached());
    hits = stats()[ST_OBJ_HITS];
    obj_free(must_locate(attached_));
    EXPECT_EQ(hits + 1, stats()[ST_OBJ_HITS]);
    EXPECT_EQ(3u, stats()[ST_OBJ_COUNT]);
    EXPECT_EQ(2u, elem->ref_cnt);
    // Flushing the element takes what is attached to it.
    auto before = stats();
    obj_flush(elem);
    EXPECT_FALSE(is_cached(vob(), ver_));
    EXPECT_FALSE(is_cached(vob(), attached_));
    EXPECT_EQ(3u, stats()[ST_OBJ_FLUSHES] - before[ST_OBJ_FLUSHES]);
}

TEST_F(NsLocate, HandlesCarryTheElementAndTheExtendedNameBitByKind) {
    uint32_t gen = 0;
    int32_t priv = make_private(500, PRIVATE, &gen);
    struct Case {
        int32_t dbid;
        int ext;
        uint32_t elem_dbid;
        uint32_t flags;
    };
    const uint32_t elem = static_cast<uint32_t>(elem_);
    obj_free(enter_attached());
    const Case cases[] = {
        {elem_, 0, elem, VIEW_FH_EXT_NAME},
        {ver_, 0, elem, 0},
        {ver_, 1, elem, VIEW_FH_EXT_NAME},
        {attached_, 0, elem, VIEW_FH_EXT_NAME},
        {link_, 0, static_cast<uint32_t>(link_), 0},
        {priv, 1, static_cast<uint32_t>(priv), VIEW_FH_EXT_NAME | VIEW_FH_VIEW_OBJ},
    };
    for (const Case& c : cases) {
        obj_entry* o = must_locate(c.dbid);
        ASSERT_NE(nullptr, o);
        view_fhandle fh{};
        fh.spare = 7;
        makehandle(o, c.ext, &fh);
        EXPECT_TRUE(qel_uuid_eq(&vob_uuid, &fh.vob_uuid));
        EXPECT_EQ(static_cast<uint32_t>(c.dbid), fh.dbid);
        EXPECT_EQ(c.elem_dbid, fh.elem_dbid) << c.dbid;
        EXPECT_EQ(c.flags, fh.flags) << c.dbid;
        EXPECT_EQ(c.dbid < 0 ? gen : ANY_STAMP, fh.stamp);
        EXPECT_EQ(0u, fh.spare);
        obj_free(o);
    }
}

TEST_F(NsLocate, AHandleIsStaleOnlyWhenItsStampNamesAnotherGeneration) {
    uint32_t gen = 0;
    int32_t priv = 0;
    const view_fhandle made = private_handle(&gen, &priv);
    struct Case {
        uint32_t stamp;
        int status;
    };
    for (const Case& c : {Case{gen, 0}, Case{0, 0}, Case{ANY_STAMP, 0}, Case{gen + 1, QEL_ST_STALE}}) {
        messages.clear();
        view_fhandle fh = made;
        fh.stamp = c.stamp;
        int ext = -1;
        int status = -1;
        obj_entry* found = locate_validate_fhandle(&fh, &ext, &status);
        EXPECT_EQ(c.status, status) << c.stamp;
        if (c.status == 0) {
            EXPECT_EQ(gen, fh.stamp);
            EXPECT_EQ(0, ext);
            obj_free(found);
        } else {
            EXPECT_EQ(nullptr, found);
            EXPECT_TRUE(messages.has("Returning ESTALE for object")) << messages.text();
        }
        EXPECT_EQ(0u, obj_find_dbid(vob(), priv)->ref_cnt);
    }
}

TEST_F(NsLocate, AHandleWithoutObjectOrKnownVobIsRefused) {
    view_fhandle fh{};
    fh.vob_uuid = vob_uuid;
    int ext = 0;
    int status = 0;
    EXPECT_EQ(nullptr, locate_validate_fhandle(&fh, &ext, &status));
    EXPECT_EQ(QEL_ST_STALE, status);
    EXPECT_EQ(nullptr, locate_revalidate_fhandle(&fh, &status));
    EXPECT_EQ(QEL_ST_STALE, status);
    fh.vob_uuid = uuid_of(9);
    fh.dbid = 13;
    EXPECT_EQ(nullptr, locate_validate_fhandle(&fh, &ext, &status));
    EXPECT_EQ(QEL_ST_NO_SUCH_VOB, status);
    EXPECT_EQ(nullptr, vob_find_cached(&fh.vob_uuid));
}

TEST_F(NsLocate, ARecreatedRecordMakesOldHandlesStale) {
    uint32_t gen = 0;
    int32_t priv = 0;
    view_fhandle fh = private_handle(&gen, &priv);
    ASSERT_EQ(0, db_test::write_tx([&] { return ostrela_db_inode_delete(static_cast<uint32_t>(priv), 0); }));
    EXPECT_EQ(0, locate_invalidate(VIEW_INVALIDATE_VIEW, &vob_uuid, nullptr, nullptr, false));
    uint32_t gen2 = 0;
    make_private(500, PRIVATE, &gen2);
    EXPECT_NE(gen, gen2);
    int ext = 0;
    int status = 0;
    EXPECT_EQ(nullptr, locate_validate_fhandle(&fh, &ext, &status));
    EXPECT_EQ(QEL_ST_STALE, status);
}

TEST_F(NsLocate, EveryViewPrivateKindIsLocatedByDbidAndOid) {
    for (vob_mtype_t kind : {19u, 21u, 22u, 23u, 26u}) {
        uint32_t gen = 0;
        int32_t dbid = make_private(600 + kind, kind, &gen);
        qel_oid_s oid = oid_of(600 + kind);
        int status = -1;
        obj_entry* by_oid = locate_oid(vob(), &oid, 0, &status);
        ASSERT_EQ(0, status) << kind;
        ASSERT_NE(nullptr, by_oid);
        EXPECT_EQ(dbid, by_oid->dbid);
        EXPECT_EQ(gen, by_oid->stamp);
        EXPECT_EQ(CACHE_VER_OBJ, by_oid->otype);
        obj_entry* by_dbid = must_locate(dbid);
        EXPECT_EQ(by_oid, by_dbid);
        obj_free(by_oid);
        obj_free(by_dbid);
    }
    qel_oid_s unknown = oid_of(999);
    int status = 0;
    EXPECT_EQ(nullptr, locate_oid(vob(), &unknown, 0, &status));
    EXPECT_EQ(QEL_ST_NOT_FOUND, status);
}

TEST_F(NsLocate, AVobObjectAndItsCoverAreFoundAsOneFromEitherSide) {
    // The view keeps a record over element 10.
    int32_t cover_dbid = static_cast<int32_t>(make_inode(oid_of(10), FILE_ELEM, QEL_FTYPE_REG, nullptr, 0600));
    for (bool cover_first : {false, true}) {
        SCOPED_TRACE(cover_first ? "record first" : "object first");
        obj_entry* elem = must_locate(cover_first ? cover_dbid : elem_);
        ASSERT_NE(nullptr, elem);
        EXPECT_EQ(elem_, elem->dbid);
        ASSERT_NE(nullptr, elem->cover_obj);
        EXPECT_EQ(cover_dbid, elem->cover_obj->dbid);
        EXPECT_EQ(elem, elem->cover_obj->cover_obj);
        EXPECT_EQ(elem->cover_obj, obj_2view_obj(elem));
        obj_entry* other = must_locate(cover_first ? elem_ : cover_dbid);
        EXPECT_EQ(elem, other);
        view_vstat vstat{};
        ASSERT_EQ(0, fstat_vstat(elem, 0, &vstat));
        EXPECT_EQ(0600u, vstat.fstat.mode);
        EXPECT_EQ(2u, stats()[ST_OBJ_COUNT]);
        obj_free(other);
        obj_free(elem);
        ASSERT_EQ(0, locate_invalidate(VIEW_INVALIDATE_VIEW, &vob_uuid, nullptr, nullptr, false));
    }
}

TEST_F(NsLocate, ARecordWithoutVobObjectIsStaleAndAFileOneIsDeleted) {
    struct Case {
        vob_mtype_t mtype;
        uint32_t type;
        bool deleted;
    };
    for (const Case& c : {Case{FILE_VER, QEL_FTYPE_REG, true}, Case{DIR_ELEM, QEL_FTYPE_DIR, false}}) {
        messages.clear();
        uint32_t dbid = make_inode(oid_of(700 + c.mtype), c.mtype, c.type);
        int status = 0;
        EXPECT_EQ(nullptr, locate(static_cast<int32_t>(dbid), &status));
        EXPECT_EQ(QEL_ST_STALE, status);
        EXPECT_TRUE(messages.has("Vob stale")) << messages.text();
        EXPECT_TRUE(messages.has("Returning ESTALE")) << messages.text();
        EXPECT_EQ(c.deleted ? QEL_ST_STALE : 0, ostrel_db_dbid2oid(vob_dbid, dbid, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(!c.deleted, is_cached(vob(), static_cast<int32_t>(dbid)));
    }
}

TEST_F(NsLocate, AStaleVersionHandleFallsBackToItsElementUnlessReachedByExtendedName) {
    // The view's record of a version that the view database no longer holds.
    uint32_t gone = make_inode(oid_of(814), FILE_VER, QEL_FTYPE_REG);
    view_fhandle fh{};
    fh.vob_uuid = vob_uuid;
    fh.dbid = gone;
    fh.elem_dbid = static_cast<uint32_t>(elem_);
    fh.stamp = ANY_STAMP;
    int status = 0;
    obj_entry* o = locate_revalidate_fhandle(&fh, &status);
    EXPECT_EQ(0, status);
    ASSERT_NE(nullptr, o);
    EXPECT_EQ(elem_, o->dbid);
    obj_free(o);
    fh.flags = VIEW_FH_EXT_NAME;
    EXPECT_EQ(nullptr, locate_revalidate_fhandle(&fh, &status));
    EXPECT_EQ(QEL_ST_STALE, status);
}

TEST_F(NsLocate, MetadataThatCannotBeHadIsAFailureAndEntersNothing) {
    // An object the view database does not hold, offline and online (which
    // asks no server either): a handle naming it is stale (one issued
    // before a rebuild numbered the objects anew), never another object.
    for (int online : {0, 1}) {
        OstrelAgent_Server::g_online = online;
        int status = 0;
        EXPECT_EQ(nullptr, locate(99, &status)) << online;
        EXPECT_EQ(QEL_ST_STALE, status);
        EXPECT_EQ(0u, stats()[ST_OBJ_COUNT]);
    }
    EXPECT_EQ(0u, server.calls(Server::ROOT) + server.calls(Server::LOOKUP) + server.calls(Server::LISTING));
}

TEST_F(NsLocate, InvalidationsFlushExactlyWhatTheyName) {
    const qel_uuid_s other_uuid = uuid_of(2);
    uint32_t other_dbid = 0;
    ASSERT_EQ(0, db_test::write_tx([&] { return ostrela_db_vob_create(&other_uuid, "h2:/vobs/b", &other_dbid); }));
    script(other_uuid, 13, SYMLINK);
    int32_t other_link = load(other_uuid, 13);
    int32_t cover13 = static_cast<int32_t>(make_inode(oid_of(13), SYMLINK, QEL_FTYPE_LNK));
    for (int32_t d : {ver_, link_}) obj_free(must_locate(d));
    int status = 0;
    view_vob* other = vob_find(&other_uuid, &status);
    obj_free(locate_dbid(other, other_link, 0, &status));
    auto cached = [&] {
        std::vector<bool> out;
        for (int32_t d : {elem_, ver_, link_, cover13}) out.push_back(is_cached(vob(), d));
        out.push_back(is_cached(other, other_link));
        return out;
    };
    ASSERT_EQ((std::vector<bool>{true, true, true, true, true}), cached());

    qel_oid_s oid13 = oid_of(13);
    for (int kind : {0, 5}) {
        EXPECT_EQ(QEL_ST_INVALID,
                  locate_invalidate(static_cast<view_invalidate_type>(kind), &vob_uuid, &oid13, nullptr, true));
    }
    EXPECT_EQ((std::vector<bool>{true, true, true, true, true}), cached());

    // One name: the view database is told too (its entry is no longer
    // valid); nothing cached is an object of it.
    std::string holder_name = "o" + std::to_string(11);
    qel_oid_s holder_oid{};
    unsigned holder = 0;
    ASSERT_EQ(0, ostrel_db_get_parent_dir(vob_dbid, static_cast<unsigned>(ver_), &holder));
    ASSERT_TRUE(OstrelAgent_View_db::obj_dbid_to_oid(holder, vob_uuid, holder_oid));
    EXPECT_EQ(0, locate_invalidate(VIEW_INVALIDATE_NAME, &vob_uuid, &holder_oid, holder_name.c_str(), true));
    EXPECT_EQ(QEL_ST_STALE_GENERATION, name_in_view_db(holder, holder_name));
    EXPECT_EQ((std::vector<bool>{true, true, true, true, true}), cached());

    // One object: the object of that oid in that VOB, never its cover; its
    // record in the view database is no longer valid.
    EXPECT_EQ(0, locate_invalidate(VIEW_INVALIDATE_OBJ, &vob_uuid, &oid13, nullptr, true));
    EXPECT_EQ(QEL_ST_STALE_GENERATION, name_in_view_db(holder, "o13"));
    EXPECT_EQ((std::vector<bool>{true, true, false, true, true}), cached());
    EXPECT_EQ(nullptr, obj_find_dbid(vob(), cover13)->cover_obj);

    // One VOB.
    EXPECT_EQ(0, locate_invalidate(VIEW_INVALIDATE_VOB, &vob_uuid, nullptr, nullptr, false));
    EXPECT_EQ((std::vector<bool>{false, false, false, false, true}), cached());

    // The whole view.
    EXPECT_EQ(0, locate_invalidate(VIEW_INVALIDATE_VIEW, nullptr, nullptr, nullptr, false));
    EXPECT_EQ(0u, stats()[ST_OBJ_COUNT]);
    EXPECT_EQ(0u, stats()[ST_FSTAT_COUNT]);
}

TEST_F(NsLocate, TheViewDatabaseUpdatesAndDropsCachedStatuses) {
    uint32_t gen = 0;
    int32_t priv = make_private(500, PRIVATE, &gen);
    obj_free(must_locate(priv));
    qel_fstat_db_s changed = file_status(QEL_FTYPE_REG, 0444);
    locate_cache_update(vob(), priv, &changed);
    EXPECT_EQ(0444u, obj_find_dbid(vob(), priv)->fep->fstat.mode);
    locate_cache_update(vob(), priv, nullptr);
    EXPECT_FALSE(is_cached(vob(), priv));
    uint32_t before = lvut_stats[LVUT_NONCACHED_UPDATED];
    locate_cache_update(vob(), priv, &changed);
    EXPECT_EQ(before + 1, lvut_stats[LVUT_NONCACHED_UPDATED]);
}

} // namespace
