// arguments.cpp - numbers given on qxstation's command line.
#include "arguments.h"

#include <charconv>

namespace qxstation {

std::optional<std::int64_t> ParseNumber(std::string_view text, std::int64_t minimum,
                                        std::int64_t maximum) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || value < minimum || value > maximum) {
    return std::nullopt;
  }
  return value;
}

}  // namespace qxstation
