// The view-root and extended-naming queries against the simulated kernel:
// its answers for both view kinds, what the buffers hold, forced failures and
// interrupted calls. The program links the queries' own library alone, as the
// korva_agent tool does.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "lib/kernel/ostrelagent_korva_agent_ioctl.h"
#include "platform/korva/korva.h"
#include "platform/korva/korva_inject.h"
#include "platform/korva/korva_journal.h"
#include "platform/korva/korva_test_support.h"

namespace {

using Lines = std::vector<std::vector<std::string>>;

class KorvaAgentIoctlTest : public korva_test::KorvaRootTest {
protected:
    korva::Root root() const { return korva::Root(root_); }
    void write_config(const std::string& text) {
        ASSERT_EQ(0, root().prepare());
        std::ofstream(root_ + "/config") << text;
    }
    void inject(const std::string& call, const std::string& result) {
        ASSERT_EQ(0, korva::Injector(root()).add(call, result));
    }
    Lines journal() const { return korva::Journal(root()).read(); }
};

enum Query { ROOT, SUFFIX };

int ask(Query query, korva_viewroot_type type, std::string& out) {
    return query == ROOT ? KORVA_Agent_Ioctl::get_korva_root(type, out)
                         : KORVA_Agent_Ioctl::get_extended_naming_suffix(type, out);
}

} // namespace

TEST_F(KorvaAgentIoctlTest, AnswersComeFromTheKernelForEitherKindOfView) {
    const std::string long_root = "/" + std::string(254, 'r');
    const std::string long_suffix(1023, 's');
    struct Case {
        const char* what;
        std::string config;  // the kernel's configuration: empty for its defaults
        Query query;
        korva_viewroot_type type;
        std::string expected;  // "$ROOT" stands for $KORVA_ROOT
    };
    const Case cases[] = {
        {"automatic root", "", ROOT, KORVA_VIEWROOT_AUTOMATIC, "$ROOT/view"},
        {"dynamic root", "", ROOT, KORVA_VIEWROOT_DYNAMIC, "$ROOT/dynamic_view"},
        {"automatic suffix", "", SUFFIX, KORVA_VIEWROOT_AUTOMATIC, "@@"},
        {"dynamic suffix", "suffix.0=.x.\n", SUFFIX, KORVA_VIEWROOT_DYNAMIC, ".x."},
        {"a root that fills its buffer", "root.1=" + long_root + "\n", ROOT, KORVA_VIEWROOT_AUTOMATIC,
         long_root},
        {"a suffix that fills its buffer", "suffix.1=" + long_suffix + "\n", SUFFIX,
         KORVA_VIEWROOT_AUTOMATIC, long_suffix},
    };
    for (const Case& c : cases) {
        write_config(c.config);
        ASSERT_EQ(0, korva::Journal(root()).clear());
        std::string out = "old";
        EXPECT_EQ(0, ask(c.query, c.type, out)) << c.what;
        std::string expected = c.expected;
        if (expected.compare(0, 5, "$ROOT") == 0) expected = root_ + expected.substr(5);
        EXPECT_EQ(expected, out) << c.what;
        const Lines lines = journal();
        ASSERT_EQ(1u, lines.size()) << c.what;
        EXPECT_EQ((std::vector<std::string>{c.query == ROOT ? "view_root" : "naming_suffix", std::to_string(c.type)}),
                  lines[0])
            << c.what;
        EXPECT_EQ(0, korva_open_handle_count()) << c.what << ": the handle is closed";
    }
}

TEST_F(KorvaAgentIoctlTest, FailuresLeaveTheStringAloneAndInterruptedCallsAreRepeated) {
    struct Case {
        const char* what;
        std::string config;
        const char* call;    // forced kernel call, or null
        const char* result;  // its forced result
        Query query;
        int status;
        size_t queries_journaled;
    };
    const Case cases[] = {
        {"no handle", "", "open", "1062", ROOT, 1001, 0},
        {"the kernel refuses", "", "view_root", "1002", ROOT, 1002, 1},
        {"a failed call without a status", "", "view_root", "errno=5", ROOT, 1001, 1},
        {"a failed suffix call without a status", "", "naming_suffix", "errno=5", SUFFIX, 1001, 1},
        {"a root too long for its buffer", "root.1=/" + std::string(255, 'r') + "\n", nullptr, nullptr,
         ROOT, 1084, 1},
        {"a suffix too long for its buffer", "suffix.1=" + std::string(1024, 's') + "\n", nullptr,
         nullptr, SUFFIX, 1084, 1},
        {"an interrupted root query", "", "view_root", "errno=4", ROOT, 0, 2},
        {"an interrupted suffix query", "", "naming_suffix", "errno=4", SUFFIX, 0, 2},
    };
    for (const Case& c : cases) {
        write_config(c.config);
        ASSERT_EQ(0, korva::Journal(root()).clear());
        if (c.call != nullptr) inject(c.call, c.result);
        std::string out = "old";
        EXPECT_EQ(c.status, ask(c.query, KORVA_VIEWROOT_AUTOMATIC, out)) << c.what;
        if (c.status != 0) {
            EXPECT_EQ("old", out) << c.what;
        } else {
            EXPECT_EQ(c.query == ROOT ? root_ + "/view" : "@@", out) << c.what;
        }
        EXPECT_EQ(c.queries_journaled, journal().size()) << c.what;
        EXPECT_EQ(0, korva_open_handle_count()) << c.what << ": the handle is closed";
    }
}
