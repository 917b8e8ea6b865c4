#pragma once

#include <cstddef>
#include <string>

namespace platform {

// A document's bytes mapped read-only from a descriptor already open on it, for a reader that
// may open no file itself. The mapping ends with the object. One owner.
class MappedDocument {
 public:
  MappedDocument() = default;
  ~MappedDocument();
  MappedDocument(const MappedDocument&) = delete;
  MappedDocument& operator=(const MappedDocument&) = delete;

  // False with errorText set; outOfMemory when the address space (a memory cap) ran out.
  bool Map(int fd, std::string& errorText, bool& outOfMemory);
  const char* Data() const { return static_cast<const char*>(m_pData); }
  std::size_t Size() const { return m_nSize; }

 private:
  void* m_pData = nullptr;
  std::size_t m_nSize = 0;
};

}  // namespace platform
