// korva_agent as its users run it: the built program against the simulated
// kernel, each command line on a fresh kernel state with the configuration
// and forced results it needs; standard output, standard error, the exit
// status and the kernel's journal are checked.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "e2e/process_harness.h"
#include "platform/imsg/imsg.h"
#include "platform/korva/korva_journal.h"
#include "platform/korva/korva_root.h"
#include "tools/korva_agent/korva_agent_verid.h"

namespace {

const char* const USAGE_LINE =
    "Usage: korva_agent [-automatic_korva_root] [-extended_naming_symbol] [-dynamic_korva_root] "
    "[-dynamic_extended_naming_symbol] [-help]";

struct ToolRun {
    int exit_status = -1;
    std::string out;
    std::string err;
    std::vector<std::string> journal;  // fields joined by blanks
};

// Runs the program with $KORVA_ROOT at `root`, after writing the kernel's
// configuration and forced results there.
ToolRun run_tool(const std::string& root, const std::vector<std::string>& args, const std::string& config = "",
             const std::string& inject = "") {
    ToolRun run;
    const korva::Root state(root);
    EXPECT_EQ(0, state.prepare());
    if (!config.empty()) {
        EXPECT_TRUE(e2e::write_file(state.file("config"), config));
    }
    if (!inject.empty()) {
        EXPECT_TRUE(e2e::write_file(state.file("inject"), inject));
    }
    e2e::Process tool(KORVA_AGENT, args, {{"KORVA_ROOT", root}});
    std::optional<int> status = tool.wait_exit();
    EXPECT_TRUE(status.has_value()) << "the program did not end";
    if (status) run.exit_status = *status;
    run.out = tool.stdout_text();
    run.err = tool.stderr_text();
    for (const std::vector<std::string>& fields : korva::Journal(state).read()) {
        std::string line;
        for (const std::string& field : fields) line += (line.empty() ? "" : " ") + field;
        run.journal.push_back(line);
    }
    return run;
}

// "@version NAME" in an expected output stands for NAME's version line: the
// name in 33 columns, a blank, the release, a blank, the build date in
// parentheses.
bool line_matches(const std::string& expected, const std::string& actual) {
    const std::string version = "@version ";
    if (expected.compare(0, version.size(), version) != 0) return expected == actual;
    std::string name = expected.substr(version.size());
    name.resize(33, ' ');
    return std::regex_match(actual, std::regex(name + " [^ ]+ \\([^ ]+\\)"));
}

void expect_lines(const std::vector<std::string>& expected, const std::string& text, const std::string& what) {
    const std::vector<std::string> actual = e2e::split_lines(text);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << what << ": the last line is cut";
    ASSERT_EQ(expected.size(), actual.size()) << what << ": standard output was\n" << text;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(line_matches(expected[i], actual[i])) << what << ": line " << i << " is " << actual[i];
    }
}

std::string with_root(std::string text, const std::string& root) {
    for (size_t at; (at = text.find("$ROOT")) != std::string::npos;) text.replace(at, 5, root);
    return text;
}

} // namespace

TEST(KorvaAgentTool, CommandLinesAgainstTheSimulatedKernel) {
    const std::string root_255 = "/" + std::string(254, 'r');
    const std::string suffix_1023(1023, 's');
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string config;  // lines of $KORVA_ROOT/config
        std::string inject;  // lines of $KORVA_ROOT/inject
        std::vector<std::string> out;  // "$ROOT" stands for $KORVA_ROOT
        int exit_status;
        std::vector<std::string> journal;
    };
    const Case cases[] = {
        // Usage.
        {"no argument", {}, "", "", {USAGE_LINE}, 233, {}},
        {"-help alone", {"-help"}, "", "", {USAGE_LINE}, 233, {}},
        {"-help after a query runs no query",
         {"-automatic_korva_root", "-help"}, "", "", {USAGE_LINE}, 233, {}},
        {"-help in capitals is an unknown argument",
         {"-HELP", "-extended_naming_symbol"}, "", "", {"-extended_naming_symbol=@@"}, 0, {"naming_suffix 1"}},
        {"unknown arguments only", {"-bogus", "automatic_korva_root", "-automatic_korva_root=x"}, "", "", {}, 0, {}},

        // Answers, in the order of the arguments.
        {"every query, the kernel's defaults",
         {"-automatic_korva_root", "-extended_naming_symbol", "-dynamic_korva_root",
          "-dynamic_extended_naming_symbol"},
         "", "",
         {"-automatic_korva_root=$ROOT/view", "-extended_naming_symbol=@@", "-dynamic_korva_root=$ROOT/dynamic_view",
          "-dynamic_extended_naming_symbol=@@"},
         0, {"view_root 1", "naming_suffix 1", "view_root 0", "naming_suffix 0"}},
        {"the dynamic root first", {"-dynamic_korva_root", "-automatic_korva_root"}, "", "",
         {"-dynamic_korva_root=$ROOT/dynamic_view", "-automatic_korva_root=$ROOT/view"}, 0,
         {"view_root 0", "view_root 1"}},
        {"the kernel's configured roots and suffixes",
         {"-automatic_korva_root", "-dynamic_korva_root", "-extended_naming_symbol",
          "-dynamic_extended_naming_symbol"},
         "root.1=/views/auto\nroot.0=/views/dyn\nsuffix.1=.@.\nsuffix.0=%23%23\n", "",
         {"-automatic_korva_root=/views/auto", "-dynamic_korva_root=/views/dyn", "-extended_naming_symbol=.@.",
          "-dynamic_extended_naming_symbol=##"},
         0, {"view_root 1", "view_root 0", "naming_suffix 1", "naming_suffix 0"}},
        {"a repeated option is asked twice", {"-extended_naming_symbol", "-extended_naming_symbol"}, "", "",
         {"-extended_naming_symbol=@@", "-extended_naming_symbol=@@"}, 0, {"naming_suffix 1", "naming_suffix 1"}},
        {"a root that fills its 256 bytes", {"-automatic_korva_root"}, "root.1=" + root_255 + "\n", "",
         {"-automatic_korva_root=" + root_255}, 0, {"view_root 1"}},
        {"a suffix that fills its 1024 bytes", {"-dynamic_extended_naming_symbol"},
         "suffix.0=" + suffix_1023 + "\n", "", {"-dynamic_extended_naming_symbol=" + suffix_1023}, 0,
         {"naming_suffix 0"}},
        {"the answer ends at its first NUL", {"-extended_naming_symbol"}, "suffix.1=ab%00cd\n", "",
         {"-extended_naming_symbol=ab"}, 0, {"naming_suffix 1"}},
        {"an interrupted call is asked again", {"-extended_naming_symbol"}, "", "naming_suffix errno=4\n",
         {"-extended_naming_symbol=@@"}, 0, {"naming_suffix 1", "naming_suffix 1"}},

        // Failures: no line, the status's low byte.
        {"no view-root handle", {"-automatic_korva_root"}, "", "open 1062\n", {}, 233, {}},
        {"the kernel refuses", {"-automatic_korva_root"}, "", "view_root 1002\n", {}, 234, {"view_root 1"}},
        {"a root too long for 256 bytes", {"-automatic_korva_root"}, "root.1=/" + std::string(255, 'r') + "\n", "",
         {}, 60, {"view_root 1"}},
        {"a suffix too long for 1024 bytes", {"-dynamic_extended_naming_symbol"},
         "suffix.0=" + std::string(1024, 's') + "\n", "", {}, 60, {"naming_suffix 0"}},
        {"a failed call without a status", {"-dynamic_korva_root"}, "", "view_root errno=5\n", {}, 233,
         {"view_root 0"}},
        {"a status whose low byte is 0 is no success", {"-automatic_korva_root"}, "", "view_root 1024\n", {}, 255,
         {"view_root 1"}},
        {"a later success keeps the failure", {"-automatic_korva_root", "-extended_naming_symbol"}, "",
         "view_root 1002\n", {"-extended_naming_symbol=@@"}, 234, {"view_root 1", "naming_suffix 1"}},
        {"two failures: the second decides", {"-dynamic_korva_root", "-dynamic_extended_naming_symbol"}, "",
         "view_root 1002\nnaming_suffix 1016\n", {}, 248, {"view_root 0", "naming_suffix 0"}},

        // Version lines: the first argument only, in any letter case.
        {"-Ver", {"-Ver"}, "", "", {"@version korva_agent"}, 0, {}},
        {"-version, then -help", {"-version", "-help"}, "", "", {"@version korva_agent"}, 0, {}},
        {"-VERALL, then a query",
         {"-VERALL", "-automatic_korva_root"}, "", "",
         {"@version korva_agent", "@version libhalvicvek", "@version libhalvicqel", "@version libhalvickorva"}, 0, {}},
        {"a version option after a query is unknown", {"-automatic_korva_root", "-Ver"}, "", "",
         {"-automatic_korva_root=$ROOT/view"}, 0, {"view_root 1"}},
    };
    e2e::TempTree tree;
    int number = 0;
    for (const Case& c : cases) {
        const std::string root = tree / ("root" + std::to_string(++number));
        const ToolRun run = run_tool(root, c.args, c.config, c.inject);
        std::vector<std::string> out;
        for (const std::string& line : c.out) out.push_back(with_root(line, root));
        expect_lines(out, run.out, c.what);
        EXPECT_EQ("", run.err) << c.what;
        EXPECT_EQ(c.exit_status, run.exit_status) << c.what;
        EXPECT_EQ(c.journal, run.journal) << c.what;
    }
}

TEST(KorvaAgentTool, AnAnswerThatCannotBeWrittenIsAFailure) {
    e2e::TempTree tree;
    const std::string root = tree / "root";
    ASSERT_EQ(0, korva::Root(root).prepare());
    e2e::Process tool("/bin/sh", {"-c", "exec \"$0\" -automatic_korva_root >/dev/full", KORVA_AGENT},
                      {{"KORVA_ROOT", root}});
    std::optional<int> status = tool.wait_exit();
    ASSERT_TRUE(status.has_value());
    EXPECT_GT(*status, 0);
    EXPECT_EQ("", tool.stderr_text());
}

TEST(KorvaAgentTool, TheVersionFormatterIsExportedAndFormatsThePrintedLine) {
    char line[IMSG_MAX_TEXT];
    const int length = korva_agent_sprintf_verid(line);
    e2e::TempTree tree;
    const ToolRun run = run_tool(tree / "root", {"-Ver"});
    EXPECT_EQ(run.out, line);
    EXPECT_EQ(static_cast<int>(run.out.size()), length);

    // Other programs find it in the program's dynamic symbols by its plain name.
    std::FILE* nm = popen(("nm -D --defined-only '" + std::string(KORVA_AGENT) + "'").c_str(), "r");
    ASSERT_NE(nullptr, nm);
    std::string symbols;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, nm)) > 0;) symbols.append(buffer, n);
    EXPECT_EQ(0, pclose(nm));
    EXPECT_TRUE(std::regex_search(symbols, std::regex(" T korva_agent_sprintf_verid\n"))) << symbols;
}
