// The view's names in bulk: the view-private files of a VOB or of all, and
// the inventory that hands out the names of one directory, or of every
// directory, in batches that resume where the last one stopped.
#include <cstring>
#include <vector>

#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"

namespace {

// The kind of a view-private file or directory.
constexpr uint32_t MTYPE_VIEW_PRIVATE = 0x13;

bool is_null(const qel_uuid_s* uuid) { return qel_uuid_eq(uuid, &QEL_UUID_NULL); }

// A name of a directory, current and read: what it names and its state.
struct Name {
    db_dir_ent ent;
    uint32_t object = 0;  // 0 for a white-out
    uint32_t state = 0;
};

int read_name(const char* object, Name* name) {
    int status = ostrela_db_engine(dt_recread(&name->ent, &view_db_task, VDB), "D_RECREAD", object);
    if (status == 0) status = ostrela_db_dir_entry_object(&name->object);
    if (status == 0) name->state = ostrela_db_dir_entry_state(name->ent.name_state, name->object == 0);
    return status;
}

// ---- view-private files ------------------------------------------------------------------

// Appends the view-private name `name` (current) unless the query passes it
// over: another VOB (`vob` 0: any), a detached, hijacked or white-out name,
// or an object of another kind.
int add_private(const Name& name, db_address vob, const qel_uuid_s* uuid, uint32_t mtype,
                std::vector<ostrelagent_hijack_co_info>& list) {
    if ((vob != 0 && name.ent.vob_dba != vob) || name.object == 0 || mtype != MTYPE_VIEW_PRIVATE ||
        (name.state & (DIR_ENT_STATE_DETACHED | DIR_ENT_STATE_HIJACKED)) != 0)
        return 0;
    ostrelagent_hijack_co_info info;
    char path[QEL_PNAME_MAX];
    int status = ostrela_db_dir_string_read(&name.ent, path, OSTREL_DB_NAME_BUF);
    // The path below the enclosing VOB directory, whose oid is the
    // directory's.
    if (status == 0) status = ostrela_db_inode_get_dir_name(name.ent.dir_dba, path, &info.directory);
    if (status == 0 && vob != 0) info.identity = *uuid;
    if (status == 0 && vob == 0) status = ostrela_db_vob_get_uuid(ostrela_db_dba2dbid(name.ent.vob_dba), &info.identity);
    if (status == 0) {
        info.name = path;
        list.push_back(info);
    }
    return status;
}

// Every name in record order.
int privates_by_name(db_address vob, const qel_uuid_s* uuid, std::vector<ostrelagent_hijack_co_info>& list) {
    return ostrela_db_scan_records(DB_DIR_ENT, 0, "FIND_PRIV_DIR", [&](db_address) {
        Name name;
        uint32_t mtype = 0;
        int status = read_name("FIND_PRIV_DIR", &name);
        if (status == 0 && name.object != 0)
            status = ostrela_db_engine(dt_csoread(INODE_OID_SET, INODE_MTYPE, &mtype, &view_db_task, VDB),
                                       "D_CSOREAD", "FIND_PRIV_DIR_2");
        return status != 0 ? status : add_private(name, vob, uuid, mtype, list);
    });
}

// Every view-private inode in record order, and its names.
int privates_by_object(db_address vob, const qel_uuid_s* uuid, std::vector<ostrelagent_hijack_co_info>& list) {
    std::vector<db_address> inodes;
    int status = ostrela_db_scan_records(DB_INODE, 0, "FIND_PRIV_INODE", [&](db_address record) {
        uint32_t mtype = 0;
        int s = ostrela_db_engine(dt_crread(INODE_MTYPE, &mtype, &view_db_task, VDB), "D_CRREAD", "FIND_PRIV_INODE");
        if (s == 0 && mtype == MTYPE_VIEW_PRIVATE) inodes.push_back(record);
        return s;
    });
    if (status != QEL_ST_NOT_FOUND) return status;
    for (db_address inode : inodes) {
        // Its names first: making each one's path walks other inodes' names.
        std::vector<db_address> names;
        status = ostrela_db_walk_inode(ostrela_db_dba2dbid(inode), [&names](int type, db_address member) {
            if (type == DB_DIR_ENT) names.push_back(member);
            return OSTREL_DB_WALK_ON;
        });
        if (status != QEL_ST_NOT_FOUND) return status;
        for (db_address at : names) {
            Name name;
            status = ostrela_db_engine(dt_crset(&at, &view_db_task, VDB), "D_CRSET", "FIND_PRIV_INODE_2");
            if (status == 0) status = read_name("FIND_PRIV_INODE_2", &name);
            if (status == 0) status = add_private(name, vob, uuid, MTYPE_VIEW_PRIVATE, list);
            if (status != 0) return status;
        }
    }
    return QEL_ST_NOT_FOUND;
}

// ---- inventory --------------------------------------------------------------------------

// The caller's buffer as the names are packed into it.
struct Packing {
    char* buf;
    size_t size;
    size_t bytes = 0;

    // An entry never fills the buffer exactly.
    bool fits(size_t name_len) const { return view_inv_entry_size(name_len) < size - bytes; }
    // Packs the current name read into `name`.
    int pack(uint32_t cursor, const qel_uuid_s& uuid, const qel_oid_s& dir, const Name& name, const qel_oid_s& obj) {
        size_t need = view_inv_entry_size(name.ent.name_len);
        char* at = buf + bytes;
        std::memset(at, 0, need);
        int status = ostrela_db_dir_string_read(&name.ent, at + VIEW_INV_ENTRY_HEAD, need - VIEW_INV_ENTRY_HEAD);
        if (status != 0) return status;
        view_inv_entry head{cursor, uuid, dir, name.state, obj, name.ent.name_len, {}};
        std::memcpy(at, &head, VIEW_INV_ENTRY_HEAD);
        bytes += need;
        return 0;
    }
};

// Whether the filter takes the name; the name's object's kind is `mtype`.
bool selected(int filter, const Name& name, uint32_t mtype) {
    if (filter == 0) return true;
    if (name.state & DIR_ENT_STATE_DETACHED) return (filter & VIEW_INV_DETACHED) != 0;
    if (name.state & DIR_ENT_STATE_HIJACKED) return (filter & VIEW_INV_HIJACKED) != 0;
    bool file = name.object != 0 && (mtype == 6 || mtype == 9 || mtype == 21 || mtype == 22 || mtype == 26);
    return (filter & (file ? VIEW_INV_FILES : VIEW_INV_OTHERS)) != 0;
}

// The object that the current name read into `name` names: its oid and kind
// (null and 0 for a white-out).
int named(const Name& name, qel_oid_s* oid, uint32_t* mtype) {
    *oid = QEL_OID_NULL;
    *mtype = 0;
    if (name.object == 0) return 0;
    int status = ostrela_db_engine(dt_csoread(INODE_OID_SET, INODE_OID, oid, &view_db_task, VDB), "D_CSOREAD", "DB_INODE");
    if (status == 0)
        status = ostrela_db_engine(dt_csoread(INODE_OID_SET, INODE_MTYPE, mtype, &view_db_task, VDB), "D_CSOREAD",
                                   "DB_INODE");
    return status;
}

struct Inventory {
    Packing out;
    int filter;
    uint32_t next;
    int end = 0;
};

// The names of the directory at `dir`, in key order from the first hash
// above `cursor` (from the first name for 0); each name's cursor is its
// hash. A batch never ends inside a run of equal hashes, which the cursor
// could not resume: it ends before the run, and a run that does not fit an
// empty buffer is 1084. The names of hash 0 go with the run after them,
// since cursor 0 means the first name.
int by_directory(db_address dir, const qel_uuid_s& uuid, const qel_oid_s& dir_oid, uint32_t cursor,
                 Inventory* inv) {
    db_dir_ent_key key{dir, cursor};
    int st = dt_keyfind(DIR_ENT_KEY, &key, &view_db_task, VDB);
    bool skip_cursor = st == S_OKAY && cursor != 0;
    if (st == S_NOTFOUND) st = dt_keynext(DIR_ENT_KEY, &view_db_task, VDB);
    bool in_run = false;
    uint32_t run = 0;
    size_t boundary = 0;  // the bytes up to the last run that may end a batch
    for (; st == S_OKAY; st = dt_keynext(DIR_ENT_KEY, &view_db_task, VDB)) {
        Name name;
        int status = read_name("DB_DIR_ENT", &name);
        if (status != 0) return status;
        if (name.ent.dir_dba != dir) break;
        if (skip_cursor && name.ent.hash == cursor) continue;
        if (!in_run || name.ent.hash != run) {
            // The run before this name is complete.
            if (in_run && run != 0) {
                boundary = inv->out.bytes;
                inv->next = run;
            }
            in_run = true;
            run = name.ent.hash;
        }
        qel_oid_s obj;
        uint32_t mtype = 0;
        if ((status = named(name, &obj, &mtype)) != 0) return status;
        if (!selected(inv->filter, name, mtype)) continue;
        if (!inv->out.fits(name.ent.name_len)) {
            inv->out.bytes = boundary;
            return boundary == 0 ? QEL_ST_TOO_LONG : 0;
        }
        if ((status = inv->out.pack(name.ent.hash, uuid, dir_oid, name, obj)) != 0) return status;
    }
    if (st != S_OKAY && st != S_NOTFOUND) return ostrela_kesto_err("D_KEYNEXT", "DB_DIR_ENT", st);
    if (in_run) inv->next = run;
    inv->end = 1;
    return 0;
}

// Every name in record order after `cursor`, those of the directory
// `dir_oid` or of the VOB at `vob` when given; each name's cursor is its
// record's address.
int by_record(db_address vob, const qel_oid_s& dir_oid, uint32_t cursor, Inventory* inv) {
    // The directory of the names before: names of one directory come in runs.
    db_address dir = 0;
    qel_oid_s oid{};
    qel_uuid_s uuid{};
    uint32_t dir_vob = 0;
    int status = ostrela_db_scan_records(DB_DIR_ENT, cursor, "DB_DIR_ENT", [&](db_address record) {
        Name name;
        int s = read_name("DB_DIR_ENT", &name);
        if (s == 0 && name.ent.dir_dba != dir) {
            s = ostrela_db_inode_read(ostrela_db_dba2dbid(name.ent.dir_dba), nullptr, &oid, nullptr, nullptr, &dir_vob);
            if (s == 0 && (s = ostrela_db_vob_get_uuid(dir_vob, &uuid)) != 0)
                ostrela_db_report(s, OSTREL_DB_QUIET_NONE, KDB_MSG_VOB_GET_UUID, static_cast<unsigned long>(dir_vob));
            if (s != 0) return s;
            dir = name.ent.dir_dba;
        }
        qel_oid_s obj;
        uint32_t mtype = 0;
        if (s == 0) s = named(name, &obj, &mtype);
        if (s != 0) return s;
        bool wanted = (qel_oid_eq(&dir_oid, &QEL_OID_NULL) || qel_oid_eq(&dir_oid, &oid)) &&
                      (vob == 0 || ostrela_db_dbid2dba(dir_vob) == vob) && selected(inv->filter, name, mtype);
        if (wanted) {
            if (!inv->out.fits(name.ent.name_len)) return inv->out.bytes == 0 ? QEL_ST_TOO_LONG : OSTREL_DB_WALK_STOP;
            // Packing reads a long name: the name must be current again.
            s = ostrela_db_engine(dt_crset(&record, &view_db_task, VDB), "D_CRSET", "DB_DIR_ENT");
            if (s == 0) s = inv->out.pack(record, uuid, oid, name, obj);
        }
        if (s == 0) inv->next = record;
        return s;
    });
    if (status == QEL_ST_NOT_FOUND) {
        inv->end = 1;
        status = 0;
    }
    return status;
}

int inventory(uint32_t cursor, const qel_uuid_s* uuid, const qel_oid_s* dir_oid, Inventory* inv) {
    uint32_t vob = 0;
    if (!is_null(uuid)) {
        int status = ostrela_db_vob_lookup(uuid, &vob);
        if (status == QEL_ST_NOT_FOUND) {
            inv->end = 1;
            return 0;
        }
        if (status != 0) return status;
        uint32_t dir = 0;
        if (!qel_oid_eq(dir_oid, &QEL_OID_NULL) && ostrela_db_inode_lookup(vob, dir_oid, &dir) == 0)
            return by_directory(ostrela_db_dbid2dba(dir), *uuid, *dir_oid, cursor, inv);
    }
    return by_record(vob != 0 ? ostrela_db_dbid2dba(vob) : 0, *dir_oid, cursor, inv);
}

} // namespace

int ostrela_db_find_privates(const qel_uuid_s* uuid, std::vector<ostrelagent_hijack_co_info>& list, int mode) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_find_privates");
    ostrela_db_trans_read_check();
    uint32_t vob = 0;
    if (!is_null(uuid)) {
        int status = ostrela_db_vob_lookup(uuid, &vob);
        if (status != 0) return status;
    }
    db_address dba = vob != 0 ? ostrela_db_dbid2dba(vob) : 0;
    int status = mode != 0 ? privates_by_name(dba, uuid, list) : privates_by_object(dba, uuid, list);
    return status == QEL_ST_NOT_FOUND ? 0 : status;
}

int ostrela_db_inventory(uint32_t cursor, const qel_uuid_s* uuid, const qel_oid_s* dir_oid, int filter, size_t size,
                         void* buf, size_t* bytes, uint32_t* next, int* end) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_inventory");
    ostrela_db_trans_read_check();
    Inventory inv{{static_cast<char*>(buf), size}, filter, cursor};
    int status = inventory(cursor, uuid, dir_oid, &inv);
    *bytes = inv.out.bytes;
    *next = inv.next;
    *end = inv.end;
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_INVENTORY, static_cast<unsigned long>(cursor));
}

// ---- transactions of their own -----------------------------------------------------------

int ostrel_inventory(const void*, unsigned cursor, const qel_uuid_s* uuid, const qel_oid_s* dir_oid, int filter,
                     unsigned size, void* buf, unsigned* bytes, unsigned* next, int* end) {
    size_t packed = 0;
    int status = ostrel_db_traced_transaction("ostrel_inventory", 0, [&] {
        return ostrela_db_inventory(cursor, uuid, dir_oid, filter, size, buf, &packed, next, end);
    });
    *bytes = status == 0 ? static_cast<unsigned>(packed) : 0;
    static constexpr int quiet[] = {QEL_ST_READ_ONLY_STATE, 0};
    return ostrel_db_report(status, quiet, DBU_MSG_INVENTORY);
}

int ostrel_db_find_privates(const qel_uuid_s* uuid, std::vector<ostrelagent_hijack_co_info>& list, int mode) {
    return ostrel_db_find_names("ostrel_db_find_privates", DBU_MSG_FIND_PRIVATES, list,
                                [&] { return ostrela_db_find_privates(uuid, list, mode); });
}
