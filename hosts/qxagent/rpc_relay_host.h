// rpc_relay_host.h - RpcRelayHost, the agent's relay of station-to-station connections for the
// station's operators.
//
// Members of the group qxadmin use the station through the agent's sockets but may not read
// the key ring (root alone does): whoever holds the cluster key can act as any station of the
// plant. Their processes connect to rpcrelay.sock in the runtime directory (0660, group
// qxadmin, like the agent's other sockets) and name a station's address and port; the agent
// checks the request (a header of fixed size within kHeaderTimeout; only the RPC service ports
// of its settings), traces who asked (SO_PEERCRED), opens the TLS connection with its own ring
// and carries the bytes both ways until either side ends or nothing moves for the call timeout
// (or the kept-connection time, whichever is longer). At most kMaxRelays run at once; a request
// beyond is answered kBusy and traced. See src/rpc/rpc_relay.cpp for the wire.
//
// Ownership: the object owns the listener and, through it, every relay's thread; Stop (or the
// destructor) wakes and joins them all. Start and Stop run on the agent's main thread.
//
//   qxagent::RpcRelayHost relay;
//   if (!relay.Start(&error)) ...;
//   relay.Stop();
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "platform/local_listener.h"

namespace qxagent {

class RpcRelayHost {
 public:
  static constexpr std::size_t kMaxRelays = 64;
  static constexpr std::chrono::seconds kHeaderTimeout{5};

  RpcRelayHost() = default;
  ~RpcRelayHost();
  RpcRelayHost(const RpcRelayHost&) = delete;
  RpcRelayHost& operator=(const RpcRelayHost&) = delete;

  // False with *error set when the socket cannot be set up.
  bool Start(std::string* error);
  void Stop();

 private:
  void Serve(int fd, int wakeFd);

  std::unique_ptr<qx::unix_socket::LocalListener> listener_;
  std::atomic<std::size_t> running_{0};
};

}  // namespace qxagent
