#include "lib/ostreladb/ostrel_storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "lib/core/ostrelagent_credentials.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "platform/pfm/pfm.h"
#include "platform/server/server.h"
#include "platform/utl/fileutl.h"
#include "platform/utl/sysutl.h"

namespace {

constexpr size_t PATH_LIMIT = 1024;
// Room of a container name besides the file system's longest name: the five
// digits of the subdirectory, the '/' and the terminator.
constexpr size_t NAME_EXTRA = 7;
// The longest name assumed on a file system that shortens long names.
constexpr long SHORT_NAMES = 14;

size_t max_name_len = 0;
uint32_t name_sequencer = 0;

// "<pool>/<name>" in `out`, or false when it is longer than 1024 bytes.
bool pool_path(const char* name, std::string* out) {
    *out = std::string(OSTREL_STORAGE_POOL) + "/" + name;
    return out->size() <= PATH_LIMIT;
}

// The longest file name of the pool's file system when it cannot say: a file
// of 255 letters is made; where it can be found by its first 254 the system
// shortens names. Negative after a logged failure.
long probe_name_max() {
    std::string dir = std::string(OSTREL_STORAGE_POOL) + "/";
    if (dir.size() + 1 > PATH_LIMIT) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_CALL_FAILED, dir.c_str(), ENAMETOOLONG);
        return -1;
    }
    if (dir.size() + 256 > PATH_LIMIT) return SHORT_NAMES;
    std::string full = dir + std::string(255, 't');
    int fd = ::open(full.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0700);
    if (fd < 0) {
        if (errno == ENAMETOOLONG) return SHORT_NAMES;
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_CREATE, full.c_str(), errno);
        return -1;
    }
    ::close(fd);
    std::string cut = dir + std::string(254, 't');
    struct stat st;
    long found;
    std::string made;
    if (::stat(cut.c_str(), &st) == 0) {
        found = SHORT_NAMES;
        made = cut;
    } else if (errno == ENOENT) {
        found = 255;
        made = full;
    } else {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_STAT, cut.c_str(), errno);
        return -1;
    }
    if (::unlink(made.c_str()) != 0) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_UNLINK, made.c_str(), errno);
        return -1;
    }
    return found;
}

// The longest name of the open pool, -1 after a logged failure.
long pool_name_max(int pool_fd) {
    errno = 0;
    long value = ::fpathconf(pool_fd, _PC_NAME_MAX);
    if (value > 0) return value;
    int error = errno != 0 ? errno : EINVAL;
    if (error != EINVAL && error != EOPNOTSUPP && error != ENOSYS)
        imsg_print(IMSG_KIND_WARN, &_qel_cmsg_qel_msg_table, QEL_MSG_CALL_FAILED, "fpathconf", imsg_strerror(error));
    return probe_name_max();
}

// Container modes never carry set-user-id or sticky bits, nor set-group-id
// on a group-executable container.
qel_fmode_t container_mode(qel_fmode_t fmode) {
    fmode &= ~qel_fmode_t{0x800 | 0x200};
    if (fmode & 0x8) fmode &= ~qel_fmode_t{0x400};
    return fmode;
}

bool is_missing(qel_status_t status) { return qel_status2errno(status) == ENOENT; }

qel_status_t stat_failed(const char* path, qel_status_t status) {
    ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_STAT, path, qel_status2errno(status));
    return status;
}

qel_status_t unexpected_type(uint32_t type, const char* path) {
    imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_db_utls_msg_table, DBU_MSG_UNEXPECTED_FILE_TYPE,
               static_cast<long>(type), path);
    return QEL_ST_INVALID;
}

} // namespace

int ostrel_storage_init() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_storage_init");
    const char* pool = OSTREL_STORAGE_POOL;
    if (::access(pool, W_OK) != 0 && ::mkdir(pool, 0777) != 0) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_MKDIR, pool, errno);
        return -1;
    }
    for (int i = 0; i < OSTREL_STORAGE_SUBDIRS; ++i) {
        char path[32];
        std::snprintf(path, sizeof path, "%s%c%05d", pool, '/', i);
        if (::mkdir(path, 0777) != 0 && errno != EEXIST) {
            ostrela_db_file_message(IMSG_KIND_WARN, QEL_MSG_MKDIR, path, errno);
            return -1;
        }
    }
    struct stat here;
    if (::stat(".", &here) != 0) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_STAT, ".", errno);
        return -1;
    }
    int fd = ::open(pool, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ostrela_db_file_message(IMSG_KIND_WARN, QEL_MSG_OPEN, pool, errno);
        return -1;
    }
    long name_max = pool_name_max(fd);
    int status = -1;
    struct stat st;
    if (name_max < 0) {
        // reported
    } else if (::fstat(fd, &st) != 0) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_STAT, pool, errno);
    } else {
        max_name_len = static_cast<size_t>(name_max) + NAME_EXTRA;
        char absolute[PATH_LIMIT];
        // A pool on another device must have a path of its own.
        if (st.st_dev == here.st_dev || fileutl_abspn(pool, absolute, sizeof absolute) == 0) {
            status = 0;
        } else {
            imsg_print(IMSG_KIND_ERR, &_qel_cmsg_qel_msg_table, QEL_MSG_CALL_ON_NAME_FAILED, "fileutl_abspn", pool,
                       imsg_strerror(errno));
        }
    }
    ::close(fd);
    return status;
}

size_t ostrel_storage_max_name() { return max_name_len; }

int ostrel_storage_create(const qel_oid_s* oid, const qel_oid_s*, const char* leaf, uint32_t dbid, char* buf,
                          size_t size) {
    if (name_sequencer == 0) name_sequencer = static_cast<uint32_t>(std::time(nullptr));
    if (size > max_name_len) size = max_name_len;
    // Also refused before the pool is set up, when no length is known.
    if (size <= 20) {
        errno = ENAMETOOLONG;
        return -1;
    }
    uint32_t sequence = name_sequencer++;
    std::snprintf(buf, size, "%05ld%c%08x%06x", static_cast<long>(qel_oid_to_hash32(oid) % OSTREL_STORAGE_SUBDIRS),
                  '/', static_cast<unsigned>(dbid), static_cast<unsigned>(sequence));
    size_t used = std::strlen(buf);
    std::snprintf(buf + used, size - used, "%s", leaf != nullptr ? leaf : "");
    used = std::strlen(buf);
    if (used > 0 && buf[used - 1] == '.') buf[used - 1] = '!';
    std::string path;
    if (!pool_path(buf, &path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    if (errno == ENOENT) return 0;
    int error = errno;
    ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_STAT, path.c_str(), error);
    errno = error;
    return -1;
}

int ostrel_storage_make(const char* name, qel_fmode_t fmode) {
    std::string path;
    if (validate_pname(name) != 0) {
        errno = EPERM;
        return -1;
    }
    if (!pool_path(name, &path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // Nobody may read a container through the pool whom the file's own mode
    // keeps out; the agent serves the file through it, so its owner keeps
    // reading and writing it.
    const mode_t mode = (qel_fmode_t_to_mode_t(container_mode(fmode)) & 0777) | S_IRUSR | S_IWUSR;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        int error = errno;
        if (error != EEXIST) ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_CREATE, path.c_str(), error);
        errno = error;
        return -1;
    }
    ::close(fd);
    return 0;
}

qel_status_t ostrel_storage_remove(const char* name) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_storage_remove");
    if (validate_pname(name) != 0) return QEL_ST_NOT_PERMITTED;
    std::string path;
    if (!pool_path(name, &path)) {
        errno = ENAMETOOLONG;
        return QEL_ST_TOO_LONG;
    }
    if (::unlink(path.c_str()) == 0) return 0;
    // A stale attribute cache of a networked pool may hide the file.
    std::string dir = path.substr(0, path.rfind('/'));
    sysutl_nfs_flush(dir.empty() ? "." : dir.c_str());
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return 0;
    int error = errno;
    if (error != EACCES ||
        imsg_should_trace("ostrelagent_db_utls", OstrelAgent_Trace::TRACE_LEVEL_1, imsg_get_desired_verbosity()))
        ostrela_db_file_message(IMSG_KIND_WARN, QEL_MSG_UNLINK, path.c_str(), error);
    return qel_errno2status(error);
}

int ostrel_storage_remove_dir(const char* name) {
    if (validate_pname(name) != 0) {
        errno = EPERM;
        return -1;
    }
    std::string path;
    if (!pool_path(name, &path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (::rmdir(path.c_str()) == 0 || errno == ENOENT) return 0;
    // Both mean "not empty".
    if (errno == ENOTEMPTY || errno == EEXIST) return 1;
    int error = errno;
    ostrela_db_file_message(IMSG_KIND_WARN, QEL_MSG_REMOVE, path.c_str(), error);
    errno = error;
    return -1;
}

qel_status_t validate_pname(const char* path) {
    if (path == nullptr || path[0] == '/') return QEL_ST_NOT_PERMITTED;
    const char* p = path;
    for (;;) {
        const char* end = std::strchr(p, '/');
        std::string component = end != nullptr ? std::string(p, end) : std::string(p);
        if (std::strcoll(component.c_str(), "..") == 0) return QEL_ST_NOT_PERMITTED;
        if (end == nullptr) return 0;
        p = end + 1;
    }
}

qel_status_t ostrel_storage_fstat_container(const void*, const char* path, qel_fstat_db_s* fstat) {
    qel_status_t status = validate_pname(path);
    if (status != 0) return status;
    if ((status = qel_get_fstat_db(path, 1, fstat)) != 0) return stat_failed(path, status);
    server_fsobj_prot_t prot;
    int error = server_get_fsobj_protections(path, &prot);
    if (error != 0) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_STAT, path, error > 0 ? error : EINVAL);
        return error == -1 ? QEL_ST_NOT_PERMITTED : qel_errno2status(error);
    }
    fstat->usid = prot.owner;
    fstat->gsid = prot.group;
    fstat->mode = qel_mode_t_to_fmode_t(prot.mode);
    return 0;
}

qel_status_t ostrel_storage_protect_container(const void*, const char* path, const credutl_sid_credentials_t* creds,
                                              qel_fmode_t fmode) {
    qel_status_t status = validate_pname(path);
    if (status != 0) return status;
    const credutl_sid_credentials_t* mine = ostrelagent_my_creds();
    if (server_protect_fsobj(path, &mine->user_sid, &creds->group_sid, -1,
                             qel_fmode_t_to_mode_t(container_mode(fmode))) == 0)
        return 0;
    int error = errno;
    ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_CHMOD, path, error);
    return qel_errno2status(error);
}

qel_status_t ostrel_storage_create_container(const void*, const char* path, int make_unique,
                                             const credutl_sid_credentials_t* creds, uint32_t ftype,
                                             qel_fmode_t fmode, std::string* out_path) {
    qel_status_t status = validate_pname(path);
    if (status != 0) return status;
    if (ftype != QEL_FTYPE_REG && ftype != QEL_FTYPE_DIR) return unexpected_type(ftype, path);
    const credutl_sid_credentials_t* mine = ostrelagent_my_creds();
    int is_directory = ftype == QEL_FTYPE_DIR ? 1 : 0;
    mode_t mode = qel_fmode_t_to_mode_t(container_mode(fmode));
    std::string name = path;
    for (int attempt = 1;; ++attempt) {
        if (server_create_fsobj(name.c_str(), &mine->user_sid, &creds->group_sid, mode, is_directory) == 0) break;
        int error = errno;
        if (error == EEXIST && !make_unique) return QEL_ST_EXISTS;
        if (error != EEXIST) {
            ostrela_db_file_message(IMSG_KIND_ERR, is_directory ? QEL_MSG_MKDIR : QEL_MSG_CREATE, name.c_str(), error);
            return qel_errno2status(error);
        }
        name = std::string(path) + "." + std::to_string(attempt);
    }
    try {
        *out_path = name;
    } catch (const std::bad_alloc&) {
        if (is_directory) ::rmdir(name.c_str());
        else ::unlink(name.c_str());
        return QEL_ST_NO_RESOURCES;
    }
    return 0;
}

qel_status_t ostrel_storage_rename_container(const void*, const char* from, const char* to) {
    qel_status_t status = validate_pname(from);
    if (status == 0) status = validate_pname(to);
    if (status != 0) return status;
    struct stat st;
    if (::lstat(from, &st) != 0) {
        int error = errno;
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_STAT, from, error);
        return qel_errno2status(error);
    }
    if (::lstat(to, &st) == 0) return QEL_ST_EXISTS;
    if (errno != ENOENT) {
        int error = errno;
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_STAT, to, error);
        return qel_errno2status(error);
    }
    if (::utime(from, nullptr) != 0) {
        int error = errno;
        imsg_print(IMSG_KIND_ERR, &_qel_cmsg_qel_msg_table, QEL_MSG_CALL_ON_NAME_FAILED, "utime", from,
                   imsg_strerror(error));
        return qel_errno2status(error);
    }
    if (::rename(from, to) != 0) {
        int error = errno;
        imsg_print(IMSG_KIND_ERR, &_qel_cmsg_qel_msg_table, QEL_MSG_RENAME, from, to, imsg_strerror(error));
        return qel_errno2status(error);
    }
    return 0;
}

qel_status_t ostrel_storage_remove_container(const void*, const char* path) {
    qel_status_t status = validate_pname(path);
    if (status != 0) return status;
    qel_fstat_db_s fstat;
    if ((status = qel_get_fstat_db(path, 0, &fstat)) != 0) return stat_failed(path, status);
    int error = 0;
    if (fstat.type == QEL_FTYPE_DIR) {
        // A tree that cannot go whole counts as not empty.
        if (server_remove_tree(path, SERVER_RMTREE_TOP | SERVER_RMTREE_CONTINUE) != 0) error = EEXIST;
    } else if (fstat.type == QEL_FTYPE_REG || fstat.type == QEL_FTYPE_LNK) {
        if (server_remove_fsobj(path) != 0) error = errno;
    } else {
        return unexpected_type(fstat.type, path);
    }
    if (error == 0) return 0;
    ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_REMOVE, path, error);
    return error == EEXIST ? QEL_ST_NOT_EMPTY : qel_errno2status(error);
}

qel_status_t ostrel_storage_replace_container(const void* handle, const char* from, const char* to) {
    qel_status_t status = validate_pname(from);
    if (status == 0) status = validate_pname(to);
    if (status != 0) return status;
    qel_fstat_db_s source, target;
    if ((status = qel_get_fstat_db(from, 0, &source)) != 0) return stat_failed(from, status);
    status = qel_get_fstat_db(to, 0, &target);
    bool replace = status == 0;
    if (replace && target.type != source.type) return unexpected_type(target.type, to);
    if (!replace && !is_missing(status)) return stat_failed(to, status);
    pfm_inhibit();
    status = replace ? ostrel_storage_remove_container(handle, to) : 0;
    if (status == 0) status = ostrel_storage_rename_container(handle, from, to);
    pfm_enable();
    return status;
}
