// tree_records.cpp - CHostInfo, CProjectInfo and the StructMap index of either.
#include "nettree/tree_records.h"

#include <cstring>
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

// Appends what pugixml writes to a string.
class AppendingWriter : public pugi::xml_writer {
 public:
  explicit AppendingWriter(std::string* out) : out_(out) {}
  void write(const void* data, std::size_t size) override {
    out_->append(static_cast<const char*>(data), size);
  }

 private:
  std::string* out_;
};

constexpr std::size_t kNoState = std::string::npos;

// A text that the writer puts out as it stands.
bool IsPlainText(std::string_view text) {
  for (const char c : text) {
    if (c == '&' || c == '<' || c == '>' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Whether the parser reads a written text node back as it was: it drops text nodes that are
// empty or white space only and reads a carriage return as a line feed.
bool TextRoundTrips(std::string_view value) {
  bool blank = true;
  for (const char c : value) {
    if (c == '\r') return false;
    blank = blank && IsXmlSpace(c);
  }
  return !blank;
}

// Whether writing the subtree below node and parsing it again gives the same tree.
bool RoundTrips(pugi::xml_node node) {
  pugi::xml_node cursor = node.first_child();
  while (cursor) {  // no recursion: depth is unbounded
    if (cursor.type() == pugi::node_pcdata && !TextRoundTrips(cursor.value())) return false;
    if (pugi::xml_node down = cursor.first_child()) {
      cursor = down;
      continue;
    }
    while (cursor != node && !cursor.next_sibling()) cursor = cursor.parent();
    cursor = cursor == node ? pugi::xml_node() : cursor.next_sibling();
  }
  return true;
}

// Writes one child as pugixml does, and answers whether it round-trips (RoundTrips). The usual
// field, an element holding one plain text, is written here; pugixml's writer costs more than
// the field for such small nodes.
bool WriteChild(pugi::xml_node child, std::string* out, AppendingWriter* writer) {
  if (child.type() == pugi::node_element && !child.first_attribute()) {
    const pugi::xml_node text = child.first_child();
    if (text.type() == pugi::node_pcdata && !text.next_sibling()) {
      const std::string_view value = text.value();
      if (IsPlainText(value)) {
        const std::string_view name = child.name();
        out->push_back('<');
        out->append(name).push_back('>');
        out->append(value).append("</", 2).append(name).push_back('>');
        // A plain text holds no carriage return; blank only when spaces or nothing.
        return value.find_first_not_of(' ') != std::string_view::npos;
      }
    }
  }
  child.print(*writer, "", kWriteFlags, pugi::encoding_utf8);
  if (child.type() == pugi::node_pcdata && !TextRoundTrips(child.value())) return false;
  return RoundTrips(child);
}

// Writes an element as CXmlElement::GetXml does, but child by child, and notes where its first
// STATE child is written: [*stateStart, *stateEnd) of *out, kNoState without one, and whether
// the element round-trips. False for an element that this does not cover (attributes, no
// children): the caller writes it whole.
bool WriteNotingState(pugi::xml_node element, std::string* out, std::size_t* stateStart,
                      std::size_t* stateEnd, bool* roundTrips) {
  if (element.type() != pugi::node_element || element.first_attribute() || !element.first_child()) {
    return false;
  }
  *stateStart = *stateEnd = kNoState;
  *roundTrips = true;
  const std::string_view name = element.name();
  out->clear();
  out->reserve(512);
  out->push_back('<');
  out->append(name).push_back('>');
  AppendingWriter writer(out);
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
    const bool isState = *stateStart == kNoState && child.type() == pugi::node_element &&
                         IEquals(child.name(), "STATE");
    if (isState) *stateStart = out->size();
    if (!WriteChild(child, out, &writer)) *roundTrips = false;
    if (isState) *stateEnd = out->size();
    if (out->size() > kMaxProjectTextBytes) break;  // refused by the caller
  }
  out->append("</", 2).append(name).push_back('>');
  return true;
}

// The list form of an element that WriteNotingState just wrote as text and found to round-trip,
// without parsing the text again: the text with the written STATE child cut out and a new one
// put before the end tag. Equal to writing ParseWithState's element; false when the element is
// not one that this covers.
bool SpliceListForm(pugi::xml_node element, const std::string& text, std::size_t stateStart,
                    std::size_t stateEnd, std::string_view state, std::string* out) {
  if (!IsPlainText(state)) return false;
  if (stateStart == kNoState) {
    *out = text;
    return true;
  }
  const std::size_t endTagSize = std::strlen(element.name()) + 3;
  if (text.size() < stateEnd + endTagSize) return false;
  out->clear();
  out->reserve(text.size() + state.size() + 16);
  out->append(text, 0, stateStart);
  out->append(text, stateEnd, text.size() - endTagSize - stateEnd);
  out->append("<STATE>").append(state).append("</STATE>");
  out->append(text, text.size() - endTagSize, endTagSize);
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
  static constexpr std::string_view kFields[] = {"HOST", "STATE", "DSN"};
  std::string fields[3];
  element.GetSubTexts(kFields, fields, 3);
  host = CutToUnits(fields[0], kMaxHostNameUnits);
  hostKey = FoldedKey(host);
  state = CutToUnits(fields[1], kMaxStateUnits);
  dsn = CutToUnits(fields[2], kMaxRecordFieldUnits);
  std::string written;
  std::size_t stateStart = kNoState;
  std::size_t stateEnd = kNoState;
  bool roundTrips = false;
  const bool noted =
      WriteNotingState(element.node(), &written, &stateStart, &stateEnd, &roundTrips);
  if ((!noted && !element.GetXml(&written)) || written.size() > kMaxProjectTextBytes) return false;
  text = std::move(written);
  std::string form;
  if (noted && roundTrips &&
      SpliceListForm(element.node(), *text, stateStart, stateEnd, state, &form)) {
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
