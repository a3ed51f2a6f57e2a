// korva_fuse acts only inside the view. It runs as root here (the only way
// its mount serves every user), while the view's files are its owner's to
// change: a container replaced by a link or a FIFO is never opened (a read
// or a write through the mount fails with EIO, the file outside unchanged,
// nothing waits); the view root comes only from a configuration that root
// or the owner controls and the mount only goes on a directory the owner
// owns (else korva_fuse refuses with one line and exit status 1, nothing
// mounted); and with the kernel state and the storage an ordinary user's,
// korva_fuse serves as that user, keeping only the capabilities it needs.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "fuse_fixture.h"

namespace e2e {
namespace {

// The ordinary user that owns the view in the cases that need one.
constexpr uid_t kUser = 4242;
constexpr gid_t kGroup = 4343;

std::string text_of(const std::string& path) {
    std::ifstream in(path);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_text(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path, std::ios::trunc) << text;
    ASSERT_EQ(0, ::chmod(path.c_str(), mode)) << path;
}

// The regular file under `dir` that holds exactly `contents`, or empty.
std::string file_holding(const std::string& dir, const std::string& contents) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file() && !entry.is_symlink() && text_of(entry.path()) == contents)
            return entry.path();
    }
    return "";
}

class E2eFuseOwner : public E2eFuse {
protected:
    // Runs korva_fuse for the view until it exits: its exit status, and its
    // standard error through `err`.
    std::optional<int> run_korva_fuse(std::string* err) {
        Process fuse(KORVA_FUSE_PATH, {tag(), "-f"}, agent_env());
        fuse.close_stdin();
        std::optional<int> status = fuse.wait_exit(Millis(60000));
        *err = fuse.stderr_text();
        return status;
    }
    std::string config() const { return korva_root + "/config"; }
};

TEST_F(E2eFuseOwner, AContainerThatIsALinkOrAFifoIsNeverOpenedThroughTheMount) {
    serve_and_mount();
    const std::string dir = src();
    sh(dir, "printf 'view one' > secret.txt && printf 'view two' > owned.txt && printf 'view three' > fifo.txt");
    const std::string storage_files = storage(name) + "/.s";
    const std::string secret_container = file_holding(storage_files, "view one");
    const std::string owned_container = file_holding(storage_files, "view two");
    const std::string fifo_container = file_holding(storage_files, "view three");
    ASSERT_FALSE(secret_container.empty() || owned_container.empty() || fifo_container.empty());

    // The owner of the storage points the containers elsewhere.
    const std::string secret = tree / "root-only";
    const std::string owned = tree / "root-owned";
    write_text(secret, "root-only bytes", 0600);
    write_text(owned, "root-owned bytes", 0644);
    ASSERT_EQ(0, ::unlink(secret_container.c_str()));
    ASSERT_EQ(0, ::symlink(secret.c_str(), secret_container.c_str()));
    ASSERT_EQ(0, ::unlink(owned_container.c_str()));
    ASSERT_EQ(0, ::symlink(owned.c_str(), owned_container.c_str()));
    ASSERT_EQ(0, ::unlink(fifo_container.c_str()));
    ASSERT_EQ(0, ::mkfifo(fifo_container.c_str(), 0644));

    // Each command fails at once with EIO (a FIFO opened would wait for a
    // writer or a reader: the shell's wait then fails the test).
    for (const char* command : {"cat secret.txt", "cat owned.txt", "printf x > owned.txt", "printf x >> owned.txt",
                                "truncate -s 0 owned.txt", "cat fifo.txt", "printf x >> fifo.txt"}) {
        SCOPED_TRACE(command);
        Process shell("/bin/sh", {"-c", "cd '" + dir + "' && " + command});
        shell.close_stdin();
        const std::optional<int> status = shell.wait_exit(Millis(60000));
        ASSERT_TRUE(status.has_value()) << "still waiting";
        EXPECT_NE(0, *status);
        EXPECT_NE(std::string::npos, shell.stderr_text().find("Input/output error")) << shell.stderr_text();
        EXPECT_EQ("", shell.stdout_text());
    }
    EXPECT_EQ("root-only bytes", text_of(secret));
    EXPECT_EQ("root-owned bytes", text_of(owned));
    struct stat st;
    ASSERT_EQ(0, ::lstat(fifo_container.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // The files beside them are served as before, and korva_fuse said why.
    EXPECT_EQ(sh(dir, "printf 'still mine' > other.txt && cat other.txt"), "still mine");
    ASSERT_EQ(mount->stop(), std::optional<int>(0));
    const std::string said = mount->process().stderr_text();
    EXPECT_NE(std::string::npos, said.find(secret_container.substr(storage(name).size()) + ": a link")) << said;
    EXPECT_NE(std::string::npos, said.find(": not a regular file: refused")) << said;
}

TEST_F(E2eFuseOwner, AViewRootThatRootOrTheOwnerDoesNotControlIsNeverMountedOn) {
    server_rules = served_vob_rules(Vob());
    agent = serve_new_view(name);
    const std::string others = tree / "others";
    ASSERT_EQ(0, ::mkdir(others.c_str(), 0755));
    const std::string rooted = tree / "rooted";
    ASSERT_EQ(0, ::mkdir(rooted.c_str(), 0755));
    const std::string default_root = "root.1=" + korva_root + "/view\n";

    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::string mountpoint;
        const char* said;
    } cases[] = {
        {"a configuration of another user",
         [&] {
             write_text(config(), default_root, 0644);
             ASSERT_EQ(0, ::chown(config().c_str(), kUser, kGroup));
         },
         korva_root + "/view/" + tag(), "neither root nor the view's owner"},
        {"a configuration others may write", [&] { write_text(config(), default_root, 0666); },
         korva_root + "/view/" + tag(), "writable by others"},
        {"a configuration that is a link",
         [&] {
             write_text(tree / "elsewhere", default_root, 0644);
             ASSERT_EQ(0, ::symlink((tree / "elsewhere").c_str(), config().c_str()));
         },
         korva_root + "/view/" + tag(), "not a regular file"},
        {"a view root directory of another user",
         [&] {
             write_text(config(), "root.1=" + others + "\n", 0644);
             ASSERT_EQ(0, ::mkdir((others + "/" + tag()).c_str(), 0755));
             ASSERT_EQ(0, ::chown((others + "/" + tag()).c_str(), kUser, kGroup));
         },
         others + "/" + tag(), "not by the view's owner"},
        {"a view root directory that is a link",
         [&] {
             write_text(config(), "root.1=" + rooted + "\n", 0644);
             ASSERT_EQ(0, ::mkdir((tree / "target").c_str(), 0755));
             ASSERT_EQ(0, ::symlink((tree / "target").c_str(), (rooted + "/" + tag()).c_str()));
         },
         rooted + "/" + tag(), "not a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(config().c_str());
        c.arrange();
        std::string err;
        EXPECT_EQ(run_korva_fuse(&err), std::optional<int>(1));
        EXPECT_EQ(0, err.rfind("korva_fuse: ", 0)) << err;
        EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
        EXPECT_NE(std::string::npos, err.find(c.said)) << err;
        EXPECT_FALSE(is_mount_point(c.mountpoint));
    }
    EXPECT_FALSE(is_mount_point(tree / "target"));
    ::unlink(config().c_str());
}

// With the kernel state and the storage an ordinary user's, root's
// korva_fuse serves as that user; the user's configuration cannot put the
// mount over a directory of root's.
TEST_F(E2eFuseOwner, StartedByRootItServesAsTheViewsOwnerWithTheCapabilitiesItNeedsAlone) {
    serve_with_vob();
    if (HasFatalFailure()) return;
    const std::string owners = std::to_string(kUser) + ":" + std::to_string(kGroup);
    sh(tree.path(), "chown -R " + owners + " '" + korva_root + "' '" + storage(name) + "'");
    // The user may pass through the test's directories above them.
    const std::string storages = storage(name).substr(0, storage(name).rfind('/'));
    for (const std::string& dir : {tree.path(), storages}) ASSERT_EQ(0, ::chmod(dir.c_str(), 0711)) << dir;

    // Root's directory, named by the user's configuration, stays as it is.
    const std::string roots = tree / "roots";
    ASSERT_EQ(0, ::mkdir(roots.c_str(), 0755));
    write_text(roots + "/kept", "root's file", 0644);
    write_text(config(), "root.1=" + roots + "\n", 0644);
    ASSERT_EQ(0, ::chown(config().c_str(), kUser, kGroup));
    std::string err;
    EXPECT_EQ(run_korva_fuse(&err), std::optional<int>(1));
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_NE(std::string::npos, err.find(roots + "/" + tag())) << err;
    EXPECT_FALSE(is_mount_point(roots));
    EXPECT_NE(0, ::access((roots + "/" + tag()).c_str(), F_OK));
    EXPECT_EQ("root's file", text_of(roots + "/kept"));

    // Under its own view root it serves, as the owner.
    ASSERT_EQ(0, ::unlink(config().c_str()));
    start_mount();
    EXPECT_EQ(sh(mount->root(), "ls -a"), ".\n..\nvobs\n");
    const std::string status = text_of("/proc/" + std::to_string(mount->process().pid()) + "/status");
    const std::string ids = std::to_string(kUser) + "\t" + std::to_string(kUser) + "\t" + std::to_string(kUser) + "\t" +
                            std::to_string(kUser) + "\n";
    EXPECT_NE(std::string::npos, status.find("Uid:\t" + ids)) << status;
    // CAP_SYS_ADMIN, CAP_SETUID and CAP_SETGID: permitted, in effect, and
    // all that it could ever have again.
    for (const char* set : {"CapPrm", "CapEff", "CapBnd"})
        EXPECT_NE(std::string::npos, status.find(std::string(set) + ":\t00000000002000c0\n")) << set << "\n" << status;
    EXPECT_EQ(mount->stop(), std::optional<int>(0));
    EXPECT_FALSE(is_mount_point(mount->root()));
}

} // namespace
} // namespace e2e
