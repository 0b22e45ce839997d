// process_facts.cpp - ReadProcessFacts from stat, status and the fd folder of /proc.
#include "platform/process_facts.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace qx {
namespace {

// Field 22 of stat (after the command in parentheses, which may hold anything): the start in
// clock ticks since boot; against /proc/uptime, the time since.
std::optional<double> UptimeOf(const std::string& procDir) {
  const std::string stat = ReadProcText(procDir + "/stat");
  const std::size_t close = stat.rfind(')');
  const long ticks = ::sysconf(_SC_CLK_TCK);
  if (close == std::string::npos || ticks <= 0) return std::nullopt;
  const std::string uptime = ReadProcText("/proc/uptime", 128);
  char* end = nullptr;
  const double sinceBoot = std::strtod(uptime.c_str(), &end);
  if (end == uptime.c_str()) return std::nullopt;
  std::size_t at = close + 1;
  for (int field = 3; field <= 22; ++field) {
    at = stat.find_first_not_of(' ', at);
    if (at == std::string::npos) return std::nullopt;
    const std::size_t next = stat.find(' ', at);
    if (field == 22) {
      const std::string value = stat.substr(at, next == std::string::npos ? next : next - at);
      const double started = std::strtod(value.c_str(), nullptr) / static_cast<double>(ticks);
      if (sinceBoot < started) return std::nullopt;
      return sinceBoot - started;
    }
    at = next;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> ResidentBytesOf(const std::string& procDir) {
  const std::string status = ReadProcText(procDir + "/status");
  constexpr std::string_view kRss = "\nVmRSS:";
  const std::size_t at = status.find(kRss);
  if (at == std::string::npos) return std::nullopt;
  char* end = nullptr;
  const char* digits = status.c_str() + at + kRss.size();
  const unsigned long long kib = std::strtoull(digits, &end, 10);
  if (end == digits || kib > (UINT64_MAX >> 10)) return std::nullopt;
  return std::uint64_t{kib} * 1024;
}

std::optional<std::uint64_t> OpenDescriptorsOf(const std::string& procDir) {
  DIR* dir = ::opendir((procDir + "/fd").c_str());
  if (dir == nullptr) return std::nullopt;
  std::uint64_t count = 0;
  while (count < kMaxCountedDescriptors) {
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  // The listing's own descriptor was open while it counted.
  if (procDir == "/proc/self" && count > 0) --count;
  return count;
}

}  // namespace

std::string ReadProcText(const std::string& path, std::size_t limit) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  text.resize(limit);
  std::size_t done = 0;
  while (done < limit) {
    const ssize_t n = ::read(fd, text.data() + done, limit - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  text.resize(done);
  return text;
}

ProcessFacts ReadProcessFacts(const std::string& procDir) {
  ProcessFacts facts;
  facts.uptimeSeconds = UptimeOf(procDir);
  facts.residentBytes = ResidentBytesOf(procDir);
  facts.openDescriptors = OpenDescriptorsOf(procDir);
  return facts;
}

}  // namespace qx
