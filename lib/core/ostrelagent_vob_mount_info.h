#pragma once
// One VOB mounted in the view: its tag (where the view shows it), the ids of
// its family and of the replica that serves it, whether it is mounted,
// public and a project VOB, and its storage path (handed to the kernel file
// system at the mount). Records are copied by value; the empty record
// (empty texts, null ids, flags 0) stands for "not registered".

#include <string>

#include "platform/qel/qel.h"

struct VOB_mount_info {
    std::string vob_tag;
    qel_oid_s family_oid = QEL_OID_NULL;
    // Its 16 bytes, taken as a uuid, are the VOB's replica uuid.
    qel_oid_s replica_oid = QEL_OID_NULL;
    int mounted = 0;
    int is_public = 0;
    int is_project_vob = 0;
    std::string storage;

    qel_uuid_s replica_uuid() const {
        qel_uuid_s uuid;
        qel_oid_to_uuid(&replica_oid, &uuid);
        return uuid;
    }
};
