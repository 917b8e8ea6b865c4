#pragma once

#include <string>

namespace bench {

// Writes the text to the file, replacing it; false when it cannot be written.
bool WriteFile(const std::string& path, const std::string& text);
// Makes a service program directory (with "locks" and "catalogues" below it): its settings
// file, with extraSettings inside the settings element, and a folder list of one folder
// using the service, folderElements inside its element.
bool WriteServiceProgramDirectory(const std::string& programDirectory, const std::string& pathCatalogues,
                                  const std::string& extraSettings, const std::string& folderElements,
                                  std::string& errorText);
// How many lines of the program directory's activity log hold exactly this text.
int CountLogLines(const std::string& programDirectory, const std::string& text);

}  // namespace bench
