#include "bench/ArchiveGenerator.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>

#include <boost/filesystem.hpp>

#include "bench/PdfWriter.h"
#include "bench/SyntheticInvoice.h"
#include "platform/FileOps.h"

namespace fs = boost::filesystem;

namespace bench {

ArchiveGenerator::ArchiveGenerator(const Options& options) : m_Options(options) {
  m_Options.XmlCount = std::max(0, m_Options.XmlCount);
  m_Options.PdfCount = std::max(0, m_Options.PdfCount);
  m_Options.PdfPages = std::max(1, m_Options.PdfPages);
  m_Options.Months = std::max(1, m_Options.Months);
}

std::string ArchiveGenerator::MonthDirectory(int number, int& year, int& month) const {
  const int invoices = std::max(m_Options.XmlCount, m_Options.PdfCount);
  const int monthIndex = static_cast<int>(static_cast<long long>(number - 1) * m_Options.Months / invoices);
  year = m_Options.FirstYear + monthIndex / 12;
  month = 1 + monthIndex % 12;
  char text[16];
  std::snprintf(text, sizeof text, "%04d/%02d", year, month);
  return text;
}

bool ArchiveGenerator::Generate(const std::string& archiveDirectory, std::string& errorText) {
  m_Counts = Counts();
  const std::string root = platform::WithoutTrailingSlash(archiveDirectory);
  std::set<std::string> directories;
  const int invoices = std::max(m_Options.XmlCount, m_Options.PdfCount);
  for (int number = 1; number <= invoices; ++number) {
    int year = 0;
    int month = 0;
    const std::string directory = root + "/" + MonthDirectory(number, year, month);
    if (directories.insert(directory).second) {
      boost::system::error_code ec;
      fs::create_directories(directory, ec);
      if (ec) {
        errorText = "cannot create " + directory + ": " + ec.message();
        return false;
      }
    }
    if (number <= m_Options.XmlCount && !WriteXmlInvoice(root, number, errorText)) return false;
    if (number <= m_Options.PdfCount && !WritePdfInvoice(root, number, errorText)) return false;
  }
  m_Counts.Directories = static_cast<int>(directories.size());
  return WriteSkippedFiles(root, errorText);
}

bool ArchiveGenerator::WriteXmlInvoice(const std::string& root, int number, std::string& errorText) {
  int year = 0;
  int month = 0;
  const std::string directory = root + "/" + MonthDirectory(number, year, month) + "/";
  const SyntheticInvoice invoice(m_Options.Seed, number, year, month);
  const std::string xml = invoice.Xml();
  if (!WriteText(directory + invoice.FileStem() + ".xml", xml, errorText)) return false;
  ++m_Counts.XmlDocuments;
  if (m_Options.SkipEvery <= 0 || number % m_Options.SkipEvery != 0) return true;
  // The suite's companion of a document, and an operator's note: neither is a document.
  if (!WriteText(directory + invoice.FileStem() + ".FK$.xml", "<Companion>" + invoice.FileStem() + "</Companion>\n",
                 errorText) ||
      !WriteText(directory + invoice.FileStem() + ".txt", "Checked against delivery note.\n", errorText)) {
    return false;
  }
  m_Counts.SkippedFiles += 2;
  return true;
}

bool ArchiveGenerator::WritePdfInvoice(const std::string& root, int number, std::string& errorText) {
  int year = 0;
  int month = 0;
  const std::string directory = root + "/" + MonthDirectory(number, year, month) + "/";
  const SyntheticInvoice invoice(m_Options.Seed, number, year, month);
  const std::string path = directory + invoice.FileStem() + ".pdf";
  if (!bench::WritePdf(path, invoice.PdfPages(m_Options.PdfPages))) {
    errorText = "cannot write " + path;
    return false;
  }
  boost::system::error_code ec;
  m_Counts.Bytes += static_cast<std::int64_t>(fs::file_size(path, ec));
  ++m_Counts.PdfDocuments;
  m_Counts.PdfPages += m_Options.PdfPages;
  return true;
}

// Each year directory gets an "ORIGINALS" directory holding the scans as they arrived: the
// walks must not enter it, so its documents never reach a catalogue.
bool ArchiveGenerator::WriteSkippedFiles(const std::string& root, std::string& errorText) {
  if (m_Options.SkipEvery <= 0) return true;
  const int invoices = std::max(m_Options.XmlCount, m_Options.PdfCount);
  int lastYear = 0;
  for (int number = 1; number <= invoices; ++number) {
    int year = 0;
    int month = 0;
    MonthDirectory(number, year, month);
    if (year == lastYear) continue;
    lastYear = year;
    const SyntheticInvoice invoice(m_Options.Seed, number, year, month);
    const std::string originals = root + "/" + std::to_string(year) + "/ORIGINALS/";
    boost::system::error_code ec;
    fs::create_directories(originals, ec);
    if (!WriteText(originals + invoice.FileStem() + ".xml", invoice.Xml(), errorText)) return false;
    if (!bench::WritePdf(originals + invoice.FileStem() + ".pdf", invoice.PdfPages(1))) {
      errorText = "cannot write " + originals + invoice.FileStem() + ".pdf";
      return false;
    }
    m_Counts.SkippedFiles += 2;
  }
  return true;
}

bool ArchiveGenerator::WriteText(const std::string& path, const std::string& text, std::string& errorText) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (!file) {
    errorText = "cannot write " + path;
    return false;
  }
  m_Counts.Bytes += static_cast<std::int64_t>(text.size());
  return true;
}

}  // namespace bench
