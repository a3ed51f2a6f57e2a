#pragma once
// The view as every floor beneath lib/view sees it: the process's one view
// (installed by the view handler), its settings, its root directory, the
// life-cycle steps that the view and session requests drive, and,
// class-wide, the view's one update slot, its current generation number and
// the process-wide server tag.
//
// The view object of lib/view (OstrelAgent_View) derives from this class:
// it makes, starts, registers and ends the view, and keeps what only it
// needs (the storage lock, the metadata file, the view database handle).
// Lower floors reach the view through get_view() and these members alone.
//
// Threads and locks: the settings are set on the thread that serves the
// first request, before any other thread uses the view, and read afterwards
// without a lock; the cache size is an atomic. The process-wide server tag
// has a mutex of its own; the update slot and the generation number are
// guarded by g_update_lock. These are leaf locks apart from the trace lock.

#include <atomic>
#include <string>

#include "platform/norvanethread/norvanethread.h"
#include "platform/qel/qel.h"

// The update slot keeps its holder as an opaque pointer: it compares and
// keeps it, and never calls it.
class OstrelAgent_Update;

class OstrelAgent_View_Base {
public:
    virtual ~OstrelAgent_View_Base();

    OstrelAgent_View_Base(const OstrelAgent_View_Base&) = delete;
    OstrelAgent_View_Base& operator=(const OstrelAgent_View_Base&) = delete;

    // --- the installed view ---

    // The process's view, or null while none is installed. Read without a
    // lock: the view is installed before the threads that serve requests
    // start and stays until they have stopped.
    static OstrelAgent_View_Base* get_view();
    // Installs `view` (null: none) and returns the view installed before.
    // Only the view handler calls it, on the main thread.
    static OstrelAgent_View_Base* exchange_view(OstrelAgent_View_Base* view);

    // --- life cycle (OstrelAgent_View says what each does) ---

    virtual int create() = 0;
    virtual int start() = 0;
    virtual int get_view_info() = 0;
    virtual int cleanup() = 0;
    virtual int unregister_once() = 0;
    virtual void cleanup_storage() = 0;
    virtual int set_cache_size(unsigned int size, std::string& message, bool save) = 0;

    // --- view root ---

    // The view's root directory: the kernel's automatic view root + "/" +
    // the server view tag.
    virtual std::string get_view_root() = 0;
    // `path` relative to the view root: what follows the first occurrence of
    // the root that ends at a component boundary ("" for the root itself);
    // `path` unchanged when there is none.
    std::string strip_view_root(const std::string& path);
    bool is_view_root(std::string path);

    // --- settings ---

    // Keys of the view's metadata file that replies name too.
    static constexpr const char* VIEW_UUID_KEY = "view-uuid";
    static constexpr const char* VIEW_PTIME_KEY = "preserve-vob-modified-time";

    // The text mode in canonical form; empty when it names no text mode.
    std::string get_view_textmode();

    const std::string& get_storage_path() const { return m_storage; }
    const std::string& get_cltxt_cache_dir() const { return m_cltxt_cache_dir; }
    // A copy, taken under its lock: EndView and a metadata read set the tag
    // while other threads address the kernel by it.
    std::string get_server_tag() const;
    void set_server_tag(const std::string& tag);
    const std::string& get_text_mode() const { return m_text_mode; }
    const std::string& get_view_uuid_str() const { return m_view_uuid_str; }
    const qel_uuid_s& get_view_uuid() const { return m_view_uuid; }
    const std::string& get_view_type() const { return m_view_type; }
    int get_preserve_vob_mtime() const { return m_preserve_vob_mtime; }
    unsigned int get_cache_size() const { return m_cache_size.load(); }
    const std::string& get_status_msg() const { return m_status_msg; }

    // A copy of the process-wide server tag (the tag of the last view that
    // learned one); empty when none is known.
    static std::string get_g_server_tag();

    // --- update slot and generation number ---
    //
    // One content-changing operation (full or surgical update, Restore, a
    // change of the element rules) holds the slot at a time. The slot goes
    // free -> claimed (update_start; not running) -> running (set_current_gn
    // with running set) -> free (update_end by the holder). Every change that
    // a waiter waits for is broadcast on g_gn_cond.

    // Claims the slot for `update` and gives the current generation number
    // in `gn`. When the slot is taken: false at once without `wait`, else
    // waits until it is free. A null update is refused (false).
    static bool update_start(OstrelAgent_Update* update, unsigned int& gn, bool wait);
    // Frees the slot when `update` holds it; wakes the waiters in any case.
    static void update_end(OstrelAgent_Update* update);
    static void set_current_gn(unsigned int gn, bool running);
    static unsigned int get_current_gn();
    // The oldest generation whose loaded entries the view shows: while an
    // update runs, the one before it (the update gives the entries it keeps
    // its own number only at its end), else the current one.
    static unsigned int get_shown_gn();
    static OstrelAgent_Update* get_update();
    static bool update_in_progress();
    // Asks the running update to stop; stays in force for the process.
    static void abort_update();
    // True once the thread manager is told to exit or abort_update ran.
    static bool should_stop_update();
    // Returns once no update holds the slot or the holder is running.
    static void wait_for_running_update();
    // Returns once the slot is free.
    static void wait_for_finished_update();

    static norvanethread_mutex_t g_update_lock;
    static norvanethread_cond_t g_gn_cond;

protected:
    explicit OstrelAgent_View_Base(const std::string& storage);

    static void set_g_server_tag(const std::string& tag);
    static void clear_g_server_tag();

    std::string m_storage;
    std::string m_cltxt_cache_dir;
    std::string m_server_tag;
    std::string m_text_mode;
    std::string m_view_uuid_str;
    qel_uuid_s m_view_uuid = QEL_UUID_NULL;
    std::string m_view_type;
    std::string m_status_msg;
    int m_preserve_vob_mtime = 0;
    std::atomic<unsigned int> m_cache_size{0};

private:
    static std::atomic<OstrelAgent_View_Base*> g_view;

    static char* g_server_tag;
    static norvanethread_mutex_t g_server_tag_lock;

    static OstrelAgent_Update* g_active_update;
    static unsigned int g_view_gn;
    static unsigned int g_gn_before_update;  // g_view_gn when the running update began
    static bool g_update_running;
    static bool g_stop_update;
};
