#include "pdf/plugin/HelperSandbox.h"

#include <cstdio>
#include <ctime>
#include <iterator>
#include <vector>

#include <poppler-global.h>

#include "platform/ProcessSandbox.h"

namespace HelperSandbox {
namespace {

// The channel, standard streams, the document, poppler's data files and a little slack.
constexpr unsigned kMaxDescriptors = 16;
// Encodings and character maps poppler reads for some fonts (package poppler-data).
const char* const kPopplerDataTrees[] = {"/usr/share/poppler"};

// Loads, while the helper may still read them, the files that reading any document needs once:
// glibc's character set converters (poppler's text to UTF-8) and the time zone.
void LoadSharedData() {
  poppler::ustring::from_latin1("x").to_utf8();
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
}

}  // namespace

Scope Confine(const std::string& documentPath, std::string& why) {
#if FK_HELPER_SANDBOX
  namespace Sandbox = platform::ProcessSandbox;
  LoadSharedData();
  if (!Sandbox::DropPrivileges(kMaxDescriptors, why)) return Scope::Failed;
  const std::vector<std::string> trees(std::begin(kPopplerDataTrees), std::end(kPopplerDataTrees));
  const Sandbox::FileSystemRestriction restriction = Sandbox::RestrictFileSystem({documentPath}, trees, why);
  if (restriction == Sandbox::FileSystemRestriction::Failed) return Scope::Failed;
  if (restriction == Sandbox::FileSystemRestriction::NotOffered) {
    std::fprintf(stderr, "fkpdftext-helper: %s: documents are read under the system-call filter only\n", why.c_str());
  }
  if (!Sandbox::FilterSystemCalls(why)) return Scope::Failed;
  return restriction == Sandbox::FileSystemRestriction::Applied ? Scope::OneDocument : Scope::AnyDocument;
#else
  // Sanitizer builds: their run-time reads /proc and starts threads the filter would refuse.
  (void)documentPath;
  (void)why;
  return Scope::AnyDocument;
#endif
}

}  // namespace HelperSandbox
