#include "lib/client/rclient_base64.h"

#include <array>
#include <cstring>

namespace {

const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const signed char NOT_IN_ALPHABET = -1;

// The value of each character, NOT_IN_ALPHABET for the others.
const std::array<signed char, 256>& reverse_table() {
    static const std::array<signed char, 256> table = [] {
        std::array<signed char, 256> t;
        t.fill(NOT_IN_ALPHABET);
        for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(ALPHABET[i])] = static_cast<signed char>(i);
        t[static_cast<unsigned char>(' ')] = t[static_cast<unsigned char>('+')];
        return t;
    }();
    return table;
}

} // namespace

std::string Base64::encode(const char* bytes) {
    const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes != nullptr ? bytes : "");
    size_t length = std::strlen(reinterpret_cast<const char*>(in));
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        unsigned group = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        out += ALPHABET[(group >> 18) & 63];
        out += ALPHABET[(group >> 12) & 63];
        out += ALPHABET[(group >> 6) & 63];
        out += ALPHABET[group & 63];
    }
    if (i < length) {
        unsigned group = in[i] << 16;
        if (i + 1 < length) group |= in[i + 1] << 8;
        out += ALPHABET[(group >> 18) & 63];
        out += ALPHABET[(group >> 12) & 63];
        out += i + 1 < length ? ALPHABET[(group >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::unique_ptr<char[]> Base64::decode(const char* text) {
    const std::array<signed char, 256>& table = reverse_table();
    const char* p = text != nullptr ? text : "";
    std::unique_ptr<char[]> out(new char[std::strlen(p) / 4 * 3 + 3]);
    size_t length = 0;
    unsigned group = 0;
    size_t count = 0; // characters of the alphabet read
    for (; *p != '\0' && *p != '='; ++p) {
        signed char value = table[static_cast<unsigned char>(*p)];
        if (value == NOT_IN_ALPHABET) continue;
        group = (group << 6) | static_cast<unsigned>(value);
        if (++count % 4 == 0) {
            out[length++] = static_cast<char>(group >> 16);
            out[length++] = static_cast<char>(group >> 8);
            out[length++] = static_cast<char>(group);
            group = 0;
        }
    }
    size_t tail = count % 4;
    if (*p == '=' && tail < 2) return nullptr;
    // Two characters give one byte, three give two; a single one gives none.
    if (tail == 2) {
        out[length++] = static_cast<char>(group >> 4);
    } else if (tail == 3) {
        out[length++] = static_cast<char>(group >> 10);
        out[length++] = static_cast<char>(group >> 2);
    }
    out[length] = '\0';
    return out;
}
