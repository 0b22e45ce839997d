// fuzz_talk_by_string.cpp - libFuzzer target for CSERVER::TalkByString, the host's local
// commands, on a discovery-role server of a private station (fuzz_station.h).
//
// The input is up to 8 commands separated by NUL bytes, given in order to one tree that starts
// empty. "LeaveJoinMulticastGroup" is skipped: it pauses a second between its two halves.
//
// Checks, beyond the sanitizers: a text that is not a message is refused with E_INVALIDARG; a
// command of no known tag gets E_NOTIMPL; each tree query asked twice in a row answers the same
// both times; the project list and the tree's content are messages that parse; the library
// directories and file roots stay as they were.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_station.h"

namespace qx {
namespace {

using fuzz::Check;

constexpr const char* kQueries[] = {"GetTreeContent", "GetHostDetails",   "GetProjectDetails",
                                    "GetProjectList", "FindServerForDSN", "IsPasswordAvailable"};
constexpr const char* kOthers[] = {
    "JoinMulticastGroup", "LeaveMulticastGroup", "WriteProjectToRegistry",
    "CleanRegistry",      "IsServerForDSN",      "IsClientForDSN",
    "SetTraceConfig",     "SetStationData",      "SetUserPassword"};

template <std::size_t N>
bool OneOf(const std::string& tag, const char* const (&tags)[N]) {
  for (const char* known : tags) {
    if (qx::IEquals(tag, known)) return true;
  }
  return false;
}

void RunCommand(qx::CSERVER& server, std::string_view text) {
  qx::CXmlElement parsed;
  if (!parsed.LoadXml(text)) {
    Check(server.TalkByString(text, nullptr) == E_INVALIDARG);
    return;
  }
  const std::string tag = parsed.GetName();
  if (qx::IEquals(tag, "LeaveJoinMulticastGroup")) return;

  qx::AnswerText answer;
  const HRESULT result = server.TalkByString(text, &answer);
  if (answer && Succeeded(result) &&
      (qx::IEquals(tag, "GetProjectList") || qx::IEquals(tag, "GetTreeContent"))) {
    qx::CXmlElement parsedAnswer;
    Check(parsedAnswer.LoadXml(*answer));
  }
  if (OneOf(tag, kQueries)) {
    qx::AnswerText again;
    Check(server.TalkByString(text, &again) == result);
    Check(again == answer);
  } else if (!OneOf(tag, kOthers)) {
    Check(result == E_NOTIMPL);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qx::fuzz::FuzzStation();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qx::fuzz::Station& station = qx::fuzz::FuzzStation();
  station.Reset();
  for (std::string_view command : qx::fuzz::SplitMessages(data, size, 8)) {
    RunCommand(*station.server, command);
  }
  fuzz::CheckTreeContent();
  station.CheckSecurityUnchanged();
  return 0;
}

}  // namespace qx
