#pragma once
// Looks a name up in a directory version of a VOB on the server; the reply
// describes the object the name leads to (Metadata_Reply_Base's accessors).

#include <string>

#include "lib/client/rclient_metadata_reply_base.h"

class Lookup : public Metadata_Reply_Base {
public:
    // `element`: the directory's element, or the null id.
    Lookup(const qel_uuid_s& view, const qel_uuid_s& vob, const qel_oid_s& version,
           const qel_oid_s& element, const std::string& leaf);

    // "ViewUuid", then "VobUuid", "VersionOid", "ElementOid" and "LeafName"
    // for those given. A null view uuid is refused: 30010, nothing sent.
    int marshal_request(RClient_Request_Args* args) override;

private:
    RClient_Object_Ref m_object;
};
