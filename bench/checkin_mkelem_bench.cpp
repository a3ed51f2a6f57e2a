// Checkin and Mkelem on a view the real daemon serves, korva_fuse mounting
// it and the test server playing the server (the end-to-end tests' served
// VOB, edited as a client's steps edit it).
//
//   checkin_mkelem_bench [DIR]   files under DIR (default $TMPDIR or /tmp)
//
// Adoption: a file of 1 KiB, 1 MiB and 100 MiB checked out by Checkout, edited through
// the mount and checked in on the server; timed is the Checkin request that
// names the new version, whose bytes it copies out of the view into the
// cleartext cache (made durable there) before it removes the file. Beside
// it, `cp` of a file of the same size to a new name in a plain directory.
// Each round checks its work: the reply 0, the cache file of the new
// version whole (its size and its last bytes), the view showing the version.
// Goal: 100 MiB within 1.5x `cp`. Since a cache file is on disk before it is
// named, `cp` followed by `sync` of the copy is printed beside it too.
//
// Make-path: a new file under 1, 5 and 20 new directories, all made in the
// view and then on the server; timed is the Mkelem request with make-path,
// which flushes every name, adopts every directory and the file's bytes. A
// round checks that the view shows the file as the element. Goal: the cost
// of a level from 5 to 20 within 2x that of a level from 1 to 5 (linear in
// the depth).
//
// Each figure is the median of its rounds.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
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
#include "platform/utl/strutl.h"

namespace {

using e2e::Process;
using e2e::Served_Vob;

constexpr const char* kTag = "bench";

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// `bytes` bytes that differ along the file and from round to round, so that
// a copy cut short, shifted or left from before shows.
std::string contents(size_t bytes, int round) {
    std::string text(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 4096 + round) % 26);
    return text;
}

std::string tail_text(const std::string& text) { return text.substr(text.size() - std::min<size_t>(text.size(), 4096)); }

// The view, its daemon and its server.
class Bench_View {
public:
    explicit Bench_View(const std::string& work)
        : m_work(work), m_home(work + "/home"), m_korva_root(work + "/korva"), m_storage(work + "/view.vws"),
          m_vob(work + "/versions") {
        for (const std::string& dir : {m_home, m_korva_root, work + "/versions"}) ::mkdir(dir.c_str(), 0700);
        m_env = {{"HOME", m_home},
                 {"KORVA_ROOT", m_korva_root},
                 {"NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR},
                 {"NORVANE_HOST_CONFIG_DIR", fakeserver::certificates().dir}};
    }

    Served_Vob& vob() { return m_vob; }
    e2e::PipeClient& client() { return *m_client; }
    const std::string& root() const { return m_mount->root(); }

    // Starts the server on the VOB as it is, makes the view, mounts and
    // loads the VOB, and mounts the view.
    void start() {
        m_server.reset(new fakeserver::Fake_Server(scenario(m_vob.rules())));
        if (!m_server->ok()) bench::fail("the test server did not start: " + m_server->error());
        m_vob.on_change([this](const std::string& rules) {
            if (!m_server->rewrite(scenario(rules))) bench::fail("the server's scenario cannot be written");
        });
        e2e::write_file(m_home + "/.keystore_norvane_ostrel.pem", e2e::read_file(fakeserver::certificates().ca));
        m_agent.reset(new Process(OSTREL_AGENT_PATH, {m_storage}, m_env));
        const std::string mkview =
            "<MkView version=\"1\"><view-uuid>0b0b0b0b-0000-4000-8000-0000000000cd</view-uuid>"
            "<view-type>automatic</view-type><cltxt-cache-dir>" + cache_dir() + "</cltxt-cache-dir>"
            "<server-tag>" + std::string(kTag) + "</server-tag><text-mode>" + Served_Vob::TEXT_MODE +
            "</text-mode><server><server-url>" + m_server->url("") +
            "</server-url><username>u</username><password>p</password></server></MkView>";
        if (bench::first_request(*m_agent, mkview) != "0") bench::fail("MkView failed");
        m_client = e2e::PipeClient::connect(m_storage, "bench", e2e::kStartTimeout);
        if (!m_client) bench::fail("no connection to the daemon");
        if (status_of(e2e::make_request("MountVob", "m", "<vob-tag mount-state=\"true\">" +
                                                             std::string(Served_Vob::TAG) + "</vob-tag>")) != "0")
            bench::fail("MountVob failed");
        update();
        m_mount.reset(new e2e::Fuse_Mount(KORVA_FUSE_PATH, m_korva_root, kTag, m_env));
        if (!m_mount->wait_mounted()) bench::fail("korva_fuse did not mount the view");
    }

    // A full update, once its log says it ended (the view's first).
    void update() {
        lib_test::Reply updated = m_client->call(e2e::make_request("Update", "u"));
        if (updated.attrs["status-code"] != "0") bench::fail("Update failed");
        const std::string log = updated.children["log-file"];
        for (int i = 0; i < 1200; ++i) {
            const std::string text = e2e::read_file(log);
            if (text.find("\nCancelled:") != std::string::npos) {
                if (text.find("Succeeded") == std::string::npos) bench::fail("the update failed: " + text);
                return;
            }
            ::usleep(100000);
        }
        bench::fail("the update did not end: " + e2e::read_file(log));
    }

    // The reply's status, with its message when it is not 0.
    std::string status_of(const std::string& request) {
        lib_test::Reply reply = m_client->call(request);
        const std::string status = reply.attrs["status-code"];
        return status == "0" ? status : status + " (" + reply.children["status-message"] + ")";
    }

    // Where the cache keeps version `oid` of the VOB: the leaf directories
    // by the hash of the oid's text.
    std::string cache_file(const std::string& oid) const {
        const uint32_t h = strutl_str_to_hash32(0, oid.c_str());
        char levels[32];
        std::snprintf(levels, sizeof levels, "%x/%x", h % 67, (h >> 6) % 67);
        return cache_dir() + "/.c/" + Served_Vob::REPLICA + "/" + levels + "/" + oid + "-" + Served_Vob::TEXT_MODE;
    }

    // Removes the server's contents file of version `oid` and its cache
    // file, which no request is to read any more.
    void forget_version(const std::string& oid) const {
        bench::remove_dir(m_work + "/versions/" + Served_Vob::REPLICA + "/" + oid);
        ::unlink(cache_file(oid).c_str());
    }

    // Unmounts and stops the daemon (what of them was started); whether
    // korva_fuse ended cleanly.
    bool stop() {
        const bool clean = m_mount && m_mount->stop() == std::optional<int>(0);
        if (m_agent) {
            m_agent->signal_child(SIGTERM);
            m_agent->wait_exit();
        }
        return clean;
    }

private:
    std::string cache_dir() const { return m_work + "/cache"; }
    std::string scenario(const std::string& rules) const {
        return R"({"cleartext_dir": ")" + m_work + R"(/versions", "accounts": [{"credentials": "u:p", )"
               R"("jsessionid": "J1", "session": "S1"}], "rules": [)" + rules +
               R"(, {"match": {"rpc": "Ostrel_Norvane::getconfigspec_rpc"}, "reply": {"parts": [)"
               R"({"id": "CspecElementRules", "body_text": "element * CHECKEDOUT\nelement * /main/LATEST"}]}}]})";
    }

    std::string m_work, m_home, m_korva_root, m_storage;
    std::map<std::string, std::string> m_env;
    Served_Vob m_vob;
    std::unique_ptr<fakeserver::Fake_Server> m_server;
    std::unique_ptr<Process> m_agent;
    std::unique_ptr<e2e::PipeClient> m_client;
    std::unique_ptr<e2e::Fuse_Mount> m_mount;
};

struct Size {
    const char* name;
    std::string path;
    size_t bytes;
    int rounds;
};

// Adoption by Checkin beside cp; whether the goal was met.
bool adoption(Bench_View& view, const std::vector<Size>& sizes, const std::string& plain) {
    bool met = true;
    // Each cp is a process of its own: what it costs before it copies (an
    // empty file copied), shown beside its times.
    const std::string empty = plain + "/empty";
    if (!e2e::write_file(empty, "")) bench::fail("the plain file cannot be written");
    const double cp_startup = bench::startup_seconds("cp '" + empty + "' '" + plain + "/empty-copy'");
    std::printf("cp start-up (an empty file copied): %.2f ms, within each cp time below\n", cp_startup * 1e3);
    for (const Size& size : sizes) {
        const std::string file = view.root() + size.path;
        std::vector<double> checkin, cp, durable_cp;
        // The versions of the round before, read no more once the next
        // checkout has covered the name.
        std::vector<std::string> superseded;
        for (int round = 0; round < size.rounds; ++round) {
            // The client's checkout, and the edit through the mount.
            const std::string checked_out = view.vob().checkout(size.path);
            const std::string checkout = view.status_of(e2e::make_request(
                "Checkout", "co",
                "<path>" + size.path + "</path><replica-uuid>" + Served_Vob::REPLICA + "</replica-uuid><co-ver-oid>" +
                    checked_out + "</co-ver-oid><co-flags/>"));
            if (checkout != "0") bench::fail("the checkout failed: " + checkout);
            // Large rounds would fill the disk.
            for (const std::string& done : superseded) view.forget_version(done);
            superseded = {checked_out};
            const std::string edited = contents(size.bytes, round + 1);
            if (!e2e::write_file(file, edited)) bench::fail("the checked-out file cannot be written");
            const std::string version = view.vob().checkin(size.path, edited);
            std::string answered;
            checkin.push_back(bench::seconds_of([&] {
                answered = view.status_of(e2e::make_request(
                    "Checkin", "ci",
                    "<path>" + size.path + "</path><replica-uuid>" + Served_Vob::REPLICA +
                        "</replica-uuid><new-ver-oid>" + version + "</new-ver-oid>"));
            }));
            if (answered != "0") bench::fail("the checkin failed: " + answered);
            if (bench::tail_of(view.cache_file(version), size.bytes) != tail_text(edited))
                bench::fail("the adopted cache file is not the edited file");
            struct stat st;
            if (::stat(file.c_str(), &st) != 0 || static_cast<size_t>(st.st_size) != size.bytes ||
                (st.st_mode & 07777) != 0444)
                bench::fail("the view does not show the checked-in version");

            const std::string source = plain + "/source", copy = plain + "/copy";
            if (!e2e::write_file(source, edited)) bench::fail("the plain file cannot be written");
            cp.push_back(bench::seconds_of([&] {
                if (std::system(("cp '" + source + "' '" + copy + "'").c_str()) != 0) bench::fail("cp failed");
            }));
            if (bench::tail_of(copy, size.bytes) != tail_text(edited)) bench::fail("cp made another file");
            ::unlink(copy.c_str());
            durable_cp.push_back(bench::seconds_of([&] {
                if (std::system(("cp '" + source + "' '" + copy + "' && sync '" + copy + "'").c_str()) != 0)
                    bench::fail("cp failed");
            }));
            if (bench::tail_of(copy, size.bytes) != tail_text(edited)) bench::fail("cp made another file");
            ::unlink(copy.c_str());
            ::unlink(source.c_str());
            superseded.push_back(version);
        }
        const double c = median(checkin), p = median(cp), d = median(durable_cp);
        std::printf("Checkin adopting %-8s %10.2f ms   cp %10.2f ms   ratio %6.2f   cp and sync %10.2f ms   ratio %6.2f\n",
                    size.name, c * 1e3, p * 1e3, c / p, d * 1e3, c / d);
        if (size.bytes >= (size_t{100} << 20)) {
            met = c / p <= 1.5;
            bench::print_goal("Checkin adopting 100 MiB beside cp (ratio)", c / p, "<=", 1.5);
        }
    }
    return met;
}

// Mkelem with make-path at each depth; whether the goal was met.
bool make_path(Bench_View& view, const std::vector<int>& depths, int rounds) {
    std::map<int, double> cost;
    for (const int depth : depths) {
        std::vector<double> times;
        for (int round = 0; round < rounds; ++round) {
            std::string dir = "/vob1/mp" + std::to_string(depth) + "_" + std::to_string(round);
            for (int level = 0; level < depth; ++level) {
                if (level > 0) dir += "/d" + std::to_string(level);
                if (::mkdir((view.root() + dir).c_str(), 0755) != 0) bench::fail("mkdir in the view failed");
            }
            const std::string path = dir + "/f.c", bytes = "made at depth " + std::to_string(depth) + "\n";
            if (!e2e::write_file(view.root() + path, bytes)) bench::fail("the new file cannot be written");
            const std::string version = view.vob().mkelem(path, Served_Vob::Kind::file, bytes, {true, false});
            std::string answered;
            times.push_back(bench::seconds_of([&] {
                answered = view.status_of(e2e::make_request(
                    "Mkelem", "mk",
                    "<path>" + path + "</path><replica-uuid>" + Served_Vob::REPLICA +
                        "</replica-uuid><mkelem-flags make-path=\"true\"/><new-ver-oid>" + version +
                        "</new-ver-oid>"));
            }));
            if (answered != "0") bench::fail("the mkelem failed: " + answered);
            struct stat st;
            if (e2e::read_file(view.root() + path) != bytes || ::stat((view.root() + path).c_str(), &st) != 0 ||
                (st.st_mode & 07777) != 0444)
                bench::fail("the view does not show the new element");
        }
        cost[depth] = median(times);
        std::printf("Mkelem make-path, %2d new directories %10.2f ms   ratio to 1 %6.2f\n", depth,
                    cost[depth] * 1e3, cost[depth] / cost[depths.front()]);
    }
    const double early = (cost[5] - cost[1]) / 4, late = (cost[20] - cost[5]) / 15;
    std::printf("Mkelem make-path, a level from 1 to 5 %8.3f ms, from 5 to 20 %8.3f ms\n", early * 1e3, late * 1e3);
    const double growth = early > 0 ? late / early : 0;
    bench::print_goal("Mkelem make-path cost of a level from 5 to 20 beside from 1 to 5 (ratio)", growth, "<=", 2.0);
    return growth <= 2.0;
}

// A benchmark that fails exits at once: the view it runs is stopped and its
// files removed on the way out all the same.
Bench_View* g_running = nullptr;
std::string g_work;

void clean_up() {
    if (g_running != nullptr) g_running->stop();
    g_running = nullptr;
    if (!g_work.empty()) bench::remove_dir(g_work);
    g_work.clear();
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string work = bench::make_dir(bench::base_dir(argc, argv), "checkin_mkelem_bench");
    g_work = work;
    std::atexit(clean_up);
    const std::string plain = work + "/plain";
    ::mkdir(plain.c_str(), 0700);
    setenv("NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR, 1);
    const std::vector<Size> sizes = {{"1 KiB", "/vob1/kib.bin", size_t{1} << 10, 21},
                                     {"1 MiB", "/vob1/mib.bin", size_t{1} << 20, 11},
                                     {"100 MiB", "/vob1/hundred.bin", size_t{100} << 20, 5}};
    int status = 0;
    {
        Bench_View view(work);
        view.vob().batch([&] {
            for (const Size& size : sizes) view.vob().mkelem(size.path, Served_Vob::Kind::file, contents(size.bytes, 0));
        });
        g_running = &view;
        view.start();
        adoption(view, sizes, plain);
        make_path(view, {1, 5, 20}, 7);
        g_running = nullptr;
        status = view.stop() ? 0 : 1;
    }
    clean_up();
    return status;
}
