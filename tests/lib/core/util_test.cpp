#include "lib/core/ostrelagent_util.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/lib_test_support.h"

namespace {

using U = OstrelAgent_Util;

TEST(LibUtilStatus, MapsBaseStatusesToAgentStatuses) {
    const struct {
        int base;
        int agent;
    } cases[] = {
        {0, 0},         {1002, 20002}, {1052, 20002}, {1001, 20001},
        {1008, 20001},  {-1, 20001},   {20002, 20001}, {1067, 20001},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(U::qel_to_ostrel_status(c.base), c.agent) << "base status " << c.base;
    }
}

TEST(LibUtilText, TrimDropsBlanksTabsCrLfAtBothEnds) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {" a b ", "a b"},    {" \t\r\n", ""},      {"", ""},
        {"\r\nx y\t", "x y"}, {"a\n\nb", "a\n\nb"}, {"\vx\v", "\vx\v"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(U::trim(c.in), c.out) << "[" << c.in << "]";
        std::string in_place = c.in;
        U::trim_in_place(in_place);
        EXPECT_EQ(in_place, c.out) << "[" << c.in << "]";
    }
}

TEST(LibUtilText, StripCrlfRemovesOnlyOneTrailingCrLf) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"x\r\n", "x"}, {"x\n", "x\n"}, {"x\r\n\r\n", "x\r\n"}, {"\r\n", ""}, {"\n", "\n"}, {"", ""},
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        U::strip_crlf(s);
        EXPECT_EQ(s, c.out);
    }
}

TEST(LibUtilText, CompareNoCaseOrdersLongerTextsFirst) {
    const struct {
        const char* a;
        const char* b;
        int result;
    } cases[] = {
        {"ABC", "abc", 0}, {"abcd", "abc", -1}, {"abc", "abcd", 1},
        {"abd", "ABC", 1}, {"ABC", "abd", -1},  {"", "", 0},
        {"https", "HTTPS", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(U::compare_no_case(c.a, c.b), c.result) << c.a << " vs " << c.b;
    }
}

TEST(LibUtilText, IsNumberAcceptsOnlyDigits) {
    EXPECT_TRUE(U::is_number("0123"));
    EXPECT_TRUE(U::is_number("7"));
    for (const char* bad : {"", "-1", "+1", " 1", "1 ", "1a", "0x1"}) {
        EXPECT_FALSE(U::is_number(bad)) << "[" << bad << "]";
    }
}

TEST(LibUtilText, QuoteIfWhitespace) {
    EXPECT_EQ(U::quote_if_whitespace("a b"), "\"a b\"");
    EXPECT_EQ(U::quote_if_whitespace("a\tb"), "\"a\tb\"");
    EXPECT_EQ(U::quote_if_whitespace("ab"), "ab");
    EXPECT_EQ(U::quote_if_whitespace("a\"b c"), "\"a\"b c\"");
}

TEST(LibUtilText, ReplaceAllResumesAfterEachReplacement) {
    EXPECT_EQ(U::replace_all("a.b.c", ".", "/"), "a/b/c");
    // The replacement holds the search text: no endless loop, no re-match.
    EXPECT_EQ(U::replace_all("aa", "a", "aa"), "aaaa");
    EXPECT_EQ(U::replace_all("aaa", "aa", "b"), "ba");
    EXPECT_EQ(U::replace_all("abc", "", "x"), "abc");
}

TEST(LibUtilText, MaskPasswordsHidesOnlyThePasswordElementsContent) {
    const struct {
        const char* text;
        const char* masked;
    } cases[] = {
        {"<Connect><server><username>ann</username><password>s3cr&amp;t</password>"
         "<proxy-username>pu</proxy-username><proxy-password>pp</proxy-password></server></Connect>",
         "<Connect><server><username>ann</username><password>***</password>"
         "<proxy-username>pu</proxy-username><proxy-password>***</proxy-password></server></Connect>"},
        // Every occurrence; attributes and blanks in the tags.
        {"<a><password x=\"1\" >p1</password ><password>p2</password></a>",
         "<a><password x=\"1\" >***</password ><password>***</password></a>"},
        // Empty elements have nothing to hide.
        {"<a><password/><password></password></a>", "<a><password/><password></password></a>"},
        // Similar names are left alone.
        {"<a><passwords>x</passwords><my-password>y</my-password></a>",
         "<a><passwords>x</passwords><my-password>y</my-password></a>"},
        // A close tag inside CDATA or a comment does not end the secret.
        {"<password><![CDATA[a</password>b]]></password>", "<password>***</password>"},
        {"<password>a<!--</password>-->b</password>", "<password>***</password>"},
        // Text that is not well-formed: never closed, masked to the end.
        {"1\n<StartView><password>secret and more", "1\n<StartView><password>***"},
        {"<password", "<password"},
        {"no markup at all", "no markup at all"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(U::mask_passwords(c.text), c.masked) << c.text;
}

TEST(LibUtilText, TokenizeKeepsInnerEmptyPiecesAndDropsEmptyTail) {
    const struct {
        const char* text;
        const char* delim;
        std::vector<std::string> pieces;
    } cases[] = {
        {"a,,b,", ",", {"a", "", "b"}},
        {"", ",", {}},
        {"abc", ",", {"abc"}},
        {",a", ",", {"", "a"}},
        {"a\r\nb\r\n", "\r\n", {"a", "b"}},
        {"a::b", "::", {"a", "b"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> out = {"stale"};
        U::tokenize(c.text, out, c.delim);
        EXPECT_EQ(out, c.pieces) << "[" << c.text << "]";
    }
}

TEST(LibUtilText, OneLineEscapesControlCharactersAndDropsTrailingLineEnds) {
    const struct {
        std::string text;
        std::string line;
    } cases[] = {
        {"plain text", "plain text"},
        {"ends in a newline\n", "ends in a newline"},
        {"ends in two\r\n\n", "ends in two"},
        {"a\nb\rc\td", "a\\nb\\rc\\td"},
        {std::string("nul\0, esc\x1b, del\x7f", 16), "nul\\x00, esc\\x1b, del\\x7f"},
        {"\nleading and inner\n\nline ends\n", "\\nleading and inner\\n\\nline ends"},
        {"back\\slash and \xc3\xa9 stay", "back\\slash and \xc3\xa9 stay"},
    };
    for (const auto& c : cases) EXPECT_EQ(OstrelAgent_Util::one_line(c.text), c.line) << c.text;
}

// Names from the server that may become directory entries, and paths made of
// such names.
// Messages gathered one after the other never run together: each one
// starts a line unless it continues the last (a leading blank).
TEST(LibUtilText, AppendMessageStartsEachMessageOnALineOfItsOwn) {
    const struct {
        const char* text;
        const char* more;
        const char* joined;
    } cases[] = {
        {"", "first", "first"},
        {"server failed.", "no such version", "server failed.\nno such version"},
        {"a whole line\n", "next", "a whole line\nnext"},
        {"server failed.", " The reply was cut short.\n", "server failed. The reply was cut short.\n"},
        {"kept", "", "kept"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        OstrelAgent_Util::append_message(text, c.more);
        EXPECT_EQ(c.joined, text) << c.text << " + " << c.more;
    }
}

TEST(LibUtilPath, SafeNamesAndPaths) {
    const std::string longest(255, 'n');
    const struct {
        std::string name;
        bool safe;
    } names[] = {
        {"a.c", true},  {".hidden", true},  {"...", true},      {"a b", true},         {longest, true},
        {"", false},    {".", false},       {"..", false},      {"a/b", false},        {"/", false},
        {longest + "n", false},             {std::string("a\0b", 3), false},
    };
    for (const auto& n : names)
        EXPECT_EQ(OstrelAgent_Util::is_safe_name(n.name.data(), n.name.size()), n.safe) << n.name;
    EXPECT_FALSE(OstrelAgent_Util::is_safe_name(nullptr, 0));

    const struct {
        std::string path;
        bool safe;
    } paths[] = {
        {"/vobs/a/b.c", true}, {"vobs/a", true},     {"/a", true},          {"/vobs/../etc", false},
        {"/vobs/./a", false},  {"/vobs//a", false},  {"/vobs/a/", false},   {"", false},
        {"/", false},          {"//a", false},       {"/vobs/" + longest + "x/a", false},
    };
    for (const auto& p : paths) EXPECT_EQ(OstrelAgent_Util::is_safe_path(p.path), p.safe) << p.path;
}

TEST(LibUtilPath, SeparatorTests) {
    EXPECT_TRUE(U::contains_pname_separator("a/b"));
    EXPECT_FALSE(U::contains_pname_separator("ab"));
    EXPECT_TRUE(U::is_absolute_view_rel_path("/a"));
    EXPECT_FALSE(U::is_absolute_view_rel_path("a/"));
    EXPECT_FALSE(U::is_absolute_view_rel_path(""));

    std::string p = "///a/b";
    U::strip_leading_separators(p);
    EXPECT_EQ(p, "a/b");
    p = "a/b//";
    U::strip_trailing_pathname_separator(p);
    EXPECT_EQ(p, "a/b/");
    p = "";
    U::strip_trailing_pathname_separator(p);
    EXPECT_EQ(p, "");
    p = "a\\b/c";
    U::globalize_path(p);
    EXPECT_EQ(p, "a\\b/c");
}

TEST(LibUtilPath, Parent) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"/a", ""}, {"a/b/c", "a/b"}, {"abc", ""}, {"/a/b", "/a"}, {"a/", "a"}, {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(U::parent(c.in), c.out) << "[" << c.in << "]";
}

TEST(LibUtilPath, PathsEqualIsByteForByte) {
    EXPECT_TRUE(U::paths_equal("/a/b", "/a/b"));
    EXPECT_FALSE(U::paths_equal("/a/b", "/A/b"));
    EXPECT_FALSE(U::paths_equal("/a/b", "/a//b"));
}

TEST(LibUtilPath, SanitizePath) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"a//b/./c/", "a/b/c"},
        {"/a/.", "/a"},
        {"a/../b", "a/../b"},
        {"///", ""},
        {"./a", "a"},
        {".//./a", "a"},
        {"/./a", "/a"},
        {".", ""},
        {"a/.b/c.", "a/.b/c."},
        {"..", ".."},
        {"/vob/dir", "/vob/dir"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(U::sanitize_path(c.in), c.out) << "[" << c.in << "]";
}

TEST(LibUtilPath, ServerFromUrl) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"https://h/a/ostrel", "h"},
        {"https://host:8443/ostrel", "host:8443"},
        {"https://host", "host"},
        {"https://host/", "host"},
        {"host/x", "host"},
        {"host", "host"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(U::server_from_url(c.in), c.out) << "[" << c.in << "]";
}

TEST(LibUtilPath, FindInAncestorsTriesStartAndAncestorsButNotRoot) {
    lib_test::TempHome home;
    const std::string top = home.path() + "/top";
    const std::string deep = top + "/x/y";
    ASSERT_EQ(::mkdir(top.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((top + "/x").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
    lib_test::write_file(top + "/.marker", "");

    EXPECT_TRUE(U::find_in_ancestors(".marker", deep));
    EXPECT_TRUE(U::find_in_ancestors(".marker", top));
    EXPECT_FALSE(U::find_in_ancestors(".absent", deep));
    // The start need not exist.
    EXPECT_TRUE(U::find_in_ancestors(".marker", deep + "/not/there"));
    // A relative start never looks at the current directory.
    EXPECT_FALSE(U::find_in_ancestors("etc", "a/b"));
}

TEST(LibUtilDir, IsDirEmpty) {
    lib_test::TempHome home;
    const std::string dir = home.path() + "/d";
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);

    int empty = -1;
    EXPECT_EQ(U::is_dir_empty(dir, empty), 0);
    EXPECT_EQ(empty, 1);

    lib_test::write_file(dir + "/f", "x");
    EXPECT_EQ(U::is_dir_empty(dir, empty), 0);
    EXPECT_EQ(empty, 0);

    empty = -1;
    EXPECT_EQ(U::is_dir_empty(dir + "/missing", empty), 20050);
    EXPECT_EQ(empty, -1);
}

TEST(LibUtilHijack, ParseHijackTreatmentIsExactAndCaseSensitive) {
    // A failed parse leaves the treatment as it was (here: overwrite).
    const struct {
        const char* text;
        bool ok;
        U::HijackTreatment value;
    } cases[] = {
        {"keep", true, U::HIJACK_KEEP},
        {"overwrite", true, U::HIJACK_OVERWRITE},
        {"rename", true, U::HIJACK_RENAME},
        {"Keep", false, U::HIJACK_OVERWRITE},
        {"keep ", false, U::HIJACK_OVERWRITE},
        {"", false, U::HIJACK_OVERWRITE},
    };
    for (const auto& c : cases) {
        U::HijackTreatment t = U::HIJACK_OVERWRITE;
        EXPECT_EQ(U::parse_hijack_treatment(c.text, t), c.ok) << c.text;
        EXPECT_EQ(t, c.value) << c.text;
    }
    EXPECT_EQ(static_cast<int>(U::HIJACK_KEEP), 0);
    EXPECT_EQ(static_cast<int>(U::HIJACK_OVERWRITE), 1);
    EXPECT_EQ(static_cast<int>(U::HIJACK_RENAME), 2);
}

TEST(LibUtilTime, ViewTimeIsStrictlyIncreasingAcrossThreads) {
    // Many calls well within one microsecond each: the values must still be
    // unique and, per thread, increasing.
    const int kThreads = 4;
    const int kCalls = 5000;
    std::vector<std::vector<long long>> stamps(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&stamps, t] {
            stamps[t].reserve(kCalls);
            for (int i = 0; i < kCalls; ++i) {
                struct timeval tv;
                U::get_view_time(&tv);
                EXPECT_GE(tv.tv_usec, 0);
                EXPECT_LT(tv.tv_usec, 1000000);
                stamps[t].push_back(static_cast<long long>(tv.tv_sec) * 1000000 + tv.tv_usec);
            }
        });
    }
    for (auto& th : threads) th.join();

    std::set<long long> all;
    for (const auto& s : stamps) {
        for (size_t i = 1; i < s.size(); ++i) ASSERT_LT(s[i - 1], s[i]);
        all.insert(s.begin(), s.end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kCalls));
}

TEST(LibUtilIdentity, HomeFollowsHomeEnvironment) {
    lib_test::TempHome home;
    EXPECT_EQ(U::get_user_home(), home.path());
    EXPECT_FALSE(U::process_user().empty());
    EXPECT_FALSE(U::process_qualified_user().empty());
}

TEST(LibUtilIdentity, LocationAndScopeTexts) {
    qel_oid_s oid;
    qel_uuid_s uuid;
    ASSERT_EQ(qel_str_to_oid("00112233-4455-6677-8899-aabbccddeeff", &oid), 0);
    ASSERT_EQ(qel_str_to_uuid("ffeeddcc-bbaa-9988-7766-554433221100", &uuid), 0);
    char buf[U::LOCATION_BUFFER_SIZE];

    U::uuid_oid_to_location(&uuid, &oid, buf);
    EXPECT_STREQ(buf,
                 "oid:00112233-4455-6677-8899-aabbccddeeff@replicauuid:ffeeddcc-bbaa-9988-7766-554433221100");
    U::uuid_dbid_to_location(&uuid, 4711, buf);
    EXPECT_STREQ(buf, "4711@replicauuid:ffeeddcc-bbaa-9988-7766-554433221100");
    EXPECT_EQ(U::uuid_to_location(&uuid, buf), buf);
    EXPECT_STREQ(buf, "ffeeddcc-bbaa-9988-7766-554433221100");

    EXPECT_EQ(U::scope_to_string(oid, "/vob/src", 42),
              "scope oid =00112233-4455-6677-8899-aabbccddeeff; scope pn = \"/vob/src\"; scope_gn = 42");
}

TEST(LibUtilMisc, SetSocketAddrStoresBytesInOrder) {
    struct in_addr addr;
    U::set_socket_addr("10.1.2.255", &addr);
    char text[INET_ADDRSTRLEN];
    ASSERT_NE(inet_ntop(AF_INET, &addr, text, sizeof text), nullptr);
    EXPECT_STREQ(text, "10.1.2.255");
    EXPECT_TRUE(U::korva_is_case_sensitive());
}

TEST(LibUtilFormat, SnprintfFormatsAndCutsAtTheBufferSize) {
    EXPECT_EQ(U::snprintf("%s-%d", "a", 7), "a-7");
    EXPECT_EQ(U::snprintf("%s", ""), "");

    const std::string just_fits(U::FORMAT_BUFFER_SIZE - 1, 'x');
    EXPECT_TRUE(U::snprintf("%s", just_fits.c_str()) == just_fits); // no 150 KB dump
    const std::string too_long(U::FORMAT_BUFFER_SIZE + 10, 'y');
    std::string cut = U::snprintf("%s", too_long.c_str());
    EXPECT_EQ(cut.size(), U::FORMAT_BUFFER_SIZE - 1);
    EXPECT_TRUE(cut == too_long.substr(0, U::FORMAT_BUFFER_SIZE - 1));
}

} // namespace
