#include "pdf/plugin/HelperSandbox.h"

#include <cstdio>
#include <ctime>
#include <iterator>
#include <vector>

#include <poppler-global.h>

#include "platform/ProcessSandbox.h"

namespace HelperSandbox {
#if FK_HELPER_SANDBOX
namespace {

// The channel, standard streams, one document, poppler's data files and a little slack.
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
#endif

bool Confine(std::string& why) {
#if FK_HELPER_SANDBOX
  namespace Sandbox = platform::ProcessSandbox;
  LoadSharedData();
  if (!Sandbox::DropPrivileges(kMaxDescriptors, why)) return false;
  const std::vector<std::string> trees(std::begin(kPopplerDataTrees), std::end(kPopplerDataTrees));
  const Sandbox::FileSystemRestriction restriction = Sandbox::RestrictFileSystem({}, trees, why);
  if (restriction == Sandbox::FileSystemRestriction::Failed) return false;
  if (restriction == Sandbox::FileSystemRestriction::NotOffered) {
    std::fprintf(stderr, "fkpdftext-helper: %s: it may open other files for reading\n", why.c_str());
  }
  return Sandbox::FilterSystemCalls(why);
#else
  // Sanitizer builds: their run-time reads /proc and starts threads the filter would refuse.
  (void)why;
  return true;
#endif
}

}  // namespace HelperSandbox
