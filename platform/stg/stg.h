// Memory: single blocks (stg_malloc, stg_free) and storage areas, from which
// many small blocks are taken and all freed at once with the area.
#pragma once

#include <cstddef>

// A block of `size` bytes (a valid, unique block also for 0), or null when
// memory runs out. Free it with stg_free.
void* stg_malloc(size_t size);

// Frees a block of stg_malloc; null is allowed.
void stg_free(void* block);

struct stg_area_s;
typedef stg_area_s stg_area_t;

// A new, empty area that takes memory from the system in blocks of
// `block_size` bytes (at least 64); null when memory runs out.
stg_area_t* stg_create_area(size_t block_size);

// `size` zero-filled bytes from `area`, aligned for any type; null when
// memory runs out. A request larger than the block size gets a block of its
// own. The bytes live until the area is freed.
void* stg_area_malloc(stg_area_t* area, size_t size);

// Frees the area and everything taken from it; null is allowed.
void stg_free_area(stg_area_t* area);
