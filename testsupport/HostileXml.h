#pragma once

#include <string>

// Documents that attack an XML reader, for the tests of both of ours.
namespace testsupport {

// Nine levels of entities each expanding ten of the one below: a billion "lol"s when expanded,
// in the text and an attribute of the document element.
std::string BillionLaughsXml();
// A document whose text refers to an external entity that names the file: "before &x; after".
std::string ExternalEntityXml(const std::string& path);
// A document whose DTD pulls the file in as a parameter entity.
std::string ParameterEntityXml(const std::string& path);

}  // namespace testsupport
