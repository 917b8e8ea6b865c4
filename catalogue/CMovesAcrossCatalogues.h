#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class CCatalogueIndexer;
class LDatabase;

// Takes the text of a PDF moved here from another folder's catalogue instead of reading it
// again: the file must be the one catalogued there, unchanged, and gone from its old path
// (CMovedDocuments::IsMovedHere), found among that catalogue's entries or its departed
// documents. A few read-only connections stay open between look-ups. One thread at a time.
class CMovesAcrossCatalogues {
 public:
  // A catalogue of the folder list and the device of one of its folder's directories.
  struct Source {
    std::string Catalogue;
    std::uint64_t Device = 0;
  };
  // Catalogues asked for one file (the last one a file came from first, then the list's order),
  // each with its connection kept open: opening one costs some twenty look-ups.
  static constexpr size_t kMaxSearched = 16;

  CMovesAcrossCatalogues();
  ~CMovesAcrossCatalogues();
  CMovesAcrossCatalogues(const CMovesAcrossCatalogues&) = delete;
  CMovesAcrossCatalogues& operator=(const CMovesAcrossCatalogues&) = delete;

  void SetSources(std::vector<Source> sources);
  // The PDF at path, not catalogued in catalogue: when it is a document moved from a source
  // on its device (only fromCatalogue when given), it is stored in catalogue through the
  // indexer with the text and time kept there (uncommitted). True when stored.
  bool Take(const std::string& path, const std::string& catalogue, CCatalogueIndexer& indexer,
            const std::string& fromCatalogue = std::string());
  const std::string& MovedFrom() const { return m_strMovedFrom; }
  // Lets the connections go (at the end of a pass, after a commit).
  void Close();

 private:
  std::vector<std::string> Candidates(const std::string& catalogue, std::uint64_t device,
                                      const std::string& fromCatalogue) const;
  LDatabase* Open(const std::string& catalogue);
  void Forget(const std::string& catalogue);

  std::vector<Source> m_Sources;
  std::list<std::pair<std::string, std::unique_ptr<LDatabase>>> m_Open;  // most recently used first
  std::string m_strLastHit;  // a moved tree comes from one catalogue: asked first
  std::string m_strMovedFrom;
};
