// Reading with CXmlElement: lookup by tag, texts and their limits, numbers, serialisation,
// iteration, and handles that outlive their owner.
#include "xml/xml_element.h"

#include <gtest/gtest.h>

#include <string>

namespace qx {
namespace {

std::string Repeat(const std::string& part, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += part;
  return out;
}

TEST(XmlRead, SubText) {
  const std::string e = "\xC3\xA9";              // U+00E9, one UTF-16 unit
  const std::string smile = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
  struct Case {
    std::string xml, tag, text;
  } cases[] = {
      {"<A><b>x</b><B>y</B></A>", "B", "x"},
      {"<A><!--B--><B>1</B></A>", "b", "1"},
      {"<A><B></B></A>", "B", ""},
      {"<A><B><D>x</D></B></A>", "B", ""},
      {"<A><B>x<D>y<![CDATA[<z>]]><!--c--><E>w</E></D>v</B></A>", "B", "xy<z>wv"},
      {"<A><B><![CDATA[c]]>t</B></A>", "B", ""},
      {"<A><B><!--c-->t</B></A>", "B", ""},
      {"<A><B>a&amp;b</B></A>", "B", "a&b"},
      {"<A><B>x</B></A>", "C", ""},
      {"<A><B>x</B></A>", "", ""},
      {"<A><B>" + std::string(1023, 'a') + "</B></A>", "B", std::string(1023, 'a')},
      {"<A><B>" + std::string(1024, 'a') + "</B></A>", "B", ""},
      {"<A><B>" + Repeat(e, 1023) + "</B></A>", "B", Repeat(e, 1023)},
      {"<A><B>" + Repeat(e, 1024) + "</B></A>", "B", ""},
      {"<A><B>a" + Repeat(smile, 511) + "</B></A>", "B", "a" + Repeat(smile, 511)},
      {"<A><B>" + Repeat(smile, 512) + "</B></A>", "B", ""},
      {"<A><B>x<C>" + std::string(1022, 'a') + "</C></B></A>", "B", "x" + std::string(1022, 'a')},
      {"<A><B>x<C>" + std::string(1023, 'a') + "</C></B></A>", "B", ""},
      {"<A><B>x<C>" + std::string(5000, 'a') + "</C>y</B></A>", "B", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml.substr(0, 60) + " / " + c.tag);
    CXmlElement element;
    ASSERT_TRUE(element.LoadXml(c.xml));
    EXPECT_EQ(element.GetSubText(c.tag), c.text);
  }
}

TEST(XmlRead, AttributesInDocumentOrder) {
  struct Case {
    std::string xml;
    std::size_t stopAfter;  // visits before the visitor answers false
    std::string seen;
  } cases[] = {
      {"<A b=\"1\" C='x&amp;y' d=\"\"/>", 9, "b=1;C=x&y;d=;"},
      {"<A b=\"1\" C=\"2\" d=\"3\"/>", 2, "b=1;C=2;"},
      {"<A><B b=\"1\"/></A>", 9, ""},
      {"<A b=\"1\" b=\"2\"/>", 9, "b=1;b=2;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml);
    CXmlElement element;
    ASSERT_TRUE(element.LoadXml(c.xml));
    std::string seen;
    std::size_t visits = 0;
    element.ForEachAttribute([&](std::string_view name, std::string_view value) {
      seen.append(name).append("=").append(value).append(";");
      return ++visits < c.stopAfter;
    });
    EXPECT_EQ(seen, c.seen);
  }
  CXmlElement root;
  ASSERT_TRUE(root.LoadXml("<A b=\"1\"><!--c--></A>"));
  CXmlElement comment;
  ASSERT_TRUE(root.GetChild(0, &comment));
  CXmlElement empty;
  bool visited = false;
  for (const CXmlElement* element : {&comment, &empty}) {
    element->ForEachAttribute([&](std::string_view, std::string_view) {
      visited = true;
      return true;
    });
  }
  EXPECT_FALSE(visited);
}

TEST(XmlRead, Numbers) {
  struct Case {
    const char* text;
    std::uint32_t u;
    std::int32_t i;
    bool ok;
  } cases[] = {
      {"12abc", 12, 12, true},
      {"abc", 0, 0, false},
      {" \t\n 7 ", 7, 7, true},
      {"+5", 5, 5, true},
      {"-1", 4294967295u, -1, true},
      {"4294967295", 4294967295u, INT32_MAX, true},
      {"4294967296", 4294967295u, INT32_MAX, true},
      {"99999999999999999999999", 4294967295u, INT32_MAX, true},
      {"-2147483648", 2147483648u, INT32_MIN, true},
      {"-99999999999", 4294967295u, INT32_MIN, true},
      {"", 0, 0, false},
      {"-", 0, 0, false},
      {"- 1", 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CXmlElement element;
    ASSERT_TRUE(element.CreateRoot("A"));
    ASSERT_TRUE(element.AddTextChild("N", c.text));
    bool ok = !c.ok;
    EXPECT_EQ(element.GetSubUInt("n", &ok), c.u);
    EXPECT_EQ(ok, c.ok);
    ok = !c.ok;
    EXPECT_EQ(element.GetSubInt("N", &ok), c.i);
    EXPECT_EQ(ok, c.ok);
  }
  CXmlElement element;
  bool ok = true;
  EXPECT_EQ(element.GetSubUInt("N", &ok), 0u);
  EXPECT_FALSE(ok);
}

TEST(XmlRead, ChildrenNamesAndCounts) {
  CXmlElement a;
  ASSERT_TRUE(a.LoadXml("<A>t<!--c--><![CDATA[d]]><B>1</B></A>"));
  EXPECT_EQ(a.GetChildCount(), 4);
  const char* names[] = {"#text", "#comment", "#cdata-section", "B"};
  CXmlElement child;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(a.GetChild(i, &child));
    EXPECT_EQ(child.GetName(), names[i]);
  }
  EXPECT_FALSE(a.GetChild(4, &child));
  EXPECT_TRUE(child.IsEmpty());
  EXPECT_FALSE(a.GetChild(-1, &child));
  // Walking down into the same handle.
  ASSERT_TRUE(a.FindChild("b", &a));
  EXPECT_EQ(a.GetName(), "B");
  EXPECT_FALSE(a.FindChild("B", &a));
  EXPECT_TRUE(a.IsEmpty());

  const std::string name63(63, 'N');
  const std::string e63 = Repeat("\xC3\xA9", 63);
  CXmlElement b;
  ASSERT_TRUE(b.LoadXml("<A><" + name63 + "/><" + e63 + "/><" + name63 + "x/></A>"));
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(b.GetChild(i, &child));
    EXPECT_EQ(child.GetName(), i == 0 ? name63 : i == 1 ? e63 : "");
  }
  EXPECT_FALSE(b.FindChild(name63 + "x", &child));
}

TEST(XmlRead, Serialisation) {
  struct Case {
    const char* text;
    const char* xml;
    const char* inner;
  } cases[] = {
      {"<A/>", "<A/>", ""},
      {"<A></A>", "<A/>", ""},
      {"<A>t<B>1</B></A>", "<A>t<B>1</B></A>", "t<B>1</B>"},
      {"<A x=\"1\">a&amp;b&lt;c&gt;<!--k--><![CDATA[<d>]]></A>",
       "<A x=\"1\">a&amp;b&lt;c&gt;<!--k--><![CDATA[<d>]]></A>",
       "a&amp;b&lt;c&gt;<!--k--><![CDATA[<d>]]>"},
      {"<AB>x</AB>", "<AB>x</AB>", "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CXmlElement element;
    ASSERT_TRUE(element.LoadXml(c.text));
    std::string xml = "stale";
    EXPECT_TRUE(element.GetXml(&xml));
    EXPECT_EQ(xml, c.xml);
    EXPECT_TRUE(element.GetInnerXml(&xml));
    EXPECT_EQ(xml, c.inner);
  }
}

TEST(XmlRead, ChildListsByTag) {
  CXmlElement list;
  ASSERT_TRUE(list.LoadXml(
      "<L><Project>1</Project><!--c--><X>2</X>t<PROJECT>3</PROJECT><project>4</project></L>"));
  CXmlElement::ChildList children;
  ASSERT_TRUE(list.GetChildList(&children));
  CXmlElement item;
  std::string seen;
  while (list.NextChild(&children, "PROJECT", &item)) {
    seen += item.GetText();
    if (item.GetText() == "3") {
      EXPECT_TRUE(list.RemoveChild(&item));
    }
  }
  EXPECT_EQ(seen, "134");
  EXPECT_TRUE(item.IsEmpty());
  ASSERT_TRUE(list.GetChildList(&children));
  seen.clear();
  while (list.NextChild(&children, "", &item)) seen += item.GetText();
  EXPECT_EQ(seen, "124");
}

TEST(XmlRead, HandlesOutliveTheirOwner) {
  CXmlElement child;
  CXmlElement::ChildList children;
  CXmlElement reader;
  {
    CXmlElement owner;
    ASSERT_TRUE(owner.LoadXml("<A><B>x</B><C>y</C></A>"));
    ASSERT_TRUE(owner.FindChild("B", &child));
    ASSERT_TRUE(owner.GetChildList(&children));
    CXmlElement moved(std::move(owner));
    EXPECT_TRUE(owner.IsEmpty());  // NOLINT(bugprone-use-after-move): moved-from is empty
    EXPECT_EQ(owner.GetChildCount(), -1);
    ASSERT_TRUE(moved.LoadXml("<Other/>"));  // the first document is now held only by others
  }
  EXPECT_EQ(child.GetText(), "x");
  ASSERT_TRUE(reader.NextChild(&children, "c", &reader));
  EXPECT_EQ(reader.GetText(), "y");
  EXPECT_TRUE(child.AddTextChild("D", "z"));
  std::string xml;
  EXPECT_TRUE(child.GetXml(&xml));
  EXPECT_EQ(xml, "<B>x<D>z</D></B>");
}

}  // namespace
}  // namespace qx
