#pragma once
// Uncheckout: a client tool has cancelled the checkout of an element on the
// server and asks the view to follow. A VOB root gets its recorded checkout
// cleared and its element dropped from every cache. Any other element is
// dropped (its name too), the load rules that the request names as removed
// go with what they loaded, and the path is resolved afresh, which asks the
// server what the caches no longer hold; then a directory gets its recorded
// checkout cleared and is read again (and updated surgically when an
// explicit load rule holds it, waiting for a running update), and a file's
// version gets its contents fetched into the cleartext cache in the
// background (once, however many ask). The writable file that the checkout
// left in the view stays where it is.
//
// Request: root "Uncheckout" ("version" 1 or 2, "tx-id"), "path" (the
// element, view-relative) and optionally "namespace-modified", whose "path"
// must be the same and whose lists are checked ("removed-load-rules" is
// used). Refused offline. Reply: the envelope alone.

#include <string>

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Uncheckout : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_Uncheckout(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Uncheckout() override;

    void process_request() override;
    std::string get_response() override;

private:
    void parse_request();
    // The VOB root: its checkout cleared, its element dropped.
    void uncheckout_vob_root();
    // Any other element: dropped, then found again and brought in line.
    void uncheckout_element();
    // Clears the checkout recorded on the element `elem_oid`; false (20001,
    // the reason in the message) when it cannot be.
    bool clear_checkout(const qel_uuid_s& vob, const qel_oid_s& elem_oid);
};
