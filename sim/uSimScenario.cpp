#include "sim/uSimScenario.h"

#include <asio/ip/address_v4.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "vars/uTavexVars.h"

namespace tavex::sim {

using nlohmann::json;

namespace {

[[noreturn]] void Fail(const std::string& Path, const std::string& Message) {
  throw std::runtime_error(Path + ": " + Message);
}

std::string Sub(const std::string& Path, const std::string& Key) {
  return Path.empty() ? Key : Path + "." + Key;
}

std::string Item(const std::string& Path, size_t Index) {
  return Path + "[" + std::to_string(Index) + "]";
}

void CheckKeys(const json& J, const std::string& Path, std::initializer_list<const char*> Allowed) {
  if (!J.is_object()) Fail(Path, "must be an object");
  for (auto it = J.begin(); it != J.end(); ++it) {
    bool known = false;
    for (const char* a : Allowed) known = known || it.key() == a;
    if (!known) Fail(Path, "unknown key \"" + it.key() + "\"");
  }
}

const json& Required(const json& J, const std::string& Path, const char* Key) {
  auto it = J.find(Key);
  if (it == J.end()) Fail(Path, std::string("missing key \"") + Key + "\"");
  return *it;
}

// Integers come as JSON numbers or as texts, decimal or "0x" hexadecimal
// (addresses are easier to read that way).
int64_t GetInt(const json& J, const std::string& Path, int64_t Min, int64_t Max) {
  const std::string range = " " + std::to_string(Min) + ".." + std::to_string(Max);
  int64_t v = 0;
  if (J.is_number_unsigned()) {
    const uint64_t u = J.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) Fail(Path, "out of range" + range);
    v = static_cast<int64_t>(u);
  } else if (J.is_number_integer()) {
    v = J.get<int64_t>();
  } else if (J.is_string()) {
    const std::string s = J.get<std::string>();
    const bool neg = !s.empty() && s[0] == '-';
    std::string digits = neg ? s.substr(1) : s;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
      digits = digits.substr(2);
      base = 16;
    }
    if (digits.empty() || digits.size() > 17) Fail(Path, "not an integer: \"" + s + "\"");
    uint64_t u = 0;
    for (char c : digits) {
      int d = -1;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
      if (d < 0) Fail(Path, "not an integer: \"" + s + "\"");
      u = u * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    v = neg ? -static_cast<int64_t>(u) : static_cast<int64_t>(u);
  } else {
    Fail(Path, "must be an integer" + range);
  }
  if (v < Min || v > Max) Fail(Path, "out of range" + range);
  return v;
}

bool GetBool(const json& J, const std::string& Path) {
  if (!J.is_boolean()) Fail(Path, "must be true or false");
  return J.get<bool>();
}

std::string GetString(const json& J, const std::string& Path) {
  if (!J.is_string()) Fail(Path, "must be a text");
  return J.get<std::string>();
}

double GetProbability(const json& J, const std::string& Path) {
  if (J.is_boolean()) return J.get<bool>() ? 1.0 : 0.0;
  if (!J.is_number()) Fail(Path, "must be a probability 0..1 or true/false");
  const double p = J.get<double>();
  if (!(p >= 0.0 && p <= 1.0)) Fail(Path, "must be a probability 0..1 or true/false");
  return p;
}

std::vector<uint8_t> GetHex(const json& J, const std::string& Path) {
  const std::string s = GetString(J, Path);
  std::string digits;
  for (char c : s)
    if (c != ' ') digits += c;
  if (digits.size() % 2 != 0) Fail(Path, "hex text needs an even number of digits");
  if (digits.size() / 2 > kMaxAlcBytes) Fail(Path, "too long");
  std::vector<uint8_t> out;
  out.reserve(digits.size() / 2);
  auto nib = [&](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    Fail(Path, std::string("not a hex digit: '") + c + "'");
  };
  for (size_t i = 0; i < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(nib(digits[i]) * 16 + nib(digits[i + 1])));
  return out;
}

// A controller lives on loopback only: the simulator must never answer on a
// real network.
std::string GetLoopbackIp(const json& J, const std::string& Path) {
  const std::string s = GetString(J, Path);
  // Asio's parser is the system's inet_pton where there is one.
  asio::error_code ec;
  const asio::ip::address_v4 a = asio::ip::make_address_v4(s, ec);
  if (ec) Fail(Path, "not a dotted-quad address: \"" + s + "\"");
  const uint32_t h = a.to_uint();
  if ((h >> 24) != 127 || (h & 0x00FFFFFF) == 0 || (h & 0x00FFFFFF) == 0x00FFFFFF)
    Fail(Path, "must be a loopback host address 127.x.y.z: \"" + s + "\"");
  return a.to_string();
}

int64_t ParseClock(const std::string& S, const std::string& Path) {
  TCivilTime t;
  char tail = 0;
  if (S.size() != 19 ||
      std::sscanf(S.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &t.Year, &t.Month, &t.Day, &t.Hour,
                  &t.Minute, &t.Second, &tail) != 6 ||
      !IsValidCivil(t))
    Fail(Path, "must be \"local\" or a date and time \"YYYY-MM-DDTHH:MM:SS\"");
  return CivilToSeconds(t);
}

uint32_t RawFromJson(const json& J, uint8_t VarType, const std::string& Path) {
  if (VarType == vtReal) {
    if (!J.is_number()) Fail(Path, "must be a number");
    const double d = J.get<double>();
    if (!std::isfinite(d) || std::fabs(d) > std::numeric_limits<float>::max())
      Fail(Path, "out of range for a real");
    const float f = static_cast<float>(d);
    uint32_t raw = 0;
    std::memcpy(&raw, &f, sizeof raw);
    return raw;
  }
  if (J.is_boolean()) return J.get<bool>() ? 1u : 0u;
  switch (VarType) {
    case vtBit: return static_cast<uint32_t>(GetInt(J, Path, 0, 255));
    case vtWord: return static_cast<uint32_t>(GetInt(J, Path, 0, 65535));
    case vtInt: return static_cast<uint16_t>(GetInt(J, Path, -32768, 32767));
    case vtLong:
      return static_cast<uint32_t>(static_cast<int32_t>(GetInt(J, Path, INT32_MIN, INT32_MAX)));
    default: return static_cast<uint32_t>(GetInt(J, Path, INT32_MIN, UINT32_MAX));
  }
}

bool IsPlainWord(const std::string& S) {
  if (S.empty()) return false;
  return std::none_of(S.begin(), S.end(), [](char c) { return static_cast<unsigned char>(c) <= 32; });
}

TSimVariable ParseVariable(const json& J, const std::string& Path) {
  CheckKeys(J, Path, {"name", "type", "count", "scope", "address", "offset", "stride", "flags",
                      "value", "comment"});
  TSimVariable v;
  v.Name = GetString(Required(J, Path, "name"), Sub(Path, "name"));
  if (!IsPlainWord(v.Name) || v.Name.size() > 64)
    Fail(Sub(Path, "name"), "must be one word of 1..64 characters without spaces");
  const std::string type = GetString(Required(J, Path, "type"), Sub(Path, "type"));
  v.VarType = TypeFromText(type);
  if (v.VarType == 0) Fail(Sub(Path, "type"), "unknown type \"" + type + "\"");
  if (J.contains("scope")) {
    const std::string scope = GetString(J["scope"], Sub(Path, "scope"));
    v.Scope = ScopeFromText(scope);
    if (v.Scope == 0) Fail(Sub(Path, "scope"), "unknown scope \"" + scope + "\"");
  }
  if (J.contains("count"))
    v.Count = static_cast<int32_t>(GetInt(J["count"], Sub(Path, "count"), 0, kMaxVariableCount));
  if (J.contains("offset"))
    v.Offset = static_cast<int32_t>(GetInt(J["offset"], Sub(Path, "offset"), -65535, 65535));
  const uint32_t size = ElementSize(v.VarType);
  v.Stride = static_cast<int32_t>(size);
  if (J.contains("stride"))
    v.Stride = static_cast<int32_t>(GetInt(J["stride"], Sub(Path, "stride"), 0, 65535));
  if (J.contains("flags")) v.Flags = static_cast<uint32_t>(GetInt(J["flags"], Sub(Path, "flags"), 0, 0xFFFF));
  if (J.contains("address")) {
    v.Address = static_cast<uint32_t>(GetInt(J["address"], Sub(Path, "address"), 0,
                                             v.VarType == vtConst ? 0xFFFFFFFEll : 0xFFFFll));
    v.AddressGiven = true;
  }
  if (J.contains("comment")) {
    v.Comment = GetString(J["comment"], Sub(Path, "comment"));
    if (v.Comment.size() > 200 || v.Comment.find_first_of("\r\n") != std::string::npos)
      Fail(Sub(Path, "comment"), "must be one line of at most 200 characters");
  }
  if (J.contains("value")) {
    const json& val = J["value"];
    const std::string vp = Sub(Path, "value");
    if (val.is_array()) {
      if (val.size() > static_cast<size_t>(v.Count)) Fail(vp, "more values than elements");
      for (size_t i = 0; i < val.size(); ++i) v.RawValues.push_back(RawFromJson(val[i], v.VarType, Item(vp, i)));
    } else {
      v.RawValues.assign(static_cast<size_t>(v.Count), RawFromJson(val, v.VarType, vp));
    }
  }
  return v;
}

struct TRange {
  int64_t Begin, End;
  size_t Index;
};

// The byte range a variable occupies in variable memory (empty when it has none).
TRange VariableRange(const TSimVariable& V, size_t Index) {
  const uint32_t size = ElementSize(V.VarType);
  if (size == 0 || V.Count <= 0) return {0, 0, Index};
  const int64_t first = static_cast<int64_t>(V.Address) + V.Offset;
  const int64_t span = static_cast<int64_t>(V.Count - 1) * V.Stride + size;
  return {first, first + span, Index};
}

// Places the variables without an address, in table order, from 0x0100 on,
// aligned to their element size and clear of every other variable.
void AssignAddresses(std::vector<TSimVariable>& Vars, const std::string& Path) {
  std::vector<TRange> used;
  for (size_t i = 0; i < Vars.size(); ++i) {
    if (!Vars[i].AddressGiven) continue;
    const TRange r = VariableRange(Vars[i], i);
    if (r.Begin == r.End) continue;
    if (r.Begin < 0 || r.End > kVarMemorySize)
      Fail(Item(Path, i), "does not fit in the 64 KiB variable memory");
    used.push_back(r);
  }
  int64_t cursor = kFirstAutoAddress;
  for (size_t i = 0; i < Vars.size(); ++i) {
    TSimVariable& v = Vars[i];
    if (v.AddressGiven) continue;
    const int64_t align = std::max<uint32_t>(1, ElementSize(v.VarType));
    for (;;) {
      cursor = (cursor + align - 1) / align * align;
      v.Address = static_cast<uint32_t>(std::max<int64_t>(0, cursor - v.Offset));
      const TRange r = VariableRange(v, i);
      if (r.Begin == r.End) break;
      if (r.Begin < 0 || r.End > kVarMemorySize)
        Fail(Item(Path, i), "does not fit in the 64 KiB variable memory");
      auto clash = std::find_if(used.begin(), used.end(),
                                [&](const TRange& u) { return r.Begin < u.End && u.Begin < r.End; });
      if (clash == used.end()) {
        used.push_back(r);
        cursor = r.End;
        break;
      }
      cursor = clash->End;
    }
  }
}

TExtraFile ParseExtraFile(const json& J, const std::string& Path) {
  CheckKeys(J, Path, {"name", "name_length", "address", "size", "content", "hex", "before_alc"});
  TExtraFile f;
  f.Name = GetString(Required(J, Path, "name"), Sub(Path, "name"));
  if (f.Name.size() > 32) Fail(Sub(Path, "name"), "longer than the 32 bytes of a directory entry");
  if (J.contains("name_length"))
    f.NameLength = static_cast<uint16_t>(GetInt(J["name_length"], Sub(Path, "name_length"), 0, 65535));
  if (J.contains("address"))
    f.Address = static_cast<uint32_t>(GetInt(J["address"], Sub(Path, "address"), 0, UINT32_MAX));
  if (J.contains("size")) f.Size = static_cast<uint32_t>(GetInt(J["size"], Sub(Path, "size"), 0, UINT32_MAX));
  if (J.contains("content") && J.contains("hex")) Fail(Path, "give \"content\" or \"hex\", not both");
  if (J.contains("content")) {
    const std::string c = GetString(J["content"], Sub(Path, "content"));
    if (c.size() > kMaxAlcBytes) Fail(Sub(Path, "content"), "too long");
    f.Data.assign(c.begin(), c.end());
  }
  if (J.contains("hex")) f.Data = GetHex(J["hex"], Sub(Path, "hex"));
  if (J.contains("before_alc")) f.BeforeAlc = GetBool(J["before_alc"], Sub(Path, "before_alc"));
  return f;
}

std::vector<uint8_t> ReadBinaryFile(const std::string& File, const std::string& Path) {
  std::ifstream in(File, std::ios::binary);
  if (!in) Fail(Path, "cannot open \"" + File + "\"");
  std::vector<uint8_t> out;
  char buf[65536];
  while (in) {
    in.read(buf, sizeof buf);
    const auto n = static_cast<size_t>(in.gcount());
    if (out.size() + n > kMaxAlcBytes) Fail(Path, "\"" + File + "\" is larger than 16 MiB");
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

TControllerConfig ParseController(const json& J, const std::string& Path, const std::string& BaseDir) {
  CheckKeys(J, Path, {"nad", "ip", "port", "password", "status", "stamp", "stamp_changes",
                      "has_program", "clock", "variables", "alc_text", "alc_zip_base64",
                      "alc_zip_file", "alc_entry", "extra_files", "header", "memory_patches",
                      "faults"});
  TControllerConfig c;
  c.Nad = static_cast<uint32_t>(GetInt(Required(J, Path, "nad"), Sub(Path, "nad"), 0, UINT32_MAX));
  c.Ip = GetLoopbackIp(Required(J, Path, "ip"), Sub(Path, "ip"));
  if (J.contains("port")) c.Port = static_cast<uint16_t>(GetInt(J["port"], Sub(Path, "port"), 0, 65535));
  if (J.contains("password")) {
    c.Password = GetString(J["password"], Sub(Path, "password"));
    if (c.Password->size() > 1000) Fail(Sub(Path, "password"), "too long");
  }
  if (J.contains("status")) {
    const json& s = J["status"];
    if (!s.is_array() || s.size() != 2) Fail(Sub(Path, "status"), "must be two bytes [first, second]");
    for (size_t i = 0; i < 2; ++i)
      c.Status[i] = static_cast<uint8_t>(GetInt(s[i], Item(Sub(Path, "status"), i), 0, 255));
  }
  if (J.contains("stamp")) c.Stamp = static_cast<uint32_t>(GetInt(J["stamp"], Sub(Path, "stamp"), 0, UINT32_MAX));
  if (J.contains("stamp_changes")) {
    const std::string p = Sub(Path, "stamp_changes");
    if (!J["stamp_changes"].is_array()) Fail(p, "must be an array");
    for (size_t i = 0; i < J["stamp_changes"].size(); ++i) {
      const json& e = J["stamp_changes"][i];
      const std::string ep = Item(p, i);
      CheckKeys(e, ep, {"after_requests", "stamp"});
      TStampChange sc;
      sc.AfterRequests = static_cast<uint64_t>(
          GetInt(Required(e, ep, "after_requests"), Sub(ep, "after_requests"), 0, INT64_MAX));
      sc.Stamp = static_cast<uint32_t>(GetInt(Required(e, ep, "stamp"), Sub(ep, "stamp"), 0, UINT32_MAX));
      c.StampChanges.push_back(sc);
    }
    std::stable_sort(c.StampChanges.begin(), c.StampChanges.end(),
                     [](const TStampChange& a, const TStampChange& b) { return a.AfterRequests < b.AfterRequests; });
  }
  if (J.contains("has_program")) c.HasProgram = GetBool(J["has_program"], Sub(Path, "has_program"));
  if (J.contains("clock")) {
    const std::string s = GetString(J["clock"], Sub(Path, "clock"));
    if (s != "local") {
      c.ClockLocal = false;
      c.ClockStart = ParseClock(s, Sub(Path, "clock"));
    }
  }
  if (J.contains("variables")) {
    const std::string p = Sub(Path, "variables");
    const json& vars = J["variables"];
    if (!vars.is_array()) Fail(p, "must be an array");
    if (vars.size() > kMaxVariables) Fail(p, "more than " + std::to_string(kMaxVariables) + " variables");
    for (size_t i = 0; i < vars.size(); ++i) c.Variables.push_back(ParseVariable(vars[i], Item(p, i)));
    AssignAddresses(c.Variables, p);
  }
  if (J.contains("alc_text")) {
    c.AlcText = GetString(J["alc_text"], Sub(Path, "alc_text"));
    if (c.AlcText->size() > kMaxAlcBytes) Fail(Sub(Path, "alc_text"), "larger than 16 MiB");
  }
  if (J.contains("alc_zip_base64") && J.contains("alc_zip_file"))
    Fail(Path, "give \"alc_zip_base64\" or \"alc_zip_file\", not both");
  if (J.contains("alc_zip_base64")) {
    const std::string p = Sub(Path, "alc_zip_base64");
    const std::string text = GetString(J["alc_zip_base64"], p);
    if (text.size() / 4 * 3 > kMaxAlcBytes) Fail(p, "larger than 16 MiB");
    try {
      c.AlcZip = Base64Decode(text);
    } catch (const std::runtime_error& e) {
      Fail(p, e.what());
    }
  }
  if (J.contains("alc_zip_file")) {
    const std::string p = Sub(Path, "alc_zip_file");
    std::string file = GetString(J["alc_zip_file"], p);
    if (!file.empty() && file[0] != '/' && !BaseDir.empty()) file = BaseDir + "/" + file;
    c.AlcZip = ReadBinaryFile(file, p);
  }
  if (J.contains("alc_entry")) {
    const std::string p = Sub(Path, "alc_entry");
    const json& e = J["alc_entry"];
    CheckKeys(e, p, {"present", "name", "name_length", "address", "size"});
    if (e.contains("present")) c.AlcEntry.Present = GetBool(e["present"], Sub(p, "present"));
    if (e.contains("name")) {
      c.AlcEntry.Name = GetString(e["name"], Sub(p, "name"));
      if (c.AlcEntry.Name.size() > 32) Fail(Sub(p, "name"), "longer than the 32 bytes of a directory entry");
    }
    if (e.contains("name_length"))
      c.AlcEntry.NameLength = static_cast<uint16_t>(GetInt(e["name_length"], Sub(p, "name_length"), 0, 65535));
    if (e.contains("address"))
      c.AlcEntry.Address = static_cast<uint32_t>(GetInt(e["address"], Sub(p, "address"), 0, UINT32_MAX));
    if (e.contains("size")) c.AlcEntry.Size = static_cast<uint32_t>(GetInt(e["size"], Sub(p, "size"), 0, UINT32_MAX));
  }
  if (J.contains("extra_files")) {
    const std::string p = Sub(Path, "extra_files");
    if (!J["extra_files"].is_array()) Fail(p, "must be an array");
    if (J["extra_files"].size() > 1000) Fail(p, "more than 1000 entries");
    for (size_t i = 0; i < J["extra_files"].size(); ++i)
      c.ExtraFiles.push_back(ParseExtraFile(J["extra_files"][i], Item(p, i)));
  }
  if (J.contains("header")) {
    const std::string p = Sub(Path, "header");
    const json& h = J["header"];
    CheckKeys(h, p, {"word0", "magic", "directory_address", "entry_count"});
    if (h.contains("word0")) c.Header.Word0 = static_cast<uint16_t>(GetInt(h["word0"], Sub(p, "word0"), 0, 65535));
    if (h.contains("magic")) c.Header.Magic = static_cast<uint16_t>(GetInt(h["magic"], Sub(p, "magic"), 0, 65535));
    if (h.contains("directory_address"))
      c.Header.DirectoryAddress =
          static_cast<uint32_t>(GetInt(h["directory_address"], Sub(p, "directory_address"), 0, UINT32_MAX));
    if (h.contains("entry_count"))
      c.Header.EntryCount = static_cast<uint16_t>(GetInt(h["entry_count"], Sub(p, "entry_count"), 0, 65535));
  }
  if (J.contains("memory_patches")) {
    const std::string p = Sub(Path, "memory_patches");
    if (!J["memory_patches"].is_array()) Fail(p, "must be an array");
    for (size_t i = 0; i < J["memory_patches"].size(); ++i) {
      const json& e = J["memory_patches"][i];
      const std::string ep = Item(p, i);
      CheckKeys(e, ep, {"address", "hex"});
      TMemoryPatch m;
      m.Address = static_cast<uint32_t>(
          GetInt(Required(e, ep, "address"), Sub(ep, "address"), 0, kCodeMemorySize - 1));
      m.Bytes = GetHex(Required(e, ep, "hex"), Sub(ep, "hex"));
      if (m.Bytes.size() > kCodeMemorySize - m.Address) Fail(ep, "runs past the 24-bit code memory");
      c.MemoryPatches.push_back(std::move(m));
    }
  }
  if (J.contains("faults")) c.Faults = ParseFaults(J["faults"], Sub(Path, "faults"));
  return c;
}

}  // namespace

TFaults ParseFaults(const json& J, const std::string& Path) {
  CheckKeys(J, Path, {"drop", "drop_answer", "duplicate", "delay_ms", "corrupt", "corrupt_at", "split", "split_at",
                      "junk", "junk_bytes", "wrong_direction", "ignore_writes", "silent",
                      "delay_chance", "duplicate_delay_ms", "crosstalk",
                      "silent_after_requests", "only_commands"});
  TFaults f;
  if (J.contains("drop")) f.Drop = GetProbability(J["drop"], Sub(Path, "drop"));
  if (J.contains("drop_answer")) f.DropAnswer = GetProbability(J["drop_answer"], Sub(Path, "drop_answer"));
  if (J.contains("duplicate")) f.Duplicate = GetProbability(J["duplicate"], Sub(Path, "duplicate"));
  if (J.contains("corrupt")) f.Corrupt = GetProbability(J["corrupt"], Sub(Path, "corrupt"));
  if (J.contains("corrupt_at"))
    f.CorruptAt = static_cast<int32_t>(GetInt(J["corrupt_at"], Sub(Path, "corrupt_at"), 0, 2047));
  if (J.contains("split")) f.Split = GetProbability(J["split"], Sub(Path, "split"));
  if (J.contains("split_at")) f.SplitAt = static_cast<int32_t>(GetInt(J["split_at"], Sub(Path, "split_at"), 1, 2047));
  if (J.contains("junk")) f.Junk = GetProbability(J["junk"], Sub(Path, "junk"));
  if (J.contains("junk_bytes"))
    f.JunkBytes = static_cast<uint32_t>(GetInt(J["junk_bytes"], Sub(Path, "junk_bytes"), 1, 1024));
  if (J.contains("wrong_direction"))
    f.WrongDirection = GetProbability(J["wrong_direction"], Sub(Path, "wrong_direction"));
  if (J.contains("delay_ms")) f.DelayMs = static_cast<uint32_t>(GetInt(J["delay_ms"], Sub(Path, "delay_ms"), 0, 60000));
  if (J.contains("delay_chance")) f.DelayChance = GetProbability(J["delay_chance"], Sub(Path, "delay_chance"));
  if (J.contains("duplicate_delay_ms"))
    f.DuplicateDelayMs =
        static_cast<uint32_t>(GetInt(J["duplicate_delay_ms"], Sub(Path, "duplicate_delay_ms"), 0, 60000));
  if (J.contains("crosstalk")) f.Crosstalk = GetProbability(J["crosstalk"], Sub(Path, "crosstalk"));
  if (J.contains("ignore_writes")) f.IgnoreWrites = GetBool(J["ignore_writes"], Sub(Path, "ignore_writes"));
  if (J.contains("silent")) f.Silent = GetBool(J["silent"], Sub(Path, "silent"));
  if (J.contains("silent_after_requests"))
    f.SilentAfterRequests =
        static_cast<uint64_t>(GetInt(J["silent_after_requests"], Sub(Path, "silent_after_requests"), 0, INT64_MAX));
  if (J.contains("only_commands")) {
    const std::string p = Sub(Path, "only_commands");
    if (!J["only_commands"].is_array()) Fail(p, "must be an array of command codes");
    for (size_t i = 0; i < J["only_commands"].size() && i < 256; ++i)
      f.OnlyCommands.push_back(static_cast<uint8_t>(GetInt(J["only_commands"][i], Item(p, i), 0, 255)));
  }
  return f;
}

TScenario ParseScenario(const json& J, const std::string& BaseDir) {
  if (!J.is_object()) Fail("scenario", "must be a JSON object");
  CheckKeys(J, "scenario", {"seed", "log_limit", "controllers"});
  TScenario s;
  if (J.contains("seed")) s.Seed = static_cast<uint64_t>(GetInt(J["seed"], "seed", 0, INT64_MAX));
  if (J.contains("log_limit"))
    s.LogLimit = static_cast<size_t>(GetInt(J["log_limit"], "log_limit", 0, 100000000));
  const json& ctrls = Required(J, "scenario", "controllers");
  if (!ctrls.is_array()) Fail("controllers", "must be an array");
  if (ctrls.size() > 1000) Fail("controllers", "more than 1000 controllers");
  std::set<std::pair<std::string, uint16_t>> bound;
  for (size_t i = 0; i < ctrls.size(); ++i) {
    const std::string p = Item("controllers", i);
    s.Controllers.push_back(ParseController(ctrls[i], p, BaseDir));
    const TControllerConfig& c = s.Controllers.back();
    if (!bound.insert({c.Ip, c.Port}).second)
      Fail(p, "another controller already uses " + c.Ip + " port " + std::to_string(c.Port));
  }
  return s;
}

TScenario LoadScenarioFile(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open scenario file \"" + Path + "\"");
  json j;
  try {
    j = json::parse(in);
  } catch (const json::exception& e) {
    throw std::runtime_error("\"" + Path + "\" is not valid JSON: " + e.what());
  }
  const auto slash = Path.find_last_of('/');
  return ParseScenario(j, slash == std::string::npos ? "." : Path.substr(0, slash));
}

uint32_t ElementSize(uint8_t VarType) {
  switch (VarType) {
    case vtBit: case vtVoid: case vtTimerBit: case vtCounterBit: return 1;
    case vtWord: case vtInt: case vtCounter: return 2;
    case vtLong: case vtReal: case vtTimer: case vtTimerLong: case vtCounterLong: return 4;
    default: return 0;
  }
}

const char* TypeKeyword(uint8_t VarType) {
  static const char* const kNames[] = {"",      "bit",  "word",     "int",       "long",
                                       "real",  "timer", "counter", "const",     "void",
                                       "timerbit", "timerlong", "counterbit", "counterlong"};
  return VarType < std::size(kNames) ? kNames[VarType] : "";
}

const char* ScopeKeyword(uint8_t Scope) {
  switch (Scope) {
    case scGlobal: return "global";
    case scLocal: return "local";
    case scReg: return "reg";
    default: return "";
  }
}

namespace {
constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string Base64Encode(const std::vector<uint8_t>& Bytes) {
  std::string out;
  out.reserve((Bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < Bytes.size(); i += 3) {
    const uint32_t n = (static_cast<uint32_t>(Bytes[i]) << 16) |
                       (i + 1 < Bytes.size() ? static_cast<uint32_t>(Bytes[i + 1]) << 8 : 0) |
                       (i + 2 < Bytes.size() ? Bytes[i + 2] : 0);
    out += kB64[(n >> 18) & 63];
    out += kB64[(n >> 12) & 63];
    out += i + 1 < Bytes.size() ? kB64[(n >> 6) & 63] : '=';
    out += i + 2 < Bytes.size() ? kB64[n & 63] : '=';
  }
  return out;
}

std::vector<uint8_t> Base64Decode(const std::string& Text) {
  std::string s;
  for (char c : Text)
    if (c != '\n' && c != '\r' && c != ' ') s += c;
  if (s.size() % 4 != 0) throw std::runtime_error("base64 text length is not a multiple of 4");
  std::vector<uint8_t> out;
  out.reserve(s.size() / 4 * 3);
  for (size_t i = 0; i < s.size(); i += 4) {
    uint32_t n = 0;
    int pad = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = s[i + k];
      uint32_t d = 0;
      if (c == '=' && i + 4 == s.size() && k >= 2) {
        ++pad;
      } else {
        const char* p = c ? std::strchr(kB64, c) : nullptr;
        if (!p || pad) throw std::runtime_error("not base64 text");
        d = static_cast<uint32_t>(p - kB64);
      }
      n = (n << 6) | d;
    }
    out.push_back(static_cast<uint8_t>(n >> 16));
    if (pad < 2) out.push_back(static_cast<uint8_t>(n >> 8));
    if (pad < 1) out.push_back(static_cast<uint8_t>(n));
  }
  return out;
}

namespace {
// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
  return kDays[m - 1];
}
}  // namespace

int64_t CivilToSeconds(const TCivilTime& T) {
  return DaysFromCivil(T.Year, static_cast<unsigned>(T.Month), static_cast<unsigned>(T.Day)) * 86400 +
         T.Hour * 3600 + T.Minute * 60 + T.Second;
}

TCivilTime SecondsToCivil(int64_t Seconds) {
  int64_t days = Seconds / 86400;
  int64_t rem = Seconds % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  TCivilTime t;
  t.Hour = static_cast<int>(rem / 3600);
  t.Minute = static_cast<int>(rem / 60 % 60);
  t.Second = static_cast<int>(rem % 60);
  t.Weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  t.Day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.Month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.Year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (t.Month <= 2));
  return t;
}

bool IsValidCivil(const TCivilTime& T) {
  return T.Year >= 1970 && T.Year <= 9999 && T.Month >= 1 && T.Month <= 12 && T.Day >= 1 &&
         T.Day <= DaysInMonth(T.Year, T.Month) && T.Hour >= 0 && T.Hour < 24 && T.Minute >= 0 &&
         T.Minute < 60 && T.Second >= 0 && T.Second < 60;
}

}  // namespace tavex::sim
