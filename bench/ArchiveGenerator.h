#pragma once

#include <cstdint>
#include <string>

namespace bench {

// Writes a synthetic archive directory of supplier invoices for the benchmark and the demo:
// XML invoices and PDF invoices in "<year>/<month>/" sub-directories, plus files the service
// must leave out (an "ORIGINALS" directory per year, ".FK$.xml" companions, ".txt" notes).
// The same options always give the same tree.
class ArchiveGenerator {
 public:
  struct Options {
    int XmlCount = 100;   // XML invoices, numbered from 1
    int PdfCount = 10;    // PDF invoices: the first PdfCount invoice numbers also get a PDF
    int PdfPages = 2;     // pages per PDF
    std::uint64_t Seed = 1;
    int FirstYear = 2023;
    int Months = 24;      // month directories the invoices are spread over
    int SkipEvery = 100;  // every SkipEvery-th XML invoice gets a companion and a note; 0: none
  };

  struct Counts {
    int XmlDocuments = 0;
    int PdfDocuments = 0;
    int PdfPages = 0;
    int SkippedFiles = 0;  // files the walks must not index
    int Directories = 0;   // directories holding documents
    std::int64_t Bytes = 0;
  };

  explicit ArchiveGenerator(const Options& options);

  // Writes the tree into archiveDirectory (created when missing). False with errorText at the
  // first file that cannot be written.
  bool Generate(const std::string& archiveDirectory, std::string& errorText);
  const Counts& GetCounts() const { return m_Counts; }

 private:
  // The month directory ("2023/07") of an invoice number.
  std::string MonthDirectory(int number, int& year, int& month) const;
  bool WriteXmlInvoice(const std::string& root, int number, std::string& errorText);
  bool WritePdfInvoice(const std::string& root, int number, std::string& errorText);
  bool WriteSkippedFiles(const std::string& root, std::string& errorText);
  bool WriteText(const std::string& path, const std::string& text, std::string& errorText);

  Options m_Options;
  Counts m_Counts;
};

}  // namespace bench
