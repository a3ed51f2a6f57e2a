#pragma once
// GetMetadata: what one path of the view is. For the view's root directory
// the view's identity and settings; for anything else its state (version
// controlled, checked out, hijacked, eclipsed), times, oids, kind, size,
// VOB and canonical path.
//
// The path is resolved through the namespace cache as the kernel resolves
// it (so a name the caches lack is fetched while the view is online). A
// leaf that the namespace does not show although its directory version
// lists it (hidden by a white-out, or eclipsed) is answered from the view
// database, and the namespace says whether the name is a white-out. The
// query changes nothing and makes no offline test.
//
// Request: root "GetMetadata" ("version", "tx-id", and "follow", which the
// exact text "true" sets to follow a final symbolic link), child "path": a
// full path through the view root, or one that begins with a VOB tag.
// Reply: the envelope, then with status 0 the five view elements or the
// object's elements in a fixed order. Times are milliseconds since the
// epoch: the seconds, then the milliseconds in three digits.

#include <string>

#include "lib/requests/ostrelagent_abstractop.h"

class NorvaneXmlDoc;
class OstrelAgent_Metadata;

class OstrelAgent_Getmetadata : public OstrelAgent_AbstractOp {
public:
    static constexpr const char* ATTR_FOLLOW = "follow";
    // The view type of a change-management view.
    static constexpr const char* TESSEL_VIEW_TYPE = "tessel";
    // The "type" of the view's root.
    static constexpr const char* VIEW_RESOURCE = "view";

    OstrelAgent_Getmetadata(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Getmetadata() override;

    void process_request() override;
    std::string get_response() override;

    // A file-status time as the reply writes it.
    static std::string time_text(const qel_fstat_time_s& time);

private:
    void parse_request();
    // The name the namespace does not show, from its directory version in
    // the view database; `first` is the walk that did not find it.
    void hidden_name(const OstrelAgent_Metadata& first);
    void add_view_elements(NorvaneXmlDoc& doc);
    void add_object_elements(NorvaneXmlDoc& doc);

    bool m_follow = false;
    std::string m_vob_tag;
    ostrel_vstat m_obj_status{};
    bool m_view_root = false;
    bool m_vob_root = false;
    bool m_hijacked = false;
    bool m_eclipsed = false;
    bool m_checked_out = false;
    bool m_version_controlled = false;
    qel_oid_s m_co_ver_oid = QEL_OID_NULL;
    std::string m_canonical_path;
};
