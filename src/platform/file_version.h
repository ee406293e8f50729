/* The file version of a module, the POSIX counterpart of a Windows VERSIONINFO
 * resource: an ELF note in the library file that Platform::ModuleFileVersion
 * reads back (see docs/platform.md).
 *
 * A module's source uses the macro once, at file scope:
 *
 *     #include "platform/file_version.h"
 *     CRYPTLIB_FILE_VERSION(1, 0, 0, 0)
 *
 * It embeds a note section ".note.cryptlib.version": note name "CryptLib",
 * note type 1, and as descriptor the four numbers major, minor, release and
 * build, each an unsigned 16-bit little-endian value. `readelf -n` shows it.
 * On systems without ELF (Windows builds use a .rc resource instead) the macro
 * expands to nothing. Usable from C and C++.
 */
#ifndef CRYPTLIB_PLATFORM_FILE_VERSION_H
#define CRYPTLIB_PLATFORM_FILE_VERSION_H

#include <stdint.h>

#define CRYPTLIB_FILE_VERSION_SECTION ".note.cryptlib.version"
#define CRYPTLIB_FILE_VERSION_NOTE_NAME "CryptLib" /* 9 bytes with its NUL */
#define CRYPTLIB_FILE_VERSION_NOTE_TYPE 1

/* The note as it lies in the file: the ELF note header (in the file's byte
 * order, which is the compiler's), the name padded to 4 bytes, the
 * descriptor. 32 bytes, 4-byte aligned. */
struct cryptlib_file_version_note {
  uint32_t name_size;       /* 9 */
  uint32_t descriptor_size; /* 8 */
  uint32_t type;            /* CRYPTLIB_FILE_VERSION_NOTE_TYPE */
  char name[12];            /* "CryptLib" and NUL padding */
  unsigned char version[8]; /* major, minor, release, build: uint16 little-endian each */
};

#define CRYPTLIB_FILE_VERSION_U16LE_(value) \
  (unsigned char)((unsigned)(value)&0xFFu), (unsigned char)(((unsigned)(value) >> 8) & 0xFFu)

#if defined(__has_attribute)
#if __has_attribute(retain)
/* Keeps the section under --gc-sections as well. */
#define CRYPTLIB_FILE_VERSION_RETAIN_ , retain
#endif
#endif
#ifndef CRYPTLIB_FILE_VERSION_RETAIN_
#define CRYPTLIB_FILE_VERSION_RETAIN_
#endif

#if defined(__ELF__)
#define CRYPTLIB_FILE_VERSION(major, minor, release, build)                                                     \
  __attribute__((section(CRYPTLIB_FILE_VERSION_SECTION), used,                                                  \
                 aligned(4) CRYPTLIB_FILE_VERSION_RETAIN_)) static const struct cryptlib_file_version_note      \
      cryptlib_file_version_note_ = {9,                                                                         \
                                     8,                                                                         \
                                     CRYPTLIB_FILE_VERSION_NOTE_TYPE,                                           \
                                     CRYPTLIB_FILE_VERSION_NOTE_NAME,                                           \
                                     {CRYPTLIB_FILE_VERSION_U16LE_(major), CRYPTLIB_FILE_VERSION_U16LE_(minor), \
                                      CRYPTLIB_FILE_VERSION_U16LE_(release), CRYPTLIB_FILE_VERSION_U16LE_(build)}};
#else
#define CRYPTLIB_FILE_VERSION(major, minor, release, build)
#endif

#endif /* CRYPTLIB_PLATFORM_FILE_VERSION_H */
