#pragma once
// What the metadata files of content fetch share: the view's uuid and
// operations log, the online flag, and the trace of OstrelAgent_Metadata.
// Internal to lib/fetch/ostrelagent_metadata*.

#include <string>

#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_view_base.h"
#include "platform/qel/qel.h"

namespace metadata_support {

constexpr const char* CLASS_NAME = "OstrelAgent_Metadata";
// The operation code of the invalidations that a fetch causes.
constexpr vob_op_t FETCH_INVAL_OP = 13;

class Trace : public OstrelAgent_Trace {
public:
    explicit Trace(const char* method) : OstrelAgent_Trace(OSTRELAGENT, CLASS_NAME, method) {}
};

inline bool online() { return OstrelAgent_Server::g_online.load() != 0; }

// The view's uuid, which every remote command names; the null uuid while
// the process has no view (the commands then refuse to ask).
inline qel_uuid_s view_uuid() {
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    return view != nullptr ? view->get_view_uuid() : QEL_UUID_NULL;
}

inline OstrelAgent_Log& ops_log() {
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    return *OstrelAgent_Log::get_instance(view != nullptr ? view->get_storage_path() : std::string());
}

} // namespace metadata_support
