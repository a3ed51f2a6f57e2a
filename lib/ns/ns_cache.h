#pragma once
// The object cache: one in-memory record (obj_entry) for every namespace
// object the view serves, found by database id and by object id, counted by
// references and reclaimed by a clock; the one byte budget shared by the
// object, attribute, name and directory caches; the cache statistics; the
// agent's own credentials and the access checks on cached objects.
//
// Locking: everything here runs under `ostrelagent_cache_mutex`, which every
// namespace entry point holds for each run of its call (it is recursive,
// since one namespace operation may call another; never held while the
// server is awaited, see ns_server_wait.h). Only ostrelagent_my_creds, and the
// entry points that say so, take a lock themselves.
//
// Broken internal invariants (a bad kind, a reference count already 0, a
// dangling list) stop the process with the source file and the condition.

#include <sys/time.h>

#include <cstdint>
#include <vector>

#include "lib/core/ostrelagent_credentials.h"
#include "platform/norvanethread/norvanethread.h"
#include "platform/qel/qel.h"
#include "platform/utl/credutl.h"
#include "xdr/ostrelxdr_view.h"

struct view_vob;
struct fstat_entry;
struct name_entry;
struct readdir_root;

// The namespace cache's mutex (recursive).
extern norvanethread_mutex_t ostrelagent_cache_mutex;

// Holds the namespace cache's mutex for a scope; the mutex is taken through
// this class alone, which counts the thread's holds.
class Ns_Cache_Lock {
public:
    Ns_Cache_Lock() {
        norvanethread_mutex_lock(&ostrelagent_cache_mutex);
        ++t_holds;
    }
    ~Ns_Cache_Lock() {
        --t_holds;
        norvanethread_mutex_unlock(&ostrelagent_cache_mutex);
    }
    Ns_Cache_Lock(const Ns_Cache_Lock&) = delete;
    Ns_Cache_Lock& operator=(const Ns_Cache_Lock&) = delete;

    // Whether the calling thread holds the mutex.
    static bool held() { return t_holds != 0; }

private:
    static inline thread_local unsigned t_holds = 0;
};

// Cache object types, chosen from the dbid's sign and the mtype.
constexpr int32_t CACHE_ELEM_OBJ = 1;      // VOB elements (mtype 2, 5)
constexpr int32_t CACHE_VER_OBJ = 2;       // VOB versions and kinds like them; view-private objects
constexpr int32_t CACHE_ATTACHED_OBJ = 3;  // VOB objects of mtype 11
constexpr int32_t CACHE_COVER_OBJ = 4;     // view records that stand for a VOB object

// obj_entry flags.
constexpr uint16_t OBJ_F_PARENT_LOOKUP = 0x1;  // a parent lookup is under way on the object
constexpr uint16_t OBJ_F_RECENT = 0x2;         // used since the clock last passed
constexpr uint16_t OBJ_F_CHECKEDOUT = 0x4;
constexpr uint16_t OBJ_F_FROM_VOB = 0x8;       // entered from VOB metadata

// A dbid of the view database (negative as a signed number) begins here.
constexpr uint32_t VIEW_DB_INODE_OFFSET = 0x80000000u;

// A cached object. All fields are zero when it is made.
struct obj_entry {
    obj_entry* oid_next;        // next in the oid-hash bucket
    qel_oid_s oid;
    obj_entry* dbid_next;       // next in the dbid-hash bucket
    int32_t dbid;               // negative: a view object; never 0
    qel_oid_s rmap_oid;         // second oid; null for view objects
    view_vob* vob;              // cleared when the entry is flushed
    fstat_entry* fep;           // attribute-cache entry, or null
    obj_entry* cover_obj;       // a VOB object and its view object point at each other
    struct timeval event_time;  // view time at which a VOB object was entered
    name_entry* parent_list;    // names that resolve to this object
    name_entry* name_list;      // names whose directory this object is
    readdir_root* readdir_list; // this directory's listing
    uint32_t stamp;             // copied into handles, compared on validation
    vob_mtype_t mtype;
    // 32 bits: every name of a directory and every negative name of a VOB
    // holds a reference, so a large cache would wrap a 16-bit count and let
    // reclaim free an object in use.
    uint32_t ref_cnt;
    uint16_t flags;
    obj_entry* attach_next;     // next object attached to the same element
    int32_t otype;
    obj_entry* attach;          // a version's element, or an element's first attached object
};

// Bytes an entry counts for in the budget, whatever sizeof gives.
constexpr uint32_t OBJ_ENTRY_SIZE = 100;
// Buckets of each hash table.
constexpr uint32_t OBJ_HASH_BUCKETS = 511;

// ---- budget ------------------------------------------------------------------------

// The whole budget in bytes and each cache's share.
extern unsigned int view_cache_size;
extern unsigned int readdir_max;
extern unsigned int obj_cache_max;
extern unsigned int fstat_max;
extern unsigned int name_max;
// Bytes of entries nobody references, which reclaim may take.
extern unsigned int obj_zero_ref_size;

// Smallest cache size at view start, 4 MiB.
constexpr unsigned int NS_CACHE_MIN_SIZE = 4194304;

// Sizes the caches from view_cache_size (raised to NS_CACHE_MIN_SIZE first):
// 40 % for directory listings, the rest in 392-byte units of which objects
// get 200, statuses 144 and names 48 bytes; initialises the directory,
// attribute and name caches. 0, or 1008. Takes the cache mutex.
int cache_init();
// Applies `n` {kind, value} pairs in order: kind 0 sets the cache size (0,
// or 4 MiB and more; a size from 1 to NS_CACHE_MIN_SIZE - 1 stops the run
// with 1072, earlier pairs staying applied), kind 1 prints the statistics,
// other kinds are passed over. Shrinking takes effect as later allocations
// reclaim.
int cache_set_values(unsigned n, const unsigned (*pairs)[2]);
// Under the cache mutex: with `raise`, a size below NS_CACHE_MIN_SIZE
// becomes NS_CACHE_MIN_SIZE; then cache_set_values with {0, size}.
int ns_cache_set_size(unsigned int size, bool raise);

// ---- statistics ----------------------------------------------------------------------

struct obj_cache_stats_s {
    uint32_t requests, hits, reclaims, size, count, flushes, ejects;
};
// The directory and attribute caches' counters.
struct ns_cache_stats_s {
    uint32_t requests, hits, size, count, flushes, ejects;
};
// The name cache's counters.
struct lookup_cache_stats_s {
    uint32_t requests, hits, bucket_misses, size, count, flushes, ejects;
};

extern obj_cache_stats_s obj_cache_stats;

// One statistic as the cache reports it.
struct ns_statistic {
    uint32_t number;
    uint32_t value;
};
constexpr int NS_CACHE_STATISTICS = 41;

// Appends the 41 statistics (numbers 0 to 40, "since last" rows against the
// snapshot of the last print).
void cache_get_stats(std::vector<ns_statistic>& out);
// The same under the cache mutex; 1001 when the rows cannot be allocated
// (nothing appended then).
int ns_cache_get_stats(std::vector<ns_statistic>& out);
// For tests: the next `count` copies of ns_cache_get_stats fail as when
// their rows cannot be allocated.
void ns_cache_fail_stats_copies(unsigned count);
// For tests, which start many views in one process: the counters of every
// cache (requests, hits, flushes, ejects, ...) and of the last-update-time
// reasons from 0, and the "since last" snapshots with them, and the object
// cache's clock at its first bucket, as in a new process. The entries,
// their counts and sizes stay.
void ns_cache_start_afresh();

// Diagnostic dumps, to standard error and the trace. cache_print_stats
// prints each cache that had requests since the last print and starts a new
// period for it; at verbosity 1 for "view" the VOB event flushes
// (ns_event_stats.h), which it clears; then the LVUT counters, which it
// clears.
void cache_print_stats();
void print_cache();
void print_object_cache();
// Writes one dump text to standard error and the trace.
void ns_dump(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// ---- entries -------------------------------------------------------------------------

// A new entry with one reference (null when memory runs out, reported),
// reclaiming first while the object cache is over its budget. Does not look
// for an existing entry.
obj_entry* obj_alloc_rmap(view_vob* vob, int32_t dbid, const qel_oid_s* oid, vob_mtype_t mtype,
                          const qel_oid_s* rmap_oid, uint32_t stamp);
obj_entry* obj_alloc(view_vob* vob, int32_t dbid, const qel_oid_s* oid, vob_mtype_t mtype, uint32_t stamp);
// The entry of (VOB, dbid), referenced, or null; counts a request and a hit.
obj_entry* obj_get(view_vob* vob, int32_t dbid);
// The entry of (VOB, oid) that is a cover object exactly when `cover` is
// non-zero, referenced, or null; counts a request and a hit.
obj_entry* obj_get_by_oid(view_vob* vob, const qel_oid_s* oid, int cover);
// The same lookups without a reference and without counting, for the
// cache's own housekeeping.
obj_entry* obj_find_dbid(view_vob* vob, int32_t dbid);
obj_entry* obj_find_oid(view_vob* vob, const qel_oid_s* oid, int cover);
void obj_inc_ref(obj_entry* obj);
// Drops one reference (null is ignored); the entry stays cached.
void obj_free(obj_entry* obj);
// Removes the entry from every cache and frees it; the caller may hold the
// one reference it passes in.
void obj_flush(obj_entry* obj);
// One clock sweep.
void obj_flush_lru();
// Flushes every cached object of the VOB.
void cache_flush_vob(view_vob* vob);
// Empties every namespace cache.
void cache_flush();
// Registers cache_flush with the view database, which calls it before it is
// rebuilt or loaded (OstrelDb_Cache_Flush).
void ns_cache_install_db_flush();
// Under the cache mutex: drops and reads again the status of the cached
// non-cover object of (VOB, oid); nothing for an uncached VOB or object.
void ns_fstat_flush(const qel_uuid_s& vob_uuid, const qel_oid_s& oid);

// ---- accessors -------------------------------------------------------------------------

inline qel_oid_s* obj_2oid(obj_entry* obj) { return &obj->oid; }
inline vob_mtype_t obj_2mtype(const obj_entry* obj) { return obj->mtype; }
inline int32_t obj_2dbid(const obj_entry* obj) { return obj->dbid; }
inline view_vob* obj_2vob(const obj_entry* obj) { return obj->vob; }
inline bool obj_isa_view_obj(const obj_entry* obj) { return obj->dbid < 0; }
inline bool obj_is_checkedout(const obj_entry* obj) { return (obj->flags & OBJ_F_CHECKEDOUT) != 0; }
// The element of an object: itself for an element (and for a version without
// one), the element it is attached to otherwise. Fatal for a cover object.
obj_entry* obj_2elem(obj_entry* obj);
// The view object of an object: itself for a view object, else the cover of
// its element (may be null).
obj_entry* obj_2view_obj(obj_entry* obj);

// ---- access ----------------------------------------------------------------

// The process a kernel request is made for, as the kernel names it beside
// the request: its id and its file-system user and group ids.
struct Ns_Caller {
    pid_t pid;
    uid_t uid;
    gid_t gid;
};
// While it lives, the thread serves a kernel request of `caller`: the
// access checks take the caller's credentials, and a caller that is the
// superuser passes them as on a local file system. Outside such a scope the
// agent's own credentials count.
class Ns_Caller_Scope {
public:
    explicit Ns_Caller_Scope(const Ns_Caller& caller);
    ~Ns_Caller_Scope();
    Ns_Caller_Scope(const Ns_Caller_Scope&) = delete;
    Ns_Caller_Scope& operator=(const Ns_Caller_Scope&) = delete;

    // The thread's scope; null outside one.
    static Ns_Caller_Scope* current();
    bool root() const { return m_caller.uid == 0; }
    uid_t uid() const { return m_caller.uid; }
    // Whether the caller is in the group `sid`: its own group, or one of
    // its other groups (read from the system on first need).
    bool in_group(const credutl_sid_t* sid);

private:
    const Ns_Caller m_caller;
    Ns_Caller_Scope* const m_outer;
    credutl_sid_t m_group;
    bool m_read = false;
    credutl_sid_credentials_t m_creds;
};
// Whether the caller is the superuser (never outside a caller's scope).
bool ns_caller_is_root();
// Whether the caller (outside a caller's scope: the agent) is in the group
// `sid`.
bool ns_caller_in_group(const credutl_sid_t* sid);
// Whether the caller (outside a caller's scope: the agent) is the user
// `sid`.
bool ns_caller_is_user(const credutl_sid_t* sid);

enum acl_check_mode_t : int {
    ACL_NONE = 0,
    ACL_EXECUTE = 1,
    ACL_WRITE = 2,
    ACL_READ = 3,
    ACL_SEARCH = 4,
    ACL_DIR_ADD = 5,
    ACL_DIR_RM = 6,
    ACL_READ_ACLS = 7,
};

// Checks `mode` against the owner bits of the object's status as the kernel
// gets it (which goes to `vstat`); a regular file passes every mode, and so
// does every object for a caller that is the superuser. 1070
// when a directory is required and the object is none; 1063 when refused;
// `*word` (may be null) is always 0.
int acl_check_ext(obj_entry* obj, int ext_name, view_vstat* vstat, unsigned* word, acl_check_mode_t mode,
                  int dir_required);
int acl_check(obj_entry* obj, int ext_name, view_vstat* vstat, acl_check_mode_t mode, int dir_required);
// Checks and completes a set-attribute request; `current` is null for a new
// object, which gets the agent's user and primary group where the request
// names none. 0, 1051 (a group the caller is not in) or 1063; a caller that
// is the superuser passes.
int acl_check_attr(const qel_fstat_db_s* current, view_set_attr* request);

// Stops the process on a broken invariant of `source`.
[[noreturn]] void ns_fatal(const char* source, int line, const char* condition);
