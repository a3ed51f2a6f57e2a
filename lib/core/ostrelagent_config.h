#pragma once
// The daemon's configuration: built-in defaults, then the key=value lines of
// $HOME/ostrel.conf, read once per process and never written. Lines are
// trimmed of blanks, tabs, CR and LF; empty lines and lines starting with "#"
// are skipped, as are lines without "=", with an empty key or an empty value.
// The key is the text before the first "=", the value the rest; the last line
// for a key wins. A file that fails to read leaves the defaults alone in force.
//
// g_config_lock guards the creation of the singleton and the mounted-VOB
// registry. Lookups of settings take no lock: the table does not change once
// the singleton is published.
//
// The mounted-VOB registry: the VOBs mounted in the view's kernel file
// system, in memory by tag and by replica uuid, and on disk as the file
// ".mounted_vobs" in the view storage, so that a daemon that starts the view
// again mounts the same VOBs (remount_vobs). Every mount and unmount of the
// MountVob request is recorded through set_mount_state; the view's shutdown
// unmounts the VOBs without recording it. Both maps hold only mounted
// records. The file holds one line per VOB in tag order, six fields joined
// by "=": tag, replica id, family id, public and project-VOB flags ("true"
// or "false"), storage path (the rest of the line). It is always written
// whole (temporary file, sync, rename) from the by-tag map, under
// g_config_lock, so it always shows one state of the registry. Readers
// outside copy g_mounted_vobs under the lock and work on the copy; while the
// lock is held only the tracer, the view handler and the file system are
// called.

#include <atomic>
#include <istream>
#include <map>
#include <memory>
#include <string>

#include "lib/core/ostrelagent_vob_mount_info.h"
#include "lib/core/ostrelagent_vob_mounter.h"
#include "platform/norvanethread/norvanethread.h"
#include "platform/qel/qel.h"

class OstrelAgent_Config {
public:
    static constexpr const char* OSTRELAGENT_CONFIG_FILE = "ostrel.conf";
    static constexpr const char* KEY_VALUE_SEP = "=";
    static constexpr const char* OSTRELAGENT_TRACE_LEVEL = "ostrelTraceLevel";
    static constexpr const char* OSTRELAGENT_TRACE_SUBSYSTEM = "ostrelTraceSubsystem";
    static constexpr const char* OSTRELAGENT_LOG_LEVEL = "ostrelLogLevel";
    static constexpr const char* NUM_VEMRI_THREADS = "ostrelNumVemri";
    static constexpr const char* NUM_KORVA_THREADS = "ostrelNumKorva";
    static constexpr const char* NUM_GET_THREADS = "ostrelNumGet";

    // Sets the defaults: ostrelNumVemri "7", ostrelNumKorva "5",
    // ostrelNumGet "2".
    OstrelAgent_Config();
    OstrelAgent_Config(const OstrelAgent_Config&) = default;
    OstrelAgent_Config& operator=(const OstrelAgent_Config&) = default;

    // The process's configuration, made and loaded on first use; never null.
    static OstrelAgent_Config* get_instance();
    // $HOME/ostrel.conf of the login user ("/ostrel.conf" without a home).
    static std::string get_config_file();

    // Reads the file at `path` into the table. 0, also when the file cannot
    // be opened; 20001 when reading failed part-way.
    int load(const std::string& path);
    // The same from an open stream.
    int load(std::istream& in);

    // The value stored for `key`, or the empty text.
    std::string find(const std::string& key) const;
    // Whether the value for `key` is "true" in any letter case.
    bool get_boolean_param(const std::string& key) const;

    static norvanethread_mutex_t g_config_lock;

    // --- mounted-VOB registry ---

    static constexpr const char* MOUNTED_VOBS_FILE = ".mounted_vobs";

    // The mounted-VOB file of the process's view; empty without a view.
    std::string get_mounted_file();
    // One line of the file as a record (mounted), or null when the line is
    // not a valid record: fewer than six fields, an empty field after
    // trimming, or an id that does not read back.
    static std::unique_ptr<VOB_mount_info> decode_mount_info(const std::string& line);
    // The line that records `info` (without its newline).
    static std::string encode_mount_info(const VOB_mount_info& info);
    // Whether `info` can be recorded and read back as it is: no field
    // empty, begins or ends in white space or holds a line break, and no
    // "=" in the tag.
    static bool is_recordable(const VOB_mount_info& info);
    static bool is_recordable_tag(const std::string& vob_tag);
    // Mounts again every VOB of the file (through the registered mounter),
    // all of them whatever the others give. 0 also when there is no file;
    // 20044 when VOBs are registered already (nothing is read); 20031
    // without a view; 20043 when the file cannot be read (nothing is
    // mounted); else the first mount's failure (20031 for each without a
    // mounter), or 20045 when a line did not decode.
    int remount_vobs();
    // The mounter that remount_vobs calls (null: none); set on the main
    // thread before any view starts.
    static void set_vob_mounter(OstrelAgent_Vob_Mounter* mounter);
    // Records `info`: its tag's old record goes, and the record comes in
    // when its mounted flag is set; then the file is rewritten. 0; 20031
    // without a view; 20043 when the file cannot be written (the change in
    // memory stands, and the next rewrite catches up).
    int set_mount_state(VOB_mount_info info);
    // The mounted flag of the tag's record; 0 when it is not registered.
    int get_mount_state(const std::string& vob_tag);
    // A copy of the record by replica uuid or by tag; the empty record when
    // there is none.
    VOB_mount_info get_mount_info(const qel_uuid_s& replica_uuid);
    VOB_mount_info get_mount_info(const std::string& vob_tag);
    // The registered VOB that holds the view path `path`, by the longest tag
    // that is a whole-component prefix of it: `info` gets its record and
    // `path` the rest below the tag (without a trailing "/"). 0, or 20047
    // when no VOB holds it (both left unchanged).
    int get_vob_info_and_path(std::string& path, VOB_mount_info& info);

    // The registry by tag, ascending byte order. Copy it under
    // g_config_lock.
    static std::map<std::string, VOB_mount_info> g_mounted_vobs;

private:
    // Rewrites the file from g_mounted_vobs; g_config_lock held.
    int write_mounted_file();

    struct Uuid_Less {
        bool operator()(const qel_uuid_s& a, const qel_uuid_s& b) const { return qel_uuid_cmp(&a, &b) < 0; }
    };
    // The registry by replica uuid: when two tags share a replica, the one
    // recorded last.
    static std::map<qel_uuid_s, VOB_mount_info, Uuid_Less> g_mounted_vobs_uuid;

    static std::atomic<OstrelAgent_Config*> g_instance;
    static OstrelAgent_Vob_Mounter* g_vob_mounter;

    std::map<std::string, std::string> m_settings;
};
