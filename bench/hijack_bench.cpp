// Hijack and Unhijack of a loaded file of 1 MiB and of 100 MiB beside `cp`
// of the same file to a new name of the same view directory, all through
// korva_fuse: a Hijack makes a view-private copy of the loaded version in
// the view, as such a `cp` does, and an Unhijack gives it up again. The
// view is served by the real daemon and loaded by an update from the test
// server (the end-to-end tests' served VOB, with the two files added).
//
//   hijack_bench [DIR]   files under DIR (default $TMPDIR or /tmp)
//
// Rounds alternate: Hijack, then Unhijack, then `cp` (the copy removed
// after it); each figure is the median of its rounds. A round checks its
// work: the requests answer 0; the hijacked file holds the loaded bytes and
// takes a change of its last bytes, as a file of the user's; Unhijack gives
// the loaded bytes back in place of the change, so that the check after it
// compares bytes that differ from those before it; the copy holds the
// loaded bytes. The `cp` runs as a process of
// its own: its start-up (a run that copies nothing) is shown beside it.
// Goal: each request within 2x the `cp`.

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

constexpr const char* kTag = "bench";

struct Size {
    const char* name;
    const char* path;
    size_t bytes;
    int rounds;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// `bytes` bytes that differ along the file, so that a copy cut short or
// shifted shows.
std::string contents(size_t bytes) {
    std::string text(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    return text;
}

// Writes `mark` over the last bytes of `path` in place; true when all of it
// was written.
bool mark_tail(const std::string& path, size_t bytes, const std::string& mark) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t n = ::pwrite(fd, mark.data(), mark.size(), static_cast<off_t>(bytes - mark.size()));
    return ::close(fd) == 0 && n == static_cast<ssize_t>(mark.size());
}

std::string status_of(e2e::PipeClient& client, const std::string& root, const std::string& path) {
    return client.call(e2e::make_request(root, "b", "<path>" + path + "</path>")).attrs["status-code"];
}

// Waits for the update whose log is `log` to end (its tail's
// "Cancelled:" line), at most a minute.
void wait_for_update(const std::string& log) {
    for (int i = 0; i < 600; ++i) {
        if (e2e::read_file(log).find("\nCancelled:") != std::string::npos) return;
        ::usleep(100000);
    }
    bench::fail("the update did not end: " + e2e::read_file(log));
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string work = bench::make_dir(bench::base_dir(argc, argv), "hijack_bench");
    const std::string home = work + "/home", korva_root = work + "/korva", storage = work + "/view.vws",
                      versions = work + "/versions";
    for (const std::string& dir : {home, korva_root, versions}) ::mkdir(dir.c_str(), 0700);
    setenv("NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR, 1);
    const std::vector<Size> sizes = {{"1 MiB", "/vob1/one.bin", size_t{1} << 20, 21},
                                     {"100 MiB", "/vob1/hundred.bin", size_t{100} << 20, 5}};
    const std::map<std::string, std::string> env = {{"HOME", home},
                                                    {"KORVA_ROOT", korva_root},
                                                    {"NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR},
                                                    {"NORVANE_HOST_CONFIG_DIR", fakeserver::certificates().dir}};
    int status = 0;
    {
        e2e::Served_Vob vob(versions);
        for (const Size& size : sizes) vob.mkelem(size.path, e2e::Served_Vob::Kind::file, contents(size.bytes));
        fakeserver::Fake_Server server(
            R"({"cleartext_dir": ")" + versions + R"(", "accounts": [{"credentials": "u:p", "jsessionid": "J1", )"
            R"("session": "S1"}], "rules": [)" + vob.rules() +
            R"(, {"match": {"rpc": "Ostrel_Norvane::getconfigspec_rpc"}, "reply": {"parts": [)"
            R"({"id": "CspecElementRules", "body_text": "element * CHECKEDOUT\nelement * /main/LATEST"}]}}]})");
        if (!server.ok()) bench::fail("the test server did not start: " + server.error());
        e2e::write_file(home + "/.keystore_norvane_ostrel.pem", e2e::read_file(fakeserver::certificates().ca));

        // The view made, the VOB mounted and loaded, the view mounted.
        Process agent(OSTREL_AGENT_PATH, {storage}, env);
        const std::string mkview =
            "<MkView version=\"1\"><view-uuid>0b0b0b0b-0000-4000-8000-0000000000cc</view-uuid>"
            "<view-type>automatic</view-type><cltxt-cache-dir>" + work + "/cache</cltxt-cache-dir>"
            "<server-tag>" + std::string(kTag) + "</server-tag><text-mode>" + e2e::Served_Vob::TEXT_MODE +
            "</text-mode><server><server-url>" + server.url("") +
            "</server-url><username>u</username><password>p</password></server></MkView>";
        if (bench::first_request(agent, mkview) != "0") bench::fail("MkView failed");
        std::unique_ptr<e2e::PipeClient> client = e2e::PipeClient::connect(storage, "bench", e2e::kStartTimeout);
        if (!client) bench::fail("no connection to the daemon");
        if (client->call(e2e::make_request("MountVob", "m", "<vob-tag mount-state=\"true\">" +
                                                                 std::string(e2e::Served_Vob::TAG) + "</vob-tag>"))
                .attrs["status-code"] != "0")
            bench::fail("MountVob failed");
        lib_test::Reply updated = client->call(e2e::make_request("Update", "u"));
        if (updated.attrs["status-code"] != "0") bench::fail("Update failed");
        wait_for_update(updated.children["log-file"]);
        e2e::Fuse_Mount mount(KORVA_FUSE_PATH, korva_root, kTag, env);
        if (!mount.wait_mounted()) bench::fail("korva_fuse did not mount the view");
        const std::string view = mount.root();

        // What the `cp` costs before it copies: the shell and cp started,
        // on an empty file of the plain directory.
        const std::string empty = work + "/empty";
        if (!e2e::write_file(empty, "")) bench::fail("cannot write " + empty);
        const double cp_startup = bench::startup_seconds("cp '" + empty + "' '" + work + "/empty-copy'");

        bool met = true;
        for (const Size& size : sizes) {
            const std::string file = view + size.path, copy = view + "/vob1/copy.bin";
            const std::string loaded = bench::tail_of(file, size.bytes);
            if (loaded.empty() || loaded != contents(size.bytes).substr(size.bytes - loaded.size()))
                bench::fail(std::string("the loaded file of ") + size.name + " is not as served");
            std::vector<double> hijack, unhijack, cp;
            for (int round = 0; round < size.rounds; ++round) {
                std::string answered;
                hijack.push_back(bench::seconds_of([&] { answered = status_of(*client, "Hijack", size.path); }));
                if (answered != "0" || bench::tail_of(file, size.bytes) != loaded) bench::fail("the hijack failed");
                // The user's change of the hijacked copy, which Unhijack
                // must take back.
                const std::string mark = "changed in round " + std::to_string(round);
                const std::string changed = loaded.substr(0, loaded.size() - mark.size()) + mark;
                if (!mark_tail(file, size.bytes, mark) || bench::tail_of(file, size.bytes) != changed)
                    bench::fail("the hijacked file does not take a change");
                unhijack.push_back(bench::seconds_of([&] { answered = status_of(*client, "Unhijack", size.path); }));
                if (answered != "0" || bench::tail_of(file, size.bytes) != loaded) bench::fail("the unhijack failed");
                cp.push_back(bench::seconds_of([&] {
                    if (std::system(("cp '" + file + "' '" + copy + "'").c_str()) != 0) bench::fail("cp failed");
                }));
                if (bench::tail_of(copy, size.bytes) != loaded) bench::fail("cp made another file");
                if (::unlink(copy.c_str()) != 0) bench::fail("the copy cannot be removed");
            }
            const double c = median(cp);
            for (const auto& figure : {std::make_pair("Hijack", median(hijack)), std::make_pair("Unhijack", median(unhijack))}) {
                const double ratio = figure.second / c;
                met = met && ratio <= 2.0;
                std::printf("%-9s %-8s %10.2f ms   cp %10.2f ms (its start-up %.2f ms)   ratio %6.2f\n", figure.first,
                            size.name, figure.second * 1e3, c * 1e3, cp_startup * 1e3, ratio);
            }
        }
        std::printf("goal: Hijack and Unhijack within 2x cp through the mount: %s\n", met ? "met" : "not met");

        status = mount.stop() == std::optional<int>(0) ? 0 : 1;
        agent.signal_child(SIGTERM);
        agent.wait_exit();
    }
    bench::remove_dir(work);
    return status;
}
