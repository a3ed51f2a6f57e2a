#pragma once
// Control calls of the kernel file system `korva`: the per-view control
// object that registers and unregisters the view, and the view-root query.
//
// For now only what starting and ending a view needs is here. Registering
// does not yet make sure that the kernel request listener exists (the
// kernel request threads come with the kernel file-system service), and the
// VOB mount, invalidation and status calls of the control object come with
// that service too.

#include <string>

#include "platform/korva/korva.h"

class OstrelAgent_View;

// The kernel file-system control object bound to one view. It reads the
// view's storage path, server view tag and view uuid.
class OstrelAgent_KORVA_Ioctl {
public:
    explicit OstrelAgent_KORVA_Ioctl(OstrelAgent_View* view);
    virtual ~OstrelAgent_KORVA_Ioctl();

    OstrelAgent_KORVA_Ioctl(const OstrelAgent_KORVA_Ioctl&) = delete;
    OstrelAgent_KORVA_Ioctl& operator=(const OstrelAgent_KORVA_Ioctl&) = delete;

    // Registers the view (server view tag, storage path, host, view uuid,
    // case-sensitive names). The kernel's base-library status.
    int register_view();
    // Removes the view's server tag from the kernel. The base-library status.
    int unregister_view();

private:
    // Issues one command block on a view-root handle of the automatic kind,
    // repeating it when the call is interrupted. The block's status, the open's
    // status, or the base status of the call's errno.
    static int korva_ioctl(korvacmd_block* block);

    OstrelAgent_View* m_view;
};

// View-root queries, shared with the korva_agent tool.
class KORVA_Agent_Ioctl {
public:
    // The view-root directory of view kind `type` into `root`. 0; 1001 when no
    // view-root handle can be opened; the client's status when the query
    // fails. `root` is changed only on success.
    static int get_korva_root(korva_viewroot_type type, std::string& root);
};
