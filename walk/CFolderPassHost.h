#pragma once

#include <cstdint>
#include <string>

class CCatalogueIndexer;
class CMovesAcrossCatalogues;
namespace FK {
class CFolder;
}
namespace platform {
class CStopLatch;
}

// What a walk of a folder directory (CFolderDirectoryPass) needs of whoever runs it: the
// indexer, the clock, the stop, the pacing of the work slices, status lines and the
// per-document bookkeeping. Worker thread only.
class CFolderPassHost {
 public:
  // How a walk of a folder directory ended.
  enum class PassResult { Done, Damaged };

  virtual ~CFolderPassHost() = default;
  virtual CCatalogueIndexer& Indexer() = 0;
  // Whole seconds.
  virtual std::int64_t Now() const = 0;
  // 1 while the walk may go on (no stop asked, no "_stop_").
  virtual int CanContinueWalk() = 0;
  virtual void SendStatusMessage(int kind, const std::string& text) = 0;
  virtual bool IsDebug() const = 0;

  // Pacing: a slice begun at start is used up; a sign of life; the idle line; the pause
  // between slices.
  virtual bool IsSliceUsedUp(std::int64_t start) const = 0;
  virtual void KeepAlive() = 0;
  virtual void ReportWaiting() = 0;
  virtual void PauseBetweenSlices(platform::CStopLatch* stop) = 0;
  // When the slice is used up: keeps alive, notes the wait when asked, pauses, begins a new one.
  virtual void PauseWhenSliceUsedUp(std::int64_t& start, platform::CStopLatch* stop, bool reportWaiting) = 0;

  // True when the reconciling walk must not end a level early (the last walk was cut short).
  virtual bool IsFullReconcile() const = 0;
  // False while a document that failed waits for its next retry.
  virtual bool IsDueForRetry(const std::string& path) = 0;
  // The look-up of documents moved in from other folders' catalogues (null: none).
  virtual CMovesAcrossCatalogues* MovesAcross() { return nullptr; }
  // Indexes one document with its retry bookkeeping; true when it was stored. abandoned: its
  // read was cut short by a stop.
  virtual bool IndexCounted(const std::string& path, const std::string& catalogue, const FK::CFolder& folder,
                            bool& abandoned) = 0;
};
