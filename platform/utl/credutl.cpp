#include "platform/utl/credutl.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned char kRevision = 1;
constexpr size_t kHeaderBytes = 8;
constexpr size_t kMaxSubIds = 6;  // 8 + 6 * 4 = 32 <= 34
constexpr uint64_t kUnixAuthority = 22;
constexpr uint32_t kUserKind = 1;
constexpr uint32_t kGroupKind = 2;
constexpr uint64_t kMaxAuthority = (uint64_t{1} << 48) - 1;

void put_u32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

uint32_t get_u32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t get_authority(const credutl_sid_t* sid) {
    uint64_t a = 0;
    for (size_t i = 2; i < kHeaderBytes; ++i) a = (a << 8) | sid->bytes[i];
    return a;
}

void build(credutl_sid_t* sid, uint64_t authority, const uint32_t* subs, size_t count) {
    std::memset(sid->bytes, 0, sizeof sid->bytes);
    sid->bytes[0] = kRevision;
    sid->bytes[1] = static_cast<unsigned char>(count);
    for (size_t i = 0; i < 6; ++i) {
        sid->bytes[2 + i] = static_cast<unsigned char>(authority >> (8 * (5 - i)));
    }
    for (size_t i = 0; i < count; ++i) put_u32(sid->bytes + kHeaderBytes + 4 * i, subs[i]);
}

size_t sub_count(const credutl_sid_t* sid) {
    size_t n = sid->bytes[1];
    return n > kMaxSubIds ? kMaxSubIds : n;
}

int unix_id(const credutl_sid_t* sid, uint32_t kind, uint32_t* id) {
    if (sid->bytes[0] != kRevision || sid->bytes[1] != 2 || get_authority(sid) != kUnixAuthority ||
        get_u32(sid->bytes + kHeaderBytes) != kind) {
        errno = EINVAL;
        return -1;
    }
    *id = get_u32(sid->bytes + kHeaderBytes + 4);
    return 0;
}

// Reads a decimal number of at most `max` at *p and advances *p; false when
// there is no digit or the value is too large.
bool read_number(const char** p, uint64_t max, uint64_t* out) {
    const char* s = *p;
    if (*s < '0' || *s > '9') return false;
    uint64_t v = 0;
    while (*s >= '0' && *s <= '9') {
        v = v * 10 + static_cast<uint64_t>(*s - '0');
        if (v > max) return false;
        ++s;
    }
    *p = s;
    *out = v;
    return true;
}

// Parses the whole of `text` as a sid into `*sid`; false (and `*sid`
// untouched) when it is not exactly one sid.
bool parse_sid(const char* text, credutl_sid_t* sid) {
    // The text of the all-zero identity, which a file status holds before
    // anyone set it.
    if (std::strcmp(text, "S-0-0") == 0) {
        *sid = credutl_sid_t{};
        return true;
    }
    if (text[0] != 'S' || text[1] != '-' || std::strlen(text) > CREDUTL_SID_STR_MAX) return false;
    const char* p = text + 2;
    uint64_t revision = 0;
    uint64_t authority = 0;
    if (!read_number(&p, 255, &revision) || revision != kRevision) return false;
    if (*p++ != '-' || !read_number(&p, kMaxAuthority, &authority)) return false;
    uint32_t subs[kMaxSubIds];
    size_t count = 0;
    while (*p == '-') {
        ++p;
        uint64_t v = 0;
        if (count == kMaxSubIds || !read_number(&p, UINT32_MAX, &v)) return false;
        subs[count++] = static_cast<uint32_t>(v);
    }
    if (*p != '\0') return false;
    build(sid, authority, subs, count);
    return true;
}

bool process_in_group(gid_t gid) {
    int n = getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    n = getgroups(n, groups.data());
    for (int i = 0; i < n; ++i) {
        if (groups[static_cast<size_t>(i)] == gid) return true;
    }
    return false;
}

}  // namespace

void credutl_uid_to_sid(uid_t uid, credutl_sid_t* sid) {
    const uint32_t subs[2] = {kUserKind, static_cast<uint32_t>(uid)};
    build(sid, kUnixAuthority, subs, 2);
}

void credutl_gid_to_sid(gid_t gid, credutl_sid_t* sid) {
    const uint32_t subs[2] = {kGroupKind, static_cast<uint32_t>(gid)};
    build(sid, kUnixAuthority, subs, 2);
}

int credutl_sid_to_uid(const credutl_sid_t* sid, uid_t* uid) {
    uint32_t id = 0;
    if (unix_id(sid, kUserKind, &id) != 0) return -1;
    *uid = static_cast<uid_t>(id);
    return 0;
}

int credutl_sid_to_gid(const credutl_sid_t* sid, gid_t* gid) {
    uint32_t id = 0;
    if (unix_id(sid, kGroupKind, &id) != 0) return -1;
    *gid = static_cast<gid_t>(id);
    return 0;
}

size_t credutl_sid_length(const credutl_sid_t* sid) {
    return kHeaderBytes + 4 * sub_count(sid);
}

bool credutl_sid_is_set(const credutl_sid_t* sid) {
    return sid->bytes[1] >= 2;
}

bool credutl_sid_eq(const credutl_sid_t* a, const credutl_sid_t* b) {
    size_t len = credutl_sid_length(a);
    return len == credutl_sid_length(b) && std::memcmp(a->bytes, b->bytes, len) == 0;
}

int credutl_sid_to_str(const credutl_sid_t* sid, char* buf, size_t size) {
    char text[CREDUTL_SID_STR_MAX + 1];
    int len = std::snprintf(text, sizeof text, "S-%u-%llu", static_cast<unsigned>(sid->bytes[0]),
                            static_cast<unsigned long long>(get_authority(sid)));
    size_t n = sub_count(sid);
    for (size_t i = 0; i < n; ++i) {
        len += std::snprintf(text + len, sizeof text - static_cast<size_t>(len), "-%u",
                             static_cast<unsigned>(get_u32(sid->bytes + kHeaderBytes + 4 * i)));
    }
    if (buf == nullptr || static_cast<size_t>(len) >= size) {
        errno = ERANGE;
        return -1;
    }
    std::memcpy(buf, text, static_cast<size_t>(len) + 1);
    return 0;
}

int credutl_str_to_sid(const char* text, credutl_sid_t* sid) {
    if (text == nullptr || sid == nullptr || !parse_sid(text, sid)) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

int credutl_get_sid_credentials(credutl_sid_credentials_t* creds) {
    if (creds == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::memset(creds, 0, sizeof *creds);
    credutl_uid_to_sid(getuid(), &creds->user_sid);
    credutl_gid_to_sid(getgid(), &creds->group_sid);
    int n = getgroups(0, nullptr);
    if (n < 0) return -1;
    std::vector<gid_t> groups(static_cast<size_t>(n) + 1);
    n = getgroups(n, groups.data());
    if (n < 0) return -1;
    for (int i = 0; i < n; ++i) {
        if (creds->group_count == CREDUTL_MAX_GROUPS) {
            creds->groups_truncated = 1;
            break;
        }
        credutl_gid_to_sid(groups[static_cast<size_t>(i)], &creds->groups[creds->group_count++]);
    }
    return 0;
}

int credutl_get_process_sid_credentials(pid_t pid, uid_t uid, gid_t gid, credutl_sid_credentials_t* creds) {
    if (creds == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::memset(creds, 0, sizeof *creds);
    credutl_uid_to_sid(uid, &creds->user_sid);
    credutl_gid_to_sid(gid, &creds->group_sid);
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/status", static_cast<long>(pid));
    FILE* status = std::fopen(path, "re");
    if (status == nullptr) return 0;
    char line[4096];
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "Groups:", 7) != 0) continue;
        char* at = line + 7;
        for (;;) {
            char* end = nullptr;
            unsigned long group = std::strtoul(at, &end, 10);
            if (end == at || creds->group_count == CREDUTL_MAX_GROUPS) break;
            credutl_gid_to_sid(static_cast<gid_t>(group), &creds->groups[creds->group_count++]);
            at = end;
        }
        break;
    }
    std::fclose(status);
    return 0;
}

const credutl_sid_t* credutl_getusid() {
    static const credutl_sid_t sid = [] {
        credutl_sid_t s;
        credutl_uid_to_sid(getuid(), &s);
        return s;
    }();
    return &sid;
}

bool credutl_has_user_sid(const credutl_sid_credentials_t* creds, const credutl_sid_t* sid) {
    return creds != nullptr && sid != nullptr && credutl_sid_eq(&creds->user_sid, sid);
}

bool credutl_has_group_sid(const credutl_sid_credentials_t* creds, const credutl_sid_t* sid) {
    if (creds == nullptr || sid == nullptr) return false;
    if (credutl_sid_eq(&creds->group_sid, sid)) return true;
    for (uint32_t i = 0; i < creds->group_count && i < CREDUTL_MAX_GROUPS; ++i) {
        if (credutl_sid_eq(&creds->groups[i], sid)) return true;
    }
    gid_t gid = 0;
    return creds->groups_truncated != 0 && credutl_sid_to_gid(sid, &gid) == 0 && process_in_group(gid);
}
