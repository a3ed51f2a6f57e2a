#pragma once
// What the directory fetch hands each entry to, while its reply streams in.

#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

// One directory entry with its metadata. It lives for the one call that
// receives it: a listener that keeps anything copies it.
struct ostrel_extended_dirent {
    ostrel_dirent_t dirent;   // as the server sent it
    qel_oid_s scope_oid;      // the entry's load scope
    unsigned int scope_gn;    // and its generation number
    ostrel_vstat obj_vstat;   // the object's attributes
    ostrel_vstat elem_vstat;  // its element's
};

class Get_Directory_Contents_Listener {
public:
    virtual ~Get_Directory_Contents_Listener() = default;
    // Called on the thread that runs the command, in the reply's order.
    virtual void process_dirent(ostrel_extended_dirent* entry) = 0;
};
