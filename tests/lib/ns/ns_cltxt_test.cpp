// Where a file's contents lie: a view-private file's container, without any
// server call; a version's file in the cleartext cache, fetched once from
// the test server when absent; a view copy of a version resolved to that
// version, or refused when the view database no longer holds it.

#include <sys/stat.h>

#include <functional>
#include <memory>

#include "lib/fetch/cleartext_server.h"
#include "lib/ns/ns_test_support.h"
#include "lib/view/ostrelagent_view.h"
#include "lib/view/ostrelagent_view_handler.h"

namespace {

using namespace ns_test;
using cltxt_test::Cleartext_Server;

constexpr const char* MODE = "transparent";

class NsCltxt : public NsTreeTest {
protected:
    void SetUp() override {
        NsTreeTest::SetUp();
        cache = home.path() + "/cache";
        ASSERT_EQ(0, ::mkdir(cache.c_str(), 0700));
        // The handler owns the view it is given.
        handler.reset(OstrelAgent_View_Handler::get_instance(storage));
        ASSERT_NE(nullptr, handler);
        OstrelAgent_View_Handler::set_view(OstrelAgent_View::get_view_from_list(
            storage, cache, "0a1b2c3d-4e5f-4617-8899-aabbccddeeff", "tag", MODE, "automatic", 0));
        // The server has a.c's version; its GET of g.c's fails.
        content.reset(new Cleartext_Server(
            home.path(), Cleartext_Server::rule(path_of(41), R"("fault": {"http": 500}, "reply": {"cleartext": true})")));
        content->add(vob_uuid, oid_of(21), MODE, "int main;\n");
        content->add(vob_uuid, oid_of(41), MODE, "int g;\n");
    }
    void TearDown() override {
        content.reset();
        handler.reset();
        NsTreeTest::TearDown();
    }

    std::string path_of(unsigned version) const { return cltxt_test::suffix(vob_uuid, oid_of(version), MODE); }

    struct Result {
        int status = -1;
        std::string path;
        unsigned length = 0;
        int cache_path = -1, second = -1;
    };
    Result cltxt(view_fhandle fh, unsigned size = 1024) {
        Result r;
        std::vector<char> buf(size + 1, '#');
        r.status = ns_get_cltxt(&fh, size, &r.length, buf.data(), &r.cache_path, &r.second);
        EXPECT_EQ('#', buf[size]) << "written past the buffer";
        if (r.status == 0) r.path = buf.data();
        return r;
    }
    unsigned server_calls() {
        return server.calls(Server::ROOT) + server.calls(Server::LOOKUP) + server.calls(Server::LISTING);
    }
    // A handle of a view object of kind `mtype` (no container) for `oid`.
    view_fhandle view_object(const qel_oid_s& oid, vob_mtype_t mtype) {
        int32_t dbid = static_cast<int32_t>(make_inode(oid, mtype, QEL_FTYPE_REG, nullptr, 0644));
        Ns_Cache_Lock lock;
        int status = 0;
        obj_entry* obj = locate(dbid, &status);
        EXPECT_NE(nullptr, obj) << status;
        view_fhandle fh{};
        if (obj != nullptr) makehandle(obj, 0, &fh);
        obj_free(obj);
        return fh;
    }

    std::string cache;
    std::unique_ptr<OstrelAgent_View_Handler> handler;
    std::unique_ptr<Cleartext_Server> content;
};

TEST_F(NsCltxt, AViewPrivateFileIsItsContainer) {
    view_fhandle d = walk("d");
    view_fhandle p{};
    ASSERT_EQ(0, create(d, "p", &p));
    unsigned asked = server_calls();
    Result r = cltxt(p);
    ASSERT_EQ(0, r.status);
    EXPECT_EQ(0u, r.path.rfind(".s/", 0)) << r.path;
    EXPECT_EQ(r.path.size(), r.length);
    EXPECT_EQ(0, r.cache_path);
    EXPECT_EQ(-1, r.second);
    EXPECT_EQ(asked, server_calls());
    EXPECT_EQ(0u, content->gets());
    // The path must fit, terminator and all.
    EXPECT_EQ(QEL_ST_TOO_LONG, cltxt(p, static_cast<unsigned>(r.path.size())).status);
}

TEST_F(NsCltxt, AVersionIsFetchedOnceIntoTheCleartextCache) {
    view_fhandle a = walk("a.c");
    qel_oid_s version = oid_of(21);
    Result r = cltxt(a);
    ASSERT_EQ(0, r.status);
    EXPECT_EQ(1, r.cache_path);
    EXPECT_EQ(1, r.second);
    EXPECT_EQ(r.path.size(), r.length);
    char oid_text[QEL_OID_STR_SIZE];
    qel_oid_to_str(&version, oid_text);
    EXPECT_EQ(0u, r.path.rfind(".c/", 0)) << r.path;
    EXPECT_NE(std::string::npos, r.path.find(std::string(oid_text) + "-")) << r.path;
    EXPECT_EQ("int main;\n", lib_test::read_file(cache + "/" + r.path));
    struct stat st;
    ASSERT_EQ(0, ::stat((cache + "/" + r.path).c_str(), &st));
    EXPECT_EQ(0400u, st.st_mode & 0777);
    EXPECT_EQ(1u, content->gets(path_of(21)));
    Result again = cltxt(a);
    EXPECT_EQ(r.path, again.path);
    EXPECT_EQ(1u, content->gets());
    // A path that does not fit is refused, never cut.
    EXPECT_EQ(QEL_ST_TOO_LONG, cltxt(a, 10).status);
}

TEST_F(NsCltxt, WhatHasNoCleartext) {
    struct Case {
        const char* what;
        std::function<view_fhandle()> handle;
        std::function<void()> arrange;
        int status;
        std::string message;  // with "%" for the dbid of `fetched`
        unsigned fetched;
    } cases[] = {
        {"a VOB directory", [&] { return walk("d"); }, [] {}, QEL_ST_NO_CLEARTEXT, "Error fetching cleartext for \"%@", 31},
        {"a VOB directory element", [&] {
             view_fhandle fh{};
             view_vstat vstat{};
             unsigned state = 0;
             int flag = 0;
             struct timeval lvut{};
             EXPECT_EQ(0, ns_root(&QEL_OID_NULL, &vob_uuid, "", static_cast<view_hm_warp_opt>(1), &fh, &vstat,
                                  &state, &flag, &lvut, nullptr, nullptr));
             return fh;
         }, [] {}, QEL_ST_NO_CLEARTEXT, "", 0},
        {"a VOB symbolic link", [&] { return walk("ln"); }, [] {}, QEL_ST_NO_CLEARTEXT, "", 0},
        {"a view directory", [&] {
             view_fhandle sub{};
             EXPECT_EQ(0, mkdir(walk("d"), "sub", &sub));
             return sub;
         }, [] {}, QEL_ST_NO_CLEARTEXT, "", 0},
        {"a failed fetch", [&] { return walk("d/g.c"); }, [] {}, QEL_ST_NO_CLEARTEXT,
         "Error fetching cleartext for \"%@", 41},
        {"no view", [&] { return walk("d/e/f"); }, [&] { handler.reset(); },
         QEL_ST_INTERNAL, "View information not found.", 0},
    };
    for (const Case& c : cases) {
        view_fhandle fh = c.handle();
        messages.clear();
        c.arrange();
        EXPECT_EQ(c.status, cltxt(fh).status) << c.what;
        std::string message = c.message;
        size_t at = message.find('%');
        if (at != std::string::npos) message.replace(at, 1, std::to_string(db_dbid(c.fetched)));
        if (!message.empty()) {
            EXPECT_TRUE(messages.has(message)) << c.what << ": " << messages.text();
        }
    }
    // The server was asked for the directory version and for g.c, and the
    // cache holds nothing of either.
    EXPECT_EQ(1u, content->gets(path_of(31)));
    EXPECT_EQ(1u, content->gets(path_of(41)));
    EXPECT_EQ(2u, content->gets());
    EXPECT_EQ(std::vector<std::string>{}, cltxt_test::files_under(cache));
}

TEST_F(NsCltxt, AViewCopyOfAVersionIsThatVersionsCleartextOrStale) {
    Result version = cltxt(walk("a.c"));
    ASSERT_EQ(0, version.status);
    // A view object of kind 22 standing for version 21, without container.
    view_fhandle copy = view_object(oid_of(21), 22);
    Result r = cltxt(copy);
    ASSERT_EQ(0, r.status);
    EXPECT_EQ(version.path, r.path);  // the version's, not the view object's
    EXPECT_EQ(1, r.cache_path);
    EXPECT_EQ(1u, content->gets());

    // A copy of a version that the view database does not hold (any more)
    // has no cleartext to give; the copy stays.
    view_fhandle orphan = view_object(oid_of(29), 22);
    EXPECT_EQ(QEL_ST_NO_MEMORY, cltxt(orphan).status);
    EXPECT_EQ(0, db_test::read_tx([&] {
                  return ostrela_db_inode_read(orphan.dbid, nullptr, nullptr, nullptr, nullptr, nullptr);
              }));
    EXPECT_EQ(1u, content->gets());
}

} // namespace
