#pragma once
// Record-level operations on the view-namespace record and the load scopes
// (ostrela_db_*); each runs inside the caller's transaction.

#include <cstdint>

#include "platform/qel/qel.h"

// The default scope's oid: the bytes f0 cf 35 74 a8 95 e3 11, then zeros.
inline constexpr qel_oid_s AUTOMATIC_LOAD_SCOPE_OID = {{0xf0, 0xcf, 0x35, 0x74, 0xa8, 0x95, 0xe3, 0x11}};

bool ostrela_db_is_def_scope(const qel_oid_s* oid);

// Creates the one view-namespace record, or sets only its generation number
// when it exists.
int ostrela_db_create_vns_view(const qel_uuid_s* uuid, uint32_t gn);
// The view's generation number (0 first); 1008, reported, when there is no
// view-namespace record.
int ostrela_db_get_vns_view_gn(uint32_t* gn);
int ostrela_db_set_vns_view_gn(uint32_t gn);

// The address of the scope of `oid` (0 first), left current; 1002 for the
// null oid or an oid without a scope.
int ostrela_db_lookup_lr_scope_oid(const qel_oid_s* oid, uint32_t* dbid);
// Creates a scope (an existing oid only begins again at `gn`, and leaves
// the removed state only when `gn` is 1).
int ostrela_db_create_lr_scope(const qel_oid_s* oid, uint32_t gn, const char* name);
// Creates the default scope "Automatic" at generation 1 unless it exists.
int ostrela_db_create_def_scope();
