#include "engine/CIndexingEngine.h"

#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/LConnectionRegistry.h"
#include "catalogue/LDatabase.h"
#include "catalogue/LIndexer.h"
#include "platform/CFileSystemType.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/PdfMaker.h"
#include "testsupport/ScopedEnvironment.h"
#include "testsupport/ScratchErrorLog.h"

namespace fs = boost::filesystem;

namespace {

// What a pass does with documents it could not read in full, and with a catalogue it could
// not write: nothing may be left out for good, and nothing fails in silence.
class RetryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Environment.Set("FK_PDFTEXT_PLUGIN", FK_PDFTEXT_PLUGIN_PATH);
    m_Environment.Set("FK_PDFTEXT_HELPER", FK_PDFTEXT_HELPER_PATH);
    m_Environment.Set("FK_PDFTEXT_DEADLINE_MS", "300");
    m_Environment.Unset("FK_PDFTEXT_MEMORY_MB");
    m_Environment.Unset("FK_PDFTEXT_HELPER_FAULT");
  }
  void TearDown() override {
    LConnectionRegistry::SetCommitRetries(LConnectionRegistry::kCommitAttempts, LConnectionRegistry::kCommitRetryPauseMs);
    LDatabase::SetBusyTimeoutForTests(0);
    platform::CFileSystemType::OverrideForTests(-1);
  }

  std::string WritePdf(const std::string& relative, const std::string& word) {
    const std::string path = m_Bed.Scratch().File(relative);
    fs::create_directories(fs::path(path).parent_path());
    EXPECT_TRUE(testsupport::MakePdf(path, {"Invoice " + word}));
    testsupport::EngineTestBed::SetModificationTime(path, std::time(nullptr) - 60);
    return path;
  }
  std::map<std::string, std::string> Documents(const FK::CFolder& folder) {
    return testsupport::EngineTestBed::Documents(m_Bed.Engine().GetCataloguePath(folder));
  }
  std::vector<std::string> Find(const FK::CFolder& folder, const std::string& word) {
    return testsupport::CatalogueScratch::FindIn(m_Bed.Engine().GetCataloguePath(folder), word);
  }
  int Records121(const std::string& path) const {
    std::ifstream log(m_ErrorLog.Path(), std::ios::binary);
    int count = 0;
    for (std::string line; std::getline(log, line);) {
      if (line.find("Error n\xB0: 121,") != std::string::npos && line.find(", " + path + "\t,line") != std::string::npos) {
        ++count;
      }
    }
    return count;
  }

  int CountPrefix(const std::string& prefix) {
    int count = 0;
    for (const std::string& text : m_Bed.Listener().Texts(0)) count += text.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
  }

  testsupport::ScopedEnvironment m_Environment;
  testsupport::ScratchErrorLog m_ErrorLog;
  testsupport::EngineTestBed m_Bed;
};

TEST_F(RetryTest, APdfThatRunsIntoTheDeadlineIsRetriedAtGrowingIntervalsAndReportedOnce) {
  m_Bed.Parameters().IsDebugAction = 1;
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::string slow = WritePdf("A/slow.pdf", "Slowword");
  const std::string damaged = m_Bed.Scratch().File("A/damaged.pdf");
  ASSERT_TRUE(testsupport::MakeGarbageFile(damaged, 5000));
  testsupport::EngineTestBed::SetModificationTime(damaged, std::time(nullptr) - 60);
  m_Environment.Set("FK_PDFTEXT_HELPER_FAULT", "spin:" + slow);
  const std::int64_t start = 1700000000;
  m_Bed.SetNow(start);
  EXPECT_EQ(m_Bed.Walk(folder, true), 2);
  auto documents = Documents(folder);
  EXPECT_EQ(documents[slow], "") << "taken again later";
  EXPECT_NE(documents[damaged], "") << "a damaged PDF keeps its time: not retried until it changes";
  EXPECT_EQ(Records121(slow), 1);

  const auto tried = [&] { return m_Bed.Listener().Count(5, "index file " + slow); };
  const auto passAt = [&](std::int64_t seconds) {
    m_Bed.SetNow(start + seconds);
    m_Bed.Walk(folder, false);
  };
  m_Bed.Listener().Clear();
  passAt(30);
  EXPECT_EQ(tried(), 0) << "not due yet";
  EXPECT_EQ(m_Bed.Listener().Count(5, "index file " + damaged), 0);
  passAt(61);
  EXPECT_EQ(tried(), 1) << "due after the first interval";
  passAt(61 + 100);
  EXPECT_EQ(tried(), 1) << "the interval has doubled";
  passAt(61 + 121);
  EXPECT_EQ(tried(), 2);
  EXPECT_EQ(Records121(slow), 1) << "said once in the error log";

  // A document that changes is taken at once, and read in full it leaves the retries.
  m_Environment.Unset("FK_PDFTEXT_HELPER_FAULT");
  m_Bed.EndEngine();  // the helper keeps its environment: a new engine starts a new one
  ASSERT_TRUE(testsupport::MakePdf(slow, {"Invoice Slowword fixed"}));
  testsupport::EngineTestBed::SetModificationTime(slow, std::time(nullptr) - 30);
  passAt(61 + 130);
  EXPECT_EQ(Find(folder, "Slowword"), std::vector<std::string>{slow});
  EXPECT_NE(Documents(folder)[slow], "");
}

TEST_F(RetryTest, WithoutThePlugInPdfsAreStoredForTheNextStart) {
  m_Environment.Set("FK_PDFTEXT_PLUGIN", m_Bed.Scratch().File("libmissing.so"));
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::string pdf = WritePdf("A/p.pdf", "Plugword");
  m_Bed.SetNow(1900000000);
  EXPECT_EQ(m_Bed.Walk(folder, true), 1);
  EXPECT_EQ(Documents(folder)[pdf], "");
  m_Bed.SetNow(1900000100);
  EXPECT_EQ(m_Bed.Walk(folder, false), 0) << "not read again while the plug-in is missing";
  m_Environment.Set("FK_PDFTEXT_PLUGIN", FK_PDFTEXT_PLUGIN_PATH);
  m_Bed.EndEngine();
  m_Bed.SetNow(1900000200);
  EXPECT_EQ(m_Bed.Walk(folder, false), 1) << "the next start takes it again, wherever it stands in its level";
  EXPECT_EQ(Find(folder, "Plugword"), std::vector<std::string>{pdf});
}

TEST_F(RetryTest, AFileWrittenInTheSecondOfItsReadIsStoredWithAnEmptyTimeAndReadAgain) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::string path = m_Bed.Scratch().File("A/fresh.xml");
  // The walk must fall in the second of the write: tried again when a second boundary came between.
  std::string stored = "unset";
  for (int attempt = 0; attempt < 5 && !stored.empty(); ++attempt) {
    const std::time_t before = std::time(nullptr);
    m_Bed.Scratch().Write("A/fresh.xml", "<Invoice><Supplier>Partial</Supplier></Invoice>");
    m_Bed.Walk(folder, true);
    stored = Documents(folder)[path];
    if (std::time(nullptr) != before) stored = "unset";
  }
  ASSERT_EQ(stored, "");
  // The rest of the document arrives in the same second; the next pass reads it again.
  m_Bed.Scratch().Write("A/fresh.xml", "<Invoice><Supplier>Partial</Supplier><Total>Wholeword</Total></Invoice>");
  testsupport::EngineTestBed::SetModificationTime(path, std::time(nullptr) - 60);
  m_Bed.SetNow(std::time(nullptr) + 100);
  EXPECT_EQ(m_Bed.Walk(folder, false), 1);
  EXPECT_EQ(Find(folder, "Wholeword"), std::vector<std::string>{path});
  EXPECT_NE(Documents(folder)[path], "");
}

TEST_F(RetryTest, ACatalogueThatCannotBeWrittenIsReportedAndItsFolderTakenAgainAfterAReload) {
  m_Bed.Parameters().DisableMonitoring = 0;  // monitoring: a folder is only taken again when its pass failed
  CIndexingEngine& engine = m_Bed.Engine();
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::string invoice = m_Bed.WriteInvoice("A/a.xml", "Word");
  const std::string catalogue = engine.GetCataloguePath(folder);
  fs::create_directories(catalogue + "/catalogue.sqlite");  // a directory where the database belongs
  engine.ApplyFolderList(m_Bed.Table({folder}), nullptr);
  engine.IndexAllFolders(nullptr);
  const std::string prefix = ":error: Catalogue " + catalogue + " cannot be written: ";
  ASSERT_EQ(CountPrefix(prefix), 1) << testing::PrintToString(m_Bed.Listener().Texts(0));
  EXPECT_EQ(m_Bed.Listener().Count(0, "starting monitoring for folder Folder A"), 1);
  EXPECT_EQ(engine.GetFolderList()->GetFolder("A").GetMonitoringStarted(), 0);

  // A reload of an unchanged folder list keeps the failed state: the folder is taken again.
  engine.ApplyFolderList(m_Bed.Table({folder}), nullptr);
  EXPECT_EQ(engine.GetFolderList()->GetFolder("A").GetMonitoringStarted(), 0);
  engine.IndexAllFolders(nullptr);
  EXPECT_EQ(CountPrefix(prefix), 2);

  fs::remove(catalogue + "/catalogue.sqlite");
  engine.ApplyFolderList(m_Bed.Table({folder}), nullptr);
  engine.IndexAllFolders(nullptr);
  EXPECT_EQ(CountPrefix(prefix), 2);
  EXPECT_EQ(Documents(folder).count(invoice), 1u);
  EXPECT_EQ(engine.GetFolderList()->GetFolder("A").GetMonitoringStarted(), 1);
}

// A reader that holds a rollback journal's lock longer than every retry: the commit fails, is
// reported, and its documents come back at the next pass.
TEST_F(RetryTest, ABusyCommitIsRetriedAndOneThatStillFailsIsReportedAndTakenAgain) {
  platform::CFileSystemType::OverrideForTests(1);  // a network share: rollback journal
  LDatabase::SetBusyTimeoutForTests(50);
  LConnectionRegistry::SetCommitRetries(3, 100);
  CIndexingEngine& engine = m_Bed.Engine();
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::string first = m_Bed.WriteInvoice("A/first.xml", "First");
  m_Bed.SetNow(std::time(nullptr) + 100);
  EXPECT_EQ(m_Bed.Walk(folder, true), 1);
  const std::string catalogue = engine.GetCataloguePath(folder);
  ASSERT_EQ(testsupport::CatalogueScratch::Pragma(catalogue, "journal_mode"), "delete");

  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open_v2(LDatabase::FilePath(catalogue).c_str(), &reader, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  const auto holdReadLock = [&] {
    ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM documents;", nullptr, nullptr, nullptr), SQLITE_OK);
  };
  holdReadLock();
  const std::string second = m_Bed.WriteInvoice("A/second.xml", "Second");
  engine.ProcessFolder(const_cast<FK::CFolder&>(folder), 1, nullptr);
  const std::string prefix = ":error: Catalogue " + catalogue + " cannot be written: ";
  EXPECT_EQ(CountPrefix(prefix), 1) << testing::PrintToString(m_Bed.Listener().Texts(0));
  sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
  EXPECT_EQ(Documents(folder).count(second), 0u) << "rolled back, not counted as catalogued";

  // A reader that lets go during the retries: the commit goes through.
  holdReadLock();
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
  });
  engine.ProcessFolder(const_cast<FK::CFolder&>(folder), 1, nullptr);
  release.join();
  EXPECT_EQ(CountPrefix(prefix), 1) << testing::PrintToString(m_Bed.Listener().Texts(0));
  EXPECT_EQ(Documents(folder).count(second), 1u) << "taken again at the next pass";
  EXPECT_EQ(Documents(folder).count(first), 1u);
  EXPECT_EQ(m_Bed.Listener().Count(0, ":sub: Catalogue " + catalogue +
                                          " lies on a network file system: it is written with a rollback journal"),
            1) << "noted once";
  sqlite3_close(reader);
}

}  // namespace
