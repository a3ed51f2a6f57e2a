#pragma once
// A view that ordinary programs use: the real daemon serves it, a VOB the
// test server serves is mounted in it and korva_fuse mounts its root
// directory. For end-to-end tests and the benchmark that compares the mount
// with a plain directory.
//
// The server's VOB is small: its root lists a file and a directory; every
// other name it is asked for is not there. Its files' contents are not
// served (only names, listings and statuses).

#include <string>

namespace e2e {

// The VOB every such view mounts.
struct Vob {
    std::string tag = "/vobs/src";
    std::string replica = "5a000000-0000-4000-8000-0000000000a1";
    std::string family = "5f000000-0000-4000-8000-0000000000a1";
};

// Server records in the test server's JSON form, for rules that serve a
// VOB's names. Object `n` has the oid served_oid(n); a version of kind
// `mtype` names its element `elem` (itself when 0); a file has `size` bytes.
std::string served_oid(unsigned n);
std::string served_vstat(unsigned n, unsigned mtype, unsigned elem = 0, unsigned size = 0);
// The metadata of a version (a look-up's or the VOB root's answer).
std::string served_metadata(unsigned n, unsigned mtype, unsigned elem, unsigned size = 0);
// A directory listing's entry `name` for that version, loaded at the
// automatic load scope's generation `gn`.
std::string served_entry(const std::string& name, unsigned n, unsigned mtype, unsigned elem, unsigned size = 0,
                         unsigned gn = 1);

// The test server's rules for `vob`: Get_VOBInfo for MountVob; the root
// (version 11 of directory element 10) lists "README" (a file of 42 bytes,
// version 21 of 20) and "docs" (an empty directory, version 31 of 30); a
// look-up of either in the root finds it, of any other name answers that
// there is none.
std::string served_vob_rules(const Vob& vob);

// The server's answer to the VOB's Get_VOBInfo alone, for MountVob.
std::string vobinfo_rule(const Vob& vob);

} // namespace e2e
