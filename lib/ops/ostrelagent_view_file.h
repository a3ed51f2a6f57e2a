#pragma once
// Every call the element operations make on the view's own files (the view
// root followed by an element's path, served through the mount).
//
// A request names the path, and a user of the view may have put anything
// at its leaf: a symbolic link to a file outside the view, a FIFO, a
// device. So the leaf is examined without following a link before anything
// is opened or changed, and anything but what the operation expects (a
// plain file, or a directory) ends the operation with 20001 and a message
// naming the path. Files are opened without following a link and without
// blocking, checked again on the descriptor, and their mode and times are
// set on that descriptor.
//
// A copy onto a name is made whole under a temporary name in the same
// directory and renamed onto the name: a crash leaves the name as it was
// or holding the whole copy, never a part of it. A temporary left by a
// crash is taken away by the next copy onto the same name.
//
// Each call returns 0, or 20001 with its text appended to `message`.

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <string>

class OstrelAgent_View_File {
public:
    // What the operation expects at a path.
    enum class Kind { FILE, DIRECTORY };

    // The leaf of `path`, not following a link: 0 with `st` filled, or the
    // error (ENOENT when there is nothing).
    static int examine(const std::string& path, struct stat& st);

    // Refuses anything but `kind` at `path`'s leaf. `present` tells whether
    // anything is there; nothing there is not refused.
    static int expect(const std::string& path, Kind kind, bool& present, std::string& message);

    // Opens the plain file `path` for reading. 0 with `fd` the open
    // descriptor (the caller closes it), or 20001.
    static int open_read(const std::string& path, int& fd, std::string& message);

    // Copies the plain file `source` (the agent's own cleartext) whole onto
    // `path`: a new file with the source's permission bits (umask applied)
    // or `mode` when it is not 0, and the times `times` (access, change)
    // when not null. What `path` names is replaced; it must be a plain file
    // or nothing. A copy that fails leaves the name as it was; a mode or
    // times that cannot be set leave the copy in place, and 20001.
    static int copy_whole(const std::string& source, const std::string& path, mode_t mode,
                          const struct timespec* times, std::string& message);

    // copy_whole() in two steps, for an operation that changes the view
    // between them: the whole copy made under the temporary name (any
    // copy left there before replaced), then renamed onto `path`.
    // A mode or times that cannot be set leave the copy whole, with their
    // failure told and `attributes_failed` set.
    static int prepare_copy(const std::string& source, const std::string& path, mode_t mode,
                            const struct timespec* times, std::string& message, bool& attributes_failed);
    static int finish_copy(const std::string& path, std::string& message);
    // Whether a copy onto `path` is left under its temporary name.
    static bool copy_left(const std::string& path);
    // Removes what is left under the temporary name of a copy onto `path`.
    static int drop_copy(const std::string& path, std::string& message);

    // The temporary name a copy onto `path` is made under.
    static std::string copy_name(const std::string& path);

    // Sets the permission bits of the plain file `path`.
    static int set_mode(const std::string& path, mode_t mode, std::string& message);

    // Sets the plain file `path`'s times to now.
    static int touch(const std::string& path, std::string& message);

    // Removes the plain file `path`; nothing there is 0 when `missing_ok`.
    static int remove(const std::string& path, bool missing_ok, std::string& message);

    // Renames the plain file `from` to `to` (which may hold a plain file,
    // or nothing). ENOENT when `from` is not there (nothing changed, no
    // text), else 0 or 20001.
    static int rename(const std::string& from, const std::string& to, std::string& message);
};
