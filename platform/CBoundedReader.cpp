#include "platform/CBoundedReader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <system_error>
#include <thread>
#include <unordered_set>

#include <sys/vfs.h>

#include "platform/CFileSystemType.h"
#include "platform/CMutex.h"
#include "platform/CReadingMarker.h"
#include "platform/DocumentFile.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultStallMs = 30000;
// Readers at once: the walk's, the flush workers' and those stuck in a hung read. Past it, a
// read waits for a reader to come free, and gives up at its stall bound.
constexpr size_t kMaxReaders = 8;
constexpr auto kIdleEnd = std::chrono::seconds(60);
constexpr auto kProgressLook = std::chrono::milliseconds(500);
constexpr long long kFuseMagic = 0x65735546;

struct SJob {
  std::string Path;
  std::size_t MaxBytes = 0;
  int Attempt = 1;
  std::atomic<std::size_t> Bytes{0};  // read so far, for the waiting caller
  // Under the pool's mutex:
  std::string Content;
  std::string Error;
  bool Ok = false;
  bool Done = false;
  bool GivenUp = false;
};

class CReaderPool {
 public:
  bool Read(const std::string& path, std::size_t maxBytes, std::string& content, std::string& errorText)
      EXCLUDES(m_Mutex);
  void Abandon(bool abandon) EXCLUDES(m_Mutex);

 private:
  bool StartReader() REQUIRES(m_Mutex);
  void RunReader() EXCLUDES(m_Mutex);
  bool WaitFor(CLockGuard& lock, SJob& job, std::string& errorText) REQUIRES(m_Mutex);
  void GiveUp(const std::shared_ptr<SJob>& job) REQUIRES(m_Mutex);

  CMutex m_Mutex;
  CConditionVariable m_WorkSignal;  // a job queued, or an abandon
  CConditionVariable m_DoneSignal;  // a job done, or an abandon
  std::deque<std::shared_ptr<SJob>> m_Jobs GUARDED_BY(m_Mutex);
  size_t m_nReaders GUARDED_BY(m_Mutex) = 0;
  size_t m_nIdle GUARDED_BY(m_Mutex) = 0;
  bool m_bAbandon GUARDED_BY(m_Mutex) = false;
  // Paths whose read was given up and has not returned: not tried again until it does.
  std::unordered_set<std::string> m_Hung GUARDED_BY(m_Mutex);
};

CReaderPool& Pool() {
  // Never destroyed: a reader stuck in a read outlives every other object of the process.
  static CReaderPool* pool = new CReaderPool();
  return *pool;
}

bool CReaderPool::Read(const std::string& path, std::size_t maxBytes, std::string& content,
                       std::string& errorText) {
  auto job = std::make_shared<SJob>();
  job->Path = path;
  job->MaxBytes = maxBytes;
  job->Attempt = CReadingMarker::CurrentAttempt();
  {
    CLockGuard lock(m_Mutex);
    if (m_bAbandon) {
      errorText = "not read: the service stops";
      return false;
    }
    if (m_Hung.count(path) != 0) {
      errorText = "an earlier read of it has not returned yet (a hung share or device?)";
      return false;
    }
    m_Jobs.push_back(job);
    if (m_Jobs.size() <= m_nIdle) {
      m_WorkSignal.NotifyOne();
    } else if (m_nReaders < kMaxReaders && !StartReader() && m_nReaders == 0) {
      // No thread can be made (a thread limit): read here, unbounded, rather than not at all.
      m_Jobs.pop_back();
      job.reset();
    }
    if (job) {
      if (!WaitFor(lock, *job, errorText)) {
        GiveUp(job);
        return false;
      }
      content = std::move(job->Content);
      errorText = job->Error;
      return job->Ok;
    }
  }
  return ReadDocumentFile(path, maxBytes, content, errorText);
}

bool CReaderPool::StartReader() {
  try {
    std::thread([this] { RunReader(); }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  ++m_nReaders;
  return true;
}

// Waits while bytes keep coming; false (errorText set) when the read stalled or was abandoned.
bool CReaderPool::WaitFor(CLockGuard& lock, SJob& job, std::string& errorText) {
  const auto stall = std::chrono::milliseconds(CBoundedReader::StallBoundMs());
  std::size_t seenBytes = 0;
  auto lastMove = Clock::now();
  while (!job.Done) {
    if (m_bAbandon) {
      errorText = "read given up: the service stops";
      return false;
    }
    const auto now = Clock::now();
    const std::size_t bytes = job.Bytes.load(std::memory_order_relaxed);
    if (bytes != seenBytes) {
      seenBytes = bytes;
      lastMove = now;
      CReadingMarker::Process().Touch();
    } else if (now - lastMove >= stall) {
      errorText = "no data came for " + std::to_string(stall.count()) +
                  " ms (a hung share or device?): read again later";
      return false;
    }
    m_DoneSignal.WaitUntil(lock, std::min(now + kProgressLook, lastMove + stall));
  }
  return true;
}

// A job no reader took yet just leaves the queue; a read under way is left to its reader.
void CReaderPool::GiveUp(const std::shared_ptr<SJob>& job) {
  const auto queued = std::find(m_Jobs.begin(), m_Jobs.end(), job);
  if (queued != m_Jobs.end()) {
    m_Jobs.erase(queued);
    return;
  }
  job->GivenUp = true;
  m_Hung.insert(job->Path);
}

void CReaderPool::RunReader() {
  CReadingMarker& marker = CReadingMarker::Process();
  for (;;) {
    std::shared_ptr<SJob> job;
    {
      CLockGuard lock(m_Mutex);
      while (m_Jobs.empty()) {
        ++m_nIdle;
        const bool woken = m_WorkSignal.WaitUntil(lock, Clock::now() + kIdleEnd);
        --m_nIdle;
        if ((!woken || m_bAbandon) && m_Jobs.empty()) {
          --m_nReaders;
          return;
        }
      }
      job = std::move(m_Jobs.front());
      m_Jobs.pop_front();
    }
    // The reader names the document too: if the read hangs for good, the caller gives up and
    // ends its own entry, but the process still reads it.
    marker.Begin(job->Path, job->Attempt);
    std::string content;
    std::string error;
    const bool ok = ReadDocumentFile(job->Path, job->MaxBytes, content, error, [&](std::size_t bytes) {
      job->Bytes.store(bytes, std::memory_order_relaxed);
      marker.Touch();
    });
    marker.End();
    CLockGuard lock(m_Mutex);
    job->Content = std::move(content);
    job->Error = std::move(error);
    job->Ok = ok;
    job->Done = true;
    if (job->GivenUp) m_Hung.erase(job->Path);
    m_DoneSignal.NotifyAll();
  }
}

void CReaderPool::Abandon(bool abandon) {
  CLockGuard lock(m_Mutex);
  m_bAbandon = abandon;
  m_DoneSignal.NotifyAll();
  m_WorkSignal.NotifyAll();
}

thread_local int t_nLocalReadsDirect = 0;
thread_local std::string t_strLastDirectory;  // of the last MayHang, with its answer
thread_local bool t_bLastMayHang = true;

// True on network and FUSE file systems (and when the file system cannot be told), once per
// directory in a row.
bool MayHang(const std::string& path) {
  if (ReadBlocksForTests(path)) return true;
  const std::string directory = path.substr(0, path.rfind('/') + 1);
  if (directory == t_strLastDirectory) return t_bLastMayHang;
  struct statfs info {};
  t_bLastMayHang = statfs(directory.empty() ? "." : directory.c_str(), &info) != 0 ||
                   CFileSystemType::IsNetworkType(static_cast<long long>(info.f_type)) ||
                   (static_cast<long long>(info.f_type) & 0xFFFFFFFFLL) == kFuseMagic;
  t_strLastDirectory = directory;
  return t_bLastMayHang;
}

}  // namespace

CBoundedReader::CLocalReadsDirect::CLocalReadsDirect() { ++t_nLocalReadsDirect; }
CBoundedReader::CLocalReadsDirect::~CLocalReadsDirect() { --t_nLocalReadsDirect; }

bool CBoundedReader::Read(const std::string& path, std::size_t maxBytes, std::string& content,
                          std::string& errorText) {
  if (t_nLocalReadsDirect > 0 && !MayHang(path)) return ReadDocumentFile(path, maxBytes, content, errorText);
  return Pool().Read(path, maxBytes, content, errorText);
}

void CBoundedReader::Abandon(bool abandon) { Pool().Abandon(abandon); }

int CBoundedReader::StallBoundMs() {
  static const int bound = [] {
    const char* value = std::getenv("FK_READ_STALL_MS");
    char* end = nullptr;
    const long parsed = value != nullptr ? std::strtol(value, &end, 10) : 0;
    return value != nullptr && *value != '\0' && *end == '\0' && parsed >= 100 && parsed <= 3600000
               ? static_cast<int>(parsed)
               : kDefaultStallMs;
  }();
  return bound;
}

}  // namespace platform
