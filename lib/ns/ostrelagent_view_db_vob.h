#pragma once
// A VOB's record in the view database, looked up or made by its replica
// uuid.

#include <string>

#include "platform/qel/qel.h"

class OstrelAgent_View_db_vob {
public:
    explicit OstrelAgent_View_db_vob(const qel_uuid_s& vob) : m_vob(vob) {}

    // The VOB record's dbid (0 first); 0 or 20001.
    int lookup_vob(unsigned& dbid);
    // Makes the VOB's record and gives its dbid; 0 or 20001.
    int create_vob(const std::string& host, const std::string& path, unsigned& dbid);

    int is_loaded() const { return m_loaded; }

private:
    int m_loaded = 0;
    qel_uuid_s m_vob;
    unsigned m_vob_dbid = 0;
};
