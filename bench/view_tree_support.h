#pragma once
// The loaded tree the view database's benchmarks work on: a VOB's root
// directory with 10 directories of 100 directories of files, each file an
// element and its version; the ids, names and file statuses of its objects.

#include <sys/time.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/qel/qel.h"

namespace bench {

constexpr int kTop = 10;
constexpr int kSub = 100;
const struct timeval kWhen = {1700000000, 1};

// Object numbers: the root 0, directories from 1, files from 1000000;
// element n and its version n + 1 << 28.
inline qel_oid_s oid_of(uint32_t n) {
    qel_oid_s oid{};
    uint64_t h = (uint64_t{n} + 1) * 0x9E3779B97F4A7C15ull;
    std::memcpy(oid.bytes, &h, sizeof h);
    std::memcpy(oid.bytes + 8, &n, sizeof n);
    oid.bytes[15] = 0x42;
    return oid;
}
inline qel_oid_s elem_of(uint32_t n) { return oid_of(n); }
inline qel_oid_s ver_of(uint32_t n) { return oid_of(n | 1u << 28); }
inline std::string file_name(int f) { return "source_" + std::to_string(f) + ".cpp"; }
inline std::string dir_name(int d) { return "dir" + std::to_string(d); }

inline qel_fstat_db_s status_of(bool dir, uint64_t size) {
    qel_fstat_db_s f{};
    f.type = dir ? QEL_FTYPE_DIR : QEL_FTYPE_REG;
    f.mode = dir ? 0755 : 0444;
    f.size = size;
    f.mtime = f.ctime = f.atime = {1700000000, 2};
    return f;
}

// The tree's shape: object numbers of the top directories, their
// subdirectories and the files of each.
struct Shape {
    int files_per_dir;
    uint32_t top(int t) const { return 1 + static_cast<uint32_t>(t); }
    uint32_t sub(int t, int s) const { return 100 + static_cast<uint32_t>(t * kSub + s); }
    uint32_t file(int t, int s, int f) const {
        return 1000000 + static_cast<uint32_t>((t * kSub + s) * files_per_dir + f);
    }
};

}  // namespace bench
