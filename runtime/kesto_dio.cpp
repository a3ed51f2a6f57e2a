// Page cache and file I/O.
//
// One process-wide cache of data pages (pages of data and key files) and a
// small cache of overflow-index pages. Pages are found through a hash table,
// replaced with a clock (second-chance) sweep, and written back on eviction
// and flush. Each page belongs to the task that read it; a task sees only its
// own pages. Open descriptors are kept under a per-task limit with a second
// clock over the task's descriptor table.
//
// Page slot i and lookup entry i belong together for ever; a lookup entry
// that has held a page is on `in_use_chain` (newest first) until it is
// emptied again.
#include <fcntl.h>
#include <unistd.h>

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"
#include "runtime/kesto_page.h"
#include "runtime/kesto_writerun.h"

namespace {

constexpr int HASH_SIZE = 1024;
constexpr int DATA_BUCKETS = 1021;
constexpr int INDEX_BUCKETS = 3;
constexpr int NIL = -1;

int db_pgtab_sz = 16;
int ix_pgtab_sz = 4;
page_slot *Dbpg_table = nullptr;
lookup_entry *Db_lookup = nullptr;
page_slot *Ixpg_table = nullptr;
lookup_entry *Ix_lookup = nullptr;
int hash[HASH_SIZE];      // first 1021 data buckets, then the 3 index buckets
int *ix_hash = hash + DATA_BUCKETS;
int in_use_chain = NIL;
int dbpg_lru_slot = 0;
int ixpg_lru_slot = 0;
int no_modheld = 0;
int working_file = -1;
int largest_page = 0;
char *Dbpgbuff = nullptr;
int cache_users = 0;

struct last_lookup {
  db_task *task;
  int file;
  int32_t page;
  int lu;
} last_dblu = {nullptr, -1, -1, NIL};

uint32_t num_cache_accesses = 0;
uint32_t num_redundant_cache_accesses = 0;
uint32_t num_cache_misses = 0;
CACHE_CALLBACK cache_callback_p = nullptr;
void *cache_callback_handle = nullptr;

bool tables_exist() { return Dbpg_table != nullptr; }

int bucket_of(int file, uint32_t page, bool index) {
  uint32_t key = ((page % 65536u) << 8) | (static_cast<uint32_t>(file) & 0xFFu);
  return index ? static_cast<int>(key % INDEX_BUCKETS) : static_cast<int>(key % DATA_BUCKETS);
}

int &bucket_head(int file, uint32_t page, bool index) {
  return index ? ix_hash[bucket_of(file, page, index)] : hash[bucket_of(file, page, index)];
}

lookup_entry *lookups(bool index) { return index ? Ix_lookup : Db_lookup; }
page_slot *slots(bool index) { return index ? Ixpg_table : Dbpg_table; }

void clear_last() { last_dblu = {nullptr, -1, -1, NIL}; }

void empty_entry(lookup_entry &lu) {
  lu.task = nullptr;
  lu.file = -1;
  lu.pageno = -1;
  lu.next_hash = NIL;
}

void chain_push(int i) {
  lookup_entry &lu = Db_lookup[i];
  lu.prev_inuse = NIL;
  lu.next_inuse = in_use_chain;
  if (in_use_chain != NIL) Db_lookup[in_use_chain].prev_inuse = i;
  in_use_chain = i;
  lu.in_chain = 1;
}

void chain_remove(int i) {
  lookup_entry &lu = Db_lookup[i];
  if (!lu.in_chain) return;
  if (lu.prev_inuse != NIL) Db_lookup[lu.prev_inuse].next_inuse = lu.next_inuse;
  else in_use_chain = lu.next_inuse;
  if (lu.next_inuse != NIL) Db_lookup[lu.next_inuse].prev_inuse = lu.prev_inuse;
  lu.next_inuse = lu.prev_inuse = NIL;
  lu.in_chain = 0;
}

// Takes an entry out of the bucket it belongs to.
int unhash(int i, bool index) {
  lookup_entry *lus = lookups(index);
  lookup_entry &lu = lus[i];
  int *link = &bucket_head(lu.file, static_cast<uint32_t>(lu.pageno), index);
  while (*link != NIL) {
    lookup_entry &other = lus[*link];
    if (*link == i) {
      *link = lu.next_hash;
      lu.next_hash = NIL;
      return S_OKAY;
    }
    if (other.task == lu.task && other.file == lu.file && other.pageno == lu.pageno)
      return dberr_code(S_SYSERR, 46);
    link = &other.next_hash;
  }
  return dberr_code(S_SYSERR, 45);
}

int search_bucket(db_task *task, int file, uint32_t page, bool index) {
  lookup_entry *lus = lookups(index);
  for (int i = bucket_head(file, page, index); i != NIL; i = lus[i].next_hash) {
    if (lus[i].task == task && lus[i].file == file && lus[i].pageno == static_cast<int32_t>(page))
      return i;
  }
  return NIL;
}

void mark_used(int file) {
  db_task &t = kt();
  if (file < 0 || file > t.size_ft) return;
  int fd = t.file_table[file].desc;
  if (fd >= 0 && fd < t.ring_size) t.ring[fd].used = 1;
}

// Runs a function with another task current, as eviction must.
template <typename F>
int as_task(db_task *owner, F f) {
  db_task *saved = Kestotask.block;
  Kestotask.block = owner;
  int status = f();
  Kestotask.block = saved;
  return status;
}

void count_modheld(page_slot &s) {
  if (!s.modified && s.holdcnt == 0) ++no_modheld;
}

// Set while an overflow-index page that holds nothing yet is loaded: its
// bytes are zeroed instead of read.
bool fresh_index_page = false;

int read_page(int file, uint32_t page, page_slot &s, bool index) {
  db_task &t = kt();
  if (index && fresh_index_page) {
    std::memset(s.buff, 0, static_cast<size_t>(t.file_table[t.ov_file].page_size));
    return S_OKAY;
  }
  const kesto_io_methods *io = kesto_io();
  int rfile = file;
  off_t offset;
  size_t size;
  if (index) {
    offset = static_cast<off_t>(page);
    size = static_cast<size_t>(t.file_table[t.ov_file].page_size);
  } else if (s.file_pos) {
    rfile = t.ov_file;
    offset = static_cast<off_t>(s.file_pos);
    size = static_cast<size_t>(t.file_table[file].page_size);
  } else {
    size = static_cast<size_t>(t.file_table[file].page_size);
    offset = static_cast<off_t>(page) * static_cast<off_t>(size);
  }
  if (dio_open(rfile) != S_OKAY) return db_status;
  int fd = t.file_table[rfile].desc;
  for (int tries = 0;; ++tries) {
    errno = 0;
    ssize_t n = io->pread(fd, s.buff, size, offset);
    if (n == static_cast<ssize_t>(size)) break;
    if (n >= 0 && errno == 0) {
      // Beyond the end of the file: the page comes back zero-filled and the
      // file is extended to hold it.
      if (opt_on(OPT_READONLY)) return dberr_code(S_READONLY, 54);
      long block = 0;
      if (fsblock_size(fd, &block) != S_OKAY) return db_status;
      if (block > static_cast<long>(size)) {
        char zero = 0;
        ssize_t w = io->pwrite(fd, &zero, 1, offset | static_cast<off_t>(block - 1));
        if (w < 0) return dberr_code(S_BADWRITE, 56);
        if (w != 1) return dberr_code(S_NOSPACE, 57);
      }
      std::memset(s.buff + n, 0, size - static_cast<size_t>(n));
      ssize_t w = io->pwrite(fd, s.buff, size, offset);
      if (w < 0) return dberr_code(S_BADWRITE, 59);
      if (w != static_cast<ssize_t>(size)) return dberr_code(S_NOSPACE, 60);
      break;
    }
    if (n < 0 && errno == EINVAL && tries < 5) continue;
    return dberr_code(S_SYSERR, 61, "%s: %s", t.file_table[rfile].name, std::strerror(errno));
  }
  if (opt_on(OPT_CLOSEFILES)) dio_close(rfile);
  return S_OKAY;
}

// Where dio_out writes a page: its own place (stamped with the time) or
// its copy's place in the overflow file; an overflow-index page at its
// position.
struct page_target {
  int file;
  off_t offset;
  size_t size;
};

page_target target_of(page_slot &s, const lookup_entry &lu, bool is_data) {
  db_task &t = kt();
  if (is_data && s.file_pos == 0) {
    put_u32(s.buff, static_cast<uint32_t>(time(nullptr)));
    size_t size = static_cast<size_t>(t.file_table[lu.file].page_size);
    return {lu.file, static_cast<off_t>(lu.pageno) * static_cast<off_t>(size), size};
  }
  off_t offset = static_cast<off_t>(is_data ? s.file_pos : static_cast<uint32_t>(lu.pageno));
  size_t size = static_cast<size_t>(is_data ? t.file_table[lu.file].page_size : t.file_table[t.ov_file].page_size);
  return {t.ov_file, offset, size};
}

// The most pages written with an eviction victim.
constexpr size_t WRITE_BEHIND = 64;

// Writes a changed data page that is to be evicted, and with it the other
// changed pages of its task that the clock reaches next (not held, not
// recently used): in file and page order they take places that follow one
// another in the overflow file (or lie side by side in their own files)
// and go out in few calls instead of one each. The others stay cached,
// clean. Outside a transaction every page goes to its own place.
// Whether a changed page of the current task goes straight to its file: only
// outside a transaction, and in shared mode only for a file locked
// exclusively; otherwise it goes to the overflow file.
bool in_place(const lookup_entry &lu) {
  return !trans_active() && (kt().open_state != 1 || lock_exclusive(lu.file));
}

int write_behind(int victim) {
  db_task &owner = kt();
  if (opt_on(OPT_READONLY)) return dberr_code(S_READONLY, 47);
  std::vector<int> group{victim};
  for (int k = 0; k < db_pgtab_sz && group.size() < WRITE_BEHIND; ++k) {
    int j = (dbpg_lru_slot + k) % db_pgtab_sz;
    const page_slot &o = Dbpg_table[j];
    const lookup_entry &olu = Db_lookup[o.lu_index];
    if (j != victim && o.modified && !o.holdcnt && !o.recently_used && o.buff && olu.task == &owner &&
        (in_place(olu) || owner.ov_active))
      group.push_back(j);
  }
  std::sort(group.begin(), group.end(), [](int a, int b) {
    const lookup_entry &x = Db_lookup[Dbpg_table[a].lu_index], &y = Db_lookup[Dbpg_table[b].lu_index];
    return x.file != y.file ? x.file < y.file : x.pageno < y.pageno;
  });
  write_run run;
  for (int j : group) {
    page_slot &p = Dbpg_table[j];
    lookup_entry &lu = Db_lookup[p.lu_index];
    if (!in_place(lu)) {
      if (o_place(&p, &lu) != S_OKAY) return db_status;
    } else {
      p.file_pos = 0;
    }
    const page_target to = target_of(p, lu, true);
    auto written = [&p, &lu, &owner] {
      // A copy in the overflow file must be copied back by the commit.
      if (p.file_pos) owner.ov_evicted = 1;
      p.modified = 0;
      --no_modheld;
      if (cache_callback_p) cache_callback_p(cache_callback_handle, 1, lu.file, static_cast<uint32_t>(lu.pageno));
    };
    if (run.add(to.file, to.offset, p.buff, to.size, 0, written) != S_OKAY) return db_status;
  }
  return run.flush();
}

// Writes out a modified eviction victim under its owner. Returns 1 when the
// slot may be taken, 0 when it must be passed over, or a negative status.
int write_victim(int i, bool index) {
  page_slot &s = slots(index)[i];
  lookup_entry &lu = lookups(index)[s.lu_index];
  return as_task(lu.task, [&]() -> int {
    db_task &owner = kt();
    if (index) {
      if (dio_out(&s, &lu, 1, 0) != S_OKAY) return db_status;
      s.modified = 0;
      return 1;
    }
    if (!in_place(lu)) {
      if (!owner.ov_active) {
        if (trans_active() && no_modheld == db_pgtab_sz) owner.ov_active = 1;
        else return 0;
      }
    }
    if (!s.buff) return dberr_code(S_INVPTR, 48);
    return write_behind(i) == S_OKAY ? 1 : db_status;
  });
}

}  // namespace

bool dio_tables_exist() { return tables_exist(); }
int dio_modheld() { return no_modheld; }
int dio_data_pages() { return db_pgtab_sz; }
int dio_index_pages() { return ix_pgtab_sz; }
int dio_working_file() { return working_file; }

int d_setpages(int data_pages, int index_pages) {
  db_enter(-2, nullptr);
  if (tables_exist()) return dberr_code(S_SETPAGES, 6);
  db_pgtab_sz = data_pages < 8 ? 8 : data_pages;
  ix_pgtab_sz = index_pages < 2 ? 2 : index_pages;
  return db_status = S_OKAY;
}

int dt_setfiles(int count, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  if (kt().open_state) dt_closeall();
  if (count >= 1 && count <= 255) kt().max_open_files = count;
  return db_status = S_OKAY;
}

int d_getcachestats(uint32_t *accesses, uint32_t *redundant, uint32_t *misses) {
  if (accesses) *accesses = num_cache_accesses;
  if (redundant) *redundant = num_redundant_cache_accesses;
  if (misses) *misses = num_cache_misses;
  return S_OKAY;
}

int d_zerocachestats() {
  num_cache_accesses = num_redundant_cache_accesses = num_cache_misses = 0;
  return S_OKAY;
}

int d_cachecallback(CACHE_CALLBACK callback, void *handle) {
  cache_callback_p = callback;
  cache_callback_handle = handle;
  return S_OKAY;
}

int dio_init() {
  db_task &t = kt();
  if (t.size_ft > t.pgzero_size) {
    size_t n = static_cast<size_t>(t.size_ft), old = static_cast<size_t>(t.pgzero_size);
    if (alloc_table(reinterpret_cast<void **>(&t.file_stamps), n * sizeof(uint32_t),
                    old * sizeof(uint32_t)) != S_OKAY ||
        alloc_table(reinterpret_cast<void **>(&t.pgzero), n * sizeof(pgzero_entry),
                    old * sizeof(pgzero_entry)) != S_OKAY)
      return db_status;
    t.pgzero_size = t.size_ft;
  }
  if (!tables_exist()) {
    Db_lookup = static_cast<lookup_entry *>(d_alloc(sizeof(lookup_entry) * db_pgtab_sz));
    Dbpg_table = static_cast<page_slot *>(d_alloc(sizeof(page_slot) * db_pgtab_sz));
    if (!Db_lookup || !Dbpg_table) {
      d_free(&Db_lookup);
      d_free(&Dbpg_table);
      return dberr_code(S_NOMEMORY, 11);
    }
    Ix_lookup = static_cast<lookup_entry *>(d_alloc(sizeof(lookup_entry) * ix_pgtab_sz));
    Ixpg_table = static_cast<page_slot *>(d_alloc(sizeof(page_slot) * ix_pgtab_sz));
    if (!Ix_lookup || !Ixpg_table) {
      d_free(&Db_lookup);
      d_free(&Dbpg_table);
      d_free(&Ix_lookup);
      d_free(&Ixpg_table);
      return dberr_code(S_NOMEMORY, 12);
    }
    largest_page = t.largest_page;
    Dbpgbuff = static_cast<char *>(d_alloc(static_cast<size_t>(largest_page)));
    if (!Dbpgbuff) {
      d_free(&Db_lookup);
      d_free(&Dbpg_table);
      d_free(&Ix_lookup);
      d_free(&Ixpg_table);
      return dberr_code(S_NOMEMORY, 13);
    }
    for (int index = 0; index < 2; ++index) {
      int n = index ? ix_pgtab_sz : db_pgtab_sz;
      for (int i = 0; i < n; ++i) {
        lookup_entry &lu = lookups(index)[i];
        empty_entry(lu);
        lu.pg_index = static_cast<int16_t>(i);
        lu.next_inuse = lu.prev_inuse = NIL;
        lu.in_chain = 0;
        slots(index)[i].lu_index = static_cast<int16_t>(i);
      }
    }
    for (int &h : hash) h = NIL;
    in_use_chain = NIL;
    dbpg_lru_slot = ixpg_lru_slot = 0;
    no_modheld = 0;
    working_file = -1;
    clear_last();
  } else if (t.largest_page > largest_page) {
    char *buff = static_cast<char *>(d_alloc(static_cast<size_t>(t.largest_page)));
    if (!buff) return dberr_code(S_NOMEMORY, 10);
    d_free(&Dbpgbuff);
    Dbpgbuff = buff;
    largest_page = t.largest_page;
  }
  if (!t.cache_user) {
    t.cache_user = 1;
    ++cache_users;
  }
  return S_OKAY;
}

int dio_findpg(int file, uint32_t page, dio_table table, page_slot **slot_out,
               lookup_entry **lu_out) {
  db_task &t = kt();
  *slot_out = nullptr;
  *lu_out = nullptr;
  if (table == DIO_DATA) ++num_cache_accesses;
  if (file < 0 || file > t.size_ft || !tables_exist()) return dberr_code(S_SYSERR, 42);
  bool index = table == DIO_INDEX;
  lookup_entry *lus = lookups(index);
  page_slot *pgs = slots(index);

  if (!index) {
    if (last_dblu.task == &t && last_dblu.file == file &&
        last_dblu.page == static_cast<int32_t>(page) && last_dblu.lu != NIL) {
      ++num_redundant_cache_accesses;
      *lu_out = &Db_lookup[last_dblu.lu];
      *slot_out = &Dbpg_table[(*lu_out)->pg_index];
      return db_status = S_OKAY;
    }
  }
  int hit = search_bucket(&t, file, page, index);
  if (hit != NIL) {
    if (!index) last_dblu = {&t, file, static_cast<int32_t>(page), hit};
    *lu_out = &lus[hit];
    *slot_out = &pgs[lus[hit].pg_index];
    return db_status = S_OKAY;
  }
  if (table == DIO_NONE) return db_status = S_NOTFOUND;

  if (!index) {
    ++num_cache_misses;
    if (cache_callback_p) cache_callback_p(cache_callback_handle, 0, file, page);
  }
  uint32_t position = 0;
  if (!index && t.ov_active && file != t.ov_file) {
    if (o_search(file, page, &position) != S_OKAY) return db_status;
  }

  // Choose a slot: the clock sweep.
  int size = index ? ix_pgtab_sz : db_pgtab_sz;
  int &hand = index ? ixpg_lru_slot : dbpg_lru_slot;
  if (!index && trans_active() && no_modheld == size && !t.ov_active) t.ov_active = 1;
  int victim = NIL;
  for (int examined = 0; examined < 2 * size && victim == NIL; ++examined) {
    int i = hand;
    hand = (hand + 1) % size;
    page_slot &s = pgs[i];
    if (s.holdcnt) continue;
    if (s.recently_used) {
      s.recently_used = 0;
      continue;
    }
    if (s.modified) {
      int r = write_victim(i, index);
      if (r < 0) return r;
      if (r == 0) continue;
    }
    victim = i;
  }
  if (victim == NIL) return dberr_code(S_FAULT, 43);

  page_slot &s = pgs[victim];
  int li = s.lu_index;
  lookup_entry &lu = lus[li];
  if (lu.file != -1) {
    if (unhash(li, index) != S_OKAY) return db_status;
    if (!index && last_dblu.lu == li) clear_last();
  } else if (!index && !lu.in_chain) {
    chain_push(li);
  }
  s.file_pos = position;
  s.recently_used = 1;
  size_t need = static_cast<size_t>(
      index ? t.file_table[t.ov_file].page_size : t.file_table[file].page_size);
  if (!s.buff || s.buff_size < need) {
    size_t bytes = static_cast<size_t>(largest_page) > need ? static_cast<size_t>(largest_page) : need;
    char *buff = static_cast<char *>(d_alloc(bytes));
    if (!buff) {
      empty_entry(lu);
      if (!index) chain_remove(li);
      s.recently_used = 0;
      s.file_pos = 0;
      return dberr_code(S_NOMEMORY, 44);
    }
    d_free(&s.buff);
    s.buff = buff;
    s.buff_size = static_cast<uint32_t>(bytes);
  }
  lu.task = &t;
  lu.file = static_cast<int16_t>(file);
  lu.pageno = static_cast<int32_t>(page);
  if (!index) last_dblu = {&t, file, static_cast<int32_t>(page), li};

  if (read_page(file, page, s, index) != S_OKAY) {
    int status = db_status;
    empty_entry(lu);
    if (!index) chain_remove(li);
    s.recently_used = 0;
    s.file_pos = 0;
    clear_last();
    return db_status = status;
  }
  int &head = bucket_head(file, page, index);
  lu.next_hash = head;
  head = li;
  *lu_out = &lu;
  *slot_out = &s;
  return db_status = S_OKAY;
}

int dio_get(uint32_t page, char **buffer, int hold) {
  db_task &t = kt();
  *buffer = nullptr;
  int file = working_file;
  if (file < 0 || file >= t.size_ft) return dberr_code(S_NOWORK, 704);
  // A page held is held to be changed: in a shared open the locks are
  // checked before the caller changes anything.
  if ((hold ? lock_check_write(file, 19, 20) : lock_check_read(file, 16)) != S_OKAY) return db_status;
  if (t.pgzero[file].next == 0 && dio_pzread(file) != S_OKAY) return db_status;
  page_slot *s;
  lookup_entry *lu;
  if (dio_findpg(file, page, DIO_DATA, &s, &lu) != S_OKAY) return db_status;
  s->recently_used = 1;
  mark_used(file);
  if (!s->buff) return dberr_code(S_INVPTR, 17);
  if (hold) {
    if (s->holdcnt) return dberr_code(S_SYSERR, 18);
    count_modheld(*s);
    s->holdcnt = 1;
  }
  *buffer = s->buff;
  return db_status = S_OKAY;
}

int dio_touch(uint32_t page) {
  db_task &t = kt();
  int file = working_file;
  if (file < 0 || file >= t.size_ft) return dberr_code(S_NOWORK, 705);
  if (lock_check_write(file, 19, 20) != S_OKAY) return db_status;
  if (trans_active() && o_fileinit(file) != S_OKAY) return db_status;
  page_slot *s;
  lookup_entry *lu;
  if (dio_findpg(file, page, DIO_DATA, &s, &lu) != S_OKAY) return db_status;
  count_modheld(*s);
  s->modified = 1;
  if (s->holdcnt > 0) --s->holdcnt;
  return db_status = S_OKAY;
}

int dio_unget(uint32_t page) {
  int file = working_file;
  if (file < 0 || file >= kt().size_ft) return dberr_code(S_NOWORK, 706);
  page_slot *s;
  lookup_entry *lu;
  if (dio_findpg(file, page, DIO_NONE, &s, &lu) != S_OKAY) {
    // A page that is not cached holds nothing to give back.
    return db_status = S_OKAY;
  }
  if (s->holdcnt > 0 && --s->holdcnt == 0 && !s->modified) --no_modheld;
  return db_status = S_OKAY;
}

namespace {

// Loads the page of a slot; sets *offset to the slot's place in the page.
// Both outputs are set on every path: a failure's status is the error
// reporter's, which the compiler cannot tell from success.
int load_slot(int file, uint32_t slot, int msg_slot, page_slot **s, size_t *offset) {
  *s = nullptr;
  *offset = 0;
  db_task &t = kt();
  if (t.pgzero[file].next == 0 && dio_pzread(file) != S_OKAY) return db_status;
  const file_entry &fe = t.file_table[file];
  if (slot < 1 || slot >= t.pgzero[file].next) return dberr_code(S_INVADDR, msg_slot);
  uint32_t spp = static_cast<uint32_t>(fe.slots);
  uint32_t page = (slot - 1) / spp + 1;
  *offset = 4 + static_cast<size_t>((slot - 1) % spp) * static_cast<size_t>(fe.slot_size);
  lookup_entry *lu;
  if (dio_findpg(file, page, DIO_DATA, s, &lu) != S_OKAY) return db_status;
  (*s)->recently_used = 1;
  mark_used(file);
  return S_OKAY;
}

int rel_file(db_address dba, int msg) {
  db_entry *db = curr_dbt();
  int rel = static_cast<int>(dba >> FILE_SHIFT);
  if (!db || rel >= db->slice[TBL_FILE].count) {
    dberr_code(S_SYSERR, msg);
    return -1;
  }
  return rel + db->slice[TBL_FILE].first;
}

}  // namespace

int dio_read_slot(int file, uint32_t slot, char **record, int hold) {
  *record = nullptr;
  if ((hold ? lock_check_write(file, 26, 27) : lock_check_read(file, 22)) != S_OKAY) return db_status;
  page_slot *s;
  size_t offset;
  if (load_slot(file, slot, 23, &s, &offset) != S_OKAY) return db_status;
  if (hold) {
    count_modheld(*s);
    ++s->holdcnt;
  }
  *record = s->buff + offset;
  return db_status = S_OKAY;
}

int dio_write_slot(int file, uint32_t slot, const char *record, int release) {
  if (lock_check_write(file, 26, 27) != S_OKAY) return db_status;
  if (trans_active() && o_fileinit(file) != S_OKAY) return db_status;
  page_slot *s;
  size_t offset;
  if (load_slot(file, slot, 28, &s, &offset) != S_OKAY) return db_status;
  if (record)
    std::memcpy(s->buff + offset, record, static_cast<size_t>(kt().file_table[file].slot_size));
  count_modheld(*s);
  s->modified = 1;
  if (release) {
    if (s->holdcnt <= 0) return dberr_code(S_SYSERR, 30);
    --s->holdcnt;
  }
  return db_status = S_OKAY;
}

int dio_read(db_address dba, char **record, int hold) {
  *record = nullptr;
  int file = rel_file(dba, 21);
  if (file < 0) return db_status;
  return dio_read_slot(file, dba & SLOT_MASK, record, hold);
}

namespace {

// Runs a read with the open state forced to exclusive, so that it neither
// waits for nor checks locks.
template <typename Read>
int without_lock_checks(Read read) {
  db_task &t = kt();
  int saved = t.open_state;
  t.open_state = 2;
  int status = read();
  t.open_state = saved;
  return status;
}

}  // namespace

int dio_read_nolock(db_address dba, char **record, int hold) {
  return without_lock_checks([&] { return dio_read(dba, record, hold); });
}

int dio_read_slot_nolock(int file, uint32_t slot, char **record, int hold) {
  return without_lock_checks([&] { return dio_read_slot(file, slot, record, hold); });
}

int dio_write(db_address dba, const char *record, int release) {
  int file = rel_file(dba, 25);
  if (file < 0) return db_status;
  return dio_write_slot(file, dba & SLOT_MASK, record, release);
}

int dio_release(db_address dba, int release) {
  int file = rel_file(dba, 31);
  if (file < 0) return db_status;
  if (!release) return db_status = S_OKAY;
  const file_entry &fe = kt().file_table[file];
  uint32_t slot = dba & SLOT_MASK;
  if (slot < 1) return dberr_code(S_INVADDR, 707);
  uint32_t page = (slot - 1) / static_cast<uint32_t>(fe.slots) + 1;
  page_slot *s;
  lookup_entry *lu;
  if (dio_findpg(file, page, DIO_NONE, &s, &lu) != S_OKAY || s->holdcnt <= 0)
    return dberr_code(S_SYSERR, 708);
  if (--s->holdcnt == 0 && !s->modified) --no_modheld;
  return db_status = S_OKAY;
}

int dio_out(page_slot *s, lookup_entry *lu, int keep_open, int is_data) {
  db_task &t = kt();
  if (opt_on(OPT_READONLY)) return dberr_code(S_READONLY, 47);
  if (!s->buff) return dberr_code(S_INVPTR, 48);
  const page_target to = target_of(*s, *lu, is_data);
  int fd;
  if (keep_open) {
    if (dio_open(to.file) != S_OKAY) return db_status;
    fd = t.file_table[to.file].desc;
  } else {
    fd = open_b(t.file_table[to.file].name, O_RDWR);
    if (fd < 0) return dberr_code(S_NOFILE, 709, "%s: %s", t.file_table[to.file].name, std::strerror(errno));
  }
  struct iovec one = {s->buff, to.size};
  int status = write_at(to.file, fd, &one, 1, to.size, to.offset, 0);
  if (!keep_open) {
    int saved = errno;
    kesto_io()->close(fd);
    errno = saved;
  }
  if (status != S_OKAY) return db_status = status;
  if (keep_open && opt_on(OPT_CLOSEFILES)) dio_close(to.file);
  if (is_data && cache_callback_p)
    cache_callback_p(cache_callback_handle, 1, lu->file, static_cast<uint32_t>(lu->pageno));
  return db_status = S_OKAY;
}

int dio_flush() { return dio_flush_gathering(nullptr); }

int dio_flush_gathering(std::vector<ov_copy> *copies) {
  db_task &t = kt();
  if (!tables_exist()) return db_status = S_OKAY;
  bool phase_one = opt_on(OPT_TWOPHASE) && trans_active() && !t.trcommit;
  // The changed pages go out in file and page order: pages that follow one
  // another in a file, and copies placed one after the other in the
  // overflow file, are written in one call.
  std::vector<int> changed;
  for (int i = in_use_chain; i != NIL; i = Db_lookup[i].next_inuse) {
    lookup_entry &lu = Db_lookup[i];
    if (lu.task != &t) continue;
    page_slot &s = Dbpg_table[lu.pg_index];
    if (s.modified) changed.push_back(i);
    else s.file_pos = 0;
  }
  std::sort(changed.begin(), changed.end(), [](int a, int b) {
    const lookup_entry &x = Db_lookup[a], &y = Db_lookup[b];
    return x.file != y.file ? x.file < y.file : x.pageno < y.pageno;
  });
  // A page is clean only once it is written: a failed flush can be
  // repeated. In phase one only the pages beyond a file's old extent, which
  // went to their own places, are.
  write_run run;
  for (int i : changed) {
    lookup_entry &lu = Db_lookup[i];
    page_slot &s = Dbpg_table[lu.pg_index];
    if (opt_on(OPT_READONLY)) return dberr_code(S_READONLY, 47);
    if (!s.buff) return dberr_code(S_INVPTR, 48);
    if (phase_one) {
      if (o_place(&s, &lu) != S_OKAY) return db_status;
    } else {
      s.file_pos = 0;
    }
    const page_target to = target_of(s, lu, true);
    auto written = [&s, &lu, phase_one] {
      if (!phase_one || s.file_pos == 0) {
        s.modified = 0;
        s.holdcnt = 0;
        --no_modheld;
      }
      if (cache_callback_p) cache_callback_p(cache_callback_handle, 1, lu.file, static_cast<uint32_t>(lu.pageno));
    };
    if (copies && phase_one && to.file == t.ov_file) {
      copies->push_back({static_cast<uint32_t>(to.offset), to.size, s.buff, written});
      continue;
    }
    if (run.add(to.file, to.offset, s.buff, to.size, 0, written) != S_OKAY) return db_status;
  }
  if (run.flush() != S_OKAY) return db_status;
  clear_last();
  for (int f = 0; f < t.size_ft && f < t.pgzero_size; ++f) {
    pgzero_entry &pz = t.pgzero[f];
    if (!pz.modified) continue;
    char header[12];
    put_u32(header, pz.head);
    put_u32(header + 4, pz.next);
    put_u32(header + 8, pz.stamp);
    // Once the commit is recorded its headers are in the journal already.
    if (!t.trcommit && tjf_journal(f, 0, header, 12, 39) != S_OKAY) return db_status;
    if (phase_one) {
      if (o_pzwrite(f) != S_OKAY) return db_status;
      continue;
    }
    if (dio_open(f) != S_OKAY) return db_status;
    if (kesto_io()->pwrite(t.file_table[f].desc, header, 12, 0) != 12)
      return dberr_code(S_BADWRITE, 63, "%s", t.file_table[f].name);
    pz.modified = 0;
    t.file_table[f].flags |= FILE_WRITTEN;
  }
  if (!phase_one) return dio_commit_written(0, t.size_ft);
  return db_status = S_OKAY;
}

int dio_commit_written(int first, int end) {
  db_task &t = kt();
  if (opt_on(OPT_SYNCFILES)) {
    for (int f = first; f < end; ++f)
      if ((t.file_table[f].flags & FILE_WRITTEN) && dio_open(f) != S_OKAY) return db_status;
    // Opening one may have closed another for room, which synchronised it.
    std::vector<int> fds;
    for (int f = first; f < end; ++f) {
      const file_entry &fe = t.file_table[f];
      if ((fe.flags & FILE_WRITTEN) && fe.status == 'o' && fe.desc >= 0) fds.push_back(fe.desc);
    }
    if (commit_files(fds.data(), static_cast<int>(fds.size())) != S_OKAY) return db_status;
  }
  for (int f = first; f < end; ++f) t.file_table[f].flags &= static_cast<uint16_t>(~FILE_WRITTEN);
  return db_status = S_OKAY;
}

int dio_open(int file) {
  db_task &t = kt();
  if (file < 0 || file > t.size_ft) return dberr_code(S_SYSERR, 710);
  file_entry &fe = t.file_table[file];
  if (fe.status == 'o' && fe.desc >= 0) {
    if (fe.desc < t.ring_size) t.ring[fe.desc].used = 1;
    return db_status = S_OKAY;
  }
  // A file closed for room is synchronised on the way out; its failure is
  // this call's, or nobody would hear of it.
  while (t.open_files >= t.max_open_files) {
    int closed = dio_closelru();
    if (closed < 0) return db_status;
    if (closed == 0) break;
  }
  int fd;
  for (;;) {
    fd = open_b(fe.name, O_RDWR);
    if (fd >= 0) break;
    if (errno == EMFILE || errno == ENFILE) {
      int err = errno;
      int closed = dio_closelru();
      if (closed < 0) return db_status;
      if (closed > 0) continue;
      errno = err;
    }
    return dberr_code(S_NOFILE, 8, "%s: %s", fe.name, std::strerror(errno));
  }
  if (fd >= t.ring_size) {
    int n = fd + 5;
    if (alloc_table(reinterpret_cast<void **>(&t.ring), sizeof(ring_entry) * n,
                    sizeof(ring_entry) * t.ring_size) != S_OKAY) {
      kesto_io()->close(fd);
      return db_status;
    }
    for (int i = t.ring_size; i < n; ++i) t.ring[i] = {-1, 0};
    t.ring_size = n;
  }
  t.ring[fd] = {file, 1};
  fe.desc = static_cast<int16_t>(fd);
  fe.status = 'o';
  ++t.open_files;
  return db_status = S_OKAY;
}

int dio_closelru() {
  db_task &t = kt();
  if (t.ring_size == 0) return 0;
  for (int step = 0; step < 2 * t.ring_size; ++step) {
    int i = t.ring_hand;
    t.ring_hand = (t.ring_hand + 1) % t.ring_size;
    ring_entry &r = t.ring[i];
    if (r.file < 0) continue;
    if (r.used) {
      r.used = 0;
      continue;
    }
    if (dio_close(r.file) != S_OKAY) return db_status < 0 ? db_status : S_SYSERR;
    return 1;
  }
  return 0;
}

int dio_close(int file) {
  db_task &t = kt();
  if (file < 0 || file > t.size_ft) return dberr_code(S_SYSERR, 711);
  file_entry &fe = t.file_table[file];
  if (fe.status != 'o' || fe.desc < 0) return S_OKAY;
  int fd = fe.desc;
  int result = S_OKAY;
  if (fe.flags & FILE_WRITTEN) {
    int prior = db_status;
    if (commit_file(file, fd) != S_OKAY) {
      result = db_status;
      if (prior < 0) db_status = prior;
    } else if (opt_on(OPT_SYNCFILES)) {
      fe.flags &= ~FILE_WRITTEN;
    }
  }
  if (fd < t.ring_size) t.ring[fd] = {-1, 0};
  fe.desc = -1;
  fe.status = 'c';
  --t.open_files;
  if (kesto_io()->close(fd) < 0) {
    std::fprintf(stderr, "dio_close() of %s failed: %d\n", fe.name, errno);
    return dberr_code(S_BADWRITE, 9);
  }
  return result;
}

void dio_iclose(int dbn) {
  db_task &t = kt();
  if (dbn < 0) {
    d_free(&t.file_stamps);
    d_free(&t.pgzero);
    t.pgzero_size = 0;
    return;
  }
  // The page-zero entries go with their files, so that the files of later
  // databases keep their own headers when they move down.
  const table_slice &fs = t.db_table[dbn].slice[TBL_FILE];
  if (fs.count == 0 || fs.first >= t.pgzero_size) return;
  int last = fs.first + fs.count - 1;
  if (last >= t.pgzero_size) last = t.pgzero_size - 1;
  free_table(reinterpret_cast<void **>(&t.file_stamps), fs.first, last, t.pgzero_size,
             sizeof(uint32_t));
  free_table(reinterpret_cast<void **>(&t.pgzero), fs.first, last, t.pgzero_size,
             sizeof(pgzero_entry));
  t.pgzero_size -= last - fs.first + 1;
}

void dio_free() {
  db_task &t = kt();
  clear_last();
  d_free(&t.pgzero);
  d_free(&t.file_stamps);
  t.pgzero_size = 0;
  if (t.cache_user) {
    t.cache_user = 0;
    --cache_users;
  }
  if (cache_users > 0 || !tables_exist()) return;
  for (int index = 0; index < 2; ++index) {
    int n = index ? ix_pgtab_sz : db_pgtab_sz;
    for (int i = 0; i < n; ++i) d_free(&slots(index)[i].buff);
  }
  d_free(&Db_lookup);
  d_free(&Dbpg_table);
  d_free(&Ix_lookup);
  d_free(&Ixpg_table);
  d_free(&Dbpgbuff);
  largest_page = 0;
  in_use_chain = NIL;
  no_modheld = 0;
  working_file = -1;
}

namespace {

int drop_pages(int file) {
  db_task &t = kt();
  if (!tables_exist()) return S_OKAY;
  std::vector<int> work;
  for (int i = in_use_chain; i != NIL; i = Db_lookup[i].next_inuse)
    if (Db_lookup[i].task == &t && (file < 0 || Db_lookup[i].file == file)) work.push_back(i);
  for (int i : work) {
    lookup_entry &lu = Db_lookup[i];
    page_slot &s = Dbpg_table[lu.pg_index];
    if (lu.file > t.size_ft) return dberr_code(S_SYSERR, 15);
    s.file_pos = 0;
    if (s.modified || s.holdcnt) {
      s.modified = 0;
      s.holdcnt = 0;
      --no_modheld;
    }
    s.recently_used = 0;
    if (unhash(i, false) != S_OKAY) return db_status;
    chain_remove(i);
    empty_entry(lu);
    if (last_dblu.lu == i) clear_last();
  }
  for (int f = 0; f < t.pgzero_size; ++f) {
    if (file >= 0 && f != file) continue;
    t.pgzero[f].next = 0;
    t.pgzero[f].modified = 0;
    if (t.file_table[f].status == 'o') t.file_table[f].flags &= ~FILE_WRITTEN;
  }
  return S_OKAY;
}

}  // namespace

int dio_clear() { return db_status = drop_pages(-1); }

int dio_clrfile(int file) {
  if (file > kt().size_ft) return dberr_code(S_SYSERR, 15);
  return db_status = drop_pages(file);
}

int dio_clrfile_cond(int file, uint32_t stamp, uint32_t new_stamp) {
  db_task &t = kt();
  if (file < 0 || file >= t.pgzero_size) return dberr_code(S_SYSERR, 15);
  if (t.file_stamps[file] < stamp && dio_clrfile(file) != S_OKAY) return db_status;
  t.file_stamps[file] = new_stamp;
  return db_status = S_OKAY;
}

void dio_clrfile_cond_prep() {}

void dio_upgrade_fdtm(int file, uint32_t stamp) {
  db_task &t = kt();
  if (file >= 0 && file < t.pgzero_size) t.file_stamps[file] = stamp;
}

int dio_ixfresh(uint32_t position, page_slot **slot) {
  lookup_entry *lu;
  fresh_index_page = true;
  int status = dio_findpg(kt().ov_file, position, DIO_INDEX, slot, &lu);
  fresh_index_page = false;
  return status;
}

std::vector<std::pair<page_slot *, uint32_t>> dio_ixchanged() {
  db_task &t = kt();
  std::vector<std::pair<page_slot *, uint32_t>> changed;
  if (!tables_exist()) return changed;
  for (int i = 0; i < ix_pgtab_sz; ++i) {
    lookup_entry &lu = Ix_lookup[i];
    page_slot &s = Ixpg_table[lu.pg_index];
    if (lu.task == &t && s.modified && s.buff) changed.emplace_back(&s, static_cast<uint32_t>(lu.pageno));
  }
  return changed;
}

void dio_ixclear() {
  db_task &t = kt();
  if (!tables_exist()) return;
  for (int i = 0; i < ix_pgtab_sz; ++i) {
    lookup_entry &lu = Ix_lookup[i];
    if (lu.task != &t) continue;
    unhash(i, true);
    empty_entry(lu);
    page_slot &s = Ixpg_table[lu.pg_index];
    d_free(&s.buff);
    s.buff_size = 0;
    s.modified = s.recently_used = 0;
    s.holdcnt = 0;
    s.file_pos = 0;
  }
}

namespace {

// A slot's page, its place in the page and in the file; the outputs are set
// on every path, as load_slot's are.
int slot_position(int file, uint32_t slot, off_t *offset, uint32_t *page, size_t *in_page) {
  *offset = 0;
  *page = 0;
  *in_page = 0;
  const file_entry &fe = kt().file_table[file];
  if (slot < 1) return dberr_code(S_INVADDR, 712);
  uint32_t spp = static_cast<uint32_t>(fe.slots);
  *page = (slot - 1) / spp + 1;
  *in_page = 4 + static_cast<size_t>((slot - 1) % spp) * static_cast<size_t>(fe.slot_size);
  *offset = static_cast<off_t>(*page) * fe.page_size + static_cast<off_t>(*in_page);
  return S_OKAY;
}

}  // namespace

int dio_rrlb(db_address dba, uint16_t *word) {
  db_task &t = kt();
  int file = rel_file(dba, 32);
  if (file < 0) return db_status;
  off_t offset;
  uint32_t page;
  size_t in_page;
  if (slot_position(file, dba & SLOT_MASK, &offset, &page, &in_page) != S_OKAY) return db_status;
  // With exclusive access the cached page is newer than the file.
  page_slot *s;
  lookup_entry *lu;
  if (t.open_state == 2 && dio_findpg(file, page, DIO_NONE, &s, &lu) == S_OKAY && s->buff) {
    *word = get_u16(s->buff + in_page);
    return db_status = S_OKAY;
  }
  if (dio_open(file) != S_OKAY) return db_status;
  unsigned char b[2];
  if (kesto_io()->pread(t.file_table[file].desc, b, 2, offset) != 2) return dberr_code(S_BADREAD, 34);
  *word = get_u16(b);
  return db_status = S_OKAY;
}

int dio_wrlb(db_address dba, uint16_t word) {
  db_task &t = kt();
  if (opt_on(OPT_READONLY)) return dberr_code(S_READONLY, 35);
  int file = rel_file(dba, 36);
  if (file < 0) return db_status;
  off_t offset;
  uint32_t page;
  size_t in_page;
  if (slot_position(file, dba & SLOT_MASK, &offset, &page, &in_page) != S_OKAY) return db_status;
  // A file this task holds (in a shared open: any lock of it) has its
  // cached copy changed too; in a shared open the word also goes to the
  // file at once, where other processes read it, unless a transaction
  // clears it (then it goes with the page).
  const bool clearing = !(word & RLB_MASK);
  const bool held = t.open_state == 2 || (t.open_state == 1 && t.file_locks &&
                                          (t.file_locks[file].app != 0 || t.file_locks[file].excl > 0));
  if (held) {
    page_slot *s;
    lookup_entry *lu;
    if (dio_findpg(file, page, DIO_NONE, &s, &lu) == S_OKAY) {
      if (!s->buff) return dberr_code(S_INVPTR, 37);
      const bool in_page_only = t.open_state == 2 || (clearing && trans_active());
      if (in_page_only && trans_active() && o_fileinit(file) != S_OKAY) return db_status;
      uint16_t w = get_u16(s->buff + in_page);
      put_u16(s->buff + in_page, static_cast<uint16_t>((w & ~RLB_MASK) | (word & RLB_MASK)));
      if (in_page_only) {
        count_modheld(*s);
        s->modified = 1;
        return db_status = S_OKAY;
      }
    }
  } else if (t.open_state == 1 && clearing && trans_active()) {
    return db_status = S_OKAY;
  }
  if (dio_open(file) != S_OKAY) return db_status;
  int fd = t.file_table[file].desc;
  unsigned char b[2];
  if (kesto_io()->pread(fd, b, 2, offset) != 2) return dberr_code(S_BADREAD, 39);
  uint16_t w = get_u16(b);
  put_u16(b, static_cast<uint16_t>((w & ~RLB_MASK) | (word & RLB_MASK)));
  if (kesto_io()->pwrite(fd, b, 2, offset) != 2) return dberr_code(S_BADWRITE, 41);
  t.file_table[file].flags |= FILE_WRITTEN;
  return db_status = S_OKAY;
}

void dio_setdef(int file) { working_file = file; }

void dio_lock(lookup_entry *lu) {
  last_dblu = {lu->task, lu->file, lu->pageno, static_cast<int>(lu - Db_lookup)};
}

void dio_unlock() { clear_last(); }
