#pragma once
// The metadata side of content fetch and view update: the miss handlers
// that the namespace cache calls when it lacks an object's status, a name of
// a directory version, a directory's listing or a VOB's root, the
// invalidations of cached metadata, and the identities every handed-out file
// status carries.
//
// Stand-in: the remote server is not reached yet. The miss handlers answer
// from the view database first, as the real ones do; what it lacks they
// "fetch" from VOB trees that a test scripts (objects with their status and,
// for directory versions, their names) and store in the view database as the
// real ones store what the server sends (a name with its version and
// element, a whole listing, a VOB's root), so that the database gives each
// fetched object its dbid. Objects of kinds the view database does not keep
// (such as attached objects) are answered by get_metadata from the script,
// under their script number. There are call counters, statuses forced for
// the next calls and a latency per call. An object the view database does
// not hold is not fetched by get_metadata (20031), and a VOB root without a
// script needs the server, which cannot be reached (20033). The
// invalidations that the real content fetch queues on the request pool (a
// parent's, the whole view's) wait until a test runs them
// (run_background_flushes), and then reach the namespace cache only (no
// kernel is told).

#include <chrono>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

// One entry of a directory listing.
struct ostrelagent_dirent {
    char name[256];
    unsigned dbid;
    unsigned cookie;
};

class OstrelAgent_KORVA_Ioctl;

class OstrelAgent_Metadata {
public:
    // ---- the path walk ------------------------------------------------------------------
    //
    // Stand-in: the walk resolves a view path through the mounted-VOB
    // registry (its VOB) and that VOB's scripted tree (its names), not yet
    // through the namespace cache.

    // Resolves `path` (view-relative; `given_path` is quoted in messages).
    // The scripted trees hold no symbolic links, so there is no final link
    // to follow.
    OstrelAgent_Metadata(const std::string& path, const std::string& given_path, bool follow_final_link);
    virtual ~OstrelAgent_Metadata();
    // 0; 20047 when no mounted VOB holds the path; 20002 with message 31
    // when a name is not there.
    int run();
    // The resolved object's record; 20001 for a null pointer.
    int get_ostrel_vstat(ostrel_vstat* out) const;
    const qel_uuid_s& get_vob_uuid() const { return m_vob_uuid; }
    const std::string& get_message() const { return m_message; }

    // ---- invalidation -------------------------------------------------------------------

    // Drop what the namespace cache (`ns`), the kernel (`kernel`) and the
    // view database (`db`) hold of the whole view, or of one object. A base
    // status: 1001 for a null control object; otherwise the first failing
    // step's status (for an object: the namespace's, then the kernel's),
    // every selected step run.
    static int view_inval_view(const OstrelAgent_KORVA_Ioctl* ioctl, bool ns, bool kernel, bool db);
    static int view_inval_obj(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob, const qel_oid_s& oid,
                              vob_op_t op, bool ns, bool kernel, bool db);
    // One name of the directory `dir_oid`; the result as for an object.
    static int view_inval_name(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob, const qel_oid_s& dir_oid,
                               const char* name, bool ns, bool kernel, bool db);

    // Gives a file status the agent process's own user and group identities
    // as its owner and group.
    static void replace_fstat_identities(qel_fstat_db_s& fstat);

    // The object's attribute record. 20002, 20021, 20031, 20033 on failure.
    static int get_metadata(const qel_uuid_s& vob, const unsigned& dbid, const unsigned& elem_dbid,
                            ostrel_vstat& out);
    // The object a VOB directory version lists under `name`: its element's
    // dbid, then the object (selected version) dbid, and its record. 20002
    // when there is no such name.
    static int lookup_obj(const qel_uuid_s& vob, const unsigned& dir_dbid, const unsigned& dir_elem_dbid,
                          const std::string& name, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out);
    // The directory version's entries (none: 0 and an empty list).
    static int readdir_obj(const qel_uuid_s& vob, const unsigned& dir_dbid, std::list<ostrelagent_dirent>& out);
    // The VOB's root element, its directory version and the version's record.
    static int bindroot(const qel_uuid_s& vob, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out);
    // The view database's part of an invalidation: the object's names, or
    // the name `name` of the directory version `dir_oid`, are marked not
    // valid, so that they are looked up again. invalidate_obj always gives
    // 0; invalidate_name 20021 for a directory the view database does not
    // hold.
    static int invalidate_obj(const qel_uuid_s& vob, const qel_oid_s& oid);
    static int invalidate_name(const qel_uuid_s& vob, const qel_oid_s& dir_oid, const std::string& name);
    // Have the kernel drop the entry of the object's parent, or everything
    // of the view, by a request queued on the pool.
    static void view_inval_parent(const qel_uuid_s& vob, const qel_oid_s& oid, vob_op_t op);
    static void view_inval_view_in_background();

    // ---- the script of the stand-in ----------------------------------------------------

    enum Call : int {
        GET_METADATA,
        LOOKUP_OBJ,
        READDIR_OBJ,
        BINDROOT,
        INVALIDATE_OBJ,
        INVALIDATE_NAME,
        INVAL_PARENT,
        INVAL_VIEW,
        CALLS
    };

    // An object of a scripted VOB tree, as the server knows it.
    struct Scripted_Object {
        // The script's own number for the object, by which the entries and
        // `selected` name it; the view database gives it a dbid of its own
        // when it is fetched.
        unsigned id = 0;
        qel_oid_s oid = {};
        vob_mtype_t mtype = 0;
        unsigned elem_id = 0;  // a version's element; 0 for the other kinds
        qel_fstat_db_s fstat = {};
        bool checked_out = false;
        // The version a name of this element selects.
        unsigned selected = 0;
        // A directory version's names and the objects they list (an element
        // stands for the version it selects).
        std::vector<std::pair<std::string, unsigned>> entries;
        // A symbolic link's target.
        std::string link_text;
    };

    // Adds (or replaces) an object of the VOB's tree.
    static void script_object(const qel_uuid_s& vob, const Scripted_Object& obj);
    // Makes `elem_id` the VOB's root element, whose selected version is its
    // root directory.
    static void script_root(const qel_uuid_s& vob, unsigned elem_id);
    // The next `times` calls of `call` fail with `status` and give nothing.
    static void force_status(Call call, int status, unsigned times);
    // Each call of `call` waits this long first.
    static void set_latency(Call call, std::chrono::microseconds latency);
    static unsigned calls(Call call);
    // Runs the queued invalidations of parents and of the whole view, as the
    // pool would; call without the namespace mutex.
    static void run_background_flushes();
    // Forgets every tree, counter, forced status, latency and queued
    // invalidation.
    static void reset_script();
private:
    std::string m_path;
    std::string m_given_path;
    int m_status = 0;
    std::string m_message;
    ostrel_vstat m_obj_vstat = {};
    qel_uuid_s m_vob_uuid = QEL_UUID_NULL;
};
