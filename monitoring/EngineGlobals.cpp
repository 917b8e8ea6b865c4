#include "monitoring/EngineGlobals.h"

std::atomic<int> g_nWorkSliceSeconds{1};
std::atomic<int> g_nPauseMilliseconds{5000};
std::atomic<int> g_nFolderPauseMilliseconds{20000};
std::atomic<int> g_nCycleWaitMilliseconds{60000};
