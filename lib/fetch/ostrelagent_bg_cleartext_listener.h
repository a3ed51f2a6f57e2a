#pragma once
// What a background cleartext fetch tells the one who asked for it (a view
// update, which counts its outstanding fetches and logs their failures).
// The listener belongs to the fetch: it is deleted with it, once, whether
// the fetch completed, failed, was cancelled or never started, so its
// destructor is where the asker learns that the fetch is over.

#include <string>

class OstrelAgent_BG_Cleartext_listener {
public:
    virtual ~OstrelAgent_BG_Cleartext_listener() = default;

    // The version's file is in the cache.
    virtual void completed() const {}
    // The fetch failed with `status`; `message` says why.
    virtual void failed(int status, const std::string& message) const = 0;

protected:
    OstrelAgent_BG_Cleartext_listener() = default;
    OstrelAgent_BG_Cleartext_listener(const OstrelAgent_BG_Cleartext_listener&) = default;
    OstrelAgent_BG_Cleartext_listener& operator=(const OstrelAgent_BG_Cleartext_listener&) = default;
};
