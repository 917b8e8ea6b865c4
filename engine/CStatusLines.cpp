#include "engine/CStatusLines.h"

#include <boost/filesystem.hpp>

#include "catalogue/LIndexer.h"
#include "engine/CWorkerProgress.h"
#include "errors/CErrorLog.h"
#include "errors/CFKException.h"
#include "folders/CFolder.h"
#include "status/MonitorListener.h"

namespace {

bool IsExistingDirectory(const std::string& path) {
  boost::system::error_code ec;
  return !path.empty() && boost::filesystem::is_directory(path, ec);
}

}  // namespace

void CStatusLines::Send(int kind, const std::string& text) {
  g_WorkerProgress.Step();
  for (MonitorListener* listener : m_Listeners) listener->OnStatusMessage(kind, text);
}

void CStatusLines::SendFromAnyThread(int kind, const std::string& text) const {
  // A keep-alive from another thread would feed the watchdog for a stuck worker.
  if (kind == kMessageKeepAlive) return;
  for (MonitorListener* listener : m_Listeners) listener->OnStatusMessage(kind, text);
}

void CStatusLines::FolderCheck(const FK::CFolder& folder) {
  Send(kMessageLine, "Checking Folder " + folder.GetReference());
  Send(kMessageLine, (IsExistingDirectory(folder.GetArchivePath()) ? ":sub: " : ":sub: :error: ") +
                         folder.GetArchivePath());
  // A folder without a processing directory lacks nothing.
  if (!folder.GetProcessingPath().empty()) {
    Send(kMessageLine, (IsExistingDirectory(folder.GetProcessingPath()) ? ":sub: " : ":sub: :error: ") +
                           folder.GetProcessingPath());
  }
}

void CStatusLines::IndexingFolder(const std::string& reference) {
  Send(kMessageProgress, "Indexing Folder " + reference + "...");
}

void CStatusLines::Waiting() { Send(kMessageIdle, "Waiting for file to index..."); }

void CStatusLines::KeepAlive() { Send(kMessageKeepAlive, ""); }

void CStatusLines::Unreadable(const std::string& path, const std::string& reason) {
  if (m_UnreadableReported.size() >= kMaxUnreadableReported) m_UnreadableReported.clear();
  if (!m_UnreadableReported.insert(path).second) return;
  Send(kMessageLine, ":sub: :error: Cannot read document " + path + ": " + reason);
  FKEXCEPTION::CErrorLog::WriteErrorLog(FKEXCEPTION::CFKException(FKEXCEPTION::kErrorLoadFile, 0, __LINE__,
                                                                  "CIndexingEngine", "IndexDocument",
                                                                  path + " (" + reason + ")", path, false));
}

void CStatusLines::CatalogueFileSystem(const std::string& catalogue) {
  if (!m_ReportedFileSystems.insert(catalogue).second) return;
  if (LIndexer::UsesRollbackJournal(catalogue)) {
    Send(kMessageLine, ":sub: Catalogue " + catalogue + " lies on a network file system: it is written with a rollback journal");
  }
}
