#include "plc/uOperations.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <set>
#include <utility>

#include "abus/uABus.h"
#include "plc/uClock.h"
#include "vars/uNumberText.h"

namespace tavex {

namespace {

constexpr int kSignificantDigits = 15;

std::string Key(const TTavex& Plc, const std::string& Entry) {
  return std::to_string(Plc.Nad) + "." + Entry;
}

// True when the last ProcessVariables got as far as reading the values
// back: the record then waits at the program check. After any failed stage,
// the read included, it waits at the socket instead, and a linked element
// still holds what it held before (for an element never read, the parser's
// 0; for one just written, the value asked for, whether it arrived or not).
bool ValuesRead(const TTavex& Plc) { return Plc.Stage == stCheckCode; }

// A clock variable that was read: linked, and of a type that is transferred.
bool ClockValueRead(const TTavexVar* Link) { return Link != nullptr && IsTransferred(Link->VarType); }

int ClampToInt(int64_t v) {
  if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  return static_cast<int>(v);
}

}  // namespace

bool DetectControllers(TCommunicator& Comm, TTavexList& List, const TDetectOptions& Options,
                       TDetectOutcome* Outcome) {
  TDetectOutcome outcome;
  List.Clear();
  Comm.SetDirectConnection(Options.DirectConnection);
  Comm.PasswordHash = TextChecksum(Options.Password, 0);
  // Without the chosen adapter nothing is to be found. The broadcast is not
  // sent at all then: a closed socket would reopen on any address and send
  // to 255.255.255.255, reaching whatever network the host routes it to.
  outcome.Opened = OpenOnAdapter(Comm, Options.AdapterID);
  std::set<std::pair<int64_t, std::string>> listed;
  std::set<std::string> listedIPs;
  const int rounds = std::max(1, Options.Rounds);
  for (int round = 1; outcome.Opened && round <= rounds; ++round) {
    std::vector<std::string> nads, ips;
    Comm.Autodetect(&nads, &ips, Options.ListenMs);
    TDetectRound r;
    r.Round = round;
    r.Report = Comm.DetectReport();
    for (size_t i = 0; i < nads.size() && i < ips.size(); ++i) {
      ++r.Answers;
      const int64_t nad = NadFromText(nads[i]);
      if (!listed.insert({nad, ips[i]}).second) continue;
      listedIPs.insert(ips[i]);
      ++r.New;
      auto plc = std::make_unique<TTavex>();
      plc->SetNad(nad);
      plc->SetIpAddress(ips[i]);
      plc->SetDirectConnection(Options.DirectConnection);
      plc->SelectAdapter(Options.AdapterID);
      plc->SetPassword(Options.Password);
      List.Add(std::move(plc));
    }
    outcome.Rounds = round;
    outcome.Lost = r.Report.Lost;
    outcome.AnswersLost = r.Report.Lost > 0;
    outcome.ReceiveBuffer = r.Report.ReceiveBuffer;
    outcome.Skipped += r.Report.Skipped;
    for (const TSkippedSender& s : r.Report.Senders) {
      auto it = std::find_if(outcome.Senders.begin(), outcome.Senders.end(),
                             [&](const TSkippedSender& o) { return o.IP == s.IP; });
      if (it == outcome.Senders.end()) {
        if (outcome.Senders.size() < TCommunicator::kMaxSkippedSenders) {
          TDetectSender d;
          static_cast<TSkippedSender&>(d) = s;
          outcome.Senders.push_back(std::move(d));
        }
        continue;
      }
      it->Foreign += s.Foreign;
      it->Damaged += s.Damaged;
      it->MaybeAnswer = it->MaybeAnswer || s.MaybeAnswer;
      if (!it->HasNad && s.HasNad) {
        it->HasNad = true;
        it->Nad = s.Nad;
      }
    }
    // Lost answers are asked again; so is a sender that is not listed but
    // sent what may have been a spoilt answer (a fault that comes and goes
    // gives it another chance; one that stays costs two more windows).
    // Other stations' traffic is no reason: it answered nothing asked.
    bool spoilt = false;
    for (const TSkippedSender& s : r.Report.Senders)
      spoilt = spoilt || (s.MaybeAnswer && listedIPs.count(s.IP) == 0);
    r.Again = (outcome.AnswersLost || spoilt) && round < rounds && !Comm.Stopped();
    if (Options.AfterRound) Options.AfterRound(r);
    if (!r.Again) break;
  }
  for (TDetectSender& s : outcome.Senders) s.Listed = listedIPs.count(s.IP) != 0;
  const bool opened = outcome.Opened;
  if (Outcome != nullptr) *Outcome = std::move(outcome);
  return opened;
}

std::string SkippedSendersText(const TDetectOutcome& Outcome) {
  std::string names;
  uint64_t named = 0;
  size_t listed = 0;
  for (const TDetectSender& s : Outcome.Senders) {
    named += s.Foreign + s.Damaged;
    if (s.Listed) {
      ++listed;
      continue;
    }
    names += (names.empty() ? "from " : ", ") + s.IP +
             (s.HasNad ? " (NAD " + std::to_string(s.Nad) + ")" : std::string(" (damaged)"));
  }
  std::string text = names;
  if (listed > 0)
    text += (text.empty() ? "from " : ", and from ") + std::to_string(listed) + " listed controller" +
            (listed == 1 ? "" : "s");
  if (named < Outcome.Skipped) text += text.empty() ? "from several senders" : ", and from others";
  return text;
}

const TTavexVar* FindGlobalElement(const TTavex& Plc, const std::string& Entry) {
  std::string name;
  int32_t index = -1;
  SplitIndexedName(Entry, name, index);
  for (int i = 0; i < Plc.AlcVars.Count(); ++i) {
    const TTavexVar* e = Plc.AlcVars.Items(i);
    if (e == nullptr || e->Name != name || e->Scope != scGlobal || index >= e->Count) continue;
    if (e->Index == index || (index < 0 && e->Index == 0)) return e;
  }
  return nullptr;
}

void SplitIndexedName(const std::string& Entry, std::string& Name, int32_t& Index) {
  Index = -1;
  Name = Entry;
  const size_t open = Entry.find('[');
  const size_t close = Entry.find(']');
  if (open == std::string::npos || close == std::string::npos || close < open + 2) return;
  int64_t v = 0;
  if (!TryParseInteger(std::string_view(Entry).substr(open + 1, close - open - 1), v)) return;
  if (v < 0 || v > std::numeric_limits<int32_t>::max()) return;
  Index = static_cast<int32_t>(v);
  Name = Entry.substr(0, open) + Entry.substr(close + 1);
}

std::string FormatValue(double Value, char DecimalSeparator) {
  if (std::isnan(Value)) return "NAN";
  if (std::isinf(Value)) return Value < 0 ? "-INF" : "INF";
  if (Value == 0) return "0";

  // Rounded to 15 significant digits: d.dddddddddddddde[+-]x
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.*e", kSignificantDigits - 1, std::fabs(Value));
  std::string digits;
  const char* p = buf;
  for (; *p != 'e' && *p != '\0'; ++p)
    if (*p >= '0' && *p <= '9') digits += *p;
  const int exponent = *p == 'e' ? std::atoi(p + 1) : 0;
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  return LayoutDecimal(Value < 0, digits, exponent, DecimalSeparator);
}

std::string ValueText(const TTavexVar& Element, char DecimalSeparator) {
  if (!IsTransferred(Element.VarType)) return "?";
  // A real is what its single on the wire holds, shown with no more digits
  // than it takes to read back as that single: 15 digits of the single's
  // exact value would show 1.8 as 1.79999995231628, a change nobody made.
  if (Element.VarType == vtReal) return FormatSingle(ValueAsSingle(Element.Value), DecimalSeparator);
  return FormatValue(ValueAsReal(Element.Value), DecimalSeparator);
}

std::string CellText(const TGadgetVar& Request, char DecimalSeparator) {
  if (Request.Link == nullptr) return "?";
  return ValueText(*Request.Link, DecimalSeparator);
}

std::string FormatRtc(int Year, int Month, int Day, int Hour, int Minute, int Second) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%.4d-%.2d-%.2d  %.2d:%.2d:%.2d", Year, Month, Day, Hour, Minute,
                Second);
  return buf;
}

bool CheckStatus(TTavex& Plc, const TStatusSteps& Steps) {
  auto after = [&](int step, bool ok) {
    if (Steps.AfterStep) Steps.AfterStep(step, ok);
    // A short pause lets the user see each step; none after the allocation file.
    if (step != 3 && Steps.Pause) Steps.Pause(100);
  };
  auto stopped = [&] {
    if (!Steps.Stop || !Steps.Stop()) return false;
    Plc.CloseSocket();
    return true;
  };
  after(0, Plc.OpenSocket());
  if (stopped()) return false;
  after(1, Plc.Ping());
  if (stopped()) return false;
  after(2, Plc.CheckProgram());
  if (stopped()) return false;
  after(3, Plc.ReadAlc());
  if (stopped()) return false;
  after(4, Plc.CheckRun());
  Plc.CloseSocket();
  return true;
}

std::string RequestValue(TTavex& Plc, const std::string& Entry, const std::string& ValueText,
                         char DecimalSeparator) {
  std::string name;
  int32_t index = -1;
  SplitIndexedName(Entry, name, index);
  TGadgetVarList list;
  list.Add(new TGadgetVar(Key(Plc, Entry), name, Plc.Nad, index, ValueText));
  Plc.ProcessVariables(list);
  if (!ValuesRead(Plc)) return "?";
  return CellText(*list.Items(0), DecimalSeparator);
}

bool ControllerFailed(const TTavex& Plc) { return !ValuesRead(Plc); }

namespace {
TLocalTime FromTm(const std::tm& tm) {
  TLocalTime t;
  t.Year = tm.tm_year + 1900;
  t.Month = tm.tm_mon + 1;
  t.Day = tm.tm_mday;
  t.Hour = tm.tm_hour;
  t.Minute = tm.tm_min;
  t.Second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second is no clock value
  t.Weekday = tm.tm_wday;
  return t;
}
}  // namespace

TLocalTime LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return FromTm(tm);
}

TLocalTime UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  return FromTm(tm);
}

void ReadClock(TTavex& Plc) {
  TGadgetVarList list;
  for (int i = 0; i < 6; ++i)
    list.Add(new TGadgetVar(Key(Plc, kClockVars[i]), kClockVars[i], Plc.Nad, -1, ""));
  Plc.ProcessVariables(list);
  if (!ValuesRead(Plc)) {
    Plc.RtcText.clear();
    return;
  }
  int v[6];
  for (int i = 0; i < 6; ++i) {
    const TTavexVar* link = list.Items(i)->Link;
    if (!ClockValueRead(link)) {
      Plc.RtcText.clear();
      return;
    }
    v[i] = ClampToInt(ValueAsInteger(link->Value));
  }
  Plc.RtcText = FormatRtc(v[0], v[1], v[2], v[3], v[4], v[5]);
}

void WriteClock(TTavex& Plc, const TLocalTime* Sync) {
  std::array<std::string, kClockFields> texts;
  if (Sync != nullptr) {
    // The types decide what is accepted: they come with the allocation file.
    if (!Plc.AlcOk) {
      ReadClock(Plc);
      if (!Plc.AlcOk) return;  // no answer, or no allocation file: nothing to set
    }
    std::array<const TTavexVar*, kClockFields> links{};
    for (size_t i = 0; i < links.size(); ++i) links[i] = FindGlobalElement(Plc, kClockVars[i]);
    // All fields or none (then the clock is only read).
    const TClockPlan plan = PlanClockWrite(links, *Sync);
    if (plan.Write) texts = plan.Texts;
  }
  TGadgetVarList list;
  for (int i = 0; i < 8; ++i)
    list.Add(new TGadgetVar(Key(Plc, kClockVars[i]), kClockVars[i], Plc.Nad, -1, texts[static_cast<size_t>(i)]));
  Plc.ProcessVariables(list);
  if (!ValuesRead(Plc)) {
    Plc.RtcText.clear();
    return;
  }
  int v[6];
  for (int i = 0; i < 7; ++i) {
    const TTavexVar* link = list.Items(i)->Link;
    if (!ClockValueRead(link)) {
      Plc.RtcText.clear();
      return;
    }
    if (i < 6) v[i] = static_cast<uint16_t>(ValueAsInteger(link->Value));
  }
  Plc.RtcText = FormatRtc(v[0], v[1], v[2], v[3], v[4], v[5]);
}

namespace {

// The entries of a row, each its own request, with the row's stop and skip
// rules. Ask(k) makes entry k's request and gives its text.
TRowEnd WalkEntries(TTavex& Plc, size_t Count, std::vector<std::string>& Texts, const TRowSteps& Steps,
                    const std::function<std::string(size_t)>& Ask) {
  for (size_t k = 0; k < Count; ++k) {
    if (Steps.Stop && Steps.Stop()) return TRowEnd::Stopped;
    if (Steps.Busy) Steps.Busy(static_cast<int>(k));
    Texts[k] = Ask(k);
    if (Steps.Done) Steps.Done(static_cast<int>(k), Texts[k]);
    if (Steps.SkipAfterFailure && ControllerFailed(Plc)) {
      // Every later request would wait out the same time-outs again.
      for (size_t j = k + 1; j < Count; ++j) {
        Texts[j] = "?";
        if (Steps.Done) Steps.Done(static_cast<int>(j), Texts[j]);
      }
      Plc.RtcText.clear();
      return TRowEnd::ControllerFailed;
    }
  }
  if (Steps.Stop && Steps.Stop()) return TRowEnd::Stopped;
  if (Steps.Clock) Steps.Clock();
  return TRowEnd::Done;
}

}  // namespace

TRowEnd ReadRow(TTavex& Plc, const std::vector<std::string>& Entries, std::vector<std::string>& Texts,
                char DecimalSeparator, const TRowSteps& Steps) {
  Texts.resize(Entries.size());
  const TRowEnd end = WalkEntries(Plc, Entries.size(), Texts, Steps, [&](size_t k) {
    return RequestValue(Plc, Entries[k], "", DecimalSeparator);
  });
  if (end != TRowEnd::Done) return end;
  ReadClock(Plc);
  return Steps.SkipAfterFailure && ControllerFailed(Plc) ? TRowEnd::ControllerFailed : TRowEnd::Done;
}

TRowEnd WriteRow(TTavex& Plc, const std::vector<std::string>& Entries, std::vector<std::string>& Texts,
                 const TClockSource& SyncClock, char DecimalSeparator, const TRowSteps& Steps) {
  Texts.resize(Entries.size());
  const TRowEnd end = WalkEntries(Plc, Entries.size(), Texts, Steps, [&](size_t k) {
    return RequestValue(Plc, Entries[k], Texts[k], DecimalSeparator);
  });
  if (end != TRowEnd::Done) return end;
  if (SyncClock) {
    const TLocalTime now = SyncClock();
    WriteClock(Plc, &now);
  } else {
    WriteClock(Plc, nullptr);
  }
  return Steps.SkipAfterFailure && ControllerFailed(Plc) ? TRowEnd::ControllerFailed : TRowEnd::Done;
}

}  // namespace tavex
