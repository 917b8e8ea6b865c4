// The real service: documents renamed or moved, as files or with their directory, inside an
// archive, between two watched directories of a folder and into another folder, keep their
// catalogue entries (or their text) and are not read again, whether the service watches,
// polls, or was stopped meanwhile. A hard link, a copy and a file changed on the way are read.
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "testsupport/CatalogueScratch.h"
#include "testsupport/PdfMaker.h"
#include "testsupport/Polling.h"
#include "testsupport/ServiceEndToEndTest.h"

namespace fs = boost::filesystem;

namespace {

using testsupport::kServiceDeadlineMs;

const std::vector<std::string> kOptions = {"--cycle-wait-ms", "100", "--folder-pause-ms", "10", "--pause-ms", "10",
                                           "--xml-settle-ms", "200", "--other-settle-ms", "300"};
const char kDebug[] = "<IsDebugAction>TRUE</IsDebugAction>";

class MovesEndToEndTest : public testsupport::ServiceEndToEndTest {
 protected:
  MovesEndToEndTest()
      : m_Archive(m_Runner.MakeDirectory("archive")), m_HelperRuns(m_Runner.MakeDirectory("runs") + "helper") {
    m_Runner.SetEnv("FK_PDFTEXT_PLUGIN", FK_PDFTEXT_PLUGIN_PATH);
    m_Runner.SetEnv("FK_PDFTEXT_RUN_COUNT_FILE", m_HelperRuns);
    m_Runner.SetEnv("FK_PDFTEXT_HELPER", FK_PDFTEXT_HELPER_PATH);
    for (const char* name : {"2023/a/one", "2023/a/two", "2023/b/three", "2023/four", "2023/five", "2023/six"}) {
      fs::create_directories(fs::path(m_Archive + name).parent_path());
      const std::string pdf = m_Archive + name + ".pdf";
      EXPECT_TRUE(testsupport::MakePdf(pdf, {std::string("Word") + fs::path(name).stem().string()}));
      // Written well before the pass: a file of the very second of its read is taken again.
      fs::last_write_time(pdf, std::time(nullptr) - 100);
    }
    fs::create_directories(m_Archive + "2024");
  }
  void Start(const std::string& extra, const std::string& otherFolders = "") {
    Configure(testsupport::UsingFolderXml("ACME", "Acme", m_Archive) + otherFolders, extra + kDebug);
    ASSERT_TRUE(m_Runner.Start(kOptions));
    ASSERT_TRUE(WaitForPasses("Acme", 1));
  }
  // Another folder with its own archive; its reference sets its place in a pass (by name).
  std::string OtherFolder(const std::string& reference, std::string& archive) {
    archive = m_Runner.MakeDirectory(reference);
    return testsupport::UsingFolderXml(reference, reference, archive);
  }
  static void Move(const std::string& from, const std::string& to) {
    ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0) << from;
  }
  // Renamed in place, moved with its directory inside a watched directory and into another
  // one, and moved alone into another; a hard link and a copy of a file that stays.
  std::vector<std::pair<std::string, std::string>> MoveEverything() {
    Move(m_Archive + "2023/four.pdf", m_Archive + "2023/renamed.pdf");
    Move(m_Archive + "2023/a", m_Archive + "2023/c");
    Move(m_Archive + "2023/b", m_Archive + "2024/b");
    Move(m_Archive + "2023/five.pdf", m_Archive + "2024/five.pdf");
    EXPECT_EQ(link((m_Archive + "2023/six.pdf").c_str(), (m_Archive + "2024/link.pdf").c_str()), 0);
    fs::copy_file(m_Archive + "2023/six.pdf", m_Archive + "2024/copy.pdf");
    return {{"Wordfour", "2023/renamed.pdf"}, {"Wordone", "2023/c/one.pdf"}, {"Wordtwo", "2023/c/two.pdf"},
            {"Wordthree", "2024/b/three.pdf"}, {"Wordfive", "2024/five.pdf"}};
  }
  std::vector<std::string> Find(const std::string& word, const std::string& reference = "ACME") const {
    return testsupport::CatalogueScratch::FindIn(m_Catalogues + reference, word);
  }
  int Reads(const std::string& relative) const { return CountContaining("index file " + m_Archive + relative); }
  // Documents of that path the PDF helper was given, from the plug-in's own count.
  int HelperRuns(const std::string& relative) const { return HelperRunsOf(m_Archive + relative); }
  int HelperRunsOf(const std::string& path) const {
    std::ifstream runs(m_HelperRuns);
    int count = 0;
    for (std::string line; std::getline(runs, line);) count += line.rfind(path + "\t", 0) == 0;
    return count;
  }
  // Each document moved into another folder is found there only, with its text, unread.
  void ExpectMovedAcross(const std::vector<std::pair<std::string, std::string>>& moved, const std::string& reference) {
    for (const auto& entry : moved) {
      const std::string& word = entry.first;
      const std::string& path = entry.second;
      EXPECT_TRUE(testsupport::PollUntil([&] { return Find(word, reference) == std::vector<std::string>{path}; },
                                         kServiceDeadlineMs))
          << path;
      EXPECT_TRUE(testsupport::PollUntil([&] { return Find(word).empty(); }, kServiceDeadlineMs)) << path;
      EXPECT_EQ(HelperRunsOf(path), 0) << path << " went through the PDF helper again";
    }
  }
  // Each moved document is found under its new path only, with the text it had, unread.
  void ExpectMovedUnread(const std::vector<std::pair<std::string, std::string>>& moved) {
    for (const auto& entry : moved) {
      const std::string& word = entry.first;
      const std::string& relative = entry.second;
      EXPECT_TRUE(testsupport::PollUntil([&] { return Find(word) == std::vector<std::string>{m_Archive + relative}; },
                                         kServiceDeadlineMs))
          << relative;
      EXPECT_EQ(Reads(relative), 0) << relative << " was read again";
      EXPECT_EQ(HelperRuns(relative), 0) << relative << " went through the PDF helper again";
    }
    EXPECT_TRUE(testsupport::PollUntil([&] { return Find("Wordsix").size() == 3; }, kServiceDeadlineMs))
        << "a file, its hard link and its copy";
    EXPECT_EQ(Reads("2024/link.pdf"), 1) << "a hard link is read as new";
    EXPECT_EQ(HelperRuns("2024/link.pdf"), 1) << "the helper's count sees the reads it makes";
    EXPECT_GE(Reads("2024/copy.pdf"), 1) << "a copy is read as new";
  }

  const std::string m_Archive;  // ends with '/'
  const std::string m_HelperRuns;
};

TEST_F(MovesEndToEndTest, DocumentsMovedWhileWatchedKeepTheirEntriesUnread) {
  Start("");
  ExpectMovedUnread(MoveEverything());
  EXPECT_EQ(Passes("Acme"), 1) << "the moves came by the watcher";
  StopService();
}

TEST_F(MovesEndToEndTest, DocumentsMovedWhileStoppedKeepTheirEntriesInThePollingPass) {
  Start(testsupport::kPollingElement);
  StopService();
  const auto moved = MoveEverything();
  // Moved, then written on the way: its new content is read.
  Move(m_Archive + "2023/c/two.pdf", m_Archive + "2024/changed.pdf");
  ASSERT_TRUE(testsupport::MakePdf(m_Archive + "2024/changed.pdf", {"Wordchanged"}));
  Start(testsupport::kPollingElement);
  ASSERT_TRUE(WaitForPasses("Acme", 2));
  ExpectMovedUnread({moved[0], moved[1], moved[3], moved[4]});
  EXPECT_EQ(Find("Wordchanged"), std::vector<std::string>{m_Archive + "2024/changed.pdf"});
  EXPECT_TRUE(Find("Wordtwo").empty());
  StopService();
}

TEST_F(MovesEndToEndTest, DocumentsMovedIntoAnotherWatchedFolderTakeTheirTextAlong) {
  std::string beta;
  Start("", OtherFolder("BETA", beta));
  Move(m_Archive + "2023/a", beta + "a");
  Move(m_Archive + "2023/four.pdf", beta + "four.pdf");
  fs::copy_file(m_Archive + "2023/five.pdf", beta + "copy.pdf");
  ExpectMovedAcross({{"Wordone", beta + "a/one.pdf"}, {"Wordtwo", beta + "a/two.pdf"}, {"Wordfour", beta + "four.pdf"}},
                    "BETA");
  EXPECT_TRUE(testsupport::PollUntil([&] { return Find("Wordfive", "BETA").size() == 1; }, kServiceDeadlineMs));
  EXPECT_EQ(HelperRunsOf(beta + "copy.pdf"), 1) << "a copy is read as new";
  EXPECT_EQ(Passes("Acme"), 1) << "the moves came by the watcher";
  StopService();
}

// The folders' passes come in the folder list's own order, so the first round may find the
// moved documents still among the source's entries or already dropped by its cleaner. The
// second round makes the cleaner go first: moved out of every folder, the source's pass drops
// them (keeping their text a while); moved into another folder afterwards, they are taken from
// the kept text.
TEST_F(MovesEndToEndTest, DocumentsMovedIntoAnotherFolderWhileStoppedTakeTheirTextWhicheverPassComesFirst) {
  std::string before;
  std::string after;
  const std::string others = OtherFolder("AAAA", before) + OtherFolder("BETA", after);
  const std::string outside = m_Runner.MakeDirectory("outside");
  Start("", others);
  StopService();
  Move(m_Archive + "2023/a", before + "a");
  Move(m_Archive + "2023/b", outside + "b");
  Move(m_Archive + "2023/four.pdf", outside + "four.pdf");
  Start("", others);  // until the source's pass has ended, its cleaner with it
  ExpectMovedAcross({{"Wordone", before + "a/one.pdf"}, {"Wordtwo", before + "a/two.pdf"}}, "AAAA");
  EXPECT_TRUE(testsupport::PollUntil([&] { return Find("Wordthree").empty() && Find("Wordfour").empty(); },
                                     kServiceDeadlineMs))
      << "the source's cleaner dropped what left it";
  StopService();
  Move(outside + "b", after + "b");
  Move(outside + "four.pdf", after + "four.pdf");
  fs::copy_file(m_Archive + "2023/five.pdf", after + "copy.pdf");
  Start("", others);
  ExpectMovedAcross({{"Wordthree", after + "b/three.pdf"}, {"Wordfour", after + "four.pdf"}}, "BETA");
  EXPECT_TRUE(testsupport::PollUntil([&] { return Find("Wordfive", "BETA").size() == 1; }, kServiceDeadlineMs));
  EXPECT_EQ(HelperRunsOf(after + "copy.pdf"), 1) << "a copy is read as new";
  StopService();
}

}  // namespace
