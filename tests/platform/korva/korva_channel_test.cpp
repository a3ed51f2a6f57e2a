// The message channel of a registered view: clients on one side, daemon
// threads in korva_cmd(KORVA_CMD_LPC_MESSAGE) on the other.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "korva_fake_daemon.h"
#include "korva_test_support.h"
#include "lib/thread_test_support.h"
#include "platform/korva/korva.h"
#include "platform/korva/korva_channel.h"
#include "platform/korva/korva_channel_client.h"
#include "platform/korva/korva_control.h"
#include "platform/korva/korva_message.h"
#include "platform/korva/korva_socket.h"

using korva_test::Answer;
using korva_test::FakeDaemon;
using korva_test::Served;
using Bytes = std::vector<unsigned char>;

namespace {

constexpr int kWaitMs = 20000;  // a reply that should come
constexpr int kQuietMs = 200;   // how long "nothing arrives" is watched

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string textOf(const Bytes& bytes, size_t from = 0) {
  return std::string(bytes.begin() + static_cast<long>(from), bytes.end());
}

Bytes request(uint32_t id, const std::string& body, uint64_t op = 107) {
  Bytes b = bytesOf(body);
  return korva::makeRequestPacket(op, id, korva::kBodyMax, b.data(), b.size());
}

// Echoes the request body; a body starting with "hold" first waits for the gate.
FakeDaemon::Handler echo(thread_test::Gate* gate = nullptr) {
  return [gate](const Served& s) {
    if (gate != nullptr && textOf(s.body).compare(0, 4, "hold") == 0) {
      EXPECT_TRUE(gate->wait());
    }
    Answer a;
    a.body = s.body;
    return a;
  };
}

class KorvaChannelTest : public korva_test::KorvaRootTest {
 protected:
  korva::Root root() const { return korva::Root(root_); }
  std::shared_ptr<korva::Channel> channel(const std::string& tag = "v1") const {
    return korva::ChannelTable::process().find(korva::ChannelTable::key(root(), tag));
  }
  bool connectionsAre(size_t n) {
    return thread_test::eventually([&] { return channel() && channel()->connectionCount() == n; });
  }
  void connect(korva::ChannelClient& client, const std::string& tag = "v1") {
    ASSERT_EQ(0, client.connect(root(), tag));
  }
  // The next packet, which must come.
  Bytes next(korva::ChannelClient& client) {
    Bytes packet;
    EXPECT_EQ(0, client.receive(&packet, kWaitMs));
    return packet;
  }
  void expectQuiet(korva::ChannelClient& client) {
    Bytes packet;
    EXPECT_EQ(ETIMEDOUT, client.receive(&packet, kQuietMs)) << packet.size() << " bytes arrived";
  }
  std::string socketPath(const std::string& tag = "v1") const { return root_ + "/views/" + tag + "/lpc"; }
};

}  // namespace

TEST_F(KorvaChannelTest, PipelinedRequestsOfSeveralClientsComeBackToTheirSendersUnderTheirIds) {
  FakeDaemon daemon("v1", 0x11, 4, echo());
  constexpr int kClients = 3, kRequests = 25;
  korva::ChannelClient clients[kClients];
  for (auto& c : clients) connect(c);

  // Every client uses the ids 1..25: the channel tells them apart.
  for (int i = 1; i <= kRequests; ++i) {
    for (int c = 0; c < kClients; ++c) {
      ASSERT_EQ(0, clients[c].send(request(static_cast<uint32_t>(i), "c" + std::to_string(c) + "#" + std::to_string(i),
                                           static_cast<uint64_t>(100 + c))));
    }
  }
  for (int c = 0; c < kClients; ++c) {
    std::set<uint32_t> ids;
    for (int i = 0; i < kRequests; ++i) {
      Bytes reply = next(clients[c]);
      ASSERT_GE(reply.size(), korva::kHeaderSize);
      korva::ReplyHeader h = korva::readReplyHeader(reply.data());
      EXPECT_EQ(korva::kMarkReply, h.mark);
      EXPECT_EQ(0u, h.rpc_status);
      EXPECT_EQ(reply.size() - korva::kHeaderSize, h.res_out_size);
      EXPECT_EQ("c" + std::to_string(c) + "#" + std::to_string(h.request_id), textOf(reply, korva::kHeaderSize));
      ids.insert(h.request_id);
    }
    EXPECT_EQ(static_cast<size_t>(kRequests), ids.size());
    expectQuiet(clients[c]);
  }

  // The daemon saw each request once, under an id of the channel's own.
  std::vector<Served> served = daemon.served();
  ASSERT_EQ(static_cast<size_t>(kClients * kRequests), served.size());
  std::set<uint32_t> daemon_ids;
  for (const Served& s : served) {
    EXPECT_NE(0u, s.header.request_id);
    EXPECT_EQ(s.body.size(), s.header.req_size);
    EXPECT_EQ(korva::kBodyMax, s.header.res_in_size);
    EXPECT_EQ(static_cast<uint64_t>(100 + (s.body[1] - '0')), s.header.op);
    daemon_ids.insert(s.header.request_id);
  }
  EXPECT_EQ(served.size(), daemon_ids.size());
}

TEST_F(KorvaChannelTest, RepliesLeaveInTheOrderTheyAreCompleted) {
  thread_test::Gate gate;
  FakeDaemon daemon("v1", 0x11, 2, echo(&gate));
  korva::ChannelClient client;
  connect(client);
  ASSERT_EQ(0, client.send(request(7, "hold")));
  ASSERT_TRUE(thread_test::eventually([&] { return daemon.served().size() == 1; }));
  ASSERT_EQ(0, client.send(request(8, "go")));
  EXPECT_EQ(8u, korva::readRequestId(next(client).data()));
  gate.open();
  EXPECT_EQ(7u, korva::readRequestId(next(client).data()));
}

// A request goes to the daemon with the credentials it was sent with: the
// sender's own, or those of the process it names (which root may).
TEST_F(KorvaChannelTest, EachRequestGoesWithTheCredentialsOfTheProcessItWasSentFor) {
  korva_caller none{};
  EXPECT_EQ(-1, korva_lpc_caller(&none));
  EXPECT_EQ(ENOENT, errno) << "this thread took no request";
  FakeDaemon daemon("v1", 0x11, 1, echo());
  korva::ChannelClient client;
  connect(client);
  ASSERT_EQ(0, client.send(request(1, "own")));
  next(client);
  const bool root = ::geteuid() == 0;
  if (root) {
    Bytes packet = request(2, "named");
    ASSERT_EQ(static_cast<ssize_t>(packet.size()),
              korva::sendFor(client.fd(), packet.data(), packet.size(), ucred{::getpid(), 4242, 4343}));
    next(client);
  }
  std::vector<Served> served = daemon.served();
  ASSERT_EQ(root ? 2u : 1u, served.size());
  EXPECT_EQ(::getpid(), served[0].caller.pid);
  EXPECT_EQ(::getuid(), served[0].caller.uid);
  EXPECT_EQ(::getgid(), served[0].caller.gid);
  if (root) {
    EXPECT_EQ(::getpid(), served[1].caller.pid);
    EXPECT_EQ(4242u, served[1].caller.uid);
    EXPECT_EQ(4343u, served[1].caller.gid);
  }
}

// However soon after its connection a request is sent (before the channel
// has taken the connection, or just as it does), it goes with its sender's
// credentials: several clients connect and send at once, many times over.
TEST_F(KorvaChannelTest, TheFirstRequestOfEveryConnectionGoesWithItsSendersCredentials) {
  FakeDaemon daemon("v1", 0x11, 4, echo());
  constexpr int kClients = 4, kRounds = 100;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::thread> senders;
    for (int c = 0; c < kClients; ++c) {
      senders.emplace_back([&] {
        korva::ChannelClient client;
        connect(client);
        EXPECT_EQ(0, client.send(request(1, "first")));
        next(client);
      });
    }
    for (std::thread& sender : senders) sender.join();
  }
  const std::vector<Served> served = daemon.served();
  ASSERT_EQ(static_cast<size_t>(kClients * kRounds), served.size());
  size_t without = 0;
  for (const Served& s : served)
    without += s.caller.pid != ::getpid() || s.caller.uid != ::getuid() || s.caller.gid != ::getgid();
  EXPECT_EQ(0u, without) << "requests without their sender's credentials";
}

// Requests that arrive together, likely before the acceptor has taken their
// connection, keep every waiting thread busy: each thread that takes one
// hands the lead on, so the last is served while the others are held.
TEST_F(KorvaChannelTest, RequestsSentTogetherAreTakenByEveryFreeThreadWhileTheFirstAreHeld) {
  constexpr int kThreads = 4;
  struct Case {
    const char* name;
    int connections;
  };
  for (Case c : {Case{"one connection", 1}, Case{"a connection each", kThreads}}) {
    SCOPED_TRACE(c.name);
    thread_test::Gate gate;
    FakeDaemon daemon("v1", 0x11, kThreads, echo(&gate));
    ASSERT_TRUE(thread_test::eventually([&] { return channel() && channel()->waitingCount() == kThreads; }));
    std::vector<korva::ChannelClient> clients(static_cast<size_t>(c.connections));
    for (auto& client : clients) connect(client);
    auto clientOf = [&](int i) -> korva::ChannelClient& { return clients[static_cast<size_t>(i % c.connections)]; };
    for (int i = 0; i < kThreads; ++i) {
      ASSERT_EQ(0, clientOf(i).send(request(static_cast<uint32_t>(i + 1), i + 1 < kThreads ? "hold" : "go")));
    }
    Bytes last = next(clientOf(kThreads - 1));
    EXPECT_EQ(static_cast<uint32_t>(kThreads), korva::readRequestId(last.data()));
    EXPECT_EQ("go", textOf(last, korva::kHeaderSize));
    gate.open();
    std::set<uint32_t> held;
    for (int i = 0; i + 1 < kThreads; ++i) held.insert(korva::readRequestId(next(clientOf(i)).data()));
    EXPECT_EQ((std::set<uint32_t>{1, 2, 3}), held);
  }
}

TEST_F(KorvaChannelTest, AClosedConnectionsRequestsAreAnsweredToNobodyAndNotServedWhenStillQueued) {
  thread_test::Gate gate;
  FakeDaemon daemon("v1", 0x11, 1, echo(&gate));
  {
    korva::ChannelClient gone;
    connect(gone);
    ASSERT_EQ(0, gone.send(request(1, "hold a")));
    ASSERT_TRUE(thread_test::eventually([&] { return daemon.served().size() == 1; }));
    ASSERT_EQ(0, gone.send(request(2, "queued a")));
    ASSERT_TRUE(connectionsAre(1));
  }
  ASSERT_TRUE(connectionsAre(0));
  korva::ChannelClient other;
  connect(other);
  ASSERT_EQ(0, other.send(request(1, "b")));
  gate.open();
  Bytes reply = next(other);
  EXPECT_EQ(1u, korva::readRequestId(reply.data()));
  EXPECT_EQ("b", textOf(reply, korva::kHeaderSize));
  expectQuiet(other);
  std::vector<Served> served = daemon.served();
  ASSERT_EQ(2u, served.size());
  EXPECT_EQ("b", textOf(served[1].body));
}

TEST_F(KorvaChannelTest, UnregisteringWakesEveryWaitingThreadWith1046AndClosesTheConnections) {
  thread_test::Gate gate;
  auto daemon = std::make_unique<FakeDaemon>("v1", 0x11, 3, echo(&gate));
  korva::ChannelClient client;
  connect(client);
  ASSERT_EQ(0, client.send(request(1, "hold")));
  ASSERT_TRUE(thread_test::eventually([&] { return daemon->served().size() == 1; }));
  ASSERT_TRUE(thread_test::eventually([&] { return channel()->waitingCount() == 2; }));

  daemon->unregister();
  ASSERT_TRUE(thread_test::eventually([&] { return daemon->endStatuses().size() == 2; }));
  EXPECT_EQ((std::vector<int>{1046, 1046}), daemon->endStatuses());
  Bytes packet;
  EXPECT_EQ(ECONNRESET, client.receive(&packet, kWaitMs));
  struct stat st;
  EXPECT_NE(0, lstat(socketPath().c_str(), &st));
  EXPECT_EQ(nullptr, channel());

  // The thread that was serving answers into a channel that is gone.
  gate.open();
  daemon.reset();
  korva::ChannelClient late;
  EXPECT_NE(0, late.connect(root(), "v1"));

  // A tag without a channel in this process: 1046 at once.
  int status = -1, result = -1;
  korva_handle_t h = korva_view_root_open_type(KORVA_VIEWROOT_AUTOMATIC, &status);
  ASSERT_NE(nullptr, h);
  korva_view_tag_record tag{korva_text_of("v1"), korva_text_of("v1")};
  Bytes buffer(korva::kMessageSize, 0);
  EXPECT_EQ(0, korva_cmd(h, &result, &status, KORVA_CMD_LPC_MESSAGE, 0, &tag, buffer.data(), buffer.size()));
  EXPECT_EQ(1046, status);
  korva_view_root_close_type(KORVA_VIEWROOT_AUTOMATIC, h);
}

TEST_F(KorvaChannelTest, PacketsOutsideTheLimitsAreAnsweredByTheChannelWithRpcStatus4) {
  thread_test::Gate gate;
  FakeDaemon daemon("v1", 0x11, 2, echo(&gate));
  korva::ChannelClient client;
  connect(client);
  ASSERT_EQ(0, client.send(request(40, "hold")));
  ASSERT_TRUE(thread_test::eventually([&] { return daemon.served().size() == 1; }));

  auto with = [](Bytes packet, void (*change)(korva::RequestHeader*)) {
    korva::RequestHeader h = korva::readRequestHeader(packet.data());
    change(&h);
    korva::writeRequestHeader(packet.data(), h);
    return packet;
  };
  struct Case {
    const char* what;
    Bytes packet;
    uint32_t id;  // the id the refusal carries
  };
  Bytes oversize = request(5, std::string(korva::kMessageSize + 200 - korva::kHeaderSize, 'x'));
  const Case cases[] = {
      {"empty", Bytes(), 0},
      {"shorter than the header", Bytes(20, 1), 0},
      {"req_size above its body", with(request(1, "abcd"), [](korva::RequestHeader* h) { h->req_size = 10; }), 1},
      {"req_size below its body", with(request(2, "abcd"), [](korva::RequestHeader* h) { h->req_size = 3; }), 2},
      {"req_size far beyond a message", with(request(3, "abcd"), [](korva::RequestHeader* h) { h->req_size = 1ull << 40; }), 3},
      {"res_in_size above a body's room",
       with(request(4, "abcd"), [](korva::RequestHeader* h) { h->res_in_size = korva::kBodyMax + 1; }), 4},
      {"longer than a message", oversize, 5},
      {"bytes 28-31 set", with(request(6, "abcd"), [](korva::RequestHeader* h) { h->mark = 1; }), 6},
      {"an id still outstanding", request(40, "again"), 40},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(0, client.send(c.packet)) << c.what;
    Bytes reply = next(client);
    ASSERT_EQ(korva::kHeaderSize, reply.size()) << c.what;
    korva::ReplyHeader h = korva::readReplyHeader(reply.data());
    EXPECT_EQ(4u, h.rpc_status) << c.what;
    EXPECT_EQ(0u, h.res_out_size) << c.what;
    EXPECT_EQ(c.id, h.request_id) << c.what;
    EXPECT_EQ(korva::kMarkReply, h.mark) << c.what;
  }

  // None reached the daemon, and the channel goes on serving, a full-sized
  // message too.
  std::string largest(korva::kBodyMax, 'y');
  ASSERT_EQ(0, client.send(request(41, largest)));
  Bytes reply = next(client);
  EXPECT_EQ(41u, korva::readRequestId(reply.data()));
  EXPECT_EQ(largest, textOf(reply, korva::kHeaderSize));
  gate.open();
  EXPECT_EQ(40u, korva::readRequestId(next(client).data()));
  EXPECT_EQ(2u, daemon.served().size());
}

TEST_F(KorvaChannelTest, InvalidationsReachEveryConnectionAsNoticesAndNeverWaitForReaders) {
  FakeDaemon daemon("v1", 0x11, 0, echo());
  korva::ChannelClient readers[2], sleeper;
  for (auto& r : readers) connect(r);
  connect(sleeper);
  ASSERT_TRUE(connectionsAre(3));
  std::string root_dir = root_ + "/view/v1";
  ASSERT_EQ(0, korva_test::invalidate(root_dir, KORVA_INVAL_NAME, 0x22, 0x33, "a b.c", 0).status);
  ASSERT_EQ(0, korva_test::invalidate(root_dir, 5, 0x22, 0x44, nullptr, 66).status);
  ASSERT_EQ(0, korva_test::invalidate(root_dir, KORVA_INVAL_VIEW, 0, 0, nullptr, 0).status);
  // A forced result does nothing, so it tells nobody.
  ASSERT_EQ(0, korva::Control(root()).injector().add("inval_view", "0"));
  ASSERT_EQ(0, korva_test::invalidate(root_dir, KORVA_INVAL_VIEW, 0, 0, nullptr, 0).status);

  struct Expected {
    uint32_t kind;
    unsigned char vob, oid;
    std::string name;
  };
  const Expected expected[] = {{1, 0x22, 0x33, "a b.c"}, {5, 0x22, 0x44, ""}, {3, 0, 0, ""}};
  for (auto& r : readers) {
    for (const Expected& e : expected) {
      Bytes packet = next(r);
      ASSERT_GE(packet.size(), korva::kHeaderSize);
      korva::RequestHeader h = korva::readRequestHeader(packet.data());
      EXPECT_EQ(korva::kNoticeOp, h.op);
      EXPECT_EQ(packet.size() - korva::kHeaderSize, h.req_size);
      EXPECT_EQ(0u, h.request_id);
      EXPECT_EQ(korva::kMarkNotice, h.mark);
      korva::Notice n;
      ASSERT_TRUE(korva::decodeNoticeBody(packet.data() + korva::kHeaderSize, h.req_size, &n));
      EXPECT_EQ(e.kind, n.kind);
      qel_uuid_s vob = korva_test::uuidOf(e.vob);
      qel_oid_s oid = korva_test::oidOf(e.oid);
      EXPECT_TRUE(qel_uuid_eq(&vob, &n.vob));
      EXPECT_TRUE(qel_oid_eq(&oid, &n.oid));
      EXPECT_EQ(e.name, n.name);
    }
    expectQuiet(r);
  }

  // A connection that reads nothing holds up no invalidation.
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(0, korva_test::invalidate(root_dir, KORVA_INVAL_OBJECT, 0x22, 0x55, nullptr, 1).status);
  }
  EXPECT_EQ(3u, channel()->connectionCount());
}

TEST_F(KorvaChannelTest, AForcedMessageResultLeavesTheReplyInTheBufferForTheNextCall) {
  FakeDaemon daemon("v1", 0x11, 0, echo());
  korva::ChannelClient client;
  connect(client);
  ASSERT_EQ(0, client.send(request(5, "first")));

  int status = -1, result = -1;
  korva_handle_t h = korva_view_root_open_type(KORVA_VIEWROOT_AUTOMATIC, &status);
  ASSERT_NE(nullptr, h);
  korva_view_tag_record tag{korva_text_of("v1"), korva_text_of("v1")};
  Bytes buffer(korva::kMessageSize, 0);
  auto message = [&] {
    errno = 0;
    return korva_cmd(h, &result, &status, KORVA_CMD_LPC_MESSAGE, 0, &tag, buffer.data(), buffer.size());
  };
  ASSERT_EQ(0, message());
  ASSERT_EQ(0, status);
  korva::RequestHeader got = korva::readRequestHeader(buffer.data());
  EXPECT_EQ("first", std::string(buffer.begin() + korva::kHeaderSize, buffer.begin() + korva::kHeaderSize + 5));
  korva::ReplyHeader reply;
  reply.rpc_status = 0;
  reply.res_out_size = 2;
  reply.request_id = got.request_id;
  korva::writeReplyHeader(buffer.data(), reply);
  std::memcpy(buffer.data() + korva::kHeaderSize, "ok", 2);
  Bytes before = buffer;

  korva::Injector inject = korva::Control(root()).injector();
  ASSERT_EQ(0, inject.add("lpc_message", "1008", 2));
  ASSERT_EQ(0, inject.add("lpc_message", "errno=4"));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(0, message());
    EXPECT_EQ(1008, status);
  }
  EXPECT_EQ(-1, message());
  EXPECT_EQ(EINTR, errno);
  EXPECT_EQ(before, buffer);
  expectQuiet(client);

  // The next call delivers the reply and waits for the next request.
  thread_test::Background call([&] { message(); });
  Bytes answered = next(client);
  EXPECT_EQ(5u, korva::readRequestId(answered.data()));
  EXPECT_EQ("ok", textOf(answered, korva::kHeaderSize));
  ASSERT_EQ(0, client.send(request(6, "second")));
  EXPECT_TRUE(call.finished());
  EXPECT_EQ(0, status);
  korva_view_root_close_type(KORVA_VIEWROOT_AUTOMATIC, h);
  for (const auto& line : korva::Control(root()).journal().read()) EXPECT_NE("lpc_message", line[0]);
}

void ignoreSignal(int) {}

TEST_F(KorvaChannelTest, ASignalEndsAWaitingMessageCallAndTheNextRequestGoesToAnotherCall) {
  FakeDaemon daemon("v1", 0x11, 0, echo());
  struct sigaction action {};
  action.sa_handler = ignoreSignal;
  struct sigaction old {};
  ASSERT_EQ(0, sigaction(SIGURG, &action, &old));

  // Two daemon threads wait in their message calls.
  struct Caller {
    int result = -2, status = -1, error = 0;
    Bytes buffer = Bytes(korva::kMessageSize, 0);
  };
  Caller callers[2];
  auto wait_in_call = [&](Caller& c) {
    int open_status = -1;
    korva_handle_t h = korva_view_root_open_type(KORVA_VIEWROOT_AUTOMATIC, &open_status);
    korva_view_tag_record tag{korva_text_of("v1"), korva_text_of("v1")};
    korva_cmd(h, &c.result, &c.status, KORVA_CMD_LPC_MESSAGE, 0, &tag, c.buffer.data(), c.buffer.size());
    c.error = errno;
    korva_view_root_close_type(KORVA_VIEWROOT_AUTOMATIC, h);
  };
  std::thread first([&] { wait_in_call(callers[0]); });
  ASSERT_TRUE(thread_test::eventually([&] { return channel()->waitingCount() == 1; }));
  std::thread second([&] { wait_in_call(callers[1]); });
  ASSERT_TRUE(thread_test::eventually([&] { return channel()->waitingCount() == 2; }));

  // The first is interrupted: its call fails with EINTR and takes nothing.
  ASSERT_EQ(0, pthread_kill(first.native_handle(), SIGURG));
  first.join();
  EXPECT_EQ(-1, callers[0].result);
  EXPECT_EQ(EINTR, callers[0].error);
  EXPECT_EQ(Bytes(korva::kMessageSize, 0), callers[0].buffer);
  EXPECT_EQ(1u, channel()->waitingCount());

  // The request sent next goes to the other.
  korva::ChannelClient client;
  connect(client);
  ASSERT_EQ(0, client.send(request(9, "next")));
  second.join();
  EXPECT_EQ(0, callers[1].result);
  EXPECT_EQ(0, callers[1].status);
  EXPECT_EQ("next", std::string(callers[1].buffer.begin() + korva::kHeaderSize,
                                callers[1].buffer.begin() + korva::kHeaderSize + 4));
  sigaction(SIGURG, &old, nullptr);
}

TEST_F(KorvaChannelTest, ADeepRootAndAStaleSocketFileDoNotStopTheChannel) {
  // Longer than a socket address holds.
  root_ = base_ + "/" + std::string(120, 'd') + "/root";
  setenv("KORVA_ROOT", root_.c_str(), 1);
  ASSERT_EQ(0, korva::makeDirectories(root_ + "/views/v1"));
  std::ofstream(socketPath()) << "left by a daemon that died";

  FakeDaemon daemon("v1", 0x11, 1, echo());
  struct stat st;
  ASSERT_EQ(0, lstat(socketPath().c_str(), &st));
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  korva::ChannelClient client;
  connect(client);
  ASSERT_EQ(0, client.send(request(1, "deep")));
  EXPECT_EQ("deep", textOf(next(client), korva::kHeaderSize));

  // Registering again (the same view) keeps the channel and its clients.
  ASSERT_EQ(0, korva_test::registerView("v1", 0x11, "/stg/fake").status);
  ASSERT_EQ(0, client.send(request(2, "still")));
  EXPECT_EQ("still", textOf(next(client), korva::kHeaderSize));
}

TEST_F(KorvaChannelTest, ABatchOfInvalidationsGivesEachBlockItsOwnOutcomeAndEndsAtAFailedCall) {
  using korva_test::idText;
  using Lines = std::vector<std::vector<std::string>>;
  FakeDaemon daemon("v1", 0x11, 0, echo());
  korva::ChannelClient reader;
  connect(reader);
  ASSERT_TRUE(connectionsAre(1));
  const std::string root_dir = root_ + "/view/v1";
  korva::Control control(root());
  ASSERT_EQ(0, control.journal().clear());

  // The records of a batch: every kind, one for a view root the kernel
  // does not know, and one too short to be read.
  auto record = [](uint32_t kind, unsigned char oid, const char* name, uint32_t op) {
    korva_inval_record r{};
    r.magic = 5;
    r.kind = kind;
    r.vob_uuid = korva_test::uuidOf(kind == KORVA_INVAL_VIEW ? 0 : 0x22);
    r.oid = korva_test::oidOf(oid);
    r.name = korva_text_of(name);
    r.vob_op = op;
    return r;
  };
  struct Row {
    korva_inval_record record;
    const char* root;
    bool malformed;
    int status;                           // the block's own
    std::vector<std::string> journaled;   // empty: none
    bool notice;
  };
  std::vector<Row> rows = {
      {record(KORVA_INVAL_NAME, 0x33, "a b.c", 0), root_dir.c_str(), false, 0,
       {"inval_name", idText(0x22), idText(0x33), "a b.c"}, true},
      {record(5, 0x44, nullptr, 66), root_dir.c_str(), false, 0, {"inval_obj", idText(0x22), idText(0x44), "66"}, true},
      {record(KORVA_INVAL_OBJECT, 0x45, nullptr, 1), "/nowhere/v1", false, 1002,
       {"inval_obj", idText(0x22), idText(0x45), "1"}, false},
      {record(KORVA_INVAL_NAME, 0x46, "short", 0), root_dir.c_str(), true, 1072, {}, false},
      {record(4, 0x47, nullptr, 0), root_dir.c_str(), false, 1072, {}, false},
      {record(KORVA_INVAL_VIEW, 0, nullptr, 0), root_dir.c_str(), false, 0, {"inval_view", "v1"}, true},
  };
  std::vector<korvacmd_block> blocks;
  for (Row& row : rows) {
    blocks.push_back(korva_test::blockOf(KORVA_MCB_INVALIDATE, &row.record, row.root, ""));
    if (row.malformed) blocks.back().record_size -= 1;
    blocks.back().status = -1;
  }
  int status = -1;
  korva_handle_t h = korva_view_root_open_type(KORVA_VIEWROOT_AUTOMATIC, &status);
  ASSERT_NE(nullptr, h);
  std::vector<int> errors(blocks.size(), -1);
  EXPECT_EQ(0, korva_mcb_cmd_batch(h, blocks.data(), blocks.size(), errors.data()));
  Lines expected;
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(0, errors[i]) << i;
    EXPECT_EQ(rows[i].status, blocks[i].status) << i;
    if (!rows[i].journaled.empty()) expected.push_back(rows[i].journaled);
  }
  EXPECT_EQ(expected, control.journal().read());
  // The notices of those that were made, in the batch's order.
  for (const Row& row : rows) {
    if (!row.notice) continue;
    Bytes packet = next(reader);
    ASSERT_GE(packet.size(), korva::kHeaderSize);
    korva::Notice n;
    ASSERT_TRUE(korva::decodeNoticeBody(packet.data() + korva::kHeaderSize,
                                        korva::readRequestHeader(packet.data()).req_size, &n));
    EXPECT_EQ(row.record.kind, n.kind);
    EXPECT_TRUE(qel_oid_eq(&row.record.oid, &n.oid));
    EXPECT_EQ(row.record.name.text != nullptr ? row.record.name.text : "", n.name);
  }
  expectQuiet(reader);

  // A forced status is its block's alone; a call that fails ends the
  // batch, and the blocks after it are not made.
  ASSERT_EQ(0, control.journal().clear());
  ASSERT_EQ(0, control.injector().add("inval_name", "1011"));
  ASSERT_EQ(0, control.injector().add("inval_obj", "errno=4"));
  std::vector<korvacmd_block> forced = {blocks[0], blocks[1], blocks[1], blocks[5]};
  errors.assign(forced.size(), -1);
  EXPECT_EQ(EINTR, korva_mcb_cmd_batch(h, forced.data(), forced.size(), errors.data()));
  EXPECT_EQ((std::vector<int>{0, EINTR, ECANCELED, ECANCELED}), errors);
  EXPECT_EQ(1011, forced[0].status);
  EXPECT_EQ((Lines{rows[0].journaled, rows[1].journaled}), control.journal().read());
  // The rest again: used up, the inject file forces nothing more.
  errors.assign(2, -1);
  EXPECT_EQ(0, korva_mcb_cmd_batch(h, &forced[2], 2, errors.data()));
  EXPECT_EQ((std::vector<int>{0, 0}), errors);
  EXPECT_EQ(0, forced[2].status);
  EXPECT_EQ(0, forced[3].status);
  EXPECT_EQ(4u, control.journal().read().size());

  // Without a handle or blocks nothing is made.
  errors.assign(2, -1);
  EXPECT_EQ(EBADF, korva_mcb_cmd_batch(nullptr, forced.data(), 2, errors.data()));
  EXPECT_EQ((std::vector<int>{EBADF, EBADF}), errors);
  EXPECT_EQ(EFAULT, korva_mcb_cmd_batch(h, nullptr, 2, errors.data()));
  EXPECT_EQ(EFAULT, korva_mcb_cmd_batch(h, forced.data(), 2, nullptr));
  EXPECT_EQ(0, korva_mcb_cmd_batch(h, forced.data(), 0, errors.data()));
  EXPECT_EQ(EBADF, korva_mcb_cmd_batch(nullptr, forced.data(), 0, errors.data()));
  EXPECT_EQ(4u, control.journal().read().size());
  korva_view_root_close_type(KORVA_VIEWROOT_AUTOMATIC, h);
}
