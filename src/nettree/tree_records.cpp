// tree_records.cpp - CHostInfo, CProjectInfo and the StructMap index of either.
#include "nettree/tree_records.h"

#include <utility>

#include "common/text.h"
#include "nettree/net_tree_internal.h"

namespace qx {
namespace {

const CTraceSource& StructMapSource() {
  static const CTraceSource source("StructMap");
  return source;
}

// Written when the index deletes a record; a host goes without a line.
void TraceDeleted(const CHostInfo& /*record*/) {}
void TraceDeleted(const CProjectInfo& /*record*/) {
  Trace(NetTreeTraceSource(), nullptr, nullptr, kTraceMulticast, kLevelText,
        "--- ~CProjectInfo(E)");
}

constexpr unsigned kWriteFlags = pugi::format_raw | pugi::format_no_declaration;

// The parsed form of a stored text with its STATE child moved last and holding state.
bool ParseWithState(const std::optional<std::string>& text, std::string_view state,
                    CXmlElement* element) {
  if (!text || !element->LoadXml(*text)) return false;
  element->ReplaceTextChild("STATE", state);
  return true;
}

class CountingWriter : public pugi::xml_writer {
 public:
  void write(const void* /*data*/, std::size_t size) override { bytes += size; }
  std::size_t bytes = 0;
};

std::size_t WrittenSize(pugi::xml_node node) {
  CountingWriter writer;
  node.print(writer, "", kWriteFlags, pugi::encoding_utf8);
  return writer.bytes;
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Whether writing the subtree and parsing it again gives the same tree: the parser drops text
// nodes that are empty or white space only and reads a carriage return as a line feed.
bool RoundTrips(pugi::xml_node element) {
  pugi::xml_node cursor = element.first_child();
  while (cursor) {  // no recursion: depth is unbounded
    if (cursor.type() == pugi::node_pcdata) {
      const std::string_view value = cursor.value();
      bool blank = true;
      for (const char c : value) {
        if (c == '\r') return false;
        blank = blank && IsXmlSpace(c);
      }
      if (blank) return false;
    }
    if (pugi::xml_node down = cursor.first_child()) {
      cursor = down;
      continue;
    }
    while (cursor != element && !cursor.next_sibling()) cursor = cursor.parent();
    cursor = cursor == element ? pugi::xml_node() : cursor.next_sibling();
  }
  return true;
}

// A text that the writer puts out as it stands.
bool IsPlainText(std::string_view text) {
  for (const char c : text) {
    if (c == '&' || c == '<' || c == '>' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

// The list form of an element that was just written as text, without parsing the text again:
// the text with the written STATE child cut out and a new one put before the end tag. Equal to
// writing ParseWithState's element; false when the element is not one that this covers.
bool SpliceListForm(pugi::xml_node element, const std::string& text, std::string_view state,
                    std::string* out) {
  if (!IsPlainText(state) || !RoundTrips(element)) return false;
  pugi::xml_node stateChild;
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element && IEquals(child.name(), "STATE")) {
      stateChild = child;
      break;
    }
  }
  if (!stateChild) {
    *out = text;
    return true;
  }
  const std::string endTag = std::string("</") + element.name() + ">";
  std::size_t children = 0;
  std::size_t before = 0;
  std::size_t stateSize = 0;
  bool seen = false;
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
    const std::size_t size = WrittenSize(child);
    if (child == stateChild) {
      stateSize = size;
      seen = true;
    } else if (!seen) {
      before += size;
    }
    children += size;
  }
  if (text.size() < endTag.size() + children ||
      text.compare(text.size() - endTag.size(), endTag.size(), endTag) != 0) {
    return false;
  }
  const std::size_t stateStart = text.size() - endTag.size() - children + before;
  const std::size_t stateEnd = stateStart + stateSize;
  out->clear();
  out->reserve(text.size() + state.size() + 16);
  out->append(text, 0, stateStart);
  out->append(text, stateEnd, text.size() - endTag.size() - stateEnd);
  out->append("<STATE>").append(state).append("</STATE>").append(endTag);
  return true;
}

}  // namespace

std::string DsnKey(std::string_view dsn) { return CutToUnits(dsn, kMaxRecordFieldUnits); }

bool IsValidHostName(std::string_view host) {
  return !host.empty() &&
         (host.size() <= kMaxHostNameUnits || Utf16Units(host) <= kMaxHostNameUnits);
}

bool CHostInfo::AddXML(const CXmlElement& announcement) {
  domain = CutToUnits(announcement.GetSubText("DOMAIN"), kMaxRecordFieldUnits);
  host = CutToUnits(announcement.GetSubText("HOST"), kMaxHostNameUnits);
  std::string written;
  if (!announcement.GetXml(&written) || written.size() > kMaxHostDetailsBytes) return false;
  details = std::move(written);
  return true;
}

bool CProjectInfo::AddXML(const CXmlElement& element) {
  host = CutToUnits(element.GetSubText("HOST"), kMaxHostNameUnits);
  hostKey = FoldedKey(host);
  state = CutToUnits(element.GetSubText("STATE"), kMaxStateUnits);
  dsn = CutToUnits(element.GetSubText("DSN"), kMaxRecordFieldUnits);
  std::string written;
  if (!element.GetXml(&written) || written.size() > kMaxProjectTextBytes) return false;
  text = std::move(written);
  std::string form;
  if (SpliceListForm(element.node(), *text, state, &form)) {
    listForm_ = std::move(form);
  } else {
    UpdateListForm();
  }
  return true;
}

void CProjectInfo::Refresh(CProjectInfo&& fresh) {
  state = std::move(fresh.state);
  host = std::move(fresh.host);
  hostKey = std::move(fresh.hostKey);
  dsn = std::move(fresh.dsn);
  text = std::move(fresh.text);
  listForm_ = std::move(fresh.listForm_);
}

void CProjectInfo::SetState(std::string_view newState) {
  state = CutToUnits(newState, kMaxStateUnits);
  UpdateListForm();
}

void CProjectInfo::UpdateListForm() {
  listForm_.reset();
  CXmlElement element;
  std::string written;
  if (ParseWithState(text, state, &element) && element.GetXml(&written)) {
    listForm_ = std::move(written);
  }
}

bool CProjectInfo::BuildDetails(bool withCredentials, std::string* out) const {
  if (!withCredentials) {
    if (!listForm_) return false;
    *out = *listForm_;
    return true;
  }
  CXmlElement element;
  return ParseWithState(text, state, &element) && element.AddTextChild("PASSWORD", password) &&
         element.AddTextChild("USER", user) && element.GetXml(out);
}

bool CProjectInfo::AppendTo(std::string* list) const {
  if (!listForm_) return false;
  list->append(*listForm_);
  return true;
}

template <typename Record>
Record* StructMap<Record>::Find(std::string_view name) {
  if (entries_.empty()) return nullptr;
  const auto found = entries_.find(FoldedKey(name));
  return found == entries_.end() ? nullptr : &found->second.record;
}

template <typename Record>
const Record* StructMap<Record>::Find(std::string_view name) const {
  return const_cast<StructMap*>(this)->Find(name);
}

template <typename Record>
Record* StructMap<Record>::FindOrAdd(const std::string& key, std::string_view name, bool* created) {
  auto [entry, inserted] = entries_.try_emplace(key);
  if (inserted) entry->second.name = std::string(name);
  *created = inserted;
  return &entry->second.record;
}

template <typename Record>
bool StructMap<Record>::Remove(std::string_view name) {
  const auto found = entries_.empty() ? entries_.end() : entries_.find(FoldedKey(name));
  if (found == entries_.end()) {
    TraceError(StructMapSource(), "Remove(%.*s). size(%d) > 0 && find() != end() failed!",
               static_cast<int>(name.size()), name.data(), static_cast<int>(entries_.size()));
    return false;
  }
  Trace(StructMapSource(), nullptr, nullptr, kTraceAll, kLevelMain, "find(%.*s) ok. We call delete",
        static_cast<int>(name.size()), name.data());
  TraceDeleted(found->second.record);
  entries_.erase(found);
  return true;
}

template <typename Record>
bool StructMap<Record>::Erase(std::string_view name) {
  return !entries_.empty() && entries_.erase(FoldedKey(name)) > 0;
}

template <typename Record>
void StructMap<Record>::Clear() {
  for (const auto& [key, entry] : entries_) TraceDeleted(entry.record);
  entries_.clear();
}

template class StructMap<CHostInfo>;
template class StructMap<CProjectInfo>;

}  // namespace qx
