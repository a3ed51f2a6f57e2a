// A daemon killed outright while files are written through the mount loses
// nothing: every byte that reached a container is there after the restart,
// with its size, in the daemon and through a new mount, whether the file was
// closed before the kill, while the daemon was gone or after it came back.
// The kernel may forget the names it looked up meanwhile (memory pressure,
// here forced): korva_fuse still finds the files again.
//
// CI runs a few dozen rounds of the close while the daemon is gone; more run
// with FUSE_CRASH_ROUNDS=<count>, as scripts/fuse_crash does.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fuse_fixture.h"

namespace e2e {
namespace {

unsigned env_count(const char* name, unsigned otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : otherwise;
}

// Drops the kernel's unused names and inodes, as memory pressure would:
// what korva_fuse is asked for next comes by name again. False when this
// process may not.
bool drop_kernel_names() {
    const int fd = ::open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool dropped = ::write(fd, "2", 1) == 1;
    ::close(fd);
    return dropped;
}

// Writes all of `text` to `fd`: its length, or -1.
long put(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) return -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<long>(done);
}

// A directory's files and their contents, the subdirectories' too (a
// directory shows as its name and "/").
void tree_of(const std::string& dir, const std::string& prefix, std::map<std::string, std::string>* files) {
    for (const std::string& name : list_dir(dir)) {
        const std::string path = dir + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            (*files)[prefix + name] = std::string("stat: ") + std::strerror(errno);
        } else if (S_ISDIR(st.st_mode)) {
            (*files)[prefix + name] = "/";
            tree_of(path, prefix + name + "/", files);
        } else {
            const std::string bytes = read_file(path);
            (*files)[prefix + name] = "size " + std::to_string(st.st_size) + ": " +
                                      (bytes.size() > 40 ? std::to_string(bytes.size()) + " bytes" : bytes);
            if (static_cast<off_t>(bytes.size()) != st.st_size) (*files)[prefix + name] += " (read other)";
        }
    }
}

std::string shown(const std::map<std::string, std::string>& files) {
    std::string text;
    for (const auto& file : files) text += file.first + " " + file.second + "\n";
    return text;
}

// Writes made through the mount, step by step, in a directory of their own;
// one file stays open across several steps.
class Writes {
public:
    explicit Writes(std::string dir) : m_dir(std::move(dir)) {}
    ~Writes() { close_open(); }

    static constexpr size_t kSteps = 8;
    // Step `n`: 0 when it worked, else what failed.
    std::string step(size_t n) {
        const std::string a = m_dir + "/a", b = m_dir + "/b";
        switch (n) {
        case 0: return made(a, std::string(3000, 'a'));
        case 1:
            m_open = ::open(b.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            return m_open >= 0 && put(m_open, std::string(5000, 'b')) == 5000 ? "" : failed("open b");
        case 2:
            if (!made(m_dir + "/c", "cc").empty()) return failed("make c");
            return ::rename((m_dir + "/c").c_str(), (m_dir + "/c2").c_str()) == 0 ? "" : failed("rename c");
        case 3:
            // Unless it was closed while the daemon was gone.
            if (m_open < 0) return "";
            return put(m_open, std::string(1000, 'B')) == 1000 ? "" : failed("append b");
        case 4: {
            const int fd = ::open(a.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            const bool written = fd >= 0 && put(fd, "tail") == 4;
            return written && ::close(fd) == 0 ? "" : failed("append a");
        }
        case 5: return ::truncate(a.c_str(), 10) == 0 ? "" : failed("truncate a");
        case 6: return close_open() == 0 ? "" : failed("close b");
        default:
            if (::mkdir((m_dir + "/d").c_str(), 0755) != 0) return failed("mkdir d");
            return made(m_dir + "/d/e", std::string(70000, 'e'));
        }
    }
    // While the daemon is gone: the open file is written on (its contents
    // live in its container), and closed when `close` (which fails in the
    // view: the daemon cannot be told its size).
    void absent(bool close) {
        if (m_open < 0) return;
        EXPECT_EQ(777, put(m_open, std::string(777, 'x'))) << std::strerror(errno);
        if (close) close_open();
    }
    int close_open() {
        if (m_open < 0) return 0;
        const int result = ::close(m_open);
        m_open = -1;
        return result;
    }

private:
    std::string made(const std::string& path, const std::string& text) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const bool written = fd >= 0 && put(fd, text) == static_cast<long>(text.size());
        return written && ::close(fd) == 0 ? "" : failed("make " + path);
    }
    static std::string failed(const std::string& what) { return what + ": " + std::strerror(errno); }

    std::string m_dir;
    int m_open = -1;
};

class E2eFuseCrash : public E2eFuse {
protected:
    void SetUp() override {
        E2eFuse::SetUp();
        if (IsSkipped()) return;
        // The kill makes the restarted daemon rebuild its database.
        setenv("NORVANE_SERVER_DIR", OSTREL_TEST_SERVER_DIR, 1);
        ASSERT_NO_FATAL_FAILURE(serve_and_mount());
        work = src() + "/work";
        ASSERT_EQ(0, ::mkdir(work.c_str(), 0755));
        ASSERT_EQ(0, ::mkdir((work + "/deep").c_str(), 0755));
    }

    void kill_daemon() {
        ASSERT_TRUE(agent->signal_group(SIGKILL));
        ASSERT_EQ(agent->wait_exit(), std::optional<int>(-SIGKILL));
    }

    // The size the daemon gives the file `path` below the VOB's root (names
    // separated by "/"), or -1 when it cannot be looked up.
    long daemon_size(const std::string& path) {
        korva_sim_test::Kernel_Side kernel;
        korva_sim::ordered_json found;
        vob_root(kernel, &found);
        for (size_t at = 0; at <= path.size();) {
            const size_t end = std::min(path.find('/', at), path.size());
            found = kernel.call(
                {{"call", "lookup"}, {"dir", korva_sim_test::field_of(found, "fh")}, {"name", path.substr(at, end - at)}});
            if (!korva_sim_test::replied(found)) return -1;
            at = end + 1;
        }
        return found["attr"]["fstat"]["size"].get<long>();
    }

    // What differs from `files` (path below `work` -> contents) through the
    // mount: one line per file, empty when nothing does.
    std::string differences(const std::map<std::string, std::string>& files) {
        std::string text;
        for (const auto& file : files) {
            struct stat st;
            const std::string path = work + "/" + file.first;
            if (::stat(path.c_str(), &st) != 0) {
                text += file.first + ": " + std::strerror(errno) + "\n";
            } else if (st.st_size != static_cast<off_t>(file.second.size())) {
                text += file.first + ": size " + std::to_string(st.st_size) + "\n";
            } else if (read_file(path) != file.second) {
                text += file.first + ": other bytes\n";
            }
        }
        return text;
    }

    std::string work;
};

TEST_F(E2eFuseCrash, FilesClosedWhileTheDaemonIsGoneKeepTheirSizes) {
    const unsigned rounds = env_count("FUSE_CRASH_ROUNDS", 50);
    const bool drops = drop_kernel_names();
    if (!drops) std::printf("the kernel's names are not dropped: this process may not\n");
    std::map<std::string, std::string> written;
    unsigned losses = 0;
    for (unsigned round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Each round a new file in a directory of a directory: the kernel
        // forgets those too.
        const std::string name = "deep/f" + std::to_string(round);
        const std::string text = "round " + std::to_string(round) + std::string(round % 7, '+') + "\n";
        const int fd = ::open((work + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_LE(0, fd) << std::strerror(errno);
        ASSERT_EQ(static_cast<ssize_t>(text.size()), ::write(fd, text.data(), text.size()));
        ASSERT_NO_FATAL_FAILURE(kill_daemon());
        // The daemon cannot be told the size: the close says so.
        EXPECT_EQ(-1, ::close(fd));
        EXPECT_TRUE(errno == ENOTCONN || errno == EIO) << std::strerror(errno);
        if (drops) drop_kernel_names();
        ASSERT_NO_FATAL_FAILURE(start_view());
        written[name] = text;

        // Through the mount at once, and the daemon once korva_fuse told it.
        const std::string differ = differences(written);
        long told = -1;
        const bool taken = wait_until(
            [&] { return (told = daemon_size("work/" + name)) == static_cast<long>(text.size()); }, kStartTimeout);
        if (!differ.empty() || !taken) {
            ++losses;
            ADD_FAILURE() << differ << "the daemon has " << told << " bytes of " << name;
        }
    }
    // A new mount shows what the daemon has.
    EXPECT_EQ(mount->stop(), std::optional<int>(0));
    ASSERT_NO_FATAL_FAILURE(start_mount());
    EXPECT_EQ(differences(written), "");
    std::printf("%u rounds, %u losses\n", rounds, losses);

}

// A file closed while the daemon was gone keeps its size through the kills
// of the rounds after it, until a new mount shows what the daemon has:
// each restart rebuilds the database, which gives the VOB's root and the
// files new handles.
TEST_F(E2eFuseCrash, AKillBetweenWritesLosesNothing) {
    const std::string plain = tree / "plain";
    ASSERT_EQ(0, ::mkdir(plain.c_str(), 0755));
    // Killed before each step, and the open file closed while the daemon
    // is gone or once it is back; the steps before the kill and after the
    // restart are made through the same mount.
    struct Point {
        size_t before;
        bool close_absent;
    };
    std::vector<Point> points;
    for (size_t step = 0; step <= Writes::kSteps; ++step) {
        points.push_back({step, false});
        if (step >= 2 && step <= 6) points.push_back({step, true});
    }
    for (const Point& point : points) {
        const std::string name = "p" + std::to_string(point.before) + (point.close_absent ? "c" : "");
        SCOPED_TRACE(name);
        ASSERT_EQ(0, ::mkdir((work + "/" + name).c_str(), 0755));
        ASSERT_EQ(0, ::mkdir((plain + "/" + name).c_str(), 0755));
        Writes view(work + "/" + name), expected(plain + "/" + name);
        for (size_t step = 0; step < Writes::kSteps; ++step) {
            if (step == point.before) {
                ASSERT_NO_FATAL_FAILURE(kill_daemon());
                view.absent(point.close_absent);
                expected.absent(point.close_absent);
                ASSERT_NO_FATAL_FAILURE(start_view());
            }
            EXPECT_EQ(expected.step(step), "") << step;
            EXPECT_EQ(view.step(step), "") << step;
        }
        if (point.before == Writes::kSteps) {
            ASSERT_NO_FATAL_FAILURE(kill_daemon());
            ASSERT_NO_FATAL_FAILURE(start_view());
        }
        std::map<std::string, std::string> in_view, in_plain;
        tree_of(work + "/" + name, "", &in_view);
        tree_of(plain + "/" + name, "", &in_plain);
        EXPECT_EQ(shown(in_view), shown(in_plain));
    }
    // A new mount shows what the daemon has: the same.
    EXPECT_EQ(mount->stop(), std::optional<int>(0));
    ASSERT_NO_FATAL_FAILURE(start_mount());
    std::map<std::string, std::string> in_view, in_plain;
    tree_of(work, "", &in_view);
    tree_of(plain, "", &in_plain);
    in_view.erase("deep");
    EXPECT_EQ(shown(in_view), shown(in_plain));
}

} // namespace
} // namespace e2e
