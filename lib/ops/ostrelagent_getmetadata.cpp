#include "lib/ops/ostrelagent_getmetadata.h"

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ns_rpc.h"
#include "xml/norvane_xml_doc.h"
#include "xml/norvane_xml_elem.h"

namespace {

const char* const kClass = "OstrelAgent_Getmetadata";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
namespace Msg = OstrelAgent_Lib_Msg;
namespace Status = OstrelAgent_Status;
using Tag = OstrelAgent_Tag;

struct Trace : OstrelAgent_Trace {
    explicit Trace(const char* method) : OstrelAgent_Trace(OstrelAgent_Trace::OSTRELAGENT, kClass, method) {}
};

const std::string& flag_text(bool flag) { return flag ? Tag::TRUE_STRING : Tag::FALSE_STRING; }

// `dir` and `leaf` joined by exactly one "/": a walk that stopped short
// leaves its canonical path ending in the separator it had passed.
std::string joined(std::string dir, const std::string& leaf) {
    while (!dir.empty() && dir.back() == '/') dir.pop_back();
    return dir + "/" + leaf;
}

} // namespace

OstrelAgent_Getmetadata::OstrelAgent_Getmetadata(const std::string& request_text,
                                                 NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {
    m_supported_version = "1";
}

OstrelAgent_Getmetadata::~OstrelAgent_Getmetadata() = default;

std::string OstrelAgent_Getmetadata::time_text(const qel_fstat_time_s& time) {
    return OstrelAgent_Util::snprintf("%ld%03d", static_cast<long>(time.tv_sec),
                                      static_cast<int>(time.tv_usec / 1000));
}

void OstrelAgent_Getmetadata::parse_request() {
    Trace trace("parse_request");
    NorvaneXmlElem* root = parse_frame(Path_Rule::REQUIRED);
    if (root == nullptr || !root->has_attr(ATTR_FOLLOW)) return;
    m_follow = root->get_attr(ATTR_FOLLOW) == Tag::TRUE_STRING;
    trace.writeTrace(LEVEL_4, "%s", m_follow ? "following" : "not following");
}

void OstrelAgent_Getmetadata::process_request() {
    Trace trace("process_request");
    m_status = 0;
    parse_request();
    if (m_status != 0) return;
    m_status = get_view();
    if (m_status != 0) return;
    if (m_view->is_view_root(m_path)) {
        m_view_root = true;
        return;
    }
    std::string stripped = m_view->strip_view_root(m_path);
    trace.writeTrace(LEVEL_4, "stripped path %s", stripped.c_str());
    OstrelAgent_Util::globalize_path(stripped);

    OstrelAgent_Metadata first(stripped, m_path, m_follow);
    const int walked = first.run();
    if (walked == 0) {
        first.get_ostrel_vstat(&m_obj_status);
        m_vob_tag = first.get_vob_tag();
        m_vob_root = first.is_vob_root();
        m_hijacked = first.is_hijacked();
        m_eclipsed = first.is_white_out();
        m_checked_out = m_obj_status.checked_out != 0;
        m_canonical_path = first.get_vob_tag() + first.get_canonical_path();
        if (m_checked_out) m_co_ver_oid = first.get_co_oid();
        m_version_controlled = first.is_version_controlled();
        return;
    }
    // A single name the namespace does not show may still be listed by its
    // directory version.
    if ((walked == Status::NOT_FOUND || first.get_ns_status() == QEL_ST_NO_ENTRY) && !first.is_incomplete()) {
        m_path = stripped;
        hidden_name(first);
        return;
    }
    m_status = walked;
    m_message += first.get_message();
}

void OstrelAgent_Getmetadata::hidden_name(const OstrelAgent_Metadata& first) {
    Trace trace("hidden_name");
    m_status = divide_path();
    if (m_status != 0) return;
    OstrelAgent_Metadata second(m_parent_dir, m_path, true);
    m_status = second.run();
    if (m_status == 0) m_status = get_parent_metadata();
    if (m_status == 0) m_status = get_obj_metadata_db(&m_obj_status);
    if (m_status == 0 && qel_oid_eq(&m_obj_status.vstat.elem_oid, &QEL_OID_NULL)) m_status = Status::NOT_FOUND;
    if (m_status != 0) {
        m_message += first.get_message();
        m_message += second.get_message();
        return;
    }
    m_vob_tag = second.get_vob_tag();
    m_vob_root = false;
    m_version_controlled = true;
    m_checked_out = m_obj_status.checked_out != 0;
    m_canonical_path = joined(first.get_vob_tag() + first.get_canonical_path(), m_leaf);
    trace.writeTrace(LEVEL_4, "hidden name %s, checked out %d", m_canonical_path.c_str(), m_checked_out ? 1 : 0);
    if (m_checked_out) return;
    view_fhandle dir = second.get_obj_fhandle();
    bool white_out = false;
    const int looked = ns_lookup_white_out(&dir, m_leaf.c_str(), &white_out);
    if (looked != 0) {
        m_message += Msg::text(Msg::HIDDEN_METADATA_FAILED, m_path.c_str(), qel_strerror(looked));
        m_status = OstrelAgent_Util::qel_to_ostrel_status(looked);
        return;
    }
    m_hijacked = white_out;
    m_eclipsed = !white_out;
}

std::string OstrelAgent_Getmetadata::get_response() {
    return common_reply(Tag::GETMETADATA, LEVEL_2, [this](NorvaneXmlDoc& doc) {
        if (m_view_root)
            add_view_elements(doc);
        else if (m_status == 0)
            add_object_elements(doc);
    });
}

void OstrelAgent_Getmetadata::add_view_elements(NorvaneXmlDoc& doc) {
    Trace trace("get_response");
    trace.writeTrace(LEVEL_4, "Adding %s", Tag::RESOURCE_TYPE.c_str());
    doc.add_elem(Tag::RESOURCE_TYPE, VIEW_RESOURCE);
    trace.writeTrace(LEVEL_4, "Adding %s", Tag::IS_TESSEL.c_str());
    doc.add_elem(Tag::IS_TESSEL, flag_text(m_view->get_view_type() == TESSEL_VIEW_TYPE));
    trace.writeTrace(LEVEL_4, "Adding view uuid %s", m_view->get_view_uuid_str().c_str());
    doc.add_elem(OstrelAgent_View_Base::VIEW_UUID_KEY, m_view->get_view_uuid_str());
    trace.writeTrace(LEVEL_4, "Adding %s", Tag::CLTXT_CACHE.c_str());
    doc.add_elem(Tag::CLTXT_CACHE, m_view->get_cltxt_cache_dir());
    trace.writeTrace(LEVEL_4, "Adding %s", OstrelAgent_View_Base::VIEW_PTIME_KEY);
    doc.add_elem(OstrelAgent_View_Base::VIEW_PTIME_KEY, flag_text(m_view->get_preserve_vob_mtime() != 0));
}

void OstrelAgent_Getmetadata::add_object_elements(NorvaneXmlDoc& doc) {
    const qel_fstat_db_s& fstat = m_obj_status.vstat.fstat;
    const bool co_known = !qel_oid_eq(&m_co_ver_oid, &QEL_OID_NULL);
    doc.add_elem(Tag::IS_VERSION_CONTROLLED, flag_text(m_version_controlled));
    doc.add_elem(Tag::IS_CHECKED_OUT, flag_text(m_checked_out));
    doc.add_elem(Tag::IS_HIJACKED, flag_text(m_hijacked));
    doc.add_elem(Tag::IS_ECLIPSED, flag_text(m_eclipsed));
    doc.add_elem(Tag::LAST_MODIFIED_TIME, time_text(fstat.mtime));
    doc.add_elem(Tag::ACCESS_TIME, time_text(fstat.atime));
    doc.add_elem(Tag::CREATION_TIME, time_text(fstat.ctime));
    doc.add_elem(Tag::ELEMENT_OID, OstrelAgent_Util::id_text(m_obj_status.vstat.elem_oid));
    doc.add_elem(Tag::OBJECT_OID, OstrelAgent_Util::id_text(co_known ? m_co_ver_oid : m_obj_status.vstat.obj_oid));
    doc.add_elem(Tag::IS_DIRECTORY, flag_text(fstat.type == QEL_FTYPE_DIR));
    doc.add_elem(Tag::IS_SYMLINK, flag_text(fstat.type == QEL_FTYPE_LNK));
    if (fstat.type == QEL_FTYPE_LNK) doc.add_elem(Tag::SYMLINK_TARGET, m_obj_status.link_text);
    doc.add_elem(Tag::SIZE, OstrelAgent_Util::snprintf("%lld", static_cast<long long>(uint64_t{fstat.size})));
    doc.add_elem(Tag::VOB_TAG, m_vob_tag);
    doc.add_elem(Tag::IS_VOB_ROOT, flag_text(m_vob_root));
    if (!m_canonical_path.empty()) doc.add_elem(Tag::CANONICAL_PATH, m_canonical_path);
}
