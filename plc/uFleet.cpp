#include "plc/uFleet.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "comm/uCodeMemory.h"
#include "hostutil/uMemoryStream.h"
#include "plc/uClock.h"
#include "plc/uStages.h"

namespace tavex {

namespace {

static_assert(kConnectNetwork == skNetwork && kConnectPing == skPing, "Connect reports the status steps");

int ClampToInt(int64_t v) {
  if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  return static_cast<int>(v);
}

// Ends the controller's part in this run: the record fails as its staged
// sequence would (the next call starts by opening the socket again).
void GiveUp(TTavex& Plc, TFleetResult& Result, const std::string& Message, TEntryReason Why) {
  Plc.Fail(Message);
  Plc.Stage = stOpen;
  Result.GivenUp = true;
  Result.Error = Message;
  // An empty message is a stop's: no fault of the controller's.
  Result.NoAnswer = Why == TEntryReason::NoAnswer && !Message.empty();
  for (auto& e : Result.Entries) {
    e.Text = "?";
    e.Reason = Why;
  }
}

// The staged sequence under the batched policy. True when the record is ready.
bool Prepare(TTavex& Plc, const TFleetOptions& Options, TFleetResult& Result, TStageLog& Log) {
  constexpr const TStagePolicy& policy = kBatchedPolicy;
  TCommunicator& comm = *Plc.Communicator;
  switch (Connect(Plc, Log)) {
    case skNetwork:
      GiveUp(Plc, Result, OpenFailureText(Plc), TEntryReason::NoAnswer);
      Result.NoAnswer = false;  // nothing was asked
      return false;
    case skPing:
      GiveUp(Plc, Result, "ping: " + NoAnswerText(comm), TEntryReason::NoAnswer);
      return false;
    default:
      break;
  }

  std::vector<uint8_t> h;
  bool unchanged = false;
  switch (ReadHeaderFields(Plc, h, unchanged, Log, policy.HeaderTries)) {
    case THeaderEnd::NoAnswer:
      GiveUp(Plc, Result, "program check: " + NoAnswerText(comm), TEntryReason::NoAnswer);
      return false;
    case THeaderEnd::NoProgram:
      GiveUp(Plc, Result, kErrProgram, TEntryReason::ControllerError);
      return false;
    case THeaderEnd::Program:
      break;
  }

  if (!unchanged || !Plc.AlcOk) {
    switch (LoadAlcVars(Plc, Options.Cache, h, Log, policy)) {  // a bad line throws
      case TAlcFetch::NoAnswer:
        GiveUp(Plc, Result, "allocation file: " + NoAnswerText(comm), TEntryReason::NoAnswer);
        return false;
      case TAlcFetch::NotFound:
        GiveUp(Plc, Result, kErrAlc, TEntryReason::ControllerError);
        return false;
      case TAlcFetch::Fetched:
      case TAlcFetch::FromCache:
        break;
    }
  } else {
    Log("allocation file: unchanged since the last run of this record");
  }

  // A stopped program is still exchanged; what else ends the turn here is
  // the policy's.
  std::string why;
  switch (ReadRunState(Plc, why, Log, policy)) {
    case TRunEnd::NoAnswer:
      if (!policy.RunStateNoAnswerFails) break;
      GiveUp(Plc, Result, "run state: " + NoAnswerText(comm), TEntryReason::NoAnswer);
      return false;
    case TRunEnd::BadAnswer:
      if (!policy.RunStateBadAnswerFails) break;
      GiveUp(Plc, Result, "run state: " + why, TEntryReason::ControllerError);
      return false;
    case TRunEnd::Running:
    case TRunEnd::Stopped:
      break;
  }
  Plc.Stage = stCheckCode;
  return true;
}

std::string Key(const TTavex& Plc, const std::string& Entry) {
  return std::to_string(Plc.Nad) + "." + Entry;
}

// How far each value to write got on the wire.
enum class TSent : uint8_t { No, Unacknowledged, Acknowledged };

// What the write part of an exchange leaves for the verdicts.
struct TWriteState {
  std::vector<TSent> Sent;          // per entry
  std::vector<uint32_t> Expected;   // per entry: the wire value its text makes
  std::vector<bool> Holds;          // per entry: the read-back equals Expected
  bool ReadBack = false;            // the final read answered

  explicit TWriteState(size_t N) : Sent(N, TSent::No), Expected(N, 0), Holds(N, false) {}
};

// Each value's verdict, once the exchange is over (or never began).
void SetVerdicts(const TFleetJob& Job, const TWriteState& State, TFleetResult& Result) {
  for (size_t k = 0; k < Result.Entries.size() && k < Job.Values.size(); ++k) {
    if (Job.Values[k].empty()) continue;
    TFleetEntry& e = Result.Entries[k];
    if (e.Reason == TEntryReason::RejectedValue || e.Reason == TEntryReason::NotTransferred) {
      e.Verdict = TWriteVerdict::Rejected;
    } else if (e.Reason == TEntryReason::UnknownEntry) {
      e.Verdict = TWriteVerdict::UnknownEntry;
    } else if (e.Reason == TEntryReason::HeldBack) {
      e.Verdict = TWriteVerdict::HeldBack;
    } else {
      switch (State.Sent[k]) {
        case TSent::Acknowledged:
          e.Verdict = !State.ReadBack ? TWriteVerdict::WrittenNotReadBack
                      : State.Holds[k] ? TWriteVerdict::Written
                                       : TWriteVerdict::WrittenDiffers;
          break;
        case TSent::Unacknowledged:
          e.Verdict = !State.ReadBack ? TWriteVerdict::NotAcknowledged
                      : State.Holds[k] ? TWriteVerdict::Landed
                                       : TWriteVerdict::NotLanded;
          break;
        case TSent::No:
          e.Verdict = TWriteVerdict::NotDone;
          break;
      }
    }
  }
}


// A write of Plc.TransferVars; each entry of Writes (request index -> entry
// index) learns how far its element got. False when a batch was not
// acknowledged (or not sent).
bool WriteTransfer(TTavex& Plc, const std::vector<std::pair<const TGadgetVar*, size_t>>& Writes,
                   TWriteState& State, TCommunicator::TWriteProgress& Progress) {
  const bool ok = Plc.Communicator->WriteVarList(&Plc.TransferVars, &Progress);
  for (int i = 0; i < Plc.TransferVars.Count(); ++i) {
    const TTavexVar* t = Plc.TransferVars.Items(i);
    const TSent sent = i < Progress.Acknowledged ? TSent::Acknowledged
                       : i < Progress.Sent      ? TSent::Unacknowledged
                                                : TSent::No;
    for (const auto& [r, k] : Writes)
      if (r->Link != nullptr && r->Link->Name == t->Name && r->Link->Index == t->Index &&
          k < State.Sent.size())
        State.Sent[k] = sent;
  }
  return ok;
}

// The clock as the six date and time variables after Requests[N] read it;
// empty when one is missing or never read.
std::string ClockText(const TGadgetVarList& Requests, size_t N, bool Write) {
  int v[6] = {};
  for (size_t i = 0; i < 6; ++i) {
    const TTavexVar* link = Requests.Items(static_cast<int>(N + i))->Link;
    if (link == nullptr || !IsTransferred(link->VarType)) return {};  // missing, or never read
    v[i] = Write ? static_cast<uint16_t>(ValueAsInteger(link->Value)) : ClampToInt(ValueAsInteger(link->Value));
  }
  return FormatRtc(v[0], v[1], v[2], v[3], v[4], v[5]);
}

// The read just before a write: what each value and the clock held. False
// when it went unanswered (or the run was stopped).
bool ReadBeforeWrite(TTavex& Plc, TGadgetVarList& All, const TGadgetVarList& Requests, size_t N,
                     const TFleetOptions& Options, TFleetResult& Result, TStageLog& Log) {
  Plc.LinkVariables(All, false);
  if (Plc.TransferVars.Count() == 0) return true;  // nothing there to read
  if (!Plc.Communicator->ReadVarList(&Plc.TransferVars)) return false;
  Plc.CopyReadValues(All);
  for (size_t k = 0; k < N && k < Result.Entries.size(); ++k)
    Result.Entries[k].Before = CellText(*Requests.Items(static_cast<int>(k)), Options.DecimalSeparator);
  Result.RtcBefore = ClockText(Requests, N, true);
  Result.ReadBefore = true;
  Log("read before the write: " + std::to_string(Plc.TransferVars.Count()) + " variable" +
      (Plc.TransferVars.Count() == 1 ? "" : "s"));
  return true;
}

void Exchange(TTavex& Plc, TFleetJob& Job, const TFleetOptions& Options, TFleetResult& Result,
              TStageLog& Log, TWriteState& State) {
  const size_t n = Job.Entries.size();
  const size_t clocks = Options.Write ? 8 : 6;
  TGadgetVarList requests;  // owns them
  for (size_t k = 0; k < n; ++k) {
    std::string name;
    int32_t index = -1;
    SplitIndexedName(Job.Entries[k], name, index);
    requests.Add(new TGadgetVar(Key(Plc, Job.Entries[k]), name, Plc.Nad, index, ""));
  }
  for (size_t i = 0; i < clocks; ++i)
    requests.Add(new TGadgetVar(Key(Plc, kClockVars[i]), kClockVars[i], Plc.Nad, -1, ""));
  TGadgetVarList all(false);
  for (int i = 0; i < requests.Count(); ++i) all.Add(requests.Items(i));

  // Which element each entry names, before any value text touches one.
  Plc.LinkVariables(all, false);
  if (Options.Write) Result.HasWeekday = requests.Items(static_cast<int>(n + 6))->Link != nullptr;

  // A write that went unanswered ends the writing (no clock write after
  // it); the read-back still follows, to tell what the controller holds.
  std::string writeError;
  if (Options.Write) {
    // Only texts the element accepts are written: a rejected text leaves
    // the element out of the write altogether.
    TGadgetVarList writes(false);
    std::vector<std::pair<const TGadgetVar*, size_t>> written;  // request, entry
    for (size_t k = 0; k < n && k < Job.Values.size(); ++k) {
      const std::string& text = Job.Values[k];
      TGadgetVar* r = requests.Items(static_cast<int>(k));
      if (text.empty()) continue;
      if (r->Link == nullptr) {
        if (Options.AllOrNothing) Result.HeldBack = true;
        continue;
      }
      TVarValue v;
      if (!ValueFromText(r->Link->VarType, text, v)) {
        Result.Entries[k].Reason =
            IsTransferred(r->Link->VarType) ? TEntryReason::RejectedValue : TEntryReason::NotTransferred;
        if (Options.AllOrNothing) Result.HeldBack = true;
        continue;
      }
      // The wire value the text makes, for comparing with the read-back.
      TTavexVar expected;
      expected.Assign(r->Link);
      expected.SetValue(v);
      State.Expected[k] = expected.GetRawValue();
      r->ValueText = text;
      r->WritePending = true;
      writes.Add(r);
      written.emplace_back(r, k);
    }
    // What the values and the clock hold before anything is written: one
    // read, only when something is to be written.
    if (Options.ReadBefore && !Result.HeldBack && (writes.Count() > 0 || Options.SyncClock)) {
      for (int i = 0; i < writes.Count(); ++i) writes.Items(i)->WritePending = false;
      if (!ReadBeforeWrite(Plc, all, requests, n, Options, Result, Log)) {
        const bool stopped = Plc.Communicator->Stopped();
        Log(stopped ? "read before the write: not sent, the run was stopped"
                    : "read before the write: no answer");
        GiveUp(Plc, Result, stopped ? std::string() : "read before the write: " + NoAnswerText(*Plc.Communicator),
               TEntryReason::NoAnswer);
        return;
      }
      for (int i = 0; i < writes.Count(); ++i) writes.Items(i)->WritePending = true;
    }
    if (Result.HeldBack) {
      Log("write: held back, a value was rejected or names no variable");
      for (int i = 0; i < writes.Count(); ++i) writes.Items(i)->WritePending = false;
      for (size_t k = 0; k < n && k < Job.Values.size(); ++k)
        if (!Job.Values[k].empty() && requests.Items(static_cast<int>(k))->Link != nullptr &&
            Result.Entries[k].Reason != TEntryReason::RejectedValue &&
            Result.Entries[k].Reason != TEntryReason::NotTransferred)
          Result.Entries[k].Reason = TEntryReason::HeldBack;
    } else if (writes.Count() > 0) {
      Plc.LinkVariables(writes, true);
      for (int i = 0; i < writes.Count(); ++i) writes.Items(i)->WritePending = false;
      TCommunicator::TWriteProgress progress;
      const bool ok = Plc.TransferVars.Count() > 0 && WriteTransfer(Plc, written, State, progress);
      Result.WriteBatches = progress.Batches;
      Result.WriteBatchesAcknowledged = progress.BatchesAcknowledged;
      if (ok) {
        Result.ValuesWritten = true;
        Log("write: " + std::to_string(writes.Count()) + " value" + (writes.Count() == 1 ? "" : "s") +
            " acknowledged" +
            (progress.Batches > 1 ? " in " + std::to_string(progress.Batches) + " batches" : ""));
      } else if (!Plc.Communicator->Stopped() && progress.Sent <= progress.Acknowledged) {
        // The next batch never left (no socket could be had for it).
        writeError = "the values' write could not be sent";
        Log("write: " + writeError);
      } else if (!Plc.Communicator->Stopped()) {
        const std::string cause = NoAnswerText(*Plc.Communicator);
        writeError = progress.Batches > 1
                         ? "batch " + std::to_string(progress.BatchesAcknowledged + 1) + " of " +
                               std::to_string(progress.Batches) +
                               " of the values' write was not acknowledged (" + cause + ")"
                         : "the values' write was not acknowledged (" + cause + ")";
        Log("write: " + writeError);
      } else {
        Log("write: stopped after " + std::to_string(progress.BatchesAcknowledged) + " of " +
            std::to_string(progress.Batches) + " batches");
      }
    }

    if (Options.SyncClock && !Result.HeldBack && writeError.empty() &&
        !Plc.Communicator->Stopped()) {
      // The time of this controller's own clock write, taken right before it.
      const TLocalTime t = Options.SyncClock();
      std::array<const TTavexVar*, kClockFields> links{};
      for (size_t i = 0; i < links.size(); ++i) links[i] = requests.Items(static_cast<int>(n + i))->Link;
      TClockPlan plan = PlanClockWrite(links, t);
      Result.ClockMissing = std::move(plan.Missing);
      Result.ClockRejected = std::move(plan.Rejected);
      TGadgetVarList clock(false);
      for (size_t i = 0; i < links.size() && plan.Write; ++i) {
        if (plan.Texts[i].empty()) continue;  // no rtc_weekday
        TGadgetVar* r = requests.Items(static_cast<int>(n + i));
        r->ValueText = plan.Texts[i];
        r->WritePending = true;
        clock.Add(r);
      }
      if (!plan.Write) {
        Result.Clock = TClockVerdict::NotSet;
        Log("clock write: not sent (" +
            std::string(Result.ClockRejected.empty() ? "missing clock variables"
                                                     : "a clock variable rejects its value") +
            ")");
      } else {
        Plc.LinkVariables(clock, true);
        for (int i = 0; i < clock.Count(); ++i) clock.Items(i)->WritePending = false;
        const uint64_t sends = Plc.Communicator->SendCount();
        const bool ok = Plc.TransferVars.Count() > 0 && Plc.Communicator->WriteVarList(&Plc.TransferVars);
        Result.ClockSet = t;
        Result.ClockSent = Plc.Communicator->SendCount() != sends;
        if (ok) {
          Result.Clock = TClockVerdict::Set;
          Log(std::string("clock write: ") + FormatRtc(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second) +
              " acknowledged" + (Result.ClockMissing.empty() ? "" : " (no rtc_weekday)"));
        } else if (Result.ClockSent) {
          Result.Clock = TClockVerdict::NotAcknowledged;
          if (!Plc.Communicator->Stopped())
            writeError = "the clock write was not acknowledged (" + NoAnswerText(*Plc.Communicator) + ")";
          Log("clock write: not acknowledged");
        }
      }
    }
  }

  // Everything read back in one go.
  Plc.LinkVariables(all, false);
  if (!Plc.Communicator->ReadVarList(&Plc.TransferVars)) {
    std::string error = writeError;
    if (Plc.Communicator->Stopped()) {
      Log("read: not sent, the run was stopped");
    } else {
      const std::string why =
          std::string(Options.Write ? "read-back: " : "read: ") + NoAnswerText(*Plc.Communicator);
      Log(Options.Write ? "read-back: no answer" : "read: no answer");
      error = error.empty() ? why : error + "; " + why;
    }
    GiveUp(Plc, Result, error.c_str(), TEntryReason::NoAnswer);
    return;
  }
  State.ReadBack = true;
  Plc.CopyReadValues(all);
  Log("read: " + std::to_string(Plc.TransferVars.Count()) + " variable" +
      (Plc.TransferVars.Count() == 1 ? "" : "s") + " in " + std::to_string(n) + " entr" +
      (n == 1 ? "y" : "ies") + " and the clock");

  for (size_t k = 0; k < n; ++k) {
    const TGadgetVar& r = *requests.Items(static_cast<int>(k));
    TFleetEntry& e = Result.Entries[k];
    e.Text = CellText(r, Options.DecimalSeparator);
    e.VarType = r.Link != nullptr ? r.Link->VarType : 0;
    if (r.Link == nullptr)
      e.Reason = TEntryReason::UnknownEntry;
    else if (!IsTransferred(r.Link->VarType))
      e.Reason = TEntryReason::NotTransferred;  // linked, but nothing was read: "?"
    else if (e.Reason != TEntryReason::RejectedValue && e.Reason != TEntryReason::HeldBack)
      e.Reason = TEntryReason::None;
    // What the controller holds now, for the verdict on a value written.
    if (r.Link != nullptr && k < State.Sent.size() && State.Sent[k] != TSent::No)
      State.Holds[k] = State.Expected[k] == r.Link->GetRawValue();
  }

  Result.Rtc = ClockText(requests, n, Options.Write);
  Plc.RtcText = Result.Rtc;
  if (!writeError.empty()) {
    // The controller answers again, but a write of this run went
    // unanswered: its error, with what the read-back shows per entry.
    Plc.Fail(kErrWriteVars);
    Result.GivenUp = true;
    Result.Error = writeError;
  }
}
}  // namespace

TClockOutcome ClockOutcome(const TFleetResult& Result) {
  TLocalTime back;
  const bool readBack = ParseRtcText(Result.Rtc, back);
  switch (Result.Clock) {
    case TClockVerdict::None:
      return Result.GivenUp ? TClockOutcome::NotDone : TClockOutcome::NotAsked;
    case TClockVerdict::NotSet:
      return TClockOutcome::NotSet;
    case TClockVerdict::NotAcknowledged:
      if (!readBack) return TClockOutcome::MayHaveBeenSet;
      return ClockReadBackHolds(Result.ClockSet, Result.Rtc) ? TClockOutcome::Landed : TClockOutcome::NotLanded;
    case TClockVerdict::Set:
      if (!readBack) return TClockOutcome::NotReadBack;
      if (!ClockReadBackHolds(Result.ClockSet, Result.Rtc)) return TClockOutcome::ReadsBackOtherwise;
      return Result.HasWeekday ? TClockOutcome::Set : TClockOutcome::SetWithoutWeekday;
  }
  return TClockOutcome::NotAsked;
}

const char* ClockOutcomeText(TClockOutcome Outcome) {
  switch (Outcome) {
    case TClockOutcome::NotAsked: return "";
    case TClockOutcome::NotDone: return "not done";
    case TClockOutcome::NotSet: return "not set";
    case TClockOutcome::MayHaveBeenSet: return "not acknowledged (may have been set)";
    case TClockOutcome::Landed: return "not acknowledged, landed";
    case TClockOutcome::NotLanded: return "not acknowledged, not landed";
    case TClockOutcome::NotReadBack: return "set, not read back";
    case TClockOutcome::ReadsBackOtherwise: return "set, reads back otherwise";
    case TClockOutcome::SetWithoutWeekday: return "set, without the weekday";
    case TClockOutcome::Set: return "set";
  }
  return "";
}

bool ClockOutcomeTook(TClockOutcome Outcome) {
  return Outcome == TClockOutcome::Set || Outcome == TClockOutcome::SetWithoutWeekday ||
         Outcome == TClockOutcome::NotReadBack || Outcome == TClockOutcome::Landed;
}

const char* VerdictText(TWriteVerdict Verdict) {
  switch (Verdict) {
    case TWriteVerdict::None:
      return "";
    case TWriteVerdict::Written:
      return "written";
    case TWriteVerdict::WrittenDiffers:
      return "written, reads back otherwise";
    case TWriteVerdict::WrittenNotReadBack:
      return "written, not read back";
    case TWriteVerdict::NotAcknowledged:
      return "not acknowledged (may have been written)";
    case TWriteVerdict::Landed:
      return "not acknowledged, landed";
    case TWriteVerdict::NotLanded:
      return "not acknowledged, not landed";
    case TWriteVerdict::HeldBack:
      return "held back";
    case TWriteVerdict::Rejected:
      return "rejected value";
    case TWriteVerdict::UnknownEntry:
      return "unknown entry";
    case TWriteVerdict::NotDone:
      return "not done";
    case TWriteVerdict::Unchanged:
      return "unchanged";
  }
  return "";
}

bool VerdictTook(TWriteVerdict Verdict) {
  return Verdict == TWriteVerdict::Written || Verdict == TWriteVerdict::WrittenNotReadBack ||
         Verdict == TWriteVerdict::Landed || Verdict == TWriteVerdict::Unchanged;
}

const char* ReasonText(TEntryReason Reason, uint8_t VarType) {
  switch (Reason) {
    case TEntryReason::None:
      return "";
    case TEntryReason::UnknownEntry:
      return "unknown entry";
    case TEntryReason::RejectedValue:
      return "rejected value";
    case TEntryReason::NoAnswer:
      return "no answer";
    case TEntryReason::ControllerError:
      return "controller error";
    case TEntryReason::HeldBack:
      return "held back";
    case TEntryReason::NotDone:
      return "not done";
    case TEntryReason::NotReadBack:
      return "written, not read back";
    case TEntryReason::NotTransferred:
      switch (VarType) {
        case vtTimer:
          return "not transferred (timer)";
        case vtCounter:
          return "not transferred (counter)";
        case vtConst:
          return "not transferred (const)";
        case vtVoid:
          return "not transferred (void)";
        case vtTimerBit:
          return "not transferred (timerbit)";
        case vtTimerLong:
          return "not transferred (timerlong)";
        case vtCounterBit:
          return "not transferred (counterbit)";
        case vtCounterLong:
          return "not transferred (counterlong)";
        default:
          return "not transferred";
      }
  }
  return "";
}

void RunPool(size_t Count, int Jobs, const std::function<void(size_t)>& Work) {
  if (Count == 0) return;
  size_t workers = Jobs <= 0 ? Count : static_cast<size_t>(Jobs);
  workers = std::min({workers, Count, static_cast<size_t>(kMaxFleetJobs)});
  std::atomic<size_t> next{0};
  auto loop = [&] {
    for (size_t i = next.fetch_add(1); i < Count; i = next.fetch_add(1)) Work(i);
  };
  if (workers == 1) {
    loop();
    return;
  }
  std::vector<std::thread> threads;
  threads.reserve(workers);
  for (size_t t = 0; t < workers; ++t) {
    try {
      threads.emplace_back(loop);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the ones running share the work
    }
  }
  if (threads.empty()) loop();
  for (auto& t : threads) t.join();
}

void SetTransport(TTavex& Plc, int TimeoutMs, int Retries) {
  TCommunicator& comm = *Plc.Communicator;
  comm.Retries = comm.DefaultRetries = std::max(1, Retries);
  comm.Timeout = comm.DefaultTimeout = std::clamp(TimeoutMs, 1, 60000);
}

bool PingHost(TTavex& Plc, const std::string& Host) {
  TCommunicator& comm = *Plc.Communicator;
  comm.SetNad(kBroadcastNad);  // whoever lives at the address answers
  Plc.SetIpAddress(Host);
  if (!Plc.OpenSocket() || !comm.SendPing()) {
    Plc.Responding = false;
    return false;
  }
  const TLastFrame answer = comm.LastFrame();
  Plc.SetNad(answer.SourceNad);  // forgets the address ...
  // ... which is from now on the one the answer came from: a host name, a
  // broadcast address or a forwarded port given as Host all end up here.
  std::string from = Host;
  if (!answer.PeerIP.empty()) {
    from = answer.PeerIP;
    if (answer.PeerPort != 0 && answer.PeerPort != kDefaultPort)
      from += ":" + std::to_string(answer.PeerPort);
  }
  Plc.SetIpAddress(from);
  Plc.Responding = true;
  Plc.Stage = stCheckCode;
  return true;
}

void ServeController(TFleetJob& Job, const TFleetOptions& Options, TFleetResult& Result) {
  Result = TFleetResult{};
  Result.Entries.assign(Job.Entries.size(), TFleetEntry{});
  if (Job.Plc == nullptr) return;
  TTavex& plc = *Job.Plc;
  plc.LastError.clear();
  TWriteState state(Job.Entries.size());
  // Whatever ends the exchange, every value to write gets its verdict.
  struct TVerdicts {
    const TFleetJob& Job;
    const TWriteState& State;
    TFleetResult& Result;
    bool Write;
    ~TVerdicts() {
      if (Write) SetVerdicts(Job, State, Result);
    }
  } verdicts{Job, state, Result, Options.Write};
  try {
    TStageLog log(Options.Stage, plc);
    const uint64_t foreign = plc.Communicator->ForeignDropped();
    if (Prepare(plc, Options, Result, log)) Exchange(plc, Job, Options, Result, log, state);
    if (log.On() && plc.Communicator->ForeignDropped() != foreign)
      log("dropped " + std::to_string(plc.Communicator->ForeignDropped() - foreign) +
          " frame(s) from another controller or address");
    // Interrupted: what the stop cut off is not done, or, for a value whose
    // write was acknowledged, written but not read back.
    if (plc.Communicator->Stopped()) {
      Result.Interrupted = true;
      for (size_t k = 0; k < Result.Entries.size(); ++k) {
        TFleetEntry& e = Result.Entries[k];
        if (e.Reason != TEntryReason::NoAnswer) continue;
        const TSent sent = k < Job.Values.size() && !Job.Values[k].empty() ? state.Sent[k] : TSent::No;
        // A batch sent without acknowledgement keeps its "no answer".
        if (sent == TSent::Acknowledged) e.Reason = TEntryReason::NotReadBack;
        else if (sent == TSent::No) e.Reason = TEntryReason::NotDone;
      }
    }
  } catch (const std::exception& e) {
    // A bad allocation line: this controller's error, nobody else's.
    plc.LastError = e.what();
    Result.GivenUp = true;
    Result.Thrown = true;
    Result.Error = e.what();
    Result.Rtc.clear();
    for (auto& x : Result.Entries) x = {"?", TEntryReason::ControllerError, 0, TWriteVerdict::None, {}};
  } catch (...) {
    plc.LastError = "Unexpected error";
    Result.GivenUp = true;
    Result.Thrown = true;
    Result.Error = plc.LastError;
    Result.Rtc.clear();
    for (auto& x : Result.Entries) x = {"?", TEntryReason::ControllerError, 0, TWriteVerdict::None, {}};
  }
}

void RunFleet(std::vector<TFleetJob>& Jobs, const TFleetOptions& Options,
              std::vector<TFleetResult>& Results) {
  Results.assign(Jobs.size(), TFleetResult{});
  std::mutex progress;
  size_t done = 0;
  RunPool(Jobs.size(), Options.Jobs, [&](size_t i) {
    ServeController(Jobs[i], Options, Results[i]);
    if (Options.Progress) {
      std::lock_guard<std::mutex> g(progress);
      Options.Progress(++done, Jobs.size());
    }
  });
}

// --- Status check and allocation file -------------------------------------------------

bool TStatusResult::Failed() const {
  return std::any_of(std::begin(Steps), std::end(Steps),
                     [](const TStatusStep& s) { return s.State == TStepState::Error; });
}

void ServeStatus(TTavex& Plc, const TFleetOptions& Options, TStatusResult& Result,
                 const TStatusStepEnded& StepEnded) {
  Result = TStatusResult{};
  Plc.LastError.clear();
  TCommunicator& comm = *Plc.Communicator;
  TStageLog log(Options.Stage, Plc);
  const uint64_t foreign = comm.ForeignDropped();
  int step = skNetwork;  // the step under way
  bool ready = false;    // the record may go on to an exchange
  auto ended = [&](int s) {
    if (StepEnded) StepEnded(s, Result.Steps[s]);
  };
  auto ok = [&](int s) {
    Result.Steps[s].State = TStepState::Ok;
    ended(s);
  };
  auto error = [&](int s, std::string Cause) {
    Result.Steps[s].State = TStepState::Error;
    Result.Steps[s].Cause = std::move(Cause);
    ended(s);
  };
  // A failed transaction ends the check: nothing more is sent. One that
  // the stop refused is no fault of the controller's: not reached.
  auto noAnswer = [&](int s) {
    if (comm.Stopped())
      Result.Interrupted = true;
    else {
      Result.Steps[s].NoAnswer = true;
      error(s, NoAnswerText(comm));
    }
  };
  try {
    [&] {
      // Connect's two stages one by one, so that each step is told as it ends.
      if (Plc.Stage == stIdle || Plc.Stage == stFailed) Plc.Stage = stOpen;
      if (Plc.Stage == stOpen && !OpenStage(Plc, log)) return error(skNetwork, OpenFailureText(Plc));
      ok(skNetwork);
      step = skPing;
      if (Plc.Stage == stConnect && !PingStage(Plc, log)) return noAnswer(skPing);
      ok(skPing);

      step = skProgram;
      std::vector<uint8_t> h;
      bool unchanged = false;
      const THeaderEnd header = ReadHeaderFields(Plc, h, unchanged, log, kBatchedPolicy.HeaderTries);
      if (header == THeaderEnd::NoAnswer) return noAnswer(skProgram);
      if (header == THeaderEnd::NoProgram)
        error(skProgram, kNoProgramCause);
      else
        ok(skProgram);

      // Without a program the header names no directory: no request is
      // needed to know there is no allocation file.
      step = skAlc;
      if (header == THeaderEnd::Program && unchanged && Plc.AlcOk) {
        log("allocation file: unchanged since the last run of this record");
        ok(skAlc);
      } else {
        // A bad line is this step's error; the controller still answers,
        // so its run state is asked all the same.
        std::optional<TAlcFetch> fetched;
        try {
          fetched = LoadAlcVars(Plc, Options.Cache, h, log, kBatchedPolicy);
        } catch (const std::exception& e) {
          error(skAlc, e.what());
        }
        if (fetched == TAlcFetch::NoAnswer) return noAnswer(skAlc);
        if (fetched == TAlcFetch::NotFound) error(skAlc, kNoAlcCause);
        if (fetched == TAlcFetch::Fetched || fetched == TAlcFetch::FromCache) ok(skAlc);
      }

      step = skRun;
      std::string why;
      switch (ReadRunState(Plc, why, log, kBatchedPolicy)) {
        case TRunEnd::NoAnswer:
          return noAnswer(skRun);
        case TRunEnd::BadAnswer:
          return error(skRun, why);
        case TRunEnd::Stopped:
          error(skRun, kStoppedCause);
          break;
        case TRunEnd::Running:
          ok(skRun);
          break;
      }
      ready = header == THeaderEnd::Program && Plc.AlcOk;
    }();
  } catch (const std::exception& e) {
    error(step, e.what());
  } catch (...) {
    error(step, "Unexpected error");
  }
  LogForeign(Plc, foreign, log);
  if (ready) {
    Plc.Stage = stCheckCode;
    return;
  }
  // As the staged sequence leaves a failed record: the next call opens the
  // socket again.
  std::string why = "interrupted";
  for (const TStatusStep& s : Result.Steps)
    if (s.State == TStepState::Error) {
      why = s.Cause;
      break;
    }
  Plc.Fail(why);
  Plc.Stage = stOpen;
}

void ServeAlc(TTavex& Plc, const TFleetOptions& Options, TAlcResult& Result) {
  Result = TAlcResult{};
  Plc.LastError.clear();
  TCommunicator& comm = *Plc.Communicator;
  TStageLog log(Options.Stage, Plc);
  const uint64_t foreign = comm.ForeignDropped();
  auto fail = [&](std::string Error) {
    Plc.Fail(Error);
    Plc.Stage = stOpen;
    Result.Error = std::move(Error);
    Result.Interrupted = comm.Stopped();
  };
  try {
    [&] {
      switch (Connect(Plc, log)) {
        case skNetwork:
          return fail(OpenFailureText(Plc));
        case skPing:
          return fail("ping: " + NoAnswerText(comm));
        default:
          break;
      }
      std::vector<uint8_t> h;
      bool unchanged = false;
      switch (ReadHeaderFields(Plc, h, unchanged, log, kBatchedPolicy.HeaderTries)) {
        case THeaderEnd::NoAnswer:
          return fail("program check: " + NoAnswerText(comm));
        case THeaderEnd::NoProgram:
          return fail(kErrProgram);
        case THeaderEnd::Program:
          break;
      }
      if (unchanged && Plc.AlcOk) {
        log("allocation file: unchanged since the last run of this record");
      } else {
        switch (LoadAlcVars(Plc, Options.Cache, h, log, kBatchedPolicy)) {
          case TAlcFetch::NoAnswer:
            return fail("allocation file: " + NoAnswerText(comm));
          case TAlcFetch::NotFound:
            return fail(kErrAlc);
          case TAlcFetch::FromCache:
            Result.FromCache = true;
            break;
          case TAlcFetch::Fetched:
            break;
        }
      }
      Result.Loaded = true;
      // Ready for the staged sequence, which asks the run state itself.
      Plc.Stage = stCheckCode;
    }();
  } catch (const std::exception& e) {
    fail(e.what());
    Result.Thrown = true;
  } catch (...) {
    fail("Unexpected error");
    Result.Thrown = true;
  }
  LogForeign(Plc, foreign, log);
}

namespace {

// Serve(record, Options, result) for every record on the worker pool, with
// the progress callback after each.
template <class TResult, class TServe>
void ServeEach(const std::vector<TTavex*>& Plcs, const TFleetOptions& Options,
               std::vector<TResult>& Results, TServe Serve) {
  Results.assign(Plcs.size(), TResult{});
  std::mutex progress;
  size_t done = 0;
  RunPool(Plcs.size(), Options.Jobs, [&](size_t i) {
    if (Plcs[i] != nullptr) Serve(*Plcs[i], Options, Results[i]);
    if (Options.Progress) {
      std::lock_guard<std::mutex> g(progress);
      Options.Progress(++done, Plcs.size());
    }
  });
}

}  // namespace

void RunStatus(const std::vector<TTavex*>& Plcs, const TFleetOptions& Options,
               std::vector<TStatusResult>& Results) {
  ServeEach(Plcs, Options, Results, [](TTavex& Plc, const TFleetOptions& O, TStatusResult& R) {
    ServeStatus(Plc, O, R);
  });
}

void RunAlc(const std::vector<TTavex*>& Plcs, const TFleetOptions& Options,
            std::vector<TAlcResult>& Results) {
  ServeEach(Plcs, Options, Results, ServeAlc);
}

}  // namespace tavex
