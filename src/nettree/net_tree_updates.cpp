// net_tree_updates.cpp - the operations that change the network tree: hosts joining, updating
// and leaving, projects entered, changed and removed, and stored credentials.
//
// Each update reads the caller's element and fills fresh records before it takes the lock, then
// holds the lock from its first lookup to its last change. A record that can't be filled is
// refused before anything changes, so a bad announcement never costs the tree a record it had.
#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "common/text.h"
#include "nettree/net_tree.h"
#include "nettree/net_tree_internal.h"
#include "nettree/tree_codec.h"

namespace qx {
namespace {

// A peer's text quoted in a trace line: at most this many characters.
constexpr int kQuotedUnits = 600;

std::string Quoted(std::string_view text) { return CutToUnits(text, kQuotedUnits); }

}  // namespace

// What one announcement gives the tree, read before the lock is taken.
struct NetTree::HostUpdate {
  HostRecord info;
  std::vector<ProjectRecord> projects;  // in list order, each with a DSN: its index key
  std::vector<std::string> keys;        // FoldedKey of each project's DSN
  int skipped = 0;                      // malformed project records
  bool listed = false;                  // the announcement carried a PROJECTLIST
};

bool NetTree::AddHost(std::string_view host, std::string_view domain, CXmlElement* announcement,
                      bool replaceProjects) {
  try {
    if (announcement == nullptr || announcement->IsEmpty() || !IsValidHostName(host) ||
        domain.empty()) {
      TraceWarning(NetTreeTraceSource(),
                   "AddHost: announcement refused, HOST(%s) DOMAIN(%s) missing or too long",
                   Quoted(host).c_str(), Quoted(domain).c_str());
      return false;
    }
    const std::string domainName = CutToUnits(domain, kMaxRecordFieldUnits);

    HostUpdate update;
    if (replaceProjects) {
      CXmlElement list;
      update.listed = announcement->FindChild("PROJECTLIST", &list);
    }
    update.skipped = TakeProjectList(announcement, &update.projects);
    update.keys.reserve(update.projects.size());
    for (const ProjectRecord& project : update.projects)
      update.keys.push_back(FoldedKey(project.dsn));
    if (update.skipped > 0) {
      TraceWarning(NetTreeTraceSource(),
                   "AddHost(%s): %d project records without a DSN or too long left out",
                   Quoted(host).c_str(), update.skipped);
    }
    if (!ReadHostRecord(*announcement, &update.info)) {
      TraceWarning(NetTreeTraceSource(),
                   "AddHost(%s): announcement can't be written or is longer than %zu bytes",
                   Quoted(host).c_str(), kMaxHostDetailsBytes);
      return false;
    }
    Trace(NetTreeTraceSource(), nullptr, nullptr, kTraceMulticast, kLevelDetail,
          "<AddHostInfo>%s</AddHostInfo>", update.info.details->c_str());

    MutexLock lock(&mutex_);
    if (!EnterDomainHostLocked(host, domainName)) return false;
    ApplyHostLocked(host, &update);
    return true;
  } catch (const std::bad_alloc&) {
    TraceError(NetTreeTraceSource(), "AddHost: out of memory");
    return false;
  }
}

// Each new name is made in a list of its own and spliced in once its index entry stands, so
// that a failed allocation leaves no name without its entry.
bool NetTree::EnterDomainHostLocked(std::string_view host, std::string_view domain) {
  if (!initialized_.load(std::memory_order_relaxed)) return false;
  const std::string domainKey = FoldedKey(domain);
  auto found = domainIndex_.find(domainKey);
  if (found == domainIndex_.end()) {
    DomainList added;
    added.push_back(DomainRecord{std::string(domain), {}});
    found = domainIndex_.emplace(domainKey, DomainEntry{added.begin(), {}}).first;
    domains_.splice(domains_.end(), added);
  }
  DomainEntry& entry = found->second;
  std::string hostKey = FoldedKey(host);
  if (entry.hosts.count(hostKey) > 0) return true;
  std::list<std::string> added;
  added.emplace_back(host);
  entry.hosts.emplace(std::move(hostKey), added.begin());
  entry.domain->hosts.splice(entry.domain->hosts.end(), added);
  return true;
}

void NetTree::ApplyHostLocked(std::string_view host, HostUpdate* update) {
  bool created = false;
  const std::string hostKey = FoldedKey(host);
  HostRecord* record = hosts_.FindOrAdd(hostKey, host, &created);
  if (!created) UnindexHostLocked(hostKey, *record);
  *record = std::move(update->info);
  hostsByDomain_[FoldedKey(record->domain)][hostKey] = record;
  if (update->listed) {
    // The announcement's list is the host's whole list: what it no longer names goes, so a
    // project replaced or deleted while the host was away does not stay.
    std::vector<std::string> gone;
    if (const auto listed = projectsByHost_.find(hostKey); listed != projectsByHost_.end()) {
      for (const auto& [key, project] : listed->second) {
        if (std::find(update->keys.begin(), update->keys.end(), key) == update->keys.end()) {
          gone.push_back(project->dsn);
        }
      }
    }
    for (const std::string& dsn : gone) {
      const ProjectRecord* project = projects_.Find(dsn);
      if (project == nullptr) continue;
      UnindexProjectLocked(FoldedKey(dsn), *project);
      projects_.Remove(dsn);
    }
  }
  for (std::size_t i = 0; i < update->projects.size(); ++i) {
    ProjectRecord& project = update->projects[i];
    // The record's DSN is the index key: both are the DSN cut to its field. The index copies
    // the name before the record is moved.
    EnterProjectLocked(project.dsn, update->keys[i], std::move(project));
  }
}

bool NetTree::RemoveHost(std::string_view host, std::string_view domain) {
  if (!IsValidHostName(host)) return true;  // never entered
  try {
    const std::string hostKey = FoldedKey(host);
    MutexLock lock(&mutex_);
    const auto found = domainIndex_.find(FoldedKey(CutToUnits(domain, kMaxRecordFieldUnits)));
    if (found != domainIndex_.end()) {
      DomainEntry& entry = found->second;
      const auto entered = entry.hosts.find(hostKey);
      if (entered != entry.hosts.end()) {
        entry.domain->hosts.erase(entered->second);
        entry.hosts.erase(entered);
        if (entry.hosts.empty()) {
          domains_.erase(entry.domain);
          domainIndex_.erase(found);
        }
      }
    }
    // The host's projects stay, with their last HOST and STATE.
    if (const HostRecord* record = hosts_.Find(host)) {
      UnindexHostLocked(hostKey, *record);
      hosts_.Erase(host);
    }
  } catch (const std::bad_alloc&) {
    TraceError(NetTreeTraceSource(), "RemoveHost: out of memory");
  }
  return true;
}

HRESULT NetTree::PushServerProject(const CXmlElement& event) {
  HRESULT hr = E_FAIL;
  std::string dsn;
  std::string host;
  try {
    dsn = event.GetSubText("DSN");
    host = event.GetSubText("Host");
    const std::string name = DsnKey(dsn);
    const std::string key = FoldedKey(name);
    ProjectRecord fresh;
    if (!name.empty() && IsValidHostName(host) && ReadProjectRecord(event, &fresh)) {
      MutexLock lock(&mutex_);
      if (hosts_.Find(host) != nullptr) {
        EnterProjectLocked(name, key, std::move(fresh));
        hr = S_OK;
      }
    }
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  if (Failed(hr)) {
    TraceError(NetTreeTraceSource(), "<Error>PushServerProject<HOST>%s</HOST><DSN>%s</DSN></Error>",
               Quoted(host).c_str(), Quoted(dsn).c_str());
  }
  return hr;
}

HRESULT NetTree::ChangeServerState(std::string_view dsn, std::string_view state) {
  try {
    MutexLock lock(&mutex_);
    return SetFieldLocked(dsn, "STATE", state);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT NetTree::ChangeClientState(std::string_view /*host*/, std::string_view /*dsn*/,
                                   std::string_view /*state*/) {
  // A client's state is not kept in the tree.
  MutexLock lock(&mutex_);
  return S_OK;
}

HRESULT NetTree::RemoveFromProjectList(const CXmlElement& announcement) {
  HRESULT hr = E_FAIL;
  try {
    const std::string key = DsnKey(announcement.GetSubText("DSN"));
    MutexLock lock(&mutex_);
    // The host is the one that the project's record names, not the announcement's.
    const ProjectRecord* record = projects_.Find(key);
    if (record != nullptr && hosts_.Find(record->host) != nullptr) {
      UnindexProjectLocked(FoldedKey(key), *record);
      projects_.Remove(key);
      hr = S_OK;
    }
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  if (Failed(hr)) {
    TraceError(NetTreeTraceSource(), "RemoveFromProjectList failed!. hr(%x)",
               static_cast<unsigned>(hr));
  }
  return hr;
}

HRESULT NetTree::SetUserPassword(const CXmlElement& command) {
  try {
    const std::string dsn = command.GetSubText("DSN");
    const std::string password = command.GetSubText("PASSWORD");
    const std::string user = command.GetSubText("USER");
    MutexLock lock(&mutex_);
    const HRESULT passwordSet = SetFieldLocked(dsn, "PASSWORD", password);
    const HRESULT userSet = SetFieldLocked(dsn, "USER", user);
    return Failed(passwordSet) || Failed(userSet) ? E_FAIL : S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT NetTree::SetFieldLocked(std::string_view dsn, std::string_view field,
                                std::string_view text) {
  ProjectRecord* record = projects_.Find(DsnKey(dsn));
  if (record == nullptr) return E_INVALIDARG;
  if (IEquals(field, "STATE")) {
    SetProjectState(text, record);
  } else if (IEquals(field, "PASSWORD")) {
    record->password = CutToUnits(text, kMaxRecordFieldUnits);
  } else if (IEquals(field, "USER")) {
    record->user = CutToUnits(text, kMaxRecordFieldUnits);
  } else {
    return E_NOTIMPL;
  }
  return S_OK;
}

}  // namespace qx
