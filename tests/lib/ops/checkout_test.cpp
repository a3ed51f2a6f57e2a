// Checkout in process: its own request fields, and the hijack marks it
// clears or keeps, on the served view (the view's root a plain directory
// here, so the copy lands in it).

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "lib/core/ostrelagent_status.h"
#include "lib/ops/ops_test_support.h"
#include "lib/ops/ostrelagent_checkout.h"

namespace {

using namespace ops_test;
namespace S = OstrelAgent_Status;

const char* const REPLICA = "9a000000-0000-4000-8000-0000000000b1";
const char* const CO_OID = "0e000000-0000-4000-8000-000002000002";

std::string parse_error(const std::string& text) { return "Parse error in \"" + text + "\".\n"; }

std::string request(const std::string& inner) {
    return "<Checkout version=\"1\" tx-id=\"t\">" + inner + "</Checkout>";
}

// The fields of a request parsed while the view is offline: the offline
// refusal comes right after a successful parse, before any work.
TEST(LibCheckout, ItsOwnFieldsAreReadInOrderAndFlagsOnlyByTheExactTrue) {
    Online offline(0);
    const std::string path = "<path>/vob1/a.c</path>";
    const std::string uuid = std::string("<replica-uuid>") + REPLICA + "</replica-uuid>";
    const std::string oid = std::string("<co-ver-oid>") + CO_OID + "</co-ver-oid>";
    struct Case {
        const char* what;
        std::string inner;
        int status;
        const char* message_head;  // before the parse error, when refused
        int ptime, preserve_hijack, whiteout;
    };
    const Case cases[] = {
        {"all flags", path + uuid + oid + R"(<co-flags ptime="true" preserve-hijack="true" whiteout="true"/>)",
         S::DISCONNECTED, nullptr, 1, 1, 1},
        {"no flags", path + uuid + oid + "<co-flags/>", S::DISCONNECTED, nullptr, 0, 0, 0},
        {"other spellings", path + uuid + oid + R"(<co-flags ptime="TRUE" preserve-hijack="1" whiteout=" true"/>)",
         S::DISCONNECTED, nullptr, 0, 0, 0},
        {"one flag", path + oid + uuid + R"(<co-flags whiteout="true"></co-flags>)", S::DISCONNECTED, nullptr, 0, 0, 1},
        {"no co-flags", path + uuid + oid, S::MALFORMED_REQUEST, "", 0, 0, 0},
        {"no replica uuid", path + oid + "<co-flags/>", S::MALFORMED_REQUEST, "", 0, 0, 0},
        {"a replica uuid that is none", path + "<replica-uuid>9a00</replica-uuid>" + oid + "<co-flags/>",
         S::MALFORMED_REQUEST, "", 0, 0, 0},
        {"no checkout version", path + uuid + "<co-flags/>", S::MALFORMED_REQUEST, "", 0, 0, 0},
        {"a checkout version that is none", path + uuid + "<co-ver-oid>x</co-ver-oid><co-flags/>",
         S::MALFORMED_REQUEST, "", 0, 0, 0},
        {"the null checkout version",
         path + uuid + "<co-ver-oid>00000000-0000-0000-0000-000000000000</co-ver-oid><co-flags/>",
         S::MALFORMED_REQUEST, "", 0, 0, 0},
        {"no path (checked first)", uuid + "<co-flags/>", S::MALFORMED_REQUEST, "\"path\" not found in XML request.\n",
         0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string text = request(c.inner);
        std::unique_ptr<OstrelAgent_AbstractOp> op = operation(text);
        ASSERT_NE(nullptr, op);
        op->process_request();
        EXPECT_EQ(c.status, op->get_status());
        const auto* checkout = dynamic_cast<OstrelAgent_Checkout*>(op.get());
        ASSERT_NE(nullptr, checkout);
        if (c.message_head != nullptr) {
            EXPECT_EQ(c.message_head + parse_error(text), op->get_message());
            continue;
        }
        EXPECT_EQ("Client is disconnected from the server.\n", op->get_message());
        EXPECT_EQ(REPLICA, OstrelAgent_Util::id_text(checkout->get_replica_uuid()));
        EXPECT_EQ(CO_OID, OstrelAgent_Util::id_text(checkout->get_co_ver_oid()));
        EXPECT_EQ(c.ptime, checkout->get_ptime());
        EXPECT_EQ(c.preserve_hijack, checkout->get_preserve_hijack());
        EXPECT_EQ(c.whiteout, checkout->get_whiteout());
        const lib_test::Reply reply = lib_test::read_reply(op->get_response());
        EXPECT_EQ((std::map<std::string, std::string>{{"tx-id", "t"}, {"status-code", "20033"}}), reply.attrs);
    }
}

// On the served view: a.c (element 20, version 21, read-only, with times
// of its own) is checked out as version 22, whose contents the cache holds.
class LibCheckoutServed : public OpsTest {
protected:
    static constexpr unsigned CHECKED_OUT = 22;
    const std::string contents = "checked out\n";

    void SetUp() override {
        OpsTest::SetUp();
        Scripted version = file_version(21, 20, 0444);
        version.fstat.atime = {1000, 5};
        version.fstat.mtime = {2000, 7};
        script(vob_uuid, version);
        cache(CHECKED_OUT, contents);
        std::filesystem::create_directories(view_root() + "/vobs/a");
    }
    std::string copy_path() { return view_root() + "/vobs/a/a.c"; }
    std::string checkout(const std::string& flags) {
        return request("<path>/vobs/a/a.c</path><replica-uuid>" + vob_text() + "</replica-uuid><co-ver-oid>" +
                       text(CHECKED_OUT) + "</co-ver-oid><co-flags " + flags + "/>");
    }
    // What the view database says of the name: hijacked, and whether a
    // view-private file stands under it.
    struct Name {
        int status = -1;
        bool hijacked = false;
        bool view_private = false;
    };
    Name name_of(const char* leaf) {
        Name n;
        view_fhandle dir = root(), fh{}, dir_out{};
        view_vstat vstat{};
        unsigned consumed = 0, state = 0;
        int flag = 0;
        struct timeval lvut {};
        n.status = ns_lookup_flags(&dir, leaf, VIEW_HM_WARP_NONE, "", &fh, &dir_out, &vstat, &consumed, &flag, &state,
                                   &lvut, nullptr, &n.view_private, &n.hijacked);
        return n;
    }
    // Hijacks a.c; with `copy`, its view-private file is made as a client's
    // hijack does.
    void hijack(bool copy) {
        view_fhandle top = root();
        Found loaded = lookup(top, "a.c");
        ASSERT_EQ(0, loaded.status);
        ASSERT_EQ(0, ns_hijack_by_fh(&top, "a.c", &loaded.vstat));
        if (copy) {
            ASSERT_EQ(0, create(top, "a.c"));
        }
    }
};

// What happens to the file by its hijack state and the request's flags: a
// copy (the hijack mark cleared first, if any), or the name dropped and the
// file left as it is. The flush of the element and its name comes first in
// every case; a dropped name is dropped from the kernel once more.
TEST_F(LibCheckoutServed, AHijackMarkIsClearedAndTheFileCopiedOrKeptAsTheFlagsSay) {
    struct Case {
        const char* what;
        int hijack;  // 0 none, 1 a hijacked white-out, 2 a hijacked file
        const char* flags;
        bool copied;
    };
    const Case cases[] = {
        {"not hijacked", 0, "", true},
        {"not hijacked, a hijack kept where there is none", 0, R"(preserve-hijack="true")", true},
        {"hijacked, replaced", 2, "", true},
        {"hijacked, kept", 2, R"(preserve-hijack="true")", false},
        {"a hijacked white-out, kept", 1, R"(preserve-hijack="true")", false},
        {"white-out, not hijacked", 0, R"(whiteout="true")", false},
        {"white-out, hijacked", 2, R"(whiteout="true")", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(copy_path());
        if (c.hijack != 0) hijack(c.hijack == 2);
        const size_t mark = invalidations().size();
        const lib_test::Reply reply = run(checkout(c.flags));
        EXPECT_EQ("0", status(reply)) << message(reply);
        EXPECT_FALSE(reply.has_child("status-message"));

        Lines expected = {inval_obj(20, 10), inval_name(11, "a.c")};
        if (!c.copied) expected.push_back(inval_name(11, "a.c"));
        EXPECT_EQ(expected, told_since(mark));
        const Name after = name_of("a.c");
        EXPECT_FALSE(after.hijacked);
        EXPECT_EQ(c.hijack == 2, after.view_private) << "a hijacked file stays, a plain view-private file";
        struct stat st {};
        if (!c.copied) {
            EXPECT_NE(0, ::stat(copy_path().c_str(), &st));
        } else {
            EXPECT_EQ(contents, lib_test::read_file(copy_path()));
            ASSERT_EQ(0, ::stat(copy_path().c_str(), &st));
            EXPECT_EQ(0644u, st.st_mode & 07777);
        }
        // Cleared for the next case.
        if (after.view_private) {
            view_fhandle top = root();
            view_vstat dir_vstat{};
            EXPECT_EQ(0, ns_remove(&top, "a.c", &dir_vstat, nullptr, nullptr));
        }
    }
}

// The copy's times: the version's as the view database holds them when the
// request or the view's setting asks for them, else the copy's own.
TEST_F(LibCheckoutServed, TheVersionsTimesAreKeptWhenTheRequestOrTheViewAsks) {
    struct Case {
        const char* what;
        const char* flags;
        int view_preserves;
        bool kept;
    };
    const Case cases[] = {
        {"neither", "", 0, false},
        {"the request", R"(ptime="true")", 0, true},
        {"the view", "", 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(copy_path());
        // The view shows a loaded file with the time it was loaded, and the
        // server's access time.
        const Found shown = lookup(root(), "a.c");
        ASSERT_EQ(0, shown.status);
        Other_View view("automatic", c.view_preserves);
        const lib_test::Reply reply = run(checkout(c.flags));
        EXPECT_EQ("0", status(reply)) << message(reply);
        struct stat st {};
        ASSERT_EQ(0, ::stat(copy_path().c_str(), &st));
        if (c.kept) {
            EXPECT_EQ(1000, st.st_atim.tv_sec);
            EXPECT_EQ(5000, st.st_atim.tv_nsec);
            EXPECT_EQ(shown.vstat.fstat.mtime.tv_sec, st.st_mtim.tv_sec);
            EXPECT_EQ(shown.vstat.fstat.mtime.tv_usec * 1000, st.st_mtim.tv_nsec);
        } else {
            EXPECT_GT(st.st_atim.tv_sec, 1000);
        }
    }
}

// A copy that cannot be made (no directory under the view's root: a kernel
// without the view) fails with the copy's text; the name was flushed and
// stays flushed.
TEST_F(LibCheckoutServed, ACopyThatCannotBeMadeFailsWithItsText) {
    std::filesystem::remove_all(view_root() + "/vobs");
    const size_t mark = invalidations().size();
    const lib_test::Reply reply = run(checkout(""));
    EXPECT_EQ("20001", status(reply));
    OstrelAgent_Cleartext cleartext(vob_uuid, 0, oid_of(CHECKED_OUT),
                                    OstrelAgent_View_Handler::get_view()->get_cltxt_cache_dir());
    int in_cache = 0;
    ASSERT_EQ(0, cleartext.check_cache(in_cache));
    EXPECT_EQ("Unable to copy to \"" + copy_path() + "\" from \"" + cleartext.get_cache_path() +
                  "\": No such file or directory\n",
              message(reply));
    EXPECT_EQ((Lines{inval_obj(20, 10), inval_name(11, "a.c")}), told_since(mark));
}

} // namespace
