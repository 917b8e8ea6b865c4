#pragma once

#include <string>

// Confines the PDF helper before it reads any document: privileges and limits dropped, then
// Landlock (where the kernel offers it: no file but poppler's data may be opened, since each
// document arrives as a descriptor) and the system-call filter. One way; false with why when a
// step failed, and then the helper must read nothing.
namespace HelperSandbox {

bool Confine(std::string& why);

}  // namespace HelperSandbox
