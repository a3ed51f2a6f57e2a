#pragma once
// How a namespace operation waits for the server: never with the namespace
// mutex held.
//
// An operation holds the mutex for its whole run (Ns_Rpc_Frame), calls other
// operations and the caches several levels deep, and keeps cache entries in
// hand all the way; giving the mutex up halfway would leave those entries to
// other threads' flushes. So an operation that meets a question only the
// server can answer (a name, a listing or a VOB root that the view database
// lacks, a version's cleartext that the cache lacks, or one of these being
// fetched by another thread already) does not wait where it meets it. The
// question is noted and the call fails; every caller returns as from any
// failure, giving back what it holds; and the outermost one, run by
// Ns_Server_Wait::run with no lock held, asks the server (or waits for the
// other thread's fetch), keeps the answer, and runs the whole operation
// again. That run finds the answer where it asked before and checks all the
// rest afresh under the mutex: a handle whose object went meanwhile is
// stale, a name that went is not found.
//
// A run that gave up reports none of its failures (ns_error writes nothing
// then). A question met under the mutex outside such a run (an update's
// batch, a lock taken by hand), or after the operation began its change of
// the view database (which a second run would repeat), cannot wait: it is
// answered from what the agent holds, or fails.

#include <memory>
#include <string>
#include <vector>

#include "lib/ostreladb/ostrelagent_dirent.h"
#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

class Ns_Server_Wait {
public:
    // Runs `op`, a namespace operation that takes the mutex itself, until a
    // run of it ends without a question for the server; each question is
    // asked between two runs, with no lock held. Inside another operation
    // `op` runs once: the outermost operation waits.
    template <typename Op>
    static int run(Op&& op) {
        if (!outermost()) return op();
        Runs runs;
        for (;;) {
            const int status = op();
            if (!runs.wait()) return status;
        }
    }

    // The namespace floor's questions of content fetch that may need the
    // server, with Ns_Content_Fetch's results.
    static int lookup_obj(const qel_uuid_s& vob, unsigned dir_dbid, const std::string& name, unsigned& elem_dbid,
                          unsigned& obj_dbid, ostrel_vstat& out);
    static int bindroot(const qel_uuid_s& vob, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out);
    static int readdir_obj(const qel_uuid_s& vob, unsigned dir_dbid, std::vector<ostrelagent_dirent>& out);
    static int get_cleartext(const qel_uuid_s& vob, unsigned version, const std::string& cache_dir,
                             std::string& relpath);

    // Whether this thread's operation gave up to wait for the server.
    static bool given_up();
    // The operation is about to change the view database: it will not run
    // again, so a question met from here on is answered from what the agent
    // holds, or fails. A question it gave up for before (a failure it went
    // past) is dropped: that failure stands.
    static void commit();

    // The runs of one outermost operation (run's alone), the thread's while
    // it lives: the answers it got so far and the question it gave up for.
    class Runs {
    public:
        Runs();
        ~Runs();
        Runs(const Runs&) = delete;
        Runs& operator=(const Runs&) = delete;
        // Asks the question the last run gave up for: true when there was
        // one (the operation runs again).
        bool wait();

        struct State;

    private:
        std::unique_ptr<State> m_state;
    };

private:
    // Whether the thread is in no operation and holds no namespace lock.
    static bool outermost();
};
