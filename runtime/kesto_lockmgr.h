// The multi-process lock manager: its tables in the lock-manager file, which
// every process of a shared open maps, and the operations on them.
//
// There is no server process. Each operation is carried out by the calling
// process itself while it holds the area's mutex (a robust, process-shared
// mutex stored in the file); a process that waits for a lock sleeps on its
// own condition in its user entry and is signalled by whichever process
// grants the lock. Dead processes are noticed with kill(pid, 0): at every
// log-in and whenever a waiting process wakes without being signalled.
//
// Layout (native byte order; the synchronisation objects are glibc x86-64's
// and stored in place, so only processes of one build share a file):
//
//   header, 236 bytes: version 2 at 0, boot time 4, stamp 8 (time the area
//   was made; -1 invalid), area mutex 12, reserved 52, auxiliary mutex 92,
//   area condition 132, holder 180 (pid inside the area, negated when it
//   leaves), lock generation 184, checkpoint interval 188, U 192, user
//   high-water mark 196, U again 200, activity entries 204, Q 208, free
//   queue head 212, ub 216, fb 220, bit-map pool length 224, F 228, file
//   high-water mark 232;
//   then U user entries of 1140 bytes (the table rounded up to 8 bytes), U
//   activity entries of 40, F file entries of 48, Q queue entries of 12
//   (rounded up to 8) and the bit-map pool (rounded up to 8).
//
// Bit maps live in the pool and are named by their byte offset there: a
// user's maps (open, locked, requested files; fb = ceil(F / 8) bytes each)
// at 3 * fb * u, a file's maps (users that have it open, that hold it;
// ub = ceil(U / 8) bytes each) at 3 * fb * U + 2 * ub * f. Bit n is byte
// n / 8, mask 0x80 >> n % 8.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "runtime/kesto_task.h"

namespace lm {

constexpr int32_t FORMAT_VERSION = 2;
constexpr int32_t DEFAULT_SIZE = 128;  // U, F and Q when a task sets none
constexpr int32_t LARGEST_SIZE = 4096;
constexpr int32_t CHECKPOINT_INTERVAL = 300;
constexpr int32_t DEFAULT_TIMEOUT = 10;

constexpr size_t MUTEX_SIZE = sizeof(pthread_mutex_t);
constexpr size_t COND_SIZE = sizeof(pthread_cond_t);

// Header.
constexpr size_t H_VERSION = 0;
constexpr size_t H_BOOT = 4;
constexpr size_t H_STAMP = 8;
constexpr size_t H_MUTEX = 12;
constexpr size_t H_RESERVED = H_MUTEX + MUTEX_SIZE;
constexpr size_t H_AUX = H_RESERVED + MUTEX_SIZE;
constexpr size_t H_COND = H_AUX + MUTEX_SIZE;
constexpr size_t H_HOLDER = H_COND + COND_SIZE;
constexpr size_t H_GENERATION = H_HOLDER + 4;
constexpr size_t H_INTERVAL = H_GENERATION + 4;
constexpr size_t H_USERS = H_INTERVAL + 4;
constexpr size_t H_USER_HWM = H_USERS + 4;
constexpr size_t H_USERS2 = H_USER_HWM + 4;
constexpr size_t H_ACTIVITY = H_USERS2 + 4;
constexpr size_t H_QUEUE = H_ACTIVITY + 4;
constexpr size_t H_FREE_QUEUE = H_QUEUE + 4;
constexpr size_t H_UB = H_FREE_QUEUE + 4;
constexpr size_t H_FB = H_UB + 4;
constexpr size_t H_POOL = H_FB + 4;
constexpr size_t H_FILES = H_POOL + 4;
constexpr size_t H_FILE_HWM = H_FILES + 4;
constexpr size_t HEADER_SIZE = H_FILE_HWM + 4;

// User entry.
constexpr size_t U_ID = 0;  // char[16]; empty: a free slot
constexpr size_t U_PID = 16;
constexpr size_t U_OPEN = 20;
constexpr size_t U_LOCK = 24;
constexpr size_t U_REQUEST = 28;
constexpr size_t U_PENDING = 32;
constexpr size_t U_WAITING = 36;
constexpr size_t U_TIMEOUT = 40;
constexpr size_t U_DEADLINE = 44;
constexpr size_t U_DATABASE = 48;
constexpr size_t U_NEXT = 52;
constexpr size_t U_STATUS = 56;
constexpr size_t U_PARTNER = 60;
constexpr size_t U_COND = 64;
constexpr size_t U_COMMIT = U_COND + COND_SIZE;
constexpr size_t USER_ID_SIZE = 16;
constexpr size_t COMMIT_NAME_SIZE = 1028;
constexpr size_t USER_SIZE = U_COMMIT + COMMIT_NAME_SIZE;

// Activity-file entry (one database).
constexpr size_t A_INODE = 0;
constexpr size_t A_DEVICE = 8;
constexpr size_t A_KEY = 16;
constexpr size_t A_DUE = 20;
constexpr size_t A_FIRST_USER = 24;
constexpr size_t A_LOCKS_HELD = 28;
constexpr size_t A_RECOVERY = 32;
constexpr size_t A_CHECKPOINT = 36;
constexpr size_t ACTIVITY_SIZE = 40;

// File entry.
constexpr size_t FE_INODE = 0;
constexpr size_t FE_DEVICE = 8;
constexpr size_t FE_MODE = 16;
constexpr size_t FE_OPEN = 20;
constexpr size_t FE_LOCK = 24;
constexpr size_t FE_QUEUE = 28;
constexpr size_t FE_DEFERRED = 32;
constexpr size_t FE_VERSION = 36;
constexpr size_t FE_PREVIOUS = 40;
constexpr size_t FE_OWNER = 44;
constexpr size_t FILE_SIZE = 48;

// Request-queue entry.
constexpr size_t Q_MODE = 0;
constexpr size_t Q_USER = 4;
constexpr size_t Q_NEXT = 8;
constexpr size_t QUEUE_SIZE = 12;

// User status.
enum : int32_t {
  US_FREE = 0,
  US_ACTIVE = 1,
  US_DEAD_IN_COMMIT = 2,   // pid -1, write locks kept until recovered
  US_BEING_RECOVERED = 3,
  US_RECOVERING = 4,       // recovering a dead partner's commit
  US_SELF_RECOVERING = 5,
  US_CLOSED_EXCL = 6,
  US_ROLLING_FORWARD = 7,
  US_CHECKPOINTING = 8,
  US_AWAITING_CHECKPOINT = 9,
};

// Recovery state of a database.
enum : int32_t { RS_NONE = 0, RS_ROLL_FORWARD = 1, RS_ROLLING = 2, RS_DEAD_COMMIT = 3 };
// Checkpoint state of a database.
enum : int32_t { CS_NEVER_OPENED = 0, CS_NORMAL = 1, CS_WANTED = 2, CS_RUNNING = 3 };

// Reply statuses.
enum : int16_t {
  R_DONE = 0,
  R_INTERNAL = -1,
  R_REFUSED = -2,
  R_TIMEOUT = -3,
  R_QUEUE_FULL = -4,
  R_RECOVER = -5,
  R_CHECKPOINT = -7,
};

// What the opener of a database must do (the open's reply).
enum : int16_t { OPEN_ROLL_FORWARD = 0, OPEN_RECOVERY_CHECK = 1, OPEN_NOTHING = 2 };

// Sizes of the tables and where they lie.
struct geometry {
  int32_t users = 0, files = 0, queue = 0;
  int32_t ub = 0, fb = 0, pool = 0;
  size_t user_table = 0, activity_table = 0, file_table = 0, queue_table = 0, pool_table = 0;
  size_t size = 0;  // of the whole area
};
// The geometry of U, F and Q (each 1..4096).
geometry geometry_of(int32_t users, int32_t files, int32_t queue);

// A file as the lock manager knows it.
struct file_id {
  uint64_t inode;
  uint64_t device;
};

// One entry of a lock request: a file index and a mode ('r', 'w', 'x', 'i',
// 'R').
struct request {
  int16_t file;
  char mode;
};

// A file of a granted request: its index and its version before the grant.
struct granted {
  int16_t file;
  uint32_t previous;
};

// The answer to an open or lock request.
struct reply {
  int16_t status = R_DONE;
  int16_t what = OPEN_NOTHING;    // open: what the opener must do
  uint32_t generation = 0;        // lock: the lock generation
  int16_t count = 0;              // lock: files listed in `files`
  char name[COMMIT_NAME_SIZE] = {};  // R_RECOVER: the overflow file to recover
};

// Fields of entries; all are 4-byte aligned but the 64-bit identities.
inline int32_t &at32(char *entry, size_t off) { return *reinterpret_cast<int32_t *>(entry + off); }
inline uint64_t get64(const char *entry, size_t off) {
  uint64_t v;
  std::memcpy(&v, entry + off, sizeof v);
  return v;
}
inline void put64(char *entry, size_t off, uint64_t v) { std::memcpy(entry + off, &v, sizeof v); }
inline pthread_cond_t *user_cond(char *user) { return reinterpret_cast<pthread_cond_t *>(user + U_COND); }

// The tables of a mapped area.
class area {
 public:
  area(char *base, const geometry &g) : base_(base), g_(g) {}
  int32_t &hdr(size_t off) const { return at32(base_, off); }
  pthread_mutex_t *mutex() const { return reinterpret_cast<pthread_mutex_t *>(base_ + H_MUTEX); }
  pthread_mutex_t *aux() const { return reinterpret_cast<pthread_mutex_t *>(base_ + H_AUX); }
  pthread_cond_t *cond() const { return reinterpret_cast<pthread_cond_t *>(base_ + H_COND); }
  char *user(int u) const { return base_ + HEADER_SIZE + USER_SIZE * static_cast<size_t>(u); }
  char *activity(int a) const {
    return base_ + HEADER_SIZE + g_.user_table + ACTIVITY_SIZE * static_cast<size_t>(a);
  }
  char *file(int f) const {
    return base_ + HEADER_SIZE + g_.user_table + g_.activity_table + FILE_SIZE * static_cast<size_t>(f);
  }
  char *queue(int q) const {
    return base_ + HEADER_SIZE + g_.user_table + g_.activity_table + g_.file_table +
           QUEUE_SIZE * static_cast<size_t>(q);
  }
  unsigned char *pool() const {
    return reinterpret_cast<unsigned char *>(base_ + HEADER_SIZE + g_.user_table + g_.activity_table +
                                             g_.file_table + g_.queue_table);
  }
  const geometry &geo() const { return g_; }

 private:
  char *base_;
  geometry g_;
};

// Marks an area invalid (stamp -1). The stamp it had is kept in the
// reserved part of the header, so that the area made next gets another
// one even within the same second: a process of the old area must notice.
inline void invalidate(const area &a) {
  a.hdr(H_RESERVED) = a.hdr(H_STAMP) != -1 ? a.hdr(H_STAMP) : a.hdr(H_RESERVED);
  __atomic_store_n(&a.hdr(H_STAMP), -1, __ATOMIC_RELEASE);
}

// Process-wide settings, read at the first log-in of the process.
struct settings {
  int deadline_factor;  // a waiting process wakes every time-out / factor seconds
  int init_pause;       // seconds between attempts on the ".lck" lock and a busy mapping
  bool emulate_timedlock;
};
const settings &process_settings();
// Forgets what the process read at its first log-in (tests change the
// environment between log-ins).
void reset_process();

}  // namespace lm

// ---- The area (kesto_shm.cpp) ----

// Logs in: maps the lock-manager file at `path` (creating it or making the
// area again when it is missing, damaged or from before a reboot) and takes
// a user slot. Returns the slot, or -1 after reporting why.
int shm_login(lm_map &m, const char *path, const char *user_id, int taf_fd);
// Unmaps the area and closes the file.
int shm_close_lockmgr(lm_map &m);
// Takes the area's mutex: 0, 5 (log-in only: the area was abandoned by a
// process that died holding it and must be made again) or -901.
int shm_lock(lm_map &m, bool login);
int shm_unlock(lm_map &m);
// Sleeps on a user's condition, the area given up meanwhile, for at most
// `seconds`; dead users are logged out after a sleep that timed out.
int shm_sleep(lm_map &m, int user, int seconds);
int shm_wakeup(lm_map &m, int user);
int shm_is_live_process(pid_t pid);
int find_dead_users(lm_map &m);
void clean_dead_users(lm_map &m);
int shm_check_for_live_users(lm_map &m);
// The geometry of the mapped area (its header's U, F and Q).
lm::geometry shm_geometry(const lm_map &m);

// ---- The lock manager's operations (kesto_lockmgr.cpp) ----
// Each takes the area, runs under its mutex and returns 0 or the failure of
// taking the area (-901); answers to the requester are in the reply.

int l_dbopen(lm_map &m, int user, const lm::file_id *files, int count, char mode, lm::reply *reply,
             int16_t *indexes);
// `granted` receives up to `count` entries (reply->count says how many).
int l_lock(lm_map &m, int user, const lm::request *requests, int count, lm::reply *reply,
           lm::granted *granted);
int l_freelock(lm_map &m, int user, const int16_t *files, int count);
int l_dbclose(lm_map &m, int user, const int16_t *files, int count);
int l_trcommit(lm_map &m, int user, const char *overflow_name);
int l_trend(lm_map &m, int user);
int l_recovered(lm_map &m, int user);
int l_recfail(lm_map &m, int user);
int l_force_chkpoint(lm_map &m, int user);
int l_settime(lm_map &m, int user, int seconds);
int l_closeuser(lm_map &m, int user);

// Under the area's mutex: gives up a user's locks, requests and files
// (a dead user in the middle of a commit keeps its write locks for the
// survivor that recovers it).
void lm_logout_user(lm_map &m, int user);
// Under the area's mutex, at log-in: chains a new user into the database.
void lm_enter_user(lm_map &m, int user);
