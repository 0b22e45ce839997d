// exports.cpp - the eleven exported functions of the C interface.
//
// Each export checks its arguments, converts its UTF-16 inputs to UTF-8 (a null input text is
// E_POINTER; one longer than 1 MiB of units or with a lone surrogate is E_INVALIDARG), calls
// the server object, the client or the project-manager link, and hands an answer text back as
// a BSTR that the caller frees. No exception leaves an export: running out of memory is
// E_OUTOFMEMORY, anything else E_FAIL (-10 for RemoteCopyFile). Any thread may call.
#include <memory>
#include <new>
#include <string>

#include "client/async_commands.h"
#include "client/remote_client.h"
#include "client/remote_file.h"
#include "common/answer.h"
#include "common/bstr.h"
#include "common/hresult.h"
#include "module/export_support.h"
#include "module/module_root.h"
#include "platform/file.h"
#include "qxremoteserver.h"
#include "server/answer_request.h"
#include "server/remote_server.h"

namespace {

// Runs body under a catch-all: the HRESULT of body, or the one that stands for its exception.
template <typename Body>
qx::HRESULT Guarded(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return qx::E_OUTOFMEMORY;
  } catch (...) {
    return qx::E_FAIL;
  }
}

qx::CSERVER* ServerOf(void* handle) { return static_cast<qx::CSERVER*>(handle); }

// A command of the remote client: text in, answer out.
template <typename Operation>
qx::HRESULT RunCommand(const OLECHAR* command, BSTR* answer, Operation operation) {
  return Guarded([&] {
    std::string text;
    const qx::HRESULT read = qx::ReadInputText(command, &text);
    if (qx::Failed(read)) return read;
    qx::AnswerText reply;
    const qx::HRESULT result = operation(text, answer != nullptr ? &reply : nullptr);
    return qx::WriteAnswer(result, reply, answer);
  });
}

}  // namespace

extern "C" {

HRESULT StartRemoteServer(const OLECHAR* serviceName, void** server) {
  if (server == nullptr) return qx::E_POINTER;
  *server = nullptr;
  return Guarded([&] {
    std::string name;
    const qx::HRESULT read = qx::ReadInputText(serviceName, &name);
    if (qx::Failed(read)) return read;
    auto object = std::make_unique<qx::CSERVER>(qx::ModuleStation());
    const qx::HRESULT result = object->startRemoteServer(name);
    if (qx::Failed(result)) return result;  // the object goes with its unique_ptr
    *server = object.release();
    return result;
  });
}

HRESULT StopRemoteServer(void* server) {
  if (server == nullptr) return qx::E_POINTER;
  return Guarded([&] {
    // Destroyed whatever stopping returns (or throws).
    std::unique_ptr<qx::CSERVER> object(ServerOf(server));
    const qx::HRESULT result = object->stopRemoteServer();
    // Nothing that the module started may run on once its host has stopped the server: the
    // asynchronous commands (some started by the server's own requests) end or are waited for.
    qx::StopAsyncCommands(qx::AfterStop::kAcceptNew);
    return result;
  });
}

HRESULT TalkByString(void* server, const OLECHAR* command, BSTR* answer) {
  if (server == nullptr) return qx::E_POINTER;
  return RunCommand(command, answer, [&](const std::string& text, qx::AnswerText* reply) {
    return ServerOf(server)->TalkByString(text, reply);
  });
}

HRESULT onReceiveMulticast(void* server, const OLECHAR* text) {
  if (server == nullptr) return qx::E_POINTER;
  return Guarded([&] {
    std::string message;
    const qx::HRESULT read = qx::ReadInputText(text, &message);
    if (qx::Failed(read)) return read;
    return ServerOf(server)->onReceiveMulticast(message);
  });
}

HRESULT RemoteCommand(const OLECHAR* command, BSTR* answer) {
  return RunCommand(command, answer, [](const std::string& text, qx::AnswerText* reply) {
    return qx::doRemoteCommand(qx::ModuleStation(), text, reply);
  });
}

HRESULT RemoteCallProc(const OLECHAR* command, BSTR* answer) {
  return RemoteCommand(command, answer);
}

HRESULT DiscoverCommand(const OLECHAR* command, BSTR* answer) {
  return RunCommand(command, answer, [](const std::string& text, qx::AnswerText* reply) {
    return qx::DiscoverCommand(qx::ModuleStation(), text, reply);
  });
}

int32_t RemoteCopyFile(const OLECHAR* command, QXProgressCallback progress) {
  try {
    std::string text;
    if (qx::Failed(qx::ReadInputText(command, &text))) return qx::kCopyFailed;
    return qx::RemoteCopyFile(qx::ModuleStation(), text, progress);
  } catch (...) {
    return qx::kCopyFailed;
  }
}

HRESULT GetXMLSubText(const OLECHAR* text, const OLECHAR* tag, BSTR* subText) {
  if (subText == nullptr) return qx::E_POINTER;
  return Guarded([&] {
    std::string message;
    std::string tagName;
    qx::HRESULT read = qx::ReadInputText(text, &message);
    if (qx::Succeeded(read)) read = qx::ReadInputText(tag, &tagName);
    if (qx::Failed(read)) return read;
    qx::AnswerText found{std::string()};
    const qx::HRESULT result = qx::SubTextOf(message, tagName, &*found);
    if (qx::Failed(result)) return result;
    return qx::WriteAnswer(result, found, subText);
  });
}

HRESULT GetStateOfNorvaneMachine(const OLECHAR* host, BSTR* answer) {
  return RunCommand(host, answer, [](const std::string& hostName, qx::AnswerText* reply) {
    std::string request;
    const qx::HRESULT built = qx::BuildMachineStateRequest(hostName, &request);
    if (qx::Failed(built)) return built;
    return qx::doRemoteCommand(qx::ModuleStation(), request, reply);
  });
}

HRESULT GetStateOfNorvaneProject(const OLECHAR* path, BSTR* answer) {
  return RunCommand(path, answer, [](const std::string& projectPath, qx::AnswerText* reply) {
    const qx::CFNameW name(projectPath, qx::ModuleStation().hostPlatform());
    const bool local = name.isLocalFName();
    std::string request;
    const qx::HRESULT built =
        qx::BuildProjectStateRequest(local ? "." : name.getHost(), projectPath, &request);
    if (qx::Failed(built)) return built;
    // A project of this station never touches the network.
    if (local) return qx::ForwardToProjectManager(request, reply);
    return qx::doRemoteCommand(qx::ModuleStation(), request, reply);
  });
}

// The BSTR allocator of the C interface.
BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length) {
  return qx::BstrAllocLen(text, length);
}
BSTR SysAllocString(const OLECHAR* text) { return qx::BstrAlloc(text); }
uint32_t SysStringLen(BSTR text) { return qx::BstrLen(text); }
void SysFreeString(BSTR text) { qx::BstrFree(text); }

}  // extern "C"
