#pragma once
// The directory cache: merged listings of VOB and view directories.
//
// Stand-in: only its budget, counters and flush exist so far; no listing is
// cached yet.

#include "lib/ns/ns_cache.h"

extern ns_cache_stats_s readdir_cache_stats;

// Sets the budget; 0.
int readdir_cache_init(unsigned budget);
// Disposes of every listing, then asserts that the cache is empty.
void readdir_cache_flush();
void print_dir_cache();
