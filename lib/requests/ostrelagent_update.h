#pragma once
// Update: brings the loaded content of the view to the server's current
// state. A full update runs on a thread of its own: the request claims the
// view's one update slot for a copy of itself, starts the copy's run
// (OstrelAgent_Async_Update) and replies as soon as the run has begun, that
// is once the server's stream has given the view its new generation number
// (or the run ended before that). The run's outcome goes to the update log,
// whose path the reply names.
//
// The run (do_view_update) reads the view's load scopes and generation
// number, hands the server's stream to a listener that applies it to the
// view database and queues a background cleartext fetch for every file
// version it loads, and ends (end_view_update) once the stream and every
// fetch it queued have ended: the log's tail is written and the slot freed.
//
// A surgical update (do_surgical_update) updates chosen paths instead, on
// the caller's thread: it waits for the slot rather than being refused,
// applies the server's objects into the scope its creator gave
// (OstrelAgent_Surgical_Listener) and replies once they and their cleartext
// fetches are done. Other operations make internal updates (the default
// constructor) to hold the slot or to update chosen paths.
//
// Request: root "Update" ("version", "tx-id" required), an optional
// "update-flags" with the attributes "hijack-treatment" ("keep",
// "overwrite", "rename"), "ptime", "force", "resume", "surgical" (each
// "true" sets it, another non-empty text clears it), and for a surgical
// update "update-paths" with one path per child. Reply: the envelope and
// always "log-file", the update log's path (empty without a log).
//
// Locks: g_blocking_lock (of OstrelAgent_Fetch_Owner) guards the count of
// the running update's outstanding background fetches, g_rpc_complete and
// every operation's background status; it is a leaf (the update log's
// records are written outside it).

#include <memory>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_util.h"
#include "lib/fetch/ostrelagent_fetch_owner.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "platform/norvanethread/norvanethread.h"
#include "xdr/ostrelxdr_blob.h"

class NorvaneXmlElem;
class OstrelAgent_Log_Update;

class OstrelAgent_Update : public OstrelAgent_AbstractOp, public OstrelAgent_Fetch_Owner {
public:
    static constexpr const char* TAG_UPDATE_FLAGS = "update-flags";
    static constexpr const char* TAG_UPDATE_PATHS = "update-paths";
    static constexpr const char* TAG_LOG_FILE = "log-file";
    static constexpr const char* ATTR_HIJACK_TREATMENT = "hijack-treatment";
    static constexpr const char* ATTR_PTIME = "ptime";
    static constexpr const char* ATTR_FORCE = "force";
    static constexpr const char* ATTR_RESUME = "resume";
    static constexpr const char* ATTR_SURGICAL = "surgical";
    static constexpr const char* TRUE_TEXT = "true";

    OstrelAgent_Update(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    // An internal update (surgical unless its creator changes that).
    OstrelAgent_Update();
    ~OstrelAgent_Update() override;

    void process_request() override;
    std::string get_response() override;

    void parse_request();
    // Claims the slot for a copy of this operation and starts the copy's
    // run; `gn` gets the view's generation number as the slot had it. False
    // when the slot is taken (status unchanged) or the log could not be made
    // (status set).
    bool queue_view_update(unsigned int& gn);
    void init_log();
    // A background cleartext fetch of this run failed (called on pool
    // threads): its status becomes the background status and its message
    // an "Error:" line of the log.
    void bg_error(int status, const std::string& message) override;

    // The full run; `from_restore` leaves the log's head and tail and the
    // slot to the caller.
    void do_view_update(bool from_restore);
    // Waits for the run's background fetches, writes the log's tail and
    // frees the slot.
    void end_view_update();
    // Returns once every background fetch that the run queued has ended:
    // their listeners point to this operation.
    void wait_for_background_fetches();
    // A run that succeeded takes the status of a failed background fetch.
    void take_background_status();
    void log_start_update();
    void log_end_update();
    // Updates the paths alone, on this thread: waits for the slot (a
    // running update ends first), applies the server's stream and frees the
    // slot once the cleartext fetches it queued have ended. The outcome is
    // the remote call's, else the first object that could not be applied,
    // with every such object's text in the message.
    void do_surgical_update();

    // --- fields ---
    OstrelAgent_Log_Update* get_log() const { return m_log.get(); }
    OstrelAgent_Util::HijackTreatment get_hijack_treatment() const { return m_hijack_treatment; }
    void set_hijack_treatment(OstrelAgent_Util::HijackTreatment treatment) { m_hijack_treatment = treatment; }
    int get_preserve_times() const { return m_preserve_times; }
    int get_force() const { return m_force; }
    int get_resume() const { return m_resume; }
    int get_update_ondemand_scopes() const { return m_update_ondemand_scopes; }
    int get_surgical() const { return m_surgical; }
    void set_surgical(int surgical) { m_surgical = surgical; }
    const std::vector<std::string>& get_paths() const { return m_paths; }
    void set_paths(const std::vector<std::string>& paths) { m_paths = paths; }
    // The load scope whose load a surgical update ends.
    const ostrel_scope& get_scope() const { return m_scope; }
    void set_scope(const ostrel_scope& scope) { m_scope = scope; }
    int get_bg_status();

protected:
    // Reads "hijack-treatment" and "ptime" of a request's flags; an unknown
    // treatment refuses the request (false).
    bool parse_treatment_flags(const NorvaneXmlElem& flags);
    // The reply under the root `tag`: the envelope and "log-file".
    std::string reply_with_log(const std::string& tag);

    std::unique_ptr<OstrelAgent_Log_Update> m_log;
    OstrelAgent_Util::HijackTreatment m_hijack_treatment = OstrelAgent_Util::HIJACK_KEEP;
    int m_preserve_times = 0;
    int m_force = 0;
    int m_resume = 0;
    int m_update_ondemand_scopes = 1;
    std::string m_spare_text;
    int m_surgical = 0;
    std::vector<std::string> m_paths;
    ostrel_scope m_scope{};
    int m_cancelled = 0;
    int m_bg_status = 0; // guarded by g_blocking_lock
};
