#include "testsupport/PdfMaker.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace testsupport {
namespace {

// Helvetica with WinAnsi encoding matches Latin-1 from 0xA0 up, so such code points pass as
// one byte; everything else outside ASCII is replaced.
std::string ToWinAnsi(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    int length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 4;
    if (length == 1) {
      out += static_cast<char>(c);
    } else if (length == 2 && i + 1 < utf8.size()) {
      unsigned codePoint = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu);
      out += codePoint >= 0xA0 && codePoint <= 0xFF ? static_cast<char>(codePoint) : '?';
    } else {
      out += '?';
    }
    i += length;
  }
  return out;
}

std::string PdfString(const std::string& text) {
  std::string out = "(";
  for (char ch : ToWinAnsi(text)) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (ch == '(' || ch == ')' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c >= 0x7F) {
      char octal[8];
      std::snprintf(octal, sizeof octal, "\\%03o", c);
      out += octal;
    } else {
      out += ch;
    }
  }
  return out + ")";
}

std::string ContentStream(const std::string& text) {
  if (text.empty()) return "";
  std::ostringstream content;
  content << "BT /F1 12 Tf 14 TL 72 770 Td";
  std::istringstream lines(text);
  std::string line;
  bool first = true;
  while (std::getline(lines, line)) {
    content << (first ? " " : " T* ") << PdfString(line) << " Tj";
    first = false;
  }
  content << " ET";
  return content.str();
}

std::string StreamObject(const std::string& data) {
  return "<< /Length " + std::to_string(data.size()) + " >>\nstream\n" + data + "\nendstream";
}

// Numbers the bodies from 1, writes them and a cross-reference table with exact offsets.
std::string Assemble(const std::vector<std::string>& bodies, const std::string& trailerExtra) {
  std::string out = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + bodies[i] + "\nendobj\n";
  }
  std::size_t xrefOffset = out.size();
  out += "xref\n0 " + std::to_string(bodies.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    char entry[24];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    out += entry;
  }
  out += "trailer\n<< /Size " + std::to_string(bodies.size() + 1) + " /Root 1 0 R" +
         trailerExtra + " >>\nstartxref\n" + std::to_string(xrefOffset) + "\n%%EOF\n";
  return out;
}

// Objects 1 catalogue, 2 page tree, 3 font, then a page and its content per text.
// A last kid that is no page object makes the tree hold one page that readers cannot load.
std::vector<std::string> DocumentBodies(const std::vector<std::string>& pageTexts,
                                        const std::string& claimedCount,
                                        bool unreadableLastPage = false) {
  std::vector<std::string> bodies = {"<< /Type /Catalog /Pages 2 0 R >>", "",
                                     "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica "
                                     "/Encoding /WinAnsiEncoding >>"};
  std::string kids;
  for (const std::string& text : pageTexts) {
    std::size_t pageNumber = bodies.size() + 1;
    kids += std::to_string(pageNumber) + " 0 R ";
    bodies.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font "
                     "<< /F1 3 0 R >> >> /Contents " + std::to_string(pageNumber + 1) + " 0 R >>");
    bodies.push_back(StreamObject(ContentStream(text)));
  }
  if (unreadableLastPage) {
    bodies.push_back("(not a page)");
    kids += std::to_string(bodies.size()) + " 0 R ";
  }
  std::size_t pages = pageTexts.size() + (unreadableLastPage ? 1 : 0);
  std::string count = claimedCount.empty() ? std::to_string(pages) : claimedCount;
  bodies[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + count + " >>";
  return bodies;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file.flush());
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

std::string PdfBytes(const std::vector<std::string>& pageTexts) {
  return Assemble(DocumentBodies(pageTexts, ""), "");
}

}  // namespace

bool MakePdf(const std::string& path, const std::vector<std::string>& pageTexts) {
  return WriteFile(path, PdfBytes(pageTexts));
}

bool MakeTruncatedPdf(const std::string& path, const std::vector<std::string>& pageTexts,
                      std::size_t keepBytes) {
  return WriteFile(path, PdfBytes(pageTexts).substr(0, keepBytes));
}

bool MakeGarbageFile(const std::string& path, std::size_t size) {
  std::string bytes = "%PDF-1.4\n";
  unsigned seed = 12345;
  while (bytes.size() < size) {
    seed = seed * 1103515245u + 12345u;
    bytes += static_cast<char>((seed >> 16) & 0xFFu);
  }
  return WriteFile(path, bytes.substr(0, size));
}

bool MakePasswordProtectedPdf(const std::string& path, const std::vector<std::string>& pageTexts) {
  std::vector<std::string> bodies = DocumentBodies(pageTexts, "");
  bodies.push_back("<< /Filter /Standard /V 1 /R 2 /O " + HexBytes(7, 32) + " /U " +
                   HexBytes(11, 32) + " /P -44 >>");
  std::string id = HexBytes(13, 16);
  std::string trailerExtra =
      " /Encrypt " + std::to_string(bodies.size()) + " 0 R /ID [" + id + " " + id + "]";
  return WriteFile(path, Assemble(bodies, trailerExtra));
}

bool MakeHugePageCountPdf(const std::string& path, long long claimedPages) {
  return WriteFile(path, Assemble(DocumentBodies({"only page"}, std::to_string(claimedPages)), ""));
}

bool MakePdfWithUnreadableLastPage(const std::string& path,
                                   const std::vector<std::string>& pageTexts) {
  return WriteFile(path, Assemble(DocumentBodies(pageTexts, "", true), ""));
}

}  // namespace testsupport
