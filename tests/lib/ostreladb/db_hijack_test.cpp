// Hijack marks, the hijack, view-private and checkout queries and the
// inventory on real engine files: names of every kind and state in a VOB
// directory, listed by filter, by directory in batches that never split a
// run of equal hashes, and by record; and everything of this part still
// there after the process ends.

#include <sys/wait.h>

#include <algorithm>
#include <set>
#include <tuple>

#include "lib/ostreladb/db_test_support.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace {

using db_test::at;
using db_test::link_name;
using db_test::make_inode;
using db_test::oid_of;
using db_test::read_tx;
using db_test::text;
using db_test::uuid_of;
using db_test::write_tx;

constexpr uint32_t PRIVATE = 0x13;
constexpr uint32_t COVER_DIR = 2;
constexpr uint32_t HIJACKED = DIR_ENT_STATE_HIJACKED | DIR_ENT_STATE_KEEP;

// A query's answer as (VOB byte, directory oid, name), sorted.
using Found = std::set<std::tuple<int, std::string, std::string>>;

Found found(const std::vector<ostrelagent_hijack_co_info>& list) {
    Found out;
    for (const ostrelagent_hijack_co_info& i : list) out.insert({i.identity.bytes[0], text(i.directory), i.name});
    EXPECT_EQ(list.size(), out.size()) << "listed twice";
    return out;
}

struct Entry {
    uint32_t cursor;
    int vob;
    std::string dir, obj;
    uint32_t state;
    std::string name;
};

// The entries packed into `buf`.
std::vector<Entry> unpack(const std::vector<char>& buf, size_t bytes) {
    std::vector<Entry> out;
    db_test::for_each_packed<view_inv_entry>(
        buf, bytes, VIEW_INV_ENTRY_HEAD, view_inv_entry_size, [&out](const view_inv_entry& e, const std::string& name) {
            out.push_back({e.cursor, e.replica_uuid.bytes[0], text(e.dir_oid), text(e.obj_oid), e.state, name});
        });
    return out;
}

class DbHijacks : public db_test::NewDbTest {
protected:
    void SetUp() override {
        db_test::NewDbTest::SetUp();
        ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_create(at(uuid_of(1)), "host:/vobs/a", &vob); }));
        dir = make_inode(vob, oid_of(1), QEL_FTYPE_DIR, COVER_DIR);
        // Names of every kind and state in the VOB directory.
        file = make_inode(vob, oid_of(10), QEL_FTYPE_REG, PRIVATE);
        sub = make_inode(vob, oid_of(11), QEL_FTYPE_DIR, PRIVATE);
        ASSERT_EQ(0, link_name(dir, "file", file));
        ASSERT_EQ(0, link_name(dir, "sub", sub));
        ASSERT_EQ(0, link_name(sub, "g", make_inode(vob, oid_of(12), QEL_FTYPE_REG, PRIVATE)));
        ASSERT_EQ(0, link_name(dir, "detached", make_inode(vob, oid_of(13), QEL_FTYPE_REG, PRIVATE),
                               DIR_ENT_STATE_DETACHED));
        ASSERT_EQ(0, link_name(dir, "hij", make_inode(vob, oid_of(14), QEL_FTYPE_REG, 6), HIJACKED));
        ASSERT_EQ(0, link_name(dir, "both", make_inode(vob, oid_of(15), QEL_FTYPE_REG, 6),
                               HIJACKED | DIR_ENT_STATE_DETACHED));
        ASSERT_EQ(0, link_name(dir, "wo", 0));
        ASSERT_EQ(0, link_name(dir, "vers", make_inode(vob, oid_of(16), QEL_FTYPE_REG, 6)));
        ASSERT_EQ(0, link_name(dir, "derived", make_inode(vob, oid_of(17), QEL_FTYPE_REG, 0x15)));
    }

    int hijack(const std::string& name, const qel_oid_s& first, const qel_oid_s& second) {
        return write_tx([&] { return ostrela_db_hijack(dir, name.c_str(), &first, &second); });
    }
    bool any_hijack() {
        bool any = true;
        EXPECT_EQ(0, read_tx([&] { return ostrela_db_has_hijacks(&any); }));
        return any;
    }
    Found hijacks() {
        std::vector<ostrelagent_hijack_co_info> list;
        EXPECT_EQ(0, read_tx([&] { return ostrela_db_find_hijacks(list); }));
        return found(list);
    }
    Found privates(const qel_uuid_s& uuid, int mode, int expect = 0) {
        std::vector<ostrelagent_hijack_co_info> list;
        EXPECT_EQ(expect, read_tx([&] { return ostrela_db_find_privates(&uuid, list, mode); }));
        return found(list);
    }
    // One inventory call.
    int inventory(uint32_t cursor, const qel_uuid_s& uuid, const qel_oid_s& dir_oid, int filter, size_t size,
                  std::vector<Entry>* out, uint32_t* next, int* end) {
        std::vector<char> buf(size);
        size_t bytes = 0;
        int status = read_tx([&] {
            return ostrela_db_inventory(cursor, &uuid, &dir_oid, filter, size, buf.data(), &bytes, next, end);
        });
        *out = unpack(buf, bytes);
        return status;
    }
    // A whole inventory in batches of `size` bytes; each batch is one vector.
    std::vector<std::vector<Entry>> batches(const qel_uuid_s& uuid, const qel_oid_s& dir_oid, int filter, size_t size,
                                            int* status) {
        std::vector<std::vector<Entry>> all;
        uint32_t cursor = 0;
        *status = 0;
        for (int end = 0; !end && all.size() < 1000;) {
            std::vector<Entry> part;
            if ((*status = inventory(cursor, uuid, dir_oid, filter, size, &part, &cursor, &end)) != 0) break;
            if (part.empty() && !end) {
                ADD_FAILURE() << "an empty batch that is not the last";
                break;
            }
            all.push_back(part);
        }
        return all;
    }
    std::vector<std::string> names(const qel_uuid_s& uuid, const qel_oid_s& dir_oid, int filter, size_t size = 4096) {
        int status = 0;
        std::vector<std::string> out;
        for (const auto& part : batches(uuid, dir_oid, filter, size, &status))
            for (const Entry& e : part) out.push_back(e.name);
        EXPECT_EQ(0, status);
        return out;
    }

    uint32_t vob = 0, dir = 0, file = 0, sub = 0;
};

TEST_F(DbHijacks, HijackMarksAreSetReadAndCleared) {
    EXPECT_FALSE(any_hijack());
    const qel_oid_s o1 = oid_of(100), o2 = oid_of(101), none{};
    // A name that is not hijacked takes null oids only.
    EXPECT_EQ(QEL_ST_INVALID, hijack("file", o1, none));
    EXPECT_EQ(QEL_ST_INVALID, hijack("file", none, o2));
    EXPECT_EQ(0, hijack("file", none, none));
    EXPECT_FALSE(any_hijack()) << "null oids are no hijack";
    EXPECT_EQ(QEL_ST_NOT_FOUND, hijack("nothing", none, none));

    ASSERT_EQ(0, hijack("hij", o1, o2));
    qel_oid_s first{}, second{};
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_hijack_get(dir, "hij", &first, &second); }));
    EXPECT_TRUE(qel_oid_eq(&o1, &first));
    EXPECT_TRUE(qel_oid_eq(&o2, &second));
    messages.clear();
    EXPECT_EQ(QEL_ST_INVALID, read_tx([&] { return ostrela_db_hijack_get(dir, "file", &first, &second); }));
    EXPECT_EQ(QEL_ST_NOT_FOUND, read_tx([&] { return ostrela_db_hijack_get(dir, "nothing", &first, &second); }));
    EXPECT_EQ("", messages.text());
    EXPECT_TRUE(any_hijack());
    EXPECT_EQ((Found{{1, text(oid_of(1)), "hij"}}), hijacks());

    // A name of 255 bytes, in a private directory below: found whole.
    const std::string n255(255, 'h');
    ASSERT_EQ(0, link_name(sub, n255, make_inode(vob, oid_of(30), QEL_FTYPE_REG, 6), HIJACKED));
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_hijack(sub, n255.c_str(), &o2, &o1); }));
    EXPECT_EQ((Found{{1, text(oid_of(1)), "hij"}, {1, text(oid_of(11)), n255}}), hijacks());

    // Null oids clear a hijack.
    ASSERT_EQ(0, hijack("hij", none, none));
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_hijack_get(dir, "hij", &first, &second); }));
    EXPECT_TRUE(qel_oid_eq(&none, &first));
    EXPECT_EQ((Found{{1, text(oid_of(11)), n255}}), hijacks());
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_hijack(sub, n255.c_str(), &none, &none); }));
    EXPECT_FALSE(any_hijack());
    EXPECT_TRUE(hijacks().empty());
}

TEST_F(DbHijacks, ViewPrivateFilesByNameAndByObject) {
    // A second VOB with a private file in a private directory.
    uint32_t vob2 = 0;
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_create(at(uuid_of(2)), "host:/vobs/b", &vob2); }));
    uint32_t dir2 = make_inode(vob2, oid_of(2), QEL_FTYPE_DIR, COVER_DIR);
    uint32_t sub2 = make_inode(vob2, oid_of(20), QEL_FTYPE_DIR, PRIVATE);
    ASSERT_EQ(0, link_name(dir2, "s2", sub2));
    ASSERT_EQ(0, link_name(sub2, "x", make_inode(vob2, oid_of(21), QEL_FTYPE_REG, PRIVATE)));

    const std::string d1 = text(oid_of(1)), d2 = text(oid_of(2));
    const Found first = {{1, d1, "file"}, {1, d1, "sub"}, {1, d1, "sub/g"}};
    const Found second = {{2, d2, "s2"}, {2, d2, "s2/x"}};
    Found both = first;
    both.insert(second.begin(), second.end());
    for (int mode : {1, 0}) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(first, privates(uuid_of(1), mode));
        EXPECT_EQ(second, privates(uuid_of(2), mode));
        EXPECT_EQ(both, privates(qel_uuid_s{}, mode));
        EXPECT_TRUE(privates(uuid_of(9), mode, QEL_ST_NOT_FOUND).empty());
    }
}

TEST_F(DbHijacks, TheInventoryTakesNamesByFilter) {
    const std::vector<std::string> all = {"file", "sub", "detached", "hij", "both", "wo", "vers", "derived"};
    const struct {
        int filter;
        std::vector<std::string> names;
    } rows[] = {
        {0, all},
        {VIEW_INV_DETACHED, {"detached", "both"}},
        {VIEW_INV_HIJACKED, {"hij"}},  // not "both": detached comes first
        {VIEW_INV_FILES, {"vers", "derived"}},
        {VIEW_INV_OTHERS, {"file", "sub", "wo"}},
        {VIEW_INV_DETACHED | VIEW_INV_OTHERS, {"file", "sub", "detached", "both", "wo"}},
    };
    auto sorted = [](std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.filter);
        // By directory (hash order), and by record over the VOB or over that
        // directory alone (creation order here).
        EXPECT_EQ(sorted(r.names), sorted(names(uuid_of(1), oid_of(1), r.filter)));
        EXPECT_EQ(r.names, names(qel_uuid_s{}, oid_of(1), r.filter));
        std::vector<std::string> in_vob = names(uuid_of(1), qel_oid_s{}, r.filter);
        in_vob.erase(std::remove(in_vob.begin(), in_vob.end(), "g"), in_vob.end());
        EXPECT_EQ(r.names, in_vob);
    }

    // What an entry holds, by directory and by record.
    std::vector<Entry> part;
    uint32_t next = 0;
    int end = 0;
    ASSERT_EQ(0, inventory(0, uuid_of(1), oid_of(1), VIEW_INV_HIJACKED, 4096, &part, &next, &end));
    ASSERT_EQ(1u, part.size());
    EXPECT_EQ(1, end);
    EXPECT_EQ(ostrela_db_hash_name("hij"), part[0].cursor);
    EXPECT_EQ(1, part[0].vob);
    EXPECT_EQ(text(oid_of(1)), part[0].dir);
    EXPECT_EQ(text(oid_of(14)), part[0].obj);
    EXPECT_EQ(DIR_ENT_STATE_VIEW | HIJACKED, part[0].state);
    ASSERT_EQ(0, inventory(0, qel_uuid_s{}, oid_of(1), VIEW_INV_OTHERS, 4096, &part, &next, &end));
    ASSERT_EQ(3u, part.size());
    EXPECT_EQ("wo", part[2].name);
    EXPECT_EQ(text(qel_oid_s{}), part[2].obj);
    EXPECT_EQ(DIR_ENT_STATE_VIEW | DIR_ENT_STATE_WHITEOUT, part[2].state);
    EXPECT_LT(part[0].cursor, part[1].cursor) << "record addresses";

    // A VOB the view does not know: nothing. A buffer too small for one
    // entry: 1084, in either walk.
    EXPECT_TRUE(names(uuid_of(9), qel_oid_s{}, 0).empty());
    messages.clear();
    EXPECT_EQ(QEL_ST_TOO_LONG, inventory(0, uuid_of(1), oid_of(1), 0, 64, &part, &next, &end));
    EXPECT_EQ(QEL_ST_TOO_LONG, inventory(0, uuid_of(1), qel_oid_s{}, 0, 64, &part, &next, &end));
    EXPECT_TRUE(messages.has("db_inventory at offset 0x0 failed: ")) << messages.text();
    // Room for one entry of up to 8 bytes of name in each batch.
    EXPECT_EQ(all.size(), names(uuid_of(1), oid_of(1), 0, 73).size());
    EXPECT_EQ(all, names(qel_uuid_s{}, oid_of(1), 0, 73));
}

TEST_F(DbHijacks, BatchesByDirectoryNeverSplitARunOfEqualHashes) {
    // Names in runs of equal hashes: three that hash to 0, then runs of 5,
    // 1, 7 and 2 names.
    uint32_t many = make_inode(vob, oid_of(3), QEL_FTYPE_DIR, COVER_DIR);
    std::vector<std::string> made = {"\x01\xe0", "\x02\xc0", "\x03\xa0"};
    auto run_of = [&made](uint32_t hash, size_t n) {
        size_t got = 0;
        for (int c1 = 33; c1 < 127 && got < n; ++c1)
            for (int c2 = 33; c2 < 127 && got < n; ++c2)
                for (int c3 = 33; c3 < 127 && got < n; ++c3) {
                    std::string name{char(c1), char(c2), char(c3)};
                    if (ostrela_db_hash_name(name.c_str()) == hash && name.find('/') == std::string::npos) {
                        made.push_back(name);
                        ++got;
                    }
                }
        EXPECT_EQ(n, got) << hash;
    };
    run_of(110000, 5);
    run_of(110100, 1);
    run_of(110200, 7);
    run_of(110300, 2);
    for (const std::string& name : made) ASSERT_EQ(0, link_name(many, name, 0)) << name;
    for (size_t i = 0; i < 3; ++i) ASSERT_EQ(0u, ostrela_db_hash_name(made[i].c_str()));

    // Every entry takes 64 bytes. The three names of hash 0 and the run of
    // 5 go together (cursor 0 means "from the first"): 8 entries, more than
    // 512 bytes.
    std::multiset<std::string> expected(made.begin(), made.end());
    for (size_t size : {513, 577, 640, 700, 1000, 1500, 8192}) {
        SCOPED_TRACE(size);
        int status = 0;
        auto parts = batches(uuid_of(1), oid_of(3), 0, size, &status);
        ASSERT_EQ(0, status);
        std::multiset<std::string> listed;
        for (size_t p = 0; p < parts.size(); ++p) {
            for (const Entry& e : parts[p]) listed.insert(e.name);
            if (p + 1 < parts.size() && !parts[p].empty() && !parts[p + 1].empty()) {
                EXPECT_NE(parts[p].back().cursor, parts[p + 1].front().cursor) << "a run split after batch " << p;
            }
        }
        EXPECT_EQ(expected, listed) << "each name exactly once";
    }
    // Room for 6 entries: the first batch cannot hold hash 0 with the run
    // after it.
    int status = 0;
    batches(uuid_of(1), oid_of(3), 0, 448, &status);
    EXPECT_EQ(QEL_ST_TOO_LONG, status);
    // Resuming after the run of 5: the run of 7 does not fit behind the
    // single name, and not at all.
    std::vector<Entry> part;
    uint32_t next = 0;
    int end = 0;
    EXPECT_EQ(0, inventory(110000, uuid_of(1), oid_of(3), 0, 448, &part, &next, &end));
    ASSERT_EQ(1u, part.size());
    EXPECT_EQ(110100u, next);
    EXPECT_EQ(0, end);
    EXPECT_EQ(QEL_ST_TOO_LONG, inventory(next, uuid_of(1), oid_of(3), 0, 448, &part, &next, &end));
    EXPECT_EQ(0, inventory(110200, uuid_of(1), oid_of(3), 0, 448, &part, &next, &end));
    EXPECT_EQ(2u, part.size());
    EXPECT_EQ(1, end);

    // In record order the cursor is an address, and batches of any size do.
    for (size_t size : {73, 200, 1000}) {
        auto parts = batches(uuid_of(1), qel_oid_s{}, 0, size, &status);
        ASSERT_EQ(0, status);
        std::multiset<std::string> listed;
        for (const auto& p : parts)
            for (const Entry& e : p)
                if (e.dir == text(oid_of(3))) listed.insert(e.name);
        EXPECT_EQ(expected, listed) << size;
    }
}

TEST_F(DbHijacks, CheckedOutElementsAreFound) {
    bool any = true;
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_has_checkouts(&any); }));
    EXPECT_FALSE(any);
    ASSERT_EQ(0, ostrel_db_create_def_scope());
    db_test::Loaded loaded(vob);
    uint32_t root_elem = loaded.element(oid_of(200), 2, true);
    uint32_t root = loaded.directory(oid_of(201), root_elem, 0);
    loaded.entry(root, 0, "", AUTOMATIC_LOAD_SCOPE_OID, 1);
    uint32_t elem = loaded.element(oid_of(210), 5, true);
    loaded.entry(loaded.version(oid_of(211), elem), root, "file.c", AUTOMATIC_LOAD_SCOPE_OID, 1);
    loaded.element(oid_of(220), 5, true);  // no version loaded: passed over
    uint32_t undone = loaded.element(oid_of(230), 5, true);
    loaded.entry(loaded.version(oid_of(231), undone), root, "undone.c", AUTOMATIC_LOAD_SCOPE_OID, 1);
    // Its checkout undone: the key keeps the element with the flag 0.
    ASSERT_EQ(0, write_tx([&] {
        db_vob_dbid_key key{vob & ~OSTREL_DB_DBID_BIT, undone};
        vns_db_elem rec;
        int st = dt_keyfind(ELEM_KEY, &key, &view_db_task, VDB);
        if (st == 0) st = dt_recread(&rec, &view_db_task, VDB);
        rec.checkedout = 0;
        return st != 0 ? st : dt_recwrite(&rec, &view_db_task, VDB);
    }));

    ASSERT_EQ(0, read_tx([&] { return ostrela_db_has_checkouts(&any); }));
    EXPECT_TRUE(any);
    std::vector<ostrelagent_hijack_co_info> list;
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_find_checkouts(list); }));
    EXPECT_EQ((Found{{1, text(qel_oid_s{}), "RootDir"}, {1, text(oid_of(200)), "file.c"}}), found(list));
}

// ---------------------------------------------------------------------------
// A new process

class DbRestart : public db_test::ViewDbTest {};

TEST_F(DbRestart, ScopesVobsConfigRecordsAndHijacksOutliveTheProcess) {
    const std::string long_text = "host:" + std::string(250, 'v'), long_scope = std::string(80, 'l');
    const std::string data(500, 'c');
    // The child makes them and ends without closing anything.
    pid_t child = fork();
    if (child == 0) {
        int created = 0;
        uint32_t vob = 0, dir = 0, hij = 0;
        _qel_cr_compressed_t cr{3, static_cast<uint32_t>(data.size()), const_cast<char*>(data.data())};
        bool ok = ostrel_db_init(&created) == 0 && ostrel_db_create_def_scope() == 0 &&
                  ostrel_db_create_vns_view(at(uuid_of(50)), 6) == 0 &&
                  ostrel_db_create_lr_scope(at(oid_of(1)), 4, long_scope.c_str()) == 0 &&
                  ostrel_db_begin_lr_scope_update(at(oid_of(1)), 9) == 0 &&
                  ostrel_db_create_lr_scope(at(oid_of(2)), 1, "/vobs/gone") == 0 &&
                  ostrel_db_mark_lr_scope_for_delete(at(oid_of(2))) == 0 &&
                  write_tx([&] { return ostrela_db_vob_create(at(uuid_of(1)), long_text.c_str(), &vob); }) == 0 &&
                  write_tx([&] { return ostrela_db_vob_set_setwork_flag(vob, 1); }) == 0;
        if (ok) {
            // A cover directory and the cover of an element's file, as the
            // namespace makes them (a restart rebuilds what a process left
            // modified, and a cover is of an element's kind).
            dir = make_inode(vob, oid_of(4), QEL_FTYPE_DIR, COVER_DIR);
            hij = make_inode(vob, oid_of(5), QEL_FTYPE_REG, 5);
            // The config record's derived object, named in the directory: a
            // record nothing references would not outlive the check of a
            // restart.
            uint32_t derived = make_inode(vob, oid_of(3), QEL_FTYPE_REG, 0x15);
            ok = dir != 0 && hij != 0 && derived != 0 && link_name(dir, "h.c", hij, HIJACKED) == 0 &&
                 link_name(dir, "derived", derived) == 0 &&
                 write_tx([&] { return ostrela_db_hijack(dir, "h.c", at(oid_of(6)), at(oid_of(7))); }) == 0 &&
                 write_tx([&] {
                     int st = ostrela_db_cr_create(at(oid_of(3)), at(uuid_of(1)), 1, nullptr, 0, &cr, 1, 0);
                     return st != 0 ? st : ostrela_db_cr_add_vob_ref(at(oid_of(3)), 1, at(uuid_of(1)));
                 }) == 0;
        }
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ("m\n", state_file()) << "never closed";

    ASSERT_EQ(0, reopen());
    unsigned gn = 0;
    ASSERT_EQ(0, ostrel_db_get_vns_view_gn(&gn));
    EXPECT_EQ(6u, gn);
    std::vector<ostrel_scope> scopes;
    ASSERT_EQ(0, ostrel_db_get_lr_scopes(1, scopes));
    ASSERT_EQ(2u, scopes.size());
    EXPECT_EQ(long_scope, scopes[0].pname);
    EXPECT_EQ(9u, scopes[0].gn);
    scopes.clear();
    ASSERT_EQ(0, ostrel_db_get_lrs_for_delete(scopes));
    ASSERT_EQ(1u, scopes.size());
    EXPECT_STREQ("/vobs/gone", scopes[0].pname);
    ASSERT_EQ(0, ostrel_db_get_def_scope_gn(&gn));
    EXPECT_EQ(1u, gn);

    std::vector<char> buf(1024);
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_vob_read(at(uuid_of(1)), buf.size(), buf.data(), nullptr); }));
    EXPECT_EQ(long_text, buf.data());
    qel_uuid_s flagged{};
    int count = 0, end = 0;
    uint32_t next = 0;
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_inventory_vobs(0, 0x1, 1, &flagged, &count, &next, &end); }));
    EXPECT_EQ(1, count);

    _qel_cr_compressed_t* cr = nullptr;
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_cr_get(at(oid_of(3)), 1, &cr); }));
    EXPECT_EQ(data, std::string(static_cast<const char*>(cr->data), cr->length));
    EXPECT_EQ(3u, cr->header);
    ostrela_db_cr_free(cr);

    std::vector<ostrelagent_hijack_co_info> hijacks;
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_find_hijacks(hijacks); }));
    EXPECT_EQ((Found{{1, text(oid_of(4)), "h.c"}}), found(hijacks));
}

} // namespace
