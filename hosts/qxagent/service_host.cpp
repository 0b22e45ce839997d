// service_host.cpp - ServiceHost over the module's C interface.
#include "service_host.h"

#include <utility>

#include "common/text.h"

namespace qxagent {

ServiceHost::ServiceHost(std::u16string_view serviceName, std::string label)
    : serviceName_(serviceName), label_(std::move(label)) {}

ServiceHost::~ServiceHost() { Stop(); }

HRESULT ServiceHost::Start() {
  if (server_ != nullptr) return 0;
  void* server = nullptr;
  const HRESULT hr = StartRemoteServer(serviceName_.c_str(), &server);
  if (hr >= 0) server_ = server;
  return hr;
}

HRESULT ServiceHost::Talk(std::u16string_view command, std::string* answer) {
  const std::u16string text(command);
  BSTR reply = nullptr;
  const HRESULT hr = TalkByString(server_, text.c_str(), &reply);
  if (reply != nullptr) {
    if (answer != nullptr) {
      *answer = qx::Utf16ToUtf8(std::u16string_view(reply, SysStringLen(reply))).value_or("");
    }
    SysFreeString(reply);
  }
  return hr;
}

HRESULT ServiceHost::Receive(std::u16string_view text) {
  const std::u16string message(text);
  return onReceiveMulticast(server_, message.c_str());
}

HRESULT ServiceHost::Stop() {
  if (server_ == nullptr) return 0;
  void* server = std::exchange(server_, nullptr);
  return StopRemoteServer(server);
}

}  // namespace qxagent
