#include "lib/fetch/ostrelagent_view_db_listener.h"

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_log_update.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_configspec.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/fetch/ostrelagent_metadata_support.h"
#include "lib/ns/ns_rpc.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ns/ostrelagent_view_db_root_dir.h"
#include "lib/ostreladb/ostrel_db.h"
#include "platform/utl/fileutl.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_View_db_listener";
namespace S = OstrelAgent_Status;
namespace M = OstrelAgent_Lib_Msg;
using Util = OstrelAgent_Util;
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;

class Trace : public OstrelAgent_Trace {
public:
    explicit Trace(const char* method) : OstrelAgent_Trace(OSTRELAGENT, CLASS_NAME, method) {}
};

using OstrelAgent_Lib_Msg::text;

// A stream path split into its directory and its leaf.
struct Split_Path {
    char dir[FILEUTL_PATH_MAX];
    char leaf[FILEUTL_PATH_MAX];
};

// Load mode of the entries a scope makes: its first load, or an update.
int load_mode(int scope_was_empty) { return scope_was_empty != 0 ? 1 : 2; }

// Kinds of object whose update changes no directory's version: file
// versions, symbolic links and derived versions.
bool leaves_directories(unsigned mtype) { return mtype == 6 || mtype == 7 || mtype == 8; }

} // namespace

bool OstrelAgent_View_db_listener::map_oid_compare::operator()(const qel_oid_s& a, const qel_oid_s& b) const {
    return qel_oid_cmp(&a, &b) < 0;
}

bool OstrelAgent_View_db_listener::is_auto_scope(const ostrel_scope& scope) {
    return qel_oid_eq(&scope.scope_oid, &AUTOMATIC_LOAD_SCOPE_OID);
}

OstrelAgent_View_db_listener::OstrelAgent_View_db_listener(OstrelAgent_Log_Update* log,
                                                           OstrelAgent_Util::HijackTreatment treatment)
    : m_log(log), m_hijack_treatment(treatment) {}

OstrelAgent_View_db_listener::~OstrelAgent_View_db_listener() { commit_batch(); }

int OstrelAgent_View_db_listener::fail(int status) {
    m_status = status;
    return status;
}

void OstrelAgent_View_db_listener::stop_if_asked() {
    if (!OstrelAgent_View_Base::should_stop_update()) return;
    commit_batch();
    throw RClient_Listener_Exception(S::RC_LISTENER_STOPPED);
}

// ---- batches -------------------------------------------------------------------------------

void OstrelAgent_View_db_listener::after_commit(std::function<void()> action) {
    if (!m_batch.is_open()) {
        action();
        return;
    }
    pending_action pending;
    pending.run = std::move(action);
    m_pending_actions.push_back(std::move(pending));
}

void OstrelAgent_View_db_listener::log_line(pending_action line, const std::string& path,
                                            const std::string& previous_version, const std::string& new_version) {
    if (m_log == nullptr) return;
    if (!m_batch.is_open() || m_pending.empty()) {
        write_line(line, path, previous_version, new_version);
        return;
    }
    line.object = m_pending.size() - 1;
    m_pending_actions.push_back(std::move(line));
}

void OstrelAgent_View_db_listener::write_line(const pending_action& line, const std::string& path,
                                              const std::string& previous_version, const std::string& new_version) {
    switch (line.line) {
    case pending_action::LOAD: m_log->log_load(path, new_version, line.symlink); break;
    case pending_action::UPDATE: m_log->log_update(path, previous_version, new_version, line.symlink); break;
    case pending_action::UNLOAD: m_log->log_unload(path); break;
    case pending_action::HIJACK_UPDATE:
        m_log->log_hijack_update(line.treatment, path, previous_version, new_version, line.symlink, line.set_aside);
        break;
    case pending_action::HIJACK_UNLOAD: m_log->log_hijack_unload(line.treatment, path, line.set_aside); break;
    case pending_action::NONE: break;
    }
}

void OstrelAgent_View_db_listener::object_loaded(const qel_uuid_s&, const std::string&, const ostrel_vstat&) {}

void OstrelAgent_View_db_listener::apply(const pending_object& object) {
    if (object.unload || !leaves_directories(object.object.vstat.mtype)) m_parent.valid = false;
    if (object.unload) {
        apply_unload(object);
    } else {
        write_update(object);
        object_loaded(object.vob, object.path, object.object);
    }
}

void OstrelAgent_View_db_listener::add_object(pending_object object, bool replayed) {
    if (replayed) {
        m_message += object.outside_message;
        if (object.outside_status != 0) m_status = object.outside_status;
    }
    if (!m_batch.is_open()) {
        if (m_batch.begin() != 0) {
            // No batch: the object's calls make transactions of their own.
            apply(object);
            return;
        }
        m_batch_message = m_mark_message = m_message.size();
        m_batch_status = m_mark_status = m_status;
    }
    object.outside_message = m_message.substr(m_mark_message);
    object.outside_status = m_status != m_mark_status ? m_status : 0;
    // A commit takes the batch's objects away, room and all.
    if (m_pending.capacity() == 0) m_pending.reserve(OstrelAgent_Update_Batch::MAX_OBJECTS);
    m_pending.push_back(std::move(object));
    apply(m_pending.back());
    m_mark_message = m_message.size();
    m_mark_status = m_status;
    if (m_batch.is_broken())
        recover_batch();
    else if (m_batch.is_due(m_pending.size()))
        commit_batch();
}

void OstrelAgent_View_db_listener::send_kernel_invals(const std::vector<pending_object>& objects) {
    if (m_kernel_invals.empty()) return;
    if (!m_ioctl) {
        m_kernel_invals.clear();
        return;
    }
    for (const OstrelAgent_KORVA_Inval_Batch::Failure& failure : m_kernel_invals.send(*m_ioctl)) {
        const std::string& path = failure.owner < objects.size() ? objects[failure.owner].path : std::string();
        m_message += OstrelAgent_Metadata::flush_failed_text(path, failure.status);
        fail(Util::qel_to_ostrel_status(failure.status));
    }
}

void OstrelAgent_View_db_listener::commit_batch() {
    m_parent.valid = false;
    if (!m_batch.is_open()) return;
    std::vector<pending_object> objects;
    objects.swap(m_pending);
    // Before the commit, as each object's own flush would have been.
    send_kernel_invals(objects);
    std::vector<pending_action> actions;
    actions.swap(m_pending_actions);
    const int status = m_batch.end(true, [&](int ended) {
        if (ended != 0) {
            flush_view_caches();
            return;
        }
        OstrelAgent_Log_Update::Held lines(m_log);
        for (const pending_action& action : actions) {
            if (action.line == pending_action::NONE) {
                action.run();
                continue;
            }
            const pending_object& object = objects[action.object];
            write_line(action, object.path, object.previous_version, object.new_version);
        }
    });
    // The room of both goes to the next batch.
    actions.clear();
    if (m_pending_actions.empty()) m_pending_actions.swap(actions);
    if (status == 0) {
        objects.clear();
        if (m_pending.empty()) m_pending.swap(objects);
        return;
    }
    // Nothing of the batch was kept: each object again, alone.
    Trace trace("commit_batch");
    trace.writeTrace(LEVEL_2, "batch of %zu objects not committed: %d", objects.size(), status);
    m_message.resize(m_batch_message);
    m_status = m_batch_status;
    for (pending_object& object : objects) {
        m_message += object.outside_message;
        if (object.outside_status != 0) m_status = object.outside_status;
        apply(object);
    }
}

void OstrelAgent_View_db_listener::recover_batch() {
    Trace trace("recover_batch");
    m_parent.valid = false;
    std::vector<pending_object> objects;
    objects.swap(m_pending);
    m_pending_actions.clear();
    // Each object's flush is made again as it is applied again.
    m_kernel_invals.clear();
    m_batch.end(false, [this](int) { flush_view_caches(); });
    trace.writeTrace(LEVEL_4, "batch broken at its object %zu", objects.size());
    m_message.resize(m_batch_message);
    m_status = m_batch_status;
    pending_object failed = std::move(objects.back());
    objects.pop_back();
    // The objects before it went in well: together again, then it alone.
    for (pending_object& object : objects) add_object(std::move(object), true);
    commit_batch();
    m_message += failed.outside_message;
    if (failed.outside_status != 0) m_status = failed.outside_status;
    apply(failed);
}

void OstrelAgent_View_db_listener::flush_view_caches() {
    const int status = OstrelAgent_Metadata::view_inval_view(m_ioctl.get(), true, true, false);
    if (status != 0) {
        Trace trace("flush_view_caches");
        trace.writeTrace(LEVEL_2, "view flush failed: %d", status);
    }
}

void OstrelAgent_View_db_listener::end_of_input() { commit_batch(); }

std::string OstrelAgent_View_db_listener::lr_name(const qel_oid_s& oid) const {
    auto it = m_lr_names.find(oid);
    return it != m_lr_names.end() ? it->second : Util::id_text(oid);
}

// ---- before the stream -------------------------------------------------------------------

bool OstrelAgent_View_db_listener::prepare_operation() {
    Trace trace("prepare_operation");
    if (OstrelAgent_View_Base::should_stop_update()) {
        m_message += text(M::SHUTTING_DOWN);
        fail(S::UPDATE_REFUSED_SHUTDOWN);
        return false;
    }
    std::vector<ostrel_scope> marked;
    const int status = OstrelAgent_View_db::get_scopes(OstrelAgent_View_db::LR_SCOPES_FOR_DELETE, marked);
    if (status != 0) {
        fail(status);
        return false;
    }
    for (const ostrel_scope& scope : marked) {
        if (is_auto_scope(scope)) continue;
        OstrelAgent_Metadata walk(scope.pname, scope.pname, false);
        const int walked = walk.run();
        if (walked != 0) {
            // A load rule whose path is gone is deleted all the same; the
            // whole view is flushed then, since its root cannot be named.
            trace.writeTrace(LEVEL_2, "Metadata failed with status %d", walked);
            m_doomed.push_back({scope, QEL_OID_NULL, QEL_UUID_NULL});
            continue;
        }
        ostrel_vstat root{};
        walk.get_ostrel_vstat(&root);
        m_doomed.push_back({scope, root.vstat.obj_oid, walk.get_vob_uuid()});
    }
    return true;
}

// ---- the stream ----------------------------------------------------------------------------

bool OstrelAgent_View_db_listener::begin_operation(unsigned int gn) {
    Trace trace("begin_operation");
    stop_if_asked();
    m_new_gn = gn;
    int status = ostrel_db_get_vns_view_gn(&m_old_gn);
    if (status != 0) {
        m_message += text(M::UPDATE_BEGIN_FAILED, qel_strerror(status));
        fail(Util::qel_to_ostrel_status(status));
        return false;
    }
    trace.writeTrace(LEVEL_4, "old gn %u new gn %u", m_old_gn, m_new_gn);
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    if (view == nullptr) {
        m_message += text(M::NO_VIEW_INFO);
        fail(S::NO_VIEW);
        return false;
    }
    m_ioctl.reset(new OstrelAgent_KORVA_Ioctl(view));
    std::vector<ostrel_scope> scopes;
    status = OstrelAgent_View_db::get_scopes(OstrelAgent_View_db::ALL_LR_SCOPES, scopes);
    if (status != 0) {
        // Without the names nothing of the stream can be placed: the update
        // fails rather than report success having applied nothing.
        fail(status);
        return false;
    }
    for (const ostrel_scope& scope : scopes) m_lr_names.emplace(scope.scope_oid, scope.pname);
    return true;
}

bool OstrelAgent_View_db_listener::begin_scope(const ostrel_scope& scope) {
    Trace trace("begin_scope");
    stop_if_asked();
    commit_batch();
    trace.writeTrace(LEVEL_4, "scope %s", Util::scope_to_string(scope.scope_oid, scope.pname, scope.gn).c_str());
    m_scope = scope;
    const std::string oid = Util::id_text(scope.scope_oid);
    int status = 0;
    if (is_auto_scope(scope)) {
        status = ostrel_db_begin_def_scope(scope.gn);
    } else {
        unsigned int gn = 0;
        status = ostrel_db_get_lr_scope_gn(&scope.scope_oid, &gn);
        if (status != 0) {
            m_message += text(M::UNKNOWN_SCOPE, oid.c_str());
            fail(Util::qel_to_ostrel_status(status));
            return false;
        }
        int empty = 0;
        status = ostrel_db_is_lr_scope_empty(&scope.scope_oid, &empty);
        if (status == 0) {
            m_scope_was_empty = empty;
            status = empty != 0 ? ostrel_db_begin_lr_scope_load(&scope.scope_oid, scope.gn)
                                : ostrel_db_begin_lr_scope_update(&scope.scope_oid, scope.gn);
        }
    }
    if (status != 0) {
        m_message += text(M::SCOPE_BEGIN_FAILED, oid.c_str(), qel_strerror(status));
        fail(Util::qel_to_ostrel_status(status));
        return false;
    }
    return true;
}

bool OstrelAgent_View_db_listener::begin_vob(const qel_uuid_s& replica, const qel_oid_s& family) {
    Trace trace("begin_vob");
    stop_if_asked();
    commit_batch();
    m_vob_uuid = replica;
    m_vob_family = family;
    trace.writeTrace(LEVEL_4, "vob_uuid=%s   family_oid=%s", Util::id_text(replica).c_str(),
                     Util::id_text(family).c_str());
    int empty = 0;
    int status = ostrel_db_is_def_scope_vob_empty(&replica, &empty);
    if (status == 0) {
        m_vob_was_empty = empty;
        status = empty != 0 ? ostrel_db_begin_def_scope_vob_load(&replica, m_scope.gn)
                            : ostrel_db_begin_def_scope_vob_update(&replica, m_scope.gn);
    }
    if (status != 0) {
        m_message += text(M::SCOPE_VOB_BEGIN_FAILED, Util::id_text(m_scope.scope_oid).c_str(),
                          Util::id_text(replica).c_str(), qel_strerror(status));
        fail(Util::qel_to_ostrel_status(status));
        return false;
    }
    return true;
}

bool OstrelAgent_View_db_listener::update_object(const qel_uuid_s& vob, const qel_oid_s& parent,
                                                 const std::string& path, const std::string& previous_version,
                                                 const std::string& new_version, const ostrel_vstat& object,
                                                 const ostrel_vstat& element) {
    Trace trace("update_object");
    stop_if_asked();
    if (unsafe_path(path)) return true;
    add_object({false, vob, parent, path, previous_version, new_version, object, element, QEL_OID_NULL, {}, 0}, false);
    return true;
}

bool OstrelAgent_View_db_listener::unsafe_path(const std::string& path) {
    if (Util::is_safe_path(path)) return false;
    // Such a name never reaches a file path; the rest of the stream is served.
    metadata_support::ops_log().write_log(OSTRELAGENT_LOG_WARN, &_ostrela_lib_lib_msg_table,
                                          M::UNSAFE_PATH_SKIPPED, path.c_str());
    return true;
}

void OstrelAgent_View_db_listener::write_update(const pending_object& pending) {
    Trace trace("write_update");
    const qel_uuid_s& vob = pending.vob;
    const qel_oid_s& parent = pending.parent;
    const std::string& path = pending.path;
    const std::string& previous_version = pending.previous_version;
    const std::string& new_version = pending.new_version;
    const ostrel_vstat& object = pending.object;
    const ostrel_vstat& element = pending.element;
    Split_Path split;
    if (fileutl_strip_leaf(path.c_str(), split.dir, split.leaf) != 0) {
        m_message += text(M::PATH_SPLIT_FAILED, path.c_str());
        fail(S::GENERAL_FAILURE);
        return;
    }
    const int symlink = object.vstat.mtype == 7 ? 1 : 0;
    const int mode = load_mode(m_scope_was_empty);
    const qel_oid_s& root_parent = is_auto_scope(m_scope) ? m_vob_family : m_scope.other_oid;
    if (qel_oid_eq(&parent, &root_parent)) {
        // A VOB root is no name of a directory: no hijacked file in its way.
        if (update_vob_root(vob, path, object, element, mode))
            treat_hijack_result(QEL_ST_NOT_FOUND, path, parent, previous_version, new_version, symlink, "", false);
        return;
    }

    unsigned parent_ver = 0;
    if (!parent_dir(vob, parent, path, parent_ver)) return;
    char new_name[FILEUTL_PATH_MAX] = "";
    const int hijack = treat_hijack(vob, parent_ver, split.leaf, false, new_name);
    if (!treat_hijack_result(hijack, path, parent, previous_version, new_version, symlink, new_name, false))
        return;

    int status = OstrelAgent_Metadata::flush_cache(vob, object.vstat.elem_oid, parent, path, split.leaf, m_ioctl.get(),
                                                   m_message, kernel_later(), kernel_owner());
    if (status != 0) fail(status);

    ostrel_vstat obj = object;
    view_vstat elem = element.vstat;
    unsigned obj_dbid = 0, elem_dbid = 0;
    qel_oid_s other_scope = QEL_OID_NULL;
    trace.writeTrace(LEVEL_4, "add '%s' parent-ver-dbid %d", split.leaf, static_cast<int>(parent_ver));
    status = OstrelAgent_View_db::add_db_entry(vob, object.vstat.mtype, split.leaf, parent_ver, m_scope.scope_oid,
                                               m_scope.gn, mode, true, obj, elem, obj_dbid, elem_dbid, &other_scope);
    if (status != 0) {
        const std::string parent_text = Util::id_text(parent);
        trace.writeTrace(LEVEL_2, "Can't add db entry %s/%s (%s): error %d", parent_text.c_str(), split.leaf,
                         path.c_str(), status);
        m_message += text(M::DB_ENTRY_NOT_ADDED, path.c_str(), parent_text.c_str(), std::to_string(status).c_str());
        fail(status);
        return;
    }
    trace.writeTrace(LEVEL_4, "new object dbid %d elem dbid %d", static_cast<int>(obj_dbid),
                     static_cast<int>(elem_dbid));
    if (object.vstat.mtype == 3 && !qel_oid_eq(&other_scope, &QEL_OID_NULL)) {
        m_message += text(M::DIR_IN_TWO_LOAD_RULES, path.c_str(), lr_name(m_scope.scope_oid).c_str(),
                          lr_name(other_scope).c_str());
    }
    return;
}

bool OstrelAgent_View_db_listener::update_vob_root(const qel_uuid_s& vob, const std::string& path,
                                                   ostrel_vstat object, ostrel_vstat element, int mode) {
    Trace trace("update_vob_root");
    // A VOB root is no name of a VOB directory: only the object is flushed.
    int status =
        OstrelAgent_Metadata::flush_cache(vob, object.vstat.elem_oid, QEL_OID_NULL, path, "", m_ioctl.get(), m_message,
                                          kernel_later(), kernel_owner());
    if (status != 0) fail(status);
    OstrelAgent_View_db_root_dir root(vob);
    unsigned root_dbid = 0, elem_dbid = 0;
    status = root.create(m_scope.scope_oid, m_scope.gn, mode, object, element, root_dbid, elem_dbid);
    if (status != 0) {
        m_message += text(M::VOB_ROOT_NOT_UPDATED, path.c_str());
        fail(status);
        return false;
    }
    trace.writeTrace(LEVEL_4, "new rootdir ver dbid %d elem dbid %d", static_cast<int>(root_dbid),
                     static_cast<int>(elem_dbid));
    return true;
}

bool OstrelAgent_View_db_listener::parent_dir(const qel_uuid_s& vob, const qel_oid_s& parent, const std::string& path,
                                              unsigned& parent_ver) {
    if (m_parent.valid && qel_uuid_eq(&m_parent.vob, &vob) && qel_oid_eq(&m_parent.elem, &parent)) {
        parent_ver = m_parent.ver;
        return true;
    }
    unsigned parent_elem = 0;
    const int status = OstrelAgent_Metadata::lookup_parent_dir(vob, parent, path, parent_elem, parent_ver, m_message);
    if (status != 0) {
        m_parent.valid = false;
        fail(status);
        return false;
    }
    if (m_batch.is_open()) m_parent = {true, vob, parent, parent_ver};
    return true;
}

int OstrelAgent_View_db_listener::treat_hijack(const qel_uuid_s& vob, unsigned parent_ver, const char* leaf,
                                               bool unload, char* new_name) const {
    const int32_t dir = static_cast<int32_t>(parent_ver);
    switch (m_hijack_treatment) {
    case Util::HIJACK_OVERWRITE: return ns_remove_hijack(&vob, dir, leaf);
    case Util::HIJACK_RENAME: return ns_rename_hijack(&vob, dir, leaf, new_name);
    default:
        // Kept: an unloaded name's hijacked file stays as a view-private
        // file, a loaded one's stays hijacked.
        return unload ? ns_unhijack_by_dbid(&vob, dir, leaf) : ns_lookup_hijack(&vob, dir, leaf);
    }
}

bool OstrelAgent_View_db_listener::treat_hijack_result(int result, const std::string& path, const qel_oid_s& parent,
                                                       const std::string& previous_version,
                                                       const std::string& new_version, int symlink,
                                                       const char* new_name, bool unload) {
    pending_action line;
    line.symlink = symlink;
    if (result == 0) {
        line.line = unload ? pending_action::HIJACK_UNLOAD : pending_action::HIJACK_UPDATE;
        line.treatment = m_hijack_treatment;
        line.set_aside = new_name;
        log_line(std::move(line), path, previous_version, new_version);
        return true;
    }
    if (result == QEL_ST_NOT_FOUND) {
        line.line = unload                     ? pending_action::UNLOAD
                    : previous_version.empty() ? pending_action::LOAD
                                               : pending_action::UPDATE;
        log_line(std::move(line), path, previous_version, new_version);
        return true;
    }
    m_message += text(M::HIJACK_NOT_HANDLED, path.c_str(), Util::id_text(parent).c_str(), qel_strerror(result));
    fail(S::INTERNAL_ERROR);
    return false;
}

bool OstrelAgent_View_db_listener::unload_object(const qel_uuid_s& vob, const qel_oid_s& parent,
                                                 const std::string& path, const qel_oid_s& old_object) {
    Trace trace("unload_object");
    stop_if_asked();
    if (unsafe_path(path)) return true;
    add_object({true, vob, parent, path, {}, {}, ostrel_vstat{}, ostrel_vstat{}, old_object, {}, 0}, false);
    return true;
}

void OstrelAgent_View_db_listener::apply_unload(const pending_object& pending) {
    Trace trace("apply_unload");
    const qel_uuid_s& vob = pending.vob;
    const qel_oid_s& parent = pending.parent;
    const std::string& path = pending.path;
    const qel_oid_s& old_object = pending.old_object;
    Split_Path split;
    if (fileutl_strip_leaf(path.c_str(), split.dir, split.leaf) != 0) {
        m_message += text(M::PATH_SPLIT_FAILED, path.c_str());
        fail(S::GENERAL_FAILURE);
        return;
    }
    const std::string vob_text = Util::id_text(vob);
    const std::string parent_text = Util::id_text(parent);
    trace.writeTrace(LEVEL_4, "unload vob %s parent elem %s name \"%s\" old_obj_oid %s", vob_text.c_str(),
                     parent_text.c_str(), path.c_str(), Util::id_text(old_object).c_str());
    int status =
        OstrelAgent_Metadata::flush_cache(vob, old_object, parent, path, split.leaf, m_ioctl.get(), m_message,
                                          kernel_later(), kernel_owner());
    if (status != 0) fail(status);
    status = ostrel_db_ver_mark_remove(&vob, &parent, &old_object, split.leaf);
    if (status != 0 && status != QEL_ST_NOT_FOUND) {
        m_message += text(M::MARK_REMOVED_FAILED, vob_text.c_str(), parent_text.c_str(), path.c_str(),
                          qel_strerror(status));
        fail(Util::qel_to_ostrel_status(status));
        return;
    }
    unsigned parent_ver = 0;
    if (status == QEL_ST_NOT_FOUND) {
        // Unloaded already, with its directory maybe (a stream resent after a
        // crash unloads again): no error. A name still in a loaded directory
        // gets the hijack treatment as any unload.
        unsigned parent_elem = 0;
        std::string ignored;
        if (OstrelAgent_Metadata::lookup_parent_dir(vob, parent, path, parent_elem, parent_ver, ignored) != 0) return;
    } else if (!parent_dir(vob, parent, path, parent_ver)) {
        return;
    }
    char new_name[FILEUTL_PATH_MAX] = "";
    const int hijack = treat_hijack(vob, parent_ver, split.leaf, true, new_name);
    treat_hijack_result(hijack, path, parent, std::string(), std::string(), 0, new_name, true);
    return;
}

bool OstrelAgent_View_db_listener::end_scope() {
    Trace trace("end_scope");
    stop_if_asked();
    commit_batch();
    m_finished_scopes.emplace_back(m_scope, m_scope_was_empty != 0);
    m_scope = ostrel_scope{};
    return true;
}

bool OstrelAgent_View_db_listener::end_vob() {
    Trace trace("end_vob");
    stop_if_asked();
    commit_batch();
    const qel_uuid_s vob = m_vob_uuid;
    const int status = m_vob_was_empty != 0 ? ostrel_db_end_def_scope_vob_load(&vob, m_scope.gn)
                                            : ostrel_db_end_def_scope_vob_update(&vob, m_scope.gn);
    m_vob_uuid = QEL_UUID_NULL;
    if (status != 0) {
        m_message += text(M::SCOPE_VOB_END_FAILED, Util::id_text(m_scope.scope_oid).c_str(),
                          Util::id_text(vob).c_str(), qel_strerror(status));
        fail(Util::qel_to_ostrel_status(status));
    }
    return true;
}

bool OstrelAgent_View_db_listener::end_operation() {
    Trace trace("end_operation");
    stop_if_asked();
    commit_batch();
    for (const auto& finished : m_finished_scopes) process_finished_scope(finished.first, finished.second);
    int status = cleanup_deleted_load_rules();
    if (status != 0) {
        trace.writeTrace(LEVEL_2, "Can't cleanup load scopes marked for deletion %d", status);
        return true;
    }
    status = get_lr_metadata();
    if (status != 0) {
        trace.writeTrace(LEVEL_2, "Can't get metadata for load scopes %d", status);
        return true;
    }
    status = ostrel_db_set_vns_view_gn(m_new_gn);
    if (status != 0) {
        fail(Util::qel_to_ostrel_status(status));
        m_message += Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_CALL_FAILED, "end update", qel_strerror(status));
        return true;
    }
    if (m_hijack_treatment == Util::HIJACK_OVERWRITE || m_hijack_treatment == Util::HIJACK_RENAME) {
        // Each failure is an error record of the log; the update fails.
        status = ns_view_sweep_hijacks(m_hijack_treatment, m_log);
        if (status != 0) fail(Util::qel_to_ostrel_status(status));
    }
    return true;
}

bool OstrelAgent_View_db_listener::process_finished_scope(const ostrel_scope& scope, bool first_load) {
    Trace trace("process_finished_scope");
    int status;
    if (is_auto_scope(scope))
        status = ostrel_db_end_def_scope(scope.gn);
    else if (first_load)
        status = ostrel_db_end_lr_scope_load(&scope.scope_oid, scope.gn, true, true);
    else
        status = ostrel_db_end_lr_scope_update(&scope.scope_oid, scope.gn);
    if (status == 0) return true;
    m_message += text(M::SCOPE_END_FAILED, Util::id_text(scope.scope_oid).c_str(), qel_strerror(status));
    fail(Util::qel_to_ostrel_status(status));
    return false;
}

int OstrelAgent_View_db_listener::cleanup_deleted_load_rules() {
    Trace trace("cleanup_deleted_load_rules");
    if (m_doomed.empty()) return 0;
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    if (view == nullptr) {
        m_message += text(M::NO_VIEW_INFO);
        return fail(S::NO_VIEW);
    }
    OstrelAgent_ConfigSpec store(view->get_storage_path());
    bool flush_view = false;
    int status = 0;
    for (doomed_scope& doomed : m_doomed) {
        trace.writeTrace(LEVEL_4, "Deleting load scope %s", doomed.scope.pname);
        if (qel_oid_eq(&doomed.oid, &QEL_OID_NULL)) {
            status = store.delete_one_load_scope(doomed.scope, 0, nullptr, nullptr);
            flush_view = flush_view || status == 0;
        } else {
            status = store.delete_one_load_scope(doomed.scope, 1, &doomed.oid, &doomed.uuid);
        }
        if (status != 0) {
            m_message += text(M::LOAD_RULE_NOT_REMOVED, doomed.scope.pname);
            fail(status);
            break;
        }
    }
    if (flush_view) {
        // The root of a deleted scope whose path was gone cannot be named.
        const int flushed = OstrelAgent_Metadata::view_inval_view(m_ioctl.get(), true, true, false);
        if (flushed != 0) {
            m_message += text(M::VIEW_FLUSH_FAILED, qel_strerror(flushed));
            fail(Util::qel_to_ostrel_status(flushed));
        }
    }
    return status;
}

int OstrelAgent_View_db_listener::get_lr_metadata() {
    Trace trace("get_lr_metadata");
    std::vector<ostrel_scope> scopes;
    int status = OstrelAgent_View_db::get_scopes(OstrelAgent_View_db::LR_SCOPES, scopes);
    if (status != 0) return fail(status);
    for (const ostrel_scope& scope : scopes) {
        trace.writeTrace(LEVEL_4, "Getting metadata for %s", scope.pname);
        OstrelAgent_Metadata walk(scope.pname, scope.pname, false);
        status = walk.run();
        if (status != 0) {
            m_message += walk.get_message();
            return fail(status);
        }
    }
    return 0;
}
