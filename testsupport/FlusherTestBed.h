#pragma once

#include <memory>
#include <string>
#include <vector>

#include "flush/CChangeFlusher.h"
#include "flush/FileChange.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/RecordingListener.h"
#include "testsupport/ScopedEnvironment.h"

namespace testsupport {

// A change flusher over a scratch catalogue and archive, with the real PDF plug-in, a lock
// directory of its own, short delays and every status line recorded. Settings() may be changed
// until Flusher() makes the flusher.
class FlusherTestBed {
 public:
  FlusherTestBed();
  ~FlusherTestBed();

  CChangeFlusher::SSettings& Settings() { return m_Settings; }
  CChangeFlusher& Flusher();
  // Ends the flusher (as a service stop would); the next Flusher() makes a new one.
  void EndFlusher() { m_pFlusher.reset(); }
  RecordingListener& Listener() { return m_Listener; }
  const CatalogueScratch& Scratch() const { return m_Scratch; }
  const std::string& Catalogue() const { return m_Scratch.Catalogue(); }

  // A change of the file below the archive for the scratch catalogue (folder reference "REF").
  FileChange Change(const std::string& path, int action, bool directory = false) const;
  void Enqueue(const std::string& path, int action, bool wake = true) {
    Flusher().EnqueueChange(Change(path, action), wake);
  }
  std::string WriteXml(const std::string& relativePath, const std::string& word) const {
    return m_Scratch.WriteInvoice(relativePath, word);
  }
  std::string WritePdf(const std::string& relativePath, const std::string& word) const;

  // Waits (with a generous deadline) until nothing is queued for the catalogue.
  bool WaitUntilApplied(const std::string& catalogue = std::string());
  // The catalogue's documents (paths), sorted.
  std::vector<std::string> Documents(const std::string& catalogue = std::string()) const;
  std::vector<std::string> Find(const std::string& word) const { return m_Scratch.Find(word); }
  // The status lines that begin with the prefix.
  std::vector<std::string> Lines(const std::string& prefix) const;

 private:
  ScopedEnvironment m_Environment;
  CatalogueScratch m_Scratch;
  RecordingListener m_Listener;
  CChangeFlusher::SSettings m_Settings;
  std::unique_ptr<CChangeFlusher> m_pFlusher;
};

}  // namespace testsupport
