#pragma once
// What every namespace operation shares: its trace, the cache mutex for the
// whole call, and the objects its handles and look-ups name, given back when
// the operation ends; and the run of an operation (ns_operation), which
// makes a frame for each run and runs again after each wait for the server.
// Internal to lib/ns/ns_rpc* and lib/ns/ns_readdir.

#include <cstddef>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ns_locate.h"
#include "lib/ns/ns_server_wait.h"
#include "platform/pfm/pfm.h"

class Ns_Rpc_Frame;

// Runs the namespace operation `op` (its trace's name): `body` gets a fresh
// frame for each run and returns the operation's status. A question for the
// server ends a run early; the server is asked with no lock held and the
// body runs again (ns_server_wait.h), so it must start from its inputs
// alone each time.
template <typename Body>
int ns_operation(const char* op, Body&& body);

class Ns_Rpc_Frame {
public:
    ~Ns_Rpc_Frame() {
        for (size_t i = 0; i < count_; ++i) obj_free(held_[i]);
    }
    Ns_Rpc_Frame(const Ns_Rpc_Frame&) = delete;
    Ns_Rpc_Frame& operator=(const Ns_Rpc_Frame&) = delete;

    // The handle's object, held until the end; null with the status.
    obj_entry* validate(view_fhandle* fh, int* ext_name, int* status) {
        return hold(locate_validate_fhandle(fh, ext_name, status));
    }
    // The handle's object for a change: as validate, and refused (1080)
    // through an extended-name handle.
    obj_entry* validate_writable(view_fhandle* fh, int* status) {
        int ext_name = 0;
        obj_entry* obj = validate(fh, &ext_name, status);
        if (obj != nullptr && ext_name) {
            *status = QEL_ST_READ_ONLY;
            return nullptr;
        }
        return obj;
    }
    // Holds a referenced object (null passes) until the end.
    obj_entry* hold(obj_entry* obj) {
        if (obj == nullptr) return nullptr;
        if (count_ == MAX_HELD) ns_fatal("lib/ns/ns_rpc", __LINE__, "too many objects held");
        held_[count_++] = obj;
        return obj;
    }
    // The reference to `obj` was given away (flushed, or taken by a call).
    void forget(obj_entry* obj) {
        for (size_t i = 0; i < count_; ++i) {
            if (held_[i] == obj) {
                held_[i] = held_[--count_];
                return;
            }
        }
    }
    // Gives `obj`'s reference back now.
    void release(obj_entry* obj) {
        forget(obj);
        obj_free(obj);
    }
    const OstrelAgent_Trace& trace() const { return trace_; }

private:
    // Only ns_operation makes frames, so every operation can be run again.
    explicit Ns_Rpc_Frame(const char* op) : trace_(OstrelAgent_Trace::OSTRELAGENT, "ns_rpc", op) {}
    template <typename Body>
    friend int ns_operation(const char* op, Body&& body);

    static constexpr size_t MAX_HELD = 8;
    OstrelAgent_Trace trace_;
    Ns_Cache_Lock lock_;
    obj_entry* held_[MAX_HELD] = {};
    size_t count_ = 0;
};

template <typename Body>
int ns_operation(const char* op, Body&& body) {
    return Ns_Server_Wait::run([&]() -> int {
        Ns_Rpc_Frame frame(op);
        return body(frame);
    });
}

// Holds off asynchronous signals for a view-database write.
class Ns_Signals_Held {
public:
    Ns_Signals_Held() { pfm_inhibit(); }
    ~Ns_Signals_Held() { pfm_enable(); }
    Ns_Signals_Held(const Ns_Signals_Held&) = delete;
    Ns_Signals_Held& operator=(const Ns_Signals_Held&) = delete;
};

// The write of the change an operation is made for (not the records a
// look-up sets right on its way, which a second run would find right
// already): signals held off, and the operation runs to its end from here,
// never again (Ns_Server_Wait::commit).
class Ns_Change_Write {
public:
    Ns_Change_Write() { Ns_Server_Wait::commit(); }
    Ns_Change_Write(const Ns_Change_Write&) = delete;
    Ns_Change_Write& operator=(const Ns_Change_Write&) = delete;

private:
    Ns_Signals_Held m_signals;
};
