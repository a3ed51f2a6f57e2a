#pragma once
// One batch of a directory's extended entries, as a directory read packs
// them into a buffer: records back to back from the buffer's start, each a
// 58-byte head, the name and its NUL, padded to a multiple of 4 bytes
// (view_dirent_ext_reclen of the name's length).
//
// The records are read only after they are checked against the bytes the
// read says it used: the head and the name must lie within them, the name
// must not be empty, must end in a NUL at its length and hold no NUL
// before. A record that fails ends the batch as damaged, with the reason,
// so that a damaged batch is refused instead of read past its end.

#include <string>

#include "xdr/ostrelxdr_view.h"

class OstrelAgent_Dirent_Batch {
public:
    // The smallest record: the head and a name of one character with its
    // NUL.
    static constexpr unsigned MIN_RECORD = view_dirent_ext_reclen(1);

    // One record: its head and its name (`length` bytes, NUL-terminated,
    // pointing into the buffer).
    struct Entry {
        view_dirent_ext head{};
        const char* name = nullptr;
        unsigned length = 0;
    };

    // The batch of `used` bytes at the start of `buf`, a buffer of `size`
    // bytes. The buffer must outlive the batch.
    OstrelAgent_Dirent_Batch(const void* buf, unsigned size, unsigned used);

    // The next record: true with `entry` filled; false at the end of the
    // batch, or at a damaged record (damage() then tells why).
    bool next(Entry& entry);
    // Empty while the batch reads well; else why it cannot be read on.
    const std::string& damage() const { return m_damage; }

private:
    bool damaged(const std::string& why);

    const char* m_buf;
    unsigned m_used;
    unsigned m_at = 0;
    std::string m_damage;
};
