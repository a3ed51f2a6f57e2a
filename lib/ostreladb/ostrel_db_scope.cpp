// The view-namespace record and the load scopes: the view's generation
// number, and the default scope that a view starts with.
//
// Only what the view object needs to make and start a view is here so far:
// the view-namespace record, scope creation and the look-up by oid. The
// scope lists, marks, completion and clean-up join this file later.
#include <algorithm>
#include <cstring>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"

namespace {


// The first view-namespace record made current; 1008 (reported) when there
// is none.
int first_view(const char* object) {
    int st = dt_recfrst(VNS_DB_VIEW, &view_db_task, VDB);
    return st == S_OKAY ? 0 : ostrela_kesto_err("D_RECFRST", object, st);
}

} // namespace

bool ostrela_db_is_def_scope(const qel_oid_s* oid) { return qel_oid_eq(oid, &AUTOMATIC_LOAD_SCOPE_OID); }

int ostrela_db_create_vns_view(const qel_uuid_s* uuid, uint32_t gn) {
    ostrela_db_trans_write_check();
    int st = dt_recfrst(VNS_DB_VIEW, &view_db_task, VDB);
    if (st == S_OKAY) {
        OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_vns_view_exist");
        return ostrela_db_set_vns_view_gn(gn);
    }
    if (st != S_NOTFOUND) return ostrela_kesto_err("D_RECFRST", "CREATE_VNS_VIEW", st);
    vns_db_view rec{*uuid, gn, gn};
    return ostrela_db_engine(dt_fillnew(VNS_DB_VIEW, &rec, &view_db_task, VDB), "D_FILLNEW", "CREATE_VNS_VIEW");
}

int ostrela_db_get_vns_view_gn(uint32_t* gn) {
    ostrela_db_trans_read_check();
    *gn = 0;
    int status = first_view("GET_VIEW_GN");
    vns_db_view rec;
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECFRST", "GET_VIEW_GN");
    if (status == 0) *gn = rec.gn;
    return status;
}

int ostrela_db_set_vns_view_gn(uint32_t gn) {
    ostrela_db_trans_write_check();
    int status = first_view("SET_VIEW_GN");
    vns_db_view rec;
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "SET_VIEW_GN");
    rec.gn = gn;
    if (status == 0) status = ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", "SET_VIEW_GN");
    return status;
}

int ostrela_db_lookup_lr_scope_oid(const qel_oid_s* oid, uint32_t* dbid) {
    ostrela_db_trans_read_check();
    *dbid = 0;
    if (qel_oid_eq(oid, &QEL_OID_NULL)) return QEL_ST_NOT_FOUND;
    int st = dt_keyfind(LR_SCOPE_OID, oid, &view_db_task, VDB);
    if (st == S_NOTFOUND) return QEL_ST_NOT_FOUND;
    if (st != S_OKAY) return ostrela_kesto_err("D_KEYFIND", "LOOKUP_SCOPE", st);
    db_address dba = 0;
    int status = ostrela_db_engine(dt_crget(&dba, &view_db_task, VDB), "D_CRGET", "LOOKUP_SCOPE");
    if (status == 0) *dbid = dba;
    return status;
}

int ostrela_db_create_lr_scope(const qel_oid_s* oid, uint32_t gn, const char* name) {
    ostrela_db_trans_write_check();
    const char* const object = "CREATE-LR-SCOPE";
    vns_db_lr_scope rec{};
    uint32_t found = 0;
    if (!qel_oid_eq(oid, &QEL_OID_NULL)) {
        int status = ostrela_db_lookup_lr_scope_oid(oid, &found);
        if (status != 0 && status != QEL_ST_NOT_FOUND) return status;
    }
    if (found != 0) {
        // The scope exists (the lookup left it current): it begins again.
        int status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", object);
        if (status != 0) return status;
        rec.gn = gn;
        rec.completed_gn = gn - 1;
        if (gn == 1) rec.state = 0;
        return ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", object);
    }
    rec.oid = *oid;
    rec.gn = gn;
    rec.completed_gn = gn - 1;
    size_t len = name != nullptr ? std::strlen(name) : 0;
    if (name != nullptr) {
        rec.name_hash = ostrela_db_hash_name(name);
        rec.name_len = static_cast<uint32_t>(len);
        std::memcpy(rec.name, name, std::min(len, LR_SCOPE_NAME_ROOM));
    }
    int status = ostrela_db_engine(dt_fillnew(VNS_DB_LR_SCOPE, &rec, &view_db_task, VDB), "D_FILLNEW", object);
    db_address dba = 0;
    if (status == 0) status = ostrela_db_engine(dt_crget(&dba, &view_db_task, VDB), "D_CRGET", object);
    if (status == 0 && len > LR_SCOPE_NAME_ROOM) {
        status = ostrela_db_bytes_create(dba, name + LR_SCOPE_NAME_ROOM, len - LR_SCOPE_NAME_ROOM, &rec.name_chain);
        if (status == 0)
            status = ostrela_db_engine(dt_crwrite(LR_SCOPE_NAME_CHAIN, &rec.name_chain, &view_db_task, VDB),
                                       "D_CRWRITE", object);
    }
    return status;
}

int ostrela_db_create_def_scope() {
    ostrela_db_trans_write_check();
    uint32_t found = 0;
    int status = ostrela_db_lookup_lr_scope_oid(&AUTOMATIC_LOAD_SCOPE_OID, &found);
    if (status == 0) return 0;
    if (status != QEL_ST_NOT_FOUND) return status;
    return ostrela_db_create_lr_scope(&AUTOMATIC_LOAD_SCOPE_OID, 1, "Automatic");
}

// ---- transactions of their own ----------------------------------------------------------

int ostrel_db_create_vns_view(const qel_uuid_s* uuid, unsigned int gn) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_create_vns_view");
    return ostrel_db_in_transaction(1, [&] { return ostrela_db_create_vns_view(uuid, gn); });
}

int ostrel_db_get_vns_view_gn(unsigned int* gn) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_get_vns_view_gn");
    return ostrel_db_in_transaction(0, [&] { return ostrela_db_get_vns_view_gn(gn); });
}

int ostrel_db_set_vns_view_gn(unsigned int gn) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_set_vns_view_gn");
    return ostrel_db_in_transaction(1, [&] { return ostrela_db_set_vns_view_gn(gn); });
}

int ostrel_db_create_def_scope() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_create_def_scope");
    return ostrel_db_in_transaction(1, [] { return ostrela_db_create_def_scope(); });
}
