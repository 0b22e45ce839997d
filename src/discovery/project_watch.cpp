// project_watch.cpp - WatchTick, the broadcasts of the watch and WatchTimer's thread.
#include "discovery/project_watch.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "client/discover_client.h"
#include "messaging/project_manager_link.h"
#include "registry/project_state.h"
#include "registry/registry_projects.h"
#include "trace/trace.h"
#include "xml/xml_element.h"

namespace qx {

std::atomic<bool> cleanRegistryEnabled{true};

namespace {

const CTraceSource kSource("RemoteServer");

std::atomic<int> tickCount{0};

// Builds a flat message of text children under root, each text escaped.
std::string FlatMessage(const char* root,
                        std::initializer_list<std::pair<const char*, std::string_view>> fields) {
  CXmlElement message;
  if (!message.CreateRoot(root)) return {};
  for (const auto& [tag, text] : fields) {
    if (!message.AddTextChild(tag, text)) return {};
  }
  std::string out;
  if (!message.GetXml(&out)) return {};
  return out;
}

}  // namespace

void ProjectRemovalSender::SendRemoveFromProjectList(std::string_view dsn) {
  qx::SendRemoveFromProjectList(station_, dsn);
}

HRESULT SendMsgClearState(const Station& station, std::string_view dsn) {
  // The fields in the order the receivers expect: EVENT, HOST, STATE (empty), DSN.
  const std::string text =
      FlatMessage("PM_MULTICAST", {{"EVENT", "New State of Server"},
                                   {"HOST", station.localHost().computerName()},
                                   {"STATE", ""},
                                   {"DSN", dsn}});
  if (text.empty()) return E_FAIL;
  const HRESULT result = SendMulticast(station, text);
  TraceWarning(kSource, "SendMsgClearState()");
  return result;
}

HRESULT SendRemoveFromProjectList(const Station& station, std::string_view dsn) {
  const LocalHostInfo& host = station.localHost();
  const std::string text = FlatMessage("QXDISCOVER", {{"EVENT", "RemoveFromProjectList"},
                                                      {"HOST", host.computerName()},
                                                      {"DOMAIN", host.domainName()},
                                                      {"DSN", dsn}});
  if (text.empty()) return E_FAIL;
  return SendMulticast(station, text);
}

void WatchTick(const Station& station, const std::function<void()>& joinGroup) {
  try {
    if (tickCount.load() < 1 && joinGroup) joinGroup();
    if (!ProjectManagerSocketAccepts()) {
      const std::string dsn = GetCurrentProjectDsn();
      if (!dsn.empty()) SendMsgClearState(station, dsn);
      SetCurrentProjectState("", "");
    }
    if (cleanRegistryEnabled.load()) CheckProjectPaths(station.registry());
  } catch (...) {
    TraceError(kSource, "WatchTimerProc: tick failed");
  }
  tickCount.fetch_add(1);
}

int WatchTickCount() { return tickCount.load(); }

bool WatchTimer::Start(std::uint32_t periodMs, Tick tick) {
  if (periodMs == 0 || thread_.joinable()) return false;
  {
    MutexLock lock(&mutex_);
    stopping_ = false;
  }
  tick_ = std::move(tick);
  try {
    thread_ = std::thread([this, periodMs] { Run(periodMs); });
  } catch (const std::system_error&) {
    TraceError(kSource, "WatchTimer: the timer thread could not be started");
    return false;
  }
  period_ = periodMs;
  return true;
}

void WatchTimer::Stop() {
  if (!thread_.joinable()) return;
  {
    MutexLock lock(&mutex_);
    stopping_ = true;
    wake_.SignalAll();
  }
  thread_.join();
  period_ = 0;
}

void WatchTimer::Run(std::uint32_t periodMs) {
  const auto period = std::chrono::milliseconds(periodMs);
  auto next = std::chrono::steady_clock::now() + period;
  for (;;) {
    {
      MutexLock lock(&mutex_);
      while (!stopping_ && std::chrono::steady_clock::now() < next) wake_.WaitUntil(next);
      if (stopping_) return;
    }
    tick_();
    // A tick that overran its period is not made up for: the next one comes a period later.
    next += period;
    const auto now = std::chrono::steady_clock::now();
    if (next < now) next = now + period;
  }
}

}  // namespace qx
