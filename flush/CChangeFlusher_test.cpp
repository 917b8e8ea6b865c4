#include "flush/CChangeFlusher.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/CCatalogueLock.h"
#include "catalogue/CMovedDocuments.h"
#include "catalogue/LConnectionRegistry.h"
#include "catalogue/LIndexer.h"
#include "platform/CNamedFileLock.h"
#include "status/MonitorListener.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/FlusherTestBed.h"
#include "testsupport/Polling.h"

namespace fs = boost::filesystem;

namespace {

class ChangeFlusherTest : public ::testing::Test {
 protected:
  // A change for a catalogue below a plain file: it cannot be written until the file goes.
  FileChange BlockedChange(const std::string& path, int action) {
    m_strBlocker = m_Bed.Scratch().Scratch().Write("blocked", "a file where the catalogue should be");
    FileChange change = m_Bed.Change(path, action);
    change.strCatalogue = m_strBlocker + "/catalogue";
    return change;
  }
  testsupport::FlusherTestBed m_Bed;
  std::string m_strBlocker;
};

TEST_F(ChangeFlusherTest, FilesGoneBeforeTheirTurnAndRemovedDirectoriesTakeOnlyTheirOwnEntries) {
  const std::string kept = m_Bed.WriteXml("2024/kept.xml", "Kept");
  const std::string gone = m_Bed.WriteXml("2024/gone.xml", "Gone");
  const std::string a = m_Bed.WriteXml("sub/a.xml", "One");
  const std::string b = m_Bed.WritePdf("sub/deeper/b.pdf", "Two");
  const std::string c = m_Bed.WriteXml("subway/c.xml", "Three");
  for (const std::string& path : {kept, gone, a, b, c}) m_Bed.Enqueue(path, kActionAdded);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  ASSERT_EQ(m_Bed.Scratch().Count(), 5);

  fs::remove(gone);
  const std::string brief = m_Bed.WriteXml("2024/brief.xml", "Brief");
  fs::remove(brief);
  m_Bed.Enqueue(gone, kActionModified);
  m_Bed.Enqueue(brief, kActionAdded);
  fs::remove_all(m_Bed.Scratch().Docs() + "sub");
  m_Bed.Flusher().EnqueueChange(m_Bed.Change(m_Bed.Scratch().Docs() + "sub", kActionRemoved, true), true);
  m_Bed.Enqueue(m_Bed.Scratch().Docs() + "never/x.xml", kActionRemoved);  // never catalogued
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(m_Bed.Documents(), (std::vector<std::string>{kept, c}));
  EXPECT_TRUE(m_Bed.Lines("Impossible").empty());
  EXPECT_TRUE(m_Bed.Lines(":error:").empty());
}

TEST_F(ChangeFlusherTest, ALockedFileIsTriedAgainUntilReleasedNeverGivenUpAndRemindedWhileItLasts) {
  m_Bed.Settings().nRetryReminderMilliseconds = 400;
  const std::string path = m_Bed.WritePdf("2024/locked.pdf", "Locked");
  auto lock = platform::CNamedFileLock::AtPath(path);
  ASSERT_TRUE(lock->TryLock());
  m_Bed.Enqueue(path, kActionAdded);
  // Retries pass while it is held, well past the reminder, and the change stays queued.
  const std::string reminder = ":error: Document " + path + " is still locked by another program after ";
  ASSERT_TRUE(testsupport::PollUntil([&] { return m_Bed.Lines(reminder).size() >= 2; }, 30000));
  EXPECT_EQ(m_Bed.Scratch().Count(), 0);
  EXPECT_EQ(m_Bed.Flusher().QueuedCount(m_Bed.Catalogue()), 1u);
  lock.reset();
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(m_Bed.Find("Locked"), std::vector<std::string>{path});
  EXPECT_EQ(m_Bed.Listener().Count(kMessageIdle, "Impossible file " + path + " is locked"), 1);
  EXPECT_EQ(m_Bed.Lines(":error:").size(), m_Bed.Lines(reminder).size()) << "no other error";
}

TEST_F(ChangeFlusherTest, ADocumentReadInTheSecondItWasWrittenIsReadAgainForItsTime) {
  // Stored without its time, it is read again after the first interval: a later write in that
  // second would otherwise go unseen.
  m_Bed.Settings().nRetryFirstMilliseconds = 1100;
  const std::string path = m_Bed.WriteXml("2024/fresh.xml", "Fresh");
  m_Bed.Enqueue(path, kActionAdded);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  const auto documents = testsupport::EngineTestBed::Documents(m_Bed.Catalogue());
  ASSERT_EQ(documents.size(), 1u);
  EXPECT_FALSE(documents.begin()->second.empty());
  EXPECT_EQ(m_Bed.Find("Fresh"), std::vector<std::string>{path});
}

TEST_F(ChangeFlusherTest, AChangeForAnUnwritableCatalogueIsKeptAndAppliedOnceItCanBeWritten) {
  const std::string path = m_Bed.WriteXml("2024/a.xml", "Blocked");
  const FileChange change = BlockedChange(path, kActionAdded);
  const std::string& catalogue = change.strCatalogue;
  m_Bed.Flusher().EnqueueChange(change, true);
  ASSERT_TRUE(testsupport::PollUntil([&] { return !m_Bed.Lines(":error: Catalogue " + catalogue).empty(); }, 30000));
  const auto lines = m_Bed.Lines(":error: Catalogue " + catalogue + " cannot be written: ");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("; its changes are tried again later"), std::string::npos);
  EXPECT_GE(m_Bed.Listener().Count(kMessageIdle, "Impossible to index file " + path), 1);
  EXPECT_EQ(m_Bed.Flusher().QueuedCount(catalogue), 1u);

  fs::remove(m_strBlocker);
  fs::create_directories(catalogue);
  ASSERT_TRUE(m_Bed.WaitUntilApplied(catalogue));
  EXPECT_EQ(m_Bed.Documents(catalogue), std::vector<std::string>{path});
  EXPECT_EQ(m_Bed.Lines(":error: Catalogue " + catalogue).size(), 1u);
  m_Bed.EndFlusher();
  LIndexer::CloseCatalogue(catalogue);
}

// The worker's walk and a flush thread write one catalogue through one transaction: when a
// commit fails, each writer learns that its own changes went with it and writes them again.
TEST_F(ChangeFlusherTest, AFailedCommitWhileTheWorkerAndAFlushThreadWriteLosesNeitherOnesChanges) {
  const std::string walked = m_Bed.WriteXml("2024/walked.xml", "Walkedmoor");
  const std::string changed = m_Bed.WriteXml("2024/changed.xml", "Changedmoor");
  CCatalogueIndexer worker;
  ASSERT_NE(worker.IndexDocument(walked, m_Bed.Catalogue(), nullptr), 0);  // not committed yet
  LConnectionRegistry::FailNextCommitsForTests(1);
  m_Bed.Enqueue(changed, kActionAdded);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(m_Bed.Lines(":error: Catalogue " + m_Bed.Catalogue() + " cannot be written: disk I/O error").size(), 1u);
  EXPECT_EQ(m_Bed.Find("Changedmoor"), std::vector<std::string>{changed}) << "the flush thread tried its change again";

  EXPECT_FALSE(worker.Commit()) << "the worker is told its document went with the failed commit";
  EXPECT_NE(worker.LastError().Message.find("went with a failed commit"), std::string::npos);
  ASSERT_NE(worker.IndexDocument(walked, m_Bed.Catalogue(), nullptr), 0);
  EXPECT_TRUE(worker.Commit());
  EXPECT_EQ(m_Bed.Find("Walkedmoor"), std::vector<std::string>{walked});

  // A move of entries is one of the worker's writes too.
  const std::string from = fs::path(walked).parent_path().string() + "/";
  ASSERT_EQ(CMovedDocuments(worker).MoveUnder(from, from + "moved/", m_Bed.Catalogue()), 2);
  LConnectionRegistry::FailNextCommitsForTests(1);
  m_Bed.Enqueue(m_Bed.WriteXml("2025/later.xml", "Latermoor"), kActionAdded);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_FALSE(worker.Commit()) << "the worker is told its move went with the failed commit";
}

TEST_F(ChangeFlusherTest, PastItsBoundAQueueIsDroppedAndItsFolderReconciledSaidOnceUntilDrained) {
  m_Bed.Settings().nQueueBound = 5;
  std::vector<std::string> requested;
  m_Bed.Flusher().SetReconcileRequest([&](const std::string& reference) { requested.push_back(reference); });
  // The catalogue is being reconciled: nothing is applied, the changes only queue.
  auto held = std::make_unique<CCatalogueLock>(m_Bed.Catalogue());
  ASSERT_TRUE(held->IsHeld());
  const std::string path = m_Bed.WriteXml("2024/a.xml", "Bounded");
  for (int i = 0; i < 5; ++i) m_Bed.Enqueue(path, kActionModified, false);
  EXPECT_TRUE(requested.empty());
  for (int i = 0; i < 6; ++i) m_Bed.Enqueue(path, kActionModified, false);
  EXPECT_EQ(requested, std::vector<std::string>{"REF"});
  EXPECT_EQ(m_Bed.Flusher().QueuedCount(m_Bed.Catalogue()), 5u);
  const auto lines = m_Bed.Lines(":error: Folder REF: more than 5 changes waited for catalogue " + m_Bed.Catalogue());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("they are dropped, and the folder is reconciled again"), std::string::npos);

  // The reconciliation's drain takes what is left; a later overflow is said again.
  EXPECT_EQ(m_Bed.Flusher().Refresh(m_Bed.Catalogue(), false), 1);
  for (int i = 0; i < 6; ++i) m_Bed.Enqueue(path, kActionModified, false);
  EXPECT_EQ(m_Bed.Lines(":error: Folder REF: more than 5 changes").size(), 2u);
  EXPECT_EQ(requested.size(), 2u);
  held.reset();
  m_Bed.Flusher().Wake(m_Bed.Catalogue());
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(m_Bed.Find("Bounded"), std::vector<std::string>{path});
}

}  // namespace
