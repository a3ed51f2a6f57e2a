#include "lib/ostreladb/ostrel_db.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/imsg/imsg.h"

namespace {

constexpr int STATUS_NOT_FOUND = 1002;
constexpr int STATUS_INTERNAL = 1008;

const char* const POOL_NAME = ".s";
constexpr int POOL_SUBDIRS = 57;

// Records of the open database. One transaction mutex serialises every call,
// as it does for the engine-backed database.
struct Store {
    bool open = false;
    bool has_def_scope = false;
    bool has_vns_view = false;
    qel_uuid_s vns_uuid = QEL_UUID_NULL;
    unsigned int vns_gn = 0;
};

std::mutex g_transaction_lock;
Store g_store;

int make_pool_dir(const char* path, int kind) {
    if (mkdir(path, 0777) == 0 || errno == EEXIST) return 0;
    int error = errno;
    imsg_print(kind, &_qel_cmsg_qel_msg_table, QEL_MSG_MKDIR, path, imsg_strerror(error));
    return -1;
}

} // namespace

std::string view_home;

int ostrel_storage_init() {
    if (access(POOL_NAME, W_OK) != 0 && make_pool_dir(POOL_NAME, IMSG_KIND_ERR) != 0) return -1;
    for (int i = 0; i < POOL_SUBDIRS; ++i) {
        char path[32];
        std::snprintf(path, sizeof(path), "%s%c%05d", POOL_NAME, '/', i);
        if (make_pool_dir(path, IMSG_KIND_WARN) != 0) return -1;
    }
    return 0;
}

int ostrel_db_init(int* new_db) {
    std::lock_guard<std::mutex> guard(g_transaction_lock);
    if (g_store.open) return STATUS_INTERNAL;
    g_store = Store();
    g_store.open = true;
    if (new_db != nullptr) *new_db = 1;
    return 0;
}

int ostrel_db_close() {
    std::lock_guard<std::mutex> guard(g_transaction_lock);
    g_store = Store();
    return 0;
}

int ostrel_db_create_def_scope() {
    std::lock_guard<std::mutex> guard(g_transaction_lock);
    if (!g_store.open) return STATUS_INTERNAL;
    g_store.has_def_scope = true;
    return 0;
}

int ostrel_db_get_vns_view_gn(unsigned int* gn) {
    std::lock_guard<std::mutex> guard(g_transaction_lock);
    if (!g_store.open) return STATUS_INTERNAL;
    if (!g_store.has_vns_view) return STATUS_NOT_FOUND;
    *gn = g_store.vns_gn;
    return 0;
}

int ostrel_db_create_vns_view(const qel_uuid_s* uuid, unsigned int gn) {
    std::lock_guard<std::mutex> guard(g_transaction_lock);
    if (!g_store.open) return STATUS_INTERNAL;
    if (!g_store.has_vns_view) {
        g_store.has_vns_view = true;
        g_store.vns_uuid = *uuid;
    }
    g_store.vns_gn = gn;
    return 0;
}
