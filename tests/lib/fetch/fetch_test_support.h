#pragma once
// Content fetch's tests in process: the namespace tests' served view (a
// real view database, namespace cache and simulated kernel, "/vobs/a"
// mounted) with the tree of NsTreeTest, a few symbolic links more, and a
// second VOB "/vobs/b"; the miss handlers, the directory fetch and the
// invalidations run for real above the scripted server.
//
//   /vobs/a: /a.c, /ln -> a.c, /d/g.c, /d/e/f, and in /d:
//            up -> ../a.c, toe -> e, loop -> loop, abs -> /vobs/a/a.c,
//            dangling -> nope
//   /vobs/b: /x.c

#include <string>
#include <vector>

#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ns_test_support.h"
#include "lib/ns/ostrelagent_view_db_version.h"

namespace fetch_test {

using namespace ns_test;
using Meta = OstrelAgent_Metadata;

class FetchTest : public NsViewTest {
protected:
    void SetUp() override {
        NsViewTest::SetUp();
        link(51, "../a.c");
        link(52, "loop");
        link(53, "/vobs/a/a.c");
        link(54, "e");
        link(55, "nope");
        dir(30, 31, {{"g.c", 40}, {"e", 60}, {"up", 51}, {"loop", 52}, {"abs", 53}, {"toe", 54}, {"dangling", 55}});
        other_uuid = uuid_of(2);
        dir(other_uuid, 100, 101, {{"x.c", 110}});
        file(other_uuid, 110, 111);
        server.root(other_uuid, 100);
        mount("/vobs/b", other_uuid);
    }

    // A symbolic link `id` of the test's VOB with the text `text`.
    void link(unsigned id, const std::string& text) {
        Scripted o;
        o.id = id;
        o.oid = oid_of(id);
        o.mtype = SYMLINK;
        o.fstat = file_status(QEL_FTYPE_LNK, 0777);
        o.link_text = text;
        script(vob_uuid, o);
    }

    // Questions the scripted server was asked, of every kind.
    unsigned asked() {
        return server.calls(Server::ROOT) + server.calls(Server::LOOKUP) + server.calls(Server::LISTING);
    }

    // The view database's dbid of the VOB's root directory, fetched first.
    unsigned root_dbid(const qel_uuid_s& uuid) {
        unsigned elem = 0, obj = 0;
        ostrel_vstat out{};
        EXPECT_EQ(0, Meta::bindroot(uuid, elem, obj, out));
        return obj;
    }

    // The names of a listing, in order.
    static std::vector<std::string> names(const std::vector<ostrelagent_dirent>& listing) {
        std::vector<std::string> out;
        for (const ostrelagent_dirent& d : listing) out.push_back(d.name);
        return out;
    }

    // Whether the view database holds the directory version's listing whole.
    bool listed(const qel_uuid_s& uuid, unsigned dbid) {
        OstrelAgent_View_db_version dir(dbid, uuid);
        dir.load_data();
        return dir.is_readdir_done();
    }

    qel_uuid_s other_uuid{};
};

} // namespace fetch_test
