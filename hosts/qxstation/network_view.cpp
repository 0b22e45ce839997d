// network_view.cpp - reading and showing the station's network tree.
#include "network_view.h"

#include "liveness_view.h"

#include <pugixml.hpp>

#include <map>

#include "common/text.h"
#include "output.h"

namespace qxstation {
namespace {

std::optional<pugi::xml_document> Parse(std::string_view xml) {
  pugi::xml_document document;
  if (!document.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8) ||
      !document.document_element()) {
    return std::nullopt;
  }
  return document;
}

std::string Element(std::string_view tag, std::string_view text) {
  std::string out = "<";
  out.append(tag).append(">").append(qx::XmlEscape(text)).append("</").append(tag).append(">");
  return out;
}

ProjectEntry ProjectFrom(pugi::xml_node node) {
  ProjectEntry project;
  project.dsn = Sub(node, "DSN");
  project.name = Sub(node, "Name");
  project.type = Sub(node, "TYPE");
  project.state = Sub(node, "STATE");
  project.host = Sub(node, "HOST");
  project.server = Sub(node, "SERVER");
  project.fullPath = Sub(node, "FullPath");
  project.uncPath = Sub(node, "UncPath");
  return project;
}

std::optional<std::string> Answer(const ModuleAnswer& answer, std::string_view command,
                                  LocalFailure* failure) {
  if (answer.hr < 0 || !answer.text) {
    *failure = {answer.hr < 0 ? answer.hr : static_cast<HRESULT>(0x80004005u),
                std::string(command)};
    return std::nullopt;
  }
  return answer.text;
}

std::string Shown(std::string_view text) { return text.empty() ? "-" : Printable(text); }

}  // namespace

pugi::xml_node Child(pugi::xml_node node, std::string_view tag) {
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element && qx::IEquals(child.name(), tag)) return child;
  }
  return pugi::xml_node();
}

std::string Sub(pugi::xml_node node, std::string_view tag) {
  return Child(node, tag).child_value();
}

std::optional<std::vector<DomainEntry>> ParseTreeContent(std::string_view xml) {
  const auto document = Parse(xml);
  if (!document || !qx::IEquals(document->document_element().name(), "NetTree")) {
    return std::nullopt;
  }
  std::vector<DomainEntry> domains;
  std::size_t entries = 0;
  for (pugi::xml_node domain : document->document_element().children()) {
    if (domain.type() != pugi::node_element || !qx::IEquals(domain.name(), "Domain")) continue;
    if (++entries > kMaxEntries) break;
    DomainEntry entry{Sub(domain, "Name"), {}};
    for (pugi::xml_node host : domain.children()) {
      if (host.type() != pugi::node_element || !qx::IEquals(host.name(), "Host")) continue;
      if (++entries > kMaxEntries) break;
      entry.hosts.emplace_back(host.child_value());
    }
    domains.push_back(std::move(entry));
  }
  return domains;
}

std::optional<std::vector<ProjectEntry>> ParseProjectList(std::string_view xml) {
  const auto document = Parse(xml);
  if (!document || !qx::IEquals(document->document_element().name(), "ProjectList")) {
    return std::nullopt;
  }
  std::vector<ProjectEntry> projects;
  for (pugi::xml_node node : document->document_element().children()) {
    if (node.type() != pugi::node_element) continue;
    if (projects.size() == kMaxEntries) break;
    projects.push_back(ProjectFrom(node));
  }
  return projects;
}

std::optional<ProjectEntry> ParseProject(std::string_view xml) {
  const auto document = Parse(xml);
  if (!document) return std::nullopt;
  return ProjectFrom(document->document_element());
}

std::optional<HostEntry> ParseHostDetails(std::string_view xml) {
  const auto document = Parse(xml);
  if (!document) return std::nullopt;
  const pugi::xml_node root = document->document_element();
  HostEntry host;
  host.name = Sub(root, "Host");
  host.domain = Sub(root, "Domain");
  host.user = Sub(root, "User");
  host.address = Sub(root, "IP");
  host.mask = Sub(root, "IP_Mask");
  host.version = Sub(root, "NorvaneVersion");
  host.build = Sub(root, "NorvaneBuild");
  host.path = Sub(root, "NorvanePath");
  for (pugi::xml_node node : Child(root, "PROJECTLIST").children()) {
    if (node.type() != pugi::node_element) continue;
    if (host.projects.size() == kMaxEntries) break;
    host.projects.push_back(ProjectFrom(node));
  }
  host.projectCount = host.projects.size();
  return host;
}

std::string TreeContentCommand() {
  return "<GetTreeContent><Receiver>.</Receiver></GetTreeContent>";
}

std::string HostDetailsCommand(std::string_view host) {
  return "<GetHostDetails><Receiver>.</Receiver>" + Element("HOST", host) + "</GetHostDetails>";
}

std::string ProjectListCommand(std::string_view domainFilter, std::string_view hostFilter,
                               std::string_view projectFilter) {
  return "<GetProjectList><Receiver>.</Receiver>" + Element("DomainFilter", domainFilter) +
         Element("HostFilter", hostFilter) + Element("ProjectFilter", projectFilter) +
         "</GetProjectList>";
}

std::string ProjectDetailsCommand(std::string_view dsn) {
  return "<GetProjectDetails><Receiver>.</Receiver>" + Element("DSN", dsn) + "</GetProjectDetails>";
}

std::string FindServerCommand(std::string_view dsn) {
  return "<FindServerForDSN><Receiver>.</Receiver>" + Element("DSN", dsn) + "</FindServerForDSN>";
}

HRESULT LoadNetworkView(NetworkView* view, bool withHostDetails, LocalFailure* failure) {
  *view = NetworkView();
  const std::optional<std::string> tree =
      Answer(CallDiscoverCommand(TreeContentCommand()), "GetTreeContent", failure);
  if (!tree) return failure->hr;
  std::optional<std::vector<DomainEntry>> domains = ParseTreeContent(*tree);
  if (!domains) {
    *failure = {static_cast<HRESULT>(0x80004005u), "GetTreeContent"};
    return failure->hr;
  }
  view->domains = std::move(*domains);
  view->answers.push_back(*tree);

  const std::optional<std::string> list =
      Answer(CallDiscoverCommand(ProjectListCommand("*", "*", "*")), "GetProjectList", failure);
  if (!list) return failure->hr;
  std::optional<std::vector<ProjectEntry>> projects = ParseProjectList(*list);
  if (!projects) {
    *failure = {static_cast<HRESULT>(0x80004005u), "GetProjectList"};
    return failure->hr;
  }
  view->projects = std::move(*projects);
  view->answers.push_back(*list);
  std::map<std::string, std::size_t, qx::ILess> counts;
  for (const ProjectEntry& project : view->projects) ++counts[project.host];

  std::map<std::string, bool, qx::ILess> seen;
  for (const DomainEntry& domain : view->domains) {
    for (const std::string& name : domain.hosts) {
      if (seen[name]) continue;
      seen[name] = true;
      HostEntry host;
      if (withHostDetails) {
        // A host whose record is gone (or not yet there) still shows with its name.
        const ModuleAnswer details = CallDiscoverCommand(HostDetailsCommand(name));
        if (details.hr >= 0 && details.text) {
          view->answers.push_back(*details.text);
          if (std::optional<HostEntry> parsed = ParseHostDetails(*details.text)) {
            host = std::move(*parsed);
          }
        }
      }
      host.name = name;
      if (host.domain.empty()) host.domain = domain.name;
      host.projects.clear();
      const auto count = counts.find(name);
      host.projectCount = count == counts.end() ? 0 : count->second;
      view->hosts.push_back(std::move(host));
    }
  }
  return 0;
}

std::optional<std::string> ProjectFilterFor(std::string_view state) {
  if (state.empty() || qx::IEquals(state, "any") || state == "*") return std::string("*");
  if (qx::IEquals(state, "run-time") || qx::IEquals(state, "runtime") ||
      qx::IEquals(state, "run time") || qx::IEquals(state, "rt")) {
    return std::string("RT");
  }
  if (qx::IEquals(state, "configuration") || qx::IEquals(state, "cs")) {
    return std::string("CS");
  }
  return std::nullopt;
}

nlohmann::json ProjectJson(const ProjectEntry& project) {
  return {{"dsn", project.dsn},           {"name", project.name},      {"type", project.type},
          {"state", project.state},       {"host", project.host},      {"server", project.server},
          {"fullPath", project.fullPath}, {"uncPath", project.uncPath}};
}

nlohmann::json HostJson(const HostEntry& host, bool withProjects) {
  nlohmann::json json = {
      {"name", host.name},   {"domain", host.domain}, {"address", host.address},
      {"mask", host.mask},   {"user", host.user},     {"version", host.version},
      {"build", host.build}, {"path", host.path},     {"projectCount", host.projectCount}};
  if (!host.state.empty()) {
    json["state"] = host.state;
    json["sinceHeardMs"] = host.sinceHeardMs ? nlohmann::json(*host.sinceHeardMs) : nullptr;
  }
  if (withProjects) {
    json["projects"] = nlohmann::json::array();
    for (const ProjectEntry& project : host.projects)
      json["projects"].push_back(ProjectJson(project));
  }
  return json;
}

nlohmann::json TreeJson(const NetworkView& view) {
  nlohmann::json domains = nlohmann::json::array();
  for (const DomainEntry& domain : view.domains) {
    nlohmann::json hosts = nlohmann::json::array();
    for (const std::string& name : domain.hosts) {
      nlohmann::json host = {{"name", name}, {"address", ""}, {"user", ""}};
      for (const HostEntry& known : view.hosts) {
        if (!qx::IEquals(known.name, name)) continue;
        host["address"] = known.address;
        host["user"] = known.user;
      }
      nlohmann::json projects = nlohmann::json::array();
      for (const ProjectEntry& project : view.projects) {
        if (qx::IEquals(project.host, name)) projects.push_back(ProjectJson(project));
      }
      host["projects"] = std::move(projects);
      hosts.push_back(std::move(host));
    }
    domains.push_back({{"name", domain.name}, {"hosts", std::move(hosts)}});
  }
  return {{"domains", std::move(domains)}};
}

void PrintTree(const NetworkView& view, std::FILE* out) {
  if (view.domains.empty()) {
    std::fprintf(out,
                 "(the network tree is empty: this station has not joined the group, or no "
                 "station answered yet)\n");
    return;
  }
  for (const DomainEntry& domain : view.domains) {
    std::fprintf(out, "%s\n", Shown(domain.name).c_str());
    for (std::size_t h = 0; h < domain.hosts.size(); ++h) {
      const std::string& name = domain.hosts[h];
      const bool lastHost = h + 1 == domain.hosts.size();
      std::string line = Shown(name);
      for (const HostEntry& known : view.hosts) {
        if (!qx::IEquals(known.name, name)) continue;
        if (!known.address.empty()) line += "  " + Printable(known.address);
        if (!known.user.empty()) line += "  user " + Printable(known.user);
      }
      std::fprintf(out, "%s %s\n", lastHost ? "└──" : "├──", line.c_str());
      std::vector<const ProjectEntry*> mine;
      for (const ProjectEntry& project : view.projects) {
        if (qx::IEquals(project.host, name)) mine.push_back(&project);
      }
      for (std::size_t p = 0; p < mine.size(); ++p) {
        const ProjectEntry& project = *mine[p];
        const std::string state = project.state.empty() ? "(no state)" : Printable(project.state);
        std::fprintf(out, "%s   %s %s  %s\n", lastHost ? " " : "│",
                     p + 1 == mine.size() ? "└──" : "├──", Shown(project.dsn).c_str(),
                     state.c_str());
      }
    }
  }
}

void PrintHostsTable(const std::vector<HostEntry>& hosts, std::FILE* out) {
  Table table({"HOST", "DOMAIN", "ADDRESS", "USER", "PROJECTS", "STATE", "HEARD"});
  for (const HostEntry& host : hosts) {
    table.Add({Shown(host.name), Shown(host.domain), Shown(host.address), Shown(host.user),
               std::to_string(host.projectCount), Shown(host.state),
               host.sinceHeardMs ? HeardText(host.sinceHeardMs) : "-"});
  }
  table.Print(out);
}

void PrintProjectsTable(const std::vector<ProjectEntry>& projects, std::FILE* out) {
  Table table({"DSN", "NAME", "TYPE", "STATE", "HOST", "SERVER"});
  for (const ProjectEntry& project : projects) {
    table.Add({Shown(project.dsn), Shown(project.name), Shown(project.type), Shown(project.state),
               Shown(project.host), Shown(project.server)});
  }
  table.Print(out);
}

void PrintProject(const ProjectEntry& project, std::FILE* out) {
  PrintFields({{"DSN", Shown(project.dsn)},
               {"Name", Shown(project.name)},
               {"Type", Shown(project.type)},
               {"State", Shown(project.state)},
               {"Host", Shown(project.host)},
               {"Server", Shown(project.server)},
               {"Full path", Shown(project.fullPath)},
               {"UNC path", Shown(project.uncPath)}},
              out);
}

void PrintHost(const HostEntry& host, std::FILE* out) {
  std::string projects;
  for (const ProjectEntry& project : host.projects) {
    if (!projects.empty()) projects += ", ";
    projects += Printable(project.dsn, 64);
  }
  PrintFields(
      {{"Host", Shown(host.name)},
       {"Domain", Shown(host.domain)},
       {"Address", Shown(host.address) + (host.mask.empty() ? "" : " / " + Printable(host.mask))},
       {"User", Shown(host.user)},
       {"Version", Shown(host.version)},
       {"Build", Shown(host.build)},
       {"Path", Shown(host.path)},
       {"Projects", projects.empty() ? "-" : projects}},
      out);
}

}  // namespace qxstation
