#include "lib/ops/ostrelagent_move.h"

#include <sys/stat.h>

#include <cerrno>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ops/ostrelagent_view_file.h"
#include "platform/hooks/test_hooks.h"
#include "xml/norvane_xml_elem.h"

namespace {

const char* const kClass = "OstrelAgent_Move";
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
namespace Msg = OstrelAgent_Lib_Msg;
namespace Status = OstrelAgent_Status;
using Util = OstrelAgent_Util;

// The VOB operation for which the kernel drops a renamed directory's
// element.
constexpr vob_op_t RENAME_OP = 66;

struct Trace : OstrelAgent_Trace {
    explicit Trace(const char* method) : OstrelAgent_Trace(OstrelAgent_Trace::OSTRELAGENT, kClass, method) {}
};

} // namespace

OstrelAgent_Move::OstrelAgent_Move(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {
    m_supported_version = "1";
}

OstrelAgent_Move::~OstrelAgent_Move() = default;

bool OstrelAgent_Move::read_dir(NorvaneXmlElem* root, const char* tag, const char* missing,
                                const char* not_absolute, std::string& out) {
    Trace trace("read_dir");
    if (!read_text(root, tag, missing, out)) return false;
    if (is_below_view_root(out)) return true;
    trace.writeTrace(LEVEL_4, "%s", not_absolute);
    refuse_malformed();
    return false;
}

bool OstrelAgent_Move::read_name(NorvaneXmlElem* root, const char* tag, const char* missing, const char* separator,
                                 std::string& out) {
    Trace trace("read_name");
    if (!read_text(root, tag, missing, out)) return false;
    if (Util::contains_pname_separator(out)) {
        trace.writeTrace(LEVEL_4, "%s", separator);
        refuse_malformed();
        return false;
    }
    // These name the directory itself or its parent, never an entry of it.
    if (out == "." || out == "..") {
        trace.writeTrace(LEVEL_4, "%s is \"%s\"", tag, out.c_str());
        refuse_malformed();
        return false;
    }
    return true;
}

void OstrelAgent_Move::parse_request() {
    Trace trace("parse_request");
    NorvaneXmlElem* root = parse_frame(Path_Rule::ABSENT);
    if (root == nullptr) return;
    if (!read_dir(root, TAG_SRC_PATH, "No source path", "Source path not absolute", m_src_path)) return;
    if (!read_dir(root, TAG_DST_PATH, "No destination path", "Destination path not absolute", m_dst_path)) return;
    if (!read_name(root, TAG_OLD_NAME, "No old name", "Old name contains path separator", m_old_name)) return;
    if (!read_name(root, TAG_NEW_NAME, "No new name", "New name contains path separator", m_new_name)) return;
    parse_namespace_modified(root, false, true, true, false, false);
    if (m_status != 0) return;
    if (!m_removed_leaves.empty() || !m_new_leaves.empty()) {
        trace.writeTrace(LEVEL_4, "Improper new/removed leaves");
        refuse_malformed();
    }
}

void OstrelAgent_Move::process_request() {
    Trace trace("process_request");
    parse_request();
    if (m_status != 0) return;
    if (refuse_offline()) return;
    m_status = get_view();
    if (m_status != 0) return;
    m_view_root = m_view->get_view_root();
    Util::globalize_path(m_src_path);
    Util::globalize_path(m_dst_path);
    trace.writeTrace(LEVEL_4, "%s/%s -> %s/%s", m_src_path.c_str(), m_old_name.c_str(), m_dst_path.c_str(),
                     m_new_name.c_str());

    if (!invalidate()) return;
    const std::string new_path = refresh();
    test_hooks::kill_point("move-refreshed");
    if (m_status == 0) move_local_file(new_path);
}

int OstrelAgent_Move::locate(const std::string& dir, const std::string& leaf) {
    m_parent_dir = dir;
    m_parent_path = m_view_root + dir;
    m_object_path = m_parent_path + Util::GLOBAL_PNAME_SEP + leaf;
    m_leaf = leaf;
    return get_parent_metadata();
}

void OstrelAgent_Move::flush_name(const std::string& leaf) {
    m_leaf = leaf;
    flush_obj_leaf(RENAME_OP);
}

void OstrelAgent_Move::flush_dir() { flush_parent_elem(RENAME_OP); }

bool OstrelAgent_Move::invalidate() {
    Trace trace("invalidate");
    m_status = locate(m_src_path, m_old_name);
    if (m_status != 0) return false;
    flush_name(m_old_name);
    if (m_src_path == m_dst_path) {
        // The object path keeps the old name: it names the move in messages.
        flush_name(m_new_name);
        flush_dir();
        return true;
    }
    flush_dir();
    m_status = locate(m_dst_path, m_new_name);
    if (m_status != 0) return false;
    flush_name(m_new_name);
    flush_dir();
    return true;
}

std::string OstrelAgent_Move::refresh() {
    Trace trace("refresh");
    OstrelAgent_Metadata source(m_src_path, m_src_path, true);
    if (!clean_and_walk(source)) return std::string();
    if (m_src_path == m_dst_path) {
        walked_dir_update(source, m_new_name, true);
        return source.get_view_path() + Util::GLOBAL_PNAME_SEP + m_new_name;
    }

    // The source directory is read under its own VOB: a name may have moved
    // into another VOB.
    std::vector<ostrelagent_dirent> listing;
    m_status = OstrelAgent_Metadata::readdir_obj(source.get_vob_uuid(), source.get_obj_fhandle().dbid, listing);
    if (m_status != 0) {
        m_message += Msg::text(Msg::MOVE_SOURCE_READDIR_FAILED, m_src_path.c_str());
        return std::string();
    }
    OstrelAgent_Metadata destination(m_dst_path, m_dst_path, true);
    if (!walk_afresh(destination)) return std::string();
    walked_dir_update(destination, m_new_name, true);
    return destination.get_view_path() + Util::GLOBAL_PNAME_SEP + m_new_name;
}

void OstrelAgent_Move::move_local_file(const std::string& new_path) {
    Trace trace("move_local_file");
    const std::string old_file = m_view_root + m_src_path + Util::GLOBAL_PNAME_SEP + m_old_name;
    const std::string new_file = m_view_root + new_path;
    // A directory, a link or any other kind moves with its name; only a
    // regular file under the old name is carried over, and nothing else
    // standing there is followed or moved (nor taken for a failed move).
    struct stat st {};
    const int examined = OstrelAgent_View_File::examine(old_file, st);
    if (examined != 0 || !S_ISREG(st.st_mode) || st.st_nlink == 0) {
        trace.writeTrace(LEVEL_4, "no file to move at %s", old_file.c_str());
        return;
    }
    trace.writeTrace(LEVEL_4, "moving %s to %s", old_file.c_str(), new_file.c_str());
    const int moved = OstrelAgent_View_File::rename(old_file, new_file, m_message);
    // What the status showed was gone when the rename came (or was only the
    // kernel's copy of a name the change removed): nothing to move.
    if (moved == ENOENT) {
        trace.writeTrace(LEVEL_4, "%s gone before it could be moved", old_file.c_str());
        return;
    }
    if (moved != 0) m_status = Status::GENERAL_FAILURE;
}

std::string OstrelAgent_Move::get_response() { return common_reply(OstrelAgent_Tag::MOVE, LEVEL_4); }
