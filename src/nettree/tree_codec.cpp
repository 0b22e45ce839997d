// tree_codec.cpp - the network tree's records to and from XML. See tree_codec.h.
#include "nettree/tree_codec.h"

#include <algorithm>
#include <utility>

#include "common/text.h"

namespace qx {
namespace {

constexpr std::string_view kTreeOpen = "<NetTree>";
constexpr std::string_view kTreeClose = "</NetTree>";
constexpr std::string_view kEmptyTree = "<NetTree/>";
constexpr std::string_view kListOpen = "<ProjectList>";
constexpr std::string_view kListClose = "</ProjectList>";
constexpr std::string_view kEmptyList = "<ProjectList/>";

// The parsed form of a stored text with its STATE child moved last and holding state.
bool ParseWithState(const std::optional<std::string>& text, std::string_view state,
                    CXmlElement* element) {
  if (!text || !element->LoadXml(*text)) return false;
  element->ReplaceTextChild("STATE", state);
  return true;
}

void RewriteListForm(ProjectRecord* record) {
  record->listForm.reset();
  CXmlElement element;
  std::string written;
  if (ParseWithState(record->text, record->state, &element) && element.GetXml(&written)) {
    record->listForm = std::move(written);
  }
}

// The list form of an element whose text was written exactly (GetXmlNotingChild), without
// parsing the text again: the text with its written STATE child [stateStart, stateEnd) cut
// out and a new one holding state put before the end tag. Equal to writing ParseWithState's
// element; false when the text is not of that shape.
bool SpliceListForm(const std::string& text, std::size_t stateStart, std::size_t stateEnd,
                    std::string_view state, std::string* out) {
  if (stateStart == std::string::npos) {
    *out = text;
    return true;
  }
  const std::size_t endTag = text.rfind("</");  // a name holds no '<'
  if (endTag == std::string::npos || endTag < stateEnd) return false;
  out->clear();
  out->reserve(text.size() + state.size() + 16);
  out->append(text, 0, stateStart);
  out->append(text, stateEnd, endTag - stateEnd);
  out->append("<STATE>");
  AppendXmlText(out, state);
  out->append("</STATE>");
  out->append(text, endTag);
  return true;
}

}  // namespace

bool ReadHostRecord(const CXmlElement& announcement, HostRecord* out) {
  out->domain = CutToUnits(announcement.GetSubText("DOMAIN"), kMaxRecordFieldUnits);
  out->host = CutToUnits(announcement.GetSubText("HOST"), kMaxHostNameUnits);
  std::string written;
  if (!announcement.GetXml(&written) || written.size() > kMaxHostDetailsBytes) return false;
  out->details = std::move(written);
  return true;
}

bool ReadProjectRecord(const CXmlElement& element, ProjectRecord* out) {
  static constexpr std::string_view kFields[] = {"HOST", "STATE", "DSN"};
  std::string fields[3];
  element.GetSubTexts(kFields, fields, 3);
  out->host = CutToUnits(fields[0], kMaxHostNameUnits);
  out->hostKey = FoldedKey(out->host);
  out->state = CutToUnits(fields[1], kMaxStateUnits);
  out->dsn = CutToUnits(fields[2], kMaxRecordFieldUnits);
  std::string written;
  std::size_t stateStart = std::string::npos;
  std::size_t stateEnd = std::string::npos;
  bool exact = false;
  if (!element.GetXmlNotingChild("STATE", kMaxProjectTextBytes, &written, &stateStart, &stateEnd,
                                 &exact) ||
      written.size() > kMaxProjectTextBytes) {
    return false;
  }
  out->text = std::move(written);
  std::string form;
  if (exact && SpliceListForm(*out->text, stateStart, stateEnd, out->state, &form)) {
    out->listForm = std::move(form);
  } else {
    RewriteListForm(out);
  }
  return true;
}

int TakeProjectList(CXmlElement* announcement, std::vector<ProjectRecord>* out) {
  int skipped = 0;
  CXmlElement list;
  if (!announcement->FindChild("PROJECTLIST", &list)) return skipped;
  out->reserve(out->size() + static_cast<std::size_t>(std::max(list.GetChildCount(), 0)));
  CXmlElement::ChildList children;
  list.GetChildList(&children);
  CXmlElement project;
  while (list.NextChild(&children, "Project", &project)) {
    ProjectRecord record;
    if (!ReadProjectRecord(project, &record) || record.dsn.empty()) {
      ++skipped;
      continue;
    }
    out->push_back(std::move(record));
  }
  announcement->RemoveChild(&list);
  return skipped;
}

void SetProjectState(std::string_view state, ProjectRecord* record) {
  record->state = CutToUnits(state, kMaxStateUnits);
  RewriteListForm(record);
}

void WriteTreeDocument(const std::list<DomainRecord>& domains, std::string* out) {
  out->clear();
  if (domains.empty()) {
    out->append(kEmptyTree);
    return;
  }
  static constexpr std::size_t kDomainTags = sizeof("<Domain><Name></Name></Domain>") - 1;
  static constexpr std::size_t kHostTags = sizeof("<Host></Host>") - 1;
  std::size_t size = kTreeOpen.size() + kTreeClose.size();
  for (const DomainRecord& domain : domains) {
    size += kDomainTags + domain.name.size();
    for (const std::string& host : domain.hosts) size += kHostTags + host.size();
  }
  out->reserve(size);  // more only when a name needs escaping
  out->append(kTreeOpen);
  for (const DomainRecord& domain : domains) {
    out->append("<Domain><Name>");
    AppendXmlText(out, domain.name);
    out->append("</Name>");
    for (const std::string& host : domain.hosts) {
      out->append("<Host>");
      AppendXmlText(out, host);
      out->append("</Host>");
    }
    out->append("</Domain>");
  }
  out->append(kTreeClose);
}

bool WriteProjectDetails(const ProjectRecord& record, bool withCredentials, std::string* out) {
  if (!withCredentials) {
    if (!record.listForm) return false;
    *out = *record.listForm;
    return true;
  }
  CXmlElement element;
  return ParseWithState(record.text, record.state, &element) &&
         element.AddTextChild("PASSWORD", record.password) &&
         element.AddTextChild("USER", record.user) && element.GetXml(out);
}

std::size_t ProjectListBytes(const ProjectRecord& record) {
  return record.listForm ? record.listForm->size() : 0;
}

void BeginProjectList(std::size_t projectBytes, std::string* list) {
  list->clear();
  list->reserve(kListOpen.size() + projectBytes + kListClose.size());
  list->append(kListOpen);
}

void AppendToProjectList(const ProjectRecord& record, std::string* list) {
  if (record.listForm) list->append(*record.listForm);
}

void EndProjectList(std::string* list) {
  // Empty as the serialiser writes an element without children.
  if (list->size() == kListOpen.size()) {
    list->assign(kEmptyList);
  } else {
    list->append(kListClose);
  }
}

std::string WriteCredentials(const ProjectRecord& record) {
  // The stored texts are escaped, so that markup characters in them come back intact.
  return "<Result><PASSWORD>" + XmlEscape(record.password) + "</PASSWORD><USER>" +
         XmlEscape(record.user) + "</USER></Result>";
}

}  // namespace qx
