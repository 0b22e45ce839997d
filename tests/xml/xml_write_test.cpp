// Tests of the writing helpers beside GetXml: AppendXmlText against the serialiser's own text
// escaping, and GetXmlNotingChild's text, child place and exactness against GetXml and LoadXml.
#include <gtest/gtest.h>

#include <string>

#include "xml/xml_element.h"

namespace qx {
namespace {

// What GetXml writes for an element holding text, without the element's tags.
std::string WrittenText(const std::string& text) {
  CXmlElement root;
  EXPECT_TRUE(root.CreateRoot("T"));
  EXPECT_TRUE(root.AddTextChild("A", text));
  std::string written;
  EXPECT_TRUE(root.GetInnerXml(&written));
  if (written == "<A/>") return "";
  EXPECT_EQ(written.substr(0, 3), "<A>");
  return written.substr(3, written.size() - 7);
}

TEST(XmlWrite, AppendXmlTextEscapesAsTheSerialiser) {
  for (int c = 0; c < 256; ++c) {
    const std::string text = std::string("a") + static_cast<char>(c) + "b&<>\"'";
    SCOPED_TRACE(c);
    std::string appended = "prefix";
    AppendXmlText(&appended, text);
    EXPECT_EQ(appended, "prefix" + WrittenText(text));
  }
  std::string appended;
  AppendXmlText(&appended, "");
  EXPECT_EQ(appended, "");
}

TEST(XmlWrite, GetXmlNotingChildWritesAsGetXmlAndNotesTheChild) {
  constexpr auto npos = std::string::npos;
  struct Case {
    std::string xml;
    std::string child;  // the noted child's text, "" when none is noted
    bool exact;
  };
  const Case cases[] = {
      {"<P><A>1</A><STATE>Run</STATE><B>2</B></P>", "<STATE>Run</STATE>", true},
      {"<P><state>x</state><STATE>y</STATE></P>", "<state>x</state>", true},
      {"<P><X><STATE>n</STATE></X><B/></P>", "", true},
      {"<P/>", "", true},
      {"<P a=\"1\"><STATE>s</STATE></P>", "", false},
      {"<P><STATE>a&amp;&lt;</STATE><!--c--><C><![CDATA[<x>]]></C></P>",
       "<STATE>a&amp;&lt;</STATE>", true},
      {"<P><N>&#32;</N><STATE>s</STATE></P>", "<STATE>s</STATE>", false},
      {"<P><STATE>a&#13;b</STATE></P>", "<STATE>a\rb</STATE>", false},
      {"<P>lead<STATE/>tail</P>", "<STATE/>", true},
      {"<P><STATE k=\"v\">s</STATE></P>", "<STATE k=\"v\">s</STATE>", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml);
    CXmlElement element;
    ASSERT_TRUE(element.LoadXml(c.xml));
    std::string expected;
    ASSERT_TRUE(element.GetXml(&expected));
    std::string out = "old";
    std::size_t start = 0;
    std::size_t end = 0;
    bool exact = !c.exact;
    ASSERT_TRUE(element.GetXmlNotingChild("STATE", 1000, &out, &start, &end, &exact));
    EXPECT_EQ(out, expected);
    EXPECT_EQ(exact, c.exact);
    if (c.child.empty()) {
      EXPECT_EQ(start, npos);
      EXPECT_EQ(end, npos);
    } else {
      ASSERT_LE(start, end);
      ASSERT_LE(end, out.size());
      EXPECT_EQ(out.substr(start, end - start), c.child);
    }
  }
}

TEST(XmlWrite, GetXmlNotingChildStopsPastTheLimit) {
  CXmlElement element;
  std::string xml = "<P>";
  for (int i = 0; i < 100; ++i) xml += "<F>" + std::string(100, 'f') + "</F>";
  ASSERT_TRUE(element.LoadXml(xml + "</P>"));
  std::string out;
  std::size_t start = 0;
  std::size_t end = 0;
  bool exact = false;
  ASSERT_TRUE(element.GetXmlNotingChild("STATE", 500, &out, &start, &end, &exact));
  EXPECT_GT(out.size(), 500u);
  EXPECT_LT(out.size(), 1000u);
  CXmlElement empty;
  EXPECT_FALSE(empty.GetXmlNotingChild("STATE", 500, &out, &start, &end, &exact));
}

}  // namespace
}  // namespace qx
