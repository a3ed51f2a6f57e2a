// The view database's name operations on cached objects, on real engine
// files: what create, link and unlink store and count, replacing names,
// emptiness, detached names, unique renames, stranded containers, container
// paths, kinds, attributes, new oids and adoption.

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <set>

#include "lib/ns/ns_test_support.h"
#include "runtime/kesto_test_support.h"

namespace {

using namespace ns_test;

class DbNs : public NsTreeTest {
protected:
    void SetUp() override {
        NsTreeTest::SetUp();
        d_fh = walk("d");
    }
    // The cached object a handle names; released by the caller.
    obj_entry* obj(view_fhandle fh) {
        int ext = 0, status = 0;
        obj_entry* o = locate_validate_fhandle(&fh, &ext, &status);
        EXPECT_NE(nullptr, o) << status;
        return o;
    }
    // A new view-private object in the directory of `dir_fh`.
    obj_entry* make(obj_entry* dir, const char* name, uint32_t type = QEL_FTYPE_REG, unsigned state = 0,
                    int* status = nullptr) {
        qel_oid_s oid;
        ostrel_gen_oid(&oid);
        view_set_attr a = file_attr(type, type == QEL_FTYPE_DIR ? 0755 : 0644);
        a.mask |= VIEW_ATTR_TYPE;
        acl_check_attr(nullptr, &a);
        int st = 0;
        obj_entry* o = ostrel_db_create(nullptr, dir, name, &oid, &a, state, 0, nullptr, &st);
        if (status != nullptr) *status = st;
        return o;
    }
    // The record of `name` in the directory's view object.
    struct Entry {
        int status;
        unsigned dbid, state;
    };
    Entry entry(obj_entry* dir, const char* name) {
        Entry e{};
        e.status = ostrel_db_lookup(dir, name, &e.dbid, &e.state);
        return e;
    }
    qel_fstat_db_s record(uint32_t dbid) {
        qel_fstat_db_s f{};
        EXPECT_EQ(0, ostrel_db_dbid2oid(0, dbid, nullptr, &f, nullptr, nullptr));
        return f;
    }
    std::string container_of(obj_entry* o) {
        char path[1024];
        EXPECT_EQ(0, ostrel_db_cltxt_name(o, sizeof path, path));
        return path;
    }
    bool exists(const std::string& relative) {
        struct stat st;
        return ::stat((storage + "/" + relative).c_str(), &st) == 0;
    }
    void touch(const std::string& relative) { std::ofstream(storage + "/" + relative) << "x"; }

    view_fhandle d_fh{};
};

TEST_F(DbNs, ADirectoryIsMadeWithItsLinksAndSizeAndItsParentGrows) {
    Ns_Cache_Lock lock;
    obj_entry* d = obj(d_fh);
    obj_entry* sub = make(d, "sub", QEL_FTYPE_DIR);
    ASSERT_NE(nullptr, sub);
    qel_fstat_db_s f = record(static_cast<uint32_t>(sub->dbid));
    EXPECT_EQ(QEL_FTYPE_DIR, f.type);
    EXPECT_EQ(2u, f.nlink);  // its own, and its name's
    EXPECT_EQ(89u, static_cast<uint64_t>(f.size));
    EXPECT_EQ(VIEW_MTYPE_PRIVATE, sub->mtype);
    obj_entry* cover = obj_2view_obj(d);
    ASSERT_NE(nullptr, cover);
    qel_fstat_db_s parent = record(static_cast<uint32_t>(cover->dbid));
    EXPECT_EQ(1u, parent.nlink);  // the new directory's ".."
    EXPECT_EQ(std::strlen("sub") + OSTREL_DB_DIRENT_OVERHEAD, static_cast<uint64_t>(parent.size));
    // The cache holds what the database holds.
    ASSERT_NE(nullptr, cover->fep);
    EXPECT_EQ(parent.size, cover->fep->fstat.size);
    EXPECT_EQ(parent.mtime.tv_usec, cover->fep->fstat.mtime.tv_usec);
    Entry e = entry(d, "sub");
    EXPECT_EQ(0, e.status);
    EXPECT_EQ(static_cast<uint32_t>(sub->dbid), e.dbid);
    EXPECT_EQ(DIR_ENT_STATE_VIEW, e.state);
    // A directory has no container.
    char path[8] = "x";
    EXPECT_EQ(0, ostrel_db_cltxt_name(sub, sizeof path, path));
    EXPECT_STREQ("", path);
    obj_free(sub);
    obj_free(d);
}

TEST_F(DbNs, AReplacingStateRemovesTheNameFirst) {
    Ns_Cache_Lock lock;
    obj_entry* d = obj(d_fh);
    int status = 0;
    struct Case {
        const char* name;
        bool exists;
        unsigned state;
        int status;
    } cases[] = {
        {"a", true, DIR_ENT_STATE_VIEW, 0},
        {"b", false, DIR_ENT_STATE_VIEW, QEL_ST_NOT_FOUND},
        {"c", true, 0, QEL_ST_EXISTS},
        {"e2", true, DIR_ENT_STATE_VIEW | DIR_ENT_STATE_WHITEOUT, QEL_ST_EXISTS},
    };
    for (const Case& c : cases) {
        qel_oid_s old{};
        uint32_t old_dbid = 0;
        if (c.exists) {
            obj_entry* first = make(d, c.name);
            ASSERT_NE(nullptr, first) << c.name;
            old = first->oid;
            old_dbid = static_cast<uint32_t>(first->dbid);
            obj_free(first);
        }
        obj_entry* second = make(d, c.name, QEL_FTYPE_REG, c.state, &status);
        EXPECT_EQ(c.status, status) << c.name;
        if (second == nullptr) {
            // Nothing changed.
            if (c.exists) {
                EXPECT_EQ(old_dbid, entry(d, c.name).dbid) << c.name;
            }
            continue;
        }
        EXPECT_EQ(static_cast<uint32_t>(second->dbid), entry(d, c.name).dbid) << c.name;
        // The replaced file went with its only name.
        unsigned found = 0;
        EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_oid2dbid(vob_dbid, &old, &found, nullptr, nullptr, nullptr)) << c.name;
        obj_free(second);
    }
    obj_free(d);
}

// A create or link that replaces a name, or an unlink, failing at each write
// of its commit in turn: until it goes through, the name keeps its object
// and the object its container, and no second name of the container (nor
// the container a create makes) is left behind.
TEST_F(DbNs, AChangeThatFailsKeepsTheNameAndTheFileItWouldRemove) {
    using Io = kesto_test::FaultyIo;
    Ns_Cache_Lock lock;
    obj_entry* d = obj(d_fh);
    obj_entry* target = make(d, "target");
    ASSERT_NE(nullptr, target);
    struct Case {
        const char* what;
        std::function<int()> change;
        bool replaces;
    };
    // The container of the file the create made.
    std::string made_container;
    const Case cases[] = {
        {"create", [&] {
             int status = 0;
             obj_entry* made = make(d, "r", QEL_FTYPE_REG, DIR_ENT_STATE_VIEW, &status);
             if (made != nullptr) {
                 made_container = container_of(made);
                 obj_free(made);
             }
             return status;
         }, true},
        {"link", [&] { return ostrel_db_link(nullptr, d, "r", target, DIR_ENT_STATE_VIEW); }, true},
        {"unlink", [&] { return ostrel_db_unlink(nullptr, d, "r", 0); }, false},
    };
    // The names in the container's directory of the pool.
    auto names_by = [&](const std::string& container) {
        std::string dir = storage + "/" + container.substr(0, container.rfind('/'));
        std::set<std::string> names;
        if (DIR* listing = ::opendir(dir.c_str())) {
            while (const struct dirent* e = ::readdir(listing)) names.insert(e->d_name);
            ::closedir(listing);
        }
        return names;
    };
    for (const Case& c : cases) {
        obj_entry* old = make(d, "r");
        ASSERT_NE(nullptr, old) << c.what;
        const uint32_t old_dbid = static_cast<uint32_t>(old->dbid);
        const qel_oid_s old_oid = old->oid;
        const std::string container = container_of(old);
        obj_free(old);
        touch(container);
        const std::set<std::string> before = names_by(container);
        int failures = 0;
        for (int nth = 1;; ++nth) {
            ASSERT_LT(nth, 100) << c.what << " never went through";
            int status;
            {
                Io io;
                io.only_files("kesto.log");
                io.fail(Io::PWRITE, nth, EIO);
                status = c.change();
                if (io.calls(Io::PWRITE) < nth) {
                    ASSERT_EQ(0, status) << c.what;
                    break;
                }
            }
            ++failures;
            EXPECT_NE(0, status) << c.what << " failing at write " << nth;
            EXPECT_EQ(old_dbid, entry(d, "r").dbid) << c.what << " failing at write " << nth;
            EXPECT_EQ(0, ostrel_db_dbid2oid(0, old_dbid, nullptr, nullptr, nullptr, nullptr)) << c.what;
            EXPECT_TRUE(exists(container)) << c.what;
            EXPECT_EQ(before, names_by(container)) << c.what;
        }
        EXPECT_GT(failures, 0) << c.what;
        // At last the old file went with its only name.
        EXPECT_FALSE(exists(container)) << c.what;
        std::set<std::string> after = before;
        after.erase(container.substr(container.rfind('/') + 1));
        // A new file's container is made with it.
        if (!made_container.empty() && made_container.substr(0, made_container.rfind('/')) ==
                                           container.substr(0, container.rfind('/')))
            after.insert(made_container.substr(made_container.rfind('/') + 1));
        if (!made_container.empty()) {
            EXPECT_TRUE(exists(made_container)) << c.what;
        }
        made_container.clear();
        EXPECT_EQ(after, names_by(container)) << c.what;
        if (!c.replaces) {
            EXPECT_EQ(QEL_ST_NOT_FOUND, entry(d, "r").status);
            continue;
        }
        qel_oid_s now{};
        EXPECT_EQ(0, ostrel_db_dbid2oid(0, entry(d, "r").dbid, &now, nullptr, nullptr, nullptr)) << c.what;
        EXPECT_FALSE(qel_oid_eq(&old_oid, &now)) << c.what;
        ASSERT_EQ(0, ostrel_db_unlink(nullptr, d, "r", 0)) << c.what;
    }
    obj_free(target);
    obj_free(d);
}

// Hijacked names: the status saved with one, read back, and the name
// returned to the view or removed with its object.
TEST_F(DbNs, HijackedNamesKeepTheirStatusUntilReturnedOrRemoved) {
    Ns_Cache_Lock lock;
    obj_entry* d = obj(d_fh);
    view_vstat saved{};
    saved.elem_oid = oid_of(40);
    saved.obj_oid = oid_of(41);
    auto get = [&](const char* name, view_vstat* out) { return ostrel_db_hijack_get(d, name, out); };

    // A name hijacked without an entry of the view is a white-out with the
    // hijack bits.
    ASSERT_EQ(0, ostrel_db_link(nullptr, d, "g.c", nullptr, DIR_ENT_STATE_HIJACKED | DIR_ENT_STATE_KEEP));
    EXPECT_EQ(DIR_ENT_STATE_VIEW | DIR_ENT_STATE_WHITEOUT | DIR_ENT_STATE_KEEP | DIR_ENT_STATE_HIJACKED,
              entry(d, "g.c").state);
    ASSERT_EQ(0, ostrel_db_hijack_set(d, "g.c", &saved));
    view_vstat got{};
    ASSERT_EQ(0, get("g.c", &got));
    EXPECT_TRUE(qel_oid_eq(&saved.elem_oid, &got.elem_oid));
    EXPECT_TRUE(qel_oid_eq(&saved.obj_oid, &got.obj_oid));
    // A hijacked file of the view's own, and a plain one.
    obj_entry* copy = make(d, "h.c", QEL_FTYPE_REG, DIR_ENT_STATE_HIJACKED | DIR_ENT_STATE_KEEP);
    ASSERT_NE(nullptr, copy);
    const uint32_t copy_dbid = static_cast<uint32_t>(copy->dbid);
    obj_free(copy);
    ASSERT_EQ(0, ostrel_db_hijack_set(d, "h.c", &saved));
    obj_entry* plain = make(d, "plain.c");
    ASSERT_NE(nullptr, plain);
    obj_free(plain);

    struct Case {
        const char* what;
        std::function<int()> run;
        int status;
        const char* message;  // null: none
    };
    const Case cases[] = {
        {"set on a plain name", [&] { return ostrel_db_hijack_set(d, "plain.c", &saved); }, QEL_ST_INVALID,
         "View_db_hijack of plain.c"},
        {"get of a plain name", [&] { return get("plain.c", &got); }, QEL_ST_INVALID, nullptr},
        {"get of no name", [&] { return get("none", &got); }, QEL_ST_NOT_FOUND, nullptr},
        {"unhijack of a plain name", [&] { return ostrel_db_unhijack(d, "plain.c"); }, QEL_ST_NOT_FOUND, nullptr},
        {"remove of a plain name", [&] { return ostrel_db_remove_hijack(d, "plain.c"); }, QEL_ST_NOT_FOUND, nullptr},
        {"unhijack", [&] { return ostrel_db_unhijack(d, "g.c"); }, 0, nullptr},
        {"get after unhijack", [&] { return get("g.c", &got); }, QEL_ST_INVALID, nullptr},
        {"remove", [&] { return ostrel_db_remove_hijack(d, "h.c"); }, 0, nullptr},
        {"remove again", [&] { return ostrel_db_remove_hijack(d, "h.c"); }, QEL_ST_NOT_FOUND, nullptr},
    };
    for (const Case& c : cases) {
        messages.clear();
        EXPECT_EQ(c.status, c.run()) << c.what;
        if (c.message != nullptr) {
            EXPECT_TRUE(messages.has(c.message)) << c.what << ": " << messages.text();
        } else {
            EXPECT_FALSE(messages.has("View_db")) << c.what << ": " << messages.text();
        }
    }
    // Returned to the view: a white-out without hijack bits; removed: no
    // name, and the file went with it.
    EXPECT_EQ(DIR_ENT_STATE_VIEW | DIR_ENT_STATE_WHITEOUT, entry(d, "g.c").state);
    EXPECT_EQ(QEL_ST_NOT_FOUND, entry(d, "h.c").status);
    EXPECT_EQ(QEL_ST_STALE, ostrel_db_dbid2oid(0, copy_dbid, nullptr, nullptr, nullptr, nullptr));
    bool any = true;
    ASSERT_EQ(0, ostrel_db_has_hijacks(&any));
    EXPECT_FALSE(any);
    obj_free(d);
}

// A lost object is recovered: its name leaves the directory, whose size
// shrinks, and its container goes to lost+found, where it is kept.
TEST_F(DbNs, ARecoveredObjectLeavesItsDirectoryAndItsContainerGoesToLostAndFound) {
    Ns_Cache_Lock lock;
    obj_entry* d = obj(d_fh);
    obj_entry* f = make(d, "lost.c");
    ASSERT_NE(nullptr, f);
    const std::string container = container_of(f);
    touch(container);
    obj_free(f);
    obj_entry* cover = obj_2view_obj(d);
    const uint32_t cover_dbid = static_cast<uint32_t>(cover->dbid);
    const uint64_t size = record(cover_dbid).size;

    char moved_to[1024] = "x";
    ASSERT_EQ(0, ostrel_db_recover_object(&vob_uuid, &cover->oid, "lost.c", sizeof moved_to, moved_to));
    EXPECT_EQ(QEL_ST_NOT_FOUND, entry(d, "lost.c").status);
    EXPECT_EQ(size - (std::strlen("lost.c") + 43), static_cast<uint64_t>(record(cover_dbid).size));
    EXPECT_FALSE(exists(container));
    ASSERT_NE('\0', moved_to[0]);
    EXPECT_NE(std::string(moved_to).find("lost+found"), std::string::npos) << moved_to;
    struct stat st;
    EXPECT_EQ(0, ::stat(moved_to[0] == '/' ? moved_to : (storage + "/" + moved_to).c_str(), &st)) << moved_to;

    // A name the directory does not hold, or a VOB the view does not know.
    moved_to[0] = 'x';
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_recover_object(&vob_uuid, &cover->oid, "lost.c", sizeof moved_to, moved_to));
    EXPECT_EQ('\0', moved_to[0]);
    qel_uuid_s other{};
    other.bytes[0] = 0x77;
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_recover_object(&other, &cover->oid, "lost.c", sizeof moved_to, moved_to));
}

TEST_F(DbNs, UnlinkCountsLinksKeepsDetachedNamesAndRefusesFullDirectories) {
    Ns_Cache_Lock lock;
    obj_entry* d = obj(d_fh);
    obj_entry* f = make(d, "f");
    ASSERT_NE(nullptr, f);
    uint32_t f_dbid = static_cast<uint32_t>(f->dbid);
    std::string container = container_of(f);
    touch(container);
    ASSERT_EQ(0, ostrel_db_link(nullptr, d, "f2", f, 0));
    qel_fstat_db_s two = record(f_dbid);
    EXPECT_EQ(2u, two.nlink);
    obj_free(f);

    // One of two names goes: the file stays, its change time moves.
    ASSERT_EQ(0, ostrel_db_unlink(nullptr, d, "f2", DIR_ENT_STATE_VIEW));
    qel_fstat_db_s one = record(f_dbid);
    EXPECT_EQ(1u, one.nlink);
    EXPECT_TRUE(one.ctime.tv_sec > two.ctime.tv_sec ||
                (one.ctime.tv_sec == two.ctime.tv_sec && one.ctime.tv_usec > two.ctime.tv_usec));
    EXPECT_EQ(QEL_ST_NOT_FOUND, entry(d, "f2").status);
    EXPECT_TRUE(exists(container));

    // A detached name stays as a white-out; the directory keeps its size.
    obj_entry* cover = obj_2view_obj(d);
    uint64_t size = record(static_cast<uint32_t>(cover->dbid)).size;
    ASSERT_EQ(0, ostrel_db_unlink(nullptr, d, "f", DIR_ENT_STATE_VIEW | DIR_ENT_STATE_KEEP));
    Entry kept = entry(d, "f");
    EXPECT_EQ(0, kept.status);
    EXPECT_EQ(0u, kept.dbid);
    EXPECT_EQ(DIR_ENT_STATE_VIEW | DIR_ENT_STATE_WHITEOUT, kept.state);
    EXPECT_EQ(size, static_cast<uint64_t>(record(static_cast<uint32_t>(cover->dbid)).size));
    // With its last link the file and its container went.
    EXPECT_EQ(QEL_ST_STALE, db_test::read_tx([&] {
                  return ostrela_db_inode_read(f_dbid, nullptr, nullptr, nullptr, nullptr, nullptr);
              }));
    EXPECT_FALSE(exists(container));

    // A view directory that holds a name is not removed.
    obj_entry* sub = make(d, "sub", QEL_FTYPE_DIR);
    obj_entry* in = make(sub, "in");
    obj_free(in);
    EXPECT_EQ(QEL_ST_NOT_EMPTY, ostrel_db_unlink(nullptr, d, "sub", DIR_ENT_STATE_VIEW));
    EXPECT_EQ(static_cast<uint32_t>(sub->dbid), entry(d, "sub").dbid);
    EXPECT_EQ(QEL_ST_NOT_EMPTY, ostrel_db_dir_empty(sub));
    ASSERT_EQ(0, ostrel_db_unlink(nullptr, sub, "in", DIR_ENT_STATE_VIEW));
    EXPECT_EQ(0, ostrel_db_dir_empty(sub));
    obj_free(sub);
    ASSERT_EQ(0, ostrel_db_unlink(nullptr, d, "sub", DIR_ENT_STATE_VIEW));
    EXPECT_EQ(QEL_ST_NOT_FOUND, entry(d, "sub").status);
    obj_free(d);
}

TEST_F(DbNs, AContainerThatCannotGoLeavesItsFileStrandedForADay) {
    Ns_Cache_Lock lock;
    obj_entry* d = obj(d_fh);
    obj_entry* f = make(d, "f");
    ASSERT_NE(nullptr, f);
    uint32_t dbid = static_cast<uint32_t>(f->dbid);
    obj_free(f);
    ASSERT_EQ(0, db_test::write_tx([&] { return ostrela_db_inode_write_text(dbid, "../outside"); }));
    struct timeval now;
    gettimeofday(&now, nullptr);
    ASSERT_EQ(0, ostrel_db_unlink(nullptr, d, "f", DIR_ENT_STATE_VIEW));
    uint32_t vob = 1;
    qel_fstat_db_s st{};
    ASSERT_EQ(0, db_test::read_tx([&] { return ostrela_db_inode_read(dbid, nullptr, nullptr, &st, nullptr, &vob); }));
    EXPECT_EQ(0u, vob);
    EXPECT_GE(st.xtime.tv_sec, static_cast<uint32_t>(now.tv_sec + 86400 - 5));
    obj_free(d);
}

TEST_F(DbNs, ContainerPathsAndLinkTexts) {
    Ns_Cache_Lock lock;
    obj_entry* d = obj(d_fh);
    obj_entry* f = make(d, "f");
    ASSERT_NE(nullptr, f);
    uint32_t dbid = static_cast<uint32_t>(f->dbid);
    char text[1024];
    struct Case {
        const char* stored;
        unsigned size;
        int status;
        const char* path;
    } cases[] = {
        {"00001/abc", 64, 0, ".s/00001/abc"},
        {"00001/abc", 13, 0, ".s/00001/abc"},
        {"00001/abc", 12, QEL_ST_TOO_LONG, nullptr},
        {"../abc", 64, QEL_ST_NOT_PERMITTED, nullptr},
        {"", 1, 0, ""},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, db_test::write_tx([&] { return ostrela_db_inode_write_text(dbid, c.stored); }));
        EXPECT_EQ(c.status, ostrel_db_cltxt_name(f, c.size, text)) << c.stored << "/" << c.size;
        if (c.path != nullptr) {
            EXPECT_STREQ(c.path, text) << c.stored;
        }
    }
    ASSERT_EQ(0, db_test::write_tx([&] { return ostrela_db_inode_write_text(dbid, "target"); }));
    EXPECT_EQ(0, ostrel_db_readlink(f, 7, text));
    EXPECT_STREQ("target", text);
    EXPECT_EQ(QEL_ST_TOO_LONG, ostrel_db_readlink(f, 6, text));
    obj_free(f);
    obj_free(d);
}

TEST_F(DbNs, KindsAttributesAndNewOids) {
    Ns_Cache_Lock lock;
    obj_entry* d = obj(d_fh);
    obj_entry* f = make(d, "f");
    ASSERT_NE(nullptr, f);
    uint32_t dbid = static_cast<uint32_t>(f->dbid);
    qel_fstat_db_s before = record(dbid);
    EXPECT_EQ(0, ostrel_db_set_mtype(f, VIEW_MTYPE_BUILD));
    EXPECT_EQ(VIEW_MTYPE_BUILD, f->mtype);
    vob_mtype_t stored = 0;
    ASSERT_EQ(0, ostrel_db_dbid2oid(0, dbid, nullptr, nullptr, &stored, nullptr));
    EXPECT_EQ(VIEW_MTYPE_BUILD, stored);
    EXPECT_EQ(QEL_ST_INTERNAL, ostrel_db_set_mtype(f, 6));
    EXPECT_EQ(VIEW_MTYPE_BUILD, f->mtype);

    view_set_attr a{};
    a.mask = 0x2 | VIEW_ATTR_SIZE | 0x200;
    a.mode = 0600;
    a.size = 4096;
    a.mtime = {1234, 5};
    ASSERT_EQ(0, ostrel_db_setattr(f, &a));
    qel_fstat_db_s after = record(dbid);
    EXPECT_EQ(0600u, after.mode & 07777);
    EXPECT_EQ(4096u, static_cast<uint64_t>(after.size));
    EXPECT_EQ(1234u, after.mtime.tv_sec);
    EXPECT_EQ(5u, after.mtime.tv_usec);
    EXPECT_TRUE(after.ctime.tv_sec > before.ctime.tv_sec ||
                (after.ctime.tv_sec == before.ctime.tv_sec && after.ctime.tv_usec > before.ctime.tv_usec));
    ASSERT_NE(nullptr, f->fep);
    EXPECT_EQ(0, std::memcmp(&after, &f->fep->fstat, sizeof after));

    // A new oid; a file without container gets one.
    ASSERT_EQ(0, db_test::write_tx([&] { return ostrela_db_inode_write_text(dbid, ""); }));
    qel_oid_s fresh;
    ostrel_gen_oid(&fresh);
    EXPECT_EQ(0, ostrel_db_choid(nullptr, f, &fresh));  // takes the reference
    EXPECT_EQ(nullptr, obj_find_dbid(vob(), static_cast<int32_t>(dbid)));
    qel_oid_s now{};
    ASSERT_EQ(0, ostrel_db_dbid2oid(0, dbid, &now, nullptr, &stored, nullptr));
    EXPECT_TRUE(qel_oid_eq(&fresh, &now));
    EXPECT_EQ(VIEW_MTYPE_PRIVATE, stored);
    int status = 0;
    obj_entry* again = locate(static_cast<int32_t>(dbid), &status);
    ASSERT_NE(nullptr, again);
    std::string path = container_of(again);
    EXPECT_NE(std::string::npos, path.find("cow")) << path;
    obj_free(again);
    obj_free(d);
}

TEST_F(DbNs, RenameUniqueTakesTheFirstFreeName) {
    Ns_Cache_Lock lock;
    obj_entry* d = obj(d_fh);
    for (const char* name : {"f", "f.keep", "f.keep.1"}) {
        obj_entry* o = make(d, name);
        ASSERT_NE(nullptr, o) << name;
        obj_free(o);
    }
    uint32_t f = entry(d, "f").dbid;
    char out[256];
    ASSERT_EQ(0, ostrel_db_rename_unique(d, "f", ".keep", out));
    EXPECT_STREQ("f.keep.2", out);
    EXPECT_EQ(f, entry(d, "f.keep.2").dbid);
    EXPECT_EQ(QEL_ST_NOT_FOUND, entry(d, "f").status);
    ASSERT_EQ(0, ostrel_db_rename_unique(d, "f.keep.2", "x", out));
    EXPECT_STREQ("f.keep.2x", out);
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_rename_unique(d, "none", ".keep", out));
    obj_free(d);
}

TEST_F(DbNs, AVobDirectoryAdoptsAViewDirectorysNames) {
    Ns_Cache_Lock lock;
    obj_entry* d = obj(d_fh);
    obj_entry* sub = make(d, "e", QEL_FTYPE_DIR, 0);  // over the VOB's "e"
    ASSERT_NE(nullptr, sub);
    for (const char* name : {"x", "y"}) {
        obj_entry* o = make(sub, name);
        ASSERT_NE(nullptr, o);
        obj_free(o);
    }
    uint32_t x = entry(sub, "x").dbid;
    obj_free(sub);
    int status = 0;
    obj_entry* e_elem = locate(load(60), &status);
    ASSERT_NE(nullptr, e_elem);
    // Only a VOB directory element adopts.
    EXPECT_EQ(QEL_ST_NO_MEMORY, ostrel_db_adopt(nullptr, d, d, "e", DIR_ENT_STATE_VIEW));
    ASSERT_EQ(0, ostrel_db_adopt(nullptr, d, e_elem, "e", DIR_ENT_STATE_VIEW));
    EXPECT_EQ(QEL_ST_NOT_FOUND, entry(d, "e").status);
    EXPECT_EQ(x, entry(e_elem, "x").dbid);
    EXPECT_EQ(0, entry(e_elem, "y").status);
    obj_free(e_elem);
    obj_free(d);
}

} // namespace
