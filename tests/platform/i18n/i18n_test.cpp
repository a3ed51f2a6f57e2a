// The internationalisation library's version line: printed through the
// message library in the common format, and the same text when formatted.

#include <gtest/gtest.h>

#include <string>

#include "platform/i18n/i18n.h"
#include "platform/imsg/imsg.h"

namespace {

std::string g_line;

void capture(void*, const char* text) { g_line = text; }

TEST(I18n, VersionLineIsPaddedToColumn33) {
    const imsg_proc_t table[IMSG_NUM_KINDS] = {capture};
    imsg_set_redirect_procs(table, 1, nullptr);
    libhalvici18n_print_verid();
    imsg_set_redirect_procs(nullptr, 0, nullptr);
    ASSERT_GT(g_line.size(), 34u);
    EXPECT_EQ(g_line.substr(0, 34), "libhalvici18n                     ");
    EXPECT_EQ(g_line.back(), '\n');
    EXPECT_NE(g_line.find(" ("), std::string::npos);

    char buf[IMSG_MAX_TEXT];
    EXPECT_EQ(libhalvici18n_sprintf_verid(buf), static_cast<int>(g_line.size()));
    EXPECT_EQ(g_line, buf);
}

} // namespace
