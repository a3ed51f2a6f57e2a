// Files in a view behave as in a plain directory: every case runs the same
// system calls in a plain directory and in a view-private directory of the
// mount, in the same run, and records each call's result (its value, or the
// errno's name) and what the files show afterwards; the two records must be
// equal. Cases that need another user run in a forked child that takes
// that user's ids. A seeded random sequence of such calls, compared after
// every step, catches what the table misses: CI runs a few seeds; more run
// with FUSE_PLAIN_SEEDS=<count> (and FUSE_PLAIN_STEPS=<steps>), as
// scripts/fuse_plain does. Between steps the daemon is killed outright now
// and then (about once in FUSE_PLAIN_KILL_EVERY steps, 0: never) and started
// again: nothing of it shows.
//
// Apart: what a plain directory cannot show (the limits of the kernel
// protocol, loaded files that are read-only), and what a daemon killed
// outright leaves (the files written before, with their inode numbers).

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fuse_fixture.h"

namespace e2e {
namespace {

// Another user and groups, for the cases that are not root's.
constexpr uid_t kUser = 4242;
constexpr gid_t kGroup = 4343;
constexpr gid_t kOtherGroup = 4444;

// A time the cases set, to see whether a call moves it.
constexpr time_t kOld = 1000000000;

// The record of one run of a case.
class Calls {
public:
    // `result` of the call `what`: its value, or the errno's name when it
    // is negative.
    long operator()(const std::string& what, long result) {
        const int error = errno;
        m_text += what + " " + (result < 0 ? name_of(error) : std::to_string(result)) + "\n";
        errno = error;
        return result;
    }
    // An open's result: "fd", or the errno's name.
    int opened(const std::string& what, int result) {
        const int error = errno;
        note(what, result < 0 ? name_of(error) : "fd");
        errno = error;
        return result;
    }
    void note(const std::string& what, const std::string& value) { m_text += what + " " + value + "\n"; }
    // The status of `path` (lstat), or the errno's name.
    void stat(const std::string& path) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            note("stat " + path, name_of(errno));
        } else {
            note("stat " + path, shown(st));
        }
    }
    void fstat(const std::string& what, int fd) {
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            note("fstat " + what, name_of(errno));
        } else {
            note("fstat " + what, shown(st));
        }
    }
    // The contents of `path`, or the errno's name.
    void contents(const std::string& path) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            note("contents " + path, name_of(errno));
            return;
        }
        note("contents " + path, quoted(read_all(fd, 0)));
        ::close(fd);
    }
    // Bytes of `fd` from `offset` on.
    void pread(const std::string& what, int fd, off_t offset) {
        errno = 0;
        std::string text = read_all(fd, offset);
        note("pread " + what, errno != 0 ? name_of(errno) : quoted(text));
    }
    const std::string& text() const { return m_text; }

    static std::string name_of(int error) {
        const char* name = ::strerrorname_np(error);
        return name != nullptr ? name : std::to_string(error);
    }
    // What a status shows that a plain directory and the view share: the
    // type, mode, link count, owner, size (not a directory's), and whether
    // the modification time is kOld.
    static std::string shown(const struct stat& st) {
        char text[160];
        const char type = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : S_ISREG(st.st_mode) ? 'f' : '?';
        std::snprintf(text, sizeof text, "%c %04o links %lu owner %u:%u", type, st.st_mode & 07777,
                      static_cast<unsigned long>(st.st_nlink), st.st_uid, st.st_gid);
        std::string out = text;
        if (!S_ISDIR(st.st_mode)) out += " size " + std::to_string(st.st_size);
        out += st.st_mtime == kOld ? " mtime old" : " mtime new";
        return out;
    }
    static std::string read_all(int fd, off_t offset) {
        std::string text;
        char buffer[65536];
        for (;;) {
            ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
            if (n <= 0) break;
            text.append(buffer, static_cast<size_t>(n));
            offset += n;
        }
        return text;
    }
    static std::string quoted(const std::string& bytes) {
        std::string out = "\"";
        for (unsigned char c : bytes) {
            if (c >= 0x20 && c < 0x7f && c != '\\') {
                out += static_cast<char>(c);
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\%03o", c);
                out += escaped;
            }
        }
        return out + "\"";
    }

private:
    std::string m_text;
};

// Writes `text` whole; the count written or -1.
long put(int fd, const std::string& text) { return ::write(fd, text.data(), text.size()); }

// Makes `path` with `text` (mode 0644 before the umask); 0 or -1.
int make(const std::string& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    long written = put(fd, text);
    return ::close(fd) == 0 && written == static_cast<long>(text.size()) ? 0 : -1;
}

int set_times(const std::string& path, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}
int set_times(int fd, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    return ::futimens(fd, times);
}

// The names of an open directory (getdents64 from its current offset),
// sorted; "." and ".." among them when listed.
std::string listed(int fd) {
    std::vector<std::string> names;
    alignas(8) char buffer[8192];
    for (;;) {
        long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (n < 0) return Calls::name_of(errno);
        if (n == 0) break;
        for (long at = 0; at < n;) {
            auto* entry = reinterpret_cast<struct dirent64*>(buffer + at);
            names.push_back(entry->d_name);
            at += entry->d_reclen;
        }
    }
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
    return "[" + text + "]";
}

// What a directory holds, one line per name below it: its status and
// contents, recursively.
void tree_of(Calls& c, const std::string& dir, const std::string& prefix = "") {
    int fd = ::open((dir + prefix).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        c.note("tree " + prefix, Calls::name_of(errno));
        return;
    }
    std::string names = listed(fd);
    ::close(fd);
    c.note("tree " + (prefix.empty() ? "." : prefix), names);
    names = names.substr(1, names.size() - 2);
    for (size_t at = 0; at < names.size();) {
        size_t end = names.find(',', at);
        if (end == std::string::npos) end = names.size();
        const std::string name = names.substr(at, end - at);
        at = end + 1;
        if (name == "." || name == "..") continue;
        const std::string path = prefix + "/" + name;
        c.stat(path.substr(1));
        struct stat st;
        if (::lstat((dir + path).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            tree_of(c, dir, path);
        } else if (S_ISREG(st.st_mode)) {
            c.contents(path.substr(1));
        }
    }
}

// A case: calls made in a directory, as root or as kUser. The paths are
// relative to the working directory, which is the case's directory.
struct Case {
    const char* name;
    std::function<void(Calls&)> setup;  // as root, first (may be empty)
    std::function<void(Calls&)> body;
    bool as_user = false;
};

const std::vector<Case>& cases() {
    static const std::vector<Case> table = {
        {"an open with O_TRUNC truncates", {}, [](Calls& c) {
             make("f", "0123456789\n");
             int fd = c.opened("open trunc", ::open("f", O_WRONLY | O_TRUNC | O_CLOEXEC));
             c("write", put(fd, "ab\n"));
             c("close", ::close(fd));
             c.contents("f");
             c.stat("f");
             // Read-only with O_TRUNC truncates too; times move even when
             // the file was empty.
             make("g", "0123");
             c("close", ::close(c.opened("open rdonly trunc", ::open("g", O_RDONLY | O_TRUNC | O_CLOEXEC))));
             c.stat("g");
             c("utimens", set_times("g", kOld));
             c("close", ::close(c.opened("open trunc empty", ::open("g", O_WRONLY | O_TRUNC | O_CLOEXEC))));
             c.stat("g");
             // Through a shell, as the rewrite of a source file does it.
             c("system", std::system("echo 0123456789 > h; echo ab > h"));
             c.contents("h");
         }},
        {"O_APPEND writes at the end", {}, [](Calls& c) {
             make("f", "abc");
             int fd = c.opened("open append", ::open("f", O_WRONLY | O_APPEND | O_CLOEXEC));
             c("write", put(fd, "de"));
             c("lseek", ::lseek(fd, 0, SEEK_SET));
             c("write", put(fd, "f"));
             c("pwrite", ::pwrite(fd, "g", 1, 0));
             c.fstat("fd", fd);
             c("close", ::close(fd));
             c.contents("f");
             int other = c.opened("open rdwr append", ::open("f", O_RDWR | O_APPEND | O_CLOEXEC));
             c("write", put(other, "h"));
             c.pread("fd", other, 2);
             c("close", ::close(other));
         }},
        {"O_EXCL makes or refuses", {}, [](Calls& c) {
             int fd = c.opened("open excl", ::open("f", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
             c("write", put(fd, "x"));
             c("close", ::close(fd));
             c.opened("open excl again", ::open("f", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
             c("symlink", ::symlink("nowhere", "l"));
             c.opened("open excl dangling", ::open("l", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
             c.opened("open creat dangling", fd = ::open("l", O_WRONLY | O_CREAT | O_CLOEXEC, 0640));
             if (fd >= 0) ::close(fd);
             c("mkdir", ::mkdir("d", 0755));
             c.opened("open excl dir", ::open("d", O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
             c.opened("open creat dir", ::open("d", O_WRONLY | O_CREAT | O_CLOEXEC, 0640));
             c.opened("open missing", ::open("missing", O_RDONLY | O_CLOEXEC));
             c.opened("open notdir", ::open("f/x", O_RDONLY | O_CLOEXEC));
             c.opened("open dir for writing", ::open("d", O_WRONLY | O_CLOEXEC));
             tree_of(c, ".");
         }},
        {"writes at offsets leave holes of zeros", {}, [](Calls& c) {
             int fd = c.opened("open", ::open("f", O_RDWR | O_CREAT | O_CLOEXEC, 0644));
             c("pwrite 10", ::pwrite(fd, "xy", 2, 10));
             c("pwrite 3", ::pwrite(fd, "ab", 2, 3));
             c.fstat("fd", fd);
             c.pread("fd", fd, 0);
             c("pwrite far", ::pwrite(fd, "z", 1, 3 << 20));
             c.fstat("fd", fd);
             c.pread("tail", fd, (3 << 20) - 2);
             c("pwrite over", ::pwrite(fd, "0123456789", 10, 8));
             c.pread("head", fd, 0);
             c("close", ::close(fd));
             c.stat("f");
         }},
        {"a size change moves the modification time", {}, [](Calls& c) {
             int fd = c.opened("open", ::open("f", O_RDWR | O_CREAT | O_CLOEXEC, 0644));
             c("write", put(fd, "hello"));
             c("futimens", set_times(fd, kOld));
             c.fstat("set", fd);
             c("ftruncate shorter", ::ftruncate(fd, 2));
             c.fstat("shorter", fd);
             c("futimens", set_times(fd, kOld));
             c("ftruncate same", ::ftruncate(fd, 2));
             c.fstat("same", fd);
             c("futimens", set_times(fd, kOld));
             c("truncate longer", ::truncate("f", 7));
             c.fstat("longer", fd);
             c.pread("fd", fd, 0);
             c("close", ::close(fd));
             c.stat("f");
             // Closed: the same through the path alone.
             c("utimens", set_times("f", kOld));
             c("truncate closed", ::truncate("f", 1));
             c.stat("f");
             c.contents("f");
         }},
        {"an unlinked open file keeps working until its last close", {}, [](Calls& c) {
             make("f", "data");
             int fd = c.opened("open", ::open("f", O_RDWR | O_CLOEXEC));
             int reader = c.opened("open reader", ::open("f", O_RDONLY | O_CLOEXEC));
             c("unlink", ::unlink("f"));
             c.stat("f");
             c.fstat("fd", fd);
             c.pread("fd", fd, 0);
             c("pwrite", ::pwrite(fd, "more", 4, 4));
             c.fstat("fd", fd);
             c.pread("reader", reader, 0);
             c("ftruncate", ::ftruncate(fd, 6));
             c("fchmod", ::fchmod(fd, 0600));
             c("futimens", set_times(fd, kOld));
             c.fstat("fd", fd);
             c("fsync", ::fsync(fd));
             c("close reader", ::close(reader));
             // A new file of the name is another file.
             make("f", "new");
             c.fstat("fd", fd);
             c.pread("fd", fd, 0);
             c("write", put(fd, "!"));
             c("close", ::close(fd));
             c.contents("f");
             c.stat("f");
             // A file with two names keeps the other.
             make("g", "two");
             c("link", ::link("g", "h"));
             fd = c.opened("open", ::open("g", O_RDWR | O_CLOEXEC));
             c("unlink", ::unlink("g"));
             c.fstat("fd", fd);
             c("write", put(fd, "2"));
             c("close", ::close(fd));
             c.contents("h");
             c.stat("h");
         }},
        {"a file renamed over keeps working while open", {}, [](Calls& c) {
             make("a", "old");
             make("b", "new contents");
             int fd = c.opened("open", ::open("a", O_RDWR | O_CLOEXEC));
             c("rename", ::rename("b", "a"));
             c.fstat("fd", fd);
             c.pread("fd", fd, 0);
             c("pwrite", ::pwrite(fd, "!", 1, 3));
             c.pread("fd", fd, 0);
             c("close", ::close(fd));
             c.contents("a");
             c.stat("a");
             c.stat("b");
             // Renamed away while open: the open file is the renamed one.
             fd = c.opened("open", ::open("a", O_RDWR | O_CLOEXEC));
             c("rename", ::rename("a", "c"));
             c("write", put(fd, "N"));
             c("close", ::close(fd));
             c.contents("c");
         }},
        {"an open directory after rmdir lists nothing", {}, [](Calls& c) {
             c("mkdir", ::mkdir("d", 0755));
             int fd = c.opened("open", ::open("d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
             c.note("listed", listed(fd));
             c("rmdir", ::rmdir("d"));
             c("lseek", ::lseek(fd, 0, SEEK_SET));
             c.note("listed", listed(fd));
             c.fstat("fd", fd);
             c.opened("openat", ::openat(fd, "x", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
             c("close", ::close(fd));
             c.stat("d");
         }},
        {"a directory renamed onto an empty one replaces it", {}, [](Calls& c) {
             c("mkdir", ::mkdir("a", 0755));
             make("a/x", "x");
             c("mkdir", ::mkdir("empty", 0700));
             c("rename onto empty", ::rename("a", "empty"));
             c("mkdir", ::mkdir("full", 0755));
             c("mkdir", ::mkdir("full/sub", 0755));
             c("rename onto full", ::rename("empty", "full"));
             make("file", "f");
             c("rename dir onto file", ::rename("empty", "file"));
             c("rename file onto dir", ::rename("file", "full"));
             c("rename into itself", ::rename("full", "full/sub/in"));
             c("rename onto own child", ::rename("full", "full/sub"));
             c("rename onto its parent", ::rename("full/sub", "full"));
             c("rename same", ::rename("full", "full"));
             tree_of(c, ".");
         }},
        {"link counts", {}, [](Calls& c) {
             make("f", "x");
             c("link", ::link("f", "g"));
             c.stat("f");
             c("link again", ::link("f", "g"));
             c("mkdir", ::mkdir("d", 0755));
             c("link a directory", ::link("d", "e"));
             c("unlink", ::unlink("g"));
             c.stat("f");
             c("unlink a directory", ::unlink("d"));
             c("rmdir a file", ::rmdir("f"));
             c("mkdir", ::mkdir("d/s", 0755));
             c("rmdir a full one", ::rmdir("d"));
             c("rmdir", ::rmdir("d/s"));
             c("rmdir", ::rmdir("d"));
             c("rmdir missing", ::rmdir("d"));
             c("unlink missing", ::unlink("d"));
             tree_of(c, ".");
         }},
        {"fsync", {}, [](Calls& c) {
             int fd = c.opened("open", ::open("f", O_RDWR | O_CREAT | O_CLOEXEC, 0644));
             c("write", put(fd, "synced"));
             c("fsync", ::fsync(fd));
             c("fdatasync", ::fdatasync(fd));
             c("close", ::close(fd));
             int dir = c.opened("open dir", ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
             c("fsync dir", ::fsync(dir));
             c("close", ::close(dir));
             c.contents("f");
         }},
        {"root passes permission checks and changes ownership", {}, [](Calls& c) {
             make("f", "x");
             c("chown", ::chown("f", kUser, kGroup));
             c.stat("f");
             c("chown group", ::chown("f", static_cast<uid_t>(-1), kOtherGroup));
             c.stat("f");
             c("chown owner", ::chown("f", 0, static_cast<gid_t>(-1)));
             c.stat("f");
             int fd = c.opened("open", ::open("f", O_RDONLY | O_CLOEXEC));
             c("fchown", ::fchown(fd, kUser, kUser));
             c("fchmod", ::fchmod(fd, 04751));
             c.fstat("fd", fd);
             c("close", ::close(fd));
             c("chmod", ::chmod("f", 0));
             c.contents("f");
             c("lchown", ::lchown("f", 0, 0));
             c.stat("f");
             // A directory whose owner bits lack write.
             c("mkdir", ::mkdir("locked", 0755));
             c("chmod", ::chmod("locked", 0));
             c("create", make("locked/f", "in"));
             c("mkdir", ::mkdir("locked/sub", 0755));
             c("symlink", ::symlink("f", "locked/l"));
             c("rename", ::rename("locked/f", "locked/g"));
             c("link", ::link("locked/g", "locked/h"));
             c("unlink", ::unlink("locked/h"));
             for (mode_t mode : {0100, 055, 0555, 0}) c("chmod " + std::to_string(mode), ::chmod("locked", mode));
             c("utimens", set_times("locked", kOld));
             c.stat("locked");
             // A directory with the set-group-id bit gives its group on.
             c("mkdir", ::mkdir("shared", 0755));
             c("chown", ::chown("shared", kUser, kGroup));
             c("chmod", ::chmod("shared", 02775));
             c("create", make("shared/f", "f"));
             c("mkdir", ::mkdir("shared/d", 0750));
             c("symlink", ::symlink("f", "shared/l"));
             tree_of(c, ".");
             c("system rm -rf", std::system("rm -rf locked"));
             c.stat("locked");
         }},
        {"another user is checked by the permission bits",
         [](Calls& c) {
             c("root's file", make("mine", "root's"));
             c("chmod", ::chmod("mine", 0644));
             c("mkdir", ::mkdir("closed", 0755));
             c("mkdir", ::mkdir("open", 0777));
             c("shared file", make("open/shared", "shared"));
             c("chmod", ::chmod("open/shared", 0666));
             c("mkdir", ::mkdir("group", 0777));
             c("chown", ::chown("group", 0, kOtherGroup));
             c("chmod", ::chmod("group", 02777));
         },
         [](Calls& c) {
             c.opened("open for writing", ::open("mine", O_WRONLY | O_CLOEXEC));
             int fd = c.opened("open for reading", ::open("mine", O_RDONLY | O_CLOEXEC));
             c("close", ::close(fd));
             c("chmod", ::chmod("mine", 0666));
             c("chown", ::chown("mine", kUser, kGroup));
             c("utimens now", ::utimensat(AT_FDCWD, "mine", nullptr, 0));
             c("utimens", set_times("mine", kOld));
             c("create in closed", ::open("closed/f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
             c("mkdir in closed", ::mkdir("closed/d", 0755));
             c("create", make("own", "user's"));
             c.stat("own");
             c("mkdir", ::mkdir("own.d", 0750));
             c.stat("own.d");
             c("symlink", ::symlink("own", "own.l"));
             c("chmod own", ::chmod("own", 0600));
             c("chown own to root", ::chown("own", 0, static_cast<gid_t>(-1)));
             c("chown own to its group", ::chown("own", static_cast<uid_t>(-1), kGroup));
             c("chown own to another group", ::chown("own", static_cast<uid_t>(-1), kOtherGroup));
             c("utimens own", set_times("own", kOld));
             c("write shared", make("open/shared", "written"));
             c("rename shared", ::rename("open/shared", "open/moved"));
             c("rename into closed", ::rename("own", "closed/own"));
             c("unlink root's", ::unlink("mine"));
             c("create in another group's", make("group/f", "f"));
             c("mkdir in another group's", ::mkdir("group/d", 0700));
             c("truncate", ::truncate("own", 2));
             c.contents("own");
             tree_of(c, ".");
         },
         true},
        {"an owner may always change its own directory's mode and times",
         {},
         [](Calls& c) {
             // Modes without the owner's read and write: the owner still
             // sets times and can give the bits back.
             c("mkdir", ::mkdir("own.d", 0755));
             for (mode_t mode : {0000, 0060, 0100, 0500}) {
                 char m[16];
                 std::snprintf(m, sizeof m, " to %04o", static_cast<unsigned>(mode));
                 c(std::string("chmod") + m, ::chmod("own.d", mode));
                 c(std::string("utimens") + m, set_times("own.d", kOld));
                 c.stat("own.d");
                 c(std::string("utimens now") + m, ::utimensat(AT_FDCWD, "own.d", nullptr, 0));
                 c(std::string("chmod back") + m, ::chmod("own.d", 0755));
                 c.stat("own.d");
             }
         },
         true},
    };
    return table;
}

// Runs `body` as kUser (group kGroup, no other groups) in a child process
// whose working directory is `dir`: what it recorded.
std::string as_user(const std::string& dir, const std::function<void(Calls&)>& body) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return "pipe failed";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        Calls c;
        if (::chdir(dir.c_str()) != 0 || ::setgroups(0, nullptr) != 0 || ::setresgid(kGroup, kGroup, kGroup) != 0 ||
            ::setresuid(kUser, kUser, kUser) != 0) {
            c.note("becoming the user", Calls::name_of(errno));
        } else {
            body(c);
        }
        const std::string& text = c.text();
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(out[1], text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::_exit(0);
    }
    ::close(out[1]);
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + kExitTimeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now()).count();
        struct pollfd p{out[0], POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
            text += "\n(the child did not finish)";
            ::kill(pid, SIGKILL);
            break;
        }
        char buffer[4096];
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return text;
}

// What a case recorded in `dir`.
std::string run_case(const Case& row, const std::string& dir) {
    std::string text;
    char here[4096];
    if (::getcwd(here, sizeof here) == nullptr) return "getcwd failed";
    if (::mkdir(dir.c_str(), 0777) != 0 || ::chmod(dir.c_str(), 0777) != 0 || ::chdir(dir.c_str()) != 0)
        return "cannot make " + dir + ": " + std::strerror(errno);
    if (row.setup) {
        Calls c;
        row.setup(c);
        text += c.text();
    }
    if (row.as_user) {
        text += as_user(dir, row.body);
    } else {
        Calls c;
        row.body(c);
        text += c.text();
    }
    if (::chdir(here) != 0) text += "cannot go back";
    return text;
}

// ---- random sequences ---------------------------------------------------------------

// One step of a random sequence on a few names, with up to a few files open;
// the same generator state gives the same step in either directory.
class Sequence {
public:
    explicit Sequence(unsigned seed) : m_random(seed) {}

    // Makes the next step's calls in the working directory; `open` are the
    // descriptors this sequence holds there.
    void step(Calls& c, std::vector<int>& open) {
        const std::string a = name(), b = name();
        const std::string data = text();
        const off_t offset = static_cast<off_t>(pick(3) == 0 ? pick(70000) : pick(40));
        switch (pick(23)) {
        case 0: case 1: {
            static const int kFlags[] = {O_RDONLY, O_WRONLY | O_CREAT, O_RDWR | O_CREAT, O_WRONLY | O_TRUNC,
                                         O_RDWR | O_APPEND, O_WRONLY | O_CREAT | O_EXCL, O_RDWR | O_CREAT | O_TRUNC};
            const int flags = kFlags[pick(7)];
            const int fd = c.opened("open " + a + " " + std::to_string(flags),
                                    ::open(a.c_str(), flags | O_CLOEXEC, 0600 | pick(0100)));
            if (fd >= 0 && open.size() < 4) {
                open.push_back(fd);
            } else if (fd >= 0) {
                ::close(fd);
            }
            break;
        }
        case 2: if (!open.empty()) c("close", ::close(take(open))); break;
        case 3: case 4:
            if (!open.empty())
                c("pwrite " + std::to_string(offset), ::pwrite(fd_of(open), data.data(), data.size(), offset));
            break;
        case 5: if (!open.empty()) c("write", put(fd_of(open), data)); break;
        case 6: if (!open.empty()) c.pread("fd", fd_of(open), offset); break;
        case 7: if (!open.empty()) c("ftruncate", ::ftruncate(fd_of(open), offset)); break;
        case 8: if (!open.empty()) c.fstat("fd", fd_of(open)); break;
        case 9: c("truncate " + a, ::truncate(a.c_str(), offset)); break;
        case 10: c("unlink " + a, ::unlink(a.c_str())); break;
        case 11: c("rename " + a + " " + b, ::rename(a.c_str(), b.c_str())); break;
        case 12: c("link " + a + " " + b, ::link(a.c_str(), b.c_str())); break;
        case 13: c("mkdir " + a, ::mkdir(a.c_str(), 0755)); break;
        case 14: c("rmdir " + a, ::rmdir(a.c_str())); break;
        case 15: c("symlink " + a, ::symlink(b.c_str(), a.c_str())); break;
        case 16: c("chmod " + a, ::chmod(a.c_str(), 0600 | pick(0200))); break;
        case 17: c.stat(a); break;
        case 18: c("utimens " + a, set_times(a, kOld)); break;
        case 19: if (!open.empty()) c("futimens", set_times(fd_of(open), kOld)); break;
        case 20: if (!open.empty()) c("fsync", ::fsync(fd_of(open))); break;
        case 21: if (!open.empty()) c("fchmod", ::fchmod(fd_of(open), 0400 | pick(0377))); break;
        default: c.contents(a); break;
        }
    }

private:
    unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(m_random); }
    // A few names, some of them in a directory.
    std::string name() {
        static const char* const kNames[] = {"a", "b", "c", "d", "d/a", "d/e", "e", "e/a"};
        return kNames[pick(8)];
    }
    std::string text() {
        std::string t(1 + pick(pick(4) == 0 ? 9000 : 12), 'x');
        for (char& ch : t) ch = static_cast<char>('a' + pick(26));
        return t;
    }
    int fd_of(const std::vector<int>& open) { return open[pick(static_cast<unsigned>(open.size()))]; }
    int take(std::vector<int>& open) {
        const size_t at = pick(static_cast<unsigned>(open.size()));
        const int fd = open[at];
        open.erase(open.begin() + static_cast<long>(at));
        return fd;
    }

    std::mt19937 m_random;
};

unsigned env_count(const char* name, unsigned otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : otherwise;
}

class E2eFusePlain : public E2eFuse {
protected:
    void SetUp() override {
        E2eFuse::SetUp();
        if (IsSkipped()) return;
        ASSERT_NO_FATAL_FAILURE(serve_and_mount());
        plain = tree / "plain";
        work = src() + "/work";
        ASSERT_EQ(0, ::mkdir(plain.c_str(), 0777));
        ASSERT_EQ(0, ::mkdir(work.c_str(), 0777));
        // Other users reach both.
        for (const std::string& dir : {tree.path(), korva_root, korva_root + "/view", plain, work})
            ASSERT_EQ(0, ::chmod(dir.c_str(), 0777)) << dir << ": " << std::strerror(errno);
    }

    std::string plain;
    std::string work;
};

TEST_F(E2eFusePlain, EachCaseGivesWhatAPlainDirectoryGives) {
    for (size_t i = 0; i < cases().size(); ++i) {
        const Case& row = cases()[i];
        SCOPED_TRACE(row.name);
        const std::string dir = "case" + std::to_string(i);
        const std::string expected = run_case(row, plain + "/" + dir);
        EXPECT_EQ(run_case(row, work + "/" + dir), expected);
    }
}

TEST_F(E2eFusePlain, RandomSequencesGiveWhatAPlainDirectoryGives) {
    const unsigned seeds = env_count("FUSE_PLAIN_SEEDS", 3);
    const unsigned steps = env_count("FUSE_PLAIN_STEPS", 150);
    const unsigned first = env_count("FUSE_PLAIN_FIRST_SEED", 1);
    const unsigned kill_every = env_count("FUSE_PLAIN_KILL_EVERY", 40);
    // A killed daemon's restart rebuilds its database.
    setenv("NORVANE_SERVER_DIR", OSTREL_TEST_SERVER_DIR, 1);
    char here[4096];
    ASSERT_NE(nullptr, ::getcwd(here, sizeof here));
    for (unsigned seed = first; seed < first + seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const std::string name = "seq" + std::to_string(seed);
        const std::string dirs[2] = {plain + "/" + name, work + "/" + name};
        Sequence sequences[2] = {Sequence(seed), Sequence(seed)};
        // The kills have a generator of their own: the steps are the same
        // with or without them.
        std::mt19937 kills(seed);
        std::vector<int> open[2];
        for (const std::string& dir : dirs) ASSERT_EQ(0, ::mkdir(dir.c_str(), 0755));
        std::string history;
        bool same = true;
        for (unsigned step = 0; step < steps && same; ++step) {
            if (kill_every != 0 && std::uniform_int_distribution<unsigned>(1, kill_every)(kills) == 1) {
                // Started outside the mount.
                ASSERT_EQ(0, ::chdir(here));
                ASSERT_TRUE(agent->signal_group(SIGKILL));
                ASSERT_EQ(agent->wait_exit(), std::optional<int>(-SIGKILL));
                ASSERT_NO_FATAL_FAILURE(start_view());
                history += "(the daemon killed and started again)\n";
            }
            std::string texts[2];
            for (int side = 0; side < 2; ++side) {
                ASSERT_EQ(0, ::chdir(dirs[side].c_str()));
                Calls c;
                sequences[side].step(c, open[side]);
                tree_of(c, ".");
                texts[side] = c.text();
            }
            history += texts[0].substr(0, texts[0].find("tree "));
            same = texts[0] == texts[1];
            EXPECT_EQ(texts[1], texts[0]) << "step " << step << " after:\n" << history;
        }
        for (std::vector<int>& fds : open)
            for (int fd : fds) ::close(fd);
    }
    ASSERT_EQ(0, ::chdir(here));
}

TEST_F(E2eFusePlain, WhatThePlatformCannotCarryIsRefusedClearly) {
    // Times are carried in 32 bits of seconds.
    const std::string file = work + "/f";
    ASSERT_EQ(0, make(file, "x"));
    struct timespec late[2] = {{time_t{1} << 32, 0}, {time_t{1} << 32, 0}};
    EXPECT_EQ(-1, ::utimensat(AT_FDCWD, file.c_str(), late, 0));
    EXPECT_EQ(EOVERFLOW, errno);
    struct timespec last[2] = {{(time_t{1} << 32) - 1, 0}, {(time_t{1} << 32) - 1, 0}};
    EXPECT_EQ(0, ::utimensat(AT_FDCWD, file.c_str(), last, 0)) << std::strerror(errno);
    struct stat st;
    ASSERT_EQ(0, ::stat(file.c_str(), &st));
    EXPECT_EQ((time_t{1} << 32) - 1, st.st_mtime);

    // Symbolic-link texts of up to 1023 bytes.
    EXPECT_EQ(0, ::symlink(std::string(1023, 't').c_str(), (work + "/long").c_str())) << std::strerror(errno);
    EXPECT_EQ(-1, ::symlink(std::string(1024, 't').c_str(), (work + "/longer").c_str()));
    EXPECT_EQ(ENAMETOOLONG, errno);
    char text[2048];
    EXPECT_EQ(1023, ::readlink((work + "/long").c_str(), text, sizeof text));
    EXPECT_EQ(255, ::pathconf(work.c_str(), _PC_NAME_MAX));

    // Special files have no place in a view.
    EXPECT_EQ(-1, ::mkfifo((work + "/fifo").c_str(), 0644));
    EXPECT_EQ(EPERM, errno);
    EXPECT_EQ(-1, ::mknod((work + "/null").c_str(), S_IFCHR | 0644, ::makedev(1, 3)));
    EXPECT_EQ(EPERM, errno);
    int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = work + "/s";
    if (socket_path.size() < sizeof address.sun_path) {
        std::strcpy(address.sun_path, socket_path.c_str());
        EXPECT_EQ(-1, ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address));
        EXPECT_EQ(EPERM, errno);
    }
    ::close(sock);

    // A loaded file stays read-only, whatever the call.
    const std::string loaded = src() + "/README";
    EXPECT_EQ(-1, ::open(loaded.c_str(), O_WRONLY | O_CLOEXEC));
    EXPECT_EQ(EROFS, errno);
    EXPECT_EQ(-1, ::open(loaded.c_str(), O_RDONLY | O_TRUNC | O_CLOEXEC));
    EXPECT_EQ(EROFS, errno);
    EXPECT_EQ(-1, ::truncate(loaded.c_str(), 0));
    EXPECT_EQ(EROFS, errno);
    EXPECT_EQ(-1, ::chown(loaded.c_str(), kUser, kGroup));
    EXPECT_EQ(EROFS, errno);
    ASSERT_EQ(0, ::stat(loaded.c_str(), &st));
    EXPECT_EQ(42, st.st_size);
}

TEST_F(E2eFusePlain, WritesBeforeADaemonIsKilledAreThereAfterItsRestart) {
    setenv("NORVANE_SERVER_DIR", OSTREL_TEST_SERVER_DIR, 1);
    // Written and closed, written and still open, made and left empty,
    // grown by a write at an offset: none of it told to the daemon by a
    // call of its own. One more is open under a name it was renamed to.
    const std::string big(3 << 20, 'b');
    ASSERT_EQ(0, make(work + "/closed", "closed\n"));
    int held = ::open((work + "/held").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_LE(0, held);
    ASSERT_EQ(static_cast<long>(big.size()), put(held, big));
    ASSERT_EQ(0, make(work + "/empty", ""));
    int sparse = ::open((work + "/sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(1, ::pwrite(sparse, "s", 1, 100000));
    ASSERT_EQ(0, ::close(sparse));
    ASSERT_EQ(0, make(work + "/first", "1"));
    int renamed = ::open((work + "/first").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_LE(0, renamed);
    ASSERT_EQ(0, ::rename((work + "/first").c_str(), (work + "/renamed").c_str()));
    std::map<std::string, ino_t> inodes;
    for (const char* name : {"closed", "held", "empty", "sparse"}) {
        struct stat st;
        ASSERT_EQ(0, ::stat((work + "/" + name).c_str(), &st));
        inodes[name] = st.st_ino;
    }

    ASSERT_TRUE(agent->signal_group(SIGKILL));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(-SIGKILL));
    start_view();
    EXPECT_NE(std::string::npos, log_text(name).find("Recovery succeeded for DB")) << log_text(name);

    // Through the same mount: sizes, contents and inode numbers as before.
    const std::string shown = "closed 7\nempty 0\nheld 3145728\nsparse 100001\n";
    const char* const kShow = "stat -c '%n %s' closed empty held sparse";
    EXPECT_EQ(sh(work, kShow), shown);
    EXPECT_TRUE(read_file(work + "/held") == big);
    EXPECT_EQ(read_file(work + "/closed"), "closed\n");
    for (const auto& named : inodes) {
        struct stat st;
        ASSERT_EQ(0, ::stat((work + "/" + named.first).c_str(), &st));
        EXPECT_EQ(named.second, st.st_ino) << named.first;
    }
    EXPECT_EQ(1, ::write(held, "!", 1));
    EXPECT_EQ(0, ::close(held));
    EXPECT_EQ(1, ::write(renamed, "2", 1));
    EXPECT_EQ(0, ::close(renamed));

    // Killed again and a new mount: what the daemon keeps.
    ASSERT_TRUE(agent->signal_group(SIGKILL));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(-SIGKILL));
    EXPECT_EQ(mount->stop(), std::optional<int>(0));
    start_view();
    start_mount();
    EXPECT_EQ(sh(work, kShow), "closed 7\nempty 0\nheld 3145729\nsparse 100001\n");
    EXPECT_TRUE(read_file(work + "/held") == big + "!");
    EXPECT_EQ(read_file(work + "/renamed"), "12");
}

} // namespace
} // namespace e2e
