#include "lib/fetch/ostrelagent_cleartext.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/client/rclient_get_cleartext.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_bg_cleartext.h"
#include "lib/fetch/ostrelagent_cleartext_sb_req.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "platform/imsg/imsg.h"
#include "platform/utl/fileutl.h"
#include "platform/utl/strutl.h"

namespace {

namespace Msg = OstrelAgent_Lib_Msg;
namespace S = OstrelAgent_Status;
using Trace = OstrelAgent_Trace;

const char* const CLASS_NAME = "OstrelAgent_Cleartext";
// Leaf directories per level of the cache tree.
constexpr uint32_t CACHE_FANOUT = 67;
constexpr mode_t CACHE_DIR_MODE = 07777;
// Cleared from a finished file: every write permission and all of group's
// and other's; the owner keeps read and execute, set-id and sticky bits stay.
constexpr mode_t CLEARED_MODE_BITS = 0277;
constexpr const char* TMP_PREFIX = ".tmp.";
// The writeback of an adopted file's copy is started each time this much
// more of it was written.
constexpr off_t WRITEBACK_PIECE = off_t{8} << 20;

// The base library's "a call on a name failed" text.
std::string call_failed(const char* call, const std::string& name, int error) {
    return OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_CALL_ON_NAME_FAILED, call, name.c_str(),
                                    imsg_strerror(error));
}

// Copies `in` to `out`, starting the writeback of what was written as it
// goes: the disk takes the copy while the rest is read, so that making it
// durable afterwards waits for little more than the last pieces. 0, or the
// errno value of the failed call, named in `call`.
int copy_pieces(int in, int out, const char*& call) {
    off_t started = 0;
    const auto start_writeback = [&](off_t written) {
        if (written - started < WRITEBACK_PIECE) return;
        // Only a start: its failure leaves the work to the fsync.
        ::sync_file_range(out, started, written - started, SYNC_FILE_RANGE_WRITE);
        started = written;
    };
    return fileutl_copy_fd(in, out, &call, start_writeback) == 0 ? 0 : errno;
}

// fsync of a closed file.
int sync_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    int result = ::fsync(fd);
    const int error = errno;
    if (::close(fd) != 0 && result == 0) return -1;
    errno = error;
    return result;
}

} // namespace

OstrelAgent_Cleartext::OstrelAgent_Cleartext(const qel_uuid_s& vob, unsigned ver_dbid, const qel_oid_s& ver_oid,
                                             const std::string& cache_root,
                                             OstrelAgent_BG_Cleartext_listener* listener)
    : m_vob(vob), m_ver_dbid(ver_dbid), m_ver_oid(ver_oid), m_cache_root(cache_root), m_listener(listener) {}

OstrelAgent_Cleartext::~OstrelAgent_Cleartext() = default;

int OstrelAgent_Cleartext::get_view_textmode(std::string& mode) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_view_textmode");
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    if (view == nullptr) {
        m_error = OstrelAgent_Lib_Msg::text(Msg::NO_VIEW_INFO);
        return S::NO_VIEW;
    }
    mode = view->get_view_textmode();
    trace.writeTrace(Trace::TRACE_LEVEL_4, "View text mode = %s", mode.c_str());
    return 0;
}

int OstrelAgent_Cleartext::gen_cache_dirs() {
    char uuid_text[QEL_UUID_STR_SIZE], oid_text[QEL_OID_STR_SIZE];
    qel_uuid_to_dstr(&m_vob, uuid_text);
    qel_oid_to_dstr(&m_ver_oid, oid_text);
    const unsigned long h = strutl_str_to_hash32(0, oid_text);
    char levels[256];
    std::snprintf(levels, sizeof levels, "%lx/%lx", h % CACHE_FANOUT, (h >> 6) % CACHE_FANOUT);
    m_cache_dirs = m_cache_root + "/.c/" + uuid_text + "/" + levels;
    return 0;
}

int OstrelAgent_Cleartext::gen_cache_pathname() {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "gen_cache_pathname");
    gen_cache_dirs();
    char oid_text[QEL_OID_STR_SIZE];
    qel_oid_to_dstr(&m_ver_oid, oid_text);
    m_cache_path = m_cache_dirs + "/" + oid_text + "-" + m_text_mode;
    trace.writeTrace(Trace::TRACE_LEVEL_4, "Cache path name = %s", m_cache_path.c_str());
    return 0;
}

int OstrelAgent_Cleartext::gen_cleartext_url(std::string& url) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "gen_cleartext_url");
    char uuid_text[QEL_UUID_STR_SIZE], oid_text[QEL_OID_STR_SIZE];
    qel_uuid_to_dstr(&m_vob, uuid_text);
    qel_oid_to_dstr(&m_ver_oid, oid_text);
    url = std::string(CLTXT_URL_PREFIX) + uuid_text + CLTXT_URL_SEPARATOR + oid_text + "/" + m_text_mode;
    trace.writeTrace(Trace::TRACE_LEVEL_4, "Get url is %s", url.c_str());
    return 0;
}

int OstrelAgent_Cleartext::name_version() {
    int status = get_view_textmode(m_text_mode);
    if (status != 0) return status;
    if (qel_oid_eq(&m_ver_oid, &QEL_OID_NULL) && !OstrelAgent_View_db::obj_dbid_to_oid(m_ver_dbid, m_vob, m_ver_oid))
        return S::MALFORMED_REQUEST;
    return gen_cache_pathname();
}

bool OstrelAgent_Cleartext::cltxt_in_cache() const {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "cltxt_in_cache");
    struct stat st;
    if (fileutl_stat(m_cache_path.c_str(), 0, &st) != 0) return false;
    trace.writeTrace(Trace::TRACE_LEVEL_DEMO, "%s found in cleartext cache.", m_cache_path.c_str());
    return true;
}

int OstrelAgent_Cleartext::check_cache(int& in_cache) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "check_cache");
    in_cache = 0;
    int status = name_version();
    if (status != 0) return status;
    in_cache = cltxt_in_cache() ? 1 : 0;
    if (in_cache) return 0;
    if (OstrelAgent_Server::g_online.load() == 0) {
        m_error += OstrelAgent_Lib_Msg::text(Msg::DISCONNECTED);
        return S::DISCONNECTED;
    }
    return 0;
}

OstrelAgent_Cleartext* OstrelAgent_Cleartext::background_copy() {
    auto* copy = new OstrelAgent_Cleartext(m_vob, m_ver_dbid, m_ver_oid, m_cache_root, m_listener.release());
    copy->m_cache_path = m_cache_path;
    copy->m_cache_dirs = m_cache_dirs;
    copy->m_error = m_error;
    copy->m_text_mode = m_text_mode;
    copy->m_tmp_path = m_tmp_path;
    return copy;
}

int OstrelAgent_Cleartext::getcleartext(int& in_cache) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "getcleartext");
    const bool background = m_listener != nullptr;
    int status = check_cache(in_cache);
    if (status != 0 || in_cache) return status;

    OstrelAgent_Cleartext* target = background ? background_copy() : this;
    auto* request = new OstrelAgent_Cleartext_SB_req(background, target);
    OstrelAgent_Cleartext_SB* entry = OstrelAgent_Cleartext_SB::create(request, background);
    if (entry == nullptr) {
        // Its request went, and with it the copy and the listener, uncalled.
        char uuid_text[QEL_UUID_STR_SIZE], oid_text[QEL_OID_STR_SIZE];
        trace.writeTrace(Trace::TRACE_LEVEL_4, "background cltxt already in progress (%s,%s)",
                         qel_uuid_to_dstr(&m_vob, uuid_text), qel_oid_to_dstr(&m_ver_oid, oid_text));
        return 0;
    }
    auto* wrapper = new OstrelAgent_BG_Cleartext(entry);
    OstrelAgent_Thread_Manager_Base* manager = OstrelAgent_Thread_Manager_Base::get_instance();
    if (background) {
        manager->process_request(wrapper);
        return 0;
    }
    // Tied to an equal fetch: if that one is background work still queued,
    // it must not wait behind other background work while we wait for it.
    const bool tied = entry->get_req() != request;
    if (tied) manager->promote_dependency(wrapper);
    std::string message;
    const int result = entry->execute(status, message);
    if (result != OstrelAgent_Scoreboard_Request::DONE) {
        char uuid_text[QEL_UUID_STR_SIZE], oid_text[QEL_OID_STR_SIZE];
        trace.writeTrace(Trace::TRACE_LEVEL_2, "getcltxt(%s,%s) failed(%d): %s", qel_uuid_to_dstr(&m_vob, uuid_text),
                         qel_oid_to_dstr(&m_ver_oid, oid_text), status, message.c_str());
    }
    // Our own fetch wrote its text into our message already.
    if (tied) m_error += message;
    delete wrapper;
    return status;
}

int OstrelAgent_Cleartext::make_cltxt_parent() {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "make_cltxt_parent");
    if (fileutl_exists(m_cache_dirs.c_str(), 1)) return 0;
    // Another thread may make it at the same moment.
    if (fileutl_mkpath(m_cache_dirs.c_str(), CACHE_DIR_MODE, 1) == 0 || errno == EEXIST) return 0;
    m_error += call_failed("fileutl_mkpath", m_cache_dirs, errno);
    return S::GENERAL_FAILURE;
}

int OstrelAgent_Cleartext::gen_tmp_path() {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "gen_tmp_path");
    char name[FILEUTL_PATH_MAX];
    const int fd = fileutl_tmpfile_ext_binary(m_cache_dirs.c_str(), TMP_PREFIX, name, sizeof name);
    if (fd < 0) {
        m_error += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, Msg::CLTXT_TMPFILE_FAILED,
                                            m_cache_dirs.c_str(), imsg_strerror(errno));
        return S::GENERAL_FAILURE;
    }
    ::close(fd);
    m_tmp_path = name;
    return 0;
}

void OstrelAgent_Cleartext::remove_tmp() {
    if (!m_tmp_path.empty()) ::unlink(m_tmp_path.c_str());
    m_tmp_path.clear();
}

int OstrelAgent_Cleartext::finalize_cltxt() {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "finalize_cltxt");
    struct stat tmp_st;
    if (fileutl_stat(m_tmp_path.c_str(), 0, &tmp_st) != 0) {
        m_error += call_failed("fileutl_stat", m_tmp_path, errno);
        remove_tmp();
        return S::GENERAL_FAILURE;
    }
    // On disk before the name says it is whole.
    if (sync_file(m_tmp_path) != 0) {
        m_error += call_failed("fsync", m_tmp_path, errno);
        remove_tmp();
        return S::GENERAL_FAILURE;
    }
    if (::chmod(m_tmp_path.c_str(), tmp_st.st_mode & 07777 & ~CLEARED_MODE_BITS) != 0) {
        m_error += call_failed("chmod", m_tmp_path, errno);
        remove_tmp();
        return S::GENERAL_FAILURE;
    }
    const int renamed = fileutl_rename(m_tmp_path.c_str(), m_cache_path.c_str());
    const int rename_errno = errno;
    trace.writeTrace(Trace::TRACE_LEVEL_4, "Status from rename %d", renamed);
    if (renamed == 0) {
        m_tmp_path.clear();
        return 0;
    }
    const std::string prepared =
        OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, Msg::CLTXT_RENAME_FAILED, m_tmp_path.c_str(),
                                 m_cache_path.c_str(), imsg_strerror(rename_errno));
    remove_tmp();
    struct stat cached;
    if (fileutl_stat(m_cache_path.c_str(), 0, &cached) != 0) {
        m_error += prepared + call_failed("fileutl_stat", m_cache_path, errno);
        return S::GENERAL_FAILURE;
    }
    // Another fetch of the version put the same file there.
    if (S_ISREG(cached.st_mode) && cached.st_size == tmp_st.st_size && (cached.st_mode & CLEARED_MODE_BITS) == 0)
        return 0;
    m_error += prepared + OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, Msg::FILE_EXISTS, m_cache_path.c_str());
    return S::GENERAL_FAILURE;
}

int OstrelAgent_Cleartext::wan_fetch_cleartext() {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "wan_fetch_cleartext");
    int status = make_cltxt_parent();
    if (status == 0) status = gen_tmp_path();
    if (status != 0) return status;
    trace.writeTrace(Trace::TRACE_LEVEL_4, "Getting cleartext for %s from server.", m_cache_path.c_str());
    std::string url;
    gen_cleartext_url(url);
    {
        OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
        OstrelAgent_Log* log = OstrelAgent_Log::get_instance(view != nullptr ? view->get_storage_path() : "");
        // Its output file is closed when it goes, before the file is finished.
        Get_ClearText command(url, m_tmp_path);
        command.run();
        int server_status = 0;
        status = command.check_rpc_status(*log, m_error, server_status);
        trace.writeTrace(Trace::TRACE_LEVEL_4, "Status from get_cleartext_cmd = %d", status);
        if (status != 0) {
            OstrelAgent_Util::append_message(
                m_error, OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, Msg::CLTXT_FETCH_FAILED, url.c_str()));
            remove_tmp();
        } else if (command.get_write_failure() != 0) {
            imsg_print(IMSG_KIND_ERR, &_ostrela_lib_lib_msg_table, Msg::CLTXT_SAVE_FAILED, url.c_str());
            OstrelAgent_Util::append_message(
                m_error, OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, Msg::CLTXT_SAVE_FAILED, url.c_str()));
            remove_tmp();
            status = S::GENERAL_FAILURE;
        }
    }
    if (status == 0) status = finalize_cltxt();
    trace.writeTrace(Trace::TRACE_LEVEL_4, "Returning %d (%s)", status, m_error.c_str());
    return status;
}

int OstrelAgent_Cleartext::adopt(int in, const std::string& path) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "adopt");
    // The file is always copied in, also over a cached copy: the caller
    // goes on to remove it itself.
    int status = name_version();
    if (status == 0) status = make_cltxt_parent();
    if (status == 0) status = gen_tmp_path();
    if (status != 0) return status;
    trace.writeTrace(Trace::TRACE_LEVEL_4, "Getting cleartext for %s from view private file %s.",
                     m_cache_path.c_str(), path.c_str());
    status = copy_in(in, path);
    trace.writeTrace(Trace::TRACE_LEVEL_4, "Status from fileutl_cp = %d", status);
    if (status != 0)
        remove_tmp();
    else
        status = finalize_cltxt();
    trace.writeTrace(Trace::TRACE_LEVEL_4, "Returning %d (%s)", status, m_error.c_str());
    return status;
}

int OstrelAgent_Cleartext::copy_in(int in, const std::string& path) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "copy_in");
    // The failed call, the name it was made on, and its error.
    const char* call = "fstat";
    const std::string* name = &path;
    int error = 0;
    int out = -1;
    struct stat source;
    if (::fstat(in, &source) != 0) {
        error = errno;
    } else if (!S_ISREG(source.st_mode)) {
        // Only a file's bytes become a version's cleartext.
        call = "open";
        error = S_ISDIR(source.st_mode) ? EISDIR : EINVAL;
    } else if ((out = ::open(m_tmp_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC)) < 0) {
        call = "open";
        error = errno;
        name = &m_tmp_path;
    } else if ((error = copy_pieces(in, out, call)) != 0 && std::strcmp(call, "read") != 0) {
        name = &m_tmp_path;
    }
    if (out >= 0 && ::close(out) != 0 && error == 0) {
        call = "close";
        error = errno;
        name = &m_tmp_path;
    }
    if (error == 0) return 0;
    trace.writeTrace(Trace::TRACE_LEVEL_2, "%s of %s failed: %d", call, name->c_str(), error);
    m_error += call_failed(call, *name, error);
    return S::GENERAL_FAILURE;
}

std::string OstrelAgent_Cleartext::get_cltxt_relpath() const {
    if (m_cache_path.compare(0, m_cache_root.size(), m_cache_root) != 0) return m_cache_path;
    return m_cache_path.substr(m_cache_root.size() + 1);
}
