#pragma once
// The attribute cache: the file status of cached objects on one LRU list,
// so that getattr, lookup and access checks need no database or server call
// on a hit; and, per VOB, the last view update time (LVUT) reported to the
// kernel, which moves forward whenever a cached status changes or goes.
// Everything runs under the namespace cache's mutex, held by the caller.

#include <cstdint>

#include "lib/ns/ns_cache.h"

struct fstat_entry {
    obj_entry* obj;  // the owner, whose fep points back here
    qel_fstat_db_s fstat;
    fstat_entry* prev;  // toward the most recently used end
    fstat_entry* next;  // toward the least recently used end
};

// Bytes an entry counts for in the budget.
constexpr uint32_t FSTAT_ENTRY_SIZE = 144;

extern ns_cache_stats_s fstat_cache_stats;

// Reasons of an LVUT change, and their counters.
enum : int {
    LVUT_CACHED_REMOVED = 0,
    LVUT_CACHED_UPDATED = 1,
    LVUT_NONCACHED_UPDATED = 2,
    LVUT_VOB_FLUSHED = 3,
    LVUT_VOB_CHANGED = 4,
    LVUT_REASONS = 5,
};
extern uint32_t lvut_stats[LVUT_REASONS];

// Empties the list and sets the budget.
int fstat_cache_init(unsigned budget);
// Makes sure the object has its status: 0, 1001 (metadata failed), 1008 (no
// entry, or an unexpected kind), or the view database's status.
int fstat_get(obj_entry* obj);
// The status to return to the kernel; with `ext_name` 0 a VOB object's status
// is merged with its element's cover.
int fstat_vstat(obj_entry* obj, int ext_name, view_vstat* out);
// Stores a new status; dropped silently when no entry can be had.
void fstat_cache_update_obj(obj_entry* obj, const qel_fstat_db_s* fstat);
// Drops the object's entry, if any.
void fstat_flush(obj_entry* obj);
// Drops every entry.
void fstat_cache_flush();
// Moves the VOB's LVUT to the current view time (not for a view-private
// object), counting `reason`. 0.
int fstat_update_lvut(view_vob* vob, obj_entry* obj, int reason);
// Room for one more entry: a detached entry, or null (internal).
fstat_entry* fstat_new();
void print_fstat_cache();
