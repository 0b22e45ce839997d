// remote_server.h - CSERVER, the module's RPC server object.
//
// The host creates one per service through StartRemoteServer and destroys it with
// StopRemoteServer. The service GUID selects the role: the discovery service (project list
// upkeep, network tree, watch timer) or the project-manager service (multicast events).
// Requests from other stations arrive on RPC pool threads through onReceiveString (777) and
// onReceiveData (779). currentServer() is the most recently constructed live server; it is
// cleared when that object is destroyed, and the lock inside ServerRef keeps a user of it
// from meeting a destroyed object.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/answer.h"
#include "common/hresult.h"
#include "platform/rpc.h"
#include "xml/xml_element.h"

namespace qx {

class CSERVER : public CRPCServerW {
 public:
  CSERVER();
  ~CSERVER() override;

  HRESULT startRemoteServer(std::string_view serviceName);
  HRESULT stopRemoteServer();

  bool onReceiveData(std::uint16_t clientId, std::uint32_t dataId, const std::uint8_t* data,
                     std::size_t size, ByteBlock* answer) override;
  bool onReceiveString(std::uint16_t clientId, std::uint32_t dataId, const std::string& text,
                       AnswerText* answer) override;

  // Local commands (TalkByString) and discovery messages.
  HRESULT TalkByString(std::string_view text, AnswerText* answer);
  virtual HRESULT onReceiveMulticast(std::string_view text);
  virtual HRESULT onDiscoverEvent(std::string_view text, const CXmlElement& tree);
  virtual HRESULT onProjectManagerEvent(std::string_view text, const CXmlElement& tree);
  virtual HRESULT onStationEvent(std::string_view text, const CXmlElement& tree);

  const std::string& serviceName() const { return serviceName_; }
  bool multicastEnabled() const { return multicastEnabled_.load(); }
  bool replyWithRpc() const { return replyWithRpc_; }

 private:
  std::atomic<bool> multicastEnabled_{false};
  bool replyWithRpc_ = true;
  std::uint32_t sinkCookie_ = 0;
  std::string serviceName_;
};

// The most recently constructed server that still lives, held for the duration of a use.
// Destroying that server waits until no holder remains.
class ServerRef {
 public:
  ServerRef();
  ~ServerRef();
  ServerRef(const ServerRef&) = delete;
  ServerRef& operator=(const ServerRef&) = delete;
  CSERVER* get() const { return server_; }
  explicit operator bool() const { return server_ != nullptr; }
  CSERVER* operator->() const { return server_; }

 private:
  CSERVER* server_;
};

// The module-wide switch of the registry clean pass ("CleanRegistry").
extern std::atomic<bool> cleanRegistryEnabled;

}  // namespace qx
