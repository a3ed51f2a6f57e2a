#pragma once
// The agent's objects of the view database's loaded element namespace: one
// element, version, VOB root directory or symbolic link of one VOB, named by
// the VOB's uuid and, once known, the object's dbid, with the VOB's database
// id once it is loaded. Each operation is a traced step over one or a few
// view-database calls, each a transaction of its own; what this layer adds
// is the object model, the staleness test against the view's generation
// number and the creation sequences (the element first).
//
// Objects are made by their users (who own them; they are not shared
// between threads) or by get_object. Statuses: 0; 20001 when a step fails,
// or when an operation needs the VOB and the object dbid and one is still 0
// (traced "Caller didn't load data."); "mapped" results turn the view
// database's 1002 and 1052 into 20002 and its other failures into 20001;
// elsewhere the view database's own status is returned.

#include <memory>

#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

class OstrelAgent_Trace;

// A file status on its way into the view database: the caller's, whose
// modification time becomes a fresh view time unless the view keeps the
// VOB's modification times.
struct ptime_fstat {
    explicit ptime_fstat(const qel_fstat_db_s& from);
    qel_fstat_db_s fstat;
};

class OstrelAgent_View_db_object {
public:
    // `dbid` 0: not looked up yet; `vob_dbid` 0: the VOB is not loaded yet.
    OstrelAgent_View_db_object(unsigned dbid, const qel_uuid_s& vob, unsigned vob_dbid = 0);
    virtual ~OstrelAgent_View_db_object();

    OstrelAgent_View_db_object(const OstrelAgent_View_db_object&) = delete;
    OstrelAgent_View_db_object& operator=(const OstrelAgent_View_db_object&) = delete;

    // The object's attribute record (cleared first): 0 or 20001.
    virtual int get_ostrelstat(ostrel_vstat& out) = 0;
    // 20001 while the object dbid is 0.
    virtual int get_dbid(unsigned& dbid);
    // Clears the valid mark of the object's names; mapped.
    virtual int invalidate_obj();
    // Looks the VOB's database id up when it is 0; a failure keeps 0 and is
    // returned as the view database gave it.
    virtual int load_data();

    // A new object for the VOB's object `dbid`, or of `oid`, of the class
    // its kind asks for (2, 5: element; 3, 6, 8: version; 7: symbolic link),
    // and that kind; null for an unknown VOB or object or another kind.
    static std::unique_ptr<OstrelAgent_View_db_object> get_object(const qel_uuid_s& vob, unsigned dbid,
                                                                  vob_mtype_t& mtype);
    static std::unique_ptr<OstrelAgent_View_db_object> get_object(const qel_uuid_s& vob, const qel_oid_s& oid,
                                                                  vob_mtype_t& mtype);

    const qel_uuid_s& vob() const { return m_vob; }
    unsigned vob_dbid() const { return m_vob_dbid; }

protected:
    // Whether the VOB and the object dbid are known; traces "Caller didn't
    // load data." when not.
    bool has_data(const OstrelAgent_Trace& trace) const;

    qel_uuid_s m_vob;
    unsigned m_vob_dbid;
    unsigned m_dbid;
};
