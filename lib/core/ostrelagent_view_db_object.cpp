#include "lib/core/ostrelagent_view_db_object.h"

#include "lib/core/ostrelagent_status.h"
#include "lib/ostreladb/ostrel_db.h"

OstrelAgent_View_db_object::OstrelAgent_View_db_object(unsigned dbid, const qel_uuid_s& vob, unsigned vob_dbid)
    : m_vob(vob), m_vob_dbid(vob_dbid), m_dbid(dbid) {}

OstrelAgent_View_db_object::~OstrelAgent_View_db_object() = default;

int OstrelAgent_View_db_object::get_dbid(unsigned& dbid) {
    if (m_dbid == 0) return OstrelAgent_Status::GENERAL_FAILURE;
    dbid = m_dbid;
    return 0;
}

int OstrelAgent_View_db_object::load_data() {
    if (m_vob_dbid != 0) return 0;
    unsigned found = 0;
    int status = ostrel_db_vob_read(&m_vob, 0, nullptr, 0, nullptr, &found);
    if (status == 0) m_vob_dbid = found;
    return status;
}
