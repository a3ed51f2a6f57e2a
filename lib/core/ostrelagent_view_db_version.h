#pragma once
// A directory or file version of the view database, and the names that a
// loaded directory version lists.
//
// Stand-in: answers from content fetch's scripted VOB trees.

#include <string>

#include "lib/core/ostrelagent_view_db_abstract_ver.h"

class OstrelAgent_View_db_version : public OstrelAgent_View_db_abstract_ver {
public:
    using OstrelAgent_View_db_abstract_ver::OstrelAgent_View_db_abstract_ver;

    // The version that `name` lists in this directory version, and its kind;
    // 1001 while the VOB is not loaded, 1002 for a name it does not list.
    int lookup(const std::string& name, unsigned& dbid, vob_mtype_t& mtype);
};
