#pragma once

#include <vector>

#include "programs/CatalogueCommand.h"

// The reading commands over one catalogue or every catalogue of a service; each result names
// its folder's reference when there are folders. An unreadable catalogue is said on standard
// error and gives kExitFailure, the others are still read.
int RunCount(const CatalogueCommand& command, const std::vector<CatalogueTarget>& targets);
int RunExists(const CatalogueCommand& command, const std::vector<CatalogueTarget>& targets);
int RunList(const CatalogueCommand& command, const std::vector<CatalogueTarget>& targets);
int RunSearch(const CatalogueCommand& command, const std::vector<CatalogueTarget>& targets);
