#include "lib/ops/ostrelagent_checkout.h"

#include <sys/stat.h>

#include <ctime>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_cleartext.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ns_rpc.h"
#include "lib/ns/ostrelagent_view_db_element.h"
#include "lib/ops/ostrelagent_view_file.h"
#include "platform/hooks/test_hooks.h"
#include "platform/imsg/imsg.h"
#include "xml/norvane_xml_elem.h"

namespace {

const char* const kClass = "OstrelAgent_Checkout";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
namespace Msg = OstrelAgent_Lib_Msg;
namespace Status = OstrelAgent_Status;

// The VOB operation for which the kernel drops what it cached.
constexpr vob_op_t CHECKOUT_OP = 10;

struct Trace : OstrelAgent_Trace {
    explicit Trace(const char* method) : OstrelAgent_Trace(OstrelAgent_Trace::OSTRELAGENT, kClass, method) {}
};

struct timespec timespec_of(const qel_fstat_time_s& time) {
    struct timespec out;
    out.tv_sec = static_cast<time_t>(time.tv_sec);
    out.tv_nsec = static_cast<long>(time.tv_usec) * 1000;
    return out;
}

} // namespace

OstrelAgent_Checkout::OstrelAgent_Checkout(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {
    m_supported_version = "1";
}

OstrelAgent_Checkout::~OstrelAgent_Checkout() = default;

void OstrelAgent_Checkout::parse_request() {
    Trace trace("parse_request");
    m_status = 0;
    NorvaneXmlElem* root = parse_frame(Path_Rule::REQUIRED);
    if (root == nullptr) return;
    if (!read_uuid(root, TAG_REPLICA_UUID, "No replica uuid", "Malformed replica uuid", m_replica_uuid)) return;
    if (!read_oid(root, TAG_CO_VER_OID, "No checkout version oid", "Malformed checkout version oid",
                  "Checkout null co-ver-oid", m_co_ver_oid))
        return;
    NorvaneXmlElem* flags = root->extract_child(TAG_CO_FLAGS);
    if (flags == nullptr) {
        trace.writeTrace(LEVEL_2, "No checkout flags");
        refuse_malformed();
        return;
    }
    read_true_flags(flags, {{ATTR_PTIME, &m_ptime}, {ATTR_PRESERVE_HIJACK, &m_preserve_hijack},
                            {ATTR_WHITEOUT, &m_whiteout}});
    trace.writeTrace(LEVEL_4, "path %s co-ver-oid %s ptime %d preserve-hijack %d whiteout %d", m_path.c_str(),
                     OstrelAgent_Util::id_text(m_co_ver_oid).c_str(), m_ptime, m_preserve_hijack, m_whiteout);
}

void OstrelAgent_Checkout::process_request() {
    Trace trace("process_request");
    parse_request();
    if (m_status != 0) return;
    if (refuse_offline()) return;

    bool vob_root = false;
    check_is_vobroot(vob_root);
    if (vob_root) {
        checkout_vob_root();
        return;
    }
    m_status = divide_path();
    if (m_status == 0) m_status = get_parent_metadata();
    if (m_status == 0) m_status = get_obj_metadata_db(nullptr);
    if (m_status == 0) m_status = flush_metadata(CHECKOUT_OP);
    if (m_status != 0) return;
    if (m_object_vstat.fstat.type == QEL_FTYPE_DIR)
        checkout_directory();
    else
        checkout_file();
}

void OstrelAgent_Checkout::checkout_vob_root() {
    Trace trace("checkout_vob_root");
    m_status = OstrelAgent_View_db_element::set_elem_co_ver_oid(m_parent_vob_uuid, m_parent_vstat.elem_oid,
                                                                 m_co_ver_oid, m_message);
    if (m_status == 0) m_status = flush_parent_elem(CHECKOUT_OP);
}

void OstrelAgent_Checkout::checkout_directory() {
    Trace trace("checkout_directory");
    OstrelAgent_Metadata walk(m_path, m_path, false);
    m_status = walk.run();
    if (m_status != 0) {
        m_message += walk.get_message();
        return;
    }
    view_vstat resolved{};
    m_status = walk.get_vstat(&resolved);
    if (m_status != 0) return;
    m_status = OstrelAgent_View_db_element::set_elem_co_ver_oid(walk.get_vob_uuid(), resolved.elem_oid, m_co_ver_oid,
                                                                 m_message);
}

void OstrelAgent_Checkout::checkout_file() {
    Trace trace("checkout_file");
    // The copy goes onto the name: anything but a file there ends the
    // checkout before the hijack mark or the file is touched.
    bool present = false;
    m_status = OstrelAgent_View_File::expect(m_object_path, OstrelAgent_View_File::Kind::FILE, present, m_message);
    if (m_status != 0) return;
    OstrelAgent_Metadata parent(m_parent_dir, m_parent_path, true);
    m_status = parent.run();
    if (m_status != 0) {
        m_message += parent.get_message();
        return;
    }
    view_fhandle dir = parent.get_obj_fhandle();
    const int unhijacked = ns_unhijack_by_fh(&dir, m_leaf.c_str());
    trace.writeTrace(LEVEL_4, "unhijack %s: %d", m_path.c_str(), unhijacked);
    test_hooks::kill_point("checkout-unhijacked");
    if (unhijacked != 0 && unhijacked != QEL_ST_NOT_FOUND) {
        m_status = OstrelAgent_Util::qel_to_ostrel_status(unhijacked);
        m_message += Msg::text(Msg::UNHIJACK_FAILED, m_path.c_str(), qel_strerror(unhijacked));
        return;
    }
    // A white-out checkout never copies; a hijacked file kept as the
    // checked-out one is left as it is. A name without a file of its own
    // is then hidden, checked out.
    if (m_whiteout != 0 || (unhijacked == 0 && m_preserve_hijack != 0)) {
        const int hidden = ns_white_out_checkout(&dir, m_leaf.c_str());
        if (hidden != 0) {
            m_status = OstrelAgent_Util::qel_to_ostrel_status(hidden);
            m_message += Msg::text(Msg::PATH_LOOKUP_FAILED, m_path.c_str(), qel_strerror(hidden));
            return;
        }
        invalidate_name();
    } else {
        copy_viewpvt_file();
    }
}

void OstrelAgent_Checkout::invalidate_name() {
    Trace trace("invalidate_name");
    m_status = get_ioctl();
    if (m_status != 0) return;
    const int dropped = OstrelAgent_Metadata::view_inval_name(ioctl(), m_object_vob_uuid, m_parent_vstat.obj_oid,
                                                              m_leaf.c_str(), m_preserve_hijack != 0, true, false);
    if (dropped != 0) trace.writeTrace(LEVEL_2, "inval name %s: %s", m_path.c_str(), qel_strerror(dropped));
}

void OstrelAgent_Checkout::copy_viewpvt_file() {
    Trace trace("copy_viewpvt_file");
    m_status = get_view();
    if (m_status != 0) return;
    OstrelAgent_Cleartext cleartext(m_object_vob_uuid, 0, m_co_ver_oid, m_view->get_cltxt_cache_dir());
    int in_cache = 0;
    const int fetched = cleartext.getcleartext(in_cache);
    if (fetched != 0) {
        m_status = fetched;
        char location[OstrelAgent_Util::LOCATION_BUFFER_SIZE];
        OstrelAgent_Util::uuid_oid_to_location(&m_object_vob_uuid, &m_co_ver_oid, location);
        imsg_print(IMSG_KIND_ERR, &_ostrela_lib_lib_msg_table, Msg::CLTXT_FETCH_FAILED, location);
        m_message += Msg::text(Msg::CLTXT_FETCH_FAILED, location);
        m_message += cleartext.get_error_message();
        return;
    }

    const std::string& source = cleartext.get_cache_path();
    trace.writeTrace(LEVEL_4, "copying %s to %s", source.c_str(), m_object_path.c_str());
    // The copy is whole before it takes the name, with its mode and (when
    // asked for) the version's times: a crash shows the name as it was or
    // as checked out, never half copied.
    const mode_t mode = qel_fmode_t_to_mode_t(qel_fmode_make_writable(m_object_vstat.fstat.mode));
    const bool keep_times = m_ptime != 0 || m_view->get_preserve_vob_mtime() != 0;
    const struct timespec times[2] = {timespec_of(m_object_vstat.fstat.atime), timespec_of(m_object_vstat.fstat.mtime)};
    m_status = OstrelAgent_View_File::copy_whole(source, m_object_path, mode, keep_times ? times : nullptr, m_message);
}

std::string OstrelAgent_Checkout::get_response() {
    return common_reply(OstrelAgent_Tag::CHECKOUT, LEVEL_4);
}
