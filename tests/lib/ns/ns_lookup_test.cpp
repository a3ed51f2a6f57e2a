// The name cache and the namespace look-ups: hits, misses and negative
// entries with what each asks of the view database and the server; names
// that appear over a negative entry; "..", VOB roots, residual paths and
// full path names; revalidation through the name that led to an object.

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "lib/ns/ns_test_support.h"

namespace {

using namespace ns_test;

class NsLookup : public NsTreeTest {
protected:
    unsigned server_lookups() { return server.calls(Server::LOOKUP); }
    // The dbid a handle names.
    static int32_t dbid_of(const view_fhandle& fh) { return static_cast<int32_t>(fh.dbid); }
};

TEST_F(NsLookup, ANameIsAskedForOnceThenHitAndAMissIsRememberedAsNotFound) {
    view_fhandle r = root();
    EXPECT_EQ(db_dbid(11), dbid_of(r));  // the root element's selected directory
    EXPECT_EQ(static_cast<uint32_t>(db_dbid(10)), r.elem_dbid);

    unsigned before = server_lookups();
    Found a = lookup(r, "a.c");
    ASSERT_EQ(0, a.status);
    EXPECT_EQ(db_dbid(21), dbid_of(a.fh));
    EXPECT_EQ(static_cast<uint32_t>(db_dbid(20)), a.fh.elem_dbid);
    EXPECT_EQ(FILE_VER, a.vstat.mtype);
    EXPECT_EQ(NAME_VOB, a.state);
    unsigned asked = server_lookups() - before;
    EXPECT_GT(asked, 0u);

    auto hits = stats()[ST_NAME_HITS];
    Found again = lookup(r, "a.c");
    EXPECT_EQ(0, again.status);
    EXPECT_EQ(db_dbid(21), dbid_of(again.fh));
    EXPECT_EQ(before + asked, server_lookups());
    EXPECT_EQ(hits + 1, stats()[ST_NAME_HITS]);

    // The kernel's look-up reports the state without the view's own bits.
    {
        view_fhandle out{}, dir_out{};
        view_vstat vstat{};
        unsigned consumed = 0, state = 0;
        int flag = 0;
        struct timeval lvut{};
        ASSERT_EQ(0, ns_lookup(&r, "a.c", VIEW_HM_WARP_NONE, "", &out, &dir_out, &vstat, &consumed, &flag, &state,
                               &lvut));
        EXPECT_EQ(0u, state);
    }

    Found none = lookup(r, "none");
    EXPECT_EQ(QEL_ST_NO_ENTRY, none.status);
    unsigned after_miss = server_lookups();
    Found none_again = lookup(r, "none");
    EXPECT_EQ(QEL_ST_NO_ENTRY, none_again.status);
    EXPECT_EQ(after_miss, server_lookups());  // answered by the negative entry
    // The negative entry's target is the VOB's name-space root.
    Ns_Cache_Lock lock;
    obj_entry* ns_root = vob()->ns_root;
    ASSERT_NE(nullptr, ns_root);
    ASSERT_NE(nullptr, ns_root->parent_list);
    EXPECT_STREQ("none", ns_root->parent_list->name);
    EXPECT_EQ(NAME_NOT_FOUND | NAME_RESOLVED, ns_root->parent_list->state);
}

TEST_F(NsLookup, ANegativeEntryGivesWayToANameTheViewAdds) {
    view_fhandle d = walk("d");
    EXPECT_EQ(QEL_ST_NO_ENTRY, lookup(d, "new.c").status);
    view_fhandle made{};
    ASSERT_EQ(0, create(d, "new.c", &made));
    unsigned asked = server_lookups();
    auto hits = stats()[ST_NAME_HITS];
    Found f = lookup(d, "new.c");
    ASSERT_EQ(0, f.status);
    EXPECT_EQ(made.dbid, f.fh.dbid);
    EXPECT_EQ(NAME_VIEW_RECORD | NAME_RESOLVED, f.state);
    EXPECT_EQ(asked, server_lookups());
    EXPECT_EQ(hits + 1, stats()[ST_NAME_HITS]);
    // And goes again with the name.
    ASSERT_EQ(0, remove(d, "new.c"));
    EXPECT_EQ(QEL_ST_NO_ENTRY, lookup(d, "new.c").status);
    EXPECT_EQ(asked, server_lookups());
}

TEST_F(NsLookup, OfflineTheViewsOwnNamesAreFoundInADirectoryTheServerHasNotListed) {
    // The directory's listing never came (a daemon restarted before it did).
    view_fhandle d = walk("d");
    view_fhandle file{}, dir{};
    ASSERT_EQ(0, create(d, "new.c", &file));
    ASSERT_EQ(0, mkdir(d, "own", &dir));
    {
        Ns_Cache_Lock lock;
        cache_flush();
    }
    OstrelAgent_Server::g_online = 0;
    const unsigned asked = server_lookups();
    Found found = lookup(d, "new.c");
    ASSERT_EQ(0, found.status);
    EXPECT_EQ(file.dbid, found.fh.dbid);
    EXPECT_EQ(dir.dbid, lookup(d, "own").fh.dbid);
    // What only the server can say stays unknown.
    constexpr int DISCONNECTED = 20033;
    EXPECT_EQ(DISCONNECTED, lookup(d, "g.c").status);
    EXPECT_EQ(DISCONNECTED, lookup(d, "none").status);
    EXPECT_EQ(asked, server_lookups());
}

TEST_F(NsLookup, AViewFileOverAVobNameHidesItUntilItIsRemoved) {
    view_fhandle d = walk("d");
    ASSERT_EQ(0, lookup(d, "g.c").status);
    // A VOB name is not the view's to replace.
    EXPECT_EQ(QEL_ST_EXISTS, create(d, "g.c"));
    // The view's record of the name decides once it exists.
    view_entry_over(d, "g.c", QEL_FTYPE_REG, 900);
    Found eclipsing = lookup(d, "g.c");
    ASSERT_EQ(0, eclipsing.status);
    EXPECT_LT(dbid_of(eclipsing.fh), 0);
    EXPECT_EQ(NAME_VIEW_RECORD | NAME_VOB | NAME_RESOLVED, eclipsing.state);
    std::vector<std::string> names = listing(d);
    EXPECT_EQ(1, std::count(names.begin(), names.end(), "g.c"));

    bool view_private = false;
    {
        view_fhandle out{}, dir_out{};
        view_vstat vstat{};
        unsigned consumed = 0, state = 0;
        int flag = 0, co = 0;
        struct timeval lvut{};
        ASSERT_EQ(0, ns_lookup_flags(&d, "g.c", VIEW_HM_WARP_NONE, "", &out, &dir_out, &vstat, &consumed, &flag,
                                     &state, &lvut, &co, &view_private));
    }
    EXPECT_TRUE(view_private);

    ASSERT_EQ(0, remove(d, "g.c"));
    Found back = lookup(d, "g.c");
    ASSERT_EQ(0, back.status);
    EXPECT_EQ(db_dbid(41), dbid_of(back.fh));
    names = listing(d);
    EXPECT_EQ(1, std::count(names.begin(), names.end(), "g.c"));
}

TEST_F(NsLookup, DotDotRootsAndBadArguments) {
    view_fhandle r = root();
    view_fhandle e = walk("d/e");
    Found up = lookup(e, "..");
    ASSERT_EQ(0, up.status);
    EXPECT_EQ(db_dbid(31), dbid_of(up.fh));
    EXPECT_EQ(db_dbid(11), dbid_of(lookup(up.fh, "..").fh));
    Found top = lookup(r, "..");
    ASSERT_EQ(0, top.status);
    EXPECT_EQ(r.dbid, top.fh.dbid);  // ".." of the VOB root is the root
    Found dot = lookup(e, ".");
    ASSERT_EQ(0, dot.status);
    EXPECT_EQ(e.dbid, dot.fh.dbid);
    // "." of a file is no directory.
    EXPECT_EQ(QEL_ST_NOT_DIRECTORY, lookup(walk("a.c"), ".").status);

    view_fhandle fh{};
    view_vstat vstat{};
    unsigned state = 0;
    int flag = 0;
    struct timeval lvut{};
    EXPECT_EQ(QEL_ST_INVALID, ns_root(&QEL_OID_NULL, &vob_uuid, "x", VIEW_HM_WARP_NONE, &fh, &vstat, &state, &flag,
                                      &lvut, nullptr, nullptr));
    view_fhandle bad{};  // a handle the cache never made: the warp option is refused first
    view_fhandle dir_out{};
    unsigned consumed = 0;
    EXPECT_EQ(QEL_ST_INVALID, ns_lookup(&bad, "a.c", static_cast<view_hm_warp_opt>(1), "", &fh, &dir_out, &vstat,
                                        &consumed, &flag, &state, &lvut));
    // The root by its element: an extended-name handle.
    ASSERT_EQ(0, ns_root(&QEL_OID_NULL, &vob_uuid, "", static_cast<view_hm_warp_opt>(1), &fh, &vstat, &state, &flag,
                         &lvut, nullptr, nullptr));
    EXPECT_EQ(db_dbid(10), dbid_of(fh));
    EXPECT_EQ(VIEW_FH_EXT_NAME, fh.flags & VIEW_FH_EXT_NAME);

    Ns_Cache_Lock lock;
    int status = 0, ext = 0;
    obj_entry* dir = locate_validate_fhandle(&r, &ext, &status);
    ASSERT_NE(nullptr, dir);
    struct Case {
        const char* name;
        unsigned state_in, state_out;
    } cases[] = {{"", 0x20, 0}, {".", 0x20, 0}, {"..", 0x100020, 0x100020}};
    for (const Case& c : cases) {
        unsigned s = c.state_in;
        int f = 7;
        EXPECT_EQ(nullptr, lookup_name(dir, c.name, &s, &f, &status)) << c.name;
        EXPECT_EQ(QEL_ST_INVALID, status) << c.name;
        EXPECT_EQ(c.state_out, s) << c.name;
        EXPECT_EQ(0, f) << c.name;
    }
    EXPECT_EQ(nullptr, lookup_hm_name(dir, "a.c", &status));
    EXPECT_EQ(QEL_ST_INTERNAL, status);
    obj_free(dir);
}

TEST_F(NsLookup, AResidualPathIsWalkedAsFarAsItResolves) {
    view_fhandle r = root();
    view_fhandle d = walk("d");
    view_fhandle e = walk("d/e");
    struct Case {
        const char* name;
        const char* residual;
        bool want_dotdot;
        unsigned object;       // what comes back (script numbers)
        unsigned holder;       // the directory that holds it
        unsigned consumed;
        bool dotdot;
    } cases[] = {
        {"d", "e/f", false, 71, 61, 3, false},
        {"d", "e/zz/f", false, 61, 31, 2, false},   // the second of three is missing
        {"d", "e//f//", false, 71, 61, 6, false},
        {"d", "g.c/x", false, 41, 31, 4, false},    // a file ends the walk
        {"d", "../a.c", true, 31, 11, 3, true},     // the caller goes on above
        {"d", "../a.c", false, 21, 11, 6, false},
        {"d", "e/../g.c", true, 61, 31, 5, true},
        {"d", "e/../g.c", false, 41, 31, 8, false},
        {"a.c", "x", false, 21, 11, 0, false},
    };
    for (const Case& c : cases) {
        view_fhandle out{}, dir_out{};
        view_vstat vstat{};
        unsigned consumed = 99, state = 0;
        int flag = 0, co = 0;
        bool dotdot = false;
        struct timeval lvut{};
        int status = ns_lookup_flags(&r, c.name, VIEW_HM_WARP_NONE, c.residual, &out, &dir_out, &vstat, &consumed,
                                     &flag, &state, &lvut, &co, nullptr, nullptr, nullptr,
                                     c.want_dotdot ? &dotdot : nullptr);
        std::string what = std::string(c.name) + " + " + c.residual;
        ASSERT_EQ(0, status) << what;
        EXPECT_EQ(db_dbid(c.object), static_cast<int32_t>(out.dbid)) << what;
        EXPECT_EQ(db_dbid(c.holder), static_cast<int32_t>(dir_out.dbid)) << what;
        EXPECT_EQ(c.consumed, consumed) << what;
        EXPECT_EQ(c.dotdot, dotdot) << what;
    }
    // A component of 256 characters or more ends the walk.
    std::string long_name(256, 'x');
    view_fhandle out{}, dir_out{};
    view_vstat vstat{};
    unsigned consumed = 99, state = 0;
    int flag = 0;
    struct timeval lvut{};
    ASSERT_EQ(0, ns_lookup(&d, "e", VIEW_HM_WARP_NONE, long_name.c_str(), &out, &dir_out, &vstat, &consumed, &flag,
                           &state, &lvut));
    EXPECT_EQ(e.dbid, out.dbid);
    EXPECT_EQ(0u, consumed);
}

TEST_F(NsLookup, PathNamesComeFromTheNamesThatLeadToObjects) {
    struct Case {
        const char* path;
        const char* expected;
    } cases[] = {{"", ""}, {"a.c", "/a.c"}, {"d", "/d"}, {"d/e/f", "/d/e/f"}, {"ln", "/ln"}};
    for (const Case& c : cases) {
        view_fhandle fh = c.path[0] != '\0' ? walk(c.path) : root();
        char path[64], ext[64];
        ASSERT_EQ(0, ns_gpath(&fh, 0, sizeof path, path, sizeof ext, ext)) << c.path;
        EXPECT_STREQ(c.expected, path) << c.path;
        EXPECT_STREQ(c.expected, ext) << c.path;
    }
    // Names of view-private objects, and buffers too small.
    view_fhandle d = walk("d");
    view_fhandle sub{}, file{};
    ASSERT_EQ(0, mkdir(d, "sub", &sub));
    ASSERT_EQ(0, create(sub, "p", &file));
    char path[64], ext[64];
    ASSERT_EQ(0, ns_gpath(&file, 0, sizeof path, path, sizeof ext, ext));
    EXPECT_STREQ("/d/sub/p", path);
    EXPECT_STREQ("/d/sub/p", ext);
    EXPECT_EQ(QEL_ST_TOO_LONG, ns_gpath(&file, 0, 5, path, sizeof ext, ext));
    EXPECT_EQ(QEL_ST_TOO_LONG, ns_gpath(&file, 0, sizeof path, path, 5, ext));
    EXPECT_EQ(QEL_ST_INVALID, ns_gpath(&file, 0, 0, path, sizeof ext, ext));
    EXPECT_EQ(QEL_ST_INTERNAL, ns_gpath(&file, 1, sizeof path, path, sizeof ext, ext));
}

// A name the view database lacks needs the server: under a lock taken by
// hand it is not asked for (the look-up fails), as an operation it is.
TEST_F(NsLookup, NoQuestionGoesToTheServerUnderALockTakenByHand) {
    view_fhandle d = walk("d");
    const unsigned before = server_lookups();
    {
        Ns_Cache_Lock lock;
        int status = 0, ext = 0;
        obj_entry* dir = locate_validate_fhandle(&d, &ext, &status);
        ASSERT_NE(nullptr, dir);
        unsigned state = 0;
        int flag = 0;
        EXPECT_EQ(nullptr, lookup_name(dir, "g.c", &state, &flag, &status));
        EXPECT_NE(0, status);
        obj_free(dir);
    }
    EXPECT_EQ(before, server_lookups());
    EXPECT_EQ(0, lookup(d, "g.c").status);
    EXPECT_EQ(before + 1, server_lookups());
}

TEST_F(NsLookup, AParentLookupThatMeetsItselfIsALoop) {
    view_fhandle f = walk("d/e/f");
    // The parent look-up reads e's listing: fetched first by an operation,
    // since under a lock taken by hand the server is never asked.
    char path[64], ext_path[64];
    ASSERT_EQ(0, ns_gpath(&f, 0, sizeof path, path, sizeof ext_path, ext_path));
    Ns_Cache_Lock lock;
    int status = 0, ext = 0;
    obj_entry* obj = locate_validate_fhandle(&f, &ext, &status);
    ASSERT_NE(nullptr, obj);
    obj->flags |= OBJ_F_PARENT_LOOKUP;
    EXPECT_EQ(nullptr, lookup_parent(obj, nullptr, 0, 0, &status));
    EXPECT_EQ(QEL_ST_NOTHING_TO_DO, status);
    obj->flags &= static_cast<uint16_t>(~OBJ_F_PARENT_LOOKUP);
    name_entry* nep = lookup_parent(obj, nullptr, 0, 0, &status);
    ASSERT_NE(nullptr, nep);
    EXPECT_STREQ("f", nep->name);
    lookup_nep_free(nep);
    obj_free(obj);
}

TEST_F(NsLookup, ReadlinkOfVobAndViewLinks) {
    view_fhandle ln = walk("ln");
    char text[16];
    unsigned len = 99;
    ASSERT_EQ(0, ns_readlink(&ln, sizeof text, &len, text));
    EXPECT_STREQ("a.c", text);
    EXPECT_EQ(3u, len);
    ASSERT_EQ(0, ns_readlink(&ln, 1, &len, text));
    EXPECT_STREQ("", text);
    EXPECT_EQ(0u, len);
    text[0] = 'z';
    EXPECT_EQ(QEL_ST_INVALID, ns_readlink(&ln, 0, &len, text));
    EXPECT_EQ('z', text[0]);
    view_fhandle a = walk("a.c");
    EXPECT_EQ(QEL_ST_INTERNAL, ns_readlink(&a, sizeof text, &len, text));

    view_fhandle d = walk("d");
    view_set_attr attr = file_attr(QEL_FTYPE_LNK, 0777);
    view_fhandle made{};
    view_vstat vstat{}, dir_vstat{};
    attr.mtime.tv_sec = attr.mtime.tv_usec = -1;
    ASSERT_EQ(0, ns_symlink(&d, "l2", &attr, "../a.c", &made, &vstat, &dir_vstat, nullptr, nullptr));
    EXPECT_EQ(6u, static_cast<uint64_t>(vstat.fstat.size));
    EXPECT_NE(0u, vstat.fstat.mtime.tv_sec);
    ASSERT_EQ(0, ns_readlink(&made, sizeof text, &len, text));
    EXPECT_STREQ("../a.c", text);
    EXPECT_EQ(QEL_ST_TOO_LONG, ns_readlink(&made, 3, &len, text));
}

TEST_F(NsLookup, GetattrOfAVanishedViewObjectIsStale) {
    view_fhandle d = walk("d");
    view_fhandle made{};
    ASSERT_EQ(0, create(d, "gone", &made));
    view_fhandle out{};
    view_vstat vstat{};
    struct timeval lvut{};
    ASSERT_EQ(0, ns_getattr(&made, &out, &vstat, &lvut));
    EXPECT_EQ(made.dbid, out.dbid);
    // The record goes behind the cache's back.
    ASSERT_EQ(0, db_test::write_tx([&] { return ostrela_db_inode_delete(made.dbid, 0); }));
    {
        Ns_Cache_Lock lock;
        obj_entry* obj = obj_find_dbid(vob(), static_cast<int32_t>(made.dbid));
        ASSERT_NE(nullptr, obj);
        fstat_flush(obj);
    }
    EXPECT_EQ(QEL_ST_STALE, ns_getattr(&made, &out, &vstat, &lvut));
}

TEST_F(NsLookup, RevalidationTakesWhatTheNameSelectsNow) {
    view_fhandle e = walk("d/e");
    const uint32_t first = static_cast<uint32_t>(db_dbid(61));
    EXPECT_NE(0u, first);
    EXPECT_EQ(first, e.dbid);
    view_fhandle out{};
    view_vstat vstat{};
    ASSERT_EQ(0, ns_revalidate(&e, &out, &vstat));
    EXPECT_EQ(first, out.dbid);
    // The element's selection moves to a new directory version, and the name
    // is invalidated (the view database's record of it too).
    dir(60, 62, {{"f", 70}});
    qel_oid_s dir_oid = oid_of(31);
    ASSERT_EQ(0, locate_invalidate(VIEW_INVALIDATE_NAME, &vob_uuid, &dir_oid, "e", true));
    ASSERT_EQ(0, ns_revalidate(&e, &out, &vstat));
    EXPECT_EQ(static_cast<uint32_t>(db_dbid(62)), out.dbid);
    EXPECT_EQ(static_cast<uint32_t>(db_dbid(60)), out.elem_dbid);
    // Through an extended-name handle nothing is looked up again.
    e.flags |= VIEW_FH_EXT_NAME;
    ASSERT_EQ(0, ns_revalidate(&e, &out, &vstat));
    EXPECT_EQ(first, out.dbid);
}

TEST_F(NsLookup, FindByOidAndNamesOfAChangedDirectoryAreFlushed) {
    view_fhandle d = walk("d");
    view_fhandle out{};
    view_vstat vstat{};
    qel_oid_s oid = oid_of(31);
    ASSERT_EQ(0, ns_find_oid(&d, &oid, &out, &vstat));
    EXPECT_EQ(static_cast<uint32_t>(db_dbid(31)), out.dbid);
    ASSERT_EQ(0, lookup(d, "g.c").status);
    Ns_Cache_Lock lock;
    auto before = stats()[ST_NAME_COUNT];
    lookup_event_flush_dir(vob(), db_dbid(31), 0);
    EXPECT_LT(stats()[ST_NAME_COUNT], before);
}

// The entries of a directory's name list and of a target's parent list,
// newest first, checking that each entry's back link points at the link that
// holds it.
std::vector<std::string> listed(name_entry* head, name_entry* name_entry::*next, name_entry** name_entry::*prev,
                                name_entry** head_link) {
    std::vector<std::string> names;
    name_entry** link = head_link;
    for (name_entry* nep = head; nep != nullptr; nep = nep->*next) {
        EXPECT_EQ(link, nep->*prev) << nep->name;
        link = &(nep->*next);
        names.push_back(nep->name);
    }
    return names;
}

std::vector<std::string> with_prefix(const std::vector<std::string>& names, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& n : names)
        if (n.compare(0, prefix.size(), prefix) == 0) out.push_back(n);
    return out;
}

TEST_F(NsLookup, ManyNamesLeaveTheirListsInAnyOrderAndTheRestStayInOrder) {
    // Names made in a large directory, half of them negative (listed on the
    // VOB's name-space root), then dropped oldest first, newest first, or
    // from the middle; whatever stays keeps its order and its links. Large
    // enough that a list walked for every removal would show in the run.
    constexpr int kNames = 20000;
    ASSERT_EQ(0, ns_cache_set_size(64u << 20, false));  // no reclaim meanwhile
    view_fhandle r = root();
    view_fhandle a = walk("a.c");
    struct Case {
        const char* order;
        std::function<int(int)> nth;  // the i-th name removed
    } cases[] = {
        {"oldest first", [](int i) { return i; }},
        {"newest first", [](int i) { return kNames - 1 - i; }},
        {"from the middle outwards", [](int i) { return i % 2 == 0 ? kNames / 2 + i / 2 : kNames / 2 - 1 - i / 2; }},
    };
    for (const Case& c : cases) {
        Ns_Cache_Lock lock;
        int status = 0, ext = 0;
        obj_entry* dir = locate_validate_fhandle(&r, &ext, &status);
        obj_entry* target = locate_validate_fhandle(&a, &ext, &status);
        ASSERT_NE(nullptr, dir);
        ASSERT_NE(nullptr, target);
        obj_entry* ns = vob()->ns_root;
        ASSERT_NE(nullptr, ns);
        auto name_of = [](int i) { return "n" + std::to_string(i); };
        auto dir_names = [&] {
            return with_prefix(listed(dir->name_list, &name_entry::dir_next, &name_entry::dir_prev, &dir->name_list),
                               "n");
        };
        auto parents = [&](obj_entry* obj) {
            return with_prefix(
                listed(obj->parent_list, &name_entry::ver_next, &name_entry::ver_prev, &obj->parent_list), "n");
        };
        for (int i = 0; i < kNames; ++i) {
            obj_entry* to = i % 2 == 0 ? target : nullptr;
            if (to != nullptr) obj_inc_ref(to);
            name_entry* nep = lookup_add_nep(dir, name_of(i).c_str(), to, NAME_VOB | NAME_RESOLVED, 0, 0);
            ASSERT_NE(nullptr, nep);
            lookup_nep_free(nep);
        }
        std::vector<bool> present(kNames, true);
        auto expect_lists = [&](const std::string& when) {
            std::vector<std::string> all, even, odd;
            for (int i = kNames - 1; i >= 0; --i) {
                if (!present[static_cast<size_t>(i)]) continue;
                all.push_back(name_of(i));
                (i % 2 == 0 ? even : odd).push_back(name_of(i));
            }
            EXPECT_EQ(all, dir_names()) << c.order << ", " << when;
            EXPECT_EQ(even, parents(target)) << c.order << ", " << when;
            EXPECT_EQ(odd, parents(ns)) << c.order << ", " << when;
        };
        expect_lists("made");
        for (int i = 0; i < kNames; ++i) {
            int n = c.nth(i);
            lookup_invalidate(dir, name_of(n).c_str());
            present[static_cast<size_t>(n)] = false;
            if (i == 3 || i == kNames / 2) expect_lists("after " + std::to_string(i + 1) + " removed");
        }
        expect_lists("all removed");
        obj_free(target);
        obj_free(dir);
    }
    // At the smallest budget the clock takes names as they come; the lists
    // hold exactly the names still cached.
    ASSERT_EQ(0, ns_cache_set_size(NS_CACHE_MIN_SIZE, false));
    Ns_Cache_Lock lock;
    int status = 0, ext = 0;
    obj_entry* dir = locate_validate_fhandle(&r, &ext, &status);
    ASSERT_NE(nullptr, dir);
    for (int i = 0; i < kNames; ++i) {
        name_entry* nep = lookup_add_nep(dir, ("m" + std::to_string(i)).c_str(), nullptr, NAME_RESOLVED, 0, 0);
        ASSERT_NE(nullptr, nep);
        lookup_nep_free(nep);
    }
    EXPECT_GT(stats()[ST_NAME_EJECTS], 0u);
    std::vector<std::string> kept =
        with_prefix(listed(dir->name_list, &name_entry::dir_next, &name_entry::dir_prev, &dir->name_list), "m");
    EXPECT_LT(kept.size(), static_cast<size_t>(kNames));
    EXPECT_FALSE(kept.empty());
    EXPECT_EQ(kept, with_prefix(listed(vob()->ns_root->parent_list, &name_entry::ver_next, &name_entry::ver_prev,
                                       &vob()->ns_root->parent_list),
                                "m"));
    // Newest first: the numbers fall along the list.
    for (size_t i = 1; i < kept.size(); ++i)
        EXPECT_GT(std::stoi(kept[i - 1].substr(1)), std::stoi(kept[i].substr(1))) << kept[i];
    obj_free(dir);
}

} // namespace
