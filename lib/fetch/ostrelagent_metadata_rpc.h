#pragma once
// The three questions that the metadata side of content fetch asks the
// remote server: the root directory of a VOB (Get_Metadata with two null
// oids), a name of a directory version (Lookup), and the whole listing of a
// directory version (Get_Directory_Contents, whose entries reach a listener
// while the reply streams in).
//
// Each answer comes as check_rpc_status gives it: 0, 20048 when the call did
// not complete, 20049 when the server reported a failure (its status in
// `detail`); the texts are appended to `msg`. For the two questions about one
// object, `Object_Reply::read_status` is the first failure of the reply's
// three accessors after a call that succeeded (0 when all three read), with
// the reply's own status in `server_status` and `server_message` for the
// trace.
//
// The process asks through the remote commands of lib/client. A test
// program may install a server of its own in their place (install_for_test)
// before it starts threads; the daemon never does.

#include <string>

#include "lib/client/rclient_get_directory_contents_listener.h"
#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

class OstrelAgent_Log_Base;

class OstrelAgent_Metadata_Rpc {
public:
    // What the server sends about one object.
    struct Object_Reply {
        qel_oid_s scope_oid = QEL_OID_NULL;
        unsigned scope_gn = 0;
        ostrel_vstat obj{};
        ostrel_vstat elem{};
        int read_status = 0;
        int server_status = -1;
        std::string server_message;
    };

    virtual ~OstrelAgent_Metadata_Rpc() = default;

    virtual int get_root(const qel_uuid_s& view, const qel_uuid_s& vob, OstrelAgent_Log_Base& log,
                         Object_Reply& out, std::string& msg, int& detail) = 0;
    virtual int lookup(const qel_uuid_s& view, const qel_uuid_s& vob, const qel_oid_s& dir_ver,
                       const qel_oid_s& dir_elem, const std::string& name, OstrelAgent_Log_Base& log,
                       Object_Reply& out, std::string& msg, int& detail) = 0;
    virtual int get_directory_contents(const qel_uuid_s& view, const qel_uuid_s& vob, const qel_oid_s& ver,
                                       const qel_oid_s& elem, Get_Directory_Contents_Listener& listener,
                                       OstrelAgent_Log_Base& log, std::string& msg, int& detail) = 0;

    // The server the process asks.
    static OstrelAgent_Metadata_Rpc& get();
    // Test only: `server` (not owned) answers from now on; null goes back to
    // the remote commands.
    static void install_for_test(OstrelAgent_Metadata_Rpc* server);
};
