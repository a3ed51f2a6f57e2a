// Many threads locating and releasing the same and different objects under
// the cache's mutex, with the budget at 0 so that every entry made reclaims:
// a held object must stay cached and intact, and at the end every reference
// count must be what the cache's own links account for. Many threads making,
// looking up, listing and removing names of one directory through the
// namespace operations, each of which holds the mutex for its whole call.
// A listing the server holds, which no other call waits for.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "lib/ns/ns_test_support.h"

namespace {

using namespace ns_test;

constexpr int THREADS = 8;
constexpr int ROUNDS = 400;
constexpr unsigned ELEMENTS = 20;

class NsThreads : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        // Element e is scripted as 100 + e, its version 200 + e; symbolic
        // links 400 .. 419 stand alone. All are loaded into the view
        // database, whose objects alone content fetch hands out.
        for (unsigned e = 0; e < ELEMENTS; ++e) {
            script(100 + e, FILE_ELEM);
            script(200 + e, FILE_VER, 100 + e);
            script(400 + e, SYMLINK);
            for (unsigned id : {100 + e, 200 + e, 400 + e}) dbids.push_back(load(id));
        }
        ASSERT_EQ(0, ns_cache_set_size(0, false));
    }

    std::vector<int32_t> dbids;

    // What the cache's own links hold on `obj`.
    static uint32_t structural_refs(const obj_entry* obj) {
        uint32_t refs = 0;
        if (obj->otype == CACHE_ELEM_OBJ)
            for (const obj_entry* a = obj->attach; a != nullptr; a = a->attach_next) ++refs;
        if (obj->otype == CACHE_COVER_OBJ && obj->cover_obj != nullptr) ++refs;
        return refs;
    }
};

TEST_F(NsThreads, ReferenceCountsHoldUnderConcurrentLocateAndRelease) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) * 7919u + 1);
            // Half the threads share a few hot objects; the others roam.
            std::uniform_int_distribution<size_t> pick(0, t % 2 == 0 ? 3 : dbids.size() - 1);
            std::vector<obj_entry*> held;
            for (int round = 0; round < ROUNDS; ++round) {
                Ns_Cache_Lock lock;
                view_vob* v = vob();
                int32_t dbid = dbids[pick(random)];
                int status = 0;
                obj_entry* o = locate_dbid(v, dbid, 0, &status);
                if (o == nullptr || o->dbid != dbid || status != 0) {
                    failures++;
                    continue;
                }
                held.push_back(o);
                // Every held object is still the one cached under its dbid.
                for (obj_entry* h : held)
                    if (obj_find_dbid(v, h->dbid) != h || h->ref_cnt == 0) failures++;
                if (held.size() > 6 || round % 3 == 0) {
                    obj_free(held.front());
                    held.erase(held.begin());
                }
            }
            Ns_Cache_Lock lock;
            for (obj_entry* h : held) obj_free(h);
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(0, failures.load());

    Ns_Cache_Lock lock;
    view_vob* v = vob();
    uint32_t entries = 0;
    uint32_t unreferenced = 0;
    for (int32_t dbid : dbids) {
        obj_entry* o = obj_find_dbid(v, dbid);
        if (o == nullptr) continue;
        ++entries;
        EXPECT_EQ(structural_refs(o), o->ref_cnt) << "dbid " << dbid;
        if (o->ref_cnt == 0) ++unreferenced;
    }
    auto rows = stats();
    EXPECT_EQ(entries, rows[ST_OBJ_COUNT]);
    EXPECT_EQ(entries * OBJ_ENTRY_SIZE, rows[ST_OBJ_SIZE]);
    EXPECT_EQ(unreferenced * OBJ_ENTRY_SIZE, obj_zero_ref_size);
    EXPECT_EQ(entries, v->obj_count);
    EXPECT_GT(rows[ST_OBJ_EJECTS], 0u);
}

class NsTreeThreads : public NsTreeTest {};

TEST_F(NsTreeThreads, NamesMadeListedAndRemovedAtOnceStayInStep) {
    constexpr int WORKERS = 4, FILES = 12;
    ASSERT_EQ(0, ns_cache_set_size(0, false));
    view_fhandle d = walk("d");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < WORKERS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < FILES; ++i) {
                char name[32];
                std::snprintf(name, sizeof name, "t%d-%d", t, i);
                if (create(d, name) != 0) failures++;
                Found f = lookup(d, name);
                if (f.status != 0) failures++;
                std::vector<std::string> names = listing(d);
                if (std::count(names.begin(), names.end(), name) != 1) failures++;
                if (i % 2 == 1 && remove(d, name) != 0) failures++;
                if (lookup(d, "g.c").status != 0) failures++;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(0, failures.load());
    std::set<std::string> expected = {".", "..", "g.c", "e"};
    for (int t = 0; t < WORKERS; ++t)
        for (int i = 0; i < FILES; i += 2) expected.insert("t" + std::to_string(t) + "-" + std::to_string(i));
    std::vector<std::string> names = listing(d);
    EXPECT_EQ(expected, std::set<std::string>(names.begin(), names.end()));
    EXPECT_EQ(expected.size(), names.size());
}

// The view database counts the write transactions begun, a batch once and
// a read never; a view-wide list made while another thread keeps changing
// names shows the view as it was at one moment every time (each name made
// and removed again is listed or not, never a mix the view never held) and
// ends although the changes do not.
class NsViewThreads : public NsViewTest {};

TEST_F(NsViewThreads, AViewWideListShowsOneMomentWhileNamesChange) {
    view_fhandle top = root();
    view_fhandle d = walk("d");
    // Under a lock taken by hand nothing may wait for the server: the
    // names are looked up first, so the creates find their answers here.
    EXPECT_NE(0, lookup(d, "in-batch-1").status);
    EXPECT_NE(0, lookup(d, "in-batch-2").status);
    const unsigned before = ostrel_db_write_generation();
    bool any = true;
    EXPECT_EQ(0, ostrel_db_has_checkouts(&any));
    EXPECT_EQ(before, ostrel_db_write_generation()) << "a read is no write";
    ASSERT_EQ(0, create(top, "counted"));
    const unsigned after_create = ostrel_db_write_generation();
    EXPECT_GT(after_create, before);
    {
        // The namespace mutex comes before the database's.
        Ns_Cache_Lock lock;
        ASSERT_EQ(0, ostrel_db_batch_begin());
        EXPECT_EQ(0, create(d, "in-batch-1"));
        EXPECT_EQ(0, create(d, "in-batch-2"));
        ASSERT_EQ(0, ostrel_db_batch_end(true));
    }
    EXPECT_EQ(after_create + 1, ostrel_db_write_generation()) << "a batch is one write";

    std::set<std::string> kept = {"/vobs/a/counted", "/vobs/a/d/in-batch-1", "/vobs/a/d/in-batch-2"};
    for (int i = 0; i < 40; ++i) {
        const std::string name = "keep-" + std::to_string(i);
        ASSERT_EQ(0, create(i % 2 == 0 ? top : d, name.c_str()));
        kept.insert(std::string(i % 2 == 0 ? "/vobs/a/" : "/vobs/a/d/") + name);
    }
    // The changer's names come and go in this order, so that the view holds
    // one of four sets of them at any moment.
    const std::set<std::set<std::string>> moments = {
        {}, {"/vobs/a/one"}, {"/vobs/a/one", "/vobs/a/d/two"}, {"/vobs/a/d/two"}};
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread changer([&] {
        while (!stop.load()) {
            if (create(top, "one") != 0 || create(d, "two") != 0 || remove(top, "one") != 0 || remove(d, "two") != 0)
                failures++;
        }
    });
    for (int list = 0; list < 30; ++list) {
        std::vector<std::string> paths;
        std::string errors;
        ASSERT_EQ(0, ns_view_get_privates(nullptr, paths, errors)) << errors;
        std::set<std::string> changing;
        size_t kept_seen = 0;
        for (const std::string& path : paths) {
            if (kept.count(path) != 0) ++kept_seen;
            else changing.insert(path);
        }
        EXPECT_EQ(kept.size(), kept_seen);
        EXPECT_EQ(1u, moments.count(changing)) << "list " << list << " shows " << changing.size() << " changing names";
    }
    stop = true;
    changer.join();
    EXPECT_EQ(0, failures.load());
}

// A view-wide list whose every directory is followed by a writer's change of
// the view loses each try it makes, and still ends, listing the view's files
// as they stand. Between its directories it holds no namespace mutex: a
// look-up on another thread, asked for while the list waits after a
// directory, is answered before the list goes on, in the last try too.
TEST_F(NsViewThreads, AListThatKeepsLosingToWritersEndsWithoutHoldingTheMutexAcrossItsScan) {
    view_fhandle top = root();
    view_fhandle d = walk("d");
    std::set<std::string> kept;
    for (int i = 0; i < 6; ++i) {
        const std::string name = "kept-" + std::to_string(i);
        ASSERT_EQ(0, create(i % 2 == 0 ? top : d, name.c_str()));
        kept.insert(std::string(i % 2 == 0 ? "/vobs/a/" : "/vobs/a/d/") + name);
    }
    // The writer's name is known missing before the list: its changes wait
    // for no server.
    ASSERT_EQ(0, create(top, "churn"));
    ASSERT_EQ(0, remove(top, "churn"));
    const size_t directories = 2;

    std::mutex mutex;
    std::condition_variable changed;
    int asked = 0, answered = 0, failed_lookups = 0;
    bool stop = false;
    std::thread looker([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return stop || answered < asked; });
            if (answered == asked) return;
            lock.unlock();
            const int status = lookup(d, "kept-1").status;
            lock.lock();
            if (status != 0) ++failed_lookups;
            ++answered;
            changed.notify_all();
        }
    });
    size_t named = 0;
    int failed_writes = 0;
    bool held = false;
    ns_view_list_set_directory_hook([&] {
        ++named;
        if (create(top, "churn") != 0 || remove(top, "churn") != 0) ++failed_writes;
        if (held) return;
        std::unique_lock<std::mutex> lock(mutex);
        ++asked;
        changed.notify_all();
        // Bounded: a look-up that waits for the whole scan must not hang the test.
        held = !changed.wait_for(lock, std::chrono::seconds(20), [&] { return answered == asked; });
    });
    std::vector<std::string> paths;
    std::string errors;
    const int status = ns_view_get_privates(nullptr, paths, errors);
    ns_view_list_set_directory_hook(nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        changed.notify_all();
    }
    looker.join();

    ASSERT_EQ(0, status) << errors;
    EXPECT_FALSE(held) << "a look-up waited for the list's whole scan";
    EXPECT_EQ(0, failed_lookups);
    EXPECT_EQ(0, failed_writes);
    EXPECT_GT(named, directories) << "the writer's changes made the list try again";
    EXPECT_EQ(kept, std::set<std::string>(paths.begin(), paths.end()));
    EXPECT_EQ(kept.size(), paths.size());
}

// While the server holds d's listing, asked for by a directory read on one
// thread: no namespace lock is held by the asker, another thread looks names
// up and makes a file in d meanwhile, and the held read, once the server
// answers, lists that file too (it reads the view's names after the wait).
TEST_F(NsTreeThreads, AHeldListingStallsNoOtherCallAndIsReadAfterItsWait) {
    view_fhandle top = root();
    view_fhandle d = walk("d");
    std::mutex mutex;
    std::condition_variable changed;
    bool listing_asked = false, released = false, asked_under_lock = false;
    server.on_question([&](Server::Call call) {
        std::unique_lock<std::mutex> lock(mutex);
        asked_under_lock = asked_under_lock || Ns_Cache_Lock::held();
        if (call != Server::LISTING || listing_asked) return;
        listing_asked = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(20), [&] { return released; });
    });
    const auto release = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    };

    std::vector<std::string> held_names;
    std::thread reader([&] { held_names = listing(d); });
    bool asked = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        asked = changed.wait_for(lock, std::chrono::seconds(20), [&] { return listing_asked; });
    }
    if (!asked) {
        release();
        reader.join();
        FAIL() << "the listing was never asked for";
    }
    // Bounded: a stalled call must not keep the test from ending.
    std::future<int> others = std::async(std::launch::async, [&] {
        if (lookup(top, "a.c").status != 0 || lookup(d, "e").status != 0) return 1;
        return create(d, "made") != 0 ? 2 : 0;
    });
    const bool in_time = others.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    release();
    reader.join();
    ASSERT_TRUE(in_time) << "calls on other names waited for the held listing";
    EXPECT_EQ(0, others.get());
    EXPECT_FALSE(asked_under_lock);
    EXPECT_EQ((std::set<std::string>{".", "..", "g.c", "e", "made"}),
              std::set<std::string>(held_names.begin(), held_names.end()));
    server.on_question(nullptr);
}

} // namespace
