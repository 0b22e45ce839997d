// Building messages with CXmlElement, and the empty-handle answer of every operation.
#include "xml/xml_element.h"

#include <gtest/gtest.h>

#include <string>

namespace qx {
namespace {

std::string Xml(const CXmlElement& element) {
  std::string xml;
  return element.GetXml(&xml) ? xml : "<failed>";
}

TEST(XmlBuild, MessageChildByChild) {
  CXmlElement root;
  ASSERT_TRUE(root.CreateRoot("QXDISCOVER"));
  EXPECT_TRUE(root.AddTextChild("EVENT", "JOIN"));
  EXPECT_TRUE(root.AddUIntChild("Count", 4294967295u));
  EXPECT_TRUE(root.AddTextChild("Path", "C:\\R&D\\<plant>\xC3\xA9"));
  EXPECT_TRUE(root.AddTextChild("Empty", ""));
  CXmlElement list;
  ASSERT_TRUE(root.AddChild("PROJECTLIST", &list));
  EXPECT_TRUE(list.AddChild("<PROJECT><Name>a</Name><!--c--><DSN>d</DSN></PROJECT>"));
  const std::string xml = Xml(root);
  EXPECT_EQ(xml,
            "<QXDISCOVER><EVENT>JOIN</EVENT><Count>4294967295</Count>"
            "<Path>C:\\R&amp;D\\&lt;plant&gt;\xC3\xA9</Path><Empty></Empty><PROJECTLIST>"
            "<PROJECT><Name>a</Name><!--c--><DSN>d</DSN></PROJECT></PROJECTLIST></QXDISCOVER>");
  CXmlElement parsed;
  ASSERT_TRUE(parsed.LoadXml(xml));
  EXPECT_EQ(parsed.GetSubText("path"), "C:\\R&D\\<plant>\xC3\xA9");
  EXPECT_EQ(parsed.GetSubUInt("COUNT"), 4294967295u);
}

TEST(XmlBuild, InvalidNamesAndFragmentsAreRefused) {
  const std::string names[] = {
      "",
      "1A",
      "-A",
      "a b",
      "a<b",
      "a>",
      "a&b",
      "\xFF",
      "\xC3",
      std::string(64, 'N'),
      std::string("A\0B", 3),
      "<A>x</B>",
      "<A/><B/>",
      "<A",
      "<>",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    CXmlElement root;
    EXPECT_FALSE(root.CreateRoot(name));
    EXPECT_TRUE(root.IsEmpty());
    ASSERT_TRUE(root.CreateRoot("R"));
    CXmlElement out;
    ASSERT_TRUE(root.AddChild("Old", &out));
    EXPECT_FALSE(root.AddChild(name, &out));
    EXPECT_TRUE(out.IsEmpty());
    EXPECT_FALSE(root.AddTextChild(name, "t"));
    EXPECT_EQ(Xml(root), "<R><Old/></R>");
  }
  std::string e63;
  for (int i = 0; i < 63; ++i) e63 += "\xC3\xA9";
  CXmlElement root;
  EXPECT_TRUE(root.CreateRoot(e63));
  EXPECT_TRUE(root.AddChild("a:b-c.d_\xC2\xB7"));
  EXPECT_FALSE(root.AddChild(e63 + "\xC3\xA9"));
}

TEST(XmlBuild, CopiesAcrossDocuments) {
  CXmlElement target;
  ASSERT_TRUE(target.CreateRoot("T"));
  CXmlElement out;
  {
    CXmlElement source;
    ASSERT_TRUE(source.LoadXml("<S><A>1</A></S>"));
    EXPECT_TRUE(target.AppendCopy(source, &out));
    ASSERT_TRUE(source.AddTextChild("B", "2"));  // later changes do not reach the copy
  }
  EXPECT_TRUE(out.AddTextChild("C", "3"));
  EXPECT_TRUE(target.AppendCopy(target));  // a copy of itself into itself
  EXPECT_EQ(Xml(target), "<T><S><A>1</A><C>3</C></S><T><S><A>1</A><C>3</C></S></T></T>");
  CXmlElement inner;
  ASSERT_TRUE(target.LoadXml("<R><A><B>x</B></A></R>"));
  ASSERT_TRUE(target.FindChild("A", &inner) && inner.FindChild("B", &inner));
  EXPECT_TRUE(inner.AppendCopy(target));  // a copy of an ancestor
  EXPECT_EQ(Xml(target), "<R><A><B>x<R><A><B>x</B></A></R></B></A></R>");
  CXmlElement empty;
  EXPECT_FALSE(target.AppendCopy(empty, &out));
  EXPECT_TRUE(out.IsEmpty());
}

TEST(XmlBuild, RemoveAndReplace) {
  CXmlElement root;
  ASSERT_TRUE(root.LoadXml("<R><A>1</A><B><A>2</A></B><a>3</a></R>"));
  CXmlElement b;
  CXmlElement nested;
  ASSERT_TRUE(root.FindChild("B", &b));
  ASSERT_TRUE(b.FindChild("A", &nested));
  EXPECT_FALSE(root.RemoveChild(&nested));  // not a child of root, but released all the same
  EXPECT_TRUE(nested.IsEmpty());
  EXPECT_TRUE(root.RemoveChildByTag("a"));  // the first match only
  EXPECT_EQ(Xml(root), "<R><B><A>2</A></B><a>3</a></R>");
  EXPECT_FALSE(root.ReplaceTextChild("X", "9"));
  EXPECT_TRUE(root.ReplaceTextChild("B", "9"));
  EXPECT_EQ(Xml(root), "<R><a>3</a><B>9</B></R>");
  const pugi::xml_node a3 = root.node().first_child();  // tag and text viewing the old child
  EXPECT_TRUE(root.ReplaceTextChild(a3.name(), a3.first_child().value()));
  EXPECT_EQ(Xml(root), "<R><B>9</B><a>3</a></R>");
  CXmlElement a;
  ASSERT_TRUE(root.FindChild("A", &a));
  EXPECT_TRUE(root.RemoveChild(&a));
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_EQ(Xml(root), "<R><B>9</B></R>");
}

TEST(XmlBuild, PrependTextChildComesFirst) {
  struct Case {
    std::string xml, tag, text;
    bool added;
    std::string expected;
  } cases[] = {
      {"<R><A>1</A><!--c--></R>", "Receiver", "S&1", true,
       "<R><Receiver>S&amp;1</Receiver><A>1</A><!--c--></R>"},
      {"<R/>", "A", "", true, "<R><A></A></R>"},
      {"<R><A>1</A></R>", "1A", "x", false, "<R><A>1</A></R>"},
      {"<R><A>1</A></R>", std::string(64, 'N'), "x", false, "<R><A>1</A></R>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml + " / " + c.tag);
    CXmlElement root;
    ASSERT_TRUE(root.LoadXml(c.xml));
    EXPECT_EQ(root.PrependTextChild(c.tag, c.text), c.added);
    EXPECT_EQ(Xml(root), c.expected);
  }
  CXmlElement empty;
  EXPECT_FALSE(empty.PrependTextChild("A", "x"));
  CXmlElement root;
  ASSERT_TRUE(root.LoadXml("<R><!--c--></R>"));
  CXmlElement comment;
  ASSERT_TRUE(root.GetChild(0, &comment));
  EXPECT_FALSE(comment.PrependTextChild("A", "x"));  // only an element takes children
}

TEST(XmlBuild, EmptyHandleAnswersEveryCall) {
  CXmlElement empty;
  CXmlElement out;
  CXmlElement other;
  ASSERT_TRUE(other.CreateRoot("O"));
  std::string xml = "stale";
  CXmlElement::ChildList list;
  EXPECT_EQ(empty.GetName(), "");
  EXPECT_EQ(empty.GetChildCount(), -1);
  EXPECT_FALSE(empty.GetChild(0, &out));
  EXPECT_FALSE(empty.FindChild("A", &out));
  EXPECT_EQ(empty.GetText(), "");
  EXPECT_EQ(empty.GetSubText("A"), "");
  EXPECT_FALSE(empty.GetXml(&xml));
  EXPECT_EQ(xml, "");
  EXPECT_FALSE(empty.GetInnerXml(&xml));
  EXPECT_FALSE(empty.GetChildList(&list));
  EXPECT_FALSE(empty.NextChild(&list, "", &out));
  EXPECT_FALSE(empty.AddChild("A", &out));
  EXPECT_FALSE(empty.AddChild("<A/>"));
  EXPECT_FALSE(empty.AddTextChild("A", "t"));
  EXPECT_FALSE(empty.AddUIntChild("A", 1));
  EXPECT_FALSE(empty.AppendCopy(other));
  EXPECT_FALSE(empty.RemoveChild(&other));
  EXPECT_TRUE(other.IsEmpty());
  EXPECT_FALSE(empty.RemoveChildByTag("A"));
  EXPECT_FALSE(empty.ReplaceTextChild("A", "t"));
  EXPECT_TRUE(out.IsEmpty());
  empty.Release();
  EXPECT_TRUE(empty.IsEmpty());
}

}  // namespace
}  // namespace qx
