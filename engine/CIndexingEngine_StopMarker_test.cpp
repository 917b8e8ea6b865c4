#include "engine/CIndexingEngine.h"

#include <cstdint>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "platform/CStopLatch.h"
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
  fs::create_directories(Marker());  // a directory of that name counts too
  EXPECT_EQ(engine.CanContinue(), 0);
  fs::remove(Marker());
  EXPECT_EQ(engine.CanContinueWalk(), 0);
  EXPECT_EQ(engine.CanContinue(), 1) << "the per-folder check always looks";
  EXPECT_EQ(engine.CanContinueWalk(), 1) << "and what it saw is the walks' answer too";

  engine.StopMonitoring();
  EXPECT_EQ(engine.CanContinueWalk(), 0) << "a requested stop needs no look at the disk";
}

TEST(StopMarkerWaitTest, AWaitRunsOutOrEndsAtOnceOnAStop) {
  testsupport::EngineTestBed bed;
  CIndexingEngine& engine = bed.Engine();
  platform::CStopLatch stop;
  EXPECT_FALSE(engine.WaitUnlessStopped(&stop, 50)) << "a short wait runs out";
  stop.Stop();
  EXPECT_TRUE(engine.WaitUnlessStopped(&stop, 600000));
  EXPECT_TRUE(engine.WaitUnlessStopped(&stop, 600000)) << "the stop holds for the next waiter";
  engine.StopMonitoring();
  EXPECT_TRUE(engine.WaitUnlessStopped(nullptr, 600000));
}

}  // namespace
