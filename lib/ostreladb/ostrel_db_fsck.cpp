// The database checked against the container pool: inodes whose containers
// are gone, orphaned inodes and dangling names go, containers no inode names
// go to lost+found; and the scrubber that removes the containers whose
// removal failed when their objects went.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_msg.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_storage.h"
#include "platform/rt/rt.h"

namespace {

const char* const LOST_AND_FOUND = "lost+found";
constexpr size_t TEXT_SIZE = 1024;

// Inodes read at a time by the check, and stranded inodes handled by one
// run of the scrubber.
constexpr int CHECK_BATCH = 10;
constexpr int SCRUB_BATCH = 1000;
// Seconds between runs of the scrubber.
constexpr int SCRUB_INTERVAL = 60;

// The scrubber's state, guarded by the view database's mutex.
rt_timer_t scrubber_pending = 0;
qel_oid_s scrub_start = QEL_OID_NULL;

bool is_private_kind(uint32_t mtype) {
    return mtype == 0x13 || mtype == 0x15 || mtype == 0x16 || mtype == 0x17 || mtype == 0x1a;
}

template <typename... Args>
void utls_message(int kind, int index, Args... args) {
    imsg_print(kind, &_ostreladb_lib_db_utls_msg_table, index, args...);
}

// ---- the inode scan -------------------------------------------------------------------

// Containers found so far: their file-system inode numbers and the inodes
// that name them.
using ContainerTable = std::unordered_map<uint64_t, uint32_t>;

// Removes an inode the check found orphaned; its container goes to
// lost+found. A failure is reported and the check goes on.
void remove_inode(uint32_t dbid, const qel_oid_s& oid, uint32_t ftype) {
    std::string name = ostrela_db_id_text(oid);
    utls_message(IMSG_KIND_WARN, DBU_MSG_INODE_REMOVED, name.c_str());
    char moved_to[TEXT_SIZE];
    int status = ostrel_db_inode_delete(nullptr, dbid, ftype, sizeof moved_to, moved_to);
    if (status != 0)
        imsg_print(IMSG_KIND_WARN, &_qel_cmsg_qel_msg_table, QEL_MSG_CALL_ON_NAME_FAILED, "ostrel_db_inode_delete",
                   name.c_str(), qel_strerror(status));
    else if (moved_to[0] != '\0')
        utls_message(IMSG_KIND_WARN, DBU_MSG_MOVED, name.c_str(), moved_to);
}

// Checks one inode; 0, or a failure that ends the check.
int check_inode(uint32_t dbid, ContainerTable& table, uint32_t* vob, qel_oid_s* oid) {
    qel_fstat_db_s fstat;
    uint32_t mtype = 0;
    char text[TEXT_SIZE];
    int status = ostrela_db_inode_read(dbid, nullptr, oid, &fstat, &mtype, vob);
    if (status == 0) status = ostrela_db_inode_read_text(dbid, text, sizeof text);
    if (status != 0) return status;
    switch (fstat.type) {
    case 1:
    case 3:
    case 4:
    case 6: {
        if (fstat.nlink == 0) break;
        if (!is_private_kind(mtype) || text[0] == '\0') return 0;
        // A name that leaves the pool names no container of the view.
        std::string path = std::string(OSTREL_STORAGE_POOL) + "/" + text;
        struct stat st;
        if (validate_pname(text) != 0 || (::stat(path.c_str(), &st) != 0 && errno == ENOENT)) {
            utls_message(IMSG_KIND_WARN, DBU_MSG_MISSING_CONTAINER, text, ostrela_db_id_text(*oid).c_str());
            break;
        }
        auto known = table.emplace(static_cast<uint64_t>(st.st_ino), dbid);
        if (!known.second)
            utls_message(IMSG_KIND_WARN, DBU_MSG_SHARED_CONTAINER, text, static_cast<unsigned long>(dbid),
                         static_cast<unsigned long>(known.first->second));
        return 0;
    }
    case QEL_FTYPE_DIR: {
        // A leftover container directory goes.
        if (text[0] != '\0' && ostrel_storage_remove_dir(text) == 0 &&
            (status = ostrela_db_inode_write_text(dbid, "")) != 0)
            return status;
        if (mtype == 2 || mtype == 4) {
            // An empty cover directory is of no use.
            status = ostrela_db_dir_empty(dbid);
            if (status == QEL_ST_NOT_EMPTY) return 0;
            if (status != 0) return status;
            char ignored[TEXT_SIZE];
            return ostrel_db_inode_delete(nullptr, dbid, fstat.type, sizeof ignored, ignored);
        }
        if (is_private_kind(mtype) && fstat.nlink < 2) break;
        return 0;
    }
    case QEL_FTYPE_LNK:
        if (fstat.nlink == 0) break;
        return 0;
    default:
        break;  // no type, or one the view does not make
    }
    remove_inode(dbid, *oid, fstat.type);
    return 0;
}

int scan_inodes(ContainerTable& table) {
    return ostrel_db_in_transaction(1, [&table] {
        uint32_t vob = 0;
        qel_oid_s oid = QEL_OID_NULL;
        for (;;) {
            uint32_t dbids[CHECK_BATCH];
            int count = 0;
            int status = ostrela_db_inode_inventory(vob, &oid, dbids, CHECK_BATCH, &count, 0);
            if (status != 0) return status;
            if (count == 0) return 0;
            for (int i = 0; i < count; ++i)
                if ((status = check_inode(dbids[i], table, &vob, &oid)) != 0) return status;
        }
    });
}

// ---- orphaned containers ----------------------------------------------------------------

// Moves every file of the pool's subdirectories that no inode names to
// lost+found.
int move_orphans(const ContainerTable& table) {
    DIR* pool = ::opendir(OSTREL_STORAGE_POOL);
    if (pool == nullptr) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_OPENDIR, OSTREL_STORAGE_POOL, errno);
        return QEL_ST_INTERNAL;
    }
    std::vector<std::string> subdirs;
    errno = 0;
    while (struct dirent* entry = ::readdir(pool)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 || std::strcmp(name, LOST_AND_FOUND) == 0)
            continue;
        std::string path = std::string(OSTREL_STORAGE_POOL) + "/" + name;
        struct stat st;
        if (::stat(path.c_str(), &st) != 0)
            ostrela_db_file_message(IMSG_KIND_WARN, QEL_MSG_STAT, path.c_str(), errno);
        else if (S_ISDIR(st.st_mode))
            subdirs.push_back(path);
        errno = 0;
    }
    if (errno != 0) ostrela_db_file_message(IMSG_KIND_WARN, QEL_MSG_READDIR, OSTREL_STORAGE_POOL, errno);
    ::closedir(pool);
    for (const std::string& subdir : subdirs) {
        DIR* dir = ::opendir(subdir.c_str());
        if (dir == nullptr) {
            ostrela_db_file_message(IMSG_KIND_WARN, QEL_MSG_OPENDIR, subdir.c_str(), errno);
            continue;
        }
        std::vector<std::string> orphans;
        errno = 0;
        while (struct dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
            std::string path = subdir + "/" + entry->d_name;
            struct stat st;
            if (::stat(path.c_str(), &st) != 0)
                ostrela_db_file_message(IMSG_KIND_WARN, QEL_MSG_STAT, path.c_str(), errno);
            else if (table.count(static_cast<uint64_t>(st.st_ino)) == 0)
                orphans.push_back(path);
            errno = 0;
        }
        if (errno != 0) ostrela_db_file_message(IMSG_KIND_WARN, QEL_MSG_READDIR, subdir.c_str(), errno);
        ::closedir(dir);
        for (const std::string& path : orphans) {
            char moved_to[TEXT_SIZE];
            if (move_to_lost_and_found(path.c_str(), sizeof moved_to, moved_to) == 0)
                utls_message(IMSG_KIND_WARN, DBU_MSG_MOVED, path.c_str(), moved_to);
        }
    }
    return 0;
}

// ---- dangling names ---------------------------------------------------------------------

struct DanglingName {
    qel_uuid_s vob;
    qel_oid_s dir;
    std::string name;
};

// Deletes the white-outs that are neither kept nor detached: names left
// behind by objects that are gone.
int remove_dangling_names() {
    return ostrel_db_in_transaction(1, [] {
        std::vector<DanglingName> dangling;
        std::vector<char> buf(8192);
        uint32_t cursor = 0;
        int end = 0;
        while (!end) {
            size_t bytes = 0;
            int status = ostrela_db_inventory(cursor, &QEL_UUID_NULL, &QEL_OID_NULL, 0, buf.size(), buf.data(), &bytes,
                                              &cursor, &end);
            if (status != 0) return status;
            for (size_t at = 0; at < bytes;) {
                view_inv_entry head;
                std::memcpy(&head, buf.data() + at, VIEW_INV_ENTRY_HEAD);
                if (qel_oid_eq(&head.obj_oid, &QEL_OID_NULL) &&
                    (head.state & (DIR_ENT_STATE_KEEP | DIR_ENT_STATE_DETACHED)) == 0)
                    dangling.push_back({head.replica_uuid, head.dir_oid,
                                        std::string(buf.data() + at + VIEW_INV_ENTRY_HEAD, head.name_len)});
                at += view_inv_entry_size(head.name_len);
            }
        }
        // Deleted after the walk, which resumes from the records it listed.
        for (const DanglingName& d : dangling) {
            uint32_t vob = 0, dir = 0, object = 0;
            qel_fstat_db_s fstat;
            int status = ostrela_db_vob_lookup(&d.vob, &vob);
            if (status == 0) status = ostrela_db_inode_lookup(vob, &d.dir, &dir);
            if (status == 0) status = ostrela_db_dir_entry_delete(dir, d.name.c_str(), 0, &object);
            if (status == 0) status = ostrela_db_inode_read(dir, nullptr, nullptr, &fstat, nullptr, nullptr);
            if (status != 0) return status;
            fstat.size = uint64_t{fstat.size} - d.name.size() - OSTREL_DB_DIRENT_OVERHEAD;
            if ((status = ostrela_db_inode_rewrite(dir, &fstat)) != 0) return status;
        }
        return 0;
    });
}

// ---- the scrubber ----------------------------------------------------------------------

// Removes the container of one stranded inode and the inode; one whose
// container still cannot be removed waits for its deadline (`*keep`).
int scrub_inode(uint32_t dbid, bool* keep) {
    char text[TEXT_SIZE];
    int status = ostrela_db_inode_read_text(dbid, text, sizeof text);
    if (status != 0) return status;
    if (text[0] != '\0' && ostrel_storage_remove(text) == QEL_ST_NOT_PERMITTED) {
        qel_fstat_db_s fstat;
        if ((status = ostrela_db_inode_read(dbid, nullptr, nullptr, &fstat, nullptr, nullptr)) != 0) return status;
        struct timeval now;
        gettimeofday(&now, nullptr);
        if (static_cast<uint32_t>(now.tv_sec) < fstat.xtime.tv_sec) {
            *keep = true;
            return 0;
        }
        // Given up: the container stays where it is.
        ostrela_db_file_message(IMSG_KIND_WARN, QEL_MSG_REMOVE, text, EPERM);
    }
    return ostrela_db_inode_delete(dbid, 0) == 0 ? 0 : QEL_ST_INTERNAL;
}

} // namespace

int move_to_lost_and_found(const char* path, size_t size, char* out) {
    static std::string lost_and_found;
    out[0] = '\0';
    if (lost_and_found.empty()) {
        lost_and_found = std::string(OSTREL_STORAGE_POOL) + "/" + LOST_AND_FOUND;
        if (::mkdir(lost_and_found.c_str(), 0777) != 0 && errno != EEXIST)
            ostrela_db_file_message(IMSG_KIND_WARN, QEL_MSG_MKDIR, lost_and_found.c_str(), errno);
    }
    const char* leaf = std::strrchr(path, '/');
    std::string target = lost_and_found + "/" + (leaf != nullptr ? leaf + 1 : path);
    if (::access(target.c_str(), F_OK) == 0) {
        qel_uuid_s uuid;
        qel_uuid_gen(&uuid);
        char text[QEL_UUID_STR_SIZE];
        target = lost_and_found + "/" + qel_uuid_to_str(&uuid, text);
    }
    if (target.size() + 1 > size || target.size() + 1 > TEXT_SIZE) return QEL_ST_TOO_LONG;
    if (::rename(path, target.c_str()) != 0) {
        if (errno == ENOENT) return QEL_ST_NO_ENTRY;
        imsg_print(IMSG_KIND_ERR, &_qel_cmsg_qel_msg_table, QEL_MSG_RENAME, path, target.c_str(), imsg_strerror(errno));
        return QEL_ST_INTERNAL;
    }
    std::memcpy(out, target.c_str(), target.size() + 1);
    return 0;
}

int fsck_db() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "fsck_db");
    ContainerTable table;
    int status = scan_inodes(table);
    if (status == 0) status = move_orphans(table);
    if (status == 0) status = remove_dangling_names();
    if (status == 0) status = ostrel_db_in_transaction(1, [] { return ostrela_db_fsck_crs(); });
    return status;
}

void ostrel_db_sched_scrubber() {
    ostrela_db_trans_read_check();
    if (scrubber_pending == 0)
        scrubber_pending = rt_sched(ostrel_db_remove_stranded_containers_callback, nullptr, SCRUB_INTERVAL);
}

void ostrel_db_unsched_scrubber() {
    norvanethread_mutex_lock(&ostrelagent_kesto_mutex);
    if (scrubber_pending != 0) rt_unsched(scrubber_pending);
    scrubber_pending = 0;
    norvanethread_mutex_unlock(&ostrelagent_kesto_mutex);
}

void ostrel_db_remove_stranded_containers_callback(void*) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS,
                            "ostrel_db_remove_stranded_containers_callback");
    int status = ostrela_db_trans_start(1);
    // The pending handle is the mutex's: cleared once the start has it, or
    // (after a failed start) under it.
    norvanethread_mutex_lock(&ostrelagent_kesto_mutex);
    scrubber_pending = 0;
    norvanethread_mutex_unlock(&ostrelagent_kesto_mutex);
    if (status != 0) {
        utls_message(IMSG_KIND_ERR, DBU_MSG_SCRUBBER_FAILED);
        return;
    }
    uint32_t dbids[SCRUB_BATCH];
    int count = 0;
    bool from_start = qel_oid_eq(&scrub_start, &QEL_OID_NULL);
    bool again = false;
    status = ostrela_db_inode_inventory(0, &scrub_start, dbids, SCRUB_BATCH, &count, 1);
    if (status == 0 && count == SCRUB_BATCH) {
        status = ostrela_db_inode_read(dbids[count - 1], nullptr, &scrub_start, nullptr, nullptr, nullptr);
        again = true;
    } else if (status == 0) {
        // The scan is complete; one that began part-way looks once more.
        again = !from_start;
        scrub_start = QEL_OID_NULL;
    }
    for (int i = 0; status == 0 && i < count; ++i) {
        bool keep = false;
        status = scrub_inode(dbids[i], &keep);
        again = again || keep;
    }
    if (status == 0 && again) ostrel_db_sched_scrubber();
    if (status != 0) {
        ostrela_db_trans_abort(1);
        utls_message(IMSG_KIND_ERR, DBU_MSG_SCRUBBER_FAILED);
        return;
    }
    if (ostrela_db_trans_end(1) != 0) utls_message(IMSG_KIND_ERR, DBU_MSG_SCRUBBER_FAILED);
}
