// arguments.h - Arguments, the words of one qxstation subcommand.
//
// Splits the words after the subcommand into positionals, options that take a value
// ("--receiver NAME" or "--receiver=NAME") and flags ("--dword"). "--" ends the options; "--help"
// is always a flag. A value option given twice keeps the last value. Pure; any thread.
//
//   std::string error;
//   auto args = Arguments::Parse(words, {"--receiver"}, {}, &error);
//   if (args && args->flag("--help")) ...
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qxstation {

class Arguments {
 public:
  // Nullopt with *error set for an unknown option or a value option without its value.
  static std::optional<Arguments> Parse(const std::vector<std::string>& words,
                                        const std::vector<std::string_view>& valueOptions,
                                        const std::vector<std::string_view>& flags,
                                        std::string* error);

  const std::vector<std::string>& positionals() const { return positionals_; }
  std::optional<std::string> value(std::string_view name) const;
  bool flag(std::string_view name) const;

 private:
  std::vector<std::string> positionals_;
  std::map<std::string, std::string, std::less<>> values_;
  std::set<std::string, std::less<>> flags_;
};

// A decimal number from minimum to maximum (no sign, no other characters), or nullopt.
std::optional<std::int64_t> ParseNumber(std::string_view text, std::int64_t minimum,
                                        std::int64_t maximum);

}  // namespace qxstation
