#include "plc/uStages.h"

#include <algorithm>
#include <cstdio>

#include "hostutil/uMemoryStream.h"

namespace tavex {

namespace {

std::string Hex32(uint32_t v) {
  char buf[12];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

}  // namespace

void TStageLog::operator()(const std::string& Line) {
  if (!Sink_) return;
  const auto now = std::chrono::steady_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - Start_).count();
  Start_ = now;
  Sink_(Plc_, Line + " (" + std::to_string(ms) + " ms)");
}

std::string NoAnswerText(const TCommunicator& Comm) {
  const int attempts = std::max(1, Comm.Retries);
  return "no answer to " + std::to_string(attempts) + (attempts == 1 ? " attempt" : " attempts") + " of " +
         std::to_string(Comm.Timeout) + " ms";
}

std::string OpenFailureText(const TTavex& Plc) {
  const std::string& id = Plc.Communicator->Adapter.ID;
  return id.empty() ? std::string("cannot open a socket on the adapter") : "cannot open a socket on adapter " + id;
}

bool OpenStage(TTavex& Plc, TStageLog& Log) {
  if (!Plc.OpenSocket()) {
    Log("socket: cannot open one on the adapter");
    return false;
  }
  Log("socket: open");
  Plc.Stage = stConnect;
  return true;
}

bool PingStage(TTavex& Plc, TStageLog& Log) {
  if (!Plc.Ping()) {
    Log("ping: " + NoAnswerText(*Plc.Communicator));
    return false;
  }
  Log("ping: answered");
  Plc.Stage = stCheckCode;
  return true;
}

int Connect(TTavex& Plc, TStageLog& Log) {
  if (Plc.Stage == stIdle || Plc.Stage == stFailed) Plc.Stage = stOpen;
  if (Plc.Stage == stOpen && !OpenStage(Plc, Log)) return kConnectNetwork;
  if (Plc.Stage == stConnect && !PingStage(Plc, Log)) return kConnectPing;
  return -1;
}

THeaderEnd ReadHeaderFields(TTavex& Plc, std::vector<uint8_t>& Header, bool& Unchanged, TStageLog& Log,
                            int Tries) {
  TCommunicator& comm = *Plc.Communicator;
  Unchanged = false;
  Header.clear();
  bool read = false;
  for (int i = 0; i < std::max(1, Tries) && !read; ++i) {
    if (i > 0 && comm.Stopped()) break;  // a stopped run asks nothing more
    TMemoryStream s;
    read = comm.ReadMemory(kCodeHeaderAddress, kCodeHeaderFieldsSize, &s) &&
           s.Size() == static_cast<size_t>(kCodeHeaderFieldsSize);
    if (read) Header = s.Bytes();
  }
  if (!read) {
    Plc.HasProgram = false;
    Log("program: " + NoAnswerText(comm));
    return THeaderEnd::NoAnswer;
  }
  const TCodeHeader h = ParseCodeHeader(Header);
  Plc.HasProgram = h.Valid;
  if (!Plc.HasProgram) {
    Log("program: none");
    return THeaderEnd::NoProgram;
  }
  Unchanged = h.Stamp == comm.CodeStamp;
  comm.CodeStamp = h.Stamp;
  Log("program: present, stamp " + Hex32(h.Stamp));
  return THeaderEnd::Program;
}

TAlcFetch LoadAlcVars(TTavex& Plc, const TAlcCache* Cache, const std::vector<uint8_t>& Header, TStageLog& Log,
                      const TStagePolicy& Policy) {
  Plc.Stage = stReadAlc;
  Plc.TransferVars.Clear();
  Plc.AlcVars.Clear();
  Plc.AlcOk = false;
  std::string text;
  const TAlcFetch fetched = FetchAlcText(*Plc.Communicator, static_cast<uint32_t>(Plc.Nad), Cache, text, &Header,
                                         TAlcTries{Policy.HeaderTries, Policy.ArchiveTries});
  switch (fetched) {
    case TAlcFetch::NoAnswer:
      Log("allocation file: " + NoAnswerText(*Plc.Communicator));
      return fetched;
    case TAlcFetch::NotFound:
      Log("allocation file: none in the controller's memory");
      return fetched;
    case TAlcFetch::Fetched:
    case TAlcFetch::FromCache:
      break;
  }
  try {
    Plc.AlcVars.LoadFromAlcText(text, Plc.Nad);
  } catch (const std::exception& e) {
    Log(std::string("allocation file: unreadable: ") + e.what());
    throw;
  }
  Plc.AlcOk = true;
  if (Log.On())
    Log(std::string("allocation file: ") +
        (fetched == TAlcFetch::FromCache ? "from the cache (first page checked), " : "read, ") +
        std::to_string(text.size()) + " bytes, " + std::to_string(Plc.AlcVars.Count()) + " variables");
  return fetched;
}

TRunEnd ReadRunState(TTavex& Plc, std::string& Why, TStageLog& Log, const TStagePolicy& Policy) {
  TCommunicator& comm = *Plc.Communicator;
  const int tries = std::max(1, Policy.RunStateTries > 0 ? Policy.RunStateTries : comm.Retries);
  TRunEnd end = TRunEnd::NoAnswer;
  for (int i = 0; i < tries; ++i) {
    if (i > 0 && comm.Stopped()) break;  // a stopped run asks nothing more
    uint8_t first = 0, second = 0;
    bool answered = false;
    if (comm.ReadStatus(first, second, &answered)) {
      Plc.PlcRunning = first == 1 && second == 2;
      Log(Plc.PlcRunning ? "run state: running" : "run state: stopped");
      return Plc.PlcRunning ? TRunEnd::Running : TRunEnd::Stopped;
    }
    if (!answered) {
      end = TRunEnd::NoAnswer;
      Log("run state: " + NoAnswerText(comm));
      continue;
    }
    // The payload is hex text from the wire; two bytes of it at most.
    const std::string hex = comm.LastFrame().PayloadText.substr(0, 4);
    std::string bytes;
    for (size_t k = 0; k + 1 < hex.size(); k += 2) bytes += (bytes.empty() ? "" : " ") + hex.substr(k, 2);
    Why = bytes.empty() ? std::string("no status bytes in the answer") : "status bytes " + bytes + " out of range";
    end = TRunEnd::BadAnswer;
    Log("run state: " + Why);
  }
  Plc.PlcRunning = false;
  return end;
}

void LogForeign(const TTavex& Plc, uint64_t Before, TStageLog& Log) {
  const uint64_t now = Plc.Communicator->ForeignDropped();
  if (Log.On() && now != Before)
    Log("dropped " + std::to_string(now - Before) + " frame(s) from another controller or address");
}

}  // namespace tavex
