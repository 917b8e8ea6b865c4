#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "catalogue/LIndexer.h"
#include "catalogue/LSearcher.h"
#include "platform/CChildProcess.h"
#include "platform/CNamedFileLock.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/NotifySocket.h"
#include "testsupport/Polling.h"
#include "testsupport/ServiceEndToEndTest.h"
#include "testsupport/ServiceRunner.h"
#include "tools/ServiceStatusFile.h"

namespace fs = boost::filesystem;

namespace {

class FkCatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Paths = {m_Scratch.WriteInvoice("2024/a \"quoted\".xml", "Acme flour"),
               m_Scratch.WriteInvoice("2024/b.xml", "Bakery flour flour"),
               m_Scratch.WriteInvoice("2024c\t\xE9\xC3\xA9.xml", "Cheese")};
    // The catalogue stays open for writing, as the service keeps it.
    ASSERT_TRUE(m_Scratch.IndexAll(m_Paths));
  }

  int Run(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {FK_CATALOGUE_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return platform::CChildProcess::Run(argv, m_Out, m_Err);
  }

  testsupport::CatalogueScratch m_Scratch;
  const std::string& m_Catalogue = m_Scratch.Catalogue();
  const std::string& m_Docs = m_Scratch.Docs();
  std::vector<std::string> m_Paths;
  std::string m_Out;
  std::string m_Err;
};

TEST_F(FkCatalogueTest, CountsListsAndFindsDocuments) {
  EXPECT_EQ(Run({"count", m_Catalogue}), 0);
  EXPECT_EQ(m_Out, "3\n");
  EXPECT_EQ(Run({"count", m_Catalogue, m_Docs + "2024/", "--json"}), 0);
  EXPECT_EQ(m_Out, "{\"count\": 2}\n");
  // A directory is a whole path component ("2024" is not the start of "2024c..."), and a
  // relative one is taken from the current directory.
  EXPECT_EQ(Run({"count", m_Catalogue, fs::relative(m_Docs + "2024", fs::current_path()).string()}), 0);
  EXPECT_EQ(m_Out, "2\n");
  EXPECT_EQ(Run({"list", m_Catalogue, m_Docs + "2024/"}), 0);
  EXPECT_EQ(m_Out, m_Paths[0] + "\t" + LSearcher::GetModificationTime(m_Paths[0]) + "\n" + m_Paths[1] + "\t" +
                       LSearcher::GetModificationTime(m_Paths[1]) + "\n");
  EXPECT_EQ(Run({"exists", m_Catalogue, m_Paths[1]}), 0);
  EXPECT_EQ(Run({"exists", m_Catalogue, m_Docs + "2024/B.xml"}), 1);
  EXPECT_EQ(Run({"search", m_Catalogue, "flour"}), 0);
  EXPECT_EQ(m_Out.substr(0, m_Paths[1].size() + 1), m_Paths[1] + "\t");  // best first
  EXPECT_NE(m_Out.find("[flour]"), std::string::npos);
  EXPECT_EQ(Run({"search", m_Catalogue, "no-such-word"}), 0);
  EXPECT_EQ(m_Out, "");
}

TEST_F(FkCatalogueTest, JsonEscapesStringsOfOddPaths) {
  EXPECT_EQ(Run({"list", m_Catalogue, "--json"}), 0);
  EXPECT_NE(m_Out.find("\"count\": 3"), std::string::npos);
  EXPECT_NE(m_Out.find("a \\\"quoted\\\".xml"), std::string::npos);
  // The tab escaped; the lone byte \xE9 (not UTF-8) as \udce9, the real "\xC3\xA9" as it is.
  EXPECT_NE(m_Out.find("c\\u0009\\udce9\xC3\xA9.xml"), std::string::npos) << m_Out;
  EXPECT_EQ(Run({"search", "--json", m_Catalogue, "cheese"}), 0);
  EXPECT_NE(m_Out.find("\"snippet\": \"[Cheese]\""), std::string::npos);
  EXPECT_EQ(Run({"exists", m_Catalogue, m_Paths[0], "--json"}), 0);
  EXPECT_NE(m_Out.find("\"exists\": true"), std::string::npos);
}

TEST_F(FkCatalogueTest, BadUsageAndMissingOrDamagedCataloguesExitWithTwo) {
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_NE(m_Out.find("Usage"), std::string::npos);
  EXPECT_EQ(Run({}), 2);
  EXPECT_EQ(Run({"frobnicate", m_Catalogue}), 2);
  EXPECT_EQ(Run({"exists", m_Catalogue}), 2);
  for (const char* blank : {"", "  ", "\"\""}) EXPECT_EQ(Run({"search", m_Catalogue, blank}), 2) << blank;
  EXPECT_EQ(Run({"search", m_Catalogue, "flour", "--limit", "0"}), 2);
  EXPECT_EQ(Run({"count", m_Catalogue, "--colour"}), 2);
  EXPECT_NE(m_Err.find("--colour"), std::string::npos);
  const std::string nowhere = m_Scratch.Scratch().File("nowhere");
  EXPECT_EQ(Run({"count", nowhere}), 2);
  EXPECT_NE(m_Err.find("no catalogue"), std::string::npos);
  EXPECT_FALSE(fs::exists(nowhere));

  LIndexer::CloseCatalogue(m_Catalogue);
  for (fs::directory_iterator it(m_Catalogue), end; it != end; ++it) fs::remove(it->path());
  m_Scratch.Scratch().Write("catalogue/catalogue.sqlite", std::string(4096, 'x'));
  for (const char* command : {"count", "list"}) {
    EXPECT_EQ(Run({command, m_Catalogue}), 2) << command;
    EXPECT_NE(m_Err.find("damaged"), std::string::npos) << m_Err;
  }
  EXPECT_EQ(Run({"search", m_Catalogue, "flour"}), 2);
  EXPECT_EQ(Run({"exists", m_Catalogue, m_Paths[0]}), 2);
}

// A program directory set up as a service's (settings, folder list, catalogues written by the
// real indexer), with no service running: the tool is what is under test.
class FkCatalogueServiceTest : public FkCatalogueTest {
 protected:
  void IndexFolder(const std::string& reference, int flourDocuments, bool useService) {
    const std::string archive = m_Service.MakeDirectory("archives/" + reference);
    std::vector<std::string> paths;
    LIndexer indexer;
    LWriter* writer = indexer.GetWriter(m_Service.MakeDirectory("catalogues/" + reference));
    for (int i = 0; i < flourDocuments; ++i) {
      const std::string path = archive + std::to_string(i) + ".xml";
      ASSERT_TRUE(m_Service.WriteFile("archives/" + reference + "/" + std::to_string(i) + ".xml",
                                      "<Invoice><Item>" + std::string(i + 1, 'x') + " flour</Item></Invoice>"));
      EXPECT_EQ(indexer.Index(writer, path), 1);
    }
    indexer.ReleaseWriter(writer);
    m_Folders += testsupport::ServiceRunner::FolderXml(reference, reference, archive, useService);
  }

  testsupport::ServiceRunner m_Service;
  std::string m_Folders;
};

TEST_F(FkCatalogueServiceTest, SearchesEveryFolderOfTheServiceWithPagesAndATrueTotal) {
  IndexFolder("alpha", 3, true);
  IndexFolder("beta", 2, true);
  IndexFolder("gamma", 4, false);  // not indexed by the service: not read
  ASSERT_TRUE(m_Service.WriteFolderList(m_Folders));
  ASSERT_TRUE(m_Service.WriteSettings(m_Service.PathOf("Fennrick Folders.xml"), m_Service.PathOf("catalogues/"), ""));
  const std::string& dir = m_Service.ProgramDirectory();
  std::set<std::string> seen;
  for (const char* offset : {"0", "2", "4"}) {
    EXPECT_EQ(Run({"search", "--service", dir, "flour", "--limit", "2", "--offset", offset, "--json"}), 0) << m_Err;
    EXPECT_NE(m_Out.find("\"total\": 5"), std::string::npos) << m_Out;
    for (size_t at = m_Out.find("\"path\": "); at != std::string::npos; at = m_Out.find("\"path\": ", at + 1)) {
      seen.insert(m_Out.substr(at, m_Out.find(',', at) - at));
    }
  }
  EXPECT_EQ(seen.size(), 5U);
  EXPECT_EQ(Run({"search", "--service", dir, "flour", "--limit", "2", "--offset", "1"}), 0);
  EXPECT_EQ(m_Err, "2 of 5 shown, from 2\n");
  for (const std::string& line : {m_Out.substr(0, m_Out.find('\n')), m_Out.substr(m_Out.find('\n') + 1)}) {
    EXPECT_TRUE(line.rfind("alpha\t", 0) == 0 || line.rfind("beta\t", 0) == 0) << m_Out;  // names its folder
  }
  EXPECT_EQ(Run({"count", "--service", dir}), 0);
  EXPECT_EQ(m_Out, "alpha\t3\nbeta\t2\n(all folders)\t5\n");
  EXPECT_EQ(Run({"exists", "--service", dir, m_Service.PathOf("archives/beta/1.xml")}), 0);
  EXPECT_EQ(m_Out, "beta\n");
  EXPECT_EQ(Run({"exists", "--service", dir, m_Service.PathOf("archives/gamma/1.xml")}), 1);
}

TEST_F(FkCatalogueServiceTest, StatusTellsARunningServiceFromAStaleOrUnusableFile) {
  const std::string& dir = m_Service.ProgramDirectory();
  const std::string file = ServiceStatusFile::PathIn(dir);
  EXPECT_EQ(Run({"status", dir}), 3);  // no service, no file
  ServiceStatus status;
  status.Pid = 4242;
  status.Phase = "watching";
  status.Folders.resize(2);
  status.Folders[0].Reference = "alpha";
  status.Folders[0].ChangesQueued = 3;
  status.Folders[1].Reference = "beta";
  status.Folders[1].KeptBy = "polled";
  status.Folders[1].PolledReason = "network file system";
  status.Folders[1].Error = {":error: cannot read /srv/beta/x.pdf", 1700000000};
  std::string why;
  ASSERT_TRUE(ServiceStatusFile::Write(file, status, why)) << why;
  {
    auto lock = platform::CNamedFileLock::AtPath(dir + "FKIndexingService.lock");
    ASSERT_TRUE(lock->TryLock());
    EXPECT_EQ(Run({"status", dir}), 0);
    EXPECT_NE(m_Out.find("watching 2 folders, 3 changes queued; last error "), std::string::npos) << m_Out;
    EXPECT_NE(m_Out.find("polled (network file system)"), std::string::npos) << m_Out;
    EXPECT_EQ(m_Out.find("stale"), std::string::npos);
    EXPECT_EQ(Run({"status", dir, "--json"}), 0);
    EXPECT_EQ(m_Out, ServiceStatusFile::ToJson(status));
  }
  EXPECT_EQ(Run({"status", dir}), 3);
  EXPECT_NE(m_Out.find("stale"), std::string::npos);
  const std::string json = ServiceStatusFile::ToJson(status);
  m_Service.WriteFile(ServiceStatus::kFileName, json.substr(0, json.size() / 2));
  EXPECT_EQ(Run({"status", dir, "--json"}), 3);
  EXPECT_EQ(m_Out, "");
  EXPECT_NE(m_Err.find("truncated"), std::string::npos) << m_Err;
  m_Service.WriteFile(ServiceStatus::kFileName, "{\"format_version\": 2}");
  EXPECT_EQ(Run({"status", dir}), 3);
  EXPECT_NE(m_Out.find("format version 2"), std::string::npos) << m_Out;
}

// The real service in monitoring mode publishes what each folder is doing, in the file and as
// systemd's STATUS= line; killed, it leaves a file the tool calls stale.
TEST_F(FkCatalogueServiceTest, TheRunningServicePublishesEachFolderAndAKilledOneLeavesAStaleStatus) {
  const std::string archive = m_Service.MakeDirectory("archives/alpha");
  ASSERT_TRUE(m_Service.WriteFile("archives/alpha/1.xml", "<Invoice><Item>flour</Item></Invoice>"));
  m_Folders = testsupport::ServiceRunner::FolderXml("alpha", "Alpha", archive, true) +
              testsupport::ServiceRunner::FolderXml("root", "Root", "/", true) +
              testsupport::ServiceRunner::FolderXml("gone", "Gone", m_Service.PathOf("archives/gone/"), true);
  ASSERT_TRUE(m_Service.WriteFolderList(m_Folders));
  ASSERT_TRUE(m_Service.WriteSettings(m_Service.PathOf("Fennrick Folders.xml"), m_Service.MakeDirectory("catalogues"), ""));
  testsupport::NotifySocket notify(m_Service.PathOf("notify"));
  m_Service.SetEnv("NOTIFY_SOCKET", notify.Path());
  std::vector<std::string> options = testsupport::ServiceRunner::FastOptions();
  options.insert(options.end(), {"--xml-settle-ms", "300"});
  ASSERT_TRUE(m_Service.Start(options));
  const std::string& dir = m_Service.ProgramDirectory();
  std::map<std::string, ServiceStatus::Folder> folders;
  const auto statusShows = [&](const std::function<bool()>& test) {
    return testsupport::PollUntil([&] {
      notify.TakeWatchdogPings();  // a full socket would drop the service's later datagrams
      const ServiceStatusFile::ReadResult read = ServiceStatusFile::Read(ServiceStatusFile::PathIn(dir));
      folders.clear();
      for (const ServiceStatus::Folder& folder : read.Status.Folders) folders[folder.Reference] = folder;
      return read.Ok && read.Status.Pid == m_Service.GetPid() && test();
    }, testsupport::kServiceDeadlineMs);
  };
  ASSERT_TRUE(statusShows([&] { return folders.size() == 3 && folders["alpha"].Phase == "watching"; }));
  EXPECT_EQ(folders["alpha"].DocumentsInCatalogue, 1);
  EXPECT_EQ(folders["alpha"].CatalogueDirectory, m_Service.PathOf("catalogues/alpha"));
  EXPECT_GE(folders["alpha"].InotifyWatches, 1);
  ASSERT_TRUE(statusShows([&] { return folders["root"].Phase == "failed" && folders["gone"].LastPassEnd != 0; }));
  EXPECT_NE(folders["root"].FailedReason.find("refused"), std::string::npos) << folders["root"].FailedReason;
  EXPECT_NE(folders["root"].Error.Line.find("directory / is refused"), std::string::npos);
  EXPECT_EQ(folders["gone"].KeptBy, "polled");
  EXPECT_EQ(folders["gone"].PolledReason, "directory missing");

  // A document still being written waits in the queue, and the status says so.
  ASSERT_TRUE(statusShows([&] { return folders["alpha"].ChangesQueued == 0; }));
  const std::string late = m_Service.PathOf("archives/alpha/late.xml");
  ASSERT_TRUE(statusShows([&] {
    m_Service.WriteFile("archives/alpha/late.xml", "<Invoice><Item>late flour</Item></Invoice>");
    return folders["alpha"].ChangesQueued >= 1;
  }));
  ASSERT_TRUE(statusShows([&] { return folders["alpha"].ChangesQueued == 0; }));
  EXPECT_TRUE(testsupport::PollUntil([&] { return testsupport::FoundCount(m_Service.PathOf("catalogues/alpha"), "late") == 1; },
                                     testsupport::kServiceDeadlineMs));
  EXPECT_EQ(Run({"status", dir}), 0);
  EXPECT_NE(m_Out.find(" 3 folders, "), std::string::npos) << m_Out;
  notify.TakeWatchdogPings();
  EXPECT_NE(notify.LastStatus().find(" 3 folders, 0 changes queued, 1 failed; last error "), std::string::npos)
      << notify.LastStatus();

  m_Service.Kill();
  EXPECT_EQ(Run({"status", dir}), 3);
  EXPECT_NE(m_Out.find("stale"), std::string::npos) << m_Out;
}

}  // namespace
