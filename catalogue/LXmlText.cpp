#include "catalogue/LXmlText.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>

#include "platform/CBoundedReader.h"
#include "platform/XmlParsing.h"

namespace {

std::atomic<int> g_nParseBudgetMilliseconds{0};
constexpr size_t kBudgetedSize = 64u << 10;

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

// The end of a quoted value that begins at from (past the closing quote).
size_t SkipQuoted(const std::string& content, size_t from) {
  const size_t close = content.find(content[from], from + 1);
  return close == std::string::npos ? content.size() : close + 1;
}

// The end of a tag that begins at from; its quoted attribute values are appended to text.
size_t TakeTag(const std::string& content, size_t from, std::string& text) {
  size_t i = from + 1;
  while (i < content.size() && content[i] != '>') {
    if (content[i] != '"' && content[i] != '\'') {
      ++i;
      continue;
    }
    const size_t end = SkipQuoted(content, i);
    text += ' ';
    text.append(content, i + 1, std::max(end, i + 2) - (i + 2));
    i = end;
  }
  return std::min(i + 1, content.size());
}

std::string StripTags(const std::string& content, bool keepAttributeValues) {
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
    } else if (keepAttributeValues && content.compare(i, 2, "<!") != 0 && content.compare(i, 2, "<?") != 0) {
      i = TakeTag(content, i, text);
      text += ' ';
    } else {
      i = SkipPast(content, i, content.compare(i, 4, "<!--") == 0 ? "-->" : ">");
      text += ' ';
    }
  }
  return text;
}

// The end of a declaration ("<!DOCTYPE ...>" with its internal subset) that begins at from;
// counts its quoted strings, the most attribute defaults it can declare.
size_t SkipDeclaration(const std::string& content, size_t from, std::uint64_t& quoted) {
  int depth = 0;
  size_t i = from + 2;
  while (i < content.size()) {
    const char c = content[i];
    if (content.compare(i, 4, "<!--") == 0) {
      i = SkipPast(content, i + 4, "-->");
    } else if (c == '"' || c == '\'') {
      ++quoted;
      i = SkipQuoted(content, i);
    } else if (c == '>' && depth == 0) {
      return i + 1;
    } else {
      depth += c == '[' ? 1 : c == ']' ? -1 : 0;
      ++i;
    }
  }
  return i;
}

// What libxml2 spends beyond a linear read: each attribute of a start tag is compared with
// the tag's earlier ones and with the defaults an internal subset declares, so a tag with
// n of them costs n * n / 2. Counted the way the parser sees the markup, in linear time.
std::uint64_t AttributeChecks(const std::string& content) {
  // A quick bound first, for the ordinary document: an attribute takes at least four bytes
  // (a='') and n of them make at most n * n / 2 checks, unless an internal subset declares
  // attribute defaults.
  const std::uint64_t most = content.size() / 4;
  if (most * most / 2 <= LXmlText::kMaxAttributeChecks &&
      memmem(content.data(), content.size(), "<!ATTLIST", 9) == nullptr) {
    return 0;
  }
  std::uint64_t checks = 0;
  std::uint64_t defaults = 0;
  size_t i = content.find('<');
  while (i < content.size()) {
    if (content.compare(i, 4, "<!--") == 0) {
      i = SkipPast(content, i + 4, "-->");
    } else if (content.compare(i, 9, "<![CDATA[") == 0) {
      i = SkipPast(content, i + 9, "]]>");
    } else if (content.compare(i, 2, "<?") == 0) {
      i = SkipPast(content, i + 2, "?>");
    } else if (content.compare(i, 2, "<!") == 0) {
      i = SkipDeclaration(content, i, defaults);
    } else {
      std::uint64_t attributes = defaults;
      for (++i; i < content.size() && content[i] != '>';) {
        if (content[i] == '"' || content[i] == '\'') {
          i = SkipQuoted(content, i);
        } else {
          attributes += content[i++] == '=' ? 1 : 0;
        }
      }
      checks += attributes * attributes / 2;
    }
    if (checks > LXmlText::kMaxAttributeChecks) return checks;
    i = content.find('<', i);
  }
  return checks;
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

namespace {

// A large document is parsed a chunk at a time, so that its time can be bounded.
std::string FromLargeContent(const std::string& content, std::string& note) {
  platform::XmlParseOptions options;
  options.refuseEntityDeclarations = false;  // references stay unexpanded and are skipped
  options.cdataAsText = true;
  std::string ignored;
  const int budget =
      g_nParseBudgetMilliseconds > 0 ? g_nParseBudgetMilliseconds.load() : LXmlText::kParseBudgetMilliseconds;
  bool overBudget = false;
  xmlDocPtr doc = platform::ParseXmlWithinBudget(content, "", options, budget, ignored, overBudget);
  if (overBudget) note = "parsed for longer than " + std::to_string(budget) + " ms: the text read so far is kept";
  if (doc) {
    std::string text;
    CollectText(xmlDocGetRootElement(doc), text);
    xmlFreeDoc(doc);
    return text;
  }
  if (overBudget || LooksBinary(content)) return std::string();
  return LXmlText::ToValidUtf8(StripTags(content, false));
}

}  // namespace

std::string LXmlText::FromContent(const std::string& content) {
  std::string note;
  return FromContent(content, note);
}

std::string LXmlText::FromContent(const std::string& content, std::string& note) {
  note.clear();
  if (AttributeChecks(content) > kMaxAttributeChecks) {
    // The parser would take minutes or hours on it: the text is taken without it.
    note = "too many attributes in one element for the XML parser: text read without it";
    return LooksBinary(content) ? std::string() : ToValidUtf8(StripTags(content, true));
  }
  if (content.size() > kBudgetedSize) return FromLargeContent(content, note);
  std::string text;
  if (TextFromEvents(content, text)) return text;
  return FromContentByTree(content);
}

void LXmlText::SetParseBudget(int milliseconds) { g_nParseBudgetMilliseconds = milliseconds; }

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
  return ToValidUtf8(StripTags(content, false));
}

bool LXmlText::ReadFile(const std::string& path, std::string& text, std::string& error) {
  std::string note;
  return ReadFile(path, text, error, note);
}

bool LXmlText::ReadFile(const std::string& path, std::string& text, std::string& error, std::string& note) {
  std::string content;
  std::string why;
  if (!platform::CBoundedReader::Read(path, kMaxFileBytes, content, why)) {
    error = "cannot read " + path + ": " + why;
    return false;
  }
  text = FromContent(content, note);
  return true;
}
