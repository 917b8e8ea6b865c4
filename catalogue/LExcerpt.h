#pragma once

struct sqlite3;

// The excerpt of a search hit, "fk_excerpt(document_text)": like FTS5's
// snippet(document_text, 0, '[', ']', '...', 12), but built from a bounded part of the text
// (the tokens up to the first match, within the first kScanBytes), so that long documents
// cost no more than short ones. A document whose first match lies further in shows its
// beginning. Registered on every catalogue connection.
class LExcerpt {
 public:
  static constexpr int kTokens = 12;
  static constexpr int kScanBytes = 64 * 1024;

  // False when the connection has no FTS5.
  static bool Register(sqlite3* db);
};
