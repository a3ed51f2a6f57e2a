// Unix-domain socket addresses of the message channel. A socket path longer
// than sun_path holds (a deep $KORVA_ROOT, a long view tag) is reached
// through a descriptor of its directory: /proc/self/fd/<n>/<name>. Also the
// send of a packet for another process, as the kernel side names its
// callers.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

namespace korva {

class SocketAddress {
 public:
  explicit SocketAddress(const std::string& path);
  ~SocketAddress();
  SocketAddress(const SocketAddress&) = delete;
  SocketAddress& operator=(const SocketAddress&) = delete;

  // 0, or the errno value that made the address unusable.
  int error() const { return error_; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address_); }
  socklen_t length() const { return sizeof address_; }

 private:
  sockaddr_un address_{};
  int dir_fd_ = -1;
  int error_ = 0;
};

// A connected SOCK_SEQPACKET socket (close-on-exec) to `path`; -1 with
// errno set on failure.
int connectSeqpacket(const std::string& path);

// Sends the packet of `size` bytes at `packet` on the connected socket `fd`
// as made for the process `credentials` names (SCM_CREDENTIALS; naming
// another process than the sender needs root). The result of sendmsg
// (flags MSG_NOSIGNAL), repeated when a signal interrupts it.
ssize_t sendFor(int fd, const void* packet, size_t size, const ucred& credentials);

}  // namespace korva
