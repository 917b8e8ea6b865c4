#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/CEngineParameters.h"
#include "engine/CIndexingEngine.h"
#include "folders/CFolder.h"
#include "folders/Dom_FolderList.h"
#include "testsupport/RecordingListener.h"
#include "testsupport/ScratchDir.h"

namespace testsupport {

// An indexing engine over a temporary program directory, with catalogues kept in
// "<scratch>/catalogues/", no pauses (the folder pause too, while it lives), a clock the test
// moves and a lock directory of its own.
class EngineTestBed {
 public:
  EngineTestBed();
  ~EngineTestBed();

  // Makes the engine (after the test has adjusted Parameters()).
  CIndexingEngine& Engine();
  // Ends the engine, as a service stop would; the next Engine() makes a new one.
  void EndEngine();
  CEngineParameters& Parameters() { return m_Parameters; }
  RecordingListener& Listener() { return m_Listener; }
  const ScratchDir& Scratch() const { return m_Scratch; }
  // Every reading of the clock moves it on by this many seconds (0: frozen).
  void SetClockStep(std::int64_t seconds) { m_nClockStep = seconds; }
  // Sets the clock (seconds since 1970); it starts at 1700000000, before any file of a test.
  void SetNow(std::int64_t seconds) { m_nNow = seconds; }

  // A folder using the service, its archive "<scratch>/<reference>".
  FK::CFolder MakeFolder(const std::string& reference) const;
  // A folder table (not read from a file) holding these folders.
  std::unique_ptr<Dom_FolderList> Table(const std::vector<FK::CFolder>& folders) const;
  // How many documents the folder's catalogue holds.
  int Count(const FK::CFolder& folder);
  // Writes a small XML invoice holding the word, modified a minute ago (so that a walk in this
  // second stores its time); returns its path.
  std::string WriteInvoice(const std::string& relativePath, const std::string& word) const;
  // Writes count invoices "<directory>/<stem><i>.xml", each modified later than every file
  // written before by this call and than the present (the reconciling walk takes them newest first).
  void WriteNewerInvoices(const std::string& directory, const std::string& stem, int count);
  // One walk over the folder's archive directory as the per-folder step runs it, fresh or
  // reconciling, then a commit (and the record of a complete walk, at the bed's clock); how
  // many documents it indexed.
  int Walk(const FK::CFolder& folder, bool fresh);
  // Sets a file's modification time (seconds since 1970).
  static void SetModificationTime(const std::string& path, std::int64_t seconds);
  // Every document of the catalogue with its stored time, read through the library.
  static std::map<std::string, std::string> Documents(const std::string& catalogue,
                                                      const std::string& directory = "/");

 private:
  ScratchDir m_Scratch;
  CEngineParameters m_Parameters;
  RecordingListener m_Listener;
  std::int64_t m_nNow = 1700000000;
  std::int64_t m_nClockStep = 0;
  std::int64_t m_nNewestWritten = 0;  // modification time of the last WriteNewerInvoices file
  std::unique_ptr<CIndexingEngine> m_pEngine;
};

}  // namespace testsupport
