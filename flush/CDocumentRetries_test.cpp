#include "flush/CDocumentRetries.h"

#include <gtest/gtest.h>

#include <ctime>

#include <boost/filesystem.hpp>

#include "testsupport/ScratchDir.h"

namespace {

using Outcome = CCatalogueIndexer::Outcome;

TEST(DocumentRetriesTest, EachOutcomeSetsItsWaitAndPassingFailuresDoubleItUpToADay) {
  testsupport::ScratchDir scratch;
  const std::string pdf = scratch.Write("slow.pdf", "%PDF");
  boost::filesystem::last_write_time(pdf, std::time(nullptr) - 100);
  CDocumentRetries retries;
  std::int64_t now = 1000;
  std::int64_t expected = CDocumentRetries::kFirstRetrySeconds;
  for (int failure = 0; failure < 14; ++failure) {
    retries.Note(pdf, Outcome::RetryLater, now);
    EXPECT_TRUE(retries.IsWaiting(pdf));
    EXPECT_FALSE(retries.IsDue(pdf, now + expected - 1)) << failure;
    EXPECT_TRUE(retries.IsDue(pdf, now + expected)) << failure;
    now += expected;
    expected = std::min(expected * 2, CDocumentRetries::kLongestRetrySeconds);
  }
  EXPECT_EQ(expected, CDocumentRetries::kLongestRetrySeconds);
  retries.Note(pdf, Outcome::RetryLater, now);
  boost::filesystem::last_write_time(pdf, std::time(nullptr) - 50);  // the file changed
  EXPECT_TRUE(retries.IsDue(pdf, now));
  EXPECT_FALSE(retries.IsWaiting(pdf));

  retries.Note(pdf, Outcome::RetryAtRestart, 500);  // never in this run
  EXPECT_FALSE(retries.IsDue(pdf, 500 + 10 * CDocumentRetries::kLongestRetrySeconds));
  retries.Note(pdf, Outcome::WriteFailed, 500);  // says nothing of the document
  EXPECT_TRUE(retries.IsWaiting(pdf));
  retries.Note(pdf, Outcome::Retry, 500);  // the next pass
  EXPECT_TRUE(retries.IsDue(pdf, 500));
  retries.Note(pdf, Outcome::Complete, 500);
  EXPECT_FALSE(retries.IsWaiting(pdf));
}

}  // namespace
