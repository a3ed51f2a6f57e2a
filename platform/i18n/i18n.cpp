#include "platform/i18n/i18n.h"

#include "platform/imsg/imsg_verid.h"

namespace {
const char* const kName = "libhalvici18n";
} // namespace

void libhalvici18n_print_verid() {
    imsg_print_verid(kName);
}

int libhalvici18n_sprintf_verid(char* buf) {
    return imsg_sprintf_verid(buf, kName);
}
