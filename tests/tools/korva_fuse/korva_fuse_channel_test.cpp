// korva_fuse's channel against a daemon played here: one thread at a time
// reads the connection (a call waiting for its reply, or the reader thread
// while no call is made), so every reply must still reach its own caller
// whichever thread reads it, a notice read before a reply must be counted
// before that reply's caller goes on, a notice must come while no call is
// made, and the end of the connection must fail every waiting call at once.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/korva/korva_message.h"
#include "tools/korva_fuse/korva_fuse_channel.h"
#include "xdr/ostrelxdr_codec.h"
#include "xdr/ostrelxdr_view.h"

namespace {

using korva_fuse::Caller;
using korva_fuse::Channel;

constexpr uint64_t kGetattr = 108;
// Every wait for an event is bounded by this: a hang fails, a slow machine passes.
constexpr std::chrono::seconds kDeadline(60);

// A listening socket in a directory of its own, and the daemon's end of the
// one connection the channel makes to it.
class FakeDaemon {
 public:
  FakeDaemon() {
    char templ[] = "/tmp/korva_fuse_channel_XXXXXX";
    if (::mkdtemp(templ) == nullptr) std::abort();
    dir_ = templ;
    path_ = dir_ + "/socket";
    listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0) {
      std::abort();
    }
  }
  ~FakeDaemon() {
    if (server_ >= 0) ::close(server_);
    ::close(listener_);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  const std::string& path() const { return path_; }

  bool accept() {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kDeadline).count())) != 1) return false;
    server_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return server_ >= 0;
  }

  // The next request: its id and the handle it asks about; false when
  // none came in time or the connection ended.
  bool request(uint32_t* id, uint32_t* dbid, int timeout_ms) {
    pollfd p{server_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return false;
    unsigned char packet[korva::kMessageSize];
    ssize_t length = ::recv(server_, packet, sizeof packet, 0);
    if (length < static_cast<ssize_t>(korva::kHeaderSize)) return false;
    korva::RequestHeader header = korva::readRequestHeader(packet);
    view_getattr_req_t req{};
    if (!ostrelxdr_decode_body(xdr_view_getattr_req_t, packet + korva::kHeaderSize, header.req_size, &req))
      return false;
    *id = header.request_id;
    *dbid = req.fh.dbid;
    return true;
  }

  // Answers request `id` with the handle `dbid` (echoed back).
  void reply(uint32_t id, uint32_t dbid) {
    view_getattr_reply_t rep{};
    rep.fh.dbid = dbid;
    unsigned char packet[korva::kMessageSize];
    size_t length = 0;
    if (!ostrelxdr_encode_body(xdr_view_getattr_reply_t, &rep, packet + korva::kHeaderSize, korva::kBodyMax,
                               &length)) {
      std::abort();
    }
    korva::ReplyHeader header;
    header.res_out_size = length;
    header.request_id = id;
    korva::writeReplyHeader(packet, header);
    send(packet, korva::kHeaderSize + length);
  }

  void notice() {
    korva::Notice notice;
    notice.kind = korva::kNoticeName;
    notice.name = "changed";
    std::vector<unsigned char> packet = korva::makeNoticePacket(notice);
    send(packet.data(), packet.size());
  }

  void hangUp() {
    ::close(server_);
    server_ = -1;
  }

 private:
  void send(const unsigned char* packet, size_t length) {
    if (::send(server_, packet, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) std::abort();
  }

  std::string dir_;
  std::string path_;
  int listener_ = -1;
  int server_ = -1;
};

// One Getattr of handle `dbid`: 0 and the handle the reply carries, or the error.
int getattr(Channel& channel, uint32_t dbid, uint32_t* answered) {
  view_getattr_req_t req{};
  req.fh.dbid = dbid;
  view_getattr_reply_t rep{};
  int error = channel.call(kGetattr, &req, xdr_view_getattr_req_t, &rep, xdr_view_getattr_reply_t);
  *answered = rep.fh.dbid;
  ostrelxdr_free(xdr_view_getattr_reply_t, &rep);
  return error;
}

// Calls of many threads, answered in an order unlike the one they were
// sent in (the latest first, in batches of whatever has come), each reply
// after a notice: every call gets its own reply whichever thread reads it.
TEST(ChannelReaders, EveryReplyReachesItsOwnCallerInAnyOrder) {
  FakeDaemon daemon;
  std::atomic<int> notices{0};
  Channel channel(daemon.path(), qel_uuid_s{}, [&](const korva::Notice&) { ++notices; }, nullptr);
  ASSERT_EQ(0, channel.connect());
  ASSERT_TRUE(daemon.accept());

  constexpr int kThreads = 8, kCalls = 150;
  std::atomic<int> wrong{0}, failed{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      Channel::callFor(Caller{});
      for (int i = 0; i < kCalls; ++i) {
        const uint32_t dbid = static_cast<uint32_t>(t * 100000 + i + 1);
        uint32_t answered = 0;
        if (getattr(channel, dbid, &answered) != 0) {
          ++failed;
        } else if (answered != dbid) {
          ++wrong;
        }
      }
    });
  }
  int answered = 0;
  std::vector<std::pair<uint32_t, uint32_t>> pending;
  while (answered < kThreads * kCalls) {
    uint32_t id, dbid;
    // The first request of a batch is awaited, the rest taken while they are there.
    if (daemon.request(&id, &dbid, pending.empty() ? static_cast<int>(std::chrono::milliseconds(kDeadline).count())
                                                     : 0)) {
      pending.emplace_back(id, dbid);
      continue;
    }
    ASSERT_FALSE(pending.empty()) << "no request came";
    std::reverse(pending.begin(), pending.end());
    for (const auto& request : pending) {
      daemon.notice();
      daemon.reply(request.first, request.second);
      ++answered;
    }
    pending.clear();
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(0, failed.load());
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(kThreads * kCalls, notices.load());
}

// A notice sent before a reply is counted and told before that reply's
// caller goes on, whether the caller or the reader thread read them; and
// one sent while no call is made comes all the same.
TEST(ChannelReaders, NoticesComeInOrderAndWhileNoCallIsMade) {
  FakeDaemon daemon;
  std::mutex mu;
  int told = 0;
  Channel channel(daemon.path(), qel_uuid_s{}, [&](const korva::Notice& notice) {
    std::lock_guard<std::mutex> lock(mu);
    if (notice.name == "changed") ++told;
  }, nullptr);
  ASSERT_EQ(0, channel.connect());
  ASSERT_TRUE(daemon.accept());
  std::atomic<bool> done{false};
  std::thread served([&] {
    uint32_t id, dbid;
    while (daemon.request(&id, &dbid, static_cast<int>(std::chrono::milliseconds(kDeadline).count()))) {
      daemon.notice();
      daemon.notice();
      daemon.reply(id, dbid);
    }
    done = true;
  });
  Channel::callFor(Caller{});
  for (int i = 1; i <= 50; ++i) {
    // Now and then a pause, so that the reader thread reads some of them.
    if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const uint64_t seen = channel.noticesSeen();
    uint32_t answered = 0;
    ASSERT_EQ(0, getattr(channel, static_cast<uint32_t>(i), &answered));
    EXPECT_EQ(static_cast<uint32_t>(i), answered);
    EXPECT_GE(channel.noticesSeen(), seen + 2) << "call " << i;
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(2 * i, told) << "call " << i;
  }
  // No call is made now.
  daemon.notice();
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (told == 101) break;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the notice never came";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // The daemon's end of the connection ends too: its thread stops.
  channel.shutdown();
  served.join();
  EXPECT_TRUE(done.load());
}

// The daemon's end fails every call waiting for its reply with EIO at once
// (one of them may be reading the connection, the others waiting for it),
// and is told once.
TEST(ChannelReaders, TheDaemonsEndFailsEveryWaitingCall) {
  FakeDaemon daemon;
  std::atomic<int> lost{0};
  Channel channel(daemon.path(), qel_uuid_s{}, nullptr, [&] { ++lost; });
  ASSERT_EQ(0, channel.connect());
  ASSERT_TRUE(daemon.accept());
  constexpr int kThreads = 6;
  std::vector<int> errors(kThreads, -1);
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      Channel::callFor(Caller{});
      uint32_t answered = 0;
      errors[t] = getattr(channel, static_cast<uint32_t>(t + 1), &answered);
    });
  }
  // Every request is in before the daemon goes: each caller waits.
  for (int t = 0; t < kThreads; ++t) {
    uint32_t id, dbid;
    ASSERT_TRUE(daemon.request(&id, &dbid, static_cast<int>(std::chrono::milliseconds(kDeadline).count())));
  }
  const auto hung_up = std::chrono::steady_clock::now();
  daemon.hangUp();
  for (std::thread& caller : callers) caller.join();
  // Not a wait for a time-out: far below the channel's own checks.
  EXPECT_LT(std::chrono::steady_clock::now() - hung_up, kDeadline);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(EIO, errors[t]) << "caller " << t;
  EXPECT_EQ(1, lost.load());
}

}  // namespace
