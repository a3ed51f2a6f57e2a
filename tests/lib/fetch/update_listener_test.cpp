// The view database listener of a view update, fed a stream by hand on the
// served view of the fetch tests: a first load puts the names into the view
// database (found afterwards without the server), a later stream changes
// and unloads names and tells the kernel, hijacked files in the way get
// each treatment, failures of single objects are recorded while the stream
// goes on, and load scopes removed from the configuration are deleted at
// the end, also when their path no longer resolves.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fetch_test_support.h"
#include "lib/core/ostrelagent_log_update.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/ostrelagent_update_applier.h"
#include "lib/fetch/ostrelagent_view_db_listener.h"
#include "lib/ostreladb/ostrel_db.h"
#include "update_log_reader.h"

namespace fetch_test {
namespace {

using Util = OstrelAgent_Util;
using Labels = std::vector<std::string>;

const unsigned FAMILY = 0x7777; // the family oid's number of the mounted VOB

class UpdateListenerTest : public FetchTest {
protected:
    void SetUp() override {
        FetchTest::SetUp();
        // As a new view's start does: its namespace record at generation 1.
        const qel_uuid_s view = uuid_of(0x71e);
        ASSERT_EQ(0, ostrel_db_create_vns_view(&view, 1));
        log.reset(new OstrelAgent_Log_Update(storage));
    }

    std::unique_ptr<OstrelAgent_View_db_listener> listener(Util::HijackTreatment treatment = Util::HIJACK_KEEP) {
        return std::unique_ptr<OstrelAgent_View_db_listener>(new OstrelAgent_View_db_listener(log.get(), treatment));
    }

    // The status of object `id` of `mtype` whose element is `elem`, as the
    // stream brings it.
    static ostrel_vstat rec(unsigned id, vob_mtype_t mtype, unsigned elem = 0) {
        ostrel_vstat r{};
        r.vstat.mtype = mtype;
        r.vstat.fstat = file_status(mtype == DIR_VER || mtype == DIR_ELEM ? QEL_FTYPE_DIR
                                    : mtype == SYMLINK                    ? QEL_FTYPE_LNK
                                                                          : QEL_FTYPE_REG,
                                    mtype == DIR_VER || mtype == DIR_ELEM ? 0755 : 0644);
        r.vstat.obj_oid = oid_of(id);
        r.vstat.elem_oid = oid_of(elem != 0 ? elem : id);
        if (mtype == SYMLINK) std::snprintf(r.link_text, sizeof r.link_text, "a.c");
        return r;
    }
    static ostrel_scope auto_scope(unsigned gn) {
        ostrel_scope s{};
        s.scope_oid = AUTOMATIC_LOAD_SCOPE_OID;
        s.gn = gn;
        return s;
    }

    // A version `id` of element `elem` loaded at `path` under the directory
    // element `parent`.
    static bool load(RClient_Update_Listener& l, unsigned parent, const std::string& path, unsigned id,
                     vob_mtype_t mtype, unsigned elem, const std::string& prev = "", const std::string& cur = "/main/1") {
        const vob_mtype_t elem_kind = mtype == DIR_VER ? DIR_ELEM : FILE_ELEM;
        return l.update_object(uuid_of(1), oid_of(parent), path, prev, cur, rec(id, mtype, elem),
                               mtype == SYMLINK ? rec(id, SYMLINK) : rec(elem, elem_kind));
    }

    // Opens the stream of the automatic scope at `gn` for the test's VOB.
    static void open(OstrelAgent_View_db_listener& l, unsigned gn) {
        ASSERT_TRUE(l.begin_operation(gn)) << l.get_message();
        ASSERT_TRUE(l.begin_scope(auto_scope(gn))) << l.get_message();
        ASSERT_TRUE(l.begin_vob(uuid_of(1), oid_of(FAMILY))) << l.get_message();
    }
    static void close(OstrelAgent_View_db_listener& l) {
        EXPECT_TRUE(l.end_vob());
        EXPECT_TRUE(l.end_scope());
        EXPECT_TRUE(l.end_operation());
    }

    // The first load: the root (10 -> 11) with a.c (20 -> 21), d (30 ->
    // 31), d/g.c (40 -> 41) and the symbolic link ln (50), at gn 2.
    void first_load() {
        std::unique_ptr<OstrelAgent_View_db_listener> l = listener();
        ASSERT_TRUE(l->prepare_operation());
        open(*l, 2);
        EXPECT_TRUE(load(*l, FAMILY, "/vobs/a", 11, DIR_VER, 10));
        EXPECT_TRUE(load(*l, 10, "/vobs/a/a.c", 21, FILE_VER, 20));
        EXPECT_TRUE(load(*l, 10, "/vobs/a/d", 31, DIR_VER, 30));
        EXPECT_TRUE(load(*l, 30, "/vobs/a/d/g.c", 41, FILE_VER, 40));
        EXPECT_TRUE(load(*l, 10, "/vobs/a/ln", 50, SYMLINK, 50));
        close(*l);
        ASSERT_EQ(0, l->get_status()) << l->get_message();
    }

    update_log::Log read_log() const { return update_log::read(log->log_path()); }
    static Labels labels(const update_log::Log& read) {
        Labels out;
        for (const update_log::Line& line : read.actions) out.push_back(line.label + " " + line.value);
        return out;
    }
    unsigned view_gn() {
        unsigned gn = 0;
        EXPECT_EQ(0, ostrel_db_get_vns_view_gn(&gn));
        return gn;
    }

    std::unique_ptr<OstrelAgent_Log_Update> log;
};

TEST_F(UpdateListenerTest, AFirstLoadAndALaterChangeReachTheViewDatabaseTheCachesAndTheLog) {
    first_load();
    EXPECT_EQ(2u, view_gn());
    EXPECT_EQ((Labels{"New /vobs/a /main/1 ", "New /vobs/a/a.c /main/1 ", "New /vobs/a/d /main/1 ",
                      "New /vobs/a/d/g.c /main/1 ", "New /vobs/a/ln /main/1 SYMLINK"}),
              labels(read_log()));
    // The loaded names are the view's without a question to the server.
    EXPECT_EQ(db_dbid(21), lookup(root(), "a.c").fh.dbid);
    EXPECT_EQ(db_dbid(41), walk("d/g.c").dbid);
    EXPECT_EQ(db_dbid(50), lookup(root(), "ln").fh.dbid);
    EXPECT_EQ(0u, asked());

    // The next stream changes a.c and unloads d/g.c; the kernel hears of
    // both names.
    const size_t told_before = invalidations().size();
    std::unique_ptr<OstrelAgent_View_db_listener> l = listener();
    ASSERT_TRUE(l->prepare_operation());
    open(*l, 3);
    EXPECT_TRUE(load(*l, 10, "/vobs/a/a.c", 22, FILE_VER, 20, "/main/1", "/main/2"));
    EXPECT_TRUE(l->unload_object(uuid_of(1), oid_of(30), "/vobs/a/d/g.c", oid_of(41)));
    close(*l);
    ASSERT_EQ(0, l->get_status()) << l->get_message();
    EXPECT_EQ(3u, view_gn());
    const Labels lines = labels(read_log());
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ("Updated /vobs/a/a.c /main/1 /main/2 ", lines[5]);
    EXPECT_EQ("UnloadDeleted /vobs/a/d/g.c", lines[6]);

    EXPECT_EQ(db_dbid(22), lookup(root(), "a.c").fh.dbid);
    EXPECT_EQ(0u, asked());
    // The server no longer has d/g.c either.
    dir(30, 31, {{"e", 60}});
    EXPECT_NE(0, lookup(walk("d"), "g.c").status);
    std::vector<std::string> names;
    const auto told = invalidations();
    for (size_t i = told_before; i < told.size(); ++i)
        if (told[i][0] == "inval_name") names.push_back(told[i].back());
    EXPECT_NE(std::find(names.begin(), names.end(), "a.c"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "g.c"), names.end());
}

TEST_F(UpdateListenerTest, AHijackedFileInTheWayGetsTheUpdatesTreatmentAndIsLogged) {
    struct Case {
        Util::HijackTreatment treatment;
        bool unload;
        const char* label;
        int hijacked_after; // ns_lookup_hijack of a.c after the stream
    };
    const Case cases[] = {
        {Util::HIJACK_KEEP, false, "HijackedPreserved", 0},
        {Util::HIJACK_OVERWRITE, false, "HijackedDeleted", QEL_ST_NOT_FOUND},
        {Util::HIJACK_RENAME, false, "HijackedRenamed", QEL_ST_NOT_FOUND},
        {Util::HIJACK_KEEP, true, "UnloadPreserved", QEL_ST_NOT_FOUND},
        {Util::HIJACK_OVERWRITE, true, "UnloadDeleted", QEL_ST_NOT_FOUND},
        {Util::HIJACK_RENAME, true, "UnloadRenamed", QEL_ST_NOT_FOUND},
    };
    first_load();
    unsigned gn = 2;
    unsigned version = 22;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        // a.c loaded and hijacked with a view-private copy.
        if (lookup(root(), "a.c").status != 0) {
            std::unique_ptr<OstrelAgent_View_db_listener> reload = listener();
            open(*reload, ++gn);
            EXPECT_TRUE(load(*reload, 10, "/vobs/a/a.c", ++version, FILE_VER, 20));
            close(*reload);
        }
        view_fhandle dir = root();
        const Found loaded = lookup(dir, "a.c");
        ASSERT_EQ(0, loaded.status);
        ASSERT_EQ(0, ns_hijack_by_fh(&dir, "a.c", &loaded.vstat));
        ASSERT_EQ(0, create(dir, "a.c"));
        ASSERT_EQ(0, ns_lookup_hijack(&vob_uuid, dir.dbid, "a.c"));

        std::unique_ptr<OstrelAgent_View_db_listener> l = listener(c.treatment);
        open(*l, ++gn);
        if (c.unload)
            EXPECT_TRUE(l->unload_object(uuid_of(1), oid_of(10), "/vobs/a/a.c", loaded.vstat.obj_oid));
        else
            EXPECT_TRUE(load(*l, 10, "/vobs/a/a.c", ++version, FILE_VER, 20, "/main/1", "/main/2"));
        close(*l);
        EXPECT_EQ(0, l->get_status()) << l->get_message();

        const update_log::Log read = read_log();
        ASSERT_FALSE(read.actions.empty());
        const update_log::Line& last = read.actions.back();
        EXPECT_EQ(c.label, last.label);
        EXPECT_EQ("/vobs/a/a.c", last.fields.at(0));
        if (c.treatment == Util::HIJACK_RENAME) {
            EXPECT_NE(std::string::npos, last.value.find("a.c.keep")) << last.value;
        }
        dir = root();
        EXPECT_EQ(c.hijacked_after, ns_lookup_hijack(&vob_uuid, dir.dbid, "a.c"));
        // The loaded version is the view's whatever became of the copy.
        if (!c.unload && c.treatment != Util::HIJACK_KEEP) {
            EXPECT_EQ(db_dbid(version), lookup(dir, "a.c").fh.dbid);
        }
        // What keep left (a hijacked file, an unhijacked view-private file)
        // goes before the next row.
        if (c.treatment == Util::HIJACK_KEEP) {
            ns_unhijack_by_dbid(&vob_uuid, dir.dbid, "a.c");
            remove(dir, "a.c");
        }
    }
}

TEST_F(UpdateListenerTest, FailuresOfSingleStepsAreRecordedAndTheStreamGoesOn) {
    first_load();
    std::unique_ptr<OstrelAgent_View_db_listener> l = listener();
    ASSERT_TRUE(l->begin_operation(3));
    // A load-rule scope the view does not have ends the delivery.
    ostrel_scope unknown{};
    unknown.scope_oid = oid_of(0x5c0);
    unknown.gn = 3;
    EXPECT_FALSE(l->begin_scope(unknown));
    EXPECT_EQ(OstrelAgent_Status::NOT_FOUND, l->get_status());
    EXPECT_NE(std::string::npos, l->get_message().find("Unknown scope OID \"" + Util::id_text(oid_of(0x5c0))))
        << l->get_message();

    // An object whose parent directory the view lacks fails alone: the next
    // one is loaded, and the end still stores the generation number.
    l = listener();
    open(*l, 3);
    EXPECT_TRUE(load(*l, 0x999, "/vobs/a/nowhere/x.c", 81, FILE_VER, 80));
    const int failed = l->get_status();
    EXPECT_NE(0, failed);
    EXPECT_TRUE(load(*l, 10, "/vobs/a/b.c", 91, FILE_VER, 90));
    close(*l);
    EXPECT_EQ(failed, l->get_status());
    EXPECT_EQ(3u, view_gn());
    EXPECT_EQ(db_dbid(91), lookup(root(), "b.c").fh.dbid);
    const Labels lines = labels(read_log());
    EXPECT_EQ("New /vobs/a/b.c /main/1 ", lines.back());
    EXPECT_EQ(lines.end(), std::find(lines.begin(), lines.end(), "New /vobs/a/nowhere/x.c /main/1 "));
}

// Objects are applied in batches: their log lines appear once the batch is
// committed, when it is full or when the stream has nothing more at hand.
// An object that aborts its batch's transaction (an unload of a name the
// view never had) loses none of its batch-mates, and each is logged once,
// in stream order.
TEST_F(UpdateListenerTest, ObjectsGoInBatchesAndAnObjectThatAbortsOneLosesNoBatchMate) {
    // Batches end by their count here, however slow the run.
    OstrelAgent_Update_Batch::set_max_age_for_test(std::chrono::minutes(10));
    struct Restore {
        ~Restore() { OstrelAgent_Update_Batch::set_max_age_for_test(std::chrono::milliseconds(0)); }
    } restore;
    first_load();
    std::unique_ptr<OstrelAgent_View_db_listener> l = listener();
    open(*l, 3);
    const size_t before = labels(read_log()).size();
    auto name = [](unsigned i) { return "/vobs/a/n" + std::to_string(i) + ".c"; };
    const unsigned full = static_cast<unsigned>(OstrelAgent_Update_Batch::MAX_OBJECTS);
    struct Step {
        unsigned loads;     // objects fed
        bool end_of_input;  // then the stream has nothing at hand
        size_t logged;      // lines logged since `before`
    };
    unsigned fed = 0;
    for (const Step& step : {Step{full - 1, false, 0}, Step{1, false, full}, Step{1, false, full},
                             Step{0, true, full + 1}}) {
        for (unsigned i = 0; i < step.loads; ++i, ++fed)
            EXPECT_TRUE(load(*l, 10, name(fed), 0x1000 + 2 * fed, FILE_VER, 0x1001 + 2 * fed));
        if (step.end_of_input) l->end_of_input();
        EXPECT_EQ(before + step.logged, labels(read_log()).size()) << fed << " fed";
    }

    EXPECT_TRUE(load(*l, 10, "/vobs/a/x1.c", 0x901, FILE_VER, 0x900));
    EXPECT_TRUE(l->unload_object(uuid_of(1), oid_of(10), "/vobs/a/ghost.c", oid_of(0x999)));
    EXPECT_TRUE(load(*l, 10, "/vobs/a/x2.c", 0x903, FILE_VER, 0x902));
    l->end_of_input();
    close(*l);
    EXPECT_EQ(0, l->get_status()) << l->get_message();
    EXPECT_EQ(db_dbid(0x901), lookup(root(), "x1.c").fh.dbid);
    EXPECT_EQ(db_dbid(0x903), lookup(root(), "x2.c").fh.dbid);
    EXPECT_EQ(db_dbid(0x1000), lookup(root(), "n0.c").fh.dbid);
    EXPECT_EQ(db_dbid(0x1000 + 2 * full), lookup(root(), ("n" + std::to_string(full) + ".c").c_str()).fh.dbid);
    const Labels lines = labels(read_log());
    ASSERT_EQ(before + full + 1 + 3, lines.size());
    EXPECT_EQ((Labels{"New /vobs/a/x1.c /main/1 ", "UnloadDeleted /vobs/a/ghost.c", "New /vobs/a/x2.c /main/1 "}),
              Labels(lines.end() - 3, lines.end()));
    EXPECT_EQ(3u, view_gn());
}

// A batch's kernel invalidations are told when the batch ends, not object
// by object; a failed one is recorded against its own object while its
// batch-mates and itself are applied; and a batch that an object aborts
// tells the kernel of each object once, not of the first attempt too.
TEST_F(UpdateListenerTest, ABatchTellsTheKernelWhenItEndsEachFailureAgainstItsOwnObject) {
    OstrelAgent_Update_Batch::set_max_age_for_test(std::chrono::minutes(10));
    struct Restore {
        ~Restore() { OstrelAgent_Update_Batch::set_max_age_for_test(std::chrono::milliseconds(0)); }
    } restore;
    first_load();
    auto told_names = [&](size_t from) {
        Labels names;
        const auto told = invalidations();
        for (size_t i = from; i < told.size(); ++i)
            if (told[i][0] == "inval_name") names.push_back(told[i].back());
        return names;
    };
    std::unique_ptr<OstrelAgent_View_db_listener> l = listener();
    open(*l, 3);
    size_t before = invalidations().size();
    // The first name told fails, its object is b1.c's.
    ASSERT_EQ(0, kernel().injector().add("inval_name", std::to_string(QEL_ST_INTERNAL)));
    for (unsigned i = 1; i <= 3; ++i)
        EXPECT_TRUE(load(*l, 10, "/vobs/a/b" + std::to_string(i) + ".c", 0x200 + 2 * i, FILE_VER, 0x201 + 2 * i));
    EXPECT_EQ(before, invalidations().size()) << "told before the batch ended";
    l->end_of_input();
    EXPECT_EQ((Labels{"b1.c", "b2.c", "b3.c"}), told_names(before));
    EXPECT_EQ(6u, invalidations().size() - before);
    EXPECT_NE(0, l->get_status());
    EXPECT_NE(std::string::npos, l->get_message().find("/vobs/a/b1.c")) << l->get_message();
    EXPECT_EQ(std::string::npos, l->get_message().find("/vobs/a/b2.c")) << l->get_message();
    for (unsigned i = 1; i <= 3; ++i)
        EXPECT_EQ(db_dbid(0x200 + 2 * i), lookup(root(), ("b" + std::to_string(i) + ".c").c_str()).fh.dbid) << i;

    // An unload of a name the view never had aborts its batch: x1.c is
    // applied again with the next batch, ghost.c alone; each told once.
    before = invalidations().size();
    EXPECT_TRUE(load(*l, 10, "/vobs/a/x1.c", 0x901, FILE_VER, 0x900));
    EXPECT_TRUE(l->unload_object(uuid_of(1), oid_of(10), "/vobs/a/ghost.c", oid_of(0x999)));
    EXPECT_TRUE(load(*l, 10, "/vobs/a/x2.c", 0x903, FILE_VER, 0x902));
    l->end_of_input();
    close(*l);
    EXPECT_EQ((Labels{"x1.c", "ghost.c", "x2.c"}), told_names(before));
    EXPECT_EQ(db_dbid(0x901), lookup(root(), "x1.c").fh.dbid);
    EXPECT_EQ(db_dbid(0x903), lookup(root(), "x2.c").fh.dbid);
    const Labels lines = labels(read_log());
    EXPECT_EQ((Labels{"New /vobs/a/x1.c /main/1 ", "UnloadDeleted /vobs/a/ghost.c", "New /vobs/a/x2.c /main/1 "}),
              Labels(lines.end() - 3, lines.end()));
}

// The stream applied behind the transfer, on the applier's thread, in one
// piece worth several batches: every object lands, each logged once and in
// stream order, all committed when the stream's end returns.
TEST_F(UpdateListenerTest, AStreamAppliedBehindTheTransferLandsWholeAndInOrder) {
    first_load();
    std::unique_ptr<OstrelAgent_View_db_listener> l = listener();
    ASSERT_TRUE(l->prepare_operation());
    const size_t before = labels(read_log()).size();
    const unsigned objects = 2 * static_cast<unsigned>(OstrelAgent_Update_Batch::MAX_OBJECTS) + 5;
    auto name = [](unsigned i) { return "n" + std::to_string(i) + ".c"; };
    {
        OstrelAgent_Update_Applier applier(*l);
        EXPECT_TRUE(applier.begin_operation(3));
        EXPECT_TRUE(applier.begin_scope(auto_scope(3)));
        EXPECT_TRUE(applier.begin_vob(uuid_of(1), oid_of(FAMILY)));
        for (unsigned i = 0; i < objects; ++i)
            EXPECT_TRUE(load(applier, 10, "/vobs/a/" + name(i), 0x1000 + 2 * i, FILE_VER, 0x1001 + 2 * i));
        EXPECT_TRUE(applier.end_vob());
        EXPECT_TRUE(applier.end_scope());
        EXPECT_TRUE(applier.end_operation());
        applier.end_of_input();
        applier.end_of_stream();
    }
    EXPECT_EQ(0, l->get_status()) << l->get_message();
    EXPECT_EQ(3u, view_gn());
    const Labels lines = labels(read_log());
    ASSERT_EQ(before + objects, lines.size());
    for (unsigned i = 0; i < objects; ++i) {
        ASSERT_EQ("New /vobs/a/" + name(i) + " /main/1 ", lines[before + i]);
        ASSERT_EQ(db_dbid(0x1000 + 2 * i), lookup(root(), name(i).c_str()).fh.dbid) << name(i);
    }
}

TEST_F(UpdateListenerTest, LoadScopesRemovedFromTheConfigurationGoAtTheEndAlsoWhenTheirPathIsGone) {
    first_load();
    // Two removed load rules: one whose directory the view holds, one whose
    // path no longer names anything.
    const qel_oid_s kept_path = oid_of(0x5c1), gone_path = oid_of(0x5c2);
    ASSERT_EQ(0, ostrel_db_create_lr_scope(&kept_path, 2, "/vobs/a/d"));
    ASSERT_EQ(0, ostrel_db_create_lr_scope(&gone_path, 2, "/vobs/a/gone/away"));
    ASSERT_EQ(0, ostrel_db_mark_lr_scope_for_delete(&kept_path));
    ASSERT_EQ(0, ostrel_db_mark_lr_scope_for_delete(&gone_path));

    std::unique_ptr<OstrelAgent_View_db_listener> l = listener();
    ASSERT_TRUE(l->prepare_operation()) << l->get_message();
    ASSERT_EQ(2u, l->get_doomed_scopes().size());
    for (const auto& doomed : l->get_doomed_scopes()) {
        const bool gone = qel_oid_eq(&doomed.scope.scope_oid, &gone_path);
        EXPECT_EQ(gone, qel_oid_eq(&doomed.oid, &QEL_OID_NULL)) << doomed.scope.pname;
        const qel_oid_s dir_version = oid_of(31);
        if (!gone) {
            EXPECT_TRUE(qel_oid_eq(&doomed.oid, &dir_version));
        }
    }
    const size_t told_before = invalidations().size();
    ASSERT_TRUE(l->begin_operation(3));
    EXPECT_TRUE(l->end_operation());
    EXPECT_EQ(0, l->get_status()) << l->get_message();
    EXPECT_EQ(3u, view_gn());
    unsigned gn = 0;
    EXPECT_NE(0, ostrel_db_get_lr_scope_gn(&kept_path, &gn));
    EXPECT_NE(0, ostrel_db_get_lr_scope_gn(&gone_path, &gn));
    // The root of the scope that was gone cannot be named: the whole view
    // is flushed, once.
    int whole = 0;
    const auto told = invalidations();
    for (size_t i = told_before; i < told.size(); ++i) whole += told[i][0] == "inval_view";
    EXPECT_EQ(1, whole);

    // The next update has no removed rule left to resolve.
    l = listener();
    ASSERT_TRUE(l->prepare_operation());
    EXPECT_TRUE(l->get_doomed_scopes().empty());
}

} // namespace
} // namespace fetch_test
