// tree_records.h - the records of the network tree and the ordered index that owns them.
//
// CHostInfo is what one host said of itself in its last announcement; CProjectInfo is what the
// network knows of one project (by DSN): where it runs, its state, its last describing element
// and the credentials stored for it. StructMap<Record> is the index of either kind: an ordered
// map from a name to the record it owns, ordered and matched ignoring case (the order of
// ICompare, through FoldedKey).
//
// Every text is cut to its field with CutToUnits, so no field splits a character. A record is
// filled from an element by its AddXML before the tree is locked, then moved into the index.
// None of these types locks anything: NetTree owns every index and guards it with its lock.
//
//   CProjectInfo fresh;
//   if (fresh.AddXML(projectElement))
//     index.FindOrAdd(FoldedKey(dsn), dsn, &created)->Refresh(std::move(fresh));
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "xml/xml_element.h"

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

class CHostInfo {
 public:
  // Reads DOMAIN and HOST from the announcement and stores it, written as text, in details.
  // The caller removes the PROJECTLIST child first. False when the announcement can't be
  // written or its text is longer than kMaxHostDetailsBytes.
  bool AddXML(const CXmlElement& announcement);

  std::string domain;                  // at most kMaxRecordFieldUnits
  std::string host;                    // at most kMaxHostNameUnits
  std::optional<std::string> details;  // the last announcement without its PROJECTLIST
};

class CProjectInfo {
 public:
  // Reads HOST, STATE and DSN from the element and stores it, written as text. False when the
  // element can't be written or its text is longer than kMaxProjectTextBytes. PASSWORD and USER
  // are not touched.
  bool AddXML(const CXmlElement& element);
  // Takes HOST, STATE, DSN and text of a record filled by AddXML; keeps PASSWORD and USER.
  void Refresh(CProjectInfo&& fresh);
  // Sets STATE (cut to its field).
  void SetState(std::string_view newState);

  // The details of the project: the stored text with its STATE child (if any) moved last and
  // holding the current state, and with PASSWORD and USER appended when asked. False when the
  // stored text does not parse or the result can't be written.
  bool BuildDetails(bool withCredentials, std::string* out) const;
  // Appends the details without credentials to a list text; false (nothing appended) when the
  // stored text does not parse.
  bool AppendTo(std::string* list) const;
  // Bytes that AppendTo appends.
  std::size_t ListFormSize() const { return listForm_ ? listForm_->size() : 0; }

  std::string state;     // at most kMaxStateUnits
  std::string host;      // at most kMaxHostNameUnits
  std::string password;  // at most kMaxRecordFieldUnits; set only by SetUserPassword
  std::string user;      // at most kMaxRecordFieldUnits; set only by SetUserPassword
  std::string dsn;       // at most kMaxRecordFieldUnits
  std::optional<std::string> text;
  std::string hostKey;  // FoldedKey(host): the key of the tree's per-host project index

 private:
  void UpdateListForm();

  // BuildDetails(false) of the current text and state, kept so that a project list is a
  // concatenation; empty when the text does not parse.
  std::optional<std::string> listForm_;
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
