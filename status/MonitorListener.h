#pragma once

#include <string>

#include "folders/CFolder.h"

// The kinds of status message and of document change.
enum MessageKind : int {
  kMessageLine = 0,            // a line of the activity log
  kMessageIdle = 1,            // an idle status: rewritten in place while it repeats
  kMessageProgress = 2,        // a progress status: rewritten in place while it repeats
  kMessageKeepAlive = 3,       // no line: the worker is alive
  kMessageIndexDocument = 5,   // index the document (as a status: its debug line)
  kMessageRemoveDocument = 6,  // remove the document (as a status: its debug line)
};

// Receiver of the indexing code's status messages and document changes.
// OnStatusMessage may be called from the worker thread and from flush workers at once.
class MonitorListener {
 public:
  virtual ~MonitorListener() = default;
  // kMessageIndexDocument: index the document for the folder; kMessageRemoveDocument: remove it.
  virtual void OnDocumentChange(int kind, std::string path, FK::CFolder folder) = 0;
  // kind: one of MessageKind.
  virtual void OnStatusMessage(int kind, const std::string& text) = 0;
};
