#pragma once
// A version of the view database's loaded element namespace (a file or
// directory version, or a VOB's root directory), with the dbid of its
// element once known.

#include "lib/ns/ostrelagent_view_db_object.h"

class OstrelAgent_View_db_abstract_ver : public OstrelAgent_View_db_object {
public:
    using OstrelAgent_View_db_object::OstrelAgent_View_db_object;

    // The version's record; 0 or 20001.
    int get_ostrelstat(ostrel_vstat& out) override;
    int load_data() override = 0;
    // The load scope and its generation number of the version's entry; 0 or
    // 20001.
    virtual int get_scope(qel_oid_s& scope, unsigned& gn);
    // Clears the valid mark of the entry `name` of this directory version;
    // mapped.
    virtual int invalidate_name(const char* name);

protected:
    // The element of a version or root being created: the element record's
    // element id finds it (it then takes `checked_out`) or it is made from
    // that record. Its dbid goes to `*elem_dbid` and, as their object
    // number, into both records. 0 or 20001.
    int element_step(const OstrelAgent_Trace& trace, int checked_out, view_vstat& elem, qel_fstat_db_s& obj_fstat,
                     unsigned* elem_dbid);
    // Fills `elem` (cleared first) with the record of the version's element,
    // whose dbid is looked up once; the view database's status.
    int element_record(const OstrelAgent_Trace& trace, ostrel_vstat& elem);
    // Whether a generation number lies below the view's current one (traced
    // with `what`, "object" or "root").
    static bool is_stale_gn(const OstrelAgent_Trace& trace, const char* what, unsigned gn);

    unsigned m_elem_dbid = 0;
};
