// service_host.h - ServiceHost, one server of the module run by the agent.
//
// Starts a server of the module through its C interface under a service name, passes local
// commands to it, and stops it (at the latest when the object goes). The object owns the
// server handle. Start and Stop run on the agent's main thread; Talk and Receive may also run on
// the multicast component's threads while the server runs (the agent stops the component before
// it stops the server).
//
//   ServiceHost discovery(QX_SERVICE_DISCOVERY, "discovery");
//   if (discovery.Start() < 0) ...;
//   discovery.Talk(u"<LeaveMulticastGroup/>", nullptr);
//   discovery.Stop();
#pragma once

#include <string>
#include <string_view>

#include "qxremoteserver.h"

namespace qxagent {

class ServiceHost {
 public:
  ServiceHost(std::u16string_view serviceName, std::string label);
  ~ServiceHost();
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  HRESULT Start();
  // A local command (TalkByString); the answer text, if any, goes to *answer when not null.
  HRESULT Talk(std::u16string_view command, std::string* answer);
  // A message from the multicast group or addressed to this station (onReceiveMulticast).
  HRESULT Receive(std::u16string_view text);
  // Stops the server; S_OK when none runs.
  HRESULT Stop();

  bool running() const { return server_ != nullptr; }
  const std::string& label() const { return label_; }
  const std::u16string& serviceName() const { return serviceName_; }

 private:
  std::u16string serviceName_;
  std::string label_;
  void* server_ = nullptr;
};

}  // namespace qxagent
