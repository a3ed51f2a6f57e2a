// The update log: its name (and the names of logs begun in the same second),
// the directory made at the first record, the exact layout of the action
// lines, the head and tail blocks of updates and restores, line breaks in
// server texts, and whole records from concurrent writers of one file. The
// reader of tests/lib/fetch/update_log_reader.h is checked along the way.

#include "lib/core/ostrelagent_log_update.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/fetch/update_log_reader.h"
#include "lib/lib_test_support.h"
#include "platform/utl/date.h"
#include "platform/utl/sysutl.h"

namespace {

using Log = OstrelAgent_Log_Update;
using Util = OstrelAgent_Util;

const char* const kToken = "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{6}";

// A label as the log writes it: padded to 24 characters and one blank.
std::string label(const std::string& text) {
    return text + std::string(text.size() < 24 ? 24 - text.size() : 0, ' ') + " ";
}

class UpdateLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        view_ = home_.path() + "/view.stg";
        ASSERT_EQ(::mkdir(view_.c_str(), 0700), 0);
        saved_settings_ = OstrelAgent_Server::get_settings();
        saved_url_ = OstrelAgent_Server::g_server_url;
    }
    void TearDown() override {
        OstrelAgent_Server::set_settings(saved_settings_);
        OstrelAgent_Server::g_server_url = saved_url_;
    }

    std::string log_dir() const { return view_ + "/log"; }

    // Replaces the value of the time line `name` by "<time>" once it is
    // checked to be a time token.
    static std::string mask_time(const std::string& text, const std::string& name) {
        std::string out;
        for (const std::string& line : lib_test::split_lines(text)) {
            if (line.compare(0, name.size(), name) == 0) {
                EXPECT_TRUE(lib_test::re_match(line, label(name) + kToken + "\n")) << line;
                out += label(name) + "<time>\n";
            } else {
                out += line;
            }
        }
        return out;
    }

    static std::string client_user() {
        return Util::process_qualified_user() + "@" + sysutl_myhostname();
    }

    lib_test::TempHome home_;
    std::string view_;
    OstrelAgent_Server::Session_Settings saved_settings_;
    std::string saved_url_;
};

TEST_F(UpdateLogTest, NamedByTimeNothingMadeBeforeTheFirstRecord) {
    Log log(view_);
    std::vector<std::string> groups;
    ASSERT_TRUE(lib_test::re_match(log.log_path(), log_dir() + "/update[.](" + kToken + ")[.]updt",
                                   &groups))
        << log.log_path();
    EXPECT_FALSE(lib_test::exists(log_dir()));

    log.log_unload("/vobs/a/gone");
    struct stat st;
    ASSERT_EQ(::stat(log_dir().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(lib_test::read_file(log.log_path()), label("UnloadDeleted:") + "/vobs/a/gone\n");

    // The asynchronous copy of an update goes on in the same file.
    Log copy(log);
    EXPECT_EQ(copy.log_path(), log.log_path());
    copy.log_unload("/vobs/a/also");
    EXPECT_EQ(update_log::read(log.log_path()).actions.size(), 2u);
}

TEST_F(UpdateLogTest, NamesOfOneSecondAreNumbered) {
    // Two logs begun in one second: the second is numbered. (A second may
    // pass between them: then try again.)
    // A storage of its own for each try, so that no earlier name is taken.
    std::string first;
    std::string second;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::string storage = home_.path() + "/try" + std::to_string(attempt);
        Log a(storage);
        Log b(storage);
        first = a.log_path();
        second = b.log_path();
        if (first.substr(0, first.size() - 5) + "-2.updt" == second) break;
    }
    const std::string stem = first.substr(0, first.size() - 5);
    EXPECT_TRUE(lib_test::re_match(first, ".*/update[.]" + std::string(kToken) + "[.]updt")) << first;
    EXPECT_EQ(second, stem + "-2.updt");

    // Names already on disk (from an earlier process) are passed over too:
    // lay them out for this second and the next two, whichever the log gets.
    ASSERT_EQ(::mkdir(log_dir().c_str(), 0700), 0);
    const std::time_t now = std::time(nullptr);
    for (int ahead = 0; ahead < 3; ++ahead) {
        char token[DATE_TOKEN_SIZE];
        ASSERT_NE(date_fmt_token_date_time_pname(now + ahead, token, sizeof token), nullptr);
        const std::string base = log_dir() + "/update." + token;
        lib_test::write_file(base + ".updt", "old\n");
        lib_test::write_file(base + "-2.updt", "old\n");
    }
    Log third(view_);
    EXPECT_TRUE(
        lib_test::re_match(third.log_path(), log_dir() + "/update[.]" + kToken + "-3[.]updt"))
        << third.log_path();
    third.log_error("new");
    EXPECT_EQ(lib_test::read_file(third.log_path()), label("Error:") + "\"new\"\n");
}

TEST_F(UpdateLogTest, ActionLines) {
    using T = Util::HijackTreatment;
    const T keep = Util::HIJACK_KEEP;
    const T overwrite = Util::HIJACK_OVERWRITE;
    const T rename = Util::HIJACK_RENAME;
    const T unknown = static_cast<T>(7);
    struct Case {
        std::function<void(Log&)> call;
        std::string line; // empty: nothing written
    } cases[] = {
        // A regular file's line ends with an empty field, a link's with SYMLINK.
        {[](Log& l) { l.log_load("/vobs/a/f.c", "/main/3", 0); },
         "New:                     /vobs/a/f.c /main/3 \n"},
        {[](Log& l) { l.log_load("/vobs/a/ln", "/main/1", 1); },
         label("New:") + "/vobs/a/ln /main/1 SYMLINK\n"},
        // Versions with a blank or a tab are quoted; paths never are.
        {[](Log& l) { l.log_load("/vobs/a/my file", "/main/rel 1/2", 0); },
         label("New:") + "/vobs/a/my file \"/main/rel 1/2\" \n"},
        {[](Log& l) { l.log_update("/vobs/a/f.c", "/main/3", "/main/br\tx/1", 0); },
         label("Updated:") + "/vobs/a/f.c /main/3 \"/main/br\tx/1\" \n"},
        {[](Log& l) { l.log_update("/vobs/a/ln", "/main/a b/1", "/main/2", 1); },
         label("Updated:") + "/vobs/a/ln \"/main/a b/1\" /main/2 SYMLINK\n"},
        {[](Log& l) { l.log_unload("/vobs/a/old"); }, label("UnloadDeleted:") + "/vobs/a/old\n"},
        {[=](Log& l) { l.log_hijack_update(keep, "/vobs/a/h", "/main/1", "/main/2", 0, "x"); },
         label("HijackedPreserved:") + "/vobs/a/h /main/1 /main/2 \n"},
        {[=](Log& l) { l.log_hijack_update(overwrite, "/vobs/a/h", "/main/1", "/m 2", 1, "x"); },
         label("HijackedDeleted:") + "/vobs/a/h /main/1 \"/m 2\" SYMLINK\n"},
        {[=](Log& l) {
             l.log_hijack_update(rename, "/vobs/a/h", "/main/1", "/main/2", 0, "/vobs/a/h.hijacked");
         },
         label("HijackedRenamed:") + "/vobs/a/h /main/1 /main/2 /vobs/a/h.hijacked \n"},
        {[=](Log& l) { l.log_hijack_update(unknown, "/vobs/a/h", "/main/1", "/main/2", 0, "x"); },
         ""},
        {[=](Log& l) { l.log_hijack_unload(keep, "/vobs/a/u", "x"); },
         label("UnloadPreserved:") + "/vobs/a/u\n"},
        {[=](Log& l) { l.log_hijack_unload(overwrite, "/vobs/a/u", "x"); },
         label("UnloadDeleted:") + "/vobs/a/u\n"},
        {[=](Log& l) { l.log_hijack_unload(rename, "/vobs/a/u", "/vobs/a/u.keep"); },
         label("UnloadRenamed:") + "/vobs/a/u /vobs/a/u.keep\n"},
        {[=](Log& l) { l.log_hijack_unload(unknown, "/vobs/a/u", "x"); }, ""},
        {[=](Log& l) { l.log_hijack_sweep(keep, "/vobs/a/s", "x"); }, ""},
        {[=](Log& l) { l.log_hijack_sweep(overwrite, "/vobs/a/s", "x"); },
         label("HijackedDeleted:") + "/vobs/a/s\n"},
        {[=](Log& l) { l.log_hijack_sweep(rename, "/vobs/a/s", "/vobs/a/s.keep"); },
         label("HijackedRenamed:") + "/vobs/a/s /vobs/a/s.keep\n"},
        // Texts of the server may hold line breaks: they never split a line
        // nor start one of their own (such as a forged "Status:").
        {[](Log& l) { l.log_error("Unable to fetch /vobs/a/x.\n"); },
         label("Error:") + "\"Unable to fetch /vobs/a/x.\\n\"\n"},
        {[](Log& l) { l.log_load("/vobs/a/x\nStatus:                  Succeeded", "/main/1\r", 0); },
         label("New:") + "/vobs/a/x\\nStatus:                  Succeeded /main/1\\r \n"},
        {[](Log& l) { l.log_update("/vobs/a/y\r\n", "/main/1", "/main/\n2", 0); },
         label("Updated:") + "/vobs/a/y\\r\\n /main/1 /main/\\n2 \n"},
    };
    Log log(view_);
    std::string all;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const std::string before =
            lib_test::exists(log.log_path()) ? lib_test::read_file(log.log_path()) : "";
        c.call(log);
        const std::string after =
            lib_test::exists(log.log_path()) ? lib_test::read_file(log.log_path()) : "";
        EXPECT_EQ(after, before + c.line);
        all += c.line;
    }

    // The reader sees each line as one action, in order, with its fields.
    const update_log::Log read = update_log::read(log.log_path());
    EXPECT_TRUE(read.malformed.empty());
    EXPECT_TRUE(read.head.empty());
    EXPECT_TRUE(read.tail.empty());
    ASSERT_EQ(read.actions.size(), 17u);
    EXPECT_EQ(read.actions[0].label, "New");
    EXPECT_EQ(read.actions[0].fields, (std::vector<std::string>{"/vobs/a/f.c", "/main/3", ""}));
    EXPECT_EQ(read.actions[4].fields,
              (std::vector<std::string>{"/vobs/a/ln", "/main/a b/1", "/main/2", "SYMLINK"}));
    EXPECT_EQ(read.actions[8].label, "HijackedRenamed");
    EXPECT_EQ(read.actions[14].label, "Error");
    EXPECT_EQ(read.actions[14].fields,
              (std::vector<std::string>{"Unable to fetch /vobs/a/x.\\n"}));
    EXPECT_EQ(read.actions[15].value, "/vobs/a/x\\nStatus:                  Succeeded /main/1\\r ");
}

TEST_F(UpdateLogTest, RecordsFromFormatsAndCatalogs) {
    Log log(view_);
    log.write_log(OSTRELAGENT_LOG_WARN, "%s %d\n", "count", 3);
    log.write_log(OSTRELAGENT_LOG_ERROR, &_ostrela_lib_lib_msg_table,
                  OstrelAgent_Lib_Msg::CLTXT_FETCH_FAILED, "/vobs/a/f");
    log.write_log(OSTRELAGENT_LOG_INFO, std::string("as it is"));
    EXPECT_EQ(lib_test::read_file(log.log_path()),
              "count 3\nError fetching cleartext for \"/vobs/a/f\".\nas it is");
}

TEST_F(UpdateLogTest, UpdateHead) {
    OstrelAgent_Server::Session_Settings settings;
    settings.username = "ann";
    settings.domain = "lab";
    OstrelAgent_Server::set_settings(settings);
    OstrelAgent_Server::g_server_url = "https://fetch.example.invalid:9443/ostrel/ostrel";

    Log log(view_);
    Log::Update_Options options;
    options.preserve_vob_times = true;
    options.hijack_treatment = Util::HIJACK_RENAME;
    options.resume = true;
    const std::string head = log.update_head(options);
    const std::string want =
        "#\n"
        "#Update log for Norvane automatic view\n"
        "#Update session parameters:\n"
        "#\n"
        "FormatVersion:           5\n"
        "AutomaticView:           " + view_ + "\n"
        "StartTime:               <time>\n"
        "ClientUserID:            " + client_user() + "\n"
        "ServerUserID:            lab/ann\n"
        "Server:                  fetch.example.invalid:9443\n"
        "ProcessID:               " + std::to_string(getpid()) + "\n"
        "PreviewOnly:             FALSE\n"
        "PreserveVOBTimes:        TRUE\n"
        "UpdateHijackedFiles:     TRUE\n"
        "RenameHijackedFiles:     TRUE\n"
        "ForceUpdateAllLoadRules: FALSE\n"
        "Resume:                  TRUE\n"
        "UpdateOnDemandScope:     FALSE\n"
        "#\n"
        "#Actions taken to update the view:\n"
        "#\n";
    EXPECT_EQ(mask_time(head, "StartTime:"), want);

    // The flags one by one, and a server login without a domain.
    settings.domain.clear();
    OstrelAgent_Server::set_settings(settings);
    const struct {
        Util::HijackTreatment treatment;
        bool force;
        bool on_demand;
        const char* update_hijacked;
        const char* rename_hijacked;
    } rows[] = {
        {Util::HIJACK_KEEP, true, false, "FALSE", "FALSE"},
        {Util::HIJACK_OVERWRITE, false, true, "TRUE", "FALSE"},
    };
    for (const auto& row : rows) {
        Log::Update_Options o;
        o.hijack_treatment = row.treatment;
        o.force_all_load_rules = row.force;
        o.on_demand_scope = row.on_demand;
        const update_log::Log read = update_log::parse(log.update_head(o));
        EXPECT_TRUE(read.malformed.empty());
        EXPECT_EQ(read.head_value("ServerUserID"), "ann");
        EXPECT_EQ(read.head_value("PreserveVOBTimes"), "FALSE");
        EXPECT_EQ(read.head_value("UpdateHijackedFiles"), row.update_hijacked);
        EXPECT_EQ(read.head_value("RenameHijackedFiles"), row.rename_hijacked);
        EXPECT_EQ(read.head_value("ForceUpdateAllLoadRules"), row.force ? "TRUE" : "FALSE");
        EXPECT_EQ(read.head_value("UpdateOnDemandScope"), row.on_demand ? "TRUE" : "FALSE");
        EXPECT_EQ(read.head_value("Resume"), "FALSE");
    }
}

TEST_F(UpdateLogTest, RestoreHead) {
    OstrelAgent_Server::Session_Settings settings;
    settings.username = "bo";
    OstrelAgent_Server::set_settings(settings);
    OstrelAgent_Server::g_server_url = "https://fetch.example.invalid/ostrel";

    Log log(view_);
    Log::Restore_Options options;
    options.hijack_treatment = Util::HIJACK_OVERWRITE;
    options.view_root = "/view/v1";
    options.server_is_master = false;
    const std::string want =
        "#\n"
        "#Restore log for Norvane automatic view\n"
        "#\n"
        "FormatVersion:           5\n"
        "AutomaticView:           " + view_ + "\n"
        "StartTime:               <time>\n"
        "ClientUserID:            " + client_user() + "\n"
        "ServerUserID:            bo\n"
        "Server:                  fetch.example.invalid\n"
        "ProcessID:               " + std::to_string(getpid()) + "\n"
        "PreserveVOBTimes:        FALSE\n"
        "UpdateHijackedFiles:     TRUE\n"
        "RenameHijackedFiles:     FALSE\n"
        "RestorePath:             /view/v1\n"
        "RestoreMaster:           client\n"
        "#\n";
    EXPECT_EQ(mask_time(log.restore_head(options), "StartTime:"), want);

    // Paths given: one line each, and no view root.
    options.paths = {"/vobs/a/x", "/vobs/a/dir with blank"};
    options.server_is_master = true;
    const update_log::Log read = update_log::parse(log.restore_head(options));
    EXPECT_EQ(read.head.at("RestorePath"), options.paths);
    EXPECT_EQ(read.head_value("RestoreMaster"), "server");
}

TEST_F(UpdateLogTest, Tails) {
    const struct {
        bool restore;
        int status;
        std::string message;
        bool cancelled;
        std::string want;
    } rows[] = {
        {false, 0, "", false,
         "#\n#Update session status:\n#\n"
         "EndTime:                 <time>\n"
         "Status:                  Succeeded\n"
         "Cancelled:               FALSE\n"},
        // One line for each non-empty line of the message.
        {false, 20048, "Unable to reach the server.\n\nThe update stopped.\n", true,
         "#\n#Update session status:\n#\n"
         "EndTime:                 <time>\n"
         "Status:                  Failed\n"
         "ErrorStatus:             20048\n"
         "ErrorMessage:            Unable to reach the server.\n"
         "ErrorMessage:            The update stopped.\n"
         "Cancelled:               TRUE\n"},
        {true, 0, "", false,
         "#\n#Restore status\n#\n"
         "EndTime:                 <time>\n"
         "Status:                  Succeeded\n"},
        {true, 20001, "bad\r\nStatus: Succeeded", false,
         "#\n#Restore status\n#\n"
         "EndTime:                 <time>\n"
         "Status:                  Failed\n"
         "ErrorStatus:             20001\n"
         "ErrorMessage:            bad\\r\n"
         "ErrorMessage:            Status: Succeeded\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.want);
        const std::string tail = row.restore ? Log::restore_tail(row.status, row.message)
                                             : Log::update_tail(row.status, row.message,
                                                                row.cancelled);
        EXPECT_EQ(mask_time(tail, "EndTime:"), row.want);
    }
}

TEST_F(UpdateLogTest, WholeLogReadBack) {
    OstrelAgent_Server::set_settings(OstrelAgent_Server::Session_Settings());
    Log log(view_);
    log.write_log(OSTRELAGENT_LOG_INFO, log.update_head(Log::Update_Options()));
    log.log_load("/vobs/a/f", "/main/1", 0);
    log.log_update("/vobs/a/g\nStatus:                  Succeeded", "/main/1", "/main/2", 0);
    log.log_error("fetch of /vobs/a/f failed");
    log.write_log(OSTRELAGENT_LOG_INFO, Log::update_tail(20049, "server failure", false));

    const update_log::Log read = update_log::read(log.log_path());
    EXPECT_TRUE(read.malformed.empty());
    EXPECT_EQ(read.titles,
              (std::vector<std::string>{"Update log for Norvane automatic view",
                                        "Update session parameters:",
                                        "Actions taken to update the view:",
                                        "Update session status:"}));
    EXPECT_EQ(read.head_value("FormatVersion"), "5");
    EXPECT_EQ(read.head_value("AutomaticView"), view_);
    EXPECT_EQ(read.head.size(), 14u);
    ASSERT_EQ(read.actions.size(), 3u);
    EXPECT_EQ(read.actions[0].label, "New");
    EXPECT_EQ(read.actions[1].label, "Updated");
    EXPECT_EQ(read.actions[2].fields, std::vector<std::string>{"fetch of /vobs/a/f failed"});
    // The forged line inside the path stayed in its action line.
    EXPECT_EQ(read.tail.count("Status"), 1u);
    EXPECT_EQ(read.tail_value("Status"), "Failed");
    EXPECT_EQ(read.tail_value("ErrorStatus"), "20049");
    EXPECT_EQ(read.tail_value("ErrorMessage"), "server failure");
    EXPECT_EQ(read.tail_value("Cancelled"), "FALSE");
}

TEST_F(UpdateLogTest, UnwritableLogLosesRecordsQuietly) {
    // No view storage: nothing is made.
    const std::string gone = home_.path() + "/no-such-view";
    Log missing(gone);
    missing.log_unload("/vobs/a/f");
    EXPECT_FALSE(lib_test::exists(gone));

    // The log directory is a file: the record is lost, the caller goes on,
    // and records reach the file once it can be written again.
    lib_test::write_file(log_dir(), "not a directory");
    Log log(view_);
    log.log_unload("/vobs/a/lost");
    ASSERT_EQ(::unlink(log_dir().c_str()), 0);
    log.log_unload("/vobs/a/kept");
    EXPECT_EQ(lib_test::read_file(log.log_path()), label("UnloadDeleted:") + "/vobs/a/kept\n");
}

TEST_F(UpdateLogTest, MovedOrRemovedLogKeepsLaterRecords) {
    // The log keeps its descriptor between records: a moved file goes on
    // receiving them, a removed one is made again rather than written into
    // the void.
    Log log(view_);
    log.log_unload("/vobs/a/first");
    const std::string moved = log.log_path() + ".moved";
    ASSERT_EQ(::rename(log.log_path().c_str(), moved.c_str()), 0);
    log.log_unload("/vobs/a/second");
    EXPECT_EQ(lib_test::read_file(moved),
              label("UnloadDeleted:") + "/vobs/a/first\n" + label("UnloadDeleted:") + "/vobs/a/second\n");
    ASSERT_EQ(::unlink(moved.c_str()), 0);
    log.log_unload("/vobs/a/third");
    EXPECT_EQ(lib_test::read_file(log.log_path()), label("UnloadDeleted:") + "/vobs/a/third\n");
}

// Held records of one thread reach the file together when the hold ends
// (or once they pass the limit), in order; another thread's, and another
// log's, go out at once.
TEST_F(UpdateLogTest, HeldRecordsGoOutTogetherWhenTheHoldEnds) {
    Log log(view_);
    Log other(view_);
    log.log_unload("/vobs/a/before");
    {
        Log::Held held(&log);
        log.log_load("/vobs/a/f", "/main/1", 0);
        log.log_unload("/vobs/a/g");
        other.log_unload("/vobs/a/other");
        std::thread([&] { log.log_unload("/vobs/a/elsewhere"); }).join();
        EXPECT_EQ(lib_test::read_file(log.log_path()),
                  label("UnloadDeleted:") + "/vobs/a/before\n" + label("UnloadDeleted:") + "/vobs/a/elsewhere\n");
        EXPECT_EQ(lib_test::read_file(other.log_path()), label("UnloadDeleted:") + "/vobs/a/other\n");
    }
    EXPECT_EQ(lib_test::read_file(log.log_path()),
              label("UnloadDeleted:") + "/vobs/a/before\n" + label("UnloadDeleted:") + "/vobs/a/elsewhere\n" +
                  label("New:") + "/vobs/a/f /main/1 \n" + label("UnloadDeleted:") + "/vobs/a/g\n");
    // Past the limit they go out before the hold ends, whole.
    const std::string long_path = "/vobs/a/" + std::string(1000, 'p');
    size_t held_lines = 0;
    {
        Log::Held held(&log);
        while (update_log::read(log.log_path()).actions.size() == 4) {
            log.log_unload(long_path);
            ASSERT_LT(++held_lines * long_path.size(), 2 * Log::Held::HELD_LIMIT);
        }
    }
    const update_log::Log read = update_log::read(log.log_path());
    EXPECT_TRUE(read.malformed.empty());
    EXPECT_EQ(4 + held_lines, read.actions.size());
    EXPECT_GT(held_lines * long_path.size(), Log::Held::HELD_LIMIT / 2);
}

TEST_F(UpdateLogTest, ConcurrentWritersNeverMixRecords) {
    // The update thread, pool threads and the asynchronous copy write one
    // file at once; records of very different sizes (some far above a pipe
    // buffer) come out whole.
    Log original(view_);
    Log copy(original);
    constexpr int kThreads = 6;
    constexpr int kRecords = 150;
    auto record = [](int t, int i) {
        const std::string body(static_cast<size_t>((t * 7919 + i * 104729) % 20000),
                               static_cast<char>('a' + t));
        return "t" + std::to_string(t) + " i" + std::to_string(i) + " " + body;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Log& log = t % 2 == 0 ? original : copy;
            for (int i = 0; i < kRecords; ++i) {
                if (i % 3 == 0) {
                    log.log_error(record(t, i));
                } else {
                    log.write_log(OSTRELAGENT_LOG_INFO, label("Error:") + "\"" + record(t, i) + "\"\n");
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    const update_log::Log read = update_log::read(original.log_path());
    EXPECT_TRUE(read.malformed.empty());
    ASSERT_EQ(read.actions.size(), static_cast<size_t>(kThreads * kRecords));
    std::vector<int> next(kThreads, 0); // each thread's records stay in its order
    for (const update_log::Line& line : read.actions) {
        ASSERT_EQ(line.fields.size(), 1u) << line.value.substr(0, 80);
        const std::string& text = line.fields[0];
        ASSERT_GE(text.size(), 4u);
        const int t = text[1] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << text.substr(0, 80);
        EXPECT_EQ(text, record(t, next[t])) << text.substr(0, 80);
        ++next[t];
    }
}

} // namespace
