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
#include "lib/core/ostrelagent_view_db.h"
#include "lib/core/ostrelagent_view_db_element.h"
#include "lib/core/ostrelagent_view_db_root_dir.h"
#include "lib/core/ostrelagent_view_db_symlink.h"
#include "lib/core/ostrelagent_view_db_version.h"
#include "lib/core/ostrelagent_view_db_vob.h"
#include "lib/kernel/ostrelagent_korva_ioctl.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ns_locate.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

using Object = OstrelAgent_Metadata::Scripted_Object;

// A scripted VOB: its objects by script number and its root element.
struct Tree {
    std::map<unsigned, Object> objects;
    unsigned root = 0;
};

struct Forced {
    int status = 0;
    unsigned times = 0;
};

// An invalidation queued for the pool: of the object `oid`'s cached copies,
// or (`whole_view`) of everything.
struct Flush {
    qel_uuid_s vob;
    qel_oid_s oid;
    bool whole_view;
};

struct Script {
    std::mutex mutex;
    std::vector<Flush> flushes;
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

// ---- the server's side: the scripted trees ---------------------------------------------------
//
// The script's mutex is held only while an object is copied out, never
// around a call of the view database.

// The scripted object of number `id`, or of `oid`, or the VOB's root
// element; false when there is none.
bool scripted(const qel_uuid_s& vob, unsigned id, Object& out) {
    std::lock_guard<std::mutex> guard(script().mutex);
    auto tree = script().trees.find(key_of(vob));
    if (tree == script().trees.end()) return false;
    auto obj = tree->second.objects.find(id);
    if (obj == tree->second.objects.end()) return false;
    out = obj->second;
    return true;
}

bool scripted(const qel_uuid_s& vob, const qel_oid_s& oid, Object& out) {
    std::lock_guard<std::mutex> guard(script().mutex);
    auto tree = script().trees.find(key_of(vob));
    if (tree == script().trees.end()) return false;
    for (const auto& entry : tree->second.objects) {
        if (!qel_oid_eq(&entry.second.oid, &oid)) continue;
        out = entry.second;
        return true;
    }
    return false;
}

bool scripted_root(const qel_uuid_s& vob, Object& out) {
    unsigned root = 0;
    {
        std::lock_guard<std::mutex> guard(script().mutex);
        auto tree = script().trees.find(key_of(vob));
        if (tree != script().trees.end()) root = tree->second.root;
    }
    return root != 0 && scripted(vob, root, out);
}

// The record the server sends for an object, whose element has `elem_oid`.
ostrel_vstat record_of(const Object& obj, const qel_oid_s& elem_oid) {
    ostrel_vstat out{};
    out.vstat.fstat = obj.fstat;
    out.vstat.mtype = obj.mtype;
    out.vstat.obj_oid = obj.oid;
    out.vstat.elem_oid = elem_oid;
    out.checked_out = obj.checked_out;
    std::strncpy(out.link_text, obj.link_text.c_str(), sizeof out.link_text - 1);
    return out;
}

bool is_element(vob_mtype_t mtype) { return mtype == 2 || mtype == 5; }

// The kinds the view database's loaded element namespace keeps.
bool view_db_keeps(vob_mtype_t mtype) { return is_element(mtype) || (mtype >= 3 && mtype <= 8 && mtype != 4); }

// The records the server sends for what a name lists: the object (the
// version an element selects) and its element (for a symbolic link, none).
bool name_records(const qel_uuid_s& vob, const Object& listed, ostrel_vstat& obj, view_vstat& elem) {
    elem = view_vstat{};
    if (listed.mtype == 7) {
        obj = record_of(listed, QEL_OID_NULL);
        return true;
    }
    Object element, version;
    if (is_element(listed.mtype)) {
        element = listed;
        if (!scripted(vob, listed.selected, version)) return false;
    } else {
        version = listed;
        if (!scripted(vob, listed.elem_id, element)) return false;
    }
    obj = record_of(version, element.oid);
    elem = record_of(element, element.oid).vstat;
    return true;
}

// ---- the client's side: what the view database holds ----------------------------------------------

// Names and roots are loaded into the default scope, and as a load that
// lists directories as they are met.
constexpr int READDIR_STATE = 3;
constexpr unsigned NS_ROOT_DBID = 1;

// Stores what the server sends for `listed` under `name` in the directory
// version `dir_dbid`; with `inval_parent` the kernel's entry of the
// directory goes too. An agent status.
int store_name(const qel_uuid_s& vob, unsigned dir_dbid, const std::string& name, const Object& listed,
               bool inval_parent) {
    ostrel_vstat obj;
    view_vstat elem;
    if (!name_records(vob, listed, obj, elem)) return OstrelAgent_Status::INTERNAL_ERROR;
    unsigned obj_dbid = 0, elem_dbid = 0;
    return OstrelAgent_View_db::add_db_entry(vob, obj.vstat.mtype, name.c_str(), dir_dbid, QEL_OID_NULL, 0,
                                             READDIR_STATE, inval_parent, obj, elem, obj_dbid, elem_dbid, nullptr);
}

// What a look-up in the view database found.
enum class Found { NAME, FAILED, MISSING, MISSING_FROM_LISTING };

// `name` of the directory version `dir_dbid` as the view database holds it:
// the element, the object and its record.
Found lookup_in_view_db(const qel_uuid_s& vob, unsigned dir_dbid, const std::string& name, unsigned& elem_dbid,
                        unsigned& obj_dbid, ostrel_vstat& out) {
    unsigned vob_dbid = 0;
    OstrelAgent_View_db_vob vob_record(vob);
    if (vob_record.lookup_vob(vob_dbid) != 0) return Found::MISSING;
    OstrelAgent_View_db_version dir(dir_dbid, vob, vob_dbid);
    vob_mtype_t mtype = 0;
    int status = dir.lookup(name, obj_dbid, mtype);
    if (status == QEL_ST_NOT_FOUND) return dir.is_readdir_done() ? Found::MISSING_FROM_LISTING : Found::MISSING;
    if (status != 0) return Found::MISSING;
    if (mtype == 7) {
        OstrelAgent_View_db_symlink link(obj_dbid, vob, vob_dbid);
        elem_dbid = obj_dbid;
        return link.get_ostrelstat(out) == 0 ? Found::NAME : Found::FAILED;
    }
    if (mtype != 3 && mtype != 6 && mtype != 8) return Found::FAILED;
    OstrelAgent_View_db_version version(obj_dbid, vob, vob_dbid);
    OstrelAgent_View_db_element element(0, vob, vob_dbid);
    ostrel_vstat elem;
    if (version.get_ostrelstat(out) != 0 || element.get_info(out.vstat.elem_oid, elem_dbid, elem) != 0)
        return Found::FAILED;
    return Found::NAME;
}

// The VOB's root as the view database holds it.
int root_in_view_db(OstrelAgent_View_db_root_dir& root, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out) {
    if (!root.has_root_dir() || root.get_root_dir(obj_dbid) != 0) return OstrelAgent_Status::NOT_FOUND;
    ostrel_vstat elem;
    return root.get_info(obj_dbid, elem_dbid, out, elem) == 0 ? 0 : OstrelAgent_Status::GENERAL_FAILURE;
}

int do_bindroot(const qel_uuid_s& vob, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out) {
    OstrelAgent_View_db_root_dir root(vob);
    if (root_in_view_db(root, elem_dbid, obj_dbid, out) == 0) return 0;
    Object element, version;
    if (!scripted_root(vob, element)) return OstrelAgent_Status::DISCONNECTED;
    if (!scripted(vob, element.selected, version)) return OstrelAgent_Status::INTERNAL_ERROR;
    ostrel_vstat root_record = record_of(version, element.oid);
    ostrel_vstat elem_record = record_of(element, element.oid);
    if (root.create(QEL_OID_NULL, 0, 0, root_record, elem_record, obj_dbid, elem_dbid) != 0)
        return OstrelAgent_Status::GENERAL_FAILURE;
    return root_in_view_db(root, elem_dbid, obj_dbid, out);
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

    // An element stands for the version it selects.
    auto selected = [&](const Object& obj, Object& version, Object& element) {
        version = element = obj;
        if (is_element(obj.mtype)) return obj.selected == 0 || scripted(m_vob_uuid, obj.selected, version);
        return obj.elem_id == 0 || scripted(m_vob_uuid, obj.elem_id, element);
    };
    Object found, version, element;
    bool present = scripted_root(m_vob_uuid, found) && selected(found, version, element);
    std::vector<std::string> names;
    OstrelAgent_Util::tokenize(rest, names, "/");
    for (size_t i = 0; present && i < names.size(); ++i) {
        if (names[i].empty() || names[i] == ".") continue;
        const Object dir = version;
        present = false;
        for (const auto& entry : dir.entries)
            if (entry.first == names[i]) present = scripted(m_vob_uuid, entry.second, found);
        if (present) present = selected(found, version, element);
    }
    if (present) m_obj_vstat = record_of(version, element.oid);
    if (!present) {
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

int OstrelAgent_Metadata::view_inval_name(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob,
                                          const qel_oid_s& dir_oid, const char* name, bool ns, bool kernel, bool db) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_Metadata", "view_inval_name");
    if (ioctl == nullptr) return QEL_ST_NO_MEMORY;
    if (db) invalidate_name(vob, dir_oid, name);
    const int ns_status = ns ? locate_invalidate(VIEW_INVALIDATE_NAME, &vob, &dir_oid, name, false) : 0;
    const int kernel_status = kernel ? ioctl->view_inval_name(vob, dir_oid, name) : 0;
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
    vob_mtype_t mtype = 0;
    if (auto obj = OstrelAgent_View_db_object::get_object(vob, dbid, mtype)) return obj->get_ostrelstat(out);
    Object scripted_obj, element;
    if (!scripted(vob, dbid, scripted_obj) || view_db_keeps(scripted_obj.mtype))
        return OstrelAgent_Status::INTERNAL_ERROR;
    scripted(vob, scripted_obj.elem_id, element);
    out = record_of(scripted_obj, element.oid);
    return 0;
}

int OstrelAgent_Metadata::lookup_obj(const qel_uuid_s& vob, const unsigned& dir_dbid, const unsigned&,
                                     const std::string& name, unsigned& elem_dbid, unsigned& obj_dbid,
                                     ostrel_vstat& out) {
    if (int forced = begin_call(LOOKUP_OBJ)) return forced;
    // The empty name in the name-space root names the VOB's root.
    if (dir_dbid == NS_ROOT_DBID && name.empty()) return do_bindroot(vob, elem_dbid, obj_dbid, out);
    switch (lookup_in_view_db(vob, dir_dbid, name, elem_dbid, obj_dbid, out)) {
    case Found::NAME: return 0;
    case Found::FAILED: return OstrelAgent_Status::GENERAL_FAILURE;
    case Found::MISSING_FROM_LISTING: return OstrelAgent_Status::NOT_FOUND;
    case Found::MISSING: break;
    }
    qel_oid_s dir_oid{};
    if (!OstrelAgent_View_db::obj_dbid_to_oid(dir_dbid, vob, dir_oid)) return OstrelAgent_Status::MALFORMED_REQUEST;
    Object dir, listed;
    if (!scripted(vob, dir_oid, dir)) return OstrelAgent_Status::INTERNAL_ERROR;
    for (const auto& entry : dir.entries) {
        if (entry.first != name) continue;
        if (!scripted(vob, entry.second, listed)) return OstrelAgent_Status::INTERNAL_ERROR;
        int status = store_name(vob, dir_dbid, name, listed, true);
        if (status != 0) return status;
        return lookup_in_view_db(vob, dir_dbid, name, elem_dbid, obj_dbid, out) == Found::NAME
                   ? 0
                   : OstrelAgent_Status::GENERAL_FAILURE;
    }
    return OstrelAgent_Status::NOT_FOUND;
}

int OstrelAgent_Metadata::readdir_obj(const qel_uuid_s& vob, const unsigned& dir_dbid,
                                      std::list<ostrelagent_dirent>& out) {
    if (int forced = begin_call(READDIR_OBJ)) return forced;
    unsigned vob_dbid = 0;
    OstrelAgent_View_db_vob vob_record(vob);
    if (vob_record.lookup_vob(vob_dbid) != 0) return OstrelAgent_Status::GENERAL_FAILURE;
    OstrelAgent_View_db_version dir(dir_dbid, vob, vob_dbid);
    if (!dir.is_readdir_done()) {
        qel_oid_s dir_oid{};
        if (!OstrelAgent_View_db::obj_dbid_to_oid(dir_dbid, vob, dir_oid))
            return OstrelAgent_Status::MALFORMED_REQUEST;
        Object scripted_dir, listed;
        if (!scripted(vob, dir_oid, scripted_dir)) return OstrelAgent_Status::INTERNAL_ERROR;
        // Every name is stored; one that is not leaves the directory unlisted.
        int failed = 0;
        for (const auto& entry : scripted_dir.entries) {
            int status = scripted(vob, entry.second, listed)
                             ? store_name(vob, dir_dbid, entry.first, listed, false)
                             : OstrelAgent_Status::INTERNAL_ERROR;
            if (status != 0) failed = status;
        }
        if (failed != 0 || dir.set_readdir_done(true) != 0) return OstrelAgent_Status::GENERAL_FAILURE;
    }
    std::vector<ostrelagent_dirent> listing;
    int status = dir.readdir(listing);
    out.assign(listing.begin(), listing.end());
    return OstrelAgent_Util::qel_to_ostrel_status(status);
}

int OstrelAgent_Metadata::bindroot(const qel_uuid_s& vob, unsigned& elem_dbid, unsigned& obj_dbid,
                                   ostrel_vstat& out) {
    if (int forced = begin_call(BINDROOT)) return forced;
    return do_bindroot(vob, elem_dbid, obj_dbid, out);
}

int OstrelAgent_Metadata::invalidate_obj(const qel_uuid_s& vob, const qel_oid_s& oid) {
    begin_call(INVALIDATE_OBJ);
    vob_mtype_t mtype = 0;
    if (auto obj = OstrelAgent_View_db_object::get_object(vob, oid, mtype)) obj->invalidate_obj();
    return 0;
}

int OstrelAgent_Metadata::invalidate_name(const qel_uuid_s& vob, const qel_oid_s& dir_oid, const std::string& name) {
    begin_call(INVALIDATE_NAME);
    unsigned dbid = 0;
    if (!OstrelAgent_View_db::obj_oid_to_dbid(dir_oid, vob, dbid)) return OstrelAgent_Status::MALFORMED_REQUEST;
    OstrelAgent_View_db_version dir(dbid, vob);
    dir.load_data();
    dir.invalidate_name(name.c_str());
    return 0;
}

void OstrelAgent_Metadata::view_inval_parent(const qel_uuid_s& vob, const qel_oid_s& oid, vob_op_t) {
    begin_call(INVAL_PARENT);
    std::lock_guard<std::mutex> guard(script().mutex);
    script().flushes.push_back({vob, oid, false});
}

void OstrelAgent_Metadata::view_inval_view_in_background() {
    begin_call(INVAL_VIEW);
    std::lock_guard<std::mutex> guard(script().mutex);
    script().flushes.push_back({QEL_UUID_NULL, QEL_OID_NULL, true});
}

void OstrelAgent_Metadata::run_background_flushes() {
    std::vector<Flush> flushes;
    {
        std::lock_guard<std::mutex> guard(script().mutex);
        flushes.swap(script().flushes);
    }
    for (const Flush& f : flushes) {
        if (!f.whole_view) ns_fstat_flush(f.vob, f.oid);
        locate_invalidate(f.whole_view ? VIEW_INVALIDATE_VIEW : VIEW_INVALIDATE_OBJ, &f.vob, &f.oid, nullptr, false);
    }
}

void OstrelAgent_Metadata::script_object(const qel_uuid_s& vob, const Scripted_Object& obj) {
    std::lock_guard<std::mutex> guard(script().mutex);
    script().trees[key_of(vob)].objects[obj.id] = obj;
}

void OstrelAgent_Metadata::script_root(const qel_uuid_s& vob, unsigned elem_id) {
    std::lock_guard<std::mutex> guard(script().mutex);
    script().trees[key_of(vob)].root = elem_id;
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
    s.flushes.clear();
    for (int c = 0; c < CALLS; ++c) {
        s.counts[c] = 0;
        s.forced[c] = {};
        s.latency[c] = {};
    }
}
