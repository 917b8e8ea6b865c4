#pragma once

#include <string>
#include <vector>

// Writes small but real PDF files for tests, through the synthetic archives' PDF writer: one
// page per text, in Helvetica (WinAnsi encoding: UTF-8 text within Latin-1 is kept, other
// characters become '?'), an empty text making an empty page. The bad variants imitate what
// arrives from outside.
namespace testsupport {

// Writes a well-formed PDF with one page per entry of pageTexts ('\n' starts a new line);
// false when the file cannot be written.
bool MakePdf(const std::string& path, const std::vector<std::string>& pageTexts);

// A PDF cut off after its first keepBytes bytes (no cross-reference table, no trailer).
bool MakeTruncatedPdf(const std::string& path, const std::vector<std::string>& pageTexts,
                      std::size_t keepBytes);

// size bytes of deterministic noise that only looks like a PDF in its first line.
bool MakeGarbageFile(const std::string& path, std::size_t size);

// A PDF with a standard security handler whose keys fit no password: readers refuse it.
bool MakePasswordProtectedPdf(const std::string& path, const std::vector<std::string>& pageTexts);

// A PDF whose page tree claims claimedPages pages but holds one.
bool MakeHugePageCountPdf(const std::string& path, long long claimedPages);

// The pages of pageTexts followed by one page that cannot be loaded (not a page object).
bool MakePdfWithUnreadableLastPage(const std::string& path,
                                   const std::vector<std::string>& pageTexts);

}  // namespace testsupport
