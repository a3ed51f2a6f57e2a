#include "platform/utl/sysutl.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

int copy_text(const std::string& text, char* buf, size_t size) {
    if (buf == nullptr || text.size() >= size) {
        errno = ERANGE;
        return -1;
    }
    std::memcpy(buf, text.c_str(), text.size() + 1);
    return 0;
}

// The password-database entry of `uid` or of `name` into `*entry`, with its
// texts in `storage`; false when there is none.
bool lookup_user(const char* name, uid_t uid, struct passwd* entry, std::vector<char>* storage) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    storage->resize(hint > 0 ? static_cast<size_t>(hint) : 4096);
    for (;;) {
        struct passwd* found = nullptr;
        int rc = name != nullptr ? getpwnam_r(name, entry, storage->data(), storage->size(), &found)
                                 : getpwuid_r(uid, entry, storage->data(), storage->size(), &found);
        if (rc == ERANGE && storage->size() < (1u << 20)) {
            storage->resize(storage->size() * 2);
            continue;
        }
        return rc == 0 && found != nullptr;
    }
}

std::string user_name_of(uid_t uid) {
    struct passwd entry;
    std::vector<char> storage;
    if (lookup_user(nullptr, uid, &entry, &storage) && entry.pw_name != nullptr) return entry.pw_name;
    return std::string();
}

const char* non_empty_env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

}  // namespace

int sysutl_get_umask(mode_t* mask) {
    if (mask == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // /proc tells without a change; the umask() pair below briefly changes
    // the mask, so it is only the fallback.
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned value = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status) != nullptr) {
            found = std::sscanf(line, "Umask: %o", &value) == 1;
        }
        std::fclose(status);
        if (found) {
            *mask = static_cast<mode_t>(value);
            return 0;
        }
    }
    mode_t old = umask(0);
    umask(old);
    *mask = old;
    return 0;
}

int sysutl_initialize_umask(int keep_current, mode_t mask) {
    mode_t current = 0;
    if (keep_current != 0 && sysutl_get_umask(&current) != 0) return -1;
    umask((mask | (keep_current != 0 ? current : 0)) & 0777);
    return 0;
}

const char* sysutl_myhostname() {
    static const std::string name = [] {
        char buf[256] = {};
        if (gethostname(buf, sizeof buf - 1) != 0) return std::string();
        return std::string(buf);
    }();
    return name.c_str();
}

const char* sysutl_myloginname() {
    static const std::string name = [] {
        std::string n = user_name_of(getuid());
        if (n.empty() && non_empty_env("LOGNAME") != nullptr) n = non_empty_env("LOGNAME");
        if (n.empty() && non_empty_env("USER") != nullptr) n = non_empty_env("USER");
        if (n.empty()) n = std::to_string(static_cast<unsigned long>(getuid()));
        return n;
    }();
    return name.c_str();
}

int sysutl_get_homedir(const char* user, char* buf, size_t size) {
    bool own = user == nullptr || std::strcmp(user, sysutl_myloginname()) == 0;
    if (own) {
        if (const char* home = non_empty_env("HOME")) return copy_text(home, buf, size) == 0 ? 1 : 0;
    }
    struct passwd entry;
    std::vector<char> storage;
    bool found = own ? lookup_user(nullptr, getuid(), &entry, &storage)
                     : lookup_user(user, 0, &entry, &storage);
    if (!found || entry.pw_dir == nullptr || entry.pw_dir[0] == '\0') return 0;
    return copy_text(entry.pw_dir, buf, size) == 0 ? 1 : 0;
}

int sysutl_usid_to_user(const credutl_sid_t* usid, unsigned flags, const char* domain, char* buf,
                        size_t size) {
    uid_t uid = 0;
    if (usid == nullptr || credutl_sid_to_uid(usid, &uid) != 0) {
        errno = EINVAL;
        return -1;
    }
    std::string name;
    if ((flags & SYSUTL_USER_NAME) != 0) name = user_name_of(uid);
    if (name.empty()) name = "#" + std::to_string(static_cast<unsigned long>(uid));
    if ((flags & SYSUTL_USER_QUALIFIED) != 0) {
        name = std::string(domain != nullptr ? domain : sysutl_myhostname()) + "\\" + name;
    } else if ((flags & SYSUTL_USER_PLAIN) != 0) {
        for (char& c : name) {
            if (c == '/' || c == '\\' || c == ' ' || c == ':' || c == '\t') c = '_';
        }
    }
    return copy_text(name, buf, size);
}

int sysutl_pipe(int flags, int fds[2]) {
    if (fds == nullptr || (flags & ~(O_CLOEXEC | O_NONBLOCK)) != 0) {
        errno = EINVAL;
        return -1;
    }
    return pipe2(fds, flags);
}

int sysutl_pipe_close(int fd) {
    if (fd < 0) return 0;
    return close(fd);
}

int sysutl_set_cloexec_file(int fd, int on) {
    int current = fcntl(fd, F_GETFD);
    if (current < 0) return -1;
    int wanted = on != 0 ? (current | FD_CLOEXEC) : (current & ~FD_CLOEXEC);
    return wanted == current ? 0 : fcntl(fd, F_SETFD, wanted);
}

int sysutl_invoke_general_redirect(int flags, const char* program, const char* argument,
                                   int* exit_status) {
    if (program == nullptr || exit_status == nullptr) {
        errno = EINVAL;
        return -1;
    }
    posix_spawn_file_actions_t actions;
    int rc = posix_spawn_file_actions_init(&actions);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    rc = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0 && (flags & SYSUTL_REDIRECT_STDOUT_TO_STDERR) != 0) {
        rc = posix_spawn_file_actions_adddup2(&actions, 2, 1);
    }
    // The program starts with no signal blocked and every one at its default
    // action: the calling thread may block the termination signals (the
    // daemon waits for them on a thread of its own) and the process ignores
    // SIGPIPE, and neither must outlive the exec.
    posix_spawnattr_t attributes;
    int attr_rc = posix_spawnattr_init(&attributes);
    if (rc == 0) rc = attr_rc;
    if (rc == 0) {
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigdelset(&all, SIGSTOP);
        rc = posix_spawnattr_setsigmask(&attributes, &none);
        if (rc == 0) rc = posix_spawnattr_setsigdefault(&attributes, &all);
        if (rc == 0) {
            rc = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        }
    }
    pid_t pid = -1;
    if (rc == 0) {
        char* argv[3] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
        rc = posix_spawn(&pid, program, &actions, &attributes, argv, environ);
    }
    if (attr_rc == 0) posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    *exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return 0;
}

int sysutl_nfs_flush(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    return close(fd);
}

// ---- processes -------------------------------------------------------------

namespace {

// The value of the line `key` ("State:", "SigPnd:" ...) of a status file of
// /proc; false when the file or the line cannot be read.
bool proc_status_field(const std::string& path, const char* key, std::string* value) {
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) return false;
    char line[256];
    bool found = false;
    const size_t length = std::strlen(key);
    while (!found && std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, key, length) != 0) continue;
        const char* at = line + length;
        while (*at == ' ' || *at == '\t') ++at;
        *value = std::string(at, std::strcspn(at, "\n"));
        found = true;
    }
    std::fclose(file);
    return found;
}

// Whether the hexadecimal signal mask `mask` holds SIGKILL.
bool holds_kill(const std::string& mask) {
    const unsigned long long bits = std::strtoull(mask.c_str(), nullptr, 16);
    return (bits >> (SIGKILL - 1)) & 1u;
}

// Whether the first thread of the process in `dir` is exiting: the
// kernel's flag for a task in its exit (the ninth field of its stat file),
// set before that task closes the process's files.
bool first_thread_exiting(const std::string& dir) {
    FILE* file = std::fopen((dir + "/stat").c_str(), "re");
    if (file == nullptr) return false;
    char line[1024];
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    if (!read) return false;
    // The name, in parentheses, may hold anything: the fields follow the
    // last ')'.
    const char* at = std::strrchr(line, ')');
    if (at == nullptr) return false;
    unsigned long flags = 0;
    if (std::sscanf(at + 1, " %*c %*d %*d %*d %*d %*d %lu", &flags) != 1) return false;
    constexpr unsigned long kExiting = 0x4;
    return (flags & kExiting) != 0;
}

} // namespace

int sysutl_process_ending(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(static_cast<long>(pid));
    std::string value;
    errno = 0;
    if (!proc_status_field(dir + "/status", "State:", &value)) {
        // Only a process that is gone counts as ending; one we may not look
        // at (another user's, /proc mounted hidepid) is taken as running.
        return errno == ENOENT || errno == ESRCH ? 1 : 0;
    }
    // A zombie or dead first thread: the process is on its way out.
    if (!value.empty() && (value[0] == 'Z' || value[0] == 'X')) return 1;
    // Killed and already past its signals: closing its files, which may
    // wait for the very daemon that is dying.
    if (first_thread_exiting(dir)) return 1;
    // A kill of the process is pending on it as a whole, or on each thread
    // not yet gone when it dies of another signal.
    if (proc_status_field(dir + "/status", "ShdPnd:", &value) && holds_kill(value)) return 1;
    if (proc_status_field(dir + "/status", "SigPnd:", &value) && holds_kill(value)) return 1;
    return 0;
}
