// The view update against the test server over TLS on loopback: its request
// arguments as the server received them, and its streamed reply as the
// listener receives it, call by call: a long stream in small pieces, the
// listener's refusal and its abort, and damaged parts.

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/client/rclient_view_update.h"
#include "lib/client/server_fixture.h"
#include "lib/client/update_call_lines.h"
#include "lib/core/ostrelagent_status.h"

namespace {

using client_test::oid;
using client_test::scenario;
using client_test::text;
using client_test::uuid;
using fakeserver::Json;
using fakeserver::string_rows;
using Rows = std::vector<std::vector<std::string>>;
using Calls = std::vector<std::string>;
namespace S = OstrelAgent_Status;

const char* const SYNCFETCH_RPC = "Ostrel_Norvane::syncfetch_rpc";
const char* const VIEW = "0a0a0a0a-0000-4000-8000-00000000000a";
const char* const REPLICA = "0b0b0b0b-0000-4000-8000-00000000000b";
const char* const FAMILY = "0f0f0f0f-0000-4000-8000-00000000000f";
const char* const SCOPE = "51515151-0000-4000-8000-000000000001";
const char* const PARENT = "0c0c0c0c-0000-4000-8000-00000000000c";

// Object n's id and its element's: n in twelve decimal digits, which a
// stream template writes "{i:012d}".
std::string digits(unsigned n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%012u", n);
    return buf;
}
std::string object_oid(const std::string& digits) { return "0e000000-0000-4000-8000-" + digits; }
std::string element_oid(const std::string& digits) { return "0d000000-0000-4000-8000-" + digits; }

// Each listener call as one line; it answers false at call `refuse_at`
// and throws at call `throw_at` (counted from 1; 0: never).
class Recorder : public client_test::Update_Call_Lines {
public:
    void end_of_stream() override {
        ++streams_ended;
        if (throw_at_end) throw RClient_Listener_Exception(throw_code);
    }

    Calls calls;
    int streams_ended = 0;
    bool throw_at_end = false;
    size_t refuse_at = 0;
    size_t throw_at = 0;
    int throw_code = S::RC_LISTENER_STOPPED;

private:
    bool note(const std::string& call) override {
        calls.push_back(call);
        if (calls.size() == throw_at) throw RClient_Listener_Exception(throw_code);
        return calls.size() != refuse_at;
    }
};

// A stream as the server is told it, and the calls it should make.
struct Stream {
    std::vector<std::string> entries;
    Calls calls;

    Stream& begin(unsigned gn) {
        entries.push_back(R"({"begin": )" + std::to_string(gn) + "}");
        calls.push_back("begin " + std::to_string(gn));
        return *this;
    }
    Stream& scope() {
        entries.push_back(R"({"scope": {"scope_oid": ")" + std::string(SCOPE) + R"(", "pname": "/vobs/a", "gn": 4}})");
        calls.push_back("scope " + std::string(SCOPE) + " /vobs/a 4");
        return *this;
    }
    Stream& vob() {
        entries.push_back(R"({"vob": {"replica": ")" + std::string(REPLICA) + R"(", "family": ")" + FAMILY + R"("}})");
        calls.push_back("vob " + std::string(REPLICA) + " " + FAMILY);
        return *this;
    }
    // Object n, loaded at "/main/n" (its link text "l<n>").
    Stream& load(unsigned n, const std::string& path) {
        const std::string cur = "/main/" + std::to_string(n);
        entries.push_back(elem_json(path, digits(n), std::to_string(n), cur));
        calls.push_back(update_call(path, digits(n), std::to_string(n), cur));
        return *this;
    }
    Stream& unload(unsigned n, const std::string& path) {
        entries.push_back(elem_json(path, digits(n), std::to_string(n), ""));
        calls.push_back(unload_call(path, digits(n)));
        return *this;
    }
    Stream& end(const std::string& what) {
        entries.push_back(R"({"end": ")" + what + R"("})");
        calls.push_back("end " + what);
        return *this;
    }
    // An entry that makes no call (a damaged part among them).
    Stream& raw(const std::string& entry) {
        entries.push_back(entry);
        return *this;
    }
    std::string json() const {
        std::string out = "[";
        for (size_t i = 0; i < entries.size(); ++i) out += (i == 0 ? "" : ", ") + entries[i];
        return out + "]";
    }

    // The element entry of the object numbered `number` (twelve digits),
    // its link text "l" + `link`.
    static std::string elem_json(const std::string& path, const std::string& number, const std::string& link,
                                 const std::string& cur) {
        return R"({"elem": {"path": ")" + path + R"(", "parent": ")" + PARENT + R"(", "replica": ")" + REPLICA +
               R"(", "oid": ")" + object_oid(number) + R"(", "prev": "/main/0", "cur": ")" + cur +
               R"(", "obj": {"obj_oid": ")" + object_oid(number) + R"(", "link_text": "l)" + link +
               R"("}, "elem": {"obj_oid": ")" + element_oid(number) + R"("}}})";
    }
    static std::string update_call(const std::string& path, const std::string& number, const std::string& link,
                                   const std::string& cur) {
        return "update " + path + " /main/0>" + cur + " " + REPLICA + " " + PARENT + " obj " + object_oid(number) +
               " l" + link + " elem " + element_oid(number);
    }
    static std::string unload_call(const std::string& path, const std::string& number) {
        return "unload " + path + " " + REPLICA + " " + PARENT + " " + object_oid(number);
    }
};

// A rule answering the update of view `view_gn` with `stream`.
std::string stream_rule(unsigned view_gn, const std::string& stream, const std::string& fault = "{}",
                        const std::string& status = R"({"code": 0})") {
    return R"({"match": {"rpc": ")" + std::string(SYNCFETCH_RPC) + R"(", "args": {"ViewGn": ")" +
           std::to_string(view_gn) + R"("}}, "fault": )" + fault + R"(, "reply": {"stream": )" + stream +
           R"(, "status": )" + status + "}}";
}

class ViewUpdateTest : public client_test::Command_Test {
protected:
    // The update of view generation `view_gn` by the one scope.
    int update(unsigned view_gn, RClient_Update_Listener* listener, Checked* checked = nullptr) {
        ostrel_scope scope{};
        scope.scope_oid = oid(SCOPE);
        std::snprintf(scope.pname, sizeof scope.pname, "/vobs/a");
        View_Update command(uuid(VIEW), view_gn, 0, 0, 0, {scope}, listener);
        int status = command.run();
        if (checked != nullptr) *checked = check(command);
        high_water = command.get_response_high_water();
        return status;
    }

    uint64_t high_water = 0;
};

TEST_F(ViewUpdateTest, RequestArguments) {
    ostrel_scope a{};
    a.scope_oid = oid(SCOPE);
    std::snprintf(a.pname, sizeof a.pname, "/vobs/a");
    a.gn = 3;
    ostrel_scope b{}; // a null scope id goes out too
    std::snprintf(b.pname, sizeof b.pname, "/vobs/b c");
    const std::string null_oid = text(QEL_OID_NULL);
    const struct {
        const char* name;
        std::function<View_Update*()> make;
        Rows args;
    } cases[] = {
        {"by scopes: the flags go out as Force, Resume, UpdateOndemandScopes",
         [&] { return new View_Update(uuid(VIEW), 4294967295u, 7, 0, 1, {a, b}, nullptr); },
         {{"ViewUuid", VIEW}, {"ViewGn", "-1"}, {"Force", "1"}, {"Resume", "1"}, {"UpdateOndemandScopes", "0"},
          {"UsePaths", "0"}, {"NumScopes", "2"}, {"ScopePath", "/vobs/a"}, {"ScopeOid", SCOPE}, {"ScopeGn", "3"},
          {"ScopePath", "/vobs/b c"}, {"ScopeOid", null_oid}, {"ScopeGn", "0"}}},
        {"by scopes, on demand only",
         [&] { return new View_Update(uuid(VIEW), 12, 0, 1, 0, {}, nullptr); },
         {{"ViewUuid", VIEW}, {"ViewGn", "12"}, {"Force", "0"}, {"Resume", "0"}, {"UpdateOndemandScopes", "1"},
          {"UsePaths", "0"}, {"NumScopes", "0"}}},
        {"by paths",
         [&] { return new View_Update(uuid(VIEW), 5, {"/vobs/a/x", "/vobs/a/y\nz"}, nullptr); },
         {{"ViewUuid", VIEW}, {"ViewGn", "5"}, {"Force", "0"}, {"Resume", "0"}, {"UpdateOndemandScopes", "0"},
          {"UsePaths", "1"}, {"NumScopes", "2"}, {"ScopePath", "/vobs/a/x"}, {"ScopePath", "/vobs/a/y%0Az"}}},
        {"by no path",
         [&] { return new View_Update(uuid(VIEW), 5, std::vector<std::string>{}, nullptr); },
         {{"ViewUuid", VIEW}, {"ViewGn", "5"}, {"Force", "0"}, {"Resume", "0"}, {"UpdateOndemandScopes", "0"},
          {"UsePaths", "1"}, {"NumScopes", "0"}}},
    };
    start_server(scenario(R"({"match": {"rpc": "Ostrel_Norvane::syncfetch_rpc"},
                              "reply": {"stream": [{"begin": 1}, {"end": "operation"}]}})"));
    ASSERT_EQ(login(), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<View_Update> command(c.make());
        ASSERT_EQ(command->run(), 0) << command->get_status().message;
        EXPECT_EQ(check(*command).result, 0);
        Json request = server->requests().back();
        EXPECT_EQ(request["rpc"].as_string(), SYNCFETCH_RPC);
        EXPECT_EQ(string_rows(request["rpcargs"]), c.args);
    }

    // A null view uuid: nothing is sent.
    const size_t sent = server->requests().size();
    View_Update no_view(QEL_UUID_NULL, 1, 0, 0, 0, {a}, nullptr);
    EXPECT_EQ(no_view.run(), S::RC_MARSHAL_FAILED);
    EXPECT_EQ(check(no_view).result, S::RPC_INCOMPLETE);
    EXPECT_EQ(server->requests().size(), sent);
}

// Ten thousand objects, half of them unloads, delivered in small pieces:
// every call arrives, in stream order, while the reply costs one piece's
// worth of memory. Backslashes in paths reach the listener as slashes.
TEST_F(ViewUpdateTest, ALongStreamReachesTheListenerWholeAndInOrder) {
    const unsigned pairs = 5000;
    Stream stream;
    stream.begin(9).scope().vob();
    stream.raw(R"({"repeat": )" + std::to_string(pairs) + R"(, "stream": [)" +
               Stream::elem_json("d\\\\f{i}", "{i:012d}", "{i}", "/main/{i}") + ", " +
               Stream::elem_json("d\\\\u{i}", "{i:012d}", "{i}", "") + "]}");
    for (unsigned i = 0; i < pairs; ++i) {
        const std::string n = std::to_string(i);
        stream.calls.push_back(Stream::update_call("d/f" + n, digits(i), n, "/main/" + n));
        stream.calls.push_back(Stream::unload_call("d/u" + n, digits(i)));
    }
    stream.end("vob").end("scope").end("operation");
    const std::string entries = stream.json();
    start_server(scenario(stream_rule(1, entries, R"({"chunk": 1000})")));
    ASSERT_EQ(login(), 0);
    Recorder recorder;
    Checked checked{};
    ASSERT_EQ(update(1, &recorder, &checked), 0);
    EXPECT_EQ(checked.result, 0) << checked.message;
    ASSERT_EQ(recorder.calls.size(), stream.calls.size());
    for (size_t i = 0; i < stream.calls.size(); ++i) ASSERT_EQ(recorder.calls[i], stream.calls[i]) << "call " << i;
    EXPECT_LT(high_water, 16384u) << "the reply is never held whole";
}

// How the stream's parts map to calls, whole and in pieces of one byte, and
// what the listener's refusal does: no call after it, the stream read to
// its end all the same.
TEST_F(ViewUpdateTest, PartsBecomeCallsUntilTheListenerRefuses) {
    const std::string vstat = R"({"blob": ["vstat", {"obj_oid": ")" + object_oid(digits(7)) + R"(", "link_text": "m"}]})";
    Stream plain;
    plain.begin(3).scope().vob().load(1, "a").unload(2, "b").load(3, "c").end("vob").end("scope").end("operation");
    // Metadata after an unload still makes an update, at the next part,
    // whatever its name (an empty one of no meaning here); it carries
    // nothing of the element before (no element metadata came).
    Stream after_unload;
    after_unload.begin(3).load(9, "x").unload(4, "u");
    after_unload.raw(R"({"part": {"id": "Xdr_ObjMetadata", )" + vstat.substr(1, vstat.size() - 2) + "}}")
        .raw(R"({"part": {"id": "SomethingElse"}})");
    after_unload.calls.push_back("update u /main/0> " + std::string(REPLICA) + " " + PARENT + " obj " +
                                 object_oid(digits(7)) + " m elem " + text(QEL_OID_NULL));
    after_unload.end("operation");
    const struct {
        const char* name;
        const Stream& stream;
        size_t refuse_at;
        const char* status; // the server's
        int check;
    } cases[] = {
        {"every kind of part", plain, 0, R"({"code": 0})", 0},
        {"metadata after an unload", after_unload, 0, R"({"code": 0})", 0},
        {"refused at the first call", plain, 1, R"({"code": 7, "message": "seven"})", S::RPC_SERVER_FAILURE},
        {"refused at an object", plain, 5, R"({"code": 0})", 0},
    };
    std::string rules;
    unsigned gn = 0;
    for (const auto& c : cases)
        for (const char* fault : {"{}", R"({"chunk": 1})"})
            rules += std::string(rules.empty() ? "" : ",") + stream_rule(++gn, c.stream.json(), fault, c.status);
    rules += "," + stream_rule(100, plain.json());
    start_server(scenario(rules));
    ASSERT_EQ(login(), 0);
    gn = 0;
    for (const auto& c : cases) {
        for (const char* fault : {"whole", "in pieces of one byte"}) {
            SCOPED_TRACE(std::string(c.name) + ", " + fault);
            Recorder recorder;
            recorder.refuse_at = c.refuse_at;
            Checked checked{};
            EXPECT_EQ(update(++gn, &recorder, &checked), 0);
            EXPECT_EQ(checked.result, c.check) << checked.message;
            const size_t count = c.refuse_at != 0 ? c.refuse_at : c.stream.calls.size();
            EXPECT_EQ(recorder.calls, Calls(c.stream.calls.begin(), c.stream.calls.begin() + static_cast<long>(count)));
        }
    }
    // No listener: the stream is read and checked only.
    Checked checked{};
    EXPECT_EQ(update(100, nullptr, &checked), 0);
    EXPECT_EQ(checked.result, 0);
}

// A server that takes a scope's id from the request (as a view's load rule
// has one of its own making) answers under that id, and leaves out a scope
// that the request did not send.
TEST_F(ViewUpdateTest, AScopeMayTakeItsIdFromTheRequest) {
    const auto scope_of_request = [](const std::string& pname) {
        return R"({"scope": {"pname": ")" + pname + R"(", "gn": 4}, "oid_from_request": true})";
    };
    Stream stream;
    stream.begin(3).raw(scope_of_request("/vobs/a"));
    stream.calls.push_back("scope " + std::string(SCOPE) + " /vobs/a 4");
    stream.vob().load(1, "a").end("vob").end("scope");
    stream.raw(scope_of_request("/vobs/none")).raw(R"({"vob": {"replica": ")" + std::string(REPLICA) + R"(", "family": ")" +
                                                   FAMILY + R"("}})");
    stream.raw(Stream::elem_json("b", digits(2), "2", "/main/2")).raw(R"({"end": "vob"})").raw(R"({"end": "scope"})");
    stream.end("operation");
    start_server(scenario(stream_rule(1, stream.json())));
    ASSERT_EQ(login(), 0);
    for (int run = 0; run < 2; ++run) {
        Recorder recorder;
        Checked checked{};
        EXPECT_EQ(update(1, &recorder, &checked), 0);
        EXPECT_EQ(checked.result, 0) << checked.message;
        EXPECT_EQ(recorder.calls, stream.calls);
    }
}

// A listener that throws ends the transfer at once: the server holds the
// rest of the reply until the test opens its gate, and the call returns
// without it.
TEST_F(ViewUpdateTest, AListenerExceptionEndsTheTransfer) {
    Stream stream;
    stream.begin(1);
    for (unsigned i = 0; i < 40; ++i) stream.load(i, "f" + std::to_string(i));
    stream.end("operation");
    start_server(scenario(stream_rule(1, stream.json(), R"({"hold": {"after_parts": 100, "gate": "rest"}})")));
    ASSERT_EQ(login(), 0);
    for (int code : {S::RC_LISTENER_STOPPED, 1001}) {
        SCOPED_TRACE(code);
        Recorder recorder;
        recorder.throw_at = 10;
        recorder.throw_code = code;
        Checked checked{};
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(update(1, &recorder, &checked), S::RC_LISTENER_STOPPED);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "it waited for the rest";
        EXPECT_EQ(checked.result, S::RPC_INCOMPLETE);
        EXPECT_EQ(recorder.calls, Calls(stream.calls.begin(), stream.calls.begin() + 10));
    }
    server->open_gate("rest");
}

// The end of the stream is heard once, after the last call; a listener
// that fails only then (one that applies the stream behind the transfer)
// still stops the call.
TEST_F(ViewUpdateTest, TheListenerHearsTheStreamsEndAndMayStillStopTheCall) {
    Stream stream;
    stream.begin(2).load(1, "a").unload(2, "b").end("operation");
    start_server(scenario(stream_rule(1, stream.json(), R"({"chunk": 7})")));
    ASSERT_EQ(login(), 0);
    for (bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "failing at the end" : "plain");
        Recorder recorder;
        recorder.throw_at_end = fails;
        Checked checked{};
        EXPECT_EQ(update(1, &recorder, &checked), fails ? S::RC_LISTENER_STOPPED : 0);
        EXPECT_EQ(checked.result, fails ? S::RPC_INCOMPLETE : 0) << checked.message;
        EXPECT_EQ(recorder.calls, stream.calls);
        EXPECT_EQ(recorder.streams_ended, 1);
    }
}

// A damaged part makes no call and fails the call, though the stream after
// it is still passed on; an object whose metadata is damaged, or metadata
// of no element, is not passed on.
TEST_F(ViewUpdateTest, DamagedPartsFailTheCall) {
    const std::string bad_body = R"("body_b64": "AAAA")";
    const std::string good_vstat = R"("blob": ["vstat", {}])";
    const struct {
        const char* name;
        std::vector<std::string> damage; // entries before object "ok"
        int call_status;
    } cases[] = {
        {"an operation without its number", {R"({"part": {"id": "SyncFetchBegin"}})"}, S::RC_BAD_REPLY_ITEM},
        {"an operation number that is none", {R"({"part": {"id": "SyncFetchBegin", "items": {"OperationGn": "x1"}}})"},
         S::RC_BAD_REPLY_ITEM},
        {"a VOB whose replica is no uuid",
         {R"({"vob": {"replica": "zz", "family": ")" + std::string(FAMILY) + R"("}})"}, S::RC_BAD_REPLY_ITEM},
        {"a VOB without its family", {R"({"vob": {"replica": ")" + std::string(REPLICA) + R"("}})"},
         S::RC_BAD_REPLY_ITEM},
        {"a scope that does not decode", {R"({"part": {"id": "ScopeFetchBegin", )" + bad_body + "}}"},
         QEL_ST_NO_MEMORY},
        {"an element that does not decode, with its metadata",
         {R"({"part": {"id": "SyncElemInfo", )" + bad_body + "}}",
          R"({"part": {"id": "Xdr_ObjMetadata", )" + good_vstat + "}}"},
         QEL_ST_NO_MEMORY},
        {"an element whose metadata does not decode",
         {Stream::elem_json("broken", digits(5), "5", ""),
          R"({"part": {"id": "Xdr_ObjMetadata", )" + good_vstat + "}}",
          R"({"part": {"id": "Xdr_ElemMetadata", )" + bad_body + "}}"},
         QEL_ST_NO_MEMORY},
        {"metadata before any element", {R"({"part": {"id": "Xdr_ObjMetadata", )" + good_vstat + "}}"},
         S::RC_MALFORMED_REPLY},
    };
    std::string rules;
    std::vector<Stream> streams;
    unsigned gn = 0;
    for (const auto& c : cases) {
        Stream stream;
        stream.begin(2);
        for (const std::string& entry : c.damage) stream.raw(entry);
        stream.load(1, "ok").end("operation");
        if (std::string(c.name) == "an element whose metadata does not decode") {
            // Its element went out as an unload at once; no update follows.
            stream.calls.insert(stream.calls.begin() + 1, Stream::unload_call("broken", digits(5)));
        }
        streams.push_back(stream);
        rules += std::string(rules.empty() ? "" : ",") + stream_rule(++gn, stream.json());
    }
    start_server(scenario(rules));
    ASSERT_EQ(login(), 0);
    gn = 0;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(cases[i].name);
        Recorder recorder;
        Checked checked{};
        EXPECT_EQ(update(++gn, &recorder, &checked), cases[i].call_status);
        EXPECT_EQ(checked.result, S::RPC_INCOMPLETE);
        EXPECT_EQ(recorder.calls, streams[i].calls);
    }
}

} // namespace
