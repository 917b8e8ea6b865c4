#include "platform/CReadingMarker.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <unistd.h>

#include "platform/ErrnoText.h"

namespace platform {

namespace {

// Slot i of the file lies at i * kSlotBytes: 'R' while a read runs ('-' once it ended), the
// attempt as one digit, the document's path and a NUL. The state byte is written last, so a
// kill in the middle of a write never names a half-written path.
constexpr char kReading = 'R';
constexpr char kDone = '-';
constexpr std::int64_t kSlotBytes = 4352;  // a path as long as the system allows, and more
constexpr int kSlots = 64;                 // reading threads at once: the worker, flush workers, readers
constexpr int kMaxAttempt = 9;

struct SSlot {
  std::atomic<bool> Used{false};
  std::atomic<bool> Reading{false};
  std::atomic<std::int64_t> LastProgressMs{0};
};
SSlot g_Slots[kSlots];

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The calling thread's slot, given back when the thread ends.
struct SThreadSlot {
  int Index = -1;
  int Attempt = 1;
  ~SThreadSlot() {
    if (Index < 0) return;
    g_Slots[Index].Reading = false;
    g_Slots[Index].Used = false;
  }
};
thread_local SThreadSlot t_Slot;

std::string ReadAll(int fd) {
  std::string content;
  char buffer[65536];
  ssize_t got = 0;
  while ((got = pread(fd, buffer, sizeof buffer, static_cast<off_t>(content.size()))) > 0) {
    content.append(buffer, static_cast<size_t>(got));
  }
  return content;
}

// The documents named in the file's slots, with their attempt. A file of the former layout
// (one 'R', the path and a NUL) reads as slot 0 with attempt 1.
std::unordered_map<std::string, int> ParseSlots(const std::string& content) {
  std::unordered_map<std::string, int> named;
  for (size_t offset = 0; offset < content.size(); offset += kSlotBytes) {
    if (content[offset] != kReading) continue;
    const size_t end = content.find('\0', offset);
    if (end == std::string::npos) continue;
    size_t begin = offset + 1;
    int attempt = 1;
    if (begin < end && content[begin] >= '1' && content[begin] <= '9') attempt = content[begin++] - '0';
    if (begin >= end || content[begin] != '/') continue;
    int& known = named[content.substr(begin, end - begin)];
    if (attempt > known) known = attempt;
  }
  return named;
}

}  // namespace

CReadingMarker& CReadingMarker::Process() {
  // Never destroyed: a read abandoned at stop may still end after the static objects went.
  static CReadingMarker* marker = new CReadingMarker();
  return *marker;
}

bool CReadingMarker::Open(const std::string& path, std::string& errorText) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    errorText = ErrnoText(errno);
    return false;
  }
  std::unordered_map<std::string, int> named = ParseSlots(ReadAll(fd));
  if (ftruncate(fd, 0) != 0) {
    errorText = ErrnoText(errno);
    close(fd);
    return false;
  }
  int current = m_nFd.load();
  if (current < 0) {
    int expected = -1;
    if (m_nFd.compare_exchange_strong(expected, fd)) current = fd;
    else current = expected;
  }
  if (current != fd) {
    dup2(fd, current);
    close(fd);
  }
  CLockGuard lock(m_Mutex);
  m_Unfinished = std::move(named);
  m_bAnyUnfinished = !m_Unfinished.empty();
  return true;
}

int CReadingMarker::TakeUnfinished(const std::string& document) {
  if (!m_bAnyUnfinished.load(std::memory_order_relaxed)) return 0;
  CLockGuard lock(m_Mutex);
  const auto found = m_Unfinished.find(document);
  if (found == m_Unfinished.end()) return 0;
  const int attempts = found->second;
  m_Unfinished.erase(found);
  m_bAnyUnfinished = !m_Unfinished.empty();
  return attempts;
}

int CReadingMarker::SlotOfThisThread() {
  if (t_Slot.Index >= 0) return t_Slot.Index;
  for (int i = 0; i < kSlots; ++i) {
    bool expected = false;
    if (g_Slots[i].Used.compare_exchange_strong(expected, true)) return t_Slot.Index = i;
  }
  return -1;  // more reading threads than slots: this one's reads go unnamed
}

void CReadingMarker::Write(int slot, const std::string& bytes, std::int64_t offset) const {
  const int fd = m_nFd.load(std::memory_order_relaxed);
  if (fd < 0) return;
  // No sync: the names must survive the process, not the machine.
  if (pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(slot * kSlotBytes + offset)) < 0) return;
}

void CReadingMarker::Begin(const std::string& document, int attempt) {
  t_Slot.Attempt = attempt < 1 ? 1 : attempt > kMaxAttempt ? kMaxAttempt : attempt;
  const int slot = SlotOfThisThread();
  if (slot < 0) return;
  g_Slots[slot].LastProgressMs = NowMs();
  g_Slots[slot].Reading = true;
  if (document.size() + 3 > static_cast<size_t>(kSlotBytes)) return;
  std::string body(1, static_cast<char>('0' + t_Slot.Attempt));
  body.append(document).push_back('\0');
  Write(slot, body, 1);
  Write(slot, std::string(1, kReading), 0);
}

void CReadingMarker::Touch() {
  if (t_Slot.Index >= 0) g_Slots[t_Slot.Index].LastProgressMs.store(NowMs(), std::memory_order_relaxed);
}

void CReadingMarker::End() {
  t_Slot.Attempt = 1;
  if (t_Slot.Index < 0) return;
  g_Slots[t_Slot.Index].Reading = false;
  Write(t_Slot.Index, std::string(1, kDone), 0);
}

int CReadingMarker::CurrentAttempt() { return t_Slot.Attempt; }

std::int64_t CReadingMarker::LongestStallMs() const {
  const std::int64_t now = NowMs();
  std::int64_t longest = 0;
  for (const SSlot& slot : g_Slots) {
    if (!slot.Reading.load()) continue;
    const std::int64_t stall = now - slot.LastProgressMs.load(std::memory_order_relaxed);
    if (stall > longest) longest = stall;
  }
  return longest;
}

}  // namespace platform
