// The view database's schema: the dictionary writer's listing of the schema
// source against the record types, fields, keys and sets the database is
// made of (by number, place and size), against the constants and record
// images of the code, and the dictionary a new database gets.

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "lib/ostreladb/db_test_support.h"

namespace {

using db_test::read_tx;
using lib_test::read_file;
using lib_test::write_file;

struct ListedField {
    int number, offset, length;
    std::string key;  // "", "unique", "duplicate", "duplicate optional"
};
struct ListedRecord {
    int number, length, data;
    std::map<std::string, ListedField> fields;
};
struct ListedSet {
    int number;
    std::string rest;  // "owner X, order Y, members A, B"
};
struct Listing {
    std::map<std::string, ListedRecord> records;
    std::map<std::string, ListedSet> sets;
};

std::string run(const std::string& command, int* status) {
    std::string out;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = pclose(p);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

// The writer's listing of the schema source, the dictionary written to `dbd`.
Listing listing_of(const std::string& dbd) {
    int status = -1;
    std::string out = run(std::string(KESTO_DBDGEN) + " -l " + OSTREL_DB_SCHEMA_SOURCE + " " + dbd, &status);
    EXPECT_EQ(0, status) << out;
    Listing l;
    std::istringstream in(out);
    std::string line;
    ListedRecord* record = nullptr;
    while (std::getline(in, line)) {
        char name[128], rest[512] = "";
        int number, a, b;
        if (std::sscanf(line.c_str(), "record %127s %d: length %d, data at %d", name, &number, &a, &b) == 4) {
            record = &l.records[name];
            *record = {number, a, b, {}};
        } else if (std::sscanf(line.c_str(), "  field %127s %d: offset %d, length %d%511[^\n]", name, &number, &a, &b,
                               rest) >= 4) {
            std::string key = rest;
            if (key.rfind(", ", 0) == 0) key = key.substr(2);
            auto comma = key.find(" key");
            if (comma != std::string::npos) key.erase(comma, 4);
            if (key.find(", optional") != std::string::npos) key.replace(key.find(", optional"), 10, " optional");
            // Compound keys have no place in the record: offset 0.
            record->fields[name] = {number, a == 0 ? 0 : a - record->data, b, key};
        } else if (std::sscanf(line.c_str(), "set %127s %d: %511[^\n]", name, &number, rest) == 3) {
            l.sets[name] = {number, rest};
        }
    }
    return l;
}

struct Field {
    const char* name;
    long number;
    int offset, length;  // within the record's data; compound keys: 0 and the key's length
    const char* key;
};

struct Record {
    const char* name;
    int number;
    int size;
    std::vector<Field> fields;
};

const std::vector<Record>& expected_records() {
    static const std::vector<Record> records = {
        {"DB_VOB", DB_VOB, 248,
         {{"REPLICA_UUID", REPLICA_UUID, 0, 16, "unique"}, {"VOB_REF_CNT", VOB_REF_CNT, 16, 4, ""},
          {"VOB_NEXT_DBID", VOB_NEXT_DBID, 20, 4, ""}, {"VOB_GEN_NUM", VOB_GEN_NUM, 24, 4, ""},
          {"VOB_ROOT_DIR_DBID", VOB_ROOT_DIR_DBID, 28, 4, ""}, {"VOB_BYTES_DBA", VOB_BYTES_DBA, 32, 4, ""},
          {"VOB_FLAGS", VOB_FLAGS, 36, 2, ""}, {"VOB_TEXT_LEN", VOB_TEXT_LEN, 38, 2, ""},
          {"VOB_TEXT", VOB_TEXT, 40, 208, ""}}},
        {"DB_DIR", DB_DIR, 8, {{"DIR_SPARE", DIR_SPARE, 0, 4, ""}, {"DIR_INODE_DBA", DIR_INODE_DBA, 4, 4, ""}}},
        {"DB_DIR_ENT", DB_DIR_ENT, 81,
         {{"DIR_ENT_DIR_DBA", DIR_ENT_DIR_DBA, 0, 4, ""}, {"DIR_ENT_VOB_DBA", DIR_ENT_VOB_DBA, 4, 4, ""},
          {"DIR_ENT_HIJACK_OID", DIR_ENT_HIJACK_OID, 8, 16, ""},
          {"DIR_ENT_HIJACK_OID2", DIR_ENT_HIJACK_OID2, 24, 16, ""}, {"DIR_ENT_HASH", DIR_ENT_HASH, 40, 4, ""},
          {"DIR_ENT_OFFSET", DIR_ENT_OFFSET, 44, 4, ""}, {"DIR_ENT_BYTES_DBA", DIR_ENT_BYTES_DBA, 48, 4, ""},
          {"DIR_ENT_NAME_STATE", DIR_ENT_NAME_STATE, 52, 2, ""}, {"DIR_ENT_NAME_LEN", DIR_ENT_NAME_LEN, 54, 2, ""},
          {"DIR_ENT_NAME", DIR_ENT_NAME, 56, 25, ""}, {"DIR_ENT_KEY", DIR_ENT_KEY, 0, 8, "duplicate"},
          {"DIR_ENT_HIJACK_KEY", DIR_ENT_HIJACK_KEY, 0, 32, "duplicate optional"}}},
        {"DB_INODE", DB_INODE, 236,
         {{"INODE_VOB_DBA", INODE_VOB_DBA, 0, 4, ""}, {"INODE_OID", INODE_OID, 4, 16, ""},
          {"INODE_FSTAT", INODE_FSTAT, 20, 128, ""}, {"INODE_FSTAT_TYPE", INODE_FSTAT_TYPE, 20, 4, ""},
          {"INODE_FSTAT_MODE", INODE_FSTAT_MODE, 24, 4, ""}, {"INODE_FSTAT_NLINK", INODE_FSTAT_NLINK, 28, 4, ""},
          {"INODE_FSTAT_AUX", INODE_FSTAT_AUX, 32, 4, ""}, {"INODE_FSTAT_SIZE_LOW", INODE_FSTAT_SIZE_LOW, 36, 4, ""},
          {"INODE_FSTAT_SIZE_HIGH", INODE_FSTAT_SIZE_HIGH, 40, 4, ""},
          {"INODE_FSTAT_ATIME_SEC", INODE_FSTAT_ATIME_SEC, 44, 4, ""},
          {"INODE_FSTAT_ATIME_USEC", INODE_FSTAT_ATIME_USEC, 48, 4, ""},
          {"INODE_FSTAT_MTIME_SEC", INODE_FSTAT_MTIME_SEC, 52, 4, ""},
          {"INODE_FSTAT_MTIME_USEC", INODE_FSTAT_MTIME_USEC, 56, 4, ""},
          {"INODE_FSTAT_CTIME_SEC", INODE_FSTAT_CTIME_SEC, 60, 4, ""},
          {"INODE_FSTAT_CTIME_USEC", INODE_FSTAT_CTIME_USEC, 64, 4, ""},
          {"INODE_FSTAT_XTIME_SEC", INODE_FSTAT_XTIME_SEC, 68, 4, ""},
          {"INODE_FSTAT_XTIME_USEC", INODE_FSTAT_XTIME_USEC, 72, 4, ""},
          {"INODE_FSTAT_USID_BYTES_DBA", INODE_FSTAT_USID_BYTES_DBA, 76, 4, ""},
          {"INODE_FSTAT_GSID_BYTES_DBA", INODE_FSTAT_GSID_BYTES_DBA, 80, 4, ""},
          {"INODE_FSTAT_USID_LEN", INODE_FSTAT_USID_LEN, 84, 2, ""},
          {"INODE_FSTAT_GSID_LEN", INODE_FSTAT_GSID_LEN, 86, 2, ""}, {"INODE_FSTAT_USID", INODE_FSTAT_USID, 88, 30, ""},
          {"INODE_FSTAT_GSID", INODE_FSTAT_GSID, 118, 30, ""}, {"INODE_MTYPE", INODE_MTYPE, 148, 4, ""},
          {"INODE_GEN_NUM", INODE_GEN_NUM, 152, 4, ""}, {"INODE_TEXT_BYTES_DBA", INODE_TEXT_BYTES_DBA, 156, 4, ""},
          {"INODE_TEXT_LEN", INODE_TEXT_LEN, 160, 2, ""}, {"INODE_TEXT", INODE_TEXT, 162, 74, ""},
          {"INODE_KEY", INODE_KEY, 0, 20, "unique"}}},
        {"DB_CR", DB_CR, 20,
         {{"CR_PARENT_REF_CNT", CR_PARENT_REF_CNT, 0, 4, ""}, {"CR_CRC", CR_CRC, 4, 4, ""},
          {"CR_OFFSET", CR_OFFSET, 8, 4, ""}, {"CR_HEADER_WORD", CR_HEADER_WORD, 12, 4, ""},
          {"CR_LENGTH", CR_LENGTH, 16, 4, ""}}},
        {"DB_DO", DB_DO, 36,
         {{"DO_REPLICA_UUID", DO_REPLICA_UUID, 0, 16, ""}, {"DO_OID", DO_OID, 16, 16, "unique"},
          {"DO_SESSION_HOLD", DO_SESSION_HOLD, 32, 4, "duplicate optional"}}},
        {"DB_SUB_DO", DB_SUB_DO, 224, {{"SUB_DO_OIDS", SUB_DO_OIDS, 0, 224, ""}}},
        {"DB_UNELEVATED_REF", DB_UNELEVATED_REF, 16, {{"UNELEVATED_REPLICA_UUID", UNELEVATED_REPLICA_UUID, 0, 16, ""}}},
        {"DB_CR_FREE", DB_CR_FREE, 8,
         {{"CR_FREE_LEN", CR_FREE_LEN, 0, 4, "duplicate"}, {"CR_FREE_OFFSET", CR_FREE_OFFSET, 4, 4, "unique"}}},
        {"DB_BYTES", DB_BYTES, 94,
         {{"BYTES_OWNER_DBA", BYTES_OWNER_DBA, 0, 4, ""}, {"BYTES_DATA", BYTES_DATA, 4, 90, ""}}},
        {"DB_BYTES_SMALL", DB_BYTES_SMALL, 94,
         {{"BYTES_SMALL_OWNER_DBA", BYTES_SMALL_OWNER_DBA, 0, 4, ""},
          {"BYTES_SMALL_DATA", BYTES_SMALL_DATA, 4, 90, ""}}},
        {"DB_BYTES_MED", DB_BYTES_MED, 236,
         {{"BYTES_MED_OWNER_DBA", BYTES_MED_OWNER_DBA, 0, 4, ""}, {"BYTES_MED_DATA", BYTES_MED_DATA, 4, 232, ""}}},
        {"VNS_DB_OBJ", VNS_DB_OBJ, 72,
         {{"OBJ_VOB_DBA", OBJ_VOB_DBA, 0, 4, ""}, {"OBJ_OID", OBJ_OID, 4, 16, ""},
          {"OBJ_MTYPE", OBJ_MTYPE, 20, 4, ""}, {"OBJ_DBID", OBJ_DBID, 24, 4, ""},
          {"OBJ_FSTAT_TYPE", OBJ_FSTAT_TYPE, 28, 4, ""}, {"OBJ_FSTAT_MODE", OBJ_FSTAT_MODE, 32, 4, ""},
          {"OBJ_NODE_ID", OBJ_NODE_ID, 36, 4, ""}, {"OBJ_ATIME_SEC", OBJ_ATIME_SEC, 40, 4, ""},
          {"OBJ_ATIME_USEC", OBJ_ATIME_USEC, 44, 4, ""}, {"OBJ_MTIME_SEC", OBJ_MTIME_SEC, 48, 4, ""},
          {"OBJ_MTIME_USEC", OBJ_MTIME_USEC, 52, 4, ""}, {"OBJ_CTIME_SEC", OBJ_CTIME_SEC, 56, 4, ""},
          {"OBJ_CTIME_USEC", OBJ_CTIME_USEC, 60, 4, ""}, {"OBJ_XTIME_SEC", OBJ_XTIME_SEC, 64, 4, ""},
          {"OBJ_XTIME_USEC", OBJ_XTIME_USEC, 68, 4, ""}, {"OBJ_DBID_KEY", OBJ_DBID_KEY, 0, 8, "unique"},
          {"OBJ_OID_KEY", OBJ_OID_KEY, 0, 20, "unique"}}},
        {"vns_db_dir_ver", VNS_DB_DIR_VER, 20,
         {{"DIR_VER_VOB_DBA", DIR_VER_VOB_DBA, 0, 4, ""}, {"DIR_VER_DBID", DIR_VER_DBID, 4, 4, ""},
          {"DIR_VER_PARENT", DIR_VER_PARENT, 8, 4, ""}, {"DIR_VER_KIND", DIR_VER_KIND, 12, 4, ""},
          {"DIR_VER_RDDIR_DONE", DIR_VER_RDDIR_DONE, 16, 2, ""}, {"DIR_VER_SAVED", DIR_VER_SAVED, 18, 2, ""},
          {"DIR_VER_KEY", DIR_VER_KEY, 0, 8, "unique"}}},
        {"vns_db_dir_ver_ent", VNS_DB_DIR_VER_ENT, 200,
         {{"DIR_VER_ENT_VOB_DBA", DIR_VER_ENT_VOB_DBA, 0, 4, ""},
          {"DIR_VER_ENT_BYTES_DBA", DIR_VER_ENT_BYTES_DBA, 4, 4, ""}, {"DIR_VER_ENT_VER", DIR_VER_ENT_VER, 8, 4, ""},
          {"DIR_VER_ENT_PARENT", DIR_VER_ENT_PARENT, 12, 4, ""}, {"DIR_VER_ENT_SCOPE", DIR_VER_ENT_SCOPE, 16, 16, ""},
          {"DIR_VER_ENT_HASH", DIR_VER_ENT_HASH, 32, 4, ""}, {"DIR_VER_ENT_SPARE", DIR_VER_ENT_SPARE, 36, 4, ""},
          {"DIR_VER_ENT_MTYPE", DIR_VER_ENT_MTYPE, 40, 4, ""}, {"DIR_VER_ENT_VALID", DIR_VER_ENT_VALID, 44, 4, ""},
          {"DIR_VER_ENT_GN", DIR_VER_ENT_GN, 48, 4, ""}, {"DIR_VER_ENT_NAME_LEN", DIR_VER_ENT_NAME_LEN, 52, 2, ""},
          {"DIR_VER_ENT_REMOVE", DIR_VER_ENT_REMOVE, 54, 2, ""}, {"DIR_VER_ENT_NAME", DIR_VER_ENT_NAME, 56, 144, ""},
          {"DIR_VER_ENT_KEY", DIR_VER_ENT_KEY, 0, 8, "duplicate"},
          {"DIR_VER_ENT_NAME_KEY", DIR_VER_ENT_NAME_KEY, 0, 12, "duplicate"}}},
        {"VNS_DB_VER", VNS_DB_VER, 36,
         {{"VER_VOB_DBA", VER_VOB_DBA, 0, 4, ""}, {"VER_DBID", VER_DBID, 4, 4, ""},
          {"VER_TIME_SEC", VER_TIME_SEC, 8, 4, ""}, {"VER_SIZE_LOW", VER_SIZE_LOW, 12, 4, ""},
          {"VER_SIZE_HIGH", VER_SIZE_HIGH, 16, 4, ""}, {"VER_TIME_USEC", VER_TIME_USEC, 20, 4, ""},
          {"VER_FSTAT_AUX", VER_FSTAT_AUX, 24, 4, ""}, {"VER_MTYPE", VER_MTYPE, 28, 4, ""},
          {"VER_STALE", VER_STALE, 32, 4, ""}, {"VER_KEY", VER_KEY, 0, 8, "unique"}}},
        // 94 bytes of fields; the record's last two bytes are padding.
        {"VNS_DB_SLINK", VNS_DB_SLINK, 94,
         {{"SLINK_VOB_DBA", SLINK_VOB_DBA, 0, 4, ""}, {"SLINK_DBID", SLINK_DBID, 4, 4, ""},
          {"SLINK_BYTES_DBA", SLINK_BYTES_DBA, 8, 4, ""}, {"SLINK_TIME_SEC", SLINK_TIME_SEC, 12, 4, ""},
          {"SLINK_TIME_USEC", SLINK_TIME_USEC, 16, 4, ""}, {"SLINK_TEXT_LEN", SLINK_TEXT_LEN, 20, 2, ""},
          {"SLINK_TEXT", SLINK_TEXT, 22, 72, ""}, {"SLINK_KEY", SLINK_KEY, 0, 8, "unique"}}},
        {"VNS_DB_ELEM", VNS_DB_ELEM, 40,
         {{"ELEM_VOB_DBA", ELEM_VOB_DBA, 0, 4, ""}, {"ELEM_DBID", ELEM_DBID, 4, 4, ""},
          {"ELEM_CO_OID", ELEM_CO_OID, 8, 16, ""}, {"ELEM_TIME_SEC", ELEM_TIME_SEC, 24, 4, ""},
          {"ELEM_TIME_USEC", ELEM_TIME_USEC, 28, 4, ""}, {"ELEM_SPARE", ELEM_SPARE, 32, 4, ""},
          {"ELEM_CHECKEDOUT", ELEM_CHECKEDOUT, 36, 4, "duplicate optional"},
          {"ELEM_KEY", ELEM_KEY, 0, 8, "unique"}}},
        {"vns_db_lr_scope", VNS_DB_LR_SCOPE, 94,
         {{"LR_SCOPE_OID", LR_SCOPE_OID, 0, 16, "duplicate"},
          {"LR_SCOPE_NAME_HASH", LR_SCOPE_NAME_HASH, 16, 4, "duplicate"}, {"LR_SCOPE_GN", LR_SCOPE_GN, 20, 4, ""},
          {"LR_SCOPE_COMPLETED_GN", LR_SCOPE_COMPLETED_GN, 24, 4, ""},
          {"LR_SCOPE_NAME_LEN", LR_SCOPE_NAME_LEN, 28, 4, ""},
          {"LR_SCOPE_NAME_CHAIN", LR_SCOPE_NAME_CHAIN, 32, 4, ""}, {"LR_SCOPE_SPARE", LR_SCOPE_SPARE, 36, 2, ""},
          {"LR_SCOPE_STATE", LR_SCOPE_STATE, 38, 2, ""}, {"LR_SCOPE_NAME", LR_SCOPE_NAME, 40, 54, ""}}},
        {"vns_db_view", VNS_DB_VIEW, 24,
         {{"VNS_VIEW_UUID", VNS_VIEW_UUID, 0, 16, ""}, {"VNS_VIEW_GN", VNS_VIEW_GN, 16, 4, ""},
          {"VNS_VIEW_INITIAL_GN", VNS_VIEW_INITIAL_GN, 20, 4, ""}}},
    };
    return records;
}

class DbSchema : public db_test::ViewDbTest {};

TEST_F(DbSchema, EveryRecordFieldKeyAndSetByNumberPlaceAndSize) {
    const Listing l = listing_of(home.path() + "/check.dbd");
    ASSERT_EQ(expected_records().size(), l.records.size());
    for (const Record& r : expected_records()) {
        SCOPED_TRACE(r.name);
        auto found = l.records.find(r.name);
        ASSERT_NE(found, l.records.end());
        EXPECT_EQ(r.number, found->second.number);
        // The engine keeps records to whole 16-bit words.
        EXPECT_EQ((r.size + 1) / 2 * 2, found->second.length - found->second.data);
        EXPECT_EQ(r.fields.size(), found->second.fields.size());
        for (const Field& f : r.fields) {
            SCOPED_TRACE(f.name);
            auto field = found->second.fields.find(f.name);
            ASSERT_NE(field, found->second.fields.end());
            EXPECT_EQ(f.number, field->second.number);
            EXPECT_EQ(f.length, field->second.length);
            EXPECT_EQ(f.offset, field->second.offset);
            EXPECT_EQ(f.key, field->second.key);
        }
    }
    const struct {
        const char* name;
        int number;
        const char* shape;
    } sets[] = {
        {"DO_OID_SET", DO_OID_SET, "owner DB_CR, order last, members DB_DO"},
        {"SUB_DO_SET", SUB_DO_SET, "owner DB_CR, order last, members DB_SUB_DO"},
        {"UNELEVATED_CR_SET", UNELEVATED_CR_SET, "owner DB_CR, order last, members DB_UNELEVATED_REF"},
        {"DB_BYTES_SET", DB_BYTES_SET, "owner DB_BYTES, order last, members DB_BYTES_SMALL, DB_BYTES_MED"},
        {"DIR_ENT_SET", DIR_ENT_SET, "owner DB_DIR, order last, members DB_DIR_ENT"},
        {"INODE_OID_SET", INODE_OID_SET, "owner DB_INODE, order last, members DB_DIR, DB_DIR_ENT"},
        {"DIR_VER_ENT_SET", DIR_VER_ENT_SET, "owner vns_db_dir_ver, order last, members vns_db_dir_ver_ent"},
        {"VER_DIR_ENT_SET", VER_DIR_ENT_SET, "owner VNS_DB_VER, order last, members vns_db_dir_ver_ent"},
        {"SLINK_DIR_ENT_SET", SLINK_DIR_ENT_SET, "owner VNS_DB_SLINK, order last, members vns_db_dir_ver_ent"},
        {"ELEM_VER_SET", ELEM_VER_SET, "owner VNS_DB_ELEM, order last, members VNS_DB_VER"},
        {"SCOPE_DIR_VER_ENT_SET", SCOPE_DIR_VER_ENT_SET,
         "owner vns_db_lr_scope, order last, members vns_db_dir_ver_ent"},
    };
    EXPECT_EQ(std::size(sets), l.sets.size());
    for (const auto& s : sets) {
        SCOPED_TRACE(s.name);
        ASSERT_EQ(1u, l.sets.count(s.name));
        EXPECT_EQ(s.number, l.sets.at(s.name).number);
        EXPECT_EQ(s.shape, l.sets.at(s.name).rest);
    }
}

TEST_F(DbSchema, RecordImagesAreLaidOutAsTheRecords) {
    const Listing l = listing_of(home.path() + "/check.dbd");
    auto offset = [&](const char* record, const char* field) {
        return l.records.at(record).fields.at(field).offset;
    };
    auto data = [&](const char* record) { return l.records.at(record).length - l.records.at(record).data; };
    // Each image takes the whole data part (the engine copies it whole).
    EXPECT_GE(sizeof(db_vob), size_t(data("DB_VOB")));
    EXPECT_GE(sizeof(db_dir_ent), size_t(data("DB_DIR_ENT")));
    EXPECT_GE(sizeof(db_inode), size_t(data("DB_INODE")));
    EXPECT_GE(sizeof(db_bytes_med), size_t(data("DB_BYTES_MED")));
    EXPECT_GE(sizeof(vns_db_lr_scope), size_t(data("vns_db_lr_scope")));
    EXPECT_GE(sizeof(db_cr), size_t(data("DB_CR")));
    EXPECT_GE(sizeof(db_do), size_t(data("DB_DO")));
    EXPECT_GE(sizeof(db_sub_do), size_t(data("DB_SUB_DO")));
    EXPECT_GE(sizeof(db_unelevated_ref), size_t(data("DB_UNELEVATED_REF")));
    EXPECT_GE(sizeof(vns_db_obj), size_t(data("VNS_DB_OBJ")));
    EXPECT_GE(sizeof(vns_db_dir_ver), size_t(data("vns_db_dir_ver")));
    EXPECT_GE(sizeof(vns_db_dir_ver_ent), size_t(data("vns_db_dir_ver_ent")));
    EXPECT_GE(sizeof(vns_db_ver), size_t(data("VNS_DB_VER")));
    EXPECT_GE(sizeof(vns_db_elem), size_t(data("VNS_DB_ELEM")));
    EXPECT_GE(sizeof(vns_db_slink), size_t(data("VNS_DB_SLINK")));
    const struct {
        const char* record;
        const char* field;
        size_t image_offset;
    } rows[] = {
        {"DB_VOB", "VOB_REF_CNT", offsetof(db_vob, ref_cnt)}, {"DB_VOB", "VOB_GEN_NUM", offsetof(db_vob, gen_num)},
        {"DB_VOB", "VOB_BYTES_DBA", offsetof(db_vob, bytes_dba)}, {"DB_VOB", "VOB_TEXT_LEN", offsetof(db_vob, text_len)},
        {"DB_VOB", "VOB_TEXT", offsetof(db_vob, text)}, {"DB_DIR", "DIR_INODE_DBA", offsetof(db_dir, inode_dba)},
        {"DB_DIR_ENT", "DIR_ENT_HIJACK_OID2", offsetof(db_dir_ent, hijack_oid2)},
        {"DB_DIR_ENT", "DIR_ENT_HASH", offsetof(db_dir_ent, hash)},
        {"DB_DIR_ENT", "DIR_ENT_OFFSET", offsetof(db_dir_ent, offset)},
        {"DB_DIR_ENT", "DIR_ENT_BYTES_DBA", offsetof(db_dir_ent, bytes_dba)},
        {"DB_DIR_ENT", "DIR_ENT_NAME_STATE", offsetof(db_dir_ent, name_state)},
        {"DB_DIR_ENT", "DIR_ENT_NAME", offsetof(db_dir_ent, name)},
        {"DB_INODE", "INODE_OID", offsetof(db_inode, oid)},
        {"DB_INODE", "INODE_FSTAT_SIZE_LOW", offsetof(db_inode, fstat) + offsetof(db_inode_fstat, size_low)},
        {"DB_INODE", "INODE_FSTAT_XTIME_SEC", offsetof(db_inode, fstat) + offsetof(db_inode_fstat, xtime_sec)},
        {"DB_INODE", "INODE_FSTAT_USID_BYTES_DBA", offsetof(db_inode, fstat) + offsetof(db_inode_fstat, usid_bytes_dba)},
        {"DB_INODE", "INODE_FSTAT_GSID_LEN", offsetof(db_inode, fstat) + offsetof(db_inode_fstat, gsid_len)},
        {"DB_INODE", "INODE_FSTAT_GSID", offsetof(db_inode, fstat) + offsetof(db_inode_fstat, gsid)},
        {"DB_INODE", "INODE_MTYPE", offsetof(db_inode, mtype)}, {"DB_INODE", "INODE_GEN_NUM", offsetof(db_inode, gen_num)},
        {"DB_INODE", "INODE_TEXT_BYTES_DBA", offsetof(db_inode, text_bytes_dba)},
        {"DB_INODE", "INODE_TEXT", offsetof(db_inode, text)},
        {"DB_CR_FREE", "CR_FREE_OFFSET", offsetof(db_cr_free, offset)},
        {"DB_BYTES", "BYTES_DATA", offsetof(db_bytes, data)},
        {"DB_BYTES_SMALL", "BYTES_SMALL_DATA", offsetof(db_bytes_small, data)},
        {"DB_BYTES_MED", "BYTES_MED_DATA", offsetof(db_bytes_med, data)},
        {"vns_db_lr_scope", "LR_SCOPE_NAME_CHAIN", offsetof(vns_db_lr_scope, name_chain)},
        {"vns_db_lr_scope", "LR_SCOPE_STATE", offsetof(vns_db_lr_scope, state)},
        {"vns_db_lr_scope", "LR_SCOPE_NAME", offsetof(vns_db_lr_scope, name)},
        {"vns_db_view", "VNS_VIEW_INITIAL_GN", offsetof(vns_db_view, initial_gn)},
        {"DB_CR", "CR_HEADER_WORD", offsetof(db_cr, header_word)}, {"DB_CR", "CR_LENGTH", offsetof(db_cr, length)},
        {"DB_DO", "DO_OID", offsetof(db_do, oid)}, {"DB_DO", "DO_SESSION_HOLD", offsetof(db_do, session_hold)},
        {"VNS_DB_OBJ", "OBJ_MTYPE", offsetof(vns_db_obj, mtype)}, {"VNS_DB_OBJ", "OBJ_DBID", offsetof(vns_db_obj, dbid)},
        {"VNS_DB_OBJ", "OBJ_NODE_ID", offsetof(vns_db_obj, node_id)},
        {"VNS_DB_OBJ", "OBJ_ATIME_SEC", offsetof(vns_db_obj, atime)},
        {"VNS_DB_OBJ", "OBJ_CTIME_USEC", offsetof(vns_db_obj, ctime) + 4},
        {"VNS_DB_OBJ", "OBJ_XTIME_SEC", offsetof(vns_db_obj, xtime)},
        {"vns_db_dir_ver", "DIR_VER_PARENT", offsetof(vns_db_dir_ver, parent)},
        {"vns_db_dir_ver", "DIR_VER_SAVED", offsetof(vns_db_dir_ver, saved)},
        {"vns_db_dir_ver_ent", "DIR_VER_ENT_VER", offsetof(vns_db_dir_ver_ent, ver)},
        {"vns_db_dir_ver_ent", "DIR_VER_ENT_SCOPE", offsetof(vns_db_dir_ver_ent, scope)},
        {"vns_db_dir_ver_ent", "DIR_VER_ENT_GN", offsetof(vns_db_dir_ver_ent, gn)},
        {"vns_db_dir_ver_ent", "DIR_VER_ENT_REMOVE", offsetof(vns_db_dir_ver_ent, remove)},
        {"vns_db_dir_ver_ent", "DIR_VER_ENT_NAME", offsetof(vns_db_dir_ver_ent, name)},
        {"VNS_DB_VER", "VER_SIZE_HIGH", offsetof(vns_db_ver, size_high)},
        {"VNS_DB_VER", "VER_STALE", offsetof(vns_db_ver, stale)},
        {"VNS_DB_ELEM", "ELEM_CO_OID", offsetof(vns_db_elem, co_oid)},
        {"VNS_DB_ELEM", "ELEM_CHECKEDOUT", offsetof(vns_db_elem, checkedout)},
        {"VNS_DB_SLINK", "SLINK_BYTES_DBA", offsetof(vns_db_slink, bytes_dba)},
        {"VNS_DB_SLINK", "SLINK_TEXT_LEN", offsetof(vns_db_slink, text_len)},
        {"VNS_DB_SLINK", "SLINK_TEXT", offsetof(vns_db_slink, text)},
    };
    for (const auto& row : rows) EXPECT_EQ(int(row.image_offset), offset(row.record, row.field)) << row.field;
    // The compound keys as the key calls take them.
    EXPECT_EQ(sizeof(db_dir_ent_key), size_t(l.records.at("DB_DIR_ENT").fields.at("DIR_ENT_KEY").length));
    EXPECT_EQ(sizeof(db_inode_key), size_t(l.records.at("DB_INODE").fields.at("INODE_KEY").length));
    EXPECT_EQ(sizeof(db_obj_oid_key), size_t(l.records.at("VNS_DB_OBJ").fields.at("OBJ_OID_KEY").length));
    for (const auto& [record, key] : {std::pair{"VNS_DB_OBJ", "OBJ_DBID_KEY"}, {"VNS_DB_VER", "VER_KEY"},
                                      {"VNS_DB_ELEM", "ELEM_KEY"}, {"vns_db_dir_ver", "DIR_VER_KEY"},
                                      {"vns_db_dir_ver_ent", "DIR_VER_ENT_KEY"}, {"VNS_DB_SLINK", "SLINK_KEY"}})
        EXPECT_EQ(sizeof(db_vob_dbid_key), size_t(l.records.at(record).fields.at(key).length)) << key;
    EXPECT_EQ(sizeof(db_dir_ver_ent_name_key),
              size_t(l.records.at("vns_db_dir_ver_ent").fields.at("DIR_VER_ENT_NAME_KEY").length));
}

TEST_F(DbSchema, ANewDatabaseGetsTheInstalledDictionaryAndOneFreeExtent) {
    // The build installed what the schema source makes.
    listing_of(home.path() + "/check.dbd");
    const std::string installed = std::string(OSTREL_TEST_SERVER_DIR) + "/ostrel_db.dbd";
    EXPECT_EQ(read_file(home.path() + "/check.dbd"), read_file(installed));
    EXPECT_EQ("1\n", read_file(std::string(OSTREL_TEST_SERVER_DIR) + "/ostrel_db_schema_version"));

    open_new();
    EXPECT_EQ(read_file(installed), read_file(storage + "/db/ostrel_db.dbd"));
    struct stat st;
    ASSERT_EQ(0, ::stat((storage + "/db/ostrel_db.dbd").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    ASSERT_EQ(0, ::stat((storage + "/.s/" + OSTREL_DB_CRS_FILE).c_str(), &st));
    EXPECT_EQ(0, st.st_size);
    std::vector<db_cr_free> extents;
    ASSERT_EQ(0, read_tx([&] {
        int status = dt_recfrst(DB_CR_FREE, &view_db_task, VDB);
        for (; status == S_OKAY; status = dt_recnext(&view_db_task, VDB)) {
            db_cr_free e;
            dt_recread(&e, &view_db_task, VDB);
            extents.push_back(e);
        }
        return status == S_NOTFOUND ? 0 : status;
    }));
    ASSERT_EQ(1u, extents.size());
    EXPECT_EQ(0xFFFFFFFFu, extents[0].len);
    EXPECT_EQ(0u, extents[0].offset);
}

TEST_F(DbSchema, InstallingFromAnIncompleteServerDirectoryFails) {
    const std::string server = home.path() + "/server";
    ASSERT_EQ(0, ::mkdir(server.c_str(), 0700));
    setenv("NORVANE_SERVER_DIR", server.c_str(), 1);
    const std::string dbd = read_file(std::string(OSTREL_TEST_SERVER_DIR) + "/ostrel_db.dbd");
    // Without the version file: no dictionary either.
    write_file(server + "/ostrel_db.dbd", dbd);
    EXPECT_EQ(QEL_ST_INTERNAL, ostrela_db_init_schema());
    EXPECT_FALSE(lib_test::exists(storage + "/db/ostrel_db.dbd"));
    EXPECT_TRUE(messages.has(server + "/ostrel_db_schema_version")) << messages.text();
    // Without the dictionary.
    ::unlink((server + "/ostrel_db.dbd").c_str());
    write_file(server + "/ostrel_db_schema_version", "1\n");
    EXPECT_EQ(QEL_ST_INTERNAL, ostrela_db_init_schema());
    EXPECT_FALSE(lib_test::exists(storage + "/db/ostrel_db.dbd"));
    // A new view cannot be made then, and says why.
    int created = 0;
    EXPECT_EQ(QEL_ST_INTERNAL, ostrel_db_init(&created));
    EXPECT_EQ(0, created);
}

} // namespace
