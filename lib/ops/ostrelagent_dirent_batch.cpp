#include "lib/ops/ostrelagent_dirent_batch.h"

#include <cstring>

#include "lib/core/ostrelagent_util.h"

static_assert(OstrelAgent_Dirent_Batch::MIN_RECORD == 60, "the smallest extended record is 60 bytes");

OstrelAgent_Dirent_Batch::OstrelAgent_Dirent_Batch(const void* buf, unsigned size, unsigned used)
    : m_buf(static_cast<const char*>(buf)), m_used(used) {
    if (used > size) {
        m_damage = OstrelAgent_Util::snprintf("%u bytes said to be used of a buffer of %u", used, size);
        m_used = 0;
    }
}

bool OstrelAgent_Dirent_Batch::damaged(const std::string& why) {
    m_damage = OstrelAgent_Util::snprintf("damaged entry at byte %u of %u: ", m_at, m_used) + why;
    m_at = m_used;
    return false;
}

bool OstrelAgent_Dirent_Batch::next(Entry& entry) {
    if (m_at >= m_used) return false;
    const unsigned left = m_used - m_at;
    if (left < MIN_RECORD) return damaged(OstrelAgent_Util::snprintf("%u bytes left, too few for an entry", left));
    const char* record = m_buf + m_at;
    entry.name = view_dirent_ext_read(record, &entry.head);
    entry.length = entry.head.namlen;
    if (entry.length == 0) return damaged("empty name");
    const unsigned length = view_dirent_ext_reclen(entry.length);
    if (length > left)
        return damaged(OstrelAgent_Util::snprintf("name of %u bytes runs past the bytes used", entry.length));
    if (entry.name[entry.length] != '\0') return damaged("name not terminated");
    if (std::memchr(entry.name, '\0', entry.length) != nullptr) return damaged("name holds a NUL");
    m_at += length;
    return true;
}
