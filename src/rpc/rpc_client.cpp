// rpc_client.cpp - CRPCClientW: a client of one service on one station.
//
// Connect resolves the station, takes a kept connection from the pool it was handed, if any, or
// opens a new one (TCP, TLS with the cluster key, then HELLO), all within the connect timeout
// as a whole, and Disconnect gives a healthy idle connection back to that pool. Each call
// writes its request and reads the answer within the call timeout.
//
// Retry rule: a request whose answer read meets CLOSE did not run (the server sends CLOSE only
// between requests and reads nothing after it), so it is sent once more on a new connection.
// A connection that ends in any other way after the request went out fails the call (E_FAIL)
// without a retry, since the request may have run.
// The object belongs to one thread at a time.
#include <deque>
#include <optional>

#include "common/text.h"
#include "platform/host_platform.h"
#include "rpc/rpc.h"
#include "rpc/rpc_internal.h"
#include "rpc/rpc_pool.h"
#include "trace/trace.h"

namespace qx {

namespace {
const CTraceSource kClientSource("RemoteClient");
}  // namespace

class RpcClientImpl {
 public:
  RpcConnectionKey key;
  RpcSettings settings;
  bool connected = false;
  std::unique_ptr<RpcClientConnection> connection;
  // Request frames posted and not yet answered, oldest first; kept to send again after CLOSE.
  std::deque<std::vector<std::uint8_t>> posted;
  bool writeFailed = false;             // a post could not be written on this connection
  bool authFailed = false;              // the last connection could not be authenticated
  RpcKeyRingSource keyRings = nullptr;  // the process's ring unless set
  HostPlatform* platform = &Host();     // names this computer
  RpcConnectionPool* pool = nullptr;    // none: connections are not kept

  // A new connection for key by the deadline (default: the connect timeout from now). False
  // when the station cannot be reached, refuses, or does not share the cluster key.
  bool OpenFresh(std::optional<RpcClock::time_point> deadline = std::nullopt) {
    RpcOpenFailure failure = RpcOpenFailure::kNone;
    writeFailed = false;
    connection = RpcClientConnection::Open(
        key,
        deadline.value_or(RpcClock::now() + std::chrono::milliseconds(settings.connectTimeoutMs)),
        &failure, keyRings);
    authFailed = failure == RpcOpenFailure::kAuthentication;
    if (failure == RpcOpenFailure::kRefused)
      TraceWarning(kClientSource, "RPC: the station refused the service %s", key.service.c_str());
    return connection != nullptr;
  }

  HRESULT FailureResult() const { return authFailed ? kRpcAuthenticationFailed : E_FAIL; }

  RpcClock::time_point CallDeadline() const {
    return RpcClock::now() + std::chrono::milliseconds(settings.callTimeoutMs);
  }

  void Drop() {
    connection.reset();
    posted.clear();
    writeFailed = false;
  }

  // After a failed write: a CLOSE that the server sent before it went away may be waiting.
  bool CloseWaiting() {
    rpc::FrameHeader header;
    std::vector<std::uint8_t> body;
    return connection->ReadFrame(&header, &body, settings.maxFrameBytes, RpcClock::now()) ==
               RpcIo::kOk &&
           header.kind == rpc::FrameKind::kClose;
  }

  // Sends request frames and reads the answer to the first of them. One resend after CLOSE.
  // False on every other failure (the connection is then dropped).
  bool Exchange(const std::deque<std::vector<std::uint8_t>>& frames, rpc::FrameKind answerKind,
                rpc::FrameHeader* header, std::vector<std::uint8_t>* body, bool writeFirst) {
    bool mayRetry = true;
    for (;;) {
      const auto deadline = CallDeadline();
      bool closedByServer = false;
      if (!connection) {
        if (!OpenFresh()) return false;
        writeFirst = true;
      }
      if (writeFirst) {
        for (const auto& frame : frames) {
          if (connection->WriteAll(frame.data(), frame.size(), deadline) != RpcIo::kOk) {
            closedByServer = CloseWaiting();
            if (!closedByServer) {
              connection.reset();
              return false;
            }
            break;
          }
        }
      }
      if (!closedByServer) {
        const RpcIo read = connection->ReadFrame(header, body, settings.maxFrameBytes, deadline);
        if (read == RpcIo::kOk && header->kind == answerKind) return true;
        closedByServer = read == RpcIo::kOk && header->kind == rpc::FrameKind::kClose;
        if (!closedByServer) {
          if (read == RpcIo::kTimeout)
            TraceWarning(kClientSource, "RPC: no answer within %u ms from service %s",
                         settings.callTimeoutMs, key.service.c_str());
          connection.reset();
          return false;
        }
      }
      connection.reset();
      if (!mayRetry) return false;
      mayRetry = false;
    }
  }
};

CRPCClientW::CRPCClientW() : impl_(std::make_unique<RpcClientImpl>()) {}

CRPCClientW::~CRPCClientW() { CRPCClientW::Disconnect(); }

void CRPCClientW::setKeyRingSource(RpcKeyRingSource source) { impl_->keyRings = source; }

void CRPCClientW::setHostPlatform(HostPlatform& platform) { impl_->platform = &platform; }

void CRPCClientW::setConnectionPool(RpcConnectionPool& pool) { impl_->pool = &pool; }

bool CRPCClientW::Connect(std::string_view endpointName, std::string_view host,
                          std::string_view clientName) {
  Disconnect();
  RpcClientImpl& impl = *impl_;
  // The settings, port and address may come from the client cache; when they fail, they are
  // read afresh once, and tried again if they changed. Name resolution and both attempts share
  // one deadline: the connect timeout.
  impl.settings = CachedRpcSettings();
  impl.authFailed = false;
  const auto deadline = RpcClock::now() + std::chrono::milliseconds(impl.settings.connectTimeoutMs);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt != 0) impl.settings = CachedRpcSettings();
    const std::optional<std::uint16_t> port = CachedServicePort(endpointName);
    const std::optional<asio::ip::address_v4> address =
        ResolveStationAddress(host, impl.settings, deadline, *impl.platform);
    RpcConnectionKey key;
    if (port && *port != 0 && address)
      key = {address->to_uint(), *port, ToUpper(endpointName), std::string(clientName)};
    if (attempt == 1 && key == impl.key) break;
    impl.key = key;
    if (key.port != 0) {
      if (impl.pool != nullptr)
        impl.connection = impl.pool->Checkout(key, impl.settings.idleConnectionMs);
      if (impl.connection || impl.OpenFresh(deadline)) {
        impl.connected = true;
        return true;
      }
    }
    // A peer that refused our key will not take it on a second attempt.
    if (impl.authFailed) break;
    ClearRpcClientCaches();
  }
  lastResult = impl.FailureResult();
  if (impl.key.port == 0)
    TraceWarning(kClientSource, "RPC: no address or port for service %s on station %s",
                 std::string(endpointName).c_str(), std::string(host).c_str());
  return false;
}

void CRPCClientW::Disconnect() {
  if (!impl_) return;
  RpcClientImpl& impl = *impl_;
  if (impl.pool != nullptr && impl.connection && impl.posted.empty() && !impl.writeFailed)
    impl.pool->Checkin(std::move(impl.connection), impl.settings.idleConnectionMs);
  impl.Drop();
  impl.connected = false;
}

bool CRPCClientW::SendString(std::uint32_t dataId, std::string_view text, AnswerText* answer) {
  lastResult = E_FAIL;
  RpcClientImpl& impl = *impl_;
  if (!impl.connected || !impl.posted.empty() || text.size() > impl.settings.maxFrameBytes)
    return false;
  rpc::FrameHeader header;
  std::vector<std::uint8_t> body;
  const std::deque<std::vector<std::uint8_t>> request{
      rpc::BuildFrame({rpc::FrameKind::kStringRequest, 0, dataId}, text)};
  impl.authFailed = false;
  if (!impl.Exchange(request, rpc::FrameKind::kStringAnswer, &header, &body, true)) {
    lastResult = impl.FailureResult();
    return false;
  }
  lastResult = header.result;
  if (answer != nullptr) {
    if (header.flags & rpc::kFlagAnswerPresent)
      answer->emplace(reinterpret_cast<const char*>(body.data()), body.size());
    else
      answer->reset();
  }
  return true;
}

bool CRPCClientW::SendData(std::uint32_t dataId, const std::uint8_t* data, std::size_t size,
                           ByteBlock* answer) {
  lastResult = E_FAIL;
  RpcClientImpl& impl = *impl_;
  if (!impl.connected || !impl.posted.empty()) return false;
  if (size > impl.settings.maxFrameBytes || (data == nullptr && size != 0)) return false;
  rpc::FrameHeader header;
  std::vector<std::uint8_t> body;
  const std::deque<std::vector<std::uint8_t>> request{
      rpc::BuildFrame({rpc::FrameKind::kDataRequest, 0, dataId}, data, size)};
  impl.authFailed = false;
  if (!impl.Exchange(request, rpc::FrameKind::kDataAnswer, &header, &body, true)) {
    lastResult = impl.FailureResult();
    return false;
  }
  lastResult = header.result;
  if (answer != nullptr) *answer = std::move(body);
  return true;
}

bool CRPCClientW::PostData(std::uint32_t dataId, const std::uint8_t* data, std::size_t size) {
  RpcClientImpl& impl = *impl_;
  if (!impl.connected || impl.posted.size() >= static_cast<std::size_t>(kMaxInFlight)) return false;
  if (size > impl.settings.maxFrameBytes || (data == nullptr && size != 0)) return false;
  std::vector<std::uint8_t> frame =
      rpc::BuildFrame({rpc::FrameKind::kDataRequest, 0, dataId}, data, size);
  if (!impl.connection) {
    if (!impl.posted.empty()) {
      // The connection met CLOSE: ReceiveData sends everything posted on a new one, in order.
      impl.posted.push_back(std::move(frame));
      return true;
    }
    if (!impl.OpenFresh()) return false;
  }
  // A failed write is not a failed post: answers to earlier posts may still be waiting, and a
  // CLOSE behind them means that this one did not run. ReceiveData tells which.
  if (!impl.writeFailed &&
      impl.connection->WriteAll(frame.data(), frame.size(), impl.CallDeadline()) != RpcIo::kOk)
    impl.writeFailed = true;
  impl.posted.push_back(std::move(frame));
  return true;
}

bool CRPCClientW::ReceiveData(ByteBlock* answer) {
  lastResult = E_FAIL;
  RpcClientImpl& impl = *impl_;
  if (!impl.connected || impl.posted.empty()) return false;
  rpc::FrameHeader header;
  std::vector<std::uint8_t> body;
  impl.authFailed = false;
  if (!impl.Exchange(impl.posted, rpc::FrameKind::kDataAnswer, &header, &body, false)) {
    lastResult = impl.FailureResult();
    impl.Drop();
    return false;
  }
  impl.posted.pop_front();
  lastResult = header.result;
  if (answer != nullptr) *answer = std::move(body);
  return true;
}

int CRPCClientW::InFlight() const { return static_cast<int>(impl_->posted.size()); }

}  // namespace qx
