// korva_sim: its codec in-process, its run against a fake daemon serving the
// view's channel, and the program's command line.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "lib/thread_test_support.h"
#include "platform/korva/korva_channel.h"
#include "platform/korva/korva_fake_daemon.h"
#include "platform/korva/korva_test_support.h"
#include "tools/korva_sim/korva_sim_codec.h"
#include "tools/korva_sim/korva_sim_session.h"
#include "xdr/ostrelxdr_codec.h"

using korva_sim::json;
using korva_sim::ordered_json;
using korva_test::Answer;
using korva_test::Served;
using Bytes = std::vector<unsigned char>;

namespace {

const std::string kVob = korva_test::idText(0x21);
const std::string kOid = korva_test::idText(0x43);

// Decodes a request packet's body with the layout's routine.
template <typename R>
R decodeRequest(ostrelxdr_proc<R> proc, const korva_sim::Request& request) {
  R record{};
  korva::RequestHeader h = korva::readRequestHeader(request.packet.data());
  EXPECT_EQ(request.packet.size() - korva::kHeaderSize, h.req_size);
  EXPECT_TRUE(ostrelxdr_decode_body(proc, request.packet.data() + korva::kHeaderSize, h.req_size, &record));
  return record;
}

template <typename R>
Bytes replyPacket(ostrelxdr_proc<R> proc, R record, uint32_t id = 9, uint32_t rpc_status = 0) {
  Bytes packet(korva::kMessageSize);
  size_t length = 0;
  EXPECT_TRUE(ostrelxdr_encode_body(proc, &record, packet.data() + korva::kHeaderSize, korva::kBodyMax, &length));
  korva::ReplyHeader h;
  h.rpc_status = rpc_status;
  h.res_out_size = length;
  h.request_id = id;
  korva::writeReplyHeader(packet.data(), h);
  packet.resize(korva::kHeaderSize + length);
  return packet;
}

ordered_json decoded(const Bytes& packet, uint64_t op) {
  return korva_sim::decodePacket(packet.data(), packet.size(), op);
}

}  // namespace

TEST(KorvaSimCodec, RequestsCarryTheirLayoutsFieldsAndHeader) {
  korva_sim::Defaults defaults;
  defaults.view_uuid = korva_test::uuidOf(0x11);
  defaults.id = 7;
  const std::string fh = R"({"vob": ")" + kVob + R"(", "dbid": 5, "stamp": 2})";

  korva_sim::Request lookup = korva_sim::encodeRequest(
      json::parse(R"({"call": "lookup", "dir": )" + fh + R"(, "name": "a.c", "time": 100})"), defaults);
  EXPECT_EQ(107u, lookup.op);
  EXPECT_EQ(7u, lookup.id);
  korva::RequestHeader h = korva::readRequestHeader(lookup.packet.data());
  EXPECT_EQ(korva::kBodyMax, h.res_in_size);
  EXPECT_EQ(7u, h.request_id);
  EXPECT_EQ(0u, h.mark);
  view_lookup_req_t l = decodeRequest(xdr_view_lookup_req_t, lookup);
  EXPECT_EQ(100, l.hdr.time);
  EXPECT_EQ(7u, l.hdr.xid);
  EXPECT_TRUE(qel_uuid_eq(&defaults.view_uuid, &l.hdr.view));
  EXPECT_EQ(5u, l.dir.dbid);
  EXPECT_EQ(2u, l.dir.stamp);
  EXPECT_EQ(0x21, l.dir.vob_uuid.bytes[7]);
  EXPECT_STREQ("a.c", l.name);
  EXPECT_STREQ("", l.residual);
  ostrelxdr_free(xdr_view_lookup_req_t, &l);

  korva_sim::Request rename = korva_sim::encodeRequest(
      json::parse(R"({"call": "rename", "id": 3, "res_in_size": 100, "from": {"dir": )" + fh +
                  R"(, "name": "x"}, "to": {"dir": {"dbid": 6}, "name": "y"}, "stamp": [5, 6]})"),
      defaults);
  EXPECT_EQ(3u, rename.id);
  EXPECT_EQ(100u, korva::readRequestHeader(rename.packet.data()).res_in_size);
  view_rename_req_t r = decodeRequest(xdr_view_rename_req_t, rename);
  EXPECT_STREQ("x", r.from.name);
  EXPECT_EQ(6u, r.to.dir.dbid);
  EXPECT_STREQ("y", r.to.name);
  EXPECT_EQ(5, r.stamp.tv_sec);
  EXPECT_EQ(6, r.stamp.tv_usec);
  ostrelxdr_free(xdr_view_rename_req_t, &r);

  korva_sim::Request setattr = korva_sim::encodeRequest(
      json::parse(R"({"call": "setattr", "fh": )" + fh +
                  R"(, "attr": {"mask": 132, "owner": "S-1-22-1-1000", "size": 4294967298}})"),
      defaults);
  view_setattr_req_t s = decodeRequest(xdr_view_setattr_req_t, setattr);
  EXPECT_EQ(0x84u, s.attr.mask);
  EXPECT_EQ(4294967298u, s.attr.size);
  char owner[64];
  ASSERT_EQ(0, credutl_sid_to_str(&s.attr.owner, owner, sizeof owner));
  EXPECT_STREQ("S-1-22-1-1000", owner);

  korva_sim::Request root = korva_sim::encodeRequest(
      json::parse(R"({"call": "root", "family_oid": ")" + kOid + R"(", "replica_uuid": ")" + kVob + R"("})"),
      defaults);
  view_replica_root_req_t rr = decodeRequest(xdr_view_replica_root_req_t, root);
  EXPECT_EQ(0x43, rr.family_oid.bytes[0]);
  EXPECT_EQ(0x21, rr.replica_uuid.bytes[15]);
  EXPECT_STREQ("", rr.name);
  ostrelxdr_free(xdr_view_replica_root_req_t, &rr);

  // A code without a layout sends the header alone.
  korva_sim::Request other = korva_sim::encodeRequest(json::parse(R"({"call": 200, "xid": 44})"), defaults);
  EXPECT_EQ(200u, other.op);
  view_hdr_req_t hdr = decodeRequest(xdr_view_hdr_req_t, other);
  EXPECT_EQ(44u, hdr.xid);
  EXPECT_EQ(korva::kHeaderSize + 32, other.packet.size());
}

TEST(KorvaSimCodec, WhatIsNoRequestIsRefusedNamingTheFault) {
  korva_sim::Defaults defaults;
  struct Case {
    const char* line;
    const char* says;
  };
  const std::string long_name(256, 'n');
  const std::string too_long = R"({"call": "lookup", "name": ")" + long_name + R"("})";
  const Case cases[] = {
      {R"({"name": "a"})", "no \"call\""},
      {R"({"call": "fly"})", "no call named \"fly\""},
      {R"({"call": "lookup", "dir": {"dbid": 1}, "nmae": "a"})", "no field \"nmae\""},
      {R"({"call": "getattr", "fh": {"dbid": -1}})", "request.fh.dbid"},
      {R"({"call": "getattr", "fh": {"vob": "not-a-uuid"}})", "not an id"},
      {R"({"call": "readdir", "max_size": 4294967296})", "request.max_size"},
      {too_long.c_str(), "does not encode"},
      {R"([1, 2])", "not a JSON object"},
  };
  for (const Case& c : cases) {
    try {
      korva_sim::encodeRequest(json::parse(c.line), defaults);
      ADD_FAILURE() << c.line << " was taken";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find(c.says)) << c.line << ": " << e.what();
    }
  }
  EXPECT_THROW(korva_sim::rawRequest("0a0"), std::runtime_error);
  EXPECT_THROW(korva_sim::rawRequest("zz"), std::runtime_error);
  korva_sim::Request raw = korva_sim::rawRequest("6b 00 00 00 00 00 00 00");
  EXPECT_EQ(107u, raw.op);
  EXPECT_EQ(8u, raw.packet.size());
}

TEST(KorvaSimCodec, RepliesAndNoticesBecomeJsonLines) {
  view_lookup_reply_t failed{};
  failed.hdr.xid = 9;
  failed.hdr.status = 1052;
  failed.name_state = 0x30;
  ordered_json j = decoded(replyPacket(xdr_view_lookup_reply_t, failed), 107);
  EXPECT_EQ(R"({"request_id":9,"rpc_status":0,"res_out_size":12,"call":"lookup","xid":9,"status":1052,)"
            R"("name_state":48})",
            j.dump());

  view_getattr_reply_t ok{};
  ok.hdr.status = 0;
  ok.attr.fstat.type = QEL_FTYPE_REG;
  ok.attr.fstat.size = 0x100000002ull;
  ok.attr.obj_oid = korva_test::oidOf(0x43);
  ok.fh.vob_uuid = korva_test::uuidOf(0x21);
  ok.fh.dbid = 5;
  ok.lvut = {7, 8};
  j = decoded(replyPacket(xdr_view_getattr_reply_t, ok), 108);
  EXPECT_EQ("getattr", j["call"]);
  EXPECT_EQ(0x100000002ull, j["attr"]["fstat"]["size"]);
  EXPECT_EQ(kOid, j["attr"]["obj_oid"]);
  EXPECT_EQ(kVob, j["fh"]["vob"]);
  EXPECT_EQ(5, j["fh"]["dbid"]);
  EXPECT_EQ(ordered_json::array({7, 8}), j["lvut"]);

  // Directory entries, packed as the handlers pack them.
  char entries[64];
  view_dirent d{11, 2, 0, 1};
  u_int used = view_dirent_write(entries, &d, "a");
  d = view_dirent{12, 3, 0, 3};
  used += view_dirent_write(entries + used, &d, "bcd");
  view_readdir_reply_t dir{};
  dir.nbytes = used;
  dir.room = sizeof entries;
  dir.entries = entries;
  dir.eof = TRUE;
  j = decoded(replyPacket(xdr_view_readdir_reply_t, dir), 10);
  EXPECT_EQ(R"([{"name":"a","ino":11,"off":2},{"name":"bcd","ino":12,"off":3}])", j["entries"].dump());
  EXPECT_EQ(true, j["eof"]);
  EXPECT_EQ(3, j["next_offset"]);

  // A notice; a body that does not decode; a reply nobody asked for.
  korva::Notice notice{korva::kNoticeName, korva_test::uuidOf(0x21), korva_test::oidOf(0x43), "x y"};
  Bytes n = korva::makeNoticePacket(notice);
  EXPECT_EQ(R"({"notice":"name","kind":1,"vob":")" + kVob + R"(","oid":")" + kOid + R"(","name":"x y"})",
            korva_sim::decodePacket(n.data(), n.size(), std::nullopt).dump());
  Bytes bad = replyPacket(xdr_view_lookup_reply_t, failed);
  bad.resize(bad.size() - 2);
  korva::ReplyHeader bh = korva::readReplyHeader(bad.data());
  bh.res_out_size = bad.size() - korva::kHeaderSize;
  korva::writeReplyHeader(bad.data(), bh);
  j = decoded(bad, 107);
  EXPECT_EQ("the reply body does not decode", j["error"]);
  EXPECT_EQ("00000009000004", j["body"].get<std::string>().substr(0, 14));
  j = korva_sim::decodePacket(bad.data(), bad.size(), std::nullopt);
  EXPECT_FALSE(j.contains("call"));
  EXPECT_TRUE(j.contains("body"));
}

namespace {

// A daemon for the tool: Lookup "a" finds dbid 5, "missing" fails, "notify"
// invalidates the name before answering, "slow" waits up to `slow_window_ms_`
// for a second request to arrive; Getattr answers 1063.
class KorvaSimRunTest : public korva_test::KorvaRootTest {
 protected:
  Answer serve(const Served& s) {
    Answer a;
    Bytes body(korva::kBodyMax);
    size_t length = 0;
    if (s.header.op == 107) {
      view_lookup_req_t req{};
      EXPECT_TRUE(ostrelxdr_decode_body(xdr_view_lookup_req_t, s.body.data(), s.body.size(), &req));
      std::string name = req.name;
      view_lookup_reply_t reply{};
      reply.hdr.xid = req.hdr.xid;
      ostrelxdr_free(xdr_view_lookup_req_t, &req);
      if (name == "notify") {
        EXPECT_EQ(0, korva_test::invalidate(root_ + "/view/v1", KORVA_INVAL_NAME, 0x21, 0x43, "a", 0).status);
      }
      // Another request of this run reached a thread. Counted, not looked
      // for after this one: a thread that took its request later may record
      // it first.
      auto another = [&] { return daemon_->served().size() - served_before_run_ > 1; };
      if (name == "slow" && !thread_test::eventually(another, std::chrono::milliseconds(slow_window_ms_.load()))) {
        reply.hdr.status = 1020;
      }
      if (name == "missing") reply.hdr.status = 1052;
      reply.fh.dbid = 5;
      reply.name_state = 0x30;
      EXPECT_TRUE(ostrelxdr_encode_body(xdr_view_lookup_reply_t, &reply, body.data(), body.size(), &length));
    } else if (s.header.op == 108) {
      view_getattr_reply_t reply{};
      reply.hdr.status = 1063;
      reply.name_state = 0x44;
      EXPECT_TRUE(ostrelxdr_encode_body(xdr_view_getattr_reply_t, &reply, body.data(), body.size(), &length));
    } else {
      a.rpc_status = 3;
    }
    body.resize(length);
    a.body = body;
    return a;
  }

  void startDaemon(int threads) {
    daemon_ = std::make_unique<korva_test::FakeDaemon>("v1", 0x11, threads, [this](const Served& s) {
      return serve(s);
    });
  }
  void TearDown() override {
    daemon_.reset();
    KorvaRootTest::TearDown();
  }

  struct Run {
    int status = -1;
    std::vector<ordered_json> lines;
    std::string err;
  };
  Run run(const std::string& input, korva_sim::Options options) {
    options.view_tag = "v1";
    served_before_run_ = daemon_ ? daemon_->served().size() : 0;
    Run r;
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    EXPECT_EQ(static_cast<ssize_t>(input.size()), write(fds[1], input.data(), input.size()));
    close(fds[1]);
    char* out_text = nullptr;
    char* err_text = nullptr;
    size_t out_size = 0, err_size = 0;
    FILE* out = open_memstream(&out_text, &out_size);
    FILE* err = open_memstream(&err_text, &err_size);
    r.status = korva_sim::run(options, fds[0], out, err);
    close(fds[0]);
    fclose(out);
    fclose(err);
    std::istringstream lines(out_text);
    for (std::string line; std::getline(lines, line);) r.lines.push_back(ordered_json::parse(line));
    r.err = err_text;
    free(out_text);
    free(err_text);
    return r;
  }

  std::unique_ptr<korva_test::FakeDaemon> daemon_;
  // Set by the test, read by the daemon's threads.
  std::atomic<int> slow_window_ms_{2000};
  std::atomic<size_t> served_before_run_{0};
};

}  // namespace

TEST_F(KorvaSimRunTest, EachRequestLineGetsItsReplyAndNoticesArePrintedAsTheyCome) {
  startDaemon(2);
  Run r = run("# a comment, then a blank line\n\n"
              R"({"call": "lookup", "dir": {"dbid": 2}, "name": "a"})" "\n"
              R"({"call": "lookup", "name": "missing"})" "\n"
              R"({"call": "lookup", "name": "notify"})" "\n"
              R"({"call": "getattr", "id": 40})" "\n"
              R"({"call": 77})",
              {});
  EXPECT_EQ(korva_sim::kExitDone, r.status) << r.err;
  ASSERT_EQ(6u, r.lines.size());
  EXPECT_EQ(1, r.lines[0]["request_id"]);
  EXPECT_EQ(0, r.lines[0]["status"]);
  EXPECT_EQ(5, r.lines[0]["fh"]["dbid"]);
  EXPECT_EQ(2, r.lines[1]["request_id"]);
  EXPECT_EQ(1052, r.lines[1]["status"]);
  EXPECT_EQ(48, r.lines[1]["name_state"]);
  EXPECT_EQ("name", r.lines[2]["notice"]);
  EXPECT_EQ("a", r.lines[2]["name"]);
  EXPECT_EQ(3, r.lines[3]["request_id"]);
  EXPECT_EQ(40, r.lines[4]["request_id"]);
  EXPECT_EQ("getattr", r.lines[4]["call"]);
  EXPECT_EQ(1063, r.lines[4]["status"]);
  EXPECT_EQ(68, r.lines[4]["name_state"]);
  EXPECT_FALSE(r.lines[4].contains("attr"));
  EXPECT_EQ(4, r.lines[5]["request_id"]);
  EXPECT_EQ(3, r.lines[5]["rpc_status"]);
  EXPECT_EQ(77, r.lines[5]["call"]);
}

TEST_F(KorvaSimRunTest, RequestsArePipelinedOnlyWhenAsked) {
  startDaemon(2);
  const std::string input = R"({"call": "lookup", "name": "slow"})" "\n" R"({"call": "lookup", "name": "a"})" "\n";
  for (bool pipeline : {true, false}) {
    korva_sim::Options options;
    options.pipeline = pipeline;
    // A pipelined second request ends the wait as soon as it comes, so a
    // long window costs nothing and holds on a loaded machine; unpipelined,
    // the wait always runs out.
    slow_window_ms_ = pipeline ? 30000 : 300;
    Run r = run(input, options);
    EXPECT_EQ(korva_sim::kExitDone, r.status) << r.err;
    ASSERT_EQ(2u, r.lines.size());
    // The slow lookup succeeds only when the second request reached the daemon while it waited.
    ordered_json slow = r.lines[0]["request_id"] == 1 ? r.lines[0] : r.lines[1];
    EXPECT_EQ(pipeline ? 0 : 1020, slow["status"]) << "pipeline " << pipeline;
  }
}

TEST_F(KorvaSimRunTest, RawPacketsGoAsTheyAreAndHostileOnesGetTheChannelsRefusal) {
  startDaemon(1);
  korva_sim::Options options;
  options.raw = true;
  Bytes header_only(korva::kHeaderSize, 0);
  korva::RequestHeader h;
  h.op = 0;
  h.req_size = 4;  // but no body follows
  h.request_id = 12;
  korva::writeRequestHeader(header_only.data(), h);
  korva_sim::Request lookup =
      korva_sim::encodeRequest(json::parse(R"({"call": "lookup", "name": "a", "id": 13})"), {});
  Run r = run("0102 0304\n" + korva_sim::hexOf(header_only.data(), header_only.size()) + "\n" +
                  korva_sim::hexOf(lookup.packet.data(), lookup.packet.size()) + "\n",
              options);
  EXPECT_EQ(korva_sim::kExitDone, r.status) << r.err;
  ASSERT_EQ(3u, r.lines.size());
  EXPECT_EQ((ordered_json{{"request_id", 0}, {"rpc_status", 4}, {"res_out_size", 0}}), r.lines[0]);
  EXPECT_EQ(12, r.lines[1]["request_id"]);
  EXPECT_EQ(4, r.lines[1]["rpc_status"]);
  EXPECT_EQ("null", r.lines[1]["call"]);
  EXPECT_EQ(13, r.lines[2]["request_id"]);
  EXPECT_EQ("lookup", r.lines[2]["call"]);
  EXPECT_EQ(0, r.lines[2]["status"]);
  EXPECT_EQ(1u, daemon_->served().size());
}

TEST_F(KorvaSimRunTest, ExitStatusesSayWhatWentWrong) {
  korva_sim::Options options;
  Run none = run(R"({"call": "null"})" "\n", options);
  EXPECT_EQ(korva_sim::kExitChannel, none.status);
  EXPECT_NE(std::string::npos, none.err.find("not registered")) << none.err;

  startDaemon(0);  // registered, but nobody answers
  options.timeout_ms = 100;
  Run silent = run(R"({"call": "null", "id": 5})" "\n", options);
  EXPECT_EQ(korva_sim::kExitTimeout, silent.status);
  EXPECT_NE(std::string::npos, silent.err.find("no reply to request 5 within 100 ms")) << silent.err;

  Run bad = run("\n{\"call\": \"lookup\"\n", options);
  EXPECT_EQ(korva_sim::kExitInput, bad.status);
  EXPECT_NE(std::string::npos, bad.err.find("line 2")) << bad.err;

  // The daemon going away closes the connection (the earlier runs' own
  // connections gone first, so that the one counted is this run's).
  ASSERT_TRUE(thread_test::eventually([&] {
    auto c = korva::ChannelTable::process().find(korva::ChannelTable::key(korva::Root(root_), "v1"));
    return c && c->connectionCount() == 0;
  }));
  std::thread unregister([&] {
    EXPECT_TRUE(thread_test::eventually([&] {
      auto c = korva::ChannelTable::process().find(korva::ChannelTable::key(korva::Root(root_), "v1"));
      return c && c->connectionCount() == 1;
    }));
    daemon_->unregister();
  });
  options.timeout_ms = 20000;
  Run closed = run(R"({"call": "null"})" "\n", options);
  unregister.join();
  EXPECT_EQ(korva_sim::kExitChannel, closed.status);
  // Closed before or after the request went.
  EXPECT_TRUE(closed.err.find("closed the connection") != std::string::npos ||
              closed.err.find("sending line 1 failed") != std::string::npos)
      << closed.err;
}

TEST_F(KorvaSimRunTest, TheProgramTakesItsOptionsAndTheViewTag) {
  startDaemon(1);
  const std::string dir = base_;
  std::ofstream(dir + "/in") << R"({"call": "lookup", "name": "a"})" << "\n"
                             << R"({"call": "lookup", "name": "missing"})" << "\n";
  auto tool = [&](const std::string& args) {
    std::string command = std::string(KORVA_SIM) + " " + args + " <" + dir + "/in >" + dir + "/out 2>" + dir + "/err";
    int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  };
  auto lines = [&](const std::string& name) {
    std::ifstream file(dir + "/" + name);
    std::vector<std::string> out;
    for (std::string line; std::getline(file, line);) out.push_back(line);
    return out;
  };
  EXPECT_EQ(0, tool("--pipeline --timeout 20 v1"));
  std::vector<std::string> out = lines("out");
  ASSERT_EQ(2u, out.size());
  EXPECT_NE(out[0], out[1]);
  EXPECT_TRUE(lines("err").empty());

  for (const char* usage : {"", "--fast v1", "--timeout 0 v1", "v1 v2", "--timeout"}) {
    EXPECT_EQ(2, tool(usage)) << usage;
    EXPECT_NE(std::string::npos, lines("err").at(0).find("usage: korva_sim")) << usage;
  }
  EXPECT_EQ(1, tool("v9"));
}
