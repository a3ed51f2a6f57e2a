#include "lib/fetch/ostrelagent_cleartext.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view.h"
#include "lib/core/ostrelagent_view_db.h"
#include "lib/core/ostrelagent_view_handler.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "platform/utl/fileutl.h"
#include "platform/utl/strutl.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_Cleartext";
constexpr vob_mtype_t DIRECTORY_VERSION = 3;
// Leaf directories per level of the cache tree.
constexpr uint32_t CACHE_FANOUT = 67;

struct Script {
    std::mutex mutex;
    // Held across a fetch, so that identical fetches do not race.
    std::mutex fetch_mutex;
    std::map<std::vector<unsigned char>, std::string> texts;
    unsigned fetches = 0;
    int forced = 0;
    unsigned forced_times = 0;
};

Script& script() {
    static Script s;
    return s;
}

std::vector<unsigned char> key_of(const qel_uuid_s& vob, const qel_oid_s& oid) {
    std::vector<unsigned char> key(vob.bytes, vob.bytes + sizeof vob.bytes);
    key.insert(key.end(), oid.bytes, oid.bytes + sizeof oid.bytes);
    return key;
}

} // namespace

OstrelAgent_Cleartext::OstrelAgent_Cleartext(const qel_uuid_s& vob, unsigned ver_dbid, const qel_oid_s& ver_oid,
                                             const std::string& cache_root)
    : m_vob(vob), m_ver_dbid(ver_dbid), m_ver_oid(ver_oid), m_cache_root(cache_root) {}

OstrelAgent_Cleartext::~OstrelAgent_Cleartext() = default;

int OstrelAgent_Cleartext::check_cache(int& in_cache) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "check_cache");
    in_cache = 0;
    OstrelAgent_View* view = OstrelAgent_View_Handler::get_view();
    if (view == nullptr) {
        m_error = OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::NO_VIEW_INFO);
        return OstrelAgent_Status::NO_VIEW;
    }
    m_text_mode = view->get_view_textmode();
    if (qel_oid_eq(&m_ver_oid, &QEL_OID_NULL) && !OstrelAgent_View_db::obj_dbid_to_oid(m_ver_dbid, m_vob, m_ver_oid))
        return OstrelAgent_Status::MALFORMED_REQUEST;
    unsigned dbid = 0;
    vob_mtype_t mtype = 0;
    m_directory = OstrelAgent_View_db::obj_oid_to_dbid_mtype(m_ver_oid, m_vob, dbid, mtype) && mtype == DIRECTORY_VERSION;
    char uuid_text[QEL_UUID_STR_SIZE], oid_text[QEL_OID_STR_SIZE];
    qel_uuid_to_dstr(&m_vob, uuid_text);
    qel_oid_to_dstr(&m_ver_oid, oid_text);
    uint32_t h = strutl_str_to_hash32(0, oid_text);
    char levels[256];
    std::snprintf(levels, sizeof levels, "%lx/%lx", static_cast<unsigned long>(h % CACHE_FANOUT),
                  static_cast<unsigned long>((h >> 6) % CACHE_FANOUT));
    m_cache_dirs = m_cache_root + "/.c/" + uuid_text + "/" + levels;
    m_cache_path = m_cache_dirs + "/" + oid_text + "-" + m_text_mode;
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Cache path name = %s", m_cache_path.c_str());
    struct stat st;
    in_cache = fileutl_stat(m_cache_path.c_str(), 0, &st) == 0;
    return 0;
}

int OstrelAgent_Cleartext::getcleartext(int& in_cache) {
    int status = check_cache(in_cache);
    if (status != 0 || in_cache) return status;
    std::lock_guard<std::mutex> fetching(script().fetch_mutex);
    struct stat st;
    // A fetch that ran meanwhile brought the file.
    if (fileutl_stat(m_cache_path.c_str(), 0, &st) == 0) return 0;
    return fetch();
}

int OstrelAgent_Cleartext::fetch() {
    Script& s = script();
    std::string text;
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        if (s.forced_times != 0) {
            s.forced_times--;
            m_error = "cleartext fetch failed";
            return s.forced;
        }
        // The server has no contents of a directory version.
        if (m_directory) {
            m_error = "no cleartext of a directory version";
            return OstrelAgent_Status::GENERAL_FAILURE;
        }
        auto found = s.texts.find(key_of(m_vob, m_ver_oid));
        if (found != s.texts.end()) text = found->second;
    }
    if (fileutl_mkpath(m_cache_dirs.c_str(), 0700, 1) != 0) return OstrelAgent_Status::GENERAL_FAILURE;
    char tmp[FILEUTL_PATH_MAX];
    int fd = fileutl_tmpfile_ext_binary(m_cache_dirs.c_str(), ".tmp.", tmp, sizeof tmp);
    if (fd < 0) return OstrelAgent_Status::GENERAL_FAILURE;
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    bool closed = ::close(fd) == 0;
    if (!written || !closed || ::chmod(tmp, 0400) != 0 || ::rename(tmp, m_cache_path.c_str()) != 0) {
        ::unlink(tmp);
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    std::lock_guard<std::mutex> guard(s.mutex);
    s.fetches++;
    return 0;
}

std::string OstrelAgent_Cleartext::get_cltxt_relpath() const {
    if (m_cache_path.compare(0, m_cache_root.size(), m_cache_root) != 0) return m_cache_path;
    return m_cache_path.substr(m_cache_root.size() + 1);
}

void OstrelAgent_Cleartext::script_text(const qel_uuid_s& vob, const qel_oid_s& ver_oid, const std::string& text) {
    std::lock_guard<std::mutex> guard(script().mutex);
    script().texts[key_of(vob, ver_oid)] = text;
}

void OstrelAgent_Cleartext::force_status(int status, unsigned times) {
    std::lock_guard<std::mutex> guard(script().mutex);
    script().forced = status;
    script().forced_times = times;
}

unsigned OstrelAgent_Cleartext::fetches() {
    std::lock_guard<std::mutex> guard(script().mutex);
    return script().fetches;
}

void OstrelAgent_Cleartext::reset_script() {
    std::lock_guard<std::mutex> guard(script().mutex);
    script().texts.clear();
    script().fetches = 0;
    script().forced = 0;
    script().forced_times = 0;
}
