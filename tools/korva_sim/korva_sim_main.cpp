// korva_sim: plays the kernel's side of a view's message channel.
//
//   korva_sim [--pipeline] [--raw] [--timeout SECONDS] VIEW-TAG
//
// Reads one request a line from standard input - a JSON object naming its
// call and fields (tools/korva_sim/korva_sim_codec.h), or with --raw a
// hand-made packet in hex - sends each to the view's channel under
// $KORVA_ROOT, and writes every reply and every notice that arrives as one
// JSON line on standard output. Without --pipeline a request goes once the
// one before it is answered; with it, each as soon as it is read. Requests
// without an "id" are numbered from 1.
//
// Exit status: 0 every request answered; 1 the view has no channel, or the
// channel closed the connection; 2 a usage error or a line that is no
// request; 3 a reply did not come within SECONDS (default 30).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/korva_sim/korva_sim_session.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: korva_sim [--pipeline] [--raw] [--timeout SECONDS] VIEW-TAG\n");
  return korva_sim::kExitInput;
}

}  // namespace

int main(int argc, char** argv) {
  korva_sim::Options options;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    std::string flag = argv[i];
    if (flag == "--pipeline") {
      options.pipeline = true;
    } else if (flag == "--raw") {
      options.raw = true;
    } else if (flag == "--timeout" && i + 1 < argc) {
      char* end = nullptr;
      double seconds = std::strtod(argv[++i], &end);
      if (*end != '\0' || !(seconds > 0) || seconds > 86400) return usage();
      options.timeout_ms = static_cast<int>(seconds * 1000);
    } else {
      return usage();
    }
  }
  if (i + 1 != argc) return usage();
  options.view_tag = argv[i];
  return korva_sim::run(options, STDIN_FILENO, stdout, stderr);
}
