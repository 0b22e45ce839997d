// netns_bridge.h - NetnsBridge, a switch of network namespaces: stations on one bridge, with the
// faults a plant's network makes. Used by the liveness benchmark and by tests of whole stations.
//
// One hub namespace holds a bridge (multicast snooping off, so every port sees the group); each
// station gets a namespace of its own with one veth "v0" whose peer "p<index>" is a port of the
// bridge. Faults are made where a plant's switch would make them: packet loss on every path and
// a silent drop of one port by an nftables table of the hub (bridge family, forward hook, so each
// copy of a flooded frame is dropped on its own), a port taken down and up, or the station's own
// interface taken down and up. The bytes a station sends are read from its port's counters.
//
// The object owns every namespace it made and removes them (with their links and the nftables
// table) when it goes; names carry the tag given (the caller's pid), so two runs never meet.
// Every command is run by pid with a bounded wait. Used by one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qx::testing {

class NetnsBridge {
 public:
  // tag: a prefix of the namespace names, short (at most 12 characters); workDir: a directory
  // of the caller's for the nftables rule file.
  NetnsBridge(std::string tag, std::string workDir);
  ~NetnsBridge();
  NetnsBridge(const NetnsBridge&) = delete;
  NetnsBridge& operator=(const NetnsBridge&) = delete;

  // Removes the namespaces that an earlier run left behind when it was killed: names of
  // prefix followed by the pid of a process that no longer exists.
  static void RemoveStale(const std::string& prefix);
  // Root, ip and nft available, and the hub with its bridge and rule table made.
  bool Open(std::string* why);
  // A namespace for station index with address/prefix on its v0, linked to the bridge; its
  // name in *netns.
  bool AddStation(int index, const std::string& addressWithPrefix, std::string* netns);

  // Drops percent (0-100) of the frames on every path; 0 ends the loss.
  bool SetLoss(int percent);
  // Drops every frame from and to the station's port, without a word (the link stays up).
  bool SetSilenced(int index, bool silenced);
  bool SetPortUp(int index, bool up);         // the bridge's side: a switch port
  bool SetStationLinkUp(int index, bool up);  // the station's own interface
  // The bytes the bridge received from the station so far (what it sent).
  std::optional<std::uint64_t> BytesFromStation(int index) const;

 private:
  bool ApplyRules();
  std::string PortName(int index) const { return "p" + std::to_string(index); }

  std::string tag_;
  std::string workDir_;
  std::string hub_;                    // empty until made
  std::vector<std::string> stations_;  // namespaces made, by index order of AddStation
  std::vector<int> indexes_;
  int lossPercent_ = 0;
  std::set<int> silenced_;
};

// The path of a program in /usr/sbin, /usr/bin, /sbin or /bin; empty when none is executable.
std::string FindSystemProgram(const std::string& name);

}  // namespace qx::testing
