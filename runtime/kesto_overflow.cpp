// The overflow file: where the pages that a transaction changes wait until
// the commit has been recorded.
//
// A page of a file's old extent (the pages the file had when the
// transaction first changed it) never reaches its own file before the
// commit is recorded in the activity file: when the cache must evict it, it
// goes here, and at commit every changed page of the old extents is written
// here first. Pages beyond the old extent go to their files directly; the
// old page zero does not reach them.
//
// Layout, little-endian (F = database files when the file was set up):
//   0        u16 F
//   2        u32 journal transaction id, written again by a flush when it
//            changed
//   6        F x 1027: u16 page size, the file name without the working
//            directory in 1025 bytes
//   root     F x 16: per file u32 pages, u32 index position, u32 page zero
//            saved, u32 0
//   initial  per changed file its index area, and the page copies, placed
//            in order of use and never reused within a transaction
// Index area of a file of P pages (G = (P + 255) / 256, W = (G + 31) / 32):
//   0            W u32 bitmap words: bit g (1 << (31 - g % 32) of word
//                g / 32) set when index page g is in use
//   4W           G index pages of 256 u32: entry k of page g is the
//                position of the copy of page 256g + k + 1, 0 = none
//   4W + 1024G   the file's 12-byte page-zero header
// Index pages live in the cache's index-page table, keyed by position.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"
#include "runtime/kesto_page.h"
#include "runtime/kesto_writerun.h"

namespace {

constexpr int OV_PAGE_SIZE = 1024;
constexpr uint32_t ENTRIES = 256;     // page positions per index page
constexpr uint32_t NAME_FIELD = 1025;
constexpr uint32_t FILE_HEADER = 2 + NAME_FIELD;
constexpr uint32_t TABLE_ENTRY = 16;
constexpr uint32_t PZ_SIZE = 12;

// Index pages and bitmap words of an entry.
struct area {
  uint32_t pages;  // G
  uint32_t words;  // W
};

area area_of(uint32_t file_pages) {
  uint32_t g = (file_pages + ENTRIES - 1) / ENTRIES;
  return {g, (g + 31) / 32};
}

uint64_t area_size(area a) { return 4ull * (ENTRIES * a.pages + a.words) + PZ_SIZE; }

uint32_t index_page_pos(const ov_entry &e, uint32_t g) {
  return e.index_pos + 4 * area_of(e.pages).words + OV_PAGE_SIZE * g;
}

uint32_t pz_pos(const ov_entry &e) {
  area a = area_of(e.pages);
  return e.index_pos + 4 * a.words + OV_PAGE_SIZE * a.pages;
}

uint32_t mask(uint32_t g) { return 1u << (31 - g % 32); }
bool in_use(const ov_entry &e, uint32_t g) { return (e.bitmap[g / 32] & mask(g)) != 0; }

bool database_file(int file) { return file >= 0 && file < kt().size_ft && kt().ov_table; }

// The pages of a file's extent now, from its page-zero header.
int extent_of(int file, uint32_t *pages) {
  const file_entry &fe = kt().file_table[file];
  uint32_t next = dio_pznext(file);
  if (db_status != S_OKAY) return db_status;
  if (next == 0) return dberr_code(S_SYSERR, 850, "%s: no page-zero header", fe.name);
  if (fe.type == 'd') *pages = next > 1 ? (next - 2) / static_cast<uint32_t>(fe.slots) + 1 : 1;
  else *pages = next > 1 ? next - 1 : 1;
  return S_OKAY;
}

// The index page g of a changed file, loaded into the index-page table.
int index_page(const ov_entry &e, uint32_t g, int msg, page_slot **out) {
  db_task &t = kt();
  page_slot *slot;
  lookup_entry *lu;
  *out = nullptr;
  if (dio_findpg(t.ov_file, index_page_pos(e, g), DIO_INDEX, &slot, &lu) != S_OKAY) return db_status;
  if (!slot->buff) return dberr_code(S_INVPTR, msg);
  slot->recently_used = 1;
  *out = slot;
  return S_OKAY;
}

}  // namespace

int o_setup() {
  db_task &t = kt();
  // The log name: the user id and ".log", in the directory DBLOG names when
  // it ends in '/', else DBLOG itself.
  char name[2 * PATHLEN];
  size_t n = std::strlen(t.log_name);
  if (n == 0 || t.log_name[n - 1] == '/') {
    if (n + std::strlen(t.user_id) + 4 > 1024) return dberr_code(S_NAMELEN, 760);
    std::strcpy(name, t.log_name);
    std::strcat(name, t.user_id);
    std::strcat(name, ".log");
    std::strcpy(t.log_name, name);
  }
  const int files = t.size_ft;
  const int old_files = old_size_ft;
  t.ov_file = static_cast<int16_t>(files);
  t.ov_setup = 0;
  t.ov_word_known = 0;
  if (files > old_files || !t.ov_table) {
    if (alloc_table(reinterpret_cast<void **>(&t.ov_table), sizeof(ov_entry) * (files ? files : 1),
                    sizeof(ov_entry) * (t.ov_table ? old_files : 0)) != S_OKAY)
      return db_status;
  }
  t.ov_evicted = 0;
  t.ov_root = 6 + static_cast<uint32_t>(files) * FILE_HEADER;
  t.ov_initial = t.ov_next = t.ov_root + static_cast<uint32_t>(files) * TABLE_ENTRY;
  file_entry &fe = t.file_table[files];
  std::strcpy(name, t.log_name);
  if (prefix_dbwdir(name) != S_OKAY) return db_status;
  std::memset(&fe, 0, sizeof fe);
  std::strcpy(fe.name, name);
  fe.desc = -1;
  fe.status = 'c';
  fe.type = 'o';
  fe.slots = 1;
  fe.slot_size = OV_PAGE_SIZE;
  fe.page_size = OV_PAGE_SIZE;
  t.ov_in_use = 1;
  return db_status = S_OKAY;
}

int o_init() {
  db_task &t = kt();
  if (!t.ov_in_use || !t.file_table) return dberr_code(S_SYSERR, 851, "no overflow file set up");
  const kesto_io_methods *io = kesto_io();
  if (!t.ov_setup) {
    const uint32_t files = static_cast<uint32_t>(t.size_ft);
    t.ov_root = 6 + files * FILE_HEADER;
    t.ov_initial = t.ov_root + files * TABLE_ENTRY;
    std::vector<unsigned char> header(t.ov_root, 0);
    put_u16(header.data(), static_cast<uint16_t>(files));
    put_u32(header.data() + 2, t.tjf_trans_no);
    for (uint32_t f = 0; f < files; ++f) {
      unsigned char *entry = header.data() + 6 + f * FILE_HEADER;
      put_u16(entry, static_cast<uint16_t>(t.file_table[f].page_size));
      vpathcpy(reinterpret_cast<char *>(entry + 2), strip_dbwdir(t.file_table[f].name), NAME_FIELD);
    }
    const char *name = t.file_table[t.ov_file].name;
    // A descriptor of the file's earlier life would outlive the truncation.
    dio_close(t.ov_file);
    int fd = open_b(name, O_RDWR | O_CREAT | O_TRUNC);
    if (fd < 0) return dberr_code(S_DBLERR, 354, "%s: %s", name, std::strerror(errno));
    ssize_t n = io->pwrite(fd, header.data(), header.size(), 0);
    if (n != static_cast<ssize_t>(header.size())) {
      int saved = errno;
      io->close(fd);
      return dberr_code(S_NOSPACE, 356, "%s: %s", name, n < 0 ? std::strerror(saved) : "short write");
    }
    if (io->close(fd) < 0) return dberr_code(S_BADWRITE, 359, "%s: %s", name, std::strerror(errno));
    // The activity file will name this file: its directory entry must last.
    if (opt_on(OPT_SYNCFILES) && sync_dir_of(name) != S_OKAY) return db_status;
    t.ov_setup = 1;
    t.ov_word = t.tjf_trans_no;
    t.ov_word_known = 1;
  }
  t.ov_evicted = 0;
  t.ov_active = 0;
  t.ov_next = t.ov_initial;
  for (int f = 0; f < t.size_ft; ++f) {
    ov_entry &e = t.ov_table[f];
    if (!e.bitmap) continue;
    d_free(&e.bitmap);
    e = ov_entry{0, 0, 0, nullptr};
  }
  // Index pages of the last transaction name positions that the next one
  // reuses for other things.
  dio_ixclear();
  return db_status = S_OKAY;
}

int o_fileinit(int file) {
  db_task &t = kt();
  if (!database_file(file)) return dberr_code(S_SYSERR, 852, "overflow entry of file %d", file);
  ov_entry &e = t.ov_table[file];
  if (e.bitmap) return db_status = S_OKAY;
  uint32_t pages = 0;
  if (extent_of(file, &pages) != S_OKAY) return db_status;
  area a = area_of(pages);
  uint64_t end = static_cast<uint64_t>(t.ov_next) + area_size(a);
  if (end > UINT32_MAX) return dberr_code(S_SYSERR, 360, "%s: overflow file full", t.file_table[file].name);
  uint32_t *bitmap = static_cast<uint32_t *>(d_alloc(sizeof(uint32_t) * a.words));
  if (!bitmap) return dberr_code(S_NOMEMORY, 361);
  e.bitmap = bitmap;
  e.pages = pages;
  e.index_pos = t.ov_next;
  e.pz_saved = 0;
  t.ov_next = static_cast<uint32_t>(end);
  if (t.rec_stamped || t.set_stamped) {
    dio_pzsetts(file);
    if (db_status != S_OKAY) return db_status;
  }
  return db_status = S_OKAY;
}

uint32_t o_pages(int file) { return database_file(file) ? kt().ov_table[file].pages : 0; }

int o_write(page_slot *slot, lookup_entry *lu) {
  if (o_place(slot, lu) != S_OKAY) return db_status;
  return dio_out(slot, lu, 1, 1);
}

int o_place(page_slot *slot, lookup_entry *lu) {
  db_task &t = kt();
  int file = lu->file;
  uint32_t page = static_cast<uint32_t>(lu->pageno);
  if (!database_file(file)) return dberr_code(S_SYSERR, 853, "overflow write of file %d", file);
  ov_entry &e = t.ov_table[file];
  if (!e.bitmap && o_fileinit(file) != S_OKAY) return db_status;
  if (slot->file_pos || page > e.pages) return db_status = S_OKAY;

  uint32_t size = static_cast<uint32_t>(t.file_table[file].page_size);
  if (static_cast<uint64_t>(t.ov_next) + size > UINT32_MAX)
    return dberr_code(S_SYSERR, 854, "%s: overflow file full", t.file_table[t.ov_file].name);
  // The index learns the position before the copy is written, so that a
  // write that fails can simply be repeated at the same place.
  uint32_t g = (page - 1) / ENTRIES;
  page_slot *index;
  if (in_use(e, g)) {
    if (index_page(e, g, 363, &index) != S_OKAY) return db_status;
  } else {
    // A new index page: nothing to read.
    if (dio_ixfresh(index_page_pos(e, g), &index) != S_OKAY) return db_status;
    if (!index->buff) return dberr_code(S_INVPTR, 363);
    std::memset(index->buff, 0, OV_PAGE_SIZE);
    e.bitmap[g / 32] |= mask(g);
  }
  index->recently_used = 1;
  put_u32(index->buff + 4 * ((page - 1) % ENTRIES), t.ov_next);
  index->modified = 1;
  slot->file_pos = t.ov_next;
  t.ov_next += size;
  return db_status = S_OKAY;
}

int o_search(int file, uint32_t page, uint32_t *position) {
  db_task &t = kt();
  *position = 0;
  if (!database_file(file)) return db_status = S_OKAY;
  const ov_entry &e = t.ov_table[file];
  if (!e.bitmap || page == 0 || page > e.pages) return db_status = S_OKAY;
  uint32_t g = (page - 1) / ENTRIES;
  if (!in_use(e, g)) return db_status = S_OKAY;
  page_slot *index;
  if (index_page(e, g, 362, &index) != S_OKAY) return db_status;
  *position = get_u32(index->buff + 4 * ((page - 1) % ENTRIES));
  return db_status = S_OKAY;
}

int o_pzwrite(int file) {
  db_task &t = kt();
  if (!database_file(file)) return dberr_code(S_SYSERR, 855, "overflow page zero of file %d", file);
  ov_entry &e = t.ov_table[file];
  // A header can change without a page of its file (an allocation that
  // failed further on): it still needs its place.
  if (!e.bitmap && o_fileinit(file) != S_OKAY) return db_status;
  // The header reaches its place with the rest of the file's index area,
  // when o_flush writes them.
  e.pz_saved = 1;
  return db_status = S_OKAY;
}

int o_flush(std::vector<ov_copy> copies) {
  db_task &t = kt();
  if (opt_on(OPT_READONLY)) return dberr_code(S_READONLY, 366);
  const uint32_t files = static_cast<uint32_t>(t.size_ft);
  // The header word when it changed, the overflow table, per changed file
  // its bitmap, its changed index pages and its saved page-zero header, and
  // the page copies given, written in the order of their places: those that
  // follow one another (the table, the index areas and the copies mostly
  // do) in one call.
  struct piece {
    uint32_t at;
    size_t size;
    void *bytes;
    int site;
    std::function<void()> written;
  };
  std::vector<piece> pieces;
  std::vector<std::vector<unsigned char>> made;  // the bytes of the pieces built here
  made.reserve(2 + 2 * files);
  auto bytes = [&](size_t n) { return made.emplace_back(n, 0).data(); };

  if (!t.ov_word_known || t.ov_word != t.tjf_trans_no) {
    unsigned char *word = bytes(4);
    put_u32(word, t.tjf_trans_no);
    pieces.push_back({2, 4, word, 368, nullptr});
    // Known again only once written.
    t.ov_word_known = 0;
  }
  if (files) {
    unsigned char *table = bytes(files * TABLE_ENTRY);
    for (uint32_t f = 0; f < files; ++f) {
      const ov_entry &e = t.ov_table[f];
      unsigned char *p = table + f * TABLE_ENTRY;
      put_u32(p, e.pages);
      put_u32(p + 4, e.index_pos);
      put_u32(p + 8, e.pz_saved);
      put_u32(p + 12, 0);  // the bitmap's place in memory means nothing on disk
    }
    pieces.push_back({t.ov_root, files * TABLE_ENTRY, table, 370, nullptr});
  }
  for (uint32_t f = 0; f < files; ++f) {
    const ov_entry &e = t.ov_table[f];
    if (!e.bitmap || !e.index_pos) continue;
    area a = area_of(e.pages);
    unsigned char *bitmap = bytes(4 * a.words);
    for (uint32_t w = 0; w < a.words; ++w) put_u32(bitmap + 4 * w, e.bitmap[w]);
    pieces.push_back({e.index_pos, 4 * a.words, bitmap, 373, nullptr});
    // An unsaved header is written too (the table tells readers to pass it
    // over): the index areas then follow one another without a gap.
    const pgzero_entry &pz = t.pgzero[f];
    unsigned char *header = bytes(PZ_SIZE);
    put_u32(header, pz.head);
    put_u32(header + 4, pz.next);
    put_u32(header + 8, pz.stamp);
    pieces.push_back({pz_pos(e), PZ_SIZE, header, 365, nullptr});
  }
  for (const auto &[index, position] : dio_ixchanged()) {
    page_slot *slot = index;
    pieces.push_back({position, OV_PAGE_SIZE, slot->buff, 0, [slot] { slot->modified = 0; }});
  }
  for (ov_copy &c : copies) pieces.push_back({c.at, c.size, c.bytes, 0, std::move(c.written)});
  std::sort(pieces.begin(), pieces.end(), [](const piece &a, const piece &b) { return a.at < b.at; });
  write_run run;
  for (piece &p : pieces)
    if (run.add(t.ov_file, p.at, p.bytes, p.size, p.site, std::move(p.written)) != S_OKAY) return db_status;
  if (run.flush() != S_OKAY) return db_status;
  t.ov_word = t.tjf_trans_no;
  t.ov_word_known = 1;
  // The new pages that phase one wrote to their files are forced to disk
  // with the overflow file, at once.
  return dio_commit_written(0, t.ov_file + 1);
}

namespace {

// Copies pages of file f back from the overflow file: `copies` holds each
// page's number and its copy's position, in page order. Copies placed one
// after the other are read in one call, pages that follow one another
// written in one call.
int copy_back(int f, const std::vector<std::pair<uint32_t, uint32_t>> &copies) {
  db_task &t = kt();
  const kesto_io_methods *io = kesto_io();
  file_entry &fe = t.file_table[f];
  const size_t size = static_cast<size_t>(fe.page_size);
  constexpr size_t CHUNK = 256;  // pages
  std::vector<char> buffer(CHUNK * size);
  for (size_t first = 0; first < copies.size(); first += CHUNK) {
    const size_t n = std::min(CHUNK, copies.size() - first);
    const std::pair<uint32_t, uint32_t> *c = copies.data() + first;
    for (size_t i = 0, j; i < n; i = j) {
      for (j = i + 1; j < n && c[j].second == c[j - 1].second + size; ++j) {
      }
      if (dio_open(t.ov_file) != S_OKAY) return db_status;
      const file_entry &ov = t.file_table[t.ov_file];
      const size_t bytes = (j - i) * size;
      if (io->pread(ov.desc, buffer.data() + i * size, bytes, c[i].second) != static_cast<ssize_t>(bytes))
        return dberr_code(S_BADREAD, 377, "%s @ %u", ov.name, c[i].second);
    }
    const uint32_t now = static_cast<uint32_t>(time(nullptr));
    for (size_t i = 0; i < n; ++i) put_u32(buffer.data() + i * size, now);
    for (size_t i = 0, j; i < n; i = j) {
      for (j = i + 1; j < n && c[j].first == c[j - 1].first + 1; ++j) {
      }
      if (dio_open(f) != S_OKAY) return db_status;
      const off_t at = static_cast<off_t>(c[i].first) * static_cast<off_t>(size);
      const size_t bytes = (j - i) * size;
      if (io->pwrite(fe.desc, buffer.data() + i * size, bytes, at) != static_cast<ssize_t>(bytes))
        return dberr_code(S_NOSPACE, 379, "O_update: write of %s @ %ld failed: %d\n", fe.name,
                          static_cast<long>(at), errno);
      fe.flags |= FILE_WRITTEN;
    }
    if (opt_on(OPT_CLOSEFILES)) {
      dio_close(f);
      dio_close(t.ov_file);
    }
  }
  return S_OKAY;
}

}  // namespace

int o_update() {
  db_task &t = kt();
  if (opt_on(OPT_READONLY)) return dberr_code(S_READONLY, 374);
  std::vector<char> index(OV_PAGE_SIZE);
  std::vector<std::pair<uint32_t, uint32_t>> copies;
  for (int f = 0; f < t.size_ft; ++f) {
    const ov_entry &e = t.ov_table[f];
    if (!e.bitmap || !e.index_pos) continue;
    copies.clear();
    area a = area_of(e.pages);
    for (uint32_t g = 0; g < a.pages; ++g) {
      if (!in_use(e, g)) continue;
      page_slot *slot;
      if (index_page(e, g, 375, &slot) != S_OKAY) return db_status;
      std::memcpy(index.data(), slot->buff, OV_PAGE_SIZE);
      for (uint32_t k = 0; k < ENTRIES; ++k) {
        uint32_t position = get_u32(index.data() + 4 * k);
        if (!position) continue;
        uint32_t p = ENTRIES * g + k + 1;
        page_slot *cached;
        lookup_entry *lu;
        if (dio_findpg(f, p, DIO_NONE, &cached, &lu) == S_OKAY) {
          // The cached image is as new as the copy: the flush that follows
          // writes it in place.
          if (!cached->modified) {
            int saved = dio_working_file();
            dio_setdef(f);
            int status = dio_touch(p);
            dio_setdef(saved);
            if (status != S_OKAY) return db_status = status;
          }
          continue;
        }
        copies.emplace_back(p, position);
      }
    }
    if (copy_back(f, copies) != S_OKAY) return db_status;
  }
  return db_status = o_close();
}

int o_close() {
  db_task &t = kt();
  if (!t.ov_in_use || !t.file_table) return S_OKAY;
  return dio_close(t.ov_file);
}

int o_free(int dbn) {
  db_task &t = kt();
  int status = o_close();
  dio_ixclear();
  t.ov_setup = 0;
  t.ov_word_known = 0;
  if (!t.ov_table) return status;
  if (dbn < 0) {
    for (int f = 0; f < t.size_ft; ++f) d_free(&t.ov_table[f].bitmap);
    d_free(&t.ov_table);
    t.ov_file = 0;
    t.ov_in_use = 0;
    return status;
  }
  const table_slice &fs = t.db_table[dbn].slice[TBL_FILE];
  for (int f = fs.first + fs.count - 1; f >= fs.first; --f) {
    d_free(&t.ov_table[f].bitmap);
    --t.ov_file;
  }
  if (fs.count) free_table(reinterpret_cast<void **>(&t.ov_table), fs.first, fs.first + fs.count - 1,
                           t.size_ft, sizeof(ov_entry));
  return status;
}
