// output.h - how qxstation writes its answers: for people, as raw XML or as JSON.
//
// Texts that came from other stations are shown through Printable, which cuts them to a bound
// and replaces control characters, so a peer cannot move the terminal's cursor or flood it.
// Table lines up its columns by characters (not bytes) and writes a header line of the column
// names. WriteJson writes one JSON document made by nlohmann-json; invalid UTF-8 is replaced,
// never thrown at the caller. Pure helpers; any thread, one stream per call.
//
//   Table table({"HOST", "ADDRESS"});
//   table.Add({"STATION6", "127.0.0.6"});
//   table.Print(stdout);
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace qxstation {

enum class OutputFormat { kHuman, kXml, kJson };

// The longest text shown for one field of a peer's answer.
inline constexpr std::size_t kMaxShownField = 256;

// text with control characters as '?' and cut to maxChars characters ("..." marks the cut).
std::string Printable(std::string_view text, std::size_t maxChars = kMaxShownField);
// Number of characters (code points) of a UTF-8 text.
std::size_t DisplayWidth(std::string_view text);
// "12,345,678".
std::string WithThousands(std::uint64_t value);
// "H:MM:SS" of whole seconds.
std::string ClockTime(std::uint64_t seconds);
// "1 project", "2 projects".
std::string Counted(std::uint64_t count, std::string_view one, std::string_view many);

class Table {
 public:
  explicit Table(std::vector<std::string> header);
  void Add(std::vector<std::string> row);  // missing cells are empty, extra ones ignored
  // Header and rows, columns two spaces apart, the last column not padded.
  void Print(std::FILE* out) const;
  std::size_t rows() const { return rows_.size(); }

 private:
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> rows_;
};

// Key and value lines, keys padded to one width: "Host     STATION6".
void PrintFields(const std::vector<std::pair<std::string, std::string>>& fields, std::FILE* out);

// Pretty (indent 2) or one line; ends with a newline.
void WriteJson(const nlohmann::json& value, std::FILE* out, bool oneLine = false);

// The JSON form of a module answer: {"hresult": "0x80004005", "result": "E_FAIL",
// "answer": text or null}.
nlohmann::json AnswerJson(std::int32_t hr, const std::optional<std::string>& answer);

}  // namespace qxstation
