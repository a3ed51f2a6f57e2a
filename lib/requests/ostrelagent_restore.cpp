#include "lib/requests/ostrelagent_restore.h"

#include <new>

#include "lib/client/rclient_get_configspec.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_log_update.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ns_rpc.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/requests/ostrelagent_setconfigspec.h"
#include "xml/norvane_xml_doc.h"
#include "xml/norvane_xml_elem.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_Restore";
namespace S = OstrelAgent_Status;
namespace M = OstrelAgent_Lib_Msg;
using Util = OstrelAgent_Util;
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
constexpr int LEVEL_5 = OstrelAgent_Trace::TRACE_LEVEL_5;
// The operation code of every invalidation of a restore.
constexpr vob_op_t RESTORE_OP = 13;

class Trace : public OstrelAgent_Trace {
public:
    explicit Trace(const char* method) : OstrelAgent_Trace(OSTRELAGENT, CLASS_NAME, method) {}
};

using OstrelAgent_Lib_Msg::text;

} // namespace

// ---- the slot holder ---------------------------------------------------------------------------

OstrelAgent_ConfigSpec_Lock::OstrelAgent_ConfigSpec_Lock() : m_update(new OstrelAgent_Update()) {
    // An internal surgical update with no log and no paths: it only holds
    // the slot.
    m_update->set_hijack_treatment(Util::HIJACK_KEEP);
    m_update->set_surgical(1);
    m_update->set_supported_version("1");
}

OstrelAgent_ConfigSpec_Lock::~OstrelAgent_ConfigSpec_Lock() {
    // Frees the slot only when the placeholder holds it; wakes its waiters
    // in any case.
    OstrelAgent_View_Base::update_end(m_update.get());
}

bool OstrelAgent_ConfigSpec_Lock::claim() {
    unsigned int gn = 0;
    return OstrelAgent_View_Base::update_start(m_update.get(), gn, false);
}

// ---- the request -------------------------------------------------------------------------------

OstrelAgent_Restore::OstrelAgent_Restore(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_Update(request_text, document) {}

OstrelAgent_Restore::~OstrelAgent_Restore() = default;

void OstrelAgent_Restore::parse_request() {
    Trace trace("parse_request");
    m_status = 0;
    NorvaneXmlElem* root = parse_validate_request(1);
    if (root == nullptr) return;
    NorvaneXmlElem* flags = root->extract_child(TAG_RESTORE_FLAGS);
    if (flags == nullptr) {
        // Without flags the client is master: the request is refused.
        trace.writeTrace(LEVEL_4, "No restore flags");
        return;
    }
    if (!parse_treatment_flags(*flags)) return;
    const std::string master = flags->get_attr(ATTR_MASTER);
    if (master == MASTER_SERVER) {
        m_master = 1;
    } else if (master == MASTER_CLIENT) {
        m_master = 0;
    } else {
        trace.writeTrace(LEVEL_2, "Master not specified");
        refuse_malformed();
        return;
    }
    parse_sub_list(root, TAG_REPAIR_PATHS, TAG_PATH, m_repair_paths, true, false);
    if (m_status != 0) return;
    for (const std::string& path : m_repair_paths) {
        // Each path is joined to the view root: it may not climb out of it.
        if (!Util::climbs_above_start(path)) continue;
        trace.writeTrace(LEVEL_2, "Repair path %s not below the view root", path.c_str());
        refuse_malformed();
        return;
    }
    trace.writeTrace(LEVEL_4, "Number of paths = %d", static_cast<int>(m_repair_paths.size()));
}

void OstrelAgent_Restore::process_request() {
    Trace trace("process_request");
    parse_request();
    if (m_status != 0) {
        trace.writeTrace(LEVEL_2, "parse_request error");
        return;
    }
    if (OstrelAgent_Server::g_online == 0) {
        m_message += text(M::DISCONNECTED);
        m_status = S::DISCONNECTED;
        return;
    }
    m_status = get_view();
    if (m_status != 0) return;
    // Without a log the restore goes on: the reply then names none.
    init_log();
    m_status = 0;
    log_start_restore();

    if (m_master == 0) {
        restore_from_client();
    } else if (m_repair_paths.empty()) {
        restore_from_server();
    } else {
        bool failed = false;
        for (const std::string& repair_path : m_repair_paths) {
            std::string path = repair_path;
            Util::strip_leading_separators(path);
            m_path = "/" + path;
            restore_single_path();
            trace.writeTrace(LEVEL_4, "Status after restore of %s = %d(%s)", m_path.c_str(), m_status,
                             m_message.c_str());
            failed = failed || m_status != 0;
        }
        m_status = failed ? S::GENERAL_FAILURE : 0;
    }
    trace.writeTrace(LEVEL_4, "Status after restore = %d(%s)", m_status, m_message.c_str());
    log_end_restore();
}

void OstrelAgent_Restore::restore_from_client() { m_status = S::RESTORE_NOT_PROVIDED; }

// ---- the whole view ----------------------------------------------------------------------------

void OstrelAgent_Restore::restore_from_server() {
    Trace trace("restore_from_server");
    m_status = get_ioctl();
    if (m_status != 0) return;
    OstrelAgent_ConfigSpec_Lock lock;
    if (!lock.claim()) {
        m_status = S::UPDATE_IN_PROGRESS;
        m_message = text(M::UPDATE_IN_PROGRESS);
        return;
    }
    // Nothing cached of the view is trusted any more: the kernel's copies,
    // the namespace cache and the view database's loaded names all go.
    m_status = OstrelAgent_Metadata::view_inval_view(ioctl(), true, true, true);
    if (m_status != 0) {
        trace.writeTrace(LEVEL_2, "cache flush failed = %d", m_status);
        return;
    }
    int status = ostrel_db_create_lr_scope(&AUTOMATIC_LOAD_SCOPE_OID, 0, "Automatic");
    if (status != 0) {
        trace.writeTrace(LEVEL_2, "error setting automatic scope GN to 0 = %d", status);
        m_status = Util::qel_to_ostrel_status(status);
        return;
    }
    // The full update below asks the server for everything from the first
    // generation on: 1, a new view's first number (the trace's "0" names the
    // view's reset, as the scope's line does).
    status = ostrel_db_set_vns_view_gn(1);
    if (status != 0) {
        trace.writeTrace(LEVEL_2, "error setting view GN to 0 = %d", status);
        m_status = Util::qel_to_ostrel_status(status);
        return;
    }
    restore_cs_from_server();
    if (m_status != 0) {
        trace.writeTrace(LEVEL_2, "Restore Config spec from server failed = %d", m_status);
        return;
    }
    do_view_update(true);
    trace.writeTrace(LEVEL_4, "Status from do_view_update = %d", m_status);
    // The run's background fetches report to this operation: it may not
    // answer (and be deleted) before they have ended, and a failed one
    // fails the restore.
    wait_for_background_fetches();
    take_background_status();
}

void OstrelAgent_Restore::restore_cs_from_server() {
    Trace trace("restore_cs_from_server");
    m_status = get_view();
    if (m_status != 0) return;
    trace.writeTrace(LEVEL_4, "Calling Get_ConfigSpec");
    Get_ConfigSpec command(m_view->get_view_uuid(), true);
    command.run();
    int server_status = 0;
    const int checked =
        command.check_rpc_status(*OstrelAgent_Log::get_instance(m_view->get_storage_path()), m_message, server_status);
    if (checked != 0) {
        m_status = checked;
        trace.writeTrace(LEVEL_2, "Error from from wan request %d", m_status);
        return;
    }
    if (trace.shouldTrace(LEVEL_5)) {
        trace.writeTrace("element rules = [%s]", command.m_element_rules.c_str());
        for (const ostrel_scope& scope : command.m_frozen_load_scopes)
            trace.writeTrace("load rule = [%s][%s]", Util::id_text(scope.scope_oid).c_str(), scope.pname);
    }
    OstrelAgent_SetConfigSpec set;
    set.set_supported_version("1.0");
    set.set_view(m_view);
    set.set_element_rules(command.m_element_rules);
    set.set_restore_scopes(command.m_frozen_load_scopes);
    set.restore_config_spec(1);
    m_status = set.get_status();
    trace.writeTrace(LEVEL_2, "Returning with status %d", m_status);
}

// ---- single paths ------------------------------------------------------------------------------

void OstrelAgent_Restore::restore_single_path() {
    Trace trace("restore_single_path");
    // Nothing of the previous path may be taken for this one's.
    m_leaf.clear();
    m_parent_dir.clear();
    m_parent_path = m_view->get_view_root() + m_path;
    m_object_path = m_parent_path;
    m_parent_vstat = view_vstat{};
    m_object_vstat = view_vstat{};
    m_parent_vob_uuid = QEL_UUID_NULL;
    m_object_vob_uuid = QEL_UUID_NULL;

    bool vob_root = false;
    m_status = check_is_vobroot(vob_root);
    if (!vob_root) {
        m_status = divide_path();
        if (m_status == 0) m_status = get_parent_metadata();
        if (m_status == 0) m_status = flush_obj_leaf(RESTORE_OP);
    } else {
        m_status = flush_parent_elem(RESTORE_OP);
    }
    if (m_status != 0) return;

    OstrelAgent_Metadata walk(m_path, m_path, false);
    m_status = walk.run();
    if (m_status == 0) {
        view_vstat object{};
        walk.get_vstat(&object);
        if (object.fstat.type == QEL_FTYPE_DIR) {
            refill_readdir(walk, m_path);
        } else if (walk.is_hijacked() && m_hijack_treatment != Util::HIJACK_KEEP) {
            treat_hijacked_file(object.fstat.type == QEL_FTYPE_LNK);
        }
        return;
    }
    if (m_status != S::NOT_FOUND || vob_root) {
        m_message += walk.get_message();
        return;
    }

    // The name is gone: its directory is read again, and a hijack record
    // left of the name goes.
    OstrelAgent_Metadata parent(m_parent_dir, m_parent_dir, true);
    if (!walk_parent(parent)) return;
    refill_readdir(parent, m_parent_dir);
    if (m_hijack_treatment == Util::HIJACK_KEEP) return;
    const qel_uuid_s& vob = parent.get_vob_uuid();
    const int32_t dir = static_cast<int32_t>(parent.get_obj_fhandle().dbid);
    if (ns_lookup_hijack(&vob, dir, m_leaf.c_str()) != 0) return;
    const int removed = ns_remove_hijack(&vob, dir, m_leaf.c_str());
    if (removed == 0) return;
    m_message += text(M::UNHIJACK_FAILED, m_path.c_str(), qel_strerror(removed));
    m_status = Util::qel_to_ostrel_status(removed);
}

bool OstrelAgent_Restore::walk_parent(OstrelAgent_Metadata& walk) {
    const int status = walk.run();
    if (status == 0) return true;
    m_status = status;
    m_message += walk.get_message();
    return false;
}

void OstrelAgent_Restore::treat_hijacked_file(bool symlink) {
    Trace trace("treat_hijacked_file");
    OstrelAgent_Metadata parent(m_parent_dir, m_parent_dir, true);
    if (!walk_parent(parent)) return;
    const qel_uuid_s& vob = parent.get_vob_uuid();
    const int32_t dir = static_cast<int32_t>(parent.get_obj_fhandle().dbid);
    char new_name[256] = "";
    const int result = m_hijack_treatment == Util::HIJACK_RENAME
                           ? ns_rename_hijack(&vob, dir, m_leaf.c_str(), new_name)
                           : ns_remove_hijack(&vob, dir, m_leaf.c_str());
    if (result != 0) {
        trace.writeTrace(LEVEL_2, "hijack of %s not handled: %d", m_path.c_str(), result);
        m_message += text(M::HIJACK_NOT_HANDLED, m_leaf.c_str(), m_parent_dir.c_str(), qel_strerror(result));
        m_status = Util::qel_to_ostrel_status(result);
        return;
    }
    if (m_log) m_log->log_hijack_update(m_hijack_treatment, m_path, "", "", symlink ? 1 : 0, new_name);
}

void OstrelAgent_Restore::refill_readdir(const OstrelAgent_Metadata& walk, const std::string& path) {
    Trace trace("refill_readdir");
    std::vector<ostrelagent_dirent> listing;
    m_status = OstrelAgent_Metadata::readdir_obj(walk.get_vob_uuid(), walk.get_obj_fhandle().dbid, listing);
    if (m_status != 0) m_message += text(M::RESTORE_READDIR_FAILED, path.c_str());
}

// ---- the log and the reply ---------------------------------------------------------------------

void OstrelAgent_Restore::log_start_restore() {
    if (!m_log) return;
    OstrelAgent_Log_Update::Restore_Options options;
    options.preserve_vob_times = m_view->get_preserve_vob_mtime() != 0;
    options.hijack_treatment = m_hijack_treatment;
    options.paths = m_repair_paths;
    options.view_root = m_view->get_view_root();
    options.server_is_master = m_master == 1;
    m_log->write_log(OSTRELAGENT_LOG_INFO, m_log->restore_head(options));
    m_head_written = true;
}

void OstrelAgent_Restore::log_end_restore() {
    if (!m_log || !m_head_written) return;
    m_log->write_log(OSTRELAGENT_LOG_INFO, OstrelAgent_Log_Update::restore_tail(m_status, m_message));
}

std::string OstrelAgent_Restore::get_response() {
    Trace trace("get_response");
    return reply_with_log(OstrelAgent_Tag::RESTORE);
}
