#include "lib/requests/ostrelagent_mountvob.h"

#include <cstring>

#include "lib/client/rclient_get_vobinfo.h"
#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "xml/norvane_xml_elem.h"

namespace {

const char* const kClass = "OstrelAgent_Mountvob";
const char* const VOB_TAG = "vob-tag";
const char* const MOUNT_STATE = "mount-state";
const char* const TRUE_TEXT = "true";

constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;

namespace Msg = OstrelAgent_Lib_Msg;
namespace Status = OstrelAgent_Status;

std::string lib_format(int index, const char* text) {
    return OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, index, text);
}

} // namespace

OstrelAgent_Mountvob::OstrelAgent_Mountvob(const std::string& request_text,
                                           NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_Mountvob::OstrelAgent_Mountvob(const std::string& vob_tag, int mount_state)
    : m_vob_tag(vob_tag), m_mount_state(mount_state) {}

OstrelAgent_Mountvob::~OstrelAgent_Mountvob() = default;

void OstrelAgent_Mountvob::parse_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_request");
    NorvaneXmlElem* root = parse_validate_request(1);
    if (root == nullptr) return;
    NorvaneXmlElem* tag = root->extract_child(VOB_TAG);
    if (tag != nullptr) {
        m_vob_tag = tag->get_value();
        OstrelAgent_Util::globalize_path(m_vob_tag);
        m_mount_state = tag->get_attr(MOUNT_STATE) == TRUE_TEXT ? 1 : 0;
    }
    // A tag that the mounted-VOB file could not give back as it is can be
    // neither mounted nor recorded.
    if (m_vob_tag.empty() || !OstrelAgent_Config::is_recordable_tag(m_vob_tag)) {
        trace.writeTrace(LEVEL_2, "no usable vob tag [%s]", m_vob_tag.c_str());
        m_status = Status::MALFORMED_REQUEST;
        m_message = parse_error_message();
    }
}

void OstrelAgent_Mountvob::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    if (m_status == 0) process_vob();
}

void OstrelAgent_Mountvob::process_vob() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_vob");
    const int current = OstrelAgent_Config::get_instance()->get_mount_state(m_vob_tag);
    if (current == m_mount_state) {
        m_status = Status::ALREADY_IN_MOUNT_STATE;
        m_message = lib_format(m_mount_state ? Msg::ALREADY_MOUNTED : Msg::NOT_MOUNTED, m_vob_tag.c_str());
        return;
    }
    if (m_mount_state)
        mount_vob();
    else
        unmount_vob();
}

void OstrelAgent_Mountvob::mount_vob() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "mount_vob");
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    const std::string storage = view != nullptr ? view->get_storage_path() : std::string();
    Get_VOBInfo command(m_vob_tag);
    command.run();
    int server_status = 0;
    m_status = command.check_rpc_status(*OstrelAgent_Log::get_instance(storage), m_message, server_status);
    if (m_status != 0) {
        m_message += lib_format(Msg::MOUNT_FAILED, m_vob_tag.c_str());
        m_status = Status::VOB_INFO_MISSING;
        return;
    }
    VOB_mount_info info;
    info.vob_tag = m_vob_tag;
    std::memcpy(info.replica_oid.bytes, command.m_replica_id.bytes, sizeof info.replica_oid.bytes);
    info.family_oid = command.m_family_id;
    info.storage = command.m_storage;
    info.is_public = command.m_is_public;
    info.is_project_vob = command.m_is_project;
    info.mounted = m_mount_state;
    m_status = do_mount(info);
}

namespace {

class Request_Mounter : public OstrelAgent_Vob_Mounter {
public:
    int mount(const VOB_mount_info& info) override { return OstrelAgent_Mountvob::do_mount(info); }
};

} // namespace

OstrelAgent_Vob_Mounter* OstrelAgent_Mountvob::mounter() {
    static Request_Mounter mounter;
    return &mounter;
}

int OstrelAgent_Mountvob::do_mount(const VOB_mount_info& info) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "do_mount");
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    if (view == nullptr) {
        trace.writeTrace(LEVEL_2, " get_view failed ");
        return Status::NO_VIEW;
    }
    // What cannot be recorded is not mounted either: the registry would not
    // know of it, and the next start would not mount it again.
    if (!OstrelAgent_Config::is_recordable(info)) {
        trace.writeTrace(LEVEL_2, "VOB %s with storage [%s] cannot be recorded", info.vob_tag.c_str(),
                         info.storage.c_str());
        return Status::MALFORMED_REQUEST;
    }
    OstrelAgent_KORVA_Ioctl ioctl(view);
    int status = ioctl.mount_vob(info.vob_tag.c_str(), info.storage.c_str(), info.replica_oid, info.family_oid);
    trace.writeTrace(LEVEL_4, "Status from mount_vob = %d", status);
    if (status == Status::VOB_ALREADY_MOUNTED) {
        trace.writeTrace(LEVEL_4, "VOB already mounted,,setting status to OK");
        status = 0;
    }
    if (status == 0 && OstrelAgent_Config::get_instance()->set_mount_state(info) != 0)
        return Status::MOUNT_RECORD_FAILED;
    return status;
}

void OstrelAgent_Mountvob::unmount_vob() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "unmount_vob");
    OstrelAgent_Config* config = OstrelAgent_Config::get_instance();
    VOB_mount_info info = config->get_mount_info(m_vob_tag);
    if (qel_oid_eq(&info.family_oid, &QEL_OID_NULL)) {
        trace.writeTrace(LEVEL_2, "replica uuid not found");
        m_status = Status::VOB_REPLICA_MISMATCH;
        return;
    }
    m_status = get_ioctl();
    if (m_status != 0) {
        trace.writeTrace(LEVEL_2, "no ioctl available");
        return;
    }
    int raw_status = 0;
    m_status = ioctl()->umount_vob(m_vob_tag.c_str(), info.family_oid, raw_status);
    trace.writeTrace(LEVEL_4, "Status from umount_vob = %d (%d)", m_status, raw_status);
    if (m_status == Status::VOB_NOT_MOUNTED) {
        trace.writeTrace(LEVEL_4, "VOB not mounted, setting status to OK");
        m_status = 0;
    }
    if (m_status == 0) {
        info.mounted = 0;
        if (config->set_mount_state(info) != 0) m_status = Status::MOUNT_RECORD_FAILED;
        return;
    }
    m_message += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, Msg::UNMOUNT_FAILED, m_vob_tag.c_str(),
                                          qel_strerror(raw_status));
}

std::string OstrelAgent_Mountvob::get_response() {
    return envelope_reply(OstrelAgent_Tag::MOUNTVOB, m_status);
}
