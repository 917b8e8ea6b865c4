#include "catalogue/CDocumentReader.h"

#include <cerrno>
#include <cstdint>
#include <utility>

#include <boost/algorithm/string/predicate.hpp>

#include "catalogue/LSearcher.h"
#include "catalogue/LXmlText.h"
#include "folders/CFolderLayout.h"
#include "platform/CReadingMarker.h"
#include "platform/FileTimes.h"

namespace {

using Outcome = CDocumentReader::Outcome;

// The time to store for content read between two stamps, the read having run from readStart
// (the coarse file clock) to readEnd (the precise clock; whole seconds): the modification time
// read before the content,
// or "" when the file changed or was replaced while it was read, or was last written in a
// second of the read, when a write just after the read could leave the same time behind.
std::string StoredTime(const platform::FileStamp& before, const platform::FileStamp& after, std::int64_t readStart,
                       std::int64_t readEnd) {
  if (!before.Ok || !after.Ok || before != after) return std::string();
  if (before.ModifiedSeconds >= readStart && before.ModifiedSeconds <= readEnd) return std::string();
  return LSearcher::FormatModificationTime(before.ModifiedSeconds);
}

// The extension of the name part of a path, from its last dot ("" when none).
std::string ExtensionOf(const std::string& path) {
  const size_t nameStart = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
  const size_t dot = path.rfind('.');
  return dot == std::string::npos || dot < nameStart ? "" : path.substr(dot);
}

Outcome OutcomeOf(PdfText::Result result) {
  switch (result) {
    case PdfText::Result::Read:
      return Outcome::Complete;
    case PdfText::Result::Refused:
      return Outcome::Retry;
    case PdfText::Result::Passing:
      return Outcome::RetryLater;
    case PdfText::Result::NoTool:
      return Outcome::RetryAtRestart;
    case PdfText::Result::Abandoned:
      return Outcome::Abandoned;
    case PdfText::Result::Damaged:
      break;
  }
  return Outcome::Damaged;
}

}  // namespace

bool CDocumentReader::IsIndexableDocument(const std::string& name) { return FK::CFolderLayout::IsDocumentName(name); }

bool CDocumentReader::UseReadingMarker(const std::string& markerPath, std::string& errorText) {
  return platform::CReadingMarker::Process().Open(markerPath, errorText);
}

CDocumentReader::SRead CDocumentReader::Read(const std::string& path, const PdfTextReader& readPdf, bool quiet) {
  SRead read;
  read.Path = path;
  read.bQuiet = quiet;
  platform::CReadingMarker& marker = platform::CReadingMarker::Process();
  const int cutReads = marker.TakeUnfinished(path);
  if (cutReads >= 2) {
    // Reading it a third time would likely stall or end the service again; a later change of
    // the file has it read as usual.
    read.bStore = true;
    read.Modified = LSearcher::GetModificationTime(path);
    read.eOutcome = Outcome::Damaged;
    read.Note = "the service's last two runs ended while reading it (hung or crashed): catalogued without its text";
    return read;
  }
  marker.Begin(path, cutReads + 1);
  ReadStamped(read, readPdf);
  marker.End();
  // A read cut short by a stop says nothing of the document: it is read at the next start.
  if (cutReads == 1 && read.eOutcome != Outcome::Abandoned) {
    const char* again = "read once more: the service's last run ended while reading it (hung or crashed)";
    read.Note = read.Note.empty() ? again : std::string(again) + "; " + read.Note;
  }
  return read;
}

void CDocumentReader::ReadStamped(SRead& read, const PdfTextReader& readPdf) {
  // The time stored is the one read before the content: a write during the read leaves a
  // later time behind, which the next pass sees.
  const platform::FileStamp before = platform::StampOf(read.Path);
  if (!before.Ok && before.Error == ENOENT) {
    read.eOutcome = Outcome::Vanished;
    return;
  }
  if (before.Ok && !before.Regular) {
    read.eOutcome = Outcome::NotADocument;
    return;
  }
  const std::int64_t readStart = platform::FileClockSeconds();
  Outcome outcome = ReadContent(read, readPdf);
  if (outcome == Outcome::Abandoned) {
    read.eOutcome = outcome;
    return;
  }
  const platform::FileStamp after = platform::StampOf(read.Path);
  // A stamp taken during the read may run ahead of the coarse clock (a precise stamp).
  const std::int64_t readEnd = platform::FileClockLatestSeconds();
  if (!after.Ok && after.Error == ENOENT) {
    read.eOutcome = Outcome::Vanished;
    return;
  }
  if (outcome == Outcome::Complete || outcome == Outcome::Damaged) {
    read.Modified = StoredTime(before, after, readStart, readEnd);
    if (read.Modified.empty()) outcome = Outcome::Retry;
  }
  // The file's identity goes with a time only: content that may not be the file's is read
  // again anyway.
  read.bIdentity = !read.Modified.empty();
  read.Identity = LFileIdentity::Of(before);
  read.bStore = true;
  read.eOutcome = outcome;
}

Outcome CDocumentReader::ReadContent(SRead& read, const PdfTextReader& readPdf) {
  if (boost::algorithm::iequals(ExtensionOf(read.Path), ".PDF")) {
    PdfText pdf = readPdf ? readPdf(read.Path) : PdfText();
    read.Text = std::move(pdf.Text);
    return OutcomeOf(pdf.Outcome);
  }
  std::string error;
  if (LXmlText::ReadFile(read.Path, read.Text, error, read.Note)) return Outcome::Complete;
  // Catalogued without text or time: the next pass reads it again.
  read.Text.clear();
  read.Note.clear();
  read.UnreadableReason = error;
  return Outcome::Retry;
}
