#include "lib/ops/ostrelagent_checkin.h"

#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ostrelagent_view_db_element.h"
#include "lib/ops/ostrelagent_element_content.h"
#include "lib/ops/ostrelagent_view_file.h"

namespace {

const char* const kClass = "OstrelAgent_Checkin";
const char* const TAG_REPLICA_UUID = "replica-uuid";
const char* const TAG_NEW_VER_OID = "new-ver-oid";
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
constexpr vob_op_t CHECKIN = 13;

bool is_null(const qel_oid_s& oid) { return qel_oid_eq(&oid, &QEL_OID_NULL); }

// Kinds whose oid names a version the server can give the cleartext of.
bool is_version(vob_mtype_t mtype) { return mtype == 3 || mtype == 6 || mtype == 8; }

} // namespace

OstrelAgent_Checkin::OstrelAgent_Checkin(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_Checkin::~OstrelAgent_Checkin() = default;

void OstrelAgent_Checkin::parse_request() {
    NorvaneXmlElem* root = parse_frame(Path_Rule::REQUIRED);
    if (root == nullptr) return;
    if (!read_uuid(root, TAG_REPLICA_UUID, "No replica uuid", "Malformed replica uuid", m_replica_uuid)) return;
    read_oid(root, TAG_NEW_VER_OID, "No new version oid", "Malformed new version oid", nullptr, m_new_ver_oid);
}

void OstrelAgent_Checkin::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    if (m_status != 0 || refuse_offline()) return;
    bool vob_root = false;
    m_status = check_is_vobroot(vob_root);
    if (m_status != 0) return;
    if (vob_root)
        checkin_vob_root();
    else
        checkin_element();
}

void OstrelAgent_Checkin::checkin_vob_root() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "checkin_vob_root");
    // The root stands in the parent's place.
    m_status = OstrelAgent_View_db_element::set_elem_co_ver_oid(m_parent_vob_uuid, m_parent_vstat.elem_oid,
                                                               QEL_OID_NULL, m_message);
    if (m_status != 0) return;
    if ((m_status = flush_parent_elem(CHECKIN)) != 0) return;
    OstrelAgent_Metadata root(m_path, m_path, false);
    if ((m_status = root.run()) != 0) {
        m_message += root.get_message();
        return;
    }
    OstrelAgent_Metadata::readdir_in_background(root.get_vob_uuid(), root.get_obj_fhandle().dbid);
}

void OstrelAgent_Checkin::checkin_element() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "checkin_element");
    if ((m_status = divide_path()) != 0) return;
    if ((m_status = get_parent_metadata()) != 0) return;
    if ((m_status = get_obj_metadata_db(nullptr)) != 0) return;

    const bool directory = m_object_vstat.fstat.type == QEL_FTYPE_DIR;
    // The checked-out file is read and removed: whatever else stands at its
    // name ends the checkin before anything changes.
    bool present = false;
    if (!directory && (m_status = OstrelAgent_View_File::expect(m_object_path, OstrelAgent_View_File::Kind::FILE,
                                                                present, m_message)) != 0)
        return;
    if (!directory && !is_null(m_new_ver_oid) && (m_status = adopt_content()) != 0) return;
    bool listing_complete = false;
    if (directory && (m_status = get_obj_readdir_done(listing_complete)) != 0) return;
    if ((m_status = flush_metadata(CHECKIN)) != 0) return;

    OstrelAgent_Metadata resolved(m_path, m_path, false);
    view_vstat checked_in{};
    m_status = resolved.run();
    if (m_status == 0) m_status = resolved.get_vstat(&checked_in);
    if (m_status != 0) {
        m_message += resolved.get_message();
        return;
    }

    if (checked_in.fstat.type == QEL_FTYPE_DIR) {
        m_status = OstrelAgent_View_db_element::set_elem_co_ver_oid(m_object_vob_uuid, checked_in.elem_oid,
                                                                   QEL_OID_NULL, m_message);
        if (m_status == 0 && listing_complete)
            OstrelAgent_Metadata::readdir_in_background(resolved.get_vob_uuid(), resolved.get_obj_fhandle().dbid);
        return;
    }
    // The view shows the checked-in version once the checked-out file is gone.
    if ((m_status = OstrelAgent_Element_Content::remove_file(m_object_path, m_message)) != 0) return;
    if (is_null(m_new_ver_oid)) fetch_in_background(checked_in);
}

int OstrelAgent_Checkin::adopt_content() {
    const int status = get_view();
    if (status != 0) return status;
    return OstrelAgent_Element_Content::adopt(*m_view, m_replica_uuid, m_new_ver_oid, m_object_path, m_message);
}

void OstrelAgent_Checkin::fetch_in_background(const view_vstat& resolved) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "fetch_in_background");
    if ((m_status = get_view()) != 0) return;
    qel_oid_s version = resolved.obj_oid;
    if (!is_version(resolved.mtype)) {
        // The path named the checked-out file, a view-private object over
        // the element's name, whose oid no server knows: the version to
        // fetch is the one the name shows now that the file is gone.
        OstrelAgent_Metadata shown(m_path, m_path, false);
        view_vstat now{};
        if (shown.run() != 0 || shown.get_vstat(&now) != 0 || !is_version(now.mtype)) {
            trace.writeTrace(LEVEL_4, "no version shown at %s: nothing to fetch", m_path.c_str());
            return;
        }
        version = now.obj_oid;
    }
    trace.writeTrace(LEVEL_4, "background cleartext of %s", OstrelAgent_Util::id_text(version).c_str());
    OstrelAgent_Element_Content::fetch_in_background(*m_view, m_object_vob_uuid, version);
}

std::string OstrelAgent_Checkin::get_response() {
    return common_reply(OstrelAgent_Tag::CHECKIN, OstrelAgent_Trace::TRACE_LEVEL_4);
}
