#pragma once

#include <string>
#include <vector>

#include "testsupport/ScratchDir.h"

namespace testsupport {

// A catalogue directory "<scratch>/catalogue" and an archive directory "<scratch>/archive/"
// for the tests of the catalogue library and its tool. The destructor closes the library's
// connections to the catalogue before the directory goes.
class CatalogueScratch {
 public:
  CatalogueScratch();
  ~CatalogueScratch();

  const ScratchDir& Scratch() const { return m_Scratch; }
  const std::string& Catalogue() const { return m_strCatalogue; }
  const std::string& Docs() const { return m_strDocs; }  // ends with '/'
  // Writes a file below the archive directory (parents created); returns its path.
  std::string WriteDoc(const std::string& relativePath, const std::string& bytes) const;
  // Writes "<Invoice><Supplier>supplier</Supplier></Invoice>" below the archive directory.
  std::string WriteInvoice(const std::string& relativePath, const std::string& supplier) const;
  // Indexes the files through one writer and commits; false when one of them fails.
  bool IndexAll(const std::vector<std::string>& paths) const;
  int Count() const;
  std::vector<std::string> Find(const std::string& query) const { return FindIn(m_strCatalogue, query); }

  // The paths a search of a catalogue finds, best first; {"<null>"} when it fails.
  static std::vector<std::string> FindIn(const std::string& catalogue, const std::string& query);
  // A column of the first row a statement gives on a catalogue's database file; "" when it
  // cannot be read. Pragma runs "PRAGMA <pragma>" (integrity_check, journal_mode).
  static std::string QueryText(const std::string& catalogue, const std::string& sql, int column = 0);
  // The full-text index's own check ("integrity-check" of FTS5): "ok" or the error.
  static std::string FtsIntegrityCheck(const std::string& catalogue);
  static std::string Pragma(const std::string& catalogue, const std::string& pragma) {
    return QueryText(catalogue, "PRAGMA " + pragma);
  }

 private:
  ScratchDir m_Scratch;
  std::string m_strCatalogue;
  std::string m_strDocs;
};

}  // namespace testsupport
