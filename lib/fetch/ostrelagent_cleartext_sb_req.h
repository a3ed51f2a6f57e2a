#pragma once
// The cleartext fetch of one version as scoreboard work: equal when the VOB
// uuid and the version oid are, so that readers of one version meet and one
// fetch serves them all. The fetch runs on the cleartext object the request
// was made for: the foreground caller's own object, or the heap copy of a
// background fetch, which the request then owns.

#include <string>

#include "lib/fetch/ostrelagent_scoreboard.h"
#include "lib/fetch/ostrelagent_scoreboard_request.h"
#include "platform/qel/qel.h"

class OstrelAgent_Cleartext;

class OstrelAgent_Cleartext_SB_req final : public OstrelAgent_Scoreboard_Request {
public:
    // For `cleartext`, whose oid is resolved; owned when `background`.
    OstrelAgent_Cleartext_SB_req(bool background, OstrelAgent_Cleartext* cleartext);
    ~OstrelAgent_Cleartext_SB_req();

    OstrelAgent_Cleartext_SB_req(const OstrelAgent_Cleartext_SB_req&) = delete;
    OstrelAgent_Cleartext_SB_req& operator=(const OstrelAgent_Cleartext_SB_req&) = delete;

    // Fetches the version. DONE, or FAILED with the text that the fetch
    // added to its object's error message appended to `msg`.
    int execute(int& status, std::string& msg) override;
    unsigned int hash() const override { return m_key; }
    int get_status() const override { return m_status; }
    std::string get_message() const override { return m_message; }
    bool equivalent(const OstrelAgent_Scoreboard_Request* other) const override;

    bool is_background() const { return m_background; }
    OstrelAgent_Cleartext* get_cleartext() const { return m_cleartext; }

private:
    bool m_background;
    unsigned int m_key;
    qel_uuid_s m_vob;
    qel_oid_s m_ver_oid;
    OstrelAgent_Cleartext* m_cleartext;
    int m_status = 0;
    std::string m_message;
};

using OstrelAgent_Cleartext_SB = OstrelAgent_Scoreboard<OstrelAgent_Cleartext_SB_req>;
