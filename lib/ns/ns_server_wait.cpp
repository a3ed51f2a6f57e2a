#include "lib/ns/ns_server_wait.h"

#include <functional>
#include <map>
#include <utility>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ns_content_fetch.h"

namespace {

using Reach = Ns_Content_Fetch::Reach;

const char* const SOURCE = "lib/ns/ns_server_wait";
// An operation that keeps meeting new questions ends after this many waits,
// with the failure of its last run.
constexpr unsigned MAX_WAITS = 1000;
// What a call that gave up returns to its caller.
constexpr int GAVE_UP = OstrelAgent_Status::GENERAL_FAILURE;

// What content fetch answered to one question.
struct Answer {
    int status = 0;
    unsigned elem_dbid = 0;
    unsigned obj_dbid = 0;
    ostrel_vstat vstat{};
    std::vector<ostrelagent_dirent> listing;
    std::string relpath;
};

// A question with its own copies of its arguments, asked as far as the
// reach allows.
using Question = std::function<void(Reach, Answer&)>;

} // namespace

struct Ns_Server_Wait::Runs::State {
    std::map<std::string, Answer> answers;  // by question
    Question pending;                       // the question the last run gave up for
    std::string pending_key;
    unsigned waits = 0;
    bool committed = false;                 // the run changes the view database
};

namespace {

thread_local Ns_Server_Wait::Runs::State* t_runs = nullptr;

// A question's key: its kind, the VOB, and what it names there.
std::string key_of(char kind, const qel_uuid_s& vob, unsigned dbid, const std::string& name) {
    std::string key(1, kind);
    key.append(reinterpret_cast<const char*>(&vob), sizeof vob);
    key.append(reinterpret_cast<const char*>(&dbid), sizeof dbid);
    return key + name;
}

// Asks `question` (named `key`) and hands its answer over through `take`.
int ask(const std::string& key, Question question, const std::function<int(const Answer&)>& take) {
    if (t_runs != nullptr) {
        auto known = t_runs->answers.find(key);
        if (known != t_runs->answers.end()) return take(known->second);
    }
    Answer answer;
    if (!Ns_Cache_Lock::held()) {
        question(Reach::SERVER, answer);
        if (t_runs != nullptr) return take(t_runs->answers[key] = std::move(answer));
        return take(answer);
    }
    // A run that gave up hurries to its end.
    if (t_runs != nullptr && t_runs->pending) return GAVE_UP;
    question(Reach::AT_HAND, answer);
    if (answer.status != Ns_Content_Fetch::NEEDS_SERVER) return take(answer);
    if (t_runs == nullptr || t_runs->committed) {
        OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "ns_server_wait", "ask");
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                         "a question for the server where the namespace lock cannot be given up: not asked");
        return GAVE_UP;
    }
    t_runs->pending = std::move(question);
    t_runs->pending_key = key;
    return GAVE_UP;
}

} // namespace

Ns_Server_Wait::Runs::Runs() : m_state(new State) { t_runs = m_state.get(); }

Ns_Server_Wait::Runs::~Runs() { t_runs = nullptr; }

bool Ns_Server_Wait::Runs::wait() {
    State& runs = *m_state;
    if (!runs.pending) return false;
    if (Ns_Cache_Lock::held()) ns_fatal(SOURCE, __LINE__, "no namespace lock held while the server is awaited");
    Question question = std::move(runs.pending);
    runs.pending = nullptr;
    if (++runs.waits > MAX_WAITS) {
        OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "ns_server_wait", "wait");
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "an operation met %u questions for the server: ended",
                         MAX_WAITS);
        return false;
    }
    Answer answer;
    // Whatever the fetch asks of the namespace runs as operations of its own.
    t_runs = nullptr;
    question(Reach::SERVER, answer);
    t_runs = &runs;
    runs.answers[runs.pending_key] = std::move(answer);
    return true;
}

bool Ns_Server_Wait::outermost() { return t_runs == nullptr && !Ns_Cache_Lock::held(); }

bool Ns_Server_Wait::given_up() { return t_runs != nullptr && static_cast<bool>(t_runs->pending); }

void Ns_Server_Wait::commit() {
    if (t_runs == nullptr) return;
    t_runs->committed = true;
    t_runs->pending = nullptr;
}

int Ns_Server_Wait::lookup_obj(const qel_uuid_s& vob, unsigned dir_dbid, const std::string& name,
                               unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out) {
    return ask(
        key_of('l', vob, dir_dbid, name),
        [vob, dir_dbid, name](Reach reach, Answer& a) {
            a.status = Ns_Content_Fetch::get().lookup_obj(vob, dir_dbid, 0, name, a.elem_dbid, a.obj_dbid, a.vstat,
                                                          reach);
        },
        [&](const Answer& a) {
            elem_dbid = a.elem_dbid;
            obj_dbid = a.obj_dbid;
            out = a.vstat;
            return a.status;
        });
}

int Ns_Server_Wait::bindroot(const qel_uuid_s& vob, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out) {
    return ask(
        key_of('r', vob, 0, ""),
        [vob](Reach reach, Answer& a) {
            a.status = Ns_Content_Fetch::get().bindroot(vob, a.elem_dbid, a.obj_dbid, a.vstat, reach);
        },
        [&](const Answer& a) {
            elem_dbid = a.elem_dbid;
            obj_dbid = a.obj_dbid;
            out = a.vstat;
            return a.status;
        });
}

int Ns_Server_Wait::readdir_obj(const qel_uuid_s& vob, unsigned dir_dbid, std::vector<ostrelagent_dirent>& out) {
    return ask(
        key_of('d', vob, dir_dbid, ""),
        [vob, dir_dbid](Reach reach, Answer& a) {
            a.status = Ns_Content_Fetch::get().readdir_obj(vob, dir_dbid, a.listing, reach);
        },
        [&](const Answer& a) {
            out = a.listing;
            return a.status;
        });
}

int Ns_Server_Wait::get_cleartext(const qel_uuid_s& vob, unsigned version, const std::string& cache_dir,
                                  std::string& relpath) {
    return ask(
        key_of('c', vob, version, cache_dir),
        [vob, version, cache_dir](Reach reach, Answer& a) {
            a.status = Ns_Content_Fetch::get().get_cleartext(vob, version, cache_dir, a.relpath, reach);
        },
        [&](const Answer& a) {
            relpath = a.relpath;
            return a.status;
        });
}
