// Version lines: the one formatter, and the lines of the platform libraries
// that use it. Each is the name left-aligned in 33 columns, a blank, the
// release, a blank and the build date in parentheses; printed as information
// (kind 0) and formatted into a buffer as the same text.

#include "platform/imsg/imsg_verid.h"

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/i18n/i18n.h"
#include "platform/imsg/imsg.h"
#include "platform/korva/korva.h"
#include "platform/qel/qel.h"
#include "platform/vek/vek.h"

namespace {

std::vector<std::string> g_lines;
std::vector<int> g_kinds;

template <int Kind>
void keep(void*, const char* text) {
    g_lines.push_back(text);
    g_kinds.push_back(Kind);
}

const char* const kLongName = "a-component-name-longer-than-the-column";

TEST(ImsgVerid, EveryVersionLineHasTheCommonLayout) {
    struct Row {
        std::string name;
        void (*print)();
        int (*format)(char*);
    };
    const Row rows[] = {
        {"libhalvicvek", libhalvicvek_print_verid, libhalvicvek_sprintf_verid},
        {"libhalvicqel", libhalvicqel_print_verid, libhalvicqel_sprintf_verid},
        {"libhalvickorva", libhalvickorva_print_verid, libhalvickorva_sprintf_verid},
        {"libhalvici18n", libhalvici18n_print_verid, libhalvici18n_sprintf_verid},
        // The column is a minimum: a longer name is followed by one blank.
        {kLongName, [] { imsg_print_verid(kLongName); },
         [](char* buf) { return imsg_sprintf_verid(buf, kLongName); }},
        {"", [] { imsg_print_verid(""); }, [](char* buf) { return imsg_sprintf_verid(buf, ""); }},
    };
    const imsg_proc_t table[IMSG_NUM_KINDS] = {keep<0>, keep<1>, keep<2>, keep<3>, keep<4>, keep<5>,
                                               keep<6>, keep<7>, keep<8>, keep<9>, keep<10>};
    std::vector<char> buffer(IMSG_MAX_TEXT);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        g_lines.clear();
        g_kinds.clear();
        imsg_set_redirect_procs(table, IMSG_NUM_KINDS, nullptr);
        row.print();
        imsg_set_redirect_procs(nullptr, 0, nullptr);
        ASSERT_EQ(g_lines.size(), 1u);
        EXPECT_EQ(g_kinds[0], 0);
        const size_t pad = row.name.size() < 33 ? 33 - row.name.size() : 0;
        const std::regex layout(row.name + std::string(pad, ' ') +
                                " [^ ]+ \\([0-9]{4}-[0-9]{2}-[0-9]{2}\\)\n");
        EXPECT_TRUE(std::regex_match(g_lines[0], layout)) << g_lines[0];
        EXPECT_EQ(row.format(buffer.data()), static_cast<int>(g_lines[0].size()));
        EXPECT_EQ(std::string(buffer.data()), g_lines[0]);
    }
}

} // namespace
