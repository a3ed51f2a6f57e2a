// The object layer on a real view database: objects of the loaded element
// namespace made by kind, the mappings between ids and dbids, the load
// scopes, the loading of name entries (the element first), staleness
// against the view's generation number, and the database handle.

#include "lib/ns/ostrelagent_view_db.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/fetch/ostrelagent_ns_fetch.h"
#include "lib/ns/ns_vob.h"
#include "lib/ns/ostrelagent_view_db_element.h"
#include "lib/ns/ostrelagent_view_db_root_dir.h"
#include "lib/ns/ostrelagent_view_db_symlink.h"
#include "lib/ns/ostrelagent_view_db_version.h"
#include "lib/ostreladb/db_test_support.h"
#include "lib/queued_requests.h"
#include "lib/view/ostrelagent_view.h"

namespace {

using db_test::at;
using db_test::oid_of;
using db_test::uuid_of;
using Db = OstrelAgent_View_db;

constexpr int GENERAL_FAILURE = OstrelAgent_Status::GENERAL_FAILURE;

// The record of object `id` (oid oid_of(id)) of `mtype`, whose element is
// `elem` (0: none).
ostrel_vstat record(unsigned id, vob_mtype_t mtype, unsigned elem, qel_fmode_t mode = 0644) {
    ostrel_vstat r{};
    r.vstat.mtype = mtype;
    r.vstat.obj_oid = oid_of(id);
    r.vstat.elem_oid = oid_of(elem != 0 ? elem : id);
    r.vstat.fstat.type = mtype == 2 || mtype == 3 ? QEL_FTYPE_DIR : mtype == 7 ? QEL_FTYPE_LNK : QEL_FTYPE_REG;
    r.vstat.fstat.mode = mode;
    r.vstat.fstat.mtime = {1000, 5};
    r.vstat.event_time = {2000, 7};
    return r;
}

// A VOB whose root (element 10, directory version 11) is loaded, as a view
// update loads what the server sends.
class ViewDbObjects : public db_test::NewDbTest {
protected:
    void SetUp() override {
        db_test::NewDbTest::SetUp();
        // The loads invalidate through content fetch, as the view handler
        // installs it.
        OstrelAgent_Ns_Fetch::install();
        ASSERT_NE(nullptr, pool());
        ASSERT_EQ(0, ostrel_db_create_def_scope());
        view_vob v{};
        v.uuid = vob;
        ASSERT_EQ(0, ostrel_db_vob_create(&v));
        vob_dbid = v.db_id;
        OstrelAgent_View_db_root_dir root_dir(vob);
        ostrel_vstat r = record(11, 3, 10, 0755), e = record(10, 2, 0, 0755);
        ASSERT_EQ(0, root_dir.create(QEL_OID_NULL, 0, 0, r, e, root, root_elem));
    }
    void TearDown() override {
        OstrelAgent_View::set_current_gn(0, false);
        pool()->cancel_all();
        db_test::NewDbTest::TearDown();
    }

    // The request pool, run by hand: the invalidations that loads queue
    // wait there.
    static queued_requests::Queue_Runner* pool() { return queued_requests::Queue_Runner::get(); }

    // Loads `name` in the root: a version `id` of element `elem`, or a link.
    struct Loaded {
        int status;
        unsigned dbid, elem_dbid;
        ostrel_vstat obj;
        view_vstat elem;
    };
    Loaded load(const char* name, unsigned id, vob_mtype_t mtype, unsigned elem, bool checked_out = false,
                vob_mtype_t elem_mtype = 5) {
        Loaded l{};
        l.obj = record(id, mtype, elem);
        l.obj.checked_out = checked_out;
        if (mtype == 7) std::snprintf(l.obj.link_text, sizeof l.obj.link_text, "%s", "target");
        if (elem != 0) l.elem = record(elem, elem_mtype, 0).vstat;
        l.status = Db::add_db_entry(vob, mtype, name, root, QEL_OID_NULL, 0, 3, true, l.obj, l.elem, l.dbid,
                                    l.elem_dbid, nullptr);
        return l;
    }

    const qel_uuid_s vob = uuid_of(1);
    unsigned vob_dbid = 0, root = 0, root_elem = 0;
};

TEST_F(ViewDbObjects, AnEntryIsLoadedElementFirstAndReadBack) {
    const size_t queued = pool()->foreground_queued();
    Loaded file = load("a.c", 21, 6, 20);
    ASSERT_EQ(0, file.status);
    EXPECT_NE(0u, file.dbid);
    EXPECT_NE(0u, file.elem_dbid);
    // Both records carry the element's dbid as their object number.
    EXPECT_EQ(file.elem_dbid, file.obj.vstat.fstat.nodeid);
    EXPECT_EQ(file.elem_dbid, file.elem.fstat.nodeid);
    // The kernel's entry of the parent goes, in the background.
    EXPECT_EQ(queued + 1, pool()->foreground_queued());

    OstrelAgent_View_db_version dir(root, vob, vob_dbid);
    unsigned dbid = 0;
    vob_mtype_t mtype = 0;
    ASSERT_EQ(0, dir.lookup("a.c", dbid, mtype));
    EXPECT_EQ(file.dbid, dbid);
    EXPECT_EQ(6u, mtype);
    EXPECT_EQ(QEL_ST_NOT_FOUND, dir.lookup("b.c", dbid, mtype));

    // The version's details, its name and its element's.
    OstrelAgent_View_db_version version(0, vob, vob_dbid);
    char name[16];
    ostrel_vstat ver{}, elem{};
    unsigned elem_dbid = 0;
    ASSERT_EQ(0, version.get_info(oid_of(21), sizeof name, elem_dbid, name, ver, elem));
    EXPECT_STREQ("a.c", name);
    EXPECT_EQ(file.elem_dbid, elem_dbid);
    EXPECT_TRUE(qel_oid_eq(&ver.vstat.obj_oid, at(oid_of(21))));
    EXPECT_TRUE(qel_oid_eq(&ver.vstat.elem_oid, at(oid_of(20))));
    EXPECT_TRUE(qel_oid_eq(&elem.vstat.elem_oid, at(oid_of(20))));
    EXPECT_EQ(5u, elem.vstat.mtype);
    EXPECT_EQ(0644u, ver.vstat.fstat.mode);
    // Without a view that keeps the VOB's times the modification time is the
    // view's own.
    EXPECT_NE(1000u, ver.vstat.fstat.mtime.tv_sec);
    EXPECT_EQ(2000, ver.vstat.event_time.tv_sec);

    // The element's record names itself as its element.
    OstrelAgent_View_db_element element(0, vob);
    ostrel_vstat rec{};
    ASSERT_EQ(0, element.get_info(oid_of(20), dbid, rec));
    EXPECT_EQ(file.elem_dbid, dbid);
    EXPECT_TRUE(qel_oid_eq(&rec.vstat.elem_oid, &rec.vstat.obj_oid));
    unsigned any = 0;
    ASSERT_EQ(0, element.get_any_version(any, rec));
    EXPECT_EQ(file.dbid, any);
    EXPECT_TRUE(qel_oid_eq(&rec.vstat.obj_oid, at(oid_of(21))));

    // A link is its own element.
    Loaded link = load("ln", 50, 7, 0);
    ASSERT_EQ(0, link.status);
    EXPECT_EQ(link.dbid, link.elem_dbid);
    EXPECT_EQ(link.dbid, link.obj.vstat.fstat.nodeid);
    EXPECT_TRUE(qel_oid_eq(&link.elem.obj_oid, at(oid_of(50))));
    OstrelAgent_View_db_symlink symlink(link.dbid, vob, vob_dbid);
    ASSERT_EQ(0, symlink.get_ostrelstat(rec));
    EXPECT_EQ(7u, rec.vstat.mtype);
    EXPECT_STREQ("target", rec.link_text);

    // Another kind is no entry.
    EXPECT_EQ(GENERAL_FAILURE, load("x", 60, 5, 0).status);
}

TEST_F(ViewDbObjects, TheElementStepRecordsTheCheckout) {
    ASSERT_EQ(0, load("a.c", 21, 6, 20, true).status);
    unsigned elem_dbid = 0;
    ostrel_vstat rec{};
    OstrelAgent_View_db_element element(0, vob);
    ASSERT_EQ(0, element.get_info(oid_of(20), elem_dbid, rec));
    EXPECT_TRUE(rec.checked_out);
    ASSERT_EQ(0, element.set_co_ver_oid(oid_of(21)));
    qel_oid_s co{};
    ASSERT_EQ(0, element.get_co_ver_oid(co));
    EXPECT_TRUE(qel_oid_eq(&co, at(oid_of(21))));
    // Loaded again not checked out: the flag and the version id are cleared.
    ASSERT_EQ(0, load("a.c", 21, 6, 20, false).status);
    ASSERT_EQ(0, element.get_info(oid_of(20), elem_dbid, rec));
    EXPECT_FALSE(rec.checked_out);
    ASSERT_EQ(0, element.get_co_ver_oid(co));
    EXPECT_TRUE(qel_oid_eq(&co, &QEL_OID_NULL));

    // Recording the checkout of an element the view does not hold fails with
    // the user's text.
    std::string msg;
    EXPECT_EQ(GENERAL_FAILURE, OstrelAgent_View_db_element::set_elem_co_ver_oid(vob, oid_of(99), oid_of(98), msg));
    EXPECT_EQ("Internal error retrieving element information", msg);
    msg.clear();
    ASSERT_EQ(0, OstrelAgent_View_db_element::set_elem_co_ver_oid(vob, oid_of(20), oid_of(21), msg));
    EXPECT_EQ("", msg);
    // An object that knows no dbid loads nothing.
    OstrelAgent_View_db_element unloaded(0, vob, vob_dbid);
    EXPECT_EQ(GENERAL_FAILURE, unloaded.get_co_ver_oid(co));
}

TEST_F(ViewDbObjects, ObjectsAreMadeByTheirKind) {
    ASSERT_EQ(0, load("a.c", 21, 6, 20).status);
    ASSERT_EQ(0, load("ln", 50, 7, 0).status);
    // A kind this layer has no class for.
    db_test::Loaded raw(vob_dbid);
    raw.version(oid_of(90), 0, 9);
    struct Case {
        unsigned id;
        vob_mtype_t mtype;
        const char* kind;  // null: no object
    };
    const Case cases[] = {
        {10, 2, "element"}, {11, 3, "version"}, {20, 5, "element"}, {21, 6, "version"},
        {50, 7, "link"},    {90, 9, nullptr},   {99, 0, nullptr},
    };
    for (const Case& c : cases) {
        vob_mtype_t mtype = 77;
        auto by_oid = OstrelAgent_View_db_object::get_object(vob, oid_of(c.id), mtype);
        EXPECT_EQ(c.mtype, mtype) << c.id;
        std::string kind;
        if (by_oid == nullptr) {
            EXPECT_EQ(nullptr, c.kind) << c.id;
            continue;
        }
        if (dynamic_cast<OstrelAgent_View_db_element*>(by_oid.get()) != nullptr) kind = "element";
        if (dynamic_cast<OstrelAgent_View_db_version*>(by_oid.get()) != nullptr) kind = "version";
        if (dynamic_cast<OstrelAgent_View_db_symlink*>(by_oid.get()) != nullptr) kind = "link";
        EXPECT_EQ(c.kind, kind) << c.id;
        unsigned dbid = 0;
        ASSERT_EQ(0, by_oid->get_dbid(dbid));
        auto by_dbid = OstrelAgent_View_db_object::get_object(vob, dbid, mtype);
        ASSERT_NE(nullptr, by_dbid) << c.id;
        EXPECT_EQ(c.mtype, mtype);
        ostrel_vstat rec{};
        ASSERT_EQ(0, by_dbid->get_ostrelstat(rec)) << c.id;
        EXPECT_TRUE(qel_oid_eq(&rec.vstat.obj_oid, at(oid_of(c.id)))) << c.id;
    }
    vob_mtype_t mtype = 0;
    EXPECT_EQ(nullptr, OstrelAgent_View_db_object::get_object(uuid_of(9), oid_of(10), mtype));
}

TEST_F(ViewDbObjects, IdsAndDbidsMapBothWays) {
    ASSERT_EQ(0, load("a.c", 21, 6, 20).status);
    ASSERT_EQ(0, load("ln", 50, 7, 0).status);
    for (unsigned id : {10u, 11u, 20u, 21u, 50u}) {
        unsigned dbid = 0;
        vob_mtype_t mtype = 0;
        ASSERT_TRUE(Db::obj_oid_to_dbid_mtype(oid_of(id), vob, dbid, mtype)) << id;
        qel_oid_s back{};
        ASSERT_TRUE(Db::obj_dbid_to_oid(dbid, vob, back)) << id;
        EXPECT_TRUE(qel_oid_eq(&back, at(oid_of(id)))) << id;
        EXPECT_EQ(id == 10 || id == 20, Db::elem_oid_to_dbid(oid_of(id), vob, dbid)) << id;
    }
    unsigned dbid = 7;
    EXPECT_FALSE(Db::obj_oid_to_dbid(oid_of(99), vob, dbid));
    EXPECT_EQ(0u, dbid);
    EXPECT_FALSE(Db::obj_oid_to_dbid(oid_of(10), uuid_of(9), dbid));
    // The dbid 1 is the VOB's root, also a stale one.
    qel_oid_s oid{};
    ASSERT_TRUE(Db::obj_dbid_to_oid(1, vob, oid));
    EXPECT_TRUE(qel_oid_eq(&oid, at(oid_of(11))));
    OstrelAgent_View::set_current_gn(5, false);
    ASSERT_TRUE(Db::obj_dbid_to_oid(1, vob, oid));
    EXPECT_TRUE(qel_oid_eq(&oid, at(oid_of(11))));
    // The null oid is no object, whatever the database: it is not asked.
    ostrel_db_close();
    vob_mtype_t mtype = 9;
    dbid = 9;
    EXPECT_TRUE(Db::obj_oid_to_dbid_mtype(QEL_OID_NULL, vob, dbid, mtype));
    EXPECT_EQ(0u, dbid);
    EXPECT_EQ(0u, mtype);
}

TEST_F(ViewDbObjects, WhatALoadOlderThanTheViewGivesIsStale) {
    ASSERT_EQ(0, load("d", 31, 3, 30, false, 2).status);
    OstrelAgent_View_db_version dir(root, vob, vob_dbid);
    ASSERT_EQ(0, dir.set_readdir_done(true));
    EXPECT_TRUE(dir.is_readdir_done());
    OstrelAgent_View_db_root_dir fresh_root(vob);
    unsigned dbid = 0;
    ASSERT_EQ(0, fresh_root.get_root_dir(dbid));
    EXPECT_EQ(root, dbid);

    // The view moves on past the default scope's generation.
    unsigned gn = 0;
    ASSERT_EQ(0, ostrel_db_get_def_scope_gn(&gn));
    OstrelAgent_View::set_current_gn(gn + 1, false);
    vob_mtype_t mtype = 0;
    EXPECT_EQ(QEL_ST_STALE_GENERATION, dir.lookup("d", dbid, mtype));
    EXPECT_FALSE(dir.is_readdir_done());
    OstrelAgent_View_db_root_dir stale_root(vob);
    dbid = 0;
    EXPECT_EQ(QEL_ST_STALE_GENERATION, stale_root.get_root_dir(dbid));
    EXPECT_EQ(root, dbid);
    // ... and the object forgot it, so that the database is asked again.
    EXPECT_EQ(GENERAL_FAILURE, stale_root.get_dbid(dbid));
    ostrel_vstat r{}, e{};
    unsigned elem_dbid = 0;
    EXPECT_EQ(QEL_ST_STALE_GENERATION, stale_root.get_info(root, elem_dbid, r, e));
    OstrelAgent_View::set_current_gn(gn, false);
    ASSERT_EQ(0, stale_root.get_info(root, elem_dbid, r, e));
    EXPECT_EQ(root_elem, elem_dbid);
    EXPECT_EQ(3u, r.vstat.mtype);
    EXPECT_TRUE(qel_oid_eq(&r.vstat.elem_oid, at(oid_of(10))));
}

TEST_F(ViewDbObjects, AVersionWithoutItsVobDoesNothingWhileAnElementLoadsIt) {
    OstrelAgent_View_db_version version(root, vob);
    std::vector<ostrelagent_dirent> names;
    unsigned dbid = 0, elem_dbid = 0;
    vob_mtype_t mtype = 0;
    ostrel_vstat a{}, b{};
    EXPECT_EQ(QEL_ST_NO_MEMORY, version.set_stale(true));
    EXPECT_EQ(QEL_ST_NO_MEMORY, version.set_load_done(true));
    EXPECT_EQ(QEL_ST_NO_MEMORY, version.readdir(names));
    EXPECT_EQ(QEL_ST_NO_MEMORY, version.lookup("d", dbid, mtype));
    EXPECT_EQ(QEL_ST_NO_MEMORY, version.set_readdir_done(true));
    EXPECT_FALSE(version.is_stale());
    EXPECT_FALSE(version.is_readdir_done());
    EXPECT_EQ(GENERAL_FAILURE, version.get_info(root, 0, elem_dbid, nullptr, a, b));
    EXPECT_EQ(GENERAL_FAILURE, version.get_info(oid_of(11), 0, elem_dbid, nullptr, a, b));
    OstrelAgent_View_db_element element(0, vob);
    ASSERT_EQ(0, element.get_info(oid_of(10), dbid, a));
    EXPECT_EQ(root_elem, dbid);
    // Loaded, the version is marked and listed.
    ASSERT_EQ(0, version.load_data());
    ASSERT_EQ(0, version.set_stale(true));
    EXPECT_TRUE(version.is_stale());
    ASSERT_EQ(0, version.set_stale(false));
    EXPECT_FALSE(version.is_stale());
    ASSERT_EQ(0, load("a.c", 21, 6, 20).status);
    ASSERT_EQ(0, version.readdir(names));
    ASSERT_EQ(1u, names.size());
    EXPECT_STREQ("a.c", names[0].name);
}

TEST_F(ViewDbObjects, ARootIsMadeWithTheVobsRecordWhenItHasNone) {
    const qel_uuid_s other = uuid_of(2);
    OstrelAgent_View_db_root_dir root_dir(other);
    EXPECT_FALSE(root_dir.has_root_dir());
    // The look-up made the VOB's record, empty.
    char host[8] = "x", path[8] = "x";
    ASSERT_EQ(0, ostrel_db_vob_read(&other, sizeof host, host, sizeof path, path, nullptr));
    EXPECT_STREQ("", host);
    EXPECT_STREQ("", path);
    ostrel_vstat r = record(111, 3, 110, 0755), e = record(110, 2, 0, 0755);
    unsigned dbid = 0, elem_dbid = 0;
    ASSERT_EQ(0, root_dir.create(QEL_OID_NULL, 0, 0, r, e, dbid, elem_dbid));
    EXPECT_TRUE(root_dir.has_root_dir());
    OstrelAgent_View_db_root_dir again(other);
    ostrel_vstat got{}, got_elem{};
    unsigned found = 0;
    ASSERT_EQ(0, again.get_info(oid_of(111), found, got, got_elem));
    EXPECT_EQ(elem_dbid, found);
}

TEST_F(ViewDbObjects, ScopesAreListedBySelector) {
    ostrel_scope rule{};
    rule.scope_oid = oid_of(500);
    rule.gn = 7;
    std::snprintf(rule.pname, sizeof rule.pname, "%s", "/vobs/a/src");
    ASSERT_EQ(0, Db::add_lr_scope(rule));
    ASSERT_EQ(0, Db::add_lr_scope("/vobs/a/doc"));
    ASSERT_EQ(0, ostrel_db_mark_lr_scope_for_delete(&rule.scope_oid));
    struct Case {
        Db::ScopeListType which;
        int status;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {Db::ALL_LR_SCOPES, 0, {"/vobs/a/src", "/vobs/a/doc"}},
        {Db::LR_SCOPES, 0, {"/vobs/a/doc"}},
        {Db::DEFAULT_SCOPE, 0, {"Automatic"}},
        {Db::LR_SCOPES_FOR_DELETE, 0, {"/vobs/a/src"}},
        {static_cast<Db::ScopeListType>(4), OstrelAgent_Status::INTERNAL_ERROR, {}},
    };
    for (const Case& c : cases) {
        std::vector<ostrel_scope> list;
        EXPECT_EQ(c.status, Db::get_scopes(c.which, list)) << c.which;
        std::vector<std::string> names;
        for (const ostrel_scope& s : list) names.push_back(s.pname);
        std::sort(names.begin(), names.end());
        std::vector<std::string> expected = c.names;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, names) << c.which;
        // Scopes are added at generation 0, whatever the record held.
        for (const ostrel_scope& s : list) {
            unsigned gn = 0;
            if (c.which == Db::DEFAULT_SCOPE) {
                ASSERT_EQ(0, ostrel_db_get_def_scope_gn(&gn));
                EXPECT_TRUE(qel_oid_eq(&s.scope_oid, &AUTOMATIC_LOAD_SCOPE_OID));
            }
            EXPECT_EQ(gn, s.gn) << s.pname;
        }
    }
    ASSERT_EQ(0, Db::delete_lr_scope(rule.scope_oid));
    EXPECT_EQ(OstrelAgent_Status::NOT_FOUND, Db::delete_lr_scope(rule.scope_oid));
    unsigned gn = 9;
    EXPECT_EQ(QEL_ST_INTERNAL, Db::view_gn(gn));  // no view record yet
    ASSERT_EQ(0, ostrel_db_create_vns_view(&vob, 4));
    ASSERT_EQ(0, Db::view_gn(gn));
    EXPECT_EQ(4u, gn);
}

class ViewDbHandle : public db_test::ViewDbTest {};

TEST_F(ViewDbHandle, AResetReportsWhetherTheDatabaseOpenedAgain) {
    Db handle(storage, "view-uuid");
    ASSERT_EQ(0, handle.start_db());
    EXPECT_EQ(1, handle.is_open());
    unsigned gn = 0;
    ASSERT_EQ(0, ostrel_db_get_def_scope_gn(&gn));
    ASSERT_EQ(0, handle.reset_db());
    EXPECT_EQ(1, handle.is_open());
    EXPECT_EQ(0, ostrel_db_get_def_scope_gn(&gn));
    // A state file that no start-up knows keeps the database closed.
    ASSERT_EQ(0, handle.close_db());
    EXPECT_EQ(0, handle.is_open());
    lib_test::write_file(storage + "/" + OSTREL_DB_STATE_FILE, "x\n");
    EXPECT_EQ(GENERAL_FAILURE, handle.reset_db());
    EXPECT_EQ(0, handle.is_open());
    EXPECT_NE(0, ostrel_db_get_def_scope_gn(&gn));
}

} // namespace
