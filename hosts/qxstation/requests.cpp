// requests.cpp - building the texts that qxstation sends.
#include "requests.h"

#include <pugixml.hpp>

#include <sstream>

#include "common/text.h"

namespace qxstation {
namespace {

std::string Element(std::string_view tag, std::string_view text) {
  // Appended piece by piece: GCC 12 misreads the chain of operator+ on a literal as an
  // overlapping copy (-Wrestrict) at -O3.
  const std::string escaped = qx::XmlEscape(text);
  std::string out;
  out.reserve(2 * tag.size() + escaped.size() + 5);
  out.append("<").append(tag).append(">").append(escaped).append("</").append(tag).append(">");
  return out;
}

bool IsElementContent(std::string_view markup) {
  pugi::xml_document document;
  const std::string wrapped = "<PARAM>" + std::string(markup) + "</PARAM>";
  return document.load_buffer(wrapped.data(), wrapped.size(), pugi::parse_default,
                              pugi::encoding_utf8);
}

}  // namespace

std::optional<std::string> WithReceiver(std::string_view command, std::string_view receiver) {
  pugi::xml_document document;
  const unsigned options = pugi::parse_default | pugi::parse_comments;
  if (!document.load_buffer(command.data(), command.size(), options, pugi::encoding_utf8)) {
    return std::nullopt;
  }
  pugi::xml_node root = document.document_element();
  if (!root) return std::nullopt;
  for (pugi::xml_node child = root.first_child(); child;) {
    pugi::xml_node next = child.next_sibling();
    if (child.type() == pugi::node_element && qx::IEquals(child.name(), "Receiver")) {
      root.remove_child(child);
    }
    child = next;
  }
  const std::string name(receiver);
  root.prepend_child("Receiver").text().set(name.c_str());
  std::ostringstream out;
  root.print(out, "", pugi::format_raw, pugi::encoding_utf8);
  return out.str();
}

std::string ReceiverOf(std::string_view command) {
  pugi::xml_document document;
  if (!document.load_buffer(command.data(), command.size(), pugi::parse_default,
                            pugi::encoding_utf8)) {
    return std::string();
  }
  std::string receiver, host;
  for (pugi::xml_node child : document.document_element().children()) {
    if (child.type() != pugi::node_element) continue;
    if (receiver.empty() && qx::IEquals(child.name(), "Receiver")) receiver = child.child_value();
    if (host.empty() && qx::IEquals(child.name(), "HOST")) host = child.child_value();
  }
  return receiver.empty() ? host : receiver;
}

std::optional<std::string> RootTag(std::string_view request) {
  pugi::xml_document document;
  if (!document.load_buffer(request.data(), request.size(), pugi::parse_default,
                            pugi::encoding_utf8) ||
      !document.document_element()) {
    return std::nullopt;
  }
  return std::string(document.document_element().name());
}

std::string HostDetailsRequest(std::string_view station) {
  return "<GetHostDetails>" + Element("Receiver", station) + "</GetHostDetails>";
}

std::string ProjectDetailsRequest(std::string_view station, std::string_view dsn) {
  return "<GetProjectDetails>" + Element("Receiver", station) + Element("DSN", dsn) +
         "</GetProjectDetails>";
}

std::string RemoteCallRequest(std::string_view station, std::string_view library,
                              std::string_view function, std::optional<std::string_view> param) {
  std::string text = "<REMOTECALL>" + Element("Receiver", station) + Element("DLL", library) +
                     Element("FUNCTION", function);
  if (param) {
    text += IsElementContent(*param) ? "<PARAM>" + std::string(*param) + "</PARAM>"
                                     : Element("PARAM", *param);
  }
  return text + "</REMOTECALL>";
}

std::string CopyRequest(std::string_view host, std::string_view source,
                        std::string_view destination, std::optional<std::int64_t> buffer) {
  std::string text = "<RemoteCopyFile>" + Element("HOST", host) + Element("SOURCE", source) +
                     Element("DESTINATION", destination);
  if (buffer) text += Element("BUFFER", std::to_string(*buffer));
  return text + "</RemoteCopyFile>";
}

std::string WriteProjectCommand(const ProjectFields& project) {
  return "<WriteProjectToRegistry>" + Element("Name", project.name) +
         Element("Type", project.type) + Element("State", project.state) +
         Element("DSN", project.dsn) + Element("FullPath", project.fullPath) +
         Element("UNCPath", project.uncPath) + Element("Server", project.server) +
         Element("Host", project.host) + "</WriteProjectToRegistry>";
}

}  // namespace qxstation
