#pragma once
// The VOB cache: one record (view_vob) per VOB that handles or server replies
// have reached, made on demand from the VOB's registration in the view
// database and found by its replica uuid. It keeps what the other caches
// need per VOB (name-space root, root element, last view update time, the
// stamp of its objects' handles), flushes everything cached for one VOB and
// words the errors of VOB operations. Everything runs under the namespace
// cache's mutex, held by the caller.

#include <sys/time.h>

#include <cstdint>
#include <string>

#include "lib/ns/ns_cache.h"
#include "lib/ostreladb/ostrel_db_vob.h"
#include "platform/qel/qel.h"
#include "platform/rt/rt.h"

// The newest record; the list runs through `next`.
extern view_vob* vob_tab;

view_vob* vob_find_cached(const qel_uuid_s* uuid);
// The record of a VOB the view database knows (read again when its
// database id is 0); null with 1016 otherwise.
view_vob* vob_find(const qel_uuid_s* uuid, int* status);
// As vob_find, for a VOB no handle has reached yet.
view_vob* vob_create(const qel_uuid_s* uuid, int* status);
// Flushes the VOB's objects and frees the record.
void vob_dispose(view_vob* vob);
// Flushes a cached VOB's objects and closes it.
void vob_flush_vob_uuid(const qel_uuid_s* uuid);
// Flushes every VOB's objects and makes each record be read again.
void vob_cache_flush();
// The uuid of the cached VOB whose oid is `oid`; 1016 when none.
int vob_find_oid(const qel_oid_s* oid, qel_uuid_s* uuid);

int ostrel_vob_create(const qel_uuid_s* uuid, const char* unused1, const char* unused2);
// Host and storage path of a VOB: from its cached record (1084 when a buffer
// is too small), else from the view database.
int ostrel_vob_get_path(const qel_uuid_s* uuid, unsigned host_size, char* host, unsigned path_size, char* path);
// Records the VOB of the handle's object in the view database.
int ostrel_vob_save_path(view_fhandle* fh);
// Disposes of the cached record and removes the VOB from the view database.
int ostrel_vob_rm_path(const qel_uuid_s* uuid);
int ostrel_vob_recover_object(const qel_uuid_s* uuid, const qel_oid_s* oid, const char* name, unsigned size,
                              char* buf);

// Prints the error of a VOB operation and returns its status (1001 becomes
// 1009); 1019, 1020 and 1078 are returned as they are without a message.
int vob_print_error(view_vob* vob, const char* op, const char* object, int status);
int vob_print_error_oid(view_vob* vob, const char* op, const qel_oid_s* oid, int status);
int vob_print_error_dbid(view_vob* vob, const char* op, uint32_t dbid, int status);
int vob_print_error_dirname(view_vob* vob, const char* op, uint32_t dir_dbid, const char* name, int status);

// Dumps each VOB's negative names.
void print_vob_enoents();
