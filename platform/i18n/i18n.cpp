#include "platform/i18n/i18n.h"

#include "platform/imsg/imsg.h"

namespace {
const char* const kName = "libhalvici18n";
} // namespace

void libhalvici18n_print_verid() {
    imsg_print(IMSG_KIND_OK, "%-*s %s (%s)\n", -1, 33, kName, OSTREL_RELEASE, OSTREL_BUILD_DATE);
}

int libhalvici18n_sprintf_verid(char* buf) {
    return imsg_sprintf(buf, "%-*s %s (%s)\n", -1, 33, kName, OSTREL_RELEASE, OSTREL_BUILD_DATE);
}
