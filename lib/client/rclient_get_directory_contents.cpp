#include "lib/client/rclient_get_directory_contents.h"

#include <cstring>

#include "lib/client/rclient_base.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"

namespace {
const char* const kClass = "Get_Directory_Contents";
const char* const RPC_ID = "Ostrel_Norvane::get_directory_contents_rpc";
const char* const VIEW_RELATIVE_PATH = "PathName";
const char* const DIRENT = "XdrDirectoryEntry";
} // namespace

Get_Directory_Contents::Get_Directory_Contents(const qel_uuid_s& view, const qel_uuid_s& vob,
                                               const qel_oid_s& version_oid,
                                               const qel_oid_s& element_oid,
                                               Get_Directory_Contents_Listener& listener)
    : Metadata_Reply_Base(RPC_ID),
      m_object{view, vob, version_oid, element_oid, ""},
      m_listener(listener) {
    std::memset(&m_pending, 0, sizeof m_pending);
}

Get_Directory_Contents::Get_Directory_Contents(const qel_uuid_s& view, const char* path,
                                               Get_Directory_Contents_Listener& listener)
    : Get_Directory_Contents(view, QEL_UUID_NULL, QEL_OID_NULL, QEL_OID_NULL, listener) {
    m_object.name = path != nullptr ? path : "";
}

int Get_Directory_Contents::marshal_request(RClient_Request_Args* /*args*/) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "marshal_request");
    marshal_object(m_object, VIEW_RELATIVE_PATH);
    return 0;
}

int Get_Directory_Contents::decode_dirent(unsigned int length, const char* data) {
    std::memset(&m_pending, 0, sizeof m_pending);
    return ostrel_dirent_decode(length, data, &m_pending);
}

void Get_Directory_Contents::hand_over() {
    ostrel_extended_dirent entry;
    entry.dirent = m_pending;
    entry.scope_oid = m_obj_scope.scope_oid;
    entry.scope_gn = m_obj_scope.gn;
    entry.obj_vstat = m_obj_metadata;
    entry.elem_vstat = m_elem_metadata;
    m_metadata_pending = 0;
    m_listener.process_dirent(&entry);
}

int Get_Directory_Contents::read_part(const std::string& id) {
    m_content_id = id;
    if (id == DIRENT) {
        if (m_metadata_pending) hand_over();
        // The new entry starts without metadata; the scope carries over.
        clear_metadata();
        int status = decode_part_body(
            [this](unsigned int length, const char* data) { return decode_dirent(length, data); });
        if (status == 0) m_metadata_pending = 1;
        return status;
    }
    int status = parse_any_metadata(id);
    if (status != 0) {
        // An entry whose metadata did not decode is not handed on.
        if (status != OstrelAgent_Status::RC_PREMATURE_EOF) m_metadata_pending = 0;
        return status;
    }
    if (id == RClient_Base::CONTENT_ID_STATUS && m_metadata_pending) hand_over();
    return 0;
}

int Get_Directory_Contents::unmarshal_response() {
    return read_parts([this](const std::string& id) { return read_part(id); });
}
