// fuzz_answer_request.cpp - libFuzzer target for the requests that other stations send to the
// server: AnswerRemoteRequest through CSERVER::onReceiveString (data id 777) and READFILE through
// CSERVER::onReceiveData (data id 779), on a discovery-role server of a private station
// (fuzz_station.h).
//
// The first input byte picks the request: a text request; a READFILE whose text the rest of the
// input gives (sent as UTF-16LE with its terminator, as clients send it); or a READFILE block of
// raw bytes. In the texts, "$ROOT" stands for the file root (a new temporary directory at each
// start), so that inputs can name the files below it.
//
// Checks, beyond the sanitizers: a text that is not a message is refused; no answer holds the
// file outside the file root (reached through a symbolic link below the root or a path that
// leaves it); a READFILE block is at most the READFILE limit and is a piece of a file below the
// root; the library directories and file roots stay as they were.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/little_endian.h"
#include "fuzz_station.h"
#include "rpc/rpc.h"

namespace qx {
namespace {

using fuzz::Check;

// The contents of the files below the root (fuzz_station.h).
constexpr std::string_view kRootFiles[] = {"0123456789abcdef", "below the root"};

void CheckBlock(const qx::ByteBlock& block) {
  Check(block.size() <= qx::fuzz::kReadFileLimit);
  if (block.empty()) return;
  const std::string_view bytes(reinterpret_cast<const char*>(block.data()), block.size());
  bool found = false;
  for (std::string_view content : kRootFiles) {
    found = found || content.find(bytes) != std::string_view::npos;
  }
  Check(found);
}

void ReadFile(qx::CSERVER& server, const std::uint8_t* data, std::size_t size) {
  qx::ByteBlock block;
  const bool handled = server.onReceiveData(1, qx::DATA_ID_READ_FILE, data, size, &block);
  if (!handled) Check(block.empty());
  CheckBlock(block);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qx::fuzz::FuzzStation();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  qx::fuzz::Station& station = qx::fuzz::FuzzStation();
  station.Reset();
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string root = station.root.string();
  for (std::size_t at = text.find("$ROOT"); at != std::string::npos && at < 4096;
       at = text.find("$ROOT", at + root.size())) {
    text.replace(at, 5, root);
  }

  switch (data[0] % 3) {
    case 0: {
      qx::CXmlElement parsed;
      const bool isMessage = parsed.LoadXml(text);
      qx::AnswerText answer;
      const bool handled = station.server->onReceiveString(1, qx::DATA_ID_REQUEST, text, &answer);
      if (!isMessage) Check(!handled);
      if (answer) Check(!qx::fuzz::HoldsSecret(*answer));
      break;
    }
    case 1: {
      const std::u16string units = qx::Utf8ToUtf16(text);
      std::string request((units.size() + 1) * 2, '\0');
      for (std::size_t i = 0; i < units.size(); ++i) {
        qx::PutLe16(request.data() + 2 * i, static_cast<std::uint16_t>(units[i]));
      }
      ReadFile(*station.server, reinterpret_cast<const std::uint8_t*>(request.data()),
               request.size());
      break;
    }
    default:
      ReadFile(*station.server, data + 1, size - 1);
      break;
  }
  station.CheckSecurityUnchanged();
  return 0;
}

}  // namespace qx
