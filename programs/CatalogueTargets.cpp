#include "programs/CatalogueTargets.h"

#include <algorithm>
#include <iostream>
#include <memory>

#include <boost/filesystem.hpp>

#include "catalogue/LDatabase.h"
#include "folders/Dom_FolderList.h"
#include "folders/FolderCatalogue.h"
#include "platform/FileOps.h"
#include "platform/MachineOptions.h"
#include "service/CServiceParameters.h"

namespace {

constexpr size_t kMaxOptionValue = 255;

// A missing catalogue must not look like an empty one to the people who run the archives.
bool CheckCatalogue(const std::string& catalogue, int& status) {
  boost::system::error_code ec;
  if (!boost::filesystem::is_directory(catalogue, ec)) {
    status = Fail("no catalogue directory " + catalogue);
    return false;
  }
  if (!boost::filesystem::is_regular_file(LDatabase::FilePath(catalogue), ec)) {
    status = Fail("no catalogue in " + catalogue + " (" + LDatabase::kFileName + " is missing)");
    return false;
  }
  return true;
}

std::string FolderListPath(const CServiceParameters& parameters) {
  if (parameters.IsLoaded != 0) return parameters.PathFoldersList;
  std::string folderList;
  platform::ReadMachineOption(CServiceParameters::kOptionsKey, "FolderList", kMaxOptionValue, folderList);
  return folderList;
}

bool ServiceTargets(const std::string& programDirectory, std::vector<CatalogueTarget>& targets, int& status) {
  const std::string settings = programDirectory + CServiceParameters::kConfigFileName;
  const CServiceParameters parameters(settings);
  const std::string folderList = FolderListPath(parameters);
  if (folderList.empty()) {
    status = Fail("cannot read the settings " + settings + " nor a FolderList in " + platform::MachineOptionsFilePath());
    return false;
  }
  const Dom_FolderList folders(folderList, 1);
  if (!folders.IsLoaded()) {
    status = Fail("cannot read the folder list " + folderList);
    return false;
  }
  std::vector<std::string> references = folders.GetFolderReferences();
  std::sort(references.begin(), references.end());
  for (const std::string& reference : references) {
    const FK::CFolder folder = folders.GetFolder(reference);
    const std::string catalogue = FK::CataloguePathOf(folder, parameters.PathCatalogues);
    if (folder.GetUseMIS() == 0 || catalogue.empty()) continue;
    boost::system::error_code ec;
    if (!boost::filesystem::is_regular_file(LDatabase::FilePath(catalogue), ec)) {
      std::cerr << "fkcatalogue: folder " << reference << " has no catalogue yet in " << catalogue << "\n";
      continue;
    }
    targets.push_back({reference, catalogue});
  }
  return true;
}

}  // namespace

bool ResolveTargets(const CatalogueCommand& command, std::vector<CatalogueTarget>& targets, int& status) {
  if (command.ServiceDirectory.empty()) {
    if (!CheckCatalogue(command.Catalogue, status)) return false;
    targets.push_back({"", command.Catalogue});
    return true;
  }
  return ServiceTargets(platform::WithTrailingSlash(AbsolutePath(command.ServiceDirectory)), targets, status);
}
