#include "lib/core/ostrelagent_view_base.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_View_Base";
constexpr int LEVEL_3 = OstrelAgent_Trace::TRACE_LEVEL_3;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;

} // namespace

// ---------------------------------------------------------------------------
// Class state

std::atomic<OstrelAgent_View_Base*> OstrelAgent_View_Base::g_view{nullptr};
norvanethread_mutex_t OstrelAgent_View_Base::g_update_lock = NORVANETHREAD_MUTEX_INITIALIZER;
norvanethread_cond_t OstrelAgent_View_Base::g_gn_cond = NORVANETHREAD_COND_INITIALIZER;
OstrelAgent_Update* OstrelAgent_View_Base::g_active_update = nullptr;
unsigned int OstrelAgent_View_Base::g_view_gn = 0;
unsigned int OstrelAgent_View_Base::g_gn_before_update = 0;
bool OstrelAgent_View_Base::g_update_running = false;
bool OstrelAgent_View_Base::g_stop_update = false;

char* OstrelAgent_View_Base::g_server_tag = nullptr;
norvanethread_mutex_t OstrelAgent_View_Base::g_server_tag_lock = NORVANETHREAD_MUTEX_INITIALIZER;

// ---------------------------------------------------------------------------
// The installed view

OstrelAgent_View_Base::OstrelAgent_View_Base(const std::string& storage) : m_storage(storage) {}

OstrelAgent_View_Base::~OstrelAgent_View_Base() = default;

OstrelAgent_View_Base* OstrelAgent_View_Base::get_view() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "get_view");
    OstrelAgent_View_Base* view = g_view.load();
    if (trace.shouldTrace(LEVEL_4)) {
        trace.writeTrace(LEVEL_4, "Returning view %p, view tag=%s", static_cast<void*>(view),
                         view != nullptr ? view->get_server_tag().c_str() : "");
    }
    return view;
}

OstrelAgent_View_Base* OstrelAgent_View_Base::exchange_view(OstrelAgent_View_Base* view) {
    return g_view.exchange(view);
}

// ---------------------------------------------------------------------------
// Server tag

void OstrelAgent_View_Base::set_g_server_tag(const std::string& tag) {
    OstrelAgent_Mutex_Guard guard(g_server_tag_lock);
    std::free(g_server_tag);
    g_server_tag = strdup(tag.c_str());
}

void OstrelAgent_View_Base::clear_g_server_tag() {
    OstrelAgent_Mutex_Guard guard(g_server_tag_lock);
    std::free(g_server_tag);
    g_server_tag = nullptr;
}

std::string OstrelAgent_View_Base::get_server_tag() const {
    OstrelAgent_Mutex_Guard guard(g_server_tag_lock);
    return m_server_tag;
}

void OstrelAgent_View_Base::set_server_tag(const std::string& tag) {
    OstrelAgent_Mutex_Guard guard(g_server_tag_lock);
    m_server_tag = tag;
}

std::string OstrelAgent_View_Base::get_g_server_tag() {
    OstrelAgent_Mutex_Guard guard(g_server_tag_lock);
    return g_server_tag != nullptr ? std::string(g_server_tag) : std::string();
}

// ---------------------------------------------------------------------------
// View root and settings

std::string OstrelAgent_View_Base::strip_view_root(const std::string& path) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "strip_view_root");
    std::string root = get_view_root();
    std::string global = path;
    trace.writeTrace(LEVEL_4, "root = %s, path = %s (%s) ", root.c_str(), global.c_str(), path.c_str());
    OstrelAgent_Util::globalize_path(root);
    OstrelAgent_Util::globalize_path(global);
    trace.writeTrace(LEVEL_4, "globalized root = %s, path = %s ", root.c_str(), global.c_str());
    if (root.empty()) return path;
    const bool root_ends_component = root.back() == OstrelAgent_Util::GLOBAL_PNAME_SEP;
    for (size_t at = global.find(root); at != std::string::npos; at = global.find(root, at + 1)) {
        size_t end = at + root.size();
        // "/view/tag" is the root of "/view/tag/a", not of "/view/tag2/a".
        if (end == global.size() || global[end] == OstrelAgent_Util::GLOBAL_PNAME_SEP || root_ends_component) {
            std::string rest = path.substr(end);
            trace.writeTrace(LEVEL_4, "Found view_root, new path = %s", rest.c_str());
            return rest;
        }
    }
    return path;
}

bool OstrelAgent_View_Base::is_view_root(std::string path) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "is_view_root");
    std::string root = get_view_root();
    trace.writeTrace(LEVEL_4, "Root is %s", root.c_str());
    OstrelAgent_Util::globalize_path(root);
    OstrelAgent_Util::globalize_path(path);
    return path == root;
}

std::string OstrelAgent_View_Base::get_view_textmode() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "get_view_textmode");
    trace.writeTrace(LEVEL_4, "Converting %s to native mode", m_text_mode.c_str());
    qel_text_mode_t mode;
    if (qel_str_to_text_mode(m_text_mode.c_str(), &mode) != 0) return std::string();
    trace.writeTrace(LEVEL_4, "Converting back to string");
    const char* text = qel_text_mode_to_str(mode);
    return text != nullptr ? std::string(text) : std::string();
}

// ---------------------------------------------------------------------------
// Update slot and generation number

bool OstrelAgent_View_Base::update_start(OstrelAgent_Update* update, unsigned int& gn, bool wait) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "update_start");
    // A null holder would leave the slot looking free.
    if (update == nullptr) return false;
    OstrelAgent_Mutex_Guard guard(g_update_lock);
    trace.writeTrace(LEVEL_4, "current GN %u", g_view_gn);
    while (g_active_update != nullptr) {
        if (!wait) return false;
        norvanethread_cond_wait(&g_gn_cond, &g_update_lock);
    }
    g_active_update = update;
    g_update_running = false;
    gn = g_view_gn;
    return true;
}

void OstrelAgent_View_Base::update_end(OstrelAgent_Update* update) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "update_end");
    OstrelAgent_Mutex_Guard guard(g_update_lock);
    if (g_active_update == update) g_active_update = nullptr;
    norvanethread_cond_broadcast(&g_gn_cond);
}

void OstrelAgent_View_Base::set_current_gn(unsigned int gn, bool running) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "set_current_gn");
    trace.writeTrace(LEVEL_4, "new GN %u", gn);
    OstrelAgent_Mutex_Guard guard(g_update_lock);
    if (running && !g_update_running) g_gn_before_update = g_view_gn;
    g_view_gn = gn;
    g_update_running = running;
    norvanethread_cond_broadcast(&g_gn_cond);
}

unsigned int OstrelAgent_View_Base::get_current_gn() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "get_current_gn");
    unsigned int gn;
    {
        OstrelAgent_Mutex_Guard guard(g_update_lock);
        gn = g_view_gn;
    }
    trace.writeTrace(LEVEL_4, "current GN %u", gn);
    return gn;
}

unsigned int OstrelAgent_View_Base::get_shown_gn() {
    OstrelAgent_Mutex_Guard guard(g_update_lock);
    // A run from a lower number (a restore starts again at the first) shows
    // its own entries as it makes them.
    if (g_active_update != nullptr && g_update_running) return std::min(g_gn_before_update, g_view_gn);
    return g_view_gn;
}

OstrelAgent_Update* OstrelAgent_View_Base::get_update() {
    OstrelAgent_Mutex_Guard guard(g_update_lock);
    return g_active_update;
}

bool OstrelAgent_View_Base::update_in_progress() {
    OstrelAgent_Mutex_Guard guard(g_update_lock);
    return g_active_update != nullptr;
}

void OstrelAgent_View_Base::abort_update() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "abort_update");
    OstrelAgent_Mutex_Guard guard(g_update_lock);
    g_stop_update = true;
}

bool OstrelAgent_View_Base::should_stop_update() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "should_stop_update");
    if (OstrelAgent_Thread_Manager_Base::get_instance()->should_exit()) {
        trace.writeTrace(LEVEL_3, "thread manager tells us to exit");
        return true;
    }
    bool stop;
    {
        OstrelAgent_Mutex_Guard guard(g_update_lock);
        stop = g_stop_update;
    }
    if (stop) trace.writeTrace(LEVEL_3, "endview tells us to exit");
    return stop;
}

void OstrelAgent_View_Base::wait_for_running_update() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "wait_for_running_update");
    OstrelAgent_Mutex_Guard guard(g_update_lock);
    while (g_active_update != nullptr && !g_update_running) norvanethread_cond_wait(&g_gn_cond, &g_update_lock);
}

void OstrelAgent_View_Base::wait_for_finished_update() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "wait_for_finished_update");
    OstrelAgent_Mutex_Guard guard(g_update_lock);
    while (g_active_update != nullptr) norvanethread_cond_wait(&g_gn_cond, &g_update_lock);
}
