#pragma once
// The listener of a background cleartext fetch: what the fetch tells the
// one who asked for it.
//
// Handing a listener to an OstrelAgent_Cleartext is what makes its
// getcleartext run in the background: the fetch is queued as low-priority
// work of the request pool and the caller does not wait. A plain listener
// does nothing with the outcome (an element operation that only wants the
// version's file in the cache in time, and reports nothing of it); derived
// listeners act on it (a view update counts its outstanding fetches and
// logs their failures).
//
// Ownership: the cleartext object owns its listener and deletes it with
// itself; when it hands the fetch to the background it moves the listener
// into the background request, which calls completed() or failed() when the
// fetch ends and deletes the listener with itself. The listener is deleted
// once, whether the fetch completed, failed, was cancelled or never started,
// so its destructor is where the asker learns that the fetch is over. The
// creator never deletes a listener it has handed to a cleartext object.
//
// The calls come on the background request's thread, never the creator's.

#include <string>

class OstrelAgent_BG_Cleartext_listener {
public:
    OstrelAgent_BG_Cleartext_listener() = default;
    virtual ~OstrelAgent_BG_Cleartext_listener() = default;

    OstrelAgent_BG_Cleartext_listener(const OstrelAgent_BG_Cleartext_listener&) = delete;
    OstrelAgent_BG_Cleartext_listener& operator=(const OstrelAgent_BG_Cleartext_listener&) = delete;

    // The version's file is in the cache. Nothing by default.
    virtual void completed() const {}
    // The fetch failed with `status`; `message` says why. Nothing by
    // default: the background request has reported it already.
    virtual void failed(int /*status*/, const std::string& /*message*/) const {}
};
