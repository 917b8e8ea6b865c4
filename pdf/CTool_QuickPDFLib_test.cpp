#include "pdf/CTool_QuickPDFLib.h"

#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <boost/regex.hpp>

#include "pdf/CPdfReaderQueue.h"
#include "platform/ProcessSandbox.h"
#include "testsupport/PdfMaker.h"
#include "testsupport/ScopedEnvironment.h"
#include "testsupport/ScratchErrorLog.h"

namespace {

struct ErrorEntry {
  int code = 0;
  std::string line;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Runs the real plug-in and helper on PDFs written into a fresh directory, with a short
// deadline, and reads the error records this tool writes back from the error log.
class CTool_QuickPDFLibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Environment.Set("FK_PDFTEXT_PLUGIN", FK_PDFTEXT_PLUGIN_PATH);
    m_Environment.Set("FK_PDFTEXT_HELPER", FK_PDFTEXT_HELPER_PATH);
    m_Environment.Set("FK_PDFTEXT_DEADLINE_MS", "1500");
    m_Environment.Unset("FK_PDFTEXT_MEMORY_MB");
    m_Environment.Unset("FK_PDFTEXT_HELPER_FAULT");
    m_Environment.Unset("FK_PDFTEXT_WALL_MS");
  }
  std::string Path(const std::string& name) const { return m_ErrorLog.Dir().File(name); }
  std::string WritePdf(const std::string& name, const std::vector<std::string>& pages) {
    EXPECT_TRUE(testsupport::MakePdf(Path(name), pages));
    return Path(name);
  }
  // What the indexing code does with one document.
  static std::string TextOf(CTool_QuickPDFLib& tool, const std::string& path) {
    std::string text;
    if (tool.DAOpenFile(path, "") != 0) {
      text = tool.DAExtractText(-1, -1, 7);
      tool.DACloseFile(-1);
    }
    return text;
  }
  std::vector<ErrorEntry> ErrorEntries() const {
    std::vector<ErrorEntry> entries;
    std::ifstream log(m_ErrorLog.Path(), std::ios::binary);
    const boost::regex codePattern("Error n\xB0: ([0-9]+),");
    boost::smatch match;
    for (std::string line; std::getline(log, line);) {
      if (Contains(line, "module : CTool_QuickPDFLib") && boost::regex_search(line, match, codePattern)) {
        entries.push_back({std::stoi(match[1]), line});
      }
    }
    return entries;
  }

  testsupport::ScratchErrorLog m_ErrorLog;
  testsupport::ScopedEnvironment m_Environment;
};

TEST_F(CTool_QuickPDFLibTest, JoinsPagesWithSeparatorBeforeEveryPageAfterTheFirstTextClosesOnceAndKeepsTheSeparatorOfAnUnreadablePage) {
  // The plug-in and helper are found beside the program.
  m_Environment.Unset("FK_PDFTEXT_PLUGIN");
  m_Environment.Unset("FK_PDFTEXT_HELPER");
  CTool_QuickPDFLib tool;
  ASSERT_TRUE(tool.IsUsable());
  EXPECT_EQ("A\r\n\r\nB", TextOf(tool, WritePdf("three.pdf", {"A", "", "B"})));
  EXPECT_EQ("B", TextOf(tool, WritePdf("first-empty.pdf", {"", "B"})));
  EXPECT_EQ("", TextOf(tool, WritePdf("no-pages.pdf", {})));
  EXPECT_EQ("Caf\xC3\xA9 (1)\nTotal 20.00\r\nPage two",
            TextOf(tool, WritePdf("utf8.pdf", {"Caf\xC3\xA9 (1)\nTotal 20.00", "Page two"})));
  EXPECT_TRUE(ErrorEntries().empty());
  ASSERT_EQ(1, tool.DAOpenFile(Path("three.pdf"), ""));
  EXPECT_EQ(1, tool.DACloseFile(-1));
  EXPECT_EQ(0, tool.DACloseFile(-1));
  EXPECT_EQ("", tool.DAExtractText(-1, -1, 7));

  // An unreadable page gives record 140 and keeps its separator.
  ASSERT_TRUE(testsupport::MakePdfWithUnreadableLastPage(Path("broken-page.pdf"), {"A", "B"}));
  EXPECT_EQ("A\r\nB\r\n", TextOf(tool, Path("broken-page.pdf")));
  const std::vector<ErrorEntry> entries = ErrorEntries();
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(140, entries[0].code);
  EXPECT_TRUE(Contains(entries[0].line, "function : DAExtractText"));
  EXPECT_TRUE(Contains(entries[0].line, "Internal n\xB0: 9, page 3 cannot be read")) << entries[0].line;
}

TEST_F(CTool_QuickPDFLibTest, RefusedDocumentsGiveOneRecord121WithThePathAndEmptyText) {
  const std::vector<std::string> refused = {Path("truncated.pdf"), Path("garbage.pdf"), Path("protected.pdf"),
                                            Path("missing.pdf")};
  ASSERT_TRUE(testsupport::MakeTruncatedPdf(refused[0], {"A", "B"}, 300));
  ASSERT_TRUE(testsupport::MakeGarbageFile(refused[1], 20000));
  ASSERT_TRUE(testsupport::MakePasswordProtectedPdf(refused[2], {"secret"}));
  CTool_QuickPDFLib tool;
  // Damaged documents are not worth another try until they change; a missing file is a passing refusal.
  using Failure = CTool_QuickPDFLib::Failure;
  const std::vector<Failure> kinds = {Failure::Damaged, Failure::Damaged, Failure::Damaged, Failure::Refused};
  for (std::size_t i = 0; i < refused.size(); ++i) {
    EXPECT_EQ(0, tool.DAOpenFile(refused[i], "")) << refused[i];
    EXPECT_EQ(kinds[i], tool.LastFailure()) << refused[i];
    EXPECT_EQ("", tool.DAExtractText(-1, -1, 7));
    EXPECT_EQ(0, tool.DACloseFile(-1));
  }
  const std::vector<ErrorEntry> entries = ErrorEntries();
  ASSERT_EQ(refused.size(), entries.size());
  for (std::size_t i = 0; i < refused.size(); ++i) {
    EXPECT_EQ(121, entries[i].code);
    EXPECT_TRUE(Contains(entries[i].line, "function : DAOpenFile"));
    // The record's internal message is exactly the path.
    EXPECT_TRUE(Contains(entries[i].line, ", " + refused[i] + "\t,line")) << entries[i].line;
  }
  EXPECT_TRUE(Contains(entries[2].line, "password"));
  // A page count claimed in the billions does not take the tool down.
  ASSERT_TRUE(testsupport::MakeHugePageCountPdf(Path("huge.pdf"), 2000000000LL));
  TextOf(tool, Path("huge.pdf"));
  EXPECT_EQ("after", TextOf(tool, WritePdf("after.pdf", {"after"})));
}

// A helper that crashes, outgrows its memory cap, uses up its processor time, blocks past the
// wall-clock bound or tries to leave its sandbox (read another file, open a socket, write a
// file) loses its document only: one record 121 says why,
// nothing escapes, and a fresh helper reads the next document.
TEST_F(CTool_QuickPDFLibTest, FailingHelperLosesOnlyItsDocument) {
  using Failure = CTool_QuickPDFLib::Failure;
  struct Case {
    std::string fault, reason;
    Failure failure;
  };
  for (const Case& c : std::vector<Case>{
           {"crash", "(helper crashed (signal 11); retried at growing intervals)", Failure::Passing},
           {"spin", "(timed out after 1500 ms; retried at growing intervals)", Failure::Passing},
           {"hang", "(timed out after 2 s of wall-clock time without finishing; retried at growing intervals)",
            Failure::Passing},
           {"allocate", "memory cap of 64 MB", Failure::Passing},
           {"read", ".secret: Permission denied", Failure::Damaged},
           {"socket", "helper ended by its sandbox (signal 31", Failure::Passing},
           {"write", "helper ended by its sandbox (signal 31", Failure::Passing}}) {
    const std::string& fault = c.fault;
    // A sanitizer's allocator ends the helper on exhaustion instead of throwing std::bad_alloc,
    // and its run-time needs more than the sandbox allows, so those builds have none.
    if (FK_SANITIZER_BUILD && fault != "crash" && fault != "hang" && fault != "spin") continue;
    if (fault == "read" && !platform::ProcessSandbox::FileSystemRestrictionOffered()) {
      std::cout << "[ SKIPPED  ] no Landlock on this kernel: the helper may read other files\n";
      continue;
    }
    const std::string victim = WritePdf(fault + ".pdf", {"never read"});
    std::ofstream(victim + ".secret") << "secret";
    m_Environment.Set("FK_PDFTEXT_HELPER_FAULT", fault + ":" + victim);
    m_Environment.Set("FK_PDFTEXT_WALL_MS", fault == "hang" ? "2500" : "600000");
    if (fault == "allocate") m_Environment.Set("FK_PDFTEXT_MEMORY_MB", "64");
    const std::size_t before = ErrorEntries().size();
    CTool_QuickPDFLib tool;
    EXPECT_EQ("before", TextOf(tool, WritePdf("before.pdf", {"before"}))) << fault;
    EXPECT_EQ(0, tool.DAOpenFile(victim, "")) << fault;
    EXPECT_EQ(tool.LastFailure(), c.failure) << fault;
    EXPECT_EQ("", tool.DAExtractText(-1, -1, 7));
    EXPECT_EQ("next", TextOf(tool, WritePdf("next.pdf", {"next"}))) << fault;
    EXPECT_FALSE(std::ifstream(victim + ".written").good()) << fault;
    const std::vector<ErrorEntry> entries = ErrorEntries();
    ASSERT_EQ(before + 1, entries.size()) << fault;
    EXPECT_EQ(121, entries.back().code);
    EXPECT_TRUE(Contains(entries.back().line, c.reason)) << entries.back().line;
    EXPECT_TRUE(Contains(entries.back().line, ", " + victim + "\t,line")) << entries.back().line;
  }
}

// Documents arriving together wait for the one reader in turn, and only their own processor time
// counts against the deadline: together they take longer than it, and each keeps its text.
TEST_F(CTool_QuickPDFLibTest, ManyDocumentsReadAtOnceThroughOneReaderAllKeepTheirText) {
  m_Environment.Set("FK_PDFTEXT_DEADLINE_MS", "1000");
  m_Environment.Set("FK_PDFTEXT_HELPER_FAULT", "busy:" + m_ErrorLog.Dir().Path() + "/");  // 250 ms each
  CPdfReaderQueue queue(1);
  std::vector<CPdfReaderQueue::SResult> results(8);
  std::vector<std::thread> readers;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const std::string path = WritePdf("doc" + std::to_string(i) + ".pdf", {"text " + std::to_string(i)});
    readers.emplace_back([&queue, &results, i, path] { results[i] = queue.Read(path, false); });
  }
  for (std::thread& reader : readers) reader.join();
  for (std::size_t i = 0; i < results.size(); ++i) {
    EXPECT_TRUE(results[i].bRead) << i;
    EXPECT_EQ("text " + std::to_string(i), results[i].Text);
  }
  EXPECT_TRUE(ErrorEntries().empty());
}

// A stop abandons a hung read and the requests waiting behind it at once, records nothing
// against the documents, and every later read is abandoned too.
TEST_F(CTool_QuickPDFLibTest, AbortEndsAHungReadAndTheWaitingOnesAtOnceWithoutBlamingTheDocument) {
  const std::string hung = WritePdf("hung.pdf", {"never read"});
  m_Environment.Set("FK_PDFTEXT_DEADLINE_MS", "600000");
  m_Environment.Set("FK_PDFTEXT_HELPER_FAULT", "hang:" + hung);
  CPdfReaderQueue queue(1);
  EXPECT_EQ("before", queue.Read(WritePdf("before.pdf", {"before"}), false).Text);
  std::vector<CPdfReaderQueue::SResult> results(3);
  std::vector<std::thread> readers;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const std::string path = i == 0 ? hung : WritePdf("waiting" + std::to_string(i) + ".pdf", {"waiting"});
    readers.emplace_back([&queue, &results, i, path] { results[i] = queue.Read(path, false); });
    if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the hung one is read first
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = std::chrono::steady_clock::now();
  queue.Abort();
  for (std::thread& reader : readers) reader.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  for (const CPdfReaderQueue::SResult& result : results) {
    EXPECT_FALSE(result.bRead);
    EXPECT_EQ(CTool_QuickPDFLib::Failure::Abandoned, result.Failure);
  }
  EXPECT_EQ(CTool_QuickPDFLib::Failure::Abandoned, queue.Read(Path("before.pdf"), false).Failure);
  EXPECT_TRUE(ErrorEntries().empty());
}

TEST_F(CTool_QuickPDFLibTest, MissingOrIncompletePlugInLeavesEveryTextEmpty) {
  const std::string path = WritePdf("doc.pdf", {"text"});
  m_Environment.Set("FK_PDFTEXT_PLUGIN", Path("libnothing.so"));
  {
    CTool_QuickPDFLib tool;
    EXPECT_FALSE(tool.IsUsable());
    EXPECT_EQ(1, tool.DAOpenFile(path, ""));
    EXPECT_EQ("", tool.DAExtractText(-1, -1, 7));
    EXPECT_EQ(0, tool.DACloseFile(-1));
  }
  m_Environment.Set("FK_PDFTEXT_PLUGIN", FK_PDFTEXT_PLUGIN_PATH);
  {
    CTool_QuickPDFLib tool;
    EXPECT_EQ(0, tool.DAOpenFile(Path("absent.pdf"), ""));  // a record in between: repeats are skipped
  }
  m_Environment.Set("FK_PDFTEXT_PLUGIN", FK_PDFTEXT_INCOMPLETE_PLUGIN_PATH);
  {
    CTool_QuickPDFLib tool;
    EXPECT_FALSE(tool.IsUsable());
    EXPECT_EQ("", TextOf(tool, path));
  }
  const std::vector<ErrorEntry> entries = ErrorEntries();
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ(11001, entries[0].code);
  EXPECT_TRUE(Contains(entries[0].line, "Internal n\xB0: 11001,"));
  EXPECT_TRUE(Contains(entries[0].line, "function : CTool_QuickPDFLib"));
  EXPECT_TRUE(Contains(entries[0].line, "libnothing.so")) << entries[0].line;
  EXPECT_EQ(121, entries[1].code);
  EXPECT_EQ(11001, entries[2].code);
  EXPECT_TRUE(Contains(entries[2].line, "lacks FKPdfText_OpenFile")) << entries[2].line;
}

}  // namespace
