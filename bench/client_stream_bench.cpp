// The remote client's two long downloads beside the curl command on the same
// server (the test server over TLS on loopback): a view update's stream
// applied to a listener that only counts, in objects per second, beside the
// raw transfer of the same bytes; and a cleartext fetched into a file beside
// curl writing the same file. Each figure is the best of three runs. Memory:
// the process's peak resident size after a short stream and after a long
// one, and the most reply bytes each command held at once.
//
//   client_stream_bench [DIR [OBJECTS [MEGABYTES]]]   files under DIR
//                                                     (default $TMPDIR or /tmp;
//                                                     200000 objects, 256 MiB)

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "bench/bench_support.h"
#include "fakeserver/fake_server.h"
#include "lib/client/rclient_get_cleartext.h"
#include "lib/client/rclient_login.h"
#include "lib/client/rclient_session.h"
#include "lib/client/rclient_view_update.h"

namespace {

const char* const VOB = "0b0b0b0b-0000-4000-8000-00000000000b";
const char* const VERSION = "0c000000-0000-4000-8000-000000000001";
const char* const SYNCFETCH_RPC = "Ostrel_Norvane::syncfetch_rpc";
constexpr unsigned SHORT_STREAM = 10000;
constexpr int RUNS = 3;

class Counter : public RClient_Update_Listener {
public:
    bool begin_operation(unsigned int) override { return true; }
    bool begin_scope(const ostrel_scope&) override { return true; }
    bool begin_vob(const qel_uuid_s&, const qel_oid_s&) override { return true; }
    bool update_object(const qel_uuid_s&, const qel_oid_s&, const std::string&, const std::string&,
                       const std::string&, const ostrel_vstat&, const ostrel_vstat&) override {
        ++objects;
        return true;
    }
    bool unload_object(const qel_uuid_s&, const qel_oid_s&, const std::string&, const qel_oid_s&) override {
        ++objects;
        return true;
    }
    bool end_scope() override { return true; }
    bool end_vob() override { return true; }
    bool end_operation() override { return true; }

    unsigned long objects = 0;
};

// A stream of `objects` loaded files with their attributes, answered to the
// update of view generation `gn`.
std::string update_rule(unsigned gn, unsigned objects) {
    return R"({"match": {"rpc": ")" + std::string(SYNCFETCH_RPC) + R"(", "args": {"ViewGn": ")" + std::to_string(gn) +
           R"("}}, "reply": {"stream": [{"begin": 1}, {"vob": {"replica": ")" + VOB +
           R"(", "family": "0f0f0f0f-0000-4000-8000-00000000000f"}}, {"repeat": )" + std::to_string(objects) +
           R"(, "stream": [{"elem": {"path": "src/module/file{i}.cpp", "parent": "0d0d0d0d-0000-4000-8000-00000000000d",
              "replica": ")" + VOB + R"(", "oid": "0e000000-0000-4000-8000-{i:012d}", "prev": "/main/3", "cur": "/main/4",
              "obj": {"fstat": {"type": 1, "mode": 33060, "nlink": 1, "size": 4096}, "mtype": 5,
                      "obj_oid": "0e000000-0000-4000-8000-{i:012d}"},
              "elem": {"fstat": {"type": 1, "mode": 33060}, "mtype": 4}}}]},
           {"end": "vob"}, {"end": "operation"}]}})";
}

long peak_rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Seconds of a shell command, which must succeed.
double command_seconds(const std::string& command) {
    int rc = 0;
    double seconds = bench::seconds_of([&] { rc = std::system(command.c_str()); });
    if (rc != 0) bench::fail("failed: " + command);
    return seconds;
}

double best_of(const std::function<double()>& run) {
    double best = run();
    for (int i = 1; i < RUNS; ++i) best = std::min(best, run());
    return best;
}

// The processor time this process has used.
double cpu_seconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

off_t file_size(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string dir = bench::make_dir(bench::base_dir(argc, argv), "client-stream-bench");
    const unsigned objects = argc > 2 ? static_cast<unsigned>(std::atol(argv[2])) : 200000;
    const size_t megabytes = argc > 3 ? static_cast<size_t>(std::atol(argv[3])) : 256;

    // The server's cleartext: random bytes.
    const std::string versions = dir + "/versions";
    const std::string version_dir = versions + "/" + VOB + "/" + VERSION;
    if (std::system(("mkdir -p '" + version_dir + "'").c_str()) != 0) bench::fail("mkdir " + version_dir);
    {
        std::ofstream out(version_dir + "/unix", std::ios::binary);
        std::mt19937_64 generator(5);
        std::string block(1 << 20, '\0');
        for (size_t i = 0; i < megabytes; ++i) {
            for (size_t j = 0; j < block.size(); j += 8) {
                uint64_t word = generator();
                std::memcpy(&block[j], &word, 8);
            }
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
        if (!out) bench::fail("cannot write the cleartext");
    }

    const fakeserver::Certificates& certs = fakeserver::certificates();
    if (certs.dir.empty()) bench::fail(certs.error);
    setenv("HOME", dir.c_str(), 1);
    setenv("NORVANE_HOST_CONFIG_DIR", certs.dir.c_str(), 1);
    {
        std::ifstream ca(certs.ca, std::ios::binary);
        std::ofstream keystore(dir + "/.keystore_norvane_ostrel.pem", std::ios::binary);
        keystore << ca.rdbuf();
    }
    fakeserver::Fake_Server::Options options;
    // The long stream's document is built at the server's first start in a
    // build (minutes on a busy machine) and read from its cache after.
    options.start_timeout = std::chrono::milliseconds(600000);
    fakeserver::Fake_Server server(R"({"base": "/ostrel", "cleartext_dir": ")" + versions + R"(", "rules": [)" +
                                       update_rule(1, SHORT_STREAM) + "," + update_rule(2, objects) + "]}",
                                   options);
    if (!server.ok()) bench::fail(server.error());
    Login login("u", "p", "", "", "", server.url(), "", "", "", 0);
    if (login.run() != 0) bench::fail("login: " + login.get_status().message);

    const std::string curl = "curl -s --fail --cacert '" + certs.ca + "' ";
    std::printf("remote client beside curl on the same server (best of %d runs)\n\n", RUNS);

    // The update stream.
    uint64_t update_high_water = 0;
    double update_cpu = 0;
    const auto update = [&](unsigned gn, unsigned long expected) {
        Counter counter;
        View_Update command(qel_uuid_s{{1}}, gn, 0, 0, 0, {}, &counter);
        const double cpu_before = cpu_seconds();
        double seconds = bench::seconds_of([&] {
            if (command.run() != 0) bench::fail("the update failed: " + command.get_status().message);
        });
        update_cpu = cpu_seconds() - cpu_before;
        if (command.get_status().status != 0 || counter.objects != expected)
            bench::fail("the update counted " + std::to_string(counter.objects) + " objects");
        update_high_water = std::max(update_high_water, command.get_response_high_water());
        return seconds;
    };
    update(1, SHORT_STREAM);
    const long rss_short = peak_rss_kib();
    const double client = best_of([&] { return update(2, objects); });
    const long rss_long = peak_rss_kib();
    const std::string stream_file = dir + "/stream";
    const double raw = best_of([&] {
        return command_seconds(curl + "-o '" + stream_file + "' -F rpc=" + SYNCFETCH_RPC + " -F 'rpcargs=ViewGn=2' '" +
                               server.url() + "'");
    });
    // The curl command is a process of its own: what it costs before it
    // connects, shown beside its times.
    const double curl_startup = bench::startup_seconds("curl --version > /dev/null");
    const double megabytes_streamed = static_cast<double>(file_size(stream_file)) / (1 << 20);
    std::printf("view update, %u objects (%.1f MiB of reply)\n", objects, megabytes_streamed);
    std::printf("  %-44s %10.3f s  %12.0f objects/s\n", "client, applied to a counting listener", client,
                objects / client);
    std::printf("  %-44s %10.3f s\n", "client, processor time of its last run", update_cpu);
    std::printf("  %-44s %10.3f s  %12.0f objects/s\n", "curl, the same bytes to a file", raw, objects / raw);
    std::printf("  %-44s %10.2f\n", "ratio client / curl", client / raw);
    std::printf("  %-44s %10.3f s\n", "curl's start-up (within its times)", curl_startup);
    std::printf("  %-44s %7ld KiB after %u objects, %ld KiB after %u\n", "peak resident size", rss_short,
                SHORT_STREAM, rss_long, objects);
    std::printf("  %-44s %10llu bytes\n\n", "most reply bytes held at once",
                static_cast<unsigned long long>(update_high_water));

    // The cleartext.
    const std::string suffix = std::string("/cltxt/") + VOB + "/" + VERSION + "/unix";
    const std::string fetched = dir + "/fetched";
    uint64_t cleartext_high_water = 0;
    const double fetch = best_of([&] {
        ::remove(fetched.c_str());
        Get_ClearText command(suffix, fetched);
        double seconds = bench::seconds_of([&] {
            if (command.run() != 0 || command.get_status().status != 0 || command.get_write_failure() != 0)
                bench::fail("the cleartext fetch failed: " + command.get_status().message);
        });
        cleartext_high_water = std::max(cleartext_high_water, command.get_response_high_water());
        return seconds;
    });
    const long rss_fetch = peak_rss_kib();
    if (file_size(fetched) != static_cast<off_t>(megabytes << 20)) bench::fail("the fetched file is short");
    const std::string by_curl = dir + "/by_curl";
    const double curl_fetch = best_of([&] {
        ::remove(by_curl.c_str());
        return command_seconds(curl + "-o '" + by_curl + "' '" + server.url() + suffix + "'");
    });
    std::printf("cleartext fetch, %zu MiB into a file\n", megabytes);
    std::printf("  %-44s %10.3f s  %10.0f MiB/s\n", "client", fetch, megabytes / fetch);
    std::printf("  %-44s %10.3f s  %10.0f MiB/s\n", "curl", curl_fetch, megabytes / curl_fetch);
    std::printf("  %-44s %10.2f\n", "ratio client / curl", fetch / curl_fetch);
    std::printf("  %-44s %7ld KiB (before: %ld KiB)\n", "peak resident size", rss_fetch, rss_long);
    std::printf("  %-44s %10llu bytes\n", "most reply bytes held at once",
                static_cast<unsigned long long>(cleartext_high_water));

    server.stop();
    RClient_Session::get_session()->flush_curl_handles();
    bench::remove_dir(dir);
    return 0;
}
