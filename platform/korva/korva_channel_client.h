// The kernel side's end of a view's message channel (korva_channel.h): a
// connection that sends request packets and receives replies and notices.
// The status query of the simulated kernel uses it, and so do the tools and
// tests that play the kernel.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/korva/korva_root.h"

namespace korva {

class ChannelClient {
 public:
  ChannelClient() = default;
  ~ChannelClient();
  ChannelClient(const ChannelClient&) = delete;
  ChannelClient& operator=(const ChannelClient&) = delete;

  // Connects to the channel of view `view_tag` under `root`, or to the
  // socket at `socket_path`. 0, or an errno value: ENOENT or ECONNREFUSED
  // when no channel is open there.
  int connect(const Root& root, const std::string& view_tag);
  int connectPath(const std::string& socket_path);
  void close();
  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Sends one packet whole, waiting for room. 0 or an errno value (EPIPE
  // once the channel has closed the connection).
  int send(const void* packet, size_t size);
  int send(const std::vector<unsigned char>& packet) { return send(packet.data(), packet.size()); }

  // The next packet (reply or notice), waiting at most `timeout_ms`
  // (negative: without limit). 0; ETIMEDOUT; ECONNRESET when the channel has
  // closed the connection; EMSGSIZE for a packet longer than a message.
  int receive(std::vector<unsigned char>* packet, int timeout_ms);

 private:
  int fd_ = -1;
};

}  // namespace korva
