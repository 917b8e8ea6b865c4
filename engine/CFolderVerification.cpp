#include "engine/CFolderVerification.h"

#include <exception>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/CCatalogueLock.h"
#include "engine/CCatalogueLayout.h"
#include "engine/CEnginePacing.h"
#include "engine/CEngineWalkHost.h"
#include "engine/CFolderSessions.h"
#include "engine/CStatusLines.h"
#include "errors/CErrorLog.h"
#include "flush/CChangeFlusher.h"
#include "folders/CFolder.h"
#include "folders/Dom_FolderList.h"
#include "platform/CDirectoryNames.h"
#include "status/MonitorListener.h"
#include "walk/CFolderDirectoryPass.h"

namespace fs = boost::filesystem;

CFolderVerification::CFolderVerification(const CEngineParameters& parameters, CEngineWalkHost& host,
                                         CEnginePacing& pacing, CStatusLines& status,
                                         const CCatalogueLayout& layout, CFolderSessions& sessions)
    : m_Parameters(parameters),
      m_Host(host),
      m_Pacing(pacing),
      m_Status(status),
      m_Layout(layout),
      m_Sessions(sessions),
      m_nLastRun(pacing.Now()) {}

void CFolderVerification::RunWhenDue(Dom_FolderList& folderList, platform::CStopLatch* stop) {
  const std::int64_t interval = m_Parameters.VerificationIntervalSeconds;
  if (interval <= 0 || m_Pacing.Now() - m_nLastRun < interval) return;
  // The lowest priority: a pause after every second of work.
  const int slice = m_Pacing.WorkSliceMilliseconds();
  m_Pacing.SetWorkSlice(0);
  for (const std::string& reference : folderList.GetFolderReferences()) {
    if (m_Pacing.CanContinue() == 0) break;
    FK::CFolder folder = folderList.GetFolder(reference);
    // A folder not watched is reconciled by every pass already.
    if (folder.GetUseMIS() != 1 || folder.GetMonitoringStarted() != 1) continue;
    Result mends;
    if (Verify(folder, stop, mends)) {
      Report(folder, mends);
    } else if (m_Pacing.CanContinue() == 1) {
      // Taken again by the next pass, which mends or rebuilds what stood in the way.
      folder.SetMonitoringStarted(0);
      folderList.UpdateFolder(folder);
    }
    if (m_Pacing.CanContinue() == 1) {
      m_Status.KeepAlive();
      m_Pacing.WaitUnlessStopped(stop, m_Pacing.FolderPauseMilliseconds());
    }
  }
  m_Pacing.SetWorkSlice(slice);
  m_Host.SetFullReconcile(false);
  m_nLastRun = m_Pacing.Now();
}

bool CFolderVerification::Verify(const FK::CFolder& folder, platform::CStopLatch* stop, Result& mends) {
  const std::string catalogue = m_Layout.GetCataloguePath(folder);
  if (catalogue.empty()) return true;
  bool complete = false;
  {
    const CCatalogueLock lock(catalogue);
    if (!lock.IsHeld()) m_Status.Send(kMessageLine, ":sub: Catalogue " + catalogue + " not locked: " + lock.Error());
    // What the watch has queued is applied first: it is no mend.
    m_Sessions.Flusher().Refresh(catalogue, true);
    try {
      complete = VerifyDirectories(folder, catalogue, stop, mends);
    } catch (const std::exception& error) {
      m_Status.Send(kMessageLine, ":sub: :error: Verification of folder " + folder.GetReference() + ": " + error.what());
    } catch (...) {
      m_Status.Send(kMessageLine, ":sub: :error: Verification of folder " + folder.GetReference() + ": unknown error");
    }
    CCatalogueIndexer& indexer = m_Host.Indexer();
    indexer.ReleaseWriter();
    if (indexer.CorruptionSeen() || indexer.WriteFailureSeen()) {
      const std::string why =
          indexer.CorruptionSeen() ? indexer.LastError().Message : indexer.GetWriteFailure().Message;
      m_Status.Send(kMessageLine, ":sub: :error: Verification of folder " + folder.GetReference() + ": catalogue " +
                                      catalogue + " could not be read or written (" + why +
                                      "): the folder is reconciled again");
      indexer.ClearWriteFailure();
      complete = false;
    }
    m_Sessions.Flusher().Refresh(catalogue, true);
  }
  m_Sessions.Flusher().Wake(catalogue);
  return complete;
}

bool CFolderVerification::VerifyDirectories(const FK::CFolder& folder, const std::string& catalogue,
                                            platform::CStopLatch* stop, Result& mends) {
  CCatalogueIndexer& indexer = m_Host.Indexer();
  indexer.ClearCorruption();
  indexer.ClearWriteFailure();
  m_Host.SetFullReconcile(true);
  // Files that arrive from now on may still be on their way through the watch.
  const std::int64_t started = m_Pacing.Now();
  for (const std::string& directory : m_Layout.GetFolderDirectories(folder)) {
    boost::system::error_code ec;
    if (directory.empty() || !fs::is_directory(directory, ec)) continue;
    if (m_Pacing.CanContinue() == 0) return false;
    CFolderDirectoryPass pass(m_Host, folder, catalogue, stop);
    platform::CDirectoryNames listed;
    pass.ShareListings(&listed);
    pass.VerifyBefore(started);
    if (pass.Walk(directory, false) == CFolderPassHost::PassResult::Damaged || pass.WalkIncomplete()) return false;
    mends.Added += pass.Added();
    mends.Replaced += pass.Replaced();
    const std::string unc = CCatalogueLayout::GetUncPath(directory);
    const int before = indexer.CountDocumentsUnder(unc, catalogue);
    pass.Clean(unc);
    const int after = indexer.CountDocumentsUnder(unc, catalogue);
    if (before > after) mends.Removed += before - after;
  }
  return m_Pacing.CanContinue() == 1;
}

void CFolderVerification::Report(const FK::CFolder& folder, const Result& mends) {
  const std::string reference = folder.GetReference();
  const std::string counts = std::to_string(mends.Added) + " documents added, " + std::to_string(mends.Replaced) +
                             " replaced, " + std::to_string(mends.Removed) + " removed";
  m_Status.Send(kMessageLine, "Verification of folder " + reference + ": " + counts);
  Result& result = m_Results[reference];
  result.LastTime = m_Pacing.Now();
  result.Added = mends.Added;
  result.Replaced = mends.Replaced;
  result.Removed = mends.Removed;
  const std::int64_t mended = mends.Added + mends.Replaced + mends.Removed;
  result.MendedInAll += mended;
  if (mended == 0) return;
  const std::string what = "Verification of folder " + reference + ": the watch missed " + std::to_string(mended) +
                           " changes (" + counts + "), mended now";
  m_Status.Send(kMessageLine, ":error: " + what);
  FKEXCEPTION::CErrorLog::WriteErrorLog(FKEXCEPTION::CFKException(FKEXCEPTION::kErrorUnknown, 0, __LINE__,
                                                                  "CIndexingEngine", "VerifyFolder", what,
                                                                  folder.GetArchivePath(), false));
}
