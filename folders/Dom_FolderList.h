#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "folders/CFolder.h"
#include "platform/XmlDocument.h"

// The table of all document folders, keyed by each folder's exact Reference, filled from
// the shared folder list file ("Fennrick Folders.xml"). No lock: built and used by one thread.
class Dom_FolderList {
 public:
  // loadNow runs Load() at once.
  Dom_FolderList(const std::string& filePath, int loadNow);

  // True only when a load of the file ran to its end without failure.
  bool IsLoaded() const { return m_bLoaded; }
  // The reference of every stored record, in the table's own order.
  std::vector<std::string> GetFolderReferences() const;
  // A copy of the record stored under reference; a default record when there is none.
  FK::CFolder GetFolder(const std::string& reference) const;
  // Stores a copy under record.GetReference(), replacing any earlier one.
  void UpdateFolder(const FK::CFolder& record);

  // The names of the folders that ask for the service but have no Reference (not stored).
  const std::vector<std::string>& GetFoldersWithoutReference() const { return m_FoldersWithoutReference; }

  // Reads the file into the table; failures write an error record (code 4003).
  void Load();
  // The depth-first element walk of Load over one list of sibling nodes.
  void processchildnodes(const std::vector<platform::XmlNode>& nodes);

  FK::CFolder CurrentFolder;  // the record being filled while the file is read

 private:
  void ResetCurrentFolder();
  void CommitCurrentFolder();
  void ProcessElement(const platform::XmlNode& node, const std::string& name);
  bool SetTextField(const std::string& name, const std::string& text);
  bool SetFlagField(const std::string& name, const std::string& text);
  void ReadSubFolder(const platform::XmlNode& node);
  void ReadDocumentMoving(const platform::XmlNode& node);

  std::unordered_map<std::string, FK::CFolder> m_Folders;
  bool m_bLoaded = false;
  std::string m_strFilePath;
  std::vector<std::string> m_FoldersWithoutReference;
};
