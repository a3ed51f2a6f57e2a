// Namespace changes: each change leaves the view database and the caches
// telling the same story (what the namespace shows before and after every
// cache is emptied is the same), also when the database fails at any write
// or synchronisation of the change; and the checks that refuse a change
// before anything is written.

#include <cerrno>
#include <cstring>
#include <functional>
#include <ostream>
#include <tuple>

#include "lib/ns/ns_test_support.h"
#include "runtime/kesto_test_support.h"

namespace {

using namespace ns_test;

class NsChange : public NsTreeTest {
protected:
    // What the namespace shows of a name: the look-up's status, the object's
    // dbid, the name's state and the object's status.
    struct Seen {
        int status;
        uint32_t dbid;
        unsigned state;
        qel_fstat_db_s fstat;
        bool operator==(const Seen& o) const {
            return status == o.status && dbid == o.dbid && state == o.state &&
                   std::memcmp(&fstat, &o.fstat, sizeof fstat) == 0;
        }
    };
    friend std::ostream& operator<<(std::ostream& os, const Seen& s) {
        return os << "{status " << s.status << ", dbid " << static_cast<int32_t>(s.dbid) << ", state 0x" << std::hex
                  << s.state << std::dec << ", type " << s.fstat.type << ", nlink " << s.fstat.nlink << ", size "
                  << static_cast<uint64_t>(s.fstat.size) << ", mode 0" << std::oct << s.fstat.mode << std::dec
                  << ", mtime " << s.fstat.mtime.tv_sec << "." << s.fstat.mtime.tv_usec << "}";
    }
    Seen seen_status(view_fhandle fh) {
        Seen s{};
        view_fhandle out{};
        view_vstat vstat{};
        struct timeval lvut{};
        s.status = ns_getattr(&fh, &out, &vstat, &lvut);
        s.dbid = fh.dbid;
        s.fstat = vstat.fstat;
        return s;
    }
    // The directories' statuses and listings, and every listed or named
    // entry's look-up.
    std::map<std::string, Seen> observe(const std::vector<std::string>& names) {
        std::map<std::string, Seen> out;
        for (const char* path : {"d", "d/e"}) {
            view_fhandle dir_fh = walk(path);
            out[std::string(path) + "/."] = seen_status(dir_fh);
            std::vector<std::string> listed = listing(dir_fh);
            std::set<std::string> all(names.begin(), names.end());
            for (const std::string& n : listed) {
                out[std::string(path) + "/#" + n] = Seen{};
                if (n != "." && n != "..") all.insert(n);
            }
            for (const std::string& n : all) {
                Found f = lookup(dir_fh, n.c_str());
                Seen s = f.status == 0 ? seen_status(f.fh) : Seen{};
                s.status = f.status;
                s.dbid = f.status == 0 ? f.fh.dbid : 0;
                s.state = f.state;
                out[std::string(path) + "/" + n] = s;
            }
        }
        return out;
    }
    // What the namespace shows now equals what it shows from empty caches.
    void expect_agree(const std::vector<std::string>& names, const std::string& when) {
        // Looking and listing load the names they meet into the view
        // database, which changes their directories' link counts; the
        // invalidations that those loads queue have run, as the pool runs
        // them, before what the caches hold is compared.
        observe(names);
        pool()->run_foreground();
        std::map<std::string, Seen> cached = observe(names);
        {
            Ns_Cache_Lock lock;
            cache_flush();
        }
        std::map<std::string, Seen> fresh = observe(names);
        for (const auto& c : cached) {
            auto f = fresh.find(c.first);
            if (f == fresh.end()) {
                ADD_FAILURE() << when << ": " << c.first << " listed only by the caches";
                continue;
            }
            EXPECT_EQ(f->second, c.second) << when << ": " << c.first << " (fresh, cached)";
        }
        for (const auto& f : fresh)
            EXPECT_TRUE(cached.count(f.first) != 0) << when << ": " << f.first << " listed only by the database";
    }

    view_fhandle handle(const std::string& path) { return walk(path); }
};

// A change to make, the names it touches, and the state it starts from.
struct Change {
    const char* name;
    std::function<void(NsChange*)> prepare;
    std::function<int(NsChange*)> run;
    std::vector<std::string> names;
    // Whether a failed change leaves everything as it was; a change of oid
    // that sets the mode first is two writes, and a retry finishes it.
    bool all_or_nothing = true;
};

void PrintTo(const Change& c, std::ostream* os) { *os << c.name; }

using Io = kesto_test::FaultyIo;

class NsChangeFailing : public NsChange, public ::testing::WithParamInterface<std::tuple<Change, Io::Op>> {
protected:
    // Commits force their files only with NORVANE_ZFS_OPTIMIZATION, which the
    // database reads when it opens: the synchronisations that fail are those.
    void SetUp() override {
        if (std::get<1>(GetParam()) == Io::FSYNC) setenv("NORVANE_ZFS_OPTIMIZATION", "", 1);
        NsChange::SetUp();
        unsetenv("NORVANE_ZFS_OPTIMIZATION");
    }
};

// Each write (or each synchronisation, when commits force their files) of
// the change fails in turn until the change goes through: a failed change
// leaves everything as it was, and after each attempt the database and the
// caches agree. The failures hit the first phase of each commit (the pages
// saved in the overflow file), before the point from which the engine
// completes a commit or stops the process.
TEST_P(NsChangeFailing, AgreeAfterEachFailureAndTheChange) {
    const Change& c = std::get<0>(GetParam());
    Io::Op op = std::get<1>(GetParam());
    c.prepare(this);
    expect_agree(c.names, "prepared");
    std::map<std::string, Seen> before = observe(c.names);
    int failures = 0;
    for (int nth = 1;; ++nth) {
        ASSERT_LT(nth, 200) << "the change never went through";
        int status;
        {
            Io io;
            io.only_files("kesto.log");
            io.fail(op, nth, EIO);
            status = c.run(this);
            if (io.calls(op) < nth) {
                ASSERT_EQ(0, status) << "nothing failed";
                break;
            }
        }
        ++failures;
        std::string when = std::string(c.name) + " failing at call " + std::to_string(nth);
        EXPECT_NE(0, status) << when << " reported success";
        expect_agree(c.names, when);
        if (c.all_or_nothing) {
            EXPECT_EQ(before, observe(c.names)) << when << " changed something";
        }
    }
    EXPECT_GT(failures, 0);
    expect_agree(c.names, std::string(c.name) + " made");
    EXPECT_NE(before, observe(c.names)) << "the change changed nothing";
}

view_set_attr attr_of(uint32_t type, qel_fmode_t mode) {
    view_set_attr a{};
    a.mask = 0x2;
    a.type = type;
    a.mode = mode;
    return a;
}

int rename_in(NsChange* t, const char* from_dir, const char* from, const char* to_dir, const char* to) {
    view_fhandle f = t->walk(from_dir), d = t->walk(to_dir);
    view_vstat vstat{};
    return ns_rename(&f, from, &d, to, &vstat, nullptr, nullptr);
}

void with_files(NsChange* t) {
    view_fhandle d = t->walk("d");
    ASSERT_EQ(0, t->create(d, "x"));
    ASSERT_EQ(0, t->create(d, "z"));
    ASSERT_EQ(0, t->mkdir(d, "dx"));
    view_fhandle e = t->walk("d/e");
    ASSERT_EQ(0, t->create(e, "q"));
    EXPECT_EQ(QEL_ST_NO_ENTRY, t->lookup(d, "y").status);  // a negative entry to replace
}

const Change CHANGES[] = {
    {"create", with_files,
     [](NsChange* t) { return t->create(t->walk("d"), "y"); }, {"x", "y"}},
    {"mkdir", with_files,
     [](NsChange* t) { return t->mkdir(t->walk("d"), "y"); }, {"y"}},
    {"symlink", with_files,
     [](NsChange* t) {
         view_fhandle d = t->walk("d"), out{};
         view_set_attr a = attr_of(QEL_FTYPE_LNK, 0777);
         view_vstat vstat{}, dir_vstat{};
         return ns_symlink(&d, "y", &a, "x", &out, &vstat, &dir_vstat, nullptr, nullptr);
     },
     {"y"}},
    {"remove", with_files, [](NsChange* t) { return t->remove(t->walk("d"), "x"); }, {"x"}},
    {"rmdir", with_files,
     [](NsChange* t) {
         view_fhandle d = t->walk("d");
         view_vstat vstat{};
         return ns_rmdir(&d, "dx", &vstat, nullptr, nullptr);
     },
     {"dx"}},
    {"link", with_files,
     [](NsChange* t) {
         view_fhandle d = t->walk("d"), x = t->walk("d/x");
         view_vstat vstat{};
         return ns_link(&x, &d, "y", &vstat, nullptr, nullptr);
     },
     {"x", "y"}},
    {"rename", with_files, [](NsChange* t) { return rename_in(t, "d", "x", "d", "y"); }, {"x", "y"}},
    {"rename_across", with_files, [](NsChange* t) { return rename_in(t, "d", "x", "d/e", "y"); }, {"x", "y"}},
    {"rename_replacing", with_files, [](NsChange* t) { return rename_in(t, "d/e", "q", "d", "z"); },
     {"q", "z"}},
    {"rename_directory", with_files, [](NsChange* t) { return rename_in(t, "d", "dx", "d/e", "dy"); },
     {"dx", "dy"}},
    {"setattr", with_files,
     [](NsChange* t) {
         view_fhandle x = t->walk("d/x");
         view_set_attr a = attr_of(0, 0600);
         view_vstat vstat{};
         return ns_setattr(&x, &a, &vstat);
     },
     {"x"}},
    {"change_oid", with_files,
     [](NsChange* t) {
         view_fhandle x = t->walk("d/x");
         view_vstat vstat{};
         return ns_change_oid(&x, VIEW_CHANGE_OID_SET_MODE_TOP, &vstat);
     },
     {"x"}, false},
    {"change_mtype", with_files,
     [](NsChange* t) {
         view_fhandle x = t->walk("d/x");
         view_vstat vstat{};
         return ns_change_mtype(&x, 21, &vstat);
     },
     {"x"}},
};

INSTANTIATE_TEST_SUITE_P(Changes, NsChangeFailing,
                         ::testing::Combine(::testing::ValuesIn(CHANGES), ::testing::Values(Io::PWRITE, Io::FSYNC)),
                         [](const ::testing::TestParamInfo<std::tuple<Change, Io::Op>>& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == Io::PWRITE ? "_write" : "_sync");
                         });

TEST_F(NsChange, RefusedChangesWriteNothing) {
    with_files(this);
    view_fhandle d = walk("d"), e = walk("d/e"), x = walk("d/x"), dx = walk("d/dx"), g = walk("d/g.c");
    view_fhandle r = root();
    view_vstat vstat{};
    view_fhandle out{};
    struct Case {
        const char* what;
        std::function<int()> run;
        int status;
    } cases[] = {
        {"create over a name", [&] {
             // The name's existence is found before the attributes' group.
             view_set_attr a = attr_of(QEL_FTYPE_REG, 0644);
             a.mask |= VIEW_ATTR_GROUP;
             a.group.bytes[0] = 1;
             a.group.bytes[1] = 5;
             a.group.bytes[2] = 99;
             char path[64];
             unsigned len = 0;
             view_vstat dir_vstat{};
             return ns_create(&d, "x", &a, sizeof path, &out, &vstat, path, &len, &dir_vstat, nullptr, nullptr);
         }, QEL_ST_EXISTS},
        {"create of a directory", [&] {
             view_set_attr a = attr_of(QEL_FTYPE_DIR, 0755);
             view_vstat dir_vstat{};
             unsigned len = 0;
             return ns_create(&d, "n", &a, 0, &out, &vstat, nullptr, &len, &dir_vstat, nullptr, nullptr);
         }, QEL_ST_NOT_PERMITTED},
        {"create of a link", [&] {
             view_set_attr a = attr_of(QEL_FTYPE_LNK, 0777);
             view_vstat dir_vstat{};
             unsigned len = 0;
             return ns_create(&d, "n", &a, 0, &out, &vstat, nullptr, &len, &dir_vstat, nullptr, nullptr);
         }, QEL_ST_NOT_PERMITTED},
        {"remove of a directory", [&] { return remove(d, "dx"); }, QEL_ST_IS_DIRECTORY},
        {"rmdir of a file", [&] { return ns_rmdir(&d, "x", &vstat, nullptr, nullptr); }, QEL_ST_NOT_DIRECTORY},
        {"rmdir of a VOB directory", [&] { return ns_rmdir(&d, "e", &vstat, nullptr, nullptr); }, QEL_ST_READ_ONLY},
        {"rmdir of a full directory", [&] {
             EXPECT_EQ(0, create(dx, "in"));
             return ns_rmdir(&d, "dx", &vstat, nullptr, nullptr);
         }, QEL_ST_NOT_EMPTY},
        {"remove of a VOB name", [&] { return remove(d, "g.c"); }, QEL_ST_READ_ONLY},
        {"remove of a missing name", [&] { return remove(d, "nope"); }, QEL_ST_NO_ENTRY},
        {"rename of a VOB name", [&] { return rename_in(this, "d", "g.c", "d", "h.c"); }, QEL_ST_READ_ONLY},
        {"rename onto a VOB name", [&] { return rename_in(this, "d", "x", "d", "g.c"); }, QEL_ST_READ_ONLY},
        {"rename onto a directory", [&] { return rename_in(this, "d", "x", "d", "dx"); }, QEL_ST_IS_DIRECTORY},
        {"rename under itself", [&] {
             view_fhandle sub{};
             EXPECT_EQ(0, mkdir(dx, "sub", &sub));
             view_vstat v{};
             return ns_rename(&d, "dx", &sub, "moved", &v, nullptr, nullptr);
         }, QEL_ST_INVALID},
        {"rename onto itself", [&] {
             view_fhandle y{};
             view_vstat v{};
             EXPECT_EQ(0, ns_link(&x, &d, "x2", &v, nullptr, nullptr));
             (void)y;
             return rename_in(this, "d", "x", "d", "x2");
         }, 0},
        {"link of a directory", [&] { return ns_link(&dx, &d, "dl", &vstat, nullptr, nullptr); },
         QEL_ST_ACCESS_DENIED},
        {"link of a VOB directory version", [&] { return ns_link(&e, &d, "el", &vstat, nullptr, nullptr); },
         QEL_ST_CROSS_VOB},
        {"link onto a name", [&] { return ns_link(&x, &d, "z", &vstat, nullptr, nullptr); }, QEL_ST_EXISTS},
        {"setattr of a VOB file", [&] {
             view_set_attr a = attr_of(0, 0600);
             return ns_setattr(&g, &a, &vstat);
         }, QEL_ST_READ_ONLY},
        {"change oid with a bad option", [&] {
             return ns_change_oid(&x, static_cast<view_change_oid_option>(3), &vstat);
         }, QEL_ST_INVALID},
        {"change of oid of a VOB file", [&] { return ns_change_oid(&g, VIEW_CHANGE_OID_KEEP_MODE, nullptr); },
         QEL_ST_READ_ONLY},
        {"change to a kind not allowed", [&] { return ns_change_mtype(&x, 22, nullptr); }, QEL_ST_INVALID},
        {"change of kind of a VOB file", [&] { return ns_change_mtype(&g, 21, nullptr); }, QEL_ST_READ_ONLY},
        {"create at the VOB root", [&] { return create(r, "top"); }, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(c.status, c.run()) << c.what;
    expect_agree({"x", "x2", "z", "dx", "n", "h.c", "dl", "el", "moved"}, "after the refusals");

    // Every change through an extended-name handle is refused.
    view_fhandle hm = d;
    hm.flags |= VIEW_FH_EXT_NAME;
    view_fhandle hx = x;
    hx.flags |= VIEW_FH_EXT_NAME;
    view_set_attr a = attr_of(QEL_FTYPE_REG, 0644);
    char path[64];
    unsigned len = 0;
    EXPECT_EQ(QEL_ST_READ_ONLY, ns_create(&hm, "n", &a, sizeof path, &out, &vstat, path, &len, &vstat, nullptr, nullptr));
    EXPECT_EQ(QEL_ST_READ_ONLY, ns_mkdir(&hm, "n", &a, &out, &vstat, &vstat, nullptr, nullptr));
    EXPECT_EQ(QEL_ST_READ_ONLY, ns_symlink(&hm, "n", &a, "t", &out, &vstat, &vstat, nullptr, nullptr));
    EXPECT_EQ(QEL_ST_READ_ONLY, ns_remove(&hm, "x", &vstat, nullptr, nullptr));
    EXPECT_EQ(QEL_ST_READ_ONLY, ns_rmdir(&hm, "dx", &vstat, nullptr, nullptr));
    EXPECT_EQ(QEL_ST_READ_ONLY, ns_rename(&hm, "x", &d, "y", &vstat, nullptr, nullptr));
    EXPECT_EQ(QEL_ST_READ_ONLY, ns_link(&x, &hm, "y", &vstat, nullptr, nullptr));
    EXPECT_EQ(QEL_ST_CROSS_VOB, ns_link(&hx, &d, "y", &vstat, nullptr, nullptr));
    EXPECT_EQ(QEL_ST_READ_ONLY, ns_setattr(&hx, &a, &vstat));
    EXPECT_EQ(QEL_ST_READ_ONLY, ns_change_oid(&hx, VIEW_CHANGE_OID_KEEP_MODE, nullptr));
    EXPECT_EQ(QEL_ST_READ_ONLY, ns_change_mtype(&hx, 21, nullptr));
}

TEST_F(NsChange, TheUnchangedFlagComparesTheStampWithTheDirectorysTime) {
    view_fhandle d = walk("d");
    ASSERT_EQ(0, create(d, "x"));
    view_fhandle out{};
    view_vstat vstat{}, dir_vstat{};
    struct timeval lvut{};
    ASSERT_EQ(0, ns_getattr(&d, &out, &dir_vstat, &lvut));
    struct timeval stamp = {static_cast<time_t>(dir_vstat.fstat.mtime.tv_sec),
                            static_cast<suseconds_t>(dir_vstat.fstat.mtime.tv_usec)};
    int unchanged = -1;
    view_set_attr a = attr_of(QEL_FTYPE_REG, 0644);
    char path[64];
    unsigned len = 0;
    ASSERT_EQ(0, ns_create(&d, "y", &a, sizeof path, &out, &vstat, path, &len, &dir_vstat, &stamp, &unchanged));
    EXPECT_EQ(1, unchanged);
    EXPECT_EQ(0, std::strncmp(path, ".s/", 3)) << path;
    EXPECT_EQ(std::strlen(path), len);
    // The directory's time moved with the new name.
    ASSERT_EQ(0, ns_create(&d, "w", &a, 0, &out, &vstat, path, &len, &dir_vstat, &stamp, &unchanged));
    EXPECT_EQ(0, unchanged);
    EXPECT_EQ(0u, len);
}

TEST_F(NsChange, ChangingTheOidKeepsTheNameAndSetsTheModesTopBit) {
    view_fhandle d = walk("d");
    view_fhandle x{};
    ASSERT_EQ(0, create(d, "x", &x));
    Found before = lookup(d, "x");
    view_vstat vstat{};
    ASSERT_EQ(0, ns_change_oid(&x, VIEW_CHANGE_OID_SET_MODE_TOP, &vstat));
    EXPECT_NE(0u, vstat.fstat.mode & VIEW_ATTR_MODE_TOP);
    EXPECT_FALSE(qel_oid_eq(&vstat.obj_oid, &before.vstat.obj_oid));
    Found after = lookup(d, "x");
    ASSERT_EQ(0, after.status);
    EXPECT_EQ(before.fh.dbid, after.fh.dbid);
    EXPECT_TRUE(qel_oid_eq(&vstat.obj_oid, &after.vstat.obj_oid));
    ASSERT_EQ(0, ns_change_oid(&x, VIEW_CHANGE_OID_CLEAR_MODE_TOP, &vstat));
    EXPECT_EQ(0u, vstat.fstat.mode & VIEW_ATTR_MODE_TOP);
    ASSERT_EQ(0, ns_change_mtype(&x, 23, &vstat));
    EXPECT_EQ(23u, vstat.mtype);
    // Without write access the object is dropped from the cache and 1001 comes back.
    view_fhandle dx{};
    ASSERT_EQ(0, mkdir(d, "dx", &dx));
    view_set_attr a = attr_of(0, 0555);
    ASSERT_EQ(0, ns_setattr(&dx, &a, &vstat));
    EXPECT_EQ(QEL_ST_NO_MEMORY, ns_change_oid(&dx, VIEW_CHANGE_OID_KEEP_MODE, nullptr));
    EXPECT_EQ(QEL_ST_NO_MEMORY, ns_change_mtype(&dx, 21, nullptr));
    expect_agree({"x", "dx"}, "after the changes");
}

TEST_F(NsChange, AVobDirectoryAdoptsTheNamesOfAViewDirectoryOverItsName) {
    view_fhandle d = walk("d");
    // A view directory "e" over the VOB's "e", holding a file.
    view_entry_over(d, "e", QEL_FTYPE_DIR, 900);
    view_fhandle private_e = walk("d/e");
    EXPECT_LT(static_cast<int32_t>(private_e.dbid), 0);
    ASSERT_EQ(0, create(private_e, "inner"));
    qel_oid_s element = oid_of(60);
    // Only a name that both the view and the VOB hold is adopted.
    ASSERT_EQ(0, create(d, "mine"));
    const uint32_t d_version = static_cast<uint32_t>(db_dbid(31));
    EXPECT_EQ(QEL_ST_INTERNAL, ns_adopt_cover_dir(&vob_uuid, d_version, "mine", &element));
    ASSERT_EQ(0, ns_adopt_cover_dir(&vob_uuid, d_version, "e", &element));
    // The VOB's "e" shows again, with the adopted name.
    view_fhandle e = walk("d/e");
    EXPECT_EQ(static_cast<uint32_t>(db_dbid(61)), e.dbid);
    std::vector<std::string> names = listing(e);
    EXPECT_EQ((std::vector<std::string>{".", "..", "f", "inner"}), names);
    expect_agree({"e", "mine"}, "after the adoption");
}

} // namespace
