#include "tools/korva_fuse/korva_fuse_nodes.h"

#include <cstring>

namespace korva_fuse {

Nodes::Nodes() {
  Entry& root = nodes_[kRootIno];
  root.node.ino = kRootIno;
  root.node.own = true;
  root.node.type = QEL_FTYPE_DIR;
  by_path_[""] = kRootIno;
}

std::string Nodes::objectKey(const qel_uuid_s& vob, uint32_t dbid) {
  std::string key(reinterpret_cast<const char*>(vob.bytes), sizeof vob.bytes);
  key.append(reinterpret_cast<const char*>(&dbid), sizeof dbid);
  return key;
}

std::string Nodes::oidKey(const qel_uuid_s& vob, const qel_oid_s& oid) {
  std::string key(reinterpret_cast<const char*>(vob.bytes), sizeof vob.bytes);
  key.append(reinterpret_cast<const char*>(oid.bytes), sizeof oid.bytes);
  return key;
}

void Nodes::index(Entry& entry, const view_fhandle_t& fh, const view_vstat_t& attr) {
  Node& node = entry.node;
  // A new oid (a view-private object's changes it) replaces the old one's key.
  if (!qel_oid_eq(&node.oid, &attr.obj_oid)) {
    auto old = by_oid_.find(oidKey(node.fh.vob_uuid, node.oid));
    if (old != by_oid_.end() && old->second == node.ino) by_oid_.erase(old);
  }
  node.fh = fh;
  node.oid = attr.obj_oid;
  node.type = attr.fstat.type;
  node.attr = attr;
  by_object_[objectKey(fh.vob_uuid, static_cast<uint32_t>(fh.dbid))] = node.ino;
  if (!qel_oid_eq(&attr.obj_oid, &QEL_OID_NULL)) by_oid_[oidKey(fh.vob_uuid, attr.obj_oid)] = node.ino;
}

void Nodes::unindex(const Node& node) {
  auto object = by_object_.find(objectKey(node.fh.vob_uuid, static_cast<uint32_t>(node.fh.dbid)));
  if (object != by_object_.end() && object->second == node.ino) by_object_.erase(object);
  auto oid = by_oid_.find(oidKey(node.fh.vob_uuid, node.oid));
  if (oid != by_oid_.end() && oid->second == node.ino) by_oid_.erase(oid);
}

Ino Nodes::known(const view_fhandle_t& fh, const view_vstat_t& attr) const {
  auto object = by_object_.find(objectKey(fh.vob_uuid, static_cast<uint32_t>(fh.dbid)));
  // A VOB object's stamp is its VOB's, which may change; a view-private
  // object's is its own.
  if (object != by_object_.end() &&
      (!viewPrivate(fh) || nodes_.at(object->second).node.fh.stamp == fh.stamp))
    return object->second;
  if (!viewPrivate(fh) || qel_oid_eq(&attr.obj_oid, &QEL_OID_NULL)) return 0;
  auto oid = by_oid_.find(oidKey(fh.vob_uuid, attr.obj_oid));
  return oid != by_oid_.end() && viewPrivate(nodes_.at(oid->second).node.fh) ? oid->second : 0;
}

Ino Nodes::found(const view_fhandle_t& fh, const view_vstat_t& attr, Ino parent, const std::string& name,
                 uint32_t name_state, uint64_t lookups, uint64_t connection, uint32_t* generation) {
  std::lock_guard<std::mutex> lock(mu_);
  Ino ino = known(fh, attr);
  if (ino == 0) {
    ino = next_++;
    nodes_[ino].node.ino = ino;
    nodes_[ino].node.generation = fh.stamp;
  }
  Entry& entry = nodes_[ino];
  if (entry.node.fh.dbid != fh.dbid) unindex(entry.node);
  index(entry, fh, attr);
  entry.node.connection = connection;
  this->name(entry, parent, name);
  entry.node.name_state = name_state;
  entry.lookups += lookups;
  if (generation != nullptr) *generation = entry.node.generation;
  return ino;
}

Ino Nodes::own(const std::string& path, Ino parent, const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  auto known = by_path_.find(path);
  if (known != by_path_.end()) return known->second;
  Ino ino = next_++;
  Node& node = nodes_[ino].node;
  node.ino = ino;
  node.own = true;
  node.path = path;
  node.type = QEL_FTYPE_DIR;
  node.parent = parent;
  node.name = name;
  by_path_[path] = ino;
  return ino;
}

void Nodes::rebind(Ino ino, const view_fhandle_t& fh, const view_vstat_t& attr, uint64_t connection) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end() || it->second.node.own) return;
  unindex(it->second.node);
  index(it->second, fh, attr);
  it->second.node.connection = connection;
}

void Nodes::refound(Ino parent, const std::string& name, const view_fhandle_t& fh, const view_vstat_t& attr,
                    uint64_t connection) {
  std::lock_guard<std::mutex> lock(mu_);
  auto named = by_name_.find({parent, name});
  if (named == by_name_.end()) return;
  auto it = nodes_.find(named->second);
  if (it == nodes_.end() || it->second.node.own) return;
  Node& node = it->second.node;
  const bool same_vob = std::memcmp(node.fh.vob_uuid.bytes, fh.vob_uuid.bytes, sizeof fh.vob_uuid.bytes) == 0;
  if (!same_vob || qel_oid_eq(&attr.obj_oid, &QEL_OID_NULL) || !qel_oid_eq(&node.oid, &attr.obj_oid)) return;
  if (node.fh.dbid == fh.dbid && node.fh.stamp == fh.stamp) return;
  unindex(node);
  index(it->second, fh, attr);
  node.connection = connection;
}

void Nodes::checked(Ino ino, const view_fhandle_t& fh, uint64_t connection) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end() || it->second.node.own) return;
  Node& node = it->second.node;
  if (node.fh.dbid == fh.dbid && node.fh.stamp == fh.stamp && node.connection < connection)
    node.connection = connection;
}

void Nodes::name(Entry& entry, Ino parent, const std::string& name) {
  if (entry.node.parent != parent || entry.node.name != name) {
    unname(entry.node);
    const Ino was = entry.node.parent;
    entry.node.parent = parent;
    entry.node.name = name;
    if (was != parent) {
      auto it = nodes_.find(parent);
      if (it != nodes_.end()) ++it->second.children;
      if (was != 0) release(was);
    }
  }
  by_name_[{parent, name}] = entry.node.ino;
}

void Nodes::release(Ino ino) {
  auto it = nodes_.find(ino);
  if (it == nodes_.end()) return;
  if (it->second.children != 0) --it->second.children;
  if (!it->second.node.own && it->second.lookups == 0 && it->second.children == 0) erase(it);
}

void Nodes::erase(std::unordered_map<Ino, Entry>::iterator it) {
  const Ino parent = it->second.node.parent;
  unindex(it->second.node);
  unname(it->second.node);
  nodes_.erase(it);
  if (parent != 0) release(parent);
}

void Nodes::unname(const Node& node) {
  auto it = by_name_.find({node.parent, node.name});
  if (it != by_name_.end() && it->second == node.ino) by_name_.erase(it);
}

void Nodes::renamed(Ino parent, const std::string& name, Ino new_parent, const std::string& new_name) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = by_name_.find({parent, name});
  if (it == by_name_.end()) return;
  auto node = nodes_.find(it->second);
  by_name_.erase(it);
  if (node != nodes_.end()) this->name(node->second, new_parent, new_name);
}

void Nodes::removed(Ino parent, const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  by_name_.erase({parent, name});
}

void Nodes::update(Ino ino, const view_vstat_t& attr) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = nodes_.find(ino);
  if (it != nodes_.end() && !it->second.node.own) it->second.node.attr = attr;
}

void Nodes::detach(Ino ino) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = nodes_.find(ino);
  if (it != nodes_.end() && !it->second.node.own) unindex(it->second.node);
}

void Nodes::forget(Ino ino, uint64_t lookups) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end() || it->second.node.own) return;
  Entry& entry = it->second;
  entry.lookups = lookups < entry.lookups ? entry.lookups - lookups : 0;
  if (entry.lookups == 0 && entry.children == 0) erase(it);
}

std::vector<Ino> Nodes::holdPath(Ino ino) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Ino> held;
  // Each step goes to the directory a name was found in, which was found
  // before it: the walk ends at the root.
  for (auto it = nodes_.find(ino); it != nodes_.end() && !it->second.node.own && held.size() < nodes_.size();
       it = nodes_.find(it->second.node.parent)) {
    ++it->second.lookups;
    held.push_back(it->first);
  }
  return held;
}

bool Nodes::get(Ino ino, Node* node) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end()) return false;
  *node = it->second.node;
  return true;
}

Ino Nodes::byOid(const qel_uuid_s& vob, const qel_oid_s& oid) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = by_oid_.find(oidKey(vob, oid));
  return it == by_oid_.end() ? 0 : it->second;
}

std::vector<Node> Nodes::all() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Node> out;
  out.reserve(nodes_.size());
  for (const auto& entry : nodes_) out.push_back(entry.second.node);
  return out;
}

size_t Nodes::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return nodes_.size();
}

}  // namespace korva_fuse
