// arguments.cpp - parsing the words of a qxstation subcommand.
#include "arguments.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace qxstation {
namespace {

bool Contains(const std::vector<std::string_view>& list, std::string_view name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

}  // namespace

std::optional<Arguments> Arguments::Parse(const std::vector<std::string>& words,
                                          const std::vector<std::string_view>& valueOptions,
                                          const std::vector<std::string_view>& flags,
                                          std::string* error) {
  Arguments args;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (optionsEnded || word.size() < 2 || !word.starts_with("--")) {
      args.positionals_.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    const std::size_t equals = word.find('=');
    const std::string name = word.substr(0, equals);
    if (Contains(valueOptions, name)) {
      if (equals != std::string::npos) {
        args.values_[name] = word.substr(equals + 1);
      } else if (i + 1 < words.size()) {
        args.values_[name] = words[++i];
      } else {
        *error = "option " + name + " needs a value";
        return std::nullopt;
      }
    } else if ((name == "--help" || Contains(flags, name)) && equals == std::string::npos) {
      args.flags_.insert(name);
    } else {
      *error = "unknown option: " + word;
      return std::nullopt;
    }
  }
  return args;
}

std::optional<std::string> Arguments::value(std::string_view name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool Arguments::flag(std::string_view name) const { return flags_.contains(name); }

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
