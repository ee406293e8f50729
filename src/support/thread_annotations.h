// Lock rules the compiler checks. Under clang with -Wthread-safety, data
// marked GUARDED_BY(lock) may only be touched with that lock held, and a
// function marked REQUIRES(lock) only called with it held; other compilers
// see nothing. The names follow clang's documentation (and LevelDB's port).
#pragma once

#if defined(__clang__)
#define CRYPTLIB_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define CRYPTLIB_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) CRYPTLIB_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY CRYPTLIB_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(lock) CRYPTLIB_THREAD_ANNOTATION(guarded_by(lock))
#define REQUIRES(...) CRYPTLIB_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) CRYPTLIB_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) CRYPTLIB_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) CRYPTLIB_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) CRYPTLIB_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) CRYPTLIB_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) CRYPTLIB_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) CRYPTLIB_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS CRYPTLIB_THREAD_ANNOTATION(no_thread_safety_analysis)
