// korva_fuse against a daemon this test plays: the test registers the view
// (its message channel lives in this process) with a VOB whose names it
// scripts, and serves the channel from threads that answer as the daemon
// would. So the test can hold a request, close the channel while the view
// stays registered (the daemon gone), and send the notices that the daemon
// sends when its namespace changes.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/fuse_mount.h"
#include "lib/thread_test_support.h"
#include "platform/korva/korva_channel.h"
#include "platform/korva/korva_control.h"
#include "platform/korva/korva_frontend.h"
#include "platform/korva/korva_message.h"
#include "xdr/ostrelxdr_codec.h"

namespace {

using Clock = std::chrono::steady_clock;
using thread_test::Background;
using thread_test::Gate;

constexpr const char* kTag = "fusetest";
constexpr const char* kViewUuid = "7e000000-0000-4000-8000-000000000001";
constexpr const char* kReplica = "7a000000-0000-4000-8000-000000000001";
constexpr const char* kFamily = "7f000000-0000-4000-8000-000000000001";
constexpr uint32_t kRootDbid = 1;
// The kernel keeps names and attributes, also names found missing, for ten
// minutes: a change seen within that time was brought by a notice, however
// slowly a loaded machine runs the test.
constexpr const char* kCached = "600";
constexpr auto kWithinCache = std::chrono::minutes(10);

qel_oid_s oidOf(uint32_t dbid) {
  qel_oid_s oid{};
  oid.bytes[0] = 0x0a;
  std::memcpy(oid.bytes + 12, &dbid, sizeof dbid);
  return oid;
}

// The scripted VOB: a root directory and the files in it.
struct File {
  uint32_t dbid;
  uint64_t size;
};

class FakeDaemon {
 public:
  FakeDaemon() { qel_str_to_uuid(kReplica, &vob_); }
  ~FakeDaemon() { stop(); }

  // Serves `channel` with `threads` threads until it closes (stop() waits
  // for that).
  void serve(std::shared_ptr<korva::Channel> channel, int threads) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this, channel] { loop(*channel); });
  }
  void stop() {
    held_.open();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

  void put(const std::string& name, File file) {
    std::lock_guard<std::mutex> lock(mu_);
    files_[name] = file;
  }
  void erase(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    files_.erase(name);
  }
  const qel_uuid_s& vob() const { return vob_; }
  // Where the containers of files made in the view go.
  void storeIn(const std::string& storage) {
    std::lock_guard<std::mutex> lock(mu_);
    storage_ = storage;
  }

  // A look-up of "slow" is answered as the name stood when it came, once
  // release() lets the answer go; arrived() tells it came.
  Gate& arrived() { return arrived_; }
  void release() { held_.open(); }

 private:
  void loop(korva::Channel& channel) {
    std::vector<unsigned char> buffer(korva::kMessageSize, 0);
    for (;;) {
      int error = 0;
      int status = channel.exchange(buffer.data(), buffer.size(), &error);
      if (error == EINTR) continue;
      if (status != 0 || error != 0) return;
      korva::RequestHeader request = korva::readRequestHeader(buffer.data());
      size_t length = 0;
      answer(request.op, buffer.data() + korva::kHeaderSize, request.req_size, &length);
      korva::ReplyHeader reply;
      reply.res_out_size = length;
      reply.request_id = request.request_id;
      korva::writeReplyHeader(buffer.data(), reply);
    }
  }

  view_vstat_t attrOf(uint32_t dbid, uint32_t type, uint64_t size) const {
    view_vstat_t attr{};
    attr.fstat.type = type;
    attr.fstat.mode = type == QEL_FTYPE_DIR ? 0755 : 0644;
    attr.fstat.nlink = 1;
    attr.fstat.size = size;
    attr.obj_oid = oidOf(dbid);
    return attr;
  }
  view_fhandle_t handleOf(uint32_t dbid) const {
    view_fhandle_t fh{};
    fh.vob_uuid = vob_;
    fh.dbid = static_cast<qel_dbid_t>(dbid);
    fh.stamp = 1;
    return fh;
  }

  // Decodes the request in `body`, answers into the same bytes.
  void answer(uint64_t op, unsigned char* body, size_t size, size_t* length) {
    std::lock_guard<std::mutex> busy(answering_);
    auto reply = [&](auto& record, auto proc) { ostrelxdr_encode_body(proc, &record, body, korva::kBodyMax, length); };
    if (op == 105) {
      view_getattr_reply_t r{};
      r.fh = handleOf(kRootDbid);
      r.attr = attrOf(kRootDbid, QEL_FTYPE_DIR, 0);
      reply(r, xdr_view_getattr_reply_t);
    } else if (op == 107) {
      view_lookup_req_t q{};
      ostrelxdr_decode_body(xdr_view_lookup_req_t, body, size, &q);
      std::string name = q.name != nullptr ? q.name : "";
      ostrelxdr_free(xdr_view_lookup_req_t, &q);
      view_lookup_reply_t r{};
      {
        std::lock_guard<std::mutex> lock(mu_);
        auto file = files_.find(name);
        if (file == files_.end()) {
          r.hdr.status = QEL_ST_NO_ENTRY;
        } else {
          r.fh = handleOf(file->second.dbid);
          r.attr = attrOf(file->second.dbid, QEL_FTYPE_REG, file->second.size);
        }
      }
      if (name == "slow") {
        arrived_.open();
        held_.wait();
      }
      reply(r, xdr_view_lookup_reply_t);
    } else if (op == 108) {
      view_getattr_req_t q{};
      ostrelxdr_decode_body(xdr_view_getattr_req_t, body, size, &q);
      view_getattr_reply_t r{};
      r.fh = q.fh;
      r.hdr.status = QEL_ST_STALE;
      std::lock_guard<std::mutex> lock(mu_);
      if (static_cast<uint32_t>(q.fh.dbid) == kRootDbid) {
        r.attr = attrOf(kRootDbid, QEL_FTYPE_DIR, 0);
        r.hdr.status = 0;
      }
      for (const auto& file : files_) {
        if (file.second.dbid != static_cast<uint32_t>(q.fh.dbid)) continue;
        r.attr = attrOf(file.second.dbid, QEL_FTYPE_REG, file.second.size);
        r.hdr.status = 0;
      }
      reply(r, xdr_view_getattr_reply_t);
    } else if (op == 10) {
      view_readdir_req_t q{};
      ostrelxdr_decode_body(xdr_view_readdir_req_t, body, size, &q);
      std::vector<char> entries(4096);
      view_readdir_reply_t r{};
      r.eof = 1;
      r.room = static_cast<u_int>(entries.size());
      r.entries = entries.data();
      if (q.offset == 0) {
        std::lock_guard<std::mutex> lock(mu_);
        uint32_t next = 0;
        auto add = [&](const std::string& name, uint32_t ino) {
          view_dirent head{ino, ++next, 0, static_cast<uint16_t>(name.size())};
          r.nbytes += view_dirent_write(r.entries + r.nbytes, &head, name.c_str());
        };
        add(".", kRootDbid);
        add("..", kRootDbid);
        for (const auto& file : files_) add(file.first, file.second.dbid);
      }
      reply(r, xdr_view_readdir_reply_t);
    } else if (op == 110) {
      // A view-private file, its container made in the storage.
      view_create_req_t q{};
      ostrelxdr_decode_body(xdr_view_create_req_t, body, size, &q);
      const std::string name = q.where.name != nullptr ? q.where.name : "";
      ostrelxdr_free(xdr_view_create_req_t, &q);
      std::lock_guard<std::mutex> lock(mu_);
      const uint32_t dbid = 0x80000000u | static_cast<uint32_t>(files_.size() + 100);
      std::string container = "private." + std::to_string(dbid);
      view_create_reply_t r{};
      const int fd = ::open((storage_ + "/" + container).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      if (storage_.empty() || fd < 0) {
        r.hdr.status = QEL_ST_INTERNAL;
      } else {
        ::close(fd);
        files_[name] = File{dbid, 0};
        r.fh = handleOf(dbid);
        r.attr = attrOf(dbid, QEL_FTYPE_REG, 0);
        r.cont_path = &container[0];
      }
      reply(r, xdr_view_create_reply_t);
    } else {
      view_null_reply_t r{};
      r.hdr.status = QEL_ST_NOT_SUPPORTED;
      reply(r, xdr_view_null_reply_t);
    }
  }

  qel_uuid_s vob_{};
  std::mutex mu_;
  std::map<std::string, File> files_;
  std::string storage_;
  std::mutex answering_;  // the fake serialises its answers as the daemon's namespace does
  Gate arrived_;
  Gate held_;
  std::vector<std::thread> threads_;
};

class KorvaFuseTest : public testing::Test {
 protected:
  void SetUp() override {
    int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "FUSE cannot mount here: /dev/fuse: " << std::strerror(errno);
    ::close(fd);
    ASSERT_FALSE(tree.path().empty());
    root = tree / "korva";
    control.reset(new korva::Control(korva::Root(root)));
    ASSERT_EQ(0, registerView().status);
    korva::VobEntry vob;
    vob.vob_tag = "/v";
    vob.replica_uuid = kReplica;
    vob.family_oid = kFamily;
    ASSERT_EQ(0, control->mountVob(kTag, vob).status);
    daemon.serve(channel(), 3);
    mount.reset(new e2e::Fuse_Mount(KORVA_FUSE, root, kTag, {{"KORVA_ROOT", root}},
                                    {"--kept", kCached, "--missing", kCached}));
    ASSERT_TRUE(mount->wait_mounted()) << mount->process().stderr_text(e2e::Millis(0));
    daemon.put("a", File{2, 5});
  }
  void TearDown() override {
    mount.reset();
    // The channel closes with the registration; the daemon's threads end.
    if (control) control->unregisterView(kTag, &channels);
    daemon.stop();
  }

  korva::Outcome registerView() {
    korva::ViewEntry view;
    view.tag = kTag;
    view.uuid = kViewUuid;
    view.storage_user = view.storage_kernel = tree / "storage";
    ::mkdir(view.storage_user.c_str(), 0700);
    return control->registerView(view, &channels);
  }
  std::shared_ptr<korva::Channel> channel() {
    return channels.find(korva::ChannelTable::key(korva::Root(root), kTag));
  }
  std::string path(const std::string& name) const { return mount->root() + "/v/" + name; }
  // The size of `name`, or -errno.
  long long sizeOf(const std::string& name) const {
    struct stat st;
    return ::stat(path(name).c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -errno;
  }
  std::vector<std::string> listing() const { return e2e::list_dir(mount->root() + "/v"); }
  // The error of reading the VOB's directory (0 when it reads).
  int listingError() const {
    DIR* dir = ::opendir((mount->root() + "/v").c_str());
    if (dir == nullptr) return errno;
    errno = 0;
    while (::readdir(dir) != nullptr) {
    }
    int error = errno;
    ::closedir(dir);
    return error;
  }

  e2e::TempTree tree;
  std::string root;
  std::unique_ptr<korva::Control> control;
  korva::ChannelTable channels;
  FakeDaemon daemon;
  std::unique_ptr<e2e::Fuse_Mount> mount;
};


TEST_F(KorvaFuseTest, TheDaemonsNoticesDropWhatTheKernelKeeps) {
  const std::string view_root_dir = mount->root();
  struct Row {
    const char* what;
    std::function<void()> change;
    std::function<korva::Outcome()> notice;
    std::function<bool()> seen;
  } rows[] = {
      {"an object's new size",
       [&] { daemon.put("a", File{2, 9}); },
       [&] { return control->invalidateObject(view_root_dir, daemon.vob(), oidOf(2), 2, 0, &channels); },
       [&] { return sizeOf("a") == 9; }},
      {"a name removed",
       [&] { daemon.erase("a"); },
       [&] { return control->invalidateName(view_root_dir, daemon.vob(), oidOf(kRootDbid), "a", &channels); },
       [&] { return sizeOf("a") == -ENOENT && listing().empty(); }},
      {"a name made, once known to be missing",
       [&] { daemon.put("a", File{3, 7}); },
       [&] { return control->invalidateView(view_root_dir, &channels); },
       [&] { return sizeOf("a") == 7 && listing() == std::vector<std::string>{"a"}; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const long long before = sizeOf("a");  // now in the kernel's caches
    const Clock::time_point cached = Clock::now();
    row.change();
    EXPECT_EQ(before, sizeOf("a")) << "kept by the kernel";
    ASSERT_EQ(0, row.notice().status);
    EXPECT_TRUE(thread_test::eventually(row.seen, std::chrono::seconds(5)));
    EXPECT_LT(Clock::now() - cached, kWithinCache) << "seen only once the kernel's time had passed";
  }
}

// A look-up's answer made before a change, and sent after the notice of
// that change (which korva_fuse applies on a thread of its own, maybe
// first): the kernel does not keep it, and finds the change at once.
TEST_F(KorvaFuseTest, AnAnswerThatANoticeOvertookIsNotKept) {
  long long answered = 0;
  Background call([&] { answered = sizeOf("slow"); });
  ASSERT_TRUE(daemon.arrived().wait());
  daemon.put("slow", File{4, 3});
  ASSERT_EQ(0, control->invalidateName(mount->root(), daemon.vob(), oidOf(kRootDbid), "slow", &channels).status);
  daemon.release();
  ASSERT_TRUE(call.finished());
  EXPECT_EQ(-ENOENT, answered);
  EXPECT_EQ(3, sizeOf("slow"));
}

TEST_F(KorvaFuseTest, WhenTheDaemonGoesCallsInFlightFailWithEioAndNewOnesWithEnotconnUntilItIsBack) {
  ASSERT_EQ(5, sizeOf("a"));
  long long held = 0;
  Background call([&] { held = sizeOf("slow"); });
  ASSERT_TRUE(daemon.arrived().wait());

  // The channel closes with the view still registered.
  channels.close(korva::ChannelTable::key(korva::Root(root), kTag));
  ASSERT_TRUE(call.finished());
  EXPECT_EQ(-EIO, held);
  daemon.stop();
  EXPECT_EQ(-ENOTCONN, sizeOf("other"));
  EXPECT_EQ(ENOTCONN, listingError());
  // Changed while no notice could reach korva_fuse.
  daemon.put("a", File{2, 8});
  // Kept by the kernel, or dropped already: korva_fuse's watcher may have
  // reached the closing channel once, and a connection after the first
  // drops the whole view. Never the new size before the daemon is back.
  const long long meanwhile = sizeOf("a");
  EXPECT_TRUE(meanwhile == 5 || meanwhile == -ENOTCONN) << meanwhile;

  // The daemon back: korva_fuse connects again and drops what the kernel
  // kept, without waiting for a call.
  ASSERT_EQ(0, registerView().status);
  daemon.serve(channel(), 2);
  EXPECT_TRUE(thread_test::eventually([&] { return sizeOf("a") == 8; }, std::chrono::seconds(5)));
  EXPECT_EQ(-ENOENT, sizeOf("other"));
  EXPECT_EQ(listing(), std::vector<std::string>{"a"});
  EXPECT_FALSE(mount->process().exited());

  // Unregistered: the mount goes and korva_fuse ends with 0.
  ASSERT_EQ(0, control->unregisterView(kTag, &channels).status);
  EXPECT_EQ(mount->process().wait_exit(), std::optional<int>(0));
  EXPECT_FALSE(e2e::is_mount_point(mount->root()));
}

// A file closed while the daemon was gone keeps its size to tell; the daemon
// back takes korva_fuse's call to tell it (made by the thread that applies
// notices) and never answers. A stop waits for that call only for a grace,
// then ends korva_fuse all the same.
TEST_F(KorvaFuseTest, AStopEndsWhenTheDaemonIsAliveButSilent) {
  daemon.storeIn(tree / "storage");
  const int fd = ::open(path("made").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_LE(0, fd) << std::strerror(errno);
  EXPECT_EQ(4, ::write(fd, "made", 4));
  channels.close(korva::ChannelTable::key(korva::Root(root), kTag));
  daemon.stop();
  // Its size could not be told: korva_fuse keeps the file to tell it later,
  // once the kernel's release of it came (the VOB is no longer in use then).
  EXPECT_NE(0, ::close(fd));
  EXPECT_TRUE(thread_test::eventually(
      [&] { return korva::askVobUse(korva::Root(root), kTag, "/v") == korva::VobUse::kNotInUse; },
      std::chrono::minutes(1)));

  // The daemon back: the first request it takes stays unanswered, and it
  // reads no other.
  ASSERT_EQ(0, registerView().status);
  std::shared_ptr<korva::Channel> silent = channel();
  ASSERT_TRUE(silent);
  Gate taken;
  std::atomic<bool> request{false};
  std::thread taker([&] {
    std::vector<unsigned char> buffer(korva::kMessageSize, 0);
    int error = 0;
    int status = 0;
    do {
      status = silent->exchange(buffer.data(), buffer.size(), &error);
    } while (status == 0 && error == EINTR);
    request = status == 0 && error == 0;
    taken.open();
  });
  EXPECT_TRUE(taken.wait(std::chrono::minutes(1)) && request.load()) << "korva_fuse never called the daemon back";

  // The stop's grace is 10 s: ended well within two minutes.
  ASSERT_TRUE(mount->process().signal(SIGTERM));
  EXPECT_EQ(std::optional<int>(0), mount->process().wait_exit(e2e::Millis(120000)))
      << mount->process().stderr_text(e2e::Millis(0));
  EXPECT_FALSE(e2e::is_mount_point(mount->root()));
  // Ends the taker's wait, when no request came.
  EXPECT_EQ(0, control->unregisterView(kTag, &channels).status);
  taker.join();
}

// A daemon killed while one of its own threads waits in a file call on the
// view cannot end until that call is answered, and korva_fuse waits for the
// daemon to answer it: korva_fuse sees the daemon ending and fails what
// waits for it, so that the daemon ends; later calls fail at once.
TEST_F(KorvaFuseTest, ADaemonKilledInsideAFileCallOfItsOwnEndsAndLaterCallsFailAtOnce) {
  ASSERT_EQ(5, sizeOf("a"));
  // The daemon that serves the view from now on is another process.
  channels.close(korva::ChannelTable::key(korva::Root(root), kTag));
  daemon.stop();
  int ready[2];
  ASSERT_EQ(0, ::pipe2(ready, O_CLOEXEC));
  const std::string slow = path("slow");
  const std::string socket_path = root + "/views/" + kTag + "/lpc";
  const pid_t child = ::fork();
  ASSERT_LE(0, child);
  if (child == 0) {
    // Serves the channel; a thread of its own looks "slow" up through the
    // mount, which the daemon never answers.
    int error = 0;
    std::shared_ptr<korva::Channel> own = korva::Channel::open(socket_path, &error);
    if (!own) ::_exit(1);
    FakeDaemon served;
    served.serve(own, 2);
    std::thread told([&] {
      if (served.arrived().wait(std::chrono::minutes(1)) && ::write(ready[1], "x", 1) == 1) return;
      ::_exit(2);
    });
    struct stat st;
    ::stat(slow.c_str(), &st);
    ::_exit(3);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(1, ::read(ready[0], &byte, 1)) << "the look-up never reached the daemon";
  ::close(ready[0]);
  ASSERT_EQ(0, ::kill(child, SIGKILL));
  int status = 0;
  const bool ended = thread_test::eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; },
                                             std::chrono::seconds(30));
  EXPECT_TRUE(ended) << "the killed daemon never ended";
  if (ended) {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  }
  // Its socket is still there, nobody behind it.
  const Clock::time_point asked = Clock::now();
  EXPECT_EQ(-ENOTCONN, sizeOf("other"));
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(10)) << "a call waited for a daemon that is not there";
  if (!ended) {
    // Ends the call the child waits in, and the child with it.
    mount.reset();
    ::waitpid(child, &status, 0);
  }
}

}  // namespace
