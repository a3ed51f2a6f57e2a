// The loaded element namespace as the rest of the agent reaches it: each
// operation runs its record-level step in a transaction of its own, and
// the end and removal of scopes likewise.
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace {

constexpr int READ = 0;
constexpr int WRITE = 1;

template <typename Op>
int run(const char* method, int write, Op&& op) {
    return ostrel_db_traced_transaction(method, write, op);
}

} // namespace

// ---- the end and removal of scopes ----------------------------------------------------------------

int ostrel_db_end_lr_scope_load(const qel_oid_s* oid, unsigned int gn, bool set_gn, bool restore_readdir) {
    return run("ostrel_db_end_lr_scope_load", WRITE,
               [&] { return ostrela_db_end_lr_scope_load(oid, gn, set_gn, restore_readdir); });
}

int ostrel_db_end_lr_scope_update(const qel_oid_s* oid, unsigned int gn) {
    return run("ostrel_db_end_lr_scope_update", WRITE, [&] { return ostrela_db_end_lr_scope_update(oid, gn); });
}

int ostrel_db_end_def_scope(unsigned int gn) {
    return run("ostrel_db_end_def_scope", WRITE, [&] { return ostrela_db_end_def_scope(gn); });
}

int ostrel_db_delete_lr_scope(const qel_oid_s* oid) {
    return run("ostrel_db_delete_lr_scope", WRITE, [&] { return ostrela_db_delete_lr_scope(oid); });
}

int ostrel_db_remove_lr_scope(const qel_oid_s* oid, int delete_scope, const qel_oid_s* target) {
    return run("ostrel_db_remove_lr_scope", WRITE,
               [&] { return ostrela_db_remove_lr_scope(oid, delete_scope, target); });
}

int ostrel_db_cleanup_vns_recs(int all) {
    return run("ostrel_db_cleanup_vns_recs", WRITE, [&] { return ostrela_db_cleanup_vns_recs(all); });
}

int ostrel_db_cleanup_unused_elem() {
    return run("ostrel_db_cleanup_unused_elem", WRITE, [] { return ostrela_db_cleanup_unused_elem(); });
}

// ---- loading -----------------------------------------------------------------------------------

int ostrel_db_create_element(unsigned vob, const qel_oid_s* oid, const struct timeval* time,
                             const qel_fstat_db_s* fstat, vob_mtype_t mtype, int checked_out, unsigned* dbid) {
    return run("ostrel_db_create_element", WRITE,
               [&] { return ostrela_db_create_vns_elem(vob, oid, time, fstat, mtype, checked_out, dbid); });
}

int ostrel_db_create_version(unsigned vob, unsigned parent, const qel_oid_s* oid, const qel_oid_s* elem_oid,
                             vob_mtype_t mtype, const struct timeval* time, const char* name,
                             const qel_fstat_db_s* fstat, const qel_oid_s* scope, unsigned gn, int readdir_state,
                             unsigned* dbid, qel_oid_s* other_scope, qel_oid_s* parent_oid) {
    return run("ostrel_db_create_version", WRITE, [&] {
        return ostrela_db_create_vns_ver(vob, parent, oid, elem_oid, mtype, time, name, fstat, scope, gn, readdir_state,
                                         dbid, other_scope, parent_oid);
    });
}

int ostrel_db_create_slink(unsigned vob, unsigned parent, const qel_oid_s* oid, const struct timeval* time,
                           const char* name, const char* text, const qel_fstat_db_s* fstat, const qel_oid_s* scope,
                           unsigned gn, unsigned* dbid, qel_oid_s* parent_oid) {
    return run("ostrel_db_create_slink", WRITE, [&] {
        return ostrela_db_create_vns_slink(vob, parent, oid, time, name, text, fstat, scope, gn, dbid, parent_oid);
    });
}

int ostrel_db_create_root_dir(unsigned vob, const qel_oid_s* oid, const qel_oid_s* elem_oid,
                              const struct timeval* time, const qel_fstat_db_s* fstat, const qel_oid_s* scope,
                              unsigned gn, int readdir_state, unsigned* dbid) {
    return run("ostrel_db_create_root_dir", WRITE, [&] {
        return ostrela_db_create_root_dir(vob, oid, elem_oid, time, fstat, scope, gn, readdir_state, dbid);
    });
}

// ---- the VOB's root directory ---------------------------------------------------------------------

int ostrel_db_get_root_dir(unsigned vob, unsigned* dbid, unsigned* gn) {
    return run("ostrel_db_get_root_dir", READ, [&] { return ostrela_db_get_vob_root_dir(vob, dbid, gn); });
}

bool ostrel_db_vob_has_root_dir(unsigned vob) {
    OstrelDb_Trace trace("ostrel_db_vob_has_root_dir");
    if (ostrela_db_trans_start(READ) != 0) return false;
    bool has = ostrela_db_vob_has_root_dir(vob);
    ostrela_db_trans_end(READ);
    return has;
}

int ostrel_db_root_dir_get_info(unsigned vob, qel_oid_s* oid, int* checked_out, struct timeval* time,
                                qel_fstat_db_s* fstat, qel_oid_s* scope, unsigned* gn) {
    OstrelDb_Trace trace("ostrel_db_root_dir_get_info");
    return ostrel_db_read_fstat_in_transaction(
        fstat, true, [&] { return ostrela_db_get_root_dir_info(vob, oid, checked_out, time, fstat, scope, gn); });
}

int ostrel_db_vob_get_uuid(unsigned vob, qel_uuid_s* uuid) {
    return run("ostrel_db_vob_get_uuid", READ, [&] { return ostrela_db_vob_get_uuid(vob, uuid); });
}

int ostrel_db_clean_vns_versions(const qel_uuid_s* uuid, int) {
    unsigned vob = 0, root = 0, gn = 0;
    int status = ostrel_db_vob_lookup(uuid, &vob);
    if (status == 0) {
        status = ostrel_db_get_root_dir(vob, &root, &gn);
        if (status == QEL_ST_NOT_FOUND) status = 0;
    }
    if (status != 0) return status;
    return run("ostrel_db_clean_vns_versions", WRITE, [&] {
        // A root that is already gone leaves only the link to clear; any
        // other failure must not be committed half done.
        int s = root != 0 ? ostrela_db_delete_vns_ver(vob, root) : 0;
        if (s == QEL_ST_NOT_FOUND || s == QEL_ST_STALE) s = 0;
        return s != 0 ? s : ostrela_db_add_vob_root_dir(vob, 0);
    });
}

// ---- look-ups ------------------------------------------------------------------------------------

int ostrel_db_obj_lookup(unsigned vob, const qel_oid_s* oid, unsigned* dbid, vob_mtype_t* mtype) {
    return run("ostrel_db_obj_lookup", READ, [&] { return ostrela_db_lookup_obj_oid(vob, oid, dbid, mtype); });
}

int ostrel_db_elem_lookup(unsigned vob, const qel_oid_s* oid, unsigned* dbid) {
    return run("ostrel_db_elem_lookup", READ, [&] { return ostrela_db_vns_elem_lookup(vob, oid, dbid); });
}

int ostrel_db_vns_ver_lookup(unsigned vob, const qel_oid_s* oid, unsigned* dbid) {
    return run("ostrel_db_vns_ver_lookup", READ, [&] { return ostrela_db_vns_ver_lookup(vob, oid, dbid); });
}

int ostrel_db_slink_lookup(unsigned vob, const qel_oid_s* oid, unsigned* dbid) {
    return run("ostrel_db_slink_lookup", READ, [&] { return ostrela_db_vns_slink_lookup(vob, oid, dbid); });
}

int ostrel_db_vns_ver_lookup_name(unsigned vob, unsigned dir, const char* name, unsigned* dbid, vob_mtype_t* mtype,
                                  qel_oid_s* scope, unsigned* gn) {
    return run("ostrel_db_vns_ver_lookup_name", READ,
               [&] { return ostrela_db_vns_ver_lookup_name(vob, dir, name, dbid, mtype, scope, gn); });
}

int ostrel_db_obj_get_mtype(unsigned vob, unsigned dbid, vob_mtype_t* mtype) {
    return run("ostrel_db_obj_get_mtype", READ, [&] { return ostrela_db_obj_get_mtype(vob, dbid, mtype); });
}

int ostrel_db_obj_update_nodeid(unsigned vob, unsigned dbid, unsigned node) {
    return run("ostrel_db_obj_update_nodeid", WRITE, [&] { return ostrela_db_obj_update_nodeid(vob, dbid, node); });
}

int ostrel_db_elem_get_ver(unsigned vob, unsigned elem, unsigned* ver) {
    return run("ostrel_db_elem_get_ver", READ, [&] { return ostrela_db_elem_get_ver(vob, elem, ver); });
}

int ostrel_db_ver_get_elem(unsigned vob, unsigned ver, unsigned* elem) {
    return run("ostrel_db_ver_get_elem", READ, [&] { return ostrela_db_ver_get_elem(vob, ver, elem); });
}

int ostrel_db_get_parent_elem(unsigned vob, unsigned dbid, unsigned* elem) {
    return run("ostrel_db_get_parent_elem", READ, [&] { return ostrela_db_obj_get_parent_elem(vob, dbid, elem); });
}

int ostrel_db_get_parent_dir(unsigned vob, unsigned dbid, unsigned* parent) {
    return run("ostrel_db_get_parent_dir", READ, [&] {
        uint32_t mtype = 0;
        int status = ostrela_db_obj_get_mtype(vob, dbid, &mtype);
        if (status == 0 && !vns_is_version(mtype) && mtype != VNS_MTYPE_SLINK) status = QEL_ST_INTERNAL;
        return status != 0 ? status : ostrela_db_ver_get_parent(vob, dbid, parent, nullptr, nullptr);
    });
}

int ostrel_db_elem_get_checkedout(unsigned vob, unsigned dbid, qel_oid_s* co_oid, int* flag) {
    return run("ostrel_db_elem_get_checkedout", READ,
               [&] { return ostrela_db_elem_get_checkedout(vob, dbid, co_oid, flag); });
}

int ostrel_db_elem_set_checkedout(unsigned vob, unsigned dbid, const qel_oid_s* co_oid, int flag) {
    return run("ostrel_db_elem_set_checkedout", WRITE,
               [&] { return ostrela_db_elem_set_checkedout(vob, dbid, co_oid, flag); });
}

// ---- attributes ------------------------------------------------------------------------------------

int ostrel_db_elem_get_info(unsigned vob, unsigned elem, qel_oid_s* oid, vob_mtype_t* mtype, int* checked_out,
                            struct timeval* time, qel_fstat_db_s* fstat) {
    OstrelDb_Trace trace("ostrel_db_elem_get_info");
    return ostrel_db_read_fstat_in_transaction(
        fstat, false, [&] { return ostrela_db_get_vns_elem_info(vob, elem, oid, mtype, checked_out, time, fstat); });
}

int ostrel_db_ver_get_vstat(unsigned vob, unsigned ver, qel_oid_s* oid, vob_mtype_t* mtype, struct timeval* time,
                            qel_fstat_db_s* fstat, int* checked_out, qel_oid_s* elem_oid) {
    OstrelDb_Trace trace("ostrel_db_ver_get_vstat");
    return ostrel_db_read_fstat_in_transaction(fstat, true, [&] {
        return ostrela_db_get_ver_vstat(vob, ver, oid, mtype, time, fstat, checked_out, elem_oid);
    });
}

int ostrel_db_ver_get_info(unsigned vob, unsigned ver, size_t size, qel_oid_s* oid, vob_mtype_t* mtype,
                           int* checked_out, struct timeval* time, char* name, qel_fstat_db_s* fstat,
                           qel_oid_s* elem_oid) {
    OstrelDb_Trace trace("ostrel_db_ver_get_info");
    return ostrel_db_read_fstat_in_transaction(fstat, true, [&] {
        return ostrela_db_get_ver_info(vob, ver, size, oid, mtype, checked_out, time, name, fstat, elem_oid);
    });
}

int ostrel_db_slink_get_info(unsigned vob, unsigned slink, size_t size, qel_oid_s* oid, struct timeval* time,
                             char* name, char* text, qel_fstat_db_s* fstat) {
    return run("ostrel_db_slink_get_info", READ,
               [&] { return ostrela_db_get_slink_info(vob, slink, size, oid, time, name, text, fstat); });
}

int ostrel_db_ver_get_sub_vers(unsigned vob, unsigned dir, std::vector<ostrelagent_dirent>& list) {
    return run("ostrel_db_ver_get_sub_vers", READ, [&] { return ostrela_db_ver_get_sub_vers(vob, dir, list); });
}

int ostrel_db_ver_get_sub_vers(unsigned vob, unsigned dir, std::vector<unsigned>& list) {
    return run("ostrel_db_ver_get_sub_vers", READ, [&] { return ostrela_db_ver_get_sub_vers_dbid(vob, dir, list); });
}

// ---- state flags ----------------------------------------------------------------------------------

int ostrel_db_ver_get_stale(unsigned vob, unsigned ver, int* flag) {
    return run("ostrel_db_ver_get_stale", WRITE, [&] { return ostrela_db_ver_get_stale(vob, ver, flag); });
}

int ostrel_db_ver_set_stale(unsigned vob, unsigned ver, int flag) {
    return run("ostrel_db_ver_set_stale", WRITE, [&] { return ostrela_db_ver_set_stale(vob, ver, flag); });
}

int ostrel_db_ver_get_validated(unsigned vob, unsigned dir, const char* name, int* flag) {
    return run("ostrel_db_ver_get_validated", READ, [&] { return ostrela_db_ver_get_validated(vob, dir, name, flag); });
}

int ostrel_db_ver_set_validated(unsigned vob, unsigned dir, const char* name, int flag) {
    return run("ostrel_db_ver_set_validated", WRITE, [&] { return ostrela_db_ver_set_validated(vob, dir, name, flag); });
}

int ostrel_db_obj_get_validated(unsigned vob, unsigned dbid, int* flag) {
    return run("ostrel_db_obj_get_validated", READ, [&] { return ostrela_db_obj_get_validated(vob, dbid, flag); });
}

int ostrel_db_obj_set_validated(unsigned vob, unsigned dbid, int flag) {
    return run("ostrel_db_obj_set_validated", WRITE, [&] { return ostrela_db_obj_set_validated(vob, dbid, flag); });
}

int ostrel_db_ver_get_readdir_done(unsigned vob, unsigned dir, int* flag, qel_oid_s* scope, unsigned* gn) {
    return run("ostrel_db_ver_get_readdir_done", WRITE,
               [&] { return ostrela_db_ver_get_readdir_done(vob, dir, flag, scope, gn); });
}

int ostrel_db_ver_set_readdir_done(unsigned vob, unsigned dir, int flag, bool* flush_all, qel_oid_s* oid) {
    return run("ostrel_db_ver_set_readdir_done", WRITE,
               [&] { return ostrela_db_ver_set_readdir_done(vob, dir, flag, flush_all, oid); });
}

int ostrel_db_ver_set_load_done(unsigned vob, unsigned dir, int flag) {
    return run("ostrel_db_ver_set_load_done", WRITE, [&] { return ostrela_db_ver_set_load_done(vob, dir, flag); });
}

int ostrel_db_ver_mark_remove(const qel_uuid_s* vob_uuid, const qel_oid_s* parent_oid, const qel_oid_s* oid,
                              const char* name) {
    bool gone = false;
    const int status = run("ostrel_db_ver_mark_remove", WRITE, [&] {
        const int marked = ostrela_db_mark_dir_ent_remove(vob_uuid, parent_oid, oid, name);
        // A name already gone was only looked for: nothing to undo, and a
        // batch this joins must not break over it.
        gone = marked == QEL_ST_NOT_FOUND;
        return gone ? 0 : marked;
    });
    return status == 0 && gone ? QEL_ST_NOT_FOUND : status;
}

// ---- the view's checkouts ----------------------------------------------------------------------

int ostrel_db_has_checkouts(bool* any) {
    int status = run("ostrel_db_has_checkouts", READ, [&] { return ostrela_db_has_checkouts(any); });
    return ostrel_db_report(status, OSTREL_DB_QUIET_NOT_FOUND, DBU_MSG_FIND_CHECKOUTS);
}

int ostrel_db_find_checkouts(std::vector<ostrelagent_hijack_co_info>& list) {
    return ostrel_db_find_names("ostrel_db_find_checkouts", DBU_MSG_FIND_CHECKOUTS, list,
                                [&] { return ostrela_db_find_checkouts(list); });
}
