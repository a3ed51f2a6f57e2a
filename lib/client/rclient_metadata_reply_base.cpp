#include "lib/client/rclient_metadata_reply_base.h"

#include <cstring>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"

namespace Metadata_Ns {
const char* const OBJ_SCOPE = "Xdr_ObjScope";
const char* const OBJ_METADATA = "Xdr_ObjMetadata";
const char* const ELEM_METADATA = "Xdr_ElemMetadata";
} // namespace Metadata_Ns

namespace {

const char* const kClass = "Metadata_Reply_Base";

// Argument names.
const char* const VIEW_UUID = "ViewUuid";
const char* const VOB_UUID = "VobUuid";
const char* const VER_OID = "VersionOid";
const char* const ELEM_OID = "ElementOid";

void trace_vstat(const OstrelAgent_Trace& trace, const char* which, int status, const ostrel_vstat& v) {
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "%s status %d mtype %d co %d mode %o nlink %u",
                     which, status, static_cast<int>(v.vstat.mtype), static_cast<int>(v.checked_out),
                     static_cast<unsigned>(v.vstat.fstat.mode), v.vstat.fstat.nlink);
}

} // namespace

Metadata_Reply_Base::Metadata_Reply_Base(const std::string& rpc_name)
    : RClient_Abstract_Cmd(rpc_name, true) {
    clear_metadata();
    std::memset(&m_obj_scope, 0, sizeof m_obj_scope);
}

void Metadata_Reply_Base::clear_metadata() {
    std::memset(&m_obj_metadata, 0, sizeof m_obj_metadata);
    std::memset(&m_elem_metadata, 0, sizeof m_elem_metadata);
}

void Metadata_Reply_Base::marshal_object(const RClient_Object_Ref& object, const char* name_arg) {
    if (!qel_uuid_eq(&object.view, &QEL_UUID_NULL)) marshal_arg(VIEW_UUID, object.view);
    if (!qel_uuid_eq(&object.vob, &QEL_UUID_NULL)) marshal_arg(VOB_UUID, object.vob);
    if (!qel_oid_eq(&object.version, &QEL_OID_NULL)) marshal_arg(VER_OID, object.version);
    if (!qel_oid_eq(&object.element, &QEL_OID_NULL)) marshal_arg(ELEM_OID, object.element);
    if (!object.name.empty()) marshal_arg(name_arg, object.name.c_str());
}

int Metadata_Reply_Base::decode_scope(ostrel_scope& scope, unsigned int len, const char* data) {
    return ostrel_scope_decode(len, data, &scope);
}

int Metadata_Reply_Base::decode_vstat(ostrel_vstat& vstat, unsigned int len, const char* data) {
    return ostrel_vstat_decode(len, data, &vstat);
}

int Metadata_Reply_Base::parse_any_metadata(const std::string& part_id) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "parse_any_metadata");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "parsing partid '%s'", part_id.c_str());
    if (part_id == Metadata_Ns::OBJ_SCOPE) {
        int status = decode_part_body([this](unsigned int len, const char* data) {
            return decode_scope(m_obj_scope, len, data);
        });
        if (trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4)) {
            char oid[QEL_OID_STR_SIZE];
            trace.writeTrace("scope status %d GN %u OID %s", status, m_obj_scope.gn,
                             qel_oid_to_str(&m_obj_scope.scope_oid, oid));
        }
        return status;
    }
    if (part_id == Metadata_Ns::OBJ_METADATA || part_id == Metadata_Ns::ELEM_METADATA) {
        const bool object = part_id == Metadata_Ns::OBJ_METADATA;
        ostrel_vstat& record = object ? m_obj_metadata : m_elem_metadata;
        int status = decode_part_body(
            [&record](unsigned int len, const char* data) { return decode_vstat(record, len, data); });
        trace_vstat(trace, object ? "obj" : "elem", status, record);
        return status;
    }
    return 0;
}

int Metadata_Reply_Base::unmarshal_response() {
    return read_parts([this](const std::string& id) { return parse_any_metadata(id); });
}

int Metadata_Reply_Base::refusal() const {
    if (m_status.status != 0 && m_status.status != -1) return m_status.status;
    return reply_failure();
}

int Metadata_Reply_Base::get_obj_ostrel_vstat(ostrel_vstat& out) {
    int status = refusal();
    if (status != 0) std::memset(&out, 0, sizeof out);
    else out = m_obj_metadata;
    return status;
}

int Metadata_Reply_Base::get_elem_ostrel_vstat(ostrel_vstat& out) {
    int status = refusal();
    if (status != 0) std::memset(&out, 0, sizeof out);
    else out = m_elem_metadata;
    return status;
}

int Metadata_Reply_Base::get_obj_scope_info(qel_oid_s& scope_oid, unsigned int& scope_gn) {
    int status = refusal();
    scope_oid = status != 0 ? QEL_OID_NULL : m_obj_scope.scope_oid;
    scope_gn = status != 0 ? 0 : m_obj_scope.gn;
    return status;
}
