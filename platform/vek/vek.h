// Kernel-services library: system initialisation, the file-mode constants of
// the kernel protocol and its basic types, and the library's version line.
#pragma once

#include <sys/stat.h>

#include <cstdint>

// File-type bits of a mode word (the mask and the types the program tests)
// and its permission bits. Their values are those of the kernel protocol and
// of POSIX alike.
constexpr uint32_t VEK_S_IFMT = 0xF000;
constexpr uint32_t VEK_S_IFIFO = 0x1000;
constexpr uint32_t VEK_S_IFCHR = 0x2000;
constexpr uint32_t VEK_S_IFDIR = 0x4000;
constexpr uint32_t VEK_S_IFBLK = 0x6000;
constexpr uint32_t VEK_S_IFREG = 0x8000;
constexpr uint32_t VEK_S_IFLNK = 0xA000;
constexpr uint32_t VEK_S_IFSOCK = 0xC000;

constexpr uint32_t VEK_S_ISUID = 0x800;
constexpr uint32_t VEK_S_ISGID = 0x400;
constexpr uint32_t VEK_S_ISVTX = 0x200;
constexpr uint32_t VEK_S_IRWXU = 0700;
constexpr uint32_t VEK_S_IRUSR = 0400;
constexpr uint32_t VEK_S_IWUSR = 0200;
constexpr uint32_t VEK_S_IXUSR = 0100;
constexpr uint32_t VEK_S_IRWXG = 070;
constexpr uint32_t VEK_S_IRGRP = 040;
constexpr uint32_t VEK_S_IWGRP = 020;
constexpr uint32_t VEK_S_IXGRP = 010;
constexpr uint32_t VEK_S_IRWXO = 07;
constexpr uint32_t VEK_S_IROTH = 04;
constexpr uint32_t VEK_S_IWOTH = 02;
constexpr uint32_t VEK_S_IXOTH = 01;

static_assert(VEK_S_IFMT == S_IFMT && VEK_S_IFDIR == S_IFDIR && VEK_S_IFREG == S_IFREG &&
                  VEK_S_IFLNK == S_IFLNK && VEK_S_IFIFO == S_IFIFO && VEK_S_ISUID == S_ISUID &&
                  VEK_S_ISGID == S_ISGID && VEK_S_ISVTX == S_ISVTX,
              "the protocol's mode bits are the system's");

// True when a mode word has the file type `type` (one of the VEK_S_IF*).
constexpr bool vek_mode_is(uint32_t mode, uint32_t type) {
    return (mode & VEK_S_IFMT) == type;
}

// A 32-bit directory offset and a canonical path name held as a text
// pointer, as the kernel protocol carries them.
typedef uint32_t vek_off32_t;
typedef char* vek_canon_pname_p_t;

// Initialises the library; called once, before anything else of the
// platform. Nothing needs setting up in this implementation.
void vek_system_init();

// Prints the library's version line through the message library (kind 0),
// or formats it into `buf` (IMSG_MAX_TEXT bytes at most are written).
void libhalvicvek_print_verid();
int libhalvicvek_sprintf_verid(char* buf);
