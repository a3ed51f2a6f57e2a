#pragma once
// Checkin: a client tool has checked an element in on the server; the view
// shows the checked-in version instead of the checked-out one.
//
// For a file, the checked-out file is removed from the view. When the
// client names the new version ("new-ver-oid" not the null oid), the
// checked-out file's bytes are what was checked in: they are adopted as
// that version's cleartext first (copied into the cache, the file left in
// place), so that reading the element afterwards costs no fetch. Without a
// version, the checked-in version's cleartext is fetched in the background
// once the file is gone (the version the element's name then shows: the
// checked-out file itself is a view-private object that no server knows).
// For a directory or a VOB root the checkout
// recorded in the view database is cleared and the listing re-read in the
// background (a directory's only when it was complete before).
//
// Request: root "Checkin" ("version", "tx-id"), children "path",
// "replica-uuid" (the VOB replica that holds the element) and "new-ver-oid"
// (the null oid accepted), checked in that order; each missing or
// malformed one refuses the request with 20021. Offline: 20033. Reply: the
// envelope alone.
//
// The steps stop at the first failure, whose status the reply carries;
// what earlier steps did stays (an adopted cleartext stays cached when the
// removal fails). An adoption that fails leaves the checked-out file and
// the caches as they were.

#include <string>

#include "lib/requests/ostrelagent_abstractop.h"
#include "platform/qel/qel.h"

class OstrelAgent_Checkin : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_Checkin(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Checkin() override;

    void process_request() override;
    std::string get_response() override;

private:
    void parse_request();
    // The VOB root's checkout cleared, its parent element flushed, its
    // listing re-read in the background.
    void checkin_vob_root();
    // A file's or directory's checkin, from the path's division on.
    void checkin_element();
    // The checked-out file's bytes made the new version's cleartext.
    int adopt_content();
    // The checked-in version's cleartext fetched in the background: the
    // version `resolved` names, or the one the path shows once the
    // checked-out file that `resolved` was is gone.
    void fetch_in_background(const view_vstat& resolved);

    qel_uuid_s m_replica_uuid = QEL_UUID_NULL;
    qel_oid_s m_new_ver_oid = QEL_OID_NULL;
};
