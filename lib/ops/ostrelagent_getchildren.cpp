#include "lib/ops/ostrelagent_getchildren.h"

#include <sys/time.h>

#include <cstring>
#include <map>

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ns_readdir.h"
#include "lib/ns/ns_rpc.h"
#include "lib/ops/ostrelagent_dirent_batch.h"
#include "platform/qel/qel.h"

namespace {

const char* const kClass = "OstrelAgent_GetChildren";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;

// Name states that a look-up in the namespace refuses; 0x8 among them marks
// an entry whose object the read could not find.
constexpr view_name_state_t REFUSED_NAME_STATES = 0x10010e;
// Ask the read for each entry's object and kind.
constexpr unsigned WITH_OBJECTS = 0x1;

// Element kinds whose file type the entry tells without a look-up.
constexpr vob_mtype_t DIRECTORY_ELEMENT = 2;
constexpr vob_mtype_t FILE_ELEMENT = 5;
constexpr vob_mtype_t SYMLINK = 7;

bool is_dot(const std::string& name) { return name == "." || name == ".."; }

} // namespace

OstrelAgent_GetChildren::OstrelAgent_GetChildren(const std::string& request_text,
                                                 NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {
    m_supported_version = "1";
}

OstrelAgent_GetChildren::~OstrelAgent_GetChildren() = default;

const char* OstrelAgent_GetChildren::type_name(int ftype) {
    switch (ftype) {
    case QEL_FTYPE_DIR: return ATTR_DIRECTORY;
    case QEL_FTYPE_LNK: return ATTR_SYMLINK;
    case QEL_FTYPE_REG: return ATTR_FILE;
    default: return ATTR_UNKNOWN;
    }
}

void OstrelAgent_GetChildren::parse_request() {
    parse_frame(Path_Rule::REQUIRED);
}

void OstrelAgent_GetChildren::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    m_status = 0;
    parse_request();
    if (m_status != 0) return;
    m_status = get_view();
    if (m_status != 0) return;
    if (m_view->is_view_root(m_path)) {
        list_mounted_vobs();
        return;
    }
    std::string stripped = m_view->strip_view_root(m_path);
    trace.writeTrace(LEVEL_4, "stripped path %s", stripped.c_str());
    OstrelAgent_Util::globalize_path(stripped);
    view_fhandle dir{};
    {
        // A link to a directory lists the directory, as it does for ls.
        OstrelAgent_Metadata walk(stripped, m_path, true);
        m_status = walk.run();
        if (m_status != 0) {
            m_message += walk.get_message();
            return;
        }
        view_vstat vstat{};
        walk.get_vstat(&vstat);
        if (vstat.fstat.type != QEL_FTYPE_DIR) {
            m_status = OstrelAgent_Status::GENERAL_FAILURE;
            m_message += qel_strerror(QEL_ST_NOT_DIRECTORY);
            return;
        }
        dir = walk.get_obj_fhandle();
    }
    list_directory(dir);
}

void OstrelAgent_GetChildren::list_mounted_vobs() {
    std::map<std::string, VOB_mount_info> mounted;
    {
        OstrelAgent_Mutex_Guard guard(OstrelAgent_Config::g_config_lock);
        mounted = OstrelAgent_Config::g_mounted_vobs;
    }
    for (const auto& vob : mounted) {
        std::string name = vob.first;
        OstrelAgent_Util::strip_leading_separators(name);
        m_children.push_back({static_cast<int>(QEL_FTYPE_DIR), name});
    }
}

int OstrelAgent_GetChildren::read_batch(view_fhandle& dir, unsigned cookie, unsigned& next, unsigned& used, int& end,
                                        void* buf, unsigned size) {
    return ns_readdir_ext(&dir, cookie, "", WITH_OBJECTS, size, &next, &used, &end,
                          static_cast<view_dirent_ext*>(buf));
}

void OstrelAgent_GetChildren::read_failed(int status, const std::string& why) {
    if (m_status != 0) return;
    m_message += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_CALL_FAILED, "ns_readdir_ext", why.c_str());
    m_status = OstrelAgent_Util::qel_to_ostrel_status(status);
}

void OstrelAgent_GetChildren::list_directory(view_fhandle dir) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "list_directory");
    alignas(view_dirent_ext) char buf[BATCH_SIZE];
    unsigned cookie = 0;
    for (;;) {
        unsigned next = 0, used = 0;
        int end = 0;
        const int status = read_batch(dir, cookie, next, used, end, buf, sizeof buf);
        if (status != 0) {
            read_failed(status, qel_strerror(status));
            return;
        }
        OstrelAgent_Dirent_Batch batch(buf, sizeof buf, used);
        OstrelAgent_Dirent_Batch::Entry entry;
        while (batch.next(entry)) evaluate(dir, entry.head, std::string(entry.name, entry.length));
        if (!batch.damage().empty()) {
            trace.writeTrace(LEVEL_2, "batch from cookie %u: %s", cookie, batch.damage().c_str());
            read_failed(QEL_ST_INTERNAL, batch.damage());
            return;
        }
        if (end != 0 || m_status != 0) return;
        // A read that neither ends nor moves on would be asked again forever.
        if (next == cookie) {
            read_failed(QEL_ST_INTERNAL, OstrelAgent_Util::snprintf("no entry past cookie %u", cookie));
            return;
        }
        cookie = next;
    }
}

void OstrelAgent_GetChildren::evaluate(view_fhandle& dir, const view_dirent_ext& head, const std::string& name) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "evaluate");
    trace.writeTrace(LEVEL_4, "evaluating %s", name.c_str());
    if (is_dot(name) || (head.name_state & REFUSED_NAME_STATES) != 0 || head.obj_mtype == 0) return;
    int ftype = 0;
    switch (head.obj_mtype) {
    case DIRECTORY_ELEMENT: ftype = QEL_FTYPE_DIR; break;
    case FILE_ELEMENT: ftype = QEL_FTYPE_REG; break;
    case SYMLINK: ftype = QEL_FTYPE_LNK; break;
    default: {
        view_fhandle found{}, holder{};
        view_vstat vstat{};
        unsigned consumed = 0, state = 0;
        int flag = 0;
        struct timeval lvut{};
        const int status = ns_lookup(&dir, name.c_str(), VIEW_HM_WARP_NONE, "", &found, &holder, &vstat, &consumed,
                                     &flag, &state, &lvut);
        if (status != 0) {
            m_message += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_CALL_ON_NAME_FAILED, "ns_lookup",
                                                  name.c_str(), qel_strerror(status));
            m_status = OstrelAgent_Util::qel_to_ostrel_status(status);
            return;
        }
        ftype = static_cast<int>(vstat.fstat.type);
    }
    }
    trace.writeTrace(LEVEL_4, "saving %s type %d", name.c_str(), ftype);
    m_children.push_back({ftype, name});
}

std::string OstrelAgent_GetChildren::get_response() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "get_response");
    return common_reply(OstrelAgent_Tag::GETCHILDREN, LEVEL_2, [&](NorvaneXmlDoc& doc) {
        for (const child_entry_t& child : m_children) {
            trace.writeTrace(LEVEL_4, "Adding entry '%s' ftype %d", child.name.c_str(), child.ftype);
            doc.push_elem(TAG_CHILD);
            doc.set_body(child.name);
            doc.add_attr(OstrelAgent_Tag::RESOURCE_TYPE, type_name(child.ftype));
            doc.pop_elem();
        }
    });
}
