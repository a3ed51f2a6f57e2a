#include "lib/fetch/ostrelagent_metadata.h"

#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/kernel/ostrelagent_korva_ioctl.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ns_locate.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

using Object = OstrelAgent_Metadata::Scripted_Object;

// A scripted VOB: its objects by dbid and its root element.
struct Tree {
    std::map<unsigned, Object> objects;
    unsigned root = 0;
};

struct Forced {
    int status = 0;
    unsigned times = 0;
};

struct Script {
    std::mutex mutex;
    std::map<std::vector<unsigned char>, Tree> trees;
    unsigned counts[OstrelAgent_Metadata::CALLS] = {};
    Forced forced[OstrelAgent_Metadata::CALLS];
    std::chrono::microseconds latency[OstrelAgent_Metadata::CALLS] = {};
};

Script& script() {
    static Script s;
    return s;
}

std::vector<unsigned char> key_of(const qel_uuid_s& vob) { return {vob.bytes, vob.bytes + sizeof vob.bytes}; }

// Counts the call and waits its latency; a forced status comes back non-zero.
int begin_call(OstrelAgent_Metadata::Call call) {
    Script& s = script();
    std::chrono::microseconds latency;
    int status = 0;
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        s.counts[call]++;
        latency = s.latency[call];
        Forced& f = s.forced[call];
        if (f.times != 0) {
            f.times--;
            status = f.status;
        }
    }
    if (latency.count() != 0) std::this_thread::sleep_for(latency);
    return status;
}

// The scripted object, or null; call with the script's mutex held.
const Object* find(const qel_uuid_s& vob, unsigned dbid) {
    auto tree = script().trees.find(key_of(vob));
    if (tree == script().trees.end()) return nullptr;
    auto obj = tree->second.objects.find(dbid);
    return obj == tree->second.objects.end() ? nullptr : &obj->second;
}

// The object's record as the server sends it.
ostrel_vstat record_of(const qel_uuid_s& vob, const Object& obj) {
    ostrel_vstat out{};
    out.vstat.fstat = obj.fstat;
    out.vstat.mtype = obj.mtype;
    out.vstat.obj_oid = obj.oid;
    if (const Object* elem = obj.elem_dbid != 0 ? find(vob, obj.elem_dbid) : nullptr) out.vstat.elem_oid = elem->oid;
    out.checked_out = obj.checked_out;
    std::strncpy(out.link_text, obj.link_text.c_str(), sizeof out.link_text - 1);
    return out;
}

bool is_element(vob_mtype_t mtype) { return mtype == 2 || mtype == 5; }

// The name-space root's dbid, whose empty name names the VOB's root.
constexpr unsigned NS_ROOT_DBID = 1;

// The element and object dbids and record of what `dbid` selects.
void select(const qel_uuid_s& vob, const Object& obj, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out) {
    const Object* chosen = &obj;
    if (is_element(obj.mtype) && obj.selected != 0) {
        if (const Object* version = find(vob, obj.selected)) chosen = version;
    }
    elem_dbid = is_element(obj.mtype) ? obj.dbid : (obj.elem_dbid != 0 ? obj.elem_dbid : obj.dbid);
    obj_dbid = chosen->dbid;
    out = record_of(vob, *chosen);
}

} // namespace

OstrelAgent_Metadata::OstrelAgent_Metadata(const std::string& path, const std::string& given_path, bool)
    : m_path(path), m_given_path(given_path) {}

OstrelAgent_Metadata::~OstrelAgent_Metadata() = default;

int OstrelAgent_Metadata::run() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_Metadata", "run");
    std::string rest = m_path;
    VOB_mount_info vob;
    m_status = OstrelAgent_Config::get_instance()->get_vob_info_and_path(rest, vob);
    if (m_status != 0) return m_status;
    m_vob_uuid = vob.replica_uuid();

    std::lock_guard<std::mutex> guard(script().mutex);
    auto tree = script().trees.find(key_of(m_vob_uuid));
    const Object* current = tree != script().trees.end() ? find(m_vob_uuid, tree->second.root) : nullptr;
    unsigned elem = 0, obj = 0;
    if (current != nullptr) select(m_vob_uuid, *current, elem, obj, m_obj_vstat);
    std::vector<std::string> names;
    OstrelAgent_Util::tokenize(rest, names, "/");
    for (size_t i = 0; current != nullptr && i < names.size(); ++i) {
        if (names[i].empty() || names[i] == ".") continue;
        const Object* dir = find(m_vob_uuid, obj);
        current = nullptr;
        if (dir == nullptr) break;
        for (const auto& entry : dir->entries)
            if (entry.first == names[i]) current = find(m_vob_uuid, entry.second);
        if (current != nullptr) select(m_vob_uuid, *current, elem, obj, m_obj_vstat);
    }
    if (current == nullptr) {
        m_message += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::LOOKUP_INCOMPLETE, m_given_path.c_str(), rest.c_str());
        m_status = OstrelAgent_Status::NOT_FOUND;
    }
    return m_status;
}

int OstrelAgent_Metadata::get_ostrel_vstat(ostrel_vstat* out) const {
    if (out == nullptr) return OstrelAgent_Status::GENERAL_FAILURE;
    *out = m_obj_vstat;
    return 0;
}

int OstrelAgent_Metadata::view_inval_view(const OstrelAgent_KORVA_Ioctl* ioctl, bool ns, bool kernel, bool db) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_Metadata", "view_inval_view");
    if (ioctl == nullptr) return QEL_ST_NO_MEMORY;
    const int db_status = db ? ostrel_db_cleanup_vns_recs(0) : 0;
    const int ns_status = ns ? locate_invalidate(VIEW_INVALIDATE_VIEW, nullptr, nullptr, "", false) : 0;
    const int kernel_status = kernel ? ioctl->view_inval_view() : 0;
    return db_status != 0 ? db_status : ns_status != 0 ? ns_status : kernel_status;
}

int OstrelAgent_Metadata::view_inval_obj(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob,
                                         const qel_oid_s& oid, vob_op_t op, bool ns, bool kernel, bool db) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_Metadata", "view_inval_obj");
    if (ioctl == nullptr) return QEL_ST_NO_MEMORY;
    if (db) invalidate_obj(vob, oid);
    const int ns_status = ns ? locate_invalidate(VIEW_INVALIDATE_OBJ, &vob, &oid, "", false) : 0;
    const int kernel_status = kernel ? ioctl->view_inval_obj(vob, oid, op) : 0;
    return ns_status != 0 ? ns_status : kernel_status;
}

void OstrelAgent_Metadata::replace_fstat_identities(qel_fstat_db_s& fstat) {
    const credutl_sid_credentials_t* mine = ostrelagent_my_creds();
    fstat.usid = mine->user_sid;
    fstat.gsid = mine->group_sid;
}

int OstrelAgent_Metadata::get_metadata(const qel_uuid_s& vob, const unsigned& dbid, const unsigned&,
                                       ostrel_vstat& out) {
    if (int forced = begin_call(GET_METADATA)) return forced;
    std::lock_guard<std::mutex> guard(script().mutex);
    const Object* obj = find(vob, dbid);
    if (obj == nullptr) return OstrelAgent_Status::INTERNAL_ERROR;
    out = record_of(vob, *obj);
    return 0;
}

int OstrelAgent_Metadata::lookup_obj(const qel_uuid_s& vob, const unsigned& dir_dbid, const unsigned&,
                                     const std::string& name, unsigned& elem_dbid, unsigned& obj_dbid,
                                     ostrel_vstat& out) {
    if (int forced = begin_call(LOOKUP_OBJ)) return forced;
    std::lock_guard<std::mutex> guard(script().mutex);
    // The empty name in the name-space root names the VOB's root.
    if (dir_dbid == NS_ROOT_DBID && name.empty()) {
        auto tree = script().trees.find(key_of(vob));
        const Object* root = tree == script().trees.end() ? nullptr : find(vob, tree->second.root);
        if (root == nullptr) return OstrelAgent_Status::NOT_FOUND;
        select(vob, *root, elem_dbid, obj_dbid, out);
        return 0;
    }
    const Object* dir = find(vob, dir_dbid);
    if (dir == nullptr) return OstrelAgent_Status::INTERNAL_ERROR;
    for (const auto& entry : dir->entries) {
        if (entry.first != name) continue;
        const Object* obj = find(vob, entry.second);
        if (obj == nullptr) return OstrelAgent_Status::INTERNAL_ERROR;
        select(vob, *obj, elem_dbid, obj_dbid, out);
        return 0;
    }
    return OstrelAgent_Status::NOT_FOUND;
}

int OstrelAgent_Metadata::readdir_obj(const qel_uuid_s& vob, const unsigned& dir_dbid,
                                      std::list<ostrelagent_dirent>& out) {
    if (int forced = begin_call(READDIR_OBJ)) return forced;
    std::lock_guard<std::mutex> guard(script().mutex);
    const Object* dir = find(vob, dir_dbid);
    if (dir == nullptr) return OstrelAgent_Status::INTERNAL_ERROR;
    if (dir->entries.empty()) return OstrelAgent_Status::NOT_FOUND;
    // Positions 0 to 2 are taken by ".", ".." and the start of a listing.
    unsigned cookie = 3;
    for (const auto& entry : dir->entries) {
        ostrelagent_dirent d{};
        std::strncpy(d.name, entry.first.c_str(), sizeof d.name - 1);
        d.dbid = entry.second;
        d.cookie = cookie++;
        out.push_back(d);
    }
    return 0;
}

int OstrelAgent_Metadata::bindroot(const qel_uuid_s& vob, unsigned& elem_dbid, unsigned& obj_dbid,
                                   ostrel_vstat& out) {
    if (int forced = begin_call(BINDROOT)) return forced;
    std::lock_guard<std::mutex> guard(script().mutex);
    auto tree = script().trees.find(key_of(vob));
    if (tree == script().trees.end() || tree->second.root == 0) return OstrelAgent_Status::DISCONNECTED;
    const Object* root = find(vob, tree->second.root);
    if (root == nullptr) return OstrelAgent_Status::INTERNAL_ERROR;
    select(vob, *root, elem_dbid, obj_dbid, out);
    return 0;
}

void OstrelAgent_Metadata::invalidate_obj(const qel_uuid_s&, const qel_oid_s&) { begin_call(INVALIDATE_OBJ); }

void OstrelAgent_Metadata::invalidate_name(const qel_uuid_s&, const qel_oid_s&, const std::string&) {
    begin_call(INVALIDATE_NAME);
}

void OstrelAgent_Metadata::script_object(const qel_uuid_s& vob, const Scripted_Object& obj) {
    std::lock_guard<std::mutex> guard(script().mutex);
    script().trees[key_of(vob)].objects[obj.dbid] = obj;
}

void OstrelAgent_Metadata::script_root(const qel_uuid_s& vob, unsigned elem_dbid) {
    std::lock_guard<std::mutex> guard(script().mutex);
    script().trees[key_of(vob)].root = elem_dbid;
}

void OstrelAgent_Metadata::force_status(Call call, int status, unsigned times) {
    std::lock_guard<std::mutex> guard(script().mutex);
    script().forced[call] = {status, times};
}

void OstrelAgent_Metadata::set_latency(Call call, std::chrono::microseconds latency) {
    std::lock_guard<std::mutex> guard(script().mutex);
    script().latency[call] = latency;
}

unsigned OstrelAgent_Metadata::calls(Call call) {
    std::lock_guard<std::mutex> guard(script().mutex);
    return script().counts[call];
}

void OstrelAgent_Metadata::reset_script() {
    Script& s = script();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.trees.clear();
    for (int c = 0; c < CALLS; ++c) {
        s.counts[c] = 0;
        s.forced[c] = {};
        s.latency[c] = {};
    }
}

bool OstrelAgent_Metadata::scripted_oid_to_dbid(const qel_uuid_s& vob, const qel_oid_s& oid, unsigned& dbid,
                                                vob_mtype_t& mtype) {
    std::lock_guard<std::mutex> guard(script().mutex);
    auto tree = script().trees.find(key_of(vob));
    if (tree == script().trees.end()) return false;
    for (const auto& entry : tree->second.objects) {
        if (qel_oid_eq(&entry.second.oid, &oid)) {
            dbid = entry.first;
            mtype = entry.second.mtype;
            return true;
        }
    }
    return false;
}

bool OstrelAgent_Metadata::scripted_object(const qel_uuid_s& vob, unsigned dbid, Scripted_Object& out) {
    std::lock_guard<std::mutex> guard(script().mutex);
    const Object* obj = find(vob, dbid);
    if (obj == nullptr) return false;
    out = *obj;
    return true;
}

bool OstrelAgent_Metadata::scripted_parent(const qel_uuid_s& vob, unsigned dbid, unsigned* parent) {
    std::lock_guard<std::mutex> guard(script().mutex);
    auto tree = script().trees.find(key_of(vob));
    if (tree == script().trees.end()) return false;
    const Object* obj = find(vob, dbid);
    unsigned elem = obj != nullptr && obj->elem_dbid != 0 ? obj->elem_dbid : dbid;
    for (const auto& candidate : tree->second.objects) {
        for (const auto& entry : candidate.second.entries) {
            if (entry.second == dbid || entry.second == elem) {
                *parent = candidate.first;
                return true;
            }
        }
    }
    return false;
}
