#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// clang's thread-safety analysis (-Wthread-safety) checks at compile time that every field
// marked GUARDED_BY is touched only with its mutex held. Other compilers see nothing.
#if defined(__clang__)
#define FK_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define FK_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) FK_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY FK_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) FK_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) FK_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) FK_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) FK_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) FK_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) FK_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) FK_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) FK_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS FK_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace platform {

class CConditionVariable;

// A mutex the analysis knows: fields name it in GUARDED_BY, functions in REQUIRES.
class CAPABILITY("mutex") CMutex {
 public:
  CMutex() = default;
  CMutex(const CMutex&) = delete;
  CMutex& operator=(const CMutex&) = delete;

  void Lock() ACQUIRE() { m_Mutex.lock(); }
  void Unlock() RELEASE() { m_Mutex.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return m_Mutex.try_lock(); }

 private:
  friend class CLockGuard;
  std::mutex m_Mutex;
};

// Holds a CMutex for its scope; a CConditionVariable may wait on it.
class SCOPED_CAPABILITY CLockGuard {
 public:
  explicit CLockGuard(CMutex& mutex) ACQUIRE(mutex) : m_Lock(mutex.m_Mutex) {}
  ~CLockGuard() RELEASE() {}
  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;

 private:
  friend class CConditionVariable;
  std::unique_lock<std::mutex> m_Lock;
};

// A condition variable waited on under a CLockGuard. The waits give the mutex up and take it
// back before they return, so the guard holds it again afterwards: loop on the condition.
class CConditionVariable {
 public:
  // False when the deadline passed (the condition may still have come true: look again).
  bool WaitUntil(CLockGuard& lock, std::chrono::steady_clock::time_point deadline) {
    return m_Condition.wait_until(lock.m_Lock, deadline) == std::cv_status::no_timeout;
  }
  void NotifyOne() { m_Condition.notify_one(); }
  void NotifyAll() { m_Condition.notify_all(); }

 private:
  std::condition_variable m_Condition;
};

}  // namespace platform
