// Records read held for an update of their set or member pointers.
//
// Each read takes a hold on the record's page, so the record stays where
// it is while the update reads further records; `write` marks the page
// changed and gives the hold up. Whatever is still held when the update
// ends (a failure part-way) is released, the failure's status kept.
#pragma once

#include "runtime/kesto_internal.h"

class held_records {
 public:
  held_records() = default;
  held_records(const held_records &) = delete;
  held_records &operator=(const held_records &) = delete;
  ~held_records() {
    int status = db_status;
    for (int i = 0; i < count_; ++i) dio_release(held_[i], 1);
    db_status = status;
  }

  int read(db_address dba, char **rec) {
    if (count_ == CAPACITY) return dberr_code(S_SYSERR, 819, "more than %d records held", CAPACITY);
    if (dio_read(dba, rec, 1) != S_OKAY) return db_status;
    held_[count_++] = dba;
    return S_OKAY;
  }

  int write(db_address dba) {
    for (int i = 0; i < count_; ++i) {
      if (held_[i] != dba) continue;
      held_[i] = held_[--count_];
      return dio_write(dba, nullptr, 1);
    }
    return dberr_code(S_SYSERR, 814, "record %08x is not held", dba);
  }

 private:
  static constexpr int CAPACITY = 4;
  db_address held_[CAPACITY] = {};
  int count_ = 0;
};
