#include "cli/uCliInputs.h"

#include <algorithm>
#include <cctype>
#include <iostream>

#include "cli/uCliOutput.h"
#include "cli/uInventory.h"
#include "vars/uConfigFile.h"
#include "vars/uNumberText.h"

namespace tavex {

namespace {

// Bounds on what the tool reads: a configuration file is a few lines, a
// value file a few thousand rows.
constexpr size_t kMaxIniBytes = 1u << 20;
constexpr size_t kMaxCsvBytes = 8u << 20;
constexpr size_t kMaxIniEntries = 10000;
constexpr size_t kMaxEntryChars = 256;

constexpr char kNumberHint[] =
    "a number: digits with an optional point and exponent, or hexadecimal after $ or 0x";

std::string Lower(std::string Text) {
  std::transform(Text.begin(), Text.end(), Text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return Text;
}

bool NameChar(unsigned char c) {
  return c > 0x20 && c != 0x7F && c != '[' && c != ']' && c != '=' && c != ',' && c != ';' &&
         c != '"';
}

// Checks one value; Where begins the sentence ("Argument \"x=1\"").
void CheckValue(const TWriteValue& V) {
  if (!ValidEntryText(V.Entry))
    throw TUsageError{V.Where + ": " + Quoted(V.Entry) + " is not an entry (NAME or NAME[INDEX])."};
  if (V.Value.empty())
    throw TUsageError{V.Where + " has no value for " + TerminalSafe(V.Entry) + "."};
  if (V.Value == "?")
    throw TUsageError{V.Where + ": the value of " + TerminalSafe(V.Entry) +
                      " is \"?\" (it could not be read when it was saved); give a value or "
                      "leave the row out."};
  if (!ValidValueText(V.Value))
    throw TUsageError{V.Where + ": " + Quoted(V.Value) + " for " + TerminalSafe(V.Entry) +
                      " is not " + kNumberHint + "."};
}

bool ReadStdin(size_t Limit, std::string& Text, std::string& Error) {
  Text.clear();
  char buf[65536];
  while (std::cin.read(buf, sizeof buf) || std::cin.gcount() > 0) {
    Text.append(buf, static_cast<size_t>(std::cin.gcount()));
    if (Text.size() > Limit) {
      Error = "Standard input holds more than " + std::to_string(Limit) + " bytes.";
      return false;
    }
  }
  if (std::cin.bad()) {
    Error = "Cannot read standard input.";
    return false;
  }
  return true;
}

}  // namespace

TIniContents LoadIni(const std::string& Path) {
  std::string text, error;
  if (!ReadSmallFile(Path, kMaxIniBytes, text, error)) throw TUsageError{error};
  // The desktop tool's reader, so that both take the same file alike.
  TConfigFile config;
  int badLine = 0;
  if (!LoadConfigText(text, config, &badLine)) throw TUsageError{"Cannot read " + Quoted(Path) + "."};
  if (badLine > 0)
    throw TUsageError{"Cannot read " + Quoted(Path) + ": line " + std::to_string(badLine) +
                      " is not valid INI."};
  TIniContents out;
  out.Password = std::move(config.Password);
  out.Entries = std::move(config.Entries);
  if (out.Entries.size() > kMaxIniEntries) out.Entries.resize(kMaxIniEntries);
  return out;
}

bool ValidEntryText(std::string_view Text) {
  if (Text.empty() || Text.size() > kMaxEntryChars) return false;
  const size_t open = Text.find('[');
  const std::string_view name = Text.substr(0, open);
  if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
        return NameChar(static_cast<unsigned char>(c));
      }))
    return false;
  if (open == std::string_view::npos) return true;
  const std::string_view index = Text.substr(open + 1);
  if (index.size() < 2 || index.back() != ']') return false;
  const std::string_view digits = index.substr(0, index.size() - 1);
  if (digits.size() > 9) return false;  // within int32
  return std::all_of(digits.begin(), digits.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

bool ValidValueText(std::string_view Text) {
  if (Text.empty() || Text.front() == ' ') return false;
  int64_t i = 0;
  double r = 0;
  return TryParseInteger(Text, i) || TryParseReal(Text, r);
}

std::string EntryKey(const std::string& Entry) {
  const size_t open = Entry.find('[');
  if (open == std::string::npos) return Entry + "[0]";
  std::string digits = Entry.substr(open + 1, Entry.size() - open - 2);
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
  return Entry.substr(0, open) + "[" + digits + "]";
}

std::vector<TWriteValue> ParseValueArgs(const std::vector<std::string>& Args) {
  std::vector<TWriteValue> out;
  std::map<std::string, std::string> seen;  // entry key -> the argument that gave it
  for (const auto& a : Args) {
    const size_t eq = a.find('=');
    if (eq == std::string::npos || eq == 0)
      throw TUsageError{"write needs ENTRY=VALUE, not " + Quoted(a) + " (see 'tavexctl --help')."};
    TWriteValue v{a.substr(0, eq), a.substr(eq + 1), "Argument " + Quoted(a)};
    CheckValue(v);
    const auto [it, fresh] = seen.emplace(EntryKey(v.Entry), a);
    if (!fresh)
      throw TUsageError{"Arguments " + Quoted(it->second) + " and " + Quoted(a) +
                        " both give a value for " + TerminalSafe(v.Entry) + "."};
    out.push_back(std::move(v));
  }
  return out;
}

TFileValues ParseValueFile(std::string_view Text, const std::string& Name) {
  if (Text.substr(0, 3) == "\xEF\xBB\xBF") Text.remove_prefix(3);
  // The header line tells the separator: spreadsheets where the decimal
  // mark is a comma save with ';'.
  const std::string_view firstLine = Text.substr(0, Text.find_first_of("\r\n"));
  std::string head = Lower(std::string(firstLine));
  head.erase(std::remove_if(head.begin(), head.end(), [](char c) { return c == ' ' || c == '"'; }),
             head.end());
  const char separator = head == "nad;entry;value" ? ';' : ',';

  std::vector<std::vector<std::string>> records;
  std::vector<size_t> lines;
  std::string error;
  if (!ParseCsv(Text, records, error, &lines, 100000, 64, separator))
    throw TUsageError{"Cannot read " + Quoted(Name) + ": " + error + "."};
  size_t first = 0;
  if (!records.empty() && records[0].size() == 3) {
    std::vector<std::string> h = records[0];
    for (auto& x : h) x = Lower(x);
    if (h == std::vector<std::string>{"nad", "entry", "value"}) first = 1;
  }
  TFileValues values;
  std::map<std::pair<uint32_t, std::string>, size_t> seen;  // -> line
  for (size_t r = first; r < records.size(); ++r) {
    const auto& rec = records[r];
    const std::string where = "Line " + std::to_string(lines[r]) + " of " + Quoted(Name);
    if (rec.size() != 3)
      throw TUsageError{where + " has " + std::to_string(rec.size()) +
                        " fields; each row needs nad,entry,value."};
    uint32_t nad = 0;
    if (!ParseNad(rec[0], nad))
      throw TUsageError{where + ": " + Quoted(rec[0]) + " is not a NAD."};
    if (rec[1].empty()) throw TUsageError{where + " has no entry name."};
    TWriteValue v{rec[1], rec[2], where};
    CheckValue(v);
    const auto [it, fresh] = seen.emplace(std::make_pair(nad, EntryKey(v.Entry)), lines[r]);
    if (!fresh)
      throw TUsageError{"Lines " + std::to_string(it->second) + " and " + std::to_string(lines[r]) +
                        " of " + Quoted(Name) + " both give a value for " +
                        TerminalSafe(v.Entry) + " of controller " + std::to_string(nad) + "."};
    values[nad].push_back(std::move(v));
  }
  if (values.empty()) throw TUsageError{Quoted(Name) + " holds no values."};
  return values;
}

TFileValues LoadValueFile(const std::string& Path) {
  std::string text, error;
  if (Path == "-") {
    if (!ReadStdin(kMaxCsvBytes, text, error)) throw TUsageError{error};
    return ParseValueFile(text, "standard input");
  }
  if (!ReadSmallFile(Path, kMaxCsvBytes, text, error)) throw TUsageError{error};
  return ParseValueFile(text, Path);
}

// PLACEHOLDER until the formats' help lands (merge: keep the real one).
std::string FormatsHelp() { return "The files tavexctl reads and writes: see 'man tavexctl'.\n"; }

}  // namespace tavex
