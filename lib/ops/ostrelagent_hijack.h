#pragma once
// Hijack: turns a loaded file of the view into a hijacked one, an editable
// view-private copy that starts with the loaded version's contents, so that
// the user can change it without checking it out. The view database marks
// the name hijacked and keeps the loaded version's ids beside it (Unhijack
// gives the name back to that version).
//
// Request: root "Hijack" ("version", "tx-id" required) with a child "path",
// the file's path below the view root. Reply: the envelope alone.
//
// The steps, each ending the work when it fails: the path walked (a final
// symbolic link not followed); a checked-out name, an object that is no
// version (unless hijacked already) and anything but a plain file refused;
// a name hijacked already only gets the current time; otherwise a file the
// view's root does not reach (the view not mounted) refused, the loaded
// version's cleartext (fetched when the cache lacks it) copied whole under
// a temporary name beside the name through the kernel, that copy renamed
// onto the name through the kernel, the namespace marking the name
// hijacked in the rename's own write, and the kernel told to forget the
// name. A copy or rename that fails leaves the loaded version, unmarked;
// a crash leaves the loaded version or the hijacked copy, and a retry
// ends as an uninterrupted Hijack.

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Cleartext;

class OstrelAgent_Hijack : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_Hijack(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Hijack() override;

    void process_request() override;
    std::string get_response() override;

private:
    void parse_request();
    // The steps after the walk's checks, for a name that is not hijacked.
    void hijack(const view_fhandle& dir_fh);
    // 0 when the file can be reached through the view's root, else 20001
    // with the reason appended.
    int check_reachable();
    // Appends what tells why the cleartext could not be had.
    void cleartext_failed(const OstrelAgent_Cleartext& cleartext);
};
