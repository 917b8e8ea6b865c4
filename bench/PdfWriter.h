#pragma once

#include <string>
#include <vector>

// Writes small but real PDF files for the synthetic archives: one page per text, in Helvetica
// (WinAnsi encoding: UTF-8 text within Latin-1 is kept, other characters become '?'), an
// empty text making an empty page.
namespace bench {

// The objects of such a PDF, numbered from 1: the catalogue, the page tree, the font, then a
// page and its content per text ('\n' starts a new line).
std::vector<std::string> PdfObjects(const std::vector<std::string>& pageTexts);
// The file's bytes: the objects, a cross-reference table with exact offsets and the trailer
// (trailerExtra is added to the trailer's dictionary).
std::string AssemblePdf(const std::vector<std::string>& objects, const std::string& trailerExtra = "");
// Writes the bytes to path; false when the file cannot be written.
bool WriteBytes(const std::string& path, const std::string& bytes);
// Writes a well-formed PDF with one page per entry of pageTexts; false when it cannot.
bool WritePdf(const std::string& path, const std::vector<std::string>& pageTexts);

}  // namespace bench
