#include "bench/CatalogueBench.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>

#include <boost/filesystem.hpp>
#include <sqlite3.h>

#include "bench/SyntheticInvoice.h"
#include "catalogue/CCatalogueSnapshot.h"
#include "catalogue/LDatabase.h"
#include "catalogue/LXmlText.h"
#include "engine/CIndexingEngine.h"
#include "folders/CFolderLayout.h"
#include "pdf/CTool_QuickPDFLib.h"
#include "platform/CDirectoryNames.h"
#include "platform/PeakMemory.h"
#include "walk/CFolderDirectoryPass.h"

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
    if (FK::CFolderLayout::IsLeftOutName(it->path().filename().string())) {
      it.disable_recursion_pending();
      continue;
    }
    for (fs::directory_iterator file(it->path(), ec), last; !ec && file != last; file.increment(ec)) {
      if (FK::CFolderLayout::IsDocumentName(file->path().filename().string())) {
        ++directories;
        break;
      }
    }
  }
  return directories;
}

std::vector<std::string> DocumentFiles(const std::string& root) {
  std::vector<std::string> files;
  boost::system::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (fs::is_directory(it->status()) && FK::CFolderLayout::IsLeftOutName(it->path().filename().string())) {
      it.disable_recursion_pending();
    } else if (fs::is_regular_file(it->status()) && FK::CFolderLayout::IsDocumentName(it->path().filename().string())) {
      files.push_back(it->path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

CatalogueBench::CatalogueBench(const std::string& workDirectory)
    : m_strWorkDirectory(workDirectory) {
  fs::create_directories(workDirectory + "/program");
  fs::create_directories(workDirectory + "/catalogues");
  m_Parameters.ProgramDirectory = workDirectory + "/program/";
  m_Parameters.PathCatalogues = workDirectory + "/catalogues/";
  m_Parameters.DisableMonitoring = 1;
  // Measured without the pacing pauses: only the work itself is timed.
  m_Parameters.PauseMilliseconds = 0;
  m_Parameters.FolderPauseMilliseconds = 0;
  m_pEngine = std::make_unique<CIndexingEngine>(&m_Parameters);
  m_pEngine->Pacing().SetPauseMilliseconds(0);
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
  const std::string directory = CCatalogueLayout::GetUncPath(archive);
  FreshFigures figures;
  const double start = NowSeconds();
  const double cpuStart = platform::ProcessCpuSeconds();
  // As the service walks: snapshot, fresh walk, commit, and the record of a complete walk.
  CFolderDirectoryPass pass(m_pEngine->WalkHost(), folder, catalogue, nullptr);
  pass.Walk(directory, true);
  figures.Indexed = pass.Indexed();
  figures.Seconds = NowSeconds() - start;
  figures.CpuSeconds = platform::ProcessCpuSeconds() - cpuStart;
  return figures;
}

CatalogueBench::SettleFigures CatalogueBench::SettlePass(const std::string& archive, const std::string& name) {
  const std::string catalogue = CataloguePath(name);
  const FK::CFolder folder = MakeFolder(archive, name);
  SettleFigures figures;
  const double start = NowSeconds();
  CFolderDirectoryPass pass(m_pEngine->WalkHost(), folder, catalogue, nullptr);
  pass.Walk(CCatalogueLayout::GetUncPath(archive), false);
  figures.Indexed = pass.Indexed();
  figures.Seconds = NowSeconds() - start;
  return figures;
}

CatalogueBench::UnchangedFigures CatalogueBench::UnchangedPass(const std::string& archive,
                                                               const std::string& name) {
  const std::string catalogue = CataloguePath(name);
  const FK::CFolder folder = MakeFolder(archive, name);
  const std::string directory = CCatalogueLayout::GetUncPath(archive);
  UnchangedFigures figures;
  double start = NowSeconds();
  CFolderDirectoryPass pass(m_pEngine->WalkHost(), folder, catalogue, nullptr);
  platform::CDirectoryNames listed;  // as the service's pass shares its walk's listings
  pass.ShareListings(&listed);
  pass.LoadSnapshot(directory, false);
  figures.SnapshotSeconds = NowSeconds() - start;
  figures.SnapshotEntries = pass.Snapshot().GetDocumentCount();

  start = NowSeconds();
  pass.Reconcile(directory);
  figures.Indexed = pass.Indexed();
  m_pEngine->GetIndexer()->ReleaseWriter();
  figures.WalkSeconds = NowSeconds() - start;
  figures.LookUps = pass.Snapshot().GetLookUpCount();

  start = NowSeconds();
  pass.Clean(directory);
  figures.CleanerSeconds = NowSeconds() - start;
  figures.DocumentLevels = CountDocumentDirectories(archive);
  return figures;
}

namespace {

bool ExecSql(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// One transaction of plain inserts into a new FTS5 table with the catalogue's tokenizer.
bool InsertBare(const std::string& file, const std::vector<std::string>& texts) {
  LDatabase::ConfigureLibrary();  // the library as the catalogue's writer has it
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    return false;
  }
  bool ok = ExecSql(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;") &&
            ExecSql(db, "CREATE VIRTUAL TABLE t USING fts5(text, tokenize = 'unicode61 remove_diacritics 2')") &&
            ExecSql(db, "BEGIN");
  sqlite3_stmt* insert = nullptr;
  ok = ok && sqlite3_prepare_v2(db, "INSERT INTO t(rowid, text) VALUES(?1, ?2)", -1, &insert, nullptr) == SQLITE_OK;
  for (size_t i = 0; ok && i < texts.size(); ++i) {
    sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(i + 1));
    sqlite3_bind_text(insert, 2, texts[i].data(), static_cast<int>(texts[i].size()), SQLITE_STATIC);
    ok = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  ok = ok && ExecSql(db, "COMMIT");
  sqlite3_close(db);
  return ok;
}

}  // namespace

CatalogueBench::CeilingFigures CatalogueBench::BareInsert(const std::string& archive) {
  CeilingFigures figures;
  std::vector<std::string> texts;
  const std::vector<std::string> files = DocumentFiles(archive);
  const double readStart = NowSeconds();
  const double readCpuStart = platform::ProcessCpuSeconds();
  for (const std::string& file : files) {
    std::string text;
    std::string error;
    if (LXmlText::ReadFile(file, text, error)) texts.push_back(LXmlText::ToValidUtf8(text));
  }
  figures.ReadSeconds = NowSeconds() - readStart;
  figures.ReadCpuSeconds = platform::ProcessCpuSeconds() - readCpuStart;
  const std::string directory = m_strWorkDirectory + "/ceiling";
  boost::system::error_code ec;
  fs::remove_all(directory, ec);
  fs::create_directories(directory, ec);
  const double start = NowSeconds();
  const double cpuStart = platform::ProcessCpuSeconds();
  if (!InsertBare(directory + "/scratch.sqlite", texts)) return figures;
  figures.Seconds = NowSeconds() - start;
  figures.CpuSeconds = platform::ProcessCpuSeconds() - cpuStart;
  figures.Documents = static_cast<int>(texts.size());
  fs::remove_all(directory, ec);
  return figures;
}

int CatalogueBench::ChangeDocuments(const std::string& archive, int count) {
  std::vector<std::string> files = DocumentFiles(archive);
  files.erase(std::remove_if(files.begin(), files.end(),
                             [](const std::string& f) { return fs::path(f).extension() != ".xml"; }),
              files.end());
  if (files.empty() || count <= 0) return 0;
  // A later time than any the archive has, as a file saved again would get.
  const std::time_t later = std::time(nullptr) + 120;
  int changed = 0;
  const size_t step = std::max<size_t>(1, files.size() / static_cast<size_t>(count));
  for (size_t i = 0; i < files.size() && changed < count; i += step, ++changed) {
    std::ofstream(files[i], std::ios::app) << "<!-- corrected -->\n<Correction>amended " << changed
                                           << "</Correction>\n";
    boost::system::error_code ec;
    fs::last_write_time(files[i], later, ec);
  }
  return changed;
}

int CatalogueBench::AddDocuments(const std::string& archive, int count, std::uint64_t seed) {
  std::vector<std::string> directories;
  for (const std::string& file : DocumentFiles(archive)) {
    const std::string directory = fs::path(file).parent_path().string();
    if (directories.empty() || directories.back() != directory) directories.push_back(directory);
  }
  if (directories.empty()) return 0;
  const std::time_t later = std::time(nullptr) + 240;
  int added = 0;
  for (; added < count; ++added) {
    const SyntheticInvoice invoice(seed, 9000000 + added, 2030, 1 + added % 12);
    const std::string path = directories[static_cast<size_t>(added) % directories.size()] + "/" +
                             invoice.FileStem() + "-added.xml";
    std::ofstream(path, std::ios::trunc) << invoice.Xml();
    boost::system::error_code ec;
    fs::last_write_time(path, later, ec);
  }
  return added;
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
