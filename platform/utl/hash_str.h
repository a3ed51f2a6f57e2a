// Name-keyed hash tables: each entry maps a text to a small fixed-size value
// (copied in and out), in chained buckets.
#pragma once

#include <cstddef>

struct hash_table_s;
typedef hash_table_s hash_table_t;

// Largest value size a table accepts.
constexpr size_t HASH_STR_MAX_VALUE = 64;

// A new, empty table with `buckets` chains (at least 1) and values of
// `value_size` bytes (1 to HASH_STR_MAX_VALUE). Null with errno on failure.
hash_table_t* hash_str_create(size_t buckets, size_t value_size);

// Lets the table double its buckets whenever it holds more than twice as
// many entries as buckets (`on` non-zero), or keeps the count fixed.
void hash_set_dynamic(hash_table_t* table, int on);

// Enters `key` with the value at `value` (value_size bytes); a key already
// present takes the new value. 0, or -1 with errno (EINVAL, ENOMEM).
int hash_str_enter(hash_table_t* table, const char* key, const void* value);

// 1 when `key` is present (its value copied to `value_out` unless that is
// null), else 0.
int hash_str_lookup(const hash_table_t* table, const char* key, void* value_out);

// Removes `key`. 0, or -1 with ENOENT when it is not present.
int hash_str_free(hash_table_t* table, const char* key);

// Number of entries.
size_t hash_str_count(const hash_table_t* table);

// Frees the table and all its entries; null is allowed.
void hash_delete_ht(hash_table_t* table);
