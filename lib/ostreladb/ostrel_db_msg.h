#pragma once
// The view database's two message files of its catalog "ostreladb_lib":
// "ostrelagent_kesto_db" (record level, 95 positions) and
// "ostrelagent_db_utls" (namespace level, 60 positions). Messages are
// addressed by their 0-based position; a position without a text cannot be
// loaded. Every text ends with a newline.

#include "platform/imsg/imsg.h"

extern const _imsg_message_table_t _ostreladb_lib_kesto_db_msg_table;
extern const _imsg_message_table_t _ostreladb_lib_db_utls_msg_table;

// Positions in "ostrelagent_kesto_db".
enum : int {
    KDB_MSG_LINK = 0,
    KDB_MSG_WRITE_TEXT = 1,
    KDB_MSG_DIR_CREATE = 2,
    KDB_MSG_DIR_DELETE = 3,
    KDB_MSG_STATE_SET = 4,
    KDB_MSG_SET_OID = 5,
    KDB_MSG_INODE_FIND_PARENT = 6,
    KDB_MSG_FIND_PARENT = 7,
    KDB_MSG_DIR_LOOKUP = 8,
    KDB_MSG_WRONG_SCHEMA = 9,
    KDB_MSG_ENTRY_LOOKUP = 10,
    KDB_MSG_READDIR = 11,
    KDB_MSG_DIR_EMPTY = 12,
    KDB_MSG_ENTRY_CREATE = 13,
    KDB_MSG_ENTRY_DELETE = 14,
    KDB_MSG_INODE_LOOKUP = 15,
    KDB_MSG_INODE_READ = 16,
    KDB_MSG_INODE_DELETE = 17,
    KDB_MSG_INODE_REWRITE = 18,
    KDB_MSG_INODE_CREATE = 19,
    KDB_MSG_STRANDED = 20,
    KDB_MSG_BYTES_READ = 21,
    KDB_MSG_BYTES_CMP = 22,
    KDB_MSG_BYTES_DELETE = 23,
    KDB_MSG_BYTES_CREATE = 24,
    KDB_MSG_STRING_READ = 25,
    KDB_MSG_INTERNAL = 26,
    KDB_MSG_DUPLICATE_INODE = 28,
    KDB_MSG_VOB_ADD_REF = 29,
    KDB_MSG_BYTES_OWNER = 30,
    KDB_MSG_BYTES_SHORT = 31,
    KDB_MSG_BYTES_EXTRA = 32,
    KDB_MSG_UNEXPECTED_RECORD = 36,
    KDB_MSG_VOB_CREATE = 37,
    KDB_MSG_VOB_RM_REF = 46,
    KDB_MSG_VOB_FIND = 47,
    KDB_MSG_CR_ADD_REF = 48,
    KDB_MSG_CR_RM_REF = 49,
    KDB_MSG_NO_COMPONENT = 85,
    KDB_MSG_NO_NAMED_COMPONENT = 86,
};

// Positions in "ostrelagent_db_utls".
enum : int {
    DBU_MSG_UNEXPECTED_MTYPE = 1,
    DBU_MSG_UNEXPECTED_FILE_TYPE = 2,
    DBU_MSG_BAD_HOST_PATH = 3,
    DBU_MSG_COVER = 4,
    DBU_MSG_LOOKUP = 5,
    DBU_MSG_DBID2OID = 6,
    DBU_MSG_OID2DBID = 7,
    DBU_MSG_LINK = 8,
    DBU_MSG_UNLINK = 10,
    DBU_MSG_CLTXT = 11,
    DBU_MSG_READLINK = 12,
    DBU_MSG_SETATTR = 13,
    DBU_MSG_SET_OID = 14,
    DBU_MSG_CREATE = 15,
    DBU_MSG_STATE_SET = 16,
    DBU_MSG_DELETE = 17,
    DBU_MSG_VOB_CREATE = 19,
    DBU_MSG_VOB_DELETE = 20,
    DBU_MSG_VOB_READ = 22,
    DBU_MSG_READDIR = 28,
    DBU_MSG_UNEXPECTED_STATE = 29,
    DBU_MSG_DB_INITIALIZED = 33,
    DBU_MSG_DB_CLOSED = 34,
    DBU_MSG_REFORMATTING = 36,
    DBU_MSG_REFORMAT_FAILED = 37,
    DBU_MSG_ADOPT = 52,
    DBU_MSG_RENAME_UNIQUE = 55,
};
