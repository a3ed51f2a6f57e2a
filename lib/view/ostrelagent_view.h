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
// Its settings, the view's one update slot and its current generation
// number are those of its base (lib/core/ostrelagent_view_base.h), through
// which the floors beneath lib/view reach it.
//
// Threads and locks: create, start and get_view_info run on the thread that
// serves the first request, before any other thread uses the view; the
// settings are read afterwards without a lock. The cached view root has its
// own mutex; the cache size changes under a per-view mutex (SetCache requests
// run on pool threads). These are leaf locks apart from the trace lock, and
// none is held while a request runs. The unregistration mutex is held
// across the kernel call that unregisters the view (and the server-tag mutex
// taken inside it), so that concurrent ends of the view unregister it once.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_view_base.h"
#include "platform/norvanethread/norvanethread.h"
#include "platform/qel/qel.h"

class OstrelAgent_View_db;

class OstrelAgent_View : public OstrelAgent_View_Base {
public:
    // Files of the view storage.
    static constexpr const char* VIEW_METADATA_FILE = ".ostrel";
    static constexpr const char* LOCK_FILE = ".pid";
    // Keys of the metadata file, in the order they are written (the view
    // uuid after the version, the preserve-time flag after the view type:
    // the base's keys, which queries also name).
    static constexpr const char* VERSION_ID = "versionid";
    static constexpr const char* SERVER_TAG_KEY = "server-tag";
    static constexpr const char* VIEW_TEXT_MODE_KEY = "text-mode";
    static constexpr const char* VIEW_TYPE_KEY = "view-type";
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
    ~OstrelAgent_View() override;

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
    int create() override;
    // Opens the existing storage (StartView): reads and validates the
    // metadata file (20019, 20006, 20009), checks the host (20059), locks
    // (3, or 20008 as for create), rewrites the metadata file (20008, 20021),
    // starts the namespace cache (20007) and the view database, loads the
    // generation number (20001) and registers the view.
    int start() override;
    // Re-reads the metadata file without validating it.
    int get_view_info() override;
    // Unregisters the process's view from the kernel file system. 1001 when
    // no view tag is known, else the kernel's base-library status.
    int cleanup() override;
    // Whether this object registered the view and no cleanup has
    // unregistered it since.
    bool is_registered() const { return m_registered.load(); }
    // Unregisters the view when this object registered it and nothing has
    // unregistered it since: 0 when nothing was left to do, else as cleanup.
    // Whoever ends the view calls it (a client's EndView, the forced
    // shutdown, a failed start-up, the process's way out), possibly at the
    // same time: one call unregisters, the others find it done.
    int unregister_once() override;
    // After a failed create: closes the database, releases the lock and
    // removes what create made (the storage and the directories it had to
    // make for it, the cache marker and cache directories), nothing else.
    // It also forgets the process-wide server tag, so that a later cleanup
    // unregisters nothing: the create registered nothing, and the tag may
    // be another view's.
    void cleanup_storage() override;

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
    // Sets the namespace cache size. With `save` (a SetCache request) the size
    // must be at least DEFAULT_CACHE_SIZE and the metadata file is rewritten;
    // without (reading the metadata file) smaller sizes are raised in the
    // namespace cache while the view keeps the given number. Failure texts
    // are appended to `message`.
    int set_cache_size(unsigned int size, std::string& message, bool save) override;
    // 1 when server tag, text mode, uuid, server URL and view type are set,
    // else 0 with each missing item named in the status message.
    int is_valid();
    // Registers the view with the kernel file system; the mapped status. A
    // refusal is named, with the view tag, in the status message.
    int register_korva();

    // The view's root directory, cached once the kernel has answered.
    std::string get_view_root() override;

    // --- accessors ---

    const std::string& get_lock_file_path() const { return m_lock_file; }
    const std::string& get_metadata_file_path() const { return m_metadata_file; }
    int get_lock_cookie() const { return m_lock_cookie; }
    OstrelAgent_View_db* get_view_db() const { return m_view_db.get(); }

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

    std::string m_lock_file;
    std::string m_metadata_file;
    std::string m_view_root;
    norvanethread_mutex_t m_view_root_mutex;
    int m_lock_cookie = LOCK_NOT_HELD;
    // Set by a successful registration, cleared by a successful cleanup. A
    // client's EndView runs on a pool thread while the main thread may read it.
    std::atomic<bool> m_registered{false};
    // Held by unregister_once across its test of m_registered and the
    // kernel call.
    norvanethread_mutex_t m_unregister_mutex;
    std::unique_ptr<OstrelAgent_View_db> m_view_db;
    // Keeps SetCache requests and their metadata rewrites apart.
    norvanethread_mutex_t m_cache_size_mutex;

    // What create made, so that cleanup_storage removes that and nothing
    // else: the storage itself, the directories made on the way to the
    // storage and to the cache directory (in the order they were made), and
    // the cache marker.
    bool m_made_storage = false;
    bool m_made_cache_marker = false;
    std::vector<std::string> m_made_dirs;
};
