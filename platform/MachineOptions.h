#pragma once

#include <string>

namespace platform {

// The machine-wide options file that stands in for the registry: an INI file whose section
// names are registry key names, e.g. [Software\Larkvale Application\FKIndexingService\Options]
// with FolderList=/srv/fennrick/Fennrick Folders.xml. Its path is $FK_OPTIONS_FILE when set,
// else /etc/fkindexingservice/options.ini.
std::string MachineOptionsFilePath();

// Opens the key: false when the file cannot be read or has no such section (names compared
// ignoring case, as the registry does). When it opens, value is the named value, or "" when
// the value is missing or longer than maxLength characters.
bool ReadMachineOption(const std::string& key, const std::string& name, size_t maxLength,
                       std::string& value);

}  // namespace platform
