#include "walk/ReconcilePatterns.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/regex.hpp>

namespace {

// The expressions the plain tests stand for, as the walk used them.
const boost::regex kCandidate(".(xml|pdf)$", boost::regex::icase);
const boost::regex kCompanion(".(FK\\$.xml|fk2.xml)$", boost::regex::icase);
const boost::regex kSkippedDirectory("Originals(W|$)|Catalogue_IS(W|$)", boost::regex::icase);

void ExpectSameAsRegex(const std::string& name) {
  EXPECT_EQ(ReconcilePatterns::IsCandidate(name), boost::regex_search(name, kCandidate)) << "[" << name << "]";
  EXPECT_EQ(ReconcilePatterns::IsCompanion(name), boost::regex_search(name, kCompanion)) << "[" << name << "]";
  EXPECT_EQ(ReconcilePatterns::IsSkippedDirectoryName(name), boost::regex_search(name, kSkippedDirectory))
      << "[" << name << "]";
}

// Names built from the characters that matter to the expressions, often ending in one of
// their tails with random case, and sometimes followed by a line break and more text.
std::string RandomName(std::mt19937& random) {
  static const std::string kAlphabet = std::string("xXmMlLpPdDfFkK$2.a/ _\n\r\f\xc3\xa9\xff\x80", 26) + '\0';
  static const std::vector<std::string> kTails = {"xml", ".xml", ".pdf", "fk$.xml", "fk2.xml", ".FK$.XML",
                                                  "FK2xXML", "fk$\nxml", "\xc3\xa9xml", "originals", "Originalsw",
                                                  "catalogue_is", "Catalogue_ISW", "originalw", "catalogue_i"};
  auto pick = [&random](size_t size) { return std::uniform_int_distribution<size_t>(0, size - 1)(random); };
  std::string name;
  const size_t length = pick(12);
  for (size_t i = 0; i < length; ++i) name += kAlphabet[pick(kAlphabet.size())];
  if (pick(3) != 0) {
    std::string tail = kTails[pick(kTails.size())];
    for (char& c : tail) {
      if (pick(2) == 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    name += tail;
  }
  if (pick(4) == 0) name += std::string("\n\r\f").substr(pick(3), pick(3));
  if (pick(6) == 0) name += kAlphabet.substr(pick(kAlphabet.size()), pick(5));
  return name;
}

TEST(ReconcilePatternsTest, PlainTestsGiveWhatTheExpressionsGiveForOddNames) {
  const std::vector<std::string> odd = {
      "", "xml", ".xml", "a.xml", "a.XmL", "fooxml", "foo.xm", "a.pdf", "a.PDF", "apdf", "a.pdfx", "b.fk$.xml",
      "bfk$Axml", "x.fk2.xml", "x.FK2.XML", "xfk2.xml", "fk2.xml", "/dir.xml/file", "/dir.xml/file.txt",
      "a.xml\n", "a.xml\nb", "a.xml\r\n", "a.xml\rb", "a.xml\fb", "a.xm\nl", "\nxml", "a\r\nxml", "a.fk$.xml\nz",
      "a.fk$.xml\r\nz", "\xc3\xa9xml", "\xc3\xa9.xml", "a.\xc3\xa9xml", "x.fk$\xc3\xa9xml", "a.XML\xe2\x80\xa8",
      "a.xml\x85", std::string("a.xml\0b", 7), std::string("a\0xml", 5), "/archive/2024/INV-001.xml",
      "/archive/2024/INV-001.FK$.xml", "/archive/2024/INV-001.fk2.xml", "/archive/2024/INV-001.pdf.bak",
      "Originals", "ORIGINALS", "originals.2025", "OriginalsWork", "Originalswork", "xOriginals", "Original",
      "Catalogue_IS", "catalogue_isw", "Catalogue_IS.old", "Originals\n", "Originals\r\nx", "Catalogue_IS\fy",
      "Origi\nnals"};
  for (const std::string& name : odd) ExpectSameAsRegex(name);

  std::mt19937 random(20240611);
  int candidates = 0;
  int companions = 0;
  int skipped = 0;
  for (int i = 0; i < 200000; ++i) {
    const std::string name = RandomName(random);
    ExpectSameAsRegex(name);
    candidates += ReconcilePatterns::IsCandidate(name) ? 1 : 0;
    companions += ReconcilePatterns::IsCompanion(name) ? 1 : 0;
    skipped += ReconcilePatterns::IsSkippedDirectoryName(name) ? 1 : 0;
    if (HasFailure()) break;
  }
  // Both answers come up often, so the comparison covered matches and misses alike.
  EXPECT_GT(candidates, 20000);
  EXPECT_GT(companions, 2000);
  EXPECT_GT(skipped, 5000);
  EXPECT_LT(candidates, 180000);
}

}  // namespace
