#include "lib/ns/ns_fstat.h"

#include <cstring>

#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/ns/ns_content_fetch.h"
#include "lib/ns/ns_msg.h"
#include "lib/ns/ns_vob.h"
#include "lib/ns/ostrel_db_ns.h"
#include "lib/ostreladb/ostrel_db.h"
#include "platform/stg/stg.h"

ns_cache_stats_s fstat_cache_stats = {};
uint32_t lvut_stats[LVUT_REASONS] = {};

namespace {

const char* const SOURCE = "lib/ns/ns_fstat";

// The list's sentinel: `next` is the most recently used entry, `prev` the
// least recently used one.
fstat_entry fstat_lru = {nullptr, {}, &fstat_lru, &fstat_lru};

bool list_empty() { return fstat_lru.next == &fstat_lru; }

void unlink_entry(fstat_entry* fep) {
    fep->prev->next = fep->next;
    fep->next->prev = fep->prev;
    fep->prev = fep->next = nullptr;
}

void push_mru(fstat_entry* fep) {
    fep->prev = &fstat_lru;
    fep->next = fstat_lru.next;
    fstat_lru.next->prev = fep;
    fstat_lru.next = fep;
}

// Unties an entry from its object, checking the pairing both ways.
obj_entry* detach(fstat_entry* fep) {
    obj_entry* obj = fep->obj;
    if (obj->fep != fep) ns_fatal(SOURCE, __LINE__, "obj->fep == fep");
    obj->fep = nullptr;
    fep->obj = nullptr;
    return obj;
}

void attach(obj_entry* obj, fstat_entry* fep) {
    if (fep->obj != nullptr) ns_fatal(SOURCE, __LINE__, "fep->obj == obj");
    fep->obj = obj;
    obj->fep = fep;
}

void release(fstat_entry* fep) {
    stg_free(fep);
    fstat_cache_stats.size -= FSTAT_ENTRY_SIZE;
    fstat_cache_stats.count--;
}

// Drops an attached entry, moving its VOB's LVUT.
void drop(fstat_entry* fep) {
    unlink_entry(fep);
    obj_entry* obj = detach(fep);
    if (obj->vob != nullptr) fstat_update_lvut(obj->vob, obj, LVUT_CACHED_REMOVED);
    release(fep);
}

bool is_view_private_kind(vob_mtype_t mtype) {
    return mtype == 19 || mtype == 21 || mtype == 22 || mtype == 23 || mtype == 26;
}

// Unset owner and group identities of a cover do not replace the object's.
bool sid_unset(const credutl_sid_t& sid) { return sid.bytes[1] <= 1; }

bool later(const qel_fstat_time_s& a, const qel_fstat_time_s& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec > b.tv_usec);
}

void merge_cover(qel_fstat_db_s& out, const qel_fstat_db_s& cover) {
    if (cover.mode != 0xFFFFFFFFu) out.mode = cover.mode;
    if (!sid_unset(cover.usid)) out.usid = cover.usid;
    if (!sid_unset(cover.gsid)) out.gsid = cover.gsid;
    out.nlink += cover.nlink;
    out.size += cover.size;
    qel_fstat_time_s qel_fstat_db_s::*times[] = {&qel_fstat_db_s::xtime, &qel_fstat_db_s::atime,
                                                &qel_fstat_db_s::mtime, &qel_fstat_db_s::ctime};
    for (auto t : times)
        if (later(cover.*t, out.*t)) out.*t = cover.*t;
}

// Reads the object's status from where it lives.
int read_status(obj_entry* obj, qel_fstat_db_s* fstat) {
    if (obj_isa_view_obj(obj))
        return ostrel_db_dbid2oid(obj->vob->db_id, static_cast<uint32_t>(obj->dbid), nullptr, fstat, nullptr, nullptr);
    switch (obj->mtype) {
    case 2: case 3: case 5: case 6: case 7: case 8: case 9: case 11: {
        ostrel_vstat meta{};
        unsigned dbid = static_cast<unsigned>(obj->dbid);
        unsigned elem = 0;
        if (Ns_Content_Fetch::get().get_metadata(obj->vob->uuid, dbid, elem, meta) != 0) return QEL_ST_NO_MEMORY;
        *fstat = meta.vstat.fstat;
        return 0;
    }
    default:
        ns_error(NS_MSG_UNEXPECTED_MTYPE, static_cast<long>(obj->mtype), obj_2str(obj));
        return QEL_ST_INTERNAL;
    }
}

} // namespace

int fstat_cache_init(unsigned budget) {
    fstat_lru.next = fstat_lru.prev = &fstat_lru;
    fstat_max = budget;
    return 0;
}

fstat_entry* fstat_new() {
    while (fstat_cache_stats.size > fstat_max && !list_empty()) {
        drop(fstat_lru.prev);
        fstat_cache_stats.ejects++;
    }
    // At the budget the least recently used entry is taken over; with an
    // empty list (a budget of 0) there is none, and a new one is made.
    if (fstat_cache_stats.size >= fstat_max && !list_empty()) {
        fstat_entry* fep = fstat_lru.prev;
        unlink_entry(fep);
        detach(fep);
        fstat_cache_stats.ejects++;
        return fep;
    }
    auto* fep = static_cast<fstat_entry*>(stg_malloc(sizeof(fstat_entry)));
    if (fep == nullptr) {
        ns_int_error(SOURCE, __LINE__, NS_MSG_NO_MEMORY);
        return nullptr;
    }
    std::memset(fep, 0, sizeof *fep);
    fstat_cache_stats.size += FSTAT_ENTRY_SIZE;
    fstat_cache_stats.count++;
    return fep;
}

int fstat_get(obj_entry* obj) {
    fstat_cache_stats.requests++;
    if (obj->fep != nullptr) {
        fstat_cache_stats.hits++;
        unlink_entry(obj->fep);
        push_mru(obj->fep);
        return 0;
    }
    fstat_entry* fep = fstat_new();
    if (fep == nullptr) return QEL_ST_INTERNAL;
    int status = read_status(obj, &fep->fstat);
    if (status != 0) {
        release(fep);
        return status;
    }
    attach(obj, fep);
    push_mru(fep);
    return 0;
}

int fstat_vstat(obj_entry* obj, int ext_name, view_vstat* out) {
    int status = fstat_get(obj);
    if (status != 0) return status;
    qel_fstat_db_s fstat = obj->fep->fstat;
    obj_entry* elem = obj_2elem(obj);
    if (ext_name == 0 && elem->cover_obj != nullptr) {
        status = fstat_get(elem->cover_obj);
        if (status != 0) return status;
        merge_cover(fstat, elem->cover_obj->fep->fstat);
    }
    *out = view_vstat{};
    out->fstat = fstat;
    out->mtype = obj->mtype;
    out->elem_oid = elem == obj ? QEL_OID_NULL : elem->oid;
    out->obj_oid = obj->oid;
    out->event_time = obj->event_time;
    out->rmap_oid = obj->rmap_oid;
    switch (obj->mtype) {
    case 2: case 5: case 11:
        if (ext_name != 0) {
            out->fstat.type = QEL_FTYPE_DIR;
            qel_fmode_t mode = out->fstat.mode;
            out->fstat.mode = mode | ((mode & 0444) >> 2);
        }
        break;
    case 3: case 6: case 8:
        if (ext_name != 0) out->fstat.nodeid = static_cast<uint32_t>(obj->dbid);
        break;
    case 7: case 9: case 19: case 21: case 22: case 23: case 26:
        break;
    default:
        ns_error(NS_MSG_UNEXPECTED_MTYPE, static_cast<long>(obj->mtype), obj_2str(obj));
        return QEL_ST_INTERNAL;
    }
    return 0;
}

void fstat_cache_update_obj(obj_entry* obj, const qel_fstat_db_s* fstat) {
    fstat_entry* fep = obj->fep;
    bool existed = fep != nullptr;
    if (existed) {
        unlink_entry(fep);
    } else {
        fep = fstat_new();
        if (fep == nullptr) return;
        attach(obj, fep);
    }
    fep->fstat = *fstat;
    push_mru(fep);
    if (existed && obj->mtype != 2 && obj->mtype != 3 && obj->vob != nullptr)
        fstat_update_lvut(obj->vob, obj, LVUT_CACHED_UPDATED);
}

void fstat_flush(obj_entry* obj) {
    fstat_entry* fep = obj->fep;
    if (fep == nullptr) return;
    if (fep->obj != obj) ns_fatal(SOURCE, __LINE__, "fep->obj == obj");
    drop(fep);
    fstat_cache_stats.flushes++;
}

void fstat_cache_flush() {
    while (!list_empty()) drop(fstat_lru.prev);
    if (fstat_cache_stats.size != 0 || fstat_cache_stats.count != 0)
        ns_fatal(SOURCE, __LINE__, "fstat_cache_stats.size == 0 && fstat_cache_stats.count == 0");
}

int fstat_update_lvut(view_vob* vob, obj_entry* obj, int reason) {
    if (obj != nullptr && is_view_private_kind(obj->mtype)) return 0;
    OstrelAgent_Util::get_view_time(&vob->lvut);
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "ns_fstat", "fstat_update_lvut");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "new LVUT reason %d: %ld.%06ld", reason,
                     static_cast<long>(vob->lvut.tv_sec), static_cast<long>(vob->lvut.tv_usec));
    lvut_stats[reason]++;
    if (obj != nullptr)
        ns_note(4, NS_MSG_LVUT_OBJ, static_cast<int>(obj->mtype), static_cast<int>(obj->otype), vob->name.c_str(),
                reason);
    else
        ns_note(4, NS_MSG_LVUT_VOB, vob->name.c_str(), reason);
    return 0;
}

void print_fstat_cache() {
    ns_dump("fstat cache \n%-5s %-18s %-18s %s\n", "lru ", "fep", "object", "size");
    int position = 0;
    for (fstat_entry* fep = fstat_lru.next; fep != &fstat_lru; fep = fep->next)
        ns_dump("%-5d %18p %18p %llu\n", position++, static_cast<void*>(fep), static_cast<void*>(fep->obj),
                static_cast<unsigned long long>(fep->fstat.size));
}
