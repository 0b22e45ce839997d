// rpc_byte_stream.cpp - RpcByteStream: the plain side of its steps and the poll events of a
// wait. The TLS side is RpcTlsSession's.
#include "rpc/rpc_byte_stream.h"

#include <poll.h>

namespace qx {
namespace {

// A plain socket's error as a step: a call that would block waits for the socket.
RpcByteStream::Step StepOfError(const std::error_code& error, RpcByteStream::Step wait) {
  if (error == asio::error::would_block || error == asio::error::try_again ||
      error == asio::error::interrupted)
    return wait;
  if (error == asio::error::eof) return RpcByteStream::Step::kClosed;
  return RpcByteStream::Step::kFailed;
}

}  // namespace

RpcByteStream::Step RpcByteStream::Read(std::uint8_t* out, std::size_t size, std::size_t* got) {
  if (tls_) return tls_->Read(out, size, got);
  std::error_code error;
  *got = socket_.read_some(asio::buffer(out, size), error);
  return error ? StepOfError(error, Step::kWantRead) : Step::kDone;
}

RpcByteStream::Step RpcByteStream::Write(const std::uint8_t* data, std::size_t size,
                                         std::size_t* done) {
  if (tls_) return tls_->Write(data, size, done);
  std::error_code error;
  *done = socket_.write_some(asio::buffer(data, size), error);
  if (!error) return Step::kDone;
  *done = 0;
  // An end of stream while writing is a failed write.
  const Step step = StepOfError(error, Step::kWantWrite);
  return step == Step::kClosed ? Step::kFailed : step;
}

short RpcByteStream::PollEvents(Step step) {
  switch (WaitOf(step)) {
    case Wait::kRead:
      return POLLIN;
    case Wait::kWrite:
      return POLLOUT;
    case Wait::kNone:
      break;
  }
  return 0;
}

}  // namespace qx
