#include "tools/korva_sim/korva_sim_codec.h"

#include <cctype>
#include <cstring>
#include <ctime>
#include <deque>
#include <stdexcept>

#include "platform/korva/korva_fields.h"
#include "platform/utl/credutl.h"
#include "tools/common/json_fields.h"
#include "xdr/ostrelxdr_codec.h"

namespace korva_sim {

namespace {

using json_fields::Fields;
using Bytes = std::vector<unsigned char>;

// ---- JSON -> request records --------------------------------------------------

void readFh(Fields f, view_fhandle_t* fh) {
  f.id("vob", &fh->vob_uuid, qel_str_to_uuid);
  fh->dbid = f.word("dbid");
  fh->elem_dbid = f.word("elem_dbid");
  fh->stamp = f.word("stamp");
  fh->flags = f.word("flags");
  fh->spare = f.word("spare");
  f.finish();
}

void readAttr(Fields f, view_set_attr_t* attr) {
  attr->mask = f.word("mask");
  attr->type = f.word("type");
  attr->mode = f.word("mode");
  f.sid("owner", &attr->owner);
  f.sid("group", &attr->group);
  attr->size = f.hyper("size");
  f.time("atime", &attr->atime.tv_sec, &attr->atime.tv_usec);
  f.time("mtime", &attr->mtime.tv_sec, &attr->mtime.tv_usec);
  f.finish();
}

void readStamp(Fields& f, timeval* stamp) { f.time("stamp", &stamp->tv_sec, &stamp->tv_usec); }

// Texts a request points at, kept alive until it is encoded.
class Texts {
 public:
  char* take(Fields& f, const char* key) {
    held_.push_back(f.string(key));
    return held_.back().data();
  }

 private:
  std::deque<std::string> held_;  // stable addresses
};

void readDirArg(Fields f, Texts& texts, view_dir_arg_t* arg) {
  readFh(f.object("dir"), &arg->dir);
  arg->name = texts.take(f, "name");
  f.finish();
}

template <typename R>
Bytes encodeBody(ostrelxdr_proc<R> proc, R* record) {
  Bytes body(korva::kBodyMax);
  size_t length = 0;
  if (!ostrelxdr_encode_body(proc, record, body.data(), body.size(), &length)) {
    throw std::runtime_error("the request does not encode (a text beyond its bound, or more than a message holds)");
  }
  body.resize(length);
  return body;
}

using Encoder = Bytes (*)(Fields&, const view_hdr_req_t&);

Bytes encodeHeaderOnly(Fields&, const view_hdr_req_t& hdr) {
  view_hdr_req_t r = hdr;
  return encodeBody(xdr_view_hdr_req_t, &r);
}

Bytes encodeHandle(Fields& f, const view_hdr_req_t& hdr) {
  view_getattr_req_t r{};
  r.hdr = hdr;
  readFh(f.object("fh"), &r.fh);
  return encodeBody(xdr_view_getattr_req_t, &r);
}

Bytes encodeReaddir(Fields& f, const view_hdr_req_t& hdr) {
  view_readdir_req_t r{};
  r.hdr = hdr;
  readFh(f.object("dir"), &r.dir);
  r.offset = f.word("offset");
  r.max_size = f.word("max_size");
  return encodeBody(xdr_view_readdir_req_t, &r);
}

Bytes encodeReaddirExt(Fields& f, const view_hdr_req_t& hdr) {
  Texts texts;
  view_readdir_ext_req_t r{};
  r.hdr = hdr;
  readFh(f.object("dir"), &r.dir);
  r.offset = f.word("offset");
  r.name = texts.take(f, "name");
  r.options = f.word("options");
  r.max_size = f.word("max_size");
  return encodeBody(xdr_view_readdir_ext_req_t, &r);
}

Bytes encodeReadlink(Fields& f, const view_hdr_req_t& hdr) {
  view_readlink_req_t r{};
  r.hdr = hdr;
  readFh(f.object("fh"), &r.fh);
  r.buf_len = f.word("buf_len");
  return encodeBody(xdr_view_readlink_req_t, &r);
}

Bytes encodeGpath(Fields& f, const view_hdr_req_t& hdr) {
  view_gpath_req_t r{};
  r.hdr = hdr;
  readFh(f.object("fh"), &r.fh);
  r.flag = f.flag("flag");
  r.path_len = f.word("path_len");
  r.ext_path_len = f.word("ext_path_len");
  return encodeBody(xdr_view_gpath_req_t, &r);
}

Bytes encodeInvalidate(Fields& f, const view_hdr_req_t& hdr) {
  Texts texts;
  view_invalidate_req_t r{};
  r.hdr = hdr;
  r.kind = static_cast<view_invalidate_type>(f.word("kind"));
  f.id("vob_id", &r.vob_id, qel_str_to_oid);
  f.id("oid", &r.oid, qel_str_to_oid);
  r.name = texts.take(f, "name");
  return encodeBody(xdr_view_invalidate_req_t, &r);
}

Bytes encodeRoot(Fields& f, const view_hdr_req_t& hdr) {
  Texts texts;
  view_replica_root_req_t r{};
  r.hdr = hdr;
  f.id("family_oid", &r.family_oid, qel_str_to_oid);
  f.id("replica_uuid", &r.replica_uuid, qel_str_to_uuid);
  r.text1 = texts.take(f, "text1");
  r.text2 = texts.take(f, "text2");
  r.warp = static_cast<view_hm_warp_opt>(f.word("warp"));
  r.name = texts.take(f, "name");
  return encodeBody(xdr_view_replica_root_req_t, &r);
}

Bytes encodeLookup(Fields& f, const view_hdr_req_t& hdr) {
  Texts texts;
  view_lookup_req_t r{};
  r.hdr = hdr;
  readFh(f.object("dir"), &r.dir);
  r.name = texts.take(f, "name");
  r.warp = static_cast<view_hm_warp_opt>(f.word("warp"));
  r.residual = texts.take(f, "residual");
  return encodeBody(xdr_view_lookup_req_t, &r);
}

Bytes encodeSetattr(Fields& f, const view_hdr_req_t& hdr) {
  view_setattr_req_t r{};
  r.hdr = hdr;
  readFh(f.object("fh"), &r.fh);
  readAttr(f.object("attr"), &r.attr);
  return encodeBody(xdr_view_setattr_req_t, &r);
}

// The name in the directory of a create, mkdir, symlink, remove or rmdir.
void readWhere(Fields& f, Texts& texts, view_dir_arg_t* where) {
  readFh(f.object("dir"), &where->dir);
  where->name = texts.take(f, "name");
}

Bytes encodeCreate(Fields& f, const view_hdr_req_t& hdr) {
  Texts texts;
  view_create_req_t r{};
  r.hdr = hdr;
  readWhere(f, texts, &r.where);
  readAttr(f.object("attr"), &r.attr);
  r.cont_path_len = f.word("cont_path_len");
  readStamp(f, &r.stamp);
  return encodeBody(xdr_view_create_req_t, &r);
}

Bytes encodeDirReq(Fields& f, const view_hdr_req_t& hdr) {
  Texts texts;
  view_dir_req_t r{};
  r.hdr = hdr;
  readWhere(f, texts, &r.where);
  readStamp(f, &r.stamp);
  return encodeBody(xdr_view_dir_req_t, &r);
}

Bytes encodeMkdir(Fields& f, const view_hdr_req_t& hdr) {
  Texts texts;
  view_mkdir_req_t r{};
  r.hdr = hdr;
  readWhere(f, texts, &r.where);
  readAttr(f.object("attr"), &r.attr);
  readStamp(f, &r.stamp);
  return encodeBody(xdr_view_mkdir_req_t, &r);
}

Bytes encodeRename(Fields& f, const view_hdr_req_t& hdr) {
  Texts texts;
  view_rename_req_t r{};
  r.hdr = hdr;
  readDirArg(f.object("from"), texts, &r.from);
  readDirArg(f.object("to"), texts, &r.to);
  readStamp(f, &r.stamp);
  return encodeBody(xdr_view_rename_req_t, &r);
}

Bytes encodeLink(Fields& f, const view_hdr_req_t& hdr) {
  Texts texts;
  view_link_req_t r{};
  r.hdr = hdr;
  readFh(f.object("fh"), &r.fh);
  readWhere(f, texts, &r.where);
  readStamp(f, &r.stamp);
  return encodeBody(xdr_view_link_req_t, &r);
}

Bytes encodeSymlink(Fields& f, const view_hdr_req_t& hdr) {
  Texts texts;
  view_symlink_req_t r{};
  r.hdr = hdr;
  readWhere(f, texts, &r.where);
  r.text = texts.take(f, "text");
  readAttr(f.object("attr"), &r.attr);
  readStamp(f, &r.stamp);
  return encodeBody(xdr_view_symlink_req_t, &r);
}

Bytes encodeChangeMtype(Fields& f, const view_hdr_req_t& hdr) {
  view_change_mtype_req_t r{};
  r.hdr = hdr;
  readFh(f.object("fh"), &r.fh);
  r.mtype = f.word("mtype");
  return encodeBody(xdr_view_change_mtype_req_t, &r);
}

Bytes encodeChangeOid(Fields& f, const view_hdr_req_t& hdr) {
  view_change_oid_req_t r{};
  r.hdr = hdr;
  readFh(f.object("fh"), &r.fh);
  r.option = static_cast<view_change_oid_option>(f.word("option"));
  return encodeBody(xdr_view_change_oid_req_t, &r);
}

// ---- reply records -> JSON ------------------------------------------------------

std::string text(const qel_uuid_s& id) { return korva::idText(id); }
std::string text(const qel_oid_s& id) { return korva::idText(id); }

std::string text(const credutl_sid_t& sid) {
  char t[128];
  return credutl_sid_to_str(&sid, t, sizeof t) == 0 ? std::string(t) : std::string();
}

template <typename Time>
ordered_json time(const Time& t) {
  return ordered_json::array({static_cast<uint64_t>(t.tv_sec), static_cast<uint64_t>(t.tv_usec)});
}

ordered_json fhJson(const view_fhandle_t& fh) {
  return ordered_json{{"vob", text(fh.vob_uuid)}, {"dbid", fh.dbid},   {"elem_dbid", fh.elem_dbid},
                      {"stamp", fh.stamp},        {"flags", fh.flags}, {"spare", fh.spare}};
}

ordered_json vstatJson(const view_vstat_t& v) {
  const qel_fstat_db_t& s = v.fstat;
  ordered_json fstat{{"type", s.type},           {"mode", s.mode},          {"nlink", s.nlink},
                     {"aux", s.aux},             {"owner", text(s.usid)},   {"group", text(s.gsid)},
                     {"size", uint64_t{s.size}}, {"nodeid", s.nodeid},      {"xtime", time(s.xtime)},
                     {"atime", time(s.atime)},   {"mtime", time(s.mtime)},  {"ctime", time(s.ctime)}};
  return ordered_json{{"fstat", fstat},
                      {"mtype", v.mtype},
                      {"elem_oid", text(v.elem_oid)},
                      {"obj_oid", text(v.obj_oid)},
                      {"event_time", time(v.event_time)},
                      {"rmap_oid", text(v.rmap_oid)},
                      {"last_time", time(v.last_time)}};
}

ordered_json dirModJson(const view_dir_mod_t& m) {
  return ordered_json{{"dir_attr", vstatJson(m.dir_attr)}, {"unchanged", m.unchanged != 0}};
}

std::string pathText(const char* p) { return p != nullptr ? std::string(p) : std::string(); }

// Decodes `body` into the layout's record, hands it to `fill` and frees it.
template <typename R, typename Fill>
bool decodeWith(ostrelxdr_proc<R> proc, const unsigned char* body, size_t size, ordered_json* out, Fill fill,
                R record = R{}) {
  if (!ostrelxdr_decode_body(proc, body, size, &record)) return false;
  (*out)["xid"] = record.hdr.xid;
  (*out)["status"] = record.hdr.status;
  fill(record);
  ostrelxdr_free(proc, &record);
  return true;
}

using Decoder = bool (*)(const unsigned char*, size_t, ordered_json*);

bool decodeNull(const unsigned char* body, size_t size, ordered_json* out) {
  return decodeWith(xdr_view_null_reply_t, body, size, out, [](const view_null_reply_t&) {});
}

bool decodeGetattr(const unsigned char* body, size_t size, ordered_json* out) {
  return decodeWith(xdr_view_getattr_reply_t, body, size, out, [out](const view_getattr_reply_t& r) {
    if (r.hdr.status == QEL_ST_NOT_PERMITTED) (*out)["name_state"] = r.name_state;
    if (r.hdr.status != 0) return;
    (*out)["attr"] = vstatJson(r.attr);
    (*out)["name_state"] = r.name_state;
    (*out)["fh"] = fhJson(r.fh);
    (*out)["lvut"] = time(r.lvut);
    (*out)["name_flag"] = r.name_flag != 0;
  });
}

bool decodeRevalidate(const unsigned char* body, size_t size, ordered_json* out) {
  return decodeWith(xdr_view_root_reply_t, body, size, out, [out](const view_root_reply_t& r) {
    if (r.hdr.status != 0) return;
    (*out)["attr"] = vstatJson(r.attr);
    (*out)["fh"] = fhJson(r.fh);
    (*out)["flag"] = r.flag != 0;
  });
}

bool decodeLookup(const unsigned char* body, size_t size, ordered_json* out) {
  return decodeWith(xdr_view_lookup_reply_t, body, size, out, [out](const view_lookup_reply_t& r) {
    (*out)["name_state"] = r.name_state;
    if (r.hdr.status != 0) return;
    (*out)["fh"] = fhJson(r.fh);
    (*out)["attr"] = vstatJson(r.attr);
    (*out)["consumed"] = static_cast<uint64_t>(r.consumed);
    (*out)["name_flag"] = r.name_flag != 0;
    (*out)["lvut"] = time(r.lvut);
  });
}

bool decodeDir(const unsigned char* body, size_t size, ordered_json* out) {
  return decodeWith(xdr_view_dir_reply_t, body, size, out, [out](const view_dir_reply_t& r) {
    if (r.hdr.status == 0) (*out)["attr"] = vstatJson(r.attr);
  });
}

bool decodeDirMod(const unsigned char* body, size_t size, ordered_json* out) {
  return decodeWith(xdr_view_dir_mod_reply_t, body, size, out, [out](const view_dir_mod_reply_t& r) {
    if (r.hdr.status == 0) (*out)["dir_mod"] = dirModJson(r.dir_mod);
  });
}

bool decodeSymlink(const unsigned char* body, size_t size, ordered_json* out) {
  return decodeWith(xdr_view_symlink_reply_t, body, size, out, [out](const view_symlink_reply_t& r) {
    if (r.hdr.status != 0) return;
    (*out)["fh"] = fhJson(r.fh);
    (*out)["attr"] = vstatJson(r.attr);
    (*out)["dir_mod"] = dirModJson(r.dir_mod);
  });
}

bool decodeCreate(const unsigned char* body, size_t size, ordered_json* out) {
  return decodeWith(xdr_view_create_reply_t, body, size, out, [out](const view_create_reply_t& r) {
    if (r.hdr.status != 0) return;
    (*out)["fh"] = fhJson(r.fh);
    (*out)["attr"] = vstatJson(r.attr);
    (*out)["dir_mod"] = dirModJson(r.dir_mod);
    (*out)["cont_path_len"] = static_cast<uint64_t>(r.cont_path_len);
    (*out)["cont_path"] = pathText(r.cont_path);
  });
}

bool decodeReadlink(const unsigned char* body, size_t size, ordered_json* out) {
  return decodeWith(xdr_view_readlink_reply_t, body, size, out, [out](const view_readlink_reply_t& r) {
    if (r.hdr.status != 0) return;
    (*out)["text_len"] = static_cast<uint64_t>(r.text_len);
    (*out)["text"] = pathText(r.text);
  });
}

bool decodeCleartext(const unsigned char* body, size_t size, ordered_json* out) {
  return decodeWith(xdr_view_cltxt_reply_t, body, size, out, [out](const view_cltxt_reply_t& r) {
    if (r.hdr.status != 0) return;
    (*out)["path_len"] = static_cast<uint64_t>(r.path_len);
    (*out)["path"] = pathText(r.path);
    (*out)["cache_path"] = r.cache_path != 0;
  });
}

bool decodeGpath(const unsigned char* body, size_t size, ordered_json* out) {
  return decodeWith(xdr_view_gpath_reply_t, body, size, out, [out](const view_gpath_reply_t& r) {
    if (r.hdr.status != 0) return;
    (*out)["path_len"] = static_cast<uint64_t>(r.path_len);
    (*out)["path"] = pathText(r.path);
    (*out)["ext_path_len"] = static_cast<uint64_t>(r.ext_path_len);
    (*out)["ext_path"] = pathText(r.ext_path);
  });
}

// The entries of a directory read, `extended` or not.
template <bool extended>
bool decodeReaddir(const unsigned char* body, size_t size, ordered_json* out) {
  view_readdir_reply_t empty{};
  empty.room = korva::kBodyMax;  // never more than a message brings
  auto fill = [out](const view_readdir_reply_t& r) {
    if (r.hdr.status != 0) return;
    ordered_json entries = ordered_json::array();
    for (u_int at = 0; r.entries != nullptr && at < r.nbytes;) {
      ordered_json e;
      if (extended) {
        view_dirent_ext head;
        const char* name = view_dirent_ext_read(r.entries + at, &head);
        e = ordered_json{{"name", std::string(name, head.namlen)},
                         {"ino", head.ino},
                         {"off", head.off},
                         {"name_state", head.name_state},
                         {"rule", head.rule},
                         {"obj_oid", text(head.obj_oid)},
                         {"obj_mtype", head.obj_mtype},
                         {"ver_oid", text(head.ver_oid)},
                         {"ver_mtype", head.ver_mtype}};
        at += view_dirent_ext_reclen(head.namlen);
      } else {
        view_dirent head;
        const char* name = view_dirent_read(r.entries + at, &head);
        e = ordered_json{{"name", std::string(name, head.namlen)}, {"ino", head.ino}, {"off", head.off}};
        at += view_dirent_reclen(head.namlen);
      }
      entries.push_back(std::move(e));
    }
    (*out)["entries"] = std::move(entries);
    (*out)["next_offset"] = r.next_offset;
    (*out)["eof"] = r.eof != 0;
  };
  return decodeWith(extended ? xdr_view_readdir_ext_reply_t : xdr_view_readdir_reply_t, body, size, out, fill,
                    empty);
}

struct Call {
  const char* name;
  uint64_t op;
  Encoder encode;
  Decoder decode;  // null: the reply carries no body
};

const Call kCalls[] = {
    {"null", 0, encodeHeaderOnly, nullptr},
    {"readdir", 10, encodeReaddir, decodeReaddir<false>},
    {"getcleartext", 12, encodeReadlink, decodeCleartext},
    {"readdir_ext", 14, encodeReaddirExt, decodeReaddir<true>},
    {"gpath", 15, encodeGpath, decodeGpath},
    {"invalidate", 19, encodeInvalidate, decodeNull},
    {"readlink", 29, encodeReadlink, decodeReadlink},
    {"root", 105, encodeRoot, decodeGetattr},
    {"revalidate", 106, encodeHandle, decodeRevalidate},
    {"lookup", 107, encodeLookup, decodeLookup},
    {"getattr", 108, encodeHandle, decodeGetattr},
    {"setattr", 109, encodeSetattr, decodeDir},
    {"create", 110, encodeCreate, decodeCreate},
    {"remove", 111, encodeDirReq, decodeDirMod},
    {"mkdir", 112, encodeMkdir, decodeSymlink},
    {"rmdir", 113, encodeDirReq, decodeDirMod},
    {"rename", 114, encodeRename, decodeDirMod},
    {"link", 115, encodeLink, decodeDirMod},
    {"symlink", 116, encodeSymlink, decodeSymlink},
    {"change_mtype", 117, encodeChangeMtype, decodeDir},
    {"change_oid", 118, encodeChangeOid, decodeDir},
};

const Call* callOf(uint64_t op) {
  for (const Call& c : kCalls) {
    if (c.op == op) return &c;
  }
  return nullptr;
}

template <typename T>
T load(const unsigned char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

ordered_json noticeJson(const unsigned char* body, size_t size) {
  korva::Notice n;
  if (!korva::decodeNoticeBody(body, size, &n)) {
    return ordered_json{{"notice", "undecodable"}, {"body", hexOf(body, size)}};
  }
  const char* what = n.kind == korva::kNoticeName ? "name" : n.kind == korva::kNoticeView ? "view" : "object";
  return ordered_json{{"notice", what}, {"kind", n.kind}, {"vob", text(n.vob)}, {"oid", text(n.oid)},
                      {"name", n.name}};
}

}  // namespace

const char* callName(uint64_t op) {
  const Call* c = callOf(op);
  return c != nullptr ? c->name : nullptr;
}

std::optional<uint64_t> callCode(const std::string& name) {
  for (const Call& c : kCalls) {
    if (name == c.name) return c.op;
  }
  return std::nullopt;
}

Request encodeRequest(const json& object, const Defaults& defaults) {
  Fields f(object, "request");
  Request request;
  if (!f.has("call")) throw std::runtime_error("request: no \"call\"");
  const json& call = object.at("call");
  if (call.is_string()) {
    std::optional<uint64_t> code = callCode(call.get<std::string>());
    if (!code) throw std::runtime_error("request.call: no call named \"" + call.get<std::string>() + "\"");
    request.op = *code;
    f.string("call");
  } else {
    request.op = f.hyper("call");
  }
  request.id = f.has("id") ? f.word("id") : defaults.id;
  uint64_t res_in_size = f.has("res_in_size") ? f.hyper("res_in_size") : korva::kBodyMax;

  view_hdr_req_t hdr{};
  hdr.time = f.has("time") ? static_cast<time_t>(f.word("time")) : std::time(nullptr);
  hdr.xid = f.has("xid") ? f.word("xid") : request.id;
  hdr.view = defaults.view_uuid;
  f.id("view", &hdr.view, qel_str_to_uuid);
  hdr.build_handle.build_session = f.word("build_session");
  hdr.build_handle.build_id = f.word("build_id");

  const Call* c = callOf(request.op);
  Bytes body = (c != nullptr ? c->encode : encodeHeaderOnly)(f, hdr);
  f.finish();
  request.packet = korva::makeRequestPacket(request.op, request.id, res_in_size, body.data(), body.size());
  return request;
}

Request rawRequest(const std::string& hex) {
  Request request;
  int high = -1;
  for (char ch : hex) {
    if (std::isspace(static_cast<unsigned char>(ch))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(ch))) {
      throw std::runtime_error(std::string("raw packet: '") + ch + "' is no hex digit");
    }
    int digit = std::isdigit(static_cast<unsigned char>(ch)) ? ch - '0' : std::tolower(ch) - 'a' + 10;
    if (high < 0) {
      high = digit;
    } else {
      request.packet.push_back(static_cast<unsigned char>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) throw std::runtime_error("raw packet: an odd number of hex digits");
  if (request.packet.size() >= 8) request.op = load<uint64_t>(request.packet.data());
  if (request.packet.size() >= 28) request.id = korva::readRequestId(request.packet.data());
  return request;
}

ordered_json decodePacket(const unsigned char* packet, size_t size, std::optional<uint64_t> op) {
  if (size < korva::kHeaderSize) {
    return ordered_json{{"error", "a packet shorter than its header"}, {"body", hexOf(packet, size)}};
  }
  const unsigned char* body = packet + korva::kHeaderSize;
  size_t body_size = size - korva::kHeaderSize;
  if (korva::readMark(packet) == korva::kMarkNotice) return noticeJson(body, body_size);

  korva::ReplyHeader h = korva::readReplyHeader(packet);
  ordered_json out{{"request_id", h.request_id}, {"rpc_status", h.rpc_status}, {"res_out_size", h.res_out_size}};
  if (h.mark != korva::kMarkReply) out["mark"] = h.mark;
  if (op) {
    const char* name = callName(*op);
    out["call"] = name != nullptr ? ordered_json(name) : ordered_json(*op);
  }
  if (h.res_out_size != body_size) out["error"] = "res_out_size is not the body's length";
  if (body_size == 0) return out;
  const Call* c = op ? callOf(*op) : nullptr;
  Decoder decode = op ? (c != nullptr ? c->decode : decodeNull) : nullptr;
  if (decode == nullptr) {
    out["body"] = hexOf(body, body_size);
  } else if (!decode(body, body_size, &out)) {
    out["error"] = "the reply body does not decode";
    out["body"] = hexOf(body, body_size);
  }
  return out;
}

std::string hexOf(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0xf];
  }
  return out;
}

}  // namespace korva_sim
