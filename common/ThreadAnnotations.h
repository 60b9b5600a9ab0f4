// Thread rule: macros only.
//
// Annotations for Clang's thread-safety analysis (-Wthread-safety): a member
// names the mutex that guards it, a function the mutexes it needs or must not
// hold. Other compilers ignore them.
#pragma once

#if defined(__clang__)
#define CUSTOMAPP_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define CUSTOMAPP_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) CUSTOMAPP_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY CUSTOMAPP_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) CUSTOMAPP_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) CUSTOMAPP_THREAD_ANNOTATION(pt_guarded_by(x))
#define EXCLUSIVE_LOCKS_REQUIRED(...) CUSTOMAPP_THREAD_ANNOTATION(exclusive_locks_required(__VA_ARGS__))
#define LOCKS_EXCLUDED(...) CUSTOMAPP_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) CUSTOMAPP_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) CUSTOMAPP_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) CUSTOMAPP_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS CUSTOMAPP_THREAD_ANNOTATION(no_thread_safety_analysis)
