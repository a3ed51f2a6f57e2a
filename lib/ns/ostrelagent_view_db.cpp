#include "lib/ns/ostrelagent_view_db.h"

#include <unistd.h>

#include <cstring>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/ns/ostrelagent_view_db_root_dir.h"
#include "lib/ns/ostrelagent_view_db_symlink.h"
#include "lib/ns/ostrelagent_view_db_version.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_View_db";

using Trace = OstrelAgent_Trace;

// The dbid that stands for a VOB's root directory.
constexpr unsigned VOB_ROOT_DBID = 1;

struct UuidText {
    explicit UuidText(const qel_uuid_s& uuid) { qel_uuid_to_str(&uuid, text); }
    char text[QEL_UUID_STR_SIZE];
};

struct OidText {
    explicit OidText(const qel_oid_s& oid) { qel_oid_to_str(&oid, text); }
    char text[QEL_OID_STR_SIZE];
};

int mapped(int status) { return OstrelAgent_Util::qel_to_ostrel_status(status); }

} // namespace

OstrelAgent_View_db::OstrelAgent_View_db(const std::string& storage, const std::string& view_uuid)
    : m_storage(storage), m_view_uuid(view_uuid) {}

OstrelAgent_View_db::~OstrelAgent_View_db() = default;

int OstrelAgent_View_db::start_db() {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "start_db");
    if (chdir(m_storage.c_str()) != 0) return OstrelAgent_Status::GENERAL_FAILURE;
    view_home = m_storage;
    if (ostrel_storage_init() != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Fails to init db storage.");
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    int new_db = 0;
    if (ostrel_db_init(&new_db) != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "fails to init database.");
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    if (ostrel_db_create_def_scope() != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "fails to create default lr scope.");
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    m_open = 1;
    return 0;
}

int OstrelAgent_View_db::close_db() {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "close_db");
    if (ostrel_db_close() == 0) m_open = 0;
    return 0;
}

int OstrelAgent_View_db::reset_db() {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "reset_db");
    if (ostrel_db_reset() == 0) return 0;
    m_open = 0;
    return OstrelAgent_Status::GENERAL_FAILURE;
}

int OstrelAgent_View_db::view_gn(unsigned& gn) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "view_gn");
    return ostrel_db_get_vns_view_gn(&gn);
}

int OstrelAgent_View_db::delete_lr_scope(const qel_oid_s& oid) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "delete_lr_scope");
    return mapped(ostrel_db_delete_lr_scope(&oid));
}

int OstrelAgent_View_db::add_lr_scope(const ostrel_scope& scope) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "add_lr_scope");
    return mapped(ostrel_db_create_lr_scope(&scope.scope_oid, 0, scope.pname));
}

int OstrelAgent_View_db::add_lr_scope(const char* pname) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "add_lr_scope");
    qel_uuid_s uuid;
    qel_uuid_gen(&uuid);
    qel_oid_s oid;
    static_assert(sizeof oid.bytes == sizeof uuid.bytes, "a uuid is an oid's size");
    std::memcpy(oid.bytes, uuid.bytes, sizeof oid.bytes);
    return mapped(ostrel_db_create_lr_scope(&oid, 0, pname));
}

int OstrelAgent_View_db::get_scopes(ScopeListType which, std::vector<ostrel_scope>& out) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_scopes");
    switch (which) {
    case ALL_LR_SCOPES: return mapped(ostrel_db_get_lr_scopes(1, out));
    case LR_SCOPES: return mapped(ostrel_db_get_lr_scopes(0, out));
    case DEFAULT_SCOPE: {
        ostrel_scope def{};
        def.scope_oid = AUTOMATIC_LOAD_SCOPE_OID;
        std::strcpy(def.pname, "Automatic");
        int status = ostrel_db_get_def_scope_gn(&def.gn);
        if (status == 0) out.push_back(def);
        return mapped(status);
    }
    case LR_SCOPES_FOR_DELETE: return mapped(ostrel_db_get_lrs_for_delete(out));
    }
    trace.writeTrace(Trace::TRACE_LEVEL_2, "invalid list type %d", static_cast<int>(which));
    return OstrelAgent_Status::INTERNAL_ERROR;
}

bool OstrelAgent_View_db::elem_dbid_to_oid(unsigned dbid, const qel_uuid_s& vob, qel_oid_s& oid) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "elem_dbid_to_oid");
    unsigned vob_dbid = 0;
    if (ostrel_db_vob_lookup(&vob, &vob_dbid) != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "can't resolve vob.");
        return false;
    }
    if (ostrel_db_elem_get_info(vob_dbid, dbid, &oid, nullptr, nullptr, nullptr, nullptr) != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "can't get element info.");
        return false;
    }
    return true;
}

bool OstrelAgent_View_db::obj_dbid_to_oid(unsigned dbid, const qel_uuid_s& vob, qel_oid_s& oid) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "obj_dbid_to_oid");
    if (dbid == VOB_ROOT_DBID) {
        OstrelAgent_View_db_root_dir root(vob);
        int status = root.get_root_dir(dbid);
        if (status != 0 && status != QEL_ST_STALE_GENERATION) {
            trace.writeTrace(Trace::TRACE_LEVEL_2, "error getting VOB root dir for %s: %s", UuidText(vob).text,
                             qel_strerror(status));
            return false;
        }
    }
    unsigned vob_dbid = 0;
    int status = ostrel_db_vob_lookup(&vob, &vob_dbid);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "error getting VOB object dbid for oid %s: %s", UuidText(vob).text,
                         qel_strerror(status));
        return false;
    }
    vob_mtype_t mtype = 0;
    if ((status = ostrel_db_obj_get_mtype(vob_dbid, dbid, &mtype)) != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "error getting type of vob %s dbid %d %s", UuidText(vob).text,
                         static_cast<int>(dbid), qel_strerror(status));
        return false;
    }
    switch (mtype) {
    case 2: case 5: return elem_dbid_to_oid(dbid, vob, oid);
    case 3: case 6: case 8:
        return ostrel_db_ver_get_info(vob_dbid, dbid, 0, &oid, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr) == 0;
    case 7: return ostrel_db_slink_get_info(vob_dbid, dbid, 0, &oid, nullptr, nullptr, nullptr, nullptr) == 0;
    default:
        trace.writeTrace(Trace::TRACE_LEVEL_2, "unexpected mtype %d, getting type of %s", static_cast<int>(mtype),
                         UuidText(vob).text);
        return false;
    }
}

bool OstrelAgent_View_db::obj_oid_to_dbid_mtype(const qel_oid_s& oid, const qel_uuid_s& vob, unsigned& dbid,
                                                vob_mtype_t& mtype) {
    dbid = 0;
    mtype = 0;
    if (qel_oid_eq(&oid, &QEL_OID_NULL)) return true;
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "obj_oid_to_dbid_mtype");
    unsigned vob_dbid = 0;
    int status = ostrel_db_vob_lookup(&vob, &vob_dbid);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "unknown VOB uuid %s: %s", UuidText(vob).text, qel_strerror(status));
        return false;
    }
    if ((status = ostrel_db_obj_lookup(vob_dbid, &oid, &dbid, &mtype)) != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "unknown object OID %s: %s", OidText(oid).text, qel_strerror(status));
        dbid = 0;
        return false;
    }
    return true;
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

int OstrelAgent_View_db::add_db_entry(const qel_uuid_s& vob, vob_mtype_t mtype, const char* name, unsigned parent,
                                      const qel_oid_s& scope, unsigned gn, int readdir_state, bool inval_parent,
                                      ostrel_vstat& obj, view_vstat& elem, unsigned& dbid, unsigned& elem_dbid,
                                      qel_oid_s* scope_out) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "add_db_entry");
    if (trace.shouldTrace(Trace::TRACE_LEVEL_4)) {
        trace.writeTrace("creating %d:'%s' mtype=%d co=%d gn=%u scope=%s", static_cast<int>(parent), name,
                         static_cast<int>(mtype), static_cast<int>(obj.checked_out), gn, OidText(scope).text);
    }
    switch (mtype) {
    case 3: case 6: case 8: {
        OstrelAgent_View_db_version version(0, vob);
        qel_oid_s other_scope{};
        int status = version.create(parent, scope, gn, readdir_state, inval_parent, obj, elem, name, dbid, elem_dbid,
                                    other_scope);
        if (scope_out != nullptr) *scope_out = other_scope;
        return status;
    }
    case 7: {
        OstrelAgent_View_db_symlink link(0, vob);
        int status = link.create(parent, scope, gn, obj, name, inval_parent, dbid);
        elem_dbid = dbid;
        elem = obj.vstat;
        return status;
    }
    default:
        trace.writeTrace(Trace::TRACE_LEVEL_1, "Unexpected mtype %d for name %s oid %s\n", static_cast<int>(mtype),
                         name, OidText(obj.vstat.elem_oid).text);
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
}
