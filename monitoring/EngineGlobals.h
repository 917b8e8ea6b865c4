#pragma once

#include <atomic>

// Process-wide pacing values shared by the worker, the walks and the flush threads.
// The defaults are the service's own; the host may shorten the waits for tests.
extern std::atomic<int> g_nWorkSliceSeconds;         // 1; set by CIndexingEngine::SetWorkSlice
extern std::atomic<int> g_nPauseMilliseconds;        // 5000: the throttling pause
extern std::atomic<int> g_nFolderPauseMilliseconds;  // 20000: the pause after each processed folder
extern std::atomic<int> g_nCycleWaitMilliseconds;    // 60000: the wait after each cycle
