#include "tools/korva_sim/korva_sim_session.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <stdexcept>

#include "platform/korva/korva_channel_client.h"
#include "platform/korva/korva_message.h"
#include "platform/korva/korva_registry.h"
#include "tools/korva_sim/korva_sim_codec.h"

namespace korva_sim {

namespace {

using Clock = std::chrono::steady_clock;

// Lines of the input as they arrive; a last line without its newline counts.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  bool ended() const { return ended_; }
  bool empty() const { return lines_.empty(); }
  int fd() const { return fd_; }

  std::string pop() {
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
  }

  // Reads what is there. 0, or the errno value of a failed read.
  int fill() {
    char chunk[65536];
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0) return errno == EINTR || errno == EAGAIN ? 0 : errno;
    if (n == 0) {
      ended_ = true;
      if (!partial_.empty()) lines_.push_back(std::move(partial_));
      partial_.clear();
      return 0;
    }
    partial_.append(chunk, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
      lines_.push_back(partial_.substr(start, end - start));
    }
    partial_.erase(0, start);
    return 0;
  }

 private:
  int fd_;
  bool ended_ = false;
  std::string partial_;
  std::deque<std::string> lines_;
};

bool passedOver(const std::string& line) {
  size_t first = line.find_first_not_of(" \t\r");
  return first == std::string::npos || line[first] == '#';
}

class Session {
 public:
  Session(const Options& options, int in_fd, FILE* out, FILE* err)
      : options_(options), input_(in_fd), out_(out), err_(err) {}

  int run() {
    korva::Root root = korva::Root::fromEnvironment();
    std::optional<korva::ViewEntry> view = korva::Registry(root).view(options_.view_tag);
    if (!view || qel_str_to_uuid(view->uuid.c_str(), &defaults_.view_uuid) != 0) {
      std::fprintf(err_, "korva_sim: view \"%s\" is not registered\n", options_.view_tag.c_str());
      return kExitChannel;
    }
    if (int error = client_.connect(root, options_.view_tag)) {
      std::fprintf(err_, "korva_sim: no channel for view \"%s\": %s\n", options_.view_tag.c_str(),
                   std::strerror(error));
      return kExitChannel;
    }
    for (;;) {
      int status = sendWhatMay();
      if (status >= 0) return status;
      if (input_.ended() && input_.empty() && outstanding_.empty()) return kExitDone;
      status = wait();
      if (status >= 0) return status;
    }
  }

 private:
  // Sends the lines read so far, as far as the mode lets. -1 to go on, or
  // an exit status.
  int sendWhatMay() {
    while (!input_.empty() && (options_.pipeline || outstanding_.empty())) {
      std::string line = input_.pop();
      ++line_number_;
      if (passedOver(line)) continue;
      Request request;
      try {
        if (options_.raw) {
          request = rawRequest(line);
        } else {
          json object = json::parse(line);
          if (!object.is_object() || !object.contains("id")) defaults_.id = nextId();
          request = encodeRequest(object, defaults_);
        }
      } catch (const std::exception& e) {
        std::fprintf(err_, "korva_sim: line %d: %s\n", line_number_, e.what());
        return kExitInput;
      }
      if (outstanding_.empty()) deadline_ = Clock::now() + std::chrono::milliseconds(options_.timeout_ms);
      if (int error = client_.send(request.packet)) {
        std::fprintf(err_, "korva_sim: sending line %d failed: %s\n", line_number_, std::strerror(error));
        return kExitChannel;
      }
      std::optional<uint64_t> op;
      if (!options_.raw || request.packet.size() >= 8) op = request.op;
      outstanding_.emplace(request.id, op);
    }
    return -1;
  }

  uint32_t nextId() {
    while (next_id_ == 0 || outstanding_.count(next_id_) != 0) ++next_id_;
    return next_id_++;
  }

  // Waits for a packet or more input. -1 to go on, or an exit status.
  int wait() {
    pollfd fds[2] = {{client_.fd(), POLLIN, 0}, {-1, POLLIN, 0}};
    if (!input_.ended() && input_.empty()) fds[1].fd = input_.fd();
    int timeout = -1;
    if (!outstanding_.empty()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
      timeout = left > 0 ? static_cast<int>(left) : 0;
    }
    int ready = ::poll(fds, 2, timeout);
    if (ready < 0) {
      if (errno == EINTR) return -1;
      std::fprintf(err_, "korva_sim: waiting failed: %s\n", std::strerror(errno));
      return kExitChannel;
    }
    if (ready == 0) {
      std::fprintf(err_, "korva_sim: no reply to request %u within %d ms\n", outstanding_.begin()->first,
                   options_.timeout_ms);
      return kExitTimeout;
    }
    if (fds[0].revents != 0) {
      int status = receive();
      if (status >= 0) return status;
    }
    if (fds[1].revents != 0) {
      if (int error = input_.fill()) {
        std::fprintf(err_, "korva_sim: reading the requests failed: %s\n", std::strerror(error));
        return kExitInput;
      }
    }
    return -1;
  }

  int receive() {
    std::vector<unsigned char> packet;
    int error = client_.receive(&packet, 0);
    if (error == ETIMEDOUT) return -1;
    if (error != 0) {
      std::fprintf(err_, "korva_sim: %s\n", error == ECONNRESET ? "the channel closed the connection"
                                                                 : std::strerror(error));
      return kExitChannel;
    }
    std::optional<uint64_t> op;
    if (packet.size() >= korva::kHeaderSize && korva::readMark(packet.data()) != korva::kMarkNotice) {
      auto it = outstanding_.find(korva::readRequestId(packet.data()));
      if (it != outstanding_.end()) {
        op = it->second;
        outstanding_.erase(it);
        deadline_ = Clock::now() + std::chrono::milliseconds(options_.timeout_ms);
      }
    }
    std::string line = decodePacket(packet.data(), packet.size(), op).dump();
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
    return -1;
  }

  const Options& options_;
  LineReader input_;
  FILE* out_;
  FILE* err_;
  korva::ChannelClient client_;
  Defaults defaults_;
  uint32_t next_id_ = 1;
  int line_number_ = 0;
  std::multimap<uint32_t, std::optional<uint64_t>> outstanding_;
  Clock::time_point deadline_;
};

}  // namespace

int run(const Options& options, int in_fd, FILE* out, FILE* err) {
  return Session(options, in_fd, out, err).run();
}

}  // namespace korva_sim
