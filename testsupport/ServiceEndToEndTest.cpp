#include "testsupport/ServiceEndToEndTest.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "catalogue/LSearcher.h"
#include "platform/FileOps.h"
#include "testsupport/EngineTestBed.h"

namespace testsupport {

std::string InvoiceXml(const std::string& word) {
  return "<?xml version=\"1.0\"?><Invoice><Supplier>" + word + "</Supplier></Invoice>";
}

std::string UsingFolderXml(const std::string& reference, const std::string& name, const std::string& archive,
                           const std::string& processing) {
  return "<Folder><Reference>" + reference + "</Reference><Name>" + name + "</Name><ArchivePath>" + archive +
         "</ArchivePath>" + (processing.empty() ? "" : "<ProcessingPath>" + processing + "</ProcessingPath>") +
         "<Catalogue><UseMIS>TRUE</UseMIS></Catalogue></Folder>";
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

void WriteInPieces(const std::string& path, const std::string& bytes, int pieces, int pauseMs) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  const size_t size = bytes.size() / static_cast<size_t>(pieces) + 1;
  for (size_t offset = 0; offset < bytes.size(); offset += size) {
    file.write(bytes.data() + offset, static_cast<std::streamsize>(std::min(size, bytes.size() - offset)));
    file.flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
}

int CatalogueCount(const std::string& catalogue) { return LSearcher().Count(catalogue); }

int FoundCount(const std::string& catalogue, const std::string& query) {
  const auto result = LSearcher().Search(query, catalogue);
  return result ? result->Count : 0;
}

std::set<std::string> CataloguedNames(const std::string& catalogue, const std::string& directory) {
  const std::string prefix = platform::WithTrailingSlash(directory);
  std::set<std::string> names;
  for (const auto& entry : EngineTestBed::Documents(catalogue)) {
    const std::string& path = entry.first;
    names.insert(path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path);
  }
  return names;
}

ServiceEndToEndTest::ServiceEndToEndTest() {
  m_Runner.SetEnv("FK_LOCK_DIR", m_Runner.MakeDirectory("locks"));
  m_Catalogues = m_Runner.MakeDirectory("catalogues");
}

void ServiceEndToEndTest::WriteFolderList(const std::string& folders) {
  ASSERT_TRUE(m_Runner.WriteFolderList(folders));
}

void ServiceEndToEndTest::WriteSettings(const std::string& extra, const std::string& catalogues) {
  ASSERT_TRUE(m_Runner.WriteSettings(m_Runner.PathOf("Fennrick Folders.xml"),
                                     catalogues.empty() ? m_Catalogues : catalogues, extra));
}

void ServiceEndToEndTest::Write(const std::string& relative, const std::string& content) {
  ASSERT_TRUE(m_Runner.WriteFile(relative, content)) << relative;
}

int ServiceEndToEndTest::Passes(const std::string& folderName) const {
  return m_Runner.CountLines("starting monitoring for folder " + folderName);
}

bool ServiceEndToEndTest::WaitForPasses(const std::string& folderName, int count) const {
  return m_Runner.WaitForLine("starting monitoring for folder " + folderName, kServiceDeadlineMs, count);
}

int ServiceEndToEndTest::CountContaining(const std::string& part) const {
  int count = 0;
  for (const std::string& line : m_Runner.LogMessages()) count += line.find(part) != std::string::npos ? 1 : 0;
  return count;
}

int ServiceEndToEndTest::CountStartingWith(const std::string& prefix) const {
  int count = 0;
  for (const std::string& line : m_Runner.LogMessages()) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

void ServiceEndToEndTest::StopService() { EXPECT_EQ(m_Runner.StopAndWait(kServiceDeadlineMs), 0); }

}  // namespace testsupport
