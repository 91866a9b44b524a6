#include "cli/uValueRows.h"

#include <map>

namespace tavex {

void TValueRowsFile::Add(const std::string& Nad, const std::string& Entry, const std::string& Value) {
  if (Nad.empty()) return;
  Table_.Rows.push_back({Nad, Entry, Value});
}

TValueRowsMatch MatchValueRows(const TFileValues& Values, const std::vector<int64_t>& RowNads,
                               const std::vector<std::string>& Entries) {
  TValueRowsMatch out;
  std::map<int64_t, std::vector<int>> rowsOf;
  for (size_t r = 0; r < RowNads.size(); ++r)
    if (RowNads[r] >= 0) rowsOf[RowNads[r]].push_back(static_cast<int>(r));
  std::vector<std::string> keys;
  keys.reserve(Entries.size());
  for (const auto& e : Entries) keys.push_back(EntryKey(e));

  for (const auto& [nad, values] : Values) {
    const auto it = rowsOf.find(static_cast<int64_t>(nad));
    const std::string who = "controller " + std::to_string(nad);
    if (it == rowsOf.end() || it->second.size() != 1) {
      const std::string why = it == rowsOf.end()
                                  ? " is not in the grid"
                                  : " is in " + std::to_string(it->second.size()) + " rows";
      out.Skipped.push_back(who + why + ": " + std::to_string(values.size()) + " value" +
                            (values.size() == 1 ? "" : "s") + " not applied");
      continue;
    }
    const int row = it->second.front();
    for (const TWriteValue& v : values) {
      std::vector<int> columns;
      for (size_t k = 0; k < Entries.size(); ++k)
        if (Entries[k] == v.Entry) columns.push_back(static_cast<int>(k));
      if (columns.empty()) {
        const std::string key = EntryKey(v.Entry);
        for (size_t k = 0; k < keys.size(); ++k)
          if (keys[k] == key) columns.push_back(static_cast<int>(k));
      }
      if (columns.empty()) {
        out.Skipped.push_back(who + ": " + TerminalSafe(v.Entry) + " is not configured (" + v.Where + ")");
        continue;
      }
      for (const int k : columns) out.Apply.push_back({row, k, v.Value});
    }
  }
  return out;
}

}  // namespace tavex
