// The server passwords that requests carry: traced at the most detailed
// level, answered in error replies, sent on standard input and through the
// request channel, they never reach a file the daemon writes, and its trace
// files are readable by their owner only.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "agent_fixture.h"
#include "pipe_client.h"

namespace e2e {
namespace {

using E2eCredentials = AgentTest;

const char* const kPassword = "Sesame-7f3a";
const char* const kProxyPassword = "Tunnel-9b1c";
const std::vector<std::string> kEveryTrace = {
    "-trace_level", "4", "-trace_subsystem",
    "OSTRELAGENT:OSTRELAGENT_DB:OSTRELAGENT_KORVA:RCLIENT"};

// The server element of a request to `url`, with both passwords.
std::string server_with_passwords(const std::string& url) {
    return "<server><server-url>" + url + "</server-url><username>u</username><password>" +
           kPassword +
           "</password><proxy-host>proxy.invalid</proxy-host><proxy-port>8080</proxy-port>"
           "<proxy-username>pu</proxy-username><proxy-password>" +
           kProxyPassword + "</proxy-password></server>";
}

// Every regular file below `root` that holds `text`.
std::vector<std::string> files_holding(const std::string& root, const std::string& text) {
    std::vector<std::string> found;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(root, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file() && read_file(it->path()).find(text) != std::string::npos)
            found.push_back(it->path());
    }
    EXPECT_FALSE(error) << error.message();
    return found;
}

TEST_F(E2eCredentials, PasswordsReachNoFileAndTracesAreTheOwnersAlone) {
    // The view logs in with the password, so the test server's account has it.
    server_password = kPassword;
    const std::string url = server().url("");
    // A first request that is not a document: its error reply echoes it.
    std::unique_ptr<Process> refused = start_with_request(
        storage("bad"), "<MkView version=\"1\">" + server_with_passwords(url), kEveryTrace);
    const std::optional<std::string> refusal = refused->read_framed_reply();
    ASSERT_TRUE(refusal.has_value());
    const std::string echoed = lib_test::read_reply(*refusal).children["status-message"];
    EXPECT_NE(echoed.find("<password>***</password>"), std::string::npos) << *refusal;
    EXPECT_NE(echoed.find("<proxy-password>***</proxy-password>"), std::string::npos) << *refusal;
    EXPECT_EQ(refused->wait_exit(), std::optional<int>(2));

    // A view made with both passwords, traced in every subsystem.
    std::string request = mkview_request("p");
    const size_t server = request.find("<server>");
    request.replace(server, request.find("</server>") + 9 - server, server_with_passwords(url));
    std::unique_ptr<Process> agent = start_with_request(storage("p"), request, kEveryTrace);
    const std::optional<std::string> reply = agent->read_framed_reply();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(lib_test::read_reply(*reply).attrs["status-code"], "0") << *reply;
    ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe("p")); }, kStartTimeout));

    // Through the channel: a refused StartView and a request that is not a
    // document, both echoed or traced.
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage("p"), "tool");
    ASSERT_TRUE(client);
    const std::vector<std::string> requests = {
        make_request("StartView", "", server_with_passwords(url)),
        "<Frob tx-id=\"8\">" + server_with_passwords(url),
    };
    for (const std::string& channel_request : requests) {
        ASSERT_TRUE(client->send(channel_request));
        const std::optional<std::string> answer = client->read_reply();
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(answer->find(kPassword), std::string::npos) << *answer;
        EXPECT_EQ(answer->find(kProxyPassword), std::string::npos) << *answer;
    }
    client.reset();
    ASSERT_TRUE(agent->signal_child(SIGTERM));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));

    // The requests were traced, with the passwords masked.
    const std::string traces = all_traces();
    EXPECT_NE(traces.find("<password>***</password>"), std::string::npos);
    EXPECT_NE(traces.find("<proxy-password>***</proxy-password>"), std::string::npos);
    // Nothing under the test's tree holds them: HOME (traces, configuration),
    // the storages (log, metadata, database), the cache, the kernel's files.
    EXPECT_EQ(files_holding(tree.path(), kPassword), std::vector<std::string>{});
    EXPECT_EQ(files_holding(tree.path(), kProxyPassword), std::vector<std::string>{});

    const std::vector<std::string> trace_paths = trace_files();
    EXPECT_EQ(trace_paths.size(), 2u);
    for (const std::string& path : trace_paths) {
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << path;
    }
}

} // namespace
} // namespace e2e
