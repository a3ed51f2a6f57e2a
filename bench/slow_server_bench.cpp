// Kernel calls answered from the caches while the server holds other calls'
// transfers: the real daemon serves a view of the test server's VOB, and
// one connection of the view's message channel times Getattr calls of a
// cached file, one outstanding at a time, with nothing held and while four
// other connections each wait for a transfer the server holds (two
// cleartexts, a directory's listing, a name's look-up). The two alternate in
// five rounds, so that the machine's load falls on both alike. The p50 and
// p99 round trips of each, and the ratio of the p99s. Every call is checked:
// the Getattr calls answer 0, and the held calls their answers once the
// server goes on.
//
//   slow_server_bench [DIR [COUNT]]   files under DIR (default $TMPDIR or
//                                     /tmp); COUNT calls each (default 20000)

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/served_view_support.h"
#include "e2e/fuse_view.h"
#include "e2e/pipe_client.h"
#include "fakeserver/fake_server.h"
#include "platform/korva/korva_channel_client.h"
#include "platform/korva/korva_message.h"
#include "tools/korva_sim/korva_sim_codec.h"

namespace {

using Clock = std::chrono::steady_clock;
using korva_sim::json;
using korva_sim::ordered_json;

const char* const VIEW_UUID = "0b0b0b0b-0000-4000-8000-00000000000b";  // the view bench::make_view_with_vob makes
const char* const DIRECTORY_RPC = "Ostrel_Norvane::get_directory_contents_rpc";
const char* const LOOKUP_RPC = "Ostrel_Norvane::lookup_rpc";
constexpr int HELD = 4;
constexpr int ROUNDS = 5;

std::string id(unsigned n) { return e2e::served_oid(n); }

std::string hold(const std::string& gate) { return R"({"hold": {"after_parts": 0, "gate": ")" + gate + R"("}})"; }

// What round `r` holds: the cleartext of the files "a<r>" and "b<r>"
// (versions 101 + 10 r and 103 + 10 r), the listing of the directory "d<r>"
// (105 + 10 r) and the look-up of "x<r>" in the directory "e"; at the gates
// "<r>-0" to "<r>-3".
struct Round {
    int number;
    unsigned first;
    std::string a, b, d, x;
    explicit Round(int r)
        : number(r), first(101 + 10 * static_cast<unsigned>(r)), a("a" + std::to_string(r)),
          b("b" + std::to_string(r)), d("d" + std::to_string(r)), x("x" + std::to_string(r)) {}
    std::string gate(int k) const { return std::to_string(number) + "-" + std::to_string(k); }
};

std::string cleartext_path(const e2e::Vob& vob, unsigned n) {
    return "/cltxt/" + vob.replica + "/" + id(n) + "/transparent";
}

// The VOB's root (version 11 of 10) lists the file c (21), the directory e
// (33) and what each round holds; every other listing is refused and every
// other name is not there.
std::string rules(const e2e::Vob& vob) {
    const auto file = [](const std::string& name, unsigned n) { return e2e::served_entry(name, n, 6, n - 1, 12); };
    const auto dir = [](const std::string& name, unsigned n) { return e2e::served_entry(name, n, 3, n - 1); };
    std::string root = file("c", 21) + ", " + dir("e", 33);
    std::string held;
    for (int r = 0; r < ROUNDS; ++r) {
        const Round round(r);
        root += ", " + file(round.a, round.first) + ", " + file(round.b, round.first + 2) + ", " +
                dir(round.d, round.first + 4);
        for (int k = 0; k < 2; ++k)
            held += R"({"match": {"method": "GET", "path": ")" + cleartext_path(vob, round.first + 2 * k) +
                    R"("}, "fault": )" + hold(round.gate(k)) + R"(, "reply": {"cleartext": true}}, )";
        held += R"({"match": {"rpc": ")" + std::string(DIRECTORY_RPC) + R"(", "args": {"VersionOid": ")" +
                id(round.first + 4) + R"("}}, "fault": )" + hold(round.gate(2)) + R"(, "reply": {"directory": [)" +
                file("y", round.first + 6) + "]}}, ";
        held += R"({"match": {"rpc": ")" + std::string(LOOKUP_RPC) + R"(", "args": {"LeafName": ")" + round.x +
                R"("}}, "fault": )" + hold(round.gate(3)) + R"(, "reply": )" +
                e2e::served_metadata(round.first + 8, 6, round.first + 7) + "}, ";
    }
    return e2e::vobinfo_rule(vob) +
           R"(, {"match": {"rpc": "Ostrel_Norvane::getconfigspec_rpc"}, "reply": {"parts": [)"
           R"({"id": "CspecElementRules", "body_text": "element * /main/LATEST"}]}}, )"
           R"({"match": {"rpc": "Ostrel_Norvane::getmetadata_rpc"}, "reply": )" +
           e2e::served_metadata(11, 3, 10) + R"(}, {"match": {"rpc": ")" + DIRECTORY_RPC +
           R"(", "args": {"VersionOid": ")" + id(11) + R"("}}, "reply": {"directory": [)" + root + "]}}, " + held +
           R"({"match": {"rpc": ")" + DIRECTORY_RPC +
           R"("}, "reply": {"status": {"code": 5, "message": "refused"}}}, {"match": {"rpc": ")" + LOOKUP_RPC +
           R"("}, "reply": {"status": {"code": 1052, "message": "no such name"}}})";
}

// One connection of the view's message channel: requests as korva_sim's
// JSON objects, replies decoded; notices passed over.
class Channel {
public:
    explicit Channel(const std::string& korva_root) {
        qel_str_to_uuid(VIEW_UUID, &m_defaults.view_uuid);
        if (m_client.connect(korva::Root(korva_root), "bench") != 0) bench::fail("no connection to the channel");
    }
    void send(json request) {
        request["id"] = m_next++;
        korva_sim::Request r = korva_sim::encodeRequest(request, m_defaults);
        if (m_client.send(r.packet) != 0) bench::fail("a request not sent");
        m_op = r.op;
    }
    // The reply to the last request sent.
    ordered_json receive(int timeout_ms = 60000) {
        for (;;) {
            std::vector<unsigned char> packet;
            if (m_client.receive(&packet, timeout_ms) != 0) bench::fail("no reply in time");
            if (korva::readMark(packet.data()) == korva::kMarkNotice) continue;
            return korva_sim::decodePacket(packet.data(), packet.size(), m_op);
        }
    }
    ordered_json call(const json& request) {
        send(request);
        return receive();
    }

private:
    korva::ChannelClient m_client;
    korva_sim::Defaults m_defaults;
    uint32_t m_next = 1;
    uint64_t m_op = 0;
};

// How many of the server's requests in `log` are those that `round` holds.
int held_requests(const std::vector<fakeserver::Json>& log, const e2e::Vob& vob, const Round& round) {
    int held = 0;
    for (const fakeserver::Json& r : log) {
        if (r["event"].as_string() != "request") continue;
        const std::string& subpath = r["subpath"].as_string();
        held += subpath == cleartext_path(vob, round.first) || subpath == cleartext_path(vob, round.first + 2);
        for (const std::vector<std::string>& arg : fakeserver::string_rows(r["rpcargs"])) {
            if (arg.size() != 2) continue;
            held += r["rpc"].as_string() == DIRECTORY_RPC && arg[1] == id(round.first + 4);
            held += r["rpc"].as_string() == LOOKUP_RPC && arg[0] == "LeafName" && arg[1] == round.x;
        }
    }
    return held;
}

bool answered(const ordered_json& reply) { return reply.value("rpc_status", -1) == 0 && reply.value("status", -1) == 0; }

json fh_of(const ordered_json& reply) {
    if (!answered(reply)) bench::fail("a call failed: " + reply.dump());
    return json::parse(reply.at("fh").dump());
}

json lookup(const json& dir, const std::string& name) { return {{"call", "lookup"}, {"dir", dir}, {"name", name}}; }

// `count` Getattr calls of `file`, one at a time: their round trips go to
// `samples`.
void getattrs(Channel& channel, const json& file, size_t count, std::vector<double>* samples) {
    const json request = {{"call", "getattr"}, {"fh", file}};
    for (size_t i = 0; i < count; ++i) {
        const Clock::time_point start = Clock::now();
        const ordered_json reply = channel.call(request);
        samples->push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (!answered(reply)) bench::fail("a Getattr failed: " + reply.dump());
    }
}

struct Percentiles {
    double p50_us;
    double p99_us;
};

Percentiles percentiles(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) { return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))]; };
    return {at(0.50), at(0.99)};
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string work = bench::make_dir(bench::base_dir(argc, argv), "slow_server_bench");
    const size_t count = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 20000;
    const std::string home = work + "/home", korva_root = work + "/korva", storage = work + "/view.vws";
    const std::string versions = work + "/versions";
    for (const std::string& dir : {home, korva_root, versions}) ::mkdir(dir.c_str(), 0700);
    const e2e::Vob vob;
    ::mkdir((versions + "/" + vob.replica).c_str(), 0700);
    std::vector<unsigned> files = {21};
    for (int r = 0; r < ROUNDS; ++r) files.insert(files.end(), {Round(r).first, Round(r).first + 2});
    for (unsigned n : files) {
        const std::string dir = versions + "/" + vob.replica + "/" + id(n);
        ::mkdir(dir.c_str(), 0700);
        e2e::write_file(dir + "/transparent", "version " + std::to_string(n) + "\n");
    }
    const fakeserver::Certificates& certs = fakeserver::certificates();
    if (certs.dir.empty()) bench::fail(certs.error);
    const std::map<std::string, std::string> env = {{"HOME", home},
                                                    {"KORVA_ROOT", korva_root},
                                                    {"NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR},
                                                    {"NORVANE_HOST_CONFIG_DIR", certs.dir}};
    int status = 0;
    {
        fakeserver::Fake_Server server(R"({"cleartext_dir": ")" + versions + R"(", "rules": [)" + rules(vob) + "]}");
        if (!server.ok()) bench::fail("the test server did not start: " + server.error());
        e2e::write_file(home + "/.keystore_norvane_ostrel.pem", e2e::read_file(certs.ca));
        e2e::Process agent(OSTREL_AGENT_PATH, {storage}, env);
        std::unique_ptr<e2e::PipeClient> client = bench::make_view_with_vob(agent, storage, work, server.url(""), vob);

        // The root listed, its names looked up, c's status cached.
        Channel timed(korva_root);
        const json root = fh_of(timed.call({{"call", "root"}, {"replica_uuid", vob.replica}}));
        if (!answered(timed.call({{"call", "readdir"}, {"dir", root}, {"offset", 0u}, {"max_size", 8744u}})))
            bench::fail("the root's listing");
        const json c = fh_of(timed.call(lookup(root, "c")));
        const json e = fh_of(timed.call(lookup(root, "e")));
        std::vector<double> warm, free_samples, held_samples;
        getattrs(timed, c, 100, &warm);

        for (int r = 0; r < ROUNDS; ++r) {
            const Round round(r);
            getattrs(timed, c, count / ROUNDS, &free_samples);

            // Four calls the server holds, each on a connection of its own.
            const json held_calls[HELD] = {
                {{"call", "getcleartext"}, {"fh", fh_of(timed.call(lookup(root, round.a)))}, {"buf_len", 1024u}},
                {{"call", "getcleartext"}, {"fh", fh_of(timed.call(lookup(root, round.b)))}, {"buf_len", 1024u}},
                {{"call", "readdir"}, {"dir", fh_of(timed.call(lookup(root, round.d)))}, {"offset", 0u},
                 {"max_size", 8744u}},
                lookup(e, round.x),
            };
            std::vector<std::unique_ptr<Channel>> waiting;
            for (const json& call : held_calls) {
                waiting.emplace_back(new Channel(korva_root));
                waiting.back()->send(call);
            }
            if (!server.wait_for_log(
                    [&](const std::vector<fakeserver::Json>& log) { return held_requests(log, vob, round) >= HELD; },
                    std::chrono::milliseconds(30000)))
                bench::fail("the server did not receive the four held calls");

            getattrs(timed, c, count / ROUNDS, &held_samples);

            for (int gate = 0; gate < HELD; ++gate) server.open_gate(round.gate(gate));
            for (std::unique_ptr<Channel>& channel : waiting)
                if (!answered(channel->receive())) bench::fail("a held call failed once the server went on");
        }
        const Percentiles free = percentiles(free_samples), held = percentiles(held_samples);

        std::printf("cached Getattr round trips through the view's channel, %zu calls one at a time of each, "
                    "in %d rounds\n\n",
                    free_samples.size(), ROUNDS);
        std::printf("  %-52s %9s %9s\n", "", "p50 us", "p99 us");
        std::printf("  %-52s %9.1f %9.1f\n", "nothing held", free.p50_us, free.p99_us);
        std::printf("  %-52s %9.1f %9.1f\n", "4 calls waiting for transfers the server holds", held.p50_us,
                    held.p99_us);
        std::printf("  %-52s %9.2f %9.2f\n\n", "ratio held / nothing held", held.p50_us / free.p50_us,
                    held.p99_us / free.p99_us);
        bench::print_goal("cached Getattr p99, 4 transfers held / none", held.p99_us / free.p99_us, "<=", 2.0);

        if (client->call(e2e::make_request("EndView", "end")).attrs["status-code"] != "0") status = 1;
        client.reset();
        if (agent.wait_exit() != std::optional<int>(0)) status = 1;
    }
    bench::remove_dir(work);
    return status;
}
