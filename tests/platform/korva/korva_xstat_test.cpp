// Status queries of paths in a view, walked through the view's channel to a
// daemon that answers Root, Lookup and Readlink from a small tree.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "korva_fake_daemon.h"
#include "korva_test_support.h"
#include "platform/korva/korva.h"
#include "platform/korva/korva_control.h"
#include "platform/korva/korva_xstat.h"
#include "xdr/ostrelxdr_codec.h"

using korva_test::Answer;
using korva_test::FakeDaemon;
using korva_test::Served;

namespace {

// One object of the VOB "/vobs/src" (replica 0x21, family 0x31). Object oids
// are the dbid in every byte.
struct Node {
  uint32_t type;
  std::map<std::string, uint32_t> entries;  // names -> dbids; a status for refused names
  std::string link;
};

class KorvaXstatTest : public korva_test::KorvaRootTest {
 protected:
  void SetUp() override {
    KorvaRootTest::SetUp();
    std::string root_dir = root_ + "/view/v1";
    nodes_[1] = {QEL_FTYPE_DIR, {{"dir", 2}, {"file.c", 3}, {"link", 4}, {"abs", 5}, {"loop", 6}, {"out", 7},
                                 {"up", 9}, {"denied", 1051}}, ""};
    nodes_[2] = {QEL_FTYPE_DIR, {{"inner.h", 8}}, ""};
    nodes_[3] = {QEL_FTYPE_REG, {}, ""};
    nodes_[4] = {QEL_FTYPE_LNK, {}, "dir/inner.h"};
    nodes_[5] = {QEL_FTYPE_LNK, {}, root_dir + "/vobs/src/file.c"};
    nodes_[6] = {QEL_FTYPE_LNK, {}, "loop"};
    nodes_[7] = {QEL_FTYPE_LNK, {}, "/usr/include"};
    nodes_[8] = {QEL_FTYPE_REG, {}, ""};
    nodes_[9] = {QEL_FTYPE_LNK, {}, "../src/dir"};
  }

  Answer serve(const Served& s) {
    Answer a;
    std::vector<unsigned char> body(korva::kBodyMax);
    size_t length = 0;
    std::lock_guard<std::mutex> lock(mu_);
    ops_.push_back(s.header.op);
    if (s.header.op == 105) {
      view_replica_root_req_t req{};
      EXPECT_TRUE(ostrelxdr_decode_body(xdr_view_replica_root_req_t, s.body.data(), s.body.size(), &req));
      EXPECT_EQ(s.header.request_id != 0, true);
      view_getattr_reply_t reply{};
      reply.hdr.xid = req.hdr.xid;
      if (req.replica_uuid.bytes[0] != 0x21 || req.family_oid.bytes[0] != 0x31 || req.name[0] != '\0') {
        reply.hdr.status = 1072;
      } else {
        fill(1, &reply.fh, &reply.attr);
        reply.name_state = 0x77;
      }
      ostrelxdr_free(xdr_view_replica_root_req_t, &req);
      EXPECT_TRUE(ostrelxdr_encode_body(xdr_view_getattr_reply_t, &reply, body.data(), body.size(), &length));
    } else if (s.header.op == 107) {
      view_lookup_req_t req{};
      EXPECT_TRUE(ostrelxdr_decode_body(xdr_view_lookup_req_t, s.body.data(), s.body.size(), &req));
      view_lookup_reply_t reply{};
      reply.hdr.xid = req.hdr.xid;
      const Node& dir = nodes_[req.dir.dbid];
      auto found = dir.entries.find(req.name);
      if (found == dir.entries.end()) {
        reply.hdr.status = 1052;
      } else if (found->second > 1000) {
        reply.hdr.status = static_cast<qel_status_t>(found->second);
      } else {
        fill(found->second, &reply.fh, &reply.attr);
        reply.name_state = 0x100 + found->second;
      }
      ostrelxdr_free(xdr_view_lookup_req_t, &req);
      EXPECT_TRUE(ostrelxdr_encode_body(xdr_view_lookup_reply_t, &reply, body.data(), body.size(), &length));
    } else if (s.header.op == 29) {
      view_readlink_req_t req{};
      EXPECT_TRUE(ostrelxdr_decode_body(xdr_view_readlink_req_t, s.body.data(), s.body.size(), &req));
      view_readlink_reply_t reply{};
      reply.hdr.xid = req.hdr.xid;
      std::string text = nodes_[req.fh.dbid].link;
      reply.text_len = text.size();
      reply.text = const_cast<char*>(text.c_str());
      EXPECT_TRUE(ostrelxdr_encode_body(xdr_view_readlink_reply_t, &reply, body.data(), body.size(), &length));
    } else {
      a.rpc_status = 3;
    }
    body.resize(length);
    a.body = body;
    return a;
  }

  void fill(uint32_t dbid, view_fhandle_t* fh, view_vstat_t* attr) {
    fh->vob_uuid = korva_test::uuidOf(0x21);
    fh->dbid = dbid;
    attr->fstat.type = nodes_[dbid].type;
    std::memset(attr->obj_oid.bytes, static_cast<int>(dbid), sizeof attr->obj_oid.bytes);
  }

  void mountSrc() {
    ASSERT_EQ(0, korva_test::mountVob("v1", "/vobs/src", "/vobstore/src.vbs", 0x21, 0x31).status);
  }

  struct Result {
    int status = -1;
    korva_xstat_record record{};
    view_vstat_t vstat{};
  };
  Result query(const std::string& rest, bool follow) {
    Result r;
    std::string path = root_ + "/view/v1" + rest;
    r.record.vstat = &r.vstat;
    r.record.vstat_size = sizeof r.vstat;
    korvacmd_block b = korva_test::blockOf(KORVA_MCB_GET_XSTAT, &r.record, path.c_str(), path.c_str());
    if (!follow) b.flags |= KORVA_MCB_NOFOLLOW;
    r.status = korva_test::issue(b).status;
    return r;
  }

  std::vector<uint64_t> ops() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<uint64_t> seen;
    seen.swap(ops_);
    return seen;
  }

  std::mutex mu_;
  std::map<uint32_t, Node> nodes_;
  std::vector<uint64_t> ops_;
};

}  // namespace

TEST_F(KorvaXstatTest, PathsAreWalkedFromTheVobRootByLookupsAndLinksAsAKernelWould) {
  FakeDaemon daemon("v1", 0x11, 2, [this](const Served& s) { return serve(s); });
  mountSrc();
  struct Case {
    const char* rest;
    bool follow;
    int status;
    uint32_t dbid;  // the object found (its oid bytes), when status is 0
    std::vector<uint64_t> ops;
  };
  const Case cases[] = {
      {"/vobs/src", true, 0, 1, {105}},
      {"/vobs/src/file.c", true, 0, 3, {105, 107}},
      {"/vobs/src/./dir/../dir/inner.h", true, 0, 8, {105, 107, 107}},
      {"/vobs/src/link", false, 0, 4, {105, 107}},
      {"/vobs/src/link", true, 0, 8, {105, 107, 29, 105, 107, 107}},
      {"/vobs/src/up/inner.h", false, 0, 8, {105, 107, 29, 105, 107, 107}},
      {"/vobs/src/abs", true, 0, 3, {105, 107, 29, 105, 107}},
      {"/vobs/src/loop", false, 0, 6, {105, 107}},
      {"/vobs/src/loop", true, 1083, 0, {}},
      {"/vobs/src/out", true, 1007, 0, {105, 107, 29}},
      {"/vobs/src/none", true, 1052, 0, {105, 107}},
      {"/vobs/src/denied/x", true, 1051, 0, {105, 107}},
      {"/vobs", true, 1052, 0, {}},
      {"", true, 1052, 0, {}},
  };
  for (const Case& c : cases) {
    Result r = query(c.rest, c.follow);
    std::vector<uint64_t> seen = ops();
    EXPECT_EQ(c.status, r.status) << c.rest;
    if (c.status != 1083) {
      EXPECT_EQ(c.ops, seen) << c.rest;
    }
    if (c.status != 0) continue;
    EXPECT_EQ(c.dbid, r.record.object_oid.bytes[0]) << c.rest;
    EXPECT_EQ(c.dbid, r.vstat.obj_oid.bytes[15]) << c.rest;
    EXPECT_EQ(nodes_[c.dbid].type, r.vstat.fstat.type) << c.rest;
    qel_uuid_s replica = korva_test::uuidOf(0x21);
    EXPECT_TRUE(qel_uuid_eq(&replica, &r.record.vob_uuid)) << c.rest;
    EXPECT_TRUE(qel_uuid_eq(&r.record.vob_uuid, &r.record.replica_uuid));
    EXPECT_EQ(c.dbid == 1 ? 0x77u : 0x100 + c.dbid, r.record.word) << c.rest;
  }
}

TEST_F(KorvaXstatTest, ADaemonThatStaysSilentGives1008AndTheQueryIsJournaled) {
  korva::setXstatTimeout(100);
  {
    FakeDaemon daemon("v1", 0x11, 0, [this](const Served& s) { return serve(s); });
    mountSrc();
    EXPECT_EQ(1008, query("/vobs/src/file.c", false).status);
  }
  korva::setXstatTimeout(30000);
  auto lines = korva::Control(korva::Root(root_)).journal().read();
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ((std::vector<std::string>{"lget_xstat", root_ + "/view/v1/vobs/src/file.c"}), lines[2]);
}
