#include "plc/uWritePlan.h"

#include <algorithm>
#include <map>

#include "plc/uOperations.h"
#include "vars/uValueRules.h"

namespace tavex {

std::string EntryKey(const std::string& Entry) {
  std::string name;
  int32_t index = -1;
  SplitIndexedName(Entry, name, index);
  // No index asks for element 0, as the exchange links it.
  return name + "[" + std::to_string(std::max(index, 0)) + "]";
}

namespace {

// What a cell offers to the write; empty: nothing.
std::string Offered(const TWriteCell& Cell, const TWritePlanOptions& Options) {
  if (Cell.Edited) return WireValueText(Cell.Text, Options.DecimalSeparator);
  if (Options.EditedOnly || Cell.Stale || Cell.Text == "?") return std::string();
  return WireValueText(Cell.Text, Options.DecimalSeparator);
}

}  // namespace

TRowWrite PlanRowWrite(const std::vector<std::string>& Entries, const std::vector<TWriteCell>& Cells,
                       const TWritePlanOptions& Options) {
  const size_t n = Entries.size();
  TRowWrite plan;
  plan.Values.assign(n, std::string());
  plan.FromEdit.assign(n, 0);
  // The columns of each variable, in column order.
  std::map<std::string, std::vector<size_t>> columns;
  for (size_t k = 0; k < n; ++k) columns[EntryKey(Entries[k])].push_back(k);
  for (const auto& [key, ks] : columns) {
    // The edits win; without any, the unedited texts.
    std::vector<size_t> offers;
    for (const bool edited : {true, false}) {
      for (size_t k : ks) {
        if (k >= Cells.size() || Cells[k].Edited != edited) continue;
        if (!Offered(Cells[k], Options).empty()) offers.push_back(k);
      }
      if (!offers.empty()) break;
    }
    if (offers.empty()) continue;
    const size_t first = offers.front();
    const std::string text = Offered(Cells[first], Options);
    for (size_t k : offers) {
      const std::string other = Offered(Cells[k], Options);
      if (other == text) continue;
      if (!plan.HasConflict) {
        plan.HasConflict = true;
        plan.Conflict = {first, k, Cells[first].Text, Cells[k].Text, Cells[first].Edited};
      }
      break;
    }
    plan.Values[first] = text;
    plan.FromEdit[first] = Cells[first].Edited ? 1 : 0;
  }
  if (plan.HasConflict) {
    // Nothing of a row in doubt goes out.
    plan.Values.assign(n, std::string());
    plan.FromEdit.assign(n, 0);
    return plan;
  }
  for (size_t k = 0; k < n; ++k) {
    if (plan.Values[k].empty()) continue;
    ++plan.Count;
    plan.Edited += plan.FromEdit[k];
  }
  return plan;
}

std::string ConflictText(const std::vector<std::string>& Entries, int64_t Nad, const TWriteConflict& Conflict,
                         int FirstColumn) {
  const std::string entry = Conflict.First < Entries.size() ? Entries[Conflict.First] : std::string("?");
  const std::string other = Conflict.Second < Entries.size() ? Entries[Conflict.Second] : std::string("?");
  const std::string name = entry == other ? entry : entry + " and " + other;
  return std::to_string(Nad) + ": " + name + " has two different " + (Conflict.Edited ? "edits" : "values") +
         ", in columns " + std::to_string(FirstColumn + static_cast<int>(Conflict.First)) + " and " +
         std::to_string(FirstColumn + static_cast<int>(Conflict.Second)) + " (" + Conflict.FirstText + " and " +
         Conflict.SecondText + "). Nothing was written.";
}

}  // namespace tavex
