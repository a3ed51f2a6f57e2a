#include "xml/norvane_util.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "platform/imsg/imsg.h"

namespace {

// Most messages fit here, so the large buffer is needed only rarely.
constexpr size_t SMALL_BUFFER = 1024;

std::string internal_error(const char* fmt, int index) {
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, index);
    return buf;
}

} // namespace

std::string NorvaneUtil::format(const void* catalog, int index, ...) {
    va_list args;
    va_start(args, index);
    va_list again;
    va_copy(again, args);
    char small[SMALL_BUFFER];
    int needed = imsg_vsnprintf(small, sizeof small, catalog, index, args);
    va_end(args);

    std::string result;
    if (needed < 0) {
        result = internal_error("Internal error: could not load message %d", index);
    } else if (static_cast<size_t>(needed) > FORMAT_BUFFER_SIZE - 1) {
        result = internal_error("Internal error: message %d is too long", index);
    } else if (static_cast<size_t>(needed) < sizeof small) {
        result.assign(small, static_cast<size_t>(needed));
    } else {
        // The heap, not the stack: request threads may run on small stacks.
        const size_t size = static_cast<size_t>(needed) + 1;
        std::unique_ptr<char[]> big(new char[size]);
        int written = imsg_vsnprintf(big.get(), size, catalog, index, again);
        if (written < 0) {
            result = internal_error("Internal error: could not load message %d", index);
        } else {
            result.assign(big.get(), std::min(static_cast<size_t>(written), size - 1));
        }
    }
    va_end(again);
    return result;
}

void NorvaneUtil::norvane_assert(int /*condition*/, const char* /*file*/, int /*line*/,
                                 const char* /*text*/) {}
