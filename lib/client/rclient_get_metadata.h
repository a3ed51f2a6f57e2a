#pragma once
// Fetches the metadata of one object: its load scope, its attributes and
// its element's attributes (read through Metadata_Reply_Base's accessors).
// With the view and VOB uuids and two null oids the server answers with the
// VOB's root directory.

#include <string>

#include "lib/client/rclient_metadata_reply_base.h"

class Get_Metadata : public Metadata_Reply_Base {
public:
    Get_Metadata(const qel_uuid_s& view, const qel_uuid_s& vob, const qel_oid_s& version_oid,
                 const qel_oid_s& element_oid);
    Get_Metadata(const qel_uuid_s& view, const std::string& path);

    // "ViewUuid", then "VobUuid", "VersionOid", "ElementOid" and "PathName"
    // for those given. A null view uuid is refused: 30010, nothing sent.
    int marshal_request(RClient_Request_Args* args) override;

private:
    RClient_Object_Ref m_object;
};
