#include "lib/view/ostrelagent_view.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/kernel/ostrelagent_korva_agent_ioctl.h"
#include "lib/kernel/ostrelagent_korva_request_handler.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "platform/imsg/imsg.h"
#include "platform/server/server.h"
#include "platform/utl/credutl.h"
#include "platform/utl/fileutl.h"
#include "platform/utl/strutl.h"
#include "platform/utl/sysutl.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_View";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;

// Statuses of create and start that are not agent statuses.
constexpr int HOSTNAME_FILE_FAILED = 2;
constexpr int LOCK_FAILED = 3;
// Base-library statuses.
constexpr int QEL_NO_MEMORY = 1001;
constexpr int QEL_INVALID = 1072;

// The agent catalog and its positions.
const void* lib_catalog() { return &_ostrela_lib_lib_msg_table; }
namespace Msg = OstrelAgent_Lib_Msg;

// `path` without trailing separators and, when relative, taken relative to the
// current directory, so that nothing later depends on where the process stands
// (it moves into the view storage once the view database starts).
std::string absolute_path(const std::string& path) {
    if (path.empty()) return path;
    std::string result = path;
    if (result[0] != OstrelAgent_Util::GLOBAL_PNAME_SEP) {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) != nullptr) {
            std::string base = cwd;
            if (base.back() != OstrelAgent_Util::GLOBAL_PNAME_SEP) base += OstrelAgent_Util::GLOBAL_PNAME_SEP;
            result = base + result;
        }
    }
    while (result.size() > 1 && result.back() == OstrelAgent_Util::GLOBAL_PNAME_SEP) result.pop_back();
    return result;
}

// The directories on the way down to `path` (itself included) that do not
// exist yet, topmost first: the ones that making `path` will create.
std::vector<std::string> missing_directories(const std::string& path) {
    std::vector<std::string> missing;
    std::string dir = path;
    while (!dir.empty() && !fileutl_exists(dir.c_str(), 0)) {
        missing.push_back(dir);
        dir = OstrelAgent_Util::parent(dir);
    }
    std::reverse(missing.begin(), missing.end());
    return missing;
}

const char* or_empty_word(const std::string& text) { return text.empty() ? "EMPTY" : text.c_str(); }

unsigned long pointer_value(const void* pointer) { return reinterpret_cast<unsigned long>(pointer); }

} // namespace

// ---------------------------------------------------------------------------
// Factories, construction and destruction

OstrelAgent_View::OstrelAgent_View(const std::string& storage) : OstrelAgent_View_Base(absolute_path(storage)) {
    norvanethread_mutex_init(&m_view_root_mutex);
    norvanethread_mutex_init(&m_cache_size_mutex);
    norvanethread_mutex_init(&m_unregister_mutex);
}

OstrelAgent_View* OstrelAgent_View::get_view_from_stg(const std::string& storage) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "get_view_from_stg");
    OstrelAgent_View* view = new OstrelAgent_View(storage);
    view->init();
    return view;
}

OstrelAgent_View* OstrelAgent_View::get_view_from_list(const std::string& storage,
                                                       const std::string& cltxt_cache_dir,
                                                       const std::string& view_uuid,
                                                       const std::string& server_tag,
                                                       const std::string& text_mode,
                                                       const std::string& view_type, int preserve) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "get_view_from_list");
    OstrelAgent_View* view = new OstrelAgent_View(storage);
    view->m_cltxt_cache_dir = absolute_path(cltxt_cache_dir);
    view->set_view_uuid(view_uuid);
    view->m_server_tag = server_tag;
    set_g_server_tag(server_tag);
    view->m_text_mode = text_mode;
    view->m_view_type = view_type;
    view->m_preserve_vob_mtime = preserve;
    view->m_cache_size = DEFAULT_CACHE_SIZE;
    view->init();
    return view;
}

void OstrelAgent_View::init() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "init");
    m_lock_file = m_storage + OstrelAgent_Util::GLOBAL_PNAME_SEP + LOCK_FILE;
    m_metadata_file = m_storage + OstrelAgent_Util::GLOBAL_PNAME_SEP + VIEW_METADATA_FILE;
    trace.writeTrace(LEVEL_4, "this=%lx server tag=%s", pointer_value(this), m_server_tag.c_str());
}

OstrelAgent_View::~OstrelAgent_View() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "~OstrelAgent_View");
    if (m_view_db) m_view_db->close_db();
    conditional_unlock();
    norvanethread_mutex_destroy(&m_unregister_mutex);
    norvanethread_mutex_destroy(&m_cache_size_mutex);
    norvanethread_mutex_destroy(&m_view_root_mutex);
}

// ---------------------------------------------------------------------------
// Create and start

int OstrelAgent_View::check_recordable() const {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "check_recordable");
    const std::string url = OstrelAgent_Server::get_server_url();
    const std::pair<const char*, const std::string*> values[] = {
        {VIEW_UUID_KEY, &m_view_uuid_str},   {SERVER_TAG_KEY, &m_server_tag},
        {VIEW_TEXT_MODE_KEY, &m_text_mode},  {VIEW_TYPE_KEY, &m_view_type},
        {OstrelAgent_Server::SERVER_URL, &url},
        {CLTXT_CACHE_DIR_KEY, &m_cltxt_cache_dir},
    };
    for (const auto& value : values) {
        // A newline would end the line early and make the rest a line of its own.
        if (value.second->find('\n') != std::string::npos) {
            trace.writeTrace(LEVEL_4, "Value of %s holds a newline", value.first);
            return OstrelAgent_Status::MALFORMED_REQUEST;
        }
        // The reader trims every value: one that begins or ends in white
        // space would come back as another value (another cache directory).
        if (*value.second != OstrelAgent_Util::trim(*value.second)) {
            trace.writeTrace(LEVEL_4, "Value of %s begins or ends in white space", value.first);
            return OstrelAgent_Status::MALFORMED_REQUEST;
        }
    }
    return 0;
}

int OstrelAgent_View::create() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "create");
    // Settings that could never be recorded or used are refused before
    // anything is made.
    int status = check_recordable();
    if (status != 0) return status;
    if (m_cltxt_cache_dir.empty()) {
        m_status_msg = OstrelAgent_Util::format(lib_catalog(), Msg::NO_CLTXT_CACHE_DIR, m_storage.c_str());
        return OstrelAgent_Status::MALFORMED_REQUEST;
    }
    if (m_view_uuid_str.empty()) {
        m_status_msg = OstrelAgent_Util::format(lib_catalog(), Msg::NO_VIEW_UUID, m_storage.c_str());
        return OstrelAgent_Status::INVALID_VIEW_UUID;
    }
    if (qel_uuid_eq(&m_view_uuid, &QEL_UUID_NULL)) {
        m_status_msg = OstrelAgent_Util::format(lib_catalog(), Msg::BAD_VIEW_UUID, m_view_uuid_str.c_str(),
                                                m_storage.c_str());
        return OstrelAgent_Status::INVALID_VIEW_UUID;
    }

    if ((status = create_view_storage()) != 0) return status;
    if ((status = validate_create_cache_dir()) != 0) return status;
    if ((status = create_hostname_file()) != 0) return status;
    if ((status = take_lock()) != 0) return status;
    if ((status = create_metadata_file(&m_status_msg)) != 0) return status;
    if (cache_init() != 0) return OstrelAgent_Status::NS_CACHE_INIT_FAILED;
    if ((status = start_view_db()) != 0) return status;
    if (ostrel_db_create_vns_view(&m_view_uuid, 1) != 0) {
        trace.writeTrace(LEVEL_2, "Failed to create vns entry for view.");
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    set_current_gn(1, false);
    return register_korva();
}

int OstrelAgent_View::start() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "start");
    int status = read_metadata_file(1);
    if (status != 0) return status;
    if ((status = validate_hostname_file()) != 0) return status;
    if ((status = take_lock()) != 0) return status;
    if ((status = create_metadata_file(&m_status_msg)) != 0) return status;
    if (cache_init() != 0) return OstrelAgent_Status::NS_CACHE_INIT_FAILED;
    if ((status = start_view_db()) != 0) {
        m_status_msg += OstrelAgent_Util::format(lib_catalog(), Msg::DB_INIT_FAILED, status);
        return status;
    }
    unsigned int gn = 0;
    if (ostrel_db_get_vns_view_gn(&gn) != 0) {
        gn = 0;
        if (ostrel_db_create_vns_view(&m_view_uuid, 0) != 0) {
            trace.writeTrace(LEVEL_2, "Failed to create vns entry for view.");
            return OstrelAgent_Status::GENERAL_FAILURE;
        }
    }
    set_current_gn(gn, false);
    return register_korva();
}

int OstrelAgent_View::get_view_info() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "get_view_info");
    return read_metadata_file(0);
}

int OstrelAgent_View::create_view_storage() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "create_view_storage");
    if (fileutl_exists(m_storage.c_str(), 0)) return OstrelAgent_Status::VIEW_EXISTS;
    std::vector<std::string> parents = missing_directories(OstrelAgent_Util::parent(m_storage));
    int error = 0;
    if (fileutl_mkpath(m_storage.c_str(), 0700, 0) != 0) {
        error = errno;
    } else if (mkdir(m_storage.c_str(), 0700) != 0) {
        // The last component is made exclusively: a storage that appeared in
        // the meantime belongs to someone else.
        error = errno;
    }
    // Parents made before a failure are still ours to remove.
    for (const std::string& dir : parents) {
        if (fileutl_exists(dir.c_str(), 0)) m_made_dirs.push_back(dir);
    }
    if (error == EEXIST) return OstrelAgent_Status::VIEW_EXISTS;
    if (error != 0) {
        trace.writeTrace(LEVEL_4, "Error creating %s: %s", m_storage.c_str(), imsg_strerror(error));
        m_status_msg = OstrelAgent_Util::format(lib_catalog(), Msg::STORAGE_MKDIR, OstrelAgent_Status::MKDIR_FAILED,
                                                m_storage.c_str());
        return OstrelAgent_Status::MKDIR_FAILED;
    }
    m_made_storage = true;
    return 0;
}

int OstrelAgent_View::validate_create_cache_dir() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "validate_create_cache_dir");
    std::string marker = m_cltxt_cache_dir + OstrelAgent_Util::GLOBAL_PNAME_SEP + CLTXT_CACHE_HIDDEN_FILE;
    OstrelAgent_Util::globalize_path(marker);
    if (fileutl_exists(marker.c_str(), 1)) {
        trace.writeTrace(LEVEL_2, "Cache directory %s validated", m_cltxt_cache_dir.c_str());
        return 0;
    }
    bool dir_exists = fileutl_exists(m_cltxt_cache_dir.c_str(), 1) != 0;
    if (OstrelAgent_Util::find_in_ancestors(CLTXT_CACHE_HIDDEN_FILE, m_cltxt_cache_dir)) {
        trace.writeTrace(LEVEL_2, "Cache directory %s child of another valid cache location",
                         m_cltxt_cache_dir.c_str());
        m_status_msg = OstrelAgent_Util::format(lib_catalog(), Msg::CACHE_DIR_NESTED, m_cltxt_cache_dir.c_str());
        return OstrelAgent_Status::CACHE_DIR_NESTED;
    }
    if (dir_exists) {
        int is_empty = 0;
        int status = OstrelAgent_Util::is_dir_empty(m_cltxt_cache_dir, is_empty);
        if (status != 0) {
            trace.writeTrace(LEVEL_2, "Error checking if %s is empty", m_cltxt_cache_dir.c_str());
            m_status_msg = OstrelAgent_Util::format(lib_catalog(), Msg::CACHE_DIR_INVALID, m_cltxt_cache_dir.c_str());
            return status;
        }
        if (!is_empty) {
            trace.writeTrace(LEVEL_2, "Cache directory %s is not empty", m_cltxt_cache_dir.c_str());
            m_status_msg = OstrelAgent_Util::format(lib_catalog(), Msg::CACHE_DIR_INVALID, m_cltxt_cache_dir.c_str());
            return OstrelAgent_Status::CACHE_DIR_NOT_EMPTY;
        }
    }
    std::vector<std::string> made = missing_directories(OstrelAgent_Util::parent(marker));
    int mkpath_result = fileutl_mkpath(marker.c_str(), 0700, 0);
    int error = errno;
    for (const std::string& dir : made) {
        if (fileutl_exists(dir.c_str(), 0)) m_made_dirs.push_back(dir);
    }
    if (mkpath_result != 0) {
        trace.writeTrace(LEVEL_2, "Error creating parent directory for %s: %s", marker.c_str(),
                         imsg_strerror(error));
        m_status_msg = OstrelAgent_Util::format(lib_catalog(), Msg::CACHE_DIR_MKDIR, imsg_strerror(error),
                                                marker.c_str());
        return OstrelAgent_Status::MKDIR_FAILED;
    }
    int fd = open(marker.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = errno;
        trace.writeTrace(LEVEL_2, "Error Creating %s", marker.c_str());
        m_status_msg = OstrelAgent_Util::format(lib_catalog(), Msg::CACHE_DIR_MKDIR, imsg_strerror(error),
                                                marker.c_str());
        return OstrelAgent_Status::MKDIR_FAILED;
    }
    close(fd);
    m_made_cache_marker = true;
    return 0;
}

int OstrelAgent_View::create_hostname_file() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "create_hostname_file");
    credutl_sid_credentials_t creds;
    if (credutl_get_sid_credentials(&creds) != 0) {
        trace.writeTrace(LEVEL_2, "can't get my creds");
        m_status_msg += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_CALL_FAILED,
                                                 "credutl_get_sid_credentials", "failed");
        return HOSTNAME_FILE_FAILED;
    }
    char host[SERVER_HOSTNAME_SIZE];
    std::memset(host, 0, sizeof host);
    if (gethostname(host, sizeof host - 1) != 0) {
        const char* text = imsg_strerror(errno);
        trace.writeTrace(LEVEL_2, "can't get hostname: %s", text);
        m_status_msg += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_CALL_FAILED, "gethostname", text);
        return HOSTNAME_FILE_FAILED;
    }
    if (server_create_hostname_file(m_storage.c_str(), host, &creds) != 0) {
        const char* text = imsg_strerror(errno);
        trace.writeTrace(LEVEL_2, "can't create hostname file: %s", text);
        m_status_msg += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_CALL_FAILED,
                                                 "server_create_hostname_file", text);
        return HOSTNAME_FILE_FAILED;
    }
    return 0;
}

int OstrelAgent_View::validate_hostname_file() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "validate_hostname_file");
    char registered[SERVER_HOSTNAME_SIZE];
    registered[0] = '\0';
    if (server_validate_hostname(m_storage.c_str(), registered) > 0) return 0;
    trace.writeTrace(LEVEL_2, "wrong hostname: %s", registered);
    m_status_msg += OstrelAgent_Util::format(lib_catalog(), Msg::WRONG_HOST, registered);
    return OstrelAgent_Status::WRONG_HOST;
}

int OstrelAgent_View::start_view_db() {
    if (m_view_db) m_view_db->close_db();
    m_view_db.reset(new OstrelAgent_View_db(m_storage, m_view_uuid_str));
    return m_view_db->start_db();
}

// ---------------------------------------------------------------------------
// Clean-up

int OstrelAgent_View::cleanup() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "cleanup");
    std::string tag = get_g_server_tag();
    if (tag.empty()) {
        trace.writeTrace(LEVEL_4, "No view tag found to unregister");
        return QEL_NO_MEMORY;
    }
    set_server_tag(tag);
    OstrelAgent_KORVA_Ioctl korva(this);
    trace.writeTrace(LEVEL_2, "Calling unregister_view for server tag: %s", tag.c_str());
    int status = korva.unregister_view();
    trace.writeTrace(LEVEL_2, "Status from unregister_view = %d", status);
    if (status == 0) m_registered = false;
    return status;
}

int OstrelAgent_View::unregister_once() {
    OstrelAgent_Mutex_Guard guard(m_unregister_mutex);
    return m_registered ? cleanup() : 0;
}

void OstrelAgent_View::cleanup_storage() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "cleanup_storage");
    // The database's files are named relative to the storage: it is closed
    // before the working directory leaves it.
    if (m_view_db) {
        m_view_db->close_db();
        m_view_db.reset();
    }
    if (chdir("/") != 0) trace.writeTrace(LEVEL_4, "chdir / failed: %s", imsg_strerror(errno));
    conditional_unlock();
    if (m_made_storage && !m_storage.empty()) {
        if (fileutl_rm(m_storage.c_str(), FILEUTL_RM_RECURSIVE) != 0) {
            trace.writeTrace(LEVEL_4, "Removing %s failed: %s", m_storage.c_str(), imsg_strerror(errno));
        }
    }
    if (m_made_cache_marker) {
        std::string marker = m_cltxt_cache_dir + OstrelAgent_Util::GLOBAL_PNAME_SEP + CLTXT_CACHE_HIDDEN_FILE;
        unlink(marker.c_str());
    }
    // Deepest first; a directory that someone else has put something into
    // in the meantime stays.
    for (auto dir = m_made_dirs.rbegin(); dir != m_made_dirs.rend(); ++dir) rmdir(dir->c_str());
    // The failed create registered nothing, and its tag may be another
    // view's: the exit hook's clean-up must not unregister it.
    clear_g_server_tag();
    m_made_storage = false;
    m_made_cache_marker = false;
    m_made_dirs.clear();
}

// ---------------------------------------------------------------------------
// Storage lock

int OstrelAgent_View::lock() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "lock");
    // Locking again must not lose the cookie of the lock already held.
    if (m_lock_cookie >= 0) return 1;
    pid_t owner = 0;
    m_lock_cookie = server_lock_set(m_lock_file.c_str(), &owner);
    if (m_lock_cookie == LOCK_NOT_HELD) {
        trace.writeTrace(LEVEL_4, "PID %d owns view lock %s", static_cast<int>(owner), m_lock_file.c_str());
        // A daemon killed while one of its threads cannot end yet keeps the
        // lock until it has: a start now fails, a later one may not.
        const bool ending = owner > 0 && sysutl_process_ending(owner) != 0;
        m_status_msg += OstrelAgent_Util::format(lib_catalog(), ending ? Msg::STORAGE_LOCKED_ENDING : Msg::STORAGE_LOCKED,
                                                 m_storage.c_str(), static_cast<int>(owner));
        return 0;
    }
    if (m_lock_cookie == LOCK_SYSTEM_ERROR) {
        const int error = errno;
        trace.writeTrace(LEVEL_4, "system error trying to get view lock %s", m_lock_file.c_str());
        m_status_msg += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_CALL_ON_NAME_FAILED,
                                                 "server_lock_set", m_lock_file.c_str(), imsg_strerror(error));
        return 0;
    }
    trace.writeTrace(LEVEL_4, "lock cookie %d for lock file %s", m_lock_cookie, m_lock_file.c_str());
    return 1;
}

int OstrelAgent_View::take_lock() {
    if (lock()) return 0;
    // Only a lock that another process holds means another agent serves the
    // view; a lock file that cannot be written (a full disk) is a failed write.
    return m_lock_cookie == LOCK_NOT_HELD ? LOCK_FAILED : OstrelAgent_Status::STORAGE_WRITE_FAILED;
}

void OstrelAgent_View::unlock() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "unlock");
    server_lock_clear(m_lock_file.c_str(), m_lock_cookie);
    m_lock_cookie = LOCK_NOT_HELD;
}

void OstrelAgent_View::conditional_unlock() {
    if (m_lock_cookie != LOCK_NOT_HELD && m_lock_cookie != LOCK_SYSTEM_ERROR) unlock();
}

// ---------------------------------------------------------------------------
// Metadata file

int OstrelAgent_View::create_metadata_file(std::string* message) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "create_metadata_file");
    int status = check_recordable();
    if (status != 0) return status;
    const std::string sep = OstrelAgent_AbstractOp::KEY_VALUE_SEP;
    std::string content;
    content += std::string(VERSION_ID) + sep + VERSION_VALUE + "\n";
    content += std::string(VIEW_UUID_KEY) + sep + m_view_uuid_str + "\n";
    content += std::string(SERVER_TAG_KEY) + sep + m_server_tag + "\n";
    content += std::string(VIEW_TEXT_MODE_KEY) + sep + m_text_mode + "\n";
    content += std::string(VIEW_TYPE_KEY) + sep + m_view_type + "\n";
    content += std::string(VIEW_PTIME_KEY) + sep + (m_preserve_vob_mtime ? "true" : "false") + "\n";
    content += std::string(OstrelAgent_Server::SERVER_URL) + sep + OstrelAgent_Server::get_server_url() + "\n";
    content += std::string(CLTXT_CACHE_DIR_KEY) + sep + m_cltxt_cache_dir + "\n";
    content += std::string(CACHE_SIZE_KEY) + sep + std::to_string(m_cache_size.load()) + "\n";
    int error = OstrelAgent_Util::write_whole_file(m_storage, m_metadata_file, content, ".ostrel.");
    if (error != 0) {
        trace.writeTrace(LEVEL_4, "%s write failed. errno: %d", m_metadata_file.c_str(), error);
        if (message != nullptr) {
            *message += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_WRITE, m_metadata_file.c_str(),
                                                 imsg_strerror(error));
        }
        return OstrelAgent_Status::STORAGE_WRITE_FAILED;
    }
    return 0;
}

int OstrelAgent_View::read_metadata_file(int validate) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "read_metadata_file");
    std::ifstream in(m_metadata_file, std::ios::in | std::ios::binary);
    if (!in.is_open()) {
        trace.writeTrace(LEVEL_4, "%s open failed. errno: %d", m_metadata_file.c_str(), errno);
        return OstrelAgent_Status::NO_VIEW;
    }
    trace.writeTrace(LEVEL_4, "%s is open", m_metadata_file.c_str());
    int status = 0;
    std::string line;
    while (std::getline(in, line)) {
        trace.writeTrace(LEVEL_4, "Read line [%s]", line.c_str());
        if (line.empty()) continue;
        size_t sep = line.find(OstrelAgent_AbstractOp::KEY_VALUE_SEP);
        if (sep == std::string::npos) {
            status = OstrelAgent_Status::METADATA_PARSE_FAILED;
            break;
        }
        std::string key = OstrelAgent_Util::trim(line.substr(0, sep));
        std::string value = OstrelAgent_Util::trim(line.substr(sep + 1));
        if (key == VIEW_UUID_KEY) {
            if (set_view_uuid(value) != 0) {
                status = OstrelAgent_Status::INVALID_VIEW_UUID;
                break;
            }
        } else if (key == SERVER_TAG_KEY) {
            set_server_tag(value);
            set_g_server_tag(value);
            trace.writeTrace(LEVEL_4, "this=%lx server tag=%s", pointer_value(this), m_server_tag.c_str());
        } else if (key == VIEW_TEXT_MODE_KEY) {
            m_text_mode = value;
        } else if (key == VIEW_TYPE_KEY) {
            m_view_type = value;
        } else if (key == VIEW_PTIME_KEY) {
            m_preserve_vob_mtime = value == "true" ? 1 : 0;
        } else if (key == CLTXT_CACHE_DIR_KEY) {
            m_cltxt_cache_dir = value;
        } else if (key == CACHE_SIZE_KEY) {
            std::string number = OstrelAgent_Util::trim(value);
            std::string message;
            unsigned long size = 0;
            // A number beyond 32 bits is as unreadable as no number.
            if (number.empty() || strutl_strtoul(number.c_str(), 10, &size) != 0 || size > UINT_MAX) {
                message = OstrelAgent_Util::format(lib_catalog(), Msg::PARSE_ERROR, m_metadata_file.c_str());
            } else if (set_cache_size(static_cast<unsigned int>(size), message, false) != 0 && message.empty()) {
                message = OstrelAgent_Util::format(lib_catalog(), Msg::PARSE_ERROR, m_metadata_file.c_str());
            }
            if (!message.empty()) {
                imsg_print(IMSG_KIND_ERR, &_qel_cmsg_qel_msg_table, QEL_MSG_TEXT, message.c_str());
                status = OstrelAgent_Status::METADATA_PARSE_FAILED;
                break;
            }
        }
    }
    if (status == 0 && in.bad()) status = OstrelAgent_Status::METADATA_PARSE_FAILED;
    trace.writeTrace(LEVEL_4, "Status from reading metadata file = %d", status);
    if (status == 0 && validate != 0 && !is_valid()) status = OstrelAgent_Status::INVALID_VIEW_UUID;
    return status;
}

// ---------------------------------------------------------------------------
// Settings

int OstrelAgent_View::set_view_uuid(const std::string& uuid) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "set_view_uuid");
    qel_uuid_s parsed;
    if (qel_str_to_uuid(uuid.c_str(), &parsed) != 0) {
        trace.writeTrace(LEVEL_4, "Invalid view UUID %s", uuid.c_str());
        return OstrelAgent_Status::INVALID_VIEW_UUID;
    }
    m_view_uuid_str = uuid;
    m_view_uuid = parsed;
    return 0;
}

int OstrelAgent_View::set_cache_size(unsigned int size, std::string& message, bool save) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "set_cache_size");
    OstrelAgent_Mutex_Guard guard(m_cache_size_mutex);
    int status = ns_cache_set_size(size, !save);
    if (status == QEL_INVALID) {
        message += OstrelAgent_Util::format(lib_catalog(), Msg::CACHE_SIZE_MINIMUM, size, DEFAULT_CACHE_SIZE);
        return OstrelAgent_Util::qel_to_ostrel_status(status);
    }
    if (status != 0) {
        message += OstrelAgent_Util::format(lib_catalog(), Msg::CACHE_SIZE_FAILED, size, qel_strerror(status));
        return OstrelAgent_Util::qel_to_ostrel_status(status);
    }
    m_cache_size = size;
    if (save) {
        status = create_metadata_file();
        if (status != 0) {
            message += OstrelAgent_Util::format(lib_catalog(), Msg::CACHE_SIZE_NOT_SAVED);
            return status;
        }
    }
    return 0;
}

int OstrelAgent_View::is_valid() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "is_valid");
    const std::string url = OstrelAgent_Server::get_server_url();
    trace.writeTrace(LEVEL_4, "server tag = %s, text mode = %s, uuid = %s, type = %s, server url = %s",
                     or_empty_word(m_server_tag), or_empty_word(m_text_mode), or_empty_word(m_view_uuid_str),
                     or_empty_word(m_view_type), or_empty_word(url));
    const char* storage = m_storage.c_str();
    // Every missing item is named. A missing tag or text mode replaces what
    // the status message held before; the others are added to it.
    std::string missing;
    bool replace = false;
    if (m_server_tag.empty()) {
        missing += OstrelAgent_Util::format(lib_catalog(), Msg::NO_SERVER_TAG, storage);
        replace = true;
    }
    if (m_text_mode.empty()) {
        missing += OstrelAgent_Util::format(lib_catalog(), Msg::NO_TEXT_MODE, storage);
        replace = true;
    }
    if (m_view_uuid_str.empty()) missing += OstrelAgent_Util::format(lib_catalog(), Msg::NO_VIEW_UUID, storage);
    if (qel_uuid_eq(&m_view_uuid, &QEL_UUID_NULL)) {
        missing += OstrelAgent_Util::format(lib_catalog(), Msg::BAD_VIEW_UUID, m_view_uuid_str.c_str(), storage);
    }
    if (url.empty()) missing += OstrelAgent_Util::format(lib_catalog(), Msg::BAD_SERVER_INFO, storage);
    if (m_view_type.empty()) missing += OstrelAgent_Util::format(lib_catalog(), Msg::NO_VIEW_TYPE, storage);
    if (missing.empty()) return 1;
    if (replace) {
        m_status_msg = missing;
    } else {
        m_status_msg += missing;
    }
    return 0;
}

int OstrelAgent_View::register_korva() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "register_korva");
    OstrelAgent_KORVA_Ioctl korva(this);
    // The kernel starts sending requests once the view is registered: the
    // threads that answer them must be startable by then.
    int status = OstrelAgent_KORVA_Request_Handler::get_instance() == nullptr ? QEL_ST_NO_RESOURCES
                                                                               : korva.register_view();
    trace.writeTrace(LEVEL_2, "Status from register_view = %d (%s)", status, qel_strerror(status));
    if (status == 0) {
        m_registered = true;
    } else {
        // The kernel refuses some tags (a "/", "..", control characters):
        // say so, or the reply gives a bare general failure.
        m_status_msg += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_CALL_ON_NAME_FAILED,
                                                 "register_view", m_server_tag.c_str(), qel_strerror(status));
    }
    return OstrelAgent_Util::qel_to_ostrel_status(status);
}

// ---------------------------------------------------------------------------
// View root

std::string OstrelAgent_View::get_view_root() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "get_view_root");
    OstrelAgent_Mutex_Guard guard(m_view_root_mutex);
    if (!m_view_root.empty()) return m_view_root;
    std::string korva_root;
    int status = KORVA_Agent_Ioctl::get_korva_root(KORVA_VIEWROOT_AUTOMATIC, korva_root);
    std::string root = korva_root + OstrelAgent_Util::GLOBAL_PNAME_SEP + m_server_tag;
    // A failed query is asked again next time rather than remembered.
    if (status == 0) m_view_root = root;
    trace.writeTrace(LEVEL_4, "Root is %s", root.c_str());
    return root;
}

