// The request dispatcher and the two error operations: every operation name
// of the table, unrecognised and malformed requests, what the dispatcher
// leaves to the operations, and the error operations' replies.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <typeinfo>

#include "lib/core/ostrelagent_status.h"
#include "lib/reply_test_support.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "lib/requests/ostrelagent_connect.h"
#include "lib/requests/ostrelagent_disconnect.h"
#include "lib/requests/ostrelagent_endview.h"
#include "lib/requests/ostrelagent_getconfigspec.h"
#include "lib/requests/ostrelagent_load.h"
#include "lib/requests/ostrelagent_mkview.h"
#include "lib/requests/ostrelagent_mountvob.h"
#include "lib/requests/ostrelagent_request_dispatcher.h"
#include "lib/requests/ostrelagent_restore.h"
#include "lib/requests/ostrelagent_setcache.h"
#include "lib/requests/ostrelagent_setconfigspec.h"
#include "lib/requests/ostrelagent_startview.h"
#include "lib/requests/ostrelagent_unknown.h"
#include "lib/requests/ostrelagent_update.h"
#include "lib/requests/ostrelagent_xmlerror.h"

namespace {

using lib_test::read_reply;
using lib_test::Reply;

std::unique_ptr<OstrelAgent_AbstractOp> dispatch(std::string text, int& status,
                                                 std::string storage = "/views/v") {
    status = -1;
    return std::unique_ptr<OstrelAgent_AbstractOp>(
        OstrelAgent_AbstractOp::create_xml_request_handler(text, storage, status));
}

// The protocol's operation names, in the order the dispatcher compares
// them, with the highest version each accepts.
struct Expected {
    const char* tag;
    const char* version;
};
const Expected kTable[] = {
    {"Checkin", "1"},          {"Checkout", "1"},          {"Connect", "1"},
    {"Disconnect", "1"},       {"EndView", "1"},           {"GetAggregatedState", "1"},
    {"GetCache", "1"},         {"GetChildren", "1"},       {"GetConfigSpec", "1"},
    {"GetMetadata", "1"},      {"GetMountedVobList", "1"}, {"Hijack", "1"},
    {"InvalidateCheckouts", "1"}, {"IsVobMounted", "1"},   {"IsProjectVob", "1"},
    {"IsUpdateInProgress", "1"}, {"IsVobPublic", "1"},     {"Load", "1"},
    {"MergeDirectory", "1"},   {"Mkelem", "1"},            {"MkView", "1"},
    {"MountVob", "1"},         {"Move", "1"},              {"Restore", "1"},
    {"Rmname", "1"},           {"SetCache", "1"},          {"SetConfigSpec", "1.0"},
    {"StartView", "1"},        {"Uncheckout", "2"},        {"Unhijack", "1"},
    {"Update", "1"},
};

TEST(LibDispatcher, TableNamesEveryOperationInOrder) {
    const auto& table = ostrelagent_dispatch_table();
    ASSERT_EQ(table.size(), sizeof kTable / sizeof kTable[0]);
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(*table[i].tag, kTable[i].tag) << i;
        EXPECT_STREQ(table[i].supported_version, kTable[i].version) << kTable[i].tag;
    }
}

TEST(LibDispatcher, EveryOperationNameGetsItsOperation) {
    for (const Expected& e : kTable) {
        const std::string request = std::string("<") + e.tag + " version=\"1\" tx-id=\"5\"/>";
        int status;
        std::unique_ptr<OstrelAgent_AbstractOp> op = dispatch(request, status);
        ASSERT_NE(op, nullptr) << e.tag;
        EXPECT_EQ(status, 0) << e.tag;
        EXPECT_EQ(op->get_request_text(), request);
        ASSERT_NE(op->get_request_doc(), nullptr) << e.tag; // the document moved in
        std::string name;
        op->get_request_name(name);

        const std::string tag = e.tag;
        const std::map<std::string, const std::type_info*> served = {
            {"Connect", &typeid(OstrelAgent_Connect)},
            {"Disconnect", &typeid(OstrelAgent_Disconnect)},
            {"EndView", &typeid(OstrelAgent_Endview)},
            {"GetConfigSpec", &typeid(OstrelAgent_GetConfigSpec)},
            {"Load", &typeid(OstrelAgent_Load)},
            {"MkView", &typeid(OstrelAgent_Mkview)},
            {"MountVob", &typeid(OstrelAgent_Mountvob)},
            {"Restore", &typeid(OstrelAgent_Restore)},
            {"SetCache", &typeid(OstrelAgent_SetCache)},
            {"SetConfigSpec", &typeid(OstrelAgent_SetConfigSpec)},
            {"StartView", &typeid(OstrelAgent_Startview)},
            {"Update", &typeid(OstrelAgent_Update)},
        };
        if (served.count(tag) != 0) {
            EXPECT_EQ(name, tag);
            EXPECT_EQ(op->get_supported_version(), e.version);
            EXPECT_EQ(typeid(*op), *served.at(tag)) << tag;
            if (tag == "EndView") {
                ASSERT_NE(dynamic_cast<OstrelAgent_Endview*>(op.get()), nullptr);
                EXPECT_FALSE(dynamic_cast<OstrelAgent_Endview*>(op.get())->is_forced());
            }
            if (tag == "MkView") {
                ASSERT_NE(dynamic_cast<OstrelAgent_Mkview*>(op.get()), nullptr);
                EXPECT_EQ(dynamic_cast<OstrelAgent_Mkview*>(op.get())->get_storage(), "/views/v");
            }
            if (tag == "StartView") {
                ASSERT_NE(dynamic_cast<OstrelAgent_Startview*>(op.get()), nullptr);
                EXPECT_EQ(dynamic_cast<OstrelAgent_Startview*>(op.get())->get_storage(),
                          "/views/v");
            }
            continue;
        }
        // Not served yet: answered as an unrecognised request.
        ASSERT_NE(dynamic_cast<OstrelAgent_Unknown*>(op.get()), nullptr) << e.tag;
        EXPECT_EQ(name, "XMLError");
        EXPECT_EQ(op->get_supported_version(), "1");
        op->process_request();
        Reply reply = read_reply(op->get_response());
        EXPECT_EQ(reply.root, "XMLError") << e.tag;
        EXPECT_EQ(reply.attrs["tx-id"], "5");
        EXPECT_EQ(reply.attrs["status-code"], "20020");
        EXPECT_EQ(reply.children["status-message"], "Unrecognized IPC: \"" + tag + "\".\n");
    }
}

TEST(LibDispatcher, UnrecognisedRootsGetTheUnknownOperation) {
    // Comparison is exact: letter case counts, and so does a prefix.
    for (const char* tag : {"checkin", "CHECKIN", "Frobnicate", "StartViewX", "Unknown", "XMLError"}) {
        const std::string request = std::string("<") + tag + " version=\"1\" tx-id=\"42\"/>";
        int status;
        std::unique_ptr<OstrelAgent_AbstractOp> op = dispatch(request, status);
        ASSERT_NE(op, nullptr) << tag;
        EXPECT_EQ(status, 0);
        ASSERT_NE(dynamic_cast<OstrelAgent_Unknown*>(op.get()), nullptr) << tag;
        op->process_request();
        EXPECT_EQ(op->get_status(), 0) << tag; // a tx-id was given
        Reply reply = read_reply(op->get_response());
        EXPECT_EQ(reply.root, "XMLError");
        EXPECT_EQ(reply.attrs["tx-id"], "42");
        EXPECT_EQ(reply.attrs["status-code"], "20020");
        EXPECT_EQ(reply.children["status-message"], std::string("Unrecognized IPC: \"") + tag + "\".\n");
    }

    // Without a tx-id the operation fails its own check, but the reply still
    // says 20020.
    int status;
    std::unique_ptr<OstrelAgent_AbstractOp> op = dispatch("<Frob/>", status);
    op->process_request();
    EXPECT_EQ(op->get_status(), OstrelAgent_Status::MALFORMED_REQUEST);
    Reply reply = read_reply(op->get_response());
    EXPECT_EQ(reply.attrs["status-code"], "20020");
    EXPECT_EQ(reply.attrs["tx-id"], "");
}

TEST(LibDispatcher, TextThatIsNotXmlGetsTheUnknownOperationWithoutDocument) {
    struct Case {
        const char* text;
        const char* txid;
    };
    const Case cases[] = {
        {"this is not xml tx-id=\"77\"", "77"},
        {"<StartView version=\"1\">", ""},            // unterminated
        {"<a></b>", ""},
        {"<!DOCTYPE a [<!ENTITY e \"x\">]><a tx-id=\"3\"/>", "3"}, // DTDs are refused
        {"", ""},
    };
    for (const Case& c : cases) {
        int status;
        std::unique_ptr<OstrelAgent_AbstractOp> op = dispatch(c.text, status);
        ASSERT_NE(op, nullptr) << c.text;
        EXPECT_EQ(status, 0);
        ASSERT_NE(dynamic_cast<OstrelAgent_Unknown*>(op.get()), nullptr) << c.text;
        EXPECT_EQ(op->get_request_doc(), nullptr);
        EXPECT_EQ(op->get_supported_version(), "1");
        op->process_request();
        EXPECT_EQ(op->get_status(), OstrelAgent_Status::MALFORMED_REQUEST);
        Reply reply = read_reply(op->get_response());
        ASSERT_TRUE(reply.parsed) << c.text;
        EXPECT_EQ(reply.root, "XMLError");
        EXPECT_EQ(reply.attrs["tx-id"], c.txid) << c.text;
        EXPECT_EQ(reply.attrs["status-code"], "20020");
        EXPECT_EQ(reply.children["status-message"], std::string("Parse error in \"") + c.text + "\".\n");
    }
}

TEST(LibDispatcher, LeavesVersionAndTxidToTheOperation) {
    int status;
    std::unique_ptr<OstrelAgent_AbstractOp> op = dispatch("<EndView/>", status);
    ASSERT_NE(dynamic_cast<OstrelAgent_Endview*>(op.get()), nullptr);
    EXPECT_EQ(status, 0);
    // EndView's own check refuses it, and nothing is shut down.
    op->process_request();
    EXPECT_EQ(op->get_status(), OstrelAgent_Status::MALFORMED_REQUEST);
    Reply reply = read_reply(op->get_response());
    EXPECT_EQ(reply.root, "EndView");
    EXPECT_EQ(reply.attrs["status-code"], "20021");
    EXPECT_EQ(reply.children["status-message"], "Parse error in \"<EndView/>\".\n");

    // Uncheckout accepts version 2 (served later); StartView does not.
    op = dispatch("<StartView version=\"2\"><server/></StartView>", status);
    ASSERT_NE(op, nullptr);
    EXPECT_EQ(op->get_supported_version(), "1");
}

TEST(LibErrorOperations, XmlErrorReply) {
    // As the dispatcher builds it for text that cannot be transcoded.
    NorvaneAutoPtr<NorvaneXmlDoc> none;
    OstrelAgent_XMLError op("<a tx-id=\"12\">x</a>", none);
    op.set_status(OstrelAgent_Status::TRANSCODE_FAILED);
    op.set_request_name("XMLError");
    op.set_supported_version("1");
    op.process_request();
    Reply reply = read_reply(op.get_response());
    EXPECT_EQ(reply.root, "XMLError");
    EXPECT_EQ(reply.attrs["tx-id"], "12");
    EXPECT_EQ(reply.attrs["status-code"], "20057");
    EXPECT_TRUE(reply.has_child("status-message"));
    EXPECT_EQ(reply.children["status-message"].rfind("Parse error in \"<a tx-id=", 0), 0u);
}

TEST(LibErrorOperations, EndViewWithoutViewFailsAndShowsTheStatus) {
    // A client EndView while no view runs: 20019 with the catalog text.
    int status;
    std::unique_ptr<OstrelAgent_AbstractOp> op =
        dispatch("<EndView version=\"1\" tx-id=\"8\"/>", status);
    op->process_request();
    EXPECT_EQ(op->get_status(), OstrelAgent_Status::NO_VIEW);
    Reply reply = read_reply(op->get_response());
    EXPECT_EQ(reply.attrs["tx-id"], "8");
    EXPECT_EQ(reply.attrs["status-code"], "20019");
    EXPECT_EQ(reply.children["status-message"], "View information not found.");
}

} // namespace

namespace {

TEST(LibDispatcher, SetCacheBeforeAnyViewExistsChangesNothing) {
    int status;
    std::unique_ptr<OstrelAgent_AbstractOp> op =
        dispatch("<SetCache version=\"1\" tx-id=\"s\"><cache-size value=\"16777216\"/></SetCache>", status);
    ASSERT_NE(op, nullptr);
    op->process_request();
    Reply reply = read_reply(op->get_response());
    EXPECT_EQ(reply.attrs["status-code"], "20019");
    EXPECT_EQ(reply.children["status-message"], "View information not found.");
}

} // namespace
