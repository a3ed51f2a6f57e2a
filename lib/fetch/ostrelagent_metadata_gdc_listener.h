#pragma once
// Stores the entries of a directory listing in the view database as the
// server streams them, under the directory version the listener was made
// for. "." and ".." are passed over, and so is any other name that cannot be
// a file name (counted, the first kept, for the fetch's log line); an entry
// that cannot be stored leaves its status behind (a later success does not
// clear it) and the fetch then does not mark the directory listed.

#include <string>

#include "lib/client/rclient_get_directory_contents_listener.h"
#include "platform/qel/qel.h"

class OstrelAgent_Metadata_GDC_Listener final : public Get_Directory_Contents_Listener {
public:
    OstrelAgent_Metadata_GDC_Listener(unsigned dir_dbid, const qel_uuid_s& vob);
    ~OstrelAgent_Metadata_GDC_Listener() override;

    void process_dirent(ostrel_extended_dirent* entry) override;

    // Entries handed over, stored or not ("." and ".." not counted).
    unsigned get_count() const { return m_count; }
    // 0, or the status of the last entry that could not be stored.
    int get_status() const { return m_status; }
    // Names passed over that cannot be file names, and the first of them.
    unsigned get_unsafe_count() const { return m_unsafe_count; }
    const std::string& get_first_unsafe() const { return m_first_unsafe; }

private:
    unsigned m_count = 0;
    unsigned m_unsafe_count = 0;
    std::string m_first_unsafe;
    int m_status = 0;
    unsigned m_dir_dbid;
    qel_uuid_s m_vob;
};
