#include "tools/korva_fuse/korva_fuse_fs.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

#include "platform/utl/credutl.h"

namespace korva_fuse {

namespace {

// Call codes of the kernel requests.
enum : uint64_t {
  kReaddir = 10,
  kGetcleartext = 12,
  kReadlink = 29,
  kRoot = 105,
  kLookup = 107,
  kGetattr = 108,
  kSetattr = 109,
  kCreate = 110,
  kRemove = 111,
  kMkdir = 112,
  kRmdir = 113,
  kRename = 114,
  kLink = 115,
  kSymlink = 116,
};

// How often files closed while the daemon was gone are offered to it again.
constexpr std::chrono::milliseconds kSettleRetry(200);
// How long a stop waits for the daemon to take what is still to tell it.
constexpr std::chrono::seconds kStopGrace(10);

// Room asked for a path name or a link's text.
constexpr size_t kPathRoom = 1024;

// Directories a name is found again through at most (a link cycle cannot
// arise: every step goes to the directory a name was found in).
constexpr int kMaxDepth = 256;
// How often a call is tried again when the connection its handle was
// checked on ended and another serves (kOtherConnection) before it gives
// up as a call in flight at a daemon's end does (EIO).
constexpr int kConnectionTries = 3;
// What refresh() gives when it cannot tell whether the object is still
// there (a directory on the way went stale again, or is no longer known):
// unlike ESTALE, not a sign that it is gone.
constexpr int kNotFoundAgain = EAGAIN;

// Name states under which a cached version may be written over (a kernel
// makes a view-private file of the name): checked out, hijacked.
constexpr uint32_t kCheckedOut = 0x20;
constexpr uint32_t kHijacked = 0x200000;

// Mask bits of the attributes that have no constant of their own.
constexpr u_int kAttrMode = 0x2;
constexpr u_int kAttrAtime = 0x100;
constexpr u_int kAttrMtime = 0x200;

// The empty text of request fields that may not be null.
char kEmpty[] = "";

struct timeval timevalOf(const struct timespec& ts) {
  struct timeval tv;
  tv.tv_sec = ts.tv_sec;
  tv.tv_usec = ts.tv_nsec / 1000;
  return tv;
}

struct timeval now() {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  return tv;
}

struct timespec timespecOf(const qel_fstat_time_s& t) {
  struct timespec ts;
  ts.tv_sec = t.tv_sec;
  ts.tv_nsec = static_cast<long>(t.tv_usec) * 1000;
  return ts;
}

view_dir_arg_t where(const view_fhandle_t& dir, const char* name) {
  view_dir_arg_t arg;
  arg.dir = dir;
  arg.name = const_cast<char*>(name);  // encoding only reads it
  return arg;
}

std::string joined(const std::vector<std::string>& names) {
  std::string path;
  for (const std::string& name : names) path += (path.empty() ? "" : "/") + name;
  return path;
}

// An errno value from a call's own error or its reply's status. The reply
// is taken by reference: its status is read once the call has filled it,
// whatever order the arguments were evaluated in.
template <typename Reply>
int outcome(int error, const Reply& reply) {
  return error != 0 ? error : errnoOf(reply.hdr.status);
}

}  // namespace

Filesystem::Filesystem(const Kernel& kernel, View view, CacheTimes times, std::function<void()> lost)
    : kernel_(kernel),
      view_(std::move(view)),
      times_(times),
      started_([] {
        struct timespec ts;
        ::clock_gettime(CLOCK_REALTIME, &ts);
        return ts;
      }()),
      channel_(view_.socket_path, view_.uuid,
               [this](const korva::Notice& notice) {
                 Invalidation invalidation;
                 invalidation.notice = notice;
                 queue(std::move(invalidation));
               },
               std::move(lost)),
      contents_(view_.storage, view_.cache_dir) {}

Filesystem::~Filesystem() {
  stop();
  std::lock_guard<std::mutex> lock(open_mu_);
  for (auto& entry : open_files_) {
    ::close(entry.second->fd);
    delete entry.second;
  }
}

void Filesystem::attach(fuse_session* session) {
  session_ = session;
  notices_ = std::thread([this] { applyInvalidations(); });
}

void Filesystem::stop() {
  // A daemon alive but not answering must not hold the stop for ever:
  // after a grace the channel is shut, which fails the calls still waiting.
  std::mutex guard_mu;
  std::condition_variable guard_cv;
  bool finished = false;
  std::thread guard([&] {
    std::unique_lock<std::mutex> lock(guard_mu);
    if (!guard_cv.wait_for(lock, kStopGrace, [&] { return finished; })) channel_.shutdown();
  });
  // The notices' thread ends first: a file it was offering meanwhile is
  // back among those closed untold.
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    stopping_ = true;
    queued_.notify_all();
  }
  if (notices_.joinable()) notices_.join();
  // Files closed while the daemon was gone are offered once more: what the
  // daemon is not told now is lost with this process.
  if (any_closed_untold_) settleClosed();
  {
    std::lock_guard<std::mutex> lock(guard_mu);
    finished = true;
  }
  guard_cv.notify_all();
  guard.join();
  channel_.shutdown();
}

Filesystem* Filesystem::of(fuse_req_t req) {
  // Every request to the daemon on this thread is now made for the
  // call's caller.
  const fuse_ctx* ctx = fuse_req_ctx(req);
  Channel::callFor(Caller{ctx->pid, ctx->uid, ctx->gid});
  return static_cast<Filesystem*>(fuse_req_userdata(req));
}

Filesystem::OpenFile* Filesystem::fileOf(fuse_file_info* fi) { return reinterpret_cast<OpenFile*>(fi->fh); }

// ---- attributes -----------------------------------------------------------------

uint64_t Filesystem::inodeNumber(const view_fhandle_t& fh, const view_vstat_t& attr) {
  // FNV-1a over the VOB and the object's oid (its dbid when it has none):
  // the same object has the same number whichever inode the kernel holds
  // it by, also after the daemon rebuilt its database. Numbers below
  // kOwnNumbers are those of korva_fuse's own directories.
  constexpr uint64_t kOwnNumbers = 1u << 20;
  uint64_t hash = 0xcbf29ce484222325u;
  auto mix = [&](const unsigned char* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3u;
  };
  mix(fh.vob_uuid.bytes, sizeof fh.vob_uuid.bytes);
  if (!qel_oid_eq(&attr.obj_oid, &QEL_OID_NULL)) {
    mix(attr.obj_oid.bytes, sizeof attr.obj_oid.bytes);
  } else {
    mix(reinterpret_cast<const unsigned char*>(&fh.dbid), sizeof fh.dbid);
  }
  return hash < kOwnNumbers ? hash + kOwnNumbers : hash;
}

struct stat Filesystem::statOf(const view_fhandle_t& fh, const view_vstat_t& attr) const {
  const qel_fstat_db_s& f = attr.fstat;
  struct stat st{};
  st.st_ino = static_cast<ino_t>(inodeNumber(fh, attr));
  mode_t type = f.type == QEL_FTYPE_DIR ? S_IFDIR : f.type == QEL_FTYPE_LNK ? S_IFLNK : S_IFREG;
  st.st_mode = type | (f.mode & 07777);
  st.st_nlink = f.nlink != 0 ? f.nlink : 1;
  uid_t uid;
  gid_t gid;
  st.st_uid = credutl_sid_to_uid(&f.usid, &uid) == 0 ? uid : ::geteuid();
  st.st_gid = credutl_sid_to_gid(&f.gsid, &gid) == 0 ? gid : ::getegid();
  st.st_size = static_cast<off_t>(uint64_t{f.size});
  st.st_blksize = 4096;
  st.st_blocks = (st.st_size + 511) / 512;
  st.st_atim = timespecOf(f.atime);
  st.st_mtim = timespecOf(f.mtime);
  st.st_ctim = timespecOf(f.ctime);
  return st;
}

struct stat Filesystem::ownStat(Ino ino) const {
  struct stat st{};
  st.st_ino = ino;
  st.st_mode = S_IFDIR | 0555;
  st.st_nlink = 2;
  st.st_uid = ::geteuid();
  st.st_gid = ::getegid();
  st.st_blksize = 4096;
  st.st_atim = st.st_mtim = st.st_ctim = started_;
  return st;
}

int Filesystem::askUntold(const std::function<int()>& ask) {
  int error = 0;
  for (int tries = 0; tries < kConnectionTries; ++tries) {
    const uint64_t tellings = tellings_.load();
    error = ask();
    if (error != 0 || tellings_.load() == tellings) break;
  }
  return error;
}

void Filesystem::overlayWritten(Ino ino, struct stat* st) {
  std::lock_guard<std::mutex> lock(open_mu_);
  auto range = open_files_.equal_range(ino);
  for (auto it = range.first; it != range.second; ++it) {
    struct stat container;
    if (!it->second->untold() || ::fstat(it->second->fd, &container) != 0) continue;
    st->st_size = container.st_size;
    st->st_blocks = (container.st_size + 511) / 512;
    st->st_mtim = container.st_mtim;
    return;
  }
}

fuse_entry_param Filesystem::entryOf(const view_fhandle_t& fh, const view_vstat_t& attr, Ino parent,
                                     const std::string& name, uint32_t name_state) {
  fuse_entry_param e{};
  uint32_t generation = 0;
  e.ino = nodes_.found(fh, attr, parent, name, name_state, 1, channel_.connections(), &generation);
  e.generation = generation;
  e.attr = statOf(fh, attr);
  overlayWritten(e.ino, &e.attr);
  e.attr_timeout = e.entry_timeout = times_.kept;
  return e;
}

int Filesystem::objectNode(Ino ino, bool writable, Node* node) const {
  if (!nodes_.get(ino, node)) return ESTALE;
  if (node->own) return writable ? EROFS : EISDIR;
  return 0;
}

// ---- names -------------------------------------------------------------------------

int Filesystem::lookupName(const view_fhandle_t& dir, const std::string& name, Found* found) {
  view_lookup_req_t req{};
  req.dir = dir;
  req.name = const_cast<char*>(name.c_str());
  req.warp = VIEW_HM_WARP_NONE;
  req.residual = kEmpty;
  view_lookup_reply_t reply{};
  int error = outcome(channel_.call(kLookup, &req, xdr_view_lookup_req_t, &reply, xdr_view_lookup_reply_t),
                      reply);
  if (error == 0) *found = {reply.fh, reply.attr, reply.name_state};
  return error;
}

int Filesystem::rootOf(const korva::VobEntry& vob, Found* found) {
  view_replica_root_req_t req{};
  if (qel_str_to_oid(vob.family_oid.c_str(), &req.family_oid) != 0 ||
      qel_str_to_uuid(vob.replica_uuid.c_str(), &req.replica_uuid) != 0) {
    return EIO;
  }
  req.text1 = req.text2 = req.name = kEmpty;
  req.warp = VIEW_HM_WARP_NONE;
  view_getattr_reply_t reply{};
  int error = outcome(channel_.call(kRoot, &req, xdr_view_replica_root_req_t, &reply, xdr_view_getattr_reply_t),
                      reply);
  if (error == 0) *found = {reply.fh, reply.attr, reply.name_state};
  return error;
}

int Filesystem::refresh(Ino ino, Node* node, int depth) {
  Node dir;
  if (node->own || depth > kMaxDepth) return ESTALE;
  if (!nodes_.get(node->parent, &dir)) return kNotFoundAgain;
  Found found;
  int error = ENOENT;
  const uint64_t connection = channel_.connections();
  if (dir.own) {
    const std::string path = dir.path.empty() ? node->name : dir.path + "/" + node->name;
    for (const korva::VobEntry& vob : kernel_.mounts(view_.tag))
      if (joined(tagPath(vob.vob_tag)) == path) error = rootOf(vob, &found);
  } else {
    // The directory's handle is checked as any other, and goes only on
    // the connection it was checked on: a lookup in another directory may
    // find another object of the same name.
    error = checkHandle(dir.ino, &dir);
    if (error == 0) error = lookupIn(dir, node->name, &found);
    if (error == ESTALE) {
      error = refresh(dir.ino, &dir, depth + 1);
      if (error == 0) error = lookupIn(dir, node->name, &found);
      // Stale again at once (a daemon just started may still give its
      // objects new handles): nothing tells that the name is gone.
      if (error == ESTALE) error = kNotFoundAgain;
    }
  }
  // The name may hold another object now: this one is gone.
  if (error == ENOENT || (error == 0 && !qel_oid_eq(&found.attr.obj_oid, &node->oid))) return ESTALE;
  if (error != 0) return error;
  // Found on the directory's connection when its handle is pinned to one.
  nodes_.rebind(ino, found.fh, found.attr, dir.own || pinOf(dir) == 0 ? connection : dir.connection);
  return nodes_.get(ino, node) ? 0 : ESTALE;
}

int Filesystem::lookupIn(const Node& dir, const std::string& name, Found* found) {
  Channel::Pinned pinned(pinOf(dir));
  return lookupName(dir.fh, name, found);
}

uint64_t Filesystem::pinOf(const Node& node) {
  return !node.own && viewPrivate(node.fh) ? node.connection : 0;
}

int Filesystem::sameObject(const view_fhandle_t& fh, const qel_oid_s& oid) {
  view_getattr_req_t request{};
  request.fh = fh;
  view_getattr_reply_t reply{};
  int error = outcome(channel_.call(kGetattr, &request, xdr_view_getattr_req_t, &reply, xdr_view_getattr_reply_t),
                      reply);
  if (error == 0 && !qel_oid_eq(&reply.attr.obj_oid, &oid)) error = ESTALE;
  return error;
}

int Filesystem::checkHandle(Ino ino, Node* node) {
  // A VOB object's handle is never given to another object; a view-private
  // one's may be, by a daemon that rebuilt its database.
  const uint64_t connection = channel_.connections();
  if (node->own || node->connection == connection || !viewPrivate(node->fh)) return 0;
  int error;
  {
    // Checked on the connection it is then used on.
    Channel::Pinned pinned(connection);
    error = sameObject(node->fh, node->oid);
  }
  if (error == 0) {
    nodes_.checked(ino, node->fh, connection);
    node->connection = connection;
  }
  return error;
}

int Filesystem::withHandle(Ino ino, Node* node, const std::function<int(const view_fhandle_t&)>& call) {
  // The handle goes only on the connection it was checked on: when another
  // connection came meanwhile (the daemon started again), it is checked
  // anew on that one.
  auto checked_call = [&] {
    int error = kOtherConnection;
    for (int tries = 0; error == kOtherConnection && tries < kConnectionTries; ++tries) {
      error = checkHandle(ino, node);
      if (error != 0) continue;
      Channel::Pinned pinned(pinOf(*node));
      error = call(node->fh);
    }
    return error;
  };
  int error = checked_call();
  if (error == ESTALE) {
    // Found again by name; when the name is gone or holds another object,
    // the object is gone (ESTALE), and any other failure is the call's.
    error = findAgain(ino, node);
    if (error == 0) error = checked_call();
  }
  return error == kOtherConnection || error == kNotFoundAgain ? EIO : error;
}

int Filesystem::findAgain(Ino ino, Node* node) {
  int error = kOtherConnection;
  for (int tries = 0; (error == kOtherConnection || error == kNotFoundAgain) && tries < kConnectionTries; ++tries)
    error = refresh(ino, node, 0);
  // Not found again for now: a failure of the call, never a sign that the
  // object is gone.
  return error == kOtherConnection || error == kNotFoundAgain ? EIO : error;
}

int Filesystem::find(const Node& dir, const std::string& name, fuse_entry_param* entry) {
  if (dir.own) return findOwn(dir, name, entry);
  if (name.size() > VIEW_NAME_MAX) return ENAMETOOLONG;
  Node parent = dir;
  Found found;
  int error = askUntold([&] {
    return withHandle(dir.ino, &parent, [&](const view_fhandle_t& fh) { return lookupName(fh, name, &found); });
  });
  *entry = fuse_entry_param{};
  if (error == ENOENT) {
    // Remembered as missing for a while; a notice of the name or of the
    // view drops it sooner.
    entry->entry_timeout = times_.missing;
    missing(dir.ino, name);
    return 0;
  }
  if (error != 0) return error;
  *entry = entryOf(found.fh, found.attr, dir.ino, name, found.name_state);
  return 0;
}

void Filesystem::missing(Ino dir, const std::string& name) {
  const auto now = std::chrono::steady_clock::now();
  const auto kept = std::chrono::duration<double>(times_.missing);
  std::lock_guard<std::mutex> lock(missing_mu_);
  while (!missing_.empty() && now - missing_.front().when > kept) missing_.pop_front();
  missing_.push_back({now, dir, name});
}

int Filesystem::findOwn(const Node& dir, const std::string& name, fuse_entry_param* entry) {
  const std::string path = dir.path.empty() ? name : dir.path + "/" + name;
  *entry = fuse_entry_param{};
  // The registry's mounts come with no notice: the names they give are
  // kept only briefly.
  entry->entry_timeout = times_.missing;
  for (const korva::VobEntry& vob : kernel_.mounts(view_.tag)) {
    const std::string tag = joined(tagPath(vob.vob_tag));
    if (tag == path) {
      Found found;
      const uint64_t connection = channel_.connections();
      int error = rootOf(vob, &found);
      if (error != 0) return error;
      // The VOB's root keeps its inode when a daemon started again gives
      // it another handle: the directories found in it, and the open files
      // beneath, are found again through it.
      nodes_.refound(dir.ino, name, found.fh, found.attr, connection);
      *entry = entryOf(found.fh, found.attr, dir.ino, name, found.name_state);
      entry->entry_timeout = times_.missing;
      return 0;
    }
    if (tag.size() > path.size() && tag.compare(0, path.size(), path) == 0 && tag[path.size()] == '/') {
      entry->ino = nodes_.own(path, dir.ino, name);
      entry->attr = ownStat(entry->ino);
      entry->attr_timeout = times_.missing;
      return 0;
    }
  }
  missing(dir.ino, name);
  return 0;
}

void Filesystem::lookup(fuse_req_t req, Ino parent, const char* name) {
  Node dir;
  if (!nodes_.get(parent, &dir)) {
    fuse_reply_err(req, ESTALE);
    return;
  }
  fuse_entry_param entry;
  if (!dir.own && std::strlen(name) <= VIEW_NAME_MAX &&
      made_dirs_.lacks(parent, name, channel_.noticesSeen(), channel_.connections())) {
    // Missing, and not kept: the next look-up asks here again.
    entry = fuse_entry_param{};
    fuse_reply_entry(req, &entry);
    return;
  }
  const uint64_t notices = channel_.noticesSeen();
  int error = find(dir, name, &entry);
  if (error == 0 && channel_.noticesSeen() != notices) {
    // A notice came while the daemon answered: the answer may be older
    // than the change it told of, so the kernel does not keep it.
    entry.entry_timeout = 0;
    entry.attr_timeout = 0;
  }
  if (error != 0) {
    fuse_reply_err(req, error);
  } else if (fuse_reply_entry(req, &entry) != 0 && entry.ino != 0) {
    nodes_.forget(entry.ino, 1);  // the kernel did not take it
  }
}

void Filesystem::forget(Ino ino, uint64_t lookups) {
  nodes_.forget(ino, lookups);
  Node node;
  if (nodes_.get(ino, &node)) return;
  // The kernel dropped the inode, and its pages with it.
  made_dirs_.forget(ino);
  std::lock_guard<std::mutex> lock(open_mu_);
  closed_as_.erase(ino);
  gone_.erase(ino);
}

// ---- attributes through the daemon -------------------------------------------------------

void Filesystem::getattr(fuse_req_t req, Ino ino) {
  Node node;
  if (!nodes_.get(ino, &node)) {
    fuse_reply_err(req, ESTALE);
    return;
  }
  struct stat st;
  const uint64_t notices = channel_.noticesSeen();
  if (node.own) {
    st = ownStat(ino);
  } else if (view_vstat_t kept; !gone(ino, &st) && takeKept(ino, &kept)) {
    nodes_.update(ino, kept);
    st = statOf(node.fh, kept);
  } else if (!gone(ino, &st)) {
    view_getattr_reply_t reply{};
    int error = askUntold([&] {
      return withHandle(ino, &node, [&](const view_fhandle_t& fh) {
        view_getattr_req_t request{};
        request.fh = fh;
        reply = view_getattr_reply_t{};
        return outcome(channel_.call(kGetattr, &request, xdr_view_getattr_req_t, &reply, xdr_view_getattr_reply_t),
                       reply);
      });
    });
    if (error == ESTALE && markGone(ino) && gone(ino, &st)) {
      fuse_reply_attr(req, &st, times_.kept);
      return;
    }
    if (error != 0) {
      fuse_reply_err(req, error);
      return;
    }
    nodes_.update(ino, reply.attr);
    st = statOf(node.fh, reply.attr);
    overlayWritten(ino, &st);
  }
  // As for a look-up: kept only when no notice came meanwhile.
  fuse_reply_attr(req, &st, channel_.noticesSeen() == notices ? times_.kept : 0);
}

int Filesystem::setAttributes(const view_fhandle_t& fh, const view_set_attr_t& attr, view_vstat_t* out) {
  view_setattr_req_t req{};
  req.fh = fh;
  req.attr = attr;
  view_dir_reply_t reply{};
  int error = outcome(channel_.call(kSetattr, &req, xdr_view_setattr_req_t, &reply, xdr_view_dir_reply_t),
                      reply);
  if (error == 0 && out != nullptr) *out = reply.attr;
  return error;
}

int Filesystem::settle(OpenFile* file) {
  struct stat st;
  uint64_t writes;
  {
    std::lock_guard<std::mutex> lock(open_mu_);
    if (!file->untold()) return 0;
    writes = file->writes;
    // A gone object has nobody to tell.
    if (gone_.count(file->ino) != 0) {
      file->told = writes;
      return 0;
    }
    if (::fstat(file->fd, &st) != 0) return errno;
  }
  view_set_attr_t attr{};
  attr.mask = VIEW_ATTR_SIZE | kAttrMtime;
  attr.size = static_cast<uint64_t>(st.st_size);
  attr.mtime = timevalOf(st.st_mtim);
  // Tells the daemon through `fh`, had on `connection`: a handle had on an
  // earlier connection goes only once it is seen to name the file's object
  // still, and on the connection it was seen on (a daemon started again
  // meanwhile may have given it to another object). Only this thread
  // settles the file now.
  auto tell = [&](const view_fhandle_t& fh, uint64_t connection) {
    int error = kOtherConnection;
    for (int tries = 0; error == kOtherConnection && tries < kConnectionTries; ++tries) {
      const uint64_t current = channel_.connections();
      Channel::Pinned pinned(viewPrivate(fh) ? current : 0);
      error = connection == current || !viewPrivate(fh) ? 0 : sameObject(fh, file->oid);
      if (error == 0) error = setAttributes(fh, attr, nullptr);
      if (error == 0) {
        file->fh = fh;
        file->connection = current;
      }
    }
    return error == kOtherConnection ? EIO : error;
  };
  int error = tell(file->fh, file->connection);
  Node node;
  const bool inodes_object = error == ESTALE && nodes_.get(file->ino, &node) && qel_oid_eq(&node.oid, &file->oid);
  if (inodes_object) {
    // The inode may have its object's new handle already (a daemon started
    // again may have rebuilt its database), else finds it again by name.
    if (node.fh.dbid != file->fh.dbid || node.fh.stamp != file->fh.stamp) error = tell(node.fh, node.connection);
    if (error == ESTALE) {
      // Not found again for now: left to be settled again, as when the
      // daemon went.
      error = findAgain(file->ino, &node);
      if (error == 0) error = tell(node.fh, node.connection);
    }
  }
  // Only a name that is gone, or holds another object, makes the object
  // gone; any other failure leaves the file to be settled again.
  if (error == ESTALE && inodes_object && markGone(file->ino)) error = 0;
  if (error == 0) {
    // Writes made meanwhile stay untold.
    std::lock_guard<std::mutex> lock(open_mu_);
    file->told = std::max(file->told, writes);
    ++tellings_;
  }
  return error;
}

int Filesystem::resizeContents(const Node& node, off_t size, fuse_file_info* fi, view_fhandle_t* fh, bool* moved) {
  int fd = fi != nullptr && fi->fh != 0 ? fileOf(fi)->fd : -1;
  {
    std::lock_guard<std::mutex> lock(open_mu_);
    auto range = open_files_.equal_range(node.ino);
    for (auto it = range.first; fd < 0 && it != range.second; ++it)
      if (it->second->writable) fd = it->second->fd;
  }
  struct stat before;
  if (fd >= 0) {
    if (::fstat(fd, &before) != 0 || ::ftruncate(fd, size) != 0) return errno;
  } else {
    ContentsFile file;
    int opened = -1;
    int error = writableContents(node, &file, fh, size != 0);
    if (error == 0) error = contents_.open(file, O_WRONLY, &opened);
    if (error != 0) return error;
    if (::fstat(opened, &before) != 0 || ::ftruncate(opened, size) != 0) error = errno;
    ::close(opened);
    if (error != 0) return error;
  }
  // As a local file system: a truncation through an open file always
  // moves the times, one by name when the size changes.
  *moved = fi != nullptr || before.st_size != size;
  return 0;
}

void Filesystem::setattr(fuse_req_t req, Ino ino, const struct stat* attr, int to_set, fuse_file_info* fi) {
  Change change(*this);
  Node node;
  int error = objectNode(ino, true, &node);
  std::optional<int> forced = error == 0 ? kernel_.forced("fuse_setattr") : std::nullopt;
  if (forced && *forced != 0) error = *forced;
  // The protocol carries times as 32-bit seconds.
  auto carried = [](const struct timespec& ts) { return ts.tv_sec >= 0 && ts.tv_sec <= time_t{UINT32_MAX}; };
  if (error == 0 && (((to_set & FUSE_SET_ATTR_ATIME) && !carried(attr->st_atim)) ||
                     ((to_set & FUSE_SET_ATTR_MTIME) && !carried(attr->st_mtim)))) {
    error = EOVERFLOW;
  }
  if (error != 0) {
    fuse_reply_err(req, error);
    return;
  }
  if (forced) {
    // Forced to succeed without effect: the attributes as they are.
    getattr(req, ino);
    return;
  }
  struct stat st;
  const int gone_result = setGone(ino, attr, to_set, fi, &st);
  if (gone_result >= 0) {
    if (gone_result != 0) {
      fuse_reply_err(req, gone_result);
    } else {
      fuse_reply_attr(req, &st, times_.kept);
    }
    return;
  }
  view_set_attr_t set{};
  if (to_set & FUSE_SET_ATTR_MODE) {
    set.mask |= kAttrMode | VIEW_ATTR_MODE_TOP;
    set.mode = attr->st_mode & 07777;
  }
  if (to_set & FUSE_SET_ATTR_UID) {
    set.mask |= VIEW_ATTR_OWNER;
    credutl_uid_to_sid(attr->st_uid, &set.owner);
  }
  if (to_set & FUSE_SET_ATTR_GID) {
    set.mask |= VIEW_ATTR_GROUP;
    credutl_gid_to_sid(attr->st_gid, &set.group);
  }
  if (to_set & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_ATIME_NOW)) {
    set.mask |= kAttrAtime;
    set.atime = (to_set & FUSE_SET_ATTR_ATIME_NOW) ? now() : timevalOf(attr->st_atim);
  }
  if (to_set & (FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW)) {
    set.mask |= kAttrMtime;
    set.mtime = (to_set & FUSE_SET_ATTR_MTIME_NOW) ? now() : timevalOf(attr->st_mtim);
  }
  view_fhandle_t fh = node.fh;
  if (to_set & FUSE_SET_ATTR_SIZE) {
    set.mask |= VIEW_ATTR_SIZE;
    set.size = static_cast<uint64_t>(attr->st_size);
    // The contents live in the container: cut it first, then tell the daemon.
    // The container is the one the handle names once checked.
    bool moved = false;
    if (node.type == QEL_FTYPE_REG) {
      error = withHandle(ino, &node, [&](const view_fhandle_t& current) {
        fh = current;
        return resizeContents(node, attr->st_size, fi, &fh, &moved);
      });
    }
    if (moved && (set.mask & kAttrMtime) == 0) {
      set.mask |= kAttrMtime;
      set.mtime = now();
    }
  }
  // Open files whose writes the change tells the daemon of: a time set
  // while the file is open for writing outlasts the writes before it, so
  // their size goes with it, and closing the file keeps it.
  std::vector<std::pair<OpenFile*, uint64_t>> told;
  if (error == 0 && (set.mask & kAttrMtime) != 0) {
    std::lock_guard<std::mutex> lock(open_mu_);
    auto range = open_files_.equal_range(ino);
    for (auto it = range.first; it != range.second; ++it) {
      struct stat container;
      if (!it->second->untold() || ::fstat(it->second->fd, &container) != 0) continue;
      told.emplace_back(it->second, it->second->writes);
      set.mask |= VIEW_ATTR_SIZE;
      set.size = static_cast<uint64_t>(container.st_size);
    }
  }
  view_vstat_t out{};
  if (error == 0) {
    bool own_handle = fh.dbid == node.fh.dbid;
    error = withHandle(ino, &node, [&](const view_fhandle_t& current) {
      return setAttributes(own_handle ? current : fh, set, &out);
    });
  }
  if (error == ESTALE && markGone(ino)) error = setGone(ino, attr, to_set, fi, &st);
  if (error != 0) {
    fuse_reply_err(req, error);
    return;
  }
  if (!told.empty()) {
    std::lock_guard<std::mutex> lock(open_mu_);
    for (const auto& file : told) file.first->told = std::max(file.first->told, file.second);
    ++tellings_;
  }
  if (!gone(ino, &st)) {
    nodes_.update(ino, out);
    st = statOf(node.fh, out);
    overlayWritten(ino, &st);
  }
  fuse_reply_attr(req, &st, times_.kept);
}

// ---- objects gone while open -------------------------------------------------------

bool Filesystem::markGone(Ino ino) {
  Node node;
  if (!nodes_.get(ino, &node) || node.own) return false;
  struct stat st = statOf(node.fh, node.attr);
  overlayWritten(ino, &st);
  st.st_nlink = 0;
  {
    std::lock_guard<std::mutex> lock(open_mu_);
    if (gone_.count(ino) != 0) return true;
    if (open_files_.count(ino) == 0 && open_dirs_.count(ino) == 0) return false;
    gone_[ino] = st;
  }
  // Whatever takes its handle or its oid later is another object.
  nodes_.detach(ino);
  return true;
}

bool Filesystem::gone(Ino ino, struct stat* st) {
  std::lock_guard<std::mutex> lock(open_mu_);
  return goneLocked(ino, st);
}

bool Filesystem::goneLocked(Ino ino, struct stat* st) {
  auto it = gone_.find(ino);
  if (it == gone_.end()) return false;
  *st = it->second;
  // The contents are in the container its open files hold.
  auto range = open_files_.equal_range(ino);
  struct stat container;
  if (range.first != range.second && ::fstat(range.first->second->fd, &container) == 0) {
    st->st_size = container.st_size;
    st->st_blocks = (container.st_size + 511) / 512;
  }
  return true;
}

int Filesystem::setGone(Ino ino, const struct stat* attr, int to_set, fuse_file_info* fi, struct stat* out) {
  std::lock_guard<std::mutex> lock(open_mu_);
  auto it = gone_.find(ino);
  if (it == gone_.end()) return -1;
  struct stat& st = it->second;
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  if (to_set & FUSE_SET_ATTR_SIZE) {
    int fd = fi != nullptr && fi->fh != 0 ? fileOf(fi)->fd : -1;
    auto range = open_files_.equal_range(ino);
    for (auto file = range.first; fd < 0 && file != range.second; ++file)
      if (file->second->writable) fd = file->second->fd;
    if (fd < 0) return EBADF;
    if (::ftruncate(fd, attr->st_size) != 0) return errno;
    st.st_mtim = now;
  }
  if (to_set & FUSE_SET_ATTR_MODE) st.st_mode = (st.st_mode & S_IFMT) | (attr->st_mode & 07777);
  if (to_set & FUSE_SET_ATTR_UID) st.st_uid = attr->st_uid;
  if (to_set & FUSE_SET_ATTR_GID) st.st_gid = attr->st_gid;
  if (to_set & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_ATIME_NOW))
    st.st_atim = (to_set & FUSE_SET_ATTR_ATIME_NOW) ? now : attr->st_atim;
  if (to_set & (FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW))
    st.st_mtim = (to_set & FUSE_SET_ATTR_MTIME_NOW) ? now : attr->st_mtim;
  st.st_ctim = now;
  goneLocked(ino, out);
  return 0;
}

void Filesystem::opendir(fuse_req_t req, Ino ino, fuse_file_info* fi) {
  {
    std::lock_guard<std::mutex> lock(open_mu_);
    ++open_dirs_[ino];
  }
  if (fuse_reply_open(req, fi) != 0) releasedir(nullptr, ino);
}

void Filesystem::releasedir(fuse_req_t req, Ino ino) {
  {
    std::lock_guard<std::mutex> lock(open_mu_);
    auto it = open_dirs_.find(ino);
    if (it != open_dirs_.end() && --it->second == 0) {
      open_dirs_.erase(it);
      if (open_files_.count(ino) == 0) gone_.erase(ino);
    }
  }
  if (req != nullptr) fuse_reply_err(req, 0);
}

void Filesystem::readlink(fuse_req_t req, Ino ino) {
  Node node;
  int error = objectNode(ino, false, &node);
  view_readlink_reply_t reply{};
  if (error == 0) {
    view_readlink_req_t request{};
    request.fh = node.fh;
    request.buf_len = kPathRoom;
    error = outcome(channel_.call(kReadlink, &request, xdr_view_readlink_req_t, &reply, xdr_view_readlink_reply_t),
                    reply);
  }
  if (error != 0) {
    fuse_reply_err(req, error);
  } else {
    fuse_reply_readlink(req, reply.text != nullptr ? reply.text : "");
  }
  ostrelxdr_free(xdr_view_readlink_reply_t, &reply);
}

// ---- names made and removed ---------------------------------------------------------

int Filesystem::makeFile(const view_fhandle_t& dir, const std::string& name, mode_t mode, view_fhandle_t* fh,
                         view_vstat_t* attr, ContentsFile* container, view_vstat_t* dir_attr) {
  if (name.size() > VIEW_NAME_MAX) return ENAMETOOLONG;
  view_create_req_t req{};
  req.where = where(dir, name.c_str());
  req.attr.mask = kAttrMode;
  req.attr.type = QEL_FTYPE_REG;
  req.attr.mode = mode & 07777;
  ownedByCaller(&req.attr);
  req.cont_path_len = kPathRoom;
  view_create_reply_t reply{};
  int error = outcome(channel_.call(kCreate, &req, xdr_view_create_req_t, &reply, xdr_view_create_reply_t),
                      reply);
  if (error == 0) {
    *fh = reply.fh;
    *attr = reply.attr;
    *container = ContentsFile{false, reply.cont_path != nullptr ? reply.cont_path : ""};
    if (dir_attr != nullptr) *dir_attr = reply.dir_mod.dir_attr;
  }
  ostrelxdr_free(xdr_view_create_reply_t, &reply);
  // The daemon made the container.
  return error;
}

void Filesystem::ownedByCaller(view_set_attr_t* attr) {
  const Caller caller = Channel::caller();
  if (caller.pid == 0) return;
  attr->mask |= VIEW_ATTR_OWNER | VIEW_ATTR_GROUP;
  credutl_uid_to_sid(caller.uid, &attr->owner);
  credutl_gid_to_sid(caller.gid, &attr->group);
}

void Filesystem::answerMade(fuse_req_t req, int error, const view_fhandle_t& fh, const view_vstat_t& attr, Ino parent,
                            const char* name, const std::function<void(Ino)>& made) {
  if (error != 0) {
    fuse_reply_err(req, error);
    return;
  }
  fuse_entry_param entry = entryOf(fh, attr, parent, name, 0);
  if (made) made(entry.ino);
  if (fuse_reply_entry(req, &entry) != 0) nodes_.forget(entry.ino, 1);
}

void Filesystem::mknod(fuse_req_t req, Ino parent, const char* name, mode_t mode) {
  Change change(*this);
  Node dir;
  int error = S_ISREG(mode) ? objectNode(parent, true, &dir) : EPERM;
  view_fhandle_t fh{};
  view_vstat_t attr{};
  ContentsFile container;
  made_dirs_.mayHave(parent, name);
  if (error == 0) error = makeFile(dir.fh, name, mode, &fh, &attr, &container);
  answerMade(req, error, fh, attr, parent, name);
}

void Filesystem::mkdir(fuse_req_t req, Ino parent, const char* name, mode_t mode) {
  Change change(*this);
  Node dir;
  int error = objectNode(parent, true, &dir);
  if (error == 0 && std::strlen(name) > VIEW_NAME_MAX) error = ENAMETOOLONG;
  view_symlink_reply_t reply{};
  made_dirs_.mayHave(parent, name);
  const uint64_t notices = channel_.noticesSeen(), connection = channel_.connections();
  if (error == 0) {
    view_mkdir_req_t request{};
    request.where = where(dir.fh, name);
    request.attr.mask = kAttrMode;
    request.attr.mode = mode & 07777;
    ownedByCaller(&request.attr);
    error = outcome(channel_.call(kMkdir, &request, xdr_view_mkdir_req_t, &reply, xdr_view_symlink_reply_t),
                    reply);
  }
  // Known empty from now on, before the kernel may look a name up in it.
  answerMade(req, error, reply.fh, reply.attr, parent, name,
             [&](Ino made) { made_dirs_.made(made, notices, connection); });
}

void Filesystem::symlink(fuse_req_t req, const char* text, Ino parent, const char* name) {
  Change change(*this);
  Node dir;
  int error = objectNode(parent, true, &dir);
  if (error == 0 && std::strlen(name) > VIEW_NAME_MAX) error = ENAMETOOLONG;
  if (error == 0 && std::strlen(text) > VIEW_PNAME_MAX) error = ENAMETOOLONG;
  view_symlink_reply_t reply{};
  if (error == 0) {
    view_symlink_req_t request{};
    request.where = where(dir.fh, name);
    request.text = const_cast<char*>(text);
    made_dirs_.mayHave(parent, name);
    request.attr.mask = kAttrMode;
    request.attr.mode = 0777;
    ownedByCaller(&request.attr);
    error = outcome(channel_.call(kSymlink, &request, xdr_view_symlink_req_t, &reply, xdr_view_symlink_reply_t),
                    reply);
  }
  answerMade(req, error, reply.fh, reply.attr, parent, name);
}

void Filesystem::remove(fuse_req_t req, Ino parent, const char* name, bool directory) {
  Change change(*this);
  Node dir;
  int error = objectNode(parent, true, &dir);
  if (error == 0 && !directory) {
    std::optional<int> forced = kernel_.forced("fuse_unlink");
    if (forced) {
      fuse_reply_err(req, *forced);
      return;
    }
  }
  if (error == 0) {
    view_dir_req_t request{};
    request.where = where(dir.fh, name);
    view_dir_mod_reply_t reply{};
    error = outcome(channel_.call(directory ? kRmdir : kRemove, &request, xdr_view_dir_req_t, &reply,
                                  xdr_view_dir_mod_reply_t),
                    reply);
  }
  if (error == 0) nodes_.removed(parent, name);
  fuse_reply_err(req, error);
}

void Filesystem::rename(fuse_req_t req, Ino parent, const char* name, Ino new_parent, const char* new_name,
                        unsigned flags) {
  Change change(*this);
  Node from, to;
  int error = flags != 0 ? EINVAL : objectNode(parent, true, &from);
  if (error == 0) error = objectNode(new_parent, true, &to);
  if (error == 0 && std::strlen(new_name) > VIEW_NAME_MAX) error = ENAMETOOLONG;
  if (error == 0) {
    std::optional<int> forced = kernel_.forced("fuse_rename");
    if (forced) {
      fuse_reply_err(req, *forced);
      return;
    }
    view_rename_req_t request{};
    made_dirs_.mayHave(new_parent, new_name);
    request.from = where(from.fh, name);
    request.to = where(to.fh, new_name);
    view_dir_mod_reply_t reply{};
    error = outcome(channel_.call(kRename, &request, xdr_view_rename_req_t, &reply, xdr_view_dir_mod_reply_t),
                    reply);
  }
  // The moved object is found again by its new name (a daemon started
  // again may know it by that alone).
  if (error == 0) nodes_.renamed(parent, name, new_parent, new_name);
  fuse_reply_err(req, error);
}

void Filesystem::link(fuse_req_t req, Ino ino, Ino new_parent, const char* new_name) {
  Change change(*this);
  Node node, dir;
  int error = objectNode(ino, false, &node);
  if (error == 0) error = objectNode(new_parent, true, &dir);
  if (error == 0 && std::strlen(new_name) > VIEW_NAME_MAX) error = ENAMETOOLONG;
  if (error == 0) {
    view_link_req_t request{};
    request.fh = node.fh;
    made_dirs_.mayHave(new_parent, new_name);
    request.where = where(dir.fh, new_name);
    view_dir_mod_reply_t reply{};
    error = outcome(channel_.call(kLink, &request, xdr_view_link_req_t, &reply, xdr_view_dir_mod_reply_t),
                    reply);
  }
  // The entry: the object as the new name finds it, its link count grown.
  fuse_entry_param entry{};
  if (error == 0) error = find(dir, new_name, &entry);
  if (error == 0 && entry.ino == 0) error = ENOENT;
  if (error != 0) {
    fuse_reply_err(req, error);
  } else if (fuse_reply_entry(req, &entry) != 0) {
    nodes_.forget(entry.ino, 1);
  }
}

// ---- contents ---------------------------------------------------------------------------

int Filesystem::copyContents(const ContentsFile& from, const ContentsFile& to) {
  int in = -1;
  int error = contents_.open(from, O_RDONLY, &in);
  if (error != 0) return error;
  int out = -1;
  error = contents_.open(to, O_WRONLY, &out);
  if (error == 0 && ::ftruncate(out, 0) != 0) error = errno;
  char buffer[65536];
  while (error == 0) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno != EINTR) error = errno;
      continue;
    }
    for (ssize_t done = 0; error == 0 && done < n;) {
      ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
      if (w >= 0) {
        done += w;
      } else if (errno != EINTR) {
        error = errno;
      }
    }
  }
  ::close(in);
  if (out >= 0 && ::close(out) != 0 && error == 0) error = errno;
  return error;
}

int Filesystem::contentsOf(const view_fhandle_t& fh, ContentsFile* file) {
  view_readlink_req_t req{};
  req.fh = fh;
  req.buf_len = kPathRoom;
  view_cltxt_reply_t reply{};
  int error = outcome(channel_.call(kGetcleartext, &req, xdr_view_readlink_req_t, &reply, xdr_view_cltxt_reply_t),
                      reply);
  if (error == 0) *file = ContentsFile{reply.cache_path != 0, reply.path != nullptr ? reply.path : ""};
  ostrelxdr_free(xdr_view_cltxt_reply_t, &reply);
  return error;
}

int Filesystem::writableContents(const Node& node, ContentsFile* file, view_fhandle_t* fh, bool copy) {
  const bool marked = (node.name_state & (kCheckedOut | kHijacked)) != 0;
  // A VOB object's contents are a version's, never written. The kernel may
  // still know the name from before a hijack or checkout whose notice has
  // not reached it yet: a name that holds another object now, or none, is
  // stale, and the kernel then looks the path up again.
  auto read_only = [&] {
    Node fresh = node;
    return refresh(node.ino, &fresh, 0) == ESTALE ? ESTALE : EROFS;
  };
  // Without a name checked out or hijacked there is nothing to fetch.
  if (!viewPrivate(node.fh) && !marked) return read_only();
  int error = contentsOf(node.fh, file);
  if (error != 0 || !file->cached) return error;
  // A cached version is never written. Under a name checked out or
  // hijacked the kernel makes a view-private file of the name instead,
  // and the namespace decides whether it may.
  if (!marked) return read_only();
  Node dir;
  if (!nodes_.get(node.parent, &dir) || dir.own) return EROFS;
  struct stat current{};
  const ContentsFile cached = *file;
  // A cached file that is not a regular file is never copied from.
  if (contents_.status(cached, &current) == EIO) return EIO;
  view_vstat_t attr;
  const uint64_t connection = channel_.connections();
  made_dirs_.mayHave(node.parent, node.name);
  error = makeFile(dir.fh, node.name, current.st_mode | S_IWUSR, fh, &attr, file);
  // The new file starts with the contents the name showed, as a kernel
  // copies them on the first write (unless they are cut away at once).
  if (error == 0 && copy) error = copyContents(cached, *file);
  if (error != 0) return error;
  nodes_.rebind(node.ino, *fh, attr, connection);
  Invalidation entry;
  entry.kind = Invalidation::kEntry;
  entry.ino = node.parent;
  entry.name = node.name;
  queue(std::move(entry));
  return 0;
}

void Filesystem::open(fuse_req_t req, Ino ino, fuse_file_info* fi) {
  Node node;
  int error = objectNode(ino, false, &node);
  const int access = fi->flags & O_ACCMODE;
  const bool truncating = (fi->flags & O_TRUNC) != 0;
  // One for writing may make a file over a checked-out or hijacked name.
  std::optional<Change> change;
  if (access != O_RDONLY || truncating) change.emplace(*this);
  ContentsFile contents;
  view_fhandle_t fh = node.fh;
  if (error == 0) {
    error = withHandle(ino, &node, [&](const view_fhandle_t& current) {
      fh = current;
      return access == O_RDONLY && !truncating ? contentsOf(current, &contents)
                                               : writableContents(node, &contents, &fh, !truncating);
    });
  }
  int fd = -1;
  if (error == 0) error = contents_.open(contents, access, &fd);
  if (error == 0 && truncating) {
    // On the connection the handle was checked on.
    Channel::Pinned pinned(viewPrivate(fh) ? pinOf(node) : 0);
    error = truncateOpened(ino, fh, fd, access, contents);
    if (error == kOtherConnection) error = EIO;
  }
  if (error != 0) {
    if (fd >= 0) ::close(fd);
    fuse_reply_err(req, error);
    return;
  }
  OpenFile* file = new OpenFile;
  file->fd = fd;
  file->ino = ino;
  file->fh = fh;
  file->connection = node.connection;
  file->oid = nodes_.get(ino, &node) ? node.oid : QEL_OID_NULL;
  file->writable = access != O_RDONLY;
  if (access != O_WRONLY) file->read_error = kernel_.forced("fuse_read").value_or(0);
  opened(file, fi);
  if (fuse_reply_open(req, fi) != 0) release(nullptr, fi);
}

int Filesystem::truncateOpened(Ino ino, const view_fhandle_t& fh, int fd, int access, const ContentsFile& file) {
  if (access != O_RDONLY) {
    if (::ftruncate(fd, 0) != 0) return errno;
  } else {
    int writable = -1;
    int error = contents_.open(file, O_WRONLY, &writable);
    if (error == 0 && ::ftruncate(writable, 0) != 0) error = errno;
    if (writable >= 0) ::close(writable);
    if (error != 0) return error;
  }
  // An open that truncates moves the times, as on a local file system.
  view_set_attr_t set{};
  set.mask = VIEW_ATTR_SIZE | kAttrMtime;
  set.mtime = now();
  view_vstat_t out{};
  int error = setAttributes(fh, set, &out);
  if (error == 0) nodes_.update(ino, out);
  return error;
}

void Filesystem::create(fuse_req_t req, Ino parent, const char* name, mode_t mode, fuse_file_info* fi) {
  Change change(*this);
  Node dir;
  int error = objectNode(parent, true, &dir);
  view_fhandle_t fh;
  view_vstat_t attr, dir_attr;
  ContentsFile container;
  const uint64_t connection = channel_.connections();
  const uint64_t notices = channel_.noticesSeen();
  made_dirs_.mayHave(parent, name);
  if (error == 0) error = makeFile(dir.fh, name, mode, &fh, &attr, &container, &dir_attr);
  if (error == 0) change.keep(parent, dir_attr, notices, connection);
  int fd = -1;
  if (error == 0) error = contents_.open(container, fi->flags & O_ACCMODE, &fd);
  if (error != 0) {
    fuse_reply_err(req, error);
    return;
  }
  fuse_entry_param entry = entryOf(fh, attr, parent, name, 0);
  OpenFile* file = new OpenFile;
  file->fd = fd;
  file->ino = entry.ino;
  file->fh = fh;
  file->connection = connection;
  file->oid = attr.obj_oid;
  file->writable = (fi->flags & O_ACCMODE) != O_RDONLY;
  opened(file, fi);
  if (fuse_reply_create(req, &entry, fi) != 0) {
    release(nullptr, fi);
    nodes_.forget(entry.ino, 1);
  }
}

void Filesystem::read(fuse_req_t req, size_t size, off_t offset, fuse_file_info* fi) {
  if (fileOf(fi)->read_error != 0) {
    fuse_reply_err(req, fileOf(fi)->read_error);
    return;
  }
  // Read into a buffer the thread keeps: the library's own way maps a new
  // one for every large read once splicing has failed (as it does for the
  // first file not in the page cache).
  thread_local std::vector<char> buffer;
  if (buffer.size() < size) buffer.resize(size);
  ssize_t got;
  do {
    got = ::pread(fileOf(fi)->fd, buffer.data(), size, offset);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    fuse_reply_err(req, errno);
  } else {
    fuse_reply_buf(req, buffer.data(), static_cast<size_t>(got));
  }
}

void Filesystem::write(fuse_req_t req, fuse_bufvec* data, off_t offset, fuse_file_info* fi) {
  OpenFile* file = fileOf(fi);
  const size_t size = fuse_buf_size(data);
  std::optional<int> forced = kernel_.forced("fuse_write");
  if (forced) {
    if (*forced != 0) {
      fuse_reply_err(req, *forced);
    } else {
      fuse_reply_write(req, size);
    }
    return;
  }
  fuse_bufvec to = FUSE_BUFVEC_INIT(size);
  to.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  to.buf[0].fd = file->fd;
  to.buf[0].pos = offset;
  ssize_t written = fuse_buf_copy(&to, data, FUSE_BUF_SPLICE_NONBLOCK);
  if (written < 0) {
    fuse_reply_err(req, static_cast<int>(-written));
    return;
  }
  {
    std::lock_guard<std::mutex> lock(open_mu_);
    ++file->writes;
    if (!gone_.empty()) {
      auto it = gone_.find(file->ino);
      if (it != gone_.end()) {
        ::clock_gettime(CLOCK_REALTIME, &it->second.st_mtim);
        it->second.st_ctim = it->second.st_mtim;
      }
    }
  }
  fuse_reply_write(req, static_cast<size_t>(written));
}

void Filesystem::flush(fuse_req_t req, fuse_file_info* fi) { fuse_reply_err(req, settle(fileOf(fi))); }

void Filesystem::fsync(fuse_req_t req, int datasync, fuse_file_info* fi) {
  OpenFile* file = fileOf(fi);
  int error = (datasync ? ::fdatasync(file->fd) : ::fsync(file->fd)) == 0 ? 0 : errno;
  if (error == 0) error = settle(file);
  fuse_reply_err(req, error);
}

void Filesystem::opened(OpenFile* file, fuse_file_info* fi) {
  // As a kernel keeps an open file's names: the kernel may forget the
  // inode and its directories before korva_fuse has the file's last close
  // (which comes after the close call returned), and its size may still be
  // to tell then.
  std::vector<Ino> held = nodes_.holdPath(file->ino);
  {
    std::lock_guard<std::mutex> lock(open_mu_);
    file->held.swap(held);
    open_files_.emplace(file->ino, file);
  }
  fi->fh = reinterpret_cast<uint64_t>(file);
  // The pages the kernel keeps of the inode are its contents when the file
  // is the one it last closed, unchanged since (its own writes went
  // through here); otherwise they go. The daemon's notices drop them too.
  file->known = ::fstat(file->fd, &file->opened_as) == 0;
  fi->keep_cache = file->known && sameContents(file->ino, file->opened_as) && file->read_error == 0 ? 1 : 0;
}

namespace {

bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

bool Filesystem::sameFile(const struct stat& was, const struct stat& st) {
  return was.st_dev == st.st_dev && was.st_ino == st.st_ino && was.st_size == st.st_size &&
         sameTime(was.st_mtim, st.st_mtim) && sameTime(was.st_ctim, st.st_ctim);
}

bool Filesystem::sameContents(Ino ino, const struct stat& st) {
  std::lock_guard<std::mutex> lock(open_mu_);
  auto it = closed_as_.find(ino);
  return it != closed_as_.end() && sameFile(it->second, st);
}

void Filesystem::release(fuse_req_t req, fuse_file_info* fi) {
  int error = close(fileOf(fi));
  if (req != nullptr) fuse_reply_err(req, error);
}

int Filesystem::close(OpenFile* file) {
  // Every close flushes first; a file written after that still tells.
  int error = settle(file);
  const bool daemon_gone = error == ENOTCONN || error == EIO;
  std::vector<Ino> held;
  // The names it is found by now are held too (it may have been renamed
  // since it was opened), before the notices' thread may close it.
  if (daemon_gone) held = nodes_.holdPath(file->ino);
  bool kept = false;
  {
    std::lock_guard<std::mutex> lock(open_mu_);
    kept = daemon_gone && file->untold();
    if (kept) {
      // The daemon is gone: its size and time would be lost with the file,
      // so it stays open until the daemon has them.
      if (!file->closed) {
        file->held.insert(file->held.end(), held.begin(), held.end());
        held.clear();
        file->closed = true;
      }
      closed_untold_.push_back(file);
      any_closed_untold_ = true;
    } else {
      held.insert(held.end(), file->held.begin(), file->held.end());
      forgetOpen(file);
    }
  }
  for (Ino ino : held) forget(ino, 1);
  if (!kept) return error;
  // The notices' thread starts offering it.
  std::lock_guard<std::mutex> lock(queue_mu_);
  queued_.notify_one();
  return error;
}

// A file closed by the kernel and kept only until the daemon has its size
// is no longer held.
bool Filesystem::holdsOpen(const qel_uuid_s& vob) {
  std::vector<Ino> dirs;
  {
    std::lock_guard<std::mutex> lock(open_mu_);
    for (const auto& open : open_files_)
      if (!open.second->closed && std::memcmp(&open.second->fh.vob_uuid, &vob, sizeof vob) == 0) return true;
    for (const auto& open : open_dirs_) dirs.push_back(open.first);
  }
  for (Ino ino : dirs) {
    Node node;
    if (nodes_.get(ino, &node) && !node.own && std::memcmp(&node.fh.vob_uuid, &vob, sizeof vob) == 0) return true;
  }
  return false;
}

void Filesystem::forgetOpen(OpenFile* file) {
  // A file only read that changed meanwhile was changed elsewhere: what
  // the kernel read of it may be either.
  struct stat st;
  if (file->known && ::fstat(file->fd, &st) == 0 && (file->writable || sameFile(file->opened_as, st))) {
    closed_as_[file->ino] = st;
  } else {
    closed_as_.erase(file->ino);
  }
  auto range = open_files_.equal_range(file->ino);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second != file) continue;
    open_files_.erase(it);
    break;
  }
  // The last close of a gone object ends it.
  if (open_files_.count(file->ino) == 0 && open_dirs_.count(file->ino) == 0) gone_.erase(file->ino);
  ::close(file->fd);
  delete file;
}

void Filesystem::settleClosed() {
  std::vector<OpenFile*> files;
  {
    std::lock_guard<std::mutex> lock(open_mu_);
    files.swap(closed_untold_);
    any_closed_untold_ = false;
  }
  for (OpenFile* file : files) close(file);
}

// ---- directories --------------------------------------------------------------------

void Filesystem::readdir(fuse_req_t req, Ino ino, size_t size, off_t offset, bool plus) {
  // A listing may move the directory's access time.
  Change change(*this);
  Node dir;
  if (!nodes_.get(ino, &dir)) {
    fuse_reply_err(req, ESTALE);
    return;
  }
  std::vector<char> out(size);
  size_t used = 0;
  // Adds one entry; false when it does not fit.
  auto add = [&](const std::string& name, const fuse_entry_param& entry, off_t next) {
    size_t room = out.size() - used;
    size_t length = plus ? fuse_add_direntry_plus(req, out.data() + used, room, name.c_str(), &entry, next)
                         : fuse_add_direntry(req, out.data() + used, room, name.c_str(), &entry.attr, next);
    if (length > room) return false;
    used += length;
    return true;
  };
  auto bare = [](Ino number, mode_t type) {
    fuse_entry_param entry{};
    entry.attr.st_ino = number;
    entry.attr.st_mode = type;
    return entry;
  };

  if (dir.own) {
    // ".", "..", then the next name of every VOB tag below this directory,
    // each once; offsets count the entries.
    std::set<std::string> names;
    for (const korva::VobEntry& vob : kernel_.mounts(view_.tag)) {
      std::vector<std::string> path = tagPath(vob.vob_tag);
      std::vector<std::string> mine = tagPath(dir.path);
      if (path.size() > mine.size() && std::equal(mine.begin(), mine.end(), path.begin()))
        names.insert(path[mine.size()]);
    }
    std::vector<std::string> listed = {".", ".."};
    listed.insert(listed.end(), names.begin(), names.end());
    for (size_t i = static_cast<size_t>(offset); i < listed.size(); ++i) {
      // Each name is looked up for its inode number (a VOB's root through
      // the daemon); one that cannot be is listed with this directory's.
      fuse_entry_param entry = bare(ino, S_IFDIR);
      bool looked_up = false;
      if (i >= 2) {
        fuse_entry_param found;
        if (findOwn(dir, listed[i], &found) == 0 && found.ino != 0) {
          entry = found;
          looked_up = true;
        }
      }
      fuse_entry_param shown = entry;
      if (!plus || !looked_up) shown.ino = 0;
      bool added = add(listed[i], shown, static_cast<off_t>(i + 1));
      // The look-up counted is the kernel's only when it took the entry.
      if (looked_up && (!added || !plus)) nodes_.forget(entry.ino, 1);
      if (!added) break;
    }
    fuse_reply_buf(req, out.data(), used);
    return;
  }

  // Pages of the daemon's listing until the reply is full or the listing ends.
  uint32_t cookie = static_cast<uint32_t>(offset);
  for (;;) {
    view_readdir_reply_t reply{};
    int error = withHandle(ino, &dir, [&](const view_fhandle_t& fh) {
      view_readdir_req_t request{};
      request.dir = fh;
      request.offset = cookie;
      request.max_size = VIEW_READDIR_MAX;
      ostrelxdr_free(xdr_view_readdir_reply_t, &reply);
      reply = view_readdir_reply_t{};
      // The records decoded take no more room than they took on the wire.
      reply.room = VIEW_READDIR_MAX;
      return outcome(channel_.call(kReaddir, &request, xdr_view_readdir_req_t, &reply, xdr_view_readdir_reply_t),
                     reply);
    });
    if (error != 0) {
      ostrelxdr_free(xdr_view_readdir_reply_t, &reply);
      if (used == 0) {
        fuse_reply_err(req, error);
      } else {
        fuse_reply_buf(req, out.data(), used);
      }
      return;
    }
    struct Listed {
      std::string name;
      uint32_t ino;
      uint32_t next;
    };
    std::vector<Listed> page;
    for (u_int at = 0; at + VIEW_DIRENT_NAME_OFFSET <= reply.nbytes;) {
      view_dirent head;
      const char* name = view_dirent_read(reply.entries + at, &head);
      if (head.reclen == 0 || at + head.reclen > reply.nbytes) break;
      page.push_back({std::string(name, head.namlen), head.ino, head.off});
      at += head.reclen;
    }
    const bool eof = reply.eof != 0;
    ostrelxdr_free(xdr_view_readdir_reply_t, &reply);

    // The entries that fit; with their attributes, the look-ups of all of
    // them go out together.
    size_t fitting = 0;
    for (size_t room = out.size() - used; fitting < page.size(); ++fitting) {
      const Listed& l = page[fitting];
      size_t length = plus ? fuse_add_direntry_plus(req, nullptr, 0, l.name.c_str(), nullptr, 0)
                           : fuse_add_direntry(req, nullptr, 0, l.name.c_str(), nullptr, 0);
      if (length > room) break;
      room -= length;
    }
    std::vector<std::unique_ptr<Channel::Call>> calls(fitting);
    std::vector<view_lookup_reply_t> found(fitting);
    std::vector<int> errors(fitting, ENOENT);
    auto dotted = [](const std::string& name) { return name == "." || name == ".."; };
    if (plus) {
      for (size_t i = 0; i < fitting; ++i) {
        if (dotted(page[i].name)) continue;
        view_lookup_req_t lookup{};
        lookup.dir = dir.fh;
        lookup.name = const_cast<char*>(page[i].name.c_str());
        lookup.warp = VIEW_HM_WARP_NONE;
        lookup.residual = kEmpty;
        calls[i].reset(new Channel::Call);
        errors[i] = channel_.start(calls[i].get(), kLookup, &lookup, xdr_view_lookup_req_t);
      }
      for (size_t i = 0; i < fitting; ++i) {
        if (!calls[i]) continue;
        found[i] = view_lookup_reply_t{};
        errors[i] = outcome(channel_.finish(calls[i].get(), &found[i], xdr_view_lookup_reply_t), found[i]);
      }
    }
    bool full = fitting < page.size();
    for (size_t i = 0; i < fitting; ++i) {
      const Listed& l = page[i];
      cookie = l.next;
      if (!plus || dotted(l.name)) {
        add(l.name, bare(l.ino, 0), l.next);
        continue;
      }
      // A name gone since the listing is passed over.
      if (errors[i] != 0) continue;
      fuse_entry_param entry = entryOf(found[i].fh, found[i].attr, ino, l.name, found[i].name_state);
      if (!add(l.name, entry, l.next)) {
        nodes_.forget(entry.ino, 1);
        full = true;
        break;
      }
    }
    if (full || eof || page.empty()) break;
  }
  fuse_reply_buf(req, out.data(), used);
}

void Filesystem::statfs(fuse_req_t req) {
  struct statvfs st;
  if (::statvfs(view_.storage.c_str(), &st) != 0) {
    fuse_reply_err(req, errno);
    return;
  }
  fuse_reply_statfs(req, &st);
}

// ---- a directory's status kept from a create in it ------------------------------------

Filesystem::Change::Change(Filesystem& fs) : fs_(fs) {
  std::lock_guard<std::mutex> lock(fs_.changes_mu_);
  number_ = ++fs_.changes_;
  ++fs_.running_;
  fs_.made_in_.dir = 0;
}

Filesystem::Change::~Change() {
  std::lock_guard<std::mutex> lock(fs_.changes_mu_);
  --fs_.running_;
}

void Filesystem::Change::keep(Ino dir, const view_vstat_t& attr, uint64_t notices, uint64_t connection) {
  std::lock_guard<std::mutex> lock(fs_.changes_mu_);
  // Another change running, or begun since this one, may have changed the
  // directory after the daemon gave this status.
  if (fs_.running_ != 1 || fs_.changes_ != number_) return;
  fs_.made_in_ = MadeIn{dir, attr, number_, notices, connection};
}

bool Filesystem::takeKept(Ino dir, view_vstat_t* attr) {
  const uint64_t notices = channel_.noticesSeen(), connection = channel_.connections();
  std::lock_guard<std::mutex> lock(changes_mu_);
  MadeIn& kept = made_in_;
  if (kept.dir == 0 || kept.dir != dir) return false;
  kept.dir = 0;
  if (running_ != 0 || changes_ != kept.change || notices != kept.notices || connection != kept.connection)
    return false;
  *attr = kept.attr;
  return true;
}

// ---- the daemon's notices --------------------------------------------------------------

void Filesystem::queue(Invalidation invalidation) {
  std::lock_guard<std::mutex> lock(queue_mu_);
  if (stopping_) return;
  invalidations_.push_back(std::move(invalidation));
  queued_.notify_one();
}

void Filesystem::applyInvalidations() {
  for (;;) {
    Invalidation next;
    {
      std::unique_lock<std::mutex> lock(queue_mu_);
      while (!stopping_ && invalidations_.empty()) {
        // Files closed while the daemon was gone are offered to it again
        // now and then, also when no call brings the connection back.
        if (!any_closed_untold_) {
          queued_.wait(lock);
        } else if (queued_.wait_for(lock, kSettleRetry) == std::cv_status::timeout) {
          break;
        }
      }
      if (stopping_) return;
      if (invalidations_.empty()) {
        lock.unlock();
        settleClosed();
        continue;
      }
      next = std::move(invalidations_.front());
      invalidations_.pop_front();
    }
    apply(next);
  }
}

void Filesystem::invalidateNode(const Node& node) {
  if (node.parent != 0)
    fuse_lowlevel_notify_inval_entry(session_, node.parent, node.name.c_str(), node.name.size());
  fuse_lowlevel_notify_inval_inode(session_, node.ino, 0, 0);
}

void Filesystem::apply(const Invalidation& invalidation) {
  switch (invalidation.kind) {
  case Invalidation::kEntry:
    fuse_lowlevel_notify_inval_entry(session_, invalidation.ino, invalidation.name.c_str(),
                                     invalidation.name.size());
    fuse_lowlevel_notify_inval_inode(session_, invalidation.ino, -1, 0);
    return;
  case Invalidation::kInode:
    fuse_lowlevel_notify_inval_inode(session_, invalidation.ino, 0, 0);
    return;
  case Invalidation::kNotice:
    break;
  }
  const korva::Notice& notice = invalidation.notice;
  if (notice.kind == korva::kNoticeView) {
    // The names found again next give the sizes of files closed while a
    // daemon was gone: it is told them first (a daemon back comes with
    // such a notice).
    if (any_closed_untold_) settleClosed();
    for (const Node& node : nodes_.all()) invalidateNode(node);
    std::deque<Missing> names;
    {
      std::lock_guard<std::mutex> lock(missing_mu_);
      names.swap(missing_);
    }
    for (const Missing& name : names)
      fuse_lowlevel_notify_inval_entry(session_, name.dir, name.name.c_str(), name.name.size());
    return;
  }
  Ino ino = nodes_.byOid(notice.vob, notice.oid);
  if (ino == 0) return;  // the kernel has nothing of it
  if (notice.kind == korva::kNoticeName) {
    fuse_lowlevel_notify_inval_entry(session_, ino, notice.name.c_str(), notice.name.size());
    // The directory's attributes and listing changed with the name.
    fuse_lowlevel_notify_inval_inode(session_, ino, -1, 0);
    return;
  }
  Node node;
  if (nodes_.get(ino, &node)) invalidateNode(node);
}

// ---- the operations table ----------------------------------------------------------------

const fuse_lowlevel_ops& Filesystem::operations() {
  static const fuse_lowlevel_ops ops = [] {
    fuse_lowlevel_ops o{};
    o.init = [](void*, fuse_conn_info* conn) {
      // Contents move between the kernel and the files without copies
      // through this process where the kernel can; writes come in pieces
      // as large as it allows.
      for (unsigned cap : {FUSE_CAP_SPLICE_READ, FUSE_CAP_SPLICE_WRITE, FUSE_CAP_SPLICE_MOVE,
                           FUSE_CAP_READDIRPLUS, FUSE_CAP_READDIRPLUS_AUTO}) {
        if (conn->capable & cap) conn->want |= cap;
      }
      // A new modification time would drop the pages just written through
      // here: whether the kernel's pages still hold is decided at each open.
      conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
      conn->max_write = 1u << 20;
    };
    o.lookup = [](fuse_req_t req, fuse_ino_t parent, const char* name) { of(req)->lookup(req, parent, name); };
    o.forget = [](fuse_req_t req, fuse_ino_t ino, uint64_t n) {
      of(req)->forget(ino, n);
      fuse_reply_none(req);
    };
    o.forget_multi = [](fuse_req_t req, size_t count, fuse_forget_data* forgets) {
      for (size_t i = 0; i < count; ++i) of(req)->forget(forgets[i].ino, forgets[i].nlookup);
      fuse_reply_none(req);
    };
    o.getattr = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info*) { of(req)->getattr(req, ino); };
    o.setattr = [](fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, fuse_file_info* fi) {
      of(req)->setattr(req, ino, attr, to_set, fi);
    };
    o.readlink = [](fuse_req_t req, fuse_ino_t ino) { of(req)->readlink(req, ino); };
    o.mknod = [](fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t) {
      of(req)->mknod(req, parent, name, mode);
    };
    o.mkdir = [](fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
      of(req)->mkdir(req, parent, name, mode);
    };
    o.unlink = [](fuse_req_t req, fuse_ino_t parent, const char* name) { of(req)->remove(req, parent, name, false); };
    o.rmdir = [](fuse_req_t req, fuse_ino_t parent, const char* name) { of(req)->remove(req, parent, name, true); };
    o.symlink = [](fuse_req_t req, const char* text, fuse_ino_t parent, const char* name) {
      of(req)->symlink(req, text, parent, name);
    };
    o.rename = [](fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t new_parent, const char* new_name,
                  unsigned flags) { of(req)->rename(req, parent, name, new_parent, new_name, flags); };
    o.link = [](fuse_req_t req, fuse_ino_t ino, fuse_ino_t new_parent, const char* new_name) {
      of(req)->link(req, ino, new_parent, new_name);
    };
    o.open = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) { of(req)->open(req, ino, fi); };
    o.create = [](fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) {
      of(req)->create(req, parent, name, mode, fi);
    };
    o.read = [](fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
      of(req)->read(req, size, offset, fi);
    };
    o.write_buf = [](fuse_req_t req, fuse_ino_t, fuse_bufvec* data, off_t offset, fuse_file_info* fi) {
      of(req)->write(req, data, offset, fi);
    };
    o.flush = [](fuse_req_t req, fuse_ino_t, fuse_file_info* fi) { of(req)->flush(req, fi); };
    o.release = [](fuse_req_t req, fuse_ino_t, fuse_file_info* fi) { of(req)->release(req, fi); };
    o.fsync = [](fuse_req_t req, fuse_ino_t, int datasync, fuse_file_info* fi) { of(req)->fsync(req, datasync, fi); };
    o.opendir = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) { of(req)->opendir(req, ino, fi); };
    o.releasedir = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info*) { of(req)->releasedir(req, ino); };
    o.readdir = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
      of(req)->readdir(req, ino, size, offset, false);
    };
    o.readdirplus = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
      of(req)->readdir(req, ino, size, offset, true);
    };
    o.statfs = [](fuse_req_t req, fuse_ino_t) { of(req)->statfs(req); };
    // Extended attributes are not kept: the calls are left out, so that the
    // kernel answers them itself (ENOTSUP) after the first.
    return o;
  }();
  return ops;
}

}  // namespace korva_fuse
