// A view update applied end to end by the real daemon (the server's stream
// read, every object written to the view database and the caches, a line
// per object in the update log) beside the raw transfer of the same stream
// with the curl command, on the same test server over TLS on loopback.
// The objects are symbolic links, so that no cleartext fetch comes into the
// figure. Each side runs three times, the two alternating (curl, then a
// new view's update, ...), and the best of each counts; each update is
// checked: its log says it succeeded and names every object. Memory: the
// serving daemon's peak resident size after a short update (a tenth of the
// objects) and after the long one, in the first run.
//
//   view_update_bench [DIR [OBJECTS]]   files under DIR (default $TMPDIR or
//                                       /tmp); 100000 objects

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "bench/bench_support.h"
#include "bench/served_view_support.h"
#include "e2e/fuse_view.h"
#include "e2e/pipe_client.h"
#include "fakeserver/fake_server.h"

namespace {

using e2e::Process;

const char* const SYNC_RPC = "Ostrel_Norvane::syncfetch_rpc";
const char* const AUTO_SCOPE = "f0cf3574-a895-e311-0000-000000000000";
constexpr unsigned ROOT_ELEMENT = 0xfffffff0;

std::string oid(unsigned n) {
    char text[40];
    std::snprintf(text, sizeof text, "0e000000-0000-4000-8000-%012x", n);
    return text;
}

// The update from view generation `gn`: the VOB's root, then `objects`
// symbolic links in it, the first numbered `first`.
std::string update_rule(const e2e::Vob& vob, unsigned gn, unsigned first, unsigned objects) {
    const std::string next = std::to_string(gn + 1);
    const std::string dir = R"({"fstat": {"type": 2, "mode": 493, "nlink": 2}, "mtype": )";
    return R"({"match": {"rpc": ")" + std::string(SYNC_RPC) + R"(", "args": {"ViewGn": ")" + std::to_string(gn) +
           R"("}}, "reply": {"stream": [{"begin": )" + next + R"(}, {"scope": {"scope_oid": ")" + AUTO_SCOPE +
           R"(", "gn": )" + next + R"(}}, {"vob": {"replica": ")" + vob.replica + R"(", "family": ")" + vob.family +
           R"("}}, {"elem": {"path": ")" + vob.tag + R"(", "parent": ")" + vob.family + R"(", "replica": ")" +
           vob.replica + R"(", "oid": ")" + oid(ROOT_ELEMENT + 1) + R"(", "cur": "/main/1", "obj": )" + dir +
           R"(3, "obj_oid": ")" + oid(ROOT_ELEMENT + 1) + R"(", "elem_oid": ")" + oid(ROOT_ELEMENT) +
           R"("}, "elem": )" + dir + R"(2, "obj_oid": ")" + oid(ROOT_ELEMENT) + R"(", "elem_oid": ")" +
           oid(ROOT_ELEMENT) + R"("}}}, {"repeat": )" + std::to_string(objects) + R"(, "from": )" +
           std::to_string(first) + R"(, "stream": [{"elem": {"path": ")" + vob.tag + R"(/link{i}", "parent": ")" +
           oid(ROOT_ELEMENT) + R"(", "replica": ")" + vob.replica +
           R"(", "oid": "0e000000-0000-4000-8000-{i:012x}", "cur": "/main/1", "obj": {"fstat": {"type": 5, "mode": 511, "nlink": 1},
              "mtype": 7, "obj_oid": "0e000000-0000-4000-8000-{i:012x}", "elem_oid": "0e000000-0000-4000-8000-{i:012x}",
              "link_text": "target{i}"}}}]},
           {"end": "vob"}, {"end": "scope"}, {"end": "operation"}]}})";
}

long peak_rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

constexpr int RUNS = 3;

// The end of a file: its last `bytes` bytes at most.
std::string tail_of(const std::string& path, size_t bytes) {
    FILE* f = std::fopen(path.c_str(), "re");
    if (f == nullptr) return "";
    std::string text(bytes, '\0');
    if (std::fseek(f, 0, SEEK_END) == 0) {
        const long size = std::ftell(f);
        std::fseek(f, size > static_cast<long>(bytes) ? size - static_cast<long>(bytes) : 0, SEEK_SET);
    }
    text.resize(std::fread(&text[0], 1, bytes, f));
    std::fclose(f);
    return text;
}

// Runs an update: the seconds from the Update request to its log's tail.
// Fails the benchmark unless the log says it succeeded and has a "New:"
// line for each of `objects` new objects (and the VOB's root).
double update_seconds(e2e::PipeClient& client, unsigned objects) {
    std::string log;
    const double seconds = bench::seconds_of([&] {
        const lib_test::Reply reply = client.call(e2e::make_request("Update", "u"));
        if (reply.attrs.count("status-code") == 0 || reply.attrs.at("status-code") != "0")
            bench::fail("Update refused");
        log = reply.children.at("log-file");
        // The tail is looked for at the file's end: reading a long log
        // whole while it grows would take the machine from the daemon.
        while (tail_of(log, 4096).find("Cancelled:") == std::string::npos) ::usleep(1000);
    });
    const std::string text = e2e::read_file(log);
    size_t added = 0;
    for (size_t at = text.find("\nNew:"); at != std::string::npos; at = text.find("\nNew:", at + 1)) ++added;
    if (text.find("\nStatus:") == std::string::npos ||
        text.find("Succeeded", text.find("\nStatus:")) == std::string::npos)
        bench::fail("the update failed: " + tail_of(log, 2000));
    if (added < objects) bench::fail("the update's log names " + std::to_string(added) + " new objects, not " +
                                     std::to_string(objects));
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string work = bench::make_dir(bench::base_dir(argc, argv), "view_update_bench");
    const unsigned objects = argc > 2 ? static_cast<unsigned>(std::atol(argv[2])) : 100000;
    // The short update, a tenth as long, gives the memory's base line.
    const unsigned short_update = std::max(1u, objects / 10);
    const std::string home = work + "/home", korva_root = work + "/korva", storage = work + "/view.vws";
    for (const std::string& dir : {home, korva_root}) ::mkdir(dir.c_str(), 0700);
    const e2e::Vob vob;
    const fakeserver::Certificates& certs = fakeserver::certificates();
    if (certs.dir.empty()) bench::fail(certs.error);
    std::map<std::string, std::string> env = {{"HOME", home},
                                              {"KORVA_ROOT", korva_root},
                                              {"NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR},
                                              {"NORVANE_HOST_CONFIG_DIR", certs.dir}};
    int status = 0;
    {
        fakeserver::Fake_Server::Options options;
        options.start_timeout = std::chrono::milliseconds(300000);
        fakeserver::Fake_Server server(
            R"({"rules": [)" + e2e::vobinfo_rule(vob) +
                R"(, {"match": {"rpc": "Ostrel_Norvane::getconfigspec_rpc"}, "reply": {"parts": [)"
                R"({"id": "CspecElementRules", "body_text": "element * /main/LATEST"}]}}, )" +
                update_rule(vob, 1, 0, short_update) + ", " + update_rule(vob, 2, short_update, objects) + "]}",
            options);
        if (!server.ok()) bench::fail("the test server did not start: " + server.error());
        e2e::write_file(home + "/.keystore_norvane_ostrel.pem", e2e::read_file(certs.ca));

        // The long update's bytes, as curl receives them.
        const std::string stream_file = work + "/stream";
        const std::string curl = "curl -s --fail --cacert '" + certs.ca + "' -o '" + stream_file + "' -F rpc=" +
                                 SYNC_RPC + " -F 'rpcargs=ViewGn=2' '" + server.url() + "'";
        double raw = 1e30, applied = 1e30;
        long rss_short = 0, rss_long = 0;
        for (int run = 0; run < RUNS; ++run) {
            int rc = 0;
            raw = std::min(raw, bench::seconds_of([&] { rc = std::system(curl.c_str()); }));
            if (rc != 0) bench::fail("curl failed");

            // A new view each time, so that each run does the same work.
            const std::string storage = work + "/view" + std::to_string(run) + ".vws";
            Process agent(OSTREL_AGENT_PATH, {storage}, env);
            std::unique_ptr<e2e::PipeClient> client =
                bench::make_view_with_vob(agent, storage, work, server.url(""), vob);
            const std::optional<pid_t> daemon = agent.child_pid();
            if (!daemon) bench::fail("no serving daemon");
            update_seconds(*client, short_update);
            if (run == 0) rss_short = peak_rss_kib(*daemon);
            applied = std::min(applied, update_seconds(*client, objects));
            if (run == 0) rss_long = peak_rss_kib(*daemon);
            if (client->call(e2e::make_request("EndView", "end")).attrs["status-code"] != "0") status = 1;
            client.reset();
            if (agent.wait_exit() != std::optional<int>(0)) status = 1;
        }
        struct stat st{};
        ::stat(stream_file.c_str(), &st);

        std::printf("view update applied end to end beside curl on the same stream (best of %d runs each)\n\n",
                    RUNS);
        std::printf("update of %u objects (%.1f MiB of reply)\n", objects, st.st_size / 1048576.0);
        std::printf("  %-44s %10.3f s  %12.0f objects/s\n", "daemon: stream, view database, log", applied,
                    objects / applied);
        std::printf("  %-44s %10.3f s  %12.0f objects/s\n", "curl: the same bytes to a file", raw, objects / raw);
        std::printf("  %-44s %10.2f\n", "ratio daemon / curl", applied / raw);
        std::printf("  %-44s %10.3f s\n", "curl's start-up (within its time)",
                    bench::startup_seconds("curl --version > /dev/null"));
        std::printf("  %-44s %7ld KiB after %u objects, %ld KiB after %u more\n", "daemon's peak resident size",
                    rss_short, short_update, rss_long, objects);
        std::printf("  %-44s %10.2f\n\n", "ratio peak long / short", static_cast<double>(rss_long) / rss_short);
        bench::print_goal("view update, objects/s", objects / applied, ">=", 50000);
        bench::print_goal("view update, daemon / curl", applied / raw, "<=", 3.0);
    }
    bench::remove_dir(work);
    return status;
}
