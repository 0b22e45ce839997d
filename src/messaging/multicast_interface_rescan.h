// multicast_interface_rescan.h - network mode's list of interfaces the transport is joined on,
// and the look at the interfaces that keeps it current.
//
// The interfaces are those that SelectInterfaces picks with the settings' patterns
// (network_interfaces.h). Every interfaceRescanMs the receive thread lists them again: it opens
// a link (multicast_sockets.h) on one that is selected now and closes the link of one that is
// no longer (down, gone, its address changed), and tells the owner through the changed hook. An
// interface whose link could not be opened is reported once and tried again only after it was
// away from the selection. With no interface (none selected, or the settings' interfacesError
// set) the list is empty.
//
// Ownership and threads: the object owns the links; the list changes only in Start (the first
// Rescan) and on the receive thread, under the transport's send lock and then its own lock, so
// no send is using a link's sockets when they are closed. Senders take a Snapshot; a link that
// left the list is marked retired. The settings, the sockets, the send lock and the hook belong
// to the transport and outlive this object.
#pragma once

#include <asio.hpp>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "messaging/multicast_sockets.h"
#include "messaging/multicast_transport.h"
#include "platform/network_interfaces.h"

namespace qx {

class MulticastInterfaceRescan {
 public:
  using Changed = std::function<void(const MulticastInterfaceEvent& event)>;
  using Arm = std::function<void(const std::shared_ptr<MulticastLink>& link)>;

  MulticastInterfaceRescan(asio::io_context& io, const MulticastSettings& settings,
                           MulticastSockets& sockets, Mutex* sendMutex, const Changed& changed)
      : settings_(settings),
        sockets_(sockets),
        sendMutex_(sendMutex),
        changed_(changed),
        timer_(io) {}

  // Lists the interfaces, joins on the newly selected ones and leaves the others (running:
  // false for the first look, inside Start).
  void Rescan(bool running) EXCLUDES(linksMutex_);
  // Before the receive thread runs: arm takes a receive on every link now and on each new one,
  // and the interfaces are looked at again every interfaceRescanMs.
  void StartReceiving(Arm arm);

  std::vector<std::shared_ptr<MulticastLink>> Snapshot() const EXCLUDES(linksMutex_);
  std::vector<InterfaceInfo> Interfaces() const EXCLUDES(linksMutex_);

 private:
  void ArmRescan();
  void Report(const std::vector<MulticastInterfaceEvent>& events) const;

  const MulticastSettings& settings_;
  MulticastSockets& sockets_;
  Mutex* const sendMutex_;  // lock order: *sendMutex_, then linksMutex_
  const Changed& changed_;
  asio::steady_timer timer_;

  mutable Mutex linksMutex_;
  std::vector<std::shared_ptr<MulticastLink>> links_ GUARDED_BY(linksMutex_);
  std::vector<InterfaceInfo> failed_;  // receive thread: not tried again while selected
  std::string listError_;              // receive thread: the last failure to list interfaces
  Arm arm_;                            // receive thread: set once links get a receive at once
};

}  // namespace qx
