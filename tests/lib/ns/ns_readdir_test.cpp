// The directory cache and the kernel's directory reads: a listing merged
// from the VOB's and the view's names, read page by page while names come
// and go, never losing or repeating one; what a complete listing answers
// without asking; extended naming and the extended records.

#include <algorithm>
#include <cstdio>
#include <tuple>

#include "lib/ns/ns_test_support.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace {

using namespace ns_test;

class NsReaddir : public NsTreeTest {
protected:
    // The cover of directory element 30 ("d"), made by the first name the
    // view records in it.
    uint32_t cover_of_d(view_fhandle d) {
        EXPECT_EQ(0, create(d, "first"));
        Ns_Cache_Lock lock;
        int ext = 0, status = 0;
        obj_entry* dir = locate_validate_fhandle(&d, &ext, &status);
        EXPECT_NE(nullptr, dir);
        obj_entry* view = obj_2view_obj(dir);
        EXPECT_NE(nullptr, view);
        uint32_t dbid = static_cast<uint32_t>(view->dbid);
        obj_free(dir);
        return dbid;
    }
    // `count` view-private files "p0000", ... under the cover, in one write.
    void view_files(uint32_t cover, int count) {
        ASSERT_EQ(0, db_test::write_tx([&] {
            for (int i = 0; i < count; ++i) {
                qel_fstat_db_s f = file_status(QEL_FTYPE_REG, 0644);
                f.nlink = 0;
                qel_oid_s oid = oid_of(200000 + i);
                uint32_t dbid = 0;
                int st = ostrela_db_inode_create(vob_dbid, &oid, &f, PRIVATE, &dbid, nullptr);
                char name[16];
                std::snprintf(name, sizeof name, "p%04d", i);
                if (st == 0)
                    st = ostrela_db_link(cover, name, dbid, 0x1000, nullptr, nullptr, 0, nullptr, nullptr);
                if (st != 0) return st;
            }
            return 0;
        }));
    }
    // Loads the names of the loaded directory version `dir` (a script
    // number) into the view database in one write, as an update loading the
    // whole directory does: each name a file element with a version, given
    // by their script numbers; the directory is listed then.
    void load_whole(unsigned dir, const std::vector<std::tuple<std::string, unsigned, unsigned>>& names) {
        uint32_t dir_dbid = static_cast<uint32_t>(db_dbid(dir));
        ASSERT_NE(0u, dir_dbid);
        qel_fstat_db_s f = file_status(QEL_FTYPE_REG, 0644);
        struct timeval time{};
        ASSERT_EQ(0, db_test::write_tx([&] {
            for (const auto& n : names) {
                qel_oid_s elem = oid_of(std::get<1>(n)), ver = oid_of(std::get<2>(n));
                uint32_t dbid = 0;
                int st = ostrela_db_create_vns_elem(vob_dbid, &elem, &time, &f, FILE_ELEM, 0, &dbid);
                if (st == 0)
                    st = ostrela_db_create_vns_ver(vob_dbid, dir_dbid, &ver, &elem, FILE_VER, &time,
                                                   std::get<0>(n).c_str(), &f, &QEL_OID_NULL, 0, 3, &dbid, nullptr,
                                                   nullptr);
                if (st != 0) return st;
            }
            bool removed = false;
            return ostrela_db_ver_set_readdir_done(vob_dbid, dir_dbid, 1, &removed, nullptr);
        }));
    }
    static std::string vob_name(int i) {
        char name[16];
        std::snprintf(name, sizeof name, "v%04d", i);
        return name;
    }
    // One page of a read: its names, its next cookie and end flag.
    struct Page {
        int status = -1;
        std::vector<std::string> names;
        unsigned next = 0;
        int end = 0;
    };
    Page page(view_fhandle dir_fh, unsigned cookie, unsigned size) {
        Page p;
        std::vector<char> buf(size + 8);
        unsigned bytes = 0;
        p.status = ns_readdir(&dir_fh, cookie, size, &p.next, &bytes, &p.end,
                              reinterpret_cast<view_dirent*>(buf.data()));
        for (unsigned at = 0; at < bytes;) {
            view_dirent head{};
            p.names.push_back(view_dirent_read(buf.data() + at, &head));
            at += head.reclen;
        }
        return p;
    }
    // The records of an extended read.
    struct Ext {
        std::string name;
        view_dirent_ext head;
    };
    std::vector<Ext> ext_page(view_fhandle dir_fh, unsigned cookie, const char* name, unsigned options,
                              int* status) {
        std::vector<char> buf(8192);
        unsigned next = 0, bytes = 0;
        int end = 0;
        *status = ns_readdir_ext(&dir_fh, cookie, name, options, static_cast<unsigned>(buf.size()), &next, &bytes,
                                 &end, reinterpret_cast<view_dirent_ext*>(buf.data()));
        std::vector<Ext> out;
        for (unsigned at = 0; at < bytes;) {
            Ext e{};
            e.name = view_dirent_ext_read(buf.data() + at, &e.head);
            at += view_dirent_ext_reclen(e.head.namlen);
            out.push_back(e);
        }
        return out;
    }
};

TEST_F(NsReaddir, TenThousandNamesReadByPagesWhileNamesComeAndGo) {
    constexpr int VOB_NAMES = 5000, VIEW_NAMES = 5000;
    std::vector<std::tuple<std::string, unsigned, unsigned>> entries;
    for (int i = 0; i < VOB_NAMES; ++i) entries.push_back({vob_name(i), 100000u + i, 300000u + i});
    // Two names both halves hold: the view's file eclipses the VOB's.
    entries.push_back({"p0007", 90, 91});
    entries.push_back({"p4321", 92, 93});
    view_fhandle d = walk("d");
    load_whole(31, entries);
    uint32_t cover = cover_of_d(d);
    view_files(cover, VIEW_NAMES);

    std::set<std::string> present;  // what the whole read must list once
    for (int i = 0; i < VOB_NAMES; ++i) present.insert(vob_name(i));
    for (int i = 0; i < VIEW_NAMES; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "p%04d", i);
        present.insert(name);
    }
    present.insert("first");
    std::set<std::string> added, removed_unread;
    std::map<std::string, int> seen;
    unsigned cookie = 0;
    int pages = 0, removals = 0;
    for (int end = 0; !end; ++pages) {
        Page p = page(d, cookie, 600);
        ASSERT_EQ(0, p.status) << "page " << pages;
        ASSERT_FALSE(p.names.empty() && !p.end) << "page " << pages;
        for (const std::string& n : p.names) seen[n]++;
        cookie = p.next;
        end = p.end;
        if (pages % 25 != 24) continue;
        // A name added, and one removed, read already or not yet.
        char name[16];
        std::snprintf(name, sizeof name, "n%03d", pages);
        ASSERT_EQ(0, create(d, name));
        added.insert(name);
        std::snprintf(name, sizeof name, "p%04d", (removals * 977 + 13) % VIEW_NAMES);
        ++removals;
        if (name == std::string("p0007") || name == std::string("p4321") || !present.count(name)) continue;
        ASSERT_EQ(0, remove(d, name)) << name;
        present.erase(name);
        if (!seen.count(name)) removed_unread.insert(name);
    }
    EXPECT_GT(pages, 300);
    EXPECT_GT(removals, 10);
    for (const auto& s : seen) EXPECT_EQ(1, s.second) << s.first << " listed twice";
    for (const std::string& n : present) EXPECT_EQ(1u, seen.count(n)) << n << " lost";
    for (const std::string& n : added) EXPECT_EQ(1u, seen.count(n)) << n << " added but not listed";
    for (const std::string& n : removed_unread) EXPECT_EQ(0u, seen.count(n)) << n << " removed but listed";
    EXPECT_EQ(1u, seen.count("."));
    EXPECT_EQ(1u, seen.count(".."));

    // The eclipsing view files are the ones listed: their inode is theirs.
    Page again = page(d, 0, 1 << 20);
    ASSERT_EQ(1, again.end);
    EXPECT_EQ(1, std::count(again.names.begin(), again.names.end(), "p0007"));
    Found eclipsing = lookup(d, "p0007");
    ASSERT_EQ(0, eclipsing.status);
    EXPECT_LT(static_cast<int32_t>(eclipsing.fh.dbid), 0);
}

TEST_F(NsReaddir, ACompleteListingAnswersFromMemory) {
    view_fhandle d = walk("d");
    ASSERT_EQ(0, create(d, "mine"));
    std::vector<std::string> names = listing(d);
    EXPECT_EQ((std::vector<std::string>{".", "..", "g.c", "e", "mine"}), names);
    unsigned readdirs = server.calls(Server::LISTING);
    unsigned lookups = server.calls(Server::LOOKUP);
    auto hits = stats()[ST_DIR_HITS];
    EXPECT_EQ(names, listing(d));
    EXPECT_EQ(readdirs, server.calls(Server::LISTING));
    EXPECT_GT(stats()[ST_DIR_HITS], hits);
    // A name neither half holds is not found without asking anyone.
    EXPECT_EQ(QEL_ST_NO_ENTRY, lookup(d, "nowhere").status);
    EXPECT_EQ(lookups, server.calls(Server::LOOKUP));
}

TEST_F(NsReaddir, PagesStartWhereTheCookieSaysAndNeedRoom) {
    view_fhandle d = walk("d");
    ASSERT_EQ(0, create(d, "mine"));
    struct Case {
        unsigned cookie, size;
        int status;
        std::vector<std::string> names;
        int end;
    } cases[] = {
        {0, 15, QEL_ST_INVALID, {}, 0},
        {0, 16, 0, {"."}, 0},
        {0, 35, 0, {".", ".."}, 0},
        {1, 1024, 0, {"..", "g.c", "e", "mine"}, 1},
        {2, 1024, 0, {"g.c", "e", "mine"}, 1},
        {2, 15, QEL_ST_INVALID, {}, 0},
    };
    for (const Case& c : cases) {
        Page p = page(d, c.cookie, c.size);
        EXPECT_EQ(c.status, p.status) << c.cookie << "/" << c.size;
        EXPECT_EQ(c.names, p.names) << c.cookie << "/" << c.size;
        EXPECT_EQ(c.end, p.end) << c.cookie << "/" << c.size;
    }
    // Past the last entry: nothing more, and the end.
    Page all = page(d, 2, 1024);
    Page after = page(d, all.next, 1024);
    EXPECT_EQ(0, after.status);
    EXPECT_TRUE(after.names.empty());
    EXPECT_EQ(1, after.end);
}

TEST_F(NsReaddir, ExtendedNamingListsTheVobsNamesOnly) {
    view_fhandle d = walk("d");
    ASSERT_EQ(0, create(d, "mine"));
    d.flags |= VIEW_FH_EXT_NAME;
    Page p = page(d, 2, 1024);
    EXPECT_EQ(0, p.status);
    EXPECT_EQ((std::vector<std::string>{"g.c", "e"}), p.names);
    EXPECT_EQ(1, p.end);
}

TEST_F(NsReaddir, ExtendedRecordsNameObjectsVersionsAndStates) {
    view_fhandle d = walk("d");
    ASSERT_EQ(0, create(d, "mine"));
    int status = -1;
    std::vector<Ext> all = ext_page(d, 0, "", 1, &status);
    ASSERT_EQ(0, status);
    std::vector<std::string> names;
    for (const Ext& e : all) names.push_back(e.name);
    EXPECT_EQ((std::vector<std::string>{".", "..", "g.c", "e", "mine"}), names);
    // "." is the directory: its element as object, itself as version.
    qel_oid_s elem30 = oid_of(30), ver31 = oid_of(31), elem40 = oid_of(40), ver41 = oid_of(41);
    EXPECT_TRUE(qel_oid_eq(&all[0].head.obj_oid, &elem30));
    EXPECT_TRUE(qel_oid_eq(&all[0].head.ver_oid, &ver31));
    // A VOB file: its element, and the version the name selects.
    EXPECT_EQ(static_cast<uint32_t>(db_dbid(40)), all[2].head.ino);
    EXPECT_TRUE(qel_oid_eq(&all[2].head.obj_oid, &elem40));
    EXPECT_EQ(FILE_ELEM, all[2].head.obj_mtype);
    EXPECT_TRUE(qel_oid_eq(&all[2].head.ver_oid, &ver41));
    EXPECT_EQ(FILE_VER, all[2].head.ver_mtype);
    // The view's file, resolved by the view.
    EXPECT_EQ(NAME_RESOLVED, all[4].head.name_state & NAME_RESOLVED);
    EXPECT_EQ(PRIVATE, all[4].head.obj_mtype);

    struct Case {
        const char* name;
        unsigned cookie;
        std::vector<std::string> names;
    } cases[] = {
        {"g.c", 0, {"g.c"}},
        {".", 0, {"."}},
        {"..", 0, {".."}},
        {"mine", 2, {"mine"}},
        {"absent", 0, {}},
    };
    for (const Case& c : cases) {
        std::vector<Ext> got = ext_page(d, c.cookie, c.name, 0, &status);
        std::vector<std::string> got_names;
        for (const Ext& e : got) got_names.push_back(e.name);
        EXPECT_EQ(c.names, got_names) << c.name;
    }
}

TEST_F(NsReaddir, AViewDirectoryListsItsOwnNamesAndItsParentsName) {
    view_fhandle d = walk("d");
    view_fhandle sub{};
    ASSERT_EQ(0, mkdir(d, "sub", &sub));
    ASSERT_EQ(0, create(sub, "x"));
    ASSERT_EQ(0, mkdir(sub, "y"));
    EXPECT_EQ((std::vector<std::string>{".", "..", "x", "y"}), listing(sub));
    ASSERT_EQ(0, remove(sub, "x"));
    EXPECT_EQ((std::vector<std::string>{".", "..", "y"}), listing(sub));
    EXPECT_EQ((std::vector<std::string>{".", "..", "g.c", "e", "sub"}), listing(d));
    Ns_Cache_Lock lock;
    int ext = 0, status = 0;
    obj_entry* dir = locate_validate_fhandle(&d, &ext, &status);
    obj_entry* obj = locate_validate_fhandle(&sub, &ext, &status);
    ASSERT_NE(nullptr, dir);
    ASSERT_NE(nullptr, obj);
    char name[8];
    EXPECT_EQ(0, ns_readdir_get_parent_name(dir, obj, sizeof name, name));
    EXPECT_STREQ("sub", name);
    EXPECT_EQ(QEL_ST_TOO_LONG, ns_readdir_get_parent_name(dir, obj, 3, name));
    obj_free(obj);
    obj_free(dir);
}

} // namespace
