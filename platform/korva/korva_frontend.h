// The front end that serves a view to ordinary programs (korva_fuse) knows
// what those programs hold in the view; the simulated kernel asks it, before
// it unmounts a VOB, whether the VOB is in use, so that the unmount of a busy
// VOB fails as a kernel's would instead of cutting its users off.
//
// The front end of view TAG answers on a SOCK_SEQPACKET socket of its own,
// $KORVA_ROOT/frontend.TAG: a question is one packet holding a VOB tag, the
// answer one byte, kInUse or kNotInUse. Where no front end answers, nothing
// holds the view's VOBs.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <thread>

#include "platform/korva/korva_root.h"

namespace korva {

constexpr char kInUse = '1';
constexpr char kNotInUse = '0';

// The socket of the front end of view `view_tag`.
std::string frontendSocketPath(const Root& root, const std::string& view_tag);

enum class VobUse { kNotInUse, kInUse, kUnknown };

// Asks the front end of view `view_tag` whether VOB `vob_tag` is in use,
// waiting at most `timeout_ms` for the answer: kUnknown when no front end
// serves the view or none answers in time.
VobUse askVobUse(const Root& root, const std::string& view_tag, const std::string& vob_tag,
                 int timeout_ms = 10000);

// The answering side: one thread that takes each question from the socket
// at `path` and answers it with `in_use(vob_tag)`. Only the process's own
// user, root, and `also` (the uid of the user that the kernel's calls run
// as) may ask.
class VobUseService {
 public:
  VobUseService(std::string path, std::function<bool(const std::string& vob_tag)> in_use, uid_t also);
  ~VobUseService();
  VobUseService(const VobUseService&) = delete;
  VobUseService& operator=(const VobUseService&) = delete;

  // Makes the socket (one left behind is replaced), mode 0600 and owned by
  // `also` when this process may give it away, and starts answering. 0 or
  // the errno value of the failure.
  int start();
  // Stops answering and removes the socket. Also done on destruction.
  void stop();

 private:
  void serve();
  void answer(int fd);
  bool mayAsk(int fd) const;

  const std::string path_;
  const std::function<bool(const std::string&)> in_use_;
  const uid_t also_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace korva
