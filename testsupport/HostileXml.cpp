#include "testsupport/HostileXml.h"

namespace testsupport {

std::string BillionLaughsXml() {
  std::string xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY l0 \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    xml += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) xml += "&l" + std::to_string(i - 1) + ";";
    xml += "\">";
  }
  return xml + "]>\n<r a=\"&l9;\">&l9;</r>";
}

std::string ExternalEntityXml(const std::string& path) {
  return "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + path + "\">]>\n<r>before &x; after</r>";
}

std::string ParameterEntityXml(const std::string& path) {
  return "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY % p SYSTEM \"file://" + path + "\"> %p;]>\n<r>text</r>";
}

}  // namespace testsupport
