#include "platform/utl/strutl.h"

#include <errno.h>
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kFnvOffsetBasis = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;

bool valid_base(int base) {
    return base == 0 || (base >= 2 && base <= 36);
}

// The text must begin with a digit of some base (after an optional sign
// when `signed_ok`), so that strtol's own skipping of blanks never applies.
bool starts_with_digit(const char* text, bool signed_ok) {
    if (signed_ok && (*text == '+' || *text == '-')) ++text;
    return std::isalnum(static_cast<unsigned char>(*text)) != 0;
}

}  // namespace

int strutl_stricoll(const char* a, const char* b) {
    return strcasecmp(a, b);
}

int strutl_vsnprintf(char* buf, size_t size, const char* format, va_list args) {
    int n = std::vsnprintf(buf, size, format, args);
    if (n < 0 && buf != nullptr && size > 0) buf[0] = '\0';
    return n;
}

int strutl_snprintf(char* buf, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = strutl_vsnprintf(buf, size, format, args);
    va_end(args);
    return n;
}

int strutl_strtol(const char* text, int base, long* value) {
    if (text == nullptr || value == nullptr || !valid_base(base) || !starts_with_digit(text, true)) {
        errno = EINVAL;
        return -1;
    }
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, base);
    if (errno == ERANGE) return -1;
    if (end == text || *end != '\0') {
        errno = EINVAL;
        return -1;
    }
    *value = v;
    return 0;
}

int strutl_strtoul(const char* text, int base, unsigned long* value) {
    if (text == nullptr || value == nullptr || !valid_base(base) || !starts_with_digit(text, false)) {
        errno = EINVAL;
        return -1;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, base);
    if (errno == ERANGE) return -1;
    if (end == text || *end != '\0') {
        errno = EINVAL;
        return -1;
    }
    *value = v;
    return 0;
}

uint32_t strutl_str_to_hash32(uint32_t seed, const char* text) {
    uint32_t h = kFnvOffsetBasis ^ seed;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        h ^= *p;
        h *= kFnvPrime;
    }
    return h;
}

int strutl_concat(char* buf, size_t size, const char* first, ...) {
    if (buf == nullptr || size == 0) {
        errno = ERANGE;
        return -1;
    }
    va_list args;
    va_start(args, first);
    size_t used = 0;
    int result = 0;
    for (const char* part = first; part != nullptr; part = va_arg(args, const char*)) {
        size_t n = std::strlen(part);
        if (n >= size - used) {
            result = -1;
            break;
        }
        std::memcpy(buf + used, part, n);
        used += n;
    }
    va_end(args);
    if (result != 0) {
        buf[0] = '\0';
        errno = ERANGE;
        return -1;
    }
    buf[used] = '\0';
    return 0;
}

int strutl_ncpy_buf(char* buf, size_t size, const char* src, size_t length) {
    if (buf == nullptr || size == 0 || src == nullptr) {
        errno = src == nullptr ? EINVAL : ERANGE;
        if (buf != nullptr && size > 0) buf[0] = '\0';
        return -1;
    }
    size_t n = strnlen(src, length);
    if (n >= size) {
        buf[0] = '\0';
        errno = ERANGE;
        return -1;
    }
    std::memcpy(buf, src, n);
    buf[n] = '\0';
    return 0;
}
