#include "lib/ostreladb/ostrel_db_cache_flush.h"

OstrelDb_Cache_Flush* OstrelDb_Cache_Flush::g_flush = nullptr;

void OstrelDb_Cache_Flush::install(OstrelDb_Cache_Flush* flush) { g_flush = flush; }

void OstrelDb_Cache_Flush::flush_installed() {
    if (g_flush != nullptr) g_flush->flush();
}
