// The operations log log/ostrela.log of the view storage: the switch, the
// record format, the directory, and whole records from concurrent writers.

#include "lib/core/ostrelagent_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/core/ostrelagent_bin_msg.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/lib_test_support.h"

namespace {

using Log = OstrelAgent_Log;

// "Mon dd,yyyy hh:mm:ss.mmm"
const char* const kStamp = "[A-Z][a-z]{2} [0-9]{2},[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}[.][0-9]{3}";

class LibLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Log::g_enabled = 1;
        view_ = home_.path() + "/view.stg";
        ASSERT_EQ(::mkdir(view_.c_str(), 0700), 0);
    }
    void TearDown() override { Log::g_enabled = 0; }

    std::string log_dir() const { return view_ + "/log"; }
    std::string log_file() const { return view_ + "/log/ostrela.log"; }
    std::string contents() const { return lib_test::read_file(log_file()); }
    static std::string record(const std::string& type, const std::string& message) {
        return type + "::" + kStamp + "::" + std::to_string(getpid()) + "::" + message;
    }

    lib_test::TempHome home_;
    std::string view_;
};

TEST_F(LibLogTest, RecordFormatAndTypes) {
    Log log(view_);
    EXPECT_EQ(log.log_path(), log_file());
    const struct {
        int type;
        const char* text;
    } cases[] = {{0, "INFO"}, {1, "WARN"}, {2, "ERROR"}, {7, "UNKNOWN"}, {-1, "UNKNOWN"}};
    for (const auto& c : cases) {
        auto type = static_cast<OSTRELAGENT_LOG_TYPE>(c.type);
        EXPECT_STREQ(Log::log_type_string(type), c.text);
        log.write_log(type, "type %d\n", c.type);
    }
    std::vector<std::string> lines = lib_test::split_lines(contents());
    ASSERT_EQ(lines.size(), 5u);
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string want = record(cases[i].text, "type " + std::to_string(cases[i].type) + "\n");
        EXPECT_TRUE(lib_test::re_match(lines[i], want)) << lines[i];
    }
}

// One record a line, whether its message ends in a newline or not; text
// from outside (a server's message, a file name) cannot split a record or
// forge one.
TEST_F(LibLogTest, OneRecordALineWithControlCharactersEscaped) {
    Log log(view_);
    log.write_log(OSTRELAGENT_LOG_INFO, &_ostrela_bin_bin_msg_table, OstrelAgent_Bin_Msg::EXITING,
                  0);
    log.write_log(OSTRELAGENT_LOG_WARN, "%s", "no newline");
    log.write_log(OSTRELAGENT_LOG_ERROR, &_ostrela_lib_lib_msg_table,
                  OstrelAgent_Lib_Msg::NO_VIEW_INFO);
    log.write_log(OSTRELAGENT_LOG_ERROR, &_ostrela_bin_bin_msg_table,
                  OstrelAgent_Bin_Msg::USING_VIEW, "/v\nINFO::Jan 01,2000 00:00:00.000::1::forged\r", "h\t\x01");
    log.write_log(OSTRELAGENT_LOG_INFO, "%s", "two line ends\r\n\n");
    std::vector<std::string> lines = lib_test::split_lines(contents());
    ASSERT_EQ(lines.size(), 5u) << contents();
    const char* const want[] = {
        "INFO::%s::[0-9]+::Exiting, status = 0[.]\n",
        "WARN::%s::[0-9]+::no newline\n",
        "ERROR::%s::[0-9]+::View information not found[.]\n",
        "ERROR::%s::[0-9]+::Using view \"/v\\\\nINFO::Jan 01,2000 00:00:00[.]000::1::forged\\\\r\", on host "
        "\"h\\\\t\\\\x01\"[.]\n",
        "INFO::%s::[0-9]+::two line ends\n",
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        char pattern[512];
        std::snprintf(pattern, sizeof pattern, want[i], kStamp);
        EXPECT_TRUE(lib_test::re_match(lines[i], pattern)) << lines[i];
    }
}

TEST_F(LibLogTest, SwitchedOffWritesNothing) {
    Log::g_enabled = 0;
    Log log(view_);
    EXPECT_EQ(log.should_log(OSTRELAGENT_LOG_ERROR), 0);
    log.write_log(OSTRELAGENT_LOG_ERROR, "dropped\n");
    log.write_log(OSTRELAGENT_LOG_INFO, &_ostrela_bin_bin_msg_table,
                  OstrelAgent_Bin_Msg::INTERRUPTED);
    EXPECT_FALSE(lib_test::exists(log_dir()));

    Log::g_enabled = 1;
    EXPECT_EQ(log.should_log(OSTRELAGENT_LOG_ERROR), 1);
    log.write_log(OSTRELAGENT_LOG_INFO, &_ostrela_bin_bin_msg_table,
                  OstrelAgent_Bin_Msg::INTERRUPTED);
    EXPECT_TRUE(lib_test::re_match(contents(), record("INFO", "Interrupted[.][.][.]exiting[.]\n")));
}

TEST_F(LibLogTest, MakesLogDirectoryWithMode0700AndRemakesRemovedFile) {
    Log log(view_);
    log.write_log(OSTRELAGENT_LOG_INFO, "first\n");
    struct stat st;
    ASSERT_EQ(::stat(log_dir().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // The file is closed between records: removing it (and its directory)
    // loses nothing that comes later.
    ASSERT_EQ(::unlink(log_file().c_str()), 0);
    ASSERT_EQ(::rmdir(log_dir().c_str()), 0);
    log.write_log(OSTRELAGENT_LOG_INFO, "second\n");
    EXPECT_TRUE(lib_test::re_match(contents(), record("INFO", "second\n")));
}

TEST_F(LibLogTest, MissingViewStorageMakesNothing) {
    const std::string gone = home_.path() + "/no-such-view";
    Log log(gone);
    log.write_log(OSTRELAGENT_LOG_ERROR, "lost\n");
    EXPECT_FALSE(lib_test::exists(gone));
}

TEST_F(LibLogTest, LongMessageIsCut) {
    Log log(view_);
    const std::string text(20000, 'm');
    log.write_log(OSTRELAGENT_LOG_INFO, "%s", text.c_str());
    std::string got = contents();
    const std::string kept(Log::LOG_BUFFER_SIZE - 1, 'm');
    ASSERT_GE(got.size(), kept.size() + 1);
    // The record still ends its line.
    EXPECT_TRUE(got.substr(got.size() - kept.size() - 1) == kept + "\n");
    EXPECT_EQ(got.find(kept + "m"), std::string::npos);
}

TEST_F(LibLogTest, ConcurrentWritersProduceWholeRecords) {
    Log log(view_);
    const int kThreads = 8;
    const int kRecords = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            // Records of very different lengths, so that interleaving shows.
            const std::string body(static_cast<size_t>(t) * 1500 + 1, static_cast<char>('a' + t));
            for (int i = 0; i < kRecords; ++i) {
                log.write_log(static_cast<OSTRELAGENT_LOG_TYPE>(t % 3), "t%d i%d %s.\n", t, i,
                              body.c_str());
            }
        });
    }
    for (auto& th : threads) th.join();

    std::vector<std::string> lines = lib_test::split_lines(contents());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kRecords));
    const std::string shape = std::string("(INFO|WARN|ERROR)::") + kStamp + "::" +
                              std::to_string(getpid()) + "::t([0-9]+) i([0-9]+) ([a-z]+)[.]\n";
    std::vector<int> next(kThreads, 0);
    for (const auto& line : lines) {
        std::vector<std::string> m;
        ASSERT_TRUE(lib_test::re_match(line, shape, &m)) << line.substr(0, 200);
        int t = std::stoi(m[1]);
        int i = std::stoi(m[2]);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(m[0], Log::log_type_string(static_cast<OSTRELAGENT_LOG_TYPE>(t % 3)));
        EXPECT_EQ(i, next[t]);
        next[t] = i + 1;
        EXPECT_EQ(m[3], std::string(static_cast<size_t>(t) * 1500 + 1, static_cast<char>('a' + t)));
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kRecords);
}

TEST_F(LibLogTest, WriteFailuresAreTracedOncePerRunAndLoggingGoesOn) {
    OstrelAgent_Trace::set_trace(OstrelAgent_Trace::OSTRELAGENT, 1);
    OstrelAgent_Trace::setup_trace_file("tester", 4242);
    const auto reports = [&] {
        std::string text;
        for (const std::string& name : lib_test::list_dir(home_.path() + "/ostrelagent_trace"))
            text += lib_test::read_file(home_.path() + "/ostrelagent_trace/" + name);
        std::vector<std::string> found;
        for (const std::string& line : lib_test::split_lines(text))
            if (line.find("Unable to write " + log_file()) != std::string::npos) found.push_back(line);
        return found;
    };
    Log log(view_);

    // A full disk: every record is lost, reported once.
    ASSERT_EQ(::mkdir(log_dir().c_str(), 0700), 0);
    ASSERT_EQ(::symlink("/dev/full", log_file().c_str()), 0);
    for (int i = 0; i < 3; ++i) log.write_log(OSTRELAGENT_LOG_ERROR, "lost %d\n", i);
    std::vector<std::string> seen = reports();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].find(": No space left on device; records are lost"), std::string::npos) << seen[0];

    // Room again: records are written, and the next failure is a new run.
    ASSERT_EQ(::unlink(log_file().c_str()), 0);
    log.write_log(OSTRELAGENT_LOG_INFO, "kept\n");
    EXPECT_TRUE(lib_test::re_match(contents(), record("INFO", "kept\n")));
    ASSERT_EQ(::unlink(log_file().c_str()), 0);
    ASSERT_EQ(::mkdir(log_file().c_str(), 0700), 0);
    log.write_log(OSTRELAGENT_LOG_INFO, "lost again\n");
    log.write_log(OSTRELAGENT_LOG_INFO, "and again\n");
    seen = reports();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_NE(seen[1].find(": Is a directory;"), std::string::npos) << seen[1];

    OstrelAgent_Trace::set_trace("", 0);
    OstrelAgent_Trace::close_trace_file();
}

TEST_F(LibLogTest, InstanceKeepsItsFirstDirectory) {
    Log* first = Log::get_instance(view_);
    Log* again = Log::get_instance(home_.path() + "/elsewhere");
    EXPECT_EQ(first, again);
    EXPECT_EQ(again->log_path(), log_file());
}

} // namespace
