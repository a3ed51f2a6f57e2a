#pragma once
// What the events of VOBs flushed from the namespace caches, by the event's
// operation and kind: counted while an event is applied, printed and then
// cleared by cache_print_stats (at verbosity 1 for "view").
//
// Everything here runs under the namespace cache's mutex.

#include <cstdint>

struct ns_event_row;

// Operations and kinds of event the table has rows for.
constexpr unsigned NS_EVENT_OPS = 135;
constexpr unsigned NS_EVENT_KINDS = 10;

// One VOB event being applied: the event flushes made while it lives
// (locate_event_flush, locate_event_flush_oid, lookup_event_flush_dir) count
// in its row, and the row counts the event. The names, when given, must
// outlive the process's use of the table (string literals); a row whose
// operation or kind was never named prints as "unknown op" or "unknown
// evtype". An operation or kind beyond the table counts nothing. Events may
// nest; the inner one counts until it ends.
class Ns_Vob_Event {
public:
    Ns_Vob_Event(unsigned op, unsigned evtype, const char* op_name = nullptr,
                 const char* evtype_name = nullptr);
    ~Ns_Vob_Event();
    Ns_Vob_Event(const Ns_Vob_Event&) = delete;
    Ns_Vob_Event& operator=(const Ns_Vob_Event&) = delete;

private:
    // The row that counted before this event, null when none did.
    ns_event_row* m_outer_row;
};

// What an event flush dropped.
enum : int {
    NS_EVENT_FLUSH_OBJ = 0,     // cached objects
    NS_EVENT_FLUSH_FSTAT = 1,   // cached statuses
    NS_EVENT_FLUSH_LOOKUP = 2,  // the names of a directory
    NS_EVENT_FLUSH_RDDIR = 3,   // a directory's listing
};

// Counts `count` flushes of `what` in the row of the event being applied;
// nothing when none is.
void ns_event_count_flush(int what, uint32_t count = 1);

// Prints every row that counted an event, one line each:
// "      op:evtype:\tevents: obj: n fstat: n lookup: n rddir: n"; then clears
// the table.
void ns_event_print_stats();
