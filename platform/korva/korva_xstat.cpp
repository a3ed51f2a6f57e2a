#include "platform/korva/korva_xstat.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>

#include "platform/korva/korva_channel_client.h"
#include "platform/korva/korva_message.h"
#include "xdr/ostrelxdr_codec.h"

namespace korva {

namespace {

static_assert(kMessageSize == VIEW_MSG_SIZE && kBodyMax == VIEW_MSG_BODY_MAX,
              "the channel carries the kernel protocol's messages");

std::atomic<int> g_timeout_ms{30000};

constexpr uint64_t kOpReadlink = 29;
constexpr uint64_t kOpRoot = 105;
constexpr uint64_t kOpLookup = 107;

using Components = std::vector<std::string>;

// Splits `path` at "/" and resolves "." and ".." by name onto `out` (".."
// never climbs above its start).
void appendComponents(const std::string& path, Components* out) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(start, end - start);
    if (name == "..") {
      if (!out->empty()) out->pop_back();
    } else if (!name.empty() && name != ".") {
      out->push_back(name);
    }
    start = end + 1;
  }
}

Components componentsOf(const std::string& path) {
  Components out;
  appendComponents(path, &out);
  return out;
}

// A VOB tag names its directory in the view less a leading "/" or "\\".
Components vobTagComponents(const std::string& tag) {
  size_t start = tag.empty() || (tag[0] != '/' && tag[0] != '\\') ? 0 : 1;
  return componentsOf(tag.substr(start));
}

// The object a walk has reached.
struct Reached {
  view_fhandle_t fh{};
  view_vstat_t attr{};
  uint32_t name_state = 0;
};

class Resolver {
 public:
  explicit Resolver(const XstatPlan& plan) : plan_(plan) {}

  int run(bool follow, XstatAnswer* answer) {
    if (client_.connectPath(plan_.socket_path) != 0) return QEL_ST_NOT_SUPPORTED;
    Components path = componentsOf(plan_.rest);
    for (int links = 0; links <= kMaxLinks; ++links) {
      Reached reached;
      bool redirected = false;
      int status = walk(&path, follow, &reached, &redirected);
      if (status != 0) return status;
      if (!redirected) {
        answer->vstat = reached.attr;
        answer->object_oid = reached.attr.obj_oid;
        answer->vob_uuid = reached.fh.vob_uuid;
        answer->replica_uuid = reached.fh.vob_uuid;
        answer->word = reached.name_state;
        return 0;
      }
    }
    return QEL_ST_TOO_MANY_LINKS;
  }

 private:
  // Walks `*path` from the VOB that holds it into `*reached`. A link to
  // follow makes `*path` the path to walk instead and sets `*redirected`.
  int walk(Components* path, bool follow, Reached* reached, bool* redirected) {
    const VobEntry* vob = nullptr;
    size_t depth = 0;
    for (const VobEntry& m : plan_.mounts) {
      Components tag = vobTagComponents(m.vob_tag);
      if (tag.empty() || tag.size() > path->size() || tag.size() <= depth) continue;
      if (std::equal(tag.begin(), tag.end(), path->begin())) {
        vob = &m;
        depth = tag.size();
      }
    }
    if (vob == nullptr) return QEL_ST_NO_ENTRY;
    int status = root(*vob, reached);
    for (size_t i = depth; status == 0 && i < path->size(); ++i) {
      status = lookup((*path)[i], reached);
      bool last = i + 1 == path->size();
      if (status != 0 || reached->attr.fstat.type != QEL_FTYPE_LNK || (last && !follow)) continue;
      std::string text;
      status = readlink(reached->fh, &text);
      if (status != 0) break;
      const std::string& root_dir = plan_.view_root_dir;
      Components next;
      if (text.empty() || text[0] != '/') {
        next.assign(path->begin(), path->begin() + static_cast<long>(i));
      } else if (text.compare(0, root_dir.size(), root_dir) == 0 &&
                 (text.size() == root_dir.size() || text[root_dir.size()] == '/')) {
        text.erase(0, root_dir.size());
      } else {
        return QEL_ST_NOT_SUPPORTED;  // a link out of the view
      }
      appendComponents(text, &next);
      next.insert(next.end(), path->begin() + static_cast<long>(i) + 1, path->end());
      *path = std::move(next);
      *redirected = true;
      return 0;
    }
    return status;
  }

  int root(const VobEntry& vob, Reached* reached) {
    view_replica_root_req_t req{};
    if (qel_str_to_oid(vob.family_oid.c_str(), &req.family_oid) != 0 ||
        qel_str_to_uuid(vob.replica_uuid.c_str(), &req.replica_uuid) != 0) {
      return QEL_ST_INTERNAL;
    }
    char empty[] = "";
    req.text1 = empty;
    req.text2 = empty;
    req.name = empty;
    view_getattr_reply_t reply{};
    int status = call(kOpRoot, &req, xdr_view_replica_root_req_t, &reply, xdr_view_getattr_reply_t);
    if (status != 0) return status;
    reached->fh = reply.fh;
    reached->attr = reply.attr;
    reached->name_state = reply.name_state;
    return reply.hdr.status;
  }

  int lookup(const std::string& name, Reached* reached) {
    view_lookup_req_t req{};
    req.dir = reached->fh;
    req.name = const_cast<char*>(name.c_str());  // encoding only reads it
    char empty[] = "";
    req.residual = empty;
    view_lookup_reply_t reply{};
    int status = call(kOpLookup, &req, xdr_view_lookup_req_t, &reply, xdr_view_lookup_reply_t);
    if (status != 0) return status;
    if (reply.hdr.status != 0) return reply.hdr.status;
    reached->fh = reply.fh;
    reached->attr = reply.attr;
    reached->name_state = reply.name_state;
    return 0;
  }

  int readlink(const view_fhandle_t& fh, std::string* text) {
    view_readlink_req_t req{};
    req.fh = fh;
    req.buf_len = VIEW_PNAME_MAX + 1;
    view_readlink_reply_t reply{};
    int status = call(kOpReadlink, &req, xdr_view_readlink_req_t, &reply, xdr_view_readlink_reply_t);
    if (status != 0) return status;
    status = reply.hdr.status;
    if (status == 0 && reply.text != nullptr) *text = reply.text;
    ostrelxdr_free(xdr_view_readlink_reply_t, &reply);
    return status;
  }

  // One request and its reply. 0 when the reply arrived and decoded; its own
  // status is then in its header.
  template <typename Req, typename Rep>
  int call(uint64_t op, Req* req, ostrelxdr_proc<Req> encode, Rep* reply, ostrelxdr_proc<Rep> decode) {
    uint32_t id = ++last_id_;
    req->hdr.time = std::time(nullptr);
    req->hdr.xid = id;
    req->hdr.view = plan_.view_uuid;
    unsigned char body[kBodyMax];
    size_t length = 0;
    if (!ostrelxdr_encode_body(encode, req, body, sizeof body, &length)) return QEL_ST_INTERNAL;
    if (client_.send(makeRequestPacket(op, id, kBodyMax, body, length)) != 0) return QEL_ST_INTERNAL;
    std::vector<unsigned char> packet;
    for (;;) {
      if (client_.receive(&packet, xstatTimeout()) != 0) return QEL_ST_INTERNAL;
      if (packet.size() < kHeaderSize || readMark(packet.data()) != kMarkReply) continue;  // a notice
      ReplyHeader header = readReplyHeader(packet.data());
      if (header.request_id != id) continue;
      if (header.rpc_status != 0 || header.res_out_size > packet.size() - kHeaderSize) return QEL_ST_INTERNAL;
      bool ok = ostrelxdr_decode_body(decode, packet.data() + kHeaderSize, header.res_out_size, reply);
      return ok ? 0 : QEL_ST_INTERNAL;
    }
  }

  const XstatPlan& plan_;
  ChannelClient client_;
  uint32_t last_id_ = 0;
};

}  // namespace

int resolveXstat(const XstatPlan& plan, bool follow, XstatAnswer* answer) {
  return Resolver(plan).run(follow, answer);
}

void setXstatTimeout(int milliseconds) { g_timeout_ms.store(milliseconds); }

int xstatTimeout() { return g_timeout_ms.load(); }

}  // namespace korva
