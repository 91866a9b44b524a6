#include "plc/uFleet.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

#include "comm/hCodeMemory.h"
#include "hostutil/uMemoryStream.h"
#include "hostutil/uZipFile.h"

namespace tavex {

namespace {

static_assert(kHeaderFieldsSize == hdrDirCount + 2, "the header fields end with the entry count");

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool ValidHeader(const uint8_t* h, size_t n) {
  return n >= 4 && Get16(h + hdrWord0) == 0 && Get16(h + hdrMagic) == kCodeHeaderMagic;
}

// The first member's text of an archive, with the zip reader's checks (CRC,
// damaged stream, bounds). False when there is no such text.
bool ArchiveText(const std::vector<uint8_t>& Bytes, std::string& Text) {
  Text.clear();
  TMemoryStream stream;
  stream.Write(Bytes.data(), Bytes.size());
  stream.SetPosition(0);
  TZipFile zip;
  zip.LoadFromStream(stream);
  if (zip.Count() <= 0) return false;
  try {
    zip.ExtractFile(0, Text);
  } catch (const Exception&) {
    Text.clear();
  }
  return !Text.empty();
}

int ClampToInt(int64_t v) {
  if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  return static_cast<int>(v);
}

// Tells Options.Stage how each stage of one controller went, with the time
// since the previous stage ended.
class TStageLog {
 public:
  TStageLog(const TFleetOptions& Options, const TTavex& Plc) : O_(Options), Plc_(Plc) {}
  bool On() const { return static_cast<bool>(O_.Stage); }
  void operator()(const std::string& Line) {
    if (!O_.Stage) return;
    const auto now = std::chrono::steady_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - Start_).count();
    Start_ = now;
    O_.Stage(Plc_, Line + " (" + std::to_string(ms) + " ms)");
  }

 private:
  const TFleetOptions& O_;
  const TTavex& Plc_;
  std::chrono::steady_clock::time_point Start_ = std::chrono::steady_clock::now();
};

std::string Hex32(uint32_t v) {
  char buf[12];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// Ends the controller's part in this run: the record fails as its staged
// sequence would (the next call starts by opening the socket again).
void GiveUp(TTavex& Plc, TFleetResult& Result, const char* Message, TEntryReason Why) {
  Plc.Fail(Message);
  Plc.Stage = stOpen;
  Result.GivenUp = true;
  Result.Error = Message;
  for (auto& e : Result.Entries) {
    e.Text = "?";
    e.Reason = Why;
  }
}

// The staged sequence, each check once. True when the record is ready.
bool Prepare(TTavex& Plc, const TFleetOptions& Options, TFleetResult& Result, TStageLog& Log) {
  if (Plc.Stage == stIdle || Plc.Stage == stFailed) Plc.Stage = stOpen;
  if (Plc.Stage == stOpen) {
    if (!Plc.OpenSocket()) {
      Log("socket: cannot open one on the adapter");
      GiveUp(Plc, Result, kErrOpen, TEntryReason::NoAnswer);
      return false;
    }
    Log("socket: open");
    Plc.Stage = stConnect;
  }
  if (Plc.Stage == stConnect) {
    if (!Plc.Ping()) {
      Log("ping: no answer");
      GiveUp(Plc, Result, kErrPing, TEntryReason::NoAnswer);
      return false;
    }
    Log("ping: answered");
    Plc.Stage = stCheckCode;
  }

  // Program, stamp and the directory's place from one read of the header
  // fields (a page request like the header start's, a few bytes longer).
  TCommunicator& comm = *Plc.Communicator;
  TMemoryStream header;
  if (!comm.ReadMemory(kCodeHeaderAddress, kHeaderFieldsSize, &header) ||
      header.Size() != static_cast<size_t>(kHeaderFieldsSize)) {
    Log("program: no answer");
    GiveUp(Plc, Result, kErrPing, TEntryReason::NoAnswer);
    return false;
  }
  const std::vector<uint8_t>& h = header.Bytes();
  Plc.HasProgram = ValidHeader(h.data(), h.size());
  if (!Plc.HasProgram) {
    Log("program: none");
    GiveUp(Plc, Result, kErrProgram, TEntryReason::ControllerError);
    return false;
  }
  const uint32_t stamp = Get32(&h[hdrStamp]);
  const bool unchanged = stamp == comm.CodeStamp;
  comm.CodeStamp = stamp;
  Log("program: present, stamp " + Hex32(stamp));

  if (!unchanged || !Plc.AlcOk) {
    Plc.Stage = stReadAlc;
    // Emptied first: a failed load leaves no stale variables behind.
    Plc.TransferVars.Clear();
    Plc.AlcVars.Clear();
    Plc.AlcOk = false;
    std::string text;
    const TAlcFetch fetched = FetchAlcText(comm, static_cast<uint32_t>(Plc.Nad), Options.Cache, text, &h);
    switch (fetched) {
      case TAlcFetch::NoAnswer:
        Log("allocation file: no answer");
        GiveUp(Plc, Result, kErrPing, TEntryReason::NoAnswer);
        return false;
      case TAlcFetch::NotFound:
        Log("allocation file: none in the controller's memory");
        GiveUp(Plc, Result, kErrAlc, TEntryReason::ControllerError);
        return false;
      case TAlcFetch::Fetched:
      case TAlcFetch::FromCache:
        break;
    }
    try {
      Plc.AlcVars.LoadFromAlcText(text, Plc.Nad);  // a bad line throws; Stage stays stReadAlc
    } catch (const std::exception& e) {
      Log(std::string("allocation file: unreadable: ") + e.what());
      throw;
    }
    Plc.AlcOk = true;
    if (Log.On())
      Log(std::string("allocation file: ") +
          (fetched == TAlcFetch::FromCache ? "from the cache (first page checked), " : "read, ") +
          std::to_string(text.size()) + " bytes, " + std::to_string(Plc.AlcVars.Count()) +
          " variables");
  } else {
    Log("allocation file: unchanged since the last run of this record");
  }

  // The run state only informs: a stopped program is still exchanged. But
  // no answer to it is a failed transaction like any other.
  uint8_t first = 0, second = 0;
  if (!comm.ReadStatus(first, second)) {
    Log("run state: no answer");
    GiveUp(Plc, Result, kErrPing, TEntryReason::NoAnswer);
    return false;
  }
  Plc.PlcRunning = first == 1 && second == 2;
  Log(Plc.PlcRunning ? "run state: running" : "run state: stopped");
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

// "3 attempts of 500 ms".
std::string AttemptsText(const TCommunicator& Comm) {
  const int attempts = std::max(1, Comm.Retries);
  return std::to_string(attempts) + " attempt" + (attempts == 1 ? "" : "s") + " of " +
         std::to_string(Comm.Timeout) + " ms";
}
// "no answer to 3 attempts of 500 ms".
std::string NoAnswerCause(const TCommunicator& Comm) { return "no answer to " + AttemptsText(Comm); }

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
      } else if (!Plc.Communicator->Stopped()) {
        const std::string cause = NoAnswerCause(*Plc.Communicator);
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
      const int values[7] = {t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second, t.Weekday};
      TGadgetVarList clock(false);
      bool complete = true;
      for (size_t i = 0; i < 8; ++i) {
        TGadgetVar* r = requests.Items(static_cast<int>(n + i));
        const std::string text = i < 7 ? std::to_string(values[i]) : "1";
        const bool weekday = i == 6;
        if (r->Link == nullptr) {
          Result.ClockMissing.push_back(kClockVars[i]);
          complete = complete && weekday;  // a clock is set without its weekday
          continue;
        }
        TVarValue v;
        if (!ValueFromText(r->Link->VarType, text, v)) {
          Result.ClockRejected.push_back(kClockVars[i]);
          complete = false;
          continue;
        }
        r->ValueText = text;
        r->WritePending = true;
        clock.Add(r);
      }
      if (!complete) {
        // All fields or none: a write of some would leave the controller's
        // clock a mix of old and new fields.
        for (int i = 0; i < clock.Count(); ++i) clock.Items(i)->WritePending = false;
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
            writeError = "the clock write was not acknowledged (" + NoAnswerCause(*Plc.Communicator) + ")";
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
      const std::string why = "no answer to the read" + std::string(Options.Write ? "-back" : "") +
                              " (" + AttemptsText(*Plc.Communicator) + ")";
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

  // The clock: the six date and time variables.
  int v[6] = {};
  bool clockRead = true;
  for (size_t i = 0; i < 6; ++i) {
    const TTavexVar* link = requests.Items(static_cast<int>(n + i))->Link;
    if (link == nullptr || !IsTransferred(link->VarType)) {  // missing, or never read
      clockRead = false;
      break;
    }
    v[i] = Options.Write ? static_cast<uint16_t>(ValueAsInteger(link->Value))
                         : ClampToInt(ValueAsInteger(link->Value));
  }
  if (clockRead) {
    Plc.RtcText = FormatRtc(v[0], v[1], v[2], v[3], v[4], v[5]);
    Result.Rtc = Plc.RtcText;
  } else {
    Result.Rtc.clear();
    Plc.RtcText.clear();
  }
  if (!writeError.empty()) {
    // The controller answers again, but a write of this run went
    // unanswered: its error, with what the read-back shows per entry.
    Plc.Fail(kErrWriteVars);
    Result.GivenUp = true;
    Result.Error = writeError;
  }
}
}  // namespace

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
  }
  return "";
}

bool VerdictTook(TWriteVerdict Verdict) {
  return Verdict == TWriteVerdict::Written || Verdict == TWriteVerdict::WrittenNotReadBack ||
         Verdict == TWriteVerdict::Landed;
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

TAlcFetch FetchAlcText(TCommunicator& Comm, uint32_t Nad, const TAlcCache* Cache,
                       std::string& Text, const std::vector<uint8_t>* Header) {
  Text.clear();
  TMemoryStream header;
  if (Header != nullptr && Header->size() >= static_cast<size_t>(kHeaderFieldsSize)) {
    header.Write(Header->data(), static_cast<size_t>(kHeaderFieldsSize));
  } else {
    if (!Comm.ReadMemory(kCodeHeaderAddress, kHeaderFieldsSize, &header)) return TAlcFetch::NoAnswer;
    if (header.Size() != static_cast<size_t>(kHeaderFieldsSize)) return TAlcFetch::NoAnswer;
  }
  const uint8_t* h = header.Data();
  if (!ValidHeader(h, header.Size())) return TAlcFetch::NotFound;
  const int count = Get16(h + hdrDirCount);
  if (count <= 0) return TAlcFetch::NotFound;
  const uint32_t stamp = Get32(h + hdrStamp);
  Comm.CodeStamp = stamp;

  // A directory beyond reachable memory cannot be read (and is no answer's fault).
  const auto dirAddress = static_cast<int32_t>(Get32(h + hdrDirAddress));
  const int32_t dirSize = count * kDirEntrySize;
  if (dirAddress < 0 || int64_t{dirAddress} + dirSize > kMemoryLimit) return TAlcFetch::NotFound;
  TMemoryStream dir;
  if (!Comm.ReadMemory(dirAddress, dirSize, &dir)) return TAlcFetch::NoAnswer;

  uint8_t e[kDirEntrySize];
  for (int i = 0; i < count; ++i) {
    if (dir.Read(e, sizeof e) != sizeof e) break;
    const int nameLen = Get16(&e[dirNameLength]);
    const auto address = static_cast<int32_t>(Get32(&e[dirFileAddress]));
    const auto size = static_cast<int32_t>(Get32(&e[dirFileSize]));
    if (nameLen < 1 || nameLen > dirNameMax || size <= 0) continue;
    if (address < 0 || int64_t{address} + size > kMemoryLimit) continue;
    const std::string_view name(reinterpret_cast<const char*>(&e[dirName]),
                                static_cast<size_t>(nameLen));
    if (name != kAlcArchiveName) continue;

    // The first matching entry decides.
    std::vector<uint8_t> bytes;  // the archive as the controller holds it, from its start
    std::vector<uint8_t> cached;
    if (Cache != nullptr && Cache->Load(Nad, stamp, address, size, cached) &&
        ArchiveText(cached, Text)) {
      // The key may match another program's archive: the copy is used only
      // when the controller's first page of the archive holds the same bytes.
      const int32_t proof = AlcProofLength(address, cached);
      if (proof > 0) {
        TMemoryStream page;
        if (!Comm.ReadMemory(address, proof, &page) || page.Size() != static_cast<size_t>(proof)) {
          Text.clear();
          return TAlcFetch::NoAnswer;
        }
        if (std::equal(page.Bytes().begin(), page.Bytes().end(), cached.begin()))
          return TAlcFetch::FromCache;
        // Another archive. Its first page, just read, is the start of the
        // fetch; the rest begins on a page boundary (or there is none), so
        // this costs no more requests than a fetch without a cache.
        bytes = page.Bytes();
      }
      Text.clear();
    }
    const auto have = static_cast<int32_t>(bytes.size());
    if (have < size) {
      TMemoryStream rest;
      if (!Comm.ReadMemory(address + have, size - have, &rest)) return TAlcFetch::NoAnswer;
      bytes.insert(bytes.end(), rest.Bytes().begin(), rest.Bytes().end());
    }
    if (!ArchiveText(bytes, Text)) return TAlcFetch::NotFound;
    if (Cache != nullptr) Cache->Store(Nad, stamp, address, size, bytes);
    return TAlcFetch::Fetched;
  }
  return TAlcFetch::NotFound;
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
    TStageLog log(Options, plc);
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
    for (auto& x : Result.Entries) x = {"?", TEntryReason::ControllerError};
  } catch (...) {
    plc.LastError = "Unexpected error";
    Result.GivenUp = true;
    Result.Thrown = true;
    Result.Error = plc.LastError;
    Result.Rtc.clear();
    for (auto& x : Result.Entries) x = {"?", TEntryReason::ControllerError};
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

}  // namespace tavex
