#include "lib/ops/ostrelagent_view_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "platform/hooks/test_hooks.h"
#include "platform/imsg/imsg.h"
#include "platform/qel/qel.h"
#include "platform/utl/fileutl.h"
#include "platform/utl/unique_fd.h"

namespace {

const char* const kClass = "OstrelAgent_View_File";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
// Where a view file is opened: never through a link, never waiting for a
// FIFO's other end.
constexpr int SAFE_OPEN = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

struct Trace : OstrelAgent_Trace {
    explicit Trace(const char* method) : OstrelAgent_Trace(OstrelAgent_Trace::OSTRELAGENT, kClass, method) {}
};

// What a type is called in a refusal.
const char* kind_text(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISREG(mode)) return "a plain file";
    return "of an unknown type";
}

bool is_kind(mode_t mode, OstrelAgent_View_File::Kind kind) {
    return kind == OstrelAgent_View_File::Kind::FILE ? S_ISREG(mode) : S_ISDIR(mode);
}

// The base catalogue's text of a call on a name, with `reason`.
int failed(int call_msg, const std::string& path, const std::string& reason, std::string& message) {
    message += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, call_msg, path.c_str(), reason.c_str());
    return OstrelAgent_Status::GENERAL_FAILURE;
}

int failed_errno(int call_msg, const std::string& path, int error, std::string& message) {
    Trace trace("failed");
    trace.writeTrace(LEVEL_2, "%s: %d", path.c_str(), error);
    return failed(call_msg, path, imsg_strerror(error), message);
}

// The refusal of what stands at `path` where `kind` was expected.
int refuse(int call_msg, const std::string& path, mode_t found, OstrelAgent_View_File::Kind kind,
           std::string& message) {
    Trace trace("refuse");
    const char* wanted = kind == OstrelAgent_View_File::Kind::FILE ? "a plain file" : "a directory";
    trace.writeTrace(LEVEL_2, "%s is %s, not %s", path.c_str(), kind_text(found), wanted);
    return failed(call_msg, path, std::string("it is ") + kind_text(found) + ", not " + wanted, message);
}

// Copies what is left of `in` to `out`: 0, or the error with `reading`
// telling which side failed.
int copy_bytes(int in, int out, bool& reading) {
    const char* failed = "";
    const auto before_write = [](off_t) { test_hooks::kill_point("copy-write"); };
    if (fileutl_copy_fd(in, out, &failed, before_write) == 0) return 0;
    const int error = errno;
    reading = std::strcmp(failed, "read") == 0;
    return error;
}

// Opens the plain file `path` with `flags` (one of O_RDONLY, O_WRONLY),
// checked on the descriptor. `error` is the open's error, if it failed.
int open_checked(const std::string& path, int flags, int call_msg, Unique_Fd& out, int& error,
                 std::string& message) {
    test_hooks::kill_point("open");
    Unique_Fd fd(::open(path.c_str(), flags | SAFE_OPEN));
    error = 0;
    if (fd.get() < 0) {
        error = errno;
        // The leaf became a link after it was examined.
        if (error == ELOOP) return refuse(call_msg, path, S_IFLNK, OstrelAgent_View_File::Kind::FILE, message);
        return failed_errno(call_msg, path, error, message);
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return failed_errno(QEL_MSG_STAT, path, errno, message);
    if (!S_ISREG(st.st_mode)) return refuse(call_msg, path, st.st_mode, OstrelAgent_View_File::Kind::FILE, message);
    out.reset(fd.release());
    return 0;
}

// Opens the plain file `path` to set its attributes: for reading where the
// caller may, else for writing.
int open_for_attributes(const std::string& path, int call_msg, Unique_Fd& out, std::string& message) {
    bool present = false;
    int status = OstrelAgent_View_File::expect(path, OstrelAgent_View_File::Kind::FILE, present, message);
    if (status != 0) return status;
    if (!present) return failed_errno(call_msg, path, ENOENT, message);
    std::string first;
    int error = 0;
    if ((status = open_checked(path, O_RDONLY, call_msg, out, error, first)) == 0) return 0;
    if (error != EACCES) {
        message += first;
        return status;
    }
    return open_checked(path, O_WRONLY, call_msg, out, error, message);
}

} // namespace

int OstrelAgent_View_File::examine(const std::string& path, struct stat& st) {
    test_hooks::kill_point("examine");
    return ::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

int OstrelAgent_View_File::expect(const std::string& path, Kind kind, bool& present, std::string& message) {
    struct stat st;
    const int error = examine(path, st);
    present = error == 0;
    if (error == ENOENT) return 0;
    if (error != 0) return failed_errno(QEL_MSG_STAT, path, error, message);
    if (!is_kind(st.st_mode, kind)) return refuse(QEL_MSG_OPEN, path, st.st_mode, kind, message);
    return 0;
}

int OstrelAgent_View_File::open_read(const std::string& path, int& fd, std::string& message) {
    bool present = false;
    int status = expect(path, Kind::FILE, present, message);
    if (status != 0) return status;
    if (!present) return failed_errno(QEL_MSG_OPEN, path, ENOENT, message);
    Unique_Fd opened;
    int error = 0;
    if ((status = open_checked(path, O_RDONLY, QEL_MSG_OPEN, opened, error, message)) != 0) return status;
    // A plain file: reads no longer need to be kept from waiting.
    const int flags = ::fcntl(opened.get(), F_GETFL);
    if (flags >= 0) ::fcntl(opened.get(), F_SETFL, flags & ~O_NONBLOCK);
    fd = opened.release();
    return 0;
}

std::string OstrelAgent_View_File::copy_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t leaf = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, leaf) + "." + path.substr(leaf) + ".ostrel-copy";
}

int OstrelAgent_View_File::copy_whole(const std::string& source, const std::string& path, mode_t mode,
                                      const struct timespec* times, std::string& message) {
    bool attributes_failed = false;
    int status = prepare_copy(source, path, mode, times, message, attributes_failed);
    if (status == 0) status = finish_copy(path, message);
    return status != 0 || !attributes_failed ? status : OstrelAgent_Status::GENERAL_FAILURE;
}

int OstrelAgent_View_File::prepare_copy(const std::string& source, const std::string& path, mode_t mode,
                                        const struct timespec* times, std::string& message,
                                        bool& attributes_failed) {
    Trace trace("prepare_copy");
    attributes_failed = false;
    bool present = false;
    int status = expect(path, Kind::FILE, present, message);
    if (status != 0) return status;
    const std::string temporary = copy_name(path);
    if ((status = drop_copy(path, message)) != 0) return status;

    // A failure of the copy itself is told as a copy onto the name.
    const auto copy_failed = [&](int error) {
        trace.writeTrace(LEVEL_2, "copy of %s to %s failed: %d", source.c_str(), temporary.c_str(), error);
        message += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_COPY_TO, path.c_str(), source.c_str(),
                                            imsg_strerror(error));
        return OstrelAgent_Status::GENERAL_FAILURE;
    };
    Unique_Fd in(::open(source.c_str(), O_RDONLY | SAFE_OPEN));
    struct stat src;
    if (in.get() < 0 || ::fstat(in.get(), &src) != 0) return copy_failed(errno);
    if (!S_ISREG(src.st_mode)) return refuse(QEL_MSG_OPEN, source, src.st_mode, Kind::FILE, message);

    test_hooks::kill_point("create");
    Unique_Fd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | SAFE_OPEN, src.st_mode & 0777));
    if (out.get() < 0) return copy_failed(errno);
    bool reading = false;
    int error = copy_bytes(in.get(), out.get(), reading);
    // A mode or times that cannot be set leave the copy whole: it still
    // takes the name, and the failure is told.
    if (error == 0 && mode != 0) {
        test_hooks::kill_point("chmod");
        if (::fchmod(out.get(), mode) != 0) {
            attributes_failed = true;
            message += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_CHMOD, path.c_str(),
                                                imsg_strerror(errno));
        }
    }
    if (error == 0 && times != nullptr) {
        test_hooks::kill_point("times");
        if (::futimens(out.get(), times) != 0) {
            attributes_failed = true;
            message += OstrelAgent_Lib_Msg::text(OstrelAgent_Lib_Msg::TIME_NOT_PRESERVED, path.c_str(),
                                                 imsg_strerror(errno));
        }
    }
    // The copy is on disk before any name can show it.
    if (error == 0) {
        test_hooks::kill_point("fsync");
        if (::fsync(out.get()) != 0 && errno != EINVAL && errno != ENOSYS) error = errno;
    }
    if (error == 0) error = out.close();
    if (error == 0) return 0;
    out.close();
    ::unlink(temporary.c_str());
    return copy_failed(error);
}

bool OstrelAgent_View_File::copy_left(const std::string& path) {
    struct stat st;
    return examine(copy_name(path), st) == 0 && S_ISREG(st.st_mode);
}

int OstrelAgent_View_File::finish_copy(const std::string& path, std::string& message) {
    bool present = false;
    int status = expect(path, Kind::FILE, present, message);
    if (status != 0) return status;
    const std::string temporary = copy_name(path);
    test_hooks::kill_point("rename");
    if (::rename(temporary.c_str(), path.c_str()) == 0) return 0;
    const int error = errno;
    ::unlink(temporary.c_str());
    message += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_RENAME, temporary.c_str(), path.c_str(),
                                        imsg_strerror(error));
    return OstrelAgent_Status::GENERAL_FAILURE;
}

int OstrelAgent_View_File::drop_copy(const std::string& path, std::string& message) {
    Trace trace("drop_copy");
    // Whatever stands at the temporary name, a link included, is only a
    // name to take away.
    const std::string temporary = copy_name(path);
    struct stat left;
    if (examine(temporary, left) != 0) return 0;
    trace.writeTrace(LEVEL_4, "removing the leftover %s", temporary.c_str());
    if (S_ISDIR(left.st_mode)) return refuse(QEL_MSG_REMOVE, temporary, left.st_mode, Kind::FILE, message);
    test_hooks::kill_point("unlink");
    if (::unlink(temporary.c_str()) == 0 || errno == ENOENT) return 0;
    return failed_errno(QEL_MSG_UNLINK, temporary, errno, message);
}

int OstrelAgent_View_File::set_mode(const std::string& path, mode_t mode, std::string& message) {
    Unique_Fd fd;
    int status = open_for_attributes(path, QEL_MSG_CHMOD, fd, message);
    if (status != 0) return status;
    test_hooks::kill_point("chmod");
    return ::fchmod(fd.get(), mode) == 0 ? 0 : failed_errno(QEL_MSG_CHMOD, path, errno, message);
}

int OstrelAgent_View_File::touch(const std::string& path, std::string& message) {
    Unique_Fd fd;
    int status = open_for_attributes(path, QEL_MSG_OPEN, fd, message);
    if (status != 0) return status;
    test_hooks::kill_point("times");
    if (::futimens(fd.get(), nullptr) == 0) return 0;
    const int error = errno;
    message += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_CALL_ON_NAME_FAILED, "futimens",
                                        path.c_str(), imsg_strerror(error));
    return OstrelAgent_Status::GENERAL_FAILURE;
}

int OstrelAgent_View_File::remove(const std::string& path, bool missing_ok, std::string& message) {
    struct stat st;
    int error = examine(path, st);
    if (error == ENOENT && missing_ok) return 0;
    if (error != 0) return failed_errno(QEL_MSG_REMOVE, path, error, message);
    if (!S_ISREG(st.st_mode)) return refuse(QEL_MSG_REMOVE, path, st.st_mode, Kind::FILE, message);
    test_hooks::kill_point("unlink");
    if (::unlink(path.c_str()) == 0 || (errno == ENOENT && missing_ok)) return 0;
    return failed_errno(QEL_MSG_REMOVE, path, errno, message);
}

int OstrelAgent_View_File::rename(const std::string& from, const std::string& to, std::string& message) {
    struct stat st;
    int error = examine(from, st);
    if (error == ENOENT) return ENOENT;
    if (error != 0) return failed_errno(QEL_MSG_STAT, from, error, message);
    if (!S_ISREG(st.st_mode)) return refuse(QEL_MSG_OPEN, from, st.st_mode, Kind::FILE, message);
    bool present = false;
    if (expect(to, Kind::FILE, present, message) != 0) return OstrelAgent_Status::GENERAL_FAILURE;
    test_hooks::kill_point("rename");
    if (::rename(from.c_str(), to.c_str()) == 0) return 0;
    error = errno;
    if (error == ENOENT) return ENOENT;
    message += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_RENAME, from.c_str(), to.c_str(),
                                        imsg_strerror(error));
    return OstrelAgent_Status::GENERAL_FAILURE;
}
