// The kernel message channel of a registered view, in the process that
// registered it: a Unix SOCK_SEQPACKET socket $KORVA_ROOT/views/<tag>/lpc
// (mode 0600) that "kernel side" clients connect to, and the daemon threads
// that sit in korva_cmd(KORVA_CMD_LPC_MESSAGE).
//
// - One acceptor thread accepts connections, notices the clients that go
//   away and writes what could not be sent at once.
// - The daemon threads' calls of exchange() read the requests themselves,
//   as a kernel hands a request straight to a waiting thread: every
//   waiting call sits in epoll_wait on the set of connections, each
//   connection armed for one wake-up (EPOLLONESHOT). The call woken reads
//   one packet, arms the connection again (a request already behind it
//   wakes another waiting call) and returns the request; no call hands
//   anything to another. A packet outside the limits of
//   korva_message.h (shorter than the header, longer than kMessageSize,
//   req_size not its body length, res_in_size above kBodyMax, bytes 28-31
//   not 0, or a request_id the connection still has outstanding) is
//   answered by the channel itself: rpc_status 4, no body.
// - Every other request gets a process-unique id (bytes 24-27 rewritten)
//   and goes with the credentials it was sent with (SCM_CREDENTIALS: the
//   sender's own unless it named another process's);
//   the channel remembers its connection and the client's id. exchange()
//   first routes the reply its buffer carries back under the client's id
//   (one whose request is no longer outstanding - its connection closed -
//   is dropped), then waits for the next request. Replies leave in the
//   order they are completed. Requests that a client sent and nobody read
//   before it went away are not served.
// - Notices are queued to every connection without waiting.
// - close() (unregistration) wakes every waiting exchange() with 1046 and
//   closes every connection; the socket file goes.
// - A waiting exchange() is an interruptible kernel wait: a signal caught
//   by the waiting thread ends it with EINTR, and so does a stop of the
//   process or a tracer's attaching (epoll_wait's own behaviour).
//
// Nothing here ever waits for a client: sends are non-blocking, and what a
// slow client has not taken waits in its connection's queue (a client that
// lets kOutQueueMax bytes pile up is disconnected).
//
// Lock order: ChannelTable's mutex, then a Channel's. A Channel's mutex is
// never held across a wait for a client, nor while exchange() waits; the
// call woken reads a packet with it held.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/korva/korva_root.h"

namespace korva {

class Channel {
 public:
  // Bytes a connection may leave unread before it is dropped.
  static constexpr size_t kOutQueueMax = size_t{16} << 20;

  // Binds `socket_path` (removing a stale file first) and starts the
  // acceptor. Null with `*error` (an errno value) on failure.
  static std::shared_ptr<Channel> open(const std::string& socket_path, int* error);

  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Ends the channel (see above). Harmless to repeat.
  void close();

  // A daemon thread's message call on `buffer` (`size` >= kMessageSize):
  // routes the reply it holds when bytes 28-31 are kMarkReply, then waits
  // for the next request and copies it in. 0, or 1046 once closed. When the
  // wait itself fails `*call_error` is its errno value (EINTR: a signal
  // interrupted it) and nothing is copied; else 0. `*caller` (when given)
  // gets the credentials of the request copied in.
  int exchange(unsigned char* buffer, size_t size, int* call_error, ucred* caller = nullptr);

  // Queues `packet` to every connection.
  void broadcast(const std::vector<unsigned char>& packet);
  // Queues `packets`, in order, to every connection, under one lock.
  void broadcast(const std::vector<std::vector<unsigned char>>& packets);

  // Whether the socket file at the path is still the one this channel
  // bound (another registration may have replaced it).
  bool ownsSocketFile() const;

  const std::string& socketPath() const { return path_; }
  // Connections open now, and calls waiting in exchange() (tests wait on them).
  size_t connectionCount() const;
  size_t waitingCount() const;

 private:
  struct Connection {
    uint64_t id = 0;
    int fd = -1;
    std::deque<std::vector<unsigned char>> out;
    size_t out_bytes = 0;
    std::unordered_set<uint32_t> outstanding;  // client ids queued or being served
    bool closing = false;                      // the acceptor closes it next
    ucred peer{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};  // the client's, when it connected
  };
  struct Route {
    uint64_t connection;
    uint32_t client_id;
  };

  explicit Channel(std::string path);

  void serve();
  void acceptAll();
  // The rest take mu_.
  // Reads one packet of `connection`, whose epoll `events` came: true with
  // the request in `buffer` and its credentials in `caller` when it is one
  // to serve.
  bool takeRequest(Connection& connection, uint32_t events, unsigned char* buffer, ucred* caller);
  void refuse(Connection& connection, const unsigned char* packet, size_t length);
  void sendTo(Connection& connection, std::vector<unsigned char> packet);
  void flush(Connection& connection);
  void dropConnection(Connection& connection);
  void route(const unsigned char* buffer, size_t size);
  void wake();
  // Arms `connection` for one wake-up of a waiting exchange() (`op`
  // EPOLL_CTL_ADD or EPOLL_CTL_MOD); one that cannot be is dropped.
  void arm(Connection& connection, int op);

  const std::string path_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};
  std::thread acceptor_;
  bool accept_paused_ = false;  // the acceptor's own

  // The epoll event that says the channel closed; connections' events
  // carry their ids, which start at 1.
  static constexpr uint64_t kClosedEvent = 0;
  // Every connection's socket (for reading, armed once at a time) and
  // closed_fd_: the waiting calls of exchange() wait on it.
  int epoll_fd_ = -1;
  int closed_fd_ = -1;  // an eventfd, readable once closed

  mutable std::mutex mu_;
  bool closed_ = false;
  std::atomic<size_t> waiting_{0};  // calls of exchange() in epoll_wait
  uint64_t next_connection_ = 1;
  std::map<uint64_t, Connection> connections_;
  std::unordered_map<uint32_t, Route> routes_;
};

// The channels this process has open, by Root and view tag.
class ChannelTable {
 public:
  // The process's table; it lives until the process ends, and so do the
  // channels left in it (the system closes them at exit).
  static ChannelTable& process();

  static std::string key(const Root& root, const std::string& view_tag);

  // Opens the channel of `key` at `socket_path`, keeping one that is open
  // there already. 0 or an errno value.
  int open(const std::string& key, const std::string& socket_path);
  // Closes and forgets the channel of `key`, if any.
  void close(const std::string& key);
  std::shared_ptr<Channel> find(const std::string& key) const;

 private:
  mutable std::mutex mu_;
  std::map<std::string, std::shared_ptr<Channel>> channels_;
};

}  // namespace korva
