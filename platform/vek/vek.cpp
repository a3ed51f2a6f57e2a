#include "platform/vek/vek.h"

#include "platform/imsg/imsg.h"

namespace {

const char* const kName = "libhalvicvek";

}  // namespace

void vek_system_init() {}

void libhalvicvek_print_verid() {
    imsg_print(IMSG_KIND_OK, "%-*s %s (%s)\n", -1, 33, kName, OSTREL_RELEASE, OSTREL_BUILD_DATE);
}

int libhalvicvek_sprintf_verid(char* buf) {
    return imsg_sprintf(buf, "%-*s %s (%s)\n", -1, 33, kName, OSTREL_RELEASE, OSTREL_BUILD_DATE);
}
