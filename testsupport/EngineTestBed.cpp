#include "testsupport/EngineTestBed.h"

#include <cstdlib>
#include <ctime>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/CCatalogueSnapshot.h"
#include "catalogue/LSearcher.h"
#include "walk/CFolderDirectoryPass.h"

namespace testsupport {

EngineTestBed::EngineTestBed() {
  boost::filesystem::create_directories(m_Scratch.File("program"));
  boost::filesystem::create_directories(m_Scratch.File("catalogues"));
  boost::filesystem::create_directories(m_Scratch.File("locks"));
  setenv("FK_LOCK_DIR", m_Scratch.File("locks").c_str(), 1);
  m_Parameters.ProgramDirectory = m_Scratch.File("program/");
  m_Parameters.PathCatalogues = m_Scratch.File("catalogues/");
  m_Parameters.DisableMonitoring = 1;
  m_Parameters.PauseMilliseconds = 0;
  m_Parameters.FolderPauseMilliseconds = 0;
}

EngineTestBed::~EngineTestBed() {
  m_pEngine.reset();
  CIndexingEngine::UnlockCatalogue();
}

CIndexingEngine& EngineTestBed::Engine() {
  if (!m_pEngine) {
    m_pEngine = std::make_unique<CIndexingEngine>(&m_Parameters);
    m_pEngine->AddListener(&m_Listener);
    m_pEngine->SetPauseMilliseconds(0);
    m_pEngine->SetClock([this] { return m_nNow += m_nClockStep; });
  }
  return *m_pEngine;
}

void EngineTestBed::EndEngine() {
  m_pEngine.reset();
  CIndexingEngine::UnlockCatalogue();
}

FK::CFolder EngineTestBed::MakeFolder(const std::string& reference) const {
  FK::CFolder folder;
  folder.SetReference(reference);
  folder.SetName("Folder " + reference);
  folder.SetArchivePath(m_Scratch.File(reference));
  folder.SetUseMIS(1);
  boost::filesystem::create_directories(folder.GetArchivePath());
  return folder;
}

std::unique_ptr<Dom_FolderList> EngineTestBed::Table(const std::vector<FK::CFolder>& folders) const {
  auto table = std::make_unique<Dom_FolderList>(m_Scratch.File("none.xml"), 0);
  for (const FK::CFolder& folder : folders) table->UpdateFolder(folder);
  return table;
}

int EngineTestBed::Count(const FK::CFolder& folder) { return LSearcher().Count(Engine().GetCataloguePath(folder)); }

std::string EngineTestBed::WriteInvoice(const std::string& relativePath, const std::string& word) const {
  const std::string path = m_Scratch.Write(relativePath, "<?xml version=\"1.0\"?><Invoice><Supplier>" + word +
                                                             "</Supplier><Amount>12.50</Amount></Invoice>");
  // A file last written in the second it is read is stored with an empty time (read again).
  SetModificationTime(path, std::time(nullptr) - 60);
  return path;
}

void EngineTestBed::WriteNewerInvoices(const std::string& directory, const std::string& stem, int count) {
  if (m_nNewestWritten == 0) m_nNewestWritten = std::time(nullptr) + 1000;
  for (int i = 0; i < count; ++i) {
    SetModificationTime(WriteInvoice(directory + "/" + stem + std::to_string(i) + ".xml", "Word"), ++m_nNewestWritten);
  }
}

int EngineTestBed::Walk(const FK::CFolder& folder, bool fresh) {
  CIndexingEngine& engine = Engine();
  const std::string catalogue = engine.GetCataloguePath(folder);
  boost::filesystem::create_directories(catalogue);
  CFolderDirectoryPass pass(engine, folder, catalogue, nullptr);
  pass.Walk(folder.GetArchivePath(), fresh);
  return pass.Indexed();
}

void EngineTestBed::SetModificationTime(const std::string& path, std::int64_t seconds) {
  boost::filesystem::last_write_time(path, static_cast<std::time_t>(seconds));
}

std::map<std::string, std::string> EngineTestBed::Documents(const std::string& catalogue,
                                                            const std::string& directory) {
  std::map<std::string, std::string> documents;
  LSearcher searcher;
  std::unique_ptr<LSearcher::Result> result = searcher.Search("path:\"" + directory + "\"", catalogue);
  if (!result) return documents;
  for (size_t i = 0; i < result->Paths.size() && i < result->Times.size(); ++i) {
    documents[result->Paths[i]] = result->Times[i];
  }
  return documents;
}

}  // namespace testsupport
