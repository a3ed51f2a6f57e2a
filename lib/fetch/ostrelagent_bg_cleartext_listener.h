#pragma once
// What a background cleartext fetch tells whoever queued it: that the
// version's file is now in the cache, or why it is not. The fetch owns its
// listener and deletes it when it ends, once it has called exactly one of
// the two (or none, when the fetch was dropped or cancelled), so the
// destructor marks the end of the fetch in every case. Calls come on the
// pool thread that ran the fetch.

#include <string>

class OstrelAgent_BG_Cleartext_listener {
public:
    virtual ~OstrelAgent_BG_Cleartext_listener() = default;

    virtual void completed() const {}
    virtual void failed(int status, const std::string& message) const = 0;
};
