// The loaded element namespace on real engine files: a scope loaded with
// a tree of directories, files and links found by oid, dbid and name;
// versions confirmed, replaced, named twice and taking a name from an evil
// twin; stale and valid flags spread through the tree and unconfirmed names
// removed; the end of a scope's load and update, scopes removed and moved,
// the whole namespace cleaned up. Every set and key is checked after each
// step, and a transaction failing half-way leaves the database as it was.

#include <sys/time.h>

#include <functional>

#include "lib/ostreladb/db_vns_check.h"
#include "lib/ostreladb/ostrel_db_scope.h"

namespace {

using db_test::count_records;
using db_test::namespace_intact;
using db_test::oid_of;
using db_test::read_tx;
using db_test::scope_record;
using db_test::snapshot;
using db_test::uuid_of;
using db_test::write_tx;

const qel_oid_s RULE = oid_of(0xA0001);
const qel_oid_s OTHER_RULE = oid_of(0xA0002);
constexpr uint32_t FILE_KIND = VNS_MTYPE_VER;

qel_fstat_db_s fstat_of(uint32_t type, uint64_t size) { return db_test::loaded_fstat(type, size, 0x77); }

const struct timeval WHEN = {1700000000, 42};

// A view database with a VOB, the default scope and two load-rule scopes;
// objects are loaded through the operations the update listeners call.
class DbVns : public db_test::NewDbTest {
protected:
    void SetUp() override {
        NewDbTest::SetUp();
        ASSERT_EQ(0, ostrel_db_create_def_scope());
        ASSERT_EQ(0, ostrel_db_create_lr_scope(&RULE, 1, "/vobs/a/src"));
        ASSERT_EQ(0, ostrel_db_create_lr_scope(&OTHER_RULE, 1, "/vobs/a/doc"));
        qel_uuid_s uuid = uuid_of(7);
        ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_create(&uuid, "host:/vobs/a", &vob); }));
    }

    // Element `n` and its version `n` + 0x100000, as the server numbers them.
    static qel_oid_s elem(unsigned n) { return oid_of(n); }
    static qel_oid_s ver(unsigned n, unsigned generation = 0) { return oid_of(n + 0x100000 + generation * 0x10000); }

    uint32_t root(const qel_oid_s& scope = RULE, uint32_t gn = 1, unsigned n = 1) {
        uint32_t e = 0, dbid = 0;
        qel_fstat_db_s f = fstat_of(QEL_FTYPE_DIR, 0);
        EXPECT_EQ(0, ostrel_db_create_element(vob, at(elem(n)), &WHEN, &f, VNS_MTYPE_DIR_ELEM, 0, &e));
        EXPECT_EQ(0, ostrel_db_create_root_dir(vob, at(ver(n)), at(elem(n)), &WHEN, &f, &scope, gn, 1, &dbid));
        return dbid;
    }
    // Loads version `generation` of element `n` as `name` in `parent`.
    int load(uint32_t parent, unsigned n, const std::string& name, uint32_t kind = FILE_KIND,
             const qel_oid_s& scope = RULE, uint32_t gn = 1, unsigned generation = 0, uint32_t* dbid = nullptr,
             int readdir_state = 0, qel_oid_s* other_scope = nullptr) {
        uint32_t e = 0, made = 0;
        qel_fstat_db_s f = fstat_of(kind == VNS_MTYPE_DIR_VER ? QEL_FTYPE_DIR : QEL_FTYPE_REG, 1000 + n);
        int status = ostrel_db_create_element(vob, at(elem(n)), &WHEN, &f,
                                              kind == VNS_MTYPE_DIR_VER ? VNS_MTYPE_DIR_ELEM : VNS_MTYPE_ELEM, 0, &e);
        if (status == 0)
            status = ostrel_db_create_version(vob, parent, at(ver(n, generation)), at(elem(n)), kind, &WHEN,
                                              name.c_str(), &f, &scope, gn, readdir_state, &made, other_scope, nullptr);
        if (dbid != nullptr) *dbid = made;
        return status;
    }
    uint32_t dir(uint32_t parent, unsigned n, const std::string& name, const qel_oid_s& scope = RULE, uint32_t gn = 1) {
        uint32_t dbid = 0;
        EXPECT_EQ(0, load(parent, n, name, VNS_MTYPE_DIR_VER, scope, gn, 0, &dbid));
        return dbid;
    }
    int link(uint32_t parent, unsigned n, const std::string& name, const std::string& target,
             const qel_oid_s& scope = RULE, uint32_t gn = 1, uint32_t* dbid = nullptr) {
        uint32_t made = 0;
        qel_fstat_db_s f = fstat_of(QEL_FTYPE_REG, 0);
        int status = ostrel_db_create_slink(vob, parent, at(oid_of(n)), &WHEN, name.c_str(), target.c_str(), &f,
                                            &scope, gn, &made, nullptr);
        if (dbid != nullptr) *dbid = made;
        return status;
    }
    // The version or link a name names, or the status.
    int named(uint32_t dir, const std::string& name, uint32_t* dbid = nullptr, qel_oid_s* scope = nullptr,
              uint32_t* gn = nullptr) {
        uint32_t found = 0, mtype = 0, found_gn = 0;
        qel_oid_s found_scope{};
        int status = ostrel_db_vns_ver_lookup_name(vob, dir, name.c_str(), &found, &mtype, &found_scope, &found_gn);
        if (dbid != nullptr) *dbid = found;
        if (scope != nullptr) *scope = found_scope;
        if (gn != nullptr) *gn = found_gn;
        return status;
    }
    std::vector<std::string> listing(uint32_t dir) {
        std::vector<ostrelagent_dirent> list;
        EXPECT_EQ(0, ostrel_db_ver_get_sub_vers(vob, dir, list));
        std::vector<std::string> names;
        for (const auto& d : list) names.push_back(d.name);
        return names;
    }
    vns_db_dir_ver dir_record(uint32_t dbid) {
        vns_db_dir_ver rec{};
        EXPECT_EQ(0, read_tx([&] {
            db_address at = 0;
            int status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, ostrela_db_dbid2dba(vob), dbid, "T", &at);
            return status != 0 ? status : ostrela_db_read_at(at, &rec, "T");
        }));
        return rec;
    }
    void set_dir(uint32_t dbid, uint16_t done, uint16_t saved) {
        vns_db_dir_ver rec = dir_record(dbid);
        rec.rddir_done = done;
        rec.saved = saved;
        ASSERT_EQ(0, write_tx([&] {
            int status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, ostrela_db_dbid2dba(vob), dbid, "T");
            return status != 0 ? status : dt_recwrite(&rec, &view_db_task, VDB);
        }));
    }
    int stale(uint32_t ver) {
        int flag = -1;
        EXPECT_EQ(0, ostrel_db_ver_get_stale(vob, ver, &flag));
        return flag;
    }
    int valid(uint32_t dir, const std::string& name) {
        int flag = -1;
        EXPECT_EQ(0, ostrel_db_ver_get_validated(vob, dir, name.c_str(), &flag));
        return flag;
    }
    // Runs the step `op` in a write transaction with the engine's Nth page
    // read failing, for N = 1, 2, ... on a cold cache, until it succeeds:
    // each failure is aborted and must leave every record as it was. (The
    // reads of a commit are not failed: a commit past its point of no
    // return ends the process.)
    template <typename Op>
    void fail_each_read(Op op, const char* what) {
        for (int nth = 1; nth < 400; ++nth) {
            ASSERT_EQ(0, reopen());
            std::string before = snapshot();
            ASSERT_EQ(0, ostrela_db_trans_start(1));
            int status;
            {
                kesto_test::FaultyIo io;
                io.fail(kesto_test::FaultyIo::PREAD, nth, EIO);
                status = op();
            }
            if (status == 0) {
                ASSERT_EQ(0, ostrela_db_trans_end(1));
                return;
            }
            ostrela_db_trans_abort(1);
            ASSERT_EQ(before, snapshot()) << what << ": read " << nth << " failed the step with " << status;
            ASSERT_TRUE(namespace_intact(what));
        }
        FAIL() << what << " never succeeded";
    }
    template <typename T>
    static const T* at(const T& value) {
        return &value;
    }

    uint32_t vob = 0;
};

// A tree of `dirs` directories of `subdirs` directories of `files` files
// and one link each, under a root, in one scope.
struct Tree {
    uint32_t root = 0;
    std::vector<uint32_t> dirs, subdirs;
    unsigned versions = 0;
};

TEST_F(DbVns, ALoadedTreeIsFoundByOidDbidAndNameAndListed) {
    Tree t;
    t.root = root();
    unsigned n = 100;
    for (unsigned d = 0; d < 8; ++d) {
        uint32_t top = dir(t.root, n++, "dir" + std::to_string(d));
        t.dirs.push_back(top);
        for (unsigned s = 0; s < 8; ++s) {
            uint32_t sub = dir(top, n++, "sub" + std::to_string(s));
            t.subdirs.push_back(sub);
            // The files of a directory come in one transaction, as an
            // update listener's batch would.
            ASSERT_EQ(0, write_tx([&] {
                for (unsigned f = 0; f < 32; ++f, ++n) {
                    uint32_t e = 0, made = 0;
                    qel_fstat_db_s fs = fstat_of(QEL_FTYPE_REG, n);
                    std::string name = "file" + std::to_string(f) + ".c";
                    int status = ostrela_db_create_vns_elem(vob, at(elem(n)), &WHEN, &fs, VNS_MTYPE_ELEM, 0, &e);
                    if (status == 0)
                        status = ostrela_db_create_vns_ver(vob, sub, at(ver(n)), at(elem(n)), FILE_KIND, &WHEN,
                                                           name.c_str(), &fs, &RULE, 1, 0, &made, nullptr, nullptr);
                    if (status != 0) return status;
                }
                return 0;
            }));
            ASSERT_EQ(0, link(sub, n++, "link", std::string(100, 'x') + "/target"));
        }
    }
    ASSERT_EQ(2048 + 64 + 8 + 1, count_records(VNS_DB_VER));
    ASSERT_TRUE(namespace_intact("loaded"));
    ASSERT_EQ(0, reopen());

    // By oid, by name, by dbid: the same version with its attributes.
    uint32_t sub = t.subdirs[37], by_oid = 0, by_name = 0, file_n = 100 + 1 + 8 * 0 + 0;
    unsigned first_file = 0;
    ASSERT_EQ(0, named(sub, "file5.c", &by_name));
    qel_oid_s oid{}, elem_oid{};
    vob_mtype_t mtype = 0;
    qel_fstat_db_s fs{};
    struct timeval when {};
    int co = -1;
    char name[256];
    ASSERT_EQ(0, ostrel_db_ver_get_info(vob, by_name, sizeof name, &oid, &mtype, &co, &when, name, &fs, &elem_oid));
    EXPECT_STREQ("file5.c", name);
    EXPECT_EQ(FILE_KIND, mtype);
    EXPECT_EQ(0, co);
    EXPECT_EQ(WHEN.tv_sec, when.tv_sec);
    EXPECT_EQ(1u, fs.nlink);
    EXPECT_EQ(0x77u, fs.aux);
    EXPECT_EQ(uint32_t{200}, fs.mtime.tv_sec);
    ASSERT_EQ(0, ostrel_db_vns_ver_lookup(vob, &oid, &by_oid));
    EXPECT_EQ(by_name, by_oid);
    uint32_t elem_dbid = 0, elem_found = 0;
    ASSERT_EQ(0, ostrel_db_ver_get_elem(vob, by_name, &elem_dbid));
    ASSERT_EQ(0, ostrel_db_elem_lookup(vob, &elem_oid, &elem_found));
    EXPECT_EQ(elem_dbid, elem_found);
    EXPECT_EQ(uint64_t{1000} + (fs.size - 1000), uint64_t(fs.size));
    (void)file_n;
    (void)first_file;

    // The directory's listing, its link count, its place in the tree.
    std::vector<std::string> names = listing(sub);
    ASSERT_EQ(33u, names.size());
    EXPECT_EQ("file0.c", names.front());
    EXPECT_EQ("link", names.back());
    ASSERT_EQ(0, ostrel_db_ver_get_vstat(vob, t.dirs[2], &oid, &mtype, &when, &fs, &co, nullptr));
    EXPECT_EQ(2u + 8, fs.nlink);
    ASSERT_EQ(0, ostrel_db_ver_get_vstat(vob, sub, &oid, &mtype, &when, &fs, &co, nullptr));
    EXPECT_EQ(2u, fs.nlink);
    uint32_t parent = 0, parent_elem = 0, top_elem = 0;
    ASSERT_EQ(0, ostrel_db_get_parent_dir(vob, by_name, &parent));
    EXPECT_EQ(sub, parent);
    ASSERT_EQ(0, ostrel_db_get_parent_elem(vob, sub, &parent_elem));
    ASSERT_EQ(0, ostrel_db_ver_get_elem(vob, t.dirs[37 / 8], &top_elem));
    EXPECT_EQ(top_elem, parent_elem);

    // The root, and the link's text read back whole.
    uint32_t root_dbid = 0, gn = 0;
    ASSERT_EQ(0, ostrel_db_get_root_dir(vob, &root_dbid, &gn));
    EXPECT_EQ(t.root, root_dbid);
    EXPECT_TRUE(ostrel_db_vob_has_root_dir(vob));
    uint32_t link_dbid = 0;
    ASSERT_EQ(0, named(sub, "link", &link_dbid));
    char target[1024];
    ASSERT_EQ(0, ostrel_db_slink_get_info(vob, link_dbid, sizeof target, &oid, &when, name, target, &fs));
    EXPECT_EQ(std::string(100, 'x') + "/target", target);
    EXPECT_EQ(107u, uint64_t(fs.size));
    EXPECT_EQ(QEL_FTYPE_LNK, fs.type);

    // Names of another directory, and unknown names, are not found here.
    EXPECT_EQ(QEL_ST_NOT_FOUND, named(t.subdirs[36], "link2"));
    EXPECT_EQ(QEL_ST_NOT_FOUND, named(t.root, "file5.c"));
}

TEST_F(DbVns, HandlesAreCheckedAndNamesAndTextsHaveLimits) {
    uint32_t r = root();
    uint32_t dbid = 0;
    const struct {
        uint32_t vob;
        int status;
    } handles[] = {{0, QEL_ST_NOT_FOUND}, {vob & ~OSTREL_DB_DBID_BIT, QEL_ST_INTERNAL}};
    for (const auto& h : handles) {
        EXPECT_EQ(h.status, ostrel_db_elem_lookup(h.vob, at(elem(1)), &dbid));
        EXPECT_EQ(h.status, ostrel_db_vns_ver_lookup_name(h.vob, r, "x", &dbid, &dbid, nullptr, &dbid));
        EXPECT_EQ(h.status, ostrel_db_get_root_dir(h.vob, &dbid, &dbid));
    }
    EXPECT_EQ(0, load(r, 10, std::string(255, 'n')));
    EXPECT_EQ(QEL_ST_TOO_LONG, load(r, 11, std::string(256, 'n')));
    EXPECT_EQ(0, named(r, std::string(255, 'n')));
    // Names past the 144 bytes of the entry, and link texts past the 72
    // bytes of the link, go on in byte strings and read back whole.
    for (size_t len : {144u, 145u, 200u}) {
        std::string name = std::string(len - 1, 'a') + "z";
        ASSERT_EQ(0, load(r, 20 + unsigned(len), name, FILE_KIND, RULE, 1, 0, &dbid));
        char buf[256];
        ASSERT_EQ(0, ostrel_db_ver_get_info(vob, dbid, sizeof buf, nullptr, nullptr, nullptr, nullptr, buf, nullptr,
                                            nullptr));
        EXPECT_EQ(name, buf);
    }
    for (size_t len : {72u, 73u, 1023u}) {
        std::string text(len, 't');
        text.back() = 'e';
        ASSERT_EQ(0, link(r, 5000 + unsigned(len), "l" + std::to_string(len), text, RULE, 1, &dbid));
        std::vector<char> buf(len + 1);
        EXPECT_EQ(0, ostrel_db_slink_get_info(vob, dbid, buf.size(), nullptr, nullptr, nullptr, buf.data(), nullptr));
        EXPECT_EQ(text, buf.data());
        EXPECT_EQ(QEL_ST_TOO_LONG,
                  ostrel_db_slink_get_info(vob, dbid, len, nullptr, nullptr, nullptr, buf.data(), nullptr));
    }
    EXPECT_EQ(QEL_ST_TOO_LONG, link(r, 6000, "long", std::string(1024, 't')));
    // Kinds come from the server: an element of a kind no element has would
    // stand alone, without its object.
    qel_fstat_db_s f{};
    for (uint32_t kind : {0u, 3u, 6u, 7u, 9u})
        EXPECT_EQ(QEL_ST_INTERNAL, ostrel_db_create_element(vob, at(elem(7000 + kind)), &WHEN, &f, kind, 0, &dbid)) << kind;
    EXPECT_TRUE(namespace_intact("limits"));
}

TEST_F(DbVns, ALoadConfirmsReplacesAddsNamesAndRemovesEvilTwins) {
    uint32_t r = root(), d = dir(r, 2, "d"), v1 = 0, v2 = 0, again = 0;
    ASSERT_EQ(0, load(d, 3, "a.c", FILE_KIND, RULE, 1, 0, &v1));
    int objects = count_records(VNS_DB_OBJ), elements = count_records(VNS_DB_ELEM);

    // The same version again: nothing new; the name takes the new scope and
    // generation and is valid, the version no longer stale.
    ASSERT_EQ(0, ostrel_db_ver_set_stale(vob, v1, 1));
    ASSERT_EQ(0, ostrel_db_ver_set_validated(vob, d, "a.c", 0));
    EXPECT_EQ(QEL_ST_STALE_GENERATION, named(d, "a.c"));
    ASSERT_EQ(0, load(d, 3, "a.c", FILE_KIND, OTHER_RULE, 5, 0, &again));
    EXPECT_EQ(v1, again);
    EXPECT_EQ(objects, count_records(VNS_DB_OBJ));
    qel_oid_s scope{};
    uint32_t gn = 0;
    ASSERT_EQ(0, named(d, "a.c", &again, &scope, &gn));
    EXPECT_TRUE(qel_oid_eq(&scope, &OTHER_RULE));
    EXPECT_EQ(5u, gn);
    EXPECT_EQ(0, stale(v1));
    ASSERT_TRUE(namespace_intact("confirmed"));

    // A new version of the element under its name replaces the old one,
    // whose records go; the element stays.
    ASSERT_EQ(0, load(d, 3, "a.c", FILE_KIND, OTHER_RULE, 5, 1, &v2));
    EXPECT_NE(v1, v2);
    ASSERT_EQ(0, named(d, "a.c", &again));
    EXPECT_EQ(v2, again);
    vob_mtype_t mtype = 0;
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_obj_get_mtype(vob, v1, &mtype));
    EXPECT_EQ(objects, count_records(VNS_DB_OBJ));
    EXPECT_EQ(elements, count_records(VNS_DB_ELEM));
    ASSERT_TRUE(namespace_intact("replaced"));

    // Another element's version under the name is an evil twin: it goes,
    // then the new one is made.
    uint32_t twin = 0;
    ASSERT_EQ(0, load(d, 4, "a.c", FILE_KIND, RULE, 1, 0, &twin));
    ASSERT_EQ(0, named(d, "a.c", &again));
    EXPECT_EQ(twin, again);
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_obj_get_mtype(vob, v2, &mtype));
    // So is a link holding the name of a directory.
    ASSERT_EQ(0, link(d, 9000, "sub", "elsewhere"));
    uint32_t sub = dir(d, 5, "sub");
    ASSERT_EQ(0, named(d, "sub", &again));
    EXPECT_EQ(sub, again);
    ASSERT_TRUE(namespace_intact("twins"));

    // The version loaded under a second name: one more name, one version,
    // and the directory tells its other scope.
    qel_oid_s other{};
    uint32_t alias = 0;
    ASSERT_EQ(0, load(r, 5, "alias", VNS_MTYPE_DIR_VER, AUTOMATIC_LOAD_SCOPE_OID, 1, 0, &alias, 0, &other));
    EXPECT_EQ(sub, alias);
    EXPECT_TRUE(qel_oid_eq(&other, &RULE));
    qel_fstat_db_s fs{};
    ASSERT_EQ(0, ostrel_db_ver_get_vstat(vob, twin, nullptr, nullptr, nullptr, &fs, nullptr, nullptr));
    EXPECT_EQ(1u, fs.nlink);
    ASSERT_TRUE(namespace_intact("second name"));

    // An element made again keeps its dbid and takes the checkout flag.
    uint32_t e1 = 0, e2 = 0;
    qel_fstat_db_s f = fstat_of(QEL_FTYPE_REG, 0);
    ASSERT_EQ(0, ostrel_db_elem_lookup(vob, at(elem(4)), &e1));
    ASSERT_EQ(0, ostrel_db_create_element(vob, at(elem(4)), &WHEN, &f, VNS_MTYPE_ELEM, 1, &e2));
    EXPECT_EQ(e1, e2);
    int co = 0;
    ASSERT_EQ(0, ostrel_db_elem_get_checkedout(vob, twin, nullptr, &co));
    EXPECT_EQ(1, co);
    std::vector<ostrelagent_hijack_co_info> checkouts;
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_find_checkouts(checkouts); }));
    ASSERT_EQ(1u, checkouts.size());
    EXPECT_EQ("a.c", checkouts[0].name);
    ASSERT_EQ(0, ostrel_db_elem_set_checkedout(vob, e1, at(oid_of(77)), 0));
    bool any = true;
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_has_checkouts(&any); }));
    EXPECT_FALSE(any);
    EXPECT_TRUE(namespace_intact("checkouts"));
}

TEST_F(DbVns, ANewDirectoryVersionTakesTheOldOnesNamesForTheNextListing) {
    uint32_t r = root(), d = dir(r, 2, "d"), child = 0, d2 = 0;
    ASSERT_EQ(0, load(d, 3, "keep.c", FILE_KIND, RULE, 1, 0, &child));
    ASSERT_EQ(0, load(d, 4, "gone.c"));
    ASSERT_EQ(0, ostrel_db_ver_set_load_done(vob, d, 1));
    ASSERT_EQ(0, load(r, 2, "d", VNS_MTYPE_DIR_VER, RULE, 2, 1, &d2, 2));
    ASSERT_NE(d, d2);
    // The names hang under the new version, not valid, and are found there.
    EXPECT_EQ((std::vector<std::string>{"keep.c", "gone.c"}), listing(d2));
    EXPECT_EQ(QEL_ST_STALE_GENERATION, named(d2, "keep.c"));
    EXPECT_EQ(0, valid(d2, "gone.c"));
    EXPECT_EQ(DIR_VER_SAVED_READ, dir_record(d2).saved);
    ASSERT_TRUE(namespace_intact("directory replaced"));
    // The listing confirms one name; the other goes with its version.
    uint32_t again = 0;
    ASSERT_EQ(0, load(d2, 3, "keep.c", FILE_KIND, RULE, 2, 0, &again));
    EXPECT_EQ(child, again);
    bool removed = true;
    qel_oid_s oid{};
    ASSERT_EQ(0, ostrel_db_ver_set_readdir_done(vob, d2, 1, &removed, &oid));
    EXPECT_FALSE(removed);
    EXPECT_TRUE(qel_oid_eq(&oid, at(ver(2, 1))));
    EXPECT_EQ((std::vector<std::string>{"keep.c"}), listing(d2));
    EXPECT_EQ(1, dir_record(d2).rddir_done);
    EXPECT_TRUE(namespace_intact("listed"));
}

TEST_F(DbVns, StaleAndValidFlagsSpreadThroughATree) {
    uint32_t r = root(), d = dir(r, 2, "d"), sub = dir(d, 3, "sub"), f = 0, g = 0, l = 0;
    ASSERT_EQ(0, load(sub, 4, "f.c", FILE_KIND, RULE, 1, 0, &f));
    ASSERT_EQ(0, load(d, 5, "g.c", FILE_KIND, RULE, 1, 0, &g));
    ASSERT_EQ(0, link(d, 6, "l", "f.c", RULE, 1, &l));
    ASSERT_EQ(0, ostrel_db_ver_set_load_done(vob, d, 1));
    ASSERT_EQ(1, dir_record(d).rddir_done);

    // An element made not valid: its version stale, its names not valid,
    // and a directory's own names not valid with its listing undone.
    uint32_t d_elem = 0;
    ASSERT_EQ(0, ostrel_db_ver_get_elem(vob, d, &d_elem));
    ASSERT_EQ(0, ostrel_db_obj_set_validated(vob, d_elem, 0));
    EXPECT_EQ(1, stale(d));
    EXPECT_EQ(0, valid(r, "d"));
    EXPECT_EQ(0, valid(d, "g.c"));
    EXPECT_EQ(0, valid(d, "l"));
    EXPECT_EQ(0, dir_record(d).rddir_done);
    int flag = -1;
    ASSERT_EQ(0, ostrel_db_obj_get_validated(vob, d_elem, &flag));
    EXPECT_EQ(0, flag);
    EXPECT_EQ(QEL_ST_STALE_GENERATION, named(r, "d"));
    EXPECT_FALSE(ostrel_db_vob_has_root_dir(vob) == false);

    // A link made valid again; the listing then confirms g.c, and the
    // unconfirmed directory goes with its tree.
    ASSERT_EQ(0, ostrel_db_obj_set_validated(vob, l, 1));
    EXPECT_EQ(1, valid(d, "l"));
    ASSERT_EQ(0, ostrel_db_ver_set_validated(vob, d, "g.c", 1));
    ASSERT_EQ(0, ostrel_db_ver_set_validated(vob, d, "sub", 0));
    bool removed = true;
    ASSERT_EQ(0, ostrel_db_ver_set_readdir_done(vob, d, 1, &removed, nullptr));
    EXPECT_FALSE(removed);
    EXPECT_EQ((std::vector<std::string>{"g.c", "l"}), listing(d));
    vob_mtype_t mtype = 0;
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_obj_get_mtype(vob, f, &mtype));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_obj_get_mtype(vob, sub, &mtype));
    EXPECT_TRUE(namespace_intact("listed"));

    // Readdir state and scope of a directory.
    qel_oid_s scope{};
    uint32_t gn = 0;
    ASSERT_EQ(0, ostrel_db_ver_get_readdir_done(vob, d, &flag, &scope, &gn));
    EXPECT_EQ(1, flag);
    EXPECT_TRUE(qel_oid_eq(&scope, &RULE));
}

TEST_F(DbVns, ADirectoryNamedElsewhereInTheDefaultScopeIsMadeStaleNotRemoved) {
    uint32_t r = root(), a = dir(r, 2, "a"), shared = dir(a, 3, "shared"), below = dir(shared, 4, "below"), f = 0;
    ASSERT_EQ(0, load(below, 5, "f.c", FILE_KIND, RULE, 1, 0, &f));
    uint32_t b = dir(r, 6, "b", AUTOMATIC_LOAD_SCOPE_OID), again = 0;
    ASSERT_EQ(0, load(b, 3, "shared", VNS_MTYPE_DIR_VER, AUTOMATIC_LOAD_SCOPE_OID, 1, 0, &again));
    ASSERT_EQ(shared, again);
    ASSERT_EQ(0, ostrel_db_ver_set_load_done(vob, shared, 1));
    ASSERT_EQ(0, ostrel_db_ver_set_load_done(vob, below, 1));

    // An incomplete listing of a drops its name; the directory stays, stale
    // with its tree, and must be fetched again.
    ASSERT_EQ(0, ostrel_db_ver_set_validated(vob, a, "shared", 0));
    bool removed = false;
    ASSERT_EQ(0, ostrel_db_ver_set_readdir_done(vob, a, 1, &removed, nullptr));
    EXPECT_TRUE(removed);
    EXPECT_EQ(QEL_ST_NOT_FOUND, named(a, "shared"));
    EXPECT_EQ(QEL_ST_STALE_GENERATION, named(b, "shared"));
    EXPECT_EQ(1, stale(shared));
    EXPECT_EQ(1, stale(below));
    EXPECT_EQ(1, stale(f));
    EXPECT_EQ(0, dir_record(shared).rddir_done);
    EXPECT_EQ(0, dir_record(below).rddir_done);
    EXPECT_EQ(0, valid(shared, "below"));
    EXPECT_EQ(1, valid(below, "f.c"));
    EXPECT_TRUE(namespace_intact("made stale"));
}

// A directory's link count counts its subdirectories. It is read after
// every change (and, for a batch, inside it), so a count remembered from an
// earlier read shows whenever a change, or the undoing of one, misses it.
TEST_F(DbVns, ADirectorysLinkCountFollowsEveryChangeOfItsSubdirectories) {
    uint32_t r = root(), d = dir(r, 2, "d"), s2 = 0, d2 = 0;
    auto nlink = [&](uint32_t dbid) {
        qel_fstat_db_s fs{};
        EXPECT_EQ(0, read_tx([&] { return ostrela_db_get_obj_info(ostrela_db_dbid2dba(vob), dbid, nullptr, nullptr,
                                                                  &fs); }));
        return fs.nlink;
    };
    auto remove = [&](uint32_t dir, const char* name) {
        uint32_t dbid = 0;
        const int status = named(dir, name, &dbid);
        return status != 0 ? status : write_tx([&] { return ostrela_db_delete_vns_ver(vob, dbid); });
    };
    // Adds one more subdirectory in a batch, sees it counted, and undoes it.
    auto undone_batch = [&] {
        if (ostrel_db_batch_begin() != 0) return -1;
        const bool added = load(d, 9, "undone", VNS_MTYPE_DIR_VER) == 0;
        const uint32_t inside = nlink(d);
        ostrel_db_batch_end(false);
        return added && inside == 5u ? 0 : -1;
    };
    EXPECT_EQ(2u, nlink(d));
    struct {
        const char* what;
        std::function<int()> change;
        const uint32_t* dir;
        uint32_t links;
    } const steps[] = {
        {"a file", [&] { return load(d, 3, "f.c"); }, &d, 2},
        {"a subdirectory", [&] { return load(d, 4, "s1", VNS_MTYPE_DIR_VER); }, &d, 3},
        {"a link", [&] { return link(d, 5, "l", "t"); }, &d, 3},
        {"a second subdirectory", [&] { return load(d, 6, "s2", VNS_MTYPE_DIR_VER, RULE, 1, 0, &s2); }, &d, 4},
        {"a subdirectory of a subdirectory", [&] { return load(s2, 7, "deep", VNS_MTYPE_DIR_VER); }, &d, 4},
        {"a batch adding one, aborted", undone_batch, &d, 4},
        {"a file removed", [&] { return remove(d, "f.c"); }, &d, 4},
        {"a subdirectory's subdirectory removed", [&] { return remove(s2, "deep"); }, &d, 4},
        {"the emptied subdirectory removed", [&] { return remove(d, "s2"); }, &d, 3},
        {"the directory replaced by a new version",
         [&] { return load(r, 2, "d", VNS_MTYPE_DIR_VER, RULE, 2, 1, &d2, 2); }, &d2, 3},
    };
    for (const auto& step : steps) {
        ASSERT_EQ(0, step.change()) << step.what;
        EXPECT_EQ(step.links, nlink(*step.dir)) << step.what;
        EXPECT_EQ(step.links, nlink(*step.dir)) << step.what << ", read again";
    }
    EXPECT_EQ(3u, nlink(r));
    ASSERT_TRUE(namespace_intact("link counts"));
}

TEST_F(DbVns, RemovalGoesInOrderAndTheRootLeavesTheVobRecord) {
    uint32_t r = root(), d = dir(r, 2, "d"), f = 0;
    ASSERT_EQ(0, load(d, 3, "f.c", FILE_KIND, RULE, 1, 0, &f));
    ASSERT_EQ(0, load(r, 3, "f2.c"));
    int before = count_records(VNS_DB_OBJ);
    // A directory holding names cannot go by itself; an element is not
    // removed by dbid.
    EXPECT_EQ(QEL_ST_INTERNAL,
              write_tx([&] { return ostrela_db_remove_one_ver(ostrela_db_dbid2dba(vob), d, r, 0); }));
    uint32_t elem_dbid = 0;
    ASSERT_EQ(0, ostrel_db_ver_get_elem(vob, f, &elem_dbid));
    EXPECT_EQ(QEL_ST_NOT_FOUND, write_tx([&] { return ostrela_db_delete_vns_ver(vob, elem_dbid); }));
    EXPECT_EQ(before, count_records(VNS_DB_OBJ));
    // One of two names goes, then the other with the version.
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_delete_vns_ver(vob, f); }));
    EXPECT_EQ(QEL_ST_NOT_FOUND, named(d, "f.c"));
    EXPECT_EQ(0, named(r, "f2.c"));
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_delete_vns_ver(vob, f); }));
    EXPECT_EQ(before - 1, count_records(VNS_DB_OBJ));
    ASSERT_TRUE(namespace_intact("version removed"));
    // The root goes with the tree; the VOB no longer has one.
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_delete_vns_ver(vob, r); }));
    EXPECT_FALSE(ostrel_db_vob_has_root_dir(vob));
    uint32_t dbid = 1, gn = 0;
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_get_root_dir(vob, &dbid, &gn));
    EXPECT_EQ(0u, dbid);
    EXPECT_EQ(0, count_records(VNS_DB_VER));
    EXPECT_EQ(0, count_records(VNS_DB_DIR_VER_ENT));
    EXPECT_EQ(3, count_records(VNS_DB_ELEM));
    EXPECT_TRUE(namespace_intact("root removed"));
    ASSERT_EQ(0, ostrel_db_cleanup_unused_elem());
    EXPECT_EQ(0, count_records(VNS_DB_ELEM));
    EXPECT_EQ(0, count_records(VNS_DB_OBJ));
}

TEST_F(DbVns, AnUpdateThatDoesNotConfirmANameRemovesItAtItsEnd) {
    uint32_t r = root(), d = dir(r, 2, "d"), sub = dir(d, 3, "sub"), kept = 0;
    ASSERT_EQ(0, load(d, 4, "kept.c", FILE_KIND, RULE, 1, 0, &kept));
    ASSERT_EQ(0, load(d, 5, "gone.c"));
    ASSERT_EQ(0, load(sub, 6, "deep.c"));
    ASSERT_EQ(0, ostrel_db_end_lr_scope_load(&RULE, 1, true, true));
    ASSERT_TRUE(namespace_intact("loaded"));

    ASSERT_EQ(0, ostrel_db_begin_lr_scope_update(&RULE, 2));
    EXPECT_EQ(LR_SCOPE_IN_PROGRESS, scope_record(RULE).state);
    qel_uuid_s uuid = uuid_of(7);
    uint32_t d_elem = 0;
    ASSERT_EQ(0, ostrel_db_ver_get_elem(vob, d, &d_elem));
    (void)d_elem;
    ASSERT_EQ(0, ostrel_db_ver_mark_remove(&uuid, at(elem(2)), at(ver(5)), "gone.c"));
    ASSERT_EQ(0, ostrel_db_ver_mark_remove(&uuid, at(elem(2)), at(ver(3)), "sub"));
    EXPECT_EQ(QEL_ST_INTERNAL, ostrel_db_ver_mark_remove(&uuid, at(elem(4)), at(ver(5)), "gone.c"));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_ver_mark_remove(&uuid, at(elem(2)), at(ver(5)), "none.c"));
    // A name already gone (a resent stream unloads again) does not break the
    // batch it joins.
    ASSERT_EQ(0, ostrel_db_batch_begin());
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_ver_mark_remove(&uuid, at(elem(2)), at(ver(5)), "none.c"));
    EXPECT_FALSE(ostrel_db_batch_broken());
    EXPECT_EQ(0, ostrel_db_batch_end(true));
    ASSERT_EQ(0, ostrel_db_end_lr_scope_update(&RULE, 2));
    ASSERT_TRUE(namespace_intact("updated"));

    EXPECT_EQ((std::vector<std::string>{"kept.c"}), listing(d));
    uint32_t gn = 0;
    ASSERT_EQ(0, named(d, "kept.c", nullptr, nullptr, &gn));
    EXPECT_EQ(2u, gn);
    vns_db_lr_scope rec = scope_record(RULE);
    EXPECT_EQ(2u, rec.completed_gn);
    EXPECT_EQ(LR_SCOPE_IDLE, rec.state);
    vob_mtype_t mtype = 0;
    uint32_t deep = 0;
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_obj_lookup(vob, at(ver(6)), &deep, &mtype));
}

TEST_F(DbVns, ADirectoryDeliveredAgainKeepsItsListingOnlyWhenNothingChanged) {
    // A listed directory delivered again by a listing of its parent (state
    // 3) keeps its listing; a load or update (which lists it itself), a new
    // generation or scope, a stale version or a name not valid undo it.
    const struct {
        const char* name;
        int readdir_state;
        const qel_oid_s* scope;
        uint32_t gn;
        bool stale, invalid;
        uint16_t done_after;
    } rows[] = {
        {"a listing, nothing changed", 3, &RULE, 1, false, false, 1},
        {"an update", 2, &RULE, 1, false, false, 0},
        {"a first load", 1, &RULE, 1, false, false, 0},
        {"a listing at a new generation", 3, &RULE, 2, false, false, 0},
        {"a listing in another scope", 3, &OTHER_RULE, 1, false, false, 0},
        {"a listing of a stale version", 3, &RULE, 1, true, false, 0},
        {"a listing of a name not valid", 3, &RULE, 1, false, true, 0},
    };
    uint32_t r = root(), n = 10;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string name = "d" + std::to_string(n);
        uint32_t d = 0, again = 0;
        ASSERT_EQ(0, load(r, n, name, VNS_MTYPE_DIR_VER, RULE, 1, 0, &d, 3));
        ASSERT_EQ(0, load(d, n + 1, "f"));
        set_dir(d, 1, dir_record(d).saved);
        if (row.stale) {
            ASSERT_EQ(0, ostrel_db_ver_set_stale(vob, d, 1));
        }
        if (row.invalid) {
            ASSERT_EQ(0, ostrel_db_ver_set_validated(vob, r, name.c_str(), 0));
        }
        ASSERT_EQ(0, load(r, n, name, VNS_MTYPE_DIR_VER, *row.scope, row.gn, 0, &again, row.readdir_state));
        EXPECT_EQ(d, again);
        EXPECT_EQ(row.done_after, dir_record(d).rddir_done);
        EXPECT_EQ(0, stale(d));
        EXPECT_EQ(1, valid(r, name));
        EXPECT_EQ((std::vector<std::string>{"f"}), listing(d));
        n += 2;
    }
    EXPECT_TRUE(namespace_intact("delivered again"));
}

TEST_F(DbVns, TheEndOfALoadOrUpdateGivesDirectoriesTheirSavedListingFlag) {
    // (end of), saved before, done before -> done and saved after.
    const struct {
        bool update;
        const qel_oid_s* scope;
        uint16_t saved, done;
        uint16_t done_after, saved_after;
    } rows[] = {
        {false, &RULE, DIR_VER_SAVED_SCOPE, 0, 1, 0},
        {false, &RULE, DIR_VER_SAVED_READ, 0, 0, 0},
        {false, &RULE, DIR_VER_SAVED_UNREAD, 1, 1, 0},
        {true, &RULE, DIR_VER_SAVED_UNREAD, 1, 0, 0},
        {true, &RULE, DIR_VER_SAVED_READ, 0, 1, 0},
        {true, &RULE, DIR_VER_SAVED_SCOPE, 0, 1, 0},
        {true, &RULE, DIR_VER_SAVED_NONE, 1, 1, 0},
        {true, &AUTOMATIC_LOAD_SCOPE_OID, DIR_VER_SAVED_SCOPE, 0, 0, DIR_VER_SAVED_SCOPE},
    };
    uint32_t r = root(), n = 10;
    for (const auto& row : rows) {
        uint32_t d = dir(r, n, "d" + std::to_string(n), *row.scope), f = 0;
        ASSERT_EQ(0, load(d, n + 1, "f", FILE_KIND, *row.scope, 1, 0, &f));
        ASSERT_EQ(0, ostrel_db_ver_set_validated(vob, d, "f", 0));
        set_dir(d, row.done, row.saved);
        int status = !row.update                        ? ostrel_db_end_lr_scope_load(row.scope, 3, true, true)
                     : ostrela_db_is_def_scope(row.scope) ? ostrel_db_end_def_scope(3)
                                                          : ostrel_db_end_lr_scope_update(row.scope, 3);
        ASSERT_EQ(0, status);
        vns_db_dir_ver rec = dir_record(d);
        EXPECT_EQ(row.done_after, rec.rddir_done) << "row of saved " << row.saved;
        EXPECT_EQ(row.saved_after, rec.saved) << "row of saved " << row.saved;
        // A directory listed again at the end of an update has valid names.
        EXPECT_EQ(row.update && row.done_after && row.saved != 0 ? 1 : 0, valid(d, "f")) << "row of saved " << row.saved;
        n += 2;
    }
    // A partial load ends without touching the scope record.
    ASSERT_EQ(0, ostrel_db_begin_lr_scope_load(&RULE, 9));
    ASSERT_EQ(0, ostrel_db_end_lr_scope_load(&RULE, 9, false, true));
    EXPECT_EQ(LR_SCOPE_IN_PROGRESS, scope_record(RULE).state);
    EXPECT_TRUE(namespace_intact("ends"));
}

TEST_F(DbVns, ScopesAreDeletedMovedAndCleanedUpWithoutLeavingOrphans) {
    const qel_oid_s LONG = oid_of(0xA0003);
    ASSERT_EQ(0, ostrel_db_create_lr_scope(&LONG, 4, std::string(300, 's').c_str()));
    int bytes = count_records(DB_BYTES);
    uint32_t r = root(AUTOMATIC_LOAD_SCOPE_OID), d = dir(r, 2, "d", LONG, 4), sub = dir(d, 3, "sub", LONG, 4);
    ASSERT_EQ(0, load(sub, 4, std::string(200, 'f'), FILE_KIND, LONG, 4));
    ASSERT_EQ(0, link(sub, 5, "l", std::string(500, 't'), LONG, 4));
    ASSERT_EQ(0, load(d, 6, "f.c", FILE_KIND, RULE, 1));
    // Deleting the scope removes what it loaded, with what lies below
    // (another scope's name too), then the scope and its long name.
    ASSERT_EQ(0, ostrel_db_delete_lr_scope(&LONG));
    ASSERT_TRUE(namespace_intact("scope deleted"));
    EXPECT_EQ(bytes - 1, count_records(DB_BYTES));
    uint32_t gn = 0;
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_get_lr_scope_gn(&LONG, &gn));
    EXPECT_TRUE(listing(r).empty());
    EXPECT_EQ(1, count_records(VNS_DB_VER));

    // Moving a scope's entries into the default scope gives them its
    // generation number; the emptied scope stays unless deleted.
    d = dir(r, 12, "d2");
    ASSERT_EQ(0, load(d, 13, "x.c"));
    ASSERT_EQ(0, ostrel_db_begin_def_scope(6));
    ASSERT_EQ(0, ostrel_db_remove_lr_scope(&RULE, 0, nullptr));
    qel_oid_s scope{};
    ASSERT_EQ(0, named(d, "x.c", nullptr, &scope, &gn));
    EXPECT_TRUE(qel_oid_eq(&scope, &AUTOMATIC_LOAD_SCOPE_OID));
    EXPECT_EQ(6u, gn);
    int empty = 0;
    ASSERT_EQ(0, ostrel_db_is_lr_scope_empty(&RULE, &empty));
    EXPECT_EQ(1, empty);
    ASSERT_TRUE(namespace_intact("scope moved"));
    // Deleting the default scope empties it and keeps it.
    ASSERT_EQ(0, ostrel_db_delete_lr_scope(&AUTOMATIC_LOAD_SCOPE_OID));
    EXPECT_EQ(0, ostrel_db_get_def_scope_gn(&gn));
    EXPECT_EQ(0, count_records(VNS_DB_DIR_VER_ENT));
    ASSERT_TRUE(namespace_intact("default scope emptied"));

    // The whole namespace cleaned up: one scope left, no loaded records.
    r = root(OTHER_RULE, 1, 30);
    ASSERT_EQ(0, load(r, 31, std::string(180, 'c'), FILE_KIND, OTHER_RULE, 1));
    ASSERT_EQ(0, link(r, 32, "l", std::string(300, 't'), OTHER_RULE, 1));
    ASSERT_EQ(0, ostrel_db_cleanup_vns_recs(0));
    EXPECT_EQ(1, count_records(VNS_DB_LR_SCOPE));
    EXPECT_GT(count_records(VNS_DB_ELEM), 0);
    EXPECT_FALSE(ostrel_db_vob_has_root_dir(vob));
    ASSERT_TRUE(namespace_intact("cleaned up"));
    ASSERT_EQ(0, ostrel_db_cleanup_vns_recs(1));
    for (int type : {VNS_DB_OBJ, VNS_DB_ELEM, VNS_DB_VER, VNS_DB_SLINK, VNS_DB_DIR_VER, VNS_DB_DIR_VER_ENT, DB_BYTES})
        EXPECT_EQ(0, count_records(type)) << type;
    EXPECT_TRUE(namespace_intact("all cleaned up"));
}

}  // namespace

TEST_F(DbVns, AFailureHalfWayLeavesTheDatabaseAsItWas) {
    uint32_t r = root(), d = dir(r, 2, "d"), sub = dir(d, 3, "sub");
    for (unsigned i = 0; i < 20; ++i) ASSERT_EQ(0, load(sub, 10 + i, "f" + std::to_string(i)));
    ASSERT_EQ(0, load(d, 40, "old.c"));
    ASSERT_EQ(0, ostrel_db_ver_set_load_done(vob, sub, 1));
    uint32_t made = 0;
    // A directory replaced (its names carried over), an update ending with
    // removals, a scope deleted.
    fail_each_read(
        [&] {
            qel_fstat_db_s f = fstat_of(QEL_FTYPE_DIR, 0);
            return ostrela_db_create_vns_ver(vob, r, at(ver(2, 1)), at(elem(2)), VNS_MTYPE_DIR_VER, &WHEN, "d", &f,
                                             &RULE, 2, 2, &made, nullptr, nullptr);
        },
        "replace");
    EXPECT_EQ((std::vector<std::string>{"sub", "old.c"}), listing(made));
    uint32_t first = 0, d_elem = 0;
    ASSERT_EQ(0, ostrel_db_elem_lookup(vob, at(elem(2)), &d_elem));
    ASSERT_EQ(0, ostrel_db_elem_get_ver(vob, d_elem, &first));
    EXPECT_EQ(made, first);
    qel_uuid_s uuid = uuid_of(7);
    ASSERT_EQ(0, ostrel_db_begin_lr_scope_update(&RULE, 3));
    ASSERT_EQ(0, ostrel_db_ver_mark_remove(&uuid, at(elem(2)), at(ver(40)), "old.c"));
    fail_each_read([&] { return ostrela_db_end_lr_scope_update(&RULE, 3); }, "update end");
    EXPECT_EQ(QEL_ST_NOT_FOUND, named(made, "old.c"));
    fail_each_read([&] { return ostrela_db_delete_lr_scope(&RULE); }, "scope deleted");
    EXPECT_EQ(0, count_records(VNS_DB_DIR_VER_ENT));
    // A commit that cannot write its files rolls back too.
    std::string before = snapshot();
    {
        kesto_test::FaultyIo io;
        io.fail(kesto_test::FaultyIo::PWRITE, 1, EIO);
        EXPECT_EQ(QEL_ST_INTERNAL, ostrel_db_cleanup_vns_recs(1));
    }
    EXPECT_EQ(before, snapshot());
    EXPECT_TRUE(namespace_intact("failed commit"));
}
