#pragma once
// Applies a view update's stream to the view: the view database's entries
// of the objects loaded, changed and unloaded, the namespace cache's and the
// kernel's copies of them, the hijacked files in their way (by the update's
// treatment), every load scope and VOB bracketed by the database's begin and
// end steps, the load scopes removed from the configuration deleted, the
// view's new generation number stored, and one line per object in the
// update log.
//
// One listener serves one update: prepare_operation before the stream, then
// the stream's calls in order (begin_operation, per scope begin_scope, per
// VOB begin_vob, the objects, end_vob, then end_scope, and end_operation).
// Scopes are completed only in end_operation, once the whole stream has
// arrived: a stream that ends early completes none, deletes no scope and
// stores no generation number.
//
// Failures of single objects are recorded and the stream goes on: the
// status is the last failure's, the message holds every failure's text in
// order, and the update reports both at its end. A failure of a begin
// step answers false, which ends the delivery of the rest of the stream.
// Every call first asks whether the agent must stop; then it throws
// RClient_Listener_Exception with status 30013, which ends the stream
// (prepare_operation answers false instead).
//
// Calls come on one thread: the update's applier thread in a full run
// (OstrelAgent_Update_Applier), else the one that runs the remote command.
// Runs of objects are applied in batches (OstrelAgent_Update_Batch): one
// database transaction, with the namespace mutex held, per run of objects,
// whose kernel invalidations go as one call just before the commit, ended
// when it is due, before any other call of the stream, when the
// stream has no more parts at hand (end_of_input) and before a stop. Their log lines are
// written once the batch is committed. An object that fails inside a batch
// takes the batch's transaction with it; the objects before it are then
// applied again in a new batch and it alone, with transactions of its own,
// so that each object's outcome is what it would be alone. Outside batches
// (the begin and end steps) each view-database call is a transaction of its
// own and the namespace calls take the namespace mutex themselves.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lib/client/rclient_update_listener.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/fetch/ostrelagent_update_batch.h"
#include "lib/ns/ostrelagent_korva_inval_batch.h"
#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

class OstrelAgent_KORVA_Ioctl;
class OstrelAgent_Log_Update;

class OstrelAgent_View_db_listener : public RClient_Update_Listener {
public:
    // A load scope marked for deletion, with the object (and its VOB) that
    // its path name reached before the update; null ids when the path no
    // longer resolved.
    struct doomed_scope {
        ostrel_scope scope;
        qel_oid_s oid;
        qel_uuid_s uuid;
    };

    // Orders oids as qel_oid_cmp does.
    struct map_oid_compare {
        bool operator()(const qel_oid_s& a, const qel_oid_s& b) const;
    };

    // `log` (not owned) may be null: nothing is logged then.
    OstrelAgent_View_db_listener(OstrelAgent_Log_Update* log, OstrelAgent_Util::HijackTreatment treatment);
    ~OstrelAgent_View_db_listener() override;

    OstrelAgent_View_db_listener(const OstrelAgent_View_db_listener&) = delete;
    OstrelAgent_View_db_listener& operator=(const OstrelAgent_View_db_listener&) = delete;

    bool begin_operation(unsigned int gn) override;
    bool begin_scope(const ostrel_scope& scope) override;
    bool begin_vob(const qel_uuid_s& replica, const qel_oid_s& family) override;
    bool update_object(const qel_uuid_s& vob, const qel_oid_s& parent, const std::string& path,
                       const std::string& previous_version, const std::string& new_version,
                       const ostrel_vstat& object, const ostrel_vstat& element) override;
    bool unload_object(const qel_uuid_s& vob, const qel_oid_s& parent, const std::string& path,
                       const qel_oid_s& old_object) override;
    bool end_scope() override;
    bool end_vob() override;
    bool end_operation() override;
    // Commits the batch under way.
    void end_of_input() override;
    // Before the stream: finds what the scopes marked for deletion name.
    virtual bool prepare_operation();

    int get_status() const { return m_status; }
    const std::string& get_message() const { return m_message; }
    unsigned get_new_gn() const { return m_new_gn; }
    unsigned get_old_gn() const { return m_old_gn; }
    const std::vector<doomed_scope>& get_doomed_scopes() const { return m_doomed; }

    static bool is_auto_scope(const ostrel_scope& scope);

protected:
    // Records a failure: its status becomes the listener's. Returns `status`.
    int fail(int status);
    // An object of the stream has been applied (well or not), its log line
    // written or pending: nothing by default.
    virtual void object_loaded(const qel_uuid_s& vob, const std::string& path, const ostrel_vstat& object);
    // Runs `action` now, or, inside a batch, once the batch is committed
    // (with the namespace mutex still held), after the log lines and other
    // actions of the objects before it. A batch applied again forgets the
    // actions of its first attempt.
    void after_commit(std::function<void()> action);
    // Throws RClient_Listener_Exception(30013) when the agent must stop,
    // the batch under way committed first.
    void stop_if_asked();

    int m_status = 0;
    std::string m_message;
    OstrelAgent_Log_Update* m_log;

private:
    // An object of the stream, kept while its batch is open; with what the
    // listener's message and status gained since the previous object
    // (a subclass's own steps), to be given back if the batch is replayed.
    struct pending_object {
        bool unload;
        qel_uuid_s vob;
        qel_oid_s parent;
        std::string path;
        std::string previous_version;
        std::string new_version;
        ostrel_vstat object;
        ostrel_vstat element;
        qel_oid_s old_object;
        std::string outside_message;
        int outside_status;
    };
    // Applies the object in the batch under way (begun when none is).
    void add_object(pending_object object, bool replayed);
    void apply(const pending_object& object);
    void apply_unload(const pending_object& object);
    void commit_batch();
    // Where an object applied now puts its kernel invalidations: the open
    // batch's (its index as their owner), or null (they are made at once).
    OstrelAgent_KORVA_Inval_Batch* kernel_later() { return m_batch.is_open() ? &m_kernel_invals : nullptr; }
    std::size_t kernel_owner() const { return m_pending.empty() ? 0 : m_pending.size() - 1; }
    // Sends the batch's kernel invalidations (`objects` are its objects),
    // each failure recorded against its object as flush_cache records it.
    void send_kernel_invals(const std::vector<pending_object>& objects);
    // The batch broke at its last object.
    void recover_batch();
    // The caches of the whole view, which may hold what an aborted batch wrote.
    void flush_view_caches();
    // An action run once the batch is committed: a log line of one of its
    // objects (whose path and versions it writes), or a subclass's own.
    // Kept as a record, so that a line costs no allocation of its own.
    struct pending_action {
        enum Line { NONE, LOAD, UPDATE, UNLOAD, HIJACK_UPDATE, HIJACK_UNLOAD };
        Line line = NONE;
        std::size_t object = 0;  // the line's object, in m_pending
        int symlink = 0;
        OstrelAgent_Util::HijackTreatment treatment = OstrelAgent_Util::HIJACK_KEEP;
        std::string set_aside;
        std::function<void()> run;  // the subclass's action (line NONE)
    };
    // Writes the log line `line` of the object at `path` now, or once the
    // batch under way (whose last object it is) is committed.
    void log_line(pending_action line, const std::string& path, const std::string& previous_version,
                  const std::string& new_version);
    void write_line(const pending_action& line, const std::string& path, const std::string& previous_version,
                    const std::string& new_version);
    // A stream path holding a name that cannot be a file name: logged once,
    // and true (the object is passed over).
    static bool unsafe_path(const std::string& path);
    void write_update(const pending_object& object);

    // The selected version of the directory element `parent`; false (the
    // failure recorded) when the view has none. Within a batch the last one
    // found is kept while only files and links are applied (a directory's
    // update may give its element another version).
    bool parent_dir(const qel_uuid_s& vob, const qel_oid_s& parent, const std::string& path, unsigned& parent_ver);
    // The update's treatment of a hijacked file at `leaf` of the directory
    // version: 0 when one was found and treated (`new_name` set when it was
    // set aside), 1002 when there was none, else a failure.
    int treat_hijack(const qel_uuid_s& vob, unsigned parent_ver, const char* leaf, bool unload, char* new_name) const;
    // The log line of an object whose hijack treatment gave `result`; false
    // (status 20031 recorded) for a result that is neither 0 nor 1002.
    bool treat_hijack_result(int result, const std::string& path, const qel_oid_s& parent,
                             const std::string& previous_version, const std::string& new_version, int symlink,
                             const char* new_name, bool unload);
    bool update_vob_root(const qel_uuid_s& vob, const std::string& path, ostrel_vstat object,
                         ostrel_vstat element, int load_mode);
    // A load-rule scope's path name, or its oid's text when unknown.
    std::string lr_name(const qel_oid_s& oid) const;
    bool process_finished_scope(const ostrel_scope& scope, bool first_load);
    int cleanup_deleted_load_rules();
    int get_lr_metadata();

    ostrel_scope m_scope{};
    int m_scope_was_empty = 0;
    int m_vob_was_empty = 0;
    qel_uuid_s m_vob_uuid = QEL_UUID_NULL;
    qel_oid_s m_vob_family = QEL_OID_NULL;
    unsigned m_new_gn = 0;
    unsigned m_old_gn = 0;
    std::vector<std::pair<ostrel_scope, bool>> m_finished_scopes;
    std::unique_ptr<OstrelAgent_KORVA_Ioctl> m_ioctl;
    // The kernel's invalidations of the open batch's objects, each under
    // its index in m_pending: sent as one call before the batch commits.
    OstrelAgent_KORVA_Inval_Batch m_kernel_invals;
    OstrelAgent_Util::HijackTreatment m_hijack_treatment;
    std::map<qel_oid_s, std::string, map_oid_compare> m_lr_names;
    std::vector<doomed_scope> m_doomed;

    OstrelAgent_Update_Batch m_batch;
    std::vector<pending_object> m_pending;
    std::vector<pending_action> m_pending_actions;
    // The message's length and the status when the batch began, and after
    // the last object applied.
    std::size_t m_batch_message = 0;
    int m_batch_status = 0;
    std::size_t m_mark_message = 0;
    int m_mark_status = 0;
    // The parent directory parent_dir found last, valid in the open batch.
    struct found_parent {
        bool valid = false;
        qel_uuid_s vob = QEL_UUID_NULL;
        qel_oid_s elem = QEL_OID_NULL;
        unsigned ver = 0;
    };
    found_parent m_parent;
};
