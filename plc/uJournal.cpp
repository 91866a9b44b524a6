// The journal's records, its reader and its times; where the file lives
// and how it is appended to: uJournalLinux.cpp, uJournalWindows.cpp.
#include "plc/uJournal.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <system_error>

#include <nlohmann/json.hpp>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "plc/uClock.h"

namespace tavex {

namespace {

using Json = nlohmann::ordered_json;

int ProcessId() {
#ifdef _WIN32
  return _getpid();
#else
  return static_cast<int>(getpid());
#endif
}

bool LocalFields(std::time_t T, std::tm& Out) {
#ifdef _WIN32
  return localtime_s(&Out, &T) == 0;
#else
  return localtime_r(&T, &Out) != nullptr;
#endif
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
int64_t DaysFromCivil(int64_t Y, int M, int D) {
  Y -= M <= 2;
  const int64_t era = (Y >= 0 ? Y : Y - 399) / 400;
  const int64_t yoe = Y - era * 400;
  const int64_t doy = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}
void CivilFromDays(int64_t Z, int64_t& Y, int& M, int& D) {
  Z += 719468;
  const int64_t era = (Z >= 0 ? Z : Z - 146096) / 146097;
  const int64_t doe = Z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  D = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  M = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  Y = yoe + era * 400 + (M <= 2);
}

int DaysInMonth(int64_t Y, int M) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (M == 2 && ((Y % 4 == 0 && Y % 100 != 0) || Y % 400 == 0)) return 29;
  return kDays[M - 1];
}

// The local time's offset from UTC at T, in seconds.
int64_t LocalOffsetS(std::time_t T) {
  std::tm l{};
  if (!LocalFields(T, l)) return 0;
  return FieldSeconds(l.tm_year + 1900, l.tm_mon + 1, l.tm_mday, l.tm_hour, l.tm_min, l.tm_sec) -
         static_cast<int64_t>(T);
}

std::string OffsetText(int64_t S) {
  char buf[16];
  const char sign = S < 0 ? '-' : '+';
  const int64_t a = (S < 0 ? -S : S) / 60;
  std::snprintf(buf, sizeof buf, "%c%.2d:%.2d", sign, static_cast<int>(a / 60 % 100), static_cast<int>(a % 60));
  return buf;
}

std::string UtcText(int64_t Ms, bool Compact) {
  int64_t s = Ms >= 0 ? Ms / 1000 : (Ms - 999) / 1000;
  const int ms = static_cast<int>(Ms - s * 1000);
  int64_t days = s >= 0 ? s / 86400 : (s - 86399) / 86400;
  const int64_t sod = s - days * 86400;
  int64_t y = 0;
  int m = 0, d = 0;
  CivilFromDays(days, y, m, d);
  char buf[48];
  if (Compact)
    std::snprintf(buf, sizeof buf, "%.4lld%.2d%.2dT%.2d%.2d%.2dZ", static_cast<long long>(y), m, d,
                  static_cast<int>(sod / 3600), static_cast<int>(sod / 60 % 60), static_cast<int>(sod % 60));
  else
    std::snprintf(buf, sizeof buf, "%.4lld-%.2d-%.2dT%.2d:%.2d:%.2d.%.3dZ", static_cast<long long>(y), m, d,
                  static_cast<int>(sod / 3600), static_cast<int>(sod / 60 % 60), static_cast<int>(sod % 60), ms);
  return buf;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A text key: absent or null is "", a string is itself; anything else
// makes the line no record.
bool TextKey(const Json& J, const char* Key, std::string& Out) {
  const auto it = J.find(Key);
  if (it == J.end() || it->is_null()) return true;
  if (!it->is_string()) return false;
  Out = it->get<std::string>();
  return true;
}

Json TextOrNull(const std::string& Text) { return Text.empty() ? Json(nullptr) : Json(Text); }

// Fixed-width decimal digits at Text[At..At+N); false when any is not one.
bool Digits(const std::string& Text, size_t At, size_t N, int& Value) {
  if (At + N > Text.size()) return false;
  Value = 0;
  for (size_t i = At; i < At + N; ++i) {
    if (Text[i] < '0' || Text[i] > '9') return false;
    Value = Value * 10 + (Text[i] - '0');
  }
  return true;
}

}  // namespace

void JournalNow(std::string& Time, std::string& Offset) {
  const int64_t ms = NowMs();
  Time = UtcText(ms, false);
  Offset = OffsetText(LocalOffsetS(static_cast<std::time_t>(ms / 1000)));
}

std::string NewOperationId() {
  uint32_t r = 0;
  try {
    std::random_device device;
    r = device();
  } catch (...) {
    // No source of randomness: the clock's low bits still differ per run.
    r = static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  char tail[32];
  std::snprintf(tail, sizeof tail, "-%d-%.4x", ProcessId(), r & 0xffffu);
  return UtcText(NowMs(), true) + tail;
}

std::string JournalLine(const TJournalRecord& R) {
  Json j;
  j["time"] = R.Time;
  j["offset"] = R.Offset;
  j["user"] = R.User;
  j["host"] = R.Host;
  j["program"] = R.Program;
  j["version"] = R.Version;
  j["op"] = R.Op;
  j["adapter"] = TextOrNull(R.Adapter);
  j["nad"] = R.Nad >= 0 ? Json(R.Nad) : Json(nullptr);
  j["ip"] = TextOrNull(R.Ip);
  j["stamp"] = TextOrNull(R.Stamp);
  j["entry"] = R.Entry;
  j["before"] = TextOrNull(R.Before);
  j["written"] = TextOrNull(R.Written);
  j["read_back"] = TextOrNull(R.ReadBack);
  j["verdict"] = R.Verdict;
  // A controller's text is not to be trusted to be UTF-8.
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool ParseJournalLine(const std::string& Line, TJournalRecord& R) {
  R = TJournalRecord{};
  if (Line.size() > kMaxJournalLine) return false;
  const Json j = Json::parse(Line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return false;
  const std::pair<const char*, std::string*> texts[] = {
      {"time", &R.Time},       {"offset", &R.Offset},   {"user", &R.User},       {"host", &R.Host},
      {"program", &R.Program}, {"version", &R.Version}, {"op", &R.Op},           {"adapter", &R.Adapter},
      {"ip", &R.Ip},           {"stamp", &R.Stamp},     {"entry", &R.Entry},     {"before", &R.Before},
      {"written", &R.Written}, {"read_back", &R.ReadBack}, {"verdict", &R.Verdict}};
  for (const auto& [key, out] : texts)
    if (!TextKey(j, key, *out)) return false;
  const auto nad = j.find("nad");
  if (nad != j.end() && !nad->is_null()) {
    if (!nad->is_number_unsigned() || nad->get<uint64_t>() > 0xffffffffull) return false;
    R.Nad = static_cast<int64_t>(nad->get<uint64_t>());
  }
  int64_t ms = 0;
  return !R.Op.empty() && !R.Entry.empty() && JournalTimeMs(R.Time, ms);
}

bool ReadJournal(const std::string& Path, TJournalContents& Contents, std::string& Error) {
  Contents = TJournalContents{};
  errno = 0;
  std::FILE* f = std::fopen(Path.c_str(), "rb");
  if (f == nullptr) {
    if (errno == ENOENT) return true;  // nothing journalled yet
    Error = errno != 0 ? std::error_code(errno, std::generic_category()).message() : "cannot open it";
    return false;
  }
  std::string line;
  bool tooLong = false;  // the line under way is past the bound: skipped to its end
  auto finish = [&] {
    TJournalRecord r;
    if (tooLong) ++Contents.Skipped;
    else if (line.find_first_not_of(" \t\r") == std::string::npos) {
    }  // an empty line is no record, and no damage either
    else if (ParseJournalLine(line, r)) Contents.Records.push_back(std::move(r));
    else ++Contents.Skipped;
    line.clear();
    tooLong = false;
  };
  char buf[65536];
  size_t n = 0;
  errno = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    for (size_t i = 0; i < n; ++i) {
      if (buf[i] == '\n') {
        finish();
      } else if (!tooLong) {
        if (line.size() >= kMaxJournalLine) {
          tooLong = true;
          line.clear();
        } else {
          line.push_back(buf[i]);
        }
      }
    }
  }
  const int readErrno = errno;
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    Error = readErrno != 0 ? std::error_code(readErrno, std::generic_category()).message() : "read error";
    return false;
  }
  if (!line.empty() || tooLong) finish();  // a last line without its end: torn unless it parses
  return true;
}

bool JournalTimeMs(const std::string& Time, int64_t& Ms) {
  // YYYY-MM-DDTHH:MM:SS[.f...]Z
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (Time.size() < 20 || !Digits(Time, 0, 4, y) || Time[4] != '-' || !Digits(Time, 5, 2, mo) ||
      Time[7] != '-' || !Digits(Time, 8, 2, d) || Time[10] != 'T' || !Digits(Time, 11, 2, h) ||
      Time[13] != ':' || !Digits(Time, 14, 2, mi) || Time[16] != ':' || !Digits(Time, 17, 2, s))
    return false;
  size_t i = 19;
  int ms = 0, places = 0;
  if (Time[i] == '.') {
    for (++i; i < Time.size() && Time[i] >= '0' && Time[i] <= '9'; ++i, ++places)
      if (places < 3) ms = ms * 10 + (Time[i] - '0');
    if (places == 0) return false;
    for (int p = places; p < 3; ++p) ms *= 10;
  }
  if (i + 1 != Time.size() || Time[i] != 'Z') return false;
  if (mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo) || h > 23 || mi > 59 || s > 60) return false;
  Ms = (DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s) * 1000 + ms;
  return true;
}

bool ParseUserTime(const std::string& Text, bool EndOfDay, int64_t& Ms) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (Text.size() < 10 || !Digits(Text, 0, 4, y) || Text[4] != '-' || !Digits(Text, 5, 2, mo) ||
      Text[7] != '-' || !Digits(Text, 8, 2, d))
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo)) return false;
  size_t i = 10;
  const bool dateOnly = i == Text.size() || Text[i] == 'Z' || Text[i] == '+' ||
                        (Text[i] == '-' && Text.size() > i + 1);
  if (!dateOnly) {
    if (Text[i] != 'T' && Text[i] != 't' && Text[i] != ' ') return false;
    if (!Digits(Text, i + 1, 2, h) || Text.size() < i + 6 || Text[i + 3] != ':' || !Digits(Text, i + 4, 2, mi))
      return false;
    i += 6;
    if (i < Text.size() && Text[i] == ':') {
      if (!Digits(Text, i + 1, 2, s)) return false;
      i += 3;
    }
    if (h > 23 || mi > 59 || s > 59) return false;
  }
  // The zone: none (local), Z, or +HH:MM, +HHMM, +HH.
  bool local = true;
  int64_t offset = 0;
  if (i < Text.size()) {
    local = false;
    if (Text[i] == 'Z' || Text[i] == 'z') {
      if (i + 1 != Text.size()) return false;
    } else if (Text[i] == '+' || Text[i] == '-') {
      int oh = 0, om = 0;
      const std::string z = Text.substr(i + 1);
      if (z.size() == 2 ? !Digits(z, 0, 2, oh)
          : z.size() == 4 ? !(Digits(z, 0, 2, oh) && Digits(z, 2, 2, om))
          : z.size() == 5 ? !(Digits(z, 0, 2, oh) && z[2] == ':' && Digits(z, 3, 2, om))
                          : true)
        return false;
      if (oh > 23 || om > 59) return false;
      offset = (Text[i] == '-' ? -1 : 1) * (oh * 3600 + om * 60);
    } else {
      return false;
    }
  }
  int64_t days = DaysFromCivil(y, mo, d);
  if (dateOnly && EndOfDay) ++days;  // the whole day is in
  const int64_t fields = days * 86400 + h * 3600 + mi * 60 + s;
  if (!local) {
    Ms = (fields - offset) * 1000;
    return true;
  }
  // Local time: the offset that holds at that moment (near a change of
  // offset, the one before it counts).
  std::tm t{};
  int64_t cy = 0;
  int cm = 0, cd = 0;
  CivilFromDays(days, cy, cm, cd);
  t.tm_year = static_cast<int>(cy - 1900);
  t.tm_mon = cm - 1;
  t.tm_mday = cd;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  const std::time_t when = std::mktime(&t);
  if (when == static_cast<std::time_t>(-1)) {
    Ms = fields * 1000;  // no zone to be had: taken as UTC
    return true;
  }
  Ms = static_cast<int64_t>(when) * 1000;
  return true;
}

std::string LocalTimeText(int64_t Ms) {
  const int64_t s = Ms >= 0 ? Ms / 1000 : (Ms - 999) / 1000;
  const int64_t local = s + LocalOffsetS(static_cast<std::time_t>(s));
  const int64_t days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
  const int64_t sod = local - days * 86400;
  int64_t y = 0;
  int m = 0, d = 0;
  CivilFromDays(days, y, m, d);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.4lld-%.2d-%.2d %.2d:%.2d:%.2d", static_cast<long long>(y), m, d,
                static_cast<int>(sod / 3600), static_cast<int>(sod / 60 % 60), static_cast<int>(sod % 60));
  return buf;
}

}  // namespace tavex
