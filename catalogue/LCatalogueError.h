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
};
