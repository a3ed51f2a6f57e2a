// Load and SetCache as a client sees them: Load answers a well-formed
// request with 0 and refuses paths that are relative or leave the view;
// SetCache resizes the view's caches within their limits, records the size
// in the view's metadata file, and the next start of the view keeps it.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "agent_fixture.h"
#include "pipe_client.h"

namespace e2e {
namespace {

using E2eLoadCache = AgentTest;

std::string load(const std::string& path, const std::string& flags = "hijack-treatment=\"keep\"") {
    return make_request("Load", "l", "<path>" + path + "</path><load-flags " + flags + "/>");
}

std::string set_cache(const std::string& value) {
    return make_request("SetCache", "s", "<cache-size value=\"" + value + "\"/>");
}

TEST_F(E2eLoadCache, LoadChecksItsRequest) {
    std::unique_ptr<Process> agent = serve_new_view("l");
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage("l"), "tool");
    ASSERT_TRUE(client);

    struct Case {
        std::string request;
        const char* status;
    };
    const Case cases[] = {
        {load("/vobs/a/dir/x.c"), "0"},
        {load("/vobs/a", "hijack-treatment=\"rename\" ptime=\"true\""), "0"},
        {load("vobs/a/x.c"), "20021"},
        {load("/vobs/a/../../../tag-other/x.c"), "20021"},
        {load("/vobs/a", "hijack-treatment=\"discard\""), "20021"},
        {make_request("Load", "l", "<load-flags hijack-treatment=\"keep\"/>"), "20021"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        lib_test::Reply reply = client->call(c.request);
        ASSERT_TRUE(reply.parsed);
        EXPECT_EQ(reply.root, "Load");
        EXPECT_EQ(reply.attrs["tx-id"], "l");
        EXPECT_EQ(reply.attrs["status-code"], c.status);
        if (std::string(c.status) == "0") {
            EXPECT_FALSE(reply.has_child("status-message"));
        } else {
            EXPECT_NE(reply.children["status-message"].find("Parse error in \""), std::string::npos)
                << reply.children["status-message"];
        }
    }
    EXPECT_EQ(client->call(make_request("EndView", "e")).attrs["status-code"], "0");
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
}

TEST_F(E2eLoadCache, SetCacheKeepsItsLimitsAndItsSizeAcrossARestart) {
    std::unique_ptr<Process> agent = serve_new_view("c");
    const std::string metadata = storage("c") + "/.ostrel";
    ASSERT_NE(read_file(metadata).find("\ncache-size=4194304\n"), std::string::npos) << read_file(metadata);
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage("c"), "tool");
    ASSERT_TRUE(client);

    struct Case {
        const char* value;
        const char* status;
        const char* message;  // the start of the status message; null: none
        const char* recorded; // the size in the metadata file afterwards
    };
    const Case cases[] = {
        {"16777216", "0", nullptr, "16777216"},
        {"4194303", "20001", "Unable to set cache size to 4194303: minimum size is 4194304\n", "16777216"},
        // Beyond 32 bits: refused, not cut to 1.
        {"4294967297", "20021", "Parse error in \"", "16777216"},
        {"", "20021", "Parse error in \"", "16777216"},
        {"lots", "20021", "Parse error in \"", "16777216"},
        {"33554432", "0", nullptr, "33554432"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        lib_test::Reply reply = client->call(set_cache(c.value));
        ASSERT_TRUE(reply.parsed);
        EXPECT_EQ(reply.root, "SetCache");
        EXPECT_EQ(reply.attrs["tx-id"], "s");
        EXPECT_EQ(reply.attrs["status-code"], c.status);
        EXPECT_EQ(reply.has_child("status-message"), c.message != nullptr);
        if (c.message != nullptr) {
            EXPECT_EQ(reply.children["status-message"].rfind(c.message, 0), 0u) << reply.children["status-message"];
        }
        EXPECT_NE(read_file(metadata).find(std::string("\ncache-size=") + c.recorded + "\n"), std::string::npos)
            << read_file(metadata);
    }
    EXPECT_EQ(client->call(make_request("EndView", "e")).attrs["status-code"], "0");
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));

    // The next start reads the recorded size and keeps it.
    std::unique_ptr<Process> again = start_with_request(storage("c"), startview_request());
    const std::optional<std::string> started = again->read_framed_reply();
    ASSERT_TRUE(started.has_value());
    EXPECT_EQ(lib_test::read_reply(*started).attrs["status-code"], "0");
    ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe("c")); }, kStartTimeout));
    client = PipeClient::connect(storage("c"), "tool2");
    ASSERT_TRUE(client);
    EXPECT_NE(read_file(metadata).find("\ncache-size=33554432\n"), std::string::npos) << read_file(metadata);
    EXPECT_EQ(client->call(set_cache("1000")).attrs["status-code"], "20001");
    EXPECT_EQ(client->call(make_request("EndView", "e")).attrs["status-code"], "0");
    EXPECT_EQ(again->wait_exit(), std::optional<int>(0));
    EXPECT_NE(read_file(metadata).find("\ncache-size=33554432\n"), std::string::npos) << read_file(metadata);
}

} // namespace
} // namespace e2e
