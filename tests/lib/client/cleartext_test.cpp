// The cleartext fetch against the test server over TLS on loopback: a large
// version's contents land in their file byte for byte while the reply is
// never held whole, and every way a fetch can end is either a whole file
// that the command reports fetched or a failure, so that a caller that
// writes to a temporary name and renames it into place only on success
// never shows a file that looks complete and is not.

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/client/rclient_get_cleartext.h"
#include "lib/client/server_fixture.h"
#include "lib/core/ostrelagent_status.h"

namespace {

using client_test::scenario;
using fakeserver::header_lines;
using fakeserver::Json;
using Lines = std::vector<std::string>;
namespace S = OstrelAgent_Status;

const char* const VOB = "0b0b0b0b-0000-4000-8000-00000000000b";

std::string sha256(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    char buf[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", digest[i]);
        hex += buf;
    }
    return hex;
}

std::string random_bytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator());
    return bytes;
}

class CleartextTest : public client_test::Command_Test {
protected:
    void SetUp() override {
        Command_Test::SetUp();
        versions = home.path() + "/versions";
        cache = home.path() + "/cache";
        ASSERT_EQ(mkdir(versions.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((versions + "/" + VOB).c_str(), 0700), 0);
        ASSERT_EQ(mkdir(cache.c_str(), 0700), 0);
    }

    // The server's contents of version `version`, in text mode "unix".
    void add_version(const std::string& version, const std::string& contents) {
        const std::string dir = versions + "/" + VOB + "/" + version;
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        lib_test::write_file(dir + "/unix", contents);
    }

    static std::string suffix(const std::string& version) {
        return "/cltxt/" + std::string(VOB) + "/" + version + "/unix";
    }

    std::string with_versions(const std::string& rules) {
        std::string json = scenario(rules);
        return R"({"cleartext_dir": ")" + versions + R"(", )" + json.substr(1);
    }

    // What the caller of the fetch does: the contents go to a temporary
    // name, renamed to `name` in the cache only when the command reports
    // them whole, removed otherwise.
    struct Fetched {
        int call_status = 0;
        Checked checked{};
        int write_failure = 0;
        bool temporary_written = false; // the command created its file
        std::string temporary;          // what it held before the caller's step
        bool kept = false;
    };
    Fetched fetch(const std::string& version, const std::string& name, const std::string& dir = "") {
        Fetched f;
        const std::string temporary = (dir.empty() ? cache : dir) + "/.tmp." + name;
        Get_ClearText command(suffix(version), temporary);
        f.call_status = command.run();
        f.checked = check(command);
        f.write_failure = command.get_write_failure();
        high_water = command.get_response_high_water();
        f.temporary_written = lib_test::exists(temporary);
        f.temporary = lib_test::read_file(temporary);
        if (f.checked.result == 0 && f.write_failure == 0) {
            f.kept = ::rename(temporary.c_str(), (cache + "/" + name).c_str()) == 0;
        } else {
            ::remove(temporary.c_str());
        }
        return f;
    }

    std::string versions;
    std::string cache;
    uint64_t high_water = 0;
};

TEST_F(CleartextTest, TenMegabytesLandWholeInTheirFile) {
    const std::string contents = random_bytes(10 * 1024 * 1024, 25);
    const std::string version = "0c000000-0000-4000-8000-000000000001";
    add_version(version, contents);
    start_server(with_versions(""));
    ASSERT_EQ(login(), 0);
    Fetched f = fetch(version, "big");
    EXPECT_EQ(f.call_status, 0) << f.checked.message;
    EXPECT_EQ(f.checked.result, 0);
    EXPECT_EQ(f.write_failure, 0);
    ASSERT_TRUE(f.kept);
    EXPECT_EQ(sha256(lib_test::read_file(cache + "/big")), sha256(contents));
    EXPECT_LT(high_water, 256u * 1024) << "the reply is never held whole";

    // A GET of the session URL and the suffix, joined with nothing between.
    Json request = server->requests().back();
    EXPECT_EQ(request["method"].as_string(), "GET");
    EXPECT_EQ(request["path"].as_string(), "/ostrel" + suffix(version));
    EXPECT_EQ(request["auth"].as_string(), "cookie");
    EXPECT_EQ(header_lines(request, "x-quelfo-rpc-name"), Lines{});
    EXPECT_TRUE(request["form"].items().empty());
}

TEST_F(CleartextTest, OnlyAWholeFetchLeavesAFile) {
    // Contents that hold what looks like the reply's own lines.
    const std::string small = "line\r\n--fakeserver-boundary\r\nContent-ID: Status\r\n--fakeserver-boundary--\r\nend";
    const std::string large = random_bytes(200000, 7);
    const std::string data_then(R"({"parts": [{"id": "SyncElemData", "body_text": "data"}], "status": )");
    // What the command's file held: nothing, less than the contents, the
    // contents, something else.
    enum Left { NONE, PART, WHOLE, OTHER };
    const struct {
        const char* version;
        std::string contents;  // what the server sends of them
        bool from_file;        // the server's file of the version
        std::string rule;      // for the version's path; empty: the built-in answer
        int call_status;
        int check;
        const char* message;
        Left left;
    } cases[] = {
        {"whole", small, true, "", 0, 0, "", WHOLE},
        {"in-one-byte-pieces", small, true, R"("fault": {"chunk": 1}, "reply": {"cleartext": true})", 0, 0, "", WHOLE},
        {"in-pieces-split-at-each-line", large, true,
         R"("fault": {"chunk": 977, "split_crlf": true}, "reply": {"cleartext": true})", 0, 0, "", WHOLE},
        {"empty", "", false, R"("reply": {"parts": [{"id": "SyncElemData", "body_text": ""}]})", 0, 0, "", WHOLE},
        {"refused-by-the-status", "data", false, R"("reply": )" + data_then + R"({"code": 9, "message": "nine"}})", 0,
         S::RPC_SERVER_FAILURE, "nine", WHOLE},
        {"no-contents-though-the-status-says-0", "", false, R"("reply": {})", S::RC_BAD_REPLY_ITEM,
         S::RPC_INCOMPLETE, "Unable to complete RPC to WAN server.", NONE},
        {"no-such-version", "", false, "", S::RC_NOT_FOUND, S::RPC_INCOMPLETE,
         "Unable to complete RPC to WAN server.\nno such version\nNot found.\n", NONE},
        {"a-message-in-one-byte-pieces", "", false,
         R"("fault": {"chunk": 1}, "reply": {"status": {"code": 2, "message": "no such\r\nversion"}})", 0,
         S::RPC_SERVER_FAILURE, "no such\r\nversion", NONE},
        // The body is read whatever the HTTP status: here it holds contents.
        {"server-failure", large, true, R"("fault": {"http": 500}, "reply": {"cleartext": true})", S::RC_HTTP_STATUS,
         S::RPC_INCOMPLETE, "Unable to complete RPC to WAN server.\nStatus code from RPC = 500", WHOLE},
        {"cut-inside-the-contents", large, true, R"("fault": {"drop_after": 100000}, "reply": {"cleartext": true})",
         S::RC_PREMATURE_EOF, S::RPC_INCOMPLETE, "Unable to complete RPC to WAN server. The WAN server's reply was cut short.\n", PART},
        // No status: the server's outcome is unknown, and the reply says so.
        {"cut-inside-the-status", large, true, R"("fault": {"drop_after": 200180}, "reply": {"cleartext": true})",
         S::RC_PREMATURE_EOF, S::RPC_INCOMPLETE, "Unable to complete RPC to WAN server. The WAN server's reply was cut short.\n", WHOLE},
        // Announced beyond 32 bits: the rest of the reply is taken for
        // contents, and what is missing is not taken for whole.
        {"a-length-beyond-32-bits", "ab", false,
         R"("reply": {"parts": [{"id": "SyncElemData", "items": {"Content-Length": "4294967297"}, "body_text": "ab"}]})",
         S::RC_PREMATURE_EOF, S::RPC_INCOMPLETE, "Unable to complete RPC to WAN server. The WAN server's reply was cut short.\n", OTHER},
    };
    std::string rules;
    for (const auto& c : cases) {
        if (c.from_file) add_version(c.version, c.contents);
        if (!c.rule.empty())
            rules += std::string(rules.empty() ? "" : ",") + R"({"match": {"path": ")" + suffix(c.version) + R"("}, )" +
                     c.rule + "}";
    }
    start_server(with_versions(rules));
    ASSERT_EQ(login(), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        Fetched f = fetch(c.version, c.version);
        EXPECT_EQ(f.call_status, c.call_status);
        EXPECT_EQ(f.checked.result, c.check);
        EXPECT_EQ(f.checked.message, c.message);
        EXPECT_EQ(f.write_failure, 0);
        EXPECT_EQ(f.temporary_written, c.left != NONE);
        if (c.left == WHOLE) {
            EXPECT_EQ(f.temporary, c.contents);
        } else if (c.left == PART) {
            EXPECT_LT(f.temporary.size(), c.contents.size());
        }
        EXPECT_EQ(f.kept, c.check == 0);
        if (c.check == 0) {
            EXPECT_EQ(lib_test::read_file(cache + "/" + c.version), c.contents);
        }
        EXPECT_EQ(lib_test::exists(cache + "/" + c.version), c.check == 0);
    }

    // A file that cannot be made: the reply is read all the same, and the
    // failure is the command's flag.
    Fetched f = fetch("whole", "nowhere", home.path() + "/no/such/dir");
    EXPECT_EQ(f.call_status, 0);
    EXPECT_EQ(f.checked.result, 0);
    EXPECT_EQ(f.write_failure, 1);
    EXPECT_FALSE(f.kept);
    EXPECT_FALSE(lib_test::exists(cache + "/nowhere"));
}

} // namespace
