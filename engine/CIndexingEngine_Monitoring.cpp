#include "engine/CIndexingEngine.h"

#include <algorithm>

#include "engine/CFolderSessions.h"
#include "folders/CFolder.h"
#include "folders/Dom_FolderList.h"

void CIndexingEngine::StopVanishedFolders(const Dom_FolderList& newList) {
  if (!m_pSessions || !m_pFolderList) return;
  const std::vector<std::string> listed = newList.GetFolderReferences();
  for (const std::string& reference : m_pFolderList->GetFolderReferences()) {
    const FK::CFolder old = m_pFolderList->GetFolder(reference);
    if (old.GetUseMIS() != 1) continue;
    if (std::find(listed.begin(), listed.end(), reference) != listed.end()) {
      const FK::CFolder now = newList.GetFolder(reference);
      if (now.GetUseMIS() == 1 && !FolderChanged(now, m_Layout.GetFolderDirectories(now))) continue;
    }
    m_pSessions->StopFolder(old);
  }
}
