#include "xdr/ostrelxdr_verid.h"

#include "platform/imsg/imsg_verid.h"

namespace {
const char* const kName = "libostrelxdr";
} // namespace

void libostrelxdr_print_verid() {
    imsg_print_verid(kName);
}

int libostrelxdr_sprintf_verid(char* buf) {
    return imsg_sprintf_verid(buf, kName);
}
