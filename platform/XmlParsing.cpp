#include "platform/XmlParsing.h"

#include <limits>
#include <mutex>

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

namespace platform {
namespace {

// Per-parse state reached from the SAX hook through ctxt->_private.
struct ParseState {
  bool entityDeclared = false;
};

// Entity declarations are what both the billion-laughs and the external-entity attacks need;
// the suite's files never declare any, so the parse is stopped at the first one.
void RefuseEntityDecl(void* ctx, const xmlChar*, int, const xmlChar*, const xmlChar*, xmlChar*) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  static_cast<ParseState*>(ctxt->_private)->entityDeclared = true;
  xmlStopParser(ctxt);
}

std::string ParseErrorText(xmlParserCtxtPtr ctxt) {
  const xmlError* error = xmlCtxtGetLastError(ctxt);
  if (error == nullptr || error->message == nullptr) return "not a well-formed XML document";
  std::string message = error->message;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return "parse error at line " + std::to_string(error->line) + ": " + message;
}

}  // namespace

_xmlDoc* ParseXmlSafely(const std::string& bytes, const std::string& name, const XmlParseOptions& options,
                        std::string& error) {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
  if (bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    error = "document too large: " + name;
    return nullptr;
  }
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (ctxt == nullptr) {
    error = "out of memory";
    return nullptr;
  }
  ParseState state;
  ctxt->_private = &state;
  if (options.refuseEntityDeclarations) ctxt->sax->entityDecl = RefuseEntityDecl;
  // No NOENT, DTDLOAD, DTDATTR, XINCLUDE or HUGE: nothing outside the bytes is read, entity
  // references stay references and the library's size limits stay on.
  // COMPACT keeps short texts inside their nodes: fewer allocations, the same tree.
  const int flags = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_COMPACT |
                    (options.cdataAsText ? XML_PARSE_NOCDATA : 0);
  xmlDocPtr doc = xmlCtxtReadMemory(ctxt, bytes.data(), static_cast<int>(bytes.size()), name.c_str(), nullptr, flags);
  if (state.entityDeclared) {
    error = "refused: the document declares entities (DOCTYPE)";
  } else if (doc == nullptr || !ctxt->wellFormed) {
    error = ParseErrorText(ctxt);
  }
  if (state.entityDeclared || !ctxt->wellFormed) {
    xmlFreeDoc(doc);
    doc = nullptr;
  }
  xmlFreeParserCtxt(ctxt);
  return doc;
}

}  // namespace platform
