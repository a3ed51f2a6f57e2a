#pragma once
// korva_fuse's connection to a view's message channel, as a kernel holds
// one: every FUSE thread sends its requests on the same connection and waits
// for its own reply, so requests of many threads are in flight at once; one
// reader thread takes replies and notices off the connection.
//
// Each request travels with the credentials of the process it is made for
// (the caller of the file-system call, set per thread), as a kernel passes
// them beside its requests; korva_fuse's own requests carry its own. A
// request whose caller cannot be named (gone, or korva_fuse may not name
// it) is refused with EACCES, never sent as korva_fuse's.
//
// When the daemon goes (the connection ends), the calls in flight fail with
// EIO. A later call tries to connect once (a restarted daemon serves it),
// else fails with ENOTCONN; nothing waits for a daemon that is not there.
// A daemon killed while one of its own threads waits in a file call on the
// view keeps its connection open until that call is answered, which may be
// waiting for the daemon itself: a daemon ending counts as gone, so that
// the calls waiting for it fail and it can end.

#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/korva/korva_message.h"
#include "xdr/ostrelxdr_codec.h"

namespace korva_fuse {

// The errno value of a base status (0 for 0).
int errnoOf(int status);

// What a request pinned to a connection (Channel::Pinned) fails with when
// another connection would carry it: it was not sent.
constexpr int kOtherConnection = ECONNRESET;

// Sends `length` bytes of `packet` on `fd` with the credentials of this
// thread's caller (Channel::callFor), or korva_fuse's own for its own
// requests: what send() returns; errno EACCES when the caller cannot be
// named, and then nothing was sent.
ssize_t sendAs(int fd, const unsigned char* packet, size_t length);

// The process a file-system call is made for: its id and its file-system
// user and group ids.
struct Caller {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

class Channel {
 public:
  // The requests this thread sends from now on are made for `caller`
  // (pid 0: for korva_fuse itself).
  static void callFor(const Caller& caller);
  static Caller caller();

  // While one lives, the requests this thread sends go only on connection
  // `connection` (as connections() numbers them; 0: on any), else fail
  // with kOtherConnection unsent. A daemon started again may have rebuilt
  // its database and given a handle to another object: a handle goes only
  // on the connection it was had or checked on.
  class Pinned {
   public:
    explicit Pinned(uint64_t connection);
    ~Pinned();
    Pinned(const Pinned&) = delete;
    Pinned& operator=(const Pinned&) = delete;

   private:
    const uint64_t previous_;
  };

  using NoticeSink = std::function<void(const korva::Notice&)>;

  // A channel at `socket_path` of the view `view_uuid`. Notices go to
  // `notices` and the end of a connection is told to `lost`, both on the
  // reader thread.
  Channel(std::string socket_path, const qel_uuid_s& view_uuid, NoticeSink notices, std::function<void()> lost);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // How many notices have come so far (a new connection counts as one). An
  // answer awaited while this grew may be older than a change a notice told
  // of: the kernel applies that notice whenever its thread gets to it, maybe
  // before the answer, which it would then keep.
  uint64_t noticesSeen() const { return notices_seen_.load(); }

  // How many connections were made so far. A daemon started again may
  // have rebuilt its database: a handle had on an earlier connection may
  // name another object now.
  uint64_t connections() {
    std::lock_guard<std::mutex> lock(mu_);
    return epochs_;
  }

  // Connects now (a first connection, or after one ended). 0 or an errno
  // value. Every connection after the first is told to `notices` as a
  // notice of the whole view: those sent meanwhile were lost.
  int connect();
  // Connects when there is no connection; true when there is one.
  bool reconnect();
  // Ends the channel for good: calls in flight fail with EIO, later ones
  // with ENOTCONN.
  void shutdown();

  // One request of a call: sent by start(), its reply awaited by finish().
  // Several may be started before the first is finished.
  class Call {
   public:
    Call() = default;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

   private:
    friend class Channel;
    uint32_t id_ = 0;
    uint64_t epoch_ = 0;
    bool registered_ = false;
    bool done_ = false;
    int error_ = 0;
    size_t length_ = 0;
    std::condition_variable replied_;
    // The reply has a buffer of its own: the request's is still the send's
    // while the reader may already hold the reply.
    unsigned char request_[korva::kMessageSize];
    unsigned char reply_[korva::kMessageSize];
  };

  // Sends `req` (its header filled here) as call `op`. 0 once sent, else
  // ENOTCONN (no connection could be had), EIO (the request did not
  // encode) or EACCES (its caller cannot be named); finish() must follow a 0 and may follow a failure, which it
  // repeats.
  template <typename Req>
  int start(Call* call, uint64_t op, Req* req, ostrelxdr_proc<Req> encode) {
    req->hdr.time = std::time(nullptr);
    req->hdr.view = view_uuid_;
    req->hdr.build_handle = view_bhandle_t{};
    return send(call, op, [&](uint32_t id, unsigned char* body, size_t room, size_t* length) {
      req->hdr.xid = id;
      return ostrelxdr_encode_body(encode, req, body, room, length);
    });
  }

  // Waits for the reply and decodes it into the zeroed `reply`. 0 (the
  // reply's own status is in its header); EIO when the connection ended
  // first, the channel or the daemon refused the request (rpc_status not
  // 0) or the body did not decode; the error start() gave.
  template <typename Rep>
  int finish(Call* call, Rep* reply, ostrelxdr_proc<Rep> decode) {
    const unsigned char* body = nullptr;
    size_t size = 0;
    int error = await(call, &body, &size);
    if (error != 0) return error;
    return ostrelxdr_decode_body(decode, body, size, reply) ? 0 : EIO;
  }

  // start() and finish() in one.
  template <typename Req, typename Rep>
  int call(uint64_t op, Req* req, ostrelxdr_proc<Req> encode, Rep* reply, ostrelxdr_proc<Rep> decode) {
    Call c;
    int error = start(&c, op, req, encode);
    return error != 0 ? error : finish(&c, reply, decode);
  }

 private:
  struct Connection {
    Connection(int descriptor, uint64_t number, pid_t peer) : fd(descriptor), epoch(number), daemon(peer) {}
    ~Connection();
    const int fd;
    const uint64_t epoch;
    // The daemon's process (0 when unknown).
    const pid_t daemon;
  };
  using Encoder = std::function<bool(uint32_t id, unsigned char* body, size_t room, size_t* length)>;

  // A connection to the daemon at the socket, or -1 with errno (ENOTCONN
  // when the process listening there is ending), with the daemon's process.
  int open(pid_t* daemon);
  int send(Call* call, uint64_t op, const Encoder& encode);
  int await(Call* call, const unsigned char** body, size_t* size);
  // The current connection, or a new one when there is none and `may_connect`.
  std::shared_ptr<Connection> current(bool may_connect);
  void drop(const std::shared_ptr<Connection>& connection);
  void forget(Call* call);
  void read();
  void deliver(const unsigned char* packet, size_t length);
  void missedNotices();

  const std::string socket_path_;
  const qel_uuid_s view_uuid_;
  const NoticeSink notices_;
  const std::function<void()> lost_;

  std::mutex connect_mu_;  // one connection attempt at a time; before mu_
  std::mutex mu_;
  std::condition_variable connected_; // the reader has a connection to read, or stops
  std::shared_ptr<Connection> connection_;
  uint64_t epochs_ = 0;
  std::atomic<uint64_t> epochs_seen_{0};  // connections told of (missedNotices)
  std::atomic<uint64_t> notices_seen_{0};
  bool stopped_ = false;
  uint32_t next_id_ = 0;
  std::unordered_map<uint32_t, Call*> calls_;
  std::thread reader_;
};

}  // namespace korva_fuse
