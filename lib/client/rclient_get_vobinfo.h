#pragma once
// Asks the server what it calls a VOB, by the VOB's tag: its family id, the
// id of the replica that serves it, its storage and whether it is public
// and a project VOB. The answer travels in the items of the reply part
// "VobInfo". Read the members after check_rpc_status returned 0: an answer
// that is missing or malformed fails the call, with the reason in the
// status message.

#include <string>

#include "lib/client/rclient_abstract_cmd.h"

class Get_VOBInfo : public RClient_Abstract_Cmd {
public:
    explicit Get_VOBInfo(const std::string& vob_tag);

    // "VobTag" = the tag, always. 0.
    int marshal_request(RClient_Request_Args* args) override;
    int unmarshal_response() override;

    // Decodes the current part as the answer. Storage and flags are taken
    // first; a missing or bad id or an empty storage sets the status
    // message (catalog messages 5 to 8) and throws
    // RClient_Malformed_Response_Exception.
    void unmarshal_vobinfo();

    std::string m_vob_tag;
    qel_oid_s m_family_id = QEL_OID_NULL;
    qel_uuid_s m_replica_id = QEL_UUID_NULL;
    std::string m_storage;
    int m_is_public = 0;  // "IsPublic" exactly "1"
    int m_is_project = 0; // "IsProject" exactly "1"

private:
    bool m_answered = false; // a whole answer was decoded
};
