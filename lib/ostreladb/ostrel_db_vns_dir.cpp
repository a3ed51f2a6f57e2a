// Directory versions of the element namespace and their entries: one
// record per loaded directory version with its readdir flags, and one entry
// per name, tied to the directory that holds it, to the version or link it
// names and to the load scope that loaded it. Names up to 144 bytes lie in
// the entry itself, longer ones go on in a byte string.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace {

// The set of an object's entries, its key and its record type: a link's
// for kind 7, a version's for 3, 6 and 8; 1008 for another kind.
struct named_set {
    int set;
    long key;
    int type;
};
int named_set_of(uint32_t mtype, named_set* out) {
    if (mtype == VNS_MTYPE_SLINK) {
        *out = {SLINK_DIR_ENT_SET, SLINK_KEY, VNS_DB_SLINK};
        return 0;
    }
    if (vns_is_version(mtype)) {
        *out = {VER_DIR_ENT_SET, VER_KEY, VNS_DB_VER};
        return 0;
    }
    return QEL_ST_INTERNAL;
}

int name_shown(const vns_db_dir_ver_ent& rec) { return std::min<int>(rec.name_len, DIR_VER_ENT_NAME_ROOM); }

// The objects the directory version `dir` of the VOB handle names.
int sub_vers_of(uint32_t vob, uint32_t dir, db_address* dba, std::vector<ostrela_db_sub_vers>& subs) {
    int status = ostrela_db_vob_handle(vob, dba);
    return status != 0 ? status : ostrela_db_get_sub_vers(*dba, dir, subs);
}

// Remembered subdirectory counts by (VOB address, directory dbid), exact
// for the database as the transaction in progress sees it; bounded, since a
// count is only a saved walk. Guarded by the transaction mutex.
std::unordered_map<uint64_t, uint32_t> subdir_counts;
constexpr size_t SUBDIR_COUNTS_MAX = 4096;

uint64_t subdir_key(db_address vob, uint32_t dir) { return (uint64_t{vob} << 32) | dir; }

// A name of a subdirectory joined the directory `dir`.
void subdir_added(db_address vob, uint32_t dir) {
    auto it = subdir_counts.find(subdir_key(vob, dir));
    if (it != subdir_counts.end()) ++it->second;
}

// The walk: every entry of the current directory version, read for its kind.
int count_subdirs(uint32_t* count) {
    const char* const object = "VNS_DB_OBJ2";
    *count = 0;
    int status = ostrela_db_engine(dt_setor(DIR_VER_ENT_SET, &view_db_task, VDB), "D_SETOR", object);
    for (int st = status == 0 ? dt_findfm(DIR_VER_ENT_SET, &view_db_task, VDB) : S_EOS; st != S_EOS;
         st = dt_findnm(DIR_VER_ENT_SET, &view_db_task, VDB)) {
        uint32_t kind = 0;
        if ((status = ostrela_db_engine(st, "D_FINDNM", object)) != 0 ||
            (status = ostrela_db_engine(dt_crread(DIR_VER_ENT_MTYPE, &kind, &view_db_task, VDB), "D_CRREAD",
                                        object)) != 0)
            return status;
        if (kind == VNS_MTYPE_DIR_VER) ++*count;
    }
    return status;
}

} // namespace

int ostrela_db_dir_ver_subdirs(db_address vob, uint32_t dbid, uint32_t* count) {
    ostrela_db_trans_read_check();
    *count = 0;
    const uint64_t key = subdir_key(vob, dbid);
    auto it = subdir_counts.find(key);
    if (it != subdir_counts.end()) {
        *count = it->second;
        return 0;
    }
    int found = 0;
    db_address record = 0;
    int status = ostrela_db_dir_ver_lookup(vob, dbid, &found, &record);
    if (status != 0 || !found) return status;
    if ((status = count_subdirs(count)) != 0) return status;
    if (subdir_counts.size() >= SUBDIR_COUNTS_MAX) subdir_counts.clear();
    subdir_counts.emplace(key, *count);
    return 0;
}

void ostrela_db_subdirs_forget(db_address vob, uint32_t dbid) { subdir_counts.erase(subdir_key(vob, dbid)); }

void ostrela_db_subdirs_forget() { subdir_counts.clear(); }

int ostrela_db_dir_ver_ent_lookup_name(db_address vob, uint32_t parent, const char* name, int* found,
                                       db_address* record) {
    ostrela_db_trans_read_check();
    const char* const object = "DIR_VER_ENT_NAME_LOOKUP";
    *found = 0;
    if (name == nullptr) return parent == 0 ? 0 : QEL_ST_INTERNAL;
    size_t len = std::strlen(name);
    db_dir_ver_ent_name_key key{vob, parent, ostrela_db_hash_name(name)};
    int st = dt_keyfind(DIR_VER_ENT_NAME_KEY, &key, &view_db_task, VDB);
    for (; st == S_OKAY; st = dt_keynext(DIR_VER_ENT_NAME_KEY, &view_db_task, VDB)) {
        vns_db_dir_ver_ent rec;
        int status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", object);
        if (status != 0) return status;
        if (rec.vob_dba != vob || rec.parent != parent || rec.hash != key.hash) return 0;
        if (rec.name_len != len || std::memcmp(rec.name, name, std::min(len, DIR_VER_ENT_NAME_ROOM)) != 0) continue;
        int differs = 0;
        if (len > DIR_VER_ENT_NAME_ROOM &&
            (status = ostrela_db_bytes_cmp(rec.bytes_dba, name + DIR_VER_ENT_NAME_ROOM, len - DIR_VER_ENT_NAME_ROOM,
                                           &differs)) != 0)
            return status;
        if (differs) continue;
        if ((status = ostrela_db_engine(dt_crget(record, &view_db_task, VDB), "D_CRGET", object)) == 0) *found = 1;
        return status;
    }
    return st == S_NOTFOUND ? 0 : ostrela_kesto_err("D_KEYNEXT", object, st);
}

int ostrela_db_create_dir_ver_rec(db_address vob, uint32_t dbid, uint32_t parent, int readdir_state,
                                  int not_default_scope, int* created) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_create_dir_ver_rec");
    const char* const object = "CREATE_DIR_VER";
    *created = 0;
    int found = 0;
    db_address at = 0;
    int status = ostrela_db_dir_ver_lookup(vob, dbid, &found, &at);
    if (status != 0) return status;
    if (found) {
        if (!not_default_scope || readdir_state != 1) return 0;
        vns_db_dir_ver rec;
        status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", object);
        rec.saved = DIR_VER_SAVED_SCOPE;
        if (status == 0) status = ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", object);
        if (status == 0) trace.state("setting dir_ent dbid %d rddir_done=%d saved=%d\n", dbid, rec.rddir_done, rec.saved);
        return status;
    }
    bool saves = not_default_scope && (readdir_state == 1 || readdir_state == 2);
    vns_db_dir_ver rec{vob, dbid, parent, VNS_MTYPE_DIR_VER, 0, saves ? DIR_VER_SAVED_SCOPE : DIR_VER_SAVED_NONE};
    trace.state("setting dir_ent dbid %d rddir_done=%d saved=%d\n", dbid, rec.rddir_done, rec.saved);
    status = ostrela_db_engine(dt_fillnew(VNS_DB_DIR_VER, &rec, &view_db_task, VDB), "D_FILLNEW", object);
    if (status == 0) *created = 1;
    return status;
}

int ostrela_db_create_dir_ver_ent_rec(db_address vob, uint32_t dbid, uint32_t parent, uint32_t mtype,
                                      const qel_oid_s* scope, uint32_t gn, const char* name, int* created,
                                      qel_oid_s* other_scope, db_address* entry) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_create_dir_ver_ent_rec");
    *created = 0;
    named_set named;
    int status = named_set_of(mtype, &named);
    if (status != 0) return status;
    size_t len = name != nullptr ? std::strlen(name) : 0;
    if (len > VNS_NAME_MAX) return QEL_ST_TOO_LONG;
    // The null scope stands for the default scope at its own generation.
    vns_db_dir_ver_ent rec{};
    rec.scope = *scope;
    if (qel_oid_eq(scope, &QEL_OID_NULL)) {
        rec.scope = AUTOMATIC_LOAD_SCOPE_OID;
        if ((status = ostrela_db_get_def_scope_gn(&gn)) != 0) return status;
    }
    uint32_t scope_at = 0;
    status = ostrela_db_lookup_lr_scope_oid(&rec.scope, &scope_at);
    if (status != 0) return QEL_ST_INTERNAL;
    rec.vob_dba = vob;
    rec.ver = dbid;
    rec.parent = parent;
    rec.hash = name != nullptr ? ostrela_db_hash_name(name) : 0;
    rec.mtype = mtype;
    rec.valid = 1;
    rec.gn = gn;
    rec.name_len = static_cast<uint16_t>(len);
    if (len > 0) std::memcpy(rec.name, name, std::min(len, DIR_VER_ENT_NAME_ROOM));
    trace.state("setting dir_ver_ent dbid %d name '%s' valid=%d\n", dbid, name != nullptr ? name : "", 1);
    db_address at = 0, parent_at = 0, named_at = 0;
    status = ostrela_db_engine(dt_fillnew(VNS_DB_DIR_VER_ENT, &rec, &view_db_task, VDB), "D_FILLNEW", "DIR_VER_ENT");
    if (status == 0) status = ostrela_db_engine(dt_crget(&at, &view_db_task, VDB), "D_CRGET", "DIR_VER_ENT");
    if (status == 0 && len > DIR_VER_ENT_NAME_ROOM) {
        status = ostrela_db_bytes_create(at, name + DIR_VER_ENT_NAME_ROOM, len - DIR_VER_ENT_NAME_ROOM, &rec.bytes_dba);
        if (status == 0)
            status = ostrela_db_engine(dt_crwrite(DIR_VER_ENT_BYTES_DBA, &rec.bytes_dba, &view_db_task, VDB),
                                       "D_CRWRITE", "DIR_VER_ENT_2");
    }
    if (status != 0) return status;
    if (parent != 0) {
        status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, vob, parent, "DIR_VER_ENT_3", &parent_at);
        if (status == 0) status = ostrela_db_connect_to(DIR_VER_ENT_SET, parent_at, at, "DIR_VER_ENT_3");
        if (status != 0) return status;
        if (mtype == VNS_MTYPE_DIR_VER) subdir_added(vob, parent);
    }
    int found = 0;
    status = ostrela_db_find_by_dbid(named.key, named.type, vob, dbid, &found, &named_at, "VNS_DB_VER");
    if (status == 0 && !found) {
        *created = 1;
        return QEL_ST_INTERNAL;
    }
    if (status == 0) status = ostrela_db_connect_to(named.set, named_at, at, "VNS_DB_VER");
    if (status == 0) status = ostrela_db_connect_to(SCOPE_DIR_VER_ENT_SET, scope_at, at, "DIR_VER_ENT");
    if (status == 0 && mtype == VNS_MTYPE_DIR_VER && other_scope != nullptr) {
        int32_t count = 0;
        status = ostrela_db_ver_has_hardlink(at, &count, other_scope, nullptr);
    }
    if (status != 0) return status;
    *created = 1;
    if (entry != nullptr) *entry = at;
    return 0;
}

int ostrela_db_get_dir_ver_ent_pname(db_address vob, db_address entry, size_t size, char* buf) {
    ostrela_db_trans_read_check();
    (void)vob;
    vns_db_dir_ver_ent rec;
    int status = ostrela_db_read_at(entry, &rec, "DIR_VER_ENT");
    if (status != 0) return status;
    if (size_t{rec.name_len} + 1 > size) return QEL_ST_TOO_LONG;
    std::memcpy(buf, rec.name, std::min<size_t>(rec.name_len, DIR_VER_ENT_NAME_ROOM));
    if (rec.name_len > DIR_VER_ENT_NAME_ROOM &&
        (status = ostrela_db_bytes_read(entry, rec.bytes_dba, buf + DIR_VER_ENT_NAME_ROOM,
                                        rec.name_len - DIR_VER_ENT_NAME_ROOM)) != 0)
        return status;
    buf[rec.name_len] = '\0';
    return 0;
}

int ostrela_db_dir_ver_ent_get_name(db_address vob, uint32_t dbid, size_t size, char* buf) {
    ostrela_db_trans_read_check();
    int found = 0;
    db_address entry = 0;
    int status = ostrela_db_dir_ver_ent_lookup(vob, dbid, &found, &entry);
    if (status == 0 && !found) status = QEL_ST_NOT_FOUND;
    return status != 0 ? status : ostrela_db_get_dir_ver_ent_pname(vob, entry, size, buf);
}

int ostrela_db_dir_ver_ent_move(db_address vob, uint32_t dbid, db_address entry, const qel_oid_s* scope, uint32_t gn,
                                int* to_default, uint32_t* old) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_dir_ver_ent_move");
    const char* const object = "DIR_VER_ENT_MOVE";
    *to_default = 0;
    vns_db_dir_ver_ent rec;
    int status = ostrela_db_read_at(entry, &rec, object);
    if (status != 0) return status;
    named_set named;
    if ((status = named_set_of(rec.mtype, &named)) != 0) return status;
    *old = rec.ver;
    rec.ver = dbid;
    rec.valid = 1;
    if (!qel_oid_eq(&rec.scope, scope)) {
        rec.scope = *scope;
        if ((status = ostrela_db_dir_ver_ent_reconn_scope(entry, scope)) != 0) return status;
        if (ostrela_db_is_def_scope(scope)) *to_default = 1;
    }
    rec.gn = gn;
    status = ostrela_db_engine(dt_crset(&entry, &view_db_task, VDB), "D_CRSET", object);
    if (status == 0) status = ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", object);
    if (status != 0) return status;
    trace.state("setting dir_ver_ent dbid %d name '%.*s' valid=%d\n", rec.ver, name_shown(rec), rec.name, rec.valid);
    db_address named_at = 0;
    status = ostrela_db_need_by_dbid(named.key, named.type, vob, dbid, object, &named_at);
    if (status == 0) status = ostrela_db_disconnect(named.set, entry, object);
    if (status == 0) status = ostrela_db_connect_to(named.set, named_at, entry, object);
    return status;
}

int ostrela_db_dir_ver_update_dbid(db_address vob, uint32_t old, uint32_t dbid, int carry_saved) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_dir_ver_update_dbid");
    db_address old_at = 0, new_at = 0;
    int status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, vob, old, "DIR_VER_UPDATE_OLD", &old_at);
    if (status == 0) status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, vob, dbid, "DIR_VER_UPDATE_NEW", &new_at);
    if (status != 0) return status;
    ostrela_db_subdirs_forget(vob, old);
    ostrela_db_subdirs_forget(vob, dbid);
    vns_db_dir_ver old_rec;
    std::vector<db_address> entries;
    if ((status = ostrela_db_read_at(old_at, &old_rec, "DIR_VER_UPDATE")) != 0 ||
        (status = ostrela_db_collect_members(DIR_VER_ENT_SET, entries, "DIR_VER_UPDATE")) != 0)
        return status;
    for (db_address at : entries) {
        if (ostrela_db_gone(at, VNS_DB_DIR_VER_ENT)) {
            imsg_print(IMSG_KIND_ERR, "**Wrong type in dir_ver_ent set.\n", -1);
            return QEL_ST_INTERNAL;
        }
        vns_db_dir_ver_ent rec;
        if ((status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "DIR_VER_UPDATE")) != 0)
            return status;
        // The entries now hang under the new version: their names are found
        // there, by the new version's dbid.
        rec.valid = 0;
        rec.parent = dbid;
        if ((status = ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", "DIR_VER_UPDATE")) != 0 ||
            (status = ostrela_db_disconnect(DIR_VER_ENT_SET, at, "DIR_VER_UPDATE_2")) != 0)
            return status;
        trace.state("setting dir_ver_ent dbid %d name '%.*s' valid=%d\n", rec.ver, name_shown(rec), rec.name, 0);
    }
    for (db_address at : entries)
        if ((status = ostrela_db_connect_to(DIR_VER_ENT_SET, new_at, at, "DIR_VER_UPDATE_2")) != 0) return status;
    if (!carry_saved) return 0;
    vns_db_dir_ver new_rec;
    status = ostrela_db_read_at(new_at, &new_rec, "DIR_VER_UPDATE");
    new_rec.saved = old_rec.rddir_done == 0 ? DIR_VER_SAVED_UNREAD : DIR_VER_SAVED_READ;
    if (status == 0) status = ostrela_db_engine(dt_recwrite(&new_rec, &view_db_task, VDB), "D_RECWRITE", "DIR_VER_UPDATE");
    return status;
}

int ostrela_db_ver_has_hardlink(db_address entry, int32_t* count, qel_oid_s* other_scope,
                                std::vector<qel_oid_s>* scopes) {
    ostrela_db_trans_read_check();
    const char* const object = "VER_HAS_HARDLINK";
    *count = 0;
    if (other_scope != nullptr) *other_scope = QEL_OID_NULL;
    if (other_scope == nullptr && scopes != nullptr) scopes->clear();
    vns_db_dir_ver_ent rec;
    named_set named;
    int status = ostrela_db_read_at(entry, &rec, object);
    if (status == 0) status = named_set_of(rec.mtype, &named);
    if (status == 0) status = ostrela_db_need_by_dbid(named.key, named.type, rec.vob_dba, rec.ver, object);
    if (status == 0) status = ostrela_db_count_members(named.set, count, object);
    if (status != 0 || *count <= 1) return status;
    std::vector<db_address> entries;
    if ((status = ostrela_db_collect_members(named.set, entries, object)) != 0) return status;
    for (db_address at : entries) {
        if (at == entry) continue;
        qel_oid_s scope;
        status = ostrela_db_engine(dt_crset(&at, &view_db_task, VDB), "D_CRSET", object);
        if (status == 0) status = ostrela_db_engine(dt_crread(DIR_VER_ENT_SCOPE, &scope, &view_db_task, VDB), "D_CRREAD", object);
        if (status != 0) return status;
        if (other_scope != nullptr) {
            if (!qel_oid_eq(&scope, &rec.scope)) {
                *other_scope = scope;
                return 0;
            }
        } else if (scopes != nullptr) {
            scopes->push_back(scope);
        }
    }
    return 0;
}

int ostrela_db_get_sub_vers(db_address vob, uint32_t dir, std::vector<ostrela_db_sub_vers>& list) {
    ostrela_db_trans_read_check();
    std::vector<db_address> entries;
    int status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, vob, dir, "DIR_VER");
    if (status == 0) status = ostrela_db_collect_members(DIR_VER_ENT_SET, entries, "DIR_VER");
    if (status != 0) return status;
    list.reserve(list.size() + entries.size());
    for (db_address at : entries) {
        vns_db_dir_ver_ent rec;
        if ((status = ostrela_db_read_at(at, &rec, "SUB_VER_DBID")) != 0) return status;
        list.push_back({rec.ver, rec.mtype, at});
    }
    return 0;
}

int ostrela_db_ver_get_sub_vers(uint32_t vob, uint32_t dir, std::vector<ostrelagent_dirent>& list) {
    ostrela_db_trans_read_check();
    db_address dba = 0;
    std::vector<ostrela_db_sub_vers> subs;
    int status = sub_vers_of(vob, dir, &dba, subs);
    if (status != 0) return status;
    list.reserve(list.size() + subs.size());
    unsigned cookie = 3;
    for (const ostrela_db_sub_vers& sub : subs) {
        ostrelagent_dirent d{};
        d.dbid = sub.dbid;
        d.cookie = cookie++;
        if ((status = ostrela_db_get_dir_ver_ent_pname(dba, sub.entry, sizeof d.name, d.name)) != 0 ||
            (vns_is_version(sub.mtype) && (status = ostrela_db_ver_get_elem(vob, sub.dbid, &d.dbid)) != 0))
            return status;
        list.push_back(d);
    }
    return 0;
}

int ostrela_db_ver_get_sub_vers_dbid(uint32_t vob, uint32_t dir, std::vector<uint32_t>& list) {
    ostrela_db_trans_read_check();
    db_address dba = 0;
    std::vector<ostrela_db_sub_vers> subs;
    int status = sub_vers_of(vob, dir, &dba, subs);
    if (status != 0) return status;
    list.reserve(list.size() + subs.size());
    for (const ostrela_db_sub_vers& sub : subs) list.push_back(sub.dbid);
    return 0;
}
