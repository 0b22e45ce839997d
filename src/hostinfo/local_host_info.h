// local_host_info.h - LocalHostInfo, the station's names and local IPv4 addresses.
//
// One object a station (station/station.h), reading the station's host platform. Refresh reads
// the names and the address table again and makes the first address current; SelectAddress
// chooses another current address. The readers copy the texts under a lock of the object, so
// any thread may call every operation. The object borrows its platform, which must outlive it.
//
//   LocalHostInfo& host = station.localHost();
//   host.Refresh();
//   std::string ip = host.currentAddress();
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/mutex.h"

#include "platform/host_platform.h"

namespace qx {

inline constexpr int kMaxAddressRows = 50;

struct AddressRow {
  std::uint32_t address = 0;
  std::uint32_t mask = 0;
  std::string addressText;
  std::string maskText;
};

// "%d.%d.%d.%d" of the four bytes, lowest first.
std::string DottedText(std::uint32_t value);

class LocalHostInfo {
 public:
  // Reads platform; nullptr: the real one (Host()).
  explicit LocalHostInfo(HostPlatform* platform = nullptr) : platform_(platform) {}
  LocalHostInfo(const LocalHostInfo&) = delete;
  LocalHostInfo& operator=(const LocalHostInfo&) = delete;

  bool Refresh();
  bool SelectAddress(std::string_view addressText);
  bool IsLocalComputer(std::string_view name) const;

  std::string computerName() const;
  std::string domainName() const;
  std::string userName() const;
  std::string currentAddress() const;
  std::string currentMask() const;
  int addressCount() const;
  std::optional<std::string> addressText(int index) const;
  std::optional<std::string> maskText(int index) const;
  // Changes whenever Refresh or SelectAddress ran, so that what was derived from the names and
  // the current address can be kept until then; 0 before the first Refresh. No two objects of
  // the process share a version above 0.
  std::uint64_t version() const;

 private:
  HostPlatform* const platform_;
  mutable Mutex mutex_;
  std::string computerName_ GUARDED_BY(mutex_);
  std::string domainName_ GUARDED_BY(mutex_);
  std::string userName_ GUARDED_BY(mutex_);
  std::vector<AddressRow> addresses_ GUARDED_BY(mutex_);
  std::string currentAddress_ GUARDED_BY(mutex_);
  std::string currentMask_ GUARDED_BY(mutex_);
  std::uint64_t version_ GUARDED_BY(mutex_) = 0;
};

}  // namespace qx
