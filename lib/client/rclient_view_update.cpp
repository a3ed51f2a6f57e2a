#include "lib/client/rclient_view_update.h"

#include <cstring>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "platform/utl/strutl.h"

namespace {

namespace S = OstrelAgent_Status;
const char* const kClass = "View_Update";
const char* const RPC_ID = "Ostrel_Norvane::syncfetch_rpc";

// Arguments.
const char* const VIEW_UUID = "ViewUuid";
const char* const VIEW_GN = "ViewGn";
const char* const FORCE = "Force";
const char* const RESUME = "Resume";
const char* const UPDATE_ONDEMAND_SCOPES = "UpdateOndemandScopes";
const char* const USE_PATHS = "UsePaths";
const char* const NUM_SCOPES = "NumScopes";
const char* const SCOPE_PATH = "ScopePath";
const char* const SCOPE_OID = "ScopeOid";
const char* const SCOPE_GN = "ScopeGn";

// Reply parts and their items.
const char* const SYNC_FETCH_BEGIN = "SyncFetchBegin";
const char* const SYNC_FETCH_END = "SyncFetchEnd";
const char* const SCOPE_FETCH_BEGIN = "ScopeFetchBegin";
const char* const SCOPE_FETCH_END = "ScopeFetchEnd";
const char* const VOB_FETCH_BEGIN = "VobFetchBegin";
const char* const VOB_FETCH_END = "VobFetchEnd";
const char* const SYNC_ELEM_INFO = "SyncElemInfo";
const char* const OPERATION_GN = "OperationGn";
const char* const REPLICA_UUID = "ReplicaUuid";
const char* const FAMILY_OID = "FamilyOid";

} // namespace

View_Update::View_Update(qel_uuid_s view, unsigned int view_gn, int force, int update_ondemand_scopes,
                         int resume, const std::vector<ostrel_scope>& scopes, RClient_Update_Listener* listener)
    : Metadata_Reply_Base(RPC_ID),
      m_view(view),
      m_view_gn(view_gn),
      m_force(force),
      m_update_ondemand_scopes(update_ondemand_scopes),
      m_resume(resume),
      m_use_paths(0),
      m_scopes(scopes),
      m_listener(listener) {
    std::memset(&m_elem_info, 0, sizeof m_elem_info);
}

View_Update::View_Update(qel_uuid_s view, unsigned int view_gn, const std::vector<std::string>& paths,
                         RClient_Update_Listener* listener)
    : View_Update(view, view_gn, 0, 0, 0, std::vector<ostrel_scope>(), listener) {
    m_use_paths = 1;
    m_paths = paths;
}

int View_Update::marshal_request(RClient_Request_Args* /*args*/) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "marshal_request");
    if (refuse_null_view(m_view)) return S::RC_MARSHAL_FAILED;
    marshal_arg(VIEW_UUID, m_view);
    marshal_arg(VIEW_GN, m_view_gn);
    marshal_arg(FORCE, m_force);
    marshal_arg(RESUME, m_resume);
    marshal_arg(UPDATE_ONDEMAND_SCOPES, m_update_ondemand_scopes);
    marshal_arg(USE_PATHS, m_use_paths);
    if (m_use_paths) {
        marshal_arg(NUM_SCOPES, static_cast<unsigned int>(m_paths.size()));
        for (const std::string& path : m_paths) marshal_arg(SCOPE_PATH, path.c_str());
    } else {
        marshal_arg(NUM_SCOPES, static_cast<unsigned int>(m_scopes.size()));
        for (const ostrel_scope& scope : m_scopes) {
            marshal_arg(SCOPE_PATH, scope.pname);
            marshal_arg(SCOPE_OID, scope.scope_oid);
            marshal_arg(SCOPE_GN, static_cast<unsigned int>(scope.gn));
        }
    }
    return 0;
}

template <typename Call>
void View_Update::notify(Call call) {
    if (m_listener != nullptr && m_keep_listening) m_keep_listening = call(*m_listener);
}

int View_Update::unmarshal_response() {
    if (m_listener_stopped) return S::RC_LISTENER_STOPPED;
    // However the reading ends, the listener hears that the parts at hand
    // are all passed on before the transfer waits again.
    struct Input_Done {
        RClient_Update_Listener* listener;
        ~Input_Done() {
            if (listener != nullptr) listener->end_of_input();
        }
    } input_done{m_listener};
    auto listener_stopped = [this](const RClient_Listener_Exception& e) {
        OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "unmarshal_response");
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Listener exception %d", e.get_code());
        m_listener_stopped = true;
        m_keep_listening = false;
    };
    int result = read_parts([&](const std::string& id) {
        try {
            return read_part(id);
        } catch (const RClient_Listener_Exception& e) {
            listener_stopped(e);
            throw; // ends the reading
        }
    });
    if (m_listener != nullptr && !m_listener_stopped && transfer_finished()) {
        try {
            m_listener->end_of_stream();
        } catch (const RClient_Listener_Exception& e) {
            listener_stopped(e);
        }
    }
    return m_listener_stopped ? S::RC_LISTENER_STOPPED : result;
}

int View_Update::read_part(const std::string& id) {
    m_content_id = id;
    if (id == Metadata_Ns::OBJ_METADATA || id == Metadata_Ns::ELEM_METADATA) return read_metadata(id);
    // An element's metadata is complete once any other part follows it.
    if (m_metadata_pending) {
        m_metadata_pending = 0;
        loaded_version_step();
    }
    if (id == SYNC_FETCH_BEGIN) return begin_operation_step();
    if (id == SYNC_FETCH_END) {
        notify([](RClient_Update_Listener& l) { return l.end_operation(); });
    } else if (id == SCOPE_FETCH_BEGIN) {
        return begin_scope_step();
    } else if (id == SCOPE_FETCH_END) {
        notify([](RClient_Update_Listener& l) { return l.end_scope(); });
    } else if (id == VOB_FETCH_BEGIN) {
        return begin_vob_step();
    } else if (id == VOB_FETCH_END) {
        notify([](RClient_Update_Listener& l) { return l.end_vob(); });
    } else if (id == SYNC_ELEM_INFO) {
        return element_step();
    }
    return 0;
}

int View_Update::begin_operation_step() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "begin_operation");
    const std::string text = parser()->get_part_item(OPERATION_GN);
    long gn = 0;
    if (text.empty()) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Operation GN empty!");
        return S::RC_BAD_REPLY_ITEM;
    }
    if (strutl_strtol(text.c_str(), 10, &gn) != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Operation GN invalid!");
        return S::RC_BAD_REPLY_ITEM;
    }
    notify([gn](RClient_Update_Listener& l) { return l.begin_operation(static_cast<unsigned int>(gn)); });
    return 0;
}

int View_Update::begin_scope_step() {
    std::memset(&m_obj_scope, 0, sizeof m_obj_scope);
    int status = decode_part_body(
        [this](unsigned int len, const char* data) { return decode_scope(m_obj_scope, len, data); });
    if (status != 0) return status;
    notify([this](RClient_Update_Listener& l) { return l.begin_scope(m_obj_scope); });
    return 0;
}

int View_Update::begin_vob_step() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "begin_vob");
    const std::string replica_text = parser()->get_part_item(REPLICA_UUID);
    qel_uuid_s replica = QEL_UUID_NULL;
    if (replica_text.empty()) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "VOB replica uuid empty!");
        return S::RC_BAD_REPLY_ITEM;
    }
    if (qel_str_to_uuid(replica_text.c_str(), &replica) != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Invalid replica uuid");
        return S::RC_BAD_REPLY_ITEM;
    }
    const std::string family_text = parser()->get_part_item(FAMILY_OID);
    qel_oid_s family = QEL_OID_NULL;
    if (family_text.empty()) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "VOB family oid empty!");
        return S::RC_BAD_REPLY_ITEM;
    }
    if (qel_str_to_oid(family_text.c_str(), &family) != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Invalid family oid");
        return S::RC_BAD_REPLY_ITEM;
    }
    notify([&](RClient_Update_Listener& l) { return l.begin_vob(replica, family); });
    return 0;
}

int View_Update::element_step() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "element");
    // Nothing of the element before survives, whatever this part holds.
    m_have_element = false;
    m_element_damaged = false;
    m_metadata_pending = 0;
    clear_metadata();
    std::memset(&m_elem_info, 0, sizeof m_elem_info);
    int status = decode_part_body([&](unsigned int len, const char* data) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Len = %d", static_cast<int>(len));
        return ostrel_synceleminfo_decode(len, data, &m_elem_info);
    });
    if (status != 0) {
        std::memset(&m_elem_info, 0, sizeof m_elem_info);
        return status;
    }
    for (char* c = m_elem_info.obj_pname; *c != '\0'; ++c) {
        if (*c == '\\') *c = '/';
    }
    m_have_element = true;
    if (m_elem_info.cur_version[0] == '\0') {
        notify([this](RClient_Update_Listener& l) {
            return l.unload_object(m_elem_info.replica_uuid, m_elem_info.parent_oid, m_elem_info.obj_pname,
                                   m_elem_info.obj_oid);
        });
    }
    return 0;
}

int View_Update::read_metadata(const std::string& id) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "read_metadata");
    int status = parse_any_metadata(id);
    if (status != 0) {
        m_element_damaged = true;
        return status;
    }
    if (!m_have_element) {
        // Metadata of no element: nothing could tell what it belongs to.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "%s without element information", id.c_str());
        return S::RC_MALFORMED_REPLY;
    }
    m_metadata_pending = 1;
    return 0;
}

void View_Update::loaded_version_step() {
    if (!m_have_element || m_element_damaged) return;
    notify([this](RClient_Update_Listener& l) {
        return l.update_object(m_elem_info.replica_uuid, m_elem_info.parent_oid, m_elem_info.obj_pname,
                               m_elem_info.prev_version, m_elem_info.cur_version, m_obj_metadata,
                               m_elem_metadata);
    });
}
