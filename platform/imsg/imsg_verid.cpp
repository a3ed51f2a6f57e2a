#include "platform/imsg/imsg_verid.h"

#include "platform/imsg/imsg.h"

namespace {
const char* const kVeridFormat = "%-*s %s (%s)\n";
const int kNameWidth = 33;
} // namespace

void imsg_print_verid(const char* component) {
    imsg_print(IMSG_KIND_OK, kVeridFormat, -1, kNameWidth, component, OSTREL_RELEASE, OSTREL_BUILD_DATE);
}

int imsg_sprintf_verid(char* buf, const char* component) {
    return imsg_sprintf(buf, kVeridFormat, -1, kNameWidth, component, OSTREL_RELEASE, OSTREL_BUILD_DATE);
}
