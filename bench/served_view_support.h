#pragma once
// A view for the benchmarks that run the real daemon: made by its first
// request (MkView against the test server) and the server's VOB mounted in
// it. Fails the benchmark when a step fails.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "bench/bench_support.h"
#include "e2e/fuse_view.h"
#include "e2e/pipe_client.h"
#include "fakeserver/fake_server.h"

namespace bench {

// The last 4 KiB of a file, or "" when its size is not `bytes`: what a
// benchmark compares to check that a large file was copied whole.
inline std::string tail_of(const std::string& path, size_t bytes) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || static_cast<size_t>(st.st_size) != bytes) return "";
    const size_t tail = std::min<size_t>(bytes, 4096);
    std::string text(tail, '\0');
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    const ssize_t n = ::pread(fd, &text[0], tail, static_cast<off_t>(bytes - tail));
    ::close(fd);
    return n == static_cast<ssize_t>(tail) ? text : "";
}

// Where a benchmark that serves a view works, under its directory `work`:
// the daemon's HOME, KORVA_ROOT and storage, and a plain directory for the
// same work done without the view (the home, the kernel's root and the
// plain directory made).
struct Served_Places {
    explicit Served_Places(const std::string& work)
        : home(work + "/home"), korva_root(work + "/korva"), storage(work + "/view.vws"), plain(work + "/plain") {
        for (const std::string& dir : {home, korva_root, plain}) ::mkdir(dir.c_str(), 0700);
        setenv("NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR, 1);
    }
    // The environment of the daemon and of korva_fuse.
    std::map<std::string, std::string> env() const {
        return {{"HOME", home},
                {"KORVA_ROOT", korva_root},
                {"NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR},
                {"NORVANE_HOST_CONFIG_DIR", fakeserver::certificates().dir}};
    }
    // The daemon trusts the test server: its CA as the common keystore.
    void trust_test_server() const {
        e2e::write_file(home + "/.keystore_norvane_ostrel.pem", e2e::read_file(fakeserver::certificates().ca));
    }

    std::string home, korva_root, storage, plain;
};

// The test server's scenario for a view that mounts `vob`: the account
// "u"/"p", the VOB's names and an element rule for the config spec.
inline std::string served_vob_scenario(const e2e::Vob& vob) {
    return R"({"accounts": [{"credentials": "u:p", "jsessionid": "J1", "session": "S1"}], "rules": [)" +
           e2e::served_vob_rules(vob) +
           R"(, {"match": {"rpc": "Ostrel_Norvane::getconfigspec_rpc"}, "reply": {"parts": [)"
           R"({"id": "CspecElementRules", "body_text": "element * /main/LATEST"}]}}]})";
}

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

// A view served for a benchmark under `work`: the places above, the test
// server with `vob`'s names, the daemon on a new storage (MkView, the VOB
// mounted) and the client connection that mounted it. A step that fails
// fails the benchmark. The daemon is told to end when the object goes.
class Served_View : public Served_Places {
public:
    Served_View(const std::string& work, const e2e::Vob& vob)
        : Served_Places(work), server(served_vob_scenario(vob)), agent(OSTREL_AGENT_PATH, {storage}, env()) {
        if (!server.ok()) fail("the test server did not start: " + server.error());
        trust_test_server();
        client = make_view_with_vob(agent, storage, work, server.url(""), vob);
    }
    ~Served_View() {
        agent.signal_child(SIGTERM);
        agent.wait_exit();
    }
    Served_View(const Served_View&) = delete;
    Served_View& operator=(const Served_View&) = delete;

    fakeserver::Fake_Server server;
    e2e::Process agent;
    std::unique_ptr<e2e::PipeClient> client;
};

}  // namespace bench
