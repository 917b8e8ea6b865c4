#include "bench/CatalogueBench.h"

#include <chrono>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/CCatalogueSnapshot.h"
#include "monitoring/CIndexingEngine.h"
#include "monitoring/EngineGlobals.h"
#include "pdf/CTool_QuickPDFLib.h"
#include "service/CServiceParameters.h"

namespace fs = boost::filesystem;

namespace bench {

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int CountDocumentDirectories(const std::string& root) {
  int directories = 0;
  boost::system::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (!fs::is_directory(it->status())) continue;
    if (it->path().filename() == "ORIGINALS" || it->path().filename() == "Catalogue_IS") {
      it.disable_recursion_pending();
      continue;
    }
    for (fs::directory_iterator file(it->path(), ec), last; !ec && file != last; file.increment(ec)) {
      const std::string extension = file->path().extension().string();
      if (extension == ".xml" || extension == ".pdf") {
        ++directories;
        break;
      }
    }
  }
  return directories;
}

CatalogueBench::CatalogueBench(const std::string& workDirectory)
    : m_strWorkDirectory(workDirectory),
      m_pParameters(std::make_unique<CServiceParameters>(workDirectory + "/no-settings.xml")) {
  fs::create_directories(workDirectory + "/program");
  fs::create_directories(workDirectory + "/catalogues");
  m_pParameters->ProgramDirectory = workDirectory + "/program/";
  m_pParameters->PathCatalogues = workDirectory + "/catalogues/";
  m_pParameters->DisableMonitoring = 1;
  // Measured without the pacing pauses: only the work itself is timed.
  g_nPauseMilliseconds = 0;
  g_nFolderPauseMilliseconds = 0;
  g_nCycleWaitMilliseconds = 0;
  m_pEngine = std::make_unique<CIndexingEngine>(m_pParameters.get());
  m_pEngine->SetPauseMilliseconds(0);
}

CatalogueBench::~CatalogueBench() {
  m_pEngine.reset();
}

std::string CatalogueBench::CataloguePath(const std::string& name) const {
  return m_strWorkDirectory + "/catalogues/" + name;
}

FK::CFolder CatalogueBench::MakeFolder(const std::string& archive, const std::string& name) const {
  FK::CFolder folder;
  folder.SetReference(name);
  folder.SetName("Benchmark " + name);
  folder.SetArchivePath(archive);
  folder.SetUseMIS(1);
  return folder;
}

CatalogueBench::FreshFigures CatalogueBench::FreshWalk(const std::string& archive, const std::string& name) {
  const std::string catalogue = CataloguePath(name);
  boost::system::error_code ec;
  fs::remove_all(catalogue, ec);
  fs::create_directories(catalogue, ec);
  const FK::CFolder folder = MakeFolder(archive, name);
  const std::string directory = CIndexingEngine::GetUncPath(archive);
  FreshFigures figures;
  const double start = NowSeconds();
  // As the service walks: snapshot, fresh walk, commit, and the record of a complete walk.
  m_pEngine->WalkFolderDirectory(folder, directory, catalogue, true, nullptr, &figures.Indexed);
  figures.Seconds = NowSeconds() - start;
  return figures;
}

CatalogueBench::SettleFigures CatalogueBench::SettlePass(const std::string& archive, const std::string& name) {
  const std::string catalogue = CataloguePath(name);
  const FK::CFolder folder = MakeFolder(archive, name);
  SettleFigures figures;
  const double start = NowSeconds();
  m_pEngine->WalkFolderDirectory(folder, CIndexingEngine::GetUncPath(archive), catalogue, false, nullptr,
                                 &figures.Indexed);
  figures.Seconds = NowSeconds() - start;
  return figures;
}

CatalogueBench::UnchangedFigures CatalogueBench::UnchangedPass(const std::string& archive,
                                                               const std::string& name) {
  const std::string catalogue = CataloguePath(name);
  const FK::CFolder folder = MakeFolder(archive, name);
  const std::string directory = CIndexingEngine::GetUncPath(archive);
  UnchangedFigures figures;
  double start = NowSeconds();
  CCatalogueSnapshot snapshot;
  snapshot.Load(directory, catalogue);
  figures.SnapshotSeconds = NowSeconds() - start;
  figures.SnapshotEntries = snapshot.GetDocumentCount();

  start = NowSeconds();
  m_pEngine->ReconcileDirectory(directory, catalogue, folder, snapshot, nullptr, &figures.Indexed);
  m_pEngine->GetIndexer()->ReleaseWriter();
  figures.WalkSeconds = NowSeconds() - start;
  figures.LookUps = snapshot.GetLookUpCount();

  start = NowSeconds();
  m_pEngine->CleanCatalogue(directory, catalogue, nullptr);
  figures.CleanerSeconds = NowSeconds() - start;
  figures.DocumentLevels = CountDocumentDirectories(archive);
  return figures;
}

CatalogueBench::PdfFigures CatalogueBench::ExtractPdfText(const std::vector<std::string>& files,
                                                          int pagesPerFile) {
  PdfFigures figures;
  CTool_QuickPDFLib tool;
  figures.Usable = tool.IsUsable();
  const double start = NowSeconds();
  for (const std::string& file : files) {
    std::string text;
    if (tool.DAOpenFile(file, "") != 0) {
      text = tool.DAExtractText(-1, -1, 7);
      tool.DACloseFile(-1);
    }
    ++figures.Files;
    figures.Pages += pagesPerFile;
    if (text.empty()) ++figures.EmptyTexts;
  }
  figures.Seconds = NowSeconds() - start;
  return figures;
}

}  // namespace bench
