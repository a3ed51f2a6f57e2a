#include "platform/korva/korva_socket.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korva {

SocketAddress::SocketAddress(const std::string& path) {
  address_.sun_family = AF_UNIX;
  std::string name = path;
  if (path.size() >= sizeof address_.sun_path) {
    size_t slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    dir_fd_ = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0) {
      error_ = errno;
      return;
    }
    name = "/proc/self/fd/" + std::to_string(dir_fd_) + "/" + path.substr(slash + 1);
    if (name.size() >= sizeof address_.sun_path) {
      error_ = ENAMETOOLONG;
      return;
    }
  }
  std::memcpy(address_.sun_path, name.c_str(), name.size() + 1);
}

SocketAddress::~SocketAddress() {
  if (dir_fd_ >= 0) ::close(dir_fd_);
}

int connectSeqpacket(const std::string& path) {
  SocketAddress address(path);
  if (address.error() != 0) {
    errno = address.error();
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // The sender asks for its credentials on every packet, so none goes
  // without them while the receiver has yet to ask for them itself.
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  int rc;
  do {
    rc = ::connect(fd, address.get(), address.length());
  } while (rc != 0 && errno == EINTR);
  // A connect interrupted and repeated may find itself done already.
  if (rc != 0 && errno != EISCONN) {
    int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

ssize_t sendFor(int fd, const void* packet, size_t size, const ucred& credentials) {
  iovec iov{const_cast<void*>(packet), size};
  union {
    cmsghdr align;
    char bytes[CMSG_SPACE(sizeof(ucred))];
  } control{};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control.bytes;
  message.msg_controllen = sizeof control.bytes;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_CREDENTIALS;
  header->cmsg_len = CMSG_LEN(sizeof(ucred));
  std::memcpy(CMSG_DATA(header), &credentials, sizeof credentials);
  ssize_t sent;
  do {
    sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

}  // namespace korva
