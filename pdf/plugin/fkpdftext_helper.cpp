// The PDF text helper: reads documents with poppler on behalf of libfkpdftext.so, one at a
// time, over the socket it finds as descriptor 3. It is expendable: the plug-in kills it on a
// deadline and replaces it when it dies, so poppler's crashes, hangs and blow-ups stay here.
// Usage: fkpdftext-helper DEADLINE_MS MEMORY_MB   (MEMORY_MB 0: no cap)

#include <unistd.h>

#include <algorithm>
#include <csignal>
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

// Test-only faults, honoured only when FK_PDFTEXT_HELPER_FAULT is "crash:PATH", "hang:PATH",
// "allocate:PATH" or an escape (below) and the document is PATH: they stand for what hostile
// files do to poppler.
// An escape ("read", "socket", "write") that the sandbox refuses without ending the helper
// returns the refusal, and the document fails with it.
std::string ApplyTestFault(const std::string& path) {
  const char* fault = std::getenv("FK_PDFTEXT_HELPER_FAULT");
  if (fault == nullptr) return "";
  std::string value(fault);
  std::string::size_type colon = value.find(':');
  if (colon == std::string::npos || value.substr(colon + 1) != path) return "";
  std::string mode = value.substr(0, colon);
  if (mode == "crash") platform::ChildSelf::RaiseSignal(SIGSEGV);
  if (mode == "hang") platform::ChildSelf::SleepSeconds(3600);
  if (mode == "allocate") {
    // Address space only, left untouched, so that the cap and not the machine's memory ends it.
    std::vector<std::unique_ptr<char[]>> blocks;
    for (;;) blocks.emplace_back(new char[1 << 20]);
  }
  std::string refused;
  if (mode == "read" || mode == "socket" || mode == "write") platform::ChildSelf::TryEscape(mode, path, refused);
  return refused;
}

// Whether this helper may read one document only (then it ends after it), or any.
enum class Confinement { None, OneDocument, AnyDocument };

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

bool ExtractDocument(FrameChannel& channel, const std::string& path, const std::string& password) {
  std::string why;
  const int fd = platform::OpenDocumentFile(path, why);
  if (fd < 0) return Fail(channel, FKPDFTEXT_ERROR_UNREADABLE, why);
  // Poppler opens by name: the name of the descriptor already open is the very file checked
  // above, never a link or a FIFO put in its place since.
  std::unique_ptr<poppler::document> document(
      poppler::document::load_from_file("/proc/self/fd/" + std::to_string(fd), password, password));
  close(fd);
  if (!document) return Fail(channel, FKPDFTEXT_ERROR_UNREADABLE, "damaged or not a PDF");
  // Poppler must not be asked anything else of a locked document: it crashes on it.
  if (document->is_locked()) return Fail(channel, FKPDFTEXT_ERROR_PASSWORD, "protected by a password");
  std::string message = Protocol::Message(Protocol::kPageCount);
  Protocol::PutNumber(message, static_cast<std::uint32_t>(document->pages()));
  if (channel.Send(message) != FrameChannel::Result::Ok) return false;
  return SendPages(channel, *document);
}

bool ServeOne(FrameChannel& channel, unsigned alarmSeconds, Confinement& confinement) {
  std::string request;
  if (channel.Receive(request, Protocol::kMaxFrame) != FrameChannel::Result::Ok) return false;
  Protocol::Reader reader(request);
  std::string path;
  std::string password;
  if (reader.Kind() != Protocol::kOpen || !reader.GetText(path) || !reader.GetText(password)) {
    return Fail(channel, FKPDFTEXT_ERROR_HELPER, "malformed request");
  }
  // Our own alarm ends a hang even when the plug-in's process is gone and cannot kill us.
  platform::ChildSelf::AlarmAfter(alarmSeconds);
  if (confinement == Confinement::None) {
    std::string why;
    const HelperSandbox::Scope scope = HelperSandbox::Confine(path, why);
    if (scope == HelperSandbox::Scope::Failed) {
      Fail(channel, FKPDFTEXT_ERROR_HELPER, "the helper cannot confine itself: " + why);
      return false;
    }
    confinement = scope == HelperSandbox::Scope::OneDocument ? Confinement::OneDocument : Confinement::AnyDocument;
    if (confinement == Confinement::OneDocument &&
        channel.Send(Protocol::Message(Protocol::kLastDocument)) != FrameChannel::Result::Ok) {
      return false;
    }
  }
  const std::string refused = ApplyTestFault(path);
  bool sent;
  try {
    sent = refused.empty() ? ExtractDocument(channel, path, password)
                           : Fail(channel, FKPDFTEXT_ERROR_UNREADABLE, refused);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    sent = Fail(channel, FKPDFTEXT_ERROR_UNREADABLE, std::string("poppler: ") + error.what());
  }
  platform::ChildSelf::AlarmAfter(0);
  return sent && confinement == Confinement::AnyDocument;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  long long deadlineMs = std::atoll(argv[1]);
  long long memoryMb = std::atoll(argv[2]);
  platform::ChildSelf::IgnoreBrokenPipe();
  poppler::set_debug_error_function(Quiet, nullptr);
  if (memoryMb > 0 && !platform::ChildSelf::LimitAddressSpaceGrowth(static_cast<unsigned long long>(memoryMb) << 20)) {
    return 2;
  }
  unsigned alarmSeconds = static_cast<unsigned>(deadlineMs / 1000 + 10);
  FrameChannel channel(platform::CChildProcess::kChildChannelFd);
  Confinement confinement = Confinement::None;
  try {
    while (ServeOne(channel, alarmSeconds, confinement)) {
    }
  } catch (const std::bad_alloc&) {
    platform::ChildSelf::ExitNow(PdfTextProtocol::kExitOutOfMemory);
  }
  return 0;
}
