// The PDF text helper: reads documents with poppler on behalf of libfkpdftext.so, one at a
// time, over the socket it finds as descriptor 3. It is expendable: the plug-in kills it on a
// deadline and replaces it when it dies, so poppler's crashes, hangs and blow-ups stay here.
// Usage: fkpdftext-helper DEADLINE_MS MEMORY_MB [WALL_MS]   (MEMORY_MB 0: no cap)

#include <algorithm>
#include <climits>
#include <cstdio>
#include <csignal>
#include <ctime>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include "pdf/plugin/FKPdfText.h"
#include "pdf/plugin/HelperSandbox.h"
#include "pdf/plugin/PdfTextProtocol.h"
#include "platform/CChildProcess.h"
#include "platform/DocumentFile.h"
#include "platform/FrameChannel.h"
#include "platform/MappedDocument.h"

namespace {

using platform::FrameChannel;
namespace Protocol = PdfTextProtocol;

void Quiet(const std::string&, void*) {}

bool Fail(FrameChannel& channel, int code, const std::string& reason) {
  std::string message = Protocol::Message(Protocol::kFailure);
  Protocol::PutNumber(message, static_cast<std::uint32_t>(code));
  Protocol::PutText(message, reason);
  return channel.Send(message) == FrameChannel::Result::Ok;
}

// Poppler ends every page's text with a line break of its layout; it is not the document's.
std::string PageText(const poppler::page& page) {
  poppler::byte_array bytes = page.text().to_utf8();
  std::string text(bytes.begin(), bytes.end());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '\f')) {
    text.pop_back();
  }
  return text;
}

// Test-only faults, honoured only when FK_PDFTEXT_HELPER_FAULT is MODE:PATH and the document is
// PATH, or lies below PATH when it ends with '/'. They stand for what hostile files do to
// poppler: "crash", "hang" (blocks without using the processor), "spin" (uses the processor
// without end), "allocate"; "busy" uses 250 ms of processor time, then reads the document.
// An escape ("read", "socket", "write") that the sandbox refuses without ending the helper
// returns the refusal, and the document fails with it.
std::string ApplyTestFault(const std::string& path) {
  const char* fault = std::getenv("FK_PDFTEXT_HELPER_FAULT");
  if (fault == nullptr) return "";
  std::string value(fault);
  std::string::size_type colon = value.find(':');
  if (colon == std::string::npos) return "";
  const std::string target = value.substr(colon + 1);
  const bool below = !target.empty() && target.back() == '/' && path.compare(0, target.size(), target) == 0;
  if (target != path && !below) return "";
  std::string mode = value.substr(0, colon);
  if (mode == "crash") platform::ChildSelf::RaiseSignal(SIGSEGV);
  if (mode == "hang") platform::ChildSelf::SleepSeconds(3600);
  if (mode == "spin" || mode == "busy") {
    const bool endless = mode == "spin";
    const std::clock_t end = std::clock() + CLOCKS_PER_SEC / 4;
    volatile unsigned long long turns = 0;
    while (endless || std::clock() < end) turns = turns + 1;
  }
  if (mode == "allocate") {
    // Address space only, left untouched, so that the cap and not the machine's memory ends it.
    std::vector<std::unique_ptr<char[]>> blocks;
    for (;;) blocks.emplace_back(new char[1 << 20]);
  }
  std::string refused;
  if (mode == "read" || mode == "socket" || mode == "write") platform::ChildSelf::TryEscape(mode, path, refused);
  return refused;
}

// Text past the service's cap is not extracted at all: one byte more than the cap is sent, so
// the service knows it was cut, and the pages after it go out empty.
bool SendPages(FrameChannel& channel, const poppler::document& document) {
  const std::size_t limit = std::min(platform::DocumentTextCap() + 1, Protocol::kMaxDocumentText);
  std::size_t total = 0;
  for (int index = 0; index < document.pages(); ++index) {
    std::unique_ptr<poppler::page> page(total < limit ? document.create_page(index) : nullptr);
    std::string text = page ? PageText(*page) : std::string();
    if (text.size() > limit - total) text.resize(limit - total);
    total += text.size();
    std::string message = Protocol::Message(Protocol::kPage);
    Protocol::PutNumber(message, page || total >= limit ? 1 : 0);
    Protocol::PutText(message, text);
    if (channel.Send(message) != FrameChannel::Result::Ok) return false;
  }
  return channel.Send(Protocol::Message(Protocol::kDone)) == FrameChannel::Result::Ok;
}

// The plug-in opened the document and handed over its descriptor: the helper opens no file.
// Poppler reads it from memory, mapped, never copied.
bool ExtractDocument(FrameChannel& channel, int fd, const std::string& password) {
  platform::MappedDocument file;
  std::string why;
  bool outOfMemory = false;
  if (!file.Map(fd, why, outOfMemory)) {
    if (outOfMemory) throw std::bad_alloc();
    return Fail(channel, FKPDFTEXT_ERROR_UNREADABLE, why);
  }
  if (file.Size() > static_cast<std::size_t>(INT_MAX)) return Fail(channel, FKPDFTEXT_ERROR_UNREADABLE, "larger than 2 GiB");
  std::unique_ptr<poppler::document> document(poppler::document::load_from_raw_data(
      file.Data(), static_cast<int>(file.Size()), password, password));
  if (!document) return Fail(channel, FKPDFTEXT_ERROR_UNREADABLE, "damaged or not a PDF");
  // Poppler must not be asked anything else of a locked document: it crashes on it.
  if (document->is_locked()) return Fail(channel, FKPDFTEXT_ERROR_PASSWORD, "protected by a password");
  std::string message = Protocol::Message(Protocol::kPageCount);
  Protocol::PutNumber(message, static_cast<std::uint32_t>(document->pages()));
  if (channel.Send(message) != FrameChannel::Result::Ok) return false;
  return SendPages(channel, *document);
}

struct Alarms {
  unsigned long long cpuMs;  // processor time, beyond the plug-in's deadline
  unsigned wallSeconds;      // wall-clock time, beyond the plug-in's bound
};

bool ServeOne(FrameChannel& channel, const Alarms& alarms) {
  std::string request;
  if (channel.Receive(request, Protocol::kMaxFrame) != FrameChannel::Result::Ok) return false;
  Protocol::Reader reader(request);
  std::string path;
  std::string password;
  int fd = -1;
  if (reader.Kind() != Protocol::kOpen || !reader.GetText(path) || !reader.GetText(password)) {
    return Fail(channel, FKPDFTEXT_ERROR_HELPER, "malformed request");
  }
  // Without its document's descriptor the channel is out of step: this helper ends.
  if (channel.ReceiveDescriptor(fd) != FrameChannel::Result::Ok) return false;
  // Our own alarms end a hang even when the plug-in's process is gone and cannot kill us. The
  // first counts processor time, so that waiting for the processor behind other work does not
  // end a sound document; the second a block that uses none.
  platform::ChildSelf::CpuAlarmAfter(alarms.cpuMs);
  platform::ChildSelf::AlarmAfter(alarms.wallSeconds);
  const std::string refused = ApplyTestFault(path);
  bool sent;
  try {
    sent = refused.empty() ? ExtractDocument(channel, fd, password) : Fail(channel, FKPDFTEXT_ERROR_UNREADABLE, refused);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    sent = Fail(channel, FKPDFTEXT_ERROR_UNREADABLE, std::string("poppler: ") + error.what());
  }
  platform::CloseDocumentFile(fd);
  platform::ChildSelf::AlarmAfter(0);
  platform::ChildSelf::CpuAlarmAfter(0);
  return sent;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 2;
  long long deadlineMs = std::max(1LL, std::atoll(argv[1]));
  long long memoryMb = std::atoll(argv[2]);
  long long wallMs = argc == 4 ? std::max(1LL, std::atoll(argv[3])) : std::max(10 * deadlineMs, 300000LL);
  platform::ChildSelf::IgnoreBrokenPipe();
  poppler::set_debug_error_function(Quiet, nullptr);
  if (memoryMb > 0 && !platform::ChildSelf::LimitAddressSpaceGrowth(static_cast<unsigned long long>(memoryMb) << 20)) {
    return 2;
  }
  const Alarms alarms = {static_cast<unsigned long long>(deadlineMs) + 10000,
                         static_cast<unsigned>(std::min(wallMs / 1000 + 10, 86400LL))};
  std::string why;
  if (!HelperSandbox::Confine(why)) {
    std::fprintf(stderr, "fkpdftext-helper: reads no document: it cannot confine itself: %s\n", why.c_str());
    return 2;
  }
  FrameChannel channel(platform::CChildProcess::kChildChannelFd);
  try {
    while (ServeOne(channel, alarms)) {
    }
  } catch (const std::bad_alloc&) {
    platform::ChildSelf::ExitNow(PdfTextProtocol::kExitOutOfMemory);
  }
  return 0;
}
