#pragma once
// Where the kernel file system `korva` roots a kind of view, and which suffix
// turns a name into an extended name. The daemon and the korva_agent tool
// both ask through this class, which is a library of its own so that the
// tool links it without the rest of the agent.

#include <string>

#include "platform/korva/korva.h"

// Both queries return 0 with the answer in the string; 1001 when no
// view-root handle can be opened, or when the kernel call failed without a
// status of its own; else the kernel's status. The string changes only on
// success. An interrupted call is issued again.
class KORVA_Agent_Ioctl {
public:
    // The view-root directory of view kind `type` (at most 255 bytes).
    static int get_korva_root(korva_viewroot_type type, std::string& root);
    // The extended-naming suffix of view kind `type` (at most 1023 bytes).
    static int get_extended_naming_suffix(korva_viewroot_type type, std::string& suffix);

private:
    static int query(korva_viewroot_type type, int command, size_t buffer_size, bool padded_record,
                     std::string& answer);
};
