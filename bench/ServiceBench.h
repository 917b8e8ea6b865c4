#pragma once

#include <string>

namespace bench {

// Runs the real service program in polling mode with every wait at 0 over one folder whose
// archive is given, and times its passes by the activity log line that ends each folder pass
// ("starting monitoring for folder <Name>"). The program directory goes below workDirectory.
class ServiceBench {
 public:
  struct Figures {
    double FirstPassSeconds = 0;   // from the start of the program to the end of the first pass
    double SecondPassSeconds = 0;  // the next pass, over the unchanged archive
    bool Completed = false;
    std::string ErrorText;
  };

  ServiceBench(const std::string& serviceBinary, const std::string& workDirectory);

  // Gives up after timeoutSeconds; stops the service (SIGTERM) in every case.
  Figures Run(const std::string& archive, int timeoutSeconds);

  // Many folders of one invoice each, the service under a descriptor limit.
  struct FolderFigures {
    double Seconds = 0;        // from the start until every folder's invoice is catalogued
    int Catalogued = 0;
    double PeakMegabytes = 0;  // the service's peak resident memory
    int PeakDescriptors = 0;   // the most descriptors seen open at once
    bool Completed = false;
    std::string ErrorText;
  };
  FolderFigures RunFolders(int folders, int descriptorLimit, int timeoutSeconds);
  // The catalogue the service writes for the archive.
  std::string CataloguePath(const std::string& archive) const;

  static constexpr const char* kFolderReference = "BENCH";
  static constexpr const char* kFolderName = "Benchmark Archive";

 private:
  bool WriteProgramDirectory(const std::string& archive, std::string& errorText) const;
  bool WriteFolders(int folders, std::string& errorText) const;
  std::string FolderCatalogue(int folder) const;
  // Lines of the activity log that end a pass of the folder.
  int CountPassLines() const;

  std::string m_strServiceBinary;
  std::string m_strProgramDirectory;
};

}  // namespace bench
