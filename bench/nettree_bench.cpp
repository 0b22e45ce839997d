// nettree_bench.cpp - cost of the network tree: ingesting JOIN announcements and answering the
// project list and tree queries over 1000 hosts of 20 projects each.
//
// BM_NetTreeJoinIngest parses and enters 1000 JOINs from distinct hosts per iteration (items
// per second are announcements). BM_NetTreeProjectListAll asks for every project with every
// filter "*" (goal under 20 ms), BM_NetTreeProjectListOneHost for one host's projects (goal
// under 2 ms), BM_NetTreeTreeContent writes the whole tree document.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "announcements.h"
#include "nettree/net_tree.h"
#include "xml/xml_element.h"

namespace {

constexpr int kHosts = 1000;
constexpr int kProjectsPerHost = 20;

std::string HostName(int host) { return "STATION-" + std::to_string(host); }

std::string JoinAnnouncement(int host) {
  return qxbench::AnnouncementText("JOIN", host, kProjectsPerHost);
}

const std::vector<std::string>& Announcements() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> all;
    for (int host = 0; host < kHosts; ++host) all.push_back(JoinAnnouncement(host));
    return all;
  }();
  return texts;
}

bool Ingest(qx::NetTree* tree, const std::string& text) {
  qx::CXmlElement message;
  return message.LoadXml(text) &&
         tree->AddHost(message.GetSubText("HOST"), message.GetSubText("DOMAIN"), &message);
}

qx::NetTree& FullTree() {
  static qx::NetTree tree;
  static const bool filled = [] {
    tree.Init();
    for (const std::string& text : Announcements()) Ingest(&tree, text);
    return true;
  }();
  static_cast<void>(filled);
  return tree;
}

qx::CXmlElement Request(const std::string& text) {
  qx::CXmlElement request;
  request.LoadXml(text);
  return request;
}

void BM_NetTreeJoinIngest(benchmark::State& state) {
  const std::vector<std::string>& texts = Announcements();
  qx::NetTree tree;
  for (auto _ : state) {
    state.PauseTiming();
    tree.Clear();
    tree.Init();
    state.ResumeTiming();
    for (const std::string& text : texts) {
      if (!Ingest(&tree, text)) state.SkipWithError("AddHost failed");
    }
  }
  if (tree.ProjectCount() != static_cast<std::size_t>(kHosts * kProjectsPerHost)) {
    state.SkipWithError("projects lost");
  }
  state.SetItemsProcessed(state.iterations() * kHosts);
}
BENCHMARK(BM_NetTreeJoinIngest)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void RunQuery(benchmark::State& state, const std::string& text, std::size_t minimumBytes) {
  qx::NetTree& tree = FullTree();
  const qx::CXmlElement request = Request(text);
  std::size_t bytes = 0;
  for (auto _ : state) {
    qx::AnswerText answer;
    tree.GetProjectList(request, &answer);
    bytes = answer ? answer->size() : 0;
    benchmark::DoNotOptimize(answer);
  }
  if (bytes < minimumBytes) state.SkipWithError("answer too short");
  state.counters["answer_bytes"] = static_cast<double>(bytes);
}

void BM_NetTreeProjectListAll(benchmark::State& state) {
  RunQuery(state,
           "<GetProjectList><DomainFilter>*</DomainFilter><HostFilter>*</HostFilter>"
           "<ProjectFilter>*</ProjectFilter></GetProjectList>",
           kHosts * kProjectsPerHost * 200);
}
BENCHMARK(BM_NetTreeProjectListAll)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_NetTreeProjectListOneHost(benchmark::State& state) {
  RunQuery(state,
           "<GetProjectList><DomainFilter>*</DomainFilter><HostFilter>station-517</HostFilter>"
           "<ProjectFilter>*</ProjectFilter></GetProjectList>",
           kProjectsPerHost * 200);
}
BENCHMARK(BM_NetTreeProjectListOneHost)->Unit(benchmark::kMicrosecond)->MinTime(0.5);

void BM_NetTreeTreeContent(benchmark::State& state) {
  qx::NetTree& tree = FullTree();
  const qx::CXmlElement request = Request("<GetTreeContent></GetTreeContent>");
  for (auto _ : state) {
    qx::AnswerText answer;
    if (qx::Failed(tree.GetTreeContent(request, &answer))) state.SkipWithError("failed");
    benchmark::DoNotOptimize(answer);
  }
}
BENCHMARK(BM_NetTreeTreeContent)->Unit(benchmark::kMicrosecond)->MinTime(0.5);

}  // namespace

BENCHMARK_MAIN();
