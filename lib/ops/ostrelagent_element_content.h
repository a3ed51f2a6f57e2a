#pragma once
// What the element operations do with the file at an element's path in the
// view and with its version's cleartext: a view-private or checked-out file
// adopted as a new version's cleartext, the file removed, a version's
// cleartext fetched in the background.
//
// The file calls go to the view's own path (the view root followed by the
// element's path), which the kernel file system serves through the agent's
// kernel request threads: the caller holds no agent lock across them.

#include <string>

#include "platform/qel/qel.h"

class OstrelAgent_BG_Cleartext_listener;
class OstrelAgent_View_Base;

class OstrelAgent_Element_Content {
public:
    // Copies the file `path` into `view`'s cleartext cache as the cleartext
    // of `version` of the VOB replica `replica`; the file stays. 0, or the
    // cleartext's status with its text appended to `message`. The cache
    // never holds a part of the file: it holds the whole copy or what it
    // held before.
    static int adopt(OstrelAgent_View_Base& view, const qel_uuid_s& replica, const qel_oid_s& version,
                     const std::string& path, std::string& message);

    // Removes the file `path` of the view. 0, or 20001 with the base
    // library's removal text appended to `message`.
    static int remove_file(const std::string& path, std::string& message);

    // Queues a background fetch of `version`'s cleartext into `view`'s
    // cache, unless it is cached or being fetched already; `listener` (a
    // plain one when null) goes with the fetch. Nothing waits for it and
    // its outcome is the background request's to report.
    static void fetch_in_background(OstrelAgent_View_Base& view, const qel_uuid_s& vob, const qel_oid_s& version,
                                    OstrelAgent_BG_Cleartext_listener* listener = nullptr);
};
