// network_view.cpp - reading and showing the station's network tree.
#include "network_view.h"

#include "liveness_view.h"

#include <iterator>
#include <map>

#include "common/text.h"
#include "output.h"
#include "xml/xml_element.h"

namespace qxstation {
namespace {

// The answer's root element, or nullopt when the text is not one XML element; with tag, also
// when the root is not named tag (ignoring case).
std::optional<qx::CXmlElement> Parse(std::string_view xml, std::string_view tag = {}) {
  qx::CXmlElement root;
  if (!root.LoadXml(xml) || (!tag.empty() && !qx::IEquals(root.GetName(), tag))) {
    return std::nullopt;
  }
  return root;
}

std::string Element(std::string_view tag, std::string_view text) {
  std::string out = "<";
  out.append(tag).append(">").append(qx::XmlEscape(text)).append("</").append(tag).append(">");
  return out;
}

ProjectEntry ProjectFrom(const qx::CXmlElement& node) {
  // In the order of ProjectEntry's fields.
  static constexpr std::string_view kTags[] = {"DSN",  "Name",   "TYPE",     "STATE",
                                               "HOST", "SERVER", "FullPath", "UncPath"};
  std::string t[std::size(kTags)];
  node.GetSubTexts(kTags, t, std::size(kTags));
  return {std::move(t[0]), std::move(t[1]), std::move(t[2]), std::move(t[3]),
          std::move(t[4]), std::move(t[5]), std::move(t[6]), std::move(t[7])};
}

// The projects among node's element children, at most kMaxEntries.
std::vector<ProjectEntry> ProjectsIn(const qx::CXmlElement& node) {
  std::vector<ProjectEntry> projects;
  qx::CXmlElement::ChildList list;
  qx::CXmlElement child;
  node.GetChildList(&list);
  while (projects.size() < kMaxEntries && node.NextChild(&list, {}, &child)) {
    projects.push_back(ProjectFrom(child));
  }
  return projects;
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

std::optional<std::vector<DomainEntry>> ParseTreeContent(std::string_view xml) {
  const std::optional<qx::CXmlElement> root = Parse(xml, "NetTree");
  if (!root) return std::nullopt;
  std::vector<DomainEntry> domains;
  std::size_t entries = 0;
  qx::CXmlElement::ChildList domainList;
  qx::CXmlElement domain;
  root->GetChildList(&domainList);
  while (root->NextChild(&domainList, "Domain", &domain)) {
    if (++entries > kMaxEntries) break;
    DomainEntry entry{domain.GetSubText("Name"), {}};
    qx::CXmlElement::ChildList hostList;
    qx::CXmlElement host;
    domain.GetChildList(&hostList);
    while (domain.NextChild(&hostList, "Host", &host)) {
      if (++entries > kMaxEntries) break;
      entry.hosts.push_back(host.GetText());
    }
    domains.push_back(std::move(entry));
  }
  return domains;
}

std::optional<std::vector<ProjectEntry>> ParseProjectList(std::string_view xml) {
  const std::optional<qx::CXmlElement> root = Parse(xml, "ProjectList");
  if (!root) return std::nullopt;
  return ProjectsIn(*root);
}

std::optional<ProjectEntry> ParseProject(std::string_view xml) {
  const std::optional<qx::CXmlElement> root = Parse(xml);
  if (!root) return std::nullopt;
  return ProjectFrom(*root);
}

std::optional<HostEntry> ParseHostDetails(std::string_view xml) {
  const std::optional<qx::CXmlElement> root = Parse(xml);
  if (!root) return std::nullopt;
  HostEntry host;
  host.name = root->GetSubText("Host");
  host.domain = root->GetSubText("Domain");
  host.user = root->GetSubText("User");
  host.address = root->GetSubText("IP");
  host.mask = root->GetSubText("IP_Mask");
  host.version = root->GetSubText("NorvaneVersion");
  host.build = root->GetSubText("NorvaneBuild");
  host.path = root->GetSubText("NorvanePath");
  qx::CXmlElement list;
  if (root->FindChild("PROJECTLIST", &list)) host.projects = ProjectsIn(list);
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
