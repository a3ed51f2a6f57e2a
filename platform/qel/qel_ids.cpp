#include <sys/random.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/qel/qel.h"

namespace {

constexpr size_t kTextLength = 36;
constexpr uint32_t kFnvOffsetBasis = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;
// The longest word qel_fscanf_* reads.
constexpr int kMaxWord = 128;

bool is_dash_position(size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

char* to_text(const unsigned char* bytes, char* buf) {
    static const char kHex[] = "0123456789abcdef";
    char* p = buf;
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
        *p++ = kHex[bytes[i] >> 4];
        *p++ = kHex[bytes[i] & 0xF];
    }
    *p = '\0';
    return buf;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses the whole text into 16 bytes; false when it is not exactly one id.
bool from_text(const char* text, unsigned char* bytes) {
    if (text == nullptr || strnlen(text, kTextLength + 1) != kTextLength) return false;
    unsigned char parsed[16];
    size_t n = 0;
    for (size_t i = 0; i < kTextLength; i += 2) {
        if (is_dash_position(i)) {
            if (text[i] != '-') return false;
            ++i;
        }
        int high = hex_value(text[i]);
        int low = hex_value(text[i + 1]);
        if (high < 0 || low < 0) return false;
        parsed[n++] = static_cast<unsigned char>(high << 4 | low);
    }
    std::memcpy(bytes, parsed, sizeof parsed);
    return true;
}

int scan_word(FILE* file, unsigned char* bytes) {
    char word[kMaxWord + 1];
    if (std::fscanf(file, " %128s", word) != 1) return EOF;
    // A longer word: drop the rest of it, so that the next read starts
    // behind it, and refuse it.
    int next = std::fgetc(file);
    if (next != EOF && !std::isspace(next)) {
        while (next != EOF && !std::isspace(next)) next = std::fgetc(file);
        if (next != EOF) std::ungetc(next, file);
        return 0;
    }
    if (next != EOF) std::ungetc(next, file);
    return from_text(word, bytes) ? 1 : 0;
}

uint32_t fnv1a(const unsigned char* bytes, size_t length) {
    uint32_t h = kFnvOffsetBasis;
    for (size_t i = 0; i < length; ++i) {
        h ^= bytes[i];
        h *= kFnvPrime;
    }
    return h;
}

}  // namespace

bool qel_oid_eq(const qel_oid_s* a, const qel_oid_s* b) {
    return std::memcmp(a->bytes, b->bytes, sizeof a->bytes) == 0;
}

bool qel_uuid_eq(const qel_uuid_s* a, const qel_uuid_s* b) {
    return std::memcmp(a->bytes, b->bytes, sizeof a->bytes) == 0;
}

int qel_oid_cmp(const qel_oid_s* a, const qel_oid_s* b) {
    return std::memcmp(a->bytes, b->bytes, sizeof a->bytes);
}

int qel_uuid_cmp(const qel_uuid_s* a, const qel_uuid_s* b) {
    return std::memcmp(a->bytes, b->bytes, sizeof a->bytes);
}

void qel_uuid_gen(qel_uuid_s* uuid) {
    unsigned char* b = uuid->bytes;
    size_t got = 0;
    while (got < sizeof uuid->bytes) {
        ssize_t n = getrandom(b + got, sizeof uuid->bytes - got, 0);
        if (n > 0) got += static_cast<size_t>(n);
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
}

void qel_oid_to_uuid(const qel_oid_s* oid, qel_uuid_s* uuid) {
    std::memcpy(uuid->bytes, oid->bytes, sizeof uuid->bytes);
}

char* qel_oid_to_str(const qel_oid_s* oid, char* buf) {
    return to_text(oid->bytes, buf);
}

char* qel_uuid_to_str(const qel_uuid_s* uuid, char* buf) {
    return to_text(uuid->bytes, buf);
}

char* qel_oid_to_dstr(const qel_oid_s* oid, char* buf) {
    return to_text(oid->bytes, buf);
}

char* qel_uuid_to_dstr(const qel_uuid_s* uuid, char* buf) {
    return to_text(uuid->bytes, buf);
}

qel_status_t qel_str_to_oid(const char* text, qel_oid_s* out) {
    return from_text(text, out->bytes) ? QEL_ST_OK : QEL_ST_INVALID;
}

qel_status_t qel_str_to_uuid(const char* text, qel_uuid_s* out) {
    return from_text(text, out->bytes) ? QEL_ST_OK : QEL_ST_INVALID;
}

int qel_fscanf_oid(FILE* file, qel_oid_s* out) {
    return scan_word(file, out->bytes);
}

int qel_fscanf_uuid(FILE* file, qel_uuid_s* out) {
    return scan_word(file, out->bytes);
}

uint32_t qel_oid_to_hash32(const qel_oid_s* oid) {
    return fnv1a(oid->bytes, sizeof oid->bytes);
}

uint32_t qel_uuid_to_hash32(const qel_uuid_s* uuid) {
    return fnv1a(uuid->bytes, sizeof uuid->bytes);
}
