#include <iostream>

#include "cli/uCliTool.h"

#include "cli/uRowOrder.h"
#include "hostutil/uEthernetUtils.h"
#include "plc/uAlcCache.h"
#include "plc/uFleet.h"
#include "plc/uOperations.h"

namespace tavex {

namespace {

const char* const kStepCaptions[5] = {"Network", "Tavex ping", "PLC program", "ALC file",
                                      "PLC run"};
const char* const kStepKeys[5] = {"network", "ping", "program", "alc", "run"};
static_assert(kStatusSteps == 5, "a caption and a key for each step");

// A controller whose check the stop cut short, with nothing failed before.
constexpr char kNotDoneInterrupted[] = "not done (interrupted)";

// How status and vars serve the controllers: --jobs, and the allocation
// cache unless --no-cache (Cache must outlive the run). The transport's
// --timeout and --retries are the records' own (Configure).
TFleetOptions ServeOptions(const TOptions& O, const TAlcCache& Cache) {
  TFleetOptions options;
  options.Jobs = O.Jobs;
  options.Cache = O.NoCache ? nullptr : &Cache;
  options.DecimalSeparator = kDecimal;
  return options;
}

// The served records and the controllers asked for but not served, as one
// list in output order: a position below Plcs.size() is a record, the
// others are Missing[position - Plcs.size()].
std::vector<size_t> OutputOrder(const std::vector<TTavex*>& Plcs, const std::vector<TAskedMissing>& Missing) {
  std::vector<TRowKey> keys;
  for (const TTavex* p : Plcs) keys.push_back({true, NadNumber(*p), p->GetIpAddress()});
  for (const TAskedMissing& a : Missing) keys.push_back({a.NadKnown, a.Nad, a.Address});
  return RowOrder(keys);
}

// A controller asked for and not served: its NAD (null when it was asked
// by address only and nobody answered), where it was asked (null when by
// NAD only) and why.
Json MissingJson(const TAskedMissing& A) {
  return {{"nad", A.NadKnown ? Json(A.Nad) : Json(nullptr)},
          {"ip", A.Address.empty() ? Json(nullptr) : Json(A.Address)},
          {"error", A.Error}};
}

}  // namespace

void TTool::CmdAdapters() {
  TEthernetAdapterInfoList list;
  list.Refresh();
  // The adapter used without --adapter, as the desktop tool picks it.
  TEthernetAdapterInfo own;
  const std::string defaultID = own.AssignFromLocalHost() ? own.ID : std::string();
  TTextTable human{{"ID", "Description", "IP", "Mask", "Broadcast", "Default"}, {}};
  TTextTable machine{{"id", "description", "ip", "mask", "broadcast", "default"}, {}};
  Json j;
  j["adapters"] = Json::array();
  for (int i = 0; i < list.Count(); ++i) {
    const TEthernetAdapterInfo* a = list.Items(i);
    const bool isDefault = !defaultID.empty() && a->ID == defaultID;
    std::vector<std::string> row{a->ID, a->Description, a->IP, a->Mask, a->Broadcast};
    human.Rows.push_back(row);
    human.Rows.back().push_back(isDefault ? "*" : "");
    machine.Rows.push_back(row);
    machine.Rows.back().push_back(isDefault ? "true" : "false");
    j["adapters"].push_back({{"id", a->ID},
                             {"description", a->Description},
                             {"ip", a->IP},
                             {"mask", a->Mask},
                             {"broadcast", a->Broadcast},
                             {"default", isDefault}});
  }
  Emit(human, machine, j);
}

void TTool::CmdDetect() {
  std::vector<TRowResult> rows;
  for (TTavex* p : Plcs) {
    rows.push_back({});
    rows.back().Plc = p;
  }
  AddMissingRows(rows, [](const TAskedMissing&) { return std::vector<std::string>{}; }, false);
  // The error column only when a controller asked for is missing: what a
  // healthy detect prints stays the inventory that --hosts takes.
  const bool errors = !Missing.empty();
  TTextTable human{{"No.", "NAD", "IP"}, {}};
  TTextTable machine{{"nad", "ip"}, {}};
  if (errors) {
    human.Header.push_back("Error");
    machine.Header.push_back("error");
  }
  Json j;
  j["controllers"] = Json::array();
  for (size_t i = 0; i < rows.size(); ++i) {
    const TRowResult& r = rows[i];
    const std::string nad = RowNad(r), ip = RowIp(r);
    human.Rows.push_back({std::to_string(i + 1), nad, ip});
    machine.Rows.push_back({nad, ip});
    if (errors) {
      human.Rows.back().push_back(r.Error);
      machine.Rows.back().push_back(r.Error);
    }
    Json c{{"nad", RowNadJson(r)}, {"ip", ip.empty() ? Json(nullptr) : Json(ip)}};
    if (r.Plc == nullptr) c["error"] = r.Error;
    j["controllers"].push_back(c);
  }
  Emit(human, machine, j);
}

void TTool::CmdStatus() {
  TAlcCache cache(O.NoCache ? std::string() : TAlcCache::DefaultFolder());
  WatchCache(cache);
  TFleetOptions options = ServeOptions(O, cache);
  if (O.Verbose) options.Stage = [this](const TTavex& Plc, const std::string& Line) { StageLine(Plc, Line); };
  options.Progress = [&](size_t Done, size_t Total) {
    Progress.Show("checking: " + std::to_string(Done) + "/" + std::to_string(Total) + " controllers done");
  };
  Progress.Show("checking: 0/" + std::to_string(Plcs.size()) + " controllers done");
  std::vector<TStatusResult> results;
  RunStatus(Plcs, options, results);
  Progress.Clear();
  WarnCache(cache);

  // What went wrong, step by step: "PLC program: no program; ALC file: no
  // allocation file". Steps not reached are left out: their cells are empty.
  std::vector<std::string> errors(results.size());
  bool anyError = !Missing.empty();
  for (size_t i = 0; i < results.size(); ++i) {
    const TStatusResult& r = results[i];
    std::string& e = errors[i];
    for (int s = 0; s < kStatusSteps; ++s)
      if (r.Steps[s].State == TStepState::Error)
        e += (e.empty() ? "" : "; ") + std::string(kStepCaptions[s]) + ": " + r.Steps[s].Cause;
    if (e.empty() && r.Interrupted) e = kNotDoneInterrupted;
    anyError = anyError || !e.empty();
  }

  TTextTable human{{"No.", "NAD", "IP"}, {}};
  TTextTable machine{{"nad", "ip"}, {}};
  for (int s = 0; s < kStatusSteps; ++s) {
    human.Header.push_back(kStepCaptions[s]);
    machine.Header.push_back(kStepKeys[s]);
  }
  if (anyError) human.Header.push_back("Error");
  machine.Header.push_back("error");
  Json j;
  j["controllers"] = Json::array();
  const std::vector<size_t> order = OutputOrder(Plcs, Missing);
  for (size_t n = 0; n < order.size(); ++n) {
    std::vector<std::string> h{std::to_string(n + 1)};
    std::vector<std::string> m;
    Json c;
    if (order[n] >= Plcs.size()) {
      // Asked for, not served: no step was checked.
      const TAskedMissing& a = Missing[order[n] - Plcs.size()];
      m = {a.NadKnown ? std::to_string(a.Nad) : std::string(), a.Address};
      m.resize(2 + kStatusSteps);
      m.push_back(a.Error);
      c = MissingJson(a);
    } else {
      const TStatusResult& r = results[order[n]];
      const TTavex& p = *Plcs[order[n]];
      const std::string& error = errors[order[n]];
      m = {NadText(p), p.GetIpAddress()};
      c = {{"nad", NadNumber(p)}, {"ip", p.GetIpAddress()}};
      std::vector<std::string> failed, notChecked;
      for (int s = 0; s < kStatusSteps; ++s) {
        const TStatusStep& step = r.Steps[s];
        if (step.State == TStepState::NotReached) {
          m.push_back("");
          notChecked.push_back(kStepCaptions[s]);
          continue;
        }
        const bool ok = step.State == TStepState::Ok;
        m.push_back(ok ? "ok" : "error");
        c[kStepKeys[s]] = ok ? "ok" : "error";
        if (!ok) failed.push_back(std::string(kStepCaptions[s]) + " (" + step.Cause + ")");
      }
      m.push_back(error);
      c["error"] = error.empty() ? Json(nullptr) : Json(error);
      // The steps after a controller stopped answering were not asked; after
      // an interruption the summary says what was not done.
      if (!failed.empty())
        Fail(Who(p) + ": error in " + JoinList(failed) +
             (notChecked.empty() || r.Interrupted ? "" : "; not checked: " + JoinList(notChecked)) + ".");
    }
    h.insert(h.end(), m.begin(), m.end());
    if (!anyError) h.pop_back();
    human.Rows.push_back(h);
    machine.Rows.push_back(m);
    j["controllers"].push_back(c);
  }
  Emit(human, machine, j);
}

void TTool::CmdVars() {
  TAlcCache cache(O.NoCache ? std::string() : TAlcCache::DefaultFolder());
  WatchCache(cache);
  TFleetOptions options = ServeOptions(O, cache);
  if (O.Verbose) options.Stage = [this](const TTavex& Plc, const std::string& Line) { StageLine(Plc, Line); };
  options.Progress = [&](size_t Done, size_t Total) {
    Progress.Show("reading allocation files: " + std::to_string(Done) + "/" + std::to_string(Total) +
                  " controllers done");
  };
  Progress.Show("reading allocation files: 0/" + std::to_string(Plcs.size()) + " controllers done");
  std::vector<TAlcResult> results;
  RunAlc(Plcs, options, results);
  Progress.Clear();
  WarnCache(cache);

  std::vector<std::string> errors(results.size());
  bool anyError = !Missing.empty();
  for (size_t i = 0; i < results.size(); ++i) {
    if (results[i].Interrupted)
      errors[i] = kNotDoneInterrupted;
    else if (!results[i].Loaded)
      errors[i] = results[i].Error.empty() ? std::string("Unexpected error") : results[i].Error;
    anyError = anyError || !errors[i].empty();
  }

  TTextTable human{{"NAD", "Name", "Index", "Type", "Address", "Comment"}, {}};
  TTextTable machine{{"nad", "name", "index", "type", "address", "comment"}, {}};
  if (anyError) human.Header.push_back("Error");
  machine.Header.push_back("error");
  // A controller without variables to list has a row of its own that says why.
  auto errorRow = [&](const std::string& Nad, const std::string& Error) {
    std::vector<std::string> row{Nad, "", "", "", "", "", Error};
    human.Rows.push_back(row);
    machine.Rows.push_back(row);
  };
  Json j;
  j["controllers"] = Json::array();
  for (const size_t at : OutputOrder(Plcs, Missing)) {
    if (at >= Plcs.size()) {
      const TAskedMissing& a = Missing[at - Plcs.size()];
      // Without a NAD only its address tells which one it is.
      errorRow(a.NadKnown ? std::to_string(a.Nad) : std::string(),
               a.NadKnown || a.Address.empty() ? a.Error : a.Address + ": " + a.Error);
      Json c = MissingJson(a);
      c.erase("error");
      c["variables"] = Json::array();
      c["error"] = a.Error;
      j["controllers"].push_back(c);
      continue;
    }
    const TTavex& p = *Plcs[at];
    const std::string& error = errors[at];
    Json vars = Json::array();
    if (error.empty()) {
      for (int i = 0; i < p.AlcVars.Count(); ++i) {
        const TTavexVar* e = p.AlcVars.Items(i);
        if (e == nullptr || e->Scope != scGlobal) continue;
        const std::vector<std::string> row{NadText(p), e->Name, std::to_string(e->Index),
                                           TypeKeyword(e->VarType), HexAddress(e->GetAddress()),
                                           e->Comment, ""};
        human.Rows.push_back(row);
        machine.Rows.push_back(row);
        vars.push_back({{"name", e->Name},
                        {"index", e->Index},
                        {"type", TypeKeyword(e->VarType)},
                        {"address", static_cast<uint32_t>(e->GetAddress())},
                        {"comment", e->Comment}});
      }
    } else {
      errorRow(NadText(p), error);
      if (!results[at].Interrupted) Fail(Who(p) + ": " + Sentence(TerminalSafe(error)));
    }
    j["controllers"].push_back({{"nad", NadNumber(p)},
                                {"ip", p.GetIpAddress()},
                                {"variables", vars},
                                {"error", error.empty() ? Json(nullptr) : Json(error)}});
  }
  if (!anyError)
    for (auto& row : human.Rows) row.pop_back();
  Emit(human, machine, j);
}

}  // namespace tavex
