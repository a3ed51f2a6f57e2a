// Base services: object ids and uuids with their text forms and hashes,
// base statuses and their texts, the 128-byte file-status record, text
// modes, product directories, compressed configuration records, the base
// message catalog and internal-error reports.
#pragma once

#include <stddef.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

#include "platform/imsg/imsg.h"
#include "platform/utl/credutl.h"

// ---- statuses ----------------------------------------------------------------

// A base status: 0 is success; the values below are the base library's.
typedef int qel_status_t;

constexpr qel_status_t QEL_ST_OK = 0;
constexpr qel_status_t QEL_ST_NO_MEMORY = 1001;
constexpr qel_status_t QEL_ST_NOT_FOUND = 1002;
constexpr qel_status_t QEL_ST_NOT_SUPPORTED = 1007;
constexpr qel_status_t QEL_ST_INTERNAL = 1008;
constexpr qel_status_t QEL_ST_CANNOT_CREATE = 1009;
constexpr qel_status_t QEL_ST_NO_VIEW_ROOT = 1011;
constexpr qel_status_t QEL_ST_NOTHING_TO_DO = 1013;
constexpr qel_status_t QEL_ST_NOT_VISIBLE = 1014;
constexpr qel_status_t QEL_ST_NO_CLEARTEXT = 1015;
constexpr qel_status_t QEL_ST_NO_SUCH_VOB = 1016;
constexpr qel_status_t QEL_ST_INTERRUPTED = 1019;
constexpr qel_status_t QEL_ST_TIMED_OUT = 1020;
constexpr qel_status_t QEL_ST_READ_ONLY_STATE = 1022;
constexpr qel_status_t QEL_ST_NEEDS_REFORMAT = 1023;
constexpr qel_status_t QEL_ST_STALE_GENERATION = 1033;
constexpr qel_status_t QEL_ST_SHUTDOWN = 1046;
constexpr qel_status_t QEL_ST_ACCESS_DENIED = 1051;
constexpr qel_status_t QEL_ST_NO_ENTRY = 1052;
constexpr qel_status_t QEL_ST_UNEXPECTED_TYPE = 1055;
constexpr qel_status_t QEL_ST_NO_RESOURCES = 1062;
constexpr qel_status_t QEL_ST_NOT_PERMITTED = 1063;
constexpr qel_status_t QEL_ST_EXISTS = 1067;
constexpr qel_status_t QEL_ST_CROSS_VOB = 1068;
constexpr qel_status_t QEL_ST_NOT_DIRECTORY = 1070;
constexpr qel_status_t QEL_ST_IS_DIRECTORY = 1071;
constexpr qel_status_t QEL_ST_INVALID = 1072;
constexpr qel_status_t QEL_ST_UNREACHABLE = 1078;
constexpr qel_status_t QEL_ST_READ_ONLY = 1080;
constexpr qel_status_t QEL_ST_TOO_MANY_LINKS = 1083;
constexpr qel_status_t QEL_ST_TOO_LONG = 1084;
constexpr qel_status_t QEL_ST_NOT_EMPTY = 1085;
constexpr qel_status_t QEL_ST_STALE = 1087;
constexpr qel_status_t QEL_ST_BUSY = 1088;

// A short English text for a status. 0 gives "Success"; a value below 1000
// is taken as an errno value and gets the system's text. The text is
// constant, or (for unknown values and errno texts) belongs to the calling
// thread until its next call.
const char* qel_strerror(qel_status_t status);

// The status of an errno value (0 for 0, 1008 for one without a status of
// its own) and the errno value of a status (0 for 0; values below 1000 pass
// through; EIO for a status without an errno of its own). Both come from one
// table.
qel_status_t qel_errno2status(int err);
int qel_status2errno(qel_status_t status);

// ---- ids ---------------------------------------------------------------------

// A 16-byte object id and a 16-byte uuid (of a VOB replica or of the view).
// All-zero is the null id.
struct qel_oid_s {
    unsigned char bytes[16];
};
struct qel_uuid_s {
    unsigned char bytes[16];
};
typedef qel_oid_s qel_oid_t;
typedef qel_uuid_s qel_uuid_t;

inline constexpr qel_oid_s QEL_OID_NULL = {};
inline constexpr qel_uuid_s QEL_UUID_NULL = {};

// A database id inside the view database; 0 names nothing.
typedef uint32_t qel_dbid_t;
constexpr qel_dbid_t QEL_DBID_NULL = 0;

typedef int qel_boolean_t;

// The kind of a versioned object (element, version, directory element,
// directory version, symbolic link, the view-private kinds ...).
typedef uint32_t vob_mtype_t;

// The VOB operation that changed an object (checkout, checkin, rename ...),
// as invalidations of the kernel's caches name their cause.
typedef uint32_t vob_op_t;

// The transaction id that a kernel request carries and its reply echoes.
typedef uint32_t xid_t;

// A path name in a fixed buffer.
constexpr size_t QEL_PNAME_MAX = 1024;
typedef char qel_pname_t[QEL_PNAME_MAX];

bool qel_oid_eq(const qel_oid_s* a, const qel_oid_s* b);
bool qel_uuid_eq(const qel_uuid_s* a, const qel_uuid_s* b);
// Byte order: negative, 0 or positive like memcmp.
int qel_oid_cmp(const qel_oid_s* a, const qel_oid_s* b);
int qel_uuid_cmp(const qel_uuid_s* a, const qel_uuid_s* b);

// A new random uuid (version 4), never the null uuid.
void qel_uuid_gen(qel_uuid_s* uuid);

// The same 16 bytes as a uuid.
void qel_oid_to_uuid(const qel_oid_s* oid, qel_uuid_s* uuid);

// Size of a buffer for a text form, with its NUL.
constexpr size_t QEL_OID_STR_SIZE = 37;
constexpr size_t QEL_UUID_STR_SIZE = 37;

// Text forms: the 16 bytes in order as lower-case hex, grouped 8-4-4-4-12
// with '-' (36 characters). It travels to the remote server and into files,
// so it never changes; the display form (_to_dstr) is the same text. `buf`
// must hold QEL_OID_STR_SIZE bytes; returns `buf`.
char* qel_oid_to_str(const qel_oid_s* oid, char* buf);
char* qel_uuid_to_str(const qel_uuid_s* uuid, char* buf);
char* qel_oid_to_dstr(const qel_oid_s* oid, char* buf);
char* qel_uuid_to_dstr(const qel_uuid_s* uuid, char* buf);

// Reads a text form (upper-case hex accepted). Strict: exactly the 36
// characters with the four '-' in place; an empty text, another length,
// a non-hex digit or anything trailing gives 1072 and leaves `*out` alone.
qel_status_t qel_str_to_oid(const char* text, qel_oid_s* out);
qel_status_t qel_str_to_uuid(const char* text, qel_uuid_s* out);

// Reads the next blank-separated word of at most 128 characters from `file`
// and converts it like qel_str_to_oid. Returns 1 when an id was read, 0 when
// the word is not one (or is longer), EOF when the file ends first.
int qel_fscanf_oid(FILE* file, qel_oid_s* out);
int qel_fscanf_uuid(FILE* file, qel_uuid_s* out);

// 32-bit FNV-1a over the 16 bytes. Frozen: container names and cache
// layouts depend on the values.
uint32_t qel_oid_to_hash32(const qel_oid_s* oid);
uint32_t qel_uuid_to_hash32(const qel_uuid_s* uuid);

// ---- file status -----------------------------------------------------------

// File types of the file-status record.
constexpr uint32_t QEL_FTYPE_NONE = 0;  // not known
constexpr uint32_t QEL_FTYPE_REG = 1;   // regular file
constexpr uint32_t QEL_FTYPE_DIR = 2;   // directory
constexpr uint32_t QEL_FTYPE_LNK = 5;   // symbolic link

// A file mode of the base library: the permission bits, set-user-id (0x800),
// set-group-id (0x400) and sticky (0x200), without file-type bits. All ones
// means "not known".
typedef uint32_t qel_fmode_t;

// A time in the file-status record.
struct qel_fstat_time_s {
    uint32_t tv_sec;
    uint32_t tv_usec;
};

// A 64-bit value kept as two 32-bit words, low word first, so that it can sit
// at a 4-byte offset of the record without packing the record (a packed
// member cannot be read safely through a reference). Reads and writes like a
// uint64_t.
struct qel_u64_s {
    uint32_t low;
    uint32_t high;

    constexpr operator uint64_t() const { return uint64_t{high} << 32 | low; }
    constexpr qel_u64_s& operator=(uint64_t value) {
        low = static_cast<uint32_t>(value);
        high = static_cast<uint32_t>(value >> 32);
        return *this;
    }
    constexpr qel_u64_s& operator+=(uint64_t value) { return *this = uint64_t{*this} + value; }
};

// The file status of an object: one 128-byte record for the whole program,
// laid out at fixed offsets (the view database stores it by byte position).
struct qel_fstat_db_s {
    uint32_t type;                 // 0: QEL_FTYPE_*
    qel_fmode_t mode;              // 4
    uint32_t nlink;                // 8: link count
    uint32_t aux;                  // 12: kept with the record as it is
    credutl_sid_t usid;            // 16: owner
    credutl_sid_t gsid;            // 50: group
    qel_u64_s size;                // 84
    uint32_t nodeid;               // 92: node number
    qel_fstat_time_s xtime;        // 96: a further time (the view database keeps a deadline here)
    qel_fstat_time_s atime;        // 104: access
    qel_fstat_time_s mtime;        // 112: modification
    qel_fstat_time_s ctime;        // 120: change
};
typedef qel_fstat_db_s qel_fstat_db_t;

static_assert(sizeof(qel_fstat_db_s) == 128 && alignof(qel_fstat_db_s) == 4,
              "the file status is 128 bytes");
static_assert(offsetof(qel_fstat_db_s, usid) == 16 && offsetof(qel_fstat_db_s, gsid) == 50 &&
                  offsetof(qel_fstat_db_s, size) == 84 && offsetof(qel_fstat_db_s, nodeid) == 92 &&
                  offsetof(qel_fstat_db_s, xtime) == 96 && offsetof(qel_fstat_db_s, atime) == 104 &&
                  offsetof(qel_fstat_db_s, mtime) == 112 && offsetof(qel_fstat_db_s, ctime) == 120,
              "file-status offsets are fixed");

// The file status of `path` (following a final symbolic link when `follow`
// is non-zero): type, mode, link count, owner and group sids, size, the low
// 32 bits of the inode number and the three times; `aux` and `xtime` are 0.
// A failure gives the status of the system error.
qel_status_t qel_get_fstat_db(const char* path, int follow, qel_fstat_db_s* out);

// Mode conversions: the system mode's permission bits (file-type bits
// dropped) and back; "writable" adds the owner's write bit.
qel_fmode_t qel_mode_t_to_fmode_t(mode_t mode);
mode_t qel_fmode_t_to_mode_t(qel_fmode_t fmode);
qel_fmode_t qel_fmode_make_writable(qel_fmode_t fmode);

// ---- text modes --------------------------------------------------------------

// How text files are presented: unchanged, with CR inserted before LF, or
// with CR stripped.
enum qel_text_mode_t {
    QEL_TEXT_MODE_TRANSPARENT = 0,
    QEL_TEXT_MODE_INSERT_CR = 1,
    QEL_TEXT_MODE_STRIP_CR = 2,
};

// Reads a text-mode name ("transparent", "insert_cr", "strip_cr", in any
// letter case): 0, or 1072 for another text.
qel_status_t qel_str_to_text_mode(const char* text, qel_text_mode_t* mode);

// The canonical name of a text mode; null for a value that is none.
const char* qel_text_mode_to_str(qel_text_mode_t mode);

// ---- product directories -------------------------------------------------------

// The product's server directory (the view database's installed dictionary,
// schema-version file and dump program): $NORVANE_SERVER_DIR when set and
// not empty, else the installed data directory.
const char* qel_product_server_dir();

// The host's configuration directory: $NORVANE_HOST_CONFIG_DIR when set and
// not empty, else the installed configuration directory.
const char* qel_product_host_config_dir();

// ---- configuration records -------------------------------------------------------

// A configuration record in its stored form: a header word (the record's
// format), the length of the data and the data. Made with stg_malloc; the
// caller frees the data and then the record with stg_free.
struct _qel_cr_compressed_s {
    uint32_t header;
    uint32_t length;
    void* data;
};
typedef _qel_cr_compressed_s _qel_cr_compressed_t;

// Builds the stored form of a record of format `format` from its `length`
// bytes of text. The text is kept as it is (this implementation stores it
// uncompressed). 0, 1072 for a null text with a length, 1084 for a length
// beyond 32 bits, 1001 when memory runs out.
qel_status_t qel_cr_vx_to_cr_compressed(uint32_t format, const char* text, size_t length,
                                        _qel_cr_compressed_t** out);

// ---- messages -----------------------------------------------------------------

// The base library's catalog. Positions with a text (the rest cannot be
// loaded); "error" is the system's or a status's text:
//    0 "%s" (any text)                    26 mkdir failed (path, error)
//   18 open failed (path, error)          27 access failed (path, error)
//   19 close failed (path, error)         28 opening a directory failed (path, error)
//   20 read failed (path, error)          29 reading a directory failed (path, error)
//   21 write failed (path, error)         30 truncate failed (path, error)
//   22 unlink failed (path, error)        45 internal error (source file, line)
//   23 remove failed (path, error)        46 a call failed (call name, detail)
//   24 copy failed (source, destination, error)
//   25 stat failed (path, error)          47 a call on a name failed (call, name, detail)
//   49 rename failed (old, new, error)    50 chmod failed (path, error)
//   93 creating a file failed (path, error)
//  116 copy failed (destination, source, error)
extern const _imsg_message_table_t _qel_cmsg_qel_msg_table;

constexpr int QEL_MSG_TEXT = 0;
constexpr int QEL_MSG_OPEN = 18;
constexpr int QEL_MSG_CLOSE = 19;
constexpr int QEL_MSG_READ = 20;
constexpr int QEL_MSG_WRITE = 21;
constexpr int QEL_MSG_UNLINK = 22;
constexpr int QEL_MSG_REMOVE = 23;
constexpr int QEL_MSG_COPY = 24;
constexpr int QEL_MSG_STAT = 25;
constexpr int QEL_MSG_MKDIR = 26;
constexpr int QEL_MSG_ACCESS = 27;
constexpr int QEL_MSG_OPENDIR = 28;
constexpr int QEL_MSG_READDIR = 29;
constexpr int QEL_MSG_TRUNCATE = 30;
constexpr int QEL_MSG_INTERNAL = 45;
constexpr int QEL_MSG_CALL_FAILED = 46;
constexpr int QEL_MSG_CALL_ON_NAME_FAILED = 47;
constexpr int QEL_MSG_RENAME = 49;
constexpr int QEL_MSG_CHMOD = 50;
constexpr int QEL_MSG_CREATE = 93;
constexpr int QEL_MSG_COPY_TO = 116;

// Reports an internal error as one error message (kind 6 of imsg_print):
// "Internal error in <source> at line <line>." followed, when `catalog` is not
// null, by the catalog message at `index` formatted with the further
// arguments. `category` (for example "view"; may be null) leads the report.
void qel_log_int_error(const char* category, const char* source, int line, const void* catalog,
                       int index, ...);

// The library's version line, printed (kind 0) or formatted into `buf`
// (IMSG_MAX_TEXT bytes at most are written).
void libhalvicqel_print_verid();
int libhalvicqel_sprintf_verid(char* buf);
