#include "lib/ns/ns_cache.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/ns/ns_event_stats.h"
#include "lib/ns/ns_fstat.h"
#include "lib/ns/ns_lookup.h"
#include "lib/ns/ns_msg.h"
#include "lib/ns/ns_readdir.h"
#include "lib/ns/ns_vob.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_cache_flush.h"
#include "platform/pfm/pfm.h"
#include "platform/stg/stg.h"

norvanethread_mutex_t ostrelagent_cache_mutex = NORVANETHREAD_RECURSIVE_MUTEX_INITIALIZER;

unsigned int view_cache_size = 0;
unsigned int readdir_max = 0;
unsigned int obj_cache_max = 0;
unsigned int fstat_max = 0;
unsigned int name_max = 0;
unsigned int obj_zero_ref_size = 0;

obj_cache_stats_s obj_cache_stats = {};

namespace {

const char* const SOURCE = "lib/ns/ns_cache";
constexpr unsigned int UNIT_BYTES = 392;

obj_entry* dbid_hash_tab[OBJ_HASH_BUCKETS];
obj_entry* oid_hash_tab[OBJ_HASH_BUCKETS];
// The clock hand: the bucket the next sweep starts in.
unsigned dbid_hash_sweep = 0;

// Snapshots taken at the last print, for the "since last" figures.
obj_cache_stats_s last_obj;
lookup_cache_stats_s last_name;
ns_cache_stats_s last_readdir;
ns_cache_stats_s last_fstat;

// Statistics copies still to fail (ns_cache_fail_stats_copies); cache
// mutex held.
unsigned stats_copy_failures = 0;

unsigned dbid_bucket(int32_t dbid) { return static_cast<uint32_t>(dbid) % OBJ_HASH_BUCKETS; }
unsigned oid_bucket(const qel_oid_s* oid) { return qel_oid_to_hash32(oid) % OBJ_HASH_BUCKETS; }

void check(bool condition, const char* text, int line) {
    if (!condition) ns_fatal(SOURCE, line, text);
}

// The budgets for `size`, without the 4 MiB floor.
void set_budgets(unsigned int size) {
    view_cache_size = size;
    readdir_max = static_cast<unsigned int>(static_cast<unsigned long long>(size) * 4 / 10);
    unsigned int units = (size - readdir_max) / UNIT_BYTES;
    obj_cache_max = units * 200;
    fstat_max = units * 144;
    name_max = units * 48;
}

int32_t otype_of(int32_t dbid, vob_mtype_t mtype) {
    if (dbid >= 0) {
        switch (mtype) {
        case 2: case 5: return CACHE_ELEM_OBJ;
        case 1: case 3: case 6: case 7: case 8: case 9: return CACHE_VER_OBJ;
        case 11: return CACHE_ATTACHED_OBJ;
        default: ns_fatal(SOURCE, __LINE__, "unexpected mtype of a VOB object");
        }
    }
    switch (mtype) {
    case 19: case 21: case 22: case 23: case 26: return CACHE_VER_OBJ;
    case 2: case 3: case 5: case 6: case 7: case 8: case 9: return CACHE_COVER_OBJ;
    default: ns_fatal(SOURCE, __LINE__, "unexpected mtype of a view object");
    }
}

void unlink_chain(obj_entry** bucket, obj_entry* obj, obj_entry* obj_entry::*next) {
    for (obj_entry** link = bucket; *link != nullptr; link = &((*link)->*next)) {
        if (*link == obj) {
            *link = obj->*next;
            return;
        }
    }
    ns_fatal(SOURCE, __LINE__, "cached object missing from its hash chain");
}

// Clears a pairing: the cover points back, and loses the reference the pair held.
void unpair_cover(obj_entry* obj) {
    obj_entry* cover = obj->cover_obj;
    if (cover == nullptr) return;
    check(cover->cover_obj == obj, "cover_obj->cover_obj == obj", __LINE__);
    cover->cover_obj = nullptr;
    obj_free(cover);
    obj->cover_obj = nullptr;
}

// Unlinks an attached object from its element and drops its reference on it.
void detach_from_element(obj_entry* obj) {
    obj_entry* elem = obj->attach;
    if (elem == nullptr) return;
    for (obj_entry** link = &elem->attach; *link != nullptr; link = &(*link)->attach_next) {
        if (*link == obj) {
            *link = obj->attach_next;
            break;
        }
    }
    obj->attach_next = nullptr;
    obj->attach = nullptr;
    obj_free(elem);
}

// One clock sweep over the dbid table from the saved hand: an entry used
// since the last pass, or referenced, loses its clock bit; the first one that
// is neither goes. Ends at the end of the first bucket where something went,
// or after two full turns without.
void sweep() {
    unsigned start = dbid_hash_sweep;
    int pass = 2;
    for (;;) {
        obj_entry** link = &dbid_hash_tab[dbid_hash_sweep];
        while (*link != nullptr) {
            obj_entry* obj = *link;
            if ((obj->flags & OBJ_F_RECENT) != 0 || obj->ref_cnt != 0) {
                obj->flags &= static_cast<uint16_t>(~OBJ_F_RECENT);
                link = &obj->dbid_next;
            } else {
                // An unreferenced entry pairs and attaches nothing that is
                // in this chain before it, so `*link` is its successor next.
                obj_flush(obj);
                obj_cache_stats.ejects++;
                pass = 0;
            }
        }
        dbid_hash_sweep = (dbid_hash_sweep + 1) % OBJ_HASH_BUCKETS;
        if (dbid_hash_sweep == start) --pass;
        if (pass <= 0) break;
    }
}

// A cached entry of the VOB whose `match` holds, without counting.
template <typename Match>
obj_entry* find_in(obj_entry* head, obj_entry* obj_entry::*next, Match match) {
    for (obj_entry* obj = head; obj != nullptr; obj = obj->*next)
        if (match(obj)) return obj;
    return nullptr;
}

double percent(uint32_t part, uint32_t whole) { return whole == 0 ? 0.0 : 100.0 * part / whole; }

// A printed cache starts a new period: its flushes and ejects from 0, its
// "since last" figures from now.
template <typename Stats>
void start_period(Stats& now, Stats& last) {
    now.flushes = now.ejects = 0;
    last = now;
}

void print_stat_lines() {
    const lookup_cache_stats_s& n = lookup_cache_stats;
    uint32_t reqs = n.requests - last_name.requests;
    if (reqs != 0) {
        ns_dump("    Lookup cache %4ld (%4.1fK) %3.0f%%, %4ld reqs, %3.0f%% hits %3.0f%% bh miss\n\t%u flushes, %u ejects\n",
                static_cast<long>(n.count), n.size / 1024.0, percent(n.size, name_max), static_cast<long>(reqs),
                percent(n.hits - last_name.hits, reqs), percent(n.bucket_misses - last_name.bucket_misses, reqs),
                n.flushes, n.ejects);
        start_period(lookup_cache_stats, last_name);
    }
    const ns_cache_stats_s& d = readdir_cache_stats;
    reqs = d.requests - last_readdir.requests;
    if (reqs != 0) {
        ns_dump("    Dir cache    %4ld (%4.1fK) %3.0f%%, %4ld reqs, %3.0f%% hits\n\t%u flushes, %u ejects\n",
                static_cast<long>(d.count), d.size / 1024.0, percent(d.size, readdir_max), static_cast<long>(reqs),
                percent(d.hits - last_readdir.hits, reqs), d.flushes, d.ejects);
        start_period(readdir_cache_stats, last_readdir);
    }
    const ns_cache_stats_s& f = fstat_cache_stats;
    reqs = f.requests - last_fstat.requests;
    if (reqs != 0) {
        ns_dump("    Stat cache   %4ld (%4.1fK) %3.0f%%, %4ld reqs, %3.0f%% hits,\n\t%u flushes, %u ejects\n",
                static_cast<long>(f.count), f.size / 1024.0, percent(f.size, fstat_max), static_cast<long>(reqs),
                percent(f.hits - last_fstat.hits, reqs), f.flushes, f.ejects);
        start_period(fstat_cache_stats, last_fstat);
    }
    const obj_cache_stats_s& o = obj_cache_stats;
    reqs = o.requests - last_obj.requests;
    if (reqs != 0) {
        ns_dump("    Object cache %4ld (%4.1fK) %3.0f%%, %4ld reqs, %3.0f%% hits, %3.0f%% reclaims\n\t%d flushes, "
                "%d ejects\n",
                static_cast<long>(o.count), o.size / 1024.0, percent(o.size, obj_cache_max), static_cast<long>(reqs),
                percent(o.hits - last_obj.hits, reqs), percent(o.reclaims - last_obj.reclaims, reqs),
                static_cast<int>(o.flushes), static_cast<int>(o.ejects));
        start_period(obj_cache_stats, last_obj);
    }
}

const char* const LVUT_LABELS[LVUT_REASONS] = {
    "cached objects removed", "cached objects updated", "non-cached objects updated", "vob was flushed",
    "VOB was changed",
};

} // namespace

[[noreturn]] void ns_fatal(const char* source, int line, const char* condition) {
    pfm_panic(source, line, condition);
}

void ns_dump(const char* fmt, ...) {
    char text[4096];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    std::fputs(text, stderr);
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "ns_cache", "dump");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "%s", text);
}

// ---- budget ------------------------------------------------------------------------

int cache_init() {
    Ns_Cache_Lock lock;
    // A view started again in the same process begins with empty caches.
    if (obj_cache_stats.count != 0) cache_flush();
    set_budgets(view_cache_size < NS_CACHE_MIN_SIZE ? NS_CACHE_MIN_SIZE : view_cache_size);
    if (readdir_cache_init(readdir_max) != 0 || fstat_cache_init(fstat_max) != 0 || lookup_cache_init(name_max) != 0)
        return QEL_ST_INTERNAL;
    return 0;
}

int cache_set_values(unsigned n, const unsigned (*pairs)[2]) {
    for (unsigned i = 0; i < n; ++i) {
        unsigned kind = pairs[i][0];
        unsigned value = pairs[i][1];
        if (kind == 0) {
            if (value != 0 && value < NS_CACHE_MIN_SIZE) return QEL_ST_INVALID;
            set_budgets(value);
        } else if (kind == 1) {
            cache_print_stats();
        }
    }
    return 0;
}

int ns_cache_set_size(unsigned int size, bool raise) {
    Ns_Cache_Lock lock;
    if (raise && size < NS_CACHE_MIN_SIZE) size = NS_CACHE_MIN_SIZE;
    const unsigned pair[1][2] = {{0, size}};
    return cache_set_values(1, pair);
}

// ---- statistics --------------------------------------------------------------------

void cache_get_stats(std::vector<ns_statistic>& out) {
    const lookup_cache_stats_s& n = lookup_cache_stats;
    const ns_cache_stats_s& d = readdir_cache_stats;
    const ns_cache_stats_s& f = fstat_cache_stats;
    const obj_cache_stats_s& o = obj_cache_stats;
    const uint32_t values[NS_CACHE_STATISTICS] = {
        n.count, n.size, name_max, n.requests - last_name.requests, n.hits - last_name.hits, n.requests, n.hits,
        n.bucket_misses - last_name.bucket_misses, n.bucket_misses,
        d.count, d.size, readdir_max, d.requests - last_readdir.requests, d.hits - last_readdir.hits, d.requests,
        d.hits,
        f.count, f.size, fstat_max, f.requests - last_fstat.requests, f.hits - last_fstat.hits, f.requests, f.hits,
        o.count, o.size, obj_cache_max, o.requests - last_obj.requests, o.hits - last_obj.hits, o.requests, o.hits,
        o.reclaims - last_obj.reclaims, o.reclaims,
        n.flushes, n.ejects, d.flushes, d.ejects, f.flushes, f.ejects, o.flushes, o.ejects,
        view_cache_size,
    };
    out.reserve(out.size() + NS_CACHE_STATISTICS);
    for (uint32_t i = 0; i < NS_CACHE_STATISTICS; ++i) out.push_back({i, values[i]});
}

int ns_cache_get_stats(std::vector<ns_statistic>& out) {
    Ns_Cache_Lock lock;
    size_t before = out.size();
    try {
        if (stats_copy_failures > 0) {
            --stats_copy_failures;
            throw std::bad_alloc();
        }
        cache_get_stats(out);
    } catch (const std::bad_alloc&) {
        out.resize(before);
        return QEL_ST_NO_MEMORY;
    }
    return 0;
}

void ns_cache_fail_stats_copies(unsigned count) {
    Ns_Cache_Lock lock;
    stats_copy_failures = count;
}

namespace {

template <typename Stats>
void reset_counters(Stats& now, Stats& last) {
    now.requests = now.hits = now.flushes = now.ejects = 0;
    last = now;
}

} // namespace

void ns_cache_start_afresh() {
    Ns_Cache_Lock lock;
    lookup_cache_stats.bucket_misses = 0;
    reset_counters(lookup_cache_stats, last_name);
    reset_counters(readdir_cache_stats, last_readdir);
    reset_counters(fstat_cache_stats, last_fstat);
    obj_cache_stats.reclaims = 0;
    reset_counters(obj_cache_stats, last_obj);
    for (uint32_t& count : lvut_stats) count = 0;
    dbid_hash_sweep = 0;
}

void cache_print_stats() {
    print_stat_lines();
    if (ns_should_note(1)) {
        ns_dump("    VOB event flushes:\n");
        ns_event_print_stats();
    }
    ns_dump("LVUT statistics:\n");
    for (int i = 0; i < LVUT_REASONS; ++i) {
        ns_dump("%26s: %6d\n", LVUT_LABELS[i], static_cast<int>(lvut_stats[i]));
        lvut_stats[i] = 0;
    }
}

void print_object_cache() {
    ns_dump("Object Cache\n%-20s %-11s %-5s %-5s %-17s %-18s %-18s %s\n", "vob name", "dbid", "mtype", "flags",
            "event time", "fstat", "cover", "object");
    for (unsigned b = 0; b < OBJ_HASH_BUCKETS; ++b) {
        for (obj_entry* obj = dbid_hash_tab[b]; obj != nullptr; obj = obj->dbid_next) {
            char oid[QEL_OID_STR_SIZE];
            ns_dump("%-20s 0x%08lX %5lu 0x%03x %10ld.%06ld %18p %18p %p %s\n",
                    obj->vob != nullptr ? obj->vob->name.c_str() : "", static_cast<unsigned long>(obj->dbid),
                    static_cast<unsigned long>(obj->mtype), obj->flags, static_cast<long>(obj->event_time.tv_sec),
                    static_cast<long>(obj->event_time.tv_usec), static_cast<void*>(obj->fep),
                    static_cast<void*>(obj->cover_obj), static_cast<void*>(obj), qel_oid_to_str(&obj->oid, oid));
        }
    }
}

void print_cache() {
    print_lookup_cache();
    print_object_cache();
    print_fstat_cache();
    print_dir_cache();
}

// ---- entries -------------------------------------------------------------------------

obj_entry* obj_alloc_rmap(view_vob* vob, int32_t dbid, const qel_oid_s* oid, vob_mtype_t mtype,
                          const qel_oid_s* rmap_oid, uint32_t stamp) {
    int32_t otype = otype_of(dbid, mtype);
    while (obj_cache_stats.size > obj_cache_max && obj_zero_ref_size != 0) sweep();
    auto* obj = static_cast<obj_entry*>(stg_malloc(sizeof(obj_entry)));
    if (obj == nullptr) {
        ns_int_error(SOURCE, __LINE__, NS_MSG_NO_MEMORY);
        return nullptr;
    }
    std::memset(obj, 0, sizeof *obj);
    obj_cache_stats.size += OBJ_ENTRY_SIZE;
    obj_cache_stats.count++;
    obj->dbid = dbid;
    obj->oid = *oid;
    obj->ref_cnt = 1;
    obj->stamp = stamp;
    unsigned db = dbid_bucket(dbid);
    obj->dbid_next = dbid_hash_tab[db];
    dbid_hash_tab[db] = obj;
    unsigned ob = oid_bucket(oid);
    obj->oid_next = oid_hash_tab[ob];
    oid_hash_tab[ob] = obj;
    obj->mtype = mtype;
    obj->otype = otype;
    if (dbid >= 0) {
        OstrelAgent_Util::get_view_time(&obj->event_time);
        obj->rmap_oid = rmap_oid != nullptr ? *rmap_oid : QEL_OID_NULL;
    }
    obj->vob = vob;
    vob->obj_count++;
    return obj;
}

obj_entry* obj_alloc(view_vob* vob, int32_t dbid, const qel_oid_s* oid, vob_mtype_t mtype, uint32_t stamp) {
    return obj_alloc_rmap(vob, dbid, oid, mtype, &QEL_OID_NULL, stamp);
}

obj_entry* obj_find_dbid(view_vob* vob, int32_t dbid) {
    return find_in(dbid_hash_tab[dbid_bucket(dbid)], &obj_entry::dbid_next,
                   [&](const obj_entry* o) { return o->dbid == dbid && o->vob == vob; });
}

obj_entry* obj_find_oid(view_vob* vob, const qel_oid_s* oid, int cover) {
    return find_in(oid_hash_tab[oid_bucket(oid)], &obj_entry::oid_next, [&](const obj_entry* o) {
        return o->vob == vob && qel_oid_eq(&o->oid, oid) && (o->otype == CACHE_COVER_OBJ) == (cover != 0);
    });
}

namespace {

// Counts a request, and a hit with a reference when `obj` was found.
obj_entry* counted(obj_entry* obj) {
    obj_cache_stats.requests++;
    if (obj == nullptr) return nullptr;
    obj_cache_stats.hits++;
    obj_inc_ref(obj);
    return obj;
}

} // namespace

obj_entry* obj_get(view_vob* vob, int32_t dbid) { return counted(obj_find_dbid(vob, dbid)); }

obj_entry* obj_get_by_oid(view_vob* vob, const qel_oid_s* oid, int cover) {
    return counted(obj_find_oid(vob, oid, cover));
}

void obj_inc_ref(obj_entry* obj) {
    if (obj->ref_cnt++ == 0) {
        obj_zero_ref_size -= OBJ_ENTRY_SIZE;
        obj_cache_stats.reclaims++;
    }
}

void obj_free(obj_entry* obj) {
    if (obj == nullptr) return;
    obj->flags |= OBJ_F_RECENT;
    check(obj->ref_cnt != 0, "obj->ref_cnt != 0", __LINE__);
    if (--obj->ref_cnt == 0) obj_zero_ref_size += OBJ_ENTRY_SIZE;
}

void obj_flush(obj_entry* obj) {
    fstat_flush(obj);
    check(obj->fep == nullptr, "obj->fep == NULL", __LINE__);
    lookup_flush_names2obj(obj, 0);
    check(obj->parent_list == nullptr, "obj->parent_list == NULL", __LINE__);
    check(obj->name_list == nullptr, "obj->name_list == NULL", __LINE__);
    check(obj->readdir_list == nullptr, "obj->readdir_list == NULL", __LINE__);

    view_vob* vob = obj->vob;
    switch (obj->otype) {
    case CACHE_ELEM_OBJ:
        while (obj->attach != nullptr) obj_flush(obj->attach);
        if (vob != nullptr && vob->root_elem == obj) {
            vob->root_elem = nullptr;
            obj_free(obj);
        }
        unpair_cover(obj);
        break;
    case CACHE_VER_OBJ:
        detach_from_element(obj);
        if (vob != nullptr && vob->ns_root == obj) {
            vob->ns_root = nullptr;
            obj_free(obj);
        }
        unpair_cover(obj);
        break;
    case CACHE_ATTACHED_OBJ:
        detach_from_element(obj);
        check(obj->cover_obj == nullptr, "obj->cover_obj == NULL", __LINE__);
        break;
    case CACHE_COVER_OBJ:
        if (obj->cover_obj != nullptr) obj_flush(obj->cover_obj);
        check(obj->cover_obj == nullptr, "obj->cover_obj == NULL", __LINE__);
        break;
    default:
        ns_fatal(SOURCE, __LINE__, "unexpected otype");
    }

    if (vob != nullptr) vob->obj_count--;
    obj->vob = nullptr;
    check((obj->ref_cnt == 1 || obj->ref_cnt == 0) && obj->vob == nullptr,
          "(obj->ref_cnt == 1 || obj->ref_cnt == 0) && obj->vob == NULL", __LINE__);
    unlink_chain(&dbid_hash_tab[dbid_bucket(obj->dbid)], obj, &obj_entry::dbid_next);
    unlink_chain(&oid_hash_tab[oid_bucket(&obj->oid)], obj, &obj_entry::oid_next);
    obj_cache_stats.size -= OBJ_ENTRY_SIZE;
    if (obj->ref_cnt == 0) obj_zero_ref_size -= OBJ_ENTRY_SIZE;
    obj_cache_stats.count--;
    stg_free(obj);
    obj_cache_stats.flushes++;
}

void obj_flush_lru() { sweep(); }

void cache_flush_vob(view_vob* vob) {
    for (unsigned b = 0; b < OBJ_HASH_BUCKETS; ++b) {
        // A flush may take other entries of the VOB with it (attached
        // objects, a covered object), so each one starts the bucket again.
        for (;;) {
            obj_entry* obj = find_in(dbid_hash_tab[b], &obj_entry::dbid_next,
                                     [vob](const obj_entry* o) { return o->vob == vob; });
            if (obj == nullptr) break;
            obj_flush(obj);
            obj_cache_stats.flushes++;
        }
    }
    fstat_update_lvut(vob, nullptr, LVUT_VOB_FLUSHED);
}

void cache_flush() {
    vob_cache_flush();
    fstat_cache_flush();
    readdir_cache_flush();
    lookup_cache_flush();
    for (unsigned b = 0; b < OBJ_HASH_BUCKETS; ++b)
        check(dbid_hash_tab[b] == nullptr && oid_hash_tab[b] == nullptr, "hash tables empty", __LINE__);
    check(obj_cache_stats.size == 0 && obj_zero_ref_size == 0 && obj_cache_stats.count == 0,
          "obj_cache_stats.size == 0 && obj_zero_ref_size == 0 && obj_cache_stats.count == 0", __LINE__);
}

namespace {

class Ns_Db_Cache_Flush : public OstrelDb_Cache_Flush {
public:
    void flush() override { cache_flush(); }
};

} // namespace

void ns_cache_install_db_flush() {
    static Ns_Db_Cache_Flush flush;
    OstrelDb_Cache_Flush::install(&flush);
}

void ns_fstat_flush(const qel_uuid_s& vob_uuid, const qel_oid_s& oid) {
    Ns_Cache_Lock lock;
    view_vob* vob = vob_find_cached(&vob_uuid);
    if (vob == nullptr) return;
    obj_entry* obj = obj_get_by_oid(vob, &oid, 0);
    if (obj == nullptr) return;
    fstat_flush(obj);
    fstat_get(obj);
    obj_free(obj);
}

// ---- accessors -------------------------------------------------------------------------

obj_entry* obj_2elem(obj_entry* obj) {
    switch (obj->otype) {
    case CACHE_ELEM_OBJ: return obj;
    case CACHE_VER_OBJ: return obj->attach != nullptr ? obj->attach : obj;
    case CACHE_ATTACHED_OBJ: return obj->attach;
    default: ns_fatal(SOURCE, __LINE__, "unexpected otype for obj_2elem");
    }
}

obj_entry* obj_2view_obj(obj_entry* obj) {
    if (obj_isa_view_obj(obj)) return obj;
    return obj_2elem(obj)->cover_obj;
}

// ---- access ----------------------------------------------------------------

namespace {

thread_local Ns_Caller_Scope* t_caller_scope = nullptr;

} // namespace

Ns_Caller_Scope::Ns_Caller_Scope(const Ns_Caller& caller)
    : m_caller(caller), m_outer(t_caller_scope), m_group(), m_creds() {
    credutl_gid_to_sid(caller.gid, &m_group);
    t_caller_scope = this;
}

Ns_Caller_Scope::~Ns_Caller_Scope() { t_caller_scope = m_outer; }

Ns_Caller_Scope* Ns_Caller_Scope::current() { return t_caller_scope; }

bool Ns_Caller_Scope::in_group(const credutl_sid_t* sid) {
    if (credutl_sid_eq(&m_group, sid)) return true;
    if (!m_read) {
        credutl_get_process_sid_credentials(m_caller.pid, m_caller.uid, m_caller.gid, &m_creds);
        m_read = true;
    }
    return credutl_has_group_sid(&m_creds, sid);
}

bool ns_caller_in_group(const credutl_sid_t* sid) {
    Ns_Caller_Scope* scope = Ns_Caller_Scope::current();
    return scope != nullptr ? scope->in_group(sid) : credutl_has_group_sid(ostrelagent_my_creds(), sid);
}

bool ns_caller_is_user(const credutl_sid_t* sid) {
    Ns_Caller_Scope* scope = Ns_Caller_Scope::current();
    if (scope == nullptr) return credutl_sid_eq(&ostrelagent_my_creds()->user_sid, sid);
    credutl_sid_t caller;
    credutl_uid_to_sid(scope->uid(), &caller);
    return credutl_sid_eq(&caller, sid);
}

bool ns_caller_is_root() {
    Ns_Caller_Scope* scope = Ns_Caller_Scope::current();
    return scope != nullptr && scope->root();
}

namespace {

const char* const ACL_MODE_NAMES[] = {"NONE", "EXECUTE", "WRITE", "READ", "SEARCH", "DIR_ADD", "DIR_RM", "READ_ACLS"};

// The owner bit a mode needs; 0 when no bit grants it.
qel_fmode_t owner_bit_for(acl_check_mode_t mode) {
    switch (mode) {
    case ACL_EXECUTE: case ACL_SEARCH: return 0100;
    case ACL_WRITE: case ACL_DIR_ADD: case ACL_DIR_RM: return 0200;
    case ACL_READ: return 0400;
    default: return 0;
    }
}

} // namespace

int acl_check_ext(obj_entry* obj, int ext_name, view_vstat* vstat, unsigned* word, acl_check_mode_t mode,
                  int dir_required) {
    if (word != nullptr) *word = 0;
    int status = fstat_vstat(obj, ext_name, vstat);
    if (status != 0) return status;
    if (dir_required && vstat->fstat.type != QEL_FTYPE_DIR) return QEL_ST_NOT_DIRECTORY;
    const bool root = ns_caller_is_root();
    if (ns_should_note(5)) {
        const char* name = mode >= ACL_NONE && mode <= ACL_READ_ACLS ? ACL_MODE_NAMES[mode] : "?";
        ns_dump("acl_check5 mode=%s\n", name);
    }
    if (vstat->fstat.type != QEL_FTYPE_REG && !root) {
        qel_fmode_t bit = owner_bit_for(mode);
        if (bit == 0 || (vstat->fstat.mode & bit) == 0) status = QEL_ST_NOT_PERMITTED;
    }
    if (ns_should_note(5))
        ns_dump("acl_check9 acl_check_rights and acl_check returning mode-based %d\n", status);
    return status;
}

int acl_check(obj_entry* obj, int ext_name, view_vstat* vstat, acl_check_mode_t mode, int dir_required) {
    return acl_check_ext(obj, ext_name, vstat, nullptr, mode, dir_required);
}

int acl_check_attr(const qel_fstat_db_s* current, view_set_attr* request) {
    const credutl_sid_credentials_t* mine = ostrelagent_my_creds();
    if (current == nullptr && (request->mask & VIEW_ATTR_OWNER) == 0) {
        request->owner = mine->user_sid;
        request->mask |= VIEW_ATTR_OWNER;
    }
    const bool root = ns_caller_is_root();
    if ((request->mask & VIEW_ATTR_GROUP) != 0) {
        // A caller's own group is always set; so is the agent's.
        const bool named = request->group.bytes[1] != 0 || Ns_Caller_Scope::current() != nullptr ||
                           mine->group_sid.bytes[1] != 0;
        if (!root && named && !ns_caller_in_group(&request->group)) return QEL_ST_ACCESS_DENIED;
        if (current == nullptr) return 0;
    } else if (current == nullptr) {
        request->group = mine->group_sid;
        request->mask |= VIEW_ATTR_GROUP;
        return 0;
    }
    if (root || current->type == QEL_FTYPE_REG) return 0;
    // As on a local file system, the owner may always change its object's
    // mode and set its times, whatever the mode says: else an owner that took
    // its own read and write bits away could never give them back.
    const unsigned times = 0x100 | 0x200;
    const unsigned owners = ns_caller_is_user(&current->usid) ? times | VIEW_ATTR_MODE_TOP : 0u;
    const unsigned checked = request->mask & ~owners;
    if ((checked & (VIEW_ATTR_SIZE | 0x200)) != 0 && (current->mode & 0200) == 0) return QEL_ST_NOT_PERMITTED;
    if ((checked & (0x100 | VIEW_ATTR_MODE_TOP)) != 0 && (current->mode & 0600) == 0) return QEL_ST_NOT_PERMITTED;
    return 0;
}
