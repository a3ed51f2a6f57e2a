#include "platform/vek/vek.h"

#include "platform/imsg/imsg_verid.h"

namespace {

const char* const kName = "libhalvicvek";

}  // namespace

void vek_system_init() {}

void libhalvicvek_print_verid() {
    imsg_print_verid(kName);
}

int libhalvicvek_sprintf_verid(char* buf) {
    return imsg_sprintf_verid(buf, kName);
}
