#pragma once
// What the tests' helper processes (the test server, the CONNECT proxy, the
// certificate script) share: a scratch directory, a start in a process group
// of their own, the wait for the port they listen on, their JSON log, and a
// stop that always ends them.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "fakeserver/json_value.h"

namespace fakeserver {

// A new directory under $TMPDIR (or /tmp) named `prefix` and six letters;
// empty when none could be made.
std::string make_temp_dir(const char* prefix);
// The same under `parent`.
std::string make_temp_dir_in(const std::string& parent, const char* prefix);
// Starts `args` in a process group of its own, standard output and error to
// `output`. -1 when it cannot be started.
pid_t spawn(const std::vector<std::string>& args, const std::string& output);
// Waits for `pid` until `timeout`; true when it ended.
bool wait_exit(pid_t pid, std::chrono::milliseconds timeout, int* status = nullptr);
// The port the process `pid` writes whole (by rename) to `port_file`, once
// it is there (at most `timeout`); 0 when the process ended first (`pid`
// becomes -1) or the time ran out.
int wait_for_port(pid_t& pid, const std::string& port_file, std::chrono::milliseconds timeout);
// TERM to the group of `pid`, then KILL after a few seconds; waits for it.
void stop_group(pid_t pid);
// The records of a JSON-lines log; a line being written (it does not parse
// yet) is left out.
std::vector<Json> json_lines(const std::string& path);

} // namespace fakeserver
