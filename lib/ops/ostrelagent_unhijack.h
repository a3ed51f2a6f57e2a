#pragma once
// Unhijack: gives up a hijack, so that the name shows the element's loaded
// version again (its bytes, mode and times). The hijacked file is what the
// user gives up: it is removed through the kernel, and the namespace,
// knowing the removal for this operation's, drops the name's entry with
// its hijack marks and the ids kept beside them in the same write, so that
// no crash leaves the name hijacked without a file (hidden). A name
// hijacked without its file already (the user removed it) only loses its
// entry. The kernel then forgets the name, and the path is walked again.
//
// Only clearing the marks of a name that still has its file would leave
// that file in the view as a view-private file over the element, so the
// name would go on showing the hijacked bytes; hence the removal.
//
// Request: root "Unhijack" ("version", "tx-id" required) with a child
// "path", the file's path below the view root. Reply: the envelope alone.
//
// A VOB root is refused whatever its state; a name that is not hijacked
// answers 20002 and changes nothing. A failed removal (also where the
// view's root does not reach the file: the view not mounted) ends the
// operation with 20001 and leaves the hijack as it was. A failure of the last walk comes after the hijack was cleared,
// which stays.

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Unhijack : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_Unhijack(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Unhijack() override;

    void process_request() override;
    std::string get_response() override;

private:
    void parse_request();
    // Removes the hijacked file the path names, if any, with its hijack
    // (`cleared` set then): 0, or 20001 with the removal's failure in the
    // message. `dir` is the handle of the name's directory.
    int remove_hijacked_file(const view_fhandle& dir, bool& cleared);
};
