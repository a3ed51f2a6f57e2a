// The lock manager's operations on the area: which process has which
// database file open, file locks granted in queue order, waiting for a
// grant, the hand-over of a dead process's unfinished commit, the first
// opener's roll-forward and journal checkpoints.
//
// Lock modes of a file: 'f' free, 'r' read (any number of holders), 'w'
// write and 'x' exclusive (one holder), 'i' read with intent to write (one
// owner among readers; upgraded to 'w' at its commit), 'R' an owned shared
// mode whose requests go ahead of the others; 'X' marks a file opened
// exclusively. A request by a holder to strengthen its lock (an upgrade) is
// queued at the head in upper case ('W', 'X', 'I').
//
// Every operation runs under the area's mutex (kesto_shm.cpp); a process
// gives it up only while it sleeps for a grant, on its own condition, or
// for a second while another process rolls the journal forward. Whoever
// grants locks wakes the processes whose requests are complete. What the
// tables should never show (a release with no lock counted, a user closed
// with files still open, both queues of a file in use at the end of a
// checkpoint) is reported and repaired rather than ending the process
// inside the area.
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_lockmgr.h"

namespace {

using namespace lm;

constexpr int NONE = -1;

int32_t now() { return static_cast<int32_t>(time(nullptr)); }

void inconsistent(int site, const char *what, int line) {
  dberr_code(S_SHMERR, site, "%s \"%s\" line %d", what, __FILE__, line);
}

// One operation's view of the tables.
class tables {
 public:
  explicit tables(lm_map &m) : m_(m), a_(m.base, shm_geometry(m)), g_(a_.geo()) {}

  lm_map &map() { return m_; }
  int32_t &hdr(size_t off) { return a_.hdr(off); }
  int32_t &usr(int u, size_t off) { return at32(a_.user(u), off); }
  char *user_id(int u) { return a_.user(u) + U_ID; }
  bool in_use(int u) { return u >= 0 && u < g_.users && a_.user(u)[U_ID] != '\0'; }
  char *commit(int u) { return a_.user(u) + U_COMMIT; }
  int32_t &fil(int f, size_t off) { return at32(a_.file(f), off); }
  int32_t &act(int d, size_t off) { return at32(a_.activity(d), off); }
  int32_t &db_of(int u, size_t off) { return act(usr(u, U_DATABASE) < 0 ? 0 : usr(u, U_DATABASE), off); }
  int user_hwm() { return hdr(H_USER_HWM); }
  int file_hwm() { return hdr(H_FILE_HWM); }

  // ---- bit maps ----
  bool bit(int32_t map, int n) { return (a_.pool()[map + n / 8] & (0x80 >> (n % 8))) != 0; }
  void set_bit(int32_t map, int n) { a_.pool()[map + n / 8] |= static_cast<unsigned char>(0x80 >> (n % 8)); }
  void clr_bit(int32_t map, int n) { a_.pool()[map + n / 8] &= static_cast<unsigned char>(~(0x80 >> (n % 8))); }
  bool user_map_zero(int32_t map) { return map_zero(map, g_.fb); }
  bool file_map_zero(int32_t map) { return map_zero(map, g_.ub); }
  void clear_user_map(int32_t map) { std::memset(a_.pool() + map, 0, static_cast<size_t>(g_.fb)); }
  void clear_file_map(int32_t map) { std::memset(a_.pool() + map, 0, static_cast<size_t>(g_.ub)); }

  bool holds(int u, int f) { return bit(usr(u, U_LOCK), f); }
  bool has_open(int u, int f) { return bit(usr(u, U_OPEN), f); }
  bool requested(int u, int f) { return bit(usr(u, U_REQUEST), f); }
  // Holders of a file other than `u`.
  bool other_holder(int f, int u) {
    for (int v = 0; v < g_.users; ++v)
      if (v != u && bit(fil(f, FE_LOCK), v)) return true;
    return false;
  }

  // ---- request queue ----
  char &q_mode(int e) { return a_.queue(e)[Q_MODE]; }
  int32_t &q_user(int e) { return at32(a_.queue(e), Q_USER); }
  int32_t &q_next(int e) { return at32(a_.queue(e), Q_NEXT); }

  int get_q() {
    int e = hdr(H_FREE_QUEUE);
    if (e == NONE) return NONE;
    hdr(H_FREE_QUEUE) = q_next(e);
    q_next(e) = NONE;
    return e;
  }
  void free_q(int e) {
    q_mode(e) = 'f';
    q_user(e) = NONE;
    q_next(e) = hdr(H_FREE_QUEUE);
    hdr(H_FREE_QUEUE) = e;
  }
  bool room_q(int n) {
    for (int e = hdr(H_FREE_QUEUE); e != NONE && n > 0; e = q_next(e)) --n;
    return n <= 0;
  }
  void ins_head(int32_t &head, int e) {
    q_next(e) = head;
    head = e;
  }
  void ins_tail(int32_t &head, int e) {
    int32_t *link = &head;
    while (*link != NONE) link = &q_next(*link);
    q_next(e) = NONE;
    *link = e;
  }
  // Behind the 'R' requests at the head.
  void ins_Record(int32_t &head, int e) {
    int32_t *link = &head;
    while (*link != NONE && q_mode(*link) == 'R') link = &q_next(*link);
    q_next(e) = *link;
    *link = e;
  }
  // A read request goes in front of the run of 'i' requests that ends the
  // queue, when there is one.
  void ins_read(int32_t &head, int e) {
    int32_t *link = &head, *run = nullptr;
    while (*link != NONE) {
      if (q_mode(*link) == 'i') {
        if (!run) run = link;
      } else {
        run = nullptr;
      }
      link = &q_next(*link);
    }
    if (!run) run = link;
    q_next(e) = *run;
    *run = e;
  }
  // Unlinks the entry that `link` points to and frees it.
  void unlink_q(int32_t *link) {
    int e = *link;
    *link = q_next(e);
    free_q(e);
  }
  // The link to a user's first entry in a queue, or null.
  int32_t *find_q(int32_t &head, int u) {
    for (int32_t *link = &head; *link != NONE; link = &q_next(*link))
      if (q_user(*link) == u) return link;
    return nullptr;
  }
  // Removes every entry of a user from a queue; pending counts drop.
  void remove_q(int32_t &head, int u) {
    while (int32_t *link = find_q(head, u)) {
      unlink_q(link);
      if (usr(u, U_PENDING) > 0) --usr(u, U_PENDING);
    }
  }

  // ---- grants ----
  void grant_lock(int u, int f, char mode);
  bool grantable(int f, int u, char mode);
  void grant_followers(int f, int u, int32_t *link, bool readers_then_intent);
  bool lock_all_once();
  void lock_all() {
    // Until nothing more can be granted: a grant to readers behind another
    // user can make a later file of theirs grantable.
    for (int rounds = 0; rounds < 4 * g_.users && lock_all_once(); ++rounds) {
    }
  }
  int wake_up();
  void settle() {
    lock_all();
    while (wake_up()) {
    }
  }

  // ---- releases ----
  void freelock(int u, int f);
  void close_file(int u, int f);
  void adj_files();
  void withdraw(int u);
  bool clear_locks_cond(int u, bool keep_writes);

  // ---- users ----
  void close_user(int u);
  void logout_user(int u);
  int usercount(int d);
  void recfail(int u);
  bool chk_recover(int u, reply *r);
  bool dead_commit_waiting(int d);
  void unlink_user(int u);

  int find_file(const file_id &id) {
    for (int f = 0; f < file_hwm(); ++f)
      if (get64(a_.file(f), FE_INODE) == id.inode && get64(a_.file(f), FE_DEVICE) == id.device && !empty_file(f))
        return f;
    return NONE;
  }
  bool empty_file(int f) { return get64(a_.file(f), FE_INODE) == 0 && get64(a_.file(f), FE_DEVICE) == 0; }
  void empty_entry(int f) {
    put64(a_.file(f), FE_INODE, 0);
    put64(a_.file(f), FE_DEVICE, 0);
    fil(f, FE_MODE) = 'f';
    clear_file_map(fil(f, FE_OPEN));
    clear_file_map(fil(f, FE_LOCK));
    fil(f, FE_QUEUE) = fil(f, FE_DEFERRED) = NONE;
    fil(f, FE_OWNER) = NONE;
    fil(f, FE_VERSION) = fil(f, FE_PREVIOUS) = 0;
  }
  void enter_file(int f, const file_id &id, char mode) {
    put64(a_.file(f), FE_INODE, id.inode);
    put64(a_.file(f), FE_DEVICE, id.device);
    fil(f, FE_MODE) = mode;
    clear_file_map(fil(f, FE_OPEN));
    clear_file_map(fil(f, FE_LOCK));
    fil(f, FE_QUEUE) = fil(f, FE_DEFERRED) = NONE;
    fil(f, FE_OWNER) = NONE;
    fil(f, FE_VERSION) = fil(f, FE_PREVIOUS) = hdr(H_GENERATION);
  }
  bool valid_file(int u, int f) { return f >= 0 && f < file_hwm() && has_open(u, f); }

  const geometry &geo() const { return g_; }

 private:
  bool map_zero(int32_t map, int bytes) {
    for (int i = 0; i < bytes; ++i)
      if (a_.pool()[map + i]) return false;
    return true;
  }

  lm_map &m_;
  area a_;
  geometry g_;
};

char lower(char mode) { return static_cast<char>(std::tolower(static_cast<unsigned char>(mode))); }
bool upgrade_letter(char mode) { return mode == 'W' || mode == 'X' || mode == 'I'; }

void tables::grant_lock(int u, int f, char mode) {
  fil(f, FE_PREVIOUS) = fil(f, FE_VERSION);
  if (mode == 'w' || mode == 'x') {
    fil(f, FE_VERSION) = ++hdr(H_GENERATION);
    if (db_of(u, A_DUE) == 0 && db_of(u, A_CHECKPOINT) == CS_NORMAL)
      db_of(u, A_DUE) = now() + hdr(H_INTERVAL);
  }
  if (!holds(u, f)) ++db_of(u, A_LOCKS_HELD);
  set_bit(usr(u, U_LOCK), f);
  set_bit(fil(f, FE_LOCK), u);
  if (mode == 'R' || mode == 'i') fil(f, FE_OWNER) = u;
  const char fm = static_cast<char>(fil(f, FE_MODE));
  if (fm != 'R' && !(fm == 'i' && mode == 'r' && fil(f, FE_OWNER) != u)) fil(f, FE_MODE) = mode;
  if (usr(u, U_PENDING) > 0 && --usr(u, U_PENDING) == 0 && usr(u, U_WAITING)) usr(u, U_DEADLINE) = 0;
}

bool tables::grantable(int f, int u, char mode) {
  const char fm = static_cast<char>(fil(f, FE_MODE));
  const bool only_holder = holds(u, f) && !other_holder(f, u);
  switch (fm) {
    case 'f':
      return true;
    case 'r':
      return mode == 'w' || mode == 'x' ? only_holder : true;
    case 'R':
      return mode == 'r';
    case 'i':
      if (mode == 'r') return true;
      return mode == 'w' || mode == 'x' ? only_holder : false;
    case 'w':
    case 'x':
      return holds(u, f);
    default:  // 'X': an exclusive open locks nothing
      return false;
  }
}

// After a grant at `link`: the consecutive read requests that follow it
// (of users not above the granting one: the others get theirs when the
// pass reaches them), then one request for 'i' in the same way.
void tables::grant_followers(int f, int u, int32_t *link, bool then_intent) {
  while (*link != NONE && q_mode(*link) == 'r') {
    const int v = q_user(*link);
    if (v <= u && usr(v, U_STATUS) == US_ACTIVE) {
      unlink_q(link);
      grant_lock(v, f, 'r');
    } else {
      link = &q_next(*link);
    }
  }
  if (then_intent && *link != NONE && q_mode(*link) == 'i') {
    const int v = q_user(*link);
    if (v <= u && usr(v, U_STATUS) == US_ACTIVE && !(fil(f, FE_MODE) == 'i' || fil(f, FE_MODE) == 'R')) {
      unlink_q(link);
      grant_lock(v, f, 'i');
    }
  }
}

// One grant pass; true when it granted anything.
bool tables::lock_all_once() {
  bool any = false;
  for (int u = 0; u < user_hwm(); ++u) {
    if (!in_use(u) || usr(u, U_STATUS) != US_ACTIVE || usr(u, U_PENDING) <= 0) continue;
    for (int f = 0; f < file_hwm(); ++f) {
      if (!requested(u, f)) continue;
      int32_t &head = fil(f, FE_QUEUE);
      int32_t *link = find_q(head, u);
      if (!link) continue;  // granted already
      if (link != &head && !holds(u, f)) break;
      const char mode = lower(q_mode(*link));
      const char fm = static_cast<char>(fil(f, FE_MODE));
      if (!grantable(f, u, mode)) break;
      unlink_q(link);
      grant_lock(u, f, mode);
      any = true;
      if (mode == 'r') grant_followers(f, u, link, fm == 'f' || fm == 'r');
      else if (mode == 'i' && (fm == 'f' || fm == 'r')) grant_followers(f, u, link, false);
    }
  }
  return any;
}

int tables::wake_up() {
  int count = 0;
  for (int u = 0; u < user_hwm(); ++u) {
    if (!in_use(u) || !usr(u, U_WAITING)) continue;
    bool wake = false;
    if (usr(u, U_PENDING) <= 0) {
      wake = true;
    } else if (usr(u, U_DEADLINE) == 0) {
      wake = true;
      ++count;
    } else if (usr(u, U_STATUS) == US_AWAITING_CHECKPOINT && db_of(u, A_CHECKPOINT) == CS_WANTED &&
               db_of(u, A_LOCKS_HELD) == 0) {
      usr(u, U_STATUS) = US_CHECKPOINTING;
      db_of(u, A_CHECKPOINT) = CS_RUNNING;
      wake = true;
      ++count;
    }
    if (wake) {
      usr(u, U_WAITING) = 0;
      shm_wakeup(m_, u);
    }
  }
  if (count) lock_all();
  return count;
}

void tables::freelock(int u, int f) {
  if (!holds(u, f)) return;
  if (db_of(u, A_LOCKS_HELD) <= 0) inconsistent(932, "Releasing a lock none of which is counted:", __LINE__);
  else --db_of(u, A_LOCKS_HELD);
  clr_bit(usr(u, U_LOCK), f);
  clr_bit(fil(f, FE_LOCK), u);
  const bool held = !file_map_zero(fil(f, FE_LOCK));
  switch (static_cast<char>(fil(f, FE_MODE))) {
    case 'r':
      if (!held) fil(f, FE_MODE) = 'f';
      break;
    case 'R':
    case 'i':
      if (!held) {
        fil(f, FE_MODE) = 'f';
        fil(f, FE_OWNER) = NONE;
      } else if (fil(f, FE_OWNER) == u) {
        fil(f, FE_MODE) = 'r';
        fil(f, FE_OWNER) = NONE;
      }
      break;
    case 'X':
      break;
    default:
      fil(f, FE_MODE) = 'f';
  }
}

void tables::adj_files() {
  while (file_hwm() > 0 && empty_file(file_hwm() - 1)) --hdr(H_FILE_HWM);
}

void tables::close_file(int u, int f) {
  clr_bit(usr(u, U_OPEN), f);
  clr_bit(fil(f, FE_OPEN), u);
  if (file_map_zero(fil(f, FE_OPEN))) {
    // Nobody has it open, so nobody can wait for it either.
    for (int32_t *q : {&fil(f, FE_QUEUE), &fil(f, FE_DEFERRED)})
      while (*q != NONE) unlink_q(q);
    empty_entry(f);
    adj_files();
  }
}

// Takes a user's requests out of both queues of every file it asked for.
void tables::withdraw(int u) {
  for (int f = 0; f < file_hwm(); ++f) {
    if (!requested(u, f)) continue;
    remove_q(fil(f, FE_QUEUE), u);
    remove_q(fil(f, FE_DEFERRED), u);
  }
  clear_user_map(usr(u, U_REQUEST));
  usr(u, U_PENDING) = 0;
}

// Gives up a user's locks and closes its files; with keep_writes, write
// and exclusive locks stay (a dead user's commit still needs them).
// True when something was kept.
bool tables::clear_locks_cond(int u, bool keep_writes) {
  bool kept = false;
  for (int f = 0; f < file_hwm(); ++f) {
    if (!has_open(u, f)) continue;
    if (holds(u, f)) {
      const char fm = static_cast<char>(fil(f, FE_MODE));
      if (keep_writes && (fm == 'w' || fm == 'x')) {
        kept = true;
        continue;
      }
      freelock(u, f);
    }
    close_file(u, f);
  }
  return kept;
}

void tables::unlink_user(int u) {
  int32_t *link = &db_of(u, A_FIRST_USER);
  for (int steps = 0; *link != NONE && steps <= g_.users; ++steps) {
    if (*link == u) {
      *link = usr(u, U_NEXT);
      break;
    }
    link = &usr(*link, U_NEXT);
  }
  usr(u, U_NEXT) = NONE;
}

// Frees a user's slot with everything it held. (A user closed with
// exclusive locks is not kept for a later log-in: this lock manager's
// log-in always takes a fresh slot, and nobody could ever release them.)
void tables::close_user(int u) {
  clear_locks_cond(u, false);
  if (!user_map_zero(usr(u, U_OPEN)) || !user_map_zero(usr(u, U_LOCK))) {
    inconsistent(655, "Closing user with open files or locks:", __LINE__);
    clear_user_map(usr(u, U_OPEN));
    clear_user_map(usr(u, U_LOCK));
  }
  unlink_user(u);
  std::memset(user_id(u), 0, USER_ID_SIZE);
  std::memset(commit(u), 0, COMMIT_NAME_SIZE);
  usr(u, U_STATUS) = US_FREE;
  usr(u, U_PID) = NONE;
  usr(u, U_PARTNER) = NONE;
  usr(u, U_WAITING) = 0;
  usr(u, U_PENDING) = 0;
  usr(u, U_DATABASE) = NONE;
  while (user_hwm() > 0 && !in_use(user_hwm() - 1)) --hdr(H_USER_HWM);
}

int tables::usercount(int d) {
  int count = 0, steps = 0;
  for (int v = act(d, A_FIRST_USER); v != NONE && steps <= g_.users; v = usr(v, U_NEXT), ++steps) {
    switch (usr(v, U_STATUS)) {
      case US_ACTIVE:
      case US_RECOVERING:
      case US_SELF_RECOVERING:
      case US_ROLLING_FORWARD:
      case US_CHECKPOINTING:
      case US_AWAITING_CHECKPOINT:
        ++count;
    }
  }
  if (steps > g_.users) {
    // A chain longer than the table: the area is not to be trusted.
    invalidate(a_);
    inconsistent(933, "User chain runs in a circle:", __LINE__);
  }
  return count;
}

void tables::recfail(int u) {
  switch (usr(u, U_STATUS)) {
    case US_SELF_RECOVERING:
      usr(u, U_PARTNER) = NONE;
      db_of(u, A_RECOVERY) = RS_DEAD_COMMIT;
      break;
    case US_RECOVERING: {
      const int p = usr(u, U_PARTNER);
      if (in_use(p)) {
        usr(p, U_STATUS) = US_DEAD_IN_COMMIT;
        usr(p, U_PARTNER) = NONE;
      }
      usr(u, U_STATUS) = US_ACTIVE;
      usr(u, U_PARTNER) = NONE;
      db_of(u, A_RECOVERY) = RS_DEAD_COMMIT;
      break;
    }
    case US_ROLLING_FORWARD:
      usr(u, U_STATUS) = US_ACTIVE;
      db_of(u, A_RECOVERY) = RS_ROLL_FORWARD;
      break;
    case US_CHECKPOINTING:
      usr(u, U_STATUS) = US_ACTIVE;
      db_of(u, A_CHECKPOINT) = CS_WANTED;
      break;
    default:
      dberr_code(S_SHMERR, 662, "Unexpected status (%d) from entry %d in \"%s\" line %d", usr(u, U_STATUS), u,
                 __FILE__, __LINE__);
  }
}

// A dead user's commit waits for a survivor.
bool tables::dead_commit_waiting(int d) {
  if (act(d, A_RECOVERY) != RS_DEAD_COMMIT) return false;
  int steps = 0;
  for (int v = act(d, A_FIRST_USER); v != NONE && steps <= g_.users; v = usr(v, U_NEXT), ++steps)
    if (usr(v, U_STATUS) == US_DEAD_IN_COMMIT) return true;
  return false;
}

bool tables::chk_recover(int u, reply *r) {
  const int d = usr(u, U_DATABASE) < 0 ? 0 : usr(u, U_DATABASE);
  if (act(d, A_RECOVERY) != RS_DEAD_COMMIT) return false;
  auto hand_over = [&](int whose) {
    r->status = R_RECOVER;
    std::memcpy(r->name, commit(whose), COMMIT_NAME_SIZE);
    r->name[COMMIT_NAME_SIZE - 1] = '\0';
    return true;
  };
  if (usr(u, U_STATUS) == US_SELF_RECOVERING) {
    usr(u, U_PARTNER) = u;
    return hand_over(u);
  }
  int steps = 0;
  for (int v = act(d, A_FIRST_USER); v != NONE && steps <= g_.users; v = usr(v, U_NEXT), ++steps) {
    if (usr(v, U_STATUS) != US_DEAD_IN_COMMIT) continue;
    usr(u, U_STATUS) = US_RECOVERING;
    usr(v, U_STATUS) = US_BEING_RECOVERED;
    usr(u, U_PARTNER) = v;
    usr(v, U_PARTNER) = u;
    return hand_over(v);
  }
  act(d, A_RECOVERY) = RS_NONE;
  return false;
}

void tables::logout_user(int u) {
  withdraw(u);
  usr(u, U_WAITING) = 0;
  switch (usr(u, U_STATUS)) {
    case US_RECOVERING:
    case US_SELF_RECOVERING:
    case US_ROLLING_FORWARD:
    case US_CHECKPOINTING:
      recfail(u);
      break;
    case US_AWAITING_CHECKPOINT:
      usr(u, U_STATUS) = US_ACTIVE;
      break;
  }
  const int d = usr(u, U_DATABASE) < 0 ? 0 : usr(u, U_DATABASE);
  if (usercount(d) > 1) {
    if (!commit(u)[0]) {
      close_user(u);
    } else {
      // Died between recording its commit with the lock manager and
      // finishing it: its write locks wait for the survivor that
      // completes the commit.
      clear_locks_cond(u, true);
      usr(u, U_STATUS) = US_DEAD_IN_COMMIT;
      usr(u, U_PID) = NONE;
      act(d, A_RECOVERY) = RS_DEAD_COMMIT;
    }
    settle();
    return;
  }
  // The last user: whatever it and the dead left is for the next opener.
  int steps = 0;
  while (act(d, A_FIRST_USER) != NONE && steps++ <= g_.users) close_user(act(d, A_FIRST_USER));
  if (in_use(u)) close_user(u);
  act(d, A_RECOVERY) = RS_ROLL_FORWARD;
  act(d, A_DUE) = 0;
}

// Holds the area's mutex for one operation.
class inside {
 public:
  explicit inside(lm_map &m) : m_(m), status_(shm_lock(m, false)) {}
  ~inside() {
    if (status_ == S_OKAY && !released_) shm_unlock(m_);
  }
  inside(const inside &) = delete;
  inside &operator=(const inside &) = delete;
  bool ok() const { return status_ == S_OKAY; }
  // The mutex was given up (a sleep that failed).
  void released() { released_ = true; }

 private:
  lm_map &m_;
  int status_;
  bool released_ = false;
};

int sleep_seconds(int timeout) {
  const int factor = process_settings().deadline_factor;
  const int s = timeout / (factor > 0 ? factor : 4);
  return s < 1 ? 1 : s;
}

// What a request found before it changed anything: which of its files the
// user held, and in which mode, so that a withdrawn request can leave the
// earlier locks as they were.
struct before {
  int16_t file;
  bool held;
  int32_t mode;
  int32_t owner;
};

void restore_earlier(tables &t, int u, const std::vector<before> &was) {
  for (const before &b : was) {
    const int f = b.file;
    if (!t.holds(u, f)) continue;
    if (!b.held) {
      t.freelock(u, f);
      continue;
    }
    const int32_t fm = t.fil(f, FE_MODE);
    const bool owned = (fm == 'i' || fm == 'R') && t.fil(f, FE_OWNER) == u;
    if (fm != b.mode && (owned || !t.other_holder(f, u))) {
      t.fil(f, FE_MODE) = b.mode;
      t.fil(f, FE_OWNER) = b.owner;
    }
  }
}

}  // namespace

void lm_logout_user(lm_map &m, int user) {
  tables t(m);
  if (t.in_use(user)) t.logout_user(user);
}

void lm_enter_user(lm_map &m, int user) {
  tables t(m);
  t.usr(user, U_DATABASE) = 0;
  t.usr(user, U_NEXT) = t.act(0, A_FIRST_USER);
  t.act(0, A_FIRST_USER) = user;
}

int l_dbopen(lm_map &m, int user, const file_id *files, int count, char mode, reply *r, int16_t *indexes) {
  inside in(m);
  if (!in.ok()) return S_SYSERR;
  *r = reply();
  {
    tables t(m);
    // Another process rolls the journal forward. One that died doing so is
    // logged out, and its work falls to this opener.
    while (t.db_of(user, A_RECOVERY) == RS_ROLLING) {
      clean_dead_users(m);
      if (t.db_of(user, A_RECOVERY) != RS_ROLLING) break;
      shm_unlock(m);
      kesto_sleep(1, 0);
      if (shm_lock(m, false) != S_OKAY) {
        in.released();
        return S_SYSERR;
      }
    }
  }
  tables t(m);
  if (t.chk_recover(user, r)) return S_OKAY;
  const int32_t state = t.db_of(user, A_RECOVERY);
  if (state < RS_NONE || state > RS_DEAD_COMMIT) {
    dberr_code(S_SHMERR, 652, "Unexpected TAF state (%d) in \"%s\" line %d", state, __FILE__, __LINE__);
    r->status = R_INTERNAL;
    return S_OKAY;
  }
  const bool exclusive = mode == 'x';
  int fresh = 0;
  for (int i = 0; i < count; ++i) {
    const int f = t.find_file(files[i]);
    if (f == NONE) {
      ++fresh;
    } else if (exclusive || t.fil(f, FE_MODE) == 'X') {
      r->status = R_REFUSED;
      return S_OKAY;
    }
  }
  int room = t.geo().files - t.file_hwm();
  for (int f = 0; f < t.file_hwm(); ++f)
    if (t.empty_file(f)) ++room;
  if (fresh > room) {
    r->status = R_REFUSED;
    return S_OKAY;
  }
  for (int i = 0; i < count; ++i) {
    int f = t.find_file(files[i]);
    if (f == NONE) {
      for (f = 0; f < t.file_hwm() && !t.empty_file(f); ++f) {
      }
      if (f == t.file_hwm()) ++t.hdr(H_FILE_HWM);
      t.enter_file(f, files[i], exclusive ? 'X' : 'f');
    }
    t.set_bit(t.fil(f, FE_OPEN), user);
    t.set_bit(t.usr(user, U_OPEN), f);
    indexes[i] = static_cast<int16_t>(f);
  }
  if (state == RS_NONE) {
    r->what = OPEN_NOTHING;
  } else {
    t.db_of(user, A_RECOVERY) = RS_ROLLING;
    t.usr(user, U_STATUS) = US_ROLLING_FORWARD;
    r->what = t.db_of(user, A_CHECKPOINT) == CS_NEVER_OPENED ? OPEN_ROLL_FORWARD : OPEN_RECOVERY_CHECK;
  }
  return S_OKAY;
}

int l_lock(lm_map &m, int user, const request *requests, int count, reply *r, granted *out) {
  inside in(m);
  if (!in.ok()) return S_SYSERR;
  *r = reply();
  tables t(m);
  if (t.chk_recover(user, r)) return S_OKAY;
  for (int i = 0; i < count; ++i) {
    const char mode = requests[i].mode;
    if (!t.valid_file(user, requests[i].file) ||
        (mode != 'r' && mode != 'w' && mode != 'x' && mode != 'i' && mode != 'R')) {
      r->status = R_INTERNAL;
      return S_OKAY;
    }
  }
  // A request that can never fit is refused; one that does not fit now
  // is asked to come again.
  if (count > t.geo().queue) {
    r->status = R_REFUSED;
    return S_OKAY;
  }
  if (!t.room_q(count)) {
    r->status = R_QUEUE_FULL;
    return S_OKAY;
  }
  const bool holds_any = !t.user_map_zero(t.usr(user, U_LOCK));
  if (holds_any) {
    for (int i = 0; i < count; ++i) {
      const int f = requests[i].file;
      if (!t.holds(user, f)) continue;
      const char fm = static_cast<char>(t.fil(f, FE_MODE));
      const int head = t.fil(f, FE_QUEUE);
      const char mode = requests[i].mode;
      if ((fm == 'i' && t.fil(f, FE_OWNER) != user) ||
          (fm == 'r' && mode != 'r' && mode != 'R' && head != NONE && upgrade_letter(t.q_mode(head)))) {
        r->status = R_REFUSED;
        return S_OKAY;
      }
    }
  }
  bool deferred = false;
  if (!holds_any) {
    int32_t &state = t.db_of(user, A_CHECKPOINT);
    const int32_t due = t.db_of(user, A_DUE);
    if (state == CS_NORMAL && due && now() >= due) state = CS_WANTED;
    if (state == CS_WANTED && t.db_of(user, A_LOCKS_HELD) == 0) {
      state = CS_RUNNING;
      t.usr(user, U_STATUS) = US_CHECKPOINTING;
      r->status = R_CHECKPOINT;
      return S_OKAY;
    }
    if (state == CS_WANTED || state == CS_RUNNING) {
      t.usr(user, U_STATUS) = US_AWAITING_CHECKPOINT;
      deferred = true;
    }
  }

  std::vector<before> was;
  was.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const int f = requests[i].file;
    was.push_back({static_cast<int16_t>(f), t.holds(user, f), t.fil(f, FE_MODE), t.fil(f, FE_OWNER)});
  }
  t.usr(user, U_PENDING) = count;
  for (int i = 0; i < count; ++i) {
    const int f = requests[i].file;
    const char mode = requests[i].mode;
    const char fm = static_cast<char>(t.fil(f, FE_MODE));
    t.set_bit(t.usr(user, U_REQUEST), f);
    const bool holder = t.holds(user, f);
    if (holder && mode == 'r' && (fm == 'w' || (fm == 'R' && t.fil(f, FE_OWNER) == user))) {
      // Giving up the stronger lock for a read lock is always possible.
      t.fil(f, FE_PREVIOUS) = t.fil(f, FE_VERSION);
      t.fil(f, FE_MODE) = 'r';
      t.fil(f, FE_OWNER) = NONE;
      --t.usr(user, U_PENDING);
      continue;
    }
    const int e = t.get_q();
    t.q_user(e) = user;
    int32_t &head = deferred ? t.fil(f, FE_DEFERRED) : t.fil(f, FE_QUEUE);
    const bool upgrade = holder && ((fm == 'r' && (mode == 'w' || mode == 'x' || mode == 'i')) ||
                                    (fm == 'i' && (mode == 'w' || mode == 'x')));
    if (upgrade) {
      t.q_mode(e) = static_cast<char>(std::toupper(static_cast<unsigned char>(mode)));
      t.ins_head(head, e);
    } else {
      t.q_mode(e) = mode;
      if (mode == 'R') t.ins_Record(head, e);
      else if (mode == 'r') t.ins_read(head, e);
      else t.ins_tail(head, e);
    }
  }
  t.settle();
  if (t.usr(user, U_PENDING) > 0) t.usr(user, U_DEADLINE) = now() + t.usr(user, U_TIMEOUT);

  while (t.usr(user, U_PENDING) > 0) {
    const int d = t.usr(user, U_DATABASE) < 0 ? 0 : t.usr(user, U_DATABASE);
    const int32_t deadline = t.usr(user, U_DEADLINE);
    if (t.usr(user, U_STATUS) == US_CHECKPOINTING) {
      r->status = R_CHECKPOINT;
    } else if (t.usr(user, U_STATUS) == US_ACTIVE && t.dead_commit_waiting(d)) {
      // A dead process's commit holds what this one waits for: its
      // recovery comes first.
      r->status = R_RECOVER;
    } else if (deadline == 0 || now() >= deadline) {
      dberr_code(S_SHMERR, 656, "Process %d timed out waiting for lock.", static_cast<int>(getpid()));
      r->status = R_TIMEOUT;
    } else {
      t.usr(user, U_WAITING) = 1;
      if (shm_sleep(m, user, sleep_seconds(t.usr(user, U_TIMEOUT))) != S_OKAY) {
        in.released();
        return S_SYSERR;
      }
      t.usr(user, U_WAITING) = 0;
      t.settle();
      continue;
    }
    // Withdrawn: the earlier locks stay as they were.
    t.withdraw(user);
    restore_earlier(t, user, was);
    t.usr(user, U_DEADLINE) = 0;
    if (t.usr(user, U_STATUS) == US_AWAITING_CHECKPOINT) t.usr(user, U_STATUS) = US_ACTIVE;
    if (r->status == R_RECOVER) {
      r->status = R_DONE;
      t.chk_recover(user, r);
      if (r->status == R_DONE) r->status = R_TIMEOUT;
    }
    t.settle();
    return S_OKAY;
  }
  r->status = R_DONE;
  r->generation = static_cast<uint32_t>(t.hdr(H_GENERATION));
  r->count = 0;
  for (int f = 0; f < t.file_hwm(); ++f) {
    if (!t.requested(user, f)) continue;
    out[r->count].file = static_cast<int16_t>(f);
    out[r->count].previous = static_cast<uint32_t>(t.fil(f, FE_PREVIOUS));
    ++r->count;
  }
  t.clear_user_map(t.usr(user, U_REQUEST));
  t.usr(user, U_DEADLINE) = 0;
  if (t.usr(user, U_STATUS) == US_AWAITING_CHECKPOINT) t.usr(user, U_STATUS) = US_ACTIVE;
  return S_OKAY;
}

int l_freelock(lm_map &m, int user, const int16_t *files, int count) {
  inside in(m);
  if (!in.ok()) return S_SYSERR;
  tables t(m);
  for (int i = 0; i < count; ++i)
    if (files[i] >= 0 && files[i] < t.file_hwm()) t.freelock(user, files[i]);
  t.settle();
  return S_OKAY;
}

int l_dbclose(lm_map &m, int user, const int16_t *files, int count) {
  inside in(m);
  if (!in.ok()) return S_SYSERR;
  tables t(m);
  for (int i = 0; i < count; ++i) {
    const int f = files[i];
    if (!t.valid_file(user, f)) continue;
    if (t.holds(user, f)) {
      if (t.fil(f, FE_MODE) == 'x') continue;
      t.freelock(user, f);
    }
    t.close_file(user, f);
  }
  t.settle();
  return S_OKAY;
}

int l_trcommit(lm_map &m, int user, const char *overflow_name) {
  inside in(m);
  if (!in.ok()) return S_SYSERR;
  tables t(m);
  std::memset(t.commit(user), 0, COMMIT_NAME_SIZE);
  std::strncpy(t.commit(user), overflow_name, COMMIT_NAME_SIZE - 1);
  return S_OKAY;
}

int l_trend(lm_map &m, int user) {
  inside in(m);
  if (!in.ok()) return S_SYSERR;
  tables t(m);
  std::memset(t.commit(user), 0, COMMIT_NAME_SIZE);
  return S_OKAY;
}

int l_recovered(lm_map &m, int user) {
  inside in(m);
  if (!in.ok()) return S_SYSERR;
  tables t(m);
  switch (t.usr(user, U_STATUS)) {
    case US_ROLLING_FORWARD:
      t.db_of(user, A_RECOVERY) = RS_NONE;
      if (t.db_of(user, A_CHECKPOINT) == CS_NEVER_OPENED) t.db_of(user, A_CHECKPOINT) = CS_NORMAL;
      t.usr(user, U_STATUS) = US_ACTIVE;
      return S_OKAY;
    case US_RECOVERING:
    case US_SELF_RECOVERING: {
      const int p = t.usr(user, U_PARTNER);
      if (p == user) {
        for (int f = 0; f < t.file_hwm(); ++f) t.freelock(user, f);
        std::memset(t.commit(user), 0, COMMIT_NAME_SIZE);
      } else if (t.in_use(p)) {
        t.close_user(p);
      }
      t.usr(user, U_PARTNER) = NONE;
      t.usr(user, U_STATUS) = US_ACTIVE;
      t.settle();
      return S_OKAY;
    }
    case US_CHECKPOINTING: {
      t.usr(user, U_STATUS) = US_ACTIVE;
      t.db_of(user, A_CHECKPOINT) = CS_NORMAL;
      t.db_of(user, A_DUE) = 0;
      const int d = t.usr(user, U_DATABASE) < 0 ? 0 : t.usr(user, U_DATABASE);
      int steps = 0;
      for (int v = t.act(d, A_FIRST_USER); v != NONE && steps <= t.geo().users; v = t.usr(v, U_NEXT), ++steps) {
        if (t.usr(v, U_STATUS) != US_AWAITING_CHECKPOINT) continue;
        for (int f = 0; f < t.file_hwm(); ++f) {
          int32_t &deferred = t.fil(f, FE_DEFERRED);
          if (deferred == NONE) continue;
          if (t.fil(f, FE_QUEUE) != NONE)
            inconsistent(934, "Both queues of a file in use at the end of a checkpoint:", __LINE__);
          int32_t *link = &t.fil(f, FE_QUEUE);
          while (*link != NONE) link = &t.q_next(*link);
          *link = deferred;
          deferred = NONE;
        }
        t.usr(v, U_STATUS) = US_ACTIVE;
      }
      t.settle();
      return S_OKAY;
    }
    default:
      dberr_code(S_SHMERR, 661, "Unexpected status (%d) from entry %d in \"%s\" line %d", t.usr(user, U_STATUS),
                 user, __FILE__, __LINE__);
      return S_SYSERR;
  }
}

int l_recfail(lm_map &m, int user) {
  inside in(m);
  if (!in.ok()) return S_SYSERR;
  tables t(m);
  t.recfail(user);
  t.settle();
  return S_OKAY;
}

int l_force_chkpoint(lm_map &m, int user) {
  inside in(m);
  if (!in.ok()) return S_SYSERR;
  tables t(m);
  if (t.db_of(user, A_CHECKPOINT) == CS_NORMAL) t.db_of(user, A_CHECKPOINT) = CS_WANTED;
  return S_OKAY;
}

int l_settime(lm_map &m, int user, int seconds) {
  inside in(m);
  if (!in.ok()) return S_SYSERR;
  tables t(m);
  t.usr(user, U_TIMEOUT) = seconds;
  return S_OKAY;
}

int l_closeuser(lm_map &m, int user) {
  inside in(m);
  if (!in.ok()) return S_SYSERR;
  tables t(m);
  if (t.in_use(user)) t.logout_user(user);
  return S_OKAY;
}
