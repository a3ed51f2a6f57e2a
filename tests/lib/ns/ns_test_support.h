#pragma once
// The namespace cache's tests: a real view database in a private view
// storage with one or two VOBs registered, content fetch's scripted VOB
// trees, and small helpers to read the cache statistics and make records.

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ns_fstat.h"
#include "lib/ns/ns_locate.h"
#include "lib/ns/ns_vob.h"
#include "lib/ostreladb/db_test_support.h"

namespace ns_test {

using db_test::oid_of;
using db_test::uuid_of;
using Meta = OstrelAgent_Metadata;

// Kinds of the objects the tests make.
constexpr vob_mtype_t DIR_ELEM = 2;
constexpr vob_mtype_t DIR_VER = 3;
constexpr vob_mtype_t FILE_ELEM = 5;
constexpr vob_mtype_t FILE_VER = 6;
constexpr vob_mtype_t SYMLINK = 7;
constexpr vob_mtype_t ATTACHED = 11;
constexpr vob_mtype_t PRIVATE = 19;

// The statistics as a table by number.
inline std::map<uint32_t, uint32_t> stats() {
    std::vector<ns_statistic> rows;
    EXPECT_EQ(0, ns_cache_get_stats(rows));
    std::map<uint32_t, uint32_t> out;
    for (const ns_statistic& r : rows) out[r.number] = r.value;
    return out;
}

// Statistic numbers the tests read.
enum : uint32_t {
    ST_FSTAT_COUNT = 16,
    ST_FSTAT_SIZE = 17,
    ST_OBJ_COUNT = 23,
    ST_OBJ_SIZE = 24,
    ST_OBJ_REQUESTS = 28,
    ST_OBJ_HITS = 29,
    ST_OBJ_RECLAIMS = 31,
    ST_FSTAT_FLUSHES = 36,
    ST_FSTAT_EJECTS = 37,
    ST_OBJ_FLUSHES = 38,
    ST_OBJ_EJECTS = 39,
};

inline qel_fstat_db_s file_status(uint32_t type, qel_fmode_t mode) {
    qel_fstat_db_s f{};
    f.type = type;
    f.mode = mode;
    f.nlink = 1;
    return f;
}

// A view database with VOB `vob_uuid` registered as "host:/vobs/a", an empty
// script, and the caches sized at view start.
class NsTest : public db_test::ViewDbTest {
protected:
    void SetUp() override {
        db_test::ViewDbTest::SetUp();
        open_new();
        Meta::reset_script();
        vob_uuid = uuid_of(1);
        ASSERT_EQ(0, db_test::write_tx([&] { return ostrela_db_vob_create(&vob_uuid, "host:/vobs/a", &vob_dbid); }));
        ASSERT_EQ(0, cache_init());
    }
    void TearDown() override {
        {
            Ns_Cache_Lock lock;
            while (vob_tab != nullptr) vob_dispose(vob_tab);
            cache_flush();
        }
        Meta::reset_script();
        db_test::ViewDbTest::TearDown();
    }

    // The cached record of the test's VOB.
    view_vob* vob() {
        int status = -1;
        view_vob* v = vob_find(&vob_uuid, &status);
        EXPECT_EQ(0, status);
        return v;
    }

    // Scripts an object of the VOB tree of `uuid`.
    static void script(const qel_uuid_s& uuid, unsigned dbid, vob_mtype_t mtype, unsigned elem = 0,
                       qel_fmode_t mode = 0644) {
        Meta::Scripted_Object o;
        o.dbid = dbid;
        o.oid = oid_of(dbid);
        o.mtype = mtype;
        o.elem_dbid = elem;
        o.fstat = file_status(mtype == DIR_ELEM || mtype == DIR_VER ? QEL_FTYPE_DIR : QEL_FTYPE_REG, mode);
        Meta::script_object(uuid, o);
    }
    void script(unsigned dbid, vob_mtype_t mtype, unsigned elem = 0, qel_fmode_t mode = 0644) {
        script(vob_uuid, dbid, mtype, elem, mode);
    }

    // Makes an inode of the VOB in the view database (a directory part for a
    // directory); returns its dbid and generation word.
    uint32_t make_inode(const qel_oid_s& oid, uint32_t mtype, uint32_t type, uint32_t* gen = nullptr,
                        qel_fmode_t mode = 0755) {
        qel_fstat_db_s f = file_status(type, mode);
        f.nlink = 0;
        uint32_t dbid = 0;
        uint32_t g = 0;
        EXPECT_EQ(0, db_test::write_tx([&] {
            int st = ostrela_db_inode_create(vob_dbid, &oid, &f, mtype, &dbid, &g);
            if (st == 0 && type == QEL_FTYPE_DIR) st = ostrela_db_dir_create(dbid);
            return st;
        }));
        if (gen != nullptr) *gen = g;
        return dbid;
    }

    obj_entry* locate(int32_t dbid, int* status) {
        return locate_dbid(vob(), dbid, 0, status);
    }

    qel_uuid_s vob_uuid{};
    uint32_t vob_dbid = 0;
};

} // namespace ns_test
