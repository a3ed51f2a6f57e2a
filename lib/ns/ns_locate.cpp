#include "lib/ns/ns_locate.h"

#include <initializer_list>

#include "lib/ns/ns_content_fetch.h"
#include "lib/ns/ns_event_stats.h"
#include "lib/ns/ns_fstat.h"
#include "lib/ns/ns_lookup.h"
#include "lib/ns/ns_msg.h"
#include "lib/ns/ns_vob.h"
#include "lib/ns/ostrel_db_ns.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

const char* const SOURCE = "lib/ns/ns_locate";

bool in(vob_mtype_t mtype, std::initializer_list<vob_mtype_t> kinds) {
    for (vob_mtype_t k : kinds)
        if (k == mtype) return true;
    return false;
}

bool is_view_private(vob_mtype_t mtype) { return in(mtype, {19, 21, 22, 23, 26}); }
bool is_cover_kind(vob_mtype_t mtype) { return in(mtype, {2, 3, 5, 6, 7, 8, 9}); }

void note_stale(const char* object) { ns_note(1, NS_MSG_ESTALE, object); }

// A cached entry of the object cache by the rules of a dbid lookup: a
// non-cover entry is the object; a cover that covers a VOB object gives that
// object. A cover without one is released, and `*oid` gets its oid.
obj_entry* from_cached(obj_entry* obj, qel_oid_s* oid) {
    if (obj->otype != CACHE_COVER_OBJ) return obj;
    obj_entry* covered = obj->cover_obj;
    if (covered != nullptr) obj_inc_ref(covered);
    *oid = obj->oid;
    obj_free(obj);
    return covered;
}

// Whether the view database surely holds no object `dbid` of the VOB: a
// handle naming one was issued before the database was rebuilt (which
// numbers loaded objects anew) or before the object went.
bool vob_dbid_gone(const view_vob* vob, unsigned dbid) {
    unsigned vob_db = 0;
    vob_mtype_t mtype = 0;
    return ostrel_db_vob_lookup(&vob->uuid, &vob_db) == 0 &&
           ostrel_db_obj_get_mtype(vob_db, dbid, &mtype) == QEL_ST_NOT_FOUND;
}

// Enters the VOB object `dbid` from its metadata, mapping the element it
// names to its dbid; 1001 when either cannot be had, 1087 (stale) when the
// view database holds no such object.
obj_entry* activate_from_metadata(view_vob* vob, unsigned dbid, int* status) {
    ostrel_vstat meta{};
    unsigned elem = 0;
    unsigned elem_dbid = 0;
    if (Ns_Content_Fetch::get().get_metadata(vob->uuid, dbid, elem, meta) != 0 ||
        !OstrelAgent_View_db::elem_oid_to_dbid(meta.vstat.elem_oid, vob->uuid, elem_dbid)) {
        if (vob_dbid_gone(vob, dbid)) {
            note_stale(ostrel_dbid2str(vob, dbid));
            *status = QEL_ST_STALE;
            return nullptr;
        }
        *status = QEL_ST_NO_MEMORY;
        return nullptr;
    }
    return activate_vob_obj(vob, static_cast<int32_t>(dbid), &meta.vstat.obj_oid, meta.vstat.mtype,
                            static_cast<int32_t>(elem_dbid), &meta.vstat.fstat, meta.checked_out, status);
}

// The VOB object behind the view record `view_dbid` of `oid`. A record
// without one is an orphan: when its cover is cached the record is deleted,
// and the handle is stale.
obj_entry* locate_by_oid(view_vob* vob, int32_t view_dbid, const qel_oid_s* oid, int* status) {
    obj_entry* cached = obj_find_oid(vob, oid, 0);
    if (cached != nullptr && cached->dbid >= 0) ns_fatal(SOURCE, __LINE__, "VOB object of the oid already cached");
    unsigned vob_dbid = 0;
    if (OstrelAgent_View_db::obj_oid_to_dbid(*oid, vob->uuid, vob_dbid))
        return activate_from_metadata(vob, vob_dbid, status);
    obj_entry* cover = obj_find_dbid(vob, view_dbid);
    if (cover != nullptr) {
        if (cover->otype != CACHE_COVER_OBJ) ns_fatal(SOURCE, __LINE__, "obj->otype == CACHE_COVER_OBJ");
        ns_error(NS_MSG_STALE_FLUSHING, obj_2str(cover));
        // The deletion takes the reference: it flushes the cover, or drops
        // the reference when the record stays.
        obj_inc_ref(cover);
        ostrel_db_delete(cover);
    }
    note_stale(ostrel_dbid2str(vob, static_cast<uint32_t>(view_dbid)));
    *status = QEL_ST_STALE;
    return nullptr;
}

// The stamp check of validation: a handle stamp of 0 or all ones takes the
// object's; another that differs is stale (the object is released).
obj_entry* check_stamp(view_fhandle* fh, obj_entry* obj, int* status) {
    if (fh->stamp != obj->stamp) {
        if (fh->stamp != VIEW_FH_STAMP_ANY_LOW && fh->stamp != VIEW_FH_STAMP_ANY_HIGH) {
            note_stale(obj_2str(obj));
            obj_free(obj);
            *status = QEL_ST_STALE;
            return nullptr;
        }
        fh->stamp = obj->stamp;
    }
    *status = 0;
    return obj;
}

// The handle's VOB, refusing a handle that names no object.
view_vob* handle_vob(const view_fhandle* fh, int* status) {
    if (fh->dbid == QEL_DBID_NULL) {
        *status = QEL_ST_STALE;
        return nullptr;
    }
    return vob_find(&fh->vob_uuid, status);
}

// Flushes every cached non-cover object of the oid; returns how many.
uint32_t flush_oid(view_vob* vob, const qel_oid_s* oid) {
    uint32_t flushed = 0;
    for (obj_entry* obj; (obj = obj_find_oid(vob, oid, 0)) != nullptr; ++flushed) obj_flush(obj);
    return flushed;
}

} // namespace

void makehandle(obj_entry* obj, int ext_name, view_fhandle* fh) {
    fh->vob_uuid = obj->vob->uuid;
    fh->dbid = static_cast<qel_dbid_t>(obj->dbid);
    fh->stamp = obj->stamp;
    fh->flags = ext_name != 0 ? VIEW_FH_EXT_NAME : 0;
    switch (obj->mtype) {
    case 1: case 7: case 9: case 19: case 21: case 22: case 23: case 26:
        fh->elem_dbid = fh->dbid;
        break;
    case 2: case 5:
        fh->elem_dbid = fh->dbid;
        fh->flags |= VIEW_FH_EXT_NAME;
        break;
    case 3: case 6: case 8:
        fh->elem_dbid = static_cast<qel_dbid_t>(obj_2elem(obj)->dbid);
        break;
    case 11:
        fh->elem_dbid = static_cast<qel_dbid_t>(obj_2elem(obj)->dbid);
        fh->flags |= VIEW_FH_EXT_NAME;
        break;
    default:
        ns_int_error(SOURCE, __LINE__, NS_MSG_UNEXPECTED_MTYPE, static_cast<long>(obj->mtype), obj_2str(obj));
        fh->stamp = ~obj->stamp;
        fh->elem_dbid = 0xFFFFFFFFu;
        break;
    }
    if (obj_isa_view_obj(obj)) fh->flags |= VIEW_FH_VIEW_OBJ;
    fh->spare = 0;
}

obj_entry* locate_validate_fhandle(view_fhandle* fh, int* ext_name, int* status) {
    view_vob* vob = handle_vob(fh, status);
    if (vob == nullptr) return nullptr;
    obj_entry* obj = locate_dbid(vob, static_cast<int32_t>(fh->dbid), 0, status);
    if (obj == nullptr) return nullptr;
    obj = check_stamp(fh, obj, status);
    if (obj != nullptr) *ext_name = (fh->flags & VIEW_FH_EXT_NAME) != 0;
    return obj;
}

obj_entry* locate_revalidate_fhandle(view_fhandle* fh, int* status) {
    view_vob* vob = handle_vob(fh, status);
    if (vob == nullptr) return nullptr;
    bool ext_name = (fh->flags & VIEW_FH_EXT_NAME) != 0;
    obj_entry* obj = locate_dbid(vob, static_cast<int32_t>(fh->dbid), 0, status);
    if (obj == nullptr && *status == QEL_ST_STALE && !ext_name && fh->elem_dbid != QEL_DBID_NULL &&
        fh->elem_dbid != fh->dbid)
        obj = locate_dbid(vob, static_cast<int32_t>(fh->elem_dbid), 0, status);
    if (obj == nullptr) return nullptr;
    obj = check_stamp(fh, obj, status);
    if (obj == nullptr || ext_name) return obj;
    obj_entry* now = lookup_revalidate(obj, status);
    obj_free(obj);
    return now;
}

obj_entry* locate_fhandle(view_vob* vob, view_fhandle* fh, int* status) {
    return locate_dbid(vob, static_cast<int32_t>(fh->dbid), 0, status);
}

obj_entry* locate_dbid(view_vob* vob, int32_t dbid, int, int* status) {
    if (dbid == 0) ns_fatal(SOURCE, __LINE__, "dbid != QEL_DBID_NULL");
    *status = 0;
    qel_oid_s oid{};
    obj_entry* obj = obj_get(vob, dbid);
    if (obj != nullptr) {
        obj = from_cached(obj, &oid);
        return obj != nullptr ? obj : locate_by_oid(vob, dbid, &oid, status);
    }
    if (dbid > 0) return activate_from_metadata(vob, static_cast<unsigned>(dbid), status);
    qel_fstat_db_s fstat{};
    vob_mtype_t mtype = 0;
    uint32_t stamp = 0;
    int st = ostrel_db_dbid2oid(vob->db_id, static_cast<uint32_t>(dbid), &oid, &fstat, &mtype, &stamp);
    if (st != 0) {
        *status = st;
        return nullptr;
    }
    obj = locate_activate_view_obj(vob, dbid, &oid, mtype, stamp, &fstat, status);
    if (obj != nullptr || *status != 0) return obj;
    return locate_by_oid(vob, dbid, &oid, status);
}

obj_entry* locate_oid(view_vob* vob, const qel_oid_s* oid, int, int* status) {
    *status = 0;
    obj_entry* obj = obj_get_by_oid(vob, oid, 0);
    if (obj != nullptr) return obj;
    uint32_t dbid = 0;
    uint32_t stamp = 0;
    qel_fstat_db_s fstat{};
    vob_mtype_t mtype = 0;
    int st = ostrel_db_oid2dbid(vob->db_id, oid, &dbid, &stamp, &fstat, &mtype);
    if (st != 0) {
        *status = st;
        return nullptr;
    }
    // A cover of the record may be cached already: entering the record again
    // would cache it twice.
    obj = obj_find_dbid(vob, static_cast<int32_t>(dbid));
    if (obj != nullptr) {
        obj_inc_ref(obj);
        qel_oid_s cover_oid{};
        obj = from_cached(obj, &cover_oid);
        return obj != nullptr ? obj : locate_by_oid(vob, static_cast<int32_t>(dbid), oid, status);
    }
    obj = locate_activate_view_obj(vob, static_cast<int32_t>(dbid), oid, mtype, stamp, &fstat, status);
    if (obj != nullptr || *status != 0) return obj;
    return locate_by_oid(vob, static_cast<int32_t>(dbid), oid, status);
}

obj_entry* activate_vob_obj(view_vob* vob, int32_t dbid, const qel_oid_s* oid, vob_mtype_t mtype, int32_t elem_dbid,
                            const qel_fstat_db_s* fstat, int checked_out, int* status) {
    if (dbid <= 0)
        ns_fatal(SOURCE, __LINE__, "dbid != QEL_DBID_NULL && dbid < VIEW_DB_INODE_OFFSET");
    *status = 0;
    obj_entry* obj = nullptr;
    switch (mtype) {
    case 2: case 5:
        obj = obj_alloc(vob, dbid, oid, mtype, vob->stamp);
        if (obj != nullptr && checked_out) obj->flags |= OBJ_F_CHECKEDOUT;
        break;
    case 3: case 6: case 8: case 11: {
        if (elem_dbid == 0) ns_fatal(SOURCE, __LINE__, "elem_dbid != QEL_DBID_NULL");
        obj_entry* elem = locate_dbid(vob, elem_dbid, 0, status);
        if (elem == nullptr) return nullptr;
        obj = obj_alloc(vob, dbid, oid, mtype, vob->stamp);
        if (obj == nullptr) {
            obj_free(elem);
            break;
        }
        // The attached object keeps the element's reference.
        obj->attach_next = elem->attach;
        elem->attach = obj;
        obj->attach = elem;
        break;
    }
    case 7: case 9:
        obj = obj_alloc(vob, dbid, oid, mtype, vob->stamp);
        break;
    default:
        ns_error(NS_MSG_UNEXPECTED_MTYPE, static_cast<long>(mtype), ostrel_dbid2str(vob, static_cast<uint32_t>(dbid)));
        *status = QEL_ST_STALE;
        return nullptr;
    }
    if (obj == nullptr) {
        *status = QEL_ST_INTERNAL;
        return nullptr;
    }
    obj->flags |= OBJ_F_FROM_VOB;
    if (is_cover_kind(mtype)) {
        int st = locate_cover_get(obj);
        if (st != 0) {
            obj_flush(obj);
            *status = st;
            return nullptr;
        }
    }
    if (fstat != nullptr && fstat->type != 0) fstat_cache_update_obj(obj, fstat);
    return obj;
}

obj_entry* locate_activate_view_obj(view_vob* vob, int32_t dbid, const qel_oid_s* oid, vob_mtype_t mtype,
                                    uint32_t stamp, const qel_fstat_db_s* fstat, int* status) {
    *status = 0;
    // Every view-private kind is an object of its own: a view-private file
    // made for a build or by a creator's flag is reached like any other.
    bool own = is_view_private(mtype);
    if (!own && !is_cover_kind(mtype)) {
        ns_error(NS_MSG_UNEXPECTED_MTYPE, static_cast<long>(mtype), ostrel_dbid2str(vob, static_cast<uint32_t>(dbid)));
        *status = QEL_ST_INTERNAL;
        return nullptr;
    }
    obj_entry* obj = obj_alloc(vob, dbid, oid, mtype, stamp);
    if (obj == nullptr) {
        *status = QEL_ST_INTERNAL;
        return nullptr;
    }
    if (fstat != nullptr) fstat_cache_update_obj(obj, fstat);
    if (own) return obj;
    obj_free(obj);
    return nullptr;
}

int locate_cover_get(obj_entry* obj) {
    view_vob* vob = obj->vob;
    obj_entry* cover = obj_get_by_oid(vob, &obj->oid, 1);
    if (cover != nullptr) {
        if (cover->cover_obj != nullptr) ns_fatal(SOURCE, __LINE__, "cover_obj->cover_obj == NULL");
        cover->cover_obj = obj;
        obj->cover_obj = cover;
        return 0;
    }
    uint32_t dbid = 0;
    uint32_t stamp = 0;
    qel_fstat_db_s fstat{};
    vob_mtype_t mtype = 0;
    int status = ostrel_db_oid2dbid(vob->db_id, &obj->oid, &dbid, &stamp, &fstat, &mtype);
    if (status == QEL_ST_NOT_FOUND) return 0;
    if (status != 0) return status;
    if (mtype == obj->mtype) {
        status = locate_cover_set(obj, static_cast<int32_t>(dbid), stamp);
        if (status == 0) fstat_cache_update_obj(obj->cover_obj, &fstat);
        return status;
    }
    if (!is_view_private(mtype))
        ns_error(NS_MSG_UNEXPECTED_MTYPE, static_cast<long>(mtype), ostrel_dbid2str(vob, dbid));
    return 0;
}

int locate_cover_set(obj_entry* obj, int32_t dbid, uint32_t stamp) {
    if (!is_cover_kind(obj->mtype)) {
        ns_error(NS_MSG_UNEXPECTED_MTYPE, static_cast<long>(obj->mtype), obj_2str(obj));
        return QEL_ST_INTERNAL;
    }
    obj_entry* cover = obj_alloc(obj->vob, dbid, &obj->oid, obj->mtype, stamp);
    if (cover == nullptr) return QEL_ST_INTERNAL;
    cover->cover_obj = obj;
    obj->cover_obj = cover;
    return 0;
}

void locate_cache_update(view_vob* vob, int32_t dbid, const qel_fstat_db_s* fstat) {
    obj_entry* obj = obj_find_dbid(vob, dbid);
    if (obj == nullptr) {
        fstat_update_lvut(vob, nullptr, LVUT_NONCACHED_UPDATED);
    } else if (fstat != nullptr) {
        fstat_cache_update_obj(obj, fstat);
    } else {
        obj_flush(obj);
    }
}

int locate_invalidate(view_invalidate_type kind, const qel_uuid_s* vob_uuid, const qel_oid_s* oid, const char* name,
                      bool metadata_too) {
    // The view database's records first, with no namespace lock held: a
    // name's waits for a listing of its directory being stored, and that
    // listing for the server.
    if (metadata_too && kind == VIEW_INVALIDATE_OBJ) Ns_Content_Fetch::get().invalidate_obj(*vob_uuid, *oid);
    if (metadata_too && kind == VIEW_INVALIDATE_NAME)
        Ns_Content_Fetch::get().invalidate_name(*vob_uuid, *oid, name != nullptr ? name : "");
    Ns_Cache_Lock lock;
    view_vob* vob = nullptr;
    char uuid_text[QEL_UUID_STR_SIZE] = "";
    const char* vob_text = uuid_text;
    if (kind != VIEW_INVALIDATE_VIEW && vob_uuid != nullptr) {
        vob = vob_find_cached(vob_uuid);
        vob_text = vob != nullptr ? vob->name.c_str() : qel_uuid_to_str(vob_uuid, uuid_text);
    }
    char oid_text[QEL_OID_STR_SIZE] = "";
    if (oid != nullptr) qel_oid_to_str(oid, oid_text);
    switch (kind) {
    case VIEW_INVALIDATE_VIEW:
        ns_note(1, NS_MSG_INVALIDATE_VIEW);
        cache_flush();
        return 0;
    case VIEW_INVALIDATE_VOB:
        ns_note(1, NS_MSG_INVALIDATE_VOB, vob_text);
        vob_flush_vob_uuid(vob_uuid);
        return 0;
    case VIEW_INVALIDATE_OBJ:
        ns_note(1, NS_MSG_INVALIDATE_OBJ, vob_text, oid_text);
        if (vob != nullptr) {
            locate_invalidate_oid(vob, oid, 1);
            lookup_invalidate_not_found(vob);
        }
        return 0;
    case VIEW_INVALIDATE_NAME:
        ns_note(1, NS_MSG_INVALIDATE_NAME, vob_text, oid_text, name != nullptr ? name : "");
        if (vob != nullptr) lookup_invalidate_oid(vob, oid, name);
        return 0;
    default:
        return QEL_ST_INVALID;
    }
}

void locate_invalidate_oid(view_vob* vob, const qel_oid_s* oid, int) { flush_oid(vob, oid); }

void locate_event_flush(view_vob* vob, int32_t dbid) {
    obj_entry* obj = obj_find_dbid(vob, dbid);
    if (obj == nullptr) {
        fstat_update_lvut(vob, nullptr, LVUT_NONCACHED_UPDATED);
        return;
    }
    ns_note(2, NS_MSG_FLUSHING_OBJ, obj_2str(obj));
    obj_flush(obj);
    ns_event_count_flush(NS_EVENT_FLUSH_OBJ);
}

void locate_event_flush_oid(view_vob* vob, const qel_oid_s* oid) {
    char text[QEL_OID_STR_SIZE];
    ns_note(2, NS_MSG_FLUSHING_OBJ_OID, qel_oid_to_str(oid, text));
    ns_event_count_flush(NS_EVENT_FLUSH_OBJ, flush_oid(vob, oid));
}
