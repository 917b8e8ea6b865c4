#include "testsupport/FlusherTestBed.h"

#include <algorithm>

#include <boost/filesystem.hpp>

#include "engine/CIndexingEngine.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/PdfMaker.h"
#include "testsupport/Polling.h"

namespace testsupport {

FlusherTestBed::FlusherTestBed() {
  boost::filesystem::create_directories(m_Scratch.Scratch().File("locks"));
  m_Environment.Set("FK_LOCK_DIR", m_Scratch.Scratch().File("locks"));
  m_Environment.Set("FK_PDFTEXT_PLUGIN", FK_PDFTEXT_PLUGIN_PATH);
  m_Environment.Set("FK_PDFTEXT_HELPER", FK_PDFTEXT_HELPER_PATH);
  m_Environment.Unset("FK_PDFTEXT_HELPER_FAULT");
  m_Settings.nXmlSettleMilliseconds = 0;
  m_Settings.nOtherSettleMilliseconds = 0;
  m_Settings.nPauseMilliseconds = 20;
  m_Settings.nRetryFirstMilliseconds = 50;
  m_Settings.nRetryLongestMilliseconds = 200;
  m_Settings.bDebug = true;
}

FlusherTestBed::~FlusherTestBed() {
  EndFlusher();
  CIndexingEngine::UnlockCatalogue();
}

CChangeFlusher& FlusherTestBed::Flusher() {
  if (!m_pFlusher) {
    m_pFlusher = std::make_unique<CChangeFlusher>(
        m_Settings, [this](int kind, const std::string& text) { m_Listener.OnStatusMessage(kind, text); });
  }
  return *m_pFlusher;
}

FileChange FlusherTestBed::Change(const std::string& path, int action, bool directory) const {
  FileChange change;
  change.strPath = path;
  change.nAction = action;
  change.strCatalogue = Catalogue();
  change.strReference = "REF";
  change.bDirectory = directory;
  return change;
}

std::string FlusherTestBed::WritePdf(const std::string& relativePath, const std::string& word) const {
  const std::string path = m_Scratch.Docs() + relativePath;
  boost::filesystem::create_directories(boost::filesystem::path(path).parent_path());
  MakePdf(path, {"Invoice " + word});
  return path;
}

bool FlusherTestBed::WaitUntilApplied(const std::string& catalogue) {
  const std::string& which = catalogue.empty() ? Catalogue() : catalogue;
  return PollUntil([&] { return Flusher().QueuedCount(which) == 0; }, 60000);
}

std::vector<std::string> FlusherTestBed::Documents(const std::string& catalogue) const {
  std::vector<std::string> paths;
  for (const auto& entry : EngineTestBed::Documents(catalogue.empty() ? Catalogue() : catalogue)) {
    paths.push_back(entry.first);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::vector<std::string> FlusherTestBed::Lines(const std::string& prefix) const {
  std::vector<std::string> lines;
  for (const auto& message : m_Listener.Messages()) {
    if (message.second.rfind(prefix, 0) == 0) lines.push_back(message.second);
  }
  return lines;
}

}  // namespace testsupport
