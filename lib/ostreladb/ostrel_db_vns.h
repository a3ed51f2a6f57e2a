#pragma once
// Record-level operations of the loaded element namespace (ostrela_db_*):
// the objects, elements, versions and symbolic links a load brings in, the
// directory versions with the entries that name them, the flags that mark
// them stale, not valid or listed, and their removal. Each runs inside the
// caller's transaction (a write one where it changes anything) and leaves a
// failure's partial changes to that transaction, which the caller aborts.
//
// A VOB "handle" is its record's dbid (0 gives 1002, one without bit 31
// 1008); a VOB "address" is the plain record address the namespace records
// store. An object's dbid is drawn from its VOB's counter and is unique
// within that VOB only. Statuses: 0; 1002 not found; 1008 bad argument or
// internal failure (an engine failure is reported once); 1033 found but
// stale or not valid; 1067 exists; 1084 too long or buffer too small; 1087
// record of the wrong type or deleted.

#include <sys/time.h>

#include <cstdint>
#include <vector>

#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_schema.h"
#include "lib/ostreladb/ostrelagent_dirent.h"
#include "platform/qel/qel.h"
#include "runtime/kesto.h"

// Kinds of loaded objects.
constexpr uint32_t VNS_MTYPE_DIR_ELEM = 2;
constexpr uint32_t VNS_MTYPE_DIR_VER = 3;
constexpr uint32_t VNS_MTYPE_ELEM = 5;
constexpr uint32_t VNS_MTYPE_VER = 6;
constexpr uint32_t VNS_MTYPE_SLINK = 7;
constexpr uint32_t VNS_MTYPE_DERIVED_VER = 8;

inline bool vns_is_element(uint32_t mtype) { return mtype == VNS_MTYPE_DIR_ELEM || mtype == VNS_MTYPE_ELEM; }
inline bool vns_is_version(uint32_t mtype) {
    return mtype == VNS_MTYPE_DIR_VER || mtype == VNS_MTYPE_VER || mtype == VNS_MTYPE_DERIVED_VER;
}

// Longest name of a loaded entry and longest symbolic link text.
constexpr size_t VNS_NAME_MAX = 255;
constexpr size_t VNS_SLINK_TEXT_MAX = 1023;

// Saved readdir states of a directory version while a load-rule scope loads
// it: not read completely before a new version took its entries, read
// completely, and entered into the load-rule scope.
constexpr uint16_t DIR_VER_SAVED_NONE = 0;
constexpr uint16_t DIR_VER_SAVED_UNREAD = 1;
constexpr uint16_t DIR_VER_SAVED_READ = 2;
constexpr uint16_t DIR_VER_SAVED_SCOPE = 3;

// ---- steps the namespace files share ---------------------------------------------------------

// The plain address of a VOB handle.
int ostrela_db_vob_handle(uint32_t vob, db_address* dba);
// The record of `type` found by (VOB, dbid) through `key`, made current:
// `*found` 0 (status 0) when there is none; a key hit on a record of
// another type is 1002.
int ostrela_db_find_by_dbid(long key, int type, db_address vob, uint32_t dbid, int* found, db_address* record,
                            const char* object);
// The same, 1002 when there is none.
int ostrela_db_need_by_dbid(long key, int type, db_address vob, uint32_t dbid, const char* object,
                            db_address* record = nullptr);
// The current record made the owner of `set`, and its number of members.
int ostrela_db_count_members(int set, int32_t* count, const char* object);
// The members of `set` under the current record, in set order.
int ostrela_db_collect_members(int set, std::vector<db_address>& members, const char* object);
// Makes the record at `at` current and reads it.
int ostrela_db_read_at(db_address at, void* rec, const char* object);
// Connects the record at `member` under the record at `owner` in `set`.
int ostrela_db_connect_to(int set, db_address owner, db_address member, const char* object);
// Takes the record at `member` out of `set`; one that is in no set of the
// kind is left as it is.
int ostrela_db_disconnect(int set, db_address member, const char* object);
// Deletes the record at `at` with its set links.
int ostrela_db_disdel_at(db_address at, const char* object);
// A deleted slot, or a record of another type, at `at`.
bool ostrela_db_gone(db_address at, int type);

// ---- objects, elements, versions, links ---------------------------------------------------

// The record of a dbid in the VOB at `vob`: `*found` 0 (status 0) when
// there is none, else 1 and the record current at `*record`. The object's
// kind comes with it.
int ostrela_db_obj_lookup(db_address vob, uint32_t dbid, int* found, db_address* record, uint32_t* mtype);
int ostrela_db_ver_lookup(db_address vob, uint32_t dbid, int* found, db_address* record);
int ostrela_db_elem_lookup(db_address vob, uint32_t dbid, int* found, db_address* record);
int ostrela_db_slink_lookup(db_address vob, uint32_t dbid, int* found, db_address* record);

// The object with `oid` in the VOB: its dbid and kind; 1002 (not reported)
// when there is none. By address, or by handle (every failure then 1002).
int ostrela_db_vns_obj_lookup(db_address vob, const qel_oid_s* oid, uint32_t* dbid, uint32_t* mtype);
int ostrela_db_lookup_obj_oid(uint32_t vob, const qel_oid_s* oid, uint32_t* dbid, uint32_t* mtype);
// By oid, only an element, a version (a stale one: its dbid and 1033), a
// symbolic link (another kind: 1008).
int ostrela_db_vns_elem_lookup(uint32_t vob, const qel_oid_s* oid, uint32_t* dbid);
int ostrela_db_vns_ver_lookup(uint32_t vob, const qel_oid_s* oid, uint32_t* dbid);
int ostrela_db_vns_slink_lookup(uint32_t vob, const qel_oid_s* oid, uint32_t* dbid);
// The version or link a name of the directory version `dir` names, with
// its kind and the scope and generation number that loaded the name. 1033
// (with the dbid) for a name not valid or a stale version.
int ostrela_db_vns_ver_lookup_name(uint32_t vob, uint32_t dir, const char* name, uint32_t* dbid, uint32_t* mtype,
                                   qel_oid_s* scope, uint32_t* gn);
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

// The VOB's root directory version and the generation number of its entry
// (1002 and dbid 0 without one); whether it has one that is not stale.
int ostrela_db_get_vob_root_dir(uint32_t vob, uint32_t* root, uint32_t* gn);
bool ostrela_db_vob_has_root_dir(uint32_t vob);
// Records `dbid` as the VOB's root directory version.
int ostrela_db_add_vob_root_dir(uint32_t vob, uint32_t dbid);
// Writes `node` (which must exist: else 1008) into the object's node id.
int ostrela_db_obj_update_nodeid(uint32_t vob, uint32_t dbid, uint32_t node);

// The checkout of the element that `dbid` (the element or one of its
// versions) names: its checked-out version and flag. The setter writes the
// oid only when one is given.
int ostrela_db_elem_get_checkedout(uint32_t vob, uint32_t dbid, qel_oid_s* co_oid, int* flag);
int ostrela_db_elem_set_checkedout(uint32_t vob, uint32_t dbid, const qel_oid_s* co_oid, int flag);
// Whether any element is checked out; each checked-out element as its VOB,
// the element of its parent directory and its name ("RootDir" and the null
// oid for a root directory).
int ostrela_db_has_checkouts(bool* any);
int ostrela_db_find_checkouts(std::vector<ostrelagent_hijack_co_info>& list);

// ---- creation ----------------------------------------------------------------------------------

// A new object record of the VOB at `vob` (1087 when that is no live VOB
// record), its dbid drawn from the VOB's counter, which rises only when the
// object is made (1067, not reported, for an oid the VOB has).
int ostrela_db_create_vns_obj(db_address vob, const qel_oid_s* oid, uint32_t mtype, const qel_fstat_db_s* fstat,
                              uint32_t* dbid);
// An element; one the VOB has keeps its dbid and only takes the checkout
// flag.
int ostrela_db_create_vns_elem(uint32_t vob, const qel_oid_s* oid, const struct timeval* time,
                               const qel_fstat_db_s* fstat, uint32_t mtype, int checked_out, uint32_t* dbid);
// A version's object and version records; it joins its element when the
// VOB has that element.
int ostrela_db_create_ver_rec(db_address vob, const qel_oid_s* ver_oid, const qel_oid_s* elem_oid, uint32_t mtype,
                              const struct timeval* time, const qel_fstat_db_s* fstat, uint32_t* dbid);

// What a creation must do about the name and the objects it brings.
struct ostrela_db_creation {
    bool evil_twin = false;     // the name is held by an entry of another object
    bool same_element = false;  // the name (or the root) holds a version of the same element
    bool same_object = false;   // ... and that is the very version or link
    bool replace = false;       // ... and another version or link: the new one replaces it
    bool add_name = false;      // the object is loaded under another name: one more name
    db_address record = 0;      // the entry concerned, or the object's record for add_name
};
int ostrela_db_obj_creation_check(db_address vob, const qel_oid_s* ver_oid, const qel_oid_s* elem_oid,
                                  uint32_t parent, uint32_t mtype, const char* name, ostrela_db_creation* check);

// Loads a version under `name` in the directory version `parent`, in the
// scope `scope` (null: the default scope) at `gn`: the same version again
// is confirmed, a new version of the element under the name replaces the
// old one, another object holding the name is removed first. `*other_scope`
// gets the scope of another name of a directory version (null when none);
// `*parent_oid`, when asked, the parent's oid.
int ostrela_db_create_vns_ver(uint32_t vob, uint32_t parent, const qel_oid_s* ver_oid, const qel_oid_s* elem_oid,
                              uint32_t mtype, const struct timeval* time, const char* name,
                              const qel_fstat_db_s* fstat, const qel_oid_s* scope, uint32_t gn, int readdir_state,
                              uint32_t* dbid, qel_oid_s* other_scope, qel_oid_s* parent_oid);
// The same for a symbolic link with its text.
int ostrela_db_create_vns_slink(uint32_t vob, uint32_t parent, const qel_oid_s* oid, const struct timeval* time,
                                const char* name, const char* text, const qel_fstat_db_s* fstat,
                                const qel_oid_s* scope, uint32_t gn, uint32_t* dbid, qel_oid_s* parent_oid);
// The same for the VOB's root directory version, which the VOB record
// then names.
int ostrela_db_create_root_dir(uint32_t vob, const qel_oid_s* ver_oid, const qel_oid_s* elem_oid,
                               const struct timeval* time, const qel_fstat_db_s* fstat, const qel_oid_s* scope,
                               uint32_t gn, int readdir_state, uint32_t* dbid);

// ---- attributes ------------------------------------------------------------------------------------

int ostrela_db_get_vns_elem_info(uint32_t vob, uint32_t elem, qel_oid_s* oid, uint32_t* mtype, int* checked_out,
                                 struct timeval* time, qel_fstat_db_s* fstat);
int ostrela_db_get_ver_vstat(uint32_t vob, uint32_t ver, qel_oid_s* oid, uint32_t* mtype, struct timeval* time,
                             qel_fstat_db_s* fstat, int* checked_out, qel_oid_s* elem_oid);
// As ostrela_db_get_ver_vstat, with the name of the version's entry into
// `size` bytes of `name` when given.
int ostrela_db_get_ver_info(uint32_t vob, uint32_t ver, size_t size, qel_oid_s* oid, uint32_t* mtype,
                            int* checked_out, struct timeval* time, char* name, qel_fstat_db_s* fstat,
                            qel_oid_s* elem_oid);
int ostrela_db_get_ver_elem_info(uint32_t vob, uint32_t ver, uint32_t* elem, qel_oid_s* elem_oid,
                                 qel_fstat_db_s* elem_fstat, int* checked_out);
// A link's oid, time, name and text (each buffer of `size` bytes, when
// given; 1084 for a text that does not fit) and status, whose size is the
// text's length.
int ostrela_db_get_slink_info(uint32_t vob, uint32_t slink, size_t size, qel_oid_s* oid, struct timeval* time,
                              char* name, char* text, qel_fstat_db_s* fstat);
int ostrela_db_get_root_dir_info(uint32_t vob, qel_oid_s* oid, int* checked_out, struct timeval* time,
                                 qel_fstat_db_s* fstat, qel_oid_s* scope, uint32_t* gn);

// ---- directory versions and their entries ----------------------------------------------------

// One object a directory version names: its dbid, its kind and the
// address of the entry.
struct ostrela_db_sub_vers {
    uint32_t dbid;
    uint32_t mtype;
    db_address entry;
};

int ostrela_db_dir_ver_lookup(db_address vob, uint32_t dbid, int* found, db_address* record);
// The directory-version entry that names the object `dbid`.
int ostrela_db_dir_ver_ent_lookup(db_address vob, uint32_t dbid, int* found, db_address* record);
// The entry `name` of the directory version `parent`: `*found` 0 (status
// 0) when there is none; parent 0 without a name finds nothing.
int ostrela_db_dir_ver_ent_lookup_name(db_address vob, uint32_t parent, const char* name, int* found,
                                       db_address* record);
// A directory version's record (its readdir flags); an existing one only
// takes the saved state of a load-rule scope's load.
int ostrela_db_create_dir_ver_rec(db_address vob, uint32_t dbid, uint32_t parent, int readdir_state,
                                  int not_default_scope, int* created);
// An entry `name` (none for a root) in `parent` naming the version or link
// `dbid`, in the scope `scope` (null: the default scope at its own
// generation number) at `gn`, valid. `*other_scope`, when asked for a
// directory version, the scope of another name of it.
int ostrela_db_create_dir_ver_ent_rec(db_address vob, uint32_t dbid, uint32_t parent, uint32_t mtype,
                                      const qel_oid_s* scope, uint32_t gn, const char* name, int* created,
                                      qel_oid_s* other_scope, db_address* entry = nullptr);
// The name of the directory-version entry at `entry`, or of the entry that
// names the object `dbid`, into `size` bytes with its NUL (1084 when it does
// not fit).
int ostrela_db_get_dir_ver_ent_pname(db_address vob, db_address entry, size_t size, char* buf);
int ostrela_db_dir_ver_ent_get_name(db_address vob, uint32_t dbid, size_t size, char* buf);
// The entry at `entry` names the object `dbid` instead, valid, in `scope`
// at `gn`; `*old` is what it named, `*to_default` 1 when it moved into the
// default scope.
int ostrela_db_dir_ver_ent_move(db_address vob, uint32_t dbid, db_address entry, const qel_oid_s* scope, uint32_t gn,
                                int* to_default, uint32_t* old);
// The entries of directory version `old` go to `dbid`, not valid; with
// `carry_saved` the new one saves whether the old one was listed.
int ostrela_db_dir_ver_update_dbid(db_address vob, uint32_t old, uint32_t dbid, int carry_saved);
// The entries of directory version `dbid` that name directory versions (0
// when there is no such directory version). Each count is remembered, so a
// large directory's status is not a walk of all its names: the writes that
// add, move or drop a name keep it, and an abort or a close forgets all
// (ostrela_db_subdirs_forget), as does a deleted directory version or name.
int ostrela_db_dir_ver_subdirs(db_address vob, uint32_t dbid, uint32_t* count);
// Forgets the count of one directory version, or every count.
void ostrela_db_subdirs_forget(db_address vob, uint32_t dbid);
void ostrela_db_subdirs_forget();
// How many entries name the version the entry at `entry` names; with
// `other_scope` the first other scope among them (null when none), else
// the scope of each other one in `scopes`.
int ostrela_db_ver_has_hardlink(db_address entry, int32_t* count, qel_oid_s* other_scope,
                                std::vector<qel_oid_s>* scopes);
// The entries of a directory version: as listed to a reader (the element's
// dbid for a version), as their objects, as their objects' dbids.
int ostrela_db_ver_get_sub_vers(uint32_t vob, uint32_t dir, std::vector<ostrelagent_dirent>& list);
int ostrela_db_get_sub_vers(db_address vob, uint32_t dir, std::vector<ostrela_db_sub_vers>& list);
int ostrela_db_ver_get_sub_vers_dbid(uint32_t vob, uint32_t dir, std::vector<uint32_t>& list);

// ---- state flags ----------------------------------------------------------------------------------

int ostrela_db_ver_get_stale(uint32_t vob, uint32_t ver, int* flag);
int ostrela_db_ver_set_stale(uint32_t vob, uint32_t ver, int flag);
// The valid flag of the name `name` of directory version `dir`.
int ostrela_db_ver_get_validated(uint32_t vob, uint32_t dir, const char* name, int* flag);
int ostrela_db_ver_set_validated(uint32_t vob, uint32_t dir, const char* name, int flag);
// The valid flag of an object's (first) name; setting it reaches every name
// of the object (of every version of an element, made stale with 0), and
// with 0 a directory's own names too.
int ostrela_db_obj_get_validated(uint32_t vob, uint32_t dbid, int* flag);
int ostrela_db_obj_set_validated(uint32_t vob, uint32_t dbid, int flag);
// Every name of the directory valid (flag 0), or not valid with its
// readdir-done cleared (flag 1).
int ostrela_db_mark_sub_ver_stale(db_address vob, uint32_t dir, int flag);
// Only the readdir-done flag (dbid 0 does nothing).
int ostrela_db_ver_set_readdir_done_only(db_address vob, uint32_t dir, int flag);
// The readdir-done flag; set, it removes every name not valid (a directory
// named elsewhere in the default scope is made stale instead, and
// `*removed` is true then). `*oid`, when asked, the directory's oid.
int ostrela_db_ver_set_readdir_done(uint32_t vob, uint32_t dir, int flag, bool* removed, qel_oid_s* oid);
int ostrela_db_ver_get_readdir_done(uint32_t vob, uint32_t dir, int* flag, qel_oid_s* scope, uint32_t* gn);
int ostrela_db_ver_set_load_done(uint32_t vob, uint32_t dir, int flag);
// Readdir-done cleared; entering a load-rule scope with readdir state 1
// saves that for the end of the scope's load.
int ostrela_db_mark_saved_readdir_done(db_address vob, uint32_t dir, const qel_oid_s* scope, int readdir_state);
// Marks the name `name` of the directory whose element is `parent_oid`
// removed (the object `oid` must be a version or a link).
int ostrela_db_mark_dir_ent_remove(const qel_uuid_s* vob_uuid, const qel_oid_s* parent_oid, const qel_oid_s* oid,
                                   const char* name);

// ---- removal ----------------------------------------------------------------------------------------

// Removes one entry (and its name's byte string).
int ostrela_db_remove_one_dir_ver_ent(db_address entry);
// Removes one name of a version or link (the entry at `entry`, else the
// first in `parent`) and, once it has none, the version or link.
int ostrela_db_remove_one_ver(db_address vob, uint32_t dbid, uint32_t parent, db_address entry);
int ostrela_db_remove_one_slink(db_address vob, uint32_t dbid, uint32_t parent, db_address entry);
// Removes a version, link or directory with everything below it; a
// directory still named elsewhere in the default scope only loses this name
// and becomes stale with its tree (`*made_stale`).
int ostrela_db_remove_version(db_address vob, uint32_t dbid, uint32_t mtype, uint32_t parent, db_address entry,
                              bool* made_stale);
// Removes a loaded version or link by dbid (an element: 1002).
int ostrela_db_delete_vns_ver(uint32_t vob, uint32_t dbid);
