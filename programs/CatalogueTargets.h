#pragma once

#include <vector>

#include "programs/CatalogueCommand.h"

// The catalogues a command reads: the one named, or with --service every catalogue of the
// folders that service indexes, found as a start of the service finds them (its settings
// file, else the options file's folder list, then the folder list). False (message printed,
// status set) when there is nothing to read.
bool ResolveTargets(const CatalogueCommand& command, std::vector<CatalogueTarget>& targets, int& status);
