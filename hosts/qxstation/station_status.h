// station_status.h - "qxstation status": is this station running, and how is it set up.
//
// Whether the agent and the project manager run (their sockets in the runtime directory take
// connections), the RPC services with their addresses and ports, local or network mode, the
// multicast group, and the counts of the network tree when the agent runs. Exit code 0 when the
// agent runs, 3 when it does not (as systemctl status does for a stopped unit). Main thread.
//
//   return RunStatus(/*json=*/false, stdout, stderr);
#pragma once

#include <cstdio>

namespace qxstation {

int RunStatus(bool json, std::FILE* out, std::FILE* err);

}  // namespace qxstation
