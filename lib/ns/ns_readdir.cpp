#include "lib/ns/ns_readdir.h"

ns_cache_stats_s readdir_cache_stats = {};

int readdir_cache_init(unsigned budget) {
    readdir_max = budget;
    return 0;
}

void readdir_cache_flush() {
    if (readdir_cache_stats.size != 0 || readdir_cache_stats.count != 0)
        ns_fatal("lib/ns/ns_readdir", __LINE__, "readdir_cache_stats.size == 0 && readdir_cache_stats.count == 0");
}

void print_dir_cache() { ns_dump("readdir cache \n"); }
