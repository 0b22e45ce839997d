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
//   CXmlElement request;
//   if (request.LoadXml("<GetProjectDetails><DSN>Plant</DSN></GetProjectDetails>"))
//     std::string dsn = request.GetSubText("DSN");   // "Plant"
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace qx {

// Longest element name, and longest element text, in UTF-16 characters.
inline constexpr std::size_t kMaxNameUnits = 63;
inline constexpr std::size_t kMaxFieldUnits = 1023;

class CXmlElement {
 public:
  CXmlElement() = default;
  CXmlElement(const CXmlElement&) = delete;
  CXmlElement& operator=(const CXmlElement&) = delete;
  CXmlElement(CXmlElement&&) noexcept = default;
  CXmlElement& operator=(CXmlElement&&) noexcept = default;
  ~CXmlElement() = default;

  // Parsing and creating. LoadXml fails on an empty or malformed text (the handle is then
  // empty); on success the handle stands on the document element and owns the document.
  bool LoadXml(std::string_view text);
  bool CreateRoot(std::string_view tag);  // fails on an empty or invalid tag
  void Release();
  bool IsEmpty() const { return !node_; }

  // Reading.
  std::string GetName() const;  // names longer than 63 characters read as empty
  int GetChildCount() const;    // child nodes of every kind; -1 on an empty handle
  bool GetChild(int index, CXmlElement* out) const;
  bool FindChild(std::string_view tag, CXmlElement* out) const;
  // Text of all descendants when the first child is a text node; empty otherwise, and empty
  // when the text has 1024 UTF-16 characters or more.
  std::string GetText() const;
  std::string GetSubText(std::string_view tag) const;
  // "%lu" / "%d" scans of GetSubText: leading white space skipped, trailing text ignored; 0 and
  // *ok false when no number can be read.
  std::uint32_t GetSubUInt(std::string_view tag, bool* ok = nullptr) const;
  std::int32_t GetSubInt(std::string_view tag, bool* ok = nullptr) const;
  // Serialised node (no XML declaration, no indentation); false on an empty handle.
  bool GetXml(std::string* out) const;
  bool GetInnerXml(std::string* out) const;

  // Iteration over element children, optionally of one tag (ignoring case).
  class ChildList {
   public:
    ChildList() = default;

   private:
    friend class CXmlElement;
    pugi::xml_node next_;
  };
  bool GetChildList(ChildList* list) const;
  bool NextChild(ChildList* list, std::string_view tag, CXmlElement* out) const;
  void ReleaseChildList(ChildList* list) const { *list = ChildList(); }

  // Building; all append at the end of this node's children.
  // A text beginning with '<' and ending with '>' is parsed and its root copied in.
  bool AddChild(std::string_view nameOrFragment, CXmlElement* out = nullptr);
  bool AddTextChild(std::string_view tag, std::string_view text);
  bool AddUIntChild(std::string_view tag, std::uint32_t value);
  bool AppendCopy(const CXmlElement& other, CXmlElement* out = nullptr);
  bool RemoveChild(CXmlElement* child);  // releases the child handle in any case
  bool RemoveChildByTag(std::string_view tag);
  bool ReplaceTextChild(std::string_view tag, std::string_view text);

  // The underlying node, for code that needs pugixml directly (the network tree).
  pugi::xml_node node() const { return node_; }

 private:
  void Attach(pugi::xml_node node, std::shared_ptr<pugi::xml_document> document);

  pugi::xml_node node_;
  std::shared_ptr<pugi::xml_document> document_;
};

}  // namespace qx
