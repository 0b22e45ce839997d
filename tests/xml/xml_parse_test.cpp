// Parsing rules of CXmlElement::LoadXml: what is accepted, what is refused, and hostile input.
#include "xml/xml_element.h"

#include <gtest/gtest.h>

#include <string>

namespace qx {
namespace {

using namespace std::string_literals;

TEST(XmlParse, RefusedTextsLeaveTheHandleEmpty) {
  const std::string cases[] = {
      "",
      "   ",
      "<A>",
      "<A></B>",
      "<A/><B/>",
      "abc<A/>",
      "<A/>abc",
      "<![CDATA[x]]><A/>",
      "<A>x</A>\0junk"s,
      "<A>x\0y</A>"s,
      "<1A/>",
      "<!--only a comment-->",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    CXmlElement element;
    ASSERT_TRUE(element.CreateRoot("Old"));
    EXPECT_FALSE(element.LoadXml(text));
    EXPECT_TRUE(element.IsEmpty());
    EXPECT_EQ(element.GetName(), "");
  }
}

TEST(XmlParse, AcceptedTextsAndWhiteSpace) {
  struct Case {
    const char* text;
    const char* xml;
    int children;
  } cases[] = {
      {"<?xml version=\"1.0\"?><!--c--><A/><?pi x?>", "<A/>", 0},
      {"<!DOCTYPE A><A>t</A>", "<A>t</A>", 1},
      {"\n  <A>\n   <B/>\t\n  <!--c-->\n</A>\n", "<A><B/><!--c--></A>", 2},
      {"<A> x <B/></A>", "<A> x <B/></A>", 2},
      {"<A><![CDATA[a<b]]></A>", "<A><![CDATA[a<b]]></A>", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CXmlElement element;
    ASSERT_TRUE(element.LoadXml(c.text));
    std::string xml;
    EXPECT_TRUE(element.GetXml(&xml));
    EXPECT_EQ(xml, c.xml);
    EXPECT_EQ(element.GetChildCount(), c.children);
  }
}

TEST(XmlParse, TextFromTheHandlesOwnDocument) {
  CXmlElement element;
  ASSERT_TRUE(element.LoadXml("<A><![CDATA[<B>inner</B>]]></A>"));
  ASSERT_TRUE(element.LoadXml(element.node().first_child().value()));
  EXPECT_EQ(element.GetText(), "inner");
  ASSERT_TRUE(element.CreateRoot(element.node().name()));
  EXPECT_EQ(element.GetName(), "B");
}

TEST(XmlParse, SizeLimit) {
  std::string text = "<A>" + std::string(kMaxMessageBytes - 7, 'x') + "</A>";
  CXmlElement element;
  EXPECT_TRUE(element.LoadXml(text));
  EXPECT_EQ(element.GetText(), "");  // far beyond a field
  text.insert(3, "y");
  EXPECT_FALSE(element.LoadXml(text));
  EXPECT_TRUE(element.IsEmpty());
}

TEST(XmlParse, EntitiesOfADoctypeAreNotExpanded) {
  std::string dtd = "<!DOCTYPE A [<!ENTITY e0 \"lol\">";
  for (int i = 1; i < 10; ++i) {
    dtd += "<!ENTITY e" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) dtd += "&e" + std::to_string(i - 1) + ";";
    dtd += "\">";
  }
  CXmlElement element;
  ASSERT_TRUE(element.LoadXml(dtd + "]><A>&e9;</A>"));
  EXPECT_EQ(element.GetText(), "&e9;");
  std::string xml;
  ASSERT_TRUE(element.GetXml(&xml));
  EXPECT_EQ(xml, "<A>&amp;e9;</A>");
}

TEST(XmlParse, DeepNestingNeedsNoDeepStack) {
  constexpr int kDepth = 200000;
  std::string text = "<A>t";
  for (int i = 0; i < kDepth; ++i) text += "<B>";
  text += "u";
  for (int i = 0; i < kDepth; ++i) text += "</B>";
  text += "</A>";
  CXmlElement element;
  ASSERT_TRUE(element.LoadXml(text));
  EXPECT_EQ(element.GetText(), "tu");
  std::string xml;
  ASSERT_TRUE(element.GetXml(&xml));
  EXPECT_EQ(xml.size(), text.size());
  CXmlElement copy;
  ASSERT_TRUE(copy.CreateRoot("C"));
  EXPECT_TRUE(copy.AppendCopy(element));
}

}  // namespace
}  // namespace qx
