#include "monitoring/CIndexingEngine.h"

#include <cstdint>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "testsupport/EngineTestBed.h"

namespace fs = boost::filesystem;

namespace {

class StopMarkerTest : public ::testing::Test {
 protected:
  StopMarkerTest() {
    m_Bed.Engine().SetMarkerClock([this] { return m_nNow; });
  }
  std::string Marker() const { return m_Bed.Scratch().File("program/_stop_"); }

  testsupport::EngineTestBed m_Bed;
  std::int64_t m_nNow = 5000;
};

TEST_F(StopMarkerTest, TheWalksSeeTheMarkerWithinAQuarterSecondAndAStopAtOnce) {
  CIndexingEngine& engine = m_Bed.Engine();
  EXPECT_EQ(engine.CanContinueWalk(), 1);
  m_Bed.Scratch().Write("program/_stop_", "");
  EXPECT_EQ(engine.CanContinueWalk(), 1) << "the last answer is kept for a while";
  m_nNow += CIndexingEngine::kStopMarkerRecheckMilliseconds - 1;
  EXPECT_EQ(engine.CanContinueWalk(), 1);
  m_nNow += 1;
  EXPECT_EQ(engine.CanContinueWalk(), 0) << "a quarter of a second on, the marker is seen";

  fs::remove(Marker());
  EXPECT_EQ(engine.CanContinueWalk(), 0);
  EXPECT_EQ(engine.CanContinue(), 1) << "the per-folder check always looks";
  EXPECT_EQ(engine.CanContinueWalk(), 1) << "and what it saw is the walks' answer too";

  engine.StopMonitoring();
  EXPECT_EQ(engine.CanContinueWalk(), 0) << "a requested stop needs no look at the disk";
}

TEST_F(StopMarkerTest, AWrittenDocumentMakesTheWalkLookAgain) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  m_Bed.WriteNewerInvoices("A", "f", 3);
  EXPECT_EQ(m_Bed.Engine().CanContinueWalk(), 1);
  m_Bed.Scratch().Write("program/_stop_", "");  // the clock stands still: only a write makes it seen
  EXPECT_EQ(m_Bed.Walk(folder, false), 1) << "the newest file is written, then the walk stops";
}

}  // namespace
