#include "cli/uCliInputs.h"

#include <algorithm>
#include <cctype>

#include <INIReader.h>

#include "cli/uCliOutput.h"
#include "cli/uInventory.h"

namespace tavex {

namespace {

// Bounds on what the tool reads: a configuration file is a few lines, a
// value file a few thousand rows.
constexpr size_t kMaxIniBytes = 1u << 20;
constexpr size_t kMaxCsvBytes = 8u << 20;
constexpr size_t kMaxIniEntries = 10000;

}  // namespace

TIniContents LoadIni(const std::string& Path) {
  std::string text, error;
  if (!ReadSmallFile(Path, kMaxIniBytes, text, error)) throw TUsageError{error};
  INIReader ini(text.data(), text.size());
  if (ini.ParseError() != 0) {
    throw TUsageError{"Cannot read " + Quoted(Path) +
                      (ini.ParseError() > 0
                           ? ": line " + std::to_string(ini.ParseError()) + " is not valid INI."
                           : ".")};
  }
  TIniContents out;
  out.Password = ini.Get("General", "Password", "");
  for (size_t n = 0; n < kMaxIniEntries; ++n) {
    const std::string key = "Var" + std::to_string(n);
    if (!ini.HasValue("Variables", key)) break;
    out.Entries.push_back(ini.Get("Variables", key, ""));
  }
  return out;
}

TFileValues LoadValueFile(const std::string& Path) {
  std::string text, error;
  if (!ReadSmallFile(Path, kMaxCsvBytes, text, error)) throw TUsageError{error};
  std::vector<std::vector<std::string>> records;
  std::vector<size_t> lines;
  if (!ParseCsv(text, records, error, &lines))
    throw TUsageError{"Cannot read " + Quoted(Path) + ": " + error + "."};
  size_t first = 0;
  if (!records.empty() && records[0].size() == 3) {
    std::vector<std::string> head = records[0];
    for (auto& h : head)
      std::transform(h.begin(), h.end(), h.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (head == std::vector<std::string>{"nad", "entry", "value"}) first = 1;
  }
  TFileValues values;
  for (size_t r = first; r < records.size(); ++r) {
    const auto& rec = records[r];
    const std::string where = "Line " + std::to_string(lines[r]) + " of " + Quoted(Path);
    if (rec.size() != 3)
      throw TUsageError{where + " has " + std::to_string(rec.size()) +
                        " fields; each row needs nad,entry,value."};
    uint32_t nad = 0;
    if (!ParseNad(rec[0], nad))
      throw TUsageError{where + ": " + Quoted(rec[0]) + " is not a NAD."};
    if (rec[1].empty()) throw TUsageError{where + " has no entry name."};
    values[nad].emplace_back(rec[1], rec[2]);
  }
  if (values.empty()) throw TUsageError{Quoted(Path) + " holds no values."};
  return values;
}

}  // namespace tavex
