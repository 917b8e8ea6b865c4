#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/CEngineParameters.h"
#include "folders/CFolder.h"

class CIndexingEngine;

namespace bench {

// Drives the indexing engine's walks directly, with no pauses, over an archive directory and
// times them: a fresh walk into a new catalogue, and the pass over an unchanged tree (snapshot
// load, reconciling walk, cleaner). Catalogues and lock files go below workDirectory, which
// must outlive the object. One thread.
class CatalogueBench {
 public:
  struct FreshFigures {
    int Indexed = 0;
    double Seconds = 0;
    double CpuSeconds = 0;  // processor time of the process meanwhile: steadier on a busy machine
  };
  struct UnchangedFigures {
    int SnapshotEntries = 0;
    double SnapshotSeconds = 0;
    int Indexed = 0;      // documents the reconciling walk wrote again: 0 when nothing changed
    int LookUps = 0;         // catalogue look-ups of the reconciling walk
    int DocumentLevels = 0;  // directory levels holding documents: the walk's least look-ups
    double WalkSeconds = 0;
    double CleanerSeconds = 0;
  };
  // A bare FTS5 insert of the very same texts into a scratch database: what SQLite allows.
  struct CeilingFigures {
    int Documents = 0;
    double Seconds = 0;      // the inserts and the commit only (texts read beforehand)
    double CpuSeconds = 0;
    double ReadSeconds = 0;  // reading the files and taking their text, before the inserts
    double ReadCpuSeconds = 0;
  };
  struct PdfFigures {
    int Files = 0;
    int Pages = 0;
    int EmptyTexts = 0;   // files whose text came back empty (a missing plug-in gives all)
    bool Usable = false;  // the PDF plug-in was found
    double Seconds = 0;
  };

  explicit CatalogueBench(const std::string& workDirectory);
  ~CatalogueBench();

  // Fresh walk of archive into the catalogue "<work>/catalogues/<name>" (created empty).
  FreshFigures FreshWalk(const std::string& archive, const std::string& name);
  // A reconciling walk as the service's second pass makes it: it reads again the documents
  // written in the very second the fresh walk read them, and records a complete walk that
  // began after every file of the archive arrived.
  struct SettleFigures {
    int Indexed = 0;
    double Seconds = 0;
  };
  SettleFigures SettlePass(const std::string& archive, const std::string& name);
  // The per-folder pass of an unchanged archive against the catalogue of FreshWalk (after
  // SettlePass: the no-op pass of a running service).
  UnchangedFigures UnchangedPass(const std::string& archive, const std::string& name);
  // The documents FreshWalk would index, their texts inserted bare into "<work>/ceiling".
  CeilingFigures BareInsert(const std::string& archive);
  // Rewrites count XML documents spread over the archive with new text and a later time.
  static int ChangeDocuments(const std::string& archive, int count);
  // Writes count new XML invoices spread over the archive's document directories.
  static int AddDocuments(const std::string& archive, int count, std::uint64_t seed);
  // Text of every file through the PDF tool (open, all pages, close), pagesPerFile each.
  static PdfFigures ExtractPdfText(const std::vector<std::string>& files, int pagesPerFile);

 private:
  FK::CFolder MakeFolder(const std::string& archive, const std::string& name) const;
  std::string CataloguePath(const std::string& name) const;

  std::string m_strWorkDirectory;
  CEngineParameters m_Parameters;  // outlives m_pEngine
  std::unique_ptr<CIndexingEngine> m_pEngine;
};

// Seconds on the monotonic clock.
double NowSeconds();
// Directories below root (ORIGINALS left out) that hold ".xml" or ".pdf" files.
int CountDocumentDirectories(const std::string& root);
// The documents below root that the fresh walk takes (ORIGINALS left out), in path order.
std::vector<std::string> DocumentFiles(const std::string& root);

}  // namespace bench
