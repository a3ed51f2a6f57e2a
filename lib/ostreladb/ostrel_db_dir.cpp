// Directories and their names: a directory inode owns one DB_DIR, which
// owns the directory's DB_DIR_ENT names in creation order; a name that
// names an object is a member of that object's inode. Names are found by
// the key (directory, hash of the name), listed in set order from a cookie,
// and linked with the directory's size and times kept up.
#include <algorithm>
#include <array>
#include <cstring>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"

namespace {

const char* const DIR = "DB_DIR";
const char* const DIR_ENT = "DB_DIR_ENT";

unsigned long dbid_text(uint32_t dbid) { return static_cast<unsigned long>(dbid); }

// The state bits a name keeps, and their places in DIR_ENT_NAME_STATE.
constexpr struct {
    uint32_t flag;
    uint16_t stored;
} KEPT_STATE[] = {{DIR_ENT_STATE_KEEP, 0x1}, {DIR_ENT_STATE_DETACHED, 0x2}, {DIR_ENT_STATE_HIJACKED, 0x4}};

uint16_t stored_state(uint32_t state) {
    uint16_t stored = 0;
    for (const auto& k : KEPT_STATE)
        if (state & k.flag) stored |= k.stored;
    return stored;
}

} // namespace

uint32_t ostrela_db_dir_entry_state(uint16_t stored, bool whiteout) {
    uint32_t state = DIR_ENT_STATE_VIEW | (whiteout ? DIR_ENT_STATE_WHITEOUT : 0);
    for (const auto& k : KEPT_STATE)
        if (stored & k.stored) state |= k.flag;
    return state;
}

namespace {

// Where a listing of a directory stopped: the name at `offset` is the record
// at `entry`, so that the next page need not walk the names before it. A
// hint is only a guess: it is used after the record proves to be that name.
struct ResumeHint {
    db_address dir = 0;
    uint32_t offset = 0;
    db_address entry = 0;
};
std::array<ResumeHint, 8> resume_hints;  // guarded by the transaction mutex
size_t next_hint = 0;

void remember_position(db_address dir, uint32_t offset, db_address entry) {
    for (ResumeHint& h : resume_hints) {
        if (h.dir == dir) {
            h = {dir, offset, entry};
            return;
        }
    }
    resume_hints[next_hint] = {dir, offset, entry};
    next_hint = (next_hint + 1) % resume_hints.size();
}

} // namespace

void ostrela_db_readdir_forget() {
    resume_hints.fill(ResumeHint{});
    next_hint = 0;
}

namespace {

// Makes the name at the hinted record the current member of the directory's
// names when the hint for `dir` and `offset` still holds.
bool resume_at_hint(db_address dir, uint32_t offset) {
    for (const ResumeHint& h : resume_hints) {
        if (h.dir != dir || h.offset != offset || h.entry == 0) continue;
        db_address entry = h.entry;
        int type = 0;
        db_dir_ent ent;
        return dt_crset(&entry, &view_db_task, VDB) == S_OKAY && dt_crtype(&type, &view_db_task, VDB) == S_OKAY &&
               type == DB_DIR_ENT && dt_recread(&ent, &view_db_task, VDB) == S_OKAY && ent.dir_dba == dir &&
               ent.offset == offset && dt_setmr(DIR_ENT_SET, &view_db_task, VDB) == S_OKAY;
    }
    return false;
}

} // namespace

int ostrela_db_dir_entry_object(uint32_t* object) {
    *object = 0;
    int st = dt_ismember(INODE_OID_SET, &view_db_task, VDB);
    if (st == S_EOS) return 0;
    if (st != S_OKAY) return ostrela_kesto_err("D_ISMEMBER", DIR_ENT, st);
    db_address owner = 0;
    int status = ostrela_db_engine(dt_setmr(INODE_OID_SET, &view_db_task, VDB), "D_SETMR", DIR_ENT);
    if (status == 0) status = ostrela_db_engine(dt_csoget(INODE_OID_SET, &owner, &view_db_task, VDB), "D_CSOGET", DIR_ENT);
    if (status == 0) *object = ostrela_db_dba2dbid(owner);
    return status;
}

namespace {

// The name `name` in the directory: its record read into `ent` and current
// (and the current member of the directory's names), the object it names.
int entry_lookup(uint32_t dir_dbid, const char* name, db_dir_ent* ent, uint32_t* object, uint32_t* state) {
    if (!ostrela_db_is_dbid(dir_dbid)) return QEL_ST_INTERNAL;
    size_t len = std::strlen(name);
    db_dir_ent_key key{ostrela_db_dbid2dba(dir_dbid), ostrela_db_hash_name(name)};
    int st = dt_keyfind(DIR_ENT_KEY, &key, &view_db_task, VDB);
    for (;;) {
        if (st == S_NOTFOUND) return QEL_ST_NOT_FOUND;
        if (st != S_OKAY) return ostrela_kesto_err("D_KEYFIND", DIR_ENT, st);
        int status = ostrela_db_engine(dt_recread(ent, &view_db_task, VDB), "D_RECREAD", DIR_ENT);
        if (status != 0) return status;
        if (ent->dir_dba != key.dir_dba || ent->hash != key.hash) return QEL_ST_NOT_FOUND;
        if (ent->name_len == len && std::memcmp(ent->name, name, std::min(len, DIR_ENT_NAME_ROOM)) == 0) {
            int differs = 0;
            if (len > DIR_ENT_NAME_ROOM) {
                status = ostrela_db_bytes_cmp(ent->bytes_dba, name + DIR_ENT_NAME_ROOM, len - DIR_ENT_NAME_ROOM, &differs);
                if (status != 0) return status;
            }
            if (!differs) break;
        }
        st = dt_keynext(DIR_ENT_KEY, &view_db_task, VDB);
    }
    int status = ostrela_db_engine(dt_setmr(DIR_ENT_SET, &view_db_task, VDB), "D_SETMR", DIR_ENT);
    if (status == 0) status = ostrela_db_dir_entry_object(object);
    if (status == 0 && state != nullptr) *state = ostrela_db_dir_entry_state(ent->name_state, *object == 0);
    return status;
}

// Copies the name of the current entry `ent` (read whole) into `buf`.
int string_read(const db_dir_ent* ent, char* buf, size_t size) {
    if (size_t{ent->name_len} + 1 > size) return QEL_ST_TOO_LONG;
    std::memcpy(buf, ent->name, std::min<size_t>(ent->name_len, DIR_ENT_NAME_ROOM));
    if (ent->name_len > DIR_ENT_NAME_ROOM) {
        db_address owner = 0;
        int status = ostrela_db_engine(dt_crget(&owner, &view_db_task, VDB), "D_CRGET", DIR_ENT);
        if (status == 0)
            status = ostrela_db_bytes_read(owner, ent->bytes_dba, buf + DIR_ENT_NAME_ROOM,
                                           ent->name_len - DIR_ENT_NAME_ROOM);
        if (status != 0) return status;
    }
    buf[ent->name_len] = '\0';
    return 0;
}

int dir_lookup(uint32_t dbid) {
    int status = ostrela_db_walk_inode(
        dbid, [](int type, db_address) { return type == DB_DIR ? OSTREL_DB_WALK_STOP : OSTREL_DB_WALK_ON; });
    // The directory part is current: it becomes the owner of the names.
    if (status == 0) status = ostrela_db_engine(dt_setor(DIR_ENT_SET, &view_db_task, VDB), "D_SETOR", DIR);
    return status;
}

int entry_create(uint32_t vob_dbid, uint32_t dir_dbid, const char* name, uint32_t object, uint32_t state,
                 uint32_t* cookie) {
    if (!ostrela_db_is_dbid(vob_dbid) || !ostrela_db_is_dbid(dir_dbid)) return QEL_ST_INTERNAL;
    size_t len = std::strlen(name);
    if (len > OSTREL_DB_NAME_MAX) return QEL_ST_TOO_LONG;
    db_dir_ent ent{};
    uint32_t named = 0;
    int status = entry_lookup(dir_dbid, name, &ent, &named, nullptr);
    if (status == 0 && named != 0) return QEL_ST_EXISTS;
    if (status == QEL_ST_NOT_FOUND) {
        // A new name, last in the directory.
        ent = db_dir_ent{};
        ent.dir_dba = ostrela_db_dbid2dba(dir_dbid);
        ent.vob_dba = ostrela_db_dbid2dba(vob_dbid);
        ent.hash = ostrela_db_hash_name(name);
        ent.name_state = stored_state(state);
        ent.name_len = static_cast<uint16_t>(len);
        std::memcpy(ent.name, name, std::min(len, DIR_ENT_NAME_ROOM));
        if ((status = dir_lookup(dir_dbid)) != 0) return status;
        int st = dt_findlm(DIR_ENT_SET, &view_db_task, VDB);
        if (st == S_EOS) {
            ent.offset = 2;
        } else if ((status = ostrela_db_engine(st, "D_FINDLM", DIR_ENT)) != 0 ||
                   (status = ostrela_db_engine(dt_crread(DIR_ENT_OFFSET, &ent.offset, &view_db_task, VDB), "D_CRREAD",
                                               DIR_ENT)) != 0) {
            return status;
        } else {
            ++ent.offset;
        }
        status = ostrela_db_engine(dt_fillnew(DB_DIR_ENT, &ent, &view_db_task, VDB), "D_FILLNEW", DIR_ENT);
        if (status == 0) status = ostrela_db_engine(dt_connect(DIR_ENT_SET, &view_db_task, VDB), "D_CONNECT", DIR_ENT);
        if (status == 0 && len > DIR_ENT_NAME_ROOM) {
            db_address dba = 0;
            status = ostrela_db_engine(dt_crget(&dba, &view_db_task, VDB), "D_CRGET", DIR_ENT);
            if (status == 0)
                status = ostrela_db_bytes_create(dba, name + DIR_ENT_NAME_ROOM, len - DIR_ENT_NAME_ROOM, &ent.bytes_dba);
            if (status == 0)
                status = ostrela_db_engine(dt_crwrite(DIR_ENT_BYTES_DBA, &ent.bytes_dba, &view_db_task, VDB),
                                           "D_CRWRITE", DIR_ENT);
        }
    }
    // The name is the current record: a new one, or a white-out taken over.
    // It joins the names of its object, which must be a live inode.
    if (status == 0 && object != 0) {
        db_address name_dba = 0, owner = ostrela_db_dbid2dba(object);
        status = ostrela_db_engine(dt_crget(&name_dba, &view_db_task, VDB), "D_CRGET", DIR_ENT);
        if (status == 0) status = ostrela_db_set_record(object, DB_INODE, "DB_INODE");
        if (status == 0)
            status = ostrela_db_engine(dt_csoset(INODE_OID_SET, &owner, &view_db_task, VDB), "D_CSOSET", DIR_ENT);
        if (status == 0) status = ostrela_db_engine(dt_crset(&name_dba, &view_db_task, VDB), "D_CRSET", DIR_ENT);
        if (status == 0) status = ostrela_db_engine(dt_connect(INODE_OID_SET, &view_db_task, VDB), "D_CONNECT", DIR_ENT);
    }
    if (status == 0 && cookie != nullptr) *cookie = ent.offset + OSTREL_DB_COOKIE_BASE;
    return status;
}

int entry_delete(uint32_t dir_dbid, const char* name, int detach, uint32_t* object) {
    db_dir_ent ent;
    int status = entry_lookup(dir_dbid, name, &ent, object, nullptr);
    if (status != 0) return status;
    if (detach) {
        if (*object == 0) return 0;
        // The lookup left the name the current member of its object's names.
        int st = dt_discon(INODE_OID_SET, &view_db_task, VDB);
        return st == S_OKAY || st == S_EOS || st == S_NOTCON ? 0 : ostrela_kesto_err("D_DISCON", DIR_ENT, st);
    }
    status = ostrela_db_bytes_delete(ent.bytes_dba);
    if (status == 0) status = ostrela_db_engine(dt_disdel(&view_db_task, VDB), "D_DISDEL", DIR_ENT);
    return status;
}

int readdir(uint32_t dbid, uint32_t cookie, void* buf, size_t size, size_t* bytes, int* end) {
    *bytes = 0;
    *end = 0;
    uint32_t start = cookie > OSTREL_DB_COOKIE_BASE - 1 ? cookie - OSTREL_DB_COOKIE_BASE : 0;
    int status = dir_lookup(dbid);
    if (status != 0) return status;
    db_address dir = ostrela_db_dbid2dba(dbid);
    char* out = static_cast<char*>(buf);
    int st = start != 0 && resume_at_hint(dir, start) ? dt_findnm(DIR_ENT_SET, &view_db_task, VDB)
                                                       : dt_findfm(DIR_ENT_SET, &view_db_task, VDB);
    db_address last = 0;
    uint32_t last_offset = 0;
    for (; st == S_OKAY; st = dt_findnm(DIR_ENT_SET, &view_db_task, VDB)) {
        db_dir_ent ent;
        if ((status = ostrela_db_engine(dt_recread(&ent, &view_db_task, VDB), "D_RECREAD", DIR_ENT)) != 0)
            return status;
        if (ent.offset <= start) continue;
        size_t need = view_db_readdir_entry_size(ent.name_len);
        if (need >= size - *bytes) {
            if (*bytes == 0) return QEL_ST_TOO_LONG;
            remember_position(dir, last_offset, last);
            return 0;
        }
        view_db_readdir_entry* e = reinterpret_cast<view_db_readdir_entry*>(out + *bytes);
        uint32_t object = 0;
        uint32_t mtype = 0;
        if ((status = ostrela_db_engine(dt_crget(&last, &view_db_task, VDB), "D_CRGET", DIR_ENT)) != 0 ||
            (status = ostrela_db_dir_entry_object(&object)) != 0)
            return status;
        if (object != 0 && (status = ostrela_db_engine(dt_csoread(INODE_OID_SET, INODE_MTYPE, &mtype, &view_db_task, VDB),
                                                       "D_CSOREAD", DIR_ENT)) != 0)
            return status;
        // Last: reading a long name moves the current record to its bytes.
        if ((status = string_read(&ent, e->name, need - VIEW_DB_READDIR_HEAD)) != 0) return status;
        e->inode = object;
        e->mtype = mtype;
        e->cookie = ent.offset + OSTREL_DB_COOKIE_BASE;
        e->state = ostrela_db_dir_entry_state(ent.name_state, object == 0);
        e->name_len = ent.name_len;
        *bytes += need;
        last_offset = ent.offset;
    }
    if (st != S_EOS) return ostrela_kesto_err("D_FINDNM", DIR_ENT, st);
    *end = 1;
    return 0;
}

int find_parent(uint32_t dbid, uint32_t* parent, char* name) {
    // The first name that names the inode.
    return ostrela_db_walk_inode(dbid, [&](int type, db_address entry) {
        if (type == DB_DIR) return OSTREL_DB_WALK_ON;
        db_dir_ent ent;
        int status = ostrela_db_engine(dt_recread(&ent, &view_db_task, VDB), "D_RECREAD", DIR_ENT);
        if (status == 0) status = string_read(&ent, name, OSTREL_DB_NAME_BUF);
        if (status == 0) status = ostrela_db_engine(dt_crset(&entry, &view_db_task, VDB), "D_CRSET", DIR_ENT);
        if (status != 0) return status;
        // The name's directory part, then the inode that owns it.
        db_address dir = 0, owner = 0;
        status = ostrela_db_engine(dt_setmr(DIR_ENT_SET, &view_db_task, VDB), "D_SETMR", DIR_ENT);
        if (status == 0) status = ostrela_db_engine(dt_csoget(DIR_ENT_SET, &dir, &view_db_task, VDB), "D_CSOGET", DIR);
        if (status == 0) status = ostrela_db_engine(dt_crset(&dir, &view_db_task, VDB), "D_CRSET", DIR);
        if (status == 0) status = ostrela_db_engine(dt_setmr(INODE_OID_SET, &view_db_task, VDB), "D_SETMR", DIR);
        if (status == 0)
            status = ostrela_db_engine(dt_csoget(INODE_OID_SET, &owner, &view_db_task, VDB), "D_CSOGET", DIR);
        if (status != 0)
            return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_FIND_PARENT, dbid_text(dbid));
        *parent = ostrela_db_dba2dbid(owner);
        return OSTREL_DB_WALK_STOP;
    });
}

int link(uint32_t dir_dbid, const char* name, uint32_t object, uint32_t state, qel_fstat_db_s* dir_fstat,
         qel_fstat_db_s* obj_fstat, int keep_times, const qel_fstat_time_s* vob_time, uint32_t* cookie) {
    if (!ostrela_db_is_dbid(dir_dbid)) return QEL_ST_INTERNAL;
    size_t len = std::strlen(name);
    if (len > OSTREL_DB_NAME_MAX) return QEL_ST_TOO_LONG;
    if (len == 0) return QEL_ST_INVALID;
    qel_fstat_db_s dir_status;
    uint32_t vob = 0;
    int status = ostrela_db_inode_read(dir_dbid, nullptr, nullptr, &dir_status, nullptr, &vob);
    if (status == 0) status = ostrela_db_dir_entry_create(vob, dir_dbid, name, object, state, cookie);
    if (status != 0) return status;
    dir_status.size += len + OSTREL_DB_DIRENT_OVERHEAD;
    if (object != 0) {
        qel_fstat_db_s obj_status;
        if ((status = ostrela_db_inode_read(object, nullptr, nullptr, &obj_status, nullptr, nullptr)) != 0)
            return status;
        if (obj_status.type == QEL_FTYPE_DIR) ++dir_status.nlink;
        ++obj_status.nlink;
        if (!keep_times) obj_status.ctime = ostrela_db_view_time();
        if ((status = ostrela_db_inode_rewrite(object, &obj_status)) != 0) return status;
        if (obj_fstat != nullptr) *obj_fstat = obj_status;
    }
    if (!keep_times) {
        ostrela_db_fix_dir_modtime(vob_time, &dir_status.mtime);
        dir_status.ctime = dir_status.mtime;
    }
    if ((status = ostrela_db_inode_rewrite(dir_dbid, &dir_status)) != 0) return status;
    if (dir_fstat != nullptr) *dir_fstat = dir_status;
    return 0;
}

} // namespace

uint32_t ostrela_db_hash_name(const char* name) {
    uint32_t h = 0;
    for (const char* p = name; *p != '\0'; ++p)
        h = ((h << 5) | (h >> 27)) + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    return h;
}

int ostrela_db_dir_create(uint32_t dbid) {
    ostrela_db_trans_write_check();
    int status = QEL_ST_INTERNAL;
    if (ostrela_db_is_dbid(dbid)) {
        db_dir dir{0, ostrela_db_dbid2dba(dbid)};
        db_address inode = dir.inode_dba;
        status = ostrela_db_engine(dt_fillnew(DB_DIR, &dir, &view_db_task, VDB), "D_FILLNEW", DIR);
        if (status == 0) status = ostrela_db_engine(dt_setor(DIR_ENT_SET, &view_db_task, VDB), "D_SETOR", DIR);
        if (status == 0)
            status = ostrela_db_engine(dt_csoset(INODE_OID_SET, &inode, &view_db_task, VDB), "D_CSOSET", DIR);
        if (status == 0) status = ostrela_db_engine(dt_connect(INODE_OID_SET, &view_db_task, VDB), "D_CONNECT", DIR);
    }
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_DIR_CREATE, dbid_text(dbid));
}

int ostrela_db_dir_lookup(uint32_t dbid) {
    ostrela_db_trans_read_check();
    return ostrela_db_report(dir_lookup(dbid), OSTREL_DB_QUIET_NOT_FOUND, KDB_MSG_DIR_LOOKUP, dbid_text(dbid));
}

int ostrela_db_dir_empty(uint32_t dbid) {
    ostrela_db_trans_read_check();
    int status = dir_lookup(dbid);
    int32_t count = 0;
    if (status == 0)
        status = ostrela_db_engine(dt_members(DIR_ENT_SET, &count, &view_db_task, VDB), "D_MEMBERS", DIR);
    if (status == 0 && count > 0) status = QEL_ST_NOT_EMPTY;
    return ostrela_db_report(status, OSTREL_DB_QUIET_NOT_EMPTY, KDB_MSG_DIR_EMPTY, dbid_text(dbid));
}

int ostrela_db_readdir(uint32_t dbid, uint32_t cookie, void* buf, size_t size, size_t* bytes, int* end) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_readdir");
    ostrela_db_trans_read_check();
    return ostrela_db_report(readdir(dbid, cookie, buf, size, bytes, end), OSTREL_DB_QUIET_NONE, KDB_MSG_READDIR,
                             dbid_text(dbid));
}

int ostrela_db_find_parent(uint32_t dbid, uint32_t* parent, char* name) {
    ostrela_db_trans_read_check();
    return ostrela_db_report(find_parent(dbid, parent, name), OSTREL_DB_QUIET_NOT_FOUND, KDB_MSG_INODE_FIND_PARENT,
                             dbid_text(dbid));
}

int ostrela_db_dir_entry_create(uint32_t vob_dbid, uint32_t dir_dbid, const char* name, uint32_t object,
                                uint32_t state, uint32_t* cookie) {
    ostrela_db_trans_write_check();
    return ostrela_db_report(entry_create(vob_dbid, dir_dbid, name, object, state, cookie), OSTREL_DB_QUIET_NONE,
                             KDB_MSG_ENTRY_CREATE, name, dbid_text(dir_dbid));
}

int ostrela_db_dir_entry_lookup(uint32_t dir_dbid, const char* name, uint32_t* object, uint32_t* state) {
    ostrela_db_trans_read_check();
    db_dir_ent ent;
    return ostrela_db_report(entry_lookup(dir_dbid, name, &ent, object, state), OSTREL_DB_QUIET_NOT_FOUND,
                             KDB_MSG_ENTRY_LOOKUP, name, dbid_text(dir_dbid));
}

int ostrela_db_dir_entry_state_set(uint32_t dir_dbid, const char* name, uint32_t state) {
    ostrela_db_trans_write_check();
    db_dir_ent ent;
    uint32_t object = 0;
    int status = entry_lookup(dir_dbid, name, &ent, &object, nullptr);
    uint16_t stored = stored_state(state);
    if (status == 0)
        status = ostrela_db_engine(dt_crwrite(DIR_ENT_NAME_STATE, &stored, &view_db_task, VDB), "D_CRWRITE", DIR_ENT);
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_STATE_SET, name, dbid_text(dir_dbid));
}

int ostrela_db_dir_entry_delete(uint32_t dir_dbid, const char* name, int detach, uint32_t* object) {
    ostrela_db_trans_write_check();
    return ostrela_db_report(entry_delete(dir_dbid, name, detach, object), OSTREL_DB_QUIET_NONE, KDB_MSG_ENTRY_DELETE);
}

int ostrela_db_dir_string_read(const db_dir_ent* entry, char* buf, size_t size) {
    ostrela_db_trans_read_check();
    return ostrela_db_report(string_read(entry, buf, size), OSTREL_DB_QUIET_NONE, KDB_MSG_STRING_READ);
}

int ostrela_db_link(uint32_t dir_dbid, const char* name, uint32_t object, uint32_t state, qel_fstat_db_s* dir_fstat,
                    qel_fstat_db_s* obj_fstat, int keep_times, const qel_fstat_time_s* vob_time, uint32_t* cookie) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_link");
    ostrela_db_trans_write_check();
    return ostrela_db_report(link(dir_dbid, name, object, state, dir_fstat, obj_fstat, keep_times, vob_time, cookie),
                             OSTREL_DB_QUIET_NONE, KDB_MSG_LINK, name, dbid_text(dir_dbid));
}

void ostrela_db_fix_dir_modtime(const qel_fstat_time_s* vob_time, qel_fstat_time_s* mtime) {
    qel_fstat_time_s now = ostrela_db_view_time();
    bool vob_ahead = vob_time != nullptr && (now.tv_sec < vob_time->tv_sec ||
                                             (now.tv_sec == vob_time->tv_sec && now.tv_usec < vob_time->tv_usec));
    if (!vob_ahead) {
        *mtime = now;
        return;
    }
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_fix_dir_modtime");
    if (trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_1)) trace.writeTrace("fixing up mtime due to futuristic VOB\n");
    bool old_later = mtime->tv_sec > vob_time->tv_sec ||
                     (mtime->tv_sec == vob_time->tv_sec && mtime->tv_usec > vob_time->tv_usec);
    qel_fstat_time_s later = old_later ? *mtime : *vob_time;
    if (++later.tv_usec > 999999) {
        later.tv_usec -= 1000000;
        ++later.tv_sec;
    }
    *mtime = later;
}
