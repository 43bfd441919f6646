// Lock contracts written on the declarations, checked by clang's
// thread-safety analysis (-Wthread-safety) and compiled away by other
// compilers.  A macro a host already defines (from its own copy of these
// well-known names) is left as the host has it.
#ifndef KTSM_THREAD_ANNOTATIONS_H_
#define KTSM_THREAD_ANNOTATIONS_H_

#include <pthread.h>

#if defined(__clang__)
#define KTSM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KTSM_THREAD_ANNOTATION(x)
#endif

// The member is read and written only while the mutex is held.
#ifndef GUARDED_BY
#define GUARDED_BY(x) KTSM_THREAD_ANNOTATION(guarded_by(x))
#endif
// The caller holds these mutexes when it calls the function.
#ifndef EXCLUSIVE_LOCKS_REQUIRED
#define EXCLUSIVE_LOCKS_REQUIRED(...) KTSM_THREAD_ANNOTATION(exclusive_locks_required(__VA_ARGS__))
#endif
// The caller does not hold these mutexes: the function takes them.
#ifndef LOCKS_EXCLUDED
#define LOCKS_EXCLUDED(...) KTSM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif
#ifndef LOCKABLE
#define LOCKABLE KTSM_THREAD_ANNOTATION(capability("mutex"))
#endif
#ifndef SCOPED_LOCKABLE
#define SCOPED_LOCKABLE KTSM_THREAD_ANNOTATION(scoped_lockable)
#endif
#ifndef EXCLUSIVE_LOCK_FUNCTION
#define EXCLUSIVE_LOCK_FUNCTION(...) KTSM_THREAD_ANNOTATION(exclusive_lock_function(__VA_ARGS__))
#endif
#ifndef UNLOCK_FUNCTION
#define UNLOCK_FUNCTION(...) KTSM_THREAD_ANNOTATION(unlock_function(__VA_ARGS__))
#endif
// The analysis is off for a function whose locking it cannot follow; its
// comment says what the caller holds instead.
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS KTSM_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif

// A POSIX mutex that the analysis knows as a mutex: the same type as
// pthread_mutex_t, so it is initialised and locked as one.
typedef pthread_mutex_t LOCKABLE ktsm_mutex;

#endif  // KTSM_THREAD_ANNOTATIONS_H_
