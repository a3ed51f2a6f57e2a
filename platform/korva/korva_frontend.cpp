#include "platform/korva/korva_frontend.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/korva/korva_socket.h"

namespace korva {

namespace {

// A VOB tag is a path: no question is longer.
constexpr size_t kMaxQuestion = 4096;
// How long the service waits for the question of a connection it took.
constexpr int kQuestionTimeoutMs = 5000;

// Waits until `fd` is readable; false when `timeout_ms` passed first or
// polling failed.
bool readable(int fd, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    int rc = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (rc > 0) return true;
    if (rc == 0 || errno != EINTR) return false;
  }
}

ssize_t receive(int fd, char* buffer, size_t size) {
  ssize_t n;
  do {
    n = ::recv(fd, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

std::string frontendSocketPath(const Root& root, const std::string& view_tag) {
  return root.file("frontend." + view_tag);
}

VobUse askVobUse(const Root& root, const std::string& view_tag, const std::string& vob_tag, int timeout_ms) {
  if (vob_tag.empty() || vob_tag.size() > kMaxQuestion) return VobUse::kUnknown;
  const int fd = connectSeqpacket(frontendSocketPath(root, view_tag));
  if (fd < 0) return VobUse::kUnknown;
  VobUse use = VobUse::kUnknown;
  ssize_t sent;
  do {
    sent = ::send(fd, vob_tag.data(), vob_tag.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  char answer = 0;
  if (sent == static_cast<ssize_t>(vob_tag.size()) && readable(fd, timeout_ms) && receive(fd, &answer, 1) == 1) {
    if (answer == kInUse) use = VobUse::kInUse;
    if (answer == kNotInUse) use = VobUse::kNotInUse;
  }
  ::close(fd);
  return use;
}

VobUseService::VobUseService(std::string path, std::function<bool(const std::string&)> in_use, uid_t also)
    : path_(std::move(path)), in_use_(std::move(in_use)), also_(also) {}

VobUseService::~VobUseService() { stop(); }

int VobUseService::start() {
  if (::pipe2(wake_, O_CLOEXEC) != 0) return errno;
  SocketAddress address(path_);
  if (address.error() != 0) return address.error();
  listen_fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return errno;
  // A socket left by a front end that died answers nobody.
  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path_.c_str());
  if (::bind(listen_fd_, address.get(), address.length()) != 0) return errno;
  // Who may ask is checked on each connection; the socket is private too.
  if (::chmod(path_.c_str(), 0600) != 0 ||
      (::geteuid() == 0 && also_ != 0 && ::chown(path_.c_str(), also_, static_cast<gid_t>(-1)) != 0)) {
    const int error = errno;
    ::unlink(path_.c_str());
    return error;
  }
  if (::listen(listen_fd_, 16) != 0) {
    const int error = errno;
    ::unlink(path_.c_str());
    return error;
  }
  thread_ = std::thread([this] { serve(); });
  return 0;
}

void VobUseService::stop() {
  if (thread_.joinable()) {
    const char wake = 1;
    if (::write(wake_[1], &wake, 1) != 1) {
      // A full pipe wakes the thread as well.
    }
    thread_.join();
    ::unlink(path_.c_str());
  }
  for (int* fd : {&listen_fd_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void VobUseService::serve() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (mayAsk(fd)) answer(fd);
    ::close(fd);
  }
}

void VobUseService::answer(int fd) {
  std::string question(kMaxQuestion + 1, '\0');
  if (!readable(fd, kQuestionTimeoutMs)) return;
  const ssize_t n = receive(fd, &question[0], question.size());
  if (n <= 0 || static_cast<size_t>(n) > kMaxQuestion) return;
  question.resize(static_cast<size_t>(n));
  const char answer = in_use_(question) ? kInUse : kNotInUse;
  if (::send(fd, &answer, 1, MSG_NOSIGNAL) != 1) {
    // The asker went: it takes the VOB for unused.
  }
}

bool VobUseService::mayAsk(int fd) const {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  return peer.uid == 0 || peer.uid == ::geteuid() || peer.uid == also_;
}

}  // namespace korva
