// The kernel request service in one process: the listener's threads serve a
// registered view's message channel, with the real handlers over the real
// namespace cache, view database and content fetch (above a scripted
// server; versions' contents come from the test server over TLS), while the
// test plays the kernel side through korva_sim's codec.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib/core/ostrelagent_thread_manager_unix.h"
#include "lib/fetch/cleartext_server.h"
#include "lib/kernel/ostrelagent_korva_request_handler_unix.h"
#include "lib/kernel/ostrelagent_korva_thread_unix.h"
#include "lib/ns/ns_test_support.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "lib/thread_test_support.h"
#include "lib/view/ostrelagent_view.h"
#include "lib/view/ostrelagent_view_handler.h"
#include "platform/korva/korva_channel_client.h"
#include "platform/korva/korva_control.h"
#include "platform/korva/korva_message.h"
#include "tools/korva_sim/kernel_side.h"

namespace {

using namespace ns_test;
using cltxt_test::Cleartext_Server;
using korva_sim::json;
using korva_sim::ordered_json;
using korva_sim_test::Kernel_Side;
using korva_sim_test::replied;
using thread_test::eventually;

constexpr const char* TAG = "kernel_view";
constexpr const char* VIEW_UUID = "0a1b2c3d-4e5f-4617-8899-aabbccddeeff";

std::string text_of(const qel_uuid_s& id) {
    char text[QEL_UUID_STR_SIZE];
    return qel_uuid_to_str(&id, text);
}

class KorvaRequestTest : public NsTreeTest {
protected:
    void SetUp() override {
        NsTreeTest::SetUp();
        korva_root = home.path() + "/korva";
        setenv("KORVA_ROOT", korva_root.c_str(), 1);
        cache = home.path() + "/cache";
        ASSERT_EQ(0, ::mkdir(cache.c_str(), 0700));
        handler.reset(OstrelAgent_View_Handler::get_instance(storage));
        ASSERT_NE(nullptr, handler);
        OstrelAgent_View_Handler::set_view(
            OstrelAgent_View::get_view_from_list(storage, cache, VIEW_UUID, TAG, "transparent", "automatic", 0));
        ASSERT_EQ(0, OstrelAgent_KORVA_Ioctl(OstrelAgent_View_Handler::get_view()).register_view());
        handles_before = korva_open_handle_count();
        manager.reset(new OstrelAgent_Thread_Manager_Unix());
        listener.reset(new OstrelAgent_KORVA_Request_Handler_Unix(manager.get()));
        ASSERT_EQ(0, listener->start_listening());
        ASSERT_TRUE(eventually([&] { return listener->running_threads() == threads; }));
        ASSERT_EQ(0, kernel.connect(korva_root, TAG, VIEW_UUID));
    }
    void TearDown() override {
        shut_down();
        content.reset();
        handler.reset();
        unsetenv("KORVA_ROOT");
        NsTreeTest::TearDown();
    }

    // Ends the threads as the daemon does, by unregistering the view, unless
    // `unregister` is false: then the listener has to interrupt them.
    void shut_down(bool unregister = true) {
        if (!manager) return;
        if (unregister) unregister_view();
        manager->set_should_exit();
        thread_test::Background stop([&] {
            listener->stop_listening();
            manager->terminate();
        });
        ASSERT_TRUE(stop.finished()) << "the kernel request threads did not end";
        EXPECT_EQ(0, listener->running_threads());
        // Every thread was deleted, and closed its view-root handle with it.
        EXPECT_EQ(handles_before, korva_open_handle_count());
        manager.reset();
        listener.reset();
    }
    void unregister_view() {
        if (!registered) return;
        registered = false;
        EXPECT_EQ(0, OstrelAgent_KORVA_Ioctl(OstrelAgent_View_Handler::get_view()).unregister_view());
    }

    // The test server, with a.c's version in the view's text mode.
    void start_server(const std::string& rules = "") {
        content.reset(new Cleartext_Server(home.path(), rules));
        content->add(vob_uuid, oid_of(21), "transparent", "int main;\n");
    }
    std::string a_c_path() const { return cltxt_test::suffix(vob_uuid, oid_of(21), "transparent"); }

    korva::Injector inject() const { return korva::Control(korva::Root(korva_root)).injector(); }

    static json fh_of(const ordered_json& reply) { return korva_sim_test::field_of(reply, "fh"); }

    json root_request() const { return {{"call", "root"}, {"replica_uuid", text_of(vob_uuid)}}; }
    // The handle of a path from the VOB root ("d/e"), through the channel.
    json walk_kernel(const std::string& path) {
        json fh = fh_of(kernel.call(root_request()));
        size_t at = 0;
        while (at < path.size()) {
            size_t slash = path.find('/', at);
            std::string part = path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
            ordered_json found = kernel.call({{"call", "lookup"}, {"dir", fh}, {"name", part}});
            EXPECT_TRUE(replied(found)) << path;
            fh = fh_of(found);
            if (slash == std::string::npos) break;
            at = slash + 1;
        }
        return fh;
    }
    static json attr(uint32_t type, unsigned mode) {
        return {{"mask", 0x2u}, {"type", type}, {"mode", mode}};
    }

    std::string korva_root;
    std::string cache;
    std::unique_ptr<OstrelAgent_View_Handler> handler;
    std::unique_ptr<Cleartext_Server> content;
    std::unique_ptr<OstrelAgent_Thread_Manager_Unix> manager;
    std::unique_ptr<OstrelAgent_KORVA_Request_Handler_Unix> listener;
    Kernel_Side kernel;
    const int threads = 5;  // the configuration's default
    int handles_before = 0;
    bool registered = true;
};

TEST_F(KorvaRequestTest, EveryCallCodeGetsTheReplyOfItsOperation) {
    // The VOB's tree: its root, a look-up, a missing name (whose reply
    // still carries the name state), attributes.
    ordered_json root = kernel.call(root_request());
    ASSERT_TRUE(replied(root));
    EXPECT_EQ(QEL_FTYPE_DIR, root["attr"]["fstat"]["type"]);
    EXPECT_EQ(static_cast<unsigned>(db_dbid(11)), root["fh"]["dbid"]);
    EXPECT_TRUE(replied(kernel.call({{"call", "root"}, {"replica_uuid", text_of(vob_uuid)}, {"name", "x"}}),
                        QEL_ST_INVALID));
    ordered_json d = kernel.call({{"call", "lookup"}, {"dir", fh_of(root)}, {"name", "d"}});
    ASSERT_TRUE(replied(d));
    EXPECT_EQ(static_cast<unsigned>(db_dbid(31)), d["fh"]["dbid"]);
    ordered_json missing = kernel.call({{"call", "lookup"}, {"dir", fh_of(root)}, {"name", "nope"}});
    EXPECT_TRUE(replied(missing, QEL_ST_NO_ENTRY));
    EXPECT_EQ(12u, missing["res_out_size"]);
    EXPECT_TRUE(missing.contains("name_state"));
    ordered_json residual =
        kernel.call({{"call", "lookup"}, {"dir", fh_of(root)}, {"name", "d"}, {"residual", "e/f"}});
    ASSERT_TRUE(replied(residual));
    EXPECT_EQ(static_cast<unsigned>(db_dbid(71)), residual["fh"]["dbid"]);
    EXPECT_EQ(3u, residual["consumed"]);
    ordered_json got = kernel.call({{"call", "getattr"}, {"fh", fh_of(d)}});
    ASSERT_TRUE(replied(got));
    EXPECT_EQ(d["attr"], got["attr"]);
    EXPECT_EQ(d["fh"], got["fh"]);
    EXPECT_TRUE(replied(kernel.call({{"call", "revalidate"}, {"fh", fh_of(d)}})));
    json bogus = fh_of(d);
    bogus["vob"] = "99999999-9999-9999-9999-999999999999";
    ordered_json stale = kernel.call({{"call", "getattr"}, {"fh", bogus}});
    EXPECT_NE(0, stale.value("status", 0));
    EXPECT_EQ(8u, stale["res_out_size"]) << "a failed getattr sends its header alone";

    // A view-private tree under d.
    ordered_json p = kernel.call({{"call", "mkdir"}, {"dir", fh_of(d)}, {"name", "p"}, {"attr", attr(2, 0755)}});
    ASSERT_TRUE(replied(p));
    EXPECT_EQ(QEL_FTYPE_DIR, p["attr"]["fstat"]["type"]);
    EXPECT_TRUE(p.contains("dir_mod"));
    const json pd = fh_of(p);
    ordered_json f1 = kernel.call({{"call", "create"}, {"dir", pd}, {"name", "f1"}, {"attr", attr(1, 0644)},
                                   {"cont_path_len", 1024u}});
    ASSERT_TRUE(replied(f1));
    const std::string container = f1["cont_path"];
    EXPECT_EQ(0u, container.rfind(".s/", 0)) << container;
    struct stat made;
    EXPECT_EQ(0, ::stat((storage + "/" + container).c_str(), &made)) << "the create made the container";
    EXPECT_EQ(0, made.st_size);
    EXPECT_EQ(container.size(), f1["cont_path_len"]);
    ordered_json f0 = kernel.call({{"call", "create"}, {"dir", pd}, {"name", "f0"}, {"attr", attr(1, 0644)}});
    ASSERT_TRUE(replied(f0));
    EXPECT_EQ("", f0["cont_path"]) << "no room asked for, no container path";
    EXPECT_TRUE(replied(kernel.call({{"call", "create"}, {"dir", pd}, {"name", "f1"}, {"attr", attr(1, 0644)}}),
                        QEL_ST_EXISTS));
    ordered_json cltxt = kernel.call({{"call", "getcleartext"}, {"fh", fh_of(f1)}, {"buf_len", 1024u}});
    ASSERT_TRUE(replied(cltxt));
    EXPECT_EQ(container, cltxt["path"]);
    EXPECT_FALSE(cltxt["cache_path"]);

    // Links, symbolic links and their texts: a text is read into a buffer
    // of the length asked for (never more than 1024 bytes), which must hold
    // it and its terminator; a buffer of no bytes is refused.
    ASSERT_TRUE(replied(kernel.call({{"call", "link"}, {"fh", fh_of(f1)}, {"dir", pd}, {"name", "f2"}})));
    EXPECT_EQ(2u, kernel.call({{"call", "getattr"}, {"fh", fh_of(f1)}})["attr"]["fstat"]["nlink"]);
    const std::string long_text(1023, 't');
    ordered_json l = kernel.call({{"call", "symlink"}, {"dir", pd}, {"name", "l"}, {"text", long_text},
                                  {"attr", attr(5, 0777)}});
    ASSERT_TRUE(replied(l));
    struct {
        unsigned asked;
        int status;
        size_t length;
    } reads[] = {{5000, 0, 1023}, {1024, 0, 1023}, {1023, QEL_ST_TOO_LONG, 0}, {0, QEL_ST_INVALID, 0}};
    for (const auto& r : reads) {
        ordered_json text = kernel.call({{"call", "readlink"}, {"fh", fh_of(l)}, {"buf_len", r.asked}});
        ASSERT_TRUE(replied(text, r.status)) << r.asked;
        if (r.status == 0) {
            EXPECT_EQ(long_text.substr(0, r.length), text["text"]) << r.asked;
            EXPECT_EQ(r.length, text["text_len"]) << r.asked;
        }
    }

    // Attributes, kind and id of a view-private file.
    ordered_json set = kernel.call({{"call", "setattr"}, {"fh", fh_of(f1)}, {"attr", attr(1, 0600)}});
    ASSERT_TRUE(replied(set));
    EXPECT_EQ(0600u, set["attr"]["fstat"]["mode"].get<unsigned>() & 0777);
    ordered_json kind = kernel.call({{"call", "change_mtype"}, {"fh", fh_of(f1)}, {"mtype", 21u}});
    ASSERT_TRUE(replied(kind));
    EXPECT_EQ(21u, kind["attr"]["mtype"]);
    EXPECT_TRUE(replied(kernel.call({{"call", "change_mtype"}, {"fh", fh_of(f1)}, {"mtype", 5u}}), QEL_ST_INVALID));
    ordered_json id = kernel.call({{"call", "change_oid"}, {"fh", fh_of(f1)}, {"option", 0u}});
    ASSERT_TRUE(replied(id));
    EXPECT_NE(f1["attr"]["obj_oid"], id["attr"]["obj_oid"]);

    // Path names: a 10-byte path and a 900-byte extended path are room
    // enough, 5 bytes are not.
    ordered_json gpath = kernel.call({{"call", "gpath"}, {"fh", fh_of(f1)}, {"path_len", 10u}, {"ext_path_len", 900u}});
    ASSERT_TRUE(replied(gpath));
    EXPECT_EQ("/d/p/f1", gpath["path"]);
    EXPECT_EQ(7u, gpath["path_len"]);
    EXPECT_EQ("/d/p/f1", gpath["ext_path"]);
    EXPECT_TRUE(replied(
        kernel.call({{"call", "gpath"}, {"fh", fh_of(f1)}, {"path_len", 5u}, {"ext_path_len", 900u}}),
        QEL_ST_TOO_LONG));

    // Renames and removals; a directory that is not empty stays.
    ASSERT_TRUE(replied(kernel.call({{"call", "rename"},
                                     {"from", {{"dir", pd}, {"name", "f2"}}},
                                     {"to", {{"dir", fh_of(d)}, {"name", "moved"}}}})));
    EXPECT_TRUE(replied(kernel.call({{"call", "lookup"}, {"dir", pd}, {"name", "f2"}}), QEL_ST_NO_ENTRY));
    EXPECT_TRUE(replied(kernel.call({{"call", "lookup"}, {"dir", fh_of(d)}, {"name", "moved"}})));
    EXPECT_TRUE(replied(kernel.call({{"call", "rmdir"}, {"dir", fh_of(d)}, {"name", "p"}}), QEL_ST_NOT_EMPTY));
    for (const char* name : {"f0", "f1", "l"}) {
        ordered_json removed = kernel.call({{"call", "remove"}, {"dir", pd}, {"name", name}});
        EXPECT_TRUE(replied(removed)) << name;
        EXPECT_TRUE(removed.contains("dir_mod")) << name;
    }
    EXPECT_TRUE(replied(kernel.call({{"call", "remove"}, {"dir", fh_of(d)}, {"name", "moved"}})));
    EXPECT_TRUE(replied(kernel.call({{"call", "rmdir"}, {"dir", fh_of(d)}, {"name", "p"}})));
    EXPECT_TRUE(replied(kernel.call({{"call", "lookup"}, {"dir", fh_of(d)}, {"name", "p"}}), QEL_ST_NO_ENTRY));

    // A version's cleartext comes from the cleartext cache.
    start_server();
    ordered_json version = kernel.call({{"call", "getcleartext"}, {"fh", walk_kernel("a.c")}, {"buf_len", 1024u}});
    ASSERT_TRUE(replied(version));
    EXPECT_TRUE(version["cache_path"]);
    EXPECT_EQ("int main;\n", lib_test::read_file(cache + "/" + version["path"].get<std::string>()));

    // Invalidations by kind: the whole view, and kinds there are none of.
    EXPECT_TRUE(replied(kernel.call({{"call", "invalidate"}, {"kind", 1u}})));
    for (unsigned kind_number : {0u, 5u})
        EXPECT_TRUE(replied(kernel.call({{"call", "invalidate"}, {"kind", kind_number}}), QEL_ST_INVALID))
            << kind_number;
    // After the view's caches went, the tree is found again.
    EXPECT_EQ(static_cast<unsigned>(db_dbid(71)), walk_kernel("d/e/f")["dbid"]);

    // The null call and call codes without a handler: empty bodies.
    ordered_json null = kernel.call({{"call", "null"}});
    EXPECT_EQ(0, null["rpc_status"]);
    EXPECT_EQ(0u, null["res_out_size"]);
    for (unsigned code : {1u, 13u, 200u}) {
        ordered_json unknown = kernel.call({{"call", code}});
        EXPECT_EQ(3, unknown["rpc_status"]) << code;
        EXPECT_EQ(0u, unknown["res_out_size"]) << code;
    }
}

TEST_F(KorvaRequestTest, DirectoriesAreReadPageByPage) {
    view_fhandle d = walk("d");
    view_fhandle p{};
    ASSERT_EQ(0, mkdir(d, "many", &p));
    std::set<std::string> made;
    // More than one reply's worth of entries.
    for (int i = 0; i < 100; ++i) {
        std::string name = std::string(76, 'n') + std::to_string(1000 + i);
        ASSERT_EQ(0, create(p, name.c_str()));
        made.insert(name);
    }
    const json dir = walk_kernel("d/many");

    // Whatever the maximum asked for, no page carries more than a reply
    // may; the stream's room bounds a page as well.
    struct Read {
        const char* what;
        unsigned max_size;
        unsigned res_in_size;
    } reads[] = {{"small pages", 600, 8768},
                 {"a maximum above what a reply carries", 100000, 8768},
                 {"the largest maximum a request can ask for", 0xFFFFFFFFu, 8768},
                 {"a reply's room below the maximum", 8744, 300}};
    for (const Read& r : reads) {
        SCOPED_TRACE(r.what);
        std::multiset<std::string> seen;
        unsigned cookie = 0;
        int pages = 0;
        for (bool eof = false; !eof && pages < 1000; ++pages) {
            ordered_json page = kernel.call({{"call", "readdir"}, {"dir", dir}, {"offset", cookie},
                                             {"max_size", r.max_size}, {"res_in_size", r.res_in_size}});
            ASSERT_TRUE(replied(page));
            EXPECT_LE(page["res_out_size"].get<unsigned>(), std::min(r.res_in_size, 8744u + 8));
            ASSERT_FALSE(page["entries"].empty());
            for (const auto& e : page["entries"]) seen.insert(e["name"].get<std::string>());
            cookie = page["next_offset"];
            eof = page["eof"];
        }
        EXPECT_GT(pages, 1);
        seen.erase(".");
        seen.erase("..");
        EXPECT_EQ(std::multiset<std::string>(made.begin(), made.end()), seen);
    }

    // One name's extended entry.
    ordered_json one = kernel.call({{"call", "readdir_ext"}, {"dir", dir}, {"name", *made.begin()},
                                    {"options", 1u}, {"max_size", 8744u}});
    ASSERT_TRUE(replied(one));
    ASSERT_EQ(1u, one["entries"].size());
    EXPECT_EQ(*made.begin(), one["entries"][0]["name"]);
    EXPECT_EQ(19u, one["entries"][0]["obj_mtype"]);
}

TEST_F(KorvaRequestTest, MalformedRequestsGetErrorRepliesAndTheServiceGoesOn) {
    const json d = walk_kernel("d");
    // A body cut short of its layout: the reply header alone, with 1001.
    korva_sim::Request whole = korva_sim::encodeRequest({{"call", "getattr"}, {"fh", d}}, {});
    std::vector<unsigned char> body(whole.packet.begin() + korva::kHeaderSize, whole.packet.end());
    body.resize(20);
    kernel.send_packet(korva::makeRequestPacket(108, 500, korva::kBodyMax, body.data(), body.size()), 108, 500);
    ordered_json cut = kernel.receive();
    EXPECT_EQ(4, cut["rpc_status"]) << cut.dump();
    EXPECT_EQ(QEL_ST_NO_MEMORY, cut["status"]);
    EXPECT_EQ(8u, cut["res_out_size"]);

    // A name longer than a name may be.
    std::vector<char> raw(2048);
    XDR xdrs;
    xdrmem_create(&xdrs, raw.data(), static_cast<u_int>(raw.size()), XDR_ENCODE);
    view_hdr_req_t hdr{};
    hdr.xid = 501;
    view_fhandle_t dir{};
    std::string long_name(256, 'n');
    char* name = &long_name[0];
    char empty[] = "";
    char* residual = empty;
    int warp = 0;
    ASSERT_TRUE(xdr_view_hdr_req_t(&xdrs, &hdr) && xdr_view_fhandle_t(&xdrs, &dir) &&
                xdr_string(&xdrs, &name, 1000) && xdr_int(&xdrs, &warp) && xdr_string(&xdrs, &residual, 1000));
    const size_t length = XDR_GETPOS(&xdrs);
    XDR_DESTROY(&xdrs);
    kernel.send_packet(korva::makeRequestPacket(107, 501, korva::kBodyMax,
                                                reinterpret_cast<unsigned char*>(raw.data()), length),
                       107, 501);
    ordered_json too_long = kernel.receive();
    EXPECT_EQ(4, too_long["rpc_status"]) << too_long.dump();
    EXPECT_EQ(QEL_ST_NO_MEMORY, too_long["status"]);

    // No room for the reply the operation gives.
    ordered_json no_room = kernel.call({{"call", "getattr"}, {"fh", d}, {"res_in_size", 8u}});
    EXPECT_EQ(5, no_room["rpc_status"]) << no_room.dump();

    // Every thread still serves.
    for (int i = 0; i < 2 * threads; ++i) EXPECT_TRUE(replied(kernel.call({{"call", "getattr"}, {"fh", d}})));
}

TEST_F(KorvaRequestTest, TheHeadersSizesNeverReachPastAMessage) {
    // What the channel lets through could still come from a kernel that
    // gets its sizes wrong: each turn's work bounds them itself.
    struct Case {
        const char* what;
        uint64_t req_size;
        uint64_t res_in_size;
        uint32_t rpc_status;
    } cases[] = {
        {"a request body longer than a message", 9000, 8768, 4},
        {"room for the reply beyond a message", 0, (uint64_t{1} << 32) + 4, 0},
    };
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "test");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> request(OstrelAgent_KORVA_Thread_Unix::BUFFER_SIZE, 0);
        std::vector<unsigned char> reply(OstrelAgent_KORVA_Thread_Unix::BUFFER_SIZE, 0xee);
        // A getattr of a handle of no VOB: 1016 and the header alone, or no
        // reply body when the request is not read.
        korva_sim::Request getattr = korva_sim::encodeRequest({{"call", "getattr"}}, {});
        std::copy(getattr.packet.begin(), getattr.packet.end(), request.begin());
        korva::RequestHeader header = korva::readRequestHeader(request.data());
        if (c.req_size != 0) header.req_size = c.req_size;
        header.res_in_size = c.res_in_size;
        header.request_id = 77;
        korva::writeRequestHeader(request.data(), header);
        OstrelAgent_KORVA_Thread_Unix::handle_request(trace, request.data(), reply.data());
        korva::ReplyHeader answer = korva::readReplyHeader(reply.data());
        EXPECT_EQ(c.rpc_status, answer.rpc_status);
        EXPECT_EQ(77u, answer.request_id);
        EXPECT_EQ(korva::kMarkReply, answer.mark);
        EXPECT_EQ(c.rpc_status == 0 ? 8u : 0u, answer.res_out_size);
        // The header is the reply's own throughout: nothing of what the
        // buffer held before.
        EXPECT_EQ(std::vector<unsigned char>(12, 0), std::vector<unsigned char>(reply.begin() + 12, reply.begin() + 24));
    }
}

TEST_F(KorvaRequestTest, ManyKernelClientsGetTheirOwnReplies) {
    // Each name of the tree and the dbid a look-up of it finds.
    std::vector<std::pair<std::string, unsigned>> names = {
        {"a.c", 21}, {"ln", 50}, {"d", 31}, {"d/g.c", 41}, {"d/e", 61}, {"d/e/f", 71}};
    const json root = fh_of(kernel.call(root_request()));
    // The view database numbers what it fetches: one walk first loads every
    // name, then each script number is the dbid it was given.
    for (auto& n : names) {
        walk_kernel(n.first);
        n.second = static_cast<unsigned>(db_dbid(n.second));
        ASSERT_NE(0u, n.second) << n.first;
    }
    const int clients = 6;
    const int per_client = 40;
    std::vector<std::string> errors(clients);
    std::vector<std::thread> running;
    for (int c = 0; c < clients; ++c) {
        running.emplace_back([&, c] {
            Kernel_Side side;
            if (side.connect(korva_root, TAG, VIEW_UUID) != 0) {
                errors[c] = "no connection";
                return;
            }
            std::map<uint32_t, unsigned> expected;
            for (int i = 0; i < per_client; ++i) {
                const auto& n = names[static_cast<size_t>(i + c) % names.size()];
                std::string first = n.first.substr(0, n.first.find('/'));
                std::string rest = n.first.size() > first.size() ? n.first.substr(first.size() + 1) : "";
                uint32_t id = side.send(
                    {{"call", "lookup"}, {"dir", root}, {"name", first}, {"residual", rest}, {"id", static_cast<unsigned>(1000 * c + i)}});
                expected[id] = n.second;
            }
            for (int i = 0; i < per_client; ++i) {
                ordered_json reply = side.receive();
                uint32_t id = reply.value("request_id", 0u);
                auto it = expected.find(id);
                if (it == expected.end() || reply.value("xid", 0u) != id || reply.value("status", -1) != 0 ||
                    reply["fh"].value("dbid", 0u) != it->second) {
                    errors[c] += "unexpected reply " + reply.dump() + "\n";
                    continue;
                }
                expected.erase(it);
            }
            if (!side.quiet(0)) errors[c] += "a reply too many\n";
        });
    }
    for (std::thread& t : running) t.join();
    for (int c = 0; c < clients; ++c) EXPECT_EQ("", errors[c]) << "client " << c;
}

TEST_F(KorvaRequestTest, ReadersOfAVersionMakeOneRequestAndLaterReadsNone) {
    // The version's GET is held until the test opens its gate.
    start_server(Cleartext_Server::rule(
        a_c_path(), R"("fault": {"hold": {"after_parts": 0, "gate": "g"}}, "reply": {"cleartext": true})"));
    const json a_c = walk_kernel("a.c");
    const int readers = 4;
    std::vector<std::unique_ptr<Kernel_Side>> sides;
    for (int i = 0; i < readers; ++i) {
        sides.emplace_back(new Kernel_Side);
        ASSERT_EQ(0, sides.back()->connect(korva_root, TAG, VIEW_UUID));
        sides.back()->send({{"call", "getcleartext"}, {"fh", a_c}, {"buf_len", 1024u}});
    }
    // Every reader asked while the first fetch was held.
    ASSERT_TRUE(eventually([&] { return content->gets(a_c_path()) == 1; }));
    content->server().open_gate("g");
    std::set<std::string> paths;
    for (auto& side : sides) {
        ordered_json reply = side->receive();
        ASSERT_TRUE(replied(reply)) << reply.dump();
        EXPECT_TRUE(reply["cache_path"]);
        paths.insert(reply["path"].get<std::string>());
    }
    ASSERT_EQ(1u, paths.size());
    EXPECT_EQ("int main;\n", lib_test::read_file(cache + "/" + *paths.begin()));
    EXPECT_TRUE(replied(kernel.call({{"call", "getcleartext"}, {"fh", a_c}, {"buf_len", 1024u}})));
    EXPECT_EQ(1u, content->gets());
    EXPECT_EQ(std::vector<std::string>{*paths.begin()}, cltxt_test::files_under(cache));
}

TEST_F(KorvaRequestTest, KernelStatusesEndThreadsOrAreRetried) {
    // A status other than 1046 leaves the same buffer, reply included, for
    // the next call: the reply still arrives and no thread ends.
    ASSERT_EQ(0, inject().add("lpc_message", "1008", 2));
    EXPECT_EQ(0, kernel.call({{"call", "null"}})["rpc_status"]);
    EXPECT_EQ(threads, listener->running_threads());

    // A call that fails ends its thread, with the reply it carried.
    ASSERT_EQ(0, inject().add("lpc_message", "errno=5", 1));
    kernel.send({{"call", "null"}});
    ASSERT_TRUE(eventually([&] { return listener->running_threads() == threads - 1; }));
    EXPECT_TRUE(replied(kernel.call({{"call", "getattr"}, {"fh", walk_kernel("d")}})));
    EXPECT_TRUE(kernel.quiet(0));

    // A thread whose view-root handle cannot be opened says so and ends at
    // its first call.
    ASSERT_EQ(0, inject().add("open", "1062", 1));
    messages.clear();
    auto* extra = new OstrelAgent_KORVA_Thread_Unix(TAG, manager.get(), listener.get());
    EXPECT_TRUE(messages.has("korva_view_root_open_type")) << messages.text();
    manager->start_op(extra);
    EXPECT_TRUE(replied(kernel.call({{"call", "getattr"}, {"fh", walk_kernel("d")}})));
    EXPECT_EQ(threads - 1, listener->running_threads());

    // Unregistering the view ends every thread with 1046.
    unregister_view();
    ASSERT_TRUE(eventually([&] { return listener->running_threads() == 0; }));
}

TEST_F(KorvaRequestTest, TheAgentsExitEndsEachThreadAfterItsNextCall) {
    manager->set_should_exit();
    // Each thread takes one request and ends without answering it.
    for (int i = 0; i < threads; ++i) kernel.send({{"call", "null"}});
    ASSERT_TRUE(eventually([&] { return listener->running_threads() == 0; }));
    EXPECT_TRUE(kernel.quiet(0));
}

TEST_F(KorvaRequestTest, AStopOfTheProcessLeavesEveryThreadServing) {
    auto channel = korva::ChannelTable::process().find(korva::ChannelTable::key(korva::Root(korva_root), TAG));
    ASSERT_TRUE(channel);
    auto all_waiting = [&] { return channel->waitingCount() == static_cast<size_t>(threads); };
    ASSERT_TRUE(eventually(all_waiting));
    // Stopped and continued, as job control or a tracer attaching does: a
    // child continues this process once it shows stopped.
    const pid_t self = ::getpid();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(self));
        for (int i = 0; i < 10000; ++i) {
            char stat[512] = {};
            int fd = ::open(path, O_RDONLY);
            ssize_t n = fd >= 0 ? ::read(fd, stat, sizeof stat - 1) : -1;
            if (fd >= 0) ::close(fd);
            const char* state = n > 0 ? std::strrchr(stat, ')') : nullptr;
            if (state != nullptr && state[1] == ' ' && state[2] == 'T') break;
            ::usleep(1000);
        }
        ::kill(self, SIGCONT);
        ::_exit(0);
    }
    ASSERT_EQ(0, ::kill(self, SIGSTOP));
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(eventually(all_waiting));
    EXPECT_EQ(threads, listener->running_threads());
    for (int i = 0; i < threads; ++i) kernel.send({{"call", "null"}});
    for (int i = 0; i < threads; ++i) EXPECT_EQ(0, kernel.receive()["rpc_status"]);
}

TEST_F(KorvaRequestTest, ThreadsOfAViewThatCannotBeUnregisteredAreInterrupted) {
    EXPECT_EQ(threads, listener->running_threads());
    ASSERT_TRUE(eventually([&] {
        auto channel = korva::ChannelTable::process().find(korva::ChannelTable::key(korva::Root(korva_root), TAG));
        return channel && channel->waitingCount() == static_cast<size_t>(threads);
    }));
    // The view stays registered: only the listener can end the waiting calls.
    manager->set_should_exit();
    thread_test::Background stop([&] { listener->stop_listening(); });
    ASSERT_TRUE(stop.finished());
    EXPECT_EQ(0, listener->running_threads());
    // No thread starts a loop once the listener has stopped.
    EXPECT_FALSE(listener->thread_started());
    shut_down(false);
}

} // namespace
