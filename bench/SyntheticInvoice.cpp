#include "bench/SyntheticInvoice.h"

#include <cstdio>
#include <sstream>

namespace bench {

namespace {

const char* const kSuppliers[] = {
    "Brasserie Légère SPRL",      "Van Damme Logistics NV",  "Atelier Dufresne SA",
    "Koudijs Office Supplies BV", "Meuse Valley Timber SRL", "Hollander & Peeters BVBA",
    "Nordlicht Elektro GmbH",     "Carrière du Bois SA",     "Delacroix Imprimerie SPRL",
    "Ostend Marine Services NV",  "Lambrecht Catering BV",   "Vercauteren Bouw NV",
    "Papeterie Moderne SA",       "Groenwoud Garden Care BV", "Kessler Maschinenbau AG",
    "Ardennes Fuel Distribution", "Studio Maes Architects",  "Belfort Cleaning Services",
    "Rijnland IT Consultancy BV", "Société Générale d'Outils"};
const char* const kCities[] = {"Bruxelles", "Antwerpen", "Gent", "Liège", "Namur",
                               "Leuven", "Brugge", "Mons", "Hasselt", "Charleroi"};
const char* const kStreets[] = {"Rue de la Loi", "Meir", "Korenmarkt", "Place Saint-Lambert",
                                "Rue de Fer", "Bondgenotenlaan", "Steenstraat", "Grand-Place"};
const char* const kProducts[] = {
    "Copier paper A4 80g, box of 5 reams", "Toner cartridge black TN-2420",
    "Office chair, ergonomic, grey",      "Maintenance contract, quarterly",
    "Delivery and handling",              "Consulting hours, accounting migration",
    "Diesel fuel, litres",                "Pallet of beech planks 27 mm",
    "Cleaning of premises, monthly",      "Printing of brochures, 2,000 copies",
    "Catering for staff meeting",         "Replacement of door lock cylinder",
    "Software licence, annual renewal",   "Transport Antwerpen - Liège",
    "Hydraulic pump, refurbished",        "Garden maintenance, hedge trimming"};
const int kVatRates[] = {21, 21, 21, 12, 6};

template <typename T, size_t N>
constexpr size_t Count(const T (&)[N]) {
  return N;
}

// splitmix64: the same numbers on every platform and compiler, unlike the standard distributions.
class Draw {
 public:
  explicit Draw(std::uint64_t state) : m_State(state) {}
  std::uint64_t Next() {
    std::uint64_t z = (m_State += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  int Below(int bound) { return static_cast<int>(Next() % static_cast<std::uint64_t>(bound)); }
  std::string Digits(int count) {
    std::string digits;
    for (int i = 0; i < count; ++i) digits += static_cast<char>('0' + Below(10));
    return digits;
  }

 private:
  std::uint64_t m_State;
};

std::string TwoDigits(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", value);
  return text;
}

}  // namespace

std::string FormatCents(std::int64_t cents) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%02lld", static_cast<long long>(cents / 100),
                static_cast<long long>(cents % 100));
  return text;
}

SyntheticInvoice::SyntheticInvoice(std::uint64_t seed, int number, int year, int month)
    : m_nNumber(number), m_nYear(year), m_nMonth(month) {
  Draw draw(seed * 0x100000001B3ULL + static_cast<std::uint64_t>(number));
  const int supplier = draw.Below(static_cast<int>(Count(kSuppliers)));
  Draw supplierDraw(seed + static_cast<std::uint64_t>(supplier) * 7919);  // a supplier keeps its data
  m_strSupplier = kSuppliers[supplier];
  m_strSupplierVat = "BE0" + supplierDraw.Digits(9);
  m_strSupplierStreet = std::string(kStreets[supplierDraw.Below(static_cast<int>(Count(kStreets)))]) + " " +
                        std::to_string(1 + supplierDraw.Below(180));
  m_strSupplierCity = std::to_string(1000 + supplierDraw.Below(9000)) + " " +
                      kCities[supplierDraw.Below(static_cast<int>(Count(kCities)))];
  m_strIban = "BE" + supplierDraw.Digits(14);
  m_strCustomerVat = "BE0" + Draw(seed).Digits(9);
  m_nDay = 1 + draw.Below(28);
  m_strOrderReference = "PO-" + draw.Digits(6);
  m_nVatRate = kVatRates[draw.Below(static_cast<int>(Count(kVatRates)))];
  const int lines = 5 + draw.Below(4);
  for (int i = 0; i < lines; ++i) {
    m_Lines.push_back({kProducts[draw.Below(static_cast<int>(Count(kProducts)))], 1 + draw.Below(40),
                       100 + static_cast<std::int64_t>(draw.Below(49900))});
  }
}

std::string SyntheticInvoice::FileStem() const {
  char text[32];
  std::snprintf(text, sizeof text, "INV-%04d-%06d", m_nYear, m_nNumber);
  return text;
}

std::int64_t SyntheticInvoice::NetCents() const {
  std::int64_t net = 0;
  for (const Line& line : m_Lines) net += line.Quantity * line.UnitPriceCents;
  return net;
}

std::string SyntheticInvoice::Xml() const {
  const std::string date = std::to_string(m_nYear) + "-" + TwoDigits(m_nMonth) + "-" + TwoDigits(m_nDay);
  const std::int64_t net = NetCents();
  const std::int64_t vat = net * m_nVatRate / 100;
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Invoice>\n  <Header>\n"
      << "    <DocumentType>PURCHASE</DocumentType>\n    <InvoiceNumber>" << FileStem() << "</InvoiceNumber>\n"
      << "    <InvoiceDate>" << date << "</InvoiceDate>\n    <Currency>EUR</Currency>\n"
      << "    <OrderReference>" << m_strOrderReference << "</OrderReference>\n  </Header>\n"
      << "  <Supplier>\n    <Name>" << m_strSupplier << "</Name>\n    <VATNumber>" << m_strSupplierVat
      << "</VATNumber>\n    <Street>" << m_strSupplierStreet << "</Street>\n    <City>" << m_strSupplierCity
      << "</City>\n    <Country>BE</Country>\n    <IBAN>" << m_strIban << "</IBAN>\n  </Supplier>\n"
      << "  <Customer>\n    <Name>Fennrick Demo Company</Name>\n    <VATNumber>" << m_strCustomerVat
      << "</VATNumber>\n  </Customer>\n  <Lines>\n";
  for (size_t i = 0; i < m_Lines.size(); ++i) {
    const Line& line = m_Lines[i];
    xml << "    <Line Number=\"" << i + 1 << "\">\n      <Description>" << line.Description
        << "</Description>\n      <Quantity>" << line.Quantity << "</Quantity>\n      <UnitPrice>"
        << FormatCents(line.UnitPriceCents) << "</UnitPrice>\n      <Amount>"
        << FormatCents(line.Quantity * line.UnitPriceCents) << "</Amount>\n      <VATRate>" << m_nVatRate
        << "</VATRate>\n    </Line>\n";
  }
  xml << "  </Lines>\n  <Totals>\n    <NetAmount>" << FormatCents(net) << "</NetAmount>\n    <VATAmount>"
      << FormatCents(vat) << "</VATAmount>\n    <TotalAmount>" << FormatCents(net + vat)
      << "</TotalAmount>\n  </Totals>\n  <Archive>\n    <Status>BOOKED</Status>\n"
      << "    <Ledger>Purchases " << m_nYear << "</Ledger>\n  </Archive>\n</Invoice>\n";
  return xml.str();
}

std::string SyntheticInvoice::PageHeader(int page, int pages) const {
  return m_strSupplier + "\n" + m_strSupplierStreet + ", " + m_strSupplierCity + "\nVAT " + m_strSupplierVat +
         "\n\nINVOICE " + FileStem() + "    Date " + TwoDigits(m_nDay) + "/" + TwoDigits(m_nMonth) + "/" +
         std::to_string(m_nYear) + "    Page " + std::to_string(page) + " of " + std::to_string(pages) +
         "\nCustomer: Fennrick Demo Company, VAT " + m_strCustomerVat + "\nYour order: " +
         m_strOrderReference + "\n\n";
}

std::vector<std::string> SyntheticInvoice::PdfPages(int pages) const {
  if (pages < 1) pages = 1;
  std::vector<std::string> texts;
  const size_t perPage = (m_Lines.size() + pages - 1) / pages;
  for (int page = 1; page <= pages; ++page) {
    std::string text = PageHeader(page, pages) + "Description    Qty    Unit price    Amount\n";
    for (size_t i = (page - 1) * perPage; i < m_Lines.size() && i < page * perPage; ++i) {
      const Line& line = m_Lines[i];
      text += line.Description + "    " + std::to_string(line.Quantity) + "    " +
              FormatCents(line.UnitPriceCents) + "    " + FormatCents(line.Quantity * line.UnitPriceCents) + "\n";
    }
    if (page == pages) {
      const std::int64_t net = NetCents();
      const std::int64_t vat = net * m_nVatRate / 100;
      text += "\nNet " + FormatCents(net) + " EUR    VAT " + std::to_string(m_nVatRate) + "% " +
              FormatCents(vat) + " EUR    Total " + FormatCents(net + vat) + " EUR\n";
    }
    text += "\nPayment within 30 days to IBAN " + m_strIban + ".\nPlease quote the invoice number with your " +
            kPdfOnlyWord + ".\n";
    texts.push_back(text);
  }
  return texts;
}

}  // namespace bench
