// rpc.h - the station-to-station RPC runtime: CRPCServerW and CRPCClientW.
//
// An endpoint is (host, service GUID); the GUID selects the port (rpc_settings.h). Frames have a
// fixed header (magic, version, kind, data id, length) and a body whose size is checked against
// the maximum before anything is allocated. A client's first frame names the service GUID and
// the client name; a server refuses a GUID that is not its own. Messages travel as UTF-8; data
// blocks as bytes.
//
// Server: startServer binds the station's listen address; a fixed pool of I/O threads moves
// the bytes, and onReceiveString / onReceiveData run on a bounded pool of handler threads
// (HandlerThreads) with a bounded queue (HandlerQueue): when it is full, a request is answered
// at once with RPC_E_SERVERCALL_RETRYLATER. Requests of one connection are served in order.
// stopServer closes the endpoint and returns when no handler runs any more, or after the
// setting StopGraceMs with the handlers that still run traced and left running (counted by
// RpcHandlersLeftRunning): the object of such a handler must then stay alive, or the process
// exit. A second stopServer while one runs waits for it and returns false. A derived class
// calls stopServer() in its destructor so that no handler reaches a half-destroyed object.
//
// The port of a service is ServicePort(guid); a port of 0 (or an unknown GUID without a PORTS
// entry) makes startServer take any free port, which port() then reports. The listen address is
// the setting ListenAddress (127.0.0.1 unless the registry says otherwise).
//
// Client: one object is one connection, used by one thread at a time. Connect and every call
// end within the connect and call timeouts. A client handed a connection pool (rpc_pool.h; a
// station's own is Station::rpcPool()) takes a kept connection out of it and gives a healthy
// one back at Disconnect, so that connections are reused between objects; a kept connection
// that the peer closed is replaced without failing the call and without running a request
// twice. A client without a pool opens a connection at each Connect and closes it at
// Disconnect. The client reads the RPC settings, the service ports and the addresses of
// station names at most once a second; when a connect with such values fails, it reads them
// afresh and tries once more if they changed. DropKeptRpcConnections(pool) closes what the pool
// keeps and forgets the values at once.
//
// Every connection, loopback included, is TLS 1.3 authenticated by the cluster key as external
// PSK (rpc_tls.h): a peer without a key of the server's ring, or a client whose ring has no key
// in use, cannot call; the client's lastResult is then kRpcAuthenticationFailed. Both sides
// take the ring from their key-ring source at each new connection: the process's ring
// (CurrentKeyRing()) unless the object was given another source before it started or connected.
//
//   CRPCClientW client;
//   client.setConnectionPool(station.rpcPool());
//   AnswerText answer;
//   if (client.Connect(kServiceProjectManager, "STATIONB", ExecutablePath()) &&
//       client.SendString(DATA_ID_REQUEST, "<Test/>", &answer))
//     HRESULT remote = client.lastResult;   // the remote handler's result
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/answer.h"
#include "common/hresult.h"

namespace qx {

inline constexpr std::uint32_t DATA_ID_REQUEST = 777;
inline constexpr std::uint32_t DATA_ID_READ_FILE = 779;
// The answer's result when every handler thread is busy and the queue is full.
inline constexpr HRESULT RPC_E_SERVERCALL_RETRYLATER = static_cast<HRESULT>(0x8001010Au);
// A failed Connect or call's result when the stations do not share a cluster key: this station
// has no key in use, or the peer refused the TLS handshake (RPC_S_SEC_PKG_ERROR as an HRESULT).
inline constexpr HRESULT kRpcAuthenticationFailed = static_cast<HRESULT>(0x80070721u);

using ByteBlock = std::vector<std::uint8_t>;

class RpcServerImpl;
class RpcClientImpl;
class RpcConnectionPool;
struct KeyRing;
class HostPlatform;

// Where a server or a client takes the ring of a new connection's handshake; nullptr: the
// process's ring (CurrentKeyRing()). Called on the thread that opens or accepts the connection.
using RpcKeyRingSource = std::shared_ptr<const KeyRing> (*)();

class CRPCServerW {
 public:
  CRPCServerW();
  virtual ~CRPCServerW();
  CRPCServerW(const CRPCServerW&) = delete;
  CRPCServerW& operator=(const CRPCServerW&) = delete;

  // The ring that the sessions of the next startServer accept keys of.
  void setKeyRingSource(RpcKeyRingSource source);
  // Publishes the server under the service GUID; true on success.
  virtual bool startServer(std::string_view endpointName, int flags);
  virtual bool stopServer();
  // Data request: the answer block goes back to the caller. True is success.
  virtual bool onReceiveData(std::uint16_t clientId, std::uint32_t dataId, const std::uint8_t* data,
                             std::size_t size, ByteBlock* answer);
  // String request: the answer text goes back when set. True is success.
  virtual bool onReceiveString(std::uint16_t clientId, std::uint32_t dataId,
                               const std::string& text, AnswerText* answer);
  virtual bool onReceiveAnsiStr(std::uint16_t clientId, std::uint32_t dataId,
                                const std::string& text);
  virtual void onClientConnected(std::uint16_t clientId);
  virtual void onClientDisconnected(std::uint16_t clientId);
  virtual void onClientRunDown(std::uint16_t clientId);

  bool IsRunning() const;
  // The port the server listens on (0 while stopped).
  std::uint16_t port() const;

 protected:
  // The result slot of the request being served on this thread; travels back to the caller's
  // lastResult. Without a stored result the caller sees S_OK for true and E_FAIL for false.
  static void SetResultSlot(HRESULT result);

 private:
  std::unique_ptr<RpcServerImpl> impl_;
};

class CRPCClientW {
 public:
  CRPCClientW();
  virtual ~CRPCClientW();
  CRPCClientW(const CRPCClientW&) = delete;
  CRPCClientW& operator=(const CRPCClientW&) = delete;

  // Connects to the service on host: an IPv4 text; this computer's name (the listen address);
  // a name of the registry's hosts table; else a name of the system resolver (IPv4). "." style
  // names are the caller's to resolve. False when the station cannot be reached within the
  // connect timeout or refuses the service.
  virtual bool Connect(std::string_view endpointName, std::string_view host,
                       std::string_view clientName);
  // The ring whose key in use the connections that this object opens from now offer.
  void setKeyRingSource(RpcKeyRingSource source);
  // The computer whose own name Connect reaches on the listen address (default: the process's
  // real one, Host()); platform must outlive the object's connections.
  void setHostPlatform(HostPlatform& platform);
  // The pool that Connect takes a kept connection from and Disconnect gives it back to (default:
  // none, each connection is closed at Disconnect). Set before Connect; pool must outlive the
  // object.
  void setConnectionPool(RpcConnectionPool& pool);
  // Returns a healthy idle connection to the pool for reuse; closes one with answers pending,
  // and every one when the object has no pool.
  virtual void Disconnect();
  // True when the request was delivered and answered; lastResult holds the handler's HRESULT.
  virtual bool SendData(std::uint32_t dataId, const std::uint8_t* data, std::size_t size,
                        ByteBlock* answer);
  virtual bool SendString(std::uint32_t dataId, std::string_view text, AnswerText* answer);

  // Pipelined data requests: Post queues a request without waiting; Receive takes the answers
  // in the order of posting (lastResult as for SendData). At most kMaxInFlight outstanding.
  // Meant for small requests (the server reads the next request only after answering the last).
  // SendData and SendString refuse (false) while posted answers are outstanding.
  static constexpr int kMaxInFlight = 16;
  bool PostData(std::uint32_t dataId, const std::uint8_t* data, std::size_t size);
  bool ReceiveData(ByteBlock* answer);
  int InFlight() const;

  // After a call: the remote handler's HRESULT when the call returned true, else E_FAIL, or
  // kRpcAuthenticationFailed when no connection could be authenticated. After a failed
  // Connect: E_FAIL or kRpcAuthenticationFailed.
  HRESULT lastResult = S_OK;

 private:
  std::unique_ptr<RpcClientImpl> impl_;
};

// Who sent the request that the calling thread's handler serves: the peer's address and port
// ("192.0.2.7:50412") and the id of the cluster key its connection was authenticated with (0 on
// a plain benchmark connection). nullopt on a thread that serves no RPC request, such as a host
// thread running a local command.
struct RpcCaller {
  std::string address;
  std::uint32_t keyId = 0;
};
std::optional<RpcCaller> CurrentRpcCaller();

// Closes the connections that pool keeps for reuse and forgets the settings, ports and addresses
// read for clients (tests, and the module's unload with the module station's pool).
void DropKeptRpcConnections(RpcConnectionPool& pool);

// Ends the calling thread's client waits (connect, send, answer) early once *flag is true, as if
// their deadline had passed: a cancelled asynchronous command stops within kCancelCheckMs instead
// of its call timeout. The flag must outlive the scope. Threads without one wait as before.
inline constexpr int kCancelCheckMs = 50;
class ScopedRpcCancelFlag {
 public:
  explicit ScopedRpcCancelFlag(const std::atomic<bool>* flag);
  ~ScopedRpcCancelFlag();
  ScopedRpcCancelFlag(const ScopedRpcCancelFlag&) = delete;
  ScopedRpcCancelFlag& operator=(const ScopedRpcCancelFlag&) = delete;

 private:
  const std::atomic<bool>* previous_;
};

// How many handlers a stopServer of this process had to leave running after its grace. A host
// that sees a number above 0 ends with _exit rather than run static destructors under them.
std::size_t RpcHandlersLeftRunning();

}  // namespace qx
