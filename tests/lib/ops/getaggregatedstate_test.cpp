// GetAggregatedState on a served view (real view database, namespace cache
// and simulated kernel, "/vobs/a" and "/vobs/b" mounted, the server
// scripted): how it reads its state word and "get-paths", and its answers
// once the view holds a directory checkout recorded as Checkout records it,
// a hijacked file and view-private files in both VOBs.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/fetch_test_support.h"
#include "lib/ns/ostrelagent_view_db_element.h"
#include "lib/ops/ostrelagent_getaggregatedstate.h"
#include "lib/reply_test_support.h"
#include "xml/norvane_xml_parser.h"

namespace {

using namespace fetch_test;
namespace S = OstrelAgent_Status;
using Paths = std::vector<std::string>;

std::string request(const std::string& inner) {
    return "<GetAggregatedState version=\"1\" tx-id=\"a1\">" + inner + "</GetAggregatedState>";
}
std::string query(const std::string& state, const std::string& get_paths, const std::string& more = "") {
    return request("<state>" + state + "</state><get-paths>" + get_paths + "</get-paths>" + more);
}

// What a client reads of a reply.
struct Answer {
    std::string status;
    std::string message;
    std::string has_state = "(none)";
    Paths paths;
};

Answer run(const std::string& text) {
    NorvaneXmlParser parser;
    OstrelAgent_GetAggregatedState op(text, parser.parse_string(text));
    op.process_request();
    const lib_test::Reply reply = lib_test::read_reply(op.get_response());
    EXPECT_TRUE(reply.parsed);
    EXPECT_EQ("GetAggregatedState", reply.root);
    Answer a;
    a.status = reply.attrs.at("status-code");
    for (const lib_test::Reply_Element& e : reply.elements) {
        if (e.tag == "status-message") a.message = e.text;
        else if (e.tag == "has-state") a.has_state = e.text;
        else if (e.tag == "path") a.paths.push_back(e.text);
        else ADD_FAILURE() << "unexpected element " << e.tag;
    }
    std::sort(a.paths.begin(), a.paths.end());
    return a;
}

std::string parse_error(const std::string& text) { return "Parse error in \"" + text + "\".\n"; }

class GetAggregatedState : public FetchTest {
protected:
    // Hijacks the loaded file `name` and makes its view-private copy, as a
    // client's hijack does.
    void hijack(view_fhandle dir_fh, const char* name) {
        Found loaded = lookup(dir_fh, name);
        ASSERT_EQ(0, loaded.status) << name;
        ASSERT_EQ(0, ns_hijack_by_fh(&dir_fh, name, &loaded.vstat)) << name;
        ASSERT_EQ(0, create(dir_fh, name)) << name;
    }
    // Records the directory element `elem` checked out at `version`, as
    // Checkout records a directory's checkout.
    void check_out_directory(unsigned elem, unsigned version) {
        std::string message;
        ASSERT_EQ(0, OstrelAgent_View_db_element::set_elem_co_ver_oid(vob_uuid, oid_of(elem), oid_of(version), message))
            << message;
    }
};

TEST_F(GetAggregatedState, TheStateWordAndGetPathsAreReadAsWritten) {
    struct Case {
        std::string what;
        std::string text;
        int status;
        std::string message;     // "" for the request text's parse error
        std::string has_state;   // "(none)" when the reply lists paths
    };
    const std::string lower = query("checkouts", "false");
    const std::string others_no_paths = query("OTHERS", "TRUE");
    const Case cases[] = {
        {"no state", request("<get-paths>true</get-paths>"), S::MALFORMED_REQUEST,
         "\"state\" not found in XML request.\n", "false"},
        {"an empty state", query("", "true"), S::MALFORMED_REQUEST, "\"state\" not found in XML request.\n", "false"},
        {"a state word in lower case", lower, S::MALFORMED_REQUEST,
         "Invalid aggregated state request \"checkouts\".\n", "false"},
        {"two words", query("CHECKOUTS HIJACKS", "true"), S::MALFORMED_REQUEST,
         "Invalid aggregated state request \"CHECKOUTS HIJACKS\".\n", "false"},
        {"no get-paths for CHECKOUTS", request("<state>CHECKOUTS</state>"), S::MALFORMED_REQUEST,
         "\"get-paths\" not found in XML request.\n", "false"},
        {"an empty get-paths for HIJACKS", query("HIJACKS", ""), S::MALFORMED_REQUEST,
         "\"get-paths\" not found in XML request.\n", "false"},
        {"OTHERS without get-paths exactly true", others_no_paths, S::MALFORMED_REQUEST, parse_error(others_no_paths),
         "false"},
        {"get-paths in capitals asks yes or no", query("CHECKOUTS", "TRUE"), 0, "", "false"},
        {"any other get-paths asks yes or no", query("HIJACKS", "no"), 0, "", "false"},
        {"the first state counts", request("<state>HIJACKS</state><state>bogus</state><get-paths>x</get-paths>"), 0,
         "", "false"},
        {"a path with CHECKOUTS is ignored", query("CHECKOUTS", "true", "<path>/vobs/a/d</path>"), 0, "", "(none)"},
        {"a version too new", "<GetAggregatedState version=\"2\" tx-id=\"a1\"><state>HIJACKS</state>"
                              "<get-paths>true</get-paths></GetAggregatedState>",
         S::UNSUPPORTED_VERSION, "(parse error)", "false"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Answer a = run(c.text);
        EXPECT_EQ(std::to_string(c.status), a.status);
        EXPECT_EQ(c.message == "(parse error)" ? parse_error(c.text) : c.message, a.message);
        EXPECT_EQ(c.has_state, a.has_state);
        EXPECT_EQ(Paths{}, a.paths);
    }
}

TEST_F(GetAggregatedState, AnswersForCheckoutsHijacksAndViewPrivateFiles) {
    // A view as loaded: nothing to report.
    view_fhandle top = root();
    view_fhandle d = walk("d");
    view_fhandle b = root(other_uuid);
    EXPECT_EQ("false", run(query("CHECKOUTS", "false")).has_state);
    EXPECT_EQ("false", run(query("HIJACKS", "false")).has_state);
    for (const char* state : {"CHECKOUTS", "HIJACKS", "OTHERS"}) {
        const Answer a = run(query(state, "true"));
        EXPECT_EQ("0", a.status) << state;
        EXPECT_EQ(Paths{}, a.paths) << state;
        EXPECT_EQ("(none)", a.has_state) << state;
    }

    check_out_directory(30, 32);
    hijack(top, "a.c");
    ASSERT_EQ(0, create(top, "notes.txt"));
    ASSERT_EQ(0, create(d, "build.log"));
    ASSERT_EQ(0, create(b, "other.txt"));

    struct Case {
        std::string text;
        std::string has_state;
        Paths paths;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {query("CHECKOUTS", "false"), "true", {}, 0, ""},
        {query("CHECKOUTS", "true"), "(none)", {"/vobs/a/d"}, 0, ""},
        {query("HIJACKS", "false"), "true", {}, 0, ""},
        {query("HIJACKS", "true"), "(none)", {"/vobs/a/a.c"}, 0, ""},
        {query("OTHERS", "true"), "(none)", {"/vobs/a/d/build.log", "/vobs/a/notes.txt", "/vobs/b/other.txt"}, 0, ""},
        {query("OTHERS", "true", "<path>/vobs/b</path>"), "(none)", {"/vobs/b/other.txt"}, 0, ""},
        {query("OTHERS", "true", "<path>/vobs/a</path>"), "(none)", {"/vobs/a/d/build.log", "/vobs/a/notes.txt"}, 0,
         ""},
        {query("OTHERS", "true", "<path>/vobs/a/d</path>"), "(none)", {}, S::MALFORMED_REQUEST,
         "Specified path \"/vobs/a/d\" is not a VOB root.\n"},
        {query("OTHERS", "true", "<path>/vobs/zz</path>"), "(none)", {}, S::VOB_NOT_MOUNTED,
         "No known mounted VOB found in \"/vobs/zz\" (original pathname \"/vobs/zz\")\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Answer a = run(c.text);
        EXPECT_EQ(std::to_string(c.status), a.status);
        EXPECT_EQ(c.message, a.message);
        EXPECT_EQ(c.has_state, a.has_state);
        EXPECT_EQ(c.paths, a.paths);
    }
}

// A list query that cannot name one of its files fails with that file's
// message and still lists the others.
TEST_F(GetAggregatedState, AFailedQueryKeepsThePathsItFound) {
    hijack(root(), "a.c");
    lost_hijack();
    const Answer a = run(query("HIJACKS", "true"));
    EXPECT_EQ(std::to_string(S::GENERAL_FAILURE), a.status);
    EXPECT_EQ(Paths{"/vobs/a/a.c"}, a.paths);
    EXPECT_NE(std::string::npos, a.message.find(OstrelAgent_Util::id_text(oid_of(5555)))) << a.message;
    const std::string tail =
        std::string("Unable to get list of hijack paths: ") + qel_strerror(QEL_ST_INTERNAL) + ".\n";
    ASSERT_GE(a.message.size(), tail.size());
    EXPECT_EQ(tail, a.message.substr(a.message.size() - tail.size()));
}

} // namespace
