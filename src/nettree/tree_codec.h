// tree_codec.h - the network tree's records to and from the system's XML: announcements and
// project elements read into records, and every answer of the tree's queries written from them
// (the tree document, a host's details, a project's details and list form, the project list,
// the stored credentials).
//
// The codec keeps no state and locks nothing: NetTree calls the readers before it takes its
// lock and the writers while it holds it. It reads and writes only through the xml layer
// (CXmlElement, AppendXmlText), so that the tree itself never sees an XML node.
//
//   ProjectRecord fresh;
//   if (ReadProjectRecord(event, &fresh)) ...            // PushServerProject
//   std::string tree;
//   WriteTreeDocument(domains, &tree);                   // GetTreeContent
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <vector>

#include "nettree/tree_records.h"
#include "xml/xml_element.h"

namespace qx {

// Reading. Each reader cuts every field to its limit and refuses texts longer than their
// limit (kMaxHostDetailsBytes, kMaxProjectTextBytes).

// DOMAIN, HOST and the whole announcement as written; the caller took PROJECTLIST out first.
bool ReadHostRecord(const CXmlElement& announcement, HostRecord* out);
// HOST, STATE and DSN of a PROJECT element or a state event, the element as written and its
// list form. PASSWORD and USER are left empty.
bool ReadProjectRecord(const CXmlElement& element, ProjectRecord* out);
// Takes the PROJECTLIST child out of an announcement and reads each of its "Project" elements
// (in list order) that gives a record with a DSN; returns how many it left out.
int TakeProjectList(CXmlElement* announcement, std::vector<ProjectRecord>* out);
// Sets the state (cut to its field) and writes the list form again.
void SetProjectState(std::string_view state, ProjectRecord* record);

// Writing.

// The tree document: root "NetTree", one "Domain" per domain with its "Name" first and its
// "Host" elements after it; "<NetTree/>" without domains.
void WriteTreeDocument(const std::list<DomainRecord>& domains, std::string* out);
// The project's text with its STATE child (if any) moved last and holding the current state,
// and with PASSWORD and USER appended when asked. False when the stored text does not parse.
bool WriteProjectDetails(const ProjectRecord& record, bool withCredentials, std::string* out);

// The project list answer: BeginProjectList, AppendToProjectList for each project (a project
// whose text does not parse is left out), EndProjectList. ProjectListBytes is what a project
// adds, so that the caller can reserve the answer once.
std::size_t ProjectListBytes(const ProjectRecord& record);
void BeginProjectList(std::size_t projectBytes, std::string* list);
void AppendToProjectList(const ProjectRecord& record, std::string* list);
void EndProjectList(std::string* list);

// The IsPasswordAvailable answers: the stored credentials, or that there are none.
std::string WriteCredentials(const ProjectRecord& record);
inline constexpr std::string_view kCredentialsNotAvailable = "<NotAvailable></NotAvailable>";

}  // namespace qx
