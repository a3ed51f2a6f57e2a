// The operation base's steps for the one object a request names by its
// path: reading and checking the path, splitting it, the statuses of the
// parent directory and of the object, the readdir-done question, the lists
// of names, and the flushes of stale cached copies afterwards.

#include <cstring>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ns/ostrelagent_view_db_version.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "platform/utl/fileutl.h"
#include "xml/norvane_xml_elem.h"

namespace {

const char* const kClass = "OstrelAgent_AbstractOp";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
namespace Msg = OstrelAgent_Lib_Msg;
namespace Status = OstrelAgent_Status;

bool is_null(const qel_oid_s& oid) { return qel_oid_eq(&oid, &QEL_OID_NULL); }

// Kinds of a version (file, directory, and the other versions the view
// database keeps as such).
bool is_version(vob_mtype_t mtype) { return mtype == 3 || mtype == 6 || mtype == 8; }

} // namespace

void OstrelAgent_AbstractOp::parse_path(NorvaneXmlElem* elem, std::string& out, bool required) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_path");
    NorvaneXmlElem* child = elem != nullptr ? elem->extract_child(OstrelAgent_Tag::PATH) : nullptr;
    if (child != nullptr) out = child->get_value();
    if (!out.empty()) {
        OstrelAgent_Util::globalize_path(out);
        if (is_below_view_root(out)) return;
        trace.writeTrace(LEVEL_2, "Path %s not below the view root", out.c_str());
        m_status = Status::MALFORMED_REQUEST;
        m_message += parse_error_message();
        return;
    }
    if (!required) return;
    m_message += OstrelAgent_Lib_Msg::text(Msg::NOT_IN_REQUEST, OstrelAgent_Tag::PATH.c_str());
    m_status = Status::MALFORMED_REQUEST;
    trace.writeTrace(LEVEL_2, "No pathname");
    m_message += parse_error_message();
}

bool OstrelAgent_AbstractOp::is_below_view_root(const std::string& path) {
    // The path is joined to the view root: a relative one would name
    // something beside the root, a climbing one something outside it.
    return OstrelAgent_Util::is_absolute_view_rel_path(path) && !OstrelAgent_Util::climbs_above_start(path);
}

void OstrelAgent_AbstractOp::parse_path(NorvaneXmlElem* elem, bool required) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_path");
    parse_path(elem, m_path, required);
}

int OstrelAgent_AbstractOp::divide_path() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "divide_path");
    const int status = get_view();
    if (status != 0) return status;
    char parent[FILEUTL_PATH_MAX];
    char leaf[FILEUTL_PATH_MAX];
    if (fileutl_strip_leaf(m_path.c_str(), parent, leaf) != 0) {
        m_message += OstrelAgent_Lib_Msg::text(Msg::PATH_SPLIT_FAILED, m_path.c_str());
        return Status::GENERAL_FAILURE;
    }
    const std::string root = m_view->get_view_root();
    m_leaf = leaf;
    m_parent_dir = parent;
    m_parent_path = root + m_parent_dir;
    m_object_path = root + m_path;
    trace.writeTrace(LEVEL_4, "parent %s leaf %s", m_parent_path.c_str(), m_leaf.c_str());
    return 0;
}

int OstrelAgent_AbstractOp::get_parent_metadata() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "get_parent_metadata");
    int status = get_view();
    if (status != 0) return status;
    // A parent named through a symbolic link is the directory it names.
    OstrelAgent_Metadata walk(m_view->strip_view_root(m_parent_path), m_parent_path, true);
    status = walk.run();
    if (status == 0) status = walk.get_vstat(&m_parent_vstat);
    if (status != 0) {
        m_message += walk.get_message();
        return status;
    }
    m_parent_vob_uuid = walk.get_vob_uuid();
    trace.writeTrace(LEVEL_4, "Parent %s veroid %s", m_parent_path.c_str(),
                     OstrelAgent_Util::id_text(m_parent_vstat.obj_oid).c_str());
    return 0;
}

int OstrelAgent_AbstractOp::get_obj_metadata_db(ostrel_vstat* out) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "get_obj_metadata_db");
    unsigned parent_dbid = 0;
    if (!OstrelAgent_View_db::obj_oid_to_dbid(m_parent_vstat.obj_oid, m_parent_vob_uuid, parent_dbid)) {
        m_message += OstrelAgent_Lib_Msg::text(Msg::NO_PARENT_DBID, m_parent_path.c_str());
        return Status::GENERAL_FAILURE;
    }
    m_object_vob_uuid = m_parent_vob_uuid;

    OstrelAgent_View_db_version parent(parent_dbid, m_parent_vob_uuid);
    parent.load_data();
    unsigned dbid = 0;
    vob_mtype_t mtype = 0;
    const int found = parent.lookup(m_leaf, dbid, mtype);
    // An entry older than the view's generation still names the object.
    if (found != 0 && found != QEL_ST_STALE_GENERATION) {
        if (out != nullptr) std::memset(out, 0, sizeof *out);
        trace.writeTrace(LEVEL_4, "Object %s eloid %s", m_object_path.c_str(),
                         OstrelAgent_Util::id_text(m_object_vstat.elem_oid).c_str());
        return 0;
    }
    if (!is_version(mtype)) {
        m_message += OstrelAgent_Lib_Msg::text(Msg::NOT_A_VERSION, m_object_path.c_str(), static_cast<int>(mtype));
        return Status::GENERAL_FAILURE;
    }
    OstrelAgent_View_db_version object(dbid, m_parent_vob_uuid);
    object.load_data();
    ostrel_vstat whole{};
    const int read = object.get_ostrelstat(whole);
    if (read != 0) trace.writeTrace(LEVEL_2, "can't read status of %s: %d", m_object_path.c_str(), read);
    m_object_vstat = whole.vstat;
    if (out != nullptr) *out = whole;
    trace.writeTrace(LEVEL_4, "Object %s eloid %s", m_object_path.c_str(),
                     OstrelAgent_Util::id_text(m_object_vstat.elem_oid).c_str());
    return 0;
}

int OstrelAgent_AbstractOp::get_obj_metadata_korva() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "get_obj_metadata_korva");
    int status = get_ioctl();
    if (status != 0) return status;
    status = m_ioctl->view_get_xstat(m_object_path.c_str(), &m_object_vstat, nullptr, nullptr, nullptr,
                                     &m_object_vob_uuid);
    if (status != 0) {
        m_message += OstrelAgent_Lib_Msg::text(Msg::PATH_LOOKUP_FAILED, m_object_path.c_str(), qel_strerror(status));
        return OstrelAgent_Util::qel_to_ostrel_status(status);
    }
    trace.writeTrace(LEVEL_4, "Object %s veroid %s eloid %s", m_object_path.c_str(),
                     OstrelAgent_Util::id_text(m_object_vstat.obj_oid).c_str(),
                     OstrelAgent_Util::id_text(m_object_vstat.elem_oid).c_str());
    return 0;
}

int OstrelAgent_AbstractOp::get_readdir_done(const qel_uuid_s& vob, const qel_oid_s& ver,
                                             const std::string& path, bool& done) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "get_readdir_done");
    unsigned dbid = 0;
    if (!OstrelAgent_View_db::obj_oid_to_dbid(ver, vob, dbid)) {
        trace.writeTrace(LEVEL_2, "Unknown ver oid for readdir-done check, vob %s ver %s",
                         OstrelAgent_Util::id_text(vob).c_str(), OstrelAgent_Util::id_text(ver).c_str());
        m_message += OstrelAgent_Lib_Msg::text(Msg::READDIR_DBID_UNKNOWN, path.c_str());
        return Status::GENERAL_FAILURE;
    }
    OstrelAgent_View_db_version dir(dbid, vob);
    dir.load_data();
    done = dir.is_readdir_done();
    return 0;
}

int OstrelAgent_AbstractOp::get_parent_readdir_done(bool& done) {
    return get_readdir_done(m_parent_vob_uuid, m_parent_vstat.obj_oid, m_parent_path, done);
}

int OstrelAgent_AbstractOp::get_obj_readdir_done(bool& done) {
    return get_readdir_done(m_object_vob_uuid, m_object_vstat.obj_oid, m_object_path, done);
}

void OstrelAgent_AbstractOp::check_no_separators(std::vector<std::string>& names) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "check_no_separators");
    for (const std::string& name : names) {
        if (!OstrelAgent_Util::contains_pname_separator(name)) continue;
        trace.writeTrace(LEVEL_4, "invalid item name \"%s\" contains pathname separator", name.c_str());
        refuse_malformed();
        return;
    }
}

void OstrelAgent_AbstractOp::parse_sub_list(NorvaneXmlElem* elem, const char* list_tag, const char* item_tag,
                                            std::vector<std::string>& out, bool paths, bool required) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_sub_list");
    NorvaneXmlElem* list = elem != nullptr ? elem->extract_child(list_tag) : nullptr;
    if (list == nullptr) {
        if (!required) return;
        trace.writeTrace(LEVEL_4, "No child list %s", list_tag);
        refuse_malformed();
        return;
    }
    for (const NorvaneXmlElem* child : list->get_children()) {
        if (child->get_tag() != item_tag) {
            trace.writeTrace(LEVEL_4, "Wrong child tag %s (should be %s)", child->get_tag().c_str(), item_tag);
            refuse_malformed();
            return;
        }
        std::string text = child->get_value();
        if (text.empty()) {
            trace.writeTrace(LEVEL_4, "Empty child item");
            refuse_malformed();
            return;
        }
        if (paths) OstrelAgent_Util::globalize_path(text);
        out.push_back(text);
    }
}

int OstrelAgent_AbstractOp::flush_parent_elem(vob_op_t op) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "flush_parent_elem");
    if (is_null(m_parent_vstat.elem_oid)) return 0;
    int status = get_ioctl();
    if (status != 0) return status;
    status = OstrelAgent_Metadata::view_inval_obj(m_ioctl.get(), m_parent_vob_uuid, m_parent_vstat.elem_oid, op,
                                                  true, true, true);
    if (status == 0) return 0;
    m_message += OstrelAgent_Lib_Msg::text(Msg::FLUSH_FAILED, m_parent_path.c_str(), qel_strerror(status));
    return OstrelAgent_Util::qel_to_ostrel_status(status);
}

int OstrelAgent_AbstractOp::flush_obj_leaf(vob_op_t) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "flush_obj_leaf");
    int status = get_ioctl();
    if (status != 0) return status;
    status = OstrelAgent_Metadata::view_inval_name(m_ioctl.get(), m_parent_vob_uuid, m_parent_vstat.obj_oid,
                                                   m_leaf.c_str(), true, true, true);
    if (status == 0) return 0;
    m_message += OstrelAgent_Lib_Msg::text(Msg::FLUSH_FAILED, m_object_path.c_str(), qel_strerror(status));
    return OstrelAgent_Util::qel_to_ostrel_status(status);
}

int OstrelAgent_AbstractOp::flush_metadata(vob_op_t op) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "flush_metadata");
    if (is_null(m_object_vstat.elem_oid)) return flush_obj_leaf(op);
    int status = get_ioctl();
    if (status != 0) return status;
    status = OstrelAgent_Metadata::view_inval_obj(m_ioctl.get(), m_object_vob_uuid, m_object_vstat.elem_oid, op,
                                                  true, true, true);
    if (status == 0) return flush_obj_leaf(op);
    // The name stays cached: it still names the object that could not go.
    m_message += OstrelAgent_Lib_Msg::text(Msg::FLUSH_FAILED, m_object_path.c_str(), qel_strerror(status));
    return OstrelAgent_Util::qel_to_ostrel_status(status);
}
