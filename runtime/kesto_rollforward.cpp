// Reading the journal for recovery: whether a transaction committed, and
// the roll-forward, which writes every committed transaction of the journal
// into the database files again.
//
// The roll-forward scans the journal in order, keeping each transaction
// that started and has not ended; at its commit entry the transaction's
// changes are read again from its start and written at their places in the
// files the checkpoint file names. A transaction without a commit entry is
// never applied. The after-images can be written any number of times, so a
// roll-forward that is interrupted is simply run again: the journal is
// emptied only once every file it named is on disk.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"

namespace {

// Large enough for any entry: a length is 16 bits.
constexpr int ENTRY_CAPACITY = 65536;

struct listed_file {
  std::string name;  // with the working directory
  int fd = -1;
};

struct file_pair {
  uint16_t file;
  uint16_t slot;
};

// A transaction that started and has not ended yet.
struct pending_transaction {
  uint32_t position;  // of its start entry
  uint32_t id;
  bool listed = false;  // its files entry was seen
  std::vector<file_pair> pairs;
};

// Where the search for a descriptor to close goes on; shared by all calls.
int last_closed = -1;

int fail(int msg, const char *fmt, uint32_t at) { return dberr_code(S_TJFERR, msg, fmt, at); }

// The descriptor of a listed file, opened read-write when it is not; -1
// on failure. Out of descriptors, one other listed file is closed first.
int open_db_file(int slot, std::vector<listed_file> *list) {
  const kesto_io_methods *io = kesto_io();
  listed_file &f = (*list)[static_cast<size_t>(slot)];
  if (f.fd >= 0) return f.fd;
  int fd = open_b(f.name.c_str(), O_RDWR);
  if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
    const int count = static_cast<int>(list->size());
    for (int i = 1; i <= count; ++i) {
      int k = (last_closed + i) % count;
      listed_file &other = (*list)[static_cast<size_t>(k)];
      if (other.fd < 0) continue;
      int r = io->close(other.fd);
      other.fd = -1;
      last_closed = k;
      if (r < 0) {
        dberr_code(S_BADWRITE, 241, "%s: %s", other.name.c_str(), std::strerror(errno));
        return -1;
      }
      break;
    }
    fd = open_b(f.name.c_str(), O_RDWR);
    if (fd < 0) {
      dberr_code(S_NOFILE, 242, "%s: %s", f.name.c_str(), std::strerror(errno));
      return -1;
    }
  } else if (fd < 0) {
    dberr_code(S_TJFERR, 240, "Roll_forward: TCF entry(%d) file \"%s\": error = %d", slot, f.name.c_str(), errno);
    return -1;
  }
  f.fd = fd;
  return fd;
}

void close_all(std::vector<listed_file> *list) {
  for (listed_file &f : *list) {
    if (f.fd >= 0) kesto_io()->close(f.fd);
    f.fd = -1;
  }
}

pending_transaction *find(std::vector<pending_transaction> &pending, uint32_t id) {
  for (pending_transaction &p : pending)
    if (p.id == id) return &p;
  return nullptr;
}

void drop(std::vector<pending_transaction> &pending, const pending_transaction *p) {
  pending.erase(pending.begin() + (p - pending.data()));
}

class roll_forward {
 public:
  explicit roll_forward(bool apply) : apply_(apply), entry_(ENTRY_CAPACITY) {}
  ~roll_forward() { close_all(&files_); }

  int run() {
    db_task &t = kt();
    if (read_file_list() != S_OKAY) return db_status;
    uint32_t position;
    if (sync_file(t.tjf_fd) != S_OKAY || tjf_read_hdr(t.tjf_fd, &header_, &position, &end_) != S_OKAY)
      return db_status;
    bool journal_damaged = false;
    for (;;) {
      const uint32_t at = position;
      int outcome;
      if (tjf_read_entry(t.tjf_fd, entry_.data(), ENTRY_CAPACITY, true, &position, end_, &outcome) != S_OKAY)
        return db_status;
      if (outcome == tjf::END_REACHED) break;
      if (outcome == tjf::DAMAGED) {
        journal_damaged = true;
        break;
      }
      if (scan_entry(at) != S_OKAY) return db_status;
    }
    // Transactions still pending never committed: nothing of them is used.
    for (size_t slot = 0; slot < files_.size(); ++slot) {
      if (open_db_file(static_cast<int>(slot), &files_) < 0) return db_status;
      listed_file &f = files_[slot];
      if (sync_file(f.fd) != S_OKAY) return db_status;
      int r = kesto_io()->close(f.fd);
      f.fd = -1;
      if (r < 0) return dberr_code(S_BADWRITE, 269, "%s: %s", f.name.c_str(), std::strerror(errno));
    }
    return tjf_truncate(header_.id_base, apply_ && (journal_damaged || list_damaged_));
  }

 private:
  int read_file_list() {
    db_task &t = kt();
    uint32_t position, end;
    if (tcf_read_hdr(t.tcf_fd, &position, &end) != S_OKAY) return db_status;
    unsigned char entry[tjf::NAME_BUFFER];
    for (;;) {
      int outcome;
      if (tcf_read_entry(t.tcf_fd, entry, true, &position, end, &outcome) != S_OKAY) return db_status;
      if (outcome == tjf::END_REACHED) return S_OKAY;
      if (outcome == tjf::DAMAGED) {
        list_damaged_ = true;
        return S_OKAY;
      }
      char path[PATHLEN];
      vpathcpy(path, reinterpret_cast<const char *>(entry + 4), PATHLEN);
      if (prefix_dbwdir(path) != S_OKAY) return db_status;
      files_.push_back({path, -1});
    }
  }

  int scan_entry(uint32_t at) {
    const tjf::entry_header h = tjf::get_entry_header(entry_.data());
    pending_transaction *p = find(pending_, h.id);
    switch (h.type) {
      case tjf::START:
        if (p) return dberr_code(S_TJFERR, 896, "Duplicate TJF_START found (0x%08X) for 0x%08X", at, p->position);
        pending_.push_back({at, h.id, false, {}});
        return S_OKAY;
      case tjf::CHANGE:
        if (!p) return fail(897, "TJF_START missing for TJF_ENTRY_CHANGE (0x%08X)", at);
        return S_OKAY;
      case tjf::FILES:
        return list_pairs(p, h, at);
      case tjf::ABORT:
      case tjf::COMMIT:
        if (!p) return fail(898, "TJF_START missing for TJF_ENTRY_COMMIT/ABORT (0x%08X)", at);
        if (h.type == tjf::COMMIT && apply_changes(*p) != S_OKAY) return db_status;
        drop(pending_, p);
        return S_OKAY;
      default:
        std::fprintf(stderr, "Unknown tjf entry type (0x%08X)\n", at);
        return fail(268, "Unknown tjf entry type (0x%08X)", at);
    }
  }

  int list_pairs(pending_transaction *p, const tjf::entry_header &h, uint32_t at) {
    if (!p) return fail(899, "TJF_START missing for TJF_ENTRY_FILES (0x%08X)\n", at);
    if (p->listed)
      return dberr_code(S_TJFERR, 900, "Duplicate TJF_ENTRY_FILES found (0x%08X) for 0x%08X", at, p->position);
    const int count = get_u16(entry_.data() + tjf::ENTRY_HEADER);
    if (count > tjf::MAX_PAIRS || tjf::FILES_LENGTH(count) > h.length)
      return fail(901, "Too many files in TJF_ENTRY_FILES found (0x%08X)", at);
    p->listed = true;
    for (int i = 0; i < count; ++i) {
      const unsigned char *pair = entry_.data() + 14 + 4 * i;
      file_pair fp{get_u16(pair), get_u16(pair + 2)};
      if (fp.slot >= files_.size())
        return dberr_code(S_TJFERR, 902, "tjf files tcf_slot %d out of range (0x%08X)", fp.slot, at);
      p->pairs.push_back(fp);
    }
    return S_OKAY;
  }

  // Writes the changes of a committed transaction, read again from its
  // start up to its commit entry.
  int apply_changes(const pending_transaction &p) {
    const int fd = kt().tjf_fd;
    std::vector<unsigned char> entry(ENTRY_CAPACITY);
    uint32_t position = p.position + tjf::START_LENGTH;
    for (;;) {
      const uint32_t at = position;
      int outcome;
      if (tjf_read_entry(fd, entry.data(), ENTRY_CAPACITY, false, &position, end_, &outcome) != S_OKAY)
        return db_status;
      if (outcome != tjf::ENTRY_READ) return fail(256, "transaction at 0x%08X has no commit entry", p.position);
      const tjf::entry_header h = tjf::get_entry_header(entry.data());
      if (h.id != p.id || h.type == tjf::FILES) continue;
      if (h.type == tjf::COMMIT) return S_OKAY;
      if (h.type != tjf::CHANGE) return fail(903, "Unknown tjf entry looking for changes (0x%08X)", at);
      const uint16_t file = get_u16(entry.data() + 16);
      int slot = -1;
      for (const file_pair &fp : p.pairs)
        if (fp.file == file) slot = fp.slot;
      if (slot < 0) return fail(904, "Invalid file_no in tjf change entry (0x%08X)", at);
      if (!apply_) continue;
      const int db = open_db_file(slot, &files_);
      if (db < 0) return db_status;
      if (tjf_write(db, entry.data() + tjf::CHANGE_HEADER, h.length - tjf::CHANGE_HEADER,
                    static_cast<off_t>(get_u32(entry.data() + 12)), 905, 906) != S_OKAY)
        return db_status;
    }
  }

  const bool apply_;
  std::vector<unsigned char> entry_;
  std::vector<listed_file> files_;
  bool list_damaged_ = false;
  std::vector<pending_transaction> pending_;
  tjf::journal_header header_;
  uint32_t end_ = 0;
};

// The current time as ctime gives it, without its newline.
std::string now_text() {
  time_t now = time(nullptr);
  char text[64];
  if (!ctime_r(&now, text)) return "";
  std::string s(text);
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

}  // namespace

int tjf_recover_commit(uint32_t id) {
  if (id == 0) return db_status = S_OKAY;
  db_task &t = kt();
  // Without its journal nobody can tell whether the transaction committed.
  if (t.tjf_fd < 0) {
    char path[PATHLEN];
    vpathcpy(path, t.tjf_name, PATHLEN);
    if (prefix_dbwdir(path) != S_OKAY) return db_status;
    if (kesto_io()->access(path, F_OK) < 0 && errno == ENOENT)
      return dberr_code(S_TJFERR, 908, "no journal %s to look up journal transaction %u", path, id);
  }
  if (tjf_open() != S_OKAY || tjf_access(nullptr) != S_OKAY) return db_status;
  tjf::journal_header header;
  uint32_t position, end;
  int result = tjf_read_hdr(t.tjf_fd, &header, &position, &end);
  std::vector<unsigned char> entry(ENTRY_CAPACITY);
  while (result == S_OKAY) {
    const uint32_t at = position;
    int outcome;
    if (tjf_read_entry(t.tjf_fd, entry.data(), ENTRY_CAPACITY, true, &position, end, &outcome) != S_OKAY) {
      result = db_status;
      break;
    }
    if (outcome != tjf::ENTRY_READ) {
      result = S_NOTFOUND;
      break;
    }
    const tjf::entry_header h = tjf::get_entry_header(entry.data());
    if (h.type == 0 || h.type > tjf::ABORT) {
      result = dberr_code(S_TJFERR, 271, "Unknown tjf entry type (0x%08lX)", static_cast<unsigned long>(at));
    } else if (h.id == id && h.type == tjf::COMMIT) {
      break;
    } else if (h.id == id && h.type == tjf::ABORT) {
      result = S_NOTFOUND;
    }
  }
  tjf_release(nullptr);
  return db_status = result;
}

int tjf_roll_forward(bool apply) {
  db_task &t = kt();
  if (opt_on(OPT_READONLY)) return dberr_code(S_READONLY, 260);
  // The journal is emptied at the end: a transaction of this task in it
  // would lose its start.
  if (trans_active()) return dberr_code(S_TRACTIVE, 907);
  char shown[PATHLEN];
  vpathcpy(shown, t.tjf_name, PATHLEN);
  if (prefix_dbwdir(shown) != S_OKAY) vpathcpy(shown, t.tjf_name, PATHLEN);
  if (apply) dbout_code(532, 2, "Rollforward recovery using \"%s\" started %s", shown, now_text().c_str());
  // The files change behind the cache: what this task has cached is written
  // first and forgotten after.
  int status = dio_flush();
  if (status == S_OKAY) status = tjf_open();
  if (status == S_OKAY) status = tjf_access(nullptr);
  if (status == S_OKAY) {
    status = roll_forward(apply).run();
    if (t.tjf_fd >= 0) tjf_release(nullptr);
    dio_clear();
  }
  if (apply) {
    if (status == S_OKAY)
      dbout_code(605, 2, "Rollforward recovery using \"%s\" finished %s", shown, now_text().c_str());
    else
      dbout_code(533, 0, "Rollforward recovery using \"%s\" failed %s: status %d", shown, now_text().c_str(), status);
    std::fflush(stdout);
  }
  return db_status = status;
}
