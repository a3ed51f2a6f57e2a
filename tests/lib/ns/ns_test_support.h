#pragma once
// The namespace cache's tests: a real view database in a private view
// storage with one or two VOBs registered, the real content fetch above a
// scripted server's VOB trees, the request pool run by hand, and small
// helpers to read the cache statistics and make records.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/fetch/ostrelagent_ns_fetch.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ns_fstat.h"
#include "lib/ns/ns_locate.h"
#include "lib/ns/ns_lookup.h"
#include "lib/ns/ns_readdir.h"
#include "lib/ns/ns_rpc.h"
#include "lib/ns/ns_vob.h"
#include "lib/ns/ostrel_db_ns.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ns/ostrelagent_view_db_root_dir.h"
#include "lib/ostreladb/db_test_support.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/queued_requests.h"
#include "lib/scripted_server.h"
#include "lib/view/ostrelagent_view.h"
#include "lib/view/ostrelagent_view_handler.h"
#include "platform/korva/korva_control.h"

namespace ns_test {

using db_test::oid_of;
using db_test::uuid_of;
using Server = scripted_server::Scripted_Server;
using Scripted = scripted_server::Object;

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
    ST_NAME_COUNT = 0,
    ST_NAME_REQUESTS = 5,
    ST_NAME_HITS = 6,
    ST_NAME_EJECTS = 33,
    ST_DIR_COUNT = 9,
    ST_DIR_REQUESTS = 14,
    ST_DIR_HITS = 15,
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

// A view database with VOB `vob_uuid` registered as "host:/vobs/a", an
// empty script, the agent online, content fetch installed as the view
// handler installs it, and the caches sized at view start.
class NsTest : public db_test::ViewDbTest {
protected:
    void SetUp() override {
        db_test::ViewDbTest::SetUp();
        OstrelAgent_Ns_Fetch::install();
        ASSERT_NE(nullptr, pool());
        OstrelAgent_Server::g_online = 1;
        open_new();
        // As the view's start does: loads go to the default scope.
        ASSERT_EQ(0, ostrel_db_create_def_scope());
        vob_uuid = uuid_of(1);
        ASSERT_EQ(0, db_test::write_tx([&] { return ostrela_db_vob_create(&vob_uuid, "host:/vobs/a", &vob_dbid); }));
        // Every test starts as a new daemon would: no cache size set yet, no
        // counts or clock position left by the tests before it in this
        // process.
        view_cache_size = 0;
        ns_cache_start_afresh();
        ASSERT_EQ(0, cache_init());
    }
    void TearDown() override {
        {
            Ns_Cache_Lock lock;
            while (vob_tab != nullptr) vob_dispose(vob_tab);
            cache_flush();
        }
        // Background work a test left queued goes, with its scoreboard
        // entries.
        pool()->cancel_all();
        OstrelAgent_Server::g_online = 1;
        db_test::ViewDbTest::TearDown();
    }

    static queued_requests::Queue_Runner* pool() { return queued_requests::Queue_Runner::get(); }

    // The cached record of the test's VOB.
    view_vob* vob() {
        int status = -1;
        view_vob* v = vob_find(&vob_uuid, &status);
        EXPECT_EQ(0, status);
        return v;
    }

    // Scripts an object of the VOB tree of `uuid` (the server's side), its
    // oid oid_of(id).
    void script(const qel_uuid_s& uuid, unsigned id, vob_mtype_t mtype, unsigned elem = 0,
                qel_fmode_t mode = 0644) {
        Scripted o;
        o.id = id;
        o.oid = oid_of(id);
        o.mtype = mtype;
        o.elem_id = elem;
        o.fstat = file_status(mtype == DIR_ELEM || mtype == DIR_VER ? QEL_FTYPE_DIR
                              : mtype == SYMLINK                    ? QEL_FTYPE_LNK
                                                                    : QEL_FTYPE_REG,
                              mode);
        if (mtype == SYMLINK) o.link_text = "a.c";
        script(uuid, o);
    }
    void script(unsigned id, vob_mtype_t mtype, unsigned elem = 0, qel_fmode_t mode = 0644) {
        script(vob_uuid, id, mtype, elem, mode);
    }
    void script(const qel_uuid_s& uuid, const Scripted& o) {
        server.object(uuid, o);
        scripted_[{key_of(uuid), o.id}] = o;
    }

    // Loads the scripted object `id` of the VOB `uuid` (the test's) into the
    // view database, as a view update stores what the server sends (a
    // version or symbolic link under a directory version of the test's own,
    // a version with its element), and returns the dbid it got there.
    // Objects of other kinds are not loaded; their script number is
    // returned.
    int32_t load(unsigned id) { return load(vob_uuid, id); }
    int32_t load(const qel_uuid_s& uuid, unsigned id) {
        const Scripted& o = scripted_.at({key_of(uuid), id});
        ostrel_vstat rec{};
        rec.vstat.fstat = o.fstat;
        rec.vstat.mtype = o.mtype;
        rec.vstat.obj_oid = o.oid;
        rec.vstat.elem_oid = o.elem_id != 0 ? oid_of(o.elem_id) : o.oid;
        rec.checked_out = o.checked_out;
        std::snprintf(rec.link_text, sizeof rec.link_text, "%s", o.link_text.c_str());
        unsigned dbid = 0, elem_dbid = 0;
        if (o.mtype == DIR_ELEM || o.mtype == FILE_ELEM) {
            struct timeval time{};
            unsigned vob_db = 0;
            EXPECT_EQ(0, ostrel_db_vob_lookup(&uuid, &vob_db));
            EXPECT_EQ(0, ostrel_db_create_element(vob_db, &o.oid, &time, &o.fstat, o.mtype, o.checked_out, &dbid));
        } else if (o.mtype == DIR_VER || o.mtype == FILE_VER || o.mtype == SYMLINK) {
            view_vstat elem{};
            if (o.mtype != SYMLINK) {
                const Scripted& e = scripted_.at({key_of(uuid), o.elem_id});
                elem.fstat = e.fstat;
                elem.mtype = e.mtype;
                elem.obj_oid = elem.elem_oid = e.oid;
            }
            std::string name = "o" + std::to_string(id);
            EXPECT_EQ(0, OstrelAgent_View_db::add_db_entry(uuid, o.mtype, name.c_str(), holder(uuid), QEL_OID_NULL, 0,
                                                          3, false, rec, elem, dbid, elem_dbid, nullptr));
        } else {
            return static_cast<int32_t>(id);
        }
        return static_cast<int32_t>(dbid);
    }
    // The dbid the view database gave the scripted object `id` of the VOB
    // (0 when it holds none).
    int32_t db_dbid(unsigned id) { return db_dbid(vob_uuid, id); }
    static int32_t db_dbid(const qel_uuid_s& uuid, unsigned id) {
        unsigned dbid = 0;
        OstrelAgent_View_db::obj_oid_to_dbid(oid_of(id), uuid, dbid);
        return static_cast<int32_t>(dbid);
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

    // A hijacked name "lost" in the cover of an element the view no longer
    // has loaded (oid_of(5555)), as a database left by an older view holds:
    // its path cannot be found.
    void lost_hijack() {
        uint32_t cover = make_inode(oid_of(5555), DIR_ELEM, QEL_FTYPE_DIR);
        const qel_oid_s first = oid_of(5556), second = oid_of(5557);
        ASSERT_EQ(0, db_test::write_tx([&] {
            int st = ostrela_db_link(cover, "lost", 0, 0x201c00, nullptr, nullptr, 0, nullptr, nullptr);
            return st != 0 ? st : ostrela_db_hijack(cover, "lost", &first, &second);
        }));
    }

    obj_entry* locate(int32_t dbid, int* status) {
        return locate_dbid(vob(), dbid, 0, status);
    }

    Server server;
    qel_uuid_s vob_uuid{};
    uint32_t vob_dbid = 0;

private:
    // The directory version that holds what load() loads: the VOB's root,
    // made on first use.
    unsigned holder(const qel_uuid_s& uuid) {
        unsigned& made = holders_[key_of(uuid)];
        if (made != 0) return made;
        ostrel_vstat root{}, elem{};
        root.vstat.mtype = DIR_VER;
        root.vstat.fstat = file_status(QEL_FTYPE_DIR, 0755);
        root.vstat.obj_oid = oid_of(HOLDER_ID + 1);
        root.vstat.elem_oid = elem.vstat.obj_oid = elem.vstat.elem_oid = oid_of(HOLDER_ID);
        elem.vstat.mtype = DIR_ELEM;
        elem.vstat.fstat = root.vstat.fstat;
        unsigned elem_dbid = 0;
        OstrelAgent_View_db_root_dir dir(uuid);
        EXPECT_EQ(0, dir.create(QEL_OID_NULL, 0, 0, root, elem, made, elem_dbid));
        return made;
    }
    static constexpr unsigned HOLDER_ID = 900000;
    static std::string key_of(const qel_uuid_s& uuid) {
        return std::string(reinterpret_cast<const char*>(uuid.bytes), sizeof uuid.bytes);
    }

    // By VOB (as text) and script number.
    std::map<std::pair<std::string, unsigned>, Scripted> scripted_;
    std::map<std::string, unsigned> holders_;
};

// A VOB tree of the test's VOB as the server knows it (script numbers; the
// view database gives each object its own dbid once fetched, dbid_of), its
// root element 10:
//
//   /        10 (element) -> 11 (directory version)
//   /a.c     20 -> 21
//   /ln      50 (symbolic link to "a.c")
//   /d       30 -> 31
//   /d/g.c   40 -> 41
//   /d/e     60 -> 61
//   /d/e/f   70 -> 71
//
// and helpers that drive the namespace operations on it.
class NsTreeTest : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        dir(10, 11, {{"a.c", 20}, {"ln", 50}, {"d", 30}});
        file(20, 21);
        dir(30, 31, {{"g.c", 40}, {"e", 60}});
        file(40, 41);
        dir(60, 61, {{"f", 70}});
        file(70, 71);
        script(50, SYMLINK, 0, 0777);
        server.root(vob_uuid, 10);
    }

public:
    // Scripts an element and its selected version (a directory version
    // listing `entries`, or a file version), in the test's VOB or in `uuid`'s.
    using Entries = std::vector<std::pair<std::string, unsigned>>;
    void dir(unsigned elem, unsigned version, Entries entries) { dir(vob_uuid, elem, version, std::move(entries)); }
    void dir(const qel_uuid_s& uuid, unsigned elem, unsigned version, Entries entries) {
        element(uuid, elem, DIR_ELEM, version, 0755);
        Scripted v;
        v.id = version;
        v.oid = oid_of(version);
        v.mtype = DIR_VER;
        v.elem_id = elem;
        v.fstat = file_status(QEL_FTYPE_DIR, 0755);
        v.entries = std::move(entries);
        script(uuid, v);
    }
    void file(unsigned elem, unsigned version, bool checked_out = false) {
        file(vob_uuid, elem, version, checked_out);
    }
    void file(const qel_uuid_s& uuid, unsigned elem, unsigned version, bool checked_out = false) {
        element(uuid, elem, FILE_ELEM, version, 0644, checked_out);
        script(uuid, version, FILE_VER, elem, 0644);
    }
    void element(const qel_uuid_s& uuid, unsigned id, vob_mtype_t mtype, unsigned selected, qel_fmode_t mode,
                 bool checked_out = false) {
        Scripted e;
        e.id = id;
        e.oid = oid_of(id);
        e.mtype = mtype;
        e.fstat = file_status(mtype == DIR_ELEM ? QEL_FTYPE_DIR : QEL_FTYPE_REG, mode);
        e.selected = selected;
        e.checked_out = checked_out;
        script(uuid, e);
    }

    // The root directory of the test's VOB, or of `uuid`.
    view_fhandle root() { return root(vob_uuid); }
    view_fhandle root(const qel_uuid_s& uuid) {
        view_fhandle fh{};
        view_vstat vstat{};
        unsigned state = 0;
        int flag = 0;
        struct timeval lvut{};
        EXPECT_EQ(0, ns_root(&QEL_OID_NULL, &uuid, "", VIEW_HM_WARP_NONE, &fh, &vstat, &state, &flag, &lvut,
                             nullptr, nullptr));
        return fh;
    }
    // Looks `name` up in the directory: the status, and the handle, status
    // and (whole) name state of what it found.
    struct Found {
        int status = -1;
        view_fhandle fh{};
        view_vstat vstat{};
        unsigned state = 0;
    };
    Found lookup(view_fhandle dir_fh, const char* name) {
        Found f;
        view_fhandle dir_out{};
        unsigned consumed = 0;
        int flag = 0;
        struct timeval lvut{};
        f.status = ns_lookup_flags(&dir_fh, name, VIEW_HM_WARP_NONE, "", &f.fh, &dir_out, &f.vstat, &consumed,
                                   &flag, &f.state, &lvut);
        return f;
    }
    // The handle of a path from the VOB root ("d/e"), which must resolve.
    view_fhandle walk(const std::string& path) {
        view_fhandle fh = root();
        size_t at = 0;
        while (at < path.size()) {
            size_t slash = path.find('/', at);
            std::string part = path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
            Found f = lookup(fh, part.c_str());
            EXPECT_EQ(0, f.status) << path << " at " << part;
            fh = f.fh;
            if (slash == std::string::npos) break;
            at = slash + 1;
        }
        return fh;
    }
    // The names a full directory read lists, in order, read in pages of
    // `page` bytes ("." and ".." included).
    std::vector<std::string> listing(view_fhandle dir_fh, unsigned page = 4096) {
        std::vector<std::string> names;
        std::vector<char> buf(page);
        unsigned cookie = 0;
        for (int end = 0; !end;) {
            unsigned next = 0, bytes = 0;
            int status = ns_readdir(&dir_fh, cookie, page, &next, &bytes, &end,
                                    reinterpret_cast<view_dirent*>(buf.data()));
            EXPECT_EQ(0, status);
            if (status != 0) break;
            for (unsigned at = 0; at < bytes;) {
                view_dirent head{};
                names.push_back(view_dirent_read(buf.data() + at, &head));
                at += head.reclen;
            }
            cookie = next;
        }
        return names;
    }
    static view_set_attr file_attr(uint32_t type = QEL_FTYPE_REG, qel_fmode_t mode = 0644) {
        view_set_attr a{};
        a.mask = 0x2;
        a.type = type;
        a.mode = mode;
        return a;
    }
    // Creates a view-private file, directory or symbolic link.
    int create(view_fhandle dir_fh, const char* name, view_fhandle* fh = nullptr) {
        view_set_attr a = file_attr();
        view_fhandle out{};
        view_vstat vstat{}, dir_vstat{};
        char path[1024];
        unsigned len = 0;
        int status = ns_create(&dir_fh, name, &a, sizeof path, &out, &vstat, path, &len, &dir_vstat, nullptr, nullptr);
        if (fh != nullptr) *fh = out;
        return status;
    }
    int mkdir(view_fhandle dir_fh, const char* name, view_fhandle* fh = nullptr) {
        view_set_attr a = file_attr(QEL_FTYPE_DIR, 0755);
        view_fhandle out{};
        view_vstat vstat{}, dir_vstat{};
        int status = ns_mkdir(&dir_fh, name, &a, &out, &vstat, &dir_vstat, nullptr, nullptr);
        if (fh != nullptr) *fh = out;
        return status;
    }
    // A view entry of `type` made in the view database under `name` over
    // whatever the VOB holds there, as a view-private object eclipsing a VOB
    // name would be.
    void view_entry_over(view_fhandle dir_fh, const char* name, uint32_t type, unsigned oid) {
        Ns_Cache_Lock lock;
        int status = 0, ext = 0;
        obj_entry* dir = locate_validate_fhandle(&dir_fh, &ext, &status);
        ASSERT_NE(nullptr, dir);
        qel_oid_s new_oid = oid_of(oid);
        view_set_attr a = file_attr(type, type == QEL_FTYPE_DIR ? 0755 : 0644);
        a.mask |= VIEW_ATTR_TYPE;
        acl_check_attr(nullptr, &a);
        obj_entry* made = ostrel_db_create(nullptr, dir, name, &new_oid, &a, 0, 0, nullptr, &status);
        EXPECT_NE(nullptr, made) << status;
        obj_free(made);
        lookup_invalidate(dir, name);
        obj_free(dir);
    }
    int remove(view_fhandle dir_fh, const char* name) {
        view_vstat dir_vstat{};
        return ns_remove(&dir_fh, name, &dir_vstat, nullptr, nullptr);
    }
};

// Records the VOB `uuid` as mounted at `tag` in the process's registry.
inline void mount_vob(const std::string& tag, const qel_uuid_s& uuid) {
    VOB_mount_info info;
    info.vob_tag = tag;
    std::memcpy(info.replica_oid.bytes, uuid.bytes, sizeof uuid.bytes);
    info.family_oid = oid_of(0x7777);
    info.mounted = 1;
    info.storage = "/vobstore" + tag;
    ASSERT_EQ(0, OstrelAgent_Config::get_instance()->set_mount_state(info));
}

// Forgets every mounted VOB: the registry lives as long as the process.
inline void forget_mounted_vobs() {
    std::vector<VOB_mount_info> mounted;
    {
        OstrelAgent_Mutex_Guard guard(OstrelAgent_Config::g_config_lock);
        for (const auto& entry : OstrelAgent_Config::g_mounted_vobs) mounted.push_back(entry.second);
    }
    for (VOB_mount_info info : mounted) {
        info.mounted = 0;
        OstrelAgent_Config::get_instance()->set_mount_state(info);
    }
}

// The tree of NsTreeTest in a view that the process serves: the view object
// (its server tag "tag") registered with a simulated kernel of the test's
// own, which journals what it is told, and "/vobs/a" mounted for the VOB.
class NsViewTest : public NsTreeTest {
protected:
    static constexpr const char* VIEW_TAG = "tag";

    void SetUp() override {
        NsTreeTest::SetUp();
        korva_root = home.path() + "/korva";
        setenv("KORVA_ROOT", korva_root.c_str(), 1);
        korva::ViewEntry entry;
        entry.tag = VIEW_TAG;
        entry.uuid = "0a1b2c3d-4e5f-4617-8899-aabbccddeeff";
        entry.storage_user = entry.storage_kernel = entry.remote_path = storage;
        entry.host = "host";
        korva::Outcome registered = kernel().registerView(entry);
        ASSERT_EQ(0, registered.call_error);
        ASSERT_EQ(0, registered.status);
        // The handler owns the view it is given.
        handler_.reset(OstrelAgent_View_Handler::get_instance(storage));
        ASSERT_NE(nullptr, handler_);
        OstrelAgent_View_Handler::set_view(OstrelAgent_View::get_view_from_list(
            storage, home.path() + "/cache", entry.uuid, VIEW_TAG, "transparent", "automatic", 0));
        mount("/vobs/a", vob_uuid);
    }
    void TearDown() override {
        forget_mounted_vobs();
        handler_.reset();
        unsetenv("KORVA_ROOT");
        NsTreeTest::TearDown();
    }

    // Records the VOB `uuid` as mounted at `tag`.
    void mount(const std::string& tag, const qel_uuid_s& uuid) { mount_vob(tag, uuid); }

    korva::Control kernel() const { return korva::Control(korva::Root(korva_root)); }
    // The kernel's invalidations so far (their journal lines).
    std::vector<std::vector<std::string>> invalidations() const {
        std::vector<std::vector<std::string>> found;
        for (const auto& line : kernel().journal().read())
            if (!line.empty() && line[0].compare(0, 6, "inval_") == 0) found.push_back(line);
        return found;
    }

    std::string korva_root;

private:
    std::unique_ptr<OstrelAgent_View_Handler> handler_;
};

} // namespace ns_test
