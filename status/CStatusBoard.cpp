#include "status/CStatusBoard.h"

#include <map>

void CStatusBoard::SetService(const ServiceStatus& service) {
  platform::CLockGuard lock(m_Mutex);
  std::vector<ServiceStatus::Folder> folders = std::move(m_Status.Folders);
  m_Status = service;
  m_Status.Folders = std::move(folders);
  Changed();
}

void CStatusBoard::SetSampler(Sampler sampler) {
  platform::CLockGuard lock(m_Mutex);
  m_Sampler = std::move(sampler);
}

void CStatusBoard::SetPhase(const std::string& phase) {
  platform::CLockGuard lock(m_Mutex);
  m_Status.Phase = phase;
  Changed();
}

void CStatusBoard::SetFolders(const std::vector<ServiceStatus::Folder>& folders) {
  platform::CLockGuard lock(m_Mutex);
  std::map<std::string, ServiceStatus::Folder> known;
  for (ServiceStatus::Folder& folder : m_Status.Folders) known[folder.Reference] = std::move(folder);
  m_Status.Folders.clear();
  for (const ServiceStatus::Folder& folder : folders) {
    const auto it = known.find(folder.Reference);
    if (it == known.end() || it->second.CatalogueDirectory != folder.CatalogueDirectory) {
      m_Status.Folders.push_back(folder);
      continue;
    }
    ServiceStatus::Folder kept = std::move(it->second);
    kept.Name = folder.Name;
    m_Status.Folders.push_back(std::move(kept));
  }
  Changed();
}

void CStatusBoard::PassStarted(const std::string& reference, std::int64_t now) {
  platform::CLockGuard lock(m_Mutex);
  m_strCurrent = reference;
  m_nDocumentsAtStart = m_nDocumentsDone.load();
  ServiceStatus::Folder* folder = Find(reference);
  if (folder == nullptr) return;
  folder->Phase = "reconciling";
  folder->FailedReason.clear();
  folder->LastPassStart = now;
  folder->LastPassOutcome = "running";
  Changed();
}

void CStatusBoard::Reconciling(const std::string& reference, const std::string& directory) {
  platform::CLockGuard lock(m_Mutex);
  ServiceStatus::Folder* folder = Find(reference);
  if (folder != nullptr) folder->ReconcilingDirectory = directory;
  Changed();
}

void CStatusBoard::PassEnded(const std::string& reference, std::int64_t now, const std::string& outcome,
                             std::int64_t documentsInCatalogue) {
  platform::CLockGuard lock(m_Mutex);
  m_strCurrent.clear();
  ServiceStatus::Folder* folder = Find(reference);
  if (folder == nullptr) return;
  folder->LastPassEnd = now;
  folder->LastPassOutcome = outcome;
  folder->DocumentsDone = m_nDocumentsDone.load() - m_nDocumentsAtStart;
  folder->ReconcilingDirectory.clear();
  if (documentsInCatalogue >= 0) folder->DocumentsInCatalogue = documentsInCatalogue;
  Changed();
}

void CStatusBoard::KeptBy(const std::string& reference, const std::string& polledReason) {
  platform::CLockGuard lock(m_Mutex);
  ServiceStatus::Folder* folder = Find(reference);
  if (folder == nullptr) return;
  folder->KeptBy = polledReason.empty() ? "watched" : "polled";
  folder->PolledReason = polledReason;
  Changed();
}

void CStatusBoard::Failed(const std::string& reference, const std::string& reason) {
  platform::CLockGuard lock(m_Mutex);
  ServiceStatus::Folder* folder = Find(reference);
  if (folder == nullptr) return;
  folder->Phase = "failed";
  folder->FailedReason = reason;
  Changed();
}

void CStatusBoard::Verified(const std::string& reference, std::int64_t time, std::int64_t added,
                            std::int64_t replaced, std::int64_t removed, std::int64_t mendedInAll) {
  platform::CLockGuard lock(m_Mutex);
  ServiceStatus::Folder* folder = Find(reference);
  if (folder == nullptr) return;
  folder->VerificationTime = time;
  folder->VerificationAdded = added;
  folder->VerificationReplaced = replaced;
  folder->VerificationRemoved = removed;
  folder->VerificationMendedInAll = mendedInAll;
  Changed();
}

void CStatusBoard::SetFolderPhase(const std::string& reference, const std::string& phase) {
  platform::CLockGuard lock(m_Mutex);
  ServiceStatus::Folder* folder = Find(reference);
  if (folder == nullptr) return;
  folder->Phase = phase;
  Changed();
}

void CStatusBoard::NoteError(const std::string& line, std::int64_t now) {
  platform::CLockGuard lock(m_Mutex);
  ServiceStatus::Folder* folder = FolderOfText(line);
  if (folder == nullptr) folder = Find(m_strCurrent);
  if (folder == nullptr) return;
  folder->Error.Line = line;
  folder->Error.Time = now;
  Changed();
}

void CStatusBoard::NoteWithoutText(const std::string& path) {
  platform::CLockGuard lock(m_Mutex);
  ServiceStatus::Folder* folder = FolderOfText(path);
  if (folder == nullptr) folder = Find(m_strCurrent);
  if (folder == nullptr) return;
  ServiceStatus::NoteWithoutText(*folder, path);
  Changed();
}

ServiceStatus CStatusBoard::Snapshot() {
  ServiceStatus copy;
  Sampler sampler;
  {
    platform::CLockGuard lock(m_Mutex);
    copy = m_Status;
    sampler = m_Sampler;
    ServiceStatus::Folder* current = nullptr;
    for (ServiceStatus::Folder& folder : copy.Folders) {
      if (folder.Reference == m_strCurrent) current = &folder;
    }
    if (current != nullptr) current->DocumentsDone = m_nDocumentsDone.load() - m_nDocumentsAtStart;
  }
  if (sampler) sampler(copy);
  return copy;
}

ServiceStatus::Folder* CStatusBoard::Find(const std::string& reference) {
  if (reference.empty()) return nullptr;
  for (ServiceStatus::Folder& folder : m_Status.Folders) {
    if (folder.Reference == reference) return &folder;
  }
  return nullptr;
}

// The folder a line names: "Folder REF", "folder REF" or a path in its catalogue directory.
ServiceStatus::Folder* CStatusBoard::FolderOfText(const std::string& text) {
  for (ServiceStatus::Folder& folder : m_Status.Folders) {
    for (const char* word : {"Folder ", "folder "}) {
      const std::string named = word + folder.Reference;
      const size_t at = text.find(named);
      const size_t after = at + named.size();
      if (at != std::string::npos && (after == text.size() || text[after] == ':' || text[after] == ' ')) {
        return &folder;
      }
    }
    if (!folder.CatalogueDirectory.empty() && text.find(folder.CatalogueDirectory) != std::string::npos) {
      return &folder;
    }
  }
  return nullptr;
}
