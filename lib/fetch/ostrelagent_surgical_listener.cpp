#include "lib/fetch/ostrelagent_surgical_listener.h"

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/fetch/ostrelagent_cltxt_plus_db_listener.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/fetch/ostrelagent_update_cltxt_listener.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ostreladb/ostrel_db.h"
#include "platform/utl/fileutl.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_Surgical_Listener";
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

} // namespace

OstrelAgent_Surgical_Listener::OstrelAgent_Surgical_Listener(OstrelAgent_View_Base* view, OstrelAgent_Fetch_Owner* update,
                                                             const ostrel_scope& scope)
    : m_view(view), m_update(update), m_scope(scope), m_ioctl(new OstrelAgent_KORVA_Ioctl(view)) {}

OstrelAgent_Surgical_Listener::~OstrelAgent_Surgical_Listener() = default;

bool OstrelAgent_Surgical_Listener::begin_operation(unsigned int) { return true; }

bool OstrelAgent_Surgical_Listener::begin_scope(const ostrel_scope& scope) {
    Trace trace("begin_scope");
    trace.writeTrace(LEVEL_2, "Unexpected begin_scope %s", Util::id_text(scope.scope_oid).c_str());
    return true;
}

bool OstrelAgent_Surgical_Listener::begin_vob(const qel_uuid_s&, const qel_oid_s&) { return false; }

bool OstrelAgent_Surgical_Listener::unload_object(const qel_uuid_s&, const qel_oid_s&, const std::string&,
                                                  const qel_oid_s&) {
    return false;
}

bool OstrelAgent_Surgical_Listener::end_scope() {
    Trace trace("end_scope");
    trace.writeTrace(LEVEL_2, "Unexpected end_scope");
    return true;
}

bool OstrelAgent_Surgical_Listener::end_vob() { return false; }

bool OstrelAgent_Surgical_Listener::end_operation() {
    Trace trace("end_operation");
    const int status = ostrel_db_end_lr_scope_load(&m_scope.scope_oid, m_scope.gn, false, true);
    if (status != 0)
        trace.writeTrace(LEVEL_2, "Can't end surgical load scope %s: %s", Util::id_text(m_scope.scope_oid).c_str(),
                         qel_strerror(status));
    return true;
}

bool OstrelAgent_Surgical_Listener::update_object(const qel_uuid_s& replica, const qel_oid_s& parent,
                                                  const std::string& path, const std::string&, const std::string&,
                                                  const ostrel_vstat& object, const ostrel_vstat& element) {
    Trace trace("update_object");
    char dir[FILEUTL_PATH_MAX];
    char leaf[FILEUTL_PATH_MAX];
    if (fileutl_strip_leaf(path.c_str(), dir, leaf) != 0) {
        m_message += text(M::PATH_SPLIT_FAILED, path.c_str());
        fail(S::GENERAL_FAILURE);
        return true;
    }
    int fetch = 0;
    if (OstrelAgent_Cltxt_Plus_DB_Listener::has_cleartext(object.vstat.mtype))
        fetch = OstrelAgent_Update_Cltxt_listener::queue_cleartext_fetch(replica, object, m_view, m_update, path,
                                                                         m_message);
    const std::string parent_text = Util::id_text(parent);
    trace.writeTrace(LEVEL_4,
                     "update vob %s parent elem %s name \"%s\" obj_oid %s elem_oid (obj) %s elem_oid %s ver-co %d "
                     "elem-co %d",
                     Util::id_text(replica).c_str(), parent_text.c_str(), path.c_str(),
                     Util::id_text(object.vstat.obj_oid).c_str(), Util::id_text(object.vstat.elem_oid).c_str(),
                     Util::id_text(element.vstat.elem_oid).c_str(), object.checked_out, element.checked_out);
    if (qel_oid_eq(&parent, &m_scope.other_oid)) {
        trace.writeTrace(LEVEL_2, "bogus VOB root object?");
        m_message += "can't handle VOB root (yet?)";
        fail(S::GENERAL_FAILURE);
        return false;
    }

    unsigned parent_elem = 0, parent_ver = 0;
    int status = OstrelAgent_Metadata::lookup_parent_dir(replica, parent, path, parent_elem, parent_ver, m_message);
    if (status != 0) {
        fail(status);
        return true;
    }
    status = OstrelAgent_Metadata::flush_cache(replica, object.vstat.elem_oid, parent, path, leaf, m_ioctl.get(),
                                               m_message);
    if (status != 0) fail(status);
    trace.writeTrace(LEVEL_4, "parent ver dbid %d elem dbid %d", static_cast<int>(parent_ver),
                     static_cast<int>(parent_elem));

    ostrel_vstat obj = object;
    view_vstat elem = element.vstat;
    unsigned obj_dbid = 0, elem_dbid = 0;
    status = OstrelAgent_View_db::add_db_entry(replica, object.vstat.mtype, leaf, parent_ver, m_scope.scope_oid,
                                               m_scope.gn, 1, false, obj, elem, obj_dbid, elem_dbid, nullptr);
    if (status != 0) {
        trace.writeTrace(LEVEL_2, "Can't add db entry %s/%s (%s): error %d", parent_text.c_str(), leaf, path.c_str(),
                         status);
        m_message += text(M::DB_ENTRY_NOT_ADDED, path.c_str(), parent_text.c_str(), std::to_string(status).c_str());
        fail(status);
        return true;
    }
    trace.writeTrace(LEVEL_4, "new object dbid %d elem dbid %d", static_cast<int>(obj_dbid),
                     static_cast<int>(elem_dbid));
    // The entry is written; a fetch that could not be queued still fails
    // the object.
    if (fetch != 0) fail(fetch);
    return true;
}
