// test_main.cpp - the main of the unit test programs: the station's layers are connected as the
// module's load connects them, then every test runs.
#include <gtest/gtest.h>

#include "module/station_wiring.h"

int main(int argc, char** argv) {
  qx::ConnectStationLayers();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
