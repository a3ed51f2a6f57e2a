// The kernel request service of a serving daemon, driven from the kernel's
// side of the view's message channel: in-process through korva_sim's codec,
// and hand-made packets through the korva_sim program. Also how many kernel
// request threads run, and how they end.
//
// The view mounts no VOB (mounting comes with the client operations), so
// what needs a VOB answers as the view has none.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_fixture.h"
#include "pipe_client.h"
#include "platform/korva/korva_message.h"
#include "tools/korva_sim/kernel_side.h"

namespace e2e {
namespace {

using korva_sim::json;
using korva_sim::ordered_json;
using korva_sim_test::Kernel_Side;
using korva_sim_test::replied;

const std::vector<std::string> kTraced = {"-trace_level", "4", "-trace_subsystem", "OSTRELAGENT"};

class E2eKernel : public AgentTest {
protected:
    std::unique_ptr<Kernel_Side> kernel_of(const std::string& name) {
        std::unique_ptr<Kernel_Side> side(new Kernel_Side);
        EXPECT_EQ(0, side->connect(korva_root, "tag-" + name, uuid_for(name)));
        return side;
    }

    // Runs the korva_sim program for view `name` on `lines`; its output lines.
    std::vector<ordered_json> korva_sim(const std::string& name, const std::vector<std::string>& args,
                                        const std::string& lines) {
        std::vector<std::string> all = args;
        all.push_back("tag-" + name);
        Process sim(KORVA_SIM_PATH, all, agent_env());
        sim.write_stdin(lines);
        sim.close_stdin();
        EXPECT_EQ(sim.wait_exit(), std::optional<int>(0)) << sim.stderr_text();
        std::vector<ordered_json> out;
        std::istringstream text(sim.stdout_text());
        for (std::string line; std::getline(text, line);) out.push_back(ordered_json::parse(line));
        return out;
    }

    void end_view(const std::string& name) {
        std::string error;
        std::unique_ptr<PipeClient> client = PipeClient::connect(storage(name), "ender", kStartTimeout, &error);
        ASSERT_TRUE(client) << error;
        const lib_test::Reply reply = client->call(make_request("EndView", "end"));
        EXPECT_EQ(reply.attrs.count("status-code") ? reply.attrs.at("status-code") : "", "0");
    }
};

TEST_F(E2eKernel, RequestsAreAnsweredAndHostileOnesRefusedWhileTheDaemonServesOn) {
    std::unique_ptr<Process> agent = serve_new_view("k");
    std::unique_ptr<Kernel_Side> kernel = kernel_of("k");

    ordered_json null = kernel->call({{"call", "null"}});
    EXPECT_EQ(0, null["rpc_status"]) << null.dump();
    EXPECT_EQ(0u, null["res_out_size"]);
    for (unsigned code : {1u, 13u, 200u}) {
        ordered_json unknown = kernel->call({{"call", code}});
        EXPECT_EQ(3, unknown["rpc_status"]) << code;
        EXPECT_EQ(0u, unknown["res_out_size"]) << code;
    }
    // A VOB's objects need its metadata, which only the server has, and
    // content fetch does not ask it yet: the root fails as metadata that
    // could not be had, and a handle naming an object the view database
    // does not hold is stale.
    const std::string vob = "0f0f0f0f-0000-4000-8000-000000000001";
    ordered_json root = kernel->call({{"call", "root"}, {"replica_uuid", vob}});
    EXPECT_TRUE(replied(root, QEL_ST_NO_MEMORY));
    EXPECT_EQ(8u, root["res_out_size"]) << "a failed root sends its header alone";
    ordered_json lookup =
        kernel->call({{"call", "lookup"}, {"dir", {{"vob", vob}, {"dbid", 11u}}}, {"name", "a.c"}});
    EXPECT_TRUE(replied(lookup, QEL_ST_STALE));
    EXPECT_EQ(12u, lookup["res_out_size"]) << "a failed look-up still carries the name state";
    EXPECT_TRUE(replied(kernel->call({{"call", "getattr"}, {"fh", {{"vob", vob}, {"dbid", 11u}}}}),
                        QEL_ST_STALE));
    EXPECT_TRUE(replied(kernel->call({{"call", "invalidate"}, {"kind", 1u}})));

    // Hand-made packets: sizes that disagree with the body (the channel's
    // own refusal), and bodies the daemon cannot decode.
    korva::RequestHeader header;
    header.op = 108;
    header.req_size = 40;  // but 4 bytes follow
    header.res_in_size = korva::kBodyMax;
    header.request_id = 21;
    std::vector<unsigned char> lying(korva::kHeaderSize + 4, 0);
    korva::writeRequestHeader(lying.data(), header);
    korva_sim::Request getattr = korva_sim::encodeRequest({{"call", "getattr"}, {"id", 22u}}, {});
    std::vector<unsigned char> cut_body(getattr.packet.begin() + korva::kHeaderSize,
                                        getattr.packet.begin() + korva::kHeaderSize + 12);
    std::vector<unsigned char> cut = korva::makeRequestPacket(108, 22, korva::kBodyMax, cut_body.data(), cut_body.size());
    std::vector<unsigned char> garbage(200, 0xff);
    std::vector<unsigned char> junk = korva::makeRequestPacket(107, 23, korva::kBodyMax, garbage.data(), garbage.size());
    std::vector<unsigned char> empty = korva::makeRequestPacket(110, 24, korva::kBodyMax, nullptr, 0);
    korva_sim::Request after = korva_sim::encodeRequest({{"call", "null"}, {"id", 25u}}, {});
    std::string lines;
    for (const auto* packet : {&lying, &cut, &junk, &empty, &after.packet})
        lines += korva_sim::hexOf(packet->data(), packet->size()) + "\n";
    std::vector<ordered_json> out = korva_sim("k", {"--raw", "--pipeline"}, lines);
    ASSERT_EQ(5u, out.size());
    std::map<uint32_t, ordered_json> by_id;
    for (const ordered_json& line : out) by_id[line["request_id"].get<uint32_t>()] = line;
    EXPECT_EQ(4, by_id[21]["rpc_status"]);
    EXPECT_EQ(0u, by_id[21]["res_out_size"]);
    // The reply header with 1001, and a look-up's name state.
    for (uint32_t id : {22u, 23u, 24u}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(4, by_id[id]["rpc_status"]) << by_id[id].dump();
        EXPECT_EQ(QEL_ST_NO_MEMORY, by_id[id]["status"]);
        EXPECT_EQ(id == 23 ? 12u : 8u, by_id[id]["res_out_size"]);
    }
    EXPECT_EQ(0, by_id[25]["rpc_status"]);

    // The daemon serves on, on the first connection too.
    EXPECT_EQ(0, kernel->call({{"call", "null"}})["rpc_status"]);
}

TEST_F(E2eKernel, ManyKernelClientsOfSeveralThreadsGetTheirOwnRepliesAndTheEndEndsEveryThread) {
    ASSERT_TRUE(write_file(home + "/ostrel.conf", "ostrelNumKorva=3\n"));
    std::unique_ptr<Process> agent = serve_new_view("m", kTraced);
    const int clients = 6;
    const unsigned per_client = 30;
    std::vector<std::string> errors(clients);
    std::vector<std::thread> running;
    for (int c = 0; c < clients; ++c) {
        running.emplace_back([&, c] {
            std::unique_ptr<Kernel_Side> side = kernel_of("m");
            // The clients' ids overlap; each request's xid is its own.
            for (unsigned i = 1; i <= per_client; ++i) {
                const unsigned xid = 1000 * static_cast<unsigned>(c) + i;
                side->send({{"call", i % 2 == 0 ? "null" : "getattr"}, {"id", i}, {"xid", xid}});
            }
            std::set<unsigned> answered;
            for (unsigned i = 1; i <= per_client; ++i) {
                ordered_json reply = side->receive();
                const unsigned id = reply.value("request_id", 0u);
                const bool is_null = id % 2 == 0;
                const bool right = reply.value("rpc_status", -1) == 0 &&
                                   (is_null ? reply.value("res_out_size", 1u) == 0
                                            : reply.value("xid", 0u) == 1000 * static_cast<unsigned>(c) + id);
                if (!right || !answered.insert(id).second) errors[c] += reply.dump() + "\n";
            }
            if (!side->quiet(0)) errors[c] += "a reply too many\n";
        });
    }
    for (std::thread& t : running) t.join();
    for (int c = 0; c < clients; ++c) EXPECT_EQ(errors[c], "") << "client " << c;

    std::unique_ptr<Kernel_Side> idle = kernel_of("m");
    end_view("m");
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    // The channel went with the view: its connections were closed.
    EXPECT_TRUE(idle->receive().contains("error"));
    const std::string traces = all_traces();
    EXPECT_EQ(count_of(traces, "::Starting 3 KORVA request handler threads."), 1u) << traces;
    EXPECT_EQ(count_of(traces, "::Created KORVA thread "), 3u);
    EXPECT_EQ(count_of(traces, "::Start loop"), 3u);
    // Each ended as the view was unregistered.
    EXPECT_EQ(count_of(traces, "::KORVA_CMD_LPC_MESSAGE stat=1046 "), 3u);
    EXPECT_EQ(count_of(traces, "::End loop"), 3u);
}

TEST_F(E2eKernel, ASettingOfNoThreadsStartsNone) {
    for (const char* setting : {"0", "-3", "many"}) {
        SCOPED_TRACE(setting);
        const std::string name = std::string("n") + (setting[0] == '-' ? "neg" : setting);
        ASSERT_TRUE(write_file(home + "/ostrel.conf", std::string("ostrelNumKorva=") + setting + "\n"));
        std::unique_ptr<Process> agent = serve_new_view(name, kTraced);
        end_view(name);
        EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
        const std::string traces = all_traces();
        EXPECT_EQ(count_of(traces, "::Starting 0 KORVA request handler threads."), 1u);
        EXPECT_EQ(count_of(traces, "::Start loop"), 0u);
        for (const std::string& path : trace_files()) ::unlink(path.c_str());
    }
}

TEST_F(E2eKernel, AShutdownThatCannotUnregisterTheViewInterruptsItsKernelThreads) {
    ASSERT_TRUE(write_file(home + "/ostrel.conf", "ostrelNumKorva=2\n"));
    std::unique_ptr<Process> agent = serve_new_view("u", kTraced);
    std::unique_ptr<Kernel_Side> kernel = kernel_of("u");
    EXPECT_EQ(0, kernel->call({{"call", "null"}})["rpc_status"]);
    ASSERT_TRUE(write_file(korva_root + "/inject", "unregister_view 1008 1\n"));
    ASSERT_TRUE(agent->signal_child(SIGTERM));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(4));
    const std::string traces = all_traces();
    EXPECT_EQ(count_of(traces, "::KORVA_CMD_LPC_MESSAGE failed: -1"), 2u) << traces;
    EXPECT_EQ(count_of(traces, "::End loop"), 2u);
}

} // namespace
} // namespace e2e
