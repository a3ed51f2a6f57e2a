#pragma once
// An element of the view database: its status, its checked-out version and
// a version of it that the view has loaded.

#include <string>

#include "lib/ns/ostrelagent_view_db_object.h"

class OstrelAgent_View_db_element : public OstrelAgent_View_db_object {
public:
    using OstrelAgent_View_db_object::OstrelAgent_View_db_object;

    // The element's record; its element id is its own. 0 or 20001.
    int get_ostrelstat(ostrel_vstat& out) override;
    // Finds the element of `oid` (loading the VOB first), keeps its dbid and
    // fills its record; dbid 0 and 20001 when it is not loaded.
    int get_info(const qel_oid_s& oid, unsigned& dbid, ostrel_vstat& out);
    // Records `oid` as the checked-out version (checked out unless it is the
    // null oid), or reads it back. 0 or 20001.
    int set_co_ver_oid(const qel_oid_s& oid);
    int get_co_ver_oid(qel_oid_s& out);
    // A loaded version of the element and that version's record; 0 or 20001.
    int get_any_version(unsigned& ver_dbid, ostrel_vstat& out);

    // Records the checked-out version `co_ver_oid` of the element `elem_oid`
    // of the VOB; a failure appends its text to `msg` and gives 20001.
    static int set_elem_co_ver_oid(const qel_uuid_s& vob, const qel_oid_s& elem_oid, const qel_oid_s& co_ver_oid,
                                   std::string& msg);
};
