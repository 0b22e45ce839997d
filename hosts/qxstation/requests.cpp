// requests.cpp - building the texts that qxstation sends.
#include "requests.h"

#include "common/text.h"
#include "xml/xml_element.h"

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
  qx::CXmlElement document;
  return document.LoadXml("<PARAM>" + std::string(markup) + "</PARAM>");
}

}  // namespace

std::optional<std::string> WithReceiver(std::string_view command, std::string_view receiver) {
  qx::CXmlElement root;
  if (!root.LoadXml(command)) return std::nullopt;
  while (root.RemoveChildByTag("Receiver")) {
  }
  // The receiver's text ends at a NUL, as a C string of it would.
  std::string out;
  if (!root.PrependTextChild("Receiver", receiver.substr(0, receiver.find('\0'))) ||
      !root.GetXml(&out)) {
    return std::nullopt;
  }
  return out;
}

std::string ReceiverOf(std::string_view command) {
  qx::CXmlElement root;
  if (!root.LoadXml(command)) return std::string();
  // The first non-empty text of each: an empty Receiver gives way to a later one.
  std::string receiver, host;
  qx::CXmlElement::ChildList children;
  qx::CXmlElement child;
  root.GetChildList(&children);
  while (root.NextChild(&children, {}, &child)) {
    const std::string name = child.GetName();
    if (receiver.empty() && qx::IEquals(name, "Receiver")) receiver = child.GetText();
    if (host.empty() && qx::IEquals(name, "HOST")) host = child.GetText();
  }
  return receiver.empty() ? host : receiver;
}

std::optional<std::string> RootTag(std::string_view request) {
  qx::CXmlElement root;
  if (!root.LoadXml(request)) return std::nullopt;
  std::string name = root.GetName();
  if (name.empty()) {
    // A name too long for a message reads as empty; the one written still shows the command
    // given: it runs from after '<' to the first ' ', '/' or '>'.
    std::string xml;
    root.GetXml(&xml);
    if (xml.size() > 1) name = xml.substr(1, xml.find_first_of(" />", 1) - 1);
  }
  return name;
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
