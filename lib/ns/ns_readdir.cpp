#include "lib/ns/ns_readdir.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ns/ns_fstat.h"
#include "lib/ns/ns_locate.h"
#include "lib/ns/ns_lookup.h"
#include "lib/ns/ns_msg.h"
#include "lib/ns/ns_rpc_frame.h"
#include "lib/ns/ns_server_wait.h"
#include "lib/ns/ns_vob.h"
#include "lib/ns/ostrel_db_ns.h"
#include "lib/ostreladb/ostrel_db.h"
#include "platform/stg/stg.h"

ns_cache_stats_s readdir_cache_stats = {};

namespace {

const char* const SOURCE = "lib/ns/ns_readdir";
constexpr int METADATA_NOT_FOUND = 20002;
// Buckets a listing's name tables start with.
constexpr size_t NAME_TABLE_BUCKETS = 100;
// Bytes of each batch of the view's names.
constexpr unsigned VIEW_BATCH = 4096;
// The name-state bits a directory read reports.
constexpr uint32_t REPORTED_STATE = 0x1f03ff;
// Set in an extended record whose object or name could not be resolved.
constexpr uint32_t UNRESOLVED = 0x8;
// Cookies of "." and ".." and the first cookie after them.
constexpr unsigned COOKIE_DOT = 0;
constexpr unsigned COOKIE_DOT_DOT = 1;
constexpr unsigned COOKIE_ENTRIES = 2;
// An extended read whose resolutions keep changing the listing gives up
// reading it again after this many rounds.
constexpr int EXT_READ_ROUNDS = 4;

// The LRU list's sentinel: lru_next is the most recently used listing.
readdir_root readdir_lru = {nullptr, &readdir_lru, &readdir_lru, nullptr, nullptr, nullptr, 0};

bool threaded(const readdir_root* root) { return root->lru_next != nullptr; }

void lru_unlink(readdir_root* root) {
    if (!threaded(root)) return;
    root->lru_prev->lru_next = root->lru_next;
    root->lru_next->lru_prev = root->lru_prev;
    root->lru_prev = root->lru_next = nullptr;
}

void lru_push(readdir_root* root) {
    root->lru_prev = &readdir_lru;
    root->lru_next = readdir_lru.lru_next;
    readdir_lru.lru_next->lru_prev = root;
    readdir_lru.lru_next = root;
}

bool is_view_cookie(uint32_t cookie) { return cookie >= VIEW_COOKIE_BASE; }

hash_table_t* table_for(readdir_root* root, uint32_t cookie) {
    return is_view_cookie(cookie) ? root->view_names : root->vob_names;
}

readdir_entry* find(const hash_table_t* table, const char* name) {
    readdir_entry* entry = nullptr;
    return hash_str_lookup(table, name, &entry) != 0 ? entry : nullptr;
}

uint32_t entry_size(const readdir_entry* e) {
    return static_cast<uint32_t>(std::strlen(e->name)) + READDIR_ENTRY_SIZE;
}

void unexpected_mtype(const obj_entry* obj) {
    ns_int_error(SOURCE, __LINE__, NS_MSG_UNEXPECTED_MTYPE, static_cast<long>(obj->mtype), obj_2str(obj));
}

bool is_listing_kind(vob_mtype_t mtype) {
    switch (mtype) {
    case 3: case 6: case 8: case 19: case 21: case 22: case 23: case 26: return true;
    default: return false;
    }
}

void make_visible(readdir_entry* e) { e->state = (e->state | READDIR_VISIBLE) & ~READDIR_HIDDEN; }
void make_hidden(readdir_entry* e) { e->state = (e->state | READDIR_HIDDEN) & ~READDIR_VISIBLE; }
bool judged(const readdir_entry* e) { return (e->state & (READDIR_VISIBLE | READDIR_HIDDEN)) != 0; }

// Frees the entries after `after` (null: from the head) that lie in the
// cookie range of one half of the listing: what a fresh read of that half
// did not list again.
void drop_rest_of_half(readdir_root* root, readdir_entry* after, bool view_half) {
    readdir_entry* prev = after;
    readdir_entry* e = after != nullptr ? after->next : root->head;
    while (e != nullptr) {
        readdir_entry* next = e->next;
        if (is_view_cookie(e->cookie) == view_half)
            readdir_entry_free(root, e, prev);
        else
            prev = e;
        e = next;
    }
}

readdir_entry* last_vob_entry(readdir_root* root) {
    readdir_entry* last = nullptr;
    for (readdir_entry* e = root->head; e != nullptr && !is_view_cookie(e->cookie); e = e->next) last = e;
    return last;
}

// Reads the VOB's half of the listing; returns the last entry added.
int read_vob_half(obj_entry* dir, readdir_root* root, readdir_entry** last) {
    std::vector<ostrelagent_dirent> listing;
    int st = Ns_Server_Wait::readdir_obj(dir->vob->uuid, static_cast<unsigned>(dir->dbid), listing);
    if (st != 0 && st != METADATA_NOT_FOUND) return QEL_ST_NO_MEMORY;
    readdir_entry* prev = nullptr;
    for (const ostrelagent_dirent& d : listing) {
        readdir_entry* e = add_next_entry(dir->vob, root, prev, d.name, d.dbid, d.cookie, NAME_VOB);
        if (e == nullptr) return QEL_ST_INTERNAL;
        prev = e;
    }
    drop_rest_of_half(root, prev, false);
    *last = prev;
    return 0;
}

// The dbid a listing shows for one of the view's records: a cover stands for
// the VOB object it covers; 0 when the record is to be left out.
uint32_t listed_dbid(obj_entry* dir, const view_db_readdir_entry* rec) {
    view_vob* vob = dir->vob;
    switch (rec->mtype) {
    case 0:
        return 0;  // a white-out
    case 2: case 3: case 5: case 6: case 7: case 8: case 9: {
        int status = 0;
        obj_entry* obj = locate_dbid(vob, static_cast<int32_t>(rec->inode), 0, &status);
        if (obj != nullptr) {
            uint32_t dbid = static_cast<uint32_t>(obj->dbid);
            obj_free(obj);
            return dbid;
        }
        std::string dir_text = obj_2str(dir);
        ns_error(NS_MSG_TROUBLE_COVER, dir_text.c_str(), rec->name, qel_strerror(status));
        if (status == QEL_ST_STALE) {
            ns_error(NS_MSG_STALE_WHITEOUT, static_cast<unsigned long>(rec->inode), rec->name, dir_text.c_str());
            Ns_Signals_Held held;
            ostrel_db_unlink(nullptr, dir, rec->name, rec->state);
        }
        return 0;
    }
    case 19: case 21: case 22: case 23: case 26:
        return rec->inode;
    default:
        ns_error(NS_MSG_UNEXPECTED_MTYPE, static_cast<long>(rec->mtype), rec->name);
        return 0;
    }
}

// Reads the view's half of the listing after `after`.
int read_view_half(obj_entry* dir, obj_entry* view, readdir_root* root, readdir_entry* after) {
    std::vector<char> buf(VIEW_BATCH);
    int cookie = static_cast<int>(COOKIE_ENTRIES);
    readdir_entry* prev = after;
    for (int end = 0; !end;) {
        unsigned bytes = 0;
        int st = ostrel_db_readdir(view, cookie, buf.data(), VIEW_BATCH, &bytes, &end);
        if (st != 0) return st;
        // Records are copied out first: resolving one may read the database.
        std::vector<std::vector<char>> records;
        for (unsigned at = 0; at < bytes;) {
            const auto* rec = reinterpret_cast<const view_db_readdir_entry*>(buf.data() + at);
            size_t len = view_db_readdir_entry_size(rec->name_len);
            records.emplace_back(buf.data() + at, buf.data() + at + len);
            at += static_cast<unsigned>(len);
        }
        for (const std::vector<char>& bytes_of : records) {
            const auto* rec = reinterpret_cast<const view_db_readdir_entry*>(bytes_of.data());
            cookie = static_cast<int>(rec->cookie);
            uint32_t dbid = listed_dbid(dir, rec);
            if (dbid == 0 && rec->mtype != 0) continue;
            readdir_entry* e = add_next_entry(dir->vob, root, prev, rec->name, dbid, rec->cookie, rec->state);
            if (e == nullptr) return QEL_ST_INTERNAL;
            prev = e;
        }
    }
    drop_rest_of_half(root, prev, true);
    return 0;
}

// The record's object and version fields of an extended record.
void object_fields(obj_entry* obj, obj_entry* version, view_dirent_ext* rec) {
    rec->obj_oid = obj != nullptr ? obj->oid : QEL_OID_NULL;
    rec->obj_mtype = obj != nullptr ? obj->mtype : 0;
    rec->ver_oid = version != nullptr ? version->oid : QEL_OID_NULL;
    rec->ver_mtype = version != nullptr ? version->mtype : 0;
}

// Fills the extended record of "." (`dir` itself) or ".." (its parent).
void dot_fields(obj_entry* dir, obj_entry* self, int ext_name, unsigned options, view_dirent_ext* rec) {
    rec->rule = 0;
    rec->name_state = obj_isa_view_obj(self) ? NAME_RESOLVED : 0;
    if ((options & 0x2) != 0 && !ext_name && self == dir) {
        int status = 0;
        name_entry* nep = lookup_parent(dir, nullptr, 0, 0, &status);
        if (nep != nullptr && nep->ver == dir) {
            rec->name_state = nep->state & REPORTED_STATE;
            rec->rule = nep->rule;
        } else {
            rec->name_state |= UNRESOLVED;
        }
        if (nep != nullptr) lookup_nep_free(nep);
    }
    if (obj_isa_view_obj(self) || ext_name || self->otype == CACHE_COVER_OBJ)
        object_fields(self, nullptr, rec);
    else
        object_fields(obj_2elem(self), self, rec);
}

// Where a directory read writes its records.
class Record_Buffer {
public:
    Record_Buffer(void* buf, unsigned size) : out_(static_cast<char*>(buf)), size_(size) {}
    bool fits(uint32_t reclen) const { return reclen <= size_ - used_; }
    void write(const view_dirent& head, const char* name) { used_ += view_dirent_write(out_ + used_, &head, name); }
    void write(const view_dirent_ext& head, const char* name) {
        used_ += view_dirent_ext_write(out_ + used_, &head, name);
    }
    unsigned used() const { return used_; }

private:
    char* out_;
    unsigned size_;
    unsigned used_ = 0;
};

} // namespace

int readdir_cache_init(unsigned budget) {
    readdir_max = budget;
    return 0;
}

void readdir_cache_flush() {
    while (readdir_lru.lru_prev != &readdir_lru) {
        readdir_dispose(readdir_lru.lru_prev);
        readdir_cache_stats.flushes++;
    }
    if (readdir_cache_stats.size != 0 || readdir_cache_stats.count != 0)
        ns_fatal(SOURCE, __LINE__, "readdir_cache_stats.size == 0 && readdir_cache_stats.count == 0");
}

void readdir_entry_free(readdir_root* root, readdir_entry* entry, readdir_entry* prev) {
    readdir_entry** link = prev != nullptr ? &prev->next : &root->head;
    if (*link != entry) {
        ns_error(NS_MSG_HASH_FREE);
        return;
    }
    *link = entry->next;
    hash_table_t* table = table_for(root, entry->cookie);
    if (find(table, entry->name) == entry && hash_str_free(table, entry->name) != 0) ns_error(NS_MSG_HASH_FREE);
    readdir_cache_stats.size -= entry_size(entry);
    root->flags &= ~READDIR_VISIBILITY;
    stg_free(entry);
}

void readdir_dispose(readdir_root* root) {
    while (root->head != nullptr) readdir_entry_free(root, root->head, nullptr);
    hash_delete_ht(root->view_names);
    hash_delete_ht(root->vob_names);
    lru_unlink(root);
    root->dir->readdir_list = nullptr;
    obj_free(root->dir);
    readdir_cache_stats.size -= READDIR_ROOT_SIZE;
    readdir_cache_stats.count--;
    stg_free(root);
}

readdir_entry* add_next_entry(view_vob*, readdir_root* root, readdir_entry* after, const char* name, uint32_t dbid,
                              uint32_t cookie, uint32_t state) {
    readdir_entry* prev = after;
    readdir_entry* e = after != nullptr ? after->next : root->head;
    while (e != nullptr && e->cookie <= cookie) {
        readdir_entry* next = e->next;
        if (e->cookie == cookie && e->dbid == dbid && std::strcmp(e->name, name) == 0) {
            if (e->state != state) {
                e->state = state;
                root->flags &= ~READDIR_VISIBILITY;
            }
            return e;
        }
        readdir_entry_free(root, e, prev);
        e = next;
    }
    size_t len = std::strlen(name);
    auto* fresh = static_cast<readdir_entry*>(stg_malloc(offsetof(readdir_entry, name) + len + 1));
    if (fresh == nullptr) {
        ns_int_error(SOURCE, __LINE__, NS_MSG_NO_MEMORY);
        return nullptr;
    }
    fresh->dbid = dbid;
    fresh->cookie = cookie;
    fresh->state = state;
    std::memcpy(fresh->name, name, len + 1);
    fresh->next = e;
    if (prev != nullptr)
        prev->next = fresh;
    else
        root->head = fresh;
    if (hash_str_enter(table_for(root, cookie), fresh->name, &fresh) != 0) ns_error(NS_MSG_HASH_ADD);
    root->flags &= ~READDIR_VISIBILITY;
    readdir_cache_stats.size += entry_size(fresh);
    return fresh;
}

readdir_root* readdir_get(obj_entry* dir, int* status) {
    *status = 0;
    readdir_cache_stats.requests++;
    readdir_root* root = dir->readdir_list;
    if (root == nullptr) {
        root = static_cast<readdir_root*>(stg_malloc(sizeof(readdir_root)));
        if (root == nullptr) {
            ns_int_error(SOURCE, __LINE__, NS_MSG_NO_MEMORY);
            *status = QEL_ST_INTERNAL;
            return nullptr;
        }
        *root = readdir_root{dir, nullptr, nullptr, hash_str_create(NAME_TABLE_BUCKETS, sizeof(readdir_entry*)),
                             hash_str_create(NAME_TABLE_BUCKETS, sizeof(readdir_entry*)), nullptr, 0};
        if (root->view_names != nullptr) hash_set_dynamic(root->view_names, 1);
        if (root->vob_names != nullptr) hash_set_dynamic(root->vob_names, 1);
        readdir_cache_stats.size += READDIR_ROOT_SIZE;
        readdir_cache_stats.count++;
        obj_inc_ref(dir);
        dir->readdir_list = root;
        if (root->view_names == nullptr || root->vob_names == nullptr) {
            ns_int_error(SOURCE, __LINE__, NS_MSG_NO_MEMORY);
            readdir_dispose(root);
            *status = QEL_ST_INTERNAL;
            return nullptr;
        }
    } else {
        lru_unlink(root);
        if ((root->flags & (READDIR_VOB_COMPLETE | READDIR_VIEW_COMPLETE)) ==
            (READDIR_VOB_COMPLETE | READDIR_VIEW_COMPLETE)) {
            readdir_cache_stats.hits++;
            return root;
        }
    }
    if (!is_listing_kind(dir->mtype)) {
        unexpected_mtype(dir);
        readdir_dispose(root);
        *status = QEL_ST_INTERNAL;
        return nullptr;
    }
    readdir_entry* after = nullptr;
    if (!obj_isa_view_obj(dir)) {
        *status = (root->flags & READDIR_VOB_COMPLETE) != 0 ? 0 : read_vob_half(dir, root, &after);
        if ((root->flags & READDIR_VOB_COMPLETE) != 0) after = last_vob_entry(root);
    }
    if (*status == 0) {
        obj_entry* view = obj_2view_obj(dir);
        if (view == nullptr)
            drop_rest_of_half(root, after, true);
        else if ((root->flags & READDIR_VIEW_COMPLETE) == 0)
            *status = read_view_half(dir, view, root, after);
    }
    if (*status != 0) {
        readdir_dispose(root);
        return nullptr;
    }
    root->flags |= READDIR_VOB_COMPLETE | READDIR_VIEW_COMPLETE;
    while (readdir_cache_stats.size > readdir_max && readdir_lru.lru_prev != &readdir_lru) {
        readdir_dispose(readdir_lru.lru_prev);
        readdir_cache_stats.ejects++;
    }
    return root;
}

void readdir_put(readdir_root* root) {
    lru_unlink(root);
    lru_push(root);
}

unsigned readdir_lookup_name(obj_entry* dir, const char* name, unsigned* vob_dbid, unsigned* view_dbid,
                             unsigned* state) {
    readdir_cache_stats.requests++;
    readdir_root* root = dir->readdir_list;
    if (root == nullptr) return 0;
    unsigned complete = root->flags & (READDIR_VOB_COMPLETE | READDIR_VIEW_COMPLETE);
    if (complete != 0) readdir_cache_stats.hits++;
    if ((complete & READDIR_VOB_COMPLETE) != 0) {
        if (readdir_entry* e = find(root->vob_names, name)) {
            *vob_dbid = e->dbid;
            *state |= NAME_VOB;
        }
    }
    if ((complete & READDIR_VIEW_COMPLETE) != 0) {
        if (readdir_entry* e = find(root->view_names, name)) {
            *view_dbid = e->dbid;
            *state |= e->state & NAME_FROM_VIEW;
        }
    }
    return complete;
}

void readdir_invalidate_name(obj_entry* dir, const char* name, unsigned how) {
    readdir_root* root = dir->readdir_list;
    if (root == nullptr) return;
    if ((how & READDIR_INVALIDATE_VIEW) != 0) root->flags &= ~READDIR_VIEW_COMPLETE;
    if ((how & READDIR_INVALIDATE_VOB) != 0) root->flags &= ~READDIR_VOB_COMPLETE;
    root->flags &= ~READDIR_VISIBILITY;
    bool all = name == nullptr || name[0] == '\0';
    for (readdir_entry* e = root->head; e != nullptr; e = e->next)
        if (all || std::strcmp(e->name, name) == 0) e->state &= ~(READDIR_VISIBLE | READDIR_HIDDEN);
    readdir_cache_stats.flushes++;
}

int duplicate_name_eval(obj_entry* dir, readdir_entry* vob_entry, readdir_entry* view_entry) {
    readdir_root* root = dir->readdir_list;
    // Judging may change the listing: keep what is needed, find both again.
    std::string name = vob_entry->name;
    uint32_t state = (view_entry->state & NAME_FROM_VIEW) | (vob_entry->state & NAME_VOB);
    int status = 0;
    name_entry* nep = cm_name(dir, "duplicate_name_eval", name.c_str(), vob_entry->dbid, view_entry->dbid, state,
                              &status);
    if (nep == nullptr) {
        std::string dir_text = obj_2str(dir);
        ns_error(NS_MSG_LOOKUP_FAILED, name.c_str(), dir_text.c_str(), qel_strerror(status));
        return status;
    }
    readdir_entry* vob_e = root != nullptr ? find(root->vob_names, name.c_str()) : nullptr;
    readdir_entry* view_e = root != nullptr ? find(root->view_names, name.c_str()) : nullptr;
    if (vob_e != nullptr && view_e != nullptr) {
        if ((nep->state & NAME_RESOLVED) != 0) {
            make_visible(view_e);
            make_hidden(vob_e);
        } else {
            make_visible(vob_e);
            make_hidden(view_e);
        }
        vob_e->state = (vob_e->state & ~0x200u) | (nep->state & 0x200u);
    }
    lookup_nep_free(nep);
    return 0;
}

int readdir_visibility_eval(obj_entry* dir, readdir_root* root) {
    switch (dir->mtype) {
    case 3: case 19: case 21: case 22: case 23: case 26: break;
    default:
        unexpected_mtype(dir);
        return QEL_ST_INTERNAL;
    }
    while ((root->flags & READDIR_VISIBILITY) == 0) {
        root->flags |= READDIR_VISIBILITY;
        for (readdir_entry* e = root->head; e != nullptr; e = e->next) {
            if (is_view_cookie(e->cookie)) {
                if (!judged(e)) make_visible(e);
                continue;
            }
            readdir_entry* view_e = find(root->view_names, e->name);
            if (view_e == nullptr) {
                make_visible(e);
                continue;
            }
            if (judged(e) && judged(view_e)) continue;
            int status = duplicate_name_eval(dir, e, view_e);
            if (status != 0) {
                root->flags &= ~READDIR_VISIBILITY;
                return status;
            }
            // A judgement that changed the listing starts the pass again.
            if ((root->flags & READDIR_VISIBILITY) == 0) break;
        }
    }
    return 0;
}

int readdir_view_add(obj_entry* dir, uint32_t dbid, const char* name, int cookie, unsigned state) {
    readdir_root* root = dir->readdir_list;
    if (root == nullptr) return 0;
    uint32_t at = static_cast<uint32_t>(cookie);
    readdir_entry* after = nullptr;
    for (readdir_entry* e = root->head; e != nullptr && e->cookie < at; e = e->next) after = e;
    readdir_entry* added = add_next_entry(dir->vob, root, after, name, dbid, at, state);
    if (added == nullptr) return QEL_ST_NO_MEMORY;
    readdir_entry* vob_e = find(root->vob_names, name);
    if (vob_e == nullptr || (judged(vob_e) && judged(added))) return 0;
    vob_e->state &= ~(READDIR_VISIBLE | READDIR_HIDDEN);
    added->state &= ~(READDIR_VISIBLE | READDIR_HIDDEN);
    int status = duplicate_name_eval(dir, vob_e, added);
    if (status != 0) root->flags &= ~READDIR_VISIBILITY;
    return status;
}

void readdir_view_rm(obj_entry* dir, const char* name, unsigned state) {
    readdir_root* root = dir->readdir_list;
    if (root == nullptr || root->head == nullptr || root->flags == 0) return;
    readdir_entry* e = find(root->view_names, name);
    if (e == nullptr) return;
    if ((state & NAME_FROM_VIEW) == 0 && find(root->vob_names, name) == nullptr) {
        readdir_entry* prev = nullptr;
        for (readdir_entry* p = root->head; p != nullptr && p != e; p = p->next) prev = p;
        readdir_entry_free(root, e, prev);
        return;
    }
    readdir_invalidate_name(dir, name, READDIR_INVALIDATE_VIEW);
}

int ns_readdir_get_parent_name(obj_entry* dir, obj_entry* obj, unsigned size, char* buf) {
    auto copy = [&](const char* name) {
        size_t len = std::strlen(name);
        if (len + 1 > size) return QEL_ST_TOO_LONG;
        std::memcpy(buf, name, len + 1);
        return 0;
    };
    uint32_t dbid = static_cast<uint32_t>(obj->dbid);
    uint32_t elem_dbid = obj->otype == CACHE_VER_OBJ || obj->otype == CACHE_ATTACHED_OBJ
                             ? static_cast<uint32_t>(obj_2elem(obj)->dbid)
                             : dbid;
    readdir_root* root = dir->readdir_list;
    if (root != nullptr && (root->flags & (READDIR_VOB_COMPLETE | READDIR_VIEW_COMPLETE)) ==
                               (READDIR_VOB_COMPLETE | READDIR_VIEW_COMPLETE)) {
        for (readdir_entry* e = root->head; e != nullptr; e = e->next)
            if (e->dbid == dbid || e->dbid == elem_dbid) return copy(e->name);
        return QEL_ST_NOT_FOUND;
    }
    if (obj_isa_view_obj(dir)) {
        unsigned parent = 0;
        char name[OSTREL_DB_NAME_BUF];
        int status = ostrel_db_find_parent(obj, &parent, name);
        if (status != 0) return status;
        return parent == static_cast<uint32_t>(dir->dbid) ? copy(name) : QEL_ST_NOT_FOUND;
    }
    std::vector<ostrelagent_dirent> listing;
    int st = Ns_Server_Wait::readdir_obj(dir->vob->uuid, static_cast<unsigned>(dir->dbid), listing);
    if (st != 0 && st != METADATA_NOT_FOUND) return QEL_ST_NO_MEMORY;
    for (const ostrelagent_dirent& d : listing)
        if (d.dbid == dbid || d.dbid == elem_dbid) return copy(d.name);
    return QEL_ST_NOT_FOUND;
}

int ns_readdir(view_fhandle* fh, unsigned cookie, unsigned size, unsigned* next, unsigned* bytes, int* end,
               view_dirent* buf) {
    return ns_operation("ns_readdir", [&](Ns_Rpc_Frame& frame) -> int {
        int ext_name = 0, status = 0;
        *bytes = 0;
        *end = 0;
        *next = cookie;
        obj_entry* dir = frame.validate(fh, &ext_name, &status);
        if (dir == nullptr) return status;
        view_vstat dir_vstat;
        if ((status = fstat_vstat(dir, ext_name, &dir_vstat)) != 0) return status;
        Record_Buffer out(buf, size);
        unsigned at = cookie;
        if (at == COOKIE_DOT) {
            view_dirent dot{dir_vstat.fstat.nodeid, COOKIE_DOT_DOT, 0, 1};
            if (!out.fits(view_dirent_reclen(1))) return QEL_ST_INVALID;
            out.write(dot, ".");
            *next = at = COOKIE_DOT_DOT;
        }
        if (at == COOKIE_DOT_DOT) {
            if (!out.fits(view_dirent_reclen(2))) {
                *bytes = out.used();
                return out.used() == 0 ? QEL_ST_INVALID : 0;
            }
            int flag = 0;
            obj_entry* parent = lookup_dot_dot(dir, ext_name, &flag, &status);
            if (parent == nullptr) return status;
            view_vstat parent_vstat;
            status = fstat_vstat(parent, ext_name, &parent_vstat);
            obj_free(parent);
            if (status != 0) return status;
            view_dirent dot_dot{parent_vstat.fstat.nodeid, COOKIE_ENTRIES, 0, 2};
            out.write(dot_dot, "..");
            *next = at = COOKIE_ENTRIES;
        }
        readdir_root* root = readdir_get(dir, &status);
        if (root == nullptr) return status;
        if (!ext_name && (status = readdir_visibility_eval(dir, root)) != 0) {
            readdir_put(root);
            return status;
        }
        bool walked_off = true;
        for (readdir_entry* e = root->head; e != nullptr; e = e->next) {
            if (e->cookie <= at) continue;
            if (ext_name && is_view_cookie(e->cookie)) break;  // extended naming shows the VOB's names only
            if ((!ext_name && (e->state & READDIR_VISIBLE) == 0) || e->dbid == 0) continue;
            uint16_t len = static_cast<uint16_t>(std::strlen(e->name));
            if (!out.fits(view_dirent_reclen(len))) {
                walked_off = false;
                break;
            }
            out.write(view_dirent{e->dbid, e->cookie, 0, len}, e->name);
            *next = e->cookie;
        }
        readdir_put(root);
        *end = walked_off ? 1 : 0;
        *bytes = out.used();
        return out.used() == 0 && !walked_off ? QEL_ST_INVALID : 0;
    });
}

int ns_readdir_ext(view_fhandle* fh, unsigned cookie, const char* name, unsigned options, unsigned size,
                   unsigned* next, unsigned* bytes, int* end, view_dirent_ext* buf) {
    return ns_operation("ns_readdir_ext", [&](Ns_Rpc_Frame& frame) -> int {
        int ext_name = 0, status = 0;
        *bytes = 0;
        *end = 0;
        *next = cookie;
        obj_entry* dir = frame.validate(fh, &ext_name, &status);
        if (dir == nullptr) return status;
        view_vstat dir_vstat;
        if ((status = acl_check(dir, ext_name, &dir_vstat, ACL_READ, 1)) != 0) {
            frame.trace().writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "ns_view_readdir_ext got %d from acl_check\n", status);
            return status;
        }
        bool one_name = name != nullptr && name[0] != '\0';
        for (int round = 0; round < EXT_READ_ROUNDS; ++round) {
            Record_Buffer out(buf, size);
            unsigned at = cookie;
            *next = cookie;
            bool stopped = false;
            if (at == COOKIE_DOT) {
                if (!one_name || std::strcmp(name, ".") == 0) {
                    view_dirent_ext dot{};
                    dot.ino = dir_vstat.fstat.nodeid;
                    dot.off = COOKIE_DOT_DOT;
                    dot.namlen = 1;
                    dot_fields(dir, dir, ext_name, options, &dot);
                    if (out.fits(view_dirent_ext_reclen(1))) {
                        out.write(dot, ".");
                        *next = COOKIE_DOT_DOT;
                    } else {
                        stopped = true;
                    }
                }
                at = COOKIE_DOT_DOT;
            }
            if (!stopped && at == COOKIE_DOT_DOT) {
                if (!one_name || std::strcmp(name, "..") == 0) {
                    view_dirent_ext dot_dot{};
                    dot_dot.off = COOKIE_ENTRIES;
                    dot_dot.namlen = 2;
                    int flag = 0;
                    obj_entry* parent = lookup_dot_dot(dir, ext_name, &flag, &status);
                    view_vstat parent_vstat{};
                    if (parent != nullptr && fstat_vstat(parent, ext_name, &parent_vstat) == 0) {
                        dot_dot.ino = parent_vstat.fstat.nodeid;
                        dot_fields(dir, parent, ext_name, options, &dot_dot);
                    } else {
                        dot_dot.name_state = UNRESOLVED;
                    }
                    obj_free(parent);
                    if (out.fits(view_dirent_ext_reclen(2))) {
                        out.write(dot_dot, "..");
                        *next = COOKIE_ENTRIES;
                    } else {
                        stopped = true;
                    }
                }
                at = COOKIE_ENTRIES;
            }
            bool walked_off = !stopped;
            if (!stopped) {
                readdir_root* root = readdir_get(dir, &status);
                if (root == nullptr) return status;
                if (!ext_name && (status = readdir_visibility_eval(dir, root)) != 0) {
                    readdir_put(root);
                    return status;
                }
                for (readdir_entry* e = root->head; e != nullptr; e = e->next) {
                    if (e->cookie <= at) continue;
                    if (ext_name && is_view_cookie(e->cookie)) break;
                    if ((!ext_name && (e->state & READDIR_VISIBLE) == 0) || e->dbid == 0) continue;
                    if (one_name && std::strcmp(e->name, name) != 0) continue;
                    uint16_t len = static_cast<uint16_t>(std::strlen(e->name));
                    if (!out.fits(view_dirent_ext_reclen(len))) {
                        walked_off = false;
                        break;
                    }
                    view_dirent_ext rec{};
                    rec.ino = e->dbid;
                    rec.off = e->cookie;
                    rec.namlen = len;
                    rec.name_state = ext_name ? 0 : e->state & REPORTED_STATE;
                    if (options != 0) {
                        std::string entry_name = e->name;
                        uint32_t entry_dbid = e->dbid;
                        bool resolve = !ext_name && (e->state & READDIR_VISIBLE) != 0;
                        obj_entry* obj = locate_dbid(dir->vob, static_cast<int32_t>(entry_dbid), 0, &status);
                        if (obj == nullptr) rec.name_state |= UNRESOLVED;
                        object_fields(obj, nullptr, &rec);
                        obj_free(obj);
                        if (resolve) {
                            name_entry* nep = lookup_cm_name(dir, "ns_readdir_ext", entry_name.c_str(), &status);
                            if (nep == nullptr) {
                                std::string dir_text = obj_2str(dir);
                                ns_error(NS_MSG_LOOKUP_FAILED, entry_name.c_str(), dir_text.c_str(),
                                         qel_strerror(status));
                                rec.name_state |= UNRESOLVED;
                            } else {
                                rec.rule = nep->rule;
                                rec.name_state = nep->state & REPORTED_STATE;
                                if ((nep->state & VIEW_NAME_STATE_NOT_VISIBLE) == 0) {
                                    rec.ver_oid = nep->ver->oid;
                                    rec.ver_mtype = nep->ver->mtype;
                                }
                                lookup_nep_free(nep);
                            }
                        }
                        // Resolving may have changed the listing under the walk.
                        if ((root->flags & (READDIR_VOB_COMPLETE | READDIR_VIEW_COMPLETE | READDIR_VISIBILITY)) !=
                            (READDIR_VOB_COMPLETE | READDIR_VIEW_COMPLETE | READDIR_VISIBILITY)) {
                            walked_off = false;
                            break;
                        }
                    }
                    out.write(rec, e->name);
                    *next = e->cookie;
                }
                bool changed = (root->flags & (READDIR_VOB_COMPLETE | READDIR_VIEW_COMPLETE | READDIR_VISIBILITY)) !=
                               (READDIR_VOB_COMPLETE | READDIR_VIEW_COMPLETE | READDIR_VISIBILITY);
                readdir_put(root);
                if (changed && round + 1 < EXT_READ_ROUNDS) continue;
            }
            *end = walked_off ? 1 : 0;
            *bytes = out.used();
            return out.used() == 0 && !walked_off ? QEL_ST_INVALID : 0;
        }
        return 0;
    });
}

void print_dir_cache() {
    ns_dump("readdir cache \n%-24s %-10s %-10s %-6s %s\n", "name", "state", "dbid", "thread", "lru ");
    int position = 0;
    for (readdir_root* root = readdir_lru.lru_next; root != &readdir_lru; root = root->lru_next, ++position) {
        for (const readdir_entry* e = root->head; e != nullptr; e = e->next)
            ns_dump("%-24s 0x%08lx 0x%08lx %-6d %d\n", e->name, static_cast<unsigned long>(e->state),
                    static_cast<unsigned long>(e->dbid), threaded(root) ? 1 : 0, position);
    }
}
