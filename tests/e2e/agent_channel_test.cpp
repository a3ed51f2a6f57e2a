// The client request channel of a serving daemon, driven as client tools
// drive it: connection lines into the listener pipe, framed requests on the
// client's own request pipe, framed replies on its response pipe. Also what
// it leaves behind: nothing of a client once it has gone, and nothing in
// ".ipc" once the daemon has ended.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent_fixture.h"
#include "pipe_client.h"

namespace e2e {
namespace {

using lib_test::Reply;
using E2eChannel = AgentTest;

std::set<std::string> entries(const std::string& dir) {
    const std::vector<std::string> names = list_dir(dir);
    return std::set<std::string>(names.begin(), names.end());
}

// The descriptors of `proc` open on the client channel's pipes (the view
// database's engine keeps files open as it goes, so a count of every
// descriptor says nothing of the channel).
size_t pipe_descriptors(const std::string& proc, const std::string& ipc) {
    size_t count = 0;
    for (const std::string& fd : list_dir(proc + "/fd")) {
        char target[4096];
        const ssize_t n = ::readlink((proc + "/fd/" + fd).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        const std::string path(target, static_cast<size_t>(n));
        count += path.compare(0, ipc.size() + 1, ipc + "/") == 0 || path.compare(0, 5, "pipe:") == 0;
    }
    return count;
}

std::unique_ptr<PipeClient> connect_or_fail(const std::string& storage, const std::string& id) {
    std::string error;
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage, id, kStartTimeout, &error);
    EXPECT_TRUE(client) << error;
    return client;
}

// A request that the daemon answers without touching the view: its root
// names no operation, so the reply carries the tx-id back.
std::string probe(const std::string& txid) { return make_request("Frobnicate", txid); }

// A request frame as send() writes it.
std::string pipe_frame(const std::string& request) {
    return std::to_string(request.size()) + "\n" + request;
}

void expect_probe_reply(const Reply& reply, const std::string& txid) {
    EXPECT_TRUE(reply.parsed) << txid;
    EXPECT_EQ(reply.root, "XMLError") << txid;
    EXPECT_EQ(reply.attrs.count("tx-id") ? reply.attrs.at("tx-id") : "<none>", txid);
}

TEST_F(E2eChannel, RequestsAndErrorRepliesOnTheClientsOwnPipes) {
    std::unique_ptr<Process> agent =
        serve_new_view("c", {"-trace_level", "4", "-trace_subsystem", "OSTRELAGENT"});
    const std::string st = storage("c");
    ASSERT_TRUE(PipeClient::send_connection_line(st, "tool\n"));
    const std::string request_pipe = PipeClient::request_pipe(st, "tool");
    const std::string response_pipe = PipeClient::response_pipe(st, "tool");
    ASSERT_TRUE(wait_until([&] { return is_fifo(request_pipe) && is_fifo(response_pipe); },
                           kStartTimeout));
    for (const std::string& path : {request_pipe, response_pipe}) {
        struct stat st_buf;
        ASSERT_EQ(::stat(path.c_str(), &st_buf), 0);
        EXPECT_EQ(st_buf.st_mode & 07777, 0700u) << path;
    }
    std::string error;
    std::unique_ptr<PipeClient> client = PipeClient::attach(st, "tool", kStartTimeout, &error);
    ASSERT_TRUE(client) << error;

    struct Case {
        const char* name;
        std::string request;
        const char* root;
        const char* code;
        const char* txid;    // null: no tx-id attribute
        const char* message; // null: not checked; "": no status-message
    };
    const Case cases[] = {
        {"unknown root", make_request("Frobnicate", "42"), "XMLError", "20020", "42",
         "Unrecognized IPC: \"Frobnicate\".\n"},
        {"root in the wrong case", make_request("endView", "43"), "XMLError", "20020", "43",
         "Unrecognized IPC: \"endView\".\n"},
        {"not XML, with a password", "<Frob tx-id=\"44\"><password>hunter2</password>", "XMLError",
         "20020", "44", "Parse error in \"<Frob tx-id=\"44\"><password>***</password>\".\n"},
        {"no version", make_request("EndView", "45", "", ""), "EndView", "20021", "",
         "Parse error in \"<EndView tx-id=\"45\"/>\".\n"},
        {"version too new", make_request("EndView", "46", "", "2"), "EndView", "20024", "",
         "Parse error in \"<EndView version=\"2\" tx-id=\"46\"/>\".\n"},
        {"no tx-id", make_request("EndView", ""), "EndView", "20021", "", nullptr},
        {"MkView of the served view", mkview_request("c"), "MkView", "20018", nullptr, nullptr},
        {"StartView while the view runs",
         make_request("StartView", "", "<server><password>pw-start</password></server>"),
         "StartView", "20001", nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Reply reply = client->call(c.request);
        ASSERT_TRUE(reply.parsed);
        EXPECT_EQ(reply.root, c.root);
        EXPECT_EQ(reply.attrs.count("status-code") ? reply.attrs.at("status-code") : "", c.code);
        if (c.txid == nullptr) {
            EXPECT_FALSE(reply.has_attr("tx-id"));
        } else {
            EXPECT_EQ(reply.attrs.count("tx-id") ? reply.attrs.at("tx-id") : "<none>", c.txid);
        }
        if (c.message != nullptr && *c.message == '\0') {
            EXPECT_FALSE(reply.has_child("status-message"));
        } else if (c.message != nullptr) {
            EXPECT_EQ(reply.children.count("status-message") ? reply.children.at("status-message")
                                                             : "<none>",
                      c.message);
        }
    }
    // Once the first request had arrived the pipes' names went; the
    // connection goes on through the open ends.
    EXPECT_EQ(entries(st + "/.ipc"), std::set<std::string>{"rlistener"});
    // The view is served as before.
    expect_probe_reply(client->call(probe("still")), "still");

    // The trace shows request texts, never their passwords.
    const std::string traces = all_traces();
    EXPECT_NE(traces.find("<password>***</password>"), std::string::npos);
    EXPECT_EQ(traces.find("hunter2"), std::string::npos);
    EXPECT_EQ(traces.find("pw-start"), std::string::npos);
    // A reply's frame is traced on one line (its line ends escaped), with
    // the frame's size: the length line, the document and the end line.
    const std::string writing = "::Calling write for: ";
    const size_t at = traces.find(writing);
    ASSERT_NE(at, std::string::npos);
    const size_t frame_at = at + writing.size();
    const std::string record = traces.substr(frame_at, traces.find('\n', frame_at) - frame_at);
    const std::string length = record.substr(0, record.find("\\n"));
    const size_t frame_size = length.size() + 1 + std::stoul(length) + 2;
    const std::string size_text = " (" + std::to_string(frame_size) + ")";
    ASSERT_GE(record.size(), size_text.size());
    EXPECT_EQ(record.substr(record.size() - size_text.size()), size_text) << record;
}

TEST_F(E2eChannel, FramingFaultsCostAFrameOrTheirOwnConnection) {
    std::unique_ptr<Process> agent = serve_new_view("f");
    const std::string st = storage("f");
    std::unique_ptr<PipeClient> steady = connect_or_fail(st, "steady");
    std::unique_ptr<PipeClient> client = connect_or_fail(st, "frames");
    ASSERT_TRUE(steady && client);
    expect_probe_reply(steady->call(probe("s1")), "s1");

    // A length line that is not a number gets no reply; the next frame does.
    ASSERT_TRUE(client->send_raw("abc\n"));
    ASSERT_TRUE(client->send_raw("\n"));
    expect_probe_reply(client->call(probe("after-skips")), "after-skips");
    EXPECT_TRUE(client->quiet_for(Millis(100)));

    // The body ends at its first NUL byte.
    const Reply cut = client->call(probe("nul") + std::string("\0 junk <", 8));
    expect_probe_reply(cut, "nul");
    EXPECT_EQ(cut.children.count("status-message") ? cut.children.at("status-message") : "",
              "Unrecognized IPC: \"Frobnicate\".\n");

    // A body written in pieces, and one far above a pipe's buffer.
    const std::string pieces = probe("pieces");
    ASSERT_TRUE(client->send_raw(std::to_string(pieces.size()) + "\n" + pieces.substr(0, 9)));
    EXPECT_TRUE(client->quiet_for(Millis(50)));
    ASSERT_TRUE(client->send_raw(pieces.substr(9)));
    expect_probe_reply(lib_test::read_reply(client->read_reply().value_or("")), "pieces");
    std::string huge = "<Frobnicate version=\"1\" tx-id=\"huge\">";
    for (int i = 0; i < 60000; ++i) huge += "<x/>";
    huge += "</Frobnicate>";
    expect_probe_reply(client->call(huge), "huge");

    // Frames after which the stream cannot be trusted end their connection,
    // without a reply and without holding anything up.
    struct Ending {
        const char* id;
        const char* bytes;
        bool close_after;
    };
    const Ending endings[] = {
        {"eleven-digits", "99999999999\n", false},
        {"above-the-limit", "67108865\n", false},
        {"cut-short", "100\n<Frobnicate", true},
        {"cut-in-the-length", "12", true},
    };
    for (const Ending& e : endings) {
        SCOPED_TRACE(e.id);
        std::unique_ptr<PipeClient> ending = connect_or_fail(st, e.id);
        ASSERT_TRUE(ending);
        ASSERT_TRUE(ending->send_raw(e.bytes));
        if (e.close_after) ending->close_requests();
        EXPECT_TRUE(ending->wait_closed());
        EXPECT_FALSE(ending->read_reply(Millis(0)).has_value());
    }
    // The other connections go on.
    expect_probe_reply(steady->call(probe("s2")), "s2");
    expect_probe_reply(client->call(probe("f2")), "f2");
}

TEST_F(E2eChannel, ManyClientsWithRequestsInFlightGetTheirOwnReplies) {
    std::unique_ptr<Process> agent = serve_new_view("m");
    const std::string st = storage("m");
    const int kClients = 6;
    const int kRequests = 8;
    struct Outcome {
        std::string error;
        std::multiset<std::string> txids;
    };
    std::vector<Outcome> outcomes(kClients);
    std::vector<std::thread> threads;
    // All connect at once: lines arriving together must all be taken.
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            const std::string id = "client" + std::to_string(c);
            std::unique_ptr<PipeClient> client =
                PipeClient::connect(st, id, kStartTimeout, &outcomes[c].error);
            if (!client) return;
            for (int r = 0; r < kRequests; ++r)
                if (!client->send(probe(id + "-" + std::to_string(r)))) outcomes[c].error = "send";
            for (const std::string& text : client->read_replies(kRequests)) {
                const Reply reply = lib_test::read_reply(text);
                outcomes[c].txids.insert(reply.attrs.count("tx-id") ? reply.attrs.at("tx-id") : "?");
            }
            // No reply of another client comes on this pipe.
            if (!client->quiet_for(Millis(20))) outcomes[c].error = "extra reply";
        });
    }
    for (std::thread& t : threads) t.join();
    for (int c = 0; c < kClients; ++c) {
        SCOPED_TRACE(c);
        EXPECT_EQ(outcomes[c].error, "");
        std::multiset<std::string> expected;
        for (int r = 0; r < kRequests; ++r)
            expected.insert("client" + std::to_string(c) + "-" + std::to_string(r));
        EXPECT_EQ(outcomes[c].txids, expected);
    }
}

// Connection lines written in a burst all get their pipes: a line written
// while the listener takes another one is never lost.
TEST_F(E2eChannel, ABurstOfConnectionLinesLosesNone) {
    std::unique_ptr<Process> agent = serve_new_view("b");
    const std::string st = storage("b");
    // As many lines as connections are served at once.
    const int kWriters = 4;
    const int kLines = 16;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kLines; ++i)
                EXPECT_TRUE(PipeClient::send_connection_line(
                    st, "b" + std::to_string(w) + "-" + std::to_string(i) + "\n"));
        });
    }
    for (std::thread& t : writers) t.join();
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kLines; ++i) {
            const std::string id = "b" + std::to_string(w) + "-" + std::to_string(i);
            EXPECT_TRUE(wait_until([&] { return is_fifo(PipeClient::request_pipe(st, id)) &&
                                                is_fifo(PipeClient::response_pipe(st, id)); },
                                   kStartTimeout))
                << id;
        }
    }
    // One of them is served as any client is.
    std::string error;
    std::unique_ptr<PipeClient> client = PipeClient::attach(st, "b0-0", kStartTimeout, &error);
    ASSERT_TRUE(client) << error;
    expect_probe_reply(client->call(probe("b")), "b");
}

TEST_F(E2eChannel, AClientThatGoesAwayLeavesNoThreadPipeOrDescriptor) {
    std::unique_ptr<Process> agent = serve_new_view("g");
    const std::string st = storage("g");
    const std::optional<pid_t> daemon = agent->child_pid();
    ASSERT_TRUE(daemon.has_value());
    const std::string proc = "/proc/" + std::to_string(*daemon);
    const size_t threads = list_dir(proc + "/task").size();
    const size_t fds = pipe_descriptors(proc, st + "/.ipc");

    struct Leaving {
        const char* id;
        std::vector<std::string> frames;
    };
    const Leaving leaving[] = {
        {"silent", {}},
        {"mid-body", {"50\n<Frobnicate"}},
        {"mid-length", {"12"}},
        {"unread-replies", {pipe_frame(probe("x1")), pipe_frame(probe("x2")), pipe_frame(probe("x3"))}},
    };
    for (const Leaving& l : leaving) {
        SCOPED_TRACE(l.id);
        std::unique_ptr<PipeClient> client = connect_or_fail(st, l.id);
        ASSERT_TRUE(client);
        for (const std::string& frame : l.frames) ASSERT_TRUE(client->send_raw(frame));
        // Gone: both ends closed, replies or not.
    }
    EXPECT_TRUE(wait_until(
        [&] {
            // Not above what it had before the clients came: a thread or a
            // descriptor of the start-up may still have been there then.
            return list_dir(proc + "/task").size() <= threads &&
                   pipe_descriptors(proc, st + "/.ipc") <= fds &&
                   entries(st + "/.ipc") == std::set<std::string>{"rlistener"};
        },
        kStartTimeout))
        << "threads " << list_dir(proc + "/task").size() << " (were " << threads << "), fds "
        << pipe_descriptors(proc, st + "/.ipc") << " (were " << fds << ")";
    // And the daemon serves on.
    std::unique_ptr<PipeClient> after = connect_or_fail(st, "after");
    ASSERT_TRUE(after);
    expect_probe_reply(after->call(probe("a")), "a");
}

// At most 64 clients are served at once (each has a thread): the next
// connection line gets no pipes and one log line; once a client has gone,
// a new one is served.
TEST_F(E2eChannel, AtMostSixtyFourConnectionsAreServedAtOnce) {
    std::unique_ptr<Process> agent = serve_new_view("m");
    const std::string st = storage("m");
    std::vector<std::unique_ptr<PipeClient>> clients;
    for (int i = 0; i < 64; ++i) {
        clients.push_back(connect_or_fail(st, "c" + std::to_string(i)));
        ASSERT_TRUE(clients.back());
    }
    std::string error;
    EXPECT_FALSE(PipeClient::connect(st, "refused", Millis(1500), &error));
    EXPECT_TRUE(wait_until([&] { return count_of(log_text("m"), "Connection of client \"refused\" refused") == 1; },
                           kStartTimeout))
        << log_text("m");
    EXPECT_EQ(count_of(log_text("m"), " refused: 64 client connections are served already.\n"), 1u);
    expect_probe_reply(clients.front()->call(probe("f")), "f");

    clients.pop_back();
    std::unique_ptr<PipeClient> next;
    EXPECT_TRUE(wait_until(
        [&] {
            next = PipeClient::connect(st, "next", Millis(500));
            return next != nullptr;
        },
        kStartTimeout));
    ASSERT_TRUE(next);
    expect_probe_reply(next->call(probe("n")), "n");
}

TEST_F(E2eChannel, ShutdownEndsEveryConnectionAndLeavesIpcEmpty) {
    for (const bool by_endview : {true, false}) {
        const std::string name = by_endview ? "endview" : "term";
        SCOPED_TRACE(name);
        std::unique_ptr<Process> agent = serve_new_view(name);
        const std::string st = storage(name);
        std::unique_ptr<PipeClient> idle = connect_or_fail(st, "idle");
        std::unique_ptr<PipeClient> half = connect_or_fail(st, "half");
        std::unique_ptr<PipeClient> busy = connect_or_fail(st, "busy");
        ASSERT_TRUE(idle && half && busy);
        ASSERT_TRUE(half->send_raw("30\n<Frob"));
        expect_probe_reply(busy->call(probe("b")), "b");
        // A client that wrote its line and never came for its pipes.
        ASSERT_TRUE(PipeClient::send_connection_line(st, "ghost\n"));
        ASSERT_TRUE(wait_until([&] { return is_fifo(PipeClient::response_pipe(st, "ghost")); },
                               kStartTimeout));

        if (by_endview) {
            std::unique_ptr<PipeClient> ender = connect_or_fail(st, "ender");
            ASSERT_TRUE(ender);
            const Reply reply = ender->call(make_request("EndView", "end"));
            EXPECT_EQ(reply.root, "EndView");
            EXPECT_EQ(reply.attrs.count("status-code") ? reply.attrs.at("status-code") : "", "0");
            EXPECT_EQ(reply.attrs.count("tx-id") ? reply.attrs.at("tx-id") : "", "end");
            EXPECT_TRUE(ender->wait_closed());
        } else {
            // A client stopped inside its connection line, the listener
            // still open: the listener thread must not hold the end up.
            int listener = -1;
            ASSERT_TRUE(wait_until(
                [&] {
                    listener = ::open((st + "/.ipc/rlistener").c_str(), O_WRONLY | O_NONBLOCK);
                    return listener != -1;
                },
                kStartTimeout));
            ASSERT_EQ(::write(listener, "half-a-li", 9), 9);
            ASSERT_TRUE(agent->signal_child(SIGTERM));
            EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
            ::close(listener);
        }
        EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
        EXPECT_EQ(entries(st + "/.ipc"), std::set<std::string>{});
        for (PipeClient* client : {idle.get(), half.get(), busy.get()})
            EXPECT_TRUE(client->wait_closed(Millis(0))) << client->id();
    }
}

TEST_F(E2eChannel, ConnectionLinesThatGetNoPipesAndPipesThatAreThereAlready) {
    std::unique_ptr<Process> agent = serve_new_view("l");
    const std::string st = storage("l");
    const std::string ipc = st + "/.ipc";
    // Left by an earlier run: a directory where a response pipe would go,
    // and a client's two FIFOs.
    ASSERT_EQ(::mkdir((ipc + "/response_blocked").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo((ipc + "/request_stale").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo((ipc + "/response_stale").c_str(), 0700), 0);
    const std::set<std::string> left = {"rlistener", "response_blocked", "request_stale",
                                        "response_stale"};

    struct Line {
        const char* name;
        std::string text;
    };
    const Line lines[] = {
        {"nothing written", ""},
        {"empty line", "\n"},
        {"NUL first", std::string("\0abc\n", 5)},
        {"path separator", "a/b\n"},
        {"climbing out", "../escape\n"},
        {"response pipe blocked", "blocked\n"},
        {"too long for a name", std::string(5000, 'x') + "\n"},
    };
    int round = 0;
    for (const Line& l : lines) {
        SCOPED_TRACE(l.name);
        ASSERT_TRUE(PipeClient::send_connection_line(st, l.text));
        // The listener has taken the line once it takes the next one.
        const std::string id = "probe" + std::to_string(round++);
        std::unique_ptr<PipeClient> next = connect_or_fail(st, id);
        ASSERT_TRUE(next);
        expect_probe_reply(next->call(probe(id)), id);
        EXPECT_EQ(entries(ipc), left);
    }
    EXPECT_EQ(entries(st).count("escape"), 0u);

    // FIFOs that are there already are used.
    std::unique_ptr<PipeClient> stale = connect_or_fail(st, "stale");
    ASSERT_TRUE(stale);
    expect_probe_reply(stale->call(probe("stale")), "stale");

    // A second client of an id in use gets its own pipes, which the first
    // connection's later requests leave alone.
    std::unique_ptr<PipeClient> first = connect_or_fail(st, "dup");
    ASSERT_TRUE(first);
    expect_probe_reply(first->call(probe("dup-1")), "dup-1");
    ASSERT_TRUE(PipeClient::send_connection_line(st, "dup\n"));
    ASSERT_TRUE(wait_until([&] { return is_fifo(PipeClient::request_pipe(st, "dup")) &&
                                        is_fifo(PipeClient::response_pipe(st, "dup")); },
                           kStartTimeout));
    expect_probe_reply(first->call(probe("dup-2")), "dup-2");
    std::string error;
    std::unique_ptr<PipeClient> second = PipeClient::attach(st, "dup", kStartTimeout, &error);
    ASSERT_TRUE(second) << error;
    expect_probe_reply(second->call(probe("dup-3")), "dup-3");
    expect_probe_reply(first->call(probe("dup-4")), "dup-4");
}

} // namespace
} // namespace e2e
