#include "testsupport/ScratchDir.h"

#include <fstream>
#include <sstream>

#include <boost/filesystem.hpp>

namespace testsupport {

ScratchDir::ScratchDir() {
  boost::filesystem::path path =
      boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("fk-test-%%%%-%%%%-%%%%");
  boost::filesystem::create_directories(path);
  m_strPath = path.string();
}

ScratchDir::~ScratchDir() {
  boost::system::error_code ignored;
  boost::filesystem::remove_all(m_strPath, ignored);
}

std::string ScratchDir::File(const std::string& relativePath) const {
  return m_strPath + "/" + relativePath;
}

std::string ScratchDir::Write(const std::string& relativePath, const std::string& bytes) const {
  const std::string path = File(relativePath);
  boost::filesystem::create_directories(boost::filesystem::path(path).parent_path());
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
  return path;
}

std::string ScratchDir::Read(const std::string& path) const {
  std::ifstream file(path.empty() || path[0] != '/' ? File(path) : path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

}  // namespace testsupport
