#pragma once
// A symbolic link of the view database's loaded element namespace.

#include "lib/ns/ostrelagent_view_db_object.h"

class OstrelAgent_View_db_symlink : public OstrelAgent_View_db_object {
public:
    using OstrelAgent_View_db_object::OstrelAgent_View_db_object;

    // The link's record (kind 7) with its target as the path text; 0 or
    // 20001.
    int get_ostrelstat(ostrel_vstat& out) override;
    // Loads the link `link` (whose path text is its target) under `name` in
    // the directory version `parent`, in the scope `scope` (the null oid:
    // the default scope) at `gn`; with `inval_parent` the kernel's entry of
    // the parent is invalidated in the background. The link's dbid goes to
    // `dbid`, into the object and into the record as its object number. 0
    // or 20001.
    int create(unsigned parent, const qel_oid_s& scope, unsigned gn, ostrel_vstat& link, const char* name,
               bool inval_parent, unsigned& dbid);
};
