// The invalidations of a served view: the places a caller selects (the
// namespace cache, the kernel, the view database) are told, every selected
// step runs and the first failure is the result; the flushes deferred to
// the pool reach the namespace cache and the kernel, or log their failure.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/fetch_test_support.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "lib/thread_test_support.h"

namespace {

using namespace fetch_test;
namespace S = OstrelAgent_Status;
using Line = std::vector<std::string>;
using Lines = std::vector<Line>;

class Invalidation : public FetchTest {
protected:
    void SetUp() override {
        FetchTest::SetUp();
        kernel_ioctl.reset(new OstrelAgent_KORVA_Ioctl(OstrelAgent_View_Handler::get_view()));
        root_dir = root_dbid(vob_uuid);
        for (const char* name : {"a.c", "d"}) {
            unsigned elem = 0, obj = 0;
            ostrel_vstat status{};
            ASSERT_EQ(0, Meta::lookup_obj(vob_uuid, root_dir, 0, name, elem, obj, status));
        }
        pool()->run_all();  // the look-ups' listing and flushes
        cache_a_c();
    }

    // Brings a.c and its name into the namespace cache.
    void cache_a_c() { ASSERT_EQ(0, lookup(root(), "a.c").status); }
    bool cached(unsigned id) {
        Ns_Cache_Lock lock;
        return obj_find_dbid(vob(), db_dbid(id)) != nullptr;
    }
    // Whether a look-up of a.c is answered by the name cache.
    bool name_cached() {
        const view_fhandle top = root();
        auto hits = stats()[ST_NAME_HITS];
        EXPECT_EQ(0, lookup(top, "a.c").status);
        return stats()[ST_NAME_HITS] == hits + 1;
    }
    // How the view database answers a look-up of a name of the root.
    int in_view_db(const std::string& name) {
        OstrelAgent_View_db_version dir(root_dir, vob_uuid);
        dir.load_data();
        unsigned dbid = 0;
        vob_mtype_t mtype = 0;
        return dir.lookup(name, dbid, mtype);
    }
    Lines told_since(size_t from) {
        Lines all = invalidations();
        return Lines(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end());
    }
    Line obj_line(unsigned oid, int op) const {
        return {"inval_obj", OstrelAgent_Util::id_text(vob_uuid), OstrelAgent_Util::id_text(oid_of(oid)),
                std::to_string(op)};
    }
    Line name_line(unsigned dir_oid, const std::string& name) const {
        return {"inval_name", OstrelAgent_Util::id_text(vob_uuid), OstrelAgent_Util::id_text(oid_of(dir_oid)), name};
    }
    Line view_line() const { return {"inval_view", VIEW_TAG}; }
    // The operations log, switched on.
    void log_on() const {
        OstrelAgent_Log::g_enabled = 1;
        std::filesystem::create_directories(OstrelAgent_Log::get_instance(storage)->view_dir());
    }
    std::string ops_log() const { return lib_test::read_file(OstrelAgent_Log::get_instance(storage)->log_path()); }

    std::unique_ptr<OstrelAgent_KORVA_Ioctl> kernel_ioctl;
    unsigned root_dir = 0;
};

TEST_F(Invalidation, TheNamespaceAndTheKernelAreToldWhenSelected) {
    struct Case {
        bool ns, kernel;
    };
    for (const Case& c : {Case{false, false}, Case{true, false}, Case{false, true}, Case{true, true}}) {
        SCOPED_TRACE(std::string(c.ns ? "ns " : "") + (c.kernel ? "kernel" : ""));
        size_t from = invalidations().size();
        EXPECT_EQ(0, Meta::view_inval_obj(kernel_ioctl.get(), vob_uuid, oid_of(21), 7, c.ns, c.kernel, false));
        EXPECT_EQ(!c.ns, cached(21));
        EXPECT_EQ(c.kernel ? Lines{obj_line(21, 7)} : Lines{}, told_since(from));
        cache_a_c();

        from = invalidations().size();
        EXPECT_EQ(0, Meta::view_inval_name(kernel_ioctl.get(), vob_uuid, oid_of(11), "a.c", c.ns, c.kernel, false));
        EXPECT_EQ(c.kernel ? Lines{name_line(11, "a.c")} : Lines{}, told_since(from));
        EXPECT_EQ(!c.ns, name_cached());
        // The view database was left alone.
        EXPECT_EQ(0, in_view_db("a.c"));
    }
}

TEST_F(Invalidation, TheViewDatabaseMarksTheObjectOrTheNameToBeLookedUpAgain) {
    const size_t from = invalidations().size();
    EXPECT_EQ(0, Meta::view_inval_obj(kernel_ioctl.get(), vob_uuid, oid_of(21), 7, false, false, true));
    EXPECT_EQ(QEL_ST_STALE_GENERATION, in_view_db("a.c"));
    EXPECT_EQ(0, Meta::view_inval_name(kernel_ioctl.get(), vob_uuid, oid_of(11), "d", false, false, true));
    EXPECT_EQ(QEL_ST_STALE_GENERATION, in_view_db("d"));
    EXPECT_TRUE(told_since(from).empty());
    EXPECT_TRUE(cached(21));
    // Of what it does not hold: nothing (for a name, 20021).
    EXPECT_EQ(0, Meta::invalidate_obj(vob_uuid, oid_of(99)));
    EXPECT_EQ(S::MALFORMED_REQUEST, Meta::invalidate_name(vob_uuid, oid_of(99), "x"));
}

// An object invalidated while a listing of the directory that names it is
// being stored waits for the listing: the listing's last step drops the
// names that are not valid, and must not drop one that it has just stored.
TEST_F(Invalidation, AnObjectInvalidatedDuringAListingOfItsDirectoryKeepsItsName) {
    // The root is listed again from the server.
    ASSERT_EQ(0, Meta::invalidate_obj(vob_uuid, oid_of(10)));
    ASSERT_FALSE(listed(vob_uuid, root_dir));
    std::unique_ptr<thread_test::Background> invalidation;
    bool waited = false;
    server.after_listing([&] {
        server.after_listing(nullptr);
        invalidation.reset(new thread_test::Background([&] { Meta::invalidate_obj(vob_uuid, oid_of(30)); }));
        // Given the time to run into the listing, it waits for it.
        waited = !invalidation->finished(std::chrono::milliseconds(200));
    });
    std::vector<ostrelagent_dirent> listing;
    ASSERT_EQ(0, Meta::readdir_obj(vob_uuid, root_dir, listing));
    ASSERT_TRUE(invalidation);
    EXPECT_TRUE(invalidation->finished());
    EXPECT_TRUE(waited);
    // d is still named, to be looked up again.
    EXPECT_EQ(QEL_ST_STALE_GENERATION, in_view_db("d"));
    EXPECT_EQ(0, in_view_db("a.c"));
}

TEST_F(Invalidation, EverySelectedStepRunsAndTheFirstFailureIsTheResult) {
    // No control object: nothing at all, whatever is selected.
    for (bool kernel : {false, true}) {
        const size_t from = invalidations().size();
        EXPECT_EQ(QEL_ST_NO_MEMORY, Meta::view_inval_obj(nullptr, vob_uuid, oid_of(21), 7, true, kernel, true));
        EXPECT_EQ(QEL_ST_NO_MEMORY, Meta::view_inval_name(nullptr, vob_uuid, oid_of(11), "a.c", true, kernel, true));
        EXPECT_EQ(QEL_ST_NO_MEMORY, Meta::view_inval_view(nullptr, true, kernel, true));
        EXPECT_TRUE(cached(21));
        EXPECT_EQ(0, in_view_db("a.c"));
        EXPECT_TRUE(told_since(from).empty());
    }
    // The kernel fails: the namespace step ran all the same.
    ASSERT_EQ(0, kernel().injector().add("inval_obj", std::to_string(QEL_ST_INTERNAL)));
    EXPECT_EQ(QEL_ST_INTERNAL, Meta::view_inval_obj(kernel_ioctl.get(), vob_uuid, oid_of(21), 7, true, true, false));
    EXPECT_FALSE(cached(21));

    // The whole view: the view database's namespace records, the namespace
    // cache and the kernel, the kernel's failure reported last.
    cache_a_c();
    ASSERT_EQ(0, kernel().injector().add("inval_view", std::to_string(QEL_ST_BUSY)));
    EXPECT_EQ(QEL_ST_BUSY, Meta::view_inval_view(kernel_ioctl.get(), true, true, true));
    EXPECT_EQ(0u, stats()[ST_OBJ_COUNT]);
    EXPECT_NE(0, in_view_db("a.c"));
    const size_t from = invalidations().size();
    EXPECT_EQ(0, Meta::view_inval_view(kernel_ioctl.get(), false, true, false));
    EXPECT_EQ(Lines{view_line()}, told_since(from));
}

TEST_F(Invalidation, DeferredFlushesRunOnThePoolOrLogTheirFailure) {
    log_on();
    Meta::view_inval_parent(vob_uuid, oid_of(11), 13);
    Meta::view_inval_view_in_background();
    EXPECT_EQ(2u, pool()->foreground_queued());
    size_t from = invalidations().size();
    EXPECT_TRUE(cached(11));
    pool()->run_foreground();
    EXPECT_EQ((Lines{obj_line(11, 13), view_line()}), told_since(from));
    EXPECT_EQ(0u, stats()[ST_OBJ_COUNT]);
    // The view database keeps its records: the next look-up needs no server.
    const unsigned asked_before = asked();
    cache_a_c();
    EXPECT_EQ(asked_before, asked());

    // Nobody waits for a deferred flush: a failure goes to the log.
    const std::string logged = ops_log();
    ASSERT_EQ(0, kernel().injector().add("inval_obj", std::to_string(QEL_ST_INTERNAL)));
    ASSERT_EQ(0, kernel().injector().add("inval_view", std::to_string(QEL_ST_INTERNAL)));
    Meta::view_inval_parent(vob_uuid, oid_of(11), 13);
    Meta::view_inval_view_in_background();
    pool()->run_foreground();
    const std::string added = ops_log().substr(logged.size());
    EXPECT_NE(std::string::npos, added.find("Unable to flush cached entry for oid:" +
                                            OstrelAgent_Util::id_text(oid_of(11)) + "@replicauuid:" +
                                            OstrelAgent_Util::id_text(vob_uuid) + ": "))
        << added;
    EXPECT_NE(std::string::npos, added.find("Unable to flush entire view cache: ")) << added;

    // Cancelled at shutdown, they do nothing.
    from = invalidations().size();
    Meta::view_inval_parent(vob_uuid, oid_of(11), 13);
    Meta::view_inval_view_in_background();
    pool()->cancel_all();
    EXPECT_TRUE(told_since(from).empty());
    OstrelAgent_Log::g_enabled = 0;
}

TEST_F(Invalidation, EqualDeferredFlushesMergeUntilOneStarts) {
    // Each row asks for flushes in order; equal ones still queued merge,
    // others (another object, another kernel operation, the whole view) do not.
    struct Asked {
        bool whole_view;
        unsigned oid;
        int op;
    };
    struct Row {
        std::vector<Asked> asked;
        Lines told;
    };
    const std::vector<Row> rows = {
        {{{false, 11, 13}, {false, 11, 13}, {false, 11, 13}}, {obj_line(11, 13)}},
        {{{false, 11, 13}, {false, 12, 13}, {false, 11, 14}, {false, 12, 13}},
         {obj_line(11, 13), obj_line(12, 13), obj_line(11, 14)}},
        {{{true, 0, 0}, {false, 11, 13}, {true, 0, 0}}, {view_line(), obj_line(11, 13)}},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        for (const Asked& asked : rows[i].asked) {
            if (asked.whole_view)
                Meta::view_inval_view_in_background();
            else
                Meta::view_inval_parent(vob_uuid, oid_of(asked.oid), asked.op);
        }
        EXPECT_EQ(rows[i].told.size(), pool()->foreground_queued());
        const size_t from = invalidations().size();
        pool()->run_foreground();
        EXPECT_EQ(rows[i].told, told_since(from));
    }

    // A flush that ran, or was cancelled, absorbs no later one: the change
    // behind a later ask may come after its reads.
    for (int round = 0; round < 2; ++round) {
        Meta::view_inval_parent(vob_uuid, oid_of(11), 13);
        EXPECT_EQ(1u, pool()->foreground_queued());
        if (round == 0) pool()->cancel_all();
    }
    const size_t from = invalidations().size();
    pool()->run_foreground();
    EXPECT_EQ(Lines{obj_line(11, 13)}, told_since(from));
}

} // namespace
