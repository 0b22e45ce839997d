// audit_trail.h - the station's audit trail: which remote and local actions make an entry, what
// each entry names as its target, who asked, and the settings of where entries go.
//
// The handlers call one function each: AuditRemoteRequest after a request of data id 777
// (commands forwarded to the project manager, REMOTECALL, OPENFILE, queries; not the discovery
// messages that stations send each other by RPC), AuditReadFile after a READFILE (779: each block
// of a copy served), AuditLocalCommand after a local command (SetUserPassword,
// WriteProjectToRegistry and the other commands that change something; not the read-only tree
// queries). Who asked comes from the RPC layer (the peer's address and key id) or, on a thread
// that serves no RPC request, is this process's user. The target is built only from fields known
// to hold no secret (a DSN, a user name, a library and function, a path): a password, a
// REMOTECALL parameter or file contents never reach the entry.
//
// Settings, key HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE\AUDIT, root's alone: Destination
// (journal, file or auto; default auto: the journal when its socket exists), File (default
// audit.jsonl in LogDir()), MaxBytes (10 MiB), KeepFiles (5). A value that cannot be read keeps
// its default (traced by the settings reader); an unknown Destination is traced and taken as
// auto, so that the trail never stops for a bad setting. The entries are written by the
// process-wide AuditLog (trace/audit_log.h), which is never destroyed; its writer writes what it
// holds and ends at exit (or when the library unloads), before the registry goes. Any thread
// may call.
//
//   const HRESULT result = AnswerReadFile(data, size, &answer);
//   AuditReadFile(data, size, result);
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/hresult.h"
#include "trace/audit_log.h"
#include "xml/xml_element.h"

namespace qx {

inline constexpr const char* kAuditKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\AUDIT";
inline constexpr const char* kDefaultAuditFileName = "audit.jsonl";
inline constexpr std::uint32_t kDefaultAuditMaxBytes = 10u << 20;
inline constexpr std::uint32_t kDefaultAuditKeepFiles = 5;

// The settings in effect (cached until the registry or the settings file changes).
AuditConfig ReadAuditConfig();
// The process-wide audit log, configured by ReadAuditConfig.
AuditLog& StationAuditLog();
// Waits (bounded) until the process-wide log has written what it holds: when a server stops.
bool FlushStationAudit(std::chrono::milliseconds timeout);

void AuditRemoteRequest(const CXmlElement& request, HRESULT result);
void AuditReadFile(const std::uint8_t* request, std::size_t size, HRESULT result);
void AuditLocalCommand(std::string_view command, HRESULT result);

}  // namespace qx
