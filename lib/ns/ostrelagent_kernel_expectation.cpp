#include "lib/ns/ostrelagent_kernel_expectation.h"

#include <cstring>
#include <list>
#include <mutex>

namespace {

struct Entry {
    uint64_t number;
    OstrelAgent_Kernel_Expectation::Kind kind;
    qel_uuid_s vob;
    int32_t dir_elem_dbid;
    std::string name;
    std::string source;
    view_vstat version;
    bool met;
};

std::mutex table_mutex;
std::list<Entry> table;
uint64_t last_number = 0;

} // namespace

OstrelAgent_Kernel_Expectation::OstrelAgent_Kernel_Expectation(Kind kind, const view_fhandle& dir,
                                                               const std::string& name, const view_vstat* version,
                                                               const std::string& source) {
    Entry entry{0, kind, dir.vob_uuid, static_cast<int32_t>(dir.elem_dbid), name, source, view_vstat{}, false};
    if (version != nullptr) entry.version = *version;
    std::lock_guard<std::mutex> hold(table_mutex);
    entry.number = m_number = ++last_number;
    table.push_back(entry);
}

OstrelAgent_Kernel_Expectation::~OstrelAgent_Kernel_Expectation() {
    std::lock_guard<std::mutex> hold(table_mutex);
    table.remove_if([&](const Entry& entry) { return entry.number == m_number; });
}

bool OstrelAgent_Kernel_Expectation::met() const {
    std::lock_guard<std::mutex> hold(table_mutex);
    for (const Entry& entry : table)
        if (entry.number == m_number) return entry.met;
    return false;
}

uint64_t OstrelAgent_Kernel_Expectation::find(Kind kind, const qel_uuid_s& vob, int32_t dir_elem_dbid,
                                              const char* name, view_vstat* version, const char* source) {
    std::lock_guard<std::mutex> hold(table_mutex);
    for (const Entry& entry : table) {
        if (entry.met || entry.kind != kind || entry.dir_elem_dbid != dir_elem_dbid || entry.name != name ||
            std::memcmp(&entry.vob, &vob, sizeof vob) != 0)
            continue;
        if (!entry.source.empty() && (source == nullptr || entry.source != source)) continue;
        if (version != nullptr) *version = entry.version;
        return entry.number;
    }
    return 0;
}

void OstrelAgent_Kernel_Expectation::meet(uint64_t number) {
    std::lock_guard<std::mutex> hold(table_mutex);
    for (Entry& entry : table)
        if (entry.number == number) entry.met = true;
}
