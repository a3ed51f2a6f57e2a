// The view object: making a new view storage (create), opening an existing
// one (start), the storage lock, the host check, the cleartext cache
// directory, clean-up after a failed create, kernel registration and the view
// root.

#include "lib/view/ostrelagent_view.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/core/ostrelagent_status.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/view_test_support.h"
#include "platform/server/server.h"
#include "platform/utl/sysutl.h"

namespace {

using lib_test::exists;
using lib_test::list_dir;
using lib_test::read_file;
using lib_test::write_file;
using view_test::LockHolder;
using view_test::mode_of;
using view_test::TAG;
using view_test::URL;
using view_test::UUID;

class LibViewCreate : public view_test::ViewTest {};
class LibViewStart : public view_test::ViewTest {
protected:
    // A storage as a earlier create left it, with no agent running.
    void make_stopped_view() {
        auto view = new_view();
        ASSERT_EQ(0, view->create()) << view->get_status_msg();
        view->cleanup();
        korva().journal().clear();
    }

    // Starts the view in a child process whose files cannot grow beyond
    // `limit` bytes, as on a full disk: the start must fail with 20008 and
    // `message`.
    void expect_start_fails_on_full_disk(rlim_t limit, const std::string& message) {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        EXPECT_EXIT(
            {
                signal(SIGXFSZ, SIG_IGN);
                struct rlimit rl;
                rl.rlim_cur = rl.rlim_max = limit;
                setrlimit(RLIMIT_FSIZE, &rl);
                auto view = stg_view();
                const int status = view->start();
                const bool expected =
                    status == OstrelAgent_Status::STORAGE_WRITE_FAILED && view->get_status_msg() == message;
                if (!expected) std::fprintf(stderr, "status %d, message [%s]", status, view->get_status_msg().c_str());
                std::_Exit(expected ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
    }
};
class LibViewCleanup : public view_test::ViewTest {};
class LibViewRoot : public view_test::ViewTest {};

// ---------------------------------------------------------------------------
// create

TEST_F(LibViewCreate, MakesTheStorageWithItsFilesAndRegistersTheView) {
    auto view = new_view();
    ASSERT_EQ(0, view->create()) << view->get_status_msg();
    EXPECT_EQ("", view->get_status_msg());

    EXPECT_EQ(expected_metadata(), metadata());
    EXPECT_EQ(0644u, mode_of(storage + "/.ostrel"));
    EXPECT_EQ(0700u, mode_of(storage));
    EXPECT_TRUE(exists(storage + "/" + SERVER_HOSTNAME_FILE));
    char registered[SERVER_HOSTNAME_SIZE] = "";
    EXPECT_EQ(1, server_validate_hostname(storage.c_str(), registered));

    // The lock is held by this process for as long as the view lives.
    EXPECT_GE(view->get_lock_cookie(), 0);
    EXPECT_FALSE(view_test::lock_is_free(storage + "/.pid"));

    EXPECT_EQ(0700u, mode_of(cache));
    EXPECT_EQ(0600u, mode_of(cache + "/.cltxt_cache"));
    EXPECT_EQ("", read_file(cache + "/.cltxt_cache"));

    // Namespace cache, view database and generation number.
    EXPECT_EQ(4194304u, view_cache_size);
    ASSERT_NE(nullptr, view->get_view_db());
    EXPECT_TRUE(view->get_view_db()->is_open());
    EXPECT_TRUE(exists(storage + "/.s/00056"));
    unsigned int stored_gn = 99;
    EXPECT_EQ(0, ostrel_db_get_vns_view_gn(&stored_gn));
    EXPECT_EQ(1u, stored_gn);
    EXPECT_EQ(1u, OstrelAgent_View::get_current_gn());

    // The kernel knows the view by its tag, uuid and storage.
    auto lines = journal();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ((std::vector<std::string>{"register_view", TAG, UUID, storage}), lines[0]);
    auto registered_view = korva().registry().view(TAG);
    ASSERT_TRUE(registered_view.has_value());
    EXPECT_EQ(storage, registered_view->storage_user);
    EXPECT_EQ(sysutl_myhostname(), registered_view->host);
    EXPECT_EQ(TAG, OstrelAgent_View::get_g_server_tag());

    view.reset();
    EXPECT_TRUE(view_test::lock_is_free(storage + "/.pid"));
}

TEST_F(LibViewCreate, RelativePathsAreMadeAbsolute) {
    ASSERT_EQ(0, chdir(home.path().c_str()));
    std::unique_ptr<OstrelAgent_View> view(OstrelAgent_View::get_view_from_list(
        "views/rel.vws/", "cache/rel", UUID, TAG, "transparent", "automatic", 1));
    EXPECT_EQ(home.path() + "/views/rel.vws", view->get_storage_path());
    EXPECT_EQ(home.path() + "/views/rel.vws/.pid", view->get_lock_file_path());
    EXPECT_EQ(home.path() + "/cache/rel", view->get_cltxt_cache_dir());
    ASSERT_EQ(0, view->create()) << view->get_status_msg();
    // The view database moved the process into the storage; the recorded
    // cache directory still names the right place.
    EXPECT_TRUE(exists(home.path() + "/cache/rel/.cltxt_cache"));
    EXPECT_NE(std::string::npos, read_file(home.path() + "/views/rel.vws/.ostrel")
                                     .find("\npreserve-vob-modified-time=true\n"));
}

TEST_F(LibViewCreate, ExistingStorageIsRefusedAndLeftAlone) {
    ASSERT_EQ(0, mkdir((home.path() + "/views").c_str(), 0755));
    ASSERT_EQ(0, mkdir(storage.c_str(), 0755));
    write_file(storage + "/.ostrel", "precious\n");
    auto view = new_view();
    EXPECT_EQ(OstrelAgent_Status::VIEW_EXISTS, view->create());
    view->cleanup_storage();
    EXPECT_EQ("precious\n", read_file(storage + "/.ostrel"));
    EXPECT_FALSE(exists(cache));
    EXPECT_TRUE(journal().empty());
}

TEST_F(LibViewCreate, CleartextCacheDirectoryCases) {
    const char* const NESTED =
        "Cleartext cache directories may not be nested. Ancestor of  \"%s\" is a cleartext cache location.\n";
    const char* const INVALID = "Validation failed for cleartext cache directory \"%s\".\n";
    struct Case {
        const char* what;
        const char* below;  // the cache directory below the case's scratch directory
        // Prepares the scratch directory `top` and the cache directory `dir`.
        void (*prepare)(const std::string& top, const std::string& dir);
        int status;
        const char* message;  // expected status message, %s = the cache directory
    };
    const Case cases[] = {
        {"already a cache: reused as it is", "/cache",
         [](const std::string&, const std::string& dir) {
             ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
             write_file(dir + "/.cltxt_cache", "");
             write_file(dir + "/cached", "data");
         },
         0, ""},
        {"existing empty directory: gets the marker", "/cache",
         [](const std::string&, const std::string& dir) { ASSERT_EQ(0, mkdir(dir.c_str(), 0755)); }, 0, ""},
        {"existing directory with an entry", "/cache",
         [](const std::string&, const std::string& dir) {
             ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
             write_file(dir + "/.hidden", "");
         },
         OstrelAgent_Status::CACHE_DIR_NOT_EMPTY, INVALID},
        {"a plain file", "/cache", [](const std::string&, const std::string& dir) { write_file(dir, "x"); },
         OstrelAgent_Status::OPENDIR_FAILED, INVALID},
        {"existing directory inside a cache", "/cache",
         [](const std::string& top, const std::string& dir) {
             write_file(top + "/.cltxt_cache", "");
             ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
         },
         OstrelAgent_Status::CACHE_DIR_NESTED, NESTED},
        {"new directory deep inside a cache", "/a/b/cache",
         [](const std::string& top, const std::string&) { write_file(top + "/.cltxt_cache", ""); },
         OstrelAgent_Status::CACHE_DIR_NESTED, NESTED},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string top = home.path() + "/case" + std::to_string(n++);
        ASSERT_EQ(0, mkdir(top.c_str(), 0755));
        storage = top + "/v.vws";
        cache = top + c.below;
        c.prepare(top, cache);
        std::vector<std::string> before = list_dir(cache);

        auto view = new_view();
        int status = view->create();
        EXPECT_EQ(c.status, status);
        std::string message = c.message;
        size_t at = message.find("%s");
        if (at != std::string::npos) message.replace(at, 2, cache);
        EXPECT_EQ(message, view->get_status_msg());
        if (status != 0) {
            view->cleanup_storage();
            EXPECT_FALSE(exists(storage));
            EXPECT_EQ(before, list_dir(cache));
            EXPECT_FALSE(exists(cache + "/.cltxt_cache"));
        } else {
            EXPECT_NE(std::string::npos, metadata().find("\ncltxt-cache-dir=" + cache + "\n"));
            EXPECT_TRUE(exists(cache + "/.cltxt_cache"));
            for (const std::string& name : before) EXPECT_TRUE(exists(cache + "/" + name)) << name;
            view->cleanup();
        }
    }
    EXPECT_EQ("data", read_file(home.path() + "/case0/cache/cached"));
}

TEST_F(LibViewCreate, FailedCreateRemovesOnlyWhatItMade) {
    // Everything on the way to the storage and to the cache is new.
    storage = home.path() + "/new/a/b/joe.vws";
    cache = home.path() + "/newcache/x/joe";
    ASSERT_EQ(0, korva().injector().add("register_view", "1008"));
    auto view = new_view();
    EXPECT_EQ(OstrelAgent_Status::GENERAL_FAILURE, view->create());
    EXPECT_TRUE(exists(storage + "/.ostrel"));
    view->cleanup_storage();
    EXPECT_FALSE(exists(home.path() + "/new"));
    EXPECT_FALSE(exists(home.path() + "/newcache"));
    EXPECT_EQ(OstrelAgent_View::LOCK_NOT_HELD, view->get_lock_cookie());
    EXPECT_EQ(nullptr, view->get_view_db());
    // Nothing was registered, and the tag may be another view's: the exit
    // hook's clean-up that follows a failed create unregisters nothing.
    korva().journal().clear();
    EXPECT_EQ(1001, stg_view()->cleanup());
    EXPECT_TRUE(journal().empty());

    // Parents that were there, their other entries and an existing empty
    // cache directory stay; only the storage and the marker go.
    storage = home.path() + "/kept/joe.vws";
    cache = home.path() + "/kept/cache";
    ASSERT_EQ(0, mkdir((home.path() + "/kept").c_str(), 0755));
    ASSERT_EQ(0, mkdir(cache.c_str(), 0755));
    write_file(home.path() + "/kept/other", "mine");
    ASSERT_EQ(0, korva().injector().add("register_view", "1008"));
    view = new_view();
    EXPECT_EQ(OstrelAgent_Status::GENERAL_FAILURE, view->create());
    view->cleanup_storage();
    EXPECT_FALSE(exists(storage));
    EXPECT_TRUE(exists(cache));
    EXPECT_FALSE(exists(cache + "/.cltxt_cache"));
    EXPECT_EQ("mine", read_file(home.path() + "/kept/other"));
}

TEST_F(LibViewCreate, ALongStoragePathIsAnOrdinaryOne) {
    // Longer than the platform's usual path buffers, far from the system's
    // own limit.
    storage = home.path() + "/views";
    for (int i = 0; i < 6; ++i) storage += "/" + std::string(200, static_cast<char>('a' + i));
    ASSERT_GT(storage.size(), 1100u);
    auto view = new_view();
    ASSERT_EQ(0, view->create()) << view->get_status_msg();
    EXPECT_EQ(expected_metadata(), metadata());
    view->cleanup();
    view.reset();

    view = stg_view();
    EXPECT_EQ(0, view->start()) << view->get_status_msg();
}

TEST_F(LibViewCreate, ATagTheKernelRefusesIsNamedInTheReply) {
    for (const char* tag : {"joe/view", "..", "joe\tview", "joe\rview"}) {
        SCOPED_TRACE(tag);
        auto view = new_view(tag);
        EXPECT_EQ(OstrelAgent_Status::GENERAL_FAILURE, view->create());
        EXPECT_EQ(std::string("Error from register_view on \"") + tag + "\": " + qel_strerror(1072) + "\n",
                  view->get_status_msg());
        EXPECT_FALSE(view->is_registered());
        view->cleanup_storage();
        EXPECT_FALSE(exists(storage));
    }
}

TEST_F(LibViewCreate, SettingsThatCannotBeUsedAreRefusedBeforeAnythingIsMade) {
    struct Case {
        const char* what;
        std::string tag, text_mode, type, cache_dir, url, uuid;
        int status;
        const char* message;  // %s = the storage
    };
    const std::string c = home.path() + "/cache/joe";
    const Case cases[] = {
        {"newline in the tag", "joe\nview", "transparent", "automatic", c, URL, UUID,
         OstrelAgent_Status::MALFORMED_REQUEST, ""},
        {"newline in the text mode", TAG, "transparent\n", "automatic", c, URL, UUID,
         OstrelAgent_Status::MALFORMED_REQUEST, ""},
        {"newline in the view type", TAG, "transparent", "auto\nmatic", c, URL, UUID,
         OstrelAgent_Status::MALFORMED_REQUEST, ""},
        {"newline in the cache directory", TAG, "transparent", "automatic", c + "\nx", URL, UUID,
         OstrelAgent_Status::MALFORMED_REQUEST, ""},
        {"newline in the server URL", TAG, "transparent", "automatic", c, "https://a\n/ostrel", UUID,
         OstrelAgent_Status::MALFORMED_REQUEST, ""},
        // The metadata reader trims values: these would come back changed.
        {"cache directory ending in a blank", TAG, "transparent", "automatic", c + " ", URL, UUID,
         OstrelAgent_Status::MALFORMED_REQUEST, ""},
        {"tag beginning with a tab", "\tjoe", "transparent", "automatic", c, URL, UUID,
         OstrelAgent_Status::MALFORMED_REQUEST, ""},
        {"view type ending in a carriage return", TAG, "transparent", "automatic\r", c, URL, UUID,
         OstrelAgent_Status::MALFORMED_REQUEST, ""},
        {"no cache directory", TAG, "transparent", "automatic", "", URL, UUID, OstrelAgent_Status::MALFORMED_REQUEST,
         "Cleartext cache directory not found for \"%s\".\n"},
        {"uuid text that is no uuid", TAG, "transparent", "automatic", c, URL, "0a1b2c3d-zzzz",
         OstrelAgent_Status::INVALID_VIEW_UUID, "View uuid not found for \"%s\".\n"},
        {"null uuid", TAG, "transparent", "automatic", c, URL, "00000000-0000-0000-0000-000000000000",
         OstrelAgent_Status::INVALID_VIEW_UUID,
         "View uuid \"00000000-0000-0000-0000-000000000000\" not valid for \"%s\".\n"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        OstrelAgent_Server::g_server_url = k.url;
        std::unique_ptr<OstrelAgent_View> view(OstrelAgent_View::get_view_from_list(
            storage, k.cache_dir, k.uuid, k.tag, k.text_mode, k.type, 0));
        EXPECT_EQ(k.status, view->create());
        std::string message = k.message;
        size_t at = message.find("%s");
        if (at != std::string::npos) message.replace(at, 2, storage);
        EXPECT_EQ(message, view->get_status_msg());
        view->cleanup_storage();
        EXPECT_FALSE(exists(home.path() + "/views"));
        EXPECT_FALSE(exists(home.path() + "/cache"));
        EXPECT_TRUE(journal().empty());
    }
}

TEST_F(LibViewCreate, DirectoriesThatCannotBeMade) {
    write_file(home.path() + "/plain", "not a directory");

    storage = home.path() + "/plain/joe.vws";
    auto view = new_view();
    EXPECT_EQ(OstrelAgent_Status::MKDIR_FAILED, view->create());
    EXPECT_EQ("Error \"20005\" creating view storage directory \"" + storage + "\".\n", view->get_status_msg());
    view->cleanup_storage();
    EXPECT_EQ("not a directory", read_file(home.path() + "/plain"));

    storage = home.path() + "/views/joe.vws";
    cache = home.path() + "/plain/cache";
    view = new_view();
    EXPECT_EQ(OstrelAgent_Status::MKDIR_FAILED, view->create());
    EXPECT_EQ("Error \"Not a directory\" creating cleartext cache directory \"" + cache + "/.cltxt_cache\".\n",
              view->get_status_msg());
    view->cleanup_storage();
    EXPECT_FALSE(exists(home.path() + "/views"));
}

// ---------------------------------------------------------------------------
// start

TEST_F(LibViewStart, StartsAStoppedView) {
    make_stopped_view();
    OstrelAgent_Server::g_server_url = "https://other.example/ostrel";

    auto view = stg_view();
    EXPECT_EQ("", view->get_server_tag());
    ASSERT_EQ(0, view->start()) << view->get_status_msg();
    EXPECT_EQ(TAG, view->get_server_tag());
    EXPECT_EQ(UUID, view->get_view_uuid_str());
    EXPECT_EQ("transparent", view->get_text_mode());
    EXPECT_EQ("automatic", view->get_view_type());
    EXPECT_EQ(cache, view->get_cltxt_cache_dir());
    EXPECT_EQ(4194304u, view->get_cache_size());
    EXPECT_EQ(0, view->get_preserve_vob_mtime());

    // Rewritten with the server URL now in force.
    EXPECT_EQ(expected_metadata("https://other.example/ostrel"), metadata());
    EXPECT_FALSE(view_test::lock_is_free(storage + "/.pid"));
    unsigned int stored_gn = 99;
    ASSERT_EQ(0, ostrel_db_get_vns_view_gn(&stored_gn));
    EXPECT_EQ(stored_gn, OstrelAgent_View::get_current_gn());
    auto lines = journal();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ((std::vector<std::string>{"register_view", TAG, UUID, storage}), lines[0]);
}

TEST_F(LibViewStart, ViewWithoutViewNamespaceRecordStartsAtGenerationZero) {
    // A storage whose database holds no view-namespace record.
    ASSERT_EQ(0, mkdir((home.path() + "/views").c_str(), 0700));
    ASSERT_EQ(0, mkdir(storage.c_str(), 0700));
    write_file(storage + "/.ostrel", expected_metadata());
    ASSERT_EQ(0, server_create_hostname_file(storage.c_str(), sysutl_myhostname(), nullptr));
    OstrelAgent_View::set_current_gn(7, false);

    auto view = stg_view();
    ASSERT_EQ(0, view->start()) << view->get_status_msg();
    EXPECT_EQ(0u, OstrelAgent_View::get_current_gn());
    unsigned int stored_gn = 99;
    ASSERT_EQ(0, ostrel_db_get_vns_view_gn(&stored_gn));
    EXPECT_EQ(0u, stored_gn);
}

TEST_F(LibViewStart, StorageLockedByAnotherLiveAgent) {
    make_stopped_view();
    std::string before = metadata();
    {
        LockHolder other(storage + "/.pid");
        ASSERT_TRUE(other.holding());
        auto view = stg_view();
        EXPECT_EQ(3, view->start());
        EXPECT_EQ("The view storage \"" + storage + "\" is locked by process " + std::to_string(other.pid()) +
                      ", which serves the view.\n",
                  view->get_status_msg());
        EXPECT_EQ(OstrelAgent_View::LOCK_NOT_HELD, view->get_lock_cookie());
        EXPECT_EQ(before, metadata());
        EXPECT_TRUE(journal().empty());
    }
    // Once that agent is gone its lock is gone with it.
    auto view = stg_view();
    EXPECT_EQ(0, view->start()) << view->get_status_msg();
}

// An agent killed keeps its lock until its last thread has ended, which a
// thread in an uninterruptible call may put off: the refusal says that the
// holder is ending. The holder here is a process that has ended and not
// been waited for, its id in a lock this process holds.
TEST_F(LibViewStart, StorageLockedByAnAgentThatIsEndingSaysSo) {
    make_stopped_view();
    const std::string lock_file = storage + "/.pid";
    const pid_t ended = fork();
    ASSERT_LE(0, ended);
    if (ended == 0) _exit(0);
    // Ended, and left unreaped.
    siginfo_t info{};
    ASSERT_EQ(0, waitid(P_PID, static_cast<id_t>(ended), &info, WEXITED | WNOWAIT));
    ASSERT_NE(0, sysutl_process_ending(ended));
    {
        const int fd = open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_LE(0, fd);
        struct flock lock{};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        ASSERT_EQ(0, fcntl(fd, F_OFD_SETLK, &lock));
        const std::string id = std::to_string(ended) + "\n";
        ASSERT_EQ(static_cast<ssize_t>(id.size()), pwrite(fd, id.data(), id.size(), 0));
        auto view = stg_view();
        EXPECT_EQ(3, view->start());
        EXPECT_EQ("The view storage \"" + storage + "\" is still locked by process " + std::to_string(ended) +
                      ", which is ending; start the view again once it has gone.\n",
                  view->get_status_msg());
        close(fd);
    }
    waitpid(ended, nullptr, 0);
    EXPECT_EQ(0, sysutl_process_ending(getpid()));
    auto view = stg_view();
    EXPECT_EQ(0, view->start()) << view->get_status_msg();
}

TEST_F(LibViewStart, ALockFileThatCannotBeWrittenIsAFailedWriteNotAnotherAgent) {
    make_stopped_view();
    const std::string lock_file = storage + "/.pid";
    const std::string before = metadata();

    // A full disk: the lock is taken, but the owner's id cannot be written.
    expect_start_fails_on_full_disk(0, "Error from server_lock_set on \"" + lock_file + "\": File too large\n");
    EXPECT_TRUE(view_test::lock_is_free(lock_file));

    // The lock file cannot even be opened.
    ASSERT_EQ(0, unlink(lock_file.c_str()));
    ASSERT_EQ(0, mkdir(lock_file.c_str(), 0700));
    auto view = stg_view();
    EXPECT_EQ(OstrelAgent_Status::STORAGE_WRITE_FAILED, view->start());
    EXPECT_EQ("Error from server_lock_set on \"" + lock_file + "\": Is a directory\n", view->get_status_msg());
    EXPECT_EQ(before, metadata());
    EXPECT_TRUE(journal().empty());
}

TEST_F(LibViewStart, AMetadataFileThatCannotBeWrittenIsNamed) {
    make_stopped_view();
    const std::string before = metadata();
    // Room for the lock's few bytes, not for the metadata file.
    expect_start_fails_on_full_disk(100, "Unable to write \"" + storage + "/.ostrel\": File too large\n");
    EXPECT_EQ(before, metadata());
}

TEST_F(LibViewStart, ViewRegisteredOnAnotherHost) {
    make_stopped_view();
    ASSERT_EQ(0, server_create_hostname_file(storage.c_str(), "elsewhere.example", nullptr));
    std::string before = metadata();
    auto view = stg_view();
    EXPECT_EQ(OstrelAgent_Status::WRONG_HOST, view->start());
    EXPECT_EQ("View started on wrong host.  This view is registered on host \"elsewhere.example\".",
              view->get_status_msg());
    EXPECT_TRUE(view_test::lock_is_free(storage + "/.pid"));
    EXPECT_EQ(before, metadata());
    EXPECT_TRUE(journal().empty());
}

TEST_F(LibViewStart, BadMetadataFile) {
    const std::string good = expected_metadata();
    const struct {
        const char* what;
        std::string text;  // empty: no file at all
        int status;
    } cases[] = {
        {"no metadata file", "", OstrelAgent_Status::NO_VIEW},
        {"line without =", "versionid=1.0\ngarbage\n" + good, OstrelAgent_Status::METADATA_PARSE_FAILED},
        {"blank line", good + "   \n", OstrelAgent_Status::METADATA_PARSE_FAILED},
        {"CR-only line", good + "\r\n", OstrelAgent_Status::METADATA_PARSE_FAILED},
        {"cache size not a number", good + "cache-size=lots\n", OstrelAgent_Status::METADATA_PARSE_FAILED},
        {"cache size empty", good + "cache-size= \n", OstrelAgent_Status::METADATA_PARSE_FAILED},
        {"cache size negative", good + "cache-size=-5\n", OstrelAgent_Status::METADATA_PARSE_FAILED},
        {"cache size beyond 32 bits", good + "cache-size=4294967296\n", OstrelAgent_Status::METADATA_PARSE_FAILED},
        {"uuid that is no uuid", good + "view-uuid=12345\n", OstrelAgent_Status::INVALID_VIEW_UUID},
        {"no server tag", "view-uuid=" + std::string(UUID) + "\ntext-mode=t\nview-type=a\n",
         OstrelAgent_Status::INVALID_VIEW_UUID},
    };
    make_stopped_view();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.text.empty()) {
            unlink((storage + "/.ostrel").c_str());
        } else {
            write_file(storage + "/.ostrel", c.text);
        }
        auto view = stg_view();
        EXPECT_EQ(c.status, view->start());
        EXPECT_TRUE(view_test::lock_is_free(storage + "/.pid"));
        EXPECT_EQ(c.text, exists(storage + "/.ostrel") ? metadata() : "");
    }
    EXPECT_TRUE(journal().empty());
}

TEST_F(LibViewStart, IncompleteSettingsNameEachMissingItem) {
    make_stopped_view();
    write_file(storage + "/.ostrel", "versionid=1.0\nview-uuid=00000000-0000-0000-0000-000000000000\n");
    OstrelAgent_Server::g_server_url.clear();
    auto view = stg_view();
    EXPECT_EQ(OstrelAgent_Status::INVALID_VIEW_UUID, view->start());
    const std::string s = storage;
    EXPECT_EQ("Server view tag not found for \"" + s + "\".\n" + "Interop textmode not found for \"" + s + "\".\n" +
                  "View uuid \"00000000-0000-0000-0000-000000000000\" not valid for \"" + s + "\".\n" +
                  "Server information is incomplete or invalid for \"" + s + "\".\n" +
                  "View type not found for \"" + s + "\".\n",
              view->get_status_msg());

    // Without validation the same file reads fine.
    EXPECT_EQ(0, view->get_view_info());
}

TEST_F(LibViewStart, ServerUrlThatCannotBeRecordedIsRefused) {
    make_stopped_view();
    std::string before = metadata();
    OstrelAgent_Server::g_server_url = "https://server.example/ostrel\nview-type=other";
    auto view = stg_view();
    EXPECT_EQ(OstrelAgent_Status::MALFORMED_REQUEST, view->start());
    EXPECT_EQ(before, metadata());
}

// ---------------------------------------------------------------------------
// cleanup

TEST_F(LibViewCleanup, UnregistersTheTagOfTheStartedView) {
    auto view = new_view();
    ASSERT_EQ(0, view->create()) << view->get_status_msg();
    view.reset();
    korva().journal().clear();

    // The exit hook's view knows only the storage; the tag comes from the
    // view that was started.
    auto bare = stg_view();
    EXPECT_EQ(0, bare->cleanup());
    auto lines = journal();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ((std::vector<std::string>{"unregister_view", TAG}), lines[0]);
    EXPECT_FALSE(korva().registry().view(TAG).has_value());

    // The kernel's own status comes back unmapped.
    ASSERT_EQ(0, korva().injector().add("unregister_view", "1008"));
    EXPECT_EQ(1008, bare->cleanup());
}

TEST_F(LibViewCleanup, UnregisterOnceUnregistersWhatThisObjectRegisteredOnce) {
    auto view = new_view();
    ASSERT_EQ(0, view->create()) << view->get_status_msg();
    korva().journal().clear();
    // A refused unregistration leaves the view registered for the next try.
    ASSERT_EQ(0, korva().injector().add("unregister_view", "1008"));
    EXPECT_EQ(1008, view->unregister_once());
    EXPECT_TRUE(view->is_registered());

    // Whoever ends the view at the same time: one unregistration in all.
    std::vector<int> results(4, -1);
    std::vector<std::thread> enders;
    for (int& result : results) enders.emplace_back([&] { result = view->unregister_once(); });
    for (std::thread& ender : enders) ender.join();
    EXPECT_EQ(std::vector<int>(4, 0), results);
    EXPECT_FALSE(view->is_registered());
    EXPECT_EQ(0, view->unregister_once());
    auto lines = journal();
    ASSERT_EQ(2u, lines.size());
    for (const auto& line : lines) EXPECT_EQ((std::vector<std::string>{"unregister_view", TAG}), line);
}

TEST_F(LibViewCleanup, WithoutAnyViewTagNothingIsUnregistered) {
    // The process-wide tag must never have been set: run in a fresh process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto view = stg_view();
            int status = view->cleanup();
            std::_Exit(status == 1001 && journal().empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------
// view root

TEST_F(LibViewRoot, RootAndPathsRelativeToIt) {
    auto view = new_view();
    const std::string root = korva_root + "/view/" + TAG;
    EXPECT_EQ(root, view->get_view_root());
    const struct {
        std::string path;
        std::string stripped;
    } cases[] = {
        {root, ""},
        {root + "/vobs/src/main.c", "/vobs/src/main.c"},
        {root + "/", "/"},
        {"/elsewhere/vobs/x", "/elsewhere/vobs/x"},
        {root + "2/vobs/x", root + "2/vobs/x"},          // another view's root
        {root + "2" + root + "/x", "/x"},                 // the first match at a boundary
        {"relative/path", "relative/path"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.stripped, view->strip_view_root(c.path)) << c.path;
    EXPECT_TRUE(view->is_view_root(root));
    EXPECT_FALSE(view->is_view_root(root + "/"));
    EXPECT_FALSE(view->is_view_root(korva_root + "/view"));
}

TEST_F(LibViewRoot, FailedRootQueryIsAskedAgain) {
    auto view = new_view();
    ASSERT_EQ(0, korva().injector().add("view_root", "1008"));
    EXPECT_EQ(std::string("/") + TAG, view->get_view_root());
    EXPECT_EQ(korva_root + "/view/" + TAG, view->get_view_root());
    // Now remembered: the kernel is not asked again.
    size_t queries = journal().size();
    EXPECT_EQ(korva_root + "/view/" + TAG, view->get_view_root());
    EXPECT_EQ(queries, journal().size());
}

TEST_F(LibViewRoot, TextModeInCanonicalForm) {
    const struct {
        const char* stored;
        const char* canonical;
    } cases[] = {{"transparent", "transparent"}, {"INSERT_CR", "insert_cr"}, {"Strip_CR", "strip_cr"},
                 {"binary", ""}, {"", ""}};
    for (const auto& c : cases) {
        std::unique_ptr<OstrelAgent_View> view(
            OstrelAgent_View::get_view_from_list(storage, cache, UUID, TAG, c.stored, "automatic", 0));
        EXPECT_EQ(c.canonical, view->get_view_textmode()) << c.stored;
    }
}

} // namespace
