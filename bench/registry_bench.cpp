// registry_bench.cpp - the registry project list on a list of 1000 projects.
//
// BM_ReadListFromRegistry1000: one PROJECT element per entry, as the announcements read it.
// BM_WriteToRegistryInto1000: one "WriteProjectToRegistry" into that list; the project replaces
// its own stale entry, which sorts last, so every write scans the whole list.
// The registry is a temporary database (QX_REGISTRY while the benchmark runs) that the benchmark
// removes at the end.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "common/text.h"
#include "module/station_wiring.h"
#include "registry/reg_key.h"
#include "registry/registry_projects.h"
#include "registry/store/registry_store.h"
#include "xml/xml_element.h"

namespace {

constexpr int kProjects = 1000;

class TempRegistry {
 public:
  TempRegistry() {
    char pattern[] = "/tmp/qx_registry_bench.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) std::abort();
    dir_ = pattern;
    if (const char* saved = std::getenv("QX_REGISTRY")) saved_ = saved;
    ::setenv("QX_REGISTRY", (dir_ + "/registry.db").c_str(), 1);
    if (qx::CreateStationRegistry() != qx::RegStatus::kOk) std::abort();
    qx::CREGKEY::CreateKey(qx::kProjectListKey);
    qx::CREGKEY list(qx::kProjectListKey);
    for (int i = 0; i < kProjects; ++i) {
      const std::string dsn = qx::Format("Project%04d", i);
      list.CreateSubkey(dsn);
      qx::CREGKEY entry(&list, dsn);
      entry.SetString("Name", dsn);
      entry.SetString("Type", i % 2 == 0 ? "Multi User" : "Single User");
      entry.SetString("State", "Run Time");
      entry.SetString("DSN", dsn);
      entry.SetString("FullPath", "/srv/projects/" + dsn + "/plant.mcp");
      entry.SetString("UNCPath", "\\\\STATION\\projects\\" + dsn + "\\plant.mcp");
      entry.SetString("Server", "STATION");
      entry.SetString("Host", "STATION");
    }
  }
  ~TempRegistry() {
    if (saved_) {
      ::setenv("QX_REGISTRY", saved_->c_str(), 1);
    } else {
      ::unsetenv("QX_REGISTRY");
    }
    std::error_code error;
    std::filesystem::remove_all(dir_, error);
  }

 private:
  std::string dir_;
  std::optional<std::string> saved_;  // QX_REGISTRY before
};

void BM_ReadListFromRegistry1000(benchmark::State& state) {
  TempRegistry registry;
  for (auto _ : state) {
    qx::CXmlElement list;
    list.CreateRoot("PROJECTLIST");
    benchmark::DoNotOptimize(qx::ReadListFromRegistry(&list, qx::kModeAllProjects));
    if (list.GetChildCount() != kProjects) state.SkipWithError("list incomplete");
  }
}
BENCHMARK(BM_ReadListFromRegistry1000)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_WriteToRegistryInto1000(benchmark::State& state) {
  TempRegistry registry;
  qx::CXmlElement command;
  command.LoadXml(
      "<WriteProjectToRegistry><Name>Bench</Name><Type>Multi User</Type><State>Run Time</State>"
      "<DSN>ZZBench</DSN><FullPath>/srv/projects/bench/plant.mcp</FullPath>"
      "<UNCPath>\\\\STATION\\projects\\bench\\plant.mcp</UNCPath><Server>STATION</Server>"
      "<Host>STATION</Host></WriteProjectToRegistry>");
  qx::WriteToRegistry(command);
  for (auto _ : state) {
    if (qx::WriteToRegistry(command) != qx::S_OK) state.SkipWithError("write failed");
  }
  if (qx::CREGKEY(qx::kProjectListKey).GetSubkeyCount() != kProjects + 1) {
    state.SkipWithError("the stale entry was not replaced");
  }
}
BENCHMARK(BM_WriteToRegistryInto1000)->Unit(benchmark::kMillisecond)->Iterations(50);

}  // namespace

int main(int argc, char** argv) {
  qx::ConnectStationLayers();  // as the module's load does
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
