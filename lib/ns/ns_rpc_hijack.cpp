// Hijacked names and white-outs: a name marked hijacked (with the ids of the
// file it replaced kept beside it) and unmarked again, a white-out removed,
// and the hijacked files that a view update reaches set aside or removed.
#include "lib/ns/ns_rpc.h"

#include <cstring>

#include "lib/core/ostrelagent_view_base.h"
#include "lib/ns/ns_content_fetch.h"
#include "lib/ns/ns_lookup.h"
#include "lib/ns/ns_rpc_frame.h"
#include "lib/ns/ns_vob.h"
#include "lib/ns/ostrel_db_ns.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "lib/ostreladb/ostrel_db.h"
#include "platform/utl/strutl.h"

namespace {

// The state a hijack gives a name.
constexpr unsigned HIJACKED_STATE = NAME_HIJACKED | NAME_KEEP;
// What a name that is no white-out gives where one is asked for.
constexpr int NOT_A_WHITE_OUT = QEL_ST_EXISTS;
constexpr const char* KEEP_SUFFIX = ".keep";
constexpr const char* WHITE_OUT_REMOVED = "(whiteout removed)";
constexpr size_t NEW_NAME_SIZE = 256;
// The operation the kernel is told of when a hijacked file was set aside.
constexpr vob_op_t SET_ASIDE_OP = 66;

// Whether `state` is that of a hijacked name already: 0x200800, with or
// without its file (a white-out, 0x400). The view database reports 0x1000
// on every entry, so it is not looked at.
bool hijacked_already(unsigned state) {
    unsigned kept = state & NAME_FROM_VIEW & ~NAME_VIEW_RECORD;
    return kept == HIJACKED_STATE || kept == (HIJACKED_STATE | NAME_WHITEOUT);
}

// The directory version `dbid` of the VOB, found without fetching anything.
obj_entry* dir_by_dbid(Ns_Rpc_Frame& frame, const qel_uuid_s* vob_uuid, int32_t dbid, int* status) {
    view_vob* vob = vob_find(vob_uuid, status);
    if (vob == nullptr) return nullptr;
    return frame.hold(locate_dbid(vob, dbid, 0, status));
}

int may_add_to(obj_entry* dir) {
    view_vstat dir_vstat;
    return dir_write_check(dir, &dir_vstat, nullptr, nullptr, nullptr);
}

// Removes the white-out `name` of `dir`: with `hijacked_only`, only a
// hijacked one (else 1002). 1067 when the name is no white-out.
int unwhite_out_obj(obj_entry* dir, const char* name, bool hijacked_only) {
    int status = may_add_to(dir);
    if (status != 0) return status;
    unsigned dbid = 0, state = 0;
    if ((status = ostrel_db_lookup(dir, name, &dbid, &state)) != 0) return status;
    if ((state & NAME_WHITEOUT) == 0) return NOT_A_WHITE_OUT;
    if (hijacked_only && (state & NAME_HIJACKED) == 0) return QEL_ST_NOT_FOUND;
    Ns_Change_Write write;
    return ostrel_db_unlink(nullptr, dir, name, state & ~NAME_KEEP);
}

// Clears the hijack marks and record of `name`, which keeps its file.
int unmark_hijack_obj(obj_entry* dir, const char* name) {
    int status = may_add_to(dir);
    if (status != 0) return status;
    Ns_Change_Write write;
    return ostrel_db_unhijack(dir, name);
}

// Tells the kernel to forget the directory and both names of a file set
// aside. The first failure.
int forget_set_aside(obj_entry* dir, const char* name, const char* new_name) {
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    if (view == nullptr) return QEL_ST_NO_MEMORY;
    OstrelAgent_KORVA_Ioctl kernel(view);
    const qel_uuid_s& vob_uuid = dir->vob->uuid;
    int status = Ns_Content_Fetch::get().view_inval_obj(&kernel, vob_uuid, obj_2elem(dir)->oid, SET_ASIDE_OP, false,
                                                      true, false);
    if (status == 0)
        status = Ns_Content_Fetch::get().view_inval_name(&kernel, vob_uuid, dir->oid, name, false, true, false);
    if (status == 0)
        status = Ns_Content_Fetch::get().view_inval_name(&kernel, vob_uuid, dir->oid, new_name, false, true, false);
    return status;
}

// The writable directory `dir_fh` in `*dir` (null on failure, with the
// status), ready to take `name`, and what the view records for `name`:
// ostrel_db_lookup's status, its state in `*state`.
int recorded_name(Ns_Rpc_Frame& frame, view_fhandle* dir_fh, const char* name, obj_entry** dir, unsigned* state) {
    int status = 0;
    *dir = frame.validate_writable(dir_fh, &status);
    if (*dir == nullptr) return status;
    if ((status = may_add_to(*dir)) != 0) {
        *dir = nullptr;
        return status;
    }
    unsigned dbid = 0;
    return ostrel_db_lookup(*dir, name, &dbid, state);
}

} // namespace

int ns_hijack_by_fh(view_fhandle* dir_fh, const char* name, const view_vstat* vstat) {
    return ns_operation("ns_hijack_by_fh", [&](Ns_Rpc_Frame& frame) -> int {
        OstrelAgent_Trace white_out(OstrelAgent_Trace::OSTRELAGENT, "ns_rpc", "ns_white_out_by_fh");
        obj_entry* dir = nullptr;
        unsigned state = 0;
        int status = recorded_name(frame, dir_fh, name, &dir, &state);
        if (dir == nullptr) return status;
        Ns_Change_Write write;
        if (status == 0) {
            if (!hijacked_already(state) && (status = ostrel_db_state_set(dir, name, HIJACKED_STATE, 0)) != 0)
                return status;
        } else if (status == QEL_ST_NOT_FOUND) {
            // The view database adds the white-out bits to an entry without
            // an object.
            if ((status = ostrel_db_link(nullptr, dir, name, nullptr, HIJACKED_STATE)) != 0) return status;
        } else {
            return status;
        }
        return ostrel_db_hijack_set(dir, name, vstat);
    });
}

int ns_white_out_checkout(view_fhandle* dir_fh, const char* name) {
    return ns_operation("ns_white_out_checkout", [&](Ns_Rpc_Frame& frame) -> int {
        obj_entry* dir = nullptr;
        unsigned state = 0;
        const int status = recorded_name(frame, dir_fh, name, &dir, &state);
        if (dir == nullptr) return status;
        // A name the view records already follows the checkout as it is.
        if (status != QEL_ST_NOT_FOUND) return status;
        Ns_Change_Write write;
        return ostrel_db_link(nullptr, dir, name, nullptr, NAME_VIEW_RECORD | NAME_WHITEOUT | NAME_CHECKEDOUT);
    });
}

int ns_unwhite_out_by_fh(view_fhandle* dir_fh, const char* name, bool hijacked_only) {
    return ns_operation("ns_unwhite_out_by_fh", [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0;
        obj_entry* dir = frame.validate_writable(dir_fh, &status);
        return dir == nullptr ? status : unwhite_out_obj(dir, name, hijacked_only);
    });
}

int ns_unhijack_by_fh(view_fhandle* dir_fh, const char* name) {
    int status = ns_unwhite_out_by_fh(dir_fh, name, true);
    if (status != NOT_A_WHITE_OUT) return status;
    // A second stretch under the mutex: another operation may have run
    // between the two.
    return ns_operation("ns_unmark_hijack", [&](Ns_Rpc_Frame& frame) -> int {
        obj_entry* dir = frame.validate_writable(dir_fh, &status);
        return dir == nullptr ? status : unmark_hijack_obj(dir, name);
    });
}

int ns_unhijack_by_dbid(const qel_uuid_s* vob_uuid, int32_t dir_dbid, const char* name) {
    return ns_operation("ns_unhijack_by_dbid", [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0;
        obj_entry* dir = dir_by_dbid(frame, vob_uuid, dir_dbid, &status);
        if (dir == nullptr) return status;
        status = unwhite_out_obj(dir, name, true);
        return status == NOT_A_WHITE_OUT ? unmark_hijack_obj(dir, name) : status;
    });
}

int ns_lookup_white_out(view_fhandle* dir_fh, const char* name, bool* hijacked) {
    return ns_operation("ns_lookup_white_out", [&](Ns_Rpc_Frame&) -> int {
        view_fhandle fh{}, dir_out{};
        view_vstat vstat{};
        unsigned consumed = 0, state = 0;
        int flag = 0;
        struct timeval lvut {};
        int status = ns_lookup_flags(dir_fh, name, VIEW_HM_WARP_NONE, "", &fh, &dir_out, &vstat, &consumed, &flag, &state,
                                     &lvut);
        if (status != 0 && status != QEL_ST_NO_ENTRY) return status;
        if ((state & NAME_WHITEOUT) == 0) return NOT_A_WHITE_OUT;
        *hijacked = (state & NAME_HIJACKED) != 0;
        return 0;
    });
}

int ns_rename_hijack(const qel_uuid_s* vob_uuid, int32_t dir_dbid, const char* name, char* new_name) {
    return ns_operation("ns_rename_hijack", [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0;
        obj_entry* dir = dir_by_dbid(frame, vob_uuid, dir_dbid, &status);
        if (dir == nullptr) return status;
        status = unwhite_out_obj(dir, name, true);
        if (status == 0) {
            strutl_concat(new_name, NEW_NAME_SIZE, WHITE_OUT_REMOVED, nullptr);
            return 0;
        }
        if (status != NOT_A_WHITE_OUT) return status;
        {
            Ns_Change_Write write;
            if ((status = ostrel_db_unhijack(dir, name)) != 0) return status;
            if ((status = ostrel_db_rename_unique(dir, name, KEEP_SUFFIX, new_name)) != 0) return status;
        }
        return forget_set_aside(dir, name, new_name);
    });
}

int ns_remove_hijack(const qel_uuid_s* vob_uuid, int32_t dir_dbid, const char* name) {
    return ns_operation("ns_remove_hijack", [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0;
        obj_entry* dir = dir_by_dbid(frame, vob_uuid, dir_dbid, &status);
        if (dir == nullptr) return status;
        Ns_Change_Write write;
        return ostrel_db_remove_hijack(dir, name);
    });
}

int ns_lookup_hijack(const qel_uuid_s* vob_uuid, int32_t dir_dbid, const char* name) {
    return ns_operation("ns_lookup_hijack", [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0;
        obj_entry* dir = dir_by_dbid(frame, vob_uuid, dir_dbid, &status);
        if (dir == nullptr) return status;
        view_vstat record{};
        status = ostrel_db_hijack_get(dir, name, &record);
        return status == QEL_ST_INVALID ? QEL_ST_NOT_FOUND : status;
    });
}
