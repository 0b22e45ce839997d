// multicast_component.h - the station's multicast communication component, as the module uses it.
//
// The component runs inside qxagent; other processes reach it over "netqxkomm.sock" in the
// runtime directory. An instance is created for each operation and dropped at once. Three
// calls: a group send, a local request with an answer, a unicast send to one station.
// CreateNetQXKomm fails with kClassNotRegistered when no agent listens on the socket, and with
// E_FAIL when one is there but does not accept within LocalCallTimeout(). Any thread may create
// an instance; one thread uses it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "common/answer.h"
#include "common/hresult.h"

namespace qx {

// REGDB_E_CLASSNOTREG: no component is there to create.
inline constexpr HRESULT kClassNotRegistered = static_cast<HRESULT>(0x80040154u);

class INetQXKomm {
 public:
  virtual ~INetQXKomm() = default;
  virtual HRESULT SendToGroup(std::string_view text) = 0;
  virtual HRESULT LocalRequest(std::string_view text, AnswerText* answer) = 0;
  virtual HRESULT SendToHost(std::string_view receiver, std::string_view text) = 0;
};

HRESULT CreateNetQXKomm(std::unique_ptr<INetQXKomm>* component);

// Tests replace the factory (nullptr restores the real one).
using NetQXKommFactory = HRESULT (*)(std::unique_ptr<INetQXKomm>*);
void SetNetQXKommFactoryForTesting(NetQXKommFactory factory);

// Path of the component's socket: <RuntimeDir()>/netqxkomm.sock.
std::string NetQXKommSocketPath();

// The serving side, for qxagent: every connection is served on a thread of the listener (at most
// 32 at once; further clients wait in the socket's backlog), and each request of it is handed to
// the matching call of target (which must be safe to call from several threads at once). A
// request must arrive whole within LocalCallTimeout(), or its connection is closed. Stop closes
// the socket, removes its file while it is still this listener's, ends every connection and
// waits for the running calls to end. Null (with *error set) when the socket cannot be bound.
class NetQXKommListener {
 public:
  virtual ~NetQXKommListener() = default;
  virtual void Stop() = 0;
};
std::unique_ptr<NetQXKommListener> StartNetQXKommListener(std::shared_ptr<INetQXKomm> target,
                                                          std::string* error);

}  // namespace qx
