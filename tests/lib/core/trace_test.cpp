// The per-process trace file: its name, its line shapes, levels and
// subsystem selection, and whole lines from concurrent writers.

#include "lib/core/ostrelagent_trace.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/lib_test_support.h"

namespace {

using T = OstrelAgent_Trace;

const char* const kStamp = "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[.][0-9]{6}";

// Sets up tracing into a fresh $HOME and reads back what was written.
class LibTraceTest : public ::testing::Test {
protected:
    void SetUp() override { T::set_trace("", 0); }
    void TearDown() override {
        T::set_trace("", 0);
        T::close_trace_file();
    }

    void start(const char* subsystems, int level, const char* user = "tester", int pid = 4242) {
        T::set_trace(subsystems, level);
        T::setup_trace_file(user, pid);
    }
    std::string trace_dir() const { return home_.path() + "/ostrelagent_trace"; }
    std::vector<std::string> files() const { return lib_test::list_dir(trace_dir()); }
    std::vector<std::string> lines() const {
        std::vector<std::string> names = files();
        if (names.size() != 1) {
            ADD_FAILURE() << "expected one trace file, found " << names.size();
            return {};
        }
        return lib_test::split_lines(lib_test::read_file(trace_dir() + "/" + names[0]));
    }
    static std::string full_line(const std::string& cls, const std::string& method,
                                 const std::string& message) {
        return std::string(kStamp) + "::TRACE::OSTRELAGENT::" + cls + "::" + method + "::" +
               std::to_string(getpid()) + "::[0-9a-f]+::" + message + "\n";
    }

    lib_test::TempHome home_;
};

TEST_F(LibTraceTest, FileNameCarriesUserStartTimeAndPid) {
    const struct {
        const char* user;
        int pid;
        const char* pattern;
    } cases[] = {
        {"alice", 4242, "ostrelagent_alice_d[0-9]{8}_t[0-9]{6}_p4242[.]log"},
        {"", 17, "ostrelagent_d[0-9]{8}_t[0-9]{6}_p17[.]log"},
        {nullptr, 18, "ostrelagent_d[0-9]{8}_t[0-9]{6}_p18[.]log"},
    };
    // Even without a file-creation mask, the directory and the files are
    // the user's alone: request texts go into them.
    const mode_t old_mask = ::umask(0);
    for (const auto& c : cases) {
        start("OSTRELAGENT", 1, c.user, c.pid);
        T tracer(T::OSTRELAGENT, "Cls", "meth");
        tracer.writeTrace(T::TRACE_LEVEL_1, "hello");
    }
    ::umask(old_mask);
    std::vector<std::string> names = files();
    ASSERT_EQ(names.size(), 3u);
    for (const auto& c : cases) {
        int matches = 0;
        for (const auto& name : names) matches += lib_test::re_match(name, c.pattern);
        EXPECT_EQ(matches, 1) << c.pattern;
    }
    struct stat st;
    ASSERT_EQ(::stat(trace_dir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    for (const auto& name : names) {
        ASSERT_EQ(::stat((trace_dir() + "/" + name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }
}

TEST_F(LibTraceTest, EntryExitAndMessageLines) {
    start("OSTRELAGENT", 3);
    {
        T tracer(T::OSTRELAGENT, "Cls", "meth");
        tracer.writeTrace(T::TRACE_LEVEL_2, "value %d of %s", 7, "x");
        tracer.writeTrace_m("other", "via %s", "writeTrace_m");
    }
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_TRUE(lib_test::re_match(got[0], full_line("Cls", "meth", "Entering"))) << got[0];
    EXPECT_TRUE(lib_test::re_match(got[1], full_line("Cls", "meth", "value 7 of x")))
        << got[1];
    EXPECT_TRUE(lib_test::re_match(got[2], full_line("Cls", "other", "via writeTrace_m")))
        << got[2];
    EXPECT_TRUE(lib_test::re_match(got[3], full_line("Cls", "meth", "Exiting"))) << got[3];
}

// Text from outside (a server's reply, a client's request) cannot split a
// trace line or forge one.
TEST_F(LibTraceTest, ControlCharactersAreEscaped) {
    start("OSTRELAGENT", 2);
    {
        T tracer(T::OSTRELAGENT, "Cls");
        tracer.writeTrace(T::TRACE_LEVEL_2, "got [%s]", "a\nforged::TRACE\r\x1b[2J\t");
        tracer.writeTrace(T::TRACE_LEVEL_2, "ends in a newline\n");
    }
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].find("::got [a\\nforged::TRACE\\r\\x1b[2J\\t]\n"), std::string::npos) << got[0];
    EXPECT_NE(got[1].find("::ends in a newline\n"), std::string::npos) << got[1];
}

TEST_F(LibTraceTest, LevelsGateLeveledLinesOnly) {
    start("OSTRELAGENT", 2);
    {
        T tracer(T::OSTRELAGENT, "Cls", "meth"); // level 3: no entry or exit
        EXPECT_TRUE(tracer.shouldTrace(T::TRACE_LEVEL_2));
        EXPECT_FALSE(tracer.shouldTrace(T::TRACE_LEVEL_3));
        tracer.writeTrace(T::TRACE_LEVEL_1, "one");
        tracer.writeTrace(T::TRACE_LEVEL_2, "two");
        tracer.writeTrace(T::TRACE_LEVEL_3, "three");
        tracer.writeTrace(T::TRACE_LEVEL_5, "five");
        tracer.writeTrace("unleveled");
    }
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_NE(got[0].find("::one\n"), std::string::npos);
    EXPECT_NE(got[1].find("::two\n"), std::string::npos);
    EXPECT_NE(got[2].find("::unleveled\n"), std::string::npos);
}

TEST_F(LibTraceTest, SubsystemSelection) {
    start("RCLIENT:OSTRELAGENT_KORVA", 5);
    T agent(T::OSTRELAGENT, "A", "m");
    T korva(T::OSTRELAGENT_KORVA, "K", "m");
    T db(T::OSTRELAGENT_DB, "D", "m");
    T rclient(T::RCLIENT, "R", "m");
    EXPECT_FALSE(agent.shouldTrace(T::TRACE_LEVEL_1));
    EXPECT_TRUE(korva.shouldTrace(T::TRACE_LEVEL_1));
    EXPECT_FALSE(db.shouldTrace(T::TRACE_LEVEL_1));
    EXPECT_TRUE(rclient.shouldTrace(T::TRACE_LEVEL_5));
    agent.writeTrace(T::TRACE_LEVEL_1, "agent");
    korva.writeTrace(T::TRACE_LEVEL_1, "korva");
    std::vector<std::string> got = lines();
    // Entering lines of K and R, then K's message.
    ASSERT_EQ(got.size(), 3u);
    EXPECT_NE(got[0].find("::TRACE::OSTRELAGENT_KORVA::K::m::"), std::string::npos);
    EXPECT_NE(got[1].find("::TRACE::RCLIENT::R::m::"), std::string::npos);
    EXPECT_NE(got[2].find("::korva\n"), std::string::npos);
}

TEST_F(LibTraceTest, TracingEnabledNeedsLevelAndSubsystems) {
    const struct {
        const char* subsystems;
        int level;
        int enabled;
    } cases[] = {
        {"OSTRELAGENT", 1, 1}, {"OSTRELAGENT", 0, 0}, {"", 3, 0},
        {nullptr, 3, 0},       {"OSTRELAGENT", 10, 1},
    };
    for (const auto& c : cases) {
        T::set_trace(c.subsystems, c.level);
        EXPECT_EQ(T::tracing_enabled(), c.enabled)
            << (c.subsystems ? c.subsystems : "(null)") << " " << c.level;
    }
}

TEST_F(LibTraceTest, DemoLevelWritesOnlyDemoLinesInShortForm) {
    start("OSTRELAGENT", T::TRACE_LEVEL_DEMO);
    {
        T tracer(T::OSTRELAGENT, "Cls", "meth");
        EXPECT_FALSE(tracer.shouldTraceEntryExit());
        tracer.writeTrace(T::TRACE_LEVEL_5, "not shown");
        tracer.writeTrace(T::TRACE_LEVEL_DEMO, "demo %d", 1);
    }
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(lib_test::re_match(got[0], std::string(kStamp) + "::demo 1\n"))
        << got[0];
}

TEST_F(LibTraceTest, TwoNameTracerWritesNoEntryLine) {
    start("OSTRELAGENT", 3);
    {
        T tracer(T::OSTRELAGENT, "Cls");
        tracer.writeTrace(T::TRACE_LEVEL_1, "msg");
    }
    std::vector<std::string> got = lines();
    ASSERT_GE(got.size(), 1u);
    EXPECT_TRUE(lib_test::re_match(got[0], full_line("Cls", "UNKNOWN", "msg"))) << got[0];
    for (const auto& line : got) EXPECT_EQ(line.find("Entering"), std::string::npos);
}

TEST_F(LibTraceTest, LongMessageIsCut) {
    start("OSTRELAGENT", 1);
    const std::string text(5000, 'z');
    {
        T tracer(T::OSTRELAGENT, "Cls", "meth");
        tracer.writeTrace(T::TRACE_LEVEL_1, "%s", text.c_str());
    }
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("::" + std::string(T::MAX_MESSAGE, 'z') + "\n"), std::string::npos);
    EXPECT_EQ(got[0].find(std::string(T::MAX_MESSAGE + 1, 'z')), std::string::npos);
}

TEST_F(LibTraceTest, RawLinesGoThroughUnchanged) {
    start("OSTRELAGENT", 1);
    T::write_to_trace_file("platform message\n");
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], "platform message\n");
}

// Needs a process in which no trace file was ever set up.
TEST(LibTraceFreshProcess, LinesBeforeSetupAreDroppedAndTheNextOneOpensTheFile) {
    lib_test::TempHome home;
    const std::string dir = home.path() + "/ostrelagent_trace";
    // The body runs in a new process of its own; its exit code names the
    // first check that failed.
    auto body = [&]() -> int {
        T::set_trace("OSTRELAGENT", 3);
        {
            T early(T::OSTRELAGENT, "Cls", "early");
            early.writeTrace(T::TRACE_LEVEL_1, "lost");
        }
        T::setup_trace_file("u", 99);
        // The directory is made, the file not yet.
        if (!lib_test::exists(dir) || !lib_test::list_dir(dir).empty()) return 2;
        {
            T later(T::OSTRELAGENT, "Cls", "later");
        }
        std::vector<std::string> names = lib_test::list_dir(dir);
        if (names.size() != 1) return 3;
        std::string text = lib_test::read_file(dir + "/" + names[0]);
        if (text.find("lost") != std::string::npos || text.find("early") != std::string::npos) {
            return 4;
        }
        if (lib_test::split_lines(text).size() != 2) return 5;
        return 0;
    };
    lib_test::expect_in_fresh_process(home, body);
}

TEST_F(LibTraceTest, ConcurrentWritersProduceWholeLines) {
    start("OSTRELAGENT", 5);
    const int kThreads = 8;
    const int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            T tracer(T::OSTRELAGENT, "Worker", "run");
            // Lines of different lengths, so that a torn write would show.
            const std::string pad(static_cast<size_t>(t) * 97 + 1, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                tracer.writeTrace(T::TRACE_LEVEL_2, "t%d i%d %s end", t, i, pad.c_str());
            }
        });
    }
    for (auto& th : threads) th.join();

    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), static_cast<size_t>(kThreads * (kLines + 2)));
    std::vector<int> next(kThreads, 0);
    const std::string shape = std::string(kStamp) + "::TRACE::OSTRELAGENT::Worker::run::" +
                              std::to_string(getpid()) + "::[0-9a-f]+::(.*)\n";
    const std::string message = "t([0-9]+) i([0-9]+) ([a-z]+) end";
    for (const auto& line : got) {
        std::vector<std::string> m;
        ASSERT_TRUE(lib_test::re_match(line, shape, &m)) << line;
        std::string text = m[0];
        if (text == "Entering" || text == "Exiting") continue;
        std::vector<std::string> mm;
        ASSERT_TRUE(lib_test::re_match(text, message, &mm)) << text;
        int t = std::stoi(mm[0]);
        int i = std::stoi(mm[1]);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(i, next[t]) << "lines of one thread stay in order";
        next[t] = i + 1;
        EXPECT_EQ(mm[2], std::string(static_cast<size_t>(t) * 97 + 1, static_cast<char>('a' + t)));
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines);
}

} // namespace
