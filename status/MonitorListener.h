#pragma once

#include <string>

// The kinds of status message.
enum MessageKind : int {
  kMessageLine = 0,            // a line of the activity log
  kMessageIdle = 1,            // an idle status: rewritten in place while it repeats
  kMessageProgress = 2,        // a progress status: rewritten in place while it repeats
  kMessageKeepAlive = 3,       // no line: the worker is alive
  kMessageIndexDocument = 5,   // the debug line of a document indexed
  kMessageRemoveDocument = 6,  // the debug line of a document removed
};

// Receiver of the indexing code's status messages.
// OnStatusMessage may be called from the worker thread and from flush workers at once.
class MonitorListener {
 public:
  virtual ~MonitorListener() = default;
  // kind: one of MessageKind.
  virtual void OnStatusMessage(int kind, const std::string& text) = 0;
};
