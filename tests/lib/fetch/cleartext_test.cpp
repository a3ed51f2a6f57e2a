// The cleartext cache against the test server over TLS on loopback: where a
// version's file lies, that it is fetched once and then served from the
// cache, that a cache file appears whole or not at all (a held transfer
// shows only a temporary file; failures leave nothing; a process killed
// during a transfer leaves nothing under the final name and the next read
// fetches once), that equal readers make one request, background fetches
// and their listeners, adoption of a local file, and a background fetch
// that starts while the update is stopping.

#include "lib/fetch/ostrelagent_cleartext.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/process_harness.h"
#include "lib/core/ostrelagent_request.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/fetch/cleartext_server.h"
#include "lib/fetch/ostrelagent_cleartext_sb_req.h"
#include "lib/thread_test_support.h"
#include "lib/view/ostrelagent_view.h"
#include "lib/view/ostrelagent_view_handler.h"
#include "platform/utl/fileutl.h"

namespace {

namespace S = OstrelAgent_Status;
using cltxt_test::Cleartext_Server;
using cltxt_test::suffix;
using cltxt_test::text;
using thread_test::Background;
using thread_test::eventually;

constexpr const char* VIEW_UUID = "0a1b2c3d-4e5f-4617-8899-aabbccddeeff";
constexpr const char* MODE = "transparent";
const qel_uuid_s VOB = lib_test::uuid("0b0b0b0b-0000-4000-8000-00000000000b");

qel_oid_s version(unsigned n) {
    char buf[QEL_OID_STR_SIZE];
    std::snprintf(buf, sizeof buf, "0c000000-0000-4000-8000-%012x", n);
    return lib_test::oid(buf);
}

std::string path_of(unsigned n) { return suffix(VOB, version(n), MODE); }

std::string random_bytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator());
    return bytes;
}

std::string dir_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

mode_t mode_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

size_t count_of(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
}

// What a background fetch told its listener, and whether it was deleted.
struct Heard {
    std::atomic<int> completed{0};
    std::atomic<int> failed{0};
    std::atomic<int> deleted{0};
    std::atomic<int> status{0};
    std::mutex mutex;
    std::string message;
};

class Recording_Listener : public OstrelAgent_BG_Cleartext_listener {
public:
    explicit Recording_Listener(Heard& heard) : m_heard(heard) {}
    ~Recording_Listener() override { ++m_heard.deleted; }
    void completed() const override { ++m_heard.completed; }
    void failed(int status, const std::string& message) const override {
        std::lock_guard<std::mutex> guard(m_heard.mutex);
        m_heard.message = message;
        m_heard.status = status;
        ++m_heard.failed;
    }

private:
    Heard& m_heard;
};

// The process's request pool, started once for the background fetches.
OstrelAgent_Thread_Manager_Base* pool() {
    static OstrelAgent_Thread_Manager_Base* const manager = [] {
        OstrelAgent_Thread_Manager_Base* m = OstrelAgent_Thread_Manager_Base::get_instance();
        EXPECT_EQ(0, m->initialize());
        EXPECT_TRUE(eventually([&] { return m->get_counts().pending == 0; }));
        return m;
    }();
    return manager;
}

// Low-priority work that holds a pool thread until its gate opens.
class Blocker : public OstrelAgent_Request {
public:
    explicit Blocker(thread_test::Gate& gate) : OstrelAgent_Request(0), m_gate(gate) {}
    int handle_request() override { return m_gate.wait() ? 0 : S::GENERAL_FAILURE; }
    int cancel_request() override { return 0; }
    bool is_equivalent(const OstrelAgent_Request*) const override { return false; }
    const char* toString() override { return "blocker"; }

private:
    thread_test::Gate& m_gate;
};

// Takes every low-priority place of the pool with work that waits for
// `release`, so that background work stays queued; whether they were all
// taken in time.
bool take_background_places(OstrelAgent_Thread_Manager_Base* manager, thread_test::Gate& release) {
    const int places = manager->get_counts().pool - 1;
    for (int i = 0; i < places; ++i) manager->process_request(new Blocker(release));
    return eventually([&] { return manager->get_counts().bg_busy == places; });
}

// A view whose cleartext cache is the test's, and a server to fetch from.
class CleartextTest : public ::testing::Test {
protected:
    void SetUp() override {
        storage = home.path() + "/storage";
        cache = home.path() + "/cache";
        ASSERT_EQ(0, ::mkdir(storage.c_str(), 0700));
        ASSERT_EQ(0, ::mkdir(cache.c_str(), 0700));
        handler.reset(OstrelAgent_View_Handler::get_instance(storage));
        ASSERT_NE(nullptr, handler);
        OstrelAgent_View_Handler::set_view(
            OstrelAgent_View::get_view_from_list(storage, cache, VIEW_UUID, "tag", MODE, "automatic", 0));
    }
    void TearDown() override {
        server.reset();
        handler.reset();
        OstrelAgent_Server::g_online = 1;
    }

    void start_server(const std::string& rules = "") { server.reset(new Cleartext_Server(home.path(), rules)); }
    void add(unsigned n, const std::string& contents) { server->add(VOB, version(n), MODE, contents); }

    struct Got {
        int status = -1;
        int in_cache = -1;
        std::string error;
        std::string path;     // the cache file
        std::string relpath;
    };
    Got get(unsigned n, OstrelAgent_BG_Cleartext_listener* listener = nullptr) {
        OstrelAgent_Cleartext cltxt(VOB, 0, version(n), cache, listener);
        Got got;
        got.status = cltxt.getcleartext(got.in_cache);
        got.error = cltxt.get_error_message();
        got.path = cltxt.get_cache_path();
        got.relpath = cltxt.get_cltxt_relpath();
        return got;
    }
    // The version's cache file, named without fetching.
    std::string cache_path(unsigned n) {
        OstrelAgent_Cleartext cltxt(VOB, 0, version(n), cache);
        int in_cache = 0;
        EXPECT_EQ(0, cltxt.check_cache(in_cache));
        return cltxt.get_cache_path();
    }
    // The names in the version's leaf directory.
    std::vector<std::string> leaf(unsigned n) { return lib_test::list_dir(dir_of(cache_path(n))); }

    lib_test::TempHome home;
    std::string storage;
    std::string cache;
    std::unique_ptr<OstrelAgent_View_Handler> handler;
    std::unique_ptr<Cleartext_Server> server;
};

TEST_F(CleartextTest, AVersionIsFetchedOnceIntoItsPlaceInTheCache) {
    start_server();
    // The leaf directories of the hash of the oid's text: "42" is the largest.
    const struct {
        unsigned n;
        const char* leaf;
    } versions[] = {{1, "36/3"}, {6, "9/42"}};
    for (const auto& v : versions) {
        SCOPED_TRACE(v.n);
        const std::string contents = "contents of " + std::to_string(v.n) + "\n";
        add(v.n, contents);
        Got got = get(v.n);
        ASSERT_EQ(0, got.status) << got.error;
        EXPECT_EQ(0, got.in_cache);
        const std::string name = text(version(v.n)) + "-" + MODE;
        EXPECT_EQ(".c/" + text(VOB) + "/" + v.leaf + "/" + name, got.relpath);
        EXPECT_EQ(cache + "/" + got.relpath, got.path);
        EXPECT_EQ(contents, lib_test::read_file(got.path));
        EXPECT_EQ(0400u, mode_of(got.path));
        EXPECT_EQ(std::vector<std::string>{name}, leaf(v.n));
        EXPECT_EQ(1u, server->gets(path_of(v.n)));

        Got again = get(v.n);
        EXPECT_EQ(0, again.status);
        EXPECT_EQ(1, again.in_cache);
        EXPECT_EQ(got.path, again.path);
        EXPECT_EQ(1u, server->gets(path_of(v.n)));
    }
    // A GET of the session URL and the suffix (after the login).
    EXPECT_EQ("/ostrel" + path_of(1), server->server().requests().at(1)["path"].as_string());
    EXPECT_EQ(2u, server->gets());
}

TEST_F(CleartextTest, OfflineOnlyTheCacheAnswersAndWithoutAViewNothingDoes) {
    // Version 1 is in the cache, version 2 is not; no server is there.
    const std::string present = cache_path(1);
    const std::string absent = cache_path(2);
    ASSERT_EQ(0, fileutl_mkpath(dir_of(present).c_str(), 0700, 1));
    lib_test::write_file(present, "cached");
    OstrelAgent_Server::g_online = 0;
    const struct {
        const char* what;
        unsigned n;
        bool view;
        int status;
        int in_cache;
        std::string error;
    } cases[] = {
        {"offline, cached", 1, true, 0, 1, ""},
        {"offline, not cached", 2, true, S::DISCONNECTED, 0, "Client is disconnected from the server.\n"},
        {"no view", 1, false, S::NO_VIEW, 0, "View information not found."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.view) handler.reset();
        Got got = get(c.n);
        EXPECT_EQ(c.status, got.status);
        EXPECT_EQ(c.in_cache, got.in_cache);
        EXPECT_EQ(c.error, got.error);
    }
    EXPECT_FALSE(lib_test::exists(dir_of(absent)));
}

TEST_F(CleartextTest, ATransferEndsInAWholeCacheFileOrInNone) {
    const std::string body = random_bytes(20000, 3);
    const std::string cleartext = R"("reply": {"cleartext": true})";
    const struct {
        const char* what;
        unsigned n;
        std::string members;  // the rule for its GET; empty: none
        int status;
        std::vector<std::string> texts;
    } cases[] = {
        // The reply's parts are whole, whatever the transport says.
        {"more is announced than sent", 1, R"("fault": {"short": true}, )" + cleartext, 0, {}},
        {"the server fails", 2, R"("fault": {"http": 500}, )" + cleartext, S::RPC_INCOMPLETE,
         {"Status code from RPC = 500"}},
        {"the transfer is cut short", 3, R"("fault": {"drop_after": 5000}, )" + cleartext, S::RPC_INCOMPLETE,
         {"cut short"}},
        // No reply at all: the server's outcome is unknown.
        {"the connection drops at once", 4, R"("fault": {"drop_after": 0}, )" + cleartext, S::RPC_INCOMPLETE,
         {"cut short"}},
        {"the server has no such version", 5, "", S::RPC_INCOMPLETE, {"no such version"}},
        {"the server refuses", 6,
         R"("reply": {"parts": [{"id": "SyncElemData", "body_text": "data"}], "status": {"code": 9, "message": "nine"}})",
         S::RPC_SERVER_FAILURE, {"nine"}},
    };
    std::string rules;
    for (const auto& c : cases) {
        if (c.members.empty()) continue;
        rules += (rules.empty() ? "" : ", ") + Cleartext_Server::rule(path_of(c.n), c.members);
    }
    start_server(rules);
    for (const auto& c : cases) {
        if (c.n != 5) add(c.n, body);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Got got = get(c.n);
        EXPECT_EQ(c.status, got.status);
        EXPECT_EQ(1u, server->gets(path_of(c.n)));
        if (c.status == 0) {
            EXPECT_EQ(body, lib_test::read_file(got.path));
            EXPECT_EQ(1u, leaf(c.n).size());
            continue;
        }
        EXPECT_EQ(1u, count_of(got.error, "Error fetching cleartext for \"" + path_of(c.n) + "\".\n")) << got.error;
        for (const std::string& text : c.texts) EXPECT_NE(std::string::npos, got.error.find(text)) << got.error;
        // Neither the file nor its temporary file.
        EXPECT_TRUE(leaf(c.n).empty());
    }
}

TEST_F(CleartextTest, AFileThatCannotBeWrittenOrPutInPlaceIsNoCacheFile) {
    start_server(Cleartext_Server::rule(
        path_of(2), R"("fault": {"hold": {"after_parts": 0, "gate": "g"}}, "reply": {"cleartext": true})"));
    add(1, random_bytes(50000, 1));
    add(2, "two");
    {
        // Writes beyond 1000 bytes fail.
        struct rlimit old;
        ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
        struct rlimit small = old;
        small.rlim_cur = 1000;
        void (*old_handler)(int) = ::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
        Got got = get(1);
        ::setrlimit(RLIMIT_FSIZE, &old);
        ::signal(SIGXFSZ, old_handler);
        EXPECT_EQ(S::GENERAL_FAILURE, got.status);
        EXPECT_EQ("I/O error saving cleartext \"" + path_of(1) + "\".\n", got.error);
        EXPECT_TRUE(leaf(1).empty());
    }
    {
        // A directory came under the version's name during the transfer.
        const std::string path = cache_path(2);
        Got got;
        Background reader([&] { got = get(2); });
        ASSERT_TRUE(eventually([&] { return server->gets(path_of(2)) == 1; }));
        ASSERT_EQ(0, fileutl_mkpath(path.c_str(), 0700, 1));
        server->server().open_gate("g");
        ASSERT_TRUE(reader.finished());
        EXPECT_EQ(S::GENERAL_FAILURE, got.status);
        EXPECT_EQ(0u, got.error.find("Unable to rename temporary file \"" + dir_of(path) + "/.tmp.")) << got.error;
        EXPECT_NE(std::string::npos, got.error.find("File \"" + path + "\" already exists.")) << got.error;
        EXPECT_EQ(std::vector<std::string>{text(version(2)) + "-" + MODE}, leaf(2));
    }
}

TEST_F(CleartextTest, DuringATransferOnlyATemporaryFileExists) {
    const std::string body = random_bytes(100000, 5);
    start_server(Cleartext_Server::rule(
        path_of(1), R"("fault": {"hold": {"after_parts": 1, "gate": "g"}}, "reply": {"cleartext": true})"));
    add(1, body);
    const std::string final_path = cache_path(1);
    Got got;
    Background reader([&] { got = get(1); });
    // The contents arrived; the reply's status has not.
    auto temporary_whole = [&] {
        std::vector<std::string> names = leaf(1);
        return names.size() == 1 && names[0].rfind(".tmp.", 0) == 0 &&
               lib_test::read_file(dir_of(final_path) + "/" + names[0]).size() == body.size();
    };
    ASSERT_TRUE(eventually(temporary_whole));
    EXPECT_FALSE(lib_test::exists(final_path));
    server->server().open_gate("g");
    ASSERT_TRUE(reader.finished());
    ASSERT_EQ(0, got.status) << got.error;
    EXPECT_EQ(body, lib_test::read_file(final_path));
    EXPECT_EQ(0400u, mode_of(final_path));
    EXPECT_EQ(std::vector<std::string>{text(version(1)) + "-" + MODE}, leaf(1));
}

TEST_F(CleartextTest, EqualReadersMakeOneRequestAndShareItsOutcome) {
    // Each held until its gate opens; version 2's fails.
    start_server(Cleartext_Server::rule(path_of(1), R"("fault": {"hold": {"after_parts": 0, "gate": "g1"}}, )"
                                                    R"("reply": {"cleartext": true})") +
                 ", " +
                 Cleartext_Server::rule(path_of(2), R"("fault": {"http": 500, "hold": {"after_parts": 0, "gate": "g2"}}, )"
                                                    R"("reply": {"cleartext": true})"));
    add(1, "one\n");
    add(2, "two\n");
    const struct {
        unsigned n;
        const char* gate;
        int status;
    } cases[] = {{1, "g1", 0}, {2, "g2", S::RPC_INCOMPLETE}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        const int readers = 8;
        std::vector<Got> got(readers);
        std::vector<std::thread> threads;
        for (int i = 0; i < readers; ++i) threads.emplace_back([&, i] { got[i] = get(c.n); });
        // All of them met on one entry before the server answers.
        OstrelAgent_Cleartext probe(VOB, 0, version(c.n), cache);
        OstrelAgent_Cleartext_SB_req probe_request(false, &probe);
        EXPECT_TRUE(eventually([&] {
            return OstrelAgent_Cleartext_SB::refcnt_for_test(probe_request) == static_cast<unsigned>(readers);
        }));
        server->server().open_gate(c.gate);
        for (std::thread& t : threads) t.join();
        for (const Got& g : got) {
            EXPECT_EQ(c.status, g.status) << g.error;
            EXPECT_EQ(0, g.in_cache);
            if (c.status != 0) {
                EXPECT_EQ(1u, count_of(g.error, "Error fetching cleartext for \"" + path_of(c.n) + "\".\n"))
                    << g.error;
            }
        }
        EXPECT_EQ(1u, server->gets(path_of(c.n)));
        EXPECT_EQ(c.status == 0 ? 1u : 0u, leaf(c.n).size());
    }
}

TEST_F(CleartextTest, BackgroundFetchesAreQueuedMergedAndReported) {
    start_server(Cleartext_Server::rule(path_of(2), R"("fault": {"http": 500}, "reply": {"cleartext": true})"));
    add(1, "one\n");
    add(2, "two\n");
    OstrelAgent_Thread_Manager_Base* manager = pool();
    thread_test::Gate release;
    ASSERT_TRUE(take_background_places(manager, release));

    Heard first, second;
    Got queued = get(1, new Recording_Listener(first));
    EXPECT_EQ(0, queued.status);
    EXPECT_EQ(0, queued.in_cache);
    EXPECT_EQ(1u, manager->get_counts().lowpri_queued);
    // A second background fetch of the version is dropped, its listener
    // deleted uncalled.
    EXPECT_EQ(0, get(1, new Recording_Listener(second)).status);
    EXPECT_EQ(1, second.deleted);
    EXPECT_EQ(0, second.completed + second.failed);
    EXPECT_EQ(1u, manager->get_counts().lowpri_queued);

    // A reader does not wait behind the blocked background work.
    Got read;
    Background reader([&] { read = get(1); });
    ASSERT_TRUE(reader.finished());
    EXPECT_EQ(0, read.status) << read.error;
    EXPECT_EQ("one\n", lib_test::read_file(read.path));
    release.open();
    // The blockers leave the gate before it goes with the test.
    ASSERT_TRUE(eventually([&] { return manager->get_counts().bg_busy == 0; }));
    ASSERT_TRUE(eventually([&] { return first.deleted == 1; }));
    EXPECT_EQ(1, first.completed);
    EXPECT_EQ(0, first.failed);
    EXPECT_EQ(1u, server->gets(path_of(1)));

    // Cached: nothing is queued, and the listener stays with its object.
    Heard cached;
    Got again = get(1, new Recording_Listener(cached));
    EXPECT_EQ(1, again.in_cache);
    EXPECT_EQ(1, cached.deleted);
    EXPECT_EQ(0, cached.completed + cached.failed);

    // A failure reaches the listener.
    Heard failing;
    EXPECT_EQ(0, get(2, new Recording_Listener(failing)).status);
    ASSERT_TRUE(eventually([&] { return failing.deleted == 1; }));
    EXPECT_EQ(0, failing.completed);
    EXPECT_EQ(1, failing.failed);
    EXPECT_EQ(S::RPC_INCOMPLETE, failing.status);
    std::lock_guard<std::mutex> guard(failing.mutex);
    EXPECT_NE(std::string::npos, failing.message.find("Error fetching cleartext for \"" + path_of(2) + "\"."))
        << failing.message;
    EXPECT_TRUE(leaf(2).empty());
    EXPECT_EQ(2u, server->gets());
}

// A plain listener only sends the fetch to the background: the caller does
// not wait, the file arrives, and a failure is the background request's to
// report.
TEST_F(CleartextTest, APlainListenerOnlyMakesTheFetchABackgroundOne) {
    start_server(Cleartext_Server::rule(path_of(2), R"("fault": {"http": 500}, "reply": {"cleartext": true})"));
    add(1, "one\n");
    add(2, "two\n");
    OstrelAgent_Thread_Manager_Base* manager = pool();
    thread_test::Gate release;
    ASSERT_TRUE(take_background_places(manager, release));

    for (unsigned n : {1u, 2u}) {
        const Got queued = get(n, new OstrelAgent_BG_Cleartext_listener);
        EXPECT_EQ(0, queued.status) << queued.error;
        EXPECT_EQ(0, queued.in_cache);
    }
    EXPECT_EQ(2u, manager->get_counts().lowpri_queued);
    EXPECT_EQ(0u, server->gets());
    release.open();
    ASSERT_TRUE(eventually([&] { return manager->get_counts().bg_busy == 0 && server->gets() == 2; }));
    EXPECT_TRUE(eventually([&] { return lib_test::exists(cache_path(1)); }));
    EXPECT_EQ("one\n", lib_test::read_file(cache_path(1)));
    EXPECT_TRUE(leaf(2).empty());
}

TEST_F(CleartextTest, ReadersOfAQueuedBackgroundFetchShareItsOneRequest) {
    // The version's GET is held until the test opens its gate.
    start_server(Cleartext_Server::rule(
        path_of(1), R"("fault": {"hold": {"after_parts": 0, "gate": "g"}}, "reply": {"cleartext": true})"));
    const std::string body = random_bytes(30000, 7);
    add(1, body);
    OstrelAgent_Thread_Manager_Base* manager = pool();
    thread_test::Gate release;
    ASSERT_TRUE(take_background_places(manager, release));

    Heard heard;
    ASSERT_EQ(0, get(1, new Recording_Listener(heard)).status);
    ASSERT_EQ(1u, manager->get_counts().lowpri_queued);
    const int readers = 8;
    std::vector<Got> got(readers);
    std::vector<std::thread> threads;
    for (int i = 0; i < readers; ++i) threads.emplace_back([&, i] { got[i] = get(1); });
    // Every reader is tied to the background fetch (which holds one
    // reference of its own) while its GET is held.
    OstrelAgent_Cleartext probe(VOB, 0, version(1), cache);
    OstrelAgent_Cleartext_SB_req probe_request(false, &probe);
    EXPECT_TRUE(eventually([&] {
        return OstrelAgent_Cleartext_SB::refcnt_for_test(probe_request) == static_cast<unsigned>(readers + 1) &&
               server->gets(path_of(1)) == 1;
    }));
    server->server().open_gate("g");
    for (std::thread& t : threads) t.join();
    for (const Got& g : got) {
        EXPECT_EQ(0, g.status) << g.error;
        EXPECT_EQ(body, lib_test::read_file(g.path));
    }
    // The readers did not wait for the blocked background work. The
    // background request (promoted, or left queued) finds the file fetched
    // and tells its listener once.
    release.open();
    // The blockers leave the gate before it goes with the test.
    ASSERT_TRUE(eventually([&] { return manager->get_counts().bg_busy == 0; }));
    ASSERT_TRUE(eventually([&] { return heard.deleted == 1; }));
    EXPECT_EQ(1, heard.completed);
    EXPECT_EQ(0, heard.failed);
    EXPECT_EQ(1u, server->gets());
    EXPECT_EQ(std::vector<std::string>{text(version(1)) + "-" + MODE}, leaf(1));
}

// Adoption copies the file in whole, over a cached copy too, and leaves the
// file where it is; what cannot be copied (anything but a plain file) leaves
// neither a cache file nor a temporary one.
TEST_F(CleartextTest, AdoptionCopiesALocalFileInOverWhatIsCached) {
    const std::string source = home.path() + "/private.c";
    const std::string path = cache_path(1);
    // Several pieces of the copy and of its writeback, and a short last one.
    const std::string large = random_bytes((size_t{17} << 20) + 5, 3);
    enum class Kind { FILE, DIRECTORY, FIFO };
    const struct {
        const char* what;
        std::string contents;  // of the source file
        Kind kind;             // of the source
        int status;            // 0: the cache holds the contents afterwards
    } cases[] = {
        {"a FIFO", "", Kind::FIFO, S::GENERAL_FAILURE},
        {"a directory", "", Kind::DIRECTORY, S::GENERAL_FAILURE},
        {"a version not cached", "first\n", Kind::FILE, 0},
        {"a version cached", "second\n", Kind::FILE, 0},
        {"a large file over the cached one", large, Kind::FILE, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(source.c_str());
        ::rmdir(source.c_str());
        if (c.kind == Kind::DIRECTORY) {
            ASSERT_EQ(0, ::mkdir(source.c_str(), 0700));
        } else if (c.kind == Kind::FIFO) {
            ASSERT_EQ(0, ::mkfifo(source.c_str(), 0600));
        } else {
            lib_test::write_file(source, c.contents);
        }
        // A FIFO's open does not wait for a writer.
        const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        ASSERT_LE(0, in) << std::strerror(errno);
        OstrelAgent_Cleartext cltxt(VOB, 0, version(1), cache);
        EXPECT_EQ(c.status, cltxt.adopt(in, source));
        ::close(in);
        EXPECT_EQ(path, cltxt.get_cache_path());
        // The source stays where it is.
        EXPECT_TRUE(lib_test::exists(source));
        if (c.status == 0) {
            EXPECT_TRUE(c.contents == lib_test::read_file(path));
            EXPECT_EQ(0400u, mode_of(path));
        } else {
            EXPECT_EQ(0u, cltxt.get_error_message().find("Error from open on \"" + source + "\": "))
                << cltxt.get_error_message();
        }
        // The version's file alone, or nothing (no temporary file left).
        EXPECT_EQ(c.status == 0 ? 1u : 0u, leaf(1).size());
    }
    ::unlink(source.c_str());
}

// ---- in a process of its own ---------------------------------------------------

// The path of this test program.
std::string self() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// Runs the child below with the test's HOME and server, and `what` to do.
std::unique_ptr<e2e::Process> start_child(const std::string& dir, const std::string& url, const std::string& what) {
    return std::unique_ptr<e2e::Process>(new e2e::Process(
        self(), {"--gtest_filter=CleartextChild.DISABLED_Run", "--gtest_also_run_disabled_tests"},
        {{"CLTXT_CHILD_DIR", dir}, {"CLTXT_CHILD_URL", url}, {"CLTXT_CHILD_DO", what}}));
}

// The child: the view of the test that started it, logged in to its server.
// "fetch": reads version 1 in the foreground. "stopping": asks the update to
// stop, then queues a background fetch of version 1 and reports what its
// listener heard once it is deleted.
TEST(CleartextChild, DISABLED_Run) {
    const char* dir = std::getenv("CLTXT_CHILD_DIR");
    if (dir == nullptr) GTEST_SKIP() << "runs only as the child of a test";
    const std::string what = std::getenv("CLTXT_CHILD_DO");
    const std::string storage = std::string(dir) + "/storage";
    const std::string cache = std::string(dir) + "/cache";
    std::unique_ptr<OstrelAgent_View_Handler> handler(OstrelAgent_View_Handler::get_instance(storage));
    OstrelAgent_View_Handler::set_view(
        OstrelAgent_View::get_view_from_list(storage, cache, VIEW_UUID, "tag", MODE, "automatic", 0));
    Login login("alice", "pw", "DOM", "", "", std::getenv("CLTXT_CHILD_URL"), "", "", "", 0);
    ASSERT_EQ(0, login.run());
    int in_cache = 0;
    if (what == "fetch") {
        OstrelAgent_Cleartext cltxt(VOB, 0, version(1), cache);
        std::printf("status %d\n", cltxt.getcleartext(in_cache));
        return;
    }
    pool();
    OstrelAgent_View::abort_update();
    Heard heard;
    {
        OstrelAgent_Cleartext cltxt(VOB, 0, version(1), cache, new Recording_Listener(heard));
        ASSERT_EQ(0, cltxt.getcleartext(in_cache));
    }
    ASSERT_TRUE(eventually([&] { return heard.deleted == 1; }));
    std::printf("completed %d failed %d\n", heard.completed.load(), heard.failed.load());
}

TEST_F(CleartextTest, AProcessKilledDuringATransferLeavesNoCacheFileAndTheNextReadFetchesOnce) {
    const std::string body = random_bytes(100000, 9);
    start_server(Cleartext_Server::rule(
        path_of(1), R"("times": 1, "fault": {"hold": {"after_parts": 1, "gate": "g"}}, "reply": {"cleartext": true})"));
    add(1, body);
    const std::string final_path = cache_path(1);
    std::unique_ptr<e2e::Process> child = start_child(home.path(), server->server().url(), "fetch");
    std::string temporary;
    ASSERT_TRUE(eventually([&] {
        std::vector<std::string> names = leaf(1);
        if (names.size() != 1) return false;
        temporary = dir_of(final_path) + "/" + names[0];
        return lib_test::read_file(temporary).size() == body.size();
    })) << child->stderr_text(e2e::Millis(0));
    ASSERT_TRUE(child->signal(SIGKILL));
    EXPECT_EQ(std::optional<int>(-SIGKILL), child->wait_exit());
    server->server().open_gate("g");
    // What the transfer left is not the version's file.
    EXPECT_TRUE(lib_test::exists(temporary));
    EXPECT_FALSE(lib_test::exists(final_path));

    Got got = get(1);
    ASSERT_EQ(0, got.status) << got.error;
    EXPECT_EQ(0, got.in_cache);
    EXPECT_EQ(body, lib_test::read_file(final_path));
    EXPECT_EQ(0400u, mode_of(final_path));
    EXPECT_EQ(2u, server->gets(path_of(1)));
}

TEST_F(CleartextTest, ABackgroundFetchThatStartsWhileTheUpdateStopsFetchesNothing) {
    start_server();
    add(1, "one\n");
    std::unique_ptr<e2e::Process> child = start_child(home.path(), server->server().url(), "stopping");
    EXPECT_EQ(std::optional<int>(0), child->wait_exit()) << child->stdout_text() << child->stderr_text();
    // Cancelled: its listener heard nothing and went.
    EXPECT_NE(std::string::npos, child->stdout_text().find("completed 0 failed 0\n")) << child->stdout_text();
    EXPECT_EQ(0u, server->gets());
    EXPECT_TRUE(leaf(1).empty());
}

} // namespace
