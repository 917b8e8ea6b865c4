#pragma once

#include <string>

#include "folders/CFolder.h"

namespace FK {

// Where a folder's catalogue lies, shared by the service and the tools that read catalogues.
// The catalogue directory value that keeps each folder's catalogue under its own archive path.
constexpr const char* kFolderArchivePath = "FOLDER_ARCHIVE_PATH";

// True when each folder keeps its catalogue under its own archive path ("" counts as that).
bool IsFolderArchivePath(const std::string& pathCatalogues);
// False for a reference that cannot name a catalogue directory ("", ".", "..", one with a '/').
bool IsUsableReference(const std::string& reference);
// The folder's catalogue directory for the settings' catalogue directory value (ending with
// '/' unless it is the archive-path value); "" when the folder cannot have one.
std::string CataloguePathOf(const CFolder& folder, const std::string& pathCatalogues);

}  // namespace FK
