#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "catalogue/LIndexer.h"
#include "catalogue/LSearcher.h"
#include "platform/CChildProcess.h"
#include "testsupport/CatalogueScratch.h"

namespace fs = boost::filesystem;

namespace {

class FkCatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Paths = {m_Scratch.WriteInvoice("2024/a \"quoted\".xml", "Acme flour"),
               m_Scratch.WriteInvoice("2024/b.xml", "Bakery flour flour"),
               m_Scratch.WriteInvoice("c\t\xE9\xC3\xA9.xml", "Cheese")};
    // The catalogue stays open for writing, as the service keeps it.
    ASSERT_TRUE(m_Scratch.IndexAll(m_Paths));
  }

  int Run(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {FK_CATALOGUE_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return platform::CChildProcess::Run(argv, m_Out, m_Err);
  }

  testsupport::CatalogueScratch m_Scratch;
  const std::string& m_Catalogue = m_Scratch.Catalogue();
  const std::string& m_Docs = m_Scratch.Docs();
  std::vector<std::string> m_Paths;
  std::string m_Out;
  std::string m_Err;
};

TEST_F(FkCatalogueTest, CountsListsAndFindsDocuments) {
  EXPECT_EQ(Run({"count", m_Catalogue}), 0);
  EXPECT_EQ(m_Out, "3\n");
  EXPECT_EQ(Run({"count", m_Catalogue, m_Docs + "2024/", "--json"}), 0);
  EXPECT_EQ(m_Out, "{\"count\": 2}\n");
  EXPECT_EQ(Run({"list", m_Catalogue, m_Docs + "2024/"}), 0);
  EXPECT_EQ(m_Out, m_Paths[0] + "\t" + LSearcher::GetModificationTime(m_Paths[0]) + "\n" + m_Paths[1] + "\t" +
                       LSearcher::GetModificationTime(m_Paths[1]) + "\n");
  EXPECT_EQ(Run({"exists", m_Catalogue, m_Paths[1]}), 0);
  EXPECT_EQ(Run({"exists", m_Catalogue, m_Docs + "2024/B.xml"}), 1);
  EXPECT_EQ(Run({"search", m_Catalogue, "flour"}), 0);
  EXPECT_EQ(m_Out.substr(0, m_Paths[1].size() + 1), m_Paths[1] + "\t");  // best first
  EXPECT_NE(m_Out.find("[flour]"), std::string::npos);
  EXPECT_EQ(Run({"search", m_Catalogue, "no-such-word"}), 0);
  EXPECT_EQ(m_Out, "");
}

TEST_F(FkCatalogueTest, JsonEscapesStringsOfOddPaths) {
  EXPECT_EQ(Run({"list", m_Catalogue, "--json"}), 0);
  EXPECT_NE(m_Out.find("\"count\": 3"), std::string::npos);
  EXPECT_NE(m_Out.find("a \\\"quoted\\\".xml"), std::string::npos);
  // The tab escaped; the lone byte \xE9 (not UTF-8) as \udce9, the real "\xC3\xA9" as it is.
  EXPECT_NE(m_Out.find("c\\u0009\\udce9\xC3\xA9.xml"), std::string::npos) << m_Out;
  EXPECT_EQ(Run({"search", "--json", m_Catalogue, "cheese"}), 0);
  EXPECT_NE(m_Out.find("\"snippet\": \"[Cheese]\""), std::string::npos);
  EXPECT_EQ(Run({"exists", m_Catalogue, m_Paths[0], "--json"}), 0);
  EXPECT_NE(m_Out.find("\"exists\": true"), std::string::npos);
}

TEST_F(FkCatalogueTest, BadUsageAndMissingOrDamagedCataloguesExitWithTwo) {
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_NE(m_Out.find("Usage"), std::string::npos);
  EXPECT_EQ(Run({}), 2);
  EXPECT_EQ(Run({"frobnicate", m_Catalogue}), 2);
  EXPECT_EQ(Run({"exists", m_Catalogue}), 2);
  EXPECT_EQ(Run({"count", m_Catalogue, "--colour"}), 2);
  EXPECT_NE(m_Err.find("--colour"), std::string::npos);
  const std::string nowhere = m_Scratch.Scratch().File("nowhere");
  EXPECT_EQ(Run({"count", nowhere}), 2);
  EXPECT_NE(m_Err.find("no catalogue"), std::string::npos);
  EXPECT_FALSE(fs::exists(nowhere));

  LIndexer::CloseCatalogue(m_Catalogue);
  for (fs::directory_iterator it(m_Catalogue), end; it != end; ++it) fs::remove(it->path());
  m_Scratch.Scratch().Write("catalogue/catalogue.sqlite", std::string(4096, 'x'));
  for (const char* command : {"count", "list"}) {
    EXPECT_EQ(Run({command, m_Catalogue}), 2) << command;
    EXPECT_NE(m_Err.find("damaged"), std::string::npos) << m_Err;
  }
  EXPECT_EQ(Run({"search", m_Catalogue, "flour"}), 2);
  EXPECT_EQ(Run({"exists", m_Catalogue, m_Paths[0]}), 2);
}

}  // namespace
