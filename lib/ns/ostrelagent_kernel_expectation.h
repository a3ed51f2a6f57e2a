#pragma once
// A change an element operation makes through its own file call on the
// view (a rename or a removal through the kernel) that must also change the
// name's marks: a Hijack's whole copy renamed onto the loaded name makes it
// hijacked, an Unhijack's removal of the hijacked file clears the hijack.
// The operation expects the call while it makes it; the namespace, serving
// the call, finds the expectation and makes the file's change and the
// marks' one write of the view database. A crash then leaves the name as
// it was before the operation or as the operation leaves it, never marked
// without its file or holding a hidden, unmarked one.
//
// The names are those of a directory element (VOB uuid and the element's
// dbid), so that a new version of the directory read meanwhile is the same
// directory. The table has its own mutex, a leaf: nothing is called while
// it is held.

#include <cstdint>
#include <string>

#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_view.h"

class OstrelAgent_Kernel_Expectation {
public:
    enum class Kind {
        HIJACK_BY_RENAME,     // the rename onto the name marks it hijacked
        UNHIJACK_BY_REMOVAL,  // the removal of the hijacked file clears the hijack
    };

    // Expects the call on `name` of the directory `dir` (a handle of the
    // directory the name is in) until destroyed. `version` is the loaded
    // version a hijack keeps the ids of, and `source` the name its copy is
    // renamed from (HIJACK_BY_RENAME): another caller's rename onto the
    // name meanwhile is not the one expected.
    OstrelAgent_Kernel_Expectation(Kind kind, const view_fhandle& dir, const std::string& name,
                                   const view_vstat* version = nullptr, const std::string& source = std::string());
    ~OstrelAgent_Kernel_Expectation();
    OstrelAgent_Kernel_Expectation(const OstrelAgent_Kernel_Expectation&) = delete;
    OstrelAgent_Kernel_Expectation& operator=(const OstrelAgent_Kernel_Expectation&) = delete;

    // Whether the call came and made its change.
    bool met() const;

    // For the namespace serving a call on `name` of the directory element
    // `dir_elem_dbid` of the VOB `vob` (a rename's from `source`, else
    // nullptr): whether an operation expects it (the number of the
    // expectation, else 0), with the version it keeps.
    static uint64_t find(Kind kind, const qel_uuid_s& vob, int32_t dir_elem_dbid, const char* name,
                         view_vstat* version, const char* source = nullptr);
    // The call found as `number` made its change.
    static void meet(uint64_t number);

private:
    uint64_t m_number;
};
