#pragma once
// What the namespace cache and the view-database objects ask of content
// fetch, the floor above them: an object's status, a name or a VOB root they
// lack, a directory's listing, a version's cleartext, and the invalidations
// of cached metadata. Content fetch implements it (OstrelAgent_Ns_Fetch,
// which passes each call to OstrelAgent_Metadata or OstrelAgent_Cleartext,
// where the calls are described); the view handler installs it when it is
// made, before any view starts.
//
// The namespace floor asks the questions that may need the server (the
// misses and the cleartext below) through Ns_Server_Wait (ns_server_wait.h),
// which never lets one wait with the namespace mutex held; the other calls
// may be made with it held.

#include <string>
#include <vector>

#include "lib/ostreladb/ostrelagent_dirent.h"
#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

class OstrelAgent_KORVA_Ioctl;

class Ns_Content_Fetch {
public:
    virtual ~Ns_Content_Fetch();

    // How far a question may go: AT_HAND, only to what the agent holds (the
    // view database, the cleartext cache), answering NEEDS_SERVER where the
    // server would have to be asked (or another thread's fetch of the same
    // thing waited for) while the agent is online; SERVER, as far as it
    // takes, waiting for the server.
    enum class Reach { AT_HAND, SERVER };
    // Never handed out: the status of an AT_HAND question that only the
    // server can answer.
    static constexpr int NEEDS_SERVER = 20999;

    // ---- misses ---------------------------------------------------------------------------

    // From the view database alone: it never waits for the server.
    virtual int get_metadata(const qel_uuid_s& vob, const unsigned& dbid, const unsigned& elem_dbid,
                             ostrel_vstat& out) = 0;
    virtual int lookup_obj(const qel_uuid_s& vob, const unsigned& dir_dbid, const unsigned& dir_elem_dbid,
                           const std::string& name, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out,
                           Reach reach) = 0;
    virtual int bindroot(const qel_uuid_s& vob, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out,
                         Reach reach) = 0;
    virtual int readdir_obj(const qel_uuid_s& vob, const unsigned& dir_dbid, std::vector<ostrelagent_dirent>& out,
                            Reach reach) = 0;
    // Brings the version `version` of the VOB into the cleartext cache
    // `cache_dir`; `relpath` gets its path there. 0, else the fetch's
    // status.
    virtual int get_cleartext(const qel_uuid_s& vob, unsigned version, const std::string& cache_dir,
                              std::string& relpath, Reach reach) = 0;

    // ---- invalidations --------------------------------------------------------------------

    virtual int invalidate_obj(const qel_uuid_s& vob, const qel_oid_s& oid) = 0;
    virtual int invalidate_name(const qel_uuid_s& vob, const qel_oid_s& dir_oid, const std::string& name) = 0;
    virtual int view_inval_obj(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob, const qel_oid_s& oid,
                               vob_op_t op, bool ns, bool kernel, bool db) = 0;
    virtual int view_inval_name(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob, const qel_oid_s& dir_oid,
                                const char* name, bool ns, bool kernel, bool db) = 0;
    virtual void view_inval_parent(const qel_uuid_s& vob, const qel_oid_s& oid, vob_op_t op) = 0;
    virtual void view_inval_view_in_background() = 0;

    // ---- the installed implementation -----------------------------------------------------

    static void install(Ns_Content_Fetch* fetch);
    // The installed implementation; a fatal error while none is.
    static Ns_Content_Fetch& get();

private:
    static Ns_Content_Fetch* g_fetch;
};
