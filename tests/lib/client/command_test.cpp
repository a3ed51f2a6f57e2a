// The remote commands against the test server over TLS on loopback: each
// command's request as the server received it, its reply decoded from real
// encoded records (the server has them encoded by the project's own blob
// tool), the new login after a refused session, and what damaged or cut
// replies give.

#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/client/rclient_get_directory_contents.h"
#include "lib/client/rclient_get_metadata.h"
#include "lib/client/rclient_get_vobinfo.h"
#include "lib/client/rclient_login.h"
#include "lib/client/rclient_logout.h"
#include "lib/client/rclient_lookup.h"
#include "lib/client/rclient_session.h"
#include "lib/client/server_fixture.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_status.h"

namespace {

using client_test::oid;
using client_test::scenario;
using client_test::text;
using client_test::uuid;
using fakeserver::header_lines;
using fakeserver::Json;
using fakeserver::string_rows;
using Rows = std::vector<std::vector<std::string>>;
using Lines = std::vector<std::string>;
namespace S = OstrelAgent_Status;

const char* const LOGIN_RPC = "Ostrel_Norvane::login_rpc";
const char* const LOOKUP_RPC = "Ostrel_Norvane::lookup_rpc";
const char* const METADATA_RPC = "Ostrel_Norvane::getmetadata_rpc";
const char* const DIRECTORY_RPC = "Ostrel_Norvane::get_directory_contents_rpc";
const char* const VOBINFO_RPC = "Ostrel_Norvane::getvobinfo_rpc";

const char* const VIEW = "0a0a0a0a-0000-4000-8000-00000000000a";
const char* const VOB = "0b0b0b0b-0000-4000-8000-00000000000b";
const char* const VER = "0c0c0c0c-0000-4000-8000-00000000000c";
const char* const ELEM = "0d0d0d0d-0000-4000-8000-00000000000d";
const char* const SCOPE1 = "51515151-0000-4000-8000-000000000001";
const char* const SCOPE2 = "52525252-0000-4000-8000-000000000002";

// What a test sends as a record and reads back: the fields that tell
// records apart.
struct Attrs {
    unsigned type = 0;
    unsigned mode = 0;
    std::string obj_oid;
    bool checked_out = false;
    std::string link;

    std::string json() const {
        return R"({"fstat": {"type": )" + std::to_string(type) + R"(, "mode": )" + std::to_string(mode) +
               R"(, "nlink": 2, "size": 4294967298}, "mtype": 5, "obj_oid": ")" + obj_oid +
               R"(", "checked_out": )" + (checked_out ? "true" : "false") + R"(, "link_text": ")" + link + R"("})";
    }
    static Attrs of(const ostrel_vstat& v) {
        Attrs a;
        a.type = v.vstat.fstat.type;
        a.mode = v.vstat.fstat.mode;
        a.obj_oid = text(v.vstat.obj_oid);
        if (a.obj_oid == text(QEL_OID_NULL)) a.obj_oid.clear();
        a.checked_out = v.checked_out != 0;
        a.link = v.link_text;
        return a;
    }
    bool operator==(const Attrs& o) const {
        return type == o.type && mode == o.mode && obj_oid == o.obj_oid && checked_out == o.checked_out &&
               link == o.link;
    }
};

void PrintTo(const Attrs& a, std::ostream* out) {
    *out << "{type " << a.type << ", mode " << std::oct << a.mode << std::dec << ", " << a.obj_oid << ", co "
         << a.checked_out << ", link '" << a.link << "'}";
}

std::string scope_json(const char* scope_oid, unsigned gn) {
    return R"({"scope_oid": ")" + std::string(scope_oid) + R"(", "pname": "/vobs/a", "gn": )" + std::to_string(gn) + "}";
}

const Attrs FILE_OBJ{1, 0100444, "0e000000-0000-4000-8000-000000000001", true, ""};
const Attrs FILE_ELEM{1, 0100444, "0e000000-0000-4000-8000-000000000002", false, ""};
const Attrs LINK_OBJ{5, 0120777, "0e000000-0000-4000-8000-000000000003", false, "../target"};

// "metadata": the three parts of one object.
std::string metadata_reply(const std::string& extra = "") {
    return R"({"metadata": {"scope": )" + scope_json(SCOPE1, 7) + R"(, "obj": )" + FILE_OBJ.json() +
           R"(, "elem": )" + FILE_ELEM.json() + "}" + extra + "}";
}

// A test's own command: its reader procedure is the test's.
class Test_Command : public RClient_Abstract_Cmd {
public:
    explicit Test_Command(std::function<int(Test_Command&)> reader)
        : RClient_Abstract_Cmd("Test_rpc", true), m_reader(std::move(reader)) {}
    int marshal_request(RClient_Request_Args*) override { return 0; }
    int unmarshal_response() override { return m_reader(*this); }

private:
    std::function<int(Test_Command&)> m_reader;
};

// Collects what the directory fetch hands over.
struct Entry {
    std::string name;
    std::string scope;
    unsigned scope_gn;
    Attrs obj;
    Attrs elem;
    bool operator==(const Entry& o) const {
        return name == o.name && scope == o.scope && scope_gn == o.scope_gn && obj == o.obj && elem == o.elem;
    }
};

void PrintTo(const Entry& e, std::ostream* out) {
    *out << e.name << " scope " << e.scope << "/" << e.scope_gn << " obj ";
    PrintTo(e.obj, out);
    *out << " elem ";
    PrintTo(e.elem, out);
}

class Collector : public Get_Directory_Contents_Listener {
public:
    void process_dirent(ostrel_extended_dirent* entry) override {
        entries.push_back({entry->dirent.name, text(entry->scope_oid), entry->scope_gn,
                           Attrs::of(entry->obj_vstat), Attrs::of(entry->elem_vstat)});
    }
    std::vector<Entry> entries;
};

class CommandTest : public client_test::Command_Test {
protected:
    std::string keystore_der() const {
        return home.path() + "/.keystore_norvane_ostrel_localhost(" + std::to_string(server->port()) + ").der";
    }

    // The requests the server logged, as "rpc-or-path auth".
    Lines request_summary() const {
        Lines lines;
        for (const Json& request : server->requests()) {
            const std::string what = request["method"].as_string() == "GET" ? request["subpath"].as_string()
                                                                             : request["rpc"].as_string();
            lines.push_back(what + " " + request["auth"].as_string());
        }
        return lines;
    }
};

TEST_F(CommandTest, LoginAndLogout) {
    start_server(scenario(""));
    Login first("alice", "pw", "DOM", "staff", "staff dev", server->url(), "", "", "", 0);
    EXPECT_FALSE(session->is_authenticated());
    ASSERT_EQ(first.run(), 0) << first.get_status().message;
    Checked c = check(first);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.status, 0);
    EXPECT_TRUE(session->is_authenticated());
    EXPECT_EQ(session->get_jsessionid(), "J1");
    EXPECT_EQ(session->get_session_id(), "S1");
    std::string keystore, password;
    session->get_keystore(keystore, password);
    EXPECT_EQ(keystore, keystore_pem()) << "no per-server keystore: the common one";
    EXPECT_EQ(password, "brindoma");

    Json request = only_request();
    EXPECT_EQ(request["method"].as_string(), "POST");
    EXPECT_EQ(request["auth"].as_string(), "credentials");
    EXPECT_EQ(string_rows(request["form"]),
              (Rows{{"rpc", LOGIN_RPC},
                    {"rpcargs", "min_clnt_proto_ver=6\nmax_clnt_proto_ver=6\nclienttype=ClientType.UNKNOWN\n"}}));
    EXPECT_EQ(header_lines(request, "x-quelfo-login-primary-group"), Lines{"x-quelfo-login-primary-group:staff"});
    EXPECT_EQ(header_lines(request, "Cookie"), Lines{});

    Logout logout;
    EXPECT_EQ(logout.get_url(), server->url() + "/logout");
    ASSERT_EQ(logout.run(), 0) << logout.get_status().message;
    EXPECT_EQ(check(logout).result, 0);
    EXPECT_FALSE(session->is_authenticated());
    EXPECT_EQ(session->get_jsessionid(), "");
    EXPECT_EQ(session->get_session_id(), "");
    EXPECT_EQ(session->get_url(), server->url());
    Json bye = server->requests().back();
    EXPECT_EQ(bye["method"].as_string(), "GET");
    EXPECT_EQ(bye["path"].as_string(), "/ostrel/logout");
    EXPECT_EQ(header_lines(bye, "Cookie"), Lines{"Cookie:JSESSIONID=J1;Session=S1"});
    EXPECT_EQ(string_rows(bye["form"]), Rows{});

    // The login without arguments: the stored credentials, afresh.
    session->set_jsessionid("stale");
    Login again;
    EXPECT_EQ(session->get_jsessionid(), "");
    EXPECT_FALSE(session->is_authenticated());
    ASSERT_EQ(again.run(), 0);
    EXPECT_EQ(server->requests().back()["auth"].as_string(), "credentials");
    EXPECT_EQ(header_lines(server->requests().back(), "x-quelfo-login-groups-list"),
              Lines{"x-quelfo-login-groups-list:staff dev"});
    EXPECT_TRUE(session->is_authenticated());
}

// The cookies come from the reply's header lines: the text after the name,
// up to ";" or the line's end, from the first line that holds it.
TEST_F(CommandTest, CookiesFromTheReplysHeaderLines) {
    start_server(scenario(R"({"match": {"rpc": "Ostrel_Norvane::login_rpc"},
                              "reply": {"headers": [["X-First", "JSESSIONID=J7; Path=/"], ["X-Second", "JSESSIONID=J8"],
                                                    ["X-Third", "tail Session=S7"]]}},
                             {"match": {"rpc": "Test_rpc"}})",
                          ""));
    ASSERT_EQ(login(), 0);
    EXPECT_EQ(session->get_jsessionid(), "J7");
    EXPECT_EQ(session->get_session_id(), "S7");
    EXPECT_TRUE(session->is_authenticated());

    // A reply without cookies leaves them alone.
    Test_Command command([](Test_Command&) { return 0; });
    ASSERT_EQ(command.run(), 0);
    EXPECT_EQ(session->get_jsessionid(), "J7");
    EXPECT_EQ(session->get_session_id(), "S7");
}

TEST(LoginKeystore, TheServerPartOfTheKeystoreName) {
    const struct {
        const char* url;
        const char* trimmed;
    } cases[] = {
        {"https://host:8443/ostrel", "host(8443)"},
        {"HTTPS://host/ostrel", "host(443)"},
        {"https://host", "host(443)"},
        {"https://host:/ostrel", "host()"},
        {"https://[fe80::1]:9443/ostrel", "[fe80++1](9443)"},
        {"https://[fe80::1]/ostrel", "[fe80++1](443)"},
        {"https:host", "https:host"}, // no "/": as it was
        {"http://host:80/ostrel", ""},
        {"httpx://host/", ""},
        {"http", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        std::string url = c.url;
        Login::trim_url_hostname(url);
        EXPECT_EQ(url, c.trimmed) << c.url;
    }
}

// The per-server keystore, the server's public key, wins over the common
// one whenever it exists.
TEST_F(CommandTest, APinnedServerKeyWinsOverTheCommonKeystore) {
    const fakeserver::Certificates& certs = fakeserver::certificates();
    const struct {
        const char* name;
        std::string der;  // empty: none
        std::string pem;
        int status;
    } cases[] = {
        {"the common keystore alone", "", certs.ca, 0},
        {"the pinned key over a useless common keystore", certs.server_public, certs.untrusted_cert, 0},
        {"a wrong pinned key over a good common keystore", certs.other_public, certs.ca, S::RC_TRANSFER_FAILED},
    };
    start_server(scenario(""));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ::remove(keystore_der().c_str());
        if (!c.der.empty()) lib_test::write_file(keystore_der(), lib_test::read_file(c.der));
        lib_test::write_file(keystore_pem(), lib_test::read_file(c.pem));
        EXPECT_EQ(login(), c.status);
        std::string keystore, password;
        session->get_keystore(keystore, password);
        EXPECT_EQ(keystore, c.der.empty() ? keystore_pem() : keystore_der());
        session->flush_curl_handles();
    }
}

// One new login when the server refuses the session, never more, and only
// for a session that had logged in.
TEST_F(CommandTest, ARefusedSessionLogsInAgainOnce) {
    const std::string lookup = std::string(LOOKUP_RPC);
    const std::string refused = "Authorization failure, check username and password.\n";
    // The call's own text, then each reason on a line of its own.
    const std::string incomplete = "Unable to complete RPC to WAN server.\n";
    const struct {
        const char* name;
        std::string rules;
        bool log_in_first;
        const char* leaf;
        Lines requests;  // after the first login
        int call_status;
        int check;
        std::string message;
    } cases[] = {
        // The login's cookies are dead from the start: the server forgot them.
        {"the session expired: one login, then the resend passes",
         R"({"match": {"rpc": "Ostrel_Norvane::login_rpc"}, "times": 1,
             "reply": {"headers": [["Set-Cookie", "JSESSIONID=J1"], ["Set-Cookie", "Session=S1"]]}},
            {"match": {"rpc": "Ostrel_Norvane::lookup_rpc"}, "reply": )" + metadata_reply() + "}",
         true, "a", {lookup + " refused", std::string(LOGIN_RPC) + " credentials", lookup + " cookie"}, 0, 0, ""},
        {"refused twice: no second login",
         R"({"match": {"rpc": "Ostrel_Norvane::lookup_rpc"}, "fault": {"http": 401}})", true, "x",
         {lookup + " cookie", std::string(LOGIN_RPC) + " credentials", lookup + " cookie"},
         S::RC_UNAUTHORIZED, S::RPC_INCOMPLETE, incomplete + refused},
        {"never logged in: no login",
         R"({"match": {"rpc": "Ostrel_Norvane::lookup_rpc"}, "fault": {"http": 401}})", false, "x",
         {lookup + " credentials"}, S::RC_UNAUTHORIZED, S::RPC_INCOMPLETE, incomplete + refused},
        {"the new login is refused",
         R"({"match": {"rpc": "Ostrel_Norvane::lookup_rpc"}, "fault": {"http": 401}},
            {"match": {"rpc": "Ostrel_Norvane::login_rpc"}, "fault": {"http": 403}})",
         false, "x", {lookup + " credentials", std::string(LOGIN_RPC) + " credentials"},
         S::RC_UNAUTHORIZED, S::RPC_INCOMPLETE,
         incomplete + "Unable to establish new WAN session using cached credentials.\n" + refused},
    };
    OstrelAgent_Log::g_enabled = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start_server(scenario(c.rules));
        if (c.log_in_first) {
            ASSERT_EQ(login(), 0);
        } else {
            // Credentials, and a stale cookie or none.
            Login("alice", "pw", "DOM", "", "", server->url(), "", "", "", 0);
            if (std::string(c.name) == "the new login is refused") session->set_jsessionid("J-old");
        }
        const size_t before = server->requests().size();
        Lookup command(uuid(VIEW), uuid(VOB), oid(VER), QEL_OID_NULL, c.leaf);
        EXPECT_EQ(command.run(), c.call_status);
        Checked checked = check(command);
        EXPECT_EQ(checked.result, c.check);
        EXPECT_EQ(checked.message, c.message);
        Lines requests = request_summary();
        requests.erase(requests.begin(), requests.begin() + static_cast<long>(before));
        EXPECT_EQ(requests, c.requests);
        std::vector<Json> logged = server->requests();
        if (c.call_status == 0) {
            // The resend marshals the same arguments afresh.
            EXPECT_EQ(string_rows(logged.back()["rpcargs"]), string_rows(logged[before]["rpcargs"]));
            ostrel_vstat obj;
            EXPECT_EQ(command.get_obj_ostrel_vstat(obj), 0);
            EXPECT_EQ(Attrs::of(obj), FILE_OBJ);
        } else {
            EXPECT_NE(lib_test::read_file(log.log_path())
                          .find("WAN RPC \"Ostrel_Norvane::lookup_rpc\" failed : WAN status code 30002"),
                      std::string::npos);
        }
        session->flush_curl_handles();
        session->clear_login();
    }
    OstrelAgent_Log::g_enabled = 0;

    // The login itself never logs in again.
    start_server(scenario(R"({"match": {"rpc": "Ostrel_Norvane::login_rpc"}, "fault": {"http": 401}})"));
    session->set_jsessionid("J-old");
    EXPECT_EQ(login(), S::RC_UNAUTHORIZED);
    EXPECT_EQ(request_summary(), Lines{std::string(LOGIN_RPC) + " credentials"});
}

// Each fetch's arguments as the server received them, and its reply decoded.
TEST_F(CommandTest, FetchRequestsAndTheirDecodedReplies) {
    Collector collector;
    const struct {
        const char* name;
        std::function<RClient_Abstract_Cmd*()> make;
        const char* rpc;
        Rows args;
    } cases[] = {
        {"metadata of a VOB root",
         [] { return new Get_Metadata(uuid(VIEW), uuid(VOB), QEL_OID_NULL, QEL_OID_NULL); }, METADATA_RPC,
         {{"ViewUuid", VIEW}, {"VobUuid", VOB}}},
        {"metadata by every id",
         [] { return new Get_Metadata(uuid(VIEW), uuid(VOB), oid(VER), oid(ELEM)); }, METADATA_RPC,
         {{"ViewUuid", VIEW}, {"VobUuid", VOB}, {"VersionOid", VER}, {"ElementOid", ELEM}}},
        {"metadata by path", [] { return new Get_Metadata(uuid(VIEW), std::string("/vobs/a/b c")); },
         METADATA_RPC, {{"ViewUuid", VIEW}, {"PathName", "/vobs/a/b c"}}},
        {"lookup with every id and a name holding a line feed",
         [] { return new Lookup(uuid(VIEW), uuid(VOB), oid(VER), oid(ELEM), "a\nb"); }, LOOKUP_RPC,
         {{"ViewUuid", VIEW}, {"VobUuid", VOB}, {"VersionOid", VER}, {"ElementOid", ELEM}, {"LeafName", "a%0Ab"}}},
        {"lookup without element or name",
         [] { return new Lookup(uuid(VIEW), uuid(VOB), oid(VER), QEL_OID_NULL, ""); }, LOOKUP_RPC,
         {{"ViewUuid", VIEW}, {"VobUuid", VOB}, {"VersionOid", VER}}},
        {"directory without a view uuid",
         [&collector] { return new Get_Directory_Contents(QEL_UUID_NULL, uuid(VOB), oid(VER), QEL_OID_NULL, collector); },
         DIRECTORY_RPC, {{"VobUuid", VOB}, {"VersionOid", VER}}},
        {"directory by path",
         [&collector] { return new Get_Directory_Contents(uuid(VIEW), "/vobs/a", collector); }, DIRECTORY_RPC,
         {{"ViewUuid", VIEW}, {"PathName", "/vobs/a"}}},
    };
    std::string rules;
    for (const char* rpc : {METADATA_RPC, LOOKUP_RPC, DIRECTORY_RPC})
        rules += std::string(rules.empty() ? "" : ",") + R"({"match": {"rpc": ")" + rpc + R"("}, "reply": )" +
                 metadata_reply() + "}";
    start_server(scenario(rules));
    ASSERT_EQ(login(), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<RClient_Abstract_Cmd> command(c.make());
        ASSERT_EQ(command->run(), 0) << command->get_status().message;
        EXPECT_EQ(check(*command).result, 0);
        Json request = server->requests().back();
        EXPECT_EQ(request["rpc"].as_string(), c.rpc);
        EXPECT_EQ(string_rows(request["rpcargs"]), c.args);
        if (auto* metadata = dynamic_cast<Metadata_Reply_Base*>(command.get())) {
            ostrel_vstat obj, elem;
            qel_oid_s scope = QEL_OID_NULL;
            unsigned gn = 0;
            EXPECT_EQ(metadata->get_obj_ostrel_vstat(obj), 0);
            EXPECT_EQ(metadata->get_elem_ostrel_vstat(elem), 0);
            EXPECT_EQ(metadata->get_obj_scope_info(scope, gn), 0);
            EXPECT_EQ(Attrs::of(obj), FILE_OBJ);
            EXPECT_EQ(Attrs::of(elem), FILE_ELEM);
            EXPECT_EQ(obj.vstat.fstat.size.high, 1u);
            EXPECT_EQ(obj.vstat.fstat.size.low, 2u);
            EXPECT_EQ(text(scope), SCOPE1);
            EXPECT_EQ(gn, 7u);
        }
    }
    EXPECT_TRUE(collector.entries.empty()) << "a reply without entries hands nothing over";

    // A null view uuid is refused before anything is sent.
    const size_t sent = server->requests().size();
    Get_Metadata no_view(QEL_UUID_NULL, uuid(VOB), QEL_OID_NULL, QEL_OID_NULL);
    Lookup no_view_lookup(QEL_UUID_NULL, uuid(VOB), oid(VER), QEL_OID_NULL, "a");
    for (Metadata_Reply_Base* command : {static_cast<Metadata_Reply_Base*>(&no_view),
                                         static_cast<Metadata_Reply_Base*>(&no_view_lookup)}) {
        EXPECT_EQ(command->run(), S::RC_MARSHAL_FAILED);
        EXPECT_EQ(command->get_status().status, S::RC_MARSHAL_FAILED);
        EXPECT_EQ(command->get_req_args()->get_args(), "");
        EXPECT_EQ(check(*command).result, S::RPC_INCOMPLETE);
        ostrel_vstat obj;
        EXPECT_EQ(command->get_obj_ostrel_vstat(obj), S::RC_MARSHAL_FAILED);
    }
    EXPECT_EQ(server->requests().size(), sent);
}

std::string dirent_json(const char* name, const char* obj_oid) {
    return R"({"name": ")" + std::string(name) + R"(", "ino": 3, "obj_oid": ")" + obj_oid +
           R"(", "obj_mtype": 1, "ver_oid": ")" + VER + R"(", "ver_mtype": 2, "flag": true})";
}

// The directory reply of three entries: a.c with everything, b.c with its
// object's metadata only, l with everything under another scope.
std::string directory_entries(const std::string& middle_parts = "") {
    return R"("directory": [{"dirent": )" + dirent_json("a.c", FILE_OBJ.obj_oid.c_str()) +
           R"(, "scope": )" + scope_json(SCOPE1, 3) + R"(, "obj": )" + FILE_OBJ.json() +
           R"(, "elem": )" + FILE_ELEM.json() + R"(}, {"dirent": )" + dirent_json("b.c", FILE_ELEM.obj_oid.c_str()) +
           R"(, "obj": )" + FILE_ELEM.json() + "}" + middle_parts + R"(, {"dirent": )" +
           dirent_json("l", LINK_OBJ.obj_oid.c_str()) + R"(, "scope": )" + scope_json(SCOPE2, 4) +
           R"(, "obj": )" + LINK_OBJ.json() + R"(, "elem": )" + FILE_ELEM.json() + "}]";
}

const std::vector<Entry> ALL_ENTRIES = {
    {"a.c", SCOPE1, 3, FILE_OBJ, FILE_ELEM},
    {"b.c", SCOPE1, 3, FILE_ELEM, Attrs{}}, // the scope before it; no element metadata
    {"l", SCOPE2, 4, LINK_OBJ, FILE_ELEM},
};

TEST_F(CommandTest, DirectoryEntriesReachTheListenerWithTheirMetadata) {
    const char* const faults[] = {"{}", R"({"chunk": 1})", R"({"chunk": 7, "split_crlf": true})"};
    std::string rules;
    for (size_t i = 0; i < sizeof faults / sizeof faults[0]; ++i)
        rules += std::string(i == 0 ? "" : ",") + R"({"match": {"args": {"VersionOid": ")" + VER + R"("}}, "times": 1,
                  "fault": )" + faults[i] + R"(, "reply": {)" + directory_entries() + "}}";
    start_server(scenario(rules));
    ASSERT_EQ(login(), 0);
    for (const char* fault : faults) {
        SCOPED_TRACE(fault);
        Collector collector;
        Get_Directory_Contents command(uuid(VIEW), uuid(VOB), oid(VER), QEL_OID_NULL, collector);
        ASSERT_EQ(command.run(), 0) << command.get_status().message;
        EXPECT_EQ(check(command).result, 0);
        EXPECT_EQ(collector.entries, ALL_ENTRIES);
    }
}

// A damaged part fails the call, and what it damaged is not handed on:
// neither the entry nor the records.
TEST_F(CommandTest, DamagedRepliesFailWithoutHandingOnPartialResults) {
    const std::string undecodable = R"("body_b64": "AAAA")";
    const std::string first = R"({"directory": [{"dirent": )" + dirent_json("a.c", VER) + "}], ";
    const std::string last = R"({"id": "XdrDirectoryEntry", "blob": ["dirent", )" + dirent_json("c.c", VER) + "]}";
    const Entry a{"a.c", text(QEL_OID_NULL), 0, Attrs{}, Attrs{}};
    const Entry c{"c.c", text(QEL_OID_NULL), 0, Attrs{}, Attrs{}};
    const struct {
        const char* name;
        std::string reply;
        std::vector<Entry> entries;
        int call_status;
        int check;
    } cases[] = {
        {"an entry that does not decode",
         first + R"("parts": [{"id": "XdrDirectoryEntry", )" + undecodable + R"(},
                              {"id": "Xdr_ObjMetadata", "blob": ["vstat", )" + LINK_OBJ.json() + "]}, " + last + "]}",
         {a, c}, QEL_ST_NO_MEMORY, S::RPC_INCOMPLETE},
        {"metadata that does not decode",
         first + R"("parts": [{"id": "Xdr_ElemMetadata", )" + undecodable + "}, " + last + "]}",
         {c}, QEL_ST_NO_MEMORY, S::RPC_INCOMPLETE},
        {"a status part without its status",
         first + R"("parts": [{"id": "Status", "items": {"HasNonOkMsg": "0"}}], "status": null})",
         {a}, S::RC_MALFORMED_REPLY, S::RPC_INCOMPLETE},
        // Its body is read as the next delimiter: the reply is malformed.
        {"a wrong part name",
         first + R"("parts": [{"id": "Xdr_ObjMetaData", "blob": ["vstat", )" + LINK_OBJ.json() + "]}, " + last + "]}",
         {}, S::RC_MALFORMED_REPLY, S::RPC_INCOMPLETE},
        {"a part longer than the reply",
         first + R"("parts": [{"id": "Xdr_ObjMetadata", "items": {"Content-Length": "9000"},
                               "blob": ["vstat", )" + LINK_OBJ.json() + "]}]}",
         {}, S::RC_PREMATURE_EOF, S::RPC_INCOMPLETE},
    };
    std::string rules;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        rules += R"({"match": {"args": {"PathName": "/)" + std::to_string(i) + R"("}}, "reply": )" +
                 cases[i].reply + "},";
    // Cut off by the server at a few places of a whole reply.
    const int cuts[] = {100, 400, 800};
    for (int cut : cuts)
        rules += R"({"match": {"args": {"PathName": "/cut)" + std::to_string(cut) + R"("}}, "fault": {"drop_after": )" +
                 std::to_string(cut) + R"(}, "reply": {)" + directory_entries() + "}},";
    rules += R"({"match": {"args": {"PathName": "/metadata"}},
                 "reply": {"metadata": {"scope": )" + scope_json(SCOPE1, 7) + R"(, "obj": )" + FILE_OBJ.json() +
             R"(}, "parts": [{"id": "Xdr_ElemMetadata", )" + undecodable + R"(}]}},
               {"match": {"args": {"PathName": "/refused"}},
                "reply": )" + metadata_reply(R"(, "status": {"code": 30002, "message": "not yours"})") + "}";
    start_server(scenario(rules));
    ASSERT_EQ(login(), 0);
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(cases[i].name);
        Collector collector;
        Get_Directory_Contents command(uuid(VIEW), ("/" + std::to_string(i)).c_str(), collector);
        EXPECT_EQ(command.run(), cases[i].call_status);
        EXPECT_EQ(check(command).result, cases[i].check);
        EXPECT_EQ(collector.entries, cases[i].entries);
    }
    for (int cut : cuts) {
        SCOPED_TRACE(cut);
        Collector collector;
        Get_Directory_Contents command(uuid(VIEW), ("/cut" + std::to_string(cut)).c_str(), collector);
        command.run();
        EXPECT_NE(check(command).result, 0);
        ASSERT_LT(collector.entries.size(), ALL_ENTRIES.size());
        EXPECT_EQ(collector.entries, std::vector<Entry>(ALL_ENTRIES.begin(),
                                                        ALL_ENTRIES.begin() + static_cast<long>(collector.entries.size())));
    }

    // The metadata fetch: a damaged record, or the server's refusal, hands
    // out no record at all.
    const struct {
        const char* path;
        int call_status;
        int check;
        int accessor;
        const char* message;
    } fetches[] = {
        {"/metadata", QEL_ST_NO_MEMORY, S::RPC_INCOMPLETE, QEL_ST_NO_MEMORY, "Unable to complete RPC to WAN server."},
        {"/refused", 0, S::RPC_SERVER_FAILURE, S::RC_UNAUTHORIZED, "not yours"},
    };
    for (const auto& f : fetches) {
        SCOPED_TRACE(f.path);
        Get_Metadata command(uuid(VIEW), std::string(f.path));
        EXPECT_EQ(command.run(), f.call_status);
        Checked checked = check(command);
        EXPECT_EQ(checked.result, f.check);
        EXPECT_EQ(checked.message, f.message);
        ostrel_vstat obj;
        qel_oid_s scope = oid(SCOPE2);
        unsigned gn = 9;
        EXPECT_EQ(command.get_obj_ostrel_vstat(obj), f.accessor);
        EXPECT_EQ(Attrs::of(obj), Attrs{});
        EXPECT_EQ(command.get_obj_scope_info(scope, gn), f.accessor);
        EXPECT_EQ(text(scope), text(QEL_OID_NULL));
        EXPECT_EQ(gn, 0u);
    }
}

TEST_F(CommandTest, VobInformation) {
    const std::string family = "0f000000-0000-4000-8000-00000000000f";
    const std::string replica = "0e000000-0000-4000-8000-00000000000e";
    const std::string good = R"("VobFamilyUuid": ")" + family + R"(", "VobReplicaUuid": ")" + replica +
                             R"(", "VobStorage": "host:/store/a.vbs")";
    // The call's own text, then each reason on a line of its own.
    const std::string incomplete = "Unable to complete RPC to WAN server.\n";
    const struct {
        const char* tag;
        std::string reply;
        int check;
        std::string message;
        bool family_set;
        bool replica_set;
        const char* storage;
        int is_public;
        int is_project;
    } cases[] = {
        {"/vobs/a", R"({"vobinfo": {)" + good + R"(, "IsPublic": "1", "IsProject": "0"}})", 0, "", true, true,
         "host:/store/a.vbs", 1, 0},
        {"/vobs/b", R"({"vobinfo": {)" + good + R"(, "IsPublic": "true", "IsProject": "1"}})", 0, "", true, true,
         "host:/store/a.vbs", 0, 1},
        {"/vobs/c", R"({"vobinfo": {"VobReplicaUuid": ")" + replica + R"(", "VobStorage": "s", "IsPublic": "1"}})",
         S::RPC_INCOMPLETE, incomplete + "VOB family oid not found for \"/vobs/c\".\n", false, false, "s", 1, 0},
        {"/vobs/d", R"({"vobinfo": {"VobFamilyUuid": "f00", "VobReplicaUuid": ")" + replica + R"(", "VobStorage": "s"}})",
         S::RPC_INCOMPLETE, incomplete + "Invalid VOB OID f00.\n", false, false, "s", 0, 0},
        {"/vobs/e", R"({"vobinfo": {"VobFamilyUuid": ")" + family + R"(", "VobReplicaUuid": " 1", "VobStorage": "s"}})",
         S::RPC_INCOMPLETE, incomplete + "Invalid VOB OID 1.\n", true, false, "s", 0, 0},
        {"/vobs/f", R"({"vobinfo": {"VobFamilyUuid": ")" + family + R"("}})", S::RPC_INCOMPLETE,
         incomplete + "VOB replica oid not found for \"/vobs/f\".\n", true, false, "", 0, 0},
        {"/vobs/g", R"({"vobinfo": {"VobFamilyUuid": ")" + family + R"(", "VobReplicaUuid": ")" + replica + R"("}})",
         S::RPC_INCOMPLETE, incomplete + "VOB storage not found for \"/vobs/g\".\n", true, true, "", 0, 0},
        // A server that says 0 without answering.
        {"/vobs/h", "{}", S::RPC_INCOMPLETE, incomplete + "VOB family oid not found for \"/vobs/h\".\n", false,
         false, "", 0, 0},
        {"/vobs/i", R"({"status": {"code": 77, "message": "no such VOB"}})", S::RPC_SERVER_FAILURE, "no such VOB",
         false, false, "", 0, 0},
        {"", R"({"vobinfo": {)" + good + "}}", 0, "", true, true, "host:/store/a.vbs", 0, 0},
    };
    std::string rules;
    for (const auto& c : cases)
        rules += std::string(rules.empty() ? "" : ",") + R"({"match": {"args": {"VobTag": ")" + c.tag +
                 R"("}}, "reply": )" + c.reply + "}";
    start_server(scenario(rules));
    ASSERT_EQ(login(), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tag);
        Get_VOBInfo command(c.tag);
        command.run();
        Checked checked = check(command);
        EXPECT_EQ(checked.result, c.check);
        EXPECT_EQ(checked.message, c.message);
        EXPECT_EQ(text(command.m_family_id), c.family_set ? family : text(QEL_OID_NULL));
        char buf[QEL_UUID_STR_SIZE];
        EXPECT_EQ(std::string(qel_uuid_to_str(&command.m_replica_id, buf)),
                  c.replica_set ? replica : text(QEL_OID_NULL));
        EXPECT_EQ(command.m_storage, c.storage);
        EXPECT_EQ(command.m_is_public, c.is_public);
        EXPECT_EQ(command.m_is_project, c.is_project);
        Json request = server->requests().back();
        EXPECT_EQ(request["rpc"].as_string(), VOBINFO_RPC);
        EXPECT_EQ(string_rows(request["form"])[1], (std::vector<std::string>{"rpcargs", "VobTag=" + std::string(c.tag) + "\n"}));
    }
}

// A reader that asks to stop, or fails, ends the transfer at once; what it
// returned becomes the call status.
TEST_F(CommandTest, AReaderThatStopsOrFailsEndsTheTransfer) {
    start_server(scenario(R"({"match": {"rpc": "Test_rpc"}, "fault": {"chunk": 16},
                              "reply": )" + metadata_reply() + "}"));
    ASSERT_EQ(login(), 0);
    const struct {
        const char* name;
        std::function<int(Test_Command&)> reader;
        int status;
    } cases[] = {
        {"stop", [](Test_Command&) { return S::RC_LISTENER_STOPPED; }, S::RC_LISTENER_STOPPED},
        {"out of memory", [](Test_Command&) -> int { throw std::bad_alloc(); }, S::RC_NO_MEMORY},
        {"anything else", [](Test_Command&) -> int { throw 42; }, S::RC_TRANSFER_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int calls = 0;
        Test_Command command([&](Test_Command& self) {
            ++calls;
            return c.reader(self);
        });
        EXPECT_EQ(command.run(), c.status);
        EXPECT_EQ(calls, 1) << "no further piece was read";
        EXPECT_EQ(check(command).result, S::RPC_INCOMPLETE);
    }
}

// A reply that is cut short, malformed or without its status fails the
// call, and the message says which.
TEST_F(CommandTest, EveryDamagedReplySaysWhatWentWrong) {
    const std::string cookies = R"("headers": [["Set-Cookie", "JSESSIONID=J1"], ["Set-Cookie", "Session=S1"]])";
    start_server(scenario(R"({"match": {"rpc": "Ostrel_Norvane::login_rpc", "args": {"clienttype": "ClientType.UNKNOWN"}},
                              "times": 1, "fault": {"drop_after": 60}, "reply": {)" + cookies + R"(}},
                             {"match": {"rpc": "Ostrel_Norvane::login_rpc"}, "times": 1,
                              "reply": {)" + cookies + R"(, "status": null}},
                             {"match": {"args": {"PathName": "/garbage"}}, "reply": {"raw_text": "no document\r\n"}},
                             {"match": {"args": {"PathName": "/nostatus"}}, "reply": {"status": null}},
                             {"match": {"args": {"PathName": "/cut"}}, "fault": {"drop_after": 300},
                              "reply": )" + metadata_reply() + "}"));
    const std::string incomplete = "Unable to complete RPC to WAN server. The WAN server's reply ";
    const struct {
        const char* what;
        int call_status;
        const char* text;
    } logins[] = {
        {"a login reply cut short", S::RC_PREMATURE_EOF, "was cut short.\n"},
        {"a login reply without its status", S::RC_BAD_REPLY_ITEM, "holds no status.\n"},
    };
    for (const auto& c : logins) {
        SCOPED_TRACE(c.what);
        Login command("alice", "pw", "DOM", "", "", server->url(), "", "", "", 0);
        EXPECT_EQ(command.run(), c.call_status);
        Checked checked = check(command);
        EXPECT_EQ(checked.result, S::RPC_INCOMPLETE);
        EXPECT_EQ(checked.message, incomplete + c.text);
    }
    ASSERT_EQ(login(), 0);
    const struct {
        const char* path;
        int call_status;
        const char* text;
    } fetches[] = {
        {"/garbage", S::RC_MALFORMED_REPLY, "is malformed (status 30007).\n"},
        {"/nostatus", S::RC_BAD_REPLY_ITEM, "holds no status.\n"},
        {"/cut", S::RC_PREMATURE_EOF, "was cut short.\n"},
    };
    for (const auto& f : fetches) {
        SCOPED_TRACE(f.path);
        Get_Metadata command(uuid(VIEW), std::string(f.path));
        EXPECT_EQ(command.run(), f.call_status);
        Checked checked = check(command);
        EXPECT_EQ(checked.result, S::RPC_INCOMPLETE);
        EXPECT_EQ(checked.message, incomplete + f.text);
        ostrel_vstat obj;
        EXPECT_NE(command.get_obj_ostrel_vstat(obj), 0);
    }
}

// Whatever lengths the server announces, a command holds at most one part
// of its limit and the part's items: a longer part, or a header block that
// never ends, stops the transfer and fails the call as malformed; what
// comes after the document's end is dropped unread.
TEST_F(CommandTest, WhatTheServerAnnouncesBuysNoMemory) {
    const std::string big(3 << 20, 'x');
    std::string items;
    for (int i = 0; i < 700; ++i)
        items += std::string(i == 0 ? "" : ", ") + "\"item" + std::to_string(i) + "\": \"" + std::string(1900, 'v') + "\"";
    // In the scenario's JSON: its line ends are escapes.
    const std::string after_end = R"(Content-Type: multipart/mixed; boundary=B\r\n--B\r\nContent-ID: Status\r\n)"
                                  R"(Status: 0\r\nContent-Length: 0\r\n\r\n\r\n--B--\r\n)" + big;
    start_server(scenario(R"({"match": {"args": {"PathName": "/announced"}},
                              "reply": {"parts": [{"id": "XdrDirectoryEntry", "items": {"Content-Length": "4294967296"},
                                                   "body_text": ")" + big + R"("}]}},
                             {"match": {"args": {"PathName": "/long"}},
                              "reply": {"parts": [{"id": "XdrDirectoryEntry", "body_text": ")" + big + R"("}]}},
                             {"match": {"args": {"PathName": "/items"}},
                              "reply": {"parts": [{"id": "Xdr_ObjScope", "items": {)" + items + R"(}, "body_text": ""}]}},
                             {"match": {"args": {"PathName": "/after"}}, "reply": {"raw_text": ")" + after_end + R"("}})"));
    ASSERT_EQ(login(), 0);
    const uint64_t bound = RClient_Abstract_Cmd::DEFAULT_PART_LIMIT + RClient_Abstract_Cmd::ITEMS_ROOM +
                           CURL_MAX_WRITE_SIZE;
    const struct {
        const char* path;
        int call_status;
        const char* text;
    } cases[] = {
        {"/announced", S::RC_MALFORMED_REPLY,
         "Unable to complete RPC to WAN server. The WAN server's reply part \"XdrDirectoryEntry\" of 4294967296 bytes "
         "is longer than the 1048576 bytes it may hold.\n"},
        {"/long", S::RC_MALFORMED_REPLY,
         "Unable to complete RPC to WAN server. The WAN server's reply part \"XdrDirectoryEntry\" of 3145728 bytes "
         "is longer than the 1048576 bytes it may hold.\n"},
        {"/items", S::RC_MALFORMED_REPLY,
         "Unable to complete RPC to WAN server. The WAN server's reply holds more than the 1114112 bytes a part and "
         "its items may take.\n"},
        {"/after", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Collector collector;
        Get_Directory_Contents command(uuid(VIEW), c.path, collector);
        EXPECT_EQ(command.run(), c.call_status);
        EXPECT_LT(command.get_response_high_water(), bound);
        Checked checked = check(command);
        EXPECT_EQ(checked.message, c.text);
        EXPECT_TRUE(collector.entries.empty());
    }
}

} // namespace
