// The element operations a client tool sends most, beside what a program
// does to the same file:
//
//   - GetMetadata of a file the view holds, over the request pipes, with 1,
//     4 and 16 clients at once (each its own connection, one request after
//     the other): the 50th and 99th percentile of a request's time, beside
//     stat of the same file through the korva_fuse mount and of a file on a
//     plain directory, by as many threads;
//   - Checkout of a file of 1 KiB, 1 MiB and 100 MiB whose checked-out
//     contents the cleartext cache holds (the first Checkout, which fetches
//     them, is shown apart), beside the cp command copying the same cache
//     file to a plain directory and to a new file through the mount.
//
//   element_ops_bench [DIR]   files under DIR (default $TMPDIR or /tmp)
//
// The view is served by the real daemon, its server played by the test
// server serving the end-to-end tests' VOB "/vob1" with three more files;
// korva_fuse mounts it. Every Checkout and copy is checked byte for byte
// against the version's contents (which differ along the file, so that a
// copy cut short, shifted or of another version shows). Goals: GetMetadata's median at most 100 us with
// one client and its 99th percentile with 16 clients at most ten times its
// median there; a Checkout of 100 MiB at most twice cp through the mount.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/served_view_support.h"
#include "e2e/fuse_mount.h"
#include "e2e/pipe_client.h"
#include "e2e/process_harness.h"
#include "e2e/served_vob.h"
#include "fakeserver/fake_server.h"

namespace {

using e2e::Process;
using e2e::Served_Vob;

constexpr int kRounds = 5;
constexpr int kQueriesPerClient = 2000;
constexpr int kStatsPerThread = 20000;
const char* const kTag = "bench";

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
};

Percentiles percentiles(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values[values.size() * 99 / 100]};
}

double median(std::vector<double> values) { return percentiles(std::move(values)).p50; }

std::string scenario(const std::string& versions, const std::string& rules) {
    return R"({"cleartext_dir": ")" + versions +
           R"(", "accounts": [{"credentials": "u:p", "jsessionid": "J1", "session": "S1"}], "rules": [)" + rules +
           R"(, {"match": {"rpc": "Ostrel_Norvane::getconfigspec_rpc"}, "reply": {"parts": [)"
           R"({"id": "CspecElementRules", "body_text": "element * CHECKEDOUT\nelement * /main/LATEST"}]}}]})";
}

// Each of `threads` threads runs `one` `count` times; every run's seconds.
std::vector<double> latencies(int threads, int count, const std::function<void(int thread)>& one) {
    std::vector<std::vector<double>> each(static_cast<size_t>(threads));
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            for (int i = 0; i < count; ++i) each[static_cast<size_t>(t)].push_back(bench::seconds_of([&] { one(t); }));
        });
    }
    for (std::thread& thread : running) thread.join();
    std::vector<double> all;
    for (const std::vector<double>& some : each) all.insert(all.end(), some.begin(), some.end());
    return all;
}

void copy_with_cp(const std::string& from, const std::string& to) {
    if (std::system(("cp '" + from + "' '" + to + "'").c_str()) != 0) bench::fail("cp to " + to);
}

// `bytes` bytes that differ along the file.
std::string contents(size_t bytes) {
    std::string text(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    return text;
}

// Whether the file `path` holds exactly `expected`.
bool holds(const std::string& path, const std::string& expected) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string chunk(1 << 20, '\0');
    size_t at = 0;
    bool same = true;
    for (;;) {
        const ssize_t n = ::read(fd, &chunk[0], chunk.size());
        if (n <= 0) {
            same = same && n == 0;
            break;
        }
        const size_t got = static_cast<size_t>(n);
        same = same && at + got <= expected.size() && expected.compare(at, got, chunk, 0, got) == 0;
        at += got;
    }
    ::close(fd);
    return same && at == expected.size();
}

off_t size_of(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) bench::fail("stat " + path);
    return st.st_size;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string work = bench::make_dir(bench::base_dir(argc, argv), "element_ops_bench");
    const std::string home = work + "/home", korva_root = work + "/korva", storage = work + "/view.vws",
                      plain = work + "/plain", versions = work + "/versions";
    for (const std::string& dir : {home, korva_root, plain, versions}) ::mkdir(dir.c_str(), 0700);
    setenv("NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR, 1);
    std::map<std::string, std::string> env = {{"HOME", home},
                                              {"KORVA_ROOT", korva_root},
                                              {"NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR},
                                              {"NORVANE_HOST_CONFIG_DIR", fakeserver::certificates().dir}};
    const struct {
        const char* label;
        const char* path;
        size_t bytes;
    } files[] = {{"1 KiB", "/vob1/k1", 1u << 10}, {"1 MiB", "/vob1/m1", 1u << 20}, {"100 MiB", "/vob1/h1", 100u << 20}};
    int status = 0;
    {
        Served_Vob vob(versions);
        vob.batch([&] {
            for (const auto& f : files) vob.mkelem(f.path, Served_Vob::Kind::file, contents(f.bytes));
        });
        fakeserver::Fake_Server server(scenario(versions, vob.rules()));
        if (!server.ok()) bench::fail("the test server did not start: " + server.error());
        vob.on_change([&](const std::string& rules) {
            if (!server.rewrite(scenario(versions, rules))) bench::fail("the test server did not take its rules");
        });
        e2e::write_file(home + "/.keystore_norvane_ostrel.pem", e2e::read_file(fakeserver::certificates().ca));

        Process agent(OSTREL_AGENT_PATH, {storage}, env);
        const std::string mkview =
            "<MkView version=\"1\"><view-uuid>0b0b0b0b-0000-4000-8000-00000000000e</view-uuid>"
            "<view-type>automatic</view-type><cltxt-cache-dir>" + work + "/cache</cltxt-cache-dir>"
            "<server-tag>" + std::string(kTag) + "</server-tag><text-mode>" + Served_Vob::TEXT_MODE +
            "</text-mode><server><server-url>" + server.url("") +
            "</server-url><username>u</username><password>p</password></server></MkView>";
        if (bench::first_request(agent, mkview) != "0") bench::fail("MkView failed");
        std::unique_ptr<e2e::PipeClient> client = e2e::PipeClient::connect(storage, "bench", e2e::kStartTimeout);
        if (!client) bench::fail("no connection to the daemon");
        if (client->call(e2e::make_request("MountVob", "m", std::string("<vob-tag mount-state=\"true\">") +
                                                               Served_Vob::TAG + "</vob-tag>"))
                .attrs["status-code"] != "0")
            bench::fail("MountVob failed");
        e2e::Fuse_Mount mount(KORVA_FUSE_PATH, korva_root, kTag, env);
        if (!mount.wait_mounted()) bench::fail("korva_fuse did not mount the view");
        const std::string view = mount.root();

        // ---- GetMetadata of a cached file beside stat ----
        const std::string queried = files[0].path;
        const std::string query = e2e::make_request("GetMetadata", "g", "<path>" + queried + "</path>");
        const std::string plain_file = plain + "/k1";
        e2e::write_file(plain_file, contents(files[0].bytes));
        if (size_of(view + queried) != static_cast<off_t>(files[0].bytes)) bench::fail("the file is not in the view");
        for (int clients : {1, 4, 16}) {
            std::vector<std::unique_ptr<e2e::PipeClient>> connections;
            for (int c = 0; c < clients; ++c) {
                connections.push_back(e2e::PipeClient::connect(storage, "q" + std::to_string(clients) + "-" +
                                                                            std::to_string(c)));
                if (!connections.back()) bench::fail("no connection for a client");
            }
            const std::vector<double> asked = latencies(clients, kQueriesPerClient, [&](int c) {
                e2e::PipeClient& connection = *connections[static_cast<size_t>(c)];
                std::optional<std::string> reply;
                if (connection.send(query)) reply = connection.read_reply();
                if (!reply || reply->find("status-code=\"0\"") == std::string::npos ||
                    reply->find("<size>1024</size>") == std::string::npos)
                    bench::fail("GetMetadata failed: " + reply.value_or("(no reply)"));
            });
            const auto stat_of = [&](const std::string& path) {
                return latencies(clients, kStatsPerThread, [&](int) {
                    struct stat st;
                    if (::stat(path.c_str(), &st) != 0 || st.st_size != static_cast<off_t>(files[0].bytes))
                        bench::fail("stat " + path);
                });
            };
            const Percentiles metadata = percentiles(asked);
            const Percentiles mounted = percentiles(stat_of(view + queried));
            const Percentiles local = percentiles(stat_of(plain_file));
            std::printf("GetMetadata, %2d client%s  p50 %8.1f us  p99 %8.1f us   stat mount p50 %6.2f p99 %6.2f us   "
                        "stat plain p50 %6.2f p99 %6.2f us   ratio p50 to stat mount %7.1f\n",
                        clients, clients == 1 ? " " : "s", metadata.p50 * 1e6, metadata.p99 * 1e6, mounted.p50 * 1e6,
                        mounted.p99 * 1e6, local.p50 * 1e6, local.p99 * 1e6, metadata.p50 / mounted.p50);
            if (clients == 1) bench::print_goal("GetMetadata, 1 client, p50 in us", metadata.p50 * 1e6, "<=", 100);
            if (clients == 16)
                bench::print_goal("GetMetadata, 16 clients, p99 / p50", metadata.p99 / metadata.p50, "<=", 10);
        }

        // ---- Checkout beside cp ----
        // What each cp costs before it copies (the shell and cp started, an
        // empty file copied), shown beside its times.
        const std::string empty = plain + "/empty";
        e2e::write_file(empty, "");
        const double cp_startup = bench::startup_seconds("cp '" + empty + "' '" + plain + "/empty-copy'");
        std::printf("cp start-up (an empty file copied): %.2f ms, within each cp time below\n", cp_startup * 1e3);
        for (const auto& f : files) {
            const std::string version = contents(f.bytes);
            const std::string co = vob.checkout(f.path);
            const std::string request = e2e::make_request(
                "Checkout", "c",
                std::string("<path>") + f.path + "</path><replica-uuid>" + Served_Vob::REPLICA +
                    "</replica-uuid><co-ver-oid>" + co + "</co-ver-oid><co-flags/>");
            const auto check_out = [&] {
                lib_test::Reply reply = client->call(request, e2e::Millis(600000));
                if (reply.attrs["status-code"] != "0")
                    bench::fail(std::string("Checkout failed: ") + reply.attrs["status-code"] + " " +
                                reply.children["status-message"]);
            };
            // Outside the time: the file read back whole.
            const auto check_bytes = [&] {
                if (!holds(view + f.path, version)) bench::fail("the checked-out file is not the version");
            };
            const double first = bench::seconds_of(check_out);
            check_bytes();
            // The checked-out version's cache file: what both copy.
            std::string cached;
            const std::string name = co + "-" + Served_Vob::TEXT_MODE;
            std::vector<std::string> dirs = {work + "/cache/.c"};
            while (!dirs.empty() && cached.empty()) {
                const std::string dir = dirs.back();
                dirs.pop_back();
                for (const std::string& entry : e2e::list_dir(dir)) {
                    struct stat st;
                    const std::string path = dir + "/" + entry;
                    if (entry == name) cached = path;
                    else if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) dirs.push_back(path);
                }
            }
            if (cached.empty()) bench::fail("the checked-out version is not cached");
            const std::string plain_copy = plain + "/cp-" + std::to_string(f.bytes);
            const std::string mount_copy = view + Served_Vob::TAG + "/cp-" + std::to_string(f.bytes);
            std::vector<double> checkouts, plain_cp, mount_cp;
            for (int round = 0; round < kRounds; ++round) {
                checkouts.push_back(bench::seconds_of(check_out));
                check_bytes();
                plain_cp.push_back(bench::seconds_of([&] { copy_with_cp(cached, plain_copy); }));
                mount_cp.push_back(bench::seconds_of([&] { copy_with_cp(cached, mount_copy); }));
                if (!holds(plain_copy, version) || !holds(mount_copy, version)) bench::fail("a copy is not the version");
            }
            const double c = median(checkouts), p = median(plain_cp), m = median(mount_cp);
            std::printf("Checkout of %-7s  first %9.2f ms  cached %9.2f ms   cp plain %9.2f ms  cp mount %9.2f ms   "
                        "ratio to cp plain %6.2f  to cp mount %6.2f\n",
                        f.label, first * 1e3, c * 1e3, p * 1e3, m * 1e3, c / p, c / m);
            if (f.bytes == (100u << 20)) bench::print_goal("Checkout of 100 MiB / cp through the mount", c / m, "<=", 2);
        }

        status = mount.stop() == std::optional<int>(0) ? 0 : 1;
        agent.signal_child(SIGTERM);
        agent.wait_exit();
    }
    bench::remove_dir(work);
    return status;
}
