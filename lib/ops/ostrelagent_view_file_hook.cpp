#include "lib/ops/ostrelagent_view_file_hook.h"

#ifdef OSTREL_TEST_HOOKS

#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The point and the passing the variable names; no point when unset.
struct Kill_Point {
    std::string point;
    long passing = 0;
    std::atomic<long> passed{0};

    Kill_Point() {
        const char* text = std::getenv("OSTREL_TEST_KILL_AT");
        if (text == nullptr) return;
        const char* colon = std::strrchr(text, ':');
        if (colon == nullptr) return;
        passing = std::strtol(colon + 1, nullptr, 10);
        if (passing > 0) point.assign(text, colon);
    }
};

} // namespace

void OstrelAgent_View_File_Hook::at(const char* point) {
    static Kill_Point kill_point;
    if (kill_point.point.empty() || kill_point.point != point) return;
    if (kill_point.passed.fetch_add(1) + 1 == kill_point.passing) ::raise(SIGKILL);
}

#else

void OstrelAgent_View_File_Hook::at(const char*) {}

#endif
