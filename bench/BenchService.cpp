#include "bench/BenchService.h"

#include <fstream>
#include <iterator>

#include <boost/filesystem.hpp>

namespace bench {

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  return static_cast<bool>(file);
}

bool WriteServiceProgramDirectory(const std::string& programDirectory, const std::string& pathCatalogues,
                                  const std::string& extraSettings, const std::string& folderElements,
                                  std::string& errorText) {
  boost::system::error_code ec;
  boost::filesystem::create_directories(programDirectory + "locks", ec);
  boost::filesystem::create_directories(programDirectory + "catalogues", ec);
  const std::string folderList = programDirectory + "Fennrick Folders.xml";
  const std::string settings = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FKIndexingConfig>\n  <PathFoldersList>" +
                               folderList + "</PathFoldersList>\n  <PathCatalogues>" + pathCatalogues +
                               "</PathCatalogues>\n" + extraSettings + "</FKIndexingConfig>\n";
  const std::string folders = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Folders>\n  <Folder>" + folderElements +
                              "<Catalogue><UseMIS>TRUE</UseMIS></Catalogue></Folder>\n</Folders>\n";
  if (!WriteFile(programDirectory + "FKIndexingServiceConfig.xml", settings) || !WriteFile(folderList, folders)) {
    errorText = "cannot write the program directory " + programDirectory;
    return false;
  }
  return true;
}

int CountLogLines(const std::string& programDirectory, const std::string& text) {
  std::ifstream file(programDirectory + "FKIndexing.log", std::ios::binary);
  const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::string line = "\t" + text + "\r\n";
  int count = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + line.size())) ++count;
  return count;
}

}  // namespace bench
