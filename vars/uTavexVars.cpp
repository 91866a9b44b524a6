#include "vars/uTavexVars.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "vars/uNumberText.h"

namespace tavex {

namespace {

constexpr std::array<std::string_view, 3> kScopes = {"global", "local", "reg"};
constexpr std::array<std::string_view, 13> kTypes = {
    "bit",  "word",     "int",       "long",       "real",       "timer",      "counter",
    "const", "void",    "timerbit",  "timerlong",  "counterbit", "counterlong"};

template <size_t N>
uint8_t CodeFromText(std::string_view text, const std::array<std::string_view, N>& table) {
  // Longest keyword is short; anything longer matches nothing.
  if (text.size() > 16) return 0;
  char lower[16];
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  const std::string_view t(lower, text.size());
  for (size_t i = 0; i < N; ++i)
    if (table[i] == t) return static_cast<uint8_t>(i + 1);
  return 0;
}

constexpr bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string_view TrimLeft(std::string_view t) {
  size_t i = 0;
  while (i < t.size() && IsBlank(t[i])) ++i;
  return t.substr(i);
}

std::string_view Trim(std::string_view t) {
  t = TrimLeft(t);
  size_t n = t.size();
  while (n > 0 && IsBlank(t[n - 1])) --n;
  return t.substr(0, n);
}

// Rounds to single precision without the undefined behaviour of converting
// an out-of-range double: magnitudes that round past FLT_MAX become infinity.
float ToSingle(double d) {
  // Halfway between FLT_MAX and 2^128; a tie rounds to infinity (odd mantissa).
  constexpr double kOverflow = 340282356779733661637539395458142568448.0;  // 2^128 - 2^103
  if (std::isnan(d)) return std::numeric_limits<float>::quiet_NaN();
  if (d >= kOverflow) return std::numeric_limits<float>::infinity();
  if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(d);
}

// What one element costs on the heap, roughly: the object, its two texts
// beyond the in-place buffer, and the owning pointer.
size_t ElementBytes(size_t nameLen, size_t commentLen) {
  constexpr size_t kInPlace = 15;
  return sizeof(TTavexVar) + sizeof(void*) + (nameLen > kInPlace ? nameLen + 1 : 0) +
         (commentLen > kInPlace ? commentLen + 1 : 0);
}

}  // namespace

uint8_t ScopeFromText(std::string_view Text) { return CodeFromText(Text, kScopes); }
uint8_t TypeFromText(std::string_view Text) { return CodeFromText(Text, kTypes); }

const char* TypeKeyword(uint8_t VarType) {
  return VarType >= 1 && VarType <= kTypes.size() ? kTypes[VarType - 1u].data() : "?";
}

bool IsTransferred(uint8_t VarType) { return VarType >= vtBit && VarType <= vtReal; }

int64_t ValueAsInteger(const TVarValue& Value) {
  if (const double* d = std::get_if<double>(&Value)) {
    if (std::isnan(*d)) return 0;
    const double r = std::nearbyint(*d);
    // 2^63 is exactly representable; anything at or beyond it saturates.
    if (r >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (r < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(r);
  }
  return std::visit([](auto v) -> int64_t { return static_cast<int64_t>(v); }, Value);
}

double ValueAsReal(const TVarValue& Value) {
  return std::visit([](auto v) -> double { return static_cast<double>(v); }, Value);
}

float ValueAsSingle(const TVarValue& Value) { return ToSingle(ValueAsReal(Value)); }

TTavexVar::TTavexVar(std::string Name_, int32_t Address_, int32_t Stride_, int32_t Count_,
                     int32_t Index_, int32_t Offset_, uint8_t Scope_, uint8_t VarType_, bool Flag1_,
                     bool Flag0_, std::string Comment_, TVarValue Value_)
    : Address(Address_),
      Stride(Stride_),
      Count(Count_),
      Offset(Offset_),
      Scope(Scope_),
      VarType(VarType_),
      Flag1(Flag1_),
      Flag0(Flag0_),
      Name(std::move(Name_)),
      Comment(std::move(Comment_)),
      Value(Value_),
      Index(Index_) {}

void TTavexVar::Assign(const TTavexVar* Source) {
  if (Source == nullptr || Source == this) return;
  *this = *Source;
}

int32_t TTavexVar::GetAddress() const {
  uint32_t a = static_cast<uint32_t>(Address) + static_cast<uint32_t>(Offset);
  if (IsArray()) a += static_cast<uint32_t>(Index) * static_cast<uint32_t>(Stride);
  return static_cast<int32_t>(a);
}

uint32_t TTavexVar::GetRawValue() const {
  switch (VarType) {
    case vtBit:
      return static_cast<uint32_t>(ValueAsInteger(Value)) & 0xFFu;
    case vtWord:
      return static_cast<uint32_t>(ValueAsInteger(Value)) & 0xFFFFu;
    case vtInt:
      return static_cast<uint32_t>(static_cast<int32_t>(
          static_cast<int16_t>(static_cast<uint16_t>(ValueAsInteger(Value)))));
    case vtLong: {
      const int64_t v = ValueAsInteger(Value);
      // A real beyond the 32-bit range saturates rather than wrapping.
      const int64_t c = v < INT32_MIN ? INT32_MIN : (v > INT32_MAX ? INT32_MAX : v);
      return static_cast<uint32_t>(static_cast<int32_t>(c));
    }
    case vtReal: {
      const float f = ValueAsSingle(Value);
      uint32_t bits;
      std::memcpy(&bits, &f, sizeof bits);
      return bits;
    }
    default:
      return 0;
  }
}

void TTavexVar::SetRawValue(uint32_t Raw) {
  ValueKnown = true;
  switch (VarType) {
    case vtBit:
      Value = static_cast<uint8_t>(Raw);
      break;
    case vtWord:
      Value = static_cast<uint16_t>(Raw);
      break;
    case vtInt:
      Value = static_cast<int16_t>(static_cast<uint16_t>(Raw));
      break;
    case vtLong:
      Value = static_cast<int32_t>(Raw);
      break;
    case vtReal: {
      float f;
      std::memcpy(&f, &Raw, sizeof f);
      Value = static_cast<double>(f);
      break;
    }
    default:
      Value = uint8_t{0};
      break;
  }
}

int TTavexVarList::Add(std::unique_ptr<TTavexVar> Item) {
  if (Item) EstimatedBytes_ += ElementBytes(Item->Name.size(), Item->Comment.size());
  Items_.push_back(std::move(Item));
  return static_cast<int>(Items_.size()) - 1;
}

TTavexVar* TTavexVarList::Items(int Index) const {
  if (Index < 0 || static_cast<size_t>(Index) >= Items_.size()) return nullptr;
  return Items_[static_cast<size_t>(Index)].get();
}

void TTavexVarList::Clear() {
  while (!Items_.empty()) Items_.pop_back();
  EstimatedBytes_ = 0;
}

bool TTavexVarList::ParseLine(std::string_view Line) {
  int32_t address = 0, flags = 0, count = 0, offset = 0, stride = 0;
  uint8_t scope = 0, type = 0;
  std::string_view name, comment;

  std::string_view rest = Line;
  for (int col = 1; col <= 9; ++col) {
    rest = TrimLeft(rest);
    std::string_view cut;
    const size_t space = rest.find(' ');
    if (col == 9) {
      cut = Trim(rest);
      rest = {};
    } else if (space != std::string_view::npos) {
      cut = Trim(rest.substr(0, space));
      rest.remove_prefix(space);
    } else if (col == 8) {
      cut = Trim(rest);
      rest = {};
    }
    // else: no space left before column 8, the column is empty.

    bool ok = true;
    switch (col) {
      case 1:
        if (cut.empty() || cut == ";CPU" || cut == ";Addr") return true;
        ok = TryParseHex32(cut, address) && address != -1;
        break;
      case 2:
        ok = TryParseHex32(cut, flags) && flags != -1;
        break;
      case 3:
        ok = TryParseInt32(cut, count) && count != -1;
        break;
      case 4:
        ok = TryParseInt32(cut, offset) && offset != -1;
        break;
      case 5:
        ok = TryParseInt32(cut, stride) && stride != -1;
        break;
      case 6:
        scope = ScopeFromText(cut);
        ok = scope != 0;
        break;
      case 7:
        type = TypeFromText(cut);
        ok = type != 0;
        break;
      case 8:
        name = cut;
        ok = !name.empty();
        break;
      case 9:
        comment = cut;
        break;
    }
    if (!ok) return false;
  }

  if (scope != scGlobal || type == vtConst || count < 1) return true;

  // Bounds: a count or a total that would only exhaust memory is no allocation
  // file of a real program.
  if (count > kMaxAlcElementsPerLine) return false;
  const size_t lineBytes = static_cast<size_t>(count) * ElementBytes(name.size(), comment.size());
  if (lineBytes > kMaxAlcListBytes || EstimatedBytes_ + lineBytes > kMaxAlcListBytes) return false;

  // Grown geometrically: an exact reserve per line would copy the whole
  // list for every line, quadratic in a text of many one-element lines.
  const size_t need = Items_.size() + static_cast<size_t>(count);
  if (need > Items_.capacity()) Items_.reserve(std::max(need, 2 * Items_.capacity()));
  const std::string nameText(name), commentText(comment);
  for (int32_t i = 0; i < count; ++i) {
    Items_.push_back(std::make_unique<TTavexVar>(nameText, address, stride, count, i, offset, scope,
                                                 type, (flags & 2) != 0, (flags & 1) != 0,
                                                 commentText, uint8_t{0}));
  }
  EstimatedBytes_ += lineBytes;
  return true;
}

namespace {

// A line of untrusted text as a message may quote it: at most
// kAlcQuotedLineMax bytes (cut at a character's start, "..." added), control
// characters (C0, DEL, C1) as '?', so that a message box or a terminal shows
// it as it is.
std::string QuotedLine(std::string_view Line) {
  const bool cut = Line.size() > kAlcQuotedLineMax;
  if (cut) {
    size_t n = kAlcQuotedLineMax;
    while (n > 0 && (static_cast<unsigned char>(Line[n]) & 0xC0) == 0x80) --n;
    Line = Line.substr(0, n);
  }
  std::string out = "\"";
  for (size_t i = 0; i < Line.size(); ++i) {
    const auto c = static_cast<unsigned char>(Line[i]);
    if (c < 0x20 || c == 0x7F) {
      out += '?';
    } else if (c == 0xC2 && i + 1 < Line.size() && static_cast<unsigned char>(Line[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(Line[i + 1]) <= 0x9F) {
      out += '?';
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + (cut ? "...\"" : "\"");
}

}  // namespace

void TTavexVarList::LoadLine(std::string_view Line, size_t LineNo, int64_t Nad, bool& Started) {
  if (!Started && (Nad == -1 || Line.find(kAlcMarker) != std::string_view::npos)) Started = true;
  if (!Started) return;
  bool ok;
  try {
    ok = ParseLine(Line);
  } catch (const Exception&) {
    ok = false;
  }
  if (!ok)
    throw Exception("Error parsing ALC data on line " + std::to_string(LineNo) + ": " + QuotedLine(Line));
}

void TTavexVarList::LoadFromAlc(const std::vector<std::string>& Lines, int64_t Nad) {
  bool started = false;
  for (size_t k = 0; k < Lines.size(); ++k) LoadLine(Lines[k], k + 1, Nad, started);
}

void TTavexVarList::LoadFromAlcText(std::string_view Text, int64_t Nad) {
  bool started = false;
  size_t lineNo = 1, pos = 0;
  while (pos < Text.size()) {
    size_t end = Text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = Text.size();
    LoadLine(Text.substr(pos, end - pos), lineNo++, Nad, started);
    if (end == Text.size()) break;
    pos = end + 1;  // CR, LF, or the CR of CR LF
    if (Text[end] == '\r' && pos < Text.size() && Text[pos] == '\n') ++pos;
  }
}

}  // namespace tavex
