#pragma once
// The kernel's side of a served view's message channel for tests: one
// connection, requests written as korva_sim's JSON objects, replies decoded
// by its codec; notices are set aside. Every wait has a time-out.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "lib/test_deadline.h"
#include "platform/korva/korva_channel_client.h"
#include "platform/korva/korva_message.h"
#include "tools/korva_sim/korva_sim_codec.h"

namespace korva_sim_test {

using korva_sim::json;
using korva_sim::ordered_json;

// Long enough never to expire on a loaded machine when all is well.
constexpr int WAIT_MS = 20000;

class Kernel_Side {
public:
    // Connects to the channel of view `tag` (registered with `view_uuid`)
    // under `korva_root`. 0 or an errno value.
    int connect(const std::string& korva_root, const std::string& tag, const std::string& view_uuid) {
        qel_str_to_uuid(view_uuid.c_str(), &defaults_.view_uuid);
        return client_.connect(korva::Root(korva_root), tag);
    }

    // Sends `request` (with an id chosen here unless it names one); its id.
    uint32_t send(json request) {
        if (!request.contains("id")) request["id"] = next_id_++;
        korva_sim::Request r = korva_sim::encodeRequest(request, defaults_);
        EXPECT_EQ(0, client_.send(r.packet));
        ops_[r.id] = r.op;
        return r.id;
    }
    // Sends a packet made by hand, as a request of call `op` and id `id`.
    void send_packet(const std::vector<unsigned char>& packet, uint64_t op, uint32_t id) {
        EXPECT_EQ(0, client_.send(packet));
        ops_[id] = op;
    }

    // The next reply, decoded as its request's call; an object with "error"
    // when none comes in time or the channel closed the connection.
    ordered_json receive(int timeout_ms = WAIT_MS) {
        for (;;) {
            std::vector<unsigned char> packet;
            const int error = client_.receive(
                &packet, static_cast<int>(lib_test::scaled(std::chrono::milliseconds(timeout_ms)).count()));
            if (error != 0) return ordered_json{{"error", std::strerror(error)}};
            if (korva::readMark(packet.data()) == korva::kMarkNotice) {
                notices.push_back(korva_sim::decodePacket(packet.data(), packet.size(), std::nullopt));
                continue;
            }
            const uint32_t id = korva::readRequestId(packet.data());
            auto op = ops_.find(id);
            std::optional<uint64_t> call;
            if (op != ops_.end()) {
                call = op->second;
                ops_.erase(op);
            }
            return korva_sim::decodePacket(packet.data(), packet.size(), call);
        }
    }

    ordered_json call(const json& request) {
        send(request);
        return receive();
    }

    // Whether nothing arrives within `timeout_ms`.
    bool quiet(int timeout_ms) {
        std::vector<unsigned char> packet;
        return client_.receive(&packet, timeout_ms) == ETIMEDOUT;
    }

    std::vector<ordered_json> notices;

private:
    korva::ChannelClient client_;
    korva_sim::Defaults defaults_;
    uint32_t next_id_ = 1;
    std::map<uint32_t, uint64_t> ops_;
};

// A reply that went through: rpc_status 0 and the operation's `status`.
inline ::testing::AssertionResult replied(const ordered_json& reply, int status = 0) {
    if (reply.value("rpc_status", -1) != 0 || reply.value("status", -1) != status || reply.contains("error"))
        return ::testing::AssertionFailure() << "expected status " << status << ", got " << reply.dump();
    return ::testing::AssertionSuccess();
}

// A JSON copy of a reply's field, to send back in a request.
inline json field_of(const ordered_json& reply, const char* name) { return json::parse(reply.at(name).dump()); }

} // namespace korva_sim_test
