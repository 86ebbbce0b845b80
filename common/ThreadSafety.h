// Locks the compiler checks: clang's thread-safety analysis (-Wthread-safety) proves that every
// field marked GUARDED_BY is touched only with its lock held and that functions marked REQUIRES
// are called so. Other compilers see plain declarations. libstdc++'s std::mutex carries no
// annotations, hence the small annotated Mutex below.
#ifndef COMMON_THREADSAFETY_H
#define COMMON_THREADSAFETY_H

#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

// A std::mutex the analysis knows. BasicLockable, so std::condition_variable_any waits on it.
class CAPABILITY("mutex") Mutex {
  public:
    void lock() ACQUIRE() { mutex.lock(); }
    void unlock() RELEASE() { mutex.unlock(); }

  private:
    std::mutex mutex;
};

// Holds a Mutex for a scope. Also BasicLockable, for condition_variable_any::wait.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex(mutex) { mutex.lock(); }
    ~MutexLock() RELEASE() { mutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // For a condition variable's wait only: it unlocks and locks again before it returns.
    void lock() ACQUIRE() { mutex.lock(); }
    void unlock() RELEASE() { mutex.unlock(); }

  private:
    Mutex& mutex;
};

#endif
