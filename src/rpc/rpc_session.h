// rpc_session.h - RpcSession: one accepted connection of an RPC server: its state, deadlines,
// the dispatch of its requests to the handlers, and its drain and close. The bytes move through
// an RpcByteStream (TLS, or plain for a benchmark) and frames come out of an RpcFrameReader.
//
// Created by RpcServing's accept and shared by its pending operations and by the job a worker
// runs; the RpcServing registers it weakly and outlives it. Everything runs on the session's
// strand, except RunHandler (on a worker, while the strand leaves request and answer alone) and
// Describe (under the serving state's lock, while the handler runs). How a session reads,
// answers, times out and ends: docs/rpc-protocol.md.
#pragma once

#include <array>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "rpc/rpc_byte_stream.h"
#include "rpc/rpc_frame.h"
#include "rpc/rpc_frame_reader.h"
#include "rpc/rpc_handler_pool.h"

namespace qx {

class RpcServing;

class RpcSession final : public std::enable_shared_from_this<RpcSession>, public RpcHandlerJob {
 public:
  RpcSession(RpcServing& server, asio::ip::tcp::socket socket, std::uint64_t serial,
             std::uint16_t clientId);
  ~RpcSession() override;

  // On the acceptor's strand, before Start: takes a slot of the process's connections, as a
  // pending one until the handshake is done, evicting older pending ones as the caps ask.
  // False when every slot is held by an authenticated session.
  bool Admit();
  void Start();
  // Ends the session as soon as no request is being served (runs on the session's strand).
  void Shutdown();
  // On a worker thread: runs the handler of the request that ServeFrame handed over. The
  // session's strand touches neither the request nor the answer until OnHandled.
  void RunHandler() override;
  // Who is being served, for the trace of a handler that outlives stop.
  std::string Describe() const;

  // What a handler gives as its HRESULT (CRPCServerW::SetResultSlot), on its thread.
  static void SetHandlerResult(HRESULT result);
  // The peer of the request that this thread's handler serves (CurrentRpcCaller).
  static const RpcSession* Serving();
  const std::string& peer() const { return peer_; }
  std::uint32_t keyId() const { return keyId_; }

 private:
  using SteadyClock = std::chrono::steady_clock;
  using Step = RpcByteStream::Step;
  enum class State { kHandshaking, kReading, kHandling, kWriting, kClosing, kClosed };

  void Handshake();
  bool AwaitSocket(Step step, void (RpcSession::*resume)());
  void Evicted();
  void Refuse(const char* why);
  void SetDeadline(std::chrono::milliseconds after);
  void ArmTimer(SteadyClock::time_point at);
  void CancelTimer();
  void OnTimer();
  bool MakeRoom();
  void ReadMore();
  void InputEnded(bool closed);
  void ProcessInput();
  bool ServeInput();
  bool ServeFrame(const rpc::FrameHeader& frame, const std::uint8_t* body);
  void Handle();
  void OnHandled();
  bool OnHello(const std::uint8_t* body, std::size_t size);
  template <typename F>
  void CallSafely(F&& call);
  std::vector<std::uint8_t> Dispatch(const rpc::FrameHeader& frame, const std::uint8_t* body);
  std::vector<std::uint8_t> DispatchUnsafe(const rpc::FrameHeader& frame, const std::uint8_t* body);
  static void Finish(bool handled, rpc::FrameHeader* answer);
  bool Write(std::vector<std::uint8_t> frame, bool endAfter);
  bool SendOut();
  void ResumeSend();
  bool AfterWrite(bool endAfter);
  void SendCloseAndEnd();
  void CloseSent();
  void Drain();
  void End(const char* reason);

  RpcServing& server_;
  // The socket, and over it from Start to End the TLS session; used on the strand only.
  RpcByteStream stream_;
  asio::steady_timer timer_;
  const std::uint64_t serial_;
  // Its slot (RpcConnectionSlots); set by Admit before Start, on the accepting thread, while a
  // Stop may already end the session on its strand (End then releases nothing; the destructor
  // releases what Admit took).
  std::atomic<std::uint64_t> ticket_{0};
  const std::uint16_t clientId_;
  const std::string peer_;
  const std::uint32_t source_;        // the peer's IPv4 address, 0 when none
  const bool useTls_;                 // false only for the plain sessions of a benchmark
  std::uint32_t keyId_ = 0;           // the key its handshake used; set before the first request
  std::uint64_t waitGeneration_ = 0;  // the socket wait (or read turn) that is current
  std::uint64_t timerGeneration_ = 0;
  bool timerArmed_ = false;
  SteadyClock::time_point timerExpiry_;
  SteadyClock::time_point deadline_;
  State state_ = State::kHandshaking;
  bool helloDone_ = false;
  bool spoke_ = false;  // the peer has sent bytes of its handshake
  bool stopRequested_ = false;
  bool frameTimed_ = false;  // the deadline of the frame now arriving is set
  RpcFrameReader input_;     // received bytes not yet served
  // The request on a worker (set before it is handed over) and the answer the worker made.
  rpc::FrameHeader request_;
  const std::uint8_t* requestBody_ = nullptr;
  SteadyClock::time_point handedOver_;
  std::vector<std::uint8_t> answer_;
  std::vector<std::uint8_t> out_;
  std::size_t outDone_ = 0;  // bytes of out_ already given to the stream
  bool endAfter_ = false;    // the session ends once out_ has gone
  std::array<std::uint8_t, 4096> drain_{};
};

}  // namespace qx
