// The lock manager's area and operations, driven directly: several users
// in one process, each with a mapping of its own (as separate processes
// would have), and forked children where a process must hold the area or
// die. A user whose death is to be noticed is given the pid of a child
// that has exited.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "kesto_test_support.h"
#include "runtime/kesto_lockmgr.h"

namespace {

using namespace kesto_test;
using namespace lm;

// A pid that belongs to no process.
pid_t dead_pid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  int st;
  waitpid(pid, &st, 0);
  return pid;
}

bool eventually(const std::function<bool()> &condition, double seconds = 10) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

class LockMgrTest : public EngineTest {
 protected:
  struct User {
    lm_map m{nullptr, 0, -1, 0, 0, 0, 0, {}};
    int slot = -1;
  };

  void SetUp() override {
    EngineTest::SetUp();
    marker_ = dir_.file("boot");
    write_file(marker_, {1});
    setenv("NORVANE_BOOT_MARKER", marker_.c_str(), 1);
    setenv("SMLM_ALMD_INIT_TIME", "1", 1);
    lm::reset_process();
    taf_ = open(dir_.file("kesto.taf").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(taf_, 0);
  }

  void TearDown() override {
    for (auto &u : users_) shm_close_lockmgr(u->m);
    close(taf_);
    EngineTest::TearDown();
  }

  std::string path() const { return dir_.file("lockmgr"); }

  User &login(const char *id, int32_t size = 0, int32_t queue = 0) {
    users_.push_back(std::make_unique<User>());
    User &u = *users_.back();
    u.m.users = u.m.files = size;
    u.m.queue = queue ? queue : size;
    u.slot = shm_login(u.m, path().c_str(), id, taf_);
    return u;
  }

  // Opens files identified by inodes (device 1) for a user.
  std::vector<int16_t> open_files(User &u, std::initializer_list<uint64_t> inodes, char mode = 's',
                                  reply *r = nullptr) {
    std::vector<file_id> ids;
    for (uint64_t i : inodes) ids.push_back({i, 1});
    std::vector<int16_t> indexes(ids.size(), -1);
    reply local;
    reply &answer = r ? *r : local;
    EXPECT_EQ(l_dbopen(u.m, u.slot, ids.data(), static_cast<int>(ids.size()), mode, &answer, indexes.data()), 0);
    return indexes;
  }

  reply lock(User &u, std::vector<request> requests, std::vector<granted> *out = nullptr) {
    std::vector<granted> files(requests.size());
    reply r;
    EXPECT_EQ(l_lock(u.m, u.slot, requests.data(), static_cast<int>(requests.size()), &r, files.data()), 0);
    if (out) *out = std::vector<granted>(files.begin(), files.begin() + r.count);
    return r;
  }

  area view(User &u) { return area(u.m.base, shm_geometry(u.m)); }
  int32_t hdr(User &u, size_t off) { return view(u).hdr(off); }
  int32_t &usr(User &u, int slot, size_t off) { return at32(view(u).user(slot), off); }
  int32_t &fil(User &u, int f, size_t off) { return at32(view(u).file(f), off); }
  int32_t &db(User &u, size_t off) { return at32(view(u).activity(0), off); }

  // The first opener's recovery done, as the engine's open reports it.
  void opened(User &u) { ASSERT_EQ(l_recovered(u.m, u.slot), 0); }

  // Two users with one file open, the first opener's recovery done.
  int16_t shared_file(User &a, User &b, uint64_t inode) {
    const int16_t f = open_files(a, {inode})[0];
    opened(a);
    open_files(b, {inode});
    return f;
  }

  std::string marker_;
  int taf_ = -1;
  std::vector<std::unique_ptr<User>> users_;
};

TEST_F(LockMgrTest, LayoutIsPinned) {
  // glibc x86-64 synchronisation objects: the offsets every process of
  // this build relies on.
  EXPECT_EQ(H_MUTEX, 12u);
  EXPECT_EQ(H_RESERVED, 52u);
  EXPECT_EQ(H_AUX, 92u);
  EXPECT_EQ(H_COND, 132u);
  EXPECT_EQ(H_HOLDER, 180u);
  EXPECT_EQ(H_GENERATION, 184u);
  EXPECT_EQ(H_USERS, 192u);
  EXPECT_EQ(H_FILES, 228u);
  EXPECT_EQ(H_FILE_HWM, 232u);
  EXPECT_EQ(HEADER_SIZE, 236u);
  EXPECT_EQ(U_COND, 64u);
  EXPECT_EQ(U_COMMIT, 112u);
  EXPECT_EQ(USER_SIZE, 1140u);
  EXPECT_EQ(ACTIVITY_SIZE, 40u);
  EXPECT_EQ(FILE_SIZE, 48u);
  EXPECT_EQ(QUEUE_SIZE, 12u);
  const geometry g = geometry_of(128, 128, 128);
  EXPECT_EQ(g.ub, 16);
  EXPECT_EQ(g.fb, 16);
  EXPECT_EQ(g.pool, 2 * 16 * 128 + 3 * 16 * 128);
  EXPECT_EQ(g.size, 236u + 128 * 1140 + 128 * 40 + 128 * 48 + 128 * 12 + 10240);
  // Tables that do not end on 8 bytes are rounded up.
  const geometry odd = geometry_of(3, 5, 7);
  EXPECT_EQ(odd.user_table, 3424u);
  EXPECT_EQ(odd.queue_table, 88u);
}

TEST_F(LockMgrTest, FirstLoginMakesTheAreaAndLaterOnesShareIt) {
  User &a = login("alpha");
  ASSERT_EQ(a.slot, 0);
  EXPECT_EQ(hdr(a, H_VERSION), 2);
  EXPECT_EQ(hdr(a, H_GENERATION), 1);
  EXPECT_EQ(hdr(a, H_INTERVAL), 300);
  for (size_t off : {H_USERS, H_USERS2, H_FILES, H_QUEUE}) EXPECT_EQ(hdr(a, off), 128);
  EXPECT_EQ(hdr(a, H_ACTIVITY), 1);
  EXPECT_EQ(hdr(a, H_USER_HWM), 1);
  EXPECT_EQ(hdr(a, H_FREE_QUEUE), 0);
  EXPECT_EQ(hdr(a, H_POOL), 10240);
  struct stat st;
  ASSERT_EQ(stat(path().c_str(), &st), 0);
  EXPECT_EQ(static_cast<size_t>(st.st_size), geometry_of(128, 128, 128).size);
  EXPECT_EQ(db(a, A_RECOVERY), RS_ROLL_FORWARD);
  EXPECT_EQ(db(a, A_CHECKPOINT), CS_NEVER_OPENED);
  EXPECT_EQ(usr(a, 0, U_STATUS), US_ACTIVE);
  EXPECT_EQ(usr(a, 0, U_TIMEOUT), 10);

  User &b = login("beta");
  EXPECT_EQ(b.slot, 1);
  EXPECT_EQ(b.m.stamp, a.m.stamp);
  // The area outlives its users: a later log-in finds it as it was.
  ASSERT_EQ(l_closeuser(a.m, a.slot), 0);
  ASSERT_EQ(l_closeuser(b.m, b.slot), 0);
  User &c = login("gamma");
  EXPECT_EQ(c.slot, 0);
  EXPECT_EQ(c.m.stamp, a.m.stamp);
}

TEST_F(LockMgrTest, ARebootOrADamagedAreaMakesItAgain) {
  struct Case {
    const char *what;
    std::function<void(std::vector<unsigned char> &)> damage;
  } cases[] = {
      {"reboot", {}},
      {"cut short", [](std::vector<unsigned char> &b) { b.resize(100); }},
      {"cut to half", [](std::vector<unsigned char> &b) { b.resize(b.size() / 2); }},
      {"other version", [](std::vector<unsigned char> &b) { put_u32(&b[H_VERSION], 3); }},
      {"invalid stamp", [](std::vector<unsigned char> &b) { put_u32(&b[H_STAMP], 0xFFFFFFFFu); }},
      {"no users", [](std::vector<unsigned char> &b) { put_u32(&b[H_USERS], 0); }},
      {"huge tables", [](std::vector<unsigned char> &b) { put_u32(&b[H_FILES], 1u << 20); }},
      {"pool disagrees", [](std::vector<unsigned char> &b) { put_u32(&b[H_POOL], 12); }},
      {"map size disagrees", [](std::vector<unsigned char> &b) { put_u32(&b[H_UB], 17); }},
      {"empty", [](std::vector<unsigned char> &b) { b.clear(); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    User &a = login("alpha");
    ASSERT_EQ(a.slot, 0);
    const int32_t old_stamp = a.m.stamp;
    ASSERT_EQ(l_closeuser(a.m, a.slot), 0);
    shm_close_lockmgr(a.m);
    if (c.damage) {
      std::vector<unsigned char> bytes = read_file(path());
      c.damage(bytes);
      write_file(path(), bytes);
    } else {
      struct utimbuf times = {1000, 1000};
      ASSERT_EQ(utime(marker_.c_str(), &times), 0);
      lm::reset_process();
    }
    testing::internal::CaptureStderr();
    User &b = login("beta");
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(b.slot, 0);
    EXPECT_NE(b.m.stamp, old_stamp);
    EXPECT_EQ(hdr(b, H_USERS), 128);
    EXPECT_EQ(hdr(b, H_USER_HWM), 1);
    EXPECT_EQ(db(b, A_CHECKPOINT), CS_NEVER_OPENED);
    ASSERT_EQ(l_closeuser(b.m, b.slot), 0);
    shm_close_lockmgr(b.m);
  }
}

TEST_F(LockMgrTest, LockFileHeldByAnotherProcessFailsTheLogInInTime) {
  // A stale lock file is no obstacle.
  write_file(path() + ".lck", {'x', 'y'});
  User &a = login("alpha");
  ASSERT_EQ(a.slot, 0);
  ASSERT_EQ(l_closeuser(a.m, a.slot), 0);
  shm_close_lockmgr(a.m);
  write_file(path(), {});  // the next log-in must make the area

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    int fd = open((path() + ".lck").c_str(), O_RDWR);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_SETLK, &fl) < 0) _exit(1);
    if (write(ready[1], "x", 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  testing::internal::CaptureStderr();
  const auto start = std::chrono::steady_clock::now();
  User &b = login("beta");
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::string err = testing::internal::GetCapturedStderr();
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(b.slot, -1);
  EXPECT_LT(took, 5.0);
  EXPECT_NE(err.find("Error: Unable to acquire lock on"), std::string::npos) << err;
  EXPECT_NE(err.find("Login failed for process"), std::string::npos) << err;
  // Once the holder is gone the area is made.
  User &c2 = login("gamma");
  EXPECT_EQ(c2.slot, 0);
}

TEST_F(LockMgrTest, UserTableFullAndUserIds) {
  User &a = login("alpha", 2);
  User &b = login("beta", 2);
  ASSERT_EQ(a.slot, 0);
  ASSERT_EQ(b.slot, 1);
  testing::internal::CaptureStderr();
  User &c = login("gamma", 2);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(c.slot, -1);
  EXPECT_NE(err.find("QVKDM0569E"), std::string::npos) << err;
  EXPECT_NE(err.find("User table full (maxusers = 2)"), std::string::npos) << err;
  // A dead user's slot is taken over.
  usr(a, b.slot, U_PID) = dead_pid();
  User &d = login("delta", 2);
  EXPECT_EQ(d.slot, 1);

  // An id must fit its 16-byte slot with its NUL; two live users never
  // share one (they would share an overflow file).
  testing::internal::CaptureStderr();
  User &e = login("sixteen_chars_id", 2);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(e.slot, -1);
  EXPECT_NE(err.find("QVKDM0555E"), std::string::npos) << err;
  testing::internal::CaptureStderr();
  User &f = login("alpha", 2);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(f.slot, -2);
}

TEST_F(LockMgrTest, ALogInOfOtherSizesAdoptsALiveAreaOrMakesItAgain) {
  // Another process uses an area of 8 users, files and queue entries.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t other = fork();
  if (other == 0) {
    User u;
    u.m.users = u.m.files = u.m.queue = 8;
    if (shm_login(u.m, path().c_str(), "other", taf_) != 0 || write(ready[1], "x", 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  close(ready[1]);
  // Its sizes are taken, and the whole of it mapped.
  User &a = login("alpha");
  ASSERT_EQ(a.slot, 1);
  EXPECT_EQ(a.m.users, 8);
  EXPECT_GE(a.m.length, geometry_of(8, 8, 8).size);
  const int16_t f = open_files(a, {91})[0];
  opened(a);
  EXPECT_EQ(lock(a, {{f, 'w'}}).status, R_DONE);
  const int32_t stamp = a.m.stamp;
  ASSERT_EQ(l_closeuser(a.m, a.slot), 0);
  kill(other, SIGKILL);
  waitpid(other, nullptr, 0);
  // Nobody uses it: it is made again at this process's sizes.
  User &b = login("beta", 16);
  ASSERT_EQ(b.slot, 0);
  EXPECT_NE(b.m.stamp, stamp);
  EXPECT_EQ(hdr(b, H_USERS), 16);
}

TEST_F(LockMgrTest, SettingsThatAreNotPositiveTakeTheDefaults) {
  struct Case {
    const char *value;
    int factor, pause;
  } cases[] = {{"0", 4, 2}, {"-3", 4, 2}, {"abc", 4, 2}, {"7x", 4, 2}, {"", 4, 2}, {"3", 3, 3}};
  for (const Case &c : cases) {
    setenv("SMLM_DEADUSER_FACTOR", c.value, 1);
    setenv("SMLM_ALMD_INIT_TIME", c.value, 1);
    lm::reset_process();
    EXPECT_EQ(process_settings().deadline_factor, c.factor) << c.value;
    EXPECT_EQ(process_settings().init_pause, c.pause) << c.value;
  }
  // A waiting request sleeps at least a second between its looks.
  setenv("SMLM_DEADUSER_FACTOR", "8", 1);
  lm::reset_process();
  User &a = login("alpha");
  User &b = login("beta");
  const int16_t f = shared_file(a, b, 95);
  ASSERT_EQ(lock(a, {{f, 'x'}}).status, R_DONE);
  ASSERT_EQ(l_settime(b.m, b.slot, 1), 0);
  const auto start = std::chrono::steady_clock::now();
  testing::internal::CaptureStderr();
  EXPECT_EQ(lock(b, {{f, 'r'}}).status, R_TIMEOUT);
  testing::internal::GetCapturedStderr();
  EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.9);
}

TEST_F(LockMgrTest, OpenRefusesWhatCannotBeShared) {
  User &a = login("alpha", 4);
  reply r;
  std::vector<int16_t> ia = open_files(a, {11, 12}, 's', &r);
  EXPECT_EQ(r.status, R_DONE);
  EXPECT_EQ(r.what, OPEN_ROLL_FORWARD);  // the first opener of a new area
  EXPECT_EQ(usr(a, a.slot, U_STATUS), US_ROLLING_FORWARD);
  opened(a);
  EXPECT_EQ(db(a, A_RECOVERY), RS_NONE);
  EXPECT_EQ(db(a, A_CHECKPOINT), CS_NORMAL);
  EXPECT_EQ(ia, (std::vector<int16_t>{0, 1}));

  User &b = login("beta", 4);
  std::vector<int16_t> ib = open_files(b, {12, 13}, 's', &r);
  EXPECT_EQ(r.what, OPEN_NOTHING);
  EXPECT_EQ(ib, (std::vector<int16_t>{1, 2}));

  struct Case {
    std::initializer_list<uint64_t> files;
    char mode;
    int16_t status;
  } cases[] = {
      {{13}, 'x', R_REFUSED},        // open elsewhere
      {{14, 15}, 's', R_REFUSED},    // two new files, one free slot
      {{14}, 'x', R_DONE},           // a new file opened exclusively
  };
  User &c = login("gamma", 4);
  for (const Case &k : cases) {
    open_files(c, k.files, k.mode, &r);
    EXPECT_EQ(r.status, k.status);
  }
  EXPECT_EQ(fil(c, 3, FE_MODE), 'X');
  open_files(a, {14}, 's', &r);
  EXPECT_EQ(r.status, R_REFUSED);
  // Closed by everybody, a file's entry is free again.
  ASSERT_EQ(l_dbclose(b.m, b.slot, ib.data(), 2), 0);
  ASSERT_EQ(l_dbclose(a.m, a.slot, ia.data(), 2), 0);
  EXPECT_EQ(hdr(a, H_FILE_HWM), 4);
  int16_t x = 3;
  ASSERT_EQ(l_dbclose(c.m, c.slot, &x, 1), 0);
  EXPECT_EQ(hdr(a, H_FILE_HWM), 0);
}

TEST_F(LockMgrTest, ReadersShareAWriterWaitsAndASoleReaderUpgrades) {
  User &a = login("alpha");
  User &b = login("beta");
  User &w = login("writer");
  int16_t f = shared_file(a, b, 21);
  open_files(w, {21});
  EXPECT_EQ(lock(a, {{f, 'r'}}).status, R_DONE);
  EXPECT_EQ(lock(b, {{f, 'r'}}).status, R_DONE);
  EXPECT_EQ(fil(a, f, FE_MODE), 'r');
  EXPECT_EQ(db(a, A_LOCKS_HELD), 2);

  ASSERT_EQ(l_settime(w.m, w.slot, 0), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(lock(w, {{f, 'w'}}).status, R_TIMEOUT);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0656E"), std::string::npos);
  EXPECT_NE(err.find("Process " + std::to_string(getpid()) + " timed out waiting for lock."), std::string::npos);
  EXPECT_EQ(fil(a, f, FE_QUEUE), -1);  // the request was withdrawn

  ASSERT_EQ(l_freelock(b.m, b.slot, &f, 1), 0);
  const uint32_t version = static_cast<uint32_t>(fil(a, f, FE_VERSION));
  std::vector<granted> files;
  reply r = lock(a, {{f, 'w'}}, &files);
  EXPECT_EQ(r.status, R_DONE);
  EXPECT_EQ(fil(a, f, FE_MODE), 'w');
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].file, f);
  EXPECT_EQ(files[0].previous, version);
  EXPECT_EQ(r.generation, 2u);
  EXPECT_EQ(fil(a, f, FE_VERSION), 2);
  // A writer asking for a read lock gets it at once.
  EXPECT_EQ(lock(a, {{f, 'r'}}).status, R_DONE);
  EXPECT_EQ(fil(a, f, FE_MODE), 'r');
  EXPECT_EQ(db(a, A_LOCKS_HELD), 1);
}

TEST_F(LockMgrTest, RequestsThatCannotFitAreRefused) {
  User &a = login("alpha", 4, 2);
  std::vector<int16_t> f = open_files(a, {31, 32, 33});
  opened(a);
  EXPECT_EQ(lock(a, {{f[0], 'r'}, {f[1], 'r'}, {f[2], 'r'}}).status, R_REFUSED);
  EXPECT_EQ(lock(a, {{f[0], 'r'}, {f[1], 'r'}}).status, R_DONE);
  // Files not open for the user, and modes nobody asks for.
  EXPECT_EQ(lock(a, {{3, 'r'}}).status, R_INTERNAL);
  EXPECT_EQ(lock(a, {{f[2], 'q'}}).status, R_INTERNAL);
}

// Threads play processes here; every wait is bounded.
TEST_F(LockMgrTest, AnUpgradeWaitsAtTheHeadAndASecondOneIsRefused) {
  User &a = login("alpha", 4, 3);
  User &b = login("beta", 4, 3);
  User &c = login("gamma", 4, 3);
  std::vector<int16_t> f = open_files(a, {41, 42, 43});
  opened(a);
  open_files(b, {41});
  open_files(c, {41, 42, 43});
  ASSERT_EQ(lock(a, {{f[0], 'r'}}).status, R_DONE);
  ASSERT_EQ(lock(b, {{f[0], 'r'}}).status, R_DONE);

  std::atomic<int> upgraded{1};
  std::thread waiter([&] { upgraded = lock(a, {{f[0], 'w'}}).status; });
  ASSERT_TRUE(eventually([&] { return usr(b, a.slot, U_WAITING) == 1; }));
  EXPECT_EQ(view(b).queue(fil(b, f[0], FE_QUEUE))[Q_MODE], 'W');
  // The other reader's upgrade could never be granted: refused.
  EXPECT_EQ(lock(b, {{f[0], 'w'}}).status, R_REFUSED);
  // One queue entry is taken: three do not fit now.
  EXPECT_EQ(lock(c, {{f[0], 'r'}, {f[1], 'r'}, {f[2], 'r'}}).status, R_QUEUE_FULL);
  ASSERT_EQ(l_freelock(b.m, b.slot, &f[0], 1), 0);
  waiter.join();
  EXPECT_EQ(upgraded, R_DONE);
  EXPECT_EQ(fil(b, f[0], FE_MODE), 'w');
}

TEST_F(LockMgrTest, ADeadUsersCommitIsHandedToTheNextRequest) {
  setenv("SMLM_DEADUSER_FACTOR", "2", 1);
  lm::reset_process();
  User &a = login("alpha");
  User &b = login("beta");
  int16_t f = open_files(a, {51, 52})[0];
  opened(a);
  open_files(b, {51});
  ASSERT_EQ(lock(a, {{f, 'w'}, {1, 'r'}}).status, R_DONE);
  ASSERT_EQ(l_trcommit(a.m, a.slot, "alpha.log"), 0);
  usr(a, a.slot, U_PID) = dead_pid();

  // The waiting request wakes after time-out / 2 seconds, finds the dead
  // user and is told to recover its commit.
  ASSERT_EQ(l_settime(b.m, b.slot, 2), 0);
  const auto start = std::chrono::steady_clock::now();
  reply r = lock(b, {{f, 'w'}});
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.9);
  EXPECT_EQ(r.status, R_RECOVER);
  EXPECT_STREQ(r.name, "alpha.log");
  EXPECT_EQ(usr(b, a.slot, U_STATUS), US_BEING_RECOVERED);
  EXPECT_EQ(usr(b, b.slot, U_STATUS), US_RECOVERING);
  // Its overflow file waits for the recovery: its id is not free yet.
  testing::internal::CaptureStderr();
  EXPECT_EQ(login("alpha").slot, -2);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(db(b, A_RECOVERY), RS_DEAD_COMMIT);
  // Its write lock stayed; its read lock went.
  EXPECT_EQ(fil(b, f, FE_MODE), 'w');
  EXPECT_EQ(fil(b, 1, FE_MODE), 'f');

  ASSERT_EQ(l_recovered(b.m, b.slot), 0);
  EXPECT_FALSE(view(b).user(a.slot)[U_ID]);
  EXPECT_EQ(lock(b, {{f, 'w'}}).status, R_DONE);
  EXPECT_EQ(db(b, A_RECOVERY), RS_NONE);

  // A recovery that fails leaves the commit to the next one.
  ASSERT_EQ(l_trcommit(b.m, b.slot, "beta.log"), 0);
  User &c = login("gamma");
  open_files(c, {51});
  usr(b, b.slot, U_PID) = dead_pid();
  User &d = login("delta");  // notices the dead user at log-in
  reply rc = lock(c, {{f, 'r'}});
  EXPECT_EQ(rc.status, R_RECOVER);
  EXPECT_STREQ(rc.name, "beta.log");
  ASSERT_EQ(l_recfail(c.m, c.slot), 0);
  EXPECT_EQ(usr(c, b.slot, U_STATUS), US_DEAD_IN_COMMIT);
  reply rd;
  open_files(d, {51}, 's', &rd);
  EXPECT_EQ(rd.status, R_RECOVER);
  EXPECT_STREQ(rd.name, "beta.log");
}

TEST_F(LockMgrTest, ADeadRollForwarderIsTakenOverAndTheLastUserLeavesRecovery) {
  User &a = login("alpha");
  User &b = login("beta");
  reply r;
  open_files(a, {61}, 's', &r);
  ASSERT_EQ(r.what, OPEN_ROLL_FORWARD);
  EXPECT_EQ(db(a, A_RECOVERY), RS_ROLLING);
  usr(a, a.slot, U_PID) = dead_pid();
  // The next opener does not wait for ever: it takes the roll-forward over.
  const auto start = std::chrono::steady_clock::now();
  open_files(b, {61}, 's', &r);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.9);
  EXPECT_EQ(r.status, R_DONE);
  EXPECT_EQ(r.what, OPEN_ROLL_FORWARD);
  EXPECT_FALSE(view(b).user(a.slot)[U_ID]);
  opened(b);

  // When the last user leaves, the next opener runs the recovery check.
  ASSERT_EQ(l_closeuser(b.m, b.slot), 0);
  User &c = login("gamma");
  open_files(c, {61}, 's', &r);
  EXPECT_EQ(r.what, OPEN_RECOVERY_CHECK);
  ASSERT_EQ(l_recfail(c.m, c.slot), 0);
  EXPECT_EQ(db(c, A_RECOVERY), RS_ROLL_FORWARD);
}

TEST_F(LockMgrTest, ACheckpointWaitsUntilNoLockIsHeld) {
  User &a = login("alpha");
  User &b = login("beta");
  const int16_t f = shared_file(a, b, 71);
  ASSERT_EQ(lock(a, {{f, 'w'}}).status, R_DONE);
  EXPECT_NE(db(a, A_DUE), 0);  // a write makes a checkpoint due in 300 s
  ASSERT_EQ(l_force_chkpoint(a.m, a.slot), 0);
  EXPECT_EQ(db(a, A_CHECKPOINT), CS_WANTED);

  // Wanted while a lock is held: a user that holds none waits, deferred.
  std::atomic<int> answer{1};
  std::thread waiter([&] { answer = lock(b, {{f, 'r'}}).status; });
  ASSERT_TRUE(eventually([&] { return usr(a, b.slot, U_WAITING) == 1; }));
  EXPECT_EQ(usr(a, b.slot, U_STATUS), US_AWAITING_CHECKPOINT);
  EXPECT_NE(fil(a, f, FE_DEFERRED), -1);
  // Once the last lock goes, the waiting user is the one to run it.
  ASSERT_EQ(l_freelock(a.m, a.slot, &f, 1), 0);
  waiter.join();
  EXPECT_EQ(answer, R_CHECKPOINT);
  EXPECT_EQ(usr(a, b.slot, U_STATUS), US_CHECKPOINTING);
  EXPECT_EQ(db(a, A_CHECKPOINT), CS_RUNNING);
  EXPECT_EQ(fil(a, f, FE_DEFERRED), -1);

  // While it runs, requests wait; its end lets them through.
  answer = 1;
  std::thread second([&] { answer = lock(a, {{f, 'r'}}).status; });
  ASSERT_TRUE(eventually([&] { return usr(b, a.slot, U_WAITING) == 1; }));
  ASSERT_EQ(l_recovered(b.m, b.slot), 0);
  second.join();
  EXPECT_EQ(answer, R_DONE);
  EXPECT_EQ(db(a, A_CHECKPOINT), CS_NORMAL);
  EXPECT_EQ(db(a, A_DUE), 0);
}

TEST_F(LockMgrTest, AUserThatLeavesGivesUpEvenItsExclusiveLocks) {
  User &a = login("alpha");
  User &b = login("beta");
  const int16_t f = shared_file(a, b, 81);
  ASSERT_EQ(lock(a, {{f, 'x'}}).status, R_DONE);
  // A close keeps an exclusive lock for the user's other work ...
  ASSERT_EQ(l_dbclose(a.m, a.slot, &f, 1), 0);
  EXPECT_EQ(fil(a, f, FE_MODE), 'x');
  // ... but nobody could ever give it back after the user has gone.
  ASSERT_EQ(l_closeuser(a.m, a.slot), 0);
  ASSERT_EQ(l_settime(b.m, b.slot, 0), 0);
  EXPECT_EQ(lock(b, {{f, 'w'}}).status, R_DONE);
}

class AreaMutexTest : public LockMgrTest, public testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    LockMgrTest::SetUp();
    if (GetParam()) setenv("KESTO_TEST_EMULATE_TIMEDLOCK", "1", 1);
    lm::reset_process();
  }

  // A child logs in, takes the area and tells so; it gives it back after
  // `hold_ms`, or never.
  pid_t holder(int hold_ms) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      lm::reset_process();
      User u;
      u.slot = shm_login(u.m, path().c_str(), "holder", taf_);
      if (u.slot < 0 || shm_lock(u.m, false) != 0) _exit(1);
      if (write(ready[1], "x", 1) != 1) _exit(1);
      if (hold_ms < 0) pause();
      std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
      shm_unlock(u.m);
      _exit(0);
    }
    char c;
    const bool ok = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    close(ready[1]);
    return ok ? pid : -1;
  }
};

TEST_P(AreaMutexTest, AWaitEndsWhenTheHolderLeaves) {
  User &a = login("alpha");
  ASSERT_EQ(a.slot, 0);
  pid_t pid = holder(300);
  ASSERT_GT(pid, 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(shm_lock(a.m, false), 0);
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(hdr(a, H_HOLDER), getpid());
  ASSERT_EQ(shm_unlock(a.m), 0);
  EXPECT_EQ(hdr(a, H_HOLDER), -getpid());
  EXPECT_GT(waited, 0.1);
  int st;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST_P(AreaMutexTest, AProcessKilledInsideTheAreaIsAbandonedAtTheNextLogIn) {
  User &a = login("alpha");
  ASSERT_EQ(a.slot, 0);
  const int32_t stamp = a.m.stamp;
  pid_t pid = holder(-1);
  ASSERT_GT(pid, 0);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);

  // A user of the area does not trust it any more.
  testing::internal::CaptureStderr();
  EXPECT_EQ(l_settime(a.m, a.slot, 5), S_SYSERR);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Shared memory corrupted, pid " + std::to_string(pid) + " stranded lock"), std::string::npos)
      << err;
  // The next log-in makes it again; the old users are told it changed.
  User &b = login("beta");
  ASSERT_GE(b.slot, 0);
  EXPECT_NE(b.m.stamp, stamp);
  testing::internal::CaptureStderr();
  EXPECT_EQ(l_settime(a.m, a.slot, 5), S_SYSERR);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Shared memory version changed on lock"), std::string::npos) << err;
  EXPECT_EQ(l_settime(b.m, b.slot, 5), 0);
}

INSTANTIATE_TEST_SUITE_P(TimedLockAndEmulation, AreaMutexTest, testing::Bool());

}  // namespace
