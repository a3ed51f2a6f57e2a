#include "lib/fetch/ostrelagent_metadata_rpc.h"

#include <atomic>

#include "lib/client/rclient_get_directory_contents.h"
#include "lib/client/rclient_get_metadata.h"
#include "lib/client/rclient_lookup.h"
#include "lib/core/ostrelagent_log_base.h"

namespace {

// Reads the object reply of a command that succeeded: each accessor in turn,
// the first failure kept.
void read_object(Metadata_Reply_Base& command, OstrelAgent_Metadata_Rpc::Object_Reply& out) {
    out.read_status = command.get_obj_scope_info(out.scope_oid, out.scope_gn);
    int status = command.get_obj_ostrel_vstat(out.obj);
    if (out.read_status == 0) out.read_status = status;
    status = command.get_elem_ostrel_vstat(out.elem);
    if (out.read_status == 0) out.read_status = status;
    out.server_status = command.get_status().status;
    out.server_message = command.get_status().message;
}

// The remote server, through the commands.
class Remote_Commands final : public OstrelAgent_Metadata_Rpc {
public:
    int get_root(const qel_uuid_s& view, const qel_uuid_s& vob, OstrelAgent_Log_Base& log, Object_Reply& out,
                 std::string& msg, int& detail) override {
        Get_Metadata command(view, vob, QEL_OID_NULL, QEL_OID_NULL);
        return run(command, log, out, msg, detail);
    }

    int lookup(const qel_uuid_s& view, const qel_uuid_s& vob, const qel_oid_s& dir_ver, const qel_oid_s& dir_elem,
               const std::string& name, OstrelAgent_Log_Base& log, Object_Reply& out, std::string& msg,
               int& detail) override {
        Lookup command(view, vob, dir_ver, dir_elem, name);
        return run(command, log, out, msg, detail);
    }

    int get_directory_contents(const qel_uuid_s& view, const qel_uuid_s& vob, const qel_oid_s& ver,
                               const qel_oid_s& elem, Get_Directory_Contents_Listener& listener,
                               OstrelAgent_Log_Base& log, std::string& msg, int& detail) override {
        Get_Directory_Contents command(view, vob, ver, elem, listener);
        command.run();
        return command.check_rpc_status(log, msg, detail);
    }

private:
    static int run(Metadata_Reply_Base& command, OstrelAgent_Log_Base& log, Object_Reply& out, std::string& msg,
                   int& detail) {
        command.run();
        int status = command.check_rpc_status(log, msg, detail);
        if (status == 0) read_object(command, out);
        return status;
    }
};

Remote_Commands& remote_commands() {
    static Remote_Commands* const commands = new Remote_Commands;
    return *commands;
}

std::atomic<OstrelAgent_Metadata_Rpc*> g_installed{nullptr};

} // namespace

OstrelAgent_Metadata_Rpc& OstrelAgent_Metadata_Rpc::get() {
    OstrelAgent_Metadata_Rpc* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : remote_commands();
}

void OstrelAgent_Metadata_Rpc::install_for_test(OstrelAgent_Metadata_Rpc* server) {
    g_installed.store(server, std::memory_order_release);
}
