// tree_records.h - the records of the network tree and the ordered index that owns them.
//
// HostRecord is what one host said of itself in its last announcement; ProjectRecord is what
// the network knows of one project (by DSN): where it runs, its state, its last describing
// element and the credentials stored for it; DomainRecord is one domain of the tree with its
// hosts. The records are plain data: tree_codec.h reads them from messages and writes the
// answers from them. StructMap<Record> is the index of hosts or projects: an ordered map from a
// name to the record it owns, ordered and matched ignoring case (the order of ICompare, through
// FoldedKey).
//
// Every text is cut to its field with CutToUnits, so no field splits a character. A record is
// filled from an element by the codec before the tree is locked, then moved into the index.
// None of these types locks anything: NetTree owns every index and guards it with its lock.
//
//   ProjectRecord fresh;
//   if (ReadProjectRecord(projectElement, &fresh))
//     *index.FindOrAdd(FoldedKey(dsn), dsn, &created) = std::move(fresh);
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace qx {

// Field limits in UTF-16 units. Host names are limited alike at the index key, at the records'
// HOST fields and in the tree document, so that every comparison of host names sees the same
// text; DSNs alike at the project key and the record's DSN.
inline constexpr std::size_t kMaxHostNameUnits = 511;
inline constexpr std::size_t kMaxRecordFieldUnits = 127;  // DSN, DOMAIN, PASSWORD, USER
inline constexpr std::size_t kMaxStateUnits = 15;
// Longest stored element texts, in bytes. A host's details hold a handful of short fields and a
// project's text one PROJECT record or one state event; longer texts are refused, so that a
// flood of announcements costs a bounded amount per record.
inline constexpr std::size_t kMaxHostDetailsBytes = 16 * 1024;
inline constexpr std::size_t kMaxProjectTextBytes = 8 * 1024;

// The index key of a DSN (cut to its field), and whether a host name can be a key at all.
std::string DsnKey(std::string_view dsn);
bool IsValidHostName(std::string_view host);

// What one host said of itself in its last announcement. Future fields (a state, the time of
// the last announcement) go here; the codec fills the record and NetTree keeps it.
struct HostRecord {
  std::string domain;                  // its DOMAIN, at most kMaxRecordFieldUnits
  std::string host;                    // its HOST, at most kMaxHostNameUnits
  std::optional<std::string> details;  // the announcement without its PROJECTLIST, as written
};

// What the network knows of one project (by DSN).
struct ProjectRecord {
  std::string state;                // at most kMaxStateUnits
  std::string host;                 // at most kMaxHostNameUnits
  std::string password;             // at most kMaxRecordFieldUnits; set only by SetUserPassword
  std::string user;                 // at most kMaxRecordFieldUnits; set only by SetUserPassword
  std::string dsn;                  // at most kMaxRecordFieldUnits
  std::optional<std::string> text;  // the last describing element, as written
  std::string hostKey;              // FoldedKey(host): the key of the tree's per-host project index
  // The details without credentials (the text with its STATE holding state), kept so that a
  // project list is a concatenation; none when the text does not parse.
  std::optional<std::string> listForm;
};

// One domain of the tree: its name and its hosts' names, both as first seen, the hosts in
// first-seen order.
struct DomainRecord {
  std::string name;  // at most kMaxRecordFieldUnits
  std::list<std::string> hosts;
};

// An ordered index of records by name, matched and ordered ignoring case. The first name under
// which a record was entered is kept beside it. Remove and Clear write the index's traces.
template <typename Record>
class StructMap {
 public:
  struct Entry {
    std::string name;
    Record record;
  };
  using Map = std::map<std::string, Entry>;  // by FoldedKey(name)

  Record* Find(std::string_view name);
  const Record* Find(std::string_view name) const;
  // The record under key (FoldedKey of name), entered empty under name when there is none;
  // *created says which.
  Record* FindOrAdd(const std::string& key, std::string_view name, bool* created);
  // Removes and deletes the record: true when found, else an error trace and false.
  bool Remove(std::string_view name);
  // Removes the record without a trace; false when there is none.
  bool Erase(std::string_view name);
  void Clear();
  std::size_t size() const { return entries_.size(); }
  const Map& entries() const { return entries_; }

 private:
  Map entries_;
};

}  // namespace qx
