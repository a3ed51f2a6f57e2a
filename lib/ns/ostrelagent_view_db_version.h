#pragma once
// A directory or file version of the view database's loaded element
// namespace: its flags, the names a directory version lists, its details
// with its element's, and its loading under a name.
//
// The operations that need the VOB fail with 1001 (traced "Can't load vob
// object.") while its database id is 0; the two get_info forms give 20001
// then, and is_stale and is_readdir_done false.

#include <string>
#include <vector>

#include "lib/ns/ostrelagent_view_db_abstract_ver.h"
#include "lib/ostreladb/ostrelagent_dirent.h"

class OstrelAgent_View_db_version : public OstrelAgent_View_db_abstract_ver {
public:
    using OstrelAgent_View_db_abstract_ver::OstrelAgent_View_db_abstract_ver;

    int load_data() override;

    // The version's stale flag and a directory version's load-done flag;
    // the view database's status, or 1001.
    int set_stale(bool stale);
    bool is_stale();
    int set_load_done(bool done);
    // Appends the names the directory version lists; the view database's
    // status, or 1001.
    int readdir(std::vector<ostrelagent_dirent>& out);
    // Whether the directory version was listed whole by a load of a scope
    // that is not stale.
    bool is_readdir_done();
    // Sets or clears that mark; the kernel's copies that this makes wrong
    // are invalidated in the background (the whole view's when a directory
    // named elsewhere became stale, 1001 without a view). The view
    // database's status, 1001, or 0.
    int set_readdir_done(bool done);
    // The version or link that `name` names in this directory version, and
    // its kind: 0; 1033 when the name or its scope is stale; the view
    // database's status (1002 for no such name); 1001.
    int lookup(const std::string& name, unsigned& dbid, vob_mtype_t& mtype);
    // The details of the version `dbid` (used when the object's own dbid is
    // still 0), its name into `name` (`size` bytes, none when null) and its
    // element's details; the element's dbid to `elem_dbid`. 0 or 20001.
    int get_info(unsigned dbid, size_t size, unsigned& elem_dbid, char* name, ostrel_vstat& ver, ostrel_vstat& elem);
    // The same for the version of `oid`.
    int get_info(const qel_oid_s& oid, size_t size, unsigned& elem_dbid, char* name, ostrel_vstat& ver,
                 ostrel_vstat& elem);
    // Loads the version `ver` (its element from `elem` first) under `name` in
    // the directory version `parent`, in the scope `scope` (the null oid:
    // the default scope) at `gn`; `readdir_state` passes on to the view
    // database. `scope_out` gets the scope of another name of a directory
    // version; with `inval_parent` the kernel's entry of the parent is
    // invalidated in the background. The dbids go to `ver_dbid`,
    // `elem_dbid` and the object. 0 or 20001.
    int create(unsigned parent, const qel_oid_s& scope, unsigned gn, int readdir_state, bool inval_parent,
               ostrel_vstat& ver, view_vstat& elem, const char* name, unsigned& ver_dbid, unsigned& elem_dbid,
               qel_oid_s& scope_out);

private:
    // Whether the VOB's database id is known; traced when not.
    bool has_vob(const OstrelAgent_Trace& trace) const;
};
