#pragma once
// What the benchmarks against SQLite share: failing loudly, timing a piece of
// work, and their own directories of files.

#include <errno.h>
#include <stdlib.h>

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
