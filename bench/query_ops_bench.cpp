// The queries GetChildren and GetAggregatedState as a client tool sends
// them to the real daemon, beside what ordinary programs do on the same
// names:
//   - GetChildren of directories of 10, 1,000 and 10,000 view-private files
//     beside "ls -f" of the same directory through the korva_fuse mount and
//     of a plain directory holding the same names; the daemon's peak
//     resident growth during each listing;
//   - GetAggregatedState listing the view-private files (11,010 of them)
//     beside "find" of the plain directories, and kernel look-ups made
//     through the mount while it runs (their latency beside the same
//     look-ups on an idle daemon and on the plain directory).
// The view is served by the daemon, its server played by the test server,
// korva_fuse mounts it (the files are made through it first: each is a
// commit of the view database, so that part takes a while).
//
//   query_ops_bench [DIR]   files under DIR (default $TMPDIR or /tmp)
//
// Each timed figure is the median of alternating rounds; every reply is
// checked (status and number of entries) before a figure is printed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/served_view_support.h"
#include "e2e/fuse_mount.h"
#include "e2e/fuse_view.h"
#include "e2e/pipe_client.h"
#include "fakeserver/fake_server.h"

namespace {


constexpr int kRounds = 5;
// Lists of the view-private files made while the look-ups are timed.
constexpr int kListsDuringLookups = 20;
const std::vector<int> kSizes = {10, 1000, 10000};
// Goals.
constexpr double kChildrenRatioGoal = 5.0;   // GetChildren of 10,000 / ls -f through the mount
constexpr double kLookupP99GoalMs = 50.0;    // kernel look-ups while the view-private files are listed
// Peak growth of the daemon during a listing, per entry: the directory is
// read a batch at a time, so what grows with the entries is the reply
// alone (each child recorded, its element in the reply's document and its
// text, about 60 bytes); a copy of the directory's listing would add to
// it.
constexpr double kBytesPerEntryGoal = 2048.0;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

const char* verdict(bool met) { return met ? "met" : "not met"; }

long status_kib(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
    return -1;
}

// Starts a new peak of the resident size; false where the kernel cannot.
bool reset_peak(pid_t pid) {
    std::ofstream clear("/proc/" + std::to_string(pid) + "/clear_refs");
    clear << "5";
    return static_cast<bool>(clear.flush());
}

size_t count_of(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
}

// Sends a request and returns the reply's text; fails the benchmark when
// none comes or its status is not 0.
std::string query(e2e::PipeClient& client, const std::string& request) {
    if (!client.send(request)) bench::fail("request not sent");
    const std::optional<std::string> reply = client.read_reply(e2e::Millis(120000));
    if (!reply) bench::fail("no reply to " + request);
    if (reply->find("status-code=\"0\"") == std::string::npos) bench::fail("refused: " + reply->substr(0, 400));
    return *reply;
}

std::string get_children(const std::string& path) {
    return e2e::make_request("GetChildren", "c", "<path>" + path + "</path>");
}

std::string get_privates() {
    return e2e::make_request("GetAggregatedState", "a", "<state>OTHERS</state><get-paths>true</get-paths>");
}

void make_files(const std::string& dir, int count) {
    if (::mkdir(dir.c_str(), 0755) != 0) bench::fail("mkdir " + dir);
    for (int i = 0; i < count; ++i) {
        const std::string path = dir + "/file-" + std::to_string(i);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd < 0) bench::fail("create " + path);
        ::close(fd);
    }
}

double run_quietly(const std::string& command) {
    return bench::seconds_of([&] {
        if (std::system((command + " > /dev/null").c_str()) != 0) bench::fail(command);
    });
}

// Latencies (ms) of stat() of names that are not there, one due every
// `kLookupEvery` until `stop` is set (at least `least` of them). Each is
// timed from when it was due, so that a look-up held up delays those after
// it in the figures too, as it delays a program's.
constexpr std::chrono::microseconds kLookupEvery{1000};

std::vector<double> missing_lookups(const std::string& dir, const std::atomic<bool>& stop, size_t least,
                                    unsigned& serial) {
    std::vector<double> ms;
    const auto first = std::chrono::steady_clock::now();
    while (!stop.load() || ms.size() < least) {
        const auto due = first + kLookupEvery * static_cast<long>(ms.size());
        std::this_thread::sleep_until(due);
        const std::string path = dir + "/missing-" + std::to_string(serial++);
        struct stat st;
        const int result = ::stat(path.c_str(), &st);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - due).count());
        if (result == 0) bench::fail(path + " is there");
    }
    return ms;
}

void print_latencies(const char* what, const std::vector<double>& ms) {
    std::printf("  %-44s %6zu look-ups  p50 %8.3f ms  p99 %8.3f ms  max %8.3f ms\n", what, ms.size(),
                percentile(ms, 0.5), percentile(ms, 0.99), percentile(ms, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is measured
    const std::string work = bench::make_dir(bench::base_dir(argc, argv), "query_ops_bench");
    const e2e::Vob vob;
    int status = 0;
    {
        const bench::Served_View served(work, vob);
        const std::string &korva_root = served.korva_root, &storage = served.storage, &plain = served.plain;
        const std::map<std::string, std::string> env = served.env();
        e2e::PipeClient* const client = served.client.get();
        const std::optional<pid_t> daemon = served.agent.child_pid();
        if (!daemon) bench::fail("no daemon process");
        e2e::Fuse_Mount mount(KORVA_FUSE_PATH, korva_root, "bench", env);
        if (!mount.wait_mounted()) bench::fail("korva_fuse did not mount the view");
        const std::string view = mount.root() + vob.tag;

        const double made = bench::seconds_of([&] {
            for (int n : kSizes) {
                make_files(view + "/d" + std::to_string(n), n);
                make_files(plain + "/d" + std::to_string(n), n);
            }
        });
        std::printf("(made 11,010 files through the mount and in the plain directory in %.1f s)\n", made);

        // GetChildren beside ls -f. Each ls -f is a process of its own: its
        // start-up (a listing of an empty directory) is shown beside.
        const std::string empty_dir = plain + "/empty";
        if (::mkdir(empty_dir.c_str(), 0755) != 0) bench::fail("mkdir " + empty_dir);
        const double ls_startup = bench::startup_seconds("ls -f '" + empty_dir + "' > /dev/null");
        const double find_startup = bench::startup_seconds("find '" + empty_dir + "' > /dev/null");
        std::printf("GetChildren beside ls -f of the same directory (median of %d rounds; ls -f's start-up %.3f ms "
                    "is within its times):\n", kRounds, ls_startup * 1e3);
        double ratio_10000 = 0;
        for (int n : kSizes) {
            const std::string name = "/d" + std::to_string(n);
            const std::string request = get_children(vob.tag + name);
            const std::string reply = query(*client, request);
            if (count_of(reply, "<child ") != static_cast<size_t>(n)) bench::fail("GetChildren missed entries");
            std::vector<double> children, ls_mount, ls_plain;
            for (int round = 0; round < kRounds; ++round) {
                children.push_back(bench::seconds_of([&] { query(*client, request); }));
                ls_mount.push_back(run_quietly("ls -f '" + view + name + "'"));
                ls_plain.push_back(run_quietly("ls -f '" + plain + name + "'"));
            }
            const double c = median(children), m = median(ls_mount), p = median(ls_plain);
            std::printf("  %6d entries   GetChildren %9.3f ms   ls -f mount %9.3f ms   ls -f plain %9.3f ms"
                        "   ratio to mount %6.2f   to plain %6.2f\n",
                        n, c * 1e3, m * 1e3, p * 1e3, c / m, c / p);
            if (n == 10000) ratio_10000 = c / m;
        }
        std::printf("goal: GetChildren of 10,000 <= %.0fx ls -f through the mount: %.2fx, %s\n", kChildrenRatioGoal,
                    ratio_10000, verdict(ratio_10000 <= kChildrenRatioGoal));

        // The daemon's peak growth while it lists.
        std::printf("Daemon's peak resident growth during GetChildren:\n");
        double per_entry_10000 = -1;
        for (int n : kSizes) {
            const std::string request = get_children(vob.tag + "/d" + std::to_string(n));
            if (!reset_peak(*daemon)) {
                std::printf("  (the kernel cannot reset the peak resident size)\n");
                break;
            }
            const long before = status_kib(*daemon, "VmRSS");
            const std::string reply = query(*client, request);
            const long grown = status_kib(*daemon, "VmHWM") - before;
            std::printf("  %6d entries   %8ld KiB   reply text %8zu KiB   %8.0f bytes an entry\n", n, grown,
                        reply.size() / 1024, grown * 1024.0 / n);
            if (n == 10000) per_entry_10000 = grown * 1024.0 / n;
        }
        if (per_entry_10000 >= 0)
            std::printf("goal: GetChildren's listing flat in the entries, only the reply growing with them"
                        " (at most %.0f bytes an entry): %.0f, %s\n",
                        kBytesPerEntryGoal, per_entry_10000, verdict(per_entry_10000 <= kBytesPerEntryGoal));

        // GetAggregatedState over the view-private files, beside find.
        const size_t privates = 11010 + kSizes.size();
        {
            const std::string reply = query(*client, get_privates());
            if (count_of(reply, "<path>") != privates) bench::fail("GetAggregatedState missed files");
        }
        std::vector<double> aggregated, found;
        for (int round = 0; round < kRounds; ++round) {
            aggregated.push_back(bench::seconds_of([&] { query(*client, get_privates()); }));
            found.push_back(run_quietly("find '" + plain + "'"));
        }
        std::printf("GetAggregatedState of %zu view-private files %9.3f ms   find of the plain directory %9.3f ms"
                    " (its start-up %.3f ms)   ratio %6.2f\n",
                    privates, median(aggregated) * 1e3, median(found) * 1e3, find_startup * 1e3,
                    median(aggregated) / median(found));

        // Kernel look-ups through the mount while it runs.
        std::printf("Kernel look-ups of missing names through the mount:\n");
        const std::string lookup_dir = view + "/d10";
        unsigned serial = 0;
        std::atomic<bool> stop{true};
        const std::vector<double> idle = missing_lookups(lookup_dir, stop, 2000, serial);
        print_latencies("daemon idle", idle);
        std::vector<double> plain_ms = missing_lookups(plain + "/d10", stop, 2000, serial);
        print_latencies("plain directory", plain_ms);
        stop = false;
        std::vector<double> busy;
        std::thread looker([&] { busy = missing_lookups(lookup_dir, stop, 200, serial); });
        std::unique_ptr<e2e::PipeClient> lister = e2e::PipeClient::connect(storage, "lister");
        if (!lister) bench::fail("no second connection");
        for (int round = 0; round < kListsDuringLookups; ++round) query(*lister, get_privates());
        stop = true;
        looker.join();
        print_latencies("while GetAggregatedState lists", busy);
        const double p99 = percentile(busy, 0.99);
        std::printf("goal: kernel look-ups through the mount, p99 <= %.0f ms while GetAggregatedState lists"
                    " 11,013 files: %.3f ms, %s\n",
                    kLookupP99GoalMs, p99, verdict(p99 <= kLookupP99GoalMs));

        status = mount.stop() == std::optional<int>(0) ? 0 : 1;
    }
    bench::remove_dir(work);
    return status;
}
