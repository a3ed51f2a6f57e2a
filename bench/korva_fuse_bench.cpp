// Ordinary file work through korva_fuse beside the same work in a plain
// directory of the same file system, each figure with its goal:
//
//   create  creating 10,000 empty files (goal: at most 10x; beside tmpfs
//           too, when /dev/shm is one: at most 30x), and the daemon's
//           fsync and fdatasync calls while it creates 1,000 more, counted
//           by strace attached to it (goal: none per create); meanwhile the
//           kernel's requests korva_fuse takes and its calls to the daemon,
//           and, in the timed rounds, the processor time and context
//           switches of korva_fuse and the daemon, each per create (figures
//           without a goal);
//   cp      cp -r of a tree of 50 MB of small files from a plain directory
//           (goal: at most 3x);
//   make    make -j4 of a C project of 200 files, generated here (goal: at
//           most 2x);
//   io      writing then reading 100 MB (goal: at most 2x). Before the read
//           each side's file, and the container the daemon reads the view's
//           file from, leave the page cache (fsync, then posix_fadvise
//           DONTNEED): the mount's read goes through the daemon, and both
//           sides read from the disk;
//   stat    the stat of a file the kernel has cached, and
//   ls      "ls -l" of 10,000 files, first after a new mount, then again
//           (figures without a goal).
//
//   korva_fuse_bench [DIR [PART...]]   files under DIR (default $TMPDIR or
//                                      /tmp); the parts named (default all)
//
// The view is served by the real daemon, its server played by the test
// server, which serves the VOB's root; korva_fuse mounts it. Each figure is
// the median of rounds that alternate between the mount and the plain
// directory (which goes first alternates too), and every round checks that
// its work succeeded before it counts.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/served_view_support.h"
#include "e2e/fuse_mount.h"
#include "e2e/fuse_view.h"
#include "e2e/pipe_client.h"
#include "fakeserver/fake_server.h"

namespace {

constexpr int kRounds = 5;
constexpr int kStats = 100000;
constexpr int kFiles = 10000;
constexpr int kCountedFiles = 1000;
constexpr int kSources = 200;
constexpr size_t kFileBytes = 100u << 20;
// The tree cp copies: kTreeDirs directories of kTreeFiles files each, of
// 1 to 20 KiB (about 50 MB in all).
constexpr int kTreeDirs = 50;
constexpr int kTreeFiles = 96;
constexpr long kTmpfsMagic = 0x01021994;

// A step that failed: thrown, so that korva_fuse, the daemon and the test
// server end (and the mount goes) before the benchmark does.
struct Failed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& what) { throw Failed(what); }

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One figure: the medians of both sides, their ratio and, when it has one,
// the goal the ratio must stay within.
void report(const char* what, const char* unit, double scale, const std::vector<double>& mount,
            const std::vector<double>& plain, double goal = 0) {
    const double m = median(mount), p = median(plain), ratio = m / p;
    std::printf("%-32s mount %9.3f %s  plain %9.3f %s  ratio %6.2f\n", what, m * scale, unit, p * scale, unit, ratio);
    if (goal > 0) bench::print_goal(std::string(what) + ", mount / plain", ratio, "<=", goal);
}

// Runs `work` on both sides for `rounds` rounds, alternating, and gives
// each side's times to `mount` and `plain`. `work` is told its side and
// round and returns its time.
void alternate(int rounds, const std::function<double(bool mounted, int round)>& work, std::vector<double>* mount,
               std::vector<double>* plain) {
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < 2; ++i) {
            const bool mounted = (i == 0) == (round % 2 == 0);
            (mounted ? mount : plain)->push_back(work(mounted, round));
        }
    }
}

void write_file(const std::string& path, size_t bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) fail("open " + path);
    std::vector<char> chunk(1 << 20, 'k');
    for (size_t done = 0; done < bytes;) {
        const size_t piece = std::min(chunk.size(), bytes - done);
        if (::write(fd, chunk.data(), piece) != static_cast<ssize_t>(piece)) fail("write " + path);
        done += piece;
    }
    if (::close(fd) != 0) fail("close " + path);
}

void read_file(const std::string& path, size_t bytes) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) fail("open " + path);
    std::vector<char> chunk(1 << 20);
    size_t total = 0;
    bool same = true;
    for (ssize_t n; (n = ::read(fd, chunk.data(), chunk.size())) > 0;) {
        total += static_cast<size_t>(n);
        same = same && std::all_of(chunk.begin(), chunk.begin() + n, [](char c) { return c == 'k'; });
    }
    ::close(fd);
    if (total != bytes || !same) fail("the read of " + path + " did not give what was written");
}

// Writes `path` out and drops its pages from the page cache.
void drop_cached(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0 || ::fsync(fd) != 0 || ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0)
        fail("dropping the cached pages of " + path);
    ::close(fd);
}

// The regular file of `bytes` bytes under `dir` (the container of the
// view's only file that large).
std::string file_of_size(const std::string& dir, size_t bytes) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return "";
    std::string found;
    while (dirent* entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            found = file_of_size(path, bytes);
        } else if (S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) == bytes) {
            found = path;
        }
        if (!found.empty()) break;
    }
    ::closedir(d);
    return found;
}

// Creates `count` empty files in the new directory `dir`; checks that they
// are all listed there.
void create_files(const std::string& dir, int count) {
    if (::mkdir(dir.c_str(), 0755) != 0) fail("mkdir " + dir);
    for (int i = 0; i < count; ++i) {
        const std::string path = dir + "/file-" + std::to_string(i);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0 || ::close(fd) != 0) fail("create " + path);
    }
}

void expect_listed(const std::string& dir, int count) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) fail("opendir " + dir);
    int listed = 0;
    while (dirent* entry = ::readdir(d)) listed += std::string(entry->d_name).rfind("file-", 0) == 0;
    ::closedir(d);
    if (listed != count) fail(dir + " lists " + std::to_string(listed) + " files, not " + std::to_string(count));
}

void put(const std::string& path, const std::string& text) {
    if (!e2e::write_file(path, text)) fail("write " + path);
}

// Processor time (seconds) and context switches of process `pid`: its
// time includes threads that ended, its switches are those of the threads
// there now.
struct Usage {
    double cpu = 0;
    long switches = 0;
};

Usage usage_of(pid_t pid) {
    Usage usage;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream stat(proc + "/stat");
    std::string line;
    if (std::getline(stat, line)) {
        // The fields after the command's name, which ends with the last ')':
        // utime and stime are the 12th and 13th of them.
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::vector<std::string> words;
        for (std::string w; fields >> w;) words.push_back(w);
        if (words.size() > 12)
            usage.cpu = static_cast<double>(std::strtol(words[11].c_str(), nullptr, 10) +
                                            std::strtol(words[12].c_str(), nullptr, 10)) /
                        static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    DIR* tasks = ::opendir((proc + "/task").c_str());
    if (tasks == nullptr) return usage;
    while (dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream status(proc + "/task/" + entry->d_name + "/status");
        while (std::getline(status, line))
            if (line.find("ctxt_switches:") != std::string::npos)
                usage.switches += std::strtol(line.c_str() + line.find(':') + 1, nullptr, 10);
    }
    ::closedir(tasks);
    return usage;
}

// The kernel's requests korva_fuse took (reads and splices from its FUSE
// device) and the packets it sent to the daemon (one a call) while `work`
// ran, counted by strace attached to it, each thread to a file of its own
// (so that no call is split across lines); false when they cannot be
// counted.
bool fuse_calls_during(pid_t pid, const std::function<void()>& work, const std::string& scratch, long* requests,
                       long* calls) {
    const std::string dir = scratch + "/fuse-trace";
    if (::mkdir(dir.c_str(), 0700) != 0) return false;
    pid_t tracer = ::fork();
    if (tracer < 0) return false;
    if (tracer == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, STDERR_FILENO);
        const std::string target = std::to_string(pid), out = dir + "/t";
        ::execlp("strace", "strace", "-ff", "-qq", "-y", "-e", "trace=read,splice,sendmsg,sendto,send", "-e",
                 "signal=none", "-o", out.c_str(), "-p", target.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // strace names each thread's file once it is attached to it.
    auto threads = [&] {
        DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
        int n = 0;
        while (d != nullptr && ::readdir(d) != nullptr) ++n;
        if (d != nullptr) ::closedir(d);
        return n - 2;
    };
    auto files = [&] {
        DIR* d = ::opendir(dir.c_str());
        int n = 0;
        while (d != nullptr && ::readdir(d) != nullptr) ++n;
        if (d != nullptr) ::closedir(d);
        return n - 2;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (files() < threads()) {
        if (::waitpid(tracer, nullptr, WNOHANG) == tracer || std::chrono::steady_clock::now() > deadline) {
            ::kill(tracer, SIGKILL);
            ::waitpid(tracer, nullptr, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    work();
    ::kill(tracer, SIGINT);
    ::waitpid(tracer, nullptr, 0);
    *requests = *calls = 0;
    DIR* d = ::opendir(dir.c_str());
    while (dirent* entry = d != nullptr ? ::readdir(d) : nullptr) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream trace(dir + "/" + entry->d_name);
        for (std::string line; std::getline(trace, line);) {
            const size_t equals = line.rfind(" = ");
            if (equals == std::string::npos || std::strtol(line.c_str() + equals + 3, nullptr, 10) <= 0) continue;
            if ((line.rfind("read(", 0) == 0 || line.rfind("splice(", 0) == 0) &&
                line.find("</dev/fuse>") != std::string::npos)
                ++*requests;
            if (line.rfind("send", 0) == 0) ++*calls;
        }
    }
    if (d != nullptr) ::closedir(d);
    bench::remove_dir(dir);
    return true;
}

// A tree of kTreeDirs directories of small files under the new directory
// `dir`; its files and bytes.
void write_tree(const std::string& dir, long* files, long* bytes) {
    if (::mkdir(dir.c_str(), 0755) != 0) fail("mkdir " + dir);
    *files = *bytes = 0;
    for (int d = 0; d < kTreeDirs; ++d) {
        const std::string sub = dir + "/d" + std::to_string(d);
        if (::mkdir(sub.c_str(), 0755) != 0) fail("mkdir " + sub);
        for (int f = 0; f < kTreeFiles; ++f) {
            const size_t size = 1024 + static_cast<size_t>((d * 7919 + f * 104729) % (19 * 1024));
            put(sub + "/f" + std::to_string(f) + ".c", std::string(size, static_cast<char>('a' + (d + f) % 26)));
            ++*files;
            *bytes += static_cast<long>(size);
        }
    }
}

// The regular files and their bytes under `dir`.
void count_tree(const std::string& dir, long* files, long* bytes) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) fail("opendir " + dir);
    while (dirent* entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) fail("lstat " + path);
        if (S_ISDIR(st.st_mode)) {
            count_tree(path, files, bytes);
        } else if (S_ISREG(st.st_mode)) {
            ++*files;
            *bytes += st.st_size;
        }
    }
    ::closedir(d);
}

// fsync and fdatasync calls of process `pid` (all its threads) while
// `work` runs, counted by strace; -1 when they cannot be counted.
long syncs_during(pid_t pid, const std::function<void()>& work, const std::string& scratch) {
    const std::string out = scratch + "/strace.txt";
    pid_t tracer = ::fork();
    if (tracer < 0) return -1;
    if (tracer == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, STDERR_FILENO);
        const std::string target = std::to_string(pid);
        ::execlp("strace", "strace", "-f", "-c", "-e", "trace=fsync,fdatasync", "-o", out.c_str(), "-p",
                 target.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Attached once every thread of the process names a tracer.
    auto attached = [&] {
        DIR* tasks = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
        if (tasks == nullptr) return false;
        bool all = true;
        while (dirent* entry = ::readdir(tasks)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream status("/proc/" + std::to_string(pid) + "/task/" + entry->d_name + "/status");
            std::string line;
            while (std::getline(status, line))
                if (line.rfind("TracerPid:", 0) == 0) all = all && std::strtol(line.c_str() + 10, nullptr, 10) != 0;
        }
        ::closedir(tasks);
        return all;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!attached()) {
        int status = 0;
        if (::waitpid(tracer, &status, WNOHANG) == tracer || std::chrono::steady_clock::now() > deadline) {
            ::kill(tracer, SIGKILL);
            ::waitpid(tracer, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    work();
    ::kill(tracer, SIGINT);
    int status = 0;
    ::waitpid(tracer, &status, 0);
    // The summary's rows end with the call's name; calls come before
    // errors, which come only with some.
    long calls = 0;
    std::ifstream summary(out);
    for (std::string line; std::getline(summary, line);) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string w; fields >> w;) words.push_back(w);
        if (words.size() >= 5 && (words.back() == "fsync" || words.back() == "fdatasync"))
            calls += std::strtol(words[3].c_str(), nullptr, 10);
    }
    return calls;
}

// A C project of kSources files and its Makefile in `dir`; the output its
// program must print.
std::string write_project(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0755) != 0) fail("mkdir " + dir);
    std::string header = "#ifndef PROJ_H\n#define PROJ_H\n";
    std::string main_c = "#include <stdio.h>\n#include \"proj.h\"\nint main(void) {\n    long s = 0;\n";
    long expected = 0;
    for (int i = 0; i < kSources; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%03d", i);
        header += std::string("long ") + name + "(long x);\n";
        main_c += std::string("    s += ") + name + "(100);\n";
        // Some work for the compiler: a few functions and a table.
        std::string src = "#include \"proj.h\"\n#include <string.h>\n";
        src += "static const int table[] = {";
        for (int k = 0; k < 64; ++k) src += std::to_string((k * 31 + i) % 97) + ",";
        src += "};\n";
        for (int k = 0; k < 8; ++k) {
            src += "static long helper" + std::to_string(k) + "(long x) {\n    long s = 0;\n"
                   "    for (long j = 0; j < x; ++j) s += table[(j + " + std::to_string(k) + ") % 64] * (j % 7);\n"
                   "    return s;\n}\n";
        }
        src += std::string("long ") + name + "(long x) {\n    long s = " + std::to_string(i) + ";\n";
        for (int k = 0; k < 8; ++k) src += "    s += helper" + std::to_string(k) + "(x) % 1000;\n";
        src += "    return s;\n}\n";
        put(dir + "/" + name + ".c", src);
        long s = i;
        for (int k = 0; k < 8; ++k) {
            long h = 0;
            for (long j = 0; j < 100; ++j) h += static_cast<long>((((j + k) % 64) * 31 + i) % 97) * (j % 7);
            s += h % 1000;
        }
        expected += s;
    }
    header += "#endif\n";
    main_c += "    printf(\"%ld\\n\", s);\n    return 0;\n}\n";
    put(dir + "/proj.h", header);
    put(dir + "/main.c", main_c);
    put(dir + "/Makefile",
        "CFLAGS = -O1\n"
        "OBJS = $(patsubst %.c,%.o,$(sort $(wildcard *.c)))\n"
        "prog: $(OBJS)\n\t$(CC) -o $@ $(OBJS)\n"
        "%.o: %.c proj.h\n\t$(CC) $(CFLAGS) -c $< -o $@\n"
        "clean:\n\trm -f $(OBJS) prog\n");
    return std::to_string(expected) + "\n";
}

std::string output_of(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[256];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    return ::pclose(pipe) == 0 ? out : "(failed) " + out;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is measured
    std::set<std::string> parts;
    for (int i = 2; i < argc; ++i) parts.insert(argv[i]);
    auto wanted = [&](const char* part) { return parts.empty() || parts.count(part) != 0; };

    const std::string work = bench::make_dir(bench::base_dir(argc, argv), "korva_fuse_bench");
    const e2e::Vob vob;
    int status = 0;
    try {
        // The view made, serving on, and the server's VOB mounted in it.
        const bench::Served_View served(work, vob);
        const std::string &korva_root = served.korva_root, &plain = served.plain, &storage = served.storage;
        const std::map<std::string, std::string> env = served.env();
        const std::optional<pid_t> daemon = served.agent.child_pid();
        std::unique_ptr<e2e::Fuse_Mount> mount;
        // A new korva_fuse: the kernel keeps nothing of the view.
        auto remount = [&] {
            if (mount && mount->stop() != std::optional<int>(0)) fail("korva_fuse did not end");
            mount.reset();
            mount.reset(new e2e::Fuse_Mount(KORVA_FUSE_PATH, korva_root, "bench", env));
            if (!mount->wait_mounted()) fail("korva_fuse did not mount the view");
        };
        remount();
        const std::string view = mount->root() + vob.tag;
        auto side = [&](bool mounted) { return mounted ? view : plain; };

        if (wanted("stat")) {
            write_file(view + "/f", 10);
            write_file(plain + "/f", 10);
            std::vector<double> mount_stat, plain_stat;
            alternate(kRounds, [&](bool mounted, int) {
                const std::string path = side(mounted) + "/f";
                struct stat st;
                if (::stat(path.c_str(), &st) != 0 || st.st_size != 10) fail("stat " + path);
                return bench::seconds_of([&] {
                    for (int i = 0; i < kStats; ++i) ::stat(path.c_str(), &st);
                }) / kStats;
            }, &mount_stat, &plain_stat);
            report("stat of a cached file", "us", 1e6, mount_stat, plain_stat);
        }

        if (wanted("io")) {
            std::vector<double> mount_io, plain_io, mount_write, plain_write, mount_read, plain_read;
            alternate(kRounds, [&](bool mounted, int) {
                const std::string path = side(mounted) + "/big";
                const double w = bench::seconds_of([&] { write_file(path, kFileBytes); });
                drop_cached(path);
                if (mounted) {
                    const std::string container = file_of_size(storage, kFileBytes);
                    if (container.empty()) fail("no container of the view's file under " + storage);
                    drop_cached(container);
                }
                const double r = bench::seconds_of([&] { read_file(path, kFileBytes); });
                if (::unlink(path.c_str()) != 0) fail("unlink " + path);
                (mounted ? mount_write : plain_write).push_back(w);
                (mounted ? mount_read : plain_read).push_back(r);
                return w + r;
            }, &mount_io, &plain_io);
            report("write then read 100 MB", "s ", 1, mount_io, plain_io, 2);
            report("  of which writing", "s ", 1, mount_write, plain_write);
            report("  of which reading (cold)", "s ", 1, mount_read, plain_read);
        }

        if (wanted("create") || wanted("ls")) {
            // tmpfs, where /dev/shm is one, is a third side of the creates.
            std::string shm;
            struct statfs fs;
            if (wanted("create") && ::statfs("/dev/shm", &fs) == 0 && fs.f_type == kTmpfsMagic)
                shm = bench::make_dir("/dev/shm", "korva_fuse_bench");
            const std::optional<pid_t> fuse = mount->process().pid();
            std::vector<double> mount_make, plain_make, shm_make, fuse_cpu, daemon_cpu, fuse_switches,
                daemon_switches;
            alternate(wanted("create") ? kRounds : 1, [&](bool mounted, int round) {
                const std::string dir = side(mounted) + "/many-" + std::to_string(round);
                const Usage fuse_before = fuse ? usage_of(*fuse) : Usage{};
                const Usage daemon_before = daemon ? usage_of(*daemon) : Usage{};
                const double s = bench::seconds_of([&] { create_files(dir, kFiles); });
                if (mounted && fuse && daemon) {
                    const Usage f = usage_of(*fuse), d = usage_of(*daemon);
                    fuse_cpu.push_back((f.cpu - fuse_before.cpu) / kFiles);
                    daemon_cpu.push_back((d.cpu - daemon_before.cpu) / kFiles);
                    fuse_switches.push_back(static_cast<double>(f.switches - fuse_before.switches) / kFiles);
                    daemon_switches.push_back(static_cast<double>(d.switches - daemon_before.switches) / kFiles);
                }
                expect_listed(dir, kFiles);
                // The tmpfs round follows the plain one.
                if (!shm.empty() && !mounted) {
                    const std::string on_shm = shm + "/many-" + std::to_string(round);
                    shm_make.push_back(bench::seconds_of([&] { create_files(on_shm, kFiles); }));
                    expect_listed(on_shm, kFiles);
                }
                return s;
            }, &mount_make, &plain_make);
            if (!shm.empty()) bench::remove_dir(shm);
            if (wanted("create")) {
                report("creating 10,000 empty files", "s ", 1, mount_make, plain_make, 10);
                if (!shm_make.empty()) {
                    report("  the same beside tmpfs", "s ", 1, mount_make, shm_make, 30);
                } else {
                    std::printf("  the same beside tmpfs: not measured (/dev/shm is no tmpfs)\n");
                }
                if (!fuse_cpu.empty()) {
                    std::printf("  per create: korva_fuse %.0f us processor, %.1f switches; the daemon %.0f us, "
                                "%.1f switches\n",
                                median(fuse_cpu) * 1e6, median(fuse_switches), median(daemon_cpu) * 1e6,
                                median(daemon_switches));
                }
                long requests = 0, calls = 0;
                if (fuse && fuse_calls_during(*fuse, [&] { create_files(view + "/traced", kCountedFiles); }, work,
                                              &requests, &calls)) {
                    expect_listed(view + "/traced", kCountedFiles);
                    std::printf("  per create: %.2f kernel requests to korva_fuse, %.2f calls to the daemon\n",
                                static_cast<double>(requests) / kCountedFiles,
                                static_cast<double>(calls) / kCountedFiles);
                } else {
                    std::printf("  korva_fuse's requests and calls: not counted (no strace)\n");
                }
                long syncs = daemon ? syncs_during(*daemon, [&] { create_files(view + "/counted", kCountedFiles); }, work)
                                    : -1;
                if (syncs < 0) {
                    std::printf("the daemon's fsync and fdatasync calls: not counted (no strace)\n");
                } else {
                    expect_listed(view + "/counted", kCountedFiles);
                    std::printf("the daemon's fsync and fdatasync calls: %ld in %d creates\n", syncs, kCountedFiles);
                    bench::print_goal("the daemon's fsync and fdatasync calls per create",
                                      static_cast<double>(syncs) / kCountedFiles, "<=", 0);
                }
            }
        }

        if (wanted("cp")) {
            // The source is a plain directory the page cache holds: both
            // sides read it alike.
            long files = 0, bytes = 0;
            write_tree(work + "/tree", &files, &bytes);
            std::vector<double> mount_cp, plain_cp;
            alternate(kRounds, [&](bool mounted, int round) {
                const std::string to = side(mounted) + "/tree-" + std::to_string(round);
                const double s = bench::seconds_of([&] {
                    if (std::system(("cp -r '" + work + "/tree' '" + to + "'").c_str()) != 0) fail("cp -r to " + to);
                });
                long copied = 0, copied_bytes = 0;
                count_tree(to, &copied, &copied_bytes);
                if (copied != files || copied_bytes != bytes) fail("cp -r to " + to + " did not copy the whole tree");
                return s;
            }, &mount_cp, &plain_cp);
            char what[64];
            std::snprintf(what, sizeof what, "cp -r of %ld files, %.0f MB", files, bytes / 1e6);
            report(what, "s ", 1, mount_cp, plain_cp, 3);
        }

        if (wanted("make")) {
            const std::string expected = write_project(view + "/proj");
            write_project(plain + "/proj");
            std::vector<double> mount_build, plain_build;
            alternate(kRounds, [&](bool mounted, int) {
                const std::string dir = side(mounted) + "/proj";
                if (std::system(("make -s -C '" + dir + "' clean").c_str()) != 0) fail("make clean in " + dir);
                const double s = bench::seconds_of([&] {
                    if (std::system(("make -s -j4 -C '" + dir + "' prog").c_str()) != 0) fail("make in " + dir);
                });
                const std::string printed = output_of("'" + dir + "/prog'");
                if (printed != expected) fail("the program built in " + dir + " printed " + printed);
                return s;
            }, &mount_build, &plain_build);
            report("make -j4 of 200 C files", "s ", 1, mount_build, plain_build, 2);
        }

        if (wanted("ls")) {
            auto ls = [&](bool mounted) {
                return bench::seconds_of([&] {
                    if (std::system(("ls -l '" + side(mounted) + "/many-0' > /dev/null").c_str()) != 0)
                        fail("ls -l");
                });
            };
            remount();  // what the creates left in the kernel's caches goes
            std::vector<double> mount_first = {ls(true)}, plain_first = {ls(false)};
            report("ls -l of 10,000 files, first", "s ", 1, mount_first, plain_first);
            std::vector<double> mount_ls, plain_ls;
            alternate(kRounds, [&](bool mounted, int) { return ls(mounted); }, &mount_ls, &plain_ls);
            report("ls -l of 10,000 files, again", "s ", 1, mount_ls, plain_ls);
        }

        status = mount->stop() == std::optional<int>(0) ? 0 : 1;
    } catch (const Failed& failed) {
        std::fprintf(stderr, "korva_fuse_bench: %s\n", failed.what());
        status = 2;
    }
    bench::remove_dir(work);
    return status;
}
