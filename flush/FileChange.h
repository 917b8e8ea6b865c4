#pragma once

#include <cstdint>
#include <string>

// What happened to a document: the numbers are those stored in the queued changes.
enum FileAction : int {
  kActionAdded = 1,
  kActionRemoved = 2,
  kActionModified = 3,
  kActionRenamedOld = 4,  // moved away from this path
  kActionRenamedNew = 5,  // moved to this path
};

// One change of a watched folder, queued for its catalogue's flush workers.
struct FileChange {
  std::string strPath;       // full path; "" for no change
  int nAction = 0;           // a FileAction
  std::int64_t nQueuedAt = 0;  // steady clock, milliseconds: the settling delay counts from here
  std::string strCatalogue;  // the catalogue directory the change belongs to
  std::string strReference;  // the folder's reference, for status lines
  // With kActionRemoved or kActionRenamedOld: a whole directory left (moved out, deleted);
  // every document catalogued below strPath goes.
  bool bDirectory = false;
  // With kActionRenamedNew: the path it was renamed from, both halves of the rename in one
  // change ("" when the other half was not seen).
  std::string strFromPath;
  // With strFromPath (kActionRenamedNew, or kActionAdded of a document that came with its
  // directory): the other folder's catalogue it was moved from, which may keep its text ("":
  // the same catalogue).
  std::string strFromCatalogue;
};
