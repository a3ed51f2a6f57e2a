#pragma once
// The file system korva_fuse mounts on a view's root directory: each call
// of the kernel's FUSE module becomes a kernel request on the view's message
// channel (korva_fuse_channel.h), as the kernel file system would make it,
// and the daemon's answer becomes the call's answer. File contents are read
// and written in the files the daemon names: a view-private file's
// container in the view's storage, a version's cleartext in the cleartext
// cache (read-only). The daemon's notices reach the kernel's caches through
// one thread of their own.

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tools/korva_fuse/korva_fuse_channel.h"
#include "tools/korva_fuse/korva_fuse_contents.h"
#include "tools/korva_fuse/korva_fuse_made_dirs.h"
#include "tools/korva_fuse/korva_fuse_nodes.h"
#include "tools/korva_fuse/korva_fuse_view.h"

namespace korva_fuse {

// How long the kernel keeps what it was told, in seconds. The daemon sends
// a notice of every change it makes to names and objects, so found names
// and attributes may be kept long; names answered missing are kept briefly
// (korva_fuse remembers each of them for the whole-view notice).
struct CacheTimes {
  double kept = 60;
  double missing = 1;
};

class Filesystem {
 public:
  // Serves `view`, whose kernel state is `kernel`, with the kernel keeping
  // names and attributes for `times`. `lost` is told when the connection
  // to the daemon ends.
  Filesystem(const Kernel& kernel, View view, CacheTimes times, std::function<void()> lost);
  ~Filesystem();
  Filesystem(const Filesystem&) = delete;
  Filesystem& operator=(const Filesystem&) = delete;

  // The operations to create the FUSE session with, its user data being
  // this object.
  static const fuse_lowlevel_ops& operations();

  // The session whose kernel caches the notices invalidate; starts the
  // thread that applies them.
  void attach(fuse_session* session);
  Channel& channel() { return channel_; }
  // Ends the channel (calls in flight fail with EIO, later ones with
  // ENOTCONN) and the notices' thread.
  void stop();
  // Whether the kernel holds a file or directory of VOB `vob` open here.
  bool holdsOpen(const qel_uuid_s& vob);

 private:
  struct OpenFile {
    int fd = -1;
    Ino ino = 0;
    // The object whose contents the file holds.
    view_fhandle_t fh{};
    qel_oid_s oid = QEL_OID_NULL;
    bool writable = false;
    // The errno value every read of the file fails with (an inject line
    // "fuse_read" taken when it was opened), or 0. Its reads then never
    // come from pages the kernel kept.
    int read_error = 0;
    // Writes made, and how many of them the daemon has the size and time
    // of; they differ while the daemon has not been told.
    uint64_t writes = 0;
    uint64_t told = 0;
    bool untold() const { return writes != told; }
    // The inodes korva_fuse holds while the file is open: its own and the
    // directories it was found through, which find the object again
    // should its handle go stale (open_mu_ guards them).
    std::vector<Ino> held;
    // Closed by the kernel, writes still untold.
    bool closed = false;
    // The connection its handle was had or last checked on: after another,
    // a rebuilt database may give the handle to another object.
    uint64_t connection = 0;
    // The contents file when it was opened, if fstat could tell.
    bool known = false;
    struct stat opened_as {};
  };
  // A change of the kernel's caches that the notices' thread makes.
  struct Invalidation {
    enum Kind { kNotice, kEntry, kInode } kind = kNotice;
    korva::Notice notice;
    Ino ino = 0;  // kEntry: the directory
    std::string name;
  };

  // ---- the operations ----
  void lookup(fuse_req_t req, Ino parent, const char* name);
  void forget(Ino ino, uint64_t lookups);
  void getattr(fuse_req_t req, Ino ino);
  void setattr(fuse_req_t req, Ino ino, const struct stat* attr, int to_set, fuse_file_info* fi);
  void readlink(fuse_req_t req, Ino ino);
  void mknod(fuse_req_t req, Ino parent, const char* name, mode_t mode);
  void mkdir(fuse_req_t req, Ino parent, const char* name, mode_t mode);
  void symlink(fuse_req_t req, const char* text, Ino parent, const char* name);
  void remove(fuse_req_t req, Ino parent, const char* name, bool directory);
  void rename(fuse_req_t req, Ino parent, const char* name, Ino new_parent, const char* new_name, unsigned flags);
  void link(fuse_req_t req, Ino ino, Ino new_parent, const char* new_name);
  void open(fuse_req_t req, Ino ino, fuse_file_info* fi);
  void create(fuse_req_t req, Ino parent, const char* name, mode_t mode, fuse_file_info* fi);
  void read(fuse_req_t req, size_t size, off_t offset, fuse_file_info* fi);
  void write(fuse_req_t req, fuse_bufvec* data, off_t offset, fuse_file_info* fi);
  void flush(fuse_req_t req, fuse_file_info* fi);
  void release(fuse_req_t req, fuse_file_info* fi);
  void fsync(fuse_req_t req, int datasync, fuse_file_info* fi);
  void opendir(fuse_req_t req, Ino ino, fuse_file_info* fi);
  void releasedir(fuse_req_t req, Ino ino);
  void readdir(fuse_req_t req, Ino ino, size_t size, off_t offset, bool plus);
  void statfs(fuse_req_t req);

  // ---- steps they share ----
  // The object inode `ino`, or an errno value (ESTALE when there is none;
  // EROFS for a directory of korva_fuse's own when `writable`).
  int objectNode(Ino ino, bool writable, Node* node) const;
  // Looks `name` up in `dir` (for a directory of korva_fuse's own, among
  // the VOB tags): 0 with `*entry` (ino 0 when the name is not there; the
  // look-up is counted otherwise), or an errno value.
  int find(const Node& dir, const std::string& name, fuse_entry_param* entry);
  int findOwn(const Node& dir, const std::string& name, fuse_entry_param* entry);
  // An object found by name: its handle, status and name state.
  struct Found {
    view_fhandle_t fh;
    view_vstat_t attr;
    uint32_t name_state;
  };
  // The object `name` names in the directory `dir` (Lookup), and the root
  // of `vob` (Root): 0 with `*found`, or an errno value. Nothing counted.
  int lookupName(const view_fhandle_t& dir, const std::string& name, Found* found);
  // lookupName in the object inode `dir`, on the connection its handle
  // was had or checked on (kOtherConnection when another serves now).
  int lookupIn(const Node& dir, const std::string& name, Found* found);
  // The connection the handle of `node` may be sent on (Channel::Pinned):
  // the one it was had or checked on for a view-private object, any for a
  // VOB object (its handle is never given to another).
  static uint64_t pinOf(const Node& node);
  int rootOf(const korva::VobEntry& vob, Found* found);
  // Finds the object of `ino` again under the name it was last found by,
  // its directories first when their handles are stale too: a daemon
  // started again may have rebuilt its database, where the objects keep
  // their oids but not their handles. 0 with `*node` current, else ESTALE
  // (the name is gone or holds another object) or the call's errno value.
  int refresh(Ino ino, Node* node, int depth);
  // refresh(), tried again while another connection comes meanwhile or it
  // cannot tell, a few times: EIO when it still cannot.
  int findAgain(Ino ino, Node* node);
  // 0 when the object `fh` names is the object `oid`, ESTALE when it is
  // another, or the call's errno value.
  int sameObject(const view_fhandle_t& fh, const qel_oid_s& oid);
  // Makes sure that the handle of `node` (inode `ino`), had on an earlier
  // connection, still names its object: 0, ESTALE when it names another,
  // or the call's errno value.
  int checkHandle(Ino ino, Node* node);
  // Runs `call` with the handle of `node` (inode `ino`), checked, and once
  // more with a refreshed one when the daemon calls the first stale. ESTALE
  // only when the object is gone.
  int withHandle(Ino ino, Node* node, const std::function<int(const view_fhandle_t&)>& call);
  // The entry of the object `fh` found under `name` of `parent`.
  fuse_entry_param entryOf(const view_fhandle_t& fh, const view_vstat_t& attr, Ino parent, const std::string& name,
                           uint32_t name_state);
  // Answers a call that made `name` in `parent` with its entry, or `error`;
  // `made` (when given) learns the new inode before the kernel does.
  void answerMade(fuse_req_t req, int error, const view_fhandle_t& fh, const view_vstat_t& attr, Ino parent,
                  const char* name, const std::function<void(Ino)>& made = nullptr);
  // The status of the object `fh` that the daemon gave as `attr`, its
  // inode number the object's own (inodeNumber).
  struct stat statOf(const view_fhandle_t& fh, const view_vstat_t& attr) const;
  static uint64_t inodeNumber(const view_fhandle_t& fh, const view_vstat_t& attr);
  struct stat ownStat(Ino ino) const;
  // Size and modification time from the open files of `ino` written since
  // the daemon last had them.
  void overlayWritten(Ino ino, struct stat* st);
  // Runs `ask` (a call asking the daemon for an object's status) again
  // while the daemon is told of writes during it, a few times at most.
  int askUntold(const std::function<int()>& ask);
  // Creates the regular file `name` in `dir` and its container: its
  // handle, status and the container. An errno value on failure.
  int makeFile(const view_fhandle_t& dir, const std::string& name, mode_t mode, view_fhandle_t* fh,
               view_vstat_t* attr, ContentsFile* container, view_vstat_t* dir_attr = nullptr);
  // The file of an object's contents (a cached version's or a container):
  // 0 with it, or an errno value.
  int contentsOf(const view_fhandle_t& fh, ContentsFile* file);
  // A file of `node` to write: its own container, or for a cached version
  // under a name checked out or hijacked, a file made over that name (the
  // inode then stands for it), the version's contents copied in when
  // `copy`. `*fh` is the handle to change.
  int writableContents(const Node& node, ContentsFile* file, view_fhandle_t* fh, bool copy = true);
  // The owner and group of a new object: the caller's, as a kernel gives
  // them (none for korva_fuse's own calls: the daemon chooses).
  static void ownedByCaller(view_set_attr_t* attr);
  // Cuts the contents of `node` to `size` (through an open file of it when
  // there is one, `fi`'s first): `*moved` tells whether its times move.
  int resizeContents(const Node& node, off_t size, fuse_file_info* fi, view_fhandle_t* fh, bool* moved);
  // An open with O_TRUNC of the object `fh` (inode `ino`): empties the
  // contents file `file`, open as `fd`, and tells the daemon.
  int truncateOpened(Ino ino, const view_fhandle_t& fh, int fd, int access, const ContentsFile& file);
  int copyContents(const ContentsFile& from, const ContentsFile& to);
  // Gives the daemon the size and modification time of `file` when it has
  // writes the daemon was not told of. A failure leaves them untold.
  int settle(OpenFile* file);
  // Registers the open `file` of `ino` and gives it to the kernel's call.
  void opened(OpenFile* file, fuse_file_info* fi);
  // Closes `file` unless the daemon could not be told of its writes: then
  // it is kept, to be settled when the daemon serves again.
  int close(OpenFile* file);
  // Settles the files closed while the daemon was gone; those told are
  // closed. Runs on the notices' thread.
  void settleClosed();
  // Drops `file` from the open files and closes it, noting its contents
  // file as it was; open_mu_ is held.
  void forgetOpen(OpenFile* file);
  // Whether `st` is the contents file that `ino` was last closed with,
  // unchanged since.
  bool sameContents(Ino ino, const struct stat& st);
  static bool sameFile(const struct stat& was, const struct stat& st);
  // Sets attributes through the daemon; its status of the object.
  int setAttributes(const view_fhandle_t& fh, const view_set_attr_t& attr, view_vstat_t* out);

  // Objects gone from the daemon while the kernel holds them open (their
  // last name went): korva_fuse keeps their status, and their contents in
  // the containers their open files hold, until the last close, as a
  // kernel keeps an unlinked file's inode and storage.
  // The daemon called the object of `ino` stale: true when it is gone and
  // open (kept from now on), false when nothing holds it open.
  bool markGone(Ino ino);
  // The status of the gone object of `ino`; false when it is not gone.
  bool gone(Ino ino, struct stat* st);
  bool goneLocked(Ino ino, struct stat* st);
  // A change of attributes of the gone object of `ino`, made here alone:
  // 0 with its new status in `*out`, an errno value, or -1 when it is not
  // gone.
  int setGone(Ino ino, const struct stat* attr, int to_set, fuse_file_info* fi, struct stat* out);
  // A change through the mount, from its start to its answer: a directory's
  // status is kept (MadeIn) only while no other change runs or ran since.
  class Change {
   public:
    explicit Change(Filesystem& fs);
    ~Change();
    Change(const Change&) = delete;
    Change& operator=(const Change&) = delete;
    // Keeps `attr`, the status of directory `dir` the daemon gave in its
    // answer to this change, when no other change ran meanwhile and no
    // notice came since `notices` on connection `connection`.
    void keep(Ino dir, const view_vstat_t& attr, uint64_t notices, uint64_t connection);

   private:
    Filesystem& fs_;
    uint64_t number_;
  };
  // The kept status of directory `dir`, taken once: false when there is
  // none, or it may be out of date.
  bool takeKept(Ino dir, view_vstat_t* attr);

  void queue(Invalidation invalidation);
  void applyInvalidations();
  void apply(const Invalidation& invalidation);
  void invalidateNode(const Node& node);

  static Filesystem* of(fuse_req_t req);
  static OpenFile* fileOf(fuse_file_info* fi);

  const Kernel& kernel_;
  const View view_;
  const CacheTimes times_;
  const struct timespec started_;
  Nodes nodes_;
  // Directories made here and the names that may be in them: a look-up of
  // another name there needs no call.
  MadeDirs made_dirs_;
  Channel channel_;
  // Opens the contents files the daemon names.
  const Contents contents_;

  std::mutex open_mu_;
  std::unordered_multimap<Ino, OpenFile*> open_files_;
  // Closed by the kernel, still open here: the daemon was gone when they
  // were closed. Their sizes show through getattr until it is told.
  std::vector<OpenFile*> closed_untold_;
  std::atomic<bool> any_closed_untold_{false};
  // How often the daemon has been told of an open file's writes. An answer
  // of the daemon asked for while this grew may predate what it was told,
  // and the file it was told of may be closed and no longer overlaid.
  std::atomic<uint64_t> tellings_{0};
  // The contents file of each inode when it was last closed: the kernel's
  // pages of the inode are that file's.
  std::unordered_map<Ino, struct stat> closed_as_;
  // Directories the kernel holds open, by inode, and how often.
  std::unordered_map<Ino, unsigned> open_dirs_;
  // The objects gone while open, with their status.
  std::unordered_map<Ino, struct stat> gone_;

  // The kernel drops a directory's attributes at each create in it and
  // asks for them at the next look-up there: the status the create's
  // answer gave is the answer then, while nothing else changed (no change
  // through the mount began since, none is running, no notice came, the
  // connection is the same).
  struct MadeIn {
    Ino dir = 0;
    view_vstat_t attr{};
    uint64_t change = 0;
    uint64_t notices = 0;
    uint64_t connection = 0;
  };
  std::mutex changes_mu_;
  uint64_t changes_ = 0;  // changes begun
  unsigned running_ = 0;  // changes not yet answered
  MadeIn made_in_;

  fuse_session* session_ = nullptr;
  // Names answered as missing within the time the kernel keeps that: a
  // whole-view notice drops them too.
  struct Missing {
    std::chrono::steady_clock::time_point when;
    Ino dir;
    std::string name;
  };
  void missing(Ino dir, const std::string& name);
  std::mutex missing_mu_;
  std::deque<Missing> missing_;

  std::mutex queue_mu_;
  std::condition_variable queued_;
  std::deque<Invalidation> invalidations_;
  bool stopping_ = false;
  std::thread notices_;
};

}  // namespace korva_fuse
