#include "platform/utl/date.h"

#include <errno.h>

int date_get_timeval(struct timeval* now) {
    if (now == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return gettimeofday(now, nullptr);
}

char* date_fmt_token_date_time_pname(time_t when, char* buf, size_t size) {
    struct tm local;
    if (buf == nullptr || localtime_r(&when, &local) == nullptr) return nullptr;
    if (size == 0 || strftime(buf, size, "%Y-%m-%dT%H%M%S", &local) == 0) {
        if (size > 0) buf[0] = '\0';
        return nullptr;
    }
    return buf;
}
