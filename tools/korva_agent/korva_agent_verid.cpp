#include "tools/korva_agent/korva_agent_verid.h"

#include "platform/imsg/imsg_verid.h"

namespace {
const char* const PROGRAM_NAME = "korva_agent";
} // namespace

void korva_agent_print_verid() {
    imsg_print_verid(PROGRAM_NAME);
}

extern "C" int korva_agent_sprintf_verid(char* buf) {
    return imsg_sprintf_verid(buf, PROGRAM_NAME);
}
