// Several processes sharing the people database through the lock manager:
// each is a kesto_lm_worker started with fork and exec and driven over
// pipes, one command a line, every wait for it bounded. All of a test's
// files (database, activity file, journal, lock-manager file, boot marker)
// live in its temporary directory.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kesto_trans_fixture.h"

namespace {

using namespace kesto_test;
using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// One worker process.
class Worker {
 public:
  Worker(const std::string &dir, const std::string &user, const std::vector<std::string> &env, int number) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    err_path_ = dir + "/worker" + std::to_string(number) + ".err";
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (err >= 0) dup2(err, 2);
      for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
      setenv("DBUSERID", user.c_str(), 1);
      for (const std::string &e : env) putenv(const_cast<char *>(e.c_str()));
      execl(KESTO_LM_WORKER, KESTO_LM_WORKER, dir.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }

  ~Worker() {
    if (to_ >= 0) close(to_);
    if (from_ >= 0) close(from_);
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  pid_t pid() const { return pid_; }

  void send(const std::string &command) {
    std::string line = command + "\n";
    if (write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) ADD_FAILURE() << "send " << command;
  }

  // The next line, or "" after `seconds` or at the end of its output.
  std::string line(double seconds) {
    const auto end = clock_type::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string l = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return l;
      }
      const double left = std::chrono::duration<double>(end - clock_type::now()).count();
      if (left <= 0 || eof_) return "";
      pollfd p{from_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
      char chunk[4096];
      ssize_t n = read(from_, chunk, sizeof chunk);
      if (n <= 0) eof_ = true;
      else buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  // The answer to the command sent last ("= STATUS ..."), the report
  // lines before it collected in `reports`.
  std::string answer(double seconds = 20, std::vector<std::string> *reports = nullptr) {
    const auto end = clock_type::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      const double left = std::chrono::duration<double>(end - clock_type::now()).count();
      std::string l = line(left > 0 ? left : 0);
      if (l.empty() || l[0] == '=') return l;
      if (reports) reports->push_back(l);
    }
  }

  // The status of a command.
  int call(const std::string &command, double seconds = 20, std::string *value = nullptr) {
    send(command);
    std::string a = answer(seconds);
    if (a.size() < 3) {
      ADD_FAILURE() << "no answer to \"" << command << "\" from " << pid_;
      return 9999;
    }
    std::istringstream in(a.substr(2));
    int status = 9999;
    in >> status;
    if (value) in >> *value;
    return status;
  }

  void kill_now() {
    kill(pid_, SIGKILL);
    wait_exit(10);
  }

  // The exit status, or -1 when it did not end in time.
  int wait_exit(double seconds) {
    const auto end = clock_type::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      int st;
      pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      }
      if (clock_type::now() > end) return -1;
      usleep(2000);
    }
  }

  std::string errors() const {
    std::vector<unsigned char> bytes = read_file(err_path_);
    return std::string(bytes.begin(), bytes.end());
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  bool eof_ = false, reaped_ = false;
  std::string buffer_, err_path_;
};

class MultiProcessTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    marker_ = dir_.file("boot");
    write_file(marker_, {1});
    env_ = {"NORVANE_BOOT_MARKER=" + marker_, "SMLM_ALMD_INIT_TIME=1", "SMLM_DEADUSER_FACTOR=4"};
    for (const std::string &e : env_) putenv(const_cast<char *>(e.c_str()));
    // One user makes the database; the first shared open makes the
    // lock manager's area before the workers start.
    open_people("o");
    ASSERT_EQ(dt_trbegin("base", nullptr), S_OKAY);
    ASSERT_EQ(populate(4), S_OKAY);
    ASSERT_EQ(add_person("counter", 0, "Hamina"), S_OKAY);
    ASSERT_EQ(dt_trend(nullptr), S_OKAY);
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
    setenv("DBUSERID", "driver", 1);
    ASSERT_EQ(dt_open("people", "s", nullptr), S_OKAY);
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
    unsetenv("DBUSERID");
  }

  void TearDown() override {
    workers_.clear();
    for (const char *v : {"NORVANE_BOOT_MARKER", "SMLM_ALMD_INIT_TIME", "SMLM_DEADUSER_FACTOR"}) unsetenv(v);
    EngineTest::TearDown();
  }

  Worker &start(const std::string &user, const char *open = "open s journal") {
    workers_.push_back(std::make_unique<Worker>(dir_.path(), user, env_, static_cast<int>(workers_.size())));
    Worker &w = *workers_.back();
    if (open) {
      EXPECT_EQ(w.call(open), S_OKAY) << user << "\n" << w.errors();
    }
    return w;
  }

  // A worker in a transaction with the people locked for writing.
  Worker &writing(const std::string &user) {
    Worker &w = start(user);
    EXPECT_EQ(w.call("begin"), S_OKAY);
    EXPECT_EQ(w.call("lock " + std::to_string(PERSON) + " w"), S_OKAY);
    return w;
  }

  // The database as one user sees it afterwards (journaling on, so that
  // the open consults the journal on commits a process left).
  void open_alone() {
    dt_on_opt(OPT_JOURNAL, nullptr);
    ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  }

  int age_of(const std::string &name) {
    char key[20] = {};
    std::snprintf(key, sizeof key, "%s", name.c_str());
    int status = dt_keyfind(NAME, key, nullptr, 0);
    if (status != S_OKAY) return status > 0 ? -1000 - status : status;
    PersonData d{};
    dt_recread(&d, nullptr, 0);
    return d.age;
  }

  void touch_marker() {
    struct utimbuf times = {5000, 5000};
    ASSERT_EQ(utime(marker_.c_str(), &times), 0);
  }

  std::string marker_;
  std::vector<std::string> env_;
  std::vector<std::unique_ptr<Worker>> workers_;
};

std::string item(int n) { return std::to_string(n); }

TEST_F(MultiProcessTest, LockedIncrementsOfOneCounterAreNeverLost) {
  constexpr int kWorkers = 4, kTimes = 200;
  for (int i = 0; i < kWorkers; ++i) start("inc" + std::to_string(i));
  for (auto &w : workers_) w->send("count counter " + std::to_string(kTimes));
  for (auto &w : workers_) EXPECT_EQ(w->answer(90), "= 0") << w->errors();
  for (auto &w : workers_) EXPECT_EQ(w->call("exit"), S_OKAY);
  open_alone();
  EXPECT_EQ(age_of("counter"), kWorkers * kTimes);
}

TEST_F(MultiProcessTest, ReadersShareAWriterWaitsAndASecondUpgradeIsRefused) {
  Worker &r1 = start("reader1");
  Worker &r2 = start("reader2");
  Worker &w = start("writer");
  ASSERT_EQ(r1.call("lock " + item(PERSON) + " r"), S_OKAY);
  ASSERT_EQ(r2.call("lock " + item(PERSON) + " r"), S_OKAY);
  std::string value;
  ASSERT_EQ(r2.call("get counter", 20, &value), S_OKAY);
  EXPECT_EQ(value, "0");
  ASSERT_EQ(w.call("begin"), S_OKAY);
  w.send("lock " + item(PERSON) + " w");
  EXPECT_EQ(w.answer(0.3), "");  // waits while the readers read
  // One reader's upgrade waits at the head of the queue ...
  ASSERT_EQ(r1.call("begin"), S_OKAY);
  r1.send("lock " + item(PERSON) + " w");
  EXPECT_EQ(r1.answer(0.3), "");
  // ... and the other's could never be granted: refused (5).
  ASSERT_EQ(r2.call("begin"), S_OKAY);
  EXPECT_EQ(r2.call("lock " + item(PERSON) + " w"), S_UNAVAIL);
  ASSERT_EQ(r2.call("abort"), S_OKAY);  // gives its read lock back
  EXPECT_EQ(r1.answer(10), "= 0");
  ASSERT_EQ(r1.call("set counter 7"), S_OKAY);
  EXPECT_EQ(w.answer(0.2), "");
  ASSERT_EQ(r1.call("commit"), S_OKAY);
  EXPECT_EQ(w.answer(10), "= 0");
  ASSERT_EQ(w.call("get counter", 20, &value), S_OKAY);
  EXPECT_EQ(value, "7");
  ASSERT_EQ(w.call("commit"), S_OKAY);
}

TEST_F(MultiProcessTest, ALockHeldPastATimeOutIsRefusedWithAMessage) {
  Worker &holder = start("holder");
  Worker &late = start("late");
  ASSERT_EQ(holder.call("lock " + item(PERSON) + " x"), S_OKAY);
  ASSERT_EQ(late.call("timeout 1"), S_OKAY);
  const auto start_time = clock_type::now();
  EXPECT_EQ(late.call("lock " + item(PERSON) + " r"), S_UNAVAIL);
  const double took = seconds_since(start_time);
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 4.0);
  EXPECT_NE(late.errors().find("Process " + std::to_string(late.pid()) + " timed out waiting for lock."),
            std::string::npos)
      << late.errors();
  // A process opening the database exclusively is refused while others
  // have it open; one user id serves one process.
  Worker &excl = start("excl", nullptr);
  EXPECT_EQ(excl.call("open x"), S_UNAVAIL);
  Worker &twin = start("holder", nullptr);
  EXPECT_EQ(twin.call("open s"), S_DUPUSERID);
}

TEST_F(MultiProcessTest, AKilledHolderBlocksNobody) {
  Worker &other = start("other");
  Worker &victim = writing("victim");
  ASSERT_EQ(victim.call("set counter 99"), S_OKAY);
  victim.kill_now();
  ASSERT_EQ(other.call("timeout 4"), S_OKAY);
  const auto start_time = clock_type::now();
  EXPECT_EQ(other.call("lock " + item(PERSON) + " r"), S_OKAY) << other.errors();
  EXPECT_LT(seconds_since(start_time), 3.5);
  std::string value;
  ASSERT_EQ(other.call("get counter", 20, &value), S_OKAY);
  EXPECT_EQ(value, "0");  // it never committed
}

TEST_F(MultiProcessTest, AProcessKilledInItsCommitIsRecoveredByTheNextRequest) {
  Worker &other = start("other");
  Worker &victim = writing("victim");
  ASSERT_EQ(victim.call("add victim 5"), S_OKAY);
  ASSERT_EQ(victim.call("set counter 12"), S_OKAY);
  victim.send("die-in-commit");
  EXPECT_EQ(victim.wait_exit(10), 128 + SIGKILL);
  ASSERT_EQ(other.call("timeout 4"), S_OKAY);
  EXPECT_EQ(other.call("lock " + item(PERSON) + " r"), S_OKAY) << other.errors();
  std::string value;
  ASSERT_EQ(other.call("get victim", 20, &value), S_OKAY);
  EXPECT_EQ(value, "5");
  ASSERT_EQ(other.call("get counter", 20, &value), S_OKAY);
  EXPECT_EQ(value, "12");
  EXPECT_NE(other.errors().find("Auto-recovery of"), std::string::npos) << other.errors();
  ASSERT_EQ(other.call("exit"), S_OKAY);
  open_alone();
  EXPECT_TRUE(check_key_file(PEOPLE_K0));
  EXPECT_TRUE(check_data_file(PEOPLE_D0));
}

TEST_F(MultiProcessTest, AfterACrashAndARebootTheFirstOpenerRollsForward) {
  Worker &victim = writing("victim");
  ASSERT_EQ(victim.call("add survivor 31"), S_OKAY);
  victim.send("die-in-commit");
  EXPECT_EQ(victim.wait_exit(10), 128 + SIGKILL);
  touch_marker();  // the machine started again
  Worker &next = start("next");
  const std::string err = next.errors();
  EXPECT_NE(err.find("Rollforward recovery using"), std::string::npos) << err;
  EXPECT_NE(err.find("finished"), std::string::npos) << err;
  ASSERT_EQ(next.call("lock " + item(PERSON) + " r"), S_OKAY);
  std::string value;
  ASSERT_EQ(next.call("get survivor", 20, &value), S_OKAY);
  EXPECT_EQ(value, "31");
}

TEST_F(MultiProcessTest, ASmallJournalIsCheckpointedUnderLoad) {
  constexpr int kWorkers = 3;
  for (int i = 0; i < kWorkers; ++i) start("churn" + std::to_string(i), "open s journal limit 1048576");
  for (int i = 0; i < kWorkers; ++i) workers_[static_cast<size_t>(i)]->send("churn c" + std::to_string(i) + "_ 40 12");
  for (auto &w : workers_) EXPECT_EQ(w->answer(120), "= 0") << w->errors();
  // The load journals about 2.5 MiB, yet the journal stayed near its limit.
  const size_t journal = read_file(dir_.file("kesto.tjf")).size();
  EXPECT_LT(journal, 1536u * 1024u);
  // A checkpoint asked for runs at the next request of a process that
  // holds no lock, and leaves an empty journal.
  Worker &last = *workers_[0];
  ASSERT_EQ(last.call("checkpoint"), S_OKAY);
  ASSERT_EQ(last.call("lock " + item(PERSON) + " r"), S_OKAY);
  const std::vector<unsigned char> header = read_file(dir_.file("kesto.tjf"));
  ASSERT_GE(header.size(), 28u);
  EXPECT_EQ(get_u32(&header[8]), 28u);
  for (auto &w : workers_) EXPECT_EQ(w->call("exit"), S_OKAY);
  open_alone();
  EXPECT_TRUE(check_key_file(PEOPLE_K0));
  EXPECT_TRUE(check_data_file(PEOPLE_D0));
}

// Each process changes people of its own, at random, and reports each
// commit; one of them is killed on the way. Afterwards every reported
// commit is there (the one a process was in when killed, either way) and
// the files are whole.
TEST_F(MultiProcessTest, ARandomRunKeepsEveryCommit) {
  const unsigned seed = static_cast<unsigned>(std::random_device{}());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  constexpr int kWorkers = 4, kOps = 120;
  for (int i = 0; i < kWorkers; ++i) start("rnd" + std::to_string(i));
  for (int i = 0; i < kWorkers; ++i)
    workers_[static_cast<size_t>(i)]->send("random " + std::to_string(rng()) + " " + std::to_string(kOps) + " w" +
                                           std::to_string(i) + "_");
  const size_t victim = rng() % kWorkers;
  std::vector<std::vector<std::string>> reports(kWorkers);
  // The victim is killed after a random number of its commits.
  const int victim_commits = 1 + static_cast<int>(rng() % 20);
  for (int seen = 0; seen < victim_commits;) {
    std::string l = workers_[victim]->line(30);
    ASSERT_FALSE(l.empty()) << "victim stopped early\n" << workers_[victim]->errors();
    reports[victim].push_back(l);
    if (l[0] == '+') ++seen;
    if (l[0] == '=') break;
  }
  workers_[victim]->kill_now();
  for (size_t i = 0; i < kWorkers; ++i) {
    if (i == victim) continue;
    EXPECT_EQ(workers_[i]->answer(120, &reports[i]), "= 0") << workers_[i]->errors();
    EXPECT_EQ(workers_[i]->call("exit"), S_OKAY);
  }

  // What each person must be now: its last reported commit; for a commit
  // the victim was in, either value.
  std::map<std::string, std::set<std::string>> expected;
  for (const auto &lines : reports) {
    std::map<std::string, std::string> last;
    std::string pending_name, pending_value;
    for (const std::string &l : lines) {
      std::istringstream in(l.substr(2));
      std::string name, value;
      in >> name >> value;
      if (l[0] == '?') {
        pending_name = name;
        pending_value = value;
      } else if (l[0] == '+') {
        last[name] = value;
        pending_name.clear();
      } else if (l[0] == '-') {
        pending_name.clear();
      }
    }
    for (const auto &p : last) expected[p.first] = {p.second};
    if (!pending_name.empty()) {
      std::set<std::string> &either = expected[pending_name];
      if (either.empty()) either.insert("-");
      either.insert(pending_value);
    }
  }
  open_alone();
  for (const auto &p : expected) {
    const int age = age_of(p.first);
    const std::string found = age == -1000 - S_NOTFOUND ? "-" : std::to_string(age);
    EXPECT_TRUE(p.second.count(found)) << p.first << " is " << found;
  }
  EXPECT_TRUE(check_key_file(PEOPLE_K0));
  EXPECT_TRUE(check_data_file(PEOPLE_D0));
  db_address sys = system_record();
  EXPECT_TRUE(check_set(PEOPLE, sys));
}

}  // namespace
