#include "lib/ns/ns_event_stats.h"

#include <cstring>

#include "lib/ns/ns_cache.h"

constexpr int NS_EVENT_FLUSH_KINDS = 4;

struct ns_event_row {
    uint32_t events;
    uint32_t flushes[NS_EVENT_FLUSH_KINDS];
};

namespace {

using Row = ns_event_row;

Row table[NS_EVENT_OPS][NS_EVENT_KINDS];
const char* op_names[NS_EVENT_OPS];
const char* evtype_names[NS_EVENT_KINDS];
// The row of the event being applied; null when none is, or when its
// operation or kind lies beyond the table.
Row* current = nullptr;

} // namespace

Ns_Vob_Event::Ns_Vob_Event(unsigned op, unsigned evtype, const char* op_name, const char* evtype_name)
    : m_outer_row(current) {
    if (op >= NS_EVENT_OPS || evtype >= NS_EVENT_KINDS) {
        current = nullptr;
        return;
    }
    current = &table[op][evtype];
    current->events++;
    if (op_name != nullptr) op_names[op] = op_name;
    if (evtype_name != nullptr) evtype_names[evtype] = evtype_name;
}

Ns_Vob_Event::~Ns_Vob_Event() { current = m_outer_row; }

void ns_event_count_flush(int what, uint32_t count) {
    if (current != nullptr && what >= 0 && what < NS_EVENT_FLUSH_KINDS) current->flushes[what] += count;
}

void ns_event_print_stats() {
    for (unsigned op = 0; op < NS_EVENT_OPS; ++op) {
        for (unsigned evtype = 0; evtype < NS_EVENT_KINDS; ++evtype) {
            const Row& row = table[op][evtype];
            if (row.events == 0) continue;
            ns_dump("      %s:%s:\t%d: obj: %d fstat: %d lookup: %d rddir: %d\n",
                    op_names[op] != nullptr ? op_names[op] : "unknown op",
                    evtype_names[evtype] != nullptr ? evtype_names[evtype] : "unknown evtype",
                    static_cast<int>(row.events), static_cast<int>(row.flushes[NS_EVENT_FLUSH_OBJ]),
                    static_cast<int>(row.flushes[NS_EVENT_FLUSH_FSTAT]),
                    static_cast<int>(row.flushes[NS_EVENT_FLUSH_LOOKUP]),
                    static_cast<int>(row.flushes[NS_EVENT_FLUSH_RDDIR]));
        }
    }
    std::memset(table, 0, sizeof table);
}
