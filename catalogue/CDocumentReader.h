#pragma once

#include <string>

#include "catalogue/LFileIdentity.h"
#include "catalogue/PdfTextReader.h"

// Reads one document for its catalogue with no writer and no lock of the catalogue held: the
// file's stamp before and after, its XML or PDF text and the process's reading marker. What it
// read is a plain record that the catalogue's writer holder stores (CCatalogueIndexer::
// StoreDocument). Any thread; nothing is kept between reads.
class CDocumentReader {
 public:
  // How reading and storing a document went.
  enum class Outcome {
    Complete,       // stored with its text and the modification time read before it
    Damaged,        // a PDF that cannot be read as it is: stored with empty text and its time
    Retry,          // content not read in full (refused, changed while read, written in the
                    // very second of the read): stored with time "", taken again next pass
    RetryLater,     // the PDF helper's deadline, crash or memory cap: stored with time "",
                    // to be taken again after a growing interval
    RetryAtRestart, // no PDF plug-in: stored with time "" and empty text
    Vanished,       // the file is gone: nothing stored
    NotADocument,   // no regular file any more (a FIFO, a link...): nothing stored
    Abandoned,      // the PDF read was cut short by a stop: nothing stored, the entry stays
                    // as it was for the next start
    WriteFailed     // the catalogue could not be written (set by the store step)
  };

  // What one read found: the entry to store (when bStore) and what to say of the document.
  struct SRead {
    std::string Path;
    bool bStore = false;
    std::string Text;
    std::string Modified;  // the time read before the content; "": taken again later
    bool bIdentity = false;  // Identity goes with a time only
    LFileIdentity Identity;
    Outcome eOutcome = Outcome::WriteFailed;
    // Why no or only part of the text is kept, for the activity log ("": it went normally);
    // the store step adds what the catalogue cut.
    std::string Note;
    std::string UnreadableReason;  // why an XML document could not be read
    bool bQuiet = false;  // a retry of a document already reported: no error record
  };

  // A ".xml" or ".pdf" file (any case) that is no ".FK$" companion (FK::CFolderLayout's rule).
  static bool IsIndexableDocument(const std::string& name);
  // Opens the process's reading marker, which names each document while it is read. A
  // document a former run was reading when it hung or crashed is read once more; one that
  // two runs in a row ended in is catalogued without its text. False (and why) when the
  // marker file cannot be used; documents are read all the same.
  static bool UseReadingMarker(const std::string& markerPath, std::string& errorText);
  // Reads the document; a PDF's text comes from readPdf (empty: no PDF plug-in).
  static SRead Read(const std::string& path, const PdfTextReader& readPdf, bool quiet);

 private:
  // Stamps the file before and after its content is read; the time kept is the one before.
  static void ReadStamped(SRead& read, const PdfTextReader& readPdf);
  static Outcome ReadContent(SRead& read, const PdfTextReader& readPdf);
};
