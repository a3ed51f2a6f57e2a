#include "lib/ops/ostrelagent_invalidate_checkouts.h"

#include <string>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ns/ostrelagent_view_db_element.h"
#include "lib/ns/ostrelagent_view_db_version.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

const char* const kClass = "OstrelAgent_InvalidateCheckouts";
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
namespace Msg = OstrelAgent_Lib_Msg;

// The kernel's operation code for a cancelled checkout.
constexpr vob_op_t OP_UNCHECKOUT = 27;

} // namespace

OstrelAgent_InvalidateCheckouts::OstrelAgent_InvalidateCheckouts(const std::string& request_text,
                                                                 NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {
    m_supported_version = "1";
}

OstrelAgent_InvalidateCheckouts::~OstrelAgent_InvalidateCheckouts() = default;

void OstrelAgent_InvalidateCheckouts::parse_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_request");
    NorvaneXmlElem* root = parse_frame(Path_Rule::ABSENT);
    if (root == nullptr) return;
    std::vector<std::string> items;
    parse_sub_list(root, TAG_INVALID_CHECKOUTS, TAG_ELEMENT, items, false, true);
    if (m_status != 0) return;
    if (items.empty()) {
        trace.writeTrace(LEVEL_4, "Empty element list");
        refuse_malformed();
        return;
    }
    std::vector<elem_ent> entries;
    for (const std::string& item : items) {
        // The oid's text has no "@": whatever follows the first one is the
        // uuid's text, a second "@" included.
        const size_t at = item.find('@');
        elem_ent entry{};
        if (at == std::string::npos || qel_str_to_oid(item.substr(0, at).c_str(), &entry.elem_oid) != 0 ||
            qel_str_to_uuid(item.substr(at + 1).c_str(), &entry.replica_uuid) != 0) {
            trace.writeTrace(LEVEL_4, "Invalid element string %s", item.c_str());
            refuse_malformed();
            return;
        }
        entries.push_back(entry);
    }
    m_entries = std::move(entries);
}

void OstrelAgent_InvalidateCheckouts::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    if (m_status != 0) return;
    if ((m_status = get_ioctl()) != 0) return;
    for (const elem_ent& entry : m_entries) {
        const int status = invalidate(entry);
        if (status != 0) m_status = status;
    }
}

int OstrelAgent_InvalidateCheckouts::invalidate(const elem_ent& entry) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "invalidate");
    OstrelAgent_View_db_element element(0, entry.replica_uuid);
    unsigned dbid = 0;
    ostrel_vstat record{};
    // An element the view does not hold has no checkout to clear.
    if (element.get_info(entry.elem_oid, dbid, record) != 0) return 0;
    const int status = element.set_co_ver_oid(QEL_OID_NULL);
    if (status != 0) {
        m_message += Msg::text(Msg::CHECKOUT_NOT_CLEARED, OstrelAgent_Util::id_text(entry.elem_oid).c_str(),
                               OstrelAgent_Util::id_text(entry.replica_uuid).c_str());
        return status;
    }
    OstrelAgent_Metadata::view_inval_obj(ioctl(), entry.replica_uuid, entry.elem_oid, OP_UNCHECKOUT, true, true,
                                         false);
    drop_name(entry, element.vob_dbid());
    return 0;
}

void OstrelAgent_InvalidateCheckouts::drop_name(const elem_ent& entry, unsigned vob_dbid) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "drop_name");
    OstrelAgent_View_db_element element(0, entry.replica_uuid, vob_dbid);
    unsigned elem_dbid = 0, ver_dbid = 0, parent = 0;
    ostrel_vstat record{};
    if (element.get_info(entry.elem_oid, elem_dbid, record) != 0 || element.get_any_version(ver_dbid, record) != 0)
        return;
    // A VOB root has no name of its own.
    qel_oid_s dir_oid{};
    if (ostrel_db_get_parent_dir(vob_dbid, ver_dbid, &parent) != 0 || parent == 0 ||
        !OstrelAgent_View_db::obj_dbid_to_oid(parent, entry.replica_uuid, dir_oid))
        return;
    OstrelAgent_View_db_version version(ver_dbid, entry.replica_uuid, vob_dbid);
    char name[OSTREL_DB_NAME_MAX + 1] = "";
    ostrel_vstat ver{}, elem{};
    if (version.get_info(ver_dbid, sizeof name, elem_dbid, name, ver, elem) != 0 || name[0] == '\0') return;
    trace.writeTrace(LEVEL_4, "dropping name %s of %s", name, OstrelAgent_Util::id_text(entry.elem_oid).c_str());
    OstrelAgent_Metadata::view_inval_name(ioctl(), entry.replica_uuid, dir_oid, name, true, false, false);
}

std::string OstrelAgent_InvalidateCheckouts::get_response() {
    return common_reply(OstrelAgent_Tag::INVALIDATECHECKOUTS, OstrelAgent_Trace::TRACE_LEVEL_4);
}
