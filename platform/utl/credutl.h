// Credential identities ("sids"): the owner and group of files and the
// identity of the running process, in a 34-byte form shared with the view
// database, the file-status record and the kernel protocol.
//
// Layout of a sid (our own; every field big-endian):
//   byte 0      revision, always 1
//   byte 1      number of 32-bit sub-identifiers (0 to 6)
//   bytes 2-7   48-bit authority
//   bytes 8-    the sub-identifiers, 4 bytes each
//   the rest    zero
// A user is authority 22 with the sub-identifiers {1, uid}; a group is
// authority 22 with {2, gid}. CREDUTL_SID_DONTCARE ("S-1-0-0") has one
// sub-identifier. A sid whose second byte is 0 or 1 names nobody: it is unset.
//
// Results are 0 on success and -1 with errno set on failure unless said
// otherwise.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

constexpr size_t CREDUTL_SID_SIZE = 34;
// Longest text form of a sid, without its terminating NUL.
constexpr size_t CREDUTL_SID_STR_MAX = 184;
// Supplementary groups kept in a credential record.
constexpr size_t CREDUTL_MAX_GROUPS = 64;

struct credutl_sid_s {
    unsigned char bytes[CREDUTL_SID_SIZE];
};
typedef credutl_sid_s credutl_sid_t;

// The "any owner" identity: written where an owner or group is left open.
inline constexpr credutl_sid_t CREDUTL_SID_DONTCARE = {{1, 1}};

// The identities of one process: its user, its primary group and its
// supplementary groups.
struct credutl_sid_credentials_s {
    credutl_sid_t user_sid;
    credutl_sid_t group_sid;
    uint32_t group_count;  // entries used in `groups`
    // Set when the process had more supplementary groups than `groups`
    // holds; credutl_has_group_sid then asks the system for the rest.
    uint32_t groups_truncated;
    credutl_sid_t groups[CREDUTL_MAX_GROUPS];
};
typedef credutl_sid_credentials_s credutl_sid_credentials_t;

// Sids of a user and of a group id.
void credutl_uid_to_sid(uid_t uid, credutl_sid_t* sid);
void credutl_gid_to_sid(gid_t gid, credutl_sid_t* sid);

// The user or group id that a sid names; -1 with EINVAL when it names none.
int credutl_sid_to_uid(const credutl_sid_t* sid, uid_t* uid);
int credutl_sid_to_gid(const credutl_sid_t* sid, gid_t* gid);

// Number of significant bytes of a sid (8 plus 4 per sub-identifier); the
// view database stores no more than that.
size_t credutl_sid_length(const credutl_sid_t* sid);

// True when the sid names a user or group (neither zero nor DONTCARE).
bool credutl_sid_is_set(const credutl_sid_t* sid);

// True when the two sids are the same identity.
bool credutl_sid_eq(const credutl_sid_t* a, const credutl_sid_t* b);

// Text form "S-<revision>-<authority>-<sub>-<sub>...", decimal numbers, at
// most CREDUTL_SID_STR_MAX characters: -1 with ERANGE when `size` is too small.
int credutl_sid_to_str(const credutl_sid_t* sid, char* buf, size_t size);

// Reads the text form back ("S-0-0", the text of the all-zero sid, too).
// Strict: the whole text must be one sid (no
// blanks, no trailing characters, numbers in range, at most six
// sub-identifiers); otherwise -1 with EINVAL and `sid` is unchanged.
int credutl_str_to_sid(const char* text, credutl_sid_t* sid);

// The identities of the running process, from its real user and group ids
// and its supplementary groups.
int credutl_get_sid_credentials(credutl_sid_credentials_t* creds);

// The identities of process `pid` acting as user `uid` and group `gid` (the
// file-system ids a kernel names beside a request): its supplementary
// groups as the system lists them now, at most CREDUTL_MAX_GROUPS (none
// when the process has gone).
int credutl_get_process_sid_credentials(pid_t pid, uid_t uid, gid_t gid, credutl_sid_credentials_t* creds);

// The sid of the process's own real user id (computed once; the pointer
// stays valid for the life of the process).
const credutl_sid_t* credutl_getusid();

// True when `creds` are those of the user `sid`.
bool credutl_has_user_sid(const credutl_sid_credentials_t* creds, const credutl_sid_t* sid);

// True when `sid` is the primary group or one of the supplementary groups
// of `creds`.
bool credutl_has_group_sid(const credutl_sid_credentials_t* creds, const credutl_sid_t* sid);
