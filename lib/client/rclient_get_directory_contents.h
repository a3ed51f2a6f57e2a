#pragma once
// Fetches the contents of one directory version. The server streams one
// "XdrDirectoryEntry" part per entry, each followed by the entry's scope
// and metadata parts; an entry goes to the listener, complete, once the
// next entry or the "Status" part arrives, so a large directory never sits
// in memory. An entry whose own part or metadata does not decode is not
// handed over (the call then fails); a reply cut off after an entry leaves
// that entry out. An entry without a scope part gets the scope of the
// entry before it.

#include <string>

#include "lib/client/rclient_get_directory_contents_listener.h"
#include "lib/client/rclient_metadata_reply_base.h"

class Get_Directory_Contents : public Metadata_Reply_Base {
public:
    // The listener (not owned) must outlive run().
    Get_Directory_Contents(const qel_uuid_s& view, const qel_uuid_s& vob,
                           const qel_oid_s& version_oid, const qel_oid_s& element_oid,
                           Get_Directory_Contents_Listener& listener);
    Get_Directory_Contents(const qel_uuid_s& view, const char* path,
                           Get_Directory_Contents_Listener& listener);

    // "ViewUuid", "VobUuid", "VersionOid", "ElementOid" and "PathName" for
    // those given (a null view uuid is left out). 0.
    int marshal_request(RClient_Request_Args* args) override;
    int unmarshal_response() override;

    // Zeroes the pending entry and decodes `length` bytes into it: 0, or
    // 1001 when they do not decode.
    int decode_dirent(unsigned int length, const char* data);

private:
    // Hands the pending entry, with the metadata read since, to the listener.
    void hand_over();
    int read_part(const std::string& id);

    RClient_Object_Ref m_object;
    ostrel_dirent_t m_pending;
    Get_Directory_Contents_Listener& m_listener;
};
