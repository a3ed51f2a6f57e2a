#pragma once
// A view that ordinary programs use: the real daemon serves it, a VOB is
// mounted in it and korva_fuse mounts its root directory. For end-to-end
// tests and the benchmark that compares the mount with a plain directory.
//
// The VOB's root comes from the view database: until content fetch asks the
// server for a VOB's root, the view is given one (an empty, listed
// directory) while no daemon holds its database, and the mount is recorded
// in the storage's ".mounted_vobs" as MountVob records it, which the next
// StartView mounts again.

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>

#include "fuse_mount.h"

namespace e2e {

// The VOB every such view mounts.
struct Vob {
    std::string tag = "/vobs/src";
    std::string replica = "5a000000-0000-4000-8000-0000000000a1";
    std::string family = "5f000000-0000-4000-8000-0000000000a1";
};

// MkView of an automatic view that makes no contact with a server.
std::string offline_mkview_request(const std::string& view_uuid, const std::string& server_tag,
                                   const std::string& cache_dir);
std::string offline_startview_request();

// Gives the view database in `storage` (no daemon may hold it) the root of
// `vob`, listed and empty, and records `vob` as mounted. Runs in this
// process with the storage as working directory meanwhile. False with
// `*error` on failure.
bool prepare_vob(const std::string& storage, const Vob& vob, std::string* error);

} // namespace e2e
