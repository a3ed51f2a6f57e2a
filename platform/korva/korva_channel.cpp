#include "platform/korva/korva_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/korva/korva_message.h"
#include "platform/korva/korva_socket.h"
#include "platform/qel/qel.h"

namespace korva {

namespace {

// Ids the channels of this process give the requests they queue.
std::atomic<uint32_t> g_last_request_id{0};

// How long accepting pauses after accept itself failed (out of
// descriptors): the listening socket stays readable meanwhile.
constexpr int kAcceptPauseMs = 100;

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// After a read of 0 bytes: whether the peer is gone, or sent an empty packet.
bool peerGone(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) != 0;
}

}  // namespace

Channel::Channel(std::string path) : path_(std::move(path)) {}

Channel::~Channel() {
  close();
  // Only now: a call of exchange() may use them until its last moment.
  for (int fd : {epoll_fd_, closed_fd_}) {
    if (fd >= 0) ::close(fd);
  }
}

std::shared_ptr<Channel> Channel::open(const std::string& socket_path, int* error) {
  std::shared_ptr<Channel> channel(new Channel(socket_path));
  auto fail = [&](int e) {
    *error = e;
    channel->close();
    return nullptr;
  };
  SocketAddress address(socket_path);
  if (address.error() != 0) return fail(address.error());
  struct stat st;
  if (::lstat(socket_path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    if (::unlink(socket_path.c_str()) != 0 && errno != ENOENT) return fail(errno);
  }
  channel->listen_fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (channel->listen_fd_ < 0) return fail(errno);
  // Each request comes with its credentials. Set here, every connection
  // has the option from its start: set on a connection once accepted, a
  // request sent just then would come without them (pid 0, the overflow
  // user).
  const int on = 1;
  if (::setsockopt(channel->listen_fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) return fail(errno);
  if (::bind(channel->listen_fd_, address.get(), address.length()) != 0) return fail(errno);
  // The directory is the owner's alone already; the file says so too.
  if (::chmod(socket_path.c_str(), 0600) != 0 || ::stat(socket_path.c_str(), &st) != 0) {
    return fail(errno);
  }
  channel->dev_ = st.st_dev;
  channel->ino_ = st.st_ino;
  if (::listen(channel->listen_fd_, SOMAXCONN) != 0) return fail(errno);
  if (::pipe2(channel->wake_fds_, O_CLOEXEC | O_NONBLOCK) != 0) return fail(errno);
  channel->epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (channel->epoll_fd_ < 0) return fail(errno);
  channel->closed_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (channel->closed_fd_ < 0) return fail(errno);
  epoll_event closing{};
  closing.events = EPOLLIN;
  closing.data.u64 = kClosedEvent;
  if (::epoll_ctl(channel->epoll_fd_, EPOLL_CTL_ADD, channel->closed_fd_, &closing) != 0) return fail(errno);

  // The acceptor takes no signal: the registering program decides which
  // of its threads do.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  int start_error = 0;
  try {
    channel->acceptor_ = std::thread(&Channel::serve, channel.get());
  } catch (const std::system_error& e) {
    start_error = e.code().value() != 0 ? e.code().value() : EAGAIN;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (start_error != 0) return fail(start_error);
  return channel;
}

void Channel::close() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return;
    closed_ = true;
    if (closed_fd_ >= 0) {
      uint64_t one = 1;
      // Stays readable (level-triggered): each call woken by it leaves it
      // ready, which wakes the next waiting call, and any later wait ends
      // at once.
      while (::write(closed_fd_, &one, sizeof one) < 0 && errno == EINTR) {
      }
    }
  }
  wake();
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& entry : connections_) ::close(entry.second.fd);
    connections_.clear();
    routes_.clear();
  }
  if (listen_fd_ >= 0) {
    // The file goes only while it is still this channel's.
    if (ownsSocketFile()) ::unlink(path_.c_str());
    ::close(listen_fd_);
    listen_fd_ = -1;
  }
  for (int& fd : wake_fds_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

bool Channel::ownsSocketFile() const {
  struct stat st;
  return ::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == dev_ && st.st_ino == ino_;
}

size_t Channel::connectionCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(),
                                           [](const auto& entry) { return !entry.second.closing; }));
}

size_t Channel::waitingCount() const { return waiting_.load(); }

void Channel::wake() {
  if (wake_fds_[1] < 0) return;
  char byte = 1;
  // A full pipe wakes the acceptor all the same.
  while (::write(wake_fds_[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

int Channel::exchange(unsigned char* buffer, size_t size, int* call_error, ucred* caller) {
  *call_error = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return QEL_ST_SHUTDOWN;
    if (readMark(buffer) == kMarkReply) route(buffer, size);
  }
  for (;;) {
    // Every waiting call sits in epoll_wait on the same set: the system
    // wakes one of them per ready connection, which is disarmed until the
    // call has read one packet of it.
    ++waiting_;
    epoll_event event{};
    int ready = ::epoll_wait(epoll_fd_, &event, 1, -1);
    int error = ready < 0 ? errno : 0;
    --waiting_;
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return QEL_ST_SHUTDOWN;
    if (ready < 0) {
      *call_error = error;
      return 0;
    }
    if (ready == 0 || event.data.u64 == kClosedEvent) continue;
    auto it = connections_.find(event.data.u64);
    if (it == connections_.end()) continue;
    Connection& connection = it->second;
    bool taken = takeRequest(connection, event.events, buffer, caller);
    // Armed again at once: a request that came meanwhile goes to another
    // waiting call while this one is served.
    arm(connection, EPOLL_CTL_MOD);
    if (taken) return 0;
  }
}

void Channel::arm(Connection& connection, int op) {
  if (connection.closing) return;
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  event.data.u64 = connection.id;
  if (::epoll_ctl(epoll_fd_, op, connection.fd, &event) != 0) {
    std::fprintf(stderr, "korva: serving a connection on %s failed: %s\n", path_.c_str(), std::strerror(errno));
    dropConnection(connection);
  }
}

void Channel::broadcast(const std::vector<unsigned char>& packet) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& entry : connections_) sendTo(entry.second, packet);
}

void Channel::broadcast(const std::vector<std::vector<unsigned char>>& packets) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& entry : connections_) {
    for (const std::vector<unsigned char>& packet : packets) sendTo(entry.second, packet);
  }
}

void Channel::route(const unsigned char* buffer, size_t size) {
  ReplyHeader header = readReplyHeader(buffer);
  auto found = routes_.find(header.request_id);
  if (found == routes_.end()) return;  // its connection has gone
  Route to = found->second;
  routes_.erase(found);
  auto it = connections_.find(to.connection);
  if (it == connections_.end()) return;
  Connection& connection = it->second;
  connection.outstanding.erase(to.client_id);
  // Never more than the buffer holds, whatever the header says.
  uint64_t body = std::min<uint64_t>(header.res_out_size, std::min(size, kMessageSize) - kHeaderSize);
  std::vector<unsigned char> packet(buffer, buffer + kHeaderSize + body);
  writeRequestId(packet.data(), to.client_id);
  sendTo(connection, std::move(packet));
}

void Channel::sendTo(Connection& connection, std::vector<unsigned char> packet) {
  if (connection.closing) return;
  if (connection.out.empty()) {
    ssize_t sent;
    do {
      sent = ::send(connection.fd, packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) return;  // a packet goes whole or not at all
    if (!wouldBlock(errno) && errno != ENOBUFS) {
      dropConnection(connection);
      return;
    }
  }
  if (connection.out_bytes + packet.size() > kOutQueueMax) {
    dropConnection(connection);
    return;
  }
  connection.out_bytes += packet.size();
  connection.out.push_back(std::move(packet));
  wake();  // the acceptor now waits for room as well
}

void Channel::flush(Connection& connection) {
  while (!connection.closing && !connection.out.empty()) {
    const std::vector<unsigned char>& packet = connection.out.front();
    ssize_t sent = ::send(connection.fd, packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (!wouldBlock(errno) && errno != ENOBUFS) dropConnection(connection);
      return;
    }
    connection.out_bytes -= packet.size();
    connection.out.pop_front();
  }
}

void Channel::dropConnection(Connection& connection) {
  if (connection.closing) return;
  connection.closing = true;
  connection.out.clear();
  connection.out_bytes = 0;
  connection.outstanding.clear();
  uint64_t id = connection.id;
  // Requests it has sent and nobody has read are served to nobody, so they
  // are not served.
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, connection.fd, nullptr);
  for (auto it = routes_.begin(); it != routes_.end();) {
    it = it->second.connection == id ? routes_.erase(it) : std::next(it);
  }
  wake();
}

void Channel::refuse(Connection& connection, const unsigned char* packet, size_t length) {
  std::vector<unsigned char> reply(kHeaderSize, 0);
  ReplyHeader header;
  header.rpc_status = kRpcNotDecodable;
  header.request_id = length >= 28 ? readRequestId(packet) : 0;
  writeReplyHeader(reply.data(), header);
  sendTo(connection, std::move(reply));
}

bool Channel::takeRequest(Connection& connection, uint32_t events, unsigned char* buffer, ucred* caller) {
  if (connection.closing) return false;
  // Requests of a client that has gone are served to nobody.
  if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
    dropConnection(connection);
    return false;
  }
  // MSG_TRUNC gives a longer packet's real length; its first bytes are here.
  unsigned char packet[kMessageSize];
  iovec iov{packet, sizeof packet};
  union {
    cmsghdr align;
    char bytes[CMSG_SPACE(sizeof(ucred))];
  } control;
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control.bytes;
  message.msg_controllen = sizeof control.bytes;
  ssize_t got = ::recvmsg(connection.fd, &message, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
  if (got < 0 && (errno == EINTR || wouldBlock(errno))) return false;
  if (got < 0 || (got == 0 && peerGone(connection.fd))) {
    dropConnection(connection);
    return false;
  }
  size_t length = static_cast<size_t>(got);
  if (length < kHeaderSize || length > kMessageSize) {
    refuse(connection, packet, std::min(length, kMessageSize));
    return false;
  }
  RequestHeader header = readRequestHeader(packet);
  if (header.req_size != length - kHeaderSize || header.res_in_size > kBodyMax ||
      header.mark != kMarkRequest || connection.outstanding.count(header.request_id) != 0) {
    refuse(connection, packet, length);
    return false;
  }
  uint32_t id;
  do {
    id = ++g_last_request_id;
  } while (id == 0 || routes_.count(id) != 0);
  routes_[id] = Route{connection.id, header.request_id};
  connection.outstanding.insert(header.request_id);
  if (caller != nullptr) *caller = connection.peer;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); caller != nullptr && c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS || c->cmsg_len < CMSG_LEN(sizeof(ucred))) continue;
    // A packet sent before this side asked for credentials carries the
    // kernel's placeholder (pid 0, the overflow ids): the peer's own stand.
    ucred sent;
    std::memcpy(&sent, CMSG_DATA(c), sizeof sent);
    if (sent.pid != 0) *caller = sent;
  }
  std::memcpy(buffer, packet, length);
  writeRequestId(buffer, id);
  return true;
}

void Channel::acceptAll() {
  for (;;) {
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (!wouldBlock(errno)) {
        std::fprintf(stderr, "korva: accepting on %s failed: %s\n", path_.c_str(), std::strerror(errno));
        accept_paused_ = true;
      }
      return;
    }
    ucred peer{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
    socklen_t peer_size = sizeof peer;
    ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peer_size);
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t id = next_connection_++;
    Connection& connection = connections_[id];
    connection.id = id;
    connection.fd = fd;
    connection.peer = peer;
    // One that cannot be served is closed by serve() with the others that go.
    arm(connection, EPOLL_CTL_ADD);
  }
}

void Channel::serve() {
  std::vector<pollfd> fds;
  std::vector<uint64_t> ids;
  for (;;) {
    fds.clear();
    ids.clear();
    bool accepting = !accept_paused_;
    accept_paused_ = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (closed_) return;
      fds.push_back(pollfd{wake_fds_[0], POLLIN, 0});
      fds.push_back(pollfd{accepting ? listen_fd_ : -1, POLLIN, 0});
      for (const auto& entry : connections_) {
        const Connection& connection = entry.second;
        if (connection.closing) continue;
        // The calls of exchange() read requests; here only a client's
        // end, and room for what it has not taken yet.
        short events = POLLRDHUP;
        if (!connection.out.empty()) events |= POLLOUT;
        fds.push_back(pollfd{connection.fd, events, 0});
        ids.push_back(entry.first);
      }
    }
    int ready = ::poll(fds.data(), fds.size(), accepting ? -1 : kAcceptPauseMs);
    if (ready < 0) {
      if (errno != EINTR) {
        std::fprintf(stderr, "korva: waiting on %s failed: %s\n", path_.c_str(), std::strerror(errno));
        ::poll(nullptr, 0, kAcceptPauseMs);
      }
      continue;
    }
    if (fds[0].revents != 0) {
      char drain[64];
      while (::read(wake_fds_[0], drain, sizeof drain) > 0) {
      }
    }
    if (fds[1].revents != 0) acceptAll();
    for (size_t i = 0; i < ids.size(); ++i) {
      short events = fds[i + 2].revents;
      if (events == 0) continue;
      std::lock_guard<std::mutex> lock(mu_);
      auto it = connections_.find(ids[i]);
      if (it == connections_.end()) continue;
      if (events & (POLLRDHUP | POLLHUP | POLLERR)) {
        dropConnection(it->second);
      } else if (events & POLLOUT) {
        flush(it->second);
      }
    }
    std::vector<int> gone;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->second.closing) {
          gone.push_back(it->second.fd);
          it = connections_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (int fd : gone) ::close(fd);
  }
}

// ---- ChannelTable ------------------------------------------------------------

ChannelTable& ChannelTable::process() {
  // Never destroyed: acceptor threads may still run while the process exits.
  static ChannelTable* table = new ChannelTable;
  return *table;
}

std::string ChannelTable::key(const Root& root, const std::string& view_tag) {
  return root.path() + '\n' + view_tag;
}

int ChannelTable::open(const std::string& key, const std::string& socket_path) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = channels_.find(key);
  if (it != channels_.end()) {
    if (it->second->ownsSocketFile()) return 0;
    it->second->close();
    channels_.erase(it);
  }
  int error = 0;
  std::shared_ptr<Channel> channel = Channel::open(socket_path, &error);
  if (!channel) return error;
  channels_[key] = std::move(channel);
  return 0;
}

void ChannelTable::close(const std::string& key) {
  std::shared_ptr<Channel> channel;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = channels_.find(key);
    if (it == channels_.end()) return;
    channel = std::move(it->second);
    channels_.erase(it);
  }
  channel->close();
}

std::shared_ptr<Channel> ChannelTable::find(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = channels_.find(key);
  return it == channels_.end() ? nullptr : it->second;
}

}  // namespace korva
