// A fault injector for crash tests, in the manner of SQLite's test VFS: it
// stands in for the C library's file-changing calls inside the test program
// (so the engine and the vendor module it loads call it too), counts the calls
// that change a regular file or a directory, and at a chosen one kills the
// process, tears the write in half first, or lets that and every later write
// fail for lack of space.
//
// POSIX only. Under AddressSanitizer or ThreadSanitizer the sanitizer runtime
// owns these symbols: the shim is then left out and KillShimAvailable() is 0.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum KillShimMode {
  // SIGKILL before the chosen operation is done.
  KILL_SHIM_KILL_BEFORE = 0,
  // A write does half its bytes, then SIGKILL (other operations: SIGKILL before).
  KILL_SHIM_TEAR = 1,
  // The chosen write or creation and every later one fail with ENOSPC.
  KILL_SHIM_NO_SPACE = 2,
};

// 1 when the interposers are compiled in.
int KillShimAvailable(void);
// Counts file changes from now on; the one numbered `at` (from 1) gets `mode`.
// at = 0 only counts.
void KillShimArm(long at, int mode);
// Stops counting and injecting; returns the changes counted since KillShimArm.
long KillShimDisarm(void);

#ifdef __cplusplus
}
#endif
