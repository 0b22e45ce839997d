// net_tree.h - the network tree: what this station knows of the domains, hosts and projects of
// the other stations.
//
// Three pieces change together under one lock: the domains (DomainRecord, in first-seen order,
// each with its hosts' names in first-seen order, names matched ignoring case and kept as first
// seen), the host index (HostRecord by host name) and the project index (ProjectRecord by DSN,
// one for the whole network). The discovery handlers change the tree through the updates; the
// local commands read it through the queries, which hold the lock while they build their answer
// and change nothing. The records are plain data; tree_codec.h reads them from the messages and
// writes every answer (the tree document "NetTree" among them) from them.
//
// Beside the three pieces the tree keeps side indexes, so that every update and lookup is
// logarithmic and a project list costs what its answer holds: the domains and their hosts by
// name, the hosts of each domain (by their records' DOMAIN) and the projects of each host (by
// their records' HOST), all in index order.
//
// One tree a station (station/station.h owns it); any thread may call every operation. Texts
// are UTF-8.
//
//   NetTree& tree = station.tree();
//   tree.AddHost(message.GetSubText("HOST"), message.GetSubText("DOMAIN"), &message);
//   AnswerText answer;
//   HRESULT hr = tree.GetProjectList(request, &answer);
#pragma once

#include <atomic>
#include <cstddef>
#include <list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/answer.h"
#include "common/hresult.h"
#include "common/mutex.h"
#include "nettree/tree_records.h"
#include "xml/xml_element.h"

namespace qx {

class NetTree {
 public:
  NetTree() = default;
  NetTree(const NetTree&) = delete;
  NetTree& operator=(const NetTree&) = delete;
  ~NetTree() = default;

  // Lifecycle. Init starts with no domains (the host and project indexes stay as they are);
  // Clear empties every index, ends the tree and always returns true.
  bool Init() EXCLUDES(mutex_);
  bool Clear() EXCLUDES(mutex_);
  bool IsInitialized() const { return initialized_.load(std::memory_order_acquire); }

  // Updates, driven by the discovery messages (and SetUserPassword by a local command).
  // AddHost enters the host under its domain, refreshes its record and every project of the
  // announcement's PROJECTLIST, and removes that child from the announcement. With
  // replaceProjects (an announcement of a station that speaks the liveness extension) its
  // PROJECTLIST is the host's whole list: the host's projects it does not name are removed;
  // without it (the original protocol) the list is merged into what the tree has.
  bool AddHost(std::string_view host, std::string_view domain, CXmlElement* announcement,
               bool replaceProjects = false) EXCLUDES(mutex_);
  bool RemoveHost(std::string_view host, std::string_view domain) EXCLUDES(mutex_);
  HRESULT PushServerProject(const CXmlElement& event) EXCLUDES(mutex_);
  HRESULT ChangeServerState(std::string_view dsn, std::string_view state) EXCLUDES(mutex_);
  HRESULT ChangeClientState(std::string_view host, std::string_view dsn, std::string_view state)
      EXCLUDES(mutex_);
  HRESULT RemoveFromProjectList(const CXmlElement& announcement) EXCLUDES(mutex_);
  HRESULT SetUserPassword(const CXmlElement& command) EXCLUDES(mutex_);

  // Queries of the local commands: the request element and the answer text. On failure the
  // answer is left untouched; a null answer is allowed.
  HRESULT GetTreeContent(const CXmlElement& request, AnswerText* answer) const EXCLUDES(mutex_);
  HRESULT GetHostDetails(const CXmlElement& request, AnswerText* answer) const EXCLUDES(mutex_);
  HRESULT GetProjectDetails(const CXmlElement& request, AnswerText* answer) const EXCLUDES(mutex_);
  HRESULT GetProjectList(const CXmlElement& request, AnswerText* answer) const EXCLUDES(mutex_);
  HRESULT FindServerForDSN(const CXmlElement& request, AnswerText* answer) const EXCLUDES(mutex_);
  HRESULT IsPasswordAvailable(const CXmlElement& request, AnswerText* answer) const
      EXCLUDES(mutex_);

  // Counts of the two indexes, and the host names in index order (diagnostics and tests).
  std::size_t HostCount() const EXCLUDES(mutex_);
  std::size_t ProjectCount() const EXCLUDES(mutex_);
  std::vector<std::string> HostNames() const EXCLUDES(mutex_);

 private:
  using ProjectsOfHost = std::map<std::string, const ProjectRecord*>;  // by folded DSN key
  using HostsOfDomain = std::map<std::string, const HostRecord*>;      // by folded host key
  using DomainList = std::list<DomainRecord>;
  struct DomainEntry {  // one domain of domains_ and its hosts by folded name
    DomainList::iterator domain;
    std::map<std::string, std::list<std::string>::iterator> hosts;
  };
  struct HostUpdate;

  HRESULT SetFieldLocked(std::string_view dsn, std::string_view field, std::string_view text)
      REQUIRES(mutex_);
  // Finds or appends the domain and its host in domains_; false when the tree is not started.
  bool EnterDomainHostLocked(std::string_view host, std::string_view domain) REQUIRES(mutex_);
  void ApplyHostLocked(std::string_view host, HostUpdate* update) REQUIRES(mutex_);
  // Enters or refreshes the project under its DSN key (key: FoldedKey of it). name may be
  // fresh.dsn itself: it is copied before fresh is moved.
  void EnterProjectLocked(const std::string& name, const std::string& key, ProjectRecord&& fresh)
      REQUIRES(mutex_);
  void UnindexProjectLocked(const std::string& key, const ProjectRecord& record) REQUIRES(mutex_);
  void UnindexHostLocked(const std::string& foldedHost, const HostRecord& record) REQUIRES(mutex_);
  // Calls visit(project) for every project of one host whose state the filter wants (kWant...
  // bits), in DSN order.
  template <typename Visit>
  void ForProjectsLocked(const HostRecord& host, unsigned wanted, Visit visit) const
      REQUIRES(mutex_);
  template <typename Visit>
  void ForListedProjectsLocked(std::string_view domainFilter, std::string_view hostFilter,
                               unsigned wanted, Visit visit) const REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::atomic<bool> initialized_{false};                               // written under mutex_
  DomainList domains_ GUARDED_BY(mutex_);                              // in first-seen order
  std::map<std::string, DomainEntry> domainIndex_ GUARDED_BY(mutex_);  // by folded domain name
  StructMap<HostRecord> hosts_ GUARDED_BY(mutex_);
  StructMap<ProjectRecord> projects_ GUARDED_BY(mutex_);
  std::map<std::string, HostsOfDomain> hostsByDomain_ GUARDED_BY(mutex_);
  std::map<std::string, ProjectsOfHost> projectsByHost_ GUARDED_BY(mutex_);
};

}  // namespace qx
