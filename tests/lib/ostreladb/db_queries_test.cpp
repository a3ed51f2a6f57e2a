// The view database's services that run transactions of their own, on real
// engine files: VOB records made on demand, updated and read back with their
// host and pathname; config records saved with one reference per replica;
// derived objects made unshareable all or nothing; a VOB's loaded root
// unloaded; and the view-wide queries with what they report.

#include "lib/ns/ns_vob.h"
#include "lib/ostreladb/db_test_support.h"
#include "lib/ostreladb/ostrel_db_vns.h"
#include "runtime/kesto_test_support.h"

namespace {

using db_test::at;
using db_test::count_records;
using db_test::oid_of;
using db_test::read_tx;
using db_test::uuid_of;
using db_test::write_tx;

class DbQueries : public db_test::NewDbTest {
protected:
    // A VOB as the namespace cache knows it, without its record yet.
    static view_vob vob_of(unsigned n, const std::string& host = "", const std::string& path = "") {
        view_vob vob{};
        vob.uuid = uuid_of(n);
        vob.host = host;
        vob.path = path;
        return vob;
    }
    struct HostPath {
        int status;
        std::string host, path;
    };
    static HostPath read(const qel_uuid_s& uuid, unsigned size = 64) {
        std::vector<char> host(size), path(size);
        HostPath out{ostrel_db_vob_read(&uuid, size, host.data(), size, path.data(), nullptr), "", ""};
        if (out.status == 0) {
            out.host = host.data();
            out.path = path.data();
        }
        return out;
    }
    // The uuids that the VOB listing gives with `filter`.
    static std::vector<std::string> listed(int filter) {
        qel_uuid_s uuids[8];
        int count = 0, end = 0;
        unsigned next = 0;
        EXPECT_EQ(0, ostrel_inventory_vobs(nullptr, 0, filter, 8, uuids, &count, &next, &end));
        std::vector<std::string> out;
        for (int i = 0; i < count; ++i) {
            char text[QEL_UUID_STR_SIZE];
            out.push_back(qel_uuid_to_str(&uuids[i], text));
        }
        return out;
    }
    static std::string text_of(const qel_uuid_s& uuid) {
        char text[QEL_UUID_STR_SIZE];
        return qel_uuid_to_str(&uuid, text);
    }
};

TEST_F(DbQueries, AVobRecordIsMadeOnDemandAndReadsBackItsHostAndPathname) {
    // A flag set before anything else makes the record, with an empty host
    // and pathname.
    view_vob vob = vob_of(1, "host", "/vobs/a");
    ASSERT_EQ(0, ostrel_db_vob_set_hlink(&vob, 1));
    EXPECT_NE(0u, vob.db_id);
    unsigned dbid = 0;
    ASSERT_EQ(0, ostrel_db_vob_lookup(&vob.uuid, &dbid));
    EXPECT_EQ(vob.db_id, dbid);
    HostPath got = read(vob.uuid);
    EXPECT_EQ(0, got.status);
    EXPECT_EQ("", got.host);
    EXPECT_EQ("", got.path);
    EXPECT_EQ(std::vector<std::string>{text_of(vob.uuid)}, listed(1));
    // The two flags are one.
    ASSERT_EQ(0, ostrel_db_vob_set_setwork(&vob, 0));
    EXPECT_TRUE(listed(1).empty());

    struct Case {
        std::string host, path;
        int status;
        std::string read_host, read_path;
    };
    const std::string long_host(1020, 'h');
    const Case cases[] = {
        {"host", "/vobs/a", 0, "host", "/vobs/a"},
        {"host", "", 0, "host", ""},       // a part missing is stored empty
        {"", "/vobs/b", 0, "", "/vobs/b"},
        {long_host, "/vobs/c", QEL_ST_TOO_LONG, "", "/vobs/b"},  // the record keeps what it had
    };
    for (const Case& c : cases) {
        messages.clear();
        vob.host = c.host;
        vob.path = c.path;
        EXPECT_EQ(c.status, ostrel_db_vob_update(&vob)) << c.path;
        got = read(vob.uuid);
        EXPECT_EQ(c.read_host, got.host) << c.path;
        EXPECT_EQ(c.read_path, got.path) << c.path;
        EXPECT_EQ(c.status != 0, messages.has("View_db_vob_update of")) << messages.text();
    }
    // A part that does not fit its buffer.
    vob.host = "somewhat-long-host";
    ASSERT_EQ(0, ostrel_db_vob_update(&vob));
    messages.clear();
    EXPECT_EQ(QEL_ST_TOO_LONG, read(vob.uuid, 8).status);
    EXPECT_TRUE(messages.has("View_db_vob_read of")) << messages.text();

    // An update of a VOB without record makes it.
    view_vob fresh = vob_of(2, "h2", "/vobs/d");
    ASSERT_EQ(0, ostrel_db_vob_update(&fresh));
    EXPECT_NE(0u, fresh.db_id);
    EXPECT_EQ("h2", read(fresh.uuid).host);

    // An unknown VOB is no failure worth a message.
    messages.clear();
    dbid = 7;
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_vob_lookup(at(uuid_of(9)), &dbid));
    EXPECT_EQ(0u, dbid);
    EXPECT_EQ(QEL_ST_NOT_FOUND, read(uuid_of(9)).status);
    EXPECT_EQ("", messages.text());
}

TEST_F(DbQueries, AVobListingOfNothingIsRefusedWithoutTheDatabase) {
    ostrel_db_close();
    qel_uuid_s uuids[1];
    int count = 5, end = 5;
    unsigned next = 5;
    EXPECT_EQ(QEL_ST_INVALID, ostrel_inventory_vobs(nullptr, 0, 0, 0, uuids, &count, &next, &end));
    EXPECT_EQ(5, count);
}

TEST_F(DbQueries, AConfigRecordIsSavedWithOneReferencePerReplica) {
    view_vob vob = vob_of(1);
    ASSERT_EQ(0, ostrel_db_vob_create(&vob));
    const qel_oid_s dos[] = {oid_of(1), oid_of(2)};
    const qel_uuid_s replicas[] = {uuid_of(1), uuid_of(1)};
    for (const qel_oid_s& d : dos) db_test::make_inode(vob.db_id, d, QEL_FTYPE_REG, 0x15);
    std::string bytes = "the build's record";
    _qel_cr_compressed_t cr{7, static_cast<uint32_t>(bytes.size()), &bytes[0]};
    ASSERT_EQ(0, ostrel_cr_save(nullptr, dos, replicas, 2, nullptr, 0, &cr));
    EXPECT_EQ(1, count_records(DB_UNELEVATED_REF));
    _qel_cr_compressed_t* got = nullptr;
    ASSERT_EQ(0, ostrel_cr_get(nullptr, &dos[1], 1, &got));
    ASSERT_NE(nullptr, got);
    EXPECT_EQ(bytes, std::string(static_cast<char*>(got->data), got->length));
    ostrel_cr_free(got);

    // Saved again: the derived objects have their record; nothing is reported.
    messages.clear();
    EXPECT_EQ(QEL_ST_EXISTS, ostrel_cr_save(nullptr, dos, replicas, 2, nullptr, 0, &cr));
    EXPECT_EQ(1, count_records(DB_CR));
    EXPECT_EQ("", messages.text());

    // A second replica's reference comes and goes; the last one takes the
    // record with it.
    ASSERT_EQ(0, ostrel_cr_add_vob_ref(nullptr, dos, 2, at(uuid_of(2))));
    EXPECT_EQ(QEL_ST_EXISTS, ostrel_cr_add_vob_ref(nullptr, dos, 2, at(uuid_of(2))));
    ASSERT_EQ(0, ostrel_cr_rm_vob_ref(nullptr, dos, 2, at(uuid_of(2))));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_cr_rm_vob_ref(nullptr, dos, 2, at(uuid_of(2))));
    ASSERT_EQ(0, ostrel_cr_rm_vob_ref(nullptr, dos, 2, at(uuid_of(1))));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_cr_get(nullptr, dos, 2, &got));
    EXPECT_EQ(0, count_records(DB_CR));
    EXPECT_EQ("", messages.text());
    EXPECT_EQ(0, ostrel_db_rm_build_session(0));
}

TEST_F(DbQueries, DerivedObjectsBecomeUnshareableAllOrNothing) {
    view_vob vob = vob_of(1);
    ASSERT_EQ(0, ostrel_db_vob_create(&vob));
    const unsigned a = db_test::make_inode(vob.db_id, oid_of(1), QEL_FTYPE_REG, 0x15);
    const unsigned b = db_test::make_inode(vob.db_id, oid_of(2), QEL_FTYPE_REG, 0x17);
    auto kind = [](unsigned dbid) {
        vob_mtype_t mtype = 0;
        EXPECT_EQ(0, ostrel_db_dbid2oid(0, dbid, nullptr, nullptr, &mtype, nullptr));
        return mtype;
    };
    const unsigned gone = 0x80000000u | 0x7fff00u;
    const unsigned failing[] = {a, gone, b};
    EXPECT_NE(0, ostrel_db_dos_to_unshareable(failing, 3));
    EXPECT_TRUE(messages.has("dbid=0x807fff00")) << messages.text();
    EXPECT_EQ(0x15u, kind(a));
    EXPECT_EQ(0x17u, kind(b));
    const unsigned both[] = {a, b};
    ASSERT_EQ(0, ostrel_db_dos_to_unshareable(both, 2));
    EXPECT_EQ(VIEW_MTYPE_UNSHARED, kind(a));
    EXPECT_EQ(VIEW_MTYPE_UNSHARED, kind(b));
}

TEST_F(DbQueries, AVobsLoadedRootIsUnloaded) {
    view_vob vob = vob_of(1);
    ASSERT_EQ(0, ostrel_db_vob_create(&vob));
    // Without a root there is nothing to do.
    EXPECT_EQ(0, ostrel_db_clean_vns_versions(&vob.uuid, 0));
    ASSERT_EQ(0, ostrel_db_create_def_scope());
    const qel_oid_s root = oid_of(11), elem = oid_of(10);
    struct timeval time{};
    qel_fstat_db_s dir{};
    dir.type = QEL_FTYPE_DIR;
    unsigned elem_dbid = 0, root_dbid = 0, gn = 0;
    ASSERT_EQ(0, ostrel_db_create_element(vob.db_id, &elem, &time, &dir, 2, 0, &elem_dbid));
    ASSERT_EQ(0, ostrel_db_create_root_dir(vob.db_id, &root, &elem, &time, &dir, &QEL_OID_NULL, 0, 3, &root_dbid));
    ASSERT_TRUE(ostrel_db_vob_has_root_dir(vob.db_id));
    ASSERT_EQ(0, ostrel_db_clean_vns_versions(&vob.uuid, 0));
    EXPECT_FALSE(ostrel_db_vob_has_root_dir(vob.db_id));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_get_root_dir(vob.db_id, &root_dbid, &gn));
    vob_mtype_t mtype = 0;
    unsigned found = 0;
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_obj_lookup(vob.db_id, &root, &found, &mtype));
    // The element stays; the VOB's record too.
    EXPECT_EQ(0, ostrel_db_elem_lookup(vob.db_id, &elem, &found));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_clean_vns_versions(at(uuid_of(9)), 0));
}

// Unloading a root whose reads fail in turn: until it goes through, the
// root is loaded whole, names and all.
TEST_F(DbQueries, ARootThatFailsToUnloadStaysWhole) {
    using Io = kesto_test::FaultyIo;
    view_vob vob = vob_of(1);
    ASSERT_EQ(0, ostrel_db_vob_create(&vob));
    ASSERT_EQ(0, ostrel_db_create_def_scope());
    struct timeval time{};
    qel_fstat_db_s fstat{};
    unsigned dbid = 0, root = 0;
    qel_oid_s other{}, parent{};
    ASSERT_EQ(0, ostrel_db_create_element(vob.db_id, at(oid_of(10)), &time, &fstat, 2, 0, &dbid));
    ASSERT_EQ(0, ostrel_db_create_root_dir(vob.db_id, at(oid_of(11)), at(oid_of(10)), &time, &fstat, &QEL_OID_NULL, 0,
                                           3, &root));
    for (unsigned i = 0; i < 20; ++i) {
        std::string name = "f" + std::to_string(i);
        ASSERT_EQ(0, ostrel_db_create_element(vob.db_id, at(oid_of(100 + i)), &time, &fstat, 5, 0, &dbid));
        ASSERT_EQ(0, ostrel_db_create_version(vob.db_id, root, at(oid_of(200 + i)), at(oid_of(100 + i)), 6, &time,
                                              name.c_str(), &fstat, &QEL_OID_NULL, 0, 3, &dbid, &other, &parent));
    }
    auto whole = [&] {
        unsigned found = 0;
        vob_mtype_t mtype = 0;
        qel_oid_s scope{};
        unsigned gn = 0;
        for (unsigned i = 0; i < 20; ++i) {
            std::string name = "f" + std::to_string(i);
            if (ostrel_db_vns_ver_lookup_name(vob.db_id, root, name.c_str(), &found, &mtype, &scope, &gn) != 0)
                return false;
        }
        return ostrel_db_vob_has_root_dir(vob.db_id);
    };
    ASSERT_TRUE(whole());
    int failures = 0;
    for (int nth = 1;; ++nth) {
        ASSERT_LT(nth, 500) << "the unload never went through";
        // Nothing of the database is cached: the unload reads its pages.
        ASSERT_EQ(0, reopen());
        int status;
        {
            Io io;
            // The pages of the directory entries.
            io.only_files("ostrel_db.d14");
            io.fail(Io::PREAD, nth, EIO);
            status = ostrel_db_clean_vns_versions(&vob.uuid, 0);
            if (io.calls(Io::PREAD) < nth) {
                ASSERT_EQ(0, status);
                break;
            }
        }
        ++failures;
        EXPECT_NE(0, status) << "failing at read " << nth;
        EXPECT_TRUE(whole()) << "failing at read " << nth;
    }
    EXPECT_GT(failures, 0);
    EXPECT_FALSE(ostrel_db_vob_has_root_dir(vob.db_id));
}

TEST_F(DbQueries, TheViewsHijacksCheckoutsAndPrivateFilesAreFound) {
    view_vob vob = vob_of(1);
    ASSERT_EQ(0, ostrel_db_vob_create(&vob));
    bool any = true;
    ASSERT_EQ(0, ostrel_db_has_hijacks(&any));
    EXPECT_FALSE(any);
    any = true;
    ASSERT_EQ(0, ostrel_db_has_checkouts(&any));
    EXPECT_FALSE(any);

    // A VOB directory's cover with a view-private file and a hijacked name.
    const unsigned cover = db_test::make_inode(vob.db_id, oid_of(30), QEL_FTYPE_DIR, 2);
    const unsigned file = db_test::make_inode(vob.db_id, oid_of(40), QEL_FTYPE_REG, VIEW_MTYPE_PRIVATE);
    ASSERT_EQ(0, db_test::link_name(cover, "mine", file, DIR_ENT_STATE_VIEW));
    ASSERT_EQ(0, db_test::link_name(cover, "g.c", 0, DIR_ENT_STATE_VIEW | DIR_ENT_STATE_HIJACKED | DIR_ENT_STATE_KEEP));
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_hijack(cover, "g.c", at(oid_of(41)), at(oid_of(40))); }));
    // A checked-out file in the VOB's loaded root.
    ASSERT_EQ(0, ostrel_db_create_def_scope());
    struct timeval time{};
    qel_fstat_db_s fstat{};
    unsigned dbid = 0, root = 0;
    qel_oid_s other{}, parent{};
    ASSERT_EQ(0, ostrel_db_create_element(vob.db_id, at(oid_of(10)), &time, &fstat, 2, 0, &dbid));
    ASSERT_EQ(0, ostrel_db_create_root_dir(vob.db_id, at(oid_of(11)), at(oid_of(10)), &time, &fstat, &QEL_OID_NULL, 0,
                                           3, &root));
    ASSERT_EQ(0, ostrel_db_create_element(vob.db_id, at(oid_of(50)), &time, &fstat, 5, 1, &dbid));
    ASSERT_EQ(0, ostrel_db_create_version(vob.db_id, root, at(oid_of(51)), at(oid_of(50)), 6, &time, "co.c", &fstat,
                                          &QEL_OID_NULL, 0, 3, &dbid, &other, &parent));
    messages.clear();

    ASSERT_EQ(0, ostrel_db_has_hijacks(&any));
    EXPECT_TRUE(any);
    ASSERT_EQ(0, ostrel_db_has_checkouts(&any));
    EXPECT_TRUE(any);
    struct Case {
        const char* what;
        std::function<int(std::vector<ostrelagent_hijack_co_info>&)> find;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"hijacks", [](auto& list) { return ostrel_db_find_hijacks(list); }, {"g.c"}},
        {"privates of the VOB", [&](auto& list) { return ostrel_db_find_privates(&vob.uuid, list, 0); }, {"mine"}},
        {"privates by name", [&](auto& list) { return ostrel_db_find_privates(&QEL_UUID_NULL, list, 1); }, {"mine"}},
        {"privates of another VOB", [](auto& list) { return ostrel_db_find_privates(at(uuid_of(9)), list, 0); }, {}},
    };
    for (const Case& c : cases) {
        // What the query finds is added to what the list holds.
        std::vector<ostrelagent_hijack_co_info> list(1);
        int status = c.find(list);
        std::vector<std::string> names;
        for (size_t i = 1; i < list.size(); ++i) names.push_back(list[i].name);
        EXPECT_EQ(c.names.empty() ? QEL_ST_NOT_FOUND : 0, status) << c.what;
        EXPECT_EQ(c.names, names) << c.what;
        EXPECT_EQ(c.names.empty() ? 1u : c.names.size() + 1, list.size()) << c.what;
    }
    std::vector<ostrelagent_hijack_co_info> checkouts;
    ASSERT_EQ(0, ostrel_db_find_checkouts(checkouts));
    ASSERT_EQ(1u, checkouts.size());
    EXPECT_EQ("co.c", checkouts[0].name);
    EXPECT_EQ("", messages.text());
}

} // namespace
