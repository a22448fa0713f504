#pragma once

// Clang's thread-safety analysis: which mutex guards which member, and which functions need a
// mutex held or must not hold it. The compiler checks them with -Wthread-safety; other compilers
// see nothing.
#if defined(__clang__)
#define QUILLBOX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUILLBOX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QUILLBOX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QUILLBOX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QUILLBOX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QUILLBOX_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) QUILLBOX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) QUILLBOX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) QUILLBOX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) QUILLBOX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QUILLBOX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) QUILLBOX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) QUILLBOX_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) QUILLBOX_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QUILLBOX_THREAD_ANNOTATION(no_thread_safety_analysis)
