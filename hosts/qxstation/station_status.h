// station_status.h - "qxstation status": is this station running, and how is it set up.
//
// Whether the agent and the project manager run (their sockets in the runtime directory take
// connections), the agent's process (pid from SO_PEERCRED of its socket; executable, version,
// uptime and resident memory from /proc), the RPC services with their addresses and ports,
// local or network mode, the multicast group, the cluster key in use, the datagrams the agent
// dropped (asked over the multicast component's socket), the counts of the network tree when
// the agent runs, and one "Warning:" line with the fix for each setting that cannot work (TTL 0
// in network mode, Interfaces that select nothing, a ListenAddress of another machine, no key
// in use or a made key beyond loopback, a damaged registry). No XML form. Exit code 0 when the
// agent runs, 3 when it does not (as systemctl status does for a stopped unit). Main thread.
//
//   return RunStatus(/*json=*/false, stdout, stderr);
#pragma once

#include <cstdio>

namespace qxstation {

int RunStatus(bool json, std::FILE* out, std::FILE* err);

}  // namespace qxstation
