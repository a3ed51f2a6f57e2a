#include "platform/imsg/imsg.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

const char* const kTexts[] = {
    "Using view \"%s\", on host \"%s\".\n",
    nullptr,  // a position with no text
    "%s",
    "Exiting, status = %d.\n",
};
const unsigned short kNumbers[] = {1, 2, 3, 5};
const _imsg_message_table_t kCatalog = {"bin_test", "test_bin", 1, 4, kTexts, kNumbers};

int vsn(char* buf, size_t size, const void* catalog, int index, ...) {
    va_list args;
    va_start(args, index);
    int n = imsg_vsnprintf(buf, size, catalog, index, args);
    va_end(args);
    return n;
}

int vs(char* buf, const void* catalog, int index, ...) {
    va_list args;
    va_start(args, index);
    int n = imsg_vsprintf(buf, catalog, index, args);
    va_end(args);
    return n;
}

TEST(ImsgFormat, AddressesByPositionAndRefusesWhatItCannotLoad) {
    char buf[64];
    EXPECT_EQ(vsn(buf, sizeof buf, &kCatalog, 3, 2), 21);
    EXPECT_STREQ(buf, "Exiting, status = 2.\n") << "position 3, not message number 3";

    for (int index : {4, 100, -1, 1}) {
        std::strcpy(buf, "stale");
        EXPECT_LT(vsn(buf, sizeof buf, &kCatalog, index, 2), 0) << index;
        EXPECT_STREQ(buf, "") << index;
    }
    EXPECT_LT(vsn(buf, sizeof buf, nullptr, 0), 0);
}

TEST(ImsgFormat, CutsLongTextsAndReportsTheFullLength) {
    char buf[16];
    std::memset(buf, 'X', sizeof buf);
    int n = vsn(buf, 10, &kCatalog, 0, "storage", "host");
    EXPECT_EQ(n, static_cast<int>(std::strlen("Using view \"storage\", on host \"host\".\n")));
    EXPECT_STREQ(buf, "Using vie");
    EXPECT_EQ(buf[10], 'X') << "wrote past the limit";

    EXPECT_EQ(vsn(buf, 6, &kCatalog, 2, "abcde"), 5) << "an exact fit";
    EXPECT_STREQ(buf, "abcde");
}

TEST(ImsgFormat, UnsizedFormsStopAtTheDocumentedBound) {
    std::string huge(IMSG_MAX_TEXT + 500, 'h');
    std::vector<char> buf(IMSG_MAX_TEXT + 64, 'G');
    int n = vs(buf.data(), &kCatalog, 2, huge.c_str());
    EXPECT_EQ(n, static_cast<int>(huge.size()));
    EXPECT_EQ(std::strlen(buf.data()), IMSG_MAX_TEXT - 1);
    for (size_t i = IMSG_MAX_TEXT; i < buf.size(); ++i) ASSERT_EQ(buf[i], 'G') << "overrun at " << i;

    std::fill(buf.begin(), buf.end(), 'G');
    n = imsg_sprintf(buf.data(), "%s!", -1, huge.c_str());
    EXPECT_EQ(n, static_cast<int>(huge.size()) + 1);
    EXPECT_EQ(std::strlen(buf.data()), IMSG_MAX_TEXT - 1);
    EXPECT_EQ(buf[IMSG_MAX_TEXT], 'G');

    char line[128];
    EXPECT_EQ(imsg_sprintf(line, "%-*s %s (%s)\n", -1, 12, "qel", "1.0", "today"), 25);
    EXPECT_STREQ(line, "qel          1.0 (today)\n");
    EXPECT_EQ(imsg_sprintf(line, &kCatalog, 3, 7), 21);
    EXPECT_STREQ(line, "Exiting, status = 7.\n");
}

// Records what each slot of the redirection table receives.
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> lines;
};

template <int Slot>
void record(void* context, const char* text) {
    auto* recorder = static_cast<Recorder*>(context);
    std::lock_guard<std::mutex> lock(recorder->mutex);
    recorder->lines.push_back(std::to_string(Slot) + ":" + text);
}

const imsg_proc_t kRecordingTable[IMSG_NUM_KINDS] = {
    record<0>, record<1>, record<2>, record<3>, record<4>, record<5>,
    record<6>, record<7>, record<8>, record<9>, record<10>,
};

class ImsgRedirect : public ::testing::Test {
protected:
    void TearDown() override { imsg_set_redirect_procs(nullptr, 0, nullptr); }
};

TEST_F(ImsgRedirect, EachKindReachesItsSlotWithTheContext) {
    Recorder recorder;
    ASSERT_EQ(imsg_set_redirect_procs(kRecordingTable, IMSG_NUM_KINDS, &recorder), 0);
    for (int kind = 0; kind < IMSG_NUM_KINDS; ++kind) {
        EXPECT_EQ(imsg_print(kind, "kind %d\n", -1, kind), 7 + (kind >= 10 ? 1 : 0));
    }
    EXPECT_EQ(imsg_print(6, &kCatalog, 3, 4), 21);
    ASSERT_EQ(recorder.lines.size(), 12u);
    for (int kind = 0; kind < IMSG_NUM_KINDS; ++kind) {
        EXPECT_EQ(recorder.lines[static_cast<size_t>(kind)],
                  std::to_string(kind) + ":kind " + std::to_string(kind) + "\n");
    }
    EXPECT_EQ(recorder.lines[11], "6:Exiting, status = 4.\n");

    EXPECT_EQ(imsg_print(11, "x", -1), -1);
    EXPECT_EQ(imsg_print(-1, "x", -1), -1);
    EXPECT_EQ(recorder.lines.size(), 12u);

    // An unloadable position is reported in the same slot, not lost.
    EXPECT_EQ(imsg_print(4, &kCatalog, 9), -1);
    ASSERT_EQ(recorder.lines.size(), 13u);
    EXPECT_EQ(recorder.lines[12].rfind("4:Internal error: could not load message 9", 0), 0u)
        << recorder.lines[12];

    // A long text is delivered whole.
    std::string long_text(5000, 'w');
    EXPECT_EQ(imsg_print(0, &kCatalog, 2, long_text.c_str()), 5000);
    EXPECT_EQ(recorder.lines.back(), "0:" + long_text);

    EXPECT_EQ(imsg_set_redirect_procs(kRecordingTable, 12, &recorder), -1);
}

TEST_F(ImsgRedirect, DefaultSendsInformationToStandardOutputAndTheRestToStandardError) {
    Recorder recorder;
    char out_path[] = "/tmp/imsg-out-XXXXXX";
    char err_path[] = "/tmp/imsg-err-XXXXXX";
    int out = mkstemp(out_path);
    int err = mkstemp(err_path);
    ASSERT_GE(out, 0);
    ASSERT_GE(err, 0);
    fflush(stdout);
    int saved_out = dup(1);
    int saved_err = dup(2);
    dup2(out, 1);
    dup2(err, 2);

    imsg_print(0, "before any table\n", -1);
    imsg_set_redirect_procs(kRecordingTable, 4, &recorder);  // slots 0-3 only
    imsg_print(1, "recorded\n", -1);
    imsg_print(6, "error to stderr\n", -1);
    imsg_print(10, "appended detail is dropped\n", -1);
    imsg_set_redirect_procs(nullptr, 0, nullptr);
    imsg_print(8, "default again\n", -1);

    fflush(stdout);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    close(out);
    close(err);
    auto slurp = [](const char* path) {
        std::ifstream in(path);
        std::ostringstream text;
        text << in.rdbuf();
        unlink(path);
        return text.str();
    };
    EXPECT_EQ(slurp(out_path), "before any table\n");
    EXPECT_EQ(slurp(err_path), "error to stderr\ndefault again\n");
    ASSERT_EQ(recorder.lines.size(), 1u);
    EXPECT_EQ(recorder.lines[0], "1:recorded\n");
}

TEST_F(ImsgRedirect, PrintingWhileTheTableChangesIsSafe) {
    Recorder a;
    Recorder b;
    std::atomic<bool> stop{false};
    std::vector<std::thread> printers;
    for (int t = 0; t < 4; ++t) {
        printers.emplace_back([&stop, t] {
            while (!stop.load()) imsg_print(t % 4, "line %d\n", -1, t);
        });
    }
    for (int i = 0; i < 200; ++i) {
        imsg_set_redirect_procs(kRecordingTable, IMSG_NUM_KINDS, (i % 2) != 0 ? &a : &b);
    }
    stop = true;
    for (std::thread& t : printers) t.join();
    imsg_set_redirect_procs(nullptr, 0, nullptr);
    for (Recorder* r : {&a, &b}) {
        for (const std::string& line : r->lines) {
            ASSERT_EQ(line.size(), 9u) << line;  // "<slot>:line <t>\n", whole
        }
    }
}

TEST(ImsgStrerror, GivesTheSystemText) {
    EXPECT_STREQ(imsg_strerror(ENOENT), "No such file or directory");
    std::string other;
    std::thread([&other] { other = imsg_strerror(EACCES); }).join();
    EXPECT_EQ(other, "Permission denied");
    EXPECT_NE(std::string(imsg_strerror(99999)), "");
}

TEST(ImsgTrace, SelectsListedSubsystemsUpToTheVerbosity) {
    imsg_set_trace_subsys("OSTRELAGENT:rclient");
    imsg_set_trace_verbosity(3);
    EXPECT_EQ(imsg_get_desired_verbosity(), 3);
    struct Case {
        const char* subsys;
        int level;
        int verbosity;
        int expected;
    };
    const Case cases[] = {
        {"OSTRELAGENT", 3, 3, 1}, {"RCLIENT", 1, 3, 1},    {"ostrelagent", 2, 5, 1},
        {"OSTRELAGENT", 4, 3, 0}, {"OSTRELAGENT_DB", 1, 5, 0}, {"OSTREL", 1, 5, 0},
        {"", 1, 5, 0},            {nullptr, 1, 5, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(imsg_should_trace(c.subsys, c.level, c.verbosity), c.expected)
            << (c.subsys != nullptr ? c.subsys : "(null)") << " level " << c.level;
    }
    imsg_set_trace_subsys("::A::B:");
    EXPECT_EQ(imsg_should_trace("B", 0, 0), 1);
    EXPECT_EQ(imsg_should_trace("", 0, 0), 0) << "empty names select nothing";
    imsg_set_trace_subsys(nullptr);
    EXPECT_EQ(imsg_should_trace("A", 0, 5), 0);
    imsg_set_trace_verbosity(0);
}

}  // namespace
