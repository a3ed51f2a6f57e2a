// The mounted-VOB registry of OstrelAgent_Config: the VOBs mounted in the
// view, in memory and in the view storage's ".mounted_vobs".

#include <fstream>
#include <vector>

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "platform/utl/fileutl.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_Config";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
constexpr int LEVEL_5 = OstrelAgent_Trace::TRACE_LEVEL_5;

const char* const TRUE_TEXT = "true";
const char* const FALSE_TEXT = "false";
const int FIELDS = 6;

// A field reads back as written: not empty, no white space at its ends
// (the reader trims it), no line break.
bool field_recordable(const std::string& text) {
    return !text.empty() && text.find_first_of("\r\n") == std::string::npos &&
           text == OstrelAgent_Util::trim(text);
}

} // namespace

std::map<std::string, VOB_mount_info> OstrelAgent_Config::g_mounted_vobs;
std::map<qel_uuid_s, VOB_mount_info, OstrelAgent_Config::Uuid_Less> OstrelAgent_Config::g_mounted_vobs_uuid;
OstrelAgent_Vob_Mounter* OstrelAgent_Config::g_vob_mounter = nullptr;

void OstrelAgent_Config::set_vob_mounter(OstrelAgent_Vob_Mounter* mounter) { g_vob_mounter = mounter; }

std::string OstrelAgent_Config::get_mounted_file() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "get_mounted_file");
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    if (view == nullptr) {
        trace.writeTrace(LEVEL_2, " get_view failed ");
        return std::string();
    }
    return view->get_storage_path() + "/" + MOUNTED_VOBS_FILE;
}

std::unique_ptr<VOB_mount_info> OstrelAgent_Config::decode_mount_info(const std::string& line) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "decode_mount_info");
    std::string fields[FIELDS];
    std::string rest = line;
    for (int i = 0; i < FIELDS - 1; ++i) {
        const size_t sep = rest.find(KEY_VALUE_SEP);
        if (sep == std::string::npos) return nullptr;
        fields[i] = rest.substr(0, sep);
        rest.erase(0, sep + 1);
    }
    fields[FIELDS - 1] = rest; // the storage path may itself hold "="
    for (std::string& field : fields) {
        OstrelAgent_Util::trim_in_place(field);
        if (field.empty()) return nullptr;
    }
    const std::string& tag = fields[0];
    const std::string& replica = fields[1];
    const std::string& family = fields[2];
    const std::string& storage = fields[5];
    trace.writeTrace(LEVEL_4, "vob tag %s, repl oid %s, fam oid %s, storage %s, is_public %s, is_project_vob %s",
                     tag.c_str(), replica.c_str(), family.c_str(), storage.c_str(), fields[3].c_str(),
                     fields[4].c_str());

    std::unique_ptr<VOB_mount_info> info(new VOB_mount_info);
    if (qel_str_to_oid(replica.c_str(), &info->replica_oid) != 0) {
        trace.writeTrace(LEVEL_4, "Invalid replica OID %s", replica.c_str());
        return nullptr;
    }
    if (qel_str_to_oid(family.c_str(), &info->family_oid) != 0) {
        trace.writeTrace(LEVEL_4, "Invalid family OID %s", family.c_str());
        return nullptr;
    }
    info->vob_tag = tag;
    info->mounted = 1;
    info->is_public = fields[3] == TRUE_TEXT ? 1 : 0;
    info->is_project_vob = fields[4] == TRUE_TEXT ? 1 : 0;
    info->storage = storage;
    return info;
}

std::string OstrelAgent_Config::encode_mount_info(const VOB_mount_info& info) {
    const std::string sep = KEY_VALUE_SEP;
    return info.vob_tag + sep + OstrelAgent_Util::id_text(info.replica_oid) + sep + OstrelAgent_Util::id_text(info.family_oid) + sep +
           (info.is_public ? TRUE_TEXT : FALSE_TEXT) + sep + (info.is_project_vob ? TRUE_TEXT : FALSE_TEXT) +
           sep + info.storage;
}

bool OstrelAgent_Config::is_recordable_tag(const std::string& vob_tag) {
    return field_recordable(vob_tag) && vob_tag.find(KEY_VALUE_SEP) == std::string::npos;
}

bool OstrelAgent_Config::is_recordable(const VOB_mount_info& info) {
    return is_recordable_tag(info.vob_tag) && field_recordable(info.storage);
}

int OstrelAgent_Config::remount_vobs() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "remount_vobs");
    {
        OstrelAgent_Mutex_Guard guard(g_config_lock);
        if (!g_mounted_vobs.empty()) return OstrelAgent_Status::VOBS_REGISTERED;
    }
    const std::string file = get_mounted_file();
    if (file.empty()) {
        trace.writeTrace(LEVEL_4, "get_mounted_file returned empty file name");
        return OstrelAgent_Status::INTERNAL_ERROR;
    }
    if (!fileutl_exists(file.c_str(), 0)) {
        trace.writeTrace(LEVEL_4, "File does not exist..nothing to remount");
        return 0;
    }
    std::ifstream in(file);
    if (!in.is_open()) {
        trace.writeTrace(LEVEL_4, "Could not open file : %s", file.c_str());
        return OstrelAgent_Status::MOUNTED_VOB_FILE_FAILED;
    }
    std::vector<VOB_mount_info> records;
    bool undecodable = false;
    std::string line;
    while (std::getline(in, line)) {
        trace.writeTrace(LEVEL_4, "line [%s]", line.c_str());
        if (line.empty()) continue;
        std::unique_ptr<VOB_mount_info> info = decode_mount_info(line);
        if (!info) {
            trace.writeTrace(LEVEL_4, "Error decoding [%s]", line.c_str());
            undecodable = true;
            continue;
        }
        records.push_back(*info);
    }
    if (in.bad()) return OstrelAgent_Status::MOUNTED_VOB_FILE_FAILED;
    in.close();

    // Every VOB is tried; the first failure is the one reported (its VOB
    // drops out of the file with the next rewrite).
    int first_failure = 0;
    for (const VOB_mount_info& info : records) {
        const int status =
            g_vob_mounter != nullptr ? g_vob_mounter->mount(info) : static_cast<int>(OstrelAgent_Status::INTERNAL_ERROR);
        if (status != 0 && first_failure == 0) first_failure = status;
    }
    if (first_failure != 0) return first_failure;
    return undecodable ? OstrelAgent_Status::MOUNTED_VOB_DECODE_FAILED : 0;
}

int OstrelAgent_Config::set_mount_state(VOB_mount_info info) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "set_mount_state");
    if (info.mounted != 0 && !is_recordable(info)) {
        trace.writeTrace(LEVEL_4, "VOB tag [%s] or storage [%s] cannot be recorded", info.vob_tag.c_str(),
                         info.storage.c_str());
        return OstrelAgent_Status::MALFORMED_REQUEST;
    }
    OstrelAgent_Mutex_Guard guard(g_config_lock);
    auto old = g_mounted_vobs.find(info.vob_tag);
    if (old != g_mounted_vobs.end()) {
        // The tag's old record leaves both maps (its uuid entry only when
        // another tag has not taken it over).
        auto by_uuid = g_mounted_vobs_uuid.find(old->second.replica_uuid());
        if (by_uuid != g_mounted_vobs_uuid.end() && by_uuid->second.vob_tag == info.vob_tag)
            g_mounted_vobs_uuid.erase(by_uuid);
        g_mounted_vobs.erase(old);
    }
    if (info.mounted != 0) {
        g_mounted_vobs[info.vob_tag] = info;
        g_mounted_vobs_uuid[info.replica_uuid()] = info;
    }
    return write_mounted_file();
}

int OstrelAgent_Config::write_mounted_file() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "write_mounted_file");
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    const std::string file = get_mounted_file();
    if (view == nullptr || file.empty()) {
        trace.writeTrace(LEVEL_4, "get_mounted_file returned empty file name");
        return OstrelAgent_Status::INTERNAL_ERROR;
    }
    // The file is written whole under a temporary name and renamed over the
    // old one; its lines are made here.
    trace.writeTrace(LEVEL_4, "Opened file : %s", file.c_str());
    std::string content;
    for (const auto& entry : g_mounted_vobs) {
        if (entry.second.mounted == 0) continue;
        const std::string line = encode_mount_info(entry.second);
        trace.writeTrace(LEVEL_5, "%s", line.c_str());
        content += line + "\n";
    }
    const int error = OstrelAgent_Util::write_whole_file(view->get_storage_path(), file, content, ".mounted_vobs.");
    if (error != 0) {
        trace.writeTrace(LEVEL_4, "Could not write file : %s (%d)", file.c_str(), error);
        return OstrelAgent_Status::MOUNTED_VOB_FILE_FAILED;
    }
    trace.writeTrace(LEVEL_4, "Wrote file : %s", file.c_str());
    return 0;
}

int OstrelAgent_Config::get_mount_state(const std::string& vob_tag) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "get_mount_state");
    OstrelAgent_Mutex_Guard guard(g_config_lock);
    auto it = g_mounted_vobs.find(vob_tag);
    return it != g_mounted_vobs.end() ? it->second.mounted : 0;
}

namespace {

// A copy of the record of `key` in one of the registry's maps, or the empty
// record.
template <typename Map, typename Key>
VOB_mount_info registered(const Map& map, const Key& key, const char* method) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, method);
    OstrelAgent_Mutex_Guard guard(OstrelAgent_Config::g_config_lock);
    auto it = map.find(key);
    if (it != map.end()) return it->second;
    trace.writeTrace(LEVEL_4, "returned null mount info");
    return VOB_mount_info();
}

} // namespace

VOB_mount_info OstrelAgent_Config::get_mount_info(const qel_uuid_s& replica_uuid) {
    return registered(g_mounted_vobs_uuid, replica_uuid, "get_mount_info(uuid)");
}

VOB_mount_info OstrelAgent_Config::get_mount_info(const std::string& vob_tag) {
    return registered(g_mounted_vobs, vob_tag, "get_mount_info");
}

int OstrelAgent_Config::get_vob_info_and_path(std::string& path, VOB_mount_info& info) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "get_vob_info_and_path");
    std::string global = path;
    OstrelAgent_Util::globalize_path(global);
    trace.writeTrace(LEVEL_5, "Globalized path is %s", global.c_str());
    std::map<std::string, VOB_mount_info> vobs;
    {
        OstrelAgent_Mutex_Guard guard(g_config_lock);
        vobs = g_mounted_vobs;
    }
    const std::string sep(1, OstrelAgent_Util::GLOBAL_PNAME_SEP);
    if (global.empty() || global.back() != OstrelAgent_Util::GLOBAL_PNAME_SEP) global += sep;

    // The longest tag that the path begins with, by whole components: of
    // two nested VOBs the inner one holds what lies below its tag.
    const VOB_mount_info* best = nullptr;
    std::string best_prefix;
    for (const auto& entry : vobs) {
        std::string prefix = entry.first;
        trace.writeTrace(LEVEL_5, "vobtag before modification is %s", prefix.c_str());
        if (prefix.empty() || prefix.back() != OstrelAgent_Util::GLOBAL_PNAME_SEP) prefix += sep;
        trace.writeTrace(LEVEL_5, "vobtag after modification is %s", prefix.c_str());
        OstrelAgent_Util::globalize_path(prefix);
        if (global.compare(0, prefix.size(), prefix) == 0 && prefix.size() > best_prefix.size()) {
            best = &entry.second;
            best_prefix = prefix;
        }
    }
    if (best == nullptr) return OstrelAgent_Status::VOB_NOT_MOUNTED;
    trace.writeTrace(LEVEL_5, "Matched %s", best->vob_tag.c_str());
    path = global.substr(best_prefix.size());
    OstrelAgent_Util::strip_trailing_pathname_separator(path);
    trace.writeTrace(LEVEL_5, "New path %s", path.c_str());
    info = *best;
    return 0;
}
