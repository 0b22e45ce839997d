// local_host_info.cpp - LocalHostInfo: the station's names and IPv4 address table.
//
// The facts come from the host platform (platform/host_platform.h). Refresh asks it outside
// the object's lock and then replaces the fields under the lock, so that a reader never sees a
// half-written table.
#include "hostinfo/local_host_info.h"

#include <algorithm>
#include <atomic>

#include "common/text.h"
#include "trace/trace.h"

namespace qx {
namespace {

constexpr std::size_t kComputerNameUnits = 15;
constexpr std::size_t kDomainNameUnits = 255;
constexpr std::size_t kUserNameUnits = 127;
constexpr std::size_t kCurrentAddressUnits = 31;
constexpr std::uint32_t kLoopback = 0x0100007Fu;  // 127.0.0.1

// Versions are numbered across every LocalHostInfo of the process, so that one version names one
// state of one object, even of an object made where another was destroyed.
std::uint64_t NextVersion() {
  static std::atomic<std::uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

const CTraceSource& AnswerRequestSource() {
  static const CTraceSource source("AnswerRequest");
  return source;
}

}  // namespace

std::string DottedText(std::uint32_t value) {
  return Format("%d.%d.%d.%d", static_cast<int>(value & 0xFF),
                static_cast<int>((value >> 8) & 0xFF), static_cast<int>((value >> 16) & 0xFF),
                static_cast<int>((value >> 24) & 0xFF));
}

bool LocalHostInfo::Refresh() {
  HostPlatform& host = platform_ != nullptr ? *platform_ : Host();
  std::optional<std::string> computer = host.ComputerName();
  std::optional<std::string> domain = host.DomainName();
  std::optional<std::string> user = host.UserName();
  std::optional<std::vector<Ipv4Row>> table = host.Ipv4Addresses();

  std::vector<AddressRow> rows;
  if (table) {
    const std::size_t examined = std::min(table->size(), static_cast<std::size_t>(kMaxAddressRows));
    for (std::size_t i = 0; i < examined; ++i) {
      const Ipv4Row& entry = (*table)[i];
      if (entry.address == kLoopback) continue;
      rows.push_back(
          {entry.address, entry.mask, DottedText(entry.address), DottedText(entry.mask)});
    }
  }

  MutexLock lock(&mutex_);
  version_ = NextVersion();
  // A name that cannot be read, or is too long for its field, leaves the name as it was.
  if (computer && !computer->empty()) computerName_ = CutToUnits(*computer, kComputerNameUnits);
  if (domain && !domain->empty() && Utf16Units(*domain) <= kDomainNameUnits) domainName_ = *domain;
  if (user && !user->empty() && Utf16Units(*user) <= kUserNameUnits) userName_ = *user;
  addresses_ = std::move(rows);
  if (!addresses_.empty()) {
    currentAddress_ = CutToUnits(addresses_[0].addressText, kCurrentAddressUnits);
    currentMask_ = CutToUnits(addresses_[0].maskText, kCurrentAddressUnits);
  }
  return table.has_value();
}

bool LocalHostInfo::SelectAddress(std::string_view addressText) {
  MutexLock lock(&mutex_);
  const int count = static_cast<int>(addresses_.size());
  for (int i = 0; i < count; ++i) {
    const AddressRow& row = addresses_[i];
    TraceWarning(AnswerRequestSource(), "num(%d) IP[%d] = %s[%s]", count, i,
                 row.addressText.c_str(), row.maskText.c_str());
    if (IEquals(row.addressText, addressText)) {
      version_ = NextVersion();
      currentAddress_ = CutToUnits(row.addressText, kCurrentAddressUnits);
      currentMask_ = CutToUnits(row.maskText, kCurrentAddressUnits);
      return true;
    }
  }
  return false;
}

std::uint64_t LocalHostInfo::version() const {
  MutexLock lock(&mutex_);
  return version_;
}

bool LocalHostInfo::IsLocalComputer(std::string_view name) const {
  MutexLock lock(&mutex_);
  // Before the first Refresh the name is empty, and an empty name is nobody's.
  return !computerName_.empty() && IEquals(name, computerName_);
}

std::string LocalHostInfo::computerName() const {
  MutexLock lock(&mutex_);
  return computerName_;
}

std::string LocalHostInfo::domainName() const {
  MutexLock lock(&mutex_);
  return domainName_;
}

std::string LocalHostInfo::userName() const {
  MutexLock lock(&mutex_);
  return userName_;
}

std::string LocalHostInfo::currentAddress() const {
  MutexLock lock(&mutex_);
  return currentAddress_;
}

std::string LocalHostInfo::currentMask() const {
  MutexLock lock(&mutex_);
  return currentMask_;
}

int LocalHostInfo::addressCount() const {
  MutexLock lock(&mutex_);
  return static_cast<int>(addresses_.size());
}

std::optional<std::string> LocalHostInfo::addressText(int index) const {
  MutexLock lock(&mutex_);
  if (index < 0 || index >= static_cast<int>(addresses_.size())) return std::nullopt;
  return addresses_[index].addressText;
}

std::optional<std::string> LocalHostInfo::maskText(int index) const {
  MutexLock lock(&mutex_);
  if (index < 0 || index >= static_cast<int>(addresses_.size())) return std::nullopt;
  return addresses_[index].maskText;
}

}  // namespace qx
