#include "platform/utl/fileutl.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Copies `text` into `out` of `size` bytes; ENAMETOOLONG when it does not fit.
int copy_out(const std::string& text, char* out, size_t size) {
    if (out == nullptr || text.size() >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return 0;
}

// Non-empty components of a path.
std::vector<std::string> components(const char* path) {
    std::vector<std::string> parts;
    const char* p = path;
    while (*p != '\0') {
        while (*p == '/') ++p;
        const char* start = p;
        while (*p != '\0' && *p != '/') ++p;
        if (p > start) parts.emplace_back(start, static_cast<size_t>(p - start));
    }
    return parts;
}

// mkdir that accepts an existing directory. `last` picks the error for a
// non-directory in the way: EEXIST for the path asked for, ENOTDIR above it.
int make_one_dir(const std::string& dir, mode_t mode, bool last) {
    if (mkdir(dir.c_str(), mode) == 0) return 0;
    int err = errno;
    if (err != EEXIST) return -1;
    struct stat st;
    if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    errno = last ? EEXIST : ENOTDIR;
    return -1;
}

// Removes `name` relative to the directory `parent_fd`, with everything below it
// when it is a directory. Never follows symbolic links.
int remove_tree_at(int parent_fd, const char* name) {
    struct stat st;
    if (fstatat(parent_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (!S_ISDIR(st.st_mode)) return unlinkat(parent_fd, name, 0);

    int fd = openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    // Collect the names first: removing while reading may skip entries.
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    int result = errno != 0 ? -1 : 0;
    for (size_t i = 0; result == 0 && i < names.size(); ++i) {
        result = remove_tree_at(dirfd(dir), names[i].c_str());
    }
    int err = errno;
    closedir(dir);
    if (result != 0) {
        errno = err;
        return -1;
    }
    return unlinkat(parent_fd, name, AT_REMOVEDIR);
}

bool write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A write that takes nothing would be tried for ever.
            if (n == 0) errno = EIO;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// A copy's piece.
constexpr size_t COPY_PIECE = 1024 * 1024;

constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();

}  // namespace

int fileutl_exists(const char* path, int follow) {
    if (path == nullptr) return 0;
    struct stat st;
    return (follow != 0 ? stat(path, &st) : lstat(path, &st)) == 0 ? 1 : 0;
}

int fileutl_stat(const char* path, int flags, struct stat* st) {
    if (path == nullptr || st == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return (flags & FILEUTL_STAT_NOFOLLOW) != 0 ? lstat(path, st) : stat(path, st);
}

DIR* fileutl_opendir(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return dir;
}

int fileutl_mkpath(const char* path, mode_t mode, int make_last) {
    if (path == nullptr || path[0] == '\0') {
        errno = ENOENT;
        return -1;
    }
    std::string target(path);
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    if (make_last == 0) {
        size_t slash = target.find_last_of('/');
        if (slash == std::string::npos) return 0;  // no parent to make
        target.resize(slash);
        while (target.size() > 1 && target.back() == '/') target.pop_back();
        if (target.empty() || target == "/") return 0;
    }
    // Each prefix that ends before a separator, then the whole target.
    for (size_t pos = 1; pos < target.size(); ++pos) {
        if (target[pos] == '/' && target[pos - 1] != '/') {
            if (make_one_dir(target.substr(0, pos), mode, false) != 0) return -1;
        }
    }
    return make_one_dir(target, mode, make_last != 0);
}

int fileutl_rm(const char* path, int flags) {
    if (path == nullptr || path[0] == '\0') {
        errno = ENOENT;
        return -1;
    }
    if ((flags & FILEUTL_RM_RECURSIVE) != 0) return remove_tree_at(AT_FDCWD, path);
    struct stat st;
    if (lstat(path, &st) != 0) return -1;
    return S_ISDIR(st.st_mode) ? rmdir(path) : unlink(path);
}

int fileutl_cp(const char* source, const char* destination, unsigned /*flags*/) {
    if (source == nullptr || destination == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int in = open(source, O_RDONLY | O_CLOEXEC);
    if (in < 0) return -1;
    struct stat src;
    if (fstat(in, &src) != 0) {
        int err = errno;
        close(in);
        errno = err;
        return -1;
    }
    struct stat dst;
    int err = 0;
    if (S_ISDIR(src.st_mode)) {
        err = EISDIR;
    } else if (!S_ISREG(src.st_mode)) {
        err = EINVAL;
    } else if (stat(destination, &dst) == 0 && dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
        err = EINVAL;  // truncating the destination would destroy the source
    }
    if (err != 0) {
        close(in);
        errno = err;
        return -1;
    }
    int out = open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, src.st_mode & 0777);
    if (out < 0) {
        err = errno;
        close(in);
        errno = err;
        return -1;
    }
    int result = fileutl_copy_fd(in, out);
    err = errno;
    close(in);
    if (close(out) != 0 && result == 0) {
        err = errno;
        result = -1;
    }
    errno = err;
    return result;
}

int fileutl_copy_fd(int in, int out, const char** failed_call, const std::function<void(off_t)>& before_write) {
    std::vector<char> buffer(COPY_PIECE);
    off_t written = 0;
    for (;;) {
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (failed_call != nullptr) *failed_call = "read";
            return -1;
        }
        if (n == 0) return 0;
        if (before_write) before_write(written);
        if (!write_all(out, buffer.data(), static_cast<size_t>(n))) {
            if (failed_call != nullptr) *failed_call = "write";
            return -1;
        }
        written += n;
    }
}

int fileutl_rename(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return rename(from, to);
}

int fileutl_rename_unique(const char* path, const char* suffix, char* out, size_t out_size) {
    if (path == nullptr || path[0] == '\0' || out == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const std::string base = std::string(path) + (suffix != nullptr ? suffix : "");
    for (unsigned n = 0;; ++n) {
        std::string candidate = n == 0 ? base : base + "." + std::to_string(n);
        if (candidate.size() >= out_size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int rc = renameat2(AT_FDCWD, path, AT_FDCWD, candidate.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && errno == EINVAL) {
            // A file system without RENAME_NOREPLACE: test, then rename.
            struct stat st;
            if (lstat(candidate.c_str(), &st) == 0) {
                errno = EEXIST;
            } else if (errno == ENOENT) {
                rc = rename(path, candidate.c_str());
            }
        }
        if (rc == 0) return copy_out(candidate, out, out_size);
        if (errno != EEXIST && errno != ENOTEMPTY) return -1;
        if (n == UINT32_MAX) return -1;
    }
}

int fileutl_tmpfile_ext_binary(const char* directory, const char* prefix, char* out,
                               size_t out_size) {
    if (directory == nullptr || out == nullptr) {
        errno = EINVAL;
        return -1;
    }
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    const std::string head = std::string(directory) + "/" + (prefix != nullptr ? prefix : "tmp");
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[12];
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -1;
        std::string name = head;
        for (unsigned char r : random) name += kChars[r % (sizeof kChars - 1)];
        if (name.size() >= out_size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            copy_out(name, out, out_size);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

int fileutl_strip_leaf(const char* path, char* parent, char* leaf) {
    if (path == nullptr || parent == nullptr || leaf == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::string p(path);
    while (!p.empty() && p.back() == '/') p.pop_back();
    if (p.empty()) {
        errno = EINVAL;
        return -1;
    }
    size_t slash = p.find_last_of('/');
    std::string head = slash == std::string::npos ? std::string() : p.substr(0, slash);
    std::string tail = slash == std::string::npos ? p : p.substr(slash + 1);
    while (!head.empty() && head.back() == '/') head.pop_back();
    if (copy_out(head, parent, FILEUTL_PATH_MAX) != 0) return -1;
    return copy_out(tail, leaf, FILEUTL_PATH_MAX);
}

const char* fileutl_find_pname_sep_left(const char* path) {
    return path == nullptr ? nullptr : std::strchr(path, '/');
}

int fileutl_pname_equal_or_parent(const char* parent, const char* child) {
    if (parent == nullptr || child == nullptr) return 0;
    if ((parent[0] == '/') != (child[0] == '/')) return 0;
    std::vector<std::string> p = components(parent);
    std::vector<std::string> c = components(child);
    if (p.size() > c.size()) return 0;
    for (size_t i = 0; i < p.size(); ++i) {
        if (p[i] != c[i]) return 0;
    }
    return 1;
}

int fileutl_make_abs_pn(const char* path, const char* base, char* out, size_t out_size) {
    if (path == nullptr || (base != nullptr && base[0] != '/')) {
        errno = EINVAL;
        return -1;
    }
    std::string whole;
    if (path[0] == '/') {
        whole = path;
    } else {
        std::string start;
        if (base != nullptr) {
            start = base;
        } else {
            char* cwd = getcwd(nullptr, 0);
            if (cwd == nullptr) return -1;
            start = cwd;
            free(cwd);
        }
        whole = start + "/" + path;
    }
    std::vector<std::string> kept;
    for (std::string& part : components(whole.c_str())) {
        if (part == ".") continue;
        if (part == "..") {
            if (!kept.empty()) kept.pop_back();
            continue;
        }
        kept.push_back(std::move(part));
    }
    std::string result;
    for (const std::string& part : kept) result += "/" + part;
    if (result.empty()) result = "/";
    return copy_out(result, out, out_size);
}

int fileutl_abspn(const char* path, char* out, size_t out_size) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    char* resolved = realpath(path, nullptr);
    if (resolved == nullptr) return -1;
    std::string text(resolved);
    free(resolved);
    return copy_out(text, out, out_size);
}

void fileutl_crc_buffer(const void* data, size_t length, uint32_t* crc) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) c = kCrcTable[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    *crc = c ^ 0xFFFFFFFFu;
}
