// diff, and the read before write --from --changed-only: the values of a
// saved rows file against what the controllers hold now, compared on the
// wire (uValueDiff).
#include <algorithm>
#include <iostream>

#include "cli/uCliTool.h"
#include "cli/uValueDiff.h"

namespace tavex {

namespace {

// An entry whose read failed with its controller: nothing of it is known.
bool ControllerFailed(TEntryReason Reason) {
  return Reason == TEntryReason::NoAnswer || Reason == TEntryReason::ControllerError ||
         Reason == TEntryReason::NotDone;
}

std::string Plural(size_t N, const std::string& One, const std::string& Many) {
  return std::to_string(N) + " " + (N == 1 ? One : Many);
}

}  // namespace

void TTool::CmdDiff() {
  const auto savedOf = [this](uint64_t Nad) -> const std::vector<TWriteValue>* {
    const auto it = Nad <= UINT32_MAX ? FileValues.find(static_cast<uint32_t>(Nad)) : FileValues.end();
    return it == FileValues.end() ? nullptr : &it->second;
  };
  // One read per controller of the entries the file names for it.
  std::vector<TRowResult> rows;
  for (TTavex* plc : Plcs) {
    const std::vector<TWriteValue>* saved = savedOf(NadNumber(*plc));
    if (saved == nullptr) continue;
    rows.push_back({});
    rows.back().Plc = plc;
    for (const auto& v : *saved) rows.back().Entries.push_back(v.Entry);
  }
  RunFleetRows(rows, {}, false);
  AddMissingRows(rows, [&](const TAskedMissing& M) {
    std::vector<std::string> out;
    if (const std::vector<TWriteValue>* saved = M.NadKnown ? savedOf(M.Nad) : nullptr)
      for (const auto& v : *saved) out.push_back(v.Entry);
    return out;
  }, false);

  TTextTable human{{"NAD", "IP", "Entry", "State", "Saved", "Now"}, {}};
  TTextTable machine{{"nad", "ip", "entry", "state", "saved", "now", "reason"}, {}};
  Json j;
  j["controllers"] = Json::array();
  size_t values = 0, equal = 0, differs = 0, missing = 0, differing = 0;
  bool anyReason = false;
  for (const TRowResult& r : rows) {
    const std::string nad = RowNad(r), ip = RowIp(r);
    const std::vector<TWriteValue>* saved =
        r.Plc != nullptr ? savedOf(NadNumber(*r.Plc))
                         : r.Asked != nullptr && r.Asked->NadKnown ? savedOf(r.Asked->Nad) : nullptr;
    Json entries = Json::array();
    bool differsHere = false;
    for (size_t k = 0; k < r.Entries.size() && k < r.Texts.size(); ++k) {
      const std::string savedText = saved != nullptr && k < saved->size() ? (*saved)[k].Value : std::string();
      TDiffResult d;
      if (r.Plc == nullptr) {
        d.Reason = r.Error;  // asked for, not served
      } else {
        const TEntryReason read = k < r.Reasons.size() ? r.Reasons[k] : TEntryReason::NoAnswer;
        d = CompareSaved(FindElement(*r.Plc, r.Entries[k]), read, k < r.Types.size() ? r.Types[k] : 0,
                         savedText, kDecimal);
        // The controller's own error says more than "no answer".
        if (d.State == TDiffState::Missing && ControllerFailed(read) && !r.Error.empty()) d.Reason = r.Error;
      }
      ++values;
      switch (d.State) {
        case TDiffState::Equal:
          ++equal;
          break;
        case TDiffState::Differs:
          ++differs;
          differsHere = true;
          break;
        case TDiffState::Missing:
          ++missing;
          break;
      }
      anyReason = anyReason || !d.Reason.empty();
      const char* state = DiffStateText(d.State);
      human.Rows.push_back({nad, ip, r.Entries[k], state, savedText, r.Texts[k], d.Reason});
      machine.Rows.push_back({nad, ip, r.Entries[k], state, savedText, r.Texts[k], d.Reason});
      entries.push_back({{"entry", r.Entries[k]},
                         {"state", state},
                         {"saved", ValueJson(d.SavedText.empty() ? savedText : d.SavedText)},
                         {"saved_text", savedText},
                         {"now", ValueJson(r.Texts[k])},
                         {"reason", d.Reason.empty() ? Json(nullptr) : Json(d.Reason)}});
    }
    // Asked by address only, and nobody answered: the file cannot say
    // which of its controllers that was; one row tells it.
    if (r.Plc == nullptr && r.Entries.empty()) {
      anyReason = true;
      human.Rows.push_back({nad, ip, "", DiffStateText(TDiffState::Missing), "", "", r.Error});
      machine.Rows.push_back({nad, ip, "", DiffStateText(TDiffState::Missing), "", "", r.Error});
    }
    differing += differsHere ? 1 : 0;
    j["controllers"].push_back({{"nad", RowNadJson(r)},
                                {"ip", ip.empty() ? Json(nullptr) : Json(ip)},
                                {"entries", entries},
                                {"error", r.Error.empty() ? Json(nullptr) : Json(r.Error)}});
    if (r.Plc != nullptr && !r.Error.empty()) Fail(Who(*r.Plc) + ": " + Sentence(TerminalSafe(r.Error)));
  }
  j["summary"] = {{"values", values}, {"equal", equal}, {"differs", differs}, {"missing", missing}};
  if (anyReason) human.Header.push_back("Reason");
  Emit(human, machine, j);

  // One line for the whole comparison: "3 of 40 values differ on 2
  // controllers; 1 missing; 1001 did not answer."
  if (values == 0 && Missing.empty()) {
    Fail("Nothing was compared: " + Quoted(O.FromFile) + " names none of the controllers served.");
    return;
  }
  if (differs == 0 && missing == 0 && Missing.empty()) {
    if (!O.Quiet)
      std::cerr << "tavexctl: All " << Plural(values, "value", "values") << " equal on "
                << Plural(rows.size(), "controller", "controllers") << ".\n";
    return;
  }
  std::string line = std::to_string(differs) + " of " + Plural(values, "value", "values") +
                     (differs == 1 ? " differs" : " differ");
  if (differing > 0) line += " on " + Plural(differing, "controller", "controllers");
  if (missing > 0) line += "; " + std::to_string(missing) + " missing";
  std::vector<std::string> silent, other;
  for (const TAskedMissing& m : Missing) {
    const std::string who = m.NadKnown ? std::to_string(m.Nad) : m.Address;
    if (m.Error.rfind("did not answer", 0) == 0) silent.push_back(who);
    else other.push_back(who + " " + m.Error);
  }
  if (!silent.empty()) line += "; " + JoinList(silent) + " did not answer";
  for (const auto& o : other) line += "; " + TerminalSafe(o);
  Fail(line + ".");
}

void TTool::KeepChanged(std::vector<TRowResult>& Rows, std::vector<std::vector<std::string>>& Values,
                        TChanged& Changed) {
  RunFleetRows(Rows, {}, false);
  std::vector<TRowResult> keep;
  std::vector<std::vector<std::string>> keepValues;
  for (size_t i = 0; i < Rows.size() && i < Values.size(); ++i) {
    TRowResult& r = Rows[i];
    std::vector<std::string>& v = Values[i];
    std::vector<bool> equal(r.Entries.size(), false);
    bool failed = !r.Error.empty();
    size_t left = 0;
    for (size_t k = 0; k < r.Entries.size() && k < v.size(); ++k) {
      ++Changed.Values;
      const TEntryReason read = k < r.Reasons.size() ? r.Reasons[k] : TEntryReason::NoAnswer;
      failed = failed || ControllerFailed(read);
      const TDiffResult d = CompareSaved(FindElement(*r.Plc, r.Entries[k]), read,
                                         k < r.Types.size() ? r.Types[k] : 0, v[k], kDecimal);
      // Only what was read and found equal stays out of the write: an
      // unknown entry or a refused value still goes to the write, which
      // then holds the whole controller back as it would without
      // --changed-only.
      if (d.State == TDiffState::Equal) {
        equal[k] = true;
        ++Changed.Unchanged;
        v[k].clear();
      } else {
        ++left;
      }
    }
    Changed.Equal[r.Plc] = equal;
    // No write at all to a controller that holds every value already
    // (unless its clock is to be set), nor to one whose read failed: what
    // it holds is not known, and it was given up.
    if (!O.DryRun && (failed || (left == 0 && !O.SyncClock))) {
      r.Verdicts.assign(r.Entries.size(), TWriteVerdict::NotDone);
      for (size_t k = 0; k < r.Entries.size(); ++k) {
        if (equal[k]) r.Verdicts[k] = TWriteVerdict::Unchanged;
        else r.NotWritten.push_back(r.Entries[k]);
      }
      if (O.SyncClock) r.Clock = "not done";
      Changed.SetAside.push_back(std::move(r));
      continue;
    }
    keep.push_back(std::move(r));
    keepValues.push_back(std::move(v));
  }
  Rows = std::move(keep);
  Values = std::move(keepValues);
  if (O.DryRun && Changed.Unchanged > 0 && !O.Quiet)
    std::cerr << "tavexctl: " << Changed.Unchanged << " of " << Plural(Changed.Values, "value", "values")
              << (Changed.Unchanged == 1 ? " is" : " are")
              << " unchanged (the controllers hold them already) and would not be written.\n";
}

void TTool::MarkUnchanged(std::vector<TRowResult>& Rows, TChanged& Changed) {
  for (TRowResult& r : Rows) {
    const auto it = Changed.Equal.find(r.Plc);
    if (it == Changed.Equal.end()) continue;
    for (size_t k = 0; k < it->second.size() && k < r.Verdicts.size(); ++k)
      if (it->second[k]) r.Verdicts[k] = TWriteVerdict::Unchanged;
  }
  for (TRowResult& r : Changed.SetAside) Rows.push_back(std::move(r));
  Changed.SetAside.clear();
  if (Changed.Unchanged > 0 && !O.Quiet)
    std::cerr << "tavexctl: " << Changed.Unchanged << " of " << Plural(Changed.Values, "value", "values")
              << (Changed.Unchanged == 1 ? " was" : " were")
              << " unchanged (the controllers held them already) and not written.\n";
}

}  // namespace tavex
