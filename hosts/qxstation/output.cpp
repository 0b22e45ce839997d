// output.cpp - tables, fields and JSON of qxstation.
#include "output.h"

#include <algorithm>

#include "common/text.h"
#include "module_calls.h"

namespace qxstation {

std::string Printable(std::string_view text, std::size_t maxChars) {
  std::string out;
  std::size_t chars = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t start = pos;
    const char32_t c = qx::DecodeUtf8(text, &pos);
    if (chars == maxChars) {
      out += "...";
      break;
    }
    ++chars;
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
      out += '?';
    } else if (c == 0xFFFD && pos - start == 1) {
      out += "\xEF\xBF\xBD";  // a malformed byte shows as the replacement character
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
  return out;
}

std::size_t DisplayWidth(std::string_view text) {
  std::size_t chars = 0;
  for (std::size_t pos = 0; pos < text.size(); ++chars) qx::DecodeUtf8(text, &pos);
  return chars;
}

std::string WithThousands(std::uint64_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string ClockTime(std::uint64_t seconds) {
  return qx::Format("%llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
                    static_cast<unsigned long long>(seconds / 60 % 60),
                    static_cast<unsigned long long>(seconds % 60));
}

std::string Counted(std::uint64_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

Table::Table(std::vector<std::string> header) : header_(std::move(header)) {}

void Table::Add(std::vector<std::string> row) {
  row.resize(header_.size());
  rows_.push_back(std::move(row));
}

void Table::Print(std::FILE* out) const {
  std::vector<std::size_t> widths(header_.size(), 0);
  const auto measure = [&](const std::vector<std::string>& row) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      widths[i] = std::max(widths[i], DisplayWidth(row[i]));
    }
  };
  measure(header_);
  for (const auto& row : rows_) measure(row);
  const auto print = [&](const std::vector<std::string>& row) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line.append(widths[i] - DisplayWidth(row[i]) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::fprintf(out, "%s\n", line.c_str());
  };
  print(header_);
  for (const auto& row : rows_) print(row);
}

void PrintFields(const std::vector<std::pair<std::string, std::string>>& fields, std::FILE* out) {
  std::size_t width = 0;
  for (const auto& [key, value] : fields) width = std::max(width, DisplayWidth(key));
  for (const auto& [key, value] : fields) {
    std::fprintf(out, "%s%s  %s\n", key.c_str(),
                 std::string(width - DisplayWidth(key), ' ').c_str(), value.c_str());
  }
}

void WriteJson(const nlohmann::json& value, std::FILE* out, bool oneLine) {
  const std::string text =
      value.dump(oneLine ? -1 : 2, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fprintf(out, "%s\n", text.c_str());
}

nlohmann::json AnswerJson(std::int32_t hr, const std::optional<std::string>& answer) {
  nlohmann::json json;
  json["hresult"] = qx::Format("0x%08x", static_cast<unsigned>(hr));
  json["result"] = HresultName(hr);
  json["answer"] = answer ? nlohmann::json(*answer) : nlohmann::json(nullptr);
  return json;
}

}  // namespace qxstation
