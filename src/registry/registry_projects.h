// registry_projects.h - the station's persistent project list under STORAGE\PROJECTLIST.
//
// One subkey per project, named by its DSN, with eight REG_SZ values. The list is written by
// the local command "WriteProjectToRegistry", read as PROJECT records for announcements and
// answers, and cleaned of entries whose project file has gone (each removal is announced).
// No lock: the registry serialises single calls; any thread may call these.
//
//   CXmlElement list; list.CreateRoot("PROJECTLIST");
//   ReadListFromRegistry(&list, kModeAllProjects);
#pragma once

#include <string>
#include <string_view>

#include "common/hresult.h"
#include "registry/store/registry_store.h"
#include "xml/xml_element.h"

namespace qx {

inline constexpr int kModeAllProjects = 1;
inline constexpr int kModeMultiUser = 2;

// Each works on the store given, or on the station's registry (Registry()) without one.
HRESULT WriteToRegistry(RegistryStore& store, const CXmlElement& command);
HRESULT WriteToRegistry(const CXmlElement& command);
bool ReadListFromRegistry(RegistryStore& store, CXmlElement* list, int mode);
bool ReadListFromRegistry(CXmlElement* list, int mode);
bool ReadProjectFromRegistry(RegistryStore& store, std::string_view dsn, int mode,
                             CXmlElement* element);
bool ReadProjectFromRegistry(std::string_view dsn, int mode, CXmlElement* element);
void InitProjectList(RegistryStore& store);
void InitProjectList();
void CheckProjectPaths(RegistryStore& store);
void CheckProjectPaths();
// The PROJECT record text of one entry (values escaped), or empty when it cannot be read, is
// not selected by the mode, or would be longer than 2047 characters (it is left out, traced).
std::string BuildProjectRecord(RegistryStore& store, std::string_view dsn, int mode);
std::string BuildProjectRecord(std::string_view dsn, int mode);

// Receives the clean pass's removals; the discovery layer's multicast sender is handed in when
// the station's layers are connected.
class ProjectRemovalListener {
 public:
  virtual ~ProjectRemovalListener() = default;
  virtual void SendRemoveFromProjectList(std::string_view dsn) = 0;
};
// Installs the listener (not owned; nullptr for none). The default does nothing but trace.
void SetProjectRemovalListener(ProjectRemovalListener* listener);

}  // namespace qx
