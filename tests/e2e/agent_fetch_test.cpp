// Content fetch in a serving daemon, seen from the kernel's side of the
// view's channel: a mounted VOB's root, names and listings are asked of the
// test server once (eight clients reading one uncached directory at once
// make one request) and then served from the view database; a listing the
// server refuses fails every reader; offline a name the view database lacks
// is not asked for; and what a fetch changes reaches the kernel, as journal
// lines and as notices on every connection. A loaded file's contents are
// fetched once into the cleartext cache, also for readers that ask at the
// same time, and read from there afterwards; a cache file appears whole or
// not at all, also when the daemon is killed during its transfer.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "agent_fixture.h"
#include "fuse_view.h"
#include "pipe_client.h"
#include "tools/korva_sim/kernel_side.h"

namespace e2e {
namespace {

using korva_sim::json;
using korva_sim::ordered_json;
using korva_sim_test::Kernel_Side;
using korva_sim_test::replied;
using Names = std::vector<std::string>;

const char* const REPLICA = "0a000000-0000-4000-8000-00000000000a";
const char* const FAMILY = "0f000000-0000-4000-8000-00000000000a";
const char* const LOOKUP_RPC = "Ostrel_Norvane::lookup_rpc";
const char* const METADATA_RPC = "Ostrel_Norvane::getmetadata_rpc";
const char* const DIRECTORY_RPC = "Ostrel_Norvane::get_directory_contents_rpc";
std::string id(unsigned n) { return served_oid(n); }
std::string metadata(unsigned n, unsigned mtype, unsigned elem) { return served_metadata(n, mtype, elem); }
std::string entry(const std::string& name, unsigned n, unsigned mtype, unsigned elem) {
    return served_entry(name, n, mtype, elem);
}

// The VOB "/vobs/a" of the server: its root (version 11 of element 10)
// lists a.c (21 of 20) and d (31 of 30), whose listing the server refuses
// and in which it knows g.c (41 of 40). The root's listing waits for the
// gate "listing".
std::string vob_rules() {
    return R"({"match": {"rpc": "Ostrel_Norvane::getvobinfo_rpc"}, "reply": {"vobinfo": {"VobFamilyUuid": ")" +
           std::string(FAMILY) + R"(", "VobReplicaUuid": ")" + REPLICA +
           R"(", "VobStorage": "host:/store/a.vbs", "IsPublic": "1", "IsProject": "0"}}},
           {"match": {"rpc": ")" + METADATA_RPC + R"("}, "reply": )" + metadata(11, 3, 10) + R"(},
           {"match": {"rpc": ")" + DIRECTORY_RPC + R"(", "args": {"VersionOid": ")" + id(11) + R"("}},
            "fault": {"hold": {"after_parts": 0, "gate": "listing"}},
            "reply": {"directory": [)" + entry("a.c", 21, 6, 20) + ", " + entry("d", 31, 3, 30) + R"(]}},
           {"match": {"rpc": ")" + DIRECTORY_RPC + R"("}, "reply": {"status": {"code": 5, "message": "refused"}}},
           {"match": {"rpc": ")" + LOOKUP_RPC + R"(", "args": {"LeafName": "g.c"}}, "reply": )" +
           metadata(41, 6, 40) + R"(},
           {"match": {"rpc": ")" + LOOKUP_RPC + R"("}, "reply": {"status": {"code": 1052, "message": "no such name"}}})";
}

class E2eFetch : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        server_rules = vob_rules();
    }

    std::unique_ptr<Kernel_Side> kernel_of(const std::string& name) {
        std::unique_ptr<Kernel_Side> side(new Kernel_Side);
        EXPECT_EQ(0, side->connect(korva_root, "tag-" + name, uuid_for(name)));
        return side;
    }
    // The requests of procedure `rpc` the server received.
    size_t asked(const std::string& rpc) {
        size_t n = 0;
        for (const fakeserver::Json& r : server().requests()) n += r["rpc"].as_string() == rpc;
        return n;
    }
    static Names names_of(const ordered_json& listing) {
        Names names;
        for (const auto& e : listing["entries"]) names.push_back(e["name"].get<std::string>());
        return names;
    }
    static json readdir(const json& dir) {
        return {{"call", "readdir"}, {"dir", dir}, {"offset", 0u}, {"max_size", 8744u}};
    }
    static json lookup(const json& dir, const std::string& name) {
        return {{"call", "lookup"}, {"dir", dir}, {"name", name}};
    }
    static json fh_of(const ordered_json& reply) { return korva_sim_test::field_of(reply, "fh"); }
    // Whether a notice that the object `oid` changed reached `side` in time.
    static bool notified(Kernel_Side& side, const std::string& oid) {
        return wait_until(
            [&] {
                side.receive(50);
                for (const ordered_json& n : side.notices)
                    if (n.value("notice", "") == "object" && n.value("oid", "") == oid) return true;
                return false;
            },
            kStartTimeout);
    }
};

TEST_F(E2eFetch, AMountedVobIsFetchedOnceAndThenServedFromTheViewDatabase) {
    std::unique_ptr<Process> agent = serve_new_view("f");
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage("f"), "tool");
    ASSERT_TRUE(client);
    ASSERT_EQ("0", client->call(make_request("MountVob", "m", "<vob-tag mount-state=\"true\">/vobs/a</vob-tag>"))
                       .attrs["status-code"]);
    std::unique_ptr<Kernel_Side> kernel = kernel_of("f");
    const ordered_json root = kernel->call({{"call", "root"}, {"replica_uuid", REPLICA}});
    ASSERT_TRUE(replied(root)) << root.dump();
    EXPECT_EQ(1u, asked(METADATA_RPC));

    // Eight clients read the uncached root at once while the server holds
    // its listing: one request, one answer for all.
    std::vector<std::unique_ptr<Kernel_Side>> readers;
    for (int i = 0; i < 8; ++i) {
        readers.push_back(kernel_of("f"));
        readers.back()->send(readdir(fh_of(root)));
    }
    ASSERT_TRUE(server().wait_for_log([](const std::vector<fakeserver::Json>& log) {
        for (const fakeserver::Json& r : log)
            if (r["rpc"].as_string() == DIRECTORY_RPC) return true;
        return false;
    }));
    server().open_gate("listing");
    for (std::unique_ptr<Kernel_Side>& reader : readers) {
        const ordered_json listing = reader->receive();
        ASSERT_TRUE(replied(listing)) << listing.dump();
        EXPECT_EQ((Names{".", "..", "a.c", "d"}), names_of(listing));
    }
    EXPECT_EQ(1u, asked(DIRECTORY_RPC));

    // The listing's names need no look-up.
    EXPECT_TRUE(replied(kernel->call(lookup(fh_of(root), "a.c"))));
    const ordered_json d = kernel->call(lookup(fh_of(root), "d"));
    ASSERT_TRUE(replied(d)) << d.dump();
    EXPECT_EQ(0u, asked(LOOKUP_RPC));

    // A name of an unlisted directory is looked up once; the kernel learns
    // that the directory changed.
    ASSERT_TRUE(replied(kernel->call(lookup(fh_of(d), "g.c"))));
    EXPECT_EQ(1u, asked(LOOKUP_RPC));
    EXPECT_TRUE(notified(*kernel, id(31)));
    EXPECT_NE(std::string::npos, journal().find("inval_obj " + std::string(REPLICA) + " " + id(31) + " 13"));
    // Once the caches have forgotten everything, the view database answers.
    ASSERT_TRUE(replied(kernel->call({{"call", "invalidate"}, {"kind", 1u}})));
    const ordered_json again = kernel->call(lookup(fh_of(kernel->call({{"call", "root"}, {"replica_uuid", REPLICA}})), "d"));
    ASSERT_TRUE(replied(again));
    EXPECT_TRUE(replied(kernel->call(lookup(fh_of(again), "g.c"))));
    EXPECT_EQ(1u, asked(LOOKUP_RPC));
    EXPECT_EQ(1u, asked(METADATA_RPC));

    // The server refuses d's listing: every reader gets the failure.
    for (std::unique_ptr<Kernel_Side>& reader : readers) reader->send(readdir(fh_of(d)));
    for (std::unique_ptr<Kernel_Side>& reader : readers) {
        const ordered_json refused = reader->receive();
        EXPECT_TRUE(replied(refused, QEL_ST_NO_MEMORY)) << refused.dump();
    }
    EXPECT_GE(asked(DIRECTORY_RPC), 2u);

    // Offline, a name the view database lacks is not asked for: the
    // namespace cache hands on content fetch's status.
    ASSERT_EQ("0", client->call(make_request("Disconnect", "off")).attrs["status-code"]);
    const size_t before = server().requests().size();
    const ordered_json offline = kernel->call(lookup(fh_of(d), "nope"));
    EXPECT_TRUE(replied(offline, 20033)) << offline.dump();
    EXPECT_TRUE(replied(kernel->call(lookup(fh_of(d), "g.c"))));
    EXPECT_EQ(before, server().requests().size());

    EXPECT_EQ("0", client->call(make_request("EndView", "end")).attrs["status-code"]);
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
}

// Names from the server that cannot be file names (a path, "..", "." again,
// one longer than a name may be) are left out of the listing, which serves
// the rest; one log line names the directory.
TEST_F(E2eFetch, NamesThatCannotBeFileNamesAreSkippedWithOneLogLine) {
    server_rules = R"({"match": {"rpc": "Ostrel_Norvane::getvobinfo_rpc"}, "reply": {"vobinfo": {"VobFamilyUuid": ")" +
                   std::string(FAMILY) + R"(", "VobReplicaUuid": ")" + REPLICA +
                   R"(", "VobStorage": "host:/store/a.vbs", "IsPublic": "1", "IsProject": "0"}}},
           {"match": {"rpc": ")" + METADATA_RPC + R"("}, "reply": )" + metadata(11, 3, 10) + R"(},
           {"match": {"rpc": ")" + DIRECTORY_RPC + R"("},
            "reply": {"directory": [)" + entry("a/b", 41, 6, 40) + ", " + entry("a.c", 21, 6, 20) + ", " +
                   entry("../escape", 51, 6, 50) + ", " + entry("..", 61, 3, 60) + ", " +
                   entry(std::string(256, 'n'), 71, 6, 70) + ", " + entry("d", 31, 3, 30) + R"(]}})";
    std::unique_ptr<Process> agent = serve_new_view("u");
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage("u"), "tool");
    ASSERT_TRUE(client);
    ASSERT_EQ("0", client->call(make_request("MountVob", "m", "<vob-tag mount-state=\"true\">/vobs/a</vob-tag>"))
                       .attrs["status-code"]);
    std::unique_ptr<Kernel_Side> kernel = kernel_of("u");
    const ordered_json root = kernel->call({{"call", "root"}, {"replica_uuid", REPLICA}});
    ASSERT_TRUE(replied(root)) << root.dump();
    const ordered_json listing = kernel->call(readdir(fh_of(root)));
    ASSERT_TRUE(replied(listing)) << listing.dump();
    EXPECT_EQ((Names{".", "..", "a.c", "d"}), names_of(listing));
    EXPECT_TRUE(replied(kernel->call(lookup(fh_of(root), "d"))));

    size_t lines = 0;
    for (const std::string& line : split_lines(log_text("u"))) {
        if (line.find("cannot be file names") == std::string::npos) continue;
        ++lines;
        EXPECT_NE(std::string::npos, line.find("Skipped 3 name(s)")) << line;
        EXPECT_NE(std::string::npos, line.find("oid:" + id(11) + "@replicauuid:")) << line;
        EXPECT_NE(std::string::npos, line.find("(the first: \"a/b\")")) << line;
    }
    EXPECT_EQ(1u, lines) << log_text("u");

    EXPECT_EQ("0", client->call(make_request("EndView", "end")).attrs["status-code"]);
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
}

// A loaded file of "/vobs/a", a.c (version 21), read through the kernel
// channel of view "c" (text mode "transparent"), its contents on the server.
class E2eCleartext : public E2eFetch {
protected:
    void SetUp() override {
        E2eFetch::SetUp();
        server_cleartext_dir = tree / "versions";
        const std::string dir = server_cleartext_dir + "/" + REPLICA + "/" + id(21);
        ASSERT_EQ(0, ::mkdir(server_cleartext_dir.c_str(), 0700));
        ASSERT_EQ(0, ::mkdir((server_cleartext_dir + "/" + REPLICA).c_str(), 0700));
        ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700));
        for (int i = 0; body.size() < 100000; ++i) body += "line " + std::to_string(i) + " of a.c\n";
        ASSERT_TRUE(write_file(dir + "/transparent", body));
    }

    // a.c's GET: the rule of a fault for it, once (then the server answers
    // as usual), and how many the server received.
    static std::string get_path() { return "/cltxt/" + std::string(REPLICA) + "/" + id(21) + "/transparent"; }
    static std::string once(const std::string& fault) {
        return R"({"match": {"method": "GET", "path": ")" + get_path() + R"("}, "times": 1, "fault": )" + fault +
               R"(, "reply": {"cleartext": true}})";
    }
    static std::string held() { return once(R"({"hold": {"after_parts": 1, "gate": "cltxt"}})"); }
    size_t gets() {
        size_t n = 0;
        for (const fakeserver::Json& r : server().requests())
            n += r["method"].as_string() == "GET" && r["subpath"].as_string() == get_path();
        return n;
    }

    // The daemon of view "c", started by MkView (a new view, VOB "/vobs/a"
    // mounted) or by StartView online (the view as it was).
    void serve(bool fresh) {
        if (fresh) {
            agent = serve_new_view("c");
            std::unique_ptr<PipeClient> client = PipeClient::connect(storage("c"), "tool");
            ASSERT_TRUE(client);
            ASSERT_EQ("0", client->call(make_request("MountVob", "m", "<vob-tag mount-state=\"true\">/vobs/a</vob-tag>"))
                               .attrs["status-code"]);
            server().open_gate("listing");
        } else {
            agent = start_with_request(storage("c"), "<StartView version=\"1\">" + server_element("p", "true") +
                                                         "</StartView>");
            const std::optional<std::string> reply = agent->read_framed_reply();
            ASSERT_TRUE(reply.has_value()) << agent->stderr_text(Millis(0));
            ASSERT_EQ("0", lib_test::read_reply(*reply).attrs["status-code"]) << *reply;
            ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe("c")); }, kStartTimeout));
        }
        kernel = kernel_of("c");
        const ordered_json root = kernel->call({{"call", "root"}, {"replica_uuid", REPLICA}});
        ASSERT_TRUE(replied(root)) << root.dump();
        // The listing stores a.c in the view database.
        ASSERT_TRUE(replied(kernel->call(readdir(fh_of(root)))));
        const ordered_json file = kernel->call(lookup(fh_of(root), "a.c"));
        ASSERT_TRUE(replied(file)) << file.dump();
        a_c = fh_of(file);
    }
    void end_view() {
        std::unique_ptr<PipeClient> client = PipeClient::connect(storage("c"), "ender");
        ASSERT_TRUE(client);
        EXPECT_EQ("0", client->call(make_request("EndView", "end")).attrs["status-code"]);
        EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    }

    json read_a_c() const { return {{"call", "getcleartext"}, {"fh", a_c}, {"buf_len", 1024u}}; }
    // A reply that names a.c's cache file, whole and read-only.
    ::testing::AssertionResult gives_the_cache_file(const ordered_json& reply) {
        if (!replied(reply) || !reply.value("cache_path", false) || reply.value("path", "") != CACHE_FILE)
            return ::testing::AssertionFailure() << reply.dump();
        struct stat st;
        if (::stat(cache(CACHE_FILE).c_str(), &st) != 0 || (st.st_mode & 07777) != 0400)
            return ::testing::AssertionFailure() << "not a file of mode 0400";
        if (read_file(cache(CACHE_FILE)) != body) return ::testing::AssertionFailure() << "not the version's contents";
        return ::testing::AssertionSuccess();
    }
    // A path under the view's cleartext cache directory.
    std::string cache(const std::string& relative) const { return cache_dir("c") + "/" + relative; }
    std::vector<std::string> leaf() const { return list_dir(cache(LEAF)); }
    // Whether the leaf holds only a temporary file with all of the contents.
    bool whole_temporary_only() const {
        const std::vector<std::string> names = leaf();
        return names.size() == 1 && names[0].rfind(".tmp.", 0) == 0 &&
               read_file(cache(LEAF) + "/" + names[0]).size() == body.size();
    }

    // By the hash of the version oid's text; the name is the oid and the
    // text mode.
    const std::string LEAF = ".c/" + std::string(REPLICA) + "/f/35";
    const std::string NAME = id(21) + "-transparent";
    const std::string CACHE_FILE = LEAF + "/" + NAME;
    std::string body;
    std::unique_ptr<Process> agent;
    std::unique_ptr<Kernel_Side> kernel;
    json a_c;
};

TEST_F(E2eCleartext, AFileIsFetchedOnceForAllItsReadersAndThenReadFromTheCache) {
    server_rules = held() + ", " + vob_rules();
    serve(true);
    std::vector<std::unique_ptr<Kernel_Side>> readers;
    for (int i = 0; i < 8; ++i) {
        readers.push_back(kernel_of("c"));
        readers.back()->send(read_a_c());
    }
    // The contents arrived, the reply's end has not: only a temporary file.
    ASSERT_TRUE(wait_until([&] { return whole_temporary_only(); }, kStartTimeout));
    EXPECT_FALSE(file_exists(cache(CACHE_FILE)));
    server().open_gate("cltxt");
    for (std::unique_ptr<Kernel_Side>& reader : readers) EXPECT_TRUE(gives_the_cache_file(reader->receive()));
    EXPECT_EQ(std::vector<std::string>{NAME}, leaf());
    EXPECT_EQ(1u, gets());

    // Later reads, on old and new connections, do not ask the server.
    EXPECT_TRUE(gives_the_cache_file(kernel->call(read_a_c())));
    EXPECT_TRUE(gives_the_cache_file(kernel_of("c")->call(read_a_c())));
    EXPECT_EQ(1u, gets());
    end_view();
}

TEST_F(E2eCleartext, ACacheFileAppearsWholeOrNotAtAll) {
    const struct {
        const char* what;
        const char* fault;
    } rows[] = {
        {"the server fails", R"({"http": 500})"},
        {"the transfer is cut short", R"({"drop_after": 50000})"},
        {"the connection drops", R"({"drop_after": 0})"},
    };
    // Each answers one GET, in this order.
    std::string faults;
    for (const auto& row : rows) faults += once(row.fault) + ", ";
    server_rules = faults + vob_rules();
    serve(true);
    size_t asked = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const ordered_json refused = kernel->call(read_a_c());
        EXPECT_TRUE(replied(refused, QEL_ST_NO_CLEARTEXT)) << refused.dump();
        EXPECT_EQ(++asked, gets());
        // Neither the file nor a temporary one.
        EXPECT_EQ(std::vector<std::string>{}, leaf());
    }
    // The next read fetches the file whole.
    EXPECT_TRUE(gives_the_cache_file(kernel->call(read_a_c())));
    EXPECT_EQ(asked + 1, gets());
    end_view();
}

TEST_F(E2eCleartext, ADaemonKilledDuringATransferFetchesTheFileOnceAfterItsRestart) {
    server_rules = held() + ", " + vob_rules();
    serve(true);
    kernel->send(read_a_c());
    ASSERT_TRUE(wait_until([&] { return whole_temporary_only(); }, kStartTimeout));
    ASSERT_TRUE(agent->signal_group(SIGKILL));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(-SIGKILL));
    server().open_gate("cltxt");
    // What the transfer left is no cache file.
    const std::vector<std::string> left = leaf();
    EXPECT_FALSE(file_exists(cache(CACHE_FILE)));

    serve(false);
    EXPECT_TRUE(gives_the_cache_file(kernel->call(read_a_c())));
    EXPECT_TRUE(gives_the_cache_file(kernel->call(read_a_c())));
    EXPECT_EQ(2u, gets());
    // The killed transfer's temporary file stays aside, never served.
    for (const std::string& name : left) EXPECT_TRUE(file_exists(cache(LEAF) + "/" + name)) << name;
    end_view();
}

} // namespace
} // namespace e2e
