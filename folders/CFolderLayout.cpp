#include "folders/CFolderLayout.h"

#include "platform/FileOps.h"

namespace FK {

namespace {

bool EqualsIgnoringCase(std::string_view text, std::string_view lowerWord) {
  if (text.size() != lowerWord.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != lowerWord[i]) return false;
  }
  return true;
}

// The extension of a name with its dot ("" when none).
std::string_view ExtensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

// Some directory component of relative (all of it, or all but its last) has a left-out name.
bool AnyLeftOutName(std::string_view relative, bool lastIsDirectory) {
  size_t start = 0;
  while (start < relative.size()) {
    const size_t slash = relative.find('/', start);
    if (slash == std::string_view::npos && !lastIsDirectory) return false;
    const size_t end = slash == std::string_view::npos ? relative.size() : slash;
    if (CFolderLayout::IsLeftOutName(relative.substr(start, end - start))) return true;
    if (slash == std::string_view::npos) return false;
    start = slash + 1;
  }
  return false;
}

}  // namespace

CFolderLayout::CFolderLayout(const CFolder& folder, const std::string& catalogue, const std::string& root)
    : m_strRoot(platform::WithTrailingSlash(root)) {
  const std::string normalRoot = platform::NormalPath(root);
  std::vector<std::string> walked;
  for (const std::string& directory : {folder.GetArchivePath(), folder.GetProcessingPath()}) {
    if (!directory.empty()) walked.push_back(platform::NormalPath(directory));
  }
  for (const std::string& directory :
       {folder.GetScanningPath(), folder.GetOriginalPath(), folder.GetEInvoicesPath(), catalogue}) {
    if (directory.empty()) continue;
    const std::string normal = platform::NormalPath(directory);
    bool isWalked = false;
    for (const std::string& folderDirectory : walked) isWalked = isWalked || folderDirectory == normal;
    if (isWalked || normal == normalRoot || !platform::IsPathUnder(normal, normalRoot)) continue;
    m_LeftOutBelow.push_back(normal.substr(normalRoot == "/" ? 1 : normalRoot.size() + 1));
  }
}

bool CFolderLayout::IsLeftOutName(std::string_view directoryName) {
  return EqualsIgnoringCase(directoryName, "originals") || EqualsIgnoringCase(directoryName, "catalogue_is");
}

bool CFolderLayout::IsDocumentName(std::string_view fileName) {
  const size_t slash = fileName.rfind('/');
  if (slash != std::string_view::npos) fileName.remove_prefix(slash + 1);
  const std::string_view extension = ExtensionOf(fileName);
  if (!EqualsIgnoringCase(extension, ".xml") && !EqualsIgnoringCase(extension, ".pdf")) return false;
  return !EqualsIgnoringCase(ExtensionOf(fileName.substr(0, fileName.size() - extension.size())), ".fk$");
}

bool CFolderLayout::HasLeftOutNameBelow(std::string_view root, std::string_view path) {
  if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0) return false;
  path.remove_prefix(root.size());
  if (!path.empty() && path.front() == '/') path.remove_prefix(1);
  return AnyLeftOutName(path, false);
}

bool CFolderLayout::IsLeftOutDirectory(std::string_view relative) const {
  while (!relative.empty() && relative.back() == '/') relative.remove_suffix(1);
  if (relative.empty()) return false;
  if (AnyLeftOutName(relative, true)) return true;
  const std::string path(relative);
  for (const std::string& leftOut : m_LeftOutBelow) {
    if (platform::IsPathUnder(path, leftOut)) return true;
  }
  return false;
}

bool CFolderLayout::IsDocument(std::string_view relative) const {
  if (!IsDocumentName(relative)) return false;
  const size_t slash = relative.rfind('/');
  return slash == std::string_view::npos || !IsLeftOutDirectory(relative.substr(0, slash));
}

std::string_view CFolderLayout::RelativeOf(std::string_view path) const {
  if (path.size() < m_strRoot.size() || path.compare(0, m_strRoot.size(), m_strRoot) != 0) return std::string_view();
  return path.substr(m_strRoot.size());
}

}  // namespace FK
