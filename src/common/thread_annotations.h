// thread_annotations.h - clang's thread-safety attributes, named as in LevelDB.
//
// A member that a mutex guards is declared GUARDED_BY(mutex_); a function whose caller must
// hold a lock is REQUIRES(mutex_) and, by the project's convention, ends in "Locked"; one that
// takes the lock itself and must not be entered with it held is EXCLUDES(mutex_). clang checks
// them with -Wthread-safety (the CI's clang build); other compilers ignore them.
#pragma once

#if defined(__clang__)
#define QX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QX_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) QX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) QX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) QX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) QX_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) QX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) QX_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) QX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) QX_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) QX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) QX_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) QX_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QX_THREAD_ANNOTATION(no_thread_safety_analysis)
