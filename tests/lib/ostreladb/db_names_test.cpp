// Inodes, directories, names and byte strings of the view database, on real
// engine files: view-private files, directories, hard links and long names
// made, found, listed page by page and removed; bad input refused with
// nothing changed; everything still there in a new process.

#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>

#include "lib/ostreladb/db_test_support.h"

namespace {

using db_test::oid_of;
using db_test::read_tx;
using db_test::uuid_of;
using db_test::write_tx;

constexpr uint32_t PRIVATE = 0x13;
constexpr uint32_t COVER_DIR = 2;

struct Listed {
    uint32_t inode, mtype, cookie, state;
    std::string name;
    bool operator==(const Listed& o) const {
        return inode == o.inode && mtype == o.mtype && cookie == o.cookie && state == o.state && name == o.name;
    }
};

std::ostream& operator<<(std::ostream& out, const Listed& e) {
    return out << "{" << e.name << " inode " << std::hex << e.inode << " mtype " << e.mtype << " cookie " << e.cookie
               << " state " << e.state << std::dec << "}";
}

// The entries packed into `buf`.
std::vector<Listed> unpack(const std::vector<char>& buf, size_t bytes) {
    std::vector<Listed> out;
    db_test::for_each_packed<view_db_readdir_entry>(
        buf, bytes, VIEW_DB_READDIR_HEAD, view_db_readdir_entry_size,
        [&out](const view_db_readdir_entry& e, const std::string& name) {
            out.push_back({e.inode, e.mtype, e.cookie, e.state, name});
        });
    return out;
}

class DbNames : public db_test::NewDbTest {
protected:
    void SetUp() override {
        db_test::NewDbTest::SetUp();
        qel_uuid_s uuid = uuid_of(1);
        ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_create(&uuid, "host:/vobs/a", &vob); }));
        root = make_dir(oid_of(1), COVER_DIR);
    }

    uint32_t make_inode(const qel_oid_s& oid, uint32_t type, uint32_t mtype = PRIVATE, uint32_t in_vob = 0) {
        return db_test::make_inode(in_vob != 0 ? in_vob : vob, oid, type, mtype);
    }
    uint32_t make_dir(const qel_oid_s& oid, uint32_t mtype = PRIVATE) { return make_inode(oid, QEL_FTYPE_DIR, mtype); }

    int link(uint32_t dir, const std::string& name, uint32_t object, uint32_t* cookie = nullptr,
             const qel_fstat_time_s* vob_time = nullptr, int keep_times = 0) {
        return db_test::link_name(dir, name, object, 0, cookie, vob_time, keep_times);
    }

    // One page of a directory after `cookie`.
    int page(uint32_t dir, uint32_t cookie, size_t size, std::vector<Listed>* out, int* end) {
        std::vector<char> buf(size);
        size_t bytes = 0;
        int status = read_tx([&] { return ostrela_db_readdir(dir, cookie, buf.data(), size, &bytes, end); });
        *out = unpack(buf, bytes);
        return status;
    }
    // The whole directory, in pages of `size` bytes.
    std::vector<Listed> list(uint32_t dir, size_t size = 8192) {
        std::vector<Listed> all;
        uint32_t cookie = 0;
        for (int end = 0; !end;) {
            std::vector<Listed> part;
            if (page(dir, cookie, size, &part, &end) != 0 || (part.empty() && !end)) {
                ADD_FAILURE() << "listing stopped";
                break;
            }
            all.insert(all.end(), part.begin(), part.end());
            if (!part.empty()) cookie = part.back().cookie;
        }
        return all;
    }

    struct Found {
        int status;
        uint32_t object, state;
    };
    Found lookup(uint32_t dir, const std::string& name) {
        Found f{0, 0, 0};
        f.status = read_tx([&] { return ostrela_db_dir_entry_lookup(dir, name.c_str(), &f.object, &f.state); });
        return f;
    }

    qel_fstat_db_s fstat_of(uint32_t dbid) {
        qel_fstat_db_s fstat{};
        EXPECT_EQ(0, read_tx([&] { return ostrela_db_inode_read(dbid, nullptr, nullptr, &fstat, nullptr, nullptr); }));
        return fstat;
    }

    // How many records of a type the database holds.
    int count(int type) { return db_test::count_records(type); }
    std::map<int, int> counts() {
        std::map<int, int> c;
        for (int type : {DB_VOB, DB_DIR, DB_DIR_ENT, DB_INODE, DB_BYTES, DB_BYTES_SMALL, DB_BYTES_MED}) c[type] = count(type);
        return c;
    }

    uint32_t vob_ref_cnt() {
        uint32_t n = 0;
        read_tx([&] {
            int st = ostrela_db_set_record(vob, DB_VOB, "DB_VOB");
            return st != 0 ? st : dt_crread(VOB_REF_CNT, &n, &view_db_task, VDB);
        });
        return n;
    }

    uint32_t vob = 0;
    uint32_t root = 0;
};

TEST_F(DbNames, NamesHashAsStored) {
    const struct {
        const char* name;
        uint32_t hash;
    } rows[] = {{"", 0}, {"abc", 102563}, {"\xE9", 0xFFFFFFE9u}, {"a", 97}, {"ab", 97 * 32 + 98}};
    for (const auto& row : rows) EXPECT_EQ(row.hash, ostrela_db_hash_name(row.name)) << row.name;
}

TEST_F(DbNames, FilesDirectoriesHardLinksAndLongNames) {
    const std::string n25(25, 'q'), n26(26, 'r'), n255(255, 's');
    uint32_t file = make_inode(oid_of(10), QEL_FTYPE_REG);
    uint32_t sub = make_dir(oid_of(11));
    uint32_t other = make_inode(oid_of(12), QEL_FTYPE_REG);
    uint32_t third = make_inode(oid_of(13), QEL_FTYPE_REG);
    uint32_t cookie = 0;
    ASSERT_EQ(0, link(root, "a", file, &cookie));
    EXPECT_EQ(0x40000002u, cookie) << "the first name of a directory";
    int bytes_before = count(DB_BYTES);
    ASSERT_EQ(0, link(root, n25, other));
    EXPECT_EQ(bytes_before, count(DB_BYTES)) << "25 bytes fit the record";
    ASSERT_EQ(0, link(root, n26, other));
    EXPECT_EQ(bytes_before + 1, count(DB_BYTES)) << "the 26th byte goes to a byte string";
    EXPECT_EQ(0, count(DB_BYTES_SMALL) + count(DB_BYTES_MED));
    ASSERT_EQ(0, link(root, n255, third));
    EXPECT_EQ(1, count(DB_BYTES_MED));
    ASSERT_EQ(0, link(root, "sub", sub));
    ASSERT_EQ(0, link(sub, "a-link", file, &cookie));
    EXPECT_EQ(0x40000002u, cookie);

    for (const std::string& name : {std::string("a"), n25, n26, n255}) {
        Found f = lookup(root, name);
        EXPECT_EQ(0, f.status) << name;
        EXPECT_EQ(DIR_ENT_STATE_VIEW, f.state);
        EXPECT_EQ(name == "a" ? file : name == n255 ? third : other, f.object);
    }
    EXPECT_EQ(file, lookup(sub, "a-link").object);
    EXPECT_EQ(QEL_ST_NOT_FOUND, lookup(root, n26.substr(0, 25) + "x").status);
    EXPECT_FALSE(messages.has("Dir_entry_lookup")) << "a missing name is not reported";

    // Link counts and sizes as the links made them.
    EXPECT_EQ(2u, fstat_of(file).nlink);
    EXPECT_EQ(2u, fstat_of(other).nlink);
    EXPECT_EQ(2u, fstat_of(sub).nlink);
    EXPECT_EQ(2u, fstat_of(root).nlink);
    EXPECT_EQ(89u + (1 + 43) + (25 + 43) + (26 + 43) + (255 + 43) + (3 + 43), uint64_t{fstat_of(root).size});
    EXPECT_EQ(root, fstat_of(root).nodeid);

    std::vector<Listed> expected = {{file, PRIVATE, 0x40000002, DIR_ENT_STATE_VIEW, "a"},
                                    {other, PRIVATE, 0x40000003, DIR_ENT_STATE_VIEW, n25},
                                    {other, PRIVATE, 0x40000004, DIR_ENT_STATE_VIEW, n26},
                                    {third, PRIVATE, 0x40000005, DIR_ENT_STATE_VIEW, n255},
                                    {sub, PRIVATE, 0x40000006, DIR_ENT_STATE_VIEW, "sub"}};
    EXPECT_EQ(expected, list(root));

    // The parent and the path up to the VOB directory.
    uint32_t parent = 0;
    char name[OSTREL_DB_NAME_BUF];
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_find_parent(sub, &parent, name); }));
    EXPECT_EQ(root, parent);
    EXPECT_STREQ("sub", name);
    char path[QEL_PNAME_MAX] = "a-link";
    qel_oid_s top{};
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_inode_get_dir_name(ostrela_db_dbid2dba(sub), path, &top); }));
    EXPECT_STREQ("sub/a-link", path);
    qel_oid_s root_oid = oid_of(1);
    EXPECT_TRUE(qel_oid_eq(&root_oid, &top));
    // The first name that names an object is its name; 255 bytes fit.
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_find_parent(other, &parent, name); }));
    EXPECT_EQ(n25, std::string(name));
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_find_parent(third, &parent, name); }));
    EXPECT_EQ(n255, std::string(name));

    // Removing names: the 255-byte one with its byte string, then one of the
    // file's two names.
    uint32_t named = 0;
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_dir_entry_delete(root, n255.c_str(), 0, &named); }));
    EXPECT_EQ(third, named);
    EXPECT_EQ(0, count(DB_BYTES_MED));
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_dir_entry_delete(root, "a", 0, &named); }));
    EXPECT_EQ(QEL_ST_NOT_FOUND, lookup(root, "a").status);
    EXPECT_EQ(file, lookup(sub, "a-link").object);
    EXPECT_EQ(3u, list(root).size());
}

TEST_F(DbNames, ListedPageByPageWithStableCookies) {
    uint32_t dir = make_dir(oid_of(20));
    uint32_t file = make_inode(oid_of(21), QEL_FTYPE_REG);
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i)
        names.push_back("name-" + std::to_string(i) + std::string(static_cast<size_t>(i % 40), 'x'));
    ASSERT_EQ(0, write_tx([&] {
        int status = 0;
        uint32_t cookie = 0;
        for (size_t i = 0; status == 0 && i < names.size(); ++i)
            status = ostrela_db_link(dir, names[i].c_str(), file, 0, nullptr, nullptr, 0, nullptr, &cookie);
        return status;
    }));
    // Pages of one name at most (the longest takes 68 bytes), of a few, of many.
    for (size_t size : {size_t{72}, size_t{600}, size_t{8744}}) {
        SCOPED_TRACE(size);
        std::vector<Listed> all = list(dir, size);
        ASSERT_EQ(names.size(), all.size());
        for (size_t i = 0; i < names.size(); ++i) {
            EXPECT_EQ(names[i], all[i].name);
            EXPECT_EQ(0x40000002u + i, all[i].cookie);
        }
    }
    // Cookie 0 and the cookie base both start at the first name.
    std::vector<Listed> from_zero, from_base;
    int end = 0;
    ASSERT_EQ(0, page(dir, 0, 256, &from_zero, &end));
    ASSERT_EQ(0, page(dir, OSTREL_DB_COOKIE_BASE, 256, &from_base, &end));
    EXPECT_EQ(from_zero, from_base);
    EXPECT_EQ(names[0], from_zero.at(0).name);
    EXPECT_EQ(0, end);

    // A buffer that only just holds the first name does not take it (a name
    // never fills the buffer exactly): 1084; one that holds one name more
    // than fits stops before it.
    size_t first = view_db_readdir_entry_size(names[0].size());
    std::vector<Listed> part;
    EXPECT_EQ(QEL_ST_TOO_LONG, page(dir, 0, first, &part, &end));
    ASSERT_EQ(0, page(dir, 0, first + 1, &part, &end));
    ASSERT_EQ(1u, part.size());
    EXPECT_EQ(0, end);

    // Names removed while the directory is being listed: the listing goes
    // on after the cookie it was given, whether that name is gone or not.
    ASSERT_EQ(0, page(dir, 0, 600, &part, &end));
    uint32_t resume = part.back().cookie;
    size_t next = part.size();
    uint32_t named = 0;
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_dir_entry_delete(dir, part.back().name.c_str(), 0, &named); }));
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_dir_entry_delete(dir, names[next].c_str(), 0, &named); }));
    ASSERT_EQ(0, page(dir, resume, 600, &part, &end));
    EXPECT_EQ(names[next + 1], part.at(0).name);
    ASSERT_EQ(0, page(dir, resume, 600, &part, &end)) << "the same page again";
    EXPECT_EQ(names[next + 1], part.at(0).name);
    // The last page says it is the last.
    ASSERT_EQ(0, page(dir, 0x40000002u + 299, 600, &part, &end));
    EXPECT_TRUE(part.empty());
    EXPECT_EQ(1, end);
}

TEST_F(DbNames, TextsAndIdentitiesLongerThanTheirRoomUseByteStrings) {
    uint32_t file = make_inode(oid_of(30), QEL_FTYPE_REG);
    const struct {
        size_t length;
        int heads, small, medium;
    } rows[] = {
        {0, 0, 0, 0},   {74, 0, 0, 0},  {75, 1, 0, 0},
        {74 + 90, 1, 0, 0}, {74 + 91, 1, 1, 0}, {74 + 90 + 232 + 1, 1, 1, 1},
        {1023, 1, 0, 4}, {1023, 1, 0, 4},
    };
    int heads = count(DB_BYTES);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.length);
        std::string text;
        for (size_t i = 0; i < row.length; ++i) text += static_cast<char>('a' + i % 26);
        ASSERT_EQ(0, write_tx([&] { return ostrela_db_inode_write_text(file, text.c_str()); }));
        EXPECT_EQ(heads + row.heads, count(DB_BYTES));
        EXPECT_EQ(row.small, count(DB_BYTES_SMALL));
        EXPECT_EQ(row.medium, count(DB_BYTES_MED));
        // A text fits a buffer with room for its terminator, and only then.
        std::vector<char> buf(row.length + 1, '#');
        ASSERT_EQ(0, read_tx([&] { return ostrela_db_inode_read_text(file, buf.data(), buf.size()); }));
        EXPECT_EQ(text, std::string(buf.data()));
        if (row.length > 0) {
            EXPECT_EQ(QEL_ST_TOO_LONG,
                      read_tx([&] { return ostrela_db_inode_read_text(file, buf.data(), buf.size() - 1); }));
        }
    }

    // Identities of up to 34 bytes: beyond 30 they go to byte strings.
    credutl_sid_t long_user, long_group, short_user;
    ASSERT_EQ(0, credutl_str_to_sid("S-1-22-1-2-3-4-5-6", &long_user));
    ASSERT_EQ(0, credutl_str_to_sid("S-1-22-2-7-8-9-10-11", &long_group));
    credutl_uid_to_sid(1000, &short_user);
    ASSERT_GT(credutl_sid_length(&long_user), INODE_SID_ROOM);
    qel_fstat_db_s fstat = fstat_of(file);
    fstat.usid = long_user;
    fstat.gsid = long_group;
    fstat.size = 0x100000002ull;
    heads = count(DB_BYTES);
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_inode_rewrite(file, &fstat); }));
    EXPECT_EQ(heads + 2, count(DB_BYTES));
    qel_fstat_db_s back = fstat_of(file);
    EXPECT_TRUE(credutl_sid_eq(&long_user, &back.usid));
    EXPECT_TRUE(credutl_sid_eq(&long_group, &back.gsid));
    EXPECT_EQ(0x100000002ull, uint64_t{back.size});
    fstat.usid = short_user;
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_inode_rewrite(file, &fstat); }));
    EXPECT_EQ(heads + 1, count(DB_BYTES)) << "the old byte string goes";
    back = fstat_of(file);
    EXPECT_TRUE(credutl_sid_eq(&short_user, &back.usid));

    // A new inode made with long identities keeps them too.
    qel_oid_s oid = oid_of(31);
    uint32_t made = 0;
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_inode_create(vob, &oid, &fstat, PRIVATE, &made, nullptr); }));
    back = fstat_of(made);
    EXPECT_TRUE(credutl_sid_eq(&long_group, &back.gsid));
    // Deleting it takes its byte strings along.
    heads = count(DB_BYTES);
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_inode_delete(made, 0); }));
    EXPECT_EQ(heads - 1, count(DB_BYTES));
}

TEST_F(DbNames, BadInputGetsItsStatusAndChangesNothing) {
    uint32_t file = make_inode(oid_of(40), QEL_FTYPE_REG);
    uint32_t gone = make_inode(oid_of(41), QEL_FTYPE_REG);
    ASSERT_EQ(0, link(root, "a", file));
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_inode_delete(gone, 0); }));
    const std::vector<Listed> listed = list(root);
    const std::map<int, int> before = counts();
    const qel_fstat_db_s root_before = fstat_of(root);
    const qel_oid_s oid = oid_of(40);
    uint32_t out = 0, state = 0;
    char buf[OSTREL_DB_NAME_BUF];
    const struct {
        const char* what;
        int status;
        std::function<int()> step;
    } rows[] = {
        {"a 256-byte name", QEL_ST_TOO_LONG, [&] { return ostrela_db_link(root, std::string(256, 'n').c_str(), file, 0, nullptr, nullptr, 0, nullptr, &out); }},
        {"an empty name", QEL_ST_INVALID, [&] { return ostrela_db_link(root, "", file, 0, nullptr, nullptr, 0, nullptr, &out); }},
        {"a name that exists", QEL_ST_EXISTS, [&] { return ostrela_db_link(root, "a", file, 0, nullptr, nullptr, 0, nullptr, &out); }},
        {"a directory dbid without bit 31", QEL_ST_INTERNAL, [&] { return ostrela_db_link(root & 0x7fffffff, "b", file, 0, nullptr, nullptr, 0, nullptr, &out); }},
        {"a deleted directory", QEL_ST_STALE, [&] { return ostrela_db_link(gone, "b", file, 0, nullptr, nullptr, 0, nullptr, &out); }},
        {"a VOB given as directory", QEL_ST_STALE, [&] { return ostrela_db_link(vob, "b", file, 0, nullptr, nullptr, 0, nullptr, &out); }},
        {"a missing object", QEL_ST_STALE, [&] { return ostrela_db_link(root, "b", gone, 0, nullptr, nullptr, 0, nullptr, &out); }},
        {"a directory that is not empty", QEL_ST_NOT_EMPTY, [&] { return ostrela_db_dir_empty(root); }},
        {"a listing of a file", QEL_ST_NOT_FOUND, [&] { size_t n; int e; return ostrela_db_readdir(file, 0, buf, sizeof buf, &n, &e); }},
        {"dbid 0", QEL_ST_INTERNAL, [&] { return ostrela_db_inode_read(0, nullptr, nullptr, nullptr, nullptr, nullptr); }},
        {"a positive dbid", QEL_ST_INTERNAL, [&] { return ostrela_db_inode_read(0x1234, nullptr, nullptr, nullptr, nullptr, nullptr); }},
        {"a deleted inode", QEL_ST_STALE, [&] { return ostrela_db_inode_write_text(gone, "x"); }},
        {"an inode past the end of its file", QEL_ST_STALE, [&] { return ostrela_db_inode_read(gone + 1000, nullptr, nullptr, nullptr, nullptr, nullptr); }},
        {"an inode in no file", QEL_ST_STALE, [&] { return ostrela_db_inode_read(0xFE000001u, nullptr, nullptr, nullptr, nullptr, nullptr); }},
        {"a lookup in VOB 0", QEL_ST_NOT_FOUND, [&] { return ostrela_db_inode_lookup(0, &oid, &out); }},
        {"a lookup in a VOB without bit 31", QEL_ST_INTERNAL, [&] { return ostrela_db_inode_lookup(5, &oid, &out); }},
        {"a second inode of an oid", QEL_ST_EXISTS, [&] { qel_fstat_db_s f{}; return ostrela_db_inode_create(vob, &oid, &f, PRIVATE, &out, nullptr); }},
        {"a missing name", QEL_ST_NOT_FOUND, [&] { return ostrela_db_dir_entry_lookup(root, "zz", &out, &state); }},
        {"removing a missing name", QEL_ST_NOT_FOUND, [&] { return ostrela_db_dir_entry_delete(root, "zz", 0, &out); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        testing::internal::CaptureStderr();
        EXPECT_EQ(row.status, write_tx(row.step));
        const std::string err = testing::internal::GetCapturedStderr();
        // A dbid from outside (a kernel handle) that names no object is
        // stale, without an engine error.
        if (row.status == QEL_ST_STALE) {
            EXPECT_EQ(err, "");
        }
        EXPECT_EQ(listed, list(root));
        EXPECT_EQ(before, counts());
        EXPECT_EQ(root_before.size.low, fstat_of(root).size.low);
    }
    EXPECT_EQ(vob, [&] {
        uint32_t found = 0;
        qel_uuid_s uuid = uuid_of(1);
        read_tx([&] { return ostrela_db_vob_lookup(&uuid, &found); });
        return found;
    }());
}

TEST_F(DbNames, AWhiteOutIsTakenOverWithItsOwnCookie) {
    uint32_t file = make_inode(oid_of(50), QEL_FTYPE_REG);
    uint32_t cookie = 0;
    ASSERT_EQ(0, link(root, "w", 0, &cookie));
    EXPECT_EQ(0x40000002u, cookie);
    ASSERT_EQ(0, link(root, "x", file));
    Found white = lookup(root, "w");
    EXPECT_EQ(0, white.status);
    EXPECT_EQ(0u, white.object);
    EXPECT_EQ(DIR_ENT_STATE_VIEW | DIR_ENT_STATE_WHITEOUT, white.state);
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_dir_entry_create(vob, root, "w", file, 0, &cookie); }));
    EXPECT_EQ(0x40000002u, cookie) << "the name keeps its place";
    EXPECT_EQ(file, lookup(root, "w").object);
    std::vector<Listed> expected = {{file, PRIVATE, 0x40000002, DIR_ENT_STATE_VIEW, "w"},
                                    {file, PRIVATE, 0x40000003, DIR_ENT_STATE_VIEW, "x"}};
    EXPECT_EQ(expected, list(root));
    // Detaching makes it a white-out again; the state keeps its kept bits.
    uint32_t named = 0;
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_dir_entry_state_set(root, "w", 0x800 | 0x200000 | 0x4000); }));
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_dir_entry_delete(root, "w", 1, &named); }));
    EXPECT_EQ(file, named);
    white = lookup(root, "w");
    EXPECT_EQ(0u, white.object);
    EXPECT_EQ(DIR_ENT_STATE_VIEW | DIR_ENT_STATE_WHITEOUT | DIR_ENT_STATE_KEEP | DIR_ENT_STATE_HIJACKED, white.state);
}

TEST_F(DbNames, DeletingAnInodeLeavesWhiteOutsAndTakesItsNamesAlong) {
    uint32_t file = make_inode(oid_of(60), QEL_FTYPE_REG);
    uint32_t sub = make_dir(oid_of(61));
    ASSERT_EQ(0, link(root, "f", file));
    ASSERT_EQ(0, link(root, "sub", sub));
    ASSERT_EQ(0, link(sub, "f2", file));
    ASSERT_EQ(0, link(sub, std::string(100, 'L'), file));
    EXPECT_EQ(3u, vob_ref_cnt());
    int names = count(DB_DIR_ENT), bytes = count(DB_BYTES);

    ASSERT_EQ(0, write_tx([&] { return ostrela_db_inode_delete(file, 0); }));
    for (auto [dir, name] : {std::pair<uint32_t, std::string>{root, "f"}, {sub, "f2"}}) {
        Found f = lookup(dir, name);
        EXPECT_EQ(0, f.status);
        EXPECT_EQ(0u, f.object);
        EXPECT_EQ(DIR_ENT_STATE_VIEW | DIR_ENT_STATE_WHITEOUT, f.state);
    }
    EXPECT_EQ(0u, list(sub).at(0).inode);
    EXPECT_EQ(0u, list(sub).at(0).mtype);
    EXPECT_EQ(2u, vob_ref_cnt());

    // A directory's own names go with it; the name that named it stays.
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_inode_delete(sub, 0); }));
    EXPECT_EQ(names - 2, count(DB_DIR_ENT));
    EXPECT_EQ(bytes - 1, count(DB_BYTES));
    EXPECT_EQ(1, count(DB_DIR)) << "the root's";
    EXPECT_EQ(0u, lookup(root, "sub").object);
    EXPECT_EQ(1u, vob_ref_cnt());
}

TEST_F(DbNames, ADirectorysTimeNeverFallsBehindItsVob) {
    uint32_t file = make_inode(oid_of(70), QEL_FTYPE_REG);
    qel_fstat_time_s before = ostrela_db_view_time();
    ASSERT_EQ(0, link(root, "now", file));
    qel_fstat_db_s dir = fstat_of(root);
    EXPECT_GT(dir.mtime.tv_sec * 1000000ull + dir.mtime.tv_usec, before.tv_sec * 1000000ull + before.tv_usec);
    EXPECT_EQ(dir.mtime.tv_sec, dir.ctime.tv_sec);
    EXPECT_EQ(dir.mtime.tv_usec, dir.ctime.tv_usec);

    const qel_fstat_time_s ahead = {before.tv_sec + 10, 999999};
    ASSERT_EQ(0, link(root, "ahead", file, nullptr, &ahead));
    dir = fstat_of(root);
    EXPECT_EQ(before.tv_sec + 11, dir.mtime.tv_sec) << "a microsecond after the VOB's time";
    EXPECT_EQ(0u, dir.mtime.tv_usec);
    // Later again: just after the directory's own time.
    ASSERT_EQ(0, link(root, "again", file, nullptr, &ahead));
    dir = fstat_of(root);
    EXPECT_EQ(before.tv_sec + 11, dir.mtime.tv_sec);
    EXPECT_EQ(1u, dir.mtime.tv_usec);
    // Kept times stay.
    ASSERT_EQ(0, link(root, "kept", file, nullptr, nullptr, 1));
    EXPECT_EQ(1u, fstat_of(root).mtime.tv_usec);
}

TEST_F(DbNames, InventoriesStrandingAndNewOids) {
    qel_uuid_s uuid2 = uuid_of(2);
    uint32_t vob2 = 0;
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_create(&uuid2, std::string(300, 'v').c_str(), &vob2); }));
    EXPECT_EQ(1, count(DB_BYTES)) << "a VOB text over 208 bytes";
    std::vector<uint32_t> mine, theirs;
    for (unsigned i = 0; i < 23; ++i) mine.push_back(make_inode(oid_of(100 + i), QEL_FTYPE_REG));
    for (unsigned i = 0; i < 4; ++i) theirs.push_back(make_inode(oid_of(200 + i), QEL_FTYPE_REG, PRIVATE, vob2));

    // Ten at a time from the null oid, each call resuming after the last.
    auto inventory = [&](uint32_t in_vob, int same_vob_only) {
        std::vector<uint32_t> all;
        qel_oid_s from{};
        uint32_t from_vob = in_vob;
        for (;;) {
            uint32_t batch[10];
            int n = 0;
            EXPECT_EQ(0, read_tx([&] { return ostrela_db_inode_inventory(from_vob, &from, batch, 10, &n, same_vob_only); }));
            all.insert(all.end(), batch, batch + n);
            if (n < 10) return all;
            EXPECT_EQ(0, read_tx([&] { return ostrela_db_inode_read(batch[9], nullptr, &from, nullptr, nullptr, &from_vob); }));
        }
    };
    std::vector<uint32_t> listed = inventory(vob, 1);
    EXPECT_EQ(24u, listed.size()) << "the root and 23 files";
    EXPECT_EQ(28u, inventory(0, 0).size()) << "every VOB";
    EXPECT_TRUE(inventory(0, 1).empty()) << "no stranded inode";

    // A stranded inode leaves its VOB and carries its deadline.
    struct timeval when = {1700000000, 42};
    uint32_t refs = vob_ref_cnt();
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_mark_inode_stranded(mine[0], &when); }));
    EXPECT_EQ(refs - 1, vob_ref_cnt());
    uint32_t in_vob = 1;
    qel_fstat_db_s fstat{};
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_inode_read(mine[0], nullptr, nullptr, &fstat, nullptr, &in_vob); }));
    EXPECT_EQ(0u, in_vob);
    EXPECT_EQ(1700000000u, fstat.xtime.tv_sec);
    EXPECT_EQ(42u, fstat.xtime.tv_usec);
    EXPECT_EQ(std::vector<uint32_t>{mine[0]}, inventory(0, 1));
    EXPECT_EQ(23u, inventory(vob, 1).size());

    // A new oid and kind: found by the new oid only; an oid in use is refused.
    qel_oid_s fresh = oid_of(300), old = oid_of(101), taken = oid_of(102);
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_inode_set_oid(mine[1], &fresh, 0x16, 0); }));
    uint32_t found = 0, mtype = 0;
    EXPECT_EQ(0, read_tx([&] { return ostrela_db_inode_lookup(vob, &fresh, &found); }));
    EXPECT_EQ(mine[1], found);
    EXPECT_EQ(QEL_ST_NOT_FOUND, read_tx([&] { return ostrela_db_inode_lookup(vob, &old, &found); }));
    EXPECT_EQ(0, read_tx([&] { return ostrela_db_inode_read(mine[1], nullptr, nullptr, nullptr, &mtype, nullptr); }));
    EXPECT_EQ(0x16u, mtype);
    EXPECT_EQ(QEL_ST_EXISTS, write_tx([&] { return ostrela_db_inode_set_oid(mine[1], &taken, 0x13, 0); }));
    EXPECT_EQ(0, read_tx([&] { return ostrela_db_inode_lookup(vob, &fresh, &found); }));
}

// ---------------------------------------------------------------------------
// A new process

class DbPersistence : public DbNames {};

TEST_F(DbPersistence, FilesNamesAndContainersOutliveTheProcess) {
    // The child makes the files and ends without closing anything.
    ostrel_db_close();
    pid_t child = fork();
    if (child == 0) {
        int created = 0;
        bool ok = ostrel_db_init(&created) == 0;
        uint32_t file = 0, dir = 0;
        for (int i = 0; ok && i < 3; ++i) {
            std::string name = i == 2 ? std::string(200, 'z') + ".txt" : "file-" + std::to_string(i);
            qel_oid_s oid = oid_of(500 + i);
            qel_fstat_db_s fstat{};
            fstat.type = QEL_FTYPE_REG;
            char container[1024];
            ok = write_tx([&] {
                     int st = ostrela_db_inode_create(vob, &oid, &fstat, PRIVATE, &file, nullptr);
                     if (st == 0 && ostrel_storage_create(&oid, &oid, name.c_str(), file, container, sizeof container) != 0)
                         st = QEL_ST_NO_CLEARTEXT;
                     if (st == 0) st = ostrela_db_inode_write_text(file, container);
                     uint32_t cookie = 0;
                     if (st == 0) st = ostrela_db_link(root, name.c_str(), file, 0, nullptr, nullptr, 0, nullptr, &cookie);
                     return st;
                 }) == 0;
            std::ofstream(std::string(".s/") + container) << "contents of " << name;
        }
        if (ok) {
            dir = make_dir(oid_of(600));
            ok = dir != 0 && link(root, "dir", dir) == 0 && link(dir, "hard", file) == 0;
        }
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ("m\n", state_file()) << "never closed";

    auto check = [&] {
        ASSERT_EQ(0, reopen());
        std::vector<Listed> names = list(root);
        ASSERT_EQ(4u, names.size());
        EXPECT_EQ("file-0", names[0].name);
        EXPECT_EQ(std::string(200, 'z') + ".txt", names[2].name);
        EXPECT_EQ("dir", names[3].name);
        for (int i = 0; i < 3; ++i) {
            char text[1024];
            ASSERT_EQ(0, read_tx([&] { return ostrela_db_inode_read_text(names[i].inode, text, sizeof text); }));
            EXPECT_EQ("contents of " + names[i].name, lib_test::read_file(std::string(".s/") + text)) << text;
            EXPECT_EQ(i == 2 ? 2u : 1u, fstat_of(names[i].inode).nlink);
        }
        EXPECT_EQ(names[2].inode, lookup(names[3].inode, "hard").object);
    };
    check();
    // Closed properly this time, and opened again.
    ASSERT_EQ(0, ostrel_db_close());
    EXPECT_EQ("i\n", state_file());
    check();
}

} // namespace
