#include "catalogue/LXmlText.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testsupport/HostileXml.h"
#include "testsupport/ScratchDir.h"

namespace {

class LXmlTextTest : public ::testing::Test {
 protected:
  std::string TextOf(const std::string& path) {
    std::string text;
    std::string error;
    EXPECT_TRUE(LXmlText::ReadFile(path, text, error)) << error;
    return text;
  }
  // Writes the file and reads it into m_Text and m_Note.
  bool Read(const std::string& name, const std::string& content) {
    std::string error;
    const bool read = LXmlText::ReadFile(m_Dir.Write(name, content), m_Text, error, m_Note);
    EXPECT_TRUE(read) << error;
    return read;
  }
  testsupport::ScratchDir m_Dir;
  std::string m_Text;
  std::string m_Note;
};

TEST_F(LXmlTextTest, KeepsTextAndAttributeValuesButNoTagNamesAlsoOfBrokenXmlAndBinaryGivesNothing) {
  std::string text = TextOf(m_Dir.Write("invoice.xml",
                                        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                                        "<Invoice number=\"INV-42\"><Supplier>M\xFCller &amp; Co</Supplier>"
                                        "<!-- internal note --><Note><![CDATA[paid <late>]]></Note></Invoice>"));
  for (const char* kept : {"INV-42", "M\xC3\xBCller & Co", "paid <late>"}) EXPECT_NE(text.find(kept), std::string::npos);
  EXPECT_EQ(text.find("Supplier"), std::string::npos);
  EXPECT_EQ(text.find("internal note"), std::string::npos);

  text = TextOf(m_Dir.Write("broken.xml", "<Invoice><Total>12.50</Total><Open>unclosed \xE9t\xE9"));
  EXPECT_NE(text.find("12.50"), std::string::npos);
  EXPECT_NE(text.find("unclosed \xC3\xA9t\xC3\xA9"), std::string::npos);  // invalid UTF-8 read as Latin-1
  EXPECT_EQ(text.find("Total"), std::string::npos);
  EXPECT_EQ(TextOf(m_Dir.Write("scan.xml", std::string("%PDF-1.4\n\0\x01 stream <</Length 5>>", 30))), "");
  std::string error;
  EXPECT_FALSE(LXmlText::ReadFile(m_Dir.File("missing.xml"), text, error));
  EXPECT_FALSE(error.empty());
}

TEST_F(LXmlTextTest, TheFastPathGivesTheTreesTextForEveryKindOfDocument) {
  const char* const documents[] = {
      "<?xml version=\"1.0\"?>\n<Invoice>\n  <Total currency=\"EUR\" net=\"\">12.50</Total>\n</Invoice>\n",
      "<a>one<b/>two<!-- c -->three<?pi x?>four<![CDATA[five <six>]]>seven &amp; &lt;eight&gt; &#65;&#x42;</a>",
      "<a x=\"1 &amp; 2\" y=\"&#65;\">attribute values with references</a>",
      "<a xmlns=\"urn:x\" xmlns:p=\"urn:p\" p:k=\"v\"><p:b>ns</p:b>\t\r\n</a><!-- after -->",
      "<!DOCTYPE a [<!ENTITY e \"expanded\">]><a>before &e; after</a>",
      "<!DOCTYPE a SYSTEM \"a.dtd\"><a b=\"c\">external</a>",
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>M\xFCller</a>",
      "<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>declared but not</a>",
      "<a>undeclared &nbsp; entity</a>", "<a><b>unclosed</a>", "<a>M\xC3\xBCller \xE2\x82\xAC</a>",
      "<a></a>", "<a/>", "", "just text", "<a>trailing</a> junk",
  };
  for (const char* document : documents) {
    EXPECT_EQ(LXmlText::FromContent(document), LXmlText::FromContentByTree(document)) << document;
  }
  EXPECT_EQ(LXmlText::FromContent("<a>one<b>two</b><c k=\"v\"/>three</a>"), "one two v three");
}

TEST_F(LXmlTextTest, HostileEntitiesNeverPullInOtherFilesOrExplode) {
  const std::string secret = m_Dir.Write("secret.txt", "TOPSECRETPASSWORD");
  const std::string external = m_Dir.Write("xxe.xml", testsupport::ExternalEntityXml(secret));
  const std::string parameter = m_Dir.Write("pe.xml", testsupport::ParameterEntityXml(secret));
  const std::string xinclude = m_Dir.Write("xi.xml",
                                     "<r xmlns:xi=\"http://www.w3.org/2001/XInclude\"><xi:include href=\"" + secret +
                                         "\" parse=\"text\"/></r>");
  for (const auto& path : {external, parameter, xinclude}) {
    EXPECT_EQ(TextOf(path).find("TOPSECRET"), std::string::npos) << path;
  }
  EXPECT_NE(TextOf(external).find("after"), std::string::npos);

  const std::string laughs = testsupport::BillionLaughsXml();
  EXPECT_LT(TextOf(m_Dir.Write("laughs.xml", laughs)).size(), laughs.size() * 2);
}

TEST_F(LXmlTextTest, AttributesThatWouldMakeTheParserQuadraticAreReadWithoutIt) {
  std::string wide = "<Invoice";
  for (int i = 0; i < 5000; ++i) wide += " a" + std::to_string(i) + "='v>'";
  ASSERT_TRUE(Read("wide.xml", wide + " last=\"Widevalue\"><!-- <x a='1' b='2'> --><Total>12.50</Total></Invoice>"));
  EXPECT_FALSE(m_Note.empty());
  EXPECT_NE(m_Text.find("Widevalue"), std::string::npos);
  EXPECT_NE(m_Text.find("12.50"), std::string::npos);
  EXPECT_EQ(m_Text.find("Invoice"), std::string::npos);

  // Defaults an internal subset declares are checked against every tag of their element.
  std::string declared = "<!DOCTYPE r [<!ATTLIST r";
  for (int i = 0; i < 3000; ++i) declared += " d" + std::to_string(i) + " CDATA 'x'";
  ASSERT_TRUE(Read("declared.xml", declared + ">]><r>Declared</r>"));
  EXPECT_FALSE(m_Note.empty());
  EXPECT_NE(m_Text.find("Declared"), std::string::npos);

  // Many tags of a few attributes each stay with the parser; quoted '>' and comments do not confuse the count.
  std::string many = "<r>";
  for (int i = 0; i < 20000; ++i) many += "<i a='1>' b='2' c='3'>" + std::to_string(i) + "</i>";
  ASSERT_TRUE(Read("many.xml", many + "</r>"));
  EXPECT_EQ(m_Note, "");
  EXPECT_EQ(m_Text.find("1>"), 0u) << "parsed: attribute values and text, in order";
}

TEST_F(LXmlTextTest, LargeDocumentsAreParsedInChunksWithinATimeBudget) {
  // Read a chunk at a time, encodings still hold across the chunks' edges.
  std::string latin = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>";
  while (latin.size() < 300000) latin += "<i n=\"Z\xFC\">M\xFCller</i>";
  ASSERT_TRUE(Read("latin.xml", latin + "<z>Tail</z></r>"));
  EXPECT_EQ(m_Note, "");
  EXPECT_EQ(m_Text.find("\xC3\xBC"), 1u) << m_Text.substr(0, 20);
  EXPECT_EQ(m_Text.find('\xFC'), std::string::npos);
  EXPECT_EQ(m_Text.substr(m_Text.size() - 4), "Tail");
  std::string utf16 = "\xFF\xFE";
  for (const char c : "<r>" + std::string(100000, 'w') + " Tail</r>") utf16 += std::string(1, c) + '\0';
  ASSERT_TRUE(Read("utf16.xml", utf16));
  EXPECT_EQ(m_Note, "");
  EXPECT_EQ(m_Text.size(), 100005u);

  // Past its budget the parse ends, keeping what it read.
  LXmlText::SetParseBudget(1);
  std::string big = "<r><a>Head</a>";
  while (big.size() < (20u << 20)) big += "<i>filler</i>";
  ASSERT_TRUE(Read("big.xml", big + "<z>Tail</z></r>"));
  LXmlText::SetParseBudget(0);
  EXPECT_EQ(m_Note, "parsed for longer than 1 ms: the text read so far is kept");
  EXPECT_EQ(m_Text.find("Head"), 0u);
  EXPECT_EQ(m_Text.find("Tail"), std::string::npos);
}

TEST_F(LXmlTextTest, OnlyRegularFilesAreReadAndLinksAreNotFollowed) {
  const std::string secret = m_Dir.Write("outside/secret.xml", "<s>TOPSECRET</s>");
  ASSERT_EQ(symlink(secret.c_str(), m_Dir.File("link.xml").c_str()), 0);
  ASSERT_EQ(mkfifo(m_Dir.File("pipe.xml").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(m_Dir.File("dir.xml").c_str(), 0700), 0);
  for (const char* name : {"link.xml", "pipe.xml", "dir.xml"}) {
    std::string text;
    std::string error;
    EXPECT_FALSE(LXmlText::ReadFile(m_Dir.File(name), text, error)) << name;  // the FIFO does not block
    EXPECT_NE(error.find(name), std::string::npos) << error;
    EXPECT_EQ(text, "");
  }
}

}  // namespace
