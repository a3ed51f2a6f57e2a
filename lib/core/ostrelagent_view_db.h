#pragma once
// The view's handle on its view database: it starts the database in the view
// storage (which becomes the process's working directory) and closes it. The
// view object makes and owns the one handle.
//
// Only the handle and the mappings from object ids to dbids exist so far;
// the object classes through which the other subsystems read and change the
// database's elements, versions, roots and scopes come with those
// subsystems.
//
// Stand-in: the loaded element namespace is not built yet, so the mappings
// answer from what content fetch's stand-in holds for the VOB.

#include <string>

#include "platform/qel/qel.h"

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

    int is_open() const { return m_open; }
    const std::string& get_storage() const { return m_storage; }
    const std::string& get_view_uuid() const { return m_view_uuid; }

private:
    int m_open = 0;
    std::string m_storage;
    std::string m_view_uuid;
};
