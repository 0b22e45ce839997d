// xml_bench.cpp - cost of CXmlElement against the same work done directly in pugixml.
//
// Both benchmarks parse a JOIN announcement with ten project records, read three fields by
// tag, read two fields of every PROJECT record and serialise the message again. Tags are
// looked up ignoring case in both (the announcement writes "Host", the reader asks for "HOST").
// bench/run compares BM_XmlWrapper with BM_XmlPugixml.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "common/text.h"
#include "xml/xml_element.h"

namespace {

std::string JoinAnnouncement() {
  std::string text =
      "<QXDISCOVER><EVENT>JOIN</EVENT><Receiver>*</Receiver><Host>STATION-07</Host>"
      "<Domain>PLANT.EXAMPLE</Domain><User>operator</User><IP>127.0.0.7</IP>"
      "<IP_Mask>255.0.0.0</IP_Mask><NorvaneVersion>7.20</NorvaneVersion>"
      "<NorvaneBuild>1437</NorvaneBuild><NorvanePath>/opt/norvane/bin</NorvanePath><PROJECTLIST>";
  for (int i = 0; i < 10; ++i) {
    const std::string n = std::to_string(i);
    text += "<PROJECT><Name>Line" + n + "</Name><TYPE>2</TYPE><STATE>" + std::to_string(i % 3) +
            "</STATE><DSN>PlantLine" + n + "</DSN><FullPath>/srv/projects/line" + n + "/line" + n +
            ".mcp</FullPath><UncPath>//STATION-07/projects/line" + n + "/line" + n +
            ".mcp</UncPath><SERVER>STATION-07</SERVER><HOST>STATION-07</HOST>"
            "</PROJECT>";
  }
  return text + "</PROJECTLIST></QXDISCOVER>";
}

const std::string& Announcement() {
  static const std::string text = JoinAnnouncement();
  return text;
}

void BM_XmlWrapper(benchmark::State& state) {
  const std::string& text = Announcement();
  for (auto _ : state) {
    qx::CXmlElement message;
    if (!message.LoadXml(text)) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(message.GetSubText("EVENT"));
    benchmark::DoNotOptimize(message.GetSubText("HOST"));
    benchmark::DoNotOptimize(message.GetSubText("IP"));
    qx::CXmlElement list;
    message.FindChild("PROJECTLIST", &list);
    qx::CXmlElement::ChildList children;
    list.GetChildList(&children);
    qx::CXmlElement project;
    while (list.NextChild(&children, "PROJECT", &project)) {
      benchmark::DoNotOptimize(project.GetSubText("DSN"));
      benchmark::DoNotOptimize(project.GetSubText("FULLPATH"));
    }
    std::string xml;
    message.GetXml(&xml);
    benchmark::DoNotOptimize(xml);
  }
}
BENCHMARK(BM_XmlWrapper);

pugi::xml_node FindIgnoringCase(pugi::xml_node parent, std::string_view tag) {
  for (pugi::xml_node child : parent.children()) {
    if (child.type() == pugi::node_element && qx::IEquals(child.name(), tag)) return child;
  }
  return {};
}

struct StringWriter : pugi::xml_writer {
  std::string* out;
  explicit StringWriter(std::string* o) : out(o) {}
  void write(const void* data, std::size_t size) override {
    out->append(static_cast<const char*>(data), size);
  }
};

void BM_XmlPugixml(benchmark::State& state) {
  const std::string& text = Announcement();
  constexpr unsigned kFlags = pugi::parse_default | pugi::parse_comments | pugi::parse_cdata;
  for (auto _ : state) {
    pugi::xml_document document;
    if (!document.load_buffer(text.data(), text.size(), kFlags, pugi::encoding_utf8)) {
      state.SkipWithError("parse failed");
    }
    const pugi::xml_node message = document.document_element();
    benchmark::DoNotOptimize(std::string(FindIgnoringCase(message, "EVENT").child_value()));
    benchmark::DoNotOptimize(std::string(FindIgnoringCase(message, "HOST").child_value()));
    benchmark::DoNotOptimize(std::string(FindIgnoringCase(message, "IP").child_value()));
    for (pugi::xml_node project : FindIgnoringCase(message, "PROJECTLIST").children()) {
      if (project.type() != pugi::node_element || !qx::IEquals(project.name(), "PROJECT")) {
        continue;
      }
      benchmark::DoNotOptimize(std::string(FindIgnoringCase(project, "DSN").child_value()));
      benchmark::DoNotOptimize(std::string(FindIgnoringCase(project, "FULLPATH").child_value()));
    }
    std::string xml;
    StringWriter writer(&xml);
    message.print(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    benchmark::DoNotOptimize(xml);
  }
}
BENCHMARK(BM_XmlPugixml);

}  // namespace

BENCHMARK_MAIN();
