// Saving and restoring the whole currency of a task: the current record,
// each set's current owner and member, and their timestamps.
//
// The buffer holds u32 words in this order: the current record; the owner
// of each set; the member of each set; when record types are timestamped,
// the current record's timestamp, the owners' and the members'; when sets
// are timestamped, the sets' timestamps. Its size follows from the sets of
// the open databases, so a buffer serves only while they stay open; a
// hidden header before the words records the size it was made for, and a
// buffer that no longer fits is refused instead of being overrun.
#include <cstring>

#include "runtime/kesto_internal.h"

namespace {

constexpr uint32_t CURRENCY_MAGIC = 0x4b435552u;
constexpr int HEADER_WORDS = 2;  // magic, words

int currency_words() {
  const db_task &t = kt();
  int n = t.size_st;
  return 1 + 2 * n + (t.rec_stamped ? 1 + 2 * n : 0) + (t.set_stamped ? n : 0);
}

db_address *header_of(db_address *buffer) { return buffer - HEADER_WORDS; }

// A buffer made by dt_rdcurr for the databases open now.
int check_buffer(db_address *buffer, int msg) {
  if (!buffer) return dberr_code(S_INVPTR, msg);
  const db_address *header = header_of(buffer);
  if (header[0] != CURRENCY_MAGIC) return dberr_code(S_INVPTR, msg);
  if (header[1] != static_cast<uint32_t>(currency_words()))
    return dberr_code(S_SYSERR, 818, "currency saved with %u words, %d needed now", header[1], currency_words());
  return S_OKAY;
}

// Copies n words between a register table (which may be null when n is 0)
// and the buffer.
void to_buffer(db_address *&at, const uint32_t *from, int n) {
  if (n > 0) std::memcpy(at, from, sizeof(uint32_t) * static_cast<size_t>(n));
  at += n;
}
void from_buffer(const db_address *&at, uint32_t *to, int n) {
  if (n > 0) std::memcpy(to, at, sizeof(uint32_t) * static_cast<size_t>(n));
  at += n;
}

}  // namespace

int dt_rdcurr(db_address **buffer, int *size, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  int words = currency_words();
  auto *block = static_cast<db_address *>(d_alloc(sizeof(db_address) * static_cast<size_t>(words + HEADER_WORDS)));
  if (!block) return dberr_code(S_NOMEMORY, 313);
  block[0] = CURRENCY_MAGIC;
  block[1] = static_cast<uint32_t>(words);
  *buffer = block + HEADER_WORDS;
  *size = words * static_cast<int>(sizeof(db_address));
  return dt_rerdcurr(buffer, task);
}

int dt_rerdcurr(db_address **buffer, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  if (!buffer) return dberr_code(S_INVPTR, 817);
  if (check_buffer(*buffer, 817) != S_OKAY) return db_status;
  const db_task &t = kt();
  int n = t.size_st;
  db_address *at = *buffer;
  *at++ = t.current_record;
  to_buffer(at, t.curr_own, n);
  to_buffer(at, t.curr_mem, n);
  if (t.rec_stamped) {
    *at++ = t.cr_time;
    to_buffer(at, t.co_time, n);
    to_buffer(at, t.cm_time, n);
  }
  if (t.set_stamped) to_buffer(at, t.cs_time, n);
  return db_status = S_OKAY;
}

int dt_wrcurr(db_address *buffer, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  if (!buffer) return db_status = S_OKAY;
  int status = check_buffer(buffer, 820);
  if (status == S_INVPTR) return status;  // not made by dt_rdcurr: not ours to free
  if (status == S_OKAY) {
    db_task &t = kt();
    int n = t.size_st;
    const db_address *at = buffer;
    t.current_record = *at++;
    from_buffer(at, t.curr_own, n);
    from_buffer(at, t.curr_mem, n);
    if (t.rec_stamped) {
      t.cr_time = *at++;
      from_buffer(at, t.co_time, n);
      from_buffer(at, t.cm_time, n);
    }
    if (t.set_stamped) from_buffer(at, t.cs_time, n);
  }
  db_address *block = header_of(buffer);
  d_free(&block);
  return db_status = status;
}
