// File utilities: existence and status, directory trees, copies, renames,
// temporary files, path-name splitting and normalisation, and the CRC of a
// buffer.
//
// Results are 0 on success and -1 with errno set on failure unless said
// otherwise, so that callers can report the system's error text.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>

// Size of the path buffers that callers hand to the functions below.
constexpr size_t FILEUTL_PATH_MAX = 1024;

// ---- existence and status -----------------------------------------------

// Non-zero when `path` exists. With `follow` non-zero a symbolic link counts
// only when its target exists; with 0 the link itself is enough.
int fileutl_exists(const char* path, int follow);

// Flags of fileutl_stat.
constexpr int FILEUTL_STAT_NOFOLLOW = 0x1;  // status of a symbolic link itself

// The status of `path` (stat, or lstat with FILEUTL_STAT_NOFOLLOW).
int fileutl_stat(const char* path, int flags, struct stat* st);

// Opens a directory for reading (readdir/closedir); null with errno set.
DIR* fileutl_opendir(const char* path);

// ---- directories and removal ----------------------------------------------

// Makes directories with `mode` (before the process's file-creation mask).
// `make_last` 1: `path` itself and every missing parent; 0: only the missing
// parents of `path`, not its last component. Directories that exist already
// are fine, also when another process makes them at the same time; a
// non-directory in the way fails with ENOTDIR (or EEXIST for the last
// component).
int fileutl_mkpath(const char* path, mode_t mode, int make_last);

// Flags of fileutl_rm.
constexpr int FILEUTL_RM_RECURSIVE = 0x2;

// Removes `path`: a file or symbolic link (never its target), or an empty
// directory. With FILEUTL_RM_RECURSIVE a directory goes with everything
// below it; symbolic links inside are removed, not followed. A failure stops
// the removal at the first entry that cannot be removed.
int fileutl_rm(const char* path, int flags);

// ---- copies and renames ----------------------------------------------------

// Copies the bytes of the regular file `source` to `destination`, creating
// it (with the source's permission bits, before the file-creation mask) or
// replacing its contents. The flag words that callers pass all ask for
// exactly this; other bits are accepted and have no further effect. Copying
// a file onto itself fails with EINVAL instead of emptying it.
int fileutl_cp(const char* source, const char* destination, unsigned flags);

// Copies what is left of the file open on `in` to `out`, from where each
// stands, in pieces large enough that a file system whose every call is a
// request (a view through its kernel side) gets few of them. `before_write`,
// when given, is called before each piece is written, with the bytes
// written so far. 0, or -1 with errno set and `*failed_call` (when not
// null) naming the call that failed: "read" or "write".
int fileutl_copy_fd(int in, int out, const char** failed_call = nullptr,
                    const std::function<void(off_t written)>& before_write = nullptr);

// rename(2).
int fileutl_rename(const char* from, const char* to);

// Renames `path` to the first free name of `path` + `suffix`,
// `path` + `suffix` + ".1", ".2", ... and writes that name to `out`. Never
// replaces an existing file or directory. ENOENT when `path` is missing,
// ENAMETOOLONG when a name does not fit in `out_size`.
int fileutl_rename_unique(const char* path, const char* suffix, char* out, size_t out_size);

// Creates a new, empty file in `directory`, named `prefix` (null: "tmp")
// followed by random characters, opened read-write with O_EXCL and
// close-on-exec and mode 0600; its full name goes to `out`. Returns the open
// descriptor, or -1 with errno set.
int fileutl_tmpfile_ext_binary(const char* directory, const char* prefix, char* out,
                               size_t out_size);

// ---- path names ----------------------------------------------------------

// Splits `path` at its last separator into the directory part and the leaf,
// each written to a buffer of FILEUTL_PATH_MAX bytes. Separators that end the
// path, and those between the parts, are dropped: "a/b/" gives "a" and "b",
// "a//b" gives "a" and "b". A path without a separator, and a path whose only
// separator is its first character ("/x"), give the empty parent. EINVAL for
// an empty path or one made only of separators (it has no leaf);
// ENAMETOOLONG when a part does not fit.
int fileutl_strip_leaf(const char* path, char* parent, char* leaf);

// The first separator at or after `path`, or null when there is none.
const char* fileutl_find_pname_sep_left(const char* path);

// Non-zero when `parent` names the same path as `child` or one of its
// ancestors, comparing whole components: "/vobs/a" is a parent of
// "/vobs/a/b" but not of "/vobs/ab". Repeated and trailing separators do not
// count; an absolute path never matches a relative one.
int fileutl_pname_equal_or_parent(const char* parent, const char* child);

// Lexically normalised absolute form of `path`: a relative path is taken
// relative to `base` (an absolute path; null: the current directory); empty
// and "." components are dropped and ".." removes the component before it
// (at the root it stays at the root). Symbolic links are not looked at and
// nothing needs to exist. ENAMETOOLONG when the result does not fit.
int fileutl_make_abs_pn(const char* path, const char* base, char* out, size_t out_size);

// The absolute, resolved path of an existing file or directory (symbolic
// links and "." and ".." resolved by the system).
int fileutl_abspn(const char* path, char* out, size_t out_size);

// ---- checksums -------------------------------------------------------------

// CRC-32 (the IEEE polynomial of zlib and Ethernet) of `length` bytes.
void fileutl_crc_buffer(const void* data, size_t length, uint32_t* crc);
