// korva_agent: asks the kernel file system where it roots the automatic and
// the dynamic kind of view, and which suffix turns a name into an extended
// name, and prints each answer as one "option=value" line.
//
//   korva_agent [-automatic_korva_root] [-extended_naming_symbol]
//               [-dynamic_korva_root] [-dynamic_extended_naming_symbol] [-help]
//   korva_agent -Ver | -Version | -VerAll
//
// Options are queried in the order given, as often as given; any other
// argument is ignored. A failed query prints nothing: its status is the exit
// status's only sign. The exit status is 0 when every query succeeded, else
// the low byte of the last failure's status (255 when that byte is 0, so
// that a failure never looks like success). No argument, or "-help"
// anywhere, prints the usage line instead and exits as status 1001 does
// (233). A version option (any letter case) must come first; it prints the
// version lines, ignores the rest and exits 0.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/kernel/ostrelagent_korva_agent_ioctl.h"
#include "platform/korva/korva.h"
#include "platform/qel/qel.h"
#include "platform/utl/strutl.h"
#include "platform/vek/vek.h"
#include "tools/korva_agent/korva_agent_verid.h"

namespace {

const char FLAG_AUTOMATIC_KORVA_ROOT[] = "-automatic_korva_root";
const char FLAG_DYNAMIC_KORVA_ROOT[] = "-dynamic_korva_root";
const char FLAG_EXTENDED_NAMING_SYMBOL[] = "-extended_naming_symbol";
const char FLAG_DYNAMIC_NAMING_SYMBOL[] = "-dynamic_extended_naming_symbol";
const char FLAG_HELP[] = "-help";

const char FLAG_VER[] = "-Ver";
const char FLAG_VERSION[] = "-Version";
const char FLAG_VERALL[] = "-VerAll";

// The status that the usage line ends the program with.
constexpr int STATUS_USAGE = 1001;

struct Query_Option {
    const char* flag;
    int (*query)(korva_viewroot_type, std::string&);
    korva_viewroot_type type;
};

// In the order an argument is tested against them.
const Query_Option QUERY_OPTIONS[] = {
    {FLAG_AUTOMATIC_KORVA_ROOT, KORVA_Agent_Ioctl::get_korva_root, KORVA_VIEWROOT_AUTOMATIC},
    {FLAG_DYNAMIC_KORVA_ROOT, KORVA_Agent_Ioctl::get_korva_root, KORVA_VIEWROOT_DYNAMIC},
    {FLAG_EXTENDED_NAMING_SYMBOL, KORVA_Agent_Ioctl::get_extended_naming_suffix, KORVA_VIEWROOT_AUTOMATIC},
    {FLAG_DYNAMIC_NAMING_SYMBOL, KORVA_Agent_Ioctl::get_extended_naming_suffix, KORVA_VIEWROOT_DYNAMIC},
};

const Query_Option* query_option(const char* argument) {
    for (const Query_Option& option : QUERY_OPTIONS) {
        if (std::strcmp(argument, option.flag) == 0) return &option;
    }
    return nullptr;
}

std::string usage_text() {
    std::string text = "Usage: korva_agent [";
    const char* const listed[] = {FLAG_AUTOMATIC_KORVA_ROOT, FLAG_EXTENDED_NAMING_SYMBOL, FLAG_DYNAMIC_KORVA_ROOT,
                                  FLAG_DYNAMIC_NAMING_SYMBOL, FLAG_HELP};
    for (const char* flag : listed) {
        if (flag != listed[0]) text += "] [";
        text += flag;
    }
    return text + "]";
}

int usage() {
    std::fputs((usage_text() + "\n").c_str(), stdout);
    std::fflush(stdout);
    return STATUS_USAGE;
}

// Writes "option=value" and flushes it. 0 once the line is out; else the
// status of the write's failure, since an answer that never reached the
// caller is no success.
int write_response(const char* option, const std::string& value) {
    const std::string line = std::string(option) + "=" + value + "\n";
    errno = 0;
    const bool written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
    if (std::fflush(stdout) == 0 && written && !std::ferror(stdout)) return 0;
    const int error = errno;
    std::clearerr(stdout);
    const int status = qel_errno2status(error);
    return status != 0 ? status : QEL_ST_INTERNAL;
}

bool is_version_option(const char* argument) {
    return strutl_stricoll(argument, FLAG_VER) == 0 || strutl_stricoll(argument, FLAG_VERSION) == 0 ||
           strutl_stricoll(argument, FLAG_VERALL) == 0;
}

void print_versions(const char* option) {
    korva_agent_print_verid();
    if (strutl_stricoll(option, FLAG_VERALL) == 0) {
        libhalvicvek_print_verid();
        libhalvicqel_print_verid();
        libhalvickorva_print_verid();
    }
}

// The status the program ends with, before it is cut to an exit status.
int run(int argc, char** argv) {
    if (argc < 2) return usage();
    if (is_version_option(argv[1])) {
        print_versions(argv[1]);
        return 0;
    }
    // Before any query: "-help" anywhere means the usage line alone.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], FLAG_HELP) == 0) return usage();
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const Query_Option* option = query_option(argv[i]);
        if (option == nullptr) continue;
        std::string value;
        int query_status = option->query(option->type, value);
        if (query_status == 0) query_status = write_response(option->flag, value);
        if (query_status != 0) status = query_status;
    }
    return status;
}

// Only the low byte of an exit status reaches the parent: a failure whose
// byte is 0 would read as success, so it exits 255 instead.
int exit_status_of(int status) {
    const int low_byte = status & 0xff;
    return status != 0 && low_byte == 0 ? 0xff : low_byte;
}

} // namespace

int main(int argc, char** argv) {
    return exit_status_of(run(argc, argv));
}
