#include "lib/fetch/ostrelagent_update_applier.h"

#include <utility>

#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_norvane_thread.h"
#include "lib/core/ostrelagent_trace.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_Update_Applier";

} // namespace

// A listener call with copies of its arguments.
struct OstrelAgent_Update_Applier::Call {
    enum Kind { BEGIN_OPERATION, BEGIN_SCOPE, BEGIN_VOB, UPDATE_OBJECT, UNLOAD_OBJECT, END_SCOPE, END_VOB, END_OPERATION };

    Kind kind = BEGIN_OPERATION;
    unsigned int gn = 0;
    ostrel_scope scope{};
    qel_uuid_s replica = QEL_UUID_NULL;
    qel_oid_s oid = QEL_OID_NULL; // the VOB's family, or the object's parent
    qel_oid_s object_oid = QEL_OID_NULL;
    std::string path;
    std::string previous_version;
    std::string current_version;
    ostrel_vstat object{};
    ostrel_vstat element{};
};

class OstrelAgent_Update_Applier::Thread : public OstrelAgent_NorvaneThread {
public:
    explicit Thread(OstrelAgent_Update_Applier& applier) : m_applier(applier) {}
    int run() override {
        m_applier.run();
        return 0;
    }

private:
    OstrelAgent_Update_Applier& m_applier;
};

OstrelAgent_Update_Applier::OstrelAgent_Update_Applier(RClient_Update_Listener& target, std::size_t bound)
    : m_target(target), m_bound(bound > 0 ? bound : 1) {
    norvanethread_mutex_init(&m_mutex);
    norvanethread_cond_init(&m_queued);
    norvanethread_cond_init(&m_room);
    m_thread.reset(new Thread(*this));
    const int started = m_thread->start();
    if (started != 0) {
        OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "OstrelAgent_Update_Applier");
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "no applier thread (%d): the stream is applied as it comes",
                         started);
        m_thread.reset();
    }
}

OstrelAgent_Update_Applier::~OstrelAgent_Update_Applier() {
    finish();
    norvanethread_cond_destroy(&m_room);
    norvanethread_cond_destroy(&m_queued);
    norvanethread_mutex_destroy(&m_mutex);
}

// ---- the transfer's side -------------------------------------------------------------------

bool OstrelAgent_Update_Applier::begin_operation(unsigned int operation_gn) {
    std::unique_ptr<Call> call = make_call(Call::BEGIN_OPERATION);
    call->gn = operation_gn;
    return push(std::move(call));
}

bool OstrelAgent_Update_Applier::begin_scope(const ostrel_scope& scope) {
    std::unique_ptr<Call> call = make_call(Call::BEGIN_SCOPE);
    call->scope = scope;
    return push(std::move(call));
}

bool OstrelAgent_Update_Applier::begin_vob(const qel_uuid_s& replica, const qel_oid_s& family) {
    std::unique_ptr<Call> call = make_call(Call::BEGIN_VOB);
    call->replica = replica;
    call->oid = family;
    return push(std::move(call));
}

bool OstrelAgent_Update_Applier::update_object(const qel_uuid_s& replica, const qel_oid_s& parent,
                                               const std::string& path, const std::string& previous_version,
                                               const std::string& current_version, const ostrel_vstat& object,
                                               const ostrel_vstat& element) {
    std::unique_ptr<Call> call = make_call(Call::UPDATE_OBJECT);
    call->replica = replica;
    call->oid = parent;
    call->path = path;
    call->previous_version = previous_version;
    call->current_version = current_version;
    call->object = object;
    call->element = element;
    return push(std::move(call));
}

bool OstrelAgent_Update_Applier::unload_object(const qel_uuid_s& replica, const qel_oid_s& parent,
                                               const std::string& path, const qel_oid_s& object) {
    std::unique_ptr<Call> call = make_call(Call::UNLOAD_OBJECT);
    call->replica = replica;
    call->oid = parent;
    call->path = path;
    call->object_oid = object;
    return push(std::move(call));
}

bool OstrelAgent_Update_Applier::end_scope() { return push(make_call(Call::END_SCOPE)); }

bool OstrelAgent_Update_Applier::end_vob() { return push(make_call(Call::END_VOB)); }

bool OstrelAgent_Update_Applier::end_operation() {
    return push(make_call(Call::END_OPERATION));
}

std::unique_ptr<OstrelAgent_Update_Applier::Call> OstrelAgent_Update_Applier::make_call(int kind) {
    std::unique_ptr<Call> call;
    if (!m_spare.empty()) {
        call = std::move(m_spare.back());
        m_spare.pop_back();
    } else {
        call.reset(new Call);
    }
    call->kind = static_cast<Call::Kind>(kind);
    return call;
}

bool OstrelAgent_Update_Applier::push(std::unique_ptr<Call> call) {
    OstrelAgent_Mutex_Guard guard(m_mutex);
    // The records given back come along while the lock is held anyway.
    if (m_spare.empty()) m_spare.swap(m_returned);
    throw_failure();
    if (!m_thread) {
        // No applier thread: the call reaches the target now.
        if (!m_listening || m_closed) return false;
        guard.unlock();
        deliver(*call);
        guard.lock();
        throw_failure();
        return m_listening;
    }
    while (m_listening && !m_closed && m_queue.size() >= m_bound) {
        if (m_applier_waiting) norvanethread_cond_signal(&m_queued);
        m_transfer_waiting = true;
        norvanethread_cond_wait(&m_room, &m_mutex);
        m_transfer_waiting = false;
    }
    throw_failure();
    if (!m_listening || m_closed) return false;
    m_queue.push_back(std::move(call));
    if (m_queue.size() > m_high_water) m_high_water = m_queue.size();
    m_at_hand = true;
    // A waiting applier is woken by a run of records, not by each one:
    // end_of_input wakes it for fewer.
    if (m_applier_waiting && m_queue.size() >= WAKE_RUN) norvanethread_cond_signal(&m_queued);
    return true;
}

void OstrelAgent_Update_Applier::end_of_input() {
    OstrelAgent_Mutex_Guard guard(m_mutex);
    if (!m_thread) {
        guard.unlock();
        deliver_end_of_input();
        return;
    }
    m_at_hand = false;
    if (m_applier_waiting) norvanethread_cond_signal(&m_queued);
}

void OstrelAgent_Update_Applier::end_of_stream() {
    finish();
    OstrelAgent_Mutex_Guard guard(m_mutex);
    throw_failure();
}

void OstrelAgent_Update_Applier::finish() {
    {
        OstrelAgent_Mutex_Guard guard(m_mutex);
        if (m_closed) return;
        m_closed = true;
        m_at_hand = false;
        norvanethread_cond_signal(&m_queued);
    }
    if (m_thread) m_thread->join();
}

std::size_t OstrelAgent_Update_Applier::high_water() const {
    OstrelAgent_Mutex_Guard guard(m_mutex);
    return m_high_water;
}

void OstrelAgent_Update_Applier::throw_failure() {
    if (!m_failure || m_failure_thrown) return;
    m_failure_thrown = true;
    std::rethrow_exception(m_failure);
}

// ---- the applier's side --------------------------------------------------------------------

void OstrelAgent_Update_Applier::run() {
    OstrelAgent_Mutex_Guard guard(m_mutex);
    std::deque<std::unique_ptr<Call>> calls;
    for (;;) {
        if (!m_queue.empty()) {
            // Every queued record at once: the lock is taken once a run.
            calls.swap(m_queue);
            if (m_transfer_waiting) norvanethread_cond_signal(&m_room);
            m_unended = true;
            bool listening = m_listening;
            guard.unlock();
            for (const std::unique_ptr<Call>& call : calls) {
                if (!listening) break;
                listening = deliver(*call);
            }
            guard.lock();
            for (std::unique_ptr<Call>& call : calls) {
                if (m_returned.size() >= 2 * m_bound) break;
                m_returned.push_back(std::move(call));
            }
            calls.clear();
        } else if (!m_at_hand && m_unended) {
            // The transfer may wait for the server now: what the target
            // holds goes in first.
            m_unended = false;
            guard.unlock();
            deliver_end_of_input();
            guard.lock();
        } else if (m_closed) {
            return;
        } else {
            m_applier_waiting = true;
            norvanethread_cond_wait(&m_queued, &m_mutex);
            m_applier_waiting = false;
        }
    }
}

bool OstrelAgent_Update_Applier::deliver(const Call& call) {
    bool listening = false;
    try {
        switch (call.kind) {
        case Call::BEGIN_OPERATION: listening = m_target.begin_operation(call.gn); break;
        case Call::BEGIN_SCOPE: listening = m_target.begin_scope(call.scope); break;
        case Call::BEGIN_VOB: listening = m_target.begin_vob(call.replica, call.oid); break;
        case Call::UPDATE_OBJECT:
            listening = m_target.update_object(call.replica, call.oid, call.path, call.previous_version,
                                               call.current_version, call.object, call.element);
            break;
        case Call::UNLOAD_OBJECT:
            listening = m_target.unload_object(call.replica, call.oid, call.path, call.object_oid);
            break;
        case Call::END_SCOPE: listening = m_target.end_scope(); break;
        case Call::END_VOB: listening = m_target.end_vob(); break;
        case Call::END_OPERATION: listening = m_target.end_operation(); break;
        }
    } catch (...) {
        keep_failure(std::current_exception());
        return false;
    }
    if (listening) return true;
    OstrelAgent_Mutex_Guard guard(m_mutex);
    m_listening = false;
    norvanethread_cond_broadcast(&m_room);
    return false;
}

void OstrelAgent_Update_Applier::deliver_end_of_input() {
    try {
        m_target.end_of_input();
    } catch (...) {
        keep_failure(std::current_exception());
    }
}

void OstrelAgent_Update_Applier::keep_failure(std::exception_ptr failure) {
    OstrelAgent_Mutex_Guard guard(m_mutex);
    if (!m_failure) m_failure = std::move(failure);
    m_listening = false;
    m_queue.clear();
    norvanethread_cond_broadcast(&m_room);
}
