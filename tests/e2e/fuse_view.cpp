#include "fuse_view.h"

#include <unistd.h>

#include <cstdio>

#include "lib/core/ostrelagent_view_db_root_dir.h"
#include "lib/ostreladb/ostrel_db.h"

namespace e2e {

namespace {

const char* const kMetadataRpc = "Ostrel_Norvane::getmetadata_rpc";
const char* const kDirectoryRpc = "Ostrel_Norvane::get_directory_contents_rpc";
const char* const kLookupRpc = "Ostrel_Norvane::lookup_rpc";
// What the server loads on demand goes to the automatic load scope, at the
// generation of a new view.
const char* const kScope = R"({"scope_oid": "f0cf3574-a895-e311-0000-000000000000", "gn": 1})";

// The element kind of a version kind: a directory's or a file's.
unsigned element_kind(unsigned mtype) { return mtype == 3 ? 2 : 5; }

} // namespace

std::string served_oid(unsigned n) {
    char text[40];
    std::snprintf(text, sizeof text, "0e000000-0000-4000-8000-%012x", n);
    return text;
}

std::string served_vstat(unsigned n, unsigned mtype, unsigned elem, unsigned size) {
    const bool dir = mtype == 2 || mtype == 3;
    return R"({"fstat": {"type": )" + std::to_string(dir ? 2 : 1) + R"(, "mode": )" + std::to_string(dir ? 0755 : 0644) +
           R"(, "nlink": 1, "size": )" + std::to_string(size) + R"(}, "mtype": )" + std::to_string(mtype) +
           R"(, "obj_oid": ")" + served_oid(n) + R"(", "elem_oid": ")" + served_oid(elem != 0 ? elem : n) + R"("})";
}

std::string served_metadata(unsigned n, unsigned mtype, unsigned elem) {
    return R"({"metadata": {"scope": )" + std::string(kScope) + R"(, "obj": )" + served_vstat(n, mtype, elem) +
           R"(, "elem": )" + served_vstat(elem, element_kind(mtype)) + "}}";
}

std::string served_entry(const std::string& name, unsigned n, unsigned mtype, unsigned elem, unsigned size) {
    return R"({"dirent": {"name": ")" + name + R"(", "ver_oid": ")" + served_oid(n) + R"("}, "scope": )" + kScope +
           R"(, "obj": )" + served_vstat(n, mtype, elem, size) + R"(, "elem": )" +
           served_vstat(elem, element_kind(mtype)) + "}";
}

std::string served_vob_rules(const Vob& vob) {
    return R"({"match": {"rpc": "Ostrel_Norvane::getvobinfo_rpc", "args": {"VobTag": ")" + vob.tag +
           R"("}}, "reply": {"vobinfo": {"VobFamilyUuid": ")" + vob.family + R"(", "VobReplicaUuid": ")" +
           vob.replica + R"(", "VobStorage": "host:/store/src.vbs", "IsPublic": "0", "IsProject": "0"}}},
           {"match": {"rpc": ")" + kMetadataRpc + R"("}, "reply": )" + served_metadata(11, 3, 10) + R"(},
           {"match": {"rpc": ")" + kDirectoryRpc + R"(", "args": {"VersionOid": ")" + served_oid(11) + R"("}},
            "reply": {"directory": [)" + served_entry("README", 21, 6, 20, 42) + ", " +
           served_entry("docs", 31, 3, 30) + R"(]}},
           {"match": {"rpc": ")" + kDirectoryRpc + R"("}, "reply": {"directory": []}},
           {"match": {"rpc": ")" + kLookupRpc + R"("}, "reply": {"status": {"code": 1052, "message": "no such name"}}})";
}

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
