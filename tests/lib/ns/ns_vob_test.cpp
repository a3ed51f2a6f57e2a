// The VOB cache and the view database's calls under it: records made from
// the VOB's registration, read again after a flush, registered and removed,
// the errors of VOB operations, and the inode reads by dbid and by oid.

#include <fstream>

#include "lib/ns/ns_test_support.h"

namespace {

using namespace ns_test;

class NsVob : public NsTest {};

TEST_F(NsVob, ARecordIsMadeOnlyForARegisteredVob) {
    const qel_uuid_s unknown = uuid_of(9);
    int status = 0;
    EXPECT_EQ(nullptr, vob_find(&unknown, &status));
    EXPECT_EQ(QEL_ST_NO_SUCH_VOB, status);
    EXPECT_EQ(nullptr, vob_find_cached(&unknown));

    view_vob* v = vob_find(&vob_uuid, &status);
    ASSERT_NE(nullptr, v);
    EXPECT_EQ(vob_dbid, v->db_id);
    EXPECT_EQ("host", v->host);
    EXPECT_EQ("/vobs/a", v->path);
    EXPECT_EQ(0xFFFFFFFFu, v->stamp);
    EXPECT_EQ(1, v->found);
    EXPECT_EQ(v, vob_find(&vob_uuid, &status));
}

TEST_F(NsVob, AFlushedCacheReadsTheRegistrationAgain) {
    script(13, SYMLINK);
    int status = 0;
    obj_free(locate(load(13), &status));
    view_vob* v = vob();
    ASSERT_EQ(1u, v->obj_count);
    vob_cache_flush();
    EXPECT_EQ(0u, v->db_id);
    EXPECT_EQ(0u, v->obj_count);
    EXPECT_EQ(0u, stats()[ST_OBJ_COUNT]);
    EXPECT_EQ(v, vob_find(&vob_uuid, &status));
    EXPECT_EQ(vob_dbid, v->db_id);
}

TEST_F(NsVob, PathsComeFromTheRecordOrTheDatabaseAndMustFit) {
    const qel_uuid_s long_host = uuid_of(3);
    uint32_t dbid = 0;
    ASSERT_EQ(0, db_test::write_tx([&] { return ostrela_db_vob_create(&long_host, "averylonghost:/p", &dbid); }));
    char host[10];
    char path[64];
    for (bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "cached" : "from the database");
        int status = 0;
        if (cached) {
            ASSERT_NE(nullptr, vob_find(&long_host, &status));
        }
        EXPECT_EQ(QEL_ST_TOO_LONG, ostrel_vob_get_path(&long_host, sizeof host, host, sizeof path, path));
        ASSERT_EQ(0, ostrel_vob_get_path(&vob_uuid, sizeof host, host, sizeof path, path));
        EXPECT_STREQ("host", host);
        EXPECT_STREQ("/vobs/a", path);
    }
}

TEST_F(NsVob, ATextWithoutColonIsABadRegistration) {
    const qel_uuid_s bad = uuid_of(4);
    uint32_t dbid = 0;
    ASSERT_EQ(0, db_test::write_tx([&] { return ostrela_db_vob_create(&bad, "nocolon", &dbid); }));
    char host[64];
    unsigned id = 0;
    EXPECT_EQ(0, ostrel_db_vob_read(&bad, 0, nullptr, 0, nullptr, &id));
    EXPECT_EQ(dbid, id);
    EXPECT_EQ(QEL_ST_INTERNAL, ostrel_db_vob_read(&bad, sizeof host, host, 0, nullptr, nullptr));
    EXPECT_TRUE(messages.has("Bad host:pathname 'nocolon'")) << messages.text();
}

TEST_F(NsVob, AVobReachedByRootIsRegisteredThroughAHandle) {
    const qel_uuid_s fresh = uuid_of(5);
    ASSERT_EQ(0, ostrel_vob_create(&fresh, "ignored", "ignored"));
    view_vob* v = vob_find_cached(&fresh);
    ASSERT_NE(nullptr, v);
    EXPECT_EQ(0u, v->db_id);
    // An object of the VOB in the cache while the view database has no
    // record of the VOB (of a kind that the view database does not keep,
    // entered as its metadata would enter it).
    {
        Ns_Cache_Lock lock;
        qel_oid_s oid = oid_of(13);
        qel_fstat_db_s f = file_status(QEL_FTYPE_REG, 0644);
        int status = -1;
        obj_entry* o = activate_vob_obj(v, 13, &oid, 9, 0, &f, 0, &status);
        ASSERT_NE(nullptr, o) << status;
        obj_free(o);
    }
    view_fhandle fh{};
    fh.vob_uuid = fresh;
    fh.dbid = fh.elem_dbid = 13;
    fh.stamp = 0;
    ASSERT_EQ(0, ostrel_vob_save_path(&fh));
    EXPECT_NE(0u, v->db_id);
    char host[16] = "x";
    char path[16] = "x";
    unsigned id = 0;
    ASSERT_EQ(0, ostrel_db_vob_read(&fresh, sizeof host, host, sizeof path, path, &id));
    EXPECT_EQ(v->db_id, id);
    EXPECT_STREQ("", host);
    EXPECT_STREQ("", path);
}

TEST_F(NsVob, AVobGoesWithItsEmptyCoversButNotWithViewData) {
    make_inode(oid_of(1), DIR_VER, QEL_FTYPE_DIR);
    make_inode(oid_of(2), DIR_ELEM, QEL_FTYPE_DIR);
    ASSERT_NE(nullptr, vob());
    EXPECT_EQ(0, ostrel_vob_rm_path(&vob_uuid));
    EXPECT_EQ(nullptr, vob_find_cached(&vob_uuid));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_vob_read(&vob_uuid, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_vob_rm_path(&vob_uuid));

    const qel_uuid_s busy = uuid_of(6);
    ASSERT_EQ(0, db_test::write_tx([&] { return ostrela_db_vob_create(&busy, "h:/b", &vob_dbid); }));
    make_inode(oid_of(3), 0x13, QEL_FTYPE_REG);
    EXPECT_EQ(QEL_ST_NOT_EMPTY, ostrel_vob_rm_path(&busy));
    EXPECT_EQ(0, ostrel_db_vob_read(&busy, 0, nullptr, 0, nullptr, nullptr));
}

TEST_F(NsVob, ErrorsOfVobOperationsAreWordedByOperation) {
    view_vob* v = vob();
    v->name = "vobA";
    struct Case {
        const char* op;
        const char* object;
        int status;
        int result;
        const char* text;  // null: no message
    };
    const Case cases[] = {
        {"vob_ver_construct_cltxt", nullptr, QEL_ST_NOT_FOUND, QEL_ST_NOT_FOUND,
         "Unable to construct cleartext for object in VOB \"vobA\""},
        {"vob_ver_construct_cltxt", "obj", QEL_ST_NOT_FOUND, QEL_ST_NOT_FOUND,
         "Unable to construct cleartext for object \"obj\" in VOB \"vobA\""},
        {"vob_ver_construct_cltxt_pname", nullptr, QEL_ST_NOT_FOUND, QEL_ST_NOT_FOUND,
         "cleartext name for object \"<<unknown>>\""},
        {"other_op", nullptr, QEL_ST_NO_MEMORY, QEL_ST_CANNOT_CREATE, "op other_op:"},
        {"other_op", "obj", QEL_ST_INTERNAL, QEL_ST_INTERNAL, "op other_op (obj):"},
        {"other_op", nullptr, QEL_ST_UNREACHABLE, QEL_ST_UNREACHABLE, nullptr},
        {"other_op", nullptr, QEL_ST_INTERRUPTED, QEL_ST_INTERRUPTED, nullptr},
    };
    for (const Case& c : cases) {
        messages.clear();
        EXPECT_EQ(c.result, vob_print_error(v, c.op, c.object, c.status)) << c.op;
        if (c.text == nullptr) {
            EXPECT_EQ("", messages.text());
        } else {
            EXPECT_TRUE(messages.has(c.text)) << messages.text();
        }
    }
    messages.clear();
    vob_print_error_dirname(v, "op", 0x2a, "name", QEL_ST_INTERNAL);
    EXPECT_TRUE(messages.has("(0x2A->name)")) << messages.text();
    EXPECT_TRUE(messages.has("on host host")) << messages.text();
}

TEST_F(NsVob, InodesAreReadByDbidAndByOidWithTheirGeneration) {
    uint32_t gen = 0;
    uint32_t dbid = make_inode(oid_of(40), 0x13, QEL_FTYPE_REG, &gen, 0640);
    qel_oid_s oid{};
    qel_fstat_db_s fstat{};
    vob_mtype_t mtype = 0;
    unsigned stamp = 0;
    ASSERT_EQ(0, ostrel_db_dbid2oid(vob_dbid, dbid, &oid, &fstat, &mtype, &stamp));
    const qel_oid_s expected = oid_of(40);
    EXPECT_TRUE(qel_oid_eq(&oid, &expected));
    EXPECT_EQ(0640u, fstat.mode);
    EXPECT_EQ(0x13u, mtype);
    EXPECT_EQ(gen, stamp);
    // Every status handed out carries the agent's own identities.
    EXPECT_TRUE(credutl_sid_eq(&ostrelagent_my_creds()->user_sid, &fstat.usid));
    unsigned found = 0;
    stamp = 0;
    ASSERT_EQ(0, ostrel_db_oid2dbid(vob_dbid, &oid, &found, &stamp, nullptr, &mtype));
    EXPECT_EQ(dbid, found);
    EXPECT_EQ(gen, stamp);
    messages.clear();
    qel_oid_s none = oid_of(41);
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_oid2dbid(vob_dbid, &none, &found, nullptr, nullptr, nullptr));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_oid2dbid(0, &oid, &found, nullptr, nullptr, nullptr));
    EXPECT_EQ("", messages.text());
}

TEST_F(NsVob, DeletingAViewFileRemovesItsContainer) {
    uint32_t dbid = make_inode(oid_of(50), 0x13, QEL_FTYPE_REG);
    char name[256];
    qel_oid_s oid = oid_of(50);
    ASSERT_EQ(0, ostrel_storage_create(&oid, nullptr, "f", dbid, name, sizeof name));
    std::string container = storage + "/.s/" + name;
    std::ofstream(container) << "data";
    ASSERT_EQ(0, db_test::write_tx([&] { return ostrela_db_inode_write_text(dbid, name); }));
    int status = 0;
    obj_entry* obj = locate(static_cast<int32_t>(dbid), &status);
    ASSERT_NE(nullptr, obj);
    EXPECT_EQ(0, ostrel_db_delete(obj));
    EXPECT_NE(0, ::access(container.c_str(), F_OK));
    EXPECT_EQ(nullptr, obj_find_dbid(vob(), static_cast<int32_t>(dbid)));
    EXPECT_EQ(QEL_ST_STALE, ostrel_db_dbid2oid(vob_dbid, dbid, nullptr, nullptr, nullptr, nullptr));
}

} // namespace
