// A view database rebuilt by dump and load, as the next start does after a
// crash, holding what content fetch stored for a mounted VOB: every fetched
// object reads back the same, and the namespace serves the VOB's names from
// it, online without asking the server again and offline.

#include <string>
#include <vector>

#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/fetch_test_support.h"
#include "lib/ostreladb/db_content.h"
#include "lib/ostreladb/db_vns_check.h"

namespace {

using namespace fetch_test;

class Rebuild : public FetchTest {
protected:
    // What the namespace answers for a path from the VOB root: the object
    // by its ids, kind and attributes, and the name's state. Handles are
    // left out: a rebuild hands out new dbids.
    std::string seen(const std::string& path) {
        view_fhandle dir = root();
        Found f;
        f.status = 0;
        f.vstat = vstat_of(dir);
        size_t at = 0;
        while (f.status == 0 && at < path.size()) {
            size_t slash = path.find('/', at);
            std::string part = path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
            f = lookup(dir, part.c_str());
            dir = f.fh;
            at = slash == std::string::npos ? path.size() : slash + 1;
        }
        if (f.status != 0) return path + " status " + std::to_string(f.status);
        const view_vstat& v = f.vstat;
        return path + " kind " + std::to_string(v.mtype) + " obj " + lib_test::text(v.obj_oid) + " elem " +
               lib_test::text(v.elem_oid) + " type " + std::to_string(v.fstat.type) + " mode " +
               std::to_string(v.fstat.mode) + " size " + std::to_string(v.fstat.size) + " mtime " +
               std::to_string(v.fstat.mtime.tv_sec) + " state " + std::to_string(f.state);
    }
    // A view-private file with its container holding its name.
    void make_file(view_fhandle dir, const char* name) {
        view_set_attr a = file_attr();
        view_fhandle out{};
        view_vstat vstat{}, dir_vstat{};
        char path[1024];
        unsigned len = 0;
        ASSERT_EQ(0, ns_create(&dir, name, &a, sizeof path, &out, &vstat, path, &len, &dir_vstat, nullptr, nullptr));
        lib_test::write_file(storage + "/" + std::string(path, len), name);
    }
    view_vstat vstat_of(view_fhandle fh) {
        view_vstat v{};
        view_fhandle out{};
        struct timeval lvut{};
        EXPECT_EQ(0, ns_getattr(&fh, &out, &v, &lvut));
        return v;
    }
    std::string everything() {
        std::string out;
        for (const char* path : PATHS) out += seen(path) + "\n";
        for (const char* dir : {"", "d", "d/e", "own"}) {
            out += std::string("listing /") + dir + ":";
            for (const std::string& name : listing(*dir == '\0' ? root() : walk(dir))) out += " " + name;
            out += "\n";
        }
        return out;
    }

    // As a restart after a crash: the namespace caches start empty, and the
    // database is dumped and loaded again.
    void rebuild() {
        {
            Ns_Cache_Lock lock;
            while (vob_tab != nullptr) vob_dispose(vob_tab);
            cache_flush();
        }
        // The state a killed daemon leaves.
        ostrel_db_close();
        lib_test::write_file(storage + "/" + OSTREL_DB_STATE_FILE, "m\n");
        messages.clear();
        int created = 0;
        ASSERT_EQ(0, ostrel_db_init(&created)) << messages.text();
        EXPECT_EQ(0, created);
        ASSERT_TRUE(messages.has("Recovery succeeded")) << messages.text();
        EXPECT_EQ(std::string::npos, messages.text().find("Unable to")) << messages.text();
    }

    static constexpr const char* PATHS[] = {"",      "a.c",  "ln",      "d",        "d/g.c",        "d/e",
                                           "d/e/f", "d/up", "d/loop", "mine.txt", "own/deep.txt", "d/beside.txt"};
};

TEST_F(Rebuild, WhatFetchStoredReadsBackTheSameOnlineAndOffline) {
    // View-private objects beside and below the fetched names cover the
    // VOB's directories.
    view_fhandle own{};
    make_file(root(), "mine.txt");
    ASSERT_EQ(0, mkdir(root(), "own", &own));
    make_file(own, "deep.txt");
    make_file(walk("d"), "beside.txt");
    const std::string fetched = everything();
    pool()->run_all();
    const std::string before_db = db_test::Listing::of_current_db();
    ASSERT_NE(std::string::npos, before_db.find("LOADED")) << before_db;
    const unsigned asked_before = asked();

    // Handles issued before, of a directory version, an element's file
    // version and a link.
    const std::vector<view_fhandle> old_handles = {walk("d"), walk("a.c"), walk("ln")};

    rebuild();
    // The rebuild numbers the loaded objects anew, above the old numbers:
    // an old handle is stale, never another object.
    for (view_fhandle fh : old_handles) {
        view_vstat v{};
        view_fhandle out{};
        struct timeval lvut{};
        EXPECT_EQ(QEL_ST_STALE, ns_getattr(&fh, &out, &v, &lvut)) << fh.dbid;
    }
    EXPECT_EQ(before_db, db_test::Listing::of_current_db());
    EXPECT_TRUE(db_test::namespace_intact("after the rebuild"));

    EXPECT_EQ(fetched, everything());
    pool()->run_all();
    EXPECT_EQ(asked_before, asked()) << "a rebuilt database answers what was fetched";

    // Offline, from a fresh cache.
    OstrelAgent_Server::g_online = 0;
    {
        Ns_Cache_Lock lock;
        while (vob_tab != nullptr) vob_dispose(vob_tab);
        cache_flush();
    }
    EXPECT_EQ(fetched, everything());
}

} // namespace
