// The view metadata file ".ostrel": what the reader takes from it, where it
// stops, the cache size it carries, and whole-file rewrites.

#include "lib/view/ostrelagent_view.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/core/ostrelagent_status.h"
#include "lib/ns/ns_cache.h"
#include "lib/view_test_support.h"

namespace {

using lib_test::exists;
using lib_test::list_dir;
using lib_test::write_file;
using view_test::UUID;

class LibViewMetadata : public view_test::ViewTest {
protected:
    void SetUp() override {
        ViewTest::SetUp();
        ASSERT_EQ(0, mkdir((home.path() + "/views").c_str(), 0700));
        ASSERT_EQ(0, mkdir(storage.c_str(), 0700));
    }
    // A view read from `text`.
    std::unique_ptr<OstrelAgent_View> read(const std::string& text, int validate, int* status) {
        write_file(storage + "/.ostrel", text);
        auto view = stg_view();
        *status = view->read_metadata_file(validate);
        return view;
    }
};

TEST_F(LibViewMetadata, WhatTheReaderTakes) {
    const std::string uuid_line = std::string("view-uuid=") + UUID + "\n";
    const struct {
        const char* what;
        std::string text;
        const char* tag;
        const char* type;
        int preserve;
        unsigned cache_size;
    } cases[] = {
        {"clean file", uuid_line + "server-tag=t1\nview-type=automatic\npreserve-vob-modified-time=true\n"
                                   "cache-size=8388608\n",
         "t1", "automatic", 1, 8388608},
        {"blanks, tabs and CR line ends", " \tview-uuid \t= " + std::string(UUID) + " \r\n\tserver-tag = t1\t\r\n" +
                                              "view-type\t=automatic \r\npreserve-vob-modified-time = true\r\n" +
                                              " cache-size =\t8388608 \r\n",
         "t1", "automatic", 1, 8388608},
        {"only exactly true keeps times", uuid_line + "preserve-vob-modified-time=TRUE\n", "", "", 0, 0},
        {"yes is not true", uuid_line + "preserve-vob-modified-time=yes\n", "", "", 0, 0},
        {"= inside a value stays", uuid_line + "server-tag=a=b\nview-type==x\n", "a=b", "=x", 0, 0},
        {"later line wins", uuid_line + "server-tag=first\nserver-tag=second\n", "second", "", 0, 0},
        {"keys are case-sensitive", uuid_line + "Server-Tag=t1\nVIEW-TYPE=a\n", "", "", 0, 0},
        {"version, URL and unknown keys are ignored",
         "versionid=9.9\n" + uuid_line + "server-url=https://stored.example/x\nflavour=mint\n", "", "", 0, 0},
        {"no version line at all, empty lines skipped", "\n\n" + uuid_line + "\nserver-tag=t1\n\n", "t1", "", 0, 0},
        {"last line without newline", uuid_line + "server-tag=t1", "t1", "", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int status = -1;
        auto view = read(c.text, 0, &status);
        EXPECT_EQ(0, status);
        EXPECT_EQ(UUID, view->get_view_uuid_str());
        EXPECT_EQ(c.tag, view->get_server_tag());
        EXPECT_EQ(c.type, view->get_view_type());
        EXPECT_EQ(c.preserve, view->get_preserve_vob_mtime());
        EXPECT_EQ(c.cache_size, view->get_cache_size());
    }
}

TEST_F(LibViewMetadata, ReadingStopsAtTheFirstBadLine) {
    const struct {
        const char* what;
        const char* bad_line;
        int status;
    } cases[] = {
        {"no =", "just words\n", OstrelAgent_Status::METADATA_PARSE_FAILED},
        {"blanks only", "  \t\n", OstrelAgent_Status::METADATA_PARSE_FAILED},
        {"CR only", "\r\n", OstrelAgent_Status::METADATA_PARSE_FAILED},
        {"bad cache size", "cache-size=12k\n", OstrelAgent_Status::METADATA_PARSE_FAILED},
        {"bad uuid", "view-uuid=0a1b\n", OstrelAgent_Status::INVALID_VIEW_UUID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int status = -1;
        auto view = read(std::string("server-tag=before\n") + c.bad_line + "view-type=after\n", 0, &status);
        EXPECT_EQ(c.status, status);
        EXPECT_EQ("before", view->get_server_tag());
        EXPECT_EQ("", view->get_view_type());
    }
}

TEST_F(LibViewMetadata, MissingFile) {
    auto view = stg_view();
    EXPECT_EQ(OstrelAgent_Status::NO_VIEW, view->read_metadata_file(0));
    EXPECT_EQ(OstrelAgent_Status::NO_VIEW, view->get_view_info());
}

TEST_F(LibViewMetadata, CacheSizeOfTheFileAndOfTheNamespaceCache) {
    // A small recorded size stays in the view; the namespace cache uses its
    // minimum.
    int status = -1;
    ASSERT_EQ(0, ns_cache_set_size(8388608, false));
    auto view = read(std::string("view-uuid=") + UUID + "\ncache-size=1000\n", 0, &status);
    EXPECT_EQ(0, status);
    EXPECT_EQ(1000u, view->get_cache_size());
    EXPECT_EQ(4194304u, view_cache_size);

    // No size recorded: the view keeps 0 and the namespace cache its own size;
    // the next rewrite records the 0.
    ASSERT_EQ(0, ns_cache_set_size(8388608, false));
    view = read(std::string("view-uuid=") + UUID + "\n", 0, &status);
    EXPECT_EQ(0, status);
    EXPECT_EQ(0u, view->get_cache_size());
    EXPECT_EQ(8388608u, view_cache_size);
    ASSERT_EQ(0, view->create_metadata_file());
    EXPECT_NE(std::string::npos, metadata().find("\ncache-size=0\n"));
}

TEST_F(LibViewMetadata, SavedCacheSizeChange) {
    auto view = new_view();
    ASSERT_EQ(0, view->create_metadata_file());
    const std::string before = metadata();

    // Below the minimum: refused, nothing changes.
    std::string message = "earlier. ";
    EXPECT_EQ(OstrelAgent_Status::GENERAL_FAILURE, view->set_cache_size(1000, message, true));
    EXPECT_EQ("earlier. Unable to set cache size to 1000: minimum size is 4194304\n", message);
    EXPECT_EQ(4194304u, view->get_cache_size());
    EXPECT_EQ(before, metadata());

    message.clear();
    EXPECT_EQ(0, view->set_cache_size(16777216, message, true));
    EXPECT_EQ("", message);
    EXPECT_EQ(16777216u, view->get_cache_size());
    EXPECT_EQ(16777216u, view_cache_size);
    EXPECT_EQ(expected_metadata(view_test::URL, 16777216), metadata());

    // The file cannot be replaced: the failure and its text reach the caller.
    ASSERT_EQ(0, unlink((storage + "/.ostrel").c_str()));
    ASSERT_EQ(0, mkdir((storage + "/.ostrel").c_str(), 0700));
    EXPECT_EQ(OstrelAgent_Status::STORAGE_WRITE_FAILED, view->set_cache_size(33554432, message, true));
    EXPECT_EQ("Unable to save cache size to metadata file\n", message);
}

TEST_F(LibViewMetadata, RewriteIsWholeOrNothing) {
    auto view = new_view();
    ASSERT_EQ(0, view->create_metadata_file());
    EXPECT_EQ(expected_metadata(), metadata());
    EXPECT_EQ(std::vector<std::string>{".ostrel"}, list_dir(storage));

    // A rewrite that cannot complete leaves the old file and no temporary
    // file behind.
    ASSERT_EQ(0, rename((storage + "/.ostrel").c_str(), (storage + "/saved").c_str()));
    ASSERT_EQ(0, mkdir((storage + "/.ostrel").c_str(), 0700));
    write_file(storage + "/.ostrel/inside", "x");
    EXPECT_EQ(OstrelAgent_Status::STORAGE_WRITE_FAILED, view->create_metadata_file());
    EXPECT_TRUE(exists(storage + "/.ostrel/inside"));
    auto names = list_dir(storage);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{".ostrel", "saved"}), names);

    // No storage at all.
    storage = home.path() + "/missing.vws";
    auto nowhere = new_view();
    EXPECT_EQ(OstrelAgent_Status::STORAGE_WRITE_FAILED, nowhere->create_metadata_file());
    EXPECT_FALSE(exists(storage));
}

TEST_F(LibViewMetadata, ValueWithNewlineIsNeverWritten) {
    auto view = new_view();
    ASSERT_EQ(0, view->create_metadata_file());
    const std::string before = metadata();
    OstrelAgent_Server::g_server_url = "https://a.example/ostrel\ncache-size=1";
    EXPECT_EQ(OstrelAgent_Status::MALFORMED_REQUEST, view->create_metadata_file());
    EXPECT_EQ(before, metadata());
}

} // namespace
