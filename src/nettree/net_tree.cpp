// net_tree.cpp - the network tree's lifecycle, its side indexes.
// The updates are in net_tree_updates.cpp, the queries in net_tree_queries.cpp.
#include "nettree/net_tree.h"

#include <new>

#include "common/text.h"
#include "nettree/net_tree_internal.h"

namespace qx {

const CTraceSource& NetTreeTraceSource() {
  static const CTraceSource source("NetTree");
  return source;
}

bool NetTree::Init() {
  MutexLock lock(&mutex_);
  domainIndex_.clear();
  domains_.clear();
  initialized_.store(true, std::memory_order_release);
  return true;
}

bool NetTree::Clear() {
  MutexLock lock(&mutex_);
  hostsByDomain_.clear();
  projectsByHost_.clear();
  hosts_.Clear();
  projects_.Clear();
  domainIndex_.clear();
  domains_.clear();
  initialized_.store(false, std::memory_order_release);
  return true;
}

std::size_t NetTree::HostCount() const {
  MutexLock lock(&mutex_);
  return hosts_.size();
}

std::size_t NetTree::ProjectCount() const {
  MutexLock lock(&mutex_);
  return projects_.size();
}

std::vector<std::string> NetTree::HostNames() const {
  std::vector<std::string> names;
  try {
    MutexLock lock(&mutex_);
    names.reserve(hosts_.size());
    for (const auto& [key, entry] : hosts_.entries()) names.push_back(entry.name);
  } catch (const std::bad_alloc&) {
    names.clear();
  }
  return names;
}

void NetTree::UnindexProjectLocked(const std::string& key, const ProjectRecord& record) {
  const auto found = projectsByHost_.find(record.hostKey);
  if (found == projectsByHost_.end()) return;
  found->second.erase(key);
  if (found->second.empty()) projectsByHost_.erase(found);
}

void NetTree::UnindexHostLocked(const std::string& foldedHost, const HostRecord& record) {
  const auto found = hostsByDomain_.find(FoldedKey(record.domain));
  if (found == hostsByDomain_.end()) return;
  found->second.erase(foldedHost);
  if (found->second.empty()) hostsByDomain_.erase(found);
}

// A record's secondary entry is made after the record is in its index and dropped before the
// record goes, so that no side index ever points at a deleted record (also when an allocation
// fails half way).
void NetTree::EnterProjectLocked(const std::string& name, const std::string& key,
                                 ProjectRecord&& fresh) {
  bool created = false;
  ProjectRecord* record = projects_.FindOrAdd(key, name, &created);
  // The fresh record takes everything but the stored credentials.
  fresh.password = std::move(record->password);
  fresh.user = std::move(record->user);
  if (!created && record->hostKey == fresh.hostKey) {
    *record = std::move(fresh);  // stays in its host's list
    return;
  }
  if (!created) UnindexProjectLocked(key, *record);
  *record = std::move(fresh);
  projectsByHost_[record->hostKey][key] = record;
}

}  // namespace qx
