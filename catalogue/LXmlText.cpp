#include "catalogue/LXmlText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>

#include "platform/ErrnoText.h"
#include "platform/XmlParsing.h"

namespace {

void Append(std::string& text, const xmlChar* content) {
  if (!content || !*content) return;
  if (!text.empty()) text += ' ';
  text += reinterpret_cast<const char*>(content);
}

// Entity references are skipped: their content is never part of the text.
void CollectText(const xmlNode* node, std::string& text) {
  for (; node; node = node->next) {
    if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
      Append(text, node->content);
    } else if (node->type == XML_ELEMENT_NODE) {
      for (const xmlAttr* attr = node->properties; attr; attr = attr->next) {
        for (const xmlNode* value = attr->children; value; value = value->next) {
          if (value->type == XML_TEXT_NODE) Append(text, value->content);
        }
      }
      CollectText(node->children, text);
    }
  }
}

// The fast path: the same text as CollectText over the tree, gathered from the parser's events
// without building the tree (half the cost of a plain invoice). Adjacent character events form
// one text node, as in the tree; an element, comment or processing instruction ends it.
// Anything the tree holds differently (a DOCTYPE, an entity reference, an attribute value
// with a reference) makes it decline, and the tree is built after all.
struct EventText {
  std::string Text;
  std::string Run;  // the text node being read
  bool Declined = false;
};

EventText& StateOf(void* ctx) { return *static_cast<EventText*>(static_cast<xmlParserCtxtPtr>(ctx)->_private); }

void EndRun(EventText& state) {
  if (state.Run.empty()) return;
  if (!state.Text.empty()) state.Text += ' ';
  state.Text += state.Run;
  state.Run.clear();
}

void Decline(void* ctx) {
  StateOf(ctx).Declined = true;
  xmlStopParser(static_cast<xmlParserCtxtPtr>(ctx));
}

void OnCharacters(void* ctx, const xmlChar* characters, int length) {
  StateOf(ctx).Run.append(reinterpret_cast<const char*>(characters), static_cast<size_t>(length));
}

void OnStartElement(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*, int, const xmlChar**, int attributes,
                    int, const xmlChar** values) {
  EventText& state = StateOf(ctx);
  EndRun(state);
  for (int i = 0; i < attributes; ++i) {
    const char* begin = reinterpret_cast<const char*>(values[i * 5 + 3]);
    const char* end = reinterpret_cast<const char*>(values[i * 5 + 4]);
    // A value with a reference is kept escaped here and rebuilt as nodes in the tree.
    if (std::memchr(begin, '&', static_cast<size_t>(end - begin)) != nullptr) return Decline(ctx);
    state.Run.assign(begin, end);
    EndRun(state);
  }
}

void OnEndElement(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) { EndRun(StateOf(ctx)); }
void OnComment(void* ctx, const xmlChar*) { EndRun(StateOf(ctx)); }
void OnProcessingInstruction(void* ctx, const xmlChar*, const xmlChar*) { EndRun(StateOf(ctx)); }
void OnDoctype(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) { Decline(ctx); }
void OnReference(void* ctx, const xmlChar*) { Decline(ctx); }

// True with the text when the bytes are well-formed XML the event path can take.
bool TextFromEvents(const std::string& content, std::string& text) {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
  if (content.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return false;
  xmlParserCtxtPtr ctxt = xmlCreateMemoryParserCtxt(content.data(), static_cast<int>(content.size()));
  if (ctxt == nullptr) return false;
  xmlSAXHandler* sax = ctxt->sax;
  std::memset(sax, 0, sizeof *sax);
  sax->initialized = XML_SAX2_MAGIC;
  sax->characters = OnCharacters;
  sax->ignorableWhitespace = OnCharacters;
  sax->startElementNs = OnStartElement;
  sax->endElementNs = OnEndElement;
  sax->comment = OnComment;
  sax->processingInstruction = OnProcessingInstruction;
  sax->internalSubset = OnDoctype;
  sax->externalSubset = OnDoctype;
  sax->reference = OnReference;
  EventText state;
  ctxt->_private = &state;
  ctxt->userData = ctxt;
  // The options of the tree's parse; with NOCDATA, CDATA sections come as characters.
  xmlCtxtUseOptions(ctxt, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA);
  xmlParseDocument(ctxt);
  const bool taken = ctxt->wellFormed && !state.Declined;
  xmlFreeParserCtxt(ctxt);
  if (!taken) return false;
  EndRun(state);
  text = std::move(state.Text);
  return true;
}

bool LooksBinary(const std::string& content) {
  if (content.compare(0, 5, "%PDF-") == 0) return true;
  const size_t probe = std::min<size_t>(content.size(), 8192);
  // UTF-16 text has NUL bytes too, but it is well-formed XML and never gets here.
  return content.find('\0') < probe;
}

size_t SkipPast(const std::string& content, size_t from, const char* end) {
  const size_t found = content.find(end, from);
  return found == std::string::npos ? content.size() : found + std::char_traits<char>::length(end);
}

std::string StripTags(const std::string& content) {
  std::string text;
  text.reserve(content.size());
  size_t i = 0;
  while (i < content.size()) {
    if (content[i] != '<') {
      text += content[i++];
    } else if (content.compare(i, 9, "<![CDATA[") == 0) {
      const size_t end = std::min(content.find("]]>", i + 9), content.size());
      text.append(content, i + 9, end - (i + 9));
      text += ' ';
      i = std::min(end + 3, content.size());
    } else {
      i = SkipPast(content, i, content.compare(i, 4, "<!--") == 0 ? "-->" : ">");
      text += ' ';
    }
  }
  return text;
}

size_t Utf8SequenceLength(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  else return 0;
  if (i + length > s.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  // Overlong forms, surrogates and code points past U+10FFFF are invalid.
  if (lead == 0xE0 && byte(i + 1) < 0xA0) return 0;
  if (lead == 0xED && byte(i + 1) > 0x9F) return 0;
  if (lead == 0xF0 && byte(i + 1) < 0x90) return 0;
  if (lead == 0xF4 && byte(i + 1) > 0x8F) return 0;
  return length;
}

}  // namespace

size_t LXmlText::ValidSequenceLength(const std::string& bytes, size_t i) { return Utf8SequenceLength(bytes, i); }

std::string LXmlText::ToValidUtf8(const std::string& bytes) {
  // Nearly every text is valid already (all that libxml2 gives is): then it is only checked.
  size_t valid = 0;
  while (valid < bytes.size()) {
    if (static_cast<unsigned char>(bytes[valid]) < 0x80) {
      ++valid;
      continue;
    }
    const size_t length = Utf8SequenceLength(bytes, valid);
    if (length == 0) break;
    valid += length;
  }
  if (valid == bytes.size()) return bytes;
  std::string text;
  text.reserve(bytes.size() + 16);
  text.assign(bytes, 0, valid);
  size_t i = valid;
  while (i < bytes.size()) {
    const size_t length = Utf8SequenceLength(bytes, i);
    if (length > 0) {
      text.append(bytes, i, length);
      i += length;
      continue;
    }
    const auto latin1 = static_cast<unsigned char>(bytes[i++]);
    text += static_cast<char>(0xC0 | (latin1 >> 6));
    text += static_cast<char>(0x80 | (latin1 & 0x3F));
  }
  return text;
}

std::string LXmlText::FromContent(const std::string& content) {
  std::string text;
  if (TextFromEvents(content, text)) return text;
  return FromContentByTree(content);
}

std::string LXmlText::FromContentByTree(const std::string& content) {
  platform::XmlParseOptions options;
  options.refuseEntityDeclarations = false;  // references stay unexpanded and are skipped
  options.cdataAsText = true;
  std::string ignored;
  xmlDocPtr doc = platform::ParseXmlSafely(content, "", options, ignored);
  if (doc) {
    std::string text;
    CollectText(xmlDocGetRootElement(doc), text);
    xmlFreeDoc(doc);
    return text;
  }
  if (LooksBinary(content)) return std::string();
  return ToValidUtf8(StripTags(content));
}

bool LXmlText::ReadFile(const std::string& path, std::string& text, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot open " + path + ": " + platform::ErrnoText(errno);
    return false;
  }
  std::string content;
  char buffer[65536];
  while (content.size() < kMaxFileBytes && file.read(buffer, sizeof buffer).gcount() > 0) {
    content.append(buffer, static_cast<size_t>(file.gcount()));
  }
  if (file.bad()) {
    error = "cannot read " + path;
    return false;
  }
  if (content.size() > kMaxFileBytes) content.resize(kMaxFileBytes);
  text = FromContent(content);
  return true;
}
