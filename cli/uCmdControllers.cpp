#include <iostream>

#include "cli/uCliTool.h"

#include "hostutil/uEthernetUtils.h"
#include "plc/uOperations.h"

namespace tavex {

namespace {

const char* const kStepCaptions[5] = {"Network", "Tavex ping", "PLC program", "ALC file",
                                      "PLC run"};
const char* const kStepKeys[5] = {"network", "ping", "program", "alc", "run"};

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
  struct TResult {
    TTavex* Plc;
    int Steps = 0;  // steps finished
    bool Ok[5] = {};
  };
  std::vector<TResult> results;
  for (size_t i = 0; i < Plcs.size(); ++i) {
    TTavex* plc = Plcs[i];
    results.push_back({plc});
    TResult& r = results.back();
    const std::string who = NadText(*plc) + " (" + std::to_string(i + 1) + "/" +
                            std::to_string(Plcs.size()) + ")";
    Progress.Show("checking " + who + ": " + kStepCaptions[0]);
    TStatusSteps steps;
    steps.AfterStep = [&](int Step, bool Ok) {
      if (Step < 0 || Step > 4) return;
      r.Ok[Step] = Ok;
      r.Steps = Step + 1;
      StageLine(*plc, std::string(kStepCaptions[Step]) + ": " + (Ok ? "ok" : "error"));
      if (Step < 4) Progress.Show("checking " + who + ": " + kStepCaptions[Step + 1]);
    };
    // No pauses: nobody watches cells change colour here.
    if (!Guarded(plc, [&] { CheckStatus(*plc, steps); })) break;
  }
  Progress.Clear();

  TTextTable human{{"No.", "NAD", "IP"}, {}};
  TTextTable machine{{"nad", "ip"}, {}};
  for (int s = 0; s < 5; ++s) {
    human.Header.push_back(kStepCaptions[s]);
    machine.Header.push_back(kStepKeys[s]);
  }
  Json j;
  j["controllers"] = Json::array();
  for (size_t i = 0; i < results.size(); ++i) {
    const TResult& r = results[i];
    const TTavex& p = *r.Plc;
    std::vector<std::string> cells;
    Json c{{"nad", NadNumber(p)}, {"ip", p.GetIpAddress()}};
    std::vector<std::string> failed;
    for (int s = 0; s < 5; ++s) {
      if (s >= r.Steps) {
        cells.push_back("");
        continue;
      }
      const char* text = r.Ok[s] ? "ok" : "error";
      cells.push_back(text);
      c[kStepKeys[s]] = text;
      if (!r.Ok[s]) failed.push_back(kStepCaptions[s]);
    }
    std::vector<std::string> h{std::to_string(i + 1), NadText(p), p.GetIpAddress()};
    std::vector<std::string> m{NadText(p), p.GetIpAddress()};
    h.insert(h.end(), cells.begin(), cells.end());
    m.insert(m.end(), cells.begin(), cells.end());
    human.Rows.push_back(h);
    machine.Rows.push_back(m);
    j["controllers"].push_back(c);
    if (!failed.empty()) Fail(Who(p) + ": error in " + JoinList(failed) + ".");
  }
  Emit(human, machine, j);
}

void TTool::CmdVars() {
  struct TResult {
    TTavex* Plc;
    std::string Error;
    bool Stopped = false;
  };
  std::vector<TResult> results;
  for (size_t i = 0; i < Plcs.size(); ++i) {
    TTavex* plc = Plcs[i];
    results.push_back({plc, "", false});
    Progress.Show("reading the allocation file of " + NadText(*plc) + " (" +
                  std::to_string(i + 1) + "/" + std::to_string(Plcs.size()) + ")");
    const bool finished = Guarded(plc, [&] {
      if (!plc->OpenSocket()) {
        results.back().Error = kErrOpen;
        return;
      }
      struct TCloser {
        TTavex* P;
        ~TCloser() { P->CloseSocket(); }
      } closer{plc};
      if (!plc->ReadAlc()) {
        results.back().Error = kErrAlc;
        StageLine(*plc, "allocation file: not read");
      } else {
        StageLine(*plc, "allocation file: " + std::to_string(plc->AlcVars.Count()) + " variables");
      }
    }, &results.back().Error);
    if (!finished) {
      results.back().Stopped = true;
      break;
    }
  }
  Progress.Clear();

  TTextTable human{{"NAD", "Name", "Index", "Type", "Address", "Comment"}, {}};
  TTextTable machine{{"nad", "name", "index", "type", "address", "comment"}, {}};
  Json j;
  j["controllers"] = Json::array();
  for (const auto& r : results) {
    const TTavex& p = *r.Plc;
    Json vars = Json::array();
    if (r.Error.empty() && !r.Stopped) {
      for (int i = 0; i < p.AlcVars.Count(); ++i) {
        const TTavexVar* e = p.AlcVars.Items(i);
        if (e == nullptr || e->Scope != scGlobal) continue;
        const std::vector<std::string> row{NadText(p), e->Name, std::to_string(e->Index),
                                           TypeKeyword(e->VarType), HexAddress(e->GetAddress()),
                                           e->Comment};
        human.Rows.push_back(row);
        machine.Rows.push_back(row);
        vars.push_back({{"name", e->Name},
                        {"index", e->Index},
                        {"type", TypeKeyword(e->VarType)},
                        {"address", static_cast<uint32_t>(e->GetAddress())},
                        {"comment", e->Comment}});
      }
    } else if (!r.Stopped) {
      Fail(Who(p) + ": " + Sentence(r.Error));
    }
    j["controllers"].push_back({{"nad", NadNumber(p)},
                                {"ip", p.GetIpAddress()},
                                {"variables", vars},
                                {"error", r.Error.empty() ? Json(nullptr) : Json(r.Error)}});
  }
  Emit(human, machine, j);
}

}  // namespace tavex
