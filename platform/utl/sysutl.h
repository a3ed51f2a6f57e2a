// System utilities: the process's file-creation mask, host and user names,
// home directories, pipes, close-on-exec, running a helper program, and the
// NFS attribute flush.
//
// Results are 0 on success and -1 with errno set on failure unless said
// otherwise.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "platform/utl/credutl.h"

// ---- file-creation mask ---------------------------------------------------

// Reads the process's file-creation mask without changing it.
int sysutl_get_umask(mode_t* mask);

// Installs `mask` as the process's file-creation mask. With `keep_current`
// non-zero the bits of the current mask stay set as well (the mask only
// grows).
int sysutl_initialize_umask(int keep_current, mode_t mask);

// ---- names ----------------------------------------------------------------

// The local host name (gethostname); the empty text when it cannot be read.
// The text stays valid for the life of the process.
const char* sysutl_myhostname();

// The name of the user who runs the process: the password database's name
// of the real user id, else $LOGNAME, else $USER, else the id in decimal.
// The text stays valid for the life of the process.
const char* sysutl_myloginname();

// Writes the home directory of `user` (null: the process's own user) to
// `buf` and returns 1; returns 0 when it is unknown or does not fit. For the
// process's own user a non-empty $HOME wins over the password database, so
// that tests and users can move it.
int sysutl_get_homedir(const char* user, char* buf, size_t size);

// Flags of sysutl_usid_to_user.
constexpr unsigned SYSUTL_USER_NAME = 0x1;       // the password database's name, else "#<uid>"
constexpr unsigned SYSUTL_USER_QUALIFIED = 0x2;  // "<domain>\<name>"
constexpr unsigned SYSUTL_USER_PLAIN = 0x4;      // the name alone, safe in file names

// Writes the user that `usid` names to `buf`: the name (with
// SYSUTL_USER_NAME) or "#<uid>"; with SYSUTL_USER_QUALIFIED preceded by
// `domain` (null: the local host name) and a backslash; with
// SYSUTL_USER_PLAIN and without SYSUTL_USER_QUALIFIED, characters that do not
// belong in a file name ('/', '\\', blanks, ':') become '_'. EINVAL when the
// sid names no user, ERANGE when the text does not fit.
int sysutl_usid_to_user(const credutl_sid_t* usid, unsigned flags, const char* domain, char* buf,
                        size_t size);

// ---- descriptors -----------------------------------------------------------

// Makes a pipe: fds[0] the read end, fds[1] the write end. `flags` may hold
// O_CLOEXEC and O_NONBLOCK (0: neither).
int sysutl_pipe(int flags, int fds[2]);

// Closes one end of a pipe; a negative descriptor is ignored.
int sysutl_pipe_close(int fd);

// Sets (`on` non-zero) or clears close-on-exec on a descriptor.
int sysutl_set_cloexec_file(int fd, int on);

// ---- programs --------------------------------------------------------------

// Flags of sysutl_invoke_general_redirect.
constexpr int SYSUTL_REDIRECT_STDOUT_TO_STDERR = 0x1;

// Runs `program` with the one argument `argument` (null: none), its standard
// input from /dev/null and, with SYSUTL_REDIRECT_STDOUT_TO_STDERR, its
// standard output joined to the caller's standard error (the daemon's
// standard output carries its start-up reply), no signal blocked and every
// signal at its default action. Waits for it: `*exit_status`
// is its exit status, or 128 plus the signal number when a signal ended it.
// -1 with errno when it could not be started.
int sysutl_invoke_general_redirect(int flags, const char* program, const char* argument,
                                   int* exit_status);

// ---- processes -------------------------------------------------------------

// 1 when the process `pid` is gone or ending: it was killed (a kill pending
// that it has not yet died of) or its first thread is exiting or has ended. A process
// ending keeps its descriptors, and the locks and connections they hold,
// until its last thread ends, which a thread waiting in an uninterruptible
// call may put off indefinitely. 0 while it runs.
int sysutl_process_ending(pid_t pid);

// ---- NFS -------------------------------------------------------------------

// Refreshes the client's cached attributes of the directory `path` (opening
// it revalidates them on NFS; elsewhere it is merely a cheap open).
int sysutl_nfs_flush(const char* path);
