#include "lib/client/rclient_lookup.h"

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"

namespace {
const char* const kClass = "Lookup";
const char* const RPC_ID = "Ostrel_Norvane::lookup_rpc";
const char* const LEAF_NAME = "LeafName";
} // namespace

Lookup::Lookup(const qel_uuid_s& view, const qel_uuid_s& vob, const qel_oid_s& version,
               const qel_oid_s& element, const std::string& leaf)
    : Metadata_Reply_Base(RPC_ID), m_object{view, vob, version, element, leaf} {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "ctor");
    if (trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4)) {
        char oid[QEL_OID_STR_SIZE];
        trace.writeTrace("Looking up '%s' in directory %s", m_object.name.c_str(),
                         qel_oid_to_str(&m_object.version, oid));
    }
}

int Lookup::marshal_request(RClient_Request_Args* /*args*/) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "marshal_request");
    if (refuse_null_view(m_object.view)) return OstrelAgent_Status::RC_MARSHAL_FAILED;
    marshal_object(m_object, LEAF_NAME);
    return 0;
}
