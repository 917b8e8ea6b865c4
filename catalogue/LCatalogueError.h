#pragma once

#include <string>

// The last library failure of an LIndexer or LSearcher: empty Message when none.
struct LCatalogueError {
  int SqliteCode = 0;
  bool Corrupt = false;  // the catalogue database is damaged (not a database, malformed)
  std::string Message;
  // Index: the document's file exists but could not be read; it is catalogued with no text
  // and no time, so that the next pass takes it again.
  bool Unreadable = false;
  // The database's file was removed or replaced at its path while the process had it open (then
  // Corrupt is set too: the catalogue is built again, as a damaged one is).
  bool Replaced = false;
};
