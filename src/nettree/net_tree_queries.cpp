// net_tree_queries.cpp - the local commands that read the network tree: the whole tree, one
// host's announcement, one project's details, a filtered project list, the server of a project
// and its stored credentials.
//
// Each query reads its request before it takes the lock and holds the lock until its answer
// text is complete; it changes nothing. The answer is set only on success.
#include <new>
#include <string>

#include "common/text.h"
#include "nettree/net_tree.h"
#include "nettree/net_tree_internal.h"
#include "nettree/tree_codec.h"

namespace qx {
namespace {

// Which project states a "ProjectFilter" text asks for.
constexpr unsigned kWantAll = 1;
constexpr unsigned kWantRunTime = 2;
constexpr unsigned kWantConfiguration = 4;

// "*" is every project; otherwise the filter names the wanted states by substrings, with their
// letter case as written: "Run Time", "RunTime" or "RT", and "Configuration" or "CS".
unsigned WantedStates(std::string_view filter) {
  if (filter == "*") return kWantAll;
  const auto holds = [&](std::string_view part) { return filter.find(part) != filter.npos; };
  unsigned wanted = 0;
  if (holds("Run Time") || holds("RunTime") || holds("RT")) wanted |= kWantRunTime;
  if (holds("Configuration") || holds("CS")) wanted |= kWantConfiguration;
  return wanted;
}

void SetAnswer(AnswerText* answer, std::string text) {
  if (answer != nullptr) *answer = std::move(text);
}

}  // namespace

HRESULT NetTree::GetTreeContent(const CXmlElement& /*request*/, AnswerText* answer) const {
  HRESULT hr = E_FAIL;
  try {
    std::string text;
    MutexLock lock(&mutex_);
    if (initialized_.load(std::memory_order_relaxed)) {
      WriteTreeDocument(domains_, &text);
      SetAnswer(answer, std::move(text));
      hr = S_OK;
    }
  } catch (const std::bad_alloc&) {
    hr = E_FAIL;
  }
  if (Failed(hr)) {
    TraceError(NetTreeTraceSource(), "AnswerRequest_GetTreeContent failed!. hr(%x)",
               static_cast<unsigned>(hr));
  }
  return hr;
}

HRESULT NetTree::GetHostDetails(const CXmlElement& request, AnswerText* answer) const {
  try {
    const std::string host = request.GetSubText("HOST");
    if (!IsValidHostName(host)) return E_FAIL;
    MutexLock lock(&mutex_);
    const HostRecord* record = hosts_.Find(host);
    if (record == nullptr || !record->details) return E_FAIL;
    SetAnswer(answer, *record->details);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_FAIL;
  }
}

HRESULT NetTree::GetProjectDetails(const CXmlElement& request, AnswerText* answer) const {
  try {
    const std::string key = DsnKey(request.GetSubText("DSN"));
    const bool withCredentials = IEquals(request.GetSubText("ForPermission"), "yes");
    std::string details;
    MutexLock lock(&mutex_);
    const ProjectRecord* record = projects_.Find(key);
    if (record == nullptr || !WriteProjectDetails(*record, withCredentials, &details)) {
      return E_FAIL;
    }
    SetAnswer(answer, std::move(details));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_FAIL;
  }
}

template <typename Visit>
void NetTree::ForProjectsLocked(const HostRecord& host, unsigned wanted, Visit visit) const {
  const auto found = projectsByHost_.find(FoldedKey(host.host));
  if (found == projectsByHost_.end()) return;
  for (const auto& [key, project] : found->second) {
    if ((wanted & kWantAll) != 0 ||
        ((wanted & kWantConfiguration) != 0 && IEquals(project->state, "Configuration")) ||
        ((wanted & kWantRunTime) != 0 && IEquals(project->state, "Run Time"))) {
      visit(*project);
    }
  }
}

// The hosts are every host in name order, those of one domain (by their records' DOMAIN) when
// the domain filter is not "*", or the one host that the host filter names, whatever its domain.
template <typename Visit>
void NetTree::ForListedProjectsLocked(std::string_view domainFilter, std::string_view hostFilter,
                                      unsigned wanted, Visit visit) const {
  if (wanted == 0) return;
  if (hostFilter != "*") {
    const HostRecord* host = IsValidHostName(hostFilter) ? hosts_.Find(hostFilter) : nullptr;
    if (host != nullptr) ForProjectsLocked(*host, wanted, visit);
  } else if (domainFilter == "*") {
    for (const auto& [key, entry] : hosts_.entries())
      ForProjectsLocked(entry.record, wanted, visit);
  } else if (const auto domain = hostsByDomain_.find(FoldedKey(domainFilter));
             domain != hostsByDomain_.end()) {
    for (const auto& [key, host] : domain->second) ForProjectsLocked(*host, wanted, visit);
  }
}

HRESULT NetTree::GetProjectList(const CXmlElement& request, AnswerText* answer) const {
  try {
    const std::string domainFilter = request.GetSubText("DomainFilter");
    const std::string hostFilter = request.GetSubText("HostFilter");
    const unsigned wanted = WantedStates(request.GetSubText("ProjectFilter"));
    std::string list;

    MutexLock lock(&mutex_);
    // Two walks, so that the answer is allocated once.
    std::size_t size = 0;
    ForListedProjectsLocked(domainFilter, hostFilter, wanted, [&](const ProjectRecord& project) {
      size += ProjectListBytes(project);
    });
    BeginProjectList(size, &list);
    ForListedProjectsLocked(domainFilter, hostFilter, wanted, [&](const ProjectRecord& project) {
      AppendToProjectList(project, &list);
    });
    EndProjectList(&list);
    SetAnswer(answer, std::move(list));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_FAIL;
  }
}

HRESULT NetTree::FindServerForDSN(const CXmlElement& request, AnswerText* answer) const {
  try {
    const std::string key = DsnKey(request.GetSubText("DSN"));
    MutexLock lock(&mutex_);
    // A project whose state is empty counts as not found.
    const ProjectRecord* record = projects_.Find(key);
    if (record == nullptr || record->state.empty()) {
      SetAnswer(answer, "Not Found");
      return S_FALSE;
    }
    SetAnswer(answer, record->host);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_FAIL;
  }
}

HRESULT NetTree::IsPasswordAvailable(const CXmlElement& request, AnswerText* answer) const {
  try {
    const std::string key = DsnKey(request.GetSubText("DSN"));
    MutexLock lock(&mutex_);
    const ProjectRecord* record = projects_.Find(key);
    if (record == nullptr) return E_INVALIDARG;
    if (record->password.empty() || record->user.empty()) {
      SetAnswer(answer, std::string(kCredentialsNotAvailable));
      return S_FALSE;
    }
    SetAnswer(answer, WriteCredentials(*record));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace qx
