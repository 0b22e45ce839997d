// main.cpp - qxstation, the command line for people: remote requests, host and project
// details, file copies with progress, the live trace and the station's registry.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "station_commands.h"

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  return qxstation::RunStation(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
}
