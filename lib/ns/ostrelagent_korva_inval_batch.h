#pragma once
// The kernel's invalidations of objects and names gathered while a run of
// changes is applied, and sent as one kernel call when the run is done:
// an update's batch asks two for each of its objects. Each invalidation
// carries the number its caller gave it (an object of the run), so that a
// failure can be laid at that one's door.

#include <cstddef>
#include <string>
#include <vector>

#include "platform/korva/korva.h"
#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_view.h"

class OstrelAgent_KORVA_Ioctl;

class OstrelAgent_KORVA_Inval_Batch {
public:
    struct Failure {
        std::size_t owner;
        int status;  // as OstrelAgent_KORVA_Ioctl's calls return it
    };

    OstrelAgent_KORVA_Inval_Batch() = default;
    OstrelAgent_KORVA_Inval_Batch(const OstrelAgent_KORVA_Inval_Batch&) = delete;
    OstrelAgent_KORVA_Inval_Batch& operator=(const OstrelAgent_KORVA_Inval_Batch&) = delete;

    void add_obj(const qel_uuid_s& vob_uuid, const qel_oid_s& oid, vob_op_t op, std::size_t owner);
    void add_name(const qel_uuid_s& vob_uuid, const qel_oid_s& dir_oid, const std::string& name, std::size_t owner);

    std::size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    // Forgets them unsent, keeping the room for the next run.
    void clear() { m_entries.clear(); }

    // Sends them, in the order they came, through `ioctl` and forgets them:
    // those that failed, in that order.
    std::vector<Failure> send(const OstrelAgent_KORVA_Ioctl& ioctl);

private:
    struct Entry {
        korva_inval_record record;
        std::string name;  // the record points at it once sent
        std::size_t owner;
    };
    std::vector<Entry> m_entries;
    std::vector<korva_inval_record*> m_records;
    std::vector<int> m_statuses;
};
