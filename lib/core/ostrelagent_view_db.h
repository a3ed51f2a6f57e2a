#pragma once
// The view's handle on its view database: it starts the database in the view
// storage (which becomes the process's working directory) and closes it. The
// view object makes and owns the one handle.
//
// Only the handle, the mappings from object ids to dbids and the load-scope
// calls exist so far; the object classes through which the other subsystems
// read and change the database's elements, versions and roots come with
// those subsystems.
//
// Stand-in: the loaded element namespace is not built yet, so the mappings
// answer from what content fetch's stand-in holds for the VOB.

#include <string>
#include <vector>

#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

class OstrelAgent_View_db {
public:
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

    // The dbid and kind of an object of the VOB; the null oid gives 0, 0
    // and true. False for an unknown VOB or object (the dbid is then 0).
    static bool obj_oid_to_dbid_mtype(const qel_oid_s& oid, const qel_uuid_s& vob, unsigned& dbid,
                                      vob_mtype_t& mtype);
    static bool obj_oid_to_dbid(const qel_oid_s& oid, const qel_uuid_s& vob, unsigned& dbid);
    // As obj_oid_to_dbid, and false for an object that is no element.
    static bool elem_oid_to_dbid(const qel_oid_s& oid, const qel_uuid_s& vob, unsigned& dbid);

    // --- load scopes ---

    // The selector of get_scopes.
    enum ScopeListType {
        ALL_LR_SCOPES = 0,     // load-rule scopes, those marked removed too
        ACTIVE_LR_SCOPES = 1,  // load-rule scopes not marked removed
        DEFAULT_SCOPE = 2,     // the automatic scope alone
        REMOVED_LR_SCOPES = 3, // load-rule scopes marked removed
    };
    // Appends the scopes of `type` to `scopes`. The agent status of the
    // view database's answer; 20031 for another selector.
    static int get_scopes(int type, std::vector<ostrel_scope>& scopes);
    // Creates a load-rule scope at generation number 0: with the scope's
    // own id and path name, or for a path name under a new uuid. Mapped.
    static int add_lr_scope(const ostrel_scope& scope);
    static int add_lr_scope(const char* pathname);
    // Deletes a load-rule scope with what it loaded. Mapped.
    static int delete_lr_scope(const qel_oid_s* scope_oid);

    int is_open() const { return m_open; }
    const std::string& get_storage() const { return m_storage; }
    const std::string& get_view_uuid() const { return m_view_uuid; }

private:
    int m_open = 0;
    std::string m_storage;
    std::string m_view_uuid;
};
