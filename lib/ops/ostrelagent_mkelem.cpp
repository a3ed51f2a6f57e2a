#include "lib/ops/ostrelagent_mkelem.h"

#include <sys/stat.h>

#include <cstdio>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ns_rpc.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ops/ostrelagent_element_content.h"
#include "lib/ops/ostrelagent_mkelem_bg_cleartext.h"
#include "lib/ops/ostrelagent_view_file.h"
#include "platform/utl/fileutl.h"
#include "xml/norvane_xml_elem.h"

namespace {

const char* const kClass = "OstrelAgent_Mkelem";
const char* const TAG_REPLICA_UUID = "replica-uuid";
const char* const TAG_MKELEM_FLAGS = "mkelem-flags";
const char* const ATTR_MAKE_PATH = "make-path";
const char* const ATTR_IS_CHECKED_OUT = "is-checked-out";
const char* const ATTR_IS_LINK = "is-link";
const char* const TAG_NEW_VER_OID = "new-ver-oid";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_3 = OstrelAgent_Trace::TRACE_LEVEL_3;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
constexpr vob_op_t MKELEM = 11;
// The room of a view-relative path made absolute.
constexpr size_t PATH_ROOM = 1024;
namespace Msg = OstrelAgent_Lib_Msg;
namespace Status = OstrelAgent_Status;

bool is_null(const qel_oid_s& oid) { return qel_oid_eq(&oid, &QEL_OID_NULL); }

const char* yes_no(int flag) { return flag != 0 ? "true" : "false"; }

} // namespace

OstrelAgent_Mkelem::OstrelAgent_Mkelem(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_Mkelem::~OstrelAgent_Mkelem() = default;

void OstrelAgent_Mkelem::parse_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_request");
    NorvaneXmlElem* root = parse_frame(Path_Rule::REQUIRED);
    if (root == nullptr) return;
    if (!read_uuid(root, TAG_REPLICA_UUID, "No replica uuid", "Malformed replica uuid", m_replica_uuid)) return;
    NorvaneXmlElem* flags = root->extract_child(TAG_MKELEM_FLAGS);
    if (flags == nullptr) {
        trace.writeTrace(LEVEL_4, "No mkelem flags");
        refuse_malformed();
        return;
    }
    read_true_flags(flags, {{ATTR_MAKE_PATH, &m_make_path},
                            {ATTR_IS_CHECKED_OUT, &m_is_checked_out},
                            {ATTR_IS_LINK, &m_is_link}});
    trace.writeTrace(LEVEL_4, "mkelem flags: mkpath=%s, co=%s, link=%s", yes_no(m_make_path),
                     yes_no(m_is_checked_out), yes_no(m_is_link));
    read_oid(root, TAG_NEW_VER_OID, "No new version oid", "Malformed new version oid", nullptr, m_new_ver_oid);
}

void OstrelAgent_Mkelem::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    if (m_status != 0 || refuse_offline()) return;

    m_request_path = m_path;
    if ((m_status = divide_path()) != 0) return;
    m_element_path = m_object_path;
    if ((m_status = refuse_odd_leaf()) != 0) return;
    m_parent_rel_path = m_parent_dir;
    if ((m_status = m_make_path != 0 ? collect_path() : collect_element()) != 0) return;

    trace.writeTrace(LEVEL_4, "Flushing element %s", OstrelAgent_Util::id_text(m_parent_vstat.elem_oid).c_str());
    if ((m_status = flush_parent_elem(MKELEM)) != 0) return;
    // Topmost first: each directory's element is looked up in the one
    // adopted before it.
    while (!m_paths_to_adopt.empty()) {
        if ((m_status = adopt_path(m_paths_to_adopt.back())) != 0) return;
        m_paths_to_adopt.pop_back();
    }

    m_path = m_request_path;
    if ((m_status = divide_path()) != 0) return;
    unsigned int parent_dbid = 0;
    if ((m_status = get_obj_metadata_vob(parent_dbid)) != 0) return;

    if (m_make_path == 0) {
        if (m_parent_listing_complete)
            OstrelAgent_Metadata::readdir_in_background(m_parent_vob_uuid, m_parent_vstat.obj_oid);
    } else {
        OstrelAgent_Metadata parent(m_parent_rel_path, m_parent_rel_path, true);
        if ((m_status = parent.run()) != 0) {
            m_message += parent.get_message();
            return;
        }
        OstrelAgent_Metadata::readdir_in_background(parent.get_vob_uuid(), parent.get_obj_fhandle().dbid);
    }
    // A checked-out file stays as the checked-out version's file; a link
    // has no cleartext.
    if (m_is_checked_out != 0 || m_is_link != 0) return;
    settle_content();
}

int OstrelAgent_Mkelem::collect_element() {
    int status = get_parent_metadata();
    if (status != 0) return status;
    if (m_is_link == 0) {
        if ((status = get_obj_metadata_korva()) != 0) return status;
    } else {
        m_object_vstat.fstat.type = QEL_FTYPE_LNK;
    }
    if ((status = get_parent_readdir_done(m_parent_listing_complete)) != 0) return status;
    if ((status = flush_obj_leaf(MKELEM)) != 0) return status;
    if (m_object_vstat.fstat.type != QEL_FTYPE_DIR) return 0;
    if ((status = get_view()) != 0) return status;
    m_paths_to_adopt.push_back(view_relative_path(m_element_path));
    return 0;
}

int OstrelAgent_Mkelem::collect_path() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "collect_path");
    int status = get_view();
    if (status != 0) return status;
    // From the element up to its first version-controlled ancestor (a path
    // that does not resolve counts as not version-controlled).
    for (std::string p = view_relative_path(m_element_path); p.size() > 1 && !is_version_controlled(p);
         p = OstrelAgent_Util::parent(p)) {
        m_names_to_flush.push_back(p);
        m_paths_to_adopt.push_back(p);
    }
    // The element is version-controlled already: its parent is the one to
    // flush and to look it up in, as without make-path.
    if (m_names_to_flush.empty()) return get_parent_metadata();
    for (const std::string& name : m_names_to_flush) {
        trace.writeTrace(LEVEL_4, "Flushing name %s", name.c_str());
        m_path = name;
        bool vob_root = false;
        if ((status = check_is_vobroot(vob_root)) != 0) return status;
        if (vob_root) break;
        if ((status = divide_path()) != 0 || (status = get_parent_metadata()) != 0 ||
            (status = flush_obj_leaf(MKELEM)) != 0)
            return status;
    }
    return 0;
}

int OstrelAgent_Mkelem::refuse_odd_leaf() {
    // A link element's name holds a link; any other element's holds its
    // file or directory, and nothing else there is followed or read.
    if (m_is_link != 0) return 0;
    struct stat st;
    if (OstrelAgent_View_File::examine(m_element_path, st) != 0 || S_ISDIR(st.st_mode)) return 0;
    bool present = false;
    return OstrelAgent_View_File::expect(m_element_path, OstrelAgent_View_File::Kind::FILE, present, m_message);
}

void OstrelAgent_Mkelem::settle_content() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "settle_content");
    struct stat st;
    const bool present = OstrelAgent_View_File::examine(m_element_path, st) == 0;
    // What stands at the name is not followed: a link, FIFO or device there
    // is neither adopted nor removed.
    if (present && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        bool ignored = false;
        m_status = OstrelAgent_View_File::expect(m_element_path, OstrelAgent_View_File::Kind::FILE, ignored,
                                                 m_message);
        return;
    }
    if (present && S_ISREG(st.st_mode) && st.st_nlink != 0) {
        const bool adopting = !is_null(m_new_ver_oid);
        if (adopting) {
            if ((m_status = get_view()) != 0) return;
            m_status = OstrelAgent_Element_Content::adopt(*m_view, m_replica_uuid, m_new_ver_oid, m_element_path,
                                                          m_message);
            if (m_status != 0) return;
        }
        // While the view-private file is there it hides the element: its
        // failed removal is the operation's, adopted or not.
        m_status = OstrelAgent_Element_Content::remove_file(m_element_path, m_message);
        if (adopting || m_status != 0) return;
    }
    if ((m_status = get_view()) != 0) return;
    if (m_object_vstat.fstat.type == QEL_FTYPE_REG)
        OstrelAgent_Element_Content::fetch_in_background(*m_view, m_replica_uuid, m_object_vstat.obj_oid,
                                                         new OstrelAgent_Mkelem_BG_Cleartext);
}

int OstrelAgent_Mkelem::adopt_path(const std::string& path) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "adopt_path");
    trace.writeTrace(LEVEL_3, "Adopting %s", path.c_str());
    m_path = path;
    int status = divide_path();
    if (status != 0) return status;
    bool vob_root = false;
    if ((status = check_is_vobroot(vob_root)) != 0) return status;
    if (vob_root) {
        trace.writeTrace(LEVEL_2, "cannot adopt VOB root");
        return Status::INTERNAL_ERROR;
    }
    unsigned int parent_dbid = 0;
    if ((status = get_parent_metadata()) != 0 || (status = get_obj_metadata_vob(parent_dbid)) != 0) return status;
    if (m_object_vstat.fstat.type != QEL_FTYPE_DIR) {
        trace.writeTrace(LEVEL_4, "Not adopting non-directory %s", m_object_path.c_str());
        return 0;
    }
    trace.writeTrace(LEVEL_4, "Adopting %s as cover for element %s", m_object_path.c_str(),
                     OstrelAgent_Util::id_text(m_object_vstat.elem_oid).c_str());
    status = ns_adopt_cover_dir(&m_parent_vob_uuid, static_cast<int32_t>(parent_dbid), m_leaf.c_str(),
                                &m_object_vstat.elem_oid);
    if (status == 0) return 0;
    m_message += OstrelAgent_Lib_Msg::text(Msg::VIEW_PRIVATE_DIR_NOT_CONVERTED, m_object_path.c_str(),
                                           qel_strerror(status));
    return OstrelAgent_Util::qel_to_ostrel_status(status);
}

int OstrelAgent_Mkelem::get_obj_metadata_vob(unsigned int& parent_dbid) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "get_obj_metadata_vob");
    if (!OstrelAgent_View_db::obj_oid_to_dbid(m_parent_vstat.obj_oid, m_parent_vob_uuid, parent_dbid)) {
        m_message += OstrelAgent_Lib_Msg::text(Msg::NO_PARENT_DBID, m_parent_path.c_str());
        return Status::GENERAL_FAILURE;
    }
    m_object_vob_uuid = m_parent_vob_uuid;
    unsigned int elem_dbid = 0;
    unsigned int obj_dbid = 0;
    ostrel_vstat found{};
    const int status =
        OstrelAgent_Metadata::lookup_obj(m_object_vob_uuid, parent_dbid, 0, m_leaf, elem_dbid, obj_dbid, found);
    if (status != 0) {
        char error[64];
        std::snprintf(error, sizeof error, "Error %ld", static_cast<long>(status));
        m_message += OstrelAgent_Lib_Msg::text(Msg::PATH_LOOKUP_FAILED, m_object_path.c_str(), error);
        return status;
    }
    m_object_vstat = found.vstat;
    return 0;
}

std::string OstrelAgent_Mkelem::view_relative_path(const std::string& full_path) {
    std::string below = m_view != nullptr ? m_view->strip_view_root(full_path) : full_path;
    if (!below.empty()) below.erase(0, 1);
    char absolute[PATH_ROOM];
    if (fileutl_make_abs_pn(below.c_str(), "/", absolute, sizeof absolute) != 0) return std::string();
    std::string path = absolute;
    OstrelAgent_Util::globalize_path(path);
    return path;
}

bool OstrelAgent_Mkelem::is_version_controlled(const std::string& path) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "is_version_controlled");
    OstrelAgent_Metadata walk(path, path, false);
    m_status = walk.run();
    if (m_status != 0) {
        m_message += walk.get_message();
        return false;
    }
    // The same rule by which GetMetadata reports a path.
    const bool controlled = walk.is_version_controlled();
    trace.writeTrace(LEVEL_4, "%s is %sversion-controlled", path.c_str(), controlled ? "" : "not ");
    return controlled;
}

std::string OstrelAgent_Mkelem::get_response() {
    return common_reply(OstrelAgent_Tag::MKELEM, OstrelAgent_Trace::TRACE_LEVEL_4);
}
