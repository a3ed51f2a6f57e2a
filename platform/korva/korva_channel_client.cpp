#include "platform/korva/korva_channel_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/korva/korva_message.h"
#include "platform/korva/korva_registry.h"
#include "platform/korva/korva_socket.h"

namespace korva {

ChannelClient::~ChannelClient() { close(); }

int ChannelClient::connect(const Root& root, const std::string& view_tag) {
  if (!Registry::validViewTag(view_tag)) return EINVAL;
  return connectPath(Registry(root).socketPath(view_tag));
}

int ChannelClient::connectPath(const std::string& socket_path) {
  close();
  fd_ = connectSeqpacket(socket_path);
  return fd_ < 0 ? errno : 0;
}

void ChannelClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int ChannelClient::send(const void* packet, size_t size) {
  if (fd_ < 0) return ENOTCONN;
  for (;;) {
    ssize_t sent = ::send(fd_, packet, size, MSG_NOSIGNAL);
    if (sent >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

int ChannelClient::receive(std::vector<unsigned char>* packet, int timeout_ms) {
  if (fd_ < 0) return ENOTCONN;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    int wait = -1;
    if (timeout_ms >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd p{fd_, POLLIN, 0};
    int ready = ::poll(&p, 1, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (ready == 0) return ETIMEDOUT;
    packet->resize(kMessageSize);
    ssize_t length = ::recv(fd_, packet->data(), packet->size(), MSG_DONTWAIT | MSG_TRUNC);
    if (length < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return errno;
    }
    // The channel sends no empty packet: 0 is the end of the connection.
    if (length == 0) return ECONNRESET;
    if (static_cast<size_t>(length) > kMessageSize) return EMSGSIZE;
    packet->resize(static_cast<size_t>(length));
    return 0;
  }
}

}  // namespace korva
