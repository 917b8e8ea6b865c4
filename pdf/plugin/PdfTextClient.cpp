#include "pdf/plugin/PdfTextClient.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fstream>

#include "pdf/plugin/FKPdfText.h"
#include "pdf/plugin/PdfTextProtocol.h"
#include "platform/DocumentFile.h"

namespace Protocol = PdfTextProtocol;
using platform::FrameChannel;

namespace {

const char kHelperName[] = "fkpdftext-helper";
const char kAbortedText[] = "abandoned: the service is stopping";
// How often the helper's processor time is looked at while a document is read.
constexpr int kCpuCheckMilliseconds = 50;
constexpr long long kLeastWallMilliseconds = 300000;

long long NumberFromEnvironment(const char* name, long long fallback, long long minimum) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  char* end = nullptr;
  long long number = std::strtoll(value, &end, 10);
  return *end == '\0' && number >= minimum ? number : fallback;
}

// Appends "path<TAB>helper processor ms" for each document handed to the helper, when
// FK_PDFTEXT_RUN_COUNT_FILE names a file: tests and fkbench count the helper's work with it.
// One short line per write, so that several readers appending at once do not mix their lines.
void NoteHelperRun(const std::string& path, long long cpuMilliseconds) {
  const char* file = std::getenv("FK_PDFTEXT_RUN_COUNT_FILE");
  if (file == nullptr || *file == '\0') return;
  const std::string line = path + "\t" + std::to_string(std::max(cpuMilliseconds, 0LL)) + "\n";
  std::ofstream(file, std::ios::app | std::ios::binary).write(line.data(), static_cast<std::streamsize>(line.size()));
}

}  // namespace

PdfTextClient::PdfTextClient(const Settings& settings, const platform::CAbortSignal* abort)
    : m_Settings(settings), m_pAbort(abort) {
  m_Channel.SetAbortFd(abort != nullptr ? abort->Fd() : -1);
}

PdfTextClient::~PdfTextClient() { m_Helper.Kill(); }

PdfTextClient::Settings PdfTextClient::SettingsFromEnvironment(const std::string& defaultHelperDirectory) {
  Settings settings;
  const char* helper = std::getenv("FK_PDFTEXT_HELPER");
  settings.helperPath = helper != nullptr && *helper != '\0'
                            ? std::string(helper)
                            : defaultHelperDirectory + "/" + kHelperName;
  settings.deadlineMs =
      static_cast<int>(NumberFromEnvironment("FK_PDFTEXT_DEADLINE_MS", settings.deadlineMs, 1));
  const long long wall = std::max(10LL * settings.deadlineMs, kLeastWallMilliseconds);
  settings.wallMs = static_cast<int>(std::min<long long>(NumberFromEnvironment("FK_PDFTEXT_WALL_MS", wall, 1), INT_MAX));
  settings.memoryMb = NumberFromEnvironment("FK_PDFTEXT_MEMORY_MB", settings.memoryMb, 0);
  return settings;
}

int PdfTextClient::OpenFile(const std::string& path, const std::string& password) {
  Pages pages;
  if (!ReadDocument(path, password, pages)) return 0;
  SetError(FKPDFTEXT_OK, "");
  int handle = m_nNextHandle++;
  if (m_nNextHandle <= 0) m_nNextHandle = 1;
  m_Documents[handle] = std::move(pages);
  return handle;
}

int PdfTextClient::GetPageCount(int file) {
  auto document = m_Documents.find(file);
  if (document == m_Documents.end()) return SetError(FKPDFTEXT_ERROR_ARGUMENT, "no such file handle");
  return static_cast<int>(document->second.size());
}

int PdfTextClient::FindPage(int file, int page) {
  const Page* entry = FindPageEntry(file, page);
  if (entry == nullptr) return 0;
  if (!entry->readable) return SetError(FKPDFTEXT_ERROR_PAGE, "page " + std::to_string(page) + " cannot be read");
  return page;
}

const std::string& PdfTextClient::ExtractPageText(int file, int pageRef) {
  const Page* entry = FindPageEntry(file, pageRef);
  m_strStringResult = entry != nullptr ? entry->text : std::string();
  return m_strStringResult;
}

int PdfTextClient::CloseFile(int file) {
  if (m_Documents.erase(file) == 0) return SetError(FKPDFTEXT_ERROR_ARGUMENT, "no such file handle");
  return 1;
}

const PdfTextClient::Page* PdfTextClient::FindPageEntry(int file, int pageRef) {
  auto document = m_Documents.find(file);
  if (document == m_Documents.end()) {
    SetError(FKPDFTEXT_ERROR_ARGUMENT, "no such file handle");
    return nullptr;
  }
  if (pageRef < 1 || static_cast<std::size_t>(pageRef) > document->second.size()) {
    SetError(FKPDFTEXT_ERROR_ARGUMENT, "no page " + std::to_string(pageRef));
    return nullptr;
  }
  return &document->second[static_cast<std::size_t>(pageRef) - 1];
}

bool PdfTextClient::SetError(int code, const std::string& text) {
  m_nLastErrorCode = code;
  m_strLastErrorText = text;
  return false;
}

bool PdfTextClient::EnsureHelper() {
  if (m_Helper.IsRunning()) return true;
  std::string error;
  const std::vector<std::string> argv = {m_Settings.helperPath, std::to_string(m_Settings.deadlineMs),
                                         std::to_string(m_Settings.memoryMb), std::to_string(m_Settings.wallMs)};
  if (m_Helper.StartConnected(argv, m_Channel, error)) return true;
  return SetError(FKPDFTEXT_ERROR_HELPER, error);
}

bool PdfTextClient::ReadDocument(const std::string& path, const std::string& password, Pages& pages) {
  if (m_pAbort != nullptr && m_pAbort->IsRaised()) return EndHelper(FKPDFTEXT_ERROR_ABORTED, kAbortedText);
  m_DocumentStart = FrameChannel::Clock::now();
  auto deadline = m_DocumentStart + std::chrono::milliseconds(m_Settings.wallMs);
  m_bOverran = false;
  m_Channel.SetWatch([this] { return WithinDeadline(); }, kCpuCheckMilliseconds);
  std::string request = Protocol::Message(Protocol::kOpen);
  Protocol::PutText(request, path);
  Protocol::PutText(request, password);
  // Opened here and handed over, so that the confined helper needs to open no file at all.
  std::string why;
  const int fd = platform::OpenDocumentFile(path, why);
  if (fd < 0) {
    m_Channel.SetWatch(nullptr, 0);
    return SetError(FKPDFTEXT_ERROR_UNREADABLE, why);
  }
  const bool read = SendRequest(request, fd, deadline) && ReadAnswer(pages, deadline);
  platform::CloseDocumentFile(fd);
  m_Channel.SetWatch(nullptr, 0);
  const long long cpu = m_Helper.CpuMilliseconds();
  NoteHelperRun(path, cpu >= 0 && m_nCpuAtStart >= 0 ? cpu - m_nCpuAtStart : 0);
  return read;
}

bool PdfTextClient::WithinDeadline() {
  const long long cpu = m_Helper.CpuMilliseconds();
  if (cpu < 0) {
    // Without the processor time (no /proc) the deadline counts in wall-clock time, as it must.
    m_bOverran = FrameChannel::Clock::now() - m_DocumentStart >= std::chrono::milliseconds(m_Settings.deadlineMs);
  } else {
    if (m_Helper.GetPid() != m_nWatchedPid || m_nCpuAtStart < 0) {
      m_nWatchedPid = m_Helper.GetPid();
      m_nCpuAtStart = cpu;
    }
    m_bOverran = cpu - m_nCpuAtStart >= m_Settings.deadlineMs;
  }
  return !m_bOverran;
}

bool PdfTextClient::TimedOut() {
  if (m_bOverran) return EndHelper(FKPDFTEXT_ERROR_TIMEOUT, DeadlineText());
  return EndHelper(FKPDFTEXT_ERROR_TIMEOUT, "timed out after " + std::to_string(m_Settings.wallMs / 1000) +
                                                " s of wall-clock time without finishing");
}

bool PdfTextClient::SendRequest(const std::string& request, int fd, FrameChannel::Clock::time_point deadline) {
  // A helper that died while idle (killed from outside) is no fault of this document:
  // it is replaced once before the document counts as failed.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!EnsureHelper()) return false;
    m_nWatchedPid = m_Helper.GetPid();
    m_nCpuAtStart = m_Helper.CpuMilliseconds();
    FrameChannel::Result sent = m_Channel.Send(request, deadline);
    if (sent == FrameChannel::Result::Ok) sent = m_Channel.SendDescriptor(fd, deadline);
    if (sent == FrameChannel::Result::Ok) return true;
    if (sent == FrameChannel::Result::TimedOut) return TimedOut();
    if (sent == FrameChannel::Result::Aborted) return EndHelper(FKPDFTEXT_ERROR_ABORTED, kAbortedText);
    EndHelper(FKPDFTEXT_ERROR_CRASHED, "");
  }
  return false;
}

bool PdfTextClient::ReadAnswer(Pages& pages, FrameChannel::Clock::time_point deadline) {
  std::uint32_t expected = 0;
  for (;;) {
    std::string message;
    FrameChannel::Result got = m_Channel.Receive(message, Protocol::kMaxFrame, deadline);
    if (got == FrameChannel::Result::TimedOut) return TimedOut();
    if (got == FrameChannel::Result::Aborted) return EndHelper(FKPDFTEXT_ERROR_ABORTED, kAbortedText);
    if (got == FrameChannel::Result::Closed) return EndHelper(FKPDFTEXT_ERROR_CRASHED, "");
    if (got != FrameChannel::Result::Ok) return EndHelper(FKPDFTEXT_ERROR_HELPER, "helper broke the protocol");
    Protocol::Reader reader(message);
    std::uint32_t code = 0;
    std::string reason;
    switch (reader.Kind()) {
      case Protocol::kPageCount:
        if (!pages.empty() || !reader.GetNumber(expected)) break;
        continue;
      case Protocol::kPage:
        if (!TakePage(message, expected, pages)) break;
        continue;
      case Protocol::kDone:
        if (pages.size() != expected) break;
        return true;
      case Protocol::kFailure:
        if (!reader.GetNumber(code) || !reader.GetText(reason)) break;
        return SetError(static_cast<int>(code), reason);
    }
    return EndHelper(FKPDFTEXT_ERROR_HELPER, "helper broke the protocol");
  }
}

bool PdfTextClient::TakePage(const std::string& message, std::uint32_t expected, Pages& pages) {
  Protocol::Reader reader(message);
  std::uint32_t readable = 0;
  Page page;
  if (pages.size() >= expected || !reader.GetNumber(readable) || !reader.GetText(page.text)) return false;
  page.readable = readable != 0;
  pages.push_back(std::move(page));
  return true;
}

bool PdfTextClient::EndHelper(int code, const std::string& reason) {
  int exitStatus = -1;
  int signalNumber = 0;
  // Killed before the socket closes, so that a live helper cannot end in its own way meanwhile.
  std::string ending = m_Helper.Kill(&exitStatus, &signalNumber);
  m_Channel.Reset(-1);
  if (!reason.empty()) return SetError(code, reason);
  if (exitStatus == Protocol::kExitOutOfMemory) {
    return SetError(FKPDFTEXT_ERROR_MEMORY,
                    "helper reached its memory cap of " + std::to_string(m_Settings.memoryMb) + " MB");
  }
  if (signalNumber == SIGSYS) {
    return SetError(FKPDFTEXT_ERROR_CRASHED, "helper ended by its sandbox (signal " + std::to_string(signalNumber) +
                                                 ": a forbidden system call)");
  }
  if (signalNumber != 0) {
    return SetError(FKPDFTEXT_ERROR_CRASHED, "helper crashed (signal " + std::to_string(signalNumber) + ")");
  }
  return SetError(code, "helper " + ending);
}

std::string PdfTextClient::DeadlineText() const {
  if (m_Settings.deadlineMs % 1000 == 0) {
    return "timed out after " + std::to_string(m_Settings.deadlineMs / 1000) + " s";
  }
  return "timed out after " + std::to_string(m_Settings.deadlineMs) + " ms";
}
