#pragma once
// A view-database object: one element, version or symbolic link of one VOB
// in the view database, named by the VOB's uuid and the object's dbid, with
// the VOB's database id once it is loaded. The creator owns the object.
//
// Stand-in: the loaded element namespace is not built yet, so the objects
// answer from the VOB trees that content fetch's stand-in holds.

#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

class OstrelAgent_View_db_object {
public:
    // `vob_dbid` 0: not loaded yet.
    OstrelAgent_View_db_object(unsigned dbid, const qel_uuid_s& vob, unsigned vob_dbid);
    virtual ~OstrelAgent_View_db_object();

    OstrelAgent_View_db_object(const OstrelAgent_View_db_object&) = delete;
    OstrelAgent_View_db_object& operator=(const OstrelAgent_View_db_object&) = delete;

    // The object's attribute record (cleared first).
    virtual int get_ostrelstat(ostrel_vstat& out) = 0;
    // 20001 while the object dbid is 0.
    virtual int get_dbid(unsigned& dbid);
    // Looks the VOB's database id up when it is 0; a failure keeps 0.
    virtual int load_data();

protected:
    qel_uuid_s m_vob;
    unsigned m_vob_dbid;
    unsigned m_dbid;
};
