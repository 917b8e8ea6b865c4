#include "bench/PdfWriter.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace bench {
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

}  // namespace

std::string AssemblePdf(const std::vector<std::string>& bodies, const std::string& trailerExtra) {
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

std::vector<std::string> PdfObjects(const std::vector<std::string>& pageTexts) {
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", "",
                                      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica "
                                      "/Encoding /WinAnsiEncoding >>"};
  std::string kids;
  for (const std::string& text : pageTexts) {
    const std::size_t pageNumber = objects.size() + 1;
    kids += std::to_string(pageNumber) + " 0 R ";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font "
                      "<< /F1 3 0 R >> >> /Contents " + std::to_string(pageNumber + 1) + " 0 R >>");
    objects.push_back(StreamObject(ContentStream(text)));
  }
  objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pageTexts.size()) + " >>";
  return objects;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file.flush());
}

bool WritePdf(const std::string& path, const std::vector<std::string>& pageTexts) {
  return WriteBytes(path, AssemblePdf(PdfObjects(pageTexts)));
}

}  // namespace bench
