#pragma once
// Applies a view update's stream on a thread of its own, so that batches of
// objects may span many pieces of the server's reply without a batch ever
// being open while the transfer waits for the server.
//
// The transfer thread hands each listener call to the applier as an owned
// record in a bounded queue (it waits while the queue is full, so memory
// stays flat whatever the stream's length) and goes on reading. The
// applier takes the queued records a run at a time, and a waiting applier
// is woken by a run, not by each record, so that the two threads do not
// hand over every object. The
// applier thread passes the records to the target listener in stream
// order, and tells it end_of_input (commit what you hold) only when
// nothing is queued and the transfer has handed over everything it had at
// hand (its own end_of_input): the transfer may then wait for the server.
// While the transfer is still parsing a piece it already holds, the
// applier waits for the piece's next record with its batch open.
//
// Answers: a call returns true while the target goes on listening. Once
// the target answers false it gets no further call and the transfer's
// calls answer false. An exception the target throws ends its calls too
// (the rest is dropped; end_of_input still follows) and is thrown again
// on the transfer thread, once: from its next call, or from end_of_stream
// when the stream has ended.
//
// Records go back to the transfer once passed on and are filled again, so
// that a long stream costs no allocation per object for them.
//
// finish() (also end_of_stream and the destructor) waits until everything
// queued has been passed on and ends the thread; the target's results may
// be read after it. Calls that come after finish() are dropped.

#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "lib/client/rclient_update_listener.h"
#include "platform/norvanethread/norvanethread.h"

class OstrelAgent_Update_Applier : public RClient_Update_Listener {
public:
    // Two full batches: one being applied while the next is parsed. The
    // applier takes every queued record at once, so up to twice as many
    // are held.
    static constexpr std::size_t DEFAULT_BOUND = 512;
    // Records queued before a waiting applier is woken (end_of_input and a
    // full queue wake it sooner).
    static constexpr std::size_t WAKE_RUN = 64;

    // `target` (not owned) hears every call on the applier thread until
    // finish(). Should the thread not start, the calls reach it at once,
    // on the caller's thread.
    explicit OstrelAgent_Update_Applier(RClient_Update_Listener& target, std::size_t bound = DEFAULT_BOUND);
    ~OstrelAgent_Update_Applier() override;

    OstrelAgent_Update_Applier(const OstrelAgent_Update_Applier&) = delete;
    OstrelAgent_Update_Applier& operator=(const OstrelAgent_Update_Applier&) = delete;

    bool begin_operation(unsigned int operation_gn) override;
    bool begin_scope(const ostrel_scope& scope) override;
    bool begin_vob(const qel_uuid_s& replica, const qel_oid_s& family) override;
    bool update_object(const qel_uuid_s& replica, const qel_oid_s& parent, const std::string& path,
                       const std::string& previous_version, const std::string& current_version,
                       const ostrel_vstat& object, const ostrel_vstat& element) override;
    bool unload_object(const qel_uuid_s& replica, const qel_oid_s& parent, const std::string& path,
                       const qel_oid_s& object) override;
    bool end_scope() override;
    bool end_vob() override;
    bool end_operation() override;
    // The transfer has handed over all it holds.
    void end_of_input() override;
    // finish(), then the target's failure, when not yet thrown.
    void end_of_stream() override;

    void finish();

    // The most records the queue has held at once.
    std::size_t high_water() const;

private:
    struct Call;
    class Thread;

    // A record of `kind` for the transfer to fill: one the applier has
    // passed on and given back when there is one (its strings keep their
    // room), else a new one. Only the fields of its kind are meaningful.
    std::unique_ptr<Call> make_call(int kind);
    // Queues `call` (waits for room): false when the target no longer
    // listens; throws the target's failure not yet thrown.
    bool push(std::unique_ptr<Call> call);
    // The applier thread's loop.
    void run();
    // One call to the target, its answer and failure kept: whether it goes
    // on listening.
    bool deliver(const Call& call);
    void deliver_end_of_input();
    void keep_failure(std::exception_ptr failure);
    // Throws the kept failure, once; the mutex is held.
    void throw_failure();

    RClient_Update_Listener& m_target;
    const std::size_t m_bound;
    std::unique_ptr<Thread> m_thread;

    // All below under m_mutex. m_queued wakes the applier, m_room the
    // transfer thread waiting for room.
    mutable norvanethread_mutex_t m_mutex;
    norvanethread_cond_t m_queued;
    norvanethread_cond_t m_room;
    std::deque<std::unique_ptr<Call>> m_queue;
    // Records passed on, for the transfer to take back (at most two
    // queues' worth), and the transfer's own supply taken from them.
    std::vector<std::unique_ptr<Call>> m_returned;
    std::vector<std::unique_ptr<Call>> m_spare;  // the transfer's alone
    std::size_t m_high_water = 0;
    bool m_at_hand = false;   // the transfer is handing over a piece it holds
    bool m_unended = false;   // calls delivered since the target's last end_of_input
    bool m_closed = false;    // finish() was called
    // Each side signals the other only when it waits.
    bool m_applier_waiting = false;
    bool m_transfer_waiting = false;
    bool m_listening = true;  // the target neither answered false nor failed
    std::exception_ptr m_failure;
    bool m_failure_thrown = false;
};
