// What the element operations do with whatever a user put at a name in the
// view: a link to a file outside the view (or to a FIFO there) is never
// followed, read, written or blocked on; the operation answers 20001 naming
// the path and nothing outside the view nor in the cleartext cache changes.
// A new file's container in the view's storage is no more open than the
// file; Move takes no "." or ".." for a name.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "element_bench.h"

namespace e2e {
namespace {

using Kind = Served_Vob::Kind;

// Every regular file under `dir` (recursively), by path.
std::map<std::string, struct stat> files_under(const std::string& dir) {
    std::map<std::string, struct stat> found;
    std::vector<std::string> dirs = {dir};
    while (!dirs.empty()) {
        const std::string at = dirs.back();
        dirs.pop_back();
        for (const std::string& entry : list_dir(at)) {
            const std::string path = at + "/" + entry;
            struct stat st;
            if (::lstat(path.c_str(), &st) != 0) continue;
            if (S_ISDIR(st.st_mode))
                dirs.push_back(path);
            else if (S_ISREG(st.st_mode))
                found[path] = st;
        }
    }
    return found;
}

class E2eViewFile : public E2eElement {
protected:
    std::string checkin(const std::string& path, const std::string& version) {
        return make_request("Checkin", "ci", "<path>" + path + "</path><replica-uuid>" +
                                                 std::string(Served_Vob::REPLICA) + "</replica-uuid><new-ver-oid>" +
                                                 version + "</new-ver-oid>");
    }
    std::string hijack(const std::string& path) {
        return make_request("Hijack", "hj", "<path>" + path + "</path>");
    }
    std::string mkelem(const std::string& path, const std::string& version) {
        return make_request("Mkelem", "mk", "<path>" + path + "</path><replica-uuid>" +
                                                std::string(Served_Vob::REPLICA) +
                                                "</replica-uuid><mkelem-flags/><new-ver-oid>" + version +
                                                "</new-ver-oid>");
    }
    std::string move(const std::string& src, const std::string& old_name, const std::string& dst,
                     const std::string& new_name) {
        return make_request("Move", "mv", "<src-path>" + src + "</src-path><dst-path>" + dst +
                                              "</dst-path><old-name>" + old_name + "</old-name><new-name>" +
                                              new_name + "</new-name>");
    }
    // Whether any cached version holds `bytes`.
    bool cached_anywhere(const std::string& bytes) const {
        for (const auto& [oid, cached] : cached_versions())
            if (cached == bytes) return true;
        return false;
    }
};

// A link at the name, to a secret file or to a FIFO outside the view: each
// operation refuses it naming the path, the outside file keeps its bytes
// and mode, the cache never holds its bytes, and nothing waits on the FIFO.
TEST_F(E2eViewFile, ALinkAtTheNameIsRefusedAndNothingOutsideTheViewIsTouched) {
    if (!mount_view()) return;
    const std::string outside = tree / "outside";
    ASSERT_EQ(0, ::mkdir(outside.c_str(), 0700));
    const std::string secret = outside + "/secret";
    const std::string secret_bytes = "outside the view, never to be read through it\n";
    ASSERT_TRUE(write_file(secret, secret_bytes));
    ASSERT_EQ(0, ::chmod(secret.c_str(), 0600));
    const std::string fifo = outside + "/fifo";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));

    enum class Op { checkout, checkin, hijack, mkelem };
    const struct {
        const char* name;
        Op op;
        bool to_fifo;
    } rows[] = {
        {"Checkout onto a link to a file", Op::checkout, false},
        {"Checkout onto a link to a FIFO", Op::checkout, true},
        {"Checkin of a link to a file", Op::checkin, false},
        {"Checkin of a link to a FIFO", Op::checkin, true},
        {"Hijack of a link to a file", Op::hijack, false},
        {"Mkelem of a link to a file", Op::mkelem, false},
        {"Mkelem of a link to a FIFO", Op::mkelem, true},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = "/vob1/dir/evil" + std::to_string(++n);
        ASSERT_EQ(0, ::symlink((row.to_fifo ? fifo : secret).c_str(), in_view(path).c_str()));
        ASSERT_EQ('l', file(path).type);
        std::string request;
        switch (row.op) {
        // Each checkout on the server is of another element.
        case Op::checkout:
            request = checkout_request(path, vob().checkout(row.to_fifo ? "/vob1/dir/c.c" : "/vob1/a.c"));
            break;
        case Op::checkin: request = checkin(path, vob().checkin("/vob1/b.c")); break;
        case Op::hijack: request = hijack(path); break;
        case Op::mkelem: request = mkelem(path, vob().mkelem(path, Kind::file, std::string("the element's\n"))); break;
        }
        const lib_test::Reply reply = call(request);
        EXPECT_EQ("20001", status(reply)) << message(reply);
        EXPECT_NE(std::string::npos, message(reply).find("evil" + std::to_string(n))) << message(reply);

        EXPECT_EQ(secret_bytes, read_file(secret));
        struct stat st;
        ASSERT_EQ(0, ::stat(secret.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 07777);
        ASSERT_EQ(0, ::stat(fifo.c_str(), &st));
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        // No reader holds the FIFO open or waits for a writer.
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        EXPECT_EQ(-1, writer);
        EXPECT_EQ(ENXIO, errno);
        if (writer >= 0) ::close(writer);
        EXPECT_FALSE(cached_anywhere(secret_bytes));
        // The link itself is left as the user made it.
        EXPECT_EQ('l', file(path).type);
    }
    // The view still serves its own files.
    EXPECT_EQ(vob().content("/vob1/sub/s.c"), file("/vob1/sub/s.c").bytes);
}

// A file made through the mount: its container in the view's storage has
// the file's permission bits (the creator's umask applied), so the storage
// shows nobody what the file's mode keeps from them.
TEST_F(E2eViewFile, ANewFilesContainerIsNoMoreOpenThanTheFile) {
    if (!mount_view()) return;
    const mode_t old_umask = ::umask(022);
    const struct {
        const char* leaf;
        mode_t asked;
        mode_t file;
    } rows[] = {
        {"private.txt", 0600, 0600},
        {"group.txt", 0640, 0640},
        {"umasked.txt", 0666, 0644},
        {"script.sh", 0750, 0750},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.leaf);
        const std::string path = std::string("/vob1/dir/") + row.leaf;
        const std::string bytes = std::string("container of ") + row.leaf + "\n";
        const int fd = ::open(in_view(path).c_str(), O_WRONLY | O_CREAT | O_EXCL, row.asked);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::write(fd, bytes.data(), bytes.size()));
        ASSERT_EQ(0, ::close(fd));
        EXPECT_EQ(row.file, file(path).mode);

        std::vector<std::string> holding;
        for (const auto& [stored, st] : files_under(storage(VIEW)))
            if (st.st_size == static_cast<off_t>(bytes.size()) && read_file(stored) == bytes) {
                holding.push_back(stored);
                EXPECT_EQ(row.file, st.st_mode & 0777) << stored;
            }
        EXPECT_EQ(1u, holding.size());
    }
    ::umask(old_umask);
}

// Only a regular file under the old name is carried over: a link left
// there is neither followed nor taken for a failed move.
TEST_F(E2eViewFile, MoveCarriesOverNothingButARegularFile) {
    if (!mount_view()) return;
    const std::string outside = tree / "outside-secret";
    ASSERT_TRUE(write_file(outside, "outside\n"));
    ASSERT_EQ(0, ::symlink(outside.c_str(), in_view("/vob1/dir/l").c_str()));
    const lib_test::Reply reply = call(move("/vob1/dir", "l", "/vob1/dir", "l2"));
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_EQ("outside\n", read_file(outside));
    struct stat st {};
    EXPECT_FALSE(::lstat(in_view("/vob1/dir/l2").c_str(), &st) == 0 && S_ISREG(st.st_mode));
}

// Move takes "." and ".." for neither name: they name a directory itself or
// its parent, never an entry of it. Nothing moves.
TEST_F(E2eViewFile, MoveRefusesDotAndDotDotAsNames) {
    if (!mount_view()) return;
    const std::string shown = view_tree();
    const struct {
        const char* old_name;
        const char* new_name;
    } rows[] = {{".", "x"}, {"..", "x"}, {"c.c", "."}, {"c.c", ".."}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.old_name) + " -> " + row.new_name);
        const lib_test::Reply reply = call(move("/vob1/dir", row.old_name, "/vob1/sub", row.new_name));
        EXPECT_EQ("20021", status(reply)) << message(reply);
    }
    EXPECT_EQ(shown, view_tree());
}

} // namespace
} // namespace e2e
