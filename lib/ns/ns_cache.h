#pragma once
// Sizing of the namespace cache: the byte budget of the whole cache and the
// share of it that each of its caches (directory listings, objects, file
// statuses, names) may use; and the agent's own credentials.
//
// For now this file holds the sizing alone. The caches themselves (object
// hash tables, attribute, name and directory caches) do not exist yet, so
// nothing is cached and there is nothing to clear: cache_init and
// ns_cache_set_size compute and keep the budgets the caches will be given,
// and never report a cache that could not be set up.

#include "platform/utl/credutl.h"

// The whole cache's budget in bytes and the per-cache maxima derived from it.
// Written under the cache's sizing lock; read them only where no other thread
// can be changing the size.
extern unsigned int view_cache_size;
extern unsigned int readdir_max;
extern unsigned int obj_cache_max;
extern unsigned int fstat_max;
extern unsigned int name_max;

// Smallest cache size, 4 MiB.
constexpr unsigned int NS_CACHE_MIN_SIZE = 4194304;

// Sizes the caches from view_cache_size, raised to NS_CACHE_MIN_SIZE first
// when it is smaller: 40 % for directory listings, the rest in 392-byte units
// of which objects get 200, file statuses 144 and names 48 bytes. 0, or 1008
// when a cache cannot be set up.
int cache_init();

// Sets the cache size to `size` bytes and the maxima from it. With `raise`, a
// size below NS_CACHE_MIN_SIZE becomes NS_CACHE_MIN_SIZE. 0; 1072 for a size
// from 1 to NS_CACHE_MIN_SIZE - 1 (only possible without `raise`), which
// changes nothing. A size of 0 is accepted as it is.
int ns_cache_set_size(unsigned int size, bool raise);

// The agent process's own credentials (its user sid, then its group sid,
// then its groups), read once and kept for the life of the process. A
// process whose credentials cannot be read stops.
const credutl_sid_credentials_t* ostrelagent_my_creds();
