// requests.h - the request and command texts that qxstation sends.
//
// Every text given on the command line is escaped where it becomes an element's text; a whole
// command given as XML is parsed and rewritten only to set its receiver. Pure; any thread.
//
//   std::string text = HostDetailsRequest("STATIONB");
//   // "<GetHostDetails><Receiver>STATIONB</Receiver></GetHostDetails>"
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qxstation {

// The command with its "Receiver" child (any letter case) replaced by one holding receiver, as
// the first child. Nullopt when the command is not one XML element.
std::optional<std::string> WithReceiver(std::string_view command, std::string_view receiver);

// The station a request goes to: its "Receiver" child, else its "HOST" child (any letter case);
// empty when it has neither or is not XML.
std::string ReceiverOf(std::string_view command);
// The root element's name of a request, or nullopt when the text is not one XML element.
std::optional<std::string> RootTag(std::string_view request);

std::string HostDetailsRequest(std::string_view station);
std::string ProjectDetailsRequest(std::string_view station, std::string_view dsn);
// The parameter goes in as markup when it is well-formed element content (nested elements
// travel as they are), else as escaped text; no parameter, no "PARAM" child.
std::string RemoteCallRequest(std::string_view station, std::string_view library,
                              std::string_view function, std::optional<std::string_view> param);
std::string CopyRequest(std::string_view host, std::string_view source,
                        std::string_view destination, std::optional<std::int64_t> buffer);

struct ProjectFields {
  std::string name, type, state, dsn, fullPath, uncPath, server, host;
};
std::string WriteProjectCommand(const ProjectFields& project);

}  // namespace qxstation
