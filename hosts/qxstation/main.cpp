// main.cpp - qxstation, the command line of a station: the network tree, requests to other
// stations, file copies with progress, the live trace and events, and the station's registry.
#include <signal.h>

#include "cli.h"

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  return qxstation::RunStation(argc, argv);
}
