#include "lib/ostreladb/ostrel_db_container_removals.h"

#include <sys/time.h>

#include <cerrno>

#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_session.h"

namespace {

// A container that cannot be removed now is given up this much later.
constexpr long STRANDED_DELAY_SECONDS = 86400;
constexpr size_t TEXT_MAX = 1024;

} // namespace

unsigned long OstrelDb_Container_Removals::counter_ = 0;

int ostrela_db_inode_delete_kept(view_build_rec* build, uint32_t dbid, uint32_t type, size_t moved_to_size,
                                 char* moved_to, OstrelDb_Container_Removals* removals) {
    if (moved_to != nullptr && moved_to_size > 0) moved_to[0] = '\0';
    char text[TEXT_MAX];
    int status = ostrela_db_inode_read_text(dbid, text, sizeof text);
    if (status != 0) return status;
    if (type == QEL_FTYPE_DIR) {
        if ((status = ostrela_db_dir_empty(dbid)) != 0) return status;
        if (text[0] != '\0') {
            int removed = ostrel_storage_remove_dir(text);
            if (removed == 1) return QEL_ST_NOT_EMPTY;
            if (removed != 0) return qel_errno2status(errno);
        }
    } else if (text[0] != '\0' && type != QEL_FTYPE_NONE && type != QEL_FTYPE_LNK) {
        // A name that leaves the pool is never followed: the inode waits
        // stranded, as for a container that cannot be removed now.
        if (validate_pname(text) != 0) {
            status = QEL_ST_NOT_PERMITTED;
        } else if (moved_to != nullptr) {
            std::string path = std::string(OSTREL_STORAGE_POOL) + "/" + text;
            status = move_to_lost_and_found(path.c_str(), moved_to_size, moved_to);
            if (status == QEL_ST_NO_ENTRY) status = 0;
        } else {
            status = removals != nullptr ? removals->remove(text) : ostrel_storage_remove(text);
        }
        if (status == QEL_ST_NOT_PERMITTED) {
            struct timeval when;
            gettimeofday(&when, nullptr);
            when.tv_sec += STRANDED_DELAY_SECONDS;
            status = ostrela_db_mark_inode_stranded(dbid, &when);
            if (status == 0) ostrel_db_sched_scrubber();
            return status;
        }
        if (status != 0) return status;
    }
    return ostrela_db_inode_delete(dbid, build != nullptr ? static_cast<int>(build->cr_ref) : 0);
}
