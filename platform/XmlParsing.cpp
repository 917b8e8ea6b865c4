#include "platform/XmlParsing.h"

#include <algorithm>
#include <chrono>
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

namespace {

// COMPACT keeps short texts inside their nodes: fewer allocations, the same tree.
const int kParseFlags = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_COMPACT;
constexpr size_t kChunkBytes = 64u << 10;

// A parser context set up as every parse of this program wants it, or nullptr.
xmlParserCtxtPtr NewContext(const std::string& bytes, const std::string& name, const XmlParseOptions& options,
                            ParseState& state, bool push, std::string& error) {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
  if (bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    error = "document too large: " + name;
    return nullptr;
  }
  // The first bytes tell a push parser the encoding.
  const int first = static_cast<int>(std::min<size_t>(bytes.size(), 4));
  xmlParserCtxtPtr ctxt = push ? xmlCreatePushParserCtxt(nullptr, nullptr, bytes.data(), first, name.c_str())
                               : xmlNewParserCtxt();
  if (ctxt == nullptr) {
    error = "out of memory";
    return nullptr;
  }
  ctxt->_private = &state;
  if (options.refuseEntityDeclarations) ctxt->sax->entityDecl = RefuseEntityDecl;
  return ctxt;
}

// The document when the parse went well; otherwise nullptr and error set (a document cut
// short by its budget is kept: it is well-formed as far as it was read).
xmlDocPtr FinishParse(xmlParserCtxtPtr ctxt, xmlDocPtr doc, const ParseState& state, bool keepPartial,
                      std::string& error) {
  if (state.entityDeclared) {
    error = "refused: the document declares entities (DOCTYPE)";
  } else if (doc == nullptr || !ctxt->wellFormed) {
    error = ParseErrorText(ctxt);
  }
  if (state.entityDeclared || (!ctxt->wellFormed && !keepPartial)) {
    xmlFreeDoc(doc);
    doc = nullptr;
  }
  xmlFreeParserCtxt(ctxt);
  return doc;
}

// No NOENT, DTDLOAD, DTDATTR, XINCLUDE or HUGE: nothing outside the bytes is read, entity
// references stay references and the library's size limits stay on.
int ParseFlags(const XmlParseOptions& options) { return kParseFlags | (options.cdataAsText ? XML_PARSE_NOCDATA : 0); }

}  // namespace

_xmlDoc* ParseXmlSafely(const std::string& bytes, const std::string& name, const XmlParseOptions& options,
                        std::string& error) {
  ParseState state;
  xmlParserCtxtPtr ctxt = NewContext(bytes, name, options, state, false, error);
  if (ctxt == nullptr) return nullptr;
  xmlDocPtr doc = xmlCtxtReadMemory(ctxt, bytes.data(), static_cast<int>(bytes.size()), name.c_str(), nullptr,
                                    ParseFlags(options));
  return FinishParse(ctxt, doc, state, false, error);
}

_xmlDoc* ParseXmlWithinBudget(const std::string& bytes, const std::string& name, const XmlParseOptions& options,
                              int budgetMilliseconds, std::string& error, bool& overBudget) {
  overBudget = false;
  ParseState state;
  xmlParserCtxtPtr ctxt = NewContext(bytes, name, options, state, true, error);
  if (ctxt == nullptr) return nullptr;
  xmlCtxtUseOptions(ctxt, ParseFlags(options));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMilliseconds);
  size_t offset = std::min<size_t>(bytes.size(), 4);
  do {
    const size_t length = std::min(kChunkBytes, bytes.size() - offset);
    const bool last = offset + length == bytes.size();
    xmlParseChunk(ctxt, bytes.data() + offset, static_cast<int>(length), last ? 1 : 0);
    offset += length;
    if (state.entityDeclared || !ctxt->wellFormed || last) break;
    overBudget = std::chrono::steady_clock::now() > deadline;
  } while (!overBudget);
  xmlDocPtr doc = ctxt->myDoc;
  ctxt->myDoc = nullptr;
  return FinishParse(ctxt, doc, state, overBudget, error);
}

}  // namespace platform
