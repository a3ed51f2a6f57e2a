#include "fuse_view.h"

#include <unistd.h>


#include "lib/core/ostrelagent_view_db_root_dir.h"
#include "lib/ostreladb/ostrel_db.h"

namespace e2e {

std::string vobinfo_rule(const Vob& vob) {
    return R"({"match": {"rpc": "Ostrel_Norvane::getvobinfo_rpc", "args": {"VobTag": ")" + vob.tag +
           R"("}}, "reply": {"vobinfo": {"VobFamilyUuid": ")" + vob.family + R"(", "VobReplicaUuid": ")" +
           vob.replica + R"(", "VobStorage": "host:/store/src.vbs", "IsPublic": "0", "IsProject": "0"}}})";
}

bool store_vob_root(const std::string& storage, const Vob& vob, std::string* error) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr || chdir(storage.c_str()) != 0) {
        *error = "cannot change to " + storage;
        return false;
    }
    int created = -1;
    int status = ostrel_db_init(&created);
    if (status == 0) {
        qel_uuid_s replica{};
        qel_str_to_uuid(vob.replica.c_str(), &replica);
        ostrel_vstat root{}, elem{};
        root.vstat.mtype = 3;  // a directory version
        root.vstat.fstat.type = QEL_FTYPE_DIR;
        root.vstat.fstat.mode = 0755;
        root.vstat.fstat.nlink = 2;
        root.vstat.obj_oid.bytes[0] = 0xd1;
        root.vstat.elem_oid.bytes[0] = 0xe1;
        elem.vstat = root.vstat;
        elem.vstat.mtype = 2;  // its element
        elem.vstat.obj_oid = root.vstat.elem_oid;
        unsigned root_dbid = 0, elem_dbid = 0;
        OstrelAgent_View_db_root_dir dir(replica);
        status = dir.create(QEL_OID_NULL, 0, 0, root, elem, root_dbid, elem_dbid);
        // Listed: its names are the view's own.
        unsigned vob_dbid = 0;
        bool flush_all = false;
        qel_oid_s oid{};
        if (status == 0) status = ostrel_db_vob_lookup(&replica, &vob_dbid);
        if (status == 0) status = ostrel_db_ver_set_readdir_done(vob_dbid, root_dbid, 1, &flush_all, &oid);
        int closed = ostrel_db_close();
        if (status == 0) status = closed;
    }
    if (chdir(cwd) != 0 && status == 0) status = -1;
    if (status != 0) {
        *error = "the VOB's root was not stored: " + std::to_string(status);
        return false;
    }
    return true;
}

} // namespace e2e
