#pragma once
// The one view that the daemon serves, and its storage directory.
//
// A view object knows where the view storage lies. It creates a new storage
// (MkView: `create`) or opens an existing one (StartView: `start`), keeps the
// settings recorded in the storage's metadata file ".ostrel", takes the
// storage lock ".pid", checks the host-name file, validates the cleartext
// cache directory, starts the namespace cache and the view database, loads
// the generation number and registers the view with the kernel file system.
// `cleanup` unregisters it; `cleanup_storage` undoes a create that failed.
//
// Failures return a status and set or append a catalog text to the view's
// status message, which the MkView and StartView replies carry.
//
// The object remembers whether this process registered the view and has not
// unregistered it yet, so that whoever ends the process unregisters it once,
// while the object, and with it the storage lock, still exists.
//
// The class also keeps, class-wide, the view's one update slot and its
// current generation number (see "Update slot" below).
//
// Threads and locks: create, start and get_view_info run on the thread that
// serves the first request, before any other thread uses the view; the
// settings are read afterwards without a lock. The cached view root has its
// own mutex; the cache size changes under a per-view mutex (SetCache requests
// run on pool threads); the process-wide server tag has a mutex of its own;
// the update slot and the generation number are guarded by g_update_lock.
// These are leaf locks apart from the trace lock, and none is held while a
// request runs. The unregistration mutex is held across the kernel call that
// unregisters the view (and the server-tag mutex taken inside it), so that
// concurrent ends of the view unregister it once.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/norvanethread/norvanethread.h"
#include "platform/qel/qel.h"

class OstrelAgent_Update;
class OstrelAgent_View_db;

class OstrelAgent_View {
public:
    // Files of the view storage.
    static constexpr const char* VIEW_METADATA_FILE = ".ostrel";
    static constexpr const char* LOCK_FILE = ".pid";
    // Keys of the metadata file, in the order they are written.
    static constexpr const char* VERSION_ID = "versionid";
    static constexpr const char* VIEW_UUID_KEY = "view-uuid";
    static constexpr const char* SERVER_TAG_KEY = "server-tag";
    static constexpr const char* VIEW_TEXT_MODE_KEY = "text-mode";
    static constexpr const char* VIEW_TYPE_KEY = "view-type";
    static constexpr const char* VIEW_PTIME_KEY = "preserve-vob-modified-time";
    static constexpr const char* CLTXT_CACHE_DIR_KEY = "cltxt-cache-dir";
    static constexpr const char* CACHE_SIZE_KEY = "cache-size";
    // The version the writer records.
    static constexpr const char* VERSION_VALUE = "1.0";
    // Marker file of a validated cleartext cache directory.
    static constexpr const char* CLTXT_CACHE_HIDDEN_FILE = ".cltxt_cache";
    // Cache size of a new view, and the namespace cache's minimum.
    static constexpr unsigned int DEFAULT_CACHE_SIZE = 4194304;

    // Lock cookie values that hold no lock.
    static constexpr int LOCK_NOT_HELD = -2;
    static constexpr int LOCK_SYSTEM_ERROR = -1;

    // --- factories ---

    // A view for an existing storage; nothing is read from disk yet. A
    // relative storage path is taken relative to the current directory.
    static OstrelAgent_View* get_view_from_stg(const std::string& storage);
    // A view from the values of a MkView request. A uuid text that is not a
    // uuid leaves the uuid unset (create then refuses it). Relative storage
    // and cache paths are taken relative to the current directory. The cache
    // size is DEFAULT_CACHE_SIZE.
    static OstrelAgent_View* get_view_from_list(const std::string& storage,
                                                const std::string& cltxt_cache_dir,
                                                const std::string& view_uuid,
                                                const std::string& server_tag,
                                                const std::string& text_mode,
                                                const std::string& view_type, int preserve);

    // Closes the view database and releases the storage lock. Neither
    // unregisters the view nor removes anything.
    ~OstrelAgent_View();

    OstrelAgent_View(const OstrelAgent_View&) = delete;
    OstrelAgent_View& operator=(const OstrelAgent_View&) = delete;

    // --- life cycle ---

    // Makes a new view storage and starts the view in it (MkView). Stops at the
    // first failure: 20021 for a value that cannot be recorded (a newline) or
    // a missing cache directory, 20009 for a missing uuid (nothing is made for
    // these three); 20018 when the storage exists; 20005, 20050, 20051, 20052
    // for the storage or cache directory; 2 for the host-name file; 3 when
    // another process holds the lock, 20008 when the lock file cannot be
    // taken or written; 20008 for the metadata file; 20007 for the namespace
    // cache; the view database's status; 20001 for the view-namespace record;
    // the kernel registration's status. Failures of the lock, the metadata
    // file and the registration name the failing step in the status message.
    int create();
    // Opens the existing storage (StartView): reads and validates the
    // metadata file (20019, 20006, 20009), checks the host (20059), locks
    // (3, or 20008 as for create), rewrites the metadata file (20008, 20021),
    // starts the namespace cache (20007) and the view database, loads the
    // generation number (20001) and registers the view.
    int start();
    // Re-reads the metadata file without validating it.
    int get_view_info();
    // Unregisters the process's view from the kernel file system. 1001 when
    // no view tag is known, else the kernel's base-library status.
    int cleanup();
    // Whether this object registered the view and no cleanup has
    // unregistered it since.
    bool is_registered() const { return m_registered.load(); }
    // Unregisters the view when this object registered it and nothing has
    // unregistered it since: 0 when nothing was left to do, else as cleanup.
    // Whoever ends the view calls it (a client's EndView, the forced
    // shutdown, a failed start-up, the process's way out), possibly at the
    // same time: one call unregisters, the others find it done.
    int unregister_once();
    // After a failed create: closes the database, releases the lock and
    // removes what create made (the storage and the directories it had to
    // make for it, the cache marker and cache directories), nothing else.
    // It also forgets the process-wide server tag, so that a later cleanup
    // unregisters nothing: the create registered nothing, and the tag may
    // be another view's.
    void cleanup_storage();

    // --- storage lock ---

    // 1 when the lock was taken, else 0 (held by another process, or a system
    // error).
    int lock();
    void unlock();
    // unlock unless no lock is held.
    void conditional_unlock();

    // --- metadata file ---

    // Writes ".ostrel" whole from the current settings (temporary file,
    // sync, rename). 0; 20021 when a value holds a newline (nothing is
    // written); 20008 when it cannot be written (the old file is unchanged),
    // and then, with `message`, a text naming the file and the error is
    // appended to it.
    int create_metadata_file(std::string* message = nullptr);
    // Reads ".ostrel" into the settings; with `validate` non-zero the
    // settings must also be complete. 0; 20019 when it cannot be opened;
    // 20006 for a line without "=" or a bad cache size; 20009 for a bad uuid
    // or (validating) incomplete settings. Settings read before a failure
    // keep their new values.
    int read_metadata_file(int validate);

    // --- settings ---

    // 0, or 20009 for a text that is not a uuid (nothing changes then).
    int set_view_uuid(const std::string& uuid);
    // The text mode in canonical form; empty when it names no text mode.
    std::string get_view_textmode();
    // Sets the namespace cache size. With `save` (a SetCache request) the size
    // must be at least DEFAULT_CACHE_SIZE and the metadata file is rewritten;
    // without (reading the metadata file) smaller sizes are raised in the
    // namespace cache while the view keeps the given number. Failure texts
    // are appended to `message`.
    int set_cache_size(unsigned int size, std::string& message, bool save);
    // 1 when server tag, text mode, uuid, server URL and view type are set,
    // else 0 with each missing item named in the status message.
    int is_valid();
    // Registers the view with the kernel file system; the mapped status. A
    // refusal is named, with the view tag, in the status message.
    int register_korva();

    // The view's root directory: the kernel's automatic view root + "/" +
    // the server view tag. Cached once the kernel has answered.
    std::string get_view_root();
    // `path` relative to the view root: what follows the first occurrence of
    // the root that ends at a component boundary ("" for the root itself);
    // `path` unchanged when there is none.
    std::string strip_view_root(const std::string& path);
    bool is_view_root(std::string path);

    // --- accessors ---

    const std::string& get_storage_path() const { return m_storage; }
    const std::string& get_lock_file_path() const { return m_lock_file; }
    const std::string& get_metadata_file_path() const { return m_metadata_file; }
    const std::string& get_cltxt_cache_dir() const { return m_cltxt_cache_dir; }
    const std::string& get_server_tag() const { return m_server_tag; }
    const std::string& get_text_mode() const { return m_text_mode; }
    const std::string& get_view_uuid_str() const { return m_view_uuid_str; }
    const qel_uuid_s& get_view_uuid() const { return m_view_uuid; }
    const std::string& get_view_type() const { return m_view_type; }
    int get_preserve_vob_mtime() const { return m_preserve_vob_mtime; }
    unsigned int get_cache_size() const { return m_cache_size.load(); }
    int get_lock_cookie() const { return m_lock_cookie; }
    OstrelAgent_View_db* get_view_db() const { return m_view_db.get(); }
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

private:
    OstrelAgent_View(const std::string& storage);
    void init();

    int create_view_storage();
    int validate_create_cache_dir();
    int create_hostname_file();
    int validate_hostname_file();
    int start_view_db();
    // lock, as a status: 0; 3 when another process holds the lock; 20008,
    // with the failing call named in the status message, when the lock file
    // cannot be made or written (a full disk).
    int take_lock();
    // 20021 when a setting that the metadata file records holds a newline,
    // or begins or ends in white space (it would not read back the same).
    int check_recordable() const;

    static void set_g_server_tag(const std::string& tag);
    static void clear_g_server_tag();

    std::string m_lock_file;
    std::string m_storage;
    std::string m_cltxt_cache_dir;
    std::string m_metadata_file;
    std::string m_server_tag;
    std::string m_text_mode;
    std::string m_view_uuid_str;
    qel_uuid_s m_view_uuid = QEL_UUID_NULL;
    std::string m_view_type;
    std::string m_view_root;
    norvanethread_mutex_t m_view_root_mutex;
    std::string m_status_msg;
    int m_lock_cookie = LOCK_NOT_HELD;
    // Set by a successful registration, cleared by a successful cleanup. A
    // client's EndView runs on a pool thread while the main thread may read it.
    std::atomic<bool> m_registered{false};
    // Held by unregister_once across its test of m_registered and the
    // kernel call.
    norvanethread_mutex_t m_unregister_mutex;
    std::unique_ptr<OstrelAgent_View_db> m_view_db;
    int m_preserve_vob_mtime = 0;
    std::atomic<unsigned int> m_cache_size{0};
    // Keeps SetCache requests and their metadata rewrites apart.
    norvanethread_mutex_t m_cache_size_mutex;

    // What create made, so that cleanup_storage removes that and nothing
    // else: the storage itself, the directories made on the way to the
    // storage and to the cache directory (in the order they were made), and
    // the cache marker.
    bool m_made_storage = false;
    bool m_made_cache_marker = false;
    std::vector<std::string> m_made_dirs;

    static char* g_server_tag;
    static norvanethread_mutex_t g_server_tag_lock;

    static OstrelAgent_Update* g_active_update;
    static unsigned int g_view_gn;
    static bool g_update_running;
    static bool g_stop_update;
};
