#include "platform/hooks/test_hooks.h"

#include <climits>
#include <cstdlib>

// The tests' daemon: the faults the environment asks for. Compiled into
// that program itself, so that its definitions come before the library's.
namespace test_hooks {

int listener_start_error() {
    const char* text = std::getenv(LISTENER_START_ERROR);
    const long error = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return error > 0 && error <= INT_MAX ? static_cast<int>(error) : 0;
}

bool pool_start_fails() { return std::getenv(POOL_START_ERROR) != nullptr; }

} // namespace test_hooks
