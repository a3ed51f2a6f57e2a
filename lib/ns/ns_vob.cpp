#include "lib/ns/ns_vob.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "lib/core/ostrelagent_util.h"
#include "lib/ns/ns_fstat.h"
#include "lib/ns/ns_locate.h"
#include "lib/ns/ns_lookup.h"
#include "lib/ns/ns_msg.h"
#include "lib/ostreladb/ostrel_db.h"

view_vob* vob_tab = nullptr;

namespace {

const char* const SOURCE = "lib/ns/ns_vob";
constexpr unsigned TEXT_BUF = 1024;
constexpr unsigned SHORT_HOST_BUF = 256;

// Reads the VOB's registration into the record: 0, 1002 (not registered:
// the record stays as it is), or another failure.
int read_registration(view_vob* vob) {
    char host[TEXT_BUF];
    char path[TEXT_BUF];
    unsigned db_id = 0;
    int status = ostrel_db_vob_read(&vob->uuid, sizeof host, host, sizeof path, path, &db_id);
    if (status == 0) {
        vob->host = host;
        vob->path = path;
        vob->db_id = db_id;
    }
    return status;
}

// Completes a cached record: read again while its database id is 0; a
// failure other than "not registered" gives the record up.
view_vob* complete(view_vob* vob, int* status) {
    if (vob->db_id == 0) {
        int st = read_registration(vob);
        if (st != 0 && st != QEL_ST_NOT_FOUND) {
            vob_dispose(vob);
            *status = QEL_ST_NO_SUCH_VOB;
            return nullptr;
        }
    }
    vob->found = 1;
    *status = 0;
    return vob;
}

// Copies `text` into `buf` of `size` bytes: 1084 when it does not fit.
int copy_text(const std::string& text, unsigned size, char* buf) {
    if (buf == nullptr) return 0;
    if (text.size() + 1 > size) return QEL_ST_TOO_LONG;
    std::memcpy(buf, text.c_str(), text.size() + 1);
    return 0;
}

} // namespace

view_vob* vob_find_cached(const qel_uuid_s* uuid) {
    for (view_vob* vob = vob_tab; vob != nullptr; vob = vob->next)
        if (qel_uuid_eq(&vob->uuid, uuid)) return vob;
    return nullptr;
}

view_vob* vob_find(const qel_uuid_s* uuid, int* status) {
    view_vob* vob = vob_find_cached(uuid);
    if (vob != nullptr) return complete(vob, status);
    char host[SHORT_HOST_BUF];
    char path[TEXT_BUF];
    if (ostrel_db_vob_read(uuid, sizeof host, host, sizeof path, path, nullptr) != 0) {
        *status = QEL_ST_NO_SUCH_VOB;
        return nullptr;
    }
    return vob_create(uuid, status);
}

view_vob* vob_create(const qel_uuid_s* uuid, int* status) {
    view_vob* vob = vob_find_cached(uuid);
    if (vob != nullptr) return complete(vob, status);
    vob = new (std::nothrow) view_vob{};
    if (vob == nullptr) {
        ns_int_error(SOURCE, __LINE__, NS_MSG_NO_MEMORY);
        *status = QEL_ST_INTERNAL;
        return nullptr;
    }
    vob->uuid = *uuid;
    vob->stamp = 0xFFFFFFFFu;
    OstrelAgent_Util::get_view_time(&vob->lvut);
    lvut_stats[LVUT_NONCACHED_UPDATED]++;
    vob->next = vob_tab;
    vob_tab = vob;
    return complete(vob, status);
}

void vob_dispose(view_vob* vob) {
    cache_flush_vob(vob);
    for (view_vob** link = &vob_tab; *link != nullptr; link = &(*link)->next) {
        if (*link == vob) {
            *link = vob->next;
            break;
        }
    }
    delete vob;
}

void vob_flush_vob_uuid(const qel_uuid_s* uuid) {
    view_vob* vob = vob_find_cached(uuid);
    if (vob == nullptr) return;
    cache_flush_vob(vob);
    if (vob->open) {
        if (vob->vobh != nullptr) ns_fatal(SOURCE, __LINE__, "vob->vobh == NULL");
        if (vob->timer != 0) {
            rt_unsched(vob->timer);
            vob->timer = 0;
        }
        vob->open = 0;
    }
}

void vob_cache_flush() {
    for (view_vob* vob = vob_tab; vob != nullptr; vob = vob->next) {
        cache_flush_vob(vob);
        vob->db_id = 0;
    }
}

int vob_find_oid(const qel_oid_s* oid, qel_uuid_s* uuid) {
    for (view_vob* vob = vob_tab; vob != nullptr; vob = vob->next) {
        if (qel_oid_eq(&vob->vob_oid, oid)) {
            *uuid = vob->uuid;
            return 0;
        }
    }
    return QEL_ST_NO_SUCH_VOB;
}

int ostrel_vob_create(const qel_uuid_s* uuid, const char*, const char*) {
    int status = 0;
    vob_create(uuid, &status);
    return status;
}

int ostrel_vob_get_path(const qel_uuid_s* uuid, unsigned host_size, char* host, unsigned path_size, char* path) {
    view_vob* vob = vob_find_cached(uuid);
    if (vob == nullptr) return ostrel_db_vob_read(uuid, host_size, host, path_size, path, nullptr);
    int status = copy_text(vob->host, host_size, host);
    return status != 0 ? status : copy_text(vob->path, path_size, path);
}

int ostrel_vob_save_path(view_fhandle* fh) {
    int ext_name = 0;
    int status = 0;
    obj_entry* obj = locate_validate_fhandle(fh, &ext_name, &status);
    if (obj == nullptr) return status;
    status = ostrel_db_vob_create(obj->vob);
    obj_free(obj);
    return status;
}

int ostrel_vob_rm_path(const qel_uuid_s* uuid) {
    view_vob* vob = vob_find_cached(uuid);
    if (vob != nullptr) vob_dispose(vob);
    return ostrel_db_vob_delete(uuid);
}

int ostrel_vob_recover_object(const qel_uuid_s* uuid, const qel_oid_s* oid, const char* name, unsigned size,
                              char* buf) {
    vob_flush_vob_uuid(uuid);
    return ostrel_db_recover_object(uuid, oid, name, size, buf);
}

int vob_print_error(view_vob* vob, const char* op, const char* object, int status) {
    if (status == QEL_ST_INTERRUPTED || status == QEL_ST_TIMED_OUT || status == QEL_ST_UNREACHABLE) return status;
    const char* vob_name = vob->name.c_str();
    const char* text = qel_strerror(status);
    if (std::strcmp(op, "vob_ver_construct_cltxt") == 0) {
        if (object == nullptr)
            ns_error(NS_MSG_CLTXT_VOB, vob_name, text);
        else
            ns_error(NS_MSG_CLTXT_OBJ, object, vob_name, text);
    } else if (std::strcmp(op, "vob_ver_construct_cltxt_pname") == 0) {
        ns_error(NS_MSG_CLTXT_NAME, object != nullptr ? object : "<<unknown>>", vob_name, text);
    } else if (object == nullptr) {
        ns_error(NS_MSG_VOB_ERROR, vob_name, op, text, "vobrpc_server_log", vob->host.c_str());
    } else {
        ns_error(NS_MSG_VOB_ERROR_OBJ, vob_name, op, object, text, "vobrpc_server_log", vob->host.c_str());
    }
    return status == QEL_ST_NO_MEMORY ? QEL_ST_CANNOT_CREATE : status;
}

int vob_print_error_oid(view_vob* vob, const char* op, const qel_oid_s* oid, int status) {
    char text[QEL_OID_STR_SIZE];
    return vob_print_error(vob, op, qel_oid_to_str(oid, text), status);
}

int vob_print_error_dbid(view_vob* vob, const char* op, uint32_t dbid, int status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(dbid));
    return vob_print_error(vob, op, text, status);
}

int vob_print_error_dirname(view_vob* vob, const char* op, uint32_t dir_dbid, const char* name, int status) {
    char text[269];
    std::snprintf(text, sizeof text, "0x%lX->%s", static_cast<unsigned long>(dir_dbid), name);
    return vob_print_error(vob, op, text, status);
}

void print_vob_enoents() {
    for (view_vob* vob = vob_tab; vob != nullptr; vob = vob->next) print_enoents(vob);
}
