#include "flush/CChangeFlusher.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueLock.h"
#include "catalogue/LIndexer.h"
#include "platform/CNamedFileLock.h"
#include "status/MonitorListener.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/FlusherTestBed.h"
#include "testsupport/PdfMaker.h"
#include "testsupport/Polling.h"
#include "testsupport/ScopedEnvironment.h"

namespace {

class FlushThreadTest : public ::testing::Test {
 protected:
  // Invoices written a minute ago, so that each is read once with its time.
  std::vector<std::string> WriteInvoices(const std::string& stem, int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
      paths.push_back(m_Bed.WriteXml(stem + "/" + std::to_string(i) + ".xml", "Invoice" + stem));
      testsupport::EngineTestBed::SetModificationTime(paths.back(), std::time(nullptr) - 60);
    }
    return paths;
  }
  static std::chrono::milliseconds Timed(const std::function<void()>& stop) {
    const auto start = std::chrono::steady_clock::now();
    stop();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  }
  void EnqueueFor(const std::string& catalogue, const std::string& path, bool wake) {
    boost::filesystem::create_directories(catalogue);
    FileChange change = m_Bed.Change(path, kActionAdded);
    change.strCatalogue = catalogue;
    m_Bed.Flusher().EnqueueChange(change, wake);
  }

  testsupport::FlusherTestBed m_Bed;
};

TEST_F(FlushThreadTest, NoChangeWaitsForALaterOneWhileProducersRaceTheParkingThread) {
  m_Bed.Settings().bDebug = false;
  constexpr int kProducers = 4;
  constexpr int kRounds = 40;
  std::vector<std::vector<std::string>> paths;
  for (int p = 0; p < kProducers; ++p) paths.push_back(WriteInvoices("p" + std::to_string(p), kRounds + 25));
  CChangeFlusher& flusher = m_Bed.Flusher();
  std::atomic<int> stalls{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      // Each change comes about when the thread parks after the last: a lost unpark stalls it.
      for (int i = 0; i < kRounds; ++i) {
        flusher.EnqueueChange(m_Bed.Change(paths[p][i], kActionAdded), true);
        if (!testsupport::PollUntil([&] { return flusher.QueuedCount(m_Bed.Catalogue()) == 0; }, 20000)) ++stalls;
      }
      for (int i = kRounds; i < kRounds + 25; ++i) flusher.EnqueueChange(m_Bed.Change(paths[p][i], kActionAdded), true);
    });
  }
  for (std::thread& producer : producers) producer.join();
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(stalls.load(), 0);
  EXPECT_EQ(m_Bed.Scratch().Count(), kProducers * (kRounds + 25));
}

TEST_F(FlushThreadTest, ManyCataloguesShareAFewWorkersAndAnIdleOneIsForgotten) {
  m_Bed.Settings().nWorkers = 2;
  // Every slice is used up at once: a record emptied by the last change of its slice is let go too.
  m_Bed.Settings().nWorkSliceSeconds = 0;
  constexpr int kCatalogues = 150;
  const std::vector<std::string> paths = WriteInvoices("many", kCatalogues);
  std::vector<std::string> catalogues;
  for (int i = 0; i < kCatalogues; ++i) {
    catalogues.push_back(m_Bed.Scratch().Scratch().File("cat" + std::to_string(i)));
    EnqueueFor(catalogues.back(), paths[i], true);
  }
  int mostWorkers = 0;
  ASSERT_TRUE(testsupport::PollUntil([&] {
    mostWorkers = std::max(mostWorkers, m_Bed.Flusher().RunningWorkers());
    return m_Bed.Flusher().RecordCount() == 0;
  }, 60000)) << m_Bed.Flusher().RecordCount() << " catalogues still held";
  EXPECT_LE(mostWorkers, 2);
  int applied = 0;
  for (int i = 0; i < kCatalogues; ++i) {
    applied += m_Bed.Documents(catalogues[i]) == std::vector<std::string>{paths[i]};
    LIndexer::CloseCatalogue(catalogues[i]);
  }
  EXPECT_EQ(applied, kCatalogues);
}

TEST_F(FlushThreadTest, ADrainAndTheFlushThreadTogetherApplyEachChangeOnce) {
  const std::vector<std::string> paths = WriteInvoices("2024", 300);
  for (const std::string& path : paths) m_Bed.Enqueue(path, kActionAdded, true);
  for (int i = 0; i < 20 && m_Bed.Flusher().QueuedCount(m_Bed.Catalogue()) > 0; ++i) {
    m_Bed.Flusher().Refresh(m_Bed.Catalogue(), false);
  }
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(m_Bed.Scratch().Count(), 300);
  int once = 0;
  for (const std::string& path : paths) once += m_Bed.Listener().Count(kMessageIndexDocument, "index file " + path) == 1;
  EXPECT_EQ(once, 300);
}

// A PDF read that hangs until the helper's deadline holds back neither a drain of its catalogue
// nor the last word: a change of the PDF queued during the read is applied after it and decides.
TEST_F(FlushThreadTest, ADrainCommitsWhileAPdfReadHangsAndALaterChangeOfThePdfDecidesItsEntry) {
  const std::string pdf = m_Bed.WritePdf("2024/hung.pdf", "Stale");
  testsupport::EngineTestBed::SetModificationTime(pdf, std::time(nullptr) - 60);
  testsupport::ScopedEnvironment environment;
  environment.Set("FK_PDFTEXT_WALL_MS", "6000");
  environment.Set("FK_PDFTEXT_HELPER_FAULT", "hang:" + pdf);
  const auto indexLines = [&] { return m_Bed.Listener().Count(kMessageIndexDocument, "index file " + pdf); };
  m_Bed.Enqueue(pdf, kActionAdded, true);
  ASSERT_TRUE(testsupport::PollUntil([&] { return indexLines() == 1; }, 30000));

  // During the read: the PDF is rewritten (a helper started from now on reads it) and an
  // invoice arrives; both changes are drained on this side.
  environment.Unset("FK_PDFTEXT_HELPER_FAULT");
  ASSERT_TRUE(testsupport::MakePdf(pdf, {"Invoice Fresh"}));
  testsupport::EngineTestBed::SetModificationTime(pdf, std::time(nullptr) - 30);
  const std::string invoice = WriteInvoices("quick", 1)[0];
  m_Bed.Enqueue(invoice, kActionAdded, false);
  m_Bed.Enqueue(pdf, kActionModified, false);
  auto drain = std::async(std::launch::async, [&] { return m_Bed.Flusher().Refresh(m_Bed.Catalogue(), false); });
  ASSERT_EQ(drain.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(drain.get(), 1);
  EXPECT_EQ(m_Bed.Find("Invoicequick"), std::vector<std::string>{invoice}) << "committed by the drain";
  EXPECT_EQ(indexLines(), 1) << "the drain came back while the PDF was still read, leaving its change waiting";

  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(indexLines(), 2);
  EXPECT_EQ(m_Bed.Find("Fresh"), std::vector<std::string>{pdf});
  EXPECT_TRUE(m_Bed.Find("Stale").empty());
  EXPECT_NE(testsupport::EngineTestBed::Documents(m_Bed.Catalogue())[pdf], "") << "stored with its time";
}

TEST_F(FlushThreadTest, RefreshAppliesTheQueueOnTheWorkerAndLeavesALockedFileToTheFlushThread) {
  // The worker holds the catalogue, as a folder pass does: the flush workers hold back.
  auto held = std::make_unique<CCatalogueLock>(m_Bed.Catalogue());
  ASSERT_TRUE(held->IsHeld());
  const std::vector<std::string> paths = WriteInvoices("2024", 3);
  auto lock = platform::CNamedFileLock::AtPath(paths[0]);
  ASSERT_TRUE(lock->TryLock());
  m_Bed.Enqueue(paths[0], kActionAdded, false);
  m_Bed.Enqueue(paths[1], kActionAdded, false);
  m_Bed.Enqueue(paths[2], kActionAdded, true);
  EXPECT_EQ(m_Bed.Flusher().Refresh(m_Bed.Catalogue(), true), 1);
  EXPECT_EQ(m_Bed.Documents(), (std::vector<std::string>{paths[1], paths[2]}));
  EXPECT_EQ(m_Bed.Flusher().QueuedCount(m_Bed.Catalogue()), 1u);
  EXPECT_EQ(m_Bed.Listener().Count(kMessageIdle, "Impossible file " + paths[0] + " is locked"), 1);

  held.reset();
  m_Bed.Flusher().Wake(m_Bed.Catalogue());
  lock.reset();
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(m_Bed.Documents(), paths);
}

TEST_F(FlushThreadTest, RemoveDuringABurstEndsPromptlyAndKeepsWhatWasCommittedWhole) {
  m_Bed.Settings().bDebug = false;
  m_Bed.Settings().nWorkSliceSeconds = 0;  // a commit after every change
  const std::vector<std::string> paths = WriteInvoices("2024", 2000);
  for (const std::string& path : paths) m_Bed.Enqueue(path, kActionAdded, true);
  ASSERT_TRUE(testsupport::PollUntil([&] { return m_Bed.Scratch().Count() > 0; }, 30000));
  const size_t queued = m_Bed.Flusher().QueuedCount(m_Bed.Catalogue());
  const auto took = Timed([&] { m_Bed.Flusher().Remove(m_Bed.Catalogue()); });
  EXPECT_GT(queued, 0u) << "stopped after the burst";
  EXPECT_LT(took.count(), 10000);
  EXPECT_EQ(m_Bed.Flusher().QueuedCount(m_Bed.Catalogue()), 0u);
  LIndexer::CloseCatalogue(m_Bed.Catalogue());
  EXPECT_EQ(testsupport::CatalogueScratch::Pragma(m_Bed.Catalogue(), "integrity_check"), "ok");
  EXPECT_EQ(testsupport::CatalogueScratch::FtsIntegrityCheck(m_Bed.Catalogue()), "ok");
  const int kept = m_Bed.Scratch().Count();
  EXPECT_GT(kept, 0);
  EXPECT_LE(kept, 2000);

  // The watcher goes on queueing: the catalogue gets a new record.
  const std::string later = m_Bed.WriteXml("2025/later.xml", "Later");
  m_Bed.Enqueue(later, kActionAdded, true);
  ASSERT_TRUE(m_Bed.WaitUntilApplied());
  EXPECT_EQ(m_Bed.Find("Later"), std::vector<std::string>{later});
}

TEST_F(FlushThreadTest, StopAllEndsEveryWaitAtOnceAndLaterChangesAreIgnored) {
  m_Bed.Settings().nOtherSettleMilliseconds = 600000;
  m_Bed.Settings().nPauseMilliseconds = 600000;
  m_Bed.Settings().nWorkSliceSeconds = 0;
  m_Bed.Settings().nRetryFirstMilliseconds = 600000;
  // A PDF settling, a locked invoice waiting for its retry, and a drain pausing on the worker.
  m_Bed.Enqueue(m_Bed.WritePdf("2024/slow.pdf", "Slow"), kActionAdded, true);
  const std::string locked = WriteInvoices("locked", 1)[0];
  auto lock = platform::CNamedFileLock::AtPath(locked);
  ASSERT_TRUE(lock->TryLock());
  const std::string second = m_Bed.Scratch().Scratch().File("second");
  EnqueueFor(second, locked, true);
  ASSERT_TRUE(testsupport::PollUntil([&] { return !m_Bed.Lines("Impossible file " + locked).empty(); }, 30000));
  const std::string third = m_Bed.Scratch().Scratch().File("third");
  for (const std::string& path : WriteInvoices("drained", 3)) EnqueueFor(third, path, false);
  auto drain = std::async(std::launch::async, [&] { return m_Bed.Flusher().Refresh(third, true); });
  ASSERT_TRUE(testsupport::PollUntil([&] { return m_Bed.Flusher().QueuedCount(third) < 3; }, 30000));

  const auto took = Timed([&] { m_Bed.Flusher().StopAll(); });
  EXPECT_LT(took.count(), 10000);
  ASSERT_EQ(drain.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(drain.get(), 1);
  m_Bed.Enqueue(m_Bed.WriteXml("2024/after.xml", "After"), kActionAdded, true);
  EXPECT_EQ(m_Bed.Flusher().QueuedCount(m_Bed.Catalogue()), 0u);
  EXPECT_EQ(m_Bed.Scratch().Count(), 0);
  LIndexer::CloseCatalogue(second);
  LIndexer::CloseCatalogue(third);
}

}  // namespace
