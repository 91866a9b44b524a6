#include "plc/uTavex.h"

#include <charconv>

#include "abus/uABus.h"
#include "hostutil/uEthernetUtils.h"
#include "plc/uAlcFetch.h"
#include "plc/uStages.h"

namespace tavex {

int64_t NadFromText(const std::string& Text) {
  uint32_t v = 0;
  const auto r = std::from_chars(Text.data(), Text.data() + Text.size(), v);
  if (r.ec != std::errc() || r.ptr != Text.data() + Text.size()) return 0;
  return v;
}

TTavex::TTavex() : Communicator(std::make_unique<TCommunicator>()) {}

TTavex::~TTavex() {
  Communicator->Deactivate();
  // The requests belong to the caller.
  WriteRequests.Detach();
  ReadRequests.Detach();
}

void TTavex::SetNad(int64_t Value) {
  if (Value == Nad) return;
  Nad = Value;
  Communicator->SetNad(static_cast<uint32_t>(Value));
}

std::string TTavex::GetIpAddress() const { return Communicator->RemoteIP; }

void TTavex::SetIpAddress(const std::string& Text) { Communicator->SetAddress(Text); }

bool TTavex::SelectAdapter(const std::string& AdapterID) {
  return Communicator->Adapter.AssignFromID(AdapterID);
}

void TTavex::SetDirectConnection(bool Value) { Communicator->SetDirectConnection(Value); }

void TTavex::SetPassword(const std::string& Text) {
  Password = Text;
  Communicator->PasswordHash = TextChecksum(Text, 0);
}

bool TTavex::OpenSocket() {
  SocketOpen = OpenOnAdapter(*Communicator, Communicator->Adapter.ID);
  return SocketOpen;
}

bool OpenOnAdapter(TCommunicator& Comm, const std::string& AdapterID) {
  if (!Comm.Open(AdapterID)) return false;
  if (IPToInt(Comm.Adapter.IP) != 0) return true;
  Comm.Close();
  return false;
}

bool TTavex::Ping() {
  Responding = Communicator->Ping();
  return Responding;
}

bool TTavex::CheckProgram() {
  // The staged sequence's program check, on its own.
  static const TStageLog::TSink noSink;
  TStageLog log(noSink, *this);
  std::vector<uint8_t> header;
  bool unchanged = false;
  ReadHeaderFields(*this, header, unchanged, log, kStagedPolicy.HeaderTries);  // sets HasProgram
  return HasProgram;
}

bool TTavex::ReadAlc() {
  // Not loaded until it is: a bad line throws with the variables emptied,
  // and they must not pass for a loaded allocation file.
  AlcOk = false;
  AlcOk = LoadAlc();
  return AlcOk;
}

bool TTavex::CheckRun() {
  PlcRunning = Communicator->IsPlcRunning();
  return PlcRunning;
}

void TTavex::CloseSocket() { Communicator->Close(); }

bool TTavex::LoadAlc() {
  // Emptied first: a failed load leaves no stale variables behind.
  TransferVars.Clear();
  AlcVars.Clear();
  std::string text;
  const TAlcFetch fetched =
      FetchAlcText(*Communicator, static_cast<uint32_t>(Nad), nullptr, text, nullptr,
                   TAlcTries{kStagedPolicy.HeaderTries, kStagedPolicy.ArchiveTries});
  if (fetched != TAlcFetch::Fetched && fetched != TAlcFetch::FromCache) return false;
  AlcVars.LoadFromAlcText(text, Nad);
  return true;
}

void TTavex::Fail(const std::string& Message) {
  Stage = stFailed;
  LastError = Message;
}

void TTavex::ProcessVariables(TGadgetVarList& Requests) {
  ReadRequests.Detach();
  WriteRequests.Detach();
  for (int i = 0; i < Requests.Count(); ++i) {
    TGadgetVar* r = Requests.Items(i);
    if (r == nullptr || r->Nad != Nad) continue;
    if (r->ReadRequested) ReadRequests.Add(r);
    if (r->WritePending) WriteRequests.Add(r);
  }
  if (ReadRequests.Count() == 0 && WriteRequests.Count() == 0) return;

  // The shared stage blocks under the record's own policy; the failure
  // texts are the record's captions.
  constexpr const TStagePolicy& policy = kStagedPolicy;
  static_assert(!policy.RunStateNoAnswerFails && !policy.RunStateBadAnswerFails,
                "the record's run state only informs: it has no caption for a failed one");
  static const TStageLog::TSink noSink;
  TStageLog log(noSink, *this);
  if (Stage == stIdle) Stage = stOpen;

  if (Stage == stOpen && !OpenStage(*this, log)) Fail(kErrOpen);
  Trace("after open");
  if (Stage == stConnect && !PingStage(*this, log)) Fail(kErrPing);
  Trace("after connect");
  std::vector<uint8_t> header;
  bool unchanged = false;
  if (Stage == stCheckCode) {
    // A header that never answered says nothing about the program: the
    // controller stopped answering. Only a header read says there is none.
    switch (ReadHeaderFields(*this, header, unchanged, log, policy.HeaderTries)) {
      case THeaderEnd::Program:
        Stage = stCheckDate;
        break;
      case THeaderEnd::NoProgram:
        Fail(kErrProgram);
        break;
      case THeaderEnd::NoAnswer:
        Fail(kErrPing);
        break;
    }
  }
  Trace("after check code");
  if (Stage == stCheckDate) {
    // An unchanged program keeps the loaded allocation file valid, if one
    // was loaded: the stamp is taken before the archive is fetched, so a
    // fetch that failed (or a program whose stamp is 0) would otherwise
    // leave the record without variables until the program changes.
    Stage = unchanged && AlcOk ? stCheckRun : stReadAlc;
  }
  Trace("after check date");
  if (Stage == stReadAlc) {
    // No cache: the record holds none. Entered here again after a bad
    // line, the header fields are read by the fetch itself.
    const TAlcFetch fetched = LoadAlcVars(*this, nullptr, header, log, policy);  // a bad line throws
    if (fetched == TAlcFetch::Fetched || fetched == TAlcFetch::FromCache)
      Stage = stCheckRun;
    else
      Fail(fetched == TAlcFetch::NoAnswer ? kErrPing : kErrAlc);  // lost answers are no missing file
  }
  Trace("after read alc");
  if (Stage == stCheckRun) {
    std::string why;
    ReadRunState(*this, why, log, policy);  // informs PlcRunning only (the policy)
    Stage = stExchange;
  }
  Trace("after check plc run");
  if (Stage == stExchange) {
    Stage = stCheckCode;
    Exchange();
  }

  if (Stage == stFailed) Stage = stOpen;
}

void TTavex::Exchange() {
  LinkVariables(WriteRequests, true);
  if (TransferVars.Count() > 0) Communicator->WriteVarList(&TransferVars);
  for (int i = 0; i < WriteRequests.Count(); ++i) WriteRequests.Items(i)->WritePending = false;

  LinkVariables(ReadRequests, false);
  if (Communicator->ReadVarList(&TransferVars))
    CopyReadValues(ReadRequests);
  else
    Fail(kErrVars);
}

void TTavex::LinkVariables(TGadgetVarList& View, bool ForWrite) {
  TransferVars.Clear();
  View.Unlink();
  for (int i = 0; i < AlcVars.Count(); ++i) {
    TTavexVar* e = AlcVars.Items(i);
    for (int j = 0; j < View.Count(); ++j) {
      TGadgetVar* r = View.Items(j);
      if (r == nullptr || r->Nad != Nad || e->Name != r->Name) continue;
      if (r->Index >= e->Count || e->Scope != scGlobal) continue;
      if (!(e->Index == r->Index || (!r->HasIndex() && e->Index == 0))) continue;
      r->LinkTo(e);
      // Never write a value that neither came from the controller nor was
      // accepted from the user: a freshly loaded element holds the parser's
      // 0, and a rejected value text leaves it so. It stays linked (its
      // value is read back) but out of the write.
      if (ForWrite && !e->ValueKnown) continue;
      auto copy = std::make_unique<TTavexVar>();
      copy->Assign(e);
      TransferVars.Add(std::move(copy));
    }
  }
}

void TTavex::CopyReadValues(TGadgetVarList& View) {
  for (int i = 0; i < TransferVars.Count(); ++i) {
    const TTavexVar* t = TransferVars.Items(i);
    for (int j = 0; j < View.Count(); ++j) {
      TGadgetVar* r = View.Items(j);
      if (r == nullptr || r->Link == nullptr || r->Nad != Nad) continue;
      if (r->Link->Name != t->Name || r->Link->Index != t->Index) continue;
      r->Link->SetValue(t->Value);
      break;
    }
  }
}

int TTavexList::Add(std::unique_ptr<TTavex> Item) {
  Items_.push_back(std::move(Item));
  return static_cast<int>(Items_.size()) - 1;
}

TTavex* TTavexList::Items(int Index) const {
  if (Index < 0 || static_cast<size_t>(Index) >= Items_.size()) return nullptr;
  return Items_[static_cast<size_t>(Index)].get();
}

void TTavexList::Clear() {
  while (!Items_.empty()) Items_.pop_back();
}

}  // namespace tavex
