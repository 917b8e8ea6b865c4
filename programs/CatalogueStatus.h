#pragma once

#include <string>

// fkcatalogue status PROGRAM_DIR [--json]: the status the service publishes in its program
// directory, for a person or as the file is. kExitOk while a service holds the program
// directory's lock, kExitNotRunning when none does (the file, if any, is then stale).
int RunStatus(const std::string& programDirectory, bool json);
