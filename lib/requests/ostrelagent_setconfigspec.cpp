#include "lib/requests/ostrelagent_setconfigspec.h"

#include "lib/client/rclient_set_configspec.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_configspec.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/requests/ostrelagent_mountvob.h"
#include "lib/requests/ostrelagent_update.h"
#include "platform/utl/fileutl.h"
#include "xml/norvane_xml_elem.h"

namespace {

const char* const kClass = "OstrelAgent_SetConfigSpec";
const char* const TRUE_TEXT = "true";
const char* const DOT_DOT = "..";

constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;

namespace Msg = OstrelAgent_Lib_Msg;
namespace Status = OstrelAgent_Status;

// Whether one of the path's components is "..": a load rule names a place
// inside the view, never one reached by climbing.
bool has_dot_dot(const std::string& path) {
    std::vector<std::string> parts;
    OstrelAgent_Util::tokenize(path, parts, "/");
    for (const std::string& part : parts)
        if (part == DOT_DOT) return true;
    return false;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

} // namespace

OstrelAgent_SetConfigSpec::OstrelAgent_SetConfigSpec(const std::string& request_text,
                                                     NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_SetConfigSpec::OstrelAgent_SetConfigSpec() = default;

OstrelAgent_SetConfigSpec::~OstrelAgent_SetConfigSpec() = default;

void OstrelAgent_SetConfigSpec::parse_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_request");
    NorvaneXmlElem* root = parse_validate_request(1);
    if (root == nullptr) return;
    if (NorvaneXmlElem* elem = root->extract_child(TAG_ELEMENT_RULES)) m_element_rules = elem->get_value();
    if (NorvaneXmlElem* elem = root->extract_child(TAG_TESSEL_ELEMENT_RULES))
        m_tessel_element_rules = elem->get_value();
    if (m_element_rules.empty() && m_tessel_element_rules.empty()) {
        trace.writeTrace(LEVEL_2, "No element rules");
        refuse_malformed();
        return;
    }
    NorvaneXmlElem* load = root->extract_child(TAG_LOAD_RULES);
    if (load == nullptr) return;
    m_force_update = 0;
    const std::string force = load->get_attr(FORCE_UPDATE);
    if (!force.empty()) m_force_update = force == TRUE_TEXT ? 1 : 0;
    m_load_rules = load->get_value();
}

void OstrelAgent_SetConfigSpec::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    if (m_status != 0) return;
    m_status = get_view();
    if (m_status != 0) {
        trace.writeTrace(LEVEL_2, "get_view error");
        return;
    }
    m_status = get_ioctl();
    if (m_status != 0) {
        trace.writeTrace(LEVEL_2, "get_ioctl error");
        return;
    }
    set_config_spec(0);
}

std::string OstrelAgent_SetConfigSpec::get_response() {
    return envelope_reply(OstrelAgent_Tag::SETCONFIGSPEC, m_status);
}

// ---- the rules of the request ----------------------------------------------------------

void OstrelAgent_SetConfigSpec::format_element_rules(std::vector<std::string>& out) const {
    if (OstrelAgent_Util::trim(m_element_rules).empty()) return;
    std::vector<std::string> lines;
    OstrelAgent_Util::tokenize(m_element_rules, lines, LF);
    for (const std::string& line : lines)
        if (!line.empty()) out.push_back(line);
}

std::string OstrelAgent_SetConfigSpec::get_one_scope(const std::string& rule) {
    const size_t at = rule.find(LOADSTR);
    if (at == std::string::npos) return std::string();
    return OstrelAgent_Util::trim(rule.substr(at + std::char_traits<char>::length(LOADSTR)));
}

void OstrelAgent_SetConfigSpec::sanitize_load_rule(std::string& scope) {
    OstrelAgent_Util::globalize_path(scope);
    scope = OstrelAgent_Util::sanitize_path(scope);
}

int OstrelAgent_SetConfigSpec::format_load_rules(const std::string& text, std::vector<std::string>& out,
                                                 std::string& message) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "format_load_rules");
    if (OstrelAgent_Util::trim(text).empty()) return 0;
    std::vector<std::string> lines;
    OstrelAgent_Util::tokenize(text, lines, LF);
    const size_t word = std::char_traits<char>::length(LOADSTR);
    for (const std::string& raw : lines) {
        const std::string line = OstrelAgent_Util::trim(raw);
        if (line.empty()) continue;
        if (line.find(COMMENTSTR) != std::string::npos) {
            message += OstrelAgent_Lib_Msg::text(Msg::LOAD_RULE_COMMENT);
            return Status::LOAD_RULE_COMMENT;
        }
        // Only "load" and a path make a rule; anything else would reach the
        // server as a rule without a path and be dropped here unnoticed.
        std::string scope = get_one_scope(line);
        if (line.compare(0, word, LOADSTR) != 0 || line.size() == word || !is_blank(line[word]) || scope.empty()) {
            trace.writeTrace(LEVEL_2, "Not a load rule: %s", line.c_str());
            message += OstrelAgent_Lib_Msg::text(Msg::PARSE_ERROR, line.c_str());
            return Status::MALFORMED_REQUEST;
        }
        sanitize_load_rule(scope);
        if (has_dot_dot(scope)) {
            message += OstrelAgent_Lib_Msg::text(Msg::LOAD_RULE_DOT_DOT, scope.c_str());
            return Status::LOAD_RULE_OVERLAP;
        }
        for (const std::string& earlier : out) {
            const std::string other = get_one_scope(earlier);
            if (fileutl_pname_equal_or_parent(scope.c_str(), other.c_str()) != 0 ||
                fileutl_pname_equal_or_parent(other.c_str(), scope.c_str()) != 0) {
                message += OstrelAgent_Lib_Msg::text(Msg::LOAD_RULES_NESTED, earlier.c_str(), line.c_str());
                return Status::LOAD_RULE_OVERLAP;
            }
        }
        out.push_back(std::string(LOADSTR) + " " + scope);
    }
    return 0;
}

std::vector<std::string> OstrelAgent_SetConfigSpec::get_scopes(const std::vector<std::string>& rules) {
    std::vector<std::string> scopes;
    for (const std::string& rule : rules) {
        std::string scope = get_one_scope(rule);
        if (!scope.empty()) scopes.push_back(scope);
    }
    return scopes;
}

// ---- the client's request --------------------------------------------------------------

bool OstrelAgent_SetConfigSpec::sort_load_rules(const std::vector<std::string>& new_scopes) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "sort_load_rules");
    std::vector<ostrel_scope> cached;
    const int status = store().get_cached_load_scopes(cached);
    if (status != 0) {
        // Compared with nothing, every rule would be added again under a new
        // id and none dropped: the request fails instead.
        m_status = status;
        m_message += OstrelAgent_Lib_Msg::text(Msg::LOAD_RULES_UNREAD);
        return false;
    }
    trace.writeTrace(LEVEL_4, "# of new load scopes = %d, # of cached load scopes = %d",
                     static_cast<int>(new_scopes.size()), static_cast<int>(cached.size()));
    for (const ostrel_scope& scope : cached) {
        bool kept = false;
        for (const std::string& wanted : new_scopes) kept = kept || wanted == scope.pname;
        if (!kept) {
            trace.writeTrace(LEVEL_4, "Delete %s", scope.pname);
            m_dropped_load_rules.push_back(scope.pname);
        }
    }
    for (const std::string& wanted : new_scopes) {
        bool held = false;
        for (const ostrel_scope& scope : cached) held = held || wanted == scope.pname;
        if (!held) m_added_load_rules.push_back(wanted);
    }
    return true;
}

void OstrelAgent_SetConfigSpec::set_config_spec(int) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "set_config_spec");
    trace.writeTrace(LEVEL_4, "Load rule string = [%s]", m_load_rules.c_str());
    trace.writeTrace(LEVEL_4, "Elem rule string = [%s]", m_element_rules.c_str());
    std::vector<std::string> element_rules;
    std::vector<std::string> load_rules;
    format_element_rules(element_rules);
    m_status = format_load_rules(m_load_rules, load_rules, m_message);
    if (m_status != 0) return;
    m_status = get_view();
    if (m_status != 0) return;
    if (!sort_load_rules(get_scopes(load_rules))) return;

    // A placeholder update holds the slot: no update may work on the scopes
    // while they change.
    OstrelAgent_Update placeholder;
    unsigned int gn = 0;
    if (!OstrelAgent_View_Base::update_start(&placeholder, gn, false)) {
        m_status = Status::UPDATE_IN_PROGRESS;
        m_message = OstrelAgent_Lib_Msg::text(Msg::UPDATE_IN_PROGRESS);
        return;
    }
    send_to_server(element_rules, load_rules);
    // The server may have changed what the view selects whatever it
    // answered: nothing the kernel holds of the view is trusted any more.
    if (get_ioctl() == 0) OstrelAgent_Metadata::view_inval_view(ioctl(), true, true, false);
    if (m_status == 0) {
        if (store().save_elem_rules(m_element_rules) != 0)
            store_failed();
        else
            handle_load_rules();
    }
    OstrelAgent_View_Base::update_end(&placeholder);
}

void OstrelAgent_SetConfigSpec::send_to_server(const std::vector<std::string>& element_rules,
                                               const std::vector<std::string>& load_rules) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "send_to_server");
    Set_ConfigSpec command(m_view->get_view_uuid(), element_rules, load_rules, m_force_update);
    command.run();
    int server_status = 0;
    m_status = command.check_rpc_status(*OstrelAgent_Log::get_instance(m_view->get_storage_path()), m_message,
                                        server_status);
    trace.writeTrace(LEVEL_4, "Returning from wan request %d", m_status);
    if (m_status == 0) m_vob_tags = command.m_vob_tags;
    if (m_force_update == 1 && command.m_view_info_received != 0) {
        trace.writeTrace(LEVEL_4, "New CUO_GN = %d", static_cast<int>(command.m_current_operation_gn));
        OstrelAgent_View_Base::set_current_gn(command.m_current_operation_gn, true);
    }
}

void OstrelAgent_SetConfigSpec::handle_load_rules() {
    // Dropped scopes are only marked: the next update unloads what they
    // hold and then deletes them.
    if (!m_dropped_load_rules.empty() && store().delete_load_rules(m_dropped_load_rules, 1, 0) != 0) {
        store_failed();
        return;
    }
    if (m_added_load_rules.empty()) return;
    if (store().add_load_rules(m_added_load_rules) != 0) {
        store_failed();
        return;
    }
    mount_vobs();
    if (m_status == 0) get_metadata(m_added_load_rules);
}

void OstrelAgent_SetConfigSpec::mount_vobs() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "mount_vobs");
    for (std::string& tag : m_vob_tags) {
        OstrelAgent_Util::globalize_path(tag);
        trace.writeTrace(LEVEL_4, "Attempting to mount %s", tag.c_str());
        OstrelAgent_Mountvob mount(tag, 1);
        mount.process_vob();
        const int status = mount.get_status();
        if (status != 0 && status != Status::ALREADY_IN_MOUNT_STATE) m_status = status;
    }
}

void OstrelAgent_SetConfigSpec::get_metadata(const std::vector<std::string>& pathnames, bool scopes) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "get_metadata");
    for (const std::string& path : pathnames) {
        if (scopes) {
            trace.writeTrace(LEVEL_4, "Get metadata for %s", path.c_str());
        } else {
            trace.writeTrace(LEVEL_4, "Lookup load scope %s", path.c_str());
        }
        OstrelAgent_Metadata walk(path, path, false);
        const int status = walk.run();
        if (status == 0) continue;
        m_status = status;
        m_message += OstrelAgent_Lib_Msg::text(Msg::PATH_LOOKUP_FAILED, path.c_str(), walk.get_message().c_str());
        trace.writeTrace(LEVEL_2, "Message = %s", m_message.c_str());
    }
}

void OstrelAgent_SetConfigSpec::get_metadata(const std::vector<ostrel_scope>& scopes) {
    std::vector<std::string> pathnames;
    for (const ostrel_scope& scope : scopes) pathnames.push_back(scope.pname);
    get_metadata(pathnames, true);
}

// ---- the restore path ------------------------------------------------------------------

void OstrelAgent_SetConfigSpec::restore_config_spec(int) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "restore_config_spec");
    if (trace.shouldTrace(LEVEL_4)) {
        for (const ostrel_scope& scope : m_restore_scopes)
            trace.writeTrace("Load rule = [%s][%s]", scope.pname, OstrelAgent_Util::id_text(scope.scope_oid).c_str());
        trace.writeTrace("Elem rule string = [%s]", m_element_rules.c_str());
    }
    m_status = get_view();
    if (m_status != 0) return;
    if (store().save_elem_rules(m_element_rules) != 0) {
        store_failed();
        return;
    }
    handle_load_scopes();
}

bool OstrelAgent_SetConfigSpec::found_scope_by_pn(const ostrel_scope& scope, const std::vector<ostrel_scope>& scopes,
                                                  ostrel_scope& match) {
    for (const ostrel_scope& candidate : scopes) {
        if (OstrelAgent_Util::paths_equal(candidate.pname, scope.pname)) {
            match = candidate;
            return true;
        }
    }
    return false;
}

void OstrelAgent_SetConfigSpec::handle_load_scopes() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "handle_load_scopes");
    std::vector<ostrel_scope> cached;
    m_status = store().get_cached_load_scopes(cached);
    if (m_status != 0) {
        m_message += OstrelAgent_Lib_Msg::text(Msg::LOAD_RULES_UNREAD);
        return;
    }
    trace.writeTrace(LEVEL_4, "# of frz load scopes = %d, # of cached load scopes = %d",
                     static_cast<int>(m_restore_scopes.size()), static_cast<int>(cached.size()));
    std::vector<ostrel_scope> to_delete;
    std::vector<ostrel_scope> to_add;
    std::vector<ostrel_scope> to_replace;
    for (const ostrel_scope& scope : cached) {
        trace.writeTrace(LEVEL_4, "Looking for %s (%s) in new list", scope.pname,
                         OstrelAgent_Util::id_text(scope.scope_oid).c_str());
        ostrel_scope match;
        if (!found_scope_by_pn(scope, m_restore_scopes, match)) {
            to_delete.push_back(scope);
        } else if (!qel_oid_eq(&match.scope_oid, &scope.scope_oid)) {
            to_replace.push_back(match);
            to_delete.push_back(scope);
        }
    }
    for (const ostrel_scope& scope : m_restore_scopes) {
        trace.writeTrace(LEVEL_4, "Looking for %s (%s) in cached list", scope.pname,
                         OstrelAgent_Util::id_text(scope.scope_oid).c_str());
        ostrel_scope match;
        if (!found_scope_by_pn(scope, cached, match)) to_add.push_back(scope);
    }

    if (store().delete_load_scopes(to_delete, 1) != 0) {
        store_failed();
        return;
    }
    if (!to_add.empty()) {
        if (store().add_load_scopes(to_add) != 0) {
            store_failed();
        } else {
            mount_vobs();
            if (m_status == 0) get_metadata(to_add);
        }
    }
    if (!to_replace.empty() && store().replace_load_scopes(to_replace) != 0) store_failed();
}

// ---- the store -------------------------------------------------------------------------

OstrelAgent_ConfigSpec& OstrelAgent_SetConfigSpec::store() {
    if (!m_store) m_store.reset(new OstrelAgent_ConfigSpec(m_view->get_storage_path()));
    return *m_store;
}

void OstrelAgent_SetConfigSpec::store_failed() {
    // The store appends to its text: each failure brings only what is new.
    const std::string& text = m_store->get_error_text();
    m_status = 1;
    if (m_store_reported < text.size()) m_message += text.substr(m_store_reported);
    m_store_reported = text.size();
}
