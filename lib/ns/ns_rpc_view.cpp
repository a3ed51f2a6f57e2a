// Operations over the whole view: whether it has checkouts or hijacked
// files, the view-private, checked-out and hijacked files as full paths, and
// the sweep that treats every hijacked file at the end of an update.
#include "lib/ns/ns_rpc.h"

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_log_update.h"
#include "lib/ns/ns_lookup.h"
#include "lib/ns/ns_msg.h"
#include "lib/ns/ns_rpc_frame.h"
#include "lib/ns/ns_vob.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

constexpr size_t PARENT_PATH_SIZE = 1024;
constexpr size_t NEW_NAME_SIZE = 256;

using Found = std::vector<ostrelagent_hijack_co_info>;

bool is_version(vob_mtype_t mtype) { return mtype == 3 || mtype == 6 || mtype == 8; }

// Where a found object's directory is: the dbid of its loaded version and
// its path within the VOB.
struct Parent {
    int32_t dbid = 0;
    char path[PARENT_PATH_SIZE] = "";
};

// Finds the directory of `found`. A failure appends the message of the step
// that failed to `errors` and is returned.
int get_obj_parent_info(const ostrelagent_hijack_co_info& found, Parent* parent, std::string& errors) {
    const std::string uuid = OstrelAgent_Util::id_text(found.identity);
    int status = 0;
    view_vob* vob = vob_find(&found.identity, &status);
    if (vob == nullptr) {
        errors += OstrelAgent_Util::format(&_ostrela_lib_view_msg_table, NS_MSG_PARENT_NO_VOB, uuid.c_str(),
                                           qel_strerror(status));
        return status;
    }
    const std::string oid = OstrelAgent_Util::id_text(found.directory);
    unsigned dbid = 0;
    vob_mtype_t mtype = 0;
    if (!OstrelAgent_View_db::obj_oid_to_dbid_mtype(found.directory, found.identity, dbid, mtype)) {
        errors += OstrelAgent_Util::format(&_ostrela_lib_view_msg_table, NS_MSG_PARENT_NO_ELEMENT, oid.c_str(),
                                           uuid.c_str());
        return QEL_ST_INTERNAL;
    }
    unsigned version = dbid;
    if (!is_version(mtype) && (status = ostrel_db_elem_get_ver(vob->db_id, dbid, &version)) != 0) {
        errors += OstrelAgent_Util::format(&_ostrela_lib_view_msg_table, NS_MSG_PARENT_NO_VERSION, oid.c_str(),
                                           uuid.c_str(), qel_strerror(status));
        return status;
    }
    obj_entry* dir = locate_dbid(vob, static_cast<int32_t>(version), 0, &status);
    if (dir == nullptr) {
        errors += OstrelAgent_Util::format(&_ostrela_lib_view_msg_table, NS_MSG_PARENT_NO_OBJECT, oid.c_str(),
                                           uuid.c_str(), qel_strerror(status));
        return status;
    }
    char ext_path[PARENT_PATH_SIZE];
    status = lookup_gpath(dir, 0, sizeof parent->path, parent->path, sizeof ext_path, ext_path);
    obj_free(dir);
    if (status != 0) {
        errors += OstrelAgent_Util::format(&_ostrela_lib_view_msg_table, NS_MSG_PARENT_NO_PATH, oid.c_str(),
                                           uuid.c_str(), qel_strerror(status));
        return status;
    }
    parent->dbid = static_cast<int32_t>(version);
    return 0;
}

std::string full_path(const std::string& top, const char* parent_path, const std::string& name) {
    std::string path = top + parent_path + "/" + name;
    OstrelAgent_Util::globalize_path(path);
    return path;
}

// The full paths of what `search` finds in the view database, for the VOBs
// that are mounted.
template <typename Search>
int view_paths(const char* op, Search search, std::vector<std::string>& paths, std::string& errors) {
    Ns_Rpc_Frame frame(op);
    OstrelAgent_Config config = *OstrelAgent_Config::get_instance();
    Found found;
    int status = search(found);
    if (status != 0) return status;
    int result = 0;
    for (const ostrelagent_hijack_co_info& f : found) {
        const std::string tag = config.get_mount_info(f.identity).vob_tag;
        if (tag.empty()) continue;
        // A checked-out VOB root has no directory: its path is the VOB's.
        if (qel_oid_eq(&f.directory, &QEL_OID_NULL)) {
            std::string path = tag;
            OstrelAgent_Util::globalize_path(path);
            paths.push_back(path);
            continue;
        }
        Parent parent;
        if ((status = get_obj_parent_info(f, &parent, errors)) != 0) {
            result = status;
            continue;
        }
        paths.push_back(full_path(tag, parent.path, f.name));
    }
    return result;
}

void log_error(OstrelAgent_Log_Update* log, const std::string& text) {
    if (log != nullptr) log->write_log(OSTRELAGENT_LOG_ERROR, text);
}

} // namespace

int ns_view_has_checkouts(bool* any) {
    Ns_Rpc_Frame frame("ns_view_has_checkouts");
    return ostrel_db_has_checkouts(any);
}

int ns_view_has_hijacks(bool* any) {
    Ns_Rpc_Frame frame("ns_view_has_hijacks");
    return ostrel_db_has_hijacks(any);
}

int ns_view_get_privates(const qel_uuid_s* vob_uuid, std::vector<std::string>& paths, std::string& errors) {
    const qel_uuid_s* uuid = vob_uuid != nullptr ? vob_uuid : &QEL_UUID_NULL;
    return view_paths(
        "ns_view_get_privates", [&](Found& found) { return ostrel_db_find_privates(uuid, found, 0); }, paths, errors);
}

int ns_view_get_checkouts(std::vector<std::string>& paths, std::string& errors) {
    return view_paths("ns_view_get_checkouts", [](Found& found) { return ostrel_db_find_checkouts(found); }, paths,
                      errors);
}

int ns_view_get_hijacks(std::vector<std::string>& paths, std::string& errors) {
    return view_paths("ns_view_get_hijacks", [](Found& found) { return ostrel_db_find_hijacks(found); }, paths,
                      errors);
}

int ns_view_sweep_hijacks(OstrelAgent_Util::HijackTreatment treatment, OstrelAgent_Log_Update* log) {
    Ns_Rpc_Frame frame("ns_view_sweep_hijacks");
    if (treatment != OstrelAgent_Util::HIJACK_OVERWRITE && treatment != OstrelAgent_Util::HIJACK_RENAME) {
        // The line ends like every other, so that the next record keeps a
        // line of its own.
        log_error(log, "internal error, invalid parameter to ns_view_sweep_hijacks\n");
        return QEL_ST_INVALID;
    }
    OstrelAgent_Config config = *OstrelAgent_Config::get_instance();
    Found found;
    int status = ostrel_db_find_hijacks(found);
    if (status != 0) {
        log_error(log, OstrelAgent_Util::snprintf("get hijack list failed: %s\n", qel_strerror(status)));
        return status;
    }
    int result = 0;
    for (const ostrelagent_hijack_co_info& f : found) {
        std::string errors;
        Parent parent;
        if ((status = get_obj_parent_info(f, &parent, errors)) != 0) {
            log_error(log, errors);
            result = status;
            continue;
        }
        char new_name[NEW_NAME_SIZE] = "";
        const bool overwrite = treatment == OstrelAgent_Util::HIJACK_OVERWRITE;
        status = overwrite ? ns_remove_hijack(&f.identity, parent.dbid, f.name.c_str())
                           : ns_rename_hijack(&f.identity, parent.dbid, f.name.c_str(), new_name);
        if (status != 0) {
            const std::string dir = OstrelAgent_Util::id_text(f.directory);
            const char* why = qel_strerror(status);
            log_error(log, overwrite ? OstrelAgent_Util::snprintf("remove_hijack dir %s name %s failed: %s\n",
                                                                  dir.c_str(), f.name.c_str(), why)
                                     : OstrelAgent_Util::snprintf("rename_hijack dir %s name %s failed: %s\n",
                                                                  dir.c_str(), f.name.c_str(), why));
            result = status;
            continue;
        }
        std::string top = config.get_mount_info(f.identity).vob_tag;
        if (top.empty()) top = "<unmounted VOB " + OstrelAgent_Util::id_text(f.identity) + ">";
        if (log != nullptr) log->log_hijack_sweep(treatment, full_path(top, parent.path, f.name), new_name);
    }
    return result;
}
