// xml_element.cpp - CXmlElement on pugixml: parsing, reading with the field limits, building
// and serialising. See xml_element.h for the ownership and parsing rules.
#include "xml/xml_element.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "common/text.h"

namespace qx {
namespace {

constexpr unsigned kParseFlags =
    pugi::parse_default | pugi::parse_comments | pugi::parse_cdata | pugi::parse_fragment;
constexpr unsigned kFormatFlags = pugi::format_raw | pugi::format_no_declaration;

// A text of this many UTF-8 bytes or more has more than kMaxFieldUnits UTF-16 units, since no
// UTF-16 unit takes more than three bytes.
constexpr std::size_t kFieldBytesCeiling = 3 * (kMaxFieldUnits + 1);

// XML 1.0 (fifth edition) name characters.
bool IsNameStartChar(char32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
         (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
         (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameChar(char32_t c) {
  return IsNameStartChar(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// Strict UTF-8 decoding of one character; false on a malformed, overlong or surrogate sequence
// (which the common decoder reports as U+FFFD over one byte).
bool DecodeStrict(std::string_view text, std::size_t* pos, char32_t* out) {
  const std::size_t start = *pos;
  *out = DecodeUtf8(text, pos);
  return !(*out == 0xFFFD && *pos - start != 3);
}

// A name that pugixml may write as a tag: a well-formed XML name of at most kMaxNameUnits.
bool IsValidElementName(std::string_view name) {
  if (name.empty() || Utf16Units(name) > kMaxNameUnits) return false;
  std::size_t pos = 0;
  bool first = true;
  while (pos < name.size()) {
    char32_t c;
    if (!DecodeStrict(name, &pos, &c)) return false;
    if (!(first ? IsNameStartChar(c) : IsNameChar(c))) return false;
    first = false;
  }
  return true;
}

bool IsFragment(std::string_view text) {
  return text.size() >= 2 && text.front() == '<' && text.back() == '>';
}

bool NameMatches(pugi::xml_node node, std::string_view tag) {
  return node.type() == pugi::node_element && IEquals(node.name(), tag);
}

// Whether a text fits a field of kMaxFieldUnits UTF-16 units.
bool FitsField(std::string_view text) {
  if (text.size() <= kMaxFieldUnits) return true;  // a unit takes at least one byte
  return text.size() < kFieldBytesCeiling && Utf16Units(text) <= kMaxFieldUnits;
}

// The text of a node whose first child is a text node: every text and CDATA section below it,
// in document order. Empty otherwise, and empty when it does not fit a field.
std::string TextOf(pugi::xml_node node) {
  const pugi::xml_node first = node.first_child();
  if (first.type() != pugi::node_pcdata) return {};
  if (!first.next_sibling()) {  // the common case: one text child
    const std::string_view value = first.value();
    return FitsField(value) ? std::string(value) : std::string();
  }
  std::string text;
  pugi::xml_node cursor = first;
  while (cursor && text.size() < kFieldBytesCeiling) {  // no recursion: depth is unbounded
    if (cursor.type() == pugi::node_pcdata || cursor.type() == pugi::node_cdata) {
      text += cursor.value();
    }
    if (pugi::xml_node down = cursor.first_child()) {
      cursor = down;
      continue;
    }
    while (cursor != node && !cursor.next_sibling()) cursor = cursor.parent();
    cursor = cursor == node ? pugi::xml_node() : cursor.next_sibling();
  }
  return FitsField(text) ? text : std::string();
}

class StringWriter : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string* out) : out_(out) {}
  void write(const void* data, std::size_t size) override {
    out_->append(static_cast<const char*>(data), size);
  }

 private:
  std::string* out_;
};

// Whether the serialiser writes a text as it stands.
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

// Writes one child as the serialiser does, and answers whether it round-trips (RoundTrips).
// The usual field, an element holding one plain text, is written here; pugixml's writer costs
// more than the field for such small nodes.
bool WriteChild(pugi::xml_node child, std::string* out, StringWriter* writer) {
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
  child.print(*writer, "", kFormatFlags, pugi::encoding_utf8);
  if (child.type() == pugi::node_pcdata && !TextRoundTrips(child.value())) return false;
  return RoundTrips(child);
}

// Parses text under the parsing rules of xml_element.h into a new document; null on failure.
std::shared_ptr<pugi::xml_document> ParseMessage(std::string_view text, pugi::xml_node* root) {
  if (text.empty() || text.size() > kMaxMessageBytes) return nullptr;
  // pugixml would stop at a NUL and ignore the rest of the text.
  if (std::memchr(text.data(), '\0', text.size()) != nullptr) return nullptr;
  auto document = std::make_shared<pugi::xml_document>();
  const pugi::xml_parse_result result =
      document->load_buffer(text.data(), text.size(), kParseFlags, pugi::encoding_utf8);
  if (!result) return nullptr;
  // The fragment mode keeps text outside the root, which a well-formed message must not have.
  pugi::xml_node found;
  for (pugi::xml_node node : document->children()) {
    switch (node.type()) {
      case pugi::node_element:
        if (found) return nullptr;
        found = node;
        break;
      case pugi::node_comment:
      case pugi::node_pi:
      case pugi::node_declaration:
      case pugi::node_doctype:
        break;
      default:
        return nullptr;
    }
  }
  if (!found) return nullptr;
  *root = found;
  return document;
}

// Leading white space, an optional sign and decimal digits, as a formatted scan reads them.
// Returns false when no digit follows; *magnitude saturates at the largest 64-bit value.
bool ScanDecimal(std::string_view text, bool* negative, std::uint64_t* magnitude) {
  std::size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) {
    ++pos;
  }
  *negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    *negative = text[pos] == '-';
    ++pos;
  }
  const std::size_t digitsStart = pos;
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    const unsigned digit = static_cast<unsigned>(text[pos] - '0');
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
    ++pos;
  }
  *magnitude = value;
  return pos > digitsStart;
}

}  // namespace

CXmlElement::CXmlElement(CXmlElement&& other) noexcept
    : node_(std::exchange(other.node_, pugi::xml_node())), document_(std::move(other.document_)) {}

CXmlElement& CXmlElement::operator=(CXmlElement&& other) noexcept {
  if (this != &other) {
    node_ = std::exchange(other.node_, pugi::xml_node());
    document_ = std::move(other.document_);
  }
  return *this;
}

void CXmlElement::Attach(pugi::xml_node node, std::shared_ptr<pugi::xml_document> document) {
  node_ = node;
  document_ = node ? std::move(document) : nullptr;
}

void CXmlElement::AttachChild(pugi::xml_node node, CXmlElement* out) const {
  if (out != nullptr) out->Attach(node, document_);
}

void CXmlElement::Release() {
  node_ = pugi::xml_node();
  document_.reset();
}

// LoadXml and CreateRoot build the new document before they let go of the old one: the text
// may be a view into the document that the handle holds.
bool CXmlElement::LoadXml(std::string_view text) {
  try {
    pugi::xml_node root;
    std::shared_ptr<pugi::xml_document> document = ParseMessage(text, &root);
    Attach(root, std::move(document));
  } catch (const std::bad_alloc&) {
    Release();
  }
  return !IsEmpty();
}

bool CXmlElement::CreateRoot(std::string_view tag) {
  try {
    pugi::xml_node root;
    std::shared_ptr<pugi::xml_document> document;
    if (IsValidElementName(tag)) {
      document = std::make_shared<pugi::xml_document>();
      root = document->append_child(pugi::node_element);
      if (!root.set_name(std::string(tag).c_str())) root = pugi::xml_node();
    }
    Attach(root, std::move(document));
  } catch (const std::bad_alloc&) {
    Release();
  }
  return !IsEmpty();
}

std::string CXmlElement::GetName() const {
  switch (node_.type()) {
    case pugi::node_element: {
      const std::string_view name = node_.name();
      // No UTF-16 unit takes fewer than one byte, so short names need no count.
      if (name.size() > kMaxNameUnits && Utf16Units(name) > kMaxNameUnits) return {};
      return std::string(name);
    }
    case pugi::node_pcdata:
      return "#text";
    case pugi::node_cdata:
      return "#cdata-section";
    case pugi::node_comment:
      return "#comment";
    case pugi::node_pi:
      return node_.name();
    default:
      return {};
  }
}

int CXmlElement::GetChildCount() const {
  if (!node_) return -1;
  int count = 0;
  for (pugi::xml_node child = node_.first_child(); child; child = child.next_sibling()) {
    if (count == std::numeric_limits<int>::max()) break;
    ++count;
  }
  return count;
}

bool CXmlElement::GetChild(int index, CXmlElement* out) const {
  if (out == nullptr) return false;
  pugi::xml_node child;
  if (index >= 0) {
    child = node_.first_child();
    for (int i = 0; i < index && child; ++i) child = child.next_sibling();
  }
  AttachChild(child, out);
  return !out->IsEmpty();
}

pugi::xml_node CXmlElement::FindChildNode(std::string_view tag) const {
  if (tag.empty()) return {};
  for (pugi::xml_node child = node_.first_child(); child; child = child.next_sibling()) {
    if (NameMatches(child, tag)) {
      // An element whose name reads as empty (too long) is never found by name.
      if (tag.size() > kMaxNameUnits && Utf16Units(child.name()) > kMaxNameUnits) continue;
      return child;
    }
  }
  return {};
}

bool CXmlElement::FindChild(std::string_view tag, CXmlElement* out) const {
  if (out == nullptr) return false;
  AttachChild(FindChildNode(tag), out);
  return !out->IsEmpty();
}

std::string CXmlElement::GetText() const { return TextOf(node_); }

std::string CXmlElement::GetAttribute(std::string_view name) const {
  if (node_.type() != pugi::node_element) return {};
  for (const pugi::xml_attribute attribute : node_.attributes()) {
    if (name == attribute.name()) return attribute.value();
  }
  return {};
}

void CXmlElement::ForEachAttribute(
    const std::function<bool(std::string_view name, std::string_view value)>& visit) const {
  if (node_.type() != pugi::node_element) return;
  for (const pugi::xml_attribute attribute : node_.attributes()) {
    if (!visit(attribute.name(), attribute.value())) return;
  }
}

std::string CXmlElement::GetSubText(std::string_view tag) const {
  return TextOf(FindChildNode(tag));
}

void CXmlElement::GetSubTexts(const std::string_view* tags, std::string* texts,
                              std::size_t count) const {
  constexpr std::size_t kMaxTags = 8;
  bool found[kMaxTags] = {};
  count = std::min(count, kMaxTags);
  for (std::size_t i = 0; i < count; ++i) texts[i].clear();
  std::size_t left = count;
  for (pugi::xml_node child = node_.first_child(); child && left > 0;
       child = child.next_sibling()) {
    if (child.type() != pugi::node_element) continue;
    const char* name = child.name();
    const auto first = static_cast<unsigned char>(name[0]);
    for (std::size_t i = 0; i < count; ++i) {
      if (found[i] || tags[i].empty()) continue;
      // Names whose first letters are ASCII and differ ignoring case are not compared.
      const auto tagFirst = static_cast<unsigned char>(tags[i][0]);
      if ((first | tagFirst) < 0x80 && (first | 0x20) != (tagFirst | 0x20)) continue;
      if (!NameMatches(child, tags[i])) continue;
      // As FindChildNode: an element whose name reads as empty (too long) is never found.
      if (tags[i].size() > kMaxNameUnits && Utf16Units(child.name()) > kMaxNameUnits) continue;
      texts[i] = TextOf(child);
      found[i] = true;
      --left;
    }
  }
}

std::uint32_t CXmlElement::GetSubUInt(std::string_view tag, bool* ok) const {
  bool negative;
  std::uint64_t magnitude;
  const bool scanned = ScanDecimal(GetSubText(tag), &negative, &magnitude);
  if (ok != nullptr) *ok = scanned;
  if (!scanned) return 0;
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  if (magnitude > kMax) return kMax;
  const auto value = static_cast<std::uint32_t>(magnitude);
  return negative ? static_cast<std::uint32_t>(0u - value) : value;
}

std::int32_t CXmlElement::GetSubInt(std::string_view tag, bool* ok) const {
  bool negative;
  std::uint64_t magnitude;
  const bool scanned = ScanDecimal(GetSubText(tag), &negative, &magnitude);
  if (ok != nullptr) *ok = scanned;
  if (!scanned) return 0;
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  if (negative) {
    return magnitude >= static_cast<std::uint64_t>(-kMin) ? static_cast<std::int32_t>(kMin)
                                                          : -static_cast<std::int32_t>(magnitude);
  }
  return magnitude >= static_cast<std::uint64_t>(kMax) ? static_cast<std::int32_t>(kMax)
                                                       : static_cast<std::int32_t>(magnitude);
}

bool CXmlElement::GetXml(std::string* out) const {
  if (out == nullptr) return false;
  out->clear();
  if (!node_) return false;
  try {
    StringWriter writer(out);
    node_.print(writer, "", kFormatFlags, pugi::encoding_utf8);
    return true;
  } catch (const std::bad_alloc&) {
    out->clear();
    return false;
  }
}

bool CXmlElement::GetInnerXml(std::string* out) const {
  if (out == nullptr) return false;
  out->clear();
  if (!node_) return false;
  try {
    StringWriter writer(out);
    for (pugi::xml_node child = node_.first_child(); child; child = child.next_sibling()) {
      child.print(writer, "", kFormatFlags, pugi::encoding_utf8);
    }
    return true;
  } catch (const std::bad_alloc&) {
    out->clear();
    return false;
  }
}

bool CXmlElement::GetXmlNotingChild(std::string_view tag, std::size_t limit, std::string* out,
                                    std::size_t* childStart, std::size_t* childEnd,
                                    bool* exact) const {
  if (out == nullptr || childStart == nullptr || childEnd == nullptr || exact == nullptr) {
    return false;
  }
  *childStart = *childEnd = std::string::npos;
  *exact = false;
  if (node_.type() != pugi::node_element || node_.first_attribute() || !node_.first_child()) {
    if (!GetXml(out)) return false;
    // An element without attributes or children is written as <X/>.
    *exact = node_.type() == pugi::node_element && !node_.first_attribute();
    return true;
  }
  try {
    *exact = true;
    const std::string_view name = node_.name();
    out->clear();
    out->reserve(512);
    out->push_back('<');
    out->append(name).push_back('>');
    StringWriter writer(out);
    for (pugi::xml_node child = node_.first_child(); child; child = child.next_sibling()) {
      const bool noted = *childStart == std::string::npos && NameMatches(child, tag);
      if (noted) *childStart = out->size();
      if (!WriteChild(child, out, &writer)) *exact = false;
      if (noted) *childEnd = out->size();
      if (out->size() > limit) break;
    }
    out->append("</", 2).append(name).push_back('>');
    return true;
  } catch (const std::bad_alloc&) {
    out->clear();
    *childStart = *childEnd = std::string::npos;
    *exact = false;
    return false;
  }
}

bool CXmlElement::GetChildList(ChildList* list) const {
  if (list == nullptr) return false;
  *list = ChildList();
  if (!node_) return false;
  list->next_ = node_.first_child();
  list->document_ = document_;
  return true;
}

bool CXmlElement::NextChild(ChildList* list, std::string_view tag, CXmlElement* out) const {
  if (out == nullptr) return false;
  out->Release();
  if (list == nullptr) return false;
  for (pugi::xml_node node = list->next_; node; node = node.next_sibling()) {
    if (node.type() != pugi::node_element || (!tag.empty() && !IEquals(node.name(), tag))) {
      continue;
    }
    list->next_ = node.next_sibling();
    out->Attach(node, list->document_);
    return true;
  }
  list->next_ = pugi::xml_node();
  return false;
}

pugi::xml_node CXmlElement::AppendElement(std::string_view tag, bool first) {
  if (node_.type() != pugi::node_element || !IsValidElementName(tag)) return {};
  pugi::xml_node child =
      first ? node_.prepend_child(pugi::node_element) : node_.append_child(pugi::node_element);
  if (!child) return {};
  if (!child.set_name(std::string(tag).c_str())) {
    node_.remove_child(child);
    return {};
  }
  return child;
}

bool CXmlElement::AddChild(std::string_view nameOrFragment, CXmlElement* out) {
  if (out != nullptr && out != this) out->Release();
  pugi::xml_node child;
  try {
    if (IsFragment(nameOrFragment)) {
      if (node_.type() == pugi::node_element) {
        pugi::xml_node root;
        const auto fragment = ParseMessage(nameOrFragment, &root);
        if (fragment) child = node_.append_copy(root);
      }
    } else {
      child = AppendElement(nameOrFragment);
    }
  } catch (const std::bad_alloc&) {
    child = pugi::xml_node();
  }
  if (!child) return false;
  AttachChild(child, out);
  return true;
}

bool CXmlElement::AddTextChild(std::string_view tag, std::string_view text) {
  return AddTextElement(tag, text, /*first=*/false);
}

bool CXmlElement::PrependTextChild(std::string_view tag, std::string_view text) {
  return AddTextElement(tag, text, /*first=*/true);
}

bool CXmlElement::AddTextElement(std::string_view tag, std::string_view text, bool first) {
  try {
    pugi::xml_node child = AppendElement(tag, first);
    if (!child) return false;
    pugi::xml_node textNode = child.append_child(pugi::node_pcdata);
    return textNode && textNode.set_value(text.data(), text.size());
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool CXmlElement::AddUIntChild(std::string_view tag, std::uint32_t value) {
  return AddTextChild(tag, std::to_string(value));
}

bool CXmlElement::AppendCopy(const CXmlElement& other, CXmlElement* out) {
  if (out != nullptr && out != this && out != &other) out->Release();
  if (!other.node_ || node_.type() != pugi::node_element) return false;
  const pugi::xml_node copy = node_.append_copy(other.node_);
  if (!copy) return false;
  AttachChild(copy, out);
  return true;
}

bool CXmlElement::RemoveChild(CXmlElement* child) {
  if (child == nullptr) return false;
  const pugi::xml_node target = child->node_;
  child->Release();
  return node_ && target && target.parent() == node_ && node_.remove_child(target);
}

bool CXmlElement::RemoveChildByTag(std::string_view tag) {
  const pugi::xml_node target = FindChildNode(tag);
  return target && node_.remove_child(target);
}

bool CXmlElement::ReplaceTextChild(std::string_view tag, std::string_view text) {
  try {
    // Copies first: tag and text may be views into the child that is removed.
    const std::string tagCopy(tag);
    const std::string textCopy(text);
    return RemoveChildByTag(tagCopy) && AddTextChild(tagCopy, textCopy);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void AppendXmlText(std::string* out, std::string_view text) {
  std::size_t plain = 0;  // start of the run not yet appended
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '&' && c != '<' && c != '>') continue;
    if (c == '\t' || c == '\n' || c == '\r') continue;
    out->append(text, plain, i - plain);
    plain = i + 1;
    switch (c) {
      case 0:
        return;
      case '&':
        out->append("&amp;");
        break;
      case '<':
        out->append("&lt;");
        break;
      case '>':
        out->append("&gt;");
        break;
      default: {
        const char entity[] = {'&', '#', static_cast<char>('0' + c / 10),
                               static_cast<char>('0' + c % 10), ';'};
        out->append(entity, sizeof entity);
      }
    }
  }
  out->append(text, plain, text.size() - plain);
}

}  // namespace qx
