#pragma once
// Helpers for the agent library's tests: a private $HOME that is removed
// again, small file readers, and ids from their text form.

#include <dirent.h>
#include <regex.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/qel/qel.h"

namespace lib_test {

// Ids from their text form, and back.
inline qel_uuid_s uuid(const char* text) {
    qel_uuid_s id = QEL_UUID_NULL;
    EXPECT_EQ(qel_str_to_uuid(text, &id), 0) << text;
    return id;
}

inline qel_oid_s oid(const char* text) {
    qel_oid_s id = QEL_OID_NULL;
    EXPECT_EQ(qel_str_to_oid(text, &id), 0) << text;
    return id;
}

inline std::string text(const qel_uuid_s& id) {
    char buf[QEL_UUID_STR_SIZE];
    return qel_uuid_to_str(&id, buf);
}

inline std::string text(const qel_oid_s& id) {
    char buf[QEL_OID_STR_SIZE];
    return qel_oid_to_str(&id, buf);
}

inline int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

// Removes `path` and everything below it.
inline void remove_tree(const std::string& path) {
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// Makes a fresh directory, points $HOME at it for the object's life and
// removes it with everything below afterwards. For the same time
// $NORVANE_SERVER_DIR names the build tree's product server directory, where
// a new view database finds its installed files.
class TempHome {
public:
    TempHome() {
        const char* old = std::getenv("HOME");
        had_home_ = old != nullptr;
        if (had_home_) old_home_ = old;
        const char* server = std::getenv("NORVANE_SERVER_DIR");
        had_server_dir_ = server != nullptr;
        if (had_server_dir_) old_server_dir_ = server;
        setenv("NORVANE_SERVER_DIR", OSTREL_TEST_SERVER_DIR, 1);
        std::string pattern = std::string(tmp_dir()) + "/ostrel-lib-test-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        path_ = buf.data();
        setenv("HOME", path_.c_str(), 1);
    }
    ~TempHome() {
        if (had_home_) {
            setenv("HOME", old_home_.c_str(), 1);
        } else {
            unsetenv("HOME");
        }
        if (had_server_dir_) {
            setenv("NORVANE_SERVER_DIR", old_server_dir_.c_str(), 1);
        } else {
            unsetenv("NORVANE_SERVER_DIR");
        }
        remove_tree(path_);
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& path() const { return path_; }

private:
    static const char* tmp_dir() {
        const char* dir = std::getenv("TMPDIR");
        return dir != nullptr && *dir != '\0' ? dir : "/tmp";
    }
    std::string path_;
    std::string old_home_;
    bool had_home_ = false;
    std::string old_server_dir_;
    bool had_server_dir_ = false;
};

// Remembers the process's working directory and goes back to it when it
// goes (for tests of code that moves into a view storage).
class KeepWorkingDirectory {
public:
    KeepWorkingDirectory() {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr) ADD_FAILURE() << "getcwd failed";
        else path_ = cwd;
    }
    ~KeepWorkingDirectory() {
        if (!path_.empty() && chdir(path_.c_str()) != 0) ADD_FAILURE() << "chdir back failed";
    }
    KeepWorkingDirectory(const KeepWorkingDirectory&) = delete;
    KeepWorkingDirectory& operator=(const KeepWorkingDirectory&) = delete;

private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Names in a directory, without "." and "..".
inline std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
}

// Splits after every "\n"; a last piece without one is kept as it is.
inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start + 1));
        start = end + 1;
    }
    return lines;
}

// Whether all of `text` matches the POSIX extended regular expression
// `pattern`; the parenthesised groups go to `groups` (when given). POSIX
// regex rather than std::regex: the latter recurses per character and
// overflows the stack on long lines.
inline bool re_match(const std::string& text, const std::string& pattern,
                     std::vector<std::string>* groups = nullptr) {
    regex_t re;
    std::string anchored = "^(" + pattern + ")$";
    if (regcomp(&re, anchored.c_str(), REG_EXTENDED) != 0) {
        ADD_FAILURE() << "bad pattern " << pattern;
        return false;
    }
    std::vector<regmatch_t> m(re.re_nsub + 1);
    bool ok = regexec(&re, text.c_str(), m.size(), m.data(), 0) == 0;
    if (ok && groups != nullptr) {
        groups->clear();
        // Group 1 is the whole anchored text; the caller's groups follow.
        for (size_t i = 2; i < m.size(); ++i) {
            if (m[i].rm_so < 0) {
                groups->emplace_back();
            } else {
                groups->push_back(text.substr(static_cast<size_t>(m[i].rm_so),
                                              static_cast<size_t>(m[i].rm_eo - m[i].rm_so)));
            }
        }
    }
    regfree(&re);
    return ok;
}

// Runs `body` in a child process, so that the process-wide singletons it
// touches start fresh, and expects it to return 0 (a non-zero value names the
// check that failed). The child removes `home` itself: its exit skips
// destructors.
template <typename Body>
void expect_in_fresh_process(const TempHome& home, Body body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            int code = body();
            remove_tree(home.path());
            std::_Exit(code);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace lib_test
