#pragma once
// Record-level operations of the view database (ostrela_db_*): byte strings,
// inodes, directories and their names, and the VOB-record steps that inode
// creation and deletion take. Each runs inside a transaction of the session
// layer (lib/ostreladb/ostrel_db_session.h), a read or a write one as its
// kind of work needs, and leaves partial changes to that transaction: a
// caller whose operation fails aborts it.
//
// Records are named by dbids (a record's address with bit 31 set); a dbid
// without that bit is refused with 1008 unless an operation says otherwise.
// Statuses: 0; 1002 not found; 1008 internal or engine failure (reported
// once); 1067 exists; 1072 invalid argument; 1084 too long; 1085 not empty;
// 1087 a deleted record or one of another type. Failures are reported with
// the record-level messages except 1080 and those an operation names.

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_schema.h"
#include "platform/qel/qel.h"
#include "runtime/kesto.h"

inline bool ostrela_db_is_dbid(uint32_t dbid) { return (dbid & OSTREL_DB_DBID_BIT) != 0; }
inline db_address ostrela_db_dbid2dba(uint32_t dbid) { return dbid & ~OSTREL_DB_DBID_BIT; }
inline uint32_t ostrela_db_dba2dbid(db_address dba) { return dba | OSTREL_DB_DBID_BIT; }

// ---- name states ---------------------------------------------------------------

// Bits of a name's state word. A name read back always carries
// DIR_ENT_STATE_VIEW, and DIR_ENT_STATE_WHITEOUT when it names no object;
// only the three kept bits reach the record.
constexpr uint32_t DIR_ENT_STATE_DETACHED = 0x20;
constexpr uint32_t DIR_ENT_STATE_WHITEOUT = 0x400;
constexpr uint32_t DIR_ENT_STATE_KEEP = 0x800;
constexpr uint32_t DIR_ENT_STATE_VIEW = 0x1000;
constexpr uint32_t DIR_ENT_STATE_HIJACKED = 0x200000;

// A name's position as callers see it: its offset in the directory plus
// this. The first name of a directory has offset 2.
constexpr uint32_t OSTREL_DB_COOKIE_BASE = 0x40000000;

// A directory's size grows by a name's length plus this for every name.
constexpr uint32_t OSTREL_DB_DIRENT_OVERHEAD = 43;

// ---- engine calls ------------------------------------------------------------------

// 0 for S_OKAY, else the engine failure reported (op, object) as 1008.
int ostrela_db_engine(int engine_status, const char* op, const char* object);

// Makes the record `dbid` names current and checks that it is of `type`:
// 1008 for a dbid without bit 31 or an engine failure, 1087 for a deleted
// record or one of another type.
int ostrela_db_set_record(uint32_t dbid, int type, const char* object);

// What a visit of a walk or scan returns to go on or to stop.
constexpr int OSTREL_DB_WALK_ON = 0;
constexpr int OSTREL_DB_WALK_STOP = -1;

// Visits the records of `type` in record order whose address is above
// `after` (0: every one), each made current and handed to `visit`, which
// returns OSTREL_DB_WALK_ON, OSTREL_DB_WALK_STOP or a failure and must not
// start a record scan of its own. A cursor naming a deleted record starts
// from the first record. 0 when `visit` stopped the scan, 1002 (not
// reported) when the records ran out, else the failure.
int ostrela_db_scan_records(int type, db_address after, const char* object,
                            const std::function<int(db_address record)>& visit);

// Deletes every member of `set` under its current owner.
int ostrela_db_delete_members(int set, const char* object);

// The engine's whole currency saved (a buffer the restore frees), and
// restored; the restore returns `status` unless that is 0.
int ostrela_db_save_currency(db_address** saved);
int ostrela_db_restore_currency(db_address* saved, int status);

// The view's time (strictly increasing), as the file status keeps times.
qel_fstat_time_s ostrela_db_view_time();

// ---- byte strings ----------------------------------------------------------------

// Stores `len` (> 0) bytes as a byte string owned by the record at `owner`;
// ends with that record current.
int ostrela_db_bytes_create(db_address owner, const char* data, size_t len, db_address* head);
// Copies exactly `len` bytes of the byte string at `head`, which must belong
// to `owner`; does not terminate them.
int ostrela_db_bytes_read(db_address owner, db_address head, char* buf, size_t len);
// Sets `*differs` when the `len` bytes at `head` differ from `buf`; the
// current record is the same afterwards.
int ostrela_db_bytes_cmp(db_address head, const char* buf, size_t len, int* differs);
// Deletes the byte string (0 does nothing); the currency is the same
// afterwards.
int ostrela_db_bytes_delete(db_address head);

// ---- inodes -----------------------------------------------------------------------

// Creates an inode of the VOB (whose reference count and generation number
// rise) with the object's status and kind. 1067 for an oid the VOB has.
int ostrela_db_inode_create(uint32_t vob_dbid, const qel_oid_s* oid, const qel_fstat_db_s* fstat, uint32_t mtype,
                            uint32_t* dbid, uint32_t* gen);
// Reads an inode; every out argument may be null. The status comes back with
// its node number set to the dbid; the VOB dbid is 0 for a stranded inode.
int ostrela_db_inode_read(uint32_t dbid, uint32_t* gen, qel_oid_s* oid, qel_fstat_db_s* fstat, uint32_t* mtype,
                          uint32_t* vob_dbid);
// The inode of an oid in a VOB: 1002 (not reported) when there is none or
// the VOB dbid is 0.
int ostrela_db_inode_lookup(uint32_t vob_dbid, const qel_oid_s* oid, uint32_t* dbid);
// Writes a new file status.
int ostrela_db_inode_rewrite(uint32_t dbid, const qel_fstat_db_s* fstat);
// Gives the inode a new oid (when `oid` is not null) and kind.
int ostrela_db_inode_set_oid(uint32_t dbid, const qel_oid_s* oid, uint32_t mtype, int build_session);
// The inode's text (a container name or a link's target): it must fit `size`
// with its NUL (else 1084).
int ostrela_db_inode_read_text(uint32_t dbid, char* buf, size_t size);
int ostrela_db_inode_write_text(uint32_t dbid, const char* text);
// Deletes the inode, its directory part with every name in it, its byte
// strings and its VOB reference. Names elsewhere that named it become
// white-outs.
int ostrela_db_inode_delete(uint32_t dbid, int build_session);
// Detaches the inode from its VOB and records when its container may be
// given up (`when`).
int ostrela_db_mark_inode_stranded(uint32_t dbid, const struct timeval* when);
// Up to `max` inodes in key order after (VOB, oid), which itself is never
// listed; with `same_vob_only` the list stops at the first inode of another
// VOB. A VOB dbid of 0 means the stranded inodes.
int ostrela_db_inode_inventory(uint32_t vob_dbid, const qel_oid_s* oid, uint32_t* dbids, int max, int* count,
                               int same_vob_only);
// Walks the members of the inode `dbid` (its directory part and the names
// that name it) in order, each made current and handed to `visit` with its
// record type and address; `visit` returns OSTREL_DB_WALK_ON,
// OSTREL_DB_WALK_STOP or a failure. A member of another type is an internal
// error. 0 when `visit` stopped the walk, 1002 (not reported) when the
// members ran out, else the failure.
int ostrela_db_walk_inode(uint32_t dbid, const std::function<int(int type, db_address member)>& visit);
// Prefixes `path` (a 1024-byte buffer) with the names of the directories from
// the inode at `inode` up to the enclosing VOB directory (kind 2), whose oid
// is returned.
int ostrela_db_inode_get_dir_name(db_address inode, char* path, qel_oid_s* oid);

// ---- directories and names -----------------------------------------------------------

// Gives a directory inode its directory part.
int ostrela_db_dir_create(uint32_t dbid);
// Makes the inode's directory part the current owner of its names; 1002
// (not reported) for an inode without one.
int ostrela_db_dir_lookup(uint32_t dbid);
// 1085 (not reported) when the directory holds a name.
int ostrela_db_dir_empty(uint32_t dbid);

// The names after `cookie` (0 or OSTREL_DB_COOKIE_BASE: from the first), as
// many as fit `size` bytes; `*end` is 1 once the last name is in. 1084 when
// not even the next name fits.
int ostrela_db_readdir(uint32_t dbid, uint32_t cookie, void* buf, size_t size, size_t* bytes, int* end);
// Forgets where listings stopped (their record addresses may no longer name
// those names); the session calls it when it closes or aborts.
void ostrela_db_readdir_forget();
// The directory that holds the inode's first name, and that name (`name`
// holds OSTREL_DB_NAME_BUF bytes). 1002 for an inode without a name.
int ostrela_db_find_parent(uint32_t dbid, uint32_t* parent, char* name);
uint32_t ostrela_db_hash_name(const char* name);
// Makes `name` in the directory, naming `object` (0: a white-out). 1067 when
// the name names an object already; a white-out of the name is reused.
int ostrela_db_dir_entry_create(uint32_t vob_dbid, uint32_t dir_dbid, const char* name, uint32_t object,
                                uint32_t state, uint32_t* cookie);
// The object a name names (0 for a white-out) and its state; 1002 (not
// reported) when there is no such name. Ends with the name current.
int ostrela_db_dir_entry_lookup(uint32_t dir_dbid, const char* name, uint32_t* object, uint32_t* state);
int ostrela_db_dir_entry_state_set(uint32_t dir_dbid, const char* name, uint32_t state);
// Removes a name, or with `detach` only unties it from its object (the name
// stays as a white-out). `*object` is what it named.
int ostrela_db_dir_entry_delete(uint32_t dir_dbid, const char* name, int detach, uint32_t* object);
// The name of an entry read into `entry` whose record is current.
int ostrela_db_dir_string_read(const db_dir_ent* entry, char* buf, size_t size);
// The object that the current name names (0 for a white-out); the name
// becomes the current member of that object's names, the object their
// current owner.
int ostrela_db_dir_entry_object(uint32_t* object);
// A name's state word as read back from its stored bits.
uint32_t ostrela_db_dir_entry_state(uint16_t stored, bool whiteout);
// Links `name` in the directory to `object` (0: a white-out): the directory
// grows and, unless `keep_times`, gets a new modification and change time
// (never behind `vob_time`, when given); the object gains a link. Gives both
// new statuses and the name's cookie.
int ostrela_db_link(uint32_t dir_dbid, const char* name, uint32_t object, uint32_t state, qel_fstat_db_s* dir_fstat,
                    qel_fstat_db_s* obj_fstat, int keep_times, const qel_fstat_time_s* vob_time, uint32_t* cookie);
// A directory's new modification time: the view's time, or, while
// `vob_time` lies ahead of it, just after the later of `vob_time` and the
// old `mtime`.
void ostrela_db_fix_dir_modtime(const qel_fstat_time_s* vob_time, qel_fstat_time_s* mtime);

// ---- VOB records ---------------------------------------------------------------------------

// Creates the VOB record of a replica (1067 when it exists) with its storage
// text ("host:pathname" as the callers make it).
int ostrela_db_vob_create(const qel_uuid_s* uuid, const char* text, uint32_t* dbid);
// The VOB record of a replica; 1002 (not reported) when there is none.
int ostrela_db_vob_lookup(const qel_uuid_s* uuid, uint32_t* dbid);
// The VOB record of a replica: its dbid and its text into `size` bytes
// with its NUL (1084 when it does not fit); either may be null.
int ostrela_db_vob_read(const qel_uuid_s* uuid, size_t size, char* text, uint32_t* dbid);
// The VOB record of a cached VOB: the dbid it keeps, else the record of its
// replica, else a new one with the text ":" (`*made`: the caller keeps its
// dbid in the VOB once the transaction is committed).
int ostrela_db_vob_on_demand(view_vob* vob, uint32_t* dbid, bool* made);
// Gives the VOB record `dbid` a new text.
int ostrela_db_vob_update(uint32_t dbid, const char* text);
// Deletes the VOB record of a replica: 1002 when there is none and 1085
// while inodes or a loaded root directory hold it (neither reported).
int ostrela_db_vob_delete(const qel_uuid_s* uuid);
// One more inode of the VOB at `vob`: its reference count and generation
// number rise; `*gen` is the new generation number.
int ostrela_db_vob_add_ref(db_address vob, uint32_t* gen);
// One inode fewer.
int ostrela_db_vob_rm_ref(db_address vob);
// Sets (`on` nonzero) or clears the VOB's flag bit. Both setters change the
// same one bit.
int ostrela_db_vob_set_hlink_flag(uint32_t dbid, int on);
int ostrela_db_vob_set_setwork_flag(uint32_t dbid, int on);
// Up to `max` replica uuids of VOB records after `cursor` (0: from the
// first) in record order: every one with `filter` 0, those with the flag
// bit with filter bit 0x1 or 0x2. `*next` resumes; `*end` is 1 once the last
// record was passed.
int ostrela_db_inventory_vobs(uint32_t cursor, int filter, int max, qel_uuid_s* uuids, int* count, uint32_t* next,
                              int* end);
// The replica uuid of the VOB record `vob` (a dbid: 0 gives 1002, one
// without bit 31 1008; a deleted record 1087, one of another type 1008);
// not reported.
int ostrela_db_vob_get_uuid(uint32_t vob, qel_uuid_s* uuid);
// The VOB record of `old_uuid` takes the replica `new_uuid`; the second form
// also every derived object and VOB reference of config records that names
// the old replica. Each runs its own write transaction (called outside
// one): 1002 when there is no such VOB, 1067 when the new replica has a
// record.
int ostrela_db_reparent_replica_uuid(const qel_uuid_s* old_uuid, const qel_uuid_s* new_uuid);
int ostrela_db_change_vob_oid(const qel_uuid_s* old_uuid, const qel_uuid_s* new_uuid);

// ---- config records ------------------------------------------------------------------------

// Creates a config record: its data (`cr`) written into the config-record
// file (forced to disk with `sync`), a derived object for each of `do_oids`
// (of the replica at the same place in `uuids`) with one reference for each
// that has an inode (1002 for one that has none, unless
// `allow_missing_inodes`), and a reference on each config record whose
// derived object is among `used`. 1072 for no derived object, 1067 for a
// derived object that exists; neither reported.
int ostrela_db_cr_create(const qel_oid_s* do_oids, const qel_uuid_s* uuids, int n, const qel_oid_s* used, int m,
                         const _qel_cr_compressed_t* cr, int sync, int allow_missing_inodes);
// The config record of the first of `do_oids` that is a derived object
// (1002 when none is), or of the current DB_CR, read from the file; a
// damaged one (CRC) is 1008. Freed with ostrela_db_cr_free.
int ostrela_db_cr_get(const qel_oid_s* do_oids, int n, _qel_cr_compressed_t** out);
int ostrela_db_cr_read(_qel_cr_compressed_t** out);
// A config-record reference for an inode whose oid is a derived object,
// with the config record's identity (its first derived object) when asked:
// 1002 when the oid is none.
int ostrela_db_cr_add_ref(const qel_oid_s* do_oid, qel_oid_s* identity);
// Drops that reference, or keeps it held for a build session until the
// session is released; 0 when the oid is none. A config record without
// references goes.
int ostrela_db_cr_rm_ref(const qel_oid_s* do_oid, int build_session);
// Deletes the current DB_CR: its derived objects and VOB references, a
// reference on each config record it uses, and its extent of the file.
int ostrela_db_cr_discon();
// A VOB's reference on the config record of the first of `do_oids` that
// exists: 1067 when it is there already; 1002 when it is not there to
// remove. Removing the last one deletes the config record.
int ostrela_db_cr_add_vob_ref(const qel_oid_s* do_oids, int n, const qel_uuid_s* uuid);
int ostrela_db_cr_rm_vob_ref(const qel_oid_s* do_oids, int n, const qel_uuid_s* uuid);
// Releases what build session `session` holds (every session's for 0).
int ostrela_db_cr_rm_build_session(uint32_t session);
// Deletes every config record without references or without a VOB that
// references it.
int ostrela_db_fsck_crs();
// found[i] is 1 when do_oids[i] is a derived object, else 0.
int ostrela_db_dos_found(const qel_oid_s* do_oids, int n, int* found);
// Up to `max` derived objects of the replica after `cursor` whose inode has
// kind `mtype`: their oids, inode dbids and link counts. A failure lists
// nothing and sets `*end`.
int ostrela_db_get_dos(uint32_t cursor, uint32_t mtype, const qel_uuid_s* uuid, int max, qel_oid_s* oids,
                       uint32_t* dbids, uint32_t* links, int* count, uint32_t* next, int* end);
// Frees a config record handed out by the view database: its data, then the
// record (null does nothing).
void ostrela_db_cr_free(_qel_cr_compressed_t* cr);

// ---- hijacks, view-private files, inventory -----------------------------------------------

// Stores the two hijack oids of a name; a name that is not hijacked takes
// only null oids (1072), which clear its hijack data.
int ostrela_db_hijack(uint32_t dir_dbid, const char* name, const qel_oid_s* first, const qel_oid_s* second);
// The two hijack oids of a name: 1072 when it is not hijacked.
int ostrela_db_hijack_get(uint32_t dir_dbid, const char* name, qel_oid_s* first, qel_oid_s* second);
// Whether any name has hijack oids; each such name with its VOB and the oid
// of its directory.
int ostrela_db_has_hijacks(bool* any);
int ostrela_db_find_hijacks(std::vector<ostrelagent_hijack_co_info>& list);
// The view-private files of the replica (every VOB for the null uuid; 1002
// for a VOB the view has no record of): by their names (`mode` nonzero) or
// by their inodes, each as its path below the enclosing VOB directory and
// that directory's oid. Detached and hijacked names are passed over.
int ostrela_db_find_privates(const qel_uuid_s* uuid, std::vector<ostrelagent_hijack_co_info>& list, int mode);
// Packs the names after `cursor` that `filter` takes (view_inv_entry) into
// `buf`: those of the directory `dir_oid` of the replica's VOB, in hash
// order, or else every name in record order (of that directory or VOB when
// given). `*next` resumes; `*end` is 1 when the names ran out. 1084 when not
// even one name (or one run of names whose hashes are equal) fits.
int ostrela_db_inventory(uint32_t cursor, const qel_uuid_s* uuid, const qel_oid_s* dir_oid, int filter, size_t size,
                         void* buf, size_t* bytes, uint32_t* next, int* end);
