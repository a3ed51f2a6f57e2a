#include "lib/fetch/ostrelagent_configspec.h"

#include <fstream>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ostreladb/ostrel_db.h"
#include "platform/utl/fileutl.h"

namespace {

const char* const kClass = "OstrelAgent_ConfigSpec";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;

// The kernel's operation code for an object whose name changed under a
// removed load rule.
const vob_op_t INVAL_OP = 13;

} // namespace

OstrelAgent_ConfigSpec::OstrelAgent_ConfigSpec(const std::string& storage) : m_storage(storage) {}

OstrelAgent_ConfigSpec::~OstrelAgent_ConfigSpec() = default;

void OstrelAgent_ConfigSpec::append_message(int index, const char* argument) {
    m_error_text += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, index, argument);
}

int OstrelAgent_ConfigSpec::get_rules(const std::string& file_name, std::string& rules) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "get_rules");
    const std::string path = path_of(file_name);
    if (!fileutl_exists(path.c_str(), 1)) return OstrelAgent_Status::NOT_FOUND;
    std::ifstream in(path, std::ios::in | std::ios::binary);
    int lines = 0;
    std::string line;
    while (in.good() && std::getline(in, line)) {
        OstrelAgent_Util::trim_in_place(line);
        if (line.empty()) continue;
        if (lines != 0) rules += CRLF;
        rules += line;
        ++lines;
    }
    const bool bad = in.bad();
    in.close();
    if (lines == 0) return OstrelAgent_Status::NOT_FOUND;
    return bad ? OstrelAgent_Status::GENERAL_FAILURE : 0;
}

int OstrelAgent_ConfigSpec::save_rules(const std::string& file_name, const std::string& rules) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "save_rules");
    const std::string path = path_of(file_name);
    // Replaced whole: a reader, or a crash, never meets half a file.
    const int error = OstrelAgent_Util::write_whole_file(m_storage, path, rules + "\n", ".config_spec.");
    if (error != 0) {
        trace.writeTrace(LEVEL_2, "Could not open file : %s (%d)", path.c_str(), error);
        m_error_text = OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::RULES_NOT_CACHED);
        return OstrelAgent_Status::STORAGE_WRITE_FAILED;
    }
    return 0;
}

int OstrelAgent_ConfigSpec::get_cached_load_scopes(std::vector<ostrel_scope>& scopes) {
    return OstrelAgent_View_db::get_scopes(OstrelAgent_View_db::LR_SCOPES, scopes);
}

int OstrelAgent_ConfigSpec::add_load_scopes(const std::vector<ostrel_scope>& scopes) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "add_load_scopes");
    for (const ostrel_scope& scope : scopes) {
        const int status = OstrelAgent_View_db::add_lr_scope(scope);
        if (status != 0) {
            append_message(OstrelAgent_Lib_Msg::LOAD_RULE_NOT_ADDED, scope.pname);
            return status;
        }
    }
    return 0;
}

int OstrelAgent_ConfigSpec::add_load_rules(const std::vector<std::string>& rules) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "add_load_rules");
    for (const std::string& rule : rules) {
        const int status = OstrelAgent_View_db::add_lr_scope(rule.c_str());
        if (status != 0) {
            append_message(OstrelAgent_Lib_Msg::LOAD_RULE_NOT_ADDED, rule.c_str());
            return status;
        }
    }
    return 0;
}

int OstrelAgent_ConfigSpec::delete_load_scopes(const std::vector<ostrel_scope>& scopes, int invalidate) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "delete_load_scopes");
    for (const ostrel_scope& scope : scopes) {
        const int status = delete_one_load_scope(scope, invalidate, nullptr, nullptr);
        if (status != 0) {
            append_message(OstrelAgent_Lib_Msg::LOAD_RULE_NOT_REMOVED, scope.pname);
            return status;
        }
    }
    return 0;
}

int OstrelAgent_ConfigSpec::replace_load_scopes(const std::vector<ostrel_scope>& scopes) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "replace_load_scopes");
    // A scope whose id the database does not hold (the server gave the load
    // rule a new id) has nothing to delete: deleting it would fail and the
    // load rule would be lost.
    std::vector<ostrel_scope> held;
    for (const ostrel_scope& scope : scopes) {
        unsigned int gn = 0;
        if (ostrel_db_get_lr_scope_gn(&scope.scope_oid, &gn) == 0) held.push_back(scope);
    }
    const int status = delete_load_scopes(held, 1);
    return status != 0 ? status : add_load_scopes(scopes);
}

int OstrelAgent_ConfigSpec::delete_one_load_scope(const ostrel_scope& scope, int invalidate, const qel_oid_s* obj_oid,
                                                  const qel_uuid_s* replica_uuid) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "delete_one_load_scope");
    qel_oid_s oid = obj_oid != nullptr ? *obj_oid : QEL_OID_NULL;
    qel_uuid_s replica = replica_uuid != nullptr ? *replica_uuid : QEL_UUID_NULL;
    if (invalidate != 0 && (obj_oid == nullptr || replica_uuid == nullptr)) {
        OstrelAgent_Metadata walk(scope.pname, scope.pname, false);
        const int status = walk.run();
        if (status != 0) {
            trace.writeTrace(LEVEL_2, "Metadata failed with status %d", status);
            return status;
        }
        ostrel_vstat root;
        walk.get_ostrel_vstat(&root);
        oid = root.vstat.obj_oid;
        replica = walk.get_vob_uuid();
    }
    int status = OstrelAgent_View_db::delete_lr_scope(scope.scope_oid);
    if (status != 0) {
        trace.writeTrace(LEVEL_2, "delete_lr_scope failed with status %d", status);
        return status;
    }
    if (invalidate == 0) return 0;

    trace.writeTrace(LEVEL_4, "Flushing load rule %s", scope.pname);
    trace.writeTrace(LEVEL_4, "Invalidating replica uuid %s, obj oid %s", OstrelAgent_Util::id_text(replica).c_str(),
                     OstrelAgent_Util::id_text(oid).c_str());
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    if (view == nullptr) return OstrelAgent_Status::NO_VIEW;
    OstrelAgent_KORVA_Ioctl ioctl(view);
    status = OstrelAgent_Metadata::view_inval_obj(&ioctl, replica, oid, INVAL_OP, true, true, false);
    if (status != 0) {
        trace.writeTrace(LEVEL_2, "Error invalidating removed load rule %s", scope.pname);
        return OstrelAgent_Util::qel_to_ostrel_status(status);
    }
    return 0;
}

int OstrelAgent_ConfigSpec::delete_load_rules(const std::vector<std::string>& rules, int mark_only, int invalidate) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "delete_load_rules");
    for (const std::string& rule : rules) {
        trace.writeTrace(LEVEL_4, "Removing load rule %s", rule.c_str());
        ostrel_scope scope;
        const int found = ostrel_db_get_scope_by_name(rule.c_str(), &scope);
        if (found != 0) {
            trace.writeTrace(LEVEL_4, "deleted LR scope %s not in local DB: %s\n", rule.c_str(), qel_strerror(found));
            continue;
        }
        const int status = mark_only == 0 ? delete_one_load_scope(scope, invalidate, nullptr, nullptr)
                                          : OstrelAgent_Util::qel_to_ostrel_status(
                                                ostrel_db_mark_lr_scope_for_delete(&scope.scope_oid));
        if (status != 0) {
            append_message(OstrelAgent_Lib_Msg::LOAD_RULE_NOT_REMOVED, rule.c_str());
            return status;
        }
    }
    return 0;
}
