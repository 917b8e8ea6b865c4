#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// One made-up supplier invoice, drawn from (seed, number) alone, so that any invoice of an
// archive can be made again without the others; the archive decides its year and month. Gives its XML metadata (about 2 KB) and
// the texts of the pages of its PDF.
class SyntheticInvoice {
 public:
  // A word that only the PDF pages carry (their payment terms), never the XML metadata.
  static constexpr const char* kPdfOnlyWord = "remittance";

  SyntheticInvoice(std::uint64_t seed, int number, int year, int month);

  // "INV-2023-000042": the base of the document's file names.
  std::string FileStem() const;
  // The invoice as the suite's XML metadata file.
  std::string Xml() const;
  // One text per page; the lines of the invoice are spread over the pages. No line is longer
  // than 80 characters, so every word stays inside the page.
  std::vector<std::string> PdfPages(int pages) const;

  struct Line {
    std::string Description;
    int Quantity = 0;
    std::int64_t UnitPriceCents = 0;
  };

 private:
  std::int64_t NetCents() const;
  std::string PageHeader(int page, int pages) const;

  int m_nNumber;
  int m_nYear;
  int m_nMonth;
  int m_nDay;
  std::string m_strSupplier;
  std::string m_strSupplierVat;
  std::string m_strSupplierStreet;
  std::string m_strSupplierCity;
  std::string m_strCustomerVat;
  std::string m_strIban;
  std::string m_strOrderReference;
  int m_nVatRate;
  std::vector<Line> m_Lines;
};

// Amount in cents as "1234.56".
std::string FormatCents(std::int64_t cents);

}  // namespace bench
