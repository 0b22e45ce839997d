// network_view.h - NetworkView, what this station knows of the network, read for people.
//
// The station's agent keeps the network tree (domains, hosts, their last announcements and the
// projects they run). These functions ask it with the discovery service's local commands
// (GetTreeContent, GetHostDetails, GetProjectList, GetProjectDetails, FindServerForDSN) and
// parse the answers into plain records. Every answer is hostile until parsed: child tags are
// found ignoring case, missing ones read as empty, and at most kMaxEntries domains, hosts or
// projects are taken from one answer. The records are values; any thread.
//
//   NetworkView view;
//   HRESULT hr = LoadNetworkView(&view, /*withHostDetails=*/true, &failed);
//   PrintTree(view, stdout);
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "module_calls.h"

namespace qxstation {

inline constexpr std::size_t kMaxEntries = 100000;

struct ProjectEntry {
  std::string dsn, name, type, state, host, server, fullPath, uncPath;
};

struct HostEntry {
  std::string name, domain, address, mask, user, version, build, path;
  std::size_t projectCount = 0;        // projects of the tree's list that run on this host
  std::vector<ProjectEntry> projects;  // the announcement's own list (host details only)
  // Liveness (liveness_view.h): "alive", "suspect", "confirming", "silent", "this station";
  // empty when not asked.
  std::string state;
  std::optional<std::uint64_t> sinceHeardMs;
};

struct DomainEntry {
  std::string name;
  std::vector<std::string> hosts;
};

struct NetworkView {
  std::vector<DomainEntry> domains;
  std::vector<HostEntry> hosts;  // in tree order, each name once
  std::vector<ProjectEntry> projects;
  // The answers as they came: the tree, the project list, each host's details.
  std::vector<std::string> answers;
};

// Parsers of the answers; nullopt when the text is not the expected element.
std::optional<std::vector<DomainEntry>> ParseTreeContent(std::string_view xml);
std::optional<std::vector<ProjectEntry>> ParseProjectList(std::string_view xml);
std::optional<ProjectEntry> ParseProject(std::string_view xml);
std::optional<HostEntry> ParseHostDetails(std::string_view xml);

// The local commands (Receiver "." keeps them on this station).
std::string TreeContentCommand();
std::string HostDetailsCommand(std::string_view host);
std::string ProjectListCommand(std::string_view domainFilter, std::string_view hostFilter,
                               std::string_view projectFilter);
std::string ProjectDetailsCommand(std::string_view dsn);
std::string FindServerCommand(std::string_view dsn);

// A failed local command: its HRESULT and which command it was.
struct LocalFailure {
  HRESULT hr = 0;
  std::string command;
};

// Domains, hosts and every project; with host details each host's address, user and
// announcement. S_OK, or the failure of the first command that failed.
HRESULT LoadNetworkView(NetworkView* view, bool withHostDetails, LocalFailure* failure);

// The project filter text for a --state word ("run-time", "configuration", "any" and the
// station's own words); nullopt for another word.
std::optional<std::string> ProjectFilterFor(std::string_view state);

nlohmann::json ProjectJson(const ProjectEntry& project);
nlohmann::json HostJson(const HostEntry& host, bool withProjects);
nlohmann::json TreeJson(const NetworkView& view);

// For people: the indented tree, the tables, and one record as key/value lines.
void PrintTree(const NetworkView& view, std::FILE* out);
void PrintHostsTable(const std::vector<HostEntry>& hosts, std::FILE* out);
void PrintProjectsTable(const std::vector<ProjectEntry>& projects, std::FILE* out);
void PrintProject(const ProjectEntry& project, std::FILE* out);
void PrintHost(const HostEntry& host, std::FILE* out);

}  // namespace qxstation
