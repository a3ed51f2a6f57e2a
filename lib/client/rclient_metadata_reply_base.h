#pragma once
// The base of the commands whose reply describes objects of the view: the
// object's load scope, its attributes and its element's attributes, each
// XDR-encoded in a part of its own. Each record is decoded as soon as its
// part has arrived; after the call the caller takes them through the
// accessors, which hand out zeroed records with the failure when the server
// reported one or a part of the reply was damaged.

#include <string>

#include "lib/client/rclient_abstract_cmd.h"
#include "xdr/ostrelxdr_blob.h"

// The parts' names ("Content-ID"), exact and case-sensitive.
namespace Metadata_Ns {
extern const char* const OBJ_SCOPE;     // "Xdr_ObjScope": ostrel_scope
extern const char* const OBJ_METADATA;  // "Xdr_ObjMetadata": ostrel_vstat of the object
extern const char* const ELEM_METADATA; // "Xdr_ElemMetadata": ostrel_vstat of its element
} // namespace Metadata_Ns

// The object a request names: the view, the VOB replica, the version and
// its element, and a path or a leaf name. Null ids and an empty name are
// not sent.
struct RClient_Object_Ref {
    qel_uuid_s view = QEL_UUID_NULL;
    qel_uuid_s vob = QEL_UUID_NULL;
    qel_oid_s version = QEL_OID_NULL;
    qel_oid_s element = QEL_OID_NULL;
    std::string name;
};

class Metadata_Reply_Base : public RClient_Abstract_Cmd {
public:
    // Reads the three metadata parts and "Status"; other parts are passed
    // over (their bodies must be empty).
    int unmarshal_response() override;

    // Decodes the current part into its record when `part_id` names one of
    // the three: 0, or the failure of parse_content_with_len or of the
    // decoding (1001). 0 for any other name, nothing read.
    int parse_any_metadata(const std::string& part_id);

    // The record from `len` bytes at `data`: 0, 1001 when they do not
    // decode, 1072 without a record.
    static int decode_scope(ostrel_scope& scope, unsigned int len, const char* data);
    static int decode_vstat(ostrel_vstat& vstat, unsigned int len, const char* data);

    // After the call: 0 and the record; or, when the server's status is
    // neither 0 nor -1 (none read yet) or a part was damaged, that status
    // with a zeroed record (null scope id, generation number 0).
    int get_obj_ostrel_vstat(ostrel_vstat& out);
    int get_elem_ostrel_vstat(ostrel_vstat& out);
    int get_obj_scope_info(qel_oid_s& scope_oid, unsigned int& scope_gn);

protected:
    // Records zeroed, no content id, nothing pending.
    Metadata_Reply_Base(const std::string& rpc_name);

    // The arguments that name an object: "ViewUuid", "VobUuid",
    // "VersionOid", "ElementOid", each only when its id is not null, then
    // `name_arg` = the name when it is not empty.
    void marshal_object(const RClient_Object_Ref& object, const char* name_arg);
    // The status that refuses the records, 0 when they may be handed out.
    int refusal() const;
    void clear_metadata();

    ostrel_vstat m_obj_metadata;
    ostrel_vstat m_elem_metadata;
    ostrel_scope m_obj_scope;
    std::string m_content_id;
    int m_metadata_pending = 0;
};
