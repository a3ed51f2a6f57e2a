#pragma once
// The containers of the inodes that one write transaction deletes, and the
// deletion of an inode with its container inside a write transaction.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_storage.h"

// The containers of the inodes a write deletes and makes. A container leaves
// its name inside the write but is kept under a second name in its
// directory until the write is committed, so that a write that fails (its
// commit included) gives it back with its inode; a container that cannot be
// kept so is removed at once. A container made for a new inode goes again
// when the write fails.
class OstrelDb_Container_Removals {
public:
    OstrelDb_Container_Removals() = default;
    OstrelDb_Container_Removals(const OstrelDb_Container_Removals&) = delete;
    OstrelDb_Container_Removals& operator=(const OstrelDb_Container_Removals&) = delete;

    // Removes the container `name` of the pool, as ostrel_storage_remove does.
    int remove(const char* name) {
        if (validate_pname(name) != 0) return ostrel_storage_remove(name);
        Kept k;
        k.path = std::string(OSTREL_STORAGE_POOL) + "/" + name;
        size_t slash = k.path.rfind('/');
        char leaf[64];
        std::snprintf(leaf, sizeof leaf, "/.removing.%ld.%lu", static_cast<long>(getpid()), ++counter_);
        k.kept = k.path.substr(0, slash) + leaf;
        if (::link(k.path.c_str(), k.kept.c_str()) != 0) return ostrel_storage_remove(name);
        int status = ostrel_storage_remove(name);
        if (status != 0) {
            ::unlink(k.kept.c_str());
            return status;
        }
        kept_.push_back(k);
        return 0;
    }
    // Makes the container `name` of the pool, as ostrel_storage_make does.
    int make(const char* name, qel_fmode_t fmode) {
        if (ostrel_storage_make(name, fmode) != 0) return -1;
        made_.push_back(name);
        return 0;
    }
    // The write is committed: the kept containers go.
    void committed() {
        for (const Kept& k : kept_) ::unlink(k.kept.c_str());
        kept_.clear();
        made_.clear();
    }
    // The write failed: the containers take their names again, and those
    // made go.
    void failed() {
        for (const std::string& name : made_) ostrel_storage_remove(name.c_str());
        made_.clear();
        for (const Kept& k : kept_) {
            if (::rename(k.kept.c_str(), k.path.c_str()) != 0)
                imsg_print(IMSG_KIND_WARN, &_qel_cmsg_qel_msg_table, QEL_MSG_RENAME, k.kept.c_str(), k.path.c_str(),
                           imsg_strerror(errno));
        }
        kept_.clear();
    }

private:
    struct Kept {
        std::string path, kept;
    };
    std::vector<Kept> kept_;
    std::vector<std::string> made_;
    // Names the kept containers; only written inside write transactions.
    static unsigned long counter_;
};

// Deletes an inode and its container inside the caller's write transaction
// (see ostrel_db_inode_delete), the container kept by `removals` until the
// write is committed when given.
int ostrela_db_inode_delete_kept(view_build_rec* build, uint32_t dbid, uint32_t type, size_t moved_to_size,
                                 char* moved_to, OstrelDb_Container_Removals* removals);
