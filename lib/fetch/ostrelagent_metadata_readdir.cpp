// The listing of a directory version: from the view database when it is
// complete there, else fetched once from the server (however many threads
// ask) and stored; in the foreground or queued in the background.
#include <memory>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/fetch/ostrelagent_bg_readdir.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/fetch/ostrelagent_metadata_bg_flush.h"
#include "lib/fetch/ostrelagent_metadata_gdc_listener.h"
#include "lib/fetch/ostrelagent_metadata_rpc.h"
#include "lib/fetch/ostrelagent_metadata_support.h"
#include "lib/fetch/ostrelagent_readdir_sb_req.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ns/ostrelagent_view_db_version.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

using metadata_support::Trace;
using Util = OstrelAgent_Util;
namespace S = OstrelAgent_Status;

// Fetches the listing into the view database and reads it back, holding
// the object lock of the version's oid.
int fetch_listing(const Trace& trace, const qel_uuid_s& vob, unsigned dbid, const qel_oid_s& oid,
                  OstrelAgent_View_db_version& dir, std::vector<ostrelagent_dirent>& out) {
    OstrelAgent_Mutex_Guard locked(*OstrelAgent_Metadata::oid_lock(oid));
    OstrelAgent_Metadata_GDC_Listener listener(dbid, vob);
    trace.writeTrace(Trace::TRACE_LEVEL_4, "Listener = %p", static_cast<void*>(&listener));
    std::string msg;
    int detail = 0;
    int status = OstrelAgent_Metadata_Rpc::get().get_directory_contents(
        metadata_support::view_uuid(), vob, oid, QEL_OID_NULL, listener, metadata_support::ops_log(), msg, detail);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Get_Directory_Contents RPC failed = %d %s", status, msg.c_str());
        return status;
    }
    if (listener.get_unsafe_count() != 0) {
        char location[Util::LOCATION_BUFFER_SIZE];
        Util::uuid_oid_to_location(&vob, &oid, location);
        metadata_support::ops_log().write_log(OSTRELAGENT_LOG_WARN, &_ostrela_lib_lib_msg_table,
                                              OstrelAgent_Lib_Msg::UNSAFE_NAMES_SKIPPED, listener.get_unsafe_count(),
                                              location, listener.get_first_unsafe().c_str());
    }
    if (listener.get_status() == 0) {
        int done = dir.set_readdir_done(true);
        if (done == 0) {
            out.reserve(out.size() + listener.get_count());
            done = dir.readdir(out);
        }
        if (done == 0) return 0;
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't finalize readdir for %d: %s", static_cast<int>(dbid),
                         qel_strerror(done));
    } else {
        // What the caches hold of the directory goes; it stays unlisted, so
        // the next listing fetches it again. The flush takes the namespace
        // mutex, which the asker may hold: a pool worker runs it.
        OstrelAgent_Metadata_BG_Flush::queue(
            std::make_unique<OstrelAgent_Metadata_BG_Flush>(vob, oid, metadata_support::FETCH_INVAL_OP));
    }
    trace.writeTrace(Trace::TRACE_LEVEL_1, "Get_Directory_Contents repackaging failure: %d",
                     listener.get_status());
    return S::GENERAL_FAILURE;
}

} // namespace

int OstrelAgent_Metadata::readdir_obj(const qel_uuid_s& vob, const unsigned& dir_dbid,
                                      std::vector<ostrelagent_dirent>& out) {
    Trace trace("readdir_obj");
    OstrelAgent_Readdir_Scoreboard* entry =
        OstrelAgent_Readdir_Scoreboard::create(new OstrelAgent_Readdir_SB_req(vob, dir_dbid), false);
    int status = 0;
    std::string msg;
    const int result = entry->execute(status, msg);
    if (result == OstrelAgent_Scoreboard_Request::DONE)
        out = entry->get_req()->get_entries();
    else
        trace.writeTrace(Trace::TRACE_LEVEL_2, "readdir(%s:%d) failed (%d): %s", Util::id_text(vob).c_str(),
                         static_cast<int>(dir_dbid), status, msg.c_str());
    entry->release();
    return status;
}

bool OstrelAgent_Metadata::readdir_at_hand(const qel_uuid_s& vob, const unsigned& dir_dbid,
                                           std::vector<ostrelagent_dirent>& out, int& status) {
    unsigned vob_dbid = 0;
    status = ostrel_db_vob_lookup(&vob, &vob_dbid);
    if (status == 0) {
        OstrelAgent_View_db_version dir(dir_dbid, vob, vob_dbid);
        if (!dir.is_readdir_done() && metadata_support::online()) return false;
        status = dir.readdir(out);
    }
    status = Util::qel_to_ostrel_status(status);
    return true;
}

int OstrelAgent_Metadata::do_readdir_obj(const qel_uuid_s& vob, const unsigned& dir_dbid,
                                         std::vector<ostrelagent_dirent>& out) {
    Trace trace("do_readdir_obj");
    int status = 0;
    if (readdir_at_hand(vob, dir_dbid, out, status)) return status;
    unsigned vob_dbid = 0;
    if ((status = ostrel_db_vob_lookup(&vob, &vob_dbid)) != 0) return Util::qel_to_ostrel_status(status);
    OstrelAgent_View_db_version dir(dir_dbid, vob, vob_dbid);
    qel_oid_s oid{};
    if (!OstrelAgent_View_db::obj_dbid_to_oid(dir_dbid, vob, oid)) return S::MALFORMED_REQUEST;
    return fetch_listing(trace, vob, dir_dbid, oid, dir, out);
}

void OstrelAgent_Metadata::readdir_in_background(const qel_uuid_s& vob, unsigned dir_dbid) {
    Trace trace("readdir_in_background");
    const std::string vob_text = Util::id_text(vob);
    trace.writeTrace(Trace::TRACE_LEVEL_3, "scheduling readdir() for vob:%s nsdir ver dbid:%d", vob_text.c_str(),
                     static_cast<int>(dir_dbid));
    OstrelAgent_Readdir_Scoreboard* entry =
        OstrelAgent_Readdir_Scoreboard::create(new OstrelAgent_Readdir_SB_req(vob, dir_dbid, true), true);
    if (entry == nullptr) {
        trace.writeTrace(Trace::TRACE_LEVEL_3, "skipping duplicate readdir() for %s:%d", vob_text.c_str(),
                         static_cast<int>(dir_dbid));
        return;
    }
    OstrelAgent_Thread_Manager_Base::get_instance()->process_request(
        new OstrelAgent_BG_Readdir(vob, dir_dbid, entry));
}

void OstrelAgent_Metadata::readdir_in_background(const qel_uuid_s& vob, const qel_oid_s& ver_oid) {
    Trace trace("readdir_in_background");
    unsigned dbid = 0;
    if (!OstrelAgent_View_db::obj_oid_to_dbid(ver_oid, vob, dbid)) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Unknown ver oid for background readdir, vob %s ver %s",
                         Util::id_text(vob).c_str(), Util::id_text(ver_oid).c_str());
        return;
    }
    trace.writeTrace(Trace::TRACE_LEVEL_4, "vob %s veroid %s => dbid %d", Util::id_text(vob).c_str(),
                     Util::id_text(ver_oid).c_str(), static_cast<int>(dbid));
    readdir_in_background(vob, dbid);
}
