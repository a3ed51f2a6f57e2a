#pragma once
// The directory cache: per directory object, one listing that merges the
// names of the VOB's directory version (from the server's metadata) and the
// names the view database records for the directory, decides which of two
// like-named entries is visible, and answers the kernel's directory reads
// page by page by cookie. Once both halves of a listing are complete it also
// answers the name cache's misses without a database or server call.
//
// Cookies 0 and 1 stand for "." and ".."; cookies below VIEW_COOKIE_BASE are
// the VOB's entries, the others the view's, and a listing is kept in cookie
// order, so that a reader that goes on from the last cookie it got never
// sees an entry twice.
//
// Everything runs under the namespace cache's mutex (ns_readdir and
// ns_readdir_ext take it).

#include <cstdint>

#include "lib/ns/ns_cache.h"
#include "platform/utl/hash_str.h"

struct readdir_entry {
    readdir_entry* next;  // in cookie order
    uint32_t dbid;        // 0 when the name has no object
    uint32_t cookie;
    uint32_t state;
    char name[1];
};

struct readdir_root {
    obj_entry* dir;  // referenced; its readdir_list points back here
    readdir_root* lru_prev;
    readdir_root* lru_next;
    hash_table_t* view_names;  // name -> readdir_entry*
    hash_table_t* vob_names;
    readdir_entry* head;
    uint32_t flags;
};

// Budget sizes of a listing and of an entry (plus its name's length).
constexpr uint32_t READDIR_ROOT_SIZE = 32;
constexpr uint32_t READDIR_ENTRY_SIZE = 17;
constexpr uint32_t VIEW_COOKIE_BASE = 0x40000000;

// Listing flags.
constexpr uint32_t READDIR_VOB_COMPLETE = 0x1;
constexpr uint32_t READDIR_VIEW_COMPLETE = 0x2;
constexpr uint32_t READDIR_VISIBILITY = 0x4;
// What readdir_invalidate_name marks incomplete.
constexpr unsigned READDIR_INVALIDATE_VIEW = 0x1;
constexpr unsigned READDIR_INVALIDATE_VOB = 0x2;
constexpr unsigned READDIR_INVALIDATE_BOTH = READDIR_INVALIDATE_VIEW | READDIR_INVALIDATE_VOB;
// Entry state bits of the listing itself.
constexpr uint32_t READDIR_HIDDEN = 0x2;
constexpr uint32_t READDIR_VISIBLE = 0x8000;

extern ns_cache_stats_s readdir_cache_stats;

// Sets the budget; 0.
int readdir_cache_init(unsigned budget);
// Disposes of every listing, then asserts that the cache is empty.
void readdir_cache_flush();
// The directory's listing with both halves complete, off the LRU list (give
// it back with readdir_put), or null with the status.
readdir_root* readdir_get(obj_entry* dir, int* status);
// Puts a listing back at the most recently used end.
void readdir_put(readdir_root* root);
// What a listing knows of `name`: returns its completeness flags (0 without
// a listing); fills the VOB dbid with 0x2000 from a complete VOB half and
// the view dbid with the 0x201c20 bits from a complete view half.
unsigned readdir_lookup_name(obj_entry* dir, const char* name, unsigned* vob_dbid, unsigned* view_dbid,
                             unsigned* state);
// Marks the view half (how 0x1) and/or the VOB half (0x2) incomplete and the
// named entries (all, for a null or empty name) to be judged again.
void readdir_invalidate_name(obj_entry* dir, const char* name, unsigned how);
// The view database added or removed a name.
int readdir_view_add(obj_entry* dir, uint32_t dbid, const char* name, int cookie, unsigned state);
void readdir_view_rm(obj_entry* dir, const char* name, unsigned state);
// Decides which entries are visible; 0 or the failure of a judgement.
int readdir_visibility_eval(obj_entry* dir, readdir_root* root);
// Decides between the VOB's and the view's entry of one name.
int duplicate_name_eval(obj_entry* dir, readdir_entry* vob_entry, readdir_entry* view_entry);
// Adds an entry after `after` (null: at the head), dropping the entries up
// to its cookie that a fresh listing no longer holds.
readdir_entry* add_next_entry(view_vob* vob, readdir_root* root, readdir_entry* after, const char* name,
                              uint32_t dbid, uint32_t cookie, uint32_t state);
void readdir_entry_free(readdir_root* root, readdir_entry* entry, readdir_entry* prev);
void readdir_dispose(readdir_root* root);

// The kernel's directory reads: from `cookie`, as many packed records as
// fit `size` bytes. `*next` is the last cookie written, `*end` 1 once the
// last entry is in; 1072 when nothing fits. With `name` (not empty) the
// extended read gives only that name's record; `options` non-zero asks for
// each entry's object and selected version.
int ns_readdir(view_fhandle* fh, unsigned cookie, unsigned size, unsigned* next, unsigned* bytes, int* end,
               view_dirent* buf);
int ns_readdir_ext(view_fhandle* fh, unsigned cookie, const char* name, unsigned options, unsigned size,
                   unsigned* next, unsigned* bytes, int* end, view_dirent_ext* buf);
// The name under which `dir` lists `obj` (`size` bytes); 1084 when it does
// not fit, 1002 when there is none.
int ns_readdir_get_parent_name(obj_entry* dir, obj_entry* obj, unsigned size, char* buf);

void print_dir_cache();
