// multicast_interface_rescan.cpp - keeping network mode's links in step with the interfaces
// (see multicast_interface_rescan.h).
#include "messaging/multicast_interface_rescan.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>

namespace qx {
namespace {

bool SameLink(const InterfaceInfo& a, const InterfaceInfo& b) {
  return a.index == b.index && a.address == b.address && a.mask == b.mask && a.name == b.name;
}

}  // namespace

void MulticastInterfaceRescan::Rescan(bool running) {
  std::vector<MulticastInterfaceEvent> events;
  auto event = [&](MulticastInterfaceEvent::Kind kind, const InterfaceInfo& one,
                   std::string error) {
    events.push_back(MulticastInterfaceEvent{kind, one, std::move(error), running});
  };
  std::vector<InterfaceInfo> wanted;
  if (settings_.interfacesError.empty()) {
    std::string error;
    const std::optional<std::vector<InterfaceInfo>> all = EnumerateInterfaces(&error);
    if (!all) {
      // Keeps what it has until the list can be taken again; says so once.
      if (error != listError_) event(MulticastInterfaceEvent::Kind::kFailed, {}, error);
      listError_ = error;
      Report(events);
      return;
    }
    listError_.clear();
    wanted = SelectInterfaces(*all, settings_.interfaces);
  }
  const std::vector<std::shared_ptr<MulticastLink>> current = Snapshot();
  auto selected = [&wanted](const InterfaceInfo& one) {
    return std::any_of(wanted.begin(), wanted.end(),
                       [&one](const InterfaceInfo& w) { return SameLink(w, one); });
  };
  std::erase_if(failed_, [&](const InterfaceInfo& one) { return !selected(one); });
  std::vector<std::shared_ptr<MulticastLink>> gone;
  for (const std::shared_ptr<MulticastLink>& link : current) {
    if (!selected(link->info)) gone.push_back(link);
  }
  std::vector<std::shared_ptr<MulticastLink>> added;
  for (const InterfaceInfo& one : wanted) {
    const bool have = std::any_of(current.begin(), current.end(),
                                  [&one](const auto& link) { return SameLink(link->info, one); });
    const bool failedBefore = std::any_of(failed_.begin(), failed_.end(),
                                          [&one](const auto& f) { return SameLink(f, one); });
    if (have || failedBefore) continue;
    std::string error;
    std::shared_ptr<MulticastLink> link = sockets_.OpenLink(one, &error);
    if (!link) {
      failed_.push_back(one);
      event(MulticastInterfaceEvent::Kind::kFailed, one, error);
      continue;
    }
    added.push_back(std::move(link));
  }
  if (!gone.empty() || !added.empty()) {
    MutexLock sending(sendMutex_);
    MutexLock lock(&linksMutex_);
    std::erase_if(links_, [&gone](const std::shared_ptr<MulticastLink>& link) {
      return std::find(gone.begin(), gone.end(), link) != gone.end();
    });
    for (const std::shared_ptr<MulticastLink>& link : gone) link->retired = true;
    for (const std::shared_ptr<MulticastLink>& link : added) links_.push_back(link);
  }
  for (const std::shared_ptr<MulticastLink>& link : gone) {
    sockets_.CloseLink(*link);
    event(MulticastInterfaceEvent::Kind::kLeft, link->info, {});
  }
  for (const std::shared_ptr<MulticastLink>& link : added) {
    if (arm_) arm_(link);
    event(MulticastInterfaceEvent::Kind::kJoined, link->info, {});
  }
  Report(events);
}

void MulticastInterfaceRescan::StartReceiving(Arm arm) {
  for (const std::shared_ptr<MulticastLink>& link : Snapshot()) arm(link);
  arm_ = std::move(arm);
  ArmRescan();
}

std::vector<std::shared_ptr<MulticastLink>> MulticastInterfaceRescan::Snapshot() const {
  MutexLock lock(&linksMutex_);
  return links_;
}

std::vector<InterfaceInfo> MulticastInterfaceRescan::Interfaces() const {
  std::vector<InterfaceInfo> infos;
  MutexLock lock(&linksMutex_);
  for (const std::shared_ptr<MulticastLink>& link : links_) infos.push_back(link->info);
  return infos;
}

void MulticastInterfaceRescan::Report(const std::vector<MulticastInterfaceEvent>& events) const {
  if (!changed_) return;
  for (const MulticastInterfaceEvent& one : events) {
    try {
      changed_(one);
    } catch (...) {
      // The owner's failure is its own.
    }
  }
}

void MulticastInterfaceRescan::ArmRescan() {
  timer_.expires_after(std::chrono::milliseconds(settings_.interfaceRescanMs));
  timer_.async_wait([this](const asio::error_code& ec) {
    if (ec == asio::error::operation_aborted) return;
    try {
      Rescan(true);
    } catch (...) {
      // A failing allocation: the next look tries again.
    }
    ArmRescan();
  });
}

}  // namespace qx
