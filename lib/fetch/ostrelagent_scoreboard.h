#pragma once
// The request scoreboard: where threads that want the same remote fetch at the
// same moment (the listing of one directory version, the cleartext of one
// version) meet, so that the fetch runs once and every asker takes over its
// result.
//
// An entry stands for one asker. The first entry of a piece of work is
// registered (in the scoreboard's map, under the request's hash()); an entry
// made for an equivalent request while that one is registered refers to it
// as its leader and holds a reference on it. A registered entry stays
// registered until its last reference is released, so an asker that arrives
// after the work finished takes over the finished result without running it
// again.
//
// Running: whichever entry of a piece of work takes the registered entry's
// lock first while its result is still PENDING runs the work, holding that
// lock for the whole run; every other entry blocks on the lock and then finds
// the result. So a joiner never waits for a registered entry that has not
// started (one still queued on the request pool, say): it runs the work
// itself, and the pool's later run finds the result. Work cancelled before it
// ran (the pool's cancel at shutdown) gives its askers CANCELLED with status
// 20038 and the agent's shutting-down text.
//
// Use: make the request, create() the entry, then either execute() it or hand
// it to a pool request whose handle_request executes it and whose
// cancel_request cancels it; read the work's outcome through get_req() while
// still holding the entry; release() it exactly once, and not touch it again.
//
// Each instance of the template (one per request type) has a map and locks of
// its own. Locks: g_lock (recursive: a release that destroys an entry
// releases its leader and runs the destructor under it) guards the map,
// every refcnt and maxref, the leader links and the diagnostic counters; an
// entry's m_lock guards its result and its count of waits, and is held
// across a run of its work. g_lock is never held while an
// entry's lock is taken, nor the other way round.

#include <algorithm>
#include <map>
#include <string>
#include <type_traits>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/fetch/ostrelagent_scoreboard_request.h"
#include "platform/norvanethread/norvanethread.h"

template <typename Req>
class OstrelAgent_Scoreboard {
    static_assert(std::is_base_of<OstrelAgent_Scoreboard_Request, Req>::value,
                  "scoreboard requests implement OstrelAgent_Scoreboard_Request");
    static_assert(std::is_final<Req>::value,
                  "a scoreboard request type is final: its entries delete it through its own type");

public:
    using Request = OstrelAgent_Scoreboard_Request;

    // An entry for `request` (owned from now on). With `skip_if_duplicate`,
    // null when an equivalent request is registered already (the request is
    // then deleted); otherwise never null.
    static OstrelAgent_Scoreboard* create(Req* request, bool skip_if_duplicate);

    OstrelAgent_Scoreboard(const OstrelAgent_Scoreboard&) = delete;
    OstrelAgent_Scoreboard& operator=(const OstrelAgent_Scoreboard&) = delete;

    // Runs the work, or takes over the result of the run that another entry
    // made or makes; returns DONE, FAILED or CANCELLED. `status` and the text
    // appended to `msg` are the work's, whichever entry ran it; for
    // CANCELLED they are 20038 and the shutting-down text.
    int execute(int& status, std::string& msg);

    // The request whose work this entry stands for: the leader's, or the
    // entry's own when it is registered.
    Req* get_req();

    // Ends an entry that will not run: a PENDING result becomes CANCELLED,
    // which every asker then takes over. A result that is set stays.
    void cancel();

    // Drops one reference; the last one destroys the entry (and its request,
    // and a registered entry's place in the map) and releases its leader.
    void release();

    // Whether this entry is tied to `other` as its leader, or `other` to
    // this one: the two stand for the same run of the work.
    bool linked_to(const OstrelAgent_Scoreboard* other) const;

    // Test only: the reference count of the registered entry whose request
    // is equivalent to `probe`, 0 when none is registered.
    static unsigned refcnt_for_test(const Req& probe);

private:
    using Map = std::multimap<unsigned int, OstrelAgent_Scoreboard*>;

    explicit OstrelAgent_Scoreboard(Req* request);
    ~OstrelAgent_Scoreboard();

    // Registers the entry, or ties it to the registered entry of an
    // equivalent request. False only when there is one and
    // `skip_if_duplicate` is set; nothing changes then.
    bool check_duplicate(bool skip_if_duplicate);

    // The registered entries; made on first use and never destroyed (threads
    // may still release entries while the process ends).
    static Map& g_map() {
        static Map* const map = new Map;
        return *map;
    }

    static const char* class_name() { return "OstrelAgent_Scoreboard"; }

    Req* const m_request;
    OstrelAgent_Scoreboard* m_leader = nullptr;
    int m_result = Request::PENDING; // guarded by m_lock, as is m_waits
    // Askers that found the work running and waited for it.
    unsigned m_waits = 0;
    norvanethread_mutex_t m_lock;
    unsigned m_refcnt = 1; // guarded by g_lock, as is m_maxref
    unsigned m_maxref = 1;

    static norvanethread_mutex_t g_lock;
    // Diagnostics: the highest reference count any entry reached, the waits
    // of the destroyed entries and the most of one of them.
    static unsigned g_max_refcnt;
    static unsigned g_waits;
    static unsigned g_max_waits;
};

template <typename Req>
norvanethread_mutex_t OstrelAgent_Scoreboard<Req>::g_lock =
    NORVANETHREAD_RECURSIVE_MUTEX_INITIALIZER;

template <typename Req>
unsigned OstrelAgent_Scoreboard<Req>::g_max_refcnt = 0;

template <typename Req>
unsigned OstrelAgent_Scoreboard<Req>::g_waits = 0;

template <typename Req>
unsigned OstrelAgent_Scoreboard<Req>::g_max_waits = 0;

template <typename Req>
OstrelAgent_Scoreboard<Req>* OstrelAgent_Scoreboard<Req>::create(Req* request,
                                                                 bool skip_if_duplicate) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, class_name(), "create");
    auto* entry = new OstrelAgent_Scoreboard(request);
    if (!entry->check_duplicate(skip_if_duplicate)) {
        entry->release();
        return nullptr;
    }
    return entry;
}

template <typename Req>
OstrelAgent_Scoreboard<Req>::OstrelAgent_Scoreboard(Req* request) : m_request(request) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, class_name(), "ctor");
    norvanethread_mutex_init(&m_lock);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "creating %p", static_cast<void*>(this));
}

template <typename Req>
OstrelAgent_Scoreboard<Req>::~OstrelAgent_Scoreboard() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, class_name(), "dtor");
    norvanethread_mutex_destroy(&m_lock);
    {
        OstrelAgent_Mutex_Guard guard(g_lock);
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4,
                         "destroying %p: waits %d original %p maxref %d", static_cast<void*>(this),
                         static_cast<int>(m_waits), static_cast<void*>(m_leader),
                         static_cast<int>(m_maxref));
        g_waits += m_waits;
        g_max_waits = std::max(g_max_waits, m_waits);
        if (m_leader == nullptr) {
            // Not there for an entry that check_duplicate refused.
            Map& map = g_map();
            auto range = map.equal_range(m_request->hash());
            for (auto it = range.first; it != range.second; ++it) {
                if (it->second == this) {
                    map.erase(it);
                    break;
                }
            }
        }
    }
    delete m_request;
}

template <typename Req>
bool OstrelAgent_Scoreboard<Req>::check_duplicate(bool skip_if_duplicate) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, class_name(), "check_duplicate");
    OstrelAgent_Mutex_Guard guard(g_lock);
    const unsigned int key = m_request->hash();
    Map& map = g_map();
    auto range = map.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
        OstrelAgent_Scoreboard* other = it->second;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "comparing %p(%u) to %p(%u)",
                         static_cast<void*>(other->m_request), other->m_request->hash(),
                         static_cast<void*>(m_request), key);
        if (!other->m_request->equivalent(m_request)) continue;
        if (skip_if_duplicate) return false;
        ++other->m_refcnt;
        m_leader = other;
        other->m_maxref = std::max(other->m_maxref, other->m_refcnt);
        g_max_refcnt = std::max(g_max_refcnt, other->m_refcnt);
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "referencing %p now refcnt %u",
                         static_cast<void*>(other), other->m_refcnt);
        return true;
    }
    // After the entries of the same key: the map keeps them in arrival order.
    map.emplace_hint(range.second, key, this);
    return true;
}

template <typename Req>
int OstrelAgent_Scoreboard<Req>::execute(int& status, std::string& msg) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, class_name(), "execute");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "executing %p", static_cast<void*>(this));
    OstrelAgent_Scoreboard* const runner = m_leader != nullptr ? m_leader : this;
    bool ran = false;
    int result;
    {
        // A run under way holds the lock: an asker that finds it taken waits
        // for that run, and is counted.
        OstrelAgent_Mutex_Guard guard(runner->m_lock, OstrelAgent_Mutex_Guard::DEFER);
        if (!guard.try_lock()) {
            guard.lock();
            ++runner->m_waits;
        }
        if (runner->m_result == Request::PENDING) {
            runner->m_result = runner->m_request->execute(status, msg);
            ran = true;
        }
        result = runner->m_result;
    }
    if (runner != this) {
        OstrelAgent_Mutex_Guard guard(m_lock);
        if (m_result == Request::PENDING) m_result = result;
    }
    if (ran) return result;
    if (result == Request::CANCELLED) {
        // The work never ran: its status would read as success.
        status = OstrelAgent_Status::EXIT_REQUESTED;
        msg += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table,
                                        OstrelAgent_Lib_Msg::SHUTTING_DOWN);
        return result;
    }
    const Req* const done = get_req();
    status = done->get_status();
    msg += done->get_message();
    return result;
}

template <typename Req>
Req* OstrelAgent_Scoreboard<Req>::get_req() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, class_name(), "get_req");
    OstrelAgent_Scoreboard* entry = this;
    for (;;) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "get_req %p", static_cast<void*>(entry));
        if (entry->m_leader == nullptr) return entry->m_request;
        entry = entry->m_leader;
    }
}

template <typename Req>
void OstrelAgent_Scoreboard<Req>::cancel() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, class_name(), "cancel");
    OstrelAgent_Mutex_Guard guard(m_lock);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "cancelling %p", static_cast<void*>(this));
    if (m_result == Request::PENDING) m_result = Request::CANCELLED;
}

template <typename Req>
void OstrelAgent_Scoreboard<Req>::release() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, class_name(), "release");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "releasing %p", static_cast<void*>(this));
    OstrelAgent_Mutex_Guard guard(g_lock);
    if (--m_refcnt > 0) return;
    if (m_leader != nullptr) m_leader->release();
    delete this;
}

template <typename Req>
bool OstrelAgent_Scoreboard<Req>::linked_to(const OstrelAgent_Scoreboard* other) const {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, class_name(), "linked_to");
    OstrelAgent_Mutex_Guard guard(g_lock);
    return other != nullptr && (m_leader == other || other->m_leader == this);
}

template <typename Req>
unsigned OstrelAgent_Scoreboard<Req>::refcnt_for_test(const Req& probe) {
    OstrelAgent_Mutex_Guard guard(g_lock);
    auto range = g_map().equal_range(probe.hash());
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second->m_request->equivalent(&probe)) return it->second->m_refcnt;
    }
    return 0;
}
