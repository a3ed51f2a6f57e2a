#pragma once
// An element of the view database: its status, its checked-out version and
// any version of it that the view has loaded.
//
// Stand-in: answers from content fetch's scripted VOB trees (the element's
// selected version is the one loaded, and the checked-out one when the
// element is checked out).

#include "lib/core/ostrelagent_view_db_object.h"

class OstrelAgent_View_db_element : public OstrelAgent_View_db_object {
public:
    using OstrelAgent_View_db_object::OstrelAgent_View_db_object;

    // 0 or 20001.
    int get_ostrelstat(ostrel_vstat& out) override;
    // The checked-out version's oid (the null oid when there is none); 0 or
    // 20001.
    int get_co_ver_oid(qel_oid_s& out);
    // A loaded version of the element and its record; 0 or 20001.
    int get_any_version(unsigned& ver_dbid, ostrel_vstat& out);
};
