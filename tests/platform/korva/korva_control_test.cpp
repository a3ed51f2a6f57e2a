#include <gtest/gtest.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "korva_test_support.h"
#include "lib/thread_test_support.h"
#include "platform/korva/korva.h"
#include "platform/korva/korva_control.h"
#include "platform/korva/korva_frontend.h"
#include "xdr/ostrelxdr_view.h"

using korva_test::idText;
using Lines = std::vector<std::vector<std::string>>;

namespace {

class KorvaControlTest : public korva_test::KorvaRootTest {
 protected:
  korva::Control control() const { return korva::Control(korva::Root(root_)); }
  Lines journal() const { return control().journal().read(); }
  std::string viewRootDir(const std::string& tag) const { return root_ + "/view/" + tag; }
};

}  // namespace

TEST_F(KorvaControlTest, JournalRecordsEveryCallInOrderWithItsArguments) {
  EXPECT_EQ(0, korva_test::registerView("v1", 0x11, "/stg/v1").status);
  EXPECT_EQ(0, korva_test::mountVob("v1", "/vobs/src", "/vobstore/src.vbs", 0x22, 0x33).status);
  EXPECT_EQ(0, korva_test::invalidate(viewRootDir("v1"), 5, 0x22, 0x44, nullptr, 66).status);
  EXPECT_EQ(0, korva_test::invalidate(viewRootDir("v1"), 1, 0x22, 0x55, "my file.c", 0).status);
  EXPECT_EQ(0, korva_test::invalidate(viewRootDir("v1"), 3, 0, 0, nullptr, 0).status);
  EXPECT_EQ(0, korva_test::umountVob("v1", "/vobs/src", 0x22).status);
  EXPECT_EQ(0, korva_test::unregisterView("v1").status);

  Lines expected = {
      {"register_view", "v1", idText(0x11), "/stg/v1"},
      {"mount_vob", "/vobs/src", "/vobstore/src.vbs", idText(0x22), idText(0x33)},
      {"inval_obj", idText(0x22), idText(0x44), "66"},
      {"inval_name", idText(0x22), idText(0x55), "my file.c"},
      {"inval_view", "v1"},
      {"umount_vob", "/vobs/src", idText(0x22)},
      {"unregister_view", "v1"},
  };
  EXPECT_EQ(expected, journal());
  EXPECT_EQ(0, korva_open_handle_count());

  // The raw file keeps one line per call; a blank inside a value is escaped.
  std::ifstream raw(root_ + "/journal");
  std::string line;
  int count = 0;
  while (std::getline(raw, line)) {
    ++count;
    if (count == 4) {
      EXPECT_EQ("inval_name " + idText(0x22) + " " + idText(0x55) + " my%20file.c", line);
    }
  }
  EXPECT_EQ(7, count);
}

TEST_F(KorvaControlTest, RegistryKeepsViewsAndMountsAndRefusesWhatAKernelWould) {
  struct Case {
    const char* what;
    korva_test::Issued (*call)();
    int status;
  };
  ASSERT_EQ(0, korva_test::registerView("v1", 0x11, "/stg/v1").status);
  ASSERT_EQ(0, korva_test::mountVob("v1", "/vobs/a", "/s/a", 0x21, 0x31).status);
  const Case cases[] = {
      {"same VOB tag again", [] { return korva_test::mountVob("v1", "/vobs/a", "/s/x", 0x29, 0x39); }, 1067},
      {"same replica under another tag",
       [] { return korva_test::mountVob("v1", "/vobs/b", "/s/a", 0x21, 0x31); }, 1067},
      {"mount in an unregistered view", [] { return korva_test::mountVob("v9", "/vobs/c", "/s/c", 0x23, 0x33); },
       1002},
      {"unmount of a VOB that is not mounted", [] { return korva_test::umountVob("v1", "/vobs/z", 0x2f); }, 1072},
      {"tag taken by another view", [] { return korva_test::registerView("v1", 0x19, "/stg/other"); }, 1067},
      {"tag that is no file name", [] { return korva_test::registerView("a/b", 0x12, "/stg/ab"); }, 1072},
      {"tag \"..\"", [] { return korva_test::registerView("..", 0x12, "/stg/ab"); }, 1072},
      {"unregister of an unknown view", [] { return korva_test::unregisterView("v9"); }, 1002},
      {"invalidation of an unknown view root",
       [] { return korva_test::invalidate("/nowhere/v1", 3, 0, 0, nullptr, 0); }, 1002},
      {"unknown invalidation kind",
       [] { return korva_test::invalidate("/nowhere/v1", 4, 0, 0, nullptr, 0); }, 1072},
  };
  for (const Case& c : cases) {
    korva_test::Issued r = c.call();
    EXPECT_EQ(0, r.error) << c.what;
    EXPECT_EQ(c.status, r.status) << c.what;
  }

  korva::Registry reg = control().registry();
  ASSERT_EQ(1u, reg.mounts("v1").size());
  EXPECT_EQ("/vobs/a", reg.mounts("v1")[0].vob_tag);
  EXPECT_EQ(idText(0x21), reg.mounts("v1")[0].replica_uuid);
  EXPECT_EQ(idText(0x31), reg.mounts("v1")[0].family_oid);
  EXPECT_EQ("/stg/v1", reg.view("v1")->storage_user);

  // A restarted daemon registers the same view again: its mounts stay.
  EXPECT_EQ(0, korva_test::registerView("v1", 0x11, "/stg/v1").status);
  EXPECT_EQ(1u, reg.mounts("v1").size());
  // Unregistering drops the view with its mounts; a new registration starts empty.
  EXPECT_EQ(0, korva_test::unregisterView("v1").status);
  EXPECT_FALSE(reg.view("v1").has_value());
  EXPECT_EQ(0, korva_test::registerView("v1", 0x19, "/stg/other").status);
  EXPECT_TRUE(reg.mounts("v1").empty());
  EXPECT_EQ(std::vector<std::string>{"v1"}, reg.viewTags());
}

TEST_F(KorvaControlTest, MalformedBlocksAreRefusedWithoutReachingTheKernel) {
  korva_umount_record r{};
  korvacmd_block b = korva_test::blockOf(KORVA_MCB_UMOUNT_VOB, &r, "v1", "v1");
  b.record_size = sizeof r - 1;
  EXPECT_EQ(1072, korva_test::issue(b).status);
  b.record = nullptr;
  b.record_size = sizeof r;
  EXPECT_EQ(1072, korva_test::issue(b).status);
  b.command = 99;
  EXPECT_EQ(1007, korva_test::issue(b).status);
  EXPECT_TRUE(journal().empty());

  int error = 0;
  EXPECT_EQ(EBADF, korva_mcb_cmd(nullptr, &b, &error));
  EXPECT_EQ(EBADF, error);
}

TEST_F(KorvaControlTest, InjectedResultAppliesCountTimesThenStops) {
  ASSERT_EQ(0, korva_test::registerView("v1", 0x11, "/stg/v1").status);
  ASSERT_EQ(0, korva_test::mountVob("v1", "/vobs/a", "/s/a", 0x21, 0x31).status);
  korva::Injector inject = control().injector();
  ASSERT_EQ(0, inject.add("umount_vob", "1088", 2));
  ASSERT_EQ(0, inject.add("register_view", "1008"));
  ASSERT_EQ(EINVAL, inject.add("umount_vob", "busy"));
  ASSERT_EQ(EINVAL, inject.add("umount_vob", "1088", 0));

  // Busy twice, and the VOB stays mounted; the third call unmounts.
  EXPECT_EQ(1088, korva_test::umountVob("v1", "/vobs/a", 0x21).status);
  EXPECT_EQ(1088, korva_test::umountVob("v1", "/vobs/a", 0x21).status);
  EXPECT_EQ(1u, control().registry().mounts("v1").size());
  EXPECT_EQ(0, korva_test::umountVob("v1", "/vobs/a", 0x21).status);
  EXPECT_TRUE(control().registry().mounts("v1").empty());

  // A failing register does not register; the next one does.
  EXPECT_EQ(1008, korva_test::registerView("v2", 0x12, "/stg/v2").status);
  EXPECT_FALSE(control().registry().view("v2").has_value());
  EXPECT_EQ(0, korva_test::registerView("v2", 0x12, "/stg/v2").status);

  // Forced calls are journaled like any other.
  int unmounts = 0;
  for (const auto& line : journal()) unmounts += line[0] == "umount_vob";
  EXPECT_EQ(3, unmounts);

  // Used-up lines are gone; comments and other calls' lines stay.
  {
    std::ofstream f(root_ + "/inject", std::ios::app);
    f << "# a comment\n" << "mount_vob errno=4\n";
  }
  korva_test::Issued interrupted = korva_test::mountVob("v1", "/vobs/b", "/s/b", 0x22, 0x32);
  EXPECT_EQ(EINTR, interrupted.error);
  EXPECT_EQ(-1, interrupted.status);  // the block is not answered
  EXPECT_EQ(0, korva_test::mountVob("v1", "/vobs/b", "/s/b", 0x22, 0x32).status);
  std::ifstream left(root_ + "/inject");
  std::string rest((std::istreambuf_iterator<char>(left)), std::istreambuf_iterator<char>());
  EXPECT_EQ("# a comment\n", rest);
}

// The kernel asks the view's front end before it unmounts a VOB: one that
// is in use stays mounted (busy), as a kernel keeps it; one that is not, and
// any VOB of a view without a front end or whose front end does not answer,
// is unmounted. The front end hears the VOB's tag.
TEST_F(KorvaControlTest, AVobItsFrontEndCallsInUseStaysMountedAndBusy) {
  ASSERT_EQ(0, korva_test::registerView("v1", 0x11, "/stg/v1").status);
  const korva::Root root(root_);
  struct Case {
    const char* name;
    enum { kNone, kSilent, kAnswers } front_end;
    bool in_use;
    int status;
    size_t mounts_after;
  };
  const Case cases[] = {
      {"in use", Case::kAnswers, true, 1088, 1},
      {"not in use", Case::kAnswers, false, 0, 0},
      {"no front end", Case::kNone, false, 0, 0},
      {"a socket nobody serves", Case::kSilent, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, korva_test::mountVob("v1", "/vobs/a", "/s/a", 0x21, 0x31).status);
    std::vector<std::string> asked;
    std::unique_ptr<korva::VobUseService> service;
    if (c.front_end == Case::kAnswers) {
      service.reset(new korva::VobUseService(
          korva::frontendSocketPath(root, "v1"),
          [&](const std::string& vob_tag) {
            asked.push_back(vob_tag);
            return c.in_use;
          },
          ::geteuid()));
      ASSERT_EQ(0, service->start());
    } else if (c.front_end == Case::kSilent) {
      // A front end that died left its socket behind.
      korva::VobUseService dead(korva::frontendSocketPath(root, "v1"), [](const std::string&) { return true; },
                                ::geteuid());
      ASSERT_EQ(0, dead.start());
      ASSERT_EQ(0, ::link(korva::frontendSocketPath(root, "v1").c_str(), (root_ + "/kept").c_str()));
      dead.stop();
      ASSERT_EQ(0, ::rename((root_ + "/kept").c_str(), korva::frontendSocketPath(root, "v1").c_str()));
    }
    EXPECT_EQ(c.status, korva_test::umountVob("v1", "/vobs/a", 0x21).status);
    EXPECT_EQ(c.mounts_after, control().registry().mounts("v1").size());
    if (service) {
      service->stop();
      EXPECT_EQ(std::vector<std::string>{"/vobs/a"}, asked);
      EXPECT_NE(0, ::access(korva::frontendSocketPath(root, "v1").c_str(), F_OK)) << "the socket goes with it";
    }
    ::unlink(korva::frontendSocketPath(root, "v1").c_str());
    if (c.mounts_after != 0) {
      // Once its users are gone, the VOB unmounts.
      EXPECT_EQ(0, korva_test::umountVob("v1", "/vobs/a", 0x21).status);
    }
  }
}

// The front end's answer may be slow in coming: the kernel waits for it
// without its state lock, so that a call that changes the state meanwhile
// goes ahead. The unmount then goes by that answer, and is journaled when
// it is made.
TEST_F(KorvaControlTest, AnUnmountWaitingForItsFrontEndHoldsNoOtherCall) {
  ASSERT_EQ(0, korva_test::registerView("v1", 0x11, "/stg/v1").status);
  ASSERT_EQ(0, korva_test::mountVob("v1", "/vobs/a", "/s/a", 0x21, 0x31).status);
  thread_test::Gate asked, answer;
  korva::VobUseService service(korva::frontendSocketPath(korva::Root(root_), "v1"),
                               [&](const std::string&) {
                                 asked.open();
                                 answer.wait(std::chrono::minutes(2));
                                 return true;
                               },
                               ::geteuid());
  ASSERT_EQ(0, service.start());
  std::atomic<int> unmounted{-1};
  // No limit on the answer that a slow machine could reach.
  thread_test::Background unmount([&] {
    unmounted = control().umountVob("v1", "/vobs/a", idText(0x21), 10 * 60 * 1000).status;
  });
  ASSERT_TRUE(asked.wait());
  // The front end has not answered yet; another view is registered and a
  // VOB mounted in the meantime.
  thread_test::Background other([&] {
    EXPECT_EQ(0, korva_test::registerView("v2", 0x12, "/stg/v2").status);
    EXPECT_EQ(0, korva_test::mountVob("v1", "/vobs/b", "/s/b", 0x22, 0x32).status);
  });
  EXPECT_TRUE(other.finished(std::chrono::minutes(2))) << "held by the unmount's question";
  EXPECT_FALSE(unmount.finished_now()) << "the unmount went before its answer";
  answer.open();
  ASSERT_TRUE(unmount.finished());
  EXPECT_EQ(1088, unmounted.load());
  EXPECT_EQ(2u, control().registry().mounts("v1").size());
  const Lines lines = journal();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("umount_vob", lines.back()[0]);
  service.stop();
}

TEST_F(KorvaControlTest, MalformedInjectLineIsReportedAndIgnored) {
  ASSERT_EQ(0, korva_test::registerView("v1", 0x11, "/stg/v1").status);
  {
    std::ofstream f(root_ + "/inject");
    f << "inval_view\n" << "inval_view notanumber 1\n" << "inval_view 1011 1\n";
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(1011, korva_test::invalidate(viewRootDir("v1"), 3, 0, 0, nullptr, 0).status);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("inject line ignored: inval_view notanumber 1"));
  EXPECT_EQ(0, korva_test::invalidate(viewRootDir("v1"), 3, 0, 0, nullptr, 0).status);
}

TEST_F(KorvaControlTest, StatusQueriesOutsideAServedViewAnswerFromTheRegistry) {
  // Registered without a channel: nobody in this process serves the view.
  korva::ViewEntry view;
  view.tag = "v1";
  view.uuid = idText(0x11);
  ASSERT_EQ(0, control().registerView(view).status);
  auto query = [&](const std::string& path, bool follow, uint32_t vstat_size = sizeof(view_vstat_t)) {
    korva_xstat_record r{};
    view_vstat_t vstat;
    std::memset(&vstat, 0xab, sizeof vstat);
    r.vstat = &vstat;
    r.vstat_size = vstat_size;
    std::memset(r.object_oid.bytes, 0xcd, 16);
    korvacmd_block b = korva_test::blockOf(KORVA_MCB_GET_XSTAT, &r, path.c_str(), path.c_str());
    if (!follow) b.flags |= KORVA_MCB_NOFOLLOW;
    korva_test::Issued issued = korva_test::issue(b);
    view_vstat_t zero{};
    return std::make_pair(issued.status, std::memcmp(&vstat, &zero, sizeof zero) == 0 &&
                                             qel_oid_eq(&r.object_oid, &QEL_OID_NULL));
  };
  EXPECT_EQ(1052, query("/elsewhere/file", true).first);
  EXPECT_EQ(1052, query(viewRootDir("v2") + "/vobs/a", true).first);
  EXPECT_EQ(1007, query(viewRootDir("v1") + "/vobs/a/file.c", false).first);
  EXPECT_EQ(1072, query("relative/path", true).first);
  EXPECT_EQ(1072, query(viewRootDir("v1") + "/vobs/a", true, 196).first);
  ASSERT_EQ(0, control().injector().add("get_xstat", "0"));
  auto forced = query(viewRootDir("v1") + "/vobs/a/file.c", true);
  EXPECT_EQ(0, forced.first);
  EXPECT_TRUE(forced.second) << "a forced answer must not leave stale bytes";

  Lines lines = journal();
  ASSERT_EQ(6u, lines.size());
  EXPECT_EQ((std::vector<std::string>{"lget_xstat", viewRootDir("v1") + "/vobs/a/file.c"}), lines[3]);
  EXPECT_EQ("get_xstat", lines[5][0]);
}

TEST_F(KorvaControlTest, StateChangedByAnotherWriterIsSeenAtTheNextCall) {
  // This process keeps the lock file open and copies of the registry's
  // files; another process's change must still show at once.
  korva::ViewEntry view;
  view.tag = "v1";
  view.uuid = idText(0x11);
  ASSERT_EQ(0, control().registerView(view).status);
  const korva::Registry registry{korva::Root(root_)};
  ASSERT_TRUE(registry.view("v1"));
  auto root_of = [&] {
    std::string out;
    control().viewRoot(1, &out);
    return out;
  };
  const std::string config = root_ + "/config";
  struct Row {
    const char* change;
    std::function<void()> apply;
    std::string root;
  };
  const std::vector<Row> rows = {
      {"config written in place", [&] { std::ofstream(config) << "root.1=/x1\n"; }, "/x1"},
      {"same size, in place", [&] { std::ofstream(config) << "root.1=/x2\n"; }, "/x2"},
      {"replaced whole", [&] { ASSERT_EQ(0, korva::writeFileAtomically(config, "root.1=/x3\n")); }, "/x3"},
      {"removed", [&] { ASSERT_EQ(0, ::unlink(config.c_str())); }, root_ + "/view"},
  };
  for (const Row& row : rows) {
    row.apply();
    EXPECT_EQ(row.root, root_of()) << row.change;
  }
  ASSERT_EQ(0, registry.putView(korva::ViewEntry{"v1", idText(0x12), "/stg/other", "", "", "", false}));
  ASSERT_TRUE(registry.view("v1"));
  EXPECT_EQ(idText(0x12), registry.view("v1")->uuid);

  // The journal, which this process keeps open, removed or replaced by
  // another writer: the next line goes to the file the path names now.
  const std::string journal_path = root_ + "/journal";
  struct JournalRow {
    const char* change;
    std::function<void()> apply;
    size_t lines;
  };
  const std::vector<JournalRow> journal_rows = {
      {"removed", [&] { ASSERT_EQ(0, control().journal().clear()); }, 1},
      {"replaced whole", [&] { ASSERT_EQ(0, korva::writeFileAtomically(journal_path, "a\nb\n")); }, 3},
      {"emptied in place", [&] { std::ofstream(journal_path, std::ios::trunc).flush(); }, 1},
  };
  for (const JournalRow& row : journal_rows) {
    root_of();
    row.apply();
    root_of();
    Lines lines = journal();
    ASSERT_EQ(row.lines, lines.size()) << row.change;
    EXPECT_EQ((std::vector<std::string>{"view_root", "1"}), lines.back()) << row.change;
  }

  // The whole state removed and made again: the calls lock the new lock
  // file, make the directories again and journal afresh.
  ASSERT_EQ(0, nftw(root_.c_str(), korva_test::removeEntry, 16, FTW_DEPTH | FTW_PHYS));
  EXPECT_EQ(root_ + "/view", root_of());
  struct stat st;
  EXPECT_EQ(0, ::stat((root_ + "/views").c_str(), &st));
  EXPECT_EQ(0, ::stat((root_ + "/lock").c_str(), &st));
  EXPECT_EQ(1u, journal().size());
  EXPECT_FALSE(registry.view("v1"));

  // Inject lines too, however another writer puts them there: a call that
  // only reads the state runs without the lock on what this process kept
  // of the file, which must not outlive the change.
  ASSERT_EQ(0, korva_test::registerView("v1", 0x11, "/stg/v1").status);
  const std::string inject = root_ + "/inject";
  auto inval_view = [&] { return korva_test::invalidate(viewRootDir("v1"), 3, 0, 0, nullptr, 0).status; };
  struct InjectRow {
    const char* change;
    std::function<void()> apply;
    int forced;
    int after;  // the next call's status, when nothing forces it
  };
  const std::vector<InjectRow> inject_rows = {
      {"written anew", [&] { std::ofstream(inject) << "inval_view 1011\n"; }, 1011, 0},
      {"another call's line", [&] { std::ofstream(inject) << "mount_vob 1011\n"; }, 0, 0},
      {"appended in place", [&] { std::ofstream(inject, std::ios::app) << "inval_view 1012\n"; }, 1012, 0},
      {"replaced whole", [&] { ASSERT_EQ(0, korva::writeFileAtomically(inject, "inval_view 1013\n")); }, 1013, 0},
      {"in a state made again",
       [&] {
         ASSERT_EQ(0, nftw(root_.c_str(), korva_test::removeEntry, 16, FTW_DEPTH | FTW_PHYS));
         ASSERT_EQ(0, korva::makeDirectories(root_));
         std::ofstream(inject) << "inval_view 1014\n";
       },
       1014, QEL_ST_NOT_FOUND},
  };
  ASSERT_EQ(0, inval_view());
  for (const InjectRow& row : inject_rows) {
    row.apply();
    EXPECT_EQ(row.forced, inval_view()) << row.change;
    EXPECT_EQ(row.after, inval_view()) << row.change << ": used up";
  }
}

TEST_F(KorvaControlTest, ConcurrentCallsFromThreadsAndProcessesStayWholeAndCountForcedResultsExactly) {
  // Registered without a channel, whose thread would be running at the fork.
  korva::ViewEntry view;
  view.tag = "v1";
  view.uuid = idText(0x11);
  view.storage_user = "/stg/v1";
  ASSERT_EQ(0, control().registerView(view).status);
  ASSERT_EQ(0, control().injector().add("inval_obj", "1088", 37));
  constexpr int kThreads = 4, kCalls = 40;
  std::string root_dir = viewRootDir("v1");

  auto hammer = [&](std::atomic<int>* busy) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kCalls; ++i) {
          int status = korva_test::invalidate(root_dir, 2, 0x22, static_cast<unsigned char>(t), nullptr,
                                              static_cast<uint32_t>(i)).status;
          if (status == 1088) busy->fetch_add(1);
        }
      });
    }
    for (auto& th : threads) th.join();
  };

  int pipe_fds[2];
  ASSERT_EQ(0, pipe(pipe_fds));
  pid_t child = fork();  // before any thread of this test exists
  if (child == 0) {
    std::atomic<int> busy{0};
    hammer(&busy);
    int n = busy.load();
    _exit(write(pipe_fds[1], &n, sizeof n) == sizeof n ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  std::atomic<int> busy{0};
  hammer(&busy);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  int child_busy = -1;
  ASSERT_EQ(static_cast<ssize_t>(sizeof child_busy), read(pipe_fds[0], &child_busy, sizeof child_busy));
  close(pipe_fds[0]);
  close(pipe_fds[1]);

  EXPECT_EQ(37, busy.load() + child_busy);
  Lines lines = journal();
  ASSERT_EQ(1u + 2 * kThreads * kCalls, lines.size());
  for (size_t i = 1; i < lines.size(); ++i) {
    ASSERT_EQ(4u, lines[i].size()) << i;
    EXPECT_EQ("inval_obj", lines[i][0]);
  }
}

// The default state directory is in /tmp, where anyone may make a name: it
// is used only as a private directory of the user. The check, on
// directories of the test's own.
TEST_F(KorvaControlTest, OnlyAPrivateDirectoryOfTheUserServesAsTheDefaultRoot) {
  const std::string dir = root_ + "-check";
  struct Case {
    const char* what;
    std::function<void()> make;
    int error;
  } cases[] = {
      {"missing (made private when needed)", [] {}, 0},
      {"private", [&] { ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700)); }, 0},
      {"readable by all", [&] { ASSERT_EQ(0, ::mkdir(dir.c_str(), 0755)); }, 0},
      {"writable by the group", [&] { ASSERT_EQ(0, ::mkdir(dir.c_str(), 0770)); ASSERT_EQ(0, ::chmod(dir.c_str(), 0770)); }, EPERM},
      {"writable by others", [&] { ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700)); ASSERT_EQ(0, ::chmod(dir.c_str(), 0703)); }, EPERM},
      {"another user's", [&] { ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700)); ASSERT_EQ(0, ::chown(dir.c_str(), getuid() + 1, getgid())); }, EPERM},
      {"a link to a private directory", [&] { ASSERT_EQ(0, ::symlink(root_.c_str(), dir.c_str())); }, EPERM},
      {"a file", [&] { std::ofstream(dir) << "x"; }, EPERM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.make();
    EXPECT_EQ(c.error, korva::checkPrivateDirectory(dir));
    ::unlink(dir.c_str());
    ::rmdir(dir.c_str());
  }
}

// A temporary file of a whole-file write is made anew: a name planted there
// is not followed, and one left by a process that ended (the same pid) is
// replaced; an unregistration removes those of its view that a killed
// process left.
TEST_F(KorvaControlTest, TemporaryFilesAreMadeAnewAndStaleOnesGo) {
  const std::string target = root_ + "/planted-target";
  const std::string file = root_ + "/config";
  const std::string temp = file + korva::TEMP_MARK + std::to_string(getpid());
  ASSERT_EQ(0, korva::Root(root_).prepare());
  std::ofstream(target) << "untouched";
  ASSERT_EQ(0, ::symlink(target.c_str(), temp.c_str()));
  ASSERT_EQ(0, korva::writeFileAtomically(file, "root.1=/x\n"));
  int error = 0;
  EXPECT_EQ("untouched", korva::readWholeFile(target, &error).value_or(""));
  EXPECT_EQ("root.1=/x\n", korva::readWholeFile(file, &error).value_or(""));
  struct stat st;
  EXPECT_NE(0, ::lstat(temp.c_str(), &st)) << "no temporary file is left";

  ASSERT_EQ(0, korva_test::registerView("v1", 0x11, "/stg/v1").status);
  std::ofstream(root_ + "/views/v1/view.tmp.99999") << "left by a killed process";
  std::ofstream(root_ + "/views/v1/mounts.tmp.4242") << "and another";
  EXPECT_EQ(0, korva_test::unregisterView("v1").status);
  EXPECT_NE(0, ::lstat((root_ + "/views/v1").c_str(), &st)) << "the view's directory is gone";

  EXPECT_TRUE(korva::isTemporaryName("view.tmp.12"));
  for (const char* name : {"view", "view.tmp.", "view.tmp.1x", ".tmp.12", "tmp.12"})
    EXPECT_FALSE(korva::isTemporaryName(name)) << name;
}
