#pragma once

#include <string>

struct _xmlDoc;

namespace platform {

// How this program parses every XML file: from bytes in memory (a path is never taken for a
// URI), nothing fetched from the network, no DTD loaded, no entity substituted, and libxml2's
// limits on depth, text size and entity amplification kept on.
struct XmlParseOptions {
  bool refuseEntityDeclarations = true;  // stop at the first entity declaration
  bool cdataAsText = false;              // CDATA sections become ordinary text nodes
};

// The parsed document (free it with xmlFreeDoc), or nullptr with error set when the bytes are
// not well-formed XML or declare an entity while that is refused. name appears in messages.
_xmlDoc* ParseXmlSafely(const std::string& bytes, const std::string& name, const XmlParseOptions& options,
                        std::string& error);

// The same, fed to the parser a chunk at a time, giving up after budgetMilliseconds: then
// overBudget is set and the document parsed so far comes back (nullptr when nothing was).
_xmlDoc* ParseXmlWithinBudget(const std::string& bytes, const std::string& name, const XmlParseOptions& options,
                              int budgetMilliseconds, std::string& error, bool& overBudget);

}  // namespace platform
