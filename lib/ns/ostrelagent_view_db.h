#pragma once
// The view's handle on its view database, and the view-wide steps of the
// object layer: the view's generation number, its load scopes, the mappings
// between objects' ids and dbids, and the loading of one name entry.
//
// The view object makes and owns the one handle; it starts the database in
// the view storage (which becomes the process's working directory) and
// closes it. The other operations are static; each is one or a few
// view-database calls, each a transaction of its own. "Mapped" results turn
// the view database's 1002 and 1052 into 20002 and its other failures into
// 20001.

#include <string>
#include <vector>

#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

class OstrelAgent_View_db {
public:
    // Which scopes get_scopes lists: every load-rule scope (those removed
    // and awaiting deletion too), those not removed, the default scope, the
    // removed ones awaiting deletion.
    enum ScopeListType : int { ALL_LR_SCOPES = 0, LR_SCOPES = 1, DEFAULT_SCOPE = 2, LR_SCOPES_FOR_DELETE = 3 };

    // `storage` is the view storage directory (absolute), `view_uuid` the
    // view uuid in text form.
    OstrelAgent_View_db(const std::string& storage, const std::string& view_uuid);
    ~OstrelAgent_View_db();

    OstrelAgent_View_db(const OstrelAgent_View_db&) = delete;
    OstrelAgent_View_db& operator=(const OstrelAgent_View_db&) = delete;

    // Makes the storage the working directory, prepares the container pool,
    // opens the database and creates the default load scope. 0, or 20001 at
    // the first step that fails.
    int start_db();
    // Closes the database; the handle is closed once that worked. Always 0.
    int close_db();
    // Closes the database and opens it again: 0, or 20001 (the handle then
    // counts as closed).
    int reset_db();

    // The view's generation number as the database records it; the view
    // database's status.
    static int view_gn(unsigned& gn);
    // Deletes a load-rule scope; mapped.
    static int delete_lr_scope(const qel_oid_s& oid);
    // Creates a load-rule scope with the scope's id and path name, or with a
    // new id and `pname`, at generation number 0; mapped.
    static int add_lr_scope(const ostrel_scope& scope);
    static int add_lr_scope(const char* pname);
    // Appends the scopes `which` selects; mapped, 20031 for another
    // selector.
    static int get_scopes(ScopeListType which, std::vector<ostrel_scope>& out);

    // The oid of the VOB's element `dbid`; false when it cannot be had.
    static bool elem_dbid_to_oid(unsigned dbid, const qel_uuid_s& vob, qel_oid_s& oid);
    // The oid of the VOB's object `dbid` (1: the VOB's root directory, also
    // when that is stale); false when it cannot be had.
    static bool obj_dbid_to_oid(unsigned dbid, const qel_uuid_s& vob, qel_oid_s& oid);
    // The dbid and kind of an object of the VOB; the null oid gives 0, 0
    // and true. False for an unknown VOB or object (the dbid is then 0).
    static bool obj_oid_to_dbid_mtype(const qel_oid_s& oid, const qel_uuid_s& vob, unsigned& dbid,
                                      vob_mtype_t& mtype);
    static bool obj_oid_to_dbid(const qel_oid_s& oid, const qel_uuid_s& vob, unsigned& dbid);
    // As obj_oid_to_dbid, and false for an object that is no element.
    static bool elem_oid_to_dbid(const qel_oid_s& oid, const qel_uuid_s& vob, unsigned& dbid);

    // Loads one name entry of the directory version `parent` in the scope
    // `scope` at `gn`: a version of kind `mtype` (3, 6, 8) with its element
    // from `elem`, or a symbolic link (7; `elem` then becomes a copy of the
    // link's record, and `elem_dbid` its dbid). `readdir_state` passes on to
    // the view database; with `inval_parent` the kernel's entry of the parent
    // of a new version is invalidated in the background. `scope_out`, when
    // given, gets the scope of another name of a directory version. 0 or
    // 20001.
    static int add_db_entry(const qel_uuid_s& vob, vob_mtype_t mtype, const char* name, unsigned parent,
                            const qel_oid_s& scope, unsigned gn, int readdir_state, bool inval_parent,
                            ostrel_vstat& obj, view_vstat& elem, unsigned& dbid, unsigned& elem_dbid,
                            qel_oid_s* scope_out);

    int is_open() const { return m_open; }
    const std::string& get_storage() const { return m_storage; }
    const std::string& get_view_uuid() const { return m_view_uuid; }

private:
    int m_open = 0;
    std::string m_storage;
    std::string m_view_uuid;
};
