#pragma once
// The shared ground of the end-to-end tests of view updates and restores:
// update streams in the test server's form, the server's rules for them,
// and a fixture whose daemon serves view "u" with "/vobs/a" mounted, with
// readers for what the server was asked, the update log, the cleartext
// cache and the kernel's side.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "agent_fixture.h"
#include "lib/fetch/update_log_reader.h"
#include "pipe_client.h"
#include "tools/korva_sim/kernel_side.h"

namespace e2e {

using korva_sim::json;
using korva_sim::ordered_json;
using korva_sim_test::Kernel_Side;
using korva_sim_test::replied;
using Lines = std::vector<std::string>;

const char* const REPLICA = "0a000000-0000-4000-8000-00000000000a";
const char* const FAMILY = "0f000000-0000-4000-8000-00000000000a";
const char* const AUTO_SCOPE = "f0cf3574-a895-e311-0000-000000000000";
const char* const SYNC_RPC = "Ostrel_Norvane::syncfetch_rpc";
const char* const LOOKUP_RPC = "Ostrel_Norvane::lookup_rpc";

inline std::string id(unsigned n) {
    char text[40];
    std::snprintf(text, sizeof text, "0e000000-0000-4000-8000-%012x", n);
    return text;
}

inline std::string vstat(unsigned n, unsigned mtype, unsigned elem = 0) {
    const bool dir = mtype == 2 || mtype == 3;
    return R"({"fstat": {"type": )" + std::to_string(dir ? 2 : 1) + R"(, "mode": )" +
           std::to_string(dir ? 0755 : 0644) + R"(, "nlink": 1}, "mtype": )" + std::to_string(mtype) +
           R"(, "obj_oid": ")" + id(n) + R"(", "elem_oid": ")" + id(elem != 0 ? elem : n) + R"("})";
}

// An update stream, entry by entry, in the test server's form. A surgical
// update's stream (`by_paths`) has its objects without scope and VOB
// brackets.
class Stream {
public:
    explicit Stream(unsigned gn, bool by_paths = false) : m_by_paths(by_paths) {
        add(R"({"begin": )" + std::to_string(gn) + "}");
        if (by_paths) return;
        add(R"({"scope": {"scope_oid": ")" + std::string(AUTO_SCOPE) + R"(", "gn": )" + std::to_string(gn) + "}}");
        add(R"({"vob": {"replica": ")" + std::string(REPLICA) + R"(", "family": ")" + FAMILY + R"("}})");
    }
    // Version `n` (kind `mtype`) of element `elem` at `path` under the
    // directory element `parent` (0: the VOB's family, the root).
    Stream& load(const std::string& path, unsigned parent, unsigned n, unsigned mtype, unsigned elem,
                 const std::string& prev = "") {
        const std::string parent_oid = parent == 0 ? FAMILY : id(parent);
        add(R"({"elem": {"path": ")" + path + R"(", "parent": ")" + parent_oid + R"(", "replica": ")" + REPLICA +
            R"(", "oid": ")" + id(n) + R"(", "prev": ")" + prev + R"(", "cur": "/main/)" + std::to_string(n) +
            R"(", "obj": )" + vstat(n, mtype, elem) + R"(, "elem": )" + vstat(elem, mtype == 3 ? 2 : 5) + "}}");
        return *this;
    }
    Stream& unload(const std::string& path, unsigned parent, unsigned n) {
        add(R"({"elem": {"path": ")" + path + R"(", "parent": ")" + id(parent) + R"(", "replica": ")" + REPLICA +
            R"(", "oid": ")" + id(n) + R"(", "prev": "/main/)" + std::to_string(n) + R"("}})");
        return *this;
    }
    std::string json() const {
        return "[" + m_entries + (m_by_paths ? "" : R"(, {"end": "vob"}, {"end": "scope"})") +
               R"(, {"end": "operation"}])";
    }
    // The parts before the stream's first object.
    static constexpr unsigned HEAD_PARTS = 3;

private:
    void add(const std::string& entry) { m_entries += (m_entries.empty() ? "" : ", ") + entry; }
    bool m_by_paths;
    std::string m_entries;
};

// The first load: the root (11 of 10) with a.c (21 of 20), b.c (31 of 30)
// and the directory d (41 of 40) holding d/e.c (51 of 50).
inline Stream first_load() {
    Stream s(2);
    s.load("/vobs/a", 0, 11, 3, 10)
        .load("/vobs/a/a.c", 10, 21, 6, 20)
        .load("/vobs/a/b.c", 10, 31, 6, 30)
        .load("/vobs/a/d", 10, 41, 3, 40)
        .load("/vobs/a/d/e.c", 40, 51, 6, 50);
    return s;
}

// A sync fetch rule answering once with `stream`, `fault` and `status`.
inline std::string sync_rule(const Stream& stream, const std::string& fault = "", const std::string& status = "") {
    return R"({"match": {"rpc": ")" + std::string(SYNC_RPC) + R"("}, "times": 1, "reply": {"stream": )" +
           stream.json() + (status.empty() ? "" : R"(, "status": )" + status) + "}" +
           (fault.empty() ? "" : R"(, "fault": )" + fault) + "}";
}

inline std::string hold(unsigned after_parts, const std::string& gate) {
    return R"({"hold": {"after_parts": )" + std::to_string(after_parts) + R"(, "gate": ")" + gate + R"("}})";
}

inline std::string vob_rule() {
    return R"({"match": {"rpc": "Ostrel_Norvane::getvobinfo_rpc"}, "reply": {"vobinfo": {"VobFamilyUuid": ")" +
           std::string(FAMILY) + R"(", "VobReplicaUuid": ")" + REPLICA +
           R"(", "VobStorage": "host:/store/a.vbs", "IsPublic": "1", "IsProject": "0"}}})";
}

// The update log at `path` once its tail is written (at most 30 s).
inline update_log::Log finished_log(const std::string& path) {
    update_log::Log log;
    EXPECT_TRUE(wait_until(
        [&] {
            log = update_log::read(path);
            return log.tail.count("Cancelled") != 0;
        },
        Millis(30000)))
        << read_file(path);
    EXPECT_TRUE(log.malformed.empty()) << log.malformed.front();
    return log;
}

// A log's action lines, each as "<label> <value>".
inline Lines actions(const update_log::Log& log) {
    Lines out;
    for (const update_log::Line& line : log.actions) out.push_back(line.label + " " + line.value);
    return out;
}

// Sends Update (with `flags`) for the view in `storage` through `client`;
// checks the reply (0, a log under the storage's "log") and waits for the
// log's tail.
inline update_log::Log run_update(PipeClient& client, const std::string& storage, const std::string& txid,
                                  const std::string& flags = "") {
    const lib_test::Reply reply = client.call(make_request("Update", txid, flags));
    EXPECT_EQ("0", reply.attrs.count("status-code") ? reply.attrs.at("status-code") : "")
        << (reply.children.count("status-message") ? reply.children.at("status-message") : "no reply");
    const std::string log = reply.children.count("log-file") ? reply.children.at("log-file") : "";
    EXPECT_EQ(0u, log.rfind(storage + "/log/update.", 0)) << log;
    return finished_log(log);
}

class E2eUpdate : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        // The server's contents of every file version the tests load.
        server_cleartext_dir = tree / "versions";
        ASSERT_EQ(0, ::mkdir(server_cleartext_dir.c_str(), 0700));
        ASSERT_EQ(0, ::mkdir((server_cleartext_dir + "/" + REPLICA).c_str(), 0700));
        std::vector<unsigned> versions = {21, 22, 31, 51, 52};
        for (unsigned run = 0; run < 20; ++run) versions.insert(versions.end(), {100 + run, 200 + run});
        for (unsigned n : versions) {
            const std::string dir = server_cleartext_dir + "/" + REPLICA + "/" + id(n);
            ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700));
            ASSERT_TRUE(write_file(dir + "/transparent", body(n)));
        }
    }
    static std::string body(unsigned n) { return "contents of version " + std::to_string(n) + "\n"; }
    static std::string get_path(unsigned n) {
        return "/cltxt/" + std::string(REPLICA) + "/" + id(n) + "/transparent";
    }
    // The GETs of version `n` the server received.
    size_t gets(unsigned n) { return server_gets(get_path(n)); }
    // The cache file of version `n` in the view's cleartext cache ("" when
    // there is none).
    std::string cached(unsigned n) const {
        const std::map<std::string, std::string> files = cleartext_files("u");
        const auto it = files.find(id(n) + "-transparent");
        return it != files.end() ? it->second : "";
    }
    static unsigned mode_of(const std::string& path) {
        struct stat st{};
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }

    // Starts the daemon of view "u" with the server's `sync_rules` (in the
    // order the Updates use them) and mounts "/vobs/a".
    void serve(const std::vector<std::string>& sync_rules, const std::string& more_rules = "") {
        server_rules = vob_rule();
        for (const std::string& rule : sync_rules) server_rules += ", " + rule;
        if (!more_rules.empty()) server_rules += ", " + more_rules;
        agent = serve_new_view("u");
        client = PipeClient::connect(storage("u"), "tool");
        ASSERT_TRUE(client);
        ASSERT_EQ("0", client->call(make_request("MountVob", "m", "<vob-tag mount-state=\"true\">/vobs/a</vob-tag>"))
                           .attrs["status-code"]);
    }

    lib_test::Reply update(const std::string& txid, const std::string& flags = "") {
        return client->call(make_request("Update", txid, flags));
    }
    update_log::Log run_update(const std::string& txid, const std::string& flags = "") {
        return e2e::run_update(*client, storage("u"), txid, flags);
    }

    // A surgical Update of `paths`.
    static std::string surgical_request(const std::string& txid, const Lines& paths) {
        std::string body = R"(<update-flags surgical="true"/><update-paths>)";
        for (const std::string& path : paths) body += "<path>" + path + "</path>";
        return make_request("Update", txid, body + "</update-paths>");
    }
    // The paths that the server's sync fetch number `n` named, and whether
    // it asked by paths.
    Lines scope_paths(size_t n, std::string& use_paths) {
        Lines paths;
        const std::vector<fakeserver::Json> fetches = server_calls(SYNC_RPC);
        if (n >= fetches.size()) return paths;
        for (const std::vector<std::string>& arg : fakeserver::string_rows(fetches[n]["rpcargs"])) {
            if (arg.size() != 2) continue;
            if (arg[0] == "ScopePath") paths.push_back(arg[1]);
            if (arg[0] == "UsePaths") use_paths = arg[1];
        }
        return paths;
    }

    size_t asked(const std::string& rpc) { return server_calls(rpc).size(); }
    // The arguments of the server's sync fetches, in order.
    std::vector<std::map<std::string, std::string>> sync_args() {
        std::vector<std::map<std::string, std::string>> out;
        for (const fakeserver::Json& r : server_calls(SYNC_RPC)) {
            std::map<std::string, std::string> args;
            const fakeserver::Json& pairs = r["rpcargs"];
            for (size_t i = 0; i < pairs.size(); ++i)
                args[pairs[i][size_t{0}].as_string()] = pairs[i].size() > 1 ? pairs[i][size_t{1}].as_string() : "";
            out.push_back(args);
        }
        return out;
    }
    bool sync_requested(size_t count) {
        return server().wait_for_log([&](const std::vector<fakeserver::Json>& log) {
            size_t n = 0;
            for (const fakeserver::Json& r : log) n += r["rpc"].as_string() == SYNC_RPC;
            return n >= count;
        });
    }

    std::unique_ptr<Kernel_Side> kernel() {
        std::unique_ptr<Kernel_Side> side(new Kernel_Side);
        EXPECT_EQ(0, side->connect(korva_root, "tag-u", uuid_for("u")));
        return side;
    }
    static json lookup(const json& dir, const std::string& name) {
        return {{"call", "lookup"}, {"dir", dir}, {"name", name}};
    }
    static json fh_of(const ordered_json& reply) { return korva_sim_test::field_of(reply, "fh"); }
    // The object oid that a look-up of `path` (from the VOB root) finds.
    std::string oid_at(Kernel_Side& side, const std::vector<std::string>& path) {
        ordered_json at = side.call({{"call", "root"}, {"replica_uuid", REPLICA}});
        if (!replied(at)) return "root: " + at.dump();
        for (const std::string& name : path) {
            at = side.call(lookup(fh_of(at), name));
            if (!replied(at)) return name + ": " + at.dump();
        }
        return at["attr"].value("obj_oid", std::string("?"));
    }

    // Whether notices that the names (directory oid, name) changed all
    // reached `side` in time; the notices seen are used up.
    static bool notified(Kernel_Side& side, const std::vector<std::pair<std::string, std::string>>& names) {
        const auto all_seen = [&] {
            for (const auto& name : names) {
                bool seen = false;
                for (const ordered_json& n : side.notices)
                    seen = seen || (n.value("notice", "") == "name" && n.value("oid", "") == name.first &&
                                    n.value("name", "") == name.second);
                if (!seen) return false;
            }
            return true;
        };
        const bool seen = wait_until(
            [&] {
                side.receive(20);
                return all_seen();
            },
            Millis(5000));
        side.notices.clear();
        return seen;
    }

    std::unique_ptr<Process> agent;
    std::unique_ptr<PipeClient> client;
};

// The scopes that the server's sync fetches named, each fetch as its
// (path, scope oid) pairs in order.
inline std::vector<std::vector<std::pair<std::string, std::string>>> scopes_sent(const std::vector<fakeserver::Json>& log) {
    std::vector<std::vector<std::pair<std::string, std::string>>> out;
    for (const fakeserver::Json& r : log) {
        if (r["rpc"].as_string() != SYNC_RPC) continue;
        out.emplace_back();
        for (const std::vector<std::string>& arg : fakeserver::string_rows(r["rpcargs"])) {
            if (arg.size() == 2 && arg[0] == "ScopePath") out.back().emplace_back(arg[1], "");
            if (arg.size() == 2 && arg[0] == "ScopeOid" && !out.back().empty()) out.back().back().second = arg[1];
        }
    }
    return out;
}

} // namespace e2e
