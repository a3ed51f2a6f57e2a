// The applier of a view update's stream, between the transfer (the test's
// thread) and a recording listener: every call arrives whole, in stream
// order, on one thread of the applier's own; the listener hears
// end_of_input only once the queue is dry and the transfer has handed over
// its piece; the queue never holds more than its bound, the transfer
// waiting for room meanwhile; and the listener's refusal and failures end
// its calls and reach the transfer once.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib/core/ostrelagent_status.h"
#include "lib/client/update_call_lines.h"
#include "lib/fetch/ostrelagent_update_applier.h"

namespace {

namespace S = OstrelAgent_Status;
using lib_test::text;
using Calls = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

qel_oid_s oid(unsigned n) {
    qel_oid_s o = QEL_OID_NULL;
    std::memcpy(&o, &n, sizeof n);
    return o;
}
qel_uuid_s uuid(unsigned n) {
    qel_uuid_s u = QEL_UUID_NULL;
    std::memcpy(&u, &n, sizeof n);
    return u;
}

// Polls `done` until it holds or 10 s have passed.
bool eventually(const std::function<bool()>& done) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// Each call as one line, with the threads they came on. Call number
// `gate_at` (from 1) waits until the gate opens; call `refuse_at` answers
// false; call `fail_at` throws `failure`.
class Recorder : public client_test::Update_Call_Lines {
public:
    void end_of_input() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back("input");
        m_threads.insert(std::this_thread::get_id());
    }

    Calls calls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    size_t count() const { return calls().size(); }
    std::set<std::thread::id> threads() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_threads;
    }
    void open_gate() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_opened.notify_all();
    }

    size_t gate_at = 0;
    size_t refuse_at = 0;
    size_t fail_at = 0;
    std::function<void()> failure;

private:
    bool note(const std::string& call) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_calls.push_back(call);
        m_threads.insert(std::this_thread::get_id());
        ++m_made;
        if (m_made == gate_at) m_opened.wait(lock, [this] { return m_open; });
        if (m_made == fail_at) failure();
        return m_made != refuse_at;
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_opened;
    Calls m_calls;
    std::set<std::thread::id> m_threads;
    size_t m_made = 0;
    bool m_open = false;
};

// Object n as the transfer hands it over, and its line.
bool load(RClient_Update_Listener& l, unsigned n) {
    ostrel_vstat object{};
    object.vstat.obj_oid = oid(n);
    std::snprintf(object.link_text, sizeof object.link_text, "t%u", n);
    ostrel_vstat element{};
    element.vstat.obj_oid = oid(n + 1);
    return l.update_object(uuid(1), oid(2), "/v/f" + std::to_string(n), "/main/1", "/main/2", object, element);
}
std::string load_line(unsigned n) {
    return "update /v/f" + std::to_string(n) + " /main/1>/main/2 " + text(uuid(1)) + " " + text(oid(2)) + " obj " +
           text(oid(n)) + " t" + std::to_string(n) + " elem " + text(oid(n + 1));
}

// The whole stream, each argument overwritten as soon as its call returns
// (the applier keeps copies): every call arrives in order, on one thread
// that is not the transfer's, then end_of_input once the piece is over.
TEST(UpdateApplier, CallsArriveWholeInStreamOrderOnTheAppliersThread) {
    Recorder recorder;
    {
        OstrelAgent_Update_Applier applier(recorder);
        EXPECT_TRUE(applier.begin_operation(7));
        ostrel_scope scope{};
        scope.scope_oid = oid(5);
        scope.gn = 7;
        std::snprintf(scope.pname, sizeof scope.pname, "/vobs/a");
        EXPECT_TRUE(applier.begin_scope(scope));
        std::memset(&scope, 0, sizeof scope);
        qel_uuid_s replica = uuid(1);
        qel_oid_s family = oid(9);
        EXPECT_TRUE(applier.begin_vob(replica, family));
        replica = QEL_UUID_NULL;
        family = QEL_OID_NULL;
        ostrel_vstat object{};
        ostrel_vstat element{};
        std::string path, previous, current;
        for (unsigned n = 10; n < 40; n += 10) {
            object.vstat.obj_oid = oid(n);
            std::snprintf(object.link_text, sizeof object.link_text, "t%u", n);
            element.vstat.obj_oid = oid(n + 1);
            path = "/v/f" + std::to_string(n);
            previous = "/main/1";
            current = "/main/2";
            EXPECT_TRUE(applier.update_object(uuid(1), oid(2), path, previous, current, object, element));
            path.assign(300, 'x');
            previous.clear();
            object.link_text[0] = '\0';
        }
        qel_oid_s gone = oid(44);
        EXPECT_TRUE(applier.unload_object(uuid(1), oid(2), "/v/gone", gone));
        gone = QEL_OID_NULL;
        EXPECT_TRUE(applier.end_vob());
        EXPECT_TRUE(applier.end_scope());
        EXPECT_TRUE(applier.end_operation());
        applier.end_of_input();
        applier.end_of_stream();
    }
    EXPECT_EQ(recorder.calls(),
              (Calls{"begin 7", "scope " + text(oid(5)) + " /vobs/a 7", "vob " + text(uuid(1)) + " " + text(oid(9)),
                     load_line(10), load_line(20), load_line(30),
                     "unload /v/gone " + text(uuid(1)) + " " + text(oid(2)) + " " + text(oid(44)), "end vob",
                     "end scope", "end operation", "input"}));
    const std::set<std::thread::id> threads = recorder.threads();
    EXPECT_EQ(1u, threads.size());
    EXPECT_EQ(0u, threads.count(std::this_thread::get_id()));
}

// While the transfer is inside a piece the listener's batch stays open
// even when the records queued so far are applied; once the piece is handed
// over it hears end_of_input, once per piece, and nothing more at the
// stream's end. A waiting applier takes records a run at a time: a piece of
// two runs is applied, all but fewer than a run, before its end.
TEST(UpdateApplier, EndOfInputComesOnlyWhenTheQueueIsDryAndThePieceHandedOver) {
    Recorder recorder;
    OstrelAgent_Update_Applier applier(recorder);
    Calls expected;
    const unsigned pieces = 20, run = OstrelAgent_Update_Applier::WAKE_RUN;
    for (unsigned p = 0; p < pieces; ++p) {
        const unsigned first = 1000 * p;
        for (unsigned n = 0; n < 2 * run; ++n) {
            EXPECT_TRUE(load(applier, first + n));
            expected.push_back(load_line(first + n));
        }
        // Inside the piece: its records reach the listener, no end of input.
        ASSERT_TRUE(eventually([&] { return recorder.count() + (run - 1) >= expected.size(); }));
        const Calls seen = recorder.calls();
        EXPECT_EQ(p, static_cast<unsigned>(std::count(seen.begin(), seen.end(), "input")));
        EXPECT_EQ(Calls(expected.begin(), expected.begin() + seen.size()), seen);
        applier.end_of_input();
        expected.push_back("input");
        ASSERT_TRUE(eventually([&] { return recorder.count() >= expected.size(); }));
    }
    applier.end_of_stream();
    EXPECT_EQ(expected, recorder.calls());
}

// A listener slower than the transfer: the queue fills to its bound and
// the transfer waits for room, then everything arrives in order. At most
// twice the bound is held: the run the applier took and a full queue.
TEST(UpdateApplier, TheQueueHoldsAtMostItsBoundWhileTheTransferWaitsForRoom) {
    const size_t bound = 4;
    const unsigned objects = 40;
    Recorder recorder;
    recorder.gate_at = 1;
    OstrelAgent_Update_Applier applier(recorder, bound);
    std::atomic<unsigned> handed{0};
    std::thread transfer([&] {
        for (unsigned n = 0; n < objects; ++n, ++handed) EXPECT_TRUE(load(applier, n));
        applier.end_of_input();
    });
    // One call held by the listener with the rest of its run (the run is
    // whatever was queued when the applier looked: one record up to a full
    // queue), the queue filled again to `bound`, the next call waiting.
    EXPECT_TRUE(eventually([&] { return recorder.count() == 1 && handed.load() > bound; }));
    EXPECT_LE(handed.load(), 2 * bound);
    EXPECT_EQ(bound, applier.high_water());
    recorder.open_gate();
    transfer.join();
    applier.end_of_stream();
    EXPECT_EQ(objects, handed.load());
    EXPECT_EQ(bound, applier.high_water());
    Calls expected;
    for (unsigned n = 0; n < objects; ++n) expected.push_back(load_line(n));
    expected.push_back("input");
    EXPECT_EQ(expected, recorder.calls());
}

// Records go back to the transfer once passed on and are filled again: a
// stream many times the queue's bound, whose calls of different kinds and
// lengths follow one another, arrives exactly as sent, nothing of an
// earlier call showing through a later one in the same record.
TEST(UpdateApplier, RecordsFilledAgainCarryOnlyTheirNewCall) {
    const size_t bound = 3;
    Recorder recorder;
    Calls expected;
    {
        OstrelAgent_Update_Applier applier(recorder, bound);
        for (unsigned n = 0; n < 120; ++n) {
            switch (n % 4) {
            case 0: {
                // A long path and both versions, then a short one with no
                // previous version and no link text.
                ostrel_vstat object{};
                object.vstat.obj_oid = oid(n);
                std::snprintf(object.link_text, sizeof object.link_text, "target-%u", n);
                ostrel_vstat element{};
                element.vstat.obj_oid = oid(n + 1);
                const std::string path = "/v/" + std::string(40, 'p') + std::to_string(n);
                EXPECT_TRUE(applier.update_object(uuid(1), oid(2), path, "/main/1", "/main/2", object, element));
                expected.push_back("update " + path + " /main/1>/main/2 " + text(uuid(1)) + " " + text(oid(2)) +
                                   " obj " + text(oid(n)) + " target-" + std::to_string(n) + " elem " +
                                   text(oid(n + 1)));
                break;
            }
            case 1: {
                ostrel_vstat object{};
                object.vstat.obj_oid = oid(n);
                ostrel_vstat element{};
                EXPECT_TRUE(applier.update_object(uuid(3), oid(4), "/v/s", "", "/main/0", object, element));
                expected.push_back("update /v/s >/main/0 " + text(uuid(3)) + " " + text(oid(4)) + " obj " +
                                   text(oid(n)) + "  elem " + text(QEL_OID_NULL));
                break;
            }
            case 2:
                EXPECT_TRUE(applier.unload_object(uuid(1), oid(2), "/v/u", oid(n)));
                expected.push_back("unload /v/u " + text(uuid(1)) + " " + text(oid(2)) + " " + text(oid(n)));
                break;
            default:
                EXPECT_TRUE(applier.end_vob());
                expected.push_back("end vob");
                break;
            }
        }
        applier.end_of_input();
        applier.end_of_stream();
    }
    expected.push_back("input");
    EXPECT_EQ(expected, recorder.calls());
}

// The listener's refusal or failure at some call: it gets no later call
// but end_of_input; a refusal makes the transfer's calls answer false; a
// failure is thrown on the transfer's thread exactly once (by a later call
// or, when it came last, by end_of_stream), and later calls answer false.
TEST(UpdateApplier, ARefusalOrAFailureEndsTheListenersCallsAndReachesTheTransferOnce) {
    const unsigned objects = 12;
    enum Outcome { REFUSED, STOPPED, NO_MEMORY };
    const struct {
        const char* name;
        size_t at; // the call, from 1
        Outcome outcome;
    } cases[] = {
        {"refused at the third call", 3, REFUSED},
        {"refused at the last call", objects, REFUSED},
        {"stopped at the third call", 3, STOPPED},
        {"stopped at the last call", objects, STOPPED},
        {"out of memory at the fifth call", 5, NO_MEMORY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder recorder;
        if (c.outcome == REFUSED) {
            recorder.refuse_at = c.at;
        } else {
            recorder.fail_at = c.at;
            if (c.outcome == STOPPED)
                recorder.failure = [] { throw RClient_Listener_Exception(S::RC_LISTENER_STOPPED); };
            else
                recorder.failure = [] { throw std::bad_alloc(); };
        }
        OstrelAgent_Update_Applier applier(recorder);
        int stops = 0, no_memory = 0;
        bool answered_false = false;
        bool thrown_before_false = true;
        auto guarded = [&](const std::function<bool()>& call) {
            try {
                if (!call()) answered_false = true;
            } catch (const RClient_Listener_Exception& e) {
                EXPECT_EQ(S::RC_LISTENER_STOPPED, e.get_code());
                ++stops;
                thrown_before_false = !answered_false;
            } catch (const std::bad_alloc&) {
                ++no_memory;
                thrown_before_false = !answered_false;
            }
        };
        for (unsigned n = 0; n < objects; ++n) guarded([&] { return load(applier, n); });
        applier.end_of_input();
        guarded([&] {
            applier.end_of_stream();
            return true;
        });
        // Nothing is thrown twice.
        guarded([&] { return load(applier, 99); });
        guarded([&] {
            applier.end_of_stream();
            return true;
        });

        Calls expected;
        for (unsigned n = 0; n < c.at; ++n) expected.push_back(load_line(n));
        expected.push_back("input");
        EXPECT_EQ(expected, recorder.calls());
        EXPECT_EQ(c.outcome == STOPPED ? 1 : 0, stops);
        EXPECT_EQ(c.outcome == NO_MEMORY ? 1 : 0, no_memory);
        if (c.outcome != REFUSED) {
            EXPECT_TRUE(thrown_before_false) << "false answered before the failure came";
        }
        EXPECT_TRUE(answered_false);
    }
}

} // namespace
