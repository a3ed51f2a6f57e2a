#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/qel/qel.h"
#include "platform/imsg/imsg_verid.h"

namespace {

constexpr int kCount = 117;

// Texts by position; null where the catalog has no message.
struct Texts {
    const char* at[kCount] = {};
    unsigned short numbers[kCount] = {};

    constexpr Texts() {
        at[QEL_MSG_TEXT] = "%s";
        at[QEL_MSG_OPEN] = "Unable to open \"%s\": %s\n";
        at[QEL_MSG_CLOSE] = "Unable to close \"%s\": %s\n";
        at[QEL_MSG_READ] = "Unable to read \"%s\": %s\n";
        at[QEL_MSG_WRITE] = "Unable to write \"%s\": %s\n";
        at[QEL_MSG_UNLINK] = "Unable to unlink \"%s\": %s\n";
        at[QEL_MSG_REMOVE] = "Unable to remove \"%s\": %s\n";
        at[QEL_MSG_COPY] = "Unable to copy \"%s\" to \"%s\": %s\n";
        at[QEL_MSG_STAT] = "Unable to get the status of \"%s\": %s\n";
        at[QEL_MSG_MKDIR] = "Unable to create directory \"%s\": %s\n";
        at[QEL_MSG_ACCESS] = "Unable to access \"%s\": %s\n";
        at[QEL_MSG_OPENDIR] = "Unable to open directory \"%s\": %s\n";
        at[QEL_MSG_READDIR] = "Unable to read directory \"%s\": %s\n";
        at[QEL_MSG_TRUNCATE] = "Unable to truncate \"%s\": %s\n";
        at[QEL_MSG_INTERNAL] = "Internal error in %s at line %d.\n";
        at[QEL_MSG_CALL_FAILED] = "Error from %s: %s\n";
        at[QEL_MSG_CALL_ON_NAME_FAILED] = "Error from %s on \"%s\": %s\n";
        at[QEL_MSG_RENAME] = "Unable to rename \"%s\" to \"%s\": %s\n";
        at[QEL_MSG_CHMOD] = "Unable to change the mode of \"%s\": %s\n";
        at[QEL_MSG_CREATE] = "Unable to create file \"%s\": %s\n";
        at[QEL_MSG_COPY_TO] = "Unable to copy to \"%s\" from \"%s\": %s\n";
        for (int i = 0; i < kCount; ++i) numbers[i] = static_cast<unsigned short>(i + 1);
    }
};

constexpr Texts kTexts;

std::string format_catalog(const void* catalog, int index, va_list args) {
    va_list again;
    va_copy(again, args);
    char small[512];
    int needed = imsg_vsnprintf(small, sizeof small, catalog, index, args);
    std::string text;
    if (needed < 0) {
        text = "(message " + std::to_string(index) + " could not be loaded)\n";
    } else if (static_cast<size_t>(needed) < sizeof small) {
        text = small;
    } else {
        size_t size = static_cast<size_t>(needed) + 1 < IMSG_MAX_TEXT ? static_cast<size_t>(needed) + 1
                                                                     : IMSG_MAX_TEXT;
        std::unique_ptr<char[]> big(new char[size]);
        imsg_vsnprintf(big.get(), size, catalog, index, again);
        text = big.get();
    }
    va_end(again);
    return text;
}

// format_catalog with the arguments given directly.
std::string format_catalog_of(const void* catalog, int index, ...) {
    va_list args;
    va_start(args, index);
    std::string text = format_catalog(catalog, index, args);
    va_end(args);
    return text;
}

const char* const kName = "libhalvicqel";

}  // namespace

const _imsg_message_table_t _qel_cmsg_qel_msg_table = {
    "qel", "qel_cmsg", 1, kCount, kTexts.at, kTexts.numbers,
};

void qel_log_int_error(const char* category, const char* source, int line, const void* catalog,
                       int index, ...) {
    // Sized to the text: a source name may be of any length.
    const std::string head = format_catalog_of(&_qel_cmsg_qel_msg_table, QEL_MSG_INTERNAL,
                                               source != nullptr ? source : "?", line);
    std::string report;
    if (category != nullptr && category[0] != '\0') report = std::string("[") + category + "] ";
    report += head;
    if (catalog != nullptr) {
        va_list args;
        va_start(args, index);
        report += format_catalog(catalog, index, args);
        va_end(args);
    }
    imsg_print(IMSG_KIND_ERR, "%s", -1, report.c_str());
}

void libhalvicqel_print_verid() {
    imsg_print_verid(kName);
}

int libhalvicqel_sprintf_verid(char* buf) {
    return imsg_sprintf_verid(buf, kName);
}
