#pragma once
// A VOB's root directory version in the view database's loaded element
// namespace. Loading the object makes the VOB's record when the view
// database has none. A root loaded by a scope whose generation number lies
// below the view's current one is stale (1033); the object then forgets the
// root's dbid, so that the next call asks the database again.

#include "lib/ns/ostrelagent_view_db_abstract_ver.h"

class OstrelAgent_View_db_root_dir : public OstrelAgent_View_db_abstract_ver {
public:
    // The root of the VOB `vob` (its dbid is looked up).
    explicit OstrelAgent_View_db_root_dir(const qel_uuid_s& vob, unsigned dbid = 0, unsigned vob_dbid = 0)
        : OstrelAgent_View_db_abstract_ver(dbid, vob, vob_dbid) {}

    // Looks the VOB up, making its record (empty host and pathname) when it
    // has none: 0; 1001 when that fails; another failure of the look-up as
    // it came.
    int load_data() override;
    // Whether the VOB has a root directory that is not stale (or the object
    // knows its dbid).
    bool has_root_dir();
    // The root's dbid: 0, 1033 (stale; the dbid is given all the same), or
    // the view database's status.
    int get_root_dir(unsigned& dbid);
    // The root's details (kind 3) and its element's, the element's dbid to
    // `elem_dbid`; `dbid` is used when the object's own dbid is still 0. 0,
    // 1033, or the view database's status.
    int get_info(unsigned dbid, unsigned& elem_dbid, ostrel_vstat& root, ostrel_vstat& elem);
    // The same for the root version of `oid`.
    int get_info(const qel_oid_s& oid, unsigned& elem_dbid, ostrel_vstat& root, ostrel_vstat& elem);
    // Loads the root `root` (its element from `elem` first) in the scope
    // `scope` at `gn`; `readdir_state` passes on to the view database. The
    // dbids go to `root_dbid`, `elem_dbid` and the object. 0 or 20001.
    int create(const qel_oid_s& scope, unsigned gn, int readdir_state, ostrel_vstat& root, ostrel_vstat& elem,
               unsigned& root_dbid, unsigned& elem_dbid);
};
