// Hijacked names and white-outs on the real view database: a loaded file
// hijacked, read back with the ids it replaced, hijacked again and
// unhijacked; hijacked white-outs and plain ones removed; hijacked files set
// aside under ".keep" names (the kernel told) or removed when an update
// reaches them.

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "lib/ns/ns_test_support.h"

namespace {

using namespace ns_test;

constexpr int NOT_A_WHITE_OUT = QEL_ST_EXISTS;

class NsHijack : public NsViewTest {
protected:
    // The name's state as the view database holds it; 0 when it holds no
    // entry of that name.
    unsigned db_state(view_fhandle dir_fh, const char* name) {
        Ns_Cache_Lock lock;
        int ext = 0, status = 0;
        obj_entry* dir = locate_validate_fhandle(&dir_fh, &ext, &status);
        EXPECT_NE(nullptr, dir) << status;
        unsigned dbid = 0, state = 0;
        if (dir != nullptr && ostrel_db_lookup(dir, name, &dbid, &state) != 0) state = 0;
        obj_free(dir);
        return state;
    }
    // A look-up that asks whether the name is hijacked.
    struct Hijacked {
        int status = -1;
        view_fhandle fh{};
        view_vstat vstat{};
        bool hijacked = false;
        bool view_private = false;
    };
    Hijacked lookup_hijacked(view_fhandle dir_fh, const char* name) {
        Hijacked h;
        view_fhandle dir_out{};
        unsigned consumed = 0, state = 0;
        int flag = 0;
        struct timeval lvut {};
        h.status = ns_lookup_flags(&dir_fh, name, VIEW_HM_WARP_NONE, "", &h.fh, &dir_out, &h.vstat, &consumed, &flag,
                                   &state, &lvut, nullptr, &h.view_private, &h.hijacked);
        return h;
    }
    // `name` of `dir_fh` resolves to the loaded version `version`.
    void expect_loaded(view_fhandle dir_fh, const char* name, unsigned version) {
        Found f = lookup(dir_fh, name);
        EXPECT_EQ(0, f.status) << name;
        EXPECT_EQ(db_dbid(version), f.fh.dbid) << name;
        EXPECT_EQ(QEL_ST_NOT_FOUND, ns_lookup_hijack(&vob_uuid, dir_fh.dbid, name)) << name;
    }
    // Hijacks the loaded file `name` and makes its view-private copy, as the
    // hijack of a client does; the copy's handle.
    view_fhandle hijack_file(view_fhandle dir_fh, const char* name) {
        Found loaded = lookup(dir_fh, name);
        EXPECT_EQ(0, loaded.status) << name;
        EXPECT_EQ(0, ns_hijack_by_fh(&dir_fh, name, &loaded.vstat)) << name;
        view_fhandle copy{};
        EXPECT_EQ(0, create(dir_fh, name, &copy)) << name;
        return copy;
    }

    db_test::Messages messages;
};

TEST_F(NsHijack, AHijackedFileIsReadBackWithTheIdsItReplacedUntilUnhijacked) {
    view_fhandle d = walk("d");
    Found loaded = lookup(d, "g.c");
    ASSERT_EQ(0, loaded.status);
    ASSERT_EQ(0, ns_hijack_by_fh(&d, "g.c", &loaded.vstat));
    // The directory had no entry of that name: one without an object, which
    // hides the loaded file until the copy is made.
    EXPECT_EQ(0x201c00u, db_state(d, "g.c") & 0x201c20);
    EXPECT_EQ(QEL_ST_NO_ENTRY, lookup(d, "g.c").status);
    bool hijacked = false;
    EXPECT_EQ(0, ns_lookup_white_out(&d, "g.c", &hijacked));
    EXPECT_TRUE(hijacked);
    EXPECT_EQ(0, ns_lookup_hijack(&vob_uuid, d.dbid, "g.c"));

    view_fhandle copy{};
    ASSERT_EQ(0, create(d, "g.c", &copy));
    Hijacked h = lookup_hijacked(d, "g.c");
    EXPECT_EQ(0, h.status);
    EXPECT_TRUE(h.hijacked);
    EXPECT_EQ(copy.dbid, h.fh.dbid);
    EXPECT_TRUE(qel_oid_eq(&loaded.vstat.obj_oid, &h.vstat.obj_oid));
    EXPECT_TRUE(qel_oid_eq(&loaded.vstat.elem_oid, &h.vstat.elem_oid));
    EXPECT_EQ(NOT_A_WHITE_OUT, ns_lookup_white_out(&d, "g.c", &hijacked));

    // Hijacking it again only rewrites the record.
    const unsigned state = db_state(d, "g.c");
    view_vstat other = loaded.vstat;
    other.obj_oid = oid_of(4242);
    ASSERT_EQ(0, ns_hijack_by_fh(&d, "g.c", &other));
    EXPECT_EQ(state, db_state(d, "g.c"));
    h = lookup_hijacked(d, "g.c");
    EXPECT_TRUE(h.hijacked);
    EXPECT_EQ(copy.dbid, h.fh.dbid);
    EXPECT_TRUE(qel_oid_eq(&other.obj_oid, &h.vstat.obj_oid));

    // Unhijacked, the copy stays as a view-private file over the VOB name.
    ASSERT_EQ(0, ns_unhijack_by_fh(&d, "g.c"));
    h = lookup_hijacked(d, "g.c");
    EXPECT_EQ(0, h.status);
    EXPECT_FALSE(h.hijacked);
    EXPECT_TRUE(h.view_private);
    EXPECT_EQ(copy.dbid, h.fh.dbid);
    EXPECT_EQ(QEL_ST_NOT_FOUND, ns_lookup_hijack(&vob_uuid, d.dbid, "g.c"));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ns_unhijack_by_fh(&d, "g.c"));
}

TEST_F(NsHijack, AHijackedWhiteOutGoesWhicheverWayItIsReturned) {
    view_fhandle top = root();
    const qel_uuid_s* uuid = &vob_uuid;
    struct Case {
        const char* what;
        std::function<int(view_fhandle&, std::string&)> act;
        const char* new_name;
    };
    const Case cases[] = {
        {"unhijack by handle", [](view_fhandle& dir, std::string&) { return ns_unhijack_by_fh(&dir, "a.c"); }, ""},
        {"unhijack by dbid",
         [uuid](view_fhandle& dir, std::string&) { return ns_unhijack_by_dbid(uuid, dir.dbid, "a.c"); }, ""},
        {"set aside",
         [uuid](view_fhandle& dir, std::string& out) {
             char name[256] = "";
             int status = ns_rename_hijack(uuid, dir.dbid, "a.c", name);
             out = name;
             return status;
         },
         "(whiteout removed)"},
        {"removed", [uuid](view_fhandle& dir, std::string&) { return ns_remove_hijack(uuid, dir.dbid, "a.c"); }, ""},
    };
    for (const Case& c : cases) {
        Found loaded = lookup(top, "a.c");
        ASSERT_EQ(0, loaded.status) << c.what;
        ASSERT_EQ(0, ns_hijack_by_fh(&top, "a.c", &loaded.vstat)) << c.what;
        EXPECT_EQ(QEL_ST_NO_ENTRY, lookup(top, "a.c").status) << c.what;
        std::string new_name;
        EXPECT_EQ(0, c.act(top, new_name)) << c.what;
        EXPECT_EQ(c.new_name, new_name) << c.what;
        EXPECT_EQ(0u, db_state(top, "a.c")) << c.what << ": the entry is gone";
        expect_loaded(top, "a.c", 21);
    }
    EXPECT_TRUE(invalidations().empty()) << "nothing was set aside";
}

TEST_F(NsHijack, AWhiteOutThatIsNotHijackedIsRemovedOnlyWhenAskedForAsSuch) {
    view_fhandle top = root();
    {
        Ns_Cache_Lock lock;
        int ext = 0, status = 0;
        obj_entry* dir = locate_validate_fhandle(&top, &ext, &status);
        ASSERT_NE(nullptr, dir);
        EXPECT_EQ(0, ostrel_db_link(nullptr, dir, "a.c", nullptr, 0));
        obj_free(dir);
    }
    bool hijacked = true;
    EXPECT_EQ(0, ns_lookup_white_out(&top, "a.c", &hijacked));
    EXPECT_FALSE(hijacked);
    EXPECT_EQ(QEL_ST_NOT_FOUND, ns_unhijack_by_fh(&top, "a.c"));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ns_unwhite_out_by_fh(&top, "a.c", true));
    EXPECT_EQ(QEL_ST_NO_ENTRY, lookup(top, "a.c").status);
    EXPECT_EQ(0, ns_unwhite_out_by_fh(&top, "a.c", false));
    expect_loaded(top, "a.c", 21);
    for (const char* name : {"a.c", "d", "missing"})
        EXPECT_EQ(NOT_A_WHITE_OUT, ns_lookup_white_out(&top, name, &hijacked)) << name;
    EXPECT_EQ(QEL_ST_NOT_FOUND, ns_unwhite_out_by_fh(&top, "a.c", false)) << "no view entry any more";
}

TEST_F(NsHijack, RefusalsAndNamesThatAreNotHijacked) {
    view_fhandle d = walk("d");
    Found loaded = lookup(d, "g.c");
    ASSERT_EQ(0, loaded.status);
    view_fhandle extended = d;
    extended.flags |= VIEW_FH_EXT_NAME;
    EXPECT_EQ(QEL_ST_READ_ONLY, ns_hijack_by_fh(&extended, "g.c", &loaded.vstat));
    EXPECT_EQ(QEL_ST_READ_ONLY, ns_unhijack_by_fh(&extended, "g.c"));
    EXPECT_EQ(QEL_ST_READ_ONLY, ns_unwhite_out_by_fh(&extended, "g.c", false));
    EXPECT_EQ(0u, db_state(d, "g.c")) << "nothing was marked";

    view_fhandle p{};
    ASSERT_EQ(0, create(d, "p", &p));
    char new_name[256];
    const qel_uuid_s unknown = uuid_of(99);
    struct Case {
        const char* name;
        const qel_uuid_s* uuid;
        int status;
    };
    // A name without entry, a view-private file, a VOB the view does not know.
    const Case cases[] = {{"g.c", &vob_uuid, QEL_ST_NOT_FOUND},
                          {"p", &vob_uuid, QEL_ST_NOT_FOUND},
                          {"g.c", &unknown, QEL_ST_NO_SUCH_VOB}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.status, ns_lookup_hijack(c.uuid, d.dbid, c.name)) << c.name;
        EXPECT_EQ(c.status, ns_remove_hijack(c.uuid, d.dbid, c.name)) << c.name;
        EXPECT_EQ(c.status, ns_rename_hijack(c.uuid, d.dbid, c.name, new_name)) << c.name;
        EXPECT_EQ(c.status, ns_unhijack_by_dbid(c.uuid, d.dbid, c.name)) << c.name;
    }
    EXPECT_EQ(p.dbid, lookup(d, "p").fh.dbid) << "the view-private file is untouched";
    expect_loaded(d, "g.c", 41);
}

TEST_F(NsHijack, AHijackedFileIsSetAsideUnderAKeepNameAndTheKernelForgetsBothNames) {
    view_fhandle top = root();
    view_fhandle first = hijack_file(top, "a.c");
    char new_name[256] = "";
    ASSERT_EQ(0, ns_rename_hijack(&vob_uuid, top.dbid, "a.c", new_name));
    EXPECT_STREQ("a.c.keep", new_name);
    expect_loaded(top, "a.c", 21);
    Hijacked kept = lookup_hijacked(top, "a.c.keep");
    EXPECT_EQ(0, kept.status);
    EXPECT_EQ(first.dbid, kept.fh.dbid);
    EXPECT_FALSE(kept.hijacked);

    const std::string uuid = OstrelAgent_Util::id_text(vob_uuid);
    const std::string dir_oid = OstrelAgent_Util::id_text(oid_of(11));
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"inval_obj", uuid, OstrelAgent_Util::id_text(oid_of(10)), "66"},
                                                      {"inval_name", uuid, dir_oid, "a.c"},
                                                      {"inval_name", uuid, dir_oid, "a.c.keep"}}),
              invalidations());

    // The next one takes the first free name.
    view_fhandle second = hijack_file(top, "a.c");
    ASSERT_EQ(0, ns_rename_hijack(&vob_uuid, top.dbid, "a.c", new_name));
    EXPECT_STREQ("a.c.keep.1", new_name);
    EXPECT_EQ(second.dbid, lookup(top, "a.c.keep.1").fh.dbid);
    EXPECT_EQ(first.dbid, lookup(top, "a.c.keep").fh.dbid);
    expect_loaded(top, "a.c", 21);
}

TEST_F(NsHijack, ARemovedHijackedFileGivesItsNameBackToTheVob) {
    view_fhandle d = walk("d");
    view_fhandle copy = hijack_file(d, "g.c");
    ASSERT_EQ(0, ns_remove_hijack(&vob_uuid, d.dbid, "g.c"));
    expect_loaded(d, "g.c", 41);
    view_fhandle out{};
    view_vstat vstat{};
    struct timeval lvut {};
    EXPECT_NE(0, ns_getattr(&copy, &out, &vstat, &lvut)) << "the copy is gone";
    std::vector<std::string> names = listing(d);
    EXPECT_EQ(1, std::count(names.begin(), names.end(), "g.c"));
    EXPECT_TRUE(invalidations().empty());
}

} // namespace
