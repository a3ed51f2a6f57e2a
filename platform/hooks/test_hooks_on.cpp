#include "platform/hooks/test_hooks.h"

#include <signal.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

// The tests' daemon: the faults the environment asks for. Compiled into
// that program itself, so that its definitions come before the library's.
namespace test_hooks {

int listener_start_error() {
    const char* text = std::getenv(LISTENER_START_ERROR);
    const long error = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return error > 0 && error <= INT_MAX ? static_cast<int>(error) : 0;
}

bool pool_start_fails() { return std::getenv(POOL_START_ERROR) != nullptr; }

namespace {

// The point and the passing KILL_AT names; no point when unset.
struct Kill_Point {
    std::string point;
    long passing = 0;
    std::atomic<long> passed{0};

    Kill_Point() {
        const char* text = std::getenv(KILL_AT);
        if (text == nullptr) return;
        const char* colon = std::strrchr(text, ':');
        if (colon == nullptr) return;
        passing = std::strtol(colon + 1, nullptr, 10);
        if (passing > 0) point.assign(text, colon);
    }
};

} // namespace

void kill_point(const char* point) {
    static Kill_Point kill;
    if (kill.point.empty() || kill.point != point) return;
    if (kill.passed.fetch_add(1) + 1 == kill.passing) ::raise(SIGKILL);
}

} // namespace test_hooks
