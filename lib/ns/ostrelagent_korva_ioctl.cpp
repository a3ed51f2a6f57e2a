#include "lib/ns/ostrelagent_korva_ioctl.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "platform/pfm/pfm.h"
#include "platform/qel/qel.h"
#include "platform/utl/sysutl.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_KORVA_Ioctl";
constexpr size_t VIEW_ROOT_DIR_SIZE = 1024;

// Holds asynchronous signals off for the scope of a kernel call.
class SignalsInhibited {
public:
    SignalsInhibited() { pfm_inhibit(); }
    ~SignalsInhibited() { pfm_enable(); }
    SignalsInhibited(const SignalsInhibited&) = delete;
    SignalsInhibited& operator=(const SignalsInhibited&) = delete;
};

uint32_t case_flag() {
    return OstrelAgent_Util::korva_is_case_sensitive() ? static_cast<uint32_t>(KORVA_MCB_CASE_SENSITIVE) : 0u;
}

korvacmd_block block_of(uint32_t command, uint32_t flags, void* record, uint32_t record_size) {
    korvacmd_block block;
    std::memset(&block, 0, sizeof block);
    block.command = command;
    block.flags = flags;
    block.record_size = record_size;
    block.record = record;
    return block;
}

std::string text_of(const qel_uuid_s& id) {
    char text[QEL_UUID_STR_SIZE];
    return qel_uuid_to_str(&id, text);
}

std::string text_of(const qel_oid_s& id) {
    char text[QEL_OID_STR_SIZE];
    return qel_oid_to_str(&id, text);
}

// The kernel is told what kind of change dropped an object.
uint32_t inval_kind_of(vob_op_t op) {
    switch (op) {
    case 14: case 17: case 27: case 32: case 66:
        return 5;
    case 126: case 131:
        return 6;
    case 124: case 130:
        return 7;
    default:
        return KORVA_INVAL_OBJECT;
    }
}

} // namespace

OstrelAgent_KORVA_Ioctl::OstrelAgent_KORVA_Ioctl(OstrelAgent_View_Base* view) : m_view(view) {}

OstrelAgent_KORVA_Ioctl::~OstrelAgent_KORVA_Ioctl() = default;

korva_inval_record OstrelAgent_KORVA_Ioctl::name_record(const qel_uuid_s& vob_uuid, const qel_oid_s& dir_oid,
                                                        const char* name) {
    korva_inval_record record;
    std::memset(&record, 0, sizeof record);
    record.kind = KORVA_INVAL_NAME;
    record.vob_uuid = vob_uuid;
    record.oid = dir_oid;
    record.name = korva_text_of(name);
    return record;
}

korva_inval_record OstrelAgent_KORVA_Ioctl::object_record(const qel_uuid_s& vob_uuid, const qel_oid_s& oid,
                                                          vob_op_t op) {
    korva_inval_record record;
    std::memset(&record, 0, sizeof record);
    record.kind = inval_kind_of(op);
    record.vob_uuid = vob_uuid;
    record.oid = oid;
    record.vob_op = op;
    return record;
}

void OstrelAgent_KORVA_Ioctl::korva_ioctl(korvacmd_block* blocks, int* statuses, size_t count) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "korva_ioctl");
    SignalsInhibited inhibited;
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Calling korva_view_root_open_type");
    int status = 0;
    korva_handle_t handle = korva_view_root_open_type(KORVA_VIEWROOT_AUTOMATIC, &status);
    if (handle == nullptr) {
        std::fill(statuses, statuses + count, status);
        return;
    }
    // As few calls as can be: a batch ends at a block whose call failed,
    // which is repeated alone while it is interrupted; the blocks after it
    // go as the next batch. ECANCELED tells of a block that the batch did
    // not issue: the first of a batch is then tried alone, and reported as
    // that call ends.
    std::vector<int> errors(count, 0);
    size_t next = 0;
    while (next < count) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Calling KORVA_MCB_CMD on %zu blocks", count - next);
        korva_mcb_cmd_batch(handle, blocks + next, count - next, errors.data() + next);
        size_t i = next;
        // The first block is always issued, so each turn gets on.
        for (; i < count && (i == next || errors[i] != ECANCELED); ++i) {
            korvacmd_block* block = &blocks[i];
            int error = errors[i];
            if (error == ECANCELED) {
                trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Calling KORVA_MCB_CMD on a block not issued");
                korva_mcb_cmd(handle, block, &error);
            }
            while (error == EINTR) {
                trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Calling KORVA_MCB_CMD again");
                korva_mcb_cmd(handle, block, &error);
            }
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Status from KORVA_MCB_CMD = %d (%d)", error,
                             block->status);
            statuses[i] = error == 0 ? block->status : qel_errno2status(error);
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Returning %d", statuses[i]);
        }
        next = i;
    }
    korva_view_root_close_type(KORVA_VIEWROOT_AUTOMATIC, handle);
}

int OstrelAgent_KORVA_Ioctl::korva_ioctl(korvacmd_block* block) {
    int status = 0;
    korva_ioctl(block, &status, 1);
    return status;
}

int OstrelAgent_KORVA_Ioctl::register_view() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "register_view");
    const std::string tag = m_view->get_server_tag();
    const std::string storage = m_view->get_storage_path();
    const char* host = sysutl_myhostname();
    const std::string uuid_text = text_of(m_view->get_view_uuid());
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, " Registering view %s (%s)", tag.c_str(),
                     storage.c_str());

    korva_view_record record;
    std::memset(&record, 0, sizeof record);
    record.view_tag = korva_text_of(tag.c_str());
    record.storage_user = korva_text_of(storage.c_str());
    record.storage_kernel = korva_text_of(storage.c_str());
    record.host = korva_text_of(host);
    record.remote_path = korva_text_of(storage.c_str());
    record.view_uuid = m_view->get_view_uuid();
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Entry...");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "     view tag       = %s", tag.c_str());
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "     path             = %s", storage.c_str());
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "     host name    = %s", host);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "     host path      = %s %s", host, storage.c_str());
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "     uuid              = %s", uuid_text.c_str());
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "     windows view = %d", 0);

    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Before mkview");
    print_mkview(record);
    korvacmd_block block = block_of(KORVA_MCB_REGISTER_VIEW, case_flag(), &record, sizeof record);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Calling korva_ioctl");
    return korva_ioctl(&block);
}

void OstrelAgent_KORVA_Ioctl::print_mkview(const korva_view_record& record) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "print_mkview");
    if (!trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4)) return;
    const std::string uuid_text = text_of(record.view_uuid);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Mkview info ....");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "    uuid     = %s", uuid_text.c_str());
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "    View tag = %s", record.view_tag.text);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "    Spath(u) = %s", record.storage_user.text);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "    Spath(k) = %s", record.storage_kernel.text);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "    host     = %s", record.host.text);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "    rpath    = %s", record.remote_path.text);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "    windows view = %d",
                     (record.flags & KORVA_VIEW_WINDOWS) != 0 ? 1 : 0);
}

int OstrelAgent_KORVA_Ioctl::unregister_view() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "unregister_view");
    const std::string tag = m_view->get_server_tag();
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Removing view tag = %s", tag.c_str());
    korva_text record = korva_text_of(tag.c_str());
    korvacmd_block block = block_of(KORVA_MCB_UNREGISTER_VIEW, case_flag(), &record, sizeof record);
    int status = korva_ioctl(&block);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Status from korva_ioctl = %d", status);
    return status;
}

int OstrelAgent_KORVA_Ioctl::mount_vob(const char* vob_tag, const char* vob_storage, const qel_oid_s& replica_oid,
                                       const qel_oid_s& family_oid) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "mount_vob");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "mounting %s from stg %s (replica %s family %s)", vob_tag,
                     vob_storage, text_of(replica_oid).c_str(), text_of(family_oid).c_str());
    const std::string tag = m_view->get_server_tag();
    const std::string view_storage = m_view->get_cltxt_cache_dir();
    const std::string storage_copy = vob_storage != nullptr ? vob_storage : "";
    const char* host = sysutl_myhostname();

    korva_mount_record record;
    std::memset(&record, 0, sizeof record);
    record.header_a = 12;
    record.header_b = 248;
    record.one = 1;
    record.vob_tag = korva_text_of(vob_tag);
    record.host = korva_text_of(host);
    record.view_storage = korva_text_of(view_storage.c_str());
    record.view_storage_again = record.view_storage;
    record.vob_storage = korva_text_of(storage_copy.c_str());
    record.family_oid = family_oid;
    record.word_3000 = 3000;
    record.word_1 = 1;
    qel_oid_to_uuid(&replica_oid, &record.replica_uuid);

    korvacmd_block block = block_of(KORVA_MCB_MOUNT_VOB, 0, &record, sizeof record);
    block.first_text = korva_text_of(tag.c_str());
    block.second_text = block.first_text;
    const int status = korva_ioctl(&block);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Status from korva_ioctl = %d (%d)", status, block.status);
    if (status == QEL_ST_EXISTS) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "VOB already mounted");
        return OstrelAgent_Status::VOB_ALREADY_MOUNTED;
    }
    return OstrelAgent_Util::qel_to_ostrel_status(status);
}

int OstrelAgent_KORVA_Ioctl::umount_vob(const char* vob_tag, const qel_oid_s& oid, int& raw_status) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "umount_vob");
    const std::string tag = m_view->get_server_tag();
    korva_umount_record record;
    std::memset(&record, 0, sizeof record);
    record.vob_tag = korva_text_of(vob_tag);
    qel_oid_to_uuid(&oid, &record.replica_uuid);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "unmounting %s (%s)", vob_tag,
                     text_of(record.replica_uuid).c_str());

    korvacmd_block block = block_of(KORVA_MCB_UMOUNT_VOB, 0, &record, sizeof record);
    block.first_text = korva_text_of(tag.c_str());
    block.second_text = block.first_text;
    raw_status = korva_ioctl(&block);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Status from korva_ioctl = %d", raw_status);
    if (raw_status == QEL_ST_INVALID) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "VOB not mounted");
        return OstrelAgent_Status::VOB_NOT_MOUNTED;
    }
    return OstrelAgent_Util::qel_to_ostrel_status(raw_status);
}

int OstrelAgent_KORVA_Ioctl::get_xstat(const char* path, view_vstat* vstat, qel_oid_s* obj_oid,
                                       qel_uuid_s* vob_uuid, int* word, int follow, qel_uuid_s* replica_uuid) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "get_xstat");
    view_vstat found;
    std::memset(&found, 0, sizeof found);
    korva_xstat_record record;
    std::memset(&record, 0, sizeof record);
    record.vstat = &found;
    record.vstat_size = sizeof found;
    uint32_t flags = case_flag() | (follow ? 0u : static_cast<uint32_t>(KORVA_MCB_NOFOLLOW));
    korvacmd_block block = block_of(KORVA_MCB_GET_XSTAT, flags, &record, sizeof record);
    block.first_text = korva_text_of(path);
    block.second_text = block.first_text;
    const int status = korva_ioctl(&block);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Status from korva_ioctl = %d for %s", status,
                     path != nullptr ? path : "");
    if (status != 0) return status;
    if (vstat != nullptr) *vstat = found;
    if (obj_oid != nullptr) *obj_oid = record.object_oid;
    if (vob_uuid != nullptr) *vob_uuid = record.vob_uuid;
    if (word != nullptr) *word = static_cast<int>(record.word);
    if (replica_uuid != nullptr) *replica_uuid = record.replica_uuid;
    return 0;
}

int OstrelAgent_KORVA_Ioctl::view_get_xstat(const char* path, view_vstat* vstat, qel_oid_s* obj_oid,
                                            qel_uuid_s* vob_uuid, int* word, qel_uuid_s* replica_uuid) {
    return get_xstat(path, vstat, obj_oid, vob_uuid, word, 1, replica_uuid);
}

int OstrelAgent_KORVA_Ioctl::view_lget_xstat(const char* path, view_vstat* vstat, qel_oid_s* obj_oid,
                                             qel_uuid_s* vob_uuid, int* word, qel_uuid_s* replica_uuid) {
    return get_xstat(path, vstat, obj_oid, vob_uuid, word, 0, replica_uuid);
}

void OstrelAgent_KORVA_Ioctl::view_inval_records(korva_inval_record* const* records, int* statuses,
                                                 size_t count) const {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "invalidate");
    // Without a view there is no view root to address.
    if (m_view == nullptr) {
        std::fill(statuses, statuses + count, QEL_ST_NO_VIEW_ROOT);
        return;
    }
    char root_dir[VIEW_ROOT_DIR_SIZE];
    const std::string tag = m_view->get_server_tag();
    const int root_status = qel_view_root_type(KORVA_VIEWROOT_AUTOMATIC, tag.c_str(), root_dir, sizeof root_dir);
    if (root_status != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "No view root for %s: %d", tag.c_str(), root_status);
        std::fill(statuses, statuses + count, QEL_ST_NO_VIEW_ROOT);
        return;
    }
    std::vector<korvacmd_block> blocks;
    blocks.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        records[i]->magic = 5;
        blocks.push_back(block_of(KORVA_MCB_INVALIDATE, case_flag(), records[i], sizeof *records[i]));
        blocks.back().first_text = korva_text_of(root_dir);
        blocks.back().second_text = korva_text_of("");
    }
    korva_ioctl(blocks.data(), statuses, count);
    for (size_t i = 0; i < count; ++i)
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Status from korva_ioctl = %d (kind %u)", statuses[i],
                         records[i]->kind);
}

int OstrelAgent_KORVA_Ioctl::invalidate(korva_inval_record& record) const {
    korva_inval_record* records[] = {&record};
    int status = 0;
    view_inval_records(records, &status, 1);
    return status;
}

int OstrelAgent_KORVA_Ioctl::view_inval_view() const {
    korva_inval_record record;
    std::memset(&record, 0, sizeof record);
    record.kind = KORVA_INVAL_VIEW;
    return invalidate(record);
}

int OstrelAgent_KORVA_Ioctl::view_inval_name(const qel_uuid_s& vob_uuid, const qel_oid_s& dir_oid,
                                             const char* name) const {
    korva_inval_record record = name_record(vob_uuid, dir_oid, name);
    return invalidate(record);
}

int OstrelAgent_KORVA_Ioctl::view_inval_obj(const qel_uuid_s& vob_uuid, const qel_oid_s& oid, vob_op_t op) const {
    korva_inval_record record = object_record(vob_uuid, oid, op);
    return invalidate(record);
}

void OstrelAgent_KORVA_Ioctl::view_inval_obj_and_name(const qel_uuid_s& vob_uuid, const qel_oid_s& oid, vob_op_t op,
                                                      const qel_oid_s& dir_oid, const char* name, int& obj_status,
                                                      int& name_status) const {
    korva_inval_record object = object_record(vob_uuid, oid, op);
    korva_inval_record leaf = name_record(vob_uuid, dir_oid, name);
    korva_inval_record* records[] = {&object, &leaf};
    int statuses[2] = {0, 0};
    view_inval_records(records, statuses, 2);
    obj_status = statuses[0];
    name_status = statuses[1];
}
