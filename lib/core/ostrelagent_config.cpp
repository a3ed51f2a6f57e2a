#include "lib/core/ostrelagent_config.h"

#include <fstream>

#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "platform/utl/fileutl.h"
#include "platform/utl/strutl.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_Config";
}

norvanethread_mutex_t OstrelAgent_Config::g_config_lock = NORVANETHREAD_MUTEX_INITIALIZER;
std::atomic<OstrelAgent_Config*> OstrelAgent_Config::g_instance{nullptr};

OstrelAgent_Config::OstrelAgent_Config() {
    m_settings[NUM_VEMRI_THREADS] = "7";
    m_settings[NUM_KORVA_THREADS] = "5";
    m_settings[NUM_GET_THREADS] = "2";
}

OstrelAgent_Config* OstrelAgent_Config::get_instance() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "getInstance");
    OstrelAgent_Config* instance = g_instance.load(std::memory_order_acquire);
    if (instance != nullptr) return instance;

    OstrelAgent_Mutex_Guard guard(g_config_lock);
    instance = g_instance.load(std::memory_order_relaxed);
    if (instance == nullptr) {
        instance = new OstrelAgent_Config();
        std::string path = get_config_file();
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, " Opening %s", path.c_str());
        if (fileutl_exists(path.c_str(), 1) && instance->load(path) != 0) {
            // A file read only in part counts for nothing.
            delete instance;
            instance = new OstrelAgent_Config();
        }
        g_instance.store(instance, std::memory_order_release);
    }
    return instance;
}

std::string OstrelAgent_Config::get_config_file() {
    return OstrelAgent_Util::get_user_home() + "/" + OSTRELAGENT_CONFIG_FILE;
}

int OstrelAgent_Config::load(const std::string& path) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) return 0;
    return load(in);
}

int OstrelAgent_Config::load(std::istream& in) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "load");
    std::string line;
    while (std::getline(in, line)) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Line read in %s", line.c_str());
        OstrelAgent_Util::trim_in_place(line);
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Trimmed line read in %s", line.c_str());
        if (line.empty() || line[0] == '#') continue;
        size_t sep = line.find(KEY_VALUE_SEP);
        if (sep == std::string::npos) continue;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Found =");
        std::string key = line.substr(0, sep);
        std::string value = line.substr(sep + 1);
        OstrelAgent_Util::trim_in_place(key);
        OstrelAgent_Util::trim_in_place(value);
        if (key.empty() || value.empty()) continue;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Adding key [%s] and value [%s]",
                         key.c_str(), value.c_str());
        m_settings[key] = value;
    }
    return in.bad() ? OstrelAgent_Status::GENERAL_FAILURE : 0;
}

std::string OstrelAgent_Config::find(const std::string& key) const {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "find");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Looking for %s", key.c_str());
    auto it = m_settings.find(key);
    if (it == m_settings.end()) return std::string();
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Found value %s", it->second.c_str());
    return it->second;
}

bool OstrelAgent_Config::get_boolean_param(const std::string& key) const {
    auto it = m_settings.find(key);
    return it != m_settings.end() && strutl_stricoll(it->second.c_str(), "true") == 0;
}
