// module_calls.cpp - UTF-8 wrappers of the module's C interface.
#include "module_calls.h"

#include "common/text.h"

namespace qxstation {
namespace {

ModuleAnswer TakeAnswer(HRESULT hr, BSTR answer) {
  ModuleAnswer result{hr, std::nullopt};
  if (answer != nullptr) {
    result.text = qx::Utf16ToUtf8(std::u16string_view(answer, SysStringLen(answer)))
                      .value_or("<answer is not valid UTF-16>");
    SysFreeString(answer);
  }
  return result;
}

}  // namespace

ModuleAnswer CallRemoteCommand(std::string_view command) {
  const std::u16string text = qx::Utf8ToUtf16(command);
  BSTR answer = nullptr;
  const HRESULT hr = RemoteCommand(text.c_str(), &answer);
  return TakeAnswer(hr, answer);
}

ModuleAnswer CallDiscoverCommand(std::string_view command) {
  const std::u16string text = qx::Utf8ToUtf16(command);
  BSTR answer = nullptr;
  const HRESULT hr = DiscoverCommand(text.c_str(), &answer);
  return TakeAnswer(hr, answer);
}

ModuleAnswer CallStateOfMachine(std::string_view host) {
  const std::u16string text = qx::Utf8ToUtf16(host);
  BSTR answer = nullptr;
  const HRESULT hr = GetStateOfNorvaneMachine(text.c_str(), &answer);
  return TakeAnswer(hr, answer);
}

std::int32_t CallRemoteCopyFile(std::string_view request, QXProgressCallback progress) {
  const std::u16string text = qx::Utf8ToUtf16(request);
  return RemoteCopyFile(text.c_str(), progress);
}

std::optional<ModuleAnswer> CallLocalCommand(std::string_view command) {
  // Neither the discovery nor the project-manager service: the server takes no role and
  // listens on a port of the runtime's choosing while the command runs.
  static constexpr OLECHAR kNoRole[] = u"qxstation-local-commands";
  void* server = nullptr;
  if (StartRemoteServer(kNoRole, &server) < 0 || server == nullptr) return std::nullopt;
  const std::u16string text = qx::Utf8ToUtf16(command);
  BSTR answer = nullptr;
  const HRESULT hr = TalkByString(server, text.c_str(), &answer);
  StopRemoteServer(server);
  return TakeAnswer(hr, answer);
}

std::string HresultName(HRESULT hr) {
  switch (static_cast<std::uint32_t>(hr)) {
    case 0x00000000u:
      return "S_OK";
    case 0x00000001u:
      return "S_FALSE";
    case 0x80004001u:
      return "E_NOTIMPL";
    case 0x80004003u:
      return "E_POINTER";
    case 0x80004005u:
      return "E_FAIL";
    case 0x8000FFFFu:
      return "E_UNEXPECTED";
    case 0x80070005u:
      return "E_ACCESSDENIED";
    case 0x8007000Eu:
      return "E_OUTOFMEMORY";
    case 0x80070057u:
      return "E_INVALIDARG";
    case 0x80040154u:
      return "REGDB_E_CLASSNOTREG";
    case 0x8001010Au:
      return "RPC_E_SERVERCALL_RETRYLATER";
  }
  return qx::Format("0x%08x", static_cast<unsigned>(hr));
}

std::string DescribeHresult(HRESULT hr) {
  std::string text = qx::Format("0x%08x", static_cast<unsigned>(hr));
  const std::string name = HresultName(hr);
  if (name != text) text += " (" + name + ")";
  return text;
}

}  // namespace qxstation
