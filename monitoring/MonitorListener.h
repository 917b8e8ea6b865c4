#pragma once

#include <string>

#include "folders/CFolder.h"

// Receiver of the indexing code's status messages and document changes.
// OnStatusMessage may be called from the worker thread and from flush threads at once.
class MonitorListener {
 public:
  virtual ~MonitorListener() = default;
  // kind 5: index the document for the folder; kind 6: remove it.
  virtual void OnDocumentChange(int kind, std::string path, FK::CFolder folder) = 0;
  // kind 0 line, 1 idle status, 2 progress status, 3 keep-alive, 5/6 per-document debug lines.
  virtual void OnStatusMessage(int kind, const std::string& text) = 0;
};
