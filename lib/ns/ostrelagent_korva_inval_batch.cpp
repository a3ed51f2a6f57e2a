#include "lib/ns/ostrelagent_korva_inval_batch.h"

#include "lib/ns/ostrelagent_korva_ioctl.h"

void OstrelAgent_KORVA_Inval_Batch::add_obj(const qel_uuid_s& vob_uuid, const qel_oid_s& oid, vob_op_t op,
                                            std::size_t owner) {
    m_entries.push_back(Entry{OstrelAgent_KORVA_Ioctl::object_record(vob_uuid, oid, op), std::string(), owner});
}

void OstrelAgent_KORVA_Inval_Batch::add_name(const qel_uuid_s& vob_uuid, const qel_oid_s& dir_oid,
                                             const std::string& name, std::size_t owner) {
    m_entries.push_back(Entry{OstrelAgent_KORVA_Ioctl::name_record(vob_uuid, dir_oid, nullptr), name, owner});
}

std::vector<OstrelAgent_KORVA_Inval_Batch::Failure> OstrelAgent_KORVA_Inval_Batch::send(
    const OstrelAgent_KORVA_Ioctl& ioctl) {
    std::vector<Failure> failures;
    if (m_entries.empty()) return failures;
    // The names stay where they are from here to the call's end.
    m_records.clear();
    for (Entry& entry : m_entries) {
        if (entry.record.kind == KORVA_INVAL_NAME) entry.record.name = korva_text_of(entry.name.c_str());
        m_records.push_back(&entry.record);
    }
    m_statuses.assign(m_entries.size(), 0);
    ioctl.view_inval_records(m_records.data(), m_statuses.data(), m_records.size());
    for (std::size_t i = 0; i < m_entries.size(); ++i)
        if (m_statuses[i] != 0) failures.push_back(Failure{m_entries[i].owner, m_statuses[i]});
    m_entries.clear();
    return failures;
}
