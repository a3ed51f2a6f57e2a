#pragma once
// korva_sim's run: requests read one a line, sent on a connection to the
// view's channel, and every reply and notice written as one JSON line.

#include <cstdio>
#include <string>

namespace korva_sim {

struct Options {
  std::string view_tag;
  // Send every request as soon as it is read, rather than after the reply
  // to the one before.
  bool pipeline = false;
  // Lines are hand-made packets in hex (korva_sim_codec.h: rawRequest)
  // rather than JSON requests.
  bool raw = false;
  // How long a reply may keep the tool waiting.
  int timeout_ms = 30000;
};

// Exit statuses of a run.
enum : int {
  kExitDone = 0,         // every request answered
  kExitChannel = 1,      // no channel for the view, or it closed the connection
  kExitInput = 2,        // a line that is no request (nothing more is sent)
  kExitTimeout = 3,      // a reply did not come in time
};

// Reads lines from `in_fd` until its end (blank lines and lines starting
// with '#' are passed over), writes JSON lines to `out` and messages to
// `err`. The view is looked up under $KORVA_ROOT.
int run(const Options& options, int in_fd, FILE* out, FILE* err);

}  // namespace korva_sim
