#pragma once
// Object location and handles: turns a kernel file handle, a database id or
// an object id into a referenced cached object, entering it from the view
// database or from VOB metadata on a miss; makes the handles the kernel
// keeps and decides when one has gone stale; pairs VOB objects with the view
// records that cover them; applies invalidations.
//
// Everything runs under the namespace cache's mutex, held by the caller,
// except locate_invalidate, which takes it itself.
//
// Statuses: 0; 1001 metadata or an element id could not be had; 1002 not
// found; 1008 no memory, or an unexpected kind; 1072 an unknown
// invalidation kind; 1087 a stale handle.

#include <cstdint>

#include "lib/ns/ns_cache.h"

// Handle flags.
constexpr uint32_t VIEW_FH_EXT_NAME = 0x1;  // reached through extended naming
constexpr uint32_t VIEW_FH_VIEW_OBJ = 0x2;

// A handle stamp that matches any object.
constexpr uint32_t VIEW_FH_STAMP_ANY_LOW = 0;
constexpr uint32_t VIEW_FH_STAMP_ANY_HIGH = 0xFFFFFFFFu;

void makehandle(obj_entry* obj, int ext_name, view_fhandle* fh);
// The handle's object, referenced; a handle stamp of 0 or all ones takes the
// object's. `*ext_name` gets the handle's extended-name bit.
obj_entry* locate_validate_fhandle(view_fhandle* fh, int* ext_name, int* status);
// As validation; a stale handle falls back to its element, and a handle
// without the extended-name bit takes what its name now selects.
obj_entry* locate_revalidate_fhandle(view_fhandle* fh, int* status);
obj_entry* locate_fhandle(view_vob* vob, view_fhandle* fh, int* status);
obj_entry* locate_dbid(view_vob* vob, int32_t dbid, int unused, int* status);
obj_entry* locate_oid(view_vob* vob, const qel_oid_s* oid, int unused, int* status);
// Enters a VOB object (dbid > 0) from its metadata.
obj_entry* activate_vob_obj(view_vob* vob, int32_t dbid, const qel_oid_s* oid, vob_mtype_t mtype, int32_t elem_dbid,
                            const qel_fstat_db_s* fstat, int checked_out, int* status);
// Enters a view record: a view-private object is returned referenced; a
// cover record stays cached unreferenced and null comes back with status 0.
obj_entry* locate_activate_view_obj(view_vob* vob, int32_t dbid, const qel_oid_s* oid, vob_mtype_t mtype,
                                    uint32_t stamp, const qel_fstat_db_s* fstat, int* status);
// Pairs a VOB object with the view record that covers it, when there is one.
int locate_cover_get(obj_entry* obj);
// Makes the cover of `obj` for the view record `dbid`; 0 or 1008. The view
// database calls it when it makes a record over a cached VOB object.
int locate_cover_set(obj_entry* obj, int32_t dbid, uint32_t stamp);
// A record's status changed in the view database (null: the record went).
void locate_cache_update(view_vob* vob, int32_t dbid, const qel_fstat_db_s* fstat);
// Takes the cache mutex. 0, or 1072 for an unknown kind. With
// `metadata_too` the view database's records of an object or a name are
// invalidated first, which may wait for a listing of the directory being
// stored: the caller holds no namespace lock then.
int locate_invalidate(view_invalidate_type kind, const qel_uuid_s* vob_uuid, const qel_oid_s* oid, const char* name,
                      bool metadata_too);
// Flushes every cached non-cover object of the oid.
void locate_invalidate_oid(view_vob* vob, const qel_oid_s* oid, int unused);
void locate_event_flush(view_vob* vob, int32_t dbid);
void locate_event_flush_oid(view_vob* vob, const qel_oid_s* oid);
