#pragma once
// Record-level look-ups of the element namespace (ostrela_db_*): the
// loaded objects, elements, versions and directory-version entries, found
// by dbid or oid within a VOB, and the checked-out elements. Each runs
// inside the caller's transaction. So far only what the load scopes and the
// view queries need; the loads themselves join later.
//
// A VOB "handle" is its record's dbid (0 gives 1002, one without bit 31
// 1008); a VOB "address" is the plain record address the namespace records
// store. An object's dbid is unique within its VOB only.

#include <cstdint>
#include <vector>

#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_schema.h"
#include "platform/qel/qel.h"
#include "runtime/kesto.h"

// Kinds of loaded objects.
constexpr uint32_t VNS_MTYPE_DIR_ELEM = 2;
constexpr uint32_t VNS_MTYPE_DIR_VER = 3;
constexpr uint32_t VNS_MTYPE_ELEM = 5;
constexpr uint32_t VNS_MTYPE_VER = 6;
constexpr uint32_t VNS_MTYPE_SLINK = 7;
constexpr uint32_t VNS_MTYPE_DERIVED_VER = 8;

// The record of a dbid in the VOB at `vob`: `*found` 0 (status 0) when
// there is none, else 1 and the record current at `*record`. The object's
// kind comes with it.
int ostrela_db_obj_lookup(db_address vob, uint32_t dbid, int* found, db_address* record, uint32_t* mtype);
int ostrela_db_ver_lookup(db_address vob, uint32_t dbid, int* found, db_address* record);
int ostrela_db_elem_lookup(db_address vob, uint32_t dbid, int* found, db_address* record);
int ostrela_db_slink_lookup(db_address vob, uint32_t dbid, int* found, db_address* record);
int ostrela_db_dir_ver_lookup(db_address vob, uint32_t dbid, int* found, db_address* record);
// The directory-version entry that names the object `dbid`.
int ostrela_db_dir_ver_ent_lookup(db_address vob, uint32_t dbid, int* found, db_address* record);

// The object with `oid` in the VOB: its dbid and kind; 1002 (not reported)
// when there is none. By address, or by handle (every failure then 1002).
int ostrela_db_vns_obj_lookup(db_address vob, const qel_oid_s* oid, uint32_t* dbid, uint32_t* mtype);
int ostrela_db_lookup_obj_oid(uint32_t vob, const qel_oid_s* oid, uint32_t* dbid, uint32_t* mtype);
// An object's kind (0 first); 1002 when there is no such object.
int ostrela_db_obj_get_mtype(uint32_t vob, uint32_t dbid, uint32_t* mtype);
// An object's oid, kind and file status (each may be null); the status's
// link count is the number of names of the object (a directory version: 2
// and one for each directory version in it). 1002 when there is none.
int ostrela_db_get_obj_info(db_address vob, uint32_t dbid, qel_oid_s* oid, uint32_t* mtype, qel_fstat_db_s* fstat);

// An element's first version (0 first), and a version's element; 1002 when
// there is none.
int ostrela_db_elem_get_ver(uint32_t vob, uint32_t elem, uint32_t* ver);
int ostrela_db_ver_get_elem(uint32_t vob, uint32_t ver, uint32_t* elem);
// The directory version that holds the first name of a version or link;
// its entry and the entry's address when asked. 1002 when it has no name.
int ostrela_db_ver_get_parent(uint32_t vob, uint32_t dbid, uint32_t* parent, vns_db_dir_ver_ent* entry,
                              db_address* entry_record);
// The element of the directory that holds an object (for an element, its
// version); 0 for a root directory.
int ostrela_db_obj_get_parent_elem(uint32_t vob, uint32_t dbid, uint32_t* elem);

// The name of the directory-version entry at `entry`, or of the entry that
// names the object `dbid`, into `size` bytes with its NUL (1084 when it does
// not fit).
int ostrela_db_get_dir_ver_ent_pname(db_address vob, db_address entry, size_t size, char* buf);
int ostrela_db_dir_ver_ent_get_name(db_address vob, uint32_t dbid, size_t size, char* buf);

// Whether any element is checked out; each checked-out element as its VOB,
// the element of its parent directory and its name ("RootDir" and the null
// oid for a root directory).
int ostrela_db_has_checkouts(bool* any);
int ostrela_db_find_checkouts(std::vector<ostrelagent_hijack_co_info>& list);
