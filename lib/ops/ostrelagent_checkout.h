#pragma once
// Checkout: a client tool has checked an element out on the server (which
// made the checked-out version) and asks the view to show it checked out.
//
// A VOB root or a directory gets the checked-out version recorded on its
// element in the view database. A file loses any hijack mark on its name
// and, unless the request says otherwise, the checked-out version's
// contents are fetched (in the request's thread) and copied through the
// view onto the element's path, writable; the view database records no
// checkout for a file. The copy, its mode and its times are file calls on
// the view root followed by the path: the kernel side serves them through
// the daemon's own kernel request threads, so no agent lock is held across
// them.
//
// Request: root "Checkout" ("version", "tx-id"), children "path",
// "replica-uuid", "co-ver-oid" (not the null oid) and "co-flags", whose
// attributes "ptime", "preserve-hijack" and "whiteout" are set only by the
// exact text "true". Refused offline. Reply: the envelope alone.

#include <string>

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Checkout : public OstrelAgent_AbstractOp {
public:
    static constexpr const char* TAG_REPLICA_UUID = "replica-uuid";
    static constexpr const char* TAG_CO_VER_OID = "co-ver-oid";
    static constexpr const char* TAG_CO_FLAGS = "co-flags";
    static constexpr const char* ATTR_PTIME = "ptime";
    static constexpr const char* ATTR_PRESERVE_HIJACK = "preserve-hijack";
    static constexpr const char* ATTR_WHITEOUT = "whiteout";

    OstrelAgent_Checkout(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Checkout() override;

    void process_request() override;
    std::string get_response() override;

    // Fetches the checked-out version's contents and copies them onto the
    // element's path, writable, with the version's times when asked; the
    // outcome in the status and message.
    void copy_viewpvt_file();

    const qel_uuid_s& get_replica_uuid() const { return m_replica_uuid; }
    const qel_oid_s& get_co_ver_oid() const { return m_co_ver_oid; }
    int get_ptime() const { return m_ptime; }
    int get_preserve_hijack() const { return m_preserve_hijack; }
    int get_whiteout() const { return m_whiteout; }

private:
    void parse_request();
    // A VOB root: its checkout recorded, its entries flushed.
    void checkout_vob_root();
    // A directory: its checkout recorded on the element the path names.
    void checkout_directory();
    // A file: its hijack mark cleared, then its contents copied or its name
    // invalidated.
    void checkout_file();
    // Drops the kernel's cached name (and, keeping a hijacked file, the
    // namespace's); the outcome changes nothing.
    void invalidate_name();

    qel_uuid_s m_replica_uuid{};
    qel_oid_s m_co_ver_oid{};
    int m_ptime = 0;
    int m_preserve_hijack = 0;
    int m_whiteout = 0;
};
