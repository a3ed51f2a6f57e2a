#pragma once
// Control calls of the kernel file system `korva` for one view: register and
// unregister the view, mount and unmount its VOBs, read the status of a path
// in it, and drop what the kernel caches of the view, a name or an object.
// Users make a control object on the view when they need one.

#include <string>

#include "platform/korva/korva.h"
#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_view.h"

class OstrelAgent_View_Base;

// The kernel file-system control object bound to one view. It reads the
// view's storage path, its cleartext cache directory (the second storage
// path the kernel is told of), its server view tag and its view uuid.
class OstrelAgent_KORVA_Ioctl {
public:
    explicit OstrelAgent_KORVA_Ioctl(OstrelAgent_View_Base* view);
    virtual ~OstrelAgent_KORVA_Ioctl();

    OstrelAgent_KORVA_Ioctl(const OstrelAgent_KORVA_Ioctl&) = delete;
    OstrelAgent_KORVA_Ioctl& operator=(const OstrelAgent_KORVA_Ioctl&) = delete;

    // Registers the view (server view tag, storage path, host, view uuid,
    // case-sensitive names); the caller makes sure first that the kernel
    // request listener exists. The kernel's base-library status.
    int register_view();
    // Removes the view's server tag from the kernel. The base-library status.
    int unregister_view();

    // Mounts a VOB in the view: 0; 20046 when the kernel has it mounted
    // already (1067); another kernel status mapped to an agent status.
    int mount_vob(const char* vob_tag, const char* vob_storage, const qel_oid_s& replica_oid,
                  const qel_oid_s& family_oid);
    // Unmounts a VOB by its tag; `oid` travels as the record's replica uuid.
    // The kernel's status goes to `raw_status` (1088: busy). 0; 20047 when
    // the VOB is not mounted (1072); another status mapped.
    int umount_vob(const char* vob_tag, const qel_oid_s& oid, int& raw_status);

    // The status of `path` in the view as the kernel sees it, following a
    // final symbolic link when `follow` is set; each output that is not null
    // gets its part on success. The kernel's base-library status.
    int get_xstat(const char* path, view_vstat* vstat, qel_oid_s* obj_oid, qel_uuid_s* vob_uuid, int* word,
                  int follow, qel_uuid_s* replica_uuid);
    int view_get_xstat(const char* path, view_vstat* vstat, qel_oid_s* obj_oid, qel_uuid_s* vob_uuid,
                       int* word, qel_uuid_s* replica_uuid);
    int view_lget_xstat(const char* path, view_vstat* vstat, qel_oid_s* obj_oid, qel_uuid_s* vob_uuid,
                        int* word, qel_uuid_s* replica_uuid);

    // Drop what the kernel caches of the whole view, of one name in a
    // directory, or of one object (the operation that changed it decides
    // the kind the kernel is told). The base-library status; 1011 when the
    // view's root directory cannot be found.
    int view_inval_view() const;
    int view_inval_name(const qel_uuid_s& vob_uuid, const qel_oid_s& dir_oid, const char* name) const;
    int view_inval_obj(const qel_uuid_s& vob_uuid, const qel_oid_s& oid, vob_op_t op) const;
    // Both of the last two, the object's first, through one look-up of the
    // view's root and one handle on it (an update asks both for each
    // object): each one's status as those return it.
    void view_inval_obj_and_name(const qel_uuid_s& vob_uuid, const qel_oid_s& oid, vob_op_t op,
                                 const qel_oid_s& dir_oid, const char* name, int& obj_status,
                                 int& name_status) const;

    // The records of an object's and of a name's invalidation, as the two
    // calls above make them (the name is not copied).
    static korva_inval_record object_record(const qel_uuid_s& vob_uuid, const qel_oid_s& oid, vob_op_t op);
    static korva_inval_record name_record(const qel_uuid_s& vob_uuid, const qel_oid_s& dir_oid, const char* name);
    // The invalidations of `records` (each one's magic set here), as few
    // kernel calls as can be: each one's status in `statuses`, as the calls
    // above return it.
    void view_inval_records(korva_inval_record* const* records, int* statuses, size_t count) const;

private:
    // Issues command blocks in order on one view-root handle of the
    // automatic kind, as batches, repeating each block whose call is
    // interrupted. Each one's status:
    // the block's, the open's, or the base status of the call's errno.
    static void korva_ioctl(korvacmd_block* blocks, int* statuses, size_t count);
    static int korva_ioctl(korvacmd_block* block);
    static void print_mkview(const korva_view_record& record);
    int invalidate(korva_inval_record& record) const;

    OstrelAgent_View_Base* m_view;
};
