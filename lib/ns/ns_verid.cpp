#include "lib/ns/ns_verid.h"

#include "platform/imsg/imsg.h"

namespace {
const char* const kName = "libostrel_agent_ns";
} // namespace

void libostrel_agent_ns_print_verid() {
    imsg_print(IMSG_KIND_OK, "%-*s %s (%s)\n", -1, 33, kName, OSTREL_RELEASE, OSTREL_BUILD_DATE);
}

int libostrel_agent_ns_sprintf_verid(char* buf) {
    return imsg_sprintf(buf, "%-*s %s (%s)\n", -1, 33, kName, OSTREL_RELEASE, OSTREL_BUILD_DATE);
}
