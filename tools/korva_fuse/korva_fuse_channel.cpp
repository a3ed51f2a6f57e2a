#include "tools/korva_fuse/korva_fuse_channel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/korva/korva_socket.h"
#include "platform/qel/qel.h"
#include "platform/utl/sysutl.h"

namespace korva_fuse {

namespace {

thread_local Caller t_caller;
// The connection this thread's requests are pinned to (0: none).
thread_local uint64_t t_pinned = 0;

// How often a call that waits for its reply makes sure that the daemon is
// not ending.
constexpr std::chrono::milliseconds kDaemonCheck(250);

}  // namespace

ssize_t sendAs(int fd, const unsigned char* packet, size_t length) {
  if (t_caller.pid != 0) {
    ssize_t sent = korva::sendFor(fd, packet, length, ucred{t_caller.pid, t_caller.uid, t_caller.gid});
    // The daemon would take korva_fuse's own credentials for the caller's.
    if (sent < 0 && (errno == EPERM || errno == ESRCH)) errno = EACCES;
    return sent;
  }
  ssize_t sent;
  do {
    sent = ::send(fd, packet, length, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

void Channel::callFor(const Caller& caller) { t_caller = caller; }

Caller Channel::caller() { return t_caller; }

Channel::Pinned::Pinned(uint64_t connection) : previous_(t_pinned) { t_pinned = connection; }

Channel::Pinned::~Pinned() { t_pinned = previous_; }

int errnoOf(int status) {
  if (status == 0) return 0;
  int error = qel_status2errno(status);
  return error != 0 ? error : EIO;
}

Channel::Connection::~Connection() { ::close(fd); }

Channel::Channel(std::string socket_path, const qel_uuid_s& view_uuid, NoticeSink notices,
                 std::function<void()> lost)
    : socket_path_(std::move(socket_path)),
      view_uuid_(view_uuid),
      notices_(std::move(notices)),
      lost_(std::move(lost)) {
  reader_ = std::thread([this] { read(); });
}

Channel::~Channel() {
  shutdown();
  reader_.join();
}

int Channel::open(pid_t* daemon) {
  int fd = korva::connectSeqpacket(socket_path_);
  if (fd < 0) return -1;
  ucred peer{};
  socklen_t length = sizeof peer;
  *daemon = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 ? peer.pid : 0;
  // An ending daemon's socket still takes connections, and nobody reads them.
  if (*daemon > 0 && sysutl_process_ending(*daemon)) {
    ::close(fd);
    errno = ENOTCONN;
    return -1;
  }
  return fd;
}

int Channel::connect() {
  std::lock_guard<std::mutex> attempt(connect_mu_);
  pid_t daemon = 0;
  int fd = open(&daemon);
  if (fd < 0) return errno;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopped_) {
      ::close(fd);
      return ENOTCONN;
    }
    if (connection_) ::shutdown(connection_->fd, SHUT_RDWR);
    connection_ = std::make_shared<Connection>(fd, ++epochs_, daemon);
    connected_.notify_all();
  }
  missedNotices();
  return 0;
}

bool Channel::reconnect() { return current(true) != nullptr; }

void Channel::missedNotices() {
  // Notices sent while no connection was there never arrive: whatever the
  // kernel keeps may have changed meanwhile. Told outside the channel's
  // locks, as notices are.
  if (epochs_seen_.fetch_add(1) > 0 && notices_) {
    ++notices_seen_;
    notices_(korva::Notice{});
  }
}

void Channel::shutdown() {
  std::lock_guard<std::mutex> lock(mu_);
  stopped_ = true;
  if (connection_) ::shutdown(connection_->fd, SHUT_RDWR);
  connection_.reset();
  for (auto& entry : calls_) {
    entry.second->done_ = true;
    entry.second->error_ = EIO;
    entry.second->replied_.notify_one();
  }
  calls_.clear();
  connected_.notify_all();
}

std::shared_ptr<Channel::Connection> Channel::current(bool may_connect) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (connection_ || stopped_ || !may_connect) return connection_;
  }
  std::lock_guard<std::mutex> attempt(connect_mu_);
  {
    // Another call may have connected meanwhile.
    std::lock_guard<std::mutex> lock(mu_);
    if (connection_ || stopped_) return connection_;
  }
  pid_t daemon = 0;
  int fd = open(&daemon);
  if (fd < 0) return nullptr;
  std::shared_ptr<Connection> made;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopped_) {
      ::close(fd);
      return nullptr;
    }
    made = connection_ = std::make_shared<Connection>(fd, ++epochs_, daemon);
    connected_.notify_all();
  }
  missedNotices();
  return made;
}

void Channel::drop(const std::shared_ptr<Connection>& connection) {
  bool current_one = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ::shutdown(connection->fd, SHUT_RDWR);
    if (connection_ == connection) {
      connection_.reset();
      current_one = true;
    }
    for (auto it = calls_.begin(); it != calls_.end();) {
      Call* call = it->second;
      if (call->epoch_ != connection->epoch) {
        ++it;
        continue;
      }
      call->done_ = true;
      call->error_ = EIO;
      call->replied_.notify_one();
      it = calls_.erase(it);
    }
  }
  if (current_one && lost_) lost_();
}

void Channel::forget(Call* call) {
  std::lock_guard<std::mutex> lock(mu_);
  if (call->registered_) calls_.erase(call->id_);
  call->registered_ = false;
}

int Channel::send(Call* call, uint64_t op, const Encoder& encode) {
  call->done_ = true;
  call->error_ = ENOTCONN;
  // A call finds the connection that is there, or tries once to make one;
  // a send that fails on a connection that just ended counts as that try
  // only when the connection was not made for this call.
  bool tried = false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::shared_ptr<Connection> connection = current(false);
    if (!connection && !tried) {
      tried = true;
      connection = current(true);
    }
    if (!connection) return ENOTCONN;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopped_) return ENOTCONN;
      if (t_pinned != 0 && connection->epoch != t_pinned) {
        call->error_ = kOtherConnection;
        return kOtherConnection;
      }
      do {
        call->id_ = ++next_id_;
      } while (call->id_ == 0 || calls_.count(call->id_) != 0);
      call->epoch_ = connection->epoch;
      call->done_ = false;
      call->error_ = 0;
      call->registered_ = true;
      calls_[call->id_] = call;
    }
    size_t length = 0;
    if (!encode(call->id_, call->request_ + korva::kHeaderSize, korva::kBodyMax, &length)) {
      forget(call);
      call->done_ = true;
      call->error_ = EIO;
      return EIO;
    }
    korva::RequestHeader header;
    header.op = op;
    header.req_size = length;
    header.res_in_size = korva::kBodyMax;
    header.request_id = call->id_;
    korva::writeRequestHeader(call->request_, header);
    if (sendAs(connection->fd, call->request_, korva::kHeaderSize + length) >= 0) return 0;
    const int error = errno;
    forget(call);
    call->done_ = true;
    if (error == EACCES) {
      // Refused before it left: the connection is sound.
      call->error_ = EACCES;
      return EACCES;
    }
    call->error_ = ENOTCONN;
    drop(connection);
  }
  return ENOTCONN;
}

int Channel::await(Call* call, const unsigned char** body, size_t* size) {
  {
    std::unique_lock<std::mutex> lock(mu_);
    while (!call->replied_.wait_for(lock, kDaemonCheck, [&] { return call->done_; })) {
      // A daemon ending while this call waits never answers it: its
      // connection counts as ended.
      std::shared_ptr<Connection> connection = connection_;
      if (!connection || connection->epoch != call->epoch_ || connection->daemon <= 0) continue;
      lock.unlock();
      const bool ending = sysutl_process_ending(connection->daemon) != 0;
      if (ending) drop(connection);
      lock.lock();
    }
    call->registered_ = false;
  }
  if (call->error_ != 0) return call->error_;
  korva::ReplyHeader header = korva::readReplyHeader(call->reply_);
  if (header.rpc_status != 0 || header.res_out_size > call->length_ - korva::kHeaderSize) return EIO;
  *body = call->reply_ + korva::kHeaderSize;
  *size = header.res_out_size;
  return 0;
}

void Channel::deliver(const unsigned char* packet, size_t length) {
  if (length < korva::kHeaderSize) return;
  uint32_t mark = korva::readMark(packet);
  if (mark == korva::kMarkNotice) {
    korva::RequestHeader header = korva::readRequestHeader(packet);
    korva::Notice notice;
    if (header.req_size == length - korva::kHeaderSize &&
        korva::decodeNoticeBody(packet + korva::kHeaderSize, length - korva::kHeaderSize, &notice) && notices_) {
      // Counted before any reply that came after it is handed over.
      ++notices_seen_;
      notices_(notice);
    }
    return;
  }
  if (mark != korva::kMarkReply) return;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = calls_.find(korva::readRequestId(packet));
  if (it == calls_.end()) return;
  Call* call = it->second;
  calls_.erase(it);
  std::memcpy(call->reply_, packet, length);
  call->length_ = length;
  call->done_ = true;
  call->replied_.notify_one();
}

void Channel::read() {
  std::vector<unsigned char> packet(korva::kMessageSize);
  std::shared_ptr<Connection> last;
  for (;;) {
    std::shared_ptr<Connection> connection;
    {
      std::unique_lock<std::mutex> lock(mu_);
      connected_.wait(lock, [&] { return stopped_ || (connection_ && connection_ != last); });
      if (stopped_) return;
      connection = connection_;
    }
    last = connection;
    for (;;) {
      ssize_t length = ::recv(connection->fd, packet.data(), packet.size(), MSG_TRUNC);
      if (length < 0 && errno == EINTR) continue;
      // The channel sends no empty packet: 0 is the end of the connection.
      if (length <= 0) break;
      if (static_cast<size_t>(length) > packet.size()) continue;  // not a message of the channel
      deliver(packet.data(), static_cast<size_t>(length));
    }
    drop(connection);
  }
}

}  // namespace korva_fuse
