// See kill_shim.h. Every stand-in resolves the C library's own function once
// (dlsym RTLD_NEXT), decides whether the call changes a regular file or a
// directory, counts it while armed, and injects the armed fault when the count
// reaches the chosen number.
#define _GNU_SOURCE
#include "kill_shim.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define KILL_SHIM_OFF 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KILL_SHIM_OFF 1
#endif

// The build hides symbols by default; the stand-ins must be seen by the
// libraries the program loads.
#pragma GCC visibility push(default)

static atomic_int g_armed;
static atomic_long g_count;
static long g_at;
static int g_mode;

void KillShimArm(long at, int mode) {
  g_at = at;
  g_mode = mode;
  atomic_store(&g_count, 0);
  atomic_store(&g_armed, 1);
}

long KillShimDisarm(void) {
  atomic_store(&g_armed, 0);
  return atomic_load(&g_count);
}

#ifdef KILL_SHIM_OFF

int KillShimAvailable(void) {
  return 0;
}

#else

int KillShimAvailable(void) {
  return 1;
}

enum Kind { kChange, kWrite, kCreate };

// What the stand-in does with the call it counted.
enum Verdict { kProceed, kTear, kNoSpace };

static void KillNow(void) {
  kill(getpid(), SIGKILL);
  for (;;) pause();
}

// Counts one file change and answers what to do with it.
static enum Verdict Count(enum Kind kind) {
  if (!atomic_load(&g_armed)) return kProceed;
  long number = atomic_fetch_add(&g_count, 1) + 1;
  if (g_at <= 0) return kProceed;
  if (g_mode == KILL_SHIM_NO_SPACE) return (number >= g_at && kind != kChange) ? kNoSpace : kProceed;
  if (number != g_at) return kProceed;
  if (g_mode == KILL_SHIM_TEAR && kind == kWrite) return kTear;
  KillNow();
  return kProceed;
}

static int IsFileFd(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0) return 0;
  return S_ISREG(status.st_mode) || S_ISDIR(status.st_mode);
}

static int IsSystemPath(const char* path) {
  return path && (strncmp(path, "/dev/", 5) == 0 || strncmp(path, "/proc/", 6) == 0 || strncmp(path, "/sys/", 5) == 0);
}

static int OpenChanges(const char* path, int flags) {
  return !IsSystemPath(path) && (flags & (O_CREAT | O_TRUNC | __O_TMPFILE)) != 0;
}

static int ModeChanges(const char* path, const char* mode) {
  return !IsSystemPath(path) && mode && (strchr(mode, 'w') || strchr(mode, 'a'));
}

#define REAL(name, type)               \
  static __typeof__(type) real_##name; \
  if (!real_##name) real_##name = (type)dlsym(RTLD_NEXT, #name)

// --- opening -----------------------------------------------------------------

static int OpenVerdict(int dirfd, const char* path, int flags) {
  if (!OpenChanges(path, flags)) return 0;
  int exists = (flags & O_CREAT) ? faccessat(dirfd, path, F_OK, 0) == 0 : 1;
  enum Verdict verdict = Count(exists ? kChange : kCreate);
  if (verdict == kNoSpace) {
    errno = ENOSPC;
    return -1;
  }
  return 0;
}

static mode_t ModeArg(int flags, va_list args) {
  return (flags & (O_CREAT | __O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

#define DEFINE_OPEN(name)                                   \
  int name(const char* path, int flags, ...) {              \
    va_list args;                                           \
    va_start(args, flags);                                  \
    mode_t mode = ModeArg(flags, args);                     \
    va_end(args);                                           \
    REAL(name, int (*)(const char*, int, ...));             \
    if (OpenVerdict(AT_FDCWD, path, flags) != 0) return -1; \
    return real_##name(path, flags, mode);                  \
  }
DEFINE_OPEN(open)
DEFINE_OPEN(open64)

#define DEFINE_OPENAT(name)                               \
  int name(int dirfd, const char* path, int flags, ...) { \
    va_list args;                                         \
    va_start(args, flags);                                \
    mode_t mode = ModeArg(flags, args);                   \
    va_end(args);                                         \
    REAL(name, int (*)(int, const char*, int, ...));      \
    if (OpenVerdict(dirfd, path, flags) != 0) return -1;  \
    return real_##name(dirfd, path, flags, mode);         \
  }
DEFINE_OPENAT(openat)
DEFINE_OPENAT(openat64)

#define DEFINE_CREAT(name)                                                         \
  int name(const char* path, mode_t mode) {                                        \
    REAL(name, int (*)(const char*, mode_t));                                      \
    if (OpenVerdict(AT_FDCWD, path, O_CREAT | O_TRUNC | O_WRONLY) != 0) return -1; \
    return real_##name(path, mode);                                                \
  }
DEFINE_CREAT(creat)
DEFINE_CREAT(creat64)

#define DEFINE_FOPEN(name)                                 \
  FILE* name(const char* path, const char* mode) {         \
    REAL(name, FILE* (*)(const char*, const char*));       \
    if (ModeChanges(path, mode)) {                         \
      int exists = access(path, F_OK) == 0;                \
      if (Count(exists ? kChange : kCreate) == kNoSpace) { \
        errno = ENOSPC;                                    \
        return NULL;                                       \
      }                                                    \
    }                                                      \
    return real_##name(path, mode);                        \
  }
DEFINE_FOPEN(fopen)
DEFINE_FOPEN(fopen64)

// --- writing -----------------------------------------------------------------

// The verdict for a write of `size` bytes to fd; on a tear, `size` is halved
// and the caller kills the process after doing the half.
static enum Verdict WriteVerdict(int fd, size_t* size) {
  if (!atomic_load(&g_armed) || !IsFileFd(fd)) return kProceed;
  enum Verdict verdict = Count(kWrite);
  if (verdict == kTear) *size /= 2;
  return verdict;
}

ssize_t write(int fd, const void* data, size_t size) {
  REAL(write, ssize_t(*)(int, const void*, size_t));
  enum Verdict verdict = WriteVerdict(fd, &size);
  if (verdict == kNoSpace) {
    errno = ENOSPC;
    return -1;
  }
  ssize_t done = real_write(fd, data, size);
  if (verdict == kTear) KillNow();
  return done;
}

#define DEFINE_PWRITE(name)                                           \
  ssize_t name(int fd, const void* data, size_t size, off_t offset) { \
    REAL(name, ssize_t (*)(int, const void*, size_t, off_t));         \
    enum Verdict verdict = WriteVerdict(fd, &size);                   \
    if (verdict == kNoSpace) {                                        \
      errno = ENOSPC;                                                 \
      return -1;                                                      \
    }                                                                 \
    ssize_t done = real_##name(fd, data, size, offset);               \
    if (verdict == kTear) KillNow();                                  \
    return done;                                                      \
  }
DEFINE_PWRITE(pwrite)
DEFINE_PWRITE(pwrite64)

ssize_t writev(int fd, const struct iovec* parts, int count) {
  REAL(writev, ssize_t(*)(int, const struct iovec*, int));
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += parts[i].iov_len;
  size_t allowed = total;
  enum Verdict verdict = WriteVerdict(fd, &allowed);
  if (verdict == kNoSpace) {
    errno = ENOSPC;
    return -1;
  }
  if (verdict != kTear) return real_writev(fd, parts, count);
  REAL(write, ssize_t(*)(int, const void*, size_t));
  for (int i = 0; i < count && allowed > 0; ++i) {
    size_t part = parts[i].iov_len < allowed ? parts[i].iov_len : allowed;
    real_write(fd, parts[i].iov_base, part);
    allowed -= part;
  }
  KillNow();
  return -1;
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  REAL(fwrite, size_t(*)(const void*, size_t, size_t, FILE*));
  size_t bytes = size * count;
  if (!atomic_load(&g_armed) || bytes == 0 || !IsFileFd(fileno(stream))) return real_fwrite(data, size, count, stream);
  enum Verdict verdict = Count(kWrite);
  if (verdict == kNoSpace) {
    errno = ENOSPC;
    return 0;
  }
  if (verdict != kTear) return real_fwrite(data, size, count, stream);
  real_fwrite(data, 1, bytes / 2, stream);
  fflush(stream);
  KillNow();
  return 0;
}

int fputs(const char* text, FILE* stream) {
  REAL(fputs, int (*)(const char*, FILE*));
  size_t length = strlen(text);
  if (length == 0) return real_fputs(text, stream);
  return fwrite(text, 1, length, stream) == length ? 1 : EOF;
}

ssize_t copy_file_range(int in, loff_t* inAt, int out, loff_t* outAt, size_t size, unsigned flags) {
  REAL(copy_file_range, ssize_t(*)(int, loff_t*, int, loff_t*, size_t, unsigned));
  enum Verdict verdict = WriteVerdict(out, &size);
  if (verdict == kNoSpace) {
    errno = ENOSPC;
    return -1;
  }
  ssize_t done = real_copy_file_range(in, inAt, out, outAt, size, flags);
  if (verdict == kTear) KillNow();
  return done;
}

#define DEFINE_SENDFILE(name, offset_type)                          \
  ssize_t name(int out, int in, offset_type* offset, size_t size) { \
    REAL(name, ssize_t (*)(int, int, offset_type*, size_t));        \
    enum Verdict verdict = WriteVerdict(out, &size);                \
    if (verdict == kNoSpace) {                                      \
      errno = ENOSPC;                                               \
      return -1;                                                    \
    }                                                               \
    ssize_t done = real_##name(out, in, offset, size);              \
    if (verdict == kTear) KillNow();                                \
    return done;                                                    \
  }
DEFINE_SENDFILE(sendfile, off_t)
DEFINE_SENDFILE(sendfile64, off64_t)

#define DEFINE_FTRUNCATE(name, offset_type)                    \
  int name(int fd, offset_type length) {                       \
    REAL(name, int (*)(int, offset_type));                     \
    if (atomic_load(&g_armed) && IsFileFd(fd)) Count(kChange); \
    return real_##name(fd, length);                            \
  }
DEFINE_FTRUNCATE(ftruncate, off_t)
DEFINE_FTRUNCATE(ftruncate64, off64_t)

#define DEFINE_TRUNCATE(name, offset_type)         \
  int name(const char* path, offset_type length) { \
    REAL(name, int (*)(const char*, offset_type)); \
    if (!IsSystemPath(path)) Count(kChange);       \
    return real_##name(path, length);              \
  }
DEFINE_TRUNCATE(truncate, off_t)
DEFINE_TRUNCATE(truncate64, off64_t)

// --- names -------------------------------------------------------------------

// A change of names: counted, and failed for lack of space only when it
// creates something new.
#define NAME_CHANGE(kind)          \
  do {                             \
    if (Count(kind) == kNoSpace) { \
      errno = ENOSPC;              \
      return -1;                   \
    }                              \
  } while (0)

int rename(const char* from, const char* to) {
  REAL(rename, int (*)(const char*, const char*));
  NAME_CHANGE(kChange);
  return real_rename(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  REAL(renameat, int (*)(int, const char*, int, const char*));
  NAME_CHANGE(kChange);
  return real_renameat(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  REAL(renameat2, int (*)(int, const char*, int, const char*, unsigned));
  NAME_CHANGE(kChange);
  return real_renameat2(fromDir, from, toDir, to, flags);
}

int unlink(const char* path) {
  REAL(unlink, int (*)(const char*));
  NAME_CHANGE(kChange);
  return real_unlink(path);
}

int unlinkat(int dir, const char* path, int flags) {
  REAL(unlinkat, int (*)(int, const char*, int));
  NAME_CHANGE(kChange);
  return real_unlinkat(dir, path, flags);
}

int remove(const char* path) {
  REAL(remove, int (*)(const char*));
  NAME_CHANGE(kChange);
  return real_remove(path);
}

int rmdir(const char* path) {
  REAL(rmdir, int (*)(const char*));
  NAME_CHANGE(kChange);
  return real_rmdir(path);
}

int mkdir(const char* path, mode_t mode) {
  REAL(mkdir, int (*)(const char*, mode_t));
  NAME_CHANGE(kCreate);
  return real_mkdir(path, mode);
}

int mkdirat(int dir, const char* path, mode_t mode) {
  REAL(mkdirat, int (*)(int, const char*, mode_t));
  NAME_CHANGE(kCreate);
  return real_mkdirat(dir, path, mode);
}

int link(const char* from, const char* to) {
  REAL(link, int (*)(const char*, const char*));
  NAME_CHANGE(kCreate);
  return real_link(from, to);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
  REAL(linkat, int (*)(int, const char*, int, const char*, int));
  NAME_CHANGE(kCreate);
  return real_linkat(fromDir, from, toDir, to, flags);
}

int symlink(const char* target, const char* path) {
  REAL(symlink, int (*)(const char*, const char*));
  NAME_CHANGE(kCreate);
  return real_symlink(target, path);
}

int chmod(const char* path, mode_t mode) {
  REAL(chmod, int (*)(const char*, mode_t));
  NAME_CHANGE(kChange);
  return real_chmod(path, mode);
}

int fchmod(int fd, mode_t mode) {
  REAL(fchmod, int (*)(int, mode_t));
  if (atomic_load(&g_armed) && IsFileFd(fd)) NAME_CHANGE(kChange);
  return real_fchmod(fd, mode);
}

int fchmodat(int dir, const char* path, mode_t mode, int flags) {
  REAL(fchmodat, int (*)(int, const char*, mode_t, int));
  NAME_CHANGE(kChange);
  return real_fchmodat(dir, path, mode, flags);
}

#endif  // KILL_SHIM_OFF

#pragma GCC visibility pop
