#include "engine/CIndexingEngine.h"

#include <algorithm>
#include <exception>
#include <fstream>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/CCatalogueLock.h"
#include "catalogue/LIndexer.h"
#include "engine/CFolderSessions.h"
#include "engine/CatalogueMarkers.h"
#include "flush/CChangeFlusher.h"
#include "folders/CFolder.h"
#include "platform/CFileSystemType.h"
#include "status/CStatusBoard.h"
#include "status/MonitorListener.h"
#include "walk/CFolderDirectoryPass.h"

namespace fs = boost::filesystem;

namespace {

// The reconciling walk's early stop would skip for good what a walk cut short left out.
const char* const kWalkMarker = CatalogueMarkers::kWalkIncomplete;

std::string ReadWalkMarker(const std::string& catalogue) {
  std::ifstream marker(catalogue + "/" + kWalkMarker);
  std::string kind;
  marker >> kind;
  return kind;
}

void WriteWalkMarker(const std::string& catalogue, bool fresh) {
  std::ofstream(catalogue + "/" + kWalkMarker, std::ios::trunc) << (fresh ? "fresh" : "reconcile") << "\n";
}

void RemoveWalkMarker(const std::string& catalogue) {
  boost::system::error_code ec;
  fs::remove(catalogue + "/" + kWalkMarker, ec);
}

}  // namespace

// The folder's catalogue directory, or "" when the folder cannot be indexed (said, and noted
// as failed).
std::string CIndexingEngine::CatalogueToPass(FK::CFolder& folder) {
  if (!CCatalogueLayout::IsUsableReference(folder.GetReference())) {
    SendStatusMessage(kMessageLine, ":sub: :error: Reference \"" + folder.GetReference() + "\" of folder " +
                      folder.GetName() + " is unusable as a catalogue name");
    FolderFailed(folder, "reference unusable as a catalogue name");
    return std::string();
  }
  const std::string catalogue = m_Layout.GetCataloguePath(folder);
  if (catalogue.empty()) {
    SendStatusMessage(kMessageLine, ":sub: :error: No Archive Directory for " + folder.GetReference());
    FolderFailed(folder, "no archive directory");
    return std::string();
  }
  // Checked before the catalogue is made: with catalogues kept in the archive, an archive
  // of "/" would get a catalogue directory at the top of the machine. Said once per folder
  // list in monitoring mode, once per pass in polling mode.
  if (IsRefusedDirectory(folder, folder.GetArchivePath(), folder.GetMonitoringStarted() == 0)) {
    FolderFailed(folder, "directory " + folder.GetArchivePath() + " is refused");
    return std::string();
  }
  const std::string refused = m_Layout.RefusedCatalogueReason(folder, catalogue);
  if (!refused.empty()) {
    SendStatusMessage(kMessageLine, ":error: " + refused + ": folder " + folder.GetReference() + " is not indexed");
    FolderFailed(folder, refused);
    return std::string();
  }
  return catalogue;
}

void CIndexingEngine::ProcessFolder(FK::CFolder& folder, int cleaner, platform::CStopLatch* stop) {
  m_bFolderPassFailed = false;
  m_bFolderPolled = false;
  const std::string catalogue = CatalogueToPass(folder);
  if (catalogue.empty()) return;
  bool fresh = false;
  if (!PrepareCatalogue(folder, catalogue, fresh)) {
    FolderFailed(folder, "catalogue " + catalogue + " cannot be prepared");
    return;
  }
  const std::string interrupted = ReadWalkMarker(catalogue);
  if (interrupted == "fresh") fresh = true;
  m_pWalkHost->SetFullReconcile(!fresh && !interrupted.empty());
  if (!fresh && folder.GetMonitoringStarted() == 1) return;
  m_Status.CatalogueFileSystem(catalogue);
  IsRefusedDirectory(folder, folder.GetProcessingPath(), true);  // said here; the walks leave it out
  FolderPassStarted(folder);
  std::string polledReason;
  {
    const CCatalogueLock lock(catalogue);
    if (!lock.IsHeld()) SendStatusMessage(kMessageLine, ":sub: Catalogue " + catalogue + " not locked: " + lock.Error());
    // Watching starts before the walks, so that nothing changed during them is missed: while
    // the catalogue is locked the changes only queue, and they are applied at the end.
    if (m_pSessions && !m_pSessions->Watch(folder, catalogue, &polledReason)) m_bFolderPolled = true;
    GuardedFolderPass(folder, catalogue, fresh, cleaner, stop);
    if (m_pSessions) m_pSessions->Flusher().Refresh(catalogue, true);
  }
  // A change queued between the drain and the unlock waits for no later one.
  if (m_pSessions) m_pSessions->Flusher().Wake(catalogue);
  FolderPassEnded(folder, catalogue, polledReason);
  SendStatusMessage(kMessageLine, "starting monitoring for folder " + folder.GetName());
  if (CanContinue() == 1) {
    m_Status.KeepAlive();
    m_Pacing.WaitUnlessStopped(stop, m_Pacing.FolderPauseMilliseconds());
  }
}

bool CIndexingEngine::IsRefusedDirectory(const FK::CFolder& folder, const std::string& directory, bool say) {
  const std::string why = platform::CFileSystemType::WhyRefusedAsFolderDirectory(directory);
  if (why.empty()) return false;
  if (say) {
    SendStatusMessage(kMessageLine,
                      ":error: Folder " + folder.GetReference() + ": directory " + directory + " is refused: " + why);
  }
  return true;
}

bool CIndexingEngine::PrepareCatalogue(FK::CFolder& folder, const std::string& catalogue, bool& fresh) {
  boost::system::error_code ec;
  if (!fs::is_directory(catalogue, ec)) {
    // A catalogue deleted from outside may still have connections open to its unlinked
    // database: what they wrote would be lost. Its flush queue goes too; the fresh walk
    // catalogues everything it had queued.
    if (m_pSessions) m_pSessions->Flusher().Remove(catalogue);
    m_pIndexer->ReleaseWriter();
    LIndexer::CloseCatalogue(catalogue);
    fs::create_directories(catalogue, ec);
    if (ec) {
      SendStatusMessage(kMessageLine,
                        ":sub: :error: Cannot create catalogue directory " + catalogue + ": " + ec.message());
      m_bFolderPassFailed = true;
      return false;
    }
    fresh = true;
  } else if (LIndexer::TakeReplaced(catalogue)) {
    if (!StartCatalogueAgain(catalogue)) return false;
    fresh = true;
  } else if (m_Layout.IsCatalogueMarkedForDeletion(catalogue)) {
    if (m_pSessions) m_pSessions->StopFolder(folder);
    folder.SetMonitoringStarted(0);
    EmptyCatalogue(catalogue);
    fresh = true;
  }
  return true;
}

void CIndexingEngine::GuardedFolderPass(const FK::CFolder& folder, const std::string& catalogue, bool fresh,
                                        int cleaner, platform::CStopLatch* stop) {
  // A library error inside one folder's pass ends that pass only: the lock is released by
  // the caller and the next folder is processed.
  try {
    m_pIndexer->ClearCorruption();
    m_pIndexer->ClearWriteFailure();
    if (RunFolderPass(folder, catalogue, fresh, cleaner, stop) == CFolderPassHost::PassResult::Damaged) {
      RebuildDamagedCatalogue(folder, catalogue, cleaner, stop);
    }
    m_pIndexer->ReleaseWriter();
    ReportWriteFailure(catalogue);
    return;
  } catch (const std::exception& error) {
    SendStatusMessage(kMessageLine, ":sub: :error: Folder " + folder.GetReference() + ": " + error.what());
  } catch (...) {
    SendStatusMessage(kMessageLine, ":sub: :error: Folder " + folder.GetReference() + ": unknown error");
  }
  m_bFolderPassFailed = true;
  // The writer may hold the failed pass's transaction open: say so when it cannot be let go.
  const std::string notReleased = ":sub: :error: Catalogue " + catalogue + ": writer not released: ";
  try {
    m_pIndexer->ReleaseWriter();
    ReportWriteFailure(catalogue);
  } catch (const std::exception& error) {
    SendStatusMessage(kMessageLine, notReleased + error.what());
  } catch (...) {
    SendStatusMessage(kMessageLine, notReleased + "unknown error");
  }
}

void CIndexingEngine::RebuildDamagedCatalogue(const FK::CFolder& folder, const std::string& catalogue,
                                              int cleaner, platform::CStopLatch* stop) {
  const std::string detail = m_pIndexer->LastError().Message;
  if (m_pIndexer->LastError().Replaced) {
    LIndexer::TakeReplaced(catalogue);
    if (!StartCatalogueAgain(catalogue)) return;
  } else {
    const std::string aside = MoveDamagedCatalogueAside(catalogue);
    if (aside.empty()) {
      SendStatusMessage(kMessageLine,
                        ":error: Damaged catalogue " + catalogue + " (" + detail + ") could not be moved aside");
      m_bFolderPassFailed = true;
      return;
    }
    SendStatusMessage(kMessageLine,
                      ":error: Damaged catalogue " + catalogue + " (" + detail + ") moved aside to " + aside);
  }
  m_pIndexer->ClearCorruption();
  if (RunFolderPass(folder, catalogue, true, cleaner, stop) == CFolderPassHost::PassResult::Damaged) {
    SendStatusMessage(kMessageLine, ":sub: :error: Folder " + folder.GetReference() + ": catalogue " + catalogue +
                      " is still damaged: " + m_pIndexer->LastError().Message);
    m_pIndexer->ReleaseWriter();
    m_bFolderPassFailed = true;
  }
}

bool CIndexingEngine::StartCatalogueAgain(const std::string& catalogue) {
  SendStatusMessage(kMessageLine, ":error: Catalogue " + catalogue +
                                      ": its file was removed or replaced while the service ran: it is built again");
  // What is left at the path (a file put there, a log of the removed database) is no part of
  // the new catalogue: an old write-ahead log would even be replayed into it.
  const std::string aside = MoveDamagedCatalogueAside(catalogue, false);
  if (aside.empty()) {
    SendStatusMessage(kMessageLine, ":sub: :error: The files left of catalogue " + catalogue +
                                        " could not be moved aside");
    m_bFolderPassFailed = true;
    return false;
  }
  if (aside != catalogue) SendStatusMessage(kMessageLine, ":sub: What was left of it was moved aside to " + aside);
  return true;
}

CFolderPassHost::PassResult CIndexingEngine::RunFolderPass(const FK::CFolder& folder,
                                                           const std::string& catalogue, bool fresh,
                                                           int cleaner, platform::CStopLatch* stop) {
  const std::vector<std::string> directories = m_Layout.GetFolderDirectories(folder);
  WriteWalkMarker(catalogue, fresh);
  for (const std::string& directory : directories) {
    if (CanContinue() == 0 || m_pIndexer->WriteFailureSeen()) break;
    // No processing directory is an ordinary folder, not a missing directory.
    if (directory.empty() && &directory != &directories.front()) continue;
    boost::system::error_code ec;
    if (directory.empty() || !fs::is_directory(directory, ec)) {
      SendStatusMessage(kMessageLine, "directory " + directory + " doesn't exist");
      continue;
    }
    if (m_pBoard != nullptr) m_pBoard->Reconciling(folder.GetReference(), directory);
    if (CFolderDirectoryPass(*m_pWalkHost, folder, catalogue, stop).Walk(directory, fresh) == CFolderPassHost::PassResult::Damaged) {
      return CFolderPassHost::PassResult::Damaged;
    }
  }
  if (CanContinue() == 1 && !m_pIndexer->CorruptionSeen() && !m_pIndexer->WriteFailureSeen()) {
    RemoveWalkMarker(catalogue);
  }
  for (const std::string& directory : directories) {
    // An empty directory name would stand for the whole catalogue in the cleaner.
    if (CanContinue() == 0 || m_pIndexer->CorruptionSeen() || m_pIndexer->WriteFailureSeen()) break;
    if (cleaner != 0 && !directory.empty()) {
      CFolderDirectoryPass(*m_pWalkHost, folder, catalogue, stop).Clean(CCatalogueLayout::GetUncPath(directory));
    }
  }
  return m_pIndexer->CorruptionSeen() ? CFolderPassHost::PassResult::Damaged : CFolderPassHost::PassResult::Done;
}

void CIndexingEngine::ReportWriteFailure(const std::string& catalogue) {
  if (!m_pIndexer->WriteFailureSeen()) return;
  SendStatusMessage(kMessageLine, ":error: Catalogue " + catalogue + " cannot be written: " +
                    m_pIndexer->GetWriteFailure().Message +
                    "; its documents are taken again at the next pass");
  m_pIndexer->ClearWriteFailure();
  m_bFolderPassFailed = true;
}
