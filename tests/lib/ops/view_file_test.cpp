// The element operations' file calls on a plain directory: what stands at
// a name (a link to a file elsewhere, a link to a FIFO, a FIFO, a socket, a
// directory) is refused with 20001 naming the path, before anything is
// opened or changed; nothing waits on a FIFO; a copy is whole under its
// temporary name before it takes the name, and a leftover copy is replaced.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "lib/ops/ostrelagent_view_file.h"

namespace {

using View_File = OstrelAgent_View_File;

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_all(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

class ViewFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/view_file_test.XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        root = pattern;
        view = root + "/view";
        outside = root + "/outside";
        ASSERT_EQ(0, ::mkdir(view.c_str(), 0755));
        ASSERT_EQ(0, ::mkdir(outside.c_str(), 0700));
        secret = outside + "/secret";
        write_all(secret, secret_bytes);
        ASSERT_EQ(0, ::chmod(secret.c_str(), 0600));
        fifo = outside + "/fifo";
        ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
        source = root + "/cleartext";
        write_all(source, std::string(200 * 1024, 'v'));
        ASSERT_EQ(0, ::chmod(source.c_str(), 0444));
    }
    void TearDown() override { std::system(("rm -rf '" + root + "'").c_str()); }

    // Makes `kind` at `path`: "link", "fifo-link", "fifo", "socket", "dir",
    // "file".
    void make(const std::string& kind, const std::string& path) {
        if (kind == "link") {
            ASSERT_EQ(0, ::symlink(secret.c_str(), path.c_str()));
        } else if (kind == "fifo-link") {
            ASSERT_EQ(0, ::symlink(fifo.c_str(), path.c_str()));
        } else if (kind == "fifo") {
            ASSERT_EQ(0, ::mkfifo(path.c_str(), 0644));
        } else if (kind == "socket") {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            ASSERT_GE(fd, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            ASSERT_LT(path.size(), sizeof address.sun_path);
            std::strcpy(address.sun_path, path.c_str());
            ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
            ::close(fd);
        } else if (kind == "dir") {
            ASSERT_EQ(0, ::mkdir(path.c_str(), 0755));
        } else {
            write_all(path, "the view's own file\n");
        }
    }
    // Nothing outside the view changed, and no reader waits on the FIFO.
    void expect_outside_untouched() {
        EXPECT_EQ(secret_bytes, read_all(secret));
        struct stat st;
        ASSERT_EQ(0, ::stat(secret.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 07777);
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        EXPECT_EQ(-1, writer);
        EXPECT_EQ(ENXIO, errno);
        if (writer >= 0) ::close(writer);
    }

    std::string root, view, outside, secret, fifo, source;
    const std::string secret_bytes = "secret outside the view\n";
};

// Every call, on every kind of thing that is not a plain file: 20001, the
// path in the message, the thing itself left as it was.
TEST_F(ViewFileTest, EveryCallRefusesWhatIsNotAPlainFile) {
    const struct {
        const char* name;
        std::function<int(const std::string&, std::string&)> call;
    } calls[] = {
        {"open_read",
         [](const std::string& path, std::string& message) {
             int fd = -1;
             const int status = View_File::open_read(path, fd, message);
             if (fd >= 0) ::close(fd);
             return status;
         }},
        {"copy_whole",
         [this](const std::string& path, std::string& message) {
             return View_File::copy_whole(source, path, 0644, nullptr, message);
         }},
        {"set_mode", [](const std::string& path, std::string& message) { return View_File::set_mode(path, 0200, message); }},
        {"touch", [](const std::string& path, std::string& message) { return View_File::touch(path, message); }},
        {"remove", [](const std::string& path, std::string& message) { return View_File::remove(path, true, message); }},
        {"rename from",
         [this](const std::string& path, std::string& message) {
             return View_File::rename(path, view + "/renamed", message);
         }},
        {"rename onto",
         [this](const std::string& path, std::string& message) {
             const std::string from = view + "/plain-" + std::to_string(::rand());
             write_all(from, "moved\n");
             return View_File::rename(from, path, message);
         }},
    };
    const char* kinds[] = {"link", "fifo-link", "fifo", "socket", "dir"};
    int n = 0;
    for (const auto& call : calls) {
        for (const char* kind : kinds) {
            SCOPED_TRACE(std::string(call.name) + " on a " + kind);
            const std::string path = view + "/name" + std::to_string(++n);
            make(kind, path);
            struct stat before;
            ASSERT_EQ(0, ::lstat(path.c_str(), &before));
            std::string message;
            EXPECT_EQ(20001, call.call(path, message));
            EXPECT_NE(std::string::npos, message.find(path)) << message;
            struct stat after;
            ASSERT_EQ(0, ::lstat(path.c_str(), &after));
            EXPECT_EQ(before.st_mode, after.st_mode);
            EXPECT_EQ(before.st_ino, after.st_ino);
            EXPECT_FALSE(View_File::copy_left(path));
            expect_outside_untouched();
        }
    }
}

// The calls on plain files do their work, on the file and nothing else.
TEST_F(ViewFileTest, PlainFilesAreCopiedSetReadRemovedAndRenamed) {
    const std::string path = view + "/a.c";
    std::string message;
    const struct timespec times[2] = {{1000000, 0}, {2000000, 0}};
    ASSERT_EQ(0, View_File::copy_whole(source, path, 0644, times, message)) << message;
    EXPECT_EQ(read_all(source), read_all(path));
    struct stat st;
    ASSERT_EQ(0, ::lstat(path.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_EQ(2000000, st.st_mtime);
    EXPECT_FALSE(View_File::copy_left(path));

    ASSERT_EQ(0, View_File::set_mode(path, 0600, message)) << message;
    ASSERT_EQ(0, ::lstat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    ASSERT_EQ(0, View_File::touch(path, message)) << message;
    ASSERT_EQ(0, ::lstat(path.c_str(), &st));
    EXPECT_GT(st.st_mtime, 2000000);

    int fd = -1;
    ASSERT_EQ(0, View_File::open_read(path, fd, message)) << message;
    char first = 0;
    EXPECT_EQ(1, ::read(fd, &first, 1));
    EXPECT_EQ('v', first);
    ::close(fd);

    const std::string moved = view + "/b.c";
    EXPECT_EQ(0, View_File::rename(path, moved, message)) << message;
    EXPECT_EQ(ENOENT, View_File::rename(path, moved, message));
    EXPECT_EQ(0, View_File::remove(moved, false, message)) << message;
    EXPECT_EQ(0, View_File::remove(moved, true, message));
    EXPECT_EQ(20001, View_File::remove(moved, false, message));
    EXPECT_TRUE(message.find(moved) != std::string::npos) << message;
}

// A copy left under the temporary name (a crash mid-copy, a stale link
// there) is replaced; a copy made in two steps shows only once renamed,
// and the name keeps its old bytes until then.
TEST_F(ViewFileTest, ACopyTakesTheNameOnlyWhenWhole) {
    const std::string path = view + "/c.c";
    write_all(path, "before\n");
    const std::string temporary = View_File::copy_name(path);
    EXPECT_EQ(view + "/.c.c.ostrel-copy", temporary);
    std::string message;
    bool attributes_failed = false;

    for (const char* left : {"half", "link"}) {
        SCOPED_TRACE(left);
        if (std::string(left) == "half")
            write_all(temporary, "half a co");
        else
            ASSERT_EQ(0, ::symlink(secret.c_str(), temporary.c_str()));
        ASSERT_EQ(0, View_File::prepare_copy(source, path, 0, nullptr, message, attributes_failed)) << message;
        EXPECT_TRUE(View_File::copy_left(path));
        EXPECT_EQ("before\n", read_all(path));
        EXPECT_EQ(read_all(source), read_all(temporary));
        struct stat st;
        ASSERT_EQ(0, ::lstat(temporary.c_str(), &st));
        EXPECT_TRUE(S_ISREG(st.st_mode));
        ASSERT_EQ(0, View_File::drop_copy(path, message)) << message;
        EXPECT_FALSE(View_File::copy_left(path));
        expect_outside_untouched();
    }
    ASSERT_EQ(0, View_File::prepare_copy(source, path, 0, nullptr, message, attributes_failed)) << message;
    ASSERT_EQ(0, View_File::finish_copy(path, message)) << message;
    EXPECT_EQ(read_all(source), read_all(path));
    EXPECT_FALSE(View_File::copy_left(path));
    // A new file takes the source's permission bits (umask applied).
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat st;
    ASSERT_EQ(0, ::lstat(path.c_str(), &st));
    EXPECT_EQ(0444u & ~mask, st.st_mode & 07777);
}

} // namespace
