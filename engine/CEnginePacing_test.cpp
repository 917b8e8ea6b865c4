#include "engine/CEnginePacing.h"

#include <cstdint>
#include <memory>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "platform/CStopLatch.h"
#include "testsupport/ScratchDir.h"

namespace fs = boost::filesystem;

namespace {

class EnginePacingTest : public ::testing::Test {
 protected:
  EnginePacingTest() {
    m_Parameters.ProgramDirectory = m_Scratch.File("program/");
    fs::create_directories(m_Parameters.ProgramDirectory);
    m_pPacing = std::make_unique<CEnginePacing>(&m_Parameters);
    m_pPacing->SetMarkerClock([this] { return m_nNow; });
  }
  std::string Marker() const { return m_Scratch.File("program/_stop_"); }

  testsupport::ScratchDir m_Scratch;
  CEngineParameters m_Parameters;
  std::unique_ptr<CEnginePacing> m_pPacing;
  std::int64_t m_nNow = 5000;
};

TEST_F(EnginePacingTest, TheWalksSeeTheMarkerWithinAQuarterSecondAndAStopAtOnce) {
  CEnginePacing& pacing = *m_pPacing;
  EXPECT_EQ(pacing.CanContinueWalk(), 1);
  m_Scratch.Write("program/_stop_", "");
  EXPECT_EQ(pacing.CanContinueWalk(), 1) << "the last answer is kept for a while";
  m_nNow += CEnginePacing::kStopMarkerRecheckMilliseconds - 1;
  EXPECT_EQ(pacing.CanContinueWalk(), 1);
  m_nNow += 1;
  EXPECT_EQ(pacing.CanContinueWalk(), 0) << "a quarter of a second on, the marker is seen";

  fs::remove(Marker());
  fs::create_directories(Marker());  // a directory of that name counts too
  EXPECT_EQ(pacing.CanContinue(), 0);
  fs::remove(Marker());
  EXPECT_EQ(pacing.CanContinueWalk(), 0);
  EXPECT_EQ(pacing.CanContinue(), 1) << "the per-folder check always looks";
  EXPECT_EQ(pacing.CanContinueWalk(), 1) << "and what it saw is the walks' answer too";

  pacing.RequestStop();
  EXPECT_EQ(pacing.CanContinueWalk(), 0) << "a requested stop needs no look at the disk";
}

TEST_F(EnginePacingTest, AWaitRunsOutOrEndsAtOnceOnAStop) {
  CEnginePacing& pacing = *m_pPacing;
  platform::CStopLatch stop;
  EXPECT_FALSE(pacing.WaitUnlessStopped(&stop, 50)) << "a short wait runs out";
  stop.Stop();
  EXPECT_TRUE(pacing.WaitUnlessStopped(&stop, 600000));
  EXPECT_TRUE(pacing.WaitUnlessStopped(&stop, 600000)) << "the stop holds for the next waiter";
  pacing.RequestStop();
  EXPECT_TRUE(pacing.WaitUnlessStopped(nullptr, 600000));
}

}  // namespace
