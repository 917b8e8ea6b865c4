#include "pdf/CPdfReaderQueue.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

namespace {

constexpr int kMaxReaders = 64;
// A request waiting for its turn looks again this often all the same (a wait has a deadline).
constexpr int kTurnRecheckMilliseconds = 1000;

}  // namespace

CPdfReaderQueue::CPdfReaderQueue(int readers) : m_nReaders(std::clamp(readers, 1, kMaxReaders)) {
  Tool first = std::make_unique<CTool_QuickPDFLib>();
  m_bUsable = first->IsUsable();
  platform::CLockGuard lock(m_Mutex);
  m_Idle.push_back(std::move(first));
  m_nMade = 1;
}

CPdfReaderQueue::~CPdfReaderQueue() = default;

int CPdfReaderQueue::ReadersFromEnvironment() {
  const char* value = std::getenv("FK_PDFTEXT_READERS");
  if (value == nullptr || *value == '\0') return 1;
  char* end = nullptr;
  const long number = std::strtol(value, &end, 10);
  return *end == '\0' && number >= 1 && number <= kMaxReaders ? static_cast<int>(number) : 1;
}

CPdfReaderQueue::SResult CPdfReaderQueue::Read(const std::string& path, bool quiet) {
  SResult result;
  result.Failure = CTool_QuickPDFLib::Failure::Abandoned;
  if (!m_bUsable) return result;
  Tool tool = TakeReader();
  if (!tool) return result;
  tool->SetQuiet(quiet);
  if (!tool->IsUsable()) {
    result.Failure = CTool_QuickPDFLib::Failure::Passing;  // the plug-in went away since the start
  } else if (tool->DAOpenFile(path, "") != 0) {
    result.bRead = true;
    result.Failure = CTool_QuickPDFLib::Failure::Read;
    result.Text = tool->DAExtractText(-1, -1, 7);
    tool->DACloseFile(-1);
  } else {
    result.Failure = tool->LastFailure();
  }
  tool->SetQuiet(false);
  GiveBack(std::move(tool));
  return result;
}

CPdfReaderQueue::Tool CPdfReaderQueue::TakeReader() {
  Tool tool;
  {
    platform::CLockGuard lock(m_Mutex);
    const std::uint64_t ticket = m_nNextTicket++;
    // In arrival order: a request is served only once every earlier one has its reader.
    while (!m_bAborted && (ticket != m_nServing || (m_Idle.empty() && m_nMade >= m_nReaders))) {
      m_Turn.WaitUntil(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(kTurnRecheckMilliseconds));
    }
    if (m_bAborted) return nullptr;
    ++m_nServing;
    if (!m_Idle.empty()) {
      tool = std::move(m_Idle.back());
      m_Idle.pop_back();
      m_Busy.push_back(tool.get());
    } else {
      ++m_nMade;
    }
  }
  m_Turn.NotifyAll();  // the next request's turn
  if (tool) return tool;
  // Made outside the lock: loading the plug-in must not hold up the other requests.
  tool = std::make_unique<CTool_QuickPDFLib>();
  platform::CLockGuard lock(m_Mutex);
  if (m_bAborted) tool->Abort();
  m_Busy.push_back(tool.get());
  return tool;
}

void CPdfReaderQueue::GiveBack(Tool tool) {
  Tool ended;
  {
    platform::CLockGuard lock(m_Mutex);
    m_Busy.erase(std::remove(m_Busy.begin(), m_Busy.end(), tool.get()), m_Busy.end());
    if (m_bAborted) {
      ended = std::move(tool);
      --m_nMade;
    } else {
      m_Idle.push_back(std::move(tool));
    }
  }
  m_Turn.NotifyAll();
}

void CPdfReaderQueue::Abort() {
  std::vector<Tool> ended;
  {
    platform::CLockGuard lock(m_Mutex);
    m_bAborted = true;
    // Each ends its helper: the thread reading with it returns at once.
    for (CTool_QuickPDFLib* busy : m_Busy) busy->Abort();
    ended.swap(m_Idle);
    m_nMade -= static_cast<int>(ended.size());
  }
  m_Turn.NotifyAll();
}

void CPdfReaderQueue::ReleaseIdle() {
  if (!m_bUsable) return;  // the unusable tool is kept: the missing plug-in is recorded once
  std::vector<Tool> ended;
  {
    platform::CLockGuard lock(m_Mutex);
    if (m_nNextTicket != m_nServing) return;  // requests wait for a reader
    ended.swap(m_Idle);
    m_nMade -= static_cast<int>(ended.size());
  }
}
