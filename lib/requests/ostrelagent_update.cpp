#include "lib/requests/ostrelagent_update.h"

#include <new>

#include "lib/client/rclient_view_update.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_log_update.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_cltxt_plus_db_listener.h"
#include "lib/fetch/ostrelagent_surgical_listener.h"
#include "lib/fetch/ostrelagent_update_applier.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/requests/ostrelagent_async_update.h"
#include "xml/norvane_xml_doc.h"
#include "xml/norvane_xml_elem.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_Update";
namespace S = OstrelAgent_Status;
namespace M = OstrelAgent_Lib_Msg;
using Util = OstrelAgent_Util;
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;

class Trace : public OstrelAgent_Trace {
public:
    explicit Trace(const char* method) : OstrelAgent_Trace(OSTRELAGENT, CLASS_NAME, method) {}
};

using OstrelAgent_Lib_Msg::text;

// A flag attribute: "true" sets it, another non-empty text clears it, an
// absent or empty one leaves it.
void read_flag(const NorvaneXmlElem& flags, const char* name, int& field) {
    const std::string value = flags.get_attr(name);
    if (!value.empty()) field = value == OstrelAgent_Update::TRUE_TEXT ? 1 : 0;
}

// A failed remote update's status: the server's own says more than "the
// server failed"; a failure without one stays a failure.
int server_status_of(int checked, int server_status) {
    return checked == S::RPC_SERVER_FAILURE && server_status != 0 ? server_status : checked;
}

} // namespace


OstrelAgent_Update::OstrelAgent_Update(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_Update::OstrelAgent_Update() : m_surgical(1) {}

OstrelAgent_Update::~OstrelAgent_Update() = default;

int OstrelAgent_Update::get_bg_status() {
    OstrelAgent_Mutex_Guard guard(g_blocking_lock);
    return m_bg_status;
}

// ---- the request -----------------------------------------------------------------------------

void OstrelAgent_Update::parse_request() {
    Trace trace("parse_request");
    NorvaneXmlElem* root = parse_validate_request(1);
    if (root == nullptr) return;
    NorvaneXmlElem* flags = root->extract_child(TAG_UPDATE_FLAGS);
    if (flags == nullptr) {
        trace.writeTrace(LEVEL_4, "No update flags");
        return;
    }
    if (!parse_treatment_flags(*flags)) return;
    read_flag(*flags, ATTR_FORCE, m_force);
    read_flag(*flags, ATTR_RESUME, m_resume);
    m_update_ondemand_scopes = 1;
    trace.writeTrace(LEVEL_4, "Surgical update string = %s", flags->get_attr(ATTR_SURGICAL).c_str());
    read_flag(*flags, ATTR_SURGICAL, m_surgical);
    if (m_surgical == 0) return;
    trace.writeTrace(LEVEL_4, "Surgical update");
    NorvaneXmlElem* paths = root->extract_child(TAG_UPDATE_PATHS);
    if (paths == nullptr) {
        trace.writeTrace(LEVEL_2, "No update paths");
        m_status = S::MALFORMED_REQUEST;
        return;
    }
    trace.writeTrace(LEVEL_4, "Number paths = %d", static_cast<int>(paths->get_children().size()));
    for (const NorvaneXmlElem* child : paths->get_children()) {
        const std::string path = child->get_value();
        trace.writeTrace(LEVEL_4, "Path = %s", path.c_str());
        if (!path.empty()) m_paths.push_back(path);
    }
}

bool OstrelAgent_Update::parse_treatment_flags(const NorvaneXmlElem& flags) {
    Trace trace("parse_treatment_flags");
    const std::string treatment = flags.get_attr(ATTR_HIJACK_TREATMENT);
    if (!treatment.empty() && !Util::parse_hijack_treatment(treatment, m_hijack_treatment)) {
        trace.writeTrace(LEVEL_2, "Illegal hijack treatment flag: %s", treatment.c_str());
        refuse_malformed();
        return false;
    }
    read_flag(flags, ATTR_PTIME, m_preserve_times);
    return true;
}

void OstrelAgent_Update::process_request() {
    Trace trace("process_request");
    parse_request();
    if (m_status != 0) return;
    if (OstrelAgent_Server::g_online == 0) {
        m_message += text(M::DISCONNECTED);
        m_status = S::DISCONNECTED;
        return;
    }
    if (m_surgical != 0) {
        do_surgical_update();
        return;
    }
    if (OstrelAgent_View_Base::should_stop_update()) {
        m_status = S::UPDATE_REFUSED_SHUTDOWN;
        m_message = text(M::SHUTTING_DOWN);
        return;
    }
    unsigned int gn = 0;
    if (!queue_view_update(gn)) {
        if (m_status == 0) {
            m_status = S::UPDATE_IN_PROGRESS;
            m_message = text(M::UPDATE_IN_PROGRESS);
        }
        return;
    }
    OstrelAgent_View_Base::wait_for_running_update();
    m_status = get_ioctl();
    if (m_status == 0) ioctl()->view_inval_view();
}

bool OstrelAgent_Update::queue_view_update(unsigned int& gn) {
    Trace trace("queue_view_update");
    init_log();
    if (m_status != 0) return false;
    OstrelAgent_Update* copy = new OstrelAgent_Update();
    copy->set_supported_version(m_supported_version);
    copy->m_path = m_path;
    copy->m_hijack_treatment = m_hijack_treatment;
    copy->m_preserve_times = m_preserve_times;
    copy->m_resume = m_resume;
    copy->m_force = m_force;
    copy->m_update_ondemand_scopes = m_update_ondemand_scopes;
    copy->m_spare_text = m_spare_text;
    copy->m_surgical = m_surgical;
    copy->m_paths = m_paths;
    copy->m_scope = m_scope;
    copy->m_bg_status = get_bg_status();
    // Both log objects append to one file.
    if (m_log) copy->m_log.reset(new OstrelAgent_Log_Update(*m_log));
    OstrelAgent_Async_Update* thread = new OstrelAgent_Async_Update(copy);
    OstrelAgent_Thread_Manager_Base* manager = OstrelAgent_Thread_Manager_Base::get_instance();
    if (!OstrelAgent_View_Base::update_start(copy, gn, false)) {
        delete thread;
        return false;
    }
    // The slot now belongs to the copy; should the thread not start, its
    // object's deletion frees the slot.
    manager->start_op(thread);
    return true;
}

void OstrelAgent_Update::init_log() {
    m_status = get_view();
    if (m_status != 0) return;
    try {
        m_log.reset(new OstrelAgent_Log_Update(m_view->get_storage_path()));
    } catch (const std::bad_alloc&) {
        m_status = S::UPDATE_LOG_FAILED;
    }
}

void OstrelAgent_Update::bg_error(int status, const std::string& message) {
    Trace trace("bg_error");
    {
        OstrelAgent_Mutex_Guard guard(g_blocking_lock);
        m_bg_status = status;
    }
    if (m_log) m_log->log_error(message);
}

std::string OstrelAgent_Update::get_response() {
    Trace trace("get_response");
    return reply_with_log(OstrelAgent_Tag::UPDATE);
}

std::string OstrelAgent_Update::reply_with_log(const std::string& tag) {
    Trace trace("reply_with_log");
    NorvaneXmlDoc doc;
    trace.writeTrace(LEVEL_4, "Calling create_root_elem");
    const int created = start_reply(doc, tag, m_status);
    trace.writeTrace(LEVEL_4, "Status from create_root_elem = %d", created);
    if (created != 0) return std::string();
    doc.add_elem(TAG_LOG_FILE, m_log ? m_log->log_path() : std::string());
    std::string reply = finish_reply(doc);
    trace.writeTrace(LEVEL_4, "Returning response [%s]", reply.c_str());
    return reply;
}

// ---- the run ---------------------------------------------------------------------------------

void OstrelAgent_Update::do_view_update(bool from_restore) {
    Trace trace("do_view_update");
    m_status = get_view();
    if (m_status != 0) return;
    if (!from_restore) log_start_update();

    trace.writeTrace(LEVEL_4, "Getting cached scopes");
    std::vector<ostrel_scope> scopes;
    m_status = OstrelAgent_View_db::get_scopes(OstrelAgent_View_db::ALL_LR_SCOPES, scopes);
    if (m_status != 0) m_message += text(M::SCOPES_UNREAD);
    trace.writeTrace(LEVEL_4, "Number of scopes %d", static_cast<int>(scopes.size()));
    unsigned int view_gn = 0;
    if (m_status == 0) {
        m_status = OstrelAgent_View_db::view_gn(view_gn);
        if (m_status != 0) m_message += text(M::VIEW_DB_ACCESS_FAILED);
        trace.writeTrace(LEVEL_4, "view_gn (status = %d) = %u", m_status, view_gn);
    }

    {
        OstrelAgent_Mutex_Guard guard(g_blocking_lock);
        g_rpc_complete = 0;
    }
    OstrelAgent_Cltxt_Plus_DB_Listener listener(m_log.get(), m_hijack_treatment, m_view, this);
    if (!listener.prepare_operation()) {
        m_status = listener.get_status();
        m_message += listener.get_message();
    }

    if (m_status == 0) {
        trace.writeTrace(LEVEL_4,
                         "Calling update with view gen# = %u, force = %d, upd_auto = %d, resume = %d, # scopes = %d",
                         view_gn, m_force, m_update_ondemand_scopes, m_resume, static_cast<int>(scopes.size()));
        int server_status = 0;
        {
            // The stream is applied on a thread of its own, in batches that
            // may span many pieces of the reply.
            OstrelAgent_Update_Applier applier(listener);
            View_Update command(m_view->get_view_uuid(), view_gn, m_force, m_update_ondemand_scopes, m_resume, scopes,
                                &applier);
            trace.writeTrace(LEVEL_4, "Calling View_Update.run");
            command.run();
            // Also after a failed transfer, all it handed over is applied.
            applier.finish();
            const int checked = command.check_rpc_status(*OstrelAgent_Log::get_instance(m_view->get_storage_path()),
                                                         m_message, server_status);
            trace.writeTrace(LEVEL_4, "Status from view update rpc = %d (%d)", checked, server_status);
            if (checked != 0) m_status = server_status_of(checked, server_status);
        }
        if (m_status == 0) {
            m_status = listener.get_status();
            m_message += listener.get_message();
        }
    }

    trace.writeTrace(LEVEL_4, "Status = %d, msg = [%s]", m_status, m_message.c_str());
    if (!from_restore) end_view_update();
}

void OstrelAgent_Update::end_view_update() {
    Trace trace("end_view_update");
    wait_for_background_fetches();
    log_end_update();
    OstrelAgent_View_Base::update_end(this);
}

void OstrelAgent_Update::wait_for_background_fetches() {
    Trace trace("wait_for_background_fetches");
    OstrelAgent_Mutex_Guard guard(g_blocking_lock);
    g_rpc_complete = 1;
    while (g_blocking > 0) {
        trace.writeTrace(LEVEL_4, "Waiting for blocking requests to complete (current = %d)", g_blocking);
        norvanethread_cond_wait(&g_update_done, &g_blocking_lock);
    }
}

void OstrelAgent_Update::take_background_status() {
    Trace trace("take_background_status");
    if (m_status != 0) return;
    const int background = get_bg_status();
    if (background == 0) return;
    trace.writeTrace(LEVEL_4, "Promoting background status %d", background);
    m_status = background;
}

void OstrelAgent_Update::log_start_update() {
    if (!m_log) return;
    OstrelAgent_Log_Update::Update_Options options;
    options.preserve_vob_times = m_preserve_times == 1;
    options.hijack_treatment = m_hijack_treatment;
    options.force_all_load_rules = m_force == 1;
    options.resume = m_resume == 1;
    options.on_demand_scope = m_update_ondemand_scopes == 1;
    m_log->write_log(OSTRELAGENT_LOG_INFO, m_log->update_head(options));
}

void OstrelAgent_Update::log_end_update() {
    Trace trace("log_end_update");
    take_background_status();
    if (m_log) m_log->write_log(OSTRELAGENT_LOG_INFO, OstrelAgent_Log_Update::update_tail(m_status, m_message,
                                                                                        m_cancelled == 1));
}

// The run of a surgical update: the chosen paths, applied on the caller's
// thread. It waits for a running update to end rather than refusing.
void OstrelAgent_Update::do_surgical_update() {
    Trace trace("do_surgical_update");
    m_status = get_view();
    if (m_status != 0) return;
    unsigned int slot_gn = 0;
    OstrelAgent_View_Base::update_start(this, slot_gn, true);
    unsigned int view_gn = 0;
    m_status = OstrelAgent_View_db::view_gn(view_gn);
    if (m_status != 0) {
        m_message += text(M::VIEW_DB_ACCESS_FAILED);
    } else {
        OstrelAgent_Surgical_Listener listener(m_view, this, m_scope);
        int server_status = 0;
        int checked = 0;
        {
            View_Update command(m_view->get_view_uuid(), view_gn, m_paths, &listener);
            trace.writeTrace(LEVEL_4, "Calling View_Update.run");
            command.run();
            checked = command.check_rpc_status(*OstrelAgent_Log::get_instance(m_view->get_storage_path()), m_message,
                                               server_status);
        }
        trace.writeTrace(LEVEL_4, "Status from view update rpc = %d (%d)", checked, server_status);
        if (checked != 0) {
            m_status = server_status_of(checked, server_status);
        } else {
            // Objects the server sent but the view could not take fail the
            // request, as they fail a full run.
            m_status = listener.get_status();
            m_message += listener.get_message();
        }
    }
    end_view_update();
}
