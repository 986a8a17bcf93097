// The XML reader: structure of forgiving parses, the cursor walk, decoding and the report.
#include <gtest/gtest.h>

#include <string>

#include "config/xml_document.h"

namespace Kestrilon::Config {
namespace {

bool ReportHas(const XmlDocument& doc, const std::string& fragment) {
  return doc.GetReport().find(fragment) != std::string::npos;
}

TEST(XmlDocumentParse, WellFormednessVerdicts) {
  struct Case {
    const char* text;
    bool wellFormed;
    const char* reportWord;  // expected in the report, or null for an empty report
  };
  const Case cases[] = {
      {"<a><b/>text<c x='1'>y</c></a>", true, nullptr},
      {"<?xml version=\"1.0\"?>\n<!DOCTYPE a [<!ENTITY e \"x\"><!-- > -->]>\n<a/>\n", true, nullptr},
      {"", false, nullptr},
      {"just text", false, "<no_root_element/>"},
      {"<a/><b/>", false, "<root_has_sibling/>"},
      {"<a><b></a>", false, "<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"6\"/>"},
      {"<a></b></a>", false, "<lone_end_tag tagname=\"b\" offset=\"3\"/>"},
      {"<a>1 < 2</a>", false, "<first_tag_syntax offset=\"5\"/>"},
      {"<a><!x></a>", false, "<exclamation_tag_syntax offset=\"3\"/>"},
      {"<a><!-x></a>", false, "<comment_tag_syntax offset=\"3\"/>"},
      {"<a><![x]></a>", false, "<cdata_section_syntax offset=\"3\"/>"},
      {"<!DOCTYPE a [<!x>]><a/>", false, "<doctype_tag_syntax offset=\"13\"/>"},
      {"<a><!-- open", false, "<unterminated_tag_syntax type=\"comment\" offset=\"3\"/>"},
      {"<a><![CDATA[x", false, "type=\"cdata_section\""},
      {"<a><?pi", false, "type=\"processing_instruction\""},
      {"<a b=\"x>", false, "type=\"start_tag\""},
      {"<a></a", false, "type=\"end_tag\""},
      {"<a><!DOCTYPE x", false, "type=\"document_type\""},
      {"<a><", false, "type=\"tag\""},
      {"<a><b>", false, "<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"6\"/>"},
  };
  for (const Case& c : cases) {
    XmlDocument doc;
    EXPECT_EQ(doc.Parse(c.text), c.wellFormed) << c.text;
    if (c.reportWord == nullptr) {
      EXPECT_EQ(doc.GetReport(), "") << c.text;
    } else {
      EXPECT_TRUE(ReportHas(doc, c.reportWord)) << c.text << " -> " << doc.GetReport();
    }
  }
}

TEST(XmlDocumentParse, UnendedStartTagIsCutAndItsChildrenMoveUp) {
  XmlDocument doc;
  EXPECT_FALSE(doc.Parse("<a><b><x/><c><y/></a>"));
  ASSERT_TRUE(doc.FindElement("a"));
  XmlElementInfo a;
  ASSERT_TRUE(doc.CurrentElement(a));
  EXPECT_EQ(a.length, 21u);  // still closes at </a>
  EXPECT_EQ(a.endTagLength, 4u);
  ASSERT_TRUE(doc.EnterElement());
  std::string order;
  while (doc.FindElement("")) order += std::string(doc.CurrentName()) + ",";
  EXPECT_EQ(order, "b,x,c,y,");  // b and c were never closed: their children follow them
  doc.ResetSiblingScan();
  ASSERT_TRUE(doc.FindElement("b"));
  XmlElementInfo b;
  ASSERT_TRUE(doc.CurrentElement(b));
  EXPECT_EQ(b.length, b.startTagLength);
  EXPECT_EQ(b.length, 3u);
  EXPECT_NE(b.flags & kElementNeverClosed, 0);
  EXPECT_TRUE(ReportHas(doc, "tagname=\"b\""));
  EXPECT_TRUE(ReportHas(doc, "tagname=\"c\""));
}

TEST(XmlDocumentParse, LoneEndTagLeavesTheElementClosedNormally) {
  XmlDocument doc;
  EXPECT_FALSE(doc.Parse("<a>t</b>u</a>"));
  ASSERT_TRUE(doc.FindElement("a"));
  XmlElementInfo a;
  ASSERT_TRUE(doc.CurrentElement(a));
  EXPECT_EQ(a.length, 13u);
  EXPECT_EQ(a.flags & kElementNeverClosed, 0);
  EXPECT_EQ(doc.GetText(), "tu");  // the stray end tag is no text
}

TEST(XmlDocumentParse, RootSiblingsCanStillBeFound) {
  XmlDocument doc;
  EXPECT_FALSE(doc.Parse("<a/><b/>"));
  EXPECT_TRUE(doc.FindElement("a"));
  EXPECT_TRUE(doc.FindElement("b"));
}

TEST(XmlDocumentParse, QuotedValuesMayHoldTheOtherQuoteAndAngleBrackets) {
  XmlDocument doc;
  ASSERT_TRUE(doc.Parse("<a x='say \"hi\" >' y=\"it's\" z = plain w=\"a/\"><b/></a>"));
  ASSERT_TRUE(doc.FindElement("a"));
  EXPECT_EQ(doc.GetAttribute("x"), "say \"hi\" >");
  EXPECT_EQ(doc.GetAttribute("y"), "it's");
  EXPECT_EQ(doc.GetAttribute("z"), "plain");
  EXPECT_EQ(doc.GetAttribute("w"), "a/");
  XmlElementInfo info;
  ASSERT_TRUE(doc.CurrentElement(info));
  EXPECT_EQ(info.flags & kElementEmptyTag, 0);
  EXPECT_TRUE(doc.EnterElement());
  EXPECT_TRUE(doc.FindElement("b"));  // the '>' inside the quotes did not end the tag
}

TEST(XmlDocumentParse, LargeDocumentSpansSeveralRecordBlocks) {
  std::string text = "<root>";
  const int count = 150000;  // more than two blocks of records
  for (int i = 0; i < count; ++i) text += "<e n=\"" + std::to_string(i) + "\"/>";
  text += "</root>";
  XmlDocument doc;
  ASSERT_TRUE(doc.Parse(text));
  ASSERT_TRUE(doc.FindElement("root"));
  ASSERT_TRUE(doc.EnterElement());
  int seen = 0;
  while (doc.FindElement("e")) {
    if (doc.GetAttribute("n") != std::to_string(seen)) break;
    ++seen;
  }
  EXPECT_EQ(seen, count);
}

TEST(XmlDocumentParse, DeeplyUnclosedNestingStaysLinear) {
  // Each unclosed element is moved up once; this would take minutes if moves repeated.
  std::string text = "<r>";
  for (int i = 0; i < 100000; ++i) text += "<e>";
  text += "</r>";
  XmlDocument doc;
  EXPECT_FALSE(doc.Parse(text));
  ASSERT_TRUE(doc.FindElement("r"));
  ASSERT_TRUE(doc.EnterElement());
  int count = 0;
  while (doc.FindElement("e")) ++count;
  EXPECT_EQ(count, 100000);
}

TEST(XmlDocumentCursor, FindElementMatchesWholeTagNamesOnly) {
  XmlDocument doc;
  ASSERT_TRUE(doc.Parse("<r><items/><item\tk='1'/><it/><item>t</item></r>"));
  ASSERT_TRUE(doc.FindElement("r"));
  ASSERT_TRUE(doc.EnterElement());
  ASSERT_TRUE(doc.FindElement("item"));
  EXPECT_EQ(doc.GetAttribute("k"), "1");
  ASSERT_TRUE(doc.FindElement("item"));
  EXPECT_EQ(doc.GetText(), "t");
  EXPECT_FALSE(doc.FindElement("item"));
  EXPECT_EQ(doc.GetText(), "t");  // a failed search leaves the cursor where it was
  EXPECT_FALSE(doc.FindElement("Item"));  // names are compared with case
}

TEST(XmlDocumentCursor, FailedSearchResumesAfterTheLastFound) {
  XmlDocument doc;
  ASSERT_TRUE(doc.Parse("<r><item n='0'/><data/><item n='1'/><data/><item n='2'/><item n='3'/></r>"));
  ASSERT_TRUE(doc.FindElement("r"));
  ASSERT_TRUE(doc.EnterElement());
  EXPECT_TRUE(doc.FindElement("data"));
  EXPECT_TRUE(doc.FindElement("data"));
  EXPECT_FALSE(doc.FindElement("data"));
  std::string found;
  while (doc.FindElement("item")) found += doc.GetAttribute("n");
  EXPECT_EQ(found, "23");
  doc.ResetSiblingScan();
  found.clear();
  while (doc.FindElement("item")) found += doc.GetAttribute("n");
  EXPECT_EQ(found, "0123");
}

TEST(XmlDocumentCursor, EnterAndLeaveKeepTheirPlace) {
  XmlDocument doc;
  ASSERT_TRUE(doc.Parse("<r><g><e>1</e><e>2</e></g><g><e>3</e></g></r>"));
  EXPECT_FALSE(doc.EnterElement());  // no current element yet
  EXPECT_FALSE(doc.LeaveElement());  // already at the top
  ASSERT_TRUE(doc.FindElement("r"));
  ASSERT_TRUE(doc.EnterElement());
  ASSERT_TRUE(doc.FindElement("g"));
  ASSERT_TRUE(doc.EnterElement());
  ASSERT_TRUE(doc.FindElement("e"));
  EXPECT_EQ(doc.GetText(), "1");
  ASSERT_TRUE(doc.LeaveElement());
  EXPECT_EQ(doc.CurrentName(), "g");
  EXPECT_EQ(doc.GetText(), "");  // has children
  ASSERT_TRUE(doc.EnterElement());  // resumes at the child it left
  ASSERT_TRUE(doc.FindElement("e"));
  EXPECT_EQ(doc.GetText(), "2");
  ASSERT_TRUE(doc.LeaveElement());
  ASSERT_TRUE(doc.FindElement("g"));
  ASSERT_TRUE(doc.EnterElement());
  ASSERT_TRUE(doc.FindElement("e"));
  EXPECT_EQ(doc.GetText(), "3");
  ASSERT_TRUE(doc.LeaveElement());
  ASSERT_TRUE(doc.LeaveElement());
  EXPECT_EQ(doc.CurrentName(), "r");
}

TEST(XmlDocumentRead, AttributesInDocumentOrder) {
  XmlDocument doc;
  ASSERT_TRUE(doc.Parse("<e Path=\"a\" path = 'b' flag empty=\"\" v=&amp;x/>"));
  ASSERT_TRUE(doc.FindElement("e"));
  const std::pair<std::string, std::string> expected[] = {
      {"Path", "a"}, {"path", "b"}, {"flag", ""}, {"empty", ""}, {"v", "&x/"}};  // unquoted: up to whitespace or '>' 
  std::string name, value;
  uint32_t index = 0;
  for (const auto& [expectedName, expectedValue] : expected) {
    ASSERT_TRUE(doc.GetAttributeAt(index++, name, value));
    EXPECT_EQ(name, expectedName);
    EXPECT_EQ(value, expectedValue);
  }
  EXPECT_FALSE(doc.GetAttributeAt(index, name, value));
  EXPECT_EQ(doc.GetAttribute("missing"), "");
  doc.ResetSiblingScan();
  EXPECT_EQ(doc.GetAttribute("Path"), "");  // no current element
  EXPECT_FALSE(doc.GetAttributeAt(0, name, value));
}

TEST(XmlDocumentRead, TextOfMixedContent) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"<x>a &amp; b<!-- c --><![CDATA[<d>]]></x>", "a & b<d>"},
      {"<x>  </x>", "  "},  // no markup: taken whole
      {"<x>\n <!-- c -->\n <?pi x?>keep</x>", "keep"},
      {"<x><![CDATA[&amp;]]>&amp;</x>", "&amp;&"},  // CDATA stays raw
      {"<x/>", ""},
      {"<x><y/>z</x>", ""},
  };
  for (const Case& c : cases) {
    XmlDocument doc;
    doc.Parse(c.text);
    ASSERT_TRUE(doc.FindElement("x")) << c.text;
    EXPECT_EQ(doc.GetText(), c.expected) << c.text;
  }
}

TEST(XmlDecode, CharacterReferences) {
  struct Case {
    const char* raw;
    const char* decoded;
  };
  const Case cases[] = {
      {"&#x41;&#65;&#X41;", "AAA"},
      {"&#0;", "&#0;"},
      {"&nosuch;", "&nosuch;"},
      {"&amp;&lt;&gt;&quot;&apos;", "&<>\"'"},
      {"&AMP;&Amp;", "&&"},                       // names are looked up without case
      {"&eacute;&Eacute;&EACUTE;", "é" "É" "É"},  // the name written exactly wins, else the capital
      {"&dagger;&Dagger;", "†‡"},
      {"&thetasym;&hellip;&euro;", "ϑ…€"},
      {"&#x4E2D;&#25991;&#x1F600;", "中文\xF0\x9F\x98\x80"},
      {"&#xD800;&#x110000;&#99999999;", "&#xD800;&#x110000;&#99999999;"},  // no Unicode scalar
      {"a & b", "a & b"},
      {"&", "&"},
      {"&amp", "&amp"},
      {"&;", "&;"},
      {"&#;&#x;&#1a;", "&#;&#x;&#1a;"},
      {"&abcdefghi;", "&abcdefghi;"},   // nine bytes: looked up, not found
      {"&abcdefghij;", "&abcdefghij;"},  // tenth byte is not ';'
      {"&\xE4\xB8\xAD;", "&\xE4\xB8\xAD;"},
      {"&&amp;", "&&"},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeXmlText(c.raw), c.decoded) << c.raw;
}

TEST(XmlDecode, EveryNamedReferenceResolves) {
  // A sample across the table's parts, and the five names XML itself defines.
  const std::pair<const char*, char32_t> names[] = {
      {"nbsp", 160}, {"yuml", 255},  {"Yuml", 376},   {"OElig", 338}, {"fnof", 402},
      {"Omega", 937}, {"omega", 969}, {"sigmaf", 962}, {"lArr", 8656}, {"larr", 8592},
      {"diams", 9830}, {"apos", 39},  {"lt", 60},      {"image", 8465}, {"prime", 8242}};
  for (const auto& [name, codePoint] : names) EXPECT_EQ(LookupNamedReference(name), codePoint) << name;
  EXPECT_EQ(LookupNamedReference("YUML"), 376u);
  EXPECT_EQ(LookupNamedReference("PRIME"), 8243u);
}

TEST(XmlDocumentReport, StopsGrowingPastItsLimit) {
  std::string text = "<a>";
  for (int i = 0; i < 500; ++i) text += "</zz>";
  text += "</a>";
  XmlDocument doc;
  EXPECT_FALSE(doc.Parse(text));
  EXPECT_GT(doc.GetReport().size(), 999u);
  EXPECT_LT(doc.GetReport().size(), 1100u);
}

TEST(XmlDocumentReport, OverlongEndTagIsRefused) {
  XmlDocument doc;
  EXPECT_FALSE(doc.Parse("<a>x</a" + std::string(2000, ' ') + ">"));
  EXPECT_TRUE(ReportHas(doc, "<tag_too_long offset=\"4\"/>"));
  ASSERT_TRUE(doc.FindElement("a"));
  EXPECT_EQ(doc.GetText().substr(0, 1), "x");
}

}  // namespace
}  // namespace Kestrilon::Config
