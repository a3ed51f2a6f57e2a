#pragma once
// A version of the view database (a file or directory version, or a VOB's
// root directory), with the dbid of its element once known.
//
// Stand-in: answers from content fetch's scripted VOB trees.

#include "lib/core/ostrelagent_view_db_object.h"

class OstrelAgent_View_db_abstract_ver : public OstrelAgent_View_db_object {
public:
    using OstrelAgent_View_db_object::OstrelAgent_View_db_object;

    // 0 or 20001.
    int get_ostrelstat(ostrel_vstat& out) override;

protected:
    unsigned m_elem_dbid = 0;
};
