#pragma once
// Deadlines of the test harnesses. Every wait of a harness is for an event,
// and its limit only turns a hang into a failure; a machine that is slow or
// busy (sanitizers, two cores, other builds beside) stretches every limit
// at once through $OSTREL_TEST_TIME_SCALE (a factor, default 1: "3" gives
// each wait three times as long).

#include <chrono>
#include <cstdlib>

namespace lib_test {

// The factor from the environment, read once; 1 when absent or not a
// number of at least 1 (a scale never shortens a limit).
inline double time_scale() {
    static const double scale = [] {
        const char* text = std::getenv("OSTREL_TEST_TIME_SCALE");
        if (text == nullptr || *text == '\0') return 1.0;
        char* end = nullptr;
        const double value = std::strtod(text, &end);
        return end != text && *end == '\0' && value >= 1.0 && value <= 1000.0 ? value : 1.0;
    }();
    return scale;
}

// A wait's limit, stretched by the scale.
template <typename Rep, typename Period>
std::chrono::milliseconds scaled(std::chrono::duration<Rep, Period> limit) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit).count();
    return std::chrono::milliseconds(static_cast<long long>(static_cast<double>(ms) * time_scale()));
}

// When a wait of `limit`, beginning now, gives up.
template <typename Rep, typename Period>
std::chrono::steady_clock::time_point deadline_after(std::chrono::duration<Rep, Period> limit) {
    return std::chrono::steady_clock::now() + scaled(limit);
}

} // namespace lib_test
