// fuzz_receive_multicast.cpp - libFuzzer target for CSERVER::onReceiveMulticast, the discovery
// messages that reach a discovery-role server from the group, on a private station
// (fuzz_station.h).
//
// The input is up to 16 messages separated by NUL bytes, received in order by one tree that
// starts empty; a tree query follows each message.
//
// Checks, beyond the sanitizers: a text that is not a message fails; a message of no known root
// tag leaves the tree as it was; the project list (put together from the projects' texts) and the
// tree's content stay messages that parse; the library directories and file roots stay as
// they were.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_station.h"

namespace qx {
namespace {

using fuzz::Check;

constexpr const char* kKnownRoots[] = {
    "QXDISCOVER", "PM_MULTICAST", "PM_OLD_MAIL_SLOT", "STATIONLIST",
    "NETQX",      "REMOTECALL",   "TestMulticast",    "ReplyTestMulticast"};

bool IsKnownRoot(const std::string& tag) {
  for (const char* known : kKnownRoots) {
    if (qx::IEquals(tag, known)) return true;
  }
  return false;
}

qx::AnswerText TreeContent() {
  qx::CXmlElement request;
  Check(request.LoadXml("<GetTreeContent/>"));
  qx::AnswerText content;
  (void)qx::fuzz::FuzzStation().core->tree().GetTreeContent(request, &content);
  return content;
}

void Receive(qx::CSERVER& server, std::string_view text) {
  qx::CXmlElement parsed;
  const bool isMessage = parsed.LoadXml(text);
  const bool known = isMessage && IsKnownRoot(parsed.GetName());
  const qx::AnswerText before = known ? qx::AnswerText() : TreeContent();
  const HRESULT result = server.onReceiveMulticast(text);
  if (!isMessage) Check(Failed(result));
  if (!known) Check(TreeContent() == before);

  qx::CXmlElement query;
  Check(
      query.LoadXml("<GetProjectList><DomainFilter>*</DomainFilter><HostFilter>*</HostFilter>"
                    "<ProjectFilter>*</ProjectFilter></GetProjectList>"));
  qx::AnswerText list;
  if (Succeeded(qx::fuzz::FuzzStation().core->tree().GetProjectList(query, &list)) && list) {
    qx::CXmlElement parsedList;
    Check(parsedList.LoadXml(*list));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qx::fuzz::FuzzStation();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qx::fuzz::Station& station = qx::fuzz::FuzzStation();
  station.Reset();
  for (std::string_view message : qx::fuzz::SplitMessages(data, size, 16)) {
    Receive(*station.server, message);
  }
  fuzz::CheckTreeContent();
  station.CheckSecurityUnchanged();
  return 0;
}

}  // namespace qx
