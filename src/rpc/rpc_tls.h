// rpc_tls.h - TLS 1.3 for every RPC connection, authenticated by the cluster key as external
// PSK: the OpenSSL contexts of both sides and one client-side session over a socket.
//
// There are no certificates: the key is the whole authentication. The client offers the key in
// use of its ring, named by KeyIdText(id); the server accepts any key of its ring by that name.
// Both read the ring when a handshake runs, so that a rotation applies to new connections. A
// handshake without a key both sides hold fails (the server has no certificate to fall back
// on, and both sides check after the handshake that the key was used). The key exchange is
// PSK with (EC)DHE, so a later theft of the key does not open recorded sessions. Keys never
// appear in a trace or an answer; their ids do (they travel in the clear anyway).
//
// The contexts are process-wide and never destroyed. RpcTlsSession belongs to one thread at a
// time (its connection's owner, or the strand of a server session); the rest may be called
// from any thread.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "keys/cluster_keys.h"
#include "rpc/rpc.h"

namespace qx {

// The contexts: TLS 1.3 only, one cipher suite, PSK callbacks installed, no certificate, no
// session tickets, read-ahead on (bytes read ahead are seen by HasPending, not by the socket).
// nullptr when OpenSSL cannot make one.
SSL_CTX* RpcClientTlsContext();
SSL_CTX* RpcServerTlsContext();

// The ring that source gives (nullptr: CurrentKeyRing()); never null.
std::shared_ptr<const KeyRing> RpcKeyRingOf(RpcKeyRingSource source);
// Traces a key ring that this process cannot use, as CurrentKeyRing reports it (already
// rate-limited): the key ring's problem sink (SetKeyRingProblemSink).
void TraceKeyRingProblem(KeyRingStatus status, const std::string& text, std::uint32_t suppressed);

// True when a finished server-side handshake was authenticated by a key of the ring (and not by
// anything else).
bool RpcTlsUsedClusterKey(SSL* ssl);

// At most a few refused-peer traces a second across the process: true when this one may be
// written; *suppressed is how many were left out since the last one written.
bool TakeRefusalTraceSlot(std::uint32_t* suppressed);

// What a session's BIO writes to: the socket, or while Write encrypts, the records collected
// to go out in one send.
struct RpcSocketLink {
  int fd = -1;
  bool collect = false;
  std::vector<std::uint8_t> unsent;  // collected records; [sent, size) not yet on the socket
  std::size_t sent = 0;
};

// One TLS session over a connected socket (blocking or not) that the caller owns. Every call
// does as much as the socket allows and says what it waits for.
class RpcTlsSession {
 public:
  enum class Step { kDone, kWantRead, kWantWrite, kClosed, kFailed };

  // A client session that offers the key in use of ring; nullptr when the ring has none
  // (*noKey true) or OpenSSL cannot make one.
  static std::unique_ptr<RpcTlsSession> Client(int fd, const KeyRing& ring, bool* noKey);
  // A server session that accepts the keys of ring (the RPC server's sessions, and the
  // blocking peers of tests).
  static std::unique_ptr<RpcTlsSession> Server(int fd, std::shared_ptr<const KeyRing> ring);
  ~RpcTlsSession();
  RpcTlsSession(const RpcTlsSession&) = delete;
  RpcTlsSession& operator=(const RpcTlsSession&) = delete;

  // kFailed: the peer refused or does not hold the key (FailureText says what OpenSSL saw).
  Step Handshake();
  // kDone with *done > 0 bytes; kClosed at the end of the stream.
  Step Read(std::uint8_t* out, std::size_t size, std::size_t* done);
  // Encrypts up to kCollectedBytes of data (*done says how much) and sends the records at once
  // as far as the socket takes them. kDone may leave records unsent (HasUnsent): they go first
  // in the next Write, or with Flush. kWantWrite with *done 0 when earlier records still wait.
  Step Write(const std::uint8_t* data, std::size_t size, std::size_t* done);
  // Sends the records that Write left: kDone when none is left, else kWantWrite or kClosed.
  Step Flush();
  bool HasUnsent() const { return !link_.unsent.empty(); }
  static constexpr std::size_t kCollectedBytes = 128 * 1024;
  // True when bytes already received wait inside the session (poll would not show them).
  bool HasPending() const;
  // Sends close_notify if the socket takes it at once; never waits.
  void Close();
  // OpenSSL's reason for the last kFailed; never key material.
  const std::string& FailureText() const { return failure_; }
  // The id of the key the session uses: the one a client offers, or the one of the ring that a
  // server accepted (0 until its handshake found it).
  std::uint32_t keyId() const { return keyId_; }
  // The server's PSK callback notes the key it accepted.
  void NoteKeyId(std::uint32_t id) { keyId_ = id; }
  // The ring a server session accepts keys of (empty for a client session).
  const KeyRing& serverRing() const { return *serverRing_; }

 private:
  RpcTlsSession() = default;
  Step Result(int returned, bool writing);
  // The client's PSK callback: the session of the key chosen at Client().
  static int UseClientPsk(SSL* ssl, const EVP_MD* md, const unsigned char** id, std::size_t* idlen,
                          SSL_SESSION** session);

  RpcSocketLink link_;  // the BIO's; outlives ssl_
  SSL* ssl_ = nullptr;
  bool server_ = false;
  std::uint32_t keyId_ = 0;
  std::string identity_;
  KeyBytes key_{};
  std::shared_ptr<const KeyRing> serverRing_ = std::make_shared<KeyRing>();
  std::string failure_;
};

}  // namespace qx
