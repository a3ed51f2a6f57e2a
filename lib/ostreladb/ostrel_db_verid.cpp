#include "lib/ostreladb/ostrel_db_verid.h"

#include "platform/imsg/imsg_verid.h"

namespace {
const char* const kName = "libostrel_agent_db";
} // namespace

void libostrel_agent_db_print_verid() {
    imsg_print_verid(kName);
}

int libostrel_agent_db_sprintf_verid(char* buf) {
    return imsg_sprintf_verid(buf, kName);
}
