#include "vars/uCellText.h"

#include <cstdlib>

#include "vars/uTavexVars.h"

namespace tavex {

std::vector<std::vector<std::string>> ParseTabText(std::string_view Text) {
  std::vector<std::vector<std::string>> rows;
  size_t i = 0;
  while (i < Text.size() && rows.size() < kMaxTabRows) {
    size_t end = Text.find_first_of("\r\n", i);
    if (end == std::string_view::npos) end = Text.size();
    const std::string_view line = Text.substr(i, end - i);
    std::vector<std::string> fields;
    size_t f = 0;
    while (fields.size() < kMaxTabColumns) {
      const size_t tab = line.find('\t', f);
      fields.emplace_back(line.substr(f, tab == std::string_view::npos ? std::string_view::npos : tab - f));
      if (tab == std::string_view::npos) break;
      f = tab + 1;
    }
    rows.push_back(std::move(fields));
    i = end;
    if (i < Text.size()) {
      // CR LF is one line end.
      if (Text[i] == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') ++i;
      ++i;
    }
  }
  return rows;
}

std::string FormatTabText(const std::vector<std::vector<std::string>>& Rows) {
  std::string out;
  for (const auto& row : Rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      if (c > 0) out += '\t';
      for (const char ch : row[c]) out += ch == '\t' || ch == '\r' || ch == '\n' ? ' ' : ch;
    }
    out += '\n';
  }
  return out;
}

std::string ClockOffsetText(int64_t Seconds) {
  if (Seconds == 0) return "controller on time";
  const bool ahead = Seconds > 0;
  // Through unsigned: the most negative value has no positive twin.
  uint64_t s = ahead ? static_cast<uint64_t>(Seconds) : 0 - static_cast<uint64_t>(Seconds);
  const uint64_t days = s / 86400, hours = s / 3600 % 24, minutes = s / 60 % 60, secs = s % 60;
  std::string text;
  auto part = [&](uint64_t n, const char* unit) {
    if (n == 0 && text.empty()) return;
    if (!text.empty()) text += ' ';
    text += std::to_string(n) + ' ' + unit;
  };
  part(days, "d");
  part(hours, "h");
  part(minutes, "min");
  text += (text.empty() ? "" : " ") + std::to_string(secs) + " s";
  return "controller " + text + (ahead ? " ahead" : " behind");
}

namespace {

// Digits with at most one Separator, an optional sign before, an optional
// exponent after: the grid's real texts ("21.5", "-1.5E-6").
bool IsDecimal(const std::string& Text, char Separator) {
  size_t i = 0;
  if (i < Text.size() && (Text[i] == '-' || Text[i] == '+')) ++i;
  size_t digits = 0, points = 0;
  for (; i < Text.size(); ++i) {
    const char c = Text[i];
    if (c >= '0' && c <= '9') ++digits;
    else if (c == Separator) ++points;
    else break;
  }
  if (digits == 0 || points != 1) return false;
  if (i == Text.size()) return true;
  if (Text[i] != 'e' && Text[i] != 'E') return false;
  ++i;
  if (i < Text.size() && (Text[i] == '-' || Text[i] == '+')) ++i;
  if (i == Text.size()) return false;
  for (; i < Text.size(); ++i)
    if (Text[i] < '0' || Text[i] > '9') return false;
  return true;
}

std::string Swap(std::string Text, char From, char To) {
  if (From == To || !IsDecimal(Text, From)) return Text;
  for (char& c : Text)
    if (c == From) c = To;
  return Text;
}

}  // namespace

std::string ToFilePoint(std::string Text, char Separator) { return Swap(std::move(Text), Separator, '.'); }
std::string FromFilePoint(std::string Text, char Separator) { return Swap(std::move(Text), '.', Separator); }

}  // namespace tavex
