// The path walk: a view path turned, component by component through the
// namespace cache, into the object it names, with symbolic links, ".." and
// the roots of VOBs; and the identities of handed-out statuses.
#include "lib/fetch/ostrelagent_metadata.h"

#include <cstring>

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/fetch/ostrelagent_metadata_support.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ns_locate.h"
#include "lib/ns/ns_rpc.h"
#include "platform/utl/fileutl.h"

namespace {

using metadata_support::Trace;
using Util = OstrelAgent_Util;

// More substitutions than this in one walk are a loop.
constexpr int MAX_LINKS = 20;

bool same_handle(const view_fhandle& a, const view_fhandle& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The path a ".." at the root of the VOB `tag` leads to: `rest` taken from
// the directory that holds the tag, every ".." in it resolved by its text
// (never above "/"), so that "/vobs/a" and "../b" give "/vobs/b".
std::string beside_tag(const std::string& tag, const std::string& rest) {
    std::vector<std::string> kept;
    std::vector<std::string> names;
    Util::tokenize(tag, names, "/");
    if (!names.empty()) names.pop_back();
    std::vector<std::string> more;
    Util::tokenize(rest, more, "/");
    names.insert(names.end(), more.begin(), more.end());
    for (const std::string& name : names) {
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            if (!kept.empty()) kept.pop_back();
            continue;
        }
        kept.push_back(name);
    }
    std::string path;
    for (const std::string& name : kept) path += "/" + name;
    return path.empty() ? "/" : path;
}

// Whether `rest` names more than one component (a trailing "/" does not
// make a second).
bool several_components(std::string rest) {
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    return rest.find('/') != std::string::npos;
}

} // namespace

OstrelAgent_Metadata::OstrelAgent_Metadata(const std::string& path, const std::string& given_path,
                                           bool follow_final_link)
    : m_remaining(path), m_given_path(given_path), m_follow_final_link(follow_final_link) {}

OstrelAgent_Metadata::~OstrelAgent_Metadata() = default;

std::string OstrelAgent_Metadata::unconsumed() const {
    return m_consumed < m_remaining.size() ? m_remaining.substr(m_consumed) : std::string();
}

int OstrelAgent_Metadata::run() {
    Trace trace("run");
    m_ns_status = 0;
    m_status = 0;
    if ((m_status = parse_vobroot()) != 0) return m_status;
    view_fhandle cur_dir = m_parent_fh;
    view_fhandle vob_root = m_parent_fh;
    while (!m_remaining.empty()) {
        int name_flag = 0, co_flag = 0;
        unsigned name_state = 0;
        struct timeval lvut {};
        bool dotdot = false;
        m_consumed = 0;
        m_ns_status = ns_lookup_flags(&cur_dir, ".", VIEW_HM_WARP_NONE, m_remaining.c_str(), &m_obj_fh, &m_parent_fh,
                                      &m_obj_vstat.vstat, &m_consumed, &name_flag, &name_state, &lvut, &co_flag,
                                      &m_white_out, &m_hijacked, &m_co_oid, &dotdot);
        if (m_ns_status != 0) return lookup_failure();
        m_obj_vstat.checked_out = co_flag;
        m_canonical_path += m_remaining.substr(0, m_consumed);
        trace.writeTrace(Trace::TRACE_LEVEL_4, "interim canonical pathname: %s", m_canonical_path.c_str());
        if (dotdot) {
            if (handle_dotdot(cur_dir, vob_root) != 0) return m_status;
            continue;
        }
        const uint32_t type = m_obj_vstat.vstat.fstat.type;
        if (m_consumed >= m_remaining.size()) {
            if (type == QEL_FTYPE_LNK && !m_follow_final_link) {
                unsigned length = 0;
                m_ns_status = ns_readlink(&m_obj_fh, sizeof m_obj_vstat.link_text, &length, m_obj_vstat.link_text);
                if (m_ns_status == 0) break;
                m_message += OstrelAgent_Lib_Msg::text(OstrelAgent_Lib_Msg::READLINK_FAILED, m_remaining.c_str(),
                                     qel_strerror(m_ns_status));
                trace.writeTrace(Trace::TRACE_LEVEL_4, "readlink failed: %s", qel_strerror(m_ns_status));
                return m_status = OstrelAgent_Status::GENERAL_FAILURE;
            }
            if (type == QEL_FTYPE_LNK) {
                if (substitute_symlink() != 0) return m_status;
                cur_dir = m_parent_fh;
                continue;
            }
            m_is_vob_root = same_handle(m_obj_fh, vob_root);
            break;
        }
        const std::string rest = unconsumed();
        if (type == QEL_FTYPE_LNK) {
            if (substitute_symlink() != 0) return m_status;
            cur_dir = m_parent_fh;
            continue;
        }
        if (type == QEL_FTYPE_DIR) {
            m_status = OstrelAgent_Status::NOT_FOUND;
            m_incomplete = several_components(rest);
        } else {
            m_status = OstrelAgent_Status::METADATA_WALK_FAILED;
            m_incomplete = true;
        }
        m_message += OstrelAgent_Lib_Msg::text(OstrelAgent_Lib_Msg::LOOKUP_INCOMPLETE, m_remaining.c_str(), rest.c_str());
        trace.writeTrace(Trace::TRACE_LEVEL_4, "lookup '%s' incomplete, fragment \"%s\", name state %x remains",
                         m_remaining.c_str(), rest.c_str(), name_state);
        return m_status;
    }
    m_canonical_path = Util::sanitize_path(m_canonical_path);
    if (m_canonical_path.empty()) m_canonical_path = "/";
    trace.writeTrace(Trace::TRACE_LEVEL_4, "final canonical pathname: vob %s path %s", m_vob_tag.c_str(),
                     m_canonical_path.c_str());
    return m_status;
}

int OstrelAgent_Metadata::parse_vobroot() {
    Trace trace("parse_vobroot");
    VOB_mount_info info;
    int status = OstrelAgent_Config::get_instance()->get_vob_info_and_path(m_remaining, info);
    if (status != 0) {
        m_message += OstrelAgent_Lib_Msg::text(OstrelAgent_Lib_Msg::NO_MOUNTED_VOB, m_remaining.c_str(), m_given_path.c_str());
        return m_status = status;
    }
    trace.writeTrace(Trace::TRACE_LEVEL_4, "canonical path reset");
    m_canonical_path = "/";
    Util::strip_leading_separators(m_remaining);
    m_vob_tag = info.vob_tag;
    m_vob_uuid = info.replica_uuid();
    unsigned name_state = 0;
    int name_flag = 0;
    struct timeval lvut {};
    // A walk that ends at the root reports the root's own checkout; a name
    // below it replaces both.
    int co_flag = 0;
    m_ns_status = ns_root(&info.family_oid, &m_vob_uuid, "", VIEW_HM_WARP_NONE, &m_parent_fh, &m_obj_vstat.vstat,
                          &name_state, &name_flag, &lvut, &co_flag, &m_co_oid);
    m_obj_vstat.checked_out = co_flag;
    m_hijacked = false;
    m_white_out = false;
    if (m_ns_status != 0) {
        m_message += OstrelAgent_Lib_Msg::text(OstrelAgent_Lib_Msg::VOB_ROOT_FAILED, m_vob_tag.c_str(), m_remaining.c_str(),
                             qel_strerror(m_ns_status));
        trace.writeTrace(Trace::TRACE_LEVEL_4, "replica root failed: %s", qel_strerror(m_ns_status));
        return m_status = Util::qel_to_ostrel_status(m_ns_status);
    }
    if (m_remaining.empty()) {
        m_is_vob_root = true;
        m_obj_fh = m_parent_fh;
    }
    return 0;
}

int OstrelAgent_Metadata::handle_dotdot(view_fhandle& cur_dir, view_fhandle& vob_root) {
    Trace trace("handle_dotdot");
    if (same_handle(m_obj_fh, vob_root)) {
        // The ".." leaves the VOB: the rest is looked for beside its tag.
        m_remaining = beside_tag(m_vob_tag, unconsumed());
        m_consumed = 0;
        trace.writeTrace(Trace::TRACE_LEVEL_4, "leaving VOB %s for %s", m_vob_tag.c_str(), m_remaining.c_str());
        if (parse_vobroot() != 0) return m_status;
        vob_root = cur_dir = m_parent_fh;
        return 0;
    }
    view_fhandle from = m_obj_fh;
    unsigned consumed = 0, name_state = 0;
    int name_flag = 0;
    struct timeval lvut {};
    m_ns_status = ns_lookup_flags(&from, "..", VIEW_HM_WARP_NONE, "", &cur_dir, &m_parent_fh, &m_obj_vstat.vstat,
                                  &consumed, &name_flag, &name_state, &lvut);
    if (m_ns_status != 0) return lookup_failure();
    // The ".." and the directory it left go from the canonical path, which
    // loses its "." components first so that they do not count.
    m_canonical_path = Util::sanitize_path(m_canonical_path);
    if (trim_canonical_tail() != 0 || trim_canonical_tail() != 0) return m_status;
    m_remaining.erase(0, m_consumed);
    m_consumed = 0;
    m_obj_fh = cur_dir;
    if (!m_remaining.empty()) return 0;
    if (same_handle(m_obj_fh, vob_root)) {
        // The path ends at the VOB root, reached by "..": it names the root.
        m_parent_fh = m_obj_fh;
        m_is_vob_root = true;
        return 0;
    }
    view_fhandle dir = cur_dir, scratch_dir{};
    view_vstat scratch{};
    m_ns_status = ns_lookup_flags(&dir, "..", VIEW_HM_WARP_NONE, "", &m_parent_fh, &scratch_dir, &scratch, &consumed,
                                  &name_flag, &name_state, &lvut);
    if (m_ns_status != 0) return lookup_failure();
    return 0;
}

int OstrelAgent_Metadata::substitute_symlink() {
    Trace trace("substitute_symlink");
    if (++m_link_count > MAX_LINKS) {
        m_ns_status = QEL_ST_TOO_MANY_LINKS;
        return lookup_failure();
    }
    char text[sizeof m_obj_vstat.link_text];
    unsigned length = 0;
    m_ns_status = ns_readlink(&m_obj_fh, sizeof text, &length, text);
    if (m_ns_status != 0) {
        m_message += Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_CALL_ON_NAME_FAILED, "ns_readlink",
                                  m_remaining.c_str(), qel_strerror(m_ns_status));
        trace.writeTrace(Trace::TRACE_LEVEL_4, "readlink %s failed: %s", m_remaining.c_str(),
                         qel_strerror(m_ns_status));
        return m_status = Util::qel_to_ostrel_status(m_ns_status);
    }
    const std::string link(text);
    if (Util::is_absolute_view_rel_path(link)) {
        m_message += Util::snprintf("Absolute symlinks unsupported: %s -> %s\n", m_given_path.c_str(), text);
        trace.writeTrace(Trace::TRACE_LEVEL_4, "symlink target absolute: %s -> %s", m_given_path.c_str(), text);
        return m_status = Util::qel_to_ostrel_status(QEL_ST_INVALID);
    }
    if (trim_canonical_tail() != 0) return m_status;
    m_remaining = link + "/" + unconsumed();
    m_consumed = 0;
    trace.writeTrace(Trace::TRACE_LEVEL_4, "restarting lookup with remaining path %s", m_remaining.c_str());
    return 0;
}

int OstrelAgent_Metadata::trim_canonical_tail() {
    Trace trace("trim_canonical_tail");
    trace.writeTrace(Trace::TRACE_LEVEL_4, "before trim, canonical pathname: %s", m_canonical_path.c_str());
    char parent[FILEUTL_PATH_MAX], leaf[FILEUTL_PATH_MAX];
    if (fileutl_strip_leaf(m_canonical_path.c_str(), parent, leaf) != 0) {
        m_message += OstrelAgent_Lib_Msg::text(OstrelAgent_Lib_Msg::PATH_SPLIT_FAILED, m_canonical_path.c_str());
        return m_status = OstrelAgent_Status::GENERAL_FAILURE;
    }
    m_canonical_path = std::string(parent) + "/";
    trace.writeTrace(Trace::TRACE_LEVEL_4, "after trim, canonical pathname: %s", m_canonical_path.c_str());
    return 0;
}

int OstrelAgent_Metadata::lookup_failure() {
    Trace trace("lookup_failure");
    m_message += OstrelAgent_Lib_Msg::text(OstrelAgent_Lib_Msg::LOOKUP_FAILED, m_remaining.c_str(), m_vob_tag.c_str(),
                         qel_strerror(m_ns_status));
    trace.writeTrace(Trace::TRACE_LEVEL_4, "lookup failed: %s", qel_strerror(m_ns_status));
    return m_status = Util::qel_to_ostrel_status(m_ns_status);
}

int OstrelAgent_Metadata::get_vstat(view_vstat* out) const {
    if (out == nullptr) return OstrelAgent_Status::GENERAL_FAILURE;
    *out = m_obj_vstat.vstat;
    return 0;
}

int OstrelAgent_Metadata::get_ostrel_vstat(ostrel_vstat* out) const {
    if (out == nullptr) return OstrelAgent_Status::GENERAL_FAILURE;
    *out = m_obj_vstat;
    return 0;
}

bool OstrelAgent_Metadata::is_view_object() const { return (m_obj_fh.flags & VIEW_FH_VIEW_OBJ) != 0; }

bool OstrelAgent_Metadata::is_version_controlled() const {
    const vob_mtype_t kind = m_obj_vstat.vstat.mtype;
    return m_obj_vstat.checked_out != 0 || m_hijacked || kind == 3 || kind == 6 || kind == 7 || kind == 8;
}

void OstrelAgent_Metadata::replace_fstat_identities(qel_fstat_db_s& fstat) {
    ostrelagent_replace_fstat_identities(fstat);
}

void OstrelAgent_Metadata::replace_vstat_values(view_vstat& vstat) {
    replace_fstat_identities(vstat.fstat);
    vstat.rmap_oid = QEL_OID_NULL;
}
