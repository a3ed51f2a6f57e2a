// The element operations killed part-way: the daemon dies (SIGKILL, from a
// test build's kill point) at a chosen file call or step of Checkout,
// Hijack, Unhijack, Checkin, Mkelem, Move or Uncheckout; it is started again with StartView
// and the view mounted afresh. The name then shows the state before the
// request or after it, whole: never hidden, never a part. The request sent
// again ends as an uninterrupted one would, and no temporary copy is left
// in the listing.
//
// The sweep is seeded (OSTREL_TEST_SEED, else at random; the seed is
// printed) and bounded in time (OSTREL_TEST_SWEEP_SECONDS, else 45 s; a
// long time tries every point): every operation gets at least one point,
// then points are taken in the seed's order while the time lasts.
//
// Points inside a copy (its writes, mode, fsync) kill the daemon while it
// holds a file of its own mount open with writes korva_fuse has not told
// it of: the dying process's close waits on korva_fuse, which answers it
// once it sees the daemon ending.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "element_bench.h"

namespace e2e {
namespace {

using Kind = Served_Vob::Kind;

// How long the sweep takes new points for, unless the environment says.
constexpr std::chrono::seconds kSweepBudget{45};

std::chrono::seconds sweep_budget() {
    const char* text = std::getenv("OSTREL_TEST_SWEEP_SECONDS");
    if (text == nullptr || *text == '\0') return kSweepBudget;
    return std::chrono::seconds(std::strtoul(text, nullptr, 10));
}
// How long a killed daemon may take to be gone.
constexpr Millis kGoneTimeout{60000};
// The files made for the sweep, one per point tried.
constexpr int kFiles = 40;
// Big enough for a copy of several pieces.
constexpr size_t kContentSize = 300 * 1024;

std::string content_of(int n) {
    std::string text;
    const std::string line = "line of crash file " + std::to_string(n) + "\n";
    while (text.size() < kContentSize) text += line;
    return text;
}

class E2eCrash : public E2eElement {
protected:
    // The kill points are test hooks.
    E2eCrash() { program = OSTREL_AGENT_TEST_HOOKS_PATH; }

    std::string path_of(int n) const { return "/vob1/sub/crash" + std::to_string(n) + ".c"; }

    std::string request(const std::string& op, const std::string& body) { return make_request(op, "x", body); }
    std::string path_body(const std::string& path) { return "<path>" + path + "</path>"; }
    std::string replica() const { return std::string("<replica-uuid>") + Served_Vob::REPLICA + "</replica-uuid>"; }
    std::string checkin(const std::string& path, const std::string& version) {
        return request("Checkin", path_body(path) + replica() + "<new-ver-oid>" + version + "</new-ver-oid>");
    }
    std::string mkelem(const std::string& path, const std::string& version) {
        return request("Mkelem",
                       path_body(path) + replica() + "<mkelem-flags/><new-ver-oid>" + version + "</new-ver-oid>");
    }
    std::string metadata(const std::string& path, const std::string& tag) {
        const lib_test::Reply reply = call(make_request("GetMetadata", "gm", path_body(path)));
        for (const lib_test::Reply_Element& element : results(reply))
            if (element.tag == tag) return element.text;
        return "(none: " + status(reply) + " " + message(reply) + ")";
    }

    // The daemon (killed, or killed now) is gone; it is started again with
    // StartView, `kill_at` its kill point ("" for none), and the view is
    // mounted afresh.
    void restart(const std::string& kill_at) {
        mount.reset();
        client.reset();
        if (!agent->exited()) agent->signal_group(SIGKILL);
        ASSERT_TRUE(agent->wait_exit(kGoneTimeout).has_value()) << "the daemon is not gone";
        if (kill_at.empty())
            extra_env.erase("OSTREL_TEST_KILL_AT");
        else
            extra_env["OSTREL_TEST_KILL_AT"] = kill_at;
        agent = start_with_request(storage(VIEW),
                                   "<StartView version=\"1\">" + server_element("p", "true") + "</StartView>");
        const std::optional<std::string> started = agent->read_framed_reply();
        ASSERT_TRUE(started.has_value()) << agent->stderr_text(Millis(0));
        ASSERT_EQ("0", lib_test::read_reply(*started).attrs["status-code"]) << *started;
        client = PipeClient::connect(storage(VIEW), "crash");
        ASSERT_TRUE(client) << "no connection after the restart";
        ASSERT_TRUE(mount_view());
    }

    // Sends `text` to a daemon that is to die at its kill point: no reply,
    // and the daemon gone by SIGKILL.
    void send_to_die(const std::string& text) {
        const lib_test::Reply reply = call(text);
        EXPECT_FALSE(reply.parsed) << "the kill point was not reached: " << status(reply) << " " << message(reply);
        const std::optional<int> ended = agent->wait_exit(kGoneTimeout);
        ASSERT_TRUE(ended.has_value()) << "the killed daemon did not end";
        // The watcher's status for a killed daemon.
        EXPECT_EQ(2, *ended);
    }

    // No copy under a temporary name shows in `path`'s directory.
    void expect_no_leftover(const std::string& path) {
        const std::string dir = path.substr(0, path.rfind('/'));
        for (const std::string& name : listing(dir))
            EXPECT_EQ(std::string::npos, name.find(".ostrel-copy")) << dir << "/" << name;
    }
};

// One operation's crash: what it needs first (with the daemon unkilled),
// the request, and the checks after the crash and after the retry.
struct Op_Case {
    const char* name;
    std::vector<std::string> points;
    std::function<void(int)> prepare;
    std::function<std::string(int)> request;
    std::function<void(int)> after_crash;
    std::function<void(int)> after_retry;
    // The points at which the request's change is whole already, with the
    // status the request sent again answers then (as it answers when sent
    // again after an uninterrupted run); elsewhere the retry answers 0.
    std::map<std::string, std::string> repeated = {};
};

TEST_F(E2eCrash, AKilledOperationLeavesTheNameWholeAndARetryFinishesIt) {
    if (!mount_view()) return;
    vob().batch([&] {
        for (int n = 0; n < kFiles; ++n) vob().mkelem(path_of(n), Kind::file, content_of(n));
    });
    update();
    ASSERT_EQ(content_of(0), file(path_of(0)).bytes);

    // What each round keeps between its steps.
    std::map<int, std::string> version;
    std::map<int, std::string> edited;
    const std::string edit = "edited in the view\n";

    // The point of the round running.
    std::string current_point;
    std::vector<Op_Case> ops;
    ops.push_back({"Checkout",
                   {"checkout-unhijacked:1", "create:1", "copy-write:1", "chmod:1", "fsync:1", "rename:1"},
                   [&](int n) { version[n] = vob().checkout(path_of(n)); },
                   [&](int n) { return checkout_request(path_of(n), version[n]); },
                   [&](int n) {
                       // Checked out on the server with no file of its own
                       // yet, the name shows the checked-out version, as it
                       // does when the daemon dies before the request
                       // comes; or the whole copy once it took the name.
                       const View_File seen = file(path_of(n));
                       ASSERT_TRUE(seen.exists);
                       EXPECT_EQ('f', seen.type);
                       EXPECT_TRUE(seen.bytes == content_of(n)) << seen.bytes.size() << " bytes";
                       EXPECT_EQ("true", metadata(path_of(n), "is-checked-out"));
                   },
                   [&](int n) {
                       const View_File seen = file(path_of(n));
                       EXPECT_TRUE(seen.bytes == content_of(n)) << seen.bytes.size() << " bytes";
                       EXPECT_EQ(0644u, seen.mode);
                   }});
    ops.push_back({"Hijack",
                   {"create:1", "copy-write:1", "fsync:1", "hijack-copied:1", "hijack-marked:1", "rename:1"},
                   [&](int) {},
                   [&](int n) { return request("Hijack", path_body(path_of(n))); },
                   [&](int n) {
                       // The loaded version, or the hijacked copy once the
                       // rename gave it the name: the same bytes, whole.
                       const View_File seen = file(path_of(n));
                       ASSERT_TRUE(seen.exists);
                       EXPECT_EQ('f', seen.type);
                       EXPECT_TRUE(seen.bytes == content_of(n)) << seen.bytes.size() << " bytes";
                       EXPECT_EQ(current_point == "hijack-marked:1" ? "true" : "false",
                                 metadata(path_of(n), "is-hijacked"));
                   },
                   [&](int n) {
                       EXPECT_TRUE(file(path_of(n)).bytes == content_of(n));
                       EXPECT_EQ("true", metadata(path_of(n), "is-hijacked"));
                   }});
    ops.push_back({"Unhijack",
                   {"unlink:1", "unhijack-removed:1"},
                   [&](int n) {
                       const lib_test::Reply hijacked = call(request("Hijack", path_body(path_of(n))));
                       ASSERT_EQ("0", status(hijacked)) << message(hijacked);
                       edited[n] = content_of(n) + edit;
                       ASSERT_TRUE(write_file(in_view(path_of(n)), edited[n]));
                   },
                   [&](int n) { return request("Unhijack", path_body(path_of(n))); },
                   [&](int n) {
                       // The hijacked file as the user left it, or the
                       // loaded version once the file went with its hijack.
                       const bool removed = current_point == "unhijack-removed:1";
                       const View_File seen = file(path_of(n));
                       ASSERT_TRUE(seen.exists);
                       EXPECT_TRUE(seen.bytes == (removed ? content_of(n) : edited[n])) << seen.bytes.size() << " bytes";
                       EXPECT_EQ(removed ? "false" : "true", metadata(path_of(n), "is-hijacked"));
                   },
                   [&](int n) {
                       EXPECT_TRUE(file(path_of(n)).bytes == content_of(n));
                       EXPECT_EQ("false", metadata(path_of(n), "is-hijacked"));
                   },
                   // Nothing is hijacked any more.
                   {{"unhijack-removed:1", "20002"}}});
    ops.push_back({"Checkin",
                   {"open:1", "unlink:1"},
                   [&](int n) {
                       const lib_test::Reply out = call(checkout_request(path_of(n), vob().checkout(path_of(n))));
                       ASSERT_EQ("0", status(out)) << message(out);
                       edited[n] = content_of(n) + edit;
                       ASSERT_TRUE(write_file(in_view(path_of(n)), edited[n]));
                       version[n] = vob().checkin(path_of(n), edited[n]);
                   },
                   [&](int n) { return checkin(path_of(n), version[n]); },
                   [&](int n) {
                       const View_File seen = file(path_of(n));
                       EXPECT_TRUE(seen.bytes == edited[n]) << seen.bytes.size() << " bytes";
                   },
                   [&](int n) {
                       EXPECT_TRUE(file(path_of(n)).bytes == edited[n]);
                       const std::map<std::string, std::string> cached = cached_versions();
                       EXPECT_TRUE(cached.count(version[n]) != 0 && cached.at(version[n]) == edited[n]);
                   }});
    ops.push_back({"Mkelem",
                   {"open:1", "unlink:1"},
                   [&](int n) {
                       edited[n] = "made in the view " + std::to_string(n) + "\n";
                       const std::string path = "/vob1/sub/new" + std::to_string(n) + ".c";
                       ASSERT_TRUE(write_file(in_view(path), edited[n]));
                       version[n] = vob().mkelem(path, Kind::file, edited[n]);
                   },
                   [&](int n) {
                       return mkelem("/vob1/sub/new" + std::to_string(n) + ".c", version[n]);
                   },
                   [&](int n) {
                       const View_File seen = file("/vob1/sub/new" + std::to_string(n) + ".c");
                       EXPECT_TRUE(seen.bytes == edited[n]) << seen.bytes.size() << " bytes";
                   },
                   [&](int n) {
                       EXPECT_EQ(edited[n], file("/vob1/sub/new" + std::to_string(n) + ".c").bytes);
                   }});

    const auto moved_name = [](int n, bool to_new) { return "/vob1/sub/" + std::string(to_new ? "q" : "p") + std::to_string(n) + ".txt"; };
    ops.push_back({"Move",
                   {"move-refreshed:1", "rename:1"},
                   [&](int n) {
                       edited[n] = "moved in the view " + std::to_string(n) + "\n";
                       ASSERT_TRUE(write_file(in_view(moved_name(n, false)), edited[n]));
                   },
                   [&](int n) {
                       return make_request("Move", "mv",
                                           "<src-path>/vob1/sub</src-path><dst-path>/vob1/sub</dst-path><old-name>p" +
                                               std::to_string(n) + ".txt</old-name><new-name>q" + std::to_string(n) +
                                               ".txt</new-name>");
                   },
                   [&](int n) {
                       // Under one name or the other, whole.
                       const View_File old_file = file(moved_name(n, false));
                       const View_File new_file = file(moved_name(n, true));
                       EXPECT_NE(old_file.exists, new_file.exists);
                       EXPECT_EQ(edited[n], old_file.exists ? old_file.bytes : new_file.bytes);
                   },
                   [&](int n) {
                       EXPECT_FALSE(file(moved_name(n, false)).exists);
                       EXPECT_EQ(edited[n], file(moved_name(n, true)).bytes);
                   }});
    ops.push_back({"Uncheckout",
                   {"uncheckout-flushed:1"},
                   [&](int n) {
                       const lib_test::Reply out = call(checkout_request(path_of(n), vob().checkout(path_of(n))));
                       ASSERT_EQ("0", status(out)) << message(out);
                       vob().uncheckout(path_of(n));
                   },
                   [&](int n) { return request("Uncheckout", path_body(path_of(n))); },
                   [&](int n) {
                       // The checked-out file stays in place either way.
                       EXPECT_TRUE(file(path_of(n)).bytes == content_of(n));
                   },
                   [&](int n) {
                       EXPECT_TRUE(file(path_of(n)).bytes == content_of(n));
                       EXPECT_EQ("false", metadata(path_of(n), "is-checked-out"));
                   }});

    // The rounds: each operation's first point in the seed's order, then
    // the rest shuffled together.
    const char* seed_text = std::getenv("OSTREL_TEST_SEED");
    const unsigned seed = seed_text != nullptr ? static_cast<unsigned>(std::strtoul(seed_text, nullptr, 10))
                                               : std::random_device{}();
    std::cout << "crash sweep seed " << seed << " (OSTREL_TEST_SEED)" << std::endl;
    std::mt19937 random(seed);
    std::vector<std::pair<size_t, std::string>> first, rest;
    for (size_t i = 0; i < ops.size(); ++i) {
        std::vector<std::string> points = ops[i].points;
        std::shuffle(points.begin(), points.end(), random);
        first.emplace_back(i, points[0]);
        for (size_t p = 1; p < points.size(); ++p) rest.emplace_back(i, points[p]);
    }
    std::shuffle(rest.begin(), rest.end(), random);
    first.insert(first.end(), rest.begin(), rest.end());

    const std::chrono::seconds budget = sweep_budget();
    const auto started = std::chrono::steady_clock::now();
    int n = 0;
    std::vector<std::string> tried;
    for (const auto& [index, point] : first) {
        if (n >= static_cast<int>(first.size()) || n >= kFiles) break;
        if (n >= static_cast<int>(ops.size()) && std::chrono::steady_clock::now() - started > budget) break;
        const Op_Case& op = ops[index];
        SCOPED_TRACE(std::string(op.name) + " killed at " + point + " (file " + std::to_string(n) + ")");
        tried.push_back(std::string(op.name) + "@" + point);
        current_point = point;
        op.prepare(n);
        restart(point);
        send_to_die(op.request(n));
        restart("");
        op.after_crash(n);
        const lib_test::Reply retried = call(op.request(n));
        const auto repeated = op.repeated.find(point);
        EXPECT_EQ(repeated == op.repeated.end() ? "0" : repeated->second, status(retried)) << message(retried);
        op.after_retry(n);
        expect_no_leftover(path_of(n));
        ++n;
        if (HasFatalFailure()) break;
    }
    std::string all;
    for (const std::string& one : tried) all += " " + one;
    std::cout << "crash points tried:" << all << std::endl;
}

} // namespace
} // namespace e2e
