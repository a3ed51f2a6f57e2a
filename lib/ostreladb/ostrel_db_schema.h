#pragma once
// The numbers of the view database's record types, fields and sets, and the
// images of its records, as lib/ostreladb/ostrel_db.schema declares them.
// The code names records, fields and sets only through these. A test
// compares every constant here with the dictionary writer's listing of the
// schema, and every image with the record layouts the writer made.
//
// Record images are the data part of a record as the engine reads and
// writes it whole (dt_recread, dt_recwrite, dt_fillnew); integers are
// unsigned and in the machine's byte order, byte arrays are copied whole.
//
// Record addresses (db_address) name records inside the database; toward
// the rest of the agent a record is named by its dbid, the address with
// bit 31 set. Addresses stored inside records never carry that bit.

#include <cstddef>
#include <cstdint>

#include "platform/qel/qel.h"

// The database's name, its directory in the view storage and the files
// installed there with it.
inline constexpr const char* OSTREL_DB_NAME = "ostrel_db";
inline constexpr const char* OSTREL_DB_DIR = "db";
inline constexpr const char* OSTREL_DB_DICTIONARY = "ostrel_db.dbd";
inline constexpr const char* OSTREL_DB_SCHEMA_VERSION_FILE = "ostrel_db_schema_version";
// The schema version this program reads and writes.
constexpr int OSTREL_DB_SCHEMA_VERSION = 1;

// Makes the directory "db" when missing and copies the installed dictionary
// and schema-version file of the product's server directory into it (the
// dictionary mode 0640). 0, or 1008 after a logged failure; a missing
// version file leaves no dictionary behind. For a new database only.
int ostrela_db_init_schema();

// A dbid is a record's address with this bit set.
constexpr uint32_t OSTREL_DB_DBID_BIT = 0x80000000u;

// ---- record types ----------------------------------------------------------

constexpr int DB_VOB = 10000;
constexpr int DB_DIR = 10001;
constexpr int DB_DIR_ENT = 10002;
constexpr int DB_INODE = 10003;
constexpr int DB_CR = 10004;
constexpr int DB_DO = 10005;
constexpr int DB_SUB_DO = 10006;
constexpr int DB_UNELEVATED_REF = 10007;
constexpr int DB_CR_FREE = 10008;
constexpr int DB_BYTES = 10009;
constexpr int DB_BYTES_SMALL = 10010;
constexpr int DB_BYTES_MED = 10011;
constexpr int VNS_DB_OBJ = 10012;
constexpr int VNS_DB_DIR_VER = 10013;
constexpr int VNS_DB_DIR_VER_ENT = 10014;
constexpr int VNS_DB_VER = 10015;
constexpr int VNS_DB_SLINK = 10016;
constexpr int VNS_DB_ELEM = 10017;
constexpr int VNS_DB_LR_SCOPE = 10018;
constexpr int VNS_DB_VIEW = 10019;

// ---- sets ---------------------------------------------------------------------

constexpr int DO_OID_SET = 20000;
constexpr int SUB_DO_SET = 20001;
constexpr int UNELEVATED_CR_SET = 20002;
constexpr int DB_BYTES_SET = 20003;
constexpr int DIR_ENT_SET = 20004;
constexpr int INODE_OID_SET = 20005;
constexpr int DIR_VER_ENT_SET = 20006;
constexpr int VER_DIR_ENT_SET = 20007;
constexpr int SLINK_DIR_ENT_SET = 20008;
constexpr int ELEM_VER_SET = 20009;
constexpr int SCOPE_DIR_VER_ENT_SET = 20010;

// ---- fields -------------------------------------------------------------------

// DB_VOB
constexpr long REPLICA_UUID = 0;
constexpr long VOB_REF_CNT = 1;
constexpr long VOB_NEXT_DBID = 2;
constexpr long VOB_GEN_NUM = 3;
constexpr long VOB_ROOT_DIR_DBID = 4;
constexpr long VOB_BYTES_DBA = 5;
constexpr long VOB_FLAGS = 6;
constexpr long VOB_TEXT_LEN = 7;
constexpr long VOB_TEXT = 8;

// DB_DIR
constexpr long DIR_SPARE = 1000;
constexpr long DIR_INODE_DBA = 1001;

// DB_DIR_ENT
constexpr long DIR_ENT_DIR_DBA = 2000;
constexpr long DIR_ENT_VOB_DBA = 2001;
constexpr long DIR_ENT_HIJACK_OID = 2002;
constexpr long DIR_ENT_HIJACK_OID2 = 2003;
constexpr long DIR_ENT_HASH = 2004;
constexpr long DIR_ENT_OFFSET = 2005;
constexpr long DIR_ENT_BYTES_DBA = 2006;
constexpr long DIR_ENT_NAME_STATE = 2007;
constexpr long DIR_ENT_NAME_LEN = 2008;
constexpr long DIR_ENT_NAME = 2009;
constexpr long DIR_ENT_KEY = 2010;
constexpr long DIR_ENT_HIJACK_KEY = 2011;

// DB_INODE
constexpr long INODE_VOB_DBA = 3000;
constexpr long INODE_OID = 3001;
constexpr long INODE_FSTAT = 3002;
constexpr long INODE_FSTAT_TYPE = 3003;
constexpr long INODE_FSTAT_MODE = 3004;
constexpr long INODE_FSTAT_NLINK = 3005;
constexpr long INODE_FSTAT_AUX = 3006;
constexpr long INODE_FSTAT_SIZE_LOW = 3007;
constexpr long INODE_FSTAT_SIZE_HIGH = 3008;
constexpr long INODE_FSTAT_ATIME_SEC = 3009;
constexpr long INODE_FSTAT_ATIME_USEC = 3010;
constexpr long INODE_FSTAT_MTIME_SEC = 3011;
constexpr long INODE_FSTAT_MTIME_USEC = 3012;
constexpr long INODE_FSTAT_CTIME_SEC = 3013;
constexpr long INODE_FSTAT_CTIME_USEC = 3014;
constexpr long INODE_FSTAT_XTIME_SEC = 3015;
constexpr long INODE_FSTAT_XTIME_USEC = 3016;
constexpr long INODE_FSTAT_USID_BYTES_DBA = 3017;
constexpr long INODE_FSTAT_GSID_BYTES_DBA = 3018;
constexpr long INODE_FSTAT_USID_LEN = 3019;
constexpr long INODE_FSTAT_GSID_LEN = 3020;
constexpr long INODE_FSTAT_USID = 3021;
constexpr long INODE_FSTAT_GSID = 3022;
constexpr long INODE_MTYPE = 3023;
constexpr long INODE_GEN_NUM = 3024;
constexpr long INODE_TEXT_BYTES_DBA = 3025;
constexpr long INODE_TEXT_LEN = 3026;
constexpr long INODE_TEXT = 3027;
constexpr long INODE_KEY = 3028;

// DB_CR
constexpr long CR_PARENT_REF_CNT = 4000;
constexpr long CR_CRC = 4001;
constexpr long CR_OFFSET = 4002;
constexpr long CR_HEADER_WORD = 4003;
constexpr long CR_LENGTH = 4004;

// DB_DO
constexpr long DO_REPLICA_UUID = 5000;
constexpr long DO_OID = 5001;
constexpr long DO_SESSION_HOLD = 5002;

// DB_SUB_DO
constexpr long SUB_DO_OIDS = 6000;

// DB_UNELEVATED_REF
constexpr long UNELEVATED_REPLICA_UUID = 7000;

// DB_CR_FREE
constexpr long CR_FREE_LEN = 8000;
constexpr long CR_FREE_OFFSET = 8001;

// DB_BYTES, DB_BYTES_SMALL, DB_BYTES_MED
constexpr long BYTES_OWNER_DBA = 9000;
constexpr long BYTES_DATA = 9001;
constexpr long BYTES_SMALL_OWNER_DBA = 10000;
constexpr long BYTES_SMALL_DATA = 10001;
constexpr long BYTES_MED_OWNER_DBA = 11000;
constexpr long BYTES_MED_DATA = 11001;

// VNS_DB_OBJ
constexpr long OBJ_VOB_DBA = 12000;
constexpr long OBJ_OID = 12001;
constexpr long OBJ_MTYPE = 12002;
constexpr long OBJ_DBID = 12003;
constexpr long OBJ_FSTAT_TYPE = 12004;
constexpr long OBJ_FSTAT_MODE = 12005;
constexpr long OBJ_NODE_ID = 12006;
constexpr long OBJ_ATIME_SEC = 12007;
constexpr long OBJ_ATIME_USEC = 12008;
constexpr long OBJ_MTIME_SEC = 12009;
constexpr long OBJ_MTIME_USEC = 12010;
constexpr long OBJ_CTIME_SEC = 12011;
constexpr long OBJ_CTIME_USEC = 12012;
constexpr long OBJ_XTIME_SEC = 12013;
constexpr long OBJ_XTIME_USEC = 12014;
constexpr long OBJ_DBID_KEY = 12015;
constexpr long OBJ_OID_KEY = 12016;

// vns_db_dir_ver
constexpr long DIR_VER_VOB_DBA = 13000;
constexpr long DIR_VER_DBID = 13001;
constexpr long DIR_VER_PARENT = 13002;
constexpr long DIR_VER_KIND = 13003;
constexpr long DIR_VER_RDDIR_DONE = 13004;
constexpr long DIR_VER_SAVED = 13005;
constexpr long DIR_VER_KEY = 13006;

// vns_db_dir_ver_ent
constexpr long DIR_VER_ENT_VOB_DBA = 14000;
constexpr long DIR_VER_ENT_BYTES_DBA = 14001;
constexpr long DIR_VER_ENT_VER = 14002;
constexpr long DIR_VER_ENT_PARENT = 14003;
constexpr long DIR_VER_ENT_SCOPE = 14004;
constexpr long DIR_VER_ENT_HASH = 14005;
constexpr long DIR_VER_ENT_SPARE = 14006;
constexpr long DIR_VER_ENT_MTYPE = 14007;
constexpr long DIR_VER_ENT_VALID = 14008;
constexpr long DIR_VER_ENT_GN = 14009;
constexpr long DIR_VER_ENT_NAME_LEN = 14010;
constexpr long DIR_VER_ENT_REMOVE = 14011;
constexpr long DIR_VER_ENT_NAME = 14012;
constexpr long DIR_VER_ENT_KEY = 14013;
constexpr long DIR_VER_ENT_NAME_KEY = 14014;

// VNS_DB_VER
constexpr long VER_VOB_DBA = 15000;
constexpr long VER_DBID = 15001;
constexpr long VER_TIME_SEC = 15002;
constexpr long VER_SIZE_LOW = 15003;
constexpr long VER_SIZE_HIGH = 15004;
constexpr long VER_TIME_USEC = 15005;
constexpr long VER_FSTAT_AUX = 15006;
constexpr long VER_MTYPE = 15007;
constexpr long VER_STALE = 15008;
constexpr long VER_KEY = 15009;

// VNS_DB_SLINK
constexpr long SLINK_VOB_DBA = 16000;
constexpr long SLINK_DBID = 16001;
constexpr long SLINK_BYTES_DBA = 16002;
constexpr long SLINK_TIME_SEC = 16003;
constexpr long SLINK_TIME_USEC = 16004;
constexpr long SLINK_TEXT_LEN = 16005;
constexpr long SLINK_TEXT = 16006;
constexpr long SLINK_KEY = 16007;

// VNS_DB_ELEM
constexpr long ELEM_VOB_DBA = 17000;
constexpr long ELEM_DBID = 17001;
constexpr long ELEM_CO_OID = 17002;
constexpr long ELEM_TIME_SEC = 17003;
constexpr long ELEM_TIME_USEC = 17004;
constexpr long ELEM_SPARE = 17005;
constexpr long ELEM_CHECKEDOUT = 17006;
constexpr long ELEM_KEY = 17007;

// vns_db_lr_scope
constexpr long LR_SCOPE_OID = 18000;
constexpr long LR_SCOPE_NAME_HASH = 18001;
constexpr long LR_SCOPE_GN = 18002;
constexpr long LR_SCOPE_COMPLETED_GN = 18003;
constexpr long LR_SCOPE_NAME_LEN = 18004;
constexpr long LR_SCOPE_NAME_CHAIN = 18005;
constexpr long LR_SCOPE_SPARE = 18006;
constexpr long LR_SCOPE_STATE = 18007;
constexpr long LR_SCOPE_NAME = 18008;

// vns_db_view
constexpr long VNS_VIEW_UUID = 19000;
constexpr long VNS_VIEW_GN = 19001;
constexpr long VNS_VIEW_INITIAL_GN = 19002;

// ---- record images --------------------------------------------------------------

// Room inside the records for texts and names; the rest of a longer one
// lies in a byte string.
constexpr size_t VOB_TEXT_ROOM = 208;
constexpr size_t DIR_ENT_NAME_ROOM = 25;
constexpr size_t INODE_TEXT_ROOM = 74;
constexpr size_t INODE_SID_ROOM = 30;
constexpr size_t BYTES_HEAD_ROOM = 90;
constexpr size_t BYTES_SMALL_ROOM = 90;
constexpr size_t BYTES_MED_ROOM = 232;
constexpr size_t LR_SCOPE_NAME_ROOM = 54;

struct db_vob {
    qel_uuid_s replica_uuid;
    uint32_t ref_cnt;
    uint32_t next_dbid;
    uint32_t gen_num;
    uint32_t root_dir_dbid;
    uint32_t bytes_dba;
    uint16_t flags;
    uint16_t text_len;
    char text[VOB_TEXT_ROOM];
};

struct db_dir {
    uint32_t spare;
    uint32_t inode_dba;
};

struct db_dir_ent {
    uint32_t dir_dba;
    uint32_t vob_dba;
    qel_oid_s hijack_oid;
    qel_oid_s hijack_oid2;
    uint32_t hash;
    uint32_t offset;
    uint32_t bytes_dba;
    uint16_t name_state;
    uint16_t name_len;
    char name[DIR_ENT_NAME_ROOM];
};

// The file status of an inode: the 128-byte status without its inode
// number (the record's own dbid), the 64-bit size as two words, and each
// identity as its length, its first 30 bytes and a byte string of the rest.
struct db_inode_fstat {
    uint32_t type;
    uint32_t mode;
    uint32_t nlink;
    uint32_t aux;
    uint32_t size_low;
    uint32_t size_high;
    uint32_t atime_sec;
    uint32_t atime_usec;
    uint32_t mtime_sec;
    uint32_t mtime_usec;
    uint32_t ctime_sec;
    uint32_t ctime_usec;
    uint32_t xtime_sec;
    uint32_t xtime_usec;
    uint32_t usid_bytes_dba;
    uint32_t gsid_bytes_dba;
    uint16_t usid_len;
    uint16_t gsid_len;
    unsigned char usid[INODE_SID_ROOM];
    unsigned char gsid[INODE_SID_ROOM];
};

struct db_inode {
    uint32_t vob_dba;
    qel_oid_s oid;
    db_inode_fstat fstat;
    uint32_t mtype;
    uint32_t gen_num;
    uint32_t text_bytes_dba;
    uint16_t text_len;
    char text[INODE_TEXT_ROOM];
};

struct db_cr_free {
    uint32_t len;
    uint32_t offset;
};

struct db_bytes {
    uint32_t owner_dba;
    char data[BYTES_HEAD_ROOM];
};

struct db_bytes_small {
    uint32_t owner_dba;
    char data[BYTES_SMALL_ROOM];
};

struct db_bytes_med {
    uint32_t owner_dba;
    char data[BYTES_MED_ROOM];
};

struct db_cr {
    uint32_t parent_ref_cnt;
    uint32_t crc;
    uint32_t offset;
    uint32_t header_word;
    uint32_t length;
};

struct db_do {
    qel_uuid_s replica_uuid;
    qel_oid_s oid;
    uint32_t session_hold;
};

// The identity oids of used config records, 14 to a record; empty slots
// are null oids.
constexpr size_t SUB_DO_SLOTS = 14;
struct db_sub_do {
    qel_oid_s oids[SUB_DO_SLOTS];
};

struct db_unelevated_ref {
    qel_uuid_s replica_uuid;
};

// The loaded objects: the file status bytes they keep lie in the order of
// the record, which is not the order of the file status.
struct vns_db_obj {
    uint32_t vob_dba;
    qel_oid_s oid;
    uint32_t mtype;
    uint32_t dbid;
    uint32_t fstat_type;
    uint32_t fstat_mode;
    uint32_t node_id;
    qel_fstat_time_s atime;
    qel_fstat_time_s mtime;
    qel_fstat_time_s ctime;
    qel_fstat_time_s xtime;
};

struct vns_db_dir_ver {
    uint32_t vob_dba;
    uint32_t dbid;
    uint32_t parent;
    uint32_t kind;
    uint16_t rddir_done;
    uint16_t saved;
};

constexpr size_t DIR_VER_ENT_NAME_ROOM = 144;
struct vns_db_dir_ver_ent {
    uint32_t vob_dba;
    uint32_t bytes_dba;
    uint32_t ver;
    uint32_t parent;
    qel_oid_s scope;
    uint32_t hash;
    uint32_t spare;
    uint32_t mtype;
    uint32_t valid;
    uint32_t gn;
    uint16_t name_len;
    uint16_t remove;
    char name[DIR_VER_ENT_NAME_ROOM];
};

struct vns_db_ver {
    uint32_t vob_dba;
    uint32_t dbid;
    uint32_t time_sec;
    uint32_t size_low;
    uint32_t size_high;
    uint32_t time_usec;
    uint32_t fstat_aux;
    uint32_t mtype;
    uint32_t stale;
};

// A link's text: its length, its first bytes here, the rest in a byte
// string.
constexpr size_t SLINK_TEXT_ROOM = 72;
struct vns_db_slink {
    uint32_t vob_dba;
    uint32_t dbid;
    uint32_t bytes_dba;
    uint32_t time_sec;
    uint32_t time_usec;
    uint16_t text_len;
    char text[SLINK_TEXT_ROOM];
};

struct vns_db_elem {
    uint32_t vob_dba;
    uint32_t dbid;
    qel_oid_s co_oid;
    uint32_t time_sec;
    uint32_t time_usec;
    uint32_t spare;
    uint32_t checkedout;
};

struct vns_db_lr_scope {
    qel_oid_s oid;
    uint32_t name_hash;
    uint32_t gn;
    uint32_t completed_gn;
    uint32_t name_len;
    uint32_t name_chain;
    uint16_t spare;
    uint16_t state;
    char name[LR_SCOPE_NAME_ROOM];
};

struct vns_db_view {
    qel_uuid_s uuid;
    uint32_t gn;
    uint32_t initial_gn;
};

// The compound keys as the key calls take them.
struct db_dir_ent_key {
    uint32_t dir_dba;
    uint32_t hash;
};

struct db_inode_key {
    uint32_t vob_dba;
    qel_oid_s oid;
};

// The keys of the loaded objects: (VOB address, dbid) of OBJ_DBID_KEY,
// VER_KEY, ELEM_KEY, SLINK_KEY, DIR_VER_KEY and DIR_VER_ENT_KEY, and
// (VOB address, oid) of OBJ_OID_KEY.
struct db_vob_dbid_key {
    uint32_t vob_dba;
    uint32_t dbid;
};

struct db_obj_oid_key {
    uint32_t vob_dba;
    qel_oid_s oid;
};

// DIR_VER_ENT_NAME_KEY: (VOB address, parent directory version, name hash).
struct db_dir_ver_ent_name_key {
    uint32_t vob_dba;
    uint32_t parent;
    uint32_t hash;
};

static_assert(offsetof(db_vob, text) == 40 && offsetof(db_dir_ent, name) == 56 &&
                  offsetof(db_inode, fstat) == 20 && sizeof(db_inode_fstat) == 128 &&
                  offsetof(db_inode, mtype) == 148 && offsetof(db_inode, text) == 162 &&
                  offsetof(vns_db_lr_scope, name) == 40 && sizeof(db_do) == 36 && sizeof(db_sub_do) == 224 &&
                  sizeof(vns_db_obj) == 72 && offsetof(vns_db_obj, xtime) == 64 &&
                  sizeof(vns_db_dir_ver_ent) == 200 && sizeof(vns_db_ver) == 36 && sizeof(vns_db_elem) == 40 &&
                  offsetof(vns_db_slink, text) == 22 && sizeof(vns_db_slink) == 96,
              "record images follow the schema");
