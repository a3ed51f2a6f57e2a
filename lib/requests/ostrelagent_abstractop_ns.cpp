// The operation base's steps for a change of a directory's names that a
// request reports ("namespace-modified"): reading the change, the VOB-root
// test of the operation's path, dropping the removed load rules with what
// they loaded, and bringing the changed directory up to date.

#include <memory>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_configspec.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ostrelagent_view_db_version.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "lib/requests/ostrelagent_update.h"
#include "xml/norvane_xml_elem.h"

namespace {

const char* const kClass = "OstrelAgent_AbstractOp";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
namespace Msg = OstrelAgent_Lib_Msg;
namespace Status = OstrelAgent_Status;
using Util = OstrelAgent_Util;

// The kernel's operation code of an element whose load rule went away.
constexpr vob_op_t OP_LOAD_RULE_REMOVED = 13;

class Trace : public OstrelAgent_Trace {
public:
    explicit Trace(const char* method) : OstrelAgent_Trace(OSTRELAGENT, kClass, method) {}
};

} // namespace

void OstrelAgent_AbstractOp::parse_new_leaves(NorvaneXmlElem* elem, bool required) {
    parse_sub_list(elem, TAG_NEW_LEAVES, TAG_LEAF, m_new_leaves, false, required);
}

void OstrelAgent_AbstractOp::parse_removed_leaves(NorvaneXmlElem* elem, bool required) {
    parse_sub_list(elem, TAG_REMOVED_LEAVES, TAG_LEAF, m_removed_leaves, false, required);
}

void OstrelAgent_AbstractOp::parse_removed_load_rules(NorvaneXmlElem* elem, bool required) {
    parse_sub_list(elem, TAG_REMOVED_LOAD_RULES, OstrelAgent_Tag::PATH.c_str(), m_removed_load_rules, true, required);
}

void OstrelAgent_AbstractOp::parse_namespace_modified(NorvaneXmlElem* elem, bool required, bool path_from_element,
                                                      bool removed_load_rules_required, bool removed_leaves_required,
                                                      bool new_leaves_required) {
    Trace trace("parse_namespace_modified");
    if (m_status != 0) return;
    NorvaneXmlElem* change = elem != nullptr ? elem->extract_child(TAG_NAMESPACE_MODIFIED) : nullptr;
    if (change == nullptr) {
        if (!required) return;
        trace.writeTrace(LEVEL_4, "No modified XML element %s", TAG_NAMESPACE_MODIFIED);
        refuse_malformed();
        return;
    }
    if (path_from_element) {
        parse_path(change, true);
    } else {
        std::string path;
        parse_path(change, path, true);
        if (m_status == 0 && path != m_path) {
            trace.writeTrace(LEVEL_4, "path mismatch: %s vs %s", path.c_str(), m_path.c_str());
            refuse_malformed();
        }
    }
    if (m_status == 0) parse_removed_load_rules(change, removed_load_rules_required);
    if (m_status == 0) parse_removed_leaves(change, removed_leaves_required);
    if (m_status == 0) parse_new_leaves(change, new_leaves_required);
    if (m_status == 0) check_no_separators(m_removed_leaves);
    if (m_status == 0) check_no_separators(m_new_leaves);
}

int OstrelAgent_AbstractOp::check_is_vobroot(bool& is_vob_root) {
    Trace trace("check_is_vobroot");
    OstrelAgent_Metadata walk(m_path, m_path, false);
    if (walk.run() != 0) {
        is_vob_root = false;
        return 0;
    }
    is_vob_root = walk.is_vob_root();
    if (is_vob_root) {
        // A VOB root has no parent: the root stands in the parent's place.
        walk.get_vstat(&m_parent_vstat);
        m_parent_vob_uuid = walk.get_parent_fhandle().vob_uuid;
    }
    trace.writeTrace(LEVEL_4, "%s is %sa VOB root", m_path.c_str(), is_vob_root ? "" : "not ");
    return 0;
}

void OstrelAgent_AbstractOp::clean_removed_load_rules() {
    Trace trace("clean_removed_load_rules");
    if (m_removed_load_rules.empty()) return;
    // Without a view there is no kernel to tell and no storage whose rules
    // could be deleted.
    if (get_ioctl() != 0) {
        m_message += OstrelAgent_Lib_Msg::text(Msg::IOCTL_UNAVAILABLE);
        m_status = Status::INTERNAL_ERROR;
        return;
    }

    // What the rules loaded, found before they go.
    std::vector<ostrelagent_scope_elem> loaded;
    bool whole_view = false;
    for (const std::string& rule : m_removed_load_rules) {
        ostrel_scope scope{};
        int status = ostrel_db_get_scope_by_name(rule.c_str(), &scope);
        if (status != 0) {
            trace.writeTrace(LEVEL_2, "can't find scope %s by name: %s", rule.c_str(), qel_strerror(status));
            whole_view = true;
            break;
        }
        status = ostrel_db_scope_get_elements(&scope.scope_oid, loaded);
        if (status != 0) {
            trace.writeTrace(LEVEL_2, "can't get scope elements for scope %s: %s",
                             Util::id_text(scope.scope_oid).c_str(), qel_strerror(status));
            whole_view = true;
            break;
        }
    }

    OstrelAgent_ConfigSpec config_spec(m_view->get_storage_path());
    m_status = config_spec.delete_load_rules(m_removed_load_rules, 0, 0);
    if (m_status != 0) {
        m_message += config_spec.get_error_text();
        trace.writeTrace(LEVEL_2, "remove load rules failed");
    }

    if (!whole_view) {
        for (const ostrelagent_scope_elem& elem : loaded) {
            const int status = OstrelAgent_Metadata::view_inval_obj(m_ioctl.get(), elem.replica_uuid, elem.elem_oid,
                                                                    OP_LOAD_RULE_REMOVED, true, true, false);
            if (status == 0) continue;
            trace.writeTrace(LEVEL_2, "Unable to flush vobuuid %s elem %s: %s",
                             Util::id_text(elem.replica_uuid).c_str(), Util::id_text(elem.elem_oid).c_str(),
                             qel_strerror(status));
            whole_view = true;
        }
    }
    if (whole_view) {
        const int status = OstrelAgent_Metadata::view_inval_view(m_ioctl.get(), true, true, false);
        if (status != 0) {
            trace.writeTrace(LEVEL_2, "Unable to flush view cache: %s", qel_strerror(status));
            m_message += OstrelAgent_Lib_Msg::text(Msg::VIEW_FLUSH_FAILED, qel_strerror(status));
            m_status = Status::GENERAL_FAILURE;
        }
    }
}

void OstrelAgent_AbstractOp::namespace_change_dir_update(const qel_uuid_s& vob, unsigned int dir_dbid,
                                                         const std::string& dir_path, bool check_scope) {
    Trace trace("namespace_change_dir_update");
    std::vector<ostrelagent_dirent> listing;
    m_status = OstrelAgent_Metadata::readdir_obj(vob, dir_dbid, listing);
    if (m_status != 0) {
        m_message += OstrelAgent_Lib_Msg::text(Msg::NS_CHANGE_READDIR_FAILED, dir_path.c_str());
        return;
    }
    if (!check_scope) return;

    OstrelAgent_View_db_version dir(dir_dbid, vob);
    dir.load_data();
    ostrel_scope scope{};
    unsigned gn = 0;
    m_status = dir.get_scope(scope.scope_oid, gn);
    if (m_status != 0) {
        m_message += "Can't get scope after update";
        return;
    }
    // The automatic scope is filled on demand: the listing read is enough.
    if (qel_oid_eq(&scope.scope_oid, &AUTOMATIC_LOAD_SCOPE_OID)) return;

    trace.writeTrace(LEVEL_4, "need to do surgical update of path: %s", dir_path.c_str());
    OstrelAgent_Update update;
    update.set_surgical(1);
    update.set_hijack_treatment(OstrelAgent_Util::HIJACK_KEEP);
    update.set_supported_version("1");
    update.set_paths({dir_path});
    update.set_scope(scope);
    update.do_surgical_update();
    m_status = update.get_status();
    if (m_status != 0) m_message += update.get_message();
}

bool OstrelAgent_AbstractOp::clean_and_walk(OstrelAgent_Metadata& walk) {
    clean_removed_load_rules();
    return m_status == 0 && walk_afresh(walk);
}

bool OstrelAgent_AbstractOp::walk_afresh(OstrelAgent_Metadata& walk) {
    m_status = walk.run();
    if (m_status == 0) return true;
    m_message += walk.get_message();
    return false;
}

void OstrelAgent_AbstractOp::walked_dir_update(const OstrelAgent_Metadata& dir, const std::string& leaf,
                                               bool check_scope) {
    std::string path = dir.get_view_path();
    if (!leaf.empty()) path += OstrelAgent_Util::GLOBAL_PNAME_SEP + leaf;
    namespace_change_dir_update(dir.get_vob_uuid(), dir.get_obj_fhandle().dbid, path, check_scope);
}
