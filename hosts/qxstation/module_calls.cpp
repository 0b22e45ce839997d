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

std::string DescribeHresult(HRESULT hr) {
  const char* name = nullptr;
  switch (static_cast<std::uint32_t>(hr)) {
    case 0x00000000u:
      name = "S_OK";
      break;
    case 0x00000001u:
      name = "S_FALSE";
      break;
    case 0x80004001u:
      name = "E_NOTIMPL";
      break;
    case 0x80004003u:
      name = "E_POINTER";
      break;
    case 0x80004005u:
      name = "E_FAIL";
      break;
    case 0x8000FFFFu:
      name = "E_UNEXPECTED";
      break;
    case 0x80070005u:
      name = "E_ACCESSDENIED";
      break;
    case 0x8007000Eu:
      name = "E_OUTOFMEMORY";
      break;
    case 0x80070057u:
      name = "E_INVALIDARG";
      break;
    case 0x80040154u:
      name = "REGDB_E_CLASSNOTREG";
      break;
  }
  std::string text = qx::Format("0x%08x", static_cast<unsigned>(hr));
  if (name != nullptr) text += std::string(" (") + name + ")";
  return text;
}

}  // namespace qxstation
