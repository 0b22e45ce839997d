// rpc_tls.cpp - the TLS contexts of the RPC runtime, the PSK callbacks of both sides and the
// session over a socket that clients and server sessions use.
//
// A PSK is handed to OpenSSL as a TLS 1.3 session whose master key is the cluster key and whose
// cipher is the one suite both contexts allow. The server's callback looks the offered identity
// up in the ring of the moment; an unknown identity gets no session, and the handshake then
// fails, since the server has no certificate. The client's callback offers the key chosen when
// the session was made. A session's Write encrypts a whole answer (up to kCollectedBytes) into
// one buffer that goes out in one send; the buffer is kept for the next write.
#include "rpc/rpc_tls.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "common/mutex.h"
#include "rpc/rpc_internal.h"

namespace qx {
namespace {

// TLS_AES_128_GCM_SHA256, the suite every TLS 1.3 peer implements: AES-GCM runs in hardware,
// and a copy spends much of its time encrypting 64 KiB blocks on both sides: with AES-128 a TLS
// copy keeps above 0.8 of the plain one, with AES-256 it fell below. The 256-bit cluster key
// stays the PSK, and the (EC)DHE share keeps recorded sessions closed.
constexpr const char* kCipherSuite = "TLS_AES_128_GCM_SHA256";
constexpr unsigned char kCipherId[2] = {0x13, 0x01};
constexpr std::uint32_t kRefusalTracesPerSecond = 5;
// What a client connection reads ahead at most: a 64 KiB answer with its records' overhead.
constexpr std::size_t kClientReadBuffer = 80 * 1024;

std::atomic<bool> gPlaintextForBenchmark{false};

// A TLS 1.3 session of key for ssl's context, or nullptr. md: the digest the handshake already
// chose (null before the ServerHello); a key cannot be used under another one.
SSL_SESSION* PskSession(SSL* ssl, const EVP_MD* md, const KeyBytes& key) {
  const SSL_CIPHER* cipher = SSL_CIPHER_find(ssl, kCipherId);
  if (cipher == nullptr) return nullptr;
  if (md != nullptr && md != SSL_CIPHER_get_handshake_digest(cipher)) return nullptr;
  SSL_SESSION* session = SSL_SESSION_new();
  if (session == nullptr) return nullptr;
  if (SSL_SESSION_set1_master_key(session, key.data(), key.size()) != 1 ||
      SSL_SESSION_set_cipher(session, cipher) != 1 ||
      SSL_SESSION_set_protocol_version(session, TLS1_3_VERSION) != 1) {
    SSL_SESSION_free(session);
    return nullptr;
  }
  return session;
}

// The server side: the key of the ring named by the identity. No session for an unknown name;
// the handshake then fails for want of a certificate.
int FindServerPsk(SSL* ssl, const unsigned char* identity, std::size_t length,
                  SSL_SESSION** session) {
  *session = nullptr;
  auto* self = static_cast<RpcTlsSession*>(SSL_get_app_data(ssl));
  if (self == nullptr) return 1;  // no key: the handshake fails
  const std::string_view offered(reinterpret_cast<const char*>(identity), length);
  for (const ClusterKey& key : self->serverRing().keys) {
    if (KeyIdText(key.id) != offered) continue;
    *session = PskSession(ssl, nullptr, key.bytes);
    if (*session == nullptr) return 0;
    // The session learns which key the peer chose (its keyId, for whoever audits the peer).
    self->NoteKeyId(key.id);
    return 1;
  }
  return 1;
}

bool Configure(SSL_CTX* context) {
  return SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION) == 1 &&
         SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) == 1 &&
         SSL_CTX_set_ciphersuites(context, kCipherSuite) == 1;
}

SSL_CTX* MakeContext(bool server) {
  SSL_CTX* context = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (context == nullptr) return nullptr;
  if (!Configure(context)) {
    SSL_CTX_free(context);
    return nullptr;
  }
  // The key authenticates; there is no certificate to check.
  SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  // A peer that closes without close_notify ends the stream: the frames carry their lengths,
  // so a cut frame is still seen as one.
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_TICKET);
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  if (server) {
    SSL_CTX_set_num_tickets(context, 0);
    SSL_CTX_set_psk_find_session_callback(context, FindServerPsk);
  } else {
    // A large answer (a copy's 64 KiB block) in few reads: room for several records.
    SSL_CTX_set_default_read_buffer_len(context, kClientReadBuffer);
  }
  // Whole records in one read where the socket holds them.
  SSL_CTX_set_read_ahead(context, 1);
  return context;
}

// The socket under a session: send with MSG_NOSIGNAL (OpenSSL's own socket BIO writes with
// write(), and a peer gone would raise SIGPIPE in a host that does not ignore it) and recv.
RpcSocketLink* LinkOf(BIO* bio) { return static_cast<RpcSocketLink*>(BIO_get_data(bio)); }

bool Retryable(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// Sends what Write collected: 1 when all of it is on the socket, 0 when the socket takes no
// more now, -1 when it failed (errno says why).
int SendUnsent(RpcSocketLink* link) {
  while (link->sent < link->unsent.size()) {
    const ssize_t sent = ::send(link->fd, link->unsent.data() + link->sent,
                                link->unsent.size() - link->sent, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return Retryable(errno) ? 0 : -1;
    }
    link->sent += static_cast<std::size_t>(sent);
  }
  link->unsent.clear();
  link->sent = 0;
  return 1;
}

int SocketWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  RpcSocketLink* link = LinkOf(bio);
  if (link->collect) {
    try {
      link->unsent.insert(link->unsent.end(), data, data + size);
    } catch (...) {  // no memory: the write fails
      return -1;
    }
    return size;
  }
  // Nothing overtakes the records that Write collected.
  const int flushed = SendUnsent(link);
  if (flushed <= 0) {
    if (flushed == 0) BIO_set_retry_write(bio);
    return -1;
  }
  const ssize_t sent = ::send(link->fd, data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
  if (sent < 0 && Retryable(errno)) BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

int SocketRead(BIO* bio, char* out, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t got = ::recv(LinkOf(bio)->fd, out, static_cast<std::size_t>(size), 0);
  if (got < 0 && Retryable(errno)) BIO_set_retry_read(bio);
  return static_cast<int>(got);
}

long SocketControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int SocketCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* SocketMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "rpc socket");
    if (made != nullptr &&
        (BIO_meth_set_write(made, SocketWrite) != 1 || BIO_meth_set_read(made, SocketRead) != 1 ||
         BIO_meth_set_ctrl(made, SocketControl) != 1 ||
         BIO_meth_set_create(made, SocketCreate) != 1)) {
      BIO_meth_free(made);
      made = nullptr;
    }
    return made;
  }();
  return method;
}

// ssl reads and writes link's socket through SocketMethod(); false when OpenSSL has no memory.
bool AttachSocket(SSL* ssl, RpcSocketLink* link) {
  const BIO_METHOD* method = SocketMethod();
  if (method == nullptr) return false;
  BIO* bio = BIO_new(method);
  if (bio == nullptr) return false;
  BIO_set_data(bio, link);
  SSL_set_bio(ssl, bio, bio);  // one reference for both directions
  return true;
}

std::string ErrorQueueText() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "connection ended";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

}  // namespace

void SetRpcPlaintextForBenchmark(bool plaintext) { gPlaintextForBenchmark = plaintext; }
bool RpcPlaintextForBenchmark() { return gPlaintextForBenchmark.load(std::memory_order_relaxed); }

SSL_CTX* RpcClientTlsContext() {
  static SSL_CTX* const context = MakeContext(false);
  return context;
}

SSL_CTX* RpcServerTlsContext() {
  static SSL_CTX* const context = MakeContext(true);
  return context;
}

std::shared_ptr<const KeyRing> RpcKeyRingOf(RpcKeyRingSource source) {
  std::shared_ptr<const KeyRing> ring = source != nullptr ? source() : CurrentKeyRing();
  return ring ? ring : std::make_shared<KeyRing>();
}

bool RpcTlsUsedClusterKey(SSL* ssl) {
  // In TLS 1.3 a resumed session is one whose PSK was accepted; tickets are off, so the only
  // PSKs are the ring's keys.
  return SSL_version(ssl) == TLS1_3_VERSION && SSL_session_reused(ssl) == 1;
}

bool TakeRefusalTraceSlot(std::uint32_t* suppressed) {
  struct Limit {
    Mutex mutex;
    std::chrono::steady_clock::time_point windowStart GUARDED_BY(mutex);
    std::uint32_t written GUARDED_BY(mutex) = 0;
    std::uint32_t left GUARDED_BY(mutex) = 0;
  };
  static Limit& limit = *std::make_unique<Limit>().release();
  const auto now = std::chrono::steady_clock::now();
  MutexLock lock(&limit.mutex);
  if (now - limit.windowStart >= std::chrono::seconds(1)) {
    limit.windowStart = now;
    limit.written = 0;
  }
  if (limit.written >= kRefusalTracesPerSecond) {
    ++limit.left;
    return false;
  }
  ++limit.written;
  *suppressed = limit.left;
  limit.left = 0;
  return true;
}

std::unique_ptr<RpcTlsSession> RpcTlsSession::Client(int fd, const KeyRing& ring, bool* noKey) {
  *noKey = false;
  const ClusterKey* key = ring.InUse();
  if (key == nullptr) {
    *noKey = true;
    return nullptr;
  }
  SSL_CTX* context = RpcClientTlsContext();
  if (context == nullptr) return nullptr;
  std::unique_ptr<RpcTlsSession> session(new RpcTlsSession());  // private constructor
  session->link_.fd = fd;
  session->ssl_ = SSL_new(context);
  if (session->ssl_ == nullptr || !AttachSocket(session->ssl_, &session->link_)) return nullptr;
  session->keyId_ = key->id;
  session->identity_ = KeyIdText(key->id);
  session->key_ = key->bytes;
  SSL_set_app_data(session->ssl_, session.get());
  SSL_set_psk_use_session_callback(session->ssl_, &RpcTlsSession::UseClientPsk);
  SSL_set_connect_state(session->ssl_);
  return session;
}

std::unique_ptr<RpcTlsSession> RpcTlsSession::Server(int fd, std::shared_ptr<const KeyRing> ring) {
  SSL_CTX* context = RpcServerTlsContext();
  if (context == nullptr) return nullptr;
  std::unique_ptr<RpcTlsSession> session(new RpcTlsSession());  // private constructor
  session->server_ = true;
  session->link_.fd = fd;
  if (ring) session->serverRing_ = std::move(ring);
  session->ssl_ = SSL_new(context);
  if (session->ssl_ == nullptr || !AttachSocket(session->ssl_, &session->link_)) return nullptr;
  SSL_set_app_data(session->ssl_, session.get());
  SSL_set_accept_state(session->ssl_);
  return session;
}

RpcTlsSession::~RpcTlsSession() {
  if (ssl_ != nullptr) SSL_free(ssl_);
  OPENSSL_cleanse(key_.data(), key_.size());
}

int RpcTlsSession::UseClientPsk(SSL* ssl, const EVP_MD* md, const unsigned char** id,
                                std::size_t* idlen, SSL_SESSION** session) {
  *session = nullptr;
  *id = nullptr;
  *idlen = 0;
  const auto* self = static_cast<const RpcTlsSession*>(SSL_get_app_data(ssl));
  if (self == nullptr) return 1;  // no PSK: the handshake fails
  *session = PskSession(ssl, md, self->key_);
  if (*session == nullptr) return 1;
  *id = reinterpret_cast<const unsigned char*>(self->identity_.data());
  *idlen = self->identity_.size();
  return 1;
}

RpcTlsSession::Step RpcTlsSession::Result(int returned, bool writing) {
  const int error = SSL_get_error(ssl_, returned);
  switch (error) {
    case SSL_ERROR_NONE:
      return Step::kDone;
    case SSL_ERROR_WANT_READ:
      return Step::kWantRead;
    case SSL_ERROR_WANT_WRITE:
      return Step::kWantWrite;
    case SSL_ERROR_ZERO_RETURN:
      return Step::kClosed;
    case SSL_ERROR_SYSCALL:
      if (errno == EINTR) return writing ? Step::kWantWrite : Step::kWantRead;
      ERR_clear_error();
      return Step::kClosed;
    default:
      failure_ = ErrorQueueText();
      return Step::kFailed;
  }
}

RpcTlsSession::Step RpcTlsSession::Handshake() {
  ERR_clear_error();
  errno = 0;
  const int returned = SSL_do_handshake(ssl_);
  if (returned == 1) {
    if (RpcTlsUsedClusterKey(ssl_)) return Step::kDone;
    failure_ = "the handshake did not use the cluster key";
    return Step::kFailed;
  }
  const Step step = Result(returned, false);
  // A peer that hangs up in the middle of the handshake refused it.
  if (step == Step::kClosed && failure_.empty()) failure_ = "the peer ended the handshake";
  return step == Step::kClosed ? Step::kFailed : step;
}

RpcTlsSession::Step RpcTlsSession::Read(std::uint8_t* out, std::size_t size, std::size_t* done) {
  *done = 0;
  ERR_clear_error();
  errno = 0;
  if (SSL_read_ex(ssl_, out, size, done) == 1) return Step::kDone;
  return Result(0, false);
}

RpcTlsSession::Step RpcTlsSession::Write(const std::uint8_t* data, std::size_t size,
                                         std::size_t* done) {
  *done = 0;
  if (const Step flushed = Flush(); flushed != Step::kDone || size == 0) return flushed;
  ERR_clear_error();
  errno = 0;
  // All records of the call are collected and go out together: one send, and a peer that
  // wakes once for the whole of it.
  link_.collect = true;
  const int wrote = SSL_write_ex(ssl_, data, std::min(size, kCollectedBytes), done);
  link_.collect = false;
  if (wrote != 1) {
    *done = 0;
    return Result(0, true);
  }
  // What the socket does not take now goes first in the next call (or Flush).
  return Flush() == Step::kClosed ? Step::kClosed : Step::kDone;
}

RpcTlsSession::Step RpcTlsSession::Flush() {
  switch (SendUnsent(&link_)) {
    case 1:
      return Step::kDone;
    case 0:
      return Step::kWantWrite;
    default:
      return Step::kClosed;
  }
}

bool RpcTlsSession::HasPending() const { return SSL_has_pending(ssl_) == 1; }

void RpcTlsSession::Close() {
  if (!SSL_is_init_finished(ssl_)) return;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

}  // namespace qx
