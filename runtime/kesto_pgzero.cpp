// Page-zero headers: where the next new slot or node goes, the chain of
// deleted ones, and the file's timestamp counter.
//
// Header, little-endian at byte 0 of every data and key file:
//   0  u32 head of the deleted chain (data: slot, 0 = empty; key: page, -1 = empty)
//   4  u32 next never-used slot (data) or node page (key)
//   8  u32 timestamp counter
// A deleted data slot holds the complement of its id word (bit 15 set) and
// the next deleted slot at offset 2; a deleted key node holds the next free
// node at page offset 6.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"

namespace {

constexpr uint32_t KEY_CHAIN_END = 0xFFFFFFFFu;
constexpr uint32_t SLOT_LIMIT = (1u << 24) - 2;
constexpr uint32_t POSITION_LIMIT = 2147483647u;

bool in_file(int file) { return file >= 0 && file < kt().size_ft && file < kt().pgzero_size; }

int load(int file) {
  if (kt().pgzero[file].next == 0) return dio_pzread(file);
  return S_OKAY;
}

// Restores the working file on every exit of a data-slot deletion.
struct working_file_guard {
  int saved;
  explicit working_file_guard(int file) : saved(dio_working_file()) { dio_setdef(file); }
  ~working_file_guard() { dio_setdef(saved); }
};


// A header read from its file must fit the file. Every slot or node handed
// out lies on a page the file holds (a new page reaches its file when it is
// first read, zero-filled), and the deleted chain starts below next. A
// damaged next would have a scan walk slots that were never handed out,
// each read past the end extending the file; a damaged head would hand out
// slots that do not exist.
int check_header(int file, const pgzero_entry &pz) {
  const file_entry &fe = kt().file_table[file];
  struct stat st;
  if (kesto_io()->fstat(fe.desc, &st) < 0) return dberr_code(S_BADREAD, 960, "%s: %s", fe.name, std::strerror(errno));
  const uint64_t page_size = static_cast<uint64_t>(fe.page_size);
  const uint64_t size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  const uint64_t pages = size > page_size ? (size - 1) / page_size : 0;  // beyond page zero
  const bool key = fe.type == 'k';
  const uint32_t first = key ? 2 : 1;  // next of an empty file
  uint64_t needed;                     // the last page handed out
  if (key) needed = pz.next - 1;
  else needed = pz.next > 1 ? (pz.next - 2) / static_cast<uint32_t>(fe.slots) + 1 : 0;
  const bool chain_empty = pz.head == (key ? KEY_CHAIN_END : 0u);
  if (pz.next < first || needed > pages || (!chain_empty && pz.head >= pz.next))
    return dberr_code(S_BADREAD, 961, "%s: damaged page-zero header (deleted chain %u, next %u, %llu pages)",
                      fe.name, pz.head, pz.next, static_cast<unsigned long long>(pages));
  return S_OKAY;
}

}  // namespace

int dio_pzread(int file) {
  db_task &t = kt();
  if (!in_file(file)) return dberr_code(S_SYSERR, 64);
  pgzero_entry &pz = t.pgzero[file];
  pz = pgzero_entry{0, 0, 0, 0};
  if (dio_open(file) != S_OKAY) return db_status;
  unsigned char header[12];
  if (kesto_io()->pread(t.file_table[file].desc, header, 12, 0) != 12)
    return dberr_code(S_BADREAD, 66, "%s", t.file_table[file].name);
  pgzero_entry read{get_u32(header), get_u32(header + 4), get_u32(header + 8), 0};
  // A header that does not fit stays unread: every use reads and refuses
  // it again.
  if (check_header(file, read) != S_OKAY) return db_status;
  pz = read;
  if (opt_on(OPT_CLOSEFILES)) dio_close(file);
  return db_status = S_OKAY;
}

uint32_t dio_pznext(int file) {
  db_status = S_OKAY;
  if (!in_file(file)) {
    dberr_code(S_SYSERR, 713);
    return 0;
  }
  if (load(file) != S_OKAY) return 0;
  return kt().pgzero[file].next;
}

uint32_t dio_pzgetts(int file) {
  db_status = S_OKAY;
  if (!in_file(file)) {
    dberr_code(S_SYSERR, 714);
    return 0;
  }
  if (load(file) != S_OKAY) return 0;
  if (trans_active() && o_fileinit(file) != S_OKAY) return 0;
  return kt().pgzero[file].stamp;
}

uint32_t dio_pzsetts(int file) {
  db_task &t = kt();
  db_status = S_OKAY;
  if (!t.rec_stamped && !t.set_stamped) return 0;
  if (!in_file(file)) {
    dberr_code(S_SYSERR, 715);
    return 0;
  }
  if (load(file) != S_OKAY) return 0;
  pgzero_entry &pz = t.pgzero[file];
  ++pz.stamp;
  pz.modified = 1;
  return pz.stamp;
}

int dio_pzalloc(int file, uint32_t *number) {
  db_task &t = kt();
  if (t.open_state == 1 && !trans_active() && !lock_exclusive(file)) return dberr_code(S_NOTRANS, 67);
  if (!in_file(file)) return dberr_code(S_SYSERR, 68);
  if (load(file) != S_OKAY) return db_status;
  pgzero_entry &pz = t.pgzero[file];
  const file_entry &fe = t.file_table[file];
  uint32_t result;
  uint32_t new_head = pz.head;
  uint32_t new_next = pz.next;
  if (fe.type == 'k') {
    if (dio_working_file() != file) return dberr_code(S_NOWORK, 69);
    if (pz.head != KEY_CHAIN_END && opt_on(OPT_REUSE)) {
      if (pz.head < 1 || pz.head >= pz.next) return dberr_code(S_SYSERR, 72, "%s: bad free node %u", fe.name, pz.head);
      char *node;
      if (dio_get(pz.head, &node, 0) != S_OKAY) return db_status;
      uint32_t link = get_u32(node + 6);
      dio_unget(pz.head);
      if (link != KEY_CHAIN_END && (link < 1 || link >= pz.next))
        return dberr_code(S_SYSERR, 72, "%s: bad free node link %u", fe.name, link);
      result = pz.head;
      new_head = link;
    } else {
      uint32_t page_limit = POSITION_LIMIT / static_cast<uint32_t>(fe.page_size);
      if (pz.next >= SLOT_LIMIT || pz.next >= page_limit) return dberr_code(S_RECLIMIT, 70, "%s", fe.name);
      result = pz.next;
      new_next = pz.next + 1;
    }
  } else {
    if (pz.head != 0 && opt_on(OPT_REUSE)) {
      if (pz.head < 1 || pz.head >= pz.next) return dberr_code(S_SYSERR, 72, "%s: bad deleted slot %u", fe.name, pz.head);
      char *rec;
      if (dio_read_slot(file, pz.head, &rec, 0) != S_OKAY) return db_status;
      uint16_t id = rec_id(rec);
      uint32_t link = get_u32(rec + 2);
      if (!(id & 0x8000) || link >= pz.next || link == pz.head)
        return dberr_code(S_SYSERR, 72, "%s: bad deleted slot %u", fe.name, pz.head);
      result = pz.head;
      new_head = link;
    } else {
      uint32_t pages = POSITION_LIMIT / static_cast<uint32_t>(fe.page_size);
      uint64_t slot_limit = static_cast<uint64_t>(pages - 1) * static_cast<uint32_t>(fe.slots) + 1;
      if (pz.next >= SLOT_LIMIT || pz.next >= slot_limit) return dberr_code(S_RECLIMIT, 71, "%s", fe.name);
      result = pz.next;
      new_next = pz.next + 1;
    }
  }
  if (result < 1) return dberr_code(S_SYSERR, 72, "%s", fe.name);
  pz.head = new_head;
  pz.next = new_next;
  pz.modified = 1;
  *number = result;
  return db_status = S_OKAY;
}

int dio_pzdel(int file, uint32_t number) {
  db_task &t = kt();
  if (t.open_state == 1 && !trans_active() && !lock_exclusive(file)) return dberr_code(S_NOTRANS, 73);
  if (!in_file(file)) return dberr_code(S_SYSERR, 74);
  if (load(file) != S_OKAY) return db_status;
  pgzero_entry &pz = t.pgzero[file];
  const file_entry &fe = t.file_table[file];
  // Only a slot or node that was handed out can join the chain.
  if (number < 1 || number >= pz.next) return dberr_code(S_SYSERR, 716, "%s: %u", fe.name, number);
  if (fe.type == 'k') {
    if (dio_working_file() != file) return dberr_code(S_NOWORK, 75);
    char *node;
    if (dio_get(number, &node, 1) != S_OKAY) return db_status;
    put_u32(node + 6, pz.head);
    int journal = tjf_journal_pg(file, node, node + 6, 4, number, 0);
    pz.head = number;
    if (dio_touch(number) != S_OKAY) return db_status;
    pz.modified = 1;
    if (journal != S_OKAY) return db_status = journal;
    return db_status = S_OKAY;
  }

  working_file_guard guard(file);
  uint32_t spp = static_cast<uint32_t>(fe.slots);
  size_t slot_size = static_cast<size_t>(fe.slot_size);
  uint32_t page = (number - 1) / spp + 1;
  uint32_t first_slot = (page - 1) * spp + 1;
  char *buf;
  if (dio_get(page, &buf, 1) != S_OKAY) return db_status;
  char *slot = buf + 4 + static_cast<size_t>(number - first_slot) * slot_size;
  char *first_deleted = nullptr;
  // Only slots handed out count: those from `next` on hold whatever an
  // aborted transaction left on a page beyond the file's old extent.
  const uint32_t handed_out = pz.next - first_slot < spp ? pz.next - first_slot : spp;
  for (uint32_t i = 0; i < handed_out; ++i) {
    char *s = buf + 4 + static_cast<size_t>(i) * slot_size;
    if (rec_id(s) & 0x8000) {
      if (s == slot) {
        dio_unget(page);
        return dberr_code(S_SYSERR, 76, "%s: slot %u already deleted", fe.name, number);
      }
      if (!first_deleted) first_deleted = s;
    }
  }
  uint16_t id = rec_id(slot);
  put_u16(slot, static_cast<uint16_t>(~(id & ~RLB_MASK)));
  int journal = S_OKAY;
  if (first_deleted) {
    put_u32(slot + 2, get_u32(first_deleted + 2));
    put_u32(first_deleted + 2, number);
    journal = tjf_journal_pg(file, buf, first_deleted + 2, 4, page, 0);
  } else {
    put_u32(slot + 2, pz.head);
    pz.head = number;
    pz.modified = 1;
  }
  int j2 = tjf_journal_pg(file, buf, slot, 6, page, 0);
  if (journal == S_OKAY) journal = j2;
  if (dio_touch(page) != S_OKAY) return db_status;
  if (journal != S_OKAY) return db_status = journal;
  return db_status = S_OKAY;
}

void dio_pzclr() {
  db_task &t = kt();
  for (int f = 0; f < t.pgzero_size; ++f) {
    if (t.pgzero[f].modified) {
      t.pgzero[f].next = 0;
      t.pgzero[f].modified = 0;
    }
  }
}
