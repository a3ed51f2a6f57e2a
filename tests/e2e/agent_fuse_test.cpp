// Ordinary programs on a view: the real daemon serves it, korva_fuse mounts
// its root directory, and shell commands and system calls work on the
// mount as on a plain directory. What they make are view-private files
// whose contents are their containers in the view's storage; everything is
// there again after the daemon and korva_fuse were stopped and started
// again. With the daemon gone, calls fail (nothing waits for it) until a
// restarted daemon serves them; when the view is unregistered the mount
// goes and korva_fuse exits 0. Failures of file calls can be forced
// through the kernel's inject file.
//
// The VOB's own names come from the test server; only their names and
// statuses are used (their contents are not served), the rest is the
// view's own files.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fuse_fixture.h"
#include "tools/korva_sim/kernel_side.h"

namespace e2e {
namespace {

using korva_sim_test::Kernel_Side;
using korva_sim_test::replied;

// Makes a tree with ordinary commands, then prints what a user sees of it:
// contents, the names, and the files' sizes, modes, link counts and the
// times set on them. Run in a plain directory and in the view alike.
const char* const kMakeTree = R"(set -e
mkdir -p lib/deep
printf 'hello\n' > a.txt
printf 'line one\nline two\n' > lib/b.txt
cp a.txt lib/deep/c.txt
cat a.txt lib/b.txt lib/deep/c.txt
mv a.txt a2.txt
mv lib/b.txt lib/deep/b.txt
ln lib/deep/c.txt hard.txt
ln -s lib/deep/b.txt soft
readlink soft
cat soft
chmod 640 a2.txt
truncate -s 3 a2.txt
truncate -s 30 lib/deep/b.txt
rm lib/deep/c.txt
mkdir empty
rmdir empty
if rmdir lib 2>/dev/null; then echo 'a full directory removed'; fi
head -c 300000 /dev/zero | tr '\0' 'x' > big
printf 'appended\n' >> big
touch -d @1700000000 a2.txt hard.txt
)";
const char* const kShowTree = R"(set -e
find . | sort
find . -type f | sort | xargs stat -c '%n %s %a %h %F'
find . -type l | sort | xargs stat -c '%n %s %F'
ls -ln --time-style=+%s a2.txt hard.txt | cut -d' ' -f1-2,5-
cat a2.txt; od -c lib/deep/b.txt; md5sum big
)";

TEST_F(E2eFuse, OrdinaryCommandsSeeTheViewAsAPlainDirectoryAlsoAfterARestart) {
    serve_and_mount();
    const std::string plain = tree / "plain";
    ASSERT_EQ(0, ::mkdir(plain.c_str(), 0755));

    // The top level: a directory per mounted VOB, nested by its tag.
    EXPECT_EQ(sh(mount->root(), "ls -a"), ".\n..\nvobs\n");
    EXPECT_EQ(sh(mount->root(), "ls vobs"), "src\n");
    // The VOB's names come from the server, and stay the view's once listed.
    const char* const kListVob = "ls && stat -c '%n %s %A' README docs";
    const std::string vob_listing = "README\ndocs\nREADME 42 -rw-r--r--\ndocs 0 drwxr-xr-x\n";
    EXPECT_EQ(sh(src(), kListVob), vob_listing);
    EXPECT_EQ(sh(src(), "ls -a docs && stat -c '%n %s %F' README"), ".\n..\nREADME 42 regular file\n");

    // A tree of the view's own files beside them, made and shown as in a
    // plain directory.
    const std::string work = src() + "/work";
    ASSERT_EQ(0, ::mkdir(work.c_str(), 0755));
    const std::string made = sh(plain, kMakeTree);
    EXPECT_EQ(sh(work, kMakeTree), made);
    const std::string shown = sh(plain, kShowTree);
    EXPECT_EQ(sh(work, kShowTree), shown);

    // A file written through the mount is its container in the storage.
    Kernel_Side kernel;
    korva_sim::ordered_json root;
    ASSERT_NO_FATAL_FAILURE(vob_root(kernel, &root));
    korva_sim::ordered_json dir = kernel.call(
        {{"call", "lookup"}, {"dir", korva_sim_test::field_of(root, "fh")}, {"name", "work"}});
    ASSERT_TRUE(replied(dir));
    korva_sim::ordered_json file = kernel.call(
        {{"call", "lookup"}, {"dir", korva_sim_test::field_of(dir, "fh")}, {"name", "big"}});
    ASSERT_TRUE(replied(file));
    korva_sim::ordered_json contents =
        kernel.call({{"call", "getcleartext"}, {"fh", korva_sim_test::field_of(file, "fh")}, {"buf_len", 1024u}});
    ASSERT_TRUE(replied(contents));
    EXPECT_FALSE(contents["cache_path"]);
    EXPECT_EQ(read_file(storage(name) + "/" + contents["path"].get<std::string>()),
              read_file(plain + "/big"));
    EXPECT_EQ(300009u, file["attr"]["fstat"]["size"]) << "the daemon has the size the file was left with";

    // Space is the storage's; extended attributes are not kept.
    struct statvfs in_view, in_storage;
    ASSERT_EQ(0, ::statvfs(src().c_str(), &in_view));
    ASSERT_EQ(0, ::statvfs(storage(name).c_str(), &in_storage));
    EXPECT_EQ(in_view.f_blocks * in_view.f_frsize, in_storage.f_blocks * in_storage.f_frsize);
    char value[64];
    EXPECT_EQ(-1, ::getxattr((work + "/a2.txt").c_str(), "user.x", value, sizeof value));
    EXPECT_EQ(ENOTSUP, errno);

    // EndView unregisters the view: the mount goes and korva_fuse ends.
    end_view();
    EXPECT_EQ(mount->process().wait_exit(), std::optional<int>(0));
    EXPECT_FALSE(is_mount_point(mount->root()));

    // Both started again: everything is there as it was.
    start_view();
    start_mount();
    EXPECT_EQ(sh(src(), kListVob), "README\ndocs\nwork\nREADME 42 -rw-r--r--\ndocs 0 drwxr-xr-x\n");
    EXPECT_EQ(sh(work, kShowTree), shown);
    EXPECT_EQ(mount->stop(), std::optional<int>(0)) << "TERM ends it as well";
    EXPECT_FALSE(is_mount_point(mount->root()));
}

TEST_F(E2eFuse, WithTheDaemonGoneCallsFailAtOnceUntilItServesAgain) {
    // The kill makes the restarted daemon rebuild its database.
    setenv("NORVANE_SERVER_DIR", OSTREL_TEST_SERVER_DIR, 1);
    serve_and_mount();
    // Written, renamed and made just before the kill: each call was
    // answered, so each outlives the daemon (the first makes a directory in
    // a VOB directory the daemon has not listed yet: the server is asked
    // for its name). Two files are still open:
    // one is closed while the daemon is gone, the other once it is back.
    EXPECT_EQ(sh(src(), "mkdir docs/sub && printf 'kept\\n' > kept.txt && printf 'renamed\\n' > first.txt && "
                        "mv first.txt moved.txt && mkdir made && echo done"),
              "done\n");
    // The first look-up queued a listing of the root in the background;
    // a listing in the foreground waits for it. The restarted daemon is
    // offline: only what was stored before the kill can be shown (the
    // next test kills during that listing).
    EXPECT_EQ(sh(src(), "ls"), "README\ndocs\nkept.txt\nmade\nmoved.txt\n");
    auto open_written = [&](const char* name, const std::string& text) {
        int fd = ::open((src() + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        EXPECT_EQ(static_cast<ssize_t>(text.size()), ::write(fd, text.data(), text.size())) << name;
        return fd;
    };
    int closed_while_gone = open_written("gone.txt", "closed while gone\n");
    int held = open_written("held.txt", "held across\n");
    const char* const kShow = "find . | LC_ALL=C sort && cat kept.txt moved.txt gone.txt held.txt && "
                              "stat -c '%n %s' kept.txt moved.txt gone.txt held.txt";
    const std::string shown =
        ".\n./README\n./docs\n./docs/sub\n./gone.txt\n./held.txt\n./kept.txt\n./made\n./moved.txt\n"
        "kept\nrenamed\nclosed while gone\nheld across\n"
        "kept.txt 5\nmoved.txt 8\ngone.txt 18\nheld.txt 12\n";

    // Killed outright: the view stays registered, so the mount stays.
    ASSERT_TRUE(agent->signal_group(SIGKILL));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(-SIGKILL));
    // A call on a connection the kill ends fails with EIO (one may still be
    // made while the killed group's last descriptors close); once the loss
    // is seen, calls fail with ENOTCONN. None waits, none succeeds.
    struct stat st;
    int error = 0;
    EXPECT_TRUE(wait_until(
        [&] {
            const int result = ::stat((src() + "/never-looked-up").c_str(), &st);
            error = result == 0 ? 0 : errno;
            EXPECT_TRUE(error == ENOTCONN || error == EIO) << std::strerror(error);
            return error == ENOTCONN;
        },
        Millis(10000)));
    std::optional<int> status;
    sh(src(), "ls", &status);
    EXPECT_NE(status, std::optional<int>(0));
    EXPECT_TRUE(is_mount_point(mount->root()));
    // The daemon cannot be told the size: the close says so.
    EXPECT_EQ(-1, ::close(closed_while_gone));
    EXPECT_EQ(ENOTCONN, errno);

    // A restarted daemon serves the same mount (starting it flushed the
    // held file in vain: the daemon was not there yet).
    start_view();
    EXPECT_EQ(0, ::close(held));
    EXPECT_EQ(sh(src(), kShow), shown);
    EXPECT_FALSE(mount->process().exited());
    // The daemon learns the size of the file closed while it was gone.
    Kernel_Side kernel;
    korva_sim::ordered_json root;
    ASSERT_NO_FATAL_FAILURE(vob_root(kernel, &root));
    EXPECT_TRUE(wait_until(
        [&] {
            korva_sim::ordered_json file = kernel.call(
                {{"call", "lookup"}, {"dir", korva_sim_test::field_of(root, "fh")}, {"name", "gone.txt"}});
            return replied(file) && file["attr"]["fstat"]["size"] == 18u;
        },
        Millis(10000)));

    // A new mount keeps nothing: it shows what the daemon has.
    EXPECT_EQ(mount->stop(), std::optional<int>(0));
    start_mount();
    EXPECT_EQ(sh(src(), kShow), shown);
}

TEST_F(E2eFuse, AVobRootFetchedFromTheServerIsServedAgainAfterAKill) {
    setenv("NORVANE_SERVER_DIR", OSTREL_TEST_SERVER_DIR, 1);
    serve_and_mount();
    // The server's names, and the view's own files beside and below them.
    EXPECT_EQ(sh(src(), "printf 'mine\\n' > mine.txt && mkdir own && echo done"), "done\n");
    const char* const kShow = "ls -a && stat -c '%n %s %A' README docs mine.txt own && ls -a docs && cat mine.txt";
    const std::string shown =
        ".\n..\nREADME\ndocs\nmine.txt\nown\nREADME 42 -rw-r--r--\ndocs 0 drwxr-xr-x\nmine.txt 5 -rw-r--r--\n"
        "own 89 drwxr-xr-x\n.\n..\nmine\n";
    EXPECT_EQ(sh(src(), kShow), shown);

    // Killed outright, the daemon leaves its database to be rebuilt, which
    // numbers the loaded objects anew: the mount's old handles go stale
    // and are found again by name, never as other objects.
    ASSERT_TRUE(agent->signal_group(SIGKILL));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(-SIGKILL));
    start_view();
    EXPECT_NE(std::string::npos, log_text(name).find("Recovery succeeded for DB")) << log_text(name);
    // The same names, online and then offline, through the old mount and a
    // new one.
    EXPECT_EQ(sh(src(), kShow), shown) << log_text(name) << agent->stderr_text(Millis(0));
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage(name), "offline");
    ASSERT_TRUE(client);
    EXPECT_EQ(client->call(make_request("Disconnect", "d")).attrs["status-code"], "0");
    EXPECT_EQ(mount->stop(), std::optional<int>(0));
    start_mount();
    EXPECT_EQ(sh(src(), kShow), shown) << agent->stderr_text(Millis(0));
}

TEST_F(E2eFuse, AKillDuringTheRootsListingLeavesItToBeFetchedOnceOnline) {
    // The server holds its first listing of the root until the gate opens,
    // which it never does: the kill comes while the daemon waits for it.
    serve_and_mount(R"({"match": {"rpc": "Ostrel_Norvane::get_directory_contents_rpc", "args": {"VersionOid": ")" +
                    served_oid(11) + R"("}}, "times": 1, "fault": {"hold": {"after_parts": 0, "gate": "never"}},
                    "reply": {"directory": []}}, )" +
                    served_vob_rules(Vob()));
    // Looking "docs" up queues the root's listing in the background.
    EXPECT_EQ(sh(src(), "mkdir docs/sub && printf 'kept\\n' > kept.txt && echo done"), "done\n");
    auto root_listings = [&] {
        size_t n = 0;
        for (const fakeserver::Json& r : server().requests())
            for (const fakeserver::Json& arg : r["rpcargs"].items())
                n += r["rpc"].as_string() == "Ostrel_Norvane::get_directory_contents_rpc" &&
                     arg.size() == 2 && arg[size_t{0}].as_string() == "VersionOid" &&
                     arg[size_t{1}].as_string() == served_oid(11);
        return n;
    };
    ASSERT_TRUE(wait_until([&] { return root_listings() == 1; }, kStartTimeout));
    ASSERT_TRUE(agent->signal_group(SIGKILL));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(-SIGKILL));

    // Restarted offline from the rebuilt database: the names stored so far,
    // the server's README not among them, and the root not taken as listed.
    agent = start_with_request(storage(name), "<StartView version=\"1\">" + server_element("p", "false") +
                                                  "</StartView>");
    ASSERT_TRUE(agent->read_framed_reply().has_value()) << agent->stderr_text(Millis(0));
    ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe(name)); }, kStartTimeout));
    const char* const kList = "find . | LC_ALL=C sort";
    EXPECT_EQ(sh(src(), kList), ".\n./docs\n./docs/sub\n./kept.txt\n");
    EXPECT_NE(std::string::npos, log_text(name).find("Recovery succeeded for DB")) << log_text(name);

    // Online again, the root is fetched once: its names beside the view's,
    // through this mount and a new one.
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage(name), "connector");
    ASSERT_TRUE(client);
    EXPECT_EQ(client->call(make_request("Connect", "c", server_element())).attrs["status-code"], "0");
    const std::string listed = ".\n./README\n./docs\n./docs/sub\n./kept.txt\n";
    EXPECT_EQ(sh(src(), kList), listed);
    EXPECT_EQ(mount->stop(), std::optional<int>(0));
    start_mount();
    EXPECT_EQ(sh(src(), kList), listed);
    EXPECT_EQ(root_listings(), 2u);
}

TEST_F(E2eFuse, FileCallsFailAsTheInjectFileForcesThemOnce) {
    serve_and_mount();
    const std::string file = src() + "/f.txt";
    const std::string other = src() + "/g.txt";
    EXPECT_EQ(sh(src(), "printf 'x' > f.txt && printf 'y' > g.txt && echo done"), "done\n");
    const std::string inject = korva_root + "/inject";
    struct Row {
        const char* line;
        std::function<int()> call;
        int error;
    } rows[] = {
        {"fuse_write errno=28", [&] {
             int fd = ::open(file.c_str(), O_WRONLY | O_APPEND);
             int result = ::write(fd, "more", 4) == 4 ? 0 : errno;
             ::close(fd);
             return result;
         }, ENOSPC},
        {"fuse_setattr errno=1", [&] { return ::chmod(file.c_str(), 0600) == 0 ? 0 : errno; }, EPERM},
        {"fuse_rename errno=16", [&] { return ::rename(other.c_str(), (src() + "/h.txt").c_str()) == 0 ? 0 : errno; },
         EBUSY},
        {"fuse_unlink 1080", [&] { return ::unlink((src() + "/h.txt").c_str()) == 0 ? 0 : errno; }, EROFS},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        ASSERT_TRUE(write_file(inject, std::string(row.line) + "\n"));
        EXPECT_EQ(row.error, row.call());
        EXPECT_EQ(0, row.call()) << "the line was used up";
    }
    EXPECT_EQ(sh(src(), "ls -n f.txt | cut -d' ' -f1,5 && cat f.txt && ls"), "-rw------- 5\nxmoreREADME\ndocs\nf.txt\n");

    // A rename with flags is refused.
    EXPECT_EQ(-1, ::syscall(SYS_renameat2, AT_FDCWD, file.c_str(), AT_FDCWD, other.c_str(), RENAME_NOREPLACE));
    EXPECT_EQ(EINVAL, errno);
}

// The kernel asks for a directory's status again after each create in it;
// korva_fuse answers that from the create's own answer. After every other
// change in the directory (and after a create in another one) the status
// seen is the daemon's, never the one kept from an earlier create.
TEST_F(E2eFuse, ADirectorysStatusAfterEachChangeInItIsTheDaemons) {
    serve_and_mount();
    const std::string dir = src() + "/d";
    ASSERT_EQ(0, ::mkdir(dir.c_str(), 0755));
    Kernel_Side kernel;
    korva_sim::ordered_json root;
    ASSERT_NO_FATAL_FAILURE(vob_root(kernel, &root));
    korva_sim::ordered_json found =
        kernel.call({{"call", "lookup"}, {"dir", korva_sim_test::field_of(root, "fh")}, {"name", "d"}});
    ASSERT_TRUE(replied(found));
    const korva_sim::ordered_json fh = korva_sim_test::field_of(found, "fh");

    auto in = [&](const char* name) { return dir + "/" + name; };
    auto ok = [](int result) { return result == 0 ? 0 : errno; };
    auto create = [&](const std::string& path) {
        return [path] {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            return fd >= 0 && ::close(fd) == 0 ? 0 : errno;
        };
    };
    struct Step {
        const char* what;
        std::function<int()> call;
    };
    const Step steps[] = {
        {"create a", create(in("a"))},
        {"create b", create(in("b"))},
        {"unlink a", [&] { return ok(::unlink(in("a").c_str())); }},
        {"create a2", create(in("a2"))},
        {"mkdir s", [&] { return ok(::mkdir(in("s").c_str(), 0755)); }},
        {"create s/x (another directory)", create(in("s/x"))},
        {"create c", create(in("c"))},
        {"rename b to e", [&] { return ok(::rename(in("b").c_str(), in("e").c_str())); }},
        {"create f", create(in("f"))},
        {"link e to h", [&] { return ok(::link(in("e").c_str(), in("h").c_str())); }},
        {"create g", create(in("g"))},
        {"symlink l", [&] { return ok(::symlink("e", in("l").c_str())); }},
        {"create i", create(in("i"))},
        {"rename s/x to x", [&] { return ok(::rename(in("s/x").c_str(), in("x").c_str())); }},
        {"create j", create(in("j"))},
        {"rmdir s", [&] { return ok(::rmdir(in("s").c_str())); }},
        {"create k", create(in("k"))},
        {"chmod 700", [&] { return ok(::chmod(dir.c_str(), 0700)); }},
        {"create m", create(in("m"))},
        {"mknod n", [&] { return ok(::mknod(in("n").c_str(), S_IFREG | 0644, 0)); }},
        {"create o", create(in("o"))},
        {"utimes", [&] {
             const struct timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
             return ok(::utimensat(AT_FDCWD, dir.c_str(), times, 0));
         }},
    };
    for (const Step& step : steps) {
        ASSERT_EQ(0, step.call()) << step.what;
        struct stat st;
        ASSERT_EQ(0, ::stat(dir.c_str(), &st)) << step.what;
        const korva_sim::ordered_json daemon = kernel.call({{"call", "getattr"}, {"fh", fh}});
        ASSERT_TRUE(replied(daemon)) << step.what;
        const korva_sim::ordered_json& f = daemon["attr"]["fstat"];
        EXPECT_EQ(f["size"].get<uint64_t>(), static_cast<uint64_t>(st.st_size)) << step.what;
        EXPECT_EQ(f["nlink"].get<uint64_t>(), static_cast<uint64_t>(st.st_nlink)) << step.what;
        EXPECT_EQ(f["mode"].get<uint64_t>() & 07777, static_cast<uint64_t>(st.st_mode & 07777)) << step.what;
        EXPECT_EQ(f["mtime"][0].get<uint64_t>(), static_cast<uint64_t>(st.st_mtim.tv_sec)) << step.what;
        EXPECT_EQ(f["mtime"][1].get<uint64_t>(), static_cast<uint64_t>(st.st_mtim.tv_nsec / 1000)) << step.what;
    }

    // Creates racing in one directory: the answers come back in any order,
    // and the status seen once they are done is still the daemon's.
    constexpr int kThreads = 4, kEach = 100;
    for (int round = 0; round < 5; ++round) {
        std::vector<std::thread> threads;
        std::vector<int> failed(kThreads, 0);
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kEach; ++i)
                    failed[t] += create(in(("r" + std::to_string(round) + "-" + std::to_string(t) + "-" +
                                            std::to_string(i)).c_str()))() != 0;
            });
        }
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(std::vector<int>(kThreads, 0), failed);
        struct stat st;
        ASSERT_EQ(0, ::stat(dir.c_str(), &st));
        const korva_sim::ordered_json daemon = kernel.call({{"call", "getattr"}, {"fh", fh}});
        ASSERT_TRUE(replied(daemon));
        const korva_sim::ordered_json& f = daemon["attr"]["fstat"];
        EXPECT_EQ(f["size"].get<uint64_t>(), static_cast<uint64_t>(st.st_size)) << "round " << round;
        EXPECT_EQ(f["mtime"][0].get<uint64_t>(), static_cast<uint64_t>(st.st_mtim.tv_sec)) << "round " << round;
        EXPECT_EQ(f["mtime"][1].get<uint64_t>(), static_cast<uint64_t>(st.st_mtim.tv_nsec / 1000))
            << "round " << round;
    }
}

// A directory made through the mount is known empty: a look-up there of a
// name nothing made is answered without the daemon. Every name made in it
// through the mount, whichever call made it, is found by a look-up of its
// own (the kernel's names dropped, the directory held), also once the
// daemon was killed and started again.
TEST_F(E2eFuse, NamesMadeInADirectoryMadeThroughTheMountAreFoundByTheirLookUps) {
    serve_and_mount();
    const std::string dir = src() + "/made";
    const std::string other = src() + "/other";
    ASSERT_EQ(0, ::mkdir(dir.c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(other.c_str(), 0755));
    // Held, so that the kernel keeps the directory when it drops names.
    const int held = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_LE(0, held);
    auto in = [&](const char* name) { return dir + "/" + name; };
    auto make_file = [](const std::string& path) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        return fd >= 0 && ::close(fd) == 0;
    };
    struct stat st;
    EXPECT_EQ(-1, ::stat(in("nothing").c_str(), &st));
    EXPECT_EQ(ENOENT, errno);
    ASSERT_TRUE(make_file(in("created")));
    ASSERT_EQ(0, ::mkdir(in("sub").c_str(), 0755));
    ASSERT_EQ(0, ::symlink("created", in("symlink").c_str()));
    ASSERT_EQ(0, ::link(in("created").c_str(), in("linked").c_str()));
    ASSERT_TRUE(make_file(other + "/moved"));
    ASSERT_EQ(0, ::rename((other + "/moved").c_str(), in("renamed").c_str()));
    ASSERT_EQ(0, ::mknod(in("mknod").c_str(), S_IFREG | 0644, 0));
    ASSERT_TRUE(make_file(in("sub/deeper")));
    const char* const names[] = {"created", "sub", "symlink", "linked", "renamed", "mknod", "sub/deeper"};
    auto all_found = [&](const char* when) {
        // Dropped names are looked up again (the kernel may not drop them
        // for this process: then they are found as they are).
        const int fd = ::open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            EXPECT_EQ(1, ::write(fd, "2", 1));
            ::close(fd);
        }
        for (const char* name : names) EXPECT_EQ(0, ::lstat(in(name).c_str(), &st)) << name << " " << when;
        EXPECT_EQ(-1, ::stat(in("nothing").c_str(), &st)) << when;
        EXPECT_EQ(sh(dir, "ls"), "created\nlinked\nmknod\nrenamed\nsub\nsymlink\n") << when;
    };
    all_found("at once");
    ASSERT_TRUE(agent->signal_group(SIGKILL));
    ASSERT_EQ(agent->wait_exit(), std::optional<int>(-SIGKILL));
    ASSERT_NO_FATAL_FAILURE(start_view());
    EXPECT_TRUE(wait_until([&] { return ::stat(in("created").c_str(), &st) == 0; }, kStartTimeout));
    all_found("after a restart");
    ::close(held);
}

} // namespace
} // namespace e2e
