#pragma once
// The view update: one call of the server's sync fetch, whose long reply
// describes the whole update as a stream of parts. Each part goes to the
// update listener as one call while the reply is still arriving:
//
//   "SyncFetchBegin" (item OperationGn)         begin_operation
//   "ScopeFetchBegin" (a scope record)          begin_scope
//   "VobFetchBegin" (ReplicaUuid, FamilyOid)    begin_vob
//   "SyncElemInfo" (element information), then, for a loaded version,
//   "Xdr_ObjMetadata" and "Xdr_ElemMetadata"    update_object, once the next
//                                               part after them arrives
//   "SyncElemInfo" with no current version      unload_object, at once
//   "ScopeFetchEnd", "VobFetchEnd",
//   "SyncFetchEnd"                              end_scope, end_vob,
//                                               end_operation
//   "Status"                                    the command's status
//
// Begin and end parts are passed on as they come, unchecked for order. A
// part that is damaged (a missing or bad item, a record that does not
// decode, metadata without its element information) makes no listener call
// and fails the call, though the rest of the stream is still read and
// passed on; an object with damaged metadata is not passed on.
//
// The listener hears end_of_input after each piece of the reply that the
// transfer hands over has been read (and passed on) as far as it goes, and
// end_of_stream when the last read after the transfer has passed on all.
//
// The listener (not owned) may be null: the stream is then read and checked
// only. Once it answers false it gets no further call; an
// RClient_Listener_Exception it throws ends the transfer, and the call
// status is 30013.

#include <string>
#include <vector>

#include "lib/client/rclient_metadata_reply_base.h"
#include "lib/client/rclient_update_listener.h"

class View_Update : public Metadata_Reply_Base {
public:
    // The update of the view's load scopes.
    View_Update(qel_uuid_s view, unsigned int view_gn, int force, int update_ondemand_scopes, int resume,
                const std::vector<ostrel_scope>& scopes, RClient_Update_Listener* listener);
    // The update of chosen paths.
    View_Update(qel_uuid_s view, unsigned int view_gn, const std::vector<std::string>& paths,
                RClient_Update_Listener* listener);

    // "ViewUuid", "ViewGn", "Force", "Resume", "UpdateOndemandScopes",
    // "UsePaths", "NumScopes", then per scope "ScopePath", "ScopeOid",
    // "ScopeGn", or per path "ScopePath". A null view uuid is refused:
    // 30010, nothing sent.
    int marshal_request(RClient_Request_Args* args) override;
    int unmarshal_response() override;

private:
    int read_part(const std::string& id);
    int read_metadata(const std::string& id);
    int begin_operation_step();
    int begin_scope_step();
    int begin_vob_step();
    int element_step();
    // update_object for the element whose metadata has arrived.
    void loaded_version_step();
    // One listener call, while the listener is there and listening.
    template <typename Call>
    void notify(Call call);

    qel_uuid_s m_view;
    unsigned int m_view_gn;
    int m_force;
    int m_update_ondemand_scopes;
    int m_resume;
    int m_use_paths;
    std::vector<ostrel_scope> m_scopes;
    std::vector<std::string> m_paths;
    RClient_Update_Listener* m_listener;
    ostrel_synceleminfo_t m_elem_info;
    bool m_keep_listening = true;
    bool m_have_element = false;     // m_elem_info holds a decoded element
    bool m_element_damaged = false;  // its metadata did not decode
    bool m_listener_stopped = false; // the listener threw
};
