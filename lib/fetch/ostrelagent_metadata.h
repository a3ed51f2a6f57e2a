#pragma once
// The metadata side of content fetch: the path walk that turns a view path
// into the object it names, the miss handlers that the namespace cache
// calls when it lacks an object's status, a name of a directory version, a
// directory's listing or a VOB's root, the directory fetch, the
// invalidations of cached metadata, and the table of object locks.
//
// The path walk (an object made on the stack, run once) goes through the
// namespace cache only. The miss handlers answer from the view database;
// only what it cannot answer is asked of the remote server
// (OstrelAgent_Metadata_Rpc), while the agent is online (offline such a
// question gets 20033), and what the server sends is stored in the view
// database before it is handed out. Every status handed out carries the
// agent process's own owner and group.
//
// Locks: a directory version's listing is fetched once however many threads
// ask (the readdir scoreboard); the fetch holds the entry's lock and then the
// object lock of the version's oid across the remote call and what it
// stores, and never takes the namespace mutex: the flushes it causes go to
// the request pool. The handlers' forms "at hand" answer from the view
// database alone and may be called with the namespace mutex held; the
// others may wait for the server and are called with no namespace lock
// held.

#include <cstddef>
#include <string>
#include <vector>

#include "lib/ostreladb/ostrelagent_dirent.h"
#include "platform/norvanethread/norvanethread.h"
#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"


class OstrelAgent_KORVA_Inval_Batch;
class OstrelAgent_KORVA_Ioctl;

class OstrelAgent_Metadata {
public:
    // ---- the path walk ------------------------------------------------------------------

    // Resolves `path` (view-relative: a VOB tag and the path below it);
    // `given_path` is quoted in messages. With `follow_final_link` a final
    // symbolic link is followed; without, its text is the result.
    OstrelAgent_Metadata(const std::string& path, const std::string& given_path, bool follow_final_link);
    virtual ~OstrelAgent_Metadata();

    OstrelAgent_Metadata(const OstrelAgent_Metadata&) = delete;
    OstrelAgent_Metadata& operator=(const OstrelAgent_Metadata&) = delete;

    // The walk: 0; the mount registry's status (20047) when no mounted VOB
    // holds the path; 20002 when it stops at a directory that lacks the next
    // name; 20056 when it stops at another object with part of the path
    // left; a mapped namespace status when a look-up fails; 20001 for a
    // link that cannot be read, more than 20 links or an absolute link. The
    // texts are appended to the message; after a failure the fields filled
    // so far stay.
    int run();
    // Copies the object's status (with its link text): 20001 for a null
    // pointer, else 0.
    int get_vstat(view_vstat* out) const;
    int get_ostrel_vstat(ostrel_vstat* out) const;

    int get_status() const { return m_status; }
    // The base status of the walk's last namespace look-up.
    int get_ns_status() const { return m_ns_status; }
    const std::string& get_message() const { return m_message; }
    const qel_uuid_s& get_vob_uuid() const { return m_vob_uuid; }
    const std::string& get_vob_tag() const { return m_vob_tag; }
    // The object's path below the VOB tag ("/" for the VOB root).
    const std::string& get_canonical_path() const { return m_canonical_path; }
    const view_fhandle& get_obj_fhandle() const { return m_obj_fh; }
    const view_fhandle& get_parent_fhandle() const { return m_parent_fh; }
    const qel_oid_s& get_co_oid() const { return m_co_oid; }
    bool is_vob_root() const { return m_is_vob_root; }
    // The final name is hijacked (its status is the hijacked version's).
    bool is_hijacked() const { return m_hijacked; }
    // The final name is a view-private one over a VOB name: eclipsed.
    bool is_white_out() const { return m_white_out; }
    // Whether the walk stopped with more than one name left.
    bool is_incomplete() const { return m_incomplete; }
    // After a successful run: whether the object reached is the view's own
    // (a view-private file or directory, or a checked-out copy), which no
    // server holds.
    bool is_view_object() const;
    // After a successful run: whether the object reached counts as
    // version-controlled, that is checked out, hijacked, or a version or
    // symbolic link of a VOB. An eclipsed name (a view-private object over
    // a VOB name) does not count.
    bool is_version_controlled() const;
    // The object's path in the view: the VOB tag and the canonical path.
    std::string get_view_path() const {
        return m_canonical_path == "/" ? m_vob_tag : m_vob_tag + m_canonical_path;
    }

    // Gives a file status the agent process's own owner and group.
    static void replace_fstat_identities(qel_fstat_db_s& fstat);
    // The same on a status, whose third oid also becomes the null oid: done
    // to every status from the server before it is stored or handed out.
    static void replace_vstat_values(view_vstat& vstat);

    // ---- miss handlers -------------------------------------------------------------------
    //
    // Agent statuses: 0; 20001; 20002 not found; 20021 a dbid without oid;
    // 20031 an object the view database does not hold; 20033 offline; a
    // failed remote command's status (20048, 20049).

    // The status of the object `dbid` as the view database holds it; never
    // asks the server (20031, logged, for an object it lacks while online).
    static int get_metadata(const qel_uuid_s& vob, const unsigned& dbid, const unsigned& elem_dbid,
                            ostrel_vstat& out);
    // The object the directory version `dir_dbid` lists under `name`: its
    // element's dbid, then the object's, and its status. A name fetched from
    // the server is stored, and the directory's listing is then fetched in
    // the background (also after the server said that there is no such
    // name). Directory 1 with the empty name is the VOB's root (bindroot).
    static int lookup_obj(const qel_uuid_s& vob, const unsigned& dir_dbid, const unsigned& dir_elem_dbid,
                          const std::string& name, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out);
    // The VOB's root element and root directory version, and the version's
    // status; fetched and stored when the view database has no root.
    static int bindroot(const qel_uuid_s& vob, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out);
    // The answers of lookup_obj, bindroot and readdir_obj from the view
    // database alone, never asking the server nor waiting for another
    // thread's fetch: false when the agent is online and only the server
    // can answer; otherwise true, with the answer's status in `status`.
    static bool lookup_obj_at_hand(const qel_uuid_s& vob, const unsigned& dir_dbid, const std::string& name,
                                   unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out, int& status);
    static bool bindroot_at_hand(const qel_uuid_s& vob, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out,
                                 int& status);
    static bool readdir_at_hand(const qel_uuid_s& vob, const unsigned& dir_dbid,
                                std::vector<ostrelagent_dirent>& out, int& status);
    // The element (dbid and kind 2) that an update entry's parent oid names
    // and the directory version the view selects of it; 20031 (with a text
    // appended to `msg`, except for a wrong kind) when either is missing.
    static int lookup_parent_dir(const qel_uuid_s& vob, const qel_oid_s& parent_elem_oid, const std::string& path,
                                 unsigned& elem_dbid, unsigned& ver_dbid, std::string& msg);
    // Drops the namespace cache's and the kernel's copies of the object
    // (unless `obj_oid` is null) and of the name `leaf` of the directory
    // `dir_oid` (unless it is empty). 0, or the mapped status of the failed
    // step (the name's first), with a text per failure appended to `msg`.
    // With `kernel_later`, the kernel's part is not asked now but added to
    // it under `owner`, for its sender to report as flush_failed_text says.
    static int flush_cache(const qel_uuid_s& vob, const qel_oid_s& obj_oid, const qel_oid_s& dir_oid,
                           const std::string& path, const std::string& leaf, const OstrelAgent_KORVA_Ioctl* ioctl,
                           std::string& msg, OstrelAgent_KORVA_Inval_Batch* kernel_later = nullptr,
                           std::size_t owner = 0);
    // The text flush_cache appends for a step of `path` that failed with `status`.
    static std::string flush_failed_text(const std::string& path, int status);

    // ---- directory fetch ------------------------------------------------------------------

    // The listing of the directory version `dir_dbid`: from the view
    // database when it is complete there or the agent is offline (then the
    // names stored so far), else fetched from the server once, however many
    // threads ask at the same time. On a failure `out` stays as it was.
    static int readdir_obj(const qel_uuid_s& vob, const unsigned& dir_dbid, std::vector<ostrelagent_dirent>& out);
    // The fetch itself, run for the readdir scoreboard's entry.
    static int do_readdir_obj(const qel_uuid_s& vob, const unsigned& dir_dbid, std::vector<ostrelagent_dirent>& out);
    // Queues a background listing of the directory version, unless one is
    // queued or running already.
    static void readdir_in_background(const qel_uuid_s& vob, unsigned dir_dbid);
    static void readdir_in_background(const qel_uuid_s& vob, const qel_oid_s& ver_oid);

    // ---- invalidation ---------------------------------------------------------------------
    //
    // Each takes the places to drop from: the namespace cache (`ns`), the
    // kernel (`kernel`), the view database (`db`). Base statuses: 1001 for a
    // null control object; else the first failing step's (for the whole
    // view the database's, then the namespace's, then the kernel's; for an
    // object or a name the namespace's, then the kernel's). Every selected
    // step runs.

    static int view_inval_view(const OstrelAgent_KORVA_Ioctl* ioctl, bool ns, bool kernel, bool db);
    static int view_inval_obj(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob, const qel_oid_s& oid,
                              vob_op_t op, bool ns, bool kernel, bool db);
    static int view_inval_name(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob, const qel_oid_s& dir_oid,
                               const char* name, bool ns, bool kernel, bool db);
    // Both of the last two, from the namespace cache and the kernel (not
    // the view database), the kernel's through one handle: each one's
    // status as those return it.
    static void view_inval_obj_and_name(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob,
                                        const qel_oid_s& oid, vob_op_t op, const qel_oid_s& dir_oid,
                                        const char* name, int& obj_status, int& name_status);
    // The view database's part: the object's record is marked invalid (its
    // data is fetched again); always 0. The name of the directory `dir_oid`
    // is marked not validated: 0, or 20021 for a directory the view database
    // does not hold.
    static int invalidate_obj(const qel_uuid_s& vob, const qel_oid_s& oid);
    static int invalidate_name(const qel_uuid_s& vob, const qel_oid_s& dir_oid, const std::string& name);
    // Drops the namespace cache's and the kernel's copies of the object, or
    // of the whole view, on a pool worker: the caller may hold the
    // namespace mutex or be inside a view-database transaction.
    static void view_inval_parent(const qel_uuid_s& vob, const qel_oid_s& oid, vob_op_t op);
    static void view_inval_view_in_background();

    // ---- object locks ----------------------------------------------------------------------

    static constexpr unsigned OID_LOCK_COUNT = 1021;
    // The lock of the object `oid` (shared by every oid of the same hash
    // modulo OID_LOCK_COUNT); the table is made on first use.
    static norvanethread_mutex_t* oid_lock(const qel_oid_s& oid);

private:
    int parse_vobroot();
    int handle_dotdot(view_fhandle& cur_dir, view_fhandle& vob_root);
    int substitute_symlink();
    int trim_canonical_tail();
    int lookup_failure();
    // The rest of the remaining path after the characters the last look-up
    // consumed.
    std::string unconsumed() const;

    std::string m_remaining;
    std::string m_given_path;
    int m_ns_status = 0;
    int m_status = 0;
    std::string m_message;
    ostrel_vstat m_obj_vstat{};
    qel_oid_s m_co_oid = QEL_OID_NULL;
    qel_uuid_s m_vob_uuid = QEL_UUID_NULL;
    view_fhandle m_parent_fh{};
    view_fhandle m_obj_fh{};
    std::string m_vob_tag;
    std::string m_canonical_path;
    bool m_is_vob_root = false;
    bool m_hijacked = false;
    bool m_white_out = false;
    bool m_incomplete = false;
    bool m_follow_final_link;
    int m_link_count = 0;
    unsigned m_consumed = 0;
};
