#pragma once
// InvalidateCheckouts: the view stops treating elements as checked out
// whose checkouts the server no longer holds. For each element the view
// database holds, its checked-out version is cleared and the namespace
// cache and the kernel drop their copies of it, and the namespace cache
// the name the view shows it under, so that the next access reads its state
// again. Elements the view does not hold are passed over.
//
// Request: root "InvalidateCheckouts" ("version", "tx-id" required) with a
// child "invalid-checkouts" holding one or more "element" children, each
// "<element oid>@<replica uuid>" (split at the first "@"). One malformed
// item refuses the whole request before anything is done. Reply: the
// envelope alone; a failed entry appends its text and the others are still
// processed.

#include <vector>

#include "lib/requests/ostrelagent_abstractop.h"
#include "platform/qel/qel.h"

class OstrelAgent_InvalidateCheckouts : public OstrelAgent_AbstractOp {
public:
    static constexpr const char* TAG_INVALID_CHECKOUTS = "invalid-checkouts";
    static constexpr const char* TAG_ELEMENT = "element";

    // One element named by the request.
    struct elem_ent {
        qel_uuid_s replica_uuid;
        qel_oid_s elem_oid;
    };

    OstrelAgent_InvalidateCheckouts(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_InvalidateCheckouts() override;

    void process_request() override;
    std::string get_response() override;

    const std::vector<elem_ent>& get_entries() const { return m_entries; }

private:
    void parse_request();
    // Clears the checkout of one entry: 0, or the failed step's status
    // with the entry named in the message.
    int invalidate(const elem_ent& entry);
    // Drops from the namespace cache the name under which the view shows
    // the entry's element (of the VOB `vob_dbid`): a cached name keeps the
    // checked-out state it was found with until it is looked up again.
    void drop_name(const elem_ent& entry, unsigned vob_dbid);

    std::vector<elem_ent> m_entries;
};
