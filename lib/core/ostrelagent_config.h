#pragma once
// The daemon's configuration: built-in defaults, then the key=value lines of
// $HOME/ostrel.conf, read once per process and never written. Lines are
// trimmed of blanks, tabs, CR and LF; empty lines and lines starting with "#"
// are skipped, as are lines without "=", with an empty key or an empty value.
// The key is the text before the first "=", the value the rest; the last line
// for a key wins. A file that fails to read leaves the defaults alone in force.
//
// g_config_lock guards the creation of the singleton (and, in the view, the
// mounted-VOB registry). Lookups take no lock: the table does not change once
// the singleton is published.

#include <atomic>
#include <istream>
#include <map>
#include <string>

#include "platform/norvanethread/norvanethread.h"

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

private:
    static std::atomic<OstrelAgent_Config*> g_instance;

    std::map<std::string, std::string> m_settings;
};
