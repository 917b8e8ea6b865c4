#include "testsupport/PdfMaker.h"

#include <cstdio>

#include "bench/PdfWriter.h"

namespace testsupport {
namespace {

// The page tree (object 2) of bench::PdfObjects, whose pages are objects 4, 6, 8...; a kid
// that is no page object makes the tree hold one page that readers cannot load.
std::vector<std::string> DocumentBodies(const std::vector<std::string>& pageTexts,
                                        const std::string& claimedCount,
                                        bool unreadableLastPage = false) {
  std::vector<std::string> bodies = bench::PdfObjects(pageTexts);
  std::string kids;
  for (std::size_t i = 0; i < pageTexts.size(); ++i) kids += std::to_string(4 + 2 * i) + " 0 R ";
  if (unreadableLastPage) {
    bodies.push_back("(not a page)");
    kids += std::to_string(bodies.size()) + " 0 R ";
  }
  std::size_t pages = pageTexts.size() + (unreadableLastPage ? 1 : 0);
  std::string count = claimedCount.empty() ? std::to_string(pages) : claimedCount;
  bodies[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + count + " >>";
  return bodies;
}

std::string HexBytes(unsigned seed, int count) {
  std::string hex = "<";
  for (int i = 0; i < count; ++i) {
    seed = seed * 1103515245u + 12345u;
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X", (seed >> 16) & 0xFFu);
    hex += pair;
  }
  return hex + ">";
}

}  // namespace

bool MakePdf(const std::string& path, const std::vector<std::string>& pageTexts) {
  return bench::WritePdf(path, pageTexts);
}

bool MakeTruncatedPdf(const std::string& path, const std::vector<std::string>& pageTexts,
                      std::size_t keepBytes) {
  return bench::WriteBytes(path, bench::AssemblePdf(bench::PdfObjects(pageTexts)).substr(0, keepBytes));
}

bool MakeGarbageFile(const std::string& path, std::size_t size) {
  std::string bytes = "%PDF-1.4\n";
  unsigned seed = 12345;
  while (bytes.size() < size) {
    seed = seed * 1103515245u + 12345u;
    bytes += static_cast<char>((seed >> 16) & 0xFFu);
  }
  return bench::WriteBytes(path, bytes.substr(0, size));
}

bool MakePasswordProtectedPdf(const std::string& path, const std::vector<std::string>& pageTexts) {
  std::vector<std::string> bodies = bench::PdfObjects(pageTexts);
  bodies.push_back("<< /Filter /Standard /V 1 /R 2 /O " + HexBytes(7, 32) + " /U " +
                   HexBytes(11, 32) + " /P -44 >>");
  std::string id = HexBytes(13, 16);
  std::string trailerExtra =
      " /Encrypt " + std::to_string(bodies.size()) + " 0 R /ID [" + id + " " + id + "]";
  return bench::WriteBytes(path, bench::AssemblePdf(bodies, trailerExtra));
}

bool MakeHugePageCountPdf(const std::string& path, long long claimedPages) {
  return bench::WriteBytes(path, bench::AssemblePdf(DocumentBodies({"only page"}, std::to_string(claimedPages))));
}

bool MakePdfWithUnreadableLastPage(const std::string& path,
                                   const std::vector<std::string>& pageTexts) {
  return bench::WriteBytes(path, bench::AssemblePdf(DocumentBodies(pageTexts, "", true)));
}

}  // namespace testsupport
