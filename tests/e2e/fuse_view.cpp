#include "fuse_view.h"

#include <unistd.h>

#include <fstream>

#include "lib/core/ostrelagent_view_db_root_dir.h"
#include "lib/core/ostrelagent_view_db_version.h"
#include "lib/ostreladb/ostrel_db.h"

namespace e2e {

std::string offline_mkview_request(const std::string& view_uuid, const std::string& server_tag,
                                   const std::string& cache_dir) {
    return "<MkView version=\"1\"><view-uuid>" + view_uuid +
           "</view-uuid><view-type>automatic</view-type><cltxt-cache-dir>" + cache_dir +
           "</cltxt-cache-dir><server-tag>" + server_tag +
           "</server-tag><text-mode>unix</text-mode><server><server-url>https://server.invalid/x</server-url>"
           "<username>u</username><password>p</password></server></MkView>";
}

std::string offline_startview_request() {
    return "<StartView version=\"1\"><server online=\"false\">"
           "<server-url>https://server.invalid/x</server-url></server></StartView>";
}

bool prepare_vob(const std::string& storage, const Vob& vob, std::string* error) {
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
        if (status == 0) status = OstrelAgent_View_db_version(root_dbid, replica).set_readdir_done(true);
        int closed = ostrel_db_close();
        if (status == 0) status = closed;
    }
    if (chdir(cwd) != 0 && status == 0) status = -1;
    if (status != 0) {
        *error = "the VOB's root was not stored: " + std::to_string(status);
        return false;
    }
    std::ofstream mounted(storage + "/.mounted_vobs", std::ios::app);
    mounted << vob.tag << "=" << vob.replica << "=" << vob.family << "=false=false=host:/store/src.vbs\n";
    mounted.close();
    if (!mounted) *error = "cannot record the mount";
    return static_cast<bool>(mounted);
}

} // namespace e2e
