// host_details.cpp - BuildHostDetails from the local host identity and the registry.
#include "discovery/host_details.h"

#include <string>

#include "common/text.h"
#include "hostinfo/local_host_info.h"
#include "registry/reg_key.h"
#include "registry/registry_projects.h"
#include "registry/store/settings.h"
#include "xml/xml_element.h"

namespace qx {

HRESULT BuildHostDetails(std::string_view root, std::string_view event, std::string_view receiver,
                         AnswerText* answer) {
  CXmlElement details;
  if (!details.CreateRoot(root)) return E_FAIL;
  LocalHostInfo& host = LocalHost();
  details.AddTextChild("EVENT", event);
  details.AddTextChild("Receiver", receiver);
  details.AddTextChild("Host", host.computerName());
  details.AddTextChild("Domain", host.domainName());
  details.AddTextChild("User", host.userName());
  // In local mode (the RPC endpoints listen on a loopback address) the others reach this
  // station only at that address, so that is the address it announces; otherwise the current
  // address of the host's table.
  const std::string listen = ReadRpcSettings().listenAddress;
  if (listen.starts_with("127.")) {
    details.AddTextChild("IP", listen);
    details.AddTextChild("IP_Mask", "255.0.0.0");
  } else {
    details.AddTextChild("IP", host.currentAddress());
    details.AddTextChild("IP_Mask", host.currentMask());
  }

  if (!IEquals(event, "LEAVE") && !IEquals(event, "TEST")) {
    CREGKEY setup(kSetupKey);
    const struct {
      const char* element;
      const char* value;
    } kSetupValues[] = {
        {"NorvaneVersion", "Version"},
        {"NorvaneBuild", "BuildNr"},
        {"NorvanePath", "Inst_Path"},
    };
    for (const auto& item : kSetupValues) {
      std::string value;
      if (!setup.IsOpen() || !setup.GetString(item.value, &value, kRegBufferChars)) value.clear();
      details.AddTextChild(item.element, value);
    }
    CXmlElement list;
    if (details.AddChild("PROJECTLIST", &list)) {
      const bool announcement = IEquals(event, "JOIN") || IEquals(event, "UPDATE");
      ReadListFromRegistry(&list, announcement ? kModeMultiUser : kModeAllProjects);
    }
  }

  std::string text;
  if (!details.GetXml(&text)) return E_FAIL;
  if (answer != nullptr) *answer = std::move(text);
  return S_OK;
}

}  // namespace qx
