#pragma once
// What the mounted-VOB registry asks of the requests floor when a view
// starts again: to mount a VOB of the registry's file as a MountVob request
// mounts one. The requests floor implements it (OstrelAgent_Mountvob), and
// the view handler registers it with the registry when it is made.

#include "lib/core/ostrelagent_vob_mount_info.h"

class OstrelAgent_Vob_Mounter {
public:
    virtual ~OstrelAgent_Vob_Mounter() = default;

    // Mounts the VOB and records it in the registry: 0, or the mount's
    // status.
    virtual int mount(const VOB_mount_info& info) = 0;
};
