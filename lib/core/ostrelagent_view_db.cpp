#include "lib/core/ostrelagent_view_db.h"

#include <unistd.h>

#include <cstring>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_View_db";
}

OstrelAgent_View_db::OstrelAgent_View_db(const std::string& storage, const std::string& view_uuid)
    : m_storage(storage), m_view_uuid(view_uuid) {}

OstrelAgent_View_db::~OstrelAgent_View_db() = default;

int OstrelAgent_View_db::start_db() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, CLASS_NAME, "start_db");
    if (chdir(m_storage.c_str()) != 0) return OstrelAgent_Status::GENERAL_FAILURE;
    view_home = m_storage;
    if (ostrel_storage_init() != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Fails to init db storage.");
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    int new_db = 0;
    if (ostrel_db_init(&new_db) != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "fails to init database.");
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    if (ostrel_db_create_def_scope() != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "fails to create default lr scope.");
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    m_open = 1;
    return 0;
}

int OstrelAgent_View_db::close_db() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, CLASS_NAME, "close_db");
    if (ostrel_db_close() == 0) m_open = 0;
    return 0;
}

bool OstrelAgent_View_db::obj_oid_to_dbid_mtype(const qel_oid_s& oid, const qel_uuid_s& vob, unsigned& dbid,
                                                vob_mtype_t& mtype) {
    dbid = 0;
    mtype = 0;
    if (qel_oid_eq(&oid, &QEL_OID_NULL)) return true;
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "obj_oid_to_dbid_mtype");
    if (OstrelAgent_Metadata::scripted_oid_to_dbid(vob, oid, dbid, mtype)) return true;
    char text[QEL_OID_STR_SIZE];
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "unknown object OID %s", qel_oid_to_str(&oid, text));
    dbid = 0;
    return false;
}

bool OstrelAgent_View_db::obj_oid_to_dbid(const qel_oid_s& oid, const qel_uuid_s& vob, unsigned& dbid) {
    vob_mtype_t mtype = 0;
    return obj_oid_to_dbid_mtype(oid, vob, dbid, mtype);
}

bool OstrelAgent_View_db::elem_oid_to_dbid(const qel_oid_s& oid, const qel_uuid_s& vob, unsigned& dbid) {
    vob_mtype_t mtype = 0;
    if (!obj_oid_to_dbid_mtype(oid, vob, dbid, mtype)) return false;
    return dbid == 0 || mtype == 2 || mtype == 5;
}

int OstrelAgent_View_db::get_scopes(int type, std::vector<ostrel_scope>& scopes) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "get_scopes");
    int status = 0;
    switch (type) {
    case ALL_LR_SCOPES:
        status = ostrel_db_get_lr_scopes(1, scopes);
        break;
    case ACTIVE_LR_SCOPES:
        status = ostrel_db_get_lr_scopes(0, scopes);
        break;
    case DEFAULT_SCOPE: {
        ostrel_scope scope;
        std::memset(&scope, 0, sizeof scope);
        scope.scope_oid = AUTOMATIC_LOAD_SCOPE_OID;
        std::strcpy(scope.pname, "Automatic");
        status = ostrel_db_get_def_scope_gn(&scope.gn);
        if (status == 0) scopes.push_back(scope);
        break;
    }
    case REMOVED_LR_SCOPES:
        status = ostrel_db_get_lrs_for_delete(scopes);
        break;
    default:
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "invalid list type %d", type);
        return OstrelAgent_Status::INTERNAL_ERROR;
    }
    return OstrelAgent_Util::qel_to_ostrel_status(status);
}

int OstrelAgent_View_db::add_lr_scope(const ostrel_scope& scope) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "add_lr_scope");
    return OstrelAgent_Util::qel_to_ostrel_status(ostrel_db_create_lr_scope(&scope.scope_oid, 0, scope.pname));
}

int OstrelAgent_View_db::add_lr_scope(const char* pathname) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "add_lr_scope");
    qel_uuid_s uuid;
    qel_uuid_gen(&uuid);
    qel_oid_s oid;
    std::memcpy(oid.bytes, uuid.bytes, sizeof oid.bytes);
    return OstrelAgent_Util::qel_to_ostrel_status(ostrel_db_create_lr_scope(&oid, 0, pathname));
}

int OstrelAgent_View_db::delete_lr_scope(const qel_oid_s* scope_oid) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "delete_lr_scope");
    return OstrelAgent_Util::qel_to_ostrel_status(ostrel_db_delete_lr_scope(scope_oid));
}
