#include "lib/client/rclient_get_metadata.h"

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"

namespace {
const char* const kClass = "Get_Metadata";
const char* const RPC_ID = "Ostrel_Norvane::getmetadata_rpc";
const char* const VIEW_RELATIVE_PATH = "PathName";
} // namespace

Get_Metadata::Get_Metadata(const qel_uuid_s& view, const qel_uuid_s& vob, const qel_oid_s& version_oid,
                           const qel_oid_s& element_oid)
    : Metadata_Reply_Base(RPC_ID), m_object{view, vob, version_oid, element_oid, ""} {}

Get_Metadata::Get_Metadata(const qel_uuid_s& view, const std::string& path)
    : Metadata_Reply_Base(RPC_ID), m_object{view, QEL_UUID_NULL, QEL_OID_NULL, QEL_OID_NULL, path} {}

int Get_Metadata::marshal_request(RClient_Request_Args* /*args*/) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "marshal_request");
    if (refuse_null_view(m_object.view)) return OstrelAgent_Status::RC_MARSHAL_FAILED;
    marshal_object(m_object, VIEW_RELATIVE_PATH);
    return 0;
}
