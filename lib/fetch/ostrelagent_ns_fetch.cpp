#include "lib/fetch/ostrelagent_ns_fetch.h"

#include "lib/fetch/ostrelagent_cleartext.h"
#include "lib/fetch/ostrelagent_metadata.h"

using Meta = OstrelAgent_Metadata;

namespace {

// The status of an answer at hand (`ask` fills in its status), or the sign
// that only the server has it.
template <typename Ask>
int at_hand(Ask ask) {
    int status = 0;
    return ask(status) ? status : Ns_Content_Fetch::NEEDS_SERVER;
}

} // namespace

void OstrelAgent_Ns_Fetch::install() {
    static OstrelAgent_Ns_Fetch fetch;
    Ns_Content_Fetch::install(&fetch);
}

int OstrelAgent_Ns_Fetch::get_metadata(const qel_uuid_s& vob, const unsigned& dbid, const unsigned& elem_dbid,
                                       ostrel_vstat& out) {
    return Meta::get_metadata(vob, dbid, elem_dbid, out);
}

int OstrelAgent_Ns_Fetch::lookup_obj(const qel_uuid_s& vob, const unsigned& dir_dbid, const unsigned& dir_elem_dbid,
                                     const std::string& name, unsigned& elem_dbid, unsigned& obj_dbid,
                                     ostrel_vstat& out, Reach reach) {
    if (reach == Reach::SERVER) return Meta::lookup_obj(vob, dir_dbid, dir_elem_dbid, name, elem_dbid, obj_dbid, out);
    return at_hand([&](int& status) {
        return Meta::lookup_obj_at_hand(vob, dir_dbid, name, elem_dbid, obj_dbid, out, status);
    });
}

int OstrelAgent_Ns_Fetch::bindroot(const qel_uuid_s& vob, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out,
                                   Reach reach) {
    if (reach == Reach::SERVER) return Meta::bindroot(vob, elem_dbid, obj_dbid, out);
    return at_hand([&](int& status) { return Meta::bindroot_at_hand(vob, elem_dbid, obj_dbid, out, status); });
}

int OstrelAgent_Ns_Fetch::readdir_obj(const qel_uuid_s& vob, const unsigned& dir_dbid,
                                      std::vector<ostrelagent_dirent>& out, Reach reach) {
    if (reach == Reach::SERVER) return Meta::readdir_obj(vob, dir_dbid, out);
    return at_hand([&](int& status) { return Meta::readdir_at_hand(vob, dir_dbid, out, status); });
}

int OstrelAgent_Ns_Fetch::get_cleartext(const qel_uuid_s& vob, unsigned version, const std::string& cache_dir,
                                        std::string& relpath, Reach reach) {
    OstrelAgent_Cleartext cltxt(vob, version, QEL_OID_NULL, cache_dir);
    int in_cache = 0;
    int status = reach == Reach::SERVER ? cltxt.getcleartext(in_cache) : cltxt.check_cache(in_cache);
    if (status == 0 && reach == Reach::AT_HAND && !in_cache) return NEEDS_SERVER;
    if (status == 0) relpath = cltxt.get_cltxt_relpath();
    return status;
}

int OstrelAgent_Ns_Fetch::invalidate_obj(const qel_uuid_s& vob, const qel_oid_s& oid) {
    return Meta::invalidate_obj(vob, oid);
}

int OstrelAgent_Ns_Fetch::invalidate_name(const qel_uuid_s& vob, const qel_oid_s& dir_oid, const std::string& name) {
    return Meta::invalidate_name(vob, dir_oid, name);
}

int OstrelAgent_Ns_Fetch::view_inval_obj(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob,
                                         const qel_oid_s& oid, vob_op_t op, bool ns, bool kernel, bool db) {
    return Meta::view_inval_obj(ioctl, vob, oid, op, ns, kernel, db);
}

int OstrelAgent_Ns_Fetch::view_inval_name(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob,
                                          const qel_oid_s& dir_oid, const char* name, bool ns, bool kernel, bool db) {
    return Meta::view_inval_name(ioctl, vob, dir_oid, name, ns, kernel, db);
}

void OstrelAgent_Ns_Fetch::view_inval_parent(const qel_uuid_s& vob, const qel_oid_s& oid, vob_op_t op) {
    Meta::view_inval_parent(vob, oid, op);
}

void OstrelAgent_Ns_Fetch::view_inval_view_in_background() { Meta::view_inval_view_in_background(); }
