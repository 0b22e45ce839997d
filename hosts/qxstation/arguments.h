// arguments.h - numbers given on qxstation's command line.
//
// The command line itself is parsed by CLI11 (cli.h); this checks the number texts that reach a
// command as plain words (a registry DWORD). Pure; any thread.
//
//   std::optional<std::int64_t> value = ParseNumber("4000", 0, 0xFFFFFFFF);
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qxstation {

// A decimal number from minimum to maximum (no sign, no other characters), or nullopt.
std::optional<std::int64_t> ParseNumber(std::string_view text, std::int64_t minimum,
                                        std::int64_t maximum);

}  // namespace qxstation
