#pragma once
// What the benchmarks against SQLite share: failing loudly, timing a piece of
// work, and their own directories of files.

#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace bench {

[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
    std::exit(2);
}

inline double seconds_of(const std::function<void()>& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A fresh directory "<base>/<name>-XXXXXX", as an absolute path.
inline std::string make_dir(const std::string& base, const char* name) {
    std::string tmpl = base + "/" + name + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) fail("cannot make a directory under " + base);
    char absolute[4096];
    if (realpath(buf.data(), absolute) == nullptr) fail("realpath " + std::string(buf.data()));
    return absolute;
}

inline void remove_dir(const std::string& dir) {
    std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
}

// The median time of `command` run by the shell, as a benchmark runs a peer
// program, on work so small that the time is the program's start-up: what a
// peer timed as a process costs beyond its work.
inline double startup_seconds(const std::string& command, int runs = 11) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i)
        times.push_back(seconds_of([&] {
            if (std::system(command.c_str()) != 0) fail("the start-up run failed: " + command);
        }));
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// A goal's line, which scripts/bench gathers at the end of its run:
// "goal: <what>: <figure> (goal <op> <bound>) met" or "not met".
inline void print_goal(const std::string& what, double figure, const char* op, double bound) {
    const bool met = op[0] == '<' ? figure <= bound : figure >= bound;
    std::printf("goal: %s: %.2f (goal %s %g) %s\n", what.c_str(), figure, op, bound, met ? "met" : "not met");
}

// The directory for the files: the first argument, else $TMPDIR, else /tmp.
inline std::string base_dir(int argc, char** argv) {
    const char* tmp = std::getenv("TMPDIR");
    return argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
}

}  // namespace bench
