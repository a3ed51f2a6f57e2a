#include "lib/ns/ns_lookup.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ns/ns_event_stats.h"
#include "lib/ns/ns_fstat.h"
#include "lib/ns/ns_locate.h"
#include "lib/ns/ns_msg.h"
#include "lib/ns/ns_readdir.h"
#include "lib/ns/ns_rpc_frame.h"
#include "lib/ns/ns_server_wait.h"
#include "lib/ns/ns_vob.h"
#include "lib/ns/ostrel_db_ns.h"
#include "lib/ns/ostrelagent_view_db_element.h"
#include "lib/ostreladb/ostrel_db.h"
#include "platform/stg/stg.h"
#include "platform/utl/strutl.h"

lookup_cache_stats_s lookup_cache_stats = {};

namespace {

const char* const SOURCE = "lib/ns/ns_lookup";
// Statuses of content fetch that the name cache tells apart.
constexpr int METADATA_NOT_FOUND = 20002;
constexpr int METADATA_DISCONNECTED = 20033;
constexpr uint32_t ALL_ONES = 0xFFFFFFFFu;
constexpr unsigned NAME_BUF = 256;

// Entry flags.
constexpr uint16_t NEP_RECENT = 0x1;  // the clock bit
constexpr uint16_t NEP_MADE = 0x2;    // set on every entry when made
// Out of its bucket but still referenced: disposed at its last release.
constexpr uint16_t NEP_DETACHED = 0x4;

// Negative entries carry 0x100 unless one of these says why they are not
// visible already.
constexpr uint32_t NOT_VISIBLE_ALREADY = 0x10010e;
// What marks a negative entry, and a visible entry the view resolved.
constexpr uint32_t NEGATIVE_MASK = 0x10210e;
constexpr uint32_t RESOLVED_VIEW_MASK = 0x10310f;
constexpr uint32_t RESOLVED_VIEW = NAME_VIEW_RECORD | NAME_RESOLVED;
// A state bit that a failed lookup leaves in the caller's state word.
constexpr uint32_t KEPT_ON_FAILURE = 0x100000;
// Bits an entry keeps when the view adds its name over a negative entry.
constexpr uint32_t KEPT_ON_VIEW_ADD = 0xffcfe2d1;

name_entry* name_hash_table[NAME_HASH_BUCKETS];
unsigned name_hash_clock = 0;

void check(bool condition, const char* text, int line) {
    if (!condition) ns_fatal(SOURCE, line, text);
}

bool visible(uint32_t state) { return (state & VIEW_NAME_STATE_NOT_VISIBLE) == 0; }
int invisible_status(uint32_t state) {
    return (state & (0x4 | NAME_NOT_FOUND)) != 0 ? QEL_ST_NO_ENTRY : QEL_ST_NOT_VISIBLE;
}

bool is_directory_kind(vob_mtype_t mtype) {
    switch (mtype) {
    case 3: case 6: case 8: case 19: case 21: case 22: case 23: case 26: return true;
    default: return false;
    }
}


void unexpected_mtype(const obj_entry* obj) {
    ns_int_error(SOURCE, __LINE__, NS_MSG_UNEXPECTED_MTYPE, static_cast<long>(obj->mtype), obj_2str(obj));
}

// Puts `nep` at the head of an object's list threaded through `next` and
// `prev`.
void link_at_head(name_entry** head, name_entry* nep, name_entry* name_entry::*next,
                  name_entry** name_entry::*prev) {
    nep->*next = *head;
    if (*head != nullptr) (*head)->*prev = &(nep->*next);
    *head = nep;
    nep->*prev = head;
}

// Takes `nep` out of the object's list threaded through `next` and `prev`.
void unlink_listed(name_entry* nep, name_entry* name_entry::*next, name_entry** name_entry::*prev) {
    name_entry** link = nep->*prev;
    check(link != nullptr && *link == nep, "name entry missing from its list", __LINE__);
    *link = nep->*next;
    if (nep->*next != nullptr) (nep->*next)->*prev = link;
    nep->*next = nullptr;
    nep->*prev = nullptr;
}

// Unlinks `nep` from a hash bucket (singly linked and short).
void unlink_from(name_entry** head, name_entry* nep, name_entry* name_entry::*next) {
    for (name_entry** link = head; *link != nullptr; link = &((*link)->*next)) {
        if (*link == nep) {
            *link = nep->*next;
            nep->*next = nullptr;
            return;
        }
    }
    ns_fatal(SOURCE, __LINE__, "name entry missing from its list");
}

name_entry** bucket_of(const obj_entry* dir, const char* name) {
    return &name_hash_table[lookup_hash_name(dir->dbid, name)];
}

bool names(const name_entry* nep, const obj_entry* dir, const char* name) {
    return nep->dir == dir && std::strcmp(nep->name, name) == 0;
}

// Takes an entry out of the cache: now when nobody holds it, else at its
// last release.
void remove_entry(name_entry* nep) {
    if ((nep->flags & NEP_DETACHED) == 0) {
        unlink_from(bucket_of(nep->dir, nep->name), nep, &name_entry::next);
        nep->flags |= NEP_DETACHED;
    }
    if (nep->ref_cnt == 0) nep_dispose_int(nep);
}

// Removes every entry of (dir, name) for which `pick` holds, counting
// flushes.
template <typename Pick>
void remove_names(obj_entry* dir, const char* name, Pick pick) {
    name_entry** bucket = bucket_of(dir, name);
    for (name_entry* nep = *bucket; nep != nullptr;) {
        name_entry* next = nep->next;
        if (names(nep, dir, name) && pick(nep)) {
            remove_entry(nep);
            lookup_cache_stats.flushes++;
        }
        nep = next;
    }
}

// Removes the entries of a list (an object's parent_list or name_list) that
// `pick` chooses.
template <typename Pick>
void remove_listed(name_entry* obj_entry::*list, obj_entry* obj, name_entry* name_entry::*next, Pick pick) {
    for (name_entry* nep = obj->*list; nep != nullptr;) {
        name_entry* after = nep->*next;
        if (pick(nep)) {
            remove_entry(nep);
            lookup_cache_stats.flushes++;
        }
        nep = after;
    }
}

name_entry* take(name_entry* nep) {
    nep->ref_cnt++;
    obj_inc_ref(nep->ver);
    return nep;
}

// The VOB's name-space root object, made on first need; the VOB record
// holds its reference. Not referenced for the caller.
obj_entry* ns_root_of(view_vob* vob) {
    if (vob->ns_root != nullptr) return vob->ns_root;
    obj_entry* root = obj_get(vob, NS_ROOT_DBID);
    if (root == nullptr) {
        qel_oid_s oid{};
        std::memcpy(oid.bytes, vob->uuid.bytes, sizeof oid.bytes);
        root = obj_alloc(vob, NS_ROOT_DBID, &oid, NS_ROOT_MTYPE, vob->stamp);
    }
    vob->ns_root = root;
    return root;
}

// Makes sure the VOB's root element is known: 0, or 1001 when the server
// cannot name it. A VOB without root (20002) leaves it null.
int root_element(view_vob* vob) {
    if (vob->root_elem != nullptr) return 0;
    unsigned elem = 0, version = 0;
    ostrel_vstat meta{};
    int st = Ns_Server_Wait::bindroot(vob->uuid, elem, version, meta);
    if (st == METADATA_NOT_FOUND) return 0;
    if (st != 0) return QEL_ST_NO_MEMORY;
    int status = 0;
    obj_entry* obj = locate_dbid(vob, static_cast<int32_t>(elem), 0, &status);
    if (obj == nullptr) return status;
    vob->root_elem = obj;
    return 0;
}

// The element a parent lookup works with: an element stays; a version or
// attached object gives its element.
obj_entry* element_of(obj_entry* obj) { return obj->otype == CACHE_COVER_OBJ ? obj : obj_2elem(obj); }

// A directory object for `obj` (referenced, which it takes over): a
// directory version of an element (a cached one, else the loaded one), or
// `obj` itself.
obj_entry* as_directory(obj_entry* obj, int* status) {
    if (obj->otype != CACHE_ELEM_OBJ) return obj;
    for (obj_entry* att = obj->attach; att != nullptr; att = att->attach_next) {
        if (att->mtype == 3) {
            obj_inc_ref(att);
            obj_free(obj);
            return att;
        }
    }
    unsigned version = 0;
    ostrel_vstat meta{};
    OstrelAgent_View_db_element elem(static_cast<unsigned>(obj->dbid), obj->vob->uuid, obj->vob->db_id);
    view_vob* vob = obj->vob;
    obj_free(obj);
    if (elem.load_data() != 0 || elem.get_any_version(version, meta) != 0) {
        *status = QEL_ST_NO_MEMORY;
        return nullptr;
    }
    return locate_dbid(vob, static_cast<int32_t>(version), 0, status);
}

// Whether the entry's target is `obj` or another version of its element.
bool selects(const name_entry* nep, obj_entry* obj) {
    if (nep->ver == obj) return true;
    if (obj_isa_view_obj(obj) || obj_isa_view_obj(nep->ver) || nep->ver->otype == CACHE_COVER_OBJ) return false;
    return element_of(nep->ver) == element_of(obj);
}

name_entry* parent_entry(obj_entry* obj, char* path, unsigned size, int skip, int* status);

// The path of the entry `nep` from the VOB root into `path`.
int path_of(name_entry* nep, char* path, unsigned size) {
    if (path == nullptr) return 0;
    view_vob* vob = nep->dir->vob;
    if (nep->dir == vob->ns_root) {
        if (size == 0) return QEL_ST_TOO_LONG;
        path[0] = '\0';
        return 0;
    }
    int status = 0;
    name_entry* above = lookup_parent(nep->dir, path, size, 0, &status);
    if (above == nullptr) return status;
    lookup_nep_free(above);
    size_t used = std::strlen(path), len = std::strlen(nep->name);
    if (used + 1 + len + 1 > size) return QEL_ST_TOO_LONG;
    path[used] = '/';
    std::memcpy(path + used + 1, nep->name, len + 1);
    return 0;
}

// Finds `name` in the parent `dir` (referenced, which the call releases),
// which must select `obj`.
name_entry* name_in_parent(obj_entry* dir, const char* name, obj_entry* obj, char* path, unsigned size,
                           int* status) {
    dir = as_directory(dir, status);
    if (dir == nullptr) return nullptr;
    name_entry* nep = lookup_cm_name(dir, "lookup_parent", name, status);
    obj_free(dir);
    if (nep == nullptr) return nullptr;
    if (!selects(nep, obj)) {
        lookup_nep_free(nep);
        *status = QEL_ST_NOT_FOUND;
        return nullptr;
    }
    if ((*status = path_of(nep, path, size)) != 0) {
        lookup_nep_free(nep);
        return nullptr;
    }
    return nep;
}

// The parent directory that the loaded element namespace records for a VOB
// object, and the name the directory lists it under.
name_entry* parent_from_view_db(obj_entry* obj, char* path, unsigned size, int* status) {
    view_vob* vob = obj->vob;
    unsigned parent = 0;
    int st = ostrel_db_get_parent_elem(vob->db_id, static_cast<unsigned>(obj->dbid), &parent);
    if (st != 0) {
        *status = vob_print_error_dbid(vob, "ostrel_db_get_parent_dir", static_cast<uint32_t>(obj->dbid), st);
        return nullptr;
    }
    obj_entry* dir = locate_dbid(vob, static_cast<int32_t>(parent), 0, status);
    if (dir == nullptr) return nullptr;
    char name[NAME_BUF];
    dir = as_directory(dir, status);
    if (dir == nullptr) return nullptr;
    if ((*status = ns_readdir_get_parent_name(dir, obj, sizeof name, name)) != 0) {
        obj_free(dir);
        return nullptr;
    }
    return name_in_parent(dir, name, obj, path, size, status);
}

name_entry* parent_entry(obj_entry* obj, char* path, unsigned size, int skip, int* status) {
    view_vob* vob = obj->vob;
    if (!skip) {
        for (name_entry* nep = obj->parent_list; nep != nullptr; nep = nep->ver_next) {
            if (nep->dir == obj || (nep->state & NAME_RESOLVED) == 0 ||
                (nep->state & (NAME_HISTORY | NAME_NO_PARENT)) != 0 || (nep->flags & NEP_DETACHED) != 0)
                continue;
            check(visible(nep->state), "!(nep->state & VIEW_NAME_STATE_NOT_VISIBLE)", __LINE__);
            take(nep);
            if ((*status = path_of(nep, path, size)) != 0) {
                lookup_nep_free(nep);
                return nullptr;
            }
            return nep;
        }
    }
    switch (obj->mtype) {
    case 2: case 3: case 5: case 6: case 8: {
        obj_entry* elem = element_of(obj);
        if ((*status = root_element(vob)) != 0) return nullptr;
        if (elem == vob->root_elem) {
            unsigned state = 0;
            name_entry* nep = lookup_cm_root_ext(vob, &state, status);
            if (nep != nullptr && path != nullptr) path[0] = '\0';
            return nep;
        }
        // The names of the element's directory versions.
        for (obj_entry* att = elem->attach; att != nullptr; att = att->attach_next) {
            if (att->mtype != 3 && att->mtype != 8) continue;
            for (name_entry* nep = att->parent_list; nep != nullptr; nep = nep->ver_next) {
                if ((nep->state & (NAME_HISTORY | NAME_NO_PARENT)) != 0 || nep->dir == att) continue;
                char name[NAME_BUF];
                if (strutl_ncpy_buf(name, sizeof name, nep->name, sizeof name) != 0) continue;
                obj_inc_ref(nep->dir);
                return name_in_parent(nep->dir, name, obj, path, size, status);
            }
        }
        return parent_from_view_db(obj, path, size, status);
    }
    case 7:
        return parent_from_view_db(obj, path, size, status);
    case 19: case 21: case 22: case 23: case 26: {
        unsigned parent = 0;
        char name[NAME_BUF];
        if ((*status = ostrel_db_find_parent(obj, &parent, name)) != 0) return nullptr;
        obj_entry* dir = locate_dbid(vob, static_cast<int32_t>(parent), 0, status);
        return dir == nullptr ? nullptr : name_in_parent(dir, name, obj, path, size, status);
    }
    default:
        unexpected_mtype(obj);
        *status = QEL_ST_INTERNAL;
        return nullptr;
    }
}

std::string text_of(const obj_entry* obj) { return obj_2str(obj); }

// Sweeps the clock over the buckets until the cache is below its budget or
// three turns found nothing more to take.
void sweep_names() {
    unsigned start = name_hash_clock;
    int wraps = 0;
    while (lookup_cache_stats.size >= name_max && wraps < 3) {
        for (name_entry* nep = name_hash_table[name_hash_clock]; nep != nullptr;) {
            name_entry* next = nep->next;
            if ((nep->flags & NEP_RECENT) == 0 && nep->ref_cnt == 0) {
                remove_entry(nep);
                lookup_cache_stats.ejects++;
                if (lookup_cache_stats.size < name_max) break;
            } else {
                nep->flags &= static_cast<uint16_t>(~NEP_RECENT);
            }
            nep = next;
        }
        name_hash_clock = (name_hash_clock + 1) % NAME_HASH_BUCKETS;
        if (name_hash_clock == start) ++wraps;
    }
}

} // namespace

int lookup_cache_init(unsigned budget) {
    name_max = budget;
    return 0;
}

void lookup_cache_flush() {
    check(lookup_cache_stats.size == 0 && lookup_cache_stats.count == 0,
          "lookup_cache_stats.size == 0 && lookup_cache_stats.count == 0", __LINE__);
}

unsigned lookup_hash_name(int32_t dbid, const char* name) {
    return strutl_str_to_hash32(static_cast<uint32_t>(dbid), name) % NAME_HASH_BUCKETS;
}

void lookup_nep_free(name_entry* nep) {
    check(nep->ref_cnt > 0, "nep->ref_cnt > 0", __LINE__);
    nep->ref_cnt--;
    nep->flags |= NEP_RECENT;
    obj_free(nep->ver);
    if (nep->ref_cnt == 0 && (nep->flags & NEP_DETACHED) != 0) nep_dispose_int(nep);
}

void nep_dispose_int(name_entry* nep) {
    check(nep->ref_cnt == 0, "nep->ref_cnt == 0", __LINE__);
    unlink_listed(nep, &name_entry::dir_next, &name_entry::dir_prev);
    unlink_listed(nep, &name_entry::ver_next, &name_entry::ver_prev);
    obj_free(nep->dir);
    obj_free(nep->ver);
    lookup_cache_stats.size -= static_cast<uint32_t>(std::strlen(nep->name)) + NAME_ENTRY_SIZE;
    lookup_cache_stats.count--;
    stg_free(nep);
}

name_entry* lookup_add_nep(obj_entry* dir, const char* name, obj_entry* target, unsigned state, unsigned rule, int) {
    if (target == nullptr) {
        target = ns_root_of(dir->vob);
        if (target == nullptr) return nullptr;
        obj_inc_ref(target);
        if ((state & NOT_VISIBLE_ALREADY) == 0) state |= NAME_NOT_FOUND;
    }
    for (name_entry* nep = *bucket_of(dir, name); nep != nullptr; nep = nep->next) {
        if (names(nep, dir, name) && nep->ver == target && nep->state == state && nep->rule == rule) {
            nep->ref_cnt++;
            if ((state & NAME_RESOLVED) == 0) nep->flags |= NEP_MADE;
            return nep;
        }
    }
    if (lookup_cache_stats.size >= name_max) sweep_names();
    size_t len = std::strlen(name);
    auto* nep = static_cast<name_entry*>(stg_malloc(offsetof(name_entry, name) + len + 1));
    if (nep == nullptr) {
        ns_int_error(SOURCE, __LINE__, NS_MSG_NO_MEMORY);
        obj_free(target);
        return nullptr;
    }
    std::memset(nep, 0, offsetof(name_entry, name));
    std::memcpy(nep->name, name, len + 1);
    nep->dir = dir;
    obj_inc_ref(dir);
    link_at_head(&dir->name_list, nep, &name_entry::dir_next, &name_entry::dir_prev);
    nep->ver = target;
    obj_inc_ref(target);  // the entry's own
    link_at_head(&target->parent_list, nep, &name_entry::ver_next, &name_entry::ver_prev);
    name_entry** bucket = bucket_of(dir, name);
    nep->next = *bucket;
    *bucket = nep;
    nep->session[0] = nep->session[1] = ALL_ONES;
    nep->flags = NEP_RECENT | NEP_MADE;
    nep->ref_cnt = 1;
    nep->state = state;
    nep->rule = rule;
    lookup_cache_stats.size += static_cast<uint32_t>(len) + NAME_ENTRY_SIZE;
    lookup_cache_stats.count++;
    if (ns_should_note(3)) {
        std::string dir_text = text_of(dir);
        if (target == dir->vob->ns_root)
            ns_note(3, NS_MSG_CACHED_NOT_FOUND, dir_text.c_str(), name, static_cast<unsigned long>(state),
                    static_cast<long>(rule), static_cast<unsigned long>(ALL_ONES));
        else
            ns_note(3, NS_MSG_CACHED, dir_text.c_str(), name, static_cast<unsigned long>(state),
                    static_cast<long>(rule), static_cast<unsigned long>(ALL_ONES),
                    static_cast<unsigned long>(static_cast<uint32_t>(target->dbid)));
    }
    return nep;
}

name_entry* cm_name(obj_entry* dir, const char*, const char* name, unsigned vob_dbid, unsigned view_dbid,
                    unsigned state, int* status) {
    check(dir->otype == CACHE_VER_OBJ, "d_obj->otype == CACHE_VER_OBJ", __LINE__);
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "ns_lookup", "cm_name");
    view_vob* vob = dir->vob;
    *status = 0;
    bool checked_out = false;
    if ((state & NAME_VOB) != 0) {
        obj_entry* vob_obj = locate_dbid(vob, static_cast<int32_t>(vob_dbid), 0, status);
        if (vob_obj == nullptr) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "cm_name1\n");
            return nullptr;
        }
        checked_out = obj_is_checkedout(vob_obj);
        bool mismatch = checked_out != ((state & NAME_CHECKEDOUT) != 0) && vob_obj->mtype != 2;
        obj_free(vob_obj);
        // A checkout's white-out is made by the view's Checkout alone, and
        // the element cached may be older than that checkout: the white-out
        // goes only when the version selected now is not checked out.
        constexpr unsigned CHECKOUT_WHITE_OUT = NAME_WHITEOUT | NAME_CHECKEDOUT;
        if (mismatch && !checked_out && (state & CHECKOUT_WHITE_OUT) == CHECKOUT_WHITE_OUT) {
            unsigned elem = 0, selected = 0;
            ostrel_vstat meta{};
            if (Ns_Server_Wait::lookup_obj(vob->uuid, static_cast<unsigned>(dir->dbid), name, elem, selected, meta) !=
                0) {
                *status = QEL_ST_NO_MEMORY;
                return nullptr;
            }
            checked_out = meta.checked_out;
            mismatch = !checked_out;
        }
        // The view's record follows the VOB's checkout. A name checked out
        // that the view has no record of shows the checked-out version (the
        // loaded bytes) until the view's Checkout gives it a file of its own
        // or hides it: the server's checkout comes first, and a view that
        // dies before its Checkout ends must not lose the name.
        if (mismatch && (!checked_out || (state & NAME_VIEW_RECORD) != 0)) {
            Ns_Signals_Held held;
            int st;
            if (checked_out) {
                ns_note(1, NS_MSG_CHECKOUT, text_of(dir).c_str(), name);
                state |= NAME_CHECKEDOUT;
                st = ostrel_db_state_set(dir, name, state, 0);
            } else if ((state & NAME_WHITEOUT) != 0) {
                state &= ~NAME_FROM_VIEW;
                st = ostrel_db_unlink(nullptr, dir, name, state);
            } else {
                state &= ~(NAME_KEEP | NAME_CHECKEDOUT);
                st = ostrel_db_state_set(dir, name, state, 0);
            }
            if (st != 0) {
                *status = st;
                return nullptr;
            }
        }
    }

    obj_entry* target = nullptr;
    unsigned target_dbid = 0;
    bool decided = false;
    // A view record that names an object.
    while ((state & NAME_VIEW_RECORD) != 0 && (state & NAME_WHITEOUT) == 0) {
        obj_entry* obj = locate_dbid(vob, static_cast<int32_t>(view_dbid), 0, status);
        if (obj == nullptr) {
            if (*status != QEL_ST_STALE) return nullptr;
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "cm_name5\n");
            ns_error(NS_MSG_STALE_PURGING, static_cast<unsigned long>(view_dbid), name, text_of(dir).c_str());
            state &= ~NAME_FROM_VIEW;
            {
                Ns_Signals_Held held;
                ostrel_db_unlink(nullptr, dir, name, state);
            }
            *status = 0;
            continue;
        }
        if (checked_out && (state & NAME_VOB) != 0) {
            view_dbid = static_cast<unsigned>(obj->dbid);
            obj_free(obj);
            break;
        }
        decided = true;
        switch (obj->mtype) {
        case 2: case 5: {
            OstrelAgent_View_db_element elem(static_cast<unsigned>(obj->dbid), vob->uuid, vob->db_id);
            ostrel_vstat meta{};
            obj_free(obj);
            if (elem.load_data() != 0 || elem.get_any_version(target_dbid, meta) != 0) {
                *status = QEL_ST_NO_MEMORY;
                return nullptr;
            }
            state = (state & NAME_KEPT) | NAME_RESOLVED | (meta.checked_out ? NAME_CHECKEDOUT : 0);
            break;
        }
        case 3: case 6: case 7: case 8: case 9: case 19: case 21: case 22: case 23: case 26:
            target = obj;
            target_dbid = static_cast<unsigned>(obj->dbid);
            state |= NAME_RESOLVED;
            break;
        default:
            unexpected_mtype(obj);
            obj_free(obj);
            *status = QEL_ST_INTERNAL;
            return nullptr;
        }
        ns_note(1, NS_MSG_LOOKUP_FROM_VIEW, text_of(dir).c_str(), name, 0L, static_cast<unsigned long>(target_dbid));
        break;
    }

    bool negative = false;
    if (!decided && (state & NAME_VOB) != 0 && (checked_out || (state & NAME_VIEW_RECORD) == 0)) {
        // The view does not decide: the version the VOB selects.
        unsigned elem = 0, selected = 0;
        ostrel_vstat meta{};
        if (Ns_Server_Wait::lookup_obj(vob->uuid, static_cast<unsigned>(dir->dbid), name, elem, selected, meta) != 0) {
            *status = QEL_ST_NO_MEMORY;
            return nullptr;
        }
        uint32_t bits;
        if (!meta.checked_out)
            bits = checked_out || (state & NAME_VIEW_RECORD) != 0 ? NAME_RESOLVED : 0;
        else
            bits = (state & NAME_VIEW_RECORD) == 0 ? NAME_CHECKEDOUT : NAME_CHECKEDOUT | NAME_RESOLVED;
        state = (state & NAME_KEPT) | bits;
        if ((state & NAME_RESOLVED) != 0) {
            target_dbid = view_dbid;
            negative = view_dbid == 0;
            ns_note(1, negative ? NS_MSG_LOOKUP_NOT_FOUND : NS_MSG_LOOKUP_FROM_VIEW, text_of(dir).c_str(), name, 0L,
                    static_cast<unsigned long>(view_dbid));
        } else {
            target_dbid = selected;
        }
    } else if (!decided) {
        // The name exists nowhere.
        state |= NAME_RESOLVED;
        negative = true;
        ns_note(1, NS_MSG_LOOKUP_NOT_FOUND, text_of(dir).c_str(), name, 0L);
    }

    if (target == nullptr && !negative) {
        target = locate_dbid(vob, static_cast<int32_t>(target_dbid), 0, status);
        if (target == nullptr) return nullptr;
    }
    name_entry* nep = lookup_add_nep(dir, name, target, state, 0, 0);
    if (nep == nullptr) *status = QEL_ST_INTERNAL;
    return nep;
}

name_entry* lookup_cm_name(obj_entry* dir, const char* caller, const char* name, int* status) {
    lookup_cache_stats.requests++;
    name_entry** bucket = bucket_of(dir, name);
    for (name_entry* nep = *bucket; nep != nullptr; nep = nep->next) {
        if (names(nep, dir, name) && (nep->state & NAME_HISTORY) == 0) {
            lookup_cache_stats.hits++;
            *status = 0;
            return take(nep);
        }
    }
    if (*bucket != nullptr) lookup_cache_stats.bucket_misses++;

    unsigned vob_dbid = 0, view_dbid = 0, state = 0;
    unsigned complete = readdir_lookup_name(dir, name, &vob_dbid, &view_dbid, &state);
    if ((complete & READDIR_VIEW_COMPLETE) == 0) {
        unsigned view_state = 0;
        int st = ostrel_db_lookup(dir, name, &view_dbid, &view_state);
        if (st == 0) {
            state |= view_state & NAME_FROM_VIEW;
        } else if (st == QEL_ST_NOT_FOUND) {
            view_dbid = 0;
        } else {
            *status = st;
            return nullptr;
        }
    }
    if ((complete & READDIR_VOB_COMPLETE) == 0 && !obj_isa_view_obj(dir)) {
        unsigned elem = 0, selected = 0;
        ostrel_vstat meta{};
        int st = Ns_Server_Wait::lookup_obj(dir->vob->uuid, static_cast<unsigned>(dir->dbid), name, elem, selected,
                                            meta);
        if (st == 0) {
            vob_dbid = elem;
            state |= NAME_VOB;
        } else if (st == METADATA_NOT_FOUND) {
            vob_dbid = 0;
        } else if (st == METADATA_DISCONNECTED && (state & NAME_VIEW_RECORD) != 0 && (state & NAME_WHITEOUT) == 0) {
            // Offline, the view's own object under the name answers without
            // the VOB's part, as the view last knew it (going online again
            // drops what was learned offline).
            vob_dbid = 0;
        } else {
            *status = st;
            return nullptr;
        }
    }
    return cm_name(dir, caller, name, vob_dbid, view_dbid, state, status);
}

obj_entry* lookup_name(obj_entry* dir, const char* name, unsigned* state, int* flag, int* status) {
    unsigned on_entry = state != nullptr ? *state : 0;
    auto fail = [&](int st) -> obj_entry* {
        if (state != nullptr && (on_entry & KEPT_ON_FAILURE) == 0) *state = 0;
        if (flag != nullptr) *flag = 0;
        *status = st;
        return nullptr;
    };
    if (name == nullptr || name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return fail(QEL_ST_INVALID);
    if (!is_directory_kind(dir->mtype)) {
        unexpected_mtype(dir);
        return fail(QEL_ST_INTERNAL);
    }
    name_entry* nep = lookup_cm_name(dir, "lookup_name", name, status);
    if (nep == nullptr) return fail(*status);
    // The state of a name that is not visible tells why (a white-out, say).
    if (state != nullptr) *state = nep->state;
    if (flag != nullptr) *flag = (nep->flags & NEP_MADE) != 0;
    obj_entry* obj = nullptr;
    if (visible(nep->state)) {
        obj = nep->ver;
        obj_inc_ref(obj);
        *status = 0;
    } else {
        *status = invisible_status(nep->state);
    }
    lookup_nep_free(nep);
    return obj;
}

obj_entry* lookup_hm_name(obj_entry* dir, const char* name, int* status) {
    for (name_entry* nep = *bucket_of(dir, name); nep != nullptr; nep = nep->next) {
        if (names(nep, dir, name) && (nep->state & NAME_HISTORY) != 0) {
            obj_inc_ref(nep->ver);
            *status = 0;
            return nep->ver;
        }
    }
    *status = QEL_ST_INTERNAL;
    return nullptr;
}

name_entry* lookup_cm_root_ext(view_vob* vob, unsigned* state, int* status) {
    obj_entry* ns = ns_root_of(vob);
    if (ns == nullptr) {
        *status = QEL_ST_CANNOT_CREATE;
        return nullptr;
    }
    if ((*status = root_element(vob)) != 0) return nullptr;
    name_entry* nep = nullptr;
    for (name_entry* e = *bucket_of(ns, ""); e != nullptr && nep == nullptr; e = e->next)
        if (names(e, ns, "")) nep = take(e);
    if (nep == nullptr) {
        unsigned root_dbid = vob->root_elem != nullptr ? static_cast<unsigned>(vob->root_elem->dbid) : 0;
        nep = cm_name(ns, "lookup_cm_root_ext", "", root_dbid, 0, root_dbid != 0 ? NAME_VOB : 0, status);
        if (nep == nullptr) return nullptr;
    }
    if (state != nullptr) *state = nep->state;
    *status = 0;
    return nep;
}

obj_entry* lookup_root_ext(view_vob* vob, view_hm_warp_opt warp, int* flag, unsigned* state, int* status) {
    if (warp < 0 || warp > 2) {
        *status = QEL_ST_INVALID;
        return nullptr;
    }
    name_entry* nep = lookup_cm_root_ext(vob, state, status);
    if (nep == nullptr) return nullptr;
    obj_entry* obj = nullptr;
    if (warp == 1) {
        obj = vob->root_elem;
        if (obj != nullptr) obj_inc_ref(obj);
        *status = obj != nullptr ? 0 : QEL_ST_NO_ENTRY;
        if (flag != nullptr) *flag = 1;
    } else if (!visible(nep->state)) {
        *status = invisible_status(nep->state);
    } else {
        obj = nep->ver;
        obj_inc_ref(obj);
        if (flag != nullptr) *flag = (nep->flags & NEP_MADE) != 0;
    }
    lookup_nep_free(nep);
    return obj;
}

obj_entry* lookup_dot_dot(obj_entry* dir, int ext_name, int* flag, int* status) {
    view_vob* vob = dir->vob;
    if ((*status = root_element(vob)) != 0) return nullptr;
    obj_entry* root = vob->root_elem;
    bool at_root = root != nullptr && (ext_name ? dir == root : dir->otype != CACHE_COVER_OBJ && obj_2elem(dir) == root);
    if (at_root) {
        obj_inc_ref(dir);
        if (flag != nullptr) *flag = 1;
        return dir;
    }
    if (!ext_name) {
        if (!is_directory_kind(dir->mtype)) {
            unexpected_mtype(dir);
            *status = QEL_ST_INTERNAL;
            return nullptr;
        }
        name_entry* nep = lookup_parent(dir, nullptr, 0, 0, status);
        if (nep == nullptr) return nullptr;
        obj_entry* parent = nep->dir;
        obj_inc_ref(parent);
        if (flag != nullptr) *flag = (nep->flags & NEP_MADE) != 0;
        lookup_nep_free(nep);
        return parent;
    }
    for (name_entry* nep = dir->parent_list; nep != nullptr; nep = nep->ver_next) {
        if ((nep->state & (NAME_HISTORY | NAME_RESOLVED)) == (NAME_HISTORY | NAME_RESOLVED) && nep->dir != dir) {
            obj_inc_ref(nep->dir);
            if (flag != nullptr) *flag = (nep->flags & NEP_MADE) != 0;
            return nep->dir;
        }
    }
    *status = QEL_ST_INTERNAL;
    return nullptr;
}

name_entry* lookup_parent(obj_entry* obj, char* path, unsigned size, int skip, int* status) {
    if ((obj->flags & OBJ_F_PARENT_LOOKUP) != 0) {
        *status = QEL_ST_NOTHING_TO_DO;
        return nullptr;
    }
    obj->flags |= OBJ_F_PARENT_LOOKUP;
    *status = 0;
    name_entry* nep = parent_entry(obj, path, size, skip, status);
    obj->flags &= static_cast<uint16_t>(~OBJ_F_PARENT_LOOKUP);
    return nep;
}

int lookup_gpath(obj_entry* obj, int flag, unsigned path_size, char* path, unsigned ext_size, char* ext_path) {
    int status = 0;
    auto failed = [&](int st) {
        std::string obj_text = text_of(obj);
        ns_error(NS_MSG_GPATH, obj_text.c_str(), qel_strerror(st));
        return st;
    };
    if (flag != 0) return failed(QEL_ST_INTERNAL);
    if (path_size == 0 || ext_size == 0) return failed(QEL_ST_INVALID);
    if (obj->mtype == 9) return failed(QEL_ST_NOT_FOUND);
    name_entry* nep = nullptr;
    if (obj->mtype != 11) {
        bool skip_cached = obj->mtype != 19 && obj->mtype != 21 && obj->mtype != 23 && obj->mtype != 26;
        nep = lookup_parent(obj, path, path_size, skip_cached, &status);
        if (nep == nullptr && status == QEL_ST_NOTHING_TO_DO && skip_cached)
            nep = lookup_parent(obj, path, path_size, 0, &status);
    }
    if (nep == nullptr && (obj->mtype == 11 || status == QEL_ST_NOTHING_TO_DO)) {
        // Named only through extended naming, which this view has no names of.
        status = QEL_ST_INTERNAL;
    }
    if (nep == nullptr) return failed(status);
    lookup_nep_free(nep);

    // The extended path: the names up to the VOB root, pushed while walking
    // up, written from the buffer's end; an element met twice is a loop.
    std::vector<std::string> names_up;
    std::vector<int32_t> elements_seen;
    obj_entry* cur = obj;
    obj_inc_ref(cur);
    for (;;) {
        name_entry* up = lookup_parent(cur, nullptr, 0, 0, &status);
        obj_free(cur);
        if (up == nullptr) return failed(status);
        if (up->dir == obj->vob->ns_root) {
            lookup_nep_free(up);
            break;
        }
        if (!obj_isa_view_obj(up->ver)) {
            int32_t elem = element_of(up->ver)->dbid;
            for (int32_t seen : elements_seen)
                if (seen == elem) {
                    lookup_nep_free(up);
                    return failed(QEL_ST_INTERNAL);
                }
            elements_seen.push_back(elem);
        }
        names_up.push_back(up->name);
        cur = up->dir;
        obj_inc_ref(cur);
        lookup_nep_free(up);
    }
    size_t at = ext_size - 1;
    ext_path[at] = '\0';
    for (const std::string& name : names_up) {
        if (name.size() + 1 > at) return failed(QEL_ST_TOO_LONG);
        at -= name.size();
        std::memcpy(ext_path + at, name.data(), name.size());
        ext_path[--at] = '/';
    }
    std::memmove(ext_path, ext_path + at, ext_size - at);
    return 0;
}

obj_entry* lookup_revalidate(obj_entry* obj, int* status) {
    *status = 0;
    if (obj->mtype != 2 && obj->mtype != 3) {
        obj_inc_ref(obj);
        return obj;
    }
    if (obj->mtype == 3) {
        for (name_entry* nep = obj->parent_list; nep != nullptr; nep = nep->ver_next) {
            if (nep->dir != obj && (nep->state & NAME_RESOLVED) != 0) {
                obj_inc_ref(obj);
                return obj;
            }
        }
    }
    name_entry* nep = lookup_parent(element_of(obj), nullptr, 0, 0, status);
    if (nep == nullptr) return nullptr;
    obj_entry* now = nep->ver;
    obj_inc_ref(now);
    lookup_nep_free(nep);
    return now;
}

void lookup_invalidate(obj_entry* dir, const char* name) {
    remove_names(dir, name, [](const name_entry*) { return true; });
    readdir_invalidate_name(dir, name, READDIR_INVALIDATE_BOTH);
}

void lookup_invalidate_oid(view_vob* vob, const qel_oid_s* dir_oid, const char* name) {
    obj_entry* obj = obj_find_oid(vob, dir_oid, 0);
    if (obj == nullptr) return;
    if (obj->otype == CACHE_ELEM_OBJ) {
        for (obj_entry* att = obj->attach; att != nullptr; att = att->attach_next) lookup_invalidate(att, name);
    } else {
        lookup_invalidate(obj, name);
    }
}

void lookup_invalidate_not_found(view_vob* vob) {
    if (vob->ns_root == nullptr) return;
    remove_listed(&obj_entry::parent_list, vob->ns_root, &name_entry::ver_next,
                  [](const name_entry*) { return true; });
}

void lookup_flush_names2obj(obj_entry* obj, int history_only) {
    auto pick = [history_only](const name_entry* nep) {
        return !history_only || (nep->state & NAME_HISTORY) != 0;
    };
    remove_listed(&obj_entry::parent_list, obj, &name_entry::ver_next, pick);
    remove_listed(&obj_entry::name_list, obj, &name_entry::dir_next, pick);
    if (obj->readdir_list != nullptr) {
        readdir_dispose(obj->readdir_list);
        readdir_cache_stats.flushes++;
    }
}

void lookup_view_add(obj_entry* dir, const char* name, obj_entry* target, unsigned state, int cookie, unsigned dbid) {
    bool remembered = false;
    uint32_t old_state = 0;
    for (name_entry* nep = *bucket_of(dir, name); nep != nullptr; nep = nep->next) {
        if (names(nep, dir, name) && (nep->state & NEGATIVE_MASK) == NAME_NOT_FOUND) {
            remembered = true;
            old_state = nep->state;
        }
    }
    remove_names(dir, name, [](const name_entry*) { return true; });
    if (!remembered) {
        readdir_invalidate_name(dir, name, READDIR_INVALIDATE_VIEW);
        return;
    }
    uint32_t listed = dbid;
    if (target != nullptr) {
        listed = static_cast<uint32_t>(obj_isa_view_obj(target) ? target->dbid : element_of(target)->dbid);
        switch (target->mtype) {
        case 7: case 9: case 19: case 21: case 22: case 23: case 26: {
            uint32_t fresh = (state & NAME_FROM_VIEW) | (old_state & KEPT_ON_VIEW_ADD);
            if ((state & (NAME_VIEW_RECORD | NAME_WHITEOUT)) == NAME_VIEW_RECORD) fresh |= NAME_RESOLVED;
            obj_inc_ref(target);
            name_entry* nep = lookup_add_nep(dir, name, target, fresh, 0, 0);
            if (nep != nullptr) lookup_nep_free(nep);
            break;
        }
        case 3: case 6: case 8:
            break;  // the next lookup resolves the name
        default:
            unexpected_mtype(target);
            break;
        }
    }
    readdir_view_add(dir, listed, name, cookie, state);
}

void lookup_view_rm(obj_entry* dir, const char* name, unsigned state) {
    bool remembered = false;
    uint32_t old_state = 0, rule = 0;
    for (name_entry* nep = *bucket_of(dir, name); nep != nullptr; nep = nep->next) {
        if (names(nep, dir, name) && visible(nep->state) && (nep->state & RESOLVED_VIEW_MASK) == RESOLVED_VIEW) {
            remembered = true;
            old_state = nep->state;
            rule = nep->rule;
        }
    }
    remove_names(dir, name, [](const name_entry*) { return true; });
    readdir_view_rm(dir, name, state);
    // A name that only the view held is known not to be found now, as a
    // fresh look-up would find it: resolved, and nowhere. A VOB name that
    // the record hid, or a name whose record stays (as a white-out), is
    // resolved again by the next look-up.
    if (!remembered || (old_state & NAME_VOB) != 0 || (state & (NAME_KEEP | NAME_CHECKEDOUT)) != 0) return;
    name_entry* nep = lookup_add_nep(dir, name, nullptr, NAME_RESOLVED, rule, 0);
    if (nep != nullptr) lookup_nep_free(nep);
}

void lookup_event_flush_dir(view_vob* vob, int32_t dbid, int history_only) {
    obj_entry* dir = obj_find_dbid(vob, dbid);
    if (dir == nullptr) {
        fstat_update_lvut(vob, nullptr, LVUT_NONCACHED_UPDATED);
        return;
    }
    ns_note(2, NS_MSG_FLUSHING_DIR, obj_2str(dir));
    remove_listed(&obj_entry::name_list, dir, &name_entry::dir_next, [history_only](const name_entry* nep) {
        return !history_only || (nep->state & NAME_HISTORY) != 0;
    });
    readdir_invalidate_name(dir, nullptr, READDIR_INVALIDATE_BOTH);
    fstat_update_lvut(vob, dir, LVUT_VOB_CHANGED);
    fstat_flush(dir);
    ns_event_count_flush(NS_EVENT_FLUSH_LOOKUP);
    ns_event_count_flush(NS_EVENT_FLUSH_RDDIR);
    ns_event_count_flush(NS_EVENT_FLUSH_FSTAT);
}

void lookup_flush_build_session(uint32_t session) {
    for (name_entry*& head : name_hash_table) {
        for (name_entry* nep = head; nep != nullptr;) {
            name_entry* next = nep->next;
            for (uint32_t& word : nep->session)
                if (word == session) word = ALL_ONES;
            if (nep->session[0] == ALL_ONES && nep->session[1] == ALL_ONES && (nep->flags & NEP_MADE) == 0 &&
                nep->ref_cnt == 0)
                remove_entry(nep);
            nep = next;
        }
    }
}

void lookup_invalidate_root(view_vob* vob) {
    if (vob->root_elem != nullptr) obj_flush(vob->root_elem);
}

void lookup_invalidate_root_nsdir(view_vob* vob) {
    obj_entry* ns = ns_root_of(vob);
    if (ns != nullptr) remove_names(ns, "", [](const name_entry*) { return true; });
}

namespace {

void dump_entry(unsigned bucket, const name_entry* nep) {
    ns_dump("%4u %p %p %p %p %p %08lx %4lu %4lu 0x%02x %s\n", bucket, static_cast<const void*>(nep),
            static_cast<const void*>(nep->next), static_cast<const void*>(nep->dir_next),
            static_cast<const void*>(nep->dir), static_cast<const void*>(nep->ver), static_cast<unsigned long>(nep->state),
            static_cast<unsigned long>(nep->rule), static_cast<unsigned long>(nep->ref_cnt), nep->flags, nep->name);
}

const char* const DUMP_HEADER = "hsh addr next nxt nm dir parent vers'n state rule refs flags name\n";

} // namespace

void print_lookup_cache() {
    ns_dump("Name Cache \n%s", DUMP_HEADER);
    for (unsigned b = 0; b < NAME_HASH_BUCKETS; ++b)
        for (const name_entry* nep = name_hash_table[b]; nep != nullptr; nep = nep->next) dump_entry(b, nep);
}

void print_enoents(view_vob* vob) {
    ns_dump("ENOENT Name Cache \n%s", DUMP_HEADER);
    if (vob->ns_root == nullptr) return;
    for (const name_entry* nep = vob->ns_root->parent_list; nep != nullptr; nep = nep->ver_next)
        dump_entry(lookup_hash_name(nep->dir->dbid, nep->name), nep);
}
