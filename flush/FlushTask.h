#pragma once

#include <cstdint>
#include <string>

#include "flush/CChangeApplier.h"
#include "flush/FileChange.h"

// One queued change of a catalogue on its way to being applied, or waiting to be tried again.
struct FlushTask {
  using EReason = CChangeApplier::EResult;  // why a change waits: never Done
  FileChange Change;
  std::string Key;  // the path (a directory's marked as such): a later change of it decides
  bool bSkip = false;  // a later change of the same path is queued
  bool bRetry = false;
  int nAttempts = 0;  // failed attempts so far
  std::int64_t nFirstFailedAt = 0;
  std::int64_t nSaidAt = 0;  // when its trouble was last said
  std::int64_t nDueAt = 0;
  EReason Reason = EReason::Locked;
};
