// settings_file.h - the station's settings file, ConfigDir()/qxremote.conf, which only root writes.
//
// The file holds settings beneath the registry (a value the registry lacks comes from here)
// and the protected settings that decide what the station exposes (protected_settings.h).
// Format: UTF-8, at most 1 MiB, lines of at most 4096 bytes. A line whose first non-blank
// character is '#' or ';' is a comment. "[SECTION]" names a key path relative to
// HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE ("[SECURITY]", "[RPC\PORTS]"), ignoring case.
// "Name = value" sets a value of the section; blanks around name and value are dropped, and a
// value in double quotes keeps its blanks. A name given again in one section adds to a list
// ("FileRoots = /srv/a" then "FileRoots = /srv/b"); "Name =" alone is an empty list. Values
// have no type here: the reader that asks gives one (AsRegValue).
//
// SettingsFile::Current() answers the station's file as of now: it is checked and read again
// when its signature (inode, size, times, owner, mode) changes, and at least once a second (a
// directory above it may have changed). A missing file is kMissing (every default holds); a file
// that is not root's alone (write_trust.h), too large, not UTF-8 or not in the format is kUnusable,
// with a line saying which file and what is wrong. Any thread may call; a Snapshot never changes.
//
//   std::shared_ptr<const SettingsFile::Snapshot> file = SettingsFile::Current();
//   if (const auto* items = file->Find(keyPath, "FileRoots")) ...
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "registry/store/registry_store.h"

namespace qx {

class SettingsFile {
 public:
  enum class State { kMissing, kReadable, kUnusable };

  struct Snapshot {
    State state = State::kMissing;
    std::string path;
    std::string problem;  // kUnusable: what is wrong, naming the file
    // Folded section path -> folded value name -> the items given, in file order.
    std::map<std::string, std::map<std::string, std::vector<std::string>>> sections;
    // How a section ("rpc\\ports") or a value ("rpc\\ports\\name", both folded) was first
    // written, for those that copy the file into the registry.
    std::map<std::string, std::string> spellings;

    // The items of a value, by its full key path (HKEY_LOCAL_MACHINE\...) and name; null when
    // the file does not set it (or is not readable).
    const std::vector<std::string>* Find(std::string_view fullKeyPath, std::string_view name) const;
  };

  // The largest file and line that are read.
  static constexpr std::size_t kMaxFileBytes = 1u << 20;
  static constexpr std::size_t kMaxLineBytes = 4096;

  // Parses the text of a file; false with *error naming the line that is wrong.
  static bool Parse(std::string_view text, Snapshot* out, std::string* error);
  // The items as the type a reader asks: kDword (one item, decimal or 0x hex), kSz (one item,
  // or "" for an empty list), kMultiSz (the list). A value that is not of that form comes back
  // as type kNone, which every reader takes for a value that exists but cannot be read.
  static RegValue AsRegValue(const std::vector<std::string>& items, RegType asked);
  // ConfigDir()/qxremote.conf.
  static std::string StationPath();
  // The station's file as of now (see the top of the file).
  static std::shared_ptr<const Snapshot> Current();
  // Reads and checks the file at path now, without the cache.
  static std::shared_ptr<const Snapshot> Load(const std::string& path);
};

}  // namespace qx
