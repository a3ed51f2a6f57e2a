#include "lib/core/ostrelagent_verid.h"

#include "platform/imsg/imsg_verid.h"

namespace {
const char* const kName = "libhalvicostrelagent";
} // namespace

void libhalvicostrelagent_print_verid() {
    imsg_print_verid(kName);
}

int libhalvicostrelagent_sprintf_verid(char* buf) {
    return imsg_sprintf_verid(buf, kName);
}
