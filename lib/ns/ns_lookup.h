#pragma once
// The name cache: (directory, name) to the object the name selects.
//
// Stand-in: only what the object, attribute and VOB caches and object
// location call exists so far. No name is cached yet, so the flushes find
// nothing, and revalidation keeps the object its handle names.

#include "lib/ns/ns_cache.h"

extern lookup_cache_stats_s lookup_cache_stats;

// Sets the budget; 0.
int lookup_cache_init(unsigned budget);
// Asserts that the cache is empty.
void lookup_cache_flush();
// Removes the names that lead to the object and those in it (only
// history-mode names with `history_only`), then its directory listing.
void lookup_flush_names2obj(obj_entry* obj, int history_only);
// Drops every negative name of the VOB.
void lookup_invalidate_not_found(view_vob* vob);
// Drops the name in the directory of `dir_oid`.
void lookup_invalidate_oid(view_vob* vob, const qel_oid_s* dir_oid, const char* name);
// The object the name that led to `obj` now selects, referenced.
obj_entry* lookup_revalidate(obj_entry* obj, int* status);
// Dumps the VOB's negative names.
void print_enoents(view_vob* vob);
void print_lookup_cache();
