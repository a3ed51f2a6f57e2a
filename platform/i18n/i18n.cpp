#include "platform/i18n/i18n.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/imsg/imsg_verid.h"

struct i18n_charset_s {
    int which;
};

namespace {

const char* const kName = "libhalvici18n";

const i18n_charset_s kLocal = {I18N_CHARSET_SPECIAL_LOCAL};
const i18n_charset_s kUtf8 = {I18N_CHARSET_SPECIAL_UTF8};

// The iconv name of a set, looked up at each conversion: the locale may be
// set after the set was opened.
const char* iconv_name(i18n_charset_t set) {
    return set->which == I18N_CHARSET_SPECIAL_UTF8 ? "UTF-8" : nl_langinfo(CODESET);
}

char* copy_out(const std::string& text, size_t* out_length) {
    char* result = static_cast<char*>(std::malloc(text.size() + 1));
    if (result == nullptr) return nullptr;
    std::memcpy(result, text.data(), text.size());
    result[text.size()] = '\0';
    if (out_length != nullptr) *out_length = text.size();
    return result;
}

} // namespace

i18n_charset_t i18n_charset_open_special(int which) {
    switch (which) {
    case I18N_CHARSET_SPECIAL_LOCAL:
        return &kLocal;
    case I18N_CHARSET_SPECIAL_UTF8:
        return &kUtf8;
    default:
        return nullptr;
    }
}

char* i18n_iconv_easy(i18n_charset_t from, const char* text, size_t length, i18n_charset_t to,
                      int /*flags*/, size_t* out_length) {
    if (from == nullptr || to == nullptr || (text == nullptr && length != 0)) return nullptr;
    iconv_t cd = iconv_open(iconv_name(to), iconv_name(from));
    if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
    std::string out;
    char* in = const_cast<char*>(text);
    size_t in_left = length;
    char block[256];
    bool ok = true;
    // The final call with no input flushes a stateful encoding's shift state.
    for (bool flushing = false; ok;) {
        char* put = block;
        size_t room = sizeof block;
        size_t rc = flushing ? iconv(cd, nullptr, nullptr, &put, &room)
                             : iconv(cd, &in, &in_left, &put, &room);
        out.append(block, static_cast<size_t>(put - block));
        if (rc == static_cast<size_t>(-1)) {
            // E2BIG only asks for more room; anything else is a text that
            // does not convert.
            ok = errno == E2BIG;
        } else if (flushing) {
            break;
        } else if (in_left == 0) {
            flushing = true;
        }
    }
    iconv_close(cd);
    return ok ? copy_out(out, out_length) : nullptr;
}

void i18n_iconv_free(char* converted) {
    std::free(converted);
}

void libhalvici18n_print_verid() {
    imsg_print_verid(kName);
}

int libhalvici18n_sprintf_verid(char* buf) {
    return imsg_sprintf_verid(buf, kName);
}
