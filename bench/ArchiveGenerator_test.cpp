#include "bench/ArchiveGenerator.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "bench/SyntheticInvoice.h"
#include "catalogue/CDocumentReader.h"
#include "testsupport/ScratchDir.h"

namespace fs = boost::filesystem;

namespace {

struct TreeCounts {
  int Documents = 0;  // what the walks index
  int Skipped = 0;    // everything else, ORIGINALS included
  int PdfOnlyWordInXml = 0;
};

TreeCounts CountTree(const std::string& root) {
  TreeCounts counts;
  for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
    if (!fs::is_regular_file(it->status())) continue;
    const std::string path = it->path().string();
    const bool underOriginals = path.find("/ORIGINALS/") != std::string::npos;
    if (!underOriginals && CDocumentReader::IsIndexableDocument(it->path().filename().string())) {
      ++counts.Documents;
    } else {
      ++counts.Skipped;
    }
    if (it->path().extension() == ".xml") {
      std::ifstream file(path);
      const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      if (text.find(bench::SyntheticInvoice::kPdfOnlyWord) != std::string::npos) ++counts.PdfOnlyWordInXml;
    }
  }
  return counts;
}

}  // namespace

TEST(ArchiveGeneratorTest, TreeHoldsTheCountedDocumentsAndFilesToSkip) {
  testsupport::ScratchDir scratch;
  bench::ArchiveGenerator::Options options;
  options.XmlCount = 250;
  options.PdfCount = 12;
  options.PdfPages = 3;
  options.Months = 14;
  options.SkipEvery = 50;
  bench::ArchiveGenerator generator(options);
  std::string error;
  ASSERT_TRUE(generator.Generate(scratch.File("archive"), error)) << error;

  const bench::ArchiveGenerator::Counts& counts = generator.GetCounts();
  EXPECT_EQ(250, counts.XmlDocuments);
  EXPECT_EQ(12, counts.PdfDocuments);
  EXPECT_EQ(36, counts.PdfPages);
  EXPECT_EQ(14, counts.Directories);
  // 5 invoices with a companion and a note, 2 years with an ORIGINALS copy (XML and PDF).
  EXPECT_EQ(5 * 2 + 2 * 2, counts.SkippedFiles);

  const TreeCounts onDisk = CountTree(scratch.File("archive"));
  EXPECT_EQ(262, onDisk.Documents);
  EXPECT_EQ(counts.SkippedFiles, onDisk.Skipped);
  EXPECT_EQ(0, onDisk.PdfOnlyWordInXml);
  EXPECT_TRUE(fs::is_directory(scratch.File("archive/2024/ORIGINALS")));
  EXPECT_TRUE(fs::exists(scratch.File("archive/2023/03/INV-2023-000050.FK$.xml")));
}

TEST(ArchiveGeneratorTest, SameSeedGivesTheSameInvoicesOfAboutTwoKilobytes) {
  const bench::SyntheticInvoice first(7, 42, 2023, 3);
  const bench::SyntheticInvoice again(7, 42, 2023, 3);
  const bench::SyntheticInvoice otherSeed(8, 42, 2023, 3);
  EXPECT_EQ(first.Xml(), again.Xml());
  EXPECT_NE(first.Xml(), otherSeed.Xml());
  EXPECT_EQ("INV-2023-000042", first.FileStem());

  size_t total = 0;
  for (int number = 1; number <= 200; ++number) total += bench::SyntheticInvoice(1, number, 2023, 1).Xml().size();
  EXPECT_GT(total / 200, 1700u);
  EXPECT_LT(total / 200, 2600u);

  const std::vector<std::string> pages = first.PdfPages(3);
  ASSERT_EQ(3u, pages.size());
  for (const std::string& page : pages) {
    EXPECT_NE(std::string::npos, page.find("INV-2023-000042"));
    EXPECT_NE(std::string::npos, page.find(bench::SyntheticInvoice::kPdfOnlyWord));
  }
  for (int number = 1; number <= 100; ++number) {
    for (const std::string& page : bench::SyntheticInvoice(1, number, 2023, 1).PdfPages(2)) {
      std::istringstream lines(page);
      for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
    }
  }
}
