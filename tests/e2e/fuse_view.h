#pragma once
// A view that ordinary programs use: the real daemon serves it, a VOB is
// mounted in it and korva_fuse mounts its root directory. For end-to-end
// tests and the benchmark that compares the mount with a plain directory.
//
// The VOB's root comes from the view database: until content fetch asks the
// server for a VOB's root, the view is given one (an empty, listed
// directory) while no daemon holds its database, after MountVob; the next
// StartView mounts the VOB again.

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

// The server's answer to the VOB's Get_VOBInfo (a rule of the test server's
// scenario), for MountVob.
std::string vobinfo_rule(const Vob& vob);

// Gives the view database in `storage` (no daemon may hold it) the root of
// `vob`, listed and empty. Runs in this process with the storage as working
// directory meanwhile. False with `*error` on failure.
bool store_vob_root(const std::string& storage, const Vob& vob, std::string* error);

} // namespace e2e
