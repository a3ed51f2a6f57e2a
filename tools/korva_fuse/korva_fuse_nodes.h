#pragma once
// korva_fuse's inodes: the numbers the kernel knows the view's objects by.
// An object of a VOB is one inode per (VOB uuid, dbid) pair, whatever name
// it was found under, so that hard links share their inode. A view-private
// object keeps its inode while it lives: one found under another dbid with
// its oid (the daemon rebuilt its database) is the same inode, and a dbid
// that another view-private object takes over (by its stamp) is a new one.
// The view's root
// directory (inode 1) and the directories that lead to VOB roots (the
// leading names of VOB tags) are inodes of korva_fuse's own. Each inode
// remembers the name it was last found under, so that a whole-view
// invalidation can drop the kernel's entries too, and its object's oid, by
// which the daemon's notices name it.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "xdr/ostrelxdr_view.h"

namespace korva_fuse {

// The kernel's inode number (fuse_ino_t).
using Ino = uint64_t;
constexpr Ino kRootIno = 1;

// Whether `fh` is a view-private object's (its dbid has the top bit set)
// rather than a VOB object's.
inline bool viewPrivate(const view_fhandle_t& fh) { return (fh.dbid & 0x80000000u) != 0; }

struct Node {
  Ino ino = 0;
  // A directory of korva_fuse's own: the view root or a leading name of a
  // VOB tag. `path` is its path below the view root ("" for the root).
  bool own = false;
  std::string path;
  // An object: its handle, oid and file type, and its name state as the
  // last look-up gave it.
  view_fhandle_t fh{};
  qel_oid_s oid = QEL_OID_NULL;
  uint32_t type = 0;
  uint32_t name_state = 0;
  // The directory and name it was last found under (0 and "" for the root).
  Ino parent = 0;
  std::string name;
  // Its status as the daemon last gave it.
  view_vstat_t attr{};
  // The connection to the daemon that `fh` was had or last checked on.
  uint64_t connection = 0;
  // The kernel's generation of the inode: the stamp of the handle it was
  // made with. The inode keeps it when it gets a new handle of the same
  // object, or the kernel would take it for another.
  uint32_t generation = 0;
};

class Nodes {
 public:
  Nodes();

  // The object `fh` (status `attr`) found as `name` in `parent`: its inode,
  // made when it has none, with `lookups` more look-ups counted, and the
  // inode's generation in `*generation` (when given).
  // `connection` is the connection the daemon answered on.
  Ino found(const view_fhandle_t& fh, const view_vstat_t& attr, Ino parent, const std::string& name,
            uint32_t name_state, uint64_t lookups, uint64_t connection, uint32_t* generation = nullptr);
  // The directory of korva_fuse's own at `path`, made when it has none.
  // These are never forgotten.
  Ino own(const std::string& path, Ino parent, const std::string& name);
  // The inode `ino` now stands for the object `fh` (a file made over a name
  // the inode had).
  void rebind(Ino ino, const view_fhandle_t& fh, const view_vstat_t& attr, uint64_t connection);
  // The object `fh` (status `attr`) is the one the inode last found as
  // `name` in `parent` stands for, found again under another handle (a
  // VOB's root after the daemon rebuilt its database): that inode stands
  // for it now, and is the one found() gives. Nothing changes when the
  // inode stands for another object.
  void refound(Ino parent, const std::string& name, const view_fhandle_t& fh, const view_vstat_t& attr,
               uint64_t connection);
  // The handle of `ino`, still `fh`, was found to name its object on
  // `connection`.
  void checked(Ino ino, const view_fhandle_t& fh, uint64_t connection);
  // The daemon gave `attr` as the status of the object of `ino`.
  void update(Ino ino, const view_vstat_t& attr);
  // The object of `ino` is gone from the daemon: nothing found later is
  // this inode.
  void detach(Ino ino);
  // The name `name` of `parent` was renamed to `new_name` of `new_parent`,
  // or removed: the inode last found under it is found again under its
  // new name, or no longer under this one.
  void renamed(Ino parent, const std::string& name, Ino new_parent, const std::string& new_name);
  void removed(Ino parent, const std::string& name);
  // The kernel forgets `lookups` look-ups of `ino`; the inode goes with the
  // last, once no inode found in it is left. As a kernel keeps a directory
  // while it holds a name in it, a directory stays while an inode found in
  // it does: an object is found again by its names up to the VOB's root,
  // also after the kernel forgot a directory on the way (a VOB's root gets
  // a new inode when a rebuilt database gives it another handle, and the
  // kernel forgets the old one).
  void forget(Ino ino, uint64_t lookups);
  // Counts one look-up more of `ino`, for korva_fuse's own use, and of
  // each directory it was found through up to one of korva_fuse's own: the
  // inodes held, each to be forgotten once. The kernel may forget those
  // directories meanwhile; korva_fuse then still finds the object again by
  // its names.
  std::vector<Ino> holdPath(Ino ino);

  // A copy of the inode; false when there is none.
  bool get(Ino ino, Node* node) const;
  // The inode of the object `oid` of VOB `vob`; 0 when there is none.
  Ino byOid(const qel_uuid_s& vob, const qel_oid_s& oid) const;
  // Every inode.
  std::vector<Node> all() const;
  size_t size() const;

 private:
  struct Entry {
    Node node;
    uint64_t lookups = 0;
    // The inodes whose parent this one is.
    uint64_t children = 0;
  };
  static std::string objectKey(const qel_uuid_s& vob, uint32_t dbid);
  static std::string oidKey(const qel_uuid_s& vob, const qel_oid_s& oid);
  // The inode an object found as `fh` with `attr` already has; 0 when none.
  Ino known(const view_fhandle_t& fh, const view_vstat_t& attr) const;
  void index(Entry& entry, const view_fhandle_t& fh, const view_vstat_t& attr);
  void unindex(const Node& node);
  // Gives the inode of `entry` the name `name` of `parent`.
  void name(Entry& entry, Ino parent, const std::string& name);
  void unname(const Node& node);
  // The inode `ino` is no longer the parent of one of its children: it
  // goes when nothing else keeps it, and then its own parent loses a child.
  void release(Ino ino);
  // Drops the inode of `it`, kept by nothing, and releases its parent.
  void erase(std::unordered_map<Ino, Entry>::iterator it);

  mutable std::mutex mu_;
  Ino next_ = kRootIno + 1;
  std::unordered_map<Ino, Entry> nodes_;
  std::unordered_map<std::string, Ino> by_object_;
  std::unordered_map<std::string, Ino> by_oid_;
  std::map<std::string, Ino> by_path_;
  // The inodes by the directory and name they were last found under.
  std::map<std::pair<Ino, std::string>, Ino> by_name_;
};

}  // namespace korva_fuse
