#pragma once
// A view for the benchmarks that run the real daemon: made by its first
// request (MkView against the test server) and the server's VOB mounted in
// it. Fails the benchmark when a step fails.

#include <memory>
#include <optional>
#include <string>

#include "bench/bench_support.h"
#include "e2e/fuse_view.h"
#include "e2e/pipe_client.h"

namespace bench {

// The status code of the first request to a daemon just started, given on
// its standard input.
inline std::string first_request(e2e::Process& agent, const std::string& request) {
    agent.write_stdin(std::to_string(request.size()) + "\n" + request + "\n");
    agent.close_stdin();
    std::optional<std::string> reply = agent.read_framed_reply();
    if (!reply) fail("no reply from the daemon: " + agent.stderr_text(e2e::Millis(0)));
    return lib_test::read_reply(*reply).attrs["status-code"];
}

// Makes the view of `agent` (started on a new storage; its cleartext cache
// under `work`) on the server at `server_url` and mounts `vob`; the client
// connection that mounted it.
inline std::unique_ptr<e2e::PipeClient> make_view_with_vob(e2e::Process& agent, const std::string& storage,
                                                           const std::string& work, const std::string& server_url,
                                                           const e2e::Vob& vob) {
    const std::string mkview =
        "<MkView version=\"1\"><view-uuid>0b0b0b0b-0000-4000-8000-00000000000b</view-uuid>"
        "<view-type>automatic</view-type><cltxt-cache-dir>" + work + "/cache</cltxt-cache-dir>"
        "<server-tag>bench</server-tag><text-mode>transparent</text-mode><server><server-url>" + server_url +
        "</server-url><username>u</username><password>p</password></server></MkView>";
    if (first_request(agent, mkview) != "0") fail("MkView failed");
    std::unique_ptr<e2e::PipeClient> client = e2e::PipeClient::connect(storage, "bench", e2e::kStartTimeout);
    if (!client) fail("no connection to the daemon");
    if (client->call(e2e::make_request("MountVob", "m", "<vob-tag mount-state=\"true\">" + vob.tag + "</vob-tag>"))
            .attrs["status-code"] != "0")
        fail("MountVob failed");
    return client;
}

}  // namespace bench
