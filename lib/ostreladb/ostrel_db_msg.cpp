#include "lib/ostreladb/ostrel_db_msg.h"

// Users read these texts in the operations log and on standard error, and the
// code addresses them by position: change neither. A new text takes a free
// position.

namespace {

constexpr int KESTO_DB_COUNT = 95;
constexpr int DB_UTLS_COUNT = 60;

// Texts by position, null where the file has no message, and the message
// numbers, which follow the positions.
template <int N>
struct Texts {
    const char* at[N] = {};
    unsigned short numbers[N] = {};
    constexpr Texts() {
        for (int i = 0; i < N; ++i) numbers[i] = static_cast<unsigned short>(i + 1);
    }
};

struct KestoDbTexts : Texts<KESTO_DB_COUNT> {
    constexpr KestoDbTexts() {
        at[KDB_MSG_LINK] = "Link of %s in dbid 0x%lx failed: %s\n";
        at[KDB_MSG_WRITE_TEXT] = "Inode_write_text of 0x%lx failed: %s\n";
        at[KDB_MSG_DIR_CREATE] = "Dir_create of dbid 0x%lx failed: %s\n";
        at[KDB_MSG_DIR_DELETE] = "Dir_delete dbid 0x%lx failed: %s\n";
        at[KDB_MSG_STATE_SET] = "Dir_entry_state_set of %s from dbid 0x%lx failed: %s\n";
        at[KDB_MSG_SET_OID] = "Inode_set_oid of dbid 0x%lx failed: %s\n";
        at[KDB_MSG_INODE_FIND_PARENT] = "Inode_find_parent of dbid 0x%lx failed: %s\n";
        at[KDB_MSG_FIND_PARENT] = "Find parent from dbid 0x%lx failed: %s\n";
        at[KDB_MSG_DIR_LOOKUP] = "Dir_lookup of dbid 0x%lx failed: %s\n";
        at[KDB_MSG_WRONG_SCHEMA] = "Wrong DB schema version %d, should be %d\n";
        at[KDB_MSG_ENTRY_LOOKUP] = "Dir_entry_lookup of %s in dbid 0x%lx failed: %s\n";
        at[KDB_MSG_READDIR] = "Readdir from dbid 0x%lx failed: %s\n";
        at[KDB_MSG_DIR_EMPTY] = "Dir empty check of dbid 0x%lx failed: %s\n";
        at[KDB_MSG_ENTRY_CREATE] = "Dir_entry_create of %s in dbid 0x%lx failed: %s\n";
        at[KDB_MSG_ENTRY_DELETE] = "Dir_entry_delete failed: %s\n";
        at[KDB_MSG_INODE_LOOKUP] = "Inode_lookup_oid of %s failed: %s\n";
        at[KDB_MSG_INODE_READ] = "Inode_read_text of 0x%lx failed: %s\n";
        at[KDB_MSG_INODE_DELETE] = "Inode_delete of dbid 0x%lx failed: %s\n";
        at[KDB_MSG_INODE_REWRITE] = "Inode_rewrite of dbid 0x%lx failed: %s\n";
        at[KDB_MSG_INODE_CREATE] = "Inode_create of %s failed: %s\n";
        at[KDB_MSG_STRANDED] = "db_mark_inode_stranded marking failed.\n";
        at[KDB_MSG_BYTES_READ] = "db_bytes_read failed: %s\n";
        at[KDB_MSG_BYTES_CMP] = "db_bytes_cmp failed: %s\n";
        at[KDB_MSG_BYTES_DELETE] = "db_bytes_delete failed: %s\n";
        at[KDB_MSG_BYTES_CREATE] = "db_bytes_create failed: %s\n";
        at[KDB_MSG_STRING_READ] = "db dir_string_read failed: %s\n";
        at[KDB_MSG_INTERNAL] = "Internal VIEW DB error, operation '%s' on object '%s' failed: %d (errno=%s)\n";
        at[KDB_MSG_LOAD_CR] = "Unable to load cr %s\n";
        at[KDB_MSG_DUPLICATE_INODE] = "Duplicate DB_INODE for %s\n";
        at[KDB_MSG_VOB_ADD_REF] = "db_vob_add_ref to vob_dba 0x%lx, failed: %s\n";
        at[KDB_MSG_BYTES_OWNER] = "db_bytes_inconsistent_owner (0x%lx) for dba 0x%lx\n";
        at[KDB_MSG_BYTES_SHORT] = "db_bytes came up short for dba 0x%lx\n";
        at[KDB_MSG_BYTES_EXTRA] = "db_bytes came up with extra for dba 0x%lx\n";
        at[KDB_MSG_LOAD_DECODE] = "Unable to decode record at line %d\n";
        at[KDB_MSG_LOAD_VOB] = "Unable to load vob record %s:%s\n";
        at[KDB_MSG_LOAD_MODE] = "Invalid mode %ld\n";
        at[KDB_MSG_UNEXPECTED_RECORD] = "Unexpected record type(%d) for view dbid 0x%lx\n";
        at[KDB_MSG_VOB_CREATE] = "db_vob_create of %s at %s, failed: %s\n";
        at[KDB_MSG_LOAD_FTYPE] = "Invalid ftype %d\n";
        at[KDB_MSG_LOAD_DIR_MODE] = "Invalid mode %ld\n";
        at[KDB_MSG_LOAD_MTYPE] = "Invalid mtype %ld\n";
        at[KDB_MSG_LOAD_NO_VOB] = "Unable to find vob %s\n";
        at[KDB_MSG_LOAD_INODE] = "Unable to load inode %s\n";
        at[KDB_MSG_LOAD_NO_DIR] = "Dir not found %s\n";
        at[KDB_MSG_LOAD_NO_OBJECT] = "Object not found %s\n";
        at[KDB_MSG_LOAD_NAME] = "Unable to load name %s->%s\n";
        at[KDB_MSG_VOB_RM_REF] = "db_vob_rm_ref to vob_dba 0x%lx, failed: %s\n";
        at[KDB_MSG_VOB_FIND] = "db_vob_find of %s, failed: %s\n";
        at[KDB_MSG_CR_ADD_REF] = "db_cr_add_ref to %s failed: %s\n";
        at[KDB_MSG_CR_RM_REF] = "db_cr_rm_ref from %s failed: %s\n";
        at[KDB_MSG_CR_NO_SPACE] = "Not enough space %ld for cr %ld\n";
        at[KDB_MSG_CR_WRITE] = "db_cr_create write into %s at 0x%lx for %ld failed:%s\n";
        at[KDB_MSG_CR_READ_FILE] = "db_cr_get read from %s at 0x%lx for %ld failed:%s\n";
        at[KDB_MSG_CR_CRC] = "db_cr_get of dba 0x%lx failed: CRC error 0x%lx was 0x%lx\n";
        at[KDB_MSG_CR_READ] = "db_cr_read of dba 0x%lx failed: %s\n";
        at[KDB_MSG_CR_CREATE] = "db_cr_create of %s failed: %s\n";
        at[KDB_MSG_CR_GET] = "db_cr_get of %s failed: %s\n";
        at[KDB_MSG_CR_DISCON] = "db_cr_discon of dba 0x%lx failed: %s\n";
        at[KDB_MSG_CR_ADD_VOB_REF] = "db_cr_add_vob_ref to %s failed: %s\n";
        at[KDB_MSG_CR_RM_VOB_REF] = "db_cr_rm_vob_ref from %s failed: %s\n";
        at[KDB_MSG_CR_RM_BUILD_SESSION] = "db_cr_rm_build_session of %x failed: %s\n";
        at[KDB_MSG_FSCK_CRS] = "db_fsck_crs failed: %s\n";
        at[KDB_MSG_DOS_FOUND] = "db_dos_found failed for do with OID = %s: %s.\n";
        at[KDB_MSG_GET_DOS] = "db_get_dos at offset 0x%lx failed: %s.\n";
        at[KDB_MSG_VOB_READ] = "db_vob_read of %s, failed: %s\n";
        at[KDB_MSG_VOB_UPDATE] = "db_vob_update of dbid 0x%lx with %s, failed: %s\n";
        at[KDB_MSG_VOB_DELETE] = "db_vob_delete of %s, failed: %s\n";
        at[KDB_MSG_VOB_SET_HLINK] = "db_vob_set_hlink_flags failed: %s\n";
        at[KDB_MSG_VOB_SET_SETWORK] = "db_vob_set_setwork_flags failed: %s\n";
        at[KDB_MSG_INVENTORY] = "db_inventory at offset 0x%lx failed: %s\n";
        at[KDB_MSG_CHANGE_VOB_OID] = "db_change_vob_oid failed: %s\n";
        at[KDB_MSG_HIJACK] = "Dir_entry_hijack of %s from dbid 0x%lx failed: %s\n";
        at[KDB_MSG_HIJACK_GET] = "Dir_entry_hijack_get of %s from dbid 0x%lx failed: %s\n";
        at[KDB_MSG_VOB_GET_UUID] = "db_vob_get_uuid to vob_dba 0x%lx, failed: %s\n";
        at[KDB_MSG_FIND_CHECKOUTS] = "db_find_checkouts failed: %s\n";
        at[KDB_MSG_LOAD_SETWORK] = "Unable to load setwork\n";
        at[KDB_MSG_NO_COMPONENT] = "could not locate view database component (op '%s')\n";
        at[KDB_MSG_NO_NAMED_COMPONENT] = "could not locate view database component '%s' (op '%s')\n";
        at[KDB_MSG_LOAD_FILE_MISMATCH] = "Load file number mismatch, expecting %d:%xl, got %d:%xl\n";
        at[KDB_MSG_DUMPER_EXIT] = "%s exited with status %d\n";
        at[KDB_MSG_DUMPING] = "Dumping DB %s\n";
    }
};

struct DbUtlsTexts : Texts<DB_UTLS_COUNT> {
    constexpr DbUtlsTexts() {
        at[DBU_MSG_UNEXPECTED_MTYPE] = "Unexpected mtype(%ld) for object %s\n";
        at[DBU_MSG_COVER] = "View_db_cover_obj of %s: %s\n";
        at[DBU_MSG_LOOKUP] = "View_db_lookup of %s in %s: %s\n";
        at[DBU_MSG_LINK] = "View_db_link of %s in %s to %s: %s\n";
        at[DBU_MSG_UNLINK] = "View_db_unlink of %s in %s: %s\n";
        at[DBU_MSG_CLTXT] = "View_db_cltxt of %s: %s\n";
        at[DBU_MSG_READLINK] = "View_db_readlink of %s: %s\n";
        at[DBU_MSG_SETATTR] = "View_db_setattr of %s: %s\n";
        at[DBU_MSG_SET_OID] = "View_db_set_oid of %s: %s\n";
        at[DBU_MSG_CREATE] = "View_db_create of %s in %s: %s\n";
        at[DBU_MSG_STATE_SET] = "View_db_state_set %s in %s: %s\n";
        at[DBU_MSG_READDIR] = "view_db_readdir of %s failed: %s\n";
        at[DBU_MSG_ADOPT] = "View_db_adopt of %s:%s: %s\n";
        at[DBU_MSG_UNHIJACK] = "View_db_unhijack of %s in %s: %s\n";
        at[DBU_MSG_HIJACK] = "View_db_hijack of %s in %s: %s\n";
        at[DBU_MSG_HIJACK_GET] = "View_db_get_hijack of %s in %s: %s\n";
        at[DBU_MSG_RM_HIJACK] = "View_db_rmhijack of %s in %s: %s\n";
        at[DBU_MSG_FIND_HIJACKS] = "View_db_find_hijacks: %s\n";
        at[DBU_MSG_FIND_CHECKOUTS] = "View_db_find_checkouts: %s\n";
        at[DBU_MSG_FIND_PRIVATES] = "View_db_find_privates: %s\n";
        at[DBU_MSG_VOB_UPDATE] = "View_db_vob_update of %s:%s: %s\n";
        at[DBU_MSG_VOB_SET_SETWORK] = "View_db_vob_set_setwork failed of %s:%s: %s\n";
        at[DBU_MSG_VOB_SET_HLINK] = "View_db_vob_set_hlink failed of %s:%s: %s\n";
        at[DBU_MSG_DOS_TO_UNSHAREABLE] = "view_db_dos_to_unshareable failed for dbid=0x%x: %s.\n";
        at[DBU_MSG_INVENTORY] = "view_db_inventory failed: %s\n";
        at[DBU_MSG_RM_BUILD_SESSION] = "view_db_cr_rm_build_session of %x failed: %s\n";
        at[DBU_MSG_CR_SAVE] = "view_cr_save of %s failed: %s\n";
        at[DBU_MSG_CR_GET] = "view_cr_get of %s failed: %s\n";
        at[DBU_MSG_CR_RM_VOB_REF] = "view_cr_rm_vob_ref of %s failed: %s\n";
        at[DBU_MSG_CR_ADD_VOB_REF] = "view_cr_add_vob_ref of %s failed: %s\n";
        at[DBU_MSG_UNEXPECTED_FILE_TYPE] = "Unexpected file type(%ld) on %s\n";
        at[DBU_MSG_BAD_HOST_PATH] = "Bad host:pathname '%s'\n";
        at[DBU_MSG_DBID2OID] = "View_db_dbid2oid of dbid 0x%lx, failed: %s\n";
        at[DBU_MSG_OID2DBID] = "View_db_oid2dbid of %s, failed: %s\n";
        at[DBU_MSG_DELETE] = "View_db_delete of %s: %s\n";
        at[DBU_MSG_RECOVER_OBJECT] = "View_db_recover_object of %s->%s: %s\n";
        at[DBU_MSG_VOB_CREATE] = "View_db_vob_create of %s:%s: %s\n";
        at[DBU_MSG_VOB_DELETE] = "View_db_vob_delete of %s: %s\n";
        at[DBU_MSG_VOB_READ] = "View_db_vob_read of %s: %s\n";
        at[DBU_MSG_GET_DOS] = "view_db_get_dos failed for replica_uuid=%s at the 0x%x offset.\n";
        at[DBU_MSG_UNEXPECTED_STATE] = "Unexpected DB state '%c'\n";
        at[DBU_MSG_RECOVERY_NEEDED] = "Recovery needed for DB %s, auto recovery in progress\n";
        at[DBU_MSG_RECOVERY_FAILED] = "Recovery failed for DB %s\n";
        at[DBU_MSG_RECOVERY_SUCCEEDED] = "Recovery succeeded for DB %s\n";
        at[DBU_MSG_DB_INITIALIZED] = "Db initialized\n";
        at[DBU_MSG_DB_CLOSED] = "Db closed\n";
        at[DBU_MSG_RM_BUILD_SESSION] = "view_db_cr_rm_build_session of %x failed: %s\n";
        at[DBU_MSG_REFORMATTING] = "Reformatting view DB %s to current version\n";
        at[DBU_MSG_REFORMAT_FAILED] = "Reformat failed for view DB %s\n";
        at[DBU_MSG_SCRUBBER_FAILED] = "Stranded container lookup failed.\n";
        at[DBU_MSG_DUMP_SUCCEEDED] = "Dump succeeded for DB %s, DB renamed to %s\n";
        at[DBU_MSG_LOADING] = "Loading DB %s\n";
        at[DBU_MSG_LOAD_SUCCEEDED] = "Load succeeded for DB %s\n";
        at[DBU_MSG_MISSING_CONTAINER] = "Missing cltxt '%s' for %s\n";
        at[DBU_MSG_MOVED] = "%s moved to %s\n";
        at[DBU_MSG_SHARED_CONTAINER] = "CLTXT %s used in multiple inodes, 0x%lx and 0x%lx\n";
        at[DBU_MSG_INODE_REMOVED] = "Inode %s removed\n";
    }
};

constexpr KestoDbTexts kesto_db;
constexpr DbUtlsTexts db_utls;

} // namespace

const _imsg_message_table_t _ostreladb_lib_kesto_db_msg_table = {
    "ostreladb_lib", "ostrelagent_kesto_db", 1, KESTO_DB_COUNT, kesto_db.at, kesto_db.numbers,
};

const _imsg_message_table_t _ostreladb_lib_db_utls_msg_table = {
    "ostreladb_lib", "ostrelagent_db_utls", 2, DB_UTLS_COUNT, db_utls.at, db_utls.numbers,
};
