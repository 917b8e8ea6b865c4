#pragma once

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "testsupport/ServiceRunner.h"

namespace testsupport {

// A deadline only bounds a failing wait: sanitizer builds index several times slower, and the
// heavy end-to-end tests run side by side (ctest -j) slow each other several times over.
constexpr int kServiceDeadlineMs = FK_SANITIZER_BUILD ? 240000 : 90000;
// The settings element of polling mode: every folder reconciled in every pass.
constexpr const char kPollingElement[] = "<DisableMonitoring>TRUE</DisableMonitoring>";

// A small XML invoice whose supplier is the word.
std::string InvoiceXml(const std::string& word);
// A <Folder> element of a folder that uses the service, with a processing directory when one is given.
std::string UsingFolderXml(const std::string& reference, const std::string& name, const std::string& archive,
                           const std::string& processing = "");
// The bytes of a file ("" when it cannot be read).
std::string ReadAll(const std::string& path);
// Writes the bytes in `pieces` parts, flushed one by one with a pause between them, as a slow
// copy over the network does.
void WriteInPieces(const std::string& path, const std::string& bytes, int pieces, int pauseMs);
// How many documents a catalogue holds; how many a search finds.
int CatalogueCount(const std::string& catalogue);
int FoundCount(const std::string& catalogue, const std::string& query);
// The catalogued paths, those below `directory` relative to it, any other in full.
std::set<std::string> CataloguedNames(const std::string& catalogue, const std::string& directory);

// Fixture of the tests that run the real service: a program directory with its own lock
// directory and a catalogue root "catalogues/", the settings and folder list written by the
// test, and waits on the activity log.
class ServiceEndToEndTest : public ::testing::Test {
 protected:
  ServiceEndToEndTest();

  // Writes the folder list with these <Folder> elements (newer than any before, so a running
  // service reloads it).
  void WriteFolderList(const std::string& folders);
  // Writes the settings: the folder list of the program directory, the catalogues in
  // m_Catalogues unless given, and the extra elements.
  void WriteSettings(const std::string& extra = kPollingElement, const std::string& catalogues = "");
  void Configure(const std::string& folders, const std::string& extra = kPollingElement) {
    WriteFolderList(folders);
    WriteSettings(extra);
  }
  // Writes a file below the program directory (parents made).
  void Write(const std::string& relative, const std::string& content);

  // Passes over the folder so far: its lines "starting monitoring for folder NAME".
  int Passes(const std::string& folderName) const;
  bool WaitForPasses(const std::string& folderName, int count) const;
  // Lines of the activity log that hold the text, or begin with it.
  int CountContaining(const std::string& part) const;
  int CountStartingWith(const std::string& prefix) const;
  // SIGTERM; the service must end with status 0 within the deadline.
  void StopService();

  ServiceRunner m_Runner;
  std::string m_Catalogues;  // ends with '/'
};

}  // namespace testsupport
