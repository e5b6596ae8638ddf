#include <gtest/gtest.h>

#include <string>

#include "tvlib/xml/xml.h"

namespace {

std::string Render(const TiXmlDocument& doc) {
  std::string out;
  EXPECT_TRUE(SaveToString(doc, out));
  return out;
}

std::string RenderParsed(const char* text) {
  TiXmlDocument doc;
  doc.Parse(text, nullptr, TIXML_ENCODING_UTF8);
  EXPECT_FALSE(doc.Error()) << doc.ErrorDesc();
  return Render(doc);
}

TEST(XmlRender, TwoChannelBoardDocument) {
  TiXmlDocument doc;
  doc.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", "yes"));
  TiXmlElement* config = new TiXmlElement("config");
  doc.LinkEndChild(config);
  config->SetAttribute("version", "1.0.14");
  SetAttribute(config, "latency", static_cast<uint32_t>(512));
  for (int ch = 1; ch <= 2; ++ch) {
    TiXmlElement* e = new TiXmlElement("ch" + std::to_string(ch));
    config->LinkEndChild(e);
    e->SetAttribute("enable", "false");
    SetAttribute(e, "watermarking_channel", static_cast<uint32_t>(0));
  }
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n"
      "<config version=\"1.0.14\" latency=\"512\">\n"
      "    <ch1 enable=\"false\" watermarking_channel=\"0\" />\n"
      "    <ch2 enable=\"false\" watermarking_channel=\"0\" />\n"
      "</config>\n";
  const std::string got = Render(doc);
  EXPECT_EQ(211u, got.size());
  EXPECT_EQ(expected, got);
  // Parsing the rendering and rendering again changes nothing.
  EXPECT_EQ(expected, RenderParsed(got.c_str()));
}

TEST(XmlRender, DeclarationSkipsEmptyParts) {
  TiXmlDocument doc;
  doc.LinkEndChild(new TiXmlDeclaration("1.0", "", ""));
  EXPECT_EQ("<?xml version=\"1.0\" ?>\n", Render(doc));
}

TEST(XmlRender, QuoteSelectionAndEscaping) {
  TiXmlElement e("e");
  e.SetAttribute("plain", "a<b>&c'd");
  e.SetAttribute("quoted", "say \"hi\"");
  std::string out;
  PrintToString(&e, out, 0);
  EXPECT_EQ("<e plain=\"a&lt;b&gt;&amp;c&apos;d\" quoted='say &quot;hi&quot;' />", out);
}

TEST(XmlRender, TextAndCdataChildrenStayInline) {
  EXPECT_EQ("<e>1 &lt; 2 &amp; 3</e>\n", RenderParsed("<e>1 &lt; 2 &amp; 3</e>"));
  TiXmlElement e("e");
  TiXmlText* cdata = new TiXmlText("raw<>");
  cdata->SetCDATA(true);
  e.LinkEndChild(cdata);
  std::string out;
  PrintToString(&e, out, 1);
  EXPECT_EQ("    <e><![CDATA[raw<>]]></e>", out);
}

TEST(XmlRender, NestedCommentsUnknownAndMixedContent) {
  const char* source = "<root><!-- note --><a><b x=\"1\"/></a>text<c/><!DOCTYPE odd></root>";
  const std::string expected =
      "<root>\n"
      "    <!-- note -->\n"
      "    <a>\n"
      "        <b x=\"1\" />\n"
      "    </a>text\n"
      "    <c />\n"
      "    <!DOCTYPE odd>\n"
      "</root>\n";
  EXPECT_EQ(expected, RenderParsed(source));
}

TEST(XmlRender, ControlCharactersAreEscaped) {
  TiXmlElement e("e");
  e.SetAttribute("v", "a\tb");
  std::string out;
  PrintToString(&e, out, 0);
  EXPECT_EQ("<e v=\"a&#x09;b\" />", out);
}

TEST(XmlRender, AppendsToExistingText) {
  TiXmlDocument doc;
  doc.LinkEndChild(new TiXmlElement("x"));
  std::string out = "prefix:";
  SaveToString(doc, out);
  EXPECT_EQ("prefix:<x />\n", out);
  std::string withMark;
  SaveToString(doc, withMark, true);
  EXPECT_EQ("\xEF\xBB\xBF<x />\n", withMark);
}

}  // namespace
