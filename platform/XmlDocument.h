#pragma once

#include <memory>
#include <string>
#include <vector>

struct _xmlDoc;
struct _xmlNode;

namespace platform {

// A non-owning handle on one node of an XmlDocument; valid while the document lives.
// A default-constructed handle is null: every query on it gives an empty answer.
class XmlNode {
 public:
  XmlNode() = default;
  explicit XmlNode(_xmlNode* node) : m_pNode(node) {}

  bool IsNull() const { return m_pNode == nullptr; }
  // Element name, or "#text", "#comment", "#cdata-section", a processing instruction's target.
  std::string GetName() const;
  // Name of the parent node ("#document" for the document element, "" for none).
  std::string GetParentName() const;
  // "element", "text", "cdatasection", "comment", "processinginstruction", "entityreference", ...
  std::string GetTypeString() const;
  bool IsElement() const;
  bool HasChildNodes() const;
  std::vector<XmlNode> GetChildNodes() const;
  // The concatenated text of the node and all its descendants, UTF-8.
  std::string GetText() const;
  // The same with leading and trailing XML white space (space, tab, CR, LF) removed.
  std::string GetTrimmedText() const;
  // True and the value when the element has the attribute; false and "" otherwise.
  bool GetAttribute(const std::string& name, std::string& value) const;
  // The first child element of that exact name; a null handle when there is none.
  XmlNode GetFirstChildElement(const std::string& name) const;

 private:
  _xmlNode* m_pNode = nullptr;
};

// One parsed XML file. Parsing is safe against hostile files: no network, no external
// DTD or entity is loaded, and a document that declares entities is refused.
// Text comes back as UTF-8 whatever the file's encoding (UTF-8, UTF-16 with BOM, declared legacy).
class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Reads and parses the file; false with GetError() set when it cannot be read or parsed.
  bool LoadFile(const std::string& path);
  // Parses a document held in memory (raw bytes in any supported encoding).
  bool LoadBytes(const std::string& bytes, const std::string& name);
  bool IsLoaded() const { return m_pDoc != nullptr; }
  // Why the last load failed, e.g. "parse error at line 3: ..."; "" after a success.
  const std::string& GetError() const { return m_strError; }

  XmlNode GetDocumentElement() const;
  // The top-level nodes: the document element, comments and processing instructions.
  std::vector<XmlNode> GetChildNodes() const;

 private:
  void Free();

  _xmlDoc* m_pDoc = nullptr;
  std::string m_strError;
};

}  // namespace platform
