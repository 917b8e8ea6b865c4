#include "monitoring/CChangeFlusher.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/LIndexer.h"
#include "monitoring/MonitorListener.h"
#include "platform/CNamedFileLock.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/FlusherTestBed.h"
#include "testsupport/Polling.h"

namespace fs = boost::filesystem;

namespace {

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// How one queued change reaches the catalogue: settled, in order, read as it is on disk.
class ChangeQueueTest : public ::testing::Test {
 protected:
  testsupport::FlusherTestBed m_Bed;
};

TEST_F(ChangeQueueTest, ADocumentIsIndexedNoSoonerThanItsSettlingDelay) {
  m_Bed.Settings().nXmlSettleMilliseconds = 400;
  m_Bed.Settings().nOtherSettleMilliseconds = 900;
  const std::string xml = m_Bed.WriteXml("2024/a.xml", "Settled");
  const std::string pdf = m_Bed.WritePdf("2024/b.pdf", "Patient");
  const std::int64_t queued = SteadyMs();
  FileChange xmlChange = m_Bed.Change(xml, kActionAdded);
  FileChange pdfChange = m_Bed.Change(pdf, kActionAdded);
  xmlChange.nQueuedAt = pdfChange.nQueuedAt = queued;
  m_Bed.Flusher().EnqueueChange(xmlChange, true);
  m_Bed.Flusher().EnqueueChange(pdfChange, true);
  std::int64_t xmlSeen = 0;
  std::int64_t pdfSeen = 0;
  ASSERT_TRUE(testsupport::PollUntil(
      [&] {
        if (xmlSeen == 0 && m_Bed.Find("Settled") == std::vector<std::string>{xml}) xmlSeen = SteadyMs();
        if (pdfSeen == 0 && m_Bed.Find("Patient") == std::vector<std::string>{pdf}) pdfSeen = SteadyMs();
        return xmlSeen != 0 && pdfSeen != 0;
      },
      60000));
  EXPECT_GE(xmlSeen - queued, 400);
  EXPECT_GE(pdfSeen - queued, 900);
}

TEST_F(ChangeQueueTest, ModifyingADocumentReplacesItsEntry) {
  const std::string path = m_Bed.WriteXml("2024/a.xml", "Alpha");
  m_Bed.Enqueue(path, kActionAdded);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(m_Bed.Find("Alpha"), std::vector<std::string>{path});

  m_Bed.WriteXml("2024/a.xml", "Bravo");
  m_Bed.Enqueue(path, kActionModified);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(m_Bed.Find("Bravo"), std::vector<std::string>{path});
  EXPECT_TRUE(m_Bed.Find("Alpha").empty());
  EXPECT_EQ(m_Bed.Scratch().Count(), 1);
}

TEST_F(ChangeQueueTest, ARenamedPdfIsRemovedUnderItsOldNameBeforeItIsFoundByItsTextUnderTheNewOne) {
  const std::string before = m_Bed.WritePdf("2024/old.pdf", "Zebracorn");
  m_Bed.Enqueue(before, kActionAdded);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  ASSERT_EQ(m_Bed.Find("Zebracorn"), std::vector<std::string>{before});

  const std::string after = m_Bed.Scratch().Docs() + "2024/new.pdf";
  fs::rename(before, after);
  m_Bed.Enqueue(before, kActionRenamedOld);
  m_Bed.Enqueue(after, kActionRenamedNew);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(m_Bed.Find("Zebracorn"), std::vector<std::string>{after});
  EXPECT_EQ(m_Bed.Documents(), std::vector<std::string>{after});
  const auto messages = m_Bed.Listener().Messages();
  size_t removed = messages.size();
  size_t indexed = messages.size();
  for (size_t i = 0; i < messages.size(); ++i) {
    if (messages[i] == std::make_pair(int{kMessageRemoveDocument}, "remove file (rename old) " + before)) removed = i;
    if (messages[i] == std::make_pair(int{kMessageIndexDocument}, "index file (rename new) " + after)) indexed = i;
  }
  ASSERT_LT(indexed, messages.size());
  EXPECT_LT(removed, indexed);
}

TEST_F(ChangeQueueTest, AFileGoneBeforeItsTurnOnlyLosesItsOldEntry) {
  const std::string kept = m_Bed.WriteXml("2024/kept.xml", "Kept");
  const std::string gone = m_Bed.WriteXml("2024/gone.xml", "Gone");
  m_Bed.Enqueue(kept, kActionAdded);
  m_Bed.Enqueue(gone, kActionAdded);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  ASSERT_EQ(m_Bed.Scratch().Count(), 2);

  fs::remove(gone);
  const std::string brief = m_Bed.WriteXml("2024/brief.xml", "Brief");
  fs::remove(brief);
  m_Bed.Enqueue(gone, kActionModified);
  m_Bed.Enqueue(brief, kActionAdded);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(m_Bed.Documents(), std::vector<std::string>{kept});
  EXPECT_TRUE(m_Bed.Lines("Impossible").empty());
  EXPECT_TRUE(m_Bed.Lines(":error:").empty());
}

TEST_F(ChangeQueueTest, ARemovedDirectoryTakesEveryDocumentBelowItAndNothingBeside) {
  const std::string a = m_Bed.WriteXml("sub/a.xml", "One");
  const std::string b = m_Bed.WritePdf("sub/deeper/b.pdf", "Two");
  const std::string c = m_Bed.WriteXml("subway/c.xml", "Three");
  for (const std::string& path : {a, b, c}) m_Bed.Enqueue(path, kActionAdded);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  ASSERT_EQ(m_Bed.Scratch().Count(), 3);

  fs::remove_all(m_Bed.Scratch().Docs() + "sub");
  m_Bed.Flusher().EnqueueChange(m_Bed.Change(m_Bed.Scratch().Docs() + "sub", kActionRemoved, true), true);
  // Removing what was never catalogued changes nothing and says nothing.
  m_Bed.Enqueue(m_Bed.Scratch().Docs() + "never/x.xml", kActionRemoved);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(m_Bed.Documents(), std::vector<std::string>{c});
  EXPECT_TRUE(m_Bed.Lines(":error:").empty());
}

TEST_F(ChangeQueueTest, WithoutDebugLinesOnlyFailuresAreSaid) {
  m_Bed.Settings().bDebug = false;
  const std::string path = m_Bed.WriteXml("2024/a.xml", "Quiet");
  m_Bed.Enqueue(path, kActionAdded);
  m_Bed.Enqueue(path, kActionRemoved);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_TRUE(m_Bed.Listener().Messages().empty());
}

// Changes that cannot be applied now are tried again later, within a bound, and never dropped
// without a line.
class ChangeRetryTest : public ::testing::Test {
 protected:
  testsupport::FlusherTestBed m_Bed;
};

TEST_F(ChangeRetryTest, ALockedFileIsTriedAgainAndIndexedOnceItIsReleased) {
  const std::string path = m_Bed.WriteXml("2024/locked.xml", "Locked");
  auto lock = platform::CNamedFileLock::AtPath(path);
  ASSERT_TRUE(lock->TryLock());
  m_Bed.Enqueue(path, kActionAdded);
  ASSERT_TRUE(testsupport::PollUntil(
      [&] { return m_Bed.Listener().Count(kMessageIdle, "Impossible file " + path + " is locked") == 1; }, 30000));
  // Several retries pass while it is held, and the change stays queued.
  ASSERT_TRUE(testsupport::PollUntil(
      [&] { return m_Bed.Listener().Count(kMessageIndexDocument, "index file " + path) >= 3; }, 30000));
  EXPECT_EQ(m_Bed.Scratch().Count(), 0);
  EXPECT_EQ(m_Bed.Flusher().QueuedCount(m_Bed.Catalogue()), 1u);

  lock.reset();
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(m_Bed.Find("Locked"), std::vector<std::string>{path});
  EXPECT_EQ(m_Bed.Listener().Count(kMessageIdle, "Impossible file " + path + " is locked"), 1);
  EXPECT_TRUE(m_Bed.Lines(":error:").empty());
}

TEST_F(ChangeRetryTest, AFileLockedBeyondTheBoundIsGivenUpWithALine) {
  m_Bed.Settings().nRetryGiveUpMilliseconds = 300;
  const std::string path = m_Bed.WritePdf("2024/held.pdf", "Held");
  auto lock = platform::CNamedFileLock::AtPath(path);
  ASSERT_TRUE(lock->TryLock());
  m_Bed.Enqueue(path, kActionAdded);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  const auto lines = m_Bed.Lines(":error: Document " + path + " stayed locked by another program for ");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("not indexed until it changes or its folder is reconciled again"), std::string::npos);
  EXPECT_EQ(m_Bed.Scratch().Count(), 0);
}

TEST_F(ChangeRetryTest, ADocumentReadInTheSecondItWasWrittenIsReadAgainForItsTime) {
  // Read in the second of its last write, a document is stored without its time: a write
  // later in that second could go unseen. It is read again after the first interval.
  m_Bed.Settings().nRetryFirstMilliseconds = 1100;
  const std::string path = m_Bed.WriteXml("2024/fresh.xml", "Fresh");
  m_Bed.Enqueue(path, kActionAdded);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  const auto documents = testsupport::EngineTestBed::Documents(m_Bed.Catalogue());
  ASSERT_EQ(documents.size(), 1u);
  EXPECT_FALSE(documents.begin()->second.empty());
  EXPECT_EQ(m_Bed.Find("Fresh"), std::vector<std::string>{path});
}

TEST_F(ChangeRetryTest, AChangeForACatalogueThatCannotBeWrittenIsKeptAndAppliedOnceItCanBe) {
  const std::string blocker = m_Bed.Scratch().Scratch().Write("blocked", "a file where the catalogue should be");
  const std::string catalogue = blocker + "/catalogue";
  const std::string path = m_Bed.WriteXml("2024/a.xml", "Blocked");
  FileChange change = m_Bed.Change(path, kActionAdded);
  change.strCatalogue = catalogue;
  m_Bed.Flusher().EnqueueChange(change, true);
  ASSERT_TRUE(testsupport::PollUntil([&] { return !m_Bed.Lines(":error: Catalogue " + catalogue).empty(); }, 30000));
  const auto lines = m_Bed.Lines(":error: Catalogue " + catalogue + " cannot be written: ");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("; its changes are tried again later"), std::string::npos);
  EXPECT_GE(m_Bed.Listener().Count(kMessageIdle, "Impossible to index file " + path), 1);
  EXPECT_EQ(m_Bed.Flusher().QueuedCount(catalogue), 1u);

  fs::remove(blocker);
  fs::create_directories(catalogue);
  ASSERT_TRUE(m_Bed.WaitUntilApplied(catalogue));
  EXPECT_EQ(m_Bed.Documents(catalogue), std::vector<std::string>{path});
  EXPECT_EQ(m_Bed.Lines(":error: Catalogue " + catalogue).size(), 1u);
  m_Bed.EndFlusher();
  LIndexer::CloseCatalogue(catalogue);
}

TEST_F(ChangeRetryTest, AChangeGivenUpForAnUnwritableCatalogueAsksForItsFolderToBeReconciled) {
  m_Bed.Settings().nRetryGiveUpMilliseconds = 300;
  const std::string blocker = m_Bed.Scratch().Scratch().Write("blocked", "not a directory");
  const std::string catalogue = blocker + "/catalogue";
  std::vector<std::string> requested;
  m_Bed.Flusher().SetReconcileRequest([&](const std::string& reference) { requested.push_back(reference); });
  FileChange change = m_Bed.Change(m_Bed.Scratch().Docs() + "2024/gone.xml", kActionRemoved);
  change.strCatalogue = catalogue;
  m_Bed.Flusher().EnqueueChange(change, true);
  ASSERT_TRUE(m_Bed.WaitUntilApplied(catalogue));
  m_Bed.EndFlusher();
  EXPECT_EQ(requested, std::vector<std::string>{"REF"});
  const auto lines = m_Bed.Lines(":error: Catalogue " + catalogue + " cannot be written: ");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("; the change of " + change.strPath + " is given up until its folder is reconciled again"),
            std::string::npos);
}

}  // namespace
