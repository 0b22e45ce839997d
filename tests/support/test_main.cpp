// test_main.cpp - the main of the unit test programs: the station's layers are connected as the
// module's load connects them, then every test runs.
//
// A test program never reads this machine's own station: unless the environment names one, the
// process's station registry (QX_REGISTRY) lies in a temporary directory of the run, where no
// registry exists until a test makes one.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>

#include "module/station_wiring.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
  std::unique_ptr<qx::testing::TempDir> sandbox;
  if (::getenv("QX_REGISTRY") == nullptr) {
    sandbox = std::make_unique<qx::testing::TempDir>("qx_test_station");
    if (!sandbox->ok()) return 1;
    ::setenv("QX_REGISTRY", (sandbox->path() + "/registry.db").c_str(), 1);
  }
  qx::ConnectStationLayers();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
