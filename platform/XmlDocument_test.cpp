#include "platform/XmlDocument.h"

#include <gtest/gtest.h>

#include "testsupport/HostileXml.h"
#include "testsupport/ScratchDir.h"

namespace {

// The UTF-16 bytes of a text, with a byte-order mark.
std::string Utf16(const std::u16string& text, bool bigEndian) {
  std::string out = bigEndian ? std::string("\xFE\xFF") : std::string("\xFF\xFE");
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    out += bigEndian ? std::string{high, low} : std::string{low, high};
  }
  return out;
}

}  // namespace

TEST(XmlDocumentTest, NodesTextAndAttributesAndClearErrorsForBrokenOrMissingFiles) {
  testsupport::ScratchDir dir;
  platform::XmlDocument doc;
  EXPECT_FALSE(doc.LoadFile(dir.Write("bad.xml", "<Folders><Folder></Folders>")));
  EXPECT_NE(doc.GetError().find("line 1"), std::string::npos) << doc.GetError();
  EXPECT_FALSE(doc.IsLoaded());
  EXPECT_TRUE(doc.GetDocumentElement().IsNull());
  EXPECT_FALSE(doc.LoadFile(dir.Write("empty.xml", "")));
  EXPECT_FALSE(doc.GetError().empty());
  EXPECT_FALSE(doc.LoadFile(dir.File("missing.xml")));
  EXPECT_NE(doc.GetError().find("cannot open"), std::string::npos);

  ASSERT_TRUE(doc.LoadBytes("<?xml version=\"1.0\"?>\n<!-- top --><Folders><Folder a=\"1\">\n"
                            "  <Name>  Acme <b>Ltd</b> </Name><![CDATA[x<y]]><?pi data?><!-- c --></Folder></Folders>",
                            "f.xml"))
      << doc.GetError();
  const platform::XmlNode folder = doc.GetDocumentElement().GetFirstChildElement("Folder");
  const platform::XmlNode name = folder.GetFirstChildElement("Name");
  EXPECT_EQ(name.GetText(), "  Acme Ltd ");
  EXPECT_EQ(name.GetTrimmedText(), "Acme Ltd");
  std::string value = "stale";
  EXPECT_TRUE(folder.GetAttribute("a", value));
  EXPECT_EQ(value, "1");
  EXPECT_FALSE(folder.GetAttribute("A", value));
  EXPECT_EQ(value, "");
  EXPECT_TRUE(folder.GetFirstChildElement("Missing").IsNull());
}

TEST(XmlDocumentTest, EncodingsComeBackAsUtf8) {
  testsupport::ScratchDir dir;
  const std::string expected = "caf\xC3\xA9 \xE2\x82\xAC";
  const std::u16string utf16Doc = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><r n=\"caf\u00E9\">caf\u00E9 \u20AC</r>";
  const std::vector<std::pair<std::string, std::string>> files = {
      {"utf8", "\xEF\xBB\xBF<r n=\"caf\xC3\xA9\">caf\xC3\xA9 \xE2\x82\xAC</r>"},
      {"utf16le", Utf16(utf16Doc, false)},
      {"utf16be", Utf16(utf16Doc, true)},
      {"cp1252", "<?xml version=\"1.0\" encoding=\"windows-1252\"?><r n=\"caf\xE9\">caf\xE9 \x80</r>"},
  };
  for (const auto& file : files) {
    platform::XmlDocument doc;
    ASSERT_TRUE(doc.LoadFile(dir.Write(file.first, file.second))) << file.first << doc.GetError();
    EXPECT_EQ(doc.GetDocumentElement().GetText(), expected) << file.first;
    std::string attribute;
    EXPECT_TRUE(doc.GetDocumentElement().GetAttribute("n", attribute));
    EXPECT_EQ(attribute, "caf\xC3\xA9") << file.first;
  }
  platform::XmlDocument latin1;
  ASSERT_TRUE(latin1.LoadFile(dir.Write("latin1", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>caf\xE9 \xFF</r>")));
  EXPECT_EQ(latin1.GetDocumentElement().GetText(), "caf\xC3\xA9 \xC3\xBF");
}

TEST(XmlDocumentTest, HostileDocumentsAreRefusedWithoutReadingOtherFiles) {
  testsupport::ScratchDir dir;
  const std::string secret = dir.Write("secret.txt", "TOPSECRET");
  dir.Write("secret.dtd", "<!ENTITY x SYSTEM \"" + secret + "\">");
  const std::vector<std::string> refused = {
      testsupport::BillionLaughsXml(), testsupport::ExternalEntityXml(secret), testsupport::ParameterEntityXml(secret),
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"http://127.0.0.1:9/x\">]><r>&x;</r>",
  };
  for (const std::string& bytes : refused) {
    platform::XmlDocument doc;
    EXPECT_FALSE(doc.LoadFile(dir.Write("hostile.xml", bytes))) << bytes;
    EXPECT_NE(doc.GetError().find("declares entities"), std::string::npos) << doc.GetError();
  }
  // An external DTD is never loaded, so its entity stays empty (or the document is refused).
  platform::XmlDocument external;
  if (external.LoadFile(dir.Write("ext.xml", "<!DOCTYPE r SYSTEM \"secret.dtd\"><r>a&x;b</r>"))) {
    EXPECT_EQ(external.GetDocumentElement().GetText().find("TOPSECRET"), std::string::npos);
  }
}
