#include <errno.h>

#include <cstring>

#include "platform/qel/qel.h"

namespace {

constexpr mode_t kModeBits = 07777;

uint32_t file_type_of(mode_t mode) {
    if (S_ISREG(mode)) return QEL_FTYPE_REG;
    if (S_ISDIR(mode)) return QEL_FTYPE_DIR;
    if (S_ISLNK(mode)) return QEL_FTYPE_LNK;
    return QEL_FTYPE_NONE;
}

qel_fstat_time_s time_of(time_t seconds, long nanoseconds) {
    return {static_cast<uint32_t>(seconds), static_cast<uint32_t>(nanoseconds / 1000)};
}

}  // namespace

qel_status_t qel_get_fstat_db(const char* path, int follow, qel_fstat_db_s* out) {
    if (path == nullptr || out == nullptr) return QEL_ST_INVALID;
    struct stat st;
    if ((follow != 0 ? stat(path, &st) : lstat(path, &st)) != 0) return qel_errno2status(errno);
    std::memset(out, 0, sizeof *out);
    out->type = file_type_of(st.st_mode);
    out->mode = qel_mode_t_to_fmode_t(st.st_mode);
    out->nlink = static_cast<uint32_t>(st.st_nlink);
    credutl_uid_to_sid(st.st_uid, &out->usid);
    credutl_gid_to_sid(st.st_gid, &out->gsid);
    out->size = static_cast<uint64_t>(st.st_size);
    out->nodeid = static_cast<uint32_t>(st.st_ino);
    out->atime = time_of(st.st_atim.tv_sec, st.st_atim.tv_nsec);
    out->mtime = time_of(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    out->ctime = time_of(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    return QEL_ST_OK;
}

qel_fmode_t qel_mode_t_to_fmode_t(mode_t mode) {
    return static_cast<qel_fmode_t>(mode & kModeBits);
}

mode_t qel_fmode_t_to_mode_t(qel_fmode_t fmode) {
    return static_cast<mode_t>(fmode) & kModeBits;
}

qel_fmode_t qel_fmode_make_writable(qel_fmode_t fmode) {
    return fmode | S_IWUSR;
}
