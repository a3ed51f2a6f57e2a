#pragma once
// The listing of one directory version as scoreboard work: equal listings
// (the same VOB and directory version) asked for at the same time, in the
// foreground or in the background, are fetched once
// (OstrelAgent_Scoreboard<OstrelAgent_Readdir_SB_req>).

#include <string>
#include <vector>

#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/fetch/ostrelagent_scoreboard.h"
#include "lib/fetch/ostrelagent_scoreboard_request.h"
#include "platform/qel/qel.h"

class OstrelAgent_Readdir_SB_req final : public OstrelAgent_Scoreboard_Request {
public:
    // `background`: made for a background listing (kept, not consulted).
    OstrelAgent_Readdir_SB_req(const qel_uuid_s& vob, unsigned dbid, bool background = false);
    ~OstrelAgent_Readdir_SB_req();

    // OstrelAgent_Metadata::do_readdir_obj into the entries: DONE, or FAILED
    // with the catalogue's text of a failed directory read appended to the
    // message and to `msg`.
    int execute(int& status, std::string& msg) override;
    // The VOB uuid's hash plus the dbid.
    unsigned int hash() const override { return m_key; }
    int get_status() const override { return m_status; }
    std::string get_message() const override { return m_message; }
    // The same dbid and VOB.
    bool equivalent(const OstrelAgent_Scoreboard_Request* other) const override;

    const std::vector<ostrelagent_dirent>& get_entries() const { return m_entries; }
    const qel_uuid_s& get_vob() const { return m_vob; }
    unsigned get_dbid() const { return m_dbid; }
    bool is_background() const { return m_background; }

private:
    unsigned m_key;
    qel_uuid_s m_vob;
    unsigned m_dbid;
    int m_status = 0;
    std::string m_message;
    std::vector<ostrelagent_dirent> m_entries;
    bool m_background;
};

using OstrelAgent_Readdir_Scoreboard = OstrelAgent_Scoreboard<OstrelAgent_Readdir_SB_req>;
