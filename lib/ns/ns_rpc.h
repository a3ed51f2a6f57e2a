#pragma once
// The namespace operations: the view's file-system operations as the kernel
// file system and the agent's own operations see them. Each takes kernel
// handles, names and output records, runs under the namespace cache's mutex
// (recursive: one operation may call another), works on the caches, reads
// or writes the view database (each write with signals held off) and lets
// the caches fetch metadata from the server on a miss. That fetch never
// happens with the mutex held: the operation gives up, the server is asked
// with no lock held, and the operation runs again from the start
// (ns_server_wait.h), so every check it makes is made afresh after a wait.
// Every object reference taken is given back before the operation returns.
// Outputs past the point of a failure are left as they were.
//
// Statuses (base library): 0; 1001 a denied write (change of oid or kind),
// or a cleartext object that cannot be mapped to a loaded version; 1002 not
// in the view database; 1008 an internal error; 1015 no cleartext; 1051
// access denied (linking a directory, an owner or group refused); 1052 no
// such name; 1063 not permitted; 1067 exists; 1068 across VOBs; 1070 not a
// directory; 1071 is a directory; 1072 an invalid argument; 1080 read-only
// (through an extended-name handle, not view-private, or a VOB name that a
// change would take away); 1084 a buffer too small; 1087 a stale handle.

#include <sys/time.h>

#include <functional>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_util.h"
#include "lib/ns/ns_cache.h"

class OstrelAgent_Log_Update;

// ---- look-ups ------------------------------------------------------------------------

// The root directory of the VOB replica; the family oid is not used and the
// name must be empty (1072). The checked-out flag and version id may be
// null.
int ns_root(const qel_oid_s* family_oid, const qel_uuid_s* replica_uuid, const char* name, view_hm_warp_opt warp,
            view_fhandle* fh_out, view_vstat* vstat_out, unsigned* name_state, int* name_flag, struct timeval* lvut,
            int* co_flag, qel_oid_s* co_ver_oid);
// Looks `name` up in the directory, then walks `residual` (may be empty)
// while it names directories: `*consumed` tells how many of its characters
// were resolved, `dir_fh_out` is the directory that holds the object
// returned. The optional outputs (null when not wanted): the checked-out
// flag, whether the name is a view entry over a VOB name, whether it is
// hijacked (the out status is then the one saved at hijack time), the
// checked-out version id, and whether a ".." of the residual path was
// reached (the walk stops there for the caller to go on above).
int ns_lookup_flags(view_fhandle* dir_fh, const char* name, view_hm_warp_opt warp, const char* residual,
                    view_fhandle* fh_out, view_fhandle* dir_fh_out, view_vstat* vstat_out, unsigned* consumed,
                    int* name_flag, unsigned* name_state, struct timeval* lvut, int* co_flag = nullptr,
                    bool* view_private = nullptr, bool* hijacked = nullptr, qel_oid_s* co_ver_oid = nullptr,
                    bool* dotdot = nullptr);
// ns_lookup_flags without the optional outputs; the name state is masked
// with 0x1f03ff.
int ns_lookup(view_fhandle* dir_fh, const char* name, view_hm_warp_opt warp, const char* residual,
              view_fhandle* fh_out, view_fhandle* dir_fh_out, view_vstat* vstat_out, unsigned* consumed,
              int* name_flag, unsigned* name_state, struct timeval* lvut);
// The object's status; a vanished object is flushed and gives 1087.
int ns_getattr(view_fhandle* fh, view_fhandle* fh_out, view_vstat* vstat_out, struct timeval* lvut);
int ns_revalidate(view_fhandle* fh, view_fhandle* fh_out, view_vstat* vstat_out);
// The object of `oid` in the VOB of the handle (only its uuid is used).
int ns_find_oid(view_fhandle* fh, const qel_oid_s* oid, view_fhandle* fh_out, view_vstat* vstat_out);
// The object's path within its VOB and its extended path.
int ns_gpath(view_fhandle* fh, int flag, unsigned path_size, char* path, unsigned ext_size, char* ext_path);
// A symbolic link's text, at most `size` - 1 characters; a size of 0 gives
// 1072.
int ns_readlink(view_fhandle* fh, unsigned size, unsigned* length, char* buf);

// ---- changes --------------------------------------------------------------------------

// Checks that `dir` may take a new name (`entry` null) or lose the name of
// `entry`, filling `dir_vstat`. With a time stamp and a flag, the flag tells
// whether the stamp equals the directory's modification time before the
// change.
int dir_write_check(obj_entry* dir, view_vstat* dir_vstat, const view_vstat* entry, const struct timeval* stamp,
                    int* unchanged);
// A new view-private file (types 1, 3, 4, 6); with `path_size` the path of
// its container relative to the view storage goes to `path`.
int ns_create(view_fhandle* dir_fh, const char* name, view_set_attr* attr, unsigned path_size, view_fhandle* fh_out,
              view_vstat* vstat_out, char* path, unsigned* path_length, view_vstat* dir_vstat,
              const struct timeval* stamp, int* unchanged);
int ns_mkdir(view_fhandle* dir_fh, const char* name, view_set_attr* attr, view_fhandle* fh_out, view_vstat* vstat_out,
             view_vstat* dir_vstat, const struct timeval* stamp, int* unchanged);
int ns_symlink(view_fhandle* dir_fh, const char* name, view_set_attr* attr, const char* text, view_fhandle* fh_out,
               view_vstat* vstat_out, view_vstat* dir_vstat, const struct timeval* stamp, int* unchanged);
int ns_link(view_fhandle* obj_fh, view_fhandle* dir_fh, const char* name, view_vstat* dir_vstat,
            const struct timeval* stamp, int* unchanged);
int ns_remove(view_fhandle* dir_fh, const char* name, view_vstat* dir_vstat, const struct timeval* stamp,
              int* unchanged);
int ns_rmdir(view_fhandle* dir_fh, const char* name, view_vstat* dir_vstat, const struct timeval* stamp,
             int* unchanged);
int ns_rename(view_fhandle* from_dir_fh, const char* from_name, view_fhandle* to_dir_fh, const char* to_name,
              view_vstat* dir_vstat, const struct timeval* stamp, int* unchanged);
int ns_setattr(view_fhandle* fh, view_set_attr* attr, view_vstat* vstat_out);
// Gives a view-private object a new oid; `vstat_out` may be null.
int ns_change_oid(view_fhandle* fh, view_change_oid_option option, view_vstat* vstat_out);
// Changes a view-private object's kind to 19, 21, 23 or 26; `vstat_out` may
// be null.
int ns_change_mtype(view_fhandle* fh, vob_mtype_t mtype, view_vstat* vstat_out);
// Moves the names of the view-private directory `name` of the directory
// `dir_dbid` into the cover of the VOB directory `vob_dir_oid`.
int ns_adopt_cover_dir(const qel_uuid_s* vob_uuid, int32_t dir_dbid, const char* name, const qel_oid_s* vob_dir_oid);
// A new object id.
int ostrel_gen_oid(qel_oid_s* oid);

// ---- contents --------------------------------------------------------------------------

// Where a file's contents lie, relative to the view storage (`*cache_path`
// 0: a view-private container) or to the cleartext cache directory (1,
// fetched first when absent; `*second` is set to 1 then too).
int ns_get_cltxt(view_fhandle* fh, unsigned size, unsigned* length, char* path, int* cache_path, int* second);

// ---- hijacks and white-outs ----------------------------------------------------------
//
// A hijacked name is a view entry of a directory (of its element's cover)
// over a loaded VOB file, marked 0x200000 with 0x800, and a hijack record
// that keeps the file's ids as they were when hijacked; a white-out (0x400)
// is a view entry without an object that hides a VOB name. The forms that
// take a VOB uuid and a directory version's dbid find the directory without
// fetching anything; the handle forms refuse an extended-name handle (1080).

// Marks `name` hijacked (an entry without an object when the directory has
// none) and keeps `vstat`'s ids as its hijack record; a name hijacked
// already keeps its state and only gets the new record.
int ns_hijack_by_fh(view_fhandle* dir_fh, const char* name, const view_vstat* vstat);
// Returns a hijacked name to the VOB: a hijacked white-out goes; a hijacked
// view entry loses its marks and its record (its file stays, a plain view
// entry). 1002 when the name is not hijacked or not there.
int ns_unhijack_by_fh(view_fhandle* dir_fh, const char* name);
int ns_unhijack_by_dbid(const qel_uuid_s* vob_uuid, int32_t dir_dbid, const char* name);
// Hides the checked-out `name` behind a white-out (a checkout that copies
// nothing), unless the view records the name already (its entry then
// follows the checkout as it is).
int ns_white_out_checkout(view_fhandle* dir_fh, const char* name);
// Removes the white-out `name` (with `hijacked_only` only a hijacked one:
// else 1002); 1067 when the name is no white-out.
int ns_unwhite_out_by_fh(view_fhandle* dir_fh, const char* name, bool hijacked_only);
// 0 when `name` is a white-out, `*hijacked` telling whether it is hijacked
// too; 1067 for a name that is no white-out.
int ns_lookup_white_out(view_fhandle* dir_fh, const char* name, bool* hijacked);
// Sets a hijacked file aside so that the VOB's name shows again: it loses
// its marks and takes the first free name of "<name>.keep", "<name>.keep.1",
// ..., given in `new_name` (256 bytes), and the kernel is told to forget the
// directory and both names; a hijacked white-out is only removed, with the
// new name "(whiteout removed)". 1002 when the name is not hijacked.
int ns_rename_hijack(const qel_uuid_s* vob_uuid, int32_t dir_dbid, const char* name, char* new_name);
// Removes the hijacked name and its file. 1002 when it is not hijacked.
int ns_remove_hijack(const qel_uuid_s* vob_uuid, int32_t dir_dbid, const char* name);
// 0 when the name has a hijack record, 1002 when not.
int ns_lookup_hijack(const qel_uuid_s* vob_uuid, int32_t dir_dbid, const char* name);

// ---- the whole view ----------------------------------------------------------------------
//
// Each runs under the namespace cache's mutex (the sweep one file at a time:
// finding a file's directory may wait for the server). A found object is
// named by its full path: the mount tag of its VOB, its directory's path in
// the VOB, "/" and its name (or path below that directory). The path queries
// append to `paths`, pass over objects of VOBs that are not mounted, and
// for each object whose directory cannot be found append a message to
// `errors`, go on, and return the status of the last such object (else 0).
// A failed search of the view database is returned before anything is
// appended.

// Whether the view has a checked-out element, a hijacked name.
int ns_view_has_checkouts(bool* any);
int ns_view_has_hijacks(bool* any);
// The view-private files of the VOB `vob_uuid` (the null uuid, or null: of
// every VOB), the checked-out elements, the hijacked files.
int ns_view_get_privates(const qel_uuid_s* vob_uuid, std::vector<std::string>& paths, std::string& errors);
int ns_view_get_checkouts(std::vector<std::string>& paths, std::string& errors);
int ns_view_get_hijacks(std::vector<std::string>& paths, std::string& errors);
// Tests: `hook` is called by the path queries after each directory of a
// list was named, outside the namespace mutex (an empty hook: none).
void ns_view_list_set_directory_hook(std::function<void()> hook);
// Treats every hijacked file at the end of an update: overwrite removes it,
// rename sets it aside (as ns_rename_hijack); each is logged in `log` with
// its path (a VOB that is not mounted shows as "<unmounted VOB <uuid>>"),
// each failure as an error record, and the others go on; the status of the
// last failure, else 0. Keep is refused with 1072.
int ns_view_sweep_hijacks(OstrelAgent_Util::HijackTreatment treatment, OstrelAgent_Log_Update* log);
