// The remote server settings read from a request's "server" element.

#include "lib/core/ostrelagent_server.h"

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/lib_test_support.h"
#include "xml/norvane_xml_elem.h"
#include "xml/norvane_xml_parser.h"

namespace {

using S = OstrelAgent_Server;

const std::string FULL_SERVER =
    "<server online=\"false\">"
    "<server-url>  https://host:8443/srv/ \t</server-url>"
    "<username>ann</username><domain>CORP</domain><password>s3cr&amp;t</password>"
    "<proxy-username>pu</proxy-username><proxy-password>pp</proxy-password>"
    "<f-proxy-host>proxy.corp</f-proxy-host><f-proxy-port>3128</f-proxy-port>"
    "<norvane-primary-group>dev</norvane-primary-group>"
    "<norvane-groups>dev;qa;ops</norvane-groups>"
    "</server>";

// Every setting back to the process's start, around each test.
class LibServerTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }

    static void reset() {
        for (std::string* s : settings()) s->clear();
        S::g_online = 1;
    }
    static std::vector<std::string*> settings() {
        return {&S::g_server_url,      &S::g_server_username,      &S::g_server_domain,
                &S::g_server_password, &S::g_proxy_username,       &S::g_proxy_password,
                &S::g_f_proxy_host,    &S::g_f_proxy_port,         &S::g_norvane_primary_group,
                &S::g_norvane_groups};
    }
    static void fill(const std::string& value) {
        for (std::string* s : settings()) *s = value;
    }

    // Parses `request` and runs parse_server_info on its root.
    int parse(const std::string& request, int take_url, int take_online) {
        NorvaneXmlParser parser;
        doc_ = parser.parse_string(request);
        return S::parse_server_info(doc_->get_root(), take_url, take_online);
    }

    NorvaneAutoPtr<NorvaneXmlDoc> doc_;
};

TEST_F(LibServerTest, StartViewTakesEverything) {
    ASSERT_EQ(parse("<StartView version=\"1\">" + FULL_SERVER + "</StartView>", 1, 1), 0);
    EXPECT_EQ(S::g_server_url, "https://host:8443/srv/ostrel");
    EXPECT_EQ(S::g_server_username, "ann");
    EXPECT_EQ(S::g_server_domain, "CORP");
    EXPECT_EQ(S::g_server_password, "s3cr&t");
    EXPECT_EQ(S::g_proxy_username, "pu");
    EXPECT_EQ(S::g_proxy_password, "pp");
    EXPECT_EQ(S::g_f_proxy_host, "proxy.corp");
    EXPECT_EQ(S::g_f_proxy_port, "3128");
    EXPECT_EQ(S::g_norvane_primary_group, "dev");
    EXPECT_EQ(S::g_norvane_groups, "dev;qa;ops");
    EXPECT_EQ(S::g_online, 0);
    // The element was read once: it is no longer among the root's children.
    EXPECT_TRUE(doc_->get_root()->get_children().empty());
    EXPECT_EQ(S::parse_server_info(doc_->get_root(), 1, 1), OstrelAgent_Status::BAD_SERVER_INFO);
}

TEST_F(LibServerTest, FlagsChooseWhatIsTaken) {
    const struct {
        const char* what;
        int take_url;
        int take_online;
        const char* online_attr;
        const char* url_element; // null: no element
        const char* url_before;
        int online_before;
        const char* url_after;
        int online_after;
    } cases[] = {
        {"StartView without a URL keeps it", 1, 1, "true", nullptr, "https://old/ostrel", 0,
         "https://old/ostrel", 1},
        {"empty online attribute leaves the state", 1, 1, "", "h", "", 0, "h/ostrel", 0},
        {"missing online attribute leaves the state", 1, 1, nullptr, "h", "", 0, "h/ostrel", 0},
        {"MkView ignores the online attribute", 1, 0, "bogus", "https://h", "", 1,
         "https://h/ostrel", 1},
        {"Connect takes neither", 0, 0, "false", "https://new", "https://old/ostrel", 1,
         "https://old/ostrel", 1},
        {"an empty URL element gives the context alone", 1, 0, nullptr, "", "x", 1, "/ostrel", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        S::g_server_url = c.url_before;
        S::g_online = c.online_before;
        std::string request = "<R><server";
        if (c.online_attr) request += std::string(" online=\"") + c.online_attr + "\"";
        request += ">";
        if (c.url_element) request += std::string("<server-url>") + c.url_element + "</server-url>";
        request += "<username>u</username></server></R>";
        ASSERT_EQ(parse(request, c.take_url, c.take_online), 0);
        EXPECT_EQ(S::g_server_url, c.url_after);
        EXPECT_EQ(S::g_online, c.online_after);
        EXPECT_EQ(S::g_server_username, "u");
    }
}

TEST_F(LibServerTest, BadServerInformationChangesNothing) {
    const char* requests[] = {
        "<StartView><server online=\"TRUE\"><username>x</username></server></StartView>",
        "<StartView><server online=\"yes\"/></StartView>",
        "<StartView><Server online=\"true\"/></StartView>", // names are case-sensitive
        "<StartView><other><server online=\"true\"/></other></StartView>", // only the root's children
        "<StartView/>",
    };
    for (const char* request : requests) {
        fill("kept");
        S::g_online = 1;
        EXPECT_EQ(parse(request, 1, 1), OstrelAgent_Status::BAD_SERVER_INFO) << request;
        for (std::string* s : settings()) EXPECT_EQ(*s, "kept") << request;
        EXPECT_EQ(S::g_online, 1) << request;
    }
    EXPECT_EQ(S::parse_server_info(nullptr, 1, 1), OstrelAgent_Status::BAD_SERVER_INFO);
}

TEST_F(LibServerTest, AbsentElementsClearTheirSettings) {
    // A Connect whose server element lacks the domain (and the rest).
    fill("old");
    ASSERT_EQ(parse("<Connect tx-id=\"3\"><server><username>bob</username>"
                    "<password>pw</password></server></Connect>",
                    0, 0),
              0);
    EXPECT_EQ(S::g_server_url, "old");
    EXPECT_EQ(S::g_server_username, "bob");
    EXPECT_EQ(S::g_server_password, "pw");
    for (std::string* s : {&S::g_server_domain, &S::g_proxy_username, &S::g_proxy_password,
                           &S::g_f_proxy_host, &S::g_f_proxy_port, &S::g_norvane_primary_group,
                           &S::g_norvane_groups}) {
        EXPECT_EQ(*s, "");
    }

    // The first server element counts; repeated setting elements give the
    // first's text.
    ASSERT_EQ(parse("<R><server><username>a</username><username>b</username></server>"
                    "<server><username>c</username></server></R>",
                    0, 0),
              0);
    EXPECT_EQ(S::g_server_username, "a");
}

TEST_F(LibServerTest, CustomizeUrl) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"https://h/a", "https://h/a/ostrel"},
        {"https://h/a/", "https://h/a/ostrel"},
        {" \t\r\nhttps://h/a/ \r\n", "https://h/a/ostrel"},
        {"", "/ostrel"},
        {"   ", "/ostrel"},
        {"https://h/ostrel", "https://h/ostrel/ostrel"}, // a context already there is not seen
    };
    for (const auto& c : cases) {
        S::g_server_url = c.in;
        S::customize_url();
        EXPECT_EQ(S::g_server_url, c.out) << "[" << c.in << "]";
    }
    S::g_server_url = "https://h";
    S::customize_url();
    S::customize_url();
    EXPECT_EQ(S::g_server_url, "https://h/ostrel/ostrel");
}

TEST_F(LibServerTest, IsValid) {
    const struct {
        const char* what;
        int online;
        const char *url, *user, *password, *host, *port, *puser, *ppassword;
        bool valid;
    } cases[] = {
        {"offline needs nothing", 0, "", "", "", "h", "", "u", "", true},
        {"online, complete", 1, "u", "n", "p", "", "", "", "", true},
        {"online, with proxy and proxy creds", 1, "u", "n", "p", "h", "1", "a", "b", true},
        {"no URL", 1, "", "n", "p", "", "", "", "", false},
        {"no user", 1, "u", "", "p", "", "", "", "", false},
        {"no password", 1, "u", "n", "", "", "", "", "", false},
        {"proxy host without port", 1, "u", "n", "p", "h", "", "", "", false},
        {"proxy port without host", 1, "u", "n", "p", "", "8", "", "", false},
        {"proxy user without password", 1, "u", "n", "p", "", "", "a", "", false},
        {"proxy password without user", 1, "u", "n", "p", "", "", "", "b", false},
    };
    for (const auto& c : cases) {
        S::g_online = c.online;
        S::g_server_url = c.url;
        S::g_server_username = c.user;
        S::g_server_password = c.password;
        S::g_f_proxy_host = c.host;
        S::g_f_proxy_port = c.port;
        S::g_proxy_username = c.puser;
        S::g_proxy_password = c.ppassword;
        EXPECT_EQ(S::is_valid(), c.valid) << c.what;
    }
}

TEST_F(LibServerTest, CredentialsNeverReachTheTrace) {
    lib_test::TempHome home;
    OstrelAgent_Trace::set_trace("OSTRELAGENT", 5);
    OstrelAgent_Trace::setup_trace_file("tester", getpid());
    ASSERT_EQ(parse("<StartView>" + FULL_SERVER + "</StartView>", 1, 1), 0);
    S::is_valid();
    OstrelAgent_Trace::set_trace("", 0);
    OstrelAgent_Trace::close_trace_file();

    std::vector<std::string> files = lib_test::list_dir(home.path() + "/ostrelagent_trace");
    ASSERT_EQ(files.size(), 1u);
    std::string trace = lib_test::read_file(home.path() + "/ostrelagent_trace/" + files[0]);
    EXPECT_NE(trace.find("Final url is now https://host:8443/srv/ostrel"), std::string::npos);
    EXPECT_NE(trace.find("<not empty>"), std::string::npos);
    EXPECT_EQ(trace.find("s3cr"), std::string::npos);
    EXPECT_EQ(trace.find("::pp"), std::string::npos);
    EXPECT_EQ(trace.find(" pp"), std::string::npos);
}

} // namespace
