#pragma once

#include <string>

// Confines the PDF helper before it touches its first document: privileges and limits dropped,
// Landlock (where the kernel offers it) and the system-call filter. Once confined by Landlock the
// helper can read that one document only, so it ends after it and the plug-in starts another.
namespace HelperSandbox {

enum class Scope {
  OneDocument,  // Landlock holds: only documentPath (and poppler's data) can be read
  AnyDocument,  // no Landlock on this kernel: the filter and limits alone
  Failed,       // not confined: the document must not be read
};
Scope Confine(const std::string& documentPath, std::string& why);

}  // namespace HelperSandbox
