// The configuration file $HOME/ostrel.conf: parsing, defaults, and the
// process-wide instance.

#include "lib/core/ostrelagent_config.h"

#include <sys/stat.h>

#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/lib_test_support.h"

namespace {

using C = OstrelAgent_Config;

TEST(LibConfigParse, LinesAndTheirEdgeCases) {
    const struct {
        const char* what;
        const char* file;
        const char* key;
        const char* value;
    } cases[] = {
        {"defaults", "", "ostrelNumVemri", "7"},
        {"defaults", "", "ostrelNumKorva", "5"},
        {"defaults", "", "ostrelNumGet", "2"},
        {"absent key", "", "ostrelTraceLevel", ""},
        {"blanks and tabs everywhere", " \t ostrelNumVemri \t = \t 12 \t \n", "ostrelNumVemri", "12"},
        {"comment line", "# ostrelNumVemri=3\n", "ostrelNumVemri", "7"},
        {"comment after blanks", "  \t# ostrelNumVemri=3\n", "ostrelNumVemri", "7"},
        {"later # is value", "ostrelTraceLevel=3 # remark\n", "ostrelTraceLevel", "3 # remark"},
        {"second = in value", "ostrelTraceSubsystem=A=B\n", "ostrelTraceSubsystem", "A=B"},
        {"empty key", "=9\nostrelNumGet=4\n", "ostrelNumGet", "4"},
        {"empty value keeps default", "ostrelNumKorva=\n", "ostrelNumKorva", "5"},
        {"blank value keeps default", "ostrelNumKorva = \t\n", "ostrelNumKorva", "5"},
        {"no separator", "ostrelNumKorva 9\n", "ostrelNumKorva", "5"},
        {"last line wins", "ostrelNumVemri=3\nostrelNumVemri=4\n", "ostrelNumVemri", "4"},
        {"keys are case-sensitive", "OSTRELNUMVEMRI=9\n", "ostrelNumVemri", "7"},
        {"keys are case-sensitive", "OSTRELNUMVEMRI=9\n", "OSTRELNUMVEMRI", "9"},
        {"CR LF line ends", "ostrelNumVemri=8\r\nostrelNumKorva=6\r\n", "ostrelNumKorva", "6"},
        {"CR LF line ends", "ostrelNumVemri=8\r\nostrelNumKorva=6\r\n", "ostrelNumVemri", "8"},
        {"last line without newline", "x=1\nostrelNumGet=4", "ostrelNumGet", "4"},
        {"malformed lines skipped one by one", "junk\n=\nostrelNumGet=3\n", "ostrelNumGet", "3"},
        {"unknown keys are kept", "someKey = some value\n", "someKey", "some value"},
    };
    for (const auto& c : cases) {
        C config;
        std::istringstream in(c.file);
        EXPECT_EQ(config.load(in), 0) << c.what;
        EXPECT_EQ(config.find(c.key), c.value) << c.what;
    }
}

TEST(LibConfigParse, BooleanParameters) {
    C config;
    std::istringstream in("a=true\nb=TRUE\nc=TrUe\nd=yes\ne=1\nf=truex\n");
    ASSERT_EQ(config.load(in), 0);
    for (const char* key : {"a", "b", "c"}) EXPECT_TRUE(config.get_boolean_param(key)) << key;
    for (const char* key : {"d", "e", "f", "absent"}) EXPECT_FALSE(config.get_boolean_param(key)) << key;
}

TEST(LibConfigParse, CopiesAreIndependent) {
    C config;
    std::istringstream in("ostrelNumVemri=3\n");
    ASSERT_EQ(config.load(in), 0);
    C copy = config;
    std::istringstream more("ostrelNumVemri=9\n");
    ASSERT_EQ(copy.load(more), 0);
    EXPECT_EQ(config.find("ostrelNumVemri"), "3");
    EXPECT_EQ(copy.find("ostrelNumVemri"), "9");
}

// Gives `text`, then fails the read.
class FailingBuf : public std::streambuf {
public:
    explicit FailingBuf(std::string text) : text_(std::move(text)) {
        setg(&text_[0], &text_[0], &text_[0] + text_.size());
    }

protected:
    int_type underflow() override { throw std::runtime_error("read error"); }

private:
    std::string text_;
};

TEST(LibConfigParse, ReadErrorAfterSomeLinesFails) {
    C config;
    FailingBuf buf("ostrelNumVemri=3\nostrelNumKo");
    std::istream in(&buf);
    EXPECT_EQ(config.load(in), 20001);
}

TEST(LibConfigParse, MissingFileIsNoError) {
    lib_test::TempHome home;
    C config;
    EXPECT_EQ(config.load(home.path() + "/absent.conf"), 0);
    EXPECT_EQ(config.find("ostrelNumVemri"), "7");
}

TEST(LibConfigFile, PathIsInHome) {
    lib_test::TempHome home;
    EXPECT_EQ(C::get_config_file(), home.path() + "/ostrel.conf");
}

// The instance is made once per process: each of these runs in a new one.
TEST(LibConfigInstance, ReadsHomeConfigurationOnce) {
    lib_test::TempHome home;
    lib_test::write_file(home.path() + "/ostrel.conf",
                         "# pool\nostrelNumVemri = 3\nostrelTraceLevel=2\nostrelNumVemri=11\n");
    auto body = [&]() -> int {
        // Several threads race for the first call: all get the same object.
        std::vector<C*> seen(4, nullptr);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < seen.size(); ++i) {
            threads.emplace_back([&seen, i] { seen[i] = C::get_instance(); });
        }
        for (auto& t : threads) t.join();
        for (C* c : seen) {
            if (c == nullptr || c != seen[0]) return 2;
        }
        C* config = C::get_instance();
        if (config != seen[0]) return 3;
        if (config->find("ostrelNumVemri") != "11") return 4;
        if (config->find("ostrelTraceLevel") != "2") return 5;
        if (config->find("ostrelNumKorva") != "5") return 6;
        // Read once: later changes to the file are not seen.
        lib_test::write_file(home.path() + "/ostrel.conf", "ostrelNumVemri=1\n");
        if (C::get_instance()->find("ostrelNumVemri") != "11") return 7;
        return 0;
    };
    lib_test::expect_in_fresh_process(home, body);
}

TEST(LibConfigInstance, NoFileGivesDefaults) {
    lib_test::TempHome home;
    auto body = [&]() -> int {
        C* config = C::get_instance();
        if (config->find("ostrelNumVemri") != "7") return 2;
        if (config->find("ostrelNumKorva") != "5") return 3;
        if (config->find("ostrelNumGet") != "2") return 4;
        if (!config->find("ostrelTraceLevel").empty()) return 5;
        return 0;
    };
    lib_test::expect_in_fresh_process(home, body);
}

TEST(LibConfigInstance, UnreadableFileGivesDefaultsOnly) {
    lib_test::TempHome home;
    // A directory in place of the file: it exists, opens, and fails to read.
    ASSERT_EQ(::mkdir((home.path() + "/ostrel.conf").c_str(), 0700), 0);
    auto body = [&]() -> int {
        C* config = C::get_instance();
        if (config->find("ostrelNumVemri") != "7") return 2;
        if (config->find("ostrelNumKorva") != "5") return 3;
        return 0;
    };
    lib_test::expect_in_fresh_process(home, body);
}

} // namespace
