// tree_records.cpp - the field limits of the records and the StructMap index of hosts or projects.
#include "nettree/tree_records.h"

#include "common/text.h"
#include "nettree/net_tree_internal.h"

namespace qx {
namespace {

const CTraceSource& StructMapSource() {
  static const CTraceSource source("StructMap");
  return source;
}

// Written when the index deletes a record; a host goes without a line.
void TraceDeleted(const HostRecord& /*record*/) {}
void TraceDeleted(const ProjectRecord& /*record*/) {
  Trace(NetTreeTraceSource(), nullptr, nullptr, kTraceMulticast, kLevelText,
        "--- ~CProjectInfo(E)");
}

}  // namespace

std::string DsnKey(std::string_view dsn) { return CutToUnits(dsn, kMaxRecordFieldUnits); }

bool IsValidHostName(std::string_view host) {
  return !host.empty() &&
         (host.size() <= kMaxHostNameUnits || Utf16Units(host) <= kMaxHostNameUnits);
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

template class StructMap<HostRecord>;
template class StructMap<ProjectRecord>;

}  // namespace qx
