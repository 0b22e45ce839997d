// project_state.cpp - the record of the local project's state, under a lock of its own.
//
// Writers (discovery messages, the watch timer) and readers (the registry project list) run on
// different threads; the lock makes each access copy whole texts.
#include "registry/project_state.h"

#include <string>

#include "common/mutex.h"
#include "common/text.h"

namespace qx {
namespace {

struct ProjectStateRecord {
  Mutex mutex;
  std::string dsn GUARDED_BY(mutex);
  std::string state GUARDED_BY(mutex);
  std::uint64_t version GUARDED_BY(mutex) = 0;
};

ProjectStateRecord& Record() {
  static ProjectStateRecord record;
  return record;
}

}  // namespace

void SetCurrentProjectState(std::string_view dsn, std::string_view state) {
  std::string newDsn;
  std::string newState;
  if (!state.empty()) {
    newDsn = CutToUnits(dsn, kStateFieldUnits);
    newState = CutToUnits(state, kStateFieldUnits);
  }
  ProjectStateRecord& record = Record();
  MutexLock lock(&record.mutex);
  record.dsn = std::move(newDsn);
  record.state = std::move(newState);
  ++record.version;
}

std::uint64_t CurrentProjectStateVersion() {
  ProjectStateRecord& record = Record();
  MutexLock lock(&record.mutex);
  return record.version;
}

std::string GetCurrentProjectState(std::string_view dsn, std::size_t capacity) {
  if (capacity == 0) return {};
  ProjectStateRecord& record = Record();
  MutexLock lock(&record.mutex);
  if (!IEquals(dsn, record.dsn)) return {};
  return CutToUnits(record.state, capacity - 1);
}

std::string GetCurrentProjectDsn() {
  ProjectStateRecord& record = Record();
  MutexLock lock(&record.mutex);
  return record.dsn;
}

}  // namespace qx
