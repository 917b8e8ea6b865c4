#include "platform/XmlDocument.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include <libxml/tree.h>

#include "platform/XmlParsing.h"

namespace platform {

namespace {

std::string ToString(const xmlChar* text) {
  return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string XmlNode::GetName() const {
  if (m_pNode == nullptr) return std::string();
  switch (m_pNode->type) {
    case XML_TEXT_NODE: return "#text";
    case XML_CDATA_SECTION_NODE: return "#cdata-section";
    case XML_COMMENT_NODE: return "#comment";
    case XML_DOCUMENT_NODE: return "#document";
    default: return ToString(m_pNode->name);
  }
}

std::string XmlNode::GetParentName() const {
  if (m_pNode == nullptr || m_pNode->parent == nullptr) return std::string();
  return XmlNode(m_pNode->parent).GetName();
}

std::string XmlNode::GetTypeString() const {
  if (m_pNode == nullptr) return std::string();
  switch (m_pNode->type) {
    case XML_ELEMENT_NODE: return "element";
    case XML_ATTRIBUTE_NODE: return "attribute";
    case XML_TEXT_NODE: return "text";
    case XML_CDATA_SECTION_NODE: return "cdatasection";
    case XML_ENTITY_REF_NODE: return "entityreference";
    case XML_ENTITY_DECL:
    case XML_ENTITY_NODE: return "entity";
    case XML_PI_NODE: return "processinginstruction";
    case XML_COMMENT_NODE: return "comment";
    case XML_DOCUMENT_NODE: return "document";
    case XML_DOCUMENT_TYPE_NODE:
    case XML_DTD_NODE: return "documenttype";
    case XML_DOCUMENT_FRAG_NODE: return "documentfragment";
    case XML_NOTATION_NODE: return "notation";
    default: return "other";
  }
}

bool XmlNode::IsElement() const { return m_pNode != nullptr && m_pNode->type == XML_ELEMENT_NODE; }

bool XmlNode::HasChildNodes() const { return m_pNode != nullptr && m_pNode->children != nullptr; }

std::vector<XmlNode> XmlNode::GetChildNodes() const {
  std::vector<XmlNode> nodes;
  if (m_pNode == nullptr) return nodes;
  for (xmlNodePtr child = m_pNode->children; child != nullptr; child = child->next) {
    nodes.emplace_back(child);
  }
  return nodes;
}

std::string XmlNode::GetText() const {
  if (m_pNode == nullptr) return std::string();
  xmlChar* content = xmlNodeGetContent(m_pNode);
  std::string text = ToString(content);
  xmlFree(content);
  return text;
}

std::string XmlNode::GetTrimmedText() const {
  std::string text = GetText();
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsXmlSpace(text[begin])) ++begin;
  while (end > begin && IsXmlSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool XmlNode::GetAttribute(const std::string& name, std::string& value) const {
  value.clear();
  if (!IsElement()) return false;
  const auto* attrName = reinterpret_cast<const xmlChar*>(name.c_str());
  if (xmlHasProp(m_pNode, attrName) == nullptr) return false;
  xmlChar* content = xmlGetProp(m_pNode, attrName);
  value = ToString(content);
  xmlFree(content);
  return true;
}

XmlNode XmlNode::GetFirstChildElement(const std::string& name) const {
  if (m_pNode == nullptr) return XmlNode();
  for (xmlNodePtr child = m_pNode->children; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE && ToString(child->name) == name) return XmlNode(child);
  }
  return XmlNode();
}

XmlDocument::XmlDocument() = default;

XmlDocument::~XmlDocument() { Free(); }

void XmlDocument::Free() {
  if (m_pDoc != nullptr) xmlFreeDoc(m_pDoc);
  m_pDoc = nullptr;
}

bool XmlDocument::LoadFile(const std::string& path) {
  Free();
  // The bytes are read here, not by libxml2, so a path is never taken for a URI.
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    m_strError = "cannot open " + path;
    return false;
  }
  std::ostringstream bytes;
  bytes << file.rdbuf();
  if (file.bad()) {
    m_strError = "cannot read " + path;
    return false;
  }
  return LoadBytes(bytes.str(), path);
}

bool XmlDocument::LoadBytes(const std::string& bytes, const std::string& name) {
  Free();
  m_strError.clear();
  m_pDoc = ParseXmlSafely(bytes, name, XmlParseOptions(), m_strError);
  if (m_pDoc != nullptr && xmlDocGetRootElement(m_pDoc) == nullptr) {
    m_strError = "the document has no root element";
    Free();
  }
  return m_pDoc != nullptr;
}

XmlNode XmlDocument::GetDocumentElement() const {
  return m_pDoc ? XmlNode(xmlDocGetRootElement(m_pDoc)) : XmlNode();
}

std::vector<XmlNode> XmlDocument::GetChildNodes() const {
  std::vector<XmlNode> nodes;
  if (m_pDoc == nullptr) return nodes;
  for (xmlNodePtr child = m_pDoc->children; child != nullptr; child = child->next) {
    if (child->type != XML_DTD_NODE) nodes.emplace_back(child);
  }
  return nodes;
}

}  // namespace platform
