#pragma once

#include <functional>
#include <thread>

namespace platform {

// Receives SIGTERM and SIGINT on a thread of its own and calls the handler there, once,
// outside any signal handler; SIGHUP calls hangUp there each time and never ends the process.
// BlockStopSignals must run before any other thread starts, so that every thread inherits the
// blocked mask. The owner calls Stop, which joins.
class CStopSignalWatcher {
 public:
  CStopSignalWatcher() = default;
  ~CStopSignalWatcher();
  CStopSignalWatcher(const CStopSignalWatcher&) = delete;
  CStopSignalWatcher& operator=(const CStopSignalWatcher&) = delete;

  // Blocks SIGTERM, SIGINT and SIGHUP in the calling thread (and threads it starts later).
  static bool BlockStopSignals();
  // Starts the thread; handler receives the signal number. False when it could not start.
  bool Start(std::function<void(int)> handler, std::function<void()> hangUp = nullptr);
  // Ends the thread (a handler already running is completed) and joins it.
  void Stop();

 private:
  void Watch();

  std::function<void(int)> m_Handler;  // set before the thread starts
  std::function<void()> m_HangUp;      // set before the thread starts
  int m_nSignalFd = -1;                // owned; read by the watch thread
  int m_nWakeFd = -1;                  // owned; written by Stop
  std::thread m_Thread;
};

}  // namespace platform
