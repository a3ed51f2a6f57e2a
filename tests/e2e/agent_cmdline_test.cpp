// The daemon's command line, run as its starters run it: version options,
// usage texts and exit statuses, "-help", and which of the command line and
// the configuration file decides the tracing.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent_fixture.h"

namespace e2e {
namespace {

const std::string kUsage =
    "ostrel_agent <view_storage_location> [-help] [-trace_level 0-5] "
    "[-trace_subsystem OSTRELAGENT:OSTRELACLIENT]\n";

// The component name of a version line, or empty when the line does not
// have the common form "name padded to 33 columns, release (date)".
std::string version_line_name(const std::string& line) {
    if (line.size() < 35 || line[33] != ' ' || line.back() != ')') return "";
    const size_t name_end = line.find(' ');
    if (name_end == std::string::npos || name_end > 33) return "";
    if (line.find(" (") == std::string::npos) return "";
    return line.substr(0, name_end);
}

using E2eCommandLine = AgentTest;

TEST_F(E2eCommandLine, VersionOptionsInAnyLetterCase) {
    const std::vector<std::string> all = {
        "ostrel_agent",     "libhalvicvek",        "libhalvicqel",       "libhalvickorva",
        "libhalvici18n",    "libostrelxdr",        "librclient",         "libostrel_agent_db",
        "libostrel_agent_ns", "libhalvicnorvanexml", "libhalvicostrelagent"};
    struct Case {
        std::vector<std::string> args;
        bool all_components;
    };
    const Case cases[] = {
        {{"-Ver"}, false},    {{"-ver"}, false},           {{"-VERSION"}, false},
        {{"-Version", storage("v")}, false},               // the rest is not looked at
        {{"-VerAll"}, true},  {{"-verall"}, true},         {{"-VERALL"}, true},
    };
    for (const Case& c : cases) {
        std::unique_ptr<Process> agent = start(c.args);
        // Standard input stays open: a daemon would wait for its request.
        const std::optional<int> status = agent->wait_exit();
        ASSERT_TRUE(status.has_value()) << c.args[0] << " did not end: a daemon was started";
        EXPECT_EQ(*status, 0) << c.args[0];
        EXPECT_EQ(agent->stderr_text(), "") << c.args[0];
        const std::vector<std::string> lines = split_lines(agent->stdout_text());
        std::vector<std::string> names;
        for (const std::string& line : lines) names.push_back(version_line_name(line));
        const std::vector<std::string> expected =
            c.all_components ? all : std::vector<std::string>{"ostrel_agent"};
        EXPECT_EQ(names, expected) << c.args[0] << ":\n" << agent->stdout_text();
    }
    EXPECT_FALSE(file_exists(storage("v")));
}

TEST_F(E2eCommandLine, UsageErrorsExitOneWithoutStarting) {
    const std::string program = agent_path();
    const std::string usage_error = "usage error\nusage: " + program + " " + kUsage + "\n";
    struct Case {
        std::vector<std::string> args;
        std::string text;
    };
    const Case cases[] = {
        {{}, "Usage: " + program + " " + kUsage + "\n"},
        {{"-trace_level", "2", storage("v")}, usage_error},   // the storage must come first
        {{storage("v"), "-bogus"}, usage_error},
        {{storage("v"), "-VerAll"}, usage_error},             // version options only first
        {{storage("v"), "-Trace_level", "2"}, usage_error},   // options are case-sensitive
        {{storage("v"), "-trace_level"}, usage_error},        // value missing
        {{storage("v"), "-trace_subsystem"}, usage_error},
        {{"-trace_subsystem", "OSTRELAGENT"}, usage_error},   // no storage at all
        {{""}, usage_error},
    };
    for (const Case& c : cases) {
        std::unique_ptr<Process> agent = start(c.args);
        const std::optional<int> status = agent->wait_exit();
        ASSERT_TRUE(status.has_value()) << testing::PrintToString(c.args);
        EXPECT_EQ(*status, 1) << testing::PrintToString(c.args);
        EXPECT_EQ(agent->stderr_text(), c.text) << testing::PrintToString(c.args);
        EXPECT_EQ(agent->stdout_text(), "");
    }
    EXPECT_FALSE(file_exists(storage("v")));
}

TEST_F(E2eCommandLine, HelpPrintsTheUsageLineAndExitsZero) {
    const std::string help = std::string(agent_path()) + " " + kUsage + "\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-help"}, std::vector<std::string>{storage("v"), "-help"},
          std::vector<std::string>{storage("v"), "-trace_level", "3", "-help", "-bogus"}}) {
        std::unique_ptr<Process> agent = start(args);
        const std::optional<int> status = agent->wait_exit();
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, 0);
        EXPECT_EQ(agent->stdout_text(), help);
        EXPECT_EQ(agent->stderr_text(), "");
    }
    EXPECT_FALSE(file_exists(storage("v")));
    // The exit hook knew no view tag: nothing was unregistered.
    EXPECT_EQ(count_of(journal(), "unregister"), 0u) << journal();
}

TEST_F(E2eCommandLine, TracingOfTheCommandLineWinsOverTheConfigurationFile) {
    // A level-2 line that every daemon writes at start-up, and a level-4
    // line of the request dispatcher.
    const std::string level2 = "Creating view handler for location";
    const std::string level4 = "Parsing <Frob/>";
    const std::string file2 = "ostrelTraceLevel=2\nostrelTraceSubsystem=OSTRELAGENT\n";
    const std::string file4 = "ostrelTraceLevel=4\nostrelTraceSubsystem=OSTRELAGENT\n";
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string config;
        bool level2_traced;
        bool level4_traced;
    };
    const Case cases[] = {
        {"command line alone", {"-trace_level", "4", "-trace_subsystem", "OSTRELAGENT"}, "", true, true},
        {"configuration alone", {}, file4, true, true},
        {"level 0 leaves it to the file", {"-trace_level", "0"}, file2, true, false},
        {"command line level 2 wins over file level 4",
         {"-trace_level", "2", "-trace_subsystem", "OSTRELAGENT"}, file4, true, false},
        {"command line level 4 wins over file level 2",
         {"-trace_level", "4", "-trace_subsystem", "OSTRELAGENT"}, file2, true, true},
        {"level without subsystems leaves it to the file", {"-trace_level", "4"}, file2, true, false},
        {"level without subsystems and no file", {"-trace_level", "4"}, "", false, false},
        {"another subsystem only", {"-trace_level", "5", "-trace_subsystem", "RCLIENT"}, file4,
         false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempTree fresh_home;
        home = fresh_home.path();
        if (!c.config.empty()) {
            ASSERT_TRUE(write_file(home + "/ostrel.conf", c.config));
        }
        // A first request that fails ends the daemon quickly.
        std::unique_ptr<Process> agent = start_with_request(storage("t"), "<Frob/>", c.args);
        ASSERT_EQ(agent->wait_exit(), std::optional<int>(2));
        const std::string traces = all_traces();
        EXPECT_EQ(traces.find(level2) != std::string::npos, c.level2_traced) << traces;
        EXPECT_EQ(traces.find(level4) != std::string::npos, c.level4_traced) << traces;
    }
}

} // namespace
} // namespace e2e
