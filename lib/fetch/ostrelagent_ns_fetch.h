#pragma once
// Content fetch as the namespace cache asks it (Ns_Content_Fetch): each
// call goes to OstrelAgent_Metadata, a cleartext to OstrelAgent_Cleartext.
// One object for the process; the view handler installs it.

#include "lib/ns/ns_content_fetch.h"

class OstrelAgent_Ns_Fetch : public Ns_Content_Fetch {
public:
    // Installs the process's object as the namespace cache's content fetch.
    static void install();

    int get_metadata(const qel_uuid_s& vob, const unsigned& dbid, const unsigned& elem_dbid,
                     ostrel_vstat& out) override;
    int lookup_obj(const qel_uuid_s& vob, const unsigned& dir_dbid, const unsigned& dir_elem_dbid,
                   const std::string& name, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out,
                   Reach reach) override;
    int bindroot(const qel_uuid_s& vob, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out,
                 Reach reach) override;
    int readdir_obj(const qel_uuid_s& vob, const unsigned& dir_dbid, std::vector<ostrelagent_dirent>& out,
                    Reach reach) override;
    int get_cleartext(const qel_uuid_s& vob, unsigned version, const std::string& cache_dir, std::string& relpath,
                      Reach reach) override;

    int invalidate_obj(const qel_uuid_s& vob, const qel_oid_s& oid) override;
    int invalidate_name(const qel_uuid_s& vob, const qel_oid_s& dir_oid, const std::string& name) override;
    int view_inval_obj(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob, const qel_oid_s& oid, vob_op_t op,
                       bool ns, bool kernel, bool db) override;
    int view_inval_name(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob, const qel_oid_s& dir_oid,
                        const char* name, bool ns, bool kernel, bool db) override;
    void view_inval_parent(const qel_uuid_s& vob, const qel_oid_s& oid, vob_op_t op) override;
    void view_inval_view_in_background() override;
};
