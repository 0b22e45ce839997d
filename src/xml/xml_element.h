// xml_element.h - CXmlElement, a handle on one element of a parsed or built message.
//
// Every message (local commands, remote requests and answers, announcements, project records)
// is parsed, read and built through this class, on pugixml (comments and CDATA kept).
// Ownership: a handle made by LoadXml or CreateRoot owns its document; handles obtained from it
// (GetChild, FindChild, NextChild, the out-handles of AddChild and AppendCopy) share that
// document, so they stay valid even when the owning handle goes. An empty handle answers every
// call with an empty result (false, "", -1). No operation throws or traces. A document is used
// by one thread at a time.
//
// Removing a node (RemoveChild, RemoveChildByTag, ReplaceTextChild) frees it: every other handle
// or child list that stands on the removed node or below it is invalid afterwards, as with any
// pugixml node. The handle passed to RemoveChild itself is released.
//
// Parsing rules: the text is UTF-8, at most kMaxMessageBytes long, without NUL characters, and
// holds exactly one root element (comments, processing instructions, an XML declaration and a
// DOCTYPE may stand beside it; text may not). Comments and CDATA sections are kept. Text nodes
// of white space only are dropped, so the white space that indents a message never counts as a
// child. A DOCTYPE is skipped, and entities that it declares are not expanded: a reference to
// one stays literal text. Line ends are normalised as XML requires: a carriage return written
// in a text reads back as a line feed. Element names of more than kMaxNameUnits characters are
// refused when building (CreateRoot, AddChild, AddTextChild) and read as "" by GetName.
//
//   CXmlElement request;
//   if (request.LoadXml("<GetProjectDetails><DSN>Plant</DSN></GetProjectDetails>"))
//     std::string dsn = request.GetSubText("DSN");   // "Plant"
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace qx {

// Longest element name, and longest element text, in UTF-16 characters.
inline constexpr std::size_t kMaxNameUnits = 63;
inline constexpr std::size_t kMaxFieldUnits = 1023;
// Longest message text that LoadXml accepts, in bytes.
inline constexpr std::size_t kMaxMessageBytes = 16u << 20;

class CXmlElement {
 public:
  CXmlElement() = default;
  CXmlElement(const CXmlElement&) = delete;
  CXmlElement& operator=(const CXmlElement&) = delete;
  // A moved-from handle is empty.
  CXmlElement(CXmlElement&& other) noexcept;
  CXmlElement& operator=(CXmlElement&& other) noexcept;
  ~CXmlElement() = default;

  // Parsing and creating. LoadXml fails on an empty or malformed text (the handle is then
  // empty); on success the handle stands on the document element and owns the document.
  bool LoadXml(std::string_view text);
  bool CreateRoot(std::string_view tag);  // fails on an empty or invalid tag
  void Release();
  bool IsEmpty() const { return !node_; }

  // Reading.
  // Element name; names longer than 63 characters read as empty. Other kinds of node read as
  // their DOM names: "#text", "#cdata-section", "#comment", a processing instruction's target.
  std::string GetName() const;
  int GetChildCount() const;  // child nodes of every kind; -1 on an empty handle
  // GetChild, FindChild and NextChild leave *out empty when they fail; out may be this handle.
  bool GetChild(int index, CXmlElement* out) const;
  // First element child whose name equals tag ignoring case; an empty tag finds nothing.
  bool FindChild(std::string_view tag, CXmlElement* out) const;
  // Text of all descendants when the first child is a text node; empty otherwise, and empty
  // when the text has 1024 UTF-16 characters or more.
  std::string GetText() const;
  std::string GetSubText(std::string_view tag) const;
  // The value of this element's attribute of exactly that name; empty when it has none.
  std::string GetAttribute(std::string_view name) const;
  // Calls visit with the name and value of each of this element's attributes, in document
  // order, until it answers false; nothing on a node that is not an element.
  void ForEachAttribute(
      const std::function<bool(std::string_view name, std::string_view value)>& visit) const;
  // GetSubText of each of count tags (at most 8), found in one pass over the children:
  // texts[i] answers tags[i].
  void GetSubTexts(const std::string_view* tags, std::string* texts, std::size_t count) const;
  // "%lu" / "%d" scans of GetSubText: leading white space skipped, an optional sign, decimal
  // digits, trailing text ignored; 0 and *ok false when no number can be read. GetSubUInt takes
  // a minus sign as a scan of an unsigned long of 32 bits does: "-1" reads as 4294967295.
  // Values out of range read as the nearest limit (4294967295; INT32_MIN / INT32_MAX).
  std::uint32_t GetSubUInt(std::string_view tag, bool* ok = nullptr) const;
  std::int32_t GetSubInt(std::string_view tag, bool* ok = nullptr) const;
  // Serialised node (no XML declaration, no indentation, empty elements as <X/>, markup
  // characters escaped); false on an empty handle. GetInnerXml serialises the children only.
  bool GetXml(std::string* out) const;
  bool GetInnerXml(std::string* out) const;
  // GetXml that also notes where the first element child named tag (ignoring case) stands in
  // *out: [*childStart, *childEnd), both std::string::npos without one. *exact is true when LoadXml
  // of *out is known to give this element's tree back (it drops blank text nodes and reads a
  // carriage return as a line feed) and the child's place is noted; it is false for an element
  // with attributes, which is written whole. Writing stops once *out holds more than limit bytes
  // (*out is then cut short). False on an empty handle or when writing fails.
  bool GetXmlNotingChild(std::string_view tag, std::size_t limit, std::string* out,
                         std::size_t* childStart, std::size_t* childEnd, bool* exact) const;

  // Iteration over element children, optionally of one tag (ignoring case; an empty tag takes
  // every element). The list keeps the document alive. Removing the child that NextChild just
  // returned is safe; removing the one after it invalidates the list.
  class ChildList {
   public:
    ChildList() = default;

   private:
    friend class CXmlElement;
    pugi::xml_node next_;
    std::shared_ptr<pugi::xml_document> document_;
  };
  bool GetChildList(ChildList* list) const;
  bool NextChild(ChildList* list, std::string_view tag, CXmlElement* out) const;
  void ReleaseChildList(ChildList* list) const { *list = ChildList(); }

  // Building; all but PrependTextChild append at the end of this node's children, and fail on
  // an empty handle or an invalid element name. AddChild: a text beginning with '<' and ending with
  // '>' is parsed as a message (as LoadXml) and a copy of its root element appended; any other text
  // is the name of a new empty element. AppendCopy copies the other node's subtree, from any
  // document.
  bool AddChild(std::string_view nameOrFragment, CXmlElement* out = nullptr);
  bool AddTextChild(std::string_view tag, std::string_view text);
  bool AddUIntChild(std::string_view tag, std::uint32_t value);
  // AddTextChild whose new element becomes the first child instead of the last.
  bool PrependTextChild(std::string_view tag, std::string_view text);
  bool AppendCopy(const CXmlElement& other, CXmlElement* out = nullptr);
  bool RemoveChild(CXmlElement* child);  // releases the child handle in any case
  bool RemoveChildByTag(std::string_view tag);
  bool ReplaceTextChild(std::string_view tag, std::string_view text);

  // The underlying node, for the xml layer's own tests.
  pugi::xml_node node() const { return node_; }

 private:
  void Attach(pugi::xml_node node, std::shared_ptr<pugi::xml_document> document);
  pugi::xml_node FindChildNode(std::string_view tag) const;
  pugi::xml_node AppendElement(std::string_view tag, bool first = false);
  bool AddTextElement(std::string_view tag, std::string_view text, bool first);
  void AttachChild(pugi::xml_node node, CXmlElement* out) const;

  pugi::xml_node node_;
  std::shared_ptr<pugi::xml_document> document_;
};

// Appends text as the serialiser writes an element's text: '&', '<' and '>' as entities, control
// characters other than tab, line feed and carriage return as "&#NN;", every other byte as it
// is; a NUL ends the text.
void AppendXmlText(std::string* out, std::string_view text);

}  // namespace qx
