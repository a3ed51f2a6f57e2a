#include "lib/client/rclient_get_vobinfo.h"

#include "lib/client/rclient_msg.h"
#include "lib/client/rclient_parse_exception.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"

namespace {

const char* const kClass = "Get_VOBInfo";

const char* const RPC_ID = "Ostrel_Norvane::getvobinfo_rpc";
const char* const ARG_VOB_TAG = "VobTag";
const char* const VOBINFO_CONTENT_ID = "VobInfo";
const char* const RESP_PART_ITEM_VOB_FAMILY_UUID = "VobFamilyUuid";
const char* const RESP_PART_ITEM_VOB_REPLICA_UUID = "VobReplicaUuid";
const char* const RESP_PART_ITEM_VOB_STORAGE = "VobStorage";
const char* const RESP_PART_ITEM_VOB_IS_PUBLIC = "IsPublic";
const char* const RESP_PART_ITEM_VOB_IS_PROJECT = "IsProject";

std::string client_text(int index, const std::string& value) {
    return OstrelAgent_Util::format(&_rclient_client_lib_msg_table, index, value.c_str());
}

} // namespace

Get_VOBInfo::Get_VOBInfo(const std::string& vob_tag) : RClient_Abstract_Cmd(RPC_ID, true), m_vob_tag(vob_tag) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "ctor");
}

int Get_VOBInfo::marshal_request(RClient_Request_Args* /*args*/) {
    marshal_arg(ARG_VOB_TAG, m_vob_tag.c_str());
    return 0;
}

void Get_VOBInfo::unmarshal_vobinfo() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "unmarshal_vobinfo");
    RClient_Multi_Part_Mixed_Doc* doc = parser();
    const std::string family = doc->get_part_item(RESP_PART_ITEM_VOB_FAMILY_UUID);
    const std::string replica = doc->get_part_item(RESP_PART_ITEM_VOB_REPLICA_UUID);
    m_storage = doc->get_part_item(RESP_PART_ITEM_VOB_STORAGE);
    m_is_public = doc->get_part_item(RESP_PART_ITEM_VOB_IS_PUBLIC) == "1" ? 1 : 0;
    m_is_project = doc->get_part_item(RESP_PART_ITEM_VOB_IS_PROJECT) == "1" ? 1 : 0;

    const auto malformed = [this](int index, const std::string& value) {
        m_status.message = client_text(index, value);
        throw RClient_Malformed_Response_Exception();
    };
    if (family.empty()) malformed(RClient_Msg::VOB_FAMILY_NOT_FOUND, m_vob_tag);
    if (qel_str_to_oid(family.c_str(), &m_family_id) != 0) malformed(RClient_Msg::INVALID_VOB_OID, family);
    if (replica.empty()) malformed(RClient_Msg::VOB_REPLICA_NOT_FOUND, m_vob_tag);
    qel_oid_s replica_oid = QEL_OID_NULL;
    if (qel_str_to_oid(replica.c_str(), &replica_oid) != 0) malformed(RClient_Msg::INVALID_VOB_OID, replica);
    qel_oid_to_uuid(&replica_oid, &m_replica_id);
    if (m_storage.empty()) malformed(RClient_Msg::VOB_STORAGE_NOT_FOUND, m_vob_tag);
    m_answered = true;
}

int Get_VOBInfo::unmarshal_response() {
    int result = read_parts([this](const std::string& id) {
        if (id != VOBINFO_CONTENT_ID) return 0;
        try {
            unmarshal_vobinfo();
        } catch (const RClient_Parse_Exception& e) {
            OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "unmarshal_response");
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Exception %d", e.get_code());
            return e.get_code();
        }
        return 0;
    });
    // A server that says 0 owes the answer.
    if (result == 0 && transfer_finished() && !m_answered && m_status.status == 0) {
        m_status.message = client_text(RClient_Msg::VOB_FAMILY_NOT_FOUND, m_vob_tag);
        result = keep_failure(OstrelAgent_Status::RC_BAD_REPLY_ITEM);
    }
    return result;
}
