#include "lib/ops/ostrelagent_hijack.h"

#include <sys/stat.h>


#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_cleartext.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ns_rpc.h"
#include "lib/ns/ostrelagent_kernel_expectation.h"
#include "lib/ops/ostrelagent_view_file.h"
#include "platform/hooks/test_hooks.h"
#include "platform/imsg/imsg.h"
#include "platform/qel/qel.h"

namespace {

const char* const kClass = "OstrelAgent_Hijack";
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
namespace Msg = OstrelAgent_Lib_Msg;
namespace Status = OstrelAgent_Status;

// The kinds of a loaded version, and a symbolic link (its own version).
bool is_version_or_link(vob_mtype_t mtype) { return mtype == 3 || mtype == 6 || mtype == 8 || mtype == 7; }

} // namespace

OstrelAgent_Hijack::OstrelAgent_Hijack(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {
    m_supported_version = "1";
}

OstrelAgent_Hijack::~OstrelAgent_Hijack() = default;

void OstrelAgent_Hijack::parse_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_request");
    parse_frame(Path_Rule::REQUIRED);
}

void OstrelAgent_Hijack::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    if (m_status != 0) return;

    // The name itself: a symbolic link is judged as the link.
    OstrelAgent_Metadata walk(m_path, m_path, false);
    m_status = walk.run();
    if (m_status != 0) {
        m_message += walk.get_message();
        return;
    }
    ostrel_vstat found{};
    walk.get_ostrel_vstat(&found);
    int refusal = -1;
    if (found.checked_out)
        refusal = Msg::HIJACK_CHECKED_OUT;
    else if (!walk.is_hijacked() && !is_version_or_link(found.vstat.mtype))
        refusal = Msg::HIJACK_NOT_VERSIONED;
    else if (found.vstat.fstat.type != QEL_FTYPE_REG)
        refusal = Msg::HIJACK_NOT_PLAIN_FILE;
    if (refusal >= 0) {
        trace.writeTrace(LEVEL_4, "%s refused: kind %u, type %u, checked out %d, hijacked %d", m_path.c_str(),
                         static_cast<unsigned>(found.vstat.mtype), static_cast<unsigned>(found.vstat.fstat.type),
                         static_cast<int>(found.checked_out), static_cast<int>(walk.is_hijacked()));
        m_message += Msg::text(refusal, m_path.c_str());
        m_status = Status::GENERAL_FAILURE;
        return;
    }

    m_status = divide_path();
    if (m_status != 0) return;
    if (!walk.is_hijacked()) {
        hijack(walk.get_parent_fhandle());
        return;
    }
    // Hijacked already: the file stays as it is and only looks changed now.
    trace.writeTrace(LEVEL_4, "%s is hijacked already", m_path.c_str());
    // A copy left under the temporary name is one a crash stopped before
    // it took the name (the rename is what marks a name hijacked), perhaps
    // part-written: the hijacked file holds the user's bytes and stays.
    if (OstrelAgent_View_File::copy_left(m_object_path)) {
        trace.writeTrace(LEVEL_4, "dropping the copy left beside %s", m_object_path.c_str());
        std::string ignored;
        OstrelAgent_View_File::drop_copy(m_object_path, ignored);
    }
    m_status = OstrelAgent_View_File::touch(m_object_path, m_message);
}

void OstrelAgent_Hijack::hijack(const view_fhandle& dir_fh) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "hijack");
    if ((m_status = get_parent_metadata()) != 0) return;
    if ((m_status = get_obj_metadata_korva()) != 0) return;
    if ((m_status = check_reachable()) != 0) return;
    if ((m_status = get_view()) != 0) return;
    bool present = false;
    m_status = OstrelAgent_View_File::expect(m_object_path, OstrelAgent_View_File::Kind::FILE, present, m_message);
    if (m_status != 0) return;

    OstrelAgent_Cleartext cleartext(m_object_vob_uuid, 0, m_object_vstat.obj_oid, m_view->get_cltxt_cache_dir());
    int in_cache = 0;
    m_status = cleartext.getcleartext(in_cache);
    if (m_status != 0) {
        cleartext_failed(cleartext);
        return;
    }

    // The copy is whole under its temporary name before it takes the name;
    // the rename that gives it the name also marks the name hijacked, in
    // the namespace's one write: a crash leaves the loaded version or the
    // hijacked copy, whole.
    const std::string& source = cleartext.get_cache_path();
    bool unused = false;
    m_status = OstrelAgent_View_File::prepare_copy(source, m_object_path, 0, nullptr, m_message, unused);
    if (m_status != 0) {
        trace.writeTrace(LEVEL_4, "copy of %s for %s failed", source.c_str(), m_object_path.c_str());
        return;
    }
    test_hooks::kill_point("hijack-copied");
    {
        OstrelAgent_Kernel_Expectation marking(OstrelAgent_Kernel_Expectation::Kind::HIJACK_BY_RENAME, dir_fh, m_leaf,
                                               &m_object_vstat, OstrelAgent_View_File::copy_name(m_leaf));
        m_status = OstrelAgent_View_File::finish_copy(m_object_path, m_message);
        if (m_status == 0 && !marking.met()) {
            // Renamed without the mark (nothing else renames onto a loaded
            // name): the name is marked now.
            view_fhandle dir = dir_fh;
            const int marked = ns_hijack_by_fh(&dir, m_leaf.c_str(), &m_object_vstat);
            if (marked != 0) {
                m_message += Msg::text(Msg::HIJACK_FAILED, m_path.c_str(), qel_strerror(marked));
                m_status = OstrelAgent_Util::qel_to_ostrel_status(marked);
            }
        }
    }
    if (m_status != 0) {
        std::string ignored;
        OstrelAgent_View_File::drop_copy(m_object_path, ignored);
        return;
    }
    test_hooks::kill_point("hijack-marked");
    // The view database dropped the name from the namespace cache; the
    // kernel may still have it as the loaded file.
    get_ioctl();
    OstrelAgent_Metadata::view_inval_name(ioctl(), m_parent_vob_uuid, m_parent_vstat.obj_oid, m_leaf.c_str(), false,
                                          true, false);
}

int OstrelAgent_Hijack::check_reachable() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "check_reachable");
    // The copy goes through the view's root: where the file cannot be
    // reached there (the view not mounted), marking the name would leave
    // it hijacked with no file of its own.
    struct stat st;
    const int error = OstrelAgent_View_File::examine(m_object_path, st);
    if (error == 0) return 0;
    trace.writeTrace(LEVEL_4, "%s not reachable: %s", m_object_path.c_str(), imsg_strerror(error));
    m_message += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_STAT, m_object_path.c_str(),
                                          imsg_strerror(error));
    return Status::GENERAL_FAILURE;
}

void OstrelAgent_Hijack::cleartext_failed(const OstrelAgent_Cleartext& cleartext) {
    m_message += Msg::text(Msg::NO_CACHED_CLTXT, m_path.c_str());
    const std::string& cache_path = cleartext.get_cache_path();
    if (!cache_path.empty()) {
        if (OstrelAgent_Server::g_online.load() == 0) m_message += Msg::text(Msg::DISCONNECTED);
        m_message += Msg::text(Msg::CLTXT_FETCH_FAILED, cache_path.c_str());
    }
    m_message += "\n" + cleartext.get_error_message();
}

std::string OstrelAgent_Hijack::get_response() {
    return common_reply(OstrelAgent_Tag::HIJACK, OstrelAgent_Trace::TRACE_LEVEL_4);
}
