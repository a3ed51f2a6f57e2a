// The lock-manager area: the mapped lock-manager file, how a process logs in
// (maps the file, makes or repairs the area, takes a user slot), the area's
// mutex, sleeping and waking, and how dead processes are found.
//
// The area is valid while its header names format 2, this boot, a stamp
// other than -1 and table sizes that agree with each other and with the
// file's size; otherwise the first process to log in makes it again, under
// an fcntl lock on the companion file NAME.lck. A process that dies holding
// the area's (robust) mutex leaves the area untrustworthy: the others fail
// on it, and the next log-in abandons it and makes it again.
//
// Every failure here is reported with status -926 and returned as -901.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"
#include "runtime/kesto_lockmgr.h"

namespace lm {

geometry geometry_of(int32_t users, int32_t files, int32_t queue) {
  auto round8 = [](size_t n) { return (n + 7) & ~static_cast<size_t>(7); };
  geometry g;
  g.users = users;
  g.files = files;
  g.queue = queue;
  g.ub = (users - 1) / 8 + 1;
  g.fb = (files - 1) / 8 + 1;
  g.pool = 2 * g.ub * files + 3 * g.fb * users;
  g.user_table = round8(USER_SIZE * static_cast<size_t>(users));
  g.activity_table = ACTIVITY_SIZE * static_cast<size_t>(users);
  g.file_table = FILE_SIZE * static_cast<size_t>(files);
  g.queue_table = round8(QUEUE_SIZE * static_cast<size_t>(queue));
  g.pool_table = round8(static_cast<size_t>(g.pool));
  g.size = HEADER_SIZE + g.user_table + g.activity_table + g.file_table + g.queue_table + g.pool_table;
  return g;
}

}  // namespace lm

namespace {

using namespace lm;

constexpr const char *DEFAULT_BOOT_MARKER = "/var/lock/subsys/norvane";
constexpr int LOCK_WAIT_SECONDS = 2;  // one attempt on the area's mutex
constexpr int LOCK_ATTEMPTS = 60;     // attempts before a process gives up on it
constexpr int LOGIN_ROUNDS = 8;       // the area made again or resized at most this often

struct process_state {
  bool known = false;
  settings values{4, 2, false};
  pid_t pid = 0;
  char user_id[256] = {};
  long boot_time = -1;
} proc;

// A positive decimal, else the default.
int positive(const char *name, int fallback) {
  const char *v = std::getenv(name);
  if (!v || !*v) return fallback;
  char *end;
  errno = 0;
  long n = std::strtol(v, &end, 10);
  if (*end || errno || n <= 0 || n > INT_MAX) return fallback;
  return static_cast<int>(n);
}

void read_settings() {
  if (proc.known) return;
  proc.values.deadline_factor = positive("SMLM_DEADUSER_FACTOR", 4);
  proc.values.init_pause = positive("SMLM_ALMD_INIT_TIME", 2);
  const char *e = std::getenv("KESTO_TEST_EMULATE_TIMEDLOCK");
  proc.values.emulate_timedlock = e && *e && std::strcmp(e, "0") != 0;
  proc.known = true;
}

int fail(int site, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int fail(int site, const char *fmt, ...) {
  char text[1200];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  dberr_code(S_SHMERR, site, "%s", text);
  return S_SYSERR;
}

area view(const lm_map &m) { return area(m.base, geometry_of(m.users, m.files, m.queue)); }

int32_t stamp_of(const lm_map &m) { return __atomic_load_n(reinterpret_cast<int32_t *>(m.base + H_STAMP), __ATOMIC_ACQUIRE); }

long boot_time() {
  if (proc.boot_time >= 0) return proc.boot_time;
  struct stat st;
  const char *marker = std::getenv("NORVANE_BOOT_MARKER");
  if (marker && *marker) {
    if (stat(marker, &st) == 0) return proc.boot_time = st.st_mtime;
  } else if (stat(DEFAULT_BOOT_MARKER, &st) == 0) {
    return proc.boot_time = st.st_mtime;
  } else if (FILE *f = std::fopen("/proc/stat", "r")) {
    char line[256];
    long btime = -1;
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "btime %ld", &btime) == 1) break;
    std::fclose(f);
    if (btime >= 0) return proc.boot_time = btime;
  }
  fail(633, "Failed to get start time - Norvane does not appear to be running");
  return -1;
}

// ---- mapping ----

void unmap(lm_map &m) {
  if (m.base) munmap(m.base, m.length);
  m.base = nullptr;
  m.length = 0;
}

int file_size(const lm_map &m, off_t *size) {
  // Set on every path: a failure's status is the error reporter's, which
  // the compiler cannot tell from success.
  *size = 0;
  struct stat st;
  if (kesto_io()->fstat(m.fd, &st) < 0) return fail(630, "Login: mmap file: %s", std::strerror(errno));
  *size = st.st_size;
  return S_OKAY;
}

// Maps max(wanted, the file's size) bytes, wherever they land. Mapping the
// file again at the size its area asks for (`resize`) tells of a failure on
// standard error, unmapping included.
int map_file(lm_map &m, const char *path, size_t wanted, bool resize = false) {
  if (m.base && munmap(m.base, m.length) < 0 && resize)
    std::fprintf(stderr, "Unable to munmap almd file %s: %s\n", path, std::strerror(errno));
  m.base = nullptr;
  m.length = 0;
  off_t size;
  if (file_size(m, &size) != S_OKAY) return S_SYSERR;
  size_t length = static_cast<size_t>(size) > wanted ? static_cast<size_t>(size) : wanted;
  for (int attempt = 0;; ++attempt) {
    void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, m.fd, 0);
    if (p != MAP_FAILED) {
      m.base = static_cast<char *>(p);
      m.length = length;
      return S_OKAY;
    }
    if (attempt == 0 && (errno == EACCES || errno == EAGAIN)) {
      kesto_sleep(proc.values.init_pause, 0);
      continue;
    }
    if (resize) {
      std::fprintf(stderr, "Unable to mmap almd file %s: %s\n", path, std::strerror(errno));
      return S_SYSERR;
    }
    return fail(attempt ? 563 : 562, "Unable to mmap almd file %s: %s", path, std::strerror(errno));
  }
}

// The file grows to hold the area; a longer file keeps its length (another
// process may still have its end mapped).
int adjust_file_size(lm_map &m, size_t size) {
  off_t have;
  if (file_size(m, &have) != S_OKAY) return S_SYSERR;
  if (static_cast<size_t>(have) >= size) return S_OKAY;
  const char zero = 0;
  ssize_t n = kesto_io()->pwrite(m.fd, &zero, 1, static_cast<off_t>(size) - 1);
  if (n < 0) return fail(635, "Unable to extend almd file: %s", std::strerror(errno));
  if (n != 1) return fail(636, "Unable to extend almd file: %s", "short write");
  return S_OKAY;
}

// Whether the mapped file holds a usable area of this boot.
bool area_valid(const lm_map &m, off_t file_size) {
  if (static_cast<size_t>(file_size) < HEADER_SIZE || m.length < HEADER_SIZE) return false;
  auto hdr = [&](size_t off) { return *reinterpret_cast<const int32_t *>(m.base + off); };
  if (hdr(H_VERSION) != FORMAT_VERSION || hdr(H_BOOT) != static_cast<int32_t>(boot_time()) || stamp_of(m) == -1)
    return false;
  const int32_t u = hdr(H_USERS), f = hdr(H_FILES), q = hdr(H_QUEUE);
  for (int32_t n : {u, f, q})
    if (n < 1 || n > LARGEST_SIZE) return false;
  const geometry g = geometry_of(u, f, q);
  return hdr(H_USERS2) == u && hdr(H_UB) == g.ub && hdr(H_FB) == g.fb && hdr(H_POOL) == g.pool &&
         static_cast<size_t>(file_size) >= g.size;
}

// ---- synchronisation objects ----

int make_mutex(pthread_mutex_t *mutex) {
  pthread_mutexattr_t attr;
  int e = pthread_mutexattr_init(&attr);
  if (e) return fail(564, "pthread_mutexattr_init: %s", std::strerror(e));
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  e = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (e) return fail(565, "pthread_mutex_init: %s", std::strerror(e));
  return S_OKAY;
}

int make_cond(pthread_cond_t *cond) {
  pthread_condattr_t attr;
  int e = pthread_condattr_init(&attr);
  if (e) return fail(566, "pthread_condattr_init: %s", std::strerror(e));
  pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  e = pthread_cond_init(cond, &attr);
  pthread_condattr_destroy(&attr);
  if (e) return fail(567, "pthread_cond_init: %s", std::strerror(e));
  return S_OKAY;
}

// Makes the area: every table empty, new synchronisation objects, and last
// the stamp, version and boot time that make it valid. A stamp always
// differs from the one it replaces, so that a process of the old area
// notices the change.
int initialize_memory(lm_map &m, int taf_fd) {
  const time_t now = time(nullptr);
  if (now == static_cast<time_t>(-1))
    return fail(629, "Error: Unable to determine system time: %s", std::strerror(errno));
  const geometry g = geometry_of(m.users, m.files, m.queue);
  const area a(m.base, g);
  int32_t old_stamp = stamp_of(m);
  if (old_stamp == -1) old_stamp = a.hdr(H_RESERVED);
  std::memset(m.base, 0, g.size);
  a.hdr(H_GENERATION) = 1;
  a.hdr(H_INTERVAL) = CHECKPOINT_INTERVAL;
  a.hdr(H_USERS) = a.hdr(H_USERS2) = g.users;
  a.hdr(H_QUEUE) = g.queue;
  a.hdr(H_UB) = g.ub;
  a.hdr(H_FB) = g.fb;
  a.hdr(H_POOL) = g.pool;
  a.hdr(H_FILES) = g.files;
  a.hdr(H_FILE_HWM) = 0;
  a.hdr(H_USER_HWM) = 0;
  a.hdr(H_ACTIVITY) = 1;
  a.hdr(H_HOLDER) = 0;
  if (make_mutex(a.mutex()) != S_OKAY || make_mutex(a.aux()) != S_OKAY || make_cond(a.cond()) != S_OKAY)
    return S_SYSERR;

  struct stat taf;
  if (kesto_io()->fstat(taf_fd, &taf) < 0) return fail(552, "fstat of the activity file: %s", std::strerror(errno));
  unsigned char word[4] = {};
  kesto_io()->pread(taf_fd, word, sizeof word, 2);
  for (int u = 0; u < g.users; ++u) {
    char *e = a.user(u);
    at32(e, U_PID) = -1;
    at32(e, U_OPEN) = 3 * g.fb * u;
    at32(e, U_LOCK) = 3 * g.fb * u + g.fb;
    at32(e, U_REQUEST) = 3 * g.fb * u + 2 * g.fb;
    at32(e, U_TIMEOUT) = DEFAULT_TIMEOUT;
    at32(e, U_DATABASE) = -1;
    at32(e, U_NEXT) = -1;
    at32(e, U_PARTNER) = -1;
    if (make_cond(user_cond(e)) != S_OKAY) return S_SYSERR;

    char *act = a.activity(u);
    put64(act, A_INODE, static_cast<uint64_t>(taf.st_ino));
    put64(act, A_DEVICE, static_cast<uint64_t>(taf.st_dev));
    at32(act, A_KEY) = static_cast<int32_t>(get_u32(word));
    at32(act, A_FIRST_USER) = -1;
    at32(act, A_RECOVERY) = RS_ROLL_FORWARD;
    at32(act, A_CHECKPOINT) = CS_NEVER_OPENED;
  }
  for (int f = 0; f < g.files; ++f) {
    char *e = a.file(f);
    at32(e, FE_MODE) = 'f';
    at32(e, FE_OPEN) = 3 * g.fb * g.users + 2 * g.ub * f;
    at32(e, FE_LOCK) = 3 * g.fb * g.users + 2 * g.ub * f + g.ub;
    at32(e, FE_QUEUE) = at32(e, FE_DEFERRED) = -1;
    at32(e, FE_OWNER) = -1;
  }
  for (int q = 0; q < g.queue; ++q) {
    char *e = a.queue(q);
    e[Q_MODE] = 'f';
    at32(e, Q_USER) = -1;
    at32(e, Q_NEXT) = q + 1 < g.queue ? q + 1 : -1;
  }
  a.hdr(H_FREE_QUEUE) = 0;
  int32_t stamp = static_cast<int32_t>(now);
  if (old_stamp >= stamp && old_stamp - stamp < 3600) stamp = old_stamp + 1;
  a.hdr(H_VERSION) = FORMAT_VERSION;
  a.hdr(H_BOOT) = static_cast<int32_t>(boot_time());
  __atomic_store_n(&a.hdr(H_STAMP), stamp, __ATOMIC_RELEASE);
  return S_OKAY;
}

// ---- the ".lck" lock ----

std::string lck_name(const char *path) { return std::string(path) + ".lck"; }

// 1 locked (*fd set), 0 not.
int lock_almd_file(const char *path, int attempts, int *fd) {
  const std::string name = lck_name(path);
  int f = kesto_io()->open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (f < 0) {
    fail(558, "Error opening locking file %s: %s", name.c_str(), std::strerror(errno));
    return 0;
  }
  pid_t previous = 0;
  int err = 0;
  for (int attempt = 0; attempt < attempts;) {
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(f, F_SETLK, &fl) == 0) {
      *fd = f;
      return 1;
    }
    err = errno;
    if (err != EACCES && err != EAGAIN) break;
    struct flock who = {};
    who.l_type = F_WRLCK;
    who.l_whence = SEEK_SET;
    if (fcntl(f, F_GETLK, &who) == 0 && who.l_type == F_UNLCK) continue;  // gone meanwhile
    if (who.l_pid == previous) break;
    previous = who.l_pid;
    if (++attempt < attempts) kesto_sleep(proc.values.init_pause, 0);
  }
  fail(559, "Error: Unable to acquire lock on %s: %s", name.c_str(), std::strerror(err ? err : EAGAIN));
  kesto_io()->close(f);
  return 0;
}

int unlock_almd_file(const char *path, int fd) {
  struct flock fl = {};
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  int status = S_OKAY;
  if (fcntl(fd, F_SETLK, &fl) < 0)
    status = fail(560, "Error: Unable to unlock %s%s: %s", path, ".lck", std::strerror(errno));
  if (kesto_io()->close(fd) < 0 && status == S_OKAY)
    status = fail(561, "Error: Unable to close %s%s: %s", path, ".lck", std::strerror(errno));
  return status;
}

// ---- the area's mutex ----

bool holder_dead(int32_t holder) { return holder > 0 && !shm_is_live_process(holder); }

// A process died inside the area (log-in only): the area is marked invalid,
// and when nobody else is logged in its synchronisation objects go, so that
// they are made afresh. Returns 5.
int abandon(lm_map &m, bool holding) {
  const area a = view(m);
  int lck = -1;
  const bool locked = lock_almd_file(m.path, 3, &lck) == 1;
  int32_t holder = a.hdr(H_HOLDER);
  if (holding || holder_dead(holder)) {
    invalidate(a);
    a.hdr(H_HOLDER) = -proc.pid;
    if (holding) pthread_mutex_unlock(a.mutex());
    if (!shm_check_for_live_users(m)) {
      // The conditions are made again with the area; destroying one that a
      // dead process waited on could wait for that process for ever.
      for (pthread_mutex_t *mutex : {a.mutex(), a.aux()}) {
        int e = pthread_mutex_destroy(mutex);
        if (e == EBUSY) {
          kesto_sleep(1, 0);
          e = pthread_mutex_destroy(mutex);
        }
        if (e) fail(615, "Can't destroy mutex from pid %d: %s", proc.pid, std::strerror(e));
      }
    }
  } else if (holding) {
    pthread_mutex_unlock(a.mutex());
  }
  if (locked) unlock_almd_file(m.path, lck);
  return 5;
}

// Takes the area's mutex within a deadline: 0, ETIMEDOUT, EOWNERDEAD (taken
// from a process that died holding it, made consistent) or another error.
int timed_take(const area &a, const timespec &deadline) {
  int e;
  if (!proc.values.emulate_timedlock) {
    // An uncontended area, or one a dead process left, is taken at once.
    e = pthread_mutex_trylock(a.mutex());
    if (e == EBUSY) e = pthread_mutex_timedlock(a.mutex(), &deadline);
  } else {
    // Without a timed lock: wait on the area's condition, under the
    // auxiliary mutex, until a try succeeds or the deadline passes.
    int x = pthread_mutex_lock(a.aux());
    if (x == EOWNERDEAD) pthread_mutex_consistent(a.aux());
    else if (x) return x;
    for (;;) {
      e = pthread_mutex_trylock(a.mutex());
      if (e != EBUSY) break;
      int w = pthread_cond_timedwait(a.cond(), a.aux(), &deadline);
      if (w == EOWNERDEAD) pthread_mutex_consistent(a.aux());
      if (w == ETIMEDOUT) {
        e = ETIMEDOUT;
        break;
      }
    }
    pthread_mutex_unlock(a.aux());
  }
  if (e == EOWNERDEAD) pthread_mutex_consistent(a.mutex());
  return e;
}

bool stamp_ok(const lm_map &m, int site_invalid, int site_changed, const char *changed) {
  const int32_t s = stamp_of(m);
  if (s == -1 || *reinterpret_cast<const int32_t *>(m.base + H_VERSION) != FORMAT_VERSION) {
    fail(site_invalid, "Shared memory version invalid.");
    return false;
  }
  if (s != m.stamp) {
    fail(site_changed, changed, m.stamp, s);
    return false;
  }
  return true;
}

}  // namespace

namespace lm {

const settings &process_settings() {
  read_settings();
  return proc.values;
}

void reset_process() { proc = process_state(); }

}  // namespace lm

int shm_is_live_process(pid_t pid) {
  if (pid < 1) return 0;
  if (kill(pid, 0) == 0 || errno == EPERM) return 1;
  if (errno == ESRCH) return 0;
  dberr_code(S_SHMERR, 641, "System error checking for live DB client: %s", std::strerror(errno));
  return 1;
}

lm::geometry shm_geometry(const lm_map &m) { return geometry_of(m.users, m.files, m.queue); }

int shm_lock(lm_map &m, bool login) {
  if (!m.base) return fail(606, "Shared memory not mapped");
  const area a = view(m);
  if (!login && !stamp_ok(m, 607, 608, "Shared memory version changed on lock from %x to %x.")) return S_SYSERR;
  for (int attempts = 0;;) {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += LOCK_WAIT_SECONDS;
    const int e = timed_take(a, deadline);
    if (e == 0 || e == EOWNERDEAD) {
      const int32_t holder = a.hdr(H_HOLDER);
      if (!login && !stamp_ok(m, 609, 610, "Shared memory version changed: %x found, %x expected.")) {
        pthread_mutex_unlock(a.mutex());
        return S_SYSERR;
      }
      if (e == EOWNERDEAD || holder > 0) {
        if (login) return abandon(m, true);
        fail(611, "Shared memory corrupted, pid %d stranded lock", holder);
        pthread_mutex_unlock(a.mutex());
        return S_SYSERR;
      }
      a.hdr(H_HOLDER) = proc.pid;
      return S_OKAY;
    }
    if (e != ETIMEDOUT) return fail(643, "Problem acquiring shared-memory mutex: %s", std::strerror(e));
    const int32_t holder = a.hdr(H_HOLDER);
    if (holder_dead(holder)) {
      if (login) return abandon(m, false);
      return fail(611, "Shared memory corrupted, pid %d stranded lock", holder);
    }
    if (++attempts >= LOCK_ATTEMPTS) {
      if (login)
        return fail(616, "Process %d timed out (%d tries) waiting for shared-memory lock on login.", proc.pid, attempts);
      return fail(613, "Process %d timed out (%d tries) waiting for shared-memory lock.", proc.pid, attempts);
    }
  }
}

int shm_unlock(lm_map &m) {
  const area a = view(m);
  int status = S_OKAY;
  if (a.hdr(H_HOLDER) != proc.pid) status = fail(617, "Shared memory corrupted, pid %d smashed lock", a.hdr(H_HOLDER));
  else a.hdr(H_HOLDER) = -proc.pid;
  int e = pthread_mutex_unlock(a.mutex());
  if (e) return fail(618, "Can't unlock mutex from pid %d: %s", proc.pid, std::strerror(e));
  if (proc.values.emulate_timedlock) {
    // Under the auxiliary mutex, so that a process between its try and its
    // wait cannot miss the signal.
    if (pthread_mutex_lock(a.aux()) == EOWNERDEAD) pthread_mutex_consistent(a.aux());
    pthread_cond_broadcast(a.cond());
    pthread_mutex_unlock(a.aux());
  }
  return status;
}

int shm_sleep(lm_map &m, int user, int seconds) {
  const area a = view(m);
  if (a.hdr(H_HOLDER) != proc.pid) {
    fail(624, "Shared memory corrupted, pid %d smashed lock", a.hdr(H_HOLDER));
    pthread_mutex_unlock(a.mutex());
    return S_SYSERR;
  }
  a.hdr(H_HOLDER) = -proc.pid;
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += seconds;
  int e = pthread_cond_timedwait(user_cond(a.user(user)), a.mutex(), &deadline);
  const bool owner_died = e == EOWNERDEAD;
  if (owner_died) pthread_mutex_consistent(a.mutex());
  if (e && e != ETIMEDOUT && !owner_died) fail(645, "Problem acquiring conditional mutex: %s", std::strerror(e));
  if (!stamp_ok(m, 625, 626, "Shared memory version changed on wakeup from %x to %x.")) {
    pthread_mutex_unlock(a.mutex());
    return S_SYSERR;
  }
  const int32_t holder = a.hdr(H_HOLDER);
  if (owner_died || holder > 0) {
    fail(627, "Shared memory corrupted, pid %d stranded lock", holder);
    pthread_mutex_unlock(a.mutex());
    return S_SYSERR;
  }
  a.hdr(H_HOLDER) = proc.pid;
  if (e == ETIMEDOUT) clean_dead_users(m);
  return S_OKAY;
}

int shm_wakeup(lm_map &m, int user) {
  const area a = view(m);
  int e = pthread_cond_signal(user_cond(a.user(user)));
  if (e) return fail(623, "pthread_cond_signal: %s", std::strerror(e));
  return S_OKAY;
}

int find_dead_users(lm_map &m) {
  const area a = view(m);
  for (int u = 0; u < a.hdr(H_USER_HWM); ++u) {
    char *e = a.user(u);
    if (e[U_ID] && !shm_is_live_process(at32(e, U_PID)) && at32(e, U_PID) > 0) return 1;
  }
  return 0;
}

void clean_dead_users(lm_map &m) {
  const area a = view(m);
  for (int u = 0; u < a.hdr(H_USER_HWM); ++u) {
    char *e = a.user(u);
    const pid_t pid = at32(e, U_PID);
    if (!e[U_ID] || pid < 1 || shm_is_live_process(pid)) continue;
    // Every user of that process.
    for (int v = u; v < a.hdr(H_USER_HWM); ++v)
      if (a.user(v)[U_ID] && at32(a.user(v), U_PID) == pid) lm_logout_user(m, v);
  }
}

int shm_check_for_live_users(lm_map &m) {
  const area a = view(m);
  const int32_t hwm = a.hdr(H_USER_HWM);
  for (int u = 0; u < hwm && u < m.users; ++u) {
    char *e = a.user(u);
    const pid_t pid = at32(e, U_PID);
    if (e[U_ID] && pid != proc.pid && shm_is_live_process(pid)) return 1;
  }
  return 0;
}

int shm_close_lockmgr(lm_map &m) {
  int status = S_OKAY;
  if (m.base && munmap(m.base, m.length) < 0)
    status = fail(639, "Unable to remove shared memory segment: %s", std::strerror(errno));
  m.base = nullptr;
  m.length = 0;
  if (m.fd >= 0) kesto_io()->close(m.fd);
  m.fd = -1;
  return status < 0 ? -1 : 0;
}

namespace {

// Takes a user slot under the area's mutex: the first free one below the
// high-water mark, or the next.
int take_slot(lm_map &m) {
  const area a = view(m);
  for (int round = 0; round < 2; ++round) {
    const int32_t hwm = a.hdr(H_USER_HWM);
    for (int u = 0; u < hwm; ++u)
      if (!a.user(u)[U_ID]) return u;
    if (hwm < m.users) {
      a.hdr(H_USER_HWM) = hwm + 1;
      return hwm;
    }
    if (round == 0) {
      fail(569, "User table full - looking for dead users");
      clean_dead_users(m);
    }
  }
  fail(568, "User table full (maxusers = %d)", m.users);
  return -1;
}

// A live user of the same id, or one that died in the middle of a commit
// (its overflow file waits for recovery), names the same overflow file.
bool id_in_use(lm_map &m, const char *id) {
  const area a = view(m);
  for (int u = 0; u < a.hdr(H_USER_HWM); ++u) {
    char *e = a.user(u);
    if (!e[U_ID] || std::strncmp(e + U_ID, id, USER_ID_SIZE) != 0) continue;
    if (at32(e, U_STATUS) == US_DEAD_IN_COMMIT || at32(e, U_STATUS) == US_BEING_RECOVERED ||
        shm_is_live_process(at32(e, U_PID)))
      return true;
  }
  return false;
}

enum login_step { LOGGED_IN, AGAIN, FAILED, DUPLICATE };

// Step under the mutex: the area's sizes, dead users, a slot.
login_step enter(lm_map &m, int *slot) {
  const area a(m.base, geometry_of(m.users, m.files, m.queue));
  if (stamp_of(m) == -1) {
    fail(553, "shared-memory version not set, but there are live logged in users.");
    shm_unlock(m);
    return AGAIN;
  }
  const int32_t u = a.hdr(H_USERS), f = a.hdr(H_FILES), q = a.hdr(H_QUEUE);
  if (u != m.users || f != m.files || q != m.queue) {
    if (shm_check_for_live_users(m)) {
      // Others use the area as it is: adopt its sizes and map it whole.
      m.users = u;
      m.files = f;
      m.queue = q;
    } else {
      // Nobody else: it is made again at this process's sizes.
      invalidate(a);
    }
    shm_unlock(m);
    return AGAIN;
  }
  m.stamp = stamp_of(m);
  clean_dead_users(m);
  if (id_in_use(m, proc.user_id)) {
    shm_unlock(m);
    return DUPLICATE;
  }
  *slot = take_slot(m);
  if (*slot < 0) {
    shm_unlock(m);
    return FAILED;
  }
  char *e = a.user(*slot);
  std::memset(e + U_ID, 0, USER_ID_SIZE);
  std::memcpy(e + U_ID, proc.user_id, std::strlen(proc.user_id));  // under 16 bytes (checked at log-in)
  at32(e, U_PID) = proc.pid;
  const geometry g = a.geo();
  std::memset(a.pool() + at32(e, U_OPEN), 0, static_cast<size_t>(3 * g.fb));
  at32(e, U_PENDING) = 0;
  at32(e, U_WAITING) = 0;
  at32(e, U_TIMEOUT) = DEFAULT_TIMEOUT;
  at32(e, U_DEADLINE) = static_cast<int32_t>(time(nullptr)) + 20;
  std::memset(e + U_COMMIT, 0, COMMIT_NAME_SIZE);
  at32(e, U_PARTNER) = -1;
  at32(e, U_STATUS) = US_ACTIVE;
  lm_enter_user(m, *slot);
  shm_unlock(m);
  return LOGGED_IN;
}

}  // namespace

int shm_login(lm_map &m, const char *path, const char *user_id, int taf_fd) {
  read_settings();
  proc.pid = getpid();
  vpathcpy(m.path, path, PATHLEN);
  auto login_failed = [&](bool opened) {
    if (opened) {
      unmap(m);
      if (kesto_io()->close(m.fd) < 0) fail(554, "Unable to close %s: %s", path, std::strerror(errno));
      m.fd = -1;
    }
    fail(555, "Login failed for process %d, almd file %s", static_cast<int>(proc.pid), path);
    return -1;
  };
  // The id goes into a 16-byte slot: a longer one would be cut, and two
  // processes could end up with one id (and one overflow file).
  if (std::strlen(user_id) >= USER_ID_SIZE) return login_failed(false);
  vpathcpy(proc.user_id, user_id, sizeof proc.user_id);
  if (boot_time() < 0) return login_failed(false);
  for (int32_t *n : {&m.users, &m.files, &m.queue}) {
    if (*n == 0) *n = DEFAULT_SIZE;
    if (*n < 1 || *n > LARGEST_SIZE) {
      fail(930, "lock-manager table size %d outside 1..%d", *n, LARGEST_SIZE);
      return login_failed(false);
    }
  }
  m.fd = kesto_io()->open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (m.fd < 0) {
    fail(556, "Error opening lockmgr file %s: %s", path, std::strerror(errno));
    return login_failed(false);
  }
  for (int round = 0; round < LOGIN_ROUNDS; ++round) {
    const geometry g = geometry_of(m.users, m.files, m.queue);
    off_t size;
    if (map_file(m, path, g.size) != S_OKAY || file_size(m, &size) != S_OKAY) return login_failed(true);
    if (!area_valid(m, size)) {
      int lck;
      if (!lock_almd_file(path, 3, &lck)) return login_failed(true);
      // Another process may have made it meanwhile.
      int status = map_file(m, path, g.size);
      if (status == S_OKAY) status = file_size(m, &size);
      if (status == S_OKAY && !area_valid(m, size)) {
        status = adjust_file_size(m, g.size);
        if (status == S_OKAY) status = map_file(m, path, g.size);
        if (status == S_OKAY) status = initialize_memory(m, taf_fd);
      }
      if (unlock_almd_file(path, lck) != S_OKAY || status != S_OKAY) return login_failed(true);
      continue;  // looked at again from the start
    }
    // The area's own sizes rule the mapping's size.
    const geometry own = geometry_of(at32(m.base, H_USERS), at32(m.base, H_FILES), at32(m.base, H_QUEUE));
    if (m.length < own.size && map_file(m, path, own.size, true) != S_OKAY) return login_failed(true);
    int r = shm_lock(m, true);
    if (r == 5) continue;
    if (r != S_OKAY) return login_failed(true);
    int slot = -1;
    switch (enter(m, &slot)) {
      case LOGGED_IN:
        return slot;
      case AGAIN:
        continue;
      case DUPLICATE:
        login_failed(true);
        return -2;
      case FAILED:
        return login_failed(true);
    }
  }
  fail(931, "lock-manager area of %s kept changing during log-in", path);
  return login_failed(true);
}
