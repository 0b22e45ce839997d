// registry_projects.cpp - the station's project list under STORAGE\PROJECTLIST.
//
// Every access goes through CREGKEY objects on the stack, on the store given (the station's
// registry for the functions without one); the registry serialises single
// calls, so no lock is taken here; a run of reads over the list is one read batch, and a write
// of an entry (with the removal of the same project's old entry) is one registry transaction,
// so that an entry is never left half written. Values pasted
// into a PROJECT record are XML-escaped, so that a path such as "C:\R&D\plant.mcp" travels intact.
// A project's DSN names a direct subkey of the list: an empty DSN or one with a backslash names no
// project.
#include "registry/registry_projects.h"

#include <atomic>
#include <set>
#include <string>

#include "common/text.h"
#include "platform/path_probe.h"
#include "registry/project_state.h"
#include "registry/reg_key.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("RegistryProjects");

constexpr std::size_t kSubkeyNameChars = 276;
constexpr std::size_t kValueChars = 512;
// The clean pass reads FullPath with room for the longest path a write can store, so that a
// long path of an existing file is not taken for a missing file.
constexpr std::size_t kPathChars = kMaxFieldUnits + 1;
constexpr std::size_t kRecordChars = 2048;
constexpr std::size_t kStateChars = 256;
constexpr const char* kMultiUserType = "Multi User";

// The eight values of an entry, in the order they are written.
constexpr const char* kValueNames[] = {"Name",     "Type",    "State",  "DSN",
                                       "FullPath", "UNCPath", "Server", "Host"};

std::atomic<ProjectRemovalListener*> g_listener{nullptr};

bool IsProjectName(std::string_view dsn) {
  return !dsn.empty() && dsn.find('\\') == std::string_view::npos;
}

// A value as text; a value that is missing, not a string or too long reads as empty.
std::string ReadValue(CREGKEY& key, std::string_view name, std::size_t capacity = kValueChars) {
  std::string text;
  if (!key.GetString(name, &text, capacity)) text.clear();
  return text;
}

bool ProjectFileExists(const std::string& path) {
  const int code = ProbePath(path);
  if (code == 0) return true;
  TraceWarning(kSource, "FindFirstFile(%s) failed. Error(0x%x)", path.c_str(),
               static_cast<unsigned>(code));
  return code == kProbeAccessDenied;
}

void AnnounceRemoval(std::string_view dsn) {
  ProjectRemovalListener* listener = g_listener.load();
  if (listener != nullptr) {
    listener->SendRemoveFromProjectList(dsn);
  } else {
    const std::string text(dsn);
    Trace(kSource, nullptr, nullptr, kTraceRegistry, kLevelEvents,
          "RemoveFromProjectList(%s): no sender installed", text.c_str());
  }
}

// Deletes the first entry whose FullPath or UNCPath equals the command's, ignoring case. An
// empty path of the command matches nothing.
void RemoveSameProject(RegistryStore& store, const std::string& fullPath,
                       const std::string& uncPath) {
  if (fullPath.empty() && uncPath.empty()) return;
  RegistryReadBatch batch(store);
  CREGKEY list(store, kProjectListKey);
  if (!list.IsOpen()) return;
  const std::uint32_t count = list.GetSubkeyCount();
  for (std::uint32_t index = 0; index < count; ++index) {
    std::string name;
    CREGKEY entry;
    if (!list.EnumKey(index, &name, kSubkeyNameChars) || !entry.Open(&list, name.c_str())) {
      continue;
    }
    const bool same = (!fullPath.empty() && IEquals(ReadValue(entry, "FullPath"), fullPath)) ||
                      (!uncPath.empty() && IEquals(ReadValue(entry, "UNCPath"), uncPath));
    if (same) {
      entry.Delete();
      return;
    }
  }
}

// The record of the entry dsn below an open list key; empty when it is not selected by the
// mode or cannot be read.
std::string BuildRecord(const CREGKEY* list, std::string_view dsn, int mode) {
  if (!IsProjectName(dsn)) return {};
  CREGKEY entry;
  if (!entry.Open(list, std::string(dsn).c_str())) return {};
  const std::string type = ReadValue(entry, "Type");
  if (mode != kModeAllProjects && !IEquals(type, kMultiUserType)) return {};
  const std::string state = GetCurrentProjectState(dsn, kStateChars);
  const std::string record = Format(
      "<PROJECT><Name>%s</Name><TYPE>%s</TYPE><STATE>%s</STATE><DSN>%s</DSN>"
      "<FullPath>%s</FullPath><UncPath>%s</UncPath><SERVER>%s</SERVER><HOST>%s</HOST></PROJECT>",
      XmlEscape(ReadValue(entry, "Name")).c_str(), XmlEscape(type).c_str(),
      XmlEscape(state).c_str(), XmlEscape(ReadValue(entry, "DSN")).c_str(),
      XmlEscape(ReadValue(entry, "FullPath")).c_str(),
      XmlEscape(ReadValue(entry, "UNCPath")).c_str(), XmlEscape(ReadValue(entry, "Server")).c_str(),
      XmlEscape(ReadValue(entry, "Host")).c_str());
  if (Utf16Units(record) >= kRecordChars) {
    const std::string name(dsn);
    TraceWarning(kSource, "Project(%s): record longer than %zu characters, left out", name.c_str(),
                 kRecordChars - 1);
    return {};
  }
  return record;
}

bool ReadProject(const CREGKEY* list, std::string_view dsn, int mode, CXmlElement* element) {
  const std::string record = BuildRecord(list, dsn, mode);
  if (record.empty()) return false;
  const bool parsed = element->LoadXml(record);
  Trace(kSource, nullptr, nullptr, kTraceRegistry, kLevelText, "<ReadRegistry>%s</ReadRegistry>",
        record.c_str());
  return parsed;
}

}  // namespace

HRESULT WriteToRegistry(RegistryStore& store, const CXmlElement& command) {
  const std::string dsn = command.GetSubText("DSN");
  // A DSN that names no direct subkey would write the values elsewhere (an empty one onto the
  // list key itself); it is refused before any stale entry is removed.
  if (!IsProjectName(dsn)) {
    TraceError(kSource, "WriteToRegistry:: key.Open(%s) failed!", dsn.c_str());
    return E_FAIL;
  }
  bool opened = false;
  const RegStatus status = store.Transact([&](RegistryStore& transaction) {
    RemoveSameProject(transaction, command.GetSubText("FullPath"), command.GetSubText("UNCPath"));
    CREGKEY list(transaction, kProjectListKey);
    list.CreateSubkey(dsn);
    CREGKEY entry;
    opened = entry.Open(&list, dsn.c_str());
    if (!opened) return RegStatus::kNotFound;
    for (const char* name : kValueNames) {
      if (!entry.SetString(name, command.GetSubText(name))) return RegStatus::kAccessDenied;
    }
    return RegStatus::kOk;
  });
  if (status == RegStatus::kOk) return S_OK;
  if (!opened && status == RegStatus::kNotFound) {
    TraceError(kSource, "WriteToRegistry:: key.Open(%s) failed!", dsn.c_str());
  } else {
    TraceError(kSource, "WriteToRegistry(%s): the entry was not written (error %d)", dsn.c_str(),
               static_cast<int>(RegStatusCode(status)));
  }
  return E_FAIL;
}

bool ReadListFromRegistry(RegistryStore& store, CXmlElement* list, int mode) {
  if (list == nullptr) return false;
  RegistryReadBatch batch(store);  // one consistent list, read cheaply
  CREGKEY key(store, kProjectListKey);
  const std::uint32_t count = key.GetSubkeyCount();
  std::uint32_t numOk = 0;
  for (std::uint32_t index = 0; index < count; ++index) {
    std::string name;
    if (!key.EnumKey(index, &name, kSubkeyNameChars)) continue;
    CXmlElement element;
    if (ReadProject(&key, name, mode, &element) && list->AppendCopy(element)) ++numOk;
  }
  Trace(kSource, nullptr, nullptr, kTraceRegistry, kLevelText,
        "ReadListFromRegistry(): Num of Subkeys (%d) numOK(%d)", static_cast<int>(count),
        static_cast<int>(numOk));
  return key.IsOpen() && numOk == count;
}

bool ReadProjectFromRegistry(RegistryStore& store, std::string_view dsn, int mode,
                             CXmlElement* element) {
  if (element == nullptr) return false;
  CREGKEY list(store, kProjectListKey);
  if (!list.IsOpen()) return false;
  return ReadProject(&list, dsn, mode, element);
}

std::string BuildProjectRecord(RegistryStore& store, std::string_view dsn, int mode) {
  CREGKEY list(store, kProjectListKey);
  if (!list.IsOpen()) return {};
  return BuildRecord(&list, dsn, mode);
}

void InitProjectList(RegistryStore& store) {
  CREGKEY::CreateKey(store, kProjectListKey);
  CheckProjectPaths(store);
}

void CheckProjectPaths(RegistryStore& store) {
  // Entries whose file has gone but which cannot be deleted: skipped for the rest of the pass,
  // so that the pass ends.
  std::set<std::string, ILess> undeletable;
  bool again = true;
  while (again) {
    again = false;
    RegistryReadBatch batch(store);
    CREGKEY list(store, kProjectListKey);
    if (!list.IsOpen()) return;
    const std::uint32_t count = list.GetSubkeyCount();
    for (std::uint32_t index = 0; index < count && !again; ++index) {
      std::string name;
      CREGKEY entry;
      if (!list.EnumKey(index, &name, kSubkeyNameChars) || undeletable.contains(name) ||
          !entry.Open(&list, name.c_str())) {
        continue;
      }
      const std::string path = ReadValue(entry, "FullPath", kPathChars);
      if (ProjectFileExists(path)) continue;
      TraceWarning(kSource, "Mcp Path(%s) no longer exists!", path.c_str());
      if (entry.Delete()) {
        AnnounceRemoval(name);
        again = true;  // the indices have shifted: start over
      } else {
        undeletable.insert(name);
      }
    }
  }
}

HRESULT WriteToRegistry(const CXmlElement& command) { return WriteToRegistry(Registry(), command); }

bool ReadListFromRegistry(CXmlElement* list, int mode) {
  return ReadListFromRegistry(Registry(), list, mode);
}

bool ReadProjectFromRegistry(std::string_view dsn, int mode, CXmlElement* element) {
  return ReadProjectFromRegistry(Registry(), dsn, mode, element);
}

std::string BuildProjectRecord(std::string_view dsn, int mode) {
  return BuildProjectRecord(Registry(), dsn, mode);
}

void InitProjectList() { InitProjectList(Registry()); }

void CheckProjectPaths() { CheckProjectPaths(Registry()); }

void SetProjectRemovalListener(ProjectRemovalListener* listener) { g_listener.store(listener); }

}  // namespace qx
