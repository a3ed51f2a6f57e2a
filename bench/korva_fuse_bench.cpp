// Ordinary file work through korva_fuse beside the same work on a plain
// directory of the same file system: the stat of a file the kernel has
// cached, writing then reading a 100 MB file, and "ls -l" of a directory of
// 10,000 files (made first: each file made is a commit of the view
// database, so this part takes a while). The view is served by the real
// daemon, its server played by the test server, which serves the VOB's
// root; korva_fuse mounts it.
//
//   korva_fuse_bench [DIR]   files under DIR (default $TMPDIR or /tmp)
//
// Each figure is measured in alternating rounds, the mount's and the plain
// directory's, and printed with its ratio. The first listing is the first
// of a korva_fuse just mounted (nothing of the view in the kernel's
// caches); the plain directory's is kept by the kernel all along.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
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
constexpr size_t kFileBytes = 100u << 20;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void report(const char* what, const char* unit, double scale, const std::vector<double>& mount,
            const std::vector<double>& plain) {
    double m = median(mount), p = median(plain);
    std::printf("%-34s mount %10.3f %s   plain %10.3f %s   ratio %6.2f\n", what, m * scale, unit, p * scale, unit,
                m / p);
}

void write_file(const std::string& path, size_t bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) bench::fail("open " + path);
    std::vector<char> chunk(1 << 20, 'k');
    for (size_t done = 0; done < bytes; done += chunk.size())
        if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) bench::fail("write " + path);
    if (::close(fd) != 0) bench::fail("close " + path);
}

void read_file(const std::string& path, size_t bytes) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) bench::fail("open " + path);
    std::vector<char> chunk(1 << 20);
    size_t total = 0;
    for (ssize_t n; (n = ::read(fd, chunk.data(), chunk.size())) > 0;) total += static_cast<size_t>(n);
    ::close(fd);
    if (total != bytes) bench::fail("short read of " + path);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is measured
    const std::string work = bench::make_dir(bench::base_dir(argc, argv), "korva_fuse_bench");
    const e2e::Vob vob;
    int status = 0;
    {
        // The view made, serving on, and the server's VOB mounted in it.
        const bench::Served_View served(work, vob);
        const std::string &korva_root = served.korva_root, &plain = served.plain;
        const std::map<std::string, std::string> env = served.env();
        std::unique_ptr<e2e::Fuse_Mount> mount;
        // A new korva_fuse: the kernel keeps nothing of the view.
        auto remount = [&] {
            if (mount && mount->stop() != std::optional<int>(0)) bench::fail("korva_fuse did not end");
            mount.reset();
            mount.reset(new e2e::Fuse_Mount(KORVA_FUSE_PATH, korva_root, "bench", env));
            if (!mount->wait_mounted()) bench::fail("korva_fuse did not mount the view");
        };
        remount();
        const std::string view = mount->root() + vob.tag;

        // stat of a cached file.
        write_file(view + "/f", 10);
        write_file(plain + "/f", 10);
        std::vector<double> mount_stat, plain_stat;
        for (int round = 0; round < kRounds; ++round) {
            for (const std::string& dir : {view, plain}) {
                const std::string path = dir + "/f";
                struct stat st;
                ::stat(path.c_str(), &st);
                double s = bench::seconds_of([&] {
                    for (int i = 0; i < kStats; ++i) ::stat(path.c_str(), &st);
                });
                (dir == view ? mount_stat : plain_stat).push_back(s / kStats);
            }
        }
        report("stat of a cached file", "us", 1e6, mount_stat, plain_stat);

        // Writing then reading 100 MB.
        std::vector<double> mount_io, plain_io, mount_write, plain_write, mount_read, plain_read;
        for (int round = 0; round < kRounds; ++round) {
            for (const std::string& dir : {view, plain}) {
                const std::string path = dir + "/big";
                const bool mounted = dir == view;
                double w = bench::seconds_of([&] { write_file(path, kFileBytes); });
                double r = bench::seconds_of([&] { read_file(path, kFileBytes); });
                (mounted ? mount_write : plain_write).push_back(w);
                (mounted ? mount_read : plain_read).push_back(r);
                (mounted ? mount_io : plain_io).push_back(w + r);
                ::unlink(path.c_str());
            }
        }
        report("write then read 100 MB", "s ", 1, mount_io, plain_io);
        report("  of which writing", "s ", 1, mount_write, plain_write);
        report("  of which reading", "s ", 1, mount_read, plain_read);

        // ls -l of 10,000 files: the first listing (nothing cached), then
        // listings one after the other.
        std::vector<double> mount_make, plain_make;
        for (const std::string& dir : {view, plain}) {
            const std::string many = dir + "/many";
            ::mkdir(many.c_str(), 0755);
            double s = bench::seconds_of([&] {
                for (int i = 0; i < kFiles; ++i) {
                    int fd = ::open((many + "/file-" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
                    if (fd < 0) bench::fail("create in " + many);
                    ::close(fd);
                }
            });
            (dir == view ? mount_make : plain_make).push_back(s);
        }
        report("creating 10,000 empty files", "s ", 1, mount_make, plain_make);
        auto ls = [](const std::string& dir) {
            return bench::seconds_of([&] {
                if (std::system(("ls -l '" + dir + "/many' > /dev/null").c_str()) != 0) bench::fail("ls -l");
            });
        };
        remount();  // what the creates left in the kernel's caches goes
        std::vector<double> mount_first = {ls(view)}, plain_first = {ls(plain)};
        report("ls -l of 10,000 files, first", "s ", 1, mount_first, plain_first);
        std::vector<double> mount_ls, plain_ls;
        for (int round = 0; round < kRounds; ++round) {
            mount_ls.push_back(ls(view));
            plain_ls.push_back(ls(plain));
        }
        report("ls -l of 10,000 files, again", "s ", 1, mount_ls, plain_ls);


        status = mount->stop() == std::optional<int>(0) ? 0 : 1;
    }
    bench::remove_dir(work);
    return status;
}
