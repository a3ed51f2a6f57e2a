// The command base's services to the commands, without a server: the
// argument texts and the reading of a decimal reply item.

#include <string>

#include <gtest/gtest.h>

#include "lib/client/rclient_abstract_cmd.h"
#include "lib/client/rclient_parse_exception.h"
#include "lib/core/ostrelagent_status.h"

namespace {

class Probe : public RClient_Abstract_Cmd {
public:
    Probe() : RClient_Abstract_Cmd("Probe_rpc", true) {}
    int marshal_request(RClient_Request_Args*) override { return 0; }
    int unmarshal_response() override { return 0; }
    using RClient_Abstract_Cmd::marshal_arg;
    using RClient_Abstract_Cmd::parser;
    using RClient_Abstract_Cmd::unmarshal_item;
};

TEST(CommandBase, ArgumentTexts) {
    Probe probe;
    qel_oid_s oid = QEL_OID_NULL;
    ASSERT_EQ(qel_str_to_oid("0123abcd-0000-4000-8000-00000000ffff", &oid), 0);
    probe.marshal_arg("ul", 4294967296ul);
    probe.marshal_arg("u", 4294967295u);
    probe.marshal_arg("u0", 7u);
    probe.marshal_arg("flag", 7);
    probe.marshal_arg("noflag", 0);
    probe.marshal_arg("text", "a\nb");
    probe.marshal_arg("oid", oid);
    probe.marshal_arg("null", QEL_UUID_NULL);
    EXPECT_EQ(probe.get_req_args()->get_args(),
              "ul=4294967296\nu=-1\nu0=7\nflag=1\nnoflag=0\ntext=a%0Ab\n"
              "oid=0123abcd-0000-4000-8000-00000000ffff\nnull=00000000-0000-0000-0000-000000000000\n");
}

TEST(CommandBase, DecimalReplyItems) {
    const struct {
        const char* item; // the part's "Count" line; null: none
        bool good;
        unsigned value;
    } cases[] = {
        {"Count: 12", true, 12},
        {"Count: 4294967295", true, 4294967295u},
        {nullptr, false, 0},
        {"Count:", false, 0},
        {"Count: 1x", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.item != nullptr ? c.item : "none");
        Probe probe;
        std::string reply = "Content-Type: multipart/mixed; boundary=B\r\n--B\r\nContent-ID: X\r\n";
        if (c.item != nullptr) reply += std::string(c.item) + "\r\n";
        reply += "Content-Length: 0\r\n\r\n";
        probe.parser()->append_response(reply.data(), reply.size());
        ASSERT_EQ(probe.parser()->next_part(1), 1);
        unsigned value = 99;
        try {
            probe.unmarshal_item("Count", value);
            EXPECT_TRUE(c.good);
            EXPECT_EQ(value, c.value);
        } catch (const RClient_Malformed_Response_Exception& e) {
            EXPECT_FALSE(c.good);
            EXPECT_EQ(e.get_code(), OstrelAgent_Status::RC_BAD_REPLY_ITEM);
        }
    }
}

} // namespace
