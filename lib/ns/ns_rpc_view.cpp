// Operations over the whole view: whether it has checkouts or hijacked
// files, the view-private, checked-out and hijacked files as full paths, and
// the sweep that treats every hijacked file at the end of an update.
#include "lib/ns/ns_rpc.h"

#include <functional>
#include <map>
#include <memory>

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

// How often a view-wide list is made while the view database changes under
// it; the last try's list is taken as it is.
constexpr int LIST_TRIES = 3;

// Told after each directory of a view-wide list was named (a test's hook);
// none by default. Lists run on any thread while a test sets or clears the
// hook: it is swapped whole, atomically, and a list keeps the hook it read
// until the call returns.
std::shared_ptr<const std::function<void()>> g_directory_named;

// One try at the full paths of what a search of the view database finds,
// for the VOBs that are mounted. The search is one read transaction of the
// view database; each directory's path is then found once, under the
// namespace mutex for that directory alone, so that a list of many files
// keeps the kernel's calls waiting no longer than one directory's look-up.
class View_List {
public:
    // What the search found, and the status of the search (0, or its
    // failure: nothing is listed then). Each directory's look-up is a
    // namespace operation of its own (`op`).
    template <typename Search>
    View_List(const char* op, Search search) : m_op(op), m_status(search(m_found)) {}

    int search_status() const { return m_status; }
    // Names every object found; the status of the last that could not be
    // named, else 0.
    int name_all() {
        int result = 0;
        for (const ostrelagent_hijack_co_info& f : m_found) {
            const std::string& tag = tag_of(f.identity);
            if (tag.empty()) continue;
            // A checked-out VOB root has no directory: its path is the VOB's.
            if (qel_oid_eq(&f.directory, &QEL_OID_NULL)) {
                std::string path = tag;
                OstrelAgent_Util::globalize_path(path);
                paths.push_back(path);
                continue;
            }
            const Directory& dir = directory_of(f);
            if (dir.status != 0) {
                errors += dir.errors;
                result = dir.status;
                continue;
            }
            paths.push_back(full_path(tag, dir.parent.path, f.name));
        }
        return result;
    }

    std::vector<std::string> paths;
    std::string errors;

private:
    struct Directory {
        int status = 0;
        Parent parent;
        std::string errors;
    };

    static std::string bytes_of(const void* at, size_t size) { return std::string(static_cast<const char*>(at), size); }

    const std::string& tag_of(const qel_uuid_s& vob) {
        const std::string key = bytes_of(vob.bytes, sizeof vob.bytes);
        auto it = m_tags.find(key);
        if (it == m_tags.end())
            it = m_tags.emplace(key, OstrelAgent_Config::get_instance()->get_mount_info(vob).vob_tag).first;
        return it->second;
    }

    const Directory& directory_of(const ostrelagent_hijack_co_info& f) {
        const std::string key = bytes_of(f.identity.bytes, sizeof f.identity.bytes) +
                                bytes_of(f.directory.bytes, sizeof f.directory.bytes);
        auto it = m_directories.find(key);
        if (it != m_directories.end()) return it->second;
        Directory dir;
        dir.status = ns_operation(m_op, [&](Ns_Rpc_Frame&) -> int {
            // Each run of the operation looks afresh.
            dir.parent = Parent();
            dir.errors.clear();
            return get_obj_parent_info(f, &dir.parent, dir.errors);
        });
        const std::shared_ptr<const std::function<void()>> hook = std::atomic_load(&g_directory_named);
        if (hook) (*hook)();
        return m_directories.emplace(key, dir).first->second;
    }

    const char* m_op;
    Found m_found;
    int m_status;
    std::map<std::string, std::string> m_tags;
    std::map<std::string, Directory> m_directories;
};

// The full paths of what `search` finds in the view database, for the VOBs
// that are mounted. A list made while the view database changed is made
// again, so that it shows the view as it was at one moment. While writers
// keep changing the view, the last try's list is taken: its search still
// shows one moment and each directory's path was found whole, and no list
// keeps the namespace mutex across its whole scan, where the kernel's
// calls would wait for all of it.
template <typename Search>
int view_paths(const char* op, Search search, std::vector<std::string>& paths, std::string& errors) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "ns_rpc", op);
    for (int attempt = 1;; ++attempt) {
        const unsigned generation = ostrel_db_write_generation();
        View_List list(op, search);
        if (list.search_status() != 0) return list.search_status();
        const int result = list.name_all();
        if (ostrel_db_write_generation() != generation && attempt < LIST_TRIES) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "the view changed while it was listed (try %d)",
                             attempt);
            continue;
        }
        paths.insert(paths.end(), list.paths.begin(), list.paths.end());
        errors += list.errors;
        return result;
    }
}

void log_error(OstrelAgent_Log_Update* log, const std::string& text) {
    if (log != nullptr) log->write_log(OSTRELAGENT_LOG_ERROR, text);
}

} // namespace

int ns_view_has_checkouts(bool* any) {
    return ns_operation("ns_view_has_checkouts", [&](Ns_Rpc_Frame&) -> int {
        return ostrel_db_has_checkouts(any);
    });
}

int ns_view_has_hijacks(bool* any) {
    return ns_operation("ns_view_has_hijacks", [&](Ns_Rpc_Frame&) -> int {
        return ostrel_db_has_hijacks(any);
    });
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
    if (treatment != OstrelAgent_Util::HIJACK_OVERWRITE && treatment != OstrelAgent_Util::HIJACK_RENAME) {
        // The line ends like every other, so that the next record keeps a
        // line of its own.
        log_error(log, "internal error, invalid parameter to ns_view_sweep_hijacks\n");
        return QEL_ST_INVALID;
    }
    OstrelAgent_Config config = *OstrelAgent_Config::get_instance();
    Found found;
    int status = ns_operation("ns_view_sweep_hijacks", [&](Ns_Rpc_Frame&) -> int {
        found.clear();
        return ostrel_db_find_hijacks(found);
    });
    if (status != 0) {
        log_error(log, OstrelAgent_Util::snprintf("get hijack list failed: %s\n", qel_strerror(status)));
        return status;
    }
    const bool overwrite = treatment == OstrelAgent_Util::HIJACK_OVERWRITE;
    int result = 0;
    // Each file is an operation of its own: finding its directory may wait
    // for the server, and a run that waited starts that file again.
    for (const ostrelagent_hijack_co_info& f : found) {
        std::string errors;
        Parent parent;
        char new_name[NEW_NAME_SIZE] = "";
        bool treated = false;
        status = ns_operation("ns_view_sweep_hijacks", [&](Ns_Rpc_Frame&) -> int {
            errors.clear();
            treated = false;
            int st = get_obj_parent_info(f, &parent, errors);
            if (st != 0) return st;
            treated = true;
            return overwrite ? ns_remove_hijack(&f.identity, parent.dbid, f.name.c_str())
                             : ns_rename_hijack(&f.identity, parent.dbid, f.name.c_str(), new_name);
        });
        if (status != 0 && !treated) {
            log_error(log, errors);
            result = status;
            continue;
        }
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

void ns_view_list_set_directory_hook(std::function<void()> hook) {
    std::shared_ptr<const std::function<void()>> held;
    if (hook) held = std::make_shared<const std::function<void()>>(std::move(hook));
    std::atomic_store(&g_directory_named, std::move(held));
}
