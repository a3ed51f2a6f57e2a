// Entry of the view daemon. For now it answers the version options only; the
// serving frame joins when the view handler exists.
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

const char* const kRelease = "1.0.0";
const char* const kBuildDate = "2026-12-09";

void print_verid(const char* component) {
  std::printf("%-*s %s (%s)\n", 33, component, kRelease, kBuildDate);
}

bool is_version_option(const char* arg) {
  return strcasecmp(arg, "-Ver") == 0 || strcasecmp(arg, "-Version") == 0 ||
         strcasecmp(arg, "-VerAll") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && is_version_option(argv[1])) {
    print_verid("ostrel_agent");
    return 0;
  }
  std::printf("usage error\nusage: %s %s\n", argv[0],
              "ostrel_agent <view_storage_location> [-help] [-trace_level 0-5] "
              "[-trace_subsystem OSTRELAGENT:OSTRELACLIENT]\n");
  return 1;
}
