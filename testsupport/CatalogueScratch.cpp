#include "testsupport/CatalogueScratch.h"

#include <boost/filesystem.hpp>
#include <sqlite3.h>

#include "catalogue/LIndexer.h"
#include "catalogue/LSearcher.h"

namespace testsupport {

CatalogueScratch::CatalogueScratch()
    : m_strCatalogue(m_Scratch.File("catalogue")), m_strDocs(m_Scratch.File("archive/")) {
  boost::filesystem::create_directories(m_strCatalogue);
  boost::filesystem::create_directories(m_strDocs);
}

CatalogueScratch::~CatalogueScratch() { LIndexer::CloseCatalogue(m_strCatalogue); }

std::string CatalogueScratch::WriteDoc(const std::string& relativePath, const std::string& bytes) const {
  return m_Scratch.Write("archive/" + relativePath, bytes);
}

std::string CatalogueScratch::WriteInvoice(const std::string& relativePath, const std::string& supplier) const {
  return WriteDoc(relativePath, "<Invoice><Supplier>" + supplier + "</Supplier></Invoice>");
}

bool CatalogueScratch::IndexAll(const std::vector<std::string>& paths) const {
  LIndexer indexer;
  LWriter* writer = indexer.GetWriter(m_strCatalogue);
  bool indexed = writer != nullptr;
  for (const std::string& path : paths) indexed = indexer.Index(writer, path) == 1 && indexed;
  indexer.ReleaseWriter(writer);
  return indexed;
}

int CatalogueScratch::Count() const { return LSearcher().Count(m_strCatalogue); }

std::vector<std::string> CatalogueScratch::FindIn(const std::string& catalogue, const std::string& query) {
  const auto result = LSearcher().Search(query, catalogue);
  return result ? result->Paths : std::vector<std::string>{"<null>"};
}

std::string CatalogueScratch::QueryText(const std::string& catalogue, const std::string& sql, int column) {
  sqlite3* db = nullptr;
  std::string answer;
  const std::string file = catalogue + "/catalogue.sqlite";
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, column) != nullptr) {
      answer = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return answer;
}

std::string CatalogueScratch::FtsIntegrityCheck(const std::string& catalogue) {
  sqlite3* db = nullptr;
  const std::string file = catalogue + "/catalogue.sqlite";
  std::string answer = "cannot open " + file;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 10000);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, "INSERT INTO document_text(document_text) VALUES('integrity-check')", nullptr,
                                nullptr, &error);
    answer = rc == SQLITE_OK ? "ok" : (error ? error : sqlite3_errstr(rc));
    sqlite3_free(error);
  }
  sqlite3_close(db);
  return answer;
}

}  // namespace testsupport
