// announcements.h - the station announcements that the discovery benchmarks feed in.
//
// AnnouncementText(event, host, projects): a QXDISCOVER message as a station writes it, from
// the host "STATION-<host>" in one of ten domains, with that many multi-user projects.
#pragma once

#include <string>

namespace qxbench {

inline std::string AnnouncementText(const std::string& event, int host, int projects) {
  const std::string name = "STATION-" + std::to_string(host);
  std::string text = "<QXDISCOVER><EVENT>" + event + "</EVENT><Receiver>*</Receiver><Host>" + name +
                     "</Host><Domain>PLANT" + std::to_string(host % 10) +
                     "</Domain><User>operator</User><IP>127.0.3." + std::to_string(host % 250) +
                     "</IP><IP_Mask>255.0.0.0</IP_Mask><NorvaneVersion>7.20</NorvaneVersion>"
                     "<NorvaneBuild>1437</NorvaneBuild><NorvanePath>/opt/norvane/bin</NorvanePath>"
                     "<PROJECTLIST>";
  for (int p = 0; p < projects; ++p) {
    const std::string n = std::to_string(p);
    text += "<PROJECT><Name>Line" + n + "</Name><TYPE>Multi User</TYPE><STATE>" +
            (p % 2 == 0 ? "Run Time" : "Configuration") + "</STATE><DSN>" + name + "_Line" + n +
            "</DSN><FullPath>/srv/projects/line" + n + "/line" + n + ".mcp</FullPath><UncPath>//" +
            name + "/projects/line" + n + "/line" + n + ".mcp</UncPath><SERVER>" + name +
            "</SERVER><HOST>" + name + "</HOST></PROJECT>";
  }
  return text + "</PROJECTLIST></QXDISCOVER>";
}

}  // namespace qxbench
