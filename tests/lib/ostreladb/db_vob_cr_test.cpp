// VOB records and config records on real engine files: a VOB's text, flag
// bit, references and listing, its replica changed; config records written
// into the config-record file through the best-fit free extents, read back,
// refused when damaged, referenced by inodes, build sessions, VOBs and other
// config records, and dropped by the file check.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>

#include "lib/ostreladb/db_test_support.h"

namespace {

using db_test::at;
using db_test::count_records;
using db_test::oid_of;
using db_test::read_tx;
using db_test::text;
using db_test::uuid_of;
using db_test::write_tx;

constexpr uint32_t END = 0xFFFFFFFFu;

struct Extent {
    uint32_t offset, length;
    bool operator==(const Extent& o) const { return offset == o.offset && length == o.length; }
};

std::ostream& operator<<(std::ostream& out, const Extent& e) {
    return out << "(" << e.offset << ", " << e.length << ")";
}

// The records of `type` in record order, read whole into `Image`s.
template <typename Image>
std::vector<Image> records(int type) {
    std::vector<Image> out;
    EXPECT_EQ(0, read_tx([&] {
        int st = dt_recfrst(type, &view_db_task, VDB);
        for (Image rec; st == S_OKAY; st = dt_recnext(&view_db_task, VDB)) {
            if (dt_recread(&rec, &view_db_task, VDB) != S_OKAY) return QEL_ST_INTERNAL;
            out.push_back(rec);
        }
        return st == S_NOTFOUND ? 0 : st;
    }));
    return out;
}

// The free extents of the config-record file, by offset.
std::vector<Extent> free_extents() {
    std::vector<Extent> out;
    for (const db_cr_free& f : records<db_cr_free>(DB_CR_FREE)) out.push_back({f.offset, f.len});
    std::sort(out.begin(), out.end(), [](const Extent& a, const Extent& b) { return a.offset < b.offset; });
    return out;
}

// The config record whose data is `bytes`, in format `header`.
struct Data {
    uint32_t header;
    std::string bytes;
    _qel_cr_compressed_t cr() const {
        return {header, static_cast<uint32_t>(bytes.size()), const_cast<char*>(bytes.data())};
    }
};

class DbVobCr : public db_test::NewDbTest {
protected:
    void SetUp() override {
        db_test::NewDbTest::SetUp();
        vob1 = vob(1);
    }

    uint32_t vob(unsigned n, const std::string& text = "host:/vobs/x") {
        uint32_t dbid = 0;
        EXPECT_EQ(0, write_tx([&] { return ostrela_db_vob_create(at(uuid_of(n)), text.c_str(), &dbid); }));
        return dbid;
    }
    // An inode of kind `mtype` for `oid` in the VOB `vob_dbid`.
    uint32_t inode(uint32_t vob_dbid, const qel_oid_s& oid, uint32_t mtype = 0x15, uint32_t nlink = 1) {
        qel_fstat_db_s fstat{};
        fstat.type = QEL_FTYPE_REG;
        fstat.nlink = nlink;
        uint32_t dbid = 0;
        EXPECT_EQ(0, write_tx([&] { return ostrela_db_inode_create(vob_dbid, &oid, &fstat, mtype, &dbid, nullptr); }));
        return dbid;
    }
    int delete_inode(uint32_t dbid, int build_session = 0) {
        return write_tx([&] { return ostrela_db_inode_delete(dbid, build_session); });
    }
    // Saves a config record of the derived objects `dos` of replica 1 (no
    // inode needed) that uses `used`, with a reference of that VOB.
    int save(const std::vector<qel_oid_s>& dos, const Data& data, const std::vector<qel_oid_s>& used = {},
             int allow_missing = 1) {
        std::vector<qel_uuid_s> uuids(dos.size(), uuid_of(1));
        _qel_cr_compressed_t cr = data.cr();
        return write_tx([&] {
            int status = ostrela_db_cr_create(dos.data(), uuids.data(), static_cast<int>(dos.size()), used.data(),
                                              static_cast<int>(used.size()), &cr, 0, allow_missing);
            return status != 0 ? status : ostrela_db_cr_add_vob_ref(dos.data(), 1, at(uuid_of(1)));
        });
    }
    // Drops the config record of `oid` by its one VOB reference.
    int drop(const qel_oid_s& oid) {
        return write_tx([&] { return ostrela_db_cr_rm_vob_ref(&oid, 1, at(uuid_of(1))); });
    }
    // The record of the config record that `oid` is a derived object of.
    db_cr cr_of(const qel_oid_s& oid) {
        db_cr rec{};
        EXPECT_EQ(0, read_tx([&] {
            db_address owner = 0;
            int st = dt_keyfind(DO_OID, &oid, &view_db_task, VDB);
            if (st == 0) st = dt_setmr(DO_OID_SET, &view_db_task, VDB);
            if (st == 0) st = dt_csoget(DO_OID_SET, &owner, &view_db_task, VDB);
            if (st == 0) st = dt_crset(&owner, &view_db_task, VDB);
            if (st == 0) st = dt_recread(&rec, &view_db_task, VDB);
            return st;
        }));
        return rec;
    }
    int get(const std::vector<qel_oid_s>& dos, std::string* bytes, uint32_t* header = nullptr) {
        _qel_cr_compressed_t* cr = nullptr;
        int status = read_tx([&] { return ostrela_db_cr_get(dos.data(), static_cast<int>(dos.size()), &cr); });
        if (status == 0) {
            bytes->assign(static_cast<const char*>(cr->data), cr->length);
            if (header != nullptr) *header = cr->header;
        } else {
            EXPECT_EQ(nullptr, cr);
        }
        ostrela_db_cr_free(cr);
        return status;
    }
    // The free extents and the config records' extents cover the file's
    // offsets once each, the highest free extent ending at the end.
    void expect_file_covered() {
        std::vector<Extent> all = free_extents();
        for (const db_cr& c : records<db_cr>(DB_CR))
            if (c.length != 0) all.push_back({c.offset, c.length});
        std::sort(all.begin(), all.end(), [](const Extent& a, const Extent& b) { return a.offset < b.offset; });
        uint64_t at = 0;
        for (const Extent& e : all) {
            ASSERT_EQ(at, e.offset) << "a gap or an overlap before " << e;
            at += e.length;
        }
        EXPECT_EQ(uint64_t{END}, at);
        ASSERT_FALSE(free_extents().empty());
        EXPECT_EQ(uint64_t{END}, uint64_t{free_extents().back().offset} + free_extents().back().length);
    }

    uint32_t vob1 = 0;
};

Data data_of(size_t n, char fill = 'd', uint32_t header = 0x11) {
    std::string bytes(n, fill);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(fill + i % 7);
    return {header, bytes};
}

// ---------------------------------------------------------------------------
// VOB records

TEST_F(DbVobCr, AVobsTextReadsBackWholeAndItsRecordGoesOnlyWhenUnreferenced) {
    const std::string text = "host-a:" + std::string(293, 'p');  // 300 bytes: 208 inline, 92 in a string
    uint32_t v = vob(2, text);
    EXPECT_EQ(1, count_records(DB_BYTES));
    uint32_t found = 0;
    std::vector<char> buf(text.size() + 1);
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_vob_read(at(uuid_of(2)), buf.size(), buf.data(), &found); }));
    EXPECT_EQ(text, buf.data()) << "length + 1 bytes are room enough";
    EXPECT_EQ(v, found);
    EXPECT_EQ(QEL_ST_TOO_LONG,
              read_tx([&] { return ostrela_db_vob_read(at(uuid_of(2)), text.size(), buf.data(), nullptr); }));
    EXPECT_EQ(QEL_ST_NOT_FOUND, read_tx([&] { return ostrela_db_vob_read(at(uuid_of(9)), 0, nullptr, &found); }));

    // A new text; the long one's string goes.
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_update(v, "host-b:/vobs/b"); }));
    EXPECT_EQ(0, count_records(DB_BYTES));
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_vob_read(at(uuid_of(2)), buf.size(), buf.data(), nullptr); }));
    EXPECT_STREQ("host-b:/vobs/b", buf.data());
    uint32_t file = inode(v, oid_of(20));
    EXPECT_EQ(QEL_ST_STALE, write_tx([&] { return ostrela_db_vob_update(file, "x:y"); })) << "an inode";
    EXPECT_EQ(QEL_ST_INTERNAL, write_tx([&] { return ostrela_db_vob_update(v & ~OSTREL_DB_DBID_BIT, "x:y"); }));
    EXPECT_EQ(QEL_ST_EXISTS, write_tx([&] { return ostrela_db_vob_create(at(uuid_of(2)), "z:z", &found); }));
    EXPECT_TRUE(messages.has("db_vob_create of ")) << messages.text();

    // Held by an inode, then by a loaded root directory: not deleted, quietly.
    messages.clear();
    EXPECT_EQ(QEL_ST_NOT_EMPTY, write_tx([&] { return ostrela_db_vob_delete(at(uuid_of(2))); }));
    ASSERT_EQ(0, delete_inode(file));
    const uint32_t root = 5;
    ASSERT_EQ(0, write_tx([&] {
        db_address dba = v & ~OSTREL_DB_DBID_BIT;
        int st = dt_crset(&dba, &view_db_task, VDB);
        return st != 0 ? st : dt_crwrite(VOB_ROOT_DIR_DBID, &root, &view_db_task, VDB);
    }));
    EXPECT_EQ(QEL_ST_NOT_EMPTY, write_tx([&] { return ostrela_db_vob_delete(at(uuid_of(2))); }));
    EXPECT_EQ("", messages.text());
    ASSERT_EQ(0, write_tx([&] {
        db_address dba = v & ~OSTREL_DB_DBID_BIT;
        const uint32_t none = 0;
        int st = dt_crset(&dba, &view_db_task, VDB);
        return st != 0 ? st : dt_crwrite(VOB_ROOT_DIR_DBID, &none, &view_db_task, VDB);
    }));
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_update(v, text.c_str()); }));
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_delete(at(uuid_of(2))); }));
    EXPECT_EQ(0, count_records(DB_BYTES));
    EXPECT_EQ(1, count_records(DB_VOB));
    EXPECT_EQ(QEL_ST_NOT_FOUND, write_tx([&] { return ostrela_db_vob_delete(at(uuid_of(2))); }));

    // Its uuid, by handle.
    qel_uuid_s uuid{};
    const struct {
        uint32_t handle;
        int status;
    } rows[] = {{vob1, 0},
                {0, QEL_ST_NOT_FOUND},
                {vob1 & ~OSTREL_DB_DBID_BIT, QEL_ST_INTERNAL},
                {v, QEL_ST_STALE},        // deleted
                {inode(vob1, oid_of(21)), QEL_ST_INTERNAL}};  // a live record of another type
    for (const auto& r : rows)
        EXPECT_EQ(r.status, read_tx([&] { return ostrela_db_vob_get_uuid(r.handle, &uuid); })) << std::hex << r.handle;
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_vob_get_uuid(vob1, &uuid); }));
    EXPECT_TRUE(qel_uuid_eq(at(uuid_of(1)), &uuid));
}

TEST_F(DbVobCr, OneFlagBitAndTheVobListingInBatches) {
    std::vector<uint32_t> vobs = {vob1};
    for (unsigned n = 2; n <= 5; ++n) vobs.push_back(vob(n));
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_set_setwork_flag(vobs[1], 1); }));
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_set_hlink_flag(vobs[3], 1); }));
    uint32_t file = inode(vob1, oid_of(1));
    EXPECT_EQ(QEL_ST_STALE, write_tx([&] { return ostrela_db_vob_set_hlink_flag(file, 1); })) << "an inode";

    // The uuids' first bytes, listed in batches of `max` from `cursor`.
    auto list = [](int filter, int max, uint32_t cursor = 0) {
        std::vector<std::vector<int>> batches;
        for (int end = 0; !end;) {
            std::vector<qel_uuid_s> uuids(max + 1);
            int count = 0;
            uint32_t next = 0;
            EXPECT_EQ(0, read_tx([&] {
                return ostrela_db_inventory_vobs(cursor, filter, max, uuids.data(), &count, &next, &end);
            }));
            std::vector<int> batch;
            for (int i = 0; i < count; ++i) batch.push_back(uuids[i].bytes[0]);
            batches.push_back(batch);
            if (count == 0 && !end) break;
            cursor = next;
        }
        return batches;
    };
    using Batches = std::vector<std::vector<int>>;
    EXPECT_EQ((Batches{{1, 2}, {3, 4}, {5}}), list(0, 2));
    EXPECT_EQ((Batches{{1, 2, 3, 4}, {5}}), list(0, 4));
    EXPECT_EQ((Batches{{1, 2, 3, 4, 5}}), list(0, 6));
    EXPECT_EQ((Batches{{2, 4}}), list(0x1, 3));
    EXPECT_EQ((Batches{{2}, {4}, {}}), list(0x2, 1));
    // Both setters change the one bit.
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_set_hlink_flag(vobs[1], 0); }));
    EXPECT_EQ((Batches{{4}}), list(0x1, 3));
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_set_setwork_flag(vobs[3], 0); }));
    EXPECT_EQ((Batches{{}}), list(0x2, 3));
    // A cursor whose record went: the listing goes on after it.
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_delete(at(uuid_of(2))); }));
    EXPECT_EQ((Batches{{3, 4}, {5}}), list(0, 2, vobs[1] & ~OSTREL_DB_DBID_BIT));
}

TEST_F(DbVobCr, AReplicaChangeReachesTheConfigRecordsThatNameIt) {
    uint32_t vob2 = vob(2);
    ASSERT_EQ(0, save({oid_of(10)}, data_of(20)));
    qel_uuid_s u1 = uuid_of(1), u2 = uuid_of(2), u3 = uuid_of(3), u4 = uuid_of(4);
    auto replicas = [] {
        std::vector<int> out;
        for (const db_do& d : records<db_do>(DB_DO)) out.push_back(d.replica_uuid.bytes[0]);
        for (const db_unelevated_ref& r : records<db_unelevated_ref>(DB_UNELEVATED_REF))
            out.push_back(r.replica_uuid.bytes[0]);
        return out;
    };
    ASSERT_EQ((std::vector<int>{1, 1}), replicas());
    ASSERT_EQ(0, ostrel_db_change_vob_oid(&u1, &u3));
    EXPECT_EQ((std::vector<int>{3, 3}), replicas());
    uint32_t found = 0;
    EXPECT_EQ(0, read_tx([&] { return ostrela_db_vob_lookup(&u3, &found); }));
    EXPECT_EQ(vob1, found);
    EXPECT_EQ(QEL_ST_NOT_FOUND, read_tx([&] { return ostrela_db_vob_lookup(&u1, &found); }));

    // Unknown: quietly not found; onto a replica that has a record: refused,
    // and nothing of it stays.
    messages.clear();
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_change_vob_oid(&u1, &u4));
    EXPECT_EQ("", messages.text());
    EXPECT_EQ(QEL_ST_EXISTS, ostrel_db_change_vob_oid(&u3, &u2));
    EXPECT_TRUE(messages.has("db_change_vob_oid failed: ")) << messages.text();
    EXPECT_EQ((std::vector<int>{3, 3}), replicas());
    EXPECT_EQ(0, read_tx([&] { return ostrela_db_vob_lookup(&u2, &found); }));
    EXPECT_EQ(vob2, found);

    // The record alone.
    ASSERT_EQ(0, ostrela_db_reparent_replica_uuid(&u3, &u4));
    EXPECT_EQ((std::vector<int>{3, 3}), replicas());
    EXPECT_EQ(0, read_tx([&] { return ostrela_db_vob_lookup(&u4, &found); }));
    EXPECT_EQ(vob1, found);
}

// ---------------------------------------------------------------------------
// Config records and the free extents of their file

TEST_F(DbVobCr, FreeExtentsAreTakenByBestFitAndJoinedWhenGivenBack) {
    EXPECT_EQ((std::vector<Extent>{{0, END}}), free_extents());
    ASSERT_EQ(0, save({oid_of(1)}, data_of(100)));
    EXPECT_EQ(0u, cr_of(oid_of(1)).offset);
    EXPECT_EQ((std::vector<Extent>{{100, END - 100}}), free_extents());
    ASSERT_EQ(0, drop(oid_of(1)));
    EXPECT_EQ((std::vector<Extent>{{0, END}}), free_extents());
    EXPECT_EQ(0, count_records(DB_CR));

    // Free extents of 40, 60 and 80 bytes: 50 bytes take the 60-byte one
    // and leave 10 at its end.
    const uint32_t sizes[] = {40, 10, 60, 10, 80, 10};
    for (unsigned i = 0; i < std::size(sizes); ++i) ASSERT_EQ(0, save({oid_of(10 + i)}, data_of(sizes[i])));
    for (unsigned i : {0u, 2u, 4u}) ASSERT_EQ(0, drop(oid_of(10 + i)));
    EXPECT_EQ((std::vector<Extent>{{0, 40}, {50, 60}, {120, 80}, {210, END - 210}}), free_extents());
    ASSERT_EQ(0, save({oid_of(20)}, data_of(50)));
    EXPECT_EQ(50u, cr_of(oid_of(20)).offset);
    EXPECT_EQ((std::vector<Extent>{{0, 40}, {100, 10}, {120, 80}, {210, END - 210}}), free_extents());
    // An exact fit takes the whole extent.
    ASSERT_EQ(0, save({oid_of(21)}, data_of(80)));
    EXPECT_EQ(120u, cr_of(oid_of(21)).offset);
    EXPECT_EQ((std::vector<Extent>{{0, 40}, {100, 10}, {210, END - 210}}), free_extents());

    // Freeing between two free extents joins the three.
    ASSERT_EQ(0, drop(oid_of(11)));  // [40, 50) between [0, 40) and the 50 taken
    EXPECT_EQ((std::vector<Extent>{{0, 50}, {100, 10}, {210, END - 210}}), free_extents());
    ASSERT_EQ(0, drop(oid_of(20)));  // [50, 100) between [0, 50) and [100, 110)
    EXPECT_EQ((std::vector<Extent>{{0, 110}, {210, END - 210}}), free_extents());
    expect_file_covered();
    // An empty config record takes no room.
    ASSERT_EQ(0, save({oid_of(22)}, Data{7, ""}));
    EXPECT_EQ(0u, cr_of(oid_of(22)).offset);
    EXPECT_EQ((std::vector<Extent>{{0, 110}, {210, END - 210}}), free_extents());
    std::string bytes = "x";
    uint32_t header = 0;
    ASSERT_EQ(0, get({oid_of(22)}, &bytes, &header));
    EXPECT_EQ("", bytes);
    EXPECT_EQ(7u, header);
}

TEST_F(DbVobCr, ManyCreatesAndDeletesKeepTheFileCoveredAndTheDataWhole) {
    std::mt19937 random(20240611);
    std::map<unsigned, Data> live;
    unsigned next = 1;
    for (int step = 0; step < 40; ++step) {
        if (live.empty() || random() % 3 != 0) {
            Data d = data_of(random() % 300, static_cast<char>('a' + random() % 20), next);
            ASSERT_EQ(0, save({oid_of(next)}, d));
            live[next++] = d;
        } else {
            auto victim = std::next(live.begin(), random() % live.size());
            ASSERT_EQ(0, drop(oid_of(victim->first)));
            live.erase(victim);
        }
        SCOPED_TRACE(step);
        expect_file_covered();
    }
    for (const auto& [n, d] : live) {
        std::string bytes;
        uint32_t header = 0;
        ASSERT_EQ(0, get({oid_of(n)}, &bytes, &header));
        EXPECT_EQ(d.bytes, bytes);
        EXPECT_EQ(d.header, header);
    }
}

TEST_F(DbVobCr, AConfigRecordReadsBackAndADamagedOneIsRefused) {
    const Data d = data_of(200, 'k', 0xC0FFEE);
    ASSERT_EQ(0, save({oid_of(1), oid_of(2)}, d));
    messages.clear();
    std::string bytes;
    uint32_t header = 0;
    // Found by any of its derived objects, the first that exists.
    ASSERT_EQ(0, get({oid_of(9), oid_of(2)}, &bytes, &header));
    EXPECT_EQ(d.bytes, bytes);
    EXPECT_EQ(0xC0FFEEu, header);
    EXPECT_EQ(QEL_ST_NOT_FOUND, get({oid_of(9)}, &bytes));
    EXPECT_EQ(QEL_ST_INVALID, get({}, &bytes));
    EXPECT_EQ("", messages.text());

    // One byte changed in the file: its checksum no longer agrees.
    const std::string file = storage + "/.s/" + OSTREL_DB_CRS_FILE;
    int fd = ::open(file.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(1, ::pwrite(fd, "?", 1, 150));
    EXPECT_EQ(QEL_ST_INTERNAL, get({oid_of(1)}, &bytes));
    EXPECT_TRUE(messages.has("failed: CRC error 0x")) << messages.text();
    EXPECT_TRUE(messages.has("db_cr_read of dba 0x")) << messages.text();
    EXPECT_TRUE(messages.has("db_cr_get of ")) << messages.text();
    // Cut short: the read fails.
    messages.clear();
    ASSERT_EQ(0, ::ftruncate(fd, 120));
    ::close(fd);
    EXPECT_EQ(QEL_ST_INTERNAL, get({oid_of(1)}, &bytes));
    EXPECT_TRUE(messages.has(std::string("db_cr_get read from ") + OSTREL_DB_CRS_FILE + " at 0x0 for 200 failed:"))
        << messages.text();
}

TEST_F(DbVobCr, InodesAndBuildSessionsHoldReferences) {
    uint32_t x = inode(vob1, oid_of(1));
    // Every derived object needs an inode unless told otherwise; a refused
    // record leaves nothing.
    EXPECT_EQ(QEL_ST_NOT_FOUND, save({oid_of(1), oid_of(2)}, data_of(30), {}, 0));
    EXPECT_EQ(0, count_records(DB_CR));
    EXPECT_EQ((std::vector<Extent>{{0, END}}), free_extents());
    ASSERT_EQ(0, save({oid_of(1), oid_of(2)}, data_of(30)));
    EXPECT_EQ(1u, cr_of(oid_of(1)).parent_ref_cnt);
    EXPECT_EQ(QEL_ST_EXISTS, save({oid_of(2)}, data_of(5))) << "a derived object of another record";
    uint32_t y = inode(vob1, oid_of(2));
    EXPECT_EQ(2u, cr_of(oid_of(1)).parent_ref_cnt) << "an inode made later";

    ASSERT_EQ(0, delete_inode(x));
    EXPECT_EQ(1u, cr_of(oid_of(1)).parent_ref_cnt);
    // Held for build session 7 until it is released.
    ASSERT_EQ(0, delete_inode(y, 7));
    EXPECT_EQ(1u, cr_of(oid_of(2)).parent_ref_cnt);
    ASSERT_EQ(0, write_tx([] { return ostrela_db_cr_rm_build_session(8); }));
    EXPECT_EQ(1, count_records(DB_CR));
    ASSERT_EQ(0, write_tx([] { return ostrela_db_cr_rm_build_session(7); }));
    EXPECT_EQ(0, count_records(DB_CR));
    EXPECT_EQ(0, count_records(DB_DO));
    EXPECT_EQ((std::vector<Extent>{{0, END}}), free_extents());

    // A released hold can be taken again; session 0 releases every session.
    uint32_t p = inode(vob1, oid_of(3)), q = inode(vob1, oid_of(4));
    ASSERT_EQ(0, save({oid_of(3), oid_of(4)}, data_of(30)));
    EXPECT_EQ(2u, cr_of(oid_of(3)).parent_ref_cnt);
    ASSERT_EQ(0, delete_inode(p, 4));
    ASSERT_EQ(0, write_tx([] { return ostrela_db_cr_rm_build_session(4); }));
    EXPECT_EQ(1u, cr_of(oid_of(3)).parent_ref_cnt);
    p = inode(vob1, oid_of(3));
    EXPECT_EQ(2u, cr_of(oid_of(3)).parent_ref_cnt);
    ASSERT_EQ(0, delete_inode(p, 6));
    ASSERT_EQ(0, delete_inode(q, 5));
    EXPECT_EQ(2u, cr_of(oid_of(3)).parent_ref_cnt) << "both held";
    ASSERT_EQ(0, write_tx([] { return ostrela_db_cr_rm_build_session(0); }));
    EXPECT_EQ(0, count_records(DB_CR));
}

TEST_F(DbVobCr, AConfigRecordThatUsesOthersHoldsThem) {
    inode(vob1, oid_of(1));
    ASSERT_EQ(0, save({oid_of(1)}, data_of(10)));
    // Fifteen uses of one record and one of no record: two records of slots.
    std::vector<qel_oid_s> used(15, oid_of(1));
    used.push_back(oid_of(99));
    ASSERT_EQ(0, save({oid_of(2)}, data_of(20), used));
    EXPECT_EQ(16u, cr_of(oid_of(1)).parent_ref_cnt);
    std::vector<db_sub_do> subs = records<db_sub_do>(DB_SUB_DO);
    ASSERT_EQ(2u, subs.size());
    EXPECT_TRUE(qel_oid_eq(at(oid_of(1)), &subs[0].oids[13]));
    EXPECT_TRUE(qel_oid_eq(at(oid_of(1)), &subs[1].oids[0]));
    EXPECT_TRUE(qel_oid_eq(&QEL_OID_NULL, &subs[1].oids[1]));
    // The user goes: the used one loses its references again.
    ASSERT_EQ(0, drop(oid_of(2)));
    EXPECT_EQ(1u, cr_of(oid_of(1)).parent_ref_cnt);
    EXPECT_EQ(0, count_records(DB_SUB_DO));
    expect_file_covered();
}

TEST_F(DbVobCr, VobReferencesAndTheFileCheck) {
    inode(vob1, oid_of(1));
    inode(vob1, oid_of(3));
    vob(2);
    ASSERT_EQ(0, save({oid_of(1)}, data_of(10)));
    messages.clear();
    EXPECT_EQ(QEL_ST_EXISTS, write_tx([] { return ostrela_db_cr_add_vob_ref(at(oid_of(1)), 1, at(uuid_of(1))); }));
    EXPECT_EQ(QEL_ST_NOT_FOUND, write_tx([] { return ostrela_db_cr_rm_vob_ref(at(oid_of(1)), 1, at(uuid_of(2))); }));
    EXPECT_EQ(QEL_ST_NOT_FOUND, write_tx([] { return ostrela_db_cr_add_vob_ref(at(oid_of(7)), 1, at(uuid_of(1))); }));
    EXPECT_EQ(QEL_ST_INVALID, write_tx([] { return ostrela_db_cr_add_vob_ref(at(oid_of(1)), 0, at(uuid_of(1))); }));
    EXPECT_EQ("", messages.text());
    ASSERT_EQ(0, write_tx([] { return ostrela_db_cr_add_vob_ref(at(oid_of(1)), 1, at(uuid_of(2))); }));
    ASSERT_EQ(0, write_tx([] { return ostrela_db_cr_rm_vob_ref(at(oid_of(1)), 1, at(uuid_of(1))); }));
    EXPECT_EQ(1, count_records(DB_CR));
    // The last VOB reference takes the record along, though an inode holds it.
    ASSERT_EQ(0, write_tx([] { return ostrela_db_cr_rm_vob_ref(at(oid_of(1)), 1, at(uuid_of(2))); }));
    EXPECT_EQ(0, count_records(DB_CR));

    // The check keeps a referenced record with a VOB, and drops one without
    // references and one without a VOB.
    ASSERT_EQ(0, save({oid_of(1)}, data_of(10)));
    ASSERT_EQ(0, save({oid_of(2)}, data_of(20)));  // no inode
    std::vector<qel_uuid_s> u1 = {uuid_of(1)};
    const Data kept = data_of(30);
    _qel_cr_compressed_t cr = kept.cr();
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_cr_create(at(oid_of(3)), u1.data(), 1, nullptr, 0, &cr, 1, 0); }));
    EXPECT_EQ(3, count_records(DB_CR));
    ASSERT_EQ(0, write_tx([] { return ostrela_db_fsck_crs(); }));
    ASSERT_EQ(1, count_records(DB_CR));
    EXPECT_EQ(0u, cr_of(oid_of(1)).offset);
    EXPECT_EQ(1, count_records(DB_DO));
    expect_file_covered();
}

TEST_F(DbVobCr, DerivedObjectsAreFoundAndListedByKind) {
    uint32_t vob2 = vob(2);
    std::vector<qel_oid_s> dos;
    for (unsigned n = 1; n <= 6; ++n) dos.push_back(oid_of(n));
    // Kinds: 1, 2, 4 and 6 of 0x15; 3 of 0x17; 5 has no inode.
    std::map<unsigned, uint32_t> inodes;
    for (unsigned n : {1u, 2u, 3u, 4u, 6u}) inodes[n] = inode(vob1, oid_of(n), n == 3 ? 0x17 : 0x15, n);
    ASSERT_EQ(0, save(dos, data_of(10)));
    inode(vob2, oid_of(7));
    std::vector<qel_uuid_s> u2 = {uuid_of(2)};
    const Data kept = data_of(5);
    _qel_cr_compressed_t cr = kept.cr();
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_cr_create(at(oid_of(7)), u2.data(), 1, nullptr, 0, &cr, 0, 0); }));

    std::vector<int> found(4, -1);
    const std::vector<qel_oid_s> asked = {oid_of(2), oid_of(8), oid_of(7), oid_of(5)};
    ASSERT_EQ(0, ostrel_db_dos_found(asked.data(), 4, found.data()));
    EXPECT_EQ((std::vector<int>{1, 0, 1, 1}), found);

    // Listed two at a time; the one without inode is no file of the view.
    std::vector<unsigned> listed;
    uint32_t cursor = 0;
    for (int end = 0, rounds = 0; !end && rounds < 10; ++rounds) {
        qel_oid_s oids[2];
        uint32_t dbids[2], links[2], next = 0;
        int count = 0;
        ASSERT_EQ(0, ostrel_db_get_dos(cursor, 0x15, at(uuid_of(1)), 2, oids, dbids, links, &count, &next, &end));
        for (int i = 0; i < count; ++i) {
            unsigned n = oids[i].bytes[0];
            listed.push_back(n);
            EXPECT_EQ(inodes[n], dbids[i]);
            EXPECT_EQ(n, links[i]);
        }
        cursor = next;
    }
    EXPECT_EQ((std::vector<unsigned>{1, 2, 4, 6}), listed);

    // A replica the view has no record of.
    qel_oid_s oids[2];
    uint32_t dbids[2], links[2], next = 0;
    int count = 5, end = 0;
    EXPECT_EQ(QEL_ST_NOT_FOUND,
              ostrel_db_get_dos(0, 0x15, at(uuid_of(9)), 2, oids, dbids, links, &count, &next, &end));
    EXPECT_EQ(0, count);
    EXPECT_EQ(1, end);
    EXPECT_TRUE(messages.has("db_get_dos at offset 0x0 failed: ")) << messages.text();
    EXPECT_TRUE(messages.has("view_db_get_dos failed for replica_uuid=")) << messages.text();
}

} // namespace
